"""The module's registry of constants: the names it exports, in groups and in
insertion order, and where each value comes from.

    python3 tools/registry.py OUTPUT_DIR

registry.txt holds the names, a line per group: its number, the handle type
that also shows the group's constants ("module": none), and the names; the
result-code groups carry their values as NAME=VALUE.  Every other value is
libcurl's, of the libcurl name the rules below derive from the Python name,
except the values tolvex fixes itself (FIXED_VALUES).  The build writes
registry.inc, the C++ tables src/module.cpp inserts, into OUTPUT_DIR, a
directory of the build; tests/test_constants.py checks the same names
against libcurl's headers, and tools/libcurl_names.py leaves the names of
the registry to it.
"""

import os
import sys

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "registry.txt")


def load_groups(path=DATA):
    """[(number, target, [(name, listed value or None)])], in order."""
    groups = []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if not line.strip():
                continue
            number, target, *tokens = line.split()
            entries = []
            for token in tokens:
                name, sep, value = token.partition("=")
                entries.append((name, int(value) if sep else None))
            groups.append((int(number), target, entries))
    return groups


# Values tolvex fixes itself: masks kept within 32 bits, the large-file option
# numbers under the old names, the old aliases, and codes libcurl lacks.
# HTTPAUTH_ANY and HTTPAUTH_ANYSAFE differ from recent libcurl's CURLAUTH_ANY
# and CURLAUTH_ANYSAFE, which also leave out the newer CURLAUTH_HTTPSIG bit;
# the old names INFILESIZE, RESUME_FROM, MAXFILESIZE and POSTFIELDSIZE carry
# the numbers of the *_LARGE options.
FIXED_VALUES = {
    "E_ALREADY_COMPLETE": 99999,
    "HTTPAUTH_ANY": 4294967279,
    "HTTPAUTH_ANYSAFE": 4294967278,
    "HTTPAUTH_ONLY": 2147483648,
    "HTTPAUTH_GSSNEGOTIATE": 4,
    "PROTO_ALL": 4294967295,
    "SSH_AUTH_ANY": 4294967295,
    "SSH_AUTH_DEFAULT": 4294967295,
    "INFILESIZE": 30115,
    "RESUME_FROM": 30116,
    "MAXFILESIZE": 30117,
    "POSTFIELDSIZE": 30120,
    "SOCKET_BAD": -1,
    "SOCKET_TIMEOUT": -1,
    "READFUNC_ABORT": 268435456,
    "READFUNC_PAUSE": 268435457,
    "WRITEFUNC_PAUSE": 268435457,
    "FILE": 10001,
    "INFILE": 10009,
    "WRITEHEADER": 10029,
    "KRB4LEVEL": 10063,
    "FTPLISTONLY": 48,
    "FTPAPPEND": 50,
    "FTP_SSL": 119,
    "POST301": 161,
    "ENCODING": 10102,
    "SSLCERTPASSWD": 10026,
    "SSLKEYPASSWD": 10026,
    "OPT_COOKIELIST": 10135,
    "HTTP_CODE": 2097154,
    "CURL_HTTP_VERSION_2_0": 3,
    "GLOBAL_DEFAULT": 3,
    "CURL_VERSION_HTTPS_PROXY": 2097152,
    "CURL_VERSION_MULTI_SSL": 4194304,
    "CURL_VERSION_BROTLI": 8388608,
    "CURL_VERSION_ALTSVC": 16777216,
    "CURL_VERSION_HTTP3": 33554432,
    "CURL_VERSION_UNICODE": 134217728,
    "CURL_VERSION_ZSTD": 67108864,
    "CURL_VERSION_HSTS": 268435456,
    "CURL_VERSION_GSASL": 536870912,
    "E_CALL_MULTI_PERFORM": -1,
    "E_MULTI_CALL_MULTI_PERFORM": -1,
    "E_MULTI_CALL_MULTI_SOCKET": -1,
    "FORM_CONTENTS": 4,
    "M_NOTIFYFUNCTION": 20018,
    "M_NOTIFY_INFO_READ": 0,
    "M_NOTIFY_EASY_DONE": 1,
}

# The libcurl names the fixed values stand for, where there is one: the
# same value under libcurl's name or an old alias of it.
COUNTERPARTS = {
    "READFUNC_ABORT": "CURL_READFUNC_ABORT",
    "READFUNC_PAUSE": "CURL_READFUNC_PAUSE",
    "WRITEFUNC_PAUSE": "CURL_WRITEFUNC_PAUSE",
    "SOCKET_BAD": "CURL_SOCKET_BAD",
    "SOCKET_TIMEOUT": "CURL_SOCKET_TIMEOUT",
    "FORM_CONTENTS": "CURLFORM_COPYCONTENTS",
    "FILE": "CURLOPT_WRITEDATA",
    "INFILE": "CURLOPT_READDATA",
    "FTPLISTONLY": "CURLOPT_DIRLISTONLY",
    "FTPAPPEND": "CURLOPT_APPEND",
    "SSLCERTPASSWD": "CURLOPT_KEYPASSWD",
    "SSLKEYPASSWD": "CURLOPT_KEYPASSWD",
    "WRITEHEADER": "CURLOPT_HEADERDATA",
    "KRB4LEVEL": "CURLOPT_KRBLEVEL",
    "ENCODING": "CURLOPT_ACCEPT_ENCODING",
    "OPT_COOKIELIST": "CURLOPT_COOKIELIST",
    "POST301": "CURLOPT_POSTREDIR",
    "M_NOTIFYFUNCTION": "CURLMOPT_NOTIFYFUNCTION",
    "M_NOTIFY_INFO_READ": "CURLMNOTIFY_INFO_READ",
    "M_NOTIFY_EASY_DONE": "CURLMNOTIFY_EASY_DONE",
    "CURL_HTTP_VERSION_2_0": "CURL_HTTP_VERSION_2",
    "GLOBAL_DEFAULT": "CURL_GLOBAL_ALL",
}

# --- the libcurl name of each constant ---------------------------------------

# (prefix of the Python name, prefix of the libcurl name), tried in order,
# per group; None as the libcurl prefix means CURLOPT_ followed by the name.
_PREFIX_RULES = {
    1: [
        ("READFUNC_", "CURL_READFUNC_"),
        ("WRITEFUNC_", "CURL_WRITEFUNC_"),
        ("IOE_", "CURLIOE_"),
        ("IOCMD_", "CURLIOCMD_"),
        ("SOCKET_", "CURL_SOCKET_"),
        ("INFOTYPE_", "CURLINFO_"),
    ],
    3: [
        ("PROXYTYPE_", "CURLPROXY_"),
        ("HTTPAUTH_", "CURLAUTH_"),
        ("GSSAPI_DELEGATION_", "CURLGSSAPI_DELEGATION_"),
        ("GSSAPI_DELEGATION", None),
        ("FTPSSL_", "CURLFTPSSL_"),
        ("FTPAUTH_", "CURLFTPAUTH_"),
        ("FORM_", "CURLFORM_"),
        ("FTPMETHOD_", "CURLFTPMETHOD_"),
    ],
    4: [("OPT_", "CURLOPT_")],
    5: [("PROTO_", "CURLPROTO_")],
    6: [
        ("SSLOPT_", "CURLSSLOPT_"),
        ("PREREQFUNC_", "CURL_PREREQFUNC_"),
        ("FNMATCHFUNC_", "CURL_FNMATCHFUNC_"),
        ("TRAILERFUNC_", "CURL_TRAILERFUNC_"),
        ("WS_OPTIONS", None),
        ("WS_", "CURLWS_"),
        ("CURLHSTS_", "CURLHSTS_"),
        ("CURLSTS_", "CURLSTS_"),
    ],
    7: [("M_", "CURLMOPT_"), ("PIPE_", "CURLPIPE_")],
    8: [
        ("IPRESOLVE_", "CURL_IPRESOLVE_"),
        ("CURL_HTTP_VERSION_", "CURL_HTTP_VERSION_"),
        ("NETRC_", "CURL_NETRC_"),
        ("SSLVERSION_", "CURL_SSLVERSION_"),
        ("TIMECONDITION_", "CURL_TIMECOND_"),
        ("SSH_AUTH_", "CURLSSH_AUTH_"),
        ("HEADER_", "CURLHEADER_"),
        ("SOCKOPT_", "CURL_SOCKOPT_"),
        ("KHTYPE_", "CURLKHTYPE_"),
        ("KHMATCH_", "CURLKHMATCH_"),
        ("KHSTAT_", "CURLKHSTAT_"),
        ("SOCKTYPE_", "CURLSOCKTYPE_"),
        ("USESSL_", "CURLUSESSL_"),
    ],
    9: [("INFO_", "CURLINFO_"), ("", "CURLINFO_")],
    10: [
        ("RTSPREQ_", "CURL_RTSPREQ_"),
        ("PAUSE_", "CURLPAUSE_"),
        ("SEEKFUNC_", "CURL_SEEKFUNC_"),
        ("REDIR_POST_", "CURL_REDIR_POST_"),
        ("INFO_", "CURLINFO_"),
    ],
    11: [
        ("GLOBAL_", "CURL_GLOBAL_"),
        ("CSELECT_", "CURL_CSELECT_"),
        ("SOCKET_", "CURL_SOCKET_"),
        ("POLL_", "CURL_POLL_"),
        ("VERSION_", "CURL_VERSION_"),
        ("CURL_VERSION_", "CURL_VERSION_"),
    ],
    12: [("E_CALL_", "CURLM_CALL_"), ("E_MULTI_", "CURLM_")],
    13: [("SH_", "CURLSHOPT_"), ("LOCK_DATA_", "CURL_LOCK_DATA_")],
}
# The few names whose libcurl name is not given by a prefix rule.
_IRREGULAR_MACROS = {
    "FORM_CONTENTS": "CURLFORM_COPYCONTENTS",
    "M_NOTIFY_INFO_READ": "CURLMNOTIFY_INFO_READ",
    "M_NOTIFY_EASY_DONE": "CURLMNOTIFY_EASY_DONE",
}
# Groups whose names fall back to CURLOPT_<name> when no rule applies.
_OPTION_GROUPS = {3, 4, 6, 8, 10}


def libcurl_name(name, group):
    """The libcurl macro or enumerator that gives the value of `name`, a name
    of `group`."""
    if name in _IRREGULAR_MACROS:
        return _IRREGULAR_MACROS[name]
    if group == 2:
        return "CURLE_" + name[len("E_") :]
    for prefix, replacement in _PREFIX_RULES.get(group, ()):
        if name.startswith(prefix):
            if replacement is None:
                return "CURLOPT_" + name
            return replacement + name[len(prefix) :]
    if group in _OPTION_GROUPS:
        return "CURLOPT_" + name
    raise AssertionError(f"no libcurl name known for {name} (group {group})")


def entries(groups=None):
    """{Python name: the libcurl name of its value, or None for a value
    tolvex fixes that stands for no libcurl name}."""
    result = {}
    for number, _, names in groups or load_groups():
        for name, _ in names:
            if name in FIXED_VALUES:
                result[name] = COUNTERPARTS.get(name)
            else:
                result[name] = libcurl_name(name, number)
    return result


TARGETS = {"easy": "Easy", "multi": "Multi", "share": "Share", "module": "ModuleOnly"}


def write(directory):
    """Writes registry.inc: a table of each group and the segments that
    list them, in order."""
    lines = [
        "// Generated by tools/registry.py from tools/registry.txt.  Do not edit.",
        "// Included by src/module.cpp, which defines ConstTarget, ConstantDef",
        "// and ConstantSegment.",
        "",
    ]
    segments = []
    for number, target, names in load_groups():
        lines.append("static const ConstantDef registry_group_%d[] = {" % number)
        for name, listed in names:
            value = FIXED_VALUES.get(name, listed)
            expression = libcurl_name(name, number) if value is None else "%dLL" % value
            lines.append('    {"%s", %s},' % (name, expression))
        lines += ["};", ""]
        segments.append(
            "    {ConstTarget::%s, registry_group_%d, std::size(registry_group_%d)},"
            % (TARGETS[target], number, number)
        )
    lines += ["static const ConstantSegment constant_segments[] = {"] + segments + ["};"]
    os.makedirs(directory, exist_ok=True)
    write_if_changed(os.path.join(directory, "registry.inc"), lines)


def write_if_changed(path, lines):
    """Writes `lines` to `path`, unless it holds them already: an unchanged
    file keeps its time, so that the build redoes nothing."""
    text = "\n".join(lines) + "\n"
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__.split("\n\n")[1])
    write(sys.argv[1])
