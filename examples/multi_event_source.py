"""Many transfers at once with a CurlMulti that watches its own sockets:
one descriptor tells when anything is due, and one call does it."""

import select
import sys

import tolvex


def fetch_all(urls: list[str]) -> dict[str, bytes]:
    """GETs every URL concurrently; returns each URL's body."""
    bodies: dict[str, list[bytes]] = {}
    with tolvex.CurlMulti(close_handles=True) as multi:
        for url in urls:
            c = tolvex.Curl()
            c.setopt(tolvex.URL, url)
            c.setopt(tolvex.WRITEFUNCTION, bodies.setdefault(url, []).append)
            multi.add_handle(c)
        poll = select.poll()
        poll.register(multi.fileno(), select.POLLIN)
        running = len(urls)
        while running:
            poll.poll()
            running = multi.process_events()
        _, done, failed = multi.info_read()
        if failed:
            raise tolvex.error(failed[0][1], failed[0][2])
    return {url: b"".join(chunks) for url, chunks in bodies.items()}


if __name__ == "__main__":
    for url, body in fetch_all(sys.argv[1:]).items():
        print(url, len(body))
