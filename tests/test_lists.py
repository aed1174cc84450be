"""String-list options (HTTPHEADER and the others) and classic HTTPPOST forms."""

import email
import email.policy
import gc
import sys
import warnings

import pytest

import tolvex

T = tolvex
LIST_ITEMS = "list items must be byte strings or Unicode strings with ASCII code points only"
LIST_NAMES = "HTTPHEADER PROXYHEADER HTTP200ALIASES QUOTE POSTQUOTE PREQUOTE TELNETOPTIONS RESOLVE"
LIST_OPTIONS = [getattr(T, name) for name in (LIST_NAMES + " MAIL_RCPT CONNECT_TO").split()]


@pytest.fixture(autouse=True)
def no_deprecation_noise():
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "HTTPPOST is deprecated", DeprecationWarning)
        yield


def owners(c, name):
    return [o for o in gc.get_referents(c) if type(o).__name__ == name]


def custom_headers(request):
    return [(k, v) for k, v in request.headers if k.startswith("X-")]


def form_parts(request):
    """(name, filename, content type, data) of each part of a multipart body."""
    head = b"Content-Type: %s\r\n\r\n" % request.header("Content-Type").encode()
    message = email.message_from_bytes(head + request.body, policy=email.policy.HTTP)
    return [
        (
            p.get_param("name", header="content-disposition"),
            p.get_filename(),
            p.get_content_type(),
            p.get_payload(decode=True),
        )
        for p in message.iter_parts()
    ]


# ---------------------------------------------------------------------------
# String lists.


@pytest.mark.parametrize("seq", [list, tuple])
def test_headers_sent_in_order_replaced_kept_and_cleared(curl, server, seq):
    curl.setopt(T.URL, server.url("/hello"))
    curl.setopt(T.HTTPHEADER, seq(["X-Second: 2", b"X-First: 1"]))
    curl.perform_rb()
    (first,) = owners(curl, "CurlSlist")
    base = sys.getrefcount(first)
    curl.setopt(T.HTTPHEADER, seq(["X-Third: 3"]))
    assert sys.getrefcount(first) == base - 1  # the previous list is released
    curl.perform_rb()
    (third,) = owners(curl, "CurlSlist")
    curl.setopt(T.HTTPHEADER, seq())  # keeps the list in effect
    assert owners(curl, "CurlSlist") == [third]
    curl.perform_rb()
    curl.setopt(T.HTTPHEADER, None)
    assert owners(curl, "CurlSlist") == []
    curl.perform_rb()
    assert [custom_headers(r) for r in server.requests] == [
        [("X-Second", "2"), ("X-First", "1")],
        [("X-Third", "3")],
        [("X-Third", "3")],
        [],
    ]


@pytest.mark.parametrize(
    "item, exc, message",
    [
        (1, TypeError, LIST_ITEMS),
        (None, TypeError, LIST_ITEMS),
        ("X-Bad: \u00e9", UnicodeEncodeError, None),
        (b"X-Bad: \0", ValueError, None),
    ],
)
def test_bad_item_keeps_previous_list(curl, server, item, exc, message):
    curl.setopt(T.URL, server.url("/hello"))
    curl.setopt(T.HTTPHEADER, ["X-Good: 1"])
    with pytest.raises(exc) as info:
        curl.setopt(T.HTTPHEADER, ["X-Also: 2", item])
    if message:
        assert str(info.value) == message
    curl.perform_rb()
    assert custom_headers(server.requests[0]) == [("X-Good", "1")]


@pytest.mark.parametrize("option", [T.URL, T.VERBOSE, T.WRITEFUNCTION, T.HTTPPOST + 1])
def test_lists_not_supported(curl, option):
    with pytest.raises(TypeError, match="^lists are not supported for this option$"):
        curl.setopt(option, [1])  # refused before the items are looked at


@pytest.mark.parametrize("option", LIST_OPTIONS)
def test_each_list_option_owns_its_list(curl, option):
    curl.setopt(T.HTTPHEADER, ["X-A: 1"])
    if option != T.HTTPHEADER:
        curl.setopt(option, ("x:1:127.0.0.1",))
    assert len(owners(curl, "CurlSlist")) == (1 if option == T.HTTPHEADER else 2)
    curl.unsetopt(option)
    assert len(owners(curl, "CurlSlist")) == (0 if option == T.HTTPHEADER else 1)


def test_resolve_and_connect_to(curl, server):
    curl.setopt(T.URL, "http://example.test:%d/hello" % server.port)
    curl.setopt(T.RESOLVE, ["example.test:%d:127.0.0.1" % server.port])
    assert curl.perform_rb() == b"Hello, world!"
    curl.setopt(T.URL, "http://other.test/hello")
    curl.setopt(T.CONNECT_TO, [b"other.test:80:127.0.0.1:%d" % server.port])
    assert curl.perform_rb() == b"Hello, world!"
    assert [r.header("Host") for r in server.requests] == [
        "example.test:%d" % server.port,
        "other.test",
    ]


# ---------------------------------------------------------------------------
# HTTPPOST.


@pytest.mark.parametrize(
    "field, part",
    [
        (("plain", "text"), ("plain", None, "text/plain", b"text")),
        ([b"bin", b"x\0y"], ("bin", None, "text/plain", b"x\0y")),
        (("c", (T.FORM_CONTENTS, b"p\0q")), ("c", None, "text/plain", b"p\0q")),
        (
            ("c", [T.FORM_CONTENTS, "p", T.FORM_CONTENTTYPE, "text/x-p"]),
            ("c", None, "text/x-p", b"p"),
        ),
        (
            ("up", (T.FORM_FILE, "{path}", T.FORM_CONTENTTYPE, "application/x-test")),
            ("up", "upload.dat", "application/x-test", b"file\0data"),
        ),
        (
            ("up", (T.FORM_FILE, "{path}", T.FORM_FILENAME, "shown.txt")),
            ("up", "shown.txt", "application/octet-stream", b"file\0data"),
        ),
        (
            ("buf", (T.FORM_BUFFER, "b.bin", T.FORM_BUFFERPTR, b"buf\0fer")),
            ("buf", "b.bin", "application/octet-stream", b"buf\0fer"),
        ),
    ],
)
def test_form_field_arrives(curl, server, tmp_path, field, part):
    path = tmp_path / "upload.dat"
    path.write_bytes(b"file\0data")
    name, value = field
    if isinstance(value, (list, tuple)):
        value = [str(path) if v == "{path}" else v for v in value]
    curl.setopt(T.URL, server.url("/echo"))
    curl.setopt(T.HTTPPOST, [("first", "1"), (name, value)])
    curl.perform()
    (request,) = server.requests
    assert request.header("Content-Type").startswith("multipart/form-data; boundary=")
    assert form_parts(request) == [("first", None, "text/plain", b"1"), part]


def test_bufferptr_data_kept_alive_until_form_reset(curl, server):
    curl.setopt(T.URL, server.url("/echo"))
    data = bytes(range(256)) * 40
    curl.setopt(T.HTTPPOST, [("f", (T.FORM_BUFFER, "d", T.FORM_BUFFERPTR, data))])
    del data
    gc.collect()
    curl.perform()
    assert form_parts(server.requests[0])[0][3] == bytes(range(256)) * 40
    kept = bytes(range(10)) * 3
    base = sys.getrefcount(kept)
    curl.setopt(T.HTTPPOST, [("f", (T.FORM_BUFFER, "d", T.FORM_BUFFERPTR, kept))])
    assert sys.getrefcount(kept) == base + 1
    # a str buffer keeps its ASCII encoding; the previous form is released
    curl.setopt(T.HTTPPOST, [("f", (T.FORM_BUFFER, "d", T.FORM_BUFFERPTR, "".join(["st", "r"])))])
    assert sys.getrefcount(kept) == base
    curl.perform()
    assert form_parts(server.requests[1])[0][3] == b"str"
    curl.setopt(T.HTTPPOST, [("f", (T.FORM_BUFFER, "d", T.FORM_BUFFERPTR, kept))])
    curl.unsetopt(T.HTTPPOST)
    assert owners(curl, "CurlHttppost") == [] and sys.getrefcount(kept) == base
    curl.setopt(T.HTTPPOST, [("f", "v")])
    curl.setopt(T.HTTPPOST, None)
    curl.perform()
    assert owners(curl, "CurlHttppost") == [] and server.requests[2].body == b""


ONE_OPTION = "list or tuple must contain at least one option and one value"
FIRST = "list or tuple must contain a byte string or Unicode string with ASCII code points only"
EVEN = "list or tuple must contain an even number of items"
VALUE = "value must be a byte string or a Unicode string with ASCII code points only"
BAD_FIELDS = [
    (5, TypeError, "list items must be list or tuple objects"),
    (("a",), TypeError, "list or tuple must contain two elements (name, value)"),
    (["a", "b", "c"], TypeError, "list or tuple must contain two elements (name, value)"),
    ((1, "v"), TypeError, FIRST + " as first element"),
    (("\u00e9", "v"), TypeError, FIRST + " as first element"),
    (("a", 5), TypeError, "unsupported second type in tuple"),
    (("a", None), TypeError, "unsupported second type in tuple"),
    (("a", ()), TypeError, ONE_OPTION),
    (("a", (T.FORM_CONTENTS,)), TypeError, ONE_OPTION),
    (("a", (T.FORM_CONTENTS, "x", T.FORM_FILE)), TypeError, EVEN),
    (("a", ("4", "x")), TypeError, "option must be an integer"),
    (("a", (T.FORM_CONTENTS, 5)), TypeError, VALUE),
    (("a", (1, "x")), TypeError, "unsupported option"),
    (("a", (2**70, "x")), TypeError, "unsupported option"),
    (("a", (T.FORM_CONTENTS, "\u00e9")), UnicodeEncodeError, None),
    (("a", "caf\u00e9"), tolvex.error, T.E_BAD_FUNCTION_ARGUMENT),
    # curl_formadd's own codes: an option given twice (2), a name with a zero byte (3)
    (("a", (T.FORM_CONTENTS, "x", T.FORM_CONTENTS, "y")), tolvex.error, 2),
    ((b"a\0b", "v"), tolvex.error, 3),
]


@pytest.mark.parametrize("field, exc, message", BAD_FIELDS)
def test_bad_third_field_keeps_previous_form(curl, server, field, exc, message):
    curl.setopt(T.URL, server.url("/echo"))
    curl.setopt(T.HTTPPOST, [("kept", "yes")])
    (owner,) = owners(curl, "CurlHttppost")
    with pytest.raises(exc) as info:
        curl.setopt(T.HTTPPOST, [("one", "1"), ("two", "2"), field])
    if isinstance(message, int):
        assert info.value.args[0] == message
    elif message:
        assert str(info.value) == message
    assert owners(curl, "CurlHttppost") == [owner]
    curl.perform()
    assert form_parts(server.requests[0]) == [("kept", None, "text/plain", b"yes")]


def test_httppost_deprecation(curl, server):
    curl.setopt(T.URL, server.url("/echo"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        curl.setopt(T.HTTPPOST, [("kept", "yes")])
        curl.setopt(T.HTTPPOST, [])  # warns, changes nothing
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (DeprecationWarning, "HTTPPOST is deprecated; use MIMEPOST", __file__)
    ] * 2
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match="^HTTPPOST is deprecated; use MIMEPOST$"):
            curl.setopt(T.HTTPPOST, [("new", "no")])
    curl.perform()
    assert form_parts(server.requests[0]) == [("kept", None, "text/plain", b"yes")]
