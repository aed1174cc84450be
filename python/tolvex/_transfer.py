"""What the synchronous and the asynchronous client share: checking and
encoding a request's arguments, turning them into options of a `Curl`,
reading the response out of what libcurl delivered, the cookie jar, and the
configuration every handle of a client starts with."""

from __future__ import annotations

import base64
import io
import json as jsonlib
import math
import mimetypes
import os
import threading
from collections import deque
from collections.abc import Iterable, Iterator, Mapping, MutableMapping, Sequence
from typing import IO, Any, Final, TypeAlias, TypedDict, Union
from urllib.parse import quote, urlencode, urljoin, urlsplit

from tolvex import _tolvex
from tolvex._config import BasicAuth, BearerAuth, DigestAuth, Limits, Retry, Timeout
from tolvex._errors import (
    CONNECT,
    READ,
    WRITE,
    ConnectError,
    ConnectTimeout,
    HTTPError,
    InvalidURL,
    RequestError,
    engine_error,
)
from tolvex._models import Headers, HeaderTypes, Request, Response

T = _tolvex
_URL = T.URL
_HTTPGET = T.HTTPGET

# --- the types of the arguments ------------------------------------------------------

PrimitiveData: TypeAlias = str | int | float | bool | None
QueryParams: TypeAlias = (
    Mapping[str, PrimitiveData | Sequence[PrimitiveData]] | Sequence[tuple[str, PrimitiveData]]
)
CookieTypes: TypeAlias = Mapping[str, str]
RequestContent: TypeAlias = Union[bytes, str, Iterable[bytes], IO[bytes]]
FileContent: TypeAlias = Union[IO[bytes], bytes]
FileTypes: TypeAlias = Union[
    FileContent,
    tuple[str | None, FileContent],
    tuple[str | None, FileContent, str | None],
    tuple[str | None, FileContent, str | None, Mapping[str, str]],
]
AuthTypes: TypeAlias = tuple[str, str] | BasicAuth | DigestAuth | BearerAuth
TimeoutTypes: TypeAlias = Timeout | float | tuple[float | None, float | None] | None
CertTypes: TypeAlias = str | tuple[str, str]
VerifyTypes: TypeAlias = bool | str


class RequestOptions(TypedDict, total=False):
    """The keyword arguments of every request."""

    params: QueryParams
    headers: HeaderTypes
    cookies: CookieTypes
    content: RequestContent
    data: Mapping[str, Any] | bytes | str
    json: Any
    files: Mapping[str, FileTypes]
    auth: AuthTypes | None
    timeout: TimeoutTypes
    follow_redirects: bool
    allow_redirects: bool


# --- what the engine offers ------------------------------------------------------------

_FEATURES = T.version_info()[4]
# What Accept-Encoding offers: the codings libcurl decodes.
ACCEPT_ENCODING: Final = ", ".join(
    ["gzip", "deflate"]
    + (["br"] if _FEATURES & T.CURL_VERSION_BROTLI else [])
    + (["zstd"] if _FEATURES & T.CURL_VERSION_ZSTD else [])
)
USER_AGENT: Final = "tolvex/" + T.version.split()[0].partition("/")[2]
# FOLLOWLOCATION's CURLFOLLOW_OBEYCODE: after a 303 (and a 301 or 302 to a
# POST) the next request is a GET without a body, whatever the method was.
_FOLLOW: Final = 2
_HTTP_ONLY: Final = T.PROTO_HTTP | T.PROTO_HTTPS
# libcurl reads 0 as its own default of 300 s; "no limit" is the longest it
# takes.
_NO_LIMIT_MS: Final = 2**31 - 1
# What a stream buffers for a slow reader before the transfer is paused.
STREAM_LIMIT: Final = 1 << 20

_HTTP_VERSIONS: Final = {
    None: T.CURL_HTTP_VERSION_2TLS,
    "1.1": T.CURL_HTTP_VERSION_1_1,
    "2": T.CURL_HTTP_VERSION_2,
    "3": T.CURL_HTTP_VERSION_3,
    "3only": T.CURL_HTTP_VERSION_3ONLY,
}
_PROXY_SCHEMES: Final = frozenset(("http", "https", "socks4", "socks4a", "socks5", "socks5h"))

# Options a request may change, and the value that undoes the change when
# the client's own configuration does not say otherwise.
_UNDO: Final[dict[int, Any]] = {
    T.HTTPGET: 0,
    T.NOBODY: 0,
    T.POST: 0,
    T.POSTFIELDS: b"",
    T.POSTFIELDSIZE_LARGE: -1,
    T.HTTPAUTH: T.HTTPAUTH_BASIC,
    T.VERBOSE: 0,
    T.POSTREDIR: 0,
}

_TOKEN_CHARS: Final = frozenset(
    "!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
)
_REDIRECTS: Final = frozenset((301, 302, 303, 307, 308))


def default_headers() -> Headers:
    return Headers(
        [("User-Agent", USER_AGENT), ("Accept", "*/*"), ("Accept-Encoding", ACCEPT_ENCODING)]
    )


# --- checking and encoding arguments -----------------------------------------------------


def _ascii_url(url: str) -> str:
    """A URL with non-ASCII text made ASCII: the host by IDNA, the rest
    percent-encoded as UTF-8."""
    parts = urlsplit(url)
    host = parts.hostname or ""
    try:
        ascii_host = host.encode("idna").decode() if not host.isascii() else host
    except UnicodeError as e:
        raise InvalidURL("invalid host name %r: %s" % (host, e)) from None
    netloc = parts.netloc.replace(host, ascii_host) if host else parts.netloc
    safe = "!$&'()*+,;=:@/?%[]~"
    return parts._replace(
        netloc=quote(netloc, safe=safe),
        path=quote(parts.path, safe=safe),
        query=quote(parts.query, safe=safe),
        fragment=quote(parts.fragment, safe=safe),
    ).geturl()


# URLs checked already: a client asks again for the same few.
_checked: dict[str, str] = {}


def check_url(url: str) -> str:
    """The URL to hand libcurl, or InvalidURL: only absolute http and https
    URLs with a host pass."""
    checked = _checked.get(url)
    if checked is None:
        checked = _check_url(url)
        if len(_checked) >= 512:
            _checked.clear()
        _checked[url] = checked
    return checked


def _check_url(url: str) -> str:
    if any(c < " " or c == "\x7f" for c in url):
        raise InvalidURL("URL contains a control character: %r" % url)
    if " " in url:
        url = url.strip().replace(" ", "%20")
    if not url.isascii():
        url = _ascii_url(url)
    try:
        parts = urlsplit(url)
        parts.port
    except ValueError as e:
        raise InvalidURL("invalid URL %r: %s" % (url, e)) from None
    if parts.scheme.lower() not in ("http", "https"):
        raise InvalidURL(
            "unsupported URL scheme %r in %r: only http and https are requested"
            % (parts.scheme, url)
            if parts.scheme
            else "URL %r has no scheme (http:// or https://)" % url
        )
    if not parts.hostname:
        raise InvalidURL("URL %r has no host" % url)
    return url


def _param_text(value: Any) -> str:
    if value is True:
        return "true"
    if value is False:
        return "false"
    if value is None:
        return ""
    if isinstance(value, (str, int, float)):
        return str(value)
    raise TypeError(
        "query parameter values must be str, int, float, bool or None, not %s"
        % type(value).__name__
    )


def encode_params(params: QueryParams) -> str:
    if isinstance(params, Mapping):
        pairs = []
        for key, value in params.items():
            if isinstance(value, (list, tuple)):
                pairs += [(str(key), _param_text(v)) for v in value]
            else:
                pairs.append((str(key), _param_text(value)))
    elif isinstance(params, (str, bytes)):
        raise TypeError(
            "params must be a mapping or a sequence of pairs, not %s" % type(params).__name__
        )
    else:
        pairs = [(str(key), _param_text(value)) for key, value in params]
    return urlencode(pairs)


def add_query(url: str, query: str) -> str:
    if not query:
        return url
    url, hash_, fragment = url.partition("#")
    separator = "&" if "?" in url else "?"
    if url.endswith(("?", "&")):
        separator = ""
    return url + separator + query + hash_ + fragment


def join_url(base: str, url: str) -> str:
    """A request URL relative to the client's base URL: appended to its
    path."""
    if urlsplit(url).scheme:
        return url
    if not base.endswith("/"):
        base += "/"
    return base + url.lstrip("/")


def check_header(name: str, value: str) -> str:
    """The header line for libcurl (an empty value is kept as empty)."""
    if not isinstance(name, str) or not isinstance(value, str):
        raise TypeError(
            "header names and values must be str, not %s: %s"
            % (type(name).__name__, type(value).__name__)
        )
    if not name or not _TOKEN_CHARS.issuperset(name):
        raise ValueError("invalid header name %r" % name)
    if "\r" in value or "\n" in value or "\0" in value:
        raise ValueError("header %r: the value must not contain CR, LF or NUL" % name)
    # libcurl drops a header given as "Name:"; "Name;" sends it empty.
    return "%s: %s" % (name, value) if value else name + ";"


def header_options(pairs: list[tuple[str, str]]) -> dict[int, Any]:
    """Headers as libcurl takes them: User-Agent and Accept-Encoding as the
    options that make it send them (which also keeps decoding on), "Accept:
    */*" left to libcurl, which sends it anyway, and the rest as HTTPHEADER
    lines.  A header left out is one libcurl must not send."""
    lines = []
    agent = encoding = accept = None
    for name, value in pairs:
        key = name.lower()
        if key == "user-agent" and agent is None and value:
            agent = value
        elif key == "accept-encoding" and encoding is None and value:
            encoding = value
        else:
            if key == "accept":
                accept = value if accept is None else ""
            lines.append(check_header(name, value))
    if accept == "*/*":
        lines.remove("Accept: */*")
    elif accept is None:
        lines.append("Accept:")
    if agent is None:
        # The header goes; the option must hold some text.
        lines.append("User-Agent:")
        agent = T.version
    if encoding is None:
        lines.append("Accept-Encoding:")
    return {T.HTTPHEADER: lines or None, T.USERAGENT: agent, T.ACCEPT_ENCODING: encoding or ""}


def check_method(method: str) -> str:
    if not isinstance(method, str):
        raise TypeError("method must be str, not %s" % type(method).__name__)
    method = method.upper()
    if not method or not _TOKEN_CHARS.issuperset(method):
        raise ValueError("invalid method %r" % method)
    return method


def cookie_header(cookies: Mapping[str, str]) -> str:
    if not isinstance(cookies, Mapping):
        raise TypeError("cookies must be a mapping, not %s" % type(cookies).__name__)
    parts = []
    for name, value in cookies.items():
        if not isinstance(name, str) or not isinstance(value, str):
            raise TypeError("cookie names and values must be str")
        if not name or any(c in name for c in "=;, \t\r\n\0") or any(c in value for c in ";\r\n\0"):
            raise ValueError("invalid cookie %r=%r" % (name, value))
        parts.append("%s=%s" % (name, value))
    return "; ".join(parts)


def as_timeout(value: TimeoutTypes) -> Timeout:
    if isinstance(value, Timeout):
        return value
    if isinstance(value, tuple):
        if len(value) != 2:
            raise ValueError("a timeout pair is (connect, read)")
        return Timeout(None, connect=value[0], read=value[1])
    return Timeout(value)


def timeout_options(timeout: Timeout) -> tuple[tuple[int, int], ...]:
    """The options that carry a Timeout: connect as CONNECTTIMEOUT_MS, read
    and write as the low-speed check (a transfer that moves less than a
    byte a second for that many whole seconds fails)."""
    connect = timeout.connect
    connect_ms = _NO_LIMIT_MS if connect is None else max(1, math.ceil(connect * 1000))
    stalls = [t for t in (timeout.read, timeout.write) if t is not None]
    stall = max(1, math.ceil(min(stalls))) if stalls else 0
    return (
        (T.CONNECTTIMEOUT_MS, min(connect_ms, _NO_LIMIT_MS)),
        (T.LOW_SPEED_LIMIT, 1 if stall else 0),
        (T.LOW_SPEED_TIME, stall),
    )


def as_auth(auth: AuthTypes | None) -> BasicAuth | DigestAuth | BearerAuth | None:
    if auth is None or isinstance(auth, (BasicAuth, DigestAuth, BearerAuth)):
        return auth
    if isinstance(auth, tuple) and len(auth) == 2:
        return BasicAuth(*auth)
    raise TypeError(
        "auth must be (user, password), BasicAuth, DigestAuth or BearerAuth, not %s"
        % type(auth).__name__
    )


# --- request bodies ----------------------------------------------------------------------


class BodyReader:
    """A body read as libcurl asks for it, from an iterable of bytes or a
    file object.  What the caller's object raises ends the transfer and is
    kept in `error`, to become the cause of the client's exception."""

    __slots__ = ("source", "iterator", "pending", "start", "size", "error", "started")

    def __init__(self, source: Any) -> None:
        self.source = source
        self.iterator: Iterator[Any] | None = None
        self.pending = b""
        self.error: BaseException | None = None
        self.started = False
        self.start: int | None = None
        # The length of a file object's rest, when it can be known.
        self.size: int | None = None
        if hasattr(source, "read"):
            try:
                if source.seekable():
                    self.start = source.tell()
                    self.size = source.seek(0, io.SEEK_END) - self.start
                    source.seek(self.start)
            except AttributeError, OSError, ValueError:
                self.start = self.size = None
        else:
            self.iterator = iter(source)

    def _next(self, wanted: int) -> bytes:
        if self.iterator is None:
            data = self.source.read(wanted)
        else:
            data = next(self.iterator, b"")
        if isinstance(data, str):
            return data.encode()
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError("a request body must give bytes, not %s" % type(data).__name__)
        return bytes(data)

    def read(self, wanted: int) -> bytes | int:
        self.started = True
        try:
            pending = self.pending
            while not pending:
                pending = self._next(wanted)
                if not pending:
                    return b""
            self.pending = pending[wanted:]
            return pending[:wanted]
        except Exception as e:
            self.error = e
            return T.READFUNC_ABORT

    def read_part(self, userdata: Any, wanted: int) -> bytes | int:
        return self.read(wanted)

    def seek(self, offset: int, origin: int) -> int:
        if self.start is None:
            return T.SEEKFUNC_CANTSEEK
        try:
            self.source.seek(self.start + offset if origin == io.SEEK_SET else offset, origin)
        except Exception as e:
            self.error = e
            return T.SEEKFUNC_FAIL
        self.pending = b""
        return T.SEEKFUNC_OK

    def seek_part(self, userdata: Any, offset: int, origin: int) -> int:
        return self.seek(offset, origin)

    @property
    def replayable(self) -> bool:
        return not self.started or self.start is not None


def _file_parts(
    files: Mapping[str, FileTypes],
) -> list[tuple[str, str | None, Any, str | None, list[str]]]:
    """The parts of a multipart body: (name, filename, bytes or reader,
    content type, header lines), checked before anything is sent."""
    if not isinstance(files, Mapping):
        raise TypeError(
            "files must be a mapping of field names to files, not %s" % type(files).__name__
        )
    parts = []
    for name, value in files.items():
        if not isinstance(name, str):
            raise TypeError("files: field names must be str, not %s" % type(name).__name__)
        filename: Any = None
        content_type: Any = None
        extra: Any = {}
        if isinstance(value, tuple):
            if not 2 <= len(value) <= 4:
                raise TypeError(
                    "files[%r]: a tuple is (filename, file[, content_type[, headers]])" % name
                )
            filename, value, *rest = value
            if rest:
                content_type = rest[0]
            if len(rest) > 1:
                extra = rest[1]
            if filename is not None and not isinstance(filename, str):
                raise TypeError("files[%r]: the filename must be str or None" % name)
            if content_type is not None and not isinstance(content_type, str):
                raise TypeError("files[%r]: the content type must be str or None" % name)
            if not isinstance(extra, Mapping):
                raise TypeError("files[%r]: the part's headers must be a mapping" % name)
        else:
            # A file without a name is named after its field.
            given = getattr(value, "name", None)
            filename = os.path.basename(given) if isinstance(given, str) else name
        if isinstance(value, str):
            value = value.encode()
        if isinstance(value, (bytes, bytearray, memoryview)):
            data: Any = bytes(value)
        elif hasattr(value, "read"):
            data = BodyReader(value)
        else:
            raise TypeError(
                "files[%r] must be a file object, bytes or a tuple, not %s"
                % (name, type(value).__name__)
            )
        if content_type is None and filename:
            content_type = mimetypes.guess_type(filename)[0] or "application/octet-stream"
        lines = [check_header(k, v) for k, v in extra.items()]
        parts.append((name, filename, data, content_type, lines))
    return parts


def _form_fields(data: Mapping[str, Any]) -> list[tuple[str, str]]:
    fields = []
    for key, value in data.items():
        values = value if isinstance(value, (list, tuple)) else [value]
        for v in values:
            fields.append((str(key), v if isinstance(v, str) else _param_text(v)))
    return fields


# --- a prepared request ------------------------------------------------------------------


class Prepared:
    """A request checked and turned into options, ready for any handle."""

    __slots__ = (
        "method",
        "url",
        "pairs",
        "opts",
        "method_option",
        "reader",
        "parts",
        "fields",
        "digest",
        "follow",
        "upload_size",
        "content_type",
        "stamp",
    )

    def __init__(self, method: str, url: str) -> None:
        self.method = method
        self.url = url
        # The headers as given to libcurl, for Request.headers.
        self.pairs: list[tuple[str, str]] = []
        # Options of this request beyond the client's own, and the one that
        # sets the method (see Handle.apply).
        self.opts: dict[int, Any] = {}
        self.method_option: tuple[int, Any] = (T.HTTPGET, 1)
        self.reader: BodyReader | None = None
        self.parts: list[tuple[str, str | None, Any, str | None, list[str]]] | None = None
        self.fields: list[tuple[str, str]] = []
        self.digest = False
        self.follow = True
        # The size of the body, -1 when unknown, 0 without one.
        self.upload_size = 0
        # The Content-Type of a body given as data or json.
        self.content_type = ""
        # What a plain request was prepared from (ClientConfig.plain).
        self.stamp: tuple[Any, ...] = ()

    def request(self) -> Request:
        return Request._sent(self.method, self.url, self.pairs)

    @property
    def replayable(self) -> bool:
        """Whether the body can be sent again."""
        readers = (
            [self.reader]
            if self.reader is not None
            else [data for _, _, data, _, _ in self.parts or () if isinstance(data, BodyReader)]
        )
        return all(r.replayable for r in readers)


# --- configuration common to both clients --------------------------------------------------


class Cookies(MutableMapping[str, str]):
    """The cookies a client holds: those responses set (kept by libcurl's
    cookie engine, sent back to the hosts they belong to) and those the
    caller set here (sent on every request, but never on a redirect to
    another host).  Names map to values; a name set by several hosts gives
    the last one."""

    def __init__(self, config: ClientConfig) -> None:
        self._config = config
        self._own: dict[str, str] = {}
        # The caller's cookies as the COOKIE option sends them.
        self._header = ""
        self._lock = threading.Lock()

    def _engine(self) -> list[tuple[str, str]]:
        lines = self._config.cookie_control(None)
        pairs = []
        for line in lines:
            fields = line.split("\t")
            if len(fields) >= 7:
                pairs.append((fields[5], fields[6]))
        return pairs

    def __getitem__(self, name: str) -> str:
        if name in self._own:
            return self._own[name]
        found = [v for n, v in self._engine() if n == name]
        if not found:
            raise KeyError(name)
        return found[-1]

    def __setitem__(self, name: str, value: str) -> None:
        with self._lock:
            self._header = cookie_header({**self._own, name: value})
            self._own[name] = value

    def __delitem__(self, name: str) -> None:
        with self._lock:
            found = self._own.pop(name, None) is not None
            self._header = cookie_header(self._own)
        if not self._config.cookie_control(None, drop=name) and not found:
            raise KeyError(name)

    def __iter__(self) -> Iterator[str]:
        names = dict.fromkeys(n for n, _ in self._engine())
        names.update(dict.fromkeys(self._own))
        return iter(list(names))

    def __len__(self) -> int:
        return len(set(n for n, _ in self._engine()) | set(self._own))

    def clear(self) -> None:
        with self._lock:
            self._own.clear()
            self._header = ""
        self._config.cookie_control(None, drop="")

    def __repr__(self) -> str:
        return "<Cookies %r>" % dict(self.items())


class ClientConfig:
    """A client's configuration, as the options every handle of the client
    starts with, and what it prepares requests from."""

    def __init__(
        self,
        *,
        base_url: str | None,
        headers: HeaderTypes | None,
        cookies: CookieTypes | None,
        params: QueryParams | None,
        auth: AuthTypes | None,
        timeout: TimeoutTypes,
        follow_redirects: bool,
        max_redirects: int,
        verify: VerifyTypes,
        cert: CertTypes | None,
        proxy: str | None,
        trust_env: bool,
        http_version: str | None,
        limits: Limits,
        retries: int | Retry | None,
    ) -> None:
        self.base_url = check_url(base_url) if base_url is not None else None
        self._headers = default_headers()
        if headers is not None:
            self._headers.update(Headers(headers))
        self._header_cache: tuple[Headers, int, dict[int, Any], list[tuple[str, str]]] | None = None
        # Plain requests (no keyword arguments) by (method, url), prepared
        # once while the client's headers and cookies stay as they are.
        self._plain: dict[tuple[str, str], Prepared] = {}
        self.params = encode_params(params) if params is not None else ""
        self.auth = as_auth(auth)
        self.timeout = as_timeout(timeout)
        self.follow_redirects = bool(follow_redirects)
        if (
            isinstance(max_redirects, bool)
            or not isinstance(max_redirects, int)
            or max_redirects < 0
        ):
            raise ValueError("max_redirects must be an int >= 0")
        self.max_redirects = max_redirects
        if http_version not in _HTTP_VERSIONS:
            raise ValueError(
                "http_version must be None, '1.1', '2', '3' or '3only', not %r" % (http_version,)
            )
        if not isinstance(limits, Limits):
            raise TypeError("limits must be a Limits")
        self.limits = limits
        if retries is None or isinstance(retries, Retry):
            self.retry = retries
        elif isinstance(retries, int) and not isinstance(retries, bool):
            # An int retries connection failures only.
            self.retry = Retry(retries, status_forcelist=())
        else:
            raise TypeError("retries must be None, an int or a Retry")
        self.share = T.CurlShare()
        self.share.share(T.LOCK_DATA_COOKIE, T.LOCK_DATA_DNS, T.LOCK_DATA_SSL_SESSION)
        self.base = self._base_options(verify, cert, proxy, trust_env, http_version)
        self._control: T.Curl | None = None
        self._control_lock = threading.Lock()
        self.cookies = Cookies(self)
        for name, value in (cookies or {}).items():
            self.cookies[name] = value

    def _base_options(
        self,
        verify: VerifyTypes,
        cert: CertTypes | None,
        proxy: str | None,
        trust_env: bool,
        http_version: str | None,
    ) -> dict[int, Any]:
        base: dict[int, Any] = {
            T.SHARE: self.share,
            T.COOKIEFILE: "",
            T.ACCEPT_ENCODING: "",
            T.PROTOCOLS: _HTTP_ONLY,
            T.REDIR_PROTOCOLS: _HTTP_ONLY,
            T.NOSIGNAL: 1,
            T.FOLLOWLOCATION: _FOLLOW if self.follow_redirects else 0,
            T.MAXREDIRS: self.max_redirects,
            T.HTTP_VERSION: _HTTP_VERSIONS[http_version],
            T.NETRC: T.NETRC_OPTIONAL if trust_env else T.NETRC_IGNORED,
            T.COOKIE: None,
            T.USERAGENT: T.version,
        }
        base.update(timeout_options(self.timeout))
        limits = self.limits
        if limits.max_keepalive_connections is not None:
            base[T.MAXCONNECTS] = max(1, limits.max_keepalive_connections)
        if limits.keepalive_expiry is not None:
            base[T.MAXAGE_CONN] = max(1, math.ceil(limits.keepalive_expiry))
        if verify is False:
            base[T.SSL_VERIFYPEER] = 0
            base[T.SSL_VERIFYHOST] = 0
        elif isinstance(verify, str):
            if not os.path.exists(verify):
                raise ValueError("verify: no CA file or directory at %r" % verify)
            base[T.CAPATH if os.path.isdir(verify) else T.CAINFO] = verify
        elif verify is not True:
            raise TypeError("verify must be True, False or a path")
        if cert is not None:
            if isinstance(cert, str):
                base[T.SSLCERT] = cert
            elif isinstance(cert, tuple) and len(cert) == 2:
                base[T.SSLCERT], base[T.SSLKEY] = cert
            else:
                raise TypeError("cert must be a path or a (cert, key) pair of paths")
        if proxy is not None:
            if not isinstance(proxy, str):
                raise TypeError("proxy must be a URL")
            if urlsplit(proxy).scheme.lower() not in _PROXY_SCHEMES:
                raise InvalidURL("unsupported proxy URL %r" % proxy)
            base[T.PROXY] = proxy
            if not trust_env:
                base[T.NOPROXY] = ""
        elif not trust_env:
            # An empty proxy overrides the *_proxy variables.
            base[T.PROXY] = ""
        return base

    # --- what the caller may change ---

    @property
    def headers(self) -> Headers:
        return self._headers

    @headers.setter
    def headers(self, value: HeaderTypes) -> None:
        self._headers = Headers(value)

    def header_options(self) -> tuple[dict[int, Any], list[tuple[str, str]]]:
        """The client's headers as options (header_options) and as pairs;
        cached until they change."""
        headers = self._headers
        cache = self._header_cache
        if cache is not None and cache[0] is headers and cache[1] == headers._version:
            return cache[2], cache[3]
        pairs = headers.multi_items()
        opts = header_options(pairs)
        self._header_cache = (headers, headers._version, opts, pairs)
        return opts, pairs

    def plain(self, method: str, url: str) -> Prepared:
        """A request without keyword arguments, prepared once."""
        headers = self._headers
        stamp = (headers, headers._version, self.cookies._header)
        p = self._plain.get((method, url))
        if p is not None and p.stamp == stamp:
            return p
        p = self.prepare(method, url, {})
        p.stamp = stamp
        plain = self._plain
        if len(plain) >= 256:
            plain.clear()
        plain[(method, url)] = p
        return p

    def cookie_control(self, replace: list[str] | None, drop: str | None = None) -> list[str]:
        """The cookie engine's cookies as Netscape lines.  With `replace`,
        first replaces them all; with `drop`, removes those of that name
        (every one for ""), and returns those removed."""
        with self._control_lock:
            control = self._control
            if control is None:
                control = self._control = T.Curl()
                control.setopt(T.SHARE, self.share)
                control.setopt(T.COOKIEFILE, "")
            if drop is not None:
                lines = control.getinfo(T.INFO_COOKIELIST)
                assert isinstance(lines, list)
                dropped = [
                    line for line in lines if not drop or str(line).split("\t")[5:6] == [drop]
                ]
                if dropped:
                    replace = [str(line) for line in lines if line not in dropped]
            if replace is not None:
                control.setopt(T.COOKIELIST, "ALL")
                for line in replace:
                    control.setopt(T.COOKIELIST, line)
            if drop is not None:
                return [str(line) for line in dropped]
            lines = control.getinfo(T.INFO_COOKIELIST)
        assert isinstance(lines, list)
        return [line for line in lines if isinstance(line, str)]

    def close(self) -> None:
        with self._control_lock:
            if self._control is not None:
                self._control.close()
        self.share.close()

    # --- preparing requests ---

    def prepare(self, method: str, url: str, kwargs: RequestOptions) -> Prepared:
        method = check_method(method)
        if not isinstance(url, str):
            raise TypeError("url must be str, not %s" % type(url).__name__)
        if self.base_url is not None:
            url = join_url(self.base_url, url)
        query = self.params
        if "params" in kwargs:
            extra = encode_params(kwargs["params"])
            query = query + "&" + extra if query and extra else query or extra
        url = check_url(add_query(url, query) if query else url)
        p = Prepared(method, url)
        hopts, pairs = self.header_options()
        given = kwargs.get("headers")
        if given is not None:
            extra_pairs = Headers(given).multi_items()
            names = {name.lower() for name, _ in extra_pairs}
            pairs = [pair for pair in pairs if pair[0].lower() not in names] + extra_pairs
            hopts = header_options(pairs)
        cookie = self.cookies._header
        if kwargs.get("cookies"):
            own = cookie_header(kwargs["cookies"])
            cookie = cookie + "; " + own if cookie else own
        follow = kwargs.get("follow_redirects", kwargs.get("allow_redirects"))
        opts = dict(hopts)
        opts[T.COOKIE] = cookie or None
        if follow is not None and bool(follow) != self.follow_redirects:
            opts[T.FOLLOWLOCATION] = _FOLLOW if follow else 0
        p.follow = self.follow_redirects if follow is None else bool(follow)
        if "timeout" in kwargs:
            opts.update(timeout_options(as_timeout(kwargs["timeout"])))
        body = self._body(kwargs, p)
        bodiless = body is None and p.parts is None and p.reader is None
        if method == "HEAD" and not bodiless:
            raise ValueError("a HEAD request cannot have a body (content, data, json or files)")
        p.opts = opts
        if bodiless and method not in ("POST", "PUT", "PATCH"):
            if method == "HEAD":
                p.method_option = (T.NOBODY, 1)
            elif method != "GET":
                opts[T.CUSTOMREQUEST] = method
            p.pairs = pairs
        else:
            self._body_options(p, b"" if body is None else body, pairs)
        auth = as_auth(kwargs["auth"]) if "auth" in kwargs else self.auth
        if auth is not None:
            self._auth_options(p, auth)
        return p

    def _body(self, kwargs: RequestOptions, p: Prepared) -> bytes | None:
        """The body as bytes, or None; a streamed body goes to p.reader, a
        multipart one to p.parts and p.fields."""
        given = [k for k in ("content", "data", "json") if kwargs.get(k) is not None]
        files = kwargs.get("files")
        if len(given) > 1 and not (given == ["data"] and files):
            raise TypeError("give one of content, data and json, not %s" % " and ".join(given))
        if files:
            p.parts = _file_parts(files)
            data = kwargs.get("data")
            if data is not None:
                if not isinstance(data, Mapping):
                    raise TypeError("with files, data must be a mapping of form fields")
                p.fields = _form_fields(data)
            return None
        if "json" in given:
            p.content_type = "application/json"
            return jsonlib.dumps(
                kwargs["json"], ensure_ascii=False, separators=(",", ":"), allow_nan=False
            ).encode()
        content: Any = kwargs.get("content")
        data = kwargs.get("data")
        if data is not None:
            if isinstance(data, Mapping):
                p.content_type = "application/x-www-form-urlencoded"
                return urlencode(_form_fields(data)).encode()
            content = data
        if content is None:
            return None
        if isinstance(content, str):
            return content.encode()
        if isinstance(content, (bytes, bytearray, memoryview)):
            return bytes(content)
        if hasattr(content, "read") or (
            isinstance(content, Iterable) and not isinstance(content, Mapping)
        ):
            p.reader = BodyReader(content)
            return None
        raise TypeError(
            "content must be bytes, str, an iterable of bytes or a file object, "
            "not %s" % type(content).__name__
        )

    def _body_options(self, p: Prepared, body: bytes, pairs: list[tuple[str, str]]) -> None:
        """Options and headers of a request with a body (`body`, unless it is
        streamed or multipart; empty for a POST, PUT or PATCH without one)."""
        opts = p.opts
        names = {name.lower() for name, _ in pairs}
        extra: list[tuple[str, str]] = []
        if p.method != "POST":
            opts[T.CUSTOMREQUEST] = p.method
            # libcurl takes any method with a body for a POST, which a 301
            # or 302 turns into a GET; only a 303 does that to other methods.
            opts[T.POSTREDIR] = T.REDIR_POST_301 | T.REDIR_POST_302
        if p.parts is not None:
            p.upload_size = -1
            # The CurlMime itself belongs to a handle (attach_body).
            p.method_option = (T.MIMEPOST, None)
        elif p.reader is not None:
            size = p.reader.size
            p.upload_size = -1 if size is None else size
            if size is None and "transfer-encoding" not in names:
                extra.append(("Transfer-Encoding", "chunked"))
            if "content-type" not in names:
                extra.append(("Content-Type", ""))
            opts[T.POSTFIELDSIZE_LARGE] = -1 if size is None else size
            opts[T.READFUNCTION] = p.reader.read
            opts[T.SEEKFUNCTION] = p.reader.seek
            p.method_option = (T.POST, 1)
        else:
            p.upload_size = len(body)
            if "content-type" not in names:
                # libcurl would call any body a form; a raw one has no type.
                extra.append(("Content-Type", p.content_type))
            p.method_option = (T.POSTFIELDS, body)
        if "expect" not in names:
            extra.append(("Expect", ""))
        p.pairs = pairs + [pair for pair in extra if pair[1]]
        if extra:
            opts[T.HTTPHEADER] = (opts[T.HTTPHEADER] or []) + [
                check_header(n, v) if v else n + ":" for n, v in extra
            ]

    def _auth_options(self, p: Prepared, auth: BasicAuth | DigestAuth | BearerAuth) -> None:
        opts = p.opts
        if isinstance(auth, BearerAuth):
            opts[T.HTTPHEADER] = (opts[T.HTTPHEADER] or []) + [
                "Authorization: Bearer " + auth.token
            ]
            p.pairs = p.pairs + [("Authorization", "Bearer " + auth.token)]
            return
        digest = isinstance(auth, DigestAuth)
        opts[T.HTTPAUTH] = T.HTTPAUTH_DIGEST if digest else T.HTTPAUTH_BASIC
        opts[T.USERNAME] = auth.user.encode()
        opts[T.PASSWORD] = auth.password.encode()
        if digest:
            # What libcurl computes is read from what it sends (attach_body).
            p.digest = True
            opts[T.VERBOSE] = 1
        else:
            token = base64.b64encode(("%s:%s" % (auth.user, auth.password)).encode())
            p.pairs = p.pairs + [("Authorization", "Basic " + token.decode())]


# --- one handle -----------------------------------------------------------------------------


class Handle:
    """A Curl of a client with the lists its header and write callables fill,
    and the request options it carries now."""

    __slots__ = ("curl", "lines", "chunks", "defaults", "applied", "method", "url", "sent", "multi")

    def __init__(self, base: dict[int, Any]) -> None:
        self.curl = curl = T.Curl()
        self.lines: list[bytes] = []
        self.chunks: list[bytes] = []
        # The request headers libcurl sent (digest auth only).
        self.sent: list[bytes] = []
        # What undoes each option a request set.
        self.defaults = dict(base)
        self.defaults[T.HEADERFUNCTION] = self.lines.append
        self.defaults[T.WRITEFUNCTION] = self.chunks.append
        self.applied: dict[int, Any] = {}
        self.method: tuple[int, Any] = (T.HTTPGET, 1)
        self.url = ""
        # The multi handle that runs this handle's streams.
        self.multi: T.CurlMulti | None = None
        setopt = curl.setopt
        for option, value in self.defaults.items():
            if value is not None:
                setopt(option, value)

    def debug(self, kind: int, data: bytes) -> None:
        if kind == T.INFOTYPE_HEADER_OUT:
            self.sent.append(data)

    def apply(self, opts: dict[int, Any], method: tuple[int, Any]) -> None:
        """Sets the options of a request and undoes those of the previous
        request that this one does not set.  Undoing may change the method
        (libcurl's POSTFIELDS, NOBODY, POST and HTTPGET each set it), so the
        option that sets it goes last, set again whenever anything was
        undone."""
        setopt = self.curl.setopt
        applied = self.applied
        undone = False
        if applied:
            defaults = self.defaults
            for option in applied:
                if option not in opts and option != method[0]:
                    setopt(option, defaults[option] if option in defaults else _UNDO.get(option))
                    undone = True
        old = self.method
        if old[0] != method[0] and old[0] not in opts:
            setopt(old[0], _UNDO.get(old[0]))
            undone = True
        for option, value in opts.items():
            if applied.get(option, setopt) is not value:
                setopt(option, value)
        if undone or old[1] is not method[1] or old[0] != method[0]:
            setopt(*method)
        self.applied = opts
        self.method = method

    def close(self) -> None:
        self.curl.close()
        if self.multi is not None:
            self.multi.close()


def handle_options(
    handle: Handle, p: Prepared, extra: dict[int, Any] | None = None
) -> tuple[dict[int, Any], tuple[int, Any]]:
    """The options and the method option of a request on this handle: with
    what belongs to the handle (a multipart form's CurlMime, the debug
    callable that reads what digest auth sent) and `extra`."""
    opts, method = p.opts, p.method_option
    if p.parts is None and not p.digest and extra is None:
        return opts, method
    opts = dict(opts)
    if p.parts is not None:
        mime = T.CurlMime(handle.curl)
        for name, value in p.fields:
            mime.add_field(name, value)
        for name, filename, data, content_type, lines in p.parts:
            part = mime.addpart()
            part.name(name)
            if filename is not None:
                part.filename(filename)
            if content_type is not None:
                part.type(content_type)
            if lines:
                part.headers(lines)
            if isinstance(data, BodyReader):
                part.data_cb(-1 if data.size is None else data.size, data.read_part, data.seek_part)
            else:
                part.data(data)
        method = (T.MIMEPOST, mime)
    if p.digest:
        handle.sent.clear()
        opts[T.DEBUGFUNCTION] = handle.debug
    if extra:
        opts.update(extra)
    return opts, method


def start(handle: Handle, p: Prepared) -> T.Curl:
    """Readies the handle for the request: its options (those it carries
    already are left alone) and URL."""
    if handle.applied is not p.opts or handle.method is not p.method_option:
        opts, method = handle_options(handle, p)
        handle.apply(opts, method)
    curl = handle.curl
    if handle.url is not p.url:
        curl.setopt(_URL, p.url)
        handle.url = p.url
    return curl


def finish(handle: Handle, p: Prepared) -> Response:
    """The response of a transfer that succeeded on the handle."""
    chunks = handle.chunks
    content = chunks[0] if len(chunks) == 1 else b"".join(chunks)
    chunks.clear()
    response = build_response(handle, p, content)
    if p.method_option[0] != _HTTPGET or p.reader is not None:
        # The body and the callables it holds go with the request.
        handle.apply({}, (_HTTPGET, 1))
    return response


def retry_after(handle: Handle) -> int:
    """Seconds the last response's Retry-After asked for (0: none)."""
    value = handle.curl.getinfo(T.RETRY_AFTER)
    return value if isinstance(value, int) else 0


def failure(handle: Handle, p: Prepared, error: BaseException) -> BaseException:
    """What a failed transfer raises: the client's error for libcurl's
    (code, text), a RequestError for the module's other refusals, and
    anything else as it is."""
    handle.lines.clear()
    handle.chunks.clear()
    if not isinstance(error, T.error):
        return error
    args = error.args
    if len(args) == 2 and isinstance(args[0], int):
        return transfer_error(handle, p, args[0], args[1])
    wrapped = RequestError(str(error), request=p.request())
    wrapped.__cause__ = error
    return wrapped


# --- reading the response ----------------------------------------------------------------------


def _status(line: bytes) -> int:
    try:
        return int(line.split(None, 2)[1])
    except IndexError, ValueError:
        return 0


def split_blocks(lines: list[bytes]) -> list[tuple[bytes, list[bytes]]]:
    """The header blocks of each response libcurl received, as (status line,
    header lines), leaving out interim (1xx) responses and the answers of
    proxies to CONNECT (a 2xx block with another one after it)."""
    blocks: list[tuple[bytes, list[bytes]]] = []
    status: bytes | None = None
    current: list[bytes] = []
    for line in lines:
        if status is None:
            if line[:5] == b"HTTP/":
                status, current = line, []
        elif line == b"\r\n" or line == b"\n":
            blocks.append((status, current))
            status = None
        else:
            current.append(line)
    if status is not None:
        blocks.append((status, current))
    last = len(blocks) - 1
    return [
        block
        for i, block in enumerate(blocks)
        if not (_status(block[0]) < 200 or (_status(block[0]) < 300 and i < last))
    ]


def _location(lines: list[bytes]) -> str | None:
    for line in lines:
        if line[:9].lower() == b"location:":
            return line[9:].strip().decode("latin-1")
    return None


def _sent_pairs(raw: bytes) -> list[tuple[str, str]]:
    text = raw.decode("latin-1")
    pairs = []
    for line in text.split("\r\n")[1:]:
        name, sep, value = line.partition(":")
        if sep:
            pairs.append((name.strip(), value.strip()))
    return pairs


def build_response(handle: Handle, p: Prepared, content: bytes | None) -> Response:
    """The response of a finished transfer, with a Response in `history`
    for each earlier hop."""
    lines = handle.lines
    curl = handle.curl
    total = curl.getinfo(T.TOTAL_TIME_T)
    assert isinstance(total, int)
    if len(lines) > 1 and lines[-1] == b"\r\n" and lines.count(b"\r\n") == 1 and not p.digest:
        # One response, no redirect: its URL is the request's.
        response = Response._received(lines[0], lines[1:-1], p.url, p, content, total / 1e6)
        lines.clear()
        return response
    blocks = split_blocks(lines)
    lines.clear()
    if not blocks:
        raise engine_error(
            T.E_FTP_WEIRD_SERVER_REPLY, "no response headers received", READ, p.request()
        )
    url = p.url
    method = p.method
    history = []
    redirect = curl.getinfo(T.REDIRECT_TIME_T)
    assert isinstance(redirect, int)
    share = redirect / 1e6 / max(1, len(blocks) - 1)
    for status, block in blocks[:-1]:
        response = Response._received(
            status, block, url, Request._sent(method, url, []), b"", share
        )
        history.append(response)
        code = response.status_code
        location = _location(block) if code in _REDIRECTS else None
        if location is not None:
            url = urljoin(url, location)
            if (code == 303 and method != "HEAD") or (code in (301, 302) and method == "POST"):
                method = "GET"
    final_url = curl.getinfo(T.EFFECTIVE_URL)
    assert isinstance(final_url, str)
    pairs = p.pairs
    if p.digest and handle.sent:
        pairs = _sent_pairs(handle.sent[-1])
        handle.sent.clear()
    elif history and urlsplit(final_url).netloc != urlsplit(p.url).netloc:
        # libcurl sends neither credentials nor given cookies to another host.
        pairs = [pair for pair in pairs if pair[0].lower() not in ("authorization", "cookie")]
    request = Request._sent(method, final_url, pairs)
    for earlier in history:
        earlier.request = Request._sent(
            earlier.request.method if earlier.request else method, earlier.url, []
        )
    response = Response._received(
        blocks[-1][0], blocks[-1][1], final_url, request, content, total / 1e6 - redirect / 1e6
    )
    response.history = history
    return response


def transfer_error(
    handle: Handle, p: Prepared, code: int, text: str, cause: BaseException | None = None
) -> HTTPError:
    """The exception for a failed transfer, with the phase it failed in and
    what the caller's body raised as its cause."""
    curl = handle.curl
    handle.lines.clear()
    handle.chunks.clear()
    phase = READ
    if code == T.E_OPERATION_TIMEDOUT:
        # libcurl says "Connection timed out" for the whole set-up (TCP, a
        # proxy's handshake, TLS), "Resolving timed out" for DNS.  A reused
        # connection has no connect time, but was set up before the transfer.
        if not curl.getinfo(T.PRETRANSFER_TIME_T) or text.startswith(
            ("Connection timed out", "Resolving timed out")
        ):
            phase = CONNECT
        elif p.upload_size:
            sent = curl.getinfo(T.SIZE_UPLOAD_T)
            assert isinstance(sent, int)
            if p.upload_size < 0 or sent < p.upload_size:
                started = curl.getinfo(T.STARTTRANSFER_TIME_T)
                if not started:
                    phase = WRITE
    elif code == T.E_UNSUPPORTED_PROTOCOL:
        # A redirect to a scheme other than http and https, or a server that
        # does not speak HTTP.
        url = curl.getinfo(T.EFFECTIVE_URL)
        if isinstance(url, str) and url.split(":", 1)[0].lower() in ("http", "https"):
            code = T.E_FTP_WEIRD_SERVER_REPLY
    error = engine_error(code, text, phase, p.request())
    readers = (
        [p.reader]
        if p.reader is not None
        else [data for _, _, data, _, _ in p.parts or () if isinstance(data, BodyReader)]
    )
    for reader in readers:
        if reader.error is not None:
            cause = reader.error
            reader.error = None
    if cause is not None:
        error.__cause__ = cause
    return error


def is_connect_failure(error: HTTPError) -> bool:
    return isinstance(error, (ConnectError, ConnectTimeout))


def retry_delay(
    retry: Retry | None,
    attempt: int,
    p: Prepared,
    error: HTTPError | None,
    response: Response | None,
    retry_after: int,
) -> float | None:
    """Seconds to wait before trying the request again, or None not to;
    `attempt` retries were made so far."""
    if retry is None or attempt >= retry.total or not p.replayable:
        return None
    if error is not None:
        return retry.backoff(attempt + 1) if is_connect_failure(error) else None
    assert response is not None
    if response.status_code not in retry.status_forcelist or p.method not in retry.allowed_methods:
        return None
    return retry.backoff(attempt + 1, retry_after)


# --- streamed bodies ---------------------------------------------------------------------------


class StreamBuffer:
    """What a streamed transfer delivers, held for its reader: the header
    lines (noting when the final response's head is complete) and the body
    chunks not read yet.  Beyond STREAM_LIMIT bytes held the transfer is
    paused, until the reader has taken half of them."""

    __slots__ = (
        "handle",
        "p",
        "chunks",
        "size",
        "paused",
        "head_done",
        "challenged",
        "on_head",
        "on_data",
    )

    def __init__(self, handle: Handle, p: Prepared) -> None:
        self.handle = handle
        self.p = p
        self.chunks: deque[bytes] = deque()
        self.size = 0
        self.paused = False
        self.head_done = False
        self.challenged = False
        # Called when the head is complete and when a chunk arrives.
        self.on_head: Any = None
        self.on_data: Any = None

    def header(self, line: bytes) -> None:
        lines = self.handle.lines
        lines.append(line)
        if line != b"\r\n" and line != b"\n":
            return
        # The end of a head: the final response's, unless libcurl goes on
        # with another request (a redirect it follows, a digest challenge).
        start = len(lines) - 2
        while start > 0 and lines[start][:5] != b"HTTP/":
            start -= 1
        code = _status(lines[start])
        if code < 200:
            return
        if code in _REDIRECTS and self.p.follow and _location(lines[start + 1 : -1]):
            return
        if code == 401 and self.p.digest and not self.challenged:
            self.challenged = True
            return
        self.head_done = True
        if self.on_head is not None:
            self.on_head()

    def write(self, data: bytes) -> int | None:
        if self.size >= STREAM_LIMIT:
            # libcurl keeps this chunk and hands it over again on unpause.
            self.paused = True
            return T.WRITEFUNC_PAUSE
        self.chunks.append(data)
        self.size += len(data)
        if self.on_data is not None:
            self.on_data()
        return None

    def take(self) -> bytes:
        chunk = self.chunks.popleft()
        self.size -= len(chunk)
        if self.paused and self.size <= STREAM_LIMIT >> 1:
            self.paused = False
            self.handle.curl.pause(T.PAUSE_CONT)
        return chunk

    def options(self) -> dict[int, Any]:
        """The options that route the handle's header and body here."""
        return {T.HEADERFUNCTION: self.header, T.WRITEFUNCTION: self.write}
