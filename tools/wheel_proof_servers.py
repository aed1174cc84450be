"""The loopback servers of the wheels' proof (`./dev proof`), run from the
checkout with the test suite's servers: HTTPS and WebSocket over TLS with a
certificate of a new trustme authority, and the multipart form server.

Prints one line of JSON, then serves until its standard input is closed:

  {"https": URL, "wss": URL, "form": URL,
   "ca_pem": the authority's certificate, "ca_hash": its OpenSSL subject hash}
"""

import json
import os
import ssl
import subprocess
import sys

import trustme

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
)

from servers.multipart import MultipartServer  # noqa: E402
from servers.tls import TLSServer  # noqa: E402
from servers.websocket import WebSocketServer  # noqa: E402


def main():
    ca = trustme.CA()
    certificate = ca.issue_cert("127.0.0.1")
    ca_pem = ca.cert_pem.bytes()
    # The name a certificate has in an SSL_CERT_DIR directory.
    ca_hash = (
        subprocess.run(
            ["openssl", "x509", "-noout", "-subject_hash"],
            input=ca_pem,
            capture_output=True,
            check=True,
        )
        .stdout.decode()
        .strip()
    )
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    certificate.configure_cert(context)
    https = TLSServer(certificate).start()
    wss = WebSocketServer(context).start()
    form = MultipartServer().start()
    try:
        print(
            json.dumps(
                {
                    "https": https.url(""),
                    "wss": wss.url("/echo"),
                    "form": form.url("/form"),
                    "ca_pem": ca_pem.decode(),
                    "ca_hash": ca_hash,
                }
            ),
            flush=True,
        )
        sys.stdin.read()
    finally:
        form.stop()
        wss.stop()
        https.stop()


if __name__ == "__main__":
    main()
