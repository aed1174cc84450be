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
    start_transfers(m, argv[1], width, count, &started, &bytes);
    while (finished < count) {
        int running = 0;
        curl_multi_perform(m, &running);
        if (reap_transfers(m, count, &started, &finished) != 0)
            return 1;
        if (finished < count)
            curl_multi_poll(m, NULL, 0, 1000, NULL);
    }
    double elapsed = now() - start;
    curl_multi_cleanup(m);
    printf("%ld %.6f %zu\n", count, elapsed, bytes);
    return 0;
}
