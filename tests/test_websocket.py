"""WebSocket frames: ws_send, ws_recv, ws_recv_into, ws_meta and ws_close,
on detached connections and from inside a running transfer."""

import errno
import select
import ssl
import threading

import pytest
import trustme

import tolvex
from servers.http import pattern
from servers.websocket import WebSocketServer

W = tolvex


@pytest.fixture(scope="module")
def ws_server():
    server = WebSocketServer().start()
    yield server
    server.stop()


@pytest.fixture(scope="module")
def wss_server(tmp_path_factory):
    ca = trustme.CA()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca.issue_cert("127.0.0.1").configure_cert(context)
    server = WebSocketServer(context).start()
    server.ca_file = str(tmp_path_factory.mktemp("wss") / "ca.pem")
    ca.cert_pem.write_to_path(server.ca_file)
    yield server
    server.stop()


@pytest.fixture
def ws(ws_server):
    ws_server.connections.clear()
    return ws_server


@pytest.fixture(params=["ws", "wss"])
def any_ws(request, ws_server, wss_server):
    server = ws_server if request.param == "ws" else wss_server
    server.connections.clear()
    return server


def new_handle(server, path):
    c = tolvex.Curl()
    c.setopt(W.URL, server.url(path))
    if getattr(server, "ca_file", None):
        c.setopt(W.CAINFO, server.ca_file)
    return c


@pytest.fixture
def connect():
    """Opens detached WebSocket connections, closed after the test."""
    handles = []

    def open_(server, path="/echo", **options):
        c = new_handle(server, path)
        handles.append(c)
        c.setopt(W.CONNECT_ONLY, 2)
        for name, value in options.items():
            c.setopt(getattr(W, name), value)
        c.perform()
        return c

    yield open_
    for c in handles:
        c.close()


def wait_readable(c):
    readable, _, _ = select.select([c.getinfo(W.ACTIVESOCKET)], [], [], 10)
    assert readable, "nothing arrived"


def recv_frame(c, size=65536):
    """The next whole frame: its payload and the flags of its last piece."""
    data = b""
    while True:
        try:
            chunk, meta = c.ws_recv(size)
        except BlockingIOError:
            wait_readable(c)
            continue
        data += chunk
        if meta.bytesleft == 0:
            return data, meta.flags


# --- arguments and state ---------------------------------------------------------


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda c: c.ws_send(b"x", W.WS_TEXT | W.WS_BINARY), ValueError,
         "ws_send: cannot set both WS_TEXT and WS_BINARY"),
        (lambda c: c.ws_send(b"", W.WS_PING | W.WS_CONT), ValueError,
         "control frames cannot be fragmented"),
        (lambda c: c.ws_send(b"", W.WS_PING | W.WS_PONG), ValueError,
         "only one of WS_PING / WS_PONG / WS_CLOSE may be set"),
        (lambda c: c.ws_send(b"", -1), ValueError, "flags must be non-negative"),
        (lambda c: c.ws_send(b"", 2**32), OverflowError, "flags out of range for curl_ws_send"),
        (lambda c: c.ws_send(b"", 2**64), OverflowError, None),
        (lambda c: c.ws_send(b"", "1"), TypeError, None),
        (lambda c: c.ws_send(b"", fragsize=-1), ValueError, "negative fragsize in ws_send"),
        (lambda c: c.ws_send(None), TypeError, 'use b"" for an empty payload'),
        (lambda c: c.ws_send("x", W.WS_BINARY), TypeError, "incompatible with WS_BINARY"),
        (lambda c: c.ws_send("x", W.WS_CLOSE), TypeError, "incompatible with WS_CLOSE"),
        (lambda c: c.ws_send(12), TypeError, None),
        (lambda c: c.ws_send("é", encoding="ascii"), UnicodeEncodeError, None),
        (lambda c: c.ws_send("x", encoding="no-such-codec"), LookupError, None),
        (lambda c: c.ws_recv(-1), ValueError, "negative buffersize in ws_recv"),
        (lambda c: c.ws_recv_into(bytearray(10), 11), ValueError,
         "buffer too small for requested bytes"),
        (lambda c: c.ws_recv_into(bytearray(10), -1), ValueError,
         "negative buffersize in ws_recv_into"),
        (lambda c: c.ws_recv_into(b"read-only"), TypeError, None),
        (lambda c: c.ws_close(reason="x"), ValueError, "reason requires code"),
        (lambda c: c.ws_close("1000"), TypeError, None),
        (lambda c: c.ws_close(2**70), OverflowError, None),
        (lambda c: c.ws_close(1000, b"\xff"), UnicodeDecodeError, None),
        (lambda c: c.ws_close(1000, "é", "latin-1"), UnicodeDecodeError, None),
        (lambda c: c.ws_close(1000, "x" * 124), ValueError, r"payload too large \(126 bytes"),
        (lambda c: c.ws_close(1000, object()), TypeError, None),
    ]
    + [
        (lambda c, code=code: c.ws_close(code), ValueError,
         "code must be a valid wire close status code")
        for code in (-1, 0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000)
    ],
)
def test_arguments_checked_before_the_handle(call, exc, text):
    c = tolvex.Curl()
    c.close()
    with pytest.raises(exc, match=text):
        call(c)


@pytest.mark.parametrize(
    "name, call",
    [
        ("ws_send", lambda c: c.ws_send(b"x")),
        ("ws_close", lambda c: c.ws_close()),
        ("ws_recv", lambda c: c.ws_recv(10)),
        ("ws_recv_into", lambda c: c.ws_recv_into(bytearray(4))),
        ("ws_meta", lambda c: c.ws_meta()),
    ],
)
def test_closed_handle(name, call):
    c = tolvex.Curl()
    c.close()
    with pytest.raises(tolvex.error, match=r"cannot invoke %s\(\) - no curl handle" % name):
        call(c)


# --- detached connections --------------------------------------------------------


@pytest.mark.parametrize(
    "args, wire, flags",
    [
        (("hello",), ("TEXT", b"hello"), W.WS_TEXT),
        (("héllo ☃",), ("TEXT", "héllo ☃".encode()), W.WS_TEXT),
        ((b"\x00\xff binary",), ("BINARY", b"\x00\xff binary"), W.WS_BINARY),
        ((bytearray(b"array"),), ("BINARY", b"array"), W.WS_BINARY),
        ((memoryview(b"--view--")[2:6],), ("BINARY", b"view"), W.WS_BINARY),
        ((b"text bytes", W.WS_TEXT), ("TEXT", b"text bytes"), W.WS_TEXT),
        (("text", W.WS_TEXT, 0, "ascii"), ("TEXT", b"text"), W.WS_TEXT),
        ((b"",), ("BINARY", b""), W.WS_BINARY),
    ],
)
def test_echo(any_ws, connect, args, wire, flags):
    c = connect(any_ws)
    assert c.ws_send(*args) == len(wire[1])
    assert recv_frame(c) == (wire[1], flags)
    assert c.ws_meta() is None
    c.close()
    assert any_ws.last().wait() == [(wire[0], True, wire[1])]


def test_wss_needs_the_certificate(wss_server):
    with tolvex.Curl() as c:
        c.setopt(W.URL, wss_server.url())
        c.setopt(W.CONNECT_ONLY, 2)
        with pytest.raises(tolvex.error) as caught:
            c.perform()
        assert caught.value.args[0] == W.E_PEER_FAILED_VERIFICATION


@pytest.mark.parametrize("into", [False, True], ids=["ws_recv", "ws_recv_into"])
def test_nothing_to_read(ws, connect, into):
    c = connect(ws)
    with pytest.raises(BlockingIOError) as caught:
        c.ws_recv_into(bytearray(8)) if into else c.ws_recv(8)
    assert caught.value.errno == errno.EAGAIN


@pytest.mark.parametrize("size", [1000, 4096, 100000])
def test_large_frame_in_pieces(ws, connect, size):
    # The frame is bigger than each receive: every piece tells where it
    # belongs and how much of the frame is still to come.
    c = connect(ws, "/big/100000")
    data = b""
    while len(data) < 100000:
        try:
            chunk, meta = c.ws_recv(size)
        except BlockingIOError:
            wait_readable(c)
            continue
        assert (meta.offset, meta.len, meta.flags) == (len(data), len(chunk), W.WS_BINARY)
        data += chunk
        assert meta.bytesleft == 100000 - len(data)
        assert 0 < len(chunk) <= size and type(chunk) is bytes
    assert data == pattern(100000)


def test_recv_into(ws, connect):
    c = connect(ws)
    c.ws_send(b"0123456789")
    buffer = bytearray(b"." * 12)
    wait_readable(c)
    count, meta = c.ws_recv_into(buffer, 4)
    assert (count, bytes(buffer), meta.bytesleft) == (4, b"0123........", 6)
    count, meta = c.ws_recv_into(memoryview(buffer)[4:])
    assert (count, bytes(buffer), meta.offset, meta.bytesleft) == (6, b"0123456789..", 4, 0)


@pytest.mark.parametrize("into", [False, True], ids=["ws_recv", "ws_recv_into"])
def test_empty_receive_reads_metadata(ws, connect, into):
    # A zero-length receive returns the metadata, and takes empty frames.
    c = connect(ws)
    c.ws_send(b"")
    c.ws_send(b"next")
    wait_readable(c)
    data, meta = c.ws_recv_into(bytearray()) if into else c.ws_recv(0)
    assert (data, meta.flags, meta.len) == ((0 if into else b""), W.WS_BINARY, 0)
    assert recv_frame(c) == (b"next", W.WS_BINARY)


@pytest.mark.parametrize(
    "pieces, wire, echoed",
    [
        ([("one ", W.WS_TEXT | W.WS_CONT), ("two", W.WS_TEXT)],
         [("TEXT", False, b"one "), ("CONT", True, b"two")], (b"one two", W.WS_TEXT)),
        ([(b"a", W.WS_BINARY | W.WS_CONT), (b"b", W.WS_BINARY | W.WS_CONT), (b"c", W.WS_BINARY)],
         [("BINARY", False, b"a"), ("CONT", False, b"b"), ("CONT", True, b"c")],
         (b"abc", W.WS_BINARY)),
        # One frame whose payload is given in two calls.
        ([(b"abc", W.WS_BINARY | W.WS_OFFSET, 6), (b"def", W.WS_BINARY | W.WS_OFFSET)],
         [("BINARY", True, b"abcdef")], (b"abcdef", W.WS_BINARY)),
    ],
    ids=["text", "binary", "offset"],
)
def test_fragmented_sends(ws, connect, pieces, wire, echoed):
    c = connect(ws)
    for piece in pieces:
        assert c.ws_send(*piece) == len(piece[0])
    assert recv_frame(c) == echoed
    c.close()
    assert ws.last().wait() == wire


def test_fragmented_receive(ws, connect):
    c = connect(ws, "/fragments")
    frames = []
    while not frames or frames[-1][1] & W.WS_CONT:
        frames.append(recv_frame(c))
    assert b"".join(data for data, _ in frames) == b"one two three"
    assert all(flags & W.WS_TEXT for _, flags in frames)


@pytest.mark.parametrize(
    "args, payload",
    [
        ((), b""),
        ((1000,), b"\x03\xe8"),
        ((1000, "bye"), b"\x03\xe8bye"),
        ((1001, b""), b"\x03\xe9"),
        ((4999, bytearray(b"raw")), b"\x13\x87raw"),
        ((3000, "héllo"), b"\x0b\xb8" + "héllo".encode()),
        ((1011, "x" * 123), b"\x03\xf3" + b"x" * 123),
    ],
)
def test_close_payload(ws, connect, args, payload):
    c = connect(ws)
    assert c.ws_close(*args) == len(payload)
    # The server answers with the code and reason it understood.
    assert recv_frame(c) == (payload, W.WS_CLOSE)
    c.close()
    assert ws.last().wait() == [("CLOSE", True, payload)]


def test_close_from_server(ws, connect):
    c = connect(ws, "/close/4001")
    assert recv_frame(c) == (b"\x0f\xa1server closing", W.WS_CLOSE)


def test_client_ping(ws, connect):
    c = connect(ws)
    assert c.ws_send(b"", W.WS_PING) == 0
    assert c.ws_send(b"are you there", W.WS_PING) == 13
    assert recv_frame(c) == (b"", W.WS_PONG)
    assert recv_frame(c) == (b"are you there", W.WS_PONG)


@pytest.mark.parametrize("auto", [True, False], ids=["autopong", "noautopong"])
def test_server_ping(ws, connect, auto):
    c = connect(ws, "/ping/hi", **({} if auto else {"WS_OPTIONS": W.WS_NOAUTOPONG}))
    if auto:
        # libcurl answers the ping itself and never hands it out; its pong
        # goes out with the next frame sent.
        assert recv_frame(c) == (b"pinged", W.WS_TEXT)
        c.ws_send("after")
    else:
        assert recv_frame(c) == (b"hi", W.WS_PING)
        assert recv_frame(c) == (b"pinged", W.WS_TEXT)
        c.ws_send(b"hi", W.WS_PONG)
    assert recv_frame(c) == (b"pong:hi", W.WS_TEXT)
    c.close()
    assert ws.last().payloads("PONG") == [b"hi"] and ws.last().pong


# --- inside a running transfer ---------------------------------------------------


def answering_transfer(server, path, answer, multi=False, setup=None):
    """Runs a WebSocket transfer whose write callable calls answer(c, data)
    for every chunk, after noting it with its metadata, and ends the
    transfer on the close frame (E_WRITE_ERROR, which the test expects)."""
    c = new_handle(server, path)
    if setup:
        setup(c)
    seen = []

    def write(data):
        meta = c.ws_meta()
        seen.append((data, meta))
        answer(c, data)
        return 0 if meta.flags & W.WS_CLOSE else None

    c.setopt(W.WRITEFUNCTION, write)
    if multi:
        m = tolvex.CurlMulti()
        m.add_handle(c)
        while m.perform()[1]:
            m.select(1.0)
        assert [code for _, code, _ in m.info_read()[2]] == [W.E_WRITE_ERROR]
        m.close()
    else:
        with pytest.raises(tolvex.error) as caught:
            c.perform()
        assert caught.value.args[0] == W.E_WRITE_ERROR
    return c, seen


@pytest.mark.parametrize("multi", [False, True], ids=["perform", "multi"])
def test_answer_from_write_callable(any_ws, multi):
    sent = []

    def answer(c, data):
        if data == b"\x00\x01\x02":
            sent.append(c.ws_send("reply"))
        elif data == b"reply":
            sent.append(c.ws_close(1000, "done"))

    c, seen = answering_transfer(any_ws, "/big/3", answer, multi)
    with c:
        assert sent == [5, 6]
        assert [(data, meta.flags, meta.len) for data, meta in seen] == [
            (b"\x00\x01\x02", W.WS_BINARY, 3),
            (b"reply", W.WS_TEXT, 5),
            (b"\x03\xe8done", W.WS_CLOSE, 6),
        ]
        # The transfer's slot was given back: the handle is idle again.
        assert c.ws_meta() is None
    assert any_ws.last().wait() == [("TEXT", True, b"reply"), ("CLOSE", True, b"\x03\xe8done")]


def refusal(call):
    try:
        call()
    except tolvex.error as e:
        return str(e)
    return "not refused"


RUNNING = "cannot invoke %s() - perform() is currently running"
OUTSIDE = RUNNING + " outside WRITEFUNCTION callback"
CALLS = {
    "ws_send": (lambda c: c.ws_send("x"), OUTSIDE),
    "ws_close": (lambda c: c.ws_close(1000), OUTSIDE),
    "ws_recv": (lambda c: c.ws_recv(10), RUNNING),
    "ws_recv_into": (lambda c: c.ws_recv_into(bytearray(4)), RUNNING),
    "ws_meta": (lambda c: c.ws_meta(), RUNNING),
}


@pytest.mark.parametrize(
    "where, name",
    [("other thread", name) for name in CALLS]
    + [("header callable", name) for name in CALLS if name != "ws_meta"]
    + [("write callable", "ws_recv"), ("write callable", "ws_recv_into")],
)
def test_refusals_while_running(ws, where, name):
    # Only the write callable may send while the transfer runs, and only on
    # the transfer's own thread; nothing may receive.
    call, text = CALLS[name]
    refused = []

    def attempt(c):
        if where == "other thread":
            t = threading.Thread(target=lambda: refused.append(refusal(lambda: call(c))))
            t.start()
            t.join()
        else:
            refused.append(refusal(lambda: call(c)))

    def answer(c, data):
        if data == b"\x00\x01\x02":
            if where != "header callable":
                attempt(c)
            c.ws_close(1000)

    def setup(c):
        if where == "header callable":
            c.setopt(W.HEADERFUNCTION, lambda line: None if refused else attempt(c))

    c, _ = answering_transfer(ws, "/big/3", answer, setup=setup)
    c.close()
    assert refused == [text % name]
