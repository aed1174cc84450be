// Running transfers on one Curl handle, pausing them, and raw I/O on a
// connect-only connection.
#include "tolvex.h"

#include <cerrno>
#include <cstring>

Ref begin_transfer(CurlObject *self) {
    self->error[0] = 0;
    return take_kept_exception(self->callback_exception);
}

void raise_transfer_error(CurlObject *self, CURLcode res) {
    create_and_set_error_object(self, res, ErrorText::buffer);
    chain_kept_exception(self->callback_exception);
}

// Runs `call` (libcurl's call on the handle, returning its code) as an
// operation of the idle handle `name`, raising its failure.
template <typename Call>
static PyObject *transfer_operation(CurlObject *self, const char *name, Call call) {
    if (check_curl_state(self, GUARD_OPEN_IDLE, name) != 0)
        return nullptr;
    std::optional<CURLcode> res = run_transfer(self, [&] { return call(self->handle); });
    if (!res)
        return nullptr;
    if (*res != CURLE_OK) {
        raise_transfer_error(self, *res);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *do_curl_perform(CurlObject *self, PyObject *) {
    return transfer_operation(self, "perform", curl_easy_perform);
}

// Keeps the handle's idle connections alive (HTTP/2 pings) when their
// UPKEEP_INTERVAL_MS has passed; callbacks may run.
PyObject *do_curl_upkeep(CurlObject *self, PyObject *) {
    return transfer_operation(self, "upkeep", curl_easy_upkeep);
}

// The body of a transfer, gathered without a Python call per chunk: a small
// one on the stack, a larger one straight into the bytes object that is
// returned, made (and grown, for a body of unannounced length) with the
// interpreter entered through the transfer's parked thread state.
struct GatheredBody : Scoped {
    static constexpr size_t inline_size = 16384;

    CurlObject *self;
    Ref bytes;
    size_t size = 0;
    size_t capacity = inline_size;
    bool failed = false;
    char inline_data[inline_size];

    explicit GatheredBody(CurlObject *owner) : self(owner) {}
    char *data() { return bytes ? PyBytes_AS_STRING(bytes.get()) : inline_data; }

    // Room for `needed` bytes; false when there is none to be had.
    bool reserve(size_t needed) {
        CallbackScope scope(self, "perform_rb failed to acquire thread");
        if (!scope.ok())
            return false;
        size_t wanted = capacity * 2 > needed ? capacity * 2 : needed;
        curl_off_t announced = -1;
        if (!bytes &&
            curl_easy_getinfo(self->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
                CURLE_OK &&
            announced > 0 && static_cast<unsigned long long>(announced) >= needed &&
            static_cast<unsigned long long>(announced) < PY_SSIZE_T_MAX)
            wanted = static_cast<size_t>(announced);
        if (bytes) {
            PyObject *grown = bytes.release();
            if (_PyBytes_Resize(&grown, static_cast<Py_ssize_t>(wanted)) != 0)
                return false;
            bytes = Ref::steal(grown);
        } else {
            bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted)));
            if (!bytes)
                return false;
            std::memcpy(PyBytes_AS_STRING(bytes.get()), inline_data, size);
        }
        capacity = wanted;
        return true;
    }

    // The body as bytes; the interpreter is held.
    PyObject *result() {
        if (!bytes)
            return PyBytes_FromStringAndSize(inline_data, static_cast<Py_ssize_t>(size));
        PyObject *body = bytes.release();
        if (size != capacity && _PyBytes_Resize(&body, static_cast<Py_ssize_t>(size)) != 0)
            return nullptr;
        return body;
    }
};

static size_t gather_body(char *ptr, size_t size, size_t nmemb, void *userdata) {
    auto *body = static_cast<GatheredBody *>(userdata);
    size_t length, needed;
    if (__builtin_mul_overflow(size, nmemb, &length) ||
        __builtin_add_overflow(body->size, length, &needed) ||
        needed > static_cast<size_t>(PY_SSIZE_T_MAX) ||
        (needed > body->capacity && !body->reserve(needed))) {
        body->failed = true;
        return 0;
    }
    std::memcpy(body->data() + body->size, ptr, length);
    body->size = needed;
    return length;
}

PyObject *do_curl_perform_rb(CurlObject *self, PyObject *) {
    // Refused as the setopt of the handle's write target would be.
    if (check_curl_state(self, GUARD_OPEN_IDLE, "setopt") != 0)
        return nullptr;
    GatheredBody body(self);
    curl_easy_setopt(self->handle, CURLOPT_WRITEFUNCTION, gather_body);
    curl_easy_setopt(self->handle, CURLOPT_WRITEDATA, &body);
    std::optional<CURLcode> res =
        run_transfer(self, [self] { return curl_easy_perform(self->handle); });
    static constexpr const CallbackOption &row = callback_row(CURLOPT_WRITEFUNCTION);
    (void)row.install(self->handle, row.function_option);
    curl_easy_setopt(self->handle, row.data_option, self);
    // Afterwards the handle writes into a buffer object holding the body,
    // failure or not, as if setopt(WRITEDATA, BytesIO()) had preceded the
    // transfer; an exception that won over libcurl's result waits aside.
    PyObject *pending = PyErr_GetRaisedException();
    Ref result = Ref::steal(body.result());
    Ref buffer = Ref::steal(result ? PyObject_CallOneArg(bytesio, result.get()) : nullptr);
    Ref end = Ref::steal(buffer ? PyObject_CallMethod(buffer.get(), "seek", "ii", 0, 2) : nullptr);
    Ref write = Ref::steal(end ? PyObject_GetAttrString(buffer.get(), "write") : nullptr);
    if (write) {
        replace_field(self->write_callable, write.get());
        self->write_use_memoryview = 0;
    }
    if (pending != nullptr) {
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
        return nullptr;
    }
    if (!write)
        return nullptr;
    if (*res != CURLE_OK) {
        if (body.failed && !PyErr_Occurred())
            PyErr_NoMemory();
        if (!PyErr_Occurred())
            raise_transfer_error(self, *res);
        return nullptr;
    }
    return result.release();
}

PyObject *do_curl_perform_rs(CurlObject *self, PyObject *) {
    Ref body = Ref::steal(do_curl_perform_rb(self, nullptr));
    if (!body)
        return nullptr;
    return PyUnicode_FromEncodedObject(body.get(), nullptr, nullptr);
}

static PyObject *do_curl_pause_internal(CurlObject *self, int bitmask, const char *name) {
    if (check_curl_state(self, GUARD_OPEN, name) != 0)
        return nullptr;
    // From a callback of the running transfer the slot holds that
    // transfer's state; it is put back after the call.
    std::optional<CURLcode> res = run_unlocked<ReleaseGilKeepSlot>(
        [=] { return curl_easy_pause(self->handle, bitmask); }, self);
    if (!res)
        return nullptr;
    if (*res != CURLE_OK) {
        raise_error(*res, "pause/unpause failed");
        // Unpausing delivers what libcurl kept, through the callables.
        chain_kept_exception(self->callback_exception);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *do_curl_pause(CurlObject *self, PyObject *args) {
    int bitmask = CURLPAUSE_ALL;
    if (!PyArg_ParseTuple(args, "|i:pause", &bitmask))
        return nullptr;
    return do_curl_pause_internal(self, bitmask, "pause");
}

PyObject *do_curl_unpause(CurlObject *self, PyObject *) {
    return do_curl_pause_internal(self, CURLPAUSE_CONT, "unpause");
}

// ---------------------------------------------------------------------------
// Connect-only I/O.

static void set_would_block_error() {
    errno = EAGAIN;
    PyErr_SetFromErrno(PyExc_BlockingIOError);
}

int check_easy_recv_send_result(CurlObject *self, CURLcode res) {
    if (res == CURLE_OK)
        return 0;
    if (res == CURLE_AGAIN) {
        set_would_block_error();
        return -1;
    }
    raise_transfer_error(self, res);
    return -1;
}

static int perform_easy_send(CurlObject *self, const void *data, size_t len, size_t *sent) {
    std::optional<CURLcode> res =
        run_transfer(self, [=] { return curl_easy_send(self->handle, data, len, sent); });
    return res ? check_easy_recv_send_result(self, *res) : -1;
}

static int perform_easy_recv(CurlObject *self, void *data, size_t len, size_t *received) {
    std::optional<CURLcode> res =
        run_transfer(self, [=] { return curl_easy_recv(self->handle, data, len, received); });
    return res ? check_easy_recv_send_result(self, *res) : -1;
}

PyObject *do_curl_send(CurlObject *self, PyObject *args) {
    BufferView view;
    if (!PyArg_ParseTuple(args, "y*:send", view.raw()))
        return nullptr;
    if (check_curl_state(self, GUARD_OPEN_IDLE, "send") != 0)
        return nullptr;
    size_t sent = 0;
    if (perform_easy_send(self, view.data(), static_cast<size_t>(view.size()), &sent) != 0)
        return nullptr;
    return PyLong_FromSsize_t(static_cast<Py_ssize_t>(sent));
}

// A receiving method's size (negative: refused) and the handle's state;
// the method's name ends `format`.  The size, or -1 with an exception set.
static Py_ssize_t checked_recv_size(CurlObject *self, const char *format, Py_ssize_t size) {
    const char *method = std::strchr(format, ':') + 1;
    if (size < 0) {
        PyErr_Format(PyExc_ValueError, "negative buffersize in %s", method);
        return -1;
    }
    return check_curl_state(self, GUARD_OPEN_IDLE, method) == 0 ? size : -1;
}

Py_ssize_t recv_args(CurlObject *self, PyObject *args, const char *format) {
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, format, &size))
        return -1;
    return checked_recv_size(self, format, size);
}

Py_ssize_t recv_into_args(CurlObject *self, PyObject *args, PyObject *kwds, const char *format,
                          BufferView &view) {
    static char *kwlist[] = {const_cast<char *>("buffer"), const_cast<char *>("nbytes"), nullptr};
    Py_ssize_t nbytes = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, kwlist, view.raw(), &nbytes))
        return -1;
    if (nbytes > view.size()) {
        PyErr_SetString(PyExc_ValueError, "buffer too small for requested bytes");
        return -1;
    }
    return checked_recv_size(self, format, nbytes == 0 ? view.size() : nbytes);
}

PyObject *do_curl_recv(CurlObject *self, PyObject *args) {
    Py_ssize_t size = recv_args(self, args, "n:recv");
    if (size < 0)
        return nullptr;
    if (size == 0)
        return PyBytes_FromStringAndSize(nullptr, 0);
    Ref data = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!data)
        return nullptr;
    size_t received = 0;
    if (perform_easy_recv(self, PyBytes_AS_STRING(data.get()), static_cast<size_t>(size),
                          &received) != 0)
        return nullptr;
    if (static_cast<Py_ssize_t>(received) == size)
        return data.release();
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.get()),
                                     static_cast<Py_ssize_t>(received));
}

PyObject *do_curl_recv_into(CurlObject *self, PyObject *args, PyObject *kwds) {
    BufferView view;
    Py_ssize_t nbytes = recv_into_args(self, args, kwds, "w*|n:recv_into", view);
    if (nbytes < 0)
        return nullptr;
    if (nbytes == 0)
        return PyLong_FromLong(0);
    size_t received = 0;
    if (perform_easy_recv(self, view.mutable_data(), static_cast<size_t>(nbytes), &received) != 0)
        return nullptr;
    view.release();
    return PyLong_FromSize_t(received);
}

// ---------------------------------------------------------------------------
// TLS sessions saved and restored.

static CURLcode export_session(CURL *, void *userptr, const char *session_key,
                               const unsigned char *shmac, size_t shmac_len,
                               const unsigned char *sdata, size_t sdata_len, curl_off_t valid_until,
                               int ietf_tls_id, const char *alpn, size_t earlydata_max) {
    Ref session = Ref::steal(PyObject_CallFunction(
        ssl_session_type, "(zy#y#LizK)", session_key, reinterpret_cast<const char *>(shmac),
        static_cast<Py_ssize_t>(shmac_len), reinterpret_cast<const char *>(sdata),
        static_cast<Py_ssize_t>(sdata_len), static_cast<long long>(valid_until), ietf_tls_id, alpn,
        static_cast<unsigned long long>(earlydata_max)));
    if (!session || PyList_Append(static_cast<PyObject *>(userptr), session.get()) != 0)
        return CURLE_OUT_OF_MEMORY; // ends the export
    return CURLE_OK;
}

PyObject *do_curl_ssls_export(CurlObject *self, PyObject *) {
    if (check_curl_state(self, GUARD_OPEN_IDLE, "ssls_export") != 0)
        return nullptr;
    Ref sessions = Ref::steal(PyList_New(0));
    if (!sessions)
        return nullptr;
    CURLcode res = curl_easy_ssls_export(self->handle, export_session, sessions.get());
    if (PyErr_Occurred())
        return nullptr;
    if (res != CURLE_OK)
        return raise_curl_error(self, res);
    return sessions.release();
}

// One exported session: its key text (or None) and the salted hash and data
// bytes.  0, or -1 with an exception set.
static int import_session(CurlObject *self, PyObject *session) {
    if (!PyTuple_Check(session) || PyTuple_GET_SIZE(session) < 3) {
        PyErr_SetString(PyExc_TypeError, "ssls_import() takes SslSession tuples "
                                         "(session_key, shmac, sdata, ...)");
        return -1;
    }
    PyObject *key_obj = PyTuple_GET_ITEM(session, 0);
    TextArg key;
    if (key_obj != Py_None) {
        PyObject *encoded = nullptr;
        key.data = PyText_AsString_NoNUL(key_obj, &encoded);
        key.keeper = Ref::steal(encoded);
        if (key.data == nullptr)
            return -1;
    }
    BufferView shmac, sdata;
    PyObject *shmac_obj = PyTuple_GET_ITEM(session, 1);
    if ((shmac_obj != Py_None && shmac.get(shmac_obj, PyBUF_SIMPLE) != 0) ||
        sdata.get(PyTuple_GET_ITEM(session, 2), PyBUF_SIMPLE) != 0)
        return -1;
    CURLcode res = curl_easy_ssls_import(
        self->handle, key.data,
        shmac.held() ? static_cast<const unsigned char *>(shmac.data()) : nullptr,
        shmac.held() ? static_cast<size_t>(shmac.size()) : 0,
        static_cast<const unsigned char *>(sdata.data()), static_cast<size_t>(sdata.size()));
    if (res != CURLE_OK) {
        raise_curl_error(self, res);
        return -1;
    }
    return 0;
}

PyObject *do_curl_ssls_import(CurlObject *self, PyObject *sessions) {
    if (check_curl_state(self, GUARD_OPEN_IDLE, "ssls_import") != 0)
        return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(sessions));
    if (!iterator)
        return nullptr;
    while (Ref session = Ref::steal(PyIter_Next(iterator.get()))) {
        if (import_session(self, session.get()) != 0)
            return nullptr;
    }
    if (PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
}
