"""Sockets opened, adjusted and closed by Python callables."""

import gc
import os
import socket
import warnings

import pytest

import tolvex
from conftest import left_behind, open_fds
from servers.http import transfer
from servers.local import Server6, UnixServer, ipv6_works

T = tolvex


@pytest.fixture(scope="module")
def local_servers(tmp_path_factory):
    """The HTTP server on ::1 (None without IPv6) and on a unix socket."""
    servers = [
        Server6().start() if ipv6_works() else None,
        UnixServer(tmp_path_factory.mktemp("unix") / "http.sock").start(),
    ]
    yield servers
    for s in filter(None, servers):
        s.stop()


def fresh(purpose, address):
    return socket.socket(address.family, address.socktype, address.protocol).detach()


@pytest.mark.parametrize("returned", ["socket", "detached"])
@pytest.mark.parametrize("where", ["ipv4", "ipv6", "unix"])
def test_opensocket_hands_libcurl_a_socket(server, local_servers, returned, where):
    target = {"ipv4": server, "ipv6": local_servers[0], "unix": local_servers[1]}[where]
    if target is None:
        pytest.skip("no IPv6 loopback")
    target.requests.clear()
    url, options = target.url("/hello") if where != "unix" else "http://x/hello", {}
    if where == "unix":
        options["UNIX_SOCKET_PATH"] = target.path
        expected = (socket.AF_UNIX, os.fsencode(target.path))
    elif where == "ipv4":
        expected = (socket.AF_INET, ("127.0.0.1", target.port))
    else:
        expected = (socket.AF_INET6, ("::1", target.port, 0, 0))
    seen, opened, fds = [], [], []

    def opensocket(purpose, address):
        seen.append((purpose, address.family, address.addr))
        opened.append(socket.socket(address.family, address.socktype, address.protocol))
        fds.append(opened[-1].fileno())
        return opened[-1].detach() if returned == "detached" else opened[-1]

    def sockopt(fd, purpose):
        fds.append(fd)
        opened.pop().close()  # libcurl has a descriptor of its own
        return T.SOCKOPT_OK

    options.update(OPENSOCKETFUNCTION=opensocket, SOCKOPTFUNCTION=sockopt)
    assert transfer(url, **options) == b"Hello, world!"
    assert seen == [(T.SOCKTYPE_IPCXN,) + expected]
    # An object's descriptor is duplicated; a detached one is handed over.
    assert (fds[0] == fds[1]) == (returned == "detached")


class StrFileno:
    def fileno(self):
        return "3"


NOT_A_SOCKET = "tolvex.error: Open socket callback's return value must be a socket"
NO_INTEGER = "Open socket callback returned an object whose fileno method did not return an integer"


@pytest.mark.parametrize(
    "result, expected, printed",
    [
        (None, T.E_COULDNT_CONNECT, NOT_A_SOCKET),
        (object(), T.E_COULDNT_CONNECT, NOT_A_SOCKET),
        (2**31, T.E_COULDNT_CONNECT, "OverflowError: socket value is out of range"),
        (-1, T.E_COULDNT_CONNECT, ""),
        (ValueError, T.E_COULDNT_CONNECT, "ValueError: from opensocket"),
        (StrFileno(), NO_INTEGER, ""),  # raised by perform, not printed
    ],
)
def test_opensocket_results_that_fail_the_connection(server, capsys, result, expected, printed):
    def opensocket(purpose, address):
        if result is ValueError:
            raise ValueError("from opensocket")
        return result

    assert transfer(server.url("/hello"), OPENSOCKETFUNCTION=opensocket) == expected
    assert printed in capsys.readouterr().err if printed else capsys.readouterr().err == ""


@pytest.mark.parametrize(
    "result, expected, line",
    [
        (T.SOCKOPT_OK, b"Hello, world!", ""),
        (T.SOCKOPT_ALREADY_CONNECTED, b"Hello, world!", ""),
        (None, T.E_ABORTED_BY_CALLBACK, "sockopt callback returned None which is not an integer\n"),
        (T.SOCKOPT_ERROR, T.E_ABORTED_BY_CALLBACK, ""),
    ],
)
def test_sockopt_results(server, capfd, result, expected, line):
    calls, connected = [], result == T.SOCKOPT_ALREADY_CONNECTED

    def opensocket(purpose, a):
        return socket.create_connection(a.addr).detach() if connected else fresh(purpose, a)

    sockopt = lambda fd, purpose: calls.append(purpose) or result  # noqa: E731
    outcome = transfer(server.url("/hello"), SOCKOPTFUNCTION=sockopt, OPENSOCKETFUNCTION=opensocket)
    assert outcome == expected
    assert calls == [T.SOCKTYPE_IPCXN] and capfd.readouterr().err == line


def test_closesocket_exception_is_raised_by_perform(server):
    fds = []
    closesocket = lambda fd: fds.append(fd) or os.close(fd) or 1 / 0  # noqa: E731
    outcome = transfer(server.url("/hello"), FORBID_REUSE=1, CLOSESOCKETFUNCTION=closesocket)
    assert outcome is ZeroDivisionError
    assert len(fds) == 1


def transfers(server, how):
    c = tolvex.Curl()
    c.setopt(T.URL, server.url("/hello"))
    c.setopt(T.WRITEFUNCTION, lambda b: None)
    c.setopt(T.OPENSOCKETFUNCTION, fresh)
    c.setopt(T.CLOSESOCKETFUNCTION, lambda fd: os.close(fd) or 0)
    if how == "python":
        c.setopt(T.FORBID_REUSE, 1)
        for _ in range(5):
            c.perform()
    elif how == "cycle":
        c.cycle = c
        c.perform()
        del c
        gc.collect()  # drops the callables, then closes the handle
        return
    elif how == "closed before share":  # the connection stays in the share's pool
        share = tolvex.CurlShare()
        share.share(T.LOCK_DATA_CONNECT)
        c.setopt(T.SHARE, share)
        c.perform()
        c.close()
        share.close()
        return
    else:  # the connection stays in the multi's pool after the transfer
        m = tolvex.CurlMulti()
        m.add_handle(c)
        while m.perform()[1]:
            m.select(1.0)
        c.close() if how == "closed before multi" else m.remove_handle(c)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            m.close()  # no transfer runs to call Python from
        assert [str(w.message) for w in caught] == (
            ["closesocket_callback failed to acquire thread"] if how == "multi" else []
        )
    c.close()


@pytest.mark.parametrize(
    "how", ["python", "cycle", "multi", "closed before multi", "closed before share"]
)
def test_no_descriptor_leaks(server, how):
    transfers(server, how)  # fills whatever the first transfer fills once
    before = open_fds()
    for _ in range(20):
        transfers(server, how)
    assert not left_behind(before, server)  # a descriptor left per transfer would show
