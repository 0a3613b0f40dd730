"""Benchmark kovi.kinematics.poe_fk against its pure-Python twin and plain numpy.

Run from the repository root after installing the package:

    python bench/bench_poe_fk.py [--quick] [--json] [--peers native,twin,numpy]
                                 [--baseline PATH]

--baseline PATH adds a second build of the extension (the .so file at PATH,
for instance one built from an earlier commit) as the peer "baseline", timed
interleaved with the installed one, so old and new times come from one run.

The peers are checked for agreement on every body before anything is timed.
Timing is interleaved: each round times every (body, peer) pair once, in an
order that rotates between rounds, so drift in machine load lands on all peers
alike; the table reports the minimum over rounds (the median is in --json).
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
import timeit
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
TWIN_PATH = REPO / "src" / "kovi" / "kinematics" / "poe_fk.py"
PEERS = ("native", "twin", "numpy")
FULL_NAME = "kovi.kinematics.poe_fk"
# The extension's init function is found from the last component of the
# name, so the baseline build keeps "poe_fk" under a package of its own.
BASELINE_NAME = "kovi_baseline.poe_fk"
NUMPY_TOL = 1e-12


def load_native():
    """The compiled poe_forward_kinematics, or exit with a message saying why not."""
    try:
        mod = importlib.import_module("kovi.kinematics.poe_fk")
    except ImportError as exc:
        sys.exit(f"error: cannot import kovi.kinematics.poe_fk ({exc}).\n"
                 "Build and install the package first, or leave out the native peer "
                 "with --peers twin,numpy.")
    origin = getattr(mod, "__file__", "") or ""
    # with PYTHONPATH=src and nothing built, the import finds the .py twin
    if not origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        sys.exit(f"error: kovi.kinematics.poe_fk resolved to {origin or mod!r}, which is not "
                 "a compiled extension.\nBuild and install the package first, or leave out "
                 "the native peer with --peers twin,numpy.")
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


def check_agreement(bodies, fns, n_random=8, seed=7):
    """Compare every peer on the sample configuration plus random ones.

    native vs twin must be bit-identical; numpy vs the twin (or native when the
    twin is not run) within NUMPY_TOL. Returns (ok, lines, details).
    """
    rng = np.random.default_rng(seed)
    ok, lines, details = True, [], {}
    ref = "twin" if "twin" in fns else "native" if "native" in fns else None
    for name, (kb, q0) in bodies.items():
        qs = [q0, *rng.uniform(-math.pi, math.pi, (n_random, kb.dof))]
        out = {p: [fn(kb, q) for q in qs] for p, fn in fns.items()}
        d = {"configurations": len(qs)}
        parts = []
        if "native" in out and "twin" in out:
            same = all(a.tobytes() == b.tobytes() for a, b in zip(out["native"], out["twin"]))
            d["native_twin_bit_identical"] = same
            ok &= same
            parts.append("native == twin bit-identical" if same else "native != twin (BITS DIFFER)")
        if "baseline" in out:
            other = "native" if "native" in out else "twin" if "twin" in out else None
            if other is not None:
                same = all(a.tobytes() == b.tobytes()
                           for a, b in zip(out["baseline"], out[other]))
                d[f"baseline_{other}_bit_identical"] = same
                ok &= same
                parts.append(f"baseline == {other} bit-identical" if same
                             else f"baseline != {other} (BITS DIFFER)")
        if "numpy" in out and ref is not None:
            err = max(float(np.max(np.abs(a - b))) for a, b in zip(out["numpy"], out[ref]))
            d[f"numpy_{ref}_max_abs_diff"] = err
            ok &= err <= NUMPY_TOL
            parts.append(f"numpy vs {ref} max |diff| {err:.1e}"
                         + ("" if err <= NUMPY_TOL else f" > {NUMPY_TOL:g} (MISMATCH)"))
        for p, res in out.items():
            shapes_ok = all(r.shape == (4, 4) and r.dtype == np.float64 for r in res)
            ok &= shapes_ok
            if not shapes_ok:
                parts.append(f"{p} did not return 4x4 float64")
        details[name] = d
        lines.append(f"  {name:6s} ({len(qs)} configs): " + ("; ".join(parts) or "single peer"))
    return ok, lines, details


def calibrate(fn, kb, q, target_s):
    """Calls per timed batch so that one batch takes about target_s."""
    timer = timeit.Timer("fn(kb, q)", globals={"fn": fn, "kb": kb, "q": q})
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= target_s / 4 or number >= 1 << 24:
            return max(1, int(number * target_s / max(t, 1e-9)))
        number *= 4


def run(bodies, fns, rounds, target_s):
    pairs = [(b, p) for b in bodies for p in fns]
    numbers, timers = {}, {}
    for b, p in pairs:
        kb, q = bodies[b]
        numbers[b, p] = calibrate(fns[p], kb, q, target_s)
        timers[b, p] = timeit.Timer("fn(kb, q)", globals={"fn": fns[p], "kb": kb, "q": q})
    samples = {pair: [] for pair in pairs}
    for r in range(rounds):
        k = r % len(pairs)
        for pair in pairs[k:] + pairs[:k]:
            n = numbers[pair]
            samples[pair].append(timers[pair].timeit(n) / n * 1e6)
    return samples, numbers


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="few short rounds (smoke run)")
    ap.add_argument("--json", action="store_true", help="print results as JSON only")
    ap.add_argument("--peers", default=",".join(PEERS),
                    help="comma-separated subset of native,twin,numpy (default: all)")
    ap.add_argument("--rounds", type=int, help="timing rounds (default 15, --quick 3)")
    ap.add_argument("--baseline", metavar="PATH",
                    help="another build of the poe_fk extension (.so) to time beside the "
                         "installed one, as the peer 'baseline'")
    args = ap.parse_args(argv)

    peers = [p.strip() for p in args.peers.split(",") if p.strip()]
    unknown = sorted(set(peers) - set(PEERS))
    if unknown or not peers:
        ap.error(f"--peers takes a subset of {','.join(PEERS)}; got {args.peers!r}")
    peers = [p for p in PEERS if p in peers]
    rounds = args.rounds or (3 if args.quick else 15)
    target_s = 0.005 if args.quick else 0.05

    fns, native_origin, baseline_origin = {}, None, None
    if "native" in peers:
        fns["native"], native_origin = load_native()
    if args.baseline:
        # after the installed module, which keeps the name kovi.kinematics.poe_fk
        fns["baseline"], baseline_origin = load_baseline(args.baseline)
    if "twin" in peers:
        fns["twin"] = load_twin()
    if "numpy" in peers:
        fns["numpy"] = numpy_fk

    from kovi._kinbody import SAMPLE_BODIES, sample_configuration
    bodies = {n: (f(), sample_configuration(n)) for n, f in SAMPLE_BODIES.items()}

    ok, lines, agreement = check_agreement(bodies, fns)
    if not args.json:
        print(f"python {platform.python_version()}, numpy {np.__version__}, "
              f"{platform.machine()}; native: {native_origin or 'not run'}")
        if baseline_origin:
            print(f"baseline: {baseline_origin}")
        print("agreement:" + ("" if ok else " FAILED"))
        print("\n".join(lines))
    if not ok:
        if args.json:
            print(json.dumps({"agreement_ok": False, "agreement": agreement}, indent=2))
        return 1

    samples, numbers = run(bodies, fns, rounds, target_s)
    base = "native" if "native" in fns else peers[0]
    results = {}
    for b, (kb, _) in bodies.items():
        row = {"dof": kb.dof, "us_per_call_min": {}, "us_per_call_median": {},
               "calls_per_batch": {}, f"ratio_to_{base}": {}}
        for p in fns:
            s = samples[b, p]
            row["us_per_call_min"][p] = min(s)
            row["us_per_call_median"][p] = statistics.median(s)
            row["calls_per_batch"][p] = numbers[b, p]
        for p in fns:
            if p != base:
                row[f"ratio_to_{base}"][p] = row["us_per_call_min"][p] / row["us_per_call_min"][base]
        results[b] = row

    if args.json:
        print(json.dumps({
            "python": platform.python_version(), "numpy": np.__version__,
            "native_module": native_origin, "baseline_module": baseline_origin, "rounds": rounds, "statistic": "min over rounds",
            "agreement_ok": True, "agreement": agreement, "bodies": results,
        }, indent=2))
        return 0

    others = [p for p in fns if p != base]
    head = f"{'body':6s} {'dof':>3s} " + " ".join(f"{p + ' us':>10s}" for p in fns)
    head += "".join(f" {p + '/' + base:>14s}" for p in others)
    print(f"\nmicroseconds per call, min of {rounds} interleaved rounds")
    print(head)
    print("-" * len(head))
    for b, row in results.items():
        line = f"{b:6s} {row['dof']:3d} " + " ".join(
            f"{row['us_per_call_min'][p]:10.2f}" for p in fns)
        line += "".join(f" {row[f'ratio_to_{base}'][p]:13.2f}x" for p in others)
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
