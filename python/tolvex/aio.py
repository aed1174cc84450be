"""Transfers driven from asyncio.

A `Session` owns one `CurlMulti` and drives it event-style.  On Linux the
multi watches libcurl's sockets and timeout itself (its event source,
`CurlMulti.fileno()`): the loop watches that one descriptor for the
session's lifetime and the session calls `process_events()` when it is
readable, so no Python code runs for libcurl's socket and timer changes.

Elsewhere libcurl tells the session which sockets to watch and when its next
timeout is due, the session watches them through the event loop and a single
loop timer, and calls `socket_action` when one of them is ready; where the
platform has epoll, in an epoll set of its own whose descriptor the loop
watches, else each socket with the loop's `add_reader` / `add_writer`.

    async with tolvex.aio.Session() as session:
        c = tolvex.Curl()
        c.setopt(tolvex.URL, "http://127.0.0.1:8080/")
        c.setopt(tolvex.WRITEFUNCTION, chunks.append)
        await session.perform(c)

        async for chunk in session.stream(c):
            ...

A session belongs to the event loop it is first used in; it refuses to be
used from any other loop or thread.
"""

import asyncio
import collections
import select
import threading
from types import TracebackType
from typing import Any, Protocol, Self

from tolvex import _tolvex

__all__ = ["Session", "Stream"]

error = _tolvex.error

_POLL_IN = _tolvex.POLL_IN
_POLL_OUT = _tolvex.POLL_OUT
_POLL_REMOVE = _tolvex.POLL_REMOVE
_CSELECT_IN = _tolvex.CSELECT_IN
_CSELECT_OUT = _tolvex.CSELECT_OUT
_SOCKET_TIMEOUT = _tolvex.SOCKET_TIMEOUT
_WRITEFUNC_PAUSE = _tolvex.WRITEFUNC_PAUSE
_PAUSE_CONT = _tolvex.PAUSE_CONT
_WRITEFUNCTION = _tolvex.WRITEFUNCTION
# The options through which the session drives its multi handle.
_DRIVING_OPTIONS = (_tolvex.M_SOCKETFUNCTION, _tolvex.M_TIMERFUNCTION)

# Seconds between two looks for transfers whose handle was closed.
_AUDIT_INTERVAL = 1.0
# A timer that fires this close to libcurl's deadline runs it: libcurl counts
# in milliseconds and asks again for whatever is left.
_TIMER_SLACK = 0.0005

_POLL_INOUT = _POLL_IN | _POLL_OUT
_HAVE_EPOLL = hasattr(select, "epoll")
if _HAVE_EPOLL:
    # POLL_* bits (an index) to epoll's, and epoll's reported events (their
    # five low bits as an index) to CSELECT_* bits.
    _EPOLL_OF_POLL = (0, select.EPOLLIN, select.EPOLLOUT, select.EPOLLIN | select.EPOLLOUT)
    _EPOLL_MASK = 31
    _CSELECT_OF_EPOLL = tuple(
        (_CSELECT_IN if ev & (select.EPOLLIN | select.EPOLLPRI) else 0)
        | (_CSELECT_OUT if ev & select.EPOLLOUT else 0)
        | (_tolvex.CSELECT_ERR if ev & (select.EPOLLERR | select.EPOLLHUP) else 0)
        for ev in range(_EPOLL_MASK + 1)
    )

_CancelledError = asyncio.CancelledError


def _running_loop() -> asyncio.AbstractEventLoop | None:
    """The event loop running in this thread, or None."""
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


class _Waiter(Protocol):
    """What the session hands a transfer's outcome to: the future that
    perform() awaits, or the body of a stream."""

    def done(self) -> bool: ...

    def set_result(self, result: None, /) -> None: ...

    def set_exception(self, exception: BaseException, /) -> None: ...


class Session:
    """Runs transfers of `Curl` objects concurrently on the running asyncio
    event loop, through one `CurlMulti`.

    Use it as `async with Session() as session:` or close it with
    `await session.close()`.  `await session.perform(curl)` runs one
    transfer; `session.stream(curl)` runs one and yields its body as it
    arrives.
    """

    __slots__ = (
        "_multi",
        "_socket_action",
        "_events",
        "_loop",
        "_transfers",
        "_watched",
        "_epoll",
        "_thread",
        "_timer",
        "_timer_at",
        "_deadline",
        "_audit",
        "_closed",
        "__weakref__",
    )

    # Whether new sessions use the multi's own event source where it exists,
    # else keep libcurl's sockets in an epoll set of their own.
    _use_event_source = True
    _use_epoll = _HAVE_EPOLL

    def __init__(self) -> None:
        self._multi = multi = _tolvex.CurlMulti()
        self._socket_action = multi.socket_action
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: int | None = None
        # Curl -> the future its perform() awaits, or the body of its stream.
        self._transfers: dict[_tolvex.Curl, _Waiter] = {}
        # Descriptor -> the POLL_IN / POLL_OUT bits being watched.
        self._watched: dict[int, int] = {}
        # The multi's event source, or None where the session watches
        # libcurl's sockets itself.
        self._events: int | None = None
        if self._use_event_source:
            try:
                self._events = multi.fileno()
            except NotImplementedError:
                pass
        self._epoll = select.epoll() if self._use_epoll and self._events is None else None
        # The one pending loop callback that runs libcurl's timeout, the
        # loop time it is due at (0.0: as soon as possible), and the time
        # libcurl wants it (None: no timeout wanted).
        self._timer: asyncio.Handle | None = None
        self._timer_at = 0.0
        self._deadline: float | None = None
        # The pending look for transfers libcurl will not report (_on_audit).
        self._audit: asyncio.TimerHandle | None = None
        self._closed = False
        if self._events is None:
            multi.setopt(_tolvex.M_SOCKETFUNCTION, self._on_socket)
            multi.setopt(_tolvex.M_TIMERFUNCTION, self._on_timer)

    # --- public interface ------------------------------------------------------

    async def __aenter__(self) -> Self:
        self._check_loop()
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.close()

    @property
    def closed(self) -> bool:
        """True once the session is closed."""
        return self._closed

    def setopt(self, option: int, value: Any) -> None:
        """Sets an option of the session's `CurlMulti` (M_MAX_HOST_CONNECTIONS,
        M_MAXCONNECTS, ...).  The socket and timer functions are the
        session's own."""
        if option in _DRIVING_OPTIONS:
            raise ValueError("the session drives its multi handle through this option itself")
        if self._closed:
            raise error("cannot invoke setopt() - the session is closed")
        self._multi.setopt(option, value)

    async def perform(self, curl: _tolvex.Curl) -> None:
        """Runs the transfer of `curl` and returns when it is complete.

        A failed transfer raises `tolvex.error` with libcurl's code and
        text.  Cancelling the awaiting task ends the transfer at once.
        Afterwards `curl` is free again: it can be performed again, here or
        elsewhere."""
        # _running_loop() written out: this runs for every transfer.
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            loop = None
        if loop is None or loop is not self._loop:
            loop = self._check_loop()
        future: asyncio.Future[None] = loop.create_future()
        self._start(curl, future)
        try:
            await future
        except BaseException:
            # Cancelled, or ended by what one of its callables raised while
            # libcurl may still run it.
            if self._transfers.get(curl) is future:
                self._stop(curl)
            raise

    def stream(self, curl: _tolvex.Curl, limit: int = 1 << 20) -> "Stream":
        """Returns a `Stream` that runs the transfer of `curl` and yields its
        body, chunk by chunk, as it arrives:

            async for chunk in session.stream(curl):
                ...

        At most about `limit` bytes are held for the consumer: beyond that
        the transfer is paused until the consumer has taken half of them.
        The stream installs its own WRITEFUNCTION on `curl` and removes it
        at the end.
        """
        return Stream(self, curl, limit)

    async def close(self) -> None:
        """Ends the session: transfers that have finished are reported,
        those still running are stopped (their perform() and streams raise
        `tolvex.error`), and the multi handle, its connections and every
        watched descriptor are released.  Closing twice does nothing."""
        if self._closed:
            return
        if self._loop is not None:
            self._check_loop(closing=True)
            self._collect()
        self._closed = True
        transfers, self._transfers = self._transfers, {}
        multi = self._multi
        # No timeouts are run any more.  The sockets of the transfers left
        # stop being watched as libcurl lets go of them, before it closes
        # them; with the loop gone there is nothing to tell.  (The event
        # source needs neither: it is the multi's own.)
        driven = self._events is None
        if driven:
            multi.setopt(_tolvex.M_TIMERFUNCTION, None)
            if self._loop is not None and self._loop.is_closed():
                multi.setopt(_tolvex.M_SOCKETFUNCTION, None)
        try:
            for curl, waiter in transfers.items():
                if curl.multi() is multi:
                    multi.remove_handle(curl)
                if not waiter.done():
                    waiter.set_exception(
                        error("the session was closed before the transfer finished")
                    )
        finally:
            # libcurl closes its idle connections without telling anyone.
            if driven:
                multi.setopt(_tolvex.M_SOCKETFUNCTION, None)
            self._release()

    # --- driving the multi handle ------------------------------------------------

    def _check_loop(self, closing: bool = False) -> asyncio.AbstractEventLoop:
        """The session's loop, which the first use binds it to; refuses any
        other loop and no loop at all."""
        loop = _running_loop()
        if loop is None:
            raise RuntimeError(
                "tolvex.aio.Session used outside of an asyncio event loop: await its "
                "methods in the thread that runs the session's loop"
            )
        own = self._loop
        if own is None:
            if self._closed:
                raise error("the session is closed")
            if self._events is not None:
                loop.add_reader(self._events, self._on_events, self._multi.process_events)
            elif self._epoll is not None:
                loop.add_reader(self._epoll.fileno(), self._on_epoll, self._epoll)
            self._loop = loop
            self._thread = threading.get_ident()
            return loop
        if loop is not own and not (closing and own.is_closed()):
            # Closing is the one thing left to do for a session whose loop
            # has gone: nothing of it can run any more.
            raise RuntimeError(
                "tolvex.aio.Session belongs to another event loop: a session can be used "
                "only in the loop, and so the thread, it was first used in"
            )
        return own

    def _start(self, curl: _tolvex.Curl, waiter: _Waiter) -> None:
        if self._closed:
            raise error("cannot start a transfer - the session is closed")
        transfers = self._transfers
        if curl in transfers:
            raise error("the transfer of this Curl is already running in this session")
        # add_handle makes libcurl ask for a timeout right away (_on_timer).
        self._multi.add_handle(curl)
        transfers[curl] = waiter
        if self._audit is None:
            assert self._loop is not None
            self._audit = self._loop.call_later(_AUDIT_INTERVAL, self._on_audit)

    def _stop(self, curl: _tolvex.Curl) -> None:
        """Takes a transfer out of the multi handle before it finished."""
        if curl.multi() is self._multi:
            self._multi.remove_handle(curl)
        del self._transfers[curl]

    def _on_audit(self) -> None:
        # A handle closed while its transfer runs leaves the multi handle
        # without a word from libcurl; while nothing else happens, only this
        # finds it.
        self._audit = None
        if self._transfers:
            self._on_ready(_SOCKET_TIMEOUT, 0)
        if self._transfers:
            assert self._loop is not None
            self._audit = self._loop.call_later(_AUDIT_INTERVAL, self._on_audit)

    def _collect(self, running: int | None = None) -> None:
        """Hands every finished transfer its result.  With libcurl's count of
        running transfers, also finds those that left the multi handle by
        another way."""
        transfers = self._transfers
        remove = self._multi.remove_handle
        queued = 1
        while queued:
            queued, done, failed = self._multi.info_read()
            for curl in done:
                waiter = transfers.pop(curl, None)
                if waiter is not None:
                    remove(curl)
                    if not waiter.done():
                        waiter.set_result(None)
            for curl, code, text in failed:
                waiter = transfers.pop(curl, None)
                if waiter is not None:
                    remove(curl)
                    if not waiter.done():
                        exc = error(code, text)
                        # What a callable of the handle raised, as perform() has it.
                        cause = curl.callback_exception
                        if cause is not None:
                            exc.__cause__ = cause
                        waiter.set_exception(exc)
        if running is not None and len(transfers) > running:
            self._forget_strays()

    def _handed_over(self, exc: BaseException) -> bool:
        """Whether `exc`, raised out of libcurl's driving call, came from a
        callable of one of the session's transfers (a KeyboardInterrupt or
        SystemExit stays pending there, as Curl.perform() raises it).  That
        transfer's perform() or stream raises it then, not the loop; any
        other, a signal handler's among them, goes on to the loop."""
        for curl, waiter in self._transfers.items():
            if curl.callback_exception is exc:
                if not waiter.done():
                    waiter.set_exception(exc)
                # The callable's failure ended the transfer; others may have
                # finished in the same call.
                self._collect()
                return True
        return False

    def _forget_strays(self) -> None:
        """Fails the transfers whose handle was closed, or taken out of the
        multi handle, behind the session's back: libcurl never reports them."""
        multi = self._multi
        for curl, waiter in list(self._transfers.items()):
            if curl.multi() is not multi:
                del self._transfers[curl]
                if not waiter.done():
                    waiter.set_exception(
                        error("the transfer was taken out of the session before it finished")
                    )

    def _on_socket(self, event: int, fd: int, multi: _tolvex.CurlMulti, assigned: object) -> None:
        # libcurl repeats itself: only changes of what is watched go on to the
        # session's epoll set or to the loop.
        watched = self._watched
        old = watched.get(fd, 0)
        new = 0 if event == _POLL_REMOVE else event & _POLL_INOUT
        if new == old:
            return
        if new:
            watched[fd] = new
        else:
            del watched[fd]
        epoll = self._epoll
        if epoll is not None:
            if new:
                # A socket closed without libcurl saying so leaves the
                # kernel's set without its entry, and its number may come back.
                if old:
                    try:
                        epoll.modify(fd, _EPOLL_OF_POLL[new])
                    except FileNotFoundError:
                        epoll.register(fd, _EPOLL_OF_POLL[new])
                else:
                    try:
                        epoll.register(fd, _EPOLL_OF_POLL[new])
                    except FileExistsError:
                        epoll.modify(fd, _EPOLL_OF_POLL[new])
            else:
                try:
                    epoll.unregister(fd)
                except OSError:
                    pass
            return
        loop = self._loop
        assert loop is not None
        changed = old ^ new
        if changed & _POLL_IN:
            if new & _POLL_IN:
                loop.add_reader(fd, self._on_ready, fd, _CSELECT_IN)
            else:
                loop.remove_reader(fd)
        if changed & _POLL_OUT:
            if new & _POLL_OUT:
                loop.add_writer(fd, self._on_ready, fd, _CSELECT_OUT)
            else:
                loop.remove_writer(fd)

    def _on_events(self, process_events: Any) -> None:
        try:
            running = process_events()
        except BaseException as exc:
            if self._handed_over(exc):
                return
            raise
        if running < len(self._transfers):
            self._collect(running)

    def _on_epoll(self, epoll: select.epoll) -> None:
        socket_action = self._socket_action
        cselect = _CSELECT_OF_EPOLL
        running = -1
        try:
            for fd, events in epoll.poll(0):
                running = socket_action(fd, cselect[events & _EPOLL_MASK])[1]
        except BaseException as exc:
            if self._handed_over(exc):
                return
            raise
        if 0 <= running < len(self._transfers):
            self._collect(running)

    def _on_ready(self, fd: int, cselect: int) -> None:
        try:
            running = self._socket_action(fd, cselect)[1]
        except BaseException as exc:
            if self._handed_over(exc):
                return
            raise
        if running < len(self._transfers):
            self._collect(running)

    def _on_timer(self, timeout_ms: int) -> None:
        # One loop callback at a time: a later deadline leaves the pending
        # one in place (it re-arms itself when it fires early), an earlier
        # one replaces it.
        if timeout_ms < 0:
            self._deadline = None
            if self._timer is not None:
                self._timer.cancel()
                self._timer = None
            return
        loop = self._loop
        assert loop is not None
        if timeout_ms == 0:
            self._deadline = 0.0
            if self._timer is not None:
                if self._timer_at == 0.0:
                    return
                self._timer.cancel()
            self._timer_at = 0.0
            self._timer = loop.call_soon(self._on_timeout)
            return
        deadline = loop.time() + timeout_ms / 1000.0
        self._deadline = deadline
        if self._timer is not None:
            if self._timer_at <= deadline:
                return
            self._timer.cancel()
        self._timer_at = deadline
        self._timer = loop.call_at(deadline, self._on_timeout)

    def _on_timeout(self) -> None:
        self._timer = None
        deadline = self._deadline
        if deadline is None:
            return
        if deadline:
            loop = self._loop
            assert loop is not None
            if deadline > loop.time() + _TIMER_SLACK:
                self._timer_at = deadline
                self._timer = loop.call_at(deadline, self._on_timeout)
                return
        self._deadline = None
        self._on_ready(_SOCKET_TIMEOUT, 0)

    def _release(self) -> None:
        loop = self._loop
        if loop is not None and loop.is_closed():
            loop = None
        epoll = self._epoll
        if self._events is not None:
            if loop is not None:
                loop.remove_reader(self._events)
        elif epoll is not None:
            if loop is not None:
                loop.remove_reader(epoll.fileno())
            epoll.close()
        elif loop is not None:
            for fd, mask in self._watched.items():
                if mask & _POLL_IN:
                    loop.remove_reader(fd)
                if mask & _POLL_OUT:
                    loop.remove_writer(fd)
        self._watched.clear()
        for handle in (self._timer, self._audit):
            if handle is not None:
                handle.cancel()
        self._timer = self._audit = None
        self._deadline = None
        self._multi.close()


class _Body:
    """The part of a stream that the session and libcurl see: the chunks
    received and not yet consumed.  It is the stream's `_Waiter`: the
    session hands it the transfer's outcome."""

    __slots__ = (
        "session",
        "curl",
        "chunks",
        "size",
        "limit",
        "paused",
        "pauses",
        "waiter",
        "finished",
        "error",
        "installed",
    )

    def __init__(self, session: Session, curl: _tolvex.Curl, limit: int) -> None:
        self.session = session
        self.curl = curl
        self.chunks: collections.deque[bytes] = collections.deque()
        self.size = 0
        self.limit = limit
        self.paused = False
        self.pauses = 0
        # The future the consumer awaits while no chunk is there.
        self.waiter: asyncio.Future[None] | None = None
        self.finished = False
        self.error: BaseException | None = None
        # Whether `write` is the WRITEFUNCTION of `curl`.
        self.installed = False

    def write(self, data: bytes) -> int | None:
        if self.size >= self.limit:
            # libcurl keeps this chunk and delivers it again on unpause.
            self.paused = True
            self.pauses += 1
            return _WRITEFUNC_PAUSE
        self.chunks.append(data)
        self.size += len(data)
        waiter = self.waiter
        if waiter is not None:
            self.waiter = None
            if not waiter.done():
                waiter.set_result(None)
        return None

    def done(self) -> bool:
        return self.finished

    def set_result(self, result: None) -> None:
        self.finish()

    def set_exception(self, exception: BaseException) -> None:
        self.error = exception
        self.finish()

    def finish(self) -> None:
        self.finished = True
        self.paused = False
        waiter = self.waiter
        if waiter is not None:
            self.waiter = None
            if not waiter.done():
                waiter.set_result(None)

    def start(self) -> None:
        curl = self.curl
        curl.setopt(_WRITEFUNCTION, self.write)
        self.installed = True
        try:
            self.session._start(curl, self)
        except BaseException:
            self.uninstall()
            raise

    def stop(self) -> None:
        """Ends the transfer if it still runs; the handle lets go of the
        stream's callable."""
        session = self.session
        curl = self.curl
        if session._transfers.get(curl) is self:
            session._stop(curl)
        self.finish()
        self.uninstall()

    def uninstall(self) -> None:
        if self.installed:
            self.installed = False
            if not self.curl.closed:
                self.curl.unsetopt(_WRITEFUNCTION)

    def abandon(self) -> None:
        """stop() for a stream that was dropped: what it buffered goes too."""
        self.chunks.clear()
        self.size = 0
        if not self.finished or self.installed:
            self.stop()


class Stream:
    """The body of one transfer, as an asynchronous iterator of `bytes`
    chunks; made by `Session.stream`.

    The transfer starts with the first iteration (or on entering
    `async with`).  A failed transfer raises `tolvex.error` from the
    iteration once the chunks received before the failure are consumed.
    Leaving `async with`, `aclose()`, cancelling the task that waits for a
    chunk, or dropping the stream unfinished stops the transfer.
    """

    __slots__ = ("_body", "_started", "__weakref__")

    def __init__(self, session: Session, curl: _tolvex.Curl, limit: int) -> None:
        if limit < 1:
            raise ValueError("limit must be at least 1")
        self._body = _Body(session, curl, limit)
        self._started = False

    @property
    def curl(self) -> _tolvex.Curl:
        """The `Curl` whose body this is."""
        return self._body.curl

    @property
    def buffered(self) -> int:
        """How many bytes have arrived that the consumer has not taken yet."""
        return self._body.size

    @property
    def paused(self) -> bool:
        """True while the transfer is paused because the consumer is behind."""
        return self._body.paused

    @property
    def pauses(self) -> int:
        """How many times the transfer was paused so far."""
        return self._body.pauses

    def _begin(self) -> None:
        body = self._body
        body.session._check_loop()
        self._started = True
        body.start()

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> bytes:
        body = self._body
        if not self._started:
            self._begin()
        chunks = body.chunks
        while not chunks:
            if body.finished:
                body.stop()
                exc = body.error
                if exc is not None:
                    body.error = None
                    raise exc
                raise StopAsyncIteration
            loop = body.session._loop
            assert loop is not None
            waiter = body.waiter = loop.create_future()
            try:
                await waiter
            except _CancelledError:
                body.waiter = None
                body.stop()
                raise
        chunk = chunks.popleft()
        body.size -= len(chunk)
        if body.paused and body.size <= body.limit >> 1:
            body.paused = False
            # libcurl may hand over what it kept before this returns.
            body.curl.pause(_PAUSE_CONT)
        return chunk

    async def aclose(self) -> None:
        """Stops the transfer if it still runs and drops what it buffered."""
        body = self._body
        if self._started:
            body.session._check_loop()
            body.abandon()

    async def __aenter__(self) -> Self:
        if not self._started:
            self._begin()
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.aclose()

    def __del__(self) -> None:
        body = self._body
        if not self._started or (body.finished and not body.installed):
            return
        session = body.session
        loop = session._loop
        assert loop is not None
        # A finalizer runs wherever the last reference went: inside one of
        # libcurl's callbacks (where the multi refuses changes) or in
        # another thread the stop is left to the loop.
        if session._thread == threading.get_ident():
            try:
                body.abandon()
                return
            except error:
                pass
        try:
            loop.call_soon_threadsafe(body.abandon)
        except RuntimeError:
            pass
