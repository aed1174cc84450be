"""python -m tolvex: parallel downloads on the command line, the progress
display on a terminal, and the demonstration it runs without arguments."""

import fcntl
import os
import pty
import re
import struct
import subprocess
import sys
import termios

import pytest

import tolvex
from servers.http import pattern

pytestmark = pytest.mark.no_refleak_check(reason="runs the command in a subprocess")


def command(*args, **kwargs):
    argv = [sys.executable, "-m", "tolvex", *args]
    return subprocess.run(argv, capture_output=True, text=True, timeout=300, **kwargs)


def downloads(server, closed_port, failures=True):
    """URL -> the file it is saved in and its body (None: the URL fails)."""
    urls = {
        server.url("/bytes/1000"): ("1000", pattern(1000)),
        server.url("/generate/3000000"): ("3000000", pattern(3000000)),
        server.url("/bytes/1000?again"): ("1000.1", pattern(1000)),  # the name is taken
        server.url("/status/404"): ("404", None),
        "http://127.0.0.1:%d/refused" % closed_port: ("refused", None),
    }
    return {url: v for url, v in urls.items() if failures or v[1] is not None}


def saved(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir()}


FAILURE_LINES = [
    r"failed  %s: The requested URL returned error: 404 \(libcurl error %d\)",
    r"failed  %s: Failed to connect to 127\.0\.0\.1:\d+ .* \(libcurl error %d\)",
]


@pytest.mark.parametrize("jobs", ["1", "4"])
@pytest.mark.parametrize("failures", [False, True])
def test_downloads_are_saved_and_failures_reported(server, closed_port, tmp_path, jobs, failures):
    wanted = downloads(server, closed_port, failures)
    out = command(*wanted, "-o", str(tmp_path / "out"), "-j", jobs)
    assert out.returncode == (1 if failures else 0), out.stderr
    assert saved(tmp_path / "out") == {name: data for name, data in wanted.values() if data}
    # One line per transfer as it finishes, then the summary.
    *lines, last = out.stdout.splitlines()
    good = sorted(url for url, (name, data) in wanted.items() if data)
    assert sorted(re.match(r"done    (\S+) -> ", line).group(1) for line in lines) == good
    assert last.startswith("%d of %d downloaded" % (len(good), len(wanted)))
    errors = sorted(out.stderr.splitlines())
    assert len(errors) == (2 if failures else 0)
    refused = ("http://127.0.0.1:%d/refused" % closed_port, tolvex.E_COULDNT_CONNECT)
    for line, (url, code) in zip(FAILURE_LINES, [(server.url("/status/404"), 22), refused]):
        assert not failures or any(re.fullmatch(line % (re.escape(url), code), e) for e in errors)


@pytest.mark.timeout(300)
@pytest.mark.parametrize("keep", [False, True])
def test_without_arguments_it_demonstrates_itself(tmp_path, keep):
    out = command(*(["-o", str(tmp_path / "demo")] if keep else []), cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert re.search(r"^16 of 16 downloaded, 84\.6 MB in [0-9.]+ s", out.stdout, re.M)
    assert "Every file was checked against the SHA-256 of what the server sent" in out.stdout
    assert len(re.findall(r"^done ", out.stdout, re.M)) == 16
    # The files stay only where the command was told to put them.
    assert [p.name for p in tmp_path.iterdir()] == (["demo"] if keep else [])
    if keep:
        assert sorted(saved(tmp_path / "demo")) == ["file-%02d.bin" % i for i in range(16)]


def test_the_terminal_gets_a_progress_display(server, closed_port, tmp_path):
    wanted = downloads(server, closed_port)
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
    env = {k: v for k, v in os.environ.items() if k != "COLUMNS"} | {"TERM": "xterm-256color"}
    argv = [sys.executable, "-m", "tolvex", *wanted, "-o", str(tmp_path)]
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, env=env)
    os.close(slave)
    output = b""
    try:
        while data := os.read(master, 65536):
            output += data
    except OSError:  # EIO: the command has exited and closed the terminal
        pass
    os.close(master)
    assert proc.wait(timeout=60) == 1
    text = output.decode()
    # Drawn in place: the cursor is hidden, moved up over the rows, shown.
    assert "\x1b[?25l" in text and re.search(r"\x1b\[\d*A", text) and "\x1b[?25h" in text
    plain = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)
    final = plain[plain.rindex("total") :]
    rows = [r"total +━+ 3\.0/3\.0 MB", r"\n3000000 +━+ 3\.0/3\.0 MB", r"\n1000\.1 +━+ 1\.0/1\.0 kB"]
    for row in rows:
        assert re.search(row, final), final
    assert "The requested URL returned error: 404" in plain and "Failed to connect" in plain
    assert saved(tmp_path) == {name: data for name, data in wanted.values() if data}


@pytest.mark.parametrize(
    "args, message", [(["-j", "0"], "must be at least 1"), (["--bogus"], "unrecognized arguments")]
)
def test_bad_arguments_are_refused(args, message):
    out = command(*args)
    assert out.returncode == 2 and message in out.stderr
    assert "usage: python -m tolvex" in out.stderr
