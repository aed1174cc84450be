"""The module-level functions."""

import pytest

import tolvex


@pytest.mark.parametrize("option", range(8))
def test_global_init_accepts_flag_combinations(option):
    assert tolvex.global_init(option) is None
    assert tolvex.global_cleanup() is None


@pytest.mark.parametrize("option", [8, -1, 2**31 - 1, -(2**31)])
def test_global_init_rejects_other_values(option):
    with pytest.raises(ValueError) as info:
        tolvex.global_init(option)
    assert str(info.value) == "invalid option to global_init"


ONE_INT = [
    tolvex.global_init,
    tolvex.easy_strerror,
    tolvex.multi_strerror,
    tolvex.share_strerror,
    tolvex.url_strerror,
]


@pytest.mark.parametrize("func", ONE_INT + [tolvex.version_info])
@pytest.mark.parametrize("bad", ["1", 1.5, None])
def test_non_int_argument(func, bad):
    with pytest.raises(TypeError):
        func(bad)


@pytest.mark.parametrize(
    "func, args",
    [(f, ()) for f in ONE_INT] + [(f, (1, 2)) for f in ONE_INT + [tolvex.version_info]],
)
def test_argument_count_errors_name_the_function(func, args):
    with pytest.raises(TypeError) as info:
        func(*args)
    assert func.__name__ + "()" in str(info.value)


def test_global_cleanup_takes_no_arguments():
    with pytest.raises(TypeError):
        tolvex.global_cleanup(1)


def test_version_info():
    info = tolvex.version_info()
    assert isinstance(info, tuple) and len(info) == 12
    age, version, version_num, host, features = info[:5]
    assert isinstance(age, int) and age >= 11
    assert tolvex.version.startswith("Tolvex/7.47.0 libcurl/%s " % version)
    major, minor, patch = (int(x) for x in version.split("-")[0].split("."))
    assert version_num == (major << 16) | (minor << 8) | patch
    assert version_num >= 0x081500
    assert isinstance(host, str) and host
    assert features & tolvex.VERSION_SSL
    assert info[5].startswith("OpenSSL/")
    assert isinstance(info[6], int)
    protocols = info[8]
    assert isinstance(protocols, tuple)
    assert all(isinstance(p, str) for p in protocols)
    assert {"http", "https"} <= set(protocols)
    assert info[9] is None or isinstance(info[9], str)
    assert isinstance(info[10], int)


def test_version_info_with_stamp():
    assert tolvex.version_info(11) == tolvex.version_info()
    assert tolvex.version_info(0)[1] == tolvex.version_info()[1]


def test_easy_strerror():
    assert tolvex.easy_strerror(0) == "No error"
    assert tolvex.easy_strerror(tolvex.E_COULDNT_CONNECT) == "Could not connect to server"


@pytest.mark.parametrize(
    "func",
    [tolvex.easy_strerror, tolvex.multi_strerror, tolvex.share_strerror, tolvex.url_strerror],
)
@pytest.mark.parametrize("code", [0, 1, 5, 9999, -1, 2**31 - 1])
def test_strerror_accepts_any_int(func, code):
    text = func(code)
    assert isinstance(text, str) and text


def test_strerror_texts_differ_by_family():
    assert tolvex.multi_strerror(tolvex.E_MULTI_BAD_HANDLE) == "Invalid multi handle"
    assert tolvex.share_strerror(0) == "No error"
    assert tolvex.url_strerror(0) == "No error"
