"""The asynchronous HTTP client, `AsyncClient`: the same requests as
`Client`, awaited, all running at once on the event loop through one
`tolvex.aio.Session` (one CurlMulti, so one connection pool)."""

from __future__ import annotations

import asyncio
import collections
import contextlib
from collections.abc import AsyncIterator
from types import TracebackType
from typing import Any, Self, Unpack

from tolvex import _tolvex
from tolvex._client import _ClientBase
from tolvex._errors import HTTPError, PoolTimeout
from tolvex._models import Response
from tolvex._transfer import (
    Handle,
    Prepared,
    RequestOptions,
    StreamBuffer,
    as_timeout,
    build_response,
    failure,
    finish,
    handle_options,
    retry_after,
    retry_delay,
    start,
)
from tolvex.aio import Session

__all__ = ["AsyncClient"]

T = _tolvex
_error = T.error
_URL = T.URL
_HTTPGET = T.HTTPGET


class _AsyncStream:
    """The body of a streamed response: the transfer runs as a task on the
    loop, its chunks wait in a StreamBuffer for the reader."""

    def __init__(self, client: AsyncClient, handle: Handle, p: Prepared, session: Session) -> None:
        self.client = client
        self.handle: Handle | None = handle
        self.p = p
        self.buffer = buffer = StreamBuffer(handle, p)
        buffer.on_head = buffer.on_data = self.wake
        self.waiter: asyncio.Future[None] | None = None
        opts, method = handle_options(handle, p, buffer.options())
        handle.apply(opts, method)
        handle.curl.setopt(_URL, p.url)
        handle.url = p.url
        self.task = asyncio.ensure_future(session.perform(handle.curl))
        self.task.add_done_callback(self.wake)

    def wake(self, *args: Any) -> None:
        waiter = self.waiter
        if waiter is not None:
            self.waiter = None
            if not waiter.done():
                waiter.set_result(None)

    async def wait(self) -> None:
        self.waiter = waiter = asyncio.get_running_loop().create_future()
        await waiter

    def outcome(self) -> HTTPError | None:
        """The transfer's failure, once its task is done."""
        task = self.task
        if task.cancelled():
            return None
        error = task.exception()
        if error is None or self.handle is None:
            return None
        failed = failure(self.handle, self.p, error)
        if isinstance(failed, HTTPError):
            return failed
        raise failed

    async def open(self) -> Response:
        buffer = self.buffer
        try:
            while not buffer.head_done and not self.task.done():
                await self.wait()
        except BaseException:
            await self.aclose()
            raise
        handle = self.handle
        assert handle is not None
        try:
            if not buffer.head_done:
                error = self.outcome()
                if error is not None:
                    raise error
            response = build_response(handle, self.p, None)
        except BaseException:
            await self.aclose()
            raise
        response._source = self
        return response

    async def anext_chunk(self) -> bytes | None:
        buffer = self.buffer
        while not buffer.chunks:
            if self.task.done():
                error = self.outcome()
                self.release()
                if error is not None:
                    raise error
                return None
            try:
                await self.wait()
            except BaseException:
                await self.aclose()
                raise
        return buffer.take()

    def next_chunk(self) -> bytes | None:
        raise TypeError("an AsyncClient's stream is read with aiter_bytes(), not iter_bytes()")

    async def aclose(self) -> None:
        task = self.task
        if not task.done():
            task.cancel()
            with contextlib.suppress(asyncio.CancelledError, _error):
                await task
        elif not task.cancelled():
            task.exception()
        self.release()

    def close(self) -> None:
        if not self.task.done():
            self.task.cancel()
        self.release()

    def release(self) -> None:
        handle = self.handle
        if handle is not None:
            self.handle = None
            self.buffer.chunks.clear()
            handle.lines.clear()
            self.client._give(handle)


class AsyncClient(_ClientBase):
    """An HTTP client for asyncio: `await client.get(url)`.  Requests awaited
    together run at once on the running event loop (asyncio's own or
    uvloop), sharing the client's connections.  A client belongs to the loop
    it is first used in::

        async with tolvex.AsyncClient() as client:
            responses = await asyncio.gather(*(client.get(u) for u in urls))
    """

    def _open(self) -> None:
        limits = self._config.limits
        self._session: Session | None = None
        self._idle: list[Handle] = []
        self._handles: set[Handle] = set()
        # Transfers that may start now (None: no limit), and those waiting
        # for one to end.
        self._free: int | None = limits.max_connections
        self._waiting: collections.deque[asyncio.Future[None]] = collections.deque()

    def _open_session(self) -> Session:
        self._check_open()
        session = self._session = Session()
        limits = self._config.limits
        if limits.max_connections_per_host is not None:
            session.setopt(T.M_MAX_HOST_CONNECTIONS, limits.max_connections_per_host)
        # libcurl counts busy connections with the idle ones: a cache smaller
        # than the transfers running would close connections to open others.
        keep = max(limits.max_keepalive_connections or 0, limits.max_connections or 0)
        if keep:
            session.setopt(T.M_MAXCONNECTS, keep)
        return session

    def _take(self) -> Handle | None:
        """A handle for a transfer, or None while max_connections run."""
        free = self._free
        if free is not None:
            if free <= 0:
                return None
            self._free = free - 1
        return self._handle()

    def _handle(self) -> Handle:
        try:
            return self._idle.pop()
        except IndexError:
            handle = Handle(self._config.base)
            self._handles.add(handle)
            return handle

    async def _wait_for_handle(self, pool_timeout: float | None) -> Handle:
        waiter = asyncio.get_running_loop().create_future()
        self._waiting.append(waiter)
        try:
            async with asyncio.timeout(pool_timeout):
                await waiter
        except BaseException as e:
            if waiter.done() and not waiter.cancelled():
                # A place was handed over just as the wait ended: it goes on.
                self._hand_over()
            else:
                waiter.cancel()
                with contextlib.suppress(ValueError):
                    self._waiting.remove(waiter)
            if isinstance(e, TimeoutError):
                raise PoolTimeout("no connection became free within %s s" % pool_timeout) from None
            raise
        return self._handle()

    def _hand_over(self) -> None:
        """Passes the place of a transfer that ended to the longest waiter."""
        waiting = self._waiting
        while waiting:
            waiter = waiting.popleft()
            if not waiter.done():
                waiter.set_result(None)
                return
        assert self._free is not None
        self._free += 1

    def _give(self, handle: Handle) -> None:
        if self._free is not None:
            self._hand_over()
        if self._closed:
            self._handles.discard(handle)
            handle.close()
        else:
            self._idle.append(handle)

    async def request(self, method: str, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        """Sends a request and reads its response whole."""
        config = self._config
        if kwargs:
            p = config.prepare(method, url, kwargs)
            pool_timeout = (
                as_timeout(kwargs["timeout"]).pool if "timeout" in kwargs else config.timeout.pool
            )
        else:
            p = config.plain(method, url)
            pool_timeout = config.timeout.pool
        session = self._session or self._open_session()
        retry = config.retry
        history: list[Response] = []
        attempt = 0
        # One loop for every attempt, which awaits the transfer itself: a
        # coroutine less per request.
        while True:
            handle = self._take() or await self._wait_for_handle(pool_timeout)
            try:
                curl = start(handle, p)
                await session.perform(curl)
                response = finish(handle, p)
                after = retry_after(handle) if retry is not None else 0
            except BaseException as e:
                error = failure(handle, p, e)
                self._give(handle)
                if not isinstance(error, HTTPError):
                    raise
                delay = retry_delay(retry, attempt, p, error, None, 0)
                if delay is None:
                    raise error
            else:
                self._give(handle)
                if retry is None:
                    return response
                delay = retry_delay(retry, attempt, p, None, response, after)
                if delay is None:
                    response.history = history + response.history
                    return response
                history += response.history + [response]
            attempt += 1
            await asyncio.sleep(delay)

    def stream(
        self, method: str, url: str, **kwargs: Unpack[RequestOptions]
    ) -> contextlib.AbstractAsyncContextManager[Response]:
        """An async context manager giving the response as soon as its head
        has arrived; its body is read with aiter_bytes(), aiter_text(),
        aiter_lines() or aread().  The transfer pauses while the reader is
        behind, and stops on leaving the block."""
        return self._stream(method, url, kwargs)

    @contextlib.asynccontextmanager
    async def _stream(
        self, method: str, url: str, kwargs: RequestOptions
    ) -> AsyncIterator[Response]:
        config = self._config
        p = config.prepare(method, url, kwargs)
        pool_timeout = (
            as_timeout(kwargs["timeout"]).pool if "timeout" in kwargs else config.timeout.pool
        )
        attempt = 0
        while True:
            session = self._session or self._open_session()
            handle = self._take() or await self._wait_for_handle(pool_timeout)
            try:
                stream = _AsyncStream(self, handle, p, session)
            except BaseException:
                self._give(handle)
                raise
            try:
                response = await stream.open()
                break
            except HTTPError as e:
                delay = retry_delay(config.retry, attempt, p, e, None, 0)
                if delay is None:
                    raise
            attempt += 1
            await asyncio.sleep(delay)
        try:
            yield response
        finally:
            await response.aclose()

    async def get(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("GET", url, **kwargs)

    async def options(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("OPTIONS", url, **kwargs)

    async def head(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("HEAD", url, **kwargs)

    async def post(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("POST", url, **kwargs)

    async def put(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("PUT", url, **kwargs)

    async def patch(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("PATCH", url, **kwargs)

    async def delete(self, url: str, **kwargs: Unpack[RequestOptions]) -> Response:
        return await self.request("DELETE", url, **kwargs)

    async def aclose(self) -> None:
        """Stops what still runs and closes the client's connections."""
        if self._closed:
            return
        self._closed = True
        if self._session is not None:
            await self._session.close()
        for handle in self._handles:
            handle.close()
        self._handles.clear()
        self._idle.clear()
        self._config.close()

    async def __aenter__(self) -> Self:
        self._check_open()
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.aclose()
