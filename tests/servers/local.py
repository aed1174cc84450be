"""The HTTP server of servers.http on the IPv6 loopback address and on a
unix socket."""

import os
import socket
import socketserver

from servers.http import Handler, Server
from servers.tcp import InThread


class Server6(Server):
    address_family = socket.AF_INET6

    def __init__(self, address=("::1", 0), handler=Handler):
        super().__init__(address, handler)

    def url(self, path="/"):
        return "http://[::1]:%d%s" % (self.port, path)


def ipv6_works():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class UnixHandler(Handler):
    # TCP_NODELAY has no meaning on a unix socket.
    disable_nagle_algorithm = False


class UnixServer(InThread, socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    def __init__(self, path, handler=UnixHandler):
        super().__init__(str(path), handler)
        self.path = str(path)
        self.requests = []

    def get_request(self):
        # The handler logs and reads a (host, port) client address.
        sock, _ = super().get_request()
        return sock, ("local", 0)

    def stop(self):
        super().stop()
        os.unlink(self.path)
