"""Multipart bodies: CurlMime and its parts, the keyword builders, bodies
produced by Python callables, closing and collecting whole trees."""

import gc
import hashlib
import json
import os
import random
import re
import subprocess
import sys
import weakref

import pytest

import tolvex

DATA = bytes(range(32, 127)) * 100
BYTES = bytes(range(256))


@pytest.fixture
def mime(curl):
    m = tolvex.CurlMime(curl)
    yield m
    m.close()


def post(curl, mime, url):
    curl.setopt(tolvex.URL, url)
    curl.setopt(tolvex.MIMEPOST, mime)
    return json.loads(curl.perform_rb())["parts"]


@pytest.fixture
def form(curl, form_server):
    """Posts a MIME of `curl` to /form; the parts the server parsed."""
    form_server.requests.clear()  # /redirect records what it receives
    return lambda m, path="/form": post(curl, m, form_server.url(path))


def raises(exc, text=None):
    return pytest.raises(exc, match=None if text is None else "^%s$" % re.escape(text))


def fields(parts):
    return [(p["name"], p.get("data")) for p in parts]


def closed_mime(curl):
    (m := tolvex.CurlMime(curl)).close()
    return m


class Reader:
    """A read callable serving `data` in pieces of at most 1000 bytes, converted
    with `kind`; it records its calls, seeks and frees."""

    def __init__(self, data, kind=bytes):
        self.data, self.kind, self.pos = data, kind, 0
        self.calls, self.seeks, self.freed = [], [], []

    def read(self, userdata, size):
        self.calls.append((userdata, size))
        self.pos += len(chunk := self.data[self.pos : self.pos + min(size, 1000)])
        return self.kind(chunk)

    def seek(self, userdata, offset, origin):
        self.seeks.append((userdata, offset, origin))
        self.pos = offset

    def free(self, userdata):
        self.freed.append(userdata)


@pytest.mark.parametrize(
    "value",
    [b"a\0b", bytearray(b"\xff\0z"), memoryview(b"view"), "text"],
    ids=["bytes", "bytearray", "memoryview", "str"],
)
def test_fields_files_types_and_headers(mime, form, tmp_path, value):
    (path := tmp_path / "report.bin").write_bytes(BYTES)
    mime.add_field("f", value, headers=["X-One: 1", b"X-Two: 2"])
    (part := mime.addpart()).name(b"g")
    part.data(value)
    part.headers(["X-Gone: 1"])
    part.headers(None)
    mime.add()
    mime.add_file("up", str(path), content_type="application/x-test")
    mime.add_file("renamed", os.fsencode(path), filename="other.txt")
    (part := mime.addpart()).filedata(str(path))
    part.filename("m.dat")
    part.type("image/png")
    encoded = {"base64": BYTES * 4, "quoted-printable": BYTES.translate(None, b"\r\n")}
    encoded["8bit"] = BYTES
    for encoder, data in encoded.items():
        mime.add(encoder, data=data, encoder=encoder)
    f, g, empty, *files = form(mime)
    assert [(p["encoding"], p["data"]) for p in files[3:]] == [
        (encoder, data.decode("latin-1")) for encoder, data in encoded.items()
    ]
    expected = (value.encode() if isinstance(value, str) else bytes(value)).decode("latin-1")
    assert fields([f, g, empty]) == [("f", expected), ("g", expected), (None, "")]
    assert ["X-One", "1"] in f["headers"] and ["X-Two", "2"] in f["headers"]
    assert "X-Gone" not in [key for key, _ in g["headers"]]
    assert [(p["name"], p["filename"], p["type"], p["data"]) for p in files[:3]] == [
        ("up", "report.bin", "application/x-test", BYTES.decode("latin-1")),
        ("renamed", "other.txt", "text/plain", BYTES.decode("latin-1")),
        (None, "m.dat", "image/png", BYTES.decode("latin-1")),
    ]


def test_nested_multiparts(mime, form, curl):
    (mixed := mime.add_multipart("mixed")).add_field("a", "1")
    (alt := mixed.add_multipart(subtype="alternative")).add_field("plain", "p")
    alt.addpart().data_cb(3, (reader := Reader(b"<p>")).read, free=reader.free, userdata="u")
    alt.close()  # an attached MIME closed alone: the parent's body keeps its parts
    (manual := tolvex.CurlMime(curl)).add_field("m", "2")
    mime.addpart().subparts(manual)
    mime.add_multipart("untyped", None).add_field("u", "3")
    top_mixed, top_manual, top_untyped = form(mime)
    inner_a, inner_alt = top_mixed["parts"]
    assert (top_mixed["type"], inner_a["data"]) == ("multipart/mixed", "1")
    assert inner_alt["type"] == "multipart/alternative"
    assert fields(inner_alt["parts"]) == [("plain", "p"), (None, "<p>")]
    assert fields(top_manual["parts"]) == [("m", "2")]
    assert fields(top_untyped["parts"]) == [("u", "3")]
    assert reader.freed == []
    mime.close()
    assert alt.closed and reader.freed == ["u"]


TEXT = "%s must be a byte string or ascii-unicode string"
CODE = (tolvex.E_BAD_FUNCTION_ARGUMENT, tolvex.easy_strerror(tolvex.E_BAD_FUNCTION_ARGUMENT))
READ = (tolvex.E_READ_ERROR, tolvex.easy_strerror(tolvex.E_READ_ERROR))
NO_MIME = "cannot invoke %s() - no mime handle"
other = lambda c: tolvex.CurlMime(c).addpart()  # noqa: E731 - a part outside the MIME under test


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (
            lambda c, m: m.add(name="n", data=b"d", file=__file__),
            ValueError,
            "add() accepts at most one of data or file",
        ),
        (lambda c, m: m.add(name=1), TypeError, TEXT % "name"),
        (
            lambda c, m: m.add(headers=["X: y", 1]),
            TypeError,
            "headers must contain only byte or ascii-unicode strings",
        ),
        (lambda c, m: m.add_file("f", "/nonexistent"), tolvex.error, READ),
        (lambda c, m: other(c).encoder("rot13"), tolvex.error, CODE),
        (
            lambda c, m: (x := tolvex.CurlMime(c)).addpart().subparts(x),
            ValueError,
            "subparts() does not accept the parent mime object",
        ),
        (
            lambda c, m: other(c).subparts(tolvex.CurlMime(tolvex.Curl())),
            ValueError,
            "subparts() requires both mime objects to use the same Curl handle",
        ),
        (
            lambda c, m: other(c).subparts(closed_mime(c)),
            ValueError,
            "subparts() received a closed mime object",
        ),
        (
            lambda c, m: other(c).subparts(tolvex.CurlMime(c).add_multipart()),
            ValueError,
            "subparts() received a mime object already attached as subparts",
        ),
        (
            lambda c, m: (c.setopt(tolvex.MIMEPOST, m), other(c).subparts(m)),
            ValueError,
            "subparts() received a mime object currently set as MIMEPOST",
        ),
        (
            lambda c, m: (x := tolvex.CurlMime(c)).add_multipart().addpart().subparts(x),
            tolvex.error,
            CODE,
        ),
        (lambda c, m: other(c).data_cb(-2, len), ValueError, "datasize must be >= -1"),
        (
            lambda c, m: other(c).data_cb("1", len),
            TypeError,
            "datasize must be an integer >= -1 or None",
        ),
        # The arguments are looked at first.
        (lambda c, m: closed_mime(c).add_field(1, "b"), TypeError, TEXT % "name"),
        (lambda c, m: closed_mime(c).add_field("a", "b"), tolvex.error, NO_MIME % "addpart"),
        (lambda c, m: closed_mime(c).add_multipart("a"), tolvex.error, NO_MIME % "add_multipart"),
    ],
)
def test_refusals_leave_the_mime_unchanged(curl, mime, form, call, exc, text):
    with raises(exc, text if isinstance(text, str) else None) as info:
        call(curl, mime)
    assert isinstance(text, str) or text is None or info.value.args == text
    assert form(mime) == []


SETTERS = dict(name="n", data=b"d", filedata=__file__, filename="f", type="a/b")
SETTERS.update(encoder="base64", headers=["A: b"], subparts=None, data_cb=None)


@pytest.mark.parametrize("setter", SETTERS)
def test_closing_the_top_closes_the_whole_tree(curl, setter):
    top = tolvex.CurlMime(curl)
    grandchild = (child := top.add_multipart()).add_multipart()
    parts = [top.addpart(), child.addpart(), grandchild.addpart()]
    top.close()
    assert child.closed and grandchild.closed and top.close() is None
    args = {"subparts": (tolvex.CurlMime(curl),), "data_cb": (0, len)}
    args = args.get(setter, (SETTERS[setter],))
    for part in parts:
        with raises(tolvex.error, NO_MIME % setter):
            getattr(part, setter)(*args)


def test_closed_curl_and_context_manager(curl):
    with raises(KeyError):
        with tolvex.CurlMime(curl) as m:
            raise KeyError
    assert m.closed
    curl.setopt(tolvex.MIMEPOST, m := tolvex.CurlMime(curl=curl))
    part = m.addpart()
    curl.close()
    calls = {"addpart": m.addpart, "name": lambda: part.name("x")}
    for name, call in dict(calls, CurlMime=lambda: tolvex.CurlMime(curl)).items():
        with raises(tolvex.error, "cannot invoke %s() - no curl handle" % name):
            call()
    m.close()
    assert m.closed


@pytest.mark.parametrize(
    "action, name",
    [
        (lambda c, m, p: tolvex.CurlMime(c), "CurlMime"),
        (lambda c, m, p: m.add_field("x", "y"), "addpart"),
        (lambda c, m, p: p.data_cb(1, len), "data_cb"),
        (lambda c, m, p: m.close(), "close"),
    ],
)
def test_refused_while_its_transfer_runs(curl, mime, form, action, name):
    seen = []

    def read(userdata, size):
        try:
            action(curl, mime, part)
        except tolvex.error as e:
            seen.append(str(e))
        return b""

    (part := mime.addpart()).data_cb(None, read)
    form(mime)
    assert seen == ["cannot invoke %s() - perform() is currently running" % name]


@pytest.mark.parametrize(
    "kind",
    [bytes, bytearray, memoryview, lambda b: b.decode("ascii")],
    ids=["bytes", "bytearray", "memoryview", "str"],
)
@pytest.mark.parametrize("sized", [True, False])
def test_read_callable_streams_the_body(curl, mime, form, kind, sized):
    reader = Reader(DATA, kind)
    size = len(DATA) if sized else None
    mime.addpart().data_cb(size, reader.read, free=reader.free, userdata="ud")
    assert fields(form(mime)) == [(None, DATA.decode())]
    assert reader.calls and all(u == "ud" and type(n) is int and n > 0 for u, n in reader.calls)
    assert reader.freed == []
    mime.close()
    assert reader.freed == ["ud"]
    assert json.loads(curl.perform_rb())["parts"] == []  # the handle has no body left


@pytest.mark.parametrize("seek_result", [None, "no seek", tolvex.SEEKFUNC_FAIL, 7])
def test_redirect_rewinds_through_seek(curl, mime, form, seek_result):
    reader = Reader(DATA)
    seek = None if seek_result == "no seek" else lambda *a: reader.seek(*a) or seek_result
    mime.addpart().data_cb(len(DATA), reader.read, seek, userdata="u")
    curl.setopt(tolvex.FOLLOWLOCATION, 1)
    if seek_result is None:
        assert fields(form(mime, "/redirect?to=/form&code=307")) == [(None, DATA.decode())]
        assert reader.seeks == [("u", 0, 0)]
    else:
        with raises(tolvex.error) as info:
            form(mime, "/redirect?to=/form&code=307")
        assert info.value.args[0] == tolvex.E_SEND_FAIL_REWIND


def fail(exc):
    raise exc


@pytest.mark.parametrize(
    "result, exc, printed, kept",
    [
        (
            lambda n: b"x" * (n + 1),
            tolvex.error,
            "invalid return value for mime read callback "
            "({m} bytes returned when at most {n} bytes were wanted)",
            tolvex.error,
        ),
        (
            lambda n: None,
            tolvex.error,
            "mime read callback must return an object supporting the buffer "
            "protocol, an ASCII-only Unicode string, READFUNC_ABORT, or READFUNC_PAUSE",
            tolvex.error,
        ),
        (lambda n: fail(ZeroDivisionError), tolvex.error, "ZeroDivisionError", ZeroDivisionError),
        (lambda n: tolvex.READFUNC_ABORT, tolvex.error, None, None),
        # Stays pending for perform, which raises it.
        (lambda n: fail(KeyboardInterrupt), KeyboardInterrupt, None, KeyboardInterrupt),
    ],
)
def test_read_failures_abort_the_transfer(curl, mime, form, capsys, result, exc, printed, kept):
    wanted = []
    mime.addpart().data_cb(None, lambda u, n: wanted.append(n) or result(n))
    with raises(exc) as info:
        form(mime)
    assert exc is not tolvex.error or info.value.args[0] == tolvex.E_ABORTED_BY_CALLBACK
    err = capsys.readouterr().err
    assert printed.format(n=wanted[0], m=wanted[0] + 1) in err if printed else err == ""
    # What went wrong in the callable is kept, and is the cause of the error.
    assert type(curl.callback_exception) is kept if kept else curl.callback_exception is None
    assert info.value.__cause__ is (None if exc is not tolvex.error else curl.callback_exception)


def test_a_read_callables_exception_is_kept_for_its_handle_in_a_multi(curl, mime, form_server):
    mime.addpart().data_cb(None, lambda u, n: 1 / 0)
    curl.setopt(tolvex.URL, form_server.url("/form"))
    curl.setopt(tolvex.MIMEPOST, mime)
    with tolvex.CurlMulti() as multi:
        multi.add_handle(curl)
        while multi.perform()[1]:
            multi.select(1.0)
        _, done, failed = multi.info_read()
    assert not done and failed[0][:2] == (curl, tolvex.E_ABORTED_BY_CALLBACK)
    assert isinstance(curl.callback_exception, ZeroDivisionError)


REPLACEMENTS = {
    "data": lambda part, curl: part.data(b"new"),
    "filedata": lambda part, curl: part.filedata(__file__),
    "data_cb": lambda part, curl: part.data_cb(3, Reader(b"new").read),
    "subparts": lambda part, curl: part.subparts(tolvex.CurlMime(curl)),
}


@pytest.mark.parametrize("replace", REPLACEMENTS.values(), ids=REPLACEMENTS.keys())
def test_replacing_a_body_lets_go_of_the_old_one(curl, mime, form, replace):
    reader, child = Reader(b"old"), tolvex.CurlMime(curl)
    (callback_part := mime.addpart()).data_cb(3, reader.read, free=reader.free, userdata="old")
    (nested_part := mime.addpart()).subparts(child)
    child.add_field("c", "1")
    grandchild = child.add_multipart()
    for part in (callback_part, nested_part):
        replace(part, curl)
    assert reader.freed == ["old"]  # at once, and once only
    assert child.closed and grandchild.closed  # libcurl freed their structure
    with raises(tolvex.error, NO_MIME % "addpart"):
        child.addpart()
    assert all(p.get("data") != "old" and p.get("parts") in (None, []) for p in form(mime))
    mime.close()
    assert reader.freed == ["old"] and reader.calls == []


def test_free_callable_may_close_the_mime_and_fail(curl, monkeypatch):
    reports = []
    # only the type: keeping the hook's arguments keeps their tracebacks alive
    monkeypatch.setattr(sys, "unraisablehook", lambda args: reports.append(type(args.exc_value)))
    mime = tolvex.CurlMime(curl)
    (part := mime.addpart()).data_cb(0, len, free=lambda u: (mime.close(), 1 / 0))
    mime.addpart().data_cb(0, len, free=lambda u: 1 / 0)
    part.data(b"replaced")
    assert mime.closed and reports == [ZeroDivisionError] * 2


def test_body_posted_by_a_multi_pauses_and_resumes(curl, mime, form_server):
    reader = Reader(DATA)
    read = lambda u, n: reader.read(u, n) if paused else paused.append(1) or tolvex.READFUNC_PAUSE
    mime.addpart().data_cb(None, read, userdata=(paused := []))
    mime.add_field("f", "v")
    curl.setopt(tolvex.URL, form_server.url("/form"))
    curl.setopt(tolvex.MIMEPOST, mime)
    curl.setopt(tolvex.WRITEFUNCTION, (chunks := []).append)
    with tolvex.CurlMulti() as multi:
        multi.add_handle(curl)
        while multi.perform()[1]:
            if paused == [1]:
                curl.pause(tolvex.PAUSE_CONT)
                paused.append(2)
            multi.select(1.0)
        multi.remove_handle(curl)
    assert fields(json.loads(b"".join(chunks))["parts"]) == [(None, DATA.decode()), ("f", "v")]
    assert paused == [1, 2] and reader.calls[0][0] is paused


@pytest.mark.parametrize("link", ["mimepost", "nested", "read callable"])
def test_unreachable_trees_are_collected(link):
    holder = type("Holder", (), {})()
    holder.curl, freed = tolvex.Curl(), []
    holder.mime = tolvex.CurlMime(holder.curl)
    holder.part = (holder.mime.add_multipart() if link == "nested" else holder.mime).addpart()
    # a read callable referring back to the holder makes a cycle through libcurl's use of it
    read = (lambda userdata, size, h=holder: b"") if link == "read callable" else len
    holder.part.data_cb(0, read, free=freed.append, userdata=link)
    if link == "mimepost":
        holder.curl.setopt(tolvex.MIMEPOST, holder.mime)
    curl_ref = weakref.ref(holder.curl)
    del holder, read
    gc.collect()
    assert curl_ref() is None and freed == [link]


def peak_kib(reset=False):
    if reset:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    with open("/proc/self/status") as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))


@pytest.mark.no_refleak_check(reason="one 100 MiB transfer, whose memory is measured instead")
def test_hundred_mib_streamed_body_keeps_memory_flat(curl):
    # the server parses in a process of its own, so that only the client is measured
    args, pipe = [sys.executable, "-m", "servers.multipart"], subprocess.PIPE
    with subprocess.Popen(args, stdin=pipe, stdout=pipe, cwd=os.path.dirname(__file__)) as server:
        size, digest, rnd, sent = 100 << 20, hashlib.sha256(), random.Random(5), 0
        table = bytes(33 + i % 94 for i in range(256))  # printable: no line ends to parse

        def read(userdata, wanted):
            nonlocal sent
            sent += len(chunk := rnd.randbytes(min(wanted, size - sent)).translate(table))
            digest.update(chunk)
            return chunk

        (mime := tolvex.CurlMime(curl)).addpart().data_cb(size, read)
        mime.add_field("after", "end")
        url = "http://127.0.0.1:%d/form" % int(server.stdout.readline())
        before = peak_kib(reset=True)
        try:
            big, after = post(curl, mime, url)
        finally:
            server.stdin.close()  # the server stops when its input ends
        growth = peak_kib() - before
        mime.close()
    assert (big["size"], big["sha256"]) == (size, digest.hexdigest())
    assert after["sha256"] == hashlib.sha256(b"end").hexdigest()
    print("peak RSS growth during the transfer: %d KiB" % growth)
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # its quarantine holds freed memory
        assert growth < 8 << 10
