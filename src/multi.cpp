// The CurlMulti object: one libcurl multi handle, its member Curl objects,
// the polling and event-driven drives, multi options and the socket, timer
// and notification callbacks.
#include "tolvex.h"

#include <poll.h>
#include <sys/select.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

// ---------------------------------------------------------------------------
// The callback options.

static int multi_socket_callback(CURL *, curl_socket_t s, int what, void *userp, void *socketp);
static int multi_timer_callback(CURLM *, long timeout_ms, void *userp);
static void multi_notify_callback(CURLM *, unsigned int notification, CURL *easy, void *userp);
static int multi_push_callback(CURL *parent, CURL *easy, size_t num_headers,
                               curl_pushheaders *headers, void *userp);

// Sets a multi's function option to an entry point, or to null.
template <auto EntryPoint>
static CURLMcode install_multi_entry_point(CURLM *multi, CURLMoption option, bool on) {
    return curl_multi_setopt(multi, option, on ? EntryPoint : nullptr);
}

// The callback options: libcurl's function and data options, the field
// that owns the callable, the installer of the entry point, the warning
// issued when the entry point cannot reach Python, and whether the callable
// runs even after another callable's exception in the same libcurl call:
// the socket, timer and notify callables keep the program's picture of
// libcurl's sockets, timeout and transfers, which a skipped call would leave
// wrong for good.
struct MultiCallbackOption {
    CURLMoption function_option;
    CURLMoption data_option;
    PyObject *CurlMultiObject::*field;
    CURLMcode (*install)(CURLM *multi, CURLMoption option, bool on);
    const char *warning;
    bool despite_pending;
};

static constexpr MultiCallbackOption multi_callback_options[] = {
    {CURLMOPT_SOCKETFUNCTION, CURLMOPT_SOCKETDATA, &CurlMultiObject::socket_callable,
     install_multi_entry_point<multi_socket_callback>,
     "multi_socket_callback failed to acquire thread", true},
    {CURLMOPT_TIMERFUNCTION, CURLMOPT_TIMERDATA, &CurlMultiObject::timer_callable,
     install_multi_entry_point<multi_timer_callback>,
     "multi_timer_callback failed to acquire thread", true},
    {CURLMOPT_NOTIFYFUNCTION, CURLMOPT_NOTIFYDATA, &CurlMultiObject::notify_callable,
     install_multi_entry_point<multi_notify_callback>,
     "multi_notify_callback failed to acquire thread", true},
    {CURLMOPT_PUSHFUNCTION, CURLMOPT_PUSHDATA, &CurlMultiObject::push_callable,
     install_multi_entry_point<multi_push_callback>, "multi_push_callback failed to acquire thread",
     false},
};

static constexpr const MultiCallbackOption *multi_callback_option(int option) {
    for (const MultiCallbackOption &row : multi_callback_options)
        if (row.function_option == option)
            return &row;
    return nullptr;
}

// The row of an entry point, resolved at compile time.
static consteval const MultiCallbackOption &multi_row(CURLMoption function_option) {
    return *multi_callback_option(function_option);
}

// ---------------------------------------------------------------------------
// Guards and errors.

void assert_multi_state(const CurlMultiObject *self) {
    TOLVEX_ASSERT_MSG(self != nullptr, "self != NULL");
    TOLVEX_ASSERT_MSG(is_multi(reinterpret_cast<PyObject *>(const_cast<CurlMultiObject *>(self))),
                      "PyObject_IsInstance((PyObject *) self, (PyObject *) p_CurlMulti_Type) == 1");
    if (self->state != nullptr)
        TOLVEX_ASSERT_MSG(self->multi_handle != nullptr, "self->multi_handle != NULL");
}

int check_multi_state(const CurlMultiObject *self, int flags, const char *name) {
    assert_multi_state(self);
    if ((flags & GUARD_OPEN) && self->multi_handle == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no multi handle", name);
        return -1;
    }
    if (((flags & GUARD_IDLE) && self->state != nullptr) ||
        ((flags & GUARD_NOT_ELSEWHERE) && self->state != nullptr &&
         self->state != PyThreadState_Get())) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - multi_perform() is currently running",
                     name);
        return -1;
    }
    return 0;
}

PyObject *raise_multi_error(CurlMultiObject *self, int code, const char *text) {
    raise_error(code, text);
    chain_kept_exception(self->callback_exception);
    return nullptr;
}

// Raises tolvex.error (code, "NAME failed").
static PyObject *raise_failed(CURLMcode res, const char *name) {
    char message[64];
    std::snprintf(message, sizeof(message), "%s failed", name);
    return raise_error(res, message);
}

// An exception that a callback left pending during a libcurl call that
// changes membership (one that is not an Exception: those are printed).  It
// is set aside while the bookkeeping finishes and then raised, so it wins
// over the call's own result.
class PendingException : Scoped {
  public:
    PendingException() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~PendingException() { Py_XDECREF(exc_); }
    // Raises the set-aside exception, if any, in place of whatever is set;
    // true when it did.
    bool raise() noexcept {
        if (exc_ == nullptr)
            return false;
        PyErr_Clear();
        PyErr_SetRaisedException(std::exchange(exc_, nullptr));
        return true;
    }

  private:
    PyObject *exc_;
};

// ---------------------------------------------------------------------------
// Detaching members and closing.

// Clears a member's links to this multi and takes it out of the member set,
// once libcurl has let go of its handle.  An exception that a callback left
// pending stays pending.
static void util_multi_forget_easy(CurlMultiObject *self, CurlObject *easy) {
    easy->multi_stack = nullptr;
    clear_field(easy->multi_weakref);
    // A dying member is no longer in the set (the set would have kept it
    // alive), and hashing it could hand it to Python code.
    if (self->easy_set == nullptr || Py_REFCNT(easy) <= 0)
        return;
    Ref keep = Ref::borrow(reinterpret_cast<PyObject *>(easy));
    PyObject *exc = PyErr_GetRaisedException();
    if (PySet_Discard(self->easy_set, keep.get()) < 0)
        PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

void util_multi_detach_easy(CurlMultiObject *self, CurlObject *easy) {
    TOLVEX_ASSERT_MSG(easy->multi_stack == self, "easy->multi_stack == self");
    if (self->multi_handle != nullptr && easy->handle != nullptr) {
        ReleaseGil unlocked(self->state, "self->state != NULL");
        curl_multi_remove_handle(self->multi_handle, easy->handle);
    }
    util_multi_forget_easy(self, easy);
}

// The members libcurl holds, found through the handles' private pointers
// rather than through the member set: the garbage collector may have
// emptied the set while the members still point here.  A member whose last
// reference is gone is being deallocated further up the stack; it is listed
// without a reference, and stays valid until this call returns.
class MemberSnapshot {
  public:
    // False with MemoryError set when the list cannot be made.
    bool take(CurlMultiObject *self) {
        CURL **handles = curl_multi_get_handles(self->multi_handle);
        if (handles == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        Py_ssize_t n = 0;
        while (handles[n] != nullptr)
            ++n;
        easies_.reset(new (std::nothrow) CurlObject *[n ? n : 1]);
        refs_.reset(new (std::nothrow) Ref[n ? n : 1]);
        if (!easies_ || !refs_) {
            curl_free(handles);
            PyErr_NoMemory();
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            char *private_ptr = nullptr;
            curl_easy_getinfo(handles[i], CURLINFO_PRIVATE, &private_ptr);
            auto *easy = reinterpret_cast<CurlObject *>(private_ptr);
            TOLVEX_ASSERT_MSG(is_curl(reinterpret_cast<PyObject *>(easy)) &&
                                  easy->multi_stack == self,
                              "member handle without its Curl object");
            easies_[i] = easy;
            if (Py_REFCNT(easy) > 0)
                refs_[i] = Ref::borrow(reinterpret_cast<PyObject *>(easy));
        }
        size_ = n;
        curl_free(handles);
        return true;
    }
    Py_ssize_t size() const { return size_; }
    CurlObject *easy(Py_ssize_t i) const { return easies_[i]; }
    // The member's reference, or null for a dying member.
    PyObject *object(Py_ssize_t i) const { return refs_[i].get(); }

  private:
    std::unique_ptr<CurlObject *[]> easies_;
    std::unique_ptr<Ref[]> refs_;
    Py_ssize_t size_ = 0;
};

// Detaches every member.  An exception that a callback leaves pending while
// libcurl lets go of a member is set aside, so that no Python code runs with
// it set, and is raised at the end in place of any other.
static int util_multi_detach_easies(CurlMultiObject *self, bool close_members, bool ignore_errors) {
    Ref pending;
    auto finish = [&pending](int rv) {
        if (pending) {
            PyErr_Clear();
            PyErr_SetRaisedException(pending.release());
            return -1;
        }
        return rv;
    };
    // Code run while members are detached or closed may add new ones, which
    // a walk has not seen: walk again until a walk finds nothing to detach.
    for (bool detached = self->multi_handle != nullptr; detached;) {
        detached = false;
        MemberSnapshot members;
        if (!members.take(self))
            return finish(-1);
        for (Py_ssize_t i = 0; i < members.size(); ++i) {
            CurlObject *easy = members.easy(i);
            // Closed or detached by code that ran during this walk.
            if (easy->multi_stack != self)
                continue;
            detached = true;
            util_multi_detach_easy(self, easy);
            if (PyErr_Occurred()) {
                PyObject *exc = PyErr_GetRaisedException();
                if (pending)
                    Py_DECREF(exc);
                else
                    pending = Ref::steal(exc);
            }
            if (close_members && members.object(i) != nullptr) {
                Ref result = Ref::steal(PyObject_CallMethod(members.object(i), "close", nullptr));
                if (!result) {
                    if (!ignore_errors)
                        return finish(-1);
                    PyErr_Clear();
                }
            }
        }
    }
    clear_field(self->easy_set);
    return finish(0);
}

static void util_multi_close(CurlMultiObject *self) {
    self->state = nullptr;
    if (self->multi_handle != nullptr) {
        {
            ReleaseGil unlocked(self->state, "self->state != NULL");
            curl_multi_cleanup(self->multi_handle);
        }
        self->multi_handle = nullptr;
        // No pooled connection is left to close a socket through these.
        socket_closer_release_all(self->socket_closers);
        // libcurl has removed its sockets from the event source.
        multi_events_stop(self);
    }
}

// ---------------------------------------------------------------------------
// Type slots.

static PyObject *do_multi_new(PyTypeObject *subtype, PyObject *args, PyObject *kwds) {
    int close_handles = 0;
    Ref obj = new_with_flag(subtype, p_CurlMulti_Type, args, kwds, "close_handles", close_handles);
    if (!obj)
        return nullptr;
    auto *self = reinterpret_cast<CurlMultiObject *>(obj.get());
    self->events = MultiEvents{};
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

// The callables go first when the multi is cleared or dies: libcurl may
// call the socket callback while the members are removed, and no Python
// code may receive a dying multi.
static void multi_release_callables(CurlMultiObject *self) {
    for (const MultiCallbackOption &row : multi_callback_options)
        clear_field(self->*row.field);
}

static int do_multi_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<CurlMultiObject *>(op);
    Py_VISIT(self->dict);
    Py_VISIT(self->easy_set);
    Py_VISIT(self->assigned_objects);
    for (const MultiCallbackOption &row : multi_callback_options)
        Py_VISIT(self->*row.field);
    Py_VISIT(self->callback_exception);
    return 0;
}

static int do_multi_clear(PyObject *op) {
    auto *self = reinterpret_cast<CurlMultiObject *>(op);
    clear_field(self->dict);
    multi_release_callables(self);
    clear_field(self->assigned_objects);
    clear_field(self->callback_exception);
    return 0;
}

static void do_multi_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<CurlMultiObject *>(op);
    PyObject_GC_UnTrack(op);
    // The object may die while an exception propagates; it waits aside while
    // libcurl lets go of the members.
    PyObject *raised = PyErr_GetRaisedException();
    multi_release_callables(self);
    if (util_multi_detach_easies(self, false, true) != 0)
        PyErr_WriteUnraisable(nullptr);
    do_multi_clear(op);
    util_multi_close(self);
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(op);
    Py_TYPE(op)->tp_free(op);
    // Left by a member's callback during the removal.
    if (PyErr_Occurred())
        PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(raised);
}

static constexpr char type_name[] = "CurlMulti";
using MultiPlumbing =
    HandlePlumbing<CurlMultiObject, &curlmultiobject_constants, assert_multi_state, type_name>;

// ---------------------------------------------------------------------------
// Closing, the context manager and pickling.

static PyObject *do_multi_close(CurlMultiObject *self, PyObject *) {
    if (check_multi_state(self, GUARD_IDLE, "close") != 0)
        return nullptr;
    // A member's failing close leaves the multi open with the members not yet
    // reached; an exception left by a callback lets the close finish first.
    if (util_multi_detach_easies(self, self->close_handles != 0, false) != 0 &&
        self->easy_set != nullptr)
        return nullptr;
    PendingException pending;
    util_multi_close(self);
    // Emptied only now: libcurl may pass the assigned objects to the socket
    // callable while it cleans up.
    if (self->assigned_objects != nullptr)
        PyDict_Clear(self->assigned_objects);
    if (pending.raise() || PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
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

static PyObject *do_multi_get_closed(PyObject *op, void *) {
    return PyBool_FromLong(reinterpret_cast<CurlMultiObject *>(op)->multi_handle == nullptr);
}

// ---------------------------------------------------------------------------
// Membership.

// The Curl argument of add_handle and remove_handle (`format` parses it),
// checked with the multi for a change of membership; null with an
// exception set.
static CurlObject *membership_arg(CurlMultiObject *self, PyObject *args, const char *format) {
    PyObject *arg;
    if (!PyArg_ParseTuple(args, format, p_Curl_Type, &arg))
        return nullptr;
    auto *obj = reinterpret_cast<CurlObject *>(arg);
    assert_multi_state(self);
    if (self->state != nullptr) {
        PyErr_SetString(ErrorObject, "cannot add/remove handle - multi_perform() already running");
        return nullptr;
    }
    if (self->multi_handle == nullptr) {
        PyErr_SetString(ErrorObject, "cannot add/remove handle - multi-stack is closed");
        return nullptr;
    }
    assert_curl_state(obj);
    if (obj->state != nullptr) {
        PyErr_SetString(ErrorObject,
                        "cannot add/remove handle - perform() of curl object already running");
        return nullptr;
    }
    if (obj->multi_stack != nullptr && obj->multi_stack != self) {
        PyErr_SetString(ErrorObject,
                        "cannot add/remove handle - curl object already on another multi-stack");
        return nullptr;
    }
    return obj;
}

// Runs the libcurl call of a membership change of `easy`, whose links to
// the multi are made already (an addition) or still there (a removal); they
// are undone when the addition fails or the removal succeeds.  libcurl's
// failure is raised with `failure`; an exception a callback left pending
// wins over it.
template <typename Call>
static PyObject *change_membership(CurlMultiObject *self, CurlObject *easy, Call call,
                                   const char *failure, bool removal) {
    Ref previous = take_kept_exception(self->callback_exception);
    CURLMcode res;
    {
        ReleaseGil unlocked(self->state, "self->state != NULL");
        res = call();
    }
    PendingException pending;
    if ((res == CURLM_OK) == removal) {
        TOLVEX_ASSERT_MSG(easy->multi_stack == self, "easy->multi_stack == self");
        util_multi_forget_easy(self, easy);
    }
    if (pending.raise())
        return nullptr;
    if (res != CURLM_OK)
        return raise_multi_error(self, res, failure);
    Py_RETURN_NONE;
}

static PyObject *do_multi_add_handle(CurlMultiObject *self, PyObject *args) {
    CurlObject *obj = membership_arg(self, args, "O!:add_handle");
    if (obj == nullptr)
        return nullptr;
    auto *arg = reinterpret_cast<PyObject *>(obj);
    if (obj->handle == nullptr) {
        PyErr_SetString(ErrorObject, "curl object already closed");
        return nullptr;
    }
    if (obj->multi_stack == self) {
        PyErr_SetString(ErrorObject, "curl object already on this multi-stack");
        return nullptr;
    }
    TOLVEX_ASSERT_MSG(obj->multi_stack == nullptr, "obj->multi_stack == NULL");
    // This multi's connection pool may keep the connections the member makes.
    if (obj->closesocket_closer != nullptr &&
        socket_closer_hold(self->socket_closers, obj->closesocket_closer) != 0)
        return nullptr;
    PyObject *weakref = PyWeakref_NewRef(reinterpret_cast<PyObject *>(self), nullptr);
    if (weakref == nullptr)
        return nullptr;
    if (PySet_Add(self->easy_set, arg) < 0) {
        Py_DECREF(weakref);
        return nullptr;
    }
    // The membership is recorded before libcurl sees the handle, so that a
    // callable run by the addition (the timer callable) finds the handle
    // busy: it cannot close or reset it, or close the multi, half-way in.
    obj->multi_weakref = weakref;
    obj->multi_stack = self;
    // The handle's transfer starts here.
    Ref previous = begin_transfer(obj);
    return change_membership(
        self, obj, [=] { return curl_multi_add_handle(self->multi_handle, obj->handle); },
        "curl_multi_add_handle() failed due to internal errors", false);
}

static PyObject *do_multi_remove_handle(CurlMultiObject *self, PyObject *args) {
    CurlObject *obj = membership_arg(self, args, "O!:remove_handle");
    if (obj == nullptr)
        return nullptr;
    auto *arg = reinterpret_cast<PyObject *>(obj);
    if (obj->handle == nullptr) {
        // A closed Curl has already left libcurl's multi.
        if (PySet_Discard(self->easy_set, arg) < 0)
            PyErr_Clear();
        Py_RETURN_NONE;
    }
    if (obj->multi_stack != self) {
        PyErr_SetString(ErrorObject, "curl object not on this multi-stack");
        return nullptr;
    }
    return change_membership(
        self, obj, [=] { return curl_multi_remove_handle(self->multi_handle, obj->handle); },
        "curl_multi_remove_handle() failed due to internal errors", true);
}

static int do_multi_contains(PyObject *op, PyObject *obj) {
    auto *self = reinterpret_cast<CurlMultiObject *>(op);
    assert_multi_state(self);
    if (!is_curl(obj)) {
        PyErr_SetString(PyExc_TypeError, "__contains__ expects a Curl object");
        return -1;
    }
    if (self->easy_set == nullptr)
        return 0;
    return PySet_Contains(self->easy_set, obj);
}

// ---------------------------------------------------------------------------
// Driving transfers.

// The (code, running handles) result of the driving calls.
static PyObject *code_and_running(int code, int running) {
    PyObject *result = PyTuple_New(2);
    if (result == nullptr)
        return nullptr;
    PyObject *a = PyLong_FromLong(code);
    PyObject *b = a ? PyLong_FromLong(running) : nullptr;
    if (b == nullptr) {
        Py_XDECREF(a);
        Py_DECREF(result);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, a);
    PyTuple_SET_ITEM(result, 1, b);
    return result;
}

// A drive of the polling and event-driven styles: the (code, running
// handles) result of multi_drive.
template <typename Call>
static PyObject *util_multi_drive(CurlMultiObject *self, const char *name, const char *failure,
                                  bool again_ok, Call call) {
    if (check_multi_state(self, GUARD_OPEN_IDLE, name) != 0)
        return nullptr;
    int running = -1;
    return multi_drive(
        self, failure, again_ok, [&] { return call(&running); },
        [&](CURLMcode res) { return code_and_running(res, running); });
}

static PyObject *do_multi_perform(CurlMultiObject *self, PyObject *) {
    return util_multi_drive(self, "perform", "perform failed", true, [self](int *running) {
        return curl_multi_perform(self->multi_handle, running);
    });
}

static PyObject *do_multi_socket_action(CurlMultiObject *self, PyObject *args) {
    PyObject *sockobj;
    int ev_bitmask;
    if (!PyArg_ParseTuple(args, "Oi:socket_action", &sockobj, &ev_bitmask))
        return nullptr;
    curl_socket_t sockfd;
    if (PyLong_AsCurlSocket(sockobj, &sockfd) != 0)
        return nullptr;
    return util_multi_drive(self, "socket_action", "multi_socket_action failed", false,
                            [self, sockfd, ev_bitmask](int *running) {
                                return curl_multi_socket_action(self->multi_handle, sockfd,
                                                                ev_bitmask, running);
                            });
}

static PyObject *do_multi_socket_all(CurlMultiObject *self, PyObject *) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, "socket_all is deprecated; use socket_action", 1) <
        0)
        return nullptr;
    return util_multi_drive(self, "socket_all", "perform failed", true, [self](int *running) {
        return curl_multi_socket_all(self->multi_handle, running);
    });
}

static PyObject *do_multi_timeout(CurlMultiObject *self, PyObject *) {
    if (check_multi_state(self, GUARD_OPEN_IDLE, "timeout") != 0)
        return nullptr;
    long timeout_ms = -1;
    CURLMcode res = curl_multi_timeout(self->multi_handle, &timeout_ms);
    if (res != CURLM_OK)
        return raise_error(res, "timeout failed");
    return PyLong_FromLong(timeout_ms);
}

static PyObject *do_multi_fdset(CurlMultiObject *self, PyObject *) {
    if (check_multi_state(self, GUARD_OPEN_IDLE, "fdset") != 0)
        return nullptr;
    fd_set sets[3];
    for (fd_set &set : sets)
        FD_ZERO(&set);
    int max_fd = -1;
    CURLMcode res = curl_multi_fdset(self->multi_handle, &sets[0], &sets[1], &sets[2], &max_fd);
    if (res != CURLM_OK)
        return raise_error(res, "curl_multi_fdset() failed due to internal errors");
    Ref lists[3] = {Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)),
                    Ref::steal(PyList_New(0))};
    if (!lists[0] || !lists[1] || !lists[2])
        return nullptr;
    for (int fd = 0; fd <= max_fd; ++fd) {
        for (int k = 0; k < 3; ++k) {
            if (!FD_ISSET(fd, &sets[k]))
                continue;
            Ref number = Ref::steal(PyLong_FromLong(fd));
            if (!number || PyList_Append(lists[k].get(), number.get()) < 0)
                return nullptr;
        }
    }
    return PyTuple_Pack(3, lists[0].get(), lists[1].get(), lists[2].get());
}

// An array of `T` on the stack while it is small, on the heap beyond.
template <typename T, size_t N>
class SmallArray {
  public:
    // False when the memory cannot be had.
    bool resize(size_t n) noexcept {
        if (n <= N) {
            data_ = local_;
            return true;
        }
        heap_.reset(new (std::nothrow) T[n]);
        data_ = heap_.get();
        return data_ != nullptr;
    }
    T *data() noexcept { return data_; }

  private:
    T local_[N];
    std::unique_ptr<T[]> heap_;
    T *data_ = local_;
};

// The sockets libcurl waits on, as poll() entries: unlike descriptor sets
// they hold any descriptor number.  libcurl's code; `count` entries filled.
template <size_t N>
static CURLMcode multi_poll_entries(CurlMultiObject *self, SmallArray<pollfd, N> &entries,
                                    unsigned int &count) {
    SmallArray<curl_waitfd, N> waits;
    count = 0;
    CURLMcode res = curl_multi_waitfds(self->multi_handle, waits.data(), N, &count);
    if (res == CURLM_OUT_OF_MEMORY) {
        // More sockets than the small array holds: ask for the number first.
        res = curl_multi_waitfds(self->multi_handle, nullptr, 0, &count);
        if (res != CURLM_OK)
            return res;
        if (!waits.resize(count))
            return CURLM_OUT_OF_MEMORY;
        res = curl_multi_waitfds(self->multi_handle, waits.data(), count, &count);
    }
    if (res != CURLM_OK)
        return res;
    if (!entries.resize(count))
        return CURLM_OUT_OF_MEMORY;
    for (unsigned int i = 0; i < count; ++i) {
        const curl_waitfd &wait = waits.data()[i];
        short events = 0;
        if (wait.events & CURL_WAIT_POLLIN)
            events |= POLLIN;
        if (wait.events & CURL_WAIT_POLLPRI)
            events |= POLLPRI;
        if (wait.events & CURL_WAIT_POLLOUT)
            events |= POLLOUT;
        entries.data()[i] = pollfd{.fd = wait.fd, .events = events, .revents = 0};
    }
    return CURLM_OK;
}

// What select() would count for the entries poll() filled: one per
// descriptor and kind of readiness (readable, writable, exceptional), with
// the kernel's own grouping of poll events into those three; -1 when a
// descriptor is no longer open, as select() fails on one.
static int ready_count(const pollfd *entries, unsigned int count) {
    int ready = 0;
    for (unsigned int i = 0; i < count; ++i) {
        const pollfd &entry = entries[i];
        if (entry.revents & POLLNVAL)
            return -1;
        if ((entry.events & POLLIN) && (entry.revents & (POLLIN | POLLHUP | POLLERR)))
            ++ready;
        if ((entry.events & POLLOUT) && (entry.revents & (POLLOUT | POLLERR)))
            ++ready;
        if (entry.revents & POLLPRI)
            ++ready;
    }
    return ready;
}

// One year of seconds: the longest wait select() accepts.
static constexpr double max_select_timeout = 365.0 * 24 * 60 * 60;

static PyObject *do_multi_select(CurlMultiObject *self, PyObject *args) {
    double timeout;
    if (!PyArg_ParseTuple(args, "d:select", &timeout))
        return nullptr;
    if (check_multi_state(self, GUARD_OPEN_IDLE, "select") != 0)
        return nullptr;
    // Written so that a NaN fails too.
    if (!(timeout >= 0.0 && timeout < max_select_timeout)) {
        PyErr_SetString(PyExc_OverflowError, "invalid timeout period");
        return nullptr;
    }
    double whole;
    double fraction = std::modf(timeout, &whole);
    timespec wait{.tv_sec = static_cast<time_t>(whole),
                  .tv_nsec = static_cast<long>(fraction * 1000000.0) * 1000};
    // Everything the wait uses is this call's own, so that other threads may
    // use the multi meanwhile: libcurl is not called during the wait.
    SmallArray<pollfd, 32> entries;
    unsigned int count;
    CURLMcode res = multi_poll_entries(self, entries, count);
    if (res != CURLM_OK)
        return raise_error(res, "multi_fdset failed");
    if (count == 0)
        return PyLong_FromLong(0);
    int n;
    {
        ReleaseGilUnmarked unlocked;
        n = ppoll(entries.data(), count, &wait, nullptr);
    }
    return PyLong_FromLong(n > 0 ? ready_count(entries.data(), count) : n);
}

static PyObject *do_multi_info_read(CurlMultiObject *self, PyObject *args) {
    int max_objects = INT_MAX;
    if (!PyArg_ParseTuple(args, "|i:info_read", &max_objects))
        return nullptr;
    if (max_objects <= 0) {
        PyErr_SetString(ErrorObject, "argument to info_read must be greater than zero");
        return nullptr;
    }
    if (check_multi_state(self, GUARD_OPEN | GUARD_NOT_ELSEWHERE, "info_read") != 0)
        return nullptr;
    Ref ok_list = Ref::steal(PyList_New(0));
    Ref err_list = Ref::steal(PyList_New(0));
    if (!ok_list || !err_list)
        return nullptr;
    int queued = 0;
    for (int i = 0; i < max_objects; ++i) {
        CURLMsg *msg = curl_multi_info_read(self->multi_handle, &queued);
        if (msg == nullptr)
            break;
        char *private_ptr = nullptr;
        CURLcode res = curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &private_ptr);
        if (res != CURLE_OK || private_ptr == nullptr)
            return raise_error(res, "Unable to fetch curl handle from curl object");
        auto *co = reinterpret_cast<PyObject *>(private_ptr);
        TOLVEX_ASSERT_MSG(is_curl(co),
                          "PyObject_IsInstance((PyObject *) co, (PyObject *) p_Curl_Type) == 1");
        if (msg->data.result == CURLE_OK) {
            if (PyList_Append(ok_list.get(), co) < 0)
                return nullptr;
            continue;
        }
        auto *easy = reinterpret_cast<CurlObject *>(co);
        easy->error[sizeof(easy->error) - 1] = 0;
        Ref text = Ref::steal(PyUnicode_DecodeLocale(easy->error, "surrogateescape"));
        if (!text)
            return nullptr;
        Ref entry =
            Ref::steal(Py_BuildValue("(OiO)", co, static_cast<int>(msg->data.result), text.get()));
        if (!entry || PyList_Append(err_list.get(), entry.get()) < 0)
            return nullptr;
    }
    return Py_BuildValue("(iOO)", queued, ok_list.get(), err_list.get());
}

// ---------------------------------------------------------------------------
// The callbacks libcurl calls for the socket, timer and notify options.

// What a socket or timer callable returned, for libcurl: None is 0, an int
// its value, anything else (or an exception) -1.
static int multi_callback_answer(const Ref &result, const char *name) {
    if (!result) {
        print_callback_error_if_regular_exception();
        return -1;
    }
    if (result.get() == Py_None)
        return 0;
    int value = -1;
    return int_answer(result.get(), name, value) ? value : -1;
}

// The multi's entry points answer 0 without a callable (there is nothing to
// tell), -1 without the interpreter.
template <CURLMoption Option, typename Run>
static auto with_multi_callable(CurlMultiObject *self, Run &&run) {
    using Answer = decltype(run(static_cast<PyObject *>(nullptr)));
    static constexpr const MultiCallbackOption &row = multi_row(Option);
    return call_through_row(self, row, run, [](bool reached) {
        if constexpr (!std::is_void_v<Answer>)
            return static_cast<Answer>(reached ? 0 : -1);
    });
}

static int multi_socket_callback(CURL *, curl_socket_t s, int what, void *userp, void *socketp) {
    auto *self = static_cast<CurlMultiObject *>(userp);
    return with_multi_callable<CURLMOPT_SOCKETFUNCTION>(self, [&](PyObject *callable) {
        Ref event = Ref::steal(PyLong_FromLong(what));
        Ref sock = Ref::steal(PyLong_FromCurlSocket(s));
        if (!event || !sock)
            return multi_callback_answer(Ref(), "multi socket");
        // The assigned object is kept alive by assigned_objects.
        return multi_callback_answer(
            call_callable(callable,
                          {event.get(), sock.get(), reinterpret_cast<PyObject *>(self),
                           socketp != nullptr ? static_cast<PyObject *>(socketp) : Py_None}),
            "multi socket");
    });
}

static int multi_timer_callback(CURLM *, long timeout_ms, void *userp) {
    auto *self = static_cast<CurlMultiObject *>(userp);
    return with_multi_callable<CURLMOPT_TIMERFUNCTION>(self, [&](PyObject *callable) {
        return multi_callback_answer(call_callable(callable, "(l)", timeout_ms), "multi timer");
    });
}

// The live member of this multi whose handle `easy` is, or null.
static CurlObject *member_of(CurlMultiObject *self, CURL *easy) {
    char *private_ptr = nullptr;
    if (easy == nullptr || curl_easy_getinfo(easy, CURLINFO_PRIVATE, &private_ptr) != CURLE_OK ||
        private_ptr == nullptr)
        return nullptr;
    auto *co = reinterpret_cast<CurlObject *>(private_ptr);
    if (!is_curl(reinterpret_cast<PyObject *>(co)) || co->handle != easy || co->multi_stack != self)
        return nullptr;
    return co;
}

static void multi_notify_callback(CURLM *, unsigned int notification, CURL *easy, void *userp) {
    auto *self = static_cast<CurlMultiObject *>(userp);
    with_multi_callable<CURLMOPT_NOTIFYFUNCTION>(self, [&](PyObject *callable) {
        // Only a live member of this multi is handed to Python.
        CurlObject *member = member_of(self, easy);
        PyObject *curl = member != nullptr ? reinterpret_cast<PyObject *>(member) : Py_None;
        (void)call_reported(callable, "(kO)", static_cast<unsigned long>(notification), curl);
    });
}

// The headers of a push promise as (name, value) bytes pairs; a pseudo
// header's name keeps its leading colon.
static PyObject *push_headers(size_t count, curl_pushheaders *headers) {
    Ref list = Ref::steal(PyList_New(0));
    for (size_t i = 0; list && i < count; ++i) {
        const char *line = curl_pushheader_bynum(headers, i);
        if (line == nullptr)
            continue;
        const char *colon = line[0] != '\0' ? std::strchr(line + 1, ':') : nullptr;
        size_t name_len = colon != nullptr ? static_cast<size_t>(colon - line) : std::strlen(line);
        const char *value = colon != nullptr ? colon + 1 : "";
        Ref pair =
            Ref::steal(Py_BuildValue("(y#y)", line, static_cast<Py_ssize_t>(name_len), value));
        if (!pair || PyList_Append(list.get(), pair.get()) != 0)
            return nullptr;
    }
    return list.release();
}

// A pushed stream, offered to the push callable as a new Curl with the
// promise's headers.  Accepted, it is a member of this multi like one
// add_handle added; refused (or when nothing can be asked), libcurl frees
// it.
static int multi_push_callback(CURL *parent, CURL *easy, size_t num_headers,
                               curl_pushheaders *headers, void *userp) {
    auto *self = static_cast<CurlMultiObject *>(userp);
    static constexpr const MultiCallbackOption &row = multi_row(CURLMOPT_PUSHFUNCTION);
    static constexpr RangeMessages messages = {
        .bad_value = "push callback returned an invalid CURL_PUSH code",
        .name = "multi push",
    };
    return call_through_row(
        self, row,
        [&](PyObject *callable) {
            CurlObject *from = member_of(self, parent);
            if (from == nullptr)
                return CURL_PUSH_DENY;
            Ref pushed = curl_offer_push(from, easy, self);
            Ref pairs = Ref::steal(pushed ? push_headers(num_headers, headers) : nullptr);
            if (!pairs) {
                print_callback_error_if_regular_exception();
                if (pushed)
                    curl_give_back(reinterpret_cast<CurlObject *>(pushed.get()));
                return CURL_PUSH_DENY;
            }
            auto *curl = reinterpret_cast<CurlObject *>(pushed.get());
            Ref result = call_callable(
                callable, {reinterpret_cast<PyObject *>(from), pushed.get(), pairs.get()});
            long answer = ranged_answer(result.get(), CURL_PUSH_OK, CURL_PUSH_ERROROUT,
                                        CURL_PUSH_OK, CURL_PUSH_DENY, messages);
            // The multi takes the stream as add_handle takes a member.
            if (answer == CURL_PUSH_OK) {
                curl->multi_weakref = PyWeakref_NewRef(reinterpret_cast<PyObject *>(self), nullptr);
                if (curl->multi_weakref == nullptr || PySet_Add(self->easy_set, pushed.get()) < 0) {
                    print_callback_error_if_regular_exception();
                    clear_field(curl->multi_weakref);
                    answer = CURL_PUSH_DENY;
                }
            }
            if (answer != CURL_PUSH_OK)
                curl_give_back(curl);
            return static_cast<int>(answer);
        },
        [](bool) { return CURL_PUSH_DENY; });
}

// ---------------------------------------------------------------------------
// Options.

// Installs the module's entry point for one of the callback options, or
// removes it (callable null).  libcurl's refusal is raised.
static PyObject *multi_set_callback(CurlMultiObject *self, const MultiCallbackOption &row,
                                    PyObject *callable) {
    if (self->events.epoll_fd >= 0 && row.function_option != CURLMOPT_NOTIFYFUNCTION) {
        PyErr_SetString(ErrorObject, "cannot set M_SOCKETFUNCTION or M_TIMERFUNCTION - the multi "
                                     "watches its own sockets since fileno() was called");
        return nullptr;
    }
    CURLMcode res = row.install(self->multi_handle, row.function_option, callable != nullptr);
    if (res == CURLM_OK)
        res = curl_multi_setopt(self->multi_handle, row.data_option, callable ? self : nullptr);
    if (res != CURLM_OK)
        return raise_error(res, nullptr);
    replace_field(self->*row.field, callable);
    Py_RETURN_NONE;
}

static bool multi_option_is_list(int option) {
    return option == CURLMOPT_PIPELINING_SITE_BL || option == CURLMOPT_PIPELINING_SERVER_BL;
}

static PyObject *multi_setopt_list(CurlMultiObject *self, int option, PyObject *obj) {
    if (!multi_option_is_list(option)) {
        PyErr_SetString(PyExc_TypeError, "lists/tuples are not supported for this option");
        return nullptr;
    }
    int which = PyListOrTuple_Check(obj);
    Py_ssize_t n = PyListOrTuple_Size(obj, which);
    if (n < 0)
        return nullptr;
    if (n >= PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(char *)) - 1)
        return PyErr_NoMemory();
    // The strings only need to live for the call: libcurl copies them.
    std::unique_ptr<char *[]> strings(new (std::nothrow) char *[n + 1]());
    std::unique_ptr<Ref[]> owners(new (std::nothrow) Ref[n ? n : 1]);
    if (!strings || !owners)
        return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyListOrTuple_GetItem(obj, i, which);
        if (item == nullptr)
            return nullptr;
        if (!PyText_Check(item)) {
            PyErr_SetString(ErrorObject, "list/tuple items must be strings");
            return nullptr;
        }
        PyObject *encoded = nullptr;
        char *text = PyText_AsString_NoNUL(item, &encoded);
        owners[i] = Ref::steal(encoded);
        if (text == nullptr)
            return nullptr;
        strings[i] = text;
    }
    strings[n] = nullptr;
    CURLMcode res =
        curl_multi_setopt(self->multi_handle, static_cast<CURLMoption>(option), strings.get());
    if (res != CURLM_OK)
        return raise_error(res, nullptr);
    Py_RETURN_NONE;
}

// The type base of the option's number says what libcurl takes; it answers
// numbers that name no option itself.
static PyObject *multi_setopt_int(CurlMultiObject *self, int option, PyObject *obj) {
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred())
        return nullptr;
    auto opt = static_cast<CURLMoption>(option);
    CURLMcode res;
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        res = curl_multi_setopt(self->multi_handle, opt, static_cast<long>(value));
    } else if (option >= CURLOPTTYPE_OFF_T) {
        res = curl_multi_setopt(self->multi_handle, opt, static_cast<curl_off_t>(value));
    } else {
        PyErr_SetString(PyExc_TypeError, "integers are not supported for this option");
        return nullptr;
    }
    // A refused value must not pass for a set one.
    if (res != CURLM_OK)
        return raise_error(res, nullptr);
    Py_RETURN_NONE;
}

static PyObject *multi_unsetopt(CurlMultiObject *self, int option) {
    if (multi_option_is_list(option)) {
        CURLMcode res = curl_multi_setopt(self->multi_handle, static_cast<CURLMoption>(option),
                                          static_cast<char **>(nullptr));
        if (res != CURLM_OK)
            return raise_error(res, nullptr);
        Py_RETURN_NONE;
    }
    if (const MultiCallbackOption *entry = multi_callback_option(option))
        return multi_set_callback(self, *entry, nullptr);
    PyErr_SetString(PyExc_TypeError, "unsetting is not supported for this option");
    return nullptr;
}

static PyObject *do_multi_setopt(CurlMultiObject *self, PyObject *args) {
    int option;
    PyObject *obj;
    if (!PyArg_ParseTuple(args, "iO:setopt", &option, &obj))
        return nullptr;
    if (check_multi_state(self, GUARD_OPEN_IDLE, "setopt") != 0)
        return nullptr;
    if (!option_in_range(option, CURLOPTTYPE_OFF_T, CURLMOPT_LASTENTRY)) {
        PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
        return nullptr;
    }
    if (obj == Py_None)
        return multi_unsetopt(self, option);
    if (PyLong_Check(obj))
        return multi_setopt_int(self, option, obj);
    if (PyListOrTuple_Check(obj))
        return multi_setopt_list(self, option, obj);
    if (PyCallable_Check(obj)) {
        const MultiCallbackOption *entry = multi_callback_option(option);
        if (entry == nullptr) {
            PyErr_SetString(PyExc_TypeError, "callables are not supported for this option");
            return nullptr;
        }
        return multi_set_callback(self, *entry, obj);
    }
    PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
    return nullptr;
}

// ---------------------------------------------------------------------------
// Objects assigned to sockets.

static PyObject *util_multi_assign(CurlMultiObject *self, PyObject *sockobj, PyObject *obj,
                                   const char *name) {
    curl_socket_t sockfd;
    if (PyLong_AsCurlSocket(sockobj, &sockfd) != 0)
        return nullptr;
    if (check_multi_state(self, GUARD_OPEN | GUARD_NOT_ELSEWHERE, name) != 0)
        return nullptr;
    if (self->assigned_objects == nullptr) {
        self->assigned_objects = PyDict_New();
        if (self->assigned_objects == nullptr)
            return nullptr;
    }
    // Keyed by the descriptor libcurl knows, so that two equal-comparing
    // socket objects can never release an object libcurl still points to.
    Ref key = Ref::steal(PyLong_FromLong(static_cast<long>(sockfd)));
    if (!key)
        return nullptr;
    PyObject *previous_raw = nullptr;
    if (PyDict_GetItemRef(self->assigned_objects, key.get(), &previous_raw) < 0)
        return nullptr;
    Ref previous = Ref::steal(previous_raw);
    void *pointer = nullptr;
    if (obj == Py_None) {
        if (previous && PyDict_DelItem(self->assigned_objects, key.get()) < 0)
            return nullptr;
    } else {
        if (PyDict_SetItem(self->assigned_objects, key.get(), obj) < 0)
            return nullptr;
        pointer = obj;
    }
    CURLMcode res = curl_multi_assign(self->multi_handle, sockfd, pointer);
    if (res != CURLM_OK) {
        int restored = previous ? PyDict_SetItem(self->assigned_objects, key.get(), previous.get())
                       : obj != Py_None ? PyDict_DelItem(self->assigned_objects, key.get())
                                        : 0;
        if (restored < 0)
            PyErr_Clear();
        return raise_failed(res, name);
    }
    Py_RETURN_NONE;
}

static PyObject *do_multi_assign(CurlMultiObject *self, PyObject *args) {
    PyObject *sockobj, *obj;
    if (!PyArg_ParseTuple(args, "OO:assign", &sockobj, &obj))
        return nullptr;
    return util_multi_assign(self, sockobj, obj, "assign");
}

static PyObject *do_multi_unassign(CurlMultiObject *self, PyObject *args) {
    PyObject *sockobj;
    if (!PyArg_ParseTuple(args, "O:unassign", &sockobj))
        return nullptr;
    return util_multi_assign(self, sockobj, Py_None, "unassign");
}

// ---------------------------------------------------------------------------
// Notifications.

static PyObject *util_multi_notify_set(CurlMultiObject *self, PyObject *args,
                                       CURLMcode (*set)(CURLM *, unsigned int), const char *name) {
    if (check_multi_state(self, GUARD_OPEN_IDLE, name) != 0)
        return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n == 0) {
        PyErr_Format(PyExc_TypeError, "%s requires at least one notification", name);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        unsigned long value = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(args, i));
        if (value == static_cast<unsigned long>(-1) && PyErr_Occurred())
            return nullptr;
        if (value > 4294967295UL) {
            PyErr_Format(PyExc_OverflowError, "%s notification value out of range", name);
            return nullptr;
        }
        CURLMcode res = set(self->multi_handle, static_cast<unsigned int>(value));
        if (res != CURLM_OK)
            return raise_failed(res, name);
    }
    Py_RETURN_NONE;
}

static PyObject *do_multi_notify_enable(CurlMultiObject *self, PyObject *args) {
    return util_multi_notify_set(self, args, curl_multi_notify_enable, "notify_enable");
}

static PyObject *do_multi_notify_disable(CurlMultiObject *self, PyObject *args) {
    return util_multi_notify_set(self, args, curl_multi_notify_disable, "notify_disable");
}

// ---------------------------------------------------------------------------
// The type.

static PyMethodDef curlmultiobject_methods[] = {
    {"add_handle", as_cfunction(do_multi_add_handle), METH_VARARGS,
     "add_handle(curl) -> None\n\n"
     "Add a Curl object to the multi stack.\n"},
    {"close", as_cfunction(do_multi_close), METH_NOARGS,
     "close() -> None\n\n"
     "Close the multi handle, detaching its member Curl objects (and "
     "closing them when created with close_handles=True).\n"},
    {"fdset", as_cfunction(do_multi_fdset), METH_NOARGS,
     "fdset() -> tuple of lists\n\n"
     "The descriptors libcurl waits on: (readable, writable, "
     "exceptional), ready for select.select().\n\n"
     "Descriptors numbered FD_SETSIZE (1024) or more cannot be "
     "reported this way and are left out; select() waits on them "
     "all.\n"},
    {"fileno", as_cfunction(do_multi_fileno), METH_NOARGS,
     "fileno() -> int\n\n"
     "The multi's own event source: a descriptor that becomes readable whenever one of "
     "libcurl's sockets is ready or its timeout is due.  The first call makes the multi "
     "watch its sockets and timeout itself (no M_SOCKETFUNCTION or M_TIMERFUNCTION callable "
     "may be set then); register it once with select.poll, selectors or an event loop, and "
     "call process_events() when it is readable.  Linux only (NotImplementedError elsewhere); "
     "closed with the multi.\n"},
    {"info_read", as_cfunction(do_multi_info_read), METH_VARARGS,
     "info_read([max_objects]) -> tuple(number of queued messages, "
     "a list of successful objects, a list of failed objects)\n\n"
     "Return the transfers that have finished.\n"},
    {"process_events", as_cfunction(do_multi_process_events), METH_NOARGS,
     "process_events() -> int\n\n"
     "Hand every ready socket and an expired timeout of the event source (see fileno()) to "
     "libcurl, and return the number of running transfers; finished transfers are then "
     "reported by info_read().  Calling it when nothing is due does no harm.\n"},
    {"perform", as_cfunction(do_multi_perform), METH_NOARGS,
     "perform() -> tuple of status and the number of active Curl "
     "objects\n\n"
     "Perform transfers on all member handles that are ready.\n"},
    {"socket_action", as_cfunction(do_multi_socket_action), METH_VARARGS,
     "socket_action(sockfd, ev_bitmask) -> tuple of status and the number of active Curl "
     "objects\n\n"
     "Tell libcurl that something happened on a socket (or that a timeout expired, with "
     "SOCKET_TIMEOUT) and let it act on it.\n"},
    {"socket_all", as_cfunction(do_multi_socket_all), METH_NOARGS,
     "socket_all() -> tuple of status and the number of active "
     "Curl objects\n\n"
     "Act on all sockets (deprecated; use socket_action).\n"},
    {"setopt", as_cfunction(do_multi_setopt), METH_VARARGS,
     "setopt(option, value) -> None\n\n"
     "Set a curl multi option (an M_* constant).\n"},
    {"timeout", as_cfunction(do_multi_timeout), METH_NOARGS,
     "timeout() -> int\n\n"
     "Milliseconds until libcurl wants to be called again, or -1 when "
     "it has no timeout set.\n"},
    {"assign", as_cfunction(do_multi_assign), METH_VARARGS,
     "assign(sock_fd, object) -> None\n\n"
     "Associate an object with a socket; the socket callable receives "
     "it as its fourth argument.\n"},
    {"unassign", as_cfunction(do_multi_unassign), METH_VARARGS,
     "unassign(sock_fd) -> None\n\n"
     "Remove the object associated with a socket.\n"},
    {"remove_handle", as_cfunction(do_multi_remove_handle), METH_VARARGS,
     "remove_handle(curl) -> None\n\n"
     "Remove a Curl object from the multi stack.\n"},
    {"select", as_cfunction(do_multi_select), METH_VARARGS,
     "select(timeout) -> number of ready file descriptors or 0 on "
     "timeout\n\n"
     "Wait, for at most timeout seconds, until one of the descriptors "
     "libcurl waits on is ready.\n"},
    {"notify_enable", as_cfunction(do_multi_notify_enable), METH_VARARGS,
     "notify_enable(notification, ...) -> None\n\n"
     "Enable notifications (M_NOTIFY_* constants) for the notify "
     "callable.\n"},
    {"notify_disable", as_cfunction(do_multi_notify_disable), METH_VARARGS,
     "notify_disable(notification, ...) -> None\n\n"
     "Disable notifications (M_NOTIFY_* constants).\n"},
    TOLVEX_PLUMBING_METHODS(MultiPlumbing),
    {"__exit__", do_multi_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef curlmultiobject_getsets[] = {
    {"closed", do_multi_get_closed, nullptr, "True if the multi handle has been closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PySequenceMethods curlmultiobject_as_sequence = {
    .sq_contains = do_multi_contains,
};

PyDoc_STRVAR(multi_doc, "CurlMulti(close_handles=False) -> New CurlMulti object\n"
                        "\n"
                        "Creates a new CurlMulti object which corresponds to a libcurl multi "
                        "handle.\n"
                        "With close_handles true, close() also closes the member handles.\n");

PyTypeObject CurlMulti_Type = MultiPlumbing::type({
    .tp_name = "tolvex.CurlMulti",
    .tp_dealloc = do_multi_dealloc,
    .tp_as_sequence = &curlmultiobject_as_sequence,
    .tp_doc = multi_doc,
    .tp_traverse = do_multi_traverse,
    .tp_clear = do_multi_clear,
    .tp_methods = curlmultiobject_methods,
    .tp_getset = curlmultiobject_getsets,
    .tp_new = do_multi_new,
});
