"""Instruction profile of one numerical IK solve under callgrind (not a test).

    python bench/profile_ik_numeric.py [--robot panda] [--solves 2000] [--top 12]

Builds bench/profile_ik_numeric.cpp with the solver's own sources (-O3 -g,
the project's floating-point flags) into a temporary directory, runs it
under `valgrind --tool=callgrind` twice (a few solves, then `--solves`
more) and prints the difference per solve and per iteration, in total and
by function: what a near-seed solve costs inside the solver, without the
Python call around it (bench/bench_ik_numeric.py times that).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import numpy as np

import kovi
from callgrind_profile import build, counted_run

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ["src/kovi/solvers/numeric/lm_solver.cpp", "src/kovi/chain/chain_kernels.cpp",
           "src/kovi/kinematics/libm_trig.cpp"]
INCLUDES = ["src/kovi/solvers/numeric", "src/kovi/solvers/common", "src/kovi/solvers",
            "src/kovi/chain", "src/kovi/kinematics", "runtime"]
WARMUP = 100


def write_chain(kb, path):
    chain = kovi.Chain(kb)
    rows = [float(chain.dof)]
    for joint, (lower, upper) in zip(kb.joints, chain.limits, strict=True):
        rows += list(np.asarray(joint.T_left)[:3].ravel()) + list(joint.axis)
        rows += list(np.asarray(joint.T_right)[:3].ravel())
        rows += [1.0 if joint.joint_type == "prismatic" else 0.0, lower, upper]
    rows += [0.5 * (lo + hi) if np.isfinite(lo + hi) else 0.0 for lo, hi in chain.limits]
    np.asarray(rows, dtype=np.float64).tofile(path)


def profile(binary, chain_file, solves, out):
    printed, counts = counted_run([binary, chain_file, solves], out)
    iterations, _ = map(int, printed.split())
    return iterations, counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--robot", default="panda")
    parser.add_argument("--solves", type=int, default=2000)
    parser.add_argument("--top", type=int, default=12)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        binary = tmp / "profile_ik_numeric"
        build("profile_ik_numeric.cpp", SOURCES, INCLUDES, binary)
        chain_file = tmp / "chain.bin"
        write_chain(getattr(kovi.robots, args.robot)(), chain_file)
        it0, base = profile(binary, chain_file, WARMUP, tmp / "base.out")
        it1, full = profile(binary, chain_file, WARMUP + args.solves, tmp / "full.out")
    solves, iterations = args.solves, it1 - it0
    total = (full.pop("PROGRAM TOTALS") - base.pop("PROGRAM TOTALS"))
    print(f"{args.robot}: {iterations / solves:.2f} iterations per near-seed solve, "
          f"{total / solves:,.0f} instructions per solve, "
          f"{total / iterations:,.0f} per iteration")
    diff = {k: full.get(k, 0) - base.get(k, 0) for k in set(full) | set(base)}
    for name, count in sorted(diff.items(), key=lambda kv: -kv[1])[:args.top]:
        print(f"  {count / iterations:9,.0f} per iteration {100 * count / total:5.1f}%  {name}")


if __name__ == "__main__":
    sys.exit(main())
