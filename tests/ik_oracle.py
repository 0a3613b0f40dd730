"""An independent judge of inverse-kinematics answers.

Poses here come from plain numpy, written from the joints' records
(``T_left @ Joint(axis, q) @ T_right`` with the rotation built by
``scipy``-free Rodrigues), never from kovi's native kernels, so a solver
cannot grade its own answers.
"""

import math

import numpy as np


def joint_transform(joint, value):
    """The 4x4 of one joint at one value: T_left @ motion @ T_right."""
    axis = np.asarray(joint.axis, dtype=float)
    motion = np.eye(4)
    if joint.joint_type == "prismatic":
        motion[:3, 3] = value * axis
    else:
        k = axis / np.linalg.norm(axis)
        K = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
        motion[:3, :3] = np.eye(3) + math.sin(value) * K + (1.0 - math.cos(value)) * (K @ K)
    return np.asarray(joint.T_left, dtype=float) @ motion @ np.asarray(joint.T_right, dtype=float)


def fk(kb, q):
    """Base-to-end pose of a KinBody at q."""
    T = np.eye(4)
    for joint, value in zip(kb.joints, q, strict=True):
        T = T @ joint_transform(joint, float(value))
    return T


def pose_error(T_target, T):
    """(position error in metres, geodesic rotation error in radians)."""
    position = float(np.linalg.norm(T[:3, 3] - T_target[:3, 3]))
    M = T_target[:3, :3].T @ T[:3, :3]
    sine = np.array([M[2, 1] - M[1, 2], M[0, 2] - M[2, 0], M[1, 0] - M[0, 1]])
    rotation = math.atan2(float(np.linalg.norm(sine)), float(np.trace(M) - 1.0))
    return position, rotation


def reaches(kb, q, T_target, tol=1e-9):
    """True if q puts the end frame within tol (metres and radians) of T_target."""
    position, rotation = pose_error(T_target, fk(kb, q))
    return position <= tol and rotation <= tol


def within_limits(kb, q):
    return all(j.limits is None or j.limits[0] <= v <= j.limits[1]
               for j, v in zip(kb.joints, q, strict=True))


def random_configuration(kb, rng):
    """Uniform within each joint's limits; (-pi, pi] where there are none."""
    return np.array([rng.uniform(*j.limits) if j.limits is not None else rng.uniform(-math.pi, math.pi)
                     for j in kb.joints])


def axes_and_points(kb):
    """The chain at q = 0 in product-of-exponentials form, as IK-Geo's peers
    take it: each joint's axis and a point on it in the base frame, and the
    end frame's pose M."""
    h, p, A = [], [], np.eye(4)
    for j in kb.joints:
        F = A @ np.asarray(j.T_left, dtype=float)
        h.append(F[:3, :3] @ np.asarray(j.axis, dtype=float))
        p.append(F[:3, 3].copy())
        A = F @ np.asarray(j.T_right, dtype=float)
    return np.array(h), np.array(p), A
