"""The general 6R search, this tree's against another revision's (not a test).

    python bench/profile_ik_general.py [--base REV] [--poses 2000] [--rounds 3]
                                       [--callgrind 200] [--seed 11]

Builds bench/profile_ik_search.cpp twice, with general_search.cpp as it is
in the work tree and as it is at --base (the other closed-form sources
from the work tree, -O3, the project's floating-point flags), then gives
both the same random targets of three random arms and the skewed one of
tests/test_ik_general.py.  Prints per arm the share of targets whose q* is
among the candidates, candidates per target, the time per solve (minimum
over interleaved rounds) and, with --callgrind N, instructions per solve
over N solves.  The candidates are unverified: the tests judge the rows.
"""

from __future__ import annotations

import argparse
import math
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from test_ik_general import random_arm, skewed_arm  # noqa: E402

sys.path.insert(0, str(ROOT / "bench"))
from profile_ik_search import INCLUDES, SOURCES, write_arm  # noqa: E402

SEARCH = "src/kovi/solvers/analytic/general_search.cpp"
# Every source but the search, which is built from each revision.
OTHERS = [s for s in SOURCES if s != SEARCH]
ARMS = {"random1": lambda: random_arm(1), "random2": lambda: random_arm(2),
        "random3": lambda: random_arm(3), "skewed": skewed_arm}


def compile_object(source, out):
    flags = ["g++", "-std=c++20", "-O3", "-DNDEBUG", "-g", "-ffp-contract=off",
             "-fno-builtin-cos", "-fno-builtin-sin", f"-I{sysconfig.get_paths()['include']}",
             *[f"-I{ROOT / d}" for d in INCLUDES]]
    subprocess.run([*flags, "-c", str(source), "-o", str(out)], check=True)
    return out


def run(binary, arm_file, solves):
    out = subprocess.run([str(binary), str(arm_file), str(solves)], capture_output=True,
                         text=True, check=True).stdout.split()
    return int(out[0]), int(out[1]), float(out[2])


def instructions(binary, arm_file, solves, tmp):
    totals = []
    for n in (0, solves):
        out = tmp / f"cg.{binary.name}.{n}"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        str(binary), str(arm_file), str(n)], capture_output=True, check=True)
        summary = [line for line in out.read_text().splitlines() if line.startswith("summary:")]
        totals.append(int(summary[0].split()[1]))
    return (totals[1] - totals[0]) / solves


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", default="HEAD")
    parser.add_argument("--poses", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--callgrind", type=int, default=0)
    parser.add_argument("--arms", nargs="*", default=list(ARMS))
    parser.add_argument("--seed", type=int, default=11, help="of the random targets")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        common = [compile_object(ROOT / s, tmp / f"{Path(s).stem}.o") for s in OTHERS]
        harness = compile_object(ROOT / "bench/profile_ik_search.cpp", tmp / "harness.o")
        base_source = tmp / "general_search_base.cpp"
        base_source.write_text(subprocess.run(["git", "show", f"{args.base}:{SEARCH}"], cwd=ROOT,
                                              capture_output=True, text=True, check=True).stdout)
        binaries = {}
        for name, source in (("base", base_source), ("tree", ROOT / SEARCH)):
            obj = compile_object(source, tmp / f"search_{name}.o")
            binaries[name] = tmp / f"general_{name}"
            subprocess.run(["g++", str(harness), str(obj), *map(str, common), "-o",
                            str(binaries[name])], check=True)
        print(f"{args.poses} targets per arm, base = {args.base}")
        print(f"{'arm':9} {'build':5} {'found':>7} {'rows':>5} {'us/solve':>9} {'instr/solve':>12}")
        for arm in args.arms:
            arm_file = tmp / f"{arm}.bin"
            write_arm(ARMS[arm](), arm_file, args.poses, np.random.default_rng(args.seed))
            best, result = {}, {}
            for _ in range(args.rounds):
                for name, binary in binaries.items():
                    rows, hits, ns = run(binary, arm_file, args.poses)
                    result[name] = (rows, hits)
                    best[name] = min(best.get(name, math.inf), ns)
            for name, binary in binaries.items():
                rows, hits = result[name]
                count = (f"{instructions(binary, arm_file, args.callgrind, tmp):12,.0f}"
                         if args.callgrind else f"{'-':>12}")
                print(f"{arm:9} {name:5} {100 * hits / args.poses:6.2f}% {rows / args.poses:5.2f} "
                      f"{best[name] / 1000:9.1f} {count}")
            print(f"{'':9} tree/base time {best['tree'] / best['base']:.3f}")


if __name__ == "__main__":
    sys.exit(main())
