# Finds libcurl through pkg-config and refuses, while configuring, one the
# module cannot use: none, one older than TOLVEX_LIBCURL_MINIMUM, or one built
# without OpenSSL.  A build that stopped later, or an import that failed,
# would say much less about what is wrong and what to do instead.

pkg_check_modules(CURL QUIET IMPORTED_TARGET libcurl)

set(_tolvex_curl_found "")
if(NOT CURL_FOUND)
  set(_tolvex_curl_found
    "no libcurl that pkg-config knows of (libcurl.pc, of the development files, is missing)")
elseif(CURL_VERSION VERSION_LESS TOLVEX_LIBCURL_MINIMUM)
  set(_tolvex_curl_found "libcurl ${CURL_VERSION}")
else()
  # The TLS library is the one the library itself reports: a libcurl may be
  # built with any of several.
  try_run(_tolvex_curl_run _tolvex_curl_compile
    SOURCE_FROM_CONTENT tls.c [[
#include <curl/curl.h>
#include <stdio.h>
int main(void) {
    const curl_version_info_data *vi = curl_version_info(CURLVERSION_NOW);
    printf("%s", vi->ssl_version ? vi->ssl_version : "no TLS library");
    return 0;
}
]]
    LINK_LIBRARIES PkgConfig::CURL
    COMPILE_OUTPUT_VARIABLE _tolvex_curl_log
    RUN_OUTPUT_VARIABLE _tolvex_curl_tls)
  if(NOT _tolvex_curl_compile OR NOT _tolvex_curl_run EQUAL 0)
    set(_tolvex_curl_found
      "libcurl ${CURL_VERSION}, but a program using it fails to build or run:\n${_tolvex_curl_log}\n")
  elseif(NOT _tolvex_curl_tls MATCHES "OpenSSL/")
    set(_tolvex_curl_found "libcurl ${CURL_VERSION} built with ${_tolvex_curl_tls}")
  endif()
endif()

if(_tolvex_curl_found)
  message(FATAL_ERROR
    "tolvex needs libcurl ${TOLVEX_LIBCURL_MINIMUM} or later built with OpenSSL, and this system "
    "has ${_tolvex_curl_found}.  Install tolvex from a wheel instead: the wheels "
    "(tolvex-*-manylinux_*.whl) carry a libcurl of their own.  Or install a libcurl that "
    "qualifies, with its development files, and build again.")
endif()
