// The CurlMulti object: one libcurl multi handle and its member Curl objects.
#include "tolvex.h"

// ---------------------------------------------------------------------------
// Guards.

void assert_multi_state(const CurlMultiObject *self) {
    TOLVEX_ASSERT_MSG(self != nullptr, "self != NULL");
    TOLVEX_ASSERT_MSG(is_multi(reinterpret_cast<PyObject *>(const_cast<CurlMultiObject *>(self))),
                      "PyObject_IsInstance((PyObject *) self, (PyObject *) p_CurlMulti_Type) == 1");
    if (self->state != nullptr)
        TOLVEX_ASSERT_MSG(self->multi_handle != nullptr, "self->multi_handle != NULL");
}

int check_multi_state(const CurlMultiObject *self, int flags, const char *name) {
    assert_multi_state(self);
    if ((flags & 1) && self->multi_handle == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no multi handle", name);
        return -1;
    }
    if ((flags & 2) && self->state != nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - multi_perform() is currently running",
                     name);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Detaching members and closing.

static int util_multi_detach_easies(CurlMultiObject *self, bool close_members, bool ignore_errors) {
    if (self->easy_set == nullptr)
        return 0;
    Ref snapshot = Ref::steal(PySequence_List(self->easy_set));
    if (!snapshot)
        return -1;
    Py_ssize_t n = PyList_GET_SIZE(snapshot.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(snapshot.get(), i);
        auto *easy = reinterpret_cast<CurlObject *>(item);
        if (easy->multi_stack != self)
            continue;
        if (self->multi_handle != nullptr && easy->handle != nullptr) {
            {
                ReleaseGil unlocked(self->state, "self->state != NULL");
                curl_multi_remove_handle(self->multi_handle, easy->handle);
            }
            if (easy->multi_stack == self)
                easy->multi_stack = nullptr;
        } else {
            easy->multi_stack = nullptr;
        }
        clear_field(easy->multi_weakref);
        if (close_members) {
            Ref result = Ref::steal(PyObject_CallMethod(item, "close", nullptr));
            if (!result) {
                if (!ignore_errors)
                    return -1;
                PyErr_Clear();
            }
        }
    }
    snapshot.reset();
    clear_field(self->easy_set);
    return 0;
}

static void util_multi_close(CurlMultiObject *self) {
    self->state = nullptr;
    if (self->multi_handle != nullptr) {
        {
            ReleaseGil unlocked(self->state, "self->state != NULL");
            curl_multi_cleanup(self->multi_handle);
        }
        self->multi_handle = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Type slots.

static PyObject *do_multi_new(PyTypeObject *subtype, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("close_handles"), nullptr};
    int close_handles = 0;
    if (subtype == p_CurlMulti_Type &&
        !PyArg_ParseTupleAndKeywords(args, kwds, "|$p", kwlist, &close_handles))
        return nullptr;
    Ref obj = Ref::steal(subtype->tp_alloc(subtype, 0));
    if (!obj)
        return nullptr;
    auto *self = reinterpret_cast<CurlMultiObject *>(obj.get());
    self->easy_set = PySet_New(nullptr);
    if (self->easy_set == nullptr)
        return nullptr;
    self->assigned_objects = PyDict_New();
    if (self->assigned_objects == nullptr)
        return nullptr;
    self->multi_handle = curl_multi_init();
    if (self->multi_handle == nullptr) {
        obj.reset();
        PyErr_SetString(ErrorObject, "initializing curl-multi failed");
        return nullptr;
    }
    self->close_handles = close_handles ? 1 : 0;
    return obj.release();
}

static int do_multi_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<CurlMultiObject *>(op);
    Py_VISIT(self->dict);
    Py_VISIT(self->easy_set);
    Py_VISIT(self->assigned_objects);
    Py_VISIT(self->timer_callable);
    Py_VISIT(self->socket_callable);
    Py_VISIT(self->notify_callable);
    return 0;
}

static int do_multi_clear(PyObject *op) {
    auto *self = reinterpret_cast<CurlMultiObject *>(op);
    clear_field(self->dict);
    clear_field(self->timer_callable);
    clear_field(self->socket_callable);
    clear_field(self->notify_callable);
    clear_field(self->assigned_objects);
    return 0;
}

static void do_multi_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<CurlMultiObject *>(op);
    PyObject_GC_UnTrack(op);
    // The callables go first: libcurl may call the socket callback while the
    // members are removed, and no Python code may receive this dying object.
    clear_field(self->timer_callable);
    clear_field(self->socket_callable);
    clear_field(self->notify_callable);
    (void)util_multi_detach_easies(self, false, true);
    if (PyErr_Occurred())
        PyErr_Clear();
    do_multi_clear(op);
    util_multi_close(self);
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(op);
    CurlMulti_Type.tp_free(op);
}

static PyObject *do_multi_getattro(PyObject *o, PyObject *name) {
    assert_multi_state(reinterpret_cast<CurlMultiObject *>(o));
    PyObject *v = PyObject_GenericGetAttr(o, name);
    if (v == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        v = my_getattro(o, name, reinterpret_cast<CurlMultiObject *>(o)->dict,
                        curlmultiobject_constants);
    }
    return v;
}

static int do_multi_setattro(PyObject *o, PyObject *name, PyObject *v) {
    assert_multi_state(reinterpret_cast<CurlMultiObject *>(o));
    return my_setattro(&reinterpret_cast<CurlMultiObject *>(o)->dict, name, v);
}

// ---------------------------------------------------------------------------
// Methods.

PyDoc_STRVAR(multi_close_doc, "close() -> None\n\n"
                              "Close the multi handle, detaching its member Curl objects.\n");

static PyObject *do_multi_close(PyObject *op, PyObject *) {
    auto *self = reinterpret_cast<CurlMultiObject *>(op);
    if (check_multi_state(self, 2, "close") != 0)
        return nullptr;
    if (util_multi_detach_easies(self, self->close_handles != 0, false) != 0)
        return nullptr;
    util_multi_close(self);
    // Assigned objects stay alive until libcurl no longer holds them.
    if (self->assigned_objects != nullptr)
        PyDict_Clear(self->assigned_objects);
    Py_RETURN_NONE;
}

static PyObject *do_multi_enter(PyObject *op, PyObject *) {
    return Py_NewRef(op);
}

static PyObject *do_multi_exit(PyObject *op, PyObject *args) {
    PyObject *type, *value, *tb;
    if (!PyArg_ParseTuple(args, "OOO:__exit__", &type, &value, &tb))
        return nullptr;
    Ref result = Ref::steal(PyObject_CallMethod(op, "close", nullptr));
    if (!result)
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject *do_multi_getstate(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "CurlMulti objects do not support serialization");
    return nullptr;
}

static PyObject *do_multi_setstate(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "CurlMulti objects do not support deserialization");
    return nullptr;
}

PyDoc_STRVAR(multi_closed_doc, "True if the multi handle has been closed.");

static PyObject *do_multi_get_closed(PyObject *op, void *) {
    return PyBool_FromLong(reinterpret_cast<CurlMultiObject *>(op)->multi_handle == nullptr);
}

static PyMethodDef curlmultiobject_methods[] = {
    {"close", do_multi_close, METH_NOARGS, multi_close_doc},
    {"__getstate__", do_multi_getstate, METH_NOARGS, nullptr},
    {"__setstate__", do_multi_setstate, METH_VARARGS, nullptr},
    {"__enter__", do_multi_enter, METH_NOARGS, nullptr},
    {"__exit__", do_multi_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef curlmultiobject_getsets[] = {
    {"closed", do_multi_get_closed, nullptr, multi_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(multi_doc, "CurlMulti(close_handles=False) -> New CurlMulti object\n"
                        "\n"
                        "Creates a new CurlMulti object which corresponds to a libcurl multi "
                        "handle.\n"
                        "With close_handles true, close() also closes the member handles.\n");

PyTypeObject CurlMulti_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "tolvex.CurlMulti",
    .tp_basicsize = sizeof(CurlMultiObject),
    .tp_dealloc = do_multi_dealloc,
    .tp_getattro = do_multi_getattro,
    .tp_setattro = do_multi_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = multi_doc,
    .tp_traverse = do_multi_traverse,
    .tp_clear = do_multi_clear,
    .tp_weaklistoffset = offsetof(CurlMultiObject, weakreflist),
    .tp_methods = curlmultiobject_methods,
    .tp_getset = curlmultiobject_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_multi_new,
    .tp_free = PyObject_GC_Del,
};
