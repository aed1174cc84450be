"""A threaded HTTP/1.1 server on loopback with a few fixed endpoints.

Endpoints (any method unless noted):
  /hello                 fixed body "Hello, world!"
  /bytes/N               N bytes of a repeating pattern
  /generate/N            the same N bytes, generated block by block as they are
                         sent (for bodies too large to hold in memory)
  /chunked?count=N&size=S  N chunks of S bytes, chunked transfer encoding
  /echo                  the request body, as received
  /status/CODE           that status code with a short body
  /headers               the request line and headers as JSON
  /slow?delay=S          waits S seconds, then a short body
  /drip?count=N&delay=S  N chunks of "x", S seconds apart
  /close                 a body ended by closing the connection
  /cookies?NAME=VALUE... sets each query pair as a cookie; the body is the
                         request's Cookie header (empty without one)
  /redirect?to=URL&status=S  a redirect (302 by default) to URL
  /busy/KEY?times=N&after=S  503 with Retry-After: S for the first N
                         requests of KEY, then 200 with the body "ready"

Every request is recorded (method, path, headers, body) in `requests`;
`connections` counts the connections accepted.  The helpers at the top run
the tests' transfers against it and other servers.
"""

import json
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

import tolvex
from servers.tcp import InThread

PATTERN = bytes(range(256))
GENERATED_BLOCK = 1 << 20


def pattern(n):
    whole, rest = divmod(n, len(PATTERN))
    return PATTERN * whole + PATTERN[:rest]


def new_curl(url):
    """A Curl for `url` that gathers the body it receives in its `chunks`."""
    c = tolvex.Curl()
    c.setopt(tolvex.URL, url)
    c.chunks = []
    c.setopt(tolvex.WRITEFUNCTION, c.chunks.append)
    return c


def body(c):
    return b"".join(c.chunks)


def transfer(url, c=None, **options):
    """What one transfer of `url`, with the options named in `options` set,
    ends with: the body, the first argument of the tolvex.error it raised
    (libcurl's code, or the text of an error without one), or the class of
    any other exception.  It runs on `c` when given, else on a Curl of its
    own."""
    if c is None:
        with tolvex.Curl() as own:
            return transfer(url, own, **options)
    c.setopt(tolvex.URL, url)
    for name, value in options.items():
        c.setopt(getattr(tolvex, name), value)
    try:
        return c.perform_rb()
    except tolvex.error as e:
        return e.args[0]
    except Exception as e:
        return type(e)


def perform_error(c):
    """The code of the tolvex.error that c.perform() raises."""
    with pytest.raises(tolvex.error) as info:
        c.perform()
    return info.value.args[0]


class RecordedRequest:
    def __init__(self, method, path, headers, body):
        self.method = method
        self.path = path
        self.headers = headers
        self.body = body

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "tolvex-test"
    # The head and the body go out in two writes; with Nagle's algorithm the
    # body would wait for the client's delayed acknowledgement of the head,
    # some 40 ms on every request of a kept-alive connection.
    disable_nagle_algorithm = True

    def log_message(self, format, *args):
        pass

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            chunks = []
            while True:
                line = self.rfile.readline().strip()
                size = int(line.split(b";")[0], 16)
                if size == 0:
                    # trailers, up to the empty line
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("Content-Length", 0) or 0)
        if self.headers.get("Expect", "").lower() == "100-continue":
            self.send_response_only(100)
            self.end_headers()
        return self.rfile.read(length) if length else b""

    def send_body(self, body, status=200, content_type="application/octet-stream", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for key, value in headers:
            self.send_header(key, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_generated(self, size):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.end_headers()
        # The block's length is a multiple of the pattern's, so every block
        # continues the pattern where the previous one ended.
        block = pattern(GENERATED_BLOCK)
        whole, rest = divmod(size, GENERATED_BLOCK)
        try:
            for _ in range(whole):
                self.wfile.write(block)
            self.wfile.write(block[:rest])
        except ConnectionError:
            # The client stopped reading on purpose (a cancelled transfer).
            self.close_connection = True

    def send_chunks(self, chunks, delay=0.0):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for chunk in chunks:
            if delay:
                time.sleep(delay)
            self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            self.wfile.flush()
        self.wfile.write(b"0\r\n\r\n")

    def handle_any(self):
        body = self.read_body()
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        self.server.requests.append(
            RecordedRequest(self.command, self.path, list(self.headers.items()), body)
        )
        parts = [p for p in url.path.split("/") if p]
        name = parts[0] if parts else ""
        if name == "hello":
            self.send_body(b"Hello, world!", content_type="text/plain")
        elif name == "bytes":
            self.send_body(pattern(int(parts[1])))
        elif name == "generate":
            self.send_generated(int(parts[1]))
        elif name == "chunked":
            count = int(query.get("count", 3))
            size = int(query.get("size", 10))
            self.send_chunks([pattern(size)] * count)
        elif name == "echo":
            self.send_body(body)
        elif name == "status":
            code = int(parts[1])
            self.send_body(b"status %d" % code, status=code, content_type="text/plain")
        elif name == "headers":
            info = {
                "method": self.command,
                "path": self.path,
                "headers": list(self.headers.items()),
            }
            self.send_body(json.dumps(info).encode(), content_type="application/json")
        elif name == "slow":
            time.sleep(float(query.get("delay", 1)))
            self.send_body(b"slow", content_type="text/plain")
        elif name == "drip":
            count = int(query.get("count", 5))
            self.send_chunks([b"x"] * count, delay=float(query.get("delay", 0.1)))
        elif name == "cookies":
            cookies = [("Set-Cookie", "%s=%s; Path=/" % pair) for pair in query.items()]
            self.send_body(
                self.headers.get("Cookie", "").encode(), content_type="text/plain", headers=cookies
            )
        elif name == "redirect":
            status = int(query.get("status", 302))
            self.send_body(b"", status=status, headers=[("Location", query["to"])])
        elif name == "busy":
            with self.server.lock:
                seen = self.server.busy[parts[1]] = self.server.busy.get(parts[1], 0) + 1
            if seen <= int(query.get("times", 1)):
                self.send_body(
                    b"busy",
                    status=503,
                    content_type="text/plain",
                    headers=[("Retry-After", query.get("after", "1"))],
                )
            else:
                self.send_body(b"ready", content_type="text/plain")
        elif name == "close":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(b"closed body")
            self.close_connection = True
        else:
            self.send_body(b"not found", status=404, content_type="text/plain")

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = handle_any


class Server(InThread, ThreadingHTTPServer):
    def __init__(self, address=("127.0.0.1", 0), handler=Handler):
        super().__init__(address, handler)
        self.requests = []
        self.connections = 0
        self.busy = {}
        self.lock = threading.Lock()

    def process_request(self, request, client_address):
        with self.lock:
            self.connections += 1
        super().process_request(request, client_address)
