"""The answer of a numerical inverse-kinematics solve."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt


class IKResult:
    """What ``Chain.ik`` found.

    ``q`` holds the joint values (the answer, or the best configuration
    found when ``success`` is false); ``success`` says whether ``q``'s pose
    is within the tolerance of the target (and inside the limits, when they
    were kept); ``iterations`` counts the steps tried and ``restarts`` the
    random starts used; ``position_error`` (metres) and ``rotation_error``
    (radians) are those of ``q``'s pose.  The result unpacks as
    ``q, success = chain.ik(T)``.
    """

    __slots__ = ("q", "success", "iterations", "restarts", "position_error", "rotation_error")

    q: npt.NDArray[np.float64]
    success: bool
    iterations: int
    restarts: int
    position_error: float
    rotation_error: float

    def __init__(self, q: npt.NDArray[np.float64], success: bool, iterations: int,
                 restarts: int, position_error: float, rotation_error: float) -> None:
        self.q = q
        self.success = success
        self.iterations = iterations
        self.restarts = restarts
        self.position_error = position_error
        self.rotation_error = rotation_error

    def __iter__(self) -> Iterator[Any]:
        return iter((self.q, self.success))

    def __repr__(self) -> str:
        values = ", ".join(f"{v:.6g}" for v in self.q.tolist())
        return (f"kovi.IKResult(success={self.success}, q=[{values}], "
                f"iterations={self.iterations}, restarts={self.restarts}, "
                f"position_error={self.position_error:.3g}, "
                f"rotation_error={self.rotation_error:.3g})")

    def __reduce__(self) -> tuple[type[IKResult], tuple[object, ...]]:
        return (IKResult, (self.q, self.success, self.iterations, self.restarts,
                           self.position_error, self.rotation_error))


IKResult.__module__ = "kovi"
