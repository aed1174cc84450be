"""Property-based fuzzing of the module's entry points with hypothesis.

Every call with any option number and any kind of value either succeeds or
raises one of the exceptions a caller can handle, and the handle stays
usable afterwards.  The number of examples per target comes from
TOLVEX_FUZZ_EXAMPLES (`./dev fuzz N`); the ordinary suite runs a few.
"""

import ctypes
import ctypes.util
import gc
import io
import math
import os
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tolvex

T = tolvex
EXAMPLES = int(os.environ.get("TOLVEX_FUZZ_EXAMPLES", "25"))
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, tolvex.error)

pytestmark = [
    pytest.mark.no_refleak_check(reason="hypothesis keeps its own growing state"),
    # Long runs take long; a hang still fails.
    pytest.mark.timeout(120 + EXAMPLES // 5),
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]


def _openssl_error_clearer():
    for name in ("libcrypto.so.3", ctypes.util.find_library("crypto")):
        if name:
            try:
                return ctypes.CDLL(name).ERR_clear_error
            except OSError, AttributeError:
                pass
    return None


_clear_openssl_errors = _openssl_error_clearer()


@pytest.fixture(autouse=True)
def openssl_error_queue():
    """libcurl leaves OpenSSL's errors on the thread's queue (an unknown
    SSLENGINE leaves the loader's error, which quotes the name), and the
    cryptography package, which trustme uses in later tests, panics when it
    reads one whose text is not UTF-8; each target leaves the queue empty."""
    yield
    if _clear_openssl_errors is not None:
        _clear_openssl_errors()


fuzz = settings(
    max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=list(HealthCheck)
)

# Every option number of every value type (known and unknown), and numbers
# outside the ranges.
OPTION_BASES = (0, 10000, 20000, 30000, 40000)
options = st.one_of(
    st.builds(lambda base, n: base + n, st.sampled_from(OPTION_BASES), st.integers(0, 340)),
    st.sampled_from([-1, -(2**31), 2**31 - 1, 9999, 50000]),
)


# --- values of every kind ----------------------------------------------------------


class Boom(Exception):
    pass


class Liar:
    """An object whose protocol methods raise or return nonsense."""

    def __init__(self, how):
        self.how = how

    def _act(self, good):
        if self.how == "raise":
            raise Boom(self.how)
        if self.how == "keyboard":
            raise KeyboardInterrupt
        return {"wrong": "text", "huge": 2**70, "negative": -5}.get(self.how, good)

    def fileno(self):
        return self._act(1)

    def __index__(self):
        return self._act(1)

    def __len__(self):
        return self._act(1)

    def __iter__(self):
        self._act(None)
        return iter(())

    def read(self, n=-1):
        return self._act(b"")

    def write(self, data):
        return self._act(len(data))

    def __call__(self, *args):
        return self._act(0)


class LyingList(list):
    def __len__(self):
        return 10**6

    def __iter__(self):
        raise Boom("iter")


ints = st.one_of(
    st.integers(-(2**70), 2**70),
    st.sampled_from(
        [0, 1, -1, 2**31 - 1, 2**31, -(2**31) - 1, 2**32, 2**63 - 1, 2**63, -(2**63) - 1, 2**64]
    ),
    st.booleans(),
)
texts = st.one_of(
    st.text(max_size=40),
    st.sampled_from(["", "a\0b", "\udcff", "caf\u00e9", "\U0001f600", "http://127.0.0.1:1/"]),
)
raw = st.one_of(st.binary(max_size=64), st.sampled_from([b"", b"\0", b"\xff" * 300]))
scalars = st.one_of(
    ints,
    texts,
    raw,
    st.floats(allow_nan=True, allow_infinity=True),
    st.builds(bytearray, raw),
    st.builds(memoryview, raw),
    st.sampled_from([None, Ellipsis, object(), math.nan, 1j]),
    st.builds(Liar, st.sampled_from(["raise", "keyboard", "wrong", "huge", "negative", "ok"])),
    st.builds(lambda: io.BytesIO(b"file")),
    st.just(len),
    st.just(print),
)
values = st.one_of(
    scalars,
    st.lists(scalars, max_size=4),
    st.lists(scalars, max_size=4).map(tuple),
    st.lists(st.tuples(texts, scalars), max_size=3),
    st.lists(texts, max_size=3).map(LyingList),
    st.builds(lambda: T.CurlShare()),
    st.builds(lambda: T.Curl()),
    st.builds(lambda: T.CurlMulti()),
)


def guarded(allowed):
    """A caller of fn, which may fail only with `allowed` or with what one of
    the fuzzer's own objects raised (a KeyboardInterrupt among them)."""

    def call(fn, *args, **kwargs):
        try:
            return fn(*args, **kwargs)
        except allowed + (Boom, KeyboardInterrupt):
            return None

    return call


call = guarded(ALLOWED)


@pytest.fixture(scope="module")
def form_url():
    from servers.multipart import MultipartServer

    server = MultipartServer().start()
    yield server.url("/form")
    server.stop()


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    # Options such as COOKIEJAR write files where the process runs.
    monkeypatch.chdir(tmp_path)


def transfer_works(c, server):
    c.reset()
    c.setopt(T.URL, server.url("/hello"))
    assert c.perform_rb() == b"Hello, world!"


# --- the targets ----------------------------------------------------------------------


@fuzz
@given(
    calls=st.lists(
        st.tuples(st.sampled_from(["setopt", "unsetopt", "setopt_string"]), options, values),
        min_size=1,
        max_size=8,
    )
)
def test_setopt_and_unsetopt(calls, server, in_tmp):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        c = T.Curl()
        for method, option, value in calls:
            if method == "unsetopt":
                call(c.unsetopt, option)
            else:
                call(getattr(c, method), option, value)
            assert not c.closed
        transfer_works(c, server)
        c.close()


@fuzz
@given(option=options, value=values, flag=st.sampled_from([True, False, 0, 1, None, "x"]))
def test_setopt_keywords(option, value, flag, in_tmp):
    c = T.Curl()
    call(c.setopt, option, value, use_memoryview=flag)
    call(c.setopt, option=option, value=value)
    call(c.setopt, option, value, bogus=1)
    c.close()


INFOS = sorted(
    {v for k, v in vars(T).items() if type(v) is int and 0x100000 <= v < 0x700000 and k[:2] != "E_"}
)


@fuzz
@given(
    state=st.sampled_from(["fresh", "used", "failed", "closed"]),
    info=st.one_of(st.sampled_from(INFOS), st.integers(-(2**40), 2**40)),
)
def test_getinfo(state, info, server, closed_port):
    c = T.Curl()
    if state == "used":
        c.setopt(T.URL, server.url("/hello"))
        c.perform_rb()
    elif state == "failed":
        c.setopt(T.URL, "http://127.0.0.1:%d/" % closed_port)
        call(c.perform)
    elif state == "closed":
        c.close()
    for method in (c.getinfo, c.getinfo_raw):
        call(method, info)
    call(c.errstr)
    call(c.errstr_raw)
    if state != "closed":
        transfer_works(c, server)
    c.close()


MULTI_OPTIONS = st.one_of(
    st.builds(int.__add__, st.sampled_from((0, 10000, 20000, 30000)), st.integers(0, 25)),
    st.integers(-(2**31), 2**31 - 1),
)
MULTI_CALLS = "assign unassign socket_action select info_read notify_enable notify_disable"


@fuzz
@given(
    calls=st.lists(st.tuples(MULTI_OPTIONS, values), min_size=1, max_size=6),
    extra=st.lists(st.tuples(st.sampled_from(MULTI_CALLS.split()), scalars), max_size=4),
)
def test_multi_options_and_calls(calls, extra, server):
    m = T.CurlMulti()
    for option, value in calls:
        call(m.setopt, option, value)
    for name, value in extra:
        method = getattr(m, name)
        if name == "assign":
            call(method, value, value)
        elif name == "select":
            call(method, value if isinstance(value, float) and abs(value) < 0.05 else 0.0)
        else:
            call(method, value)
    # The multi still drives a transfer once its callables are gone.
    for option in (T.M_SOCKETFUNCTION, T.M_TIMERFUNCTION):
        m.setopt(option, None)
    c = T.Curl()
    c.setopt(T.URL, server.url("/hello"))
    c.chunks = []
    c.setopt(T.WRITEFUNCTION, c.chunks.append)
    m.add_handle(c)
    while m.perform()[1]:
        m.select(0.5)
    assert b"".join(c.chunks) == b"Hello, world!"
    m.close()
    c.close()


@fuzz
@given(args=st.lists(scalars, max_size=3))
def test_module_functions(args):
    for fn in (T.easy_strerror, T.multi_strerror, T.share_strerror, T.url_strerror, T.version_info):
        call(fn, *args)


# --- lifecycles -------------------------------------------------------------------------

from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule  # noqa: E402


class Lifecycles(RuleBasedStateMachine):
    """Curl and CurlMulti objects created, joined, driven, closed and
    dropped in any order, with callables that act on the objects from
    inside libcurl's calls.  The objects' answers stay consistent and the
    process never crashes."""

    @initialize()
    def start(self):
        self.curls, self.multis = [], []
        self.server_url = Lifecycles.url

    def _action(self, kind, index):
        """What a callable does when libcurl calls it."""

        def act(*args):
            objects = self.curls + self.multis
            if not objects:
                return None
            target = objects[index % len(objects)]
            try:
                if kind == "close":
                    target.close()
                elif kind == "reset" and isinstance(target, T.Curl):
                    target.reset()
                elif kind == "perform":
                    target.perform()
                elif kind == "add" and self.multis and isinstance(target, T.Curl):
                    self.multis[index % len(self.multis)].add_handle(target)
                elif kind == "raise":
                    raise Boom("from a callable")
            except tolvex.error, Boom:
                pass
            return None

        return act

    @rule(url=st.sampled_from(["/hello", "/drip?count=3&delay=0.01", "/bytes/70000"]))
    def new_curl(self, url):
        c = T.Curl()
        c.setopt(T.URL, self.server_url + url)
        c.setopt(T.WRITEFUNCTION, lambda data: None)
        self.curls.append(c)

    @rule()
    def new_multi(self):
        self.multis.append(T.CurlMulti(close_handles=len(self.multis) % 2 == 1))

    @rule(i=st.integers(0, 9), j=st.integers(0, 9))
    def add(self, i, j):
        if self.curls and self.multis:
            call(self.multis[j % len(self.multis)].add_handle, self.curls[i % len(self.curls)])

    @rule(i=st.integers(0, 9), j=st.integers(0, 9))
    def remove(self, i, j):
        if self.curls and self.multis:
            call(self.multis[j % len(self.multis)].remove_handle, self.curls[i % len(self.curls)])

    @rule(
        i=st.integers(0, 9),
        kind=st.sampled_from(["close", "reset", "perform", "add", "raise"]),
        j=st.integers(0, 20),
        where=st.sampled_from(
            ["M_TIMERFUNCTION", "M_SOCKETFUNCTION", "WRITEFUNCTION", "XFERINFOFUNCTION"]
        ),
    )
    def set_acting_callable(self, i, kind, j, where):
        act = self._action(kind, j)
        if where.startswith("M_"):
            if self.multis:
                call(self.multis[i % len(self.multis)].setopt, getattr(T, where), act)
        elif self.curls:
            c = self.curls[i % len(self.curls)]
            call(c.setopt, getattr(T, where), act)
            call(c.setopt, T.NOPROGRESS, 0)

    @rule(j=st.integers(0, 9), rounds=st.integers(1, 5))
    def drive(self, j, rounds):
        if self.multis:
            m = self.multis[j % len(self.multis)]
            for _ in range(rounds):
                call(m.perform)
                call(m.info_read)
                call(m.select, 0.01)

    @rule(i=st.integers(0, 9))
    def perform(self, i):
        if self.curls:
            call(self.curls[i % len(self.curls)].perform)

    @rule(i=st.integers(0, 19))
    def close(self, i):
        objects = self.curls + self.multis
        if objects:
            call(objects[i % len(objects)].close)

    @rule(i=st.integers(0, 19), collect=st.booleans())
    def drop(self, i, collect):
        objects = self.curls + self.multis
        if objects:
            victim = objects[i % len(objects)]
            (self.curls if isinstance(victim, T.Curl) else self.multis).remove(victim)
            del victim
            if collect:
                gc.collect()

    @invariant()
    def memberships_agree(self):
        for c in self.curls:
            m = c.multi()
            if c.closed:
                assert m is None
            if m is not None:
                assert c in m and not m.closed
            for other in self.multis:
                assert (c in other) == (m is other)

    def teardown(self):
        for m in self.multis:
            call(m.close)
        for c in self.curls:
            call(c.close)
        gc.collect()


@pytest.fixture
def lifecycles(server):
    Lifecycles.url = server.url("")
    return Lifecycles


def test_lifecycles(lifecycles, capfd):
    case = lifecycles.TestCase()
    case.settings = settings(fuzz, max_examples=max(EXAMPLES // 10, 5), stateful_step_count=30)
    case.runTest()


# --- shares and MIME bodies ------------------------------------------------------------

SHARE_OPTIONS = st.one_of(
    st.sampled_from([T.SH_SHARE, T.SH_UNSHARE]), st.integers(-(2**31), 2**31 - 1)
)
KINDS = st.one_of(st.integers(-2, 9), ints, scalars)


@fuzz
@given(
    calls=st.lists(
        st.one_of(
            st.tuples(st.just("setopt"), SHARE_OPTIONS, KINDS),
            st.tuples(st.sampled_from(["share", "unshare"]), st.lists(KINDS, max_size=3)),
            st.tuples(st.sampled_from(["attach", "detach", "close curl", "close share"])),
        ),
        min_size=1,
        max_size=8,
    )
)
def test_share_options_and_users(calls, server):
    share = T.CurlShare()
    c = T.Curl()
    for name, *args in calls:
        if name == "setopt":
            call(share.setopt, *args)
        elif name in ("share", "unshare"):
            call(getattr(share, name), *args[0])
        elif name == "attach":
            call(c.setopt, T.SHARE, share)
        elif name == "detach":
            call(c.setopt, T.SHARE, None)
        elif name == "close curl":
            c.close()
            c = T.Curl()
        else:
            call(share.close)
    assert c.share() in (None, share)
    c.setopt(T.URL, server.url("/hello"))
    assert c.perform_rb() == b"Hello, world!"
    c.close()
    share.close()


MIME_KEYWORDS = st.dictionaries(
    st.sampled_from(
        "name data file filename content_type headers encoder value path subtype bogus".split()
    ),
    st.one_of(
        values,
        st.sampled_from(
            ["base64", "quoted-printable", "8bit", "/dev/null", "no such file", ["X-A: b"], None]
        ),
    ),
    max_size=5,
)
MIME_STEPS = "add add_field add_file add_multipart addpart setter close attach"
MIME_SETTERS = "name data filedata filename type encoder headers subparts data_cb"


@fuzz
@given(
    steps=st.lists(
        st.tuples(
            st.sampled_from(MIME_STEPS.split()),
            MIME_KEYWORDS,
            st.sampled_from(MIME_SETTERS.split()),
        ),
        min_size=1,
        max_size=8,
    )
)
def test_mime_builders(steps, form_url, in_tmp):
    c = T.Curl()
    mimes = [T.CurlMime(c)]
    parts = []
    for method, keywords, setter in steps:
        mime = mimes[-1]
        if method in ("add", "add_field", "add_file", "add_multipart"):
            made = call(getattr(mime, method), **keywords)
            if isinstance(made, T.CurlMime):
                mimes.append(made)
            elif made is not None:
                parts.append(made)
        elif method == "addpart":
            parts.append(call(mime.addpart))
        elif method == "setter" and parts and parts[-1] is not None:
            args = list(keywords.values())[:5]
            call(getattr(parts[-1], setter), *args)
        elif method == "close":
            call(mimes[0 if len(mimes) == 1 else -1].close)
        else:
            call(c.setopt, T.MIMEPOST, mimes[0])
    # The handle still posts a body of its own.
    body = T.CurlMime(c)
    body.add_field("k", "v")
    c.setopt(T.MIMEPOST, body)
    c.setopt(T.URL, form_url)
    reply = c.perform_rb()
    assert b'"name": "k"' in reply
    c.close()


# --- the HTTP client's request arguments ------------------------------------------------

CLIENT_ALLOWED = (TypeError, ValueError, OverflowError, tolvex.HTTPError)


def made(cls, *args):
    """An object of `cls`, or its arguments when it refuses them."""
    try:
        return cls(*args)
    except TypeError, ValueError:
        return args


HEADER_NAMES = "X-A Content-Type Host Cookie Accept User-Agent Transfer-Encoding Expect"
header_names = st.one_of(st.sampled_from(HEADER_NAMES.split()), texts)
pairs = st.lists(st.tuples(texts, st.one_of(texts, ints, st.none())), max_size=3)
request_arguments = st.fixed_dictionaries(
    {},
    optional={
        "params": st.one_of(
            pairs, st.dictionaries(texts, st.one_of(texts, ints, st.lists(texts))), scalars
        ),
        "headers": st.one_of(
            st.dictionaries(header_names, texts, max_size=3),
            st.lists(st.tuples(header_names, texts), max_size=3),
            scalars,
        ),
        "cookies": st.one_of(st.dictionaries(texts, texts, max_size=2), scalars),
        "content": st.one_of(raw, texts, st.lists(raw, max_size=3), scalars),
        "data": st.one_of(st.dictionaries(texts, st.one_of(texts, ints), max_size=3), raw, scalars),
        "json": st.one_of(
            st.recursive(
                st.one_of(ints, texts, st.floats(), st.none()),
                lambda inner: st.lists(inner, max_size=3),
                max_leaves=5,
            ),
            scalars,
        ),
        "files": st.one_of(
            st.dictionaries(
                texts,
                st.one_of(
                    raw,
                    st.tuples(st.one_of(texts, st.none()), raw),
                    st.tuples(texts, raw, st.one_of(texts, st.none())),
                    scalars,
                ),
                max_size=2,
            ),
            scalars,
        ),
        "auth": st.one_of(
            st.tuples(texts, texts),
            st.builds(made, st.just(tolvex.DigestAuth), texts, texts),
            st.builds(made, st.just(tolvex.BearerAuth), texts),
            scalars,
        ),
        "timeout": st.one_of(st.floats(), st.tuples(st.floats(0, 5), st.floats(0, 5)), scalars),
        "follow_redirects": st.booleans(),
    },
)
methods = st.one_of(st.sampled_from("GET HEAD POST PUT PATCH DELETE OPTIONS".split()), texts)
# The client may fail only with what it documents.
client_call = guarded(CLIENT_ALLOWED)


@pytest.fixture(scope="module")
def fuzzed_client():
    with tolvex.Client(timeout=tolvex.Timeout(5.0), retries=0) as client:
        yield client


@fuzz
@given(method=methods, path=texts, arguments=request_arguments)
def test_client_request_arguments(fuzzed_client, server, method, path, arguments):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        client_call(fuzzed_client.request, method, server.url("/echo/") + path, **arguments)
    assert fuzzed_client.get(server.url("/hello")).text == "Hello, world!"


@fuzz
@given(method=methods, path=texts, arguments=request_arguments)
def test_async_client_request_arguments(server, method, path, arguments):
    import asyncio

    async def main():
        async with tolvex.AsyncClient(timeout=tolvex.Timeout(5.0)) as client:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    await client.request(method, server.url("/echo/") + path, **arguments)
                except CLIENT_ALLOWED + (Boom, KeyboardInterrupt):
                    pass
            return (await client.get(server.url("/hello"))).text

    assert asyncio.run(main()) == "Hello, world!"
