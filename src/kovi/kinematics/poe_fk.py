"""Forward kinematics for POE-normalized kinematic chains.

The shared implementation used by every analytical solver's post-verify
step. Before #137 Slice 4 step 1b this lived as seven byte-identical
copies in ``kovi.solvers.ikgeo.*``; consolidating to a single module
means we optimise it exactly once for every inner-solver hot path.

#137 Slice 4 step 3b (mirroring step 3 in the artifact orchestrator
template, #152): the body now uses hand-rolled scalar 4x4 matmul +
inline Rodrigues rather than ``rotation_matrix`` + numpy ``@``. Each
numpy ``@`` on a 4x4 has ~3 us of dispatch overhead that compounds
over the per-IK inner-solver verify path: Franka 7R calls this ~94
times per default IK via the lock sweep, so removing 3 numpy ``@``s
per call * 94 calls = ~850 us per IK saved.
"""


# Standard library
import math

# Third-party
import numpy as np
from numpy.typing import NDArray

from kovi._kinbody import KinBody

__all__ = ["poe_forward_kinematics"]


def poe_forward_kinematics(kb: "KinBody", q: "NDArray[np.float64]"):
    """POE forward kinematics for a normalized :class:`KinBody` at config ``q``.

    Walks the chain joint-by-joint, applying ``T_left @ Joint(axis, q) @ T_right``
    in order, where ``Joint`` is a rotation for revolute joints and a translation
    along ``axis`` for prismatic joints. Returns the 4x4 base-to-end pose.

    Hand-rolled scalar 4x4 matmul + inline Rodrigues. The accumulator is
    carried as 12 scalars (the bottom row ``[0, 0, 0, 1]`` is implicit);
    no per-call ``np.eye(4)`` allocations and no per-joint numpy ``@``
    dispatch.
    """

    # Reading the chain
    # -----------------
    # Everything is read through plain Python operations (attribute access,
    # indexing, ``len``, ``==``), so any object with the right attributes works;
    # no type is tested.  The reads happen in a fixed order, and a failure is
    # reported at the line of the step that failed:
    #
    # * ``kb.joints`` once, then its length;
    # * per joint, in index order: the joint record, ``axis`` and its three
    #   components, ``q[i]``, ``T_left`` and its rows 0-2 (row-major), the
    #   ``joint_type`` test, ``math.cos`` and ``math.sin`` for a revolute joint,
    #   then ``T_right`` and its rows 0-2;
    # * ``q`` is only ever indexed by ``0 .. n-1``; with no joints it is not
    #   touched at all.
    #
    # Every element is converted with the meaning of ``float(x)``.  Row 3 of
    # ``T_left`` and ``T_right`` is never read, so 3x4 transforms serve as well.
    #
    # Only ``joint_type == "prismatic"`` selects the prismatic case; any other
    # value (another string, ``None``, a number) is treated as revolute.
    #
    # Arithmetic
    # ----------
    # The pose is carried as the twelve entries ``a00 .. a23`` of rows 0-2 of a
    # homogeneous transform; the bottom row ``[0, 0, 0, 1]`` is implicit and is
    # never multiplied.  Each joint contributes ``N = (T_left @ Joint) @ T_right``
    # and the accumulator grows on the right, ``A = A @ N``.
    #
    # Every formula below is evaluated exactly as written, left to right: a sum
    # ``p1 + p2 + p3 + p4`` is ``((p1 + p2) + p3) + p4`` and a product
    # ``x*y*z`` is ``(x*y)*z``, each operation rounded on its own.  The native
    # module does the same with multiply-add contraction disabled, so every
    # element that is not NaN is bit-identical, and NaN is in the same ones.
    #
    # Revolute joints use Rodrigues' formula with the axis as given: it is not
    # normalised, so a non-unit axis gives a block that is not a rotation.
    # Prismatic joints translate by ``qi`` times the axis; the translation
    # column is ``((l0*ax + l1*ay) + l2*az)*qi + l3`` per row, and the vector
    # ``qi * axis`` is never formed on its own.
    #
    # Infinities and NaNs propagate by IEEE 754 rules (a NaN's sign is left
    # open); nothing is checked.  An infinite translation entry of ``T_right``
    # reaches only column 3 of the result: no implicit zero is multiplied.
    #
    # The result is built with a single ``np.array`` call and is a new 4x4
    # float64 array; nothing is cached between calls.
    #
    # Formulas of one joint step
    # --------------------------
    # Names: ``lJK`` rows 0-2 of ``T_left``, ``tJK`` of ``T_right``, ``rJK`` the
    # 3x3 joint rotation, ``mJK`` = ``T_left @ Joint``, ``nJK`` = ``M @ T_right``,
    # ``bJK`` = ``A @ N``; J is a row digit and K a column digit.
    #
    # Revolute, with ``c = cos(qi)``, ``s = sin(qi)`` and ``oc = 1.0 - c``::
    #
    #     r00 = ax*ax*oc + c      r01 = ax*ay*oc - az*s   r02 = ax*az*oc + ay*s
    #     r10 = ax*ay*oc + az*s   r11 = ay*ay*oc + c      r12 = ay*az*oc - ax*s
    #     r20 = ax*az*oc - ay*s   r21 = ay*az*oc + ax*s   r22 = az*az*oc + c
    #
    #     mJK = lJ0*r0K + lJ1*r1K + lJ2*r2K     (K = 0..2)
    #     mJ3 = lJ3
    #
    # Prismatic::
    #
    #     mJK = lJK                             (K = 0..2)
    #     mJ3 = ((lJ0*ax + lJ1*ay) + lJ2*az)*qi + lJ3
    #
    # Both kinds::
    #
    #     nJK = mJ0*t0K + mJ1*t1K + mJ2*t2K     (K = 0..2)
    #     nJ3 = mJ0*t03 + mJ1*t13 + mJ2*t23 + mJ3
    #     bJK = aJ0*n0K + aJ1*n1K + aJ2*n2K     (K = 0..2)
    #     bJ3 = aJ0*n03 + aJ1*n13 + aJ2*n23 + aJ3
    #
    # All of B is computed from the A held before the step, then A takes its
    # values.  Each block product costs 36 multiplications and 27 additions.
    #
    # A failing read passes its exception on unchanged; the traceback points
    # at the line of that read.

    a00 = 1.0
    a01 = 0.0
    a02 = 0.0
    a03 = 0.0
    a10 = 0.0
    a11 = 1.0
    a12 = 0.0
    a13 = 0.0
    a20 = 0.0
    a21 = 0.0
    a22 = 1.0
    a23 = 0.0
    joints = kb.joints
    n = len(joints)

    # The joint sequence is held for the whole call; the current joint
    # record and its axis, T_left and T_right objects are replaced one by
    # one as the next joint's are read.  Elements are converted as soon as
    # they are read: ax, ay, az, qi, then T_left row by row, the kind,
    # cos and sin of a revolute joint's value, and T_right row by row.
    # ``math`` and ``np`` are looked up as globals at every use, so
    # rebinding either in this module takes effect at the next call.

    for i in range(n):

        # joint i: N = (T_left @ Joint(axis, qi)) @ T_right, then A = A @ N;
        # each held object is released only once its successor is read
        joint = joints[i]
        axis = joint.axis
        ax = float(axis[0])
        ay = float(axis[1])
        az = float(axis[2])
        qi = float(q[i])

        T_left = joint.T_left
        l00 = float(T_left[0, 0])
        l01 = float(T_left[0, 1])
        l02 = float(T_left[0, 2])
        l03 = float(T_left[0, 3])
        l10 = float(T_left[1, 0])
        l11 = float(T_left[1, 1])
        l12 = float(T_left[1, 2])
        l13 = float(T_left[1, 3])
        l20 = float(T_left[2, 0])
        l21 = float(T_left[2, 1])
        l22 = float(T_left[2, 2])
        l23 = float(T_left[2, 3])
        if joint.joint_type == "prismatic":
            # M = T_left @ Trans(qi * axis): linear part copied
            m00 = l00
            m01 = l01
            m02 = l02
            m10 = l10
            m11 = l11
            m12 = l12
            m20 = l20
            m21 = l21
            m22 = l22
            m03 = ((l00*ax + l01*ay) + l02*az)*qi + l03
            m13 = ((l10*ax + l11*ay) + l12*az)*qi + l13
            m23 = ((l20*ax + l21*ay) + l22*az)*qi + l23
            # (the axis is not normalised; qi * axis is never formed)

        else:
            # M = T_left @ Rot(axis, qi), Rodrigues with the axis unchanged
            c = math.cos(qi)
            s = math.sin(qi)
            oc = 1.0 - c
            r00 = ax*ax*oc + c
            r01 = ax*ay*oc - az*s
            r02 = ax*az*oc + ay*s
            r10 = ax*ay*oc + az*s
            r11 = ay*ay*oc + c
            r12 = ay*az*oc - ax*s
            r20 = ax*az*oc - ay*s
            r21 = ay*az*oc + ax*s
            r22 = az*az*oc + c
            m00 = l00*r00 + l01*r10 + l02*r20
            m01 = l00*r01 + l01*r11 + l02*r21
            m02 = l00*r02 + l01*r12 + l02*r22
            m10 = l10*r00 + l11*r10 + l12*r20
            m11 = l10*r01 + l11*r11 + l12*r21
            m12 = l10*r02 + l11*r12 + l12*r22
            m20 = l20*r00 + l21*r10 + l22*r20
            m21 = l20*r01 + l21*r11 + l22*r21
            m22 = l20*r02 + l21*r12 + l22*r22
            m03 = l03
            m13 = l13
            m23 = l23

        T_right = joint.T_right
        t00 = float(T_right[0, 0])
        t01 = float(T_right[0, 1])
        t02 = float(T_right[0, 2])
        t03 = float(T_right[0, 3])
        t10 = float(T_right[1, 0])
        t11 = float(T_right[1, 1])
        t12 = float(T_right[1, 2])
        t13 = float(T_right[1, 3])
        t20 = float(T_right[2, 0])
        t21 = float(T_right[2, 1])
        t22 = float(T_right[2, 2])
        t23 = float(T_right[2, 3])
        n00 = m00*t00 + m01*t10 + m02*t20
        n01 = m00*t01 + m01*t11 + m02*t21
        n02 = m00*t02 + m01*t12 + m02*t22
        n03 = m00*t03 + m01*t13 + m02*t23 + m03
        n10 = m10*t00 + m11*t10 + m12*t20
        n11 = m10*t01 + m11*t11 + m12*t21
        n12 = m10*t02 + m11*t12 + m12*t22
        n13 = m10*t03 + m11*t13 + m12*t23 + m13
        n20 = m20*t00 + m21*t10 + m22*t20
        n21 = m20*t01 + m21*t11 + m22*t21
        n22 = m20*t02 + m21*t12 + m22*t22
        n23 = m20*t03 + m21*t13 + m22*t23 + m23
        b00 = a00*n00 + a01*n10 + a02*n20
        b01 = a00*n01 + a01*n11 + a02*n21
        b02 = a00*n02 + a01*n12 + a02*n22
        b03 = a00*n03 + a01*n13 + a02*n23 + a03
        b10 = a10*n00 + a11*n10 + a12*n20
        b11 = a10*n01 + a11*n11 + a12*n21
        b12 = a10*n02 + a11*n12 + a12*n22
        b13 = a10*n03 + a11*n13 + a12*n23 + a13
        b20 = a20*n00 + a21*n10 + a22*n20
        b21 = a20*n01 + a21*n11 + a22*n21
        b22 = a20*n02 + a21*n12 + a22*n22
        b23 = a20*n03 + a21*n13 + a22*n23 + a23
        a00, a01, a02, a03 = b00, b01, b02, b03
        a10, a11, a12, a13 = b10, b11, b12, b13
        a20, a21, a22, a23 = b20, b21, b22, b23


    return np.array(
        [[a00, a01, a02, a03], [a10, a11, a12, a13], [a20, a21, a22, a23], [0.0, 0.0, 0.0, 1.0]],
        dtype=np.float64)
