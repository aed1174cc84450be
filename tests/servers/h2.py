"""HTTP/2 and HTTP/3 servers on loopback.

`Hypercorn` runs the ASGI application `app` with hypercorn: HTTP/1.1 and
HTTP/2 on a TCP port, with TLS and ALPN or in cleartext with prior
knowledge, and with TLS also HTTP/3 over QUIC (aioquic) on the same port
number in UDP.  `Nghttpd` runs nghttp2's own server on a directory, with
server push configured.  `ResetServer` speaks cleartext HTTP/2 with the h2
library and resets every stream it is asked for after part of a body (or
answers it whole), counting the PINGs it receives.

Endpoints of the application:
  /bytes/N     N bytes of the pattern of servers.http
  /echo        the request body, as received
  /version     the HTTP version the server saw ("2", "3", "1.1")
Every response carries the client's port in the header X-Client-Port.
"""

import os
import socket
import socketserver
import subprocess
import sys
import time
import urllib.parse

import h2.config
import h2.connection
import h2.errors
import h2.events
from servers.http import pattern
from servers.tcp import TCPServer


def free_port(udp_too=False):
    """A loopback port free for TCP (and UDP, when asked) at this moment."""
    for _ in range(100):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
            if not udp_too:
                return port
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                try:
                    u.bind(("127.0.0.1", port))
                except OSError:
                    continue
                return port
    raise RuntimeError("no free port")


def wait_listening(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


async def read_body(receive):
    body = bytearray()
    while True:
        message = await receive()
        body += message.get("body", b"")
        if not message.get("more_body"):
            return bytes(body)


async def app(scope, receive, send):
    """The ASGI application that `Hypercorn` serves."""
    if scope["type"] != "http":
        return
    body = await read_body(receive)
    parts = [p for p in urllib.parse.urlsplit(scope["path"]).path.split("/") if p]
    name = parts[0] if parts else ""
    status = 200
    if name == "bytes":
        response = pattern(int(parts[1]))
    elif name == "echo":
        response = body
    elif name == "version":
        response = scope["http_version"].encode()
    else:
        status, response = 404, b"not found"
    headers = [
        (b"content-length", b"%d" % len(response)),
        (b"x-client-port", b"%d" % scope["client"][1]),
    ]
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": response})


class Hypercorn:
    """hypercorn serving `app` in a process of its own (so that the leak
    check of the tests sees none of the server's objects): with `files` (the
    `tls_files` fixture) over TLS with ALPN and over QUIC on the same port
    number, otherwise in cleartext."""

    def __init__(self, files=None):
        self.files = files
        self.port = free_port(udp_too=files is not None)
        self.process = None

    def url(self, path="/"):
        return "%s://127.0.0.1:%d%s" % ("https" if self.files else "http", self.port, path)

    def start(self):
        address = "127.0.0.1:%d" % self.port
        cmd = [
            sys.executable,
            "-m",
            "hypercorn",
            "--workers",
            "0",
            "--bind",
            address,
            "--log-level",
            "ERROR",
        ]
        if self.files:
            cmd += [
                "--quic-bind",
                address,
                "--certfile",
                self.files.cert,
                "--keyfile",
                self.files.key,
            ]
        cmd.append("servers.h2:app")
        self.process = subprocess.Popen(
            cmd, cwd=os.path.dirname(os.path.dirname(__file__)), stdout=subprocess.DEVNULL
        )
        wait_listening(self.port)
        return self

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class Nghttpd:
    """nghttpd serving `docroot`, with `push` mapping a path to the paths it
    pushes along, and request bodies echoed back."""

    def __init__(self, docroot, files=None, push=None):
        self.docroot = docroot
        self.files = files
        self.push = push or {}
        self.port = free_port()
        self.process = None

    def url(self, path="/"):
        return "%s://127.0.0.1:%d%s" % ("https" if self.files else "http", self.port, path)

    def start(self):
        cmd = ["nghttpd", "--address=127.0.0.1", "-d", str(self.docroot), "--echo-upload"]
        for path, pushed in self.push.items():
            cmd.append("--push=%s=%s" % (path, ",".join(pushed)))
        if self.files:
            cmd += [str(self.port), self.files.key, self.files.cert]
        else:
            cmd += ["--no-tls", str(self.port)]
        self.process = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_listening(self.port)
        return self

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class ResetHandler(socketserver.BaseRequestHandler):
    def handle(self):
        config = h2.config.H2Configuration(client_side=False)
        session = h2.connection.H2Connection(config=config)
        session.initiate_connection()
        conn = self.request
        try:
            conn.sendall(session.data_to_send())
            while data := conn.recv(65536):
                for event in session.receive_data(data):
                    if isinstance(event, h2.events.RequestReceived):
                        self.answer(session, event.stream_id)
                    elif isinstance(event, h2.events.PingReceived):
                        self.server.pings += 1
                conn.sendall(session.data_to_send())
        except ConnectionError:
            pass

    def answer(self, session, stream):
        sent = self.server.sent
        if self.server.error_code is None:
            session.send_headers(stream, [(":status", "200"), ("content-length", b"%d" % sent)])
            session.send_data(stream, b"x" * sent, end_stream=True)
            return
        session.send_headers(stream, [(":status", "200"), ("content-length", b"%d" % (sent * 10))])
        session.send_data(stream, b"x" * sent)
        session.reset_stream(stream, self.server.error_code)


class ResetServer(TCPServer):
    """Cleartext HTTP/2 with prior knowledge: every request gets its headers
    and `sent` bytes of a longer body, then its stream is reset with
    `error_code` (with None, the body is whole).  The PINGs received are
    counted in `pings`."""

    def __init__(self, error_code=h2.errors.ErrorCodes.INTERNAL_ERROR, sent=10):
        super().__init__(ResetHandler)
        self.error_code = error_code
        self.sent = sent
        self.pings = 0
