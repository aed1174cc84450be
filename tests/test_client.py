"""The HTTP client (tolvex.get, Client, AsyncClient) against real servers on
loopback: httpbin for the protocol surface, the test HTTP, TLS and
HTTP/2-3 servers, and servers that fail on purpose."""

import asyncio
import base64
import gc
import io
import json
import os
import socket
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import tolvex
from servers.canned import CannedServer
from servers.faulty import FaultyServer
from servers.http import pattern
from servers.tls import TLSServer


def run_requests(kind, calls, **client_args):
    """Runs each (method, url, kwargs) of `calls` through one Client or
    AsyncClient ("sync" or "async"); returns the responses."""
    if kind == "sync":
        with tolvex.Client(**client_args) as client:
            return [client.request(m, u, **kw) for m, u, kw in calls]

    async def main():
        async with tolvex.AsyncClient(**client_args) as client:
            return [await client.request(m, u, **kw) for m, u, kw in calls]

    return asyncio.run(main())


def one(kind, method, url, client_args=None, **kwargs):
    return run_requests(kind, [(method, url, kwargs)], **(client_args or {}))[0]


@pytest.fixture(params=["sync", "async"])
def kind(request):
    return request.param


CANNED = {
    "weird": b"HTTP/1.1 abc\r\n\r\n",
    "loop": b"HTTP/1.1 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n",
    "proxy": b"HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nproxied",
    # A SOCKS proxy that answers in another protocol.
    "socks": b"HTTP/1.1 400 Bad Request\r\n\r\n",
}


@pytest.fixture(scope="module")
def module_servers(tls_files):
    """A CannedServer for each response of CANNED, by its name, a
    FaultyServer as "faulty" and a TLSServer as "tls".  Servers (and so URLs)
    that stay the same from one run of a test to the next keep the URL caches
    of the client and of urllib.parse from growing under the leak check."""
    servers = {name: CannedServer(r, greet=name == "socks") for name, r in CANNED.items()}
    servers.update(faulty=FaultyServer(), tls=TLSServer(tls_files.leaf))
    for server in servers.values():
        server.start()
    yield servers
    for server in servers.values():
        server.stop()


@pytest.fixture
def servers(module_servers):
    """The servers above, with their logs emptied for this test."""
    for server in module_servers.values():
        for log in ("requests", "resumed"):
            getattr(server, log, []).clear()
    return module_servers


@pytest.fixture(scope="module")
def full_backlog():
    """A listening port whose backlog is full: new connections go unanswered."""
    with socket.create_server(("127.0.0.1", 0), backlog=0) as listener:
        fillers = [socket.socket() for _ in range(8)]
        for s in fillers:
            s.setblocking(False)
            s.connect_ex(listener.getsockname())
        yield listener.getsockname()[1]
        for s in fillers:
            s.close()


# --- the protocol surface, against httpbin ---------------------------------------------


@pytest.mark.parametrize("method", ["GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"])
def test_methods_and_bodiless_requests(server, kind, method):
    r = one(kind, method, server.url("/headers"))
    sent = server.requests[-1]
    assert (r.status_code, r.reason_phrase, r.http_version) == (200, "OK", "HTTP/1.1")
    assert sent.method == method and r.request.method == method
    # The response to HEAD has a length and no body.
    length = int(r.headers["content-length"])
    assert length > 0 and len(r.content) == (0 if method == "HEAD" else length)
    # POST, PUT and PATCH without a body still say how long it is.
    expected = "0" if method in ("POST", "PUT", "PATCH") else None
    assert sent.header("Content-Length") == expected
    assert sent.header("Content-Type") is None and sent.header("Expect") is None


def test_params_headers_and_cookies_merge_with_the_clients(httpbin, kind):
    client = {"params": {"c": "1"}, "headers": {"X-Client": "a", "X-Over": "client"}}
    client["cookies"] = {"jar": "1"}
    params = [("b", "x"), ("b", "y z"), ("t", True)]
    headers = [("x-over", "request"), ("X-Empty", "")]
    url = httpbin.url("/anything?q=0")
    r = one(kind, "GET", url, client, params=params, headers=headers, cookies={"given": "2"})
    sent = r.json()
    assert r.url == httpbin.url("/anything?q=0&c=1&b=x&b=y+z&t=true")
    assert sent["args"] == {"q": "0", "c": "1", "b": ["x", "y z"], "t": "true"}
    headers = sent["headers"]
    assert (headers["X-Client"], headers["X-Over"], headers["X-Empty"]) == ("a", "request", "")
    assert headers["Cookie"] == "jar=1; given=2"
    assert headers["User-Agent"].startswith("tolvex/") and headers["Accept"] == "*/*"
    assert r.request.headers["x-over"] == "request"
    assert r.request.headers["host"] == httpbin.url("").split("//")[1]


FORM = "application/x-www-form-urlencoded"


@pytest.mark.parametrize(
    "body, form, data, content_type",
    [
        ({"data": {"a": "1", "b": ["2", "3"]}}, {"a": "1", "b": ["2", "3"]}, "", FORM),
        ({"json": {"k": [1, "\u00e9"]}}, {}, '{"k":[1,"\u00e9"]}', "application/json"),
        ({"content": b"raw \x00 bytes"}, {}, "raw \x00 bytes", None),
        ({"content": "text"}, {}, "text", None),
        ({"content": lambda: io.BytesIO(b"from a file")}, {}, "from a file", None),
    ],
)
def test_bodies(httpbin, kind, body, form, data, content_type):
    body = {k: v() if callable(v) else v for k, v in body.items()}
    sent = one(kind, "POST", httpbin.url("/post"), **body).json()
    assert (sent["form"], sent["data"]) == (form, data)
    assert sent["headers"].get("Content-Type") == content_type
    if body.get("json"):
        assert sent["json"] == body["json"]


def test_multipart_files_streamed_from_file_objects(httpbin, kind, tmp_path):
    big = tmp_path / "big.bin"
    big.write_bytes(pattern(3 << 20))
    with open(big, "rb") as f:
        typed = ("notes.txt", io.BytesIO(b"notes"), "text/x-notes", {"X-Part": "p"})
        files = {"big": f, "raw": b"bytes part", "typed": typed}
        r = one(kind, "POST", httpbin.url("/post"), data={"field": "v", "n": 3}, files=files)
    sent = r.json()
    assert sent["form"] == {"field": "v", "n": "3"}
    assert sent["files"]["raw"] == "bytes part" and sent["files"]["typed"] == "notes"
    assert len(sent["files"]["big"]) > 3 << 20  # base64 of binary data
    assert sent["headers"]["Content-Type"].startswith("multipart/form-data; boundary=")


def test_cookies_set_by_responses(httpbin, kind):
    urls = [httpbin.url("/cookies/set?a=1&b=2"), httpbin.url("/cookies")]
    urls.append(httpbin.other_url("/cookies"))
    first, again, elsewhere = run_requests(kind, [("GET", url, {}) for url in urls])
    assert [h.status_code for h in first.history] == [302]
    assert first.history[0].cookies == {"a": "1", "b": "2"}
    assert again.json()["cookies"] == {"a": "1", "b": "2"}
    # Cookies belong to the host that set them.
    assert elsewhere.json()["cookies"] == {}


def test_the_callers_changes_to_the_cookie_jar_until_the_client_closes(httpbin):
    with tolvex.Client() as client:
        client.get(httpbin.url("/cookies/set?a=1&b=2"))
        assert dict(client.cookies) == {"a": "1", "b": "2"}
        client.cookies["own"] = "x"
        del client.cookies["a"]
        assert client.get(httpbin.url("/cookies")).json()["cookies"] == {"b": "2", "own": "x"}
        client.cookies.clear()
        assert client.get(httpbin.url("/cookies")).json()["cookies"] == {}
    # A closed client refuses requests, and closes again without harm.
    with pytest.raises(RuntimeError):
        client.get(httpbin.url("/cookies"))
    client.close()


@pytest.mark.parametrize(
    "auth, path, scheme",
    [
        (("user", "pass"), "/basic-auth/user/pass", "Basic"),
        (tolvex.BasicAuth("user", "pass"), "/basic-auth/user/pass", "Basic"),
        (tolvex.DigestAuth("user", "pass"), "/digest-auth/auth/user/pass", "Digest"),
        (tolvex.BearerAuth("t0ken"), "/bearer", "Bearer"),
    ],
)
def test_auth(httpbin, kind, auth, path, scheme):
    r = one(kind, "GET", httpbin.url(path), auth=auth)
    assert r.status_code == 200
    assert r.request.headers["authorization"].startswith(scheme + " ")
    assert one(kind, "GET", httpbin.url(path)).status_code == 401


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_redirect_method_and_body_rules(httpbin, kind, status):
    # 307 and 308 repeat the POST and its body; the others follow with a GET.
    method, body = ("POST", "payload") if status >= 307 else ("GET", "")
    target = "/redirect-to?url=/anything&status_code=%d" % status
    r = one(kind, "POST", httpbin.url(target), content=b"payload")
    sent = r.json()
    assert (sent["method"], sent["data"]) == (method, body)
    assert (r.request.method, r.url) == (method, httpbin.url("/anything"))
    assert [(h.status_code, h.url) for h in r.history] == [(status, httpbin.url(target))]
    # 303 turns any method but HEAD into GET; 301 and 302 only POST.
    put = one(kind, "PUT", httpbin.url(target)).json()["method"]
    assert put == ("GET" if status == 303 else "PUT")


def test_redirect_chains_limits_and_not_following(httpbin, servers, kind):
    r = one(kind, "GET", httpbin.url("/relative-redirect/3"))
    assert [h.status_code for h in r.history] == [302, 302, 302]
    hops = [httpbin.url("/relative-redirect/%d" % n) for n in (3, 2, 1)]
    assert [h.url for h in r.history] == hops
    assert r.url == httpbin.url("/get") and r.history[1].request.url == r.history[1].url
    for not_following in ({"follow_redirects": False}, {"allow_redirects": False}):
        r = one(kind, "GET", httpbin.url("/redirect/2"), **not_following)
        assert (r.status_code, r.is_redirect, r.history) == (302, True, [])
    # A redirect loop ends after max_redirects.
    with pytest.raises(tolvex.TooManyRedirects) as e:
        one(kind, "GET", servers["loop"].url("/"), {"max_redirects": 5})
    assert isinstance(e.value, tolvex.error) and e.value.code == tolvex.E_TOO_MANY_REDIRECTS
    assert len(servers["loop"].requests) == 6


@pytest.mark.parametrize("coding", ["gzip", "deflate", "brotli"])
def test_bodies_arrive_decoded(httpbin, kind, coding):
    r = one(kind, "GET", httpbin.url("/" + coding))
    assert r.json()[{"gzip": "gzipped", "deflate": "deflated"}.get(coding, coding)] is True
    assert r.headers["content-encoding"] in ("gzip", "deflate", "br")
    assert "br" in r.json()["headers"]["Accept-Encoding"]


def test_status_errors(httpbin, kind):
    r = one(kind, "GET", httpbin.url("/status/418"))
    assert (r.is_client_error, r.is_error, r.is_success, r.ok) == (True, True, False, False)
    with pytest.raises(tolvex.HTTPStatusError) as e:
        r.raise_for_status()
    assert e.value.response is r and e.value.request.url == r.url
    assert "418" in str(e.value)
    r = one(kind, "GET", httpbin.url("/status/503"))
    assert r.is_server_error and r.reason == r.reason_phrase == "SERVICE UNAVAILABLE"
    assert one(kind, "GET", httpbin.url("/status/204")).raise_for_status().status_code == 204


def test_response_text_encoding_and_lines(httpbin, kind):
    text = "\u2200x \u00e9"
    r = one(kind, "GET", httpbin.url("/base64/" + base64.urlsafe_b64encode(text.encode()).decode()))
    assert r.encoding == "utf-8" and r.text == text
    latin = "/response-headers?Content-Type=text/plain;%20charset=latin-1"
    r = one(kind, "GET", httpbin.url(latin))
    assert r.encoding == "iso8859-1"
    r.encoding = "ascii"
    assert r.encoding == "ascii"
    assert "text/plain; charset=latin-1" in r.headers.get_list("content-type")


# --- streaming ----------------------------------------------------------------------------------


def test_streams_sync_and_async(httpbin):
    with tolvex.Client() as client:
        with client.stream("GET", httpbin.url("/stream/20")) as r:
            assert r.status_code == 200 and r.headers["content-type"] == "application/json"
            lines = list(r.iter_lines())
        # The head that answers a digest challenge is not the response's.
        digest = httpbin.url("/digest-auth/auth/u/p")
        with client.stream("GET", digest, auth=tolvex.DigestAuth("u", "p")) as r:
            assert (r.status_code, r.json()["user"]) == (200, "u")
            assert [h.status_code for h in r.history] == [401]
        with client.stream("GET", httpbin.url("/bytes/50000?seed=1")) as r:
            chunks = list(r.iter_bytes(chunk_size=4096))
            with pytest.raises(RuntimeError):
                r.read()
    assert [json.loads(line)["id"] for line in lines] == list(range(20))
    assert [len(c) for c in chunks[:-1]] == [4096] * 12 and len(b"".join(chunks)) == 50000

    async def main():
        async with tolvex.AsyncClient() as client:
            async with client.stream("GET", httpbin.url("/stream/20")) as r:
                lines = [line async for line in r.aiter_lines()]
            async with client.stream("GET", httpbin.url("/redirect/2")) as r:
                body = await r.aread()
                assert [h.status_code for h in r.history] == [302, 302]
            return lines, json.loads(body)

    alines, body = asyncio.run(main())
    assert alines == lines and body["url"] == httpbin.url("/get")
    with tolvex.stream("GET", httpbin.url("/bytes/100")) as r:
        assert len(r.content) == 100


@pytest.mark.no_refleak_check(reason="streams a gigabyte")
@pytest.mark.parametrize("kind", ["sync", "async"])
def test_gigabyte_stream_to_a_slow_reader_in_bounded_memory(server, kind):
    size = 1 << 30
    url = server.url("/generate/%d" % size)
    state = [0, 0]  # bytes and chunks received

    def peak_rss():
        with open("/proc/self/status") as f:
            return int(dict(line.split(":", 1) for line in f)["VmHWM"].split()[0]) * 1024

    def falls_behind(chunk):  # now and then, the reader falls behind the server
        state[0], state[1] = state[0] + len(chunk), state[1] + 1
        return state[1] % 2048 == 0

    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the high-water mark starts again from the current size
    before = peak_rss()
    if kind == "sync":
        with tolvex.Client() as client, client.stream("GET", url) as r:
            for chunk in r.iter_bytes():
                if falls_behind(chunk):
                    time.sleep(0.1)
    else:

        async def main():
            async with tolvex.AsyncClient() as client:
                async with client.stream("GET", url) as r:
                    async for chunk in r.aiter_bytes():
                        if falls_behind(chunk):
                            # The transfer goes on meanwhile, until paused.
                            await asyncio.sleep(0.1)

        asyncio.run(main())
    growth = peak_rss() - before
    assert state[0] == size
    # The address sanitizer keeps freed memory in quarantine (256 MiB).
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert growth < 32 << 20


def test_an_open_stream_holds_its_connection_and_an_abandoned_one_frees_it(server, kind):
    # One connection: a request waits for it up to the pool timeout while a
    # stream holds it; leaving the stream unread stops its transfer at once.
    url = server.url("/generate/%d" % (256 << 20))
    hello = server.url("/hello")
    limits = {"limits": tolvex.Limits(max_connections=1), "timeout": tolvex.Timeout(5.0, pool=0.3)}
    if kind == "sync":
        with tolvex.Client(**limits) as client:
            with client.stream("GET", url) as r:
                chunks = r.iter_bytes()
                first = next(chunks)
                with pytest.raises(tolvex.PoolTimeout):
                    client.get(hello)
            text = client.get(hello).text
    else:

        async def main():
            async with tolvex.AsyncClient(**limits) as client:
                async with client.stream("GET", url) as r:
                    chunks = r.aiter_bytes()
                    first = await anext(chunks)
                    with pytest.raises(tolvex.PoolTimeout):
                        await client.get(hello)
                return first, (await client.get(hello)).text

        first, text = asyncio.run(main())
    assert text == "Hello, world!"
    assert first and pattern(len(first)) == first


# --- faults -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "where, error, code",
    [
        ("refused", tolvex.ConnectError, tolvex.E_COULDNT_CONNECT),
        ("full backlog", tolvex.ConnectTimeout, tolvex.E_OPERATION_TIMEDOUT),
        ("/stall", tolvex.ReadTimeout, tolvex.E_OPERATION_TIMEDOUT),
        # On a connection a first request opened: still not a connect timeout.
        ("/ok/10 then /stall", tolvex.ReadTimeout, tolvex.E_OPERATION_TIMEDOUT),
        ("/reset", tolvex.ReadError, None),
        ("/short-head", tolvex.ReadError, None),
        ("/chunked-cut", tolvex.ReadError, None),
        ("weird", tolvex.ProtocolError, None),
    ],
)
def test_transport_failures_map_to_the_tree(
    kind, servers, closed_port, full_backlog, where, error, code
):
    url = {
        "refused": "http://127.0.0.1:%d/" % closed_port,
        "full backlog": "http://127.0.0.1:%d/" % full_backlog,
        "weird": servers["weird"].url(),
    }.get(where) or servers["faulty"].url(where.split()[-1])
    paths = where.split()[:-2] + [None]
    timeout = {"timeout": (0.3, 1.0)}
    calls = [("GET", servers["faulty"].url(path) if path else url, timeout) for path in paths]
    with pytest.raises(error) as e:
        run_requests(kind, calls)
    assert isinstance(e.value, tolvex.error) and e.value.args[0] == e.value.code
    assert code is None or e.value.code == code
    assert str(e.value) == e.value.args[1] and e.value.request.url == url


def test_retry_after_then_success(server, kind):
    server.busy.clear()
    retry = {"retries": tolvex.Retry(2, backoff_factor=0.01)}
    r = one(kind, "GET", server.url("/busy/%s?times=1&after=1" % kind), retry)
    assert (r.status_code, r.text) == (200, "ready")
    assert [(h.status_code, h.headers["retry-after"]) for h in r.history] == [(503, "1")]
    # A POST is not retried on a status, and an int retries connections only.
    assert one(kind, "POST", server.url("/busy/%s-post?times=1" % kind), retry).status_code == 503
    r = one(kind, "GET", server.url("/busy/%s-int?times=1" % kind), {"retries": 3})
    assert r.status_code == 503


def test_connection_failures_are_retried_with_backoff(kind, closed_port, monkeypatch):
    waits = []
    monkeypatch.setattr("time.sleep", waits.append)

    async def no_wait(seconds):
        waits.append(seconds)

    monkeypatch.setattr("asyncio.sleep", no_wait)
    with pytest.raises(tolvex.ConnectError):
        one(kind, "POST", "http://127.0.0.1:%d/" % closed_port, {"retries": 3}, content=b"x")
    assert waits == [0.5, 1.0, 2.0]


def test_an_iterable_bodys_exception_is_the_cause(server, kind):
    def body():
        yield b"first part, "
        raise KeyError("from the body")

    with pytest.raises(tolvex.WriteError) as e:
        one(kind, "POST", server.url("/echo"), content=body())
    assert isinstance(e.value.__cause__, KeyError)
    r = one(kind, "PUT", server.url("/echo"), content=iter([b"chunk ", b"by ", b"chunk"]))
    assert r.content == b"chunk by chunk"
    assert server.requests[-1].header("Transfer-Encoding") == "chunked"


# --- security defaults --------------------------------------------------------------------------


def test_credentials_and_cookies_stay_on_their_host(httpbin, kind):
    secret = {"headers": {"Authorization": "Secret s"}, "cookies": {"c": "1"}}
    url = httpbin.url("/redirect-to?url=" + httpbin.other_url("/headers"))
    r = one(kind, "GET", url, auth=("u", "p"), **secret)
    sent = r.json()["headers"]
    assert "Authorization" not in sent and "Cookie" not in sent
    assert "authorization" not in r.request.headers and "cookie" not in r.request.headers
    same = one(kind, "GET", httpbin.url("/redirect-to?url=/headers"), **secret).json()["headers"]
    assert (same["Cookie"], same["Authorization"]) == ("c=1", "Secret s")


def test_https_to_http_redirect_drops_credentials(kind, server, servers, tls_files):
    target = server.url("/headers")
    url = servers["tls"].url("/redirect?to=" + target)
    r = one(kind, "GET", url, {"verify": tls_files.ca}, auth=("u", "p"))
    assert r.url == target and r.history[0].url == url
    assert "Authorization" not in dict(r.json()["headers"])
    with pytest.raises(tolvex.TLSError) as e:
        one(kind, "GET", url)
    assert e.value.code == tolvex.E_PEER_FAILED_VERIFICATION
    assert one(kind, "GET", servers["tls"].url("/hello"), {"verify": False}).text == "Hello, world!"


@pytest.mark.parametrize(
    "url",
    [
        "file:///etc/passwd",
        "gopher://127.0.0.1/",
        "ftp://127.0.0.1/",
        "127.0.0.1/x",
        "http://",
        "http://127.0.0.1:99999/",
        "http://exa mple\n.org/",
        # A redirect, too, can reach only http and https.
        "/redirect-to?url=file:///etc/passwd",
        "/redirect-to?url=ftp://127.0.0.1/x",
        "/redirect-to?url=gopher://127.0.0.1/",
    ],
)
def test_urls_that_are_refused(httpbin, url, kind):
    with pytest.raises(tolvex.InvalidURL) as e:
        one(kind, "GET", httpbin.url(url) if url.startswith("/") else url)
    assert isinstance(e.value, ValueError)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"headers": {"X-A": "b\r\nX-Injected: 1"}}, ValueError),
        ({"headers": {"X\nB": "v"}}, ValueError),
        ({"headers": {"": "v"}}, ValueError),
        ({"cookies": {"a": "b;c"}}, ValueError),
        ({"json": {"not": object()}}, TypeError),
        ({"json": float("nan")}, ValueError),
        ({"files": {"f": 42}}, TypeError),
        ({"files": {"f": ("name",)}}, TypeError),
        ({"content": 3.5}, TypeError),
        ({"content": b"a", "json": {}}, TypeError),
        ({"timeout": -1}, ValueError),
        ({"timeout": (1.0, float("inf"))}, ValueError),
        ({"params": {"a": object()}}, TypeError),
        ({"auth": ("only user",)}, TypeError),
        # Its answer has no body, which libcurl would wait for.
        ({"method": "HEAD", "content": b"x"}, ValueError),
        ({"method": "HEAD", "data": iter([b"x"])}, ValueError),
    ],
    ids=lambda v: "" if isinstance(v, type) else repr(sorted(v))[:30],
)
def test_bad_input_is_refused_before_anything_is_sent(server, kind, kwargs, error):
    kwargs = dict(kwargs)
    with pytest.raises(error):
        one(kind, kwargs.pop("method", "POST"), server.url("/echo"), **kwargs)
    assert server.requests == []


# --- connections and threads --------------------------------------------------------------------


def test_connections_are_reused(server, kind):
    before = server.connections
    calls = [("GET", server.url("/hello"), {}), ("GET", server.url("/bytes/10"), {})]
    calls.insert(1, ("POST", server.url("/echo"), {"content": b"x"}))
    assert [r.status_code for r in run_requests(kind, calls)] == [200, 200, 200]
    assert server.connections - before == 1


def test_threads_share_a_client(server):
    before = server.connections

    def work(client, n):
        for size in range(n * 100, n * 100 + 40):
            assert client.get(server.url("/bytes/%d" % size)).content == pattern(size)
            client.cookies["t%d" % n] = str(size)
        return n

    with tolvex.Client(headers={"X-Shared": "1"}) as client, ThreadPoolExecutor(6) as pool:
        # map() gives each thread's result in turn, or raises what it raised.
        assert list(pool.map(work, [client] * 6, range(6))) == list(range(6))
    assert server.connections - before <= 6


def test_async_requests_run_concurrently(server):
    async def main():
        async with tolvex.AsyncClient() as client:
            slow = server.url("/slow?delay=0.5")
            return await asyncio.gather(*(client.get(slow) for _ in range(10)))

    start = time.monotonic()
    assert [r.text for r in asyncio.run(main())] == ["slow"] * 10
    # Run one after another, they would take 5 s.
    assert time.monotonic() - start < 4.0


# --- HTTP/2, HTTP/3 and proxies ----------------------------------------------------------------


@pytest.mark.parametrize(
    "version, seen", [(None, "HTTP/2"), ("1.1", "HTTP/1.1"), ("2", "HTTP/2"), ("3only", "HTTP/3")]
)
def test_http_versions(h2s, tls_files, kind, version, seen):
    r = one(kind, "GET", h2s.url("/version"), {"verify": tls_files.ca, "http_version": version})
    assert r.http_version == seen and r.text == seen.split("/")[1]
    if seen != "HTTP/1.1":
        assert r.reason_phrase == ""


def test_client_arguments_are_checked():
    bad = {"http_version": "4", "max_redirects": -1, "proxy": "ftp://p:1", "retries": "3"}
    bad.update(verify="/no/such/ca.pem", limits=5)
    for name, value in bad.items():
        with pytest.raises((ValueError, TypeError)):
            tolvex.Client(**{name: value})


def test_proxies_and_their_environment(server, servers, monkeypatch):
    proxy = servers["proxy"]
    assert tolvex.get("http://tolvex.invalid/x", proxy=proxy.url()).text == "proxied"
    assert proxy.requests[-1].startswith(b"GET http://tolvex.invalid/x HTTP/1.1\r\n")
    monkeypatch.setenv("http_proxy", proxy.url())
    monkeypatch.delenv("no_proxy", raising=False)
    monkeypatch.delenv("NO_PROXY", raising=False)
    assert tolvex.get(server.url("/hello")).text == "proxied"
    assert tolvex.get(server.url("/hello"), trust_env=False).text == "Hello, world!"
    socks = "socks5h://127.0.0.1:%d" % servers["socks"].port
    with pytest.raises(tolvex.ProxyError):
        tolvex.get("http://tolvex.invalid/", trust_env=False, proxy=socks)


# --- values -----------------------------------------------------------------------------------


def test_headers_mapping():
    h = tolvex.Headers([("Set-Cookie", "a=1"), ("X-One", "1"), ("set-cookie", "b=2")])
    assert h["SET-COOKIE"] == "a=1, b=2" and h.get_list("set-cookie") == ["a=1", "b=2"]
    assert list(h) == ["Set-Cookie", "X-One"] and len(h) == 2 and "x-one" in h
    assert h.get("missing") is None and h.get("missing", "d") == "d"
    h["x-one"] = "one"
    del h["Set-Cookie"]
    assert h.multi_items() == [("x-one", "one")] and h == {"X-One": "one"}
    with pytest.raises(KeyError):
        del h["nope"]


def test_configuration_values():
    t = tolvex.Timeout(5.0, connect=1.0)
    assert (t.connect, t.read, t.write, t.pool) == (1.0, 5.0, 5.0, 5.0)
    assert tolvex.Timeout(None).read is None and tolvex.Timeout(2) == tolvex.Timeout(2.0)
    d = tolvex.DEFAULT_TIMEOUT
    assert (d.connect, d.read, d.write, d.pool) == (10.0, 30.0, 30.0, 10.0)
    assert tolvex.DEFAULT_LIMITS == tolvex.Limits(max_connections=100, max_keepalive_connections=20)
    retry = tolvex.Retry(5, backoff_factor=1.0, backoff_max=3.0)
    assert [retry.backoff(n) for n in (1, 2, 3)] == [1.0, 2.0, 3.0]
    assert retry.backoff(1, retry_after=2) == 2 and retry.backoff(1, retry_after=60) == 3.0
    with pytest.raises(ValueError):
        tolvex.Limits(max_connections=0)
    with pytest.raises(ValueError):
        tolvex.BearerAuth("a\nb")


def test_every_error_derives_from_HTTPError():
    names = (
        "RequestError TransportError TimeoutException ConnectTimeout ReadTimeout WriteTimeout "
        "PoolTimeout NetworkError ConnectError ReadError WriteError ProxyError ProtocolError "
        "TLSError TooManyRedirects DecodingError HTTPStatusError InvalidURL"
    ).split()
    assert all(issubclass(getattr(tolvex, n), tolvex.HTTPError) for n in names)
    assert issubclass(tolvex.InvalidURL, ValueError) and issubclass(
        tolvex.ReadTimeout, TimeoutError
    )
    for base in (ConnectionError, tolvex.NetworkError, tolvex.TransportError):
        assert issubclass(tolvex.ConnectError, base)
    assert issubclass(tolvex.ConnectTimeout, TimeoutError)
    e = tolvex.ReadTimeout(28, "Operation too slow")
    assert e.args == (28, "Operation too slow") and str(e) == "Operation too slow"
    assert isinstance(e, tolvex.error) and e.code == 28 and e.request is None


def test_module_functions_take_client_arguments(httpbin, tls_files, h2s):
    assert tolvex.head(httpbin.url("/get")).content == b""
    assert tolvex.post(httpbin.url("/post"), json=[1]).json()["json"] == [1]
    for method in ("PUT", "PATCH", "DELETE"):
        r = getattr(tolvex, method.lower())(httpbin.url("/anything"))
        assert r.json()["method"] == method
    assert tolvex.options(httpbin.url("/get")).status_code == 200
    r = tolvex.request("GET", h2s.url("/version"), verify=tls_files.ca, http_version="1.1")
    assert r.text == "1.1"
    with pytest.raises(tolvex.TooManyRedirects):
        tolvex.get(httpbin.url("/redirect/3"), max_redirects=1)
