"""Sphinx configuration of tolvex's documentation (built by `./dev docs`)."""

import os
import sys

import tolvex

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "_ext"))

import stubsignatures  # noqa: E402

project = "tolvex"
copyright = "the tolvex developers"
release = version = tolvex.version.split()[0].split("/")[1]

extensions = ["sphinx.ext.autodoc", "sphinx.ext.intersphinx", "stubsignatures"]
html_theme = "furo"
html_title = "tolvex"
# The API pages are generated from the module; nothing is fetched from the
# network while building.
intersphinx_mapping = {}
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
nitpicky = False
exclude_patterns = ["_build"]
templates_path = []
html_static_path = []


def write_constants(path):
    """The list of constants, from the module itself."""
    from tolvex import _tolvex

    names = sorted(n for n, v in vars(_tolvex).items() if isinstance(v, int) and n.isupper())
    lines = [".. hlist::", "   :columns: 3", ""]
    lines += ["   * ``%s`` = %d" % (n, getattr(_tolvex, n)) for n in names]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


write_constants(os.path.join(HERE, "_generated", "constants.rst"))
stubsignatures.write_api(os.path.join(HERE, "_generated", "api.rst"))
exclude_patterns.append("_generated")
