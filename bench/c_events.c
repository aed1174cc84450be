/* Baseline: N GETs through one multi handle, WIDTH at once, driven
 * event-style with curl_multi_socket_action, a socket callback keeping an
 * epoll set up to date and a timer callback keeping the deadline; finished
 * handles are refilled with new transfers.  Prints "requests seconds bytes". */
#include "bench.h"
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>

static int epfd;
static long timeout_ms = -1;

static int on_socket(CURL *easy, curl_socket_t s, int what, void *userp, void *socketp) {
    (void)easy;
    (void)userp;
    struct epoll_event ev = {0};
    ev.data.fd = s;
    if (what == CURL_POLL_REMOVE) {
        epoll_ctl(epfd, EPOLL_CTL_DEL, s, NULL);
        curl_multi_assign(userp, s, NULL);
        return 0;
    }
    ev.events = (what & CURL_POLL_IN ? EPOLLIN : 0) | (what & CURL_POLL_OUT ? EPOLLOUT : 0);
    if (socketp) {
        epoll_ctl(epfd, EPOLL_CTL_MOD, s, &ev);
    } else {
        epoll_ctl(epfd, EPOLL_CTL_ADD, s, &ev);
        curl_multi_assign(userp, s, &epfd);
    }
    return 0;
}

static int on_timer(CURLM *multi, long ms, void *userp) {
    (void)multi;
    (void)userp;
    timeout_ms = ms;
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s URL COUNT WIDTH\n", argv[0]);
        return 2;
    }
    long count = atol(argv[2]);
    int width = atoi(argv[3]);
    size_t bytes = 0;
    epfd = epoll_create1(0);
    CURLM *m = curl_multi_init();
    curl_multi_setopt(m, CURLMOPT_SOCKETFUNCTION, on_socket);
    curl_multi_setopt(m, CURLMOPT_SOCKETDATA, m);
    curl_multi_setopt(m, CURLMOPT_TIMERFUNCTION, on_timer);
    long started = 0, finished = 0;
    double start = now();
    start_transfers(m, argv[1], width, count, &started, &bytes);
    struct epoll_event events[64];
    int running;
    while (finished < count) {
        int n = epoll_wait(epfd, events, 64, timeout_ms < 0 ? 1000 : (int)timeout_ms);
        if (n <= 0)
            curl_multi_socket_action(m, CURL_SOCKET_TIMEOUT, 0, &running);
        for (int i = 0; i < n; i++) {
            int flags = (events[i].events & EPOLLIN ? CURL_CSELECT_IN : 0) |
                        (events[i].events & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                        (events[i].events & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0);
            curl_multi_socket_action(m, events[i].data.fd, flags, &running);
        }
        if (reap_transfers(m, count, &started, &finished) != 0)
            return 1;
    }
    double elapsed = now() - start;
    curl_multi_cleanup(m);
    printf("%ld %.6f %zu\n", count, elapsed, bytes);
    return 0;
}
