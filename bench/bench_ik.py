"""Inverse kinematics against its peers: the closed-form solver, then the
numerical one, each in its own script, run one after the other.

    python bench/bench_ik.py [--quick]

--quick runs fewer poses and targets (a few minutes in all); without it the
closed-form bench takes 10^4 poses per arm and the numerical bench 10^4
targets per arm and seed case.  Each script prints its peers' figures beside
kovi's, measured in the same run, and the goals.
"""

import argparse
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    quick = parser.parse_args().quick
    runs = [
        ["bench_ik_analytic.py", *(["--poses", "2000", "--rounds", "3"] if quick else [])],
        ["bench_ik_numeric.py", *(["--quick"] if quick else [])],
    ]
    status = 0
    for script, *args in runs:
        print(f"== {script} {' '.join(args)}".rstrip(), flush=True)
        status |= subprocess.call([sys.executable, str(HERE / script), *args])
    return status


if __name__ == "__main__":
    sys.exit(main())
