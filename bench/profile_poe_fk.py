"""Instruction profile of poe_forward_kinematics under callgrind (not a test).

    python bench/profile_poe_fk.py [--module PATH] [--body panda] [--calls 2000]
                                   [--general] [--top 15]

Runs the interpreter twice under `valgrind --tool=callgrind`, once with a
few warm-up calls and once with `--calls` more, and prints the difference
divided by `--calls`: the instructions of one call, in total and by
function, with start-up and import cost cancelled out.  Instruction counts
do not depend on the machine's load, so two builds can be compared from
two runs.

--module PATH profiles another build of the extension (for instance one
built from an earlier commit; an unstripped build names its own functions).
--general wraps every array of the body and the configuration in an
ndarray subclass, so that the calls take the general element reads.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

WARMUP = 200


def child(args):
    """The profiled program: load the module, build the inputs, call."""
    import numpy as np

    if args.module:
        import importlib.machinery
        import importlib.util
        loader = importlib.machinery.ExtensionFileLoader("kovi_profiled.poe_fk", args.module)
        spec = importlib.util.spec_from_file_location("kovi_profiled.poe_fk", args.module,
                                                      loader=loader)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
    else:
        import kovi.kinematics.poe_fk as mod
    from kovi.robots._samples import SAMPLE_BODIES, sample_configuration

    kb, q = SAMPLE_BODIES[args.body](), sample_configuration(args.body)
    if args.general:
        from types import SimpleNamespace

        class Sub(np.ndarray):
            pass

        def wrap(a):
            return a.view(Sub)
        kb = SimpleNamespace(joints=tuple(
            SimpleNamespace(T_left=wrap(j.T_left), axis=wrap(j.axis), T_right=wrap(j.T_right),
                            joint_type=j.joint_type) for j in kb.joints))
        q = wrap(q)
    fk = mod.poe_forward_kinematics
    for _ in range(args.child):
        fk(kb, q)


def short_name(function):
    """A C++ function's name without its parameter list and namespaces."""
    if function.endswith(")"):
        depth = 0
        for k in range(len(function) - 1, -1, -1):
            depth += {")": 1, "(": -1}.get(function[k], 0)
            if depth == 0:
                function = function[:k]
                break
    return re.sub(r"^.*::", "", function)


def callgrind(args, calls, out_dir):
    out = Path(out_dir) / f"callgrind.{calls}.out"
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
           sys.executable, __file__, "--child", str(calls), "--body", args.body]
    if args.module:
        cmd += ["--module", str(Path(args.module).resolve())]
    if args.general:
        cmd.append("--general")
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(done.stderr)
    text = subprocess.run(["callgrind_annotate", "--threshold=100", str(out)],
                          capture_output=True, text=True, check=True).stdout
    total, functions = 0, {}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(\([^)]*\)\s+)?(.*)$", line)
        if not m:
            continue
        count = int(m.group(1).replace(",", ""))
        name = m.group(3).strip()
        if name.startswith("PROGRAM TOTALS"):
            total = count
        elif ":" in name:
            # file:function [object]; keep the function and the object's name
            where, _, obj = name.partition(" [")
            function = short_name(where.split(":", 1)[1])
            key = f"{function} [{Path(obj.rstrip(']')).name}]" if obj else function
            functions[key] = functions.get(key, 0) + count
    return total, functions


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--module", help="another build of the extension (.so) to profile")
    ap.add_argument("--body", default="panda", help="sample body (default panda)")
    ap.add_argument("--calls", type=int, default=2000, help="calls counted (default 2000)")
    ap.add_argument("--general", action="store_true", help="ndarray-subclass inputs")
    ap.add_argument("--top", type=int, default=15, help="functions listed (default 15)")
    ap.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child is not None:
        child(args)
        return 0
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        sys.exit("error: valgrind (with callgrind_annotate) is not installed")

    with tempfile.TemporaryDirectory() as tmp:
        t0, f0 = callgrind(args, WARMUP, tmp)
        t1, f1 = callgrind(args, WARMUP + args.calls, tmp)
    per_call = (t1 - t0) / args.calls
    diff = {k: (f1.get(k, 0) - f0.get(k, 0)) / args.calls for k in set(f0) | set(f1)}
    top = sorted(diff.items(), key=lambda kv: -kv[1])[: args.top]
    what = args.module or "installed module"
    print(f"{args.body}{' (general path)' if args.general else ''}, {what}")
    print(f"instructions per call: {per_call:,.0f}")
    print(f"{'Ir/call':>10s} {'share':>6s}  function [object]")
    for name, count in top:
        print(f"{count:10,.0f} {count / per_call:6.1%}  {name}")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    sys.exit(main())
