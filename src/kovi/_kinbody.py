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
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Literal, get_type_hints

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kovi import _configurations

__all__ = [
    "Joint",
    "KinBody",
    "JOINT_TYPES",
    "UrdfChain",
    "load_chain",
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

    def __repr__(self) -> str:
        limits = "" if self.limits is None else f", limits={self.limits}"
        return f"Joint({self.name!r}, {self.joint_type}, axis={self.axis.tolist()}{limits})"


_JOINT_FIELDS = ("name", "T_left", "axis", "T_right", "joint_type", "limits")
# link_names last: a state from before bodies kept them has the first two
_BODY_FIELDS = ("name", "joints", "link_names")


def _refuse_second_init(obj: object, cls: type) -> None:
    # A frozen record is made once: calling __init__ (or __setstate__) again
    # on a made one would change it behind the back of whatever holds it.
    try:
        cls.name.__get__(obj)  # type: ignore[attr-defined]
    except AttributeError:
        return
    raise TypeError(f"{cls.__name__} is immutable: it is initialised once")


def _state_fields(state: object, names: tuple[str, ...], what: str,
                  optional: int = 0) -> dict[str, Any]:
    """The fields of a pickled state; the last `optional` names may be absent."""
    if isinstance(state, tuple) and len(state) == 2 and state[0] is None:
        state = state[1]   # (None, slots) as object.__reduce_ex__ writes it
    for given in (names[: len(names) - k] for k in range(optional + 1)):
        if isinstance(state, (list, tuple)) and len(state) == len(given):
            return dict(zip(given, state))
        if isinstance(state, dict) and set(state) == set(given):
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
    link_names : iterable of str, optional, keyword-only
        ``dof + 1`` names of the frames that ``Chain.link_poses`` gives: the
        base frame, then the frame after each joint (the end frame last).
        By default ``"base"``, ``"link1"``, ... ``"link<dof>"``; models read
        from URDF name them after their links.

    See Also
    --------
    KinBody.from_dh : a body from a Denavit-Hartenberg table.
    KinBody.from_urdf : the chain between two links of a URDF model.
    kovi.robots : sample bodies.
    """

    name: str
    joints: tuple[Joint, ...]
    link_names: tuple[str, ...]

    def __init__(self, name: str, joints: Iterable[Joint], *,
                 link_names: Iterable[str] | None = None) -> None:
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
        object.__setattr__(self, "link_names", _link_names(link_names, name, len(joints)))

    def __reduce__(self) -> tuple[object, ...]:
        # through the constructor, which checks the joints again
        return (_rebuild_body, (self.name, self.joints, self.link_names))

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

    # -- base, tool and configurations ---------------------------------------

    def with_base(self, T: ArrayLike, *, name: str | None = None) -> KinBody:
        """This body behind a fixed transform ``T`` (4x4 or 3x4): a new body
        whose base frame is ``T``'s reference, so its poses are ``T @`` this
        body's.  ``name`` names the new base frame in ``link_names`` (by
        default the old name stays)."""
        return _with_ends(self, T, None, name, None)

    def with_tool(self, T: ArrayLike, *, name: str | None = None) -> KinBody:
        """This body with a fixed transform ``T`` (4x4 or 3x4) after its end
        frame, a tool or TCP offset: a new body whose poses are this body's
        ``@ T``.  ``name`` names the new end frame in ``link_names`` (by
        default ``"tool"``)."""
        return _with_ends(self, None, T, None, "tool" if name is None else name)

    def _limit_arrays(self) -> _configurations.Limits:
        return _configurations.Limits.of_joints(self.joints)

    def random_configuration(self, rng: object = None) -> NDArray[np.float64]:
        """A configuration drawn uniformly within the joint limits; a revolute
        joint without limits gets a value in (-pi, pi].

        ``rng`` is a ``numpy.random.Generator``, or a seed (anything
        ``numpy.random.default_rng`` takes; None for fresh entropy).  A
        prismatic joint without limits has no range to draw from: ValueError.
        """
        return self._limit_arrays().random(rng)

    def within_limits(self, q: ArrayLike, tol: float = 0.0) -> bool:
        """True if every value of ``q`` (``dof`` finite values) lies within
        its joint's limits, widened by ``tol`` (radians or metres); joints
        without limits always do."""
        return self._limit_arrays().within(q, tol)

    def clamp(self, q: ArrayLike) -> NDArray[np.float64]:
        """``q`` with each value moved to the nearest point of its joint's
        limits (a new float64 array)."""
        return self._limit_arrays().clamp(q)

    def neutral_configuration(self) -> NDArray[np.float64]:
        """Zero for every joint whose limits hold zero (or that has none),
        the middle of the limits for the others."""
        return self._limit_arrays().neutral()

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
            axes are scaled to unit length.  Named after the robot; its
            ``link_names`` are ``base_link``, the link after each joint and
            ``tip_link``.

        Raises
        ------
        kovi.URDFError
            A ``ValueError`` naming the element for: malformed XML, a document
            type declaration (refused, so that no entity is ever expanded),
            bytes declared in an encoding other than UTF-8, UTF-16,
            ISO-8859-1 or US-ASCII (a ``str`` is read as it is), a
            missing link, a branch below ``base_link`` when ``tip_link`` is
            omitted (listing the candidate tips), a closed loop, a floating,
            planar or mimic joint on the chain (``kovi.Robot.chain`` takes
            mimic joints), a zero axis, a number outside the XML decimal
            grammar (``1_000``, other scripts' digits) or not finite, a
            model without links, a path that names no regular file (a FIFO,
            a device) or a file longer than 64 MiB.
        OSError
            The file cannot be read.
        """
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
# Link names, base and tool

def _link_names(value: Iterable[str] | None, body: str, dof: int) -> tuple[str, ...]:
    if value is None:
        return ("base", *(f"link{i + 1}" for i in range(dof)))
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"body {body!r}: link_names must be a sequence of str, "
                        f"got {type(value).__name__}")
    names = tuple(value)
    if len(names) != dof + 1:
        raise ValueError(f"body {body!r}: link_names must hold {dof + 1} names (the base, then "
                         f"the frame after each joint), got {len(names)}")
    for i, n in enumerate(names):
        if not isinstance(n, str):
            raise TypeError(f"body {body!r}: link_names[{i}] must be a str, got {type(n).__name__}")
    return tuple(str.__str__(n) for n in names)


def _rebuild_body(name: str, joints: Iterable[Joint], link_names: Iterable[str] | None) -> KinBody:
    return KinBody(name, joints, link_names=link_names)


def _with_ends(body: KinBody, base: ArrayLike | None, tool: ArrayLike | None,
               base_name: str | None, tool_name: str | None) -> KinBody:
    if not body.joints:
        raise ValueError(f"body {body.name!r} has no joints to carry a base or tool transform")
    joints = list(body.joints)
    names = list(body.link_names)
    if base is not None:
        first = joints[0]
        T = _transform(base, f"body {body.name!r}", "base")
        joints[0] = Joint(first.name, T @ first.T_left, first.axis, first.T_right,
                          first.joint_type, limits=first.limits)
        names[0] = names[0] if base_name is None else base_name
    if tool is not None:
        last = joints[-1]
        T = _transform(tool, f"body {body.name!r}", "tool")
        joints[-1] = Joint(last.name, last.T_left, last.axis, last.T_right @ T,
                           last.joint_type, limits=last.limits)
        names[-1] = names[-1] if tool_name is None else tool_name
    return KinBody(body.name, joints, link_names=names)


# ---------------------------------------------------------------------------
# URDF chains

@dataclass(frozen=True)
class UrdfChain:
    """The chain that ``load_chain`` found: the body and the links it joins."""

    body: KinBody
    robot: str
    base_link: str
    tip_link: str


def load_chain(source: str | bytes | os.PathLike[str], base_link: str | None = None,
               tip_link: str | None = None) -> UrdfChain:
    """The chain from ``base_link`` to ``tip_link``; see ``KinBody.from_urdf``."""
    from kovi._urdf import read_model
    model = read_model(source)
    for role, link_name in (("base_link", base_link), ("tip_link", tip_link)):
        if link_name is not None:
            model.check_link(role, link_name)
    if base_link is None:
        base_link = model.root()
    if tip_link is None:
        tip_link = model.only_leaf(base_link)
    path = model.path_down(base_link, tip_link)
    joints, links = _urdf_joints(model, path, base_link, tip_link)
    return UrdfChain(KinBody(model.name, joints, link_names=links), model.name, base_link,
                     tip_link)


def _urdf_joints(model: Any, path: list[Any], base_link: str,
                 tip_link: str) -> tuple[list[Joint], list[str]]:
    """The joints of a path of URDF joint records from base_link down to
    tip_link, fixed joints folded in, and the names of the frames after
    each (the link below each movable joint, tip_link last)."""
    chain = f"on the chain from {base_link!r} to {tip_link!r}"
    movable = []   # (record, T_left) of each movable joint
    pending: NDArray[np.float64] | None = None   # fixed joints not yet folded in
    for record in path:
        if record.type == "fixed":
            pending = record.origin if pending is None else pending @ record.origin
            continue
        if not record.movable:
            raise model.fail(record, f"a {record.type} joint {chain}; only revolute, continuous, "
                                     "prismatic and fixed joints make a serial chain")
        if record.mimic is not None:
            raise model.fail(record, f"a mimic joint {chain}; its value would follow "
                                     "another joint's")
        movable.append((record, record.origin if pending is None else pending @ record.origin))
        pending = None
    if not movable:
        raise model.error(f"no revolute, continuous or prismatic joint between "
                          f"{base_link!r} and {tip_link!r}")
    joints = []
    for k, (record, T_left) in enumerate(movable):
        T_right = pending if k == len(movable) - 1 and pending is not None else np.eye(4)
        joints.append(urdf_joint(model, record, T_left, record.axis, T_right))
    links = [base_link, *(record.child for record, _ in movable[:-1]), tip_link]
    return joints, links


def urdf_joint(model: Any, record: Any, T_left: ArrayLike, axis: ArrayLike, T_right: ArrayLike,
               name: str | None = None) -> Joint:
    """A Joint of a URDF joint record; its errors name the element."""
    try:
        return Joint(record.name if name is None else name, T_left, axis, T_right, record.kind,
                     limits=record.limits, normalize=True)
    except (TypeError, ValueError) as exc:
        # the element's label already names the joint
        raise model.fail(record, str(exc).removeprefix(f"joint {record.name!r}: ")) from None


# The sample robots live in kovi.robots; their old names here still answer.
_MOVED_TO_ROBOTS = frozenset({"SAMPLE_BODIES", "SAMPLE_CONFIGURATIONS", "panda", "ur5", "scara",
                              "sample_body", "sample_configuration"})


def __getattr__(name: str) -> Any:
    if name in _MOVED_TO_ROBOTS:
        from kovi.robots import _samples
        return getattr(_samples, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# The public names are kovi.Joint and kovi.KinBody (in reprs, help, pickles
# of a body: the package resolves them).  The fields' annotations are
# resolved here first: typing.get_type_hints reads a class's string
# annotations in the namespace of its __module__, which kovi's is not.
for _cls in (Joint, KinBody):
    _cls.__annotations__ = get_type_hints(_cls)
    _cls.__module__ = "kovi"
del _cls


# A pickle may name a class and give a state of its own (the field values in
# order, or a dict of them, as the generated methods of a slotted dataclass
# would read): it goes through the constructor.  These are set after the
# classes are made: Python 3.10's slotted dataclasses put their generated
# __setstate__, which sets the fields unchecked, over a class's own.
def _joint_setstate(self: Joint, state: object) -> None:
    fields = _state_fields(state, _JOINT_FIELDS, "Joint")
    limits = fields.pop("limits", None)
    Joint.__init__(self, **fields, limits=limits)


def _body_setstate(self: KinBody, state: object) -> None:
    KinBody.__init__(self, **_state_fields(state, _BODY_FIELDS, "KinBody", optional=1))


Joint.__setstate__ = _joint_setstate  # type: ignore[attr-defined]
KinBody.__setstate__ = _body_setstate  # type: ignore[attr-defined]
