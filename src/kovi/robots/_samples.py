"""The sample robots' bodies and configurations (see ``kovi.robots``).

Lengths are in metres, angles in radians.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from types import MappingProxyType

import numpy as np
from numpy.typing import NDArray

from kovi._kinbody import Joint, KinBody

__all__ = ["SAMPLE_BODIES", "SAMPLE_CONFIGURATIONS", "panda", "ur5", "scara", "sample_body",
           "sample_configuration"]

_Z = (0.0, 0.0, 1.0)


def _trans(x: float = 0.0, y: float = 0.0, z: float = 0.0) -> NDArray[np.float64]:
    T = np.eye(4)
    T[:3, 3] = (x, y, z)
    return T


_HALF_PI = math.pi / 2


def panda() -> KinBody:
    """Franka Emika Panda, 7 revolute joints, base to flange (no hand).

    Base frame: ``panda_link0``, at the bottom of the robot's base, z up along
    joint 1.  End frame: the flange, ``panda_link8`` in Franka's description,
    0.107 m beyond the wrist along joint 7's axis, z pointing out of the
    flange.  Joints ``panda_joint1`` .. ``panda_joint7`` with Franka's limits.

    Modified (Craig) DH from the Franka Control Interface documentation's
    Denavit-Hartenberg table (a_{i-1}, d_i, alpha_{i-1} for joints 1..7), then
    a fixed flange d = 0.107; the same chain as ``robots/panda.urdf``.
    """
    h = _HALF_PI
    a = (0.0, 0.0, 0.0, 0.0825, -0.0825, 0.0, 0.088)
    d = (0.333, 0.0, 0.316, 0.0, 0.384, 0.0, 0.0)
    alpha = (0.0, -h, h, h, -h, h, h)
    lower = (-2.8973, -1.7628, -2.8973, -3.0718, -2.8973, -0.0175, -2.8973)
    upper = (2.8973, 1.7628, 2.8973, -0.0698, 2.8973, 3.7525, 2.8973)
    rows = [(a[i], alpha[i], d[i], 0.0, "revolute", f"panda_joint{i + 1}") for i in range(7)]
    kb = KinBody.from_dh(rows, "modified", name="panda", tool=_trans(z=0.107),
                         limits=zip(lower, upper))
    # modified DH frame i is Franka's panda_link<i>; the flange is panda_link8
    return KinBody(kb.name, kb.joints,
                   link_names=[*(f"panda_link{i}" for i in range(7)), "panda_link8"])


def ur5() -> KinBody:
    """Universal Robots UR5 (CB-series), 6 revolute joints, base to tool flange.

    Base frame: the DH base frame, which Universal Robots' URDF description
    names ``base``: z up along the shoulder axis.  The URDF's ``base_link`` is
    that frame turned by pi about z, so this body's pose is ``Rz(pi)`` times
    the URDF's ``base_link``-to-``tool0`` pose.  End frame: ``tool0``, on the
    tool flange, z pointing out of it.  Joints ``shoulder_pan`` ..
    ``wrist_3``, each limited to +-2 pi.

    Standard DH from Universal Robots' published "DH parameters for
    calculations of kinematics and dynamics" table for the UR5.
    """
    h = _HALF_PI
    a = (0.0, -0.425, -0.39225, 0.0, 0.0, 0.0)
    d = (0.089159, 0.0, 0.0, 0.10915, 0.09465, 0.0823)
    alpha = (h, 0.0, 0.0, h, -h, 0.0)
    names = ("shoulder_pan", "shoulder_lift", "elbow", "wrist_1", "wrist_2", "wrist_3")
    rows = [(a[i], alpha[i], d[i], 0.0, "revolute", names[i]) for i in range(6)]
    kb = KinBody.from_dh(rows, "standard", name="ur5", limits=[(-2 * math.pi, 2 * math.pi)] * 6)
    # the DH frames after joints 1-5 are none of the URDF's links
    return KinBody(kb.name, kb.joints, link_names=[*kb.link_names[:-1], "tool0"])


# Round numbers typical of a 650 mm reach SCARA; not any one vendor's model.
SCARA_COLUMN = 0.40   # base to the arm plane
SCARA_LINK1 = 0.35
SCARA_LINK2 = 0.30
SCARA_TOOL = 0.06     # quill end to flange, further down
SCARA_STROKE = 0.20   # quill travel


def scara() -> KinBody:
    """SCARA-like chain: revolute, revolute, prismatic, revolute.

    Two arm joints about +z, a quill moving down (prismatic along -z, so
    q3 >= 0 lowers the tool, up to a 0.2 m stroke) and a roll about +z.
    Base frame: on the floor under the column, z up.  End frame: the flange
    at the quill's lower end, parallel to the base frame when the rotations
    are zero.  A round-number model, not any one vendor's.
    """
    return KinBody("scara", [
        Joint("arm1", np.eye(4), _Z, _trans(x=SCARA_LINK1, z=SCARA_COLUMN), "revolute",
              limits=(-2.5, 2.5)),
        Joint("arm2", np.eye(4), _Z, _trans(x=SCARA_LINK2), "revolute", limits=(-2.5, 2.5)),
        Joint("quill", np.eye(4), (0.0, 0.0, -1.0), np.eye(4), "prismatic",
              limits=(0.0, SCARA_STROKE)),
        Joint("roll", np.eye(4), _Z, _trans(z=-SCARA_TOOL), "revolute",
              limits=(-2 * math.pi, 2 * math.pi)),
    ], link_names=("base", "arm1_link", "arm2_link", "quill_link", "flange"))


SAMPLE_BODIES: Mapping[str, Callable[[], KinBody]] = MappingProxyType({
    "panda": panda,
    "ur5": ur5,
    "scara": scara,
})

SAMPLE_CONFIGURATIONS: Mapping[str, tuple[float, ...]] = MappingProxyType({
    # libfranka/franka_ros "ready" pose; inside the Panda's joint limits
    "panda": (0.0, -math.pi / 4, 0.0, -3 * math.pi / 4, 0.0, math.pi / 2, math.pi / 4),
    # arm raised, elbow bent, wrist pointing down; UR5 joints allow +-2pi
    "ur5": (0.3, -1.2, 1.5, -1.9, -math.pi / 2, 0.4),
    # quill 0.12 m down, within a 0.2 m stroke
    "scara": (0.4, -0.9, 0.12, 1.1),
})


def sample_body(name: str) -> KinBody:
    """A fresh sample body by name (see ``SAMPLE_BODIES``)."""
    try:
        factory = SAMPLE_BODIES[name]
    except KeyError:
        raise KeyError(f"no sample body {name!r}; have {sorted(SAMPLE_BODIES)}") from None
    return factory()


def sample_configuration(name: str) -> NDArray[np.float64]:
    """A fresh float64 configuration for the sample body ``name``."""
    try:
        q = SAMPLE_CONFIGURATIONS[name]
    except KeyError:
        raise KeyError(f"no sample body {name!r}; have {sorted(SAMPLE_BODIES)}") from None
    return np.array(q, dtype=np.float64)
