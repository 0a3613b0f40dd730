"""The fast paths of poe_forward_kinematics cannot be told from the general
one: direct reads of float64 ndarrays and of slot attributes, cos and sin
without a call, the result without lists.

The general path is forced with ndarray-subclass inputs in plain records
and with stand-ins for `math` and `np` that hold the very same functions.
"""

import math
import struct
import types

import numpy as np
import pytest
from chains import SlotBody, SlotJoint, plain, random_chain, record_fields, slotted, sprinkle
from helpers import (DEF_LINE, FUNCTION_NAME, SOURCE_PATH, assert_no_leak, run_python,
                     source_line, traceback_entries)


class Sub(np.ndarray):
    """Indexing a subclass goes through the general read."""


def general_inputs(kb, q):
    return plain(kb, lambda a: a.view(Sub) if isinstance(a, np.ndarray) else a), \
        q.view(Sub) if isinstance(q, np.ndarray) else q


@pytest.fixture
def stand_ins(native, monkeypatch):
    """Binds stand-ins for math and np that hold the same functions."""
    def bind():
        monkeypatch.setattr(native, "math", types.SimpleNamespace(cos=math.cos, sin=math.sin))
        monkeypatch.setattr(native, "np", types.SimpleNamespace(array=np.array, float64=np.float64))
    return bind


def result_of(fk, kb, q):
    """What a call shows a caller: the array with its layout, or the
    exception with its message and the function's traceback entries."""
    try:
        pose = fk(kb, q)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        entries = [e for e in traceback_entries(exc) if e[1] == FUNCTION_NAME]
        return ("error", type(exc), str(exc), entries)
    flags = {f: pose.flags[f] for f in ("C", "F", "OWNDATA", "WRITEABLE", "ALIGNED",
                                        "WRITEBACKIFCOPY")}
    layout = (type(pose), pose.dtype, pose.dtype.isnative, pose.shape, pose.strides,
              pose.base is None, flags)
    nan = np.isnan(pose)
    # A NaN's sign bit is not promised: only where the NaNs are.
    return ("value", layout, nan.tobytes(), np.where(nan, 0.0, pose).tobytes())


def assert_same_as_general(fk, stand_ins, kb, q):
    fast = result_of(fk, kb, q)
    stand_ins()
    assert result_of(fk, *general_inputs(kb, q)) == fast


@pytest.mark.parametrize("seed", range(48))
def test_random_chains_match_the_general_path(fk, stand_ins, seed):
    rng = np.random.default_rng(seed)
    kb, q = random_chain(rng, int(rng.integers(0, 17)))
    sprinkle(rng, kb, q, [0.0, 0.02, 0.2][seed % 3])
    assert_same_as_general(fk, stand_ins, slotted(kb), q)


def test_sample_bodies_match_the_general_path(fk, stand_ins):
    from kovi.robots._samples import SAMPLE_BODIES, sample_configuration
    cases = [(make(), sample_configuration(name)) for name, make in SAMPLE_BODIES.items()]
    fast = [result_of(fk, kb, q) for kb, q in cases]
    stand_ins()
    assert [result_of(fk, *general_inputs(kb, q)) for kb, q in cases] == fast


def _unaligned(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)
    out = np.frombuffer(raw.data, a.dtype, a.size, 1).reshape(a.shape)
    out[...] = a
    return out


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# name: what becomes of a float64 array; whether the direct read takes it
ARRAY_KINDS = {
    "c_order": (lambda a: a.copy(), True),
    "fortran": (lambda a: np.asfortranarray(a), True),
    "read_only": (_read_only, True),
    "offset_view": (lambda a: np.concatenate([a, a]).reshape((2,) + a.shape)[1], True),
    "negative_strides": (lambda a: np.flip(np.flip(a).copy()), True),
    "strided": (lambda a: np.repeat(a, 2, axis=-1)[..., ::2], True),
    "subclass": (lambda a: a.view(Sub), False),
    "float32": (lambda a: a.astype(np.float32), False),
    "int64": (lambda a: (a * 4).astype(np.int64), False),
    "object": (lambda a: a.astype(object), False),
    "byte_swapped": (lambda a: a.astype(">f8"), False),
    "unaligned": (_unaligned, False),
    "extra_dimension": (lambda a: a[np.newaxis], False),
    "zero_d": (lambda a: np.array(a.flat[1]), False),
}


@pytest.mark.parametrize("kind", ARRAY_KINDS)
def test_the_direct_reads_take_exactly_the_arrays_they_read_as_indexing_does(probe, kind):
    make, direct = ARRAY_KINDS[kind]
    rng = np.random.default_rng(3)
    vector, matrix = make(rng.normal(size=4)), make(rng.normal(size=(4, 4)))
    if not direct:
        assert probe.read_direct(vector, 3) == probe.read_direct(matrix, 0) == (None, None, None)
        return
    assert probe.read_direct(vector, 3) == (tuple(map(float, vector[:3])), float(vector[3]), None)
    assert probe.read_direct(vector, 4)[1] is None          # past the end: the general read
    assert probe.read_direct(matrix, 0) == (None, None, tuple(map(float, matrix[:3].flat)))


@pytest.mark.parametrize("shape", [(2,), (3,), (4,), (2, 4), (3, 3), (3, 4), (4, 5), (1, 3, 4)])
def test_the_direct_reads_take_arrays_just_large_enough(probe, shape):
    a = np.arange(math.prod(shape), dtype=float).reshape(shape)
    vector3, element, transform = probe.read_direct(a, 3)
    assert (vector3 is not None) == (a.ndim == 1 and shape[0] >= 3)
    assert (element is not None) == (a.ndim == 1 and shape[0] >= 4)
    assert (transform is not None) == (a.ndim == 2 and shape[0] >= 3 and shape[1] >= 4)


@pytest.mark.parametrize("role, shape", [("T_left", (2, 4)), ("T_right", (4, 3)),
                                         ("T_left", (3, 4)), ("axis", (2,)), ("q", (2,))])
def test_arrays_too_small_fail_as_indexing_fails(fk, twin, role, shape):
    kb, q = random_chain(np.random.default_rng(8), 3)
    if role == "q":
        q = q[:shape[0]].copy()
    else:
        record = kb.joints[1]
        setattr(record, role, getattr(record, role)[tuple(slice(n) for n in shape)].copy())
    assert as_twin_result(result_of(fk, slotted(kb), q)) == twin_result(twin, kb, q)


def twin_result(twin, kb, q):
    """What result_of shows, as far as the twin can show it: the values, or
    the exception with the line of the module's source it failed at."""
    try:
        pose = twin.poe_forward_kinematics(kb, q)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        line = [e[2] for e in traceback_entries(exc) if e[0].endswith(SOURCE_PATH)][-1]
        return type(exc), str(exc), line
    nan = np.isnan(pose)
    return nan.tobytes(), np.where(nan, 0.0, pose).tobytes()


def as_twin_result(result):
    return result[2:] if result[0] == "value" else (result[1], result[2], result[3][-1][2])


@pytest.mark.parametrize("kind", ARRAY_KINDS)
@pytest.mark.parametrize("role", ["T_left", "axis", "T_right", "q"])
def test_each_array_kind_gives_what_the_general_path_gives(fk, twin, stand_ins, kind, role):
    rng = np.random.default_rng(17)
    kb, q = random_chain(rng, 3)
    make, direct = ARRAY_KINDS[kind]
    if role == "q":
        q = make(q)
    else:
        setattr(kb.joints[1], role, make(getattr(kb.joints[1], role)))
    fast = result_of(fk, slotted(kb), q)
    # Python's own indexing of these very arrays
    got, expected = as_twin_result(fast), twin_result(twin, kb, q)
    if kind == "zero_d" and role in ("axis", "q"):
        # Integer items of a sequence type go through its sq_item, whose
        # message for a 0-d array is shorter than that of indexing.
        got, expected = (got[0], got[2]), (expected[0], expected[2])
    assert got == expected
    if direct:
        # the same elements through the general reads, to the traceback
        assert_same_as_general(fk, stand_ins, slotted(kb), q)


def test_arrays_whose_data_is_replaced_between_calls(fk, stand_ins):
    rng = np.random.default_rng(5)
    kb, q = random_chain(rng, 3)
    fast_kb = slotted(kb)
    fk(fast_kb, q)
    for a in (kb.joints[1].T_left, kb.joints[2].axis, q):
        a.resize((a.shape[0] * 64,) + a.shape[1:], refcheck=False)   # a new buffer
        a[...] = rng.normal(size=a.shape)
    assert_same_as_general(fk, stand_ins, fast_kb, q)


# ---- the module globals: rebinding and deleting take effect at the next use

class Recorded:
    """Calls `function` and counts the calls."""

    def __init__(self, function):
        self.function, self.calls = function, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.function(*args, **kwargs)


def _namespace(native, owner):
    return {"module": native, "math": math, "np": np}[owner]


# owner of the binding, its name, the line its deletion fails at
REBINDINGS = {
    "math": ("module", "math", source_line("c = math.cos(qi)")),
    "math.cos": ("math", "cos", source_line("c = math.cos(qi)")),
    "math.sin": ("math", "sin", source_line("s = math.sin(qi)")),
    "np": ("module", "np", source_line("return np.array(")),
    "np.array": ("np", "array", source_line("return np.array(")),
    "np.float64": ("np", "float64", source_line("dtype=np.float64")),
}


def _stand_in(owner, name, value):
    """(stand-in, the Recorded it calls); np.float64's stand-in records
    nothing and makes the result float32."""
    if name == "float64":
        return np.float32, None
    if owner != "module":
        return (recorded := Recorded(value)), recorded
    fields = {k: Recorded(getattr(value, k)) for k in
              (("cos", "sin") if name == "math" else ("array",))}
    return types.SimpleNamespace(float64=np.float64, **fields), next(iter(fields.values()))


def _revolute_chain(n):
    kb, q = random_chain(np.random.default_rng(21), n)
    for j in kb.joints:
        j.joint_type = "revolute"
    return slotted(kb), q


class RebindingQ:
    """A configuration whose item `at` rebinds a global while it is read."""

    def __init__(self, values, at, rebind):
        self.values, self.at, self.rebind = values, at, rebind

    def __getitem__(self, i):
        if i == self.at:
            self.rebind()
        return float(self.values[i])


@pytest.mark.parametrize("inside", [False, True], ids=["between_calls", "inside_a_call"])
@pytest.mark.parametrize("which", REBINDINGS)
def test_rebinding_takes_effect_at_the_next_use(native, fk, monkeypatch, which, inside):
    owner, name, _ = REBINDINGS[which]
    namespace = _namespace(native, owner)
    kb, q = _revolute_chain(3)
    expected = fk(kb, q)        # and validated
    stand_in, recorder = _stand_in(owner, name, getattr(namespace, name))

    def rebind():
        monkeypatch.setattr(namespace, name, stand_in)
    if inside:      # while q[1] is read: joints 1 and 2 see it
        pose = fk(kb, RebindingQ(q, 1, rebind))
    else:
        rebind()
        pose = fk(kb, q)
    if recorder is None:
        assert pose.dtype == np.float32
    else:
        assert recorder.calls == (3 - inside if owner == "math" or name == "math" else 1)
    monkeypatch.undo()
    assert fk(kb, q).tobytes() == expected.tobytes()


@pytest.mark.parametrize("which", REBINDINGS)
def test_deleting_a_global_fails_as_before(native, twin, fk, monkeypatch, which):
    owner, name, line = REBINDINGS[which]
    kb, q = _revolute_chain(2)
    fk(kb, q)
    monkeypatch.delattr(_namespace(native, owner), name)
    if owner == "module":
        monkeypatch.delattr(twin, name)
    with pytest.raises(Exception) as native_info:
        fk(kb, q)
    with pytest.raises(Exception) as twin_info:
        twin.poe_forward_kinematics(kb, q)
    assert (type(native_info.value), str(native_info.value)) == \
        (type(twin_info.value), str(twin_info.value))
    assert [e[2] for e in traceback_entries(native_info.value) if e[1] == FUNCTION_NAME] == [DEF_LINE, line]


@pytest.mark.parametrize("owner", ["math", "np"])
def test_a_module_class_with_its_own_attributes_takes_effect(native, fk, monkeypatch, owner):
    module = _namespace(native, owner)
    name = "cos" if owner == "math" else "array"
    recorder = Recorded(getattr(module, name))
    cls = type("Shadowing", (types.ModuleType,), {name: property(lambda self: recorder)})
    kb, q = _revolute_chain(2)
    expected = fk(kb, q)
    monkeypatch.setattr(module, "__class__", cls)
    assert fk(kb, q).tobytes() == expected.tobytes() and recorder.calls > 0


class CollidingKey:
    """A non-str key with the hash of `text`, placed before `text` in a
    dict: a lookup of `text` compares with it, running its __eq__."""

    def __init__(self, text):
        self.text, self.compared = text, 0

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        self.compared += 1
        return False


@pytest.mark.parametrize("owner, name", [("module", "math"), ("math", "cos"), ("module", "np"),
                                         ("np", "array")])
def test_lookups_that_could_run_code_are_made(native, fk, owner, name):
    namespace = vars(_namespace(native, owner))
    kb, q = _revolute_chain(2)
    expected = fk(kb, q)
    key = CollidingKey(name)
    value = namespace.pop(name)
    namespace[key] = None
    namespace[name] = value     # compares with the key
    key.compared = 0
    try:
        assert fk(kb, q).tobytes() == expected.tobytes()
        assert key.compared > 0
    finally:
        del namespace[key]


def test_calls_near_the_recursion_limit_fail_as_the_general_path_fails(probe, native, fk,
                                                                         monkeypatch):
    # The skipped calls would enter the interpreter's C recursion guard.
    kb, q = _revolute_chain(3)

    def outcomes():
        return [result_of(lambda *a: probe.call_with_c_recursion_remaining(k, fk, *a), kb, q)
                for k in range(0, 64)]
    fast = outcomes()
    monkeypatch.setattr(native, "math", types.SimpleNamespace(cos=math.cos, sin=math.sin))
    monkeypatch.setattr(native, "np", types.SimpleNamespace(array=np.array, float64=np.float64))
    assert outcomes() == fast
    assert fast[0][0] == "error" and fast[-1][0] == "value"
    # The general reads that the direct reads stand for enter no guard: with
    # the one level the probe's own call takes, they still succeed.
    record = kb.joints[0]
    at_limit = [(probe.get_item_int, record.axis, 1, False), (probe.get_item, record.T_left, (0, 1)),
                (probe.get_attr, record, "axis")]
    for read, *args in at_limit:
        assert probe.call_with_c_recursion_remaining(1, read, *args) is not None


# ---- slot attributes

class Slotted:
    __slots__ = ("a", "b")


class SlottedChild(Slotted):
    __slots__ = ()


SHADOW = property(lambda self: "shadowed")
SameLayout = type("SameLayout", (Slotted,), {"__slots__": (), "a": SHADOW})

# each change is made on a fresh class pair (Base, Leaf), obj a Leaf
CHANGES = {
    "class_attribute": lambda base, leaf, obj: setattr(leaf, "a", SHADOW),
    "base_attribute": lambda base, leaf, obj: setattr(base, "a", SHADOW),
    "getattribute": lambda base, leaf, obj: setattr(leaf, "__getattribute__", lambda s, n: n),
    "bases": lambda base, leaf, obj: setattr(leaf, "__bases__", (SameLayout,)),
    "object_class": lambda base, leaf, obj: setattr(
        obj, "__class__", type("Other", (base,), {"__slots__": (), "a": SHADOW})),
    "slot_emptied": lambda base, leaf, obj: delattr(obj, "a"),
}


def _attribute(read, obj):
    try:
        return "value", read(obj, "a")
    except AttributeError as exc:
        return "error", str(exc)


@pytest.mark.parametrize("change", CHANGES)
def test_slot_cache_follows_every_change_of_the_lookup(probe, change):
    base = type("Base", (), {"__slots__": ("a",)})
    leaf = type("Leaf", (base,) if change != "bases" else (Slotted,), {"__slots__": ()})
    obj = leaf()
    obj.a = [1]
    probe.clear_slot_cache()
    assert probe.get_attr_cached(obj, "a") is obj.a
    assert probe.slot_cache_entry() == (leaf, True)
    CHANGES[change](base, leaf, obj)
    assert _attribute(probe.get_attr_cached, obj) == _attribute(getattr, obj)


def test_slot_cache_takes_only_plain_slots(probe):
    probe.clear_slot_cache()
    for obj in (types.SimpleNamespace(a=1), Slotted.__new__(SlottedChild),
                type("Prop", (), {"a": property(lambda s: 2)})(),
                type("OddKey", (Slotted,), {"__slots__": (), 3: 4})()):
        if isinstance(obj, Slotted):
            obj.a = 5
        assert probe.get_attr_cached(obj, "a") == getattr(obj, "a")
        entry = probe.slot_cache_entry()
        assert (entry is not None and entry[0] is type(obj)) == (type(obj) is SlottedChild)


# ---- the validated globals, the cosine and sine, the set-up

@pytest.fixture(scope="module")
def probe_globals(probe):
    """The probe's namespace binds math and np and is watched the way the
    module's is."""
    probe.math, probe.np = math, np
    assert probe.setup_validated_globals()
    return probe


@pytest.mark.parametrize("change, usable", [
    (lambda p, mp: mp.setattr(p, "math", types.SimpleNamespace(cos=math.cos, sin=math.sin)),
     (False, True)),
    (lambda p, mp: mp.setattr(math, "sin", Recorded(math.sin)), (False, True)),
    (lambda p, mp: mp.setattr(np, "float64", np.float64), (True, True)),    # the same object
    (lambda p, mp: mp.setattr(np, "array", Recorded(np.array)), (True, False)),
    (lambda p, mp: mp.delattr(p, "np"), (True, False)),
    (lambda p, mp: mp.setattr(math, "__class__", type("M", (types.ModuleType,), {})),
     (False, True)),
    (lambda p, mp: mp.setitem(vars(p), 7, None), (False, False)),
    (lambda p, mp: mp.setitem(vars(math), 7, None), (False, True)),
])
def test_fast_paths_are_usable_exactly_while_the_globals_are_as_imported(
        probe_globals, monkeypatch, change, usable):
    assert probe_globals.usable_globals() == (True, True)
    change(probe_globals, monkeypatch)
    assert probe_globals.usable_globals() == usable
    monkeypatch.undo()
    assert probe_globals.usable_globals() == (True, True)


def _doubles_near_quarter_turns():
    out = []
    for k in list(range(-64, 65)) + [10**3, 10**6, 10**9, 2**40]:
        x = k * math.pi / 2
        for _ in range(4):
            out.append(x)
            x = math.nextafter(x, math.inf)
    return out


def test_libm_cos_and_sin_are_the_math_module_s(probe):
    rng = np.random.default_rng(0)
    special = [0.0, 5e-324, 1e-310, 2.2250738585072014e-308, 1e-8, 1.0, 1e22, 1e300,
               1.7976931348623157e308, math.pi, 2 * math.pi]
    values = (special + _doubles_near_quarter_turns() + list(rng.uniform(-10, 10, 20000)) +
              list(np.ldexp(rng.uniform(0.5, 1, 20000), rng.integers(-1074, 1024, 20000))))
    pack = struct.Struct("<2d").pack
    for x in values:
        for v in (float(x), -float(x)):
            assert pack(*probe.libm_cos_sin(v)) == pack(math.cos(v), math.sin(v)), v


@pytest.mark.parametrize("setup", [
    "_kovi_probe.take_all_dict_watchers()",
    "del sys.modules['numpy._core._multiarray_umath']",
])
def test_without_what_the_fast_paths_need_the_module_works_as_before(setup):
    out = run_python(f"""
        import builtins, math, sys, warnings
        import numpy as np
        import numpy.random, numpy.typing
        import kovi._kinbody
        import _kovi_probe
        from chains import random_chain, slotted
        warnings.simplefilter("error")
        {setup}
        names, real_import = [], builtins.__import__
        builtins.__import__ = lambda name, *a, **k: names.append(name) or real_import(name, *a, **k)
        before = set(sys.modules)
        import kovi.kinematics.poe_fk as native
        builtins.__import__ = real_import
        assert not any("multiarray" in n for n in names), names
        assert not any("multiarray" in n for n in set(sys.modules) - before)
        from helpers import load_twin
        kb, q = random_chain(np.random.default_rng(4), 5)
        assert native.poe_forward_kinematics(slotted(kb), q).tobytes() == \\
            load_twin().poe_forward_kinematics(kb, q).tobytes()
        native.math = None
        try:
            native.poe_forward_kinematics(kb, q)
        except AttributeError:
            print("rebound")
    """)
    assert out.split() == ["rebound"]


# ---- ownership

@pytest.mark.parametrize("case", ["success", "q_short", "cos_inf", "empty_slot"])
def test_fast_calls_release_everything(fk, case):
    kb, q = _revolute_chain(4)
    record = kb.joints[2]
    expected = {"success": None, "q_short": IndexError, "cos_inf": ValueError,
                "empty_slot": AttributeError}[case]
    if case == "q_short":
        q = q[:3].copy()
    elif case == "cos_inf":
        q[2] = math.inf
    elif case == "empty_slot":
        kb.joints[3].__class__ = type("Partial", (SlotJoint,), {"__slots__": ()})
        del kb.joints[3].T_right
    watched = [kb, q, kb.joints, record] + list(record_fields(record)[:3])
    assert_no_leak(lambda: fk(kb, q), watched, expected)


FIELDS = ("T_left", "axis", "T_right", "joint_type")
# Slots are laid out in the sorted order of their names: "A" comes first and
# moves the others, so that one type's offset read on the other gives
# another field.
ForwardSlots = type("ForwardSlots", (), {"__slots__": FIELDS})
ShiftedSlots = type("ShiftedSlots", (), {"__slots__": FIELDS + ("A",)})


def _records(kb, classes, wrap=lambda a: a):
    """The joints in records of `classes` in turn, every array passed
    through `wrap`; an attribute the joint lacks stays unset."""
    records = []
    for k, j in enumerate(kb.joints):
        record = classes[k % len(classes)]()
        for name in FIELDS:
            if hasattr(j, name):
                setattr(record, name, wrap(getattr(j, name)))
        records.append(record)
    return SlotBody(records)


@pytest.mark.parametrize("change", ["none", "slot_emptied", "class_attribute"])
def test_alternating_slotted_types_match_the_general_path(fk, probe, stand_ins, monkeypatch, change):
    kb, q = random_chain(np.random.default_rng(31), 7)
    fast_kb = _records(kb, (ForwardSlots, ShiftedSlots))
    fk(fast_kb, q)
    if change == "slot_emptied":
        del fast_kb.joints[4].T_right
    elif change == "class_attribute":
        T_right = random_chain(np.random.default_rng(32), 1)[0].joints[0].T_right
        monkeypatch.setattr(ShiftedSlots, "T_right", property(lambda self: T_right))
    fast = result_of(fk, fast_kb, q)
    assert fast[0] == ("error" if change == "slot_emptied" else "value")
    # The same records through the probe's cache, read in turn: both types
    # stay in it.
    probe.clear_slot_cache()
    for record in fast_kb.joints * 2:
        assert probe.get_attr_cached(record, "axis") is record.axis
    assert [probe.slot_cache_holds(r) for r in fast_kb.joints[:2]] == [True, True]
    # Records with a dict, of classes named as these, read no slot.
    general = [type(c.__name__, (), {}) for c in (ForwardSlots, ShiftedSlots)]
    general_kb = _records(fast_kb, general, lambda a: a.view(Sub) if isinstance(a, np.ndarray) else a)
    stand_ins()
    assert result_of(fk, general_kb, q) == fast
