/* Baseline: N echo round trips of one SIZE-byte binary frame over one
 * detached WebSocket connection (CONNECT_ONLY 2): send the frame, wait for
 * the socket to be readable, then receive until the whole echoed frame is
 * back (waiting again whenever libcurl has nothing yet).
 * Prints "round-trips seconds bytes". */
#include "bench.h"
#include <poll.h>
#include <stdlib.h>
#include <string.h>

static int wait_readable(curl_socket_t fd) {
    struct pollfd p = {.fd = fd, .events = POLLIN};
    return poll(&p, 1, 10000) == 1 ? 0 : -1;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s URL COUNT SIZE\n", argv[0]);
        return 2;
    }
    long count = atol(argv[2]);
    size_t size = (size_t)atol(argv[3]);
    char *frame = malloc(size);
    char buffer[65536];
    memset(frame, 'x', size);
    CURL *h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, argv[1]);
    curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 2L);
    CURLcode res = curl_easy_perform(h);
    if (res != CURLE_OK) {
        fprintf(stderr, "connect failed: %s\n", curl_easy_strerror(res));
        return 1;
    }
    curl_socket_t fd;
    curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &fd);
    size_t bytes = 0;
    double start = now();
    for (long i = 0; i < count; i++) {
        size_t sent;
        res = curl_ws_send(h, frame, size, &sent, 0, CURLWS_BINARY);
        if (res != CURLE_OK || sent != size) {
            fprintf(stderr, "send failed: %s\n", curl_easy_strerror(res));
            return 1;
        }
        if (wait_readable(fd) != 0) {
            fprintf(stderr, "no echo\n");
            return 1;
        }
        size_t got = 0;
        while (got < size) {
            size_t n;
            const struct curl_ws_frame *meta;
            res = curl_ws_recv(h, buffer, sizeof(buffer), &n, &meta);
            if (res == CURLE_AGAIN) {
                if (wait_readable(fd) != 0) {
                    fprintf(stderr, "no echo\n");
                    return 1;
                }
                continue;
            }
            if (res != CURLE_OK) {
                fprintf(stderr, "recv failed: %s\n", curl_easy_strerror(res));
                return 1;
            }
            got += n;
        }
        bytes += got;
    }
    double elapsed = now() - start;
    curl_easy_cleanup(h);
    free(frame);
    printf("%ld %.6f %zu\n", count, elapsed, bytes);
    return 0;
}
