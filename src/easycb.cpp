// The callback bridge: the fixed functions registered with libcurl for the
// callback options.  Each finds its Curl object through libcurl's user-data
// pointer and its callable through its row of curl_callback_options, builds
// the callable's arguments and converts its result for libcurl.
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
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

// ---------------------------------------------------------------------------
// Calling a callable and reading its result.

void print_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(ErrorObject, format, args);
    va_end(args);
    print_callback_error_if_regular_exception();
}

Ref call_callable(PyObject *callable, const char *format, ...) {
    va_list va;
    va_start(va, format);
    Ref args = Ref::steal(Py_VaBuildValue(format, va));
    va_end(va);
    Ref result = Ref::steal(args ? PyObject_Call(callable, args.get(), nullptr) : nullptr);
    if (!result)
        KeptExceptionScope::keep();
    return result;
}

Ref call_callable(PyObject *callable, std::initializer_list<PyObject *> args) {
    Ref result = Ref::steal(
        PyObject_Vectorcall(callable, const_cast<PyObject **>(args.begin()), args.size(), nullptr));
    if (!result)
        KeptExceptionScope::keep();
    return result;
}

IntResult read_int_result(PyObject *result, long lo, long hi, long &value) {
    if (result == Py_None)
        return IntResult::none;
    if (!PyLong_Check(result))
        return IntResult::not_int;
    value = PyLong_AsLong(result);
    if (value == -1 && PyErr_Occurred())
        return IntResult::overflow;
    return value >= lo && value <= hi ? IntResult::value : IntResult::out_of_range;
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

bool int_answer(PyObject *result, const char *name, int &out) {
    if (result == nullptr)
        return false;
    long value;
    switch (read_int_result(result, INT32_MIN, INT32_MAX, value)) {
    case IntResult::value:
        out = static_cast<int>(value);
        return true;
    case IntResult::overflow:
        return false;
    case IntResult::out_of_range:
        // Truncating would turn, say, 2**32 + 1 into 1, which means
        // "accept" to some callbacks.
        (void)write_result_line(name, result, "is out of range");
        return false;
    case IntResult::none:
    case IntResult::not_int:
        break;
    }
    (void)write_result_line(name, result, "is not an integer");
    return false;
}

// The entry point of an option: `run` gets the row's callable and the
// row's failure value as libcurl's type, which libcurl also gets when there
// is no callable to call.
template <CURLoption Option, typename Answer, typename Run>
static Answer with_callable(void *userdata, Run &&run) {
    static constexpr const CallbackOption &row = callback_row(Option);
    constexpr auto failure = static_cast<Answer>(row.failure);
    return call_through_row(
        static_cast<CurlObject *>(userdata), row,
        [&](PyObject *callable) -> Answer { return run(callable, failure); },
        [](bool) { return failure; });
}

// ---------------------------------------------------------------------------
// Body and header delivery.

// The body, the headers and the interleaved RTSP data, to the callable of
// `Option` as bytes (or a memoryview, when setopt asked for one).
template <CURLoption Option>
static size_t deliver(char *ptr, size_t size, size_t nmemb, void *userdata) {
    auto *self = static_cast<CurlObject *>(userdata);
    constexpr const char *name = Option == CURLOPT_INTERLEAVEFUNCTION ? "interleave" : "write";
    return with_callable<Option, size_t>(userdata, [&](PyObject *callable, size_t failure) {
        if (size == 0 || nmemb == 0)
            return failure;
        size_t total;
        if (__builtin_mul_overflow(size, nmemb, &total) ||
            total > static_cast<size_t>(PY_SSIZE_T_MAX)) {
            print_error("integer overflow in %s callback", name);
            return failure;
        }
        static constexpr const CallbackOption &row = callback_row(Option);
        bool use_mv = false;
        if constexpr (row.use_memoryview != nullptr)
            use_mv = self->*row.use_memoryview != 0;
        Ref arg = Ref::steal(
            use_mv ? PyMemoryView_FromMemory(ptr, static_cast<Py_ssize_t>(total), PyBUF_READ)
                   : PyBytes_FromStringAndSize(ptr, static_cast<Py_ssize_t>(total)));
        if (!arg) {
            print_callback_error_if_regular_exception();
            return failure;
        }
        int saved = self->in_write_callback;
        if constexpr (Option == CURLOPT_WRITEFUNCTION)
            self->in_write_callback = 1;
        Ref result = call_callable(callable, {arg.get()});
        self->in_write_callback = saved;
        if (use_mv) {
            // The view points into libcurl's buffer, which is gone after return.
            PyObject *exc = PyErr_GetRaisedException();
            // Interned once (and immortal): the lookup costs no allocation.
            static PyObject *release_name = PyUnicode_InternFromString("release");
            Ref released = Ref::steal(
                release_name ? PyObject_CallMethodNoArgs(arg.get(), release_name) : nullptr);
            if (!released)
                PyErr_Clear();
            PyErr_SetRaisedException(exc);
        }
        arg.reset();
        if (!result) {
            print_callback_error_if_regular_exception();
            return failure;
        }
        long accepted;
        switch (read_int_result(result.get(), 0, LONG_MAX, accepted)) {
        case IntResult::none:
            return total;
        case IntResult::value:
            return static_cast<size_t>(accepted);
        case IntResult::overflow:
            return failure;
        case IntResult::out_of_range:
            (void)write_result_line(name, result.get(), "is out of range");
            return failure;
        case IntResult::not_int:
            break;
        }
        print_error("%s callback must return int or None", name);
        return failure;
    });
}

size_t write_callback(char *ptr, size_t size, size_t nmemb, void *userdata) {
    return deliver<CURLOPT_WRITEFUNCTION>(ptr, size, nmemb, userdata);
}

size_t header_callback(char *ptr, size_t size, size_t nmemb, void *userdata) {
    return deliver<CURLOPT_HEADERFUNCTION>(ptr, size, nmemb, userdata);
}

size_t interleave_callback(char *ptr, size_t size, size_t nmemb, void *userdata) {
    return deliver<CURLOPT_INTERLEAVEFUNCTION>(ptr, size, nmemb, userdata);
}

// ---------------------------------------------------------------------------
// TLS context: the certificates given to set_ca_certs.

struct BioDeleter {
    void operator()(BIO *bio) const noexcept { BIO_free(bio); }
};
struct X509Deleter {
    void operator()(X509 *cert) const noexcept { X509_free(cert); }
};

// OpenSSL's reason for the error at the end of its queue.
static int last_error_reason() {
    return ERR_GET_REASON(ERR_peek_last_error());
}

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
            if (last_error_reason() != X509_R_CERT_ALREADY_IN_HASH_TABLE)
                break;
            ERR_clear_error();
        }
        ++count;
    }
    // The end of the text: no further certificate starts.
    if (count >= 1 && last_error_reason() == PEM_R_NO_START_LINE) {
        ERR_clear_error();
        return 0;
    }
    const char *reason = ERR_reason_error_string(ERR_peek_last_error());
    PyErr_SetString(ErrorObject, reason ? reason : "unknown error");
    ERR_clear_error();
    return -1;
}

// The certificate entry point is installed by set_ca_certs, not by a
// callable option: it has no row of its own.
static CURLcode ssl_ctx_callback(CURL *, void *ssl_ctx, void *userptr) {
    auto *self = static_cast<CurlObject *>(userptr);
    CallbackScope scope(self, "ssl_ctx_callback failed to acquire thread");
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

size_t read_answer(PyObject *result, char *buffer, size_t wanted,
                   const ReadResultMessages &messages) {
    if (result == nullptr) {
        print_callback_error_if_regular_exception();
        return CURL_READFUNC_ABORT;
    }
    Ref encoded;
    BufferView view;
    const char *data;
    size_t size;
    const char *too_long;
    if (PyUnicode_Check(result)) {
        encoded = Ref::steal(PyUnicode_AsEncodedString(result, "ascii", "strict"));
        if (!encoded) {
            print_callback_error_if_regular_exception();
            return CURL_READFUNC_ABORT;
        }
        data = PyBytes_AS_STRING(encoded.get());
        size = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
        too_long = messages.too_long_text;
    } else if (PyObject_CheckBuffer(result)) {
        if (view.get(result, PyBUF_SIMPLE) != 0) {
            print_callback_error_if_regular_exception();
            return CURL_READFUNC_ABORT;
        }
        data = static_cast<const char *>(view.data());
        size = static_cast<size_t>(view.size());
        too_long = messages.too_long;
    } else {
        long value;
        switch (read_int_result(result, LONG_MIN, LONG_MAX, value)) {
        case IntResult::value:
            if (value == CURL_READFUNC_ABORT || value == CURL_READFUNC_PAUSE)
                return static_cast<size_t>(value);
            print_error(messages.bad_int);
            return CURL_READFUNC_ABORT;
        case IntResult::overflow:
            PyErr_Clear(); // neither of the two codes
            print_error(messages.bad_int);
            return CURL_READFUNC_ABORT;
        default:
            print_error(messages.bad_type);
            return CURL_READFUNC_ABORT;
        }
    }
    if (size > wanted) {
        view.release();
        print_error(too_long, static_cast<long>(size), static_cast<long>(wanted));
        return CURL_READFUNC_ABORT;
    }
    if (size != 0)
        std::memcpy(buffer, data, size);
    return size;
}

static constexpr const char read_result_text[] =
    "read callback must return an object supporting the buffer protocol (e.g. a byte string) or "
    "an ASCII-only Unicode string";

static constexpr ReadResultMessages read_messages = {
    .too_long = "invalid return value for read callback (%ld bytes returned when at most %ld "
                "bytes were wanted)",
    .too_long_text = "invalid return value for read callback (%ld bytes returned after encoding "
                     "to ascii when at most %ld bytes were wanted)",
    .bad_int = read_result_text,
    .bad_type = read_result_text,
};

size_t read_callback(char *buffer, size_t size, size_t nitems, void *userdata) {
    return with_callable<CURLOPT_READFUNCTION, size_t>(
        userdata, [&](PyObject *callable, size_t failure) {
            size_t wanted;
            if (size == 0 || nitems == 0)
                return failure;
            if (__builtin_mul_overflow(size, nitems, &wanted) ||
                wanted > static_cast<size_t>(PY_SSIZE_T_MAX)) {
                print_error("integer overflow in read callback");
                return failure;
            }
            return read_answer(call_callable(callable, "(i)", static_cast<int>(wanted)).get(),
                               buffer, wanted, read_messages);
        });
}

long ranged_answer(PyObject *result, long lo, long hi, long none, long failure,
                   const RangeMessages &messages) {
    if (result == nullptr) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    long value;
    switch (read_int_result(result, lo, hi, value)) {
    case IntResult::none:
        return none;
    case IntResult::value:
        return value;
    case IntResult::overflow:
        // The whole value is checked: truncated, 2**32 + 1 would read as 1.
        PyErr_Clear();
        [[fallthrough]];
    case IntResult::out_of_range:
        print_error(messages.bad_value, result);
        return failure;
    case IntResult::not_int:
        break;
    }
    if (messages.bad_type != nullptr)
        print_error(messages.bad_type);
    else
        (void)write_result_line(messages.name, result, "is not an integer");
    return failure;
}

int seek_callback(void *userdata, curl_off_t offset, int origin) {
    static constexpr RangeMessages messages = {
        .bad_value = "invalid return value for seek callback %S not in (0, 1, 2)",
        .bad_type = "seek callback must return 0 (CURL_SEEKFUNC_OK), 1 (CURL_SEEKFUNC_FAIL), 2 "
                    "(CURL_SEEKFUNC_CANTSEEK) or None",
    };
    return with_callable<CURLOPT_SEEKFUNCTION, int>(userdata, [&](PyObject *callable, int failure) {
        Ref result = call_callable(callable, "(L,i)", static_cast<long long>(offset), origin);
        return static_cast<int>(ranged_answer(result.get(), CURL_SEEKFUNC_OK,
                                              CURL_SEEKFUNC_CANTSEEK, CURL_SEEKFUNC_OK, failure,
                                              messages));
    });
}

curlioerr ioctl_callback(CURL *, int cmd, void *userdata) {
    return with_callable<CURLOPT_IOCTLFUNCTION, curlioerr>(userdata, [&](PyObject *callable,
                                                                         curlioerr failure) {
        Ref result = call_reported(callable, "(i)", cmd);
        if (!result)
            return failure;
        long value;
        IntResult kind = read_int_result(result.get(), CURLIOE_OK, CURLIOE_FAILRESTART, value);
        if (kind == IntResult::none || kind == IntResult::value)
            return kind == IntResult::none ? CURLIOE_OK : static_cast<curlioerr>(value);
        if (kind == IntResult::not_int)
            return failure;
        if (kind == IntResult::overflow)
            PyErr_Clear();
        print_error("ioctl callback returned invalid value");
        // libcurl reports the value itself as the error.
        bool reportable = kind == IntResult::out_of_range && value >= INT_MIN && value <= INT_MAX;
        return reportable ? static_cast<curlioerr>(value) : failure;
    });
}

// The answer of a progress or transfer-information callable: None goes on,
// an int is libcurl's answer, any other value aborts when true.
static int progress_answer(PyObject *result, const char *name, int failure) {
    if (result == nullptr) {
        print_callback_error_if_regular_exception();
        return failure;
    }
    if (result == Py_None)
        return 0;
    if (PyLong_Check(result)) {
        int value;
        return int_answer(result, name, value) ? value : failure;
    }
    int truth = PyObject_IsTrue(result);
    if (truth < 0) {
        print_callback_error_if_regular_exception();
        return -1;
    }
    return truth;
}

int progress_callback(void *userdata, double dltotal, double dlnow, double ultotal, double ulnow) {
    return with_callable<CURLOPT_PROGRESSFUNCTION, int>(
        userdata, [&](PyObject *callable, int failure) {
            return progress_answer(
                call_callable(callable, "(dddd)", dltotal, dlnow, ultotal, ulnow).get(), "progress",
                failure);
        });
}

int xferinfo_callback(void *userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                      curl_off_t ulnow) {
    return with_callable<CURLOPT_XFERINFOFUNCTION, int>(userdata, [&](PyObject *callable,
                                                                      int failure) {
        return progress_answer(call_callable(callable, "(LLLL)", static_cast<long long>(dltotal),
                                             static_cast<long long>(dlnow),
                                             static_cast<long long>(ultotal),
                                             static_cast<long long>(ulnow))
                                   .get(),
                               "xferinfo", failure);
    });
}

int debug_callback(CURL *, curl_infotype type, char *data, size_t size, void *userdata) {
    return with_callable<CURLOPT_DEBUGFUNCTION, int>(
        userdata, [&](PyObject *callable, int failure) {
            if (size > static_cast<size_t>(INT32_MAX)) {
                print_error("integer overflow in debug callback");
                return failure;
            }
            (void)call_reported(callable, "(iy#)", static_cast<int>(type), data,
                                static_cast<Py_ssize_t>(size));
            return failure;
        });
}

// A callable's arguments, or null with the failure that stopped them
// reported.
static Ref reported(Ref args) {
    if (!args)
        print_callback_error_if_regular_exception();
    return args;
}

// The callable called with `args` (null: building them failed, -1), its
// result an int for libcurl; a callable that raised leaves its exception
// pending (-1).
static int int_call(PyObject *callable, const Ref &args, const char *name, int failure = -1) {
    if (!args)
        return -1;
    Ref result = Ref::steal(PyObject_Call(callable, args.get(), nullptr));
    if (!result)
        KeptExceptionScope::keep();
    int value;
    return int_answer(result.get(), name, value) ? value : failure;
}

int prereq_callback(void *userdata, char *conn_primary_ip, char *conn_local_ip,
                    int conn_primary_port, int conn_local_port) {
    return with_callable<CURLOPT_PREREQFUNCTION, int>(userdata, [&](PyObject *callable, int) {
        return int_call(callable,
                        reported(Ref::steal(Py_BuildValue("(ssii)", conn_primary_ip, conn_local_ip,
                                                          conn_primary_port, conn_local_port))),
                        "prereq");
    });
}

int trailer_callback(curl_slist **list, void *userdata) {
    *list = nullptr;
    return with_callable<CURLOPT_TRAILERFUNCTION, int>(
        userdata, [&](PyObject *callable, int failure) {
            Ref result = call_reported(callable, "()");
            if (!result)
                return failure;
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
        });
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

// The descriptor an open-socket callable returned: an int, handed over as
// it is (libcurl closes it when done), or an object with fileno(), whose
// descriptor libcurl gets a copy of (the object may be closed any time).
static curl_socket_t opened_socket(PyObject *result) {
    curl_socket_t fd;
    if (PyLong_Check(result)) {
        if (PyLong_AsCurlSocket(result, &fd) != 0) {
            print_callback_error_if_regular_exception();
            return CURL_SOCKET_BAD;
        }
        return fd;
    }
    Ref fileno = Ref::steal(PyObject_GetAttrString(result, "fileno"));
    if (!fileno) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(ErrorObject, "Open socket callback's return value must be a socket");
        }
        print_callback_error_if_regular_exception();
        return CURL_SOCKET_BAD;
    }
    Ref number = Ref::steal(PyObject_CallNoArgs(fileno.get()));
    if (!number) {
        print_callback_error_if_regular_exception();
        return CURL_SOCKET_BAD;
    }
    if (!PyLong_Check(number.get())) {
        PyErr_SetString(ErrorObject, "Open socket callback returned an object whose fileno method "
                                     "did not return an integer");
        return CURL_SOCKET_BAD;
    }
    if (PyLong_AsCurlSocket(number.get(), &fd) != 0) {
        print_callback_error_if_regular_exception();
        return CURL_SOCKET_BAD;
    }
    return dup(fd);
}

curl_socket_t opensocket_callback(void *userdata, curlsocktype purpose, curl_sockaddr *address) {
    return with_callable<CURLOPT_OPENSOCKETFUNCTION, curl_socket_t>(
        userdata, [&](PyObject *callable, curl_socket_t failure) {
            Ref addr = Ref::steal(socket_address(address));
            Ref sockaddr_obj = Ref::steal(
                addr ? PyObject_CallFunction(curl_sockaddr_type, "(iiiO)", address->family,
                                             address->socktype, address->protocol, addr.get())
                     : nullptr);
            if (!sockaddr_obj) {
                print_callback_error_if_regular_exception();
                return failure;
            }
            Ref result =
                call_reported(callable, "(iO)", static_cast<int>(purpose), sockaddr_obj.get());
            if (!result)
                return failure;
            return opened_socket(result.get());
        });
}

int sockopt_cb(void *userdata, curl_socket_t curlfd, curlsocktype purpose) {
    return with_callable<CURLOPT_SOCKOPTFUNCTION, int>(userdata, [&](PyObject *callable, int) {
        Ref sock = Ref::steal(PyLong_FromCurlSocket(curlfd));
        return int_call(
            callable,
            reported(sock ? Ref::steal(Py_BuildValue("(Oi)", sock.get(), static_cast<int>(purpose)))
                          : Ref()),
            "sockopt");
    });
}

int closesocket_callback(void *userdata, curl_socket_t item) {
    static constexpr const CallbackOption &row = callback_row(CURLOPT_CLOSESOCKETFUNCTION);
    auto *closer = static_cast<SocketCloser *>(userdata);
    // libcurl leaves closing the socket to this callback: when no callable
    // can take it, the socket is closed here or it would stay open.
    auto close_here = [item](bool = false) {
        close(item);
        return static_cast<int>(row.failure);
    };
    // Held throughout, so that the object cannot close on another thread
    // half-way; a thread that closes it waits detached from the interpreter.
    PyMutex_Lock(&closer->lock);
    int result = closer->curl == nullptr
                     ? close_here()
                     : call_through_row(
                           closer->curl, row,
                           [item](PyObject *callable) {
                               Ref sock = Ref::steal(PyLong_FromCurlSocket(item));
                               Ref args =
                                   reported(sock ? Ref::steal(PyTuple_Pack(1, sock.get())) : Ref());
                               if (!args)
                                   close(item);
                               return int_call(callable, args, "closesocket");
                           },
                           close_here);
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
    return with_callable<CURLOPT_SSH_KEYFUNCTION, int>(userdata, [&](PyObject *callable, int) {
        // A key that cannot be made leaves its exception pending.
        Ref known = Ref::steal(host_key(knownkey));
        if (!known)
            return -1;
        Ref found = Ref::steal(host_key(foundkey));
        if (!found)
            return -1;
        return int_call(callable,
                        reported(Ref::steal(Py_BuildValue("(OOi)", known.get(), found.get(),
                                                          static_cast<int>(match)))),
                        "ssh key");
    });
}

int ssh_hostkey_callback(void *userdata, int keytype, const char *key, size_t keylen) {
    return with_callable<CURLOPT_SSH_HOSTKEYFUNCTION, int>(
        userdata, [&](PyObject *callable, int failure) {
            Ref args = reported(
                Ref::steal(Py_BuildValue("(iy#)", keytype, key, static_cast<Py_ssize_t>(keylen))));
            return int_call(callable, args, "ssh host key", failure);
        });
}

int resolver_start_callback(void *, void *, void *userdata) {
    return with_callable<CURLOPT_RESOLVER_START_FUNCTION, int>(
        userdata, [&](PyObject *callable, int failure) {
            Ref result = call_reported(callable, "()");
            if (!result)
                return failure;
            if (result.get() == Py_None)
                return 0;
            int value;
            return int_answer(result.get(), "resolver_start", value) ? value : failure;
        });
}

int fnmatch_callback(void *userdata, const char *pattern, const char *string) {
    return with_callable<CURLOPT_FNMATCH_FUNCTION, int>(
        userdata, [&](PyObject *callable, int failure) {
            Ref args = reported(Ref::steal(Py_BuildValue("(yy)", pattern, string)));
            return args ? int_call(callable, args, "fnmatch", failure) : failure;
        });
}

// A FileInfo of the file a wildcard transfer is about to fetch.
static PyObject *file_info(const curl_fileinfo *info) {
    return PyObject_CallFunction(
        file_info_type, "(yiLIiiLlI)", info->filename, static_cast<int>(info->filetype),
        static_cast<long long>(info->time), info->perm, info->uid, info->gid,
        static_cast<long long>(info->size), info->hardlinks, info->flags);
}

long chunk_bgn_callback(const void *transfer_info, void *userdata, int remains) {
    static constexpr RangeMessages messages = {
        .bad_value = "chunk_bgn callback returned an invalid CURL_CHUNK_BGN_FUNC code",
        .name = "chunk_bgn",
    };
    return with_callable<CURLOPT_CHUNK_BGN_FUNCTION, long>(
        userdata, [&](PyObject *callable, long failure) {
            Ref info = Ref::steal(file_info(static_cast<const curl_fileinfo *>(transfer_info)));
            if (!info) {
                print_callback_error_if_regular_exception();
                return failure;
            }
            Ref result = call_callable(callable, "(Oi)", info.get(), remains);
            return ranged_answer(result.get(), CURL_CHUNK_BGN_FUNC_OK, CURL_CHUNK_BGN_FUNC_SKIP,
                                 CURL_CHUNK_BGN_FUNC_OK, failure, messages);
        });
}

long chunk_end_callback(void *userdata) {
    static constexpr RangeMessages messages = {
        .bad_value = "chunk_end callback returned an invalid CURL_CHUNK_END_FUNC code",
        .name = "chunk_end",
    };
    return with_callable<CURLOPT_CHUNK_END_FUNCTION, long>(userdata, [&](PyObject *callable,
                                                                         long failure) {
        return ranged_answer(call_callable(callable, "()").get(), CURL_CHUNK_END_FUNC_OK,
                             CURL_CHUNK_END_FUNC_FAIL, CURL_CHUNK_END_FUNC_OK, failure, messages);
    });
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
    return with_callable<CURLOPT_HSTSREADFUNCTION, CURLSTScode>(
        userdata, [&](PyObject *callable, CURLSTScode failure) {
            Ref result = call_reported(callable, "()");
            if (!result)
                return failure;
            if (result.get() == Py_None)
                return CURLSTS_DONE;
            if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 3) {
                print_error("hstsread callback must return None or a 3-tuple (host, expire, "
                            "include_subdomains)");
                return failure;
            }
            PyObject *host_obj = PyTuple_GET_ITEM(result.get(), 0);
            if (!PyText_Check(host_obj)) {
                print_error("hstsread callback: host must be a byte string or a Unicode string "
                            "with ASCII code points only");
                return failure;
            }
            // libcurl takes the host as a NUL-terminated text: an embedded NUL
            // is refused by the conversion.
            PyObject *encoded = nullptr;
            char *host = PyText_AsString_NoNUL(host_obj, &encoded);
            Ref keeper = Ref::steal(encoded);
            if (host == nullptr) {
                print_callback_error_if_regular_exception();
                return failure;
            }
            size_t host_len = std::strlen(host);
            if (host_len > entry->namelen) {
                print_error("hstsread callback: host length %zd exceeds libcurl maximum %zu",
                            static_cast<Py_ssize_t>(host_len), entry->namelen);
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
        });
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
    return with_callable<CURLOPT_HSTSWRITEFUNCTION, CURLSTScode>(
        userdata, [&](PyObject *callable, CURLSTScode failure) {
            Ref expire = Ref::steal(hsts_expire_datetime(entry));
            Ref hsts_entry = Ref::steal(
                expire
                    ? PyObject_CallFunction(hsts_entry_type, "(y#OO)", entry->name,
                                            static_cast<Py_ssize_t>(entry->namelen), expire.get(),
                                            entry->includeSubDomains ? Py_True : Py_False)
                    : nullptr);
            Ref hsts_index =
                Ref::steal(hsts_entry ? PyObject_CallFunction(hsts_index_type, "(nn)",
                                                              static_cast<Py_ssize_t>(index->index),
                                                              static_cast<Py_ssize_t>(index->total))
                                      : nullptr);
            if (!hsts_index) {
                print_callback_error_if_regular_exception();
                return failure;
            }
            Ref result = call_callable(callable, {hsts_entry.get(), hsts_index.get()});
            static constexpr RangeMessages messages = {
                .bad_value = "hstswrite callback returned an invalid CURLSTScode",
                .name = "hstswrite",
            };
            return static_cast<CURLSTScode>(ranged_answer(result.get(), CURLSTS_OK, CURLSTS_FAIL,
                                                          CURLSTS_OK, failure, messages));
        });
}
