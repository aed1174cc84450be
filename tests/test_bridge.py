"""How callbacks reach Python when libcurl calls them from a call that runs
with the interpreter lock held.

Such calls are emulated with ctypes: a function of ``ctypes.PyDLL`` keeps the
lock while it runs, as the module does around libcurl calls that are not
expected to call back.
"""

import ctypes
import os
import struct
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
    """The libcurl easy handle of a Curl object, found without knowing where
    the object keeps it: the one word of the object that libcurl takes for an
    easy handle whose private pointer (the module sets it to the object) is
    the object."""
    size = ctypes.sizeof(ctypes.c_void_p)
    words = struct.iter_unpack("P", ctypes.string_at(id(c), type(c).__basicsize__ // size * size))
    found = set()
    with open("/proc/self/mem", "rb", buffering=0) as memory:
        for (word,) in words:
            # libcurl checks the first bytes of what it is given; read through
            # /proc, memory that is not mapped fails instead of faulting.
            try:
                if len(os.pread(memory.fileno(), size, word)) != size:
                    continue
            except OSError, OverflowError:
                continue
            private = ctypes.c_void_p()
            rc = libcurl.curl_easy_getinfo(
                ctypes.c_void_p(word), ctypes.c_int(CURLINFO_PRIVATE), ctypes.byref(private)
            )
            if rc == 0 and private.value == id(c):
                found.add(word)
    assert len(found) == 1
    return found.pop()


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
