"""Attribute, item and module-global reads of the runtime.

Each operation must give exactly what the corresponding Python operation
gives (value, exception type and message), taking its shortcuts only where
they cannot be told apart.
"""

import collections
import collections.abc

import numpy as np
import pytest


def raised(fn, *args):
    with pytest.raises(Exception) as info:
        fn(*args)
    return info.value


# ---- get_item_int ----------------------------------------------------------

@pytest.mark.parametrize("container", [[10, 20, 30], (10, 20, 30)], ids=["list", "tuple"])
@pytest.mark.parametrize("wraparound", [True, False])
def test_get_item_int_list_and_tuple_bounds(probe, container, wraparound):
    assert probe.get_item_int(container, 0, wraparound) == 10
    # -1 wraps either way: off, the container's own indexing does it
    assert probe.get_item_int(container, -1, wraparound) == 30
    for i in (3, -4, 2**62):
        err = raised(probe.get_item_int, container, i, wraparound)
        assert type(err) is IndexError
        assert str(err) == str(raised(lambda: container[i]))


def test_get_item_int_dict_uses_integer_key(probe):
    d = {5: "five", -1: "minus one"}
    assert probe.get_item_int(d, 5, True) == "five"
    # a dict key, not a position: no wraparound
    assert probe.get_item_int(d, -1, True) == "minus one"
    err = raised(probe.get_item_int, d, 7, False)
    assert type(err) is KeyError and err.args == (7,)


class Recorder:
    """A mapping-style __getitem__ that reports the key it was given."""

    def __getitem__(self, key):
        return key


class SequenceOnly(collections.abc.Sequence):
    """A registered sequence (Py_TPFLAGS_SEQUENCE) of length 5 whose items are their index."""

    def __init__(self, length=5):
        self.length = length

    def __len__(self):
        return self.length() if callable(self.length) else self.length

    def __getitem__(self, i):
        return ("item", i)


def _too_long():
    raise OverflowError("too long to measure")


def _broken_len():
    raise ValueError("no length")


def test_get_item_int_other_types(probe):
    # a class with __getitem__ is a mapping to the interpreter: index as given
    assert probe.get_item_int(Recorder(), -2, True) == -2
    # a sequence-only type gets the index adjusted by its length
    assert probe.get_item_int(SequenceOnly(), -2, True) == ("item", 3)
    assert probe.get_item_int(SequenceOnly(), -2, False) == ("item", -2)
    # a length too large to measure leaves the index unchanged; other errors fail
    assert probe.get_item_int(SequenceOnly(_too_long), -2, True) == ("item", -2)
    with pytest.raises(ValueError, match="no length"):
        probe.get_item_int(SequenceOnly(_broken_len), -2, True)
    d = collections.deque([1, 2, 3])
    assert probe.get_item_int(d, -1, True) == 3
    assert probe.get_item_int(np.arange(4.0), 3, False) == 3.0
    assert str(raised(probe.get_item_int, d, 3, True)) == "deque index out of range"
    err = raised(probe.get_item_int, object(), 0, True)
    assert type(err) is TypeError and str(err) == "'object' object is not subscriptable"


# ---- get_item --------------------------------------------------------------

class ClassGetItem:
    def __class_getitem__(cls, key):
        return ("class_getitem", cls, key)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


DEQUE = collections.deque("abc")


@pytest.mark.parametrize("obj, key", [
    ([[1.0, 2.0], [3.0, 4.0]], (0, 1)),        # the list's own TypeError
    (np.arange(16.0).reshape(4, 4), (0, 1)),   # a numpy scalar
    (type, int), (list, int), (ClassGetItem, 3),
    # a sequence-only type; beyond Py_ssize_t "cannot fit 'int' into an
    # index-sized integer"
    *[(DEQUE, key) for key in (0, 2, -1, -3, True, Index(-2), 3, -4, 2**40, -(2**40), 2**62,
                               2**63, -(2**64), 10**30)],
])
def test_get_item_matches_subscription(probe, obj, key):
    try:
        expected = obj[key]
    except Exception as exc:  # noqa: BLE001 - the error is the expectation
        err = raised(probe.get_item, obj, key)
        assert type(err) is type(exc) and str(err) == str(exc)
    else:
        got = probe.get_item(obj, key)
        assert got == expected and type(got) is type(expected)


class Meta(type):
    pass


class WithMeta(metaclass=Meta):
    pass


@pytest.mark.parametrize("obj, key, message", [
    (object, 0, "'type' object is not subscriptable"),
    (WithMeta, 0, "'Meta' object is not subscriptable"),
    (object(), 0, "'object' object is not subscriptable"),
    (3.5, 0, "'float' object is not subscriptable"),
    (DEQUE, "x", "'str' object cannot be interpreted as an integer"),
])
def test_get_item_type_errors(probe, obj, key, message):
    err = raised(probe.get_item, obj, key)
    assert type(err) is TypeError and str(err) == message


# ---- get_attr and get_attr_no_error ----------------------------------------

class Plain:
    def __init__(self):
        self.present = "value"

    @property
    def broken(self):
        raise AttributeError("from a property")

    @property
    def failing(self):
        raise KeyError("from a property")


class MissingAttribute(AttributeError):
    pass


class Dynamic:
    def __getattr__(self, name):
        if name == "dynamic":
            return "computed"
        if name == "failing":
            raise KeyError(name)
        raise MissingAttribute(name)


def test_get_attr_matches_getattr(probe):
    obj = Plain()
    assert probe.get_attr(obj, "present") == "value"
    assert probe.get_attr(Dynamic(), "dynamic") == "computed"
    assert probe.get_attr(np, "float64") is np.float64
    for target, name in [(obj, "absent"), (np, "absent"), (Plain, "absent"), (3, "absent")]:
        err = raised(probe.get_attr, target, name)
        assert type(err) is AttributeError
        assert str(err) == str(raised(getattr, target, name))


@pytest.mark.parametrize("obj, name, expected", [
    (Plain(), "present", ("value",)),
    (Plain(), "absent", ()),
    (Plain(), "broken", ()),           # AttributeError of a property is a miss too
    (Dynamic(), "dynamic", ("computed",)),
    (Dynamic(), "absent", ()),         # an AttributeError subclass from __getattr__
    (np, "absent", ()),                # modules and types have hooks of their own
    (Plain, "absent", ()),
    (ClassGetItem, "__class_getitem__", (ClassGetItem.__class_getitem__,)),
])
def test_get_attr_no_error(probe, obj, name, expected):
    assert probe.get_attr_no_error(obj, name) == expected


@pytest.mark.parametrize("obj", [Plain(), Dynamic()], ids=["property", "getattr"])
def test_get_attr_no_error_passes_other_errors(probe, obj):
    with pytest.raises(KeyError):
        probe.get_attr_no_error(obj, "failing")


# ---- get_module_global -----------------------------------------------------

def test_get_module_global(probe, monkeypatch):
    # bound only in builtins; then shadowed by a module binding; then unbound
    assert probe.get_module_global("len") is len
    sentinel = object()
    monkeypatch.setattr(probe, "len", sentinel, raising=False)
    assert probe.get_module_global("len") is sentinel
    err = raised(probe.get_module_global, "kovi_no_such_global")
    assert type(err) is NameError
    assert str(err) == "name 'kovi_no_such_global' is not defined"


class Stop(BaseException):
    pass


class CollidingKey:
    """A key with the hash of `name` whose comparison raises `error`."""

    def __init__(self, name, error):
        self.name, self.error = name, error

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise self.error("comparison failed")


@pytest.mark.parametrize("error", [Stop, ValueError])
def test_get_module_global_lookup_error(probe, error):
    # The comparison's error ends the lookup, whatever its kind, as in the
    # interpreter's own global lookup: the builtins are not consulted.
    namespace = vars(probe)
    key = CollidingKey("abs", error)
    namespace[key] = None
    try:
        with pytest.raises(error, match="comparison failed"):
            probe.get_module_global("abs")
    finally:
        del namespace[key]
