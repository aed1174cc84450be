// The CurlMime and CurlMimePart objects: multipart request bodies.
#include "tolvex.h"

static int do_mime_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<CurlMimeObject *>(op);
    Py_VISIT(self->curl);
    Py_VISIT(self->parts);
    Py_VISIT(self->submimes);
    Py_VISIT(self->data_cb_owners);
    return 0;
}

static int do_mime_clear(PyObject *op) {
    auto *self = reinterpret_cast<CurlMimeObject *>(op);
    clear_field(self->parts);
    clear_field(self->submimes);
    clear_field(self->data_cb_owners);
    clear_field(self->curl);
    if (self->owns_handle && self->mime_handle != nullptr)
        curl_mime_free(self->mime_handle);
    self->mime_handle = nullptr;
    self->owns_handle = 0;
    return 0;
}

static void do_mime_dealloc(PyObject *op) {
    PyObject_GC_UnTrack(op);
    do_mime_clear(op);
    CurlMime_Type.tp_free(op);
}

PyTypeObject CurlMime_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "tolvex.CurlMime",
    .tp_basicsize = sizeof(CurlMimeObject),
    .tp_dealloc = do_mime_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Python wrapper for libcurl MIME API.",
    .tp_traverse = do_mime_traverse,
    .tp_clear = do_mime_clear,
    .tp_alloc = PyType_GenericAlloc,
    .tp_free = PyObject_GC_Del,
};

static int do_mimepart_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<CurlMimePartObject *>(op);
    Py_VISIT(self->mime);
    Py_VISIT(self->data_cb_owner);
    return 0;
}

static int do_mimepart_clear(PyObject *op) {
    auto *self = reinterpret_cast<CurlMimePartObject *>(op);
    clear_field(self->data_cb_owner);
    clear_field(self->mime);
    self->part_handle = nullptr;
    return 0;
}

static void do_mimepart_dealloc(PyObject *op) {
    PyObject_GC_UnTrack(op);
    do_mimepart_clear(op);
    CurlMimePart_Type.tp_free(op);
}

PyTypeObject CurlMimePart_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "tolvex.CurlMimePart",
    .tp_basicsize = sizeof(CurlMimePartObject),
    .tp_dealloc = do_mimepart_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = "A MIME part belonging to a CurlMime object.",
    .tp_traverse = do_mimepart_traverse,
    .tp_clear = do_mimepart_clear,
    .tp_alloc = PyType_GenericAlloc,
    .tp_free = PyObject_GC_Del,
};
