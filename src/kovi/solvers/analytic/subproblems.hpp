// The geometric subproblems that closed-form inverse kinematics decomposes
// into: Paden-Kahan subproblems 1-3 and subproblems 4-6 as Elias and Wen
// define them (IK-Geo, arXiv 2211.05737), plus the extended subproblem 2.
//
// R(k, q) is the rotation by q about the unit axis k, right-handed.  Every
// k and h below must be a unit vector; p vectors and distances are in
// metres.  Each solver returns every solution, a count, and how the
// solutions came about:
//   exact          the equations hold (to rounding);
//   least_squares  they cannot hold; the angles minimise the stated error;
//   continuum      every angle (or a curve of them) solves them: the
//                  solutions given are one documented representative.
// Angles are in (-pi, pi].  Nothing allocates, nothing throws; degenerate
// data (zero vectors, parallel axes) never give NaN.
//
// Tolerances, as shares of the data's size (the lengths involved): a
// vector within 1e-12 of an axis (or of zero) lies along it, axes within
// 1e-12 rad are parallel; an equation that holds within 1e-10 is exact
// (a tangent, double solution is reported once, as exact); SP2E, SP5 and
// SP6 keep a candidate whose residual is within 1e-8 (at a near-double
// root the angles are only good to the square root of the rounding).
#ifndef KOVI_SOLVERS_SUBPROBLEMS_HPP
#define KOVI_SOLVERS_SUBPROBLEMS_HPP

#include "vec3.hpp"

namespace kovi::solvers::sp {

enum class Kind : unsigned char { exact, least_squares, continuum };

// Subproblem 1: q with R(k, q) p1 = p2.  Least squares: q minimises
// |R(k, q) p1 - p2| (p1 and p2 differ in length or in their components
// along k).  Continuum: p1 or p2 lies along k; q = 0.
struct Sp1 {
    double q;
    Kind kind;
};
Sp1 sp1(Vec3 p1, Vec3 p2, Vec3 k) noexcept;
// sp1(p1, p2, k).q alone (the same bits), for callers that do not judge
// the kind.
inline double sp1_angle(Vec3 p1, Vec3 p2, Vec3 k) noexcept;
// sp1(p1, p2, k) for callers that need to know only whether q is free: q
// as sp1's (the same bits), kind continuum where sp1's is, else exact
// (least squares is not told apart), without sp1's square roots.
inline Sp1 sp1_turn(Vec3 p1, Vec3 p2, Vec3 k) noexcept;

// Subproblem 2: (q1, q2) with R(k1, q1) p1 = R(k2, q2) p2, up to 2
// solutions: q1 from k2 . R(k1, q1) p1 / |p1| = k2 . p2 / |p2|, in SP4's
// order, each with its q2 from SP1.  Least squares (no exact solution): the
// one pair minimising |R(k1, q1) p1 - R(k2, q2) p2| (two, ordered as above,
// when only the lengths of p1 and p2 differ and their directions can
// meet).  Continuum (k1 parallel to k2, or p1 or p2 along its axis): a
// representative pair with the free angle 0 (q2 when the axes are
// parallel).
struct Sp2 {
    double q1[2];
    double q2[2];
    int count;
    Kind kind;
};
Sp2 sp2(Vec3 p1, Vec3 p2, Vec3 k1, Vec3 k2) noexcept;

// Extended subproblem 2: (q1, q2) with p0 + R(k1, q1) p1 = R(k2, q2) p2, up
// to 2 solutions; exact or none (count 0).  q1 comes from the k2 part of
// the equation or from the lengths of its sides, whichever sinusoid in q1
// is larger next to the data (the lengths for parallel axes), and q2 from
// SP1; the solutions keep that sinusoid's order (see SP4).  q1 free (p1
// along k1, or parallel axes with p0 along them): q1 = 0 stands for it.
struct Sp2E {
    double q1[2];
    double q2[2];
    int count;
};
Sp2E sp2e(Vec3 p0, Vec3 p1, Vec3 p2, Vec3 k1, Vec3 k2) noexcept;

// Subproblem 3: q with |R(k, q) p1 - p2| = d (d >= 0), up to 2 solutions,
// ordered as SP4's (it is SP4 with h = p2 and the squared distance).
// Least squares: the one q minimising | |R(k, q) p1 - p2| - d |.
// Continuum: p1 or p2 along k, every q gives the same distance; q = 0.
struct Sp3 {
    double q[2];
    int count;
    Kind kind;
};
Sp3 sp3(Vec3 p1, Vec3 p2, Vec3 k, double d) noexcept;

// Subproblem 4: q with h . R(k, q) p = d, up to 2 solutions.  With
// h . R(k, q) p = c + A cos q + B sin q, they are phi + delta, then
// phi - delta, for phi = atan2(B, A) and delta in (0, pi) (one solution
// where the two meet, delta = 0 or pi).  Least squares: the one q
// minimising |h . R(k, q) p - d|.  Continuum: h . R p does not depend on q
// (p along k, or h along k); q = 0.
struct Sp4 {
    double q[2];
    int count;
    Kind kind;
};
Sp4 sp4(Vec3 h, Vec3 p, Vec3 k, double d) noexcept;

// SP3 and SP4 for vectors and axis that stay fixed while the distance
// varies (a chain's own offsets): the sinusoid's coefficients and phase
// are worked out once, and sp3(sp3_fixed(p1, p2, k), d) gives the same
// bits as sp3(p1, p2, k, d) (sp4 likewise).
struct Phase {  // a cos q + b sin q = r cos(q - phi)
    double a, b, r, rr, phi;
    bool flat;  // r is zero next to the data
};
struct FixedSp3 {
    Phase phase;
    double constant;  // the part of p2 . R(k, q) p1 along k
    double squares;   // |p1|^2 + |p2|^2
    double l1, l2;
};
FixedSp3 sp3_fixed(Vec3 p1, Vec3 p2, Vec3 k) noexcept;
Sp3 sp3(const FixedSp3 &fixed, double d) noexcept;
struct FixedSp4 {
    Phase phase;
    double constant;  // the part of h . R(k, q) p along k
    double size;      // |p|
};
FixedSp4 sp4_fixed(Vec3 h, Vec3 p, Vec3 k) noexcept;
Sp4 sp4(const FixedSp4 &fixed, double d) noexcept;

// Subproblem 5: (q1, q2, q3) with
//     p0 + R(k1, q1) p1 = R(k2, q2) (p2 + R(k3, q3) p3),
// up to 4 solutions, ascending in q1, then q3; exact or none (count 0).
// An angle that moves nothing is free and 0 stands for it: q1 with p1
// along k1, q3 with p3 along k3, q2 with both sides on k2 (all three when
// p0..p3 are zero).
struct Sp5 {
    double q1[4];
    double q2[4];
    double q3[4];
    int count;
};
Sp5 sp5(Vec3 p0, Vec3 p1, Vec3 p2, Vec3 p3, Vec3 k1, Vec3 k2, Vec3 k3) noexcept;

// Subproblem 6: (q1, q2) with
//     h1 . R(k1, q1) p1 + h2 . R(k2, q2) p2 = d1,
//     h3 . R(k3, q1) p3 + h4 . R(k4, q2) p4 = d2,
// up to 4 solutions, ascending in q1, then q2; exact or none (count 0).
// An angle that enters neither equation is free: 0 stands for it.
struct Sp6 {
    double q1[4];
    double q2[4];
    int count;
};
Sp6 sp6(Vec3 h1, Vec3 h2, Vec3 h3, Vec3 h4, Vec3 k1, Vec3 k2, Vec3 k3, Vec3 k4, Vec3 p1, Vec3 p2,
        Vec3 p3, Vec3 p4, double d1, double d2) noexcept;

// ---- SP1's angle, inline: the closed forms call it once or twice a row,
// often with one side shared, which the compiler then works out once.

namespace detail {

// A length at most this share of the data's size is zero: a point that
// close to an axis has no angle about it, axes that close are parallel.
inline constexpr double zero_share = 1e-12;

inline double max(double a, double b) noexcept { return a > b ? a : b; }

// q wrapped into (-pi, pi].  Most values to wrap are one turn off (phi +
// delta of a sinusoid lies in [-pi, 2 pi]): for |q| in (pi, 9), 9 < 3 pi,
// remainder() would subtract one turn, and q -/+ 2 pi does so exactly
// (the operands are within a factor 2 of each other), at a fraction of the
// cost.
inline double wrap(double q) noexcept
{
    if (q > pi) {
        return q < 9.0 ? q - two_pi : std::remainder(q, two_pi);
    }
    if (q <= -pi) {
        q = q > -9.0 ? q : std::remainder(q, two_pi);  // in [-pi, pi]
        return q <= -pi ? q + two_pi : q;
    }
    return q;
}

}  // namespace detail

inline Sp1 sp1_turn(Vec3 p1, Vec3 p2, Vec3 k) noexcept
{
    // sp1's test for a point on the axis, |perp| <= zero_share * size,
    // first on squares with a margin of 4 (far beyond their rounding): a
    // point well off the axis needs no square roots.
    const double kp1 = dot(k, p1), kp2 = dot(k, p2);
    const Vec3 perp1 = p1 - kp1 * k, perp2 = p2 - kp2 * k;
    const double a1 = dot(perp1, perp1), a2 = dot(perp2, perp2);
    const double size2 = detail::max(dot(p1, p1), dot(p2, p2));
    const double clear = 4.0 * detail::zero_share * detail::zero_share * size2;
    if (!(size2 > 1e-200 && a1 > clear && a2 > clear)) {
        const double size = detail::max(norm(p1), norm(p2));
        if (norm(perp1) <= detail::zero_share * size || norm(perp2) <= detail::zero_share * size) {
            return {0.0, Kind::continuum};
        }
    }
    return {detail::wrap(std::atan2(dot(p2, cross(k, p1)), dot(perp1, perp2))), Kind::exact};
}

inline double sp1_angle(Vec3 p1, Vec3 p2, Vec3 k) noexcept { return sp1_turn(p1, p2, k).q; }

}  // namespace kovi::solvers::sp

#endif
