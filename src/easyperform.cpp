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

PyObject *do_curl_perform_rb(CurlObject *self, PyObject *) {
    static PyObject *empty_tuple = nullptr;
    if (empty_tuple == nullptr) {
        empty_tuple = PyTuple_New(0);
        if (empty_tuple == nullptr)
            return nullptr;
    }
    Ref buffer = Ref::steal(PyObject_Call(bytesio, empty_tuple, nullptr));
    if (!buffer)
        return nullptr;
    Ref set = Ref::steal(do_curl_setopt_filelike(self, CURLOPT_WRITEDATA, buffer.get()));
    if (!set)
        return nullptr;
    Ref done = Ref::steal(do_curl_perform(self, nullptr));
    if (!done)
        return nullptr;
    return PyObject_CallMethod(buffer.get(), "getvalue", nullptr);
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
