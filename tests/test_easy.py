"""The Curl object's lifecycle, guard messages and attributes."""

import gc
import pickle
import weakref

import pytest

import tolvex


def test_new_takes_no_arguments():
    with pytest.raises(TypeError):
        tolvex.Curl(1)
    with pytest.raises(TypeError):
        tolvex.Curl(x=1)


def test_subclass_may_take_arguments():
    class Sub(tolvex.Curl):
        def __init__(self, tag):
            self.tag = tag

    c = Sub("x")
    assert c.tag == "x"
    assert not c.closed
    c.close()
    assert c.closed


def test_close_twice():
    c = tolvex.Curl()
    assert c.closed is False
    assert c.close() is None
    assert c.close() is None
    assert c.closed is True


@pytest.mark.parametrize("method", ["reset"])
def test_closed_handle_refuses(method):
    c = tolvex.Curl()
    c.close()
    with pytest.raises(tolvex.error) as info:
        getattr(c, method)()
    assert info.value.args == ("cannot invoke %s() - no curl handle" % method,)


def test_closed_handle_still_answers():
    c = tolvex.Curl()
    c.close()
    assert c.multi() is None
    assert c.share() is None
    c.foo = 1
    assert c.foo == 1


def test_context_manager():
    with tolvex.Curl() as c:
        assert isinstance(c, tolvex.Curl)
        assert not c.closed
    assert c.closed
    with pytest.raises(KeyError):
        with tolvex.Curl() as c2:
            raise KeyError("inside")
    assert c2.closed


def test_exit_is_close():
    c = tolvex.Curl()
    assert c.__exit__(None, None, None) is None
    assert c.closed


def test_reset_keeps_handle_open():
    c = tolvex.Curl()
    c.foo = "bar"
    assert c.reset() is None
    assert not c.closed
    assert c.foo == "bar"


def test_attributes():
    c = tolvex.Curl()
    c.foo = 1
    assert c.foo == 1
    del c.foo
    with pytest.raises(AttributeError) as info:
        del c.foo
    assert str(info.value) == "trying to delete a non-existing attribute: foo"
    with pytest.raises(AttributeError) as info:
        c.nosuch
    assert str(info.value) == "trying to obtain a non-existing attribute: nosuch"


def test_delete_on_fresh_object():
    with pytest.raises(AttributeError) as info:
        del tolvex.Curl().foo
    assert str(info.value) == "trying to delete a non-existing attribute: foo"


def test_attribute_named_like_method_is_shadowed():
    c = tolvex.Curl()
    c.close = 5
    assert callable(c.close)
    c.closed = "no"
    assert c.closed is False


def test_constants_are_attributes():
    c = tolvex.Curl()
    assert c.URL == tolvex.URL == 10002
    with pytest.raises(AttributeError) as info:
        c.M_PIPELINING
    assert str(info.value) == "trying to obtain a non-existing attribute: M_PIPELINING"


def test_instance_attribute_shadows_constant():
    c = tolvex.Curl()
    c.URL = "mine"
    assert c.URL == "mine"
    assert tolvex.Curl().URL == 10002


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_pickling_refused(protocol):
    with pytest.raises(TypeError) as info:
        pickle.dumps(tolvex.Curl(), protocol)
    assert str(info.value) == "Curl objects do not support serialization"


def test_setstate_refused():
    with pytest.raises(TypeError) as info:
        tolvex.Curl().__setstate__({})
    assert str(info.value) == "Curl objects do not support deserialization"


def test_multi_and_share_of_new_handle():
    c = tolvex.Curl()
    assert c.multi() is None
    assert c.share() is None


def test_weak_reference():
    c = tolvex.Curl()
    r = weakref.ref(c)
    assert r() is c
    del c
    assert r() is None


def test_collected_in_reference_cycle():
    gc.collect()
    c = tolvex.Curl()
    c.me = c
    r = weakref.ref(c)
    del c
    assert r() is not None
    gc.collect()
    assert r() is None


def test_subclass_in_reference_cycle():
    class Sub(tolvex.Curl):
        pass

    c = Sub()
    c.me = c
    c.other = Sub()
    c.other.back = c
    r = weakref.ref(c)
    del c
    gc.collect()
    assert r() is None


def test_many_handles():
    handles = [tolvex.Curl() for _ in range(200)]
    for i, c in enumerate(handles):
        if i % 2:
            c.close()
    del handles
    gc.collect()
