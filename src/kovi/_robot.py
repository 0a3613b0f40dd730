"""A whole robot: the kinematic tree of a URDF model, with named frames.

``Robot.from_urdf`` keeps every link of the model as a named frame (fixed
joints too: their child links are frames of their own), and frames added
later (tools, TCPs).  The poses and Jacobians of the frames are computed
natively (``kovi._chain.KinematicTree``) on the same pose arithmetic as
``kovi.Chain``: the pose of a frame is bit-for-bit that of
``Chain(robot.chain(frame))`` at the same joint values, for a path from the
root without mimic joints.

The joint values ``q`` of a robot are those of its independent movable
joints (``joint_names``): revolute, continuous and prismatic joints that
mimic no other.  A mimic joint follows its driver,
``q_mimic = multiplier * q_driver + offset`` (chains of mimic joints are
followed to the first independent one).

Lengths are in metres, angles in radians; poses are 4x4 base-to-frame
transforms in the frame of the root link.
"""

from __future__ import annotations

import difflib
import math
import os
import warnings
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kovi import _configurations
from kovi._chain import KinematicTree
from kovi._kinbody import Joint, KinBody, _transform, urdf_joint
from kovi._urdf import UrdfJoint, UrdfModel, name_list, read_model

__all__ = ["Robot", "FramePoses"]

# How far a frame's rotation block may be from orthonormal: far above the
# rounding of a rotation computed in float64, far below any typo.
RIGID_TOLERANCE = 1e-9


@dataclass(frozen=True, eq=False)
class _Frame:
    name: str
    parent: int            # index of the parent frame; -1 for the root
    edge: UrdfJoint | None  # the joint above a link; None for the root and added frames
    offset: NDArray[np.float64] | None   # an added frame's transform from its parent
    motion: int            # the movable joint it hangs from; -1 above all of them
    right: NDArray[np.float64] | None    # fixed transforms from that joint's child; None: identity


@dataclass(frozen=True, eq=False)
class _Motion:
    record: UrdfJoint
    joint: Joint           # origin (after the fixed joints above) and unit axis
    column: int            # the independent joint it takes its value from
    mimic: tuple[float, float] | None   # (multiplier, offset) of a mimic joint
    anchor: int            # the frame it moves from; -1 for the root pose
    child: int             # the frame of its child link


class FramePoses(Mapping[str, NDArray[np.float64]]):
    """Every frame's pose at one configuration: ``poses[name]`` is a 4x4
    array (a read-only view of ``poses.array``, which holds them all in the
    order of ``Robot.frame_names``)."""

    __slots__ = ("array", "_index")

    def __init__(self, array: NDArray[np.float64], index: Mapping[str, int]) -> None:
        array.flags.writeable = False
        self.array = array
        self._index = index

    def __getitem__(self, name: str) -> NDArray[np.float64]:
        pose: NDArray[np.float64] = self.array[self._index[name]]
        return pose

    def __iter__(self) -> Iterator[str]:
        return iter(self._index)

    def __len__(self) -> int:
        return len(self._index)

    def __repr__(self) -> str:
        return f"<kovi._robot.FramePoses of {len(self)} frames>"


class Robot:
    """The kinematic tree of a robot, every link a named frame.

    Make one with ``Robot.from_urdf(source)``.  Attributes:

    ``name``
        The robot's name.
    ``root_link``
        The link at the root of the tree, the frame every pose is given in.
    ``joint_names``
        The independent movable joints, the order of ``q``: depth first from
        the root, children in document order.
    ``frame_names``
        Every link, then the frames added with ``add_frame``, in the same
        depth-first order (parents before children).
    ``mimic_joints``
        Mimic joint name -> (driver, multiplier, offset), the driver an
        independent joint.
    ``limits``
        A read-only (dof, 2) array of (lower, upper) per joint of ``q``:
        -inf and inf for a continuous joint or one without ``<limit>``.
    ``velocity_limits``, ``effort_limits``
        Read-only (dof,) arrays from the joints' ``<limit>``, NaN where the
        model gives none.
    ``joint_records``
        Every ``<joint>`` of the model by name, as read (``kovi._urdf.UrdfJoint``).

    Frames are looked up by name; the name of a joint stands for the frame
    of its child link.  Unknown names raise a ``KeyError`` that lists the
    close matches.  A robot pickles (its model's records and added frames).
    """

    def __init__(self, model: UrdfModel) -> None:
        if not isinstance(model, UrdfModel):
            raise TypeError("Robot is made with Robot.from_urdf(source)")
        self._model = model
        self.name = model.name
        self.root_link = model.root(hint=None)
        order = model.below(self.root_link)
        if len(order) != len(model.links):
            loose = [link.name for link in model.links if link.name not in set(order)]
            raise model.error(f"links {name_list(loose)} are not below the root link "
                              f"{self.root_link!r}: their joints form a loop")
        edges = [model.parent_joint[link] for link in order[1:]]
        for record in edges:
            if record.type in ("floating", "planar"):
                raise model.fail(record, f"a {record.type} joint; a kovi.Robot has revolute, "
                                         "continuous, prismatic and fixed joints")
        dangling = {r.name for r in edges if r.movable and r.mimic and self._dangling(r)}
        independent = [r for r in edges if r.movable and (r.mimic is None or r.name in dangling)]
        self.joint_names: tuple[str, ...] = tuple(r.name for r in independent)
        self._columns = {name: i for i, name in enumerate(self.joint_names)}
        self._drivers = {r.name: self._driver(r, dangling) for r in edges
                         if r.movable and r.mimic and r.name not in dangling}
        self.mimic_joints: Mapping[str, tuple[str, float, float]] = MappingProxyType(
            dict(self._drivers))
        self.joint_records: Mapping[str, UrdfJoint] = MappingProxyType(
            {r.name: r for r in model.joints})
        lower = [-math.inf if r.limits is None else r.limits[0] for r in independent]
        upper = [math.inf if r.limits is None else r.limits[1] for r in independent]
        self._limits = _configurations.Limits(lower, upper, [r.kind == "revolute" for r in independent],
                                              self.joint_names)
        self.limits = _read_only(np.column_stack([lower, upper]).reshape(-1, 2))
        self.velocity_limits = _read_only(np.array(
            [math.nan if r.velocity is None else r.velocity for r in independent]))
        self.effort_limits = _read_only(np.array(
            [math.nan if r.effort is None else r.effort for r in independent]))
        self._frames: list[_Frame] = []
        self._motions: list[_Motion] = []
        self._index: dict[str, int] = {}
        for link in order:
            self._add_link(link)
        self._compile()

    @classmethod
    def from_urdf(cls, source: str | bytes | os.PathLike[str]) -> Robot:
        """The whole tree of a URDF model.

        ``source`` is a path to a URDF file, or the XML text itself, read as
        ``KinBody.from_urdf`` reads it.  Raises ``kovi.URDFError`` (naming
        the element) for what that refuses, and for a model without links,
        with several roots, a floating or planar joint, or mimic joints that
        follow each other in a loop.  A mimic joint whose driver is no
        movable joint of the model is taken as independent, with a
        ``UserWarning`` naming it.
        """
        return cls(read_model(source))

    # -- building ---------------------------------------------------------------

    def _dangling(self, record: UrdfJoint) -> bool:
        """True (with a warning) for a mimic joint whose driver is no movable
        joint of the model: a model's mistake that readers without mimic
        support never see, so the joint is taken as independent."""
        mimic = record.mimic
        assert mimic is not None
        driver = self._model.joint_by_name.get(mimic.joint)
        if driver is not None and driver.movable:
            return False
        what = "names no joint" if not mimic.joint else \
            f"mimics {mimic.joint!r}, which is no revolute, continuous or prismatic <joint> of " \
            "the robot"
        warnings.warn(f"{str(self._model.fail(record, what))}; taken as an independent joint",
                      UserWarning, stacklevel=4)
        return True

    def _driver(self, record: UrdfJoint, dangling: set[str]) -> tuple[str, float, float]:
        """(independent driver, multiplier, offset) of a mimic joint, its chain
        of mimics followed."""
        multiplier, offset, at, seen = 1.0, 0.0, record, {record.name}
        while at.mimic is not None and at.name not in dangling:
            mimic = at.mimic
            driver = self._model.joint_by_name[mimic.joint]
            if driver.name in seen:
                raise self._model.fail(at, f"mimics {mimic.joint!r}: the mimic joints form a "
                                           "loop")
            seen.add(driver.name)
            multiplier, offset = multiplier * mimic.multiplier, offset * mimic.multiplier + mimic.offset
            at = driver
        return at.name, multiplier, offset

    def _add_link(self, link: str) -> None:
        record = self._model.parent_joint.get(link)
        if record is None:   # the root
            self._append(_Frame(link, -1, None, None, -1, None))
            return
        parent = self._index[record.parent]
        above = self._frames[parent]
        T = record.origin if above.right is None else above.right @ record.origin
        if not record.movable:
            self._append(_Frame(link, parent, record, None, above.motion, T))
            return
        # the joint moves from the child link of the joint above (or the root)
        anchor = -1 if above.motion < 0 else self._motions[above.motion].child
        if record.name in self._columns:   # independent, or a mimic of no joint
            column, mimic = self._columns[record.name], None
        else:
            driver, multiplier, offset = self._drivers[record.name]
            column, mimic = self._columns[driver], (multiplier, offset)
        assert record.axis is not None   # a movable joint's
        joint = urdf_joint(self._model, record, T, record.axis, np.eye(4))
        self._motions.append(_Motion(record, joint, column, mimic, anchor, len(self._frames)))
        self._append(_Frame(link, parent, record, None, len(self._motions) - 1, None))

    def _append(self, frame: _Frame) -> None:
        self._index[frame.name] = len(self._frames)
        self._frames.append(frame)

    def _compile(self) -> None:
        motions, frames = self._motions, self._frames
        identity = np.eye(4)
        self._tree = KinematicTree(
            np.array([m.joint.T_left[:3] for m in motions]).reshape(-1, 3, 4),
            np.array([m.joint.axis for m in motions]).reshape(-1, 3),
            np.array([(m.joint.joint_type == "prismatic", m.mimic is not None, m.column, m.anchor)
                      for m in motions], dtype=np.int64).reshape(-1, 4),
            np.array([m.mimic or (1.0, 0.0) for m in motions]).reshape(-1, 2),
            np.array([f.motion for f in frames], dtype=np.int64),
            np.array([(identity if f.right is None else f.right)[:3] for f in frames]),
            len(self.joint_names))
        self.frame_names: tuple[str, ...] = tuple(f.name for f in frames)
        self._frame_index = MappingProxyType(dict(self._index))

    def add_frame(self, name: str, parent: str, T: ArrayLike) -> None:
        """Add a frame fixed to frame ``parent`` at transform ``T`` (4x4 or
        3x4, rigid) from it: a tool, a TCP, a sensor.

        Raises ValueError for a name that is already a frame's (or empty)
        and for a T that is not finite or not rigid; KeyError for an unknown
        parent.
        """
        if not isinstance(name, str):
            raise TypeError(f"frame name must be a str, got {type(name).__name__}")
        if not name:
            raise ValueError("frame name must not be empty")
        if name in self._index:
            raise ValueError(f"robot {self.name!r} already has a frame {name!r}; "
                             "frame names must be unique")
        parent_index = self._frame(parent)
        offset = _transform(T, f"frame {name!r}", "T")
        rotation = offset[:3, :3]
        if not np.allclose(rotation.T @ rotation, np.eye(3), rtol=0, atol=RIGID_TOLERANCE) or \
                np.linalg.det(rotation) < 0 or not np.array_equal(offset[3], [0.0, 0.0, 0.0, 1.0]):
            raise ValueError(f"frame {name!r}: T must be rigid (an orthonormal rotation block "
                             "with determinant 1 and the bottom row [0, 0, 0, 1])")
        above = self._frames[parent_index]
        right = offset if above.right is None else above.right @ offset
        self._append(_Frame(name, parent_index, None, offset, above.motion, right))
        self._compile()

    def __reduce__(self) -> tuple[object, ...]:
        # the model's records and the added frames; the native tree is rebuilt
        added = [(f.name, self._frames[f.parent].name, f.offset)
                 for f in self._frames if f.edge is None and f.parent >= 0]
        return (_rebuild_robot, (self._model, added))

    # -- names and configurations ---------------------------------------------

    @property
    def dof(self) -> int:
        """The number of independent joint values, the length of ``q``."""
        return len(self.joint_names)

    def __repr__(self) -> str:
        return (f"kovi.Robot({self.name!r}, {self.dof} joints, {len(self.frame_names)} frames, "
                f"root {self.root_link!r})")

    def _frame(self, name: object) -> int:
        if isinstance(name, str):
            index = self._index.get(name)
            if index is not None:
                return index
            record = self._model.joint_by_name.get(name)
            if record is not None:
                return self._index[record.child]
        else:
            raise TypeError(f"a frame name must be a str, got {type(name).__name__}")
        close = difflib.get_close_matches(name, [*self._index, *self._model.joint_by_name], n=5)
        hint = f"; close matches: {', '.join(close)}" if close else ""
        raise KeyError(f"robot {self.name!r} has no frame or joint {name!r}{hint}")

    def q_dict(self, q: ArrayLike) -> dict[str, float]:
        """``q`` as a dict from joint name to value."""
        values = self._limits.values(q)
        return dict(zip(self.joint_names, values.tolist()))

    def q_from_dict(self, values: Mapping[str, float], base: ArrayLike | None = None
                    ) -> NDArray[np.float64]:
        """A configuration from joint name -> value; the joints not named
        keep their value in ``base`` (by default ``neutral_configuration()``).
        Naming a mimic joint or an unknown one is an error."""
        q = self.neutral_configuration() if base is None else self._limits.values(base)
        for name, value in values.items():
            column = self._columns.get(name)
            if column is None:
                if name in self._drivers:
                    raise ValueError(f"joint {name!r} mimics {self._drivers[name][0]!r}; "
                                     "give the driver's value")
                close = difflib.get_close_matches(str(name), self.joint_names, n=5)
                hint = f"; close matches: {', '.join(close)}" if close else ""
                raise KeyError(f"robot {self.name!r} has no independent joint {name!r}{hint}")
            q[column] = value
        return self._limits.values(q)

    def random_configuration(self, rng: object = None) -> NDArray[np.float64]:
        """A configuration drawn uniformly within the limits (see
        ``KinBody.random_configuration``)."""
        return self._limits.random(rng)

    def within_limits(self, q: ArrayLike, tol: float = 0.0) -> bool:
        """True if every value of ``q`` lies within its joint's limits,
        widened by ``tol``."""
        return self._limits.within(q, tol)

    def clamp(self, q: ArrayLike) -> NDArray[np.float64]:
        """``q`` with each value moved to the nearest point of its limits."""
        return self._limits.clamp(q)

    def neutral_configuration(self) -> NDArray[np.float64]:
        """Zero where the limits hold zero, else the middle of the limits."""
        return self._limits.neutral()

    # -- frames -----------------------------------------------------------------

    def frame_pose(self, name: str, q: ArrayLike) -> NDArray[np.float64]:
        """The 4x4 pose of frame ``name`` in the root link's frame at ``q``."""
        return self._tree.pose(q, self._frame(name))

    def frame_poses(self, q: ArrayLike) -> FramePoses:
        """Every frame's pose at ``q``, computed in one pass: a mapping from
        frame name to 4x4 pose (``.array`` holds them all, in the order of
        ``frame_names``)."""
        return FramePoses(self._tree.poses(q), self._frame_index)

    def jacobian(self, name: str, q: ArrayLike,
                 frame: Literal["world", "local"] = "world") -> NDArray[np.float64]:
        """The 6 x dof geometric Jacobian of frame ``name`` at ``q``, rows
        ``[linear; angular]``, one column per joint of ``q`` (zero for joints
        not on the frame's path; a mimic joint adds ``multiplier`` times its
        own column to its driver's).  ``frame="world"``: the frame origin's
        velocity and the angular velocity in root axes (Pinocchio's
        ``LOCAL_WORLD_ALIGNED``); ``"local"``: both in the frame's own axes
        (``LOCAL``)."""
        return self._tree.jacobian(q, self._frame(name), frame)

    # -- paths as bodies --------------------------------------------------------

    def chain(self, tip: str, base: str | None = None) -> KinBody:
        """The ``KinBody`` of the path from frame ``base`` (default: the root
        link) to frame ``tip``, for everything a ``Chain`` does.

        The path may go up the tree and down again (foot to foot, a
        torso-mounted arm from the torso); a joint passed upwards becomes a
        joint of the opposite axis whose value is the same.  Fixed joints are
        folded in; the body's ``link_names`` are ``base``, the frame after
        each joint (a link), and ``tip``.

        Every joint of the body is named after the robot joint whose value
        it takes, so ``chain_configuration(body, q)`` gives the body's
        values from the robot's.  A mimic joint on the path takes its
        driver's name and value (``q_mimic = multiplier * q + offset``
        folded into the joint: its sign into the axis, its offset into the
        transform before it) when its driver is not on the path, its
        multiplier is 1 or -1, and no other joint of the path took that
        driver already; otherwise it keeps its own name, and its value is
        its own, ``multiplier * q_driver + offset``.

        A body from the root without mimic joints gives, through ``Chain``,
        bit-for-bit the poses of ``frame_pose(tip, q)``.

        Raises KeyError for an unknown frame, ValueError for a path without
        a movable joint (``tip`` is ``base``, or only fixed joints join them).
        """
        tip_index = self._frame(tip)
        base_index = self._index[self.root_link] if base is None else self._frame(base)
        base_name, tip_name = self._frames[base_index].name, self._frames[tip_index].name
        up, down = self._path(base_index, tip_index)
        steps = [(index, True) for index in up] + [(index, False) for index in down]
        on_path = {self._frames[i].edge.name for i, _ in steps   # type: ignore[union-attr]
                   if self._frames[i].edge is not None}
        claimed: set[str] = set()
        entries: list[list[Any]] = []   # [name, T_left, axis, T_right, limits, kind, link after]
        pending: NDArray[np.float64] | None = None
        for index, upwards in steps:
            frame = self._frames[index]
            if frame.edge is None or not frame.edge.movable:
                fixed = frame.offset if frame.edge is None else frame.edge.origin
                assert fixed is not None
                step = _inverse(fixed) if upwards else fixed
                pending = step if pending is None else pending @ step
                continue
            motion = self._motions[frame.motion]
            record, joint = motion.record, motion.joint
            name, sign, offset, limits = record.name, 1.0, 0.0, joint.limits
            if motion.mimic is not None:
                driver = self.joint_names[motion.column]
                multiplier, mimic_offset = motion.mimic
                if driver not in on_path and driver not in claimed and abs(multiplier) == 1.0:
                    claimed.add(driver)
                    name, sign, offset = driver, multiplier, mimic_offset
                    limits = tuple(self.limits[motion.column]) \
                        if np.isfinite(self.limits[motion.column]).all() else None
            axis = joint.axis if sign > 0 else -joint.axis
            if upwards:
                # (O J(a, q))^-1 = J(a, -offset) J(-a, q) O^-1
                left = np.eye(4) if pending is None else pending
                if offset:
                    left = left @ _motion(joint, -offset)
                entries.append([name, left, -axis, _inverse(record.origin), limits,
                                joint.joint_type, record.parent])
            else:
                # O J(a, q) = O J(a, offset) J(a, q).  Folded as the tree folds
                # (the same products in the same order), so that a path from
                # the root has the tree's numbers.
                left = record.origin if pending is None else pending @ record.origin
                if offset:
                    left = left @ _motion(joint, offset)
                entries.append([name, left, axis, None, limits, joint.joint_type, record.child])
            pending = None
        if not entries:
            raise ValueError(f"no movable joint between base {base_name!r} and tip "
                             f"{tip_name!r} of robot {self.name!r}")
        if pending is not None:
            last = entries[-1]
            last[3] = pending if last[3] is None else last[3] @ pending
        joints = []
        for name, left, axis, right, limits, kind, _ in entries:
            joints.append(Joint(name, left, axis, np.eye(4) if right is None else right, kind,
                                limits=limits))
        links = [base_name, *(entry[6] for entry in entries[:-1]), tip_name]
        return KinBody(self.name, joints, link_names=links)

    def _path(self, base: int, tip: int) -> tuple[list[int], list[int]]:
        """Frames whose edges are passed upwards from base (base first) and
        downwards to tip (tip last)."""
        def ancestors(index: int) -> list[int]:
            out = [index]
            while self._frames[out[-1]].parent >= 0:
                out.append(self._frames[out[-1]].parent)
            return out
        above_base, above_tip = ancestors(base), ancestors(tip)
        common = set(above_base) & set(above_tip)
        up = [i for i in above_base if i not in common]
        down = [i for i in above_tip if i not in common]
        return up, down[::-1]

    def chain_configuration(self, body: KinBody, q: ArrayLike) -> NDArray[np.float64]:
        """The joint values of ``body`` (a ``chain(...)`` of this robot) at the
        robot's configuration ``q``, matched by joint name."""
        values = self._limits.values(q)
        out = np.empty(body.dof)
        for i, name in enumerate(body.joint_names):
            if name in self._columns:
                out[i] = values[self._columns[name]]
            elif name in self._drivers:
                driver, multiplier, offset = self._drivers[name]
                out[i] = multiplier * values[self._columns[driver]] + offset
            else:
                raise ValueError(f"joint {name!r} of body {body.name!r} is no movable joint of "
                                 f"robot {self.name!r}")
        return out


def _rebuild_robot(model: UrdfModel, added: list[tuple[str, str, NDArray[np.float64]]]) -> Robot:
    robot = Robot(model)
    for name, parent, offset in added:
        robot.add_frame(name, parent, offset)
    return robot


def _read_only(array: NDArray[np.float64]) -> NDArray[np.float64]:
    array.flags.writeable = False
    return array


def _inverse(T: NDArray[np.float64]) -> NDArray[np.float64]:
    """The inverse of a rigid transform."""
    out = np.eye(4)
    rotation = T[:3, :3].T
    out[:3, :3] = rotation
    out[:3, 3] = -(rotation @ T[:3, 3])
    return out


def _motion(joint: Joint, value: float) -> NDArray[np.float64]:
    """Joint(axis, value): a rotation about (or translation along) the axis."""
    out = np.eye(4)
    x, y, z = joint.axis.tolist()
    if joint.joint_type == "prismatic":
        out[:3, 3] = (value * x, value * y, value * z)
        return out
    c, s = math.cos(value), math.sin(value)
    k = np.array([[0.0, -z, y], [z, 0.0, -x], [-y, x, 0.0]])
    out[:3, :3] = np.eye(3) + s * k + (1.0 - c) * (k @ k)
    return out

