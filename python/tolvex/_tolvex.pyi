"""Type stubs of the extension module tolvex._tolvex."""

from collections.abc import Buffer, Callable, Iterable, Sequence
from types import TracebackType
from typing import Any, Final, NamedTuple, Protocol, Self, TypeAlias, final, type_check_only

from typing_extensions import disjoint_base

# --- values ----------------------------------------------------------------------

_Text: TypeAlias = str | bytes

# What a read callable returns: the bytes to send (any buffer, or a str of
# ASCII characters), or READFUNC_ABORT or READFUNC_PAUSE.
_ReadResult: TypeAlias = Buffer | str | int

@type_check_only
class _Reader(Protocol):
    def read(self, size: int, /) -> _ReadResult: ...

@type_check_only
class _Writer(Protocol):
    # None, or how many bytes it took: fewer than given fails the transfer.
    def write(self, data: bytes, /) -> int | None: ...

_Callable: TypeAlias = Callable[..., Any]
# What setopt accepts, depending on the option: numbers, text, string lists,
# classic form fields, callables, file objects, a share, a MIME body, or
# None to reset.
_FormField: TypeAlias = tuple[_Text, _Text | tuple[Any, ...] | list[Any]]
_OptionValue: TypeAlias = (
    int
    | _Text
    | Sequence[_Text]
    | Sequence[_FormField]
    | _Callable
    | _Reader
    | _Writer
    | CurlShare
    | CurlMime
    | None
)
# What getinfo returns: numbers, text, lists of text (INFO_COOKIELIST,
# SSL_ENGINES), certificate chains (INFO_CERTINFO) or nothing.
_InfoValue: TypeAlias = (
    int | float | str | list[str] | list[list[tuple[str, str]]] | list[tuple[str, str]] | None
)
_RawInfoValue: TypeAlias = (
    int | float | bytes | list[bytes] | list[list[tuple[bytes, bytes]]] | None
)

# --- the module's own values ---------------------------------------------------------

version: Final[str]
COMPILE_PY_VERSION_HEX: Final[int]
COMPILE_LIBCURL_VERSION_NUM: Final[int]
COMPILE_SSL_LIB: Final[str]

class error(Exception): ...

# --- named tuples -----------------------------------------------------------------------

class WsFrame(NamedTuple):
    age: int
    flags: int
    offset: int
    bytesleft: int
    len: int

class CurlSockAddr(NamedTuple):
    family: int
    socktype: int
    protocol: int
    addr: Any

class KhKey(NamedTuple):
    key: bytes
    keytype: int

class HstsEntry(NamedTuple):
    host: str
    expire: Any
    include_subdomains: bool

class HstsIndex(NamedTuple):
    idx: int
    total: int

class FileInfo(NamedTuple):
    filename: bytes | None
    filetype: int
    time: int
    perm: int
    uid: int
    gid: int
    size: int
    hardlinks: int
    flags: int

class SslSession(NamedTuple):
    session_key: str | None
    shmac: bytes | None
    sdata: bytes
    valid_until: int
    ietf_tls_id: int
    alpn: str | None
    earlydata_max: int

# --- Curl -------------------------------------------------------------------------------

@disjoint_base
class Curl:
    def __new__(cls) -> Self: ...
    # Instance attributes, then the type's constants (c.URL).
    def __getattr__(self, name: str, /) -> Any: ...
    def __setattr__(self, name: str, value: Any, /) -> None: ...
    def __delattr__(self, name: str, /) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def callback_exception(self) -> BaseException | None: ...
    def close(self) -> None: ...
    def duphandle(self) -> Self: ...
    def errstr(self) -> str: ...
    def errstr_raw(self) -> bytes: ...
    def getinfo(self, option: int, /) -> _InfoValue: ...
    def getinfo_raw(self, option: int, /) -> _RawInfoValue: ...
    def multi(self) -> CurlMulti | None: ...
    def pause(self, bitmask: int = ..., /) -> None: ...
    def perform(self) -> None: ...
    def perform_rb(self) -> bytes: ...
    def perform_rs(self) -> str: ...
    def recv(self, buffersize: int, /) -> bytes: ...
    def recv_into(self, buffer: Buffer, nbytes: int = 0) -> int: ...
    def reset(self) -> None: ...
    def send(self, data: Buffer, /) -> int: ...
    def setopt(self, option: int, value: _OptionValue, *, use_memoryview: bool = False) -> None: ...
    def setopt_string(self, option: int, value: _Text, /) -> None: ...
    def share(self) -> CurlShare | None: ...
    def unpause(self) -> None: ...
    def unsetopt(self, option: int, /) -> None: ...
    def upkeep(self) -> None: ...
    def ssls_export(self) -> list[SslSession]: ...
    def ssls_import(self, sessions: Iterable[SslSession], /) -> None: ...
    def set_ca_certs(self, cadata: _Text, /) -> None: ...
    def ws_send(
        self,
        data: Buffer | str,
        flags: int | None = None,
        fragsize: int = 0,
        encoding: str = "utf-8",
    ) -> int: ...
    def ws_recv(self, buffersize: int, /) -> tuple[bytes, WsFrame | None]: ...
    def ws_recv_into(self, buffer: Buffer, nbytes: int = 0) -> tuple[int, WsFrame | None]: ...
    def ws_meta(self) -> WsFrame | None: ...
    def ws_start_frame(self, flags: int, frame_len: int, /) -> None: ...
    def ws_close(
        self,
        code: int | None = None,
        reason: Buffer | str | None = None,
        encoding: str = "utf-8",
    ) -> int: ...
    def __getstate__(self) -> object: ...
    def __setstate__(self, state: object, /) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None: ...

# --- CurlMulti ---------------------------------------------------------------------

@disjoint_base
class CurlMulti:
    def __new__(cls, *, close_handles: bool = False) -> Self: ...
    # Instance attributes, then the type's constants (c.URL).
    def __getattr__(self, name: str, /) -> Any: ...
    def __setattr__(self, name: str, value: Any, /) -> None: ...
    def __delattr__(self, name: str, /) -> None: ...
    def __contains__(self, curl: object, /) -> bool: ...
    @property
    def closed(self) -> bool: ...
    def add_handle(self, curl: Curl, /) -> None: ...
    def remove_handle(self, curl: Curl, /) -> None: ...
    def close(self) -> None: ...
    def fdset(self) -> tuple[list[int], list[int], list[int]]: ...
    def fileno(self) -> int: ...
    def process_events(self) -> int: ...
    def info_read(
        self, max_objects: int = ..., /
    ) -> tuple[int, list[Curl], list[tuple[Curl, int, str]]]: ...
    def perform(self) -> tuple[int, int]: ...
    def socket_action(self, sockfd: int, ev_bitmask: int, /) -> tuple[int, int]: ...
    def socket_all(self) -> tuple[int, int]: ...
    def setopt(
        self,
        option: int,
        value: int | Sequence[_Text] | _Callable | None,
        /,
    ) -> None: ...
    def timeout(self) -> int: ...
    def assign(self, sock_fd: int, object: object, /) -> None: ...
    def unassign(self, sock_fd: int, /) -> None: ...
    def select(self, timeout: float, /) -> int: ...
    def notify_enable(self, *notifications: int) -> None: ...
    def notify_disable(self, *notifications: int) -> None: ...
    def __getstate__(self) -> object: ...
    def __setstate__(self, state: object, /) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None: ...

# --- CurlShare -------------------------------------------------------------------------

@disjoint_base
class CurlShare:
    def __new__(cls, *, detach_on_close: bool = True) -> Self: ...
    # Instance attributes, then the type's constants (c.URL).
    def __getattr__(self, name: str, /) -> Any: ...
    def __setattr__(self, name: str, value: Any, /) -> None: ...
    def __delattr__(self, name: str, /) -> None: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def setopt(self, option: int, value: int, /) -> None: ...
    def share(self, *kinds: int) -> None: ...
    def unshare(self, *kinds: int) -> None: ...
    def __getstate__(self) -> object: ...
    def __setstate__(self, state: object, /) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None: ...

# --- CurlMime and CurlMimePart -------------------------------------------------------

@disjoint_base
class CurlMime:
    def __new__(cls, curl: Curl) -> Self: ...
    @property
    def closed(self) -> bool: ...
    def add(
        self,
        name: _Text | None = None,
        data: Buffer | _Text | None = None,
        file: _Text | None = None,
        filename: _Text | None = None,
        content_type: _Text | None = None,
        headers: Sequence[_Text] | None = None,
        encoder: _Text | None = None,
    ) -> CurlMimePart: ...
    def add_field(
        self,
        name: _Text,
        value: Buffer | _Text,
        content_type: _Text | None = None,
        encoder: _Text | None = None,
        headers: Sequence[_Text] | None = None,
    ) -> CurlMimePart: ...
    def add_file(
        self,
        name: _Text,
        path: _Text,
        filename: _Text | None = None,
        content_type: _Text | None = None,
        headers: Sequence[_Text] | None = None,
        encoder: _Text | None = None,
    ) -> CurlMimePart: ...
    def add_multipart(self, name: _Text | None = None, subtype: _Text | None = ...) -> CurlMime: ...
    def close(self) -> None: ...
    def addpart(self) -> CurlMimePart: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None: ...

@final
class CurlMimePart:
    def name(self, name: _Text, /) -> None: ...
    def data(self, data: Buffer | _Text, /) -> None: ...
    def data_cb(
        self,
        datasize: int | None,
        read: Callable[[Any, int], _ReadResult],
        seek: Callable[[Any, int, int], int | None] | None = None,
        free: Callable[[Any], object] | None = None,
        userdata: Any = None,
    ) -> None: ...
    def filedata(self, path: _Text, /) -> None: ...
    def filename(self, filename: _Text, /) -> None: ...
    def type(self, mimetype: _Text, /) -> None: ...
    def encoder(self, encoding: _Text, /) -> None: ...
    def headers(self, headers: Sequence[_Text] | None, /) -> None: ...
    def subparts(self, mime: CurlMime, /) -> None: ...

# --- module functions ---------------------------------------------------------------------

def global_init(option: int, /) -> None: ...
def global_cleanup() -> None: ...
def version_info(
    stamp: int = 11, /
) -> tuple[
    int,
    str,
    int,
    str,
    int,
    str | None,
    int,
    str | None,
    tuple[str, ...],
    str | None,
    int,
    str | None,
]: ...
def easy_strerror(errornum: int, /) -> str: ...
def multi_strerror(errornum: int, /) -> str: ...
def share_strerror(errornum: int, /) -> str: ...
def url_strerror(errornum: int, /) -> str: ...

# --- constants (written by tools/stub_constants.py from the module) --------------------
# BEGIN CONSTANTS
READFUNC_ABORT: Final = 268435456
READFUNC_PAUSE: Final = 268435457
WRITEFUNC_PAUSE: Final = 268435457
IOE_OK: Final = 0
IOE_UNKNOWNCMD: Final = 1
IOE_FAILRESTART: Final = 2
IOCMD_NOP: Final = 0
IOCMD_RESTARTREAD: Final = 1
SOCKET_BAD: Final = -1
INFOTYPE_TEXT: Final = 0
INFOTYPE_HEADER_IN: Final = 1
INFOTYPE_HEADER_OUT: Final = 2
INFOTYPE_DATA_IN: Final = 3
INFOTYPE_DATA_OUT: Final = 4
INFOTYPE_SSL_DATA_IN: Final = 5
INFOTYPE_SSL_DATA_OUT: Final = 6
E_OK: Final = 0
E_AGAIN: Final = 81
E_ALREADY_COMPLETE: Final = 99999
E_BAD_CALLING_ORDER: Final = 44
E_BAD_PASSWORD_ENTERED: Final = 46
E_FTP_BAD_DOWNLOAD_RESUME: Final = 36
E_FTP_COULDNT_SET_TYPE: Final = 17
E_FTP_PARTIAL_FILE: Final = 18
E_FTP_USER_PASSWORD_INCORRECT: Final = 10
E_HTTP_NOT_FOUND: Final = 22
E_HTTP_PORT_FAILED: Final = 45
E_MALFORMAT_USER: Final = 24
E_QUOTE_ERROR: Final = 21
E_RANGE_ERROR: Final = 33
E_REMOTE_ACCESS_DENIED: Final = 9
E_REMOTE_DISK_FULL: Final = 70
E_REMOTE_FILE_EXISTS: Final = 73
E_UPLOAD_FAILED: Final = 25
E_URL_MALFORMAT_USER: Final = 4
E_USE_SSL_FAILED: Final = 64
E_UNSUPPORTED_PROTOCOL: Final = 1
E_FAILED_INIT: Final = 2
E_URL_MALFORMAT: Final = 3
E_NOT_BUILT_IN: Final = 4
E_COULDNT_RESOLVE_PROXY: Final = 5
E_COULDNT_RESOLVE_HOST: Final = 6
E_COULDNT_CONNECT: Final = 7
E_FTP_WEIRD_SERVER_REPLY: Final = 8
E_FTP_ACCESS_DENIED: Final = 9
E_FTP_ACCEPT_FAILED: Final = 10
E_FTP_WEIRD_PASS_REPLY: Final = 11
E_FTP_WEIRD_USER_REPLY: Final = 12
E_FTP_WEIRD_PASV_REPLY: Final = 13
E_FTP_WEIRD_227_FORMAT: Final = 14
E_FTP_CANT_GET_HOST: Final = 15
E_FTP_CANT_RECONNECT: Final = 16
E_FTP_COULDNT_SET_BINARY: Final = 17
E_PARTIAL_FILE: Final = 18
E_FTP_COULDNT_RETR_FILE: Final = 19
E_FTP_WRITE_ERROR: Final = 20
E_FTP_QUOTE_ERROR: Final = 21
E_HTTP_RETURNED_ERROR: Final = 22
E_WRITE_ERROR: Final = 23
E_FTP_COULDNT_STOR_FILE: Final = 25
E_READ_ERROR: Final = 26
E_OUT_OF_MEMORY: Final = 27
E_OPERATION_TIMEOUTED: Final = 28
E_OPERATION_TIMEDOUT: Final = 28
E_FTP_COULDNT_SET_ASCII: Final = 29
E_FTP_PORT_FAILED: Final = 30
E_FTP_COULDNT_USE_REST: Final = 31
E_FTP_COULDNT_GET_SIZE: Final = 32
E_HTTP_RANGE_ERROR: Final = 33
E_HTTP_POST_ERROR: Final = 34
E_SSL_CACERT: Final = 60
E_SSL_CACERT_BADFILE: Final = 77
E_SSL_CERTPROBLEM: Final = 58
E_SSL_CIPHER: Final = 59
E_SSL_CONNECT_ERROR: Final = 35
E_SSL_CRL_BADFILE: Final = 82
E_SSL_ENGINE_INITFAILED: Final = 66
E_SSL_ENGINE_NOTFOUND: Final = 53
E_SSL_ENGINE_SETFAILED: Final = 54
E_SSL_INVALIDCERTSTATUS: Final = 91
E_SSL_ISSUER_ERROR: Final = 83
E_SSL_PEER_CERTIFICATE: Final = 60
E_SSL_PINNEDPUBKEYNOTMATCH: Final = 90
E_SSL_SHUTDOWN_FAILED: Final = 80
E_BAD_DOWNLOAD_RESUME: Final = 36
E_FILE_COULDNT_READ_FILE: Final = 37
E_LDAP_CANNOT_BIND: Final = 38
E_LDAP_SEARCH_FAILED: Final = 39
E_LIBRARY_NOT_FOUND: Final = 40
E_FUNCTION_NOT_FOUND: Final = 41
E_ABORTED_BY_CALLBACK: Final = 42
E_BAD_FUNCTION_ARGUMENT: Final = 43
E_INTERFACE_FAILED: Final = 45
E_TOO_MANY_REDIRECTS: Final = 47
E_UNKNOWN_OPTION: Final = 48
E_UNKNOWN_TELNET_OPTION: Final = 48
E_TELNET_OPTION_SYNTAX: Final = 49
E_GOT_NOTHING: Final = 52
E_SEND_ERROR: Final = 55
E_RECV_ERROR: Final = 56
E_SHARE_IN_USE: Final = 57
E_BAD_CONTENT_ENCODING: Final = 61
E_LDAP_INVALID_URL: Final = 62
E_FILESIZE_EXCEEDED: Final = 63
E_FTP_SSL_FAILED: Final = 64
E_SEND_FAIL_REWIND: Final = 65
E_LOGIN_DENIED: Final = 67
E_PEER_FAILED_VERIFICATION: Final = 60
E_TFTP_NOTFOUND: Final = 68
E_TFTP_PERM: Final = 69
E_TFTP_DISKFULL: Final = 70
E_TFTP_ILLEGAL: Final = 71
E_TFTP_UNKNOWNID: Final = 72
E_TFTP_EXISTS: Final = 73
E_TFTP_NOSUCHUSER: Final = 74
E_CONV_FAILED: Final = 75
E_CONV_REQD: Final = 76
E_REMOTE_FILE_NOT_FOUND: Final = 78
E_SSH: Final = 79
E_FTP_PRET_FAILED: Final = 84
E_RTSP_CSEQ_ERROR: Final = 85
E_RTSP_SESSION_ERROR: Final = 86
E_CHUNK_FAILED: Final = 88
E_FTP_BAD_FILE_LIST: Final = 87
E_FTP_ACCEPT_TIMEOUT: Final = 12
E_NO_CONNECTION_AVAILABLE: Final = 89
E_HTTP2: Final = 16
E_HTTP2_STREAM: Final = 92
E_HTTP3: Final = 95
E_QUIC_CONNECT_ERROR: Final = 96
PROXYTYPE_HTTP: Final = 0
PROXYTYPE_HTTP_1_0: Final = 1
PROXYTYPE_SOCKS4: Final = 4
PROXYTYPE_SOCKS4A: Final = 6
PROXYTYPE_SOCKS5: Final = 5
PROXYTYPE_SOCKS5_HOSTNAME: Final = 7
HTTPAUTH_ANY: Final = 4294967279
HTTPAUTH_ANYSAFE: Final = 4294967278
HTTPAUTH_BASIC: Final = 1
HTTPAUTH_DIGEST: Final = 2
HTTPAUTH_DIGEST_IE: Final = 16
HTTPAUTH_GSSNEGOTIATE: Final = 4
HTTPAUTH_NEGOTIATE: Final = 4
HTTPAUTH_NTLM: Final = 8
HTTPAUTH_NTLM_WB: Final = 32
HTTPAUTH_NONE: Final = 0
HTTPAUTH_ONLY: Final = 2147483648
GSSAPI_DELEGATION_FLAG: Final = 2
GSSAPI_DELEGATION_NONE: Final = 0
GSSAPI_DELEGATION_POLICY_FLAG: Final = 1
GSSAPI_DELEGATION: Final = 210
FTPSSL_NONE: Final = 0
FTPSSL_TRY: Final = 1
FTPSSL_CONTROL: Final = 2
FTPSSL_ALL: Final = 3
FTPAUTH_DEFAULT: Final = 0
FTPAUTH_SSL: Final = 1
FTPAUTH_TLS: Final = 2
FORM_BUFFER: Final = 11
FORM_BUFFERPTR: Final = 12
FORM_CONTENTS: Final = 4
FORM_FILE: Final = 10
FORM_CONTENTTYPE: Final = 14
FORM_FILENAME: Final = 16
FTPMETHOD_DEFAULT: Final = 0
FTPMETHOD_MULTICWD: Final = 1
FTPMETHOD_NOCWD: Final = 2
FTPMETHOD_SINGLECWD: Final = 3
APPEND: Final = 50
COOKIESESSION: Final = 96
DIRLISTONLY: Final = 48
FILE: Final = 10001
FTPPORT: Final = 10017
INFILE: Final = 10009
INFILESIZE: Final = 30115
KEYPASSWD: Final = 10026
LOW_SPEED_LIMIT: Final = 19
LOW_SPEED_TIME: Final = 20
PORT: Final = 3
POSTFIELDS: Final = 10015
PROXY: Final = 10004
PROXYPASSWORD: Final = 10176
PROXYUSERNAME: Final = 10175
PROXYUSERPWD: Final = 10006
RANGE: Final = 10007
READFUNCTION: Final = 20012
REFERER: Final = 10016
RESUME_FROM: Final = 30116
TELNETOPTIONS: Final = 10070
TIMEOUT: Final = 13
URL: Final = 10002
USE_SSL: Final = 119
USERAGENT: Final = 10018
USERPWD: Final = 10005
WRITEFUNCTION: Final = 20011
OPT_RTSP_CLIENT_CSEQ: Final = 193
OPT_RTSP_REQUEST: Final = 189
OPT_RTSP_SERVER_CSEQ: Final = 194
OPT_RTSP_SESSION_ID: Final = 10190
OPT_RTSP_STREAM_URI: Final = 10191
OPT_RTSP_TRANSPORT: Final = 10192
USERNAME: Final = 10173
PASSWORD: Final = 10174
WRITEDATA: Final = 10001
READDATA: Final = 10009
PROXYPORT: Final = 59
HTTPPROXYTUNNEL: Final = 61
VERBOSE: Final = 41
HEADER: Final = 42
NOPROGRESS: Final = 43
NOBODY: Final = 44
FAILONERROR: Final = 45
UPLOAD: Final = 46
POST: Final = 47
FTPLISTONLY: Final = 48
FTPAPPEND: Final = 50
NETRC: Final = 51
FOLLOWLOCATION: Final = 52
TRANSFERTEXT: Final = 53
PUT: Final = 54
POSTFIELDSIZE: Final = 30120
COOKIE: Final = 10022
HTTPHEADER: Final = 10023
PROXYHEADER: Final = 10228
HEADEROPT: Final = 229
PATH_AS_IS: Final = 234
PIPEWAIT: Final = 237
HTTPPOST: Final = 10024
MIMEPOST: Final = 10269
SSLCERT: Final = 10025
SSLCERT_BLOB: Final = 40291
SSLKEY_BLOB: Final = 40292
PROXY_SSLCERT_BLOB: Final = 40293
PROXY_SSLKEY_BLOB: Final = 40294
ISSUERCERT_BLOB: Final = 40295
PROXY_ISSUERCERT_BLOB: Final = 40297
CAINFO_BLOB: Final = 40309
PROXY_CAINFO_BLOB: Final = 40310
SSLCERTPASSWD: Final = 10026
CRLF: Final = 27
QUOTE: Final = 10028
POSTQUOTE: Final = 10039
PREQUOTE: Final = 10093
WRITEHEADER: Final = 10029
HEADERFUNCTION: Final = 20079
SEEKFUNCTION: Final = 20167
COOKIEFILE: Final = 10031
SSLVERSION: Final = 32
TIMECONDITION: Final = 33
TIMEVALUE: Final = 34
CUSTOMREQUEST: Final = 10036
STDERR: Final = 10037
INTERFACE: Final = 10062
KRB4LEVEL: Final = 10063
KRBLEVEL: Final = 10063
PROGRESSFUNCTION: Final = 20056
XFERINFOFUNCTION: Final = 20219
FTP_USE_PRET: Final = 188
LOGIN_OPTIONS: Final = 10224
SASL_IR: Final = 218
XOAUTH2_BEARER: Final = 10220
SSL_VERIFYPEER: Final = 64
CAPATH: Final = 10097
CAINFO: Final = 10065
OPT_FILETIME: Final = 69
MAXREDIRS: Final = 68
MAXCONNECTS: Final = 71
MAXAGE_CONN: Final = 288
FRESH_CONNECT: Final = 74
FORBID_REUSE: Final = 75
RANDOM_FILE: Final = 10076
EGDSOCKET: Final = 10077
CONNECTTIMEOUT: Final = 78
HTTPGET: Final = 80
SSL_VERIFYHOST: Final = 81
COOKIEJAR: Final = 10082
SSL_CIPHER_LIST: Final = 10083
HTTP_VERSION: Final = 84
FTP_USE_EPSV: Final = 85
SSLCERTTYPE: Final = 10086
SSLKEY: Final = 10087
SSLKEYTYPE: Final = 10088
SSLKEYPASSWD: Final = 10026
SSLENGINE: Final = 10089
SSLENGINE_DEFAULT: Final = 90
DNS_CACHE_TIMEOUT: Final = 92
DNS_USE_GLOBAL_CACHE: Final = 91
DEBUGFUNCTION: Final = 20094
BUFFERSIZE: Final = 98
UPLOAD_BUFFERSIZE: Final = 280
NOSIGNAL: Final = 99
SHARE: Final = 10100
PROXYTYPE: Final = 101
ENCODING: Final = 10102
ACCEPT_ENCODING: Final = 10102
TRANSFER_ENCODING: Final = 207
HTTP200ALIASES: Final = 10104
UNRESTRICTED_AUTH: Final = 105
FTP_USE_EPRT: Final = 106
HTTPAUTH: Final = 107
FTP_CREATE_MISSING_DIRS: Final = 110
PROXYAUTH: Final = 111
FTP_RESPONSE_TIMEOUT: Final = 112
IPRESOLVE: Final = 113
MAXFILESIZE: Final = 30117
INFILESIZE_LARGE: Final = 30115
RESUME_FROM_LARGE: Final = 30116
MAXFILESIZE_LARGE: Final = 30117
NETRC_FILE: Final = 10118
FTP_SSL: Final = 119
POSTFIELDSIZE_LARGE: Final = 30120
TCP_NODELAY: Final = 121
FTPSSLAUTH: Final = 129
IOCTLFUNCTION: Final = 20130
OPENSOCKETFUNCTION: Final = 20163
CLOSESOCKETFUNCTION: Final = 20208
SOCKOPTFUNCTION: Final = 20148
FTP_ACCOUNT: Final = 10134
IGNORE_CONTENT_LENGTH: Final = 136
COOKIELIST: Final = 10135
OPT_COOKIELIST: Final = 10135
FTP_SKIP_PASV_IP: Final = 137
FTP_FILEMETHOD: Final = 138
CONNECT_ONLY: Final = 141
LOCALPORT: Final = 139
LOCALPORTRANGE: Final = 140
FTP_ALTERNATIVE_TO_USER: Final = 10147
MAX_SEND_SPEED_LARGE: Final = 30145
MAX_RECV_SPEED_LARGE: Final = 30146
SSL_SESSIONID_CACHE: Final = 150
SSL_VERIFYSTATUS: Final = 232
SSH_AUTH_TYPES: Final = 151
SSH_PUBLIC_KEYFILE: Final = 10152
SSH_PRIVATE_KEYFILE: Final = 10153
SSH_KNOWNHOSTS: Final = 10183
SSH_KEYFUNCTION: Final = 20184
FTP_SSL_CCC: Final = 154
TIMEOUT_MS: Final = 155
CONNECTTIMEOUT_MS: Final = 156
ACCEPTTIMEOUT_MS: Final = 212
EXPECT_100_TIMEOUT_MS: Final = 227
TCP_KEEPALIVE: Final = 213
TCP_KEEPIDLE: Final = 214
TCP_KEEPINTVL: Final = 215
HTTP_TRANSFER_DECODING: Final = 157
HTTP_CONTENT_DECODING: Final = 158
NEW_FILE_PERMS: Final = 159
NEW_DIRECTORY_PERMS: Final = 160
POST301: Final = 161
PROXY_TRANSFER_MODE: Final = 166
SERVICE_NAME: Final = 10236
PROXY_SERVICE_NAME: Final = 10235
PROXY_CAPATH: Final = 10247
PROXY_CAINFO: Final = 10246
PROXY_CRLFILE: Final = 10260
PRE_PROXY: Final = 10262
PROXY_SSLCERT: Final = 10254
PROXY_SSLCERTTYPE: Final = 10255
PROXY_SSLKEY: Final = 10256
PROXY_SSLKEYTYPE: Final = 10257
PROXY_KEYPASSWD: Final = 10258
PROXY_SSL_VERIFYPEER: Final = 248
PROXY_SSL_VERIFYHOST: Final = 249
PROXY_PINNEDPUBLICKEY: Final = 10263
PROXY_SSLVERSION: Final = 250
PROXY_SSL_CIPHER_LIST: Final = 10259
PROXY_SSL_OPTIONS: Final = 261
PROXY_TLSAUTH_TYPE: Final = 10253
PROXY_TLSAUTH_USERNAME: Final = 10251
PROXY_TLSAUTH_PASSWORD: Final = 10252
PROXY_ISSUERCERT: Final = 10296
REQUEST_TARGET: Final = 10266
COPYPOSTFIELDS: Final = 10165
SSH_HOST_PUBLIC_KEY_MD5: Final = 10162
AUTOREFERER: Final = 58
CRLFILE: Final = 10169
ISSUERCERT: Final = 10170
ADDRESS_SCOPE: Final = 171
RESOLVE: Final = 10203
OPT_CERTINFO: Final = 172
POSTREDIR: Final = 161
NOPROXY: Final = 10177
PROTOCOLS: Final = 181
REDIR_PROTOCOLS: Final = 182
PROTO_HTTP: Final = 1
PROTO_HTTPS: Final = 2
PROTO_FTP: Final = 4
PROTO_FTPS: Final = 8
PROTO_SCP: Final = 16
PROTO_SFTP: Final = 32
PROTO_TELNET: Final = 64
PROTO_LDAP: Final = 128
PROTO_LDAPS: Final = 256
PROTO_DICT: Final = 512
PROTO_FILE: Final = 1024
PROTO_TFTP: Final = 2048
PROTO_IMAP: Final = 4096
PROTO_IMAPS: Final = 8192
PROTO_POP3: Final = 16384
PROTO_POP3S: Final = 32768
PROTO_SMTP: Final = 65536
PROTO_SMTPS: Final = 131072
PROTO_RTSP: Final = 262144
PROTO_RTMP: Final = 524288
PROTO_RTMPT: Final = 1048576
PROTO_RTMPE: Final = 2097152
PROTO_RTMPTE: Final = 4194304
PROTO_RTMPS: Final = 8388608
PROTO_RTMPTS: Final = 16777216
PROTO_GOPHER: Final = 33554432
PROTO_SMB: Final = 67108864
PROTO_SMBS: Final = 134217728
PROTO_ALL: Final = 4294967295
TFTP_BLKSIZE: Final = 178
SOCKS5_GSSAPI_SERVICE: Final = 10179
SOCKS5_GSSAPI_NEC: Final = 180
MAIL_FROM: Final = 10186
MAIL_RCPT: Final = 10187
MAIL_AUTH: Final = 10217
PINNEDPUBLICKEY: Final = 10230
WILDCARDMATCH: Final = 197
UNIX_SOCKET_PATH: Final = 10231
SSL_ENABLE_ALPN: Final = 226
SSL_ENABLE_NPN: Final = 225
SSL_FALSESTART: Final = 233
SSL_OPTIONS: Final = 216
SSLOPT_ALLOW_BEAST: Final = 1
SSLOPT_NO_REVOKE: Final = 2
TLSAUTH_TYPE: Final = 10206
TLSAUTH_USERNAME: Final = 10204
TLSAUTH_PASSWORD: Final = 10205
DEFAULT_PROTOCOL: Final = 10238
TLS13_CIPHERS: Final = 10276
PROXY_TLS13_CIPHERS: Final = 10277
DOH_URL: Final = 10279
HTTP09_ALLOWED: Final = 285
AWS_SIGV4: Final = 10305
MAXLIFETIME_CONN: Final = 314
PREREQFUNCTION: Final = 20312
PREREQFUNC_OK: Final = 0
PREREQFUNC_ABORT: Final = 1
WS_OPTIONS: Final = 320
WS_RAW_MODE: Final = 1
WS_NOAUTOPONG: Final = 2
WS_TEXT: Final = 1
WS_BINARY: Final = 2
WS_CONT: Final = 4
WS_CLOSE: Final = 8
WS_PING: Final = 16
WS_PONG: Final = 64
WS_OFFSET: Final = 32
FNMATCH_FUNCTION: Final = 20200
FNMATCH_DATA: Final = 10202
FNMATCHFUNC_MATCH: Final = 0
FNMATCHFUNC_NOMATCH: Final = 1
FNMATCHFUNC_FAIL: Final = 2
RESOLVER_START_FUNCTION: Final = 20272
RESOLVER_START_DATA: Final = 10273
TRAILERFUNCTION: Final = 20283
TRAILERDATA: Final = 10284
TRAILERFUNC_OK: Final = 0
TRAILERFUNC_ABORT: Final = 1
HSTS: Final = 10300
HSTS_CTRL: Final = 299
HSTSREADFUNCTION: Final = 20301
HSTSREADDATA: Final = 10302
HSTSWRITEFUNCTION: Final = 20303
HSTSWRITEDATA: Final = 10304
CURLHSTS_ENABLE: Final = 1
CURLHSTS_READONLYFILE: Final = 2
CURLSTS_OK: Final = 0
CURLSTS_DONE: Final = 1
CURLSTS_FAIL: Final = 2
M_TIMERFUNCTION: Final = 20004
M_SOCKETFUNCTION: Final = 20001
M_PIPELINING: Final = 3
M_MAXCONNECTS: Final = 6
M_MAX_HOST_CONNECTIONS: Final = 7
M_MAX_TOTAL_CONNECTIONS: Final = 13
M_MAX_PIPELINE_LENGTH: Final = 8
M_CONTENT_LENGTH_PENALTY_SIZE: Final = 30009
M_CHUNK_LENGTH_PENALTY_SIZE: Final = 30010
M_PIPELINING_SITE_BL: Final = 10011
M_PIPELINING_SERVER_BL: Final = 10012
M_MAX_CONCURRENT_STREAMS: Final = 16
M_NOTIFYFUNCTION: Final = 20018
M_NOTIFY_INFO_READ: Final = 0
M_NOTIFY_EASY_DONE: Final = 1
PIPE_NOTHING: Final = 0
PIPE_HTTP1: Final = 1
PIPE_MULTIPLEX: Final = 2
IPRESOLVE_WHATEVER: Final = 0
IPRESOLVE_V4: Final = 1
IPRESOLVE_V6: Final = 2
CURL_HTTP_VERSION_NONE: Final = 0
CURL_HTTP_VERSION_1_0: Final = 1
CURL_HTTP_VERSION_1_1: Final = 2
CURL_HTTP_VERSION_2_0: Final = 3
CURL_HTTP_VERSION_2: Final = 3
CURL_HTTP_VERSION_2TLS: Final = 4
CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE: Final = 5
TCP_FASTOPEN: Final = 244
CURL_HTTP_VERSION_3: Final = 30
CURL_HTTP_VERSION_3ONLY: Final = 31
CURL_HTTP_VERSION_LAST: Final = 32
NETRC_OPTIONAL: Final = 1
NETRC_IGNORED: Final = 0
NETRC_REQUIRED: Final = 2
SSLVERSION_DEFAULT: Final = 0
SSLVERSION_SSLv2: Final = 2
SSLVERSION_SSLv3: Final = 3
SSLVERSION_TLSv1: Final = 1
SSLVERSION_TLSv1_0: Final = 4
SSLVERSION_TLSv1_1: Final = 5
SSLVERSION_TLSv1_2: Final = 6
SSLVERSION_TLSv1_3: Final = 7
SSLVERSION_MAX_DEFAULT: Final = 65536
SSLVERSION_MAX_TLSv1_0: Final = 262144
SSLVERSION_MAX_TLSv1_1: Final = 327680
SSLVERSION_MAX_TLSv1_2: Final = 393216
SSLVERSION_MAX_TLSv1_3: Final = 458752
HAPROXYPROTOCOL: Final = 274
HAPROXY_CLIENT_IP: Final = 10323
ECH: Final = 10325
TIMECONDITION_NONE: Final = 0
TIMECONDITION_IFMODSINCE: Final = 1
TIMECONDITION_IFUNMODSINCE: Final = 2
TIMECONDITION_LASTMOD: Final = 3
SSH_AUTH_ANY: Final = 4294967295
SSH_AUTH_NONE: Final = 0
SSH_AUTH_PUBLICKEY: Final = 1
SSH_AUTH_PASSWORD: Final = 2
SSH_AUTH_HOST: Final = 4
SSH_AUTH_KEYBOARD: Final = 8
SSH_AUTH_DEFAULT: Final = 4294967295
SSH_AUTH_AGENT: Final = 16
HEADER_UNIFIED: Final = 0
HEADER_SEPARATE: Final = 1
SOCKOPT_ALREADY_CONNECTED: Final = 2
SOCKOPT_ERROR: Final = 1
SOCKOPT_OK: Final = 0
KHTYPE_UNKNOWN: Final = 0
KHTYPE_RSA1: Final = 1
KHTYPE_RSA: Final = 2
KHTYPE_DSS: Final = 3
KHMATCH_OK: Final = 0
KHMATCH_MISMATCH: Final = 1
KHMATCH_MISSING: Final = 2
KHSTAT_FINE_ADD_TO_FILE: Final = 0
KHSTAT_FINE: Final = 1
KHSTAT_REJECT: Final = 2
KHSTAT_DEFER: Final = 3
SOCKTYPE_ACCEPT: Final = 1
SOCKTYPE_IPCXN: Final = 0
USESSL_NONE: Final = 0
USESSL_TRY: Final = 1
USESSL_CONTROL: Final = 2
USESSL_ALL: Final = 3
EFFECTIVE_URL: Final = 1048577
EFFECTIVE_METHOD: Final = 1048634
HTTP_CODE: Final = 2097154
RESPONSE_CODE: Final = 2097154
TOTAL_TIME: Final = 3145731
NAMELOOKUP_TIME: Final = 3145732
CONNECT_TIME: Final = 3145733
APPCONNECT_TIME: Final = 3145761
PRETRANSFER_TIME: Final = 3145734
SIZE_UPLOAD: Final = 3145735
SIZE_DOWNLOAD: Final = 3145736
SPEED_DOWNLOAD: Final = 3145737
SPEED_UPLOAD: Final = 3145738
HEADER_SIZE: Final = 2097163
REQUEST_SIZE: Final = 2097164
SSL_VERIFYRESULT: Final = 2097165
INFO_FILETIME: Final = 2097166
CONTENT_LENGTH_DOWNLOAD: Final = 3145743
CONTENT_LENGTH_UPLOAD: Final = 3145744
STARTTRANSFER_TIME: Final = 3145745
CONTENT_TYPE: Final = 1048594
REDIRECT_TIME: Final = 3145747
REDIRECT_COUNT: Final = 2097172
REDIRECT_URL: Final = 1048607
PRIMARY_IP: Final = 1048608
PRIMARY_PORT: Final = 2097192
LOCAL_IP: Final = 1048617
LOCAL_PORT: Final = 2097194
HTTP_CONNECTCODE: Final = 2097174
HTTPAUTH_AVAIL: Final = 2097175
PROXYAUTH_AVAIL: Final = 2097176
OS_ERRNO: Final = 2097177
NUM_CONNECTS: Final = 2097178
SSL_ENGINES: Final = 4194331
INFO_COOKIELIST: Final = 4194332
LASTSOCKET: Final = 2097181
ACTIVESOCKET: Final = 5242924
FTP_ENTRY_PATH: Final = 1048606
INFO_CERTINFO: Final = 4194338
CONDITION_UNMET: Final = 2097187
CONTENT_LENGTH_DOWNLOAD_T: Final = 6291471
CONTENT_LENGTH_UPLOAD_T: Final = 6291472
SIZE_DOWNLOAD_T: Final = 6291464
SIZE_UPLOAD_T: Final = 6291463
SPEED_DOWNLOAD_T: Final = 6291465
SPEED_UPLOAD_T: Final = 6291466
FILETIME_T: Final = 6291470
APPCONNECT_TIME_T: Final = 6291512
CONNECT_TIME_T: Final = 6291508
NAMELOOKUP_TIME_T: Final = 6291507
PRETRANSFER_TIME_T: Final = 6291509
REDIRECT_TIME_T: Final = 6291511
STARTTRANSFER_TIME_T: Final = 6291510
TOTAL_TIME_T: Final = 6291506
QUEUE_TIME_T: Final = 6291521
POSTTRANSFER_TIME_T: Final = 6291523
EARLYDATA_SENT_T: Final = 6291524
INFO_RTSP_CLIENT_CSEQ: Final = 2097189
INFO_RTSP_CSEQ_RECV: Final = 2097191
INFO_RTSP_SERVER_CSEQ: Final = 2097190
INFO_RTSP_SESSION_ID: Final = 1048612
RTSPREQ_NONE: Final = 0
RTSPREQ_OPTIONS: Final = 1
RTSPREQ_DESCRIBE: Final = 2
RTSPREQ_ANNOUNCE: Final = 3
RTSPREQ_SETUP: Final = 4
RTSPREQ_PLAY: Final = 5
RTSPREQ_PAUSE: Final = 6
RTSPREQ_TEARDOWN: Final = 7
RTSPREQ_GET_PARAMETER: Final = 8
RTSPREQ_SET_PARAMETER: Final = 9
RTSPREQ_RECORD: Final = 10
RTSPREQ_RECEIVE: Final = 11
RTSPREQ_LAST: Final = 12
PAUSE_RECV: Final = 1
PAUSE_SEND: Final = 4
PAUSE_ALL: Final = 5
PAUSE_CONT: Final = 0
SEEKFUNC_OK: Final = 0
SEEKFUNC_FAIL: Final = 1
SEEKFUNC_CANTSEEK: Final = 2
DNS_SERVERS: Final = 10211
REDIR_POST_301: Final = 1
REDIR_POST_302: Final = 2
REDIR_POST_303: Final = 4
REDIR_POST_ALL: Final = 7
CONNECT_TO: Final = 10243
INFO_HTTP_VERSION: Final = 2097198
GLOBAL_SSL: Final = 1
GLOBAL_WIN32: Final = 2
GLOBAL_ALL: Final = 3
GLOBAL_NOTHING: Final = 0
GLOBAL_DEFAULT: Final = 3
GLOBAL_ACK_EINTR: Final = 4
CSELECT_IN: Final = 1
CSELECT_OUT: Final = 2
CSELECT_ERR: Final = 4
SOCKET_TIMEOUT: Final = -1
POLL_NONE: Final = 0
POLL_IN: Final = 1
POLL_OUT: Final = 2
POLL_INOUT: Final = 3
POLL_REMOVE: Final = 4
VERSION_IPV6: Final = 1
VERSION_KERBEROS4: Final = 2
VERSION_KERBEROS5: Final = 262144
VERSION_SSL: Final = 4
VERSION_LIBZ: Final = 8
VERSION_NTLM: Final = 16
VERSION_GSSNEGOTIATE: Final = 32
VERSION_DEBUG: Final = 64
VERSION_CURLDEBUG: Final = 8192
VERSION_ASYNCHDNS: Final = 128
VERSION_SPNEGO: Final = 256
VERSION_LARGEFILE: Final = 512
VERSION_IDN: Final = 1024
VERSION_SSPI: Final = 2048
VERSION_GSSAPI: Final = 131072
VERSION_CONV: Final = 4096
VERSION_TLSAUTH_SRP: Final = 16384
VERSION_NTLM_WB: Final = 32768
VERSION_HTTP2: Final = 65536
VERSION_UNIX_SOCKETS: Final = 524288
VERSION_PSL: Final = 1048576
CURL_VERSION_HTTPS_PROXY: Final = 2097152
VERSION_HTTPS_PROXY: Final = 2097152
CURL_VERSION_MULTI_SSL: Final = 4194304
VERSION_MULTI_SSL: Final = 4194304
CURL_VERSION_BROTLI: Final = 8388608
VERSION_BROTLI: Final = 8388608
CURL_VERSION_ALTSVC: Final = 16777216
VERSION_ALTSVC: Final = 16777216
CURL_VERSION_HTTP3: Final = 33554432
VERSION_HTTP3: Final = 33554432
CURL_VERSION_UNICODE: Final = 134217728
CURL_VERSION_ZSTD: Final = 67108864
VERSION_UNICODE: Final = 134217728
VERSION_ZSTD: Final = 67108864
CURL_VERSION_HSTS: Final = 268435456
VERSION_HSTS: Final = 268435456
CURL_VERSION_GSASL: Final = 536870912
VERSION_GSASL: Final = 536870912
E_CALL_MULTI_PERFORM: Final = -1
E_MULTI_CALL_MULTI_PERFORM: Final = -1
E_MULTI_OK: Final = 0
E_MULTI_BAD_HANDLE: Final = 1
E_MULTI_BAD_EASY_HANDLE: Final = 2
E_MULTI_BAD_SOCKET: Final = 5
E_MULTI_CALL_MULTI_SOCKET: Final = -1
E_MULTI_OUT_OF_MEMORY: Final = 3
E_MULTI_INTERNAL_ERROR: Final = 4
E_MULTI_UNKNOWN_OPTION: Final = 6
E_MULTI_ADDED_ALREADY: Final = 7
SH_SHARE: Final = 1
SH_UNSHARE: Final = 2
LOCK_DATA_COOKIE: Final = 2
LOCK_DATA_DNS: Final = 3
LOCK_DATA_SSL_SESSION: Final = 4
LOCK_DATA_CONNECT: Final = 5
LOCK_DATA_PSL: Final = 6
SERVER_RESPONSE_TIMEOUT: Final = 112
INTERLEAVEFUNCTION: Final = 20196
CHUNK_BGN_FUNCTION: Final = 20198
CHUNK_END_FUNCTION: Final = 20199
DNS_INTERFACE: Final = 10221
DNS_LOCAL_IP4: Final = 10222
DNS_LOCAL_IP6: Final = 10223
STREAM_WEIGHT: Final = 239
TFTP_NO_OPTIONS: Final = 242
KEEP_SENDING_ON_ERROR: Final = 245
ABSTRACT_UNIX_SOCKET: Final = 10264
SUPPRESS_CONNECT_HEADERS: Final = 265
SOCKS5_AUTH: Final = 267
SSH_COMPRESSION: Final = 268
TIMEVALUE_LARGE: Final = 30270
HAPPY_EYEBALLS_TIMEOUT_MS: Final = 271
DNS_SHUFFLE_ADDRESSES: Final = 275
DISALLOW_USERNAME_IN_URL: Final = 278
UPKEEP_INTERVAL_MS: Final = 281
ALTSVC_CTRL: Final = 286
ALTSVC: Final = 10287
SASL_AUTHZID: Final = 10289
MAIL_RCPT_ALLOWFAILS: Final = 290
SSL_EC_CURVES: Final = 10298
DOH_SSL_VERIFYPEER: Final = 306
DOH_SSL_VERIFYHOST: Final = 307
DOH_SSL_VERIFYSTATUS: Final = 308
SSH_HOST_PUBLIC_KEY_SHA256: Final = 10311
MIME_OPTIONS: Final = 315
SSH_HOSTKEYFUNCTION: Final = 20316
PROTOCOLS_STR: Final = 10318
REDIR_PROTOCOLS_STR: Final = 10319
CA_CACHE_TIMEOUT: Final = 321
QUICK_EXIT: Final = 322
SERVER_RESPONSE_TIMEOUT_MS: Final = 324
TCP_KEEPCNT: Final = 326
UPLOAD_FLAGS: Final = 327
SSL_SIGNATURE_ALGORITHMS: Final = 10328
HTTPSIG_ALGORITHM: Final = 329
HTTPSIG_KEY: Final = 10330
HTTPSIG_KEYID: Final = 10331
HTTPSIG_HEADERS: Final = 10332
RTSPHEADER: Final = 10023
PROXY_SSL_VERIFYRESULT: Final = 2097199
PROTOCOL: Final = 2097200
SCHEME: Final = 1048625
RETRY_AFTER: Final = 6291513
PROXY_ERROR: Final = 2097211
INFO_REFERER: Final = 1048636
INFO_CAINFO: Final = 1048637
INFO_CAPATH: Final = 1048638
XFER_ID: Final = 6291519
CONN_ID: Final = 6291520
USED_PROXY: Final = 2097218
HTTPAUTH_USED: Final = 2097221
PROXYAUTH_USED: Final = 2097222
SIZE_DELIVERED: Final = 6291527
E_WEIRD_SERVER_REPLY: Final = 8
E_SETOPT_OPTION_SYNTAX: Final = 49
E_RECURSIVE_API_CALL: Final = 93
E_AUTH_ERROR: Final = 94
E_PROXY: Final = 97
E_SSL_CLIENTCERT: Final = 98
E_UNRECOVERABLE_POLL: Final = 99
E_TOO_LARGE: Final = 100
E_ECH_REQUIRED: Final = 101
ALTSVC_READONLYFILE: Final = 4
ALTSVC_H1: Final = 8
ALTSVC_H2: Final = 16
ALTSVC_H3: Final = 32
HTTPAUTH_GSSAPI: Final = 4
HTTPAUTH_BEARER: Final = 64
HTTPAUTH_AWS_SIGV4: Final = 128
HTTPAUTH_HTTPSIG: Final = 256
FILETYPE_FILE: Final = 0
FILETYPE_DIRECTORY: Final = 1
FILETYPE_SYMLINK: Final = 2
FILETYPE_DEVICE_BLOCK: Final = 3
FILETYPE_DEVICE_CHAR: Final = 4
FILETYPE_NAMEDPIPE: Final = 5
FILETYPE_SOCKET: Final = 6
FILETYPE_DOOR: Final = 7
FILETYPE_UNKNOWN: Final = 8
FINFOFLAG_KNOWN_FILENAME: Final = 1
FINFOFLAG_KNOWN_FILETYPE: Final = 2
FINFOFLAG_KNOWN_TIME: Final = 4
FINFOFLAG_KNOWN_PERM: Final = 8
FINFOFLAG_KNOWN_UID: Final = 16
FINFOFLAG_KNOWN_GID: Final = 32
FINFOFLAG_KNOWN_SIZE: Final = 64
FINFOFLAG_KNOWN_HLINKCOUNT: Final = 128
FOLLOW_ALL: Final = 1
FOLLOW_OBEYCODE: Final = 2
FOLLOW_FIRSTONLY: Final = 3
FTPSSL_CCC_NONE: Final = 0
FTPSSL_CCC_PASSIVE: Final = 1
FTPSSL_CCC_ACTIVE: Final = 2
FTP_CREATE_DIR_NONE: Final = 0
FTP_CREATE_DIR: Final = 1
FTP_CREATE_DIR_RETRY: Final = 2
HTTPSIG_NONE: Final = 0
HTTPSIG_ED25519: Final = 1
HTTPSIG_HMAC_SHA256: Final = 2
KHSTAT_FINE_REPLACE: Final = 4
KHTYPE_ECDSA: Final = 4
KHTYPE_ED25519: Final = 5
MIMEOPT_FORMESCAPE: Final = 1
PAUSE_RECV_CONT: Final = 0
PAUSE_SEND_CONT: Final = 0
PROTO_MQTT: Final = 268435456
PROTO_GOPHERS: Final = 536870912
PROXYTYPE_HTTPS: Final = 2
PROXYTYPE_HTTPS2: Final = 3
PROXYTYPE_HTTPS3: Final = 8
PX_OK: Final = 0
PX_BAD_ADDRESS_TYPE: Final = 1
PX_BAD_VERSION: Final = 2
PX_CLOSED: Final = 3
PX_GSSAPI: Final = 4
PX_GSSAPI_PERMSG: Final = 5
PX_GSSAPI_PROTECTION: Final = 6
PX_IDENTD: Final = 7
PX_IDENTD_DIFFER: Final = 8
PX_LONG_HOSTNAME: Final = 9
PX_LONG_PASSWD: Final = 10
PX_LONG_USER: Final = 11
PX_NO_AUTH: Final = 12
PX_RECV_ADDRESS: Final = 13
PX_RECV_AUTH: Final = 14
PX_RECV_CONNECT: Final = 15
PX_RECV_REQACK: Final = 16
PX_REPLY_ADDRESS_TYPE_NOT_SUPPORTED: Final = 17
PX_REPLY_COMMAND_NOT_SUPPORTED: Final = 18
PX_REPLY_CONNECTION_REFUSED: Final = 19
PX_REPLY_GENERAL_SERVER_FAILURE: Final = 20
PX_REPLY_HOST_UNREACHABLE: Final = 21
PX_REPLY_NETWORK_UNREACHABLE: Final = 22
PX_REPLY_NOT_ALLOWED: Final = 23
PX_REPLY_TTL_EXPIRED: Final = 24
PX_REPLY_UNASSIGNED: Final = 25
PX_REQUEST_FAILED: Final = 26
PX_RESOLVE_HOST: Final = 27
PX_SEND_AUTH: Final = 28
PX_SEND_CONNECT: Final = 29
PX_SEND_REQUEST: Final = 30
PX_UNKNOWN_FAIL: Final = 31
PX_UNKNOWN_MODE: Final = 32
PX_USER_REJECTED: Final = 33
SSH_AUTH_GSSAPI: Final = 32
SSLOPT_NO_PARTIALCHAIN: Final = 4
SSLOPT_REVOKE_BEST_EFFORT: Final = 8
SSLOPT_NATIVE_CA: Final = 16
SSLOPT_AUTO_CLIENT_CERT: Final = 32
SSLOPT_EARLYDATA: Final = 64
ULFLAG_ANSWERED: Final = 1
ULFLAG_DELETED: Final = 2
ULFLAG_DRAFT: Final = 4
ULFLAG_FLAGGED: Final = 8
ULFLAG_SEEN: Final = 16
CHUNK_BGN_FUNC_OK: Final = 0
CHUNK_BGN_FUNC_FAIL: Final = 1
CHUNK_BGN_FUNC_SKIP: Final = 2
CHUNK_END_FUNC_OK: Final = 0
CHUNK_END_FUNC_FAIL: Final = 1
PROGRESSFUNC_CONTINUE: Final = 268435457
REDIR_GET_ALL: Final = 0
SSLVERSION_MAX_NONE: Final = 0
WRITEFUNC_ERROR: Final = 4294967295
E_MULTI_RECURSIVE_API_CALL: Final = 8
E_MULTI_WAKEUP_FAILURE: Final = 9
E_MULTI_BAD_FUNCTION_ARGUMENT: Final = 10
E_MULTI_ABORTED_BY_CALLBACK: Final = 11
E_MULTI_UNRECOVERABLE_POLL: Final = 12
M_PUSHFUNCTION: Final = 20014
M_NETWORK_CHANGED: Final = 17
M_RESOLVE_THREADS_MAX: Final = 20
M_QUICK_EXIT: Final = 21
M_NWC_CLEAR_ALL: Final = 1
M_NWC_CLEAR_CONNS: Final = 2
M_NWC_CLEAR_DNS: Final = 4
PUSH_OK: Final = 0
PUSH_DENY: Final = 1
PUSH_ERROROUT: Final = 2
LOCK_DATA_HSTS: Final = 7
GLOBAL_WINSOCK: Final = 2
VERSION_THREADSAFE: Final = 1073741824
# END CONSTANTS
