"""The HTTP client: one call with safe defaults, a Client that keeps
connections, cookies and TLS sessions, streaming in bounded memory, and the
same requests from asyncio."""

import asyncio
import hashlib
import sys

import tolvex


def fetch_json(url: str) -> object:
    """GETs `url` and returns its JSON body; a 4xx or 5xx raises."""
    r = tolvex.get(url, params={"page": 1}, timeout=10.0)
    r.raise_for_status()
    return r.json()


def session(base_url: str) -> list[int]:
    """A few requests through one Client: relative URLs, a form, JSON and a
    file upload, with the client's headers, cookies and connections."""
    with tolvex.Client(
        base_url=base_url, headers={"X-App": "example"}, retries=tolvex.Retry(3, backoff_factor=0.2)
    ) as client:
        statuses = [client.get("/get").status_code]
        statuses.append(client.post("/post", data={"name": "value"}).status_code)
        statuses.append(client.post("/post", json={"items": [1, 2, 3]}).status_code)
        statuses.append(client.post("/post", files={"upload": ("notes.txt", b"hello")}).status_code)
        return statuses


def digest(url: str) -> tuple[int, str]:
    """Streams a body of any size in bounded memory: its length and SHA-256."""
    total, sha = 0, hashlib.sha256()
    with tolvex.Client() as client:
        with client.stream("GET", url) as r:
            r.raise_for_status()
            for chunk in r.iter_bytes():
                total += len(chunk)
                sha.update(chunk)
    return total, sha.hexdigest()


async def fetch_all(urls: list[str]) -> list[int]:
    """GETs every URL at once from asyncio; returns the body lengths."""
    async with tolvex.AsyncClient() as client:
        responses = await asyncio.gather(*(client.get(url) for url in urls))
    return [len(r.content) for r in responses]


def failure(url: str) -> str:
    """What a failed request raises: a class of the error tree, which is
    also a tolvex.error with libcurl's code and text."""
    try:
        tolvex.get(url)
    except tolvex.ConnectError as e:
        return "%s %d %s" % (type(e).__name__, e.args[0], e)
    raise AssertionError("the request succeeded")


if __name__ == "__main__":
    print(digest(sys.argv[1]))
