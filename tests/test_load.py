"""Load: many threads transferring at once, with handles of their own, a
CurlMulti each, or through one share, against a server that fails one
response in ten;
and a process that exits while daemon threads are still transferring."""

import subprocess
import sys
import textwrap
import threading

import pytest

import tolvex
from servers.faulty import FaultyServer
from servers.http import new_curl, pattern

T = tolvex
FAILURE_CODES = {T.E_RECV_ERROR, T.E_PARTIAL_FILE, T.E_GOT_NOTHING, T.E_SEND_ERROR}


@pytest.fixture
def faulty():
    server = FaultyServer(seed=7).start()
    yield server
    server.stop()


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.ok = self.failed = 0
        self.errors = []

    def record(self, c, size, failure=None):
        """Checks one finished transfer: its whole body, or a failure of
        the kind the server causes."""
        with self.lock:
            if failure is None:
                if b"".join(c.chunks) == pattern(size):
                    self.ok += 1
                else:
                    self.errors.append("wrong body for %d bytes" % size)
            elif failure[0] in FAILURE_CODES:
                self.failed += 1
            else:
                self.errors.append("unexpected failure %r" % (failure,))


def private_worker(server, n, seed, tally, share=None):
    c = new_curl("")
    if share is not None:
        c.setopt(T.SHARE, share)
    for i in range(n):
        size = 1000 + (seed * 7919 + i * 104729) % 20000
        c.chunks.clear()
        c.setopt(T.URL, server.url("/flaky/%d?p=0.1" % size))
        try:
            c.perform()
        except tolvex.error as e:
            tally.record(c, size, e.args)
        else:
            tally.record(c, size)
    c.close()


def multi_worker(server, n, seed, tally, width=10):
    m = T.CurlMulti()
    sizes = [1000 + (seed * 7919 + i * 104729) % 20000 for i in range(n)]
    idle = [new_curl("") for _ in range(min(width, n))]
    started = finished = 0
    while finished < n:
        while idle and started < n:
            c = idle.pop()
            c.size = sizes[started]
            c.chunks.clear()
            c.setopt(T.URL, server.url("/flaky/%d?p=0.1" % c.size))
            m.add_handle(c)
            started += 1
        m.perform()
        _, ok, err = m.info_read()
        for c in ok:
            tally.record(c, c.size)
        for c, code, text in err:
            tally.record(c, c.size, (code, text))
        for c in ok + [e[0] for e in err]:
            m.remove_handle(c)
            idle.append(c)
            finished += 1
        if not ok and not err:
            m.select(0.5)
    m.close()
    for c in idle:
        c.close()


@pytest.mark.timeout(300)
@pytest.mark.parametrize(
    "threads, per_thread",
    [
        (2, 40),
        pytest.param(
            8,
            1000,
            marks=pytest.mark.no_refleak_check(
                reason="the full load run; its smaller sibling is leak-checked"
            ),
        ),
    ],
)
def test_threads_transfer_at_once(faulty, threads, per_thread):
    tally = Tally()
    # Cookies and the DNS cache are shared between threads that run at once;
    # connections are not, which libcurl does not support.
    share = T.CurlShare()
    share.share(T.LOCK_DATA_COOKIE, T.LOCK_DATA_DNS)
    kinds = [(private_worker, ()), (multi_worker, ()), (private_worker, (share,))]
    workers = [
        threading.Thread(
            target=kinds[i % 3][0], args=(faulty, per_thread, i, tally) + kinds[i % 3][1]
        )
        for i in range(threads)
    ]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    share.close()
    assert tally.errors == []
    total = threads * per_thread
    assert tally.ok + tally.failed == total
    if total >= 1000:  # about one in ten fails
        assert 0.07 * total < tally.failed < 0.13 * total


EXIT_SCRIPT = textwrap.dedent("""
    import sys, threading, time
    import tolvex

    url = sys.argv[1]

    def stalled():
        c = tolvex.Curl()
        c.setopt(tolvex.URL, url + "/stall")
        c.perform()

    def busy():
        c = tolvex.Curl()
        c.setopt(tolvex.URL, url + "/ok/50000")
        c.setopt(tolvex.WRITEFUNCTION, lambda data: None)
        while True:
            c.perform()

    for target in (stalled, stalled, busy, busy):
        threading.Thread(target=target, daemon=True).start()
    time.sleep(0.5)
    print("leaving")
""")


@pytest.mark.no_refleak_check(reason="runs a child process")
def test_process_exits_while_daemon_threads_transfer(faulty):
    result = subprocess.run(
        [sys.executable, "-c", EXIT_SCRIPT, faulty.url("")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "leaving\n", "")
