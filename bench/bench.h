/* Shared by the C baselines: the write callback that counts and discards
 * the body, and a monotonic clock in seconds. */
#include <curl/curl.h>
#include <time.h>

static size_t sink(char *ptr, size_t size, size_t nmemb, void *userdata) {
    (void)ptr;
    *(size_t *)userdata += size * nmemb;
    return size * nmemb;
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}
