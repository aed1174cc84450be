"""Cloning a Curl with duphandle: the clone sends the source's request with
references, callback data and a thread state of its own, outlives the
source, and belongs to no multi and no share."""

import gc
import itertools
import json
import os
import re
import threading
import warnings

import pytest

import tolvex as T
from servers.http import pattern

RUNNING = "cannot invoke %s() - perform() is currently running"


class Sub(T.Curl):
    def __init__(self, made):
        made.append(1)


def seen(request):
    """A recorded request as bytes, with its multipart boundary made constant."""
    head = b"".join(b"%s: %s\n" % (k.encode(), v.encode()) for k, v in request.headers)
    return re.sub(rb"-{8,}\w+", b"-", head + request.body)


@pytest.mark.filterwarnings("ignore:HTTPPOST is deprecated:DeprecationWarning")
@pytest.mark.parametrize("end", ["close", "collect"])
@pytest.mark.parametrize(
    "option, value, sent",
    [
        ("POSTFIELDS", "a=1&b=2", b"a=1&b=2"),
        ("HTTPPOST", [("f", (T.FORM_BUFFER, "f", T.FORM_BUFFERPTR, b"\0held"))], b"\0held"),
    ],
)
def test_clone_repeats_the_request_after_the_source_is_gone(server, option, value, sent, end):
    src = Sub(made := [])
    src.tags = ["t"]
    for name, v in [("URL", server.url("/echo")), ("HTTPHEADER", ["X-A: 1"]), (option, value)]:
        src.setopt(getattr(T, name), v)
    clone = src.duphandle()
    src.perform_rb()
    if end == "close":
        src.close()
        with pytest.raises(T.error, match="^cloning curl failed$"):
            src.duphandle()
    del src
    gc.collect()
    clone.perform_rb()
    first, again = map(seen, server.requests)
    assert first == again and b"X-A: 1\n" in first and sent in first
    assert (type(clone), made, clone.tags) == (Sub, [1], ["t"])
    if option == "POSTFIELDS":  # the clone holds the posted bytes
        with pytest.raises(ValueError):
            clone.setopt(T.POSTFIELDSIZE, len(sent) + 1)


SITES = {
    "WRITEFUNCTION": ({}, None),
    "READFUNCTION": ({"UPLOAD": 1, "INFILESIZE": 3}, lambda n: b"abc"),
    "DEBUGFUNCTION": ({"VERBOSE": 1}, None),
    "CLOSESOCKETFUNCTION": ({"FORBID_REUSE": 1}, lambda fd: os.close(fd) or 0),
}


@pytest.mark.parametrize("site", SITES)
def test_callables_of_a_closed_source_run_for_the_clone(quiet_server, site):
    """Through the clone's own thread state: in its callbacks the clone is the
    handle that runs; sockets close through the clone's own closer."""
    settings, result = SITES[site]
    calls = []

    def callable_(*args):
        with pytest.raises(T.error) as info:  # the clone is the one running
            clone.setopt(T.NOSIGNAL, 1)
        calls.append(info.value.args[0])
        return result(*args) if callable(result) else result

    src = T.Curl()
    for name, value in {
        "URL": quiet_server.url("/hello"),
        "WRITEFUNCTION": len,
        **settings,
        site: callable_,
    }.items():
        src.setopt(getattr(T, name), value)
    clone = src.duphandle()
    src.close()
    clone.perform()
    clone.close()
    assert calls and set(calls) == {RUNNING % "setopt"}


@pytest.mark.parametrize("drive", ["perform", "multi", "other thread"])
def test_clone_while_the_source_runs(server, drive):
    """Made from a callback of the running transfer, the clone works and is in
    no multi; from another thread, while the transfer runs, it is refused."""
    got, clones, inside, leave = [], [], threading.Event(), threading.Event()

    def write(data):
        got.append(data)
        if drive == "other thread":
            inside.set(), leave.wait(10)
        elif not clones:
            clones.append(src.duphandle())

    def run(c):  # the multi finds its member through the private pointer
        if drive != "multi":
            return c.perform()
        m.add_handle(c)
        while m.perform()[1]:
            m.select(1.0)
        assert m.info_read()[1] == [c]

    src, m = T.Curl(), T.CurlMulti()
    src.setopt(T.URL, server.url("/bytes/1000"))
    src.setopt(T.WRITEFUNCTION, write)
    if drive == "other thread":
        (worker := threading.Thread(target=src.perform)).start()
        inside.wait(10)
        with pytest.raises(T.error) as info:
            src.duphandle()
        leave.set(), worker.join()
        assert info.value.args == (RUNNING % "duphandle",)
        clones.append(src.duphandle())
    else:
        run(src)
    assert clones[0].multi() is None
    run(clones[0])
    assert b"".join(got) == pattern(1000) * 2


def test_clone_of_a_share_user_is_in_no_share(server):
    s = T.CurlShare(detach_on_close=False)
    s.setopt(T.SH_SHARE, T.LOCK_DATA_COOKIE)
    src = T.Curl()
    for o, v in [(T.SHARE, s), (T.COOKIEFILE, ""), (T.URL, server.url("/cookies?a=1"))]:
        src.setopt(o, v)
    src.perform_rb()
    clone = src.duphandle()
    for c in (src, clone):
        c.setopt(T.URL, server.url("/cookies"))
    assert (src.perform_rb(), clone.perform_rb(), clone.share()) == (b"a=1", b"", None)
    src.close(), s.close()  # the share refuses to close while it has a user
    assert clone.perform_rb() == b""


@pytest.mark.parametrize("end", ["idle", "close"])
def test_clone_of_a_tls_and_hsts_source(sts_server, end):
    """The clone verifies with the source's CA text; libcurl's copy does not
    call the HSTS reader, each transfer does."""
    entries, src = [], T.Curl()
    src.set_ca_certs(sts_server.ca.cert_pem.bytes())
    for o, v in [
        (T.RESOLVE, ["sub.hsts.test:%d:127.0.0.1" % sts_server.port]),
        (T.HSTS_CTRL, T.CURLHSTS_ENABLE),
        (T.URL, "http://sub.hsts.test:%d/hello" % sts_server.port),
        (T.HSTSREADFUNCTION, lambda: entries.pop() if entries else None),
    ]:
        src.setopt(o, v)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        clone = src.duphandle()
    if end == "close":
        src.close()
    for c in [clone] + [src] * (end == "idle"):
        entries.append(("hsts.test", None, True))
        assert c.perform_rb() == b"Hello, world!" and c.getinfo(T.EFFECTIVE_URL).startswith("https")
    assert caught == []


@pytest.mark.parametrize("first", ["source", "clone"])
@pytest.mark.parametrize("nested", [False, True])
def test_mime_body_is_sent_by_both_and_freed_once(form_server, first, nested):
    freed, chunks, src = [], itertools.cycle([b"streamed", b""]), T.Curl()
    src.setopt(T.URL, form_server.url("/form"))
    mime = T.CurlMime(src)
    host = mime.add_multipart("inner") if nested else mime
    host.add_field("plain", "text")
    host.addpart().data_cb(
        None, lambda userdata, size: next(chunks), free=freed.append, userdata="u"
    )
    src.setopt(T.MIMEPOST, mime)
    clone = src.duphandle()
    del mime, host
    sent = [
        re.sub(r"-{8,}\w+", "-", json.dumps(json.loads(c.perform_rb())["parts"]))
        for c in (src, clone)
    ]
    assert sent[0] == sent[1] and "streamed" in sent[0]
    order = [src, clone][:: 1 if first == "source" else -1]
    del src, clone
    order.pop(0).close()
    gc.collect()
    assert freed == []
    order.pop().close()
    gc.collect()
    assert freed == ["u"]
