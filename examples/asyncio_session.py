"""Many transfers from asyncio with tolvex.aio: a Session drives one
CurlMulti from the running event loop; `perform` awaits one transfer,
`stream` yields a body as it arrives, with back-pressure."""

import asyncio
import hashlib
import sys

import tolvex
import tolvex.aio


async def fetch_all(urls: list[str]) -> dict[str, bytes]:
    """GETs every URL concurrently; returns each URL's body."""
    bodies: dict[str, list[bytes]] = {}
    async with tolvex.aio.Session() as session:
        handles = []
        for url in urls:
            c = tolvex.Curl()
            c.setopt(tolvex.URL, url)
            c.setopt(tolvex.WRITEFUNCTION, bodies.setdefault(url, []).append)
            handles.append(c)
        await asyncio.gather(*(session.perform(c) for c in handles))
        for c in handles:
            c.close()
    return {url: b"".join(chunks) for url, chunks in bodies.items()}


async def digest(url: str) -> tuple[int, str]:
    """Streams the body of `url`, however large, in bounded memory; returns
    its length and SHA-256."""
    total, sha = 0, hashlib.sha256()
    async with tolvex.aio.Session() as session:
        with tolvex.Curl() as c:
            c.setopt(tolvex.URL, url)
            async for chunk in session.stream(c, limit=256 * 1024):
                total += len(chunk)
                sha.update(chunk)
    return total, sha.hexdigest()


if __name__ == "__main__":
    print(asyncio.run(digest(sys.argv[1])))
