// Setting options on a Curl handle: integers, strings, blobs, string lists,
// classic forms, callables, file objects, the share and the MIME body.
#include "tolvex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>

// Whether a list of option numbers holds `option`.
template <size_t N>
static constexpr bool contains(const int (&options)[N], int option) {
    return std::find(options, options + N, option) != options + N;
}

// The checks of setopt and unsetopt: the handle open and idle, the option
// number within libcurl's range.  0, or -1 with an exception set.
static int check_option(CurlObject *self, int option, const char *method) {
    if (check_curl_state(self, GUARD_OPEN_IDLE | GUARD_SET_UP, method) != 0)
        return -1;
    if (option_in_range(option, CURLOPTTYPE_BLOB, CURLOPT_LASTENTRY))
        return 0;
    PyErr_Format(PyExc_TypeError, "invalid arguments to %s", method);
    return -1;
}

// Converts text for libcurl; `size` is filled only when NUL bytes may be
// embedded.  0 on success, -1 with the conversion's error set.
static int text_arg(PyObject *obj, TextArg &out, bool with_size) {
    PyObject *encoded = nullptr;
    int rv = PyText_AsStringAndSize(obj, &out.data, with_size ? &out.size : nullptr, &encoded);
    out.keeper = Ref::steal(encoded);
    if (rv == 0 && !with_size)
        out.size = static_cast<Py_ssize_t>(std::strlen(out.data));
    return rv;
}

// ---------------------------------------------------------------------------
// Integers.

// libcurl reads the POSTFIELDS bytes in place for as many bytes as the body
// size says: a size past the bytes held would send the memory after them.
static int check_body_size(const CurlObject *self, int option, long long size) {
    if ((option != CURLOPT_POSTFIELDSIZE && option != CURLOPT_POSTFIELDSIZE_LARGE) ||
        self->postfields_obj == nullptr)
        return 0;
    Py_ssize_t held = PyBytes_GET_SIZE(self->postfields_obj);
    if (size <= held)
        return 0;
    PyErr_Format(PyExc_ValueError, "body size %lld is larger than the %zd bytes of POSTFIELDS",
                 size, held);
    return -1;
}

static PyObject *do_curl_setopt_int(CurlObject *self, int option, PyObject *obj) {
    CURLcode res;
    if (option < 10000) {
        long value = PyLong_AsLong(obj);
        if (value == -1 && PyErr_Occurred())
            return nullptr;
        if (check_body_size(self, option, value) != 0)
            return nullptr;
        res = curl_easy_setopt(self->handle, static_cast<CURLoption>(option), value);
    } else if (option >= 30000 && option < 40000) {
        long long value = PyLong_AsLongLong(obj);
        if (value == -1 && PyErr_Occurred())
            return nullptr;
        if (check_body_size(self, option, value) != 0)
            return nullptr;
        res = curl_easy_setopt(self->handle, static_cast<CURLoption>(option),
                               static_cast<curl_off_t>(value));
    } else {
        PyErr_SetString(PyExc_TypeError, "integers are not supported for this option");
        return nullptr;
    }
    if (res != CURLE_OK)
        return raise_curl_error(self, res);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Strings.

// The type libcurl gives an option (CURLOT_*), or -1 for a number that
// names none.  Strings and blobs are set as libcurl types them: it copies
// every one of its strings but POSTFIELDS.
static int option_type(int option) {
    const curl_easyoption *o = curl_easy_option_by_id(static_cast<CURLoption>(option));
    return o != nullptr ? static_cast<int>(o->type) : -1;
}

static constexpr int deprecated_string_options[] = {
    CURLOPT_KRBLEVEL,
    CURLOPT_RANDOM_FILE,
    CURLOPT_EGDSOCKET,
    CURLOPT_SOCKS5_GSSAPI_SERVICE,
};

static PyObject *setopt_postfields(CurlObject *self, PyObject *obj) {
    TextArg text;
    if (text_arg(obj, text, true) != 0)
        return nullptr;
    CURLcode res;
    if (text.size < 2147483648LL)
        res = curl_easy_setopt(self->handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(text.size));
    else
        res = curl_easy_setopt(self->handle, CURLOPT_POSTFIELDSIZE_LARGE,
                               static_cast<curl_off_t>(text.size));
    if (res == CURLE_OK)
        res = curl_easy_setopt(self->handle, CURLOPT_POSTFIELDS, text.data);
    if (res != CURLE_OK)
        return raise_curl_error(self, res);
    // libcurl reads the posted bytes in place: keep their owner alive.
    PyObject *keeper = text.keeper ? text.keeper.release() : Py_NewRef(obj);
    PyObject *old = self->postfields_obj;
    self->postfields_obj = keeper;
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

PyObject *do_curl_setopt_string_impl(CurlObject *self, int option, PyObject *obj) {
    if (option == CURLOPT_POSTFIELDS)
        return setopt_postfields(self, obj);
    int type = option_type(option);
    if (type == CURLOT_BLOB) {
        TextArg text;
        if (text_arg(obj, text, true) != 0)
            return nullptr;
        curl_blob blob{text.data, static_cast<size_t>(text.size), CURL_BLOB_COPY};
        CURLcode res = curl_easy_setopt(self->handle, static_cast<CURLoption>(option), &blob);
        if (res != CURLE_OK)
            return raise_curl_error(self, res);
        Py_RETURN_NONE;
    }
    bool deprecated = contains(deprecated_string_options, option);
    if (type != CURLOT_STRING && option != CURLOPT_COPYPOSTFIELDS &&
        option != CURLOPT_WILDCARDMATCH) {
        PyErr_SetString(PyExc_TypeError, "strings are not supported for this option");
        return nullptr;
    }
    if (deprecated && PyErr_WarnEx(PyExc_DeprecationWarning, "setopt option is deprecated", 1) < 0)
        return nullptr;
    TextArg text;
    if (text_arg(obj, text, false) != 0)
        return nullptr;
    CURLcode res;
    if (option == CURLOPT_COPYPOSTFIELDS) {
        // libcurl copies as many bytes as the body size last set; a longer
        // POSTFIELDS set before would make it read past this text.
        res = curl_easy_setopt(self->handle, CURLOPT_POSTFIELDSIZE_LARGE,
                               static_cast<curl_off_t>(text.size));
        if (res == CURLE_OK)
            res = curl_easy_setopt(self->handle, CURLOPT_COPYPOSTFIELDS, text.data);
        // libcurl now posts its own copy, not the bytes held for POSTFIELDS.
        if (res == CURLE_OK)
            clear_field(self->postfields_obj);
    } else if (option == CURLOPT_WILDCARDMATCH) {
        // Any text switches wildcard matching on.
        res = curl_easy_setopt(self->handle, CURLOPT_WILDCARDMATCH, 1L);
    } else {
        res = curl_easy_setopt(self->handle, static_cast<CURLoption>(option), text.data);
    }
    if (res != CURLE_OK)
        return raise_curl_error(self, res);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Resetting options.

static const ListOption *find_list_option(int option) {
    for (const ListOption &l : curl_list_options)
        if (l.option == option)
            return &l;
    return nullptr;
}

static constexpr int null_resettable_options[] = {
    CURLOPT_PROXY,
    CURLOPT_USERPWD,
    CURLOPT_PROXYUSERPWD,
    CURLOPT_RANGE,
    CURLOPT_FTPPORT,
    CURLOPT_COOKIE,
    CURLOPT_CUSTOMREQUEST,
    CURLOPT_CAINFO,
    CURLOPT_RANDOM_FILE,
    CURLOPT_EGDSOCKET,
    CURLOPT_COOKIEJAR,
    CURLOPT_SSL_CIPHER_LIST,
    CURLOPT_CAPATH,
    CURLOPT_ACCEPT_ENCODING,
    CURLOPT_USERNAME,
    CURLOPT_PASSWORD,
    CURLOPT_PROXYUSERNAME,
    CURLOPT_PROXYPASSWORD,
    CURLOPT_PROXY_SERVICE_NAME,
    CURLOPT_SERVICE_NAME,
    CURLOPT_PROXY_CAINFO,
    CURLOPT_PROXY_CAPATH,
    CURLOPT_PROXY_SSLCERT,
    CURLOPT_PROXY_SSLCERTTYPE,
    CURLOPT_PROXY_SSLKEY,
    CURLOPT_PROXY_SSLKEYTYPE,
    CURLOPT_PROXY_SSL_CIPHER_LIST,
    CURLOPT_PRE_PROXY,
    CURLOPT_HSTS,
    CURLOPT_WRITEHEADER,
};

static bool is_null_resettable(int option) {
    return contains(null_resettable_options, option) || option_type(option) == CURLOT_BLOB;
}

// The field that owns what a pointer option points at: a string list, the
// classic form or the MIME body; null for any other option.
static PyObject *CurlObject::*owner_field(int option) {
    if (const ListOption *l = find_list_option(option))
        return l->field;
    if (option == CURLOPT_HTTPPOST)
        return &CurlObject::httppost_obj;
    return option == CURLOPT_MIMEPOST ? &CurlObject::mimepost_obj : nullptr;
}

static PyObject *util_curl_unsetopt(CurlObject *self, int option) {
    CURL *h = self->handle;
    auto opt = static_cast<CURLoption>(option);
    CURLcode res;
    // What the option points at is released once libcurl has let go of it.
    PyObject *CurlObject::*owner = owner_field(option);
    const CallbackOption *row = find_callback_option(option);
    if (is_null_resettable(option) || owner != nullptr) {
        res = curl_easy_setopt(h, opt, static_cast<void *>(nullptr));
    } else if (option == CURLOPT_CERTINFO || option == CURLOPT_INFILESIZE) {
        res = curl_easy_setopt(h, opt, option == CURLOPT_CERTINFO ? 0L : -1L);
    } else if (option == CURLOPT_SHARE) {
        res = util_share_detach_easy(self, ShareLeave::if_libcurl_accepts);
    } else if (row != nullptr) {
        owner = row->field;
        res = curl_easy_setopt(h, opt, static_cast<void *>(nullptr));
        // Without a function libcurl writes to or reads from its data as a
        // FILE *.
        void *data = row->unset_data == UnsetData::stdout_stream  ? static_cast<void *>(stdout)
                     : row->unset_data == UnsetData::stdin_stream ? static_cast<void *>(stdin)
                                                                  : nullptr;
        // A data option two callbacks share (CHUNK_DATA, XFERINFODATA) stays
        // while the other one is installed: its callback reads it.
        bool shared =
            std::any_of(std::begin(curl_callback_options), std::end(curl_callback_options),
                        [&](const CallbackOption &other) {
                            return &other != row && other.data_option == row->data_option &&
                                   self->*other.field != nullptr;
                        });
        if (res == CURLE_OK && !shared)
            res = curl_easy_setopt(h, row->data_option, data);
    } else {
        PyErr_SetString(PyExc_TypeError, "unsetopt() is not supported for this option");
        return nullptr;
    }
    if (res != CURLE_OK)
        return raise_curl_error(self, res);
    if (owner != nullptr)
        clear_field(self->*owner);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// String lists and classic forms.

// The owners of string lists and classic form chains: a Curl keeps the
// lists its options point into as long as libcurl may read them.

// The type of an owner of a libcurl chain.
static PyTypeObject chain_owner_type(const char *name, Py_ssize_t size, destructor dealloc) {
    return {.ob_base = {PyObject_HEAD_INIT(nullptr) 0},
            .tp_name = name,
            .tp_basicsize = size,
            .tp_dealloc = dealloc,
            .tp_flags = Py_TPFLAGS_DEFAULT,
            .tp_free = PyObject_Free};
}

static void do_curlslist_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<CurlSlistObject *>(op);
    if (self->list_head != nullptr) {
        curl_slist_free_all(self->list_head);
        self->list_head = nullptr;
    }
    CurlSlist_Type.tp_free(op);
}

PyTypeObject CurlSlist_Type =
    chain_owner_type("tolvex.CurlSlist", sizeof(CurlSlistObject), do_curlslist_dealloc);

static void do_curlhttppost_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<CurlHttppostObject *>(op);
    if (self->form_chain != nullptr) {
        curl_formfree(self->form_chain);
        self->form_chain = nullptr;
    }
    clear_field(self->buffer_refs);
    CurlHttppost_Type.tp_free(op);
}

PyTypeObject CurlHttppost_Type =
    chain_owner_type("tolvex.CurlHttppost", sizeof(CurlHttppostObject), do_curlhttppost_dealloc);

PyObject *util_curlslist_new(curl_slist *list) {
    auto *self = PyObject_New(CurlSlistObject, p_CurlSlist_Type);
    if (self == nullptr)
        return nullptr;
    self->list_head = list;
    return reinterpret_cast<PyObject *>(self);
}

int util_curlslist_update(PyObject **field, curl_slist *list) {
    PyObject *owner = util_curlslist_new(list);
    if (owner == nullptr)
        return -1;
    PyObject *old = *field;
    *field = owner;
    Py_XDECREF(old);
    return 0;
}

int util_curlhttppost_update(CurlObject *self, curl_httppost *chain, PyObject *refs) {
    auto *owner = PyObject_New(CurlHttppostObject, p_CurlHttppost_Type);
    if (owner == nullptr)
        return -1;
    owner->form_chain = chain;
    owner->buffer_refs = refs;
    PyObject *old = self->httppost_obj;
    self->httppost_obj = reinterpret_cast<PyObject *>(owner);
    Py_XDECREF(old);
    return 0;
}

curl_slist *tolvex_list_or_tuple_to_slist(int which, PyObject *list, Py_ssize_t len) {
    SlistPtr slist;
    for (Py_ssize_t i = 0; i < len; ++i) {
        PyObject *item = PyListOrTuple_GetItem(list, i, which);
        if (!PyText_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "list items must be byte strings or Unicode "
                                             "strings with ASCII code points only");
            return nullptr;
        }
        PyObject *encoded = nullptr;
        char *str = PyText_AsString_NoNUL(item, &encoded);
        Ref keeper = Ref::steal(encoded);
        if (str == nullptr)
            return nullptr;
        curl_slist *appended = curl_slist_append(slist.get(), str);
        if (appended == nullptr || appended->data == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        (void)slist.release(); // the appended list has the same head
        slist.reset(appended);
    }
    return slist.release();
}

static PyObject *do_curl_setopt_list(CurlObject *self, int option, int which, PyObject *obj) {
    const ListOption *l = find_list_option(option);
    if (l == nullptr) {
        PyErr_SetString(PyExc_TypeError, "lists are not supported for this option");
        return nullptr;
    }
    Py_ssize_t len = PyListOrTuple_Size(obj, which);
    if (len == 0)
        Py_RETURN_NONE;
    SlistPtr slist(tolvex_list_or_tuple_to_slist(which, obj, len));
    if (slist.get() == nullptr)
        return nullptr;
    CURLcode res = curl_easy_setopt(self->handle, static_cast<CURLoption>(option), slist.get());
    if (res != CURLE_OK)
        return raise_curl_error(self, res);
    if (util_curlslist_update(&(self->*(l->field)), slist.get()) != 0) {
        curl_easy_setopt(self->handle, static_cast<CURLoption>(option),
                         static_cast<curl_slist *>(nullptr));
        return nullptr;
    }
    (void)slist.release();
    Py_RETURN_NONE;
}

static int form_error(CurlObject *self, int code) {
    raise_curl_error(self, static_cast<CURLcode>(code));
    return -1;
}

// Adds one (name, value) field to the chain; 0, or -1 with an exception set.
static int add_form_field(CurlObject *self, PyObject *field, curl_httppost **first,
                          curl_httppost **last, Ref &refs) {
    int kind = PyListOrTuple_Check(field);
    if (kind == 0) {
        PyErr_SetString(PyExc_TypeError, "list items must be list or tuple objects");
        return -1;
    }
    if (PyListOrTuple_Size(field, kind) != 2) {
        PyErr_SetString(PyExc_TypeError, "list or tuple must contain two elements (name, value)");
        return -1;
    }
    PyObject *name_obj = PyListOrTuple_GetItem(field, 0, kind);
    PyObject *value = PyListOrTuple_GetItem(field, 1, kind);
    TextArg name;
    if (!PyText_Check(name_obj) || text_arg(name_obj, name, true) != 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "list or tuple must contain a byte string or Unicode "
                                         "string with ASCII code points only as first element");
        return -1;
    }
    CURLFORMcode res;
    if (PyText_Check(value)) {
        TextArg contents;
        if (text_arg(value, contents, true) != 0) {
            PyErr_Clear();
            return form_error(self, CURLE_BAD_FUNCTION_ARGUMENT);
        }
        res = curl_formadd(first, last, CURLFORM_COPYNAME, name.data, CURLFORM_NAMELENGTH,
                           static_cast<long>(name.size), CURLFORM_COPYCONTENTS, contents.data,
                           CURLFORM_CONTENTSLENGTH, static_cast<long>(contents.size), CURLFORM_END);
    } else if (int vkind = PyListOrTuple_Check(value)) {
        Py_ssize_t n = PyListOrTuple_Size(value, vkind);
        if (n < 2) {
            PyErr_SetString(PyExc_TypeError,
                            "list or tuple must contain at least one option and one value");
            return -1;
        }
        if (n % 2 != 0) {
            PyErr_SetString(PyExc_TypeError, "list or tuple must contain an even number of items");
            return -1;
        }
        if (n > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(2 * sizeof(curl_forms)) - 1) {
            PyErr_NoMemory();
            return -1;
        }
        std::unique_ptr<curl_forms[]> forms(new (std::nothrow) curl_forms[2 * n + 1]);
        std::unique_ptr<TextArg[]> texts(new (std::nothrow) TextArg[n / 2]);
        if (!forms || !texts) {
            PyErr_NoMemory();
            return -1;
        }
        Py_ssize_t k = 0;
        for (Py_ssize_t i = 0; i < n; i += 2) {
            PyObject *code_obj = PyListOrTuple_GetItem(value, i, vkind);
            PyObject *text_obj = PyListOrTuple_GetItem(value, i + 1, vkind);
            if (!PyLong_Check(code_obj)) {
                PyErr_SetString(PyExc_TypeError, "option must be an integer");
                return -1;
            }
            if (!PyText_Check(text_obj)) {
                PyErr_SetString(PyExc_TypeError,
                                "value must be a byte string or a Unicode string with ASCII "
                                "code points only");
                return -1;
            }
            long code = PyLong_AsLong(code_obj);
            if (code != CURLFORM_COPYCONTENTS && code != CURLFORM_FILE && code != CURLFORM_BUFFER &&
                code != CURLFORM_BUFFERPTR && code != CURLFORM_CONTENTTYPE &&
                code != CURLFORM_FILENAME) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "unsupported option");
                return -1;
            }
            TextArg &text = texts[i / 2];
            if (text_arg(text_obj, text, true) != 0)
                return -1;
            forms[k].option = static_cast<CURLformoption>(code);
            forms[k].value = text.data;
            ++k;
            if (code == CURLFORM_COPYCONTENTS) {
                forms[k].option = CURLFORM_CONTENTSLENGTH;
                forms[k].value = reinterpret_cast<const char *>(static_cast<intptr_t>(text.size));
                ++k;
            } else if (code == CURLFORM_BUFFERPTR) {
                forms[k].option = CURLFORM_BUFFERLENGTH;
                forms[k].value = reinterpret_cast<const char *>(static_cast<intptr_t>(text.size));
                ++k;
                // libcurl points into this buffer until the form is freed.
                if (!refs) {
                    refs = Ref::steal(PyList_New(0));
                    if (!refs)
                        return -1;
                }
                PyObject *keep = text.keeper ? text.keeper.get() : text_obj;
                if (PyList_Append(refs.get(), keep) != 0)
                    return -1;
            }
        }
        forms[k].option = CURLFORM_END;
        forms[k].value = nullptr;
        res = curl_formadd(first, last, CURLFORM_COPYNAME, name.data, CURLFORM_NAMELENGTH,
                           static_cast<long>(name.size), CURLFORM_ARRAY, forms.get(), CURLFORM_END);
    } else {
        PyErr_SetString(PyExc_TypeError, "unsupported second type in tuple");
        return -1;
    }
    if (res != CURL_FORMADD_OK)
        return form_error(self, static_cast<int>(res));
    return 0;
}

static PyObject *do_curl_setopt_httppost(CurlObject *self, int which, PyObject *obj) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, "HTTPPOST is deprecated; use MIMEPOST", 1) < 0)
        return nullptr;
    Py_ssize_t len = PyListOrTuple_Size(obj, which);
    if (len == 0)
        Py_RETURN_NONE;
    curl_httppost *first = nullptr;
    curl_httppost *last = nullptr;
    Ref refs;
    for (Py_ssize_t i = 0; i < len; ++i) {
        if (add_form_field(self, PyListOrTuple_GetItem(obj, i, which), &first, &last, refs) != 0) {
            curl_formfree(first);
            return nullptr;
        }
    }
    HttppostPtr chain(first);
    CURLcode res = CURLE_OK;
    if (self->mimepost_obj != nullptr)
        res = curl_easy_setopt(self->handle, CURLOPT_MIMEPOST, static_cast<curl_mime *>(nullptr));
    if (res == CURLE_OK)
        res = curl_easy_setopt(self->handle, CURLOPT_HTTPPOST, chain.get());
    if (res != CURLE_OK)
        return raise_curl_error(self, res);
    clear_field(self->mimepost_obj);
    if (util_curlhttppost_update(self, chain.get(), refs.get()) != 0) {
        curl_easy_setopt(self->handle, CURLOPT_HTTPPOST, static_cast<curl_httppost *>(nullptr));
        return nullptr;
    }
    (void)chain.release();
    (void)refs.release();
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Callables and file objects.

static PyObject *do_curl_setopt_callable(CurlObject *self, int option, PyObject *obj,
                                         int use_memoryview) {
    const CallbackOption *row = find_callback_option(option);
    if (row == nullptr) {
        PyErr_SetString(PyExc_TypeError, "functions are not supported for this option");
        return nullptr;
    }
    if (row->deprecation != nullptr &&
        PyErr_WarnEx(PyExc_DeprecationWarning, row->deprecation, 1) < 0)
        return nullptr;
    void *data = row->user_data != nullptr ? row->user_data(self) : self;
    if (data == nullptr)
        return nullptr;
    replace_field(self->*(row->field), obj);
    if (row->use_memoryview != nullptr)
        self->*(row->use_memoryview) = use_memoryview == 1;
    (void)row->install(self->handle, row->function_option);
    curl_easy_setopt(self->handle, row->data_option, data);
    Py_RETURN_NONE;
}

PyObject *do_curl_setopt_filelike(CurlObject *self, int option, PyObject *obj) {
    const char *method = option == CURLOPT_READDATA ? "read" : "write";
    Ref bound = Ref::steal(PyObject_GetAttrString(obj, method));
    if (!bound) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, option == CURLOPT_READDATA
                                             ? "object given without a read method"
                                             : "object given without a write method");
        return nullptr;
    }
    int function_option;
    switch (option) {
    case CURLOPT_WRITEHEADER:
        function_option = CURLOPT_HEADERFUNCTION;
        break;
    case CURLOPT_READDATA:
        function_option = CURLOPT_READFUNCTION;
        break;
    case CURLOPT_WRITEDATA:
        function_option = CURLOPT_WRITEFUNCTION;
        break;
    default:
        PyErr_SetString(PyExc_TypeError, "objects are not supported for this option");
        return nullptr;
    }
    Ref args = Ref::steal(Py_BuildValue("(iO)", function_option, bound.get()));
    if (!args)
        return nullptr;
    bound.reset();
    return do_curl_setopt(self, args.get(), nullptr);
}

// ---------------------------------------------------------------------------
// Share and MIME attachments.

static PyObject *do_curl_setopt_share(CurlObject *self, PyObject *obj) {
    if (self->share != nullptr) {
        PyErr_SetString(ErrorObject, "Curl object already sharing. Unshare first.");
        return nullptr;
    }
    if (Py_TYPE(obj) != p_CurlShare_Type) {
        PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
        return nullptr;
    }
    auto *share = reinterpret_cast<CurlShareObject *>(obj);
    // The share's connection pool may keep connections made from now on.
    if (self->closesocket_closer != nullptr &&
        socket_closer_hold(share->socket_closers, self->closesocket_closer) != 0)
        return nullptr;
    if (util_share_attach_easy(self, share) != 0)
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject *do_curl_setopt_mime(CurlObject *self, PyObject *obj) {
    if (!PyObject_TypeCheck(obj, p_CurlMime_Type)) {
        PyErr_SetString(PyExc_TypeError, "setopt(option=MIMEPOST) expects a CurlMime object");
        return nullptr;
    }
    auto *mime = reinterpret_cast<CurlMimeObject *>(obj);
    if (mime->mime_handle == nullptr) {
        PyErr_SetString(PyExc_ValueError, "setopt(option=MIMEPOST) received a closed mime object");
        return nullptr;
    }
    if (mime->owns_handle != 1) {
        PyErr_SetString(PyExc_ValueError,
                        "setopt(option=MIMEPOST) received a mime object already attached as "
                        "subparts");
        return nullptr;
    }
    if (mime->curl != self) {
        PyErr_SetString(PyExc_ValueError,
                        "setopt(option=MIMEPOST) requires a CurlMime created with this Curl "
                        "handle");
        return nullptr;
    }
    CURLcode res = curl_easy_setopt(self->handle, CURLOPT_MIMEPOST, mime->mime_handle);
    if (res != CURLE_OK)
        return raise_curl_error(self, res);
    replace_field(self->mimepost_obj, obj);
    clear_field(self->httppost_obj);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// The methods.

PyObject *do_curl_setopt(CurlObject *self, PyObject *args, PyObject *kwds) {
    static char *kwlist[] = {const_cast<char *>("option"), const_cast<char *>("value"),
                             const_cast<char *>("use_memoryview"), nullptr};
    int option;
    PyObject *obj;
    int use_memoryview = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "iO|$p:setopt", kwlist, &option, &obj,
                                     &use_memoryview))
        return nullptr;
    if (check_option(self, option, "setopt") != 0)
        return nullptr;
    if (use_memoryview != -1 && option != CURLOPT_WRITEFUNCTION &&
        option != CURLOPT_HEADERFUNCTION) {
        PyErr_SetString(PyExc_TypeError,
                        "use_memoryview is only supported for WRITEFUNCTION and HEADERFUNCTION");
        return nullptr;
    }
    if (obj == Py_None)
        return util_curl_unsetopt(self, option);
    if (PyText_Check(obj))
        return do_curl_setopt_string_impl(self, option, obj);
    if (PyLong_Check(obj))
        return do_curl_setopt_int(self, option, obj);
    if (int which = PyListOrTuple_Check(obj)) {
        if (option == CURLOPT_HTTPPOST)
            return do_curl_setopt_httppost(self, which, obj);
        return do_curl_setopt_list(self, option, which, obj);
    }
    if (PyCallable_Check(obj))
        return do_curl_setopt_callable(self, option, obj, use_memoryview);
    switch (option) {
    case CURLOPT_WRITEDATA:
    case CURLOPT_READDATA:
    case CURLOPT_WRITEHEADER:
        return do_curl_setopt_filelike(self, option, obj);
    case CURLOPT_MIMEPOST:
        return do_curl_setopt_mime(self, obj);
    case CURLOPT_SHARE:
        return do_curl_setopt_share(self, obj);
    default:
        PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
        return nullptr;
    }
}

PyObject *do_curl_unsetopt(CurlObject *self, PyObject *args) {
    int option;
    if (!PyArg_ParseTuple(args, "i:unsetopt", &option))
        return nullptr;
    if (check_option(self, option, "unsetopt") != 0)
        return nullptr;
    return util_curl_unsetopt(self, option);
}

PyObject *do_curl_setopt_string(CurlObject *self, PyObject *args) {
    int option;
    PyObject *obj;
    if (!PyArg_ParseTuple(args, "iO:setopt", &option, &obj))
        return nullptr;
    if (check_curl_state(self, GUARD_OPEN_IDLE | GUARD_SET_UP, "setopt") != 0)
        return nullptr;
    if (!PyText_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt_string");
        return nullptr;
    }
    return do_curl_setopt_string_impl(self, option, obj);
}

PyObject *do_curl_set_ca_certs(CurlObject *self, PyObject *args) {
    PyObject *cadata;
    if (!PyArg_ParseTuple(args, "O:cadata", &cadata))
        return nullptr;
    TextArg text;
    if (!PyText_Check(cadata) || text_arg(cadata, text, true) != 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "set_ca_certs argument must be a byte string or a "
                                         "Unicode string with ASCII code points only");
        return nullptr;
    }
    PyObject *keeper = text.keeper ? text.keeper.release() : Py_NewRef(cadata);
    PyObject *old = self->ca_certs_obj;
    self->ca_certs_obj = keeper;
    Py_XDECREF(old);
    int res = ssl_ctx_callback_install(self);
    if (res != CURLE_OK) {
        clear_field(self->ca_certs_obj);
        return raise_curl_error(self, static_cast<CURLcode>(res));
    }
    Py_RETURN_NONE;
}
