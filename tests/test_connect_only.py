"""Raw I/O on a connect-only connection: send, recv and recv_into."""

import errno
import select

import pytest

import tolvex
from servers.echo import EchoServer


@pytest.fixture(scope="module")
def echo_server():
    server = EchoServer().start()
    yield server
    server.stop()


@pytest.fixture
def conn(echo_server):
    """A Curl handle connected to the echo server and nothing else."""
    c = tolvex.Curl()
    c.setopt(tolvex.URL, echo_server.url())
    c.setopt(tolvex.CONNECT_ONLY, 1)
    c.perform()
    yield c
    c.close()


def wait_readable(c, timeout=10):
    fd = c.getinfo(tolvex.ACTIVESOCKET)
    readable, _, _ = select.select([fd], [], [], timeout)
    assert readable, "nothing arrived"


def recv_exactly(c, n):
    data = b""
    while len(data) < n:
        wait_readable(c)
        block = c.recv(n - len(data))
        assert block, "connection closed early"
        data += block
    return data


@pytest.mark.parametrize(
    "data",
    [b"plain bytes", bytearray(b"a bytearray"), memoryview(b"--a view--")[2:8]],
    ids=["bytes", "bytearray", "memoryview"],
)
def test_send_accepts_bytes_like(conn, data):
    assert conn.send(data) == len(data)
    assert recv_exactly(conn, len(data)) == bytes(data)


@pytest.mark.parametrize(
    "call",
    [lambda c: c.send("text"), lambda c: c.send(None), lambda c: c.recv_into(b"read-only")],
    ids=["send str", "send None", "recv_into bytes"],
)
def test_buffer_type_errors(conn, call):
    with pytest.raises(TypeError):
        call(conn)


def test_recv_exact_and_short(conn):
    conn.send(b"0123456789")
    wait_readable(conn)
    # Less than is waiting, then more than is left.
    assert conn.recv(4) == b"0123"
    rest = conn.recv(1000)
    assert type(rest) is bytes
    assert rest == b"456789"


def test_recv_into(conn):
    conn.send(b"abcdefgh")
    buffer = bytearray(b"." * 12)
    wait_readable(conn)
    assert conn.recv_into(buffer, 3) == 3
    assert buffer == b"abc" + b"." * 9
    view = memoryview(buffer)[3:]
    assert conn.recv_into(buffer=view) == 5
    assert buffer == b"abcdefgh...."


@pytest.mark.parametrize(
    "call",
    [lambda c: c.recv(100), lambda c: c.recv_into(bytearray(100))],
    ids=["recv", "recv_into"],
)
def test_nothing_waiting_would_block(conn, call):
    with pytest.raises(BlockingIOError) as info:
        call(conn)
    assert info.value.errno == errno.EAGAIN
    assert not isinstance(info.value, tolvex.error)
    # The connection still works afterwards.
    conn.send(b"ping")
    assert recv_exactly(conn, 4) == b"ping"


def test_zero_sizes_do_not_touch_connection(conn):
    # Nothing is waiting: libcurl would say "try again" if it were asked.
    assert conn.recv(0) == b""
    assert conn.recv_into(bytearray()) == 0
    conn.send(b"xyz")
    wait_readable(conn)
    # Data is waiting now, and these still take none of it.
    assert conn.recv(0) == b""
    assert conn.recv_into(bytearray()) == 0
    assert recv_exactly(conn, 3) == b"xyz"


def test_peer_closed_gives_empty_bytes(conn):
    conn.send(b"QUIT")
    wait_readable(conn)
    assert conn.recv(10) == b""


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.recv(-1), "negative buffersize in recv"),
        (lambda c: c.recv_into(bytearray(4), -1), "negative buffersize in recv_into"),
        (lambda c: c.recv_into(bytearray(4), 5), "buffer too small for requested bytes"),
        (lambda c: c.recv_into(bytearray(), nbytes=1), "buffer too small for requested bytes"),
    ],
)
@pytest.mark.parametrize("state", ["connected", "closed"])
def test_size_errors(conn, state, call, message):
    # Sizes are checked before the handle is, so a closed one says the same.
    if state == "closed":
        conn.close()
    with pytest.raises(ValueError) as info:
        call(conn)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "name, call",
    [
        ("send", lambda c: c.send(b"x")),
        ("recv", lambda c: c.recv(1)),
        ("recv", lambda c: c.recv(0)),
        ("recv_into", lambda c: c.recv_into(bytearray(1))),
    ],
)
def test_closed_handle(conn, name, call):
    conn.close()
    with pytest.raises(tolvex.error) as info:
        call(conn)
    assert info.value.args == ("cannot invoke %s() - no curl handle" % name,)


@pytest.mark.parametrize(
    "call",
    [lambda c: c.send(b"x"), lambda c: c.recv(1), lambda c: c.recv_into(bytearray(1))],
    ids=["send", "recv", "recv_into"],
)
def test_without_connect_only(server, call):
    # Any other libcurl failure is the usual (code, message) error.
    c = tolvex.Curl()
    c.setopt(tolvex.URL, server.url("/hello"))
    c.setopt(tolvex.WRITEFUNCTION, lambda data: None)
    c.perform()
    with pytest.raises(tolvex.error) as info:
        call(c)
    assert info.value.args == (tolvex.E_UNSUPPORTED_PROTOCOL, c.errstr())
    assert c.errstr() != ""
    c.close()
