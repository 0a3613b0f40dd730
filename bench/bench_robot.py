"""Benchmark kovi.Robot's frames against Pinocchio, and check them on every
URDF of example-robot-data.

Run from the repository root after installing the package:

    python bench/bench_robot.py [--calls N] [--rounds R] [--configurations C]

1. The Panda with its hand (example-robot-data's panda.urdf, 13 frames), per
   call at one configuration: ``robot.frame_poses(q)`` against Pinocchio's
   ``framesForwardKinematics`` plus reading the same frames from Python as a
   dict of 4x4 arrays (``data.oMf[i].homogeneous``).  Timing is interleaved:
   each round times both once, in alternating order, and the table reports
   minima over rounds, so load on the shared machine lands on both alike.
2. Every example-robot-data URDF: every frame's pose and Jacobian (world and
   local) against Pinocchio at C random configurations (default 100), mimic
   joints coupled by hand as in tests/test_robot.py; the worst difference.

Needs ``pin`` and ``example-robot-data`` (the ``bench`` and ``test``
extras).  This is not a test: it prints times, the ratio and the goals.
"""

from __future__ import annotations

import argparse
import math
import sysconfig
import time
import warnings
from pathlib import Path

import numpy as np

import kovi

ROBOTS = Path(sysconfig.get_paths()["purelib"], "cmeel.prefix", "share", "example-robot-data",
              "robots")


def pin_configuration(pin, model, robot, q):
    values = dict(zip(robot.joint_names, q))
    for name, (driver, multiplier, offset) in robot.mimic_joints.items():
        values[name] = multiplier * values[driver] + offset
    q_pin = pin.neutral(model)
    for name, value in values.items():
        j = model.joints[model.getJointId(name)]
        q_pin[j.idx_q:j.idx_q + j.nq] = (math.cos(value), math.sin(value)) if j.nq == 2 else value
    return q_pin


def time_panda(pin, calls, rounds):
    path = ROBOTS / "panda_description" / "urdf" / "panda.urdf"
    robot = kovi.Robot.from_urdf(path)
    model = pin.buildModelFromUrdf(str(path))
    data = model.createData()
    q = robot.random_configuration(0)
    q_pin = pin_configuration(pin, model, robot, q)
    frames = [(name, model.getFrameId(name, pin.BODY)) for name in robot.frame_names]

    def kovi_frames():
        return robot.frame_poses(q)

    def pin_frames():
        pin.framesForwardKinematics(model, data, q_pin)
        oMf = data.oMf
        return {name: oMf[i].homogeneous for name, i in frames}

    ours, theirs = kovi_frames(), pin_frames()
    worst = max(np.abs(ours[name] - theirs[name]).max() for name in robot.frame_names)
    assert worst < 1e-12, worst
    best = {"kovi": math.inf, "pin": math.inf}
    runs = [("kovi", kovi_frames), ("pin", pin_frames)]
    for r in range(rounds):
        for name, run in runs if r % 2 == 0 else runs[::-1]:
            start = time.perf_counter()
            for _ in range(calls):
                run()
            best[name] = min(best[name], (time.perf_counter() - start) / calls)
    print(f"Panda with hand, {len(robot.frame_names)} frames, {robot.dof} joints "
          f"(agreement {worst:.1e}); per call, best of {rounds} rounds of {calls}:")
    print(f"  kovi  robot.frame_poses(q)                        {best['kovi'] * 1e6:8.2f} us")
    print(f"  pin   framesForwardKinematics + reading frames   {best['pin'] * 1e6:8.2f} us")
    print(f"  ratio kovi / pin: {best['kovi'] / best['pin']:.2f}  (goal: at most 1)")


def check_all(pin, configurations):
    worst, checked, start = 0.0, 0, time.perf_counter()
    for path in sorted(ROBOTS.rglob("*.urdf")):
        try:
            model = pin.buildModelFromUrdf(str(path))
        except ValueError:
            print(f"  {path.relative_to(ROBOTS)}: no robot in it (Pinocchio refuses it too)")
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            robot = kovi.Robot.from_urdf(path)
        data = model.createData()
        ids = {name: model.getFrameId(name, pin.BODY) for name in robot.frame_names}
        columns = [model.joints[model.getJointId(n)].idx_v for n in robot.joint_names]
        mimics = [(robot.joint_names.index(d), m, model.joints[model.getJointId(n)].idx_v)
                  for n, (d, m, _) in robot.mimic_joints.items()]
        rng = np.random.default_rng(0)
        for _ in range(configurations):
            q = robot.random_configuration(rng)
            q_pin = pin_configuration(pin, model, robot, q)
            pin.framesForwardKinematics(model, data, q_pin)
            poses = robot.frame_poses(q)
            for name, frame_id in ids.items():
                worst = max(worst, np.abs(poses[name] - data.oMf[frame_id].homogeneous).max())
                for frame, reference in (("world", pin.LOCAL_WORLD_ALIGNED), ("local", pin.LOCAL)):
                    J_pin = pin.computeFrameJacobian(model, data, q_pin, frame_id, reference)
                    expected = J_pin[:, columns]
                    for column, multiplier, v in mimics:
                        expected[:, column] += multiplier * J_pin[:, v]
                    ours = robot.jacobian(name, q, frame)
                    if ours.size:
                        worst = max(worst, np.abs(ours - expected).max())
        checked += 1
    print(f"example-robot-data: {checked} robots, {configurations} configurations each, every "
          f"frame's pose and Jacobians: worst difference from Pinocchio {worst:.1e} "
          f"(goal 1e-12), {time.perf_counter() - start:.0f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--configurations", type=int, default=100)
    args = parser.parse_args()
    try:
        import pinocchio as pin
    except ImportError:
        raise SystemExit("needs Pinocchio (pip install pin)") from None
    if not ROBOTS.is_dir():
        raise SystemExit("needs example-robot-data (pip install example-robot-data)")
    time_panda(pin, args.calls, args.rounds)
    check_all(pin, args.configurations)


if __name__ == "__main__":
    main()
