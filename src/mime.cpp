// The CurlMime and CurlMimePart objects: multipart request bodies built for
// one Curl handle, the setters of their parts, the keyword builders, and the
// owner of the Python callables that produce a part's body while it is sent.
#include "tolvex.h"

#include <cstdio>
#include <cstring>

static CurlMimeObject *as_mime(PyObject *op) {
    return reinterpret_cast<CurlMimeObject *>(op);
}
static CurlMimePartObject *as_part(PyObject *op) {
    return reinterpret_cast<CurlMimePartObject *>(op);
}
static MimeDataCbOwnerObject *as_owner(PyObject *op) {
    return reinterpret_cast<MimeDataCbOwnerObject *>(op);
}
template <typename T>
static PyObject *as_object(T *record) {
    return reinterpret_cast<PyObject *>(record);
}

static bool is_mime(PyObject *obj) {
    return obj != nullptr && PyObject_TypeCheck(obj, p_CurlMime_Type);
}
static bool is_part(PyObject *obj) {
    return obj != nullptr && PyObject_TypeCheck(obj, p_CurlMimePart_Type);
}
static bool is_owner(PyObject *obj) {
    return obj != nullptr && Py_IS_TYPE(obj, &MimeDataCbOwner_Type);
}

// A failed libcurl MIME call.  These calls never write the handle's error
// buffer, so the message is libcurl's text for the code.
static PyObject *raise_mime_error(CurlMimeObject *mime, CURLcode res) {
    if (mime != nullptr && mime->curl != nullptr)
        return raise_curl_error(mime->curl, res);
    return raise_error(res, curl_easy_strerror(res));
}

// Deletes the first entry of `list` that is `item` itself; errors are
// cleared, since the callers run where nothing may be reported.
static void list_remove(PyObject *list, PyObject *item) {
    if (list == nullptr || !PyList_Check(list))
        return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (PyList_GET_ITEM(list, i) == item) {
            if (PyList_SetSlice(list, i, i + 1, nullptr) != 0)
                PyErr_Clear();
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Converted argument values.

// Text for libcurl: bytes as they are, str as strict ASCII; no NUL byte.
// Null with TypeError naming `what`, or with the conversion's error.
static const char *mime_text(PyObject *value, const char *what, Ref &keeper) {
    if (!PyText_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a byte string or ascii-unicode string", what);
        return nullptr;
    }
    PyObject *encoded = nullptr;
    char *text = PyText_AsString_NoNUL(value, &encoded);
    keeper = Ref::steal(encoded);
    return text;
}

// The bytes of a part's in-memory data: a buffer, or text that may hold NUL
// bytes.  libcurl copies them.
struct DataArg {
    BufferView view;
    Ref keeper;
    const char *data = nullptr;
    size_t size = 0;
};

static int mime_data_arg(PyObject *value, DataArg &out) {
    if (PyObject_CheckBuffer(value)) {
        if (out.view.get(value, PyBUF_SIMPLE) != 0)
            return -1;
        out.data = static_cast<const char *>(out.view.data());
        out.size = static_cast<size_t>(out.view.size());
        return 0;
    }
    if (PyText_Check(value)) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        PyObject *encoded = nullptr;
        int rv = PyText_AsStringAndSize(value, &data, &size, &encoded);
        out.keeper = Ref::steal(encoded);
        if (rv != 0)
            return -1;
        out.data = data;
        out.size = static_cast<size_t>(size);
        return 0;
    }
    PyErr_SetString(PyExc_TypeError, "data() argument must be a byte string, ASCII-only Unicode "
                                     "string, or a buffer object");
    return -1;
}

// A part's custom headers: no list for None or an empty sequence.
static int mime_headers_arg(PyObject *value, SlistPtr &out) {
    if (value == Py_None)
        return 0;
    int which = PyListOrTuple_Check(value);
    if (which == 0) {
        PyErr_SetString(PyExc_TypeError, "headers must be a list or tuple of strings");
        return -1;
    }
    Py_ssize_t len = PyListOrTuple_Size(value, which);
    if (len == 0)
        return 0;
    out.reset(tolvex_list_or_tuple_to_slist(which, value, len));
    if (out.get() == nullptr) {
        // The list conversion's only TypeError is about an item's kind; its
        // text speaks of list items in general.
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError,
                            "headers must contain only byte or ascii-unicode strings");
        }
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Owners of callback data: libcurl's uses are counted apart from Python's
// references, and the free callable runs when the last use ends.

static constexpr const char owner_underflow[] =
    "internal error: mime data_cb owner libcurl refcount underflow";

static int interpreter_usable() {
    // During finalization only the thread that still holds the lock may
    // enter; any other would block for good in PyGILState_Ensure.
    return Py_IsInitialized() && (!Py_IsFinalizing() || PyGILState_Check());
}

static void owner_call_free(MimeDataCbOwnerObject *owner) {
    Ref callable = Ref::borrow(owner->free_cb);
    if (!callable)
        return;
    Ref userdata = Ref::borrow(owner->userdata != nullptr ? owner->userdata : Py_None);
    Ref result = Ref::steal(PyObject_CallOneArg(callable.get(), userdata.get()));
    if (!result)
        PyErr_WriteUnraisable(callable.get());
}

// Free callables that libcurl triggers while a setter replaces a part's body
// wait until libcurl has returned and the wrappers are up to date: run inside
// that call, Python code could rewrite or free the very part libcurl is
// working on, or reach a nested MIME libcurl has just freed.  A scope
// collects only during the libcurl call, which runs no Python code, so no
// other thread ever sees it.
class DeferredFreeCalls : Scoped {
  public:
    DeferredFreeCalls() noexcept : outer_(current_) { current_ = this; }
    ~DeferredFreeCalls() { run(); }

    static DeferredFreeCalls *current() { return current_; }

    // Keeps the owner until run(); -1 (nothing kept) if memory ran out.
    int add(MimeDataCbOwnerObject *owner) {
        if (!owners_)
            owners_ = Ref::steal(PyList_New(0));
        if (!owners_ || PyList_Append(owners_.get(), as_object(owner)) != 0) {
            PyErr_Clear();
            return -1;
        }
        return 0;
    }

    // Stops collecting: libcurl has returned.
    void stop() {
        if (current_ == this)
            current_ = outer_;
    }

    // Calls the free callables that waited.
    void run() {
        stop();
        if (done_)
            return;
        done_ = true;
        if (!owners_)
            return;
        PyObject *pending = PyErr_GetRaisedException();
        Ref owners = std::move(owners_);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(owners.get()); ++i)
            owner_call_free(as_owner(PyList_GET_ITEM(owners.get(), i)));
        PyErr_SetRaisedException(pending);
    }

  private:
    static inline DeferredFreeCalls *current_ = nullptr;
    DeferredFreeCalls *outer_;
    Ref owners_;
    bool done_ = false;
};

// Ends one libcurl use of the owner; with `call_free`, the end of the last
// use calls the free callable (once in the owner's life).
static void owner_release_use(MimeDataCbOwnerObject *owner, bool call_free) {
    if (owner->libcurl_refs <= 0) {
        PyErr_SetString(ErrorObject, owner_underflow);
        PyErr_WriteUnraisable(as_object(owner));
        return;
    }
    owner->libcurl_refs -= 1;
    Ref use = Ref::steal(as_object(owner)); // the reference the use held
    if (call_free && owner->libcurl_refs == 0 && !owner->free_called) {
        owner->free_called = 1;
        if (owner->free_cb != nullptr) {
            DeferredFreeCalls *later = DeferredFreeCalls::current();
            if (later == nullptr || later->add(owner) != 0)
                owner_call_free(owner);
        }
    }
}

static void owner_add_use(MimeDataCbOwnerObject *owner) {
    owner->libcurl_refs += 1;
    Py_INCREF(as_object(owner));
}

// Where the exceptions of an owner's callables are kept: with the Curl of
// the part's MIME while its transfer runs (through a multi, libcurl does not
// say which handle reads), else with the operation running on this thread.
static PyObject **owner_kept_slot(MimeDataCbOwnerObject *owner) {
    PyObject *curl = nullptr;
    if (owner->curl_weakref == nullptr || PyWeakref_GetRef(owner->curl_weakref, &curl) <= 0)
        return nullptr;
    Ref keep = Ref::steal(curl);
    auto *easy = reinterpret_cast<CurlObject *>(curl);
    // Running, the Curl is kept alive by its operation.
    return tolvex_get_thread_state(easy) != nullptr ? &easy->callback_exception : nullptr;
}

static constexpr ReadResultMessages mime_read_messages = {
    .too_long = "invalid return value for mime read callback (%ld bytes returned when at most "
                "%ld bytes were wanted)",
    .too_long_text = "invalid return value for mime read callback (%ld bytes returned after ASCII "
                     "encoding when at most %ld bytes were wanted)",
    .bad_int = "mime read callback must return a buffer object, an ASCII-only Unicode string, "
               "READFUNC_ABORT, or READFUNC_PAUSE",
    .bad_type = "mime read callback must return an object supporting the buffer protocol, an "
                "ASCII-only Unicode string, READFUNC_ABORT, or READFUNC_PAUSE",
};

// The shape of the data trampolines: the interpreter entered with the
// calling thread's own state, and `run` given the owner's callable (from
// `field`) and user data; without either, libcurl gets `failure`.
template <typename Answer, typename Run>
static Answer with_owner_callable(void *arg, PyObject *MimeDataCbOwnerObject::*field,
                                  Answer failure, Run &&run) {
    auto *owner = static_cast<MimeDataCbOwnerObject *>(arg);
    if (owner == nullptr || !interpreter_usable())
        return failure;
    GilStateScope gil;
    // An exception an earlier callback left pending must reach the operation
    // that runs the transfer; Python may not be called over it.
    if (owner->*field == nullptr || PyErr_Occurred())
        return failure;
    KeptExceptionScope kept(owner_kept_slot(owner));
    Ref callable = Ref::borrow(owner->*field);
    Ref userdata = Ref::borrow(owner->userdata != nullptr ? owner->userdata : Py_None);
    return run(callable.get(), userdata.get());
}

static size_t mime_read_callback(char *buffer, size_t size, size_t nitems, void *arg) {
    return with_owner_callable(
        arg, &MimeDataCbOwnerObject::read_cb, static_cast<size_t>(CURL_READFUNC_ABORT),
        [&](PyObject *callable, PyObject *userdata) -> size_t {
            size_t wanted;
            if (size == 0 || nitems == 0)
                return CURL_READFUNC_ABORT;
            if (__builtin_mul_overflow(size, nitems, &wanted) || wanted > INT32_MAX) {
                print_error("integer overflow in mime read callback");
                return CURL_READFUNC_ABORT;
            }
            Ref result = call_callable(callable, "(On)", userdata, static_cast<Py_ssize_t>(wanted));
            return read_answer(result.get(), buffer, wanted, mime_read_messages);
        });
}

static int mime_seek_callback(void *arg, curl_off_t offset, int origin) {
    return with_owner_callable(
        arg, &MimeDataCbOwnerObject::seek_cb, CURL_SEEKFUNC_FAIL,
        [&](PyObject *callable, PyObject *userdata) {
            Ref result =
                call_callable(callable, "(OLi)", userdata, static_cast<long long>(offset), origin);
            static constexpr RangeMessages messages = {
                .bad_value = "invalid return value for mime seek callback %S not in (0, 1, 2)",
                .bad_type = "mime seek callback must return 0 (SEEKFUNC_OK), 1 (SEEKFUNC_FAIL), 2 "
                            "(SEEKFUNC_CANTSEEK) or None",
            };
            return static_cast<int>(ranged_answer(result.get(), CURL_SEEKFUNC_OK,
                                                  CURL_SEEKFUNC_CANTSEEK, CURL_SEEKFUNC_OK,
                                                  CURL_SEEKFUNC_FAIL, messages));
        });
}

static void mime_free_callback(void *arg) {
    auto *owner = static_cast<MimeDataCbOwnerObject *>(arg);
    if (owner == nullptr || !interpreter_usable())
        return;
    GilStateScope gil;
    // libcurl may free a part while an exception propagates (a MIME dropped
    // by an unwinding frame); the free callable runs beside it.
    PyObject *pending = PyErr_GetRaisedException();
    owner_release_use(owner, true);
    PyErr_SetRaisedException(pending);
}

static int do_mime_data_cb_owner_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = as_owner(op);
    Py_VISIT(self->read_cb);
    Py_VISIT(self->seek_cb);
    Py_VISIT(self->free_cb);
    Py_VISIT(self->userdata);
    return 0;
}

static void owner_release_callables(MimeDataCbOwnerObject *self) {
    clear_field(self->curl_weakref);
    clear_field(self->read_cb);
    clear_field(self->seek_cb);
    clear_field(self->free_cb);
    clear_field(self->userdata);
}

static int do_mime_data_cb_owner_clear(PyObject *op) {
    auto *self = as_owner(op);
    // Still used by libcurl: the structure's owner, collected with it, frees
    // the structure, and the free callable must still be there to be called.
    if (self->libcurl_refs > 0)
        return 0;
    owner_release_callables(self);
    return 0;
}

static void do_mime_data_cb_owner_dealloc(PyObject *op) {
    PyObject_GC_UnTrack(op);
    owner_release_callables(as_owner(op));
    Py_TYPE(op)->tp_free(op);
}

PyTypeObject MimeDataCbOwner_Type =
    module_type({.tp_name = "tolvex._MimeDataCbOwner",
                 .tp_basicsize = sizeof(MimeDataCbOwnerObject),
                 .tp_dealloc = do_mime_data_cb_owner_dealloc,
                 .tp_doc = "Internal owner for curl_mime_data_cb callbacks.",
                 .tp_traverse = do_mime_data_cb_owner_traverse,
                 .tp_clear = do_mime_data_cb_owner_clear});

// ---------------------------------------------------------------------------
// Invalidation and release of a MIME tree.

// How far an invalidation goes.  A MIME closed while it is attached to a part
// of another MIME keeps its structure inside the parent's tree; it keeps the
// lists through which the callback owners of that structure stay reachable,
// so that handle duplication and the collector still find them.
enum class Invalidate { keep_uses, all };

static void curlmime_invalidate_parts(CurlMimeObject *self) {
    if (self->parts == nullptr)
        return;
    // Releases below may run arbitrary Python code (finalizers).
    Ref parts = Ref::borrow(self->parts);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(parts.get(), i));
        if (!is_part(item.get()))
            continue;
        CurlMimePartObject *part = as_part(item.get());
        if (part->mime == self) {
            part->part_handle = nullptr;
            clear_field(part->mime);
        }
        clear_field(part->subparts_mime);
        clear_field(part->data_cb_owner);
    }
}

static void curlmime_invalidate_wrappers(CurlMimeObject *self, Invalidate how) {
    if (self->mime_handle == nullptr && self->curl == nullptr && self->parts == nullptr &&
        self->submimes == nullptr && self->data_cb_owners == nullptr)
        return;
    // No reference to `self` is taken here: deallocation runs this too.
    // Every other caller keeps the MIME alive while its parts let go of it.
    self->mime_handle = nullptr;
    self->owns_handle = 0;
    curlmime_invalidate_parts(self);
    if (self->submimes != nullptr) {
        Ref submimes = Ref::borrow(self->submimes);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(submimes.get()); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(submimes.get(), i));
            if (is_mime(item.get()))
                curlmime_invalidate_wrappers(as_mime(item.get()), how);
        }
    }
    clear_field(self->parts);
    if (how == Invalidate::all) {
        clear_field(self->submimes);
        clear_field(self->data_cb_owners);
    }
    clear_field(self->curl);
}

// Lets go of everything the MIME holds: it stops being its handle's body,
// every wrapper of its tree is invalidated, and libcurl's structure is freed
// if it is this MIME's to free.  Never raises.
static void util_mime_release(CurlMimeObject *self, Invalidate how) {
    curl_mime *handle = self->mime_handle;
    bool frees_tree = self->owns_handle == 1 && handle != nullptr;
    CurlObject *curl = self->curl;
    if (curl != nullptr && curl->mimepost_obj == as_object(self)) {
        if (curl->handle != nullptr &&
            curl_easy_setopt(curl->handle, CURLOPT_MIMEPOST, static_cast<curl_mime *>(nullptr)) !=
                CURLE_OK)
            return;
        clear_field(curl->mimepost_obj);
    }
    curlmime_invalidate_wrappers(self, frees_tree ? Invalidate::all : how);
    if (frees_tree)
        curl_mime_free(handle);
}

// ---------------------------------------------------------------------------
// CurlMime.

static int mime_checks(CurlMimeObject *self, const char *name) {
    if (self->mime_handle == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no mime handle", name);
        return -1;
    }
    if (self->curl == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no curl handle", name);
        return -1;
    }
    return check_curl_state(self->curl, GUARD_OPEN_IDLE, name);
}

static PyObject *util_mime_addpart(CurlMimeObject *self) {
    if (mime_checks(self, "addpart") != 0)
        return nullptr;
    curl_mimepart *handle = curl_mime_addpart(self->mime_handle);
    if (handle == nullptr)
        return PyErr_NoMemory();
    Ref part = Ref::steal(p_CurlMimePart_Type->tp_alloc(p_CurlMimePart_Type, 0));
    if (!part)
        return nullptr;
    CurlMimePartObject *record = as_part(part.get());
    record->part_handle = handle;
    record->mime = as_mime(Py_NewRef(as_object(self)));
    // On failure the libcurl part stays in the structure, empty.
    if (PyList_Append(self->parts, part.get()) != 0)
        return nullptr;
    return part.release();
}

static PyObject *do_mime_new(PyTypeObject *subtype, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("curl"), nullptr};
    PyObject *curl_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!:CurlMime", kwlist, p_Curl_Type, &curl_obj))
        return nullptr;
    auto *curl = reinterpret_cast<CurlObject *>(curl_obj);
    if (check_curl_state(curl, GUARD_OPEN_IDLE, "CurlMime") != 0)
        return nullptr;
    Ref obj = Ref::steal(subtype->tp_alloc(subtype, 0));
    if (!obj)
        return nullptr;
    CurlMimeObject *self = as_mime(obj.get());
    self->owns_handle = 1;
    self->curl = reinterpret_cast<CurlObject *>(Py_NewRef(curl_obj));
    for (PyObject **list : {&self->parts, &self->submimes, &self->data_cb_owners}) {
        *list = PyList_New(0);
        if (*list == nullptr)
            return nullptr;
    }
    self->mime_handle = curl_mime_init(curl->handle);
    if (self->mime_handle == nullptr)
        return PyErr_NoMemory();
    return obj.release();
}

static int do_mime_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = as_mime(op);
    Py_VISIT(self->curl);
    Py_VISIT(self->parts);
    Py_VISIT(self->submimes);
    Py_VISIT(self->data_cb_owners);
    // The use libcurl's structure makes of each of these owners holds a
    // reference too; it is this tree's, so the collector may count it here,
    // and cycles through a part's callables (a read method of an object
    // holding the MIME) can be collected.
    if (self->data_cb_owners != nullptr) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self->data_cb_owners); ++i) {
            PyObject *item = PyList_GET_ITEM(self->data_cb_owners, i);
            if (is_owner(item) && as_owner(item)->libcurl_refs > 0)
                Py_VISIT(item);
        }
    }
    return 0;
}

static int do_mime_clear(PyObject *op) {
    util_mime_release(as_mime(op), Invalidate::all);
    return 0;
}

static void do_mime_dealloc(PyObject *op) {
    PyObject_GC_UnTrack(op);
    // Free callables run while libcurl frees the structure; an exception
    // that is propagating waits aside meanwhile.
    PyObject *raised = PyErr_GetRaisedException();
    util_mime_release(as_mime(op), Invalidate::all);
    Py_TYPE(op)->tp_free(op);
    PyErr_SetRaisedException(raised);
}

static PyObject *do_mime_close(PyObject *op, PyObject *) {
    CurlMimeObject *self = as_mime(op);
    CurlObject *curl = self->curl;
    if (curl != nullptr && check_curl_state(curl, GUARD_IDLE, "close") != 0)
        return nullptr;
    if (curl != nullptr && curl->mimepost_obj == op) {
        if (curl->handle != nullptr) {
            CURLcode res =
                curl_easy_setopt(curl->handle, CURLOPT_MIMEPOST, static_cast<curl_mime *>(nullptr));
            if (res != CURLE_OK) {
                raise_curl_error(curl, res);
                return nullptr;
            }
        }
        clear_field(curl->mimepost_obj);
    }
    util_mime_release(self, Invalidate::keep_uses);
    Py_RETURN_NONE;
}

static PyObject *do_mime_addpart(PyObject *op, PyObject *) {
    return util_mime_addpart(as_mime(op));
}

static PyObject *do_mime_enter(PyObject *op, PyObject *) {
    if (mime_checks(as_mime(op), "__enter__") != 0)
        return nullptr;
    return Py_NewRef(op);
}

static PyObject *do_mime_exit(PyObject *op, PyObject *args) {
    PyObject *type, *value, *traceback;
    if (!PyArg_ParseTuple(args, "OOO:__exit__", &type, &value, &traceback))
        return nullptr;
    return do_mime_close(op, nullptr);
}

static PyObject *do_mime_get_closed(PyObject *op, void *) {
    return PyBool_FromLong(as_mime(op)->mime_handle == nullptr);
}

// ---------------------------------------------------------------------------
// CurlMimePart setters.

// The checks every setter makes; the part's MIME, or null with the refusal.
static CurlMimeObject *part_checks(CurlMimePartObject *self, const char *name) {
    CurlMimeObject *mime = self->mime;
    if (mime == nullptr || mime->mime_handle == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no mime handle", name);
        return nullptr;
    }
    if (self->part_handle == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no mime part", name);
        return nullptr;
    }
    if (mime->curl == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no curl handle", name);
        return nullptr;
    }
    if (check_curl_state(mime->curl, GUARD_OPEN_IDLE, name) != 0)
        return nullptr;
    return mime;
}

// libcurl has freed the part's body: the callback owner and the nested MIME
// that made it are no longer used by this part.
static void part_drop_body(CurlMimePartObject *self) {
    if (self->data_cb_owner != nullptr) {
        if (self->mime != nullptr)
            list_remove(self->mime->data_cb_owners, self->data_cb_owner);
        clear_field(self->data_cb_owner);
    }
    if (self->subparts_mime != nullptr) {
        Ref child = Ref::steal(as_object(std::exchange(self->subparts_mime, nullptr)));
        if (self->mime != nullptr)
            list_remove(self->mime->submimes, child.get());
        curlmime_invalidate_wrappers(as_mime(child.get()), Invalidate::all);
    }
}

// Runs one libcurl call that replaces a part's body.  libcurl frees the old
// body before anything else, whatever the call's outcome, so the old body's
// owner and nested MIME are let go in every case; `install` then records the
// new body, and only then do the free callables run.
template <typename Call, typename Install>
static CURLcode part_replace_body(CurlMimePartObject *self, Call call, Install install) {
    DeferredFreeCalls frees;
    CURLcode res = call(self->part_handle);
    frees.stop();
    part_drop_body(self);
    install(res);
    frees.run();
    return res;
}

static void no_install(CURLcode) {}

struct TextSetter {
    const char *name;
    CURLcode (*set)(curl_mimepart *, const char *);
    bool replaces_body;
    const char *doc;
};

static PyObject *part_set_text(CurlMimePartObject *self, PyObject *value,
                               const TextSetter &setter) {
    CurlMimeObject *mime = part_checks(self, setter.name);
    if (mime == nullptr)
        return nullptr;
    Ref keeper;
    const char *text = mime_text(value, setter.name, keeper);
    if (text == nullptr)
        return nullptr;
    Ref keep_mime = Ref::borrow(as_object(mime));
    CURLcode res;
    if (setter.replaces_body)
        res = part_replace_body(
            self, [&](curl_mimepart *part) { return setter.set(part, text); }, no_install);
    else
        res = setter.set(self->part_handle, text);
    if (res != CURLE_OK)
        return raise_mime_error(mime, res);
    Py_RETURN_NONE;
}

static constexpr TextSetter setter_name{"name", curl_mime_name, false,
                                        "Set the name of this MIME part."};
static constexpr TextSetter setter_filedata{"filedata", curl_mime_filedata, true,
                                            "Set on-disk file data for this MIME part."};
static constexpr TextSetter setter_filename{"filename", curl_mime_filename, false,
                                            "Set the remote filename for this MIME part."};
static constexpr TextSetter setter_type{"type", curl_mime_type, false,
                                        "Set content type for this MIME part."};
static constexpr TextSetter setter_encoder{"encoder", curl_mime_encoder, false,
                                           "Set content transfer encoding for this MIME part."};

template <const TextSetter &S>
static PyObject *do_mimepart_text(PyObject *op, PyObject *value) {
    return part_set_text(as_part(op), value, S);
}

static PyObject *do_mimepart_data(PyObject *op, PyObject *value) {
    CurlMimePartObject *self = as_part(op);
    if (part_checks(self, "data") == nullptr)
        return nullptr;
    DataArg data;
    if (mime_data_arg(value, data) != 0)
        return nullptr;
    // A buffer exporter written in Python may have closed or used something.
    CurlMimeObject *mime = part_checks(self, "data");
    if (mime == nullptr)
        return nullptr;
    Ref keep_mime = Ref::borrow(as_object(mime));
    CURLcode res = part_replace_body(
        self, [&](curl_mimepart *part) { return curl_mime_data(part, data.data, data.size); },
        no_install);
    if (res != CURLE_OK)
        return raise_mime_error(mime, res);
    Py_RETURN_NONE;
}

static PyObject *do_mimepart_headers(PyObject *op, PyObject *value) {
    CurlMimePartObject *self = as_part(op);
    CurlMimeObject *mime = part_checks(self, "headers");
    if (mime == nullptr)
        return nullptr;
    SlistPtr list;
    if (mime_headers_arg(value, list) != 0)
        return nullptr;
    CURLcode res = curl_mime_headers(self->part_handle, list.get(), 1);
    if (res != CURLE_OK)
        return raise_mime_error(mime, res);
    (void)list.release(); // libcurl owns it now
    Py_RETURN_NONE;
}

static PyObject *do_mimepart_subparts(PyObject *op, PyObject *value) {
    CurlMimePartObject *self = as_part(op);
    if (!is_mime(value)) {
        PyErr_SetString(PyExc_TypeError, "subparts() expects a CurlMime object");
        return nullptr;
    }
    CurlMimeObject *mime = part_checks(self, "subparts");
    if (mime == nullptr)
        return nullptr;
    CurlMimeObject *child = as_mime(value);
    const char *refusal = nullptr;
    if (child->mime_handle == nullptr)
        refusal = "subparts() received a closed mime object";
    else if (child->curl != mime->curl)
        refusal = "subparts() requires both mime objects to use the same Curl handle";
    else if (child == mime)
        refusal = "subparts() does not accept the parent mime object";
    else if (child->owns_handle != 1)
        refusal = "subparts() received a mime object already attached as subparts";
    else if (child->curl->mimepost_obj == value)
        refusal = "subparts() received a mime object currently set as MIMEPOST";
    if (refusal != nullptr) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return nullptr;
    }
    if (mime->submimes == nullptr) {
        PyErr_SetString(ErrorObject, "subparts() cannot attach to a closed mime object");
        return nullptr;
    }
    Ref keep_mime = Ref::borrow(as_object(mime));
    Ref keep_child = Ref::borrow(value);
    if (PyList_Append(mime->submimes, value) != 0)
        return nullptr;
    CURLcode res = part_replace_body(
        self, [&](curl_mimepart *part) { return curl_mime_subparts(part, child->mime_handle); },
        [&](CURLcode r) {
            if (r != CURLE_OK) {
                list_remove(mime->submimes, value);
                return;
            }
            // libcurl frees the child's structure with the parent's now.
            child->owns_handle = 0;
            replace_field(self->subparts_mime, child);
        });
    if (res != CURLE_OK)
        return raise_mime_error(mime, res);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Callback-based data.

static PyObject *do_mimepart_data_cb(PyObject *op, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("datasize"), const_cast<char *>("read"),
                             const_cast<char *>("seek"),     const_cast<char *>("free"),
                             const_cast<char *>("userdata"), nullptr};
    PyObject *datasize_obj, *read, *seek = Py_None, *free = Py_None, *userdata = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OOO:data_cb", kwlist, &datasize_obj, &read,
                                     &seek, &free, &userdata))
        return nullptr;
    CurlMimePartObject *self = as_part(op);
    if (part_checks(self, "data_cb") == nullptr)
        return nullptr;
    curl_off_t datasize = -1;
    if (datasize_obj != Py_None) {
        long long value = PyLong_AsLongLong(datasize_obj);
        if (value == -1 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "datasize must be an integer >= -1 or None");
            }
            return nullptr;
        }
        if (value < -1) {
            PyErr_SetString(PyExc_ValueError, "datasize must be >= -1");
            return nullptr;
        }
        datasize = static_cast<curl_off_t>(value);
    }
    if (!PyCallable_Check(read)) {
        PyErr_SetString(PyExc_TypeError, "read must be callable");
        return nullptr;
    }
    if (seek != Py_None && !PyCallable_Check(seek)) {
        PyErr_SetString(PyExc_TypeError, "seek must be callable or None");
        return nullptr;
    }
    if (free != Py_None && !PyCallable_Check(free)) {
        PyErr_SetString(PyExc_TypeError, "free must be callable or None");
        return nullptr;
    }
    // The size's __index__ may have run Python code.
    CurlMimeObject *mime = part_checks(self, "data_cb");
    if (mime == nullptr)
        return nullptr;
    if (mime->data_cb_owners == nullptr) {
        PyErr_SetString(ErrorObject, "data_cb() cannot attach to a closed mime object");
        return nullptr;
    }
    if (!(MimeDataCbOwner_Type.tp_flags & Py_TPFLAGS_READY)) {
        Py_SET_TYPE(&MimeDataCbOwner_Type, &PyType_Type);
        if (PyType_Ready(&MimeDataCbOwner_Type) != 0)
            return nullptr;
    }
    Ref owner_obj = Ref::steal(MimeDataCbOwner_Type.tp_alloc(&MimeDataCbOwner_Type, 0));
    if (!owner_obj)
        return nullptr;
    MimeDataCbOwnerObject *owner = as_owner(owner_obj.get());
    owner->read_cb = Py_NewRef(read);
    owner->seek_cb = seek != Py_None ? Py_NewRef(seek) : nullptr;
    owner->free_cb = free != Py_None ? Py_NewRef(free) : nullptr;
    owner->userdata = Py_NewRef(userdata);
    if (mime->curl != nullptr) {
        owner->curl_weakref = PyWeakref_NewRef(as_object(mime->curl), nullptr);
        if (owner->curl_weakref == nullptr)
            return nullptr;
    }
    Ref keep_mime = Ref::borrow(as_object(mime));
    if (PyList_Append(mime->data_cb_owners, owner_obj.get()) != 0)
        return nullptr;
    owner_add_use(owner);
    CURLcode res = part_replace_body(
        self,
        [&](curl_mimepart *part) {
            return curl_mime_data_cb(part, datasize, mime_read_callback,
                                     owner->seek_cb != nullptr ? mime_seek_callback : nullptr,
                                     mime_free_callback, owner);
        },
        [&](CURLcode r) {
            if (r == CURLE_OK) {
                replace_field(self->data_cb_owner, owner_obj.get());
                return;
            }
            list_remove(mime->data_cb_owners, owner_obj.get());
            owner_release_use(owner, false);
        });
    if (res != CURLE_OK)
        return raise_mime_error(mime, res);
    Py_RETURN_NONE;
}

static void curlmime_duphandle_incref_data_cb_owners_recursive(CurlMimeObject *mime) {
    if (mime->data_cb_owners != nullptr) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mime->data_cb_owners); ++i) {
            PyObject *item = PyList_GET_ITEM(mime->data_cb_owners, i);
            if (is_owner(item))
                owner_add_use(as_owner(item));
        }
    }
    if (mime->submimes != nullptr) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mime->submimes); ++i) {
            PyObject *item = PyList_GET_ITEM(mime->submimes, i);
            if (is_mime(item))
                curlmime_duphandle_incref_data_cb_owners_recursive(as_mime(item));
        }
    }
}

void curlmime_duphandle_incref_data_cb_owners(CurlMimeObject *mime) {
    if (is_mime(as_object(mime)))
        curlmime_duphandle_incref_data_cb_owners_recursive(mime);
}

// ---------------------------------------------------------------------------
// Keyword builders.

// The values a builder applies to a new part; null for those not given.
struct PartValues {
    PyObject *name;
    PyObject *data;
    PyObject *file;
    PyObject *filename;
    PyObject *content_type;
    PyObject *headers;
    PyObject *encoder;
};

static int check_text(PyObject *value, const char *what) {
    if (value == nullptr)
        return 0;
    Ref keeper;
    return mime_text(value, what, keeper) != nullptr ? 0 : -1;
}

// Everything a builder would refuse, refused before a part is created.
static int validate_part_values(CurlMimeObject *self, PartValues &v) {
    for (PyObject **value :
         {&v.name, &v.data, &v.file, &v.filename, &v.content_type, &v.headers, &v.encoder})
        if (*value == Py_None)
            *value = nullptr;
    if (v.data != nullptr && v.file != nullptr) {
        PyErr_SetString(PyExc_ValueError, "add() accepts at most one of data or file");
        return -1;
    }
    if (check_text(v.name, "name") != 0)
        return -1;
    if (v.data != nullptr) {
        DataArg data;
        if (mime_data_arg(v.data, data) != 0)
            return -1;
    }
    if (v.file != nullptr) {
        Ref keeper;
        const char *path = mime_text(v.file, "file", keeper);
        if (path == nullptr)
            return -1;
        std::FILE *f = std::fopen(path, "rb");
        if (f == nullptr) {
            raise_mime_error(self, CURLE_READ_ERROR);
            return -1;
        }
        std::fclose(f);
    }
    if (check_text(v.filename, "filename") != 0 || check_text(v.content_type, "content_type") != 0)
        return -1;
    if (v.headers != nullptr) {
        SlistPtr list;
        if (mime_headers_arg(v.headers, list) != 0)
            return -1;
    }
    return check_text(v.encoder, "encoder");
}

// Calls one setter of the part; false with its error set.
static bool applied(PyObject *result) {
    Py_XDECREF(result);
    return result != nullptr;
}

static PyObject *util_mime_build_part(CurlMimeObject *self, PartValues v) {
    if (validate_part_values(self, v) != 0)
        return nullptr;
    Ref part = Ref::steal(util_mime_addpart(self));
    if (!part)
        return nullptr;
    CurlMimePartObject *p = as_part(part.get());
    // A failing setter leaves the part in the MIME as far as it was set.
    if (v.name != nullptr && !applied(part_set_text(p, v.name, setter_name)))
        return nullptr;
    if (v.data != nullptr && !applied(do_mimepart_data(part.get(), v.data)))
        return nullptr;
    if (v.file != nullptr && !applied(part_set_text(p, v.file, setter_filedata)))
        return nullptr;
    if (v.filename != nullptr && !applied(part_set_text(p, v.filename, setter_filename)))
        return nullptr;
    if (v.content_type != nullptr && !applied(part_set_text(p, v.content_type, setter_type)))
        return nullptr;
    if (v.headers != nullptr && !applied(do_mimepart_headers(part.get(), v.headers)))
        return nullptr;
    if (v.encoder != nullptr && !applied(part_set_text(p, v.encoder, setter_encoder)))
        return nullptr;
    return part.release();
}

static PyObject *do_mime_add(PyObject *op, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("name"),         const_cast<char *>("data"),
                             const_cast<char *>("file"),         const_cast<char *>("filename"),
                             const_cast<char *>("content_type"), const_cast<char *>("headers"),
                             const_cast<char *>("encoder"),      nullptr};
    PartValues v{};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOOOO:add", kwlist, &v.name, &v.data, &v.file,
                                     &v.filename, &v.content_type, &v.headers, &v.encoder))
        return nullptr;
    return util_mime_build_part(as_mime(op), v);
}

static PyObject *do_mime_add_field(PyObject *op, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("name"),         const_cast<char *>("value"),
                             const_cast<char *>("content_type"), const_cast<char *>("encoder"),
                             const_cast<char *>("headers"),      nullptr};
    PartValues v{};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OOO:add_field", kwlist, &v.name, &v.data,
                                     &v.content_type, &v.encoder, &v.headers))
        return nullptr;
    return util_mime_build_part(as_mime(op), v);
}

static PyObject *do_mime_add_file(PyObject *op, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("name"),
                             const_cast<char *>("path"),
                             const_cast<char *>("filename"),
                             const_cast<char *>("content_type"),
                             const_cast<char *>("headers"),
                             const_cast<char *>("encoder"),
                             nullptr};
    PartValues v{};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OOOO:add_file", kwlist, &v.name, &v.file,
                                     &v.filename, &v.content_type, &v.headers, &v.encoder))
        return nullptr;
    return util_mime_build_part(as_mime(op), v);
}

static PyObject *do_mime_add_multipart(PyObject *op, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("name"), const_cast<char *>("subtype"), nullptr};
    PyObject *name = nullptr, *subtype = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:add_multipart", kwlist, &name, &subtype))
        return nullptr;
    CurlMimeObject *self = as_mime(op);
    if (name == Py_None)
        name = nullptr;
    if (check_text(name, "name") != 0)
        return nullptr;
    // No subtype given: mixed; an explicit None: no content type at all.
    Ref content_type;
    if (subtype != Py_None) {
        const char *text = "mixed";
        Ref keeper;
        if (subtype != nullptr && (text = mime_text(subtype, "subtype", keeper)) == nullptr)
            return nullptr;
        content_type = Ref::steal(PyBytes_FromFormat("multipart/%s", text));
        if (!content_type)
            return nullptr;
    }
    // A closed MIME has no handle to create the child for.
    if (self->mime_handle == nullptr || self->curl == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - %s", "add_multipart",
                     self->mime_handle == nullptr ? "no mime handle" : "no curl handle");
        return nullptr;
    }
    Ref child = Ref::steal(PyObject_CallOneArg(as_object(p_CurlMime_Type), as_object(self->curl)));
    if (!child)
        return nullptr;
    Ref part = Ref::steal(util_mime_addpart(self));
    if (!part)
        return nullptr;
    if (name != nullptr && !applied(part_set_text(as_part(part.get()), name, setter_name)))
        return nullptr;
    if (!applied(do_mimepart_subparts(part.get(), child.get())))
        return nullptr;
    if (content_type &&
        !applied(part_set_text(as_part(part.get()), content_type.get(), setter_type)))
        return nullptr;
    return child.release();
}

// ---------------------------------------------------------------------------
// The types.

static PyMethodDef curlmimeobject_methods[] = {
    {"add", as_cfunction(do_mime_add), METH_VARARGS | METH_KEYWORDS,
     "Add a part using a keyword-oriented builder API."},
    {"add_field", as_cfunction(do_mime_add_field), METH_VARARGS | METH_KEYWORDS,
     "Add a simple form field part."},
    {"add_file", as_cfunction(do_mime_add_file), METH_VARARGS | METH_KEYWORDS,
     "Add a file upload part."},
    {"add_multipart", as_cfunction(do_mime_add_multipart), METH_VARARGS | METH_KEYWORDS,
     "Add and attach a nested multipart CurlMime."},
    {"close", do_mime_close, METH_NOARGS, "Release the underlying curl_mime handle."},
    {"addpart", do_mime_addpart, METH_NOARGS, "Create and return a new MIME part."},
    {"__enter__", do_mime_enter, METH_NOARGS, nullptr},
    {"__exit__", do_mime_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef curlmimeobject_getsets[] = {
    {"closed", do_mime_get_closed, nullptr, "Whether this CurlMime object is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject CurlMime_Type = module_type({
    .tp_name = "tolvex.CurlMime",
    .tp_basicsize = sizeof(CurlMimeObject),
    .tp_dealloc = do_mime_dealloc,
    .tp_flags = Py_TPFLAGS_BASETYPE,
    .tp_doc = "Python wrapper for libcurl MIME API.",
    .tp_traverse = do_mime_traverse,
    .tp_clear = do_mime_clear,
    .tp_methods = curlmimeobject_methods,
    .tp_getset = curlmimeobject_getsets,
    .tp_new = do_mime_new,
});

static int do_mimepart_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = as_part(op);
    Py_VISIT(self->mime);
    Py_VISIT(self->data_cb_owner);
    Py_VISIT(self->subparts_mime);
    return 0;
}

static int do_mimepart_clear(PyObject *op) {
    auto *self = as_part(op);
    clear_field(self->data_cb_owner);
    clear_field(self->subparts_mime);
    clear_field(self->mime);
    self->part_handle = nullptr;
    return 0;
}

static void do_mimepart_dealloc(PyObject *op) {
    PyObject_GC_UnTrack(op);
    do_mimepart_clear(op);
    Py_TYPE(op)->tp_free(op);
}

static PyMethodDef curlmimepartobject_methods[] = {
    {setter_name.name, do_mimepart_text<setter_name>, METH_O, setter_name.doc},
    {"data", do_mimepart_data, METH_O, "Set in-memory data for this MIME part."},
    {"data_cb", as_cfunction(do_mimepart_data_cb), METH_VARARGS | METH_KEYWORDS,
     "Set callback-based data for this MIME part."},
    {setter_filedata.name, do_mimepart_text<setter_filedata>, METH_O, setter_filedata.doc},
    {setter_filename.name, do_mimepart_text<setter_filename>, METH_O, setter_filename.doc},
    {setter_type.name, do_mimepart_text<setter_type>, METH_O, setter_type.doc},
    {setter_encoder.name, do_mimepart_text<setter_encoder>, METH_O, setter_encoder.doc},
    {"headers", do_mimepart_headers, METH_O, "Set custom headers for this MIME part."},
    {"subparts", do_mimepart_subparts, METH_O, "Attach a child CurlMime object as multipart data."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject CurlMimePart_Type =
    module_type({.tp_name = "tolvex.CurlMimePart",
                 .tp_basicsize = sizeof(CurlMimePartObject),
                 .tp_dealloc = do_mimepart_dealloc,
                 .tp_flags = Py_TPFLAGS_BASETYPE,
                 .tp_doc = "A MIME part belonging to a CurlMime object.",
                 .tp_traverse = do_mimepart_traverse,
                 .tp_clear = do_mimepart_clear,
                 .tp_methods = curlmimepartobject_methods});
