// Real roots of small polynomials on a closed interval, and of the
// trigonometric quadratics that the two-angle subproblems reduce to.
//
// The roots are isolated rather than taken from a closed formula: the
// critical points (roots of the derivative, found the same way, one degree
// down) cut the interval into pieces on which the polynomial is monotone,
// and each piece with a sign change holds exactly one root, found by Newton
// steps kept inside the bracket.  A critical point where the polynomial is
// zero to rounding is a double root (a tangency) and is reported once.  No
// formula loses a root to cancellation, and a vanishing leading coefficient
// (a lower degree in disguise) needs no case of its own.
#ifndef KOVI_SOLVERS_POLYNOMIAL_HPP
#define KOVI_SOLVERS_POLYNOMIAL_HPP

namespace kovi::solvers::poly {

inline constexpr int max_degree = 4;

// The real roots in [lo, hi] of c[0] + c[1] t + ... + c[degree] t^degree
// (degree <= max_degree), ascending, each once; returns how many (at most
// degree).  A polynomial that is zero everywhere has no isolated roots and
// gives 0.
int real_roots_in(const double *c, int degree, double lo, double hi, double *roots) noexcept;

// The angles q in (-pi, pi], ascending, with
//     a cos^2 q + 2 b cos q sin q + c sin^2 q + d cos q + e sin q + f = 0,
// at most 4; returns how many, or -1 when every q solves it (every
// coefficient at most `negligible` in size).  The roots are as good as the
// quartic's; callers with the equations behind the quadratic polish them
// there.
struct TrigQuadratic {
    double a, b, c, d, e, f;
};
int trig_quadratic_roots(const TrigQuadratic &t, double negligible, double *q) noexcept;

}  // namespace kovi::solvers::poly

#endif
