"""A TCP echo server on loopback, for connect-only transfers.

Every connection gets back each block it sends, except a block that is
exactly b"QUIT", on which the server closes the connection.
"""

import socket
import socketserver
import threading


class EchoHandler(socketserver.BaseRequestHandler):
    def handle(self):
        while True:
            try:
                data = self.request.recv(65536)
            except ConnectionError:
                return
            if not data or data == b"QUIT":
                return
            self.request.sendall(data)


class EchoServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address=("127.0.0.1", 0)):
        super().__init__(address, EchoHandler)
        self.thread = None

    @property
    def port(self):
        return self.server_address[1]

    def url(self):
        # Any scheme libcurl connects to over plain TCP does for CONNECT_ONLY.
        return "http://127.0.0.1:%d/" % self.port

    def start(self):
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.shutdown()
        self.server_close()
        self.thread.join()
