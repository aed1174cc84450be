"""Benchmarks: tolvex against raw C libcurl and the Python HTTP clients users
pick instead, all against one nginx on loopback (and the WebSocket echo
server of ws_echo.c for the WebSocket workload), measured in one run.

    ./dev bench [--quick] [--json FILE]

Every tolvex row is divided by the matching C row measured in the same run.
Nothing here fails: the targets are printed as met or not met.
"""

import argparse
import asyncio
import gc
import json
import os
import select
import selectors
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import tolvex

HERE = os.path.dirname(os.path.abspath(__file__))
SMALL = 100
BIG = 1 << 20
WIDTH = 50


# --- the server ------------------------------------------------------------------


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_server(name, proc, port):
    """Waits until the server process `proc` accepts connections on `port`."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            if proc.poll() is not None:
                err = proc.stderr.read().decode() if proc.stderr else ""
                raise RuntimeError("%s failed: %s" % (name, err))
            time.sleep(0.05)
    raise RuntimeError("%s did not start" % name)


class Nginx:
    """nginx in the foreground with one worker process, keep-alive without a
    request limit and no access log, serving a 100-byte and a 1 MiB file."""

    def __init__(self, root):
        self.root = root
        self.port = free_port()
        self.proc = None

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def start(self):
        www = os.path.join(self.root, "www")
        os.makedirs(www)
        with open(os.path.join(www, "small"), "wb") as f:
            f.write(b"x" * SMALL)
        with open(os.path.join(www, "big"), "wb") as f:
            f.write(os.urandom(BIG))
        conf = os.path.join(self.root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(
                """
daemon off;
master_process on;
worker_processes 1;
user root;
pid %(root)s/nginx.pid;
error_log %(root)s/error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    keepalive_requests 1000000000;
    keepalive_timeout 300s;
    sendfile on;
    tcp_nodelay on;
    client_body_temp_path %(root)s/tmp;
    proxy_temp_path %(root)s/tmp;
    fastcgi_temp_path %(root)s/tmp;
    uwsgi_temp_path %(root)s/tmp;
    scgi_temp_path %(root)s/tmp;
    server {
        listen 127.0.0.1:%(port)d backlog=4096;
        root %(www)s;
        default_type application/octet-stream;
    }
}
"""
                % {"root": self.root, "port": self.port, "www": www}
            )
        self.proc = subprocess.Popen(
            [shutil.which("nginx") or "/usr/sbin/nginx", "-c", conf, "-p", self.root],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
        wait_for_server("nginx", self.proc, self.port)
        return self

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)


class Nghttpd:
    """nghttp2's server over TLS (HTTP/2 by ALPN) with a throw-away trustme
    certificate, serving the same 100-byte file; `cafile` is its CA."""

    def __init__(self, root):
        self.root = root
        self.port = free_port()
        self.proc = None
        self.cafile = os.path.join(root, "h2-ca.pem")

    def url(self, name):
        return "https://127.0.0.1:%d/%s" % (self.port, name)

    def start(self):
        import trustme

        ca = trustme.CA()
        leaf = ca.issue_cert("127.0.0.1")
        key, cert = os.path.join(self.root, "h2-key.pem"), os.path.join(self.root, "h2-cert.pem")
        ca.cert_pem.write_to_path(self.cafile)
        leaf.private_key_pem.write_to_path(key)
        leaf.cert_chain_pems[0].write_to_path(cert)
        self.proc = subprocess.Popen(
            [
                "nghttpd",
                "--address=127.0.0.1",
                "-d",
                os.path.join(self.root, "www"),
                str(self.port),
                key,
                cert,
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        wait_for_server("nghttpd", self.proc, self.port)
        return self

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)


# --- C baselines -----------------------------------------------------------------


def compile_c(out_dir):
    cc = shutil.which("cc") or shutil.which("gcc")

    def flags(library):
        return subprocess.run(
            ["pkg-config", "--cflags", "--libs", library],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.split()

    programs = {}
    for name, library in (
        ("c_easy", "libcurl"),
        ("c_multi", "libcurl"),
        ("c_events", "libcurl"),
        ("c_ws", "libcurl"),
        ("ws_echo", "libcrypto"),
    ):
        exe = os.path.join(out_dir, name)
        subprocess.run(
            [cc, "-O2", "-Wall", "-Wextra", "-Werror", "-o", exe, os.path.join(HERE, name + ".c")]
            + flags(library),
            check=True,
        )
        programs[name] = exe
    return programs


class WsEcho:
    """The WebSocket echo server of ws_echo.c."""

    def __init__(self, exe):
        self.exe = exe
        self.proc = None
        self.port = None

    def url(self):
        return "ws://127.0.0.1:%d/" % self.port

    def start(self):
        self.proc = subprocess.Popen([self.exe], stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())
        return self

    def stop(self):
        if self.proc:
            self.proc.kill()
            self.proc.wait(10)


def run_c(exe, *args, env=None):
    out = subprocess.run(
        [exe] + [str(a) for a in args],
        capture_output=True,
        text=True,
        check=True,
        env=None if env is None else dict(os.environ, **env),
    )
    count, seconds, nbytes = out.stdout.split()
    return int(count), float(seconds), int(nbytes)


# --- tolvex workloads -----------------------------------------------------------


def sink(data):
    return None


def tv_sequential(url, n, rb=False):
    c = tolvex.Curl()
    c.setopt(tolvex.URL, url)
    c.setopt(tolvex.WRITEFUNCTION, sink)
    start = time.perf_counter()
    if rb:
        for _ in range(n):
            c.perform_rb()
    else:
        for _ in range(n):
            c.perform()
    elapsed = time.perf_counter() - start
    c.close()
    return elapsed


def tv_bulk(url, n, use_memoryview):
    c = tolvex.Curl()
    c.setopt(tolvex.URL, url)
    c.setopt(tolvex.WRITEFUNCTION, sink, use_memoryview=use_memoryview)
    start = time.perf_counter()
    for _ in range(n):
        c.perform()
    elapsed = time.perf_counter() - start
    c.close()
    return elapsed


def new_handles(url, count, cafile=None):
    """`cafile`: speak HTTP/2 over TLS, multiplexed, trusting that CA."""
    handles = []
    for _ in range(count):
        c = tolvex.Curl()
        c.setopt(tolvex.URL, url)
        c.setopt(tolvex.WRITEFUNCTION, sink)
        if cafile:
            c.setopt(tolvex.CAINFO, cafile)
            c.setopt(tolvex.HTTP_VERSION, tolvex.CURL_HTTP_VERSION_2TLS)
            c.setopt(tolvex.PIPEWAIT, 1)
        handles.append(c)
    return handles


def tv_multi_poll(url, n, cafile=None):
    m = tolvex.CurlMulti()
    handles = new_handles(url, min(WIDTH, n), cafile)
    start = time.perf_counter()
    started = finished = 0
    for c in handles:
        m.add_handle(c)
        started += 1
    while finished < n:
        m.perform()
        _, ok, err = m.info_read()
        if err:
            raise RuntimeError("transfer failed: %r" % (err[0][1:],))
        for c in ok:
            finished += 1
            m.remove_handle(c)
            if started < n:
                started += 1
                m.add_handle(c)
        if finished < n and not ok:
            m.select(1.0)
    elapsed = time.perf_counter() - start
    m.close()
    return elapsed


def tv_multi_event_source(url, n):
    """The multi's own event source, driven by a select.poll loop."""
    m = tolvex.CurlMulti()
    poll = select.poll()
    poll.register(m.fileno(), select.POLLIN)
    handles = new_handles(url, min(WIDTH, n))
    start = time.perf_counter()
    started = finished = 0
    for c in handles:
        m.add_handle(c)
        started += 1
    while finished < n:
        poll.poll(1000)
        m.process_events()
        _, ok, err = m.info_read()
        if err:
            raise RuntimeError("transfer failed: %r" % (err[0][1:],))
        for c in ok:
            finished += 1
            m.remove_handle(c)
            if started < n:
                started += 1
                m.add_handle(c)
    elapsed = time.perf_counter() - start
    m.close()
    return elapsed


def tv_multi_events(url, n):
    m = tolvex.CurlMulti()
    sel = selectors.DefaultSelector()
    timeout = [0.0]

    # The selector's own bookkeeping is Python code too: it is asked only
    # for changes, and never made to raise.
    masks = {
        tolvex.POLL_IN: selectors.EVENT_READ,
        tolvex.POLL_OUT: selectors.EVENT_WRITE,
        tolvex.POLL_INOUT: selectors.EVENT_READ | selectors.EVENT_WRITE,
    }
    registered = {}

    def on_socket(event, fd, multi, data):
        if event == tolvex.POLL_REMOVE:
            if registered.pop(fd, None) is not None:
                sel.unregister(fd)
            return
        mask = masks[event]
        old = registered.get(fd)
        if old is None:
            sel.register(fd, mask)
        elif old != mask:
            sel.modify(fd, mask)
        registered[fd] = mask

    def on_timer(ms):
        timeout[0] = None if ms < 0 else ms / 1000.0

    m.setopt(tolvex.M_SOCKETFUNCTION, on_socket)
    m.setopt(tolvex.M_TIMERFUNCTION, on_timer)
    handles = new_handles(url, min(WIDTH, n))
    start = time.perf_counter()
    started = finished = 0
    for c in handles:
        m.add_handle(c)
        started += 1
    read, write = selectors.EVENT_READ, selectors.EVENT_WRITE
    cin, cout = tolvex.CSELECT_IN, tolvex.CSELECT_OUT
    while finished < n:
        t = timeout[0]
        events = sel.select(1.0 if t is None else t)
        if not events:
            m.socket_action(tolvex.SOCKET_TIMEOUT, 0)
        for key, mask in events:
            m.socket_action(key.fd, (cin if mask & read else 0) | (cout if mask & write else 0))
        _, ok, err = m.info_read()
        if err:
            raise RuntimeError("transfer failed: %r" % (err[0][1:],))
        for c in ok:
            finished += 1
            m.remove_handle(c)
            if started < n:
                started += 1
                m.add_handle(c)
    elapsed = time.perf_counter() - start
    m.close()
    sel.close()
    return elapsed


def tv_aio(url, n, uvloop=False):
    """n transfers through tolvex.aio, 50 tasks each awaiting perform() on
    its own handle, as the asyncio clients below are driven."""
    import tolvex.aio

    async def main():
        async with tolvex.aio.Session() as session:
            handles = new_handles(url, min(WIDTH, n))
            queue = iter(range(n))

            async def worker(c):
                for _ in queue:
                    await session.perform(c)

            start = time.perf_counter()
            await asyncio.gather(*(worker(c) for c in handles))
            return time.perf_counter() - start

    factory = None
    if uvloop:
        import uvloop as module

        factory = module.new_event_loop
    return asyncio.run(main(), loop_factory=factory)


def tv_threads(url, n, threads):
    """Total requests per second of `threads` threads, each doing n requests
    on its own handle."""
    barrier = threading.Barrier(threads + 1)
    times = []

    def worker():
        c = tolvex.Curl()
        c.setopt(tolvex.URL, url)
        c.setopt(tolvex.WRITEFUNCTION, sink)
        c.perform()
        barrier.wait()
        for _ in range(n):
            c.perform()
        times.append(time.perf_counter())
        c.close()

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    return (max(times) - start), threads * n


def tv_client(url, n):
    """n GETs through one tolvex.Client, each body read."""
    with tolvex.Client() as client:
        get = client.get
        get(url).content
        start = time.perf_counter()
        for _ in range(n):
            get(url).content
        return time.perf_counter() - start


def tv_client_threads(url, n, threads):
    """n GETs in all through one tolvex.Client shared by `threads` threads."""
    client = tolvex.Client()
    barrier = threading.Barrier(threads + 1)
    share = n // threads

    def worker():
        get = client.get
        get(url).content
        barrier.wait()
        for _ in range(share):
            get(url).content

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - start
    client.close()
    return elapsed, share * threads


def tv_async_client(url, n, uvloop=False):
    """n GETs through one tolvex.AsyncClient, 50 tasks at a time, as the
    asyncio clients below are driven."""

    async def main():
        async with tolvex.AsyncClient() as client:
            await client.get(url)

            async def fetch():
                (await client.get(url)).content

            start = time.perf_counter()
            await _gather_limited(n, fetch)
            return time.perf_counter() - start

    factory = None
    if uvloop:
        import uvloop as module

        factory = module.new_event_loop
    return asyncio.run(main(), loop_factory=factory)


def tv_ws_echo(url, n, size=SMALL):
    """n echo round trips of one `size`-byte binary frame over one detached
    WebSocket connection, waiting for the socket the way c_ws.c does."""
    c = tolvex.Curl()
    c.setopt(tolvex.URL, url)
    c.setopt(tolvex.CONNECT_ONLY, 2)
    c.perform()
    poller = select.poll()
    poller.register(c.getinfo(tolvex.ACTIVESOCKET), select.POLLIN)
    frame = b"x" * size
    send, recv, wait = c.ws_send, c.ws_recv, poller.poll
    start = time.perf_counter()
    for _ in range(n):
        send(frame)
        if not wait(10000):
            raise RuntimeError("no echo")
        got = 0
        while got < size:
            try:
                data, meta = recv(65536)
            except BlockingIOError:
                if not wait(10000):
                    raise RuntimeError("no echo")
                continue
            got += len(data)
    elapsed = time.perf_counter() - start
    c.close()
    return elapsed


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def tv_memory(url, warmup, n):
    c = tolvex.Curl()
    c.setopt(tolvex.URL, url)
    c.setopt(tolvex.WRITEFUNCTION, sink)
    for _ in range(warmup):
        c.perform()
    gc.collect()
    before = rss_bytes()
    for _ in range(n):
        c.perform()
    gc.collect()
    after = rss_bytes()
    c.close()
    return after - before


# --- other Python clients --------------------------------------------------------


def peer_urllib(url, n):
    import urllib.request

    start = time.perf_counter()
    for _ in range(n):
        with urllib.request.urlopen(url) as r:
            r.read()
    return time.perf_counter() - start


def peer_urllib3(url, n):
    import urllib3

    pool = urllib3.PoolManager(maxsize=1)
    pool.request("GET", url).data
    start = time.perf_counter()
    for _ in range(n):
        pool.request("GET", url).data
    return time.perf_counter() - start


def peer_requests(url, n):
    import requests

    with requests.Session() as s:
        s.get(url).content
        start = time.perf_counter()
        for _ in range(n):
            s.get(url).content
        return time.perf_counter() - start


def peer_httpx(url, n):
    import httpx

    with httpx.Client() as client:
        client.get(url).content
        start = time.perf_counter()
        for _ in range(n):
            client.get(url).content
        return time.perf_counter() - start


async def _gather_limited(n, fetch):
    queue = iter(range(n))

    async def worker():
        for _ in queue:
            await fetch()

    await asyncio.gather(*(worker() for _ in range(WIDTH)))


def peer_aiohttp(url, n):
    import aiohttp

    async def main():
        connector = aiohttp.TCPConnector(limit=WIDTH)
        async with aiohttp.ClientSession(connector=connector) as session:

            async def fetch():
                async with session.get(url) as r:
                    await r.read()

            start = time.perf_counter()
            await _gather_limited(n, fetch)
            return time.perf_counter() - start

    return asyncio.run(main())


def peer_httpx_async(url, n, cafile=None):
    """`cafile`: HTTP/2 over TLS (h2), trusting that CA."""
    import httpx

    async def main():
        limits = httpx.Limits(max_connections=WIDTH, max_keepalive_connections=WIDTH)
        extra = {}
        if cafile:
            import ssl

            extra = {"http2": True, "verify": ssl.create_default_context(cafile=cafile)}
        async with httpx.AsyncClient(limits=limits, **extra) as client:

            async def fetch():
                r = await client.get(url)
                r.read()

            start = time.perf_counter()
            await _gather_limited(n, fetch)
            return time.perf_counter() - start

    return asyncio.run(main())


# --- instruction counts ----------------------------------------------------------


def callgrind_by_object(cmd, tmp):
    """Instructions executed by cmd under callgrind, per shared object (the
    interpreter, libcurl, libc, the tolvex module...), or None."""
    out = os.path.join(tmp, "callgrind.out")
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + cmd,
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        return None
    # The profile's own cost lines: each is charged to the object of the
    # function it belongs to, except the line after "calls=", which is the
    # inclusive cost of a call and belongs to the callee.
    names, totals = {}, {}
    current, skip = None, False
    with open(out) as f:
        for line in f:
            if line.startswith(("ob=", "cob=")):
                # An object's name is given once, at its first mention, which
                # may be as a callee; later mentions give only its number.
                ref, _, name = line.split("=", 1)[1].strip().partition(" ")
                if name:
                    names[ref] = name
                if line.startswith("ob="):
                    current = names.get(ref, ref)
            elif line.startswith("calls="):
                skip = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                if skip:
                    skip = False
                    continue
                fields = line.split()
                if len(fields) >= 2 and current is not None:
                    totals[current] = totals.get(current, 0) + int(fields[1])
    return totals


def object_group(path):
    name = os.path.basename(path)
    if "_tolvex" in name:
        return "tolvex module"
    if name.startswith("libcurl"):
        return "libcurl"
    if name.startswith("python") or name.startswith("libpython"):
        return "interpreter"
    if name.startswith("libc.") or name.startswith("libc-"):
        return "libc"
    if name.startswith(
        (
            "libssl",
            "libcrypto",
            "libnghttp",
            "libz",
            "libbrotli",
            "libzstd",
            "libidn",
            "libpsl",
            "libssh",
            "librtmp",
            "libldap",
            "liblber",
            "libgssapi",
            "libkrb5",
            "libk5crypto",
        )
    ):
        return "libcurl's libraries"
    return "other"


# Runs one tolvex workload of this file in a process of its own.
TV_LOOP = """
import sys
sys.path.insert(0, sys.argv[1])
import run
mode, url, n = sys.argv[2], sys.argv[3], int(sys.argv[4])
{
    "easy": lambda: run.tv_sequential(url, n),
    "client": lambda: run.tv_client(url, n),
    "async-client": lambda: run.tv_async_client(url, n),
    "bulk": lambda: run.tv_bulk(url, n, False),
    "bulk-mv": lambda: run.tv_bulk(url, n, True),
    "multi": lambda: run.tv_multi_poll(url, n),
    "events": lambda: run.tv_multi_events(url, n),
    "event-source": lambda: run.tv_multi_event_source(url, n),
    "ws": lambda: run.tv_ws_echo(url, n),
    "aio": lambda: run.tv_aio(url, n),
    "aio-uvloop": lambda: run.tv_aio(url, n, uvloop=True),
    "aiohttp": lambda: run.peer_aiohttp(url, n),
}[mode]()
"""


def have_module(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


def instruction_counts(programs, small, big, ws, tmp):
    """Instructions per request (per MiB for bulk) under callgrind, by group
    of shared objects, from the difference between two run lengths (so
    start-up costs cancel out): {workload: {client: {group: count}}}, or
    None without valgrind."""
    if shutil.which("valgrind") is None:
        return None
    script = os.path.join(tmp, "loop.py")
    with open(script, "w") as f:
        f.write(TV_LOOP)

    def tv(mode, url):
        return lambda n: [sys.executable, script, HERE, mode, url, str(n)]

    small_counts, big_counts = (200, 1200), (5, 25)

    def c_events(n):
        # The C socket_action program: the baseline of three workloads.
        return [programs["c_events"], small, str(n), str(WIDTH)]

    workloads = {
        "sequential": (
            small_counts,
            {
                "C libcurl": lambda n: [programs["c_easy"], small, str(n)],
                "tolvex": tv("easy", small),
                "tolvex Client": tv("client", small),
            },
        ),
        "bulk, per MiB": (
            big_counts,
            {
                "C libcurl": lambda n: [programs["c_easy"], big, str(n)],
                "tolvex bytes": tv("bulk", big),
                "tolvex memoryview": tv("bulk-mv", big),
            },
        ),
        "multi polling": (
            small_counts,
            {
                "C libcurl": lambda n: [programs["c_multi"], small, str(n), str(WIDTH)],
                "tolvex": tv("multi", small),
            },
        ),
        "multi event-driven": (
            small_counts,
            {
                "C libcurl": c_events,
                "tolvex": tv("events", small),
            },
        ),
        "multi event source": (
            small_counts,
            {
                "C libcurl": c_events,
                "tolvex": tv("event-source", small),
            },
        ),
        "websocket echo": (
            small_counts,
            {
                "C libcurl": lambda n: [programs["c_ws"], ws, str(n), str(SMALL)],
                "tolvex": tv("ws", ws),
            },
        ),
        "asyncio x50": (
            small_counts,
            {
                "C libcurl": c_events,
                "tolvex.aio": tv("aio", small),
                "tolvex.aio on uvloop": tv("aio-uvloop", small),
                "tolvex AsyncClient": tv("async-client", small),
            },
        ),
    }
    if have_module("aiohttp"):
        workloads["asyncio x50"][1]["aiohttp"] = tv("aiohttp", small)
    result = {}
    measured = {}  # a command line runs under callgrind once
    for workload, (counts, clients) in workloads.items():
        result[workload] = {}
        for client, command in clients.items():
            runs = []
            for n in counts:
                cmd = command(n)
                if tuple(cmd) not in measured:
                    measured[tuple(cmd)] = callgrind_by_object(cmd, tmp)
                runs.append(measured[tuple(cmd)])
            if None in runs:
                return None
            groups = {}
            for sign, run in zip((-1, 1), runs):
                for path, count in run.items():
                    group = object_group(path)
                    groups[group] = groups.get(group, 0) + sign * count
            result[workload][client] = {g: v / (counts[1] - counts[0]) for g, v in groups.items()}
    return result


# --- the run ---------------------------------------------------------------------


class Report:
    def __init__(self):
        self.rows = []
        self.targets = []

    def row(self, workload, client, value, unit, ratio=None):
        self.rows.append(
            {
                "workload": workload,
                "client": client,
                "value": value,
                "unit": unit,
                "ratio_to_c": ratio,
            }
        )
        return value

    def target(self, name, target, measured):
        met = (
            measured is not None and measured >= target
            if target >= 0
            else (measured is not None and measured < -target)
        )
        self.targets.append({"name": name, "target": target, "measured": measured, "met": met})


def best_rate(fn, repeats, count):
    """The best of `repeats` runs, as `count` units per second."""
    return max(count / fn() for _ in range(repeats))


class Rounds:
    """Rates of several contenders measured in rounds that take them in
    turn.  This machine is shared and its speed drifts by tens of percent
    from one second to the next; the contenders of one round run within
    seconds of each other, so the ratio of two of them is taken round by
    round, and the median over the rounds is reported (the rates too are
    medians)."""

    def __init__(self, contenders, repeats):
        self.rates = {name: [] for name in contenders}
        for _ in range(repeats):
            for name, rate in contenders.items():
                self.rates[name].append(rate())

    def __getitem__(self, name):
        return statistics.median(self.rates[name])

    def ratio(self, name, base):
        return statistics.median(a / b for a, b in zip(self.rates[name], self.rates[base]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run (under a minute)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    args = parser.parse_args()

    quick = args.quick
    n_small = 3000 if quick else 20000
    n_big = 50 if quick else 400
    n_multi = 3000 if quick else 20000
    n_peer = 500 if quick else 3000
    n_ws = 3000 if quick else 20000
    repeats = 1 if quick else 3
    # The short workloads can afford more rounds.
    short_repeats = 1 if quick else 5
    mem_n = 20000 if quick else 100000

    report = Report()
    tmp = tempfile.mkdtemp(prefix="tolvex-bench-")
    server = Nginx(tmp).start()
    h2server = ws_server = None
    try:
        h2server = Nghttpd(tmp).start()
        programs = compile_c(tmp)
        ws_server = WsEcho(programs["ws_echo"]).start()
        ws = ws_server.url()
        small, big = server.url("small"), server.url("big")
        # Warm the server, the page cache and the machine: the first second
        # of a run is measurably slower than the rest.
        run_c(programs["c_easy"], small, 2000)
        run_c(programs["c_easy"], big, 20)
        tv_sequential(small, 2000)

        def c_rate(exe, url, n, *extra, unit_bytes=False, env=None):
            count, seconds, nbytes = run_c(exe, url, n, *extra, env=env)
            return (nbytes / 1e6 if unit_bytes else count) / seconds

        def tv_rate(fn, count):
            return lambda: count / fn()

        # 1. sequential, and 5. threads
        def thread_rate(threads):
            seconds, count = tv_threads(small, n_small // 2, threads)
            return count / seconds

        def client_thread_rate(threads):
            seconds, count = tv_client_threads(small, n_small, threads)
            return count / seconds

        seq = Rounds(
            {
                "C": lambda: c_rate(programs["c_easy"], small, n_small),
                "tolvex": tv_rate(lambda: tv_sequential(small, n_small), n_small),
                "rb": tv_rate(lambda: tv_sequential(small, n_small, rb=True), n_small),
                "1 thread": lambda: thread_rate(1),
                "2 threads": lambda: thread_rate(2),
                "client": tv_rate(lambda: tv_client(small, n_small), n_small),
                "client 1 thread": lambda: client_thread_rate(1),
                "client 4 threads": lambda: client_thread_rate(4),
            },
            repeats,
        )
        c_seq = seq["C"]
        report.row("sequential 100 B", "C libcurl", c_seq, "req/s", 1.0)
        report.row("sequential 100 B", "tolvex", seq["tolvex"], "req/s", seq.ratio("tolvex", "C"))
        report.row(
            "sequential 100 B", "tolvex perform_rb", seq["rb"], "req/s", seq.ratio("rb", "C")
        )
        report.row(
            "sequential 100 B", "tolvex Client", seq["client"], "req/s", seq.ratio("client", "C")
        )

        # 2. bulk
        mb = n_big * BIG / 1e6
        bulk = Rounds(
            {
                "C": lambda: c_rate(programs["c_easy"], big, n_big, unit_bytes=True),
                "bytes": tv_rate(lambda: tv_bulk(big, n_big, False), mb),
                "memoryview": tv_rate(lambda: tv_bulk(big, n_big, True), mb),
                "perform_rb": tv_rate(lambda: tv_sequential(big, n_big, rb=True), mb),
            },
            short_repeats,
        )
        report.row("bulk 1 MiB", "C libcurl", bulk["C"], "MB/s", 1.0)
        report.row("bulk 1 MiB", "tolvex bytes", bulk["bytes"], "MB/s", bulk.ratio("bytes", "C"))
        report.row(
            "bulk 1 MiB",
            "tolvex memoryview",
            bulk["memoryview"],
            "MB/s",
            bulk.ratio("memoryview", "C"),
        )
        report.row(
            "bulk 1 MiB",
            "tolvex perform_rb",
            bulk["perform_rb"],
            "MB/s",
            bulk.ratio("perform_rb", "C"),
        )

        # 3 and 4. multi
        multi = Rounds(
            {
                "C poll": lambda: c_rate(programs["c_multi"], small, n_multi, WIDTH),
                "polling": tv_rate(lambda: tv_multi_poll(small, n_multi), n_multi),
                "C events": lambda: c_rate(programs["c_events"], small, n_multi, WIDTH),
                "events": tv_rate(lambda: tv_multi_events(small, n_multi), n_multi),
                "event source": tv_rate(lambda: tv_multi_event_source(small, n_multi), n_multi),
            },
            short_repeats,
        )
        c_multi = multi["C poll"]
        report.row("multi 100 B x50", "C libcurl (poll)", c_multi, "req/s", 1.0)
        report.row(
            "multi 100 B x50",
            "tolvex polling",
            multi["polling"],
            "req/s",
            multi.ratio("polling", "C poll"),
        )
        report.row(
            "multi 100 B x50",
            "C libcurl (socket_action)",
            multi["C events"],
            "req/s",
            multi.ratio("C events", "C poll"),
        )
        report.row(
            "multi 100 B x50",
            "tolvex event-driven",
            multi["events"],
            "req/s",
            multi.ratio("events", "C poll"),
        )
        report.row(
            "multi 100 B x50",
            "tolvex event source (poll loop)",
            multi["event source"],
            "req/s",
            multi.ratio("event source", "C poll"),
        )

        # 7. asyncio, 50 transfers at a time: tolvex.aio, the C socket_action
        # program and aiohttp in the same rounds.
        contenders = {
            "C events": lambda: c_rate(programs["c_events"], small, n_multi, WIDTH),
            "aio": tv_rate(lambda: tv_aio(small, n_multi), n_multi),
        }
        if have_module("uvloop"):
            contenders["aio uvloop"] = tv_rate(lambda: tv_aio(small, n_multi, True), n_multi)
        if have_module("aiohttp"):
            contenders["aiohttp"] = tv_rate(lambda: peer_aiohttp(small, n_peer), n_peer)
        contenders["client"] = tv_rate(lambda: tv_async_client(small, n_multi), n_multi)
        aio = Rounds(contenders, short_repeats)
        report.row("asyncio 100 B x50", "C libcurl (socket_action)", aio["C events"], "req/s", 1.0)
        report.row(
            "asyncio 100 B x50", "tolvex.aio", aio["aio"], "req/s", aio.ratio("aio", "C events")
        )
        if "aio uvloop" in contenders:
            report.row(
                "asyncio 100 B x50",
                "tolvex.aio on uvloop",
                aio["aio uvloop"],
                "req/s",
                aio.ratio("aio uvloop", "C events"),
            )
        report.row(
            "asyncio 100 B x50",
            "tolvex AsyncClient",
            aio["client"],
            "req/s",
            aio.ratio("client", "C events"),
        )
        if "aiohttp" in contenders:
            report.row(
                "asyncio 100 B x50",
                "aiohttp",
                aio["aiohttp"],
                "req/s",
                aio.ratio("aiohttp", "C events"),
            )

        report.row(
            "threads 100 B", "tolvex 1 thread", seq["1 thread"], "req/s", seq.ratio("1 thread", "C")
        )
        report.row(
            "threads 100 B",
            "tolvex 2 threads",
            seq["2 threads"],
            "req/s",
            seq.ratio("2 threads", "C"),
        )
        report.row(
            "threads 100 B",
            "tolvex Client, 1 thread",
            seq["client 1 thread"],
            "req/s",
            seq.ratio("client 1 thread", "C"),
        )
        report.row(
            "threads 100 B",
            "tolvex Client, 4 threads",
            seq["client 4 threads"],
            "req/s",
            seq.ratio("client 4 threads", "C"),
        )

        # websocket echo
        ws_rounds = Rounds(
            {
                "C": lambda: c_rate(programs["c_ws"], ws, n_ws, SMALL),
                "tolvex": tv_rate(lambda: tv_ws_echo(ws, n_ws), n_ws),
            },
            short_repeats,
        )
        report.row("websocket echo 100 B", "C libcurl", ws_rounds["C"], "trips/s", 1.0)
        report.row(
            "websocket echo 100 B",
            "tolvex",
            ws_rounds["tolvex"],
            "trips/s",
            ws_rounds.ratio("tolvex", "C"),
        )

        # 6. peers
        peers = {}
        for name, fn in (
            ("urllib.request", peer_urllib),
            ("urllib3", peer_urllib3),
            ("requests", peer_requests),
            ("httpx", peer_httpx),
        ):
            try:
                peers[name] = best_rate(lambda: fn(small, n_peer), 1, n_peer)
                report.row("sequential 100 B", name, peers[name], "req/s", peers[name] / c_seq)
            except ImportError:
                pass
        if "aiohttp" in contenders:
            peers["aiohttp"] = aio["aiohttp"]
            report.row(
                "multi 100 B x50", "aiohttp", peers["aiohttp"], "req/s", peers["aiohttp"] / c_multi
            )
        for name, fn in (("httpx async", peer_httpx_async),):
            try:
                peers[name] = best_rate(lambda: fn(small, n_peer), 1, n_peer)
                report.row("multi 100 B x50", name, peers[name], "req/s", peers[name] / c_multi)
            except ImportError:
                pass

        # HTTP/2: 50 streams at once over one TLS connection
        h2url, h2ca = h2server.url("small"), h2server.cafile
        h2 = Rounds(
            {
                "C": lambda: c_rate(
                    programs["c_multi"], h2url, n_multi, WIDTH, env={"BENCH_CAINFO": h2ca}
                ),
                "tolvex": tv_rate(lambda: tv_multi_poll(h2url, n_multi, h2ca), n_multi),
            },
            short_repeats,
        )
        report.row("HTTP/2 100 B x50", "C libcurl (multi)", h2["C"], "req/s", 1.0)
        report.row(
            "HTTP/2 100 B x50", "tolvex polling", h2["tolvex"], "req/s", h2.ratio("tolvex", "C")
        )
        try:
            peers["httpx http2"] = best_rate(
                lambda: peer_httpx_async(h2url, n_peer, h2ca), 1, n_peer
            )
            report.row(
                "HTTP/2 100 B x50",
                "httpx async http2",
                peers["httpx http2"],
                "req/s",
                peers["httpx http2"] / h2["C"],
            )
        except ImportError:
            pass

        # memory
        growth = tv_memory(small, 1000, mem_n)
        report.row("memory", "tolvex RSS growth over %d transfers" % mem_n, growth / 1e6, "MB")

        # instruction counts
        instructions = None if quick else instruction_counts(programs, small, big, ws, tmp)
        if instructions:
            for workload, per in instructions.items():
                unit = "instr/MiB" if "MiB" in workload else "instr/req"
                c_ir = sum(per["C libcurl"].values())
                for client, groups in per.items():
                    # Here the ratio is instructions relative to C: above 1 is
                    # the cost tolvex adds.
                    total = sum(groups.values())
                    report.row(workload + " (instructions)", client, total, unit, total / c_ir)
                    if client == "C libcurl":
                        continue
                    for group, value in sorted(groups.items(), key=lambda kv: -kv[1]):
                        if abs(value) >= 0.005 * c_ir:
                            report.row(
                                workload + " (instructions)",
                                "  of which " + group,
                                value,
                                unit,
                                value / c_ir,
                            )

        report.target("sequential >= 0.90 of C", 0.90, seq.ratio("tolvex", "C"))
        report.target("bulk bytes >= 0.85 of C", 0.85, bulk.ratio("bytes", "C"))
        report.target("bulk memoryview >= 0.95 of C", 0.95, bulk.ratio("memoryview", "C"))
        report.target("multi polling >= 0.80 of C", 0.80, multi.ratio("polling", "C poll"))
        report.target("multi event-driven >= 0.75 of C", 0.75, multi.ratio("events", "C poll"))
        report.target("  (against C with socket_action)", 0.75, multi.ratio("events", "C events"))
        report.target("websocket echo >= 0.85 of C", 0.85, ws_rounds.ratio("tolvex", "C"))
        report.target("two threads >= 1.5 x one thread", 1.5, seq.ratio("2 threads", "1 thread"))
        if "urllib3" in peers:
            report.target("sequential >= 2 x urllib3", 2.0, seq["tolvex"] / peers["urllib3"])
        if "aiohttp" in peers:
            report.target(
                "multi >= 4 x aiohttp",
                4.0,
                max(multi["polling"], multi["events"]) / peers["aiohttp"],
            )
        report.target("tolvex.aio >= 0.5 of C socket_action", 0.5, aio.ratio("aio", "C events"))
        if "aiohttp" in contenders:
            report.target("tolvex.aio >= 3 x aiohttp", 3.0, aio.ratio("aio", "aiohttp"))
        report.target("memory growth < 2 MB", -2.0, growth / 1e6)
        # The event source and the bodies gathered in C.
        report.target("tolvex.aio >= 0.90 of C socket_action", 0.90, aio.ratio("aio", "C events"))
        if "aio uvloop" in contenders:
            report.target(
                "tolvex.aio on uvloop >= 0.90 of C socket_action",
                0.90,
                aio.ratio("aio uvloop", "C events"),
            )
        report.target(
            "event source poll loop >= 0.95 of C socket_action",
            0.95,
            multi.ratio("event source", "C events"),
        )
        if instructions:
            per = instructions["multi event source"]
            report.target(
                "event source instructions <= 1.15 x C",
                -1.15,
                sum(per["tolvex"].values()) / sum(per["C libcurl"].values()),
            )
        report.target("perform_rb >= 0.95 of perform (100 B)", 0.95, seq.ratio("rb", "tolvex"))
        report.target("perform_rb 1 MiB >= 0.80 of C", 0.80, bulk.ratio("perform_rb", "C"))
        report.target("Client >= 0.75 of Curl.perform", 0.75, seq.ratio("client", "tolvex"))
        if "requests" in peers:
            report.target("Client >= 4 x requests.Session", 4.0, seq["client"] / peers["requests"])
        if "httpx" in peers:
            report.target("Client >= 3 x httpx.Client", 3.0, seq["client"] / peers["httpx"])
        if "aiohttp" in contenders:
            report.target("AsyncClient >= 2 x aiohttp", 2.0, aio.ratio("client", "aiohttp"))
        if "httpx async" in peers:
            report.target(
                "AsyncClient >= 10 x httpx async", 10.0, aio["client"] / peers["httpx async"]
            )
        report.target(
            "Client 4 threads >= 1.3 x 1 thread",
            1.3,
            seq.ratio("client 4 threads", "client 1 thread"),
        )
    finally:
        for extra in (h2server, ws_server):
            if extra:
                extra.stop()
        server.stop()
        shutil.rmtree(tmp, ignore_errors=True)

    print_report(report, quick)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(
                {"cores": os.cpu_count(), "rows": report.rows, "targets": report.targets},
                f,
                indent=2,
            )
        print(f"figures written to {args.json}")
    return 0


def print_report(report, quick):
    print()
    print(
        "tolvex benchmarks (%s run, %d cores, nginx on loopback)"
        % ("quick" if quick else "full", os.cpu_count())
    )
    print()
    print("%-32s %-38s %14s %-10s %8s" % ("workload", "client", "value", "unit", "vs C"))
    print("-" * 106)
    for r in report.rows:
        ratio = "%.2f" % r["ratio_to_c"] if r["ratio_to_c"] is not None else ""
        value = ("%14.0f" if abs(r["value"]) >= 100 else "%14.2f") % r["value"]
        print("%-32s %-38s %s %-10s %8s" % (r["workload"], r["client"], value, r["unit"], ratio))
    print()
    print("targets:")
    for t in report.targets:
        measured = "%.2f" % t["measured"] if t["measured"] is not None else "n/a"
        print("  %-36s measured %-8s %s" % (t["name"], measured, "met" if t["met"] else "NOT met"))


if __name__ == "__main__":
    sys.exit(main())
