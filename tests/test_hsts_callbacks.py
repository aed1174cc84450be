"""HSTS cache entries preloaded by a Python callable and handed to one when
libcurl saves its cache.  libcurl keeps no HSTS entries for IP hosts, so the
server is reached under made-up names through RESOLVE."""

import datetime

import pytest

import tolvex
from servers.http import transfer

T = tolvex
UTC = datetime.timezone.utc
PLUS_TWO = datetime.timezone(datetime.timedelta(hours=2))
when = datetime.datetime


def hsts_curl(server, url, read=None, written=None):
    c = tolvex.Curl()
    c.set_ca_certs(server.ca.cert_pem.bytes())
    names = ("hsts.test", "sub.hsts.test")
    c.setopt(T.RESOLVE, ["%s:%d:127.0.0.1" % (name, server.port) for name in names])
    c.setopt(T.HSTS_CTRL, T.CURLHSTS_ENABLE)
    c.setopt(T.URL, url % server.port)
    if read is not None:
        entries = list(read)
        c.setopt(T.HSTSREADFUNCTION, lambda: entries.pop(0) if entries else None)
    if written is not None:
        c.setopt(T.HSTSWRITEFUNCTION, lambda entry, index: written.append((entry, index)))
    return c


def test_learned_entry_is_written_and_preloads_another_handle(sts_server):
    written = []
    c = hsts_curl(sts_server, "https://hsts.test:%d/sts?max-age=3600&subdomains=1", written=written)
    start = datetime.datetime.now(UTC).replace(microsecond=0)
    assert c.perform_rb() == b"sts"
    c.close()  # libcurl saves its cache here
    ((entry, index),) = written
    assert (type(entry), type(index)) == (tolvex.HstsEntry, tolvex.HstsIndex)
    assert (entry.host, entry.include_subdomains, index) == (b"hsts.test", True, (0, 1))
    assert entry.expire.tzinfo is not None
    assert (
        datetime.timedelta(seconds=3599) <= entry.expire - start <= datetime.timedelta(seconds=3602)
    )
    # The entry as received, given back: plain http to a subdomain goes out as https.
    c = hsts_curl(sts_server, "http://sub.hsts.test:%d/hello", read=[entry])
    assert c.perform_rb() == b"Hello, world!"
    assert c.getinfo(T.EFFECTIVE_URL).startswith("https://sub.hsts.test:")
    c.close()


@pytest.mark.parametrize(
    "expire, saved",
    [
        (None, None),
        (when(2040, 5, 6, 7, 8, 9), when(2040, 5, 6, 7, 8, 9, tzinfo=UTC)),
        (when(2040, 5, 6, 9, 8, 9, tzinfo=PLUS_TWO), when(2040, 5, 6, 7, 8, 9, tzinfo=UTC)),
    ],
)
def test_expire_conversions(sts_server, expire, saved):
    written = []
    read = [("hsts.test", expire, False), (b"other.test", None, 1)]
    c = hsts_curl(sts_server, "https://hsts.test:%d/hello", read=read, written=written)
    c.perform_rb()
    c.close()
    expected = [(b"hsts.test", saved, False), (b"other.test", None, True)]
    assert [tuple(e) for e, _ in written] == expected
    assert [tuple(i) for _, i in written] == [(0, 2), (1, 2)]


class NoTruth:
    def __bool__(self):
        raise TypeError("no truth value")


@pytest.mark.parametrize(
    "entry, printed",
    [
        (("hsts.test", None), "callback must return None or a 3-tuple"),
        (["hsts.test", None, False], "callback must return None or a 3-tuple"),
        (("h\u00e9sts.test", None, False), "UnicodeEncodeError"),
        ((b"h\0sts.test", None, False), "ValueError"),
        (
            (b"x" * 2049, None, False),
            "hstsread callback: host length 2049 exceeds libcurl maximum 2048",
        ),
        ((42, None, False), "hstsread callback: host must be"),
        (("hsts.test", datetime.date(2040, 1, 1), False), "expire must be a datetime or None"),
        (("hsts.test", 0, False), "expire must be a datetime or None"),
        (("hsts.test", None, NoTruth()), "TypeError: no truth value"),
        ((b"x" * 2048, None, False), None),
    ],
)
def test_read_results(sts_server, capsys, entry, printed):
    with hsts_curl(sts_server, "https://hsts.test:%d/hello", read=[entry]) as c:
        try:
            outcome = c.perform_rb()
        except tolvex.error as e:
            outcome = e.args[0]
    assert outcome == (b"Hello, world!" if printed is None else T.E_ABORTED_BY_CALLBACK)
    assert printed in capsys.readouterr().err if printed else capsys.readouterr().err == ""


@pytest.mark.parametrize(
    "result, saved, printed",
    [
        (None, 2, ""),
        (T.CURLSTS_OK, 2, ""),
        (True, 1, ""),
        (3, 1, "hstswrite callback returned an invalid CURLSTScode"),
        (2**32 + 1, 1, "hstswrite callback returned an invalid CURLSTScode"),
        ("ok", 1, "hstswrite callback returned 'ok' which is not an integer"),
    ],
)
def test_write_results(sts_server, capfd, result, saved, printed):
    calls = []
    entries = [("a.test", None, False), ("b.test", None, False)]
    c = hsts_curl(sts_server, "https://hsts.test:%d/hello", read=entries)
    c.setopt(T.HSTSWRITEFUNCTION, lambda entry, index: calls.append(entry.host) or result)
    c.perform_rb()
    c.close()
    assert calls == [b"a.test", b"b.test"][:saved]
    err = capfd.readouterr().err
    assert (printed in err) if printed else err == ""


@pytest.mark.parametrize("expire", [None, datetime.datetime(2040, 1, 1)])
def test_entries_are_taken_by_every_transfer(server, expire):
    """Each transfer reads the entries again, one that never expires too; an
    entry for the URL's host sends it as https, to a plain HTTP server."""
    entries, c = [], tolvex.Curl()
    c.setopt(T.RESOLVE, ["hsts.test:%d:127.0.0.1" % server.port])
    c.setopt(T.HSTS_CTRL, T.CURLHSTS_ENABLE)
    c.setopt(T.HSTSREADFUNCTION, lambda: entries.pop() if entries else None)
    for host in ["other.test", "other.test", "hsts.test"]:
        entries.append((host, expire, False))
        outcome = transfer("http://hsts.test:%d/hello" % server.port, c)
        assert outcome == (T.E_SSL_CONNECT_ERROR if host == "hsts.test" else b"Hello, world!")
    c.close()
