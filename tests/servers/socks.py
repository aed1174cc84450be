"""A SOCKS5 proxy on loopback that refuses every connection request: it
accepts the greeting without authentication, reads the CONNECT request and
answers it with the reply code `reply` (5: connection refused)."""

import socketserver

from servers.tcp import TCPServer


class RefusingHandler(socketserver.BaseRequestHandler):
    def read(self, n):
        data = b""
        while len(data) < n and (chunk := self.request.recv(n - len(data))):
            data += chunk
        return data

    def handle(self):
        self.read(self.read(2)[1])  # the methods offered
        self.request.sendall(bytes([5, 0]))
        kind = self.read(4)[3]
        self.read({1: 4, 4: 16}.get(kind) or self.read(1)[0])  # the address
        self.read(2)  # the port
        self.request.sendall(bytes([5, self.server.reply, 0, 1, 0, 0, 0, 0, 0, 0]))


class RefusingSocks5(TCPServer):
    def __init__(self, reply=5):
        super().__init__(RefusingHandler)
        self.reply = reply

    def proxy(self):
        return "socks5://127.0.0.1:%d" % self.port
