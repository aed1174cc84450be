from tolvex._tolvex import *
from tolvex._tolvex import error as error, version as version
from tolvex._async import AsyncClient as AsyncClient
from tolvex._client import (
    Client as Client,
    delete as delete,
    get as get,
    head as head,
    options as options,
    patch as patch,
    post as post,
    put as put,
    request as request,
    stream as stream,
)
from tolvex._config import (
    DEFAULT_LIMITS as DEFAULT_LIMITS,
    DEFAULT_TIMEOUT as DEFAULT_TIMEOUT,
    BasicAuth as BasicAuth,
    BearerAuth as BearerAuth,
    DigestAuth as DigestAuth,
    Limits as Limits,
    Retry as Retry,
    Timeout as Timeout,
)
from tolvex._errors import (
    ConnectError as ConnectError,
    ConnectTimeout as ConnectTimeout,
    DecodingError as DecodingError,
    HTTPError as HTTPError,
    HTTPStatusError as HTTPStatusError,
    InvalidURL as InvalidURL,
    NetworkError as NetworkError,
    PoolTimeout as PoolTimeout,
    ProtocolError as ProtocolError,
    ProxyError as ProxyError,
    ReadError as ReadError,
    ReadTimeout as ReadTimeout,
    RequestError as RequestError,
    TimeoutException as TimeoutException,
    TLSError as TLSError,
    TooManyRedirects as TooManyRedirects,
    TransportError as TransportError,
    WriteError as WriteError,
    WriteTimeout as WriteTimeout,
)
from tolvex._models import Headers as Headers, Request as Request, Response as Response
