/* Shared by the C baselines: the write callback that counts and discards
 * the body, a monotonic clock in seconds, and the start and refill of the
 * multi baselines' transfers. */
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static inline size_t sink(char *ptr, size_t size, size_t nmemb, void *userdata) {
    (void)ptr;
    *(size_t *)userdata += size * nmemb;
    return size * nmemb;
}

static inline double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* Starts up to `width` transfers of `url` on the multi handle.  With
 * BENCH_CAINFO set to a CA file, they speak HTTP/2 over TLS and wait to be
 * multiplexed over one connection. */
static inline void start_transfers(CURLM *m, const char *url, int width, long count,
                                   long *started, size_t *bytes) {
    const char *cainfo = getenv("BENCH_CAINFO");
    for (int i = 0; i < width && *started < count; i++, (*started)++) {
        CURL *h = curl_easy_init();
        curl_easy_setopt(h, CURLOPT_URL, url);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, sink);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, bytes);
        if (cainfo) {
            curl_easy_setopt(h, CURLOPT_CAINFO, cainfo);
            curl_easy_setopt(h, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_2TLS);
            curl_easy_setopt(h, CURLOPT_PIPEWAIT, 1L);
        }
        curl_multi_add_handle(m, h);
    }
}

/* Collects the finished transfers, reusing each handle for a new transfer
 * while fewer than `count` have started.  -1 when a transfer failed. */
static inline int reap_transfers(CURLM *m, long count, long *started, long *finished) {
    CURLMsg *msg;
    int queued;
    while ((msg = curl_multi_info_read(m, &queued)) != NULL) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        if (msg->data.result != CURLE_OK) {
            fprintf(stderr, "transfer failed: %s\n", curl_easy_strerror(msg->data.result));
            return -1;
        }
        CURL *h = msg->easy_handle;
        (*finished)++;
        curl_multi_remove_handle(m, h);
        if (*started < count) {
            (*started)++;
            curl_multi_add_handle(m, h);
        } else {
            curl_easy_cleanup(h);
        }
    }
    return 0;
}
