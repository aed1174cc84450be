"""Writes the module's integer constants into its type stubs.

    ./dev run python3 tools/stub_constants.py

The constants come from the built module; the stubs list each with its
value, between the BEGIN CONSTANTS and END CONSTANTS lines of
python/tolvex/_tolvex.pyi.  The stub test (tests/test_typing.py) fails
when the two disagree, which is when this is run again.
"""

import os
import re

from tolvex import _tolvex

STUB = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python", "tolvex", "_tolvex.pyi"
)
SKIP = {"COMPILE_PY_VERSION_HEX", "COMPILE_LIBCURL_VERSION_NUM"}


def main():
    names = [
        n
        for n, v in vars(_tolvex).items()
        if type(v) is int and not n.startswith("_") and n not in SKIP
    ]
    lines = ["%s: Final = %d" % (n, getattr(_tolvex, n)) for n in names]
    text = open(STUB, encoding="utf-8").read()
    block = "# BEGIN CONSTANTS\n" + "".join(line + "\n" for line in lines) + "# END CONSTANTS\n"
    text = re.sub(r"# BEGIN CONSTANTS\n.*# END CONSTANTS\n", lambda m: block, text, flags=re.S)
    with open(STUB, "w", encoding="utf-8") as f:
        f.write(text)
    print("%d constants written to %s" % (len(lines), STUB))


if __name__ == "__main__":
    main()
