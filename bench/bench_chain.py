"""Benchmark kovi's compiled chains (kovi._chain) against their floor and peers.

Run from the repository root after installing the package (`make bench`
does both):

    python bench/bench_chain.py [--quick] [--rows N] [--rounds R]

For the Panda and the UR5, per pose of a batch of N configurations:

- floor: the same pose arithmetic in a plain C++ loop over the rows, from
  bench/chain_floor.cpp, which this script compiles with g++ -O2
  -ffp-contract=off against the shared pose accumulator header;
- Chain.poses with 1 and 2 threads;
- a Python loop over poe_forward_kinematics;
- Pinocchio: forwardKinematics in a Python loop, collecting the end pose as a
  4x4 array (model built from the body's own transforms);
- roboticstoolbox: the batch fkine of the same chain as an ETS.

Then per call: Chain.jacobian against Pinocchio's computeFrameJacobian, and
the checked forward_kinematics against the bare poe_forward_kinematics.
Last, the peak RSS of a 10^6-row batch, in a fresh interpreter.

Every peer is checked against the chain first (the floor to the bit, the
others to 1e-12).  Peers that are not installed are left out.  Timing is
interleaved: each round times every peer once, in an order that rotates
between rounds, and the tables report minima over rounds, so load on the
shared machine lands on all peers alike.  This is not a test: it prints
ratios and the issue's goals beside them.
"""

from __future__ import annotations

import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
FLOOR_SOURCE = REPO / "bench" / "chain_floor.cpp"
KINEMATICS_DIR = REPO / "src" / "kovi" / "kinematics"
TOLERANCE = 1e-12


# --- peers ----------------------------------------------------------------

def compile_floor(workdir):
    compiler = shutil.which("g++")
    if compiler is None:
        return None
    exe = Path(workdir) / "chain_floor"
    subprocess.run([compiler, "-std=c++20", "-O2", "-ffp-contract=off", "-fno-builtin-cos",
                    "-fno-builtin-sin", f"-I{KINEMATICS_DIR}", str(FLOOR_SOURCE), "-o", str(exe)],
                   check=True)
    return exe


def write_floor_input(path, kb, Q):
    with open(path, "wb") as f:
        np.array([kb.dof, len(Q)], dtype=np.int64).tofile(f)
        f.write("".join("P" if j.joint_type == "prismatic" else "R" for j in kb.joints).encode())
        for j in kb.joints:
            np.concatenate([j.T_left[:3].ravel(), j.axis, j.T_right[:3].ravel()]).tofile(f)
        np.ascontiguousarray(Q, dtype=np.float64).tofile(f)


def run_floor(exe, input_path, poses_path=None):
    cmd = [str(exe), str(input_path)] + ([str(poses_path)] if poses_path else [])
    return float(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout) * 1e-9


def pinocchio_peer(kb):
    try:
        import pinocchio as pin
    except ImportError:
        return None
    if str(REPO / "tests") not in sys.path:
        sys.path.insert(0, str(REPO / "tests"))
    from chains import pinocchio_model  # the tests' model of a body, checked there
    model, end = pinocchio_model(pin, kb)
    data = model.createData()

    def poses(Q, out):
        for i, q in enumerate(Q):
            pin.forwardKinematics(model, data, q)
            out[i] = pin.updateFramePlacement(model, data, end).homogeneous
        return out

    def jacobian(q):
        return pin.computeFrameJacobian(model, data, q, end, pin.LOCAL_WORLD_ALIGNED)

    return poses, jacobian


def roboticstoolbox_peer(kb):
    """The chain as an ETS: fixed transforms as SE3 elements, each joint an
    Rz (both sample bodies turn about the z axis of their T_left frame)."""
    try:
        import roboticstoolbox as rtb
        from spatialmath import SE3
    except ImportError:
        return None
    if any(j.joint_type != "revolute" or tuple(j.axis) != (0.0, 0.0, 1.0) for j in kb.joints):
        return None
    elements = []
    for j in kb.joints:
        if not np.array_equal(j.T_left, np.eye(4)):
            elements.append(rtb.ET.SE3(SE3(j.T_left, check=False)))
        elements.append(rtb.ET.Rz())
        if not np.array_equal(j.T_right, np.eye(4)):
            elements.append(rtb.ET.SE3(SE3(j.T_right, check=False)))
    ets = rtb.ETS(elements)

    def poses(Q, out):
        out[:] = ets.fkine(Q).A
        return out

    return poses


# --- timing ---------------------------------------------------------------

def interleaved_minima(timers, rounds):
    """{name: minimum seconds} over rounds; each timer returns the seconds of
    one measurement (already divided per pose or per call)."""
    names = list(timers)
    best = {name: math.inf for name in names}
    for r in range(rounds):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            best[name] = min(best[name], timers[name]())
    return best


def per_item(fn, items):
    def timer():
        start = time.perf_counter()
        fn()
        return (time.perf_counter() - start) / items
    return timer


def per_call(fn, target_s):
    """A timer of about target_s: short windows, so that the minimum over many
    rounds finds one that the machine's other load left alone."""
    start = time.perf_counter()
    fn()
    calls = max(5, int(target_s / max(time.perf_counter() - start, 1e-9)))

    def timer():
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        return (time.perf_counter() - start) / calls
    return timer


def fmt(seconds):
    return f"{seconds * 1e9:10.1f} ns" if seconds < 1e-5 else f"{seconds * 1e6:10.2f} us"


def goal(text, ok):
    return f"  goal: {text}: {'met' if ok else 'NOT met'}"


# --- the runs -------------------------------------------------------------

def batch_table(name, kb, rows, rounds, workdir, floor_exe):
    from kovi._chain import Chain
    from kovi.kinematics.poe_fk import poe_forward_kinematics

    chain = Chain(kb)
    Q = np.random.default_rng(1).uniform(-math.pi, math.pi, size=(rows, kb.dof))
    out = np.empty((rows, 4, 4))
    want = chain.poses(Q)
    timers, lines = {}, []

    if floor_exe is not None:
        input_path, poses_path = Path(workdir) / f"{name}.in", Path(workdir) / f"{name}.out"
        write_floor_input(input_path, kb, Q)
        run_floor(floor_exe, input_path, poses_path)
        same = np.fromfile(poses_path).tobytes() == want.tobytes()
        lines.append(f"  floor poses == Chain.poses bit for bit: {same}")
        if not same:
            sys.exit("error: the floor's poses differ from the chain's")
        timers["floor (C++ loop)"] = lambda: run_floor(floor_exe, input_path)
    timers["Chain.poses, 1 thread"] = per_item(lambda: chain.poses(Q, out=out), rows)
    timers["Chain.poses, 2 threads"] = per_item(lambda: chain.poses(Q, out=out, threads=2), rows)

    loop_rows = max(1, rows // 200)
    timers["Python loop, poe_forward_kinematics"] = per_item(
        lambda: [poe_forward_kinematics(kb, q) for q in Q[:loop_rows]], loop_rows)

    peer_rows = max(1, rows // 5)
    for label, peer in (("Pinocchio loop, forwardKinematics", pinocchio_peer(kb)),
                        ("roboticstoolbox batch fkine", roboticstoolbox_peer(kb))):
        if peer is None:
            lines.append(f"  {label}: not installed or not applicable, left out")
            continue
        poses = peer[0] if isinstance(peer, tuple) else peer
        sub = np.empty((peer_rows, 4, 4))
        err = np.abs(poses(Q[:200], sub[:200]) - want[:200]).max()
        lines.append(f"  {label}: max |pose - Chain's| {err:.1e}")
        if err > TOLERANCE:
            sys.exit(f"error: {label} disagrees with the chain by {err:.1e}")
        timers[label] = per_item(lambda poses=poses, sub=sub: poses(Q[:peer_rows], sub), peer_rows)

    best = interleaved_minima(timers, rounds)
    one = best["Chain.poses, 1 thread"]
    print(f"\n{name} ({kb.dof} joints), batch of N = {rows}, per pose, min of {rounds} rounds:")
    print("\n".join(lines))
    for label, t in best.items():
        print(f"  {label:38s} {fmt(t)}   {t / one:7.2f}x Chain.poses (1 thread)")
    if "floor (C++ loop)" in best:
        print(goal(f"1 thread within 1.5x of the floor ({one / best['floor (C++ loop)']:.2f}x)",
                   one <= 1.5 * best["floor (C++ loop)"]))
    print(goal(f"2 threads close to 2x faster than 1 "
               f"({one / best['Chain.poses, 2 threads']:.2f}x)",
               one / best["Chain.poses, 2 threads"] >= 1.7))
    for label, factor in (("Pinocchio loop, forwardKinematics", 2), ("roboticstoolbox batch fkine", 4)):
        if label in best:
            print(goal(f"at least {factor}x faster than {label} ({best[label] / one:.1f}x)",
                       best[label] >= factor * one))


def call_table(kb, rounds, target_s):
    from kovi._chain import Chain, forward_kinematics
    from kovi._kinbody import Joint, KinBody
    from kovi.kinematics.poe_fk import poe_forward_kinematics

    chain = Chain(kb)
    q = np.random.default_rng(2).uniform(-math.pi, math.pi, size=kb.dof)
    # a one-joint prismatic body: the bare call is short, so the checks show
    slide = KinBody("slide", [Joint("s", np.eye(4), (1.0, 0.0, 0.0), np.eye(4), "prismatic")])
    q1 = np.array([0.25])
    calls = {
        "Chain.pose": lambda: chain.pose(q),
        "Chain.jacobian": lambda: chain.jacobian(q),
        "poe_forward_kinematics": lambda: poe_forward_kinematics(kb, q),
        "forward_kinematics (checked)": lambda: forward_kinematics(kb, q),
        "poe_forward_kinematics, 1 joint": lambda: poe_forward_kinematics(slide, q1),
        "forward_kinematics, 1 joint": lambda: forward_kinematics(slide, q1),
    }
    timers = {label: per_call(fn, target_s) for label, fn in calls.items()}
    peer = pinocchio_peer(kb)
    if peer is not None:
        jac = chain.jacobian(q)
        err = np.abs(peer[1](q) - jac).max()
        print(f"  Pinocchio frame Jacobian: max |J - Chain's| {err:.1e}")
        timers["Pinocchio computeFrameJacobian"] = per_call(lambda: peer[1](q), target_s)
    best = interleaved_minima(timers, rounds)
    print(f"\n{kb.name}, per call, min of {rounds} rounds:")
    for label, t in best.items():
        print(f"  {label:38s} {fmt(t)}")
    if "Pinocchio computeFrameJacobian" in best:
        print(f"  Jacobian: Pinocchio / Chain = "
              f"{best['Pinocchio computeFrameJacobian'] / best['Chain.jacobian']:.2f}x")
    for suffix in ("", ", 1 joint"):
        bare = best["poe_forward_kinematics" + suffix]
        checked = best[("forward_kinematics (checked)" if not suffix else "forward_kinematics")
                       + suffix]
        extra = checked - bare
        print(goal(f"checks{suffix or ' on ' + kb.name} cost at most a fifth of the bare call "
                   f"({extra * 1e9:+.0f} ns, {extra / bare:+.1%} of {fmt(bare).strip()})",
                   extra <= bare / 5))


MEMORY_PROBE = """
import numpy as np
from kovi._chain import Chain
from kovi._kinbody import panda

def rss(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

chain = Chain(panda())
Q = np.random.default_rng(0).uniform(-3, 3, size=({rows}, 7))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak (VmHWM) starts again from the current RSS
before = rss("VmRSS")
poses = chain.poses(Q, threads=2)
print(before, rss("VmHWM"), poses.nbytes, Q.nbytes)
"""


def memory_report(rows):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(MEMORY_PROBE.format(rows=rows))],
                          capture_output=True, text=True)
    if done.returncode != 0:
        print(f"\nmemory: not measured ({done.stderr.strip().splitlines()[-1]})")
        return
    before, peak, out_bytes, q_bytes = (int(v) for v in done.stdout.split())
    mib = 1024 * 1024
    print(f"\nmemory, panda, poses of {rows} rows on 2 threads:")
    print(f"  RSS before the batch {before / 1024:.1f} MiB (interpreter, numpy, Q of "
          f"{q_bytes / mib:.1f} MiB); peak during it {peak / 1024:.1f} MiB: "
          f"+{(peak - before) / 1024:.1f} MiB for an output of {out_bytes / mib:.1f} MiB")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batches, few rounds (smoke run)")
    ap.add_argument("--rows", type=int, help="batch size N (default 100000, --quick 5000)")
    ap.add_argument("--rounds", type=int,
                    help="timing rounds of the batches (default 15, --quick 2); per-call "
                         "timings run four times as many, shorter")
    args = ap.parse_args(argv)
    rows = args.rows or (5000 if args.quick else 100_000)
    rounds = args.rounds or (2 if args.quick else 15)

    from kovi._kinbody import panda, ur5
    import platform
    print(f"python {platform.python_version()}, numpy {np.__version__}, {os.cpu_count()} cpus")
    with tempfile.TemporaryDirectory() as workdir:
        floor_exe = compile_floor(workdir)
        if floor_exe is None:
            print("g++ not found: the floor is left out")
        for make in (panda, ur5):
            batch_table(make().name, make(), rows, rounds, workdir, floor_exe)
    for make in (panda, ur5):
        call_table(make(), rounds=5 if args.quick else 4 * rounds, target_s=0.005)
    memory_report(10**5 if args.quick else 10**6)
    return 0


if __name__ == "__main__":
    sys.exit(main())
