// The CurlShare object: one libcurl share handle, its locks and the registry
// of the Curl objects that use it.
#include "tolvex.h"

// Holds the share's object lock for a scope.
class ObjectLock {
  public:
    explicit ObjectLock(CurlShareObject *share) : mutex_(&share->object_lock) {
        PyMutex_Lock(mutex_);
    }
    ObjectLock(const ObjectLock &) = delete;
    ObjectLock &operator=(const ObjectLock &) = delete;
    ~ObjectLock() { PyMutex_Unlock(mutex_); }

  private:
    PyMutex *mutex_;
};

void assert_share_state(const CurlShareObject *self) {
    TOLVEX_ASSERT_MSG(self != nullptr, "self != NULL");
    TOLVEX_ASSERT_MSG(is_share(reinterpret_cast<PyObject *>(const_cast<CurlShareObject *>(self))),
                      "PyObject_IsInstance((PyObject *) self, (PyObject *) p_CurlShare_Type) == 1");
    TOLVEX_ASSERT_MSG(self->lock != nullptr, "self->lock != NULL");
}

int share_register_easy(CurlShareObject *share, CurlObject *easy) {
    TOLVEX_ASSERT(share != nullptr && easy != nullptr);
    Ref ref = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject *>(easy), nullptr));
    if (!ref)
        return -1;
    ObjectLock locked(share);
    if (share->share_handle == nullptr || share->easy_weakrefs == nullptr) {
        PyErr_SetString(ErrorObject, "CurlShare is closed");
        return -1;
    }
    if (PySet_Add(share->easy_weakrefs, ref.get()) < 0)
        return -1;
    return 0;
}

void share_unregister_easy(CurlShareObject *share, CurlObject *easy) {
    TOLVEX_ASSERT(share != nullptr && easy != nullptr);
    // Never fails and never disturbs an exception already being raised.
    PyObject *exc = PyErr_GetRaisedException();
    Ref ref = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject *>(easy), nullptr));
    if (!ref) {
        PyErr_Clear();
    } else {
        ObjectLock locked(share);
        if (share->easy_weakrefs != nullptr && PySet_Discard(share->easy_weakrefs, ref.get()) < 0)
            PyErr_Clear();
    }
    ref.reset();
    PyErr_SetRaisedException(exc);
}

// ---------------------------------------------------------------------------
// Type slots.

static PyObject *do_share_new(PyTypeObject *subtype, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("detach_on_close"), nullptr};
    int detach_on_close = 1;
    if (subtype == p_CurlShare_Type &&
        !PyArg_ParseTupleAndKeywords(args, kwds, "|$p", kwlist, &detach_on_close))
        return nullptr;
    Ref obj = Ref::steal(subtype->tp_alloc(subtype, 0));
    if (!obj)
        return nullptr;
    auto *self = reinterpret_cast<CurlShareObject *>(obj.get());
    self->lock = share_lock_new();
    if (self->lock == nullptr)
        return nullptr;
    self->easy_weakrefs = PySet_New(nullptr);
    if (self->easy_weakrefs == nullptr)
        return nullptr;
    self->share_handle = curl_share_init();
    if (self->share_handle == nullptr) {
        obj.reset();
        PyErr_SetString(ErrorObject, "initializing curl-share failed");
        return nullptr;
    }
    TOLVEX_ASSERT(curl_share_setopt(self->share_handle, CURLSHOPT_LOCKFUNC, share_lock_callback) ==
                  CURLSHE_OK);
    TOLVEX_ASSERT(curl_share_setopt(self->share_handle, CURLSHOPT_USERDATA, self) == CURLSHE_OK);
    TOLVEX_ASSERT(curl_share_setopt(self->share_handle, CURLSHOPT_UNLOCKFUNC,
                                    share_unlock_callback) == CURLSHE_OK);
    self->detach_on_close = detach_on_close ? 1 : 0;
    return obj.release();
}

static int do_share_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<CurlShareObject *>(op);
    Py_VISIT(self->dict);
    Py_VISIT(self->easy_weakrefs);
    return 0;
}

static int do_share_clear(PyObject *op) {
    auto *self = reinterpret_cast<CurlShareObject *>(op);
    clear_field(self->dict);
    PyObject *refs;
    {
        ObjectLock locked(self);
        refs = self->easy_weakrefs;
        self->easy_weakrefs = nullptr;
    }
    Py_XDECREF(refs);
    return 0;
}

static void do_share_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<CurlShareObject *>(op);
    PyObject_GC_UnTrack(op);
    do_share_clear(op);
    if (self->share_handle != nullptr) {
        CURLSH *handle = self->share_handle;
        self->share_handle = nullptr;
        curl_share_cleanup(handle);
    }
    if (self->lock != nullptr)
        share_lock_destroy(self->lock);
    self->lock = nullptr;
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(op);
    CurlShare_Type.tp_free(op);
}

static PyObject *do_share_getattro(PyObject *o, PyObject *name) {
    assert_share_state(reinterpret_cast<CurlShareObject *>(o));
    PyObject *v = PyObject_GenericGetAttr(o, name);
    if (v == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        v = my_getattro(o, name, reinterpret_cast<CurlShareObject *>(o)->dict,
                        curlshareobject_constants);
    }
    return v;
}

static int do_share_setattro(PyObject *o, PyObject *name, PyObject *v) {
    assert_share_state(reinterpret_cast<CurlShareObject *>(o));
    return my_setattro(&reinterpret_cast<CurlShareObject *>(o)->dict, name, v);
}

static PyObject *do_share_getstate(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "CurlShare objects do not support serialization");
    return nullptr;
}

static PyObject *do_share_setstate(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "CurlShare objects do not support deserialization");
    return nullptr;
}

static PyObject *do_share_enter(PyObject *op, PyObject *) {
    return Py_NewRef(op);
}

PyDoc_STRVAR(share_closed_doc, "True if the share handle has been closed.");

static PyObject *do_share_get_closed(PyObject *op, void *) {
    auto *self = reinterpret_cast<CurlShareObject *>(op);
    bool closed;
    {
        ObjectLock locked(self);
        closed = self->share_handle == nullptr;
    }
    return PyBool_FromLong(closed);
}

static PyMethodDef curlshareobject_methods[] = {
    {"__getstate__", do_share_getstate, METH_NOARGS, nullptr},
    {"__setstate__", do_share_setstate, METH_VARARGS, nullptr},
    {"__enter__", do_share_enter, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef curlshareobject_getsets[] = {
    {"closed", do_share_get_closed, nullptr, share_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(share_doc, "CurlShare(detach_on_close=True) -> New CurlShare object\n"
                        "\n"
                        "Creates a new CurlShare object which corresponds to a libcurl share "
                        "handle.\n");

PyTypeObject CurlShare_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "tolvex.CurlShare",
    .tp_basicsize = sizeof(CurlShareObject),
    .tp_dealloc = do_share_dealloc,
    .tp_getattro = do_share_getattro,
    .tp_setattro = do_share_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = share_doc,
    .tp_traverse = do_share_traverse,
    .tp_clear = do_share_clear,
    .tp_weaklistoffset = offsetof(CurlShareObject, weakreflist),
    .tp_methods = curlshareobject_methods,
    .tp_getset = curlshareobject_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_share_new,
    .tp_free = PyObject_GC_Del,
};
