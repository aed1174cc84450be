"""The HTTP client's configuration values: timeouts, connection limits,
retries and credentials."""

from __future__ import annotations

import math
from collections.abc import Collection
from typing import Final

__all__ = [
    "Timeout",
    "Limits",
    "Retry",
    "BasicAuth",
    "DigestAuth",
    "BearerAuth",
    "DEFAULT_TIMEOUT",
    "DEFAULT_LIMITS",
]


class _Unset:
    """A phase of a Timeout that was not named."""

    def __repr__(self) -> str:
        return "..."


_UNSET: Final = _Unset()


def _seconds(name: str, value: float | None) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(
            "%s must be a number of seconds or None, not %s" % (name, type(value).__name__)
        )
    if not value >= 0 or math.isinf(value):
        raise ValueError("%s must be a finite number of seconds >= 0, not %r" % (name, value))
    return float(value)


class Timeout:
    """How long each phase of a request may take, in seconds (None: no
    limit).  A phase not named takes `timeout`: `Timeout(5.0)` sets all
    four, `Timeout(5.0, connect=1.0)` all but one.

    `connect`: connection set-up, TLS included; `read`: the longest wait for
    response bytes; `write`: the longest wait to send request bytes; `pool`:
    the longest wait for a free connection under the client's `Limits`.
    libcurl checks the read and write timeouts as a transfer stalled for
    that many whole seconds (a fraction counts as a second)."""

    __slots__ = ("connect", "read", "write", "pool")

    connect: float | None
    read: float | None
    write: float | None
    pool: float | None

    def __init__(
        self,
        timeout: float | None = None,
        *,
        connect: float | None | _Unset = _UNSET,
        read: float | None | _Unset = _UNSET,
        write: float | None | _Unset = _UNSET,
        pool: float | None | _Unset = _UNSET,
    ) -> None:
        default = _seconds("timeout", timeout)
        for name, value in (("connect", connect), ("read", read), ("write", write), ("pool", pool)):
            object.__setattr__(
                self, name, default if isinstance(value, _Unset) else _seconds(name, value)
            )

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Timeout is immutable")

    def _key(self) -> tuple[float | None, ...]:
        return (self.connect, self.read, self.write, self.pool)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Timeout) and self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        c, r, w, p = self._key()
        if c == r == w == p:
            return "Timeout(%r)" % c
        return "Timeout(connect=%r, read=%r, write=%r, pool=%r)" % (c, r, w, p)


DEFAULT_TIMEOUT: Final = Timeout(connect=10.0, read=30.0, write=30.0, pool=10.0)


def _count(name: str, value: int | None, minimum: int) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int or None, not %s" % (name, type(value).__name__))
    if value < minimum:
        raise ValueError("%s must be at least %d, not %d" % (name, minimum, value))
    return value


class Limits:
    """Bounds on the connections of a client.

    `max_connections`: transfers running at once (each holds a connection;
    more wait up to the pool timeout); `max_connections_per_host`: the same
    for one host (AsyncClient); `max_keepalive_connections`: idle
    connections kept open; `keepalive_expiry`: seconds an idle connection
    is kept (libcurl counts whole seconds)."""

    __slots__ = (
        "max_connections",
        "max_connections_per_host",
        "max_keepalive_connections",
        "keepalive_expiry",
    )

    def __init__(
        self,
        *,
        max_connections: int | None = 100,
        max_connections_per_host: int | None = None,
        max_keepalive_connections: int | None = 20,
        keepalive_expiry: float | None = 5.0,
    ) -> None:
        self.max_connections = _count("max_connections", max_connections, 1)
        self.max_connections_per_host = _count(
            "max_connections_per_host", max_connections_per_host, 1
        )
        self.max_keepalive_connections = _count(
            "max_keepalive_connections", max_keepalive_connections, 0
        )
        self.keepalive_expiry = _seconds("keepalive_expiry", keepalive_expiry)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Limits) and all(
            getattr(self, name) == getattr(other, name) for name in self.__slots__
        )

    def __repr__(self) -> str:
        return "Limits(%s)" % ", ".join("%s=%r" % (n, getattr(self, n)) for n in self.__slots__)


DEFAULT_LIMITS: Final = Limits()


class Retry:
    """Which failed requests are tried again, and how long to wait between
    tries.

    Connection failures are retried for every method (the request was not
    sent); responses whose status is in `status_forcelist` for the
    `allowed_methods`.  The n-th retry waits `backoff_factor * 2**(n-1)`
    seconds, at most `backoff_max`, or what the response's Retry-After
    header asks (also at most `backoff_max`).  After `total` retries the
    last failure is raised, or the last response returned."""

    __slots__ = (
        "total",
        "backoff_factor",
        "backoff_max",
        "status_forcelist",
        "allowed_methods",
        "respect_retry_after_header",
    )

    status_forcelist: frozenset[int]
    allowed_methods: frozenset[str]

    def __init__(
        self,
        total: int = 3,
        *,
        backoff_factor: float = 0.5,
        backoff_max: float = 120.0,
        status_forcelist: Collection[int] = (429, 502, 503, 504),
        allowed_methods: Collection[str] = ("GET", "HEAD", "OPTIONS", "PUT", "DELETE", "TRACE"),
        respect_retry_after_header: bool = True,
    ) -> None:
        count = _count("total", total, 0)
        assert count is not None
        self.total = count
        factor = _seconds("backoff_factor", backoff_factor)
        longest = _seconds("backoff_max", backoff_max)
        if factor is None or longest is None:
            raise TypeError("backoff_factor and backoff_max must be numbers of seconds")
        self.backoff_factor = factor
        self.backoff_max = longest
        self.status_forcelist = frozenset(int(s) for s in status_forcelist)
        self.allowed_methods = frozenset(m.upper() for m in allowed_methods)
        self.respect_retry_after_header = bool(respect_retry_after_header)

    def backoff(self, retry: int, retry_after: float = 0.0) -> float:
        """Seconds to wait before the `retry`-th retry (1 for the first);
        `retry_after`: what the response asked for (0: nothing)."""
        if retry_after > 0 and self.respect_retry_after_header:
            wait = retry_after
        else:
            wait = self.backoff_factor * 2 ** (retry - 1)
        return min(wait, self.backoff_max)

    def __repr__(self) -> str:
        return "Retry(total=%d, backoff_factor=%r)" % (self.total, self.backoff_factor)


def _credential(name: str, value: str) -> str:
    if not isinstance(value, str):
        raise TypeError("%s must be str, not %s" % (name, type(value).__name__))
    if "\r" in value or "\n" in value or "\0" in value:
        raise ValueError("%s must not contain CR, LF or NUL" % name)
    return value


class BasicAuth:
    """HTTP Basic authentication (sent with the first request)."""

    __slots__ = ("user", "password")

    def __init__(self, user: str, password: str) -> None:
        self.user = _credential("user", user)
        self.password = _credential("password", password)

    def __repr__(self) -> str:
        return "BasicAuth(%r, ...)" % self.user


class DigestAuth:
    """HTTP Digest authentication: libcurl answers the server's challenge."""

    __slots__ = ("user", "password")

    def __init__(self, user: str, password: str) -> None:
        self.user = _credential("user", user)
        self.password = _credential("password", password)

    def __repr__(self) -> str:
        return "DigestAuth(%r, ...)" % self.user


class BearerAuth:
    """A bearer token, sent as `Authorization: Bearer <token>`."""

    __slots__ = ("token",)

    def __init__(self, token: str) -> None:
        self.token = _credential("token", token)

    def __repr__(self) -> str:
        return "BearerAuth(...)"
