"""The body walk with hostile objects.

The input describes a chain: its container, joint records, axes,
transforms, elements, joint kinds and configuration, each either plain or
hostile (failing reads, lying lengths, conversions that raise or return the
wrong type, reads that mutate the chain, re-entry into the function).  Any
outcome is allowed except a crash, a sanitizer report or a SystemError (a
failure that the C API reports without a Python exception).  A chain built
only of well-behaved objects must give the twin's pose; one without side
effects must fail, if it fails, with the twin's exception type.

The chain is built twice from the same bytes, for the module and for the
twin, so that each sees fresh objects.
"""

import math
import weakref
from types import SimpleNamespace

import atheris
import numpy as np

import harness
from kovi.kinematics.poe_fk import poe_forward_kinematics as native

twin = harness.load_twin().poe_forward_kinematics


class HostileError(Exception):
    """Raised by the hostile objects."""


class FloatSub(float):
    pass


def float32(value):
    with np.errstate(over="ignore"):  # a double too large becomes an infinity
        return np.float32(value)


def raising(what):
    """A method that raises HostileError."""
    def method(self, *args):
        raise HostileError(what)
    return method


def hostile(name, **methods):
    """An instance of a new class with the given methods."""
    return type(name, (), methods)()


class Builder:
    """Makes one chain from the input bytes.  `plain` stays true while every
    object made behaves like a value; `pure` while nothing has side effects
    on the chain or calls the function again."""

    def __init__(self, data, fk):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.fk = fk
        self.plain = True
        self.pure = True
        self.body = None
        # Half the chains are made of well-behaved objects only, a quarter
        # may hold hostile ones without side effects, a quarter anything.
        self.hostility = (0, 0, 1, 2)[self.pick(4)]

    def pick(self, count):
        return self.fdp.ConsumeIntInRange(0, count - 1)

    def choose(self, plain, hostile, impure=0):
        """A kind among plain + hostile + impure, the first `plain` of them
        well-behaved, the last `impure` with side effects, as far as the
        chain's hostility allows."""
        return self.pick((plain, plain + hostile, plain + hostile + impure)[self.hostility])

    def number(self):
        if self.pick(4) == 0:
            return self.fdp.ConsumeFloat()  # any double, NaN and infinities included
        return self.fdp.ConsumeRegularFloat()

    def element(self):
        value = self.number()
        kind = self.choose(10, 10, 4)
        plain_kinds = [
            lambda: value,
            lambda: np.float64(value),
            lambda: float32(value),
            lambda: int(value) if math.isfinite(value) else value,
            lambda: repr(value),
            lambda: repr(value).encode(),
            lambda: bytearray(repr(value).encode()),
            lambda: FloatSub(value),
            lambda: self.fdp.ConsumeInt(8),
            lambda: f"\xa0{value!r} ",
        ]
        if kind < len(plain_kinds):
            return plain_kinds[kind]()
        self.plain = False
        # A weak reference: numpy's object arrays do not take part in cycle
        # collection, so a cycle through one would never be freed.
        builder, fk = weakref.proxy(self), self.fk
        hostile_kinds = [
            lambda: None,
            lambda: 10 ** 400,
            lambda: self.fdp.ConsumeUnicode(8),
            lambda: self.fdp.ConsumeBytes(8),
            lambda: [value],
            lambda: complex(value, 1.0),
            lambda: hostile("Raises", __float__=raising("__float__")),
            lambda: hostile("NotFloat", __float__=lambda s: 1),
            lambda: hostile("OnlyIndex", __index__=lambda s: 3),
            lambda: hostile("SubFloat", __float__=lambda s: FloatSub(value)),
        ]
        if kind < len(plain_kinds) + len(hostile_kinds):
            return hostile_kinds[kind - len(plain_kinds)]()
        self.pure = False
        if kind == 20:
            # re-entry on the same chain: unbounded, ends in RecursionError
            return hostile("ReEnter", __float__=lambda s: float(fk(builder.body, [0.0] * 16)[0, 0]))
        if kind == 21:
            # bounded re-entry on a chain of its own
            return hostile("Nested", __float__=lambda s: float(
                fk(SimpleNamespace(joints=[]), None)[0, 3]))
        # reads that change the chain being walked
        def mutate(s):
            joints = builder.body.joints
            if isinstance(joints, list) and joints:
                if kind == 22:
                    joints.clear()
                else:
                    joints[0].T_left = None
            return value
        return hostile("Mutates", __float__=mutate)

    def matrix(self):
        rows = self.pick(3) + 3 if self.hostility == 0 or self.pick(8) else 2  # rarely too few
        values = [[self.element() for _ in range(4)] for _ in range(rows)]
        kind = self.choose(6, 2)
        if all(isinstance(v, float) for row in values for v in row) and kind < 3:
            arr = np.array(values)
            if kind == 1:
                arr = np.asfortranarray(arr)
            elif kind == 2:
                arr = np.repeat(arr, 2, axis=1)[:, ::2]  # strided view
                arr.flags.writeable = False
            return arr
        if kind < 6:
            arr = np.empty((rows, 4), dtype=object)
            for i, row in enumerate(values):
                for j, v in enumerate(row):
                    arr[i, j] = v
            return arr
        self.plain = False
        if kind == 6:
            return values  # a list: indexing by a tuple fails
        failing = self.fdp.ConsumeIntInRange(0, 31)  # 16 and above: none fails

        class Grid:
            def __getitem__(self, key):
                i, j = key
                if 4 * i + j == failing:
                    raise HostileError(f"item {key}")
                return values[i][j]
        return Grid()

    def axis(self):
        values = [self.element() for _ in range(3)]
        kind = self.choose(4, 2)
        if kind == 0 and all(isinstance(v, float) for v in values):
            return np.array(values)
        if kind in (1, 2):
            return values if kind == 1 else tuple(values)
        if kind == 3:
            return np.array(values, dtype=object)
        self.plain = False
        if kind == 4:
            return values[:self.pick(3)]  # too short
        return {0: values[0], 1: values[1], 2: values[2]}

    def joint_type(self):
        kind = self.choose(7, 3)
        if kind < 6:
            return ("revolute", "prismatic")[kind % 2]
        if kind == 6:
            return np.str_("prismatic")
        self.plain = False
        if kind == 7:
            return self.fdp.ConsumeUnicode(10)
        if kind == 8:
            return hostile("EqRaises", __eq__=raising("__eq__"), __hash__=None)
        return hostile("EqOdd", __eq__=lambda s, o: hostile("Truth", __bool__=raising("__bool__")))

    def joint(self):
        fields = dict(T_left=self.matrix(), axis=self.axis(), T_right=self.matrix(),
                      joint_type=self.joint_type())
        if self.choose(9, 1) < 9:
            return SimpleNamespace(**fields)
        self.plain = False
        missing = self.pick(4)
        name = list(fields)[missing]

        class Record:
            def __getattr__(self, attr):
                if attr == name:
                    raise HostileError(f"no {attr}")
                return fields[attr]
        return Record()

    def sequence(self, items, what):
        kind = self.choose(6, 2)
        if kind < 5:
            return list(items) if kind % 2 else tuple(items)
        if kind == 5:
            return np.array(items, dtype=float) if what == "q" and \
                all(isinstance(v, float) for v in items) else list(items)
        self.plain = False
        lie = self.fdp.ConsumeIntInRange(-2, 3)

        class Lying:
            def __len__(self):
                if kind == 6:
                    raise HostileError("__len__")
                return max(len(items) + lie, 0)

            def __getitem__(self, i):
                return items[i]
        return Lying()

    def build(self):
        n = self.pick(8)
        joints = [self.joint() for _ in range(n)]
        extra = 0 if self.hostility == 0 else self.pick(3) - 1  # q one too long or too short
        q = [self.element() for _ in range(max(n + extra, 0))]
        self.body = SimpleNamespace(joints=self.sequence(joints, "joints"))
        return self.body, self.sequence(q, "q")


def outcome(fk, data):
    builder = Builder(data, fk)
    kb, q = builder.build()
    try:
        return "value", fk(kb, q), builder
    except SystemError:
        raise
    except (Exception, RecursionError) as exc:  # noqa: BLE001 - any Python exception is allowed
        return "error", type(exc), builder


def test_one_input(data):
    kind, result, builder = outcome(native, data)
    if not builder.pure:
        return
    twin_kind, twin_result, _ = outcome(twin, data)
    if builder.plain and (kind, twin_kind) == ("value", "value"):
        harness.assert_same_pose(result, twin_result)
    elif kind != twin_kind or (kind == "error" and result is not twin_result):
        raise harness.Finding(f"module gave {kind} {result!r}, twin {twin_kind} {twin_result!r}")


if __name__ == "__main__":
    harness.fuzz(test_one_input)
