"""Request bodies from Python (read, seek, ioctl), progress, tracing,
pre-request checks and trailers of chunked uploads."""

import io
import json
import warnings

import pytest

import tolvex
from servers.http import perform_error


# A server that prints nothing when a client drops a connection.
pytestmark = pytest.mark.quiet_server


class Source:
    """A read callable serving `data` in pieces of at most `piece` bytes,
    converted with `kind`; seeking moves its position."""

    def __init__(self, data, kind=bytes, piece=None):
        self.data, self.kind, self.piece = data, kind, piece
        self.pos = 0
        self.returned = []

    def read(self, size):
        n = min(size, self.piece or size)
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        self.returned.append(len(chunk))
        return self.kind(chunk)


def upload_curl(server, path, read, mode="put", size=None):
    c = tolvex.Curl()
    c.setopt(tolvex.URL, server.url(path))
    body = io.BytesIO()
    c.setopt(tolvex.WRITEDATA, body)
    if mode == "post":
        c.setopt(tolvex.POST, 1)
        c.setopt(tolvex.POSTFIELDSIZE_LARGE, -1 if size is None else size)
    else:
        c.setopt(tolvex.UPLOAD, 1)
        if size is not None:
            c.setopt(tolvex.INFILESIZE_LARGE, size)
    if read is not None:
        c.setopt(tolvex.READFUNCTION, read)
    c.body = body
    return c


def ascii_str(chunk):
    return chunk.decode("ascii")


class Raising:
    """An entry of a result table: the callable raises instead of returning."""

    def __init__(self, exc_type, text):
        self.exc_type, self.text = exc_type, text


def answer(result):
    if isinstance(result, Raising):
        raise result.exc_type(result.text)
    return result


DATA = bytes(range(32, 127)) * 300


# --- read -------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind",
    [bytes, bytearray, memoryview, ascii_str],
    ids=["bytes", "bytearray", "memoryview", "str"],
)
@pytest.mark.parametrize(
    "mode, sized", [("put", True), ("put", False), ("post", True), ("post", False)]
)
def test_read_callable_supplies_the_body(server, kind, mode, sized):
    source = Source(DATA, kind, piece=1000)
    with upload_curl(server, "/echo", source.read, mode, len(DATA) if sized else None) as c:
        c.perform()
        assert c.body.getvalue() == DATA
    (request,) = server.requests
    assert request.method == ("PUT" if mode == "put" else "POST")
    if sized:
        assert request.header("Content-Length") == str(len(DATA))
    else:
        assert request.header("Transfer-Encoding") == "chunked"
        # the empty result ended the upload, and nothing was asked after it
        assert source.returned[-1] == 0
        assert source.returned.count(0) == 1


def test_read_data_file_object(server):
    with upload_curl(server, "/echo", None, size=len(DATA)) as c:
        c.setopt(tolvex.READDATA, io.BytesIO(DATA))
        c.perform()
        assert c.body.getvalue() == DATA


@pytest.mark.parametrize(
    "kind, encoded", [(bytes, ""), (ascii_str, " after encoding to ascii")], ids=["bytes", "str"]
)
@pytest.mark.parametrize("extra", [0, 1])
def test_read_result_at_most_the_size_wanted(server, capsys, kind, encoded, extra):
    wanted = []

    def read(size):
        if wanted:
            return b""
        wanted.append(size)
        return kind(b"x" * (size + extra))

    with upload_curl(server, "/echo", read) as c:
        if extra == 0:
            c.perform()
            assert c.body.getvalue() == b"x" * wanted[0]
            assert capsys.readouterr().err == ""
        else:
            assert perform_error(c) == tolvex.E_ABORTED_BY_CALLBACK
            err = capsys.readouterr().err
            assert err.endswith(
                "tolvex.error: invalid return value for read callback (%d bytes returned%s when"
                " at most %d bytes were wanted)\n" % (wanted[0] + 1, encoded, wanted[0])
            )


BUFFER_MESSAGE = (
    "tolvex.error: read callback must return an object supporting the buffer protocol "
    "(e.g. a byte string) or an ASCII-only Unicode string\n"
)


@pytest.mark.parametrize(
    "result, printed",
    [
        (tolvex.READFUNC_ABORT, ""),
        (None, BUFFER_MESSAGE),
        (0, BUFFER_MESSAGE),
        (7, BUFFER_MESSAGE),
        (2**80, BUFFER_MESSAGE),
        (1.5, BUFFER_MESSAGE),
        ([b"x"], BUFFER_MESSAGE),
        (
            "caf\u00e9",
            "UnicodeEncodeError: 'ascii' codec can't encode character '\\xe9' in position 3:"
            " ordinal not in range(128)\n",
        ),
        (Raising(ValueError, "no data today"), "ValueError: no data today\n"),
    ],
)
def test_read_result_that_aborts(server, capsys, result, printed):
    with upload_curl(server, "/echo", lambda size: answer(result)) as c:
        assert perform_error(c) == tolvex.E_ABORTED_BY_CALLBACK
    err = capsys.readouterr().err
    assert err.endswith(printed) if printed else err == ""


def test_read_callable_interrupted(server, capsys):
    def interrupted(size):
        raise KeyboardInterrupt

    with upload_curl(server, "/echo", interrupted, size=10) as c:
        with pytest.raises(KeyboardInterrupt):
            c.perform()
    assert capsys.readouterr().err == ""


def test_read_pause_then_unpause(server):
    events = []
    source = Source(b"sent after a pause")

    with upload_curl(server, "/echo", None, size=len(source.data)) as c:

        def read(size):
            if not events:
                events.append("paused")
                return tolvex.READFUNC_PAUSE
            return source.read(size)

        def xferinfo(*counters):
            if events == ["paused"]:
                events.append("unpaused")
                c.unpause()

        c.setopt(tolvex.READFUNCTION, read)
        c.setopt(tolvex.NOPROGRESS, 0)
        c.setopt(tolvex.XFERINFOFUNCTION, xferinfo)
        c.perform()
        assert events == ["paused", "unpaused"]
        assert c.body.getvalue() == b"sent after a pause"


# --- rewinding: a 307 redirect makes libcurl send the body again ------------

SEEK_TYPE_MESSAGE = (
    "tolvex.error: seek callback must return 0 (CURL_SEEKFUNC_OK), 1 (CURL_SEEKFUNC_FAIL), "
    "2 (CURL_SEEKFUNC_CANTSEEK) or None\n"
)


def redirected_upload(server, mode="post"):
    source = Source(DATA, piece=4000)
    c = upload_curl(server, "/redirect?to=/echo", source.read, mode, len(DATA))
    c.setopt(tolvex.FOLLOWLOCATION, 1)
    return c, source


@pytest.mark.parametrize("result", [None, tolvex.SEEKFUNC_OK])
def test_seek_callable_rewinds(server, result):
    calls = []
    c, source = redirected_upload(server)

    def seek(offset, origin):
        calls.append((offset, origin))
        source.pos = offset
        return result

    with c:
        c.setopt(tolvex.SEEKFUNCTION, seek)
        c.perform()
        assert c.body.getvalue() == DATA
    assert calls == [(0, 0)]
    assert [r.path for r in server.requests] == ["/redirect?to=/echo", "/echo"]
    assert [r.body for r in server.requests] == [DATA, DATA]


@pytest.mark.parametrize(
    "result, printed",
    [
        (tolvex.SEEKFUNC_FAIL, ""),
        (tolvex.SEEKFUNC_CANTSEEK, ""),
        (3, "tolvex.error: invalid return value for seek callback 3 not in (0, 1, 2)\n"),
        (-1, "tolvex.error: invalid return value for seek callback -1 not in (0, 1, 2)\n"),
        ("0", SEEK_TYPE_MESSAGE),
        (0.0, SEEK_TYPE_MESSAGE),
        (Raising(LookupError, "cannot go back"), "LookupError: cannot go back\n"),
    ],
)
def test_seek_result_that_fails_the_rewind(server, capsys, result, printed):
    c, source = redirected_upload(server)
    with c:
        c.setopt(tolvex.SEEKFUNCTION, lambda offset, origin: answer(result))
        assert perform_error(c) == tolvex.E_SEND_FAIL_REWIND
    assert len(server.requests) == 1
    err = capsys.readouterr().err
    if printed:
        assert err.endswith(printed)
    else:
        assert err == ""


@pytest.mark.parametrize(
    "option, text",
    [
        ("IOCTLFUNCTION", "IOCTLFUNCTION is deprecated; use SEEKFUNCTION"),
        ("PROGRESSFUNCTION", "PROGRESSFUNCTION is deprecated; use XFERINFOFUNCTION"),
    ],
)
def test_deprecated_callable_options(server, option, text):
    calls = []
    with tolvex.Curl() as c:
        with pytest.warns(DeprecationWarning) as record:
            c.setopt(getattr(tolvex, option), lambda *args: calls.append(args))
        assert [str(w.message) for w in record] == [text]
        assert record[0].filename == __file__
        # refused when warnings are errors: the callable set before stays
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            with pytest.raises(DeprecationWarning):
                c.setopt(getattr(tolvex, option), lambda *args: 1 / 0)
        if option == "PROGRESSFUNCTION":
            c.setopt(tolvex.URL, server.url("/hello"))
            c.setopt(tolvex.NOPROGRESS, 0)
            assert c.perform_rb() == b"Hello, world!"
            assert calls


@pytest.mark.parametrize(
    "result, code, printed",
    [
        (None, None, ""),
        (tolvex.IOE_OK, None, ""),
        (tolvex.IOE_UNKNOWNCMD, "ioctl callback returned error 1", ""),
        (tolvex.IOE_FAILRESTART, "ioctl callback returned error 2", ""),
        (
            7,
            "ioctl callback returned error 7",
            "tolvex.error: ioctl callback returned invalid value\n",
        ),
        ("0", "ioctl callback returned error 2", ""),
    ],
)
def test_ioctl_callable_rewinds(server, capsys, result, code, printed):
    calls = []
    c, source = redirected_upload(server, "put")

    def ioctl(cmd):
        calls.append(cmd)
        source.pos = 0
        return result

    with c:
        with pytest.warns(DeprecationWarning):
            c.setopt(tolvex.IOCTLFUNCTION, ioctl)
        if code is None:
            c.perform()
            assert c.body.getvalue() == DATA
        else:
            with pytest.raises(tolvex.error) as info:
                c.perform()
            # the message shows the value libcurl received
            assert info.value.args == (tolvex.E_SEND_FAIL_REWIND, code)
    assert calls == [tolvex.IOCMD_RESTARTREAD]
    err = capsys.readouterr().err
    assert err.endswith(printed) if printed else err == ""


# --- progress and transfer information ----------------------------------------


def progress_curl(server, option, callback):
    c = tolvex.Curl()
    c.setopt(tolvex.URL, server.url("/bytes/50000"))
    c.setopt(tolvex.WRITEFUNCTION, lambda b: None)
    c.setopt(tolvex.NOPROGRESS, 0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        c.setopt(getattr(tolvex, option), callback)
    return c


@pytest.mark.parametrize("option, number", [("PROGRESSFUNCTION", float), ("XFERINFOFUNCTION", int)])
def test_progress_arguments(server, option, number):
    calls = []
    with progress_curl(server, option, lambda *a: calls.append(a)) as c:
        c.perform()
    assert calls
    assert all(len(a) == 4 and all(type(x) is number for x in a) for a in calls)
    # download total and downloaded, upload total and uploaded
    assert calls[-1] == (50000, 50000, 0, 0)


class Falsy:
    def __bool__(self):
        return False


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("option", ["PROGRESSFUNCTION", "XFERINFOFUNCTION"])
@pytest.mark.parametrize(
    "result, aborts, printed",
    [
        (None, False, ""),
        (False, False, ""),
        (0, False, ""),
        ("", False, ""),
        (Falsy(), False, ""),
        (True, True, ""),
        (1, True, ""),
        (-5, True, ""),
        ("stop", True, ""),
        (BadBool(), True, "ZeroDivisionError: no truth\n"),
        (Raising(RuntimeError, "give up"), True, "RuntimeError: give up\n"),
    ],
)
def test_progress_result(server, capsys, option, result, aborts, printed):
    calls = []

    def callback(*counters):
        calls.append(counters)
        return answer(result)

    with progress_curl(server, option, callback) as c:
        if aborts:
            assert perform_error(c) == tolvex.E_ABORTED_BY_CALLBACK
            assert len(calls) == 1
        else:
            c.perform()
            assert c.getinfo(tolvex.RESPONSE_CODE) == 200
    err = capsys.readouterr().err
    assert err.endswith(printed) if printed else err == ""


# --- debug --------------------------------------------------------------------


@pytest.mark.parametrize("result", [None, 1, -1, "abort", Falsy()])
def test_debug_callable_sees_traffic_and_its_result_is_ignored(server, result):
    seen = []

    def debug(kind, data):
        seen.append((kind, data))
        return result

    with upload_curl(server, "/echo", Source(b"traced body").read, "post", 11) as c:
        c.setopt(tolvex.VERBOSE, 1)
        c.setopt(tolvex.DEBUGFUNCTION, debug)
        c.perform()
        assert c.body.getvalue() == b"traced body"
    assert all(type(kind) is int and type(data) is bytes for kind, data in seen)
    by_kind = {}
    for kind, data in seen:
        by_kind.setdefault(kind, []).append(data)
    assert by_kind[tolvex.INFOTYPE_HEADER_OUT][0].startswith(b"POST /echo HTTP/1.1\r\n")
    assert b"HTTP/1.1 200 OK\r\n" in by_kind[tolvex.INFOTYPE_HEADER_IN]
    assert b"".join(by_kind[tolvex.INFOTYPE_DATA_OUT]) == b"traced body"
    assert b"".join(by_kind[tolvex.INFOTYPE_DATA_IN]) == b"traced body"
    assert by_kind[tolvex.INFOTYPE_TEXT]


def test_debug_callable_raising_does_not_stop_the_transfer(server, capsys):
    calls = []

    def debug(kind, data):
        calls.append(kind)
        raise ValueError("trace %d" % len(calls))

    with tolvex.Curl() as c:
        c.setopt(tolvex.URL, server.url("/hello"))
        c.setopt(tolvex.VERBOSE, 1)
        c.setopt(tolvex.DEBUGFUNCTION, debug)
        assert c.perform_rb() == b"Hello, world!"
    err = capsys.readouterr().err
    assert len(calls) > 1
    assert err.count("Traceback (most recent call last):") == len(calls)
    assert "ValueError: trace %d\n" % len(calls) in err


# --- prereq -------------------------------------------------------------------


def test_prereq_arguments(server):
    calls = []

    def prereq(*args):
        calls.append(args)
        return tolvex.PREREQFUNC_OK

    with tolvex.Curl() as c:
        c.setopt(tolvex.URL, server.url("/hello"))
        c.setopt(tolvex.PREREQFUNCTION, prereq)
        assert c.perform_rb() == b"Hello, world!"
        local_port = c.getinfo(tolvex.LOCAL_PORT)
    assert calls == [("127.0.0.1", "127.0.0.1", server.port, local_port)]


# --- trailers -------------------------------------------------------------------


def trailer_upload(server, callback):
    c = upload_curl(server, "/trailers", Source(b"body with trailers", piece=5).read)
    c.setopt(tolvex.HTTPHEADER, ["Trailer: X-Checksum"])
    c.setopt(tolvex.TRAILERFUNCTION, callback)
    return c


@pytest.mark.parametrize(
    "result, sent",
    [
        (("X-Checksum: 1234",), ["X-Checksum: 1234"]),
        ([b"X-Checksum: 99", "X-Other: yes"], ["X-Checksum: 99", "X-Other: yes"]),
        (None, []),
        ([], []),
        ((), []),
    ],
)
def test_trailer_callable_supplies_trailers(server, result, sent):
    calls = []

    def trailers():
        calls.append(1)
        return result

    with trailer_upload(server, trailers) as c:
        c.perform()
        answer = json.loads(c.body.getvalue())
    assert calls == [1]
    assert answer == {"body": "body with trailers", "trailers": sent}


TRAILER_TYPE_MESSAGE = (
    "tolvex.error: trailer callback must return None or a list/tuple of header strings\n"
)
ITEM_MESSAGE = (
    "TypeError: list items must be byte strings or Unicode strings with ASCII code points only\n"
)


def raise_key_error():
    raise KeyError("no trailer")


@pytest.mark.parametrize(
    "callback, printed",
    [
        (lambda: ["X-Checksum: 1", 5], ITEM_MESSAGE),
        (lambda: (b"X-A: 1", None), ITEM_MESSAGE),
        (lambda: "X-Checksum: 1", TRAILER_TYPE_MESSAGE),
        (lambda: 0, TRAILER_TYPE_MESSAGE),
        (lambda: {"X-Checksum": "1"}, TRAILER_TYPE_MESSAGE),
        (raise_key_error, "KeyError: 'no trailer'\n"),
    ],
)
def test_trailer_result_that_aborts(server, capsys, callback, printed):
    with trailer_upload(server, callback) as c:
        with pytest.raises(tolvex.error) as info:
            c.perform()
    assert info.value.args == (
        tolvex.E_ABORTED_BY_CALLBACK,
        "operation aborted by trailing headers callback",
    )
    assert capsys.readouterr().err.endswith(printed)
