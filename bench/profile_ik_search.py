"""Instruction profile of the one-joint search under callgrind (not a test).

    python bench/profile_ik_search.py [--arm bent_ur5] [--solves 500] [--top 12]

Builds bench/profile_ik_search.cpp with the closed-form solvers' sources
(-O3 -g, the project's floating-point flags) into a temporary directory,
runs it under `valgrind --tool=callgrind` twice (a few solves, then
`--solves` more) and prints the difference per solve, in total and by
function: what the search's candidates cost, without the verification and
the Python call around them (bench/bench_ik_analytic.py times those).
"""

from __future__ import annotations

import argparse
import math
import sys
import tempfile
from pathlib import Path

import numpy as np

import kovi
from kovi._chain import Chain
from callgrind_profile import NO_SINCOS, build, counted_run

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "bench"))
from bench_ik_analytic import SEARCH_ARMS  # noqa: E402
from ik_oracle import axes_and_points  # noqa: E402

SOURCES = ["src/kovi/solvers/analytic/search_solvers.cpp",
           "src/kovi/solvers/analytic/general_search.cpp",
           "src/kovi/solvers/analytic/family_solvers.cpp",
           "src/kovi/solvers/analytic/family_detection.cpp",
           "src/kovi/solvers/analytic/subproblems.cpp",
           "src/kovi/solvers/analytic/polynomial.cpp",
           "src/kovi/chain/chain_kernels.cpp",
           "src/kovi/kinematics/libm_trig.cpp"]
INCLUDES = ["src/kovi/solvers/analytic", "src/kovi/solvers/common", "src/kovi/solvers",
            "src/kovi/chain", "src/kovi/kinematics", "runtime"]
WARMUP = 20
TARGETS = 500


def write_arm(kb, path, poses, rng):
    """The chain's lines and end pose, then `poses` targets, each with the
    configuration that made it, for bench/profile_ik_search.cpp."""
    h, p, M = axes_and_points(kb)
    Q = rng.uniform(-math.pi, math.pi, size=(poses, 6))
    T = Chain(kb).poses(Q)
    targets = np.concatenate([T[:, :3].reshape(poses, 12), Q], axis=1)
    rows = [h.ravel(), p.ravel(), M[:3].ravel(), [float(poses)], targets.ravel()]
    np.concatenate(rows).astype(np.float64).tofile(path)


def profile(binary, arm_file, solves, out):
    printed, counts = counted_run([binary, arm_file, solves], out)
    return int(printed.split()[0]), counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arm", default="bent_ur5", choices=sorted(SEARCH_ARMS))
    parser.add_argument("--solves", type=int, default=500)
    parser.add_argument("--top", type=int, default=12)
    parser.add_argument("--keep", default=None, help="copy the harness and its input here")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        binary = tmp / "profile_ik_search"
        build("profile_ik_search.cpp", SOURCES, INCLUDES, binary, NO_SINCOS)
        arm_file = tmp / "arm.bin"
        write_arm(SEARCH_ARMS[args.arm](), arm_file, TARGETS, np.random.default_rng(11))
        if args.keep:
            import shutil
            shutil.copy(binary, args.keep)
            shutil.copy(arm_file, args.keep)
        found0, base = profile(binary, arm_file, WARMUP, tmp / "base.out")
        found1, full = profile(binary, arm_file, WARMUP + args.solves, tmp / "full.out")
    solves = args.solves
    total = full.pop("PROGRAM TOTALS") - base.pop("PROGRAM TOTALS")
    print(f"{args.arm}: {total / solves:,.0f} instructions per search, "
          f"{(found1 - found0) / solves:.2f} candidates")
    diff = {k: full.get(k, 0) - base.get(k, 0) for k in set(full) | set(base)}
    for name, count in sorted(diff.items(), key=lambda kv: -kv[1])[:args.top]:
        print(f"  {count / solves:9,.0f} per search {100 * count / total:5.1f}%  {name}")


if __name__ == "__main__":
    sys.exit(main())
