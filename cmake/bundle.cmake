# The extension of a self-contained wheel.  libcurl and the libraries it
# needs are linked in from their static archives and stay hidden inside the
# extension, so that the libcurl and OpenSSL of the system the wheel lands on,
# or those other extensions load, are never mixed with them.  What Debian
# ships no archive of (libpsl, Kerberos' GSS-API, SASL for libldap) stays a
# shared library, and so does idn2, which libpsl needs anyway: auditwheel
# copies those into the wheel.
set(_tolvex_archives
  curl nghttp3 ngtcp2_crypto_ossl ngtcp2 nghttp2 ssh2 ldap lber ssl crypto zstd
  brotlidec brotlicommon z)
set(_tolvex_shared psl idn2 gssapi_krb5 sasl2)

set(_tolvex_archive_files)
foreach(name IN LISTS _tolvex_archives)
  find_library(TOLVEX_ARCHIVE_${name} NAMES lib${name}.a REQUIRED)
  list(APPEND _tolvex_archive_files "${TOLVEX_ARCHIVE_${name}}")
endforeach()
set(_tolvex_shared_files)
foreach(name IN LISTS _tolvex_shared)
  find_library(TOLVEX_SHARED_${name} NAMES ${name} REQUIRED)
  list(APPEND _tolvex_shared_files "${TOLVEX_SHARED_${name}}")
endforeach()

target_sources(_tolvex PRIVATE src/bundlecompat.cpp)
target_compile_definitions(_tolvex PRIVATE CURL_STATICLIB TOLVEX_BUNDLED_LIBCURL)
target_include_directories(_tolvex PRIVATE ${CURL_INCLUDE_DIRS} ${OPENSSL_INCLUDE_DIRS})
target_link_libraries(_tolvex PRIVATE
  "$<LINK_GROUP:RESCAN,${_tolvex_archive_files}>" ${_tolvex_shared_files})
set(_tolvex_exports "${CMAKE_CURRENT_LIST_DIR}/exports.map")
target_link_options(_tolvex PRIVATE
  # Every symbol of the archives stays local: the extension exports its init
  # function alone.
  "LINKER:--version-script=${_tolvex_exports}"
  # Some archives hold code built for executables, which addresses stderr as
  # if it lived in the same object; a shared object cannot, so that code
  # reads the extension's own copy of the pointer (src/bundlecompat.cpp).
  "LINKER:--defsym=stderr=tolvex_stderr"
  "LINKER:--as-needed")
set_property(TARGET _tolvex APPEND PROPERTY LINK_DEPENDS "${_tolvex_exports}")
