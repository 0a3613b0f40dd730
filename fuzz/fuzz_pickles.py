"""Pickled chains and bodies.

The input is either a pickle payload, loaded by an unpickler that resolves
only kovi's classes and what their pickles need (numpy's arrays, copyreg's
reconstructors), or the pieces of a Chain state, Joint state or KinBody
state put together from the bytes and handed to __setstate__.  Any
exception is allowed except a SystemError (a failure that the C API
reports without a Python exception); a crash or a sanitizer report is a
finding.

What is accepted must be what the constructors accept: a chain rebuilt
from a state has finite numbers, unit axes and unique non-empty names, its
state round-trips to the same bytes, and its pose is the core's pose of
the same numbers read as plain records; an unpickled Joint or KinBody
holds read-only float64 arrays of finite numbers and compiles to a chain.
"""

import io
import math
import pickle
import sys
from types import SimpleNamespace

import atheris
import numpy as np

import harness
import kovi
from kovi._chain import Chain
from kovi._kinbody import Joint, KinBody
from kovi.kinematics.poe_fk import poe_forward_kinematics

ALLOWED = {
    ("kovi", "Chain"), ("kovi", "Joint"), ("kovi", "KinBody"),
    ("kovi._chain", "Chain"), ("kovi._kinbody", "Joint"), ("kovi._kinbody", "KinBody"),
    ("kovi._kinbody", "_rebuild_joint"),
    ("copyreg", "__newobj__"), ("copyreg", "_reconstructor"), ("builtins", "object"),
    ("numpy", "ndarray"), ("numpy", "dtype"),
    ("numpy.core.multiarray", "_reconstruct"), ("numpy._core.multiarray", "_reconstruct"),
}


class KoviUnpickler(pickle.Unpickler):
    def find_class(self, module, name):
        if (module, name) not in ALLOWED:
            raise pickle.UnpicklingError(f"{module}.{name} is not fuzzed")
        return super().find_class(module, name)


def numbers(fdp, count):
    """float64s: mostly small, some of every kind of double."""
    out = []
    for _ in range(count):
        pick = fdp.ConsumeIntInRange(0, 7)
        if pick == 0:
            out.append(fdp.ConsumeRegularFloat())
        elif pick == 1:
            out.append(fdp.PickValueInList([math.nan, math.inf, -math.inf, 0.0, -0.0, 1e-320]))
        else:
            out.append(fdp.ConsumeIntInRange(-4, 4) / 2.0)
    return out


def unit_axis(fdp):
    axis = np.array(numbers(fdp, 3))
    length = float(np.linalg.norm(axis)) if np.isfinite(axis).all() else 0.0
    if fdp.ConsumeBool() and 0.0 < length < math.inf:
        axis = axis / length
    return axis.tolist()


def chain_state(fdp):
    n = fdp.ConsumeIntInRange(0, 6)
    names = tuple(fdp.ConsumeUnicodeNoSurrogates(3) for _ in range(n))
    kinds = "".join(fdp.PickValueInList("RRPPX") for _ in range(n))
    values = []
    for _ in range(n):
        values += numbers(fdp, 12) + unit_axis(fdp) + numbers(fdp, 12)
    packed = np.array(values, "<f8").tobytes()
    if fdp.ConsumeBool():
        packed = packed[:fdp.ConsumeIntInRange(0, len(packed))]
    limits = np.array(numbers(fdp, 2 * n), "<f8").tobytes()
    state = ("chain", names, kinds, packed, limits)
    return state[:fdp.ConsumeIntInRange(3, 5)]


def joint_state(fdp):
    T = np.array(numbers(fdp, 16)).reshape(4, 4)
    fields = [fdp.ConsumeUnicodeNoSurrogates(2), T, unit_axis(fdp), np.eye(4)[:3].tolist(),
              fdp.PickValueInList(["revolute", "prismatic", "twist", None]),
              fdp.PickValueInList([None, tuple(numbers(fdp, 2)), (0.0, True)])]
    form = fdp.ConsumeIntInRange(0, 2)
    if form == 0:
        return fields
    names = ("name", "T_left", "axis", "T_right", "joint_type", "limits")
    slots = dict(zip(names, fields))
    return slots if form == 1 else (None, slots)


def check_chain(chain):
    name, names, kinds, packed, limits, *_ = chain.__getstate__()
    values = np.frombuffer(packed, "<f8").reshape(-1, 27)
    assert len(set(names)) == len(names) and all(names), names
    assert np.isfinite(values).all()
    for row in values:
        assert abs(math.hypot(*row[12:15]) - 1.0) <= 1e-9 + 1e-15, row[12:15]
    again = Chain.__new__(Chain)
    again.__setstate__(chain.__getstate__())
    assert again.__getstate__() == chain.__getstate__()
    bottom = np.array([[0.0, 0.0, 0.0, 1.0]])
    records = [SimpleNamespace(T_left=np.vstack([row[:12].reshape(3, 4), bottom]),
                               axis=row[12:15].copy(),
                               T_right=np.vstack([row[15:].reshape(3, 4), bottom]),
                               joint_type="prismatic" if kind == "P" else "revolute")
               for row, kind in zip(values, kinds)]
    q = np.linspace(-1.0, 1.0, chain.dof)
    harness.assert_same_pose(chain.pose(q), poe_forward_kinematics(SimpleNamespace(joints=records), q))


def check_body(obj):
    if isinstance(obj, Joint):
        obj = KinBody("one", [obj])
    if isinstance(obj, KinBody):
        for joint in obj.joints:
            for array in (joint.T_left, joint.axis, joint.T_right):
                assert array.dtype == np.float64 and not array.flags.writeable
                assert np.isfinite(array).all()
        check_chain(Chain(obj))
    elif isinstance(obj, Chain):
        check_chain(obj)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, 3)
    try:
        if mode == 0:
            obj = KoviUnpickler(io.BytesIO(fdp.ConsumeBytes(sys.maxsize))).load()
        elif mode == 1:
            obj = Chain.__new__(Chain)
            obj.__setstate__(chain_state(fdp))
        elif mode == 2:
            obj = Joint.__new__(Joint)
            obj.__setstate__(joint_state(fdp))
        else:
            joints = [Joint(f"j{k}", np.eye(4), unit_axis(fdp), np.eye(4))
                      for k in range(fdp.ConsumeIntInRange(0, 3))]
            joints += joints[:fdp.ConsumeIntInRange(0, 1)]
            obj = KinBody.__new__(KinBody)
            obj.__setstate__(fdp.PickValueInList([["b", joints], {"name": "b", "joints": joints},
                                                  ("b",), None]))
    except SystemError:
        raise
    except Exception:  # noqa: BLE001 - a refusal is an allowed outcome
        return
    check_body(obj)


if __name__ == "__main__":
    harness.fuzz(test_one_input, modules=[sys.modules["kovi._kinbody"]])
