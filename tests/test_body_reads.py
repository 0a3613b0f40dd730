"""What the function reads from its arguments, and how its failures look."""

import math
from types import SimpleNamespace

import numpy as np
import pytest
from chains import body, joint
from fk_helpers import failure_line


class Raising:
    """Raises `exc` (an instance, or a class to make a fresh one each time)
    from every operation the body may try on it."""

    def __init__(self, exc):
        self.exc = exc

    def _raise(self, *args):
        raise self.exc() if isinstance(self.exc, type) else self.exc

    __getitem__ = __len__ = __float__ = __eq__ = __getattr__ = _raise


def bad_element(shape, where):
    """A transform whose element `where` cannot be converted."""
    matrix = np.eye(4)[: shape[0]].astype(object)
    matrix[where] = "not a number"
    return matrix


def _without(record, name):
    delattr(record, name)
    return record


class OneJoint:
    """A sequence of length 1 whose item cannot be read."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise LookupError("no joint")


# name: (make kb and q, exception type, line)
CASES = {
    "joints": (lambda: (object(), [0.0]), AttributeError, 135),
    "len": (lambda: (SimpleNamespace(joints=object()), [0.0]), TypeError, 136),
    "joint": (lambda: (SimpleNamespace(joints=OneJoint()), [0.0]), LookupError, 150),
    "axis_missing": (lambda: (body(_without(joint(), "axis")), [0.0]), AttributeError, 151),
    "axis_x": (lambda: (body(joint(axis=Raising(LookupError))), [0.0]), LookupError, 152),
    "axis_y": (lambda: (body(joint(axis=[0.0, "y", 1.0])), [0.0]), ValueError, 153),
    "axis_z": (lambda: (body(joint(axis=[0.0, 0.0])), [0.0]), IndexError, 154),
    "q_short": (lambda: (body(joint(), joint()), np.zeros(1)), IndexError, 155),
    "q_none": (lambda: (body(joint()), None), TypeError, 155),
    "T_left_missing": (lambda: (body(_without(joint(), "T_left")), [0.0]), AttributeError, 157),
    "T_left_0_0": (lambda: (body(joint(T_left=bad_element((4, 4), (0, 0)))), [0.0]), ValueError, 158),
    "T_left_1_2": (lambda: (body(joint(T_left=bad_element((4, 4), (1, 2)))), [0.0]), ValueError, 164),
    "T_left_2_3": (lambda: (body(joint(T_left=bad_element((3, 4), (2, 3)))), [0.0]), ValueError, 169),
    "T_left_lists": (lambda: (body(joint(T_left=np.eye(4).tolist())), [0.0]), TypeError, 158),
    "joint_type_missing": (lambda: (body(_without(joint(), "joint_type")), [0.0]), AttributeError, 170),
    "joint_type_eq": (lambda: (body(joint(joint_type=Raising(LookupError))), [0.0]), LookupError, 170),
    "cos_inf": (lambda: (body(joint()), [math.inf]), ValueError, 188),
    "T_right_missing": (lambda: (body(_without(joint(), "T_right")), [0.0]), AttributeError, 213),
    "T_right_0_1": (lambda: (body(joint(T_right=bad_element((4, 4), (0, 1)))), [0.0]), ValueError, 215),
    "T_right_2_3": (lambda: (body(joint(T_right=bad_element((4, 4), (2, 3)))), [0.0]), ValueError, 225),
    "second_joint": (lambda: (body(joint(), joint(axis=None)), [0.0, 0.0]), TypeError, 152),
}


@pytest.mark.parametrize("name", CASES)
def test_each_failing_step_reports_its_line(fk, name):
    make, exc_type, line = CASES[name]
    kb, q = make()
    with pytest.raises(exc_type) as info:
        fk(kb, q)
    assert failure_line(info.value) == line


def test_failing_read_passes_its_exception_on_unchanged(fk):
    error = LookupError("the very object")
    with pytest.raises(LookupError) as info:
        fk(body(joint(joint_type=Raising(error))), [0.0])
    assert info.value is error
    assert failure_line(info.value) == 170


def test_q_beyond_the_chain_is_never_read(fk):
    class Counting:
        reads = []

        def __getitem__(self, i):
            self.reads.append(i)
            if i > 1:
                raise AssertionError("read past the chain")
            return 0.25

    q = Counting()
    fk(body(joint(), joint()), q)
    assert q.reads == [0, 1]


@pytest.mark.parametrize("kind, prismatic", [
    ("prismatic", True),
    ("".join(["pris", "matic"]), True),            # equal, not the interned object
    (type("Kind", (str,), {})("prismatic"), True),
    (type("AlwaysEqual", (), {"__eq__": lambda s, o: True})(), True),
    (type("TruthyEq", (), {"__eq__": lambda s, o: [1]})(), True),
    (type("NoneEq", (), {"__eq__": lambda s, o: None})(), False),
    ("Prismatic", False),
    (" prismatic", False),
    ("revolute", False),
    ("", False),
    (None, False),
    (1, False),
])
def test_only_a_value_equal_to_prismatic_selects_a_translation(fk, kind, prismatic):
    axis = (0.0, 0.0, 1.0)
    pose = fk(body(joint(axis=axis, joint_type=kind)), [0.5])
    if prismatic:
        assert np.array_equal(pose[:3, :3], np.eye(3)) and pose[2, 3] == 0.5
    else:
        assert pose[0, 1] == -math.sin(0.5) and pose[2, 3] == 0.0


def test_infinite_value_fails_in_cos_only_for_revolute_joints(fk, twin):
    kb = body(joint(joint_type="prismatic"))
    pose = fk(kb, [math.inf])   # 0 * inf makes NaNs, which propagate
    assert pose.tobytes() == twin.poe_forward_kinematics(kb, [math.inf]).tobytes()
    with pytest.raises(ValueError) as info:
        fk(body(joint()), [math.inf])
    assert failure_line(info.value) == 188


@pytest.mark.parametrize("value", [0.5, 1, np.float64(0.5), np.float32(0.5), np.int64(1), "0.5", b"1",
                                   type("F", (), {"__float__": lambda s: 0.5})()])
def test_elements_convert_like_float(fk, value):
    kb = body(joint(axis=[0, 0, value], T_left=[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]],
                    joint_type="prismatic"))
    kb.joints[0].T_left = np.array(kb.joints[0].T_left, dtype=object)
    kb.joints[0].T_left[2, 3] = value
    pose = fk(kb, [value])
    f = float(value)
    assert pose[2, 3] == f * f + f


def test_integer_too_large_for_a_double(fk):
    with pytest.raises(OverflowError) as info:
        fk(body(joint()), [10 ** 400])
    assert failure_line(info.value) == 155


class TestModuleGlobals:
    def test_missing_np_fails_after_the_walk(self, native, fk, monkeypatch):
        reads = []

        class Q:
            def __getitem__(self, i):
                reads.append(i)
                return 0.0

        monkeypatch.delattr(native, "np")
        with pytest.raises(NameError, match="^name 'np' is not defined$") as info:
            fk(body(joint(), joint()), Q())
        assert reads == [0, 1]
        assert failure_line(info.value) == 255

    def test_missing_math_spares_prismatic_chains(self, native, fk, monkeypatch):
        monkeypatch.delattr(native, "math")
        pose = fk(body(joint(joint_type="prismatic")), [2.0])
        assert pose[2, 3] == 2.0
        with pytest.raises(NameError, match="^name 'math' is not defined$") as info:
            fk(body(joint(joint_type="prismatic"), joint()), [2.0, 0.0])
        assert failure_line(info.value) == 188

    def test_failing_sin_reports_its_line(self, native, fk, monkeypatch):
        def sin(x):
            raise ArithmeticError("no sine")
        monkeypatch.setattr(native, "math", type("m", (), {"cos": staticmethod(math.cos),
                                                           "sin": staticmethod(sin)}))
        with pytest.raises(ArithmeticError) as info:
            fk(body(joint()), [0.1])
        assert failure_line(info.value) == 189

    def test_np_without_float64_fails_at_its_line(self, native, fk, monkeypatch):
        monkeypatch.setattr(native, "np", type("np", (), {"array": staticmethod(np.array)}))
        with pytest.raises(AttributeError) as info:
            fk(body(), None)
        assert failure_line(info.value) == 257

    def test_failing_array_call_reports_line_255(self, native, fk, monkeypatch):
        def array(rows, dtype):
            raise RuntimeError(f"array of {rows!r} as {dtype!r}")
        monkeypatch.setattr(native, "np", type("np", (), {"array": staticmethod(array),
                                                         "float64": "f8"}))
        with pytest.raises(RuntimeError) as info:
            fk(body(), None)
        assert failure_line(info.value) == 255
        assert str(info.value) == ("array of [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], "
                                   "[0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]] as 'f8'")

    def test_result_is_what_np_array_returns(self, native, fk, monkeypatch):
        # A bound method as np.array: called with its __self__ in front.
        class Builder:
            def array(self, rows, dtype):
                return ("built", self, rows[3], dtype)
        builder = Builder()
        monkeypatch.setattr(native, "np", type("np", (), {"array": builder.array, "float64": 8}))
        assert fk(body(), None) == ("built", builder, [0.0, 0.0, 0.0, 1.0], 8)

    def test_bound_method_as_cos(self, native, fk, monkeypatch):
        class Trig:
            def cos(self, x):
                return 0.0

            def sin(self, x):
                return 1.0
        trig = Trig()
        monkeypatch.setattr(native, "math", type("m", (), {"cos": trig.cos, "sin": trig.sin}))
        pose = fk(body(joint()), [0.3])
        assert np.array_equal(pose[:3, :3], [[0, -1, 0], [1, 0, 0], [0, 0, 1]])
