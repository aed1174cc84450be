// The Curl object: its record, creation with the module's defaults, the
// method guard, closing, reset and garbage-collector support.
#include "tolvex.h"

#include <cstring>
#include <iterator>
#include <utility>

// ---------------------------------------------------------------------------
// Guards.

void assert_curl_state(const CurlObject *self) {
    TOLVEX_ASSERT_MSG(self != nullptr, "self != NULL");
    TOLVEX_ASSERT_MSG(is_curl(reinterpret_cast<PyObject *>(const_cast<CurlObject *>(self))),
                      "PyObject_IsInstance((PyObject *) self, (PyObject *) p_Curl_Type) == 1");
    (void)tolvex_get_thread_state(const_cast<CurlObject *>(self));
}

int check_curl_state(const CurlObject *self, int flags, const char *name) {
    assert_curl_state(self);
    if ((flags & GUARD_OPEN) && self->handle == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no curl handle", name);
        return -1;
    }
    PyThreadState *running = tolvex_get_thread_state(const_cast<CurlObject *>(self));
    // An offered push may be set up while its multi runs.
    bool offered = self->multi_stack != nullptr && self->multi_weakref == nullptr;
    if (running != nullptr && (((flags & GUARD_IDLE) && !((flags & GUARD_SET_UP) && offered)) ||
                               ((flags & GUARD_NOT_ELSEWHERE) && running != PyThreadState_Get()))) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - perform() is currently running", name);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Set-up and release.

int util_curl_init(CurlObject *self) {
    if (curl_easy_setopt(self->handle, CURLOPT_ERRORBUFFER, self->error) != CURLE_OK)
        return -1;
    std::memset(self->error, 0, sizeof(self->error));
    if (curl_easy_setopt(self->handle, CURLOPT_PRIVATE, self) != CURLE_OK)
        return -1;
    if (curl_easy_setopt(self->handle, CURLOPT_NOPROGRESS, 1L) != CURLE_OK)
        return -1;
    if (curl_easy_setopt(self->handle, CURLOPT_VERBOSE, 0L) != CURLE_OK)
        return -1;
    TOLVEX_ASSERT_MSG(g_tolvex_useragent, "g_tolvex_useragent");
    if (curl_easy_setopt(self->handle, CURLOPT_USERAGENT, g_tolvex_useragent) != CURLE_OK)
        return -1;
    return set_default_ca(self->handle);
}

void util_curl_xdecref(CurlObject *self, int flags, CURL *handle) {
    if (flags & RELEASE_DICT)
        clear_field(self->dict);
    // libcurl lets go of the handle too: a multi must never hold a handle
    // whose object no longer points to it.
    if ((flags & RELEASE_MULTI) && self->multi_stack != nullptr)
        util_multi_detach_easy(self->multi_stack, self);
    if (flags & RELEASE_CALLABLES) {
        for (const CallbackOption &row : curl_callback_options)
            clear_field(self->*row.field);
        clear_field(self->callback_exception);
    }
    if (flags & RELEASE_POSTFIELDS)
        clear_field(self->postfields_obj);
    if ((flags & RELEASE_SHARE) && self->share != nullptr)
        util_share_detach_easy(self, ShareLeave::always);
    if (flags & RELEASE_HTTPPOST)
        clear_field(self->httppost_obj);
    if (flags & RELEASE_MIMEPOST) {
        if (handle != nullptr && self->mimepost_obj != nullptr)
            curl_easy_setopt(handle, CURLOPT_MIMEPOST, static_cast<curl_mime *>(nullptr));
        clear_field(self->mimepost_obj);
    }
    if (flags & RELEASE_CA_CERTS)
        clear_field(self->ca_certs_obj);
    if (flags & RELEASE_SLISTS) {
        for (const ListOption &row : curl_list_options) {
            // libcurl lets go of the list first.  Its reset keeps a second
            // pointer to the RESOLVE list, which this clears too.
            if (handle != nullptr && self->*row.field != nullptr)
                curl_easy_setopt(handle, row.option, static_cast<curl_slist *>(nullptr));
            clear_field(self->*row.field);
        }
    }
}

void util_curl_close(CurlObject *self) {
    TOLVEX_ASSERT_MSG(self != nullptr, "self != NULL");
    TOLVEX_ASSERT_MSG(is_curl(reinterpret_cast<PyObject *>(self)),
                      "PyObject_IsInstance((PyObject *) self, (PyObject *) p_Curl_Type) == 1");
    if (self->handle == nullptr) {
        TOLVEX_ASSERT_MSG(self->state == nullptr, "self->state == NULL");
        TOLVEX_ASSERT_MSG(self->multi_stack == nullptr, "self->multi_stack == NULL");
        TOLVEX_ASSERT_MSG(self->multi_weakref == nullptr, "self->multi_weakref == NULL");
        TOLVEX_ASSERT_MSG(self->share == nullptr, "self->share == NULL");
        return;
    }
    self->state = nullptr;
    if (self->multi_stack != nullptr)
        util_multi_detach_easy(self->multi_stack, self);
    if (self->share != nullptr)
        util_share_detach_easy(self, ShareLeave::always);
    {
        // libcurl may call the close-socket, debug or HSTS callbacks while it
        // cleans up; they find the thread state parked here.
        ReleaseGil unlocked(self->state, "self->state != NULL");
        curl_easy_cleanup(self->handle);
    }
    self->handle = nullptr;
    socket_closer_detach(self);
    util_curl_xdecref(self, RELEASE_OPTIONS, nullptr);
}

// ---------------------------------------------------------------------------
// Type slots.

// A new record of `type` from the type's own allocator, every field after
// the object header still zero; null with the allocator's error.
static Ref curl_alloc(PyTypeObject *type) {
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj)
        return obj;
    auto *self = reinterpret_cast<CurlObject *>(obj.get());
    const unsigned char *ptr = reinterpret_cast<const unsigned char *>(self) + sizeof(PyObject);
    for (; ptr < reinterpret_cast<const unsigned char *>(self + 1); ++ptr)
        TOLVEX_ASSERT_MSG(*ptr == 0, "*ptr == 0");
    return obj;
}

PyObject *do_curl_new(PyTypeObject *subtype, PyObject *args, PyObject *kwds) {
    if (subtype == p_Curl_Type && !PyArg_ParseTupleAndKeywords(args, kwds, "", empty_keywords))
        return nullptr;
    Ref obj = curl_alloc(subtype);
    if (!obj)
        return nullptr;
    auto *self = reinterpret_cast<CurlObject *>(obj.get());

    self->handle = curl_easy_init();
    if (self->handle == nullptr || util_curl_init(self) < 0) {
        obj.reset();
        PyErr_SetString(ErrorObject, "initializing curl failed");
        return nullptr;
    }
    return obj.release();
}

static void do_curl_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<CurlObject *>(op);
    PyObject_GC_UnTrack(op);
    // The object may die while an exception propagates; callbacks made while
    // libcurl cleans up must still run, so the exception waits aside.
    PyObject *raised = PyErr_GetRaisedException();
    clear_field(self->dict);
    util_curl_close(self);
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(op);
    Curl_Type.tp_free(op);
    if (PyErr_Occurred())
        PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(raised);
}

static int do_curl_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<CurlObject *>(op);
    Py_VISIT(self->dict);
    Py_VISIT(self->multi_weakref);
    Py_VISIT(self->share);
    for (const CallbackOption &row : curl_callback_options)
        Py_VISIT(self->*row.field);
    Py_VISIT(self->postfields_obj);
    Py_VISIT(self->mimepost_obj);
    Py_VISIT(self->ca_certs_obj);
    for (const ListOption &row : curl_list_options)
        Py_VISIT(self->*row.field);
    Py_VISIT(self->httppost_obj);
    Py_VISIT(self->callback_exception);
    return 0;
}

static int do_curl_clear(PyObject *op) {
    auto *self = reinterpret_cast<CurlObject *>(op);
    TOLVEX_ASSERT_MSG(tolvex_get_thread_state(self) == nullptr,
                      "tolvex_get_thread_state(self) == NULL");
    util_curl_xdecref(self, RELEASE_ALL, self->handle);
    return 0;
}

static constexpr char type_name[] = "Curl";
using CurlPlumbing =
    HandlePlumbing<CurlObject, &curlobject_constants, assert_curl_state, type_name>;

// ---------------------------------------------------------------------------
// Methods of this file.

static PyObject *do_curl_close(PyObject *op, PyObject *) {
    auto *self = reinterpret_cast<CurlObject *>(op);
    if (check_curl_state(self, GUARD_IDLE, "close") != 0)
        return nullptr;
    util_curl_close(self);
    // An exception a callback left pending while libcurl cleaned up (one
    // that is not an Exception, which the callback printed).
    if (PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject *do_curl_reset(PyObject *op, PyObject *) {
    auto *self = reinterpret_cast<CurlObject *>(op);
    if (check_curl_state(self, GUARD_OPEN_IDLE, "reset") != 0)
        return nullptr;
    curl_easy_reset(self->handle);
    util_curl_xdecref(self, RELEASE_OPTIONS, self->handle);
    if (util_curl_init(self) < 0) {
        util_curl_close(self);
        PyErr_SetString(ErrorObject, "resetting curl failed");
        return nullptr;
    }
    Py_RETURN_NONE;
}

static PyObject *do_curl_multi(PyObject *op, PyObject *) {
    auto *self = reinterpret_cast<CurlObject *>(op);
    if (self->multi_weakref == nullptr)
        Py_RETURN_NONE;
    PyObject *multi = nullptr;
    if (PyWeakref_GetRef(self->multi_weakref, &multi) < 0)
        return nullptr;
    if (multi == nullptr)
        Py_RETURN_NONE;
    if (!is_multi(multi)) {
        Py_DECREF(multi);
        PyErr_SetString(PyExc_TypeError, "multi object is not a CurlMulti");
        return nullptr;
    }
    return multi;
}

static PyObject *do_curl_share(PyObject *op, PyObject *) {
    auto *self = reinterpret_cast<CurlObject *>(op);
    if (self->share == nullptr)
        Py_RETURN_NONE;
    if (!is_share(reinterpret_cast<PyObject *>(self->share))) {
        PyErr_SetString(PyExc_TypeError, "share object is not a CurlShare");
        return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject *>(self->share));
}

static PyObject *do_curl_exit(PyObject *op, PyObject *) {
    return do_curl_close(op, nullptr);
}

static PyObject *do_curl_get_closed(PyObject *op, void *) {
    return PyBool_FromLong(reinterpret_cast<CurlObject *>(op)->handle == nullptr);
}

// ---------------------------------------------------------------------------
// Duplication.

// libcurl's copy of a handle points where the source's options point: every
// callback's data at the source object, the posted bytes, lists and forms
// into the source's owners.  The clone takes references of its own and points
// the callback data at itself.  Whatever may fail or run Python code comes
// before it takes the copy over, and the clone holds all that the copy points
// into before anything else can fail, so dropping a half-made clone never
// releases what libcurl still uses, and the source is never changed.

constexpr size_t callback_rows = std::size(curl_callback_options);

// What each callback option of the clone `dup` of `self` gets as its data;
// false with an exception set.
static bool clone_data(CurlObject *self, CurlObject *dup, void *(&data)[callback_rows]) {
    if (self->dict != nullptr && (dup->dict = PyDict_Copy(self->dict)) == nullptr)
        return false;
    for (size_t i = 0; i < callback_rows; ++i) {
        const CallbackOption &row = curl_callback_options[i];
        data[i] = dup;
        if (self->*row.field != nullptr && row.user_data != nullptr &&
            (data[i] = row.user_data(dup)) == nullptr)
            return false;
    }
    return true;
}

// `dup` takes over `copy`, a copy libcurl made of `self`'s handle.  False
// when libcurl refuses the error buffer or the private pointer.
static bool clone_adopt(CurlObject *self, CurlObject *dup, void *const (&data)[callback_rows],
                        CURL *copy) {
    dup->handle = copy;
    for (size_t i = 0; i < callback_rows; ++i) {
        const CallbackOption &row = curl_callback_options[i];
        if (self->*row.field == nullptr)
            continue;
        dup->*row.field = Py_NewRef(self->*row.field);
        if (row.use_memoryview != nullptr)
            dup->*row.use_memoryview = self->*row.use_memoryview;
        // A copy made during perform_rb has its gathering function, which is
        // not the clone's.
        (void)row.install(copy, row.function_option);
        (void)curl_easy_setopt(copy, row.data_option, data[i]);
    }
    dup->postfields_obj = Py_XNewRef(self->postfields_obj);
    // The certificate callback reads the clone's own data, with its state.
    dup->ca_certs_obj = Py_XNewRef(self->ca_certs_obj);
    if (dup->ca_certs_obj != nullptr)
        (void)curl_easy_setopt(copy, CURLOPT_SSL_CTX_DATA, dup);
    for (const ListOption &row : curl_list_options)
        dup->*row.field = Py_XNewRef(self->*row.field);
    dup->httppost_obj = Py_XNewRef(self->httppost_obj);
    dup->mimepost_obj = Py_XNewRef(self->mimepost_obj);
    if (curl_easy_setopt(copy, CURLOPT_ERRORBUFFER, dup->error) != CURLE_OK)
        return false;
    std::memset(dup->error, 0, sizeof(dup->error));
    return curl_easy_setopt(copy, CURLOPT_PRIVATE, dup) == CURLE_OK;
}

// libcurl copied the MIME structure with the data of its callback parts:
// each of their owners is used, and freed, once more.
static void clone_uses_mime(CurlObject *self) {
    if (self->mimepost_obj != nullptr)
        curlmime_duphandle_incref_data_cb_owners(
            reinterpret_cast<CurlMimeObject *>(self->mimepost_obj));
}

PyObject *do_curl_duphandle(CurlObject *self, PyObject *) {
    assert_curl_state(self);
    // libcurl must not copy a handle while a transfer changes it on another
    // thread; from a callback of that transfer, on its own thread, it may.
    PyThreadState *running = tolvex_get_thread_state(self);
    if (running != nullptr && running != PyThreadState_Get()) {
        PyErr_SetString(ErrorObject, "cannot invoke duphandle() - perform() is currently running");
        return nullptr;
    }
    Ref obj = curl_alloc(Py_TYPE(self));
    if (!obj)
        return nullptr;
    auto *dup = reinterpret_cast<CurlObject *>(obj.get());
    auto fail = [&]() -> PyObject * {
        // Without a libcurl handle, closing the clone does not reach its closer.
        if (dup->handle == nullptr)
            socket_closer_detach(dup);
        obj.reset();
        PyErr_SetString(ErrorObject, "cloning curl failed");
        return nullptr;
    };
    void *data[callback_rows];
    if (!clone_data(self, dup, data) || self->handle == nullptr)
        return fail();
    for (const CallbackOption &row : curl_callback_options)
        if (row.called_by_duphandle && self->*row.field != nullptr)
            (void)curl_easy_setopt(self->handle, row.function_option, static_cast<void *>(nullptr));
    CURL *copy = curl_easy_duphandle(self->handle);
    for (const CallbackOption &row : curl_callback_options) {
        if (!row.called_by_duphandle || self->*row.field == nullptr)
            continue;
        (void)row.install(self->handle, row.function_option);
        if (copy != nullptr)
            (void)row.install(copy, row.function_option);
    }
    if (copy == nullptr)
        return fail();
    clone_uses_mime(self);
    if (!clone_adopt(self, dup, data, copy))
        return fail();
    return obj.release();
}

// ---------------------------------------------------------------------------
// Pushed streams.

Ref curl_offer_push(CurlObject *parent, CURL *copy, CurlMultiObject *multi) {
    clone_uses_mime(parent);
    Ref obj = curl_alloc(Py_TYPE(parent));
    if (!obj)
        return obj;
    auto *pushed = reinterpret_cast<CurlObject *>(obj.get());
    // Offered: a member of the multi that the multi has not taken yet (its
    // connections may keep the clone's closer).
    pushed->multi_stack = multi;
    void *data[callback_rows];
    if (!clone_data(parent, pushed, data)) {
        curl_give_back(pushed);
        return Ref();
    }
    if (!clone_adopt(parent, pushed, data, copy)) {
        curl_give_back(pushed);
        PyErr_SetString(ErrorObject, "cloning curl failed");
        return Ref();
    }
    return obj;
}

void curl_give_back(CurlObject *self) {
    if (self->share != nullptr)
        util_share_detach_easy(self, ShareLeave::always);
    // libcurl frees the handle: none of its callbacks may lead it back to
    // this object meanwhile.
    if (CURL *handle = std::exchange(self->handle, nullptr)) {
        for (const CallbackOption &row : curl_callback_options)
            (void)curl_easy_setopt(handle, row.function_option, static_cast<void *>(nullptr));
        (void)curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, static_cast<void *>(nullptr));
        (void)curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, static_cast<char *>(nullptr));
        (void)curl_easy_setopt(handle, CURLOPT_PRIVATE, static_cast<void *>(nullptr));
    }
    self->multi_stack = nullptr;
    socket_closer_detach(self);
    util_curl_xdecref(self, RELEASE_OPTIONS, nullptr);
}

// ---------------------------------------------------------------------------
// The type.

static PyMethodDef curlobject_methods[] = {
    {"close", do_curl_close, METH_NOARGS,
     "close() -> None\n\n"
     "Close handle and end curl session.\n"},
    {"duphandle", as_cfunction(do_curl_duphandle), METH_NOARGS,
     "duphandle() -> Curl\n\n"
     "Clone the handle and all its options into a new Curl object of the same type.\n"
     "The clone holds its own references to the callables, lists, posted data and\n"
     "MIME body its options use, so either object may be closed first. It starts\n"
     "with no connections, cookies, share or multi.\n"},
    {"errstr", as_cfunction(do_curl_errstr), METH_NOARGS,
     "errstr() -> string\n\n"
     "Return the internal libcurl error buffer of this handle as a "
     "string.\n"},
    {"errstr_raw", as_cfunction(do_curl_errstr_raw), METH_NOARGS,
     "errstr_raw() -> byte string\n\n"
     "Return the internal libcurl error buffer of this handle as "
     "bytes.\n"},
    {"getinfo", as_cfunction(do_curl_getinfo), METH_VARARGS,
     "getinfo(option) -> Result\n\n"
     "Extract and return information from a curl session, "
     "decoding strings as UTF-8.\n"},
    {"getinfo_raw", as_cfunction(do_curl_getinfo_raw), METH_VARARGS,
     "getinfo_raw(option) -> Result\n\n"
     "Extract and return information from a curl session, "
     "returning strings as bytes.\n"},
    {"multi", do_curl_multi, METH_NOARGS,
     "multi() -> CurlMulti or None\n\n"
     "Return the CurlMulti object this handle belongs to, or None.\n"},
    {"pause", as_cfunction(do_curl_pause), METH_VARARGS,
     "pause(bitmask=PAUSE_ALL) -> None\n\n"
     "Pause or unpause a curl handle. Bitmask should be a value such "
     "as PAUSE_RECV or PAUSE_CONT.\n"},
    {"perform", as_cfunction(do_curl_perform), METH_NOARGS,
     "perform() -> None\n\n"
     "Perform a file transfer.\n"},
    {"perform_rb", as_cfunction(do_curl_perform_rb), METH_NOARGS,
     "perform_rb() -> response_body\n\n"
     "Perform a file transfer and return the response body as "
     "bytes.\n"},
    {"perform_rs", as_cfunction(do_curl_perform_rs), METH_NOARGS,
     "perform_rs() -> response_body\n\n"
     "Perform a file transfer and return the response body as "
     "str.\n"},
    {"recv", as_cfunction(do_curl_recv), METH_VARARGS,
     "recv(buffersize) -> data\n\n"
     "Receive data from the connection of a CONNECT_ONLY transfer.\n"},
    {"recv_into", as_cfunction(do_curl_recv_into), METH_VARARGS | METH_KEYWORDS,

     "recv_into(buffer[, nbytes]) -> nbytes\n\n"
     "Receive data from the connection of a CONNECT_ONLY transfer "
     "into a writable buffer.\n"},
    {"reset", do_curl_reset, METH_NOARGS,
     "reset() -> None\n\n"
     "Reset all options set on curl handle to default values, but "
     "preserve live connections, session ID cache, DNS cache, cookies, "
     "and shares.\n"},
    {"send", as_cfunction(do_curl_send), METH_VARARGS,
     "send(bytes) -> count\n\n"
     "Send data over the connection of a CONNECT_ONLY transfer.\n"},
    {"setopt", as_cfunction(do_curl_setopt), METH_VARARGS | METH_KEYWORDS,
     "setopt(option, value, *, use_memoryview=False) -> None\n\n"
     "Set a curl option. Integers, strings (bytes or ASCII str), lists of strings,\n"
     "callables, file objects, a CurlShare or a CurlMime are accepted depending on\n"
     "the option; None resets the option. use_memoryview makes WRITEFUNCTION and\n"
     "HEADERFUNCTION callables receive read-only memoryviews instead of bytes.\n"},
    {"setopt_string", as_cfunction(do_curl_setopt_string), METH_VARARGS,
     "setopt_string(option, value) -> None\n\n"
     "Set a curl option that takes a string value.\n"},
    {"share", do_curl_share, METH_NOARGS,
     "share() -> CurlShare or None\n\n"
     "Return the CurlShare object this handle uses, or None.\n"},
    {"upkeep", as_cfunction(do_curl_upkeep), METH_NOARGS,
     "upkeep() -> None\n\n"
     "Keep the handle's idle connections alive: for each connection whose\n"
     "UPKEEP_INTERVAL_MS has passed, libcurl queues what its protocol needs (an\n"
     "HTTP/2 PING), which goes out with the connection's next traffic.\n"},
    {"ssls_export", as_cfunction(do_curl_ssls_export), METH_NOARGS,
     "ssls_export() -> list of SslSession\n\n"
     "Return the TLS sessions of the handle's session cache (or its share's), for\n"
     "ssls_import() in another handle or process. Each SslSession holds the session's\n"
     "key (host, port and TLS parameters, readable text), a salted hash of the key,\n"
     "the session data and, for information only, its expiry (seconds since the\n"
     "epoch), TLS version, ALPN protocol and early-data limit. Sessions of\n"
     "connections made with a client certificate are not exported.\n"},
    {"ssls_import", as_cfunction(do_curl_ssls_import), METH_O,
     "ssls_import(sessions) -> None\n\n"
     "Add exported TLS sessions to the handle's session cache (or its share's), so\n"
     "that new connections resume them. Each session is an SslSession, or any tuple\n"
     "starting with (session_key, shmac, sdata); session_key may be None when shmac\n"
     "is given. Expired sessions are dropped silently.\n"},
    {"unpause", as_cfunction(do_curl_unpause), METH_NOARGS,
     "unpause() -> None\n\n"
     "Resume a paused curl handle (pause with PAUSE_CONT).\n"},
    {"unsetopt", as_cfunction(do_curl_unsetopt), METH_VARARGS,
     "unsetopt(option) -> None\n\n"
     "Reset curl session option to its default value.\n"},
    {"ws_close", as_cfunction(do_curl_ws_close), METH_VARARGS | METH_KEYWORDS,
     "ws_close(code=None, reason=None, encoding='utf-8') -> count\n\n"
     "Send a WebSocket close frame and return the number of bytes sent. `code` is a\n"
     "close status code (1000-1003, 1007-1014, 3000-4999); `reason`, which needs a\n"
     "code, is a str (encoded with `encoding`) or bytes-like UTF-8 text of at most\n"
     "123 bytes.\n"},
    {"ws_meta", as_cfunction(do_curl_ws_meta), METH_NOARGS,
     "ws_meta() -> WsFrame or None\n\n"
     "Return the metadata of the WebSocket frame chunk being delivered to the\n"
     "WRITEFUNCTION callable, or None outside such a delivery.\n"},
    {"ws_start_frame", as_cfunction(do_curl_ws_start_frame), METH_VARARGS,
     "ws_start_frame(flags, frame_len) -> None\n\n"
     "Start a WebSocket frame of `frame_len` payload bytes with `flags` (WS_TEXT,\n"
     "WS_BINARY, WS_PING, ...) from the READFUNCTION callable of a WebSocket upload:\n"
     "what the callable returns next is that frame's payload, and an empty result\n"
     "then sends an empty frame rather than ending the upload.\n"},
    {"ws_recv", as_cfunction(do_curl_ws_recv), METH_VARARGS,
     "ws_recv(buffersize) -> (data, meta)\n\n"
     "Receive at most `buffersize` bytes of a WebSocket frame from a detached\n"
     "connection. `meta` is a WsFrame (age, flags, offset, bytesleft, len) or None.\n"
     "Raises BlockingIOError when nothing has arrived.\n"},
    {"ws_recv_into", as_cfunction(do_curl_ws_recv_into), METH_VARARGS | METH_KEYWORDS,

     "ws_recv_into(buffer[, nbytes]) -> (nbytes, meta)\n\n"
     "Receive at most `nbytes` bytes (default: the buffer's size) of a WebSocket\n"
     "frame from a detached connection into a writable buffer. `meta` is a WsFrame\n"
     "or None. Raises BlockingIOError when nothing has arrived.\n"},
    {"ws_send", as_cfunction(do_curl_ws_send), METH_VARARGS | METH_KEYWORDS,
     "ws_send(data, flags=None, fragsize=0, encoding='utf-8') -> count\n\n"
     "Send a WebSocket frame and return the number of payload bytes sent. A str is\n"
     "encoded with `encoding` and sent as a text frame, bytes-like data as a binary\n"
     "frame, unless `flags` (WS_TEXT, WS_BINARY, WS_CONT, WS_PING, WS_PONG, WS_CLOSE,\n"
     "WS_OFFSET) says otherwise. `fragsize` is the whole frame's size when the\n"
     "payload is sent in pieces with WS_OFFSET. On a detached connection the call\n"
     "does not block and raises BlockingIOError when nothing can be sent; from the\n"
     "WRITEFUNCTION callable of a running transfer it blocks until all is sent.\n"},
    {"set_ca_certs", as_cfunction(do_curl_set_ca_certs), METH_VARARGS,
     "set_ca_certs() -> None\n\n"
     "Load additional CA certificates (PEM text) into every new TLS connection.\n"},
    TOLVEX_PLUMBING_METHODS(CurlPlumbing),
    {"__exit__", do_curl_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyObject *do_curl_get_callback_exception(PyObject *op, void *) {
    PyObject *exc = reinterpret_cast<CurlObject *>(op)->callback_exception;
    return Py_NewRef(exc != nullptr ? exc : Py_None);
}

static PyGetSetDef curlobject_getsets[] = {
    {"closed", do_curl_get_closed, nullptr, "True if the handle has been closed.", nullptr},
    {"callback_exception", do_curl_get_callback_exception, nullptr,
     "The first exception this handle's callables raised during its latest transfer "
     "(printed or not), or None.\n\n"
     "A tolvex.error raised for that transfer has it as its __cause__; a transfer "
     "driven by a CurlMulti reports its failure through info_read(), and this is where "
     "its cause is found.  It is dropped when the next transfer starts.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(curl_doc, "Curl() -> New Curl object\n"
                       "\n"
                       "Creates a new Curl object which corresponds to a libcurl easy handle.\n"
                       "A new object has CURLOPT_VERBOSE set to 0, CURLOPT_NOPROGRESS set to 1,\n"
                       "a default CURLOPT_USERAGENT and a private CURLOPT_ERRORBUFFER.\n"
                       "\n"
                       "Curl objects are context managers: leaving the block calls close().\n");

PyTypeObject Curl_Type = CurlPlumbing::type({
    .tp_name = "tolvex.Curl",
    .tp_dealloc = do_curl_dealloc,
    .tp_doc = curl_doc,
    .tp_traverse = do_curl_traverse,
    .tp_clear = do_curl_clear,
    .tp_methods = curlobject_methods,
    .tp_getset = curlobject_getsets,
    .tp_new = do_curl_new,
});
