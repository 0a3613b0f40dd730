"""Binding of kb and q by poe_forward_kinematics: every call form and call
path, and the interpreter's own TypeError messages for every misuse, none
of which keeps a reference to an argument."""

import pytest
from helpers import DEF_LINE, FUNCTION_NAME, SOURCE_PATH, assert_no_leak, traceback_entries

from kovi.robots._samples import sample_body, sample_configuration
from kovi.kinematics.poe_fk import poe_forward_kinematics as fk

KB = sample_body("panda")
Q = sample_configuration("panda")
POSE = fk(KB, Q)
# equal to "kb" but another object, as a name built by code would be
RUNTIME_KB = "".join(["k", "b"])


def count_error(given):
    return f"poe_forward_kinematics() takes exactly 2 positional arguments ({given} given)"


def multiple_values(name):
    return f"poe_forward_kinematics() got multiple values for keyword argument '{name}'"


def unexpected(name):
    return f"poe_forward_kinematics() got an unexpected keyword argument '{name}'"


def equals(text):
    """A str subclass key whose equality claims to be `text`, whatever its own."""

    class Key(str):
        def __eq__(self, other):
            return other == text

        __hash__ = str.__hash__

    return Key("zz")


class BrokenEq(str):
    def __eq__(self, other):
        raise LookupError("no comparing")

    __hash__ = str.__hash__


def fresh(probe, *names):
    # a one-character name made in Python is always the interned singleton;
    # the probe makes an equal but separate str
    return tuple(probe.fresh_str(name) for name in names)


CALL_FORMS = {
    "positional": lambda p: fk(KB, Q),
    "q-keyword": lambda p: fk(KB, q=Q),
    "keywords": lambda p: fk(kb=KB, q=Q),
    "keywords-reversed": lambda p: fk(q=Q, kb=KB),
    "runtime-kb": lambda p: fk(**{RUNTIME_KB: KB, "q": Q}),
    "runtime-kb-last": lambda p: fk(**{"q": Q, RUNTIME_KB: KB}),
    "str-subclass-q": lambda p: fk(KB, **{equals("q"): Q}),
    "fresh-q": lambda p: p.vectorcall(fk, (KB, Q), fresh(p, "q")),
    "fresh-kb-q": lambda p: p.vectorcall(fk, (KB, Q), fresh(p, "kb", "q")),
    "fresh-q-kb": lambda p: p.vectorcall(fk, (Q, KB), fresh(p, "q", "kb")),
    "type-call": lambda p: type(fk).__call__(fk, KB, q=Q),
    "tp_call-empty-dict": lambda p: p.tp_call(fk, (KB, Q), {}),
    "tp_call-keyword-dict": lambda p: p.tp_call(fk, (KB,), {"q": Q}),
    "offset": lambda p: p.vectorcall(fk, (KB, Q), offset=True),
    "offset-keyword": lambda p: p.vectorcall(fk, (KB, Q), ("q",), offset=True),
}


@pytest.mark.parametrize("call", CALL_FORMS.values(), ids=CALL_FORMS.keys())
def test_call_forms_bind_the_same_values(probe, call):
    assert call(probe).tobytes() == POSE.tobytes()
    assert_no_leak(lambda: call(probe), [KB, Q], calls=500)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, count_error(0)),
        ((KB,), {}, count_error(1)),
        ((KB, Q, Q), {}, count_error(3)),
        ((KB, Q, Q), {"q": Q}, count_error(3)),
        ((KB, Q, Q), {"x": Q}, count_error(3)),
        ((), {"q": Q}, count_error(0)),
        ((), {"kb": KB}, count_error(1)),
        ((KB,), {"kb": KB}, multiple_values("kb")),
        ((KB, Q), {"q": Q}, multiple_values("q")),
        ((KB,), {RUNTIME_KB: KB}, multiple_values("kb")),
        ((KB,), {equals("kb"): KB}, multiple_values("zz")),
        ((KB,), {"x": Q}, unexpected("x")),
        ((), {"x": Q, "kb": KB}, unexpected("x")),
        ((KB,), {"y": Q, "x": Q}, unexpected("y")),
        ((KB,), {"kb": KB, "x": Q}, multiple_values("kb")),
        ((KB, Q), {"x": Q}, unexpected("x")),
        ((KB,), {equals("p"): Q}, unexpected("zz")),
    ],
    ids=["none", "one", "three", "three-with-keyword", "three-with-bad-keyword",
         "only-q", "only-kb", "kb-twice", "q-twice", "runtime-kb-twice", "subclass-kb-twice",
         "unexpected", "unexpected-before-missing", "first-unexpected", "multiple-first",
         "unexpected-after-full", "subclass-matching-nothing"],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fk(*args, **kwargs)
    assert str(info.value) == message
    # binding failed: the function's own entry at its def line alone
    assert traceback_entries(info.value)[1:] == [(SOURCE_PATH, FUNCTION_NAME, DEF_LINE)]
    assert_no_leak(lambda: fk(*args, **kwargs), [KB, Q], TypeError, calls=500)


def test_failing_keyword_comparison_propagates():
    with pytest.raises(LookupError, match="no comparing"):
        fk(KB, **{BrokenEq("q"): Q})
    assert_no_leak(lambda: fk(KB, **{BrokenEq("q"): Q}), [KB, Q], LookupError, calls=500)


# Only a direct vector call can pass a non-str keyword name or repeat a
# name; the first value of a repeated name must not be dropped (or leaked).
@pytest.mark.parametrize("values, kwnames, message", [
    *[((KB, Q), (key,), "poe_forward_kinematics() keywords must be strings")
      for key in (1, b"q", None)],
    ((KB, Q, Q), ("q", "q"), multiple_values("q")),
    ((KB, KB), ("kb", "kb"), multiple_values("kb")),
])
def test_direct_vector_call_errors(probe, values, kwnames, message):
    with pytest.raises(TypeError) as info:
        probe.vectorcall(fk, values, kwnames)
    assert str(info.value) == message
    assert_no_leak(lambda: probe.vectorcall(fk, values, kwnames), [KB, Q], TypeError, calls=500)


def test_keyword_dict_with_a_non_str_key(probe):
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        probe.tp_call(fk, (KB,), {1: Q})
    assert_no_leak(lambda: probe.tp_call(fk, (KB,), {"q": Q, 0: Q}), [KB, Q], TypeError,
                   calls=500)
