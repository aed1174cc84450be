"""The base of the loopback TCP servers that speak raw bytes: a threading
server from the standard library, one thread per connection, run in a
thread of its own."""

import socketserver
import threading


class TCPServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    # Room for many connections at once (the load tests open hundreds).
    request_queue_size = 1024

    def __init__(self, handler, address=("127.0.0.1", 0)):
        super().__init__(address, handler)
        self.thread = None

    @property
    def port(self):
        return self.server_address[1]

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def start(self):
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.shutdown()
        self.server_close()
        self.thread.join()
