// Module initialisation, the constant registry and the module functions.
#include "tolvex.h"

#include <cstdio>
#include <cstring>
#include <iterator>

PyObject *ErrorObject = nullptr;
PyObject *curlobject_constants = nullptr;
PyObject *curlmultiobject_constants = nullptr;
PyObject *curlshareobject_constants = nullptr;
char *g_tolvex_useragent = nullptr;
PyObject *bytesio = nullptr;
PyObject *khkey_type = nullptr;
PyObject *curl_sockaddr_type = nullptr;
PyObject *hsts_entry_type = nullptr;
PyObject *hsts_index_type = nullptr;
PyObject *ws_frame_type = nullptr;
PyObject *datetime_type = nullptr;
PyObject *utc_tz = nullptr;
char *empty_keywords[] = {nullptr};

PyTypeObject *p_Curl_Type = nullptr;
PyTypeObject *p_CurlMulti_Type = nullptr;
PyTypeObject *p_CurlShare_Type = nullptr;
PyTypeObject *p_CurlMime_Type = nullptr;
PyTypeObject *p_CurlMimePart_Type = nullptr;
PyTypeObject *p_CurlSlist_Type = nullptr;
PyTypeObject *p_CurlHttppost_Type = nullptr;

static const char useragent_prefix[] = "Tolvex/7.47.0 ";

// ---------------------------------------------------------------------------
// Constant registry.

enum class ConstTarget { Easy, Multi, Share, ModuleOnly };
struct ConstantDef {
    const char *name;
    long long value;
};
struct ConstantSegment {
    ConstTarget target;
    const ConstantDef *defs;
    size_t count;
};

#include "constants.inc"

int insobj2(PyObject *dict1, PyObject *dict2, const char *name, PyObject *value) {
    Ref owned = Ref::steal(value);
    if (!owned)
        return -1;
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key)
        return -1;
    int present = PyDict_Contains(dict1, key.get());
    if (present < 0)
        return -1;
    if (present) {
        std::fprintf(stderr, "Symbol already defined: %s\n", name);
        TOLVEX_ASSERT(0);
    }
    if (PyDict_SetItem(dict1, key.get(), value) != 0)
        return -1;
    if (dict2 != nullptr && dict2 != dict1) {
        TOLVEX_ASSERT_MSG(PyDict_GetItemWithError(dict2, key.get()) == nullptr && !PyErr_Occurred(),
                          "PyDict_GetItem(dict2, key) == NULL");
        if (PyDict_SetItem(dict2, key.get(), value) != 0)
            return -1;
    }
    return 0;
}

int insert_int(PyObject *d, PyObject *extra, const char *name, long long value) {
    return insobj2(d, extra, name, PyLong_FromLongLong(value));
}

int insert_str(PyObject *d, const char *name, const char *value) {
    return insobj2(d, nullptr, name, PyUnicode_FromString(value));
}

int insert_constants(PyObject *d) {
    for (const ConstantSegment &segment : constant_segments) {
        PyObject *extra = nullptr;
        switch (segment.target) {
        case ConstTarget::Easy:
            extra = curlobject_constants;
            break;
        case ConstTarget::Multi:
            extra = curlmultiobject_constants;
            break;
        case ConstTarget::Share:
            extra = curlshareobject_constants;
            break;
        case ConstTarget::ModuleOnly:
            break;
        }
        for (size_t i = 0; i < segment.count; ++i) {
            if (insert_int(d, extra, segment.defs[i].name, segment.defs[i].value) < 0)
                return -1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Module functions.

PyDoc_STRVAR(tolvex_global_init_doc, "global_init(option) -> None\n\n"
                                     "Initialize curl environment.\n");

static PyObject *do_global_init(PyObject *, PyObject *args) {
    int option;
    if (!PyArg_ParseTuple(args, "i:global_init", &option))
        return nullptr;
    if (static_cast<unsigned int>(option) > 7u) {
        PyErr_SetString(PyExc_ValueError, "invalid option to global_init");
        return nullptr;
    }
    if (curl_global_init(option) != CURLE_OK) {
        PyErr_SetString(ErrorObject, "unable to set global option");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(tolvex_global_cleanup_doc, "global_cleanup() -> None\n\n"
                                        "Cleanup curl environment.\n");

static PyObject *do_global_cleanup(PyObject *, PyObject *) {
    curl_global_cleanup();
    Py_RETURN_NONE;
}

// libcurl's version fields sometimes start with blanks; they are skipped.
static PyObject *vi_str(const char *s) {
    if (s == nullptr)
        Py_RETURN_NONE;
    while (*s == ' ' || *s == '\t')
        ++s;
    return PyUnicode_FromString(s);
}

PyDoc_STRVAR(tolvex_version_info_doc, "version_info() -> tuple\n\n"
                                      "Return the version information of the linked libcurl.\n");

static PyObject *do_version_info(PyObject *, PyObject *args) {
    int stamp = CURLVERSION_ELEVENTH;
    if (!PyArg_ParseTuple(args, "|i:version_info", &stamp))
        return nullptr;
    const curl_version_info_data *vi = curl_version_info(static_cast<CURLversion>(stamp));
    if (vi == nullptr) {
        PyErr_SetString(ErrorObject, "unable to get version info");
        return nullptr;
    }
    Py_ssize_t count = 0;
    if (vi->protocols)
        while (vi->protocols[count] != nullptr)
            ++count;
    Ref protocols = Ref::steal(PyTuple_New(count));
    if (!protocols)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *p = vi_str(vi->protocols[i]);
        if (p == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(protocols.get(), i, p);
    }
    return Py_BuildValue("(iNkNiNLNONiN)", static_cast<int>(vi->age), vi_str(vi->version),
                         static_cast<unsigned long>(vi->version_num), vi_str(vi->host),
                         vi->features, vi_str(vi->ssl_version),
                         static_cast<long long>(vi->ssl_version_num), vi_str(vi->libz_version),
                         protocols.get(), vi_str(vi->ares), vi->ares_num, vi_str(vi->libidn));
}

// The text of a libcurl code of one family; `Format` parses the code and
// names the function in argument errors.
template <typename Code, const char *(*Text)(Code), const char *Format>
static PyObject *do_strerror(PyObject *, PyObject *args) {
    int code;
    if (!PyArg_ParseTuple(args, Format, &code))
        return nullptr;
    return PyUnicode_FromString(Text(static_cast<Code>(code)));
}

static constexpr char easy_strerror_format[] = "i:easy_strerror";
static constexpr char multi_strerror_format[] = "i:multi_strerror";
static constexpr char share_strerror_format[] = "i:share_strerror";
static constexpr char url_strerror_format[] = "i:url_strerror";

static PyMethodDef tolvex_methods[] = {
    {"global_init", do_global_init, METH_VARARGS, tolvex_global_init_doc},
    {"global_cleanup", do_global_cleanup, METH_NOARGS, tolvex_global_cleanup_doc},
    {"version_info", do_version_info, METH_VARARGS, tolvex_version_info_doc},
    {"easy_strerror", do_strerror<CURLcode, curl_easy_strerror, easy_strerror_format>, METH_VARARGS,
     "easy_strerror(errornum) -> str\n\nReturn the text of a libcurl easy error code.\n"},
    {"multi_strerror", do_strerror<CURLMcode, curl_multi_strerror, multi_strerror_format>,
     METH_VARARGS,
     "multi_strerror(errornum) -> str\n\nReturn the text of a libcurl multi error code.\n"},
    {"share_strerror", do_strerror<CURLSHcode, curl_share_strerror, share_strerror_format>,
     METH_VARARGS,
     "share_strerror(errornum) -> str\n\nReturn the text of a libcurl share error code.\n"},
    {"url_strerror", do_strerror<CURLUcode, curl_url_strerror, url_strerror_format>, METH_VARARGS,
     "url_strerror(errornum) -> str\n\nReturn the text of a libcurl URL error code.\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module object.

PyDoc_STRVAR(tolvex_module_doc, "This module implements an interface to the libcurl library.\n"
                                "\n"
                                "Types:\n"
                                "\n"
                                "Curl() -> New object.  Create a new curl object.\n"
                                "CurlMulti() -> New object.  Create a new curl multi object.\n"
                                "CurlShare() -> New object.  Create a new curl share object.\n"
                                "\n"
                                "Functions:\n"
                                "\n"
                                "global_init(option) -> None.  Initialize curl environment.\n"
                                "global_cleanup() -> None.  Cleanup curl environment.\n"
                                "version_info() -> tuple.  Return version information.\n");

static void release_globals() {
    Py_CLEAR(bytesio);
    Py_CLEAR(ErrorObject);
    Py_CLEAR(khkey_type);
    Py_CLEAR(curl_sockaddr_type);
    Py_CLEAR(hsts_entry_type);
    Py_CLEAR(hsts_index_type);
    Py_CLEAR(datetime_type);
    Py_CLEAR(utc_tz);
    Py_CLEAR(ws_frame_type);
    Py_CLEAR(curlobject_constants);
    Py_CLEAR(curlmultiobject_constants);
    Py_CLEAR(curlshareobject_constants);
    if (g_tolvex_useragent != nullptr) {
        PyMem_Free(g_tolvex_useragent);
        g_tolvex_useragent = nullptr;
    }
}

static void tolvex_free(void *) {
    release_globals();
}

static PyModuleDef tolvex_module = {
    PyModuleDef_HEAD_INIT, "tolvex._tolvex", tolvex_module_doc, -1,
    tolvex_methods,        nullptr,          nullptr,           nullptr,
    tolvex_free,
};

// An attribute of a module, imported; null with an exception set.
static PyObject *import_attr(const char *module, const char *name) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    return imported ? PyObject_GetAttrString(imported.get(), name) : nullptr;
}

// Creates a named-tuple class and stores it in `*slot` and the module.
static int make_named_tuple(PyObject *namedtuple, PyObject *d, const char *name, const char *fields,
                            PyObject **slot) {
    Ref args = Ref::steal(Py_BuildValue("(ss)", name, fields));
    if (!args)
        return -1;
    *slot = PyObject_Call(namedtuple, args.get(), nullptr);
    if (*slot == nullptr)
        return -1;
    return PyDict_SetItemString(d, name, *slot);
}

static int init_module_values(PyObject *m) {
    PyObject *d = PyModule_GetDict(m);
    TOLVEX_ASSERT_MSG(d != nullptr, "d != NULL");

    ErrorObject = PyErr_NewException("tolvex.error", nullptr, nullptr);
    if (ErrorObject == nullptr || PyDict_SetItemString(d, "error", ErrorObject) < 0)
        return -1;

    curlobject_constants = PyDict_New();
    if (curlobject_constants == nullptr)
        return -1;
    curlmultiobject_constants = PyDict_New();
    if (curlmultiobject_constants == nullptr)
        return -1;
    curlshareobject_constants = PyDict_New();
    if (curlshareobject_constants == nullptr)
        return -1;

    const char *libcurl_version = curl_version();
    size_t len = std::strlen(libcurl_version);
    g_tolvex_useragent = static_cast<char *>(PyMem_Malloc(len + sizeof(useragent_prefix)));
    if (g_tolvex_useragent == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    std::memcpy(g_tolvex_useragent, useragent_prefix, sizeof(useragent_prefix) - 1);
    std::memcpy(g_tolvex_useragent + sizeof(useragent_prefix) - 1, libcurl_version, len + 1);

    if (insert_str(d, "version", g_tolvex_useragent) < 0 ||
        insert_int(d, nullptr, "COMPILE_PY_VERSION_HEX", PY_VERSION_HEX) < 0 ||
        insert_int(d, nullptr, "COMPILE_LIBCURL_VERSION_NUM", LIBCURL_VERSION_NUM) < 0 ||
        insert_str(d, "COMPILE_SSL_LIB", "openssl") < 0)
        return -1;

    struct {
        const char *name;
        PyTypeObject *type;
    } exposed[] = {
        {"Curl", p_Curl_Type},
        {"CurlMulti", p_CurlMulti_Type},
        {"CurlShare", p_CurlShare_Type},
        {"CurlMime", p_CurlMime_Type},
        {"CurlMimePart", p_CurlMimePart_Type},
    };
    for (auto &e : exposed)
        if (insobj2(d, nullptr, e.name, Py_NewRef(reinterpret_cast<PyObject *>(e.type))) < 0)
            return -1;

    if (insert_constants(d) < 0)
        return -1;

    Ref namedtuple = Ref::steal(import_attr("collections", "namedtuple"));
    bytesio = import_attr("io", "BytesIO");
    datetime_type = import_attr("datetime", "datetime");
    Ref timezone = Ref::steal(import_attr("datetime", "timezone"));
    if (!namedtuple || bytesio == nullptr || datetime_type == nullptr || !timezone)
        return -1;
    utc_tz = PyObject_GetAttrString(timezone.get(), "utc");
    if (utc_tz == nullptr ||
        make_named_tuple(namedtuple.get(), d, "KhKey", "key keytype", &khkey_type) < 0 ||
        make_named_tuple(namedtuple.get(), d, "CurlSockAddr", "family socktype protocol addr",
                         &curl_sockaddr_type) < 0 ||
        make_named_tuple(namedtuple.get(), d, "HstsEntry", "host expire include_subdomains",
                         &hsts_entry_type) < 0 ||
        make_named_tuple(namedtuple.get(), d, "HstsIndex", "idx total", &hsts_index_type) < 0 ||
        make_named_tuple(namedtuple.get(), d, "WsFrame", "age flags offset bytesleft len",
                         &ws_frame_type) < 0)
        return -1;
    return 0;
}

// libcurl's number of a "major.minor.patch" version text.
static consteval unsigned int version_number(const char *text) {
    unsigned int number = 0, part = 0;
    for (; *text != '\0'; ++text) {
        if (*text == '.') {
            number = (number << 8) | part;
            part = 0;
        } else {
            part = part * 10 + static_cast<unsigned int>(*text - '0');
        }
    }
    return (number << 8) | part;
}
static_assert(version_number("8.21.0") == 0x081500);

PyMODINIT_FUNC PyInit__tolvex() {
    TOLVEX_ASSERT_MSG(Curl_Type.tp_weaklistoffset > 0, "Curl_Type.tp_weaklistoffset > 0");
    TOLVEX_ASSERT_MSG(CurlMulti_Type.tp_weaklistoffset > 0, "CurlMulti_Type.tp_weaklistoffset > 0");
    TOLVEX_ASSERT_MSG(CurlShare_Type.tp_weaklistoffset > 0, "CurlShare_Type.tp_weaklistoffset > 0");

    const curl_version_info_data *vi = curl_version_info(CURLVERSION_ELEVENTH);
    if (vi == nullptr) {
        PyErr_SetString(PyExc_ImportError, "tolvex: curl_version_info() failed");
        return nullptr;
    }
    if (vi->version_num < version_number(TOLVEX_LIBCURL_MINIMUM)) {
        PyErr_Format(PyExc_ImportError,
                     "tolvex: libcurl link-time version (%s) is older than compile-time "
                     "version (%s)",
                     vi->version, TOLVEX_LIBCURL_MINIMUM);
        return nullptr;
    }

    const curl_ssl_backend **backends = nullptr;
    CURLsslset sslset = curl_global_sslset(static_cast<curl_sslbackend>(-1), "openssl", &backends);
    if (sslset != CURLSSLSET_OK) {
        char available[200] = "";
        if (sslset == CURLSSLSET_NO_BACKENDS) {
            std::snprintf(available, sizeof(available), "none");
        } else if (backends != nullptr) {
            size_t used = 0;
            for (int i = 0; backends[i] != nullptr && used < sizeof(available) - 1; ++i) {
                int n = std::snprintf(available + used, sizeof(available) - used, "%s%s",
                                      i ? ", " : "", backends[i]->name);
                if (n < 0)
                    break;
                used += static_cast<size_t>(n);
            }
        }
        PyErr_Format(PyExc_ImportError,
                     "tolvex: libcurl link-time ssl backends (%s) do not include compile-time "
                     "ssl backend (%s)",
                     available, "openssl");
        return nullptr;
    }

    p_Curl_Type = &Curl_Type;
    p_CurlMulti_Type = &CurlMulti_Type;
    p_CurlShare_Type = &CurlShare_Type;
    p_CurlMime_Type = &CurlMime_Type;
    p_CurlMimePart_Type = &CurlMimePart_Type;
    p_CurlSlist_Type = &CurlSlist_Type;
    p_CurlHttppost_Type = &CurlHttppost_Type;
    PyTypeObject *types[] = {&Curl_Type,      &CurlSlist_Type, &CurlHttppost_Type, &CurlMulti_Type,
                             &CurlShare_Type, &CurlMime_Type,  &CurlMimePart_Type};
    for (PyTypeObject *t : types)
        Py_SET_TYPE(t, &PyType_Type);
    for (PyTypeObject *t : types)
        if (PyType_Ready(t) < 0)
            return nullptr;

    PyObject *m = PyModule_Create2(&tolvex_module, PYTHON_API_VERSION);
    if (m == nullptr)
        return nullptr;
    if (init_module_values(m) < 0) {
        // The module's free hook runs when `m` goes and releases the values
        // made so far; a failure without an exception still reports one.
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "curl module init failed");
        Py_DECREF(m);
        release_globals();
        return nullptr;
    }
    return m;
}
