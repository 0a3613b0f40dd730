"""float(x) of the runtime: numeric text parsed directly, everything else by
the interpreter's own rules, with float()'s results and exception types."""

import importlib
import random
import struct
import types
import warnings

import numpy as np
import pytest
from helpers import assert_same_pose, load_twin, outcome


def bits(x):
    return struct.pack("<d", x)


def reference(x):
    """float(x), its value as bits (NaN sign included) or its exception type."""
    with warnings.catch_warnings():
        # float() warns about __float__ returning a float subclass
        warnings.simplefilter("ignore", DeprecationWarning)
        kind, result = outcome(float, x)
    return (kind, bits(result)) if kind == "value" else (kind, result)


def converted(fn, x):
    kind, result = outcome(fn, x)
    return (kind, bits(result)) if kind == "value" else (kind, result)


# ---- generated texts -------------------------------------------------------

NUMBER_TEXTS = [
    "0", "1", "-1", "+2", "1.5", "-1.5", ".5", "-.5", "5.", "1e5", "1E-5", "-1e+5", "1.5e3",
    "00", "007.25", "1e999", "-1e999", "1e-400", "4.9e-324", "123456789012345678901234567890",
    "1_000.5", "1_000", "0_0", "1_2_3.4_5e1_0", "1__0", "1_", "_1", "-_1", "+_1", "1_.5",
    "1._5", "1e_5", "1_e5", "1e-_5", "1E+_5", "1e5_", "1E_5", "-1_0", "._1", "1.5_", "1_0.",
    "nan", "-nan", "+NaN", "NAN", "nAn", "nana", "na", "nan5", "inf", "-inf", "+Infinity",
    "INFINITY", "iNf", "infinit", "in", "infinityy", "-in", "+", "-", "", ".", "-.", "+.",
    "e5", ".e5", "0x10", "1.5.2", "1 2", "12abc", "1\x002", "1-2", "++1", "+-1", "1e",
    "1e+", "\u0661\u0662", "1\u0662", "\u0661_\u0662", "1\u00a02",
]
WHITE_SPACE = ["", " ", "  ", "\t\n", "\x0b\x0c\r", "\x1c", "\x85", "\xa0", "\u2003", "\u3000"]


def generated_texts():
    texts = set(NUMBER_TEXTS)
    for core in NUMBER_TEXTS:
        for lead in WHITE_SPACE:
            for trail in ("", " ", "\n", "\x1c", "\xa0", "\u3000"):
                texts.add(lead + core + trail)
    texts.update(WHITE_SPACE)
    # lengths around the 40-byte copy buffer, with underscores and without
    for n in range(36, 44):
        digits = "1" + "2" * (n - 1)
        texts.update({digits, digits[:2] + "_" + digits[2:], "-" + digits[:-1] + "_5",
                      "\xa0" + digits[:3] + "_" + digits[3:], digits[:-2] + "_" + digits[-2:] + "_",
                      digits[:3] + "_" + digits[3:-1] + "_" + digits[-1],
                      digits[:3] + "_" + digits[3:-4] + ".5e1"})
    rng = random.Random(20240)
    alphabet = "0123456789_.eE+-nNaiIfty \t\xa0\u0663"
    for _ in range(3000):
        texts.add("".join(rng.choice(alphabet) for _ in range(rng.randint(1, 10))))
    return sorted(texts)


TEXTS = generated_texts()


def text_forms(text):
    forms = [text]
    try:
        raw = text.encode("ascii")
    except UnicodeEncodeError:
        raw = text.encode("utf-8")
    return forms + [raw, bytearray(raw)]


def test_text_conversion_matches_float(probe):
    mismatches = []
    for text in TEXTS:
        for form in text_forms(text):
            expected = reference(form)
            for fn in (probe.object_as_double, probe.as_double):
                got = converted(fn, form)
                if got != expected:
                    mismatches.append((form, fn.__name__, got, expected))
    assert not mismatches, mismatches[:20]


def test_lone_dot_fails_in_the_fast_parse(probe):
    # The fast parse quotes the text it parsed; float(b".") would quote b'.'.
    for text in (b".", bytearray(b"."), b"-.", b"+."):
        with pytest.raises(ValueError) as info:
            probe.object_as_double(text)
        assert str(info.value) == f"could not convert string to float: {text.decode()!r}"
    with pytest.raises(ValueError):
        probe.object_as_double(".")


class IndexedStr(str):
    # float() prefers __index__ to the text, so the route shows in the value
    def __index__(self):
        return 7


class IndexedBytes(bytes):
    def __index__(self):
        return 8


def test_subclasses_of_text_types_go_through_float(probe):
    assert probe.object_as_double(IndexedStr("1.5")) == float(IndexedStr("1.5")) == 7.0
    assert probe.object_as_double(IndexedBytes(b"1.5")) == float(IndexedBytes(b"1.5")) == 8.0


# ---- objects ---------------------------------------------------------------

class FloatSub(float):
    pass


class IntSub(int):
    pass


def dunder_float(result):
    def __float__(self):
        if isinstance(result, type) and issubclass(result, Exception):
            raise result("from __float__")
        return result
    return type("HasFloat", (), {"__float__": __float__})()


class OnlyIndex:
    def __index__(self):
        return -3


OBJECTS = [
    np.float64(1.25), np.float32(0.1), np.float16(-2.5), np.int64(-7), np.uint64(2**64 - 1),
    np.int8(-3), np.bool_(True), np.str_(" 2.5 "), np.bytes_(b"3.5"), np.longdouble("1.1"),
    np.float64("nan"), np.float64("-inf"),
    dunder_float(2.5), dunder_float(FloatSub(3.5)), dunder_float(ValueError), dunder_float(float("-nan")),
    FloatSub(-1.0), IntSub(5), IntSub(10**400), 10**400, -(10**400), True, -1.0, -1, 2**53 + 1,
    OnlyIndex(), object(), None, [1.0], (1.0,), 1j, types.SimpleNamespace(),
    type("StrSub", (str,), {})("-1.5e3"), type("StrSub", (str,), {})("x"),
    type("BytesSub", (bytes,), {})(b"4"), type("ByteArraySub", (bytearray,), {})(b" 6 "),
    bytearray(), b"", "",
]


@pytest.mark.parametrize("obj", OBJECTS, ids=lambda o: type(o).__name__)
def test_objects_match_float(probe, obj):
    expected = reference(obj)
    assert converted(probe.as_double, obj) == expected
    assert converted(probe.object_as_double, obj) == expected


@pytest.mark.parametrize("result, name", [(1, "int"), ("1.5", "str"), (None, "NoneType")])
def test_float_dunder_returning_non_float(probe, result, name):
    with pytest.raises(TypeError) as info:
        probe.object_as_double(dunder_float(result))
    assert str(info.value) == f"__float__ returned non-float (type {name})"


# ---- through the module -----------------------------------------------------

def test_pose_with_mixed_element_types_is_bit_identical_to_the_twin():
    native = importlib.import_module("kovi.kinematics.poe_fk").poe_forward_kinematics
    twin = load_twin().poe_forward_kinematics
    rng = np.random.default_rng(99)
    kinds = [
        float, int, np.float64, np.float32, str, lambda v: str(v).encode(), np.int64,
        lambda v: bytearray(str(v).encode()), lambda v: "\xa0" + str(v), FloatSub,
        lambda v: dunder_float(float(v)),
    ]

    def element(v):
        kind = kinds[rng.integers(len(kinds))]
        return kind(round(v)) if kind in (int, np.int64) else kind(v)

    for _ in range(40):
        n = int(rng.integers(1, 8))
        joints = []
        for _ in range(n):
            t_left = np.empty((4, 4), dtype=object)
            t_right = np.empty((3, 4), dtype=object)
            for m in (t_left, t_right):
                for idx in np.ndindex(m.shape):
                    m[idx] = element(rng.normal())
            axis_values = [element(v) for v in rng.normal(size=3)]
            axis = tuple(axis_values) if rng.integers(2) else axis_values
            kind = "prismatic" if rng.integers(3) == 0 else "revolute"
            joints.append(types.SimpleNamespace(T_left=t_left, axis=axis, T_right=t_right,
                                                joint_type=kind))
        kb = types.SimpleNamespace(joints=joints if rng.integers(2) else tuple(joints))
        q = [element(v) for v in rng.uniform(-3.2, 3.2, n)]
        assert_same_pose(native(kb, q), twin(kb, q))
