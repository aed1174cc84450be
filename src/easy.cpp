// The Curl object: its record, creation with the module's defaults, the
// method guard, closing, reset and garbage-collector support; and the
// internal owners of libcurl string lists and form chains.
#include "tolvex.h"

#include <cstring>
#include <iterator>

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
    if ((flags & GUARD_IDLE) &&
        tolvex_get_thread_state(const_cast<CurlObject *>(self)) != nullptr) {
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
    return 0;
}

static int do_curl_clear(PyObject *op) {
    auto *self = reinterpret_cast<CurlObject *>(op);
    TOLVEX_ASSERT_MSG(tolvex_get_thread_state(self) == nullptr,
                      "tolvex_get_thread_state(self) == NULL");
    util_curl_xdecref(self, RELEASE_ALL, self->handle);
    return 0;
}

static PyObject *do_curl_getattro(PyObject *o, PyObject *name) {
    PyObject *v = PyObject_GenericGetAttr(o, name);
    if (v == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        v = my_getattro(o, name, reinterpret_cast<CurlObject *>(o)->dict, curlobject_constants);
    }
    return v;
}

static int do_curl_setattro(PyObject *o, PyObject *name, PyObject *v) {
    assert_curl_state(reinterpret_cast<CurlObject *>(o));
    return my_setattro(&reinterpret_cast<CurlObject *>(o)->dict, name, v);
}

// ---------------------------------------------------------------------------
// Methods of this file.

PyDoc_STRVAR(curl_close_doc, "close() -> None\n\n"
                             "Close handle and end curl session.\n");

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

PyDoc_STRVAR(curl_reset_doc, "reset() -> None\n\n"
                             "Reset all options set on curl handle to default values, but "
                             "preserve live connections, session ID cache, DNS cache, cookies, "
                             "and shares.\n");

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

PyDoc_STRVAR(curl_multi_doc, "multi() -> CurlMulti or None\n\n"
                             "Return the CurlMulti object this handle belongs to, or None.\n");

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

PyDoc_STRVAR(curl_share_doc, "share() -> CurlShare or None\n\n"
                             "Return the CurlShare object this handle uses, or None.\n");

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

static PyObject *do_curl_enter(PyObject *op, PyObject *) {
    return Py_NewRef(op);
}

static PyObject *do_curl_exit(PyObject *op, PyObject *) {
    return do_curl_close(op, nullptr);
}

static PyObject *do_curl_getstate(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "Curl objects do not support serialization");
    return nullptr;
}

static PyObject *do_curl_setstate(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "Curl objects do not support deserialization");
    return nullptr;
}

PyDoc_STRVAR(curl_closed_doc, "True if the handle has been closed.");

static PyObject *do_curl_get_closed(PyObject *op, void *) {
    return PyBool_FromLong(reinterpret_cast<CurlObject *>(op)->handle == nullptr);
}

// ---------------------------------------------------------------------------
// Duplication.

const char curl_duphandle_doc[] =
    "duphandle() -> Curl\n\n"
    "Clone the handle and all its options into a new Curl object of the same type.\n"
    "The clone holds its own references to the callables, lists, posted data and\n"
    "MIME body its options use, so either object may be closed first. It starts\n"
    "with no connections, cookies, share or multi.\n";

// libcurl's copy of a handle points where the source's options point: every
// callback's data at the source object, the posted bytes, lists and forms
// into the source's owners.  The clone takes references of its own and points
// the callback data at itself.  Whatever may fail or run Python code comes
// before libcurl copies the handle, and the clone holds all that the copy
// points into before anything else can fail, so dropping a half-made clone
// never releases what libcurl still uses, and the source is never changed.
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
    if (self->dict != nullptr) {
        dup->dict = PyDict_Copy(self->dict);
        if (dup->dict == nullptr)
            return fail();
    }
    // What each callback option of the clone gets as its data.
    constexpr size_t rows = std::size(curl_callback_options);
    void *data[rows];
    for (size_t i = 0; i < rows; ++i) {
        const CallbackOption &row = curl_callback_options[i];
        data[i] = dup;
        if (self->*row.field != nullptr && row.user_data != nullptr &&
            (data[i] = row.user_data(dup)) == nullptr)
            return fail();
    }
    if (self->handle == nullptr)
        return fail();
    for (const CallbackOption &row : curl_callback_options)
        if (row.called_by_duphandle && self->*row.field != nullptr)
            (void)curl_easy_setopt(self->handle, row.function_option, static_cast<void *>(nullptr));
    dup->handle = curl_easy_duphandle(self->handle);
    for (const CallbackOption &row : curl_callback_options) {
        if (!row.called_by_duphandle || self->*row.field == nullptr)
            continue;
        (void)row.install(self->handle, row.function_option);
        if (dup->handle != nullptr)
            (void)row.install(dup->handle, row.function_option);
    }
    if (dup->handle == nullptr)
        return fail();

    for (size_t i = 0; i < rows; ++i) {
        const CallbackOption &row = curl_callback_options[i];
        if (self->*row.field == nullptr)
            continue;
        dup->*row.field = Py_NewRef(self->*row.field);
        if (row.use_memoryview != nullptr)
            dup->*row.use_memoryview = self->*row.use_memoryview;
        (void)curl_easy_setopt(dup->handle, row.data_option, data[i]);
    }
    dup->postfields_obj = Py_XNewRef(self->postfields_obj);
    // The certificate callback reads the clone's own data, with its state.
    dup->ca_certs_obj = Py_XNewRef(self->ca_certs_obj);
    if (dup->ca_certs_obj != nullptr)
        (void)curl_easy_setopt(dup->handle, CURLOPT_SSL_CTX_DATA, dup);
    for (const ListOption &row : curl_list_options)
        dup->*row.field = Py_XNewRef(self->*row.field);
    dup->httppost_obj = Py_XNewRef(self->httppost_obj);
    // libcurl copied the MIME structure with the data of its callback parts:
    // each of their owners is used, and freed, once more.
    dup->mimepost_obj = Py_XNewRef(self->mimepost_obj);
    if (dup->mimepost_obj != nullptr)
        (void)curlmime_duphandle_incref_data_cb_owners(
            reinterpret_cast<CurlMimeObject *>(dup->mimepost_obj));

    if (curl_easy_setopt(dup->handle, CURLOPT_ERRORBUFFER, dup->error) != CURLE_OK)
        return fail();
    std::memset(dup->error, 0, sizeof(dup->error));
    if (curl_easy_setopt(dup->handle, CURLOPT_PRIVATE, dup) != CURLE_OK)
        return fail();
    return obj.release();
}

// ---------------------------------------------------------------------------
// The type.

static PyMethodDef curlobject_methods[] = {
    {"close", do_curl_close, METH_NOARGS, curl_close_doc},
    {"duphandle", as_cfunction(do_curl_duphandle), METH_NOARGS, curl_duphandle_doc},
    {"errstr", as_cfunction(do_curl_errstr), METH_NOARGS, curl_errstr_doc},
    {"errstr_raw", as_cfunction(do_curl_errstr_raw), METH_NOARGS, curl_errstr_raw_doc},
    {"getinfo", as_cfunction(do_curl_getinfo), METH_VARARGS, curl_getinfo_doc},
    {"getinfo_raw", as_cfunction(do_curl_getinfo_raw), METH_VARARGS, curl_getinfo_raw_doc},
    {"multi", do_curl_multi, METH_NOARGS, curl_multi_doc},
    {"pause", as_cfunction(do_curl_pause), METH_VARARGS, curl_pause_doc},
    {"perform", as_cfunction(do_curl_perform), METH_NOARGS, curl_perform_doc},
    {"perform_rb", as_cfunction(do_curl_perform_rb), METH_NOARGS, curl_perform_rb_doc},
    {"perform_rs", as_cfunction(do_curl_perform_rs), METH_NOARGS, curl_perform_rs_doc},
    {"recv", as_cfunction(do_curl_recv), METH_VARARGS, curl_recv_doc},
    {"recv_into", as_cfunction(do_curl_recv_into), METH_VARARGS | METH_KEYWORDS,
     curl_recv_into_doc},
    {"reset", do_curl_reset, METH_NOARGS, curl_reset_doc},
    {"send", as_cfunction(do_curl_send), METH_VARARGS, curl_send_doc},
    {"setopt", as_cfunction(do_curl_setopt), METH_VARARGS | METH_KEYWORDS, curl_setopt_doc},
    {"setopt_string", as_cfunction(do_curl_setopt_string), METH_VARARGS, curl_setopt_string_doc},
    {"share", do_curl_share, METH_NOARGS, curl_share_doc},
    {"unpause", as_cfunction(do_curl_unpause), METH_NOARGS, curl_unpause_doc},
    {"unsetopt", as_cfunction(do_curl_unsetopt), METH_VARARGS, curl_unsetopt_doc},
    {"ws_close", as_cfunction(do_curl_ws_close), METH_VARARGS | METH_KEYWORDS, curl_ws_close_doc},
    {"ws_meta", as_cfunction(do_curl_ws_meta), METH_NOARGS, curl_ws_meta_doc},
    {"ws_recv", as_cfunction(do_curl_ws_recv), METH_VARARGS, curl_ws_recv_doc},
    {"ws_recv_into", as_cfunction(do_curl_ws_recv_into), METH_VARARGS | METH_KEYWORDS,
     curl_ws_recv_into_doc},
    {"ws_send", as_cfunction(do_curl_ws_send), METH_VARARGS | METH_KEYWORDS, curl_ws_send_doc},
    {"set_ca_certs", as_cfunction(do_curl_set_ca_certs), METH_VARARGS, curl_set_ca_certs_doc},
    {"__getstate__", do_curl_getstate, METH_NOARGS, nullptr},
    {"__setstate__", do_curl_setstate, METH_VARARGS, nullptr},
    {"__enter__", do_curl_enter, METH_NOARGS, nullptr},
    {"__exit__", do_curl_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef curlobject_getsets[] = {
    {"closed", do_curl_get_closed, nullptr, curl_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(curl_doc, "Curl() -> New Curl object\n"
                       "\n"
                       "Creates a new Curl object which corresponds to a libcurl easy handle.\n"
                       "A new object has CURLOPT_VERBOSE set to 0, CURLOPT_NOPROGRESS set to 1,\n"
                       "a default CURLOPT_USERAGENT and a private CURLOPT_ERRORBUFFER.\n"
                       "\n"
                       "Curl objects are context managers: leaving the block calls close().\n");

PyTypeObject Curl_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "tolvex.Curl",
    .tp_basicsize = sizeof(CurlObject),
    .tp_dealloc = do_curl_dealloc,
    .tp_getattro = do_curl_getattro,
    .tp_setattro = do_curl_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = curl_doc,
    .tp_traverse = do_curl_traverse,
    .tp_clear = do_curl_clear,
    .tp_weaklistoffset = offsetof(CurlObject, weakreflist),
    .tp_methods = curlobject_methods,
    .tp_getset = curlobject_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_curl_new,
    .tp_free = PyObject_GC_Del,
};

// ---------------------------------------------------------------------------
// Owners of string lists and classic form chains.

static void do_curlslist_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<CurlSlistObject *>(op);
    if (self->list_head != nullptr) {
        curl_slist_free_all(self->list_head);
        self->list_head = nullptr;
    }
    CurlSlist_Type.tp_free(op);
}

PyTypeObject CurlSlist_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "tolvex.CurlSlist",
    .tp_basicsize = sizeof(CurlSlistObject),
    .tp_dealloc = do_curlslist_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_free = PyObject_Free,
};

static void do_curlhttppost_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<CurlHttppostObject *>(op);
    if (self->form_chain != nullptr) {
        curl_formfree(self->form_chain);
        self->form_chain = nullptr;
    }
    clear_field(self->buffer_refs);
    CurlHttppost_Type.tp_free(op);
}

PyTypeObject CurlHttppost_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "tolvex.CurlHttppost",
    .tp_basicsize = sizeof(CurlHttppostObject),
    .tp_dealloc = do_curlhttppost_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_free = PyObject_Free,
};

PyObject *util_curlslist_new(curl_slist *list) {
    auto *self = PyObject_New(CurlSlistObject, p_CurlSlist_Type);
    if (self == nullptr)
        return nullptr;
    self->list_head = list;
    return reinterpret_cast<PyObject *>(self);
}

int util_curlslist_update(PyObject **field, curl_slist *list) {
    PyObject *owner = util_curlslist_new(list);
    if (owner == nullptr)
        return -1;
    PyObject *old = *field;
    *field = owner;
    Py_XDECREF(old);
    return 0;
}

int util_curlhttppost_update(CurlObject *self, curl_httppost *chain, PyObject *refs) {
    auto *owner = PyObject_New(CurlHttppostObject, p_CurlHttppost_Type);
    if (owner == nullptr)
        return -1;
    owner->form_chain = chain;
    owner->buffer_refs = refs;
    PyObject *old = self->httppost_obj;
    self->httppost_obj = reinterpret_cast<PyObject *>(owner);
    Py_XDECREF(old);
    return 0;
}
