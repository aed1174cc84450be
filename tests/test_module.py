"""Import-time values of the extension module."""

import os
import pickle
import shutil
import subprocess
import sys
import textwrap

import pytest

import tolvex
from tolvex import _tolvex


def test_version_is_default_user_agent():
    libcurl = tolvex.version_info()[1]
    assert tolvex.version.startswith("Tolvex/7.47.0 libcurl/" + libcurl)
    assert _tolvex.version is tolvex.version or _tolvex.version == tolvex.version


def test_compile_time_values():
    assert tolvex.COMPILE_SSL_LIB == "openssl"
    assert tolvex.COMPILE_PY_VERSION_HEX == sys.hexversion
    curl_config = shutil.which("curl-config")
    if curl_config is None:
        pytest.skip("curl-config not available")
    vernum = subprocess.run([curl_config, "--vernum"], capture_output=True, text=True, check=True)
    assert tolvex.COMPILE_LIBCURL_VERSION_NUM == int(vernum.stdout.strip(), 16)


@pytest.mark.parametrize(
    "name, fields",
    [
        ("KhKey", ("key", "keytype")),
        ("CurlSockAddr", ("family", "socktype", "protocol", "addr")),
        ("HstsEntry", ("host", "expire", "include_subdomains")),
        ("HstsIndex", ("idx", "total")),
        ("WsFrame", ("age", "flags", "offset", "bytesleft", "len")),
        (
            "FileInfo",
            ("filename", "filetype", "time", "perm", "uid", "gid", "size", "hardlinks", "flags"),
        ),
        (
            "SslSession",
            (
                "session_key",
                "shmac",
                "sdata",
                "valid_until",
                "ietf_tls_id",
                "alpn",
                "earlydata_max",
            ),
        ),
    ],
)
def test_named_tuples(name, fields):
    cls = getattr(tolvex, name)
    assert cls._fields == fields
    assert cls.__name__ == name
    value = cls(*range(len(fields)))
    assert isinstance(value, tuple)
    # Saved sessions, and the rest, pickle as tolvex's own classes.
    assert pickle.loads(pickle.dumps(value)) == value and cls.__module__ == "tolvex"


@pytest.mark.parametrize("name", ["CurlSlist", "CurlHttppost", "_MimeDataCbOwner"])
def test_internal_types_not_exposed(name):
    assert not hasattr(_tolvex, name)


def test_error_class():
    assert issubclass(tolvex.error, Exception)
    assert tolvex.error.__bases__ == (Exception,)
    assert tolvex.error.__name__ == "error"
    assert tolvex.error.__module__ == "tolvex"


@pytest.mark.parametrize(
    "name, weakrefs",
    [("Curl", True), ("CurlMulti", True), ("CurlShare", True), ("CurlMime", False)],
)
def test_types(name, weakrefs):
    cls = getattr(tolvex, name)
    assert cls.__module__ == "tolvex"
    assert cls.__name__ == name
    assert cls.__weakrefoffset__ > 0 if weakrefs else cls.__weakrefoffset__ == 0

    class Sub(cls):
        pass

    assert issubclass(Sub, cls)


def test_mime_part_not_constructible():
    with pytest.raises(TypeError):
        tolvex.CurlMimePart()


# The import-time checks of the linked libcurl, exercised by interposing the
# two libcurl functions they call with a small preloaded library.
SHIM = r"""
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dlfcn.h>

curl_version_info_data *curl_version_info(CURLversion stamp) {
    static curl_version_info_data data;
    /* The extension's libcurl is loaded locally, out of RTLD_NEXT's reach. */
    void *lib = dlopen("libcurl.so.4", RTLD_LAZY | RTLD_NOLOAD);
    curl_version_info_data *(*real)(CURLversion) =
        (curl_version_info_data *(*)(CURLversion))dlsym(lib, "curl_version_info");
    data = *real(stamp);
    if (getenv("SHIM_VERSION")) {
        data.version_num = 0x081400;
        data.version = "8.20.0";
    }
    return &data;
}

CURLsslset curl_global_sslset(curl_sslbackend id, const char *name,
                              const curl_ssl_backend ***avail) {
    static curl_ssl_backend backends[40];
    static const curl_ssl_backend *list[41];
    static char names[40][16];
    const char *mode = getenv("SHIM_SSL");
    (void)id; (void)name;
    if (mode && strcmp(mode, "none") == 0)
        return CURLSSLSET_NO_BACKENDS;
    int count = mode ? atoi(mode) : 2;
    for (int i = 0; i < count; i++) {
        if (count == 2)
            snprintf(names[i], sizeof names[i], "%s", i ? "wolfssl" : "gnutls");
        else
            snprintf(names[i], sizeof names[i], "backend%02d", i);
        backends[i].id = (curl_sslbackend)(i + 1);
        backends[i].name = names[i];
        list[i] = &backends[i];
    }
    list[count] = NULL;
    if (avail)
        *avail = list;
    return CURLSSLSET_UNKNOWN_BACKEND;
}
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    d = tmp_path_factory.mktemp("shim")
    src = d / "shim.c"
    src.write_text(SHIM)
    lib = d / "libshim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src), "-ldl"], check=True)
    return lib


def import_with_shim(shim, **env):
    environ = dict(os.environ, **env)
    environ["LD_PRELOAD"] = " ".join(filter(None, [environ.get("LD_PRELOAD"), str(shim)]))
    code = textwrap.dedent(
        """
        try:
            import tolvex._tolvex
        except ImportError as e:
            print(e)
        else:
            print("imported")
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", code], env=environ, capture_output=True, text=True, check=True
    )
    return out.stdout.strip()


def test_import_refuses_old_libcurl(shim):
    assert import_with_shim(shim, SHIM_VERSION="1", SHIM_SSL="none") == (
        "tolvex: libcurl link-time version (8.20.0) is older than compile-time version (8.21.0)"
    )


@pytest.mark.parametrize(
    "mode, listed",
    [
        ("none", "none"),
        ("2", "gnutls, wolfssl"),
        ("30", ", ".join("backend%02d" % i for i in range(30))[:199]),
    ],
)
def test_import_refuses_other_tls_backends(shim, mode, listed):
    assert import_with_shim(shim, SHIM_SSL=mode) == (
        "tolvex: libcurl link-time ssl backends (%s) do not include compile-time ssl backend "
        "(openssl)" % listed
    )
