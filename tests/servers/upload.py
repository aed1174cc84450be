"""The loopback HTTP server of servers.http with two endpoints for uploads.

  /trailers              answers with JSON: the request body (latin-1 text)
                         and the trailer lines of a chunked upload
  /redirect?to=PATH&code=N
                         reads the request body and redirects to PATH with
                         status N (307 by default), so a client has to send
                         the body again

The endpoints of servers.http answer as before.  Tests that abort transfers
make the server see connections reset in the middle of a request; this server
does not print those errors, so that the tests can check what callbacks print.
"""

import json
import urllib.parse

from servers.http import Handler, RecordedRequest, Server


class UploadHandler(Handler):
    def read_body(self):
        self.trailers = []
        if self.headers.get("Transfer-Encoding", "").lower() != "chunked":
            return super().read_body()
        chunks = []
        while True:
            line = self.rfile.readline()
            if not line:
                # the client gave up in the middle of the body
                return b"".join(chunks)
            size = int(line.strip().split(b";")[0], 16)
            if size == 0:
                while True:
                    line = self.rfile.readline()
                    if line in (b"\r\n", b"\n", b""):
                        return b"".join(chunks)
                    self.trailers.append(line.rstrip(b"\r\n").decode("latin-1"))
            chunks.append(self.rfile.read(size))
            self.rfile.readline()

    def handle_any(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path == "/trailers":
            body = self.read_body()
            self.record(body)
            info = {"body": body.decode("latin-1"), "trailers": self.trailers}
            self.send_body(json.dumps(info).encode(), content_type="application/json")
        elif url.path == "/redirect":
            body = self.read_body()
            self.record(body)
            code = int(query.get("code", 307))
            self.send_body(b"moved", status=code, headers=[("Location", query.get("to", "/echo"))])
        else:
            super().handle_any()

    def record(self, body):
        self.server.requests.append(
            RecordedRequest(self.command, self.path, list(self.headers.items()), body)
        )

    do_GET = do_POST = do_PUT = handle_any


class UploadServer(Server):
    def __init__(self, address=("127.0.0.1", 0)):
        super().__init__(address, UploadHandler)

    def handle_error(self, request, client_address):
        pass
