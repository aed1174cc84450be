"""The HTTP server of servers.http behind TLS.

The certificate is a trustme leaf certificate (`trustme.CA().issue_cert(...)`);
the server sends it with its whole chain.  The handshake runs in the
connection's own thread, on its first read, so a client that rejects the
certificate does not hold up the others.
"""

import ssl
import sys
import urllib.parse

from servers.http import Handler, Server


class TLSHandler(Handler):
    """Records in the server's `resumed`, for every request, whether its
    connection resumed an earlier TLS session."""

    def handle_any(self):
        self.server.resumed.append(self.connection.session_reused)
        super().handle_any()

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = handle_any


class TLSServer(Server):
    def __init__(self, certificate, address=("127.0.0.1", 0), handler=TLSHandler):
        super().__init__(address, handler)
        self.resumed = []
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        certificate.configure_cert(self.context)

    def get_request(self):
        sock, address = super().get_request()
        wrapped = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return wrapped, address

    def handle_error(self, request, client_address):
        # A client that refuses the certificate ends the handshake; that is
        # what some tests want, not a server fault.
        if isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError)):
            return
        super().handle_error(request, client_address)

    def url(self, path="/"):
        return "https://127.0.0.1:%d%s" % (self.port, path)


class STSHandler(Handler):
    """The endpoints of servers.http, and /sts?max-age=N[&subdomains=1],
    which answers with a Strict-Transport-Security header."""

    def handle_any(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path != "/sts":
            return super().handle_any()
        query = dict(urllib.parse.parse_qsl(url.query))
        value = "max-age=%s" % query.get("max-age", "3600")
        if query.get("subdomains"):
            value += "; includeSubDomains"
        self.read_body()
        self.send_body(
            b"sts", content_type="text/plain", headers=[("Strict-Transport-Security", value)]
        )

    do_GET = do_POST = do_HEAD = handle_any
