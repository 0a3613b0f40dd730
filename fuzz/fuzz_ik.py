"""The numerical solver's inputs: Chain.ik and Chain.ik_batch.

The input picks a chain (no joints, the SCARA arm, the Panda, a random
chain of 33 joints), an entry and its arguments: a target that is the pose
of a configuration, or that pose with numbers of the input's choosing (NaN,
infinities, huge ones) in a shape and dtype of its choosing; a seed of the
right length or not; a mask (a name, a wrong name, six weights of any
sign); a tolerance; a small budget of iterations and restarts; threads and
warm starts for a batch.  A refusal must be a TypeError or a ValueError; an
accepted call returns finite joint values of the right shape, and every
success it claims on the whole pose must hold by the numpy FK of
tests/ik_oracle.py, within the limits.  Anything else is a finding.
"""

import math

import atheris
import numpy as np
from chains import random_kinbody
from ik_oracle import fk, pose_error, within_limits

import harness
import kovi
from kovi._kinbody import KinBody

BODIES = [KinBody("none", []), kovi.robots.scara(), kovi.robots.panda(),
          random_kinbody(np.random.default_rng(3), 33)[0]]
CHAINS = [kovi.Chain(kb) for kb in BODIES]
SPECIAL = (0.0, -0.0, 1.0, 1e-300, 1e22, -1e300, math.nan, math.inf, -math.inf)
MASKS = (None, "pose", "position", "position+z", "Position", "")
DTYPES = ("f8", "f4", "i8", ">f8", "c16", "O", "?")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)

    def pick(count):
        return fdp.ConsumeIntInRange(0, count - 1)

    def number():
        return SPECIAL[pick(len(SPECIAL))] if pick(6) == 0 else fdp.ConsumeFloatInRange(-4.0, 4.0)

    index = pick(len(BODIES))
    kb, chain = BODIES[index], CHAINS[index]
    dof = chain.dof
    q = np.array([number() if pick(8) else 0.0 for _ in range(dof)])
    T = chain.pose(np.nan_to_num(q, nan=0.0).clip(-4, 4))
    if pick(3) == 0:
        T = T.copy()
        T.flat[pick(16)] = number()
    batch = pick(2) == 1
    target = np.broadcast_to(T, (pick(4), 4, 4)) if batch else T
    if pick(6) == 0:
        shape = ((3, 4), (4,), (2, 4, 4), (4, 4, 1), ())[pick(5)]
        target = np.resize(T, shape)
    if pick(6) == 0:
        with np.errstate(all="ignore"):
            target = np.asarray(target).astype(DTYPES[pick(len(DTYPES))])
    q0 = None if pick(3) == 0 else np.array([number() for _ in range(dof + (pick(4) == 0))])
    mask = MASKS[pick(len(MASKS))] if pick(2) else [float(pick(3)) - (pick(9) == 0)
                                                     for _ in range(6 + (pick(6) == 0))]
    kwargs = {"q0": q0, "mask": mask, "max_iterations": pick(12), "restarts": pick(3),
              "seed": fdp.ConsumeInt(8), "limits": pick(4) > 0,
              "tol": (1e-9, 1e-6, 0.1, 0.0, -1.0, math.nan)[pick(6)]}
    if batch:
        kwargs.update(threads=(1, 2, 0)[pick(3)], warm_start=pick(2) == 1)
    try:
        if batch:
            Q, success = chain.ik_batch(target, **kwargs)
            results = [(q, bool(ok)) for q, ok in zip(Q, success)]
            targets = np.asarray(target, dtype=float)
        else:
            result = chain.ik(target, **kwargs)
            results, targets = [(result.q, result.success)], [np.asarray(target, dtype=float)]
    except (TypeError, ValueError):
        return
    for (q, ok), T in zip(results, targets):
        if q.shape != (dof,) or not np.all(np.isfinite(q)):
            raise harness.Finding(f"answer {q!r} for a chain of {dof} joints")
        if ok and mask in (None, "pose"):
            position, rotation = pose_error(T, fk(kb, q))
            slack = kwargs["tol"] * (1 + 1e-6) + 1e-14
            if position > slack or rotation > slack or (kwargs["limits"] and not within_limits(kb, q)):
                raise harness.Finding(f"false success {q!r}: errors {position}, {rotation}")


if __name__ == "__main__":
    harness.fuzz(test_one_input)
