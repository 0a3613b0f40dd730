"""Sample robots: ready-made bodies, their frames, a configuration and a URDF each.

==========  ===========================================  =========================
robot       base frame                                   end frame
==========  ===========================================  =========================
``panda``   ``panda_link0``, bottom of the base, z up    flange (``panda_link8``)
``ur5``     DH base (Universal Robots' ``base``), z up   ``tool0`` on the flange
``scara``   floor under the column, z up                 flange under the quill
==========  ===========================================  =========================

The UR5's base frame is *not* the ``base_link`` of Universal Robots' URDF
description (nor of ``ur5.urdf`` here): ``base_link`` is the DH base turned by
pi about z, so ``ur5()``'s pose is ``Rz(pi)`` times the URDF's
``base_link``-to-``tool0`` pose.  Each robot's URDF (``urdf_path(name)``,
written for this package) gives the same chain as its body, through
``KinBody.from_urdf``.

Lengths are in metres, angles in radians.
"""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path
from types import MappingProxyType

import numpy as np
from numpy.typing import NDArray

from kovi._kinbody import KinBody
from kovi.robots._samples import (
    SAMPLE_BODIES,
    panda,
    sample_body,
    sample_configuration,
    scara,
    ur5,
)

__all__ = ["NAMES", "FRAMES", "panda", "ur5", "scara", "body", "configuration", "urdf_path"]

NAMES: tuple[str, ...] = tuple(sorted(SAMPLE_BODIES))
"""The sample robots' names."""

FRAMES: Mapping[str, tuple[str, str]] = MappingProxyType({
    "panda": ("panda_link0, at the bottom of the base, z up along joint 1",
              "the flange (panda_link8), z out of the flange"),
    "ur5": ("the DH base (Universal Robots' 'base'; the URDF base_link turned by pi about z), "
            "z up along the shoulder axis",
            "tool0, on the tool flange, z out of the flange"),
    "scara": ("on the floor under the column, z up",
              "the flange at the quill's lower end, parallel to the base at zero rotation"),
})
"""Base and end frame of each sample robot, in words."""

_HERE = Path(__file__).resolve().parent


def body(name: str) -> KinBody:
    """A new body of the sample robot ``name`` (one of ``NAMES``).

    Raises
    ------
    KeyError
        ``name`` is not a sample robot; the message lists them.
    """
    return sample_body(name)


def configuration(name: str) -> NDArray[np.float64]:
    """A sample configuration of robot ``name``, inside its joint limits.

    Returns
    -------
    ndarray of float64, shape (dof,)
        Joint values in radians (revolute) or metres (prismatic); a new array.
    """
    return sample_configuration(name)


def urdf_path(name: str) -> Path:
    """The path of the URDF file shipped for the sample robot ``name``."""
    if name not in SAMPLE_BODIES:
        raise KeyError(f"no sample robot {name!r}; have {', '.join(NAMES)}")
    return _HERE / f"{name}.urdf"
