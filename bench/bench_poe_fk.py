"""Benchmark kovi.kinematics.poe_fk against its twin, plain numpy and Pinocchio.

Run from the repository root after installing the package:

    python bench/bench_poe_fk.py [--quick] [--json] [--peers native,twin,...]
                                 [--baseline PATH] [--no-scaling]

Peers, each timed on the three sample bodies:

  native     the installed extension, on the bodies as they are (fast paths)
  general    the same extension on the same chains held in plain records with
             ndarray-subclass arrays: the general element reads
  twin       the module's pure-Python source
  numpy      the textbook version with 4x4 numpy products
  pin        Pinocchio's plain sequence for the same pose as a 4x4 array:
             forwardKinematics, then (data.oMi[n] * tool).homogeneous
  pin_frame  Pinocchio's fastest: forwardKinematics, then
             updateFramePlacement(model, data, frame).homogeneous

Pinocchio is the optional bench extra (`pip install pin`, or the package's
`bench` extra); without it its peers are skipped.  Its model is the tests'
(tests/chains.py), built from each body's own transforms, and must agree
with the twin to 1e-12.

--baseline PATH adds another build of the extension (the .so file at PATH,
for instance one built from an earlier commit) as the peers "baseline" and
"baseline_general", timed interleaved with the installed one, so old and new
times come from one run.

After the table, the cost per joint over random chains of 1 to 64 joints
(native, general and pin_frame, and the floor: the module's own arithmetic
in a C++ loop, bench_chain.py's, compiled here if g++ is found), with the
fixed part and the per-joint part of a straight-line fit.

Every peer is checked for agreement before anything is timed.  Timing is
interleaved: each round times every (body, peer) pair once, in an order that
rotates between rounds, so drift in machine load lands on all peers alike;
tables report the minimum over rounds (the median is in --json).
"""

from __future__ import annotations

import argparse
import importlib
import importlib.machinery
import importlib.util
import json
import math
import platform
import statistics
import sys
import tempfile
import timeit
from pathlib import Path
from types import SimpleNamespace

import numpy as np

REPO = Path(__file__).resolve().parents[1]
TWIN_PATH = REPO / "src" / "kovi" / "kinematics" / "poe_fk.py"
# The tests' random bodies and Pinocchio model, and bench_chain's floor.
for _path in (REPO / "tests", REPO / "bench"):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))
PEERS = ("native", "general", "twin", "numpy", "pin", "pin_frame")
FULL_NAME = "kovi.kinematics.poe_fk"
# The extension's init function is found from the last component of the
# name, so the baseline build keeps "poe_fk" under a package of its own.
BASELINE_NAME = "kovi_baseline.poe_fk"
TOLERANCE = 1e-12
SCALING_LENGTHS = (1, 2, 4, 8, 16, 32, 64)


def load_native():
    """The compiled poe_forward_kinematics, or exit with a message saying why not."""
    try:
        mod = importlib.import_module(FULL_NAME)
    except ImportError as exc:
        sys.exit(f"error: cannot import {FULL_NAME} ({exc}).\n"
                 "Build and install the package first, or leave out the native peers "
                 "with --peers twin,numpy.")
    origin = getattr(mod, "__file__", "") or ""
    # with PYTHONPATH=src and nothing built, the import finds the .py twin
    if not origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        sys.exit(f"error: {FULL_NAME} resolved to {origin or mod!r}, which is not "
                 "a compiled extension.\nBuild and install the package first, or leave out "
                 "the native peers with --peers twin,numpy.")
    return mod.poe_forward_kinematics, origin


def load_baseline(path):
    """poe_forward_kinematics of another build of the extension, loaded beside the
    installed one."""
    path = Path(path).resolve()
    if not path.is_file():
        sys.exit(f"error: --baseline {path}: no such file")
    loader = importlib.machinery.ExtensionFileLoader(BASELINE_NAME, str(path))
    found = importlib.util.spec_from_file_location(BASELINE_NAME, path, loader=loader)
    before = sys.modules.get(FULL_NAME)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    # the module registers itself under its full name when that is free;
    # that name stays with the installed build
    if before is None and sys.modules.get(FULL_NAME) is mod:
        del sys.modules[FULL_NAME]
    return mod.poe_forward_kinematics, str(path)


def load_twin():
    found = importlib.util.spec_from_file_location("kovi_poe_fk_reference", TWIN_PATH)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod.poe_forward_kinematics


def load_pinocchio():
    try:
        import pinocchio
    except ImportError:
        return None
    return pinocchio


def numpy_fk(kb, q):
    """The textbook version: T = T @ T_left @ Joint @ T_right with 4x4 numpy products."""
    T = np.eye(4)
    for i, j in enumerate(kb.joints):
        qi = float(q[i])
        J = np.eye(4)
        if j.joint_type == "prismatic":
            J[:3, 3] = qi * j.axis
        else:
            ax, ay, az = j.axis
            c, s = math.cos(qi), math.sin(qi)
            K = np.array([[0.0, -az, ay], [az, 0.0, -ax], [-ay, ax, 0.0]])
            # Rodrigues with the axis as given, like the kernel: c I + s K + (1 - c) a a^T
            J[:3, :3] = c * np.eye(3) + s * K + (1.0 - c) * np.outer(j.axis, j.axis)
        T = T @ j.T_left @ J @ j.T_right
    return T


class GeneralArray(np.ndarray):
    """An ndarray subclass: its elements are read through the general path."""


def general_inputs(kb, q):
    """The same chain in plain records whose arrays are ndarray subclasses."""
    def wrap(a):
        return a.view(GeneralArray)
    joints = tuple(SimpleNamespace(T_left=wrap(j.T_left), axis=wrap(j.axis),
                                   T_right=wrap(j.T_right), joint_type=j.joint_type)
                   for j in kb.joints)
    return SimpleNamespace(joints=joints), wrap(q)


def pinocchio_peers(pin, kb):
    """(plain, fastest) pose functions of the tests' Pinocchio model of the body
    (tests/chains.py, built from the body's own transforms)."""
    from chains import pinocchio_model
    model, end = pinocchio_model(pin, kb)
    data = model.createData()
    tool, last = model.frames[end].placement, model.frames[end].parentJoint

    def plain(kb, q):
        pin.forwardKinematics(model, data, q)
        return (data.oMi[last] * tool).homogeneous

    def fastest(kb, q):
        pin.forwardKinematics(model, data, q)
        return pin.updateFramePlacement(model, data, end).homogeneous

    return plain, fastest


def make_peers(names, kb, q, fns, pin):
    """{peer: (fn, kb, q)} for one body."""
    peers = {}
    general = general_inputs(kb, q)
    pin_fns = pinocchio_peers(pin, kb) if pin is not None else None
    for name in names:
        if name in ("native", "baseline", "twin"):
            peers[name] = (fns[name], kb, q)
        elif name in ("general", "baseline_general"):
            peers[name] = (fns["native" if name == "general" else "baseline"], *general)
        elif name == "numpy":
            peers[name] = (numpy_fk, kb, q)
        elif name in ("pin", "pin_frame"):
            peers[name] = (pin_fns[name == "pin_frame"], kb, q)
    return peers


BIT_IDENTICAL = ("native", "general", "baseline", "baseline_general")


def check_agreement(cases, n_random=8, seed=7):
    """Compare every peer on each body's sample configuration plus random ones:
    the native builds bit for bit with the twin, the others within TOLERANCE.
    `cases` maps a body name to (kb, q, peers).  Returns (ok, lines, details)."""
    rng = np.random.default_rng(seed)
    ok, lines, details = True, [], {}
    for name, (kb, q0, peers) in cases.items():
        qs = [q0, *rng.uniform(-math.pi, math.pi, (n_random, len(kb.joints)))]
        ref = [load_twin_cached()(kb, q) for q in qs]
        d, parts = {"configurations": len(qs)}, []
        for p, (fn, pkb, pq) in peers.items():
            if p == "twin":
                continue
            out = []
            for q in qs:
                pq_i = q.view(type(pq)) if isinstance(pq, np.ndarray) else q
                out.append(np.asarray(fn(pkb, pq_i)))
            shapes_ok = all(r.shape == (4, 4) and r.dtype == np.float64 for r in out)
            if p in BIT_IDENTICAL:
                same = shapes_ok and all(a.tobytes() == b.tobytes() for a, b in zip(out, ref))
                d[f"{p}_twin_bit_identical"] = same
                parts.append(f"{p} {'==' if same else '!= (BITS DIFFER)'}")
            else:
                err = max(float(np.max(np.abs(a - b))) for a, b in zip(out, ref))
                same = shapes_ok and err <= TOLERANCE
                d[f"{p}_twin_max_abs_diff"] = err
                parts.append(f"{p} {err:.0e}" + ("" if same else " (MISMATCH)"))
            ok &= same
        details[name] = d
        lines.append(f"  {name:6s} ({len(qs)} configs) vs twin: " + ", ".join(parts))
    return ok, lines, details


_twin = None


def load_twin_cached():
    global _twin
    if _twin is None:
        _twin = load_twin()
    return _twin


def calibrate(timer, target_s):
    """Calls per timed batch so that one batch takes about target_s."""
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= target_s / 4 or number >= 1 << 24:
            return max(1, int(number * target_s / max(t, 1e-9)))
        number *= 4


def run(pairs, rounds, target_s):
    """Interleaved timing of {key: (fn, kb, q)}; {key: [us per call per round]}."""
    keys = list(pairs)
    timers = {k: timeit.Timer("fn(kb, q)", globals={"fn": f, "kb": kb, "q": q})
              for k, (f, kb, q) in pairs.items()}
    numbers = {k: calibrate(timers[k], target_s) for k in keys}
    samples = {k: [] for k in keys}
    for r in range(rounds):
        i = r % len(keys)
        for k in keys[i:] + keys[:i]:
            samples[k].append(timers[k].timeit(numbers[k]) / numbers[k] * 1e6)
    return samples, numbers


# ---- scaling: random chains of 1 to 64 joints

def floor_ns(kb, exe, tmp, rows=20000, rounds=5):
    """ns per pose of bench_chain's floor: the same arithmetic in a C++ loop."""
    from bench_chain import run_floor, write_floor_input
    path = Path(tmp) / f"floor{len(kb.joints)}.bin"
    Q = np.random.default_rng(1).uniform(-math.pi, math.pi, (rows, len(kb.joints)))
    write_floor_input(path, kb, Q)
    return min(run_floor(exe, path) for _ in range(rounds)) * 1e9


def fit(lengths, ns):
    """Least-squares ns = fixed + per_joint * n."""
    per_joint, fixed = np.polyfit(np.asarray(lengths, float), np.asarray(ns, float), 1)
    return float(fixed), float(per_joint)


def scaling(fns, pin, rounds, target_s):
    from chains import random_kinbody
    rng = np.random.default_rng(11)
    names = [p for p in ("native", "general") if "native" in fns] + (["pin_frame"] if pin else [])
    pairs, bodies = {}, {}
    for n in SCALING_LENGTHS:
        kb, q = random_kinbody(rng, n)
        bodies[n] = (kb, q)
        for p, triple in make_peers(names, kb, q, fns, pin).items():
            pairs[n, p] = triple
    if "native" in fns:
        ok, _, _ = check_agreement({f"n{n}": (kb, q, {p: pairs[n, p] for p in names})
                                    for n, (kb, q) in bodies.items()}, n_random=2)
        if not ok:
            return None
    samples, _ = run(pairs, rounds, target_s)
    table = {n: {p: min(samples[n, p]) * 1e3 for p in names} for n in SCALING_LENGTHS}
    from bench_chain import compile_floor
    with tempfile.TemporaryDirectory() as tmp:
        exe = compile_floor(tmp)
        if exe is not None:
            for n, (kb, _) in bodies.items():
                table[n]["floor"] = floor_ns(kb, exe, tmp)
    return table


def print_scaling(table):
    columns = list(next(iter(table.values())))
    print("\nnanoseconds per call over random chains (min of interleaved rounds); "
          "ns per joint in brackets")
    print(f"{'joints':>6s} " + " ".join(f"{c:>22s}" for c in columns))
    for n, row in table.items():
        print(f"{n:6d} " + " ".join(f"{row[c]:11.0f} [{row[c] / n:7.1f}]" for c in columns))
    lengths = list(table)
    print(f"{'fit':>6s} " + " ".join(
        "{:>9.0f} + {:6.1f}/joint".format(*fit(lengths, [table[n][c] for n in lengths]))
        for c in columns))
    if "floor" in columns and "native" in columns:
        ratio = table[lengths[-1]]["native"] / table[lengths[-1]]["floor"]
        print(f"native / floor at {lengths[-1]} joints: {ratio:.2f}x")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="few short rounds (smoke run)")
    ap.add_argument("--json", action="store_true", help="print results as JSON only")
    ap.add_argument("--peers", default=",".join(PEERS),
                    help=f"comma-separated subset of {','.join(PEERS)} (default: all)")
    ap.add_argument("--rounds", type=int, help="timing rounds (default 15, --quick 3)")
    ap.add_argument("--baseline", metavar="PATH",
                    help="another build of the poe_fk extension (.so) to time beside the "
                         "installed one, as the peers 'baseline' and 'baseline_general'")
    ap.add_argument("--no-scaling", action="store_true", help="skip the chains of 1 to 64 joints")
    args = ap.parse_args(argv)

    peers = [p.strip() for p in args.peers.split(",") if p.strip()]
    unknown = sorted(set(peers) - set(PEERS))
    if unknown or not peers:
        ap.error(f"--peers takes a subset of {','.join(PEERS)}; got {args.peers!r}")
    peers = [p for p in PEERS if p in peers]
    rounds = args.rounds or (3 if args.quick else 15)
    target_s = 0.005 if args.quick else 0.05

    notes = []
    pin = load_pinocchio() if {"pin", "pin_frame"} & set(peers) else None
    if pin is None and {"pin", "pin_frame"} & set(peers):
        notes.append("pinocchio is not installed (pip install pin, or the package's bench "
                     "extra): its peers are skipped")
        peers = [p for p in peers if p not in ("pin", "pin_frame")]
    fns, native_origin, baseline_origin = {}, None, None
    if {"native", "general"} & set(peers):
        fns["native"], native_origin = load_native()
    if args.baseline:
        # after the installed module, which keeps the name kovi.kinematics.poe_fk
        fns["baseline"], baseline_origin = load_baseline(args.baseline)
        peers += ["baseline", "baseline_general"]
    if "twin" in peers:
        fns["twin"] = load_twin_cached()

    from kovi.robots._samples import SAMPLE_BODIES, sample_configuration
    cases = {}
    for name, make in SAMPLE_BODIES.items():
        kb, q = make(), sample_configuration(name)
        cases[name] = (kb, q, make_peers(peers, kb, q, fns, pin))

    ok, lines, agreement = check_agreement(cases)
    if not args.json:
        print(f"python {platform.python_version()}, numpy {np.__version__}, "
              f"{platform.machine()}"
              + (f", pinocchio {pin.__version__}" if pin is not None else ""))
        print(f"native: {native_origin or 'not run'}")
        if baseline_origin:
            print(f"baseline: {baseline_origin}")
        for note in notes:
            print(f"note: {note}")
        print("agreement:" + ("" if ok else " FAILED"))
        print("\n".join(lines))
    if not ok:
        if args.json:
            print(json.dumps({"agreement_ok": False, "agreement": agreement}, indent=2))
        return 1

    pairs = {(b, p): triple for b, (_, _, ps) in cases.items() for p, triple in ps.items()}
    samples, numbers = run(pairs, rounds, target_s)
    base = "native" if "native" in peers else peers[0]
    results = {}
    for b, (kb, _, ps) in cases.items():
        row = {"dof": len(kb.joints), "us_per_call_min": {}, "us_per_call_median": {},
               "calls_per_batch": {}, f"ratio_to_{base}": {}}
        for p in ps:
            row["us_per_call_min"][p] = min(samples[b, p])
            row["us_per_call_median"][p] = statistics.median(samples[b, p])
            row["calls_per_batch"][p] = numbers[b, p]
        for p in ps:
            if p != base:
                row[f"ratio_to_{base}"][p] = row["us_per_call_min"][p] / row["us_per_call_min"][base]
        results[b] = row

    table = None if args.no_scaling else scaling(fns, pin, rounds, target_s)

    if args.json:
        print(json.dumps({
            "python": platform.python_version(), "numpy": np.__version__,
            "pinocchio": getattr(pin, "__version__", None), "native_module": native_origin,
            "baseline_module": baseline_origin, "rounds": rounds,
            "statistic": "min over rounds", "agreement_ok": True, "agreement": agreement,
            "bodies": results, "scaling_ns": table,
        }, indent=2))
        return 0

    shown = list(next(iter(results.values()))["us_per_call_min"])
    others = [p for p in shown if p != base]
    head = f"{'body':6s} {'dof':>3s} " + " ".join(f"{p:>10s}" for p in shown)
    head += "".join(f" {p + '/' + base:>15s}" for p in others)
    print(f"\nmicroseconds per call, min of {rounds} interleaved rounds")
    print(head)
    print("-" * len(head))
    for b, row in results.items():
        line = f"{b:6s} {row['dof']:3d} " + " ".join(
            f"{row['us_per_call_min'][p]:10.3f}" for p in shown)
        line += "".join(f" {row[f'ratio_to_{base}'][p]:14.2f}x" for p in others)
        print(line)
    if "baseline_general" in shown and "general" in shown:
        print("general path against the baseline build (general / baseline_general): "
              + ", ".join(f"{b} {row['us_per_call_min']['general'] / row['us_per_call_min']['baseline_general']:.2f}x"
                          for b, row in results.items()))
    if table is not None:
        print_scaling(table)
    elif not args.no_scaling:
        print("\nscaling: the native module disagrees with the twin on a random chain")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
