"""Sockets opened, adjusted and closed by Python callables."""

import gc
import os
import socket
import time
import warnings

import pytest

import tolvex
from servers.local import Server6, UnixServer, ipv6_works

T = tolvex


@pytest.fixture(scope="module")
def local_servers(tmp_path_factory):
    """The HTTP server on ::1 (None without IPv6) and on a unix socket."""
    servers = (Server6().start() if ipv6_works() else None,
               UnixServer(tmp_path_factory.mktemp("unix") / "http.sock").start())
    yield servers
    for s in servers:
        if s is not None:
            s.stop()


@pytest.fixture
def endpoints(server, local_servers):
    for s in local_servers:
        if s is not None:
            s.requests.clear()
    return {"ipv4": server, "ipv6": local_servers[0], "unix": local_servers[1]}


def fetch(url, **options):
    """Runs one transfer; the body, or the tolvex.error it raised."""
    with tolvex.Curl() as c:
        c.setopt(T.URL, url)
        for name, value in options.items():
            c.setopt(getattr(T, name), value)
        try:
            return c.perform_rb()
        except tolvex.error as e:
            return e


def open_fds():
    """The process's open descriptors, once the server threads of this
    process have closed their side of the connections: the count that holds
    for 0.1 s (waiting a second at most)."""
    counts, deadline = [], time.monotonic() + 1
    while len(counts) < 5 or len(set(counts[-5:])) > 1:
        if time.monotonic() > deadline:
            break
        counts.append(len(os.listdir("/proc/self/fd")))
        time.sleep(0.02)
    return counts[-1]


@pytest.mark.parametrize("returned", ["socket", "detached"])
@pytest.mark.parametrize("where", ["ipv4", "ipv6", "unix"])
def test_opensocket_hands_libcurl_a_socket(endpoints, returned, where):
    target, options = endpoints[where], {}
    if target is None:
        pytest.skip("no IPv6 loopback")
    if where == "unix":
        url, options["UNIX_SOCKET_PATH"] = "http://local/hello", target.path
        expected = os.fsencode(target.path)
    else:
        url = target.url("/hello")
        expected = ("::1", target.port, 0, 0) if where == "ipv6" else ("127.0.0.1", target.port)
    seen, opened, fds = [], [], []

    def opensocket(purpose, address):
        seen.append((purpose, address))
        s = socket.socket(address.family, address.socktype, address.protocol)
        opened.append(s)
        fds.append(s.fileno())
        return s.detach() if returned == "detached" else s

    def sockopt(fd, purpose):
        # libcurl has a descriptor of its own: the socket object may go.
        fds.append(fd)
        opened.pop().close()
        return T.SOCKOPT_OK

    assert fetch(url, OPENSOCKETFUNCTION=opensocket, SOCKOPTFUNCTION=sockopt,
                 **options) == b"Hello, world!"
    # The object's descriptor is duplicated; a detached one is handed over.
    assert (fds[0] == fds[1]) == (returned == "detached")
    ((purpose, address),) = seen
    assert purpose == T.SOCKTYPE_IPCXN and type(address) is tolvex.CurlSockAddr
    family = {"ipv4": socket.AF_INET, "ipv6": socket.AF_INET6, "unix": socket.AF_UNIX}[where]
    assert (address.family, address.addr) == (family, expected)


class StrFileno:
    def fileno(self):
        return "3"


@pytest.mark.parametrize("result, printed", [
    (None, "tolvex.error: Open socket callback's return value must be a socket"),
    (object(), "tolvex.error: Open socket callback's return value must be a socket"),
    (2**31, "OverflowError: socket value is out of range"),
    (-1, None),
    (ValueError, "ValueError: from opensocket"),
])
def test_opensocket_results_that_fail_the_connection(server, capsys, result, printed):
    def opensocket(purpose, address):
        if result is ValueError:
            raise ValueError("from opensocket")
        return result

    outcome = fetch(server.url("/hello"), OPENSOCKETFUNCTION=opensocket)
    assert outcome.args[0] == T.E_COULDNT_CONNECT
    err = capsys.readouterr().err
    assert (printed in err) if printed else err == ""


def test_opensocket_fileno_not_an_int_is_raised(server):
    outcome = fetch(server.url("/hello"), OPENSOCKETFUNCTION=lambda p, a: StrFileno())
    assert outcome.args == ("Open socket callback returned an object whose fileno method did not "
                            "return an integer",)


class Custom(Exception):
    pass


def connected(purpose, address):
    return socket.create_connection(address.addr).detach()


def fresh(purpose, address):
    return socket.socket(address.family, address.socktype, address.protocol).detach()


@pytest.mark.parametrize("result, options, expected, line", [
    (T.SOCKOPT_OK, {}, b"Hello, world!", ""),
    (T.SOCKOPT_ALREADY_CONNECTED, {"OPENSOCKETFUNCTION": connected}, b"Hello, world!", ""),
    (None, {}, T.E_ABORTED_BY_CALLBACK, "sockopt callback returned None which is not an integer\n"),
    (T.SOCKOPT_ERROR, {}, T.E_ABORTED_BY_CALLBACK, ""),
    (Custom, {}, Custom, ""),
])
def test_sockopt_results(server, capfd, result, options, expected, line):
    calls = []

    def sockopt(fd, purpose):
        calls.append(purpose)
        if result is Custom:
            raise Custom("from sockopt")
        return result

    try:
        outcome = fetch(server.url("/hello"), SOCKOPTFUNCTION=sockopt, **options)
    except Custom:
        outcome = Custom
    assert outcome == expected or outcome.args[0] == expected
    assert calls == [T.SOCKTYPE_IPCXN] and capfd.readouterr().err == line


def test_closesocket_exception_is_raised_by_perform(server):
    with tolvex.Curl() as c:
        c.setopt(T.URL, server.url("/hello"))
        c.setopt(T.FORBID_REUSE, 1)
        fds = []
        c.setopt(T.CLOSESOCKETFUNCTION, lambda fd: fds.append(fd) or os.close(fd) or 1 / 0)
        with pytest.raises(ZeroDivisionError):
            c.perform_rb()
        assert len(fds) == 1


def transfers_in_a_cycle(server):
    c = tolvex.Curl()
    c.cycle = c
    c.setopt(T.URL, server.url("/hello"))
    c.setopt(T.OPENSOCKETFUNCTION, fresh)
    c.setopt(T.CLOSESOCKETFUNCTION, lambda fd: os.close(fd) or 0)
    c.perform_rb()
    del c
    gc.collect()  # drops the callables, then closes the handle


def transfers_outliving_their_multi(server):
    m, c = tolvex.CurlMulti(), tolvex.Curl()
    c.setopt(T.URL, server.url("/hello"))
    c.setopt(T.WRITEFUNCTION, lambda b: None)
    c.setopt(T.OPENSOCKETFUNCTION, fresh)
    c.setopt(T.CLOSESOCKETFUNCTION, lambda fd: os.close(fd) or 0)
    m.add_handle(c)
    while m.perform()[1]:
        m.select(1.0)
    m.remove_handle(c)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        m.close()  # the pooled connection closes with no transfer to call Python from
    assert [str(w.message) for w in caught] == ["closesocket_callback failed to acquire thread"]
    c.close()


def transfers_closed_before_their_multi(server):
    """The pooled connection outlives its Curl object: the socket is closed
    for it when the multi goes."""
    m, c = tolvex.CurlMulti(), tolvex.Curl()
    c.setopt(T.URL, server.url("/hello"))
    c.setopt(T.WRITEFUNCTION, lambda b: None)
    c.setopt(T.OPENSOCKETFUNCTION, fresh)
    c.setopt(T.CLOSESOCKETFUNCTION, lambda fd: os.close(fd) or 0)
    m.add_handle(c)
    while m.perform()[1]:
        m.select(1.0)
    c.close()
    del c
    gc.collect()
    m.close()


def transfers_closed_by_python(server):
    with tolvex.Curl() as c:
        c.setopt(T.URL, server.url("/hello"))
        c.setopt(T.FORBID_REUSE, 1)
        c.setopt(T.OPENSOCKETFUNCTION, fresh)
        c.setopt(T.CLOSESOCKETFUNCTION, lambda fd: os.close(fd) or 0)
        for _ in range(5):
            c.perform_rb()


@pytest.mark.parametrize("run", [
    transfers_closed_by_python, transfers_in_a_cycle, transfers_outliving_their_multi,
    transfers_closed_before_their_multi,
], ids=["python", "cycle", "multi", "closed before multi"])
def test_no_descriptor_leaks(server, run):
    run(server)  # fills whatever the first transfer fills once
    before = open_fds()
    for _ in range(20):
        run(server)
    # One descriptor left open per transfer would show as 20.
    assert open_fds() == before
