// The numeric core of the chain walk: rows 0-2 of homogeneous transforms as
// twelve doubles, composed joint by joint onto a running pose.
//
// Every formula is evaluated exactly as written, left to right, each
// operation rounded on its own: (p1 + p2) + p3, (x*y)*z.  The build turns
// off multiply-add contraction, so every element that is not NaN is
// bit-for-bit the reference source's, and NaN stands in the same elements;
// the compiler may still swap the operands of an addition or a
// multiplication, which decides the sign and payload of a NaN made from
// two.  The bottom row [0, 0, 0, 1] is implicit: it is never stored and
// never multiplied, only its 1 in column 3 shows up as the trailing term of
// the translation formulas.
#ifndef KOVI_KINEMATICS_POSE_ACCUMULATOR_HPP
#define KOVI_KINEMATICS_POSE_ACCUMULATOR_HPP

namespace kovi {

// Rows 0-2 of a 4x4 transform; e[J][K] is row J, column K.
struct AffineBlock {
    double e[3][4];
};

inline void set_identity(AffineBlock &a)
{
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 4; k++) {
            a.e[j][k] = j == k ? 1.0 : 0.0;
        }
    }
}

// N = M · T, then A = A · N, all of B computed from the A held before.
inline void compose_joint(AffineBlock &a, const AffineBlock &m, const AffineBlock &t)
{
    AffineBlock n, b;
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 3; k++) {
            n.e[j][k] = m.e[j][0] * t.e[0][k] + m.e[j][1] * t.e[1][k] + m.e[j][2] * t.e[2][k];
        }
        n.e[j][3] = m.e[j][0] * t.e[0][3] + m.e[j][1] * t.e[1][3] + m.e[j][2] * t.e[2][3] + m.e[j][3];
    }
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 3; k++) {
            b.e[j][k] = a.e[j][0] * n.e[0][k] + a.e[j][1] * n.e[1][k] + a.e[j][2] * n.e[2][k];
        }
        b.e[j][3] = a.e[j][0] * n.e[0][3] + a.e[j][1] * n.e[1][3] + a.e[j][2] * n.e[2][3] + a.e[j][3];
    }
    a = b;
}

// A = A · (L · Rot · T), Rot by Rodrigues' formula with the axis as given
// (not normalised) and c, s the cosine and sine of the joint value.
inline void apply_revolute_joint(AffineBlock &a, double ax, double ay, double az, double c,
                                 double s, const AffineBlock &l, const AffineBlock &t)
{
    const double oc = 1.0 - c;
    // Each mixed product is formed once, as (x*y)*oc, and used twice.
    const double xy = ax * ay * oc;
    const double xz = ax * az * oc;
    const double yz = ay * az * oc;
    const double r[3][3] = {
        {ax * ax * oc + c, xy - az * s, xz + ay * s},
        {xy + az * s, ay * ay * oc + c, yz - ax * s},
        {xz - ay * s, yz + ax * s, az * az * oc + c},
    };
    AffineBlock m;
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 3; k++) {
            m.e[j][k] = l.e[j][0] * r[0][k] + l.e[j][1] * r[1][k] + l.e[j][2] * r[2][k];
        }
        m.e[j][3] = l.e[j][3];
    }
    compose_joint(a, m, t);
}

// A = A · (L · Trans · T), Trans a translation by qi times the axis.  The
// translation column is ((lJ0*ax + lJ1*ay) + lJ2*az)*qi + lJ3: the vector
// qi·axis is never formed on its own.
inline void apply_prismatic_joint(AffineBlock &a, double ax, double ay, double az, double qi,
                                  const AffineBlock &l, const AffineBlock &t)
{
    AffineBlock m;
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 3; k++) {
            m.e[j][k] = l.e[j][k];
        }
        m.e[j][3] = (l.e[j][0] * ax + l.e[j][1] * ay + l.e[j][2] * az) * qi + l.e[j][3];
    }
    compose_joint(a, m, t);
}

}  // namespace kovi

#endif
