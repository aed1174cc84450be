pytest_plugins = ["refleaks"]

import logging
import os
import resource
import socket
import threading
import time
import types

import pytest
import trustme

import tolvex
from servers.h2 import Hypercorn
from servers.http import Server
from servers.multipart import MultipartServer
from servers.tls import STSHandler, TLSServer
from servers.upload import UploadServer


@pytest.fixture(scope="session")
def http_server():
    server = Server().start()
    yield server
    server.stop()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "quiet_server: the module's `server` is the quiet_server fixture's"
    )


@pytest.fixture
def server(request, http_server, quiet_server):
    """The shared HTTP server, with its request log emptied for this test; in
    a module marked quiet_server, the quiet one (the quiet_server fixture)."""
    if request.node.get_closest_marker("quiet_server") is not None:
        return quiet_server
    http_server.requests.clear()
    return http_server


@pytest.fixture(scope="session")
def upload_server():
    server = UploadServer().start()
    yield server
    server.stop()


@pytest.fixture
def quiet_server(upload_server):
    """The server of servers.upload, which prints nothing when a client drops
    a connection (tests that check what callbacks print use it), with its
    request log emptied for this test."""
    upload_server.requests.clear()
    return upload_server


@pytest.fixture(scope="session")
def form_server():
    """The multipart server of servers.multipart (its /form parses bodies)."""
    server = MultipartServer().start()
    yield server
    server.stop()


@pytest.fixture
def curl():
    c = tolvex.Curl()
    yield c
    c.close()


@pytest.fixture(scope="session")
def closed_port():
    """A loopback port that refuses connections (bound, never listening)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        yield s.getsockname()[1]


@pytest.fixture
def silent():
    """A URL whose connections the kernel accepts and nobody reads or answers."""
    with socket.create_server(("127.0.0.1", 0), backlog=16) as s:
        yield "http://127.0.0.1:%d/" % s.getsockname()[1]


def open_fds():
    """The descriptors this process has open."""
    return set(map(int, os.listdir("/proc/self/fd")))


def tcp_ports():
    """fd -> (local port, remote port) of this process's TCP connections."""
    ports = {}
    for fd in open_fds():
        try:
            dup = os.dup(fd)
        except OSError:  # the descriptor of the listing itself, gone
            continue
        try:
            s = socket.socket(fileno=dup)
        except OSError:  # not a socket
            os.close(dup)
            continue
        with s:
            try:
                ports[fd] = (s.getsockname()[1], s.getpeername()[1])
            except OSError, IndexError:  # not connected, or not TCP
                pass
    return ports


def left_behind(before, server):
    """Descriptors opened since `before` that stay open, except the server's
    ends of connections (a server thread holds its end of a dropped one for
    a moment)."""
    deadline = time.monotonic() + 2.0
    while True:
        theirs = {fd for fd, (local, _) in tcp_ports().items() if local == server.port}
        left = open_fds() - before - theirs
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.02)


@pytest.fixture
def many_descriptors():
    """1,100 descriptors held open, as a crawler holds its files and
    connections, so that every socket opened meanwhile is numbered past
    select()'s FD_SETSIZE (1024)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 1400
    if soft != resource.RLIM_INFINITY and soft < wanted:
        if hard != resource.RLIM_INFINITY and hard < wanted:
            pytest.skip("the descriptor limit (%d) is below %d" % (hard, wanted))
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
    held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    try:
        probe = os.dup(0)
        os.close(probe)
        assert probe >= 1024
        yield
    finally:
        for fd in held:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@pytest.fixture(scope="session")
def tls_files(tmp_path_factory):
    """A throw-away CA and a certificate it issued for the loopback names,
    written out as PEM files: `ca` (the CA), `cert` (the chain), `key`; the
    trustme objects are `authority` and `leaf`."""
    authority = trustme.CA()
    leaf = authority.issue_cert("127.0.0.1", "::1", "localhost")
    directory = tmp_path_factory.mktemp("tls")
    files = types.SimpleNamespace(
        authority=authority,
        leaf=leaf,
        ca=str(directory / "ca.pem"),
        cert=str(directory / "cert.pem"),
        key=str(directory / "key.pem"),
    )
    authority.cert_pem.write_to_path(files.ca)
    leaf.private_key_pem.write_to_path(files.key)
    for i, pem in enumerate(leaf.cert_chain_pems):
        pem.write_to_path(files.cert, append=i > 0)
    return files


@pytest.fixture(scope="session")
def sts_server_session():
    """A TLS server whose certificate, from a throw-away CA (`.ca`), names
    127.0.0.1, hsts.test and sub.hsts.test, with the /sts endpoint."""
    ca = trustme.CA()
    server = TLSServer(
        ca.issue_cert("127.0.0.1", "hsts.test", "sub.hsts.test"), handler=STSHandler
    ).start()
    server.ca = ca
    yield server
    server.stop()


@pytest.fixture
def sts_server(sts_server_session):
    """The TLS server above, with its request log emptied for this test."""
    sts_server_session.requests.clear()
    return sts_server_session


@pytest.fixture(scope="session")
def h2s(tls_files):
    """HTTP/1.1 and HTTP/2 over TLS, HTTP/3 over QUIC, on one port number
    (hypercorn), with the certificate of `tls_files`."""
    server = Hypercorn(tls_files).start()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def httpbin():
    """Debian's httpbin application served by werkzeug on loopback; `.url(path)`
    and, for a second host name of the same server, `.other_url(path)`."""
    import httpbin as application
    import werkzeug.serving

    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    server = werkzeug.serving.make_server("127.0.0.1", 0, application.app, threaded=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    server.url = lambda path="/": "http://127.0.0.1:%d%s" % (server.port, path)
    server.other_url = lambda path="/": "http://localhost:%d%s" % (server.port, path)
    yield server
    server.shutdown()
    server.server_close()
    thread.join()
