"""Instruction profile of the closed-form IK solve under callgrind (not a test).

    python bench/profile_ik_analytic.py [--robot ur5|puma560|panda] [--solves 2000] [--top 15]

Builds bench/profile_ik_analytic.cpp with the closed-form solver's sources
(-O3 -g, the project's floating-point flags) into a temporary directory,
runs it under `valgrind --tool=callgrind` twice (a few solves, then
`--solves` more, over the same random poses) and prints the difference per
pose, in total and by function: what ik_all costs inside the extension,
verification included, without the Python call around it
(bench/bench_ik_analytic.py times that).  The Panda is solved with joint 7
locked at 0.5, as the bench does.
"""

from __future__ import annotations

import argparse
import math
import sys
import tempfile
from pathlib import Path

import numpy as np

import kovi
from callgrind_profile import NO_SINCOS, build, counted_run

ROOT = Path(__file__).resolve().parent.parent
ANALYTIC = "src/kovi/solvers/analytic/"
SOURCES = [ANALYTIC + name for name in ("family_detection.cpp", "family_solvers.cpp", "lane_poses.cpp",
                                        "search_solvers.cpp", "general_search.cpp", "solution_set.cpp",
                                        "polynomial.cpp", "subproblems.cpp")]
SOURCES += ["src/kovi/chain/chain_kernels.cpp", "src/kovi/kinematics/libm_trig.cpp"]
INCLUDES = ["src/kovi/solvers/analytic", "src/kovi/solvers/common", "src/kovi/solvers",
            "src/kovi/chain", "src/kovi/kinematics", "runtime"]
WARMUP = 100
KINDS = 500
H = math.pi / 2
PUMA = ([0, 0.4318, 0.0203, 0, 0, 0], [0, 0, 0.15005, 0.4318, 0, 0], [H, 0, -H, H, -H, 0])


def robot(name):
    """(KinBody, locked joint or -1, locked value)."""
    if name == "puma560":
        a, d, alpha = PUMA
        kb = kovi.KinBody.from_dh([(a[i], alpha[i], d[i], 0.0) for i in range(6)], "standard",
                                  name="puma560")
        return kb, -1, 0.0
    if name == "panda":
        return kovi.robots.panda(), 6, 0.5
    return getattr(kovi.robots, name)(), -1, 0.0


def write_chain(kb, locked, value, path):
    """The chain and KINDS configurations within its limits (seeded)."""
    chain = kovi.Chain(kb)
    rows = [float(chain.dof), float(KINDS)]
    for joint, (lower, upper) in zip(kb.joints, chain.limits, strict=True):
        rows += list(np.asarray(joint.T_left)[:3].ravel()) + list(joint.axis)
        rows += list(np.asarray(joint.T_right)[:3].ravel()) + [lower, upper]
    lower = np.maximum([lo for lo, _ in chain.limits], -math.pi)
    upper = np.minimum([hi for _, hi in chain.limits], math.pi)
    Q = np.random.default_rng(2026).uniform(lower, upper, size=(KINDS, chain.dof))
    if locked >= 0:
        Q[:, locked] = value
    np.concatenate([rows, Q.ravel()]).astype(np.float64).tofile(path)


def profile(binary, chain_file, solves, out, extra):
    """(rows found, {function: instructions}) of one run under callgrind."""
    printed, counts = counted_run([binary, chain_file, solves, *extra], out)
    return int(printed), counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--robot", default="ur5")
    parser.add_argument("--solves", type=int, default=2000)
    parser.add_argument("--top", type=int, default=15)
    args = parser.parse_args()
    kb, locked, value = robot(args.robot)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        binary = tmp / "profile_ik_analytic"
        build("profile_ik_analytic.cpp", SOURCES, INCLUDES, binary, NO_SINCOS)
        chain_file = tmp / "chain.bin"
        write_chain(kb, locked, value, chain_file)
        extra = [str(locked), repr(value)]
        rows0, base = profile(binary, chain_file, WARMUP, tmp / "base.out", extra)
        rows1, full = profile(binary, chain_file, WARMUP + args.solves, tmp / "full.out", extra)
    total = full.pop("PROGRAM TOTALS") - base.pop("PROGRAM TOTALS")
    print(f"{args.robot}: {total / args.solves:,.0f} instructions per pose, "
          f"{(rows1 - rows0) / args.solves:.2f} rows per pose")
    diff = {k: full.get(k, 0) - base.get(k, 0) for k in set(full) | set(base)}
    for name, count in sorted(diff.items(), key=lambda kv: -kv[1])[:args.top]:
        print(f"  {count / args.solves:9,.0f} per pose {100 * count / total:5.1f}%  {name}")


if __name__ == "__main__":
    sys.exit(main())
