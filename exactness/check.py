"""Builds the pose arithmetic with every compiler, flag set and target at
hand, runs each build on the same random chains and checks that every pose
has the bits of the pure-Python twin's: each non-NaN element identical, NaN
in exactly the same elements (IEEE 754 fixes neither the sign nor the
payload of a NaN, so which NaN operand an addition passes on is free).

Cosines and sines are computed here, once, and fed to every build: the
check is of the arithmetic, not of each platform's libm.

Builds made without -ffp-contract=off are controls: they show what the
flag prevents, and their differences are reported, not failures.
"""

import argparse
import importlib.util
import math
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(REPO / "src"), str(REPO / "tests")]
from chains import random_chain  # noqa: E402

DRIVER = REPO / "exactness" / "driver.cpp"
KINEMATICS = REPO / "src" / "kovi" / "kinematics"
CONTRACT_OFF = "-ffp-contract=off"
AARCH64_SYSROOT = "/usr/aarch64-linux-gnu"
SPECIAL = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1e300, -1e-300]


def builds():
    """(name, compiler, flags, runner prefix, is a control) of each build."""
    qemu = ["qemu-aarch64", "-L", AARCH64_SYSROOT]
    toolchains = [("gcc", "g++", [], [["-O0"], ["-O2"], ["-O3"], ["-O3", "-march=native"]],
                   ["-O3", "-march=native"]),
                  ("clang", "clang++-14", [], [["-O0"], ["-O2"], ["-O3"], ["-O3", "-march=native"]],
                   ["-O3", "-march=native"]),
                  ("aarch64-gcc", "aarch64-linux-gnu-g++", qemu, [["-O0"], ["-O2"], ["-O3"]],
                   ["-O2"])]
    out = []
    for label, compiler, runner, flag_sets, control_flags in toolchains:
        for flags in flag_sets:
            out.append((" ".join([label, *flags]), compiler, [*flags, CONTRACT_OFF], runner, False))
        out.append((" ".join([label, *control_flags, "(no flag)"]), compiler, control_flags,
                    runner, True))
    return out


def load_twin():
    spec = importlib.util.spec_from_file_location("kovi_poe_fk_twin", KINEMATICS / "poe_fk.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.poe_forward_kinematics


def spoil(rng, chain):
    """Puts a special value (NaN, infinity, signed zero, subnormal, huge)
    into a few elements of some chains, so that NaN and overflow paths are
    compared too."""
    if rng.random() >= 0.2:
        return
    for _ in range(int(rng.integers(1, 4))):
        joint = chain.joints[int(rng.integers(len(chain.joints)))]
        value = SPECIAL[int(rng.integers(len(SPECIAL)))]
        where = int(rng.integers(3))
        if where == 0:
            joint.axis = joint.axis.copy()
            joint.axis[int(rng.integers(3))] = value
        else:
            name = "T_left" if where == 1 else "T_right"
            m = getattr(joint, name).copy()
            m[int(rng.integers(3)), int(rng.integers(4))] = value
            setattr(joint, name, m)


def make_chains(count, seed):
    """The driver's input stream and the twin's poses (rows 0-2)."""
    rng = np.random.default_rng(seed)
    twin = load_twin()
    stream, poses = [], np.empty((count, 12))
    for c in range(count):
        kb, q = random_chain(rng, int(rng.integers(0, 13)))
        if kb.joints:
            spoil(rng, kb)
        stream.append(float(len(kb.joints)))
        for joint, qi in zip(kb.joints, q):
            qi = float(qi)
            prismatic = joint.joint_type == "prismatic"
            stream += [1.0 if prismatic else 0.0, *map(float, joint.axis),
                       0.0 if prismatic else math.cos(qi), 0.0 if prismatic else math.sin(qi), qi,
                       *joint.T_left[:3].ravel().tolist(), *joint.T_right[:3].ravel().tolist()]
        poses[c] = twin(kb, q)[:3].ravel()
    return np.array(stream, dtype="<f8").tobytes(), poses


def differing_chains(got, want):
    """Indices of the chains whose pose is not the twin's: a non-NaN element
    with other bits, or NaN in other elements."""
    got_nan, want_nan = np.isnan(got), np.isnan(want)
    same_bits = got.view(np.uint64) == want.view(np.uint64)
    ok = np.where(got_nan | want_nan, got_nan & want_nan, same_bits)
    return np.flatnonzero(~ok.all(axis=1))


def missing_tools():
    tools = {compiler for _, compiler, _, _, _ in builds()} | {"qemu-aarch64"}
    missing = sorted(t for t in tools if shutil.which(t) is None)
    if not Path(AARCH64_SYSROOT).is_dir():
        missing.append(AARCH64_SYSROOT)
    return missing


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--chains", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--build-dir", type=Path, default=REPO / "build" / "exactness")
    args = parser.parse_args()
    missing = missing_tools()
    if missing:
        sys.exit("exactness: missing " + ", ".join(missing))
    args.build_dir.mkdir(parents=True, exist_ok=True)

    started = time.monotonic()
    stream, want = make_chains(args.chains, args.seed)
    nan_chains = int(np.isnan(want).any(axis=1).sum())
    print(f"{args.chains} chains (seed {args.seed}; {nan_chains} with NaN in the pose), "
          f"twin poses in {time.monotonic() - started:.1f} s")
    (args.build_dir / "chains.bin").write_bytes(stream)

    failed = False
    rows = []
    for name, compiler, flags, runner, control in builds():
        binary = args.build_dir / name.replace(" ", "_").replace("(", "").replace(")", "")
        subprocess.run([compiler, "-std=c++20", "-Wall", "-Wextra", *flags, f"-I{KINEMATICS}",
                        str(DRIVER), "-o", str(binary)], check=True)
        done = subprocess.run([*runner, str(binary)], input=stream, capture_output=True,
                              check=True)
        got = np.frombuffer(done.stdout, dtype="<f8")
        if got.size != want.size:
            sys.exit(f"exactness: {name} wrote {got.size} values, expected {want.size}")
        bad = differing_chains(got.reshape(want.shape), want)
        verdict = ("differs (control)" if bad.size else "same (control)") if control else \
            ("DIFFERS" if bad.size else "same")
        failed |= bool(bad.size) and not control
        rows.append((name, " ".join(flags), len(want) - bad.size, bad.size, verdict))

    width = max(len(r[0]) for r in rows)
    flag_width = max(len(r[1]) for r in rows)
    print(f"{'build':{width}}  {'flags':{flag_width}}  {'same':>7}  {'differ':>7}  verdict")
    for name, flags, same, differ, verdict in rows:
        print(f"{name:{width}}  {flags:{flag_width}}  {same:7d}  {differ:7d}  {verdict}")
    print(f"total {time.monotonic() - started:.1f} s")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
