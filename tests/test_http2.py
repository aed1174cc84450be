"""HTTP/2 and HTTP/3 through the module: version negotiation, multiplexing
many transfers over one connection, uploads, server push and stream resets,
against hypercorn, nghttpd and a resetting server on loopback."""

import email.parser
import email.policy
import hashlib
import io
import time

import pytest

import tolvex
from servers.h2 import Hypercorn, Nghttpd, ResetServer
from servers.http import pattern

T = tolvex
H2 = T.CURL_HTTP_VERSION_2_0  # what INFO_HTTP_VERSION reports for HTTP/2
H3 = T.CURL_HTTP_VERSION_3
H2C = T.CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE  # HTTP/2 without TLS


@pytest.fixture(scope="module")
def h2c():
    server = Hypercorn().start()
    yield server
    server.stop()


@pytest.fixture
def servers(h2s, h2c):
    return {"h2s": h2s, "h2c": h2c}


def new_curl(url, version, tls_files, **options):
    c = T.Curl()
    c.setopt(T.URL, url)
    c.setopt(T.HTTP_VERSION, version)
    c.setopt(T.CAINFO, tls_files.ca)
    c.chunks, c.headers = [], []
    c.setopt(T.WRITEFUNCTION, c.chunks.append)
    c.setopt(T.HEADERFUNCTION, c.headers.append)
    for name, value in options.items():
        c.setopt(getattr(T, name), value)
    return c


def body(c):
    return b"".join(c.chunks)


def client_port(c):
    """The client port the server saw, from its X-Client-Port header."""
    (line,) = [h for h in c.headers if h.lower().startswith(b"x-client-port:")]
    return int(line.split(b":")[1])


def test_libcurl_reports_both_protocols():
    features = T.version_info()[4]
    assert features & T.VERSION_HTTP2 and features & T.VERSION_HTTP3


@pytest.mark.parametrize(
    "server, asked, used, seen",
    [
        ("h2s", T.CURL_HTTP_VERSION_2TLS, H2, "2"),  # ALPN
        ("h2s", T.CURL_HTTP_VERSION_2_0, H2, "2"),
        ("h2s", T.CURL_HTTP_VERSION_1_1, T.CURL_HTTP_VERSION_1_1, "1.1"),
        ("h2c", T.CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE, H2, "2"),
        ("h2c", T.CURL_HTTP_VERSION_2TLS, T.CURL_HTTP_VERSION_1_1, "1.1"),  # no TLS, no ALPN
        ("h2s", T.CURL_HTTP_VERSION_3, H3, "3"),
        ("h2s", T.CURL_HTTP_VERSION_3ONLY, H3, "3"),
    ],
)
def test_version_negotiated(servers, tls_files, server, asked, used, seen):
    c = new_curl(servers[server].url("/version"), asked, tls_files)
    c.perform()
    assert body(c) == seen.encode()
    assert c.getinfo(T.INFO_HTTP_VERSION) == used
    assert c.getinfo(T.RESPONSE_CODE) == 200
    c.close()


def test_http3_only_fails_cleanly_without_quic(servers, tls_files):
    # The cleartext server has no QUIC listener.
    c = new_curl(
        servers["h2c"].url("/version").replace("http:", "https:"),
        T.CURL_HTTP_VERSION_3ONLY,
        tls_files,
        CONNECTTIMEOUT_MS=2000,
    )
    with pytest.raises(tolvex.error) as info:
        c.perform()
    code, text = info.value.args
    assert code in (T.E_COULDNT_CONNECT, T.E_OPERATION_TIMEDOUT, T.E_QUIC_CONNECT_ERROR)
    assert text
    c.close()


@pytest.mark.parametrize(
    "server, version",
    [
        ("h2s", T.CURL_HTTP_VERSION_2TLS),
        ("h2c", T.CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE),
        ("h2s", T.CURL_HTTP_VERSION_3ONLY),
    ],
)
def test_many_transfers_multiplexed_over_one_connection(servers, tls_files, server, version):
    srv = servers[server]
    m = T.CurlMulti()
    m.setopt(T.M_PIPELINING, T.PIPE_MULTIPLEX)
    sizes = [1000 + 37 * i for i in range(50)]
    handles = [new_curl(srv.url("/bytes/%d" % n), version, tls_files, PIPEWAIT=1) for n in sizes]
    for c in handles:
        m.add_handle(c)
    while m.perform()[1]:
        m.select(1.0)
    _, done, failed = m.info_read()
    assert failed == [] and len(done) == 50
    for c, n in zip(handles, sizes):
        assert body(c) == pattern(n)
    assert sum(c.getinfo(T.NUM_CONNECTS) for c in handles) == 1
    assert len({client_port(c) for c in handles}) == 1
    m.close()
    for c in handles:
        c.close()


@pytest.mark.parametrize("version", [T.CURL_HTTP_VERSION_2TLS, T.CURL_HTTP_VERSION_3ONLY])
@pytest.mark.parametrize("how", ["read callable", "postfields"])
def test_uploads(servers, tls_files, version, how):
    data = pattern(3 * 1024 * 1024 + 17)
    c = new_curl(servers["h2s"].url("/echo"), version, tls_files)
    if how == "postfields":
        c.setopt(T.POSTFIELDS, data)
    else:
        c.setopt(T.UPLOAD, 1)
        c.setopt(T.READFUNCTION, io.BytesIO(data).read)
        c.setopt(T.INFILESIZE_LARGE, len(data))
    c.perform()
    assert hashlib.sha256(body(c)).digest() == hashlib.sha256(data).digest()
    assert c.getinfo(T.INFO_HTTP_VERSION) == (H3 if version == T.CURL_HTTP_VERSION_3ONLY else H2)
    c.close()


@pytest.mark.parametrize("version", [T.CURL_HTTP_VERSION_2TLS, T.CURL_HTTP_VERSION_3ONLY])
def test_mime_over_http2_and_3(servers, tls_files, version):
    c = new_curl(servers["h2s"].url("/echo"), version, tls_files)
    mime = T.CurlMime(c)
    mime.add_field("field", "value")
    source = io.BytesIO(pattern(200000))
    mime.addpart().data_cb(200000, lambda userdata, n: source.read(n))
    c.setopt(T.MIMEPOST, mime)
    c.perform()
    sent = body(c)
    boundary = sent.split(b"\r\n", 1)[0][2:]
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: multipart/form-data; boundary=" + boundary + b"\r\n\r\n" + sent
    )
    field, streamed = message.iter_parts()
    assert field.get_content() == "value"
    assert streamed.get_payload(decode=True) == pattern(200000)
    assert c.getinfo(T.INFO_HTTP_VERSION) == (H3 if version == T.CURL_HTTP_VERSION_3ONLY else H2)
    mime.close()
    c.close()


def test_classic_form_over_http2(servers, tls_files):
    c = new_curl(servers["h2s"].url("/echo"), T.CURL_HTTP_VERSION_2TLS, tls_files)
    buffer = (T.FORM_BUFFER, "a.txt", T.FORM_BUFFERPTR, b"\0" * 5000)
    with pytest.warns(DeprecationWarning):
        c.setopt(T.HTTPPOST, [("field", "value"), ("file", buffer)])
    c.perform()
    sent = body(c)
    assert b'name="field"\r\n\r\nvalue\r\n' in sent and b"\0" * 5000 in sent
    assert c.getinfo(T.INFO_HTTP_VERSION) == H2
    c.close()


def pushing_server(root, tls_files=None):
    """nghttpd, over TLS when given its files, that pushes /pushed.css along
    with /index.html."""
    (root / "index.html").write_bytes(b"index")
    (root / "pushed.css").write_bytes(b"pushed")
    return Nghttpd(root, tls_files, push={"/index.html": ["/pushed.css"]}).start()


@pytest.mark.parametrize("tls", [False, True])
def test_server_push_is_refused(tmp_path, tls_files, tls):
    server = pushing_server(tmp_path, tls_files if tls else None)
    try:
        version = T.CURL_HTTP_VERSION_2TLS if tls else H2C
        m = T.CurlMulti()
        c = new_curl(server.url("/index.html"), version, tls_files)
        for expected in (b"index", b"index"):  # the second on the same connection
            c.chunks.clear()
            m.add_handle(c)
            while m.perform()[1]:
                m.select(1.0)
            assert m.info_read() == (0, [c], [])
            m.remove_handle(c)
            assert body(c) == expected
        assert c.getinfo(T.INFO_HTTP_VERSION) == H2
        assert c.getinfo(T.NUM_CONNECTS) == 0
        m.close()
        c.close()
    finally:
        server.stop()


@pytest.fixture
def pushing(tmp_path):
    server = pushing_server(tmp_path)
    yield server
    server.stop()


@pytest.mark.parametrize(
    "answer, accepted, printed",
    [
        (None, True, ""),
        (T.PUSH_OK, True, ""),
        (T.PUSH_DENY, False, ""),
        (T.PUSH_ERROROUT, False, ""),
        (ZeroDivisionError, False, "ZeroDivisionError"),
        ("yes", False, "multi push callback returned 'yes' which is not an integer"),
    ],
)
def test_push_callable(pushing, tls_files, capfd, answer, accepted, printed):
    offers = []

    def on_push(parent, pushed, headers):
        offers.append((parent, pushed, headers, pushed.getinfo(T.EFFECTIVE_URL)))
        # Offered, the stream may be set up but not used or closed.
        pushed.chunks = []
        pushed.setopt(T.WRITEFUNCTION, pushed.chunks.append)
        with pytest.raises(tolvex.error, match=r"^cannot invoke close\(\) - perform\(\) is"):
            pushed.close()
        if answer is ZeroDivisionError:
            return 1 / 0
        return answer

    m = T.CurlMulti()
    m.setopt(T.M_PUSHFUNCTION, on_push)
    c = new_curl(pushing.url("/index.html"), H2C, tls_files)
    m.add_handle(c)
    while m.perform()[1]:
        m.select(1.0)
    _, done, failed = m.info_read()
    ((parent, pushed, headers, url),) = offers
    assert parent is c and type(pushed) is T.Curl and pushed is not c
    assert (b":path", b"/pushed.css") in headers and (b":method", b"GET") in headers
    assert url == pushing.url("/pushed.css")
    assert failed == [] and body(c) == b"index"
    if accepted:
        assert sorted(map(id, done)) == sorted(map(id, [c, pushed]))
        assert body(pushed) == b"pushed" and pushed in m and pushed.multi() is m
    else:
        assert done == [c] and pushed.closed and pushed not in m
    assert printed in capfd.readouterr().err
    m.close()
    c.close()
    pushed.close()


@pytest.mark.parametrize("interval, pings", [(1, 1), (60000, 0)])
def test_upkeep_pings_the_idle_connection(tls_files, interval, pings):
    server = ResetServer(error_code=None).start()
    try:
        c = new_curl(server.url("/"), H2C, tls_files, UPKEEP_INTERVAL_MS=interval)
        c.perform()
        time.sleep(0.05)  # the interval of 1 ms has passed
        assert c.upkeep() is None
        # libcurl sends the PING it queued with the connection's next frames.
        c.perform()
        assert body(c) == b"x" * 20 and c.getinfo(T.NUM_CONNECTS) == 0
        assert server.pings == pings
        c.close()
    finally:
        server.stop()


@pytest.mark.parametrize("code, name", [(2, "INTERNAL_ERROR"), (8, "CANCEL")])
def test_stream_reset_by_the_server(servers, tls_files, code, name):
    reset = ResetServer(error_code=code).start()
    try:
        c = new_curl(reset.url("/"), H2C, tls_files)
        with pytest.raises(tolvex.error) as info:
            c.perform()
        assert info.value.args[0] == T.E_HTTP2_STREAM
        assert name in info.value.args[1]
        assert body(c) == b"x" * 10  # what arrived before the reset
        # The same handle goes on with the next transfer.
        c.chunks.clear()
        c.setopt(T.URL, servers["h2c"].url("/version"))
        c.perform()
        assert body(c) == b"2"
        c.close()
    finally:
        reset.stop()
