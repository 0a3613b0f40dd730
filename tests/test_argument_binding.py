"""Binding of kb and q by poe_forward_kinematics: every call form, and the
interpreter's own TypeError messages for every misuse."""

import sys

import numpy as np
import pytest

from kovi._kinbody import sample_body, sample_configuration
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


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((KB, Q), {}),
        ((KB,), {"q": Q}),
        ((), {"kb": KB, "q": Q}),
        ((), {"q": Q, "kb": KB}),
        ((), {RUNTIME_KB: KB, "q": Q}),
        ((), {"q": Q, RUNTIME_KB: KB}),
        ((KB,), {equals("q"): Q}),
    ],
    ids=["positional", "q-keyword", "keywords", "keywords-reversed", "runtime-kb",
         "runtime-kb-last", "str-subclass-q"],
)
def test_call_forms_bind_the_same_values(args, kwargs):
    assert RUNTIME_KB is not sys.intern("kb")
    assert np.array_equal(fk(*args, **kwargs), POSE)


@pytest.mark.parametrize("kwnames", [("q",), ("kb", "q"), ("q", "kb")])
def test_fresh_names_bind_like_interned_ones(probe, kwnames):
    # a one-character name made in Python is always the interned singleton;
    # the probe makes an equal but separate "q"
    fresh = tuple(probe.fresh_str(name) for name in kwnames)
    assert all(a is not sys.intern(b) for a, b in zip(fresh, kwnames))
    values = {"kb": KB, "q": Q}
    positional = (KB,) if len(kwnames) == 1 else ()
    result = probe.object_vectorcall(fk, positional + tuple(values[n] for n in kwnames), fresh)
    assert np.array_equal(result, POSE)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, count_error(0)),
        ((KB,), {}, count_error(1)),
        ((KB, Q, Q), {}, count_error(3)),
        ((KB, Q, Q), {"q": Q}, count_error(3)),
        ((KB, Q, Q), {"x": 1}, count_error(3)),
        ((), {"q": Q}, count_error(0)),
        ((), {"kb": KB}, count_error(1)),
        ((KB,), {"kb": KB}, multiple_values("kb")),
        ((KB, Q), {"q": Q}, multiple_values("q")),
        ((KB,), {RUNTIME_KB: KB}, multiple_values("kb")),
        ((KB,), {equals("kb"): KB}, multiple_values("zz")),
        ((KB,), {"x": 1}, unexpected("x")),
        ((), {"x": 1, "kb": KB}, unexpected("x")),
        ((KB,), {"y": 1, "x": 2}, unexpected("y")),
        ((KB,), {"kb": KB, "x": 1}, multiple_values("kb")),
        ((KB, Q), {"x": 1}, unexpected("x")),
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


def test_failing_keyword_comparison_propagates():
    with pytest.raises(LookupError, match="no comparing"):
        fk(KB, **{BrokenEq("q"): Q})


@pytest.mark.parametrize("key", [1, b"q", None])
def test_non_str_keyword_name(probe, key):
    with pytest.raises(TypeError) as info:
        probe.object_vectorcall(fk, (KB, Q), (key,))
    assert str(info.value) == "poe_forward_kinematics() keywords must be strings"


@pytest.mark.parametrize("values, kwnames", [((KB, Q, Q), ("q", "q")), ((KB, KB), ("kb", "kb"))])
def test_repeated_keyword_name_is_refused(probe, values, kwnames):
    # only a direct vector call can repeat a name; the first value must not
    # be silently dropped (or leaked)
    before = sys.getrefcount(Q), sys.getrefcount(KB)
    for _ in range(100):
        with pytest.raises(TypeError) as info:
            probe.object_vectorcall(fk, values, kwnames)
        assert str(info.value) == multiple_values(kwnames[0])
    del info
    assert (sys.getrefcount(Q), sys.getrefcount(KB)) == before


class Body:
    joints = None  # len(None) fails in the body


# Each takes (kb, q, other) and fails in binding or, the last two, in the body.
FAILING_CALLS = {
    "none": lambda kb, q, o: fk(),
    "one": lambda kb, q, o: fk(kb),
    "three-with-keyword": lambda kb, q, o: fk(kb, q, o, q=q),
    "only-q": lambda kb, q, o: fk(q=q),
    "only-kb": lambda kb, q, o: fk(kb=kb),
    "kb-twice": lambda kb, q, o: fk(kb, kb=o),
    "q-twice": lambda kb, q, o: fk(kb, q, q=o),
    "unexpected": lambda kb, q, o: fk(kb, x=o, q=q),
    "subclass-kb-twice": lambda kb, q, o: fk(kb, **{equals("kb"): o}),
    "broken-eq": lambda kb, q, o: fk(kb, **{BrokenEq("q"): q}),
    "body-positional": lambda kb, q, o: fk(kb, q),
    "body-keywords": lambda kb, q, o: fk(q=q, kb=kb),
}


@pytest.mark.parametrize("call", FAILING_CALLS.values(), ids=FAILING_CALLS.keys())
def test_failing_calls_release_every_argument(call):
    # fresh objects, so that only this test's calls touch their counts
    objects = (Body(), [1.0], object())
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(200):
        try:
            call(*objects)
        except (TypeError, LookupError):
            pass
        else:
            pytest.fail("the call succeeded")
    assert [sys.getrefcount(o) for o in objects] == before
