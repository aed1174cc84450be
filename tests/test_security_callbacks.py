"""SSH host keys decided by Python, CA certificates given to set_ca_certs,
resolver-start and FTP wildcard-matching callables."""

import fnmatch

import pytest
import trustme

import tolvex
from servers.ftp import FTPServer
from servers.http import transfer
from servers.sshd import Sshd, SshdUnavailable

T = tolvex


class Custom(Exception):
    pass


def not_int(name, value):
    """The line printed for a callable's answer that is no integer."""
    return "%s callback returned %r which is not an integer\n" % (name, value)


def answer(result, calls):
    def callback(*args):
        calls.append(args)
        if result is Custom:
            raise Custom("from callable")
        return result

    return callback


@pytest.fixture(scope="module")
def sshd(tmp_path_factory):
    directory = tmp_path_factory.mktemp("sshd")
    try:
        server = Sshd(directory).start()
    except SshdUnavailable as e:
        pytest.skip(str(e))
    (directory / "file.txt").write_bytes(b"over sftp")
    server.file = directory / "file.txt"
    yield server
    server.stop()


def sftp(sshd, tmp_path, known, **options):
    """A transfer of the server's file; the known hosts file lists the
    server when `known`, else no host."""
    (known_hosts := tmp_path / "known_hosts").write_text(sshd.known_hosts_line() if known else "")
    options.update(SSH_PRIVATE_KEYFILE=sshd.client_key, SSH_PUBLIC_KEYFILE=sshd.client_key + ".pub")
    return transfer(sshd.url(str(sshd.file)), SSH_KNOWNHOSTS=str(known_hosts), **options)


@pytest.mark.parametrize("known", [False, True], ids=["unknown host", "known host"])
@pytest.mark.parametrize(
    "result, outcome, line",
    [
        (T.KHSTAT_FINE, b"over sftp", ""),
        (T.KHSTAT_REJECT, T.E_PEER_FAILED_VERIFICATION, ""),
        (None, T.E_PEER_FAILED_VERIFICATION, not_int("ssh key", None)),
        (Custom, Custom, ""),
    ],
)
def test_ssh_key_callable(sshd, tmp_path, capfd, known, result, outcome, line):
    calls = []
    assert sftp(sshd, tmp_path, known, SSH_KEYFUNCTION=answer(result, calls)) == outcome
    assert capfd.readouterr().err == line
    ((known_key, found_key, match),) = calls
    assert type(found_key) is tolvex.KhKey and found_key.key == sshd.host_key_blob
    if known:
        assert (known_key.key, known_key.keytype) == (sshd.host_key_text, found_key.keytype)
        assert match == T.KHMATCH_OK
    else:
        assert (known_key, match) == (None, T.KHMATCH_MISSING)


@pytest.fixture(scope="module")
def other_ca():
    return trustme.CA()


DAMAGED = b"-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"


@pytest.mark.parametrize(
    "certs, outcome, printed",
    [
        (["right"], b"Hello, world!", None),
        (["right", "right"], b"Hello, world!", None),
        (["other", "right"], b"Hello, world!", None),
        (["other"], T.E_PEER_FAILED_VERIFICATION, None),
        (["right", "damaged"], T.E_FAILED_INIT, "tolvex.error: "),
        (["junk"], T.E_FAILED_INIT, "tolvex.error: no start line"),
    ],
)
def test_set_ca_certs(sts_server, other_ca, capsys, certs, outcome, printed):
    pems = {"right": sts_server.ca.cert_pem.bytes(), "other": other_ca.cert_pem.bytes()}
    pems.update(damaged=DAMAGED, junk=b"not a certificate")
    with tolvex.Curl() as c:
        c.setopt(T.URL, sts_server.url("/hello"))
        c.set_ca_certs(b"".join(pems[name] for name in certs))
        try:
            assert c.perform_rb() == outcome
        except tolvex.error as e:
            assert e.args[0] == outcome
    assert printed in capsys.readouterr().err if printed else capsys.readouterr().err == ""


@pytest.mark.parametrize(
    "result, outcome, printed",
    [
        (None, b"Hello, world!", ""),
        (0, b"Hello, world!", ""),
        (1, T.E_ABORTED_BY_CALLBACK, ""),
        (True, T.E_ABORTED_BY_CALLBACK, ""),
        ("go", T.E_ABORTED_BY_CALLBACK, not_int("resolver_start", "go")),
        (Custom, T.E_ABORTED_BY_CALLBACK, "Custom: from callable"),
    ],
)
def test_resolver_start_callable(server, capfd, result, outcome, printed):
    calls = []
    assert transfer(server.url("/hello"), RESOLVER_START_FUNCTION=answer(result, calls)) == outcome
    assert calls == [()]
    assert printed in capfd.readouterr().err if printed else capfd.readouterr().err == ""


@pytest.fixture(scope="module")
def ftp_server(tmp_path_factory):
    root = tmp_path_factory.mktemp("ftp")
    for name in ("a.txt", "b.txt", "c.log"):
        (root / name).write_bytes(b"<%s>" % name.encode())
    server = FTPServer(root).start()
    yield server
    server.stop()


def glob(pattern, name):
    return T.FNMATCHFUNC_MATCH if fnmatch.fnmatch(name, pattern) else T.FNMATCHFUNC_NOMATCH


@pytest.mark.parametrize(
    "matcher, body, line",
    [
        (glob, b"<a.txt><b.txt>", ""),
        (lambda pattern, name: T.FNMATCHFUNC_MATCH, b"<a.txt><b.txt><c.log>", ""),
        (lambda pattern, name: None, T.E_REMOTE_FILE_NOT_FOUND, not_int("fnmatch", None) * 3),
        (lambda pattern, name: 1 / 0, ZeroDivisionError, ""),
    ],
)
def test_fnmatch_callable(ftp_server, capfd, matcher, body, line):
    calls = []
    matching = lambda *args: calls.append(args) or matcher(*args)  # noqa: E731
    assert transfer(ftp_server.url("/*.txt"), WILDCARDMATCH=1, FNMATCH_FUNCTION=matching) == body
    assert calls[0] == (b"*.txt", b"a.txt")
    assert capfd.readouterr().err == line


@pytest.mark.parametrize(
    "result, outcome, line",
    [
        (T.KHMATCH_OK, b"over sftp", ""),
        (T.KHMATCH_MISMATCH, T.E_PEER_FAILED_VERIFICATION, ""),
        (None, T.E_PEER_FAILED_VERIFICATION, not_int("ssh host key", None)),
        (Custom, Custom, ""),
    ],
)
def test_ssh_hostkey_callable(sshd, tmp_path, capfd, result, outcome, line):
    # The callable decides alone: the known hosts file lists no host.
    calls = []
    assert sftp(sshd, tmp_path, False, SSH_HOSTKEYFUNCTION=answer(result, calls)) == outcome
    assert capfd.readouterr().err == line
    assert calls == [(T.KHTYPE_ED25519, sshd.host_key_blob)]


def chunk_answers(answers, calls):
    """The chunk callables of a wildcard transfer: the one that begins a file
    answers answers[filename], the one that ends it None."""

    def begin(info, remains):
        calls.append((info.filename, info.filetype, info.size, remains))
        result = answers.get(info.filename)
        if result is Custom:
            raise Custom("from callable")
        return result

    return {"CHUNK_BGN_FUNCTION": begin, "CHUNK_END_FUNCTION": lambda: calls.append("end")}


@pytest.mark.parametrize(
    "answers, body, ends, line",
    [
        ({}, b"<a.txt><b.txt>", 2, ""),
        ({b"a.txt": T.CHUNK_BGN_FUNC_SKIP}, b"<b.txt>", 2, ""),
        ({b"a.txt": T.CHUNK_BGN_FUNC_FAIL}, T.E_CHUNK_FAILED, 0, ""),
        (
            {b"b.txt": 7},
            T.E_CHUNK_FAILED,
            1,
            "tolvex.error: chunk_bgn callback returned an invalid CURL_CHUNK_BGN_FUNC code\n",
        ),
        ({b"a.txt": "skip"}, T.E_CHUNK_FAILED, 0, not_int("chunk_bgn", "skip")),
        ({b"a.txt": Custom}, T.E_CHUNK_FAILED, 0, "Custom: from callable\n"),
    ],
)
def test_chunk_callables_of_a_wildcard_transfer(ftp_server, capfd, answers, body, ends, line):
    calls = []
    outcome = transfer(ftp_server.url("/*.txt"), WILDCARDMATCH=1, **chunk_answers(answers, calls))
    assert outcome == body
    begun = [call for call in calls if call != "end"]
    assert begun[0] == (b"a.txt", T.FILETYPE_FILE, 7, 2)
    assert calls.count("end") == ends
    assert capfd.readouterr().err.endswith(line)


def test_chunk_begin_kept_when_end_is_unset(ftp_server):
    # The two callables share libcurl's data option.
    calls = []
    options = chunk_answers({}, calls)
    with tolvex.Curl() as c:
        c.setopt(T.CHUNK_BGN_FUNCTION, options["CHUNK_BGN_FUNCTION"])
        c.setopt(T.CHUNK_END_FUNCTION, options["CHUNK_END_FUNCTION"])
        c.setopt(T.CHUNK_END_FUNCTION, None)
        assert transfer(ftp_server.url("/*.txt"), c, WILDCARDMATCH=1) == b"<a.txt><b.txt>"
    assert [call[0] for call in calls] == [b"a.txt", b"b.txt"]
