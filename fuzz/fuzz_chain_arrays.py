"""The compiled chain's array inputs.

The input picks a body (no joints, one prismatic joint, the SCARA arm,
a random chain of three), an entry (Chain.pose, poses with or without
out, link_poses, jacobian, jacobians, kovi.forward_kinematics) and its
joint values: numbers (NaN, infinities, huge and subnormal ones among
them) in a dtype, a shape, a memory layout (Fortran order, negative,
gapped or zero strides, read-only, misaligned) and a container (array,
list, tuple, nested, ragged, memoryview) of the input's choosing, and for
poses an output array that may be wrong in one way or share memory with Q.

What the entry must make of the values is what numpy makes of them, for
the chain reads anything but an array or a short list through
numpy.asarray: another shape is a ValueError (a TypeError for a scalar),
a dtype other than integer, floating point or object a TypeError, and so
is a bool, complex, str or bytes entry (of an object array, or of lists and
tuples, where numpy would read True as 1); a value that is not finite is a
ValueError, after a batch's `out` is checked.  An accepted input gives, bit for bit, the poses
of poe_forward_kinematics at the values as float64 (the chain's Jacobians:
those of the same values in a plain array), writes no input, and fills and
returns the `out` it was given; a refused one leaves `out` as it was.  Any
other exception is a finding.
"""

import math
import warnings

import atheris
import numpy as np
from chains import random_kinbody

import harness
import kovi
from kovi._chain import Chain, forward_kinematics
from kovi._kinbody import Joint, KinBody
from kovi.kinematics.poe_fk import poe_forward_kinematics

BODIES = [
    KinBody("none", []),
    KinBody("slide", [Joint("slide", np.eye(4), (0.0, 0.6, 0.8), np.eye(4), "prismatic")]),
    kovi.robots.scara(),
    random_kinbody(np.random.default_rng(7), 3)[0],
    # one joint more than the values a list may hold for the chain's own
    # reading, without numpy
    random_kinbody(np.random.default_rng(8), 33)[0],
]
CHAINS = [Chain(kb) for kb in BODIES]
ENTRIES = ("pose", "poses", "link_poses", "jacobian", "jacobians", "forward_kinematics")
BATCH_ENTRIES = ("poses", "jacobians")

SPECIAL = (0.0, -0.0, 1.0, -2.5, 5e-324, -2.2250738585072014e-308, 1e22, 1.7976931348623157e308,
           -1e300, 2.0 ** 63, math.nan, math.inf, -math.inf)
REAL_DTYPES = ("f8", "f4", "f2", "i1", "i2", "i4", "i8", "u1", "u2", "u8", ">f8", ">f4", ">i4")
OTHER_DTYPES = ("?", "c8", "c16", "O", "U12", "S12", "g", "M8[s]")
# The batch runner hands out chunks of about this many joint steps
# (chain.cpp); a long batch is one row longer than a chunk, so that two
# threads share it.
JOINT_STEPS_PER_CHUNK = 4096
# An empty batch of a chain without joints may be as long as this: it
# holds no values and asks for no Jacobian elements.
HUGE_EMPTY_BATCH = 2 ** 40


class Case:
    """One call built from the input bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.body_index = self.pick(len(BODIES))
        self.kb, self.chain = BODIES[self.body_index], CHAINS[self.body_index]
        self.dof = self.kb.dof
        self.entry = ENTRIES[self.pick(len(ENTRIES))]
        self.batch = self.entry in BATCH_ENTRIES
        self.threads = (1, 2, 3, 1, 2, 3, 0, -1)[self.pick(8)]
        self.frame = ("world", "local", "world", "local", "World", None)[self.pick(6)]
        self.out = None
        self.shares_memory = False

    def pick(self, count):
        return self.fdp.ConsumeIntInRange(0, count - 1)

    def number(self):
        if self.pick(8) == 0:
            return SPECIAL[self.pick(len(SPECIAL))]
        if self.pick(4) == 0:
            return float(self.fdp.ConsumeIntInRange(-300, 300))
        return self.fdp.ConsumeFloatInRange(-10.0, 10.0)

    def shape(self):
        """The shape the entry asks for, or one of the wrong ones."""
        d = self.dof
        if self.batch:
            rows = self.pick(6)
            shapes = [(rows, d)] * 6 + [(d,), (rows, d + 1), (rows, d, 1), (), (1, rows, d)]
            if d:
                shapes.append((rows, d - 1))
        else:
            shapes = [(d,)] * 6 + [(), (d + 1,), (1, d), (d, 1), (2, 2, d), (0,)]
            if d:
                shapes.append((d - 1,))
        return shapes[self.pick(len(shapes))]

    def base_array(self, shape, dtype):
        """An array of the shape and dtype with numbers from the input."""
        count = math.prod(shape)
        numbers = np.array([self.number() for _ in range(min(count, 64))] or [0.0])
        values = np.resize(numbers, count).reshape(shape)
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")  # NaN to int, huge to float16: whatever numpy makes
            if dtype[0] in "US":
                return values.astype(str).astype(dtype)
            if dtype[0] == "M":
                return values.astype("i8").astype(dtype)
            return values.astype(dtype)

    def layout(self, array):
        """The same values (or the first row of them, broadcast) in
        another memory layout."""
        kind = self.pick(8)
        if kind == 1:
            return np.asfortranarray(array)
        if kind == 2 and array.ndim:
            flip = (slice(None, None, -1),) * array.ndim
            return np.ascontiguousarray(array[flip])[flip]
        if kind == 3 and array.ndim:
            return np.repeat(array, 2, axis=-1)[..., ::2]
        if kind == 4 and array.ndim and array.shape[0]:
            return np.broadcast_to(array[:1], array.shape)
        if kind == 5:
            array = array.copy()
            array.flags.writeable = False
            return array
        if kind == 6 and array.dtype != object:
            offset = 1 + self.pick(7)
            raw = bytearray(array.nbytes + offset)
            view = np.frombuffer(raw, array.dtype, array.size, offset).reshape(array.shape)
            view[...] = array
            return view
        return array

    def container(self, array):
        """The array itself, or the same values in another container."""
        kind = self.pick(10)
        if kind == 1:
            return array.tolist()
        if kind == 2:
            return nested_tuples(array.tolist())
        if kind == 3 and array.ndim:
            return list(array)  # numpy scalars, or the rows as arrays
        if kind == 4 and array.dtype.kind in "biufc" and array.ndim:
            return memoryview(np.ascontiguousarray(array))
        if kind == 5 and array.ndim and array.size:
            ragged = array.tolist()
            ragged[-1] = [ragged[-1], 0.0] if array.ndim == 1 else ragged[-1][:-1]
            return ragged
        if kind == 6 and array.ndim == 1 and array.dtype.kind in "iu":
            return range(len(array)) if array.size else range(0)
        return array

    def values(self):
        if self.dof == 0 and self.entry == "jacobians" and self.pick(8) == 0:
            return np.empty((HUGE_EMPTY_BATCH, 0))
        shape = self.shape()
        if self.batch and shape[:1] and self.pick(64) == 0:
            # one row repeated (zero strides), so that the expected poses are few
            rows = JOINT_STEPS_PER_CHUNK // max(self.dof, 1) + 1
            return np.broadcast_to(self.base_array(shape[1:], "f8"), (rows, *shape[1:]))
        dtypes = REAL_DTYPES * 3 + OTHER_DTYPES
        array = self.base_array(shape, dtypes[self.pick(len(dtypes))])
        if self.entry == "poses" and self.pick(4) == 0:
            return self.with_shared_output(array)
        return self.container(self.layout(array))

    def with_shared_output(self, array):
        """Q (as float64) and a matching `out` placed in one buffer, at
        offsets of the input's choosing, overlapping or not."""
        rows = array.shape[0] if array.ndim else 1
        q_at, out_at = self.pick(40), self.pick(40)
        buffer = np.zeros(max(q_at + array.size, out_at + 16 * rows))
        Q = buffer[q_at:q_at + array.size].reshape(array.shape)
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")  # complex to float64: the real parts
            Q[...] = array.astype(np.float64)
        self.out = buffer[out_at:out_at + 16 * rows].reshape(rows, 4, 4)
        self.shares_memory = True
        return Q

    def output(self, rows):
        """`out` for poses: none, a good one in any layout, or one wrong in
        one way."""
        kind = self.pick(14)
        shape = (rows, 4, 4)
        if kind < 3:
            return None
        fills = np.arange(math.prod(shape), dtype=float).reshape(shape) + 0.5
        if kind == 3:
            return fills
        if kind == 4:
            return np.repeat(fills, 2, axis=2)[:, :, ::2]
        if kind == 5:
            return np.ascontiguousarray(fills[::-1])[::-1]
        if kind == 6:
            return np.asfortranarray(fills)
        if kind == 7:
            return fills.view(Subclass)
        if kind == 8:
            return fills.astype(("f4", ">f8", "i8")[self.pick(3)])
        if kind == 9:
            return np.zeros(((rows + 1, 4, 4), (rows, 16), (rows, 4, 3), (4, 4))[self.pick(4)])
        if kind == 10:
            fills.flags.writeable = False
            return fills
        if kind == 11:
            raw = bytearray(fills.nbytes + 8)
            view = np.frombuffer(raw, np.float64, fills.size, 1 + self.pick(7)).reshape(shape)
            view[...] = fills
            return view
        if kind == 12:
            return np.broadcast_to(fills[:1], shape)  # zero strides, read-only
        return fills.tolist()


class Subclass(np.ndarray):
    pass


def nested_tuples(values):
    return tuple(map(nested_tuples, values)) if isinstance(values, list) else values


NOT_REAL = (bool, np.bool_, complex, np.complexfloating, str, bytes)


def has_refused_entry(given):
    """A bool, complex, str or bytes among the entries of nested lists and
    tuples (or an array of such a dtype among them)."""
    if isinstance(given, np.ndarray):
        return given.dtype.kind in "bcUS"
    if isinstance(given, (list, tuple)):
        return any(map(has_refused_entry, given))
    return isinstance(given, NOT_REAL)


def joint_values(given, shape_fits):
    """What the chain must make of `given`: the values as float64 (finite
    or not: the batches check out first), or the exception type it must
    raise."""
    try:
        array = np.asarray(given)
    except ValueError:  # ragged
        return ValueError
    if not shape_fits(array.shape):
        return TypeError if array.ndim == 0 and not isinstance(given, np.ndarray) else ValueError
    # float128 too is read, each value rounded to the nearest float64;
    # object entries are read by float(), after the refused kinds
    if array.dtype.kind not in "iufO":
        return TypeError
    if isinstance(given, (list, tuple)) and has_refused_entry(given):
        return TypeError
    if array.dtype.kind == "O":
        values = np.empty(array.shape)
        for index, x in np.ndenumerate(array):
            if isinstance(x, NOT_REAL):
                return TypeError
            try:
                values[index] = float(x)
            except OverflowError:
                return ValueError
            except (TypeError, ValueError):
                return TypeError
        return values
    return array.astype(np.float64)


def output_error(out, rows):
    """The exception type that `out` must get, or None."""
    if out is None:
        return None
    if not isinstance(out, np.ndarray):
        return TypeError
    if out.dtype != np.float64 or not out.dtype.isnative:
        return TypeError
    if out.shape != (rows, 4, 4) or not out.flags.writeable or not out.flags.aligned:
        return ValueError
    return None


def expected_outcome(case, values):
    """What the call must do with the joint values' reading `values`: the
    float64 values to accept, or the exception type to raise, in the order
    the entry checks its arguments."""
    if case.entry in ("jacobian", "jacobians") and case.frame not in ("world", "local"):
        return ValueError
    if case.batch and case.threads < 1:
        return ValueError
    if isinstance(values, type):
        return values
    if case.entry == "poses":
        error = output_error(case.out, len(values))
        if error is not None:
            return error
    if not np.isfinite(values).all():
        return ValueError
    return values


def call(case, given):
    chain = case.chain
    if case.entry == "pose":
        return chain.pose(given)
    if case.entry == "poses":
        return chain.poses(given, out=case.out, threads=case.threads)
    if case.entry == "link_poses":
        return chain.link_poses(given)
    if case.entry == "jacobian":
        return chain.jacobian(given, frame=case.frame)
    if case.entry == "jacobians":
        return chain.jacobians(given, frame=case.frame, threads=case.threads)
    return forward_kinematics(case.kb, given)


def check_result(case, values, result):
    """An accepted call's result against the core's poses (and the chain's
    Jacobians of a plain array) of the same values."""
    if case.entry in ("pose", "forward_kinematics"):
        harness.assert_same_pose(result, poe_forward_kinematics(case.kb, values))
    elif case.entry == "link_poses":
        assert result.shape == (case.dof + 1, 4, 4), result.shape
        harness.assert_same_pose(result[-1], poe_forward_kinematics(case.kb, values))
    elif case.entry == "jacobian":
        harness.assert_same_pose(result, case.chain.jacobian(np.array(values), frame=case.frame))
    else:
        single = case.chain.pose if case.entry == "poses" else \
            lambda row: case.chain.jacobian(row, frame=case.frame)
        want = poe_forward_kinematics if case.entry == "poses" else lambda kb, row: single(row)
        assert result.shape[0] == len(values), (result.shape, values.shape)
        if values.size == 0:
            assert result.shape == (len(values), *single(np.zeros(case.dof)).shape)
            return
        # each distinct row (to the bit: -0.0 is not 0.0) computed once
        rows = np.ascontiguousarray(values).view(f"V{8 * case.dof}").ravel()
        _, first, inverse = np.unique(rows, return_index=True, return_inverse=True)
        expected = np.stack([want(case.kb, values[i].copy()) for i in first])
        harness.assert_same_pose(result, expected[inverse])


def test_one_input(data):
    case = Case(data)
    given = case.values()
    if case.batch:
        values = joint_values(given, lambda shape: len(shape) == 2 and shape[1] == case.dof)
    else:
        values = joint_values(given, lambda shape: shape == (case.dof,))
    if case.entry == "poses" and not case.shares_memory:
        case.out = case.output(len(values) if isinstance(values, np.ndarray) else case.pick(3))
    expected = expected_outcome(case, values)
    out_before = case.out.tobytes() if isinstance(case.out, np.ndarray) else None
    given_before = given.tobytes() if isinstance(given, np.ndarray) else None
    try:
        result = call(case, given)
    except (TypeError, ValueError) as exc:
        if expected is not type(exc):
            raise harness.Finding(f"{case.entry} refused with {exc!r}, expected "
                                  f"{getattr(expected, '__name__', 'a result')}") from exc
        if out_before is not None and case.out.tobytes() != out_before:
            raise harness.Finding(f"{case.entry} refused ({exc!r}) but wrote into out") from exc
        return
    if isinstance(expected, type):
        raise harness.Finding(f"{case.entry} accepted what should raise {expected.__name__}")
    if case.out is not None and result is not case.out:
        raise harness.Finding("poses did not return the out it was given")
    if given_before is not None and not case.shares_memory and given.tobytes() != given_before:
        raise harness.Finding(f"{case.entry} wrote into its input")
    check_result(case, expected, result)


if __name__ == "__main__":
    harness.fuzz(test_one_input)
