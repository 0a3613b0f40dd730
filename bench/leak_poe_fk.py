"""Reference and allocation growth of poe_forward_kinematics over many calls (not a test).

    python bench/leak_poe_fk.py [--fast 1000000] [--failing 100000]

Runs the sample arm `--fast` times through the fast paths, then each kind of
failing call `--failing` times, and after each batch prints the change of
the reference counts of everything the calls read, of the interpreter's
allocated blocks and of the process's peak resident size.  A call that
kept one reference or one object would show up as a growth of the batch's
size; zero or a few blocks (free lists, caches) is clean.
"""

from __future__ import annotations

import argparse
import gc
import math
import resource
import sys



class Partial:
    """A slotted joint record whose T_right slot is empty."""

    __slots__ = ("T_left", "axis", "T_right", "joint_type")


def batches(fk, kb, q):
    """(name, call, exception type or None, objects whose counts must not move)."""
    joints = kb.joints
    first = joints[0]
    seen = [kb, q, joints, first, first.T_left, first.axis, first.T_right]

    short_q = q[:-1].copy()
    inf_q = q.copy()
    inf_q[3] = math.inf
    partial = Partial()
    partial.T_left, partial.axis, partial.joint_type = first.T_left, first.axis, "revolute"
    record_kb = type("Body", (), {"joints": (first, partial)})()
    return [
        ("fast", lambda: fk(kb, q), None, seen),
        ("q too short (IndexError)", lambda: fk(kb, short_q), IndexError, seen + [short_q]),
        ("cos(inf) (ValueError)", lambda: fk(kb, inf_q), ValueError, seen + [inf_q]),
        ("empty slot (AttributeError)", lambda: fk(record_kb, q), AttributeError,
         seen + [partial]),
    ]


def run_batch(call, expected, count):
    if expected is None:
        for _ in range(count):
            call()
        return
    for _ in range(count):
        try:
            call()
        except expected:
            pass
        else:
            sys.exit(f"error: {call} did not raise {expected.__name__}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--fast", type=int, default=1_000_000, help="successful calls (default 10^6)")
    ap.add_argument("--failing", type=int, default=100_000,
                    help="calls of each failing kind (default 10^5)")
    args = ap.parse_args(argv)

    from kovi.robots._samples import panda, sample_configuration
    from kovi.kinematics.poe_fk import poe_forward_kinematics as fk

    kb, q = panda(), sample_configuration("panda")
    print(f"{'batch':40s} {'calls':>9s} {'refs':>10s} {'blocks':>8s} {'peak RSS kB':>12s}")
    for name, call, expected, seen in batches(fk, kb, q):
        count = args.fast if expected is None else args.failing
        run_batch(call, expected, 100)          # warm free lists and caches
        gc.collect()
        refs = [sys.getrefcount(o) for o in seen]
        blocks = sys.getallocatedblocks()
        rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        run_batch(call, expected, count)
        gc.collect()
        after = [sys.getrefcount(o) for o in seen]
        grown = [a - r for a, r in zip(after, refs)]
        print(f"{name:40s} {count:9d} {str(max(grown, key=abs)):>10s} "
              f"{sys.getallocatedblocks() - blocks:8d} "
              f"{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss:12d}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
