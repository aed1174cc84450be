"""A WebSocket server on loopback (websockets' threaded server), with or
without TLS.

Paths:
  /echo            every message back, text as text and binary as binary
  /ping/PAYLOAD    pings with PAYLOAD and sends the text "pinged" first,
                   then the text "pong:PAYLOAD" once the pong arrived (or
                   "no pong" after five seconds), then echoes
  /big/N           first sends a binary message of N pattern bytes, then echoes

Every connection is recorded, in the order they arrive, in `connections`:
its path, each frame as received from the client (opcode name, fin bit,
payload bytes, before the library interprets it), whether a pong answered
the server's ping, and an event set when the connection has ended.
"""

import threading

from websockets.exceptions import ConnectionClosed
from websockets.sync.server import serve

from servers.http import pattern

PING_WAIT = 5.0


class Record:
    def __init__(self, path):
        self.path = path
        self.frames = []
        self.pong = None
        self.done = threading.Event()

    def wait(self, timeout=10):
        """The frames received, once the connection has ended."""
        assert self.done.wait(timeout), "the server connection did not end"
        return self.frames

    def payloads(self, opcode):
        return [data for name, fin, data in self.wait() if name == opcode]


class WebSocketServer:
    def __init__(self, ssl_context=None):
        self.ssl_context = ssl_context
        self.connections = []
        self.server = None
        self.thread = None

    @property
    def port(self):
        return self.server.socket.getsockname()[1]

    def url(self, path="/echo"):
        scheme = "wss" if self.ssl_context else "ws"
        return "%s://127.0.0.1:%d%s" % (scheme, self.port, path)

    def last(self):
        assert self.connections, "no connection reached the server"
        return self.connections[-1]

    def start(self):
        self.server = serve(
            self.handle,
            "127.0.0.1",
            0,
            ssl=self.ssl_context,
            compression=None,
            ping_interval=None,
            max_size=None,
            process_request=self.process_request,
        )
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.server.shutdown()
        self.thread.join()

    def process_request(self, connection, request):
        # Runs before the handshake's answer is sent, so no client frame
        # can arrive before the recording is in place.
        record = Record(request.path)
        protocol = connection.protocol
        interpret = protocol.recv_frame

        def recv_frame(frame):
            record.frames.append((frame.opcode.name, frame.fin, bytes(frame.data)))
            interpret(frame)

        protocol.recv_frame = recv_frame
        connection.record = record
        self.connections.append(record)
        return None

    def handle(self, connection):
        record = connection.record
        try:
            self.greet(connection, record)
            for message in connection:
                connection.send(message)
        except ConnectionClosed:
            pass
        finally:
            record.done.set()

    def greet(self, connection, record):
        kind, _, arg = record.path.lstrip("/").partition("/")
        if kind == "ping":
            pong = connection.ping(arg.encode())
            connection.send("pinged")
            record.pong = pong.wait(PING_WAIT)
            connection.send("pong:" + arg if record.pong else "no pong")
        elif kind == "big":
            connection.send(pattern(int(arg)))
