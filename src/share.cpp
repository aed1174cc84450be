// The CurlShare object: one libcurl share handle, its locks and the registry
// of the Curl objects that use it.
//
// The object lock guards the share handle and the registry.  It is not
// reentrant, so nothing done while it is held may run Python code or drop a
// last reference (a dying Curl leaves its share and takes the lock again):
// the registry is keyed by the Curl objects' addresses, so its lookups never
// call a Curl subclass's __hash__ or __eq__; references taken while the lock
// is held are released after it; and tolvex.error, a class Python code can
// change, is raised only once the lock is released.
#include "tolvex.h"

// Holds a share's object lock for a scope, or until unlock().
class ObjectLock : Scoped {
  public:
    explicit ObjectLock(CurlShareObject *share) : mutex_(&share->object_lock) {
        PyMutex_Lock(mutex_);
    }
    ~ObjectLock() { unlock(); }
    void unlock() {
        if (mutex_ != nullptr)
            PyMutex_Unlock(std::exchange(mutex_, nullptr));
    }

  private:
    PyMutex *mutex_;
};

void assert_share_state(const CurlShareObject *self) {
    TOLVEX_ASSERT_MSG(self != nullptr, "self != NULL");
    TOLVEX_ASSERT_MSG(is_share(reinterpret_cast<PyObject *>(const_cast<CurlShareObject *>(self))),
                      "PyObject_IsInstance((PyObject *) self, (PyObject *) p_CurlShare_Type) == 1");
    TOLVEX_ASSERT_MSG(self->lock != nullptr, "self->lock != NULL");
}

// The refusal of a closed share; `locked` holds the share's lock, and is
// released before the error is raised.
static int check_share_state(CurlShareObject *self, ObjectLock &locked, const char *name) {
    assert_share_state(self);
    if (self->share_handle == nullptr) {
        locked.unlock();
        PyErr_Format(ErrorObject, "cannot invoke %s() - no share handle", name);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The registry: the address of each attached Curl, mapped to a weak
// reference to it.  Both functions run with the object lock held.

static int share_register_easy(CurlShareObject *share, PyObject *key, PyObject *ref) {
    // An entry left under the same address belongs to a Curl that is gone.
    return PyDict_SetItem(share->easy_weakrefs, key, ref);
}

// Never fails and never disturbs an exception already being raised.
static void share_unregister_easy(CurlShareObject *share, CurlObject *easy) {
    if (share->easy_weakrefs == nullptr)
        return;
    PyObject *raised = PyErr_GetRaisedException();
    Ref key = Ref::steal(PyLong_FromVoidPtr(easy));
    if (!key || PyDict_DelItem(share->easy_weakrefs, key.get()) < 0)
        PyErr_Clear();
    PyErr_SetRaisedException(raised);
}

// ---------------------------------------------------------------------------
// Attaching and detaching Curl objects.

int util_share_attach_easy(CurlObject *easy, CurlShareObject *share) {
    TOLVEX_ASSERT(easy != nullptr && share != nullptr && easy->share == nullptr);
    Ref ref = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject *>(easy), nullptr));
    if (!ref)
        return -1;
    Ref key = Ref::steal(PyLong_FromVoidPtr(easy));
    if (!key)
        return -1;
    CURLcode res;
    {
        // libcurl is given the share handle under the lock, so that a close
        // on another thread cannot clean the handle up in between.
        ObjectLock locked(share);
        if (share->share_handle == nullptr || share->easy_weakrefs == nullptr) {
            locked.unlock();
            PyErr_SetString(ErrorObject, "CurlShare is closed");
            return -1;
        }
        res = curl_easy_setopt(easy->handle, CURLOPT_SHARE, share->share_handle);
        if (res == CURLE_OK) {
            if (share_register_easy(share, key.get(), ref.get()) < 0) {
                curl_easy_setopt(easy->handle, CURLOPT_SHARE, static_cast<CURLSH *>(nullptr));
                return -1;
            }
            easy->share =
                reinterpret_cast<CurlShareObject *>(Py_NewRef(reinterpret_cast<PyObject *>(share)));
        }
    }
    if (res != CURLE_OK) {
        raise_curl_error(easy, res);
        return -1;
    }
    return 0;
}

CURLcode util_share_detach_easy(CurlObject *easy, ShareLeave how) {
    // Keeps the share alive while its lock is awaited and held: the share's
    // own close may drop the Curl's reference meanwhile.
    Ref link = Ref::borrow(reinterpret_cast<PyObject *>(easy->share));
    if (!link) {
        if (easy->handle == nullptr)
            return CURLE_OK;
        return curl_easy_setopt(easy->handle, CURLOPT_SHARE, static_cast<CURLSH *>(nullptr));
    }
    auto *share = reinterpret_cast<CurlShareObject *>(link.get());
    Ref dropped; // the Curl's reference to the share, released after the lock
    {
        ObjectLock locked(share);
        // While this thread waited for the lock, the share's close may have
        // detached the Curl already.
        if (easy->share != share)
            return CURLE_OK;
        if (easy->handle != nullptr) {
            CURLcode res =
                curl_easy_setopt(easy->handle, CURLOPT_SHARE, static_cast<CURLSH *>(nullptr));
            if (res != CURLE_OK && how == ShareLeave::if_libcurl_accepts)
                return res;
        }
        share_unregister_easy(share, easy);
        easy->share = nullptr;
        dropped = Ref::steal(reinterpret_cast<PyObject *>(share));
    }
    return CURLE_OK;
}

// ---------------------------------------------------------------------------
// Closing.

// Walks the registry, with the object lock held: drops the entries of Curl
// objects that are gone or use another share, detaches the idle users when
// the share detaches on close, and counts the users that keep it open.
// Every Curl resolved on the way is kept alive in `gathered`, which the
// caller releases after the lock.  Returns the count, or -1 with the error
// of a weak reference that cannot be resolved.
static int share_cleanup_and_count_live_easies(CurlShareObject *self, Ref &gathered) {
    PyObject *registry = self->easy_weakrefs;
    if (registry == nullptr || !PyDict_Check(registry))
        return 0;
    // Sized up front: nothing can change the registry while the lock is
    // held, and the walk then needs no memory of its own.
    Py_ssize_t size = PyDict_GET_SIZE(registry);
    Ref keep = Ref::steal(PyList_New(size));
    Ref drop = Ref::steal(PyList_New(size));
    if (!keep || !drop) {
        PyErr_Clear();
        return 0;
    }
    Py_ssize_t pos = 0, kept = 0, dropped = 0;
    PyObject *key, *ref;
    int busy = 0, rv = 0;
    while (PyDict_Next(registry, &pos, &key, &ref)) {
        PyObject *obj;
        if (PyWeakref_GetRef(ref, &obj) < 0) {
            rv = -1;
            break;
        }
        if (obj != nullptr)
            PyList_SET_ITEM(keep.get(), kept++, obj);
        auto *easy = reinterpret_cast<CurlObject *>(obj);
        if (obj == nullptr || !is_curl(obj) || easy->share != self) {
            PyList_SET_ITEM(drop.get(), dropped++, Py_NewRef(key));
        } else if (easy->state != nullptr) {
            ++busy;
        } else if (self->detach_on_close &&
                   (easy->multi_stack == nullptr || easy->multi_stack->state == nullptr)) {
            if (easy->handle != nullptr)
                curl_easy_setopt(easy->handle, CURLOPT_SHARE, static_cast<CURLSH *>(nullptr));
            easy->share = nullptr;
            // Never the last reference: the caller of close holds one.
            Py_DECREF(reinterpret_cast<PyObject *>(self));
            PyList_SET_ITEM(drop.get(), dropped++, Py_NewRef(key));
        } else {
            ++busy;
        }
    }
    // The entries of Curl objects already detached go even when the walk
    // stopped early; its error waits aside meanwhile.
    PyObject *error = rv < 0 ? PyErr_GetRaisedException() : nullptr;
    for (Py_ssize_t i = 0; i < dropped; ++i) {
        if (PyDict_DelItem(registry, PyList_GET_ITEM(drop.get(), i)) < 0)
            PyErr_Clear();
    }
    gathered = std::move(keep);
    if (error != nullptr) {
        PyErr_SetRaisedException(error);
        return -1;
    }
    return busy;
}

// Frees libcurl's share handle, which closes the connections it pooled
// (through their closers) first; a handle libcurl still counts as in use is
// left, and so are the closers its connections may reach.
static void util_share_cleanup(CurlShareObject *self) {
    if (self->share_handle != nullptr &&
        curl_share_cleanup(std::exchange(self->share_handle, nullptr)) != CURLSHE_OK)
        return;
    socket_closer_release_all(self->socket_closers);
}

// Also the context manager's exit, whatever its arguments.
static PyObject *do_share_close(PyObject *op, PyObject *) {
    auto *self = reinterpret_cast<CurlShareObject *>(op);
    assert_share_state(self);
    Ref gathered; // released only after the lock
    int busy;
    {
        ObjectLock locked(self);
        busy = share_cleanup_and_count_live_easies(self, gathered);
        if (busy == 0)
            util_share_cleanup(self);
    }
    if (busy < 0)
        return nullptr;
    if (busy > 0) {
        PyErr_Format(ErrorObject, "cannot close CurlShare: still in use by %d active Curl object%s",
                     busy, busy == 1 ? "" : "s");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Options.

// One data kind shared or unshared; `locked` holds the share's lock, and is
// released before an error is raised.
static int share_setopt_kind(CurlShareObject *self, ObjectLock &locked, int option,
                             long long kind) {
    // Every kind of data the linked libcurl shares (cookies to HSTS).
    if (kind < CURL_LOCK_DATA_COOKIE || kind >= CURL_LOCK_DATA_LAST) {
        locked.unlock();
        PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
        return -1;
    }
    CURLSHcode res = curl_share_setopt(self->share_handle, static_cast<CURLSHoption>(option),
                                       static_cast<int>(kind));
    if (res != CURLSHE_OK) {
        locked.unlock();
        raise_error(res, curl_share_strerror(res));
        return -1;
    }
    return 0;
}

static PyObject *do_share_setopt(PyObject *op, PyObject *args) {
    auto *self = reinterpret_cast<CurlShareObject *>(op);
    int option;
    PyObject *obj;
    if (!PyArg_ParseTuple(args, "iO:setopt", &option, &obj))
        return nullptr;
    if (option < 1 || option >= CURLSHOPT_LAST || !PyLong_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
        return nullptr;
    }
    long long kind = PyLong_AsLongLong(obj);
    if (kind == -1 && PyErr_Occurred())
        return nullptr;
    if (option != CURLSHOPT_SHARE && option != CURLSHOPT_UNSHARE) {
        PyErr_SetString(PyExc_TypeError, "integers are not supported for this option");
        return nullptr;
    }
    ObjectLock locked(self);
    if (check_share_state(self, locked, "setopt") != 0 ||
        share_setopt_kind(self, locked, option, kind) != 0)
        return nullptr;
    Py_RETURN_NONE;
}

// share() and unshare(): every argument applied in turn, under one hold of
// the lock; kinds applied before a failing argument stay applied.
static PyObject *share_apply_kinds(CurlShareObject *self, PyObject *args, int option,
                                   const char *name) {
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count == 0) {
        PyErr_SetString(PyExc_TypeError, "at least one LOCK_DATA_* argument required");
        return nullptr;
    }
    ObjectLock locked(self);
    if (check_share_state(self, locked, name) != 0)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *arg = PyTuple_GET_ITEM(args, i);
        const char *refusal = nullptr;
        if (PyList_Check(arg) || PyTuple_Check(arg))
            refusal = "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant "
                      "individually";
        else if (!PyLong_Check(arg))
            refusal = "arguments must be LOCK_DATA_* integers";
        if (refusal != nullptr) {
            locked.unlock();
            PyErr_SetString(PyExc_TypeError, refusal);
            return nullptr;
        }
        long long kind = PyLong_AsLongLong(arg);
        if (kind == -1 && PyErr_Occurred())
            return nullptr;
        if (share_setopt_kind(self, locked, option, kind) != 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

static PyObject *do_share_share(PyObject *op, PyObject *args) {
    return share_apply_kinds(reinterpret_cast<CurlShareObject *>(op), args, CURLSHOPT_SHARE,
                             "share");
}

static PyObject *do_share_unshare(PyObject *op, PyObject *args) {
    return share_apply_kinds(reinterpret_cast<CurlShareObject *>(op), args, CURLSHOPT_UNSHARE,
                             "unshare");
}

// ---------------------------------------------------------------------------
// Share locks: one PyMutex per libcurl lock-data kind.  PyMutex needs no
// interpreter lock and detaches a waiting thread from the interpreter.

static constexpr int share_lock_count = CURL_LOCK_DATA_LAST;

static PyMutex *share_lock_new() {
    auto *lock = static_cast<PyMutex *>(PyMem_Calloc(share_lock_count, sizeof(PyMutex)));
    if (lock == nullptr)
        PyErr_NoMemory();
    return lock;
}

static void share_lock_destroy(PyMutex *lock) {
    TOLVEX_ASSERT(lock);
    PyMem_Free(lock);
}

static void share_lock_callback(CURL *, curl_lock_data data, curl_lock_access, void *userptr) {
    auto *share = static_cast<CurlShareObject *>(userptr);
    PyMutex_Lock(&share->lock[static_cast<int>(data) % share_lock_count]);
}

static void share_unlock_callback(CURL *, curl_lock_data data, void *userptr) {
    auto *share = static_cast<CurlShareObject *>(userptr);
    PyMutex_Unlock(&share->lock[static_cast<int>(data) % share_lock_count]);
}

// ---------------------------------------------------------------------------
// Type slots.

static PyObject *do_share_new(PyTypeObject *subtype, PyObject *args, PyObject *kwds) {
    int detach_on_close = 1;
    Ref obj =
        new_with_flag(subtype, p_CurlShare_Type, args, kwds, "detach_on_close", detach_on_close);
    if (!obj)
        return nullptr;
    auto *self = reinterpret_cast<CurlShareObject *>(obj.get());
    self->lock = share_lock_new();
    if (self->lock == nullptr)
        return nullptr;
    self->easy_weakrefs = PyDict_New();
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
    Ref registry;
    {
        ObjectLock locked(self);
        registry = Ref::steal(std::exchange(self->easy_weakrefs, nullptr));
    }
    return 0;
}

static void do_share_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<CurlShareObject *>(op);
    PyObject_GC_UnTrack(op);
    do_share_clear(op);
    util_share_cleanup(self);
    if (self->lock != nullptr)
        share_lock_destroy(std::exchange(self->lock, nullptr));
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(op);
    CurlShare_Type.tp_free(op);
}

static constexpr char type_name[] = "CurlShare";
using SharePlumbing =
    HandlePlumbing<CurlShareObject, &curlshareobject_constants, assert_share_state, type_name>;

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
    {"close", do_share_close, METH_NOARGS,
     "close() -> None\n\n"
     "Close the share handle.  Idle Curl objects still using it are detached first "
     "when the share was created with detach_on_close=True; otherwise, or while one "
     "of them is transferring, the share stays open and tolvex.error is raised.\n"},
    {"setopt", do_share_setopt, METH_VARARGS,
     "setopt(option, value) -> None\n\n"
     "Set a curl share option: SH_SHARE or SH_UNSHARE with a "
     "LOCK_DATA_* constant.\n"},
    {"share", do_share_share, METH_VARARGS,
     "share(*kinds) -> None\n\n"
     "Start sharing each given LOCK_DATA_* kind of data.\n"},
    {"unshare", do_share_unshare, METH_VARARGS,
     "unshare(*kinds) -> None\n\n"
     "Stop sharing each given LOCK_DATA_* kind of data.\n"},
    TOLVEX_PLUMBING_METHODS(SharePlumbing),
    {"__exit__", do_share_close, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef curlshareobject_getsets[] = {
    {"closed", do_share_get_closed, nullptr, "True if the share handle has been closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(share_doc, "CurlShare(detach_on_close=True) -> New CurlShare object\n"
                        "\n"
                        "Creates a new CurlShare object which corresponds to a libcurl share "
                        "handle.\n");

PyTypeObject CurlShare_Type = SharePlumbing::type({
    .tp_name = "tolvex.CurlShare",
    .tp_dealloc = do_share_dealloc,
    .tp_doc = share_doc,
    .tp_traverse = do_share_traverse,
    .tp_clear = do_share_clear,
    .tp_methods = curlshareobject_methods,
    .tp_getset = curlshareobject_getsets,
    .tp_new = do_share_new,
});
