"""What the loopback servers built on the standard library's socketserver
share: running in a thread of their own, and the raw-bytes TCP server (one
thread per connection)."""

import socketserver
import threading


class InThread:
    """start() serves in a daemon thread; stop() ends the serving, closes the
    listening socket and waits for the thread."""

    daemon_threads = True
    allow_reuse_address = True
    # Room for many connections at once: beyond the backlog the kernel drops
    # connection attempts, which clients retry only after a second or more.
    request_queue_size = 1024
    thread = None

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


class TCPServer(InThread, socketserver.ThreadingTCPServer):
    def __init__(self, handler, address=("127.0.0.1", 0)):
        super().__init__(address, handler)
