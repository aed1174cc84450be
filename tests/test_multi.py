"""The CurlMulti handle: its lifecycle, membership of Curl objects, the
polling and event-driven drives, options, the socket, timer and notify
callables, and objects assigned to sockets."""

import gc
import math
import pickle
import select
import selectors
import threading
import warnings
import weakref

import pytest

import tolvex
from conftest import left_behind, open_fds
from servers.http import body, new_curl, pattern


# A server that prints nothing when a client drops a connection.
pytestmark = pytest.mark.quiet_server


@pytest.fixture
def multi():
    m = tolvex.CurlMulti()
    yield m
    m.close()


def drain(m):
    """Everything info_read has to report, in one (done, failed) pair."""
    done, failed = [], []
    while True:
        queued, ok, err = m.info_read()
        done += ok
        failed += err
        if not queued:
            return done, failed


def drive_polling(m):
    """The polling pattern: perform, wait with select, collect with info_read."""
    done, failed = [], []
    while True:
        code, running = m.perform()
        assert code == 0
        d, f = drain(m)
        done += d
        failed += f
        if not running:
            return done, failed
        timeout = m.timeout()
        m.select(1.0 if timeout < 0 else min(timeout / 1000.0, 1.0))


class EventLoop:
    """The event-driven pattern users write: the socket and timer callables
    keep a selector and a deadline up to date, and socket_action is called
    for every ready socket and for every expired timeout."""

    def __init__(self, multi):
        self.multi = multi
        self.selector = selectors.DefaultSelector()
        self.timeout = None
        self.waits = 0
        multi.setopt(tolvex.M_SOCKETFUNCTION, self.on_socket)
        multi.setopt(tolvex.M_TIMERFUNCTION, self.on_timer)

    def on_socket(self, event, fd, multi, assigned):
        assert multi is self.multi
        if event == tolvex.POLL_REMOVE:
            self.selector.unregister(fd)
            return
        mask = (selectors.EVENT_READ if event & tolvex.POLL_IN else 0) | (
            selectors.EVENT_WRITE if event & tolvex.POLL_OUT else 0
        )
        if fd in self.selector.get_map():
            self.selector.modify(fd, mask)
        else:
            self.selector.register(fd, mask)

    def on_timer(self, timeout_ms):
        self.timeout = None if timeout_ms < 0 else timeout_ms / 1000.0

    def run(self, pending, refill=None):
        """Runs until every transfer in `pending` (a set) has finished;
        `refill(curl)` may add a new transfer for each finished one."""
        done, failed = [], []
        while pending:
            ready = self.selector.select(1.0 if self.timeout is None else self.timeout)
            self.waits += 1
            if not ready:
                self.multi.socket_action(tolvex.SOCKET_TIMEOUT, 0)
            for key, mask in ready:
                flags = (tolvex.CSELECT_IN if mask & selectors.EVENT_READ else 0) | (
                    tolvex.CSELECT_OUT if mask & selectors.EVENT_WRITE else 0
                )
                self.multi.socket_action(key.fd, flags)
            d, f = drain(self.multi)
            for c in d + [entry[0] for entry in f]:
                self.multi.remove_handle(c)
                pending.discard(c)
                if refill is not None:
                    refill(c)
            done += d
            failed += f
        return done, failed

    def close(self):
        self.multi.setopt(tolvex.M_SOCKETFUNCTION, None)
        self.multi.setopt(tolvex.M_TIMERFUNCTION, None)
        self.selector.close()


# --- lifecycle -----------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, closes_members",
    [
        ({}, False),
        ({"close_handles": False}, False),
        ({"close_handles": 1}, True),
        ({"close_handles": [0]}, True),
    ],
)
def test_close_detaches_members_and_closes_them_on_request(server, kwargs, closes_members):
    m = tolvex.CurlMulti(**kwargs)
    c = new_curl(server.url("/hello"))
    m.add_handle(c)
    assert m.close() is None
    assert m.closed
    assert c.multi() is None
    assert c.closed is closes_members
    assert c not in m
    if not closes_members:
        c.perform()
        assert body(c) == b"Hello, world!"
    assert m.close() is None


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda m: m.perform(), "perform"),
        (lambda m: m.socket_action(tolvex.SOCKET_TIMEOUT, 0), "socket_action"),
        (lambda m: m.timeout(), "timeout"),
        (lambda m: m.fdset(), "fdset"),
        (lambda m: m.select(0.1), "select"),
        (lambda m: m.setopt(tolvex.M_MAXCONNECTS, 1), "setopt"),
        (lambda m: m.info_read(), "info_read"),
        (lambda m: m.assign(3, "x"), "assign"),
        (lambda m: m.unassign(3), "unassign"),
        (lambda m: m.notify_enable(tolvex.M_NOTIFY_EASY_DONE), "notify_enable"),
    ],
)
def test_methods_refuse_a_closed_multi(call, name):
    m = tolvex.CurlMulti()
    m.close()
    with pytest.raises(tolvex.error) as info:
        call(m)
    assert info.value.args == ("cannot invoke %s() - no multi handle" % name,)


def test_context_manager_closes_through_close_and_lets_the_exception_through(server):
    calls = []

    class Multi(tolvex.CurlMulti):
        def close(self):
            calls.append("close")
            super().close()

    c = new_curl(server.url("/hello"))
    with pytest.raises(KeyError):
        with Multi() as m:
            assert isinstance(m, Multi)
            m.add_handle(c)
            raise KeyError("inside")
    assert calls == ["close"] and m.closed and c.multi() is None


def test_pickling_attributes_and_constants(multi):
    with pytest.raises(TypeError, match="CurlMulti objects do not support serialization"):
        pickle.dumps(multi)
    assert multi.M_MAXCONNECTS == tolvex.M_MAXCONNECTS
    assert multi.E_MULTI_OK == 0
    multi.note = "kept"
    assert multi.note == "kept"
    with pytest.raises(AttributeError, match="trying to obtain a non-existing attribute: URL"):
        multi.URL


def test_dropping_the_multi_detaches_members_without_closing_them(server):
    m = tolvex.CurlMulti()
    calls = []
    m.setopt(tolvex.M_SOCKETFUNCTION, lambda *args: calls.append(args))
    members = [new_curl(server.url("/drip?count=50&delay=0.05")) for _ in range(2)]
    for c in members:
        m.add_handle(c)
    for _ in range(5):
        m.perform()
    assert calls
    calls.clear()
    gone = weakref.ref(m)
    del m
    gc.collect()
    assert gone() is None
    # The socket callable was released before libcurl let go of the sockets:
    # nothing received the dying multi.
    assert calls == []
    for c in members:
        assert c.multi() is None and not c.closed
    c = members[0]
    c.setopt(tolvex.URL, server.url("/hello"))
    c.chunks.clear()
    c.perform()
    assert body(c) == b"Hello, world!"


def test_member_in_a_reference_cycle_with_its_multi_is_collected(server):
    m = tolvex.CurlMulti()
    c = new_curl(server.url("/hello"))
    c.setopt(tolvex.WRITEFUNCTION, lambda data: m)
    m.add_handle(c)
    m.socket_keep = m
    refs = weakref.ref(m), weakref.ref(c)
    del m, c
    gc.collect()
    assert [r() for r in refs] == [None, None]


@pytest.mark.parametrize("link", ["dict", "write callable", "socket callable", "both"])
@pytest.mark.parametrize("running", [False, True])
def test_cycles_through_members_are_collected(server, link, running):
    m = tolvex.CurlMulti()
    members = [new_curl(server.url("/drip?count=10&delay=0.02")) for _ in range(3)]
    for c in members:
        m.add_handle(c)
        if link in ("dict", "both"):
            c.m = m
        if link == "write callable":
            c.setopt(tolvex.WRITEFUNCTION, lambda data, m=m: None)
    if link in ("socket callable", "both"):
        m.setopt(tolvex.M_SOCKETFUNCTION, lambda *args, cs=members: None)
        m.owner = members[0]
    for _ in range(5 if running else 0):
        m.perform()
    refs = [weakref.ref(m)] + [weakref.ref(c) for c in members]
    del m, c, members
    gc.collect()
    assert [r() for r in refs] == [None] * 4


@pytest.mark.parametrize("order", ["multi first", "members first", "interleaved"])
def test_last_references_dropped_in_any_order(server, order):
    m = tolvex.CurlMulti()
    m.setopt(tolvex.M_SOCKETFUNCTION, lambda *args: None)
    objects = {"m": m}
    for i in range(3):
        c = new_curl(server.url("/drip?count=10&delay=0.02"))
        m.add_handle(c)
        objects[f"c{i}"] = c
    for _ in range(5):
        m.perform()
    names = {
        "multi first": ["m", "c0", "c1", "c2"],
        "members first": ["c0", "c1", "c2", "m"],
        "interleaved": ["c1", "m", "c0", "c2"],
    }[order]
    refs = {name: weakref.ref(obj) for name, obj in objects.items()}
    del m, c
    for name in names:
        survivor = objects.pop(name)
        del survivor
        if name != "m" and refs["m"]() is not None:
            assert refs[name]() is not None  # still a member
        for other in objects:
            if other != "m":
                assert not objects[other].closed
    assert all(r() is None for r in refs.values())


@pytest.mark.parametrize("method", ["add_handle", "remove_handle"])
@pytest.mark.parametrize("action", ["close", "reset", "multi close"])
def test_membership_change_refuses_closing_from_a_callable(server, method, action):
    m = tolvex.CurlMulti()
    c = new_curl(server.url("/hello" if method == "add_handle" else "/drip?count=10&delay=0.02"))
    refusals, armed = [], []

    def attempt(*args):
        if not armed:
            return
        try:
            {"close": c.close, "reset": c.reset, "multi close": m.close}[action]()
        except tolvex.error as e:
            refusals.append(e.args[0])

    m.setopt(tolvex.M_TIMERFUNCTION, attempt)
    m.setopt(tolvex.M_SOCKETFUNCTION, attempt)
    if method == "remove_handle":
        m.add_handle(c)
        for _ in range(3):
            m.perform()  # a connection is open: its socket goes with the removal
    armed.append(True)
    getattr(m, method)(c)
    assert refusals and "is currently running" in refusals[0]
    assert not c.closed and not m.closed
    if method == "add_handle":
        assert c in m and c.multi() is m
        m.setopt(tolvex.M_TIMERFUNCTION, None)
        m.setopt(tolvex.M_SOCKETFUNCTION, None)
        assert drive_polling(m) == ([c], [])
        assert body(c) == b"Hello, world!"
    else:
        assert c not in m and c.multi() is None
    m.close()
    c.close()


# --- membership ------------------------------------------------------------------


def test_add_and_remove(multi, server):
    c = new_curl(server.url("/hello"))
    assert c not in multi
    multi.add_handle(c)
    assert c in multi and c.multi() is multi
    multi.remove_handle(c)
    assert c not in multi and c.multi() is None
    other = tolvex.CurlMulti()
    other.add_handle(c)
    assert c.multi() is other
    other.close()


def test_member_is_kept_alive_by_the_multi_alone(multi, server):
    multi.add_handle(new_curl(server.url("/hello")))
    gc.collect()
    done, failed = drive_polling(multi)
    assert failed == [] and len(done) == 1
    assert body(done[0]) == b"Hello, world!"


@pytest.mark.parametrize(
    "action, message",
    [
        ("add twice", "curl object already on this multi-stack"),
        ("add to another", "cannot add/remove handle - curl object already on another multi-stack"),
        (
            "remove from another",
            "cannot add/remove handle - curl object already on another multi-stack",
        ),
        ("remove never added", "curl object not on this multi-stack"),
        ("add closed curl", "curl object already closed"),
        ("add to closed multi", "cannot add/remove handle - multi-stack is closed"),
    ],
)
def test_membership_refusals(multi, action, message):
    c = tolvex.Curl()
    other = tolvex.CurlMulti()
    if action in ("add twice", "add to another", "remove from another"):
        (other if action == "remove from another" else multi).add_handle(c)
    if action == "add closed curl":
        c.close()
    with pytest.raises(tolvex.error) as info:
        if action.startswith("remove"):
            multi.remove_handle(c)
        elif action == "add to another":
            other.add_handle(c)
        elif action == "add to closed multi":
            other.close()
            other.add_handle(c)
        else:
            multi.add_handle(c)
    assert info.value.args == (message,)
    other.close()
    c.close()


def test_removing_a_closed_curl_and_type_checks(multi):
    c = tolvex.Curl()
    multi.add_handle(c)
    c.close()
    assert c not in multi
    assert multi.remove_handle(c) is None
    with pytest.raises(TypeError, match="__contains__ expects a Curl object"):
        1 in multi
    for method in (multi.add_handle, multi.remove_handle):
        with pytest.raises(TypeError):
            method("not a curl")


# --- driving transfers -----------------------------------------------------------


def test_empty_multi(multi):
    assert multi.perform() == (0, 0)
    assert multi.info_read() == (0, [], [])
    assert multi.fdset() == ([], [], [])
    assert multi.timeout() == -1
    # Nothing to wait on: no waiting for the timeout.
    assert multi.select(5.0) == 0
    assert multi.socket_action(tolvex.SOCKET_TIMEOUT, 0) == (0, 0)


def test_hundred_transfers_polling(multi, server):
    handles = [new_curl(server.url("/bytes/%d" % (1000 + i))) for i in range(100)]
    for c in handles:
        multi.add_handle(c)
    done, failed = drive_polling(multi)
    assert failed == []
    assert sorted(map(id, done)) == sorted(map(id, handles))
    for i, c in enumerate(handles):
        assert body(c) == pattern(1000 + i)
        assert c.getinfo(tolvex.RESPONSE_CODE) == 200


def test_fdset_lists_the_sockets_libcurl_waits_on(multi, server):
    multi.add_handle(new_curl(server.url("/slow?delay=0.3")))
    multi.perform()
    readable, writable, exceptional = multi.fdset()
    assert readable or writable
    assert all(isinstance(fd, int) and fd >= 0 for fd in readable + writable + exceptional)
    drive_polling(multi)


@pytest.mark.parametrize("drive", ["select", "socket_action"])
def test_sockets_numbered_past_fd_setsize_are_waited_on(many_descriptors, multi, server, drive):
    handles = [new_curl(server.url("/slow?delay=0.2")) for _ in range(3)]
    for c in handles:
        multi.add_handle(c)
    if drive == "select":
        waits = 0
        while multi.perform()[1]:
            # fdset() cannot name these sockets; select() waits on them all.
            assert multi.fdset() == ([], [], [])
            assert multi.select(1.0) >= 0
            waits += 1
        done, failed = drain(multi)
    else:
        loop = EventLoop(multi)
        done, failed = loop.run(set(handles))
        waits = loop.waits
        loop.close()
    # A 0.2 s answer takes a handful of waits; a wait that sees none of the
    # sockets returns at once, thousands of times.
    assert waits <= 20
    assert not failed and {id(c) for c in done} == {id(c) for c in handles}
    assert all(body(c) == b"slow" for c in handles)


def timed_out(m):
    return lambda: m.socket_action(tolvex.SOCKET_TIMEOUT, 0)


def test_another_thread_is_refused_while_a_drive_runs(multi, server):
    entered, release = threading.Event(), threading.Event()

    def write(data):
        entered.set()
        release.wait(10)

    c = new_curl(server.url("/hello"))
    c.setopt(tolvex.WRITEFUNCTION, write)
    multi.add_handle(c)
    driver = threading.Thread(target=drive_polling, args=(multi,))
    driver.start()
    calls = [multi.perform, multi.fdset, lambda: multi.select(0.0), multi.timeout]
    calls += [timed_out(multi), multi.info_read, lambda: multi.assign(3, None)]
    try:
        assert entered.wait(10)
        for call in calls:
            with pytest.raises(tolvex.error, match="multi_perform\\(\\) is currently running"):
                call()
    finally:
        release.set()
        driver.join()


def test_two_threads_on_one_multi_are_safe_or_refused(multi, server):
    handles = [new_curl(server.url("/drip?count=10&delay=0.01")) for _ in range(4)]
    for c in handles:
        multi.add_handle(c)
    finished = threading.Event()
    refused, unexpected = [], []

    def hammer(calls):
        while not finished.is_set():
            for call in calls:
                try:
                    result = call()
                except tolvex.error as e:
                    (refused if "is currently running" in e.args[0] else unexpected).append(e)
                    continue
                if isinstance(result, tuple) and result[1] == 0:
                    finished.set()

    driving = [multi.perform, lambda: multi.select(0.005)]
    polling = [lambda: multi.select(0.001), multi.fdset, multi.timeout, timed_out(multi)]
    threads = [threading.Thread(target=hammer, args=(calls,)) for calls in (driving, polling)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert finished.is_set() and not unexpected
    done, failed = drain(multi)
    assert not failed and len(done) == 4
    assert all(body(c) == b"x" * 10 for c in handles)


def test_info_read_with_a_limit(multi, server):
    for _ in range(2):
        multi.add_handle(new_curl(server.url("/hello")))
    while multi.perform()[1]:
        multi.select(1.0)
    queued, ok, err = multi.info_read(1)
    assert (queued, len(ok), err) == (1, 1, [])
    assert multi.info_read(1)[0] == 0


def test_failed_transfer_is_listed_with_code_and_text(multi, server, closed_port):
    good = new_curl(server.url("/hello"))
    bad = new_curl("http://127.0.0.1:%d/" % closed_port)
    multi.add_handle(good)
    multi.add_handle(bad)
    done, failed = drive_polling(multi)
    assert done == [good]
    [(curl, code, text)] = failed
    assert curl is bad and code == tolvex.E_COULDNT_CONNECT
    assert "Failed to connect" in text and text == bad.errstr()


POSITIVE = "^argument to info_read must be greater than zero$"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m, t=t: m.select(t), OverflowError, "invalid timeout period")
        for t in (-0.5, 31536000.0, math.inf, math.nan)
    ]
    + [
        (lambda m: m.select(), TypeError, None),
        (lambda m: m.socket_action(-2, 0), OverflowError, None),
        (lambda m: m.socket_action(2**31, 0), OverflowError, None),
        (lambda m: m.socket_action("3", 0), TypeError, None),
        (lambda m: tolvex.CurlMulti(1), TypeError, None),
        (lambda m: tolvex.CurlMulti(bogus=1), TypeError, None),
        # The count is looked at even on a closed multi.
        (lambda m: m.close() or m.info_read(0), tolvex.error, POSITIVE),
        (lambda m: m.close() or m.info_read(-1), tolvex.error, POSITIVE),
    ],
)
def test_argument_refusals(multi, call, error, message):
    with pytest.raises(error, match=message):
        call(multi)


def test_socket_all_is_deprecated(multi):
    with pytest.warns(DeprecationWarning, match="socket_all is deprecated; use socket_action"):
        assert multi.socket_all() == (0, 0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            multi.socket_all()


@pytest.mark.parametrize("count", [100, 1000])
def test_event_driven_transfers(multi, server, count):
    """`count` transfers, at most 100 at a time, driven by socket_action."""
    loop = EventLoop(multi)
    started = []

    def start(_finished=None):
        if len(started) < count:
            i = len(started)
            c = new_curl(server.url("/bytes/%d" % (100 + i % 50)))
            c.index = i
            started.append(c)
            multi.add_handle(c)
            pending.add(c)

    pending = set()
    for _ in range(min(count, 100)):
        start()
    try:
        done, failed = loop.run(pending, refill=start)
    finally:
        loop.close()
    assert failed == [] and len(done) == count
    for c in started:
        assert body(c) == pattern(100 + c.index % 50)
    assert loop.selector.get_map() is None or not loop.selector.get_map()


def test_member_callbacks_can_pause_during_multi_perform(multi, server):
    c = new_curl(server.url("/bytes/100000"))
    seen = []

    def write(data):
        if not seen:
            c.pause(tolvex.PAUSE_RECV)
            # The multi is still running: its saved state was put back.
            with pytest.raises(tolvex.error) as info:
                multi.timeout()
            seen.append(info.value.args)
        c.chunks.append(data)

    c.setopt(tolvex.WRITEFUNCTION, write)
    multi.add_handle(c)
    for _ in range(20):
        multi.perform()
        if seen:
            break
        multi.select(1.0)
    assert seen == [("cannot invoke timeout() - multi_perform() is currently running",)]
    c.unpause()
    done, failed = drive_polling(multi)
    assert done == [c] and body(c) == pattern(100000)


# --- exceptions in callables -----------------------------------------------------


def test_keyboard_interrupt_in_socket_callable_is_raised_by_perform(multi, server, capsys):
    def on_socket(*args):
        raise KeyboardInterrupt

    multi.setopt(tolvex.M_SOCKETFUNCTION, on_socket)
    multi.add_handle(new_curl(server.url("/hello")))
    with pytest.raises(KeyboardInterrupt):
        for _ in range(20):
            multi.perform()
            multi.select(0.5)
    assert capsys.readouterr().err == ""


def test_exception_in_timer_callable_is_printed(multi, server, capsys):
    def on_timer(ms):
        raise ValueError("timer trouble")

    multi.setopt(tolvex.M_TIMERFUNCTION, on_timer)
    with pytest.raises(tolvex.error) as info:
        multi.add_handle(new_curl(server.url("/hello")))
    assert info.value.args[1] == "curl_multi_add_handle() failed due to internal errors"
    assert "ValueError: timer trouble" in capsys.readouterr().err


@pytest.mark.parametrize(
    "value, line",
    [
        (None, None),
        (0, None),
        ("x", "multi timer callback returned 'x' which is not an integer"),
        (2**40, "multi timer callback returned 1099511627776 which is out of range"),
    ],
)
def test_timer_callable_results(multi, server, capfd, value, line):
    multi.setopt(tolvex.M_TIMERFUNCTION, lambda ms: value)
    c = new_curl(server.url("/hello"))
    if line is None:
        multi.add_handle(c)
        assert c in multi
    else:
        with pytest.raises(tolvex.error):
            multi.add_handle(c)
        assert c not in multi
    err = capfd.readouterr().err
    assert err == ("" if line is None else line + "\n")


def test_refusals_from_inside_callables(multi, server):
    seen = {}
    other = tolvex.Curl()

    def on_timer(ms):
        if "timer" not in seen:
            try:
                multi.add_handle(other)
            except tolvex.error as e:
                seen["timer"] = e.args

    def on_socket(event, fd, m, assigned):
        if "socket" in seen:
            return
        results = []
        for call in (m.close, m.perform, lambda: m.setopt(tolvex.M_MAXCONNECTS, 2)):
            try:
                call()
            except tolvex.error as e:
                results.append(e.args[0])
        # Allowed while the multi runs.
        results.append(m.info_read())
        m.assign(fd, "mine")
        seen["socket"] = results

    multi.setopt(tolvex.M_TIMERFUNCTION, on_timer)
    multi.setopt(tolvex.M_SOCKETFUNCTION, on_socket)
    c = new_curl(server.url("/hello"))
    multi.add_handle(c)
    drive_polling(multi)
    assert seen["timer"] == ("cannot add/remove handle - multi_perform() already running",)
    assert seen["socket"] == [
        "cannot invoke close() - multi_perform() is currently running",
        "cannot invoke perform() - multi_perform() is currently running",
        "cannot invoke setopt() - multi_perform() is currently running",
        (0, [], []),
    ]
    assert body(c) == b"Hello, world!"
    other.close()


# --- options ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "option, value",
    [
        ("M_MAXCONNECTS", 5),
        ("M_PIPELINING", True),
        ("M_MAX_HOST_CONNECTIONS", 2),
        ("M_CONTENT_LENGTH_PENALTY_SIZE", 2**40),
        ("M_PIPELINING_SITE_BL", []),
        ("M_PIPELINING_SERVER_BL", ("Server/1", b"Other/2")),
        ("M_PIPELINING_SITE_BL", None),
    ],
)
def test_setopt_accepts(multi, option, value):
    assert multi.setopt(getattr(tolvex, option), value) is None


@pytest.mark.parametrize(
    "option, value, error, message",
    [
        (0, 1, TypeError, "invalid arguments to setopt"),
        (30022, 1, TypeError, "invalid arguments to setopt"),
        (22, 1, TypeError, "invalid arguments to setopt"),
        (tolvex.M_MAXCONNECTS, None, TypeError, "unsetting is not supported for this option"),
        (tolvex.M_SOCKETFUNCTION, 1, TypeError, "integers are not supported for this option"),
        (tolvex.M_SOCKETFUNCTION, "x", TypeError, "invalid arguments to setopt"),
        (tolvex.M_MAXCONNECTS, [], TypeError, "lists/tuples are not supported for this option"),
        (tolvex.M_MAXCONNECTS, len, TypeError, "callables are not supported for this option"),
        (tolvex.M_PIPELINING_SITE_BL, ["a", 1], tolvex.error, "list/tuple items must be strings"),
        (tolvex.M_PIPELINING_SITE_BL, ["a\0b"], ValueError, "embedded null"),
        (tolvex.M_MAXCONNECTS, 2**63, OverflowError, "too big"),
    ],
)
def test_setopt_refusals(multi, option, value, error, message):
    with pytest.raises(error, match=message):
        multi.setopt(option, value)


def test_value_refused_by_libcurl_is_an_error(multi):
    with pytest.raises(tolvex.error) as info:
        multi.setopt(tolvex.M_MAX_TOTAL_CONNECTIONS, -1)
    [code] = info.value.args
    assert code != tolvex.E_MULTI_OK


def test_callables_are_replaced_and_released(multi):
    class Timer:
        def __call__(self, ms):
            return None

    first, second = Timer(), Timer()
    refs = weakref.ref(first), weakref.ref(second)
    multi.setopt(tolvex.M_TIMERFUNCTION, first)
    multi.setopt(tolvex.M_TIMERFUNCTION, second)
    del first, second
    assert refs[0]() is None and refs[1]() is not None
    multi.setopt(tolvex.M_TIMERFUNCTION, None)
    assert refs[1]() is None


# --- assigned objects and notifications --------------------------------------------


def test_socket_callable_receives_the_assigned_object(multi, server):
    seen = []

    def on_socket(event, fd, m, assigned):
        seen.append((fd, assigned))
        if assigned is None and event != tolvex.POLL_REMOVE:
            m.assign(fd, ("object for", fd))

    multi.setopt(tolvex.M_SOCKETFUNCTION, on_socket)
    multi.add_handle(new_curl(server.url("/drip?count=3&delay=0.05")))
    drive_polling(multi)
    fd = seen[0][0]
    assert seen[0] == (fd, None)
    assert (fd, ("object for", fd)) in seen[1:]


@pytest.mark.parametrize("name", ["assign", "unassign"])
def test_assign_to_an_unknown_socket(multi, name):
    args = (12345, "x") if name == "assign" else (12345,)
    with pytest.raises(tolvex.error) as info:
        getattr(multi, name)(*args)
    assert info.value.args[1] == "%s failed" % name
    with pytest.raises(OverflowError, match="socket value is out of range"):
        getattr(multi, name)(-5, *args[1:])


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((), TypeError, "notify_enable requires at least one notification"),
        ((-1,), OverflowError, "negative"),
        ((2**32,), OverflowError, "notify_enable notification value out of range"),
        ((2**64 - 1,), OverflowError, "notify_enable notification value out of range"),
        (("0",), TypeError, "integer"),
    ],
)
def test_notify_enable_refusals(multi, args, error, message):
    with pytest.raises(error, match=message):
        multi.notify_enable(*args)


def test_notify_refused_by_libcurl(multi):
    with pytest.raises(tolvex.error) as info:
        multi.notify_disable(tolvex.M_NOTIFY_EASY_DONE, 1000)
    assert info.value.args[1] == "notify_disable failed"


def test_notify_callable_receives_the_finished_curl(multi, server):
    notes = []
    multi.setopt(tolvex.M_NOTIFYFUNCTION, lambda n, c: notes.append((n, c)))
    multi.notify_enable(tolvex.M_NOTIFY_EASY_DONE)
    handles = [new_curl(server.url("/hello")) for _ in range(3)]
    for c in handles:
        multi.add_handle(c)
    drive_polling(multi)
    assert sorted(map(id, (c for n, c in notes))) == sorted(map(id, handles))
    assert {n for n, c in notes} == {tolvex.M_NOTIFY_EASY_DONE}
    multi.notify_disable(tolvex.M_NOTIFY_EASY_DONE)
    notes.clear()
    c = handles[0]
    multi.remove_handle(c)
    multi.add_handle(c)
    drive_polling(multi)
    assert notes == []


# --- the multi's own event source ------------------------------------------------


def poll_event_source(m, handles, added=()):
    """A select.poll loop over the event source until every transfer of
    `handles` (all added) and of `added` (added one per finished transfer)
    has finished; (done, failed, waits)."""
    poll = select.poll()
    poll.register(m.fileno(), select.POLLIN)
    added = list(added)
    done, failed, waits = [], [], 0
    pending = len(handles) + len(added)
    while len(done) + len(failed) < pending:
        assert poll.poll(5000), "the event source never became readable"
        waits += 1
        assert m.process_events() >= 0
        d, f = drain(m)
        for c in d + [entry[0] for entry in f]:
            m.remove_handle(c)
            if added:
                m.add_handle(added.pop())
        done += d
        failed += f
    return done, failed, waits


@pytest.mark.parametrize("many", [False, True], ids=["few descriptors", "past FD_SETSIZE"])
def test_event_source_runs_transfers(request, server, silent, many):
    if many:
        request.getfixturevalue("many_descriptors")
    before = open_fds()
    m = tolvex.CurlMulti()
    handles = [new_curl(server.url("/bytes/%d" % (1000 + i))) for i in range(30)]
    for c in handles[:20]:
        m.add_handle(c)
    # Added before the event source starts: it looks at them all at once.
    assert m.fileno() == m.fileno() >= 0
    # No socket activity at all: only the timeout ends this one.
    stalled = new_curl(silent)
    stalled.setopt(tolvex.TIMEOUT_MS, 200)
    m.add_handle(stalled)
    done, failed, waits = poll_event_source(m, handles[:20] + [stalled], handles[20:])
    assert [(c, code) for c, code, _ in failed] == [(stalled, tolvex.E_OPERATION_TIMEDOUT)]
    assert len(done) == 30 and waits < 200
    assert all(body(c) == pattern(1000 + i) for i, c in enumerate(handles))
    m.close()
    assert m.closed and not left_behind(before, server)


def test_event_source_closes_with_transfers_running(server, silent):
    before = open_fds()
    m = tolvex.CurlMulti(close_handles=True)
    m.fileno()
    handles = [new_curl(silent) for _ in range(3)] + [new_curl(server.url("/bytes/100"))]
    for c in handles:
        m.add_handle(c)
    m.process_events()
    assert m.process_events() == 4
    m.close()
    assert all(c.closed for c in handles) and not left_behind(before, server)
    with pytest.raises(tolvex.error, match="no multi handle"):
        m.process_events()


@pytest.mark.parametrize(
    "first, then, message",
    [
        ("callable", "fileno", "cannot invoke fileno\\(\\) - the multi has an M_SOCKETFUNCTION"),
        ("fileno", "callable", "the multi watches its own sockets"),
        ("fileno", "unset", "the multi watches its own sockets"),
        (None, "process", "fileno\\(\\) has not been called"),
    ],
)
def test_event_source_excludes_socket_and_timer_callables(multi, first, then, message):
    steps = {
        "callable": lambda: multi.setopt(tolvex.M_TIMERFUNCTION, lambda ms: None),
        "unset": lambda: multi.setopt(tolvex.M_SOCKETFUNCTION, None),
        "fileno": multi.fileno,
        "process": multi.process_events,
    }
    if first:
        steps[first]()
    with pytest.raises(tolvex.error, match=message):
        steps[then]()
    # The notify callable is not the event source's.
    multi.setopt(tolvex.M_NOTIFYFUNCTION, lambda *args: None)
