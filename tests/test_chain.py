"""kovi._chain: compiled chains and the checked forward_kinematics.

Poses are compared bit for bit with the core's poe_forward_kinematics,
Jacobians with finite differences of those poses and with Pinocchio.
"""

import math
import os
from fractions import Fraction
import pickle
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import tracemalloc
from types import SimpleNamespace

import numpy as np

import kovi
import pytest
from chains import pinocchio_model, random_kinbody
from helpers import REPO, assert_answers_ctrl_c

from kovi._chain import Chain, forward_kinematics
from kovi._kinbody import Joint, KinBody
from kovi.robots._samples import SAMPLE_BODIES, panda, sample_configuration


def sample_cases():
    return [(make(), sample_configuration(name)) for name, make in SAMPLE_BODIES.items()]


def random_cases(seeds, sizes):
    return [random_kinbody(np.random.default_rng(seed), n) for seed, n in zip(seeds, sizes)]


def bits(a):
    return np.ascontiguousarray(a).tobytes()


BODIES = sample_cases() + random_cases(range(16), [0, 1, 2, 3, 5, 7, 8, 12, 16, 20, 24, 27, 30,
                                                   31, 32, 32])


@pytest.mark.parametrize("kb, q", BODIES, ids=lambda v: getattr(v, "name", None))
def test_poses_are_the_core_poses_bit_for_bit(fk, kb, q):
    chain = Chain(kb)
    assert bits(chain.pose(q)) == bits(fk(kb, q))
    frames = chain.link_poses(q)
    assert frames.shape == (kb.dof + 1, 4, 4)
    for k in range(kb.dof + 1):  # frame k: the pose after joint k - 1's T_right
        assert bits(frames[k]) == bits(fk(KinBody("head", kb.joints[:k]), q[:k])), k
    rng = np.random.default_rng(kb.dof)
    Q = np.vstack([q, rng.uniform(-4.0, 4.0, size=(40, kb.dof)), rng.uniform(-1e3, 1e3, (3, kb.dof))])
    want = b"".join(bits(fk(kb, row)) for row in Q)
    for threads in (1, 2, 3):
        assert bits(chain.poses(Q, threads=threads)) == want


@pytest.mark.parametrize("x", [0.5, -2.0, math.pi, 1e-300, 1e5, 1e22, 1e300, -7.25e15])
def test_cos_and_sin_are_math_cos_and_sin(x):
    # one turn about z between identities: the pose's first column is (cos, sin)
    kb = KinBody("z", [Joint("z", np.eye(4), (0.0, 0.0, 1.0), np.eye(4))])
    pose = Chain(kb).pose([x])
    assert (pose[0, 0], pose[1, 0]) == (math.cos(x), math.sin(x))


def test_cos_and_sin_are_never_merged_into_sincos():
    import kovi._chain
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    symbols = subprocess.run(["nm", "-D", "--undefined-only", kovi._chain.__file__],
                             capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1].split("@")[0] for line in symbols.splitlines()}
    assert {"cos", "sin"} <= names and not {n for n in names if "sincos" in n}


def finite_difference_jacobian(chain, q, frame, h=1e-6):
    R = chain.pose(q)[:3, :3]
    J = np.empty((6, chain.dof))
    for i in range(chain.dof):
        step = np.zeros(chain.dof)
        step[i] = h
        dT = (chain.pose(q + step) - chain.pose(q - step)) / (2 * h)
        W = dT[:3, :3] @ R.T  # the skew matrix of the angular velocity
        J[:3, i], J[3:, i] = dT[:3, 3], (W[2, 1], W[0, 2], W[1, 0])
    if frame == "local":
        J[:3], J[3:] = R.T @ J[:3], R.T @ J[3:]
    return J


JACOBIAN_BODIES = sample_cases() + random_cases(range(100, 106), [1, 2, 4, 6, 7, 9])


@pytest.mark.parametrize("frame", ["world", "local"])
@pytest.mark.parametrize("kb, q", JACOBIAN_BODIES, ids=lambda v: getattr(v, "name", None))
def test_jacobian_is_the_derivative_of_the_pose(kb, q, frame):
    chain = Chain(kb)
    J = chain.jacobian(q, frame=frame)
    want = finite_difference_jacobian(chain, q, frame)
    np.testing.assert_allclose(J, want, rtol=1e-6, atol=1e-6 * max(1.0, np.abs(want).max()))
    Q = np.random.default_rng(1).uniform(-3, 3, size=(5, kb.dof))
    for threads in (1, 2):
        batch = chain.jacobians(Q, frame=frame, threads=threads)
        assert bits(batch) == b"".join(bits(chain.jacobian(row, frame)) for row in Q)


@pytest.mark.parametrize("kb, q", JACOBIAN_BODIES, ids=lambda v: getattr(v, "name", None))
def test_jacobian_matches_pinocchio(kb, q):
    pin = pytest.importorskip("pinocchio")
    model, end = pinocchio_model(pin, kb)
    data = model.createData()
    chain = Chain(kb)
    for name, frame in (("world", pin.LOCAL_WORLD_ALIGNED), ("local", pin.LOCAL)):
        want = np.reshape(pin.computeFrameJacobian(model, data, q, end, frame), (6, -1))
        np.testing.assert_allclose(chain.jacobian(q, frame=name), want, rtol=0, atol=1e-12)
    pin.updateFramePlacements(model, data)
    np.testing.assert_allclose(chain.pose(q), data.oMf[end].homogeneous, rtol=0, atol=1e-12)


# --- joint values: the checked entry and Chain.pose share one set of checks

class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


PANDA_DOF = 7
GOOD_Q = [
    [0.1 * i for i in range(7)],
    tuple(range(7)),
    [1, 0.5, 2, 0.25, -1, 3, 7],
    np.linspace(-1, 1, 7, dtype=np.float32),
    np.arange(7, dtype=np.int16),
    np.linspace(-1, 1, 14)[::2],
    np.linspace(-1, 1, 7).astype(">f8"),
    [np.float64(0.3)] * 7,
    [2**64] + [0] * 6,
    [Fraction(1, 3)] * 7,
    [FloatLike(0.25)] * 7,
]


@pytest.mark.parametrize("q", GOOD_Q, ids=range(len(GOOD_Q)))
def test_accepted_joint_values_give_the_core_pose(fk, q):
    kb = panda()
    assert bits(forward_kinematics(kb, q)) == bits(fk(kb, q))
    assert bits(Chain(kb).pose(q)) == bits(fk(kb, q))


@pytest.mark.parametrize("entry", ["forward_kinematics", "pose", "poses"])
def test_longdouble_values_give_the_poses_of_their_float64_values(entry):
    kb = panda()
    call = {"forward_kinematics": lambda q: forward_kinematics(kb, q),
            "pose": Chain(kb).pose,
            "poses": lambda q: Chain(kb).poses(np.vstack([q, -q]))}[entry]
    q = np.linspace(-1, 1, 7, dtype=np.longdouble) / 3
    assert bits(call(q)) == bits(call(q.astype(float)))


def with_value(value, at=2, dtype=float):
    q = np.zeros(PANDA_DOF, dtype=dtype)
    q[at] = value
    return q


BAD_Q = [
    ([0.0] * 6, ValueError, "expected 7 joint values, got 6"),
    (np.zeros(8), ValueError, "expected 7 joint values, got 8"),
    (with_value(math.nan), ValueError, r"q\[2\] is nan"),
    (with_value(math.inf), ValueError, r"q\[2\] is inf"),
    (with_value(-math.inf, at=6, dtype=np.float32), ValueError, r"q\[6\] is -inf"),
    ([0.0, 0.0, math.nan] + [0.0] * 4, ValueError, r"q\[2\] is nan"),
    (np.zeros((1, 7)), ValueError, r"one-dimensional with 7 joint values, got shape \(1, 7\)"),
    ([[0.0] * 7, [0.0]], ValueError, "one-dimensional with 7 joint values, got a ragged"),
    (None, TypeError, "one-dimensional with 7 joint values, got None"),
    (1.5, TypeError, "one-dimensional with 7 joint values, got float"),
    (np.zeros(7, dtype=complex), TypeError, "real numbers, got dtype complex128"),
    ([0.0] * 6 + [1j], TypeError, "real numbers, got dtype complex128"),
    (["0"] * 7, TypeError, "real numbers, got dtype <U1"),
    (np.zeros(7, dtype=bool), TypeError, "real numbers, got dtype bool"),
    # one rule for entries, whatever holds them: no bool, complex, str, bytes
    ([0.0] * 6 + [True], TypeError, "real numbers, got an entry of type bool"),
    ((1,) * 6 + (np.bool_(True),), TypeError, "real numbers, got an entry of type numpy.bool"),
    (np.array([0.0] * 6 + ["1"], dtype=object), TypeError, "got an entry of type str"),
    (np.array([0.0] * 6 + [b"1"], dtype=object), TypeError, "got an entry of type bytes"),
    (np.array([0.0] * 6 + [10**400], dtype=object), ValueError, "too large for float64"),
]


@pytest.mark.parametrize("entry", ["forward_kinematics", "pose", "link_poses", "jacobian"])
@pytest.mark.parametrize("q, error, message", BAD_Q, ids=range(len(BAD_Q)))
def test_bad_joint_values_are_refused(entry, q, error, message):
    kb = panda()
    call = {"forward_kinematics": lambda: forward_kinematics(kb, q),
            "pose": lambda: Chain(kb).pose(q),
            "link_poses": lambda: Chain(kb).link_poses(q),
            "jacobian": lambda: Chain(kb).jacobian(q)}[entry]
    with pytest.raises(error, match=message):
        call()


class NanList(list):
    def __getitem__(self, i):
        return math.nan


class NanTuple(tuple):
    def __getitem__(self, i):
        return math.nan


class NanArray(np.ndarray):
    def __getitem__(self, i):
        return math.nan


@pytest.mark.parametrize("make", [NanList, NanTuple, lambda q: np.asarray(q).view(NanArray)],
                         ids=["list", "tuple", "ndarray"])
def test_a_subclass_s_checked_values_are_the_values_used(fk, make):
    kb, q = panda(), sample_configuration("panda")
    given = make(q)
    assert bits(forward_kinematics(kb, given)) == bits(fk(kb, np.asarray(given, float)))


def python_forward_kinematics(kb, q):
    """What a Python function of the same parameters says when misused."""


@pytest.mark.parametrize("args, kwargs", [
    ((1,), {}), ((1, 2, 3), {}), ((), {}), ((), {"q": 1}), ((1,), {"x": 1}),
    ((1,), {"kb": 1}), ((1, 2), {"q": 2}),
])
def test_argument_errors_are_those_of_a_python_function(args, kwargs):
    with pytest.raises(TypeError) as python:
        python_forward_kinematics(*args, **kwargs)
    with pytest.raises(TypeError) as native:
        forward_kinematics(*args, **kwargs)
    assert str(native.value) == str(python.value).replace("python_", "")


def test_arguments_bind_by_keyword():
    kb, q = panda(), sample_configuration("panda")
    assert bits(forward_kinematics(q=q, kb=kb)) == bits(forward_kinematics(kb, q=q))


@pytest.mark.parametrize("kb", [{}, SimpleNamespace(joints=[{}]), SimpleNamespace(joints=5)],
                         ids=["no joints attribute", "joint of a dict", "joints not a sequence"])
def test_the_core_s_own_errors_pass_through(fk, kb):
    with pytest.raises(Exception) as core:
        fk(kb, [0.0])
    with pytest.raises(type(core.value)) as checked:
        forward_kinematics(kb, [0.0])
    assert str(checked.value) == str(core.value)


class Refusal(Exception):
    pass


@pytest.mark.parametrize("error", [Refusal, KeyboardInterrupt])
def test_an_error_reading_the_joints_is_raised(error):
    class FirstReadFails:
        reads = 0

        @property
        def joints(self):
            self.reads += 1
            if self.reads == 1:
                raise error("joints")
            return panda().joints
    with pytest.raises(error, match="joints"):
        forward_kinematics(FirstReadFails(), sample_configuration("panda"))


# --- batches

def out_array(shape=(3, 4, 4), dtype=float, writeable=True):
    out = np.zeros(shape, dtype=dtype)
    out.flags.writeable = writeable
    return out


BAD_BATCH = [
    ({"Q": np.zeros((3, 6))}, ValueError, r"Q must have shape \(N, 7\), got shape \(3, 6\)"),
    ({"Q": np.zeros(7)}, ValueError, r"Q must have shape \(N, 7\), got shape \(7,\)"),
    ({"Q": None}, TypeError, r"Q must have shape \(N, 7\), got None"),
    ({"Q": np.zeros((3, 7), complex)}, TypeError, "Q must hold real numbers, got dtype complex128"),
    ({"Q": np.where(np.arange(21).reshape(3, 7) == 11, np.nan, 0.0)}, ValueError,
     r"Q\[1, 4\] is nan"),
    ({"out": out_array(dtype=np.float32)}, TypeError, "out must have dtype float64"),
    ({"out": out_array(shape=(2, 4, 4))}, ValueError, r"out must have shape \(3, 4, 4\), got \(2, 4, 4\)"),
    ({"out": out_array(shape=(3, 16))}, ValueError, r"out must have shape \(3, 4, 4\)"),
    ({"out": out_array(writeable=False)}, ValueError, "out is read-only"),
    ({"out": [[0.0] * 4] * 4}, TypeError, "out must be a float64 numpy array"),
    ({"threads": 0}, ValueError, "threads must be a positive int, got 0"),
    ({"threads": True}, TypeError, "threads must be a positive int, got bool"),
    ({"threads": 2.0}, TypeError, "threads must be a positive int, got float"),
    ({"Q": [[0.0] * 6 + [True]] * 3}, TypeError, "Q must hold real numbers, got an entry of type bool"),
]


@pytest.mark.parametrize("kwargs, error, message", BAD_BATCH, ids=range(len(BAD_BATCH)))
def test_bad_batches_are_refused(kwargs, error, message):
    kwargs = {"Q": np.zeros((3, 7)), **kwargs}
    with pytest.raises(error, match=message):
        Chain(panda()).poses(**kwargs)
    if "out" not in kwargs:
        with pytest.raises(error, match=message):
            Chain(panda()).jacobians(**kwargs)


def test_a_bad_row_writes_nothing():
    Q = np.ones((1000, 7))
    Q[-1, 0] = np.nan
    out = np.zeros((1000, 4, 4))
    with pytest.raises(ValueError, match=r"Q\[999, 0\] is nan"):
        Chain(panda()).poses(Q, out=out)
    assert not out.any()


def test_object_entries_give_the_poses_of_their_values():
    chain = Chain(panda())
    Q = [[Fraction(k, 7)] * 7 for k in range(3)]
    assert bits(chain.poses(np.array(Q, dtype=object))) == bits(chain.poses(np.array(Q, float)))
    rows = [np.array(row, dtype=object) for row in Q]   # numpy makes an object array of these
    assert bits(chain.jacobians(rows)) == bits(chain.jacobians(np.array(Q, float)))


def test_a_chain_given_for_a_body_is_named():
    with pytest.raises(TypeError, match=r"expects a kovi.KinBody.*chain.pose\(q\)"):
        forward_kinematics(Chain(panda()), np.zeros(7))


def test_bad_frames_and_bodies_are_refused():
    chain = Chain(panda())
    for frame in ("World", None):
        with pytest.raises(ValueError, match="frame must be 'world' or 'local'"):
            chain.jacobian(np.zeros(7), frame=frame)
    for body in (None, SimpleNamespace(name="x", joints=[]), "panda"):
        with pytest.raises(TypeError, match="Chain needs a kovi.KinBody"):
            Chain(body)


def test_any_input_layout_and_output_layout_gives_the_same_poses():
    chain = Chain(panda())
    # values a float32 holds exactly, so every dtype below carries the same numbers
    Q = np.random.default_rng(3).uniform(-3, 3, size=(50, 7)).astype(np.float32).astype(float)
    want = bits(chain.poses(Q))
    for layout in (np.asfortranarray(Q), np.repeat(Q, 2, axis=1)[:, ::2], Q.astype(">f8"),
                   Q.astype(np.float32), Q.tolist()):
        assert bits(chain.poses(layout)) == want
    strided = np.zeros((50, 4, 8))[:, :, ::2]
    assert chain.poses(Q, out=strided) is strided and bits(strided) == want
    # Q inside out's memory, each row behind the pose written before it:
    # Q's values are all read before any write
    shared = np.zeros((50, 4, 4))
    view = shared.reshape(-1)[16:16 + Q.size].reshape(Q.shape)
    view[:] = Q
    assert bits(chain.poses(view, out=shared)) == want


def test_threads_calling_at_once_get_the_same_bytes():
    kb, _ = random_kinbody(np.random.default_rng(5), 12)
    chain = Chain(kb)
    Q = np.random.default_rng(6).uniform(-3, 3, size=(20000, 12))
    want = bits(chain.poses(Q))
    got = [None] * 4

    def run(k):
        got[k] = bits(chain.poses(Q, threads=1 + k % 2))
    workers = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert got == [want] * 4


@pytest.mark.filterwarnings("ignore:Setting the shape:DeprecationWarning")
@pytest.mark.parametrize("toggled", ["out", "Q"])
def test_a_thread_setting_an_array_s_shape_leaves_the_batch_whole(toggled):
    # Each shape of the toggle spans the same memory (nothing is read or
    # written out of bounds either way); a batch that read the shape while
    # it ran would read or write the rows in the wrong places.
    chain, rows = Chain(panda()), 200_000
    Q = np.random.default_rng(7).uniform(-3, 3, size=(rows, 7))
    want = bits(chain.poses(Q))
    out = np.zeros((rows, 4, 4))
    array, shapes = {"out": (out, [(4 * rows, 2, 2), out.shape]),
                     "Q": (Q, [(7 * rows, 1), Q.shape])}[toggled]
    stop = False

    def toggle():
        while not stop:
            for shape in shapes:
                array.shape = shape
    toggler = threading.Thread(target=toggle)
    toggler.start()
    done = 0
    try:
        while done < 3:
            try:
                chain.poses(Q, out=out)
            except ValueError:  # the toggle had the shape wrong at the call: retry
                continue
            assert bits(out) == want
            out[:] = 0.0
            done += 1
    finally:
        stop = True
        toggler.join()


def test_poses_allocate_only_their_output():
    chain = Chain(panda())
    Q = np.random.default_rng(0).uniform(-3, 3, size=(100_000, 7))
    tracemalloc.start()
    try:
        poses = chain.poses(Q, threads=2)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < poses.nbytes + 64 * 1024


# Each script answers SIGINT with KeyboardInterrupt even when started from
# a shell's background job, which starts its children with SIGINT ignored.
INTERRUPTED_BATCH = """
import signal, sys, time
import numpy as np
signal.signal(signal.SIGINT, signal.default_int_handler)

import kovi
from chains import pinocchio_model, random_kinbody
from kovi._chain import Chain

threads = int(sys.argv[1])
kb, q = random_kinbody(np.random.default_rng(0), 32)
chain = Chain(kb)
start = time.perf_counter()
chain.poses(np.broadcast_to(q, (20000, 32)))
rows = int(4.0 / ((time.perf_counter() - start) / 20000))   # about 4 s of work
print(rows, flush=True)
try:
    chain.poses(np.broadcast_to(q, (rows, 32)), threads=threads)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


INTERRUPTED_SCAN = """
import signal, sys
import numpy as np
signal.signal(signal.SIGINT, signal.default_int_handler)
from kovi._chain import Chain
from kovi._kinbody import panda

print(1, flush=True)
try:
    Chain(panda()).poses(np.broadcast_to(np.zeros(7), (2**33, 7)), threads=int(sys.argv[1]))
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("script", ["INTERRUPTED_BATCH", "INTERRUPTED_SCAN"])
def test_a_long_batch_answers_ctrl_c(threads, script):
    # INTERRUPTED_SCAN: in the scan of the values, before any pose
    assert_answers_ctrl_c(globals()[script], str(threads))


EXIT_DURING_BATCH = """
import sys, threading, time
import numpy as np

import kovi
from kovi._chain import Chain
from kovi.robots._samples import panda

chain, Q = Chain(panda()), np.zeros((500_000, 7))
def loop():
    while True:
        chain.poses(Q, threads=int(sys.argv[1]))
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
"""


# The main thread runs a batch in a finalizer during the shutdown itself.
BATCH_DURING_EXIT = """
import sys
import numpy as np

import kovi
from kovi._chain import Chain
from kovi.robots._samples import panda

class Late:
    def __init__(self):
        self.chain, self.Q = Chain(panda()), np.zeros((300_000, 7))
        self.threads = int(sys.argv[1])
    def __del__(self):
        print(self.chain.poses(self.Q, threads=self.threads).shape, flush=True)

late = Late()
"""


@pytest.mark.parametrize("script", [EXIT_DURING_BATCH, BATCH_DURING_EXIT])
@pytest.mark.parametrize("threads", [1, 2])
def test_the_program_ends_cleanly_with_a_batch_at_exit(script, threads):
    done = subprocess.run([sys.executable, "-c", script, str(threads)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "terminate" not in done.stderr, done.stderr
    assert done.stdout == ("" if script is EXIT_DURING_BATCH else "(300000, 4, 4)\n")


def test_pickles_repr_and_attributes():
    kb, q = random_kinbody(np.random.default_rng(9), 9)
    chain = Chain(kb)
    copy = pickle.loads(pickle.dumps(chain))
    assert bits(copy.pose(q)) == bits(chain.pose(q))
    assert (copy.dof, copy.joint_names, copy.name) == (9, kb.joint_names, kb.name)
    assert repr(Chain(panda())) == "Chain('panda', RRRRRRR)"
    # Names are copied whole, NUL characters included.
    named = Chain(KinBody("r\0x", [Joint("a\0b", np.eye(4), [0, 0, 1], np.eye(4))]))
    copy = pickle.loads(pickle.dumps(named))
    assert (copy.name, copy.joint_names) == ("r\0x", ("a\0b",))
    blank = Chain.__new__(Chain)
    for state in ((), ("x", ("a",), "X", bytes(27 * 8)), ("x", ("a",), "R", bytes(8))):
        with pytest.raises((TypeError, ValueError)):
            blank.__setstate__(state)


@pytest.mark.parametrize("body_name, joint_name", [("\udc80body", "j"), ("b", "j\ud800\0x")])
def test_names_with_lone_surrogates_are_kept(body_name, joint_name):
    kb = KinBody(body_name, [Joint(joint_name, np.eye(4), [0, 0, 1], np.eye(4))])
    for chain in (Chain(kb), pickle.loads(pickle.dumps(Chain(kb)))):
        assert (chain.name, chain.joint_names) == (body_name, (joint_name,))
        assert repr(chain) == f"Chain({body_name!r}, R)"


def test_dask_cluster_gives_the_same_bytes():
    da = pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    chain = Chain(panda())
    Q = np.random.default_rng(4).uniform(-3, 3, size=(4000, 7))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        blocks = da.from_array(Q, chunks=(1000, 7))
        poses = blocks.map_blocks(lambda block: chain.poses(block), dtype=np.float64,
                                  chunks=(blocks.chunks[0], (4,), (4,)), new_axis=2)
        assert bits(poses.compute()) == bits(chain.poses(Q))


@pytest.mark.parametrize("dtype", [">f8", ">f4", ">i4", "u8", "i2", "f4"])
def test_a_memoryview_gives_the_pose_of_its_values(fk, dtype):
    # memoryview cannot index most of these formats: the core gets the values checked
    kb = panda()
    values = np.arange(-3, 4).astype(dtype)
    want = bits(fk(kb, values.astype(float)))
    assert bits(forward_kinematics(kb, memoryview(values))) == want
    assert bits(Chain(kb).pose(memoryview(values))) == want


EMPTY_ROWS = """
import numpy as np

import kovi
from kovi._chain import Chain
from kovi._kinbody import KinBody
chain, Q = Chain(KinBody("none", [])), np.empty((2 ** 40, 0))
print(chain.jacobians(Q, threads=2).shape)
try:
    chain.poses(Q)
except MemoryError:
    print("MemoryError")
"""


def test_a_chain_without_joints_spends_nothing_on_empty_rows():
    # 2**40 rows of no values hold no memory; a pass over them would take hours
    # (under AddressSanitizer too, whose allocator would otherwise abort)
    options = os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"
    done = subprocess.run([sys.executable, "-c", EMPTY_ROWS], capture_output=True, text=True,
                          timeout=60, env={**os.environ, "ASAN_OPTIONS": options})
    assert done.stdout.split("\n")[:2] == ["(1099511627776, 6, 0)", "MemoryError"], done.stderr


# --- limits

@pytest.mark.parametrize("make", [kovi.robots.panda, kovi.robots.scara])
def test_limits_are_the_bodys_and_survive_pickling(make):
    kb = make()
    chain = Chain(kb)
    expected = [j.limits if j.limits is not None else (-np.inf, np.inf) for j in kb.joints]
    assert chain.limits.tolist() == [list(pair) for pair in expected]
    assert not chain.limits.flags.writeable
    assert pickle.loads(pickle.dumps(chain)).limits.tolist() == chain.limits.tolist()


def test_a_state_without_limits_gives_a_chain_without_limits():
    chain = Chain(panda())
    old = Chain.__new__(Chain)
    old.__setstate__(chain.__getstate__()[:4])
    assert np.array_equal(old.poses(np.ones((2, 7))), chain.poses(np.ones((2, 7))))
    assert np.isinf(old.limits).all()


# --- construction races, shutdown, states

def test_a_chain_being_built_refuses_a_second_constructor():
    # A body whose joints are slow to read lets another thread in while the
    # first constructor is under way; the second must not build over it.
    reading = threading.Event()

    class SlowBody(KinBody):
        def __getattribute__(self, attr):
            if attr == "joints":
                reading.set()
                time.sleep(0.3)
            return super().__getattribute__(attr)

    one = KinBody("one", [Joint("j", np.eye(4), [0, 0, 1], np.eye(4))])
    chain = Chain.__new__(Chain)
    first = threading.Thread(target=chain.__init__, args=(SlowBody("slow", panda().joints),))
    first.start()
    try:
        reading.wait(10)
        with pytest.raises(RuntimeError, match="already being initialised"):
            chain.__init__(one)
        with pytest.raises(RuntimeError, match="already being initialised"):
            chain.__setstate__(Chain(one).__getstate__())
    finally:
        first.join()
    Q = np.random.default_rng(3).uniform(-3, 3, size=(50, 7))
    assert bits(chain.poses(Q, threads=2)) == bits(Chain(panda()).poses(Q))
    with pytest.warns(RuntimeWarning), pytest.raises(TypeError):
        chain.__init__(one)   # nanobind's refusal of a ready instance


EXIT_DURING_JACOBIANS = """
import threading, time
import numpy as np
from kovi._chain import Chain
from kovi._kinbody import panda

chain, Q = Chain(panda()), np.zeros((20_000, 7))
def loop():
    while True:
        chain.jacobians(Q, threads=4)
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.25)
"""


def test_the_program_ends_silently_in_every_run_with_batches_at_exit():
    # The end of the program catches the daemon thread at a random point of
    # its loop: inside a batch, waiting for the lock, taking it back.
    runs, at_once = 200, 10
    failures = []
    for _ in range(runs // at_once):
        children = [subprocess.Popen([sys.executable, "-c", EXIT_DURING_JACOBIANS],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                    for _ in range(at_once)]
        for child in children:
            out, err = child.communicate(timeout=120)
            if child.returncode != 0 or out or err:
                failures.append((child.returncode, err[-300:]))
    assert not failures, f"{len(failures)} of {runs} runs: {failures[:3]}"


def edited_state(entry=None, value=None, names=None, limits=None):
    # the scara's state with one number (row, column of the 27 per joint),
    # the names or the limits replaced
    name, joint_names, kinds, packed, bounds, *_ = Chain(kovi.robots.scara()).__getstate__()
    values = np.frombuffer(packed, "<f8").reshape(-1, 27).copy()
    if entry is not None:
        values[entry] = value
    return (name, names or joint_names, kinds, values.astype("<f8").tobytes(),
            bounds if limits is None else np.array(limits, "<f8").tobytes())


@pytest.mark.parametrize("state, message", [
    (edited_state((1, 3), np.nan), r"joints\[1\]: T_left must be finite"),
    (edited_state((1, 20), -np.inf), r"joints\[1\]: T_right must be finite"),
    (edited_state((2, slice(12, 15)), 0.0), r"joints\[2\]: the axis"),
    (edited_state((0, slice(12, 15)), (0, 0, 2)), "unit length"),
    (edited_state((1, 12), np.nan), "unit length"),
    (edited_state(names=("a", "b", "a", "c")), r"joints\[2\] and joints\[0\] share a name"),
    (edited_state(names=("a", "", "c", "d")), "must not be empty"),
    (edited_state(limits=[[0, 1], [1, 0], [0, 1], [0, 1]]), "lower <= upper"),
    (edited_state(limits=[[0, 1], [np.nan, 1], [0, 1], [0, 1]]), "lower <= upper"),
])
def test_a_state_is_held_to_the_checks_of_a_body(state, message):
    with pytest.raises(ValueError, match="Chain state: .*" + message):
        Chain.__new__(Chain).__setstate__(state)


def test_a_state_s_numbers_are_little_endian_float64():
    kb = kovi.robots.scara()
    _, _, _, numbers, limits, _ = Chain(kb).__getstate__()
    want = [np.concatenate([j.T_left[:3].ravel(), j.axis, j.T_right[:3].ravel()]) for j in kb.joints]
    assert np.array_equal(np.frombuffer(numbers, "<f8").reshape(-1, 27), want)
    assert np.array_equal(np.frombuffer(limits, "<f8").reshape(-1, 2), Chain(kb).limits)


def test_threads_beyond_the_processors_start_no_more_threads():
    chain = Chain(panda())
    Q = np.zeros((400_000, 7))
    before = len(os.listdir("/proc/self/task"))
    seen, done = [], threading.Event()

    def watch():
        while not done.is_set():
            seen.append(len(os.listdir("/proc/self/task")))

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        chain.poses(Q, threads=10**6)
    finally:
        done.set()
        watcher.join()
    # the calling thread works too: cpu_count - 1 helpers at most, plus the watcher
    assert max(seen) <= before + 1 + (os.cpu_count() - 1)


def test_shapes_and_out_are_refused_before_the_values_are_scanned():
    chain = Chain(panda())
    Q = np.broadcast_to(np.zeros(7), (2**31, 7))
    start = time.perf_counter()
    with pytest.raises(ValueError, match="out must have shape"):
        chain.poses(Q, out=np.empty((2, 4, 4)))
    with pytest.raises(TypeError, match="threads"):
        chain.jacobians(Q, threads=True)
    assert time.perf_counter() - start < 0.1


