// Private header of the tolvex extension: the object records, the
// process-wide values and the functions shared between the source files.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <source_location>
#include <utility>

// ---------------------------------------------------------------------------
// Consistency checks.  They stay on in every build: a broken invariant here
// means memory that libcurl or the interpreter would otherwise corrupt later.

[[noreturn]] void tolvex_assert_failed(const char *expr, const char *file, int line,
                                       const char *func);

#define TOLVEX_ASSERT_AT(cond, text, loc)                                                          \
    do {                                                                                           \
        if (!(cond)) [[unlikely]]                                                                  \
            tolvex_assert_failed(text, (loc).file_name(), static_cast<int>((loc).line()),          \
                                 (loc).function_name());                                           \
    } while (0)
#define TOLVEX_ASSERT_MSG(cond, text) TOLVEX_ASSERT_AT(cond, text, std::source_location::current())
#define TOLVEX_ASSERT(cond) TOLVEX_ASSERT_MSG(cond, #cond)

// A scope object: never copied.
class Scoped {
  public:
    Scoped() = default;
    Scoped(const Scoped &) = delete;
    Scoped &operator=(const Scoped &) = delete;
};

// ---------------------------------------------------------------------------
// References.  `Ref` owns one strong reference and releases it when it goes
// out of scope; its constructors say whether they steal or add a reference.
// Raw `PyObject *` is used only for borrowed references.

class Ref {
  public:
    constexpr Ref() noexcept = default;
    // Takes over a reference the caller owns (a new reference from the API).
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives the reference away (to a function that steals it, or as a result).
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// Releases an owned record field: the field is emptied before the reference
// is dropped, so code run by the release never sees a dangling pointer.
template <typename T>
inline void clear_field(T *&field) noexcept {
    T *old = field;
    field = nullptr;
    Py_XDECREF(reinterpret_cast<PyObject *>(old));
}

// Stores a new reference in an owned field and releases the previous one.
template <typename T>
inline void replace_field(T *&field, T *value) noexcept {
    T *old = field;
    Py_XINCREF(reinterpret_cast<PyObject *>(value));
    field = value;
    Py_XDECREF(reinterpret_cast<PyObject *>(old));
}

// Owners of libcurl resources.
struct SlistDeleter {
    void operator()(curl_slist *list) const noexcept { curl_slist_free_all(list); }
};
struct HttppostDeleter {
    void operator()(curl_httppost *post) const noexcept { curl_formfree(post); }
};

template <typename T, typename D>
class CurlOwned {
  public:
    constexpr CurlOwned() noexcept = default;
    explicit CurlOwned(T *p) noexcept : p_(p) {}
    CurlOwned(const CurlOwned &) = delete;
    CurlOwned &operator=(const CurlOwned &) = delete;
    CurlOwned(CurlOwned &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    CurlOwned &operator=(CurlOwned &&o) noexcept {
        reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    ~CurlOwned() { reset(); }
    T *get() const noexcept { return p_; }
    T *&ref() noexcept { return p_; }
    [[nodiscard]] T *release() noexcept { return std::exchange(p_, nullptr); }
    void reset(T *p = nullptr) noexcept {
        T *old = std::exchange(p_, p);
        if (old)
            D()(old);
    }

  private:
    T *p_ = nullptr;
};
using SlistPtr = CurlOwned<curl_slist, SlistDeleter>;
using HttppostPtr = CurlOwned<curl_httppost, HttppostDeleter>;

// A buffer obtained through the buffer protocol, released on scope exit.
class BufferView : Scoped {
  public:
    BufferView() noexcept { view_.obj = nullptr; }
    ~BufferView() { release(); }
    // Fills the view; 0 on success, -1 with an exception set.
    int get(PyObject *obj, int flags) noexcept {
        release();
        return PyObject_GetBuffer(obj, &view_, flags);
    }
    Py_buffer *raw() noexcept { return &view_; }
    void release() noexcept {
        if (view_.obj)
            PyBuffer_Release(&view_);
        view_.obj = nullptr;
    }
    bool held() const noexcept { return view_.obj != nullptr; }
    const void *data() const noexcept { return view_.buf; }
    void *mutable_data() const noexcept { return view_.buf; }
    Py_ssize_t size() const noexcept { return view_.len; }

  private:
    Py_buffer view_;
};

// Method-table entries for functions whose first parameter is a record
// pointer, or that take keywords.
template <typename F>
inline PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---------------------------------------------------------------------------
// Object records.

struct CurlObject;
struct CurlMultiObject;
struct CurlShareObject;
struct CurlMimeObject;

// What libcurl's CLOSESOCKETDATA points at.  libcurl keeps it with every
// connection made while it is set, and a connection kept in a multi's or a
// share's connection pool may be closed after its Curl object is gone, so
// the closer outlives the object: its holders are the object and each multi
// and share that may pool connections made with it.  Once the object is gone
// the close-socket callback closes sockets itself.
struct SocketCloser {
    PyMutex lock;     // guards `curl` against a callback on another thread
    CurlObject *curl; // null once the Curl object has closed
    Py_ssize_t holders;
};

// The closers a multi or a share holds, freed with its libcurl handle.
// Zeroed memory is an empty set.
struct SocketCloserHolds {
    SocketCloser **items;
    Py_ssize_t count;
    Py_ssize_t capacity;
};

// Every Python object libcurl may call or read through the handle is owned
// by a field here, so that it outlives libcurl's use of it.
struct CurlObject {
    PyObject_HEAD PyObject *dict;
    PyObject *weakreflist;
    CURL *handle;
    PyThreadState *state;
    PyObject *multi_weakref;
    CurlMultiObject *multi_stack; // not owned
    CurlShareObject *share;
    PyObject *httppost_obj;
    PyObject *mimepost_obj;
    PyObject *httpheader_slist;
    PyObject *proxyheader_slist;
    PyObject *http200aliases_slist;
    PyObject *quote_slist;
    PyObject *postquote_slist;
    PyObject *prequote_slist;
    PyObject *telnetoptions_slist;
    PyObject *resolve_slist;
    PyObject *mail_rcpt_slist;
    PyObject *connect_to_slist;
    PyObject *write_callable;
    int write_use_memoryview;
    PyObject *header_callable;
    int header_use_memoryview;
    PyObject *read_callable;
    PyObject *progress_callable;
    PyObject *xferinfo_callable;
    PyObject *debug_callable;
    PyObject *ioctl_callable;
    PyObject *opensocket_callable;
    PyObject *closesocket_callable;
    PyObject *seek_callable;
    PyObject *sockopt_callable;
    PyObject *ssh_key_callable;
    PyObject *prereq_callable;
    PyObject *fnmatch_callable;
    PyObject *resolver_start_callable;
    PyObject *trailer_callable;
    PyObject *hstsread_callable;
    PyObject *hstswrite_callable;
    PyObject *ssh_hostkey_callable;
    PyObject *chunk_bgn_callable;
    PyObject *chunk_end_callable;
    PyObject *interleave_callable;
    PyObject *postfields_obj;
    PyObject *ca_certs_obj;
    SocketCloser *closesocket_closer; // made with the first CLOSESOCKETFUNCTION
    int in_write_callback;
    char error[CURL_ERROR_SIZE + 1];
    // The first exception the handle's callables raised during its latest
    // transfer: the cause of the error that transfer raises.
    PyObject *callback_exception;
};

// ---------------------------------------------------------------------------
// The callable options.  Each callback option is one row of
// curl_callback_options: setopt, unsetopt, the garbage-collector hooks, the
// release of the record's owners and the entry points themselves all read
// it, so a callback is added or changed in one place.

// The entry points of the callback bridge (src/easycb.cpp), with libcurl's
// prototypes; the user-data pointer is the Curl object (for
// closesocket_callback, its SocketCloser).
size_t write_callback(char *ptr, size_t size, size_t nmemb, void *userdata);
size_t header_callback(char *ptr, size_t size, size_t nmemb, void *userdata);
// The messages of a read callable's refused results: a buffer or a str
// (ASCII-encoded) longer than the `wanted` bytes (formats of the lengths
// returned and wanted), an int that is neither READFUNC_ABORT nor
// READFUNC_PAUSE, anything else.
struct ReadResultMessages {
    const char *too_long;
    const char *too_long_text;
    const char *bad_int;
    const char *bad_type;
};
// libcurl's answer for what a read callable returned (null: it raised):
// its data copied into `buffer`, READFUNC_ABORT or READFUNC_PAUSE, or
// READFUNC_ABORT with the failure reported.
size_t read_answer(PyObject *result, char *buffer, size_t wanted,
                   const ReadResultMessages &messages);
size_t read_callback(char *buffer, size_t size, size_t nitems, void *userdata);
int progress_callback(void *userdata, double dltotal, double dlnow, double ultotal, double ulnow);
int xferinfo_callback(void *userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                      curl_off_t ulnow);
int debug_callback(CURL *handle, curl_infotype type, char *data, size_t size, void *userdata);
curlioerr ioctl_callback(CURL *handle, int cmd, void *userdata);
int seek_callback(void *userdata, curl_off_t offset, int origin);
curl_socket_t opensocket_callback(void *userdata, curlsocktype purpose, curl_sockaddr *address);
int closesocket_callback(void *userdata, curl_socket_t item);
int sockopt_cb(void *userdata, curl_socket_t curlfd, curlsocktype purpose);
int ssh_key_cb(CURL *handle, const curl_khkey *knownkey, const curl_khkey *foundkey,
               curl_khmatch match, void *userdata);
int prereq_callback(void *userdata, char *conn_primary_ip, char *conn_local_ip,
                    int conn_primary_port, int conn_local_port);
int fnmatch_callback(void *userdata, const char *pattern, const char *string);
int resolver_start_callback(void *resolver_state, void *reserved, void *userdata);
int trailer_callback(curl_slist **list, void *userdata);
CURLSTScode hstsread_callback(CURL *handle, curl_hstsentry *entry, void *userdata);
CURLSTScode hstswrite_callback(CURL *handle, curl_hstsentry *entry, curl_index *index,
                               void *userdata);
int ssh_hostkey_callback(void *userdata, int keytype, const char *key, size_t keylen);
long chunk_bgn_callback(const void *transfer_info, void *userdata, int remains);
long chunk_end_callback(void *userdata);
size_t interleave_callback(char *ptr, size_t size, size_t nmemb, void *userdata);

// Sets a function option to an entry point, passing libcurl the pointer
// with its own type.
template <auto EntryPoint>
CURLcode install_entry_point(CURL *handle, CURLoption option) {
    return curl_easy_setopt(handle, option, EntryPoint);
}

// What unsetting a callable option gives libcurl as its data option:
// without a function libcurl writes to or reads from its data as a FILE *.
enum class UnsetData { null, stdout_stream, stdin_stream };

struct CallbackOption {
    CURLoption function_option;
    CURLoption data_option; // set with the function, to the Curl object by default
    PyObject *CurlObject::*field;
    CURLcode (*install)(CURL *handle, CURLoption option);
    // Issued, and returned to libcurl, when the entry point cannot call
    // Python: no thread state, the interpreter finalizing, no callable.
    const char *warning;
    long failure;
    // The flag chosen by setopt's use_memoryview, for the two deliveries.
    int CurlObject::*use_memoryview = nullptr;
    const char *deprecation = nullptr; // DeprecationWarning issued by setopt
    UnsetData unset_data = UnsetData::null;
    // What the data option points at, when not the Curl object itself; null
    // with an exception set when it cannot be had.
    void *(*user_data)(CurlObject *self) = nullptr;
    // libcurl calls the callback while it copies the handle, with the
    // interpreter lock held and the data still the source's: duphandle
    // leaves the function out of that call.
    bool called_by_duphandle = false;
};

void *socket_closer_data(CurlObject *self);

// In the order the record releases and visits its callables.
inline constexpr CallbackOption curl_callback_options[] = {
    {.function_option = CURLOPT_WRITEFUNCTION,
     .data_option = CURLOPT_WRITEDATA,
     .field = &CurlObject::write_callable,
     .install = install_entry_point<write_callback>,
     .warning = "util_write_callback failed to acquire thread",
     .failure = 0,
     .use_memoryview = &CurlObject::write_use_memoryview,
     .unset_data = UnsetData::stdout_stream},
    {.function_option = CURLOPT_HEADERFUNCTION,
     .data_option = CURLOPT_HEADERDATA,
     .field = &CurlObject::header_callable,
     .install = install_entry_point<header_callback>,
     .warning = "util_write_callback failed to acquire thread",
     .failure = 0,
     .use_memoryview = &CurlObject::header_use_memoryview},
    {.function_option = CURLOPT_READFUNCTION,
     .data_option = CURLOPT_READDATA,
     .field = &CurlObject::read_callable,
     .install = install_entry_point<read_callback>,
     .warning = "read_callback failed to acquire thread",
     .failure = CURL_READFUNC_ABORT,
     .unset_data = UnsetData::stdin_stream},
    {.function_option = CURLOPT_PROGRESSFUNCTION,
     .data_option = CURLOPT_PROGRESSDATA,
     .field = &CurlObject::progress_callable,
     .install = install_entry_point<progress_callback>,
     .warning = "progress_callback failed to acquire thread",
     .failure = 1,
     .deprecation = "PROGRESSFUNCTION is deprecated; use XFERINFOFUNCTION"},
    {.function_option = CURLOPT_XFERINFOFUNCTION,
     .data_option = CURLOPT_XFERINFODATA,
     .field = &CurlObject::xferinfo_callable,
     .install = install_entry_point<xferinfo_callback>,
     .warning = "xferinfo_callback failed to acquire thread",
     .failure = 1},
    {.function_option = CURLOPT_DEBUGFUNCTION,
     .data_option = CURLOPT_DEBUGDATA,
     .field = &CurlObject::debug_callable,
     .install = install_entry_point<debug_callback>,
     .warning = "debug_callback failed to acquire thread",
     .failure = 0},
    {.function_option = CURLOPT_IOCTLFUNCTION,
     .data_option = CURLOPT_IOCTLDATA,
     .field = &CurlObject::ioctl_callable,
     .install = install_entry_point<ioctl_callback>,
     .warning = "ioctl_callback failed to acquire thread",
     .failure = CURLIOE_FAILRESTART,
     .deprecation = "IOCTLFUNCTION is deprecated; use SEEKFUNCTION"},
    {.function_option = CURLOPT_SEEKFUNCTION,
     .data_option = CURLOPT_SEEKDATA,
     .field = &CurlObject::seek_callable,
     .install = install_entry_point<seek_callback>,
     .warning = "seek_callback failed to acquire thread",
     .failure = CURL_SEEKFUNC_CANTSEEK},
    {.function_option = CURLOPT_OPENSOCKETFUNCTION,
     .data_option = CURLOPT_OPENSOCKETDATA,
     .field = &CurlObject::opensocket_callable,
     .install = install_entry_point<opensocket_callback>,
     .warning = "opensocket_callback failed to acquire thread",
     .failure = CURL_SOCKET_BAD},
    // Without Python the entry point closes the socket itself: libcurl
    // leaves closing it to the callback.
    {.function_option = CURLOPT_CLOSESOCKETFUNCTION,
     .data_option = CURLOPT_CLOSESOCKETDATA,
     .field = &CurlObject::closesocket_callable,
     .install = install_entry_point<closesocket_callback>,
     .warning = "closesocket_callback failed to acquire thread",
     .failure = 0,
     .user_data = socket_closer_data},
    {.function_option = CURLOPT_SOCKOPTFUNCTION,
     .data_option = CURLOPT_SOCKOPTDATA,
     .field = &CurlObject::sockopt_callable,
     .install = install_entry_point<sockopt_cb>,
     .warning = "sockopt_cb failed to acquire thread",
     .failure = CURL_SOCKOPT_ERROR},
    {.function_option = CURLOPT_SSH_KEYFUNCTION,
     .data_option = CURLOPT_SSH_KEYDATA,
     .field = &CurlObject::ssh_key_callable,
     .install = install_entry_point<ssh_key_cb>,
     .warning = "ssh_key_cb failed to acquire thread",
     .failure = CURLKHSTAT_REJECT},
    {.function_option = CURLOPT_PREREQFUNCTION,
     .data_option = CURLOPT_PREREQDATA,
     .field = &CurlObject::prereq_callable,
     .install = install_entry_point<prereq_callback>,
     .warning = "prereq_callback failed to acquire thread",
     .failure = CURL_PREREQFUNC_ABORT},
    {.function_option = CURLOPT_FNMATCH_FUNCTION,
     .data_option = CURLOPT_FNMATCH_DATA,
     .field = &CurlObject::fnmatch_callable,
     .install = install_entry_point<fnmatch_callback>,
     .warning = "fnmatch_callback failed to acquire thread",
     .failure = CURL_FNMATCHFUNC_FAIL},
    {.function_option = CURLOPT_RESOLVER_START_FUNCTION,
     .data_option = CURLOPT_RESOLVER_START_DATA,
     .field = &CurlObject::resolver_start_callable,
     .install = install_entry_point<resolver_start_callback>,
     .warning = "resolver_start_callback failed to acquire thread",
     .failure = 1},
    {.function_option = CURLOPT_TRAILERFUNCTION,
     .data_option = CURLOPT_TRAILERDATA,
     .field = &CurlObject::trailer_callable,
     .install = install_entry_point<trailer_callback>,
     .warning = "trailer_callback failed to acquire thread",
     .failure = CURL_TRAILERFUNC_ABORT},
    {.function_option = CURLOPT_HSTSREADFUNCTION,
     .data_option = CURLOPT_HSTSREADDATA,
     .field = &CurlObject::hstsread_callable,
     .install = install_entry_point<hstsread_callback>,
     .warning = "hstsread_callback failed to acquire thread",
     .failure = CURLSTS_FAIL,
     // The copy preloads its HSTS cache; the clone's own transfers read the
     // entries again.
     .called_by_duphandle = true},
    {.function_option = CURLOPT_HSTSWRITEFUNCTION,
     .data_option = CURLOPT_HSTSWRITEDATA,
     .field = &CurlObject::hstswrite_callable,
     .install = install_entry_point<hstswrite_callback>,
     .warning = "hstswrite_callback failed to acquire thread",
     .failure = CURLSTS_FAIL},
    {.function_option = CURLOPT_SSH_HOSTKEYFUNCTION,
     .data_option = CURLOPT_SSH_HOSTKEYDATA,
     .field = &CurlObject::ssh_hostkey_callable,
     .install = install_entry_point<ssh_hostkey_callback>,
     .warning = "ssh_hostkey_callback failed to acquire thread",
     .failure = CURLKHMATCH_MISMATCH},
    // The two wildcard chunk callbacks share their data option.
    {.function_option = CURLOPT_CHUNK_BGN_FUNCTION,
     .data_option = CURLOPT_CHUNK_DATA,
     .field = &CurlObject::chunk_bgn_callable,
     .install = install_entry_point<chunk_bgn_callback>,
     .warning = "chunk_bgn_callback failed to acquire thread",
     .failure = CURL_CHUNK_BGN_FUNC_FAIL},
    {.function_option = CURLOPT_CHUNK_END_FUNCTION,
     .data_option = CURLOPT_CHUNK_DATA,
     .field = &CurlObject::chunk_end_callable,
     .install = install_entry_point<chunk_end_callback>,
     .warning = "chunk_end_callback failed to acquire thread",
     .failure = CURL_CHUNK_END_FUNC_FAIL},
    {.function_option = CURLOPT_INTERLEAVEFUNCTION,
     .data_option = CURLOPT_INTERLEAVEDATA,
     .field = &CurlObject::interleave_callable,
     .install = install_entry_point<interleave_callback>,
     .warning = "interleave_callback failed to acquire thread",
     .failure = 0},
};

constexpr const CallbackOption *find_callback_option(int function_option) {
    for (const CallbackOption &row : curl_callback_options)
        if (row.function_option == function_option)
            return &row;
    return nullptr;
}

// The row of an entry point, resolved at compile time (an option without a
// row does not compile).
consteval const CallbackOption &callback_row(CURLoption function_option) {
    return *find_callback_option(function_option);
}

// The string-list options and the fields that own their lists, in record
// order.
struct ListOption {
    CURLoption option;
    PyObject *CurlObject::*field;
};
inline constexpr ListOption curl_list_options[] = {
    {CURLOPT_HTTPHEADER, &CurlObject::httpheader_slist},
    {CURLOPT_PROXYHEADER, &CurlObject::proxyheader_slist},
    {CURLOPT_HTTP200ALIASES, &CurlObject::http200aliases_slist},
    {CURLOPT_QUOTE, &CurlObject::quote_slist},
    {CURLOPT_POSTQUOTE, &CurlObject::postquote_slist},
    {CURLOPT_PREQUOTE, &CurlObject::prequote_slist},
    {CURLOPT_TELNETOPTIONS, &CurlObject::telnetoptions_slist},
    {CURLOPT_RESOLVE, &CurlObject::resolve_slist},
    {CURLOPT_MAIL_RCPT, &CurlObject::mail_rcpt_slist},
    {CURLOPT_CONNECT_TO, &CurlObject::connect_to_slist},
};

// The multi's own event source (CurlMulti.fileno()): an epoll set of
// libcurl's sockets that holds a timer descriptor for libcurl's timeout
// (descriptors -1 while off), the number of transfers running after the
// last look, when libcurl wants to be called (`due`) and when the timer
// descriptor fires (`armed`), in CLOCK_MONOTONIC nanoseconds or -1 for
// never, and whether process_events() runs (it looks at `due` itself).
struct MultiEvents {
    int epoll_fd = -1;
    int timer_fd = -1;
    int running = 0;
    long long due = -1;
    long long armed = -1;
    bool processing = false;
};

struct CurlMultiObject {
    PyObject_HEAD PyObject *dict;
    PyObject *weakreflist;
    CURLM *multi_handle;
    PyThreadState *state;
    PyObject *timer_callable;
    PyObject *socket_callable;
    PyObject *notify_callable;
    PyObject *push_callable;
    PyObject *assigned_objects;
    PyObject *easy_set;
    SocketCloserHolds socket_closers;
    int close_handles;
    // The first exception the multi's own callables raised during its
    // latest operation: the cause of the error that operation raises.
    PyObject *callback_exception;
    MultiEvents events;
};

struct CurlShareObject {
    PyObject_HEAD PyObject *dict;
    PyObject *weakreflist;
    CURLSH *share_handle;
    PyMutex *lock;
    PyMutex object_lock;
    PyObject *easy_weakrefs;
    int detach_on_close;
    SocketCloserHolds socket_closers;
};

struct CurlMimeObject {
    PyObject_HEAD CurlObject *curl;
    curl_mime *mime_handle;
    PyObject *parts;
    PyObject *submimes;
    PyObject *data_cb_owners;
    int owns_handle;
};

struct CurlMimePartObject {
    PyObject_HEAD CurlMimeObject *mime;
    curl_mimepart *part_handle;
    PyObject *data_cb_owner;
    // The MIME attached as this part's body: libcurl frees its structure when
    // the body is replaced, and its wrapper must learn of it.
    CurlMimeObject *subparts_mime;
};

struct MimeDataCbOwnerObject {
    PyObject_HEAD PyObject *read_cb;
    PyObject *seek_cb;
    PyObject *free_cb;
    PyObject *userdata;
    // A weak reference to the Curl of the part's MIME, where the exceptions
    // of the callables are kept while its transfer runs.
    PyObject *curl_weakref;
    Py_ssize_t libcurl_refs;
    int free_called;
};

struct CurlSlistObject {
    PyObject_HEAD curl_slist *list_head;
};

struct CurlHttppostObject {
    PyObject_HEAD curl_httppost *form_chain;
    PyObject *buffer_refs;
};

// ---------------------------------------------------------------------------
// Process-wide values, created at import.

extern PyObject *ErrorObject;
extern PyObject *curlobject_constants;
extern PyObject *curlmultiobject_constants;
extern PyObject *curlshareobject_constants;
extern char *g_tolvex_useragent;
extern PyObject *bytesio;
extern PyObject *khkey_type;
extern PyObject *curl_sockaddr_type;
extern PyObject *hsts_entry_type;
extern PyObject *hsts_index_type;
extern PyObject *ws_frame_type;
extern PyObject *file_info_type;
extern PyObject *ssl_session_type;
extern PyObject *datetime_type;
extern PyObject *utc_tz;
extern char *empty_keywords[];

extern PyTypeObject Curl_Type;
extern PyTypeObject CurlMulti_Type;
extern PyTypeObject CurlShare_Type;
extern PyTypeObject CurlMime_Type;
extern PyTypeObject CurlMimePart_Type;
extern PyTypeObject CurlSlist_Type;
extern PyTypeObject CurlHttppost_Type;
extern PyTypeObject MimeDataCbOwner_Type;

extern PyTypeObject *p_Curl_Type;
extern PyTypeObject *p_CurlMulti_Type;
extern PyTypeObject *p_CurlShare_Type;
extern PyTypeObject *p_CurlMime_Type;
extern PyTypeObject *p_CurlMimePart_Type;
extern PyTypeObject *p_CurlSlist_Type;
extern PyTypeObject *p_CurlHttppost_Type;

// Instance checks against the module's types.  Callbacks make them before
// they hold the interpreter lock, so they use the type check that reads only
// the type's fixed data and calls no Python code.
inline bool is_curl(PyObject *obj) {
    return obj && PyObject_TypeCheck(obj, p_Curl_Type);
}
inline bool is_multi(PyObject *obj) {
    return obj && PyObject_TypeCheck(obj, p_CurlMulti_Type);
}
inline bool is_share(PyObject *obj) {
    return obj && PyObject_TypeCheck(obj, p_CurlShare_Type);
}

// ---------------------------------------------------------------------------
// Constant registry and attribute helpers.

// Stores `value` (a new reference, stolen; null fails) under `name` in
// `dict1` and `dict2`.  0, or -1 with an exception set.
int insobj2(PyObject *dict1, PyObject *dict2, const char *name, PyObject *value);
int insert_int(PyObject *d, PyObject *extra, const char *name, long long value);
int insert_str(PyObject *d, const char *name, const char *value);
int insert_constants(PyObject *module_dict);
PyObject *my_getattro(PyObject *co, PyObject *name, PyObject *dict1, PyObject *dict2);
int my_setattro(PyObject **dict, PyObject *name, PyObject *v);

// A static type of the module from the fields that tell it apart: every one
// is garbage-collected and allocated and freed by the collector's allocator.
inline PyTypeObject module_type(PyTypeObject type) {
    PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
    type.ob_base = head;
    type.tp_flags |= Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_alloc = PyType_GenericAlloc;
    type.tp_free = PyObject_GC_Del;
    return type;
}

// A new record of `subtype`, parsing the one keyword-only flag of the
// constructor of `type` (a subclass's constructor parses its own arguments).
// Null with an exception set.
Ref new_with_flag(PyTypeObject *subtype, PyTypeObject *type, PyObject *args, PyObject *kwds,
                  const char *keyword, int &flag);

// What the handle types (Curl, CurlMulti, CurlShare) share: attributes kept
// in the instance's dictionary, then the type's constants (c.URL); no
// pickling; `with` gives the handle itself.  The record's `dict` holds the
// attributes; `Constants` is the type's dictionary of constants, `Check`
// its consistency check and `Name` its name in refusals.
template <typename Record, PyObject **Constants, void (*Check)(const Record *), const char *Name>
struct HandlePlumbing {
    static Record *record(PyObject *o) { return reinterpret_cast<Record *>(o); }
    static PyObject *getattro(PyObject *o, PyObject *name) {
        Check(record(o));
        PyObject *v = PyObject_GenericGetAttr(o, name);
        if (v == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            v = my_getattro(o, name, record(o)->dict, *Constants);
        }
        return v;
    }
    static int setattro(PyObject *o, PyObject *name, PyObject *v) {
        Check(record(o));
        return my_setattro(&record(o)->dict, name, v);
    }
    static PyObject *getstate(PyObject *, PyObject *) {
        PyErr_Format(PyExc_TypeError, "%s objects do not support serialization", Name);
        return nullptr;
    }
    static PyObject *setstate(PyObject *, PyObject *) {
        PyErr_Format(PyExc_TypeError, "%s objects do not support deserialization", Name);
        return nullptr;
    }
    static PyObject *enter(PyObject *op, PyObject *) { return Py_NewRef(op); }
    // The handle's type: a module type with these slots, subclassable and
    // weakly referenceable.
    static PyTypeObject type(PyTypeObject type) {
        type.tp_basicsize = sizeof(Record);
        type.tp_getattro = getattro;
        type.tp_setattro = setattro;
        type.tp_flags |= Py_TPFLAGS_BASETYPE;
        type.tp_weaklistoffset = offsetof(Record, weakreflist);
        return module_type(type);
    }
};

// The method-table entries of HandlePlumbing.
#define TOLVEX_PLUMBING_METHODS(Plumbing)                                                          \
    {"__getstate__", Plumbing::getstate, METH_NOARGS, nullptr},                                    \
        {"__setstate__", Plumbing::setstate, METH_VARARGS, nullptr}, {                             \
        "__enter__", Plumbing::enter, METH_NOARGS, nullptr                                         \
    }

// ---------------------------------------------------------------------------
// Interpreter bridge.

PyThreadState **tolvex_get_thread_state_slot(CurlObject *self);
PyThreadState **tolvex_get_thread_state_slot_multi(CurlMultiObject *self);
PyThreadState *tolvex_get_thread_state(CurlObject *self);
int tolvex_python_enter(PyThreadState **slot);
void tolvex_python_leave(PyThreadState **slot);
void warn_failed_to_acquire_thread(const char *text);
void print_callback_error_if_regular_exception();
int check_pending_python_exception_or_signal();

// Releases the interpreter lock for one blocking libcurl call, parking the
// thread state in `slot` (the handle's or the multi's `state`) so callbacks
// made during the call can take the lock back with it.  The slot is filled
// before the lock goes: a thread that takes the lock in between must already
// find the object running.
class ReleaseGil : Scoped {
  public:
    ReleaseGil(PyThreadState *&slot, const char *text,
               std::source_location loc = std::source_location::current()) noexcept
        : slot_(slot), text_(text), loc_(loc) {
        slot_ = PyThreadState_Get();
        PyThreadState *saved = PyEval_SaveThread();
        TOLVEX_ASSERT_AT(saved == slot_, text_, loc_);
    }
    ~ReleaseGil() {
        TOLVEX_ASSERT_AT(slot_ != nullptr, text_, loc_);
        PyEval_RestoreThread(slot_);
        slot_ = nullptr;
    }

  private:
    PyThreadState *&slot_;
    const char *text_;
    std::source_location loc_;
};

// The same for calls that may be made from inside a running transfer's
// callback: the slot's previous content is put back afterwards, so the
// enclosing operation finds its saved state unchanged.
class ReleaseGilKeepSlot : Scoped {
  public:
    ReleaseGilKeepSlot(PyThreadState *&slot, const char *text,
                       std::source_location loc = std::source_location::current()) noexcept
        : slot_(slot), previous_(slot), text_(text), loc_(loc) {
        slot_ = PyThreadState_Get();
        PyThreadState *saved = PyEval_SaveThread();
        TOLVEX_ASSERT_AT(saved == slot_, text_, loc_);
    }
    // For a call on a handle: its operations park their state in the
    // multi's slot while it belongs to one, else in its own.
    explicit ReleaseGilKeepSlot(CurlObject *self,
                                std::source_location loc = std::source_location::current()) noexcept
        : ReleaseGilKeepSlot(
              self->multi_stack ? self->multi_stack->state : self->state,
              self->multi_stack ? "self->multi_stack->state != NULL" : "self->state != NULL", loc) {
    }
    ~ReleaseGilKeepSlot() {
        TOLVEX_ASSERT_AT(slot_ != nullptr, text_, loc_);
        PyEval_RestoreThread(slot_);
        slot_ = previous_;
    }

  private:
    PyThreadState *&slot_;
    PyThreadState *previous_;
    const char *text_;
    std::source_location loc_;
};

// Runs one libcurl call with the interpreter lock released by a `Release`
// made of `release_args`, so that the callbacks made during the call reach
// Python.  An exception a callback left pending, or a signal handler's, wins
// over libcurl's answer: nullopt then, with the exception set.
template <typename Release, typename Call, typename... ReleaseArgs>
auto run_unlocked(Call &&call, ReleaseArgs &&...release_args) -> std::optional<decltype(call())> {
    decltype(call()) res;
    {
        Release unlocked(std::forward<ReleaseArgs>(release_args)...);
        res = call();
    }
    if (check_pending_python_exception_or_signal() != 0)
        return std::nullopt;
    return res;
}

// Releases the interpreter lock without marking any object as running (the
// wait in CurlMulti.select).
class ReleaseGilUnmarked : Scoped {
  public:
    ReleaseGilUnmarked() noexcept : saved_(PyEval_SaveThread()) {}
    ~ReleaseGilUnmarked() { PyEval_RestoreThread(saved_); }

  private:
    PyThreadState *saved_;
};

// Where the exceptions raised by callables on this thread are kept: the
// `callback_exception` field of the Curl or CurlMulti whose operation or
// callback runs innermost, or null.  Only the first exception is kept.
class KeptExceptionScope : Scoped {
  public:
    explicit KeptExceptionScope(PyObject **slot) noexcept : previous_(current_) {
        if (slot != nullptr)
            current_ = slot;
    }
    ~KeptExceptionScope() { current_ = previous_; }
    // With an exception set (and left set): keeps it unless one is kept
    // already.  The lock must be held.
    static void keep() noexcept {
        if (current_ == nullptr || *current_ != nullptr)
            return;
        PyObject *exc = PyErr_GetRaisedException();
        *current_ = Py_XNewRef(exc);
        PyErr_SetRaisedException(exc);
    }

  private:
    static inline thread_local PyObject **current_ = nullptr;
    PyObject **previous_;
};

// Enters the interpreter for one callback of a handle or a multi, through the
// thread state its running operation parked, and leaves it on scope exit.
// Every Python reference a callback holds must be declared after this
// object, so it is released while the lock is still held.
class CallbackScope : Scoped {
  public:
    CallbackScope(CurlObject *self, const char *warning) : kept_(&self->callback_exception) {
        if (!Py_IsFinalizing())
            enter(tolvex_get_thread_state_slot(self), warning);
    }
    CallbackScope(CurlObject *self, const CallbackOption &row) : CallbackScope(self, row.warning) {}
    CallbackScope(CurlMultiObject *self, const char *warning) : kept_(&self->callback_exception) {
        if (!Py_IsFinalizing())
            enter(tolvex_get_thread_state_slot_multi(self), warning);
    }
    ~CallbackScope() {
        if (aside_) {
            // Dropped before the set-aside exception is pending again.
            Ref::steal(PyErr_GetRaisedException());
            PyErr_SetRaisedException(aside_.release());
        }
        if (entered_)
            tolvex_python_leave(slot_);
    }
    // True when the lock is held and Python may be called.
    bool ok() const { return ok_; }
    // Lets Python be called although an earlier callback of this libcurl
    // call left its exception pending: that exception is set aside meanwhile
    // and stays the one raised, and whatever the call leaves is dropped.
    void set_pending_aside() {
        if (entered_ && !ok_) {
            aside_ = Ref::steal(PyErr_GetRaisedException());
            ok_ = true;
        }
    }

  private:
    void enter(PyThreadState **slot, const char *warning) {
        slot_ = slot;
        if (!tolvex_python_enter(slot_)) {
            warn_failed_to_acquire_thread(warning);
            return;
        }
        entered_ = true;
        // A callback raised earlier in this libcurl call and its exception is
        // still pending: calling Python again now would be undefined.
        ok_ = PyErr_Occurred() == nullptr;
    }

    // Declared first, so that it is undone last, after the lock is gone.
    KeptExceptionScope kept_;
    PyThreadState **slot_ = nullptr;
    bool entered_ = false;
    bool ok_ = false;
    Ref aside_;
};

// Takes a kept exception out of its field for an operation that starts.  The
// caller releases it once the operation has marked its object running:
// releasing it may run Python code, during which another thread could start
// an operation on the object the state check found idle.
[[nodiscard]] inline Ref take_kept_exception(PyObject *&field) noexcept {
    return Ref::steal(std::exchange(field, nullptr));
}

// With an exception set: when `kept` holds a callable's exception, it
// becomes the cause (and the context) of the one set, as `raise ... from`
// would make it.
void chain_kept_exception(PyObject *kept);

// ---------------------------------------------------------------------------
// Conversions and errors.

int PyText_Check(PyObject *o);
int PyText_AsStringAndSize(PyObject *obj, char **buffer, Py_ssize_t *length,
                           PyObject **encoded_obj);
char *PyText_AsString_NoNUL(PyObject *obj, PyObject **encoded_obj);
PyObject *PyText_FromString_Ignore(const char *string);
int PyListOrTuple_Check(PyObject *v);
Py_ssize_t PyListOrTuple_Size(PyObject *v, int which);
PyObject *PyListOrTuple_GetItem(PyObject *v, Py_ssize_t i, int which);
int PyLong_AsCurlSocket(PyObject *obj, curl_socket_t *sockfd);
PyObject *PyLong_FromCurlSocket(curl_socket_t sockfd);
// Where the message of a failed libcurl call comes from: the handle's error
// buffer (calls that run a transfer or its I/O, which reset the buffer
// first) or libcurl's text for the code (every other call).
enum class ErrorText { buffer, code };
void create_and_set_error_object(CurlObject *self, int code, ErrorText text);
// Raises tolvex.error with the value (code, text), or (code,) without a
// text; returns null.
PyObject *raise_error(long code, const char *text);
// Raises tolvex.error for a failed libcurl call on a handle that runs no
// transfer: the code and libcurl's text for it; returns null.
PyObject *raise_curl_error(CurlObject *self, CURLcode res);

// Text converted for libcurl: the encoded temporary of a str is owned here.
struct TextArg {
    char *data = nullptr;
    Py_ssize_t size = 0;
    Ref keeper; // the ASCII-encoded bytes of a str, or empty for bytes
};

// ---------------------------------------------------------------------------
// Easy handle.

// Whether `option` may name an option of a family whose options are a type
// base (CURLOPTTYPE_LONG up to `last_type`) plus a number below the number
// of the family's last entry (CURLOPT_LASTENTRY, CURLMOPT_LASTENTRY).
constexpr bool option_in_range(int option, int last_type, int last_entry) {
    constexpr int step = CURLOPTTYPE_OBJECTPOINT - CURLOPTTYPE_LONG;
    const int last_number = last_entry % step - 1;
    return option >= 1 && option <= last_type + last_number && option % step <= last_number;
}

// Guard bits of check_curl_state, check_multi_state and check_share_state.
inline constexpr int GUARD_OPEN = 1; // the handle is open
inline constexpr int GUARD_IDLE = 2; // no libcurl call runs on it
inline constexpr int GUARD_OPEN_IDLE = GUARD_OPEN | GUARD_IDLE;
// No libcurl call of another thread runs on it (a call from a callback of
// the running operation, on its own thread, is allowed).
inline constexpr int GUARD_NOT_ELSEWHERE = 4;
// With GUARD_IDLE: a pushed stream's Curl offered to the multi's push
// callable counts as idle (its options may be set, its informations read).
inline constexpr int GUARD_SET_UP = 8;

// Release groups of util_curl_xdecref: which owned fields of the record a
// call lets go of.
inline constexpr int RELEASE_DICT = 0x001;
inline constexpr int RELEASE_MULTI = 0x002; // the link to the multi
inline constexpr int RELEASE_CALLABLES = 0x004;
inline constexpr int RELEASE_SHARE = 0x010;
inline constexpr int RELEASE_HTTPPOST = 0x020;
inline constexpr int RELEASE_POSTFIELDS = 0x040;
inline constexpr int RELEASE_CA_CERTS = 0x080;
inline constexpr int RELEASE_SLISTS = 0x100;
inline constexpr int RELEASE_MIMEPOST = 0x200;
// What close and reset release: everything but the dictionary and the
// links to the multi and the share.
inline constexpr int RELEASE_OPTIONS = RELEASE_CALLABLES | RELEASE_HTTPPOST | RELEASE_POSTFIELDS |
                                       RELEASE_CA_CERTS | RELEASE_SLISTS | RELEASE_MIMEPOST;
inline constexpr int RELEASE_ALL = RELEASE_DICT | RELEASE_MULTI | RELEASE_SHARE | RELEASE_OPTIONS;

int check_curl_state(const CurlObject *self, int flags, const char *name);
void assert_curl_state(const CurlObject *self);
int util_curl_init(CurlObject *self);
// Where a new or reset handle finds the certificate authorities (cacerts.cpp).
int set_default_ca(CURL *handle);
void util_curl_close(CurlObject *self);
void util_curl_xdecref(CurlObject *self, int flags, CURL *handle);

PyObject *do_curl_new(PyTypeObject *subtype, PyObject *args, PyObject *kwds);
PyObject *do_curl_duphandle(CurlObject *self, PyObject *noargs);
// A pushed stream: `copy`, libcurl's copy of the parent's handle, as a new
// Curl of the parent's type holding what the copy points into.  It is
// offered to `multi`, a member the multi has not taken yet: until the multi
// takes it or gives it back, it refuses all but setting options and reading
// informations.  Null with an exception set; `copy` is then libcurl's again.
Ref curl_offer_push(CurlObject *parent, CURL *copy, CurlMultiObject *multi);
// Gives the handle back to libcurl, which frees it (a refused push): the
// object ends closed.
void curl_give_back(CurlObject *self);

PyObject *do_curl_setopt(CurlObject *self, PyObject *args, PyObject *kwds);
PyObject *do_curl_unsetopt(CurlObject *self, PyObject *args);
PyObject *do_curl_setopt_string(CurlObject *self, PyObject *args);
PyObject *do_curl_set_ca_certs(CurlObject *self, PyObject *args);
PyObject *do_curl_setopt_string_impl(CurlObject *self, int option, PyObject *obj);
PyObject *do_curl_setopt_filelike(CurlObject *self, int option, PyObject *obj);

PyObject *do_curl_getinfo(CurlObject *self, PyObject *args);
PyObject *do_curl_getinfo_raw(CurlObject *self, PyObject *args);
PyObject *do_curl_errstr(CurlObject *self, PyObject *noargs);
PyObject *do_curl_errstr_raw(CurlObject *self, PyObject *noargs);

PyObject *do_curl_perform(CurlObject *self, PyObject *noargs);
PyObject *do_curl_upkeep(CurlObject *self, PyObject *noargs);
PyObject *do_curl_ssls_export(CurlObject *self, PyObject *noargs);
PyObject *do_curl_ssls_import(CurlObject *self, PyObject *sessions);
PyObject *do_curl_perform_rb(CurlObject *self, PyObject *noargs);
PyObject *do_curl_perform_rs(CurlObject *self, PyObject *noargs);
PyObject *do_curl_pause(CurlObject *self, PyObject *args);
PyObject *do_curl_unpause(CurlObject *self, PyObject *noargs);
PyObject *do_curl_send(CurlObject *self, PyObject *args);
PyObject *do_curl_recv(CurlObject *self, PyObject *args);
PyObject *do_curl_recv_into(CurlObject *self, PyObject *args, PyObject *kwds);
int check_easy_recv_send_result(CurlObject *self, CURLcode res);

// Starts an operation that runs a transfer or its I/O on an idle handle:
// the error buffer and the kept callable exception are this operation's.
// The previous exception is returned, to be released as take_kept_exception
// says.
[[nodiscard]] Ref begin_transfer(CurlObject *self);
// Raises tolvex.error for a failed transfer operation: the code, the error
// buffer's text, and the callables' kept exception as its cause.
void raise_transfer_error(CurlObject *self, CURLcode res);
// Runs `call` (libcurl's call, returning its code) as a transfer operation
// of an idle handle, as run_unlocked does.
template <typename Call>
std::optional<CURLcode> run_transfer(CurlObject *self, Call &&call) {
    Ref previous = begin_transfer(self);
    KeptExceptionScope kept(&self->callback_exception);
    return run_unlocked<ReleaseGil>(call, self->state, "self->state != NULL");
}
// The size argument of recv and ws_recv (`format` ends with the method's
// name): a negative size is refused; the handle's state checked.  -1 with
// an exception set.
Py_ssize_t recv_args(CurlObject *self, PyObject *args, const char *format);
// The arguments of recv_into and ws_recv_into (`format` ends with the
// method's name): the buffer in `view` and the number of bytes wanted, 0
// meaning the whole buffer; the handle's state checked.  -1 with an
// exception set.
Py_ssize_t recv_into_args(CurlObject *self, PyObject *args, PyObject *kwds, const char *format,
                          BufferView &view);

PyObject *do_curl_ws_send(CurlObject *self, PyObject *args, PyObject *kwds);
PyObject *do_curl_ws_recv(CurlObject *self, PyObject *args);
PyObject *do_curl_ws_recv_into(CurlObject *self, PyObject *args, PyObject *kwds);
PyObject *do_curl_ws_meta(CurlObject *self, PyObject *noargs);
PyObject *do_curl_ws_close(CurlObject *self, PyObject *args, PyObject *kwds);
PyObject *do_curl_ws_start_frame(CurlObject *self, PyObject *args);

// String-list and form owners.
PyObject *util_curlslist_new(curl_slist *list);
int util_curlslist_update(PyObject **field, curl_slist *list);
int util_curlhttppost_update(CurlObject *self, curl_httppost *chain, PyObject *refs);
curl_slist *tolvex_list_or_tuple_to_slist(int which, PyObject *list, Py_ssize_t len);

// ---------------------------------------------------------------------------
// Callback bridge.

// The messages of a callable's refused result: `bad_value` for an int out
// of range (a format given the result), `bad_type` for anything else;
// without `bad_type`, the line "NAME callback returned R which is not an
// integer" on standard error.
struct RangeMessages {
    const char *bad_value;
    const char *bad_type = nullptr;
    const char *name = nullptr;
};
// libcurl's answer for the result of a callable that returns None (`none`)
// or an int within [lo, hi]; anything else, and a null result (the callable
// raised), is reported and answered with `failure`.
long ranged_answer(PyObject *result, long lo, long hi, long none, long failure,
                   const RangeMessages &messages);

// Raises tolvex.error with a text formatted as PyErr_Format does and
// reports it as a callable's failure is reported (printed when it is an
// Exception).
void print_error(const char *format, ...);
// Calls a callable with the arguments Py_BuildValue makes of `format` (in
// parentheses), or with `args`; an exception is kept for the handle
// (KeptExceptionScope) and left set.
Ref call_callable(PyObject *callable, const char *format, ...);
Ref call_callable(PyObject *callable, std::initializer_list<PyObject *> args);
// The same for the callables whose exceptions are printed: a failure is
// reported as print_callback_error_if_regular_exception does.
template <typename... Args>
Ref call_reported(PyObject *callable, Args... args) {
    Ref result = call_callable(callable, args...);
    if (!result)
        print_callback_error_if_regular_exception();
    return result;
}

// What a callable returned, read as an integer within [lo, hi]: None, an
// int in range (its value in `value`), an int out of range (its value in
// `value`), an int too large for a C long (OverflowError set), or not an int.
enum class IntResult { none, value, out_of_range, overflow, not_int };
IntResult read_int_result(PyObject *result, long lo, long hi, long &value);
// The answer of the callables whose result is any C int: an int that does
// not fit, or is not an int, is reported on standard error ("NAME callback
// returned R which is out of range" or "... is not an integer").  False
// then, and for a null result, whose exception stays pending, as does the
// OverflowError of an int too large for a C long.
bool int_answer(PyObject *result, const char *name, int &out);

// The shape of every entry point of a callable option: the interpreter
// entered through the thread state the running operation parked, and the
// callable of the row's field held for the call.  `run` builds the
// arguments, calls and converts the result for libcurl.  Without a
// callable, `fallback(reached)` answers, `reached` saying whether the
// interpreter could be entered.
template <typename Self, typename Row, typename Run, typename Fallback>
auto call_through_row(Self *self, const Row &row, Run &&run, Fallback &&fallback) {
    CallbackScope scope(self, row.warning);
    if constexpr (requires { row.despite_pending; })
        if (row.despite_pending)
            scope.set_pending_aside();
    PyObject *callable = scope.ok() ? self->*row.field : nullptr;
    if (callable == nullptr)
        return fallback(scope.ok());
    // Kept alive even if the callable replaces itself while it runs.
    Ref held = Ref::borrow(callable);
    return run(held.get());
}
// The Curl object lets go of its closer when it closes.
void socket_closer_detach(CurlObject *self);
// 0, or -1 with MemoryError set.
int socket_closer_hold(SocketCloserHolds &holds, SocketCloser *closer);
void socket_closer_release_all(SocketCloserHolds &holds);
int ssl_ctx_callback_install(CurlObject *self);

// ---------------------------------------------------------------------------
// Multi and share handles.

void assert_multi_state(const CurlMultiObject *self);
// Raises tolvex.error (code, text) for an operation that ran the multi's
// callables: the first exception they raised is the cause.  Null.
PyObject *raise_multi_error(CurlMultiObject *self, int code, const char *text);
// Runs one driving call of libcurl (`call`, giving libcurl's code) on an
// open, idle multi with the lock released and the thread state parked in
// the multi, so that its callables and its members' callbacks reach Python.
// An exception they leave, or a signal handler's, wins over libcurl's
// answer; a failure is raised with `failure` (`again_ok`: libcurl's code
// asking to be called again at once is an answer, not a failure); else
// `result(code)` is the result.
template <typename Call, typename Result>
PyObject *multi_drive(CurlMultiObject *self, const char *failure, bool again_ok, Call call,
                      Result result) {
    Ref previous = take_kept_exception(self->callback_exception);
    std::optional<CURLMcode> res =
        run_unlocked<ReleaseGil>(call, self->state, "self->state != NULL");
    if (!res)
        return nullptr;
    if (*res != CURLM_OK && !(again_ok && *res == CURLM_CALL_MULTI_PERFORM))
        return raise_multi_error(self, *res, failure);
    return result(*res);
}
// The event source: fileno() starts it, process_events() does the work it
// announces, and the multi's close stops it (closing its descriptors).
PyObject *do_multi_fileno(CurlMultiObject *self, PyObject *noargs);
PyObject *do_multi_process_events(CurlMultiObject *self, PyObject *noargs);
void multi_events_stop(CurlMultiObject *self);
// Ends a membership: libcurl lets go of the handle (with the multi's thread
// state parked, so callbacks reach Python) and the links and the member set
// forget it.  An exception a callback leaves stays pending.
void util_multi_detach_easy(CurlMultiObject *self, CurlObject *easy);
int check_multi_state(const CurlMultiObject *self, int flags, const char *name);
void assert_share_state(const CurlShareObject *self);
// Starts a Curl's use of a share: libcurl is given the share handle, the
// Curl holds the share and the share's registry records the Curl.  0, or -1
// with an exception set ("CurlShare is closed", a libcurl refusal).
int util_share_attach_easy(CurlObject *easy, CurlShareObject *share);
// Ends it, the one way a Curl leaves its share: libcurl lets go of the share
// handle, the registry forgets the Curl and the Curl drops its reference.  A
// Curl without a share has libcurl's option cleared all the same.  When
// libcurl refuses, `if_libcurl_accepts` leaves the link as it was and returns
// libcurl's code; `always` ends the link anyway.  Sets no exception.
enum class ShareLeave { if_libcurl_accepts, always };
CURLcode util_share_detach_easy(CurlObject *easy, ShareLeave how);

// ---------------------------------------------------------------------------
// MIME.

void curlmime_duphandle_incref_data_cb_owners(CurlMimeObject *mime);

// Enters the interpreter through the calling thread's own thread state, for
// the MIME data trampolines: libcurl calls them from transfers (lock
// released, state parked by the running operation) and from MIME calls made
// with the lock held (freeing a structure, replacing a part's body).
class GilStateScope : Scoped {
  public:
    GilStateScope() noexcept : state_(PyGILState_Ensure()) {}
    ~GilStateScope() { PyGILState_Release(state_); }

  private:
    PyGILState_STATE state_;
};
