"""The package builds as a wheel with the standard tools."""

import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TAG = "cp%d%d" % sys.version_info[:2]


@pytest.mark.timeout(600)
@pytest.mark.no_refleak_check(reason="the wheel is built by pip in a subprocess; nothing to measure here")
def test_wheel(tmp_path):
    if shutil.which("cmake") is None:
        pytest.skip("cmake not available")
    src = tmp_path / "src"
    # A copy keeps the build directories of the checkout out of the wheel build.
    shutil.copytree(
        ROOT, src, ignore=shutil.ignore_patterns("build", "dist", ".git", "__pycache__", "*.so")
    )
    out = tmp_path / "wheels"
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
         "-w", str(out), str(src)],
        check=True,
    )
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1
    assert "-%s-%s-" % (TAG, TAG) in wheels[0].name
    names = zipfile.ZipFile(wheels[0]).namelist()
    assert {"tolvex/__init__.py", "tolvex/aio.py", "tolvex/__main__.py"} <= set(names)
    assert any(n.startswith("tolvex/_tolvex.cpython-%s" % TAG[2:]) and n.endswith(".so")
               for n in names)
