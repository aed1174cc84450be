"""A loopback HTTP/1.1 server that fails on purpose.

The request path chooses the fault:
  /ok/N            N bytes of the pattern of servers.http, keep-alive
  /reset           the head and part of the body, then a connection reset
  /short-head      part of the status line, then the connection closed
  /chunked-cut     a chunked body cut off inside a chunk
  /wrong-length    a Content-Length larger than the body sent, then closed
  /stall           the head, then nothing until the client gives up
  /flaky/N?p=P     like /ok/N, but a reset with probability P
"""

import random
import socket
import socketserver
import struct
import threading
import urllib.parse

from servers.http import pattern
from servers.tcp import TCPServer

HEAD = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n"


class FaultyHandler(socketserver.BaseRequestHandler):
    @staticmethod
    def reset(conn):
        # A zero linger time makes close() send a reset instead of a FIN.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()

    def respond(self, conn, path):
        """Answers one request; False when the connection is finished."""
        server = self.server
        url = urllib.parse.urlsplit(path)
        query = dict(urllib.parse.parse_qsl(url.query))
        parts = [p for p in url.path.split("/") if p] or [""]
        name = parts[0]
        if name == "flaky":
            with server.lock:
                failing = server.random.random() < float(query.get("p", 0.1))
            name = "reset" if failing else "ok"
        if name == "ok":
            body = pattern(int(parts[1]))
            conn.sendall(HEAD % len(body) + body)
            return True
        if name == "reset":
            conn.sendall(HEAD % 100000 + pattern(1000))
            self.reset(conn)
        elif name == "short-head":
            conn.sendall(b"HTTP/1.1 2")
        elif name == "chunked-cut":
            conn.sendall(
                b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                b"10\r\n0123456789abcdef\r\n10\r\n01234"
            )
        elif name == "wrong-length":
            conn.sendall(HEAD % 100 + b"x" * 50)
        elif name == "stall":
            conn.sendall(HEAD % 100)
            # Until the client gives up and closes its end.
            conn.settimeout(0.1)
            while not server.stopping.is_set():
                try:
                    if not conn.recv(65536):
                        break
                except TimeoutError:
                    continue
                except OSError:
                    break
        else:
            conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            return True
        return False

    def handle(self):
        conn, buffered = self.request, b""
        try:
            while True:
                while b"\r\n\r\n" not in buffered:
                    data = conn.recv(65536)
                    if not data:
                        return
                    buffered += data
                head, buffered = buffered.split(b"\r\n\r\n", 1)
                path = head.split(b"\r\n", 1)[0].split(b" ")[1].decode()
                if not self.respond(conn, path):
                    return
        except OSError:
            pass


class FaultyServer(TCPServer):
    def __init__(self, seed=1):
        super().__init__(FaultyHandler)
        self.random = random.Random(seed)
        self.lock = threading.Lock()
        self.stopping = threading.Event()

    def stop(self):
        self.stopping.set()
        super().stop()
