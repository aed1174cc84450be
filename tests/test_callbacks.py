"""Delivery of response bodies and headers to Python callables, the mapping
of their results, and how exceptions raised by callables reach perform()."""

import pytest

import tolvex
from servers.canned import CannedServer
from servers.http import pattern, perform_error


# A server that prints nothing when a client drops a connection.
pytestmark = pytest.mark.quiet_server


def make_curl(server, path):
    c = tolvex.Curl()
    c.setopt(tolvex.URL, server.url(path))
    return c


# --- delivery ----------------------------------------------------------------


@pytest.mark.parametrize(
    "path, expected",
    [
        ("/bytes/200000", pattern(200000)),
        ("/chunked?count=7&size=3000", pattern(3000) * 7),
        ("/hello", b"Hello, world!"),
    ],
    ids=["sized", "chunked", "short"],
)
def test_write_callable_receives_body_as_bytes(server, path, expected):
    chunks = []
    with make_curl(server, path) as c:
        c.setopt(tolvex.WRITEFUNCTION, chunks.append)
        c.perform()
    assert chunks and all(type(chunk) is bytes for chunk in chunks)
    assert b"".join(chunks) == expected


def test_header_callable_receives_each_line(server):
    lines, body = [], []
    with make_curl(server, "/hello") as c:
        c.setopt(tolvex.HEADERFUNCTION, lines.append)
        c.setopt(tolvex.WRITEFUNCTION, body.append)
        c.perform()
    assert lines[0] == b"HTTP/1.1 200 OK\r\n"
    assert lines[-1] == b"\r\n"
    assert b"Content-Length: 13\r\n" in lines
    assert all(type(line) is bytes and line.endswith(b"\r\n") for line in lines)
    assert b"".join(body) == b"Hello, world!"


# An RTSP SETUP answered with the interleaved channels 0 and 1, then RTP
# packets on both, in the same stream.
RTP = [b"$\x00\x00\x05hello", b"$\x01\x00\x03abc"]
SETUP_ANSWER = (
    b"RTSP/1.0 200 OK\r\nCSeq: 1\r\nSession: 42\r\n"
    b"Transport: RTP/AVP/TCP;interleaved=0-1\r\nContent-Length: 0\r\n\r\n" + b"".join(RTP)
)


@pytest.mark.parametrize(
    "result, delivered, code, printed",
    [
        (None, RTP, None, ""),
        (len, RTP, None, ""),
        (0, RTP[:1], tolvex.E_WRITE_ERROR, ""),
        ("ok", RTP[:1], tolvex.E_WRITE_ERROR, "interleave callback must return int or None"),
    ],
)
def test_interleave_callable_receives_rtp_packets(capsys, result, delivered, code, printed):
    server = CannedServer(SETUP_ANSWER).start()
    packets = []
    try:
        url = "rtsp://127.0.0.1:%d/stream" % server.port
        with tolvex.Curl() as c:
            for option, value in (
                (tolvex.URL, url),
                (tolvex.OPT_RTSP_STREAM_URI, url),
                (tolvex.OPT_RTSP_TRANSPORT, "RTP/AVP/TCP;interleaved=0-1"),
                (tolvex.OPT_RTSP_REQUEST, tolvex.RTSPREQ_SETUP),
            ):
                c.setopt(option, value)
            c.setopt(
                tolvex.INTERLEAVEFUNCTION,
                lambda data: packets.append(data) or (result(data) if callable(result) else result),
            )
            if code is None:
                c.perform()
            else:
                assert perform_error(c) == code
    finally:
        server.stop()
    assert packets == delivered
    assert printed in capsys.readouterr().err


@pytest.mark.parametrize("option", ["WRITEFUNCTION", "HEADERFUNCTION"])
def test_memoryview_delivery_is_readonly_and_released(server, option):
    views, copies = [], []

    def callback(view):
        views.append(view)
        assert type(view) is memoryview and view.readonly
        copies.append(bytes(view))

    with make_curl(server, "/bytes/70000") as c:
        c.setopt(getattr(tolvex, option), callback, use_memoryview=True)
        c.perform()
        if option == "WRITEFUNCTION":
            assert b"".join(copies) == pattern(70000)
        else:
            assert copies[0] == b"HTTP/1.1 200 OK\r\n"
    assert views
    for view in views:
        with pytest.raises(ValueError):
            bytes(view)


# --- result mapping ----------------------------------------------------------


@pytest.mark.parametrize("result", [lambda b: None, len], ids=["None", "len"])
def test_write_result_taking_every_byte(server, result):
    got = []

    def write(chunk):
        got.append(chunk)
        return result(chunk)

    with make_curl(server, "/bytes/100000") as c:
        c.setopt(tolvex.WRITEFUNCTION, write)
        c.perform()
    assert b"".join(got) == pattern(100000)


@pytest.mark.parametrize(
    "result",
    [lambda b: 0, lambda b: len(b) - 1, lambda b: len(b) + 1],
    ids=["zero", "short", "long"],
)
def test_write_result_other_count_is_write_error(server, capsys, result):
    with make_curl(server, "/bytes/1000") as c:
        c.setopt(tolvex.WRITEFUNCTION, result)
        assert perform_error(c) == tolvex.E_WRITE_ERROR
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("value", ["ok", b"", 13.0, [13]])
@pytest.mark.parametrize("option", ["WRITEFUNCTION", "HEADERFUNCTION"])
def test_write_result_of_wrong_type(server, capsys, option, value):
    with make_curl(server, "/hello") as c:
        c.setopt(getattr(tolvex, option), lambda b: value)
        assert perform_error(c) == tolvex.E_WRITE_ERROR
    err = capsys.readouterr().err
    assert err.count("tolvex.error: write callback must return int or None\n") == 1


def test_write_pause_then_unpause(server):
    got, events = [], []
    with make_curl(server, "/bytes/100000") as c:

        def write(chunk):
            if not events:
                events.append("paused")
                return tolvex.WRITEFUNC_PAUSE
            got.append(chunk)

        def xferinfo(*counters):
            if events == ["paused"]:
                events.append("unpaused")
                c.unpause()

        c.setopt(tolvex.WRITEFUNCTION, write)
        c.setopt(tolvex.NOPROGRESS, 0)
        c.setopt(tolvex.XFERINFOFUNCTION, xferinfo)
        c.perform()
    assert events == ["paused", "unpaused"]
    # the refused chunk is delivered again after the pause
    assert b"".join(got) == pattern(100000)


# --- exceptions ---------------------------------------------------------------


@pytest.mark.parametrize("option", ["WRITEFUNCTION", "HEADERFUNCTION"])
def test_exception_in_write_callable_is_printed(server, capsys, option):
    calls = []

    def callback(chunk):
        calls.append(chunk)
        raise ValueError("bad chunk %d" % len(calls))

    with make_curl(server, "/bytes/100000") as c:
        c.setopt(getattr(tolvex, option), callback)
        assert perform_error(c) == tolvex.E_WRITE_ERROR
    assert len(calls) == 1
    err = capsys.readouterr().err
    assert err.startswith("Traceback (most recent call last):\n")
    assert "in callback\n" in err
    assert err.endswith("ValueError: bad chunk 1\n")


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("option", ["WRITEFUNCTION", "HEADERFUNCTION"])
def test_base_exception_in_write_callable_is_raised(server, capsys, option, exc_type):
    raised = exc_type("stop")

    def callback(chunk):
        raise raised

    with make_curl(server, "/bytes/100000") as c:
        c.setopt(getattr(tolvex, option), callback)
        with pytest.raises(exc_type) as info:
            c.perform()
    assert info.value is raised
    assert capsys.readouterr().err == ""


class Custom(Exception):
    pass


def raiser(exc_type):
    def callback(*args):
        raise exc_type("from callable")

    return callback


# Each trigger leaves an exception pending in its callable while libcurl goes
# on with the failed request; its control fails the same request with a plain
# failure value instead.
TRIGGERS = {
    "prereq-custom": ("PREREQFUNCTION", raiser(Custom), lambda *a: 1, Custom),
    "write-interrupt": (
        "WRITEFUNCTION",
        raiser(KeyboardInterrupt),
        lambda b: 0,
        KeyboardInterrupt,
    ),
    "write-overflow": ("WRITEFUNCTION", lambda b: 2**64, lambda b: 0, OverflowError),
    "header-exit": ("HEADERFUNCTION", raiser(SystemExit), lambda b: 0, SystemExit),
}


def run_with_trace(server, option, callback):
    """Runs /hello with VERBOSE tracing; returns the calls made and the outcome."""
    events = []

    def trigger(*args):
        events.append("trigger")
        return callback(*args)

    with make_curl(server, "/hello") as c:
        c.setopt(tolvex.VERBOSE, 1)
        c.setopt(tolvex.DEBUGFUNCTION, lambda kind, data: events.append("debug"))
        c.setopt(getattr(tolvex, option), trigger)
        try:
            c.perform()
        except BaseException as exc:
            return events, exc
    return events, None


@pytest.mark.parametrize("name", list(TRIGGERS))
def test_no_callable_runs_while_an_exception_is_pending(server, capsys, name):
    option, raising, control, expected = TRIGGERS[name]

    # Failing without an exception, libcurl goes on tracing the failure.
    events, outcome = run_with_trace(server, option, control)
    assert isinstance(outcome, tolvex.error)
    after = events[events.index("trigger") + 1 :]
    assert "debug" in after

    events, outcome = run_with_trace(server, option, raising)
    assert type(outcome) is expected
    assert events.count("trigger") == 1
    assert events[-1] == "trigger"
    assert capsys.readouterr().err == ""


# --- integer results of the callables that need one (prereq here) -------------


@pytest.mark.parametrize(
    "value, line",
    [
        (1, None),
        (-1, None),
        (True, None),
        (2**31 - 1, None),
        (-(2**31), None),
        (2**31, "prereq callback returned 2147483648 which is out of range"),
        (2**32, "prereq callback returned 4294967296 which is out of range"),
        (2**32 + 1, "prereq callback returned 4294967297 which is out of range"),
        (-(2**32), "prereq callback returned -4294967296 which is out of range"),
        (None, "prereq callback returned None which is not an integer"),
        ("0", "prereq callback returned '0' which is not an integer"),
        (0.0, "prereq callback returned 0.0 which is not an integer"),
        ([0], "prereq callback returned [0] which is not an integer"),
    ],
)
def test_prereq_result_that_refuses_the_request(server, capfd, value, line):
    with make_curl(server, "/hello") as c:
        c.setopt(tolvex.PREREQFUNCTION, lambda *args: value)
        c.setopt(tolvex.WRITEFUNCTION, lambda b: None)
        with pytest.raises(tolvex.error) as info:
            c.perform()
    assert info.value.args == (
        tolvex.E_ABORTED_BY_CALLBACK,
        "operation aborted by pre-request callback",
    )
    assert server.requests == []
    err = capfd.readouterr().err
    if line is None:
        assert err == ""
    else:
        assert err == line + "\n"


@pytest.mark.parametrize("value", [0, False])
def test_prereq_zero_lets_the_request_proceed(server, capfd, value):
    body = []
    with make_curl(server, "/hello") as c:
        c.setopt(tolvex.PREREQFUNCTION, lambda *args: value)
        c.setopt(tolvex.WRITEFUNCTION, body.append)
        c.perform()
    assert b"".join(body) == b"Hello, world!"
    assert len(server.requests) == 1
    assert capfd.readouterr().err == ""


def test_prereq_result_with_non_ascii_repr(server, capfd):
    with make_curl(server, "/hello") as c:
        c.setopt(tolvex.PREREQFUNCTION, lambda *args: "\u00e9t\u00e9")
        assert perform_error(c) == tolvex.E_ABORTED_BY_CALLBACK
    err = capfd.readouterr().err
    assert err.startswith("prereq callback returned ")
    assert err.endswith(" which is not an integer\n")
    assert err.isascii() and err.count("\n") == 1


@pytest.mark.parametrize(
    "value, expected",
    [(2**64, OverflowError), (-(2**70), OverflowError)],
)
def test_prereq_result_beyond_64_bits_is_raised(server, capfd, value, expected):
    with make_curl(server, "/hello") as c:
        c.setopt(tolvex.PREREQFUNCTION, lambda *args: value)
        with pytest.raises(expected):
            c.perform()
    assert server.requests == []
    assert capfd.readouterr().err == ""


def test_prereq_result_whose_repr_raises(server, capfd):
    class BadRepr:
        def __repr__(self):
            raise Custom("no repr")

    with make_curl(server, "/hello") as c:
        c.setopt(tolvex.PREREQFUNCTION, lambda *args: BadRepr())
        with pytest.raises(Custom, match="no repr"):
            c.perform()
    assert capfd.readouterr().err == ""
