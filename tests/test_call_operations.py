"""Calls with a short argument vector, and the type and exception-class tests."""

import math
import types

import numpy as np
import pytest
from chains import body, joint

# ---- fast_call --------------------------------------------------------------

@pytest.mark.parametrize("offset", [False, True])
@pytest.mark.parametrize("fn, x", [(math.cos, 0.5), (math.sin, -2.25), (math.cos, 1e300),
                                   (math.sqrt, 2.0)])
def test_one_argument_builtin(probe, fn, x, offset):
    assert probe.fast_call(fn, (x,), offset) == fn(x)
    assert probe.call_c_function_direct(fn, x) == fn(x)


@pytest.mark.parametrize("fn, args", [(math.cos, (math.inf,)), (math.cos, ("x",)),
                                      (math.sqrt, (-1.0,)), (divmod, (7,)), (float, ("x",))])
def test_errors_pass_through(probe, fn, args):
    with pytest.raises(Exception) as expected:
        fn(*args)
    with pytest.raises(type(expected.value)) as got:
        probe.fast_call(fn, args, True)
    assert str(got.value) == str(expected.value)


def test_direct_call_passes_the_receiver(probe):
    items = []
    assert probe.fast_call(items.append, (5,), True) is None
    assert probe.call_c_function_direct(items.append, 6) is None
    assert items == [5, 6]


def test_native_function_returning_null_without_error(probe):
    # The interpreter's own check would name the function; the direct path
    # raises its own message.
    for call in (lambda: probe.fast_call(probe.null_without_error, (1,)),
                 lambda: probe.call_c_function_direct(probe.null_without_error, 1)):
        with pytest.raises(SystemError) as info:
            call()
        assert str(info.value) == "NULL result without error in PyObject_Call"


class Callable:
    def __call__(self, *args):
        return ("called", args)


class Receiver:
    def method(self, *args):
        return (self, args)


def plain_function(*args):
    return args


@pytest.mark.parametrize("offset", [False, True])
def test_other_callables(probe, offset):
    receiver = Receiver()
    cases = [
        (float, (" 1.5 ",), 1.5),                       # a type's vector call entry
        (float, (np.float32(0.5),), 0.5),
        (divmod, (7, 2), (3, 1)),                       # METH_FASTCALL built-in
        (max, (3, 9), 9),
        (plain_function, (1, 2), (1, 2)),
        (receiver.method, ("a",), (receiver, ("a",))),   # bound method uses the spare slot
        (Callable(), (1, 2), ("called", (1, 2))),        # no vector call entry
        (math.pow, (2.0, 3.0), 8.0),
    ]
    for fn, args, expected in cases:
        assert probe.fast_call(fn, args, offset) == expected


# ---- type and exception-class tests -----------------------------------------

class A:
    pass


class B(A):
    pass


class C(B, int):
    pass


TYPES = [object, int, bool, float, A, B, C, KeyError, LookupError, Exception, BaseException,
         type, np.float64]


@pytest.mark.parametrize("t", TYPES)
def test_is_subtype_matches_issubclass(probe, t):
    for a in TYPES:
        assert probe.is_subtype(t, a) == issubclass(t, a)
        for b in (int, KeyError, A):
            assert probe.is_subtype_of_either(t, a, b) == (issubclass(t, a) or issubclass(t, b))


def test_null_target_never_matches(probe):
    assert probe.is_subtype_of_either(C, None, int) is True
    assert probe.is_subtype_of_either(C, None, str) is False
    assert probe.is_subtype_of_either(object, None, None) is False


@pytest.mark.parametrize("err, expected, result", [
    (KeyError, LookupError, True),
    (LookupError, KeyError, False),
    (AttributeError, AttributeError, True),
    (KeyError, Exception, True),
    (KeyboardInterrupt, Exception, False),
    (KeyError, (ValueError, LookupError), True),    # tuples: the interpreter decides
    (KeyError, (ValueError, TypeError), False),
    (KeyError("x"), KeyError, True),                 # an instance is matched by its class
    (int, object, False),                            # not exception classes: identity only
    (int, int, True),
])
def test_exception_matches(probe, err, expected, result):
    assert probe.exception_matches(err, expected) is result


@pytest.mark.parametrize("target, derived_key_error, derived_plain", [
    (KeyError, True, False),
    (LookupError, True, False),
    (BaseException, True, False),
    (ValueError, False, False),
    (object, True, True),                            # every type derives from object
    (int, False, False),
])
def test_types_not_yet_ready_use_the_base_chain(probe, target, derived_key_error, derived_plain):
    is_sub, matches, plain_is_sub, plain_either = probe.unready_type_tests(target)
    assert is_sub is derived_key_error
    assert plain_is_sub is plain_either is derived_plain
    if issubclass(target, BaseException):
        assert matches is derived_key_error


# ---- through the module -----------------------------------------------------

def test_module_calls_cos_through_the_direct_path(probe, native, fk, monkeypatch):
    # math.cos replaced by a faulty native function: only the direct call
    # reports it with this text
    monkeypatch.setattr(native, "math", types.SimpleNamespace(cos=probe.null_without_error,
                                                              sin=math.sin))
    with pytest.raises(SystemError) as info:
        fk(body(joint()), [0.5])
    assert str(info.value) == "NULL result without error in PyObject_Call"


def test_receiver_first_one_argument_functions_keep_their_receiver(probe):
    # The direct path would hand the function itself as the receiver and the
    # real receiver as the argument; such calls go through the vector call
    # entry, which shifts the receiver out of the arguments.
    f = probe.make_function("o", "receiver_first")
    owner = object()
    for args in [(owner,), (owner, 5)]:
        try:
            expected = ("value", f(*args))
        except TypeError as exc:
            expected = ("error", str(exc))
        try:
            got = ("value", probe.fast_call(f, args))
        except TypeError as exc:
            got = ("error", str(exc))
        assert got == expected
    assert probe.fast_call(f, (owner, 5))[1] is owner
