"""Runs every fuzz target (fuzz/fuzz_<name>.py, seed corpus in
fuzz/corpus/<name>/) for a bounded time, one after another, and prints per
target the executions, the corpus it grew and its findings.

Each target runs in its own process, in build/fuzz-runs/<name>/: new inputs
go to corpus/ there (the seeds in the repository are only read) and
findings to artifacts/ (crash-*, timeout-*, oom-*, leak-*).  With
--sanitized, the process preloads the sanitizer runtime with libFuzzer
linked in that atheris ships, for a module and probe built by clang with
-fsanitize=fuzzer-no-link,address,undefined (`make fuzz`); without it, the
targets run on the plain build with atheris's own libFuzzer (`make test`).

Exits non-zero if a target found anything or did not run.
"""

import argparse
import os
import re
import subprocess
import sys
import time
from pathlib import Path

FUZZ = Path(__file__).resolve().parent
REPO = FUZZ.parent


def targets(names):
    found = {p.stem.removeprefix("fuzz_"): p for p in sorted(FUZZ.glob("fuzz_*.py"))}
    unknown = set(names) - set(found)
    if unknown:
        sys.exit(f"no fuzz target {', '.join(sorted(unknown))}; there are {', '.join(found)}")
    return {n: p for n, p in found.items() if not names or n in names}


def sanitizer_environment():
    import atheris
    runtime = Path(atheris.path()) / "asan_with_fuzzer.so"
    if not runtime.is_file():
        sys.exit(f"atheris ships no {runtime.name} in {runtime.parent}")
    return {
        "LD_PRELOAD": str(runtime),
        # The interpreter keeps memory at exit on purpose.
        "ASAN_OPTIONS": "detect_leaks=0:allocator_may_return_null=1",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    }


def run_target(name, script, seconds, seed, extra_env, work):
    corpus, artifacts = work / "corpus", work / "artifacts"
    corpus.mkdir(parents=True, exist_ok=True)
    artifacts.mkdir(parents=True, exist_ok=True)
    seeds = FUZZ / "corpus" / name
    command = [sys.executable, str(script), str(corpus), str(seeds),
               f"-max_total_time={seconds}", f"-artifact_prefix={artifacts}/",
               "-timeout=60", "-rss_limit_mb=6144", "-print_final_stats=1"]
    if seed is not None:
        command.append(f"-seed={seed}")
    env = {**os.environ, **extra_env, "PYTHONPATH": os.pathsep.join(
        filter(None, [str(FUZZ), str(REPO / "tests"), os.environ.get("PYTHONPATH")]))}
    before = {p.name for p in artifacts.iterdir()}
    started = time.monotonic()
    done = subprocess.run(command, cwd=REPO, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace")
    elapsed = time.monotonic() - started
    (work / "log.txt").write_text(done.stdout)
    executed = re.findall(r"stat::number_of_executed_units: (\d+)", done.stdout)
    findings = sorted({p.name for p in artifacts.iterdir()} - before)
    return {
        "name": name, "returncode": done.returncode, "seconds": elapsed,
        "executions": int(executed[-1]) if executed else 0,
        "corpus": sum(1 for _ in corpus.iterdir()), "findings": findings,
        "log": done.stdout,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="targets to run (default: all)")
    parser.add_argument("--seconds", type=int, default=180, help="time per target")
    parser.add_argument("--sanitized", action="store_true",
                        help="preload the sanitizer runtime with libFuzzer (the clang build)")
    parser.add_argument("--seed", type=int, help="the fuzzer's random seed (default: by time)")
    parser.add_argument("--work", type=Path, default=REPO / "build" / "fuzz-runs")
    args = parser.parse_args()
    extra_env = sanitizer_environment() if args.sanitized else {}
    results = []
    for name, script in targets(args.names).items():
        print(f"fuzz {name}: {args.seconds} s{' under the sanitizers' if args.sanitized else ''}",
              flush=True)
        result = run_target(name, script, args.seconds, args.seed, extra_env, args.work / name)
        results.append(result)
        if result["returncode"] != 0 or result["findings"] or result["executions"] == 0:
            print(result["log"][-6000:])

    print(f"{'target':16} {'executions':>11} {'exec/s':>8} {'corpus':>7}  findings")
    failed = False
    for r in results:
        bad = r["returncode"] != 0 or bool(r["findings"]) or r["executions"] == 0
        failed |= bad
        findings = ", ".join(r["findings"]) or ("none" if not bad else f"exit {r['returncode']}")
        print(f"{r['name']:16} {r['executions']:11d} {r['executions'] / r['seconds']:8.0f} "
              f"{r['corpus']:7d}  {findings}")
    if failed:
        print(f"logs and inputs: {args.work}/<target>/")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
