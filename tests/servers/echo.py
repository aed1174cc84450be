"""A TCP echo server on loopback, for connect-only transfers.

Every connection gets back each block it sends, except a block that is
exactly b"QUIT", on which the server closes the connection.
"""

import socketserver

from servers.tcp import TCPServer


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


class EchoServer(TCPServer):
    def __init__(self, address=("127.0.0.1", 0)):
        super().__init__(EchoHandler, address)

    def url(self, path="/"):
        # Any scheme libcurl connects to over plain TCP does for CONNECT_ONLY.
        return super().url(path)
