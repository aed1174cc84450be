"""Many transfers at once with a CurlMulti, driven by events: libcurl says
through the socket callable which sockets to watch and through the timer
callable when to call it back; the loop calls socket_action for each."""

import selectors
import sys
import time

import tolvex


def fetch_all(urls: list[str]) -> dict[str, bytes]:
    """GETs every URL concurrently; returns each URL's body."""
    selector = selectors.DefaultSelector()
    deadline: list[float | None] = [None]
    events = {
        tolvex.POLL_IN: selectors.EVENT_READ,
        tolvex.POLL_OUT: selectors.EVENT_WRITE,
        tolvex.POLL_INOUT: selectors.EVENT_READ | selectors.EVENT_WRITE,
    }

    def on_socket(what: int, fd: int, multi: tolvex.CurlMulti, assigned: object) -> None:
        if what == tolvex.POLL_REMOVE:
            selector.unregister(fd)
        elif fd in selector.get_map():
            selector.modify(fd, events[what])
        else:
            selector.register(fd, events[what])

    def on_timer(timeout_ms: int) -> None:
        deadline[0] = None if timeout_ms < 0 else time.monotonic() + timeout_ms / 1000

    bodies: dict[str, list[bytes]] = {}
    with tolvex.CurlMulti(close_handles=True) as multi:
        multi.setopt(tolvex.M_SOCKETFUNCTION, on_socket)
        multi.setopt(tolvex.M_TIMERFUNCTION, on_timer)
        for url in urls:
            c = tolvex.Curl()
            c.setopt(tolvex.URL, url)
            c.setopt(tolvex.WRITEFUNCTION, bodies.setdefault(url, []).append)
            multi.add_handle(c)
        finished = 0
        while finished < len(urls):
            wait = None if deadline[0] is None else max(0.0, deadline[0] - time.monotonic())
            ready = selector.select(wait)
            for key, mask in ready:
                action = (tolvex.CSELECT_IN if mask & selectors.EVENT_READ else 0) | (
                    tolvex.CSELECT_OUT if mask & selectors.EVENT_WRITE else 0
                )
                multi.socket_action(key.fd, action)
            if not ready:
                deadline[0] = None
                multi.socket_action(tolvex.SOCKET_TIMEOUT, 0)
            _, done, failed = multi.info_read()
            if failed:
                raise tolvex.error(failed[0][1], failed[0][2])
            finished += len(done)
        multi.setopt(tolvex.M_SOCKETFUNCTION, None)
    selector.close()
    return {url: b"".join(chunks) for url, chunks in bodies.items()}


if __name__ == "__main__":
    for url, body in fetch_all(sys.argv[1:]).items():
        print(url, len(body))
