/* Baseline: N GETs through one multi handle, WIDTH at once, driven with
 * curl_multi_poll; finished handles are refilled with new transfers.
 * Prints "requests seconds bytes". */
#include "bench.h"
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s URL COUNT WIDTH\n", argv[0]);
        return 2;
    }
    long count = atol(argv[2]);
    int width = atoi(argv[3]);
    size_t bytes = 0;
    CURLM *m = curl_multi_init();
    long started = 0, finished = 0;
    double start = now();
    for (int i = 0; i < width && started < count; i++, started++) {
        CURL *h = curl_easy_init();
        curl_easy_setopt(h, CURLOPT_URL, argv[1]);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, sink);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &bytes);
        curl_multi_add_handle(m, h);
    }
    while (finished < count) {
        int running = 0;
        curl_multi_perform(m, &running);
        CURLMsg *msg;
        int queued;
        while ((msg = curl_multi_info_read(m, &queued)) != NULL) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            if (msg->data.result != CURLE_OK) {
                fprintf(stderr, "transfer failed: %s\n", curl_easy_strerror(msg->data.result));
                return 1;
            }
            CURL *h = msg->easy_handle;
            finished++;
            curl_multi_remove_handle(m, h);
            if (started < count) {
                started++;
                curl_multi_add_handle(m, h);
            } else {
                curl_easy_cleanup(h);
            }
        }
        if (finished < count)
            curl_multi_poll(m, NULL, 0, 1000, NULL);
    }
    double elapsed = now() - start;
    curl_multi_cleanup(m);
    printf("%ld %.6f %zu\n", count, elapsed, bytes);
    return 0;
}
