// Reading results of a transfer: getinfo, getinfo_raw, errstr, errstr_raw.
#include "tolvex.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

#include "libcurl_infos.h"

enum class InfoKind { String, Long, Double, OffT, StringList, CertInfo, Socket };

// The informations getinfo reads: these, the deprecated doubles, and those
// the build found in the linked libcurl's headers (libcurl_infos.h).  Their
// kind is the type libcurl encodes in the number; the deprecated ones warn.
static constexpr int known_infos[] = {
    CURLINFO_EFFECTIVE_URL,
    CURLINFO_CONTENT_TYPE,
    CURLINFO_FTP_ENTRY_PATH,
    CURLINFO_REDIRECT_URL,
    CURLINFO_PRIMARY_IP,
    CURLINFO_RTSP_SESSION_ID,
    CURLINFO_LOCAL_IP,
    CURLINFO_EFFECTIVE_METHOD,
    CURLINFO_RESPONSE_CODE,
    CURLINFO_HEADER_SIZE,
    CURLINFO_REQUEST_SIZE,
    CURLINFO_SSL_VERIFYRESULT,
    CURLINFO_FILETIME,
    CURLINFO_REDIRECT_COUNT,
    CURLINFO_HTTP_CONNECTCODE,
    CURLINFO_HTTPAUTH_AVAIL,
    CURLINFO_PROXYAUTH_AVAIL,
    CURLINFO_OS_ERRNO,
    CURLINFO_NUM_CONNECTS,
    CURLINFO_CONDITION_UNMET,
    CURLINFO_RTSP_CLIENT_CSEQ,
    CURLINFO_RTSP_SERVER_CSEQ,
    CURLINFO_RTSP_CSEQ_RECV,
    CURLINFO_PRIMARY_PORT,
    CURLINFO_LOCAL_PORT,
    CURLINFO_HTTP_VERSION,
    CURLINFO_TOTAL_TIME,
    CURLINFO_NAMELOOKUP_TIME,
    CURLINFO_CONNECT_TIME,
    CURLINFO_PRETRANSFER_TIME,
    CURLINFO_STARTTRANSFER_TIME,
    CURLINFO_REDIRECT_TIME,
    CURLINFO_APPCONNECT_TIME,
    CURLINFO_SIZE_UPLOAD_T,
    CURLINFO_SIZE_DOWNLOAD_T,
    CURLINFO_SPEED_DOWNLOAD_T,
    CURLINFO_SPEED_UPLOAD_T,
    CURLINFO_FILETIME_T,
    CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
    CURLINFO_CONTENT_LENGTH_UPLOAD_T,
    CURLINFO_TOTAL_TIME_T,
    CURLINFO_NAMELOOKUP_TIME_T,
    CURLINFO_CONNECT_TIME_T,
    CURLINFO_PRETRANSFER_TIME_T,
    CURLINFO_STARTTRANSFER_TIME_T,
    CURLINFO_REDIRECT_TIME_T,
    CURLINFO_APPCONNECT_TIME_T,
    CURLINFO_QUEUE_TIME_T,
    CURLINFO_POSTTRANSFER_TIME_T,
    CURLINFO_EARLYDATA_SENT_T,
    CURLINFO_SSL_ENGINES,
    CURLINFO_COOKIELIST,
    CURLINFO_CERTINFO,
    CURLINFO_ACTIVESOCKET,
    CURLINFO_LASTSOCKET,
};
static constexpr int deprecated_infos[] = {
    CURLINFO_SIZE_UPLOAD,  CURLINFO_SIZE_DOWNLOAD,           CURLINFO_SPEED_DOWNLOAD,
    CURLINFO_SPEED_UPLOAD, CURLINFO_CONTENT_LENGTH_DOWNLOAD, CURLINFO_CONTENT_LENGTH_UPLOAD,
};

template <typename Infos>
static constexpr bool listed(const Infos &infos, int option) {
    return std::find(std::begin(infos), std::end(infos), option) != std::end(infos);
}

// The kinds of the types libcurl encodes in information numbers.
static constexpr std::pair<int, InfoKind> kinds_by_type[] = {
    {CURLINFO_STRING, InfoKind::String},    {CURLINFO_LONG, InfoKind::Long},
    {CURLINFO_DOUBLE, InfoKind::Double},    {CURLINFO_OFF_T, InfoKind::OffT},
    {CURLINFO_SLIST, InfoKind::StringList}, {CURLINFO_SOCKET, InfoKind::Socket},
};

struct InfoShape {
    InfoKind kind;
    bool deprecated;
};

static std::optional<InfoShape> info_shape(int option) {
    bool deprecated =
        listed(deprecated_infos, option) || listed(generated_deprecated_infos, option);
    if (!deprecated && !listed(known_infos, option) && !listed(generated_infos, option))
        return std::nullopt;
    // The certificates are the one pointer; the long LASTSOCKET is read as
    // the socket it became.
    if (option == CURLINFO_CERTINFO)
        return InfoShape{InfoKind::CertInfo, false};
    if (option == CURLINFO_LASTSOCKET)
        return InfoShape{InfoKind::Socket, false};
    for (const auto &[type, kind] : kinds_by_type)
        if ((option & CURLINFO_TYPEMASK) == type)
            return InfoShape{kind, deprecated};
    return std::nullopt;
}

// Builds a text as bytes (raw) or as strict UTF-8 str.
static PyObject *make_text(const char *s, Py_ssize_t len, bool raw) {
    if (raw)
        return PyBytes_FromStringAndSize(s, len);
    return PyUnicode_DecodeUTF8(s, len, nullptr);
}

// One tuple per certificate; a "key:value" line becomes a pair.
static PyObject *convert_certinfo(const curl_certinfo *cinfo, bool raw) {
    if (cinfo == nullptr)
        Py_RETURN_NONE;
    Ref certs = Ref::steal(PyList_New(cinfo->num_of_certs > 0 ? cinfo->num_of_certs : 0));
    if (!certs)
        return nullptr;
    for (int i = 0; i < cinfo->num_of_certs; ++i) {
        Py_ssize_t n = 0;
        for (curl_slist *s = cinfo->certinfo[i]; s != nullptr; s = s->next)
            ++n;
        Ref lines = Ref::steal(PyTuple_New(n));
        if (!lines)
            return nullptr;
        Py_ssize_t j = 0;
        for (curl_slist *s = cinfo->certinfo[i]; s != nullptr; s = s->next, ++j) {
            PyObject *item;
            if (s->data == nullptr) {
                item = Py_NewRef(Py_None);
            } else if (const char *colon = std::strchr(s->data, ':')) {
                Ref key = Ref::steal(make_text(s->data, colon - s->data, raw));
                if (!key)
                    return nullptr;
                Ref value = Ref::steal(
                    make_text(colon + 1, static_cast<Py_ssize_t>(std::strlen(colon + 1)), raw));
                if (!value)
                    return nullptr;
                item = PyTuple_Pack(2, key.get(), value.get());
            } else {
                item = make_text(s->data, static_cast<Py_ssize_t>(std::strlen(s->data)), raw);
            }
            if (item == nullptr)
                return nullptr;
            PyTuple_SET_ITEM(lines.get(), j, item);
        }
        PyList_SET_ITEM(certs.get(), i, lines.release());
    }
    return certs.release();
}

static PyObject *convert_slist(curl_slist *list) {
    SlistPtr owned(list);
    Ref result = Ref::steal(PyList_New(0));
    if (!result)
        return nullptr;
    for (curl_slist *s = list; s != nullptr; s = s->next) {
        Ref item = s->data ? Ref::steal(PyBytes_FromString(s->data)) : Ref::borrow(Py_None);
        if (!item || PyList_Append(result.get(), item.get()) != 0)
            return nullptr;
    }
    return result.release();
}

static PyObject *decode_string_list(PyObject *raw) {
    Py_ssize_t n = PyList_GET_SIZE(raw);
    Ref result = Ref::steal(PyList_New(n));
    if (!result)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(raw, i);
        PyObject *decoded = item == Py_None ? Py_NewRef(Py_None)
                                            : PyUnicode_FromEncodedObject(item, nullptr, nullptr);
        if (decoded == nullptr)
            return nullptr;
        PyList_SET_ITEM(result.get(), i, decoded);
    }
    return result.release();
}

PyObject *do_curl_getinfo_raw(CurlObject *self, PyObject *args) {
    int option;
    if (!PyArg_ParseTuple(args, "i:getinfo_raw", &option))
        return nullptr;
    if (check_curl_state(self, GUARD_OPEN_IDLE | GUARD_SET_UP, "getinfo") != 0)
        return nullptr;
    std::optional<InfoShape> shape = info_shape(option);
    if (!shape) {
        PyErr_SetString(PyExc_ValueError, "invalid argument to getinfo");
        return nullptr;
    }
    if (shape->deprecated &&
        PyErr_WarnEx(PyExc_DeprecationWarning, "getinfo option is deprecated", 1) < 0)
        return nullptr;
    auto info = static_cast<CURLINFO>(option);
    CURLcode res;
    switch (shape->kind) {
    case InfoKind::String: {
        char *value = nullptr;
        res = curl_easy_getinfo(self->handle, info, &value);
        if (res != CURLE_OK)
            return raise_curl_error(self, res);
        if (value == nullptr)
            Py_RETURN_NONE;
        return PyBytes_FromString(value);
    }
    case InfoKind::Long: {
        long value = -1;
        res = curl_easy_getinfo(self->handle, info, &value);
        if (res != CURLE_OK)
            return raise_curl_error(self, res);
        return PyLong_FromLong(value);
    }
    case InfoKind::Double: {
        double value = 0.0;
        res = curl_easy_getinfo(self->handle, info, &value);
        if (res != CURLE_OK)
            return raise_curl_error(self, res);
        return PyFloat_FromDouble(value);
    }
    case InfoKind::OffT: {
        curl_off_t value = 0;
        res = curl_easy_getinfo(self->handle, info, &value);
        if (res != CURLE_OK)
            return raise_curl_error(self, res);
        return PyLong_FromLongLong(static_cast<long long>(value));
    }
    case InfoKind::StringList: {
        curl_slist *value = nullptr;
        res = curl_easy_getinfo(self->handle, info, &value);
        if (res != CURLE_OK)
            return raise_curl_error(self, res);
        return convert_slist(value);
    }
    case InfoKind::CertInfo: {
        curl_certinfo *value = nullptr;
        res = curl_easy_getinfo(self->handle, CURLINFO_CERTINFO, &value);
        if (res != CURLE_OK)
            return raise_curl_error(self, res);
        return convert_certinfo(value, true);
    }
    case InfoKind::Socket: {
        // The last socket is the active socket in current libcurl.
        curl_socket_t value = CURL_SOCKET_BAD;
        res = curl_easy_getinfo(self->handle, CURLINFO_ACTIVESOCKET, &value);
        if (res != CURLE_OK)
            return raise_curl_error(self, res);
        return PyLong_FromCurlSocket(value);
    }
    }
    Py_UNREACHABLE();
}

PyObject *do_curl_getinfo(CurlObject *self, PyObject *args) {
    int option;
    if (!PyArg_ParseTuple(args, "i:getinfo", &option))
        return nullptr;
    if (option == CURLINFO_CERTINFO) {
        if (check_curl_state(self, GUARD_OPEN_IDLE | GUARD_SET_UP, "getinfo") != 0)
            return nullptr;
        curl_certinfo *value = nullptr;
        CURLcode res = curl_easy_getinfo(self->handle, CURLINFO_CERTINFO, &value);
        if (res != CURLE_OK)
            return raise_curl_error(self, res);
        return convert_certinfo(value, false);
    }
    Ref raw = Ref::steal(do_curl_getinfo_raw(self, args));
    if (!raw)
        return nullptr;
    InfoKind kind = info_shape(option)->kind;
    if (kind == InfoKind::String) {
        if (raw.get() == Py_None)
            return raw.release();
        return PyUnicode_FromEncodedObject(raw.get(), nullptr, nullptr);
    }
    if (kind == InfoKind::StringList)
        return decode_string_list(raw.get());
    return raw.release();
}

static PyObject *error_text(CurlObject *self, bool raw) {
    if (check_curl_state(self, GUARD_OPEN_IDLE, "errstr") != 0)
        return nullptr;
    self->error[sizeof(self->error) - 1] = 0;
    if (raw)
        return PyBytes_FromString(self->error);
    return PyUnicode_DecodeUTF8(self->error, static_cast<Py_ssize_t>(std::strlen(self->error)),
                                nullptr);
}

PyObject *do_curl_errstr(CurlObject *self, PyObject *) {
    return error_text(self, false);
}

PyObject *do_curl_errstr_raw(CurlObject *self, PyObject *) {
    return error_text(self, true);
}
