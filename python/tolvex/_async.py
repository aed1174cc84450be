"""The asynchronous HTTP client, `AsyncClient`: the same requests as
`Client`, awaited, all running at once on the event loop through one
`tolvex.aio.Session` (one CurlMulti, so one connection pool)."""

from __future__ import annotations

import asyncio
import contextlib
from collections.abc import AsyncIterator
from types import TracebackType
from typing import Any, Self, Unpack

from tolvex import _tolvex
from tolvex._client import _ClientBase
from tolvex._config import DEFAULT_LIMITS, DEFAULT_TIMEOUT, Limits, Retry
from tolvex._errors import HTTPError, PoolTimeout, RequestError
from tolvex._models import HeaderTypes, Response
from tolvex._transfer import (AuthTypes, CertTypes, CookieTypes, Handle, Prepared, QueryParams,
                              RequestOptions, StreamBuffer, TimeoutTypes, VerifyTypes,
                              as_timeout, build_response, handle_options, retry_delay,
                              transfer_error)
from tolvex.aio import Session

__all__ = ["AsyncClient"]

T = _tolvex
_error = T.error
_URL = T.URL
_HTTPGET = T.HTTPGET


def _failure(handle: Handle, p: Prepared, error: BaseException) -> HTTPError:
    args = error.args
    if len(args) == 2 and isinstance(args[0], int):
        return transfer_error(handle, p, args[0], args[1])
    failure = RequestError(str(error), request=p.request())
    failure.__cause__ = error
    return failure


class _AsyncStream:
    """The body of a streamed response: the transfer runs as a task on the
    loop, its chunks wait in a StreamBuffer for the reader."""

    def __init__(self, client: AsyncClient, handle: Handle, p: Prepared,
                 session: Session) -> None:
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
        return _failure(self.handle, self.p, error)

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
        if not buffer.head_done:
            error = self.outcome()
            self.release()
            if error is not None:
                raise error
        response = build_response(handle, self.p, None)
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

    def __init__(self, *, base_url: str | None = None, headers: HeaderTypes | None = None,
                 cookies: CookieTypes | None = None, params: QueryParams | None = None,
                 auth: AuthTypes | None = None, timeout: TimeoutTypes = DEFAULT_TIMEOUT,
                 follow_redirects: bool = True, max_redirects: int = 20,
                 verify: VerifyTypes = True, cert: CertTypes | None = None,
                 proxy: str | None = None, trust_env: bool = True,
                 http_version: str | None = None, limits: Limits = DEFAULT_LIMITS,
                 retries: int | Retry | None = None) -> None:
        super().__init__(base_url=base_url, headers=headers, cookies=cookies, params=params,
                         auth=auth, timeout=timeout, follow_redirects=follow_redirects,
                         max_redirects=max_redirects, verify=verify, cert=cert, proxy=proxy,
                         trust_env=trust_env, http_version=http_version, limits=limits,
                         retries=retries)
        self._session: Session | None = None
        self._idle: list[Handle] = []
        self._handles: set[Handle] = set()
        self._slots: asyncio.Semaphore | None = None

    def _open_session(self) -> Session:
        self._check_open()
        session = self._session = Session()
        limits = self._config.limits
        if limits.max_connections_per_host is not None:
            session.setopt(T.M_MAX_HOST_CONNECTIONS, limits.max_connections_per_host)
        if limits.max_keepalive_connections is not None:
            session.setopt(T.M_MAXCONNECTS, max(1, limits.max_keepalive_connections))
        if limits.max_connections is not None:
            self._slots = asyncio.Semaphore(limits.max_connections)
        return session

    async def _take(self, pool_timeout: float | None) -> Handle:
        slots = self._slots
        if slots is not None:
            if slots.locked():
                try:
                    await asyncio.wait_for(slots.acquire(), pool_timeout)
                except TimeoutError:
                    raise PoolTimeout("no connection became free within %s s"
                                      % pool_timeout) from None
            else:
                await slots.acquire()
        try:
            return self._idle.pop()
        except IndexError:
            handle = Handle(self._config.base)
            self._handles.add(handle)
            return handle

    def _give(self, handle: Handle) -> None:
        if self._slots is not None:
            self._slots.release()
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
            pool_timeout = (as_timeout(kwargs["timeout"]).pool if "timeout" in kwargs
                            else config.timeout.pool)
        else:
            p = config.plain(method, url)
            pool_timeout = config.timeout.pool
        retry = config.retry
        if retry is None:
            return await self._send(p, pool_timeout)
        history: list[Response] = []
        attempt = 0
        while True:
            after: list[int] = []
            try:
                response = await self._send(p, pool_timeout, after)
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
            await asyncio.sleep(delay)

    async def _send(self, p: Prepared, pool_timeout: float | None,
                    retry_after: list[int] | None = None) -> Response:
        session = self._session
        if session is None:
            session = self._open_session()
        handle = await self._take(pool_timeout)
        try:
            if handle.applied is not p.opts or handle.method is not p.method_option:
                opts, method = handle_options(handle, p)
                handle.apply(opts, method)
            curl = handle.curl
            if handle.url is not p.url:
                curl.setopt(_URL, p.url)
                handle.url = p.url
            try:
                await session.perform(curl)
            except _error as e:
                raise _failure(handle, p, e)
            chunks = handle.chunks
            content = chunks[0] if len(chunks) == 1 else b"".join(chunks)
            chunks.clear()
            response = build_response(handle, p, content)
            if retry_after is not None:
                value = curl.getinfo(T.RETRY_AFTER)
                retry_after.append(value if isinstance(value, int) else 0)
            if p.method_option[0] != _HTTPGET or p.reader is not None:
                # The body and the callables it holds go with the request.
                handle.apply({}, (_HTTPGET, 1))
        except BaseException:
            handle.lines.clear()
            handle.chunks.clear()
            self._give(handle)
            raise
        self._give(handle)
        return response

    def stream(self, method: str, url: str, **kwargs: Unpack[RequestOptions]
               ) -> contextlib.AbstractAsyncContextManager[Response]:
        """An async context manager giving the response as soon as its head
        has arrived; its body is read with aiter_bytes(), aiter_text(),
        aiter_lines() or aread().  The transfer pauses while the reader is
        behind, and stops on leaving the block."""
        return self._stream(method, url, kwargs)

    @contextlib.asynccontextmanager
    async def _stream(self, method: str, url: str,
                      kwargs: RequestOptions) -> AsyncIterator[Response]:
        config = self._config
        p = config.prepare(method, url, kwargs)
        pool_timeout = (as_timeout(kwargs["timeout"]).pool if "timeout" in kwargs
                        else config.timeout.pool)
        attempt = 0
        while True:
            session = self._session or self._open_session()
            handle = await self._take(pool_timeout)
            try:
                response = await _AsyncStream(self, handle, p, session).open()
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

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.aclose()
