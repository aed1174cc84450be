// Text arguments: bytes are taken as they are, str is encoded as strict
// ASCII into a temporary that the caller owns.
#include "tolvex.h"

int PyText_Check(PyObject *o) {
    return PyUnicode_Check(o) || PyBytes_Check(o);
}

int PyText_AsStringAndSize(PyObject *obj, char **buffer, Py_ssize_t *length,
                           PyObject **encoded_obj) {
    if (PyBytes_Check(obj)) {
        *encoded_obj = nullptr;
        return PyBytes_AsStringAndSize(obj, buffer, length);
    }
    TOLVEX_ASSERT_MSG(PyUnicode_Check(obj), "PyUnicode_Check(obj)");
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(obj, "ascii", "strict"));
    if (!encoded)
        return -1;
    if (PyBytes_AsStringAndSize(encoded.get(), buffer, length) != 0) {
        *encoded_obj = nullptr;
        return -1;
    }
    *encoded_obj = encoded.release();
    return 0;
}

char *PyText_AsString_NoNUL(PyObject *obj, PyObject **encoded_obj) {
    char *s = nullptr;
    if (PyText_AsStringAndSize(obj, &s, nullptr, encoded_obj) != 0)
        return nullptr;
    TOLVEX_ASSERT_MSG(s != nullptr, "s != NULL");
    return s;
}

PyObject *PyText_FromString_Ignore(const char *string) {
    Ref bytes = Ref::steal(PyBytes_FromString(string));
    if (!bytes)
        return nullptr;
    return PyUnicode_FromEncodedObject(bytes.get(), nullptr, "replace");
}
