"""kovi: kinematics of serial robot chains.

A robot arm is a ``KinBody``: a chain of revolute and prismatic ``Joint``
records in product-of-exponentials form, made by hand, from a
Denavit-Hartenberg table (``KinBody.from_dh``) or from a URDF model
(``KinBody.from_urdf``); ``kovi.robots`` has ready-made ones.
``forward_kinematics(kb, q)`` gives the 4x4 base-to-end pose at joint values
``q``, checked, with the arithmetic of
``kovi.kinematics.poe_fk.poe_forward_kinematics(kb, q)``, which checks
nothing; ``Chain(kb)`` compiles a body once for batches of poses, link frames
and Jacobians, and solves inverse kinematics: ``Chain.ik_all`` every
closed-form solution of a 6R arm (or a 7R arm with a joint locked),
``Chain.ik`` numerically for any chain (an ``IKResult``), each answer
checked by the same pose arithmetic.  ``Robot.from_urdf`` models a whole
tree with named frames.  Poses are bit-reproducible.

Lengths are in metres, angles in radians.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

from kovi import _sources

__version__ = "0.1.0"

# Before anything can import the native module and fail in it.
_sources.register()

# The public names are imported on first use: importing the package (as
# every import of the native module does first) then loads neither numpy nor
# kovi._kinbody, whose first import belongs to the native module's execution.
_LAZY = {
    "Chain": "kovi._chain",
    "forward_kinematics": "kovi._chain",
    "IKResult": "kovi._ik",
    "Joint": "kovi._kinbody",
    "KinBody": "kovi._kinbody",
    "Robot": "kovi._robot",
    "URDFError": "kovi._urdf",
    "robots": None,
}

if TYPE_CHECKING:
    from kovi import robots
    from kovi._chain import Chain, forward_kinematics
    from kovi._ik import IKResult
    from kovi._kinbody import Joint, KinBody
    from kovi._robot import Robot
    from kovi._urdf import URDFError

__all__ = ["__version__", "Chain", "IKResult", "Joint", "KinBody", "Robot", "URDFError",
           "forward_kinematics", "robots"]


if not TYPE_CHECKING:
    # Hidden from type checkers, which see the names imported above: with a
    # module __getattr__ in view they would take any name (a misspelt
    # kovi.Chian too) for one this function answers.
    def __getattr__(name: str) -> object:
        if name not in _LAZY:
            raise AttributeError(f"module 'kovi' has no attribute {name!r}")
        home = _LAZY[name]
        value = (importlib.import_module(f"kovi.{name}") if home is None
                 else getattr(importlib.import_module(home), name))
        globals()[name] = value
        return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})
