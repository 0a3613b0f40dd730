"""Call dispatch of the shared function type: the vector call entries of
every calling convention, tp_call with and without keywords, receivers and
the call error messages."""

import pytest
from helpers import assert_no_leak

LONG_NAME = "abcdefghij" * 25  # the probe's long method name, cut to 200 in messages


class Owner:
    pass


def record(result):
    """The implementation's record without its receiver:
    (convention, defining class, positional, keywords, keyword values, count)."""
    convention, _receiver, cls, positional, keywords, values, count = result
    return convention, cls, positional, keywords, values, count


# ---- each convention through vector call and tp_call -----------------------

@pytest.mark.parametrize("convention, args, kwargs, expected", [
    ("noargs", (), {}, ("noargs", None, (), None, None, 0)),
    ("o", ("x",), {}, ("o", None, ("x",), None, None, 1)),
    ("o_coexist", ("x",), {}, ("o", None, ("x",), None, None, 1)),
    ("fast_keywords", (1, 2), {"b": 3, "a": 4},
     ("fast_keywords", None, (1, 2), ("b", "a"), (3, 4), 2)),
    ("fast_keywords", tuple(range(5)), {}, ("fast_keywords", None, tuple(range(5)), None, None, 5)),
    ("method", (1,), {"k": 2}, ("method", Owner, (1,), ("k",), (2,), 1)),
    ("method", (1, 2), {}, ("method", Owner, (1, 2), None, None, 2)),
])
@pytest.mark.parametrize("kind", ["plain", "static"])
def test_each_convention(probe, convention, args, kwargs, expected, kind):
    # An empty or absent keyword dict passes no keyword names at all.
    f = probe.make_function(convention, kind, defining_class=Owner)
    for result in (f(*args, **kwargs), type(f).__call__(f, *args, **kwargs),
                   probe.tp_call(f, args, kwargs), probe.tp_call(f, args, kwargs or None)):
        # The receiver of anything but a receiver-first method is the function.
        assert result[1] is f and record(result) == expected


def test_varargs_keywords_calls_through_tp_call(probe):
    f = probe.make_function("varargs_keywords")
    assert probe.vectorcall_layout(f)[2] is False
    assert f(1, 2) == ("varargs_keywords", f, None, (1, 2), None, None, 2)
    assert f(1, k=2) == ("varargs_keywords", f, None, (1,), {"k": 2}, None, 1)
    assert probe.tp_call(f, (1,), {}) == ("varargs_keywords", f, None, (1,), {}, None, 1)


@pytest.mark.parametrize("kwargs", [{1: 2}, {"a": 1, ("b",): 2}, {b"a": 1}])
@pytest.mark.parametrize("convention", ["noargs", "o", "fast_keywords", "method"])
def test_tp_call_refuses_non_str_keywords(probe, convention, kwargs):
    f = probe.make_function(convention)
    calls = probe.implementation_calls()
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        probe.tp_call(f, (1,), kwargs)
    assert probe.implementation_calls() == calls


ARGUMENTS = {"noargs": (), "o": (7,), "fast_keywords": (7, 8), "method": (7, 8)}


@pytest.mark.parametrize("convention", ["noargs", "o", "fast_keywords", "method"])
@pytest.mark.parametrize("kind", ["plain", "receiver_first"])
def test_arguments_offset_flag_is_cleared(probe, convention, kind):
    f = probe.make_function(convention, kind)
    receiver = (Owner(),) if kind == "receiver_first" else ()
    args = receiver + ARGUMENTS[convention]
    flagged = probe.vectorcall(f, args, offset=True)
    assert flagged == probe.vectorcall(f, args)
    assert flagged[1] is (receiver[0] if receiver else f)
    assert flagged[3] == ARGUMENTS[convention] and flagged[6] == len(ARGUMENTS[convention])


# ---- receivers ----------------------------------------------------------------

@pytest.mark.parametrize("convention", ["fast_keywords", "method", "varargs_keywords"])
def test_receiver_first_shifts_the_receiver_out_before_keywords(probe, convention):
    f = probe.make_function(convention, "receiver_first", defining_class=Owner)
    me = Owner()
    result = f(me, 5, k=6)
    assert result[1] is me
    assert (result[3], result[6]) == ((5,), 1)


@pytest.mark.parametrize("convention, prefix", [
    ("noargs", ""), ("o", ""), ("fast_keywords", ""), ("method", ""),
    ("varargs_keywords", "unbound method "),
])
def test_receiver_first_needs_an_argument(probe, convention, prefix):
    # Named by the method definition, or for varargs by the qualified name;
    # the receiver check comes before the keyword test.
    f = probe.make_function(convention, "receiver_first", qualname="Owner.method")
    name = "Owner.method" if prefix else "probe_" + convention
    for call in (f, lambda: f(k=1), lambda: probe.tp_call(f, (), {"k": 1})):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == f"{prefix}{name}() needs an argument"
    g = probe.make_function(convention, "receiver_first", long_name=True)
    with pytest.raises(TypeError) as caught:
        g()
    assert str(caught.value) == f"{prefix}{LONG_NAME[:200]}() needs an argument"


# ---- count and keyword messages -------------------------------------------------

ERROR_CASES = [
    ("noargs", "plain", (1,), None, "takes no arguments (1 given)"),
    ("noargs", "plain", (1, 2), None, "takes no arguments (2 given)"),
    ("noargs", "plain", (), {"a": 1}, "takes no keyword arguments"),
    ("noargs", "plain", (1,), {"a": 1}, "takes no keyword arguments"),
    ("noargs", "receiver_first", ("me", 1), None, "takes no arguments (1 given)"),
    ("o", "plain", (), None, "takes exactly one argument (0 given)"),
    ("o", "plain", (1, 2), None, "takes exactly one argument (2 given)"),
    ("o", "plain", (1,), {"a": 1}, "takes no keyword arguments"),
    ("o", "plain", (1, 2), {"a": 1}, "takes no keyword arguments"),
    ("o", "receiver_first", ("me",), None, "takes exactly one argument (0 given)"),
    ("o", "receiver_first", ("me", 1, 2), None, "takes exactly one argument (2 given)"),
    ("o_coexist", "plain", (1, 2), None, "takes exactly one argument (2 given)"),
]


def _call_each_way(probe, f, args, kwargs):
    """The error of the call through vector call, type.__call__ and tp_call."""
    messages = []
    for call in (lambda: f(*args, **(kwargs or {})),
                 lambda: type(f).__call__(f, *args, **(kwargs or {})),
                 lambda: probe.tp_call(f, args, kwargs)):
        with pytest.raises(TypeError) as caught:
            call()
        messages.append(str(caught.value))
    return messages


@pytest.mark.parametrize("convention, kind, args, kwargs, rule", ERROR_CASES)
def test_call_errors(probe, convention, kind, args, kwargs, rule):
    calls = probe.implementation_calls()
    f = probe.make_function(convention, kind)
    assert _call_each_way(probe, f, args, kwargs) == [f"probe_{convention}() {rule}"] * 3
    g = probe.make_function(convention, kind, long_name=True)
    assert _call_each_way(probe, g, args, kwargs) == [f"{LONG_NAME[:200]}() {rule}"] * 3
    assert probe.implementation_calls() == calls


# ---- objects without a vector call entry (call_with_tuple) ------------------------

@pytest.mark.parametrize("convention, args, kwargs, expected", [
    ("varargs", (1, 2), None, ("varargs", None, (1, 2), None, None, 2)),
    ("varargs", (1,), {}, ("varargs", None, (1,), None, None, 1)),
    ("varargs_keywords", (1,), {"k": 2}, ("varargs_keywords", None, (1,), {"k": 2}, None, 1)),
    ("varargs_keywords", (), None, ("varargs_keywords", None, (), None, None, 0)),
    ("noargs", (), {}, ("noargs", None, (), None, None, 0)),
    ("o", (3,), None, ("o", None, (3,), None, None, 1)),
])
def test_calls_with_tuple(probe, convention, args, kwargs, expected):
    f = probe.make_function(convention, entry=False)
    assert probe.vectorcall_layout(f)[2] is False
    result = probe.tp_call(f, args, kwargs)
    assert result[1] is f and record(result) == expected
    # The interpreter's own call reaches the same path.
    assert record(f(*args, **kwargs) if kwargs else f(*args)) == expected


@pytest.mark.parametrize("convention, args, kwargs, rule", [
    ("varargs", (1,), {"a": 1}, "takes no keyword arguments"),
    ("noargs", (1,), None, "takes no arguments (1 given)"),
    ("noargs", (), {"a": 1}, "takes no keyword arguments"),
    ("o", (), None, "takes exactly one argument (0 given)"),
    ("o", (1, 2), {"a": 1}, "takes no keyword arguments"),
])
def test_call_with_tuple_errors(probe, convention, args, kwargs, rule):
    f = probe.make_function(convention, entry=False)
    with pytest.raises(TypeError) as caught:
        probe.tp_call(f, args, kwargs)
    assert str(caught.value) == f"probe_{convention}() {rule}"


def test_call_with_tuple_refuses_a_vector_convention(probe):
    f = probe.make_function("fast_keywords", entry=False)
    with pytest.raises(SystemError, match="^Bad call flags for KoviFunction$"):
        f(1)


@pytest.mark.parametrize("convention", ["noargs", "o", "varargs"])
def test_call_with_tuple_receiver_first(probe, convention):
    f = probe.make_function(convention, "receiver_first", entry=False, qualname="Owner.f")
    me = Owner()
    args = (me,) if convention == "noargs" else (me, 1)
    result = probe.tp_call(f, args)
    assert result[1] is me and result[3] == args[1:]
    with pytest.raises(TypeError, match=r"^unbound method Owner\.f\(\) needs an argument$"):
        probe.tp_call(f, ())


# ---- reference counts -----------------------------------------------------------------

def _calls_for(probe, convention, kind, arg, value):
    f = probe.make_function(convention, kind, defining_class=Owner)
    receiver = (arg,) if kind == "receiver_first" else ()
    if convention == "noargs":
        ok = [lambda: f(*receiver), lambda: probe.tp_call(f, receiver, {})]
        bad = [lambda: f(*receiver, arg), lambda: f(*receiver, k=value)]
    elif convention == "o":
        ok = [lambda: f(*receiver, arg), lambda: probe.tp_call(f, receiver + (arg,))]
        bad = [lambda: f(*receiver, arg, arg), lambda: f(*receiver, arg, k=value)]
    elif convention == "varargs_keywords":
        ok = [lambda: f(*receiver, arg, k=value),
              lambda: probe.tp_call(f, receiver + (arg,), {"k": value})]
        bad = []
    else:
        ok = [lambda: f(*receiver, arg, k=value),
              lambda: probe.tp_call(f, receiver + (arg,), {"k": value}),
              lambda: probe.vectorcall(f, receiver + (arg, value), ("k",), offset=True)]
        bad = [lambda: probe.tp_call(f, receiver + (arg,), {"k": value, 1: value})]
    if kind == "receiver_first":
        bad.append(lambda: f())
    return ok, bad


@pytest.mark.parametrize("kind", ["plain", "receiver_first"])
@pytest.mark.parametrize("convention", ["noargs", "o", "fast_keywords", "method",
                                        "varargs_keywords"])
def test_calls_leave_argument_reference_counts_unchanged(probe, convention, kind):
    arg, value = object(), object()
    ok, bad = _calls_for(probe, convention, kind, arg, value)
    for call in ok:
        assert_no_leak(call, [arg, value], calls=1000)
    for call in bad:
        assert_no_leak(call, [arg, value], TypeError, calls=1000)
