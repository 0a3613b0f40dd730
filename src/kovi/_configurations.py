"""Joint limits and the configurations drawn, checked and moved within them.

One implementation for ``KinBody``, ``Chain`` and ``Robot``: each hands over
its joints' limits (``-inf``/``inf`` where there are none) and which joints
are revolute.  Radians for revolute joints, metres for prismatic ones.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["Limits"]


class Limits:
    """Lower and upper bounds of ``dof`` joints and which of them revolve."""

    __slots__ = ("lower", "upper", "revolute", "names")

    def __init__(self, lower: ArrayLike, upper: ArrayLike, revolute: ArrayLike,
                 names: Iterable[str]) -> None:
        self.lower = np.array(lower, dtype=np.float64)
        self.upper = np.array(upper, dtype=np.float64)
        self.revolute = np.array(revolute, dtype=bool)
        self.names = tuple(names)

    @classmethod
    def of_joints(cls, joints: Iterable[Any]) -> Limits:
        """The limits of ``kovi.Joint`` records (``limits`` None for none)."""
        joints = tuple(joints)
        bounds = [(-math.inf, math.inf) if j.limits is None else j.limits for j in joints]
        return cls([b[0] for b in bounds], [b[1] for b in bounds],
                   [j.joint_type == "revolute" for j in joints], [j.name for j in joints])

    @classmethod
    def of_table(cls, table: ArrayLike, revolute: Iterable[bool], names: Iterable[str]) -> Limits:
        """The limits of a (dof, 2) table of (lower, upper) rows."""
        table = np.asarray(table, dtype=np.float64).reshape(-1, 2)
        return cls(table[:, 0], table[:, 1], list(revolute), names)

    @property
    def dof(self) -> int:
        return len(self.names)

    def values(self, q: ArrayLike) -> NDArray[np.float64]:
        """``q`` as a new float64 array of ``dof`` finite values, or an error
        saying what was expected and what came."""
        arr = np.asarray(q)
        if arr.dtype.kind not in "iuf":
            raise TypeError(f"q must contain real numbers, got dtype {arr.dtype}")
        if arr.ndim != 1:
            raise ValueError(f"expected a one-dimensional q of {self.dof} joint values, "
                             f"got shape {arr.shape}")
        if arr.shape[0] != self.dof:
            raise ValueError(f"expected {self.dof} joint values, got {arr.shape[0]}")
        out = arr.astype(np.float64)
        bad = np.flatnonzero(~np.isfinite(out))
        if bad.size:
            raise ValueError(f"q[{bad[0]}] is {out[bad[0]]}")
        return out

    def random(self, rng: object = None) -> NDArray[np.float64]:
        generator = rng if isinstance(rng, np.random.Generator) else np.random.default_rng(rng)  # type: ignore[arg-type]
        unbounded = ~(np.isfinite(self.lower) & np.isfinite(self.upper))
        stuck = np.flatnonzero(unbounded & ~self.revolute)
        if stuck.size:
            raise ValueError(f"joint {self.names[stuck[0]]!r} is prismatic without limits: "
                             "no range to draw its value from")
        u = generator.random(self.dof)
        # bounded joints: lower + u * (upper - lower), upper itself where the
        # rounding overshoots; others: pi - 2 pi u, in (-pi, pi]
        span = np.where(unbounded, 0.0, self.upper - self.lower)
        q = np.where(unbounded, math.pi - 2.0 * math.pi * u,
                     np.minimum(np.where(unbounded, 0.0, self.lower) + u * span, self.upper))
        # a revolute joint bounded on one side only keeps (-pi, pi] within it
        return np.clip(q, self.lower, self.upper)

    def within(self, q: ArrayLike, tol: float = 0.0) -> bool:
        values = self.values(q)
        tol = float(tol)
        if not tol >= 0.0:
            raise ValueError(f"tol must be a non-negative number, got {tol!r}")
        return bool(np.all((values >= self.lower - tol) & (values <= self.upper + tol)))

    def clamp(self, q: ArrayLike) -> NDArray[np.float64]:
        return np.clip(self.values(q), self.lower, self.upper)

    def neutral(self) -> NDArray[np.float64]:
        out = np.zeros(self.dof)
        # limits that miss zero are finite on the side nearer to it
        outside = (self.lower > 0.0) | (self.upper < 0.0)
        bounded = outside & np.isfinite(self.lower) & np.isfinite(self.upper)
        out[bounded] = 0.5 * self.lower[bounded] + 0.5 * self.upper[bounded]
        out[outside & ~bounded] = np.where(self.lower > 0.0, self.lower, self.upper)[outside & ~bounded]
        return out
