"""The exceptions of the HTTP client, and the one table that turns libcurl's
result codes into them."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from tolvex import _tolvex

if TYPE_CHECKING:
    from tolvex._models import Request, Response

__all__ = [
    "HTTPError",
    "RequestError",
    "TransportError",
    "TimeoutException",
    "ConnectTimeout",
    "ReadTimeout",
    "WriteTimeout",
    "PoolTimeout",
    "NetworkError",
    "ConnectError",
    "ReadError",
    "WriteError",
    "ProxyError",
    "ProtocolError",
    "TLSError",
    "TooManyRedirects",
    "DecodingError",
    "HTTPStatusError",
    "InvalidURL",
]


class HTTPError(Exception):
    """The base of every error the HTTP client raises."""

    request: Request | None

    def __init__(self, *args: Any, request: Request | None = None) -> None:
        super().__init__(*args)
        self.request = request


class RequestError(HTTPError):
    """The request could not be completed."""


class _EngineError(_tolvex.error):
    """What the errors that come from a libcurl result code add: `.code`, and
    args of (code, text) as `tolvex.error` has them, so that `except
    tolvex.error` still catches them."""

    args: tuple[Any, ...]

    @property
    def code(self) -> int | None:
        """libcurl's result code (an `E_...` constant), or None."""
        args = self.args
        return args[0] if len(args) == 2 and isinstance(args[0], int) else None

    def __str__(self) -> str:
        args = self.args
        if len(args) == 2 and isinstance(args[0], int):
            return str(args[1])
        return super().__str__()


class TransportError(RequestError, _EngineError):
    """The transfer failed: libcurl's code is `.code`, its text `str(error)`."""


class TimeoutException(TransportError, TimeoutError):
    """A phase of the request took longer than its timeout."""


class ConnectTimeout(TimeoutException):
    """Setting up the connection (TLS included) took too long."""


class ReadTimeout(TimeoutException):
    """The response's bytes stopped arriving for longer than the read timeout."""


class WriteTimeout(TimeoutException):
    """Sending the request's bytes stalled for longer than the write timeout."""


class PoolTimeout(TimeoutException):
    """No connection became free within the pool timeout."""


class NetworkError(TransportError):
    """The network failed during the request."""


class ConnectError(NetworkError, ConnectionError):
    """The connection could not be made."""


class ReadError(NetworkError):
    """Receiving the response failed."""


class WriteError(NetworkError):
    """Sending the request failed."""


class ProxyError(TransportError):
    """The proxy could not be reached or refused the request."""


class ProtocolError(TransportError):
    """The server broke the HTTP protocol."""


class TLSError(TransportError):
    """The TLS handshake failed or the certificate was not accepted."""


class TooManyRedirects(RequestError, _EngineError):
    """The redirects went on past `max_redirects`."""


class DecodingError(RequestError, _EngineError):
    """The response body could not be decoded."""


class HTTPStatusError(HTTPError):
    """Raised by `Response.raise_for_status()` for a 4xx or 5xx status."""

    response: Response

    def __init__(self, message: str, *, request: Request | None, response: Response) -> None:
        super().__init__(message, request=request)
        self.response = response


class InvalidURL(HTTPError, ValueError):
    """A URL that cannot be requested: malformed, or of a scheme other than
    http and https."""


# libcurl's result codes to the classes above; any other code is a
# TransportError.  Timeouts (E_OPERATION_TIMEDOUT) are told apart by phase
# in engine_error.
_CLASS_OF_CODE: dict[int, type[HTTPError]] = {
    _tolvex.E_UNSUPPORTED_PROTOCOL: InvalidURL,
    _tolvex.E_URL_MALFORMAT: InvalidURL,
    _tolvex.E_COULDNT_RESOLVE_PROXY: ProxyError,
    97: ProxyError,  # CURLE_PROXY
    _tolvex.E_COULDNT_RESOLVE_HOST: ConnectError,
    _tolvex.E_COULDNT_CONNECT: ConnectError,
    _tolvex.E_INTERFACE_FAILED: ConnectError,
    _tolvex.E_QUIC_CONNECT_ERROR: ConnectError,
    _tolvex.E_NO_CONNECTION_AVAILABLE: ConnectError,
    _tolvex.E_FTP_WEIRD_SERVER_REPLY: ProtocolError,  # CURLE_WEIRD_SERVER_REPLY
    _tolvex.E_HTTP2: ProtocolError,
    _tolvex.E_HTTP3: ProtocolError,
    _tolvex.E_CHUNK_FAILED: ProtocolError,
    100: ProtocolError,  # CURLE_TOO_LARGE: a header past libcurl's limits
    _tolvex.E_PARTIAL_FILE: ReadError,
    _tolvex.E_GOT_NOTHING: ReadError,
    _tolvex.E_RECV_ERROR: ReadError,
    _tolvex.E_HTTP2_STREAM: ReadError,
    _tolvex.E_WRITE_ERROR: ReadError,
    _tolvex.E_SEND_ERROR: WriteError,
    _tolvex.E_SEND_FAIL_REWIND: WriteError,
    _tolvex.E_READ_ERROR: WriteError,
    _tolvex.E_ABORTED_BY_CALLBACK: WriteError,
    _tolvex.E_SSL_CONNECT_ERROR: TLSError,
    _tolvex.E_PEER_FAILED_VERIFICATION: TLSError,
    _tolvex.E_SSL_CERTPROBLEM: TLSError,
    _tolvex.E_SSL_CIPHER: TLSError,
    _tolvex.E_SSL_CACERT_BADFILE: TLSError,
    _tolvex.E_SSL_CRL_BADFILE: TLSError,
    _tolvex.E_SSL_ISSUER_ERROR: TLSError,
    _tolvex.E_SSL_PINNEDPUBKEYNOTMATCH: TLSError,
    _tolvex.E_SSL_INVALIDCERTSTATUS: TLSError,
    _tolvex.E_SSL_SHUTDOWN_FAILED: TLSError,
    _tolvex.E_SSL_ENGINE_NOTFOUND: TLSError,
    _tolvex.E_SSL_ENGINE_SETFAILED: TLSError,
    _tolvex.E_SSL_ENGINE_INITFAILED: TLSError,
    98: TLSError,  # CURLE_SSL_CLIENTCERT
    _tolvex.E_TOO_MANY_REDIRECTS: TooManyRedirects,
    _tolvex.E_BAD_CONTENT_ENCODING: DecodingError,
}

# Timeout classes by phase: before the connection was set up, while the
# request was being sent, and after.
CONNECT, WRITE, READ = 0, 1, 2
_TIMEOUT_OF_PHASE = (ConnectTimeout, WriteTimeout, ReadTimeout)


def engine_error(code: int, text: str, phase: int, request: Request | None) -> HTTPError:
    """The exception for a transfer that libcurl failed with `code`; `phase`
    (CONNECT, WRITE or READ) tells the timeouts apart."""
    if code == _tolvex.E_OPERATION_TIMEDOUT:
        cls: type[HTTPError] = _TIMEOUT_OF_PHASE[phase]
    else:
        cls = _CLASS_OF_CODE.get(code, TransportError)
        if cls is InvalidURL:
            return InvalidURL(text, request=request)
    return cls(code, text, request=request)
