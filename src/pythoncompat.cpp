// Sequences that may be lists or tuples, and socket descriptors.
#include "tolvex.h"

int PyListOrTuple_Check(PyObject *v) {
    if (PyList_Check(v))
        return 1;
    if (PyTuple_Check(v))
        return 2;
    return 0;
}

Py_ssize_t PyListOrTuple_Size(PyObject *v, int which) {
    switch (which) {
    case 1:
        return PyList_Size(v);
    case 2:
        return PyTuple_Size(v);
    default:
        TOLVEX_ASSERT(0);
    }
}

PyObject *PyListOrTuple_GetItem(PyObject *v, Py_ssize_t i, int which) {
    switch (which) {
    case 1:
        return PyList_GetItem(v, i);
    case 2:
        return PyTuple_GetItem(v, i);
    default:
        TOLVEX_ASSERT(0);
    }
}

int PyLong_AsCurlSocket(PyObject *obj, curl_socket_t *sockfd) {
    TOLVEX_ASSERT_MSG(sockfd != nullptr, "sockfd != NULL");
    long long value = PyLong_AsLongLong(obj);
    if (PyErr_Occurred())
        return -1;
    if (value < -1 || value > 2147483647LL) {
        PyErr_SetString(PyExc_OverflowError, "socket value is out of range");
        return -1;
    }
    *sockfd = static_cast<curl_socket_t>(value);
    return 0;
}

PyObject *PyLong_FromCurlSocket(curl_socket_t sockfd) {
    return PyLong_FromLong(static_cast<long>(static_cast<int32_t>(sockfd)));
}
