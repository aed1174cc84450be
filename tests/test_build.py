"""The package builds as a wheel with the standard tools, and refuses to
build against a libcurl it cannot use."""

import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TAG = "cp%d%d" % sys.version_info[:2]


@pytest.mark.timeout(600)
@pytest.mark.no_refleak_check(reason="pip builds the wheel in a subprocess; nothing to measure")
def test_wheel(tmp_path):
    if shutil.which("cmake") is None:
        pytest.skip("cmake not available")
    src = tmp_path / "src"
    # A copy keeps the build directories of the checkout out of the wheel build.
    shutil.copytree(
        ROOT, src, ignore=shutil.ignore_patterns("build", "dist", ".git", "__pycache__", "*.so")
    )
    out = tmp_path / "wheels"
    pip = [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q"]
    subprocess.run([*pip, "-w", str(out), str(src)], check=True)
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1
    assert "-%s-%s%s-" % (TAG, TAG, sys.abiflags) in wheels[0].name
    names = zipfile.ZipFile(wheels[0]).namelist()
    assert {"tolvex/__init__.py", "tolvex/aio.py", "tolvex/__main__.py"} <= set(names)
    assert any(
        n.startswith("tolvex/_tolvex.cpython-%s" % TAG[2:]) and n.endswith(".so") for n in names
    )


def pkg_config(option):
    """What pkg-config says of the system's libcurl for `option`."""
    return subprocess.run(
        ["pkg-config", option, "libcurl"], capture_output=True, text=True, check=True
    ).stdout


# A libcurl that reports what another TLS library than OpenSSL would.
OTHER_TLS = r"""
#include <curl/curl.h>
static curl_version_info_data info = {.age = CURLVERSION_NOW, .version = LIBCURL_VERSION,
                                      .version_num = LIBCURL_VERSION_NUM,
                                      .ssl_version = "GnuTLS/3.8.9"};
curl_version_info_data *curl_version_info(CURLversion stamp) {
    (void)stamp;
    return &info;
}
"""


@pytest.mark.timeout(300)
@pytest.mark.no_refleak_check(reason="cmake runs in a subprocess; nothing to measure here")
@pytest.mark.parametrize(
    "system, found",
    [
        ("no libcurl", "this system has no libcurl that pkg-config knows of"),
        ("an old libcurl", "this system has libcurl 8.0.1."),
        ("another TLS library", "this system has libcurl %s built with GnuTLS/3.8.9."),
    ],
)
def test_configure_refuses_an_unusable_libcurl(tmp_path, system, found):
    for tool in ("cmake", "ninja", "pkg-config", "cc"):
        if shutil.which(tool) is None:
            pytest.skip(tool + " not available")
    env = dict(os.environ)
    pcdir = tmp_path / "pkgconfig"
    pcdir.mkdir()
    if system == "no libcurl":
        env["PKG_CONFIG_LIBDIR"] = str(pcdir)
    else:
        # The system's own libcurl.pc, ahead of it on the search path, with
        # one line changed.
        real = pkg_config("--variable=pcfiledir").strip()
        lines = pathlib.Path(real, "libcurl.pc").read_text().splitlines()
        if system == "an old libcurl":
            lines = ["Version: 8.0.1" if line.startswith("Version:") else line for line in lines]
        else:
            source = tmp_path / "curl.c"
            source.write_text(OTHER_TLS)
            lib, cflags = str(tmp_path / "libcurl.so"), pkg_config("--cflags").split()
            subprocess.run(["cc", "-shared", "-fPIC", *cflags, "-o", lib, str(source)], check=True)
            libs = "Libs: -L%s -lcurl" % tmp_path
            lines = [libs if line.startswith("Libs:") else line for line in lines]
            found %= next(line.split()[1] for line in lines if line.startswith("Version:"))
        (pcdir / "libcurl.pc").write_text("\n".join(lines) + "\n")
        env["PKG_CONFIG_PATH"] = str(pcdir)
    cmake = ["cmake", "-S", str(ROOT), "-B", str(tmp_path / "build"), "-G", "Ninja"]
    cmake.append("-DPython_EXECUTABLE=" + sys.executable)
    result = subprocess.run(cmake, env=env, capture_output=True, text=True)
    message = " ".join((result.stdout + result.stderr).split())
    assert result.returncode != 0
    assert "tolvex needs libcurl" in message and "or later built with OpenSSL" in message
    assert found in message
    assert "Install tolvex from a wheel instead" in message
