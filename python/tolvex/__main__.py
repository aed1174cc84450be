"""python -m tolvex: parallel downloads through tolvex.aio.

    python -m tolvex URL... [-o DIR] [-j N]

Each URL is saved in DIR under the last part of its path.  On a terminal a
progress display shows every transfer and the total (bytes, rate, time
left); otherwise one line is printed per finished transfer.  A failed
transfer is reported with libcurl's text, and the exit status is then 1.

Without a URL, a server is started on loopback and a set of generated files
is downloaded from it, to show what the library does.
"""

import argparse
import asyncio
import hashlib
import os
import random
import shutil
import sys
import tempfile
import threading
import time
import urllib.parse
from collections.abc import Iterator, Sequence
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import TracebackType
from typing import TYPE_CHECKING, Any, Protocol, Self, TextIO, cast

import tolvex
import tolvex.aio

if TYPE_CHECKING:
    from rich.progress import TaskID

USAGE = "python -m tolvex [URL...] [-o DIR] [-j N]"
# How often the progress display is redrawn, in seconds.
REFRESH = 0.1


def human_size(n: float) -> str:
    for unit in ("bytes", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            break
        n /= 1000.0
    return ("%d %s" if unit == "bytes" else "%.1f %s") % (n, unit)


def int_info(curl: tolvex.Curl, option: int) -> int:
    """A getinfo value that libcurl gives as a number."""
    return cast(int, curl.getinfo(option))


class Download:
    """One URL: where it goes, and how it went."""

    __slots__ = ("url", "path", "curl", "finished", "seconds", "size", "error", "task")

    def __init__(self, url: str, path: str) -> None:
        self.url = url
        self.path = path
        self.curl: tolvex.Curl | None = None  # while the transfer runs
        self.finished = False
        self.seconds = 0.0
        self.size = 0
        self.error: tuple[Any, ...] | None = None  # (code, text) from libcurl
        self.task: TaskID | None = None  # the progress display's row

    def received(self) -> int:
        """Bytes received so far."""
        if self.curl is None:
            return self.size
        return int_info(self.curl, tolvex.SIZE_DOWNLOAD_T)

    def expected(self) -> int | None:
        """The announced length of the body, or None."""
        if self.curl is None:
            return self.size if self.finished else None
        length = int_info(self.curl, tolvex.CONTENT_LENGTH_DOWNLOAD_T)
        return length if length >= 0 else None


def file_names(urls: Sequence[str]) -> list[str]:
    """The file name each URL is saved under: the last part of its path,
    made unique within this run."""
    taken = set()
    names = []
    for url in urls:
        path = urllib.parse.urlsplit(url).path
        name = urllib.parse.unquote(path.rsplit("/", 1)[-1]).replace(os.sep, "_")
        if name in ("", ".", ".."):
            name = "index.html"
        unique, n = name, 0
        while unique in taken:
            n += 1
            unique = "%s.%d" % (name, n)
        taken.add(unique)
        names.append(unique)
    return names


# --- displays --------------------------------------------------------------------


class Display(Protocol):
    """How the transfers are shown, inside `with display:`."""

    def __enter__(self) -> Self: ...

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...

    def start(self, download: Download) -> None: ...

    def refresh(self, downloads: Sequence[Download]) -> None: ...

    def finish(self, download: Download) -> None: ...

    def note(self, text: str) -> None: ...


class PlainDisplay:
    """One line per finished transfer: successes on stdout, failures on stderr."""

    def __init__(self, out: TextIO, err: TextIO) -> None:
        self.out = out
        self.err = err

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        return None

    def start(self, download: Download) -> None:
        pass

    def refresh(self, downloads: Sequence[Download]) -> None:
        pass

    def finish(self, download: Download) -> None:
        if download.error is None:
            rate = download.size / download.seconds if download.seconds > 0 else 0.0
            print(
                "done    %s -> %s (%s in %.2f s, %s/s)"
                % (
                    download.url,
                    download.path,
                    human_size(download.size),
                    download.seconds,
                    human_size(rate),
                ),
                file=self.out,
                flush=True,
            )
        else:
            print(
                "failed  %s: %s (libcurl error %d)"
                % (download.url, download.error[1], download.error[0]),
                file=self.err,
                flush=True,
            )

    def note(self, text: str) -> None:
        print(text, file=self.out, flush=True)


class ProgressDisplay:
    """A row per transfer and one for the total, redrawn on the terminal."""

    # The row of the total, once the display is shown.
    total: TaskID

    def __init__(self, out: TextIO) -> None:
        from rich.console import Console
        from rich.progress import (
            BarColumn,
            DownloadColumn,
            Progress,
            TextColumn,
            TimeRemainingColumn,
            TransferSpeedColumn,
        )

        self.console = Console(file=out)
        self.progress = Progress(
            TextColumn("{task.description}", justify="left"),
            BarColumn(),
            DownloadColumn(),
            TransferSpeedColumn(),
            TimeRemainingColumn(),
            console=self.console,
            auto_refresh=False,
        )

    def __enter__(self) -> Self:
        self.progress.__enter__()
        self.total = self.progress.add_task("total", total=None)
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.progress.refresh()
        self.progress.__exit__(exc_type, exc, tb)

    def start(self, download: Download) -> None:
        download.task = self.progress.add_task(os.path.basename(download.path), total=None)

    def refresh(self, downloads: Sequence[Download]) -> None:
        done = expected = 0
        known = True
        for d in downloads:
            if d.error is not None:
                continue
            received = d.received()
            length = d.expected()
            done += received
            if length is None:
                known = False
            else:
                expected += length
            if d.task is not None:
                self.progress.update(d.task, completed=received, total=length)
        self.progress.update(self.total, completed=done, total=expected if known else None)
        self.progress.refresh()

    def finish(self, download: Download) -> None:
        if download.error is not None:
            # The failure is told above the display, and its row goes.
            assert download.task is not None
            self.progress.update(download.task, visible=False)
            self.console.print(
                "failed  %s: %s (libcurl error %d)"
                % (download.url, download.error[1], download.error[0]),
                markup=False,
                highlight=False,
            )

    def note(self, text: str) -> None:
        self.console.print(text, markup=False, highlight=False)


# --- downloading -----------------------------------------------------------------


async def fetch(
    session: tolvex.aio.Session, curl: tolvex.Curl, download: Download, display: Display
) -> None:
    part = download.path + ".part"
    started = time.monotonic()
    with open(part, "wb") as f:
        curl.setopt(tolvex.URL, download.url)
        curl.setopt(tolvex.WRITEDATA, f)
        download.curl = curl
        display.start(download)
        try:
            await session.perform(curl)
        except tolvex.error as e:
            download.error = e.args
        finally:
            download.seconds = time.monotonic() - started
            download.size = int_info(curl, tolvex.SIZE_DOWNLOAD_T)
            download.curl = None
            download.finished = True
    if download.error is None:
        os.replace(part, download.path)
    else:
        os.unlink(part)


def new_curl() -> tolvex.Curl:
    c = tolvex.Curl()
    c.setopt(tolvex.FOLLOWLOCATION, 1)
    # An HTTP error status is a failure, with libcurl's text for it.
    c.setopt(tolvex.FAILONERROR, 1)
    c.setopt(tolvex.CONNECTTIMEOUT, 30)
    return c


async def download_all(downloads: Sequence[Download], jobs: int, display: Display) -> float:
    """Runs the downloads, `jobs` at a time; returns the seconds it took."""
    pending = iter(downloads)
    started = time.monotonic()

    async def worker(session: tolvex.aio.Session) -> None:
        c = new_curl()
        try:
            for d in pending:
                await fetch(session, c, d, display)
                display.finish(d)
        finally:
            c.close()

    async def redraw() -> None:
        while True:
            display.refresh(downloads)
            await asyncio.sleep(REFRESH)

    async with tolvex.aio.Session() as session:
        painter = asyncio.ensure_future(redraw())
        try:
            await asyncio.gather(*(worker(session) for _ in range(min(jobs, len(downloads)))))
        finally:
            painter.cancel()
            display.refresh(downloads)
    return time.monotonic() - started


def summary(downloads: Sequence[Download], seconds: float) -> str:
    ok = [d for d in downloads if d.error is None]
    total = sum(d.size for d in ok)
    rate = total / seconds if seconds > 0 else 0.0
    return "%d of %d downloaded, %s in %.2f s (%s/s)" % (
        len(ok),
        len(downloads),
        human_size(total),
        seconds,
        human_size(rate),
    )


def make_display(out: TextIO, err: TextIO) -> Display:
    if out.isatty():
        try:
            return ProgressDisplay(out)
        except ImportError:
            pass
    return PlainDisplay(out, err)


# --- the demonstration -------------------------------------------------------------


class DemoServer(ThreadingHTTPServer):
    """Serves generated files on loopback: /NAME for each name of `files`,
    which maps it to the file's size, made of pieces of `pool`."""

    daemon_threads = True
    # Beyond the listen backlog the kernel drops connection attempts, which
    # the client repeats only a second later.
    request_queue_size = 128

    def __init__(self, files: dict[str, int], pool: bytes) -> None:
        super().__init__(("127.0.0.1", 0), DemoHandler)
        self.files = files
        self.pool = pool

    def url(self, name: str) -> str:
        return "http://127.0.0.1:%d/%s" % (self.server_address[1], name)


class DemoHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def do_GET(self) -> None:
        server = self.server
        assert isinstance(server, DemoServer)
        name = self.path.lstrip("/")
        size = server.files.get(name)
        if size is None:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.end_headers()
        try:
            for block in demo_blocks(server.pool, name, size):
                self.wfile.write(block)
        except ConnectionError:
            pass


# The demonstration's files: 16, from 100 kB to 26 MB, 84 MB in all.  None is
# held whole: each is made as it is sent, of blocks taken from a pool of
# random bytes at places a generator seeded with its name picks (generating
# all of it at random would slow the server down below the client).
DEMO_FILES = 16
DEMO_POOL = 1 << 22
DEMO_BLOCK = 1 << 17


def demo_files() -> dict[str, int]:
    """The name and size of each file."""
    return {"file-%02d.bin" % i: int(100_000 * 1.45**i) for i in range(DEMO_FILES)}


def demo_blocks(pool: bytes, name: str, size: int) -> Iterator[memoryview]:
    """The bytes of a file, block by block: the same every time."""
    rng = random.Random(name)
    view = memoryview(pool)
    for start in range(0, size, DEMO_BLOCK):
        at = rng.randrange(len(pool) - DEMO_BLOCK + 1)
        yield view[at : at + min(DEMO_BLOCK, size - start)]


def demo_digest(pool: bytes, name: str, size: int) -> str:
    digest = hashlib.sha256()
    for block in demo_blocks(pool, name, size):
        digest.update(block)
    return digest.hexdigest()


def demo(directory: str | None, jobs: int, out: TextIO, err: TextIO) -> int:
    files = demo_files()
    pool = random.Random(DEMO_FILES).randbytes(DEMO_POOL)
    digests = {name: demo_digest(pool, name, size) for name, size in files.items()}
    server = DemoServer(files, pool)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    own_directory = directory is None
    if directory is None:
        directory = tempfile.mkdtemp(prefix="tolvex-demo-")
    try:
        names = sorted(files)
        downloads = [Download(server.url(name), os.path.join(directory, name)) for name in names]
        total = sum(files.values())
        display = make_display(out, err)
        with display:
            display.note("tolvex %s, on %s" % (tolvex.version, sys.version.split()[0]))
            display.note(
                "Serving %d generated files (%s) on http://127.0.0.1:%d/ and downloading "
                "them %d at a time, through one CurlMulti driven by asyncio:"
                % (len(files), human_size(total), server.server_address[1], jobs)
            )
            seconds = asyncio.run(download_all(downloads, jobs, display))
            bad = []
            for d in downloads:
                if d.error is not None:
                    bad.append(d.path)
                    continue
                with open(d.path, "rb") as f:
                    if (
                        hashlib.file_digest(f, "sha256").hexdigest()
                        != digests[os.path.basename(d.path)]
                    ):
                        bad.append(d.path)
            display.note(summary(downloads, seconds))
        if bad:
            print("not as served: %s" % ", ".join(bad), file=err)
            return 1
        print(
            "Every file was checked against the SHA-256 of what the server sent%s."
            % ("" if own_directory else "; they are in " + directory),
            file=out,
        )
        print("Your own downloads: %s" % USAGE, file=out)
        return 0
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
        if own_directory:
            shutil.rmtree(directory, ignore_errors=True)


# --- command line ---------------------------------------------------------------------


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m tolvex",
        usage=USAGE,
        description="Downloads the URLs in parallel through tolvex.aio.  Without a URL, "
        "downloads generated files from a server it starts on loopback.",
    )
    parser.add_argument("urls", nargs="*", metavar="URL", help="what to download")
    parser.add_argument(
        "-o", "--output", metavar="DIR", help="directory for the files (default: the current one)"
    )
    parser.add_argument(
        "-j",
        "--jobs",
        type=positive,
        default=8,
        metavar="N",
        help="transfers at a time (default: 8)",
    )
    return parser.parse_args(argv)


def main(
    argv: Sequence[str] | None = None, out: TextIO | None = None, err: TextIO | None = None
) -> int:
    args = parse_args(argv)
    out = out or sys.stdout
    err = err or sys.stderr
    if args.output is not None:
        os.makedirs(args.output, exist_ok=True)
    if not args.urls:
        return demo(args.output, args.jobs, out, err)
    directory = args.output or "."
    downloads = [
        Download(url, os.path.join(directory, name))
        for url, name in zip(args.urls, file_names(args.urls))
    ]
    display = make_display(out, err)
    with display:
        seconds = asyncio.run(download_all(downloads, args.jobs, display))
        display.note(summary(downloads, seconds))
    return 0 if all(d.error is None for d in downloads) else 1


if __name__ == "__main__":
    sys.exit(main())
