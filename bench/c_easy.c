/* Baseline: N sequential GETs on one reused easy handle, body discarded by a
 * write callback.  Prints "requests seconds bytes". */
#include "bench.h"
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s URL COUNT\n", argv[0]);
        return 2;
    }
    long count = atol(argv[2]);
    size_t bytes = 0;
    CURL *h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, argv[1]);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, sink);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &bytes);
    double start = now();
    for (long i = 0; i < count; i++) {
        CURLcode res = curl_easy_perform(h);
        if (res != CURLE_OK) {
            fprintf(stderr, "transfer failed: %s\n", curl_easy_strerror(res));
            return 1;
        }
    }
    double elapsed = now() - start;
    curl_easy_cleanup(h);
    printf("%ld %.6f %zu\n", count, elapsed, bytes);
    return 0;
}
