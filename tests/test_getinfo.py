"""Information queries: getinfo, getinfo_raw, errstr and errstr_raw."""

import datetime
import os
import socket
import warnings

import pytest
import trustme

import tolvex
from servers.canned import CannedServer
from servers.socks import RefusingSocks5
from servers.tls import TLSServer


@pytest.fixture
def canned():
    """Starts a CannedServer with the given response; stopped after the test."""
    started = []

    def start(response):
        server = CannedServer(response).start()
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


def fetch(c, url, **options):
    c.setopt(tolvex.URL, url)
    for name, value in options.items():
        c.setopt(getattr(tolvex, name), value)
    return c.perform_rb()


BOTH = pytest.mark.parametrize("method", ["getinfo", "getinfo_raw"])


# --- values after a transfer -------------------------------------------------


@pytest.mark.parametrize(
    "options, method",
    [
        ({}, "GET"),
        ({"POSTFIELDS": "a=1"}, "POST"),
        ({"CUSTOMREQUEST": "PUT"}, "PUT"),
        ({"NOBODY": 1}, "HEAD"),
    ],
)
def test_request_results(curl, server, options, method):
    url = server.url("/hello")
    body = fetch(curl, url, **options)
    assert curl.getinfo(tolvex.EFFECTIVE_METHOD) == method == server.requests[-1].method
    assert curl.getinfo(tolvex.RESPONSE_CODE) == 200
    assert curl.getinfo(tolvex.HTTP_CODE) == 200
    assert curl.getinfo(tolvex.EFFECTIVE_URL) == url
    assert curl.getinfo_raw(tolvex.EFFECTIVE_URL) == url.encode()
    assert curl.getinfo(tolvex.CONTENT_TYPE) == "text/plain"
    assert curl.getinfo(tolvex.PRIMARY_IP) == "127.0.0.1"
    assert curl.getinfo(tolvex.PRIMARY_PORT) == server.port
    assert curl.getinfo(tolvex.SIZE_DOWNLOAD_T) == len(body)
    assert curl.getinfo(tolvex.CONTENT_LENGTH_DOWNLOAD_T) == len(b"Hello, world!")


@pytest.mark.parametrize("retry_after, expected", [(b"120", 120), (None, 0)])
def test_retry_after_and_scheme(curl, canned, retry_after, expected):
    head = b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
    if retry_after is not None:
        head += b"Retry-After: " + retry_after + b"\r\n"
    fetch(curl, canned(head + b"\r\n").url("/busy"))
    assert curl.getinfo(tolvex.RESPONSE_CODE) == 503
    assert curl.getinfo(tolvex.RETRY_AFTER) == expected
    assert curl.getinfo(tolvex.SCHEME).lower() == "http"
    assert curl.getinfo(tolvex.SIZE_DELIVERED) == 0
    assert curl.getinfo(tolvex.PROXY_ERROR) == tolvex.PX_OK


@pytest.mark.parametrize(
    "reply, expected", [(5, "PX_REPLY_CONNECTION_REFUSED"), (2, "PX_REPLY_NOT_ALLOWED")]
)
def test_proxy_error_of_a_refusing_socks_proxy(curl, closed_port, reply, expected):
    proxy = RefusingSocks5(reply).start()
    try:
        with pytest.raises(tolvex.error) as info:
            fetch(curl, "http://127.0.0.1:%d/" % closed_port, PROXY=proxy.proxy())
    finally:
        proxy.stop()
    assert info.value.args[0] == tolvex.E_PROXY
    assert curl.getinfo(tolvex.PROXY_ERROR) == getattr(tolvex, expected)
    assert curl.getinfo(tolvex.USED_PROXY) == 1


def test_header_and_request_sizes(curl, canned):
    head = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\n"
    server = canned(head + b"body")
    assert fetch(curl, server.url("/sizes")) == b"body"
    assert curl.getinfo(tolvex.HEADER_SIZE) == len(head)
    assert curl.getinfo(tolvex.REQUEST_SIZE) == len(server.requests[0])
    assert curl.getinfo(tolvex.SIZE_DOWNLOAD_T) == 4


def test_upload_sizes(curl, server):
    body = fetch(curl, server.url("/echo"), POSTFIELDS=b"u" * 100)
    assert body == b"u" * 100
    assert curl.getinfo(tolvex.SIZE_UPLOAD_T) == 100
    assert curl.getinfo(tolvex.CONTENT_LENGTH_UPLOAD_T) == 100
    assert curl.getinfo(tolvex.SIZE_DOWNLOAD_T) == 100


TIMES = ["NAMELOOKUP", "CONNECT", "PRETRANSFER", "STARTTRANSFER", "TOTAL"]


def test_times_are_microseconds_in_order(curl, server):
    fetch(curl, server.url("/slow?delay=0.05"))
    values = [curl.getinfo(getattr(tolvex, name + "_TIME_T")) for name in TIMES]
    assert all(type(v) is int for v in values)
    assert values == sorted(values)
    # The server waited 50 ms before answering: libcurl's microseconds,
    # passed through unconverted.
    assert values[-1] >= values[-2] >= 50000
    assert curl.getinfo(tolvex.POSTTRANSFER_TIME_T) >= curl.getinfo(tolvex.PRETRANSFER_TIME_T)
    assert curl.getinfo(tolvex.QUEUE_TIME_T) >= 0
    assert curl.getinfo(tolvex.APPCONNECT_TIME_T) == 0  # no TLS


@pytest.mark.parametrize("name", TIMES + ["REDIRECT", "APPCONNECT"])
def test_double_times_match_microseconds(curl, server, name):
    fetch(curl, server.url("/hello"))
    seconds = curl.getinfo(getattr(tolvex, name + "_TIME"))
    assert type(seconds) is float
    assert seconds == pytest.approx(curl.getinfo(getattr(tolvex, name + "_TIME_T")) / 1e6, abs=1e-6)


DEPRECATED = "SIZE_UPLOAD SIZE_DOWNLOAD SPEED_DOWNLOAD SPEED_UPLOAD CONTENT_LENGTH_DOWNLOAD"
DEPRECATED = DEPRECATED.split() + ["CONTENT_LENGTH_UPLOAD"]


@pytest.mark.parametrize("name", DEPRECATED)
@BOTH
def test_deprecated_doubles_warn(curl, server, name, method):
    fetch(curl, server.url("/echo"), POSTFIELDS=b"d" * 50)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        modern = curl.getinfo(getattr(tolvex, name + "_T"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        value = getattr(curl, method)(getattr(tolvex, name))
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, "getinfo option is deprecated")
    ]
    assert caught[0].filename == __file__
    assert type(value) is float
    assert value == float(modern)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match="getinfo option is deprecated"):
            getattr(curl, method)(getattr(tolvex, name))


def test_redirect_and_undecodable_string(curl, canned):
    server = canned(
        b"HTTP/1.1 302 Found\r\nLocation: /elsewhere?x=1\r\n"
        b"Content-Type: text/\xff\xfe\r\nContent-Length: 0\r\n\r\n"
    )
    fetch(curl, server.url("/start"))
    assert curl.getinfo(tolvex.RESPONSE_CODE) == 302
    assert curl.getinfo(tolvex.REDIRECT_URL) == server.url("/elsewhere?x=1")
    assert curl.getinfo_raw(tolvex.CONTENT_TYPE) == b"text/\xff\xfe"
    with pytest.raises(UnicodeDecodeError):
        curl.getinfo(tolvex.CONTENT_TYPE)


@pytest.mark.parametrize(
    "name, expected",
    [
        (name, None)
        for name in "REDIRECT_URL CONTENT_TYPE FTP_ENTRY_PATH INFO_RTSP_SESSION_ID".split()
    ]
    + [("INFO_COOKIELIST", []), ("LASTSOCKET", -1), ("ACTIVESOCKET", -1)],
)
@BOTH
def test_values_of_a_fresh_handle(curl, name, expected, method):
    assert getattr(curl, method)(getattr(tolvex, name)) == expected


@BOTH
def test_no_redirect_url_after_plain_transfer(curl, server, method):
    fetch(curl, server.url("/hello"))
    assert getattr(curl, method)(tolvex.REDIRECT_URL) is None


# --- sockets -----------------------------------------------------------------


def test_sockets_of_connect_only(curl, server):
    curl.setopt(tolvex.URL, server.url("/"))
    curl.setopt(tolvex.CONNECT_ONLY, 1)
    curl.perform()
    fd = curl.getinfo(tolvex.ACTIVESOCKET)
    assert curl.getinfo(tolvex.LASTSOCKET) == curl.getinfo_raw(tolvex.LASTSOCKET) == fd
    with socket.socket(fileno=os.dup(fd)) as s:
        assert s.getpeername() == ("127.0.0.1", server.port)


# --- cookies and other string lists ------------------------------------------


def test_cookielist_from_server(curl, canned):
    server = canned(
        b"HTTP/1.1 200 OK\r\nSet-Cookie: first=1\r\n"
        b"Set-Cookie: second=two; Path=/\r\nContent-Length: 0\r\n\r\n"
    )
    fetch(curl, server.url("/"), COOKIEFILE="")
    cookies = [line.split("\t") for line in curl.getinfo(tolvex.INFO_COOKIELIST)]
    assert [(c[0], c[5], c[6]) for c in cookies] == [
        ("127.0.0.1", "first", "1"),
        ("127.0.0.1", "second", "two"),
    ]


def test_cookielist_set_by_option(curl):
    curl.setopt(tolvex.COOKIELIST, "Set-Cookie: a=b; domain=example.com; path=/p")
    curl.setopt(tolvex.COOKIELIST, b"Set-Cookie: n=\xff\xfe; domain=example.com")
    raw = curl.getinfo_raw(tolvex.INFO_COOKIELIST)
    assert sorted(line.split(b"\t")[5:] for line in raw) == [[b"a", b"b"], [b"n", b"\xff\xfe"]]
    with pytest.raises(UnicodeDecodeError):
        curl.getinfo(tolvex.INFO_COOKIELIST)
    curl.setopt(tolvex.COOKIELIST, "ALL")
    assert curl.getinfo(tolvex.INFO_COOKIELIST) == []


def test_string_lists_decode_raw(curl):
    curl.setopt(tolvex.COOKIELIST, "Set-Cookie: a=b; domain=example.com")
    for info in (tolvex.INFO_COOKIELIST, tolvex.SSL_ENGINES):
        raw = curl.getinfo_raw(info)
        assert all(type(item) is bytes for item in raw)
        assert curl.getinfo(info) == [item.decode() for item in raw]


# --- refusals ----------------------------------------------------------------


# 0x100000 + 999 names no information of any libcurl for a long while.
# PRIVATE (0x100000 + 21) and TLS_SSL_PTR (0x400000 + 45) stay out.
@pytest.mark.parametrize(
    "number", [0, 0x100000 + 999, 0x200000, -1, 0x700001, 0x100000 + 21, 0x400000 + 45]
)
@BOTH
def test_invalid_number(curl, number, method):
    with pytest.raises(ValueError) as info:
        getattr(curl, method)(number)
    assert str(info.value) == "invalid argument to getinfo"


@pytest.mark.parametrize(
    "name, call",
    [
        ("getinfo", lambda c: c.getinfo(tolvex.RESPONSE_CODE)),
        ("getinfo", lambda c: c.getinfo(tolvex.EFFECTIVE_URL)),
        ("getinfo", lambda c: c.getinfo(tolvex.INFO_CERTINFO)),
        ("getinfo", lambda c: c.getinfo_raw(tolvex.INFO_CERTINFO)),
        ("getinfo", lambda c: c.getinfo_raw(tolvex.RESPONSE_CODE)),
        # The handle is checked before the number.
        ("getinfo", lambda c: c.getinfo(0)),
        ("errstr", lambda c: c.errstr()),
        ("errstr", lambda c: c.errstr_raw()),
    ],
)
def test_closed_handle(name, call):
    c = tolvex.Curl()
    c.close()
    with pytest.raises(tolvex.error) as info:
        call(c)
    assert info.value.args == ("cannot invoke %s() - no curl handle" % name,)


# --- errstr ------------------------------------------------------------------


def test_errstr_fresh_and_after_failure(curl):
    assert curl.errstr() == ""
    assert curl.errstr_raw() == b""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        curl.setopt(tolvex.URL, "http://127.0.0.1:%d/" % s.getsockname()[1])
        with pytest.raises(tolvex.error) as info:
            curl.perform()
    assert curl.errstr() == info.value.args[1] != ""
    assert curl.errstr_raw() == info.value.args[1].encode()
    curl.reset()
    assert curl.errstr() == ""


# --- certificates ------------------------------------------------------------


NOT_BEFORE = datetime.datetime(2001, 2, 3, 4, 5, 6, tzinfo=datetime.timezone.utc)


@pytest.fixture(scope="module")
def tls_server():
    """A TLS server whose certificate is issued by an intermediate CA."""
    root = trustme.CA()
    leaf = root.create_child_ca().issue_cert("127.0.0.1", "localhost", not_before=NOT_BEFORE)
    server = TLSServer(leaf).start()
    server.root = root
    server.leaf = leaf
    yield server
    server.stop()


@pytest.fixture
def tls(tls_server):
    tls_server.requests.clear()
    return tls_server


@pytest.fixture(scope="module")
def ca_file(tls_server, tmp_path_factory):
    path = tmp_path_factory.mktemp("ca") / "root.pem"
    tls_server.root.cert_pem.write_to_path(str(path))
    return str(path)


def trust(c, how, tls, ca_file):
    if how == "CAINFO":
        c.setopt(tolvex.CAINFO, ca_file)
    elif how == "set_ca_certs bytes":
        c.set_ca_certs(tls.root.cert_pem.bytes())
    else:
        c.set_ca_certs(tls.root.cert_pem.bytes().decode())


@pytest.mark.parametrize("how", ["CAINFO", "set_ca_certs bytes", "set_ca_certs str"])
def test_certinfo(curl, tls, ca_file, how):
    trust(curl, how, tls, ca_file)
    assert fetch(curl, tls.url("/hello"), OPT_CERTINFO=1) == b"Hello, world!"
    assert curl.getinfo(tolvex.SSL_VERIFYRESULT) == 0
    assert curl.getinfo(tolvex.APPCONNECT_TIME_T) > 0
    certs = curl.getinfo(tolvex.INFO_CERTINFO)
    assert type(certs) is list
    assert all(type(cert) is tuple for cert in certs)
    assert all(type(line) is tuple and len(line) == 2 for cert in certs for line in cert)
    fields = [dict(cert) for cert in certs]
    # The leaf first, then the intermediate, as the server sent them.
    assert [f["Cert"] for f in fields] == [pem.bytes().decode() for pem in tls.leaf.cert_chain_pems]
    assert fields[0]["Issuer"] == fields[1]["Subject"]
    # Only the first colon separates key and value.
    assert "IP Address:127.0.0.1" in fields[0]["X509v3 Subject Alternative Name"]
    assert fields[0]["Start date"] == "%s %2d %s GMT" % (
        NOT_BEFORE.strftime("%b"),
        NOT_BEFORE.day,
        NOT_BEFORE.strftime("%H:%M:%S %Y"),
    )
    raw = curl.getinfo_raw(tolvex.INFO_CERTINFO)
    assert [tuple(tuple(part.decode() for part in line) for line in cert) for cert in raw] == certs


def test_certinfo_not_requested(curl, tls, ca_file):
    assert curl.getinfo(tolvex.INFO_CERTINFO) == []
    fetch(curl, tls.url("/hello"), CAINFO=ca_file)
    assert curl.getinfo(tolvex.INFO_CERTINFO) == []
    assert curl.getinfo_raw(tolvex.INFO_CERTINFO) == []


def test_unknown_ca_is_refused(curl, tls):
    with pytest.raises(tolvex.error) as info:
        fetch(curl, tls.url("/hello"))
    assert info.value.args == (tolvex.E_PEER_FAILED_VERIFICATION, curl.errstr())


@pytest.mark.parametrize(
    "pem, printed",
    [
        (b"not a certificate", "tolvex.error: no start line"),
        (b"", "ValueError: Empty certificate data"),
        ("private key", "tolvex.error: no start line"),
        (b"-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n", "tolvex.error: "),
    ],
    ids=["garbage", "empty", "key only", "corrupt"],
)
def test_bad_ca_certs_fail_the_connection(curl, tls, capsys, pem, printed):
    if pem == "private key":
        pem = tls.leaf.private_key_pem.bytes()
    curl.set_ca_certs(pem)
    with pytest.raises(tolvex.error) as info:
        fetch(curl, tls.url("/hello"))
    # The certificate loader's error is printed, and libcurl reports the
    # failure of its TLS context callback.
    assert info.value.args == (tolvex.E_FAILED_INIT, curl.errstr())
    assert "ctx callback" in curl.errstr()
    assert printed in capsys.readouterr().err
