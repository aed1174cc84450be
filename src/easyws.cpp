// WebSocket frames on a Curl handle: sending, receiving and the frame
// metadata, both on a detached connection (CONNECT_ONLY 2, after perform)
// and from inside the write callable of a running transfer.
#include "tolvex.h"

#include <cstring>

namespace {

// The frame bits that mark a control frame.
constexpr unsigned int WS_CONTROL_BITS = CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG;
// A control frame's payload is at most 125 bytes; a close frame's holds the
// two-byte status code and a reason.
constexpr Py_ssize_t WS_CLOSE_PAYLOAD_MAX = 125;
constexpr Py_ssize_t WS_CLOSE_CODE_SIZE = 2;

// The frame metadata libcurl gave, copied out of libcurl's record while the
// handle's slot is still held: the record is overwritten by the next
// WebSocket call on the handle, which another thread may make as soon as the
// slot is free.
struct FrameMeta {
    bool present = false;
    curl_ws_frame frame{};

    void take(const curl_ws_frame *meta) noexcept {
        present = meta != nullptr;
        if (present)
            frame = *meta;
    }
};

bool same_frame(const curl_ws_frame &a, const curl_ws_frame &b) {
    return a.age == b.age && a.flags == b.flags && a.offset == b.offset &&
           a.bytesleft == b.bytesleft && a.len == b.len;
}

// The last WsFrame made and the metadata it was made of.  A stream of whole
// frames of one size and type has the same metadata every time, and the
// tuple is immutable, so it is handed out again rather than made anew.
PyObject *last_frame = nullptr;
curl_ws_frame last_meta{};

// A WsFrame of the metadata, or None.  A new one is made the way its class's
// own _make makes one, with tuple.__new__: calling the class would run its
// __new__ in Python code, which costs more than the whole receive.
PyObject *ws_frame_new(const FrameMeta &meta) {
    if (!meta.present)
        Py_RETURN_NONE;
    const curl_ws_frame &f = meta.frame;
    // The module may have been loaded again since, with a class of its own.
    if (last_frame != nullptr &&
        Py_TYPE(last_frame) == reinterpret_cast<PyTypeObject *>(ws_frame_type) &&
        same_frame(f, last_meta))
        return Py_NewRef(last_frame);
    Ref fields[] = {
        Ref::steal(PyLong_FromLong(f.age)),
        Ref::steal(PyLong_FromLong(f.flags)),
        Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(f.offset))),
        Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(f.bytesleft))),
        Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(f.len))),
    };
    constexpr Py_ssize_t count = sizeof(fields) / sizeof(fields[0]);
    for (const Ref &field : fields) {
        if (!field)
            return nullptr;
    }
    Ref items = Ref::steal(PyTuple_New(count));
    if (!items)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; i++)
        PyTuple_SET_ITEM(items.get(), i, fields[i].release());
    Ref args = Ref::steal(PyTuple_Pack(1, items.get()));
    if (!args)
        return nullptr;
    PyObject *frame =
        PyTuple_Type.tp_new(reinterpret_cast<PyTypeObject *>(ws_frame_type), args.get(), nullptr);
    if (frame != nullptr) {
        replace_field(last_frame, frame);
        last_meta = f;
    }
    return frame;
}

// The (data or count, meta) result of the receiving methods.
PyObject *frame_result(Ref first, const FrameMeta &meta) {
    Ref frame = Ref::steal(first ? ws_frame_new(meta) : nullptr);
    return frame ? PyTuple_Pack(2, first.get(), frame.get()) : nullptr;
}

// True while an operation holds the handle's slot on another thread than
// the calling one: libcurl is using the handle there.
bool running_on_other_thread(CurlObject *self) {
    PyThreadState *running = tolvex_get_thread_state(self);
    return running != nullptr && running != PyThreadState_Get();
}

// Sending is allowed on an idle handle, and while a transfer runs only from
// that handle's own write callable on the transfer's thread, where libcurl
// sends blocking.
int check_curl_ws_send_state(CurlObject *self, const char *name) {
    assert_curl_state(self);
    if (self->handle == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no curl handle", name);
        return -1;
    }
    PyThreadState *running = tolvex_get_thread_state(self);
    if (running == nullptr)
        return 0;
    if (self->in_write_callback != 0 && PyThreadState_Get() == running)
        return 0;
    PyErr_Format(ErrorObject,
                 "cannot invoke %s() - perform() is currently running outside WRITEFUNCTION "
                 "callback",
                 name);
    return -1;
}

// Sends one frame with the lock released.  From inside a callback the
// enclosing operation's slot content is put back afterwards.  An exception
// left by a callback or a signal handler wins over libcurl's result.
PyObject *ws_send_frame(CurlObject *self, const void *data, size_t len, curl_off_t fragsize,
                        unsigned int flags) {
    // A transfer running further up this thread keeps its error message
    // and its callables' exception.
    Ref previous;
    if (tolvex_get_thread_state(self) == nullptr)
        previous = begin_transfer(self);
    size_t sent = 0;
    KeptExceptionScope kept(&self->callback_exception);
    std::optional<CURLcode> res = run_unlocked<ReleaseGilKeepSlot>(
        [&] { return curl_ws_send(self->handle, data, len, &sent, fragsize, flags); }, self);
    if (!res || check_easy_recv_send_result(self, *res) != 0)
        return nullptr;
    return PyLong_FromSize_t(sent);
}

// Receives into `buffer` on an idle handle with the lock released.
int ws_recv_frame(CurlObject *self, void *buffer, size_t len, size_t *received, FrameMeta *meta) {
    std::optional<CURLcode> res = run_transfer(self, [=] {
        const curl_ws_frame *frame = nullptr;
        CURLcode code = curl_ws_recv(self->handle, buffer, len, received, &frame);
        meta->take(code == CURLE_OK ? frame : nullptr);
        return code;
    });
    return res ? check_easy_recv_send_result(self, *res) : -1;
}

// The explicit frame flags of ws_send and ws_start_frame (`name`): a 32-bit
// mask with at most one data type and one control type, and no fragmented
// control frame.
int ws_frame_flags(PyObject *obj, unsigned int *out, const char *name) {
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred())
        return -1;
    if (value < 0) {
        PyErr_SetString(PyExc_ValueError, "flags must be non-negative");
        return -1;
    }
    if (value > 4294967295LL) {
        PyErr_Format(PyExc_OverflowError, "flags out of range for curl_%s", name);
        return -1;
    }
    auto flags = static_cast<unsigned int>(value);
    if ((flags & CURLWS_TEXT) && (flags & CURLWS_BINARY)) {
        PyErr_Format(PyExc_ValueError, "%s: cannot set both WS_TEXT and WS_BINARY", name);
        return -1;
    }
    unsigned int control = flags & WS_CONTROL_BITS;
    if ((flags & CURLWS_CONT) && control != 0) {
        PyErr_Format(PyExc_ValueError,
                     "%s: control frames cannot be fragmented (WS_CONT forbidden with "
                     "WS_PING/WS_PONG/WS_CLOSE)",
                     name);
        return -1;
    }
    if ((control & (control - 1)) != 0) {
        PyErr_Format(PyExc_ValueError, "%s: only one of WS_PING / WS_PONG / WS_CLOSE may be set",
                     name);
        return -1;
    }
    *out = flags;
    return 0;
}

// The buffer of a text argument: a str encoded with `encoding` (strict),
// anything else through the buffer protocol.  `encoded` keeps the encoded
// bytes alive as long as the view.
int text_or_buffer(PyObject *obj, const char *encoding, Ref &encoded, BufferView &view) {
    PyObject *source = obj;
    if (PyUnicode_Check(obj)) {
        encoded = Ref::steal(PyUnicode_AsEncodedString(obj, encoding, "strict"));
        if (!encoded)
            return -1;
        source = encoded.get();
    }
    return view.get(source, PyBUF_SIMPLE);
}

// RFC 6455 section 7.4: the codes an endpoint may put on the wire.  1004,
// 1005, 1006 and 1015 are reserved or only reported locally.
bool valid_close_code(long code) {
    return code == 1000 || code == 1001 || code == 1002 || code == 1003 ||
           (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

} // namespace

PyObject *do_curl_ws_send(CurlObject *self, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("data"), const_cast<char *>("flags"),
                             const_cast<char *>("fragsize"), const_cast<char *>("encoding"),
                             nullptr};
    PyObject *data;
    PyObject *flags_obj = Py_None;
    Py_ssize_t fragsize = 0;
    const char *encoding = "utf-8";
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|Ons:ws_send", kwlist, &data, &flags_obj,
                                     &fragsize, &encoding))
        return nullptr;
    if (fragsize < 0) {
        PyErr_SetString(PyExc_ValueError, "negative fragsize in ws_send");
        return nullptr;
    }
    bool explicit_flags = flags_obj != Py_None;
    unsigned int flags = 0;
    if (explicit_flags && ws_frame_flags(flags_obj, &flags, "ws_send") != 0)
        return nullptr;
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "ws_send: data must be str or bytes-like, not NoneType "
                                         "(use b\"\" for an empty payload)");
        return nullptr;
    }
    Ref encoded;
    BufferView view;
    if (PyUnicode_Check(data)) {
        if (flags & CURLWS_BINARY) {
            PyErr_SetString(PyExc_TypeError, "ws_send: str data is incompatible with WS_BINARY; "
                                             "pass bytes-like data for binary frames");
            return nullptr;
        }
        if (flags & CURLWS_CLOSE) {
            PyErr_SetString(PyExc_TypeError, "ws_send: str data is incompatible with WS_CLOSE; "
                                             "use ws_close() or pass a bytes-like payload");
            return nullptr;
        }
        if (!explicit_flags)
            flags = CURLWS_TEXT;
    } else if (!explicit_flags) {
        flags = CURLWS_BINARY;
    }
    if (text_or_buffer(data, encoding, encoded, view) != 0)
        return nullptr;
    if (check_curl_ws_send_state(self, "ws_send") != 0)
        return nullptr;
    return ws_send_frame(self, view.data(), static_cast<size_t>(view.size()),
                         static_cast<curl_off_t>(fragsize), flags);
}

PyObject *do_curl_ws_recv(CurlObject *self, PyObject *args) {
    Py_ssize_t buffersize = recv_args(self, args, "n:ws_recv");
    if (buffersize < 0)
        return nullptr;
    Ref data;
    if (buffersize > 0) {
        data = Ref::steal(PyBytes_FromStringAndSize(nullptr, buffersize));
        if (!data)
            return nullptr;
    }
    size_t received = 0;
    FrameMeta meta;
    if (ws_recv_frame(self, data ? PyBytes_AS_STRING(data.get()) : nullptr,
                      static_cast<size_t>(buffersize), &received, &meta) != 0)
        return nullptr;
    if (!data)
        data = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    else if (static_cast<Py_ssize_t>(received) != buffersize)
        data = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.get()),
                                                    static_cast<Py_ssize_t>(received)));
    return frame_result(std::move(data), meta);
}

PyObject *do_curl_ws_recv_into(CurlObject *self, PyObject *args, PyObject *kwds) {
    BufferView view;
    Py_ssize_t nbytes = recv_into_args(self, args, kwds, "w*|n:ws_recv_into", view);
    if (nbytes < 0)
        return nullptr;
    size_t received = 0;
    FrameMeta meta;
    int rc = ws_recv_frame(self, nbytes > 0 ? view.mutable_data() : nullptr,
                           static_cast<size_t>(nbytes), &received, &meta);
    view.release();
    if (rc != 0)
        return nullptr;
    return frame_result(Ref::steal(PyLong_FromSize_t(received)), meta);
}

PyObject *do_curl_ws_meta(CurlObject *self, PyObject *) {
    if (check_curl_state(self, GUARD_OPEN, "ws_meta") != 0)
        return nullptr;
    // libcurl is in the middle of a transfer on that thread; reading its
    // state from here would race with it.
    if (running_on_other_thread(self)) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - perform() is currently running", "ws_meta");
        return nullptr;
    }
    FrameMeta meta;
    meta.take(curl_ws_meta(self->handle));
    return ws_frame_new(meta);
}

PyObject *do_curl_ws_close(CurlObject *self, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("code"), const_cast<char *>("reason"),
                             const_cast<char *>("encoding"), nullptr};
    PyObject *code_obj = Py_None;
    PyObject *reason = Py_None;
    const char *encoding = "utf-8";
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOs:ws_close", kwlist, &code_obj, &reason,
                                     &encoding))
        return nullptr;
    unsigned char payload[WS_CLOSE_PAYLOAD_MAX];
    Py_ssize_t size = 0;
    if (code_obj == Py_None) {
        if (reason != Py_None) {
            PyErr_SetString(PyExc_ValueError, "ws_close: reason requires code (RFC 6455 §5.5.1)");
            return nullptr;
        }
    } else {
        long code = PyLong_AsLong(code_obj);
        if (code == -1 && PyErr_Occurred())
            return nullptr;
        if (!valid_close_code(code)) {
            PyErr_SetString(PyExc_ValueError,
                            "ws_close: code must be a valid wire close status code");
            return nullptr;
        }
        payload[0] = static_cast<unsigned char>(code >> 8);
        payload[1] = static_cast<unsigned char>(code & 0xff);
        size = WS_CLOSE_CODE_SIZE;
        if (reason != Py_None) {
            Ref encoded;
            BufferView view;
            if (text_or_buffer(reason, encoding, encoded, view) != 0)
                return nullptr;
            if (view.size() > 0) {
                Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(
                    static_cast<const char *>(view.data()), view.size(), "strict"));
                if (!decoded)
                    return nullptr;
                if (WS_CLOSE_CODE_SIZE + view.size() > WS_CLOSE_PAYLOAD_MAX) {
                    PyErr_Format(PyExc_ValueError,
                                 "ws_close: payload too large (%zd bytes, max 125 including "
                                 "2-byte status code)",
                                 WS_CLOSE_CODE_SIZE + view.size());
                    return nullptr;
                }
                std::memcpy(payload + WS_CLOSE_CODE_SIZE, view.data(),
                            static_cast<size_t>(view.size()));
                size += view.size();
            }
        }
    }
    if (check_curl_ws_send_state(self, "ws_close") != 0)
        return nullptr;
    return ws_send_frame(self, payload, static_cast<size_t>(size), 0, CURLWS_CLOSE);
}

PyObject *do_curl_ws_start_frame(CurlObject *self, PyObject *args) {
    PyObject *flags_obj;
    long long frame_len;
    if (!PyArg_ParseTuple(args, "OL:ws_start_frame", &flags_obj, &frame_len))
        return nullptr;
    if (frame_len < 0) {
        PyErr_SetString(PyExc_ValueError, "negative frame_len in ws_start_frame");
        return nullptr;
    }
    unsigned int flags;
    if (ws_frame_flags(flags_obj, &flags, "ws_start_frame") != 0)
        return nullptr;
    // Meant for the read callable of the running transfer, on its thread.
    if (check_curl_state(self, GUARD_OPEN | GUARD_NOT_ELSEWHERE, "ws_start_frame") != 0)
        return nullptr;
    CURLcode res = curl_ws_start_frame(self->handle, flags, static_cast<curl_off_t>(frame_len));
    if (res != CURLE_OK)
        return raise_curl_error(self, res);
    Py_RETURN_NONE;
}
