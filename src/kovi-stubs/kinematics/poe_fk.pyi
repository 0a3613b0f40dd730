"""Forward kinematics for POE-normalized kinematic chains (native module)."""

import math as math

import numpy as np
from numpy.typing import NDArray as NDArray

from kovi._kinbody import KinBody as KinBody

__all__ = ["poe_forward_kinematics"]

def poe_forward_kinematics(kb: KinBody, q: NDArray[np.float64]) -> NDArray[np.float64]:
    """The 4x4 base-to-end pose of ``kb`` at joint values ``q`` (metres).

    ``q[i]`` is joint ``i``'s value, radians (revolute) or metres
    (prismatic).  Nothing is checked: ``kb`` and ``q`` are read as they come,
    see ``kovi.forward_kinematics`` for the checked entry.
    """
