"""Base-to-flange pose of the built-in 7-joint arm (Franka Panda) at its sample
configuration, computed by kovi.kinematics.poe_fk, and the time per call."""

import importlib.machinery
import sys
import timeit

import numpy as np

try:
    from kovi.kinematics import poe_fk
except ImportError as exc:
    sys.exit(f"error: cannot import kovi.kinematics.poe_fk ({exc}); install the package first")
from kovi.robots._samples import panda, sample_configuration

kb = panda()
q = sample_configuration("panda")
T = poe_fk.poe_forward_kinematics(kb, q)

# say which implementation ran: without a build, the import finds the .py source
origin = getattr(poe_fk, "__file__", None) or "?"
kind = ("compiled extension" if origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
        else "pure-Python source (native extension not built)")
print(f"kovi.kinematics.poe_fk: {kind}, {origin}")
print(f"body {kb.name!r}, {kb.dof} joints, q = {np.array2string(q, precision=6)}")
print("base-to-flange pose:")
with np.printoptions(precision=6, suppress=True, floatmode="fixed"):
    print(np.round(T, 6) + 0.0)  # + 0.0 turns rounded -0.0 into 0.0 for display

timer = timeit.Timer("fk(kb, q)", globals={"fk": poe_fk.poe_forward_kinematics, "kb": kb, "q": q})
number, _ = timer.autorange()          # enough calls for >= 0.2 s per repeat
number = max(number, 1000)
best = min(timer.repeat(repeat=5, number=number)) / number
print(f"time per call: {best * 1e6:.3f} us (best of 5 repeats x {number} calls)")
