"""Many transfers at once with a CurlMulti, driven by polling: perform
moves every transfer forward, select waits for any socket, info_read
collects the finished ones."""

import sys

import tolvex


def fetch_all(urls: list[str]) -> dict[str, bytes]:
    """GETs every URL concurrently; returns each URL's body."""
    bodies: dict[str, list[bytes]] = {}
    handles: dict[tolvex.Curl, str] = {}
    with tolvex.CurlMulti(close_handles=True) as multi:
        for url in urls:
            c = tolvex.Curl()
            c.setopt(tolvex.URL, url)
            c.setopt(tolvex.WRITEFUNCTION, bodies.setdefault(url, []).append)
            multi.add_handle(c)
            handles[c] = url
        running = len(urls)
        while running:
            _, running = multi.perform()
            _, done, failed = multi.info_read()
            for curl, code, message in failed:
                raise tolvex.error(code, "%s: %s" % (handles[curl], message))
            if running:
                multi.select(1.0)
    return {url: b"".join(chunks) for url, chunks in bodies.items()}


if __name__ == "__main__":
    for url, body in fetch_all(sys.argv[1:]).items():
        print(url, len(body))
