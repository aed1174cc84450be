"""A loopback server that answers every connection with the same bytes.

For responses the HTTP server of servers.http cannot give (arbitrary header
bytes, redirects, cookies).  Each connection's request head is read up to the
empty line and recorded in `requests`, then the canned response is sent and
the connection closed, so a response needs no length.  With `greet`, the
response goes out as soon as a connection is accepted, for clients that
wait for the server to speak first.
"""

import socket
import threading


class CannedServer:
    def __init__(self, response, address=("127.0.0.1", 0), greet=False):
        self.response = response
        self.greet = greet
        self.requests = []
        self.sock = socket.create_server(address)
        self.thread = None

    @property
    def port(self):
        return self.sock.getsockname()[1]

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                head = b""
                while not self.greet and b"\r\n\r\n" not in head:
                    data = conn.recv(65536)
                    if not data:
                        break
                    head += data
                self.requests.append(head)
                try:
                    conn.sendall(self.response)
                except OSError:
                    pass

    def start(self):
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        # shutdown() wakes the accept() blocked in the serving thread.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join()
