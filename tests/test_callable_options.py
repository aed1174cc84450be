"""Callables, file objects, the share and the MIME body given to setopt."""

import gc
import io
import sys
import warnings
import weakref

import pytest

import tolvex

T = tolvex


def held(c, obj):
    return any(o is obj for o in gc.get_referents(c))


class Recorder:
    """A callable that records its arguments and answers `result`."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args):
        self.calls.append(args)
        return self.result


class Sink:
    def __init__(self):
        self.parts = []

    def write(self, data):
        self.parts.append(data)


@pytest.mark.parametrize("option", [T.WRITEFUNCTION, T.HEADERFUNCTION])
def test_use_memoryview(curl, server, option):
    seen = []
    curl.setopt(T.URL, server.url("/hello"))
    for flag in (True, None, False, True):

        def cb(data):
            seen.append((flag, type(data), bytes(data)))

        kw = {} if flag is None else {"use_memoryview": flag}
        curl.setopt(option, cb, **kw)
        curl.perform()
    assert {(flag, kind) for flag, kind, _ in seen} == {
        (True, memoryview),
        (None, bytes),
        (False, bytes),
    }
    first = [d for _, _, d in seen if d.startswith((b"Hello", b"HTTP/"))]
    assert first == [b"Hello, world!" if option == T.WRITEFUNCTION else b"HTTP/1.1 200 OK\r\n"] * 4


@pytest.mark.parametrize(
    "option, setup, result",
    [
        (T.HEADERFUNCTION, {}, None),
        (T.XFERINFOFUNCTION, {T.NOPROGRESS: 0}, 0),
        (T.PROGRESSFUNCTION, {T.NOPROGRESS: 0}, 0),
        (T.DEBUGFUNCTION, {T.VERBOSE: 1}, 0),
        (T.PREREQFUNCTION, {}, 0),
        # not called by these transfers: only kept and released
    ]
    + [
        (getattr(T, name), None, None)
        for name in """READFUNCTION SEEKFUNCTION IOCTLFUNCTION TRAILERFUNCTION WRITEFUNCTION
        OPENSOCKETFUNCTION CLOSESOCKETFUNCTION SOCKOPTFUNCTION SSH_KEYFUNCTION FNMATCH_FUNCTION
        RESOLVER_START_FUNCTION HSTSREADFUNCTION HSTSWRITEFUNCTION SSH_HOSTKEYFUNCTION
        CHUNK_BGN_FUNCTION CHUNK_END_FUNCTION INTERLEAVEFUNCTION""".split()
    ],
)
def test_callable_kept_replaced_and_reset(curl, server, option, setup, result):
    first, second = Recorder(result), Recorder(result)
    ref = weakref.ref(first)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        curl.setopt(option, first)
        del first
        assert ref() is not None
        curl.setopt(option, second)
    assert ref() is None and held(curl, second)
    curl.setopt(T.URL, server.url("/hello"))
    for key, value in (setup or {}).items():
        curl.setopt(key, value)
    if setup is not None:
        assert curl.perform_rb() == b"Hello, world!" and second.calls
    calls, ref = second.calls, weakref.ref(second)
    del second
    curl.setopt(option, None)
    assert ref() is None
    if setup is not None:
        count = len(calls)
        assert curl.perform_rb() == b"Hello, world!" and len(calls) == count


def test_unsetting_progress_keeps_the_data_of_xferinfo(curl, server):
    # Both callbacks read one data option: unsetting one leaves it set.
    calls = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        curl.setopt(T.PROGRESSFUNCTION, Recorder())
    curl.setopt(T.XFERINFOFUNCTION, lambda *args: calls.append(args))
    curl.setopt(T.PROGRESSFUNCTION, None)
    curl.setopt(T.URL, server.url("/hello"))
    curl.setopt(T.NOPROGRESS, 0)
    assert curl.perform_rb() == b"Hello, world!" and calls


def with_attr(name, value):
    return type("F", (), {name: value})()


@pytest.mark.parametrize(
    "option, value, message",
    [
        (T.URL, len, "functions are not supported for this option"),
        (20108, Recorder(), "functions are not supported for this option"),  # SSL_CTX_FUNCTION
        (T.WRITEDATA, len, "functions are not supported for this option"),
        (T.READDATA, Recorder(), "functions are not supported for this option"),
        (T.WRITEHEADER, io.BytesIO().write, "functions are not supported for this option"),
        (T.WRITEDATA, object(), "object given without a write method"),
        (T.WRITEHEADER, with_attr("read", len), "object given without a write method"),
        (T.READDATA, Sink(), "object given without a read method"),
        (T.WRITEDATA, with_attr("write", 5), "integers are not supported for this option"),
        (T.WRITEDATA, with_attr("write", "x"), "strings are not supported for this option"),
        (T.READDATA, with_attr("read", [1]), "lists are not supported for this option"),
        (T.WRITEHEADER, with_attr("write", object()), "invalid arguments to setopt"),
        (T.MIMEPOST, object(), "setopt(option=MIMEPOST) expects a CurlMime object"),
        (T.MIMEPOST, tolvex.CurlShare(), "setopt(option=MIMEPOST) expects a CurlMime object"),
        (T.SHARE, object(), "invalid arguments to setopt"),
        (T.SHARE, type("Sub", (tolvex.CurlShare,), {})(), "invalid arguments to setopt"),
    ],
)
def test_refusals(curl, option, value, message):
    with pytest.raises(TypeError) as info:
        curl.setopt(option, value)
    assert str(info.value) == message


def test_file_objects(curl, server, tmp_path):
    curl.setopt(T.URL, server.url("/hello"))
    headers, sink = io.BytesIO(), Sink()
    ref = weakref.ref(sink)
    curl.setopt(T.WRITEHEADER, headers)
    curl.setopt(T.WRITEDATA, sink)
    del sink  # kept alive by its bound method
    curl.perform()
    assert headers.getvalue().startswith(b"HTTP/1.1 200 OK\r\n")
    assert ref().parts == [b"Hello, world!"]
    with open(tmp_path / "out", "wb") as f:
        curl.setopt(T.WRITEDATA, f)
        assert ref() is None
        curl.perform()
    assert (tmp_path / "out").read_bytes() == b"Hello, world!"
    source = io.BytesIO(b"uploaded\0body")
    curl.setopt(T.READDATA, source)
    (method,) = [o for o in gc.get_referents(curl) if getattr(o, "__self__", None) is source]
    assert method.__name__ == "read"
    curl.setopt(T.URL, server.url("/echo"))
    curl.setopt(T.UPLOAD, 1)
    assert curl.perform_rb() == b"uploaded\0body"


@pytest.mark.parametrize(
    "data_option, function_option",
    [(T.WRITEHEADER, T.HEADERFUNCTION), (T.WRITEDATA, T.WRITEFUNCTION)],
)
def test_file_object_and_function_share_a_slot(curl, server, data_option, function_option):
    curl.setopt(T.URL, server.url("/hello"))
    cb, sink, later = Recorder(), io.BytesIO(), Recorder()
    curl.setopt(function_option, cb)
    curl.setopt(data_option, sink)
    curl.perform()
    size = len(sink.getvalue())
    curl.setopt(function_option, later)
    curl.perform()
    assert (cb.calls, size > 0, len(sink.getvalue()) == size) == ([], True, True)
    assert later.calls


@pytest.mark.parametrize(
    "option, message",
    [
        (T.PROGRESSFUNCTION, "PROGRESSFUNCTION is deprecated; use XFERINFOFUNCTION"),
        (T.IOCTLFUNCTION, "IOCTLFUNCTION is deprecated; use SEEKFUNCTION"),
    ],
)
def test_deprecated_functions(curl, server, option, message):
    old, new = Recorder(0), Recorder(0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        curl.setopt(option, old)
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (DeprecationWarning, message, __file__)
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning) as info:
            curl.setopt(option, new)
    assert str(info.value) == message
    assert held(curl, old) and not held(curl, new)
    curl.setopt(T.URL, server.url("/hello"))
    curl.setopt(T.NOPROGRESS, 0)
    curl.perform_rb()
    assert bool(old.calls) == (option == T.PROGRESSFUNCTION) and not new.calls


def share_users(share):
    (refs,) = [o for o in gc.get_referents(share) if isinstance(o, dict)]
    return [r() for r in refs.values()]


@pytest.mark.parametrize(
    "detach",
    [lambda c: c.setopt(T.SHARE, None), lambda c: c.unsetopt(T.SHARE)],
    ids=["none", "unsetopt"],
)
def test_share_attach_and_detach(curl, server, detach):
    first, second = tolvex.CurlShare(), tolvex.CurlShare()
    base = sys.getrefcount(first)
    assert curl.setopt(T.SHARE, first) is None
    assert curl.share() is first and share_users(first) == [curl]
    assert sys.getrefcount(first) == base + 1
    for other in (first, second, object()):
        with pytest.raises(tolvex.error) as info:
            curl.setopt(T.SHARE, other)
        assert info.value.args == ("Curl object already sharing. Unshare first.",)
    assert curl.share() is first and share_users(second) == []
    detach(curl)
    assert curl.share() is None and share_users(first) == []
    assert sys.getrefcount(first) == base
    curl.setopt(T.SHARE, second)
    assert curl.share() is second and share_users(second) == [curl]
    curl.setopt(T.URL, server.url("/hello"))
    assert curl.perform_rb() == b"Hello, world!"
