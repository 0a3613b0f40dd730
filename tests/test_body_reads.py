"""What the function reads from its arguments, how its failures look, and
that it releases everything it took, on success and on every failure."""

import math
from types import SimpleNamespace

import numpy as np
import pytest
from chains import body, joint, random_chain
from helpers import assert_no_leak, assert_same_pose, failure_line, run_python, source_line


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


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class OneJoint:
    """A sequence of length 1 whose item cannot be read."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise LookupError("no joint")


# name: (make kb and q, exception type, the statement of the failing read)
CASES = {
    "joints": (lambda: (object(), [0.0]), AttributeError, "joints = kb.joints"),
    "len": (lambda: (SimpleNamespace(joints=object()), [0.0]), TypeError, "n = len(joints)"),
    "joint": (lambda: (SimpleNamespace(joints=OneJoint()), [0.0]), LookupError,
        "joint = joints[i]"),
    "axis_missing": (lambda: (body(_without(joint(), "axis")), [0.0]), AttributeError,
        "axis = joint.axis"),
    "axis_x": (lambda: (body(joint(axis=Raising(LookupError))), [0.0]), LookupError,
        "ax = float(axis[0])"),
    "axis_y": (lambda: (body(joint(axis=[0.0, "y", 1.0])), [0.0]), ValueError,
        "ay = float(axis[1])"),
    "axis_z": (lambda: (body(joint(axis=[0.0, 0.0])), [0.0]), IndexError, "az = float(axis[2])"),
    "q_short": (lambda: (body(joint(), joint()), np.zeros(1)), IndexError, "qi = float(q[i])"),
    "q_none": (lambda: (body(joint()), None), TypeError, "qi = float(q[i])"),
    "T_left_missing": (lambda: (body(_without(joint(), "T_left")), [0.0]), AttributeError,
        "T_left = joint.T_left"),
    "T_left_0_0": (lambda: (body(joint(T_left=bad_element((4, 4), (0, 0)))), [0.0]), ValueError,
        "l00 = float(T_left[0, 0])"),
    "T_left_1_2": (lambda: (body(joint(T_left=bad_element((4, 4), (1, 2)))), [0.0]), ValueError,
        "l12 = float(T_left[1, 2])"),
    "T_left_2_3": (lambda: (body(joint(T_left=bad_element((3, 4), (2, 3)))), [0.0]), ValueError,
        "l23 = float(T_left[2, 3])"),
    "T_left_lists": (lambda: (body(joint(T_left=np.eye(4).tolist())), [0.0]), TypeError,
        "l00 = float(T_left[0, 0])"),
    "joint_type_missing": (lambda: (body(_without(joint(), "joint_type")), [0.0]), AttributeError,
        "if joint.joint_type =="),
    "joint_type_eq": (lambda: (body(joint(joint_type=Raising(LookupError))), [0.0]), LookupError,
        "if joint.joint_type =="),
    "q_text": (lambda: (body(joint()), ["1__0"]), ValueError, "qi = float(q[i])"),
    "q_float_non_float": (lambda: (body(joint()), [HasFloat(3)]), TypeError, "qi = float(q[i])"),
    "q_huge_int": (lambda: (body(joint()), [10 ** 400]), OverflowError, "qi = float(q[i])"),
    "cos_inf": (lambda: (body(joint()), [math.inf]), ValueError, "c = math.cos(qi)"),
    "T_right_missing": (lambda: (body(_without(joint(), "T_right")), [0.0]), AttributeError,
        "T_right = joint.T_right"),
    "T_right_0_1": (lambda: (body(joint(T_right=bad_element((4, 4), (0, 1)))), [0.0]), ValueError,
        "t01 = float(T_right[0, 1])"),
    "T_right_2_3": (lambda: (body(joint(T_right=bad_element((4, 4), (2, 3)))), [0.0]), ValueError,
        "t23 = float(T_right[2, 3])"),
    "second_joint": (lambda: (body(joint(), joint(axis=None)), [0.0, 0.0]), TypeError,
        "ax = float(axis[0])"),
}


def objects_of(kb, q):
    """The inputs and everything the function reads from them (but their
    strings, which are interned and keep no count)."""
    joints = getattr(kb, "joints", None)
    objs = [kb, q] if joints is None else [kb, q, joints]
    if isinstance(joints, list):
        for record in joints:
            objs.append(record)
            objs.extend(v for v in vars(record).values() if not isinstance(v, str))
    return objs


@pytest.mark.parametrize("name", CASES)
def test_each_failing_step_reports_its_line_and_releases_everything(fk, name):
    make, exc_type, statement = CASES[name]
    kb, q = make()
    with pytest.raises(exc_type) as info:
        fk(kb, q)
    assert failure_line(info.value) == source_line(statement)
    assert_no_leak(lambda: fk(kb, q), objects_of(kb, q), exc_type)


def test_successful_calls_release_everything(fk):
    kb, q = random_chain(np.random.default_rng(5), 6)
    assert_no_leak(lambda: fk(kb, q), objects_of(kb, q))
    # elements converted from text, bytes and numpy scalars
    kb.joints[2].axis = ("1", b"0", "\xa00")
    q = [0.5, "0.25", b"1_0", np.float32(2), HasFloat(0.5), np.int64(1)]
    assert_no_leak(lambda: fk(kb, q), objects_of(kb, q) + q[3:])


# Objects that call the function again from inside the read of kb or q.
REENTERING = {
    "float": "q = [Again()]",
    "getitem": "kb = SimpleNamespace(joints=Again())",
    "eq": "kb = body(joint(joint_type=Again()))",
}


@pytest.mark.parametrize("where", REENTERING)
def test_unbounded_reentry_ends_in_recursion_error(where):
    # In a fresh interpreter: running out of stack would kill it.
    out = run_python(f"""
        from types import SimpleNamespace
        from chains import body, joint
        from kovi.kinematics.poe_fk import poe_forward_kinematics as fk

        class Again:
            def again(self, *args):
                return fk(kb, q)
            __float__ = __getitem__ = __eq__ = again
            def __len__(self):
                return 1

        kb, q = body(joint()), [0.5]
        {REENTERING[where]}
        try:
            fk(kb, q)
        except RecursionError:
            print("RecursionError", fk(body(joint()), [0.5])[2, 2])
    """)
    assert out.split() == ["RecursionError", "1.0"]


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
    pose = fk(body(joint(joint_type=kind)), [0.5])
    if prismatic:
        assert np.array_equal(pose[:3, :3], np.eye(3)) and pose[2, 3] == 0.5
    else:
        assert pose[0, 1] == -math.sin(0.5) and pose[2, 3] == 0.0


def test_infinite_prismatic_value_makes_nans_not_a_failure(fk, twin):
    # 0 * inf makes NaNs, which propagate; only math.cos fails on inf
    kb = body(joint(joint_type="prismatic"))
    pose = fk(kb, [math.inf])
    assert np.isnan(pose).any()
    assert_same_pose(pose, twin.poe_forward_kinematics(kb, [math.inf]))


# ---- the module globals it reads: math at each revolute joint, np at the end

def test_missing_np_fails_after_the_walk(native, fk, monkeypatch):
    # the walk reads q within the chain only
    reads = []

    class Q:
        def __getitem__(self, i):
            reads.append(i)
            return 0.0

    monkeypatch.delattr(native, "np")
    with pytest.raises(NameError, match="^name 'np' is not defined$") as info:
        fk(body(joint(), joint()), Q())
    assert reads == [0, 1]
    assert failure_line(info.value) == source_line("return np.array(")


def test_missing_math_spares_prismatic_chains(native, fk, monkeypatch):
    monkeypatch.delattr(native, "math")
    assert fk(body(joint(joint_type="prismatic")), [2.0])[2, 3] == 2.0
    with pytest.raises(NameError, match="^name 'math' is not defined$") as info:
        fk(body(joint(joint_type="prismatic"), joint()), [2.0, 0.0])
    assert failure_line(info.value) == source_line("c = math.cos(qi)")


def _fail(*args, **kwargs):
    raise ArithmeticError("replaced")


@pytest.mark.parametrize("name, value, exc_type, statement", [
    ("math", SimpleNamespace(cos=math.cos, sin=_fail), ArithmeticError, "s = math.sin(qi)"),
    ("np", SimpleNamespace(array=_fail, float64="f8"), ArithmeticError, "return np.array("),
    ("np", SimpleNamespace(array=np.array), AttributeError, "dtype=np.float64"),   # no float64
])
def test_failing_global_reports_its_line(native, fk, monkeypatch, name, value, exc_type, statement):
    monkeypatch.setattr(native, name, value)
    with pytest.raises(exc_type) as info:
        fk(body(joint()), [0.1])
    assert failure_line(info.value) == source_line(statement)


@pytest.mark.parametrize("name, step", [("math", "c = math.cos(qi)"), ("np", "return np.array(")])
def test_failing_comparison_with_a_global_name_passes_through(name, step):
    # A key of the name's hash ahead of the name in the module namespace: the
    # lookup compares them, and the comparison's error is the call's, as in
    # the twin (a fresh interpreter: the namespace stays changed).
    out = run_python(f"""
        from chains import body, joint
        from helpers import failure_line, load_twin
        import kovi.kinematics.poe_fk as native

        class Colliding:
            armed = False
            def __hash__(self):
                return hash({name!r})
            def __eq__(self, other):
                if Colliding.armed:
                    raise Colliding.error
                return False

        for module in (native, load_twin()):
            namespace = vars(module)
            value = namespace.pop({name!r})
            namespace[Colliding()] = None   # takes the name's place in the table
            namespace[{name!r}] = value
            Colliding.error, Colliding.armed = LookupError("compared"), True
            try:
                module.poe_forward_kinematics(body(joint()), [0.5])
            except LookupError as exc:
                print(exc is Colliding.error, module is native and failure_line(exc))
            Colliding.armed = False
    """)
    assert out.split() == ["True", str(source_line(step)), "True", "False"]


def test_result_is_one_np_array_call_with_dtype_by_keyword(native, fk, monkeypatch):
    # A bound method as np.array: called with its __self__ in front.
    class Builder:
        def array(self, rows, *, dtype):
            return ("built", self, rows, dtype)
    builder = Builder()
    monkeypatch.setattr(native, "np", SimpleNamespace(array=builder.array, float64="f8"))
    assert fk(body(), None) == ("built", builder, np.eye(4).tolist(), "f8")
