"""What the HTTP client hands its callers: `Headers`, `Request` and
`Response`."""

from __future__ import annotations

import codecs
import datetime
import json as jsonlib
from collections.abc import AsyncIterator, Iterable, Iterator, Mapping, MutableMapping
from typing import Any, Protocol, TypeAlias
from urllib.parse import urlsplit

from tolvex._errors import HTTPStatusError

__all__ = ["Headers", "Request", "Response"]


_REDIRECT_STATUSES = frozenset((301, 302, 303, 307, 308))


class Headers(MutableMapping[str, str]):
    """A case-insensitive multi-mapping of header names to values.

    `h[name]` joins the values of a repeated header with ", ";
    `get_list(name)` gives each of them, `multi_items()` every (name, value)
    pair in order.  Iteration gives each distinct name once."""

    __slots__ = ("_items", "_version")

    # (lower-case name, name, value) in order.
    _items: list[tuple[str, str, str]]

    def __init__(self, headers: HeaderTypes | None = None) -> None:
        self._version = 0
        if headers is None:
            self._items = []
        elif isinstance(headers, Headers):
            self._items = list(headers._items)
        else:
            pairs = headers.items() if isinstance(headers, Mapping) else headers
            items = []
            for name, value in pairs:
                if not isinstance(name, str) or not isinstance(value, str):
                    raise TypeError(
                        "header names and values must be str, not %s: %s"
                        % (type(name).__name__, type(value).__name__)
                    )
                items.append((name.lower(), name, value))
            self._items = items

    @classmethod
    def _from_lines(cls, lines: list[bytes]) -> Headers:
        """Headers from the raw lines libcurl received (without the status
        line); a line starting with white space continues the one before."""
        items: list[tuple[str, str, str]] = []
        for raw in lines:
            try:
                line = raw.decode()
            except UnicodeDecodeError:
                line = raw.decode("latin-1")
            if line[:1] in (" ", "\t"):
                if items:
                    key, name, value = items[-1]
                    items[-1] = (key, name, (value + " " + line.strip()).strip())
                continue
            name, sep, value = line.partition(":")
            if sep:
                name = name.strip()
                items.append((name.lower(), name, value.strip()))
        headers = cls.__new__(cls)
        headers._version = 0
        headers._items = items
        return headers

    def __getitem__(self, key: str) -> str:
        key = key.lower()
        values = [v for k, _, v in self._items if k == key]
        if not values:
            raise KeyError(key)
        return values[0] if len(values) == 1 else ", ".join(values)

    def __setitem__(self, key: str, value: str) -> None:
        if not isinstance(key, str) or not isinstance(value, str):
            raise TypeError("header names and values must be str")
        lower = key.lower()
        items = [item for item in self._items if item[0] != lower]
        items.append((lower, key, value))
        self._items = items
        self._version += 1

    def __delitem__(self, key: str) -> None:
        lower = key.lower()
        items = [item for item in self._items if item[0] != lower]
        if len(items) == len(self._items):
            raise KeyError(key)
        self._items = items
        self._version += 1

    def __contains__(self, key: object) -> bool:
        if not isinstance(key, str):
            return False
        key = key.lower()
        return any(k == key for k, _, _ in self._items)

    def __iter__(self) -> Iterator[str]:
        seen = set()
        for key, name, _ in self._items:
            if key not in seen:
                seen.add(key)
                yield name

    def __len__(self) -> int:
        return len({key for key, _, _ in self._items})

    def get_list(self, name: str) -> list[str]:
        """Every value of the header `name`, in order ([] when absent)."""
        key = name.lower()
        return [v for k, _, v in self._items if k == key]

    def multi_items(self) -> list[tuple[str, str]]:
        """Every (name, value) pair, repeated names included, in order."""
        return [(name, value) for _, name, value in self._items]

    def copy(self) -> Headers:
        return Headers(self)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (Mapping, list, tuple)):
            try:
                other = Headers(other)
            except TypeError, ValueError:
                return False
        if not isinstance(other, Headers):
            return NotImplemented
        return sorted((k, v) for k, _, v in self._items) == sorted(
            (k, v) for k, _, v in other._items
        )

    def __repr__(self) -> str:
        return "Headers(%r)" % self.multi_items()


HeaderTypes: TypeAlias = Headers | Mapping[str, str] | Iterable[tuple[str, str]]


class Request:
    """A request as it was sent: `method`, `url` and `headers`."""

    __slots__ = ("method", "url", "_headers", "_pairs")

    method: str
    url: str

    def __init__(self, method: str, url: str, headers: HeaderTypes | None = None) -> None:
        self.method = method.upper()
        self.url = url
        self._headers: Headers | None = Headers(headers)
        self._pairs: list[tuple[str, str]] = []

    @classmethod
    def _sent(cls, method: str, url: str, pairs: list[tuple[str, str]]) -> Request:
        """A Request whose headers are built from `pairs` when first read."""
        request = cls.__new__(cls)
        request.method = method
        request.url = url
        request._headers = None
        request._pairs = pairs
        return request

    @property
    def headers(self) -> Headers:
        headers = self._headers
        if headers is None:
            pairs = self._pairs
            if not any(name.lower() == "host" for name, _ in pairs):
                pairs = [("Host", _host(self.url))] + pairs
            headers = self._headers = Headers(pairs)
        return headers

    def __repr__(self) -> str:
        return "<Request [%s %s]>" % (self.method, self.url)


def _host(url: str) -> str:
    """The Host header of a URL: its host and port, without a default port."""
    parts = urlsplit(url)
    netloc = parts.netloc.rpartition("@")[2]
    default = {"http": ":80", "https": ":443"}.get(parts.scheme.lower())
    if default and netloc.endswith(default):
        netloc = netloc[: -len(default)]
    return netloc


class _RequestSource(Protocol):
    def request(self) -> Request: ...


_VERSIONS = {
    b"HTTP/1.1": "HTTP/1.1",
    b"HTTP/2": "HTTP/2",
    b"HTTP/3": "HTTP/3",
    b"HTTP/1.0": "HTTP/1.0",
}


class _BodySource(Protocol):
    """Where a streamed response's body comes from: chunks as they arrive,
    None at the end."""

    def next_chunk(self) -> bytes | None: ...

    async def anext_chunk(self) -> bytes | None: ...

    def close(self) -> None: ...

    async def aclose(self) -> None: ...


def _charset(content_type: str | None) -> str | None:
    if not content_type:
        return None
    for param in content_type.split(";")[1:]:
        key, _, value = param.partition("=")
        if key.strip().lower() == "charset":
            value = value.strip().strip("'\"")
            try:
                return codecs.lookup(value).name
            except LookupError:
                return None
    return None


class _LineSplitter:
    """Cuts a text that arrives in pieces into lines without their endings."""

    __slots__ = ("pending",)

    def __init__(self) -> None:
        self.pending = ""

    def feed(self, text: str) -> list[str]:
        lines = (self.pending + text).splitlines(keepends=True)
        # The last line may go on in the next piece (a "\r" may be half of
        # "\r\n").
        self.pending = lines.pop() if lines and not lines[-1].endswith("\n") else ""
        return [line.rstrip("\r\n") for line in lines]

    def end(self) -> list[str]:
        return self.pending.splitlines()


class Response:
    """A response: its status, headers and body, the request that led to it
    and the responses of the redirects (and retries) before it."""

    __slots__ = (
        "status_code",
        "reason_phrase",
        "http_version",
        "url",
        "_request",
        "history",
        "_lines",
        "_headers",
        "_content",
        "_elapsed",
        "_encoding",
        "_source",
        "_consumed",
        "__weakref__",
    )

    status_code: int
    reason_phrase: str
    http_version: str
    url: str
    history: list[Response]
    # The Request, or what makes it when first asked for.
    _request: Request | _RequestSource | None

    def __init__(
        self,
        status_code: int,
        *,
        headers: HeaderTypes | None = None,
        content: bytes = b"",
        request: Request | None = None,
        url: str | None = None,
        http_version: str = "HTTP/1.1",
        reason_phrase: str = "",
        history: list[Response] | None = None,
    ) -> None:
        self.status_code = status_code
        self.reason_phrase = reason_phrase
        self.http_version = http_version
        self.url = url if url is not None else (request.url if request is not None else "")
        self._request = request
        self.history = list(history or ())
        self._lines: list[bytes] = []
        self._headers: Headers | None = Headers(headers)
        self._content: bytes | None = bytes(content)
        self._elapsed = 0.0
        self._encoding: str | None = None
        self._source: _BodySource | None = None
        self._consumed = False

    @classmethod
    def _received(
        cls,
        status_line: bytes,
        lines: list[bytes],
        url: str,
        request: Request | _RequestSource,
        content: bytes | None,
        elapsed: float,
    ) -> Response:
        """A response from libcurl's lines: the status line and the header
        lines after it (read into `headers` when first used)."""
        response = cls.__new__(cls)
        parts = status_line.split(None, 2)
        version = parts[0]
        response.http_version = _VERSIONS.get(version) or version.decode("latin-1")
        response.status_code = int(parts[1])
        response.reason_phrase = parts[2].strip().decode("latin-1") if len(parts) > 2 else ""
        response.url = url
        response._request = request
        response.history = []
        response._lines = lines
        response._headers = None
        response._content = content
        response._elapsed = elapsed
        response._encoding = None
        response._source = None
        response._consumed = False
        return response

    # --- the head -----------------------------------------------------------------

    @property
    def request(self) -> Request | None:
        """The request as it was sent (of the final hop, after redirects)."""
        request = self._request
        if request is None or isinstance(request, Request):
            return request
        made = self._request = request.request()
        return made

    @request.setter
    def request(self, value: Request | None) -> None:
        self._request = value

    @property
    def headers(self) -> Headers:
        headers = self._headers
        if headers is None:
            headers = self._headers = Headers._from_lines(self._lines)
        return headers

    @property
    def reason(self) -> str:
        """The same as `reason_phrase`."""
        return self.reason_phrase

    @property
    def elapsed(self) -> datetime.timedelta:
        """From sending the request to the end of the response."""
        return datetime.timedelta(seconds=self._elapsed)

    @property
    def cookies(self) -> dict[str, str]:
        """The cookies this response set (its Set-Cookie headers)."""
        cookies = {}
        for header in self.headers.get_list("set-cookie"):
            name, sep, value = header.split(";", 1)[0].partition("=")
            if sep and name.strip():
                cookies[name.strip()] = value.strip()
        return cookies

    @property
    def is_informational(self) -> bool:
        return 100 <= self.status_code < 200

    @property
    def is_success(self) -> bool:
        return 200 <= self.status_code < 300

    @property
    def ok(self) -> bool:
        """The same as `is_success`."""
        return self.is_success

    @property
    def is_redirect(self) -> bool:
        return self.status_code in _REDIRECT_STATUSES and "location" in self.headers

    @property
    def is_client_error(self) -> bool:
        return 400 <= self.status_code < 500

    @property
    def is_server_error(self) -> bool:
        return 500 <= self.status_code < 600

    @property
    def is_error(self) -> bool:
        return 400 <= self.status_code < 600

    def raise_for_status(self) -> Response:
        """Raises HTTPStatusError for a 4xx or 5xx status; returns the
        response otherwise."""
        code = self.status_code
        if 400 <= code < 600:
            kind = "Client error" if code < 500 else "Server error"
            raise HTTPStatusError(
                "%s '%d %s' for url '%s'" % (kind, code, self.reason_phrase, self.url),
                request=self.request,
                response=self,
            )
        return self

    # --- the body -------------------------------------------------------------------

    @property
    def encoding(self) -> str:
        """The charset of the Content-Type header, else "utf-8"; may be set."""
        if self._encoding is None:
            self._encoding = _charset(self.headers.get("content-type")) or "utf-8"
        return self._encoding

    @encoding.setter
    def encoding(self, value: str) -> None:
        self._encoding = value

    @property
    def content(self) -> bytes:
        """The body (read to its end first for a streamed response)."""
        content = self._content
        if content is None:
            content = self.read()
        return content

    @property
    def text(self) -> str:
        return self.content.decode(self.encoding, errors="replace")

    def json(self, **kwargs: Any) -> Any:
        """The body parsed as JSON (`json.loads` with these arguments)."""
        return jsonlib.loads(self.content, **kwargs)

    def _check_unconsumed(self) -> None:
        if self._consumed:
            raise RuntimeError(
                "the body of this streamed response was consumed by iterating "
                "over it; read() or content before iterating keeps it"
            )

    def read(self) -> bytes:
        """Reads the rest of a streamed body; returns the whole body."""
        if self._content is None:
            self._check_unconsumed()
            self._content = b"".join(self._iter_source())
        return self._content

    async def aread(self) -> bytes:
        """Reads the rest of a streamed body; returns the whole body."""
        if self._content is None:
            self._check_unconsumed()
            self._content = b"".join([chunk async for chunk in self._aiter_source()])
        return self._content

    def _iter_source(self) -> Iterator[bytes]:
        source = self._source
        if source is None:
            return
        try:
            while (chunk := source.next_chunk()) is not None:
                yield chunk
        finally:
            self._source = None
            source.close()

    async def _aiter_source(self) -> AsyncIterator[bytes]:
        source = self._source
        if source is None:
            return
        try:
            while (chunk := await source.anext_chunk()) is not None:
                yield chunk
        finally:
            self._source = None
            await source.aclose()

    def iter_bytes(self, chunk_size: int | None = None) -> Iterator[bytes]:
        """The body in chunks as they arrive (of `chunk_size` bytes, the
        last one excepted, when given)."""
        if self._content is not None:
            chunks: Iterable[bytes] = (self._content,) if self._content else ()
        else:
            self._check_unconsumed()
            self._consumed = True
            chunks = self._iter_source()
        return _rechunk(chunks, chunk_size)

    def iter_content(self, chunk_size: int | None = None) -> Iterator[bytes]:
        """The same as `iter_bytes`."""
        return self.iter_bytes(chunk_size)

    def iter_text(self, chunk_size: int | None = None) -> Iterator[str]:
        """The body as text, decoded with `encoding` as it arrives."""
        decoder = codecs.getincrementaldecoder(self.encoding)(errors="replace")
        for chunk in self.iter_bytes(chunk_size):
            text = decoder.decode(chunk)
            if text:
                yield text
        text = decoder.decode(b"", final=True)
        if text:
            yield text

    def iter_lines(self) -> Iterator[str]:
        """The body's lines as they arrive, without their line endings."""
        splitter = _LineSplitter()
        for text in self.iter_text():
            yield from splitter.feed(text)
        yield from splitter.end()

    async def aiter_bytes(self, chunk_size: int | None = None) -> AsyncIterator[bytes]:
        """The body in chunks as they arrive (of `chunk_size` bytes, the
        last one excepted, when given)."""
        if self._content is not None:
            for piece in _rechunk((self._content,) if self._content else (), chunk_size):
                yield piece
            return
        self._check_unconsumed()
        self._consumed = True
        rechunker = _Rechunker(chunk_size)
        async for chunk in self._aiter_source():
            for piece in rechunker.feed(chunk):
                yield piece
        for piece in rechunker.end():
            yield piece

    async def aiter_text(self, chunk_size: int | None = None) -> AsyncIterator[str]:
        """The body as text, decoded with `encoding` as it arrives."""
        decoder = codecs.getincrementaldecoder(self.encoding)(errors="replace")
        async for chunk in self.aiter_bytes(chunk_size):
            text = decoder.decode(chunk)
            if text:
                yield text
        text = decoder.decode(b"", final=True)
        if text:
            yield text

    async def aiter_lines(self) -> AsyncIterator[str]:
        """The body's lines as they arrive, without their line endings."""
        splitter = _LineSplitter()
        async for text in self.aiter_text():
            for line in splitter.feed(text):
                yield line
        for line in splitter.end():
            yield line

    def close(self) -> None:
        """Stops a streamed transfer that is still running."""
        source = self._source
        if source is not None:
            self._source = None
            source.close()

    async def aclose(self) -> None:
        """Stops a streamed transfer that is still running."""
        source = self._source
        if source is not None:
            self._source = None
            await source.aclose()

    def __repr__(self) -> str:
        return "<Response [%d %s]>" % (self.status_code, self.reason_phrase)


class _Rechunker:
    """Cuts chunks of any size into chunks of `size` bytes (the last one
    excepted); with `size` None, passes them on as they are."""

    __slots__ = ("size", "pending")

    def __init__(self, size: int | None) -> None:
        if size is not None and size < 1:
            raise ValueError("chunk_size must be at least 1")
        self.size = size
        self.pending = bytearray()

    def feed(self, chunk: bytes) -> list[bytes]:
        size = self.size
        if size is None:
            return [chunk] if chunk else []
        pending = self.pending
        pending += chunk
        whole = len(pending) - len(pending) % size
        pieces = [bytes(pending[i : i + size]) for i in range(0, whole, size)]
        del pending[:whole]
        return pieces

    def end(self) -> list[bytes]:
        rest = bytes(self.pending)
        self.pending.clear()
        return [rest] if rest else []


def _rechunk(chunks: Iterable[bytes], size: int | None) -> Iterator[bytes]:
    rechunker = _Rechunker(size)
    for chunk in chunks:
        yield from rechunker.feed(chunk)
    yield from rechunker.end()
