// The callback bridge: the fixed functions registered with libcurl for the
// callback options.  Each finds its Curl object through libcurl's user-data
// pointer, takes the interpreter lock back with the thread state parked by
// the running operation, calls the stored Python callable and converts its
// result for libcurl.
#include "tolvex.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

// ---------------------------------------------------------------------------
// The shared protocol.

// Raises tolvex.error with a text and reports it under the printing policy.
static void print_error(const char *text) {
    PyErr_SetString(ErrorObject, text);
    print_callback_error_if_regular_exception();
}

// Writes one diagnostic line about a callable's result to the process's
// standard error, naming the result by its repr.
static int write_result_line(const char *name, PyObject *result, const char *what) {
    Ref repr = Ref::steal(PyObject_Repr(result));
    if (!repr)
        return -1;
    PyObject *encoded = nullptr;
    char *text = PyText_AsString_NoNUL(repr.get(), &encoded);
    Ref keeper = Ref::steal(encoded);
    if (text == nullptr) {
        // A repr that is not ASCII is shown with escapes instead.
        PyErr_Clear();
        Ref ascii = Ref::steal(PyObject_ASCII(result));
        if (!ascii)
            return -1;
        const char *s = PyUnicode_AsUTF8(ascii.get());
        if (s == nullptr)
            return -1;
        std::fprintf(stderr, "%s callback returned %s which %s\n", name, s, what);
        return 0;
    }
    std::fprintf(stderr, "%s callback returned %s which %s\n", name, text, what);
    return 0;
}

int callback_return_value_to_int(PyObject *result, const char *name, int *out) {
    if (result == nullptr) {
        // The callable's exception stays pending for the operation to raise.
        KeptExceptionScope::keep();
        return -1;
    }
    if (PyLong_Check(result)) {
        long value = PyLong_AsLong(result);
        if (value == -1 && PyErr_Occurred())
            return -1;
        // Truncating would turn, say, 2**32 + 1 into 1, which means
        // "accept" to some callbacks.
        if (value < INT32_MIN || value > INT32_MAX) {
            (void)write_result_line(name, result, "is out of range");
            return -1;
        }
        *out = static_cast<int>(value);
        return 0;
    }
    (void)write_result_line(name, result, "is not an integer");
    return -1;
}

// ---------------------------------------------------------------------------
// Body and header delivery.

static size_t util_write_callback(int flags, char *ptr, size_t size, size_t nmemb,
                                  CurlObject *self) {
    CallbackScope scope(self, flags == 0 ? callback_row(CURLOPT_WRITEFUNCTION)
                                         : callback_row(CURLOPT_HEADERFUNCTION));
    if (!scope.ok())
        return 0;
    PyObject *callable = flags == 0 ? self->write_callable : self->header_callable;
    if (callable == nullptr || size == 0 || nmemb == 0)
        return 0;
    size_t total;
    if (__builtin_mul_overflow(size, nmemb, &total) ||
        total > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        print_error("integer overflow in write callback");
        return 0;
    }
    bool use_mv = (flags == 0 ? self->write_use_memoryview : self->header_use_memoryview) != 0;
    Ref arg =
        Ref::steal(use_mv ? PyMemoryView_FromMemory(ptr, static_cast<Py_ssize_t>(total), PyBUF_READ)
                          : PyBytes_FromStringAndSize(ptr, static_cast<Py_ssize_t>(total)));
    if (!arg) {
        print_callback_error_if_regular_exception();
        return 0;
    }
    // Keep the callable alive even if it replaces itself while it runs.
    Ref func = Ref::borrow(callable);
    Ref result;
    if (flags == 0) {
        int saved = self->in_write_callback;
        self->in_write_callback = 1;
        result = Ref::steal(PyObject_CallOneArg(func.get(), arg.get()));
        self->in_write_callback = saved;
    } else {
        result = Ref::steal(PyObject_CallOneArg(func.get(), arg.get()));
    }
    if (use_mv) {
        // The view points into libcurl's buffer, which is gone after return.
        PyObject *exc = PyErr_GetRaisedException();
        // Interned once (and immortal): the lookup costs no allocation.
        static PyObject *release_name = PyUnicode_InternFromString("release");
        Ref released =
            Ref::steal(release_name ? PyObject_CallMethodNoArgs(arg.get(), release_name) : nullptr);
        if (!released)
            PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    arg.reset();
    if (!result) {
        print_callback_error_if_regular_exception();
        return 0;
    }
    if (result.get() == Py_None)
        return total;
    if (PyLong_Check(result.get()))
        return static_cast<size_t>(PyLong_AsLong(result.get()));
    print_error("write callback must return int or None");
    return 0;
}

size_t write_callback(char *ptr, size_t size, size_t nmemb, void *userdata) {
    return util_write_callback(0, ptr, size, nmemb, static_cast<CurlObject *>(userdata));
}

size_t header_callback(char *ptr, size_t size, size_t nmemb, void *userdata) {
    return util_write_callback(1, ptr, size, nmemb, static_cast<CurlObject *>(userdata));
}

// ---------------------------------------------------------------------------
// TLS context: the certificates given to set_ca_certs.

static constexpr unsigned long err_cert_already_in_hash_table = 0x5800065;
static constexpr unsigned long err_pem_no_start_line = 0x480006C;

struct BioDeleter {
    void operator()(BIO *bio) const noexcept { BIO_free(bio); }
};
struct X509Deleter {
    void operator()(X509 *cert) const noexcept { X509_free(cert); }
};

static int add_ca_certs(SSL_CTX *context, const char *data, Py_ssize_t len) {
    if (len <= 0) {
        PyErr_SetString(PyExc_ValueError, "Empty certificate data");
        return -1;
    }
    if (len >= 2147483648LL) {
        PyErr_SetString(PyExc_OverflowError, "Certificate data is too long.");
        return -1;
    }
    CurlOwned<BIO, BioDeleter> bio(BIO_new_mem_buf(data, static_cast<int>(len)));
    if (bio.get() == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Can't allocate buffer");
        ERR_clear_error();
        return -1;
    }
    X509_STORE *store = SSL_CTX_get_cert_store(context);
    TOLVEX_ASSERT(store != nullptr);
    int count = 0;
    for (;;) {
        CurlOwned<X509, X509Deleter> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (cert.get() == nullptr)
            break;
        if (X509_STORE_add_cert(store, cert.get()) != 1) {
            if (ERR_peek_last_error() != err_cert_already_in_hash_table)
                break;
            ERR_clear_error();
        }
        ++count;
    }
    unsigned long err = ERR_peek_last_error();
    if (count >= 1 && err == err_pem_no_start_line) {
        ERR_clear_error();
        return 0;
    }
    const char *reason = ERR_reason_error_string(err);
    PyErr_SetString(ErrorObject, reason ? reason : "unknown error");
    ERR_clear_error();
    return -1;
}

// The certificate entry point is installed by set_ca_certs, not by a
// callable option: it has no row of its own.
static constexpr const char *ssl_ctx_warning = "ssl_ctx_callback failed to acquire thread";

static CURLcode ssl_ctx_callback(CURL *, void *ssl_ctx, void *userptr) {
    auto *self = static_cast<CurlObject *>(userptr);
    CallbackScope scope(self, ssl_ctx_warning);
    if (!scope.ok() || self->ca_certs_obj == nullptr)
        return CURLE_FAILED_INIT;
    char *data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(self->ca_certs_obj, &data, &len) < 0 ||
        add_ca_certs(static_cast<SSL_CTX *>(ssl_ctx), data, len) < 0) {
        print_callback_error_if_regular_exception();
        return CURLE_FAILED_INIT;
    }
    return CURLE_OK;
}

int ssl_ctx_callback_install(CurlObject *self) {
    CURLcode res = curl_easy_setopt(self->handle, CURLOPT_SSL_CTX_FUNCTION, ssl_ctx_callback);
    if (res == CURLE_OK)
        res = curl_easy_setopt(self->handle, CURLOPT_SSL_CTX_DATA, self);
    return static_cast<int>(res);
}

// ---------------------------------------------------------------------------
// Uploads, progress, tracing, pre-request checks and trailers.

ReadCopy copy_read_result(PyObject *result, char *buffer, size_t wanted,
                          const ReadResultMessages &messages, size_t *length) {
    Ref encoded;
    BufferView view;
    const char *data;
    size_t size;
    const char *too_long;
    if (PyUnicode_Check(result)) {
        encoded = Ref::steal(PyUnicode_AsEncodedString(result, "ascii", "strict"));
        if (!encoded) {
            print_callback_error_if_regular_exception();
            return ReadCopy::failed;
        }
        data = PyBytes_AS_STRING(encoded.get());
        size = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
        too_long = messages.too_long_text;
    } else if (PyObject_CheckBuffer(result)) {
        if (view.get(result, PyBUF_SIMPLE) != 0) {
            print_callback_error_if_regular_exception();
            return ReadCopy::failed;
        }
        data = static_cast<const char *>(view.data());
        size = static_cast<size_t>(view.size());
        too_long = messages.too_long;
    } else {
        return ReadCopy::not_data;
    }
    if (size > wanted) {
        view.release();
        PyErr_Format(ErrorObject, too_long, static_cast<long>(size), static_cast<long>(wanted));
        print_callback_error_if_regular_exception();
        return ReadCopy::failed;
    }
    if (size != 0)
        std::memcpy(buffer, data, size);
    *length = size;
    return ReadCopy::copied;
}

static constexpr ReadResultMessages read_messages = {
    "invalid return value for read callback (%ld bytes returned when at most %ld bytes were "
    "wanted)",
    "invalid return value for read callback (%ld bytes returned after encoding to ascii when at "
    "most %ld bytes were wanted)",
};

size_t read_callback(char *buffer, size_t size, size_t nitems, void *userdata) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr size_t abort_value = CURL_READFUNC_ABORT;
    CallbackScope scope(self, callback_row(CURLOPT_READFUNCTION));
    if (!scope.ok() || self->read_callable == nullptr || size == 0 || nitems == 0)
        return abort_value;
    size_t wanted;
    if (__builtin_mul_overflow(size, nitems, &wanted) ||
        wanted > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        print_error("integer overflow in read callback");
        return abort_value;
    }
    Ref func = Ref::borrow(self->read_callable);
    Ref arg = Ref::steal(PyLong_FromLong(static_cast<int>(wanted)));
    if (!arg) {
        print_callback_error_if_regular_exception();
        return abort_value;
    }
    Ref result = Ref::steal(PyObject_CallOneArg(func.get(), arg.get()));
    if (!result) {
        print_callback_error_if_regular_exception();
        return abort_value;
    }
    PyObject *r = result.get();
    size_t length = 0;
    switch (copy_read_result(r, buffer, wanted, read_messages, &length)) {
    case ReadCopy::copied:
        return length;
    case ReadCopy::failed:
        return abort_value;
    case ReadCopy::not_data:
        break;
    }
    if (PyLong_Check(r)) {
        long value = PyLong_AsLong(r);
        if (value == CURL_READFUNC_ABORT || value == CURL_READFUNC_PAUSE)
            return static_cast<size_t>(value);
        PyErr_Clear();
    }
    print_error("read callback must return an object supporting the buffer protocol (e.g. a "
                "byte string) or an ASCII-only Unicode string");
    return abort_value;
}

int seek_callback(void *userdata, curl_off_t offset, int origin) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_SEEKFUNCTION);
    const int failure = static_cast<int>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->seek_callable == nullptr)
        return failure;
    Ref func = Ref::borrow(self->seek_callable);
    Ref result = Ref::steal(
        PyObject_CallFunction(func.get(), "(L,i)", static_cast<long long>(offset), origin));
    if (!result) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    if (result.get() == Py_None)
        return 0;
    if (PyLong_Check(result.get())) {
        int value = static_cast<int>(PyLong_AsLong(result.get()));
        if (value >= 0 && value <= 2)
            return value;
        PyErr_Clear();
        PyErr_Format(ErrorObject, "invalid return value for seek callback %d not in (0, 1, 2)",
                     value);
        print_callback_error_if_regular_exception();
        return failure;
    }
    print_error("seek callback must return 0 (CURL_SEEKFUNC_OK), 1 (CURL_SEEKFUNC_FAIL), 2 "
                "(CURL_SEEKFUNC_CANTSEEK) or None");
    return failure;
}

curlioerr ioctl_callback(CURL *, int cmd, void *userdata) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_IOCTLFUNCTION);
    const auto failure = static_cast<curlioerr>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->ioctl_callable == nullptr)
        return failure;
    Ref func = Ref::borrow(self->ioctl_callable);
    Ref result = Ref::steal(PyObject_CallFunction(func.get(), "(i)", cmd));
    if (!result) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    if (result.get() == Py_None)
        return CURLIOE_OK;
    if (PyLong_Check(result.get())) {
        int value = static_cast<int>(PyLong_AsLong(result.get()));
        if (value >= 0 && value <= 2)
            return static_cast<curlioerr>(value);
        PyErr_Clear();
        print_error("ioctl callback returned invalid value");
        return static_cast<curlioerr>(value);
    }
    return failure;
}

// The result of a progress or transfer-information callable: None goes on,
// an int or any true value aborts.
static int progress_result(PyObject *result) {
    if (result == Py_None)
        return 0;
    if (PyLong_Check(result))
        return static_cast<int>(PyLong_AsLong(result));
    int truth = PyObject_IsTrue(result);
    if (truth < 0) {
        print_callback_error_if_regular_exception();
        return -1;
    }
    return truth;
}

int progress_callback(void *userdata, double dltotal, double dlnow, double ultotal, double ulnow) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_PROGRESSFUNCTION);
    const int failure = static_cast<int>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->progress_callable == nullptr)
        return failure;
    Ref func = Ref::borrow(self->progress_callable);
    Ref result =
        Ref::steal(PyObject_CallFunction(func.get(), "(dddd)", dltotal, dlnow, ultotal, ulnow));
    if (!result) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    return progress_result(result.get());
}

int xferinfo_callback(void *userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                      curl_off_t ulnow) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_XFERINFOFUNCTION);
    const int failure = static_cast<int>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->xferinfo_callable == nullptr)
        return failure;
    Ref func = Ref::borrow(self->xferinfo_callable);
    Ref result = Ref::steal(PyObject_CallFunction(
        func.get(), "(LLLL)", static_cast<long long>(dltotal), static_cast<long long>(dlnow),
        static_cast<long long>(ultotal), static_cast<long long>(ulnow)));
    if (!result) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    return progress_result(result.get());
}

int debug_callback(CURL *, curl_infotype type, char *data, size_t size, void *userdata) {
    auto *self = static_cast<CurlObject *>(userdata);
    CallbackScope scope(self, callback_row(CURLOPT_DEBUGFUNCTION));
    if (!scope.ok() || self->debug_callable == nullptr)
        return 0;
    if (size > static_cast<size_t>(INT32_MAX)) {
        print_error("integer overflow in debug callback");
        return 0;
    }
    Ref func = Ref::borrow(self->debug_callable);
    Ref result = Ref::steal(PyObject_CallFunction(func.get(), "(iy#)", static_cast<int>(type), data,
                                                  static_cast<Py_ssize_t>(size)));
    if (!result)
        print_callback_error_if_regular_exception();
    return 0;
}

int prereq_callback(void *userdata, char *conn_primary_ip, char *conn_local_ip,
                    int conn_primary_port, int conn_local_port) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_PREREQFUNCTION);
    const int failure = static_cast<int>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->prereq_callable == nullptr)
        return failure;
    Ref args = Ref::steal(Py_BuildValue("(ssii)", conn_primary_ip, conn_local_ip, conn_primary_port,
                                        conn_local_port));
    if (!args) {
        print_callback_error_if_regular_exception();
        return -1;
    }
    Ref func = Ref::borrow(self->prereq_callable);
    Ref result = Ref::steal(PyObject_Call(func.get(), args.get(), nullptr));
    int value = failure;
    if (callback_return_value_to_int(result.get(), "prereq", &value) != 0)
        return -1;
    return value;
}

int trailer_callback(curl_slist **list, void *userdata) {
    *list = nullptr;
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_TRAILERFUNCTION);
    const int failure = static_cast<int>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->trailer_callable == nullptr)
        return failure;
    Ref func = Ref::borrow(self->trailer_callable);
    Ref result = Ref::steal(PyObject_CallNoArgs(func.get()));
    if (!result) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    if (result.get() == Py_None)
        return CURL_TRAILERFUNC_OK;
    if (int which = PyListOrTuple_Check(result.get())) {
        Py_ssize_t len = PyListOrTuple_Size(result.get(), which);
        curl_slist *trailers = tolvex_list_or_tuple_to_slist(which, result.get(), len);
        if (trailers == nullptr && PyErr_Occurred()) {
            print_callback_error_if_regular_exception();
            return failure;
        }
        // libcurl owns and frees the list.
        *list = trailers;
        return CURL_TRAILERFUNC_OK;
    }
    print_error("trailer callback must return None or a list/tuple of header strings");
    return failure;
}

// ---------------------------------------------------------------------------
// Sockets.

// The address part of a CurlSockAddr, by the family of the address itself.
static PyObject *socket_address(const curl_sockaddr *address) {
    const sockaddr *sa = &address->addr;
    switch (sa->sa_family) {
    case AF_INET: {
        const auto *sin = reinterpret_cast<const sockaddr_in *>(sa);
        char host[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &sin->sin_addr, host, sizeof(host)) == nullptr)
            return PyErr_SetFromErrno(ErrorObject);
        return Py_BuildValue("(si)", host, static_cast<int>(ntohs(sin->sin_port)));
    }
    case AF_INET6: {
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        char host[INET6_ADDRSTRLEN];
        if (inet_ntop(AF_INET6, &sin6->sin6_addr, host, sizeof(host)) == nullptr)
            return PyErr_SetFromErrno(ErrorObject);
        // The scope id is an interface index in host order, as Python's
        // socket module takes it; only the flow info travels in network
        // order.
        return Py_BuildValue("(siII)", host, static_cast<int>(ntohs(sin6->sin6_port)),
                             static_cast<unsigned int>(ntohl(sin6->sin6_flowinfo)),
                             static_cast<unsigned int>(sin6->sin6_scope_id));
    }
    case AF_UNIX: {
        const auto *sun = reinterpret_cast<const sockaddr_un *>(sa);
        // A path that fills sun_path has no NUL: stop at the address's end.
        size_t room = sizeof(sun->sun_path);
        size_t offset = offsetof(sockaddr_un, sun_path);
        if (address->addrlen > offset && address->addrlen - offset < room)
            room = address->addrlen - offset;
        size_t len = strnlen(sun->sun_path, room);
        return PyBytes_FromStringAndSize(sun->sun_path, static_cast<Py_ssize_t>(len));
    }
    default:
        PyErr_SetString(ErrorObject, "Unsupported address family");
        return nullptr;
    }
}

curl_socket_t opensocket_callback(void *userdata, curlsocktype purpose, curl_sockaddr *address) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_OPENSOCKETFUNCTION);
    constexpr auto failure = static_cast<curl_socket_t>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->opensocket_callable == nullptr)
        return failure;
    Ref addr = Ref::steal(socket_address(address));
    if (!addr) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    Ref sockaddr_obj =
        Ref::steal(PyObject_CallFunction(curl_sockaddr_type, "(iiiO)", address->family,
                                         address->socktype, address->protocol, addr.get()));
    if (!sockaddr_obj) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    Ref args = Ref::steal(Py_BuildValue("(iO)", static_cast<int>(purpose), sockaddr_obj.get()));
    if (!args) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    Ref func = Ref::borrow(self->opensocket_callable);
    Ref result = Ref::steal(PyObject_Call(func.get(), args.get(), nullptr));
    if (!result) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    curl_socket_t fd;
    if (PyLong_Check(result.get())) {
        // A plain descriptor is handed over: libcurl closes it when done.
        if (PyLong_AsCurlSocket(result.get(), &fd) != 0) {
            print_callback_error_if_regular_exception();
            return failure;
        }
        return fd;
    }
    Ref fileno = Ref::steal(PyObject_GetAttrString(result.get(), "fileno"));
    if (!fileno) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(ErrorObject, "Open socket callback's return value must be a socket");
        }
        print_callback_error_if_regular_exception();
        return failure;
    }
    Ref number = Ref::steal(PyObject_CallNoArgs(fileno.get()));
    if (!number) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    if (!PyLong_Check(number.get())) {
        PyErr_SetString(ErrorObject, "Open socket callback returned an object whose fileno method "
                                     "did not return an integer");
        return failure;
    }
    if (PyLong_AsCurlSocket(number.get(), &fd) != 0) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    // The Python object keeps its own descriptor and may be closed at any
    // time; libcurl gets one of its own.
    return dup(fd);
}

int sockopt_cb(void *userdata, curl_socket_t curlfd, curlsocktype purpose) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_SOCKOPTFUNCTION);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->sockopt_callable == nullptr)
        return static_cast<int>(row.failure);
    Ref sock = Ref::steal(PyLong_FromCurlSocket(curlfd));
    Ref args =
        Ref::steal(sock ? Py_BuildValue("(Oi)", sock.get(), static_cast<int>(purpose)) : nullptr);
    if (!args) {
        print_callback_error_if_regular_exception();
        return -1;
    }
    Ref func = Ref::borrow(self->sockopt_callable);
    Ref result = Ref::steal(PyObject_Call(func.get(), args.get(), nullptr));
    int value;
    if (callback_return_value_to_int(result.get(), "sockopt", &value) != 0)
        return -1;
    return value;
}

static int close_socket(CurlObject *self, curl_socket_t item) {
    constexpr const CallbackOption &row = callback_row(CURLOPT_CLOSESOCKETFUNCTION);
    // libcurl leaves closing the socket to this callback: when no callable
    // can take it, the socket is closed here or it would stay open.
    if (self == nullptr) {
        close(item);
        return static_cast<int>(row.failure);
    }
    CallbackScope scope(self, row);
    if (!scope.ok() || self->closesocket_callable == nullptr) {
        close(item);
        return static_cast<int>(row.failure);
    }
    Ref sock = Ref::steal(PyLong_FromCurlSocket(item));
    Ref args = Ref::steal(sock ? PyTuple_Pack(1, sock.get()) : nullptr);
    if (!args) {
        print_callback_error_if_regular_exception();
        close(item);
        return -1;
    }
    Ref func = Ref::borrow(self->closesocket_callable);
    Ref result = Ref::steal(PyObject_Call(func.get(), args.get(), nullptr));
    int value;
    if (callback_return_value_to_int(result.get(), "closesocket", &value) != 0)
        return -1;
    return value;
}

int closesocket_callback(void *userdata, curl_socket_t item) {
    auto *closer = static_cast<SocketCloser *>(userdata);
    // Held throughout, so that the object cannot close on another thread
    // half-way; a thread that closes it waits detached from the interpreter.
    PyMutex_Lock(&closer->lock);
    int result = close_socket(closer->curl, item);
    PyMutex_Unlock(&closer->lock);
    return result;
}

static void socket_closer_release(SocketCloser *closer) {
    if (--closer->holders == 0)
        delete closer;
}

void *socket_closer_data(CurlObject *self) {
    if (self->closesocket_closer != nullptr)
        return self->closesocket_closer;
    auto *closer = new (std::nothrow) SocketCloser{};
    if (closer == nullptr)
        return PyErr_NoMemory();
    closer->curl = self;
    closer->holders = 1;
    if ((self->multi_stack != nullptr &&
         socket_closer_hold(self->multi_stack->socket_closers, closer) != 0) ||
        (self->share != nullptr && socket_closer_hold(self->share->socket_closers, closer) != 0)) {
        socket_closer_release(closer);
        return nullptr;
    }
    self->closesocket_closer = closer;
    return closer;
}

void socket_closer_detach(CurlObject *self) {
    SocketCloser *closer = std::exchange(self->closesocket_closer, nullptr);
    if (closer == nullptr)
        return;
    PyMutex_Lock(&closer->lock);
    closer->curl = nullptr;
    PyMutex_Unlock(&closer->lock);
    socket_closer_release(closer);
}

int socket_closer_hold(SocketCloserHolds &holds, SocketCloser *closer) {
    if (holds.count == holds.capacity) {
        // A member added again and again is held once: duplicates go before
        // the set grows.
        std::sort(holds.items, holds.items + holds.count);
        SocketCloser **end = std::unique(holds.items, holds.items + holds.count);
        for (SocketCloser **p = end; p != holds.items + holds.count; ++p)
            socket_closer_release(*p);
        holds.count = end - holds.items;
    }
    if (holds.count == holds.capacity) {
        Py_ssize_t capacity = holds.capacity ? 2 * holds.capacity : 8;
        auto **items = static_cast<SocketCloser **>(
            PyMem_RawRealloc(holds.items, static_cast<size_t>(capacity) * sizeof(SocketCloser *)));
        if (items == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        holds.items = items;
        holds.capacity = capacity;
    }
    holds.items[holds.count++] = closer;
    ++closer->holders;
    return 0;
}

void socket_closer_release_all(SocketCloserHolds &holds) {
    for (Py_ssize_t i = 0; i < holds.count; ++i)
        socket_closer_release(holds.items[i]);
    PyMem_RawFree(holds.items);
    holds = SocketCloserHolds{};
}

// ---------------------------------------------------------------------------
// SSH host keys, resolver start and wildcard matching.

// A KhKey for one of libcurl's key records, or None for an absent one.
static PyObject *host_key(const curl_khkey *key) {
    if (key == nullptr)
        Py_RETURN_NONE;
    // A length of 0 means the key is base64 text ending in NUL.
    if (key->len != 0)
        return PyObject_CallFunction(khkey_type, "(y#i)", key->key,
                                     static_cast<Py_ssize_t>(key->len),
                                     static_cast<int>(key->keytype));
    return PyObject_CallFunction(khkey_type, "(yi)", key->key, static_cast<int>(key->keytype));
}

int ssh_key_cb(CURL *, const curl_khkey *knownkey, const curl_khkey *foundkey, curl_khmatch match,
               void *userdata) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_SSH_KEYFUNCTION);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->ssh_key_callable == nullptr)
        return static_cast<int>(row.failure);
    Ref known = Ref::steal(host_key(knownkey));
    if (!known)
        return -1;
    Ref found = Ref::steal(host_key(foundkey));
    if (!found)
        return -1;
    Ref args =
        Ref::steal(Py_BuildValue("(OOi)", known.get(), found.get(), static_cast<int>(match)));
    if (!args) {
        print_callback_error_if_regular_exception();
        return -1;
    }
    Ref func = Ref::borrow(self->ssh_key_callable);
    Ref result = Ref::steal(PyObject_Call(func.get(), args.get(), nullptr));
    int value;
    if (callback_return_value_to_int(result.get(), "ssh key", &value) != 0)
        return -1;
    return value;
}

int resolver_start_callback(void *, void *, void *userdata) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_RESOLVER_START_FUNCTION);
    constexpr int failure = static_cast<int>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->resolver_start_callable == nullptr)
        return failure;
    Ref func = Ref::borrow(self->resolver_start_callable);
    Ref result = Ref::steal(PyObject_CallNoArgs(func.get()));
    if (!result) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    if (result.get() == Py_None)
        return 0;
    int value;
    if (callback_return_value_to_int(result.get(), "resolver_start", &value) != 0)
        return failure;
    return value;
}

int fnmatch_callback(void *userdata, const char *pattern, const char *string) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_FNMATCH_FUNCTION);
    constexpr int failure = static_cast<int>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->fnmatch_callable == nullptr)
        return failure;
    Ref args = Ref::steal(Py_BuildValue("(yy)", pattern, string));
    if (!args) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    Ref func = Ref::borrow(self->fnmatch_callable);
    Ref result = Ref::steal(PyObject_Call(func.get(), args.get(), nullptr));
    int value;
    if (callback_return_value_to_int(result.get(), "fnmatch", &value) != 0)
        return failure;
    return value;
}

// ---------------------------------------------------------------------------
// HSTS cache entries.

// libcurl's expiry text of a datetime: converted to UTC when it is aware,
// taken to be UTC already when naive.  0, or -1 with an exception set.
static int hsts_expire_text(PyObject *expire, char (&out)[sizeof(curl_hstsentry::expire)]) {
    if (expire == Py_None) {
        out[0] = '\0';
        return 0;
    }
    int is_datetime = PyObject_IsInstance(expire, datetime_type);
    if (is_datetime < 0)
        return -1;
    if (is_datetime == 0) {
        PyErr_SetString(ErrorObject, "hstsread callback: expire must be a datetime or None");
        return -1;
    }
    Ref tzinfo = Ref::steal(PyObject_GetAttrString(expire, "tzinfo"));
    if (!tzinfo)
        return -1;
    Ref utc = Ref::borrow(expire);
    if (tzinfo.get() != Py_None) {
        utc = Ref::steal(PyObject_CallMethod(expire, "astimezone", "O", utc_tz));
        if (!utc)
            return -1;
    }
    Ref text = Ref::steal(PyObject_CallMethod(utc.get(), "strftime", "s", "%Y%m%d %H:%M:%S"));
    if (!text)
        return -1;
    Py_ssize_t len;
    const char *s = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (s == nullptr)
        return -1;
    if (static_cast<size_t>(len) >= sizeof(out)) {
        PyErr_SetString(ErrorObject,
                        "hstsread callback: formatted expire does not fit in libcurl's buffer");
        return -1;
    }
    std::memcpy(out, s, static_cast<size_t>(len));
    out[len] = '\0';
    return 0;
}

CURLSTScode hstsread_callback(CURL *, curl_hstsentry *entry, void *userdata) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_HSTSREADFUNCTION);
    constexpr auto failure = static_cast<CURLSTScode>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->hstsread_callable == nullptr)
        return failure;
    Ref func = Ref::borrow(self->hstsread_callable);
    Ref result = Ref::steal(PyObject_CallNoArgs(func.get()));
    if (!result) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    if (result.get() == Py_None)
        return CURLSTS_DONE;
    if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 3) {
        print_error("hstsread callback must return None or a 3-tuple (host, expire, "
                    "include_subdomains)");
        return failure;
    }
    PyObject *host_obj = PyTuple_GET_ITEM(result.get(), 0);
    if (!PyText_Check(host_obj)) {
        print_error("hstsread callback: host must be a byte string or a Unicode string with "
                    "ASCII code points only");
        return failure;
    }
    // libcurl takes the host as a NUL-terminated text: an embedded NUL is
    // refused by the conversion.
    PyObject *encoded = nullptr;
    char *host = PyText_AsString_NoNUL(host_obj, &encoded);
    Ref keeper = Ref::steal(encoded);
    if (host == nullptr) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    size_t host_len = std::strlen(host);
    if (host_len > entry->namelen) {
        PyErr_Format(ErrorObject, "hstsread callback: host length %zd exceeds libcurl maximum %zu",
                     static_cast<Py_ssize_t>(host_len), entry->namelen);
        print_callback_error_if_regular_exception();
        return failure;
    }
    // libcurl reads the whole field, not only up to the terminator.
    char expire[sizeof(entry->expire)] = {};
    if (hsts_expire_text(PyTuple_GET_ITEM(result.get(), 1), expire) != 0) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    int subdomains = PyObject_IsTrue(PyTuple_GET_ITEM(result.get(), 2));
    if (subdomains < 0) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    std::memcpy(entry->name, host, host_len + 1);
    entry->namelen = host_len;
    std::memcpy(entry->expire, expire, sizeof(expire));
    entry->includeSubDomains = subdomains ? 1 : 0;
    return CURLSTS_OK;
}

// libcurl's expiry text as an aware datetime in UTC, or None for an entry
// that never expires.
static PyObject *hsts_expire_datetime(const curl_hstsentry *entry) {
    size_t len = strnlen(entry->expire, sizeof(entry->expire));
    if (len == 0 || (len == 9 && std::memcmp(entry->expire, "unlimited", 9) == 0))
        Py_RETURN_NONE;
    char stamp[32];
    int n = std::snprintf(stamp, sizeof(stamp), "%.*s+0000", static_cast<int>(len), entry->expire);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(stamp)) {
        PyErr_Format(ErrorObject, "libcurl returned an unparsable HSTS expire stamp: %.*s",
                     static_cast<int>(len), entry->expire);
        return nullptr;
    }
    return PyObject_CallMethod(datetime_type, "strptime", "ss", stamp, "%Y%m%d %H:%M:%S%z");
}

CURLSTScode hstswrite_callback(CURL *, curl_hstsentry *entry, curl_index *index, void *userdata) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const CallbackOption &row = callback_row(CURLOPT_HSTSWRITEFUNCTION);
    constexpr auto failure = static_cast<CURLSTScode>(row.failure);
    CallbackScope scope(self, row);
    if (!scope.ok() || self->hstswrite_callable == nullptr)
        return failure;
    Ref expire = Ref::steal(hsts_expire_datetime(entry));
    if (!expire) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    Ref hsts_entry = Ref::steal(PyObject_CallFunction(
        hsts_entry_type, "(y#OO)", entry->name, static_cast<Py_ssize_t>(entry->namelen),
        expire.get(), entry->includeSubDomains ? Py_True : Py_False));
    Ref hsts_index =
        Ref::steal(hsts_entry ? PyObject_CallFunction(hsts_index_type, "(nn)",
                                                      static_cast<Py_ssize_t>(index->index),
                                                      static_cast<Py_ssize_t>(index->total))
                              : nullptr);
    Ref args =
        Ref::steal(hsts_index ? PyTuple_Pack(2, hsts_entry.get(), hsts_index.get()) : nullptr);
    if (!args) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    Ref func = Ref::borrow(self->hstswrite_callable);
    Ref result = Ref::steal(PyObject_Call(func.get(), args.get(), nullptr));
    if (!result) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    if (result.get() == Py_None)
        return CURLSTS_OK;
    if (PyLong_Check(result.get())) {
        // The whole value is checked: truncated, 2**32 + 1 would read as 1.
        long value = PyLong_AsLong(result.get());
        if (value == -1 && PyErr_Occurred())
            PyErr_Clear();
        else if (value >= CURLSTS_OK && value <= CURLSTS_FAIL)
            return static_cast<CURLSTScode>(value);
        print_error("hstswrite callback returned an invalid CURLSTScode");
        return failure;
    }
    int ignored;
    (void)callback_return_value_to_int(result.get(), "hstswrite", &ignored);
    return failure;
}
