"""The API reference, from the package's type stubs and the module's
docstrings.

The extension module's functions carry their signatures only as the first
line of their docstrings, some not even there; the stubs
(tolvex/_tolvex.pyi) state every one with its types.  `write_api` writes
autodoc directives for every class, method, property and function of the
stubs, each with the stub's signature; the descriptions are the module's
own docstrings, whose signature line is dropped as it would repeat.
"""

import ast
import os

import tolvex

STUB = os.path.join(os.path.dirname(tolvex.__file__), "_tolvex.pyi")
SECTIONS = {
    "Curl": "Curl",
    "CurlMulti": "CurlMulti",
    "CurlShare": "CurlShare",
    "CurlMime": "CurlMime and CurlMimePart",
}


def _signature(node, method):
    args = node.args
    positional = args.posonlyargs + args.args
    if method and positional and positional[0].arg in ("self", "cls"):
        if args.posonlyargs:
            args.posonlyargs = args.posonlyargs[1:]
        else:
            args.args = args.args[1:]
    text = "(%s)" % ast.unparse(args)
    if node.returns is not None:
        text += " -> " + ast.unparse(node.returns)
    return text


def _decorators(node):
    return {ast.unparse(d) for d in node.decorator_list}


def _class_lines(node):
    lines = [".. autoclass:: tolvex.%s" % node.name]
    new = [n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__new__"]
    if new:
        lines[0] += _signature(new[0], True).split(" ->")[0]
    lines.append("")
    for item in node.body:
        if not isinstance(item, ast.FunctionDef) or item.name.startswith("_"):
            continue
        full = "tolvex.%s.%s" % (node.name, item.name)
        if "property" in _decorators(item):
            lines += ["   .. autoproperty:: %s" % full, ""]
        else:
            lines += ["   .. automethod:: %s%s" % (full, _signature(item, True)), ""]
    return lines


def write_api(path):
    tree = ast.parse(open(STUB, encoding="utf-8").read())
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    lines = []
    for name, title in SECTIONS.items():
        lines += [title, "-" * len(title), ""] + _class_lines(classes[name])
        if name == "CurlMime":
            lines += _class_lines(classes["CurlMimePart"])
    lines += ["Named tuples", "------------", ""]
    for name in (
        "WsFrame",
        "CurlSockAddr",
        "KhKey",
        "HstsEntry",
        "HstsIndex",
        "FileInfo",
        "SslSession",
    ):
        fields = [
            ast.unparse(s.target) + ": " + ast.unparse(s.annotation)
            for s in classes[name].body
            if isinstance(s, ast.AnnAssign)
        ]
        lines += [
            ".. class:: tolvex.%s(%s)" % (name, ", ".join(fields)),
            "",
            "   A named tuple.",
            "",
        ]
    lines += ["Module functions", "----------------", ""]
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            lines += [".. autofunction:: tolvex.%s%s" % (node.name, _signature(node, False)), ""]
    lines += [".. autoexception:: tolvex.error", ""]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def drop_signature_line(app, what, name, obj, options, lines):
    # A docstring that begins with "method(...) -> result" repeats what the
    # directive's signature already says.
    short = name.rsplit(".", 1)[-1]
    if lines and lines[0].startswith(short + "(") and ")" in lines[0]:
        del lines[0]
        while lines and not lines[0].strip():
            del lines[0]


def setup(app):
    app.connect("autodoc-process-docstring", drop_signature_line)
    return {"parallel_read_safe": True}
