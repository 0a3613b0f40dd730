#include "polynomial.hpp"

#include <cmath>

#include "vec3.hpp"

namespace kovi::solvers::poly {

namespace {

// |p(t)| at most this share of sum |c_i| |t|^i counts as zero: rounding in
// the coefficients alone moves a double root's value by about that much.
constexpr double zero_share = 1e-12;
// Bracketing stops when the step is below this (the intervals are within
// [-1, 1], so an absolute width is a relative one).
constexpr double root_width = 1e-15;
constexpr double critical_width = 1e-11;
// Angles closer than this are one root counted twice (at |t| = 1, where the
// two substitutions meet, or at a double root found from both sides).
constexpr double same_angle = 1e-10;

double horner(const double *c, int n, double t) noexcept
{
    double v = c[n];
    for (int i = n - 1; i >= 0; i--) {
        v = v * t + c[i];
    }
    return v;
}

double magnitude(const double *c, int n, double t) noexcept
{
    const double at = std::fabs(t);
    double m = std::fabs(c[n]);
    for (int i = n - 1; i >= 0; i--) {
        m = m * at + std::fabs(c[i]);
    }
    return m;
}

void sort(double *q, int n) noexcept
{
    for (int i = 1; i < n; i++) {
        const double v = q[i];
        int j = i - 1;
        for (; j >= 0 && q[j] > v; j--) {
            q[j + 1] = q[j];
        }
        q[j + 1] = v;
    }
}

// The root of p in the bracket [a, b], where p is monotone and p(a), p(b)
// have opposite signs: Newton steps, a bisection whenever a step would
// leave the bracket.
double bracketed_root(const double *c, const double *dc, int n, double a, double b, double fa,
                      double fb, double width) noexcept
{
    double neg = fa < 0.0 ? a : b;  // p < 0 here
    double pos = fa < 0.0 ? b : a;  // p > 0 here
    (void)fb;
    double x = 0.5 * (a + b);
    for (int it = 0; it < 200; it++) {
        const double f = horner(c, n, x);
        if (f == 0.0) {
            return x;
        }
        (f < 0.0 ? neg : pos) = x;
        const double df = horner(dc, n - 1, x);
        double next = df != 0.0 ? x - f / df : x;
        if (!(df != 0.0 && (next - neg) * (next - pos) < 0.0)) {
            next = 0.5 * (neg + pos);
        }
        const double tol = width * (1.0 + std::fabs(next));
        if (std::fabs(next - x) <= tol || std::fabs(pos - neg) <= tol) {
            return next;
        }
        x = next;
    }
    return x;
}

// Roots of a quadratic (or lower) in [lo, hi], ascending, by the formula
// that takes the larger root from the sum of like signs (no cancellation)
// and the other from the product; a discriminant negative by rounding alone
// is a double root.
int quadratic_roots_in(const double *c, double lo, double hi, double *roots) noexcept
{
    if (c[2] == 0.0) {
        if (c[1] == 0.0) {
            return 0;
        }
        const double t = -c[0] / c[1];
        roots[0] = t;
        return t >= lo && t <= hi ? 1 : 0;
    }
    const double b2 = c[1] * c[1], ac4 = 4.0 * c[2] * c[0];
    const double disc = b2 - ac4;
    double r[2];
    int n;
    if (disc < 0.0) {
        if (-disc > zero_share * (b2 + std::fabs(ac4))) {
            return 0;
        }
        r[0] = -c[1] / (2.0 * c[2]);
        n = 1;
    } else {
        const double h = -0.5 * (c[1] + std::copysign(std::sqrt(disc), c[1]));
        r[0] = h / c[2];
        n = 1;
        if (h != 0.0) {
            r[1] = c[0] / h;
            n = 2;
            if (r[1] < r[0]) {
                const double t = r[0];
                r[0] = r[1];
                r[1] = t;
            }
        }
    }
    int k = 0;
    for (int i = 0; i < n; i++) {
        if (r[i] >= lo && r[i] <= hi) {
            roots[k++] = r[i];
        }
    }
    return k;
}

// The real roots of a cubic whose leading coefficient is not small, in
// [lo, hi], ascending: the closed form (trigonometric for three real
// roots, Cardano's for one) and two Newton steps.  For critical points:
// where two roots nearly meet the formula may lose them, which only hides
// a wiggle of the quartic far smaller than its zero test.
int cubic_roots_in(const double *c, double lo, double hi, double *roots) noexcept
{
    const double a3 = c[2] / (3.0 * c[3]), b = c[1] / c[3], d = c[0] / c[3];
    // t = x - a3: x^3 + 3 third_p x + 2 half_q = 0.
    const double third_p = (b - 3.0 * a3 * a3) / 3.0;
    const double half_q = 0.5 * (2.0 * a3 * a3 * a3 - a3 * b + d);
    const double disc = half_q * half_q + third_p * third_p * third_p;
    double r[3];
    int n;
    if (disc < 0.0) {
        const double root = std::sqrt(-third_p);
        const double arg = std::fmax(-1.0, std::fmin(1.0, half_q / (third_p * root)));
        const double theta = std::acos(arg) / 3.0;
        const double m = 2.0 * root;
        r[0] = m * std::cos(theta) - a3;
        r[1] = m * std::cos(theta - 2.0 * pi / 3.0) - a3;
        r[2] = m * std::cos(theta + 2.0 * pi / 3.0) - a3;
        n = 3;
    } else {
        const double u = std::cbrt(-half_q - std::copysign(std::sqrt(disc), half_q));
        r[0] = (u != 0.0 ? u - third_p / u : 0.0) - a3;
        n = 1;
    }
    const double dc[3] = {c[1], 2.0 * c[2], 3.0 * c[3]};
    for (int i = 0; i < n; i++) {
        for (int it = 0; it < 2; it++) {
            const double f = horner(c, 3, r[i]), df = horner(dc, 2, r[i]);
            if (f == 0.0 || df == 0.0) {
                break;
            }
            const double next = r[i] - f / df;
            if (!(std::fabs(horner(c, 3, next)) < std::fabs(f))) {
                break;
            }
            r[i] = next;
        }
    }
    sort(r, n);
    int k = 0;
    for (int i = 0; i < n; i++) {
        if (r[i] >= lo && r[i] <= hi) {
            roots[k++] = r[i];
        }
    }
    return k;
}

// `width`: how finely the roots are wanted; critical points serve only as
// breakpoints and need less than the roots themselves.
int roots_recursive(const double *c, int n, double lo, double hi, double width,
                    double *roots) noexcept
{
    if (n <= 2) {
        return quadratic_roots_in(c, lo, hi, roots);
    }
    if (n == 3 && width >= critical_width &&
        std::fabs(c[3]) >= 1e-3 * (std::fabs(c[0]) + std::fabs(c[1]) + std::fabs(c[2]))) {
        return cubic_roots_in(c, lo, hi, roots);
    }
    double dc[max_degree];
    for (int i = 0; i < n; i++) {
        dc[i] = static_cast<double>(i + 1) * c[i + 1];
    }
    // Breakpoints: the ends and the critical points between them.
    double xs[max_degree + 2], fs[max_degree + 2];
    bool zero[max_degree + 2];
    int m = 0;
    xs[m++] = lo;
    m += roots_recursive(dc, n - 1, lo, hi, critical_width, xs + 1);
    xs[m++] = hi;
    for (int i = 0; i < m; i++) {
        fs[i] = horner(c, n, xs[i]);
        zero[i] = std::fabs(fs[i]) <= zero_share * magnitude(c, n, xs[i]);
    }
    int k = 0;
    for (int i = 0; i < m && k < n; i++) {
        if (zero[i]) {
            if (k == 0 || xs[i] - roots[k - 1] > root_width * (1.0 + std::fabs(xs[i]))) {
                roots[k++] = xs[i];
            }
        } else if (i + 1 < m && !zero[i + 1] && (fs[i] < 0.0) != (fs[i + 1] < 0.0)) {
            roots[k++] = bracketed_root(c, dc, n, xs[i], xs[i + 1], fs[i], fs[i + 1], width);
        }
    }
    return k;
}

double wrap(double q) noexcept
{
    if (q > pi) {
        return q - two_pi;
    }
    return q <= -pi ? q + two_pi : q;
}

}  // namespace

int real_roots_in(const double *c, int degree, double lo, double hi, double *roots) noexcept
{
    if (degree > max_degree || !(lo <= hi)) {
        return 0;
    }
    int n = degree;
    while (n > 0 && c[n] == 0.0) {
        n--;
    }
    if (n == 0) {
        return 0;
    }
    return roots_recursive(c, n, lo, hi, root_width, roots);
}

int trig_quadratic_roots(const TrigQuadratic &t, double negligible, double *q) noexcept
{
    if (std::fabs(t.a) <= negligible && std::fabs(t.b) <= negligible &&
        std::fabs(t.c) <= negligible && std::fabs(t.d) <= negligible &&
        std::fabs(t.e) <= negligible && std::fabs(t.f) <= negligible) {
        return -1;
    }
    // cos q = (1 - t^2) / (1 + t^2), sin q = 2t / (1 + t^2), times
    // (1 + t^2)^2: a quartic in t = tan(q / 2).  |t| <= 1 covers
    // |q| <= pi / 2; the reversed quartic in u = 1 / t covers the rest, so
    // no root is taken from a huge t.
    const double p[5] = {
        t.a + t.d + t.f,
        4.0 * t.b + 2.0 * t.e,
        -2.0 * t.a + 4.0 * t.c + 2.0 * t.f,
        -4.0 * t.b + 2.0 * t.e,
        t.a - t.d + t.f,
    };
    const double reversed[5] = {p[4], p[3], p[2], p[1], p[0]};
    double found[2 * max_degree];
    double roots[max_degree];
    int count = 0;
    int n = real_roots_in(p, 4, -1.0, 1.0, roots);
    for (int i = 0; i < n; i++) {
        found[count++] = 2.0 * std::atan(roots[i]);
    }
    n = real_roots_in(reversed, 4, -1.0, 1.0, roots);
    for (int i = 0; i < n; i++) {
        found[count++] = wrap(2.0 * std::atan2(1.0, roots[i]));
    }
    sort(found, count);
    int kept = 0;
    for (int i = 0; i < count && kept < 4; i++) {
        if (kept > 0 && found[i] - q[kept - 1] <= same_angle) {
            continue;
        }
        q[kept++] = found[i];
    }
    // The same root on both sides of the cut at pi.
    if (kept > 1 && q[0] + two_pi - q[kept - 1] <= same_angle) {
        kept--;
    }
    return kept;
}

}  // namespace kovi::solvers::poly
