// The certificate authorities a new handle trusts until the program chooses.
//
// A libcurl built into a wheel (TOLVEX_BUNDLED_LIBCURL) knows only where the
// system it was built on keeps them, which may be anywhere on the system the
// wheel is installed on; so the module chooses at run time, in place of
// libcurl's built-in default.  Against the system's own libcurl, that
// libcurl's default is right and stays.
#include "tolvex.h"

#ifdef TOLVEX_BUNDLED_LIBCURL

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

// The bundles of the main distribution families, in the order tried.
static const char *const ca_bundles[] = {
    "/etc/ssl/certs/ca-certificates.crt", // Debian, Ubuntu, Alpine, Arch
    "/etc/pki/tls/certs/ca-bundle.crt",   // Fedora, RHEL and their kin
    "/etc/ssl/ca-bundle.pem",             // openSUSE
    "/etc/ssl/cert.pem",                  // Alpine, OpenSSL's own default
};

static const char *env_path(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && value[0] != 0 ? value : nullptr;
}

// With no bundle anywhere, libcurl is handed this text as the CA file: no
// file has that name, so every TLS connection fails (CURLE_SSL_CACERT_BADFILE)
// with a message of libcurl's that quotes it.
static const char *no_bundle_text() {
    static char text[512];
    if (text[0] == 0) {
        size_t used = static_cast<size_t>(
            std::snprintf(text, sizeof(text),
                          "(no CA certificates: SSL_CERT_FILE and SSL_CERT_DIR are unset and "
                          "none of these files exists:"));
        for (const char *path : ca_bundles)
            if (used < sizeof(text))
                used += static_cast<size_t>(
                    std::snprintf(text + used, sizeof(text) - used, " %s", path));
        if (used < sizeof(text))
            std::snprintf(text + used, sizeof(text) - used, ")");
    }
    return text;
}

int set_default_ca(CURL *handle) {
    const char *file = env_path("SSL_CERT_FILE");
    const char *dir = env_path("SSL_CERT_DIR");
    if (file == nullptr && dir == nullptr) {
        for (const char *path : ca_bundles) {
            if (access(path, R_OK) == 0) {
                file = path;
                break;
            }
        }
        if (file == nullptr)
            file = no_bundle_text();
    }
    // Verification itself is never touched: only where the trusted
    // certificates come from, for servers and HTTPS proxies alike.
    const CURLoption options[][2] = {{CURLOPT_CAINFO, CURLOPT_CAPATH},
                                     {CURLOPT_PROXY_CAINFO, CURLOPT_PROXY_CAPATH}};
    for (const auto &pair : options) {
        if (curl_easy_setopt(handle, pair[0], file) != CURLE_OK ||
            curl_easy_setopt(handle, pair[1], dir) != CURLE_OK)
            return -1;
    }
    return 0;
}

#else

int set_default_ca(CURL *) {
    return 0;
}

#endif
