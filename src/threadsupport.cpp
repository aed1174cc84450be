// The bridge between libcurl's calls and the interpreter's thread state:
// where a blocking call parks its thread state, how callbacks find it and
// take the interpreter lock back with it, and the share handles' mutexes.
#include "tolvex.h"

#include <cstdio>
#include <cstdlib>

[[noreturn]] void tolvex_assert_failed(const char *expr, const char *file, int line,
                                       const char *func) {
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, func, expr);
    std::fflush(stderr);
    std::abort();
}

PyThreadState **tolvex_get_thread_state_slot(CurlObject *self) {
    if (self == nullptr)
        return nullptr;
    TOLVEX_ASSERT_MSG(is_curl(reinterpret_cast<PyObject *>(self)),
                      "PyObject_IsInstance((PyObject *) self, (PyObject *) p_Curl_Type) == 1");
    if (self->state != nullptr) {
        TOLVEX_ASSERT_MSG(self->handle != nullptr, "self->handle != NULL");
        if (self->multi_stack != nullptr)
            TOLVEX_ASSERT_MSG(self->multi_stack->state == nullptr,
                              "self->multi_stack->state == NULL");
        return &self->state;
    }
    if (self->multi_stack != nullptr && self->multi_stack->state != nullptr) {
        TOLVEX_ASSERT_MSG(self->handle != nullptr, "self->handle != NULL");
        TOLVEX_ASSERT_MSG(self->multi_stack->multi_handle != nullptr,
                          "self->multi_stack->multi_handle != NULL");
        return &self->multi_stack->state;
    }
    return nullptr;
}

PyThreadState **tolvex_get_thread_state_slot_multi(CurlMultiObject *self) {
    if (self == nullptr)
        return nullptr;
    TOLVEX_ASSERT_MSG(is_multi(reinterpret_cast<PyObject *>(self)),
                      "PyObject_IsInstance((PyObject *) self, (PyObject *) p_CurlMulti_Type) == 1");
    if (self->state == nullptr)
        return nullptr;
    TOLVEX_ASSERT_MSG(self->multi_handle != nullptr, "self->multi_handle != NULL");
    return &self->state;
}

PyThreadState *tolvex_get_thread_state(CurlObject *self) {
    PyThreadState **slot = tolvex_get_thread_state_slot(self);
    return slot ? *slot : nullptr;
}

int tolvex_python_enter(PyThreadState **slot) {
    if (slot == nullptr || *slot == nullptr)
        return 0;
    // libcurl called back from a call made with the lock held (say on a
    // handle whose transfer is running further up this thread's stack):
    // restoring the parked state again would deadlock.
    if (PyGILState_Check())
        return 0;
    PyEval_RestoreThread(*slot);
    return 1;
}

void tolvex_python_leave(PyThreadState **slot) {
    if (slot == nullptr || *slot == nullptr)
        Py_FatalError("tolvex_python_leave: NULL thread state slot");
    if (PyThreadState_Get() != *slot)
        Py_FatalError("tolvex_python_leave: attached thread state differs from slot");
    PyEval_SaveThread();
}

void warn_failed_to_acquire_thread(const char *text) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject *pending = PyErr_GetRaisedException();
    // With warnings turned into errors no Python code would ever see the
    // exception; left set, it would surface in some unrelated later call.
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0)
        PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
    PyGILState_Release(gil);
}

void print_callback_error_if_regular_exception() {
    KeptExceptionScope::keep();
    if (PyErr_ExceptionMatches(PyExc_Exception))
        PyErr_Print();
}

void chain_kept_exception(PyObject *kept) {
    if (kept == nullptr)
        return;
    PyObject *exc = PyErr_GetRaisedException();
    // An exception that stayed pending is itself the one raised.
    if (exc != nullptr && exc != kept) {
        PyException_SetContext(exc, Py_NewRef(kept));
        PyException_SetCause(exc, Py_NewRef(kept));
    }
    PyErr_SetRaisedException(exc);
}

int check_pending_python_exception_or_signal() {
    if (PyErr_Occurred())
        return -1;
    if (PyErr_CheckSignals() != 0)
        return -1;
    return 0;
}
