"""Kinematic body model: a serial chain of joints in product-of-exponentials form.

Each joint contributes ``T_left @ Joint(axis, q_i) @ T_right`` to the base-to-end
pose, where ``Joint`` is a rotation about ``axis`` (revolute) or a translation by
``q_i * axis`` (prismatic).  ``kovi.kinematics.poe_fk`` reads only the four
attributes ``T_left``, ``axis``, ``T_right`` and ``joint_type`` of each record.

Records are validated once, at construction, so the forward-kinematics hot path
never has to.  Stored arrays are fresh float64, C-contiguous and read-only: a
body cannot be changed behind the back of anything that cached a pose from it,
and a caller's later edits to its own input arrays do not leak in.

The axis must have unit length (or be scaled to it on request): with any other
length a revolute joint's block is not a rotation and a prismatic joint's value
is not a distance.  What is *not* checked, because the FK does not need it:
rigidity of the transforms (orthonormal rotation block, bottom row of a 4x4).
The FK never reads row 3 of a transform.

Lengths are in metres and angles in radians throughout.
"""

from __future__ import annotations

import math
import os
import reprlib
import sys
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Literal, get_type_hints

import numpy as np
from numpy.typing import ArrayLike, NDArray

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

# How far an axis's length may be from 1 and still count as a unit axis: far
# above the rounding of an axis computed in float64, far below any typo.
AXIS_UNIT_TOLERANCE = 1e-9

_BOTTOM_ROW = np.array([0.0, 0.0, 0.0, 1.0])
_FLOAT_MIN = sys.float_info.min   # the least normal double


# The one rule for every number a body is made of (transforms, axes, limits,
# DH entries), and for joint values: real numbers only.  An int, a float, a
# numpy integer or floating scalar or array, and any other object that
# float() reads as a number (a Fraction, a Decimal, an int beyond int64, an
# object with __float__) are accepted.  bool, complex, str and bytes are
# refused wherever they appear, alone, in a list or in an array; a str is
# never parsed as a number.
_NOT_REAL = (bool, np.bool_, complex, np.complexfloating, str, bytes, np.str_, np.bytes_)


def _not_real(kind: str, where: str, field: str) -> TypeError:
    return TypeError(f"{where}: {field} must hold real numbers, got {kind}")


def _real_array(value: object, where: str, field: str) -> NDArray[np.float64]:
    """``value`` as a new float64 array, or a TypeError/ValueError naming the field."""
    try:
        arr = np.asarray(value)
    except (ValueError, TypeError) as exc:
        # numpy refuses ragged nested sequences outright
        raise ValueError(f"{where}: {field} is not a regular array ({exc})") from None
    kind = arr.dtype.kind
    if kind in "iuf":
        if not isinstance(value, np.ndarray):
            # numpy reads [True, 0, 0] as integers and (0.5, True) as
            # floats: look at the entries themselves
            _refuse_entries(np.asarray(value, dtype=object), where, field)
        out = np.array(arr, dtype=np.float64, order="C")
    elif kind == "O":
        # Fraction/Decimal entries, huge ints, objects with __float__:
        # converted one by one, after the refused kinds are ruled out
        _refuse_entries(arr, where, field)
        out = np.empty(arr.shape, dtype=np.float64)
        for idx, x in np.ndenumerate(arr):
            try:
                out[idx] = float(x)
            except OverflowError:
                raise ValueError(f"{where}: {field} has an entry too large for float64") from None
            except (TypeError, ValueError):
                raise _not_real(f"an entry of type {type(x).__name__}", where, field) from None
    else:
        # complex, bool, str, bytes, datetime, ...: none of them is a length
        raise _not_real(f"dtype {arr.dtype}", where, field)
    return out


def _refuse_entries(arr: NDArray[Any], where: str, field: str) -> None:
    for x in arr.flat:
        if isinstance(x, _NOT_REAL):
            raise _not_real(f"an entry of type {type(x).__name__}", where, field)


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


def _axis(value: object, where: str, normalize: bool) -> NDArray[np.float64]:
    arr = _real_array(value, where, "axis")
    if arr.shape != (3,):
        raise ValueError(f"{where}: axis must be 3 numbers, got shape {arr.shape}")
    _check_finite(arr, where, "axis")
    length = math.hypot(*arr.tolist())
    if length == 0.0:
        raise ValueError(f"{where}: axis {tuple(arr.tolist())} has zero length and gives "
                         "no direction")
    if normalize and abs(length - 1.0) > AXIS_UNIT_TOLERANCE:
        if not _FLOAT_MIN <= length < math.inf:
            # The length has lost its bits to underflow (subnormal
            # components) or overflowed: scale by the largest component
            # first, which is exact enough for a length near 1.
            arr = arr / np.abs(arr).max()
            length = math.hypot(*arr.tolist())
        arr = arr / length
    elif abs(length - 1.0) > AXIS_UNIT_TOLERANCE:
        raise ValueError(f"{where}: axis {tuple(arr.tolist())} has length {length:.12g}, "
                         "not 1; pass normalize=True to scale it to unit length")
    # a unit axis (to within the tolerance) is stored as given, with or
    # without normalize, so its bits (and the poses) do not move by a rounding
    arr.flags.writeable = False
    return arr


def _limits(value: object, where: str) -> tuple[float, float] | None:
    if value is None:
        return None
    arr = _real_array(value, where, "limits")
    if arr.shape != (2,):
        raise ValueError(f"{where}: limits must be (lower, upper), got shape {arr.shape}")
    lower, upper = arr.tolist()
    # (inf, inf) and (-inf, -inf) hold no value at all
    if not lower <= upper or lower == math.inf or upper == -math.inf:
        raise ValueError(f"{where}: limits must satisfy lower <= upper, "
                         f"got ({lower!r}, {upper!r})")
    return (lower, upper)


@dataclass(frozen=True, eq=False, slots=True, init=False)
class Joint:
    """One joint of a serial chain, contributing ``T_left @ Joint(axis, q) @ T_right``.

    ``Joint(axis, q)`` is a rotation by ``q`` radians about ``axis`` (right-hand
    rule) for a revolute joint, and a translation by ``q`` metres along ``axis``
    for a prismatic one.  ``axis`` is expressed in the frame that ``T_left``
    leads to, and ``T_right`` leads on from the moved frame to the next joint's
    frame (or to the end frame after the last joint).

    Parameters
    ----------
    name : str
        Non-empty, unique within a body.
    T_left, T_right : array_like, shape (4, 4) or (3, 4)
        Fixed homogeneous transforms, translations in metres; a 3x4 gets the
        bottom row ``[0, 0, 0, 1]``.  Stored as read-only 4x4 float64 arrays.
    axis : array_like, shape (3,)
        Direction of the joint, of unit length to within ``1e-9`` (stored as
        given).  A zero axis is always refused.
    joint_type : {"revolute", "prismatic"}
    limits : (float, float), optional, keyword-only
        ``(lower, upper)`` joint values, radians or metres.  Kept as data: the
        forward kinematics does not enforce them.
    normalize : bool, default False, keyword-only
        Scale a non-unit ``axis`` to unit length instead of refusing it.

    Raises
    ------
    TypeError
        A field of the wrong kind (a name that is not a string, complex or
        boolean numbers, ...).
    ValueError
        A wrong shape, a NaN or infinite entry, a zero or non-unit axis, an
        unknown joint type, limits with ``lower > upper``.  The message names
        the joint and the field.
    """

    name: str
    T_left: NDArray[np.float64]
    axis: NDArray[np.float64]
    T_right: NDArray[np.float64]
    joint_type: str
    limits: tuple[float, float] | None

    def __init__(self, name: str, T_left: ArrayLike, axis: ArrayLike, T_right: ArrayLike,
                 joint_type: str = "revolute", *, limits: ArrayLike | None = None,
                 normalize: bool = False) -> None:
        _refuse_second_init(self, Joint)
        if not isinstance(name, str):
            raise TypeError(f"joint name must be a str, got {type(name).__name__}")
        if not name:
            raise ValueError("joint name must not be empty")
        where = f"joint {name!r}"
        if not isinstance(joint_type, str):
            raise TypeError(f"{where}: joint_type must be a str, got {type(joint_type).__name__}")
        if joint_type not in JOINT_TYPES:
            raise ValueError(f"{where}: joint_type must be 'revolute' or 'prismatic', "
                             f"got {joint_type!r}")
        # frozen: the checked values go in through object.__setattr__
        set_field = object.__setattr__
        set_field(self, "name", str.__str__(name))  # plain str, not a subclass
        set_field(self, "joint_type", str(joint_type))
        set_field(self, "T_left", _transform(T_left, where, "T_left"))
        set_field(self, "axis", _axis(axis, where, normalize))
        set_field(self, "T_right", _transform(T_right, where, "T_right"))
        set_field(self, "limits", _limits(limits, where))

    def __reduce__(self) -> tuple[object, ...]:
        # Through the constructor, so that a copy or an unpickled joint is
        # checked and its arrays are read-only like the original's.
        return (_rebuild_joint, (self.name, self.T_left, self.axis, self.T_right,
                                 self.joint_type, self.limits))

    def __setstate__(self, state: object) -> None:
        # A pickle may name the class and give a state of its own (the field
        # values in order, or a dict of them, as the generated methods of a
        # slotted dataclass would read): it goes through the constructor.
        fields = _state_fields(state, _JOINT_FIELDS, "Joint")
        limits = fields.pop("limits", None)
        Joint.__init__(self, **fields, limits=limits)

    def __repr__(self) -> str:
        limits = "" if self.limits is None else f", limits={self.limits}"
        return f"Joint({self.name!r}, {self.joint_type}, axis={self.axis.tolist()}{limits})"


_JOINT_FIELDS = ("name", "T_left", "axis", "T_right", "joint_type", "limits")
_BODY_FIELDS = ("name", "joints")


def _refuse_second_init(obj: object, cls: type) -> None:
    # A frozen record is made once: calling __init__ (or __setstate__) again
    # on a made one would change it behind the back of whatever holds it.
    try:
        cls.name.__get__(obj)  # type: ignore[attr-defined]
    except AttributeError:
        return
    raise TypeError(f"{cls.__name__} is immutable: it is initialised once")


def _state_fields(state: object, names: tuple[str, ...], what: str) -> dict[str, Any]:
    if isinstance(state, tuple) and len(state) == 2 and state[0] is None:
        state = state[1]   # (None, slots) as object.__reduce_ex__ writes it
    if isinstance(state, (list, tuple)) and len(state) == len(names):
        return dict(zip(names, state))
    if isinstance(state, dict) and set(state) == set(names):
        return dict(state)
    raise TypeError(f"{what} state must hold the fields {', '.join(names)}, "
                    f"got {type(state).__name__}")


def _rebuild_joint(name: str, T_left: ArrayLike, axis: ArrayLike, T_right: ArrayLike,
                   joint_type: str, limits: ArrayLike | None) -> Joint:
    return Joint(name, T_left, axis, T_right, joint_type, limits=limits)


@dataclass(frozen=True, eq=False, slots=True, init=False)
class KinBody:
    """A serial chain of joints, from a base frame to an end frame.

    The pose of the end frame in the base frame at joint values ``q`` is the
    product of ``T_left @ Joint(axis, q[i]) @ T_right`` over ``joints`` in
    order.  Lengths are in metres, angles in radians.

    Parameters
    ----------
    name : str
        A label for messages and listings.
    joints : iterable of Joint
        Base to end; stored as a tuple.  Joint names must be unique.

    See Also
    --------
    KinBody.from_dh : a body from a Denavit-Hartenberg table.
    KinBody.from_urdf : the chain between two links of a URDF model.
    kovi.robots : sample bodies.
    """

    name: str
    joints: tuple[Joint, ...]

    def __init__(self, name: str, joints: Iterable[Joint]) -> None:
        _refuse_second_init(self, KinBody)
        if not isinstance(name, str):
            raise TypeError(f"body name must be a str, got {type(name).__name__}")
        if isinstance(joints, (str, bytes)) or not isinstance(joints, Iterable):
            raise TypeError(f"body {name!r}: joints must be a sequence of Joint, "
                            f"got {type(joints).__name__}")
        joints = tuple(joints)
        seen: dict[str, int] = {}
        for i, j in enumerate(joints):
            if not isinstance(j, Joint):
                raise TypeError(f"body {name!r}: joints[{i}] must be a Joint, "
                                f"got {type(j).__name__}")
            if j.name in seen:
                raise ValueError(f"body {name!r}: joints[{i}] and joints[{seen[j.name]}] "
                                 f"share the name {j.name!r}")
            seen[j.name] = i
        object.__setattr__(self, "name", str.__str__(name))  # plain str, not a subclass
        object.__setattr__(self, "joints", joints)

    def __reduce__(self) -> tuple[object, ...]:
        # through the constructor, which checks the joints again
        return (KinBody, (self.name, self.joints))

    def __setstate__(self, state: object) -> None:
        # through the constructor, as for Joint
        KinBody.__init__(self, **_state_fields(state, _BODY_FIELDS, "KinBody"))

    @property
    def dof(self) -> int:
        """Number of joints, which is the length of a configuration ``q``."""
        return len(self.joints)

    def __len__(self) -> int:
        return len(self.joints)

    @property
    def joint_names(self) -> tuple[str, ...]:
        return tuple(j.name for j in self.joints)

    def __repr__(self) -> str:
        kinds = "".join("P" if j.joint_type == "prismatic" else "R" for j in self.joints)
        return f"KinBody({self.name!r}, {kinds or 'no joints'})"

    @classmethod
    def from_dh(cls, rows: Iterable[Sequence[object]],
                convention: Literal["standard", "modified"] = "standard", *,
                name: str = "dh", base: object = None, tool: object = None,
                limits: Iterable[ArrayLike | None] | None = None) -> KinBody:
        """A body from a Denavit-Hartenberg table.

        Parameters
        ----------
        rows : iterable of sequences, or a 2-D numeric array
            One row per joint, base to end: ``(a, alpha, d, theta_offset)``,
            optionally followed by the joint type (``"revolute"``, the default,
            or ``"prismatic"``) and the joint's name (default ``"joint<i>"``,
            counted from 1).  ``a`` and ``d`` in metres, ``alpha`` and
            ``theta_offset`` in radians.  The joint value adds to ``theta``
            (``theta = q + theta_offset``) for a revolute row and to ``d``
            (``d = q + d``, with ``theta = theta_offset``) for a prismatic one.
        convention : {"standard", "modified"}
            ``"standard"`` (distal) rows give
            ``RotZ(theta) TransZ(d) TransX(a) RotX(alpha)``; ``"modified"``
            (proximal, Craig) rows hold ``a_{i-1}``, ``alpha_{i-1}`` and give
            ``RotX(alpha) TransX(a) RotZ(theta) TransZ(d)``.
        name : str, optional
            The body's name.
        base, tool : array_like, shape (4, 4) or (3, 4), optional
            Fixed transforms before the first row (the base frame to the
            table's frame 0) and after the last (the last frame to the end
            frame).
        limits : iterable of (lower, upper) or None, optional
            Joint limits, one entry per row (None for none).

        Returns
        -------
        KinBody
            Its pose at ``q`` is the product of the rows' transforms, from the
            base frame to the end frame.

        Raises
        ------
        ValueError, TypeError
            A malformed row (naming its index and field, or, for its joint
            type and name, the joint), base or tool given without rows.
        """
        return _body_from_dh(rows, convention, name, base, tool, limits)

    @classmethod
    def from_urdf(cls, source: str | bytes | os.PathLike[str], base_link: str | None = None,
                  tip_link: str | None = None) -> KinBody:
        """The serial chain between two links of a URDF robot model.

        Parameters
        ----------
        source : str, bytes or path-like
            A path to a URDF file, or the XML text itself (a ``str`` whose
            first non-blank character, after any byte order mark, is ``<``,
            or ``bytes``).
        base_link : str, optional
            The link whose frame is the base frame; by default the model's
            root link.
        tip_link : str, optional
            The link whose frame is the end frame; by default the only leaf
            link below ``base_link``.

        Returns
        -------
        KinBody
            One joint per revolute, continuous (as revolute) or prismatic
            joint on the chain, in chain order, named as in the file and
            carrying the file's position limits (none for continuous joints).
            Fixed joints are folded into the neighbouring transforms, and
            axes are scaled to unit length.  Named after the robot.

        Raises
        ------
        kovi.URDFError
            A ``ValueError`` naming the element for: malformed XML, a document
            type declaration (refused, so that no entity is ever expanded),
            bytes declared in an encoding other than UTF-8, UTF-16,
            ISO-8859-1 or US-ASCII (a ``str`` is read as it is), a
            missing link, a branch below ``base_link`` when ``tip_link`` is
            omitted (listing the candidate tips), a closed loop, a floating,
            planar or mimic joint on the chain, a zero axis.
        OSError
            The file cannot be read.
        """
        from kovi._urdf import load_chain
        return load_chain(source, base_link, tip_link).body


# ---------------------------------------------------------------------------
# Elementary transforms and Denavit-Hartenberg tables
# ---------------------------------------------------------------------------

_Z = (0.0, 0.0, 1.0)


def _trans(x: float = 0.0, y: float = 0.0, z: float = 0.0) -> NDArray[np.float64]:
    T = np.eye(4)
    T[:3, 3] = (x, y, z)
    return T


def _rotation(i: int, j: int, angle: float) -> NDArray[np.float64]:
    """Rotation by ``angle`` turning axis ``i`` towards axis ``j``."""
    c, s = math.cos(angle), math.sin(angle)
    T = np.eye(4)
    T[i, i], T[i, j] = c, -s
    T[j, i], T[j, j] = s, c
    return T


def _rot_x(alpha: float) -> NDArray[np.float64]:
    return _rotation(1, 2, alpha)


def _rot_z(theta: float) -> NDArray[np.float64]:
    return _rotation(0, 1, theta)


_DH_FIELDS = ("a", "alpha", "d", "theta_offset")


def _real_scalar(value: object, where: str, field: str) -> float:
    arr = _real_array(value, where, field)
    if arr.shape != ():
        raise ValueError(f"{where}: {field} must be a number, got shape {arr.shape}")
    _check_finite(arr, where, field)
    return float(arr)


def _short_repr(value: object, limit: int = 80) -> str:
    """``repr(value)`` on one line, cut to about ``limit`` characters."""
    text = " ".join(reprlib.repr(value).split())
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _body_from_dh(rows: Iterable[Sequence[object]], convention: str, name: str, base: object,
                  tool: object, limits: Iterable[ArrayLike | None] | None) -> KinBody:
    if convention not in ("standard", "modified"):
        raise ValueError(f"DH convention must be 'standard' or 'modified', got {convention!r}")
    rows = list(rows)
    joint_limits = [None] * len(rows) if limits is None else list(limits)
    if len(joint_limits) != len(rows):
        raise ValueError(f"DH table: {len(rows)} rows but {len(joint_limits)} limits")
    lefts, rights = [], []
    kinds: list[Any] = []   # checked by Joint, like the names
    names: list[Any] = []
    if not rows and (base is not None or tool is not None):
        raise ValueError("DH table: base and tool need at least one row to attach to")
    for i, row in enumerate(rows):
        where = f"DH rows[{i}]"
        if isinstance(row, np.ndarray) and row.ndim == 1:
            row = row.tolist()   # a row of a numeric table
        if isinstance(row, (str, bytes)) or not isinstance(row, Sequence) or not 4 <= len(row) <= 6:
            raise ValueError(f"{where} must be (a, alpha, d, theta_offset[, joint_type[, name]]), "
                             f"got {_short_repr(row)}")
        a, alpha, d, offset = (_real_scalar(x, where, f) for x, f in zip(row, _DH_FIELDS))
        # The joint moves theta (revolute) or d (prismatic); either way the
        # motion sits between RotZ(theta_offset) and TransZ(d), which commute
        # with it, so both kinds share the fixed transforms around it.
        if convention == "standard":
            T_left = _rot_z(offset) if offset else np.eye(4)
            T_right = _trans(z=d) @ _trans(x=a) @ _rot_x(alpha)
        else:
            T_left = _rot_x(alpha) @ _trans(x=a)
            if offset:
                T_left = T_left @ _rot_z(offset)
            T_right = _trans(z=d)
        lefts.append(T_left)
        rights.append(T_right)
        kinds.append(row[4] if len(row) > 4 else "revolute")
        names.append(row[5] if len(row) > 5 else f"joint{i + 1}")
    if rows and base is not None:
        lefts[0] = _transform(base, "DH table", "base") @ lefts[0]
    if rows and tool is not None:
        rights[-1] = rights[-1] @ _transform(tool, "DH table", "tool")
    return KinBody(name, [Joint(n, L, _Z, R, jt, limits=lim)
                          for n, L, R, jt, lim in zip(names, lefts, rights, kinds, joint_limits)])


# ---------------------------------------------------------------------------
# Sample bodies
# ---------------------------------------------------------------------------

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
    return KinBody.from_dh(rows, "modified", name="panda", tool=_trans(z=0.107),
                           limits=zip(lower, upper))


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
    return KinBody.from_dh(rows, "standard", name="ur5", limits=[(-2 * math.pi, 2 * math.pi)] * 6)


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


# The public names are kovi.Joint and kovi.KinBody (in reprs, help, pickles
# of a body: the package resolves them).  The fields' annotations are
# resolved here first: typing.get_type_hints reads a class's string
# annotations in the namespace of its __module__, which kovi's is not.
for _cls in (Joint, KinBody):
    _cls.__annotations__ = get_type_hints(_cls)
    _cls.__module__ = "kovi"
del _cls
