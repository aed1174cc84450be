// The event source of a CurlMulti: the multi watches libcurl's sockets and
// timeout itself, in an epoll set holding a timer descriptor, so that an
// event loop needs one descriptor (fileno()) and one call (process_events())
// for all its transfers.  libcurl's socket and timer callbacks are handled
// here in C, without the interpreter.
#include "tolvex.h"

#if defined(__linux__)
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

// Ready sockets handled in one process_events() call; more wait for the next
// (the set is level-triggered, so its descriptor stays readable).
static constexpr int batch_size = 64;

// libcurl says which socket to watch for what.  A socket it watches is
// marked with the multi as its assigned pointer, which saves asking the
// kernel whether it is in the set already.
static int events_socket_callback(CURL *, curl_socket_t s, int what, void *userp, void *socketp) {
    auto *self = static_cast<CurlMultiObject *>(userp);
    int epoll_fd = self->events.epoll_fd;
    if (what == CURL_POLL_REMOVE) {
        epoll_ctl(epoll_fd, EPOLL_CTL_DEL, s, nullptr);
        return 0;
    }
    epoll_event event{};
    event.events =
        ((what & CURL_POLL_IN) ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) ? EPOLLOUT : 0u);
    event.data.fd = s;
    // A closed socket leaves the set by itself, and its number may come
    // back: the guess from the mark is corrected by the kernel's answer.
    int op = socketp != nullptr ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(epoll_fd, op, s, &event) != 0) {
        op = errno == ENOENT ? EPOLL_CTL_ADD : errno == EEXIST ? EPOLL_CTL_MOD : -1;
        if (op < 0 || epoll_ctl(epoll_fd, op, s, &event) != 0)
            return -1;
    }
    if (socketp == nullptr)
        curl_multi_assign(self->multi_handle, s, self);
    return 0;
}

static long long monotonic_now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Makes the timer descriptor fire at `when` (monotonic nanoseconds).
static int events_arm(CurlMultiObject *self, long long when) {
    itimerspec at{};
    // A zero value would disarm the timer.
    when = when < 1 ? 1 : when;
    at.it_value.tv_sec = when / 1000000000LL;
    at.it_value.tv_nsec = when % 1000000000LL;
    if (timerfd_settime(self->events.timer_fd, TFD_TIMER_ABSTIME, &at, nullptr) != 0)
        return -1;
    self->events.armed = when;
    return 0;
}

// libcurl says when it wants to be called again (-1: never, 0: at once).
// The timer descriptor only ever moves earlier here: firing before the time
// costs one look (process_events() finds nothing due and sets it again),
// while setting it at every change would cost a system call each.
static int events_timer_callback(CURLM *, long timeout_ms, void *userp) {
    auto *self = static_cast<CurlMultiObject *>(userp);
    MultiEvents &events = self->events;
    events.due = timeout_ms < 0 ? -1 : monotonic_now() + timeout_ms * 1000000LL;
    if (events.processing || events.due < 0 || (events.armed >= 0 && events.armed <= events.due))
        return 0;
    return events_arm(self, events.due);
}

static int events_start(CurlMultiObject *self) {
    int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    int timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = timer_fd;
    if (epoll_fd < 0 || timer_fd < 0 || epoll_ctl(epoll_fd, EPOLL_CTL_ADD, timer_fd, &event) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        if (epoll_fd >= 0)
            close(epoll_fd);
        if (timer_fd >= 0)
            close(timer_fd);
        return -1;
    }
    self->events = MultiEvents{.epoll_fd = epoll_fd, .timer_fd = timer_fd, .running = 0};
    CURLM *multi = self->multi_handle;
    CURLMcode res = curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, events_socket_callback);
    if (res == CURLM_OK)
        res = curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, self);
    if (res == CURLM_OK)
        res = curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, events_timer_callback);
    if (res == CURLM_OK)
        res = curl_multi_setopt(multi, CURLMOPT_TIMERDATA, self);
    if (res != CURLM_OK) {
        multi_events_stop(self);
        raise_error(res, nullptr);
        return -1;
    }
    // Transfers added before have announced their timeout to nobody: the
    // first process_events() has libcurl look at everything.
    if (events_timer_callback(multi, 0, self) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        multi_events_stop(self);
        return -1;
    }
    return 0;
}

void multi_events_stop(CurlMultiObject *self) {
    if (self->events.epoll_fd < 0)
        return;
    if (self->multi_handle != nullptr) {
        curl_multi_setopt(self->multi_handle, CURLMOPT_SOCKETFUNCTION,
                          static_cast<curl_socket_callback>(nullptr));
        curl_multi_setopt(self->multi_handle, CURLMOPT_TIMERFUNCTION,
                          static_cast<curl_multi_timer_callback>(nullptr));
    }
    close(self->events.epoll_fd);
    close(self->events.timer_fd);
    self->events = MultiEvents{};
}

PyObject *do_multi_fileno(CurlMultiObject *self, PyObject *) {
    if (check_multi_state(self, GUARD_OPEN_IDLE, "fileno") != 0)
        return nullptr;
    if (self->events.epoll_fd < 0) {
        if (self->socket_callable != nullptr || self->timer_callable != nullptr) {
            PyErr_SetString(ErrorObject,
                            "cannot invoke fileno() - the multi has an M_SOCKETFUNCTION or "
                            "M_TIMERFUNCTION callable");
            return nullptr;
        }
        if (events_start(self) != 0)
            return nullptr;
    }
    return PyLong_FromLong(self->events.epoll_fd);
}

// Times libcurl is called again at once for a timeout it asks for at once,
// before the timer descriptor takes over.
static constexpr int immediate_rounds = 4;

// Hands every ready socket, then a timeout that is due, to libcurl.
static CURLMcode events_process(CurlMultiObject *self) {
    MultiEvents &events = self->events;
    epoll_event ready[batch_size];
    int n = epoll_wait(events.epoll_fd, ready, batch_size, 0);
    events.processing = true;
    CURLMcode res = CURLM_OK;
    for (int i = 0; i < n && res == CURLM_OK; ++i) {
        int fd = ready[i].data.fd;
        if (fd == events.timer_fd) {
            uint64_t expirations;
            if (read(fd, &expirations, sizeof(expirations)) > 0)
                events.armed = -1;
            continue;
        }
        uint32_t got = ready[i].events;
        int mask = ((got & (EPOLLIN | EPOLLPRI)) ? CURL_CSELECT_IN : 0) |
                   ((got & EPOLLOUT) ? CURL_CSELECT_OUT : 0) |
                   ((got & (EPOLLERR | EPOLLHUP)) ? CURL_CSELECT_ERR : 0);
        res = curl_multi_socket_action(self->multi_handle, fd, mask, &events.running);
    }
    for (int round = 0; res == CURLM_OK && round < immediate_rounds && events.due >= 0 &&
                        events.due <= monotonic_now();
         ++round) {
        events.due = -1;
        res = curl_multi_socket_action(self->multi_handle, CURL_SOCKET_TIMEOUT, 0, &events.running);
    }
    events.processing = false;
    // The outer loop sleeps until the next timeout, not past it.
    if (events.due >= 0 && (events.armed < 0 || events.armed > events.due))
        events_arm(self, events.due);
    return res;
}

PyObject *do_multi_process_events(CurlMultiObject *self, PyObject *) {
    if (check_multi_state(self, GUARD_OPEN_IDLE, "process_events") != 0)
        return nullptr;
    if (self->events.epoll_fd < 0) {
        PyErr_SetString(ErrorObject,
                        "cannot invoke process_events() - fileno() has not been called");
        return nullptr;
    }
    return multi_drive(
        self, "multi_socket_action failed", false, [self] { return events_process(self); },
        [self](CURLMcode) { return PyLong_FromLong(self->events.running); });
}

#else

void multi_events_stop(CurlMultiObject *) {}

PyObject *do_multi_fileno(CurlMultiObject *, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError,
                    "the multi's own event source needs Linux (epoll and timerfd)");
    return nullptr;
}

PyObject *do_multi_process_events(CurlMultiObject *self, PyObject *noargs) {
    return do_multi_fileno(self, noargs);
}

#endif
