"""tolvex.aio: transfers driven from asyncio, on the default loop and on
uvloop, with libcurl's sockets in the session's epoll set or watched one by
one through the loop."""

import asyncio
import gc
import os
import socket
import subprocess
import sys
import threading
import time
import weakref

import pytest

import tolvex
import tolvex.aio
from conftest import left_behind, open_fds, tcp_ports
from servers.canned import CannedServer
from servers.http import body, new_curl, pattern

try:
    from uvloop import new_event_loop as new_uvloop
except ImportError:
    # Debian builds uvloop for its default interpreter only.
    new_uvloop = None

# Each driver: the loop, and how the session watches libcurl's sockets (the
# multi's own event source, the session's epoll set, or the loop itself).
DRIVERS = {
    "asyncio": (None, "event source"),
    "asyncio, epoll": (None, "epoll"),
    "asyncio, loop watches": (None, "loop"),
    "uvloop": (new_uvloop, "event source"),
    "uvloop, loop watches": (new_uvloop, "loop"),
}
# uvloop is built for the release interpreter: the debug interpreter's total
# of references does not see the references it takes and drops.
UVLOOP = (
    pytest.mark.no_refleak_check(reason="the debug interpreter does not count uvloop's references")
    if new_uvloop
    else pytest.mark.skip(reason="Debian ships no uvloop for Python %d.%d" % sys.version_info[:2])
)


@pytest.fixture(params=[pytest.param(n, marks=UVLOOP) if "uvloop" in n else n for n in DRIVERS])
def run(request, monkeypatch):
    """Runs a coroutine function to completion on a new loop of the driver."""
    factory, watch = DRIVERS[request.param]
    monkeypatch.setattr(tolvex.aio.Session, "_use_event_source", watch == "event source")
    monkeypatch.setattr(tolvex.aio.Session, "_use_epoll", watch == "epoll")
    return lambda main: asyncio.run(main(), loop_factory=factory)


# Cancelled transfers drop connections; the quiet server does not print that.
pytestmark = pytest.mark.quiet_server


async def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "condition never became true"
        await asyncio.sleep(0.01)


THOUSAND = pytest.mark.no_refleak_check(reason="1,000 connections; 50 are checked for leaks")


@pytest.mark.parametrize("count", [50, pytest.param(1000, marks=THOUSAND)])
def test_concurrent_transfers_deliver_every_body(run, server, closed_port, count):
    async def main():
        async with tolvex.aio.Session() as session:
            handles = [new_curl(server.url("/bytes/%d" % (1000 + i % 97))) for i in range(count)]
            await asyncio.gather(*(session.perform(c) for c in handles))
            # Each handle is free again: for another transfer, failed or not.
            c = handles[0]
            c.setopt(tolvex.URL, "http://127.0.0.1:%d/" % closed_port)
            with pytest.raises(tolvex.error):
                await session.perform(c)
            c.setopt(tolvex.URL, server.url("/hello"))
            await session.perform(c)
            return handles

    handles = run(main)
    assert body(handles[0]) == pattern(1000) + b"Hello, world!"
    for i, c in enumerate(handles[1:], 1):
        assert body(c) == pattern(1000 + i % 97) and c.getinfo(tolvex.RESPONSE_CODE) == 200
        assert c.multi() is None


def test_sockets_numbered_past_fd_setsize(many_descriptors, run, server, monkeypatch):
    calls = []

    def counting(method):
        return lambda *args: calls.append(method) or method(*args)

    # The session's wake-ups: the event source's, or each socket action.
    monkeypatch.setattr(tolvex.aio.Session, "_on_events", counting(tolvex.aio.Session._on_events))

    async def main():
        async with tolvex.aio.Session() as session:
            session._socket_action = counting(session._socket_action)
            handles = [new_curl(server.url("/slow?delay=0.2")) for _ in range(3)]
            await asyncio.gather(*(session.perform(c) for c in handles))
            return handles

    handles = run(main)
    # A handful of socket events, not a loop spinning on sockets it cannot see.
    assert 0 < len(calls) <= 40
    assert all(body(c) == b"slow" for c in handles)


def test_the_multi_handles_options_and_refusals_apply(run, server):
    async def main():
        async with tolvex.aio.Session() as session:
            session.setopt(tolvex.M_MAX_TOTAL_CONNECTIONS, 2)
            with pytest.raises(ValueError):
                session.setopt(tolvex.M_SOCKETFUNCTION, len)
            handles = [new_curl(server.url("/slow?delay=0.05")) for _ in range(6)]
            first = asyncio.gather(*(session.perform(c) for c in handles))
            await asyncio.sleep(0)
            with pytest.raises(tolvex.error, match="already running in this session"):
                await session.perform(handles[0])
            await first
            return handles

    handles = run(main)
    assert [body(c) for c in handles] == [b"slow"] * 6
    # Two connections carried all six requests.
    assert sum(c.getinfo(tolvex.NUM_CONNECTS) for c in handles) == 2


@pytest.mark.parametrize("size, limit", [(0, 1 << 20), (100_000, 1 << 20), (8 << 20, 256 << 10)])
def test_stream_yields_the_body_and_pauses_a_slow_consumer(run, server, size, limit):
    async def main():
        async with tolvex.aio.Session() as session:
            c = new_curl(server.url("/generate/%d" % size))
            stream = session.stream(c, limit=limit)
            chunks, most, paused = [], 0, False
            async for chunk in stream:
                chunks.append(chunk)
                most = max(most, stream.buffered + len(chunk))
                paused = paused or stream.paused
                if len(chunks) % 8 == 0:
                    await asyncio.sleep(0.001)
            # The stream's callable went with it: the handle's own comes back.
            c.setopt(tolvex.URL, server.url("/hello"))
            c.setopt(tolvex.WRITEFUNCTION, c.chunks.append)
            await session.perform(c)
            return c, b"".join(chunks), most, paused, stream.pauses

    c, data, most, paused, pauses = run(main)
    assert data == pattern(size) and body(c) == b"Hello, world!"
    if size > 4 * limit:
        # Held for the consumer: the limit and what libcurl hands over at once.
        assert pauses > 0 and paused and most <= limit + (64 << 10)


def test_a_stream_left_early_stops_its_transfer(run, server):
    async def main():
        async with tolvex.aio.Session() as session:
            c = new_curl(server.url("/generate/%d" % (64 << 20)))
            async for chunk in session.stream(c, limit=1 << 16):
                break  # the loop held the only reference: the stream is gone
            assert c.multi() is None
            async with session.stream(c, limit=1 << 16) as stream:
                await stream.__anext__()
            assert c.multi() is None
            c.setopt(tolvex.URL, server.url("/hello"))
            return [chunk async for chunk in session.stream(c)], weakref.ref(stream)

    chunks, gone = run(main)
    gc.collect()
    assert chunks == [b"Hello, world!"] and gone() is None


MEMORY_SCRIPT = r"""
import asyncio, sys
import tolvex, tolvex.aio

def peak_kib():
    with open("/proc/self/status") as f:
        return int([l for l in f if l.startswith("VmHWM:")][0].split()[1])

async def main(url, size):
    async with tolvex.aio.Session() as session:
        c = tolvex.Curl()
        c.setopt(tolvex.URL, url + "/generate/1000000")
        async for chunk in session.stream(c):
            pass
        before = peak_kib()
        c.setopt(tolvex.URL, url + "/generate/%d" % size)
        block = bytes(range(256)) * 2048
        offset = 0
        stream = session.stream(c)
        async for chunk in stream:
            if chunk != block[offset % 256:offset % 256 + len(chunk)]:
                raise SystemExit("wrong bytes at %d" % offset)
            offset += len(chunk)
            if offset % (1 << 19) < len(chunk):
                await asyncio.sleep(0.001)
        print(offset, stream.pauses, peak_kib() - before)

asyncio.run(main(sys.argv[1], int(sys.argv[2])))
"""


@pytest.mark.timeout(600)
@pytest.mark.no_refleak_check(reason="streams 1 GiB in a subprocess measuring its own memory")
def test_streaming_a_gigabyte_keeps_memory_bounded(server):
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        # The sanitizer's quarantine holds freed chunks back from reuse.
        env["ASAN_OPTIONS"] += ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"
    argv = [sys.executable, "-c", MEMORY_SCRIPT, server.url(""), str(1 << 30)]
    out = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=580)
    assert out.returncode == 0, out.stderr
    received, pauses, growth_kib = map(int, out.stdout.split())
    assert received == 1 << 30 and pauses > 0
    assert growth_kib < 8 * 1024, "peak memory grew by %d KiB" % growth_kib


def connected_to(port):
    return {fd for fd, (_, remote) in tcp_ports().items() if remote == port}


# For each stage: the URL (given the server and the silent port) and whether
# the transfer of `c` (through the stream `s`, if any) connected to `port`
# has reached it.
STAGES = {
    "connecting": (
        lambda srv, silent: "https://127.0.0.1:%d/" % silent,  # TLS, unanswered
        lambda c, s, port: connected_to(port) and not c.getinfo(tolvex.APPCONNECT_TIME_T),
    ),
    "waiting": (
        lambda srv, silent: "http://127.0.0.1:%d/" % silent,
        lambda c, s, port: c.getinfo(tolvex.PRETRANSFER_TIME_T),
    ),
    "mid-body": (
        lambda srv, silent: srv.url("/drip?count=200&delay=0.05"),
        lambda c, s, port: c.getinfo(tolvex.SIZE_DOWNLOAD_T),
    ),
    "paused": (
        lambda srv, silent: srv.url("/generate/%d" % (64 << 20)),
        lambda c, s, port: s and s[0].paused,
    ),
}


# Only a stream pauses on its own.
APIS = ("perform", "stream", "timeout")
CANCELS = [(stage, api) for stage in STAGES for api in APIS if stage != "paused" or api == "stream"]


@pytest.mark.parametrize("stage, api", CANCELS)
def test_cancelling_stops_the_transfer_at_once(run, server, silent, stage, api):
    url, reached = STAGES[stage]
    silent_port = int(silent.rsplit(":", 1)[1].strip("/"))
    port = silent_port if stage in ("connecting", "waiting") else server.port

    async def consume(session, c, holder):
        if api != "stream":
            await session.perform(c)
            return
        async with session.stream(c, limit=1 << 16) as stream:
            holder.append(stream)
            async for chunk in stream:
                await asyncio.sleep(3600)  # taken no further: the transfer pauses

    async def main():
        before = open_fds()
        async with tolvex.aio.Session() as session:
            c, holder = new_curl(url(server, silent_port)), []
            task = asyncio.ensure_future(consume(session, c, holder))
            await wait_for(lambda: reached(c, holder, port))
            mine = connected_to(port)
            assert mine
            if api == "timeout":
                with pytest.raises(TimeoutError):
                    async with asyncio.timeout(0):
                        await task
            else:
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
            # At once: out of the multi, its connection closed and not watched.
            assert c.multi() is None
            assert not mine & connected_to(port)
            for fd in mine:
                assert not asyncio.get_running_loop().remove_reader(fd)
            # The session carries on, with the same handle too.
            c.setopt(tolvex.URL, server.url("/hello"))
            c.chunks = []
            c.setopt(tolvex.WRITEFUNCTION, c.chunks.append)
            await session.perform(c)
            assert body(c) == b"Hello, world!"
            gone = weakref.ref(c)
            del c, holder, task
        gc.collect()
        assert gone() is None and left_behind(before, server) == set()

    run(main)


@pytest.mark.parametrize("others", [0, 3])
@pytest.mark.parametrize("how", ["closed", "removed"])
def test_a_handle_taken_away_mid_transfer_fails_its_transfer(run, server, silent, how, others):
    async def main():
        async with tolvex.aio.Session() as session:
            c = new_curl(silent)
            task = asyncio.ensure_future(session.perform(c))
            busy = [new_curl(server.url("/drip?count=20&delay=0.02")) for _ in range(others)]
            rest = asyncio.gather(*(session.perform(b) for b in busy))
            await wait_for(lambda: c.getinfo(tolvex.PRETRANSFER_TIME_T))
            c.close() if how == "closed" else c.multi().remove_handle(c)
            # libcurl does not report such a transfer; the session notices.
            with pytest.raises(tolvex.error, match="taken out of the session before it finished"):
                async with asyncio.timeout(5):
                    await task
            await rest
            return busy

    assert [body(b) for b in run(main)] == [b"x" * 20] * others


@pytest.fixture
def failing(closed_port, silent, server):
    """failure -> its URL; a server that announces 100000 bytes, sends 1000
    and closes the connection."""
    closing = CannedServer(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"y" * 1000)
    yield {
        "refused": "http://127.0.0.1:%d/" % closed_port,
        "timeout": silent,
        "closed mid-body": closing.start().url("/"),
        "callable raised": server.url("/hello"),
    }
    closing.stop()


class Failure(Exception):
    pass


def raising(*args):
    raise Failure("from the callable")


@pytest.mark.parametrize("api", ["perform", "stream"])
@pytest.mark.parametrize(
    "failure, code, received",
    [
        ("refused", tolvex.E_COULDNT_CONNECT, b""),
        ("timeout", tolvex.E_OPERATION_TIMEDOUT, b""),
        ("closed mid-body", tolvex.E_PARTIAL_FILE, b"y" * 1000),
        ("callable raised", tolvex.E_ABORTED_BY_CALLBACK, b""),
    ],
)
def test_failures_raise_libcurls_code_and_text(run, failing, capfd, failure, code, received, api):
    async def main():
        async with tolvex.aio.Session() as session:
            c = new_curl(failing[failure])
            c.setopt(tolvex.TIMEOUT_MS, 200)
            if failure == "callable raised":
                c.setopt(tolvex.NOPROGRESS, 0)
                c.setopt(tolvex.XFERINFOFUNCTION, raising)
            with pytest.raises(tolvex.error) as info:
                if api == "perform":
                    await session.perform(c)
                else:
                    async for chunk in session.stream(c):
                        c.chunks.append(chunk)
            assert c.multi() is None
            return info.value, c.errstr(), body(c), c.callback_exception

    exc, errstr, data, kept = run(main)
    assert exc.args == (code, errstr) and errstr and data == received
    # What the callable raised is the cause, as perform() on the handle has it.
    assert exc.__cause__ is kept
    assert isinstance(kept, Failure) if failure == "callable raised" else kept is None
    assert ("Failure: from the callable" in capfd.readouterr().err) == (kept is not None)


@pytest.mark.parametrize("api", ["perform", "stream"])
def test_what_a_callable_leaves_pending_reaches_its_transfer(run, server, api):
    # It ends the transfer and reaches the awaiting task, as Curl.perform()
    # raises it, rather than ending the event loop.
    async def main():
        async with tolvex.aio.Session() as session:
            c = new_curl(server.url("/drip?count=3&delay=0.05"))
            c.setopt(tolvex.NOPROGRESS, 0)

            def interrupt(*args):
                raise KeyboardInterrupt

            c.setopt(tolvex.XFERINFOFUNCTION, interrupt)
            with pytest.raises(KeyboardInterrupt) as info:
                if api == "perform":
                    await session.perform(c)
                else:
                    async for chunk in session.stream(c):
                        pass
            assert info.value is c.callback_exception and c.multi() is None
            # The session and the handle are usable again.
            c.setopt(tolvex.NOPROGRESS, 1)
            c.setopt(tolvex.WRITEFUNCTION, c.chunks.append)
            await session.perform(c)
            return body(c)

    assert run(main) == b"xxx"


def test_close_stops_what_is_left_and_releases_everything(run, server, silent):
    async def main():
        before = open_fds()
        session = tolvex.aio.Session()
        done, waiting = new_curl(server.url("/hello")), new_curl(silent)
        await session.perform(done)
        streamed = new_curl(server.url("/generate/%d" % (64 << 20)))

        async def consume():
            async for chunk in session.stream(streamed, limit=1 << 16):
                pass

        tasks = [asyncio.ensure_future(session.perform(waiting)), asyncio.ensure_future(consume())]
        await wait_for(
            lambda: (
                waiting.getinfo(tolvex.PRETRANSFER_TIME_T)
                and streamed.getinfo(tolvex.SIZE_DOWNLOAD_T)
            )
        )
        await session.close()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        assert session.closed and waiting.multi() is None and streamed.multi() is None
        await session.close()
        with pytest.raises(tolvex.error, match="closed"):
            await session.perform(done)
        assert left_behind(before, server) == set()
        return [r.args for r in results]

    assert run(main) == [("the session was closed before the transfer finished",)] * 2


def test_a_session_belongs_to_one_loop_and_thread(server):
    session, c = tolvex.aio.Session(), new_curl(server.url("/hello"))
    loop, errors = asyncio.new_event_loop(), []

    def elsewhere(call):
        try:
            call()
        except RuntimeError as e:
            errors.append(str(e))

    try:
        loop.run_until_complete(session.perform(c))
        # Another loop, in this thread or in another, or no loop at all.
        elsewhere(lambda: asyncio.run(session.perform(c)))
        elsewhere(lambda: asyncio.run(session.close()))
        thread = threading.Thread(target=elsewhere, args=(lambda: asyncio.run(session.perform(c)),))
        thread.start()
        thread.join()
        elsewhere(lambda: session.perform(c).send(None))
        assert not session.closed
        loop.run_until_complete(session.perform(c))
    finally:
        loop.close()
    # Once its loop is gone, closing is all a session can do.
    elsewhere(lambda: asyncio.run(session.perform(c)))
    asyncio.run(session.close())
    assert [e.split(":")[0] for e in errors] == [
        "tolvex.aio.Session belongs to another event loop"
    ] * 3 + [
        "tolvex.aio.Session used outside of an asyncio event loop",
        "tolvex.aio.Session belongs to another event loop",
    ]
    assert body(c) == b"Hello, world!" * 2 and session.closed
