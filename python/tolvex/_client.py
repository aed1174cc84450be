"""The synchronous HTTP client: `Client`, and the module's one-call
functions `request`, `get`, ..., `stream`.

A Client keeps a pool of handles.  A request takes one from the pool, runs
its transfer on the calling thread with `Curl.perform` and puts it back, so
a handle is used by one thread at a time while any number of threads use
the client.  Each handle keeps its own connections (libcurl's connection
cache must not be shared by threads running at once); cookies, DNS answers
and TLS sessions are shared by all of them through the client's CurlShare.
"""

from __future__ import annotations

import contextlib
import threading
import time
from collections.abc import Iterator
from types import TracebackType
from typing import Any, Self, TypedDict, Unpack

from tolvex import _tolvex
from tolvex._config import DEFAULT_LIMITS, DEFAULT_TIMEOUT, Limits, Retry
from tolvex._errors import HTTPError, PoolTimeout
from tolvex._models import Headers, HeaderTypes, Response
from tolvex._transfer import (
    AuthTypes,
    CertTypes,
    ClientConfig,
    CookieTypes,
    Cookies,
    Handle,
    Prepared,
    QueryParams,
    RequestOptions,
    StreamBuffer,
    TimeoutTypes,
    VerifyTypes,
    as_timeout,
    build_response,
    failure,
    finish,
    handle_options,
    retry_after,
    retry_delay,
    start,
    transfer_error,
)

__all__ = [
    "Client",
    "request",
    "get",
    "options",
    "head",
    "post",
    "put",
    "patch",
    "delete",
    "stream",
]

T = _tolvex
_error = T.error


class _ClientBase:
    """What both clients have: the configuration and its attributes."""

    _config: ClientConfig

    def __init__(
        self,
        *,
        base_url: str | None = None,
        headers: HeaderTypes | None = None,
        cookies: CookieTypes | None = None,
        params: QueryParams | None = None,
        auth: AuthTypes | None = None,
        timeout: TimeoutTypes = DEFAULT_TIMEOUT,
        follow_redirects: bool = True,
        max_redirects: int = 20,
        verify: VerifyTypes = True,
        cert: CertTypes | None = None,
        proxy: str | None = None,
        trust_env: bool = True,
        http_version: str | None = None,
        limits: Limits = DEFAULT_LIMITS,
        retries: int | Retry | None = None,
    ) -> None:
        self._config = ClientConfig(
            base_url=base_url,
            headers=headers,
            cookies=cookies,
            params=params,
            auth=auth,
            timeout=timeout,
            follow_redirects=follow_redirects,
            max_redirects=max_redirects,
            verify=verify,
            cert=cert,
            proxy=proxy,
            trust_env=trust_env,
            http_version=http_version,
            limits=limits,
            retries=retries,
        )
        self._closed = False
        self._open()

    def _open(self) -> None:
        """Sets up what the client runs its transfers with."""
        raise NotImplementedError

    @property
    def headers(self) -> Headers:
        """The headers sent with every request (a request's own are merged
        over them, case-insensitively)."""
        return self._config.headers

    @headers.setter
    def headers(self, value: HeaderTypes) -> None:
        self._config.headers = value

    @property
    def cookies(self) -> Cookies:
        """The cookies the client holds: set by responses and by the caller."""
        return self._config.cookies

    @property
    def is_closed(self) -> bool:
        return self._closed

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("the client is closed")


class _Pool:
    """Idle handles, taken and returned by the threads that run requests.
    At most `limit` handles exist; a thread that finds none free waits up to
    the pool timeout for one."""

    def __init__(self, config: ClientConfig) -> None:
        self.config = config
        self.idle: list[Handle] = []
        self.all: set[Handle] = set()
        limits = config.limits
        self.limit = limits.max_connections
        self.keep = limits.max_keepalive_connections
        self.waiting = 0
        self.ready = threading.Condition(threading.Lock())
        self.closed = False

    def take(self, timeout: float | None) -> Handle:
        # list.pop and list.append are atomic: the common case takes no lock.
        try:
            return self.idle.pop()
        except IndexError:
            pass
        with self.ready:
            deadline = None if timeout is None else time.monotonic() + timeout
            while True:
                if self.closed:
                    raise RuntimeError("the client is closed")
                if self.idle:
                    return self.idle.pop()
                if self.limit is None or len(self.all) < self.limit:
                    handle = Handle(self.config.base)
                    self.all.add(handle)
                    return handle
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise PoolTimeout("no connection became free within %s s" % timeout)
                self.waiting += 1
                try:
                    self.ready.wait(left)
                finally:
                    self.waiting -= 1

    def give(self, handle: Handle) -> None:
        if self.closed or (self.keep is not None and len(self.idle) >= max(1, self.keep)):
            self.discard(handle)
            return
        self.idle.append(handle)
        if self.waiting:
            with self.ready:
                self.ready.notify()

    def discard(self, handle: Handle) -> None:
        with self.ready:
            self.all.discard(handle)
            if self.waiting:
                self.ready.notify()
        handle.close()

    def close(self) -> None:
        with self.ready:
            self.closed = True
            idle, self.idle = self.idle, []
            self.ready.notify_all()
        for handle in idle:
            self.all.discard(handle)
            handle.close()


class _SyncStream:
    """The body of a streamed response, driven on the reader's thread
    through the handle's own CurlMulti: each read runs libcurl until a chunk
    is there."""

    def __init__(self, client: Client, handle: Handle, p: Prepared) -> None:
        self.client = client
        self.handle = handle
        self.p = p
        self.buffer = StreamBuffer(handle, p)
        self.done = False
        self.error: HTTPError | None = None
        multi = handle.multi
        if multi is None:
            multi = handle.multi = T.CurlMulti()
        self.multi = multi
        opts, method = handle_options(handle, p, self.buffer.options())
        handle.apply(opts, method)
        handle.curl.setopt(T.URL, p.url)
        handle.url = p.url
        multi.add_handle(handle.curl)

    def step(self) -> None:
        """Runs libcurl once, waiting for the sockets when nothing was ready."""
        multi = self.multi
        running = multi.perform()[1]
        if not running:
            self.finish()
            return
        if not self.buffer.chunks and not self.buffer.head_done:
            timeout = multi.timeout()
            multi.select(1.0 if timeout < 0 else min(timeout / 1000.0, 1.0))

    def finish(self) -> None:
        queued = 1
        while queued:
            queued, done, failed = self.multi.info_read()
            for _, code, text in failed:
                self.error = transfer_error(self.handle, self.p, code, text)
        self.done = True
        if self.handle.curl.multi() is self.multi:
            self.multi.remove_handle(self.handle.curl)

    def open(self) -> Response:
        buffer = self.buffer
        try:
            while not buffer.head_done and not self.done:
                self.step()
            if self.error is not None and not buffer.head_done:
                raise self.error
            response = build_response(self.handle, self.p, None)
        except BaseException:
            self.close()
            raise
        response._source = self
        return response

    def next_chunk(self) -> bytes | None:
        buffer = self.buffer
        while not buffer.chunks:
            if self.done:
                error, self.error = self.error, None
                self.release()
                if error is not None:
                    raise error
                return None
            self.step()
        return buffer.take()

    async def anext_chunk(self) -> bytes | None:
        raise TypeError("a Client's stream is read with iter_bytes(), not aiter_bytes()")

    def close(self) -> None:
        if not self.done:
            self.done = True
            if self.handle.curl.multi() is self.multi:
                self.multi.remove_handle(self.handle.curl)
            # The connection was left in the middle of a response.
            self.handle.lines.clear()
        self.release()

    async def aclose(self) -> None:
        self.close()

    def release(self) -> None:
        handle = self.handle
        if handle is not None:
            self.handle = None  # type: ignore[assignment]
            self.buffer.chunks.clear()
            self.client._pool.give(handle)


class Client(_ClientBase):
    """An HTTP client: connections, TLS sessions, DNS answers and cookies
    kept from one request to the next, and shared by all the threads that use
    the client at once::

        with tolvex.Client(base_url="https://example.org/api/") as client:
            r = client.get("items", params={"page": 2})
            r.raise_for_status()
            print(r.json())
    """

    def _open(self) -> None:
        self._pool = _Pool(self._config)

    def request(self, method: str, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        """Sends a request and reads its response whole."""
        if self._closed:
            self._check_open()
        config = self._config
        if kwargs:
            p = config.prepare(method, url, kwargs)
            pool_timeout = self._pool_timeout(kwargs)
        else:
            p = config.plain(method, url)
            pool_timeout = config.timeout.pool
        retry = config.retry
        if retry is None:
            return self._send(p, pool_timeout)
        history: list[Response] = []
        attempt = 0
        while True:
            after: list[int] = []
            try:
                response = self._send(p, pool_timeout, after)
            except HTTPError as e:
                delay = retry_delay(retry, attempt, p, e, None, 0)
                if delay is None:
                    raise
            else:
                delay = retry_delay(retry, attempt, p, None, response, after[0])
                if delay is None:
                    response.history = history + response.history
                    return response
                history += response.history + [response]
            attempt += 1
            time.sleep(delay)

    def _pool_timeout(self, kwargs: RequestOptions) -> float | None:
        if "timeout" in kwargs:
            return as_timeout(kwargs["timeout"]).pool
        return self._config.timeout.pool

    def _send(
        self, p: Prepared, pool_timeout: float | None, after: list[int] | None = None
    ) -> Response:
        """One transfer; what the response's Retry-After asked for goes to
        `after` when given."""
        pool = self._pool
        handle = pool.take(pool_timeout)
        try:
            start(handle, p).perform()
            response = finish(handle, p)
            if after is not None:
                after.append(retry_after(handle))
        except BaseException as e:
            # Read from the handle before another thread may take it; the
            # error keeps the cause it may have (what a body raised).
            error = failure(handle, p, e)
            pool.give(handle)
            raise error
        pool.give(handle)
        return response

    def stream(
        self, method: str, url: str, **kwargs: Unpack[RequestOptions]
    ) -> contextlib.AbstractContextManager[Response]:
        """A context manager giving the response as soon as its head has
        arrived; its body is read with iter_bytes(), iter_text(),
        iter_lines() or read().  The transfer pauses while the reader is
        behind, and stops on leaving the block."""
        return self._stream(method, url, kwargs)

    @contextlib.contextmanager
    def _stream(self, method: str, url: str, kwargs: RequestOptions) -> Iterator[Response]:
        self._check_open()
        config = self._config
        p = config.prepare(method, url, kwargs)
        attempt = 0
        while True:
            handle = self._pool.take(self._pool_timeout(kwargs))
            try:
                stream = _SyncStream(self, handle, p)
            except BaseException:
                self._pool.give(handle)
                raise
            try:
                response = stream.open()
                break
            except HTTPError as e:
                delay = retry_delay(config.retry, attempt, p, e, None, 0)
                if delay is None:
                    raise
            attempt += 1
            time.sleep(delay)
        try:
            yield response
        finally:
            response.close()

    def get(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("GET", url, **kwargs)

    def options(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("OPTIONS", url, **kwargs)

    def head(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("HEAD", url, **kwargs)

    def post(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("POST", url, **kwargs)

    def put(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("PUT", url, **kwargs)

    def patch(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("PATCH", url, **kwargs)

    def delete(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return self.request("DELETE", url, **kwargs)

    def close(self) -> None:
        """Closes the client's connections.  Requests still running in other
        threads finish first; later ones raise RuntimeError."""
        if self._closed:
            return
        self._closed = True
        self._pool.close()
        self._config.close()

    def __enter__(self) -> Self:
        self._check_open()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


# --- one request, with a client of its own -------------------------------------------------


class ClientOptions(TypedDict, total=False):
    """The client arguments the module's functions take."""

    verify: VerifyTypes
    cert: CertTypes | None
    proxy: str | None
    trust_env: bool
    http_version: str | None
    max_redirects: int
    retries: int | Retry | None


class CallOptions(RequestOptions, ClientOptions, total=False):
    """The keyword arguments of the module's functions."""


_CLIENT_KEYS = frozenset(ClientOptions.__annotations__)


def _split(kwargs: CallOptions) -> tuple[dict[str, Any], RequestOptions]:
    client = {k: v for k, v in kwargs.items() if k in _CLIENT_KEYS}
    request: Any = {k: v for k, v in kwargs.items() if k not in _CLIENT_KEYS}
    return client, request


def request(method: str, url: str, **kwargs: Unpack[CallOptions]) -> Response:
    """Sends one request with a client of its own, and reads the response."""
    client_args, request_args = _split(kwargs)
    with Client(**client_args) as client:
        return client.request(method, url, **request_args)


def get(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("GET", url, **kwargs)


def options(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("OPTIONS", url, **kwargs)


def head(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("HEAD", url, **kwargs)


def post(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("POST", url, **kwargs)


def put(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("PUT", url, **kwargs)


def patch(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("PATCH", url, **kwargs)


def delete(url: str, **kwargs: Unpack[CallOptions]) -> Response:
    return request("DELETE", url, **kwargs)


@contextlib.contextmanager
def stream(method: str, url: str, **kwargs: Unpack[CallOptions]) -> Iterator[Response]:
    """Like Client.stream, with a client of its own for the block."""
    client_args, request_args = _split(kwargs)
    with Client(**client_args) as client:
        with client.stream(method, url, **request_args) as response:
            yield response
