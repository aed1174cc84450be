"""CurlShare: closing and detaching its users, options, and the data it
shares between handles and threads."""

import gc
import pickle
import threading

import pytest
import trustme

import tolvex as T
from servers.http import pattern, transfer
from servers.tls import TLSServer

HOST = "share.test"
IN_USE = "cannot close CurlShare: still in use by %d active Curl object%s"
NO_SHARE = "cannot invoke %s() - no share handle"


@pytest.fixture(scope="module")
def tls_server():
    ca = trustme.CA()
    server = TLSServer(ca.issue_cert("127.0.0.1", HOST)).start()
    server.ca = ca.cert_pem.bytes()
    yield server
    server.stop()


@pytest.fixture
def tls(tls_server):
    tls_server.requests[:], tls_server.resumed[:] = [], []
    return tls_server


def users(share):
    (registry,) = [o for o in gc.get_referents(share) if isinstance(o, dict)]
    return [ref() for ref in registry.values()]


def attached(share, count, cls=T.Curl, **options):
    curls = [cls() for _ in range(count)]
    for c in curls:
        c.setopt(T.SHARE, share)
        for name, value in options.items():
            c.setopt(getattr(T, name), value)
    return curls


@pytest.mark.parametrize("count", [1, 2])
@pytest.mark.parametrize("leave", ["none", "unsetopt", "close", "drop", "cycle"])
def test_close_refused_until_users_leave(count, leave):
    s = T.CurlShare(detach_on_close=False)
    curls = attached(s, count)
    with pytest.raises(T.error) as info:
        s.close()
    assert info.value.args == (IN_USE % (count, "s"[: count - 1]),) and not s.closed
    for c in curls:
        {
            "none": lambda: c.setopt(T.SHARE, None),
            "unsetopt": lambda: c.unsetopt(T.SHARE),
            "close": c.close,
            "drop": lambda: None,
            "cycle": lambda: setattr(c, "me", c),
        }[leave]()
    del c, curls
    gc.collect()
    assert users(s) == [] and s.close() is None and s.closed and s.close() is None


@pytest.mark.parametrize("detach", [True, False])
@pytest.mark.parametrize("runner", ["perform", "multi"])
def test_close_detaches_idle_users_only(server, detach, runner):
    s, multi = T.CurlShare(detach_on_close=detach), T.CurlMulti()
    busy, idle = attached(s, 2, URL=server.url("/hello"), NOPROGRESS=0, WRITEFUNCTION=len)
    started, release = threading.Event(), threading.Event()
    busy.setopt(T.XFERINFOFUNCTION, lambda *_: started.set() or release.wait() and None)
    if runner == "multi":
        multi.add_handle(busy)
    thread = threading.Thread(
        target=lambda: (
            busy.perform()
            if runner == "perform"
            else [multi.select(1) for _ in iter(lambda: multi.perform()[1], 0)]
        )
    )
    thread.start()
    try:
        assert started.wait(10)
        with pytest.raises(T.error) as info:
            s.close()
        assert info.value.args == (IN_USE % (1, "") if detach else IN_USE % (2, "s"),)
        assert busy.share() is s and idle.share() is (None if detach else s)
    finally:
        release.set()
        thread.join()
    multi.close()
    assert transfer(server.url("/hello"), idle) == b"Hello, world!"
    assert s.close() is None if detach else not s.closed


@pytest.mark.parametrize(
    "closed, call, exc, message",
    [
        (True, lambda s: s.unshare(2), T.error, NO_SHARE % "unshare"),
        (True, lambda s: s.setopt(T.SH_SHARE, 2), T.error, NO_SHARE % "setopt"),
        (True, lambda s: T.Curl().setopt(T.SHARE, s), T.error, "CurlShare is closed"),
        (True, lambda s: s.share(), TypeError, "at least one LOCK_DATA_* argument required"),
        (False, lambda s: s.setopt(T.SH_SHARE, 99), TypeError, "invalid arguments to setopt"),
        (False, lambda s: s.setopt(30329, "2"), TypeError, "invalid arguments to setopt"),
        (False, lambda s: s.setopt(3, 3), TypeError, "integers are not supported for this option"),
        (
            False,
            lambda s: s.share([2]),
            TypeError,
            "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant individually",
        ),
        (False, lambda s: s.share("2"), TypeError, "arguments must be LOCK_DATA_* integers"),
        (False, lambda s: s.share(True), TypeError, "invalid arguments to setopt"),
        (False, lambda s: T.CurlShare(True), TypeError, None),
        (False, pickle.dumps, TypeError, "CurlShare objects do not support serialization"),
        (False, lambda s: (attached(s, 1), s.share(3)), T.error, (2, T.share_strerror(2))),
    ],
)
def test_refusals(closed, call, exc, message):
    s = T.CurlShare()
    if closed:
        s.close()
    with pytest.raises(exc) as info:
        call(s)
    assert message in (None, str(info.value), info.value.args) and users(s) == []


def test_with_block_closes_without_looking_up_close():
    class Sub(T.CurlShare):
        close = None

        def __init__(self, *args):  # the type's own arguments go unexamined
            pass

    with pytest.raises(ZeroDivisionError):
        with Sub(False) as s:
            1 / 0
    assert type(s) is Sub and s.closed


@pytest.mark.parametrize("shared", [True, False])
@pytest.mark.parametrize("kind", ["COOKIE", "DNS", "CONNECT", "SSL_SESSION"])
def test_data_shared_between_handles(server, tls, kind, shared):
    s = T.CurlShare()
    if shared and kind in ("DNS", "CONNECT"):
        assert s.setopt(T.SH_SHARE, getattr(T, "LOCK_DATA_" + kind)) is None
    elif shared:  # the kinds before a refused one stay shared
        with pytest.raises(TypeError, match="^invalid arguments to setopt$"):
            s.share(getattr(T, "LOCK_DATA_" + kind), 99)
    a, b = attached(s, 2, COOKIEFILE="", FRESH_CONNECT=kind != "CONNECT", CAINFO_BLOB=tls.ca)
    a.setopt(T.RESOLVE, ["%s:%d:127.0.0.1" % (HOST, server.port)])
    urls = dict(DNS="http://%s:%d/hello" % (HOST, server.port), SSL_SESSION=tls.url("/hello"))
    url = dict(urls, COOKIE=server.url("/cookies?k=v")).get(kind, server.url("/hello"))
    assert transfer(url, a) == (b"" if kind == "COOKIE" else b"Hello, world!")
    second = transfer(url.replace("?k=v", ""), b)
    observed = {"CONNECT": b.getinfo(T.NUM_CONNECTS), "SSL_SESSION": tls.resumed}.get(kind, second)
    expected = dict(COOKIE=(b"k=v", b""), CONNECT=(0, 1), SSL_SESSION=([False, True], [False] * 2))
    expected.update(DNS=(b"Hello, world!", T.E_COULDNT_RESOLVE_HOST))
    assert observed == expected[kind][not shared]
    b.reset()
    assert b.share() is s and users(s) == [a, b]


@pytest.mark.parametrize("shared", [True, False])
def test_hsts_cache_shared(sts_server, shared):
    s = T.CurlShare()
    if shared:
        s.share(T.LOCK_DATA_HSTS)
    port = sts_server.port
    options = dict(HSTS_CTRL=T.CURLHSTS_ENABLE, CAINFO_BLOB=sts_server.ca.cert_pem.bytes())
    a, b = attached(s, 2, RESOLVE=["hsts.test:%d:127.0.0.1" % port], **options)
    assert transfer("https://hsts.test:%d/sts?max-age=3600" % port, a) == b"sts"
    # With the cache shared, b goes to the TLS port over TLS although asked
    # for plain HTTP.
    result = transfer("http://hsts.test:%d/hello" % port, b)
    if shared:
        assert (result, b.getinfo(T.SCHEME).lower()) == (b"Hello, world!", "https")
    else:
        assert result != b"Hello, world!"
    a.close()
    b.close()


def test_tls_sessions_saved_and_restored(tls):
    first, second = (T.Curl() for _ in range(2))
    for c in (first, second):
        c.setopt(T.CAINFO_BLOB, tls.ca)
    assert transfer(tls.url("/hello"), first) == b"Hello, world!"
    try:
        sessions = first.ssls_export()
    except T.error as e:
        # libcurl built without session export (a build option of its own)
        # refuses both ways.
        assert e.args[0] == T.E_NOT_BUILT_IN
        with pytest.raises(T.error) as info:
            second.ssls_import([T.SslSession(None, b"hash", b"data", 0, 0, None, 0)])
        assert info.value.args[0] == T.E_NOT_BUILT_IN
        return
    # Saved as another process would, then resumed by a handle of its own.
    restored = pickle.loads(pickle.dumps(sessions))
    assert restored and all(type(s) is T.SslSession and s.sdata for s in restored)
    second.ssls_import(restored)
    assert transfer(tls.url("/hello"), second) == b"Hello, world!"
    assert tls.resumed == [False, True]


@pytest.mark.parametrize(
    "sessions, exc",
    [(5, TypeError), ([(None, b"hash")], TypeError), ([("key\0", None, b"data")], ValueError)],
)
def test_tls_session_import_refusals(sessions, exc):
    with T.Curl() as c, pytest.raises(exc):
        c.ssls_import(sessions)


def hammer(url, port, threads, count, **options):
    """Each thread runs `count` transfers through one share, on a new Curl
    every 50, checking every body.  Cookies, the DNS cache and TLS sessions
    are shared; connections are not, since libcurl does not support sharing
    them between threads that run at once (it crashes in its connection
    cache)."""
    s, failures, resolve = T.CurlShare(), [], ["%s:%d:127.0.0.1" % (HOST, port)]
    s.share(T.LOCK_DATA_COOKIE, T.LOCK_DATA_DNS, T.LOCK_DATA_SSL_SESSION)

    def worker(t):
        try:
            for i in range(count):
                if i % 50 == 0:
                    (c,) = attached(s, 1, COOKIEFILE="", RESOLVE=resolve, **options)
                c.setopt(T.FRESH_CONNECT, i % 25 == 0)
                if i % 2:
                    assert transfer(url + "/bytes/%d" % (1000 + t), c) == pattern(1000 + t)
                else:  # the cookie this thread got two transfers ago comes back
                    cookies = transfer(url + "/cookies?t%d=%d" % (t, i), c).decode().split("; ")
                    assert i == 0 or "t%d=%d" % (t, i - 2) in cookies
        except Exception as e:
            failures.append(e)

    workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert failures == [] and users(s) == [] and s.close() is None


def test_two_threads_at_once(server):
    hammer("http://%s:%d" % (HOST, server.port), server.port, 2, 60)


@pytest.mark.timeout(900)
def test_stress_four_threads(tls):
    hammer("https://%s:%d" % (HOST, tls.port), tls.port, 4, 500, CAINFO_BLOB=tls.ca)
    assert len(tls.requests) == 2000 and True in tls.resumed


def test_user_code_of_curl_subclasses():
    s, calls = T.CurlShare(), []

    class Meddler(T.Curl):
        # Claims to equal every other one; each hook takes the share's lock.
        __hash__ = lambda self: calls.append("hash") or s.closed + 0
        __eq__ = lambda self, other: calls.append("eq") or not s.closed

        def __del__(self):
            calls.append("del")
            self.share() and self.share().close()

    curls = attached(s, 3, Meddler)
    assert len(users(s)) == 3 and all(u is c for u, c in zip(users(s), curls))
    curls.pop()
    assert calls == ["del"] and s.closed and [c.share() for c in curls] == [None, None]
    s = T.CurlShare()
    curls[0].setopt(T.SHARE, s)
    curls[0].cycle, s.user = s, curls
    del curls, s
    gc.collect()
    assert calls == ["del"] * 3
