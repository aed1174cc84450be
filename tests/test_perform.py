"""Running transfers: perform, perform_rb and perform_rs, pause and unpause,
the error object of a failed transfer, and how a running transfer treats
exceptions, signals, other threads and re-entrant calls."""

import gc
import io
import signal
import socket
import threading

import pytest

import tolvex
from servers.http import pattern


@pytest.fixture
def silent_port():
    """A loopback port that completes the TCP handshake and then does nothing."""
    with socket.create_server(("127.0.0.1", 0)) as s:
        yield s.getsockname()[1]


def collect_body(c):
    chunks = []
    c.setopt(tolvex.WRITEFUNCTION, chunks.append)
    return chunks


# --- perform and the error object --------------------------------------------


def test_perform_delivers_body(curl, server):
    curl.setopt(tolvex.URL, server.url("/hello"))
    chunks = collect_body(curl)
    assert curl.perform() is None
    assert b"".join(chunks) == b"Hello, world!"
    assert [r.path for r in server.requests] == ["/hello"]
    assert curl.getinfo(tolvex.RESPONSE_CODE) == 200


def test_failure_carries_code_and_detailed_message(curl, closed_port):
    curl.setopt(tolvex.URL, "http://127.0.0.1:%d/" % closed_port)
    with pytest.raises(tolvex.error) as info:
        curl.perform()
    code, message = info.value.args
    assert code == tolvex.E_COULDNT_CONNECT
    # The text libcurl wrote into the handle's error buffer, not the
    # generic text for the code.
    assert message == curl.errstr()
    assert str(closed_port) in message
    assert message != tolvex.easy_strerror(code)


@pytest.mark.parametrize(
    "fail, code",
    [
        # libcurl rejects the host name without writing an explanation.
        (
            lambda c: (c.setopt(tolvex.URL, b"http://\xff\xfe.invalid/"), c.perform()),
            tolvex.E_URL_MALFORMAT,
        ),
        (lambda c: c.setopt(200, 1), tolvex.E_UNKNOWN_OPTION),
    ],
    ids=["perform", "setopt"],
)
def test_empty_error_buffer_gives_generic_text(curl, fail, code):
    with pytest.raises(tolvex.error) as info:
        fail(curl)
    assert curl.errstr() == ""
    assert info.value.args == (code, tolvex.easy_strerror(code))


def test_later_failures_do_not_report_an_earlier_transfers_text(curl, server, closed_port):
    curl.setopt(tolvex.URL, "http://127.0.0.1:%d/" % closed_port)
    with pytest.raises(tolvex.error) as info:
        curl.perform()
    detail = info.value.args[1]
    assert "Failed to connect" in detail
    generic = (tolvex.E_UNKNOWN_OPTION, tolvex.easy_strerror(tolvex.E_UNKNOWN_OPTION))
    # setopt and getinfo do not write the buffer: their failures carry
    # libcurl's text for their own code, while errstr() keeps the message.
    with pytest.raises(tolvex.error) as info:
        curl.setopt(200, 1)
    assert info.value.args == generic
    assert curl.errstr() == detail
    # Connect-only I/O starts from an empty buffer too.
    with pytest.raises(tolvex.error) as info:
        curl.send(b"x")
    assert info.value.args[1] != detail
    curl.setopt(tolvex.URL, server.url("/hello"))
    collect_body(curl)
    curl.perform()
    assert curl.errstr() == ""
    with pytest.raises(tolvex.error) as info:
        curl.setopt(200, 1)
    assert info.value.args == generic


def test_error_text_that_is_not_utf8(curl, silent_port):
    # libcurl names the CA file it could not read, bytes as given.
    curl.setopt(tolvex.URL, "https://127.0.0.1:%d/" % silent_port)
    curl.setopt(tolvex.CAINFO, b"/nonexistent/\xff\xfe.pem")
    with pytest.raises(tolvex.error) as info:
        curl.perform()
    raw = curl.errstr_raw()
    assert b"\xff\xfe" in raw
    assert info.value.args == (tolvex.E_SSL_CACERT_BADFILE, raw.decode("utf-8", "replace"))
    with pytest.raises(UnicodeDecodeError):
        curl.errstr()


# --- perform_rb and perform_rs -----------------------------------------------


@pytest.mark.parametrize(
    "path, body",
    [
        ("/hello", b"Hello, world!"),
        ("/bytes/0", b""),
        ("/chunked?count=5&size=1000", pattern(1000) * 5),
        ("/chunked?count=40&size=10000", pattern(10000) * 40),
        ("/bytes/300000", pattern(300000)),
        ("/close", b"closed body"),
    ],
)
def test_perform_rb_returns_body(curl, server, path, body):
    curl.setopt(tolvex.URL, server.url(path))
    result = curl.perform_rb()
    assert type(result) is bytes
    assert result == body
    if path in ("/hello", "/bytes/0"):
        text = curl.perform_rs()
        assert type(text) is str
        assert text == body.decode()


def test_perform_rs_body_not_utf8(curl, server):
    curl.setopt(tolvex.URL, server.url("/bytes/256"))
    with pytest.raises(UnicodeDecodeError):
        curl.perform_rs()
    # The transfer itself succeeded and is over.
    assert curl.getinfo(tolvex.RESPONSE_CODE) == 200
    assert curl.getinfo(tolvex.SIZE_DOWNLOAD_T) == 256
    curl.setopt(tolvex.URL, server.url("/hello"))
    assert curl.perform_rs() == "Hello, world!"


def test_perform_rb_replaces_write_callable(curl, server):
    chunks = collect_body(curl)
    curl.setopt(tolvex.URL, server.url("/hello"))
    assert curl.perform_rb() == b"Hello, world!"
    assert chunks == []


def test_perform_after_perform_rb_writes_into_last_buffer(curl, server):
    curl.setopt(tolvex.URL, server.url("/hello"))
    first = curl.perform_rb()
    curl.setopt(tolvex.URL, server.url("/bytes/10"))
    assert curl.perform() is None
    assert first == b"Hello, world!"
    writers = [
        m for m in gc.get_referents(curl) if isinstance(getattr(m, "__self__", None), io.BytesIO)
    ]
    assert len(writers) == 1
    assert writers[0].__self__.getvalue() == b"Hello, world!" + pattern(10)


@pytest.mark.parametrize(
    "method, name",
    [
        ("perform", "perform"),
        ("perform_rb", "setopt"),
        ("perform_rs", "setopt"),
        ("pause", "pause"),
        ("unpause", "unpause"),
        ("upkeep", "upkeep"),
        ("ssls_export", "ssls_export"),
    ],
)
def test_closed_handle(method, name):
    c = tolvex.Curl()
    c.close()
    with pytest.raises(tolvex.error) as info:
        getattr(c, method)()
    assert info.value.args == ("cannot invoke %s() - no curl handle" % name,)


# --- refusals while a transfer runs ------------------------------------------

RUNNING = "cannot invoke %s() - perform() is currently running"

# Guarded calls and the method name each refusal gives.
GUARDED = [
    ("close", lambda c: c.close()),
    ("setopt", lambda c: c.setopt(tolvex.VERBOSE, 0)),
    ("setopt", lambda c: c.setopt_string(tolvex.URL, "http://127.0.0.1/")),
    ("unsetopt", lambda c: c.unsetopt(tolvex.USERPWD)),
    ("reset", lambda c: c.reset()),
    ("perform", lambda c: c.perform()),
    ("setopt", lambda c: c.perform_rb()),
    ("setopt", lambda c: c.perform_rs()),
    ("getinfo", lambda c: c.getinfo(tolvex.RESPONSE_CODE)),
    ("getinfo", lambda c: c.getinfo(tolvex.INFO_CERTINFO)),
    ("getinfo", lambda c: c.getinfo_raw(tolvex.EFFECTIVE_URL)),
    ("errstr", lambda c: c.errstr()),
    ("errstr", lambda c: c.errstr_raw()),
    ("send", lambda c: c.send(b"x")),
    ("recv", lambda c: c.recv(0)),
    ("recv_into", lambda c: c.recv_into(bytearray(1))),
]
EXPECTED = [RUNNING % name for name, _ in GUARDED]


def try_guarded(c):
    """Runs every guarded call on c and returns what each raised."""
    outcomes = []
    for _, call in GUARDED:
        try:
            call(c)
        except tolvex.error as e:
            outcomes.append(e.args[0] if len(e.args) == 1 else e.args)
        else:
            outcomes.append("no error")
    return outcomes


def install(c, kind, func):
    """Makes func(c) run from the callable of the given kind, first call only."""
    outcomes = []

    def once():
        if not outcomes:
            outcomes.append(func(c))

    if kind == "write":
        c.setopt(tolvex.WRITEFUNCTION, lambda data: once())
    elif kind == "header":
        c.setopt(tolvex.HEADERFUNCTION, lambda data: once())
        c.setopt(tolvex.WRITEFUNCTION, lambda data: None)
    else:
        c.setopt(tolvex.NOPROGRESS, 0)
        c.setopt(tolvex.XFERINFOFUNCTION, lambda *args: once())
        c.setopt(tolvex.WRITEFUNCTION, lambda data: None)
    return outcomes


@pytest.mark.parametrize("kind", ["write", "header", "xferinfo"])
def test_guard_inside_callback(curl, server, kind):
    curl.setopt(tolvex.URL, server.url("/hello"))
    outcomes = install(curl, kind, try_guarded)
    curl.perform()
    assert outcomes == [EXPECTED]
    # Every refused call left the handle as it was.
    assert not curl.closed
    assert curl.getinfo(tolvex.RESPONSE_CODE) == 200
    assert curl.getinfo(tolvex.EFFECTIVE_URL) == server.url("/hello")
    curl.setopt(tolvex.VERBOSE, 0)


def test_guard_from_another_thread(curl, server):
    started = threading.Event()
    checked = threading.Event()

    def progress(*args):
        # Holds the transfer inside libcurl until the other thread is done.
        if not started.is_set():
            started.set()
            checked.wait(30)

    curl.setopt(tolvex.URL, server.url("/slow?delay=0.2"))
    curl.setopt(tolvex.NOPROGRESS, 0)
    curl.setopt(tolvex.XFERINFOFUNCTION, progress)
    body = collect_body(curl)
    errors = []

    def run():
        try:
            curl.perform()
        except BaseException as e:
            errors.append(e)

    thread = threading.Thread(target=run)
    thread.start()
    try:
        assert started.wait(30)
        outcomes = try_guarded(curl)
    finally:
        checked.set()
        thread.join(30)
    assert outcomes == EXPECTED
    assert errors == []
    assert b"".join(body) == b"slow"
    curl.setopt(tolvex.VERBOSE, 0)


# --- pause and unpause -------------------------------------------------------


def pause_and_unpause(c):
    steps = []
    for call in (lambda: c.pause(tolvex.PAUSE_ALL), c.unpause):
        assert call() is None
        # The transfer's saved state is back in place: still running.
        try:
            c.setopt(tolvex.VERBOSE, 0)
        except tolvex.error as e:
            steps.append(e.args)
        else:
            steps.append("not running")
    return steps


@pytest.mark.parametrize("kind", ["write", "xferinfo"])
def test_pause_inside_callback(curl, server, kind):
    curl.setopt(tolvex.URL, server.url("/hello"))
    outcomes = install(curl, kind, pause_and_unpause)
    curl.perform()
    assert outcomes == [[(RUNNING % "setopt",)] * 2]
    curl.setopt(tolvex.VERBOSE, 0)


def test_paused_in_write_resumed_in_progress(curl, server):
    # The usual pattern: pause receiving from the write callable, resume
    # from the progress callable, which libcurl keeps calling meanwhile.
    events = []
    chunks = []

    def write(data):
        chunks.append(data)
        curl.pause(tolvex.PAUSE_RECV)
        events.append("paused")

    def progress(*args):
        if events and events[-1] == "paused":
            curl.unpause()
            events.append("resumed")

    curl.setopt(tolvex.URL, server.url("/drip?count=3&delay=0.05"))
    curl.setopt(tolvex.WRITEFUNCTION, write)
    curl.setopt(tolvex.NOPROGRESS, 0)
    curl.setopt(tolvex.XFERINFOFUNCTION, progress)
    curl.perform()
    assert b"".join(chunks) == b"xxx"
    # Each delivery paused the transfer, and it was resumed each time.
    assert events.count("paused") == len(chunks)
    assert events[0] == "paused" and events[-1] == "resumed"


@pytest.mark.parametrize("method", ["pause", "unpause"])
def test_pause_without_transfer(curl, server, method):
    try:
        getattr(curl, method)()
    except tolvex.error as e:
        code, message = e.args
        assert code != tolvex.E_OK
        assert message == "pause/unpause failed"
    # Whatever libcurl said, the handle is not left looking busy.
    curl.setopt(tolvex.URL, server.url("/hello"))
    assert curl.perform_rb() == b"Hello, world!"


# --- exceptions, signals and threads -----------------------------------------


class Boom(Exception):
    pass


def raise_sigint(data):
    signal.raise_signal(signal.SIGINT)


def raise_exc(make):
    # A new exception each time: raising one instance again would keep
    # lengthening its traceback.
    def write(data):
        raise make()

    return write


@pytest.mark.parametrize(
    "write, expected",
    [
        (raise_exc(KeyboardInterrupt), KeyboardInterrupt),
        (raise_exc(lambda: SystemExit(3)), SystemExit),
        # The interpreter's own SIGINT handler, while the callable runs.
        (raise_sigint, KeyboardInterrupt),
    ],
    ids=["KeyboardInterrupt", "SystemExit", "SIGINT"],
)
def test_non_exception_from_callable_is_raised_by_perform(curl, server, write, expected):
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        curl.setopt(tolvex.URL, server.url("/hello"))
        curl.setopt(tolvex.WRITEFUNCTION, write)
        with pytest.raises(expected):
            curl.perform()
    finally:
        signal.signal(signal.SIGINT, previous)
    # The handle is idle again.
    curl.setopt(tolvex.URL, server.url("/hello"))
    assert curl.perform_rb() == b"Hello, world!"


def test_exception_from_callable_is_printed(curl, server, capsys):
    curl.setopt(tolvex.URL, server.url("/hello"))
    curl.setopt(tolvex.WRITEFUNCTION, raise_exc(lambda: Boom("in the write callable")))
    with pytest.raises(tolvex.error) as info:
        curl.perform()
    assert info.value.args[0] == tolvex.E_WRITE_ERROR
    assert "Boom: in the write callable" in capsys.readouterr().err


@pytest.mark.timeout(60, method="thread")
def test_signal_handler_raising_during_perform(curl, server):
    def handler(signum, frame):
        raise Boom("alarm")

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        # No Python code runs during this transfer: HEAD, no callables.
        curl.setopt(tolvex.URL, server.url("/slow?delay=0.5"))
        curl.setopt(tolvex.NOBODY, 1)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(Boom, match="alarm"):
            curl.perform()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The transfer ran to its end before the handler's exception was raised.
    assert curl.getinfo(tolvex.RESPONSE_CODE) == 200
    assert [r.method for r in server.requests] == ["HEAD"]


def test_threads_perform_concurrently(server):
    # Each response comes after a delay of one second; when the first one
    # arrives, the request of the other thread must already have reached the
    # server, which cannot happen if one perform held the interpreter.
    paths = ["/slow?delay=1&t=%d" % i for i in range(2)]
    barrier = threading.Barrier(2, timeout=30)
    results = [None, None]

    def run(i):
        c = tolvex.Curl()
        seen = {}

        def write(data):
            seen.setdefault("thread", threading.get_ident())
            seen.setdefault("requests", sorted(r.path for r in server.requests))
            seen["body"] = seen.get("body", b"") + data

        c.setopt(tolvex.URL, server.url(paths[i]))
        c.setopt(tolvex.WRITEFUNCTION, write)
        barrier.wait()
        c.perform()
        c.close()
        results[i] = (threading.get_ident(), seen)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    for ident, seen in results:
        assert seen["thread"] == ident
        assert seen["body"] == b"slow"
        assert seen["requests"] == sorted(paths)
