"""Curl.setopt, unsetopt, setopt_string and set_ca_certs: option numbers,
integers, strings, blobs, POSTFIELDS and resetting options."""

import gc
import io
import logging
import os
import socket
import subprocess
import sys
import threading
import warnings

import pytest

import tolvex
from servers.http import transfer

T = tolvex
# the FTP server of the WILDCARDMATCH tests logs every command
logging.getLogger("pyftpdlib").addHandler(logging.NullHandler())
logging.getLogger("pyftpdlib").propagate = False


def held_bytes(c):
    return [o for o in gc.get_referents(c) if isinstance(o, bytes)]


def make_body(n, seed):
    return bytes((i * 7 + seed) % 256 for i in range(n))


class Text(str):
    pass


class Blob(bytes):
    pass


def named(names):
    """The option numbers of the space-separated names."""
    return [getattr(T, name) for name in names.split()]


# Past the last option number of any libcurl to come for a long while.
@pytest.mark.parametrize("option", [0, -1, 999, 9999, 10999, 19999, 20999, 30999, 40999, 2**31 - 1])
@pytest.mark.parametrize("value", [1, "text", None, ["a: b"], len, object()])
def test_option_numbers_out_of_range(curl, option, value):
    with pytest.raises(TypeError, match="^invalid arguments to setopt$"):
        curl.setopt(option, value)
    with pytest.raises(TypeError, match="^invalid arguments to unsetopt$"):
        curl.unsetopt(option)


UNKNOWN = (T.E_UNKNOWN_OPTION, T.easy_strerror(T.E_UNKNOWN_OPTION))


@pytest.mark.parametrize(
    "method, option, value, exc, message",
    [
        # the ends of each range pass the range check; libcurl knows no
        # long options 93 or 328, and 10328 is a string option
        ("setopt", 93, 1, T.error, UNKNOWN),
        ("setopt", 328, 1, T.error, UNKNOWN),
        ("setopt", 10328, 1, TypeError, "integers are not supported for this option"),
        ("setopt", T.PREQUOTE, "x", TypeError, "strings are not supported for this option"),
        # 10010 is libcurl's ERRORBUFFER, which the module keeps for itself
        ("setopt", 10010, "x", TypeError, "strings are not supported for this option"),
        ("setopt", 20328, len, TypeError, "functions are not supported for this option"),
        ("setopt", 40328, 1, TypeError, "integers are not supported for this option"),
        ("setopt", T.URL, True, TypeError, "integers are not supported for this option"),
        ("setopt", T.CAINFO_BLOB, 1, TypeError, "integers are not supported for this option"),
        ("setopt", T.WRITEFUNCTION, 0, TypeError, "integers are not supported for this option"),
        ("setopt", T.VERBOSE, "1", TypeError, "strings are not supported for this option"),
        ("setopt", T.INFILESIZE, b"1", TypeError, "strings are not supported for this option"),
        ("setopt", T.VERBOSE, (1,), TypeError, "lists are not supported for this option"),
        ("setopt", T.URL, 1.5, TypeError, "invalid arguments to setopt"),
        ("setopt", T.STDERR, io.StringIO(), TypeError, "invalid arguments to setopt"),
        ("setopt", T.POSTFIELDS, bytearray(b"abc"), TypeError, "invalid arguments to setopt"),
        ("setopt", T.URL, "http://h\u00e9/", UnicodeEncodeError, None),
        ("setopt", T.POSTFIELDS, "caf\u00e9", UnicodeEncodeError, None),
        ("setopt", T.CAINFO_BLOB, "\u00ff", UnicodeEncodeError, None),
        ("setopt", T.URL, b"http://127.0.0.1/\0x", ValueError, None),
        ("setopt", T.COPYPOSTFIELDS, "a\0b", ValueError, None),
        ("setopt", T.VERBOSE, 2**70, OverflowError, None),
        ("setopt", T.INFILESIZE, -(2**63) - 1, OverflowError, None),
        ("setopt_string", T.URL, 1, TypeError, "invalid arguments to setopt_string"),
        ("setopt_string", 42, "1", TypeError, "strings are not supported for this option"),
        # setopt_string has no range check of its own
        ("setopt_string", 0, "x", TypeError, "strings are not supported for this option"),
    ],
)
def test_refusals(curl, method, option, value, exc, message):
    with pytest.raises(exc) as info:
        getattr(curl, method)(option, value)
    if isinstance(message, tuple):
        assert info.value.args == message
    elif message is not None:
        assert str(info.value) == message
    assert curl.setopt(T.VERBOSE, 0) is None  # nothing left pending


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda c: c.setopt(T.URL), "setopt"),
        (lambda c: c.setopt(T.WRITEFUNCTION, len, True), "setopt"),
        (lambda c: c.unsetopt(), "unsetopt"),
        (lambda c: c.setopt_string(T.URL), "setopt"),
        (lambda c: c.set_ca_certs(), "cadata"),
    ],
)
def test_argument_errors_name_the_method(curl, call, name):
    with pytest.raises(TypeError, match=r"^%s\(\)" % name):
        call(curl)


MEMORYVIEW_ONLY = "use_memoryview is only supported for WRITEFUNCTION and HEADERFUNCTION"


@pytest.mark.parametrize("flag", [True, False, 0, []])
@pytest.mark.parametrize(
    "option, value", [(T.URL, "http://h/"), (T.URL, None), (T.READFUNCTION, len)]
)
def test_use_memoryview_only_for_write_and_header_functions(curl, option, value, flag):
    with pytest.raises(TypeError) as info:
        curl.setopt(option, value, use_memoryview=flag)
    assert str(info.value) == MEMORYVIEW_ONLY


def test_closed_handle():
    c = tolvex.Curl()
    with pytest.raises(TypeError, match="^invalid arguments to setopt$"):
        c.setopt(0, len, use_memoryview=True)  # range before use_memoryview
    c.close()
    for call, name in [
        (lambda: c.setopt(0, 1, use_memoryview=True), "setopt"),
        (lambda: c.setopt(T.URL, None), "setopt"),
        (lambda: c.unsetopt(0), "unsetopt"),
        (lambda: c.unsetopt(T.PROXY), "unsetopt"),
        (lambda: c.setopt_string(T.URL, 1), "setopt"),
    ]:
        with pytest.raises(tolvex.error) as info:
            call()
        assert info.value.args == ("cannot invoke %s() - no curl handle" % name,)
    with pytest.raises(tolvex.error) as info:
        c.set_ca_certs(b"")
    assert info.value.args[0] == T.E_BAD_FUNCTION_ARGUMENT


@pytest.mark.parametrize("method", ["setopt", "unsetopt", "setopt_string"])
def test_refused_while_perform_runs(curl, server, method):
    args = (T.PROXY,) if method == "unsetopt" else (T.USERAGENT, "x")
    seen = []

    def write(data):
        try:
            getattr(curl, method)(*args)
        except tolvex.error as e:
            seen.append(e.args)

    curl.setopt(T.URL, server.url("/hello"))
    curl.setopt(T.WRITEFUNCTION, write)
    curl.perform()
    name = "unsetopt" if method == "unsetopt" else "setopt"
    assert seen == [("cannot invoke %s() - perform() is currently running" % name,)]


# ---------------------------------------------------------------------------
# Strings and integers that reach the server.


@pytest.mark.parametrize(
    "option, value, header, expected",
    [
        (T.USERAGENT, "agent/1.0", "User-Agent", "agent/1.0"),
        (T.USERAGENT, Text("agent/3.0"), "User-Agent", "agent/3.0"),
        (T.REFERER, Blob(b"http://example.test/"), "Referer", "http://example.test/"),
        (T.COOKIE, b"a=1; b=2", "Cookie", "a=1; b=2"),
        (T.RANGE, "0-3", "Range", "bytes=0-3"),
        (T.USERPWD, "user:secret", "Authorization", "Basic dXNlcjpzZWNyZXQ="),
    ],
)
def test_strings_reach_the_server(curl, server, option, value, header, expected):
    curl.setopt(T.URL, server.url("/hello?x=1").encode())
    curl.setopt(option, value)
    curl.perform_rb()
    (request,) = server.requests
    assert (request.method, request.path) == ("GET", "/hello?x=1")
    assert request.header(header) == expected


@pytest.mark.parametrize(
    "options, path, outcome, requests",
    [
        ({"PROTOCOLS_STR": "http,https"}, "/echo", b"", 1),
        ({"PROTOCOLS_STR": b"ftp"}, "/echo", T.E_UNSUPPORTED_PROTOCOL, 0),
        ({"PROTOCOLS_STR": "HTTPS"}, "/echo", T.E_UNSUPPORTED_PROTOCOL, 0),
        ({"REDIR_PROTOCOLS_STR": "http"}, "/redirect?to=/echo&code=302", b"", 2),
        (
            {"REDIR_PROTOCOLS_STR": "http"},
            "/redirect?to=ftp://127.0.0.1:1/&code=302",
            T.E_UNSUPPORTED_PROTOCOL,
            1,
        ),
    ],
)
def test_protocols_by_name(quiet_server, options, path, outcome, requests):
    assert transfer(quiet_server.url(path), FOLLOWLOCATION=1, **options) == outcome
    assert len(quiet_server.requests) == requests


@pytest.mark.parametrize(
    "reset", [lambda c, o: c.unsetopt(o), lambda c, o: c.setopt(o, None)], ids=["unsetopt", "none"]
)
@pytest.mark.parametrize(
    "option, value, header",
    [
        (T.COOKIE, "a=1", "Cookie"),
        (T.RANGE, "0-3", "Range"),
        (T.USERNAME, "u", "Authorization"),
        (T.ACCEPT_ENCODING, "gzip", "Accept-Encoding"),
        (T.CUSTOMREQUEST, "PUT", None),
    ],
)
def test_reset_string_option(curl, server, option, value, header, reset):
    curl.setopt(T.URL, server.url("/hello"))
    curl.setopt(option, value)
    curl.perform_rb()
    assert reset(curl, option) is None
    curl.perform_rb()
    first, second = server.requests
    if header is None:
        assert (first.method, second.method) == (value, "GET")
    else:
        assert first.header(header) is not None and second.header(header) is None


@pytest.mark.parametrize("how", ["unsetopt", "none"])
def test_reset_proxy_goes_direct(curl, server, how):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    curl.setopt(T.PROXY, "http://127.0.0.1:%d" % s.getsockname()[1])
    s.close()
    curl.setopt(T.URL, server.url("/hello"))
    with pytest.raises(tolvex.error) as info:
        curl.perform()
    assert info.value.args[0] == T.E_COULDNT_CONNECT
    curl.unsetopt(T.PROXY) if how == "unsetopt" else curl.setopt(T.PROXY, None)
    assert curl.perform_rb() == b"Hello, world!"


@pytest.mark.parametrize(
    "option",
    named("URL REFERER USERAGENT POSTFIELDS COPYPOSTFIELDS VERBOSE INFILESIZE POSTFIELDSIZE")
    + named("WRITEDATA READDATA STDERR")
    + [93, 40328],
)
def test_unsetopt_not_supported(curl, option):
    for call in (lambda: curl.unsetopt(option), lambda: curl.setopt(option, None)):
        with pytest.raises(TypeError, match="^unsetopt\\(\\) is not supported for this option$"):
            call()


BLOBS = named("SSLCERT_BLOB SSLKEY_BLOB PROXY_SSLCERT_BLOB PROXY_SSLKEY_BLOB ISSUERCERT_BLOB")
BLOBS += named("PROXY_ISSUERCERT_BLOB CAINFO_BLOB PROXY_CAINFO_BLOB")
RESETTABLE = named(
    """PROXYUSERPWD FTPPORT CAINFO RANDOM_FILE EGDSOCKET COOKIEJAR SSL_CIPHER_LIST CAPATH PASSWORD
    PROXYUSERNAME PROXYPASSWORD PROXY_SERVICE_NAME SERVICE_NAME PROXY_CAINFO PROXY_CAPATH
    PROXY_SSLCERT PROXY_SSLCERTTYPE PROXY_SSLKEY PROXY_SSLKEYTYPE PROXY_SSL_CIPHER_LIST PRE_PROXY
    HSTS WRITEHEADER OPT_CERTINFO HTTPPOST MIMEPOST SHARE WRITEFUNCTION READFUNCTION
    HEADERFUNCTION PROGRESSFUNCTION XFERINFOFUNCTION DEBUGFUNCTION IOCTLFUNCTION SEEKFUNCTION
    TRAILERFUNCTION PREREQFUNCTION OPENSOCKETFUNCTION CLOSESOCKETFUNCTION SOCKOPTFUNCTION
    SSH_KEYFUNCTION FNMATCH_FUNCTION RESOLVER_START_FUNCTION HSTSREADFUNCTION HSTSWRITEFUNCTION"""
)


@pytest.mark.parametrize("option", RESETTABLE + BLOBS + [14])
def test_resettable_options_reset_when_never_set(curl, option):
    assert curl.unsetopt(option) is None
    assert curl.setopt(option, None) is None


def test_reset_of_option_14_restores_unknown_upload_size(curl, server):
    # INFILESIZE is the 64-bit option; 14 is libcurl's long one
    curl.setopt(T.URL, server.url("/echo"))
    curl.setopt(T.UPLOAD, 1)
    curl.setopt(T.INFILESIZE, 5)
    curl.setopt(T.READFUNCTION, io.BytesIO(b"12345").read)
    assert curl.perform_rb() == b"12345"
    curl.unsetopt(14)
    curl.setopt(T.READFUNCTION, io.BytesIO(b"abcdefgh").read)
    assert curl.perform_rb() == b"abcdefgh"
    first, second = server.requests
    assert first.header("Content-Length") == "5"
    assert second.header("Content-Length") is None
    assert second.header("Transfer-Encoding") == "chunked"


@pytest.mark.parametrize(
    "reset", ["c.unsetopt(tolvex.WRITEFUNCTION)", "c.setopt(tolvex.WRITEFUNCTION, None)"]
)
def test_reset_writefunction_writes_to_stdout_again(server, reset):
    script = (
        "import sys, tolvex\nc = tolvex.Curl()\nc.setopt(tolvex.URL, sys.argv[1])\n"
        "c.setopt(tolvex.WRITEFUNCTION, lambda data: None)\nc.perform()\n"
        "%s\nc.perform()\n" % reset
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    args = [sys.executable, "-c", script, server.url("/hello")]
    done = subprocess.run(args, env=env, capture_output=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, b"Hello, world!"), done.stderr


def test_integers_reach_libcurl(curl, server):
    curl.setopt(T.URL, server.url("/hello"))
    curl.setopt(T.NOBODY, True)
    assert curl.perform_rb() == b""
    curl.setopt(T.NOBODY, False)
    curl.setopt(T.URL, server.url("/echo"))
    curl.setopt(T.POSTFIELDS, b"0123456789")
    curl.setopt(T.POSTFIELDSIZE_LARGE, 4)  # 64-bit
    assert curl.perform_rb() == b"0123"
    assert [r.method for r in server.requests] == ["HEAD", "POST"]
    assert curl.setopt(T.INFILESIZE, -1) is None  # -1 is a value, not a failure


# ---------------------------------------------------------------------------
# POSTFIELDS and COPYPOSTFIELDS.


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"a\0b\0\0c", b"a\0b\0\0c"),
        ("text\0nul", b"text\0nul"),
        (Blob(b"\0s\0"), b"\0s\0"),
        (b"", b""),
        (make_body(70000, 3), make_body(70000, 3)),
    ],
)
@pytest.mark.parametrize("setter", ["setopt", "setopt_string"])
def test_postfields_posts_every_byte(curl, server, value, expected, setter):
    curl.setopt(T.URL, server.url("/echo"))
    getattr(curl, setter)(T.POSTFIELDS, value)
    assert curl.perform_rb() == expected
    (request,) = server.requests
    assert (request.method, request.body) == ("POST", expected)
    assert request.header("Content-Length") == str(len(expected))


def test_postfields_keeps_the_bytes_alive(curl, server):
    first, second = make_body(5000, 1), make_body(5000, 2)
    base = sys.getrefcount(first)
    curl.setopt(T.POSTFIELDS, first)
    assert sys.getrefcount(first) == base + 1
    curl.setopt(T.POSTFIELDS, second)
    assert sys.getrefcount(first) == base
    assert any(o is second for o in held_bytes(curl))
    del second
    gc.collect()
    junk = [make_body(5000, 9) for _ in range(20)]  # would reuse freed memory
    curl.setopt(T.URL, server.url("/echo"))
    assert curl.perform_rb() == make_body(5000, 2)
    # a str keeps its ASCII encoding, not itself
    text = "".join(["body", "-", "text"])
    base = sys.getrefcount(text)
    curl.setopt(T.POSTFIELDS, text)
    assert sys.getrefcount(text) == base and b"body-text" in held_bytes(curl)
    del text, junk
    assert curl.perform_rb() == b"body-text"


@pytest.mark.parametrize("option", [T.POSTFIELDSIZE_LARGE, 60])  # 60: the long option
def test_body_size_cannot_pass_the_posted_bytes(curl, server, option):
    curl.setopt(T.URL, server.url("/echo"))
    curl.setopt(T.POSTFIELDS, b"ab")
    with pytest.raises(ValueError, match="body size 4096 is larger than the 2 bytes of POSTFIELDS"):
        curl.setopt(option, 4096)
    assert curl.perform_rb() == b"ab"  # the earlier size holds
    curl.setopt(option, 1)
    assert curl.perform_rb() == b"a"
    # Without POSTFIELDS (a read callable supplies the body) any size goes;
    # after COPYPOSTFIELDS libcurl posts its own copy.
    curl.setopt(T.COPYPOSTFIELDS, "xyz")
    curl.setopt(option, 4096)
    curl.reset()
    curl.setopt(T.URL, server.url("/echo"))
    curl.setopt(T.POST, 1)
    curl.setopt(T.READFUNCTION, io.BytesIO(b"12345").read)
    curl.setopt(option, 5)
    assert curl.perform_rb() == b"12345"


@pytest.mark.parametrize("setter", ["setopt", "setopt_string"])
def test_copypostfields_after_longer_postfields(curl, server, setter):
    curl.setopt(T.POSTFIELDS, b"a much longer body than the copied one" * 10)
    short = "".join(["sh", "ort"])
    base = sys.getrefcount(short)
    getattr(curl, setter)(T.COPYPOSTFIELDS, short)
    assert sys.getrefcount(short) == base
    del short
    curl.setopt(T.URL, server.url("/echo"))
    assert curl.perform_rb() == b"short"
    (request,) = server.requests
    assert (request.body, request.header("Content-Length")) == (b"short", "5")


# ---------------------------------------------------------------------------
# Blobs, deprecated strings, WILDCARDMATCH, set_ca_certs.


@pytest.mark.parametrize("option", BLOBS)
def test_blobs_are_copied(curl, option):
    data = make_body(300, 5)
    base = sys.getrefcount(data)
    assert curl.setopt(option, data) is None
    assert curl.setopt_string(option, "text\0with nul") is None
    assert sys.getrefcount(data) == base


@pytest.mark.parametrize("option", [T.KRBLEVEL, T.RANDOM_FILE, T.EGDSOCKET, 10179])
def test_deprecated_strings(curl, option):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match="^setopt option is deprecated$"):
            curl.setopt(option, "value")
    if option == T.KRBLEVEL:
        return  # libcurl is built without Kerberos FTP security
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert curl.setopt(option, "value") is None
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (DeprecationWarning, "setopt option is deprecated", __file__)
    ]


@pytest.fixture
def ftp_url(tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # its asynchat backport warns
        pytest.importorskip("pyftpdlib")
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import ThreadedFTPServer
    for name, data in [("a.txt", b"AAA"), ("b.txt", b"BBB"), ("c.bin", b"CCC")]:
        (tmp_path / name).write_bytes(data)
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(str(tmp_path))
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer})
    server = ThreadedFTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.05}, daemon=True)
    thread.start()
    yield "ftp://127.0.0.1:%d/*.txt" % server.address[1]
    server.close_all()
    thread.join()


@pytest.mark.parametrize("value", ["", "0", b"off", 1, 0])
def test_wildcardmatch(curl, ftp_url, value):
    curl.setopt(T.URL, ftp_url)
    curl.setopt(T.WILDCARDMATCH, value)
    if value == 0:
        with pytest.raises(tolvex.error) as info:
            curl.perform()
        assert info.value.args[0] == T.E_REMOTE_FILE_NOT_FOUND
    else:
        assert curl.perform_rb() == b"AAABBB"


def test_set_ca_certs_keeps_the_text(curl):
    for bad in [1, None, ["x"], bytearray(b"x"), "caf\u00e9"]:
        with pytest.raises(TypeError) as info:
            curl.set_ca_certs(bad)
        assert str(info.value) == (
            "set_ca_certs argument must be a byte string or a Unicode "
            "string with ASCII code points only"
        )
    pem = make_body(64, 4)
    base = sys.getrefcount(pem)
    assert curl.set_ca_certs(pem) is None
    assert sys.getrefcount(pem) == base + 1
    assert curl.set_ca_certs("".join(["--", "pem"])) is None
    assert sys.getrefcount(pem) == base and b"--pem" in held_bytes(curl)


def test_reset_forgets_the_resolve_list(curl, server):
    # libcurl keeps a second pointer to the RESOLVE list that reset leaves
    # set; the list is freed with the reset, so the next transfer must not
    # read it.
    curl.setopt(T.RESOLVE, ["resolved.test:%d:127.0.0.1" % server.port])
    curl.reset()
    junk = [make_body(64, i) for i in range(1000)]  # would reuse the freed list
    curl.setopt(T.URL, server.url("/hello"))
    assert curl.perform_rb() == b"Hello, world!"
    del junk
