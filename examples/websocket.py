"""A WebSocket connection driven by the program: CONNECT_ONLY 2 makes
perform do the opening handshake only; frames then go out with ws_send and
come in with ws_recv, which never blocks."""

import select
import sys

import tolvex


def receive(c: tolvex.Curl) -> tuple[bytes, int]:
    """The next whole message and its frame flags, waiting on the socket
    while nothing has arrived."""
    message = b""
    while True:
        try:
            data, frame = c.ws_recv(65536)
        except BlockingIOError:
            socket = c.getinfo(tolvex.ACTIVESOCKET)
            assert isinstance(socket, int)
            select.select([socket], [], [], 10.0)
            continue
        message += data
        if frame is None or frame.bytesleft == 0:
            return message, frame.flags if frame else 0


def echo(url: str, messages: list[str | bytes]) -> list[str | bytes]:
    """Sends each message to the echo server at `url` (text as text, bytes
    as binary) and returns what came back, then closes with code 1000."""
    replies: list[str | bytes] = []
    with tolvex.Curl() as c:
        c.setopt(tolvex.URL, url)
        c.setopt(tolvex.CONNECT_ONLY, 2)
        c.perform()
        for message in messages:
            c.ws_send(message)
            data, flags = receive(c)
            replies.append(data.decode() if flags & tolvex.WS_TEXT else data)
        c.ws_close(1000, "done")
    return replies


if __name__ == "__main__":
    print(echo(sys.argv[1], ["hello", b"\x00\x01binary"]))
