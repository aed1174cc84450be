"""libcurl for Python: an HTTP client for everyday use, and single,
concurrent and event-driven transfers.

`tolvex.get`, `tolvex.Client` and `tolvex.AsyncClient` are the HTTP client;
underneath, everything public of the extension module ``tolvex._tolvex`` is
available here: the ``Curl``, ``CurlMulti``, ``CurlShare`` and ``CurlMime``
types, the exception ``error``, the module functions and libcurl's
constants.
"""

from types import ModuleType

from tolvex._tolvex import *  # noqa: F401,F403
from tolvex._tolvex import error, version  # noqa: F401
from tolvex._client import (
    Client,
    delete,
    get,
    head,
    options,
    patch,
    post,  # noqa: F401
    put,
    request,
    stream,
)
from tolvex._config import (
    DEFAULT_LIMITS,
    DEFAULT_TIMEOUT,
    BasicAuth,  # noqa: F401
    BearerAuth,
    DigestAuth,
    Limits,
    Retry,
    Timeout,
)
from tolvex._errors import *  # noqa: F401,F403
from tolvex._models import Headers, Request, Response  # noqa: F401


def __getattr__(name: str) -> object:
    # tolvex.aio and AsyncClient bring asyncio in: they are imported when
    # first used.
    if name == "aio":
        import tolvex.aio

        return tolvex.aio
    if name == "AsyncClient":
        from tolvex._async import AsyncClient

        return AsyncClient
    raise AttributeError("module 'tolvex' has no attribute %r" % name)
