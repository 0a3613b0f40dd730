"""Kinematic body model: a serial chain of joints in product-of-exponentials form.

Each joint contributes ``T_left @ Joint(axis, q_i) @ T_right`` to the base-to-end
pose, where ``Joint`` is a rotation about ``axis`` (revolute) or a translation by
``q_i * axis`` (prismatic).  ``kovi.kinematics.poe_fk`` reads only the four
attributes ``T_left``, ``axis``, ``T_right`` and ``joint_type`` of each record.

Records are validated once, at construction, so the forward-kinematics hot path
never has to.  Stored arrays are fresh float64, C-contiguous and read-only: a
body cannot be changed behind the back of anything that cached a pose from it,
and a caller's later edits to its own input arrays do not leak in.

What is *not* checked, because the FK does not need it: rigidity of the
transforms (orthonormal rotation block, bottom row of a 4x4) and a unit-length
axis.  The FK uses the axis as given and never reads row 3 of a transform.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from types import MappingProxyType

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "Joint",
    "KinBody",
    "JOINT_TYPES",
    "SAMPLE_BODIES",
    "SAMPLE_CONFIGURATIONS",
    "panda",
    "ur5",
    "scara",
    "sample_body",
    "sample_configuration",
]

JOINT_TYPES = ("revolute", "prismatic")

_BOTTOM_ROW = np.array([0.0, 0.0, 0.0, 1.0])


def _real_array(value: object, where: str, field: str) -> NDArray[np.float64]:
    """``value`` as a new float64 array, or a TypeError/ValueError naming the field."""
    try:
        arr = np.asarray(value)
    except (ValueError, TypeError) as exc:
        # numpy refuses ragged nested sequences outright
        raise ValueError(f"{where}: {field} is not a regular array ({exc})") from None
    kind = arr.dtype.kind
    if kind in "iuf":
        out = np.array(arr, dtype=np.float64, order="C")
    elif kind == "O":
        # e.g. Fraction/Decimal entries, or huge ints; convert one by one so a
        # stray complex or bool is not silently coerced
        if any(isinstance(x, (bool, np.bool_, complex, np.complexfloating)) for x in arr.flat):
            raise TypeError(f"{where}: {field} must contain real numbers, got {arr.dtype} "
                            "entries that are bool or complex")
        out = np.empty(arr.shape, dtype=np.float64)
        try:
            for idx, x in np.ndenumerate(arr):
                out[idx] = float(x)
        except OverflowError:
            raise ValueError(f"{where}: {field} has an entry too large for float64") from None
        except (TypeError, ValueError):
            raise TypeError(f"{where}: {field} must contain real numbers, "
                            f"got entry {x!r}") from None
    else:
        # complex, bool, str, datetime, ...: none of them is a length
        raise TypeError(f"{where}: {field} must contain real numbers, got dtype {arr.dtype}")
    return out


def _check_finite(arr: NDArray[np.float64], where: str, field: str) -> None:
    if not np.isfinite(arr).all():
        bad = tuple(int(i) for i in np.argwhere(~np.isfinite(arr))[0])
        raise ValueError(f"{where}: {field} must be finite, entry {bad} is {float(arr[bad])}")


def _transform(value: object, where: str, field: str) -> NDArray[np.float64]:
    arr = _real_array(value, where, field)
    if arr.shape not in ((4, 4), (3, 4)):
        raise ValueError(f"{where}: {field} must be 4x4 or 3x4, got shape {arr.shape}")
    _check_finite(arr, where, field)
    if arr.shape == (3, 4):
        arr = np.vstack([arr, _BOTTOM_ROW])
    arr.flags.writeable = False
    return arr


def _axis(value: object, where: str) -> NDArray[np.float64]:
    arr = _real_array(value, where, "axis")
    if arr.shape != (3,):
        raise ValueError(f"{where}: axis must be 3 numbers, got shape {arr.shape}")
    _check_finite(arr, where, "axis")
    arr.flags.writeable = False
    return arr


@dataclass(frozen=True, eq=False, slots=True)
class Joint:
    """One joint of a chain: ``T_left @ Joint(axis, q) @ T_right``.

    ``T_left``/``T_right`` accept 4x4 or 3x4 real arrays (3x4 gets the bottom
    row ``[0, 0, 0, 1]``) and are stored 4x4; ``axis`` is 3 real numbers.
    """

    name: str
    T_left: NDArray[np.float64]
    axis: NDArray[np.float64]
    T_right: NDArray[np.float64]
    joint_type: str = "revolute"

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise TypeError(f"joint name must be a str, got {type(self.name).__name__}")
        if not self.name:
            raise ValueError("joint name must not be empty")
        where = f"joint {self.name!r}"
        jt = self.joint_type
        if not isinstance(jt, str):
            raise TypeError(f"{where}: joint_type must be a str, got {type(jt).__name__}")
        if jt not in JOINT_TYPES:
            raise ValueError(f"{where}: joint_type must be 'revolute' or 'prismatic', got {jt!r}")
        # frozen dataclass: normalised values go in through object.__setattr__
        object.__setattr__(self, "joint_type", str(jt))  # plain str, not a subclass
        object.__setattr__(self, "T_left", _transform(self.T_left, where, "T_left"))
        object.__setattr__(self, "axis", _axis(self.axis, where))
        object.__setattr__(self, "T_right", _transform(self.T_right, where, "T_right"))

    def __repr__(self) -> str:
        return f"Joint({self.name!r}, {self.joint_type}, axis={self.axis.tolist()})"


@dataclass(frozen=True, eq=False, slots=True)
class KinBody:
    """A serial chain: ``joints`` in base-to-end order, stored as a tuple."""

    name: str
    joints: tuple[Joint, ...]

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise TypeError(f"body name must be a str, got {type(self.name).__name__}")
        if isinstance(self.joints, (str, bytes)) or not isinstance(self.joints, Iterable):
            raise TypeError(f"body {self.name!r}: joints must be a sequence of Joint, "
                            f"got {type(self.joints).__name__}")
        joints = tuple(self.joints)
        seen: dict[str, int] = {}
        for i, j in enumerate(joints):
            if not isinstance(j, Joint):
                raise TypeError(f"body {self.name!r}: joints[{i}] must be a Joint, "
                                f"got {type(j).__name__}")
            if j.name in seen:
                raise ValueError(f"body {self.name!r}: joints[{i}] and joints[{seen[j.name]}] "
                                 f"share the name {j.name!r}")
            seen[j.name] = i
        object.__setattr__(self, "joints", joints)

    @property
    def dof(self) -> int:
        return len(self.joints)

    def __len__(self) -> int:
        return len(self.joints)

    @property
    def joint_names(self) -> tuple[str, ...]:
        return tuple(j.name for j in self.joints)

    def __repr__(self) -> str:
        kinds = "".join("P" if j.joint_type == "prismatic" else "R" for j in self.joints)
        return f"KinBody({self.name!r}, {kinds or 'no joints'})"


# ---------------------------------------------------------------------------
# Elementary transforms used to turn DH tables into POE records
# ---------------------------------------------------------------------------

_Z = (0.0, 0.0, 1.0)


def _trans(x: float = 0.0, y: float = 0.0, z: float = 0.0) -> NDArray[np.float64]:
    T = np.eye(4)
    T[:3, 3] = (x, y, z)
    return T


def _rot_x(alpha: float) -> NDArray[np.float64]:
    c, s = math.cos(alpha), math.sin(alpha)
    T = np.eye(4)
    T[1, 1], T[1, 2] = c, -s
    T[2, 1], T[2, 2] = s, c
    return T


def _modified_dh_joint(name: str, a: float, d: float, alpha: float) -> Joint:
    # Craig: RotX(alpha_{i-1}) TransX(a_{i-1}) | RotZ(theta_i) | TransZ(d_i)
    return Joint(name, _rot_x(alpha) @ _trans(x=a), _Z, _trans(z=d), "revolute")


def _standard_dh_joint(name: str, a: float, d: float, alpha: float) -> Joint:
    # RotZ(theta_i) | TransZ(d_i) TransX(a_i) RotX(alpha_i)
    return Joint(name, np.eye(4), _Z, _trans(z=d) @ _trans(x=a) @ _rot_x(alpha), "revolute")


# ---------------------------------------------------------------------------
# Sample bodies
# ---------------------------------------------------------------------------

def panda() -> KinBody:
    """Franka Emika Panda, 7R, base to flange (no hand).

    Modified (Craig) DH from the Franka Control Interface documentation,
    Denavit-Hartenberg table (frankaemika.github.io/docs, control parameters):
    a_{i-1}, d_i, alpha_{i-1} for joints 1..7, then a fixed flange d = 0.107.
    """
    h = math.pi / 2
    a = (0.0, 0.0, 0.0, 0.0825, -0.0825, 0.0, 0.088)
    d = (0.333, 0.0, 0.316, 0.0, 0.384, 0.0, 0.0)
    alpha = (0.0, -h, h, h, -h, h, h)
    joints = [_modified_dh_joint(f"panda_joint{i + 1}", a[i], d[i], alpha[i]) for i in range(7)]
    last = joints[-1]
    # flange frame: alpha = 0, a = 0, theta = 0, d = 0.107 -> fold TransZ into T_right
    joints[-1] = Joint(last.name, last.T_left, last.axis, last.T_right @ _trans(z=0.107),
                       last.joint_type)
    return KinBody("panda", joints)


def ur5() -> KinBody:
    """Universal Robots UR5 (CB-series), 6R, base to tool flange.

    Standard DH from Universal Robots' published "DH parameters for
    calculations of kinematics and dynamics" table for the UR5.
    """
    h = math.pi / 2
    a = (0.0, -0.425, -0.39225, 0.0, 0.0, 0.0)
    d = (0.089159, 0.0, 0.0, 0.10915, 0.09465, 0.0823)
    alpha = (h, 0.0, 0.0, h, -h, 0.0)
    names = ("shoulder_pan", "shoulder_lift", "elbow", "wrist_1", "wrist_2", "wrist_3")
    return KinBody("ur5", [_standard_dh_joint(names[i], a[i], d[i], alpha[i]) for i in range(6)])


# Round numbers typical of a 650 mm reach SCARA; not any one vendor's model.
SCARA_COLUMN = 0.40   # base to the arm plane
SCARA_LINK1 = 0.35
SCARA_LINK2 = 0.30
SCARA_TOOL = 0.06     # quill end to flange, further down


def scara() -> KinBody:
    """SCARA-like RRPR chain: two arm joints about +z, a quill moving down
    (prismatic along -z, q3 >= 0 lowers the tool), and a roll about +z."""
    return KinBody("scara", [
        Joint("arm1", np.eye(4), _Z, _trans(x=SCARA_LINK1, z=SCARA_COLUMN), "revolute"),
        Joint("arm2", np.eye(4), _Z, _trans(x=SCARA_LINK2), "revolute"),
        Joint("quill", np.eye(4), (0.0, 0.0, -1.0), np.eye(4), "prismatic"),
        Joint("roll", np.eye(4), _Z, _trans(z=-SCARA_TOOL), "revolute"),
    ])


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
