"""The documentation's examples run against the test servers, type-check
under mypy --strict with the package's stubs, the package type-checks under
mypy --strict too, and the stubs match the built module name for name."""

import asyncio
import hashlib
import importlib.util
import json
import os
import pathlib
import subprocess
import sys

import pytest

from servers.http import pattern
from servers.multipart import MultipartServer

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
PACKAGE = ROOT / "python" / "tolvex"
# The length and SHA-256 of the test server's body of 3,000,000 bytes.
DIGEST = (3000000, hashlib.sha256(pattern(3000000)).hexdigest())


def example(name):
    found = importlib.util.spec_from_file_location("example_" + name, EXAMPLES / (name + ".py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_easy(server, closed_port):
    easy = example("easy")
    status, headers, body = easy.fetch(server.url("/hello"))
    assert (status, headers["content-type"], body) == (200, "text/plain", b"Hello, world!")
    code, message = easy.failure("http://127.0.0.1:%d/" % closed_port)
    assert code == 7 and "Could not connect to server" in message


@pytest.mark.parametrize("name", ["multi_polling", "multi_events", "multi_event_source"])
def test_multi(server, name):
    urls = [server.url("/bytes/%d" % (1000 * i + 1)) for i in range(20)]
    lengths = {url: len(body) for url, body in example(name).fetch_all(urls).items()}
    assert lengths == {url: 1000 * i + 1 for i, url in enumerate(urls)}


def test_share(server):
    share = example("share")
    body = share.shared_session(server.url("/cookies?flavour=oat"), server.url("/headers"))
    headers = dict(json.loads(body)["headers"])
    assert headers["Cookie"] == "flavour=oat"


def test_mime(tmp_path):
    picture = tmp_path / "picture.png"
    picture.write_bytes(b"\x89PNG" + bytes(range(256)))
    server = MultipartServer().start()
    try:
        body = example("mime").post_form(server.url("/form"), str(picture), b"streamed " * 1000)
    finally:
        server.stop()
    parts = {p["name"]: p for p in json.loads(body)["parts"]}
    assert parts["title"]["data"] == "holiday pictures"
    assert (parts["picture"]["filename"], parts["picture"]["type"]) == ("picture.png", "image/png")
    assert parts["picture"]["data"].encode("latin-1") == picture.read_bytes()
    assert parts["log"]["data"] == "streamed " * 1000


# The type checks run with the release interpreter: mypy's compiled parts
# load neither into the debug interpreter nor next to the sanitizers.
typing_only_in_release = pytest.mark.skipif(
    hasattr(sys, "gettotalrefcount") or "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="mypy runs with the release interpreter only",
)


def run_mypy(*args):
    result = subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT, timeout=300
    )
    assert result.returncode == 0, result.stdout + result.stderr


@typing_only_in_release
@pytest.mark.no_refleak_check(reason="runs mypy in a child process")
def test_examples_type_check_strictly():
    run_mypy("mypy", "--strict", "--no-incremental", str(EXAMPLES))


@typing_only_in_release
@pytest.mark.no_refleak_check(reason="runs mypy in a child process")
def test_package_type_checks_strictly():
    run_mypy("mypy", "--strict", "--no-incremental", str(PACKAGE))
    # Where the package has both, mypy reads __init__.pyi, not __init__.py.
    run_mypy("mypy", "--strict", "--no-incremental", str(PACKAGE / "__init__.py"))


@typing_only_in_release
@pytest.mark.no_refleak_check(reason="runs mypy in a child process")
def test_stubs_match_the_module():
    run_mypy(
        "mypy.stubtest", "tolvex", "--allowlist", str(ROOT / "tests" / "stubtest-allowlist.txt")
    )


def test_websocket():
    from servers.websocket import WebSocketServer

    server = WebSocketServer().start()
    try:
        replies = example("websocket").echo(server.url("/echo"), ["hello", b"\0\1" * 40000])
        assert replies == ["hello", b"\0\1" * 40000]
        assert server.last().payloads("CLOSE") == [b"\x03\xe8done"]
    finally:
        server.stop()


def test_asyncio(server):
    session = example("asyncio_session")
    urls = [server.url("/bytes/%d" % (777 * i + 5)) for i in range(30)]
    bodies = asyncio.run(session.fetch_all(urls))
    assert [len(bodies[url]) for url in urls] == [777 * i + 5 for i in range(30)]
    assert asyncio.run(session.digest(server.url("/bytes/3000000"))) == DIGEST


def test_client(httpbin, server, closed_port):
    client = example("client")
    assert client.fetch_json(httpbin.url("/get"))["args"] == {"page": "1"}
    assert client.session(httpbin.url("/")) == [200, 200, 200, 200]
    assert client.digest(server.url("/generate/3000000")) == DIGEST
    urls = [server.url("/bytes/%d" % (100 * i)) for i in range(1, 11)]
    assert asyncio.run(client.fetch_all(urls)) == [100 * i for i in range(1, 11)]
    assert client.failure("http://127.0.0.1:%d/" % closed_port).startswith("ConnectError 7 ")
