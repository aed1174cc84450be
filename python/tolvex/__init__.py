"""libcurl for Python: single, concurrent and event-driven transfers.

Everything public of the extension module ``tolvex._tolvex`` is available
here: the ``Curl``, ``CurlMulti``, ``CurlShare`` and ``CurlMime`` types, the
exception ``error``, the module functions and libcurl's constants.
"""

from types import ModuleType

from tolvex._tolvex import *  # noqa: F401,F403
from tolvex._tolvex import error, version  # noqa: F401


def __getattr__(name: str) -> ModuleType:
    # tolvex.aio brings asyncio in: it is imported when first used.
    if name == "aio":
        import tolvex.aio

        return tolvex.aio
    raise AttributeError("module 'tolvex' has no attribute %r" % name)
