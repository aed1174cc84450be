"""The server of servers.upload with two endpoints that parse multipart
request bodies, as they arrive, with the standard library's email parser.

  /form      JSON: method, Content-Type and parts, each {"name", "filename",
             "type" (None without the header), "headers", "encoding", "size",
             "sha256", "data"} (data decoded, as latin-1 text, None from
             1 MiB on), or {"name", "type", "headers", "parts"} for a
             nested multipart

As a program (``python -m servers.multipart``) it prints its port and serves
until its standard input is closed.
"""

import email.parser
import email.policy
import hashlib
import json
import sys
import urllib.parse

from servers.http import Server
from servers.upload import UploadHandler, UploadServer


def describe(part):
    info = {
        "name": part.get_param("name", header="content-disposition"),
        "type": part.get_content_type() if "Content-Type" in part else None,
        "headers": [[key, str(value)] for key, value in part.items()],
    }
    if part.is_multipart():
        return info | {"parts": [describe(p) for p in part.iter_parts()]}
    data = part.get_payload(decode=True)
    return info | {
        "filename": part.get_filename(),
        "encoding": part.get("Content-Transfer-Encoding"),
        "size": len(data),
        "sha256": hashlib.sha256(data).hexdigest(),
        "data": data.decode("latin-1") if len(data) < 1 << 20 else None,
    }


class MultipartHandler(UploadHandler):
    def iter_body(self):
        # "100 Continue" at once, for chunked bodies too
        if self.headers.get("Expect", "").lower() == "100-continue":
            self.send_response_only(100)
            self.end_headers()
            self.wfile.flush()
        if self.headers.get("Transfer-Encoding", "").lower() != "chunked":
            left = int(self.headers.get("Content-Length", 0) or 0)
            while left > 0 and (chunk := self.rfile.read(min(left, 1 << 20))):
                left -= len(chunk)
                yield chunk
            return
        # a client gone in the middle reads as the last chunk
        while (size := int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)) > 0:
            yield self.rfile.read(size)
            self.rfile.readline()
        while self.rfile.readline() not in (b"\r\n", b"\n", b""):  # trailers
            pass

    def read_body(self):
        self.trailers = []
        return b"".join(self.iter_body())

    def handle_any(self):
        if urllib.parse.urlsplit(self.path).path != "/form":
            return super().handle_any()
        content_type = self.headers.get("Content-Type", "")
        parser = email.parser.BytesFeedParser(policy=email.policy.HTTP)
        parser.feed(b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n")
        for chunk in self.iter_body():
            parser.feed(chunk)
        message = parser.close()
        parts = [describe(p) for p in message.iter_parts()] if message.is_multipart() else []
        info = {"method": self.command, "content_type": content_type, "parts": parts}
        self.send_body(json.dumps(info).encode(), content_type="application/json")

    do_GET = do_POST = do_PUT = handle_any


class MultipartServer(UploadServer):
    def __init__(self, address=("127.0.0.1", 0)):
        Server.__init__(self, address, MultipartHandler)


if __name__ == "__main__":
    server = MultipartServer().start()
    print(server.port, flush=True)
    sys.stdin.read()
    server.stop()
