"""Plain joint records and random chains for the forward-kinematics tests.

The native function reads only attributes and items, so these records
(unlike kovi._kinbody's validated ones) can carry anything: non-unit axes,
non-rigid or 3x4 transforms, lists, strings, objects that fail.  For the
compiled chains, which take only validated bodies: random KinBody chains,
and the same body as a Pinocchio model (also used by the chain bench).
"""

import math
from types import SimpleNamespace

import numpy as np


def joint(T_left=None, axis=(0.0, 0.0, 1.0), T_right=None, joint_type="revolute"):
    return SimpleNamespace(
        T_left=np.eye(4) if T_left is None else T_left,
        axis=np.asarray(axis, dtype=float) if isinstance(axis, tuple) else axis,
        T_right=np.eye(4) if T_right is None else T_right,
        joint_type=joint_type,
    )


def body(*joints):
    return SimpleNamespace(joints=list(joints))


def random_transform(rng):
    """A 4x4 with entries of mixed magnitude and sign, rigid or not."""
    if rng.random() < 0.5:
        a, b, c = rng.uniform(-math.pi, math.pi, 3)
        ca, sa, cb, sb, cc, sc = math.cos(a), math.sin(a), math.cos(b), math.sin(b), math.cos(c), math.sin(c)
        R = np.array([[ca, -sa, 0], [sa, ca, 0], [0, 0, 1.0]]) @ \
            np.array([[cb, 0, sb], [0, 1, 0], [-sb, 0, cb]]) @ \
            np.array([[1, 0, 0], [0, cc, -sc], [0, sc, cc]])
    else:
        R = rng.normal(size=(3, 3)) * 10.0 ** rng.integers(-3, 4)
    T = np.eye(4)
    T[:3, :3] = R
    T[:3, 3] = rng.normal(size=3) * 10.0 ** rng.integers(-2, 3)
    return T


def random_chain(rng, n):
    """A chain of n mixed joints with non-unit axes, and a configuration."""
    joints = []
    for _ in range(n):
        axis = rng.normal(size=3) * rng.uniform(0.2, 3.0)
        kind = "prismatic" if rng.random() < 0.35 else "revolute"
        joints.append(joint(random_transform(rng), axis, random_transform(rng), kind))
    q = rng.uniform(-4.0, 4.0, size=n)
    return body(*joints), q


def random_rigid_transform(rng):
    """A 4x4 rigid motion: a rotation from a random unit quaternion and a
    translation of robot scale."""
    w, x, y, z = rng.normal(size=4)
    n = math.sqrt(w * w + x * x + y * y + z * z)
    w, x, y, z = w / n, x / n, y / n, z / n
    T = np.eye(4)
    T[:3, :3] = [[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
                 [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
                 [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]]
    T[:3, 3] = rng.uniform(-0.5, 0.5, size=3)
    return T


def random_kinbody(rng, n):
    """A validated kovi KinBody of n mixed joints with rigid transforms and
    axes normalised in floating point (length 1 up to rounding, so mostly
    not exactly unit), and a configuration."""
    from kovi._kinbody import Joint, KinBody
    joints = []
    for i in range(n):
        axis = rng.normal(size=3)
        axis = axis / np.linalg.norm(axis)
        kind = "prismatic" if rng.random() < 0.35 else "revolute"
        joints.append(Joint(f"j{i}", random_rigid_transform(rng), axis,
                            random_rigid_transform(rng), kind))
    return KinBody(f"random{n}", joints), rng.uniform(-4.0, 4.0, size=n)


def pinocchio_model(pin, kb):
    """The body as a Pinocchio model: joint i placed at T_right(i-1) T_left(i),
    the end frame at the last T_right."""
    model = pin.Model()
    parent, placement = 0, np.eye(4)
    for j in kb.joints:
        M = placement @ j.T_left
        kind = pin.JointModelPrismaticUnaligned if j.joint_type == "prismatic" \
            else pin.JointModelRevoluteUnaligned
        parent = model.addJoint(parent, kind(np.array(j.axis)), pin.SE3(M[:3, :3], M[:3, 3]), j.name)
        placement = j.T_right
    end = model.addFrame(pin.Frame("end", parent, pin.SE3(placement[:3, :3], placement[:3, 3]),
                                   pin.FrameType.OP_FRAME))
    return model, end
