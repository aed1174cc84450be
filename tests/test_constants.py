"""The integer constants of tolvex._tolvex, checked against libcurl itself.

The registry's names and their order come from tools/registry.txt, and the
libcurl name of each constant and the values tolvex fixes itself from
tools/registry.py, which the build reads too.  The expected values come from
libcurl's own headers: a C program printing the value of every libcurl name
is compiled against the installed libcurl, and its output is compared with
the module; the fixed values are compared as they are listed.  Beyond the registry, every name of the libcurl
headers the module was built with is compared with the module (at the end).
"""

import os
import re
import runpy
import shlex
import shutil
import subprocess
import types
from pathlib import Path

import pytest

import tolvex
from tolvex import _tolvex

ROOT = Path(__file__).resolve().parent.parent

GROUP_SIZES = {
    1: 16,
    2: 114,
    3: 38,
    4: 216,
    5: 29,
    6: 60,
    7: 18,
    8: 67,
    9: 61,
    10: 27,
    11: 54,
    12: 11,
    13: 7,
}
TOTAL = 718


def _load_tool(name):
    """One of the build's Python tools under tools/, loaded as a namespace."""
    return types.SimpleNamespace(**runpy.run_path(str(ROOT / "tools" / (name + ".py"))))


REGISTRY = _load_tool("registry")
GROUPS = REGISTRY.load_groups()
GROUP_IDS = [f"group{number}-{target}" for number, target, _ in GROUPS]
ALL_NAMES = [name for _, _, entries in GROUPS for name, _ in entries]
GROUP_OF = {name: number for number, _, entries in GROUPS for name, _ in entries}
FIXED_VALUES = REGISTRY.FIXED_VALUES


def libcurl_name(name):
    """The libcurl macro or enumerator that gives the value of `name`."""
    return REGISTRY.libcurl_name(name, GROUP_OF[name])


# Names that share their value with another constant.
ALIASES = [
    ("HTTPAUTH_GSSNEGOTIATE", "HTTPAUTH_NEGOTIATE"),
    ("INFILESIZE", "INFILESIZE_LARGE"),
    ("RESUME_FROM", "RESUME_FROM_LARGE"),
    ("MAXFILESIZE", "MAXFILESIZE_LARGE"),
    ("POSTFIELDSIZE", "POSTFIELDSIZE_LARGE"),
    ("SSH_AUTH_DEFAULT", "SSH_AUTH_ANY"),
    ("SOCKET_TIMEOUT", "SOCKET_BAD"),
    ("WRITEFUNC_PAUSE", "READFUNC_PAUSE"),
    ("FILE", "WRITEDATA"),
    ("INFILE", "READDATA"),
    ("KRB4LEVEL", "KRBLEVEL"),
    ("FTPLISTONLY", "DIRLISTONLY"),
    ("FTPAPPEND", "APPEND"),
    ("FTP_SSL", "USE_SSL"),
    ("POST301", "POSTREDIR"),
    ("ENCODING", "ACCEPT_ENCODING"),
    ("SSLCERTPASSWD", "KEYPASSWD"),
    ("SSLKEYPASSWD", "KEYPASSWD"),
    ("OPT_COOKIELIST", "COOKIELIST"),
    ("HTTP_CODE", "RESPONSE_CODE"),
    ("CURL_HTTP_VERSION_2_0", "CURL_HTTP_VERSION_2"),
    ("GLOBAL_DEFAULT", "GLOBAL_ALL"),
    ("E_CALL_MULTI_PERFORM", "E_MULTI_CALL_MULTI_PERFORM"),
    ("FTPSSL_NONE", "USESSL_NONE"),
    ("FTPSSL_TRY", "USESSL_TRY"),
    ("FTPSSL_CONTROL", "USESSL_CONTROL"),
    ("FTPSSL_ALL", "USESSL_ALL"),
] + [
    (f"CURL_VERSION_{feature}", f"VERSION_{feature}")
    for feature in (
        "HTTPS_PROXY",
        "MULTI_SSL",
        "BROTLI",
        "ALTSVC",
        "HTTP3",
        "UNICODE",
        "ZSTD",
        "HSTS",
        "GSASL",
    )
]

# Values given with the names of the result-code groups.
LISTED_VALUES = {
    name: value for number, _, entries in GROUPS if number in (2, 12) for name, value in entries
}

LITERAL_VALUES = {**LISTED_VALUES, **FIXED_VALUES}
FROM_LIBCURL = [name for name in ALL_NAMES if name not in LITERAL_VALUES]
# Every listed result code also has a libcurl macro of the matching name
# with the same value (E_ALREADY_COMPLETE included); check them against it.
RESULT_CODE_CROSSCHECK = list(LISTED_VALUES)
# The libcurl names whose values the registry needs.
REGISTRY_MACROS = {libcurl_name(name) for name in FROM_LIBCURL + RESULT_CODE_CROSSCHECK}


# --- fixtures ------------------------------------------------------------------


@pytest.fixture(scope="module")
def handles():
    return {"easy": tolvex.Curl(), "multi": tolvex.CurlMulti(), "share": tolvex.CurlShare()}


def _c_compiler():
    for candidate in (os.environ.get("CC"), "cc", "gcc", "clang"):
        if candidate and shutil.which(candidate):
            return candidate
    return None


def _pkg_config_libcurl():
    try:
        out = subprocess.run(
            ["pkg-config", "--cflags", "--libs", "libcurl"],
            check=True,
            capture_output=True,
            text=True,
        )
    except OSError, subprocess.CalledProcessError:
        return ["-lcurl"]
    return shlex.split(out.stdout)


@pytest.fixture(scope="module")
def libcurl_values(header_values):
    """The value of every libcurl name the registry needs, as the headers
    define it."""
    missing = sorted(REGISTRY_MACROS - set(header_values))
    assert missing == []
    return {macro: header_values[macro] for macro in REGISTRY_MACROS}


# --- names, order and count ------------------------------------------------------


def test_group_sizes_of_the_data_file():
    assert {number: len(entries) for number, _, entries in GROUPS} == GROUP_SIZES
    assert len(ALL_NAMES) == len(set(ALL_NAMES)) == TOTAL


def test_every_name_is_in_the_module():
    missing = [name for name in ALL_NAMES if not hasattr(_tolvex, name)]
    assert missing == []


def test_integer_constants_in_insertion_order(header_values):
    module_dict = vars(_tolvex)
    constants = [
        key
        for key, value in module_dict.items()
        if type(value) is int and not key.startswith("COMPILE_")
    ]
    assert constants[:TOTAL] == ALL_NAMES
    # What follows are the names the build found in libcurl's headers, each
    # with the value of its libcurl name.
    from_headers = {
        (py_name, value) for name, value in header_values.items() for py_name in python_names(name)
    }
    assert [n for n in constants[TOTAL:] if (n, module_dict[n]) not in from_headers] == []


def test_constants_follow_the_compile_time_values():
    keys = list(vars(_tolvex))
    first = keys.index(ALL_NAMES[0])
    assert keys.index("COMPILE_LIBCURL_VERSION_NUM") < first
    assert keys.index("version") < first
    assert keys[first : first + TOTAL] == ALL_NAMES


# --- per-type visibility -----------------------------------------------------------


@pytest.mark.parametrize("group", GROUPS, ids=GROUP_IDS)
def test_visibility_on_handle_objects(group, handles):
    _, target, entries = group
    wrong = []
    for name, _ in entries:
        expected = getattr(_tolvex, name)
        for kind, obj in handles.items():
            if kind == target:
                try:
                    value = getattr(obj, name)
                except AttributeError as exc:
                    wrong.append((kind, name, f"missing: {exc}"))
                    continue
                if type(value) is not int or value != expected:
                    wrong.append((kind, name, f"value {value!r}"))
            else:
                try:
                    value = getattr(obj, name)
                except AttributeError as exc:
                    message = "trying to obtain a non-existing attribute: " + name
                    if str(exc) != message:
                        wrong.append((kind, name, f"message {exc}"))
                else:
                    wrong.append((kind, name, f"visible as {value!r}"))
    assert wrong == []


# --- values ----------------------------------------------------------------------


@pytest.mark.parametrize("group", GROUPS, ids=GROUP_IDS)
def test_values_are_libcurls(group, libcurl_values):
    _, _, entries = group
    names = [name for name, _ in entries if name in FROM_LIBCURL]
    actual = {name: getattr(_tolvex, name) for name in names}
    expected = {name: libcurl_values[libcurl_name(name)] for name in names}
    assert actual == expected
    assert all(type(value) is int for value in actual.values())


@pytest.mark.parametrize("name", sorted(LITERAL_VALUES))
def test_fixed_values(name):
    value = getattr(_tolvex, name)
    assert type(value) is int
    assert value == LITERAL_VALUES[name]


@pytest.mark.parametrize("name", RESULT_CODE_CROSSCHECK)
def test_result_codes_agree_with_libcurl(name, libcurl_values):
    assert getattr(_tolvex, name) == libcurl_values[libcurl_name(name)]


@pytest.mark.parametrize("name,other", ALIASES, ids=[f"{a}={b}" for a, b in ALIASES])
def test_aliases_share_a_value(name, other):
    assert getattr(_tolvex, name) == getattr(_tolvex, other)


MASK_PREFIXES = (
    "HTTPAUTH_",
    "PROTO_",
    "SSH_AUTH_",
    "SSLOPT_",
    "PAUSE_",
    "REDIR_POST_",
    "GLOBAL_",
    "WS_",
    "VERSION_",
    "CURL_VERSION_",
)


@pytest.mark.parametrize("prefix", MASK_PREFIXES)
def test_masks_are_non_negative_32_bit(prefix):
    names = [name for name in ALL_NAMES if name.startswith(prefix)]
    assert names
    bad = {
        name: getattr(_tolvex, name) for name in names if not 0 <= getattr(_tolvex, name) < 2**32
    }
    assert bad == {}


# --- edge cases ------------------------------------------------------------------


@pytest.mark.parametrize(
    "name,value,kind",
    [
        ("URL", 10002, "easy"),
        ("M_PIPELINING", 3, "multi"),
        ("E_MULTI_OK", 0, "multi"),
        ("LOCK_DATA_DNS", 3, "share"),
        ("HTTPAUTH_ANY", 4294967279, "easy"),
        ("PROTO_ALL", 4294967295, "easy"),
    ],
)
def test_edge_values_on_module_and_handle(name, value, kind, handles):
    assert getattr(_tolvex, name) == value
    assert getattr(handles[kind], name) == value
    assert value >= 0
    for other, obj in handles.items():
        if other != kind:
            with pytest.raises(AttributeError, match=f"non-existing attribute: {name}$"):
                getattr(obj, name)


def test_infilesize_is_the_large_file_option():
    assert _tolvex.INFILESIZE == _tolvex.INFILESIZE_LARGE == 30115


@pytest.mark.parametrize("name", ["GLOBAL_ALL", "VERSION_SSL", "SOCKET_TIMEOUT"])
def test_module_only_constants(name, handles):
    assert type(getattr(_tolvex, name)) is int
    for obj in handles.values():
        with pytest.raises(AttributeError) as info:
            getattr(obj, name)
        assert str(info.value) == f"trying to obtain a non-existing attribute: {name}"


# --- the whole of the linked libcurl -------------------------------------------------
#
# Every name of the headers the module was built with, as the compiler sees
# them, is compared with the module: exported with libcurl's value, or on the
# exclusion list of tools/libcurl_names.py (which the build also reads) with
# its reason.


NAMES = _load_tool("libcurl_names")

# The libcurl prefixes whose every name the module exports or excludes, with
# the Python names that may carry one and the handle type that shows it.
PRIMARY = {
    "CURLOPT_": (("", "OPT_"), "easy"),
    "CURLINFO_": (("", "INFO_", "INFOTYPE_"), "easy"),
    "CURLE_": (("E_",), "easy"),
    "CURLM_": (("E_MULTI_",), "multi"),
    "CURLMOPT_": (("M_",), "multi"),
    "CURLSHOPT_": (("SH_",), "share"),
}


def _primary(name):
    prefix = re.match(r"CURL(OPT|INFO|E|M|MOPT|SHOPT)_", name)
    return prefix.group(0) if prefix else None


def python_names(name):
    """The Python names that may carry libcurl's `name`."""
    primary = _primary(name)
    if primary is not None:
        rest = name[len(primary) :]
        return [tag + rest for tag in PRIMARY[primary][0]]
    if NAMES.family(name) is None:
        return []
    return [NAMES.python_name(name)]


def _compile(compiler, names, workdir):
    source = workdir / "headers.c"
    lines = ["#include <stdio.h>", "#include <curl/curl.h>", "int main(void)", "{"]
    first = len(lines) + 1
    lines += ['  printf("%%s %%lld\\n", "%s", (long long)(%s));' % (n, n) for n in names]
    lines += ["  return 0;", "}", ""]
    source.write_text("\n".join(lines))
    binary = workdir / "headers"
    build = subprocess.run(
        [
            compiler,
            "-DCURL_DISABLE_DEPRECATION",
            "-o",
            str(binary),
            str(source),
            *_pkg_config_libcurl(),
        ],
        capture_output=True,
        text=True,
    )
    failed = {
        names[int(line) - first]
        for line in re.findall(r"headers\.c:(\d+):\d+: error", build.stderr)
        if 0 <= int(line) - first < len(names)
    }
    return build, binary, failed


@pytest.fixture(scope="module")
def header_values(tmp_path_factory):
    """{libcurl name: value} of every value name the headers define: the
    object-like macros and the enumerators of the preprocessed headers (the
    names that are not values, such as enum tags, fail to compile and are
    left out)."""
    compiler = _c_compiler()
    if compiler is None:
        pytest.skip("no C compiler found")
    workdir = tmp_path_factory.mktemp("libcurl-headers")
    header = workdir / "all.c"
    header.write_text("#include <curl/curl.h>\n")
    flags = ["-DCURL_DISABLE_DEPRECATION", *_pkg_config_libcurl()]
    macros = subprocess.run(
        [compiler, "-E", "-dM", str(header), *flags], check=True, capture_output=True, text=True
    ).stdout
    text = subprocess.run(
        [compiler, "-E", str(header), *flags], check=True, capture_output=True, text=True
    ).stdout
    text = re.sub(r'"(\\.|[^"\\])*"', " ", text)
    names = set(re.findall(r"^#define (CURL\w*)(?=\s)", macros, re.M))
    names |= set(re.findall(r"\bCURL[A-Z0-9_]*\b", text))
    names = sorted(n for n in names if _primary(n) or NAMES.family(n) or n in REGISTRY_MACROS)
    build, binary, failed = _compile(compiler, names, workdir)
    if failed:
        names = [n for n in names if n not in failed]
        build, binary, _ = _compile(compiler, names, workdir)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(binary)], check=True, capture_output=True, text=True)
    values = {name: int(value) for name, value in map(str.split, run.stdout.splitlines())}
    assert sorted(values) == names and "CURLOPT_URL" in values
    return values


def exported(name, value, handles):
    """Whether the module exports libcurl's primary `name` with its value,
    also on the objects of its handle type."""
    handle = handles[PRIMARY[_primary(name)][1]]
    return any(
        getattr(_tolvex, py_name, None) == value == getattr(handle, py_name, None)
        for py_name in python_names(name)
    )


def test_every_header_name_is_exported_or_excluded(header_values, handles):
    missing, excluded_but_exported = [], []
    for name, value in header_values.items():
        if _primary(name) is None:
            continue
        if NAMES.exclusion(name) is None:
            if not exported(name, value, handles):
                missing.append(name)
        elif exported(name, value, handles):
            excluded_but_exported.append(name)
    assert missing == []
    assert excluded_but_exported == []
    assert all(isinstance(reason, str) and reason for reason in NAMES.EXCLUDED.values())


def test_every_value_of_the_families_follows_the_headers(header_values):
    wrong = {}
    for name, value in header_values.items():
        if _primary(name) or not NAMES.family(name) or NAMES.exclusion(name) is not None:
            continue
        py_name = NAMES.python_name(name)
        if py_name in FIXED_VALUES:
            continue  # fixed by the registry, checked above
        if getattr(_tolvex, py_name, None) != value:
            wrong[name] = getattr(_tolvex, py_name, None)
    assert wrong == {}
