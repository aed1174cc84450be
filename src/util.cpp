// The error object of failed libcurl calls and the attribute helpers shared
// by the handle types.
#include "tolvex.h"

PyObject *raise_error(long code, const char *text) {
    Ref message;
    if (text != nullptr) {
        message = Ref::steal(PyText_FromString_Ignore(text));
        if (!message)
            return nullptr;
    }
    Ref value = Ref::steal(message ? Py_BuildValue("(lO)", code, message.get())
                                   : Py_BuildValue("(l)", code));
    if (value)
        PyErr_SetObject(ErrorObject, value.get());
    return nullptr;
}

PyObject *raise_curl_error(CurlObject *self, CURLcode res) {
    create_and_set_error_object(self, static_cast<int>(res), ErrorText::code);
    return nullptr;
}

void create_and_set_error_object(CurlObject *self, int code, ErrorText text) {
    // The buffer stays terminated whatever libcurl wrote into it.
    self->error[sizeof(self->error) - 1] = 0;
    // libcurl writes the buffer only in calls that run or drive a transfer;
    // for any other call it may still hold an earlier transfer's message.
    const char *s = text == ErrorText::buffer && self->error[0] != 0
                        ? self->error
                        : curl_easy_strerror(static_cast<CURLcode>(code));
    raise_error(code, s);
}

PyObject *my_getattro(PyObject *, PyObject *name, PyObject *dict1, PyObject *dict2) {
    PyObject *v = nullptr;
    if (dict1 != nullptr) {
        if (PyDict_GetItemRef(dict1, name, &v) < 0)
            return nullptr;
    }
    if (v == nullptr && dict2 != nullptr) {
        if (PyDict_GetItemRef(dict2, name, &v) < 0)
            return nullptr;
    }
    if (v == nullptr)
        PyErr_Format(PyExc_AttributeError, "trying to obtain a non-existing attribute: %U", name);
    return v;
}

int my_setattro(PyObject **dict, PyObject *name, PyObject *v) {
    if (*dict == nullptr) {
        *dict = PyDict_New();
        if (*dict == nullptr)
            return -1;
    }
    if (v != nullptr)
        return PyDict_SetItem(*dict, name, v);
    int rv = PyDict_DelItem(*dict, name);
    if (rv != 0 && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_AttributeError, "trying to delete a non-existing attribute: %U", name);
    }
    return rv;
}

Ref new_with_flag(PyTypeObject *subtype, PyTypeObject *type, PyObject *args, PyObject *kwds,
                  const char *keyword, int &flag) {
    char *kwlist[] = {const_cast<char *>(keyword), nullptr};
    if (subtype == type && !PyArg_ParseTupleAndKeywords(args, kwds, "|$p", kwlist, &flag))
        return Ref();
    return Ref::steal(subtype->tp_alloc(subtype, 0));
}
