"""The libcurl names the module exports beyond its hand-kept registry.

    python3 tools/libcurl_names.py CURL_INCLUDE_DIR OUTPUT_DIR

The build runs this over the headers of the libcurl it compiles against
(CMakeLists.txt) and writes into OUTPUT_DIR, a directory of the build, the
options, informations, result codes, multi and share options and the values
that go with them that the registry (tools/registry.py) does not list, each with its
libcurl name as its value, so that the compiler, not this script, gives the
numbers.  A libcurl older than the newest simply lacks the names it lacks.

Which names count, how they are named in Python and which stay out (with
the reason) are the tables below; tests/test_constants.py reads them too.
"""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import registry  # noqa: E402

# libcurl's name prefixes, each with the prefix of the Python name and the
# handle type whose objects also carry the constant ("module": only the
# module).  The longest matching prefix applies.  Options and informations
# keep their bare names; one whose bare name another name has too is
# OPT_ or INFO_ followed by it, as FILETIME is OPT_FILETIME and INFO_FILETIME.
FAMILIES = [
    ("CURLOPT_", "", "easy"),
    ("CURLINFO_", "", "easy"),
    ("CURLE_", "E_", "easy"),
    ("CURLM_", "E_MULTI_", "multi"),
    ("CURLMOPT_", "M_", "multi"),
    ("CURLSHOPT_", "SH_", "share"),
    # The values that go with the options, informations and callbacks.
    ("CURLALTSVC_", "ALTSVC_", "easy"),
    ("CURLAUTH_", "HTTPAUTH_", "easy"),
    ("CURLFILETYPE_", "FILETYPE_", "easy"),
    ("CURLFINFOFLAG_", "FINFOFLAG_", "easy"),
    ("CURLFOLLOW_", "FOLLOW_", "easy"),
    ("CURLFTPAUTH_", "FTPAUTH_", "easy"),
    ("CURLFTPMETHOD_", "FTPMETHOD_", "easy"),
    ("CURLFTPSSL_", "FTPSSL_", "easy"),
    ("CURLFTP_CREATE_DIR", "FTP_CREATE_DIR", "easy"),
    ("CURLGSSAPI_DELEGATION_", "GSSAPI_DELEGATION_", "easy"),
    ("CURLHEADER_", "HEADER_", "easy"),
    ("CURLHSTS_", "CURLHSTS_", "easy"),
    ("CURLHTTPSIG_", "HTTPSIG_", "easy"),
    ("CURLIOCMD_", "IOCMD_", "easy"),
    ("CURLIOE_", "IOE_", "easy"),
    ("CURLKHMATCH_", "KHMATCH_", "easy"),
    ("CURLKHSTAT_", "KHSTAT_", "easy"),
    ("CURLKHTYPE_", "KHTYPE_", "easy"),
    ("CURLMIMEOPT_", "MIMEOPT_", "easy"),
    ("CURLPAUSE_", "PAUSE_", "easy"),
    ("CURLPROTO_", "PROTO_", "easy"),
    ("CURLPROXY_", "PROXYTYPE_", "easy"),
    ("CURLPX_", "PX_", "easy"),
    ("CURLSOCKTYPE_", "SOCKTYPE_", "easy"),
    ("CURLSSH_AUTH_", "SSH_AUTH_", "easy"),
    ("CURLSSLOPT_", "SSLOPT_", "easy"),
    ("CURLSTS_", "CURLSTS_", "easy"),
    ("CURLULFLAG_", "ULFLAG_", "easy"),
    ("CURLUSESSL_", "USESSL_", "easy"),
    ("CURLWS_", "WS_", "easy"),
    ("CURL_CHUNK_BGN_FUNC_", "CHUNK_BGN_FUNC_", "easy"),
    ("CURL_CHUNK_END_FUNC_", "CHUNK_END_FUNC_", "easy"),
    ("CURL_FNMATCHFUNC_", "FNMATCHFUNC_", "easy"),
    ("CURL_HTTP_VERSION_", "CURL_HTTP_VERSION_", "easy"),
    ("CURL_IPRESOLVE_", "IPRESOLVE_", "easy"),
    ("CURL_NETRC_", "NETRC_", "easy"),
    ("CURL_PREREQFUNC_", "PREREQFUNC_", "easy"),
    ("CURL_PROGRESSFUNC_", "PROGRESSFUNC_", "easy"),
    ("CURL_READFUNC_", "READFUNC_", "easy"),
    ("CURL_REDIR_", "REDIR_", "easy"),
    ("CURL_RTSPREQ_", "RTSPREQ_", "easy"),
    ("CURL_SEEKFUNC_", "SEEKFUNC_", "easy"),
    ("CURL_SOCKOPT_", "SOCKOPT_", "easy"),
    ("CURL_SSLVERSION_", "SSLVERSION_", "easy"),
    ("CURL_TIMECOND_", "TIMECONDITION_", "easy"),
    ("CURL_TRAILERFUNC_", "TRAILERFUNC_", "easy"),
    ("CURL_WRITEFUNC_", "WRITEFUNC_", "easy"),
    ("CURLMNOTIFY_", "M_NOTIFY_", "multi"),
    ("CURLMNWC_", "M_NWC_", "multi"),
    ("CURLPIPE_", "PIPE_", "multi"),
    ("CURL_PUSH_", "PUSH_", "multi"),
    ("CURL_LOCK_DATA_", "LOCK_DATA_", "share"),
    ("CURL_CSELECT_", "CSELECT_", "module"),
    ("CURL_GLOBAL_", "GLOBAL_", "module"),
    ("CURL_POLL_", "POLL_", "module"),
    ("CURL_VERSION_", "VERSION_", "module"),
]

_DATA = (
    "the data pointer of a callback: the module points it at the handle's own object, "
    "and a callable carries its own state"
)
_MULTI_DATA = "the data pointer of a multi callback: the module points it at the CurlMulti"
_LARGE = (
    "the module's name carries the number of the 64-bit *_LARGE option of the same "
    "meaning (a fixed value of the registry); libcurl's long option is set by its number"
)
_OBSOLETE = "the placeholder of a retired code; the code keeps its historical E_ name"
_RETIRED = "a retired option name libcurl keeps for old sources; it names no option"
_TYPE_BITS = "the type bits of the information numbers, not an information"
_MARKER = "an end marker of libcurl's enumeration, which moves with every release"

# The names of the families above that stay out, with the reason.
EXCLUDED = {
    "CURLOPT_ERRORBUFFER": "the module owns the handle's error buffer (errstr(), and the text "
    "of tolvex.error)",
    "CURLOPT_PRIVATE": "the module's pointer from the handle to its Curl object",
    "CURLINFO_PRIVATE": "the module's pointer from the handle to its Curl object",
    "CURLOPT_CURLU": "a CURLU handle of libcurl's URL API, which the module does not wrap",
    "CURLOPT_SSL_CTX_FUNCTION": "hands the TLS library's own context to the callback; the module "
    "uses it only for set_ca_certs()",
    "CURLINFO_TLS_SESSION": "a pointer into the TLS library's connection state",
    "CURLINFO_TLS_SSL_PTR": "a pointer into the TLS library's connection state",
    "CURLOPT_CONV_FROM_NETWORK_FUNCTION": "a character conversion callback libcurl no longer calls",
    "CURLOPT_CONV_TO_NETWORK_FUNCTION": "a character conversion callback libcurl no longer calls",
    "CURLOPT_CONV_FROM_UTF8_FUNCTION": "a character conversion callback libcurl no longer calls",
    "CURLOPT_STREAM_DEPENDS": "points at another easy handle; deprecated, libcurl ignores it",
    "CURLOPT_STREAM_DEPENDS_E": "points at another easy handle; deprecated, libcurl ignores it",
    "CURLOPT_HEADERDATA": _DATA,
    "CURLOPT_XFERINFODATA": _DATA,
    "CURLOPT_PROGRESSDATA": _DATA,
    "CURLOPT_DEBUGDATA": _DATA,
    "CURLOPT_IOCTLDATA": _DATA,
    "CURLOPT_SOCKOPTDATA": _DATA,
    "CURLOPT_OPENSOCKETDATA": _DATA,
    "CURLOPT_CLOSESOCKETDATA": _DATA,
    "CURLOPT_SEEKDATA": _DATA,
    "CURLOPT_SSH_KEYDATA": _DATA,
    "CURLOPT_SSH_HOSTKEYDATA": _DATA,
    "CURLOPT_INTERLEAVEDATA": _DATA,
    "CURLOPT_CHUNK_DATA": _DATA,
    "CURLOPT_PREREQDATA": _DATA,
    "CURLOPT_SSL_CTX_DATA": _DATA,
    "CURLMOPT_SOCKETDATA": _MULTI_DATA,
    "CURLMOPT_TIMERDATA": _MULTI_DATA,
    "CURLMOPT_PUSHDATA": _MULTI_DATA,
    "CURLMOPT_NOTIFYDATA": _MULTI_DATA,
    "CURLSHOPT_LOCKFUNC": "the module supplies the share's locking",
    "CURLSHOPT_UNLOCKFUNC": "the module supplies the share's locking",
    "CURLSHOPT_USERDATA": "the module supplies the share's locking",
    "CURLSHOPT_NONE": "not an option",
    "CURLINFO_NONE": "not an information",
    "CURL_LOCK_DATA_NONE": "not a kind of data to share",
    "CURL_LOCK_DATA_SHARE": "libcurl's lock of the share itself, not a kind of data to share",
    "CURLOPT_INFILESIZE": _LARGE,
    "CURLOPT_RESUME_FROM": _LARGE,
    "CURLOPT_POSTFIELDSIZE": _LARGE,
    "CURLOPT_MAXFILESIZE": _LARGE,
    "CURLOPT_MAIL_RCPT_ALLLOWFAILS": "libcurl's misspelt alias of MAIL_RCPT_ALLOWFAILS",
    "CURLOPT_WRITEINFO": _RETIRED,
    "CURLOPT_CLOSEPOLICY": _RETIRED,
    "CURLOPT_OBSOLETE40": _RETIRED,
    "CURLOPT_OBSOLETE72": _RETIRED,
}
for _name in ("STRING", "LONG", "DOUBLE", "SLIST", "PTR", "SOCKET", "OFF_T", "MASK", "TYPEMASK"):
    EXCLUDED["CURLINFO_" + _name] = _TYPE_BITS

# Patterns of names that stay out, with the reason.
EXCLUDED_PATTERNS = [
    (re.compile(r"^CURLE_OBSOLETE\d*$"), _OBSOLETE),
    (re.compile(r"(_LAST|LASTENTRY|LASTONE|^CURLINFO_END)$"), _MARKER),
]

# The tags of options and informations whose bare names collide.
TAGS = {"CURLOPT_": "OPT_", "CURLINFO_": "INFO_"}
HEADERS = ("curl.h", "multi.h", "websockets.h", "easy.h")


def exclusion(name):
    """The reason `name` stays out, or None."""
    if name in EXCLUDED:
        return EXCLUDED[name]
    for pattern, reason in EXCLUDED_PATTERNS:
        if pattern.search(name):
            return reason
    return None


def family(name):
    """The (libcurl prefix, Python prefix, target) of `name`, or None."""
    best = None
    for row in FAMILIES:
        # A prefix without a closing underscore (FTP_CREATE_DIR) names a value too.
        if name.startswith(row[0]) and (len(name) > len(row[0]) or not row[0].endswith("_")):
            if best is None or len(row[0]) > len(best[0]):
                best = row
    return best


def python_name(name, tagged=False):
    """The Python name of `name` under its family's rule (tagged: with OPT_ or INFO_)."""
    prefix, py_prefix, _ = family(name)
    rest = name[len(prefix) :]
    return (TAGS[prefix] if tagged else py_prefix) + rest


def _strip(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


class Headers:
    """The value names of libcurl's headers: enumerators and object-like
    macros, the informations (with their type) and what libcurl marks
    deprecated."""

    def __init__(self, directory):
        self.names = {}  # in the headers' order
        self.deprecated = set()
        self.info_types = {}
        for header in HEADERS:
            path = os.path.join(directory, header)
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    self._read(_strip(f.read()))

    def _read(self, text):
        found = []  # (position, name)
        for match in re.finditer(r"^[ \t]*#[ \t]*define[ \t]+(CURL\w+)(?!\()[ \t]+\S", text, re.M):
            found.append((match.start(), match.group(1)))
        # Enumerator lists, without the preprocessor lines inside them.
        for enum in re.finditer(r"\benum\b[^{;]*\{(.*?)\}", text, re.S):
            body = re.sub(r"^[ \t]*#[^\n]*", " ", enum.group(1), flags=re.M)
            for item in _split(body):
                match = re.match(r"\s*(?:CURLOPT(?:DEPRECATED)?\(\s*)?(CURL\w*)\b(.*)", item, re.S)
                if match is None:
                    continue
                name, tail = match.groups()
                found.append((enum.start(), name))
                if "DEPRECATED" in item:
                    self.deprecated.add(name)
                typed = re.search(
                    r"=\s*CURLINFO_(STRING|LONG|DOUBLE|SLIST|PTR|SOCKET|OFF_T)\b", tail
                )
                if typed:
                    self.info_types[name] = typed.group(1)
        # Python's sort is stable: an enumerator list keeps its own order.
        for _, name in sorted(found, key=lambda item: item[0]):
            self.names.setdefault(name, None)


def _split(body):
    """The items of an enumerator list: its top-level comma-separated parts."""
    items, depth, start = [], 0, 0
    for i, char in enumerate(body):
        if char == "(":
            depth += 1
        elif char == ")":
            depth -= 1
        elif char == "," and depth == 0:
            items.append(body[start:i])
            start = i + 1
    items.append(body[start:])
    return items


def generated(headers, kept):
    """The names to generate: [(Python name, libcurl name, target)], family
    by family in the order of FAMILIES, each in the headers' order.  `kept`
    is the registry."""
    covered = {c for c in kept.values() if c is not None}

    def kept_family(py_name):
        c_name = kept[py_name]
        row = family(c_name) if c_name else None
        return row[0] if row else None

    chosen = []
    order = {row[0]: i for i, row in enumerate(FAMILIES)}
    for name in sorted(headers.names, key=lambda n: order[family(n)[0]] if family(n) else -1):
        row = family(name)
        if row is None or exclusion(name) is not None or name in covered:
            continue
        bare = python_name(name)
        if bare in kept and kept_family(bare) in (None, row[0]):
            continue
        # A pointer information needs a conversion of its own.
        if headers.info_types.get(name) == "PTR":
            continue
        if row[0] == "CURLINFO_" and name not in headers.info_types:
            continue
        chosen.append((name, bare, row[2]))
    # Bare names taken twice, or taken by the registry, get their tag.
    counts = {}
    for _, bare, _ in chosen:
        counts[bare] = counts.get(bare, 0) + 1
    result, taken = [], set(kept)
    for name, bare, target in chosen:
        py_name = bare
        if counts[bare] > 1 or bare in kept:
            prefix = family(name)[0]
            if prefix not in TAGS:
                raise SystemExit("libcurl_names: %s would be %s, a name taken" % (name, bare))
            py_name = python_name(name, tagged=True)
        if py_name in taken:
            raise SystemExit("libcurl_names: %s would be %s, a name taken" % (name, py_name))
        taken.add(py_name)
        result.append((py_name, name, target))
    return result


def write(headers, kept, directory):
    """Writes libcurl_constants.inc (the constants, for the registry of
    src/module.cpp) and libcurl_infos.h (the informations among them) into
    `directory`."""
    names = generated(headers, kept)
    note = [
        "// Generated by tools/libcurl_names.py from libcurl's headers: names the",
        "// registry (tools/registry.py) does not list.  Do not edit.",
    ]
    lines = note + ["// Included by src/module.cpp after the registry.", ""]
    segments = []
    for target, enum in (
        ("easy", "Easy"),
        ("multi", "Multi"),
        ("share", "Share"),
        ("module", "ModuleOnly"),
    ):
        rows = [(py, c) for py, c, t in names if t == target]
        if not rows:
            continue
        lines.append("static const ConstantDef generated_%s_constants[] = {" % target)
        lines += ['    {"%s", %s},' % row for row in rows]
        lines += ["};", ""]
        segments.append(
            "    {ConstTarget::%s, generated_%s_constants, std::size(generated_%s_"
            "constants)}," % (enum, target, target)
        )
    lines.append(
        "static const std::array<ConstantSegment, %d> generated_segments = {{" % len(segments)
    )
    lines += segments + ["}};"]
    os.makedirs(directory, exist_ok=True)
    registry.write_if_changed(os.path.join(directory, "libcurl_constants.inc"), lines)

    infos = [c for _, c, _ in names if c in headers.info_types]
    deprecated = [c for c in infos if c in headers.deprecated]
    lines = note + ["#pragma once", "", "#include <array>", ""]
    lines.append("// The informations; libcurl's headers mark the deprecated ones.")
    for array, values in (("generated_infos", infos), ("generated_deprecated_infos", deprecated)):
        lines.append("inline constexpr std::array<int, %d> %s = {" % (len(values), array))
        lines += ["    %s," % value for value in values]
        lines.append("};")
    registry.write_if_changed(os.path.join(directory, "libcurl_infos.h"), lines)


def main(argv):
    if len(argv) != 3:
        raise SystemExit(__doc__.split("\n\n")[1])
    write(Headers(argv[1]), registry.entries(), argv[2])


if __name__ == "__main__":
    main(sys.argv)
