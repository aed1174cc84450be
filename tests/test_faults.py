"""Faults: callables that misbehave at every callback site, in a transfer of
its own and inside a CurlMulti, and servers that fail in every way a
server can.  Each failure surfaces as what libcurl or the callable said, and
the same handle completes a normal transfer afterwards."""

import gc
import io
import os
import re
import sys
import weakref

import pytest

import tolvex
from servers.faulty import FaultyServer

T = tolvex
pytestmark = pytest.mark.filterwarnings("ignore:PROGRESSFUNCTION is deprecated:DeprecationWarning")


@pytest.fixture(scope="module")
def faulty():
    server = FaultyServer().start()
    yield server
    server.stop()


class Failure(Exception):
    pass


def misbehaving(name, box, site=None):
    """A callable for `site` that misbehaves the way `name` says, every time
    it runs; `box` holds the handle it closes or resets."""

    def misbehave(*args):
        if site == "CLOSESOCKETFUNCTION":
            os.close(args[0])  # closing is the callable's job; misbehaving comes after
        if name == "exception":
            raise Failure("from the callable")
        if name == "keyboard":
            raise KeyboardInterrupt
        if name == "systemexit":
            raise SystemExit(3)
        if name in ("close", "reset"):
            getattr(box[0], name)()  # refused: the transfer runs
        return {"wrong type": "nonsense", "huge": 2**70}.get(name)

    return misbehave


BODY = object()  # a fresh ten-byte request body for each transfer

# The callable options, each with what makes libcurl call it.
SITES = {
    "WRITEFUNCTION": {"path": "/bytes/100000"},
    "HEADERFUNCTION": {},
    "READFUNCTION": {"path": "/echo", "UPLOAD": 1, "INFILESIZE": 10},
    "SEEKFUNCTION": {
        "path": "/redirect?to=/echo",
        "POST": 1,
        "FOLLOWLOCATION": 1,
        "READFUNCTION": BODY,
        "POSTFIELDSIZE": 10,
    },
    "XFERINFOFUNCTION": {"NOPROGRESS": 0},
    "PROGRESSFUNCTION": {"NOPROGRESS": 0},
    "DEBUGFUNCTION": {"VERBOSE": 1},
    "PREREQFUNCTION": {},
    "OPENSOCKETFUNCTION": {},
    "SOCKOPTFUNCTION": {},
    "CLOSESOCKETFUNCTION": {"FORBID_REUSE": 1},
    "RESOLVER_START_FUNCTION": {"host": "localhost"},
    "TRAILERFUNCTION": {
        "path": "/echo",
        "UPLOAD": 1,
        "READFUNCTION": BODY,
        "HTTPHEADER": ["Transfer-Encoding: chunked"],
    },
}
BEHAVIOURS = ["exception", "keyboard", "systemexit", "wrong type", "huge", "close", "reset"]


def prepare(server, site, callable_):
    c = T.Curl()
    settings = dict(SITES[site])
    url = server.url(settings.pop("path", "/hello"))
    c.setopt(T.URL, url.replace("127.0.0.1", settings.pop("host", "127.0.0.1")))
    c.setopt(T.WRITEFUNCTION, lambda data: None)
    for name, value in settings.items():
        c.setopt(getattr(T, name), io.BytesIO(b"x" * 10).read if value is BODY else value)
    if callable_ is not None:
        c.setopt(getattr(T, site), callable_)
    return c


# Sites whose callable's exceptions stay pending, to be raised by the call
# that ran libcurl, instead of being printed.
PENDING = {"PREREQFUNCTION", "SOCKOPTFUNCTION", "CLOSESOCKETFUNCTION"}


def check_outcome(outcome, name, site, capfd, kept):
    """What a call that met the misbehaving callable may end with; `kept` is
    the handle's callback_exception afterwards."""
    err = capfd.readouterr().err
    expected = {"exception": Failure, "keyboard": KeyboardInterrupt, "systemexit": SystemExit}.get(
        name
    )
    if expected is not None:
        # The callable's first exception is kept for the handle; the error
        # raised for the transfer has it as its cause, unless it is itself
        # what was raised.  The multi's own callables' exception is the
        # cause of the multi's error.
        raised = outcome if isinstance(outcome, expected) else getattr(outcome, "__cause__", None)
        if site.startswith("M_"):
            assert isinstance(raised, expected)
        else:
            assert isinstance(kept, expected)
            assert outcome is None or raised is kept
    if name == "keyboard":
        assert isinstance(outcome, KeyboardInterrupt)
    elif name == "systemexit":
        assert isinstance(outcome, SystemExit) and outcome.code == 3
    elif name == "exception" and site in PENDING:
        assert isinstance(outcome, Failure)
    elif name in ("close", "reset") and site in PENDING:
        assert isinstance(outcome, tolvex.error)
        assert "perform() is currently running" in outcome.args[0]
    elif name == "huge":
        # Too large even for 64 bits: the conversion's OverflowError stays.
        assert outcome is None or isinstance(outcome, (tolvex.error, OverflowError))
    else:
        assert outcome is None or isinstance(outcome, tolvex.error)
        if name == "exception":
            assert "Failure: from the callable" in err
        if name in ("close", "reset"):
            assert "perform() is currently running" in err


def transfer_works(c, server):
    c.reset()
    c.setopt(T.URL, server.url("/hello"))
    assert c.perform_rb() == b"Hello, world!"
    c.close()


def run(fn):
    try:
        fn()
    except (tolvex.error, KeyboardInterrupt, SystemExit, Failure, OverflowError) as e:
        return e
    return None


@pytest.mark.parametrize("name", BEHAVIOURS)
@pytest.mark.parametrize("site", SITES)
def test_misbehaving_callable_in_perform(quiet_server, capfd, site, name):
    server = quiet_server
    box = []
    c = prepare(server, site, misbehaving(name, box, site))
    box.append(c)
    outcome = run(c.perform)
    check_outcome(outcome, name, site, capfd, c.callback_exception)
    assert not c.closed
    transfer_works(c, server)


@pytest.mark.parametrize("name", BEHAVIOURS)
@pytest.mark.parametrize("site", [*SITES, "M_SOCKETFUNCTION", "M_TIMERFUNCTION"])
def test_misbehaving_callable_in_a_multi(quiet_server, capfd, site, name):
    server = quiet_server
    box = []
    m = T.CurlMulti()
    if site.startswith("M_"):
        c = prepare(server, "HEADERFUNCTION", None)
        m.setopt(getattr(T, site), misbehaving(name, box))
    else:
        c = prepare(server, site, misbehaving(name, box, site))
    box.append(c)

    def drive():
        m.add_handle(c)  # the timer callable runs here already
        for _ in range(200):
            if m.perform()[1] == 0:
                return
            m.select(0.05)

    outcome = run(drive)
    check_outcome(outcome, name, site, capfd, c.callback_exception)
    # Closing lets go of the connection, which may call the callable again:
    # the close finishes, then raises what the callable left pending.
    run(m.close)
    assert m.closed and not c.closed and c.multi() is None
    transfer_works(c, server)


def test_the_first_exception_is_kept_until_the_next_transfer(quiet_server, capfd):
    c = T.Curl()
    c.setopt(T.URL, quiet_server.url("/hello"))
    raised = []

    def failing(*args):
        handle = c  # the traceback reaches the handle: a reference cycle
        raised.append(Failure(len(raised), id(handle)))
        raise raised[-1]

    c.setopt(T.VERBOSE, 1)
    c.setopt(T.DEBUGFUNCTION, failing)
    c.setopt(T.WRITEFUNCTION, failing)
    with pytest.raises(tolvex.error) as info:
        c.perform()
    # The debug callable's first exception, not the write callable's, which
    # failed the transfer.
    assert len(raised) > 2 and info.value.args[0] == T.E_WRITE_ERROR
    assert info.value.__cause__ is info.value.__context__ is raised[0] is c.callback_exception
    assert info.value.__suppress_context__
    assert capfd.readouterr().err.count("Failure: (%d," % (len(raised) - 1)) == 1
    c.setopt(T.DEBUGFUNCTION, None)
    c.setopt(T.WRITEFUNCTION, lambda data: None)
    c.perform()
    assert c.callback_exception is None
    c.setopt(T.WRITEFUNCTION, failing)
    with pytest.raises(tolvex.error):
        c.perform()
    assert c.callback_exception is raised[-1]
    alive = weakref.ref(c)
    del c, failing, raised, info
    # Printing the traceback made it sys.last_exc, which would keep it alive.
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        sys.__dict__.pop(name, None)
    gc.collect()
    assert alive() is None


# --- servers that fail ---------------------------------------------------------------


@pytest.mark.parametrize(
    "path, options, code, text",
    [
        ("/reset", {}, T.E_RECV_ERROR, "Recv failure: Connection reset by peer"),
        ("/short-head", {}, T.E_GOT_NOTHING, "Empty reply from server"),
        (
            "/chunked-cut",
            {},
            T.E_PARTIAL_FILE,
            "transfer closed with outstanding read data remaining",
        ),
        ("/wrong-length", {}, T.E_PARTIAL_FILE, "end of response with 50 bytes missing"),
        (
            "/stall",
            {"TIMEOUT_MS": 300},
            T.E_OPERATION_TIMEDOUT,
            r"Operation timed out after \d+ milliseconds with 0 out of 100 bytes received",
        ),
        (
            "/stall",
            {"LOW_SPEED_LIMIT": 1000, "LOW_SPEED_TIME": 1},
            T.E_OPERATION_TIMEDOUT,
            "Operation too slow. Less than 1000 bytes/sec transferred the last 1 seconds",
        ),
    ],
)
def test_server_faults(faulty, path, options, code, text):
    c = T.Curl()
    c.setopt(T.URL, faulty.url(path))
    for name, value in options.items():
        c.setopt(getattr(T, name), value)
    with pytest.raises(tolvex.error) as info:
        c.perform_rb()
    assert info.value.args[0] == code
    assert re.fullmatch(text, info.value.args[1])
    assert c.errstr() == info.value.args[1]
    # The same handle goes on, over a new connection.
    c.reset()
    c.setopt(T.URL, faulty.url("/ok/1000"))
    assert len(c.perform_rb()) == 1000
    c.close()


@pytest.mark.parametrize("how", ["refused", "not TLS", "untrusted"])
def test_connection_faults(server, closed_port, tls_files, how):
    from servers.tls import TLSServer

    tls = None
    c = T.Curl()
    if how == "refused":
        c.setopt(T.URL, "http://127.0.0.1:%d/" % closed_port)
        code = T.E_COULDNT_CONNECT
        text = r"Failed to connect to 127\.0\.0\.1:\d+ after \d+ ms: Could not connect to server"
    elif how == "not TLS":
        c.setopt(T.URL, server.url("/hello").replace("http:", "https:"))
        code, text = T.E_SSL_CONNECT_ERROR, "TLS connect error: .*wrong version number"
    else:
        tls = TLSServer(tls_files.leaf).start()
        c.setopt(T.URL, tls.url("/hello"))  # the CA is not trusted
        code = T.E_PEER_FAILED_VERIFICATION
        text = (
            r"SSL certificate OpenSSL verify result: unable to get local issuer certificate \(20\)"
        )
    with pytest.raises(tolvex.error) as info:
        c.perform()
    assert info.value.args[0] == code and re.fullmatch(text, info.value.args[1])
    if tls:
        c.setopt(T.CAINFO, tls_files.ca)
        assert c.perform_rb() == b"Hello, world!"
        tls.stop()
    transfer_works(c, server)
