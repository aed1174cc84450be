"""WebSocket frames: ws_send, ws_recv, ws_recv_into, ws_meta and ws_close,
on detached connections and from inside a running transfer."""

import errno
import select
import ssl
import threading

import pytest
import trustme

import tolvex as W
from servers.http import pattern
from servers.websocket import WebSocketServer


@pytest.fixture(scope="module")
def servers(tmp_path_factory):
    ca = trustme.CA()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca.issue_cert("127.0.0.1").configure_cert(context)
    plain, tls = WebSocketServer().start(), WebSocketServer(context).start()
    tls.ca_file = str(tmp_path_factory.mktemp("wss") / "ca.pem")
    ca.cert_pem.write_to_path(tls.ca_file)
    yield {"ws": plain, "wss": tls}
    plain.stop()
    tls.stop()


def fresh(server):
    """The server with its record emptied; at the end every connection of
    the test has ended on the server's side too."""
    server.connections.clear()
    yield server
    for record in server.connections:
        record.wait()


@pytest.fixture
def ws(servers):
    yield from fresh(servers["ws"])


@pytest.fixture(params=["ws", "wss"])
def any_ws(request, servers):
    yield from fresh(servers[request.param])


def new_handle(server, path, **options):
    c = W.Curl()
    c.setopt(W.URL, server.url(path))
    if getattr(server, "ca_file", None):
        c.setopt(W.CAINFO, server.ca_file)
    for name, value in options.items():
        c.setopt(getattr(W, name), value)
    return c


def connect(server, path="/echo", **options):
    """A detached connection."""
    c = new_handle(server, path, CONNECT_ONLY=2, **options)
    c.perform()
    return c


def wait_readable(c):
    assert select.select([c.getinfo(W.ACTIVESOCKET)], [], [], 10)[0], "nothing arrived"


def again(c, receive, *args):
    """receive(*args), once something has arrived."""
    while True:
        try:
            return receive(*args)
        except BlockingIOError:
            wait_readable(c)


def recv_frame(c, size=65536):
    """The next whole frame: its payload and the flags of its last piece."""
    data = b""
    while True:
        chunk, meta = again(c, c.ws_recv, size)
        data += chunk
        if meta.bytesleft == 0:
            return data, meta.flags


# --- arguments and state ---------------------------------------------------------

BAD_CODE = "ws_close: code must be a valid wire close status code"
BOTH = "%s: cannot set both WS_TEXT and WS_BINARY"
TEXT_AND_BINARY = W.WS_TEXT | W.WS_BINARY
NO_HANDLE = "cannot invoke %s() - no curl handle"
GOOD = dict(ws_send=(b"x",), ws_close=(), ws_meta=(), ws_recv=(10,), ws_recv_into=(bytearray(4),))


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda c: c.ws_send(b"x", TEXT_AND_BINARY), ValueError, BOTH % "ws_send"),
        (
            lambda c: c.ws_send(b"", W.WS_PING | W.WS_CONT),
            ValueError,
            "ws_send: control frames cannot be fragmented (WS_CONT forbidden with "
            "WS_PING/WS_PONG/WS_CLOSE)",
        ),
        (
            lambda c: c.ws_send(b"", W.WS_PING | W.WS_PONG),
            ValueError,
            "ws_send: only one of WS_PING / WS_PONG / WS_CLOSE may be set",
        ),
        (lambda c: c.ws_send(b"", -1), ValueError, "flags must be non-negative"),
        (lambda c: c.ws_send(b"", 2**32), OverflowError, "flags out of range for curl_ws_send"),
        (lambda c: c.ws_send(b"", fragsize=-1), ValueError, "negative fragsize in ws_send"),
        (
            lambda c: c.ws_send(None),
            TypeError,
            "ws_send: data must be str or bytes-like, not "
            'NoneType (use b"" for an empty payload)',
        ),
        (
            lambda c: c.ws_send("x", W.WS_BINARY),
            TypeError,
            "ws_send: str data is incompatible "
            "with WS_BINARY; pass bytes-like data for binary frames",
        ),
        (
            lambda c: c.ws_send("x", W.WS_CLOSE),
            TypeError,
            "ws_send: str data is incompatible "
            "with WS_CLOSE; use ws_close() or pass a bytes-like payload",
        ),
        (lambda c: c.ws_send("é", encoding="ascii"), UnicodeEncodeError, ""),
        (lambda c: c.ws_recv(-1), ValueError, "negative buffersize in ws_recv"),
        (
            lambda c: c.ws_recv_into(bytearray(10), 11),
            ValueError,
            "buffer too small for requested bytes",
        ),
        (
            lambda c: c.ws_recv_into(bytearray(10), -1),
            ValueError,
            "negative buffersize in ws_recv_into",
        ),
        (
            lambda c: c.ws_close(reason="x"),
            ValueError,
            "ws_close: reason requires code (RFC 6455 §5.5.1)",
        ),
        (lambda c: c.ws_close(1000, b"\xff"), UnicodeDecodeError, ""),
        (lambda c: c.ws_close(1000, "é", "latin-1"), UnicodeDecodeError, ""),
        (
            lambda c: c.ws_close(1000, "x" * 124),
            ValueError,
            "ws_close: payload too large (126 bytes, max 125 including 2-byte status code)",
        ),
    ]
    + [
        (lambda c, n=n: c.ws_close(n), ValueError, BAD_CODE)
        for n in (-1, 1004, 1005, 1006, 1015, 1016, 2999, 5000)
    ]
    + [
        (lambda c: c.ws_start_frame(TEXT_AND_BINARY, 1), ValueError, BOTH % "ws_start_frame"),
        (
            lambda c: c.ws_start_frame(W.WS_TEXT, -1),
            ValueError,
            "negative frame_len in ws_start_frame",
        ),
    ]
    # Good arguments meet the closed handle.
    + [(lambda c, n=n: getattr(c, n)(*GOOD[n]), W.error, NO_HANDLE % n) for n in GOOD],
)
def test_arguments_checked_before_the_handle(call, exc, text):
    c = W.Curl()
    c.close()
    with pytest.raises(exc) as caught:
        call(c)
    assert not text or str(caught.value) == text


def test_frames_started_only_in_a_websocket_transfer():
    with W.Curl() as c, pytest.raises(W.error):
        c.ws_start_frame(W.WS_TEXT, 1)


# --- detached connections --------------------------------------------------------


@pytest.mark.parametrize(
    "args, opcode, payload, flags",
    [
        (("hello",), "TEXT", b"hello", W.WS_TEXT),
        (("héllo ☃",), "TEXT", "héllo ☃".encode(), W.WS_TEXT),
        (("text", W.WS_TEXT, 0, "ascii"), "TEXT", b"text", W.WS_TEXT),
        ((b"text bytes", W.WS_TEXT), "TEXT", b"text bytes", W.WS_TEXT),
        ((b"\x00\xff binary",), "BINARY", b"\x00\xff binary", W.WS_BINARY),
        ((bytearray(b"array"),), "BINARY", b"array", W.WS_BINARY),
        ((memoryview(b"--view--")[2:6],), "BINARY", b"view", W.WS_BINARY),
        ((b"",), "BINARY", b"", W.WS_BINARY),
    ],
)
def test_echo(any_ws, args, opcode, payload, flags):
    c = connect(any_ws)
    assert c.ws_send(*args) == len(payload)
    assert recv_frame(c) == (payload, flags)
    assert c.ws_meta() is None
    c.close()
    assert any_ws.last().wait() == [(opcode, True, payload)]


@pytest.mark.parametrize("into", [False, True], ids=["ws_recv", "ws_recv_into"])
def test_receive(ws, into):
    c = connect(ws)
    with pytest.raises(BlockingIOError) as caught:
        c.ws_recv_into(bytearray(8)) if into else c.ws_recv(8)
    assert caught.value.errno == errno.EAGAIN
    # A zero-length receive returns the metadata and takes empty frames.
    for data in (b"", b"0123456789"):
        c.ws_send(data)
    data, meta = again(c, c.ws_recv_into, bytearray()) if into else again(c, c.ws_recv, 0)
    assert (data, meta.flags, meta.len) == ((0 if into else b""), W.WS_BINARY, 0)
    buffer = bytearray(b"." * 12)
    if into:
        got = [
            again(c, c.ws_recv_into, buffer, 4),
            again(c, c.ws_recv_into, memoryview(buffer)[4:]),
        ]
    else:
        got = [again(c, c.ws_recv, 4), again(c, c.ws_recv, 100)]
    assert [(meta.offset, meta.bytesleft) for _, meta in got] == [(0, 6), (4, 0)]
    assert [n for n, _ in got] == ([4, 6] if into else [b"0123", b"456789"])
    assert not into or buffer == bytearray(b"0123456789..")
    c.close()  # `caught` keeps this frame, and so the handle, alive


@pytest.mark.parametrize("size", [1000, 4096, 100000])
def test_large_frame_in_pieces(ws, size):
    c = connect(ws, "/big/100000")
    data = b""
    while len(data) < 100000:
        chunk, meta = again(c, c.ws_recv, size)
        assert (meta.offset, meta.len, meta.flags) == (len(data), len(chunk), W.WS_BINARY)
        data += chunk
        assert meta.bytesleft == 100000 - len(data) and 0 < len(chunk) <= size
    assert data == pattern(100000)


@pytest.mark.parametrize(
    "pieces, wire, echoed",
    [
        (
            [("one ", W.WS_TEXT | W.WS_CONT), ("two", W.WS_TEXT)],
            [("TEXT", False, b"one "), ("CONT", True, b"two")],
            (b"one two", W.WS_TEXT),
        ),
        (
            [(b"a", W.WS_BINARY | W.WS_CONT), (b"b", W.WS_BINARY | W.WS_CONT), (b"c", W.WS_BINARY)],
            [("BINARY", False, b"a"), ("CONT", False, b"b"), ("CONT", True, b"c")],
            (b"abc", W.WS_BINARY),
        ),
        # One frame whose payload is given in two calls.
        (
            [(b"abc", W.WS_BINARY | W.WS_OFFSET, 6), (b"def", W.WS_BINARY | W.WS_OFFSET)],
            [("BINARY", True, b"abcdef")],
            (b"abcdef", W.WS_BINARY),
        ),
    ],
    ids=["text", "binary", "offset"],
)
def test_fragmented_sends(ws, pieces, wire, echoed):
    c = connect(ws)
    assert [c.ws_send(*piece) for piece in pieces] == [len(piece[0]) for piece in pieces]
    assert recv_frame(c) == echoed
    c.close()
    assert ws.last().wait() == wire


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
def test_close_payload(ws, args, payload):
    c = connect(ws)
    assert c.ws_close(*args) == len(payload)
    # The server answers with the code and reason it understood.
    assert recv_frame(c) == (payload, W.WS_CLOSE)
    c.close()
    assert ws.last().wait() == [("CLOSE", True, payload)]


@pytest.mark.parametrize("auto", [True, False], ids=["autopong", "noautopong"])
def test_pings(ws, auto):
    c = connect(ws, "/ping/hi", **({} if auto else {"WS_OPTIONS": W.WS_NOAUTOPONG}))
    if auto:
        # libcurl answers the ping itself and never hands it out; its pong
        # goes out with the next frame sent.
        assert recv_frame(c) == (b"pinged", W.WS_TEXT)
        c.ws_send("after")
        assert [recv_frame(c) for _ in range(2)] == [(b"pong:hi", 1), (b"after", 1)]
    else:
        assert [recv_frame(c) for _ in range(2)] == [(b"hi", W.WS_PING), (b"pinged", 1)]
        c.ws_send(b"hi", W.WS_PONG)
        assert recv_frame(c) == (b"pong:hi", W.WS_TEXT)
    # The server answers the client's pings.
    assert [c.ws_send(data, W.WS_PING) for data in (b"", b"you?")] == [0, 4]
    assert [recv_frame(c) for _ in range(2)] == [(b"", W.WS_PONG), (b"you?", W.WS_PONG)]
    c.close()
    assert ws.last().payloads("PONG") == [b"hi"] and ws.last().pong


# --- inside a running transfer ---------------------------------------------------


def answering_transfer(server, path, answer, multi=False, setup=None):
    """Runs a transfer whose write callable notes each chunk with its
    metadata and calls answer(c, data); it ends the transfer on the close
    frame (so the transfer fails with E_WRITE_ERROR)."""
    c = new_handle(server, path)
    if setup:
        setup(c)
    seen = []

    def write(data):
        seen.append((data, c.ws_meta()))
        answer(c, data)
        return 0 if seen[-1][1].flags & W.WS_CLOSE else None

    c.setopt(W.WRITEFUNCTION, write)
    if multi:
        m = W.CurlMulti()
        m.add_handle(c)
        while m.perform()[1]:
            m.select(1.0)
        assert [code for _, code, _ in m.info_read()[2]] == [W.E_WRITE_ERROR]
        m.close()
    else:
        with pytest.raises(W.error) as caught:
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


RUNNING = "cannot invoke %s() - perform() is currently running"
CALLS = {
    "ws_send": (lambda c: c.ws_send("x"), RUNNING + " outside WRITEFUNCTION callback"),
    "ws_close": (lambda c: c.ws_close(1000), RUNNING + " outside WRITEFUNCTION callback"),
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
        try:
            call(c)
            refused.append("not refused")
        except W.error as e:
            refused.append(str(e))

    def answer(c, data):
        if data == b"\x00\x01\x02":
            if where == "other thread":
                t = threading.Thread(target=attempt, args=(c,))
                t.start()
                t.join()
            elif where == "write callable":
                attempt(c)
            c.ws_close(1000)

    def setup(c):
        if where == "header callable":
            c.setopt(W.HEADERFUNCTION, lambda line: None if refused else attempt(c))

    c, _ = answering_transfer(ws, "/big/3", answer, setup=setup)
    c.close()
    assert refused == [text % name]


def test_frames_started_from_the_read_callable(ws):
    # The upload sends an empty ping (an empty result after a started frame
    # is no end of the upload), then a text frame in two pieces.
    pieces = [(W.WS_PING, 0, b""), (W.WS_TEXT, 5, b"hel"), (None, None, b"lo")]
    handles = []

    def read(size):
        if not pieces:
            return b""
        flags, length, data = pieces.pop(0)
        if flags is not None:
            handles[0].ws_start_frame(flags, length)
        return data

    def setup(handle):
        handles.append(handle)
        handle.setopt(W.UPLOAD, 1)
        handle.setopt(W.READFUNCTION, read)

    def answer(handle, data):
        if data == b"hello":
            handle.ws_close(1000)

    c, seen = answering_transfer(ws, "/echo", answer, setup=setup)
    c.close()
    assert pieces == [] and b"hello" in [data for data, _ in seen]
    assert ws.last().wait() == [
        ("PING", True, b""),
        ("TEXT", True, b"hello"),
        ("CLOSE", True, b"\x03\xe8"),
    ]
