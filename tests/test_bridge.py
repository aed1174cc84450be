"""How callbacks reach Python when libcurl calls them from a call that runs
with the interpreter lock held.

Such calls are emulated with ctypes: a function of ``ctypes.PyDLL`` keeps the
lock while it runs, as the module does around libcurl calls that are not
expected to call back.
"""

import ctypes
import sys
import warnings

import pytest

import tolvex

CURLINFO_PRIVATE = 0x100000 + 21

libcurl = ctypes.PyDLL("libcurl.so.4")
libcurl.curl_easy_pause.argtypes = [ctypes.c_void_p, ctypes.c_int]
libcurl.curl_easy_pause.restype = ctypes.c_int


# A server that prints nothing when a client drops a connection.
pytestmark = pytest.mark.quiet_server


def raw_handle(c):
    """The libcurl easy handle of a Curl object: the record field after the
    object header and two pointers, checked through libcurl's private
    pointer, which is the object itself."""
    offset = object.__basicsize__ + 2 * ctypes.sizeof(ctypes.c_void_p)
    handle = ctypes.c_void_p.from_address(id(c) + offset).value
    private = ctypes.c_void_p()
    rc = libcurl.curl_easy_getinfo(ctypes.c_void_p(handle), ctypes.c_int(CURLINFO_PRIVATE),
                                   ctypes.byref(private))
    assert rc == 0 and private.value == id(c)
    return handle


@pytest.mark.parametrize("warnings_are_errors", [False, True])
def test_callback_from_a_call_holding_the_lock_is_refused(server, warnings_are_errors):
    """A paused transfer resumed by a libcurl call made with the lock held
    delivers its buffered data then; the write callback must not try to
    take the lock it already has, and warns instead of calling Python."""
    c = tolvex.Curl()
    c.setopt(tolvex.URL, server.url("/bytes/100000"))
    handle = raw_handle(c)
    events = []
    unraisable = []

    def write(chunk):
        if not events:
            events.append("paused")
            return tolvex.WRITEFUNC_PAUSE
        events.append("delivered")
        return None

    def xferinfo(*counters):
        if events != ["paused"]:
            return None
        events.append("resume")
        hook = sys.unraisablehook
        # Only what the test looks at is kept: the report's traceback holds
        # the frames that are running.
        sys.unraisablehook = lambda report: unraisable.append(report.exc_value)
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("error" if warnings_are_errors else "always")
                rc = libcurl.curl_easy_pause(handle, tolvex.PAUSE_CONT)
        finally:
            sys.unraisablehook = hook
        events.append((rc, [str(w.message) for w in caught]))
        return None

    c.setopt(tolvex.WRITEFUNCTION, write)
    c.setopt(tolvex.NOPROGRESS, 0)
    c.setopt(tolvex.XFERINFOFUNCTION, xferinfo)
    with pytest.raises(tolvex.error) as info:
        c.perform()
    assert info.value.args[0] == tolvex.E_WRITE_ERROR
    text = "util_write_callback failed to acquire thread"
    assert events[:2] == ["paused", "resume"]
    rc, messages = events[2]
    assert "delivered" not in events
    if warnings_are_errors:
        # Nobody could catch the warning raised as an error: it is reported
        # as unraisable, and nothing stays set for later calls.
        assert messages == []
        assert [str(e) for e in unraisable] == [text]
        assert all(type(e) is RuntimeWarning for e in unraisable)
    else:
        assert messages == [text]
        assert unraisable == []
    assert c.getinfo(tolvex.RESPONSE_CODE) == 200
    c.close()
