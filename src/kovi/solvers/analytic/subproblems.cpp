// The subproblems, solved in closed form on the geometry of rotations about
// an axis: a point p turned by q about the unit axis k is
//     R(k, q) p = (k.p) k + cos q (p - (k.p) k) + sin q (k x p),
// so any projection h . R(k, q) p is a sinusoid in q,
//     h . R(k, q) p = (h.k)(k.p) + cos q (h.p - (h.k)(k.p)) + sin q h.(k x p),
// and every subproblem is one or two such sinusoids set equal to data.
//   SP1  the angle of the projections of p1 and p2 on the plane normal to k.
//   SP2  the directions must meet on the unit sphere: the k2 part of
//        R(k1, q1) p1 / |p1| is fixed (a sinusoid in q1); SP1 gives q2.
//   SP3  |R p1 - p2|^2 = d^2 is the sinusoid p2 . R(k, q) p1 = const.
//   SP4  one sinusoid.
//   SP2E the k2 component and the length of p0 + R(k1, q1) p1 are fixed:
//        two sinusoids in q1, the better conditioned gives q1 (the length
//        for parallel axes); SP1 then gives q2.
//   SP6  two equations linear in (cos q1, sin q1, cos q2, sin q2); solving
//        them for one unit vector and asking it to have unit length leaves
//        a trigonometric quadratic (a quartic in tan(q / 2)) in the other.
//   SP5  the k2 component and the length of both sides must agree: two
//        equations of SP6's form in (q1, q3); SP1 about k2 then gives q2.
#include "subproblems.hpp"

#include <cmath>

#include "polynomial.hpp"

namespace kovi::solvers::sp {

namespace {

// A length at most this share of the data's size is zero: a point that
// close to an axis has no angle about it, axes that close are parallel.
constexpr double zero_share = detail::zero_share;
// Equations that hold to this share of the data's size hold exactly (the
// rounding of a tangent, double solution is about this large).
constexpr double exact_share = 1e-10;
// SP2E, SP5 and SP6 keep a candidate whose residual is at most this share
// of the data's size; at a near-double root the angles are only good to
// the square root of the rounding, and the residual follows them.
constexpr double accept_share = 1e-8;
// A two-angle candidate whose residual is below this share needs no Newton
// step (the elimination usually lands there).
constexpr double polished_share = 1e-13;
// Two candidate angles closer than this are one solution found twice.
constexpr double same_angle = 1e-9;

double wrap(double q) noexcept { return detail::wrap(q); }

using detail::max;

// |(a, b)|, without hypot's care for overflow, which data at robot scale
// never come near.
double length2(double a, double b) noexcept { return std::sqrt(a * a + b * b); }

// R(k, q) p from cos q and sin q.
Vec3 rodrigues(Vec3 k, double c, double s, Vec3 p) noexcept
{
    return c * p + s * cross(k, p) + (dot(k, p) * (1.0 - c)) * k;
}

// SP1 with the distance left at its angle: the parts along k and the radii
// about it must agree.  `free` when either point has no angle about k
// (`size`: the larger length of the two, or a bound on it).
struct Turn {
    double q, off;
    bool free;
};

Turn turn_to(Vec3 p1, Vec3 p2, Vec3 k, double size) noexcept
{
    const double kp1 = dot(k, p1), kp2 = dot(k, p2);
    const Vec3 perp1 = p1 - kp1 * k, perp2 = p2 - kp2 * k;
    const double n1 = norm(perp1), n2 = norm(perp2);
    const double off = length2(kp1 - kp2, n1 - n2);
    if (n1 <= zero_share * size || n2 <= zero_share * size) {
        return {0.0, off, true};
    }
    return {wrap(std::atan2(dot(p2, cross(k, p1)), dot(perp1, perp2))), off, false};
}

// h . R(k, q) p = constant + cos_coef cos q + sin_coef sin q.
struct Harmonic {
    double cos_coef, sin_coef, constant;
};

Harmonic harmonic(Vec3 h, Vec3 k, Vec3 p) noexcept
{
    const double constant = dot(h, k) * dot(k, p);
    return {dot(h, p) - constant, dot(h, cross(k, p)), constant};
}

// a cos q + b sin q = c.  Two solutions phi + delta, phi - delta when
// |c| < r = |(a, b)|, with phi = atan2(b, a) and delta in (0, pi); else the
// one q that brings the left side nearest to c, with `excess` = |c| - r.
// Continuum (q = 0) when r is zero next to `size`.
struct Sinusoid {
    double q[2];
    int count;
    Kind kind;  // exact, continuum, or least_squares for the caller to judge
    double excess;
    double cos_q[2], sin_q[2];  // of q, from the data, without a cos or sin call
};

// The part of a cos q + b sin q that does not depend on c.
Phase phase_of(double a, double b, double size) noexcept
{
    const double r = length2(a, b);
    if (r <= zero_share * size) {
        return {a, b, r, 0.0, 0.0, true};
    }
    return {a, b, r, r * r, std::atan2(b, a), false};
}

Sinusoid solve_phase(const Phase &phase, double c) noexcept
{
    if (phase.flat) {
        return {{0.0, 0.0}, 1, Kind::continuum, 0.0, {1.0, 1.0}, {0.0, 0.0}};
    }
    const double a = phase.a, b = phase.b, r = phase.r, rr = phase.rr, phi = phase.phi;
    if (std::fabs(c) < r) {
        // cos phi = a / r, sin phi = b / r, cos delta = c / r, sin delta = w / r.
        const double w = std::sqrt((r - c) * (r + c));
        const double delta = std::atan2(w, c);
        return {{wrap(phi + delta), wrap(phi - delta)},
                2,
                Kind::exact,
                0.0,
                {(a * c - b * w) / rr, (a * c + b * w) / rr},
                {(b * c + a * w) / rr, (b * c - a * w) / rr}};
    }
    const double sign = c >= 0.0 ? 1.0 : -1.0;
    const double q = wrap(c >= 0.0 ? phi : phi + pi);
    return {{q, q}, 1, Kind::least_squares, std::fabs(c) - r,
            {sign * a / r, sign * a / r}, {sign * b / r, sign * b / r}};
}

Sinusoid solve_sinusoid(double a, double b, double c, double size) noexcept
{
    return solve_phase(phase_of(a, b, size), c);
}

// ---- SP6's core: A x + B y = d, x = (cos q1, sin q1), y = (cos q2, sin q2).

struct Bilinear {
    double A[2][2], B[2][2], d[2];
};

struct Pairs {
    double q1[4], q2[4];
    double c1[4], s1[4], c2[4], s2[4];  // their cosines and sines
    int count;
};

// The residual of both equations at (q1, q2) and its Jacobian.
struct PairState {
    double f[2], j[2][2], size;
    double c1, s1, c2, s2;
};

PairState evaluate(const Bilinear &s, double q1, double q2) noexcept
{
    const double c1 = std::cos(q1), s1 = std::sin(q1), c2 = std::cos(q2), s2 = std::sin(q2);
    PairState st;
    st.c1 = c1;
    st.s1 = s1;
    st.c2 = c2;
    st.s2 = s2;
    for (int i = 0; i < 2; i++) {
        st.f[i] = s.A[i][0] * c1 + s.A[i][1] * s1 + s.B[i][0] * c2 + s.B[i][1] * s2 - s.d[i];
        st.j[i][0] = s.A[i][1] * c1 - s.A[i][0] * s1;
        st.j[i][1] = s.B[i][1] * c2 - s.B[i][0] * s2;
    }
    st.size = length2(st.f[0], st.f[1]);
    return st;
}

// Newton steps on both equations together, each kept only if it shrinks
// the residual: what the elimination lost to cancellation comes back.
// Returns the state reached.
PairState polish_pair(const Bilinear &s, double size, double &q1, double &q2) noexcept
{
    PairState st = evaluate(s, q1, q2);
    for (int it = 0; it < 3 && st.size > polished_share * size; it++) {
        const double det = st.j[0][0] * st.j[1][1] - st.j[0][1] * st.j[1][0];
        const double jj = st.j[0][0] * st.j[0][0] + st.j[0][1] * st.j[0][1] +
                          st.j[1][0] * st.j[1][0] + st.j[1][1] * st.j[1][1];
        if (!(std::fabs(det) > 1e-14 * jj)) {
            break;  // a tangency: the step would be noise
        }
        const double step1 = (st.j[1][1] * st.f[0] - st.j[0][1] * st.f[1]) / det;
        const double step2 = (st.j[0][0] * st.f[1] - st.j[1][0] * st.f[0]) / det;
        if (!(std::fabs(step1) + std::fabs(step2) <= 0.1)) {
            break;  // a polish, not a search: far steps would leave this root
        }
        const double n1 = q1 - step1, n2 = q2 - step2;
        const PairState next = evaluate(s, n1, n2);
        if (!(next.size < st.size)) {
            break;
        }
        q1 = n1;
        q2 = n2;
        st = next;
    }
    q1 = wrap(q1);
    q2 = wrap(q2);
    return st;
}

double det2(const double m[2][2]) noexcept { return m[0][0] * m[1][1] - m[0][1] * m[1][0]; }

double frobenius2(const double m[2][2]) noexcept
{
    return m[0][0] * m[0][0] + m[0][1] * m[0][1] + m[1][0] * m[1][0] + m[1][1] * m[1][1];
}

double angle_gap(double a, double b) noexcept { return std::fabs(wrap(a - b)); }

struct Candidates {
    double q1[8], q2[8];
    int count = 0;
    void add(double a, double b) noexcept
    {
        if (count < 8) {
            q1[count] = a;
            q2[count] = b;
            count++;
        }
    }
};

// With M x + N y = d and N invertible (det N far from zero next to its
// size): y = adj(N) (d - M x) / det N must be a unit vector, a
// trigonometric quadratic in x's angle.  Adds (angle of x, angle of y).
void eliminate(const double M[2][2], const double N[2][2], const double d[2],
               Candidates &out, bool swapped) noexcept
{
    const double det = det2(N);
    const double adj[2][2] = {{N[1][1], -N[0][1]}, {-N[1][0], N[0][0]}};
    double W[2][2], u[2];
    for (int i = 0; i < 2; i++) {
        u[i] = adj[i][0] * d[0] + adj[i][1] * d[1];
        for (int j = 0; j < 2; j++) {
            W[i][j] = adj[i][0] * M[0][j] + adj[i][1] * M[1][j];
        }
    }
    // |u - W x|^2 = det^2.
    const poly::TrigQuadratic t = {
        W[0][0] * W[0][0] + W[1][0] * W[1][0],
        W[0][0] * W[0][1] + W[1][0] * W[1][1],
        W[0][1] * W[0][1] + W[1][1] * W[1][1],
        -2.0 * (W[0][0] * u[0] + W[1][0] * u[1]),
        -2.0 * (W[0][1] * u[0] + W[1][1] * u[1]),
        u[0] * u[0] + u[1] * u[1] - det * det,
    };
    double roots[4];
    int n;
    if (std::sqrt(frobenius2(W)) <= zero_share * std::fabs(det)) {
        roots[0] = 0.0;  // x does not enter: every angle of it, 0 stands for them
        n = 1;
    } else {
        n = poly::trig_quadratic_roots(t, 0.0, roots);
        if (n < 0) {
            roots[0] = 0.0;
            n = 1;
        }
    }
    const double sign = det < 0.0 ? -1.0 : 1.0;
    for (int i = 0; i < n; i++) {
        const double c = std::cos(roots[i]), s = std::sin(roots[i]);
        const double y0 = sign * (u[0] - W[0][0] * c - W[0][1] * s);
        const double y1 = sign * (u[1] - W[1][0] * c - W[1][1] * s);
        const double other = std::atan2(y1, y0);
        if (swapped) {
            out.add(other, roots[i]);
        } else {
            out.add(roots[i], other);
        }
    }
}

// Both A and B (nearly) of rank one.  The combination w of the equations
// that cancels B's column space is one sinusoid in q1; for each q1, the
// other combination is one sinusoid in q2.
void rank_deficient(const Bilinear &s, double size, Candidates &out) noexcept
{
    const double c0 = length2(s.B[0][0], s.B[1][0]), c1 = length2(s.B[0][1], s.B[1][1]);
    double v[2];
    if (max(c0, c1) <= zero_share * size) {
        // B = 0: A x = d alone, along A's larger row; q2 is free.
        const int r = length2(s.A[0][0], s.A[0][1]) >= length2(s.A[1][0], s.A[1][1]) ? 0 : 1;
        const Sinusoid a = solve_sinusoid(s.A[r][0], s.A[r][1], s.d[r], size);
        for (int i = 0; i < a.count; i++) {
            out.add(a.q[i], 0.0);
        }
        return;
    }
    if (c0 >= c1) {
        v[0] = s.B[0][0] / c0;
        v[1] = s.B[1][0] / c0;
    } else {
        v[0] = s.B[0][1] / c1;
        v[1] = s.B[1][1] / c1;
    }
    const double w[2] = {-v[1], v[0]};
    const Sinusoid first = solve_sinusoid(w[0] * s.A[0][0] + w[1] * s.A[1][0],
                                          w[0] * s.A[0][1] + w[1] * s.A[1][1],
                                          w[0] * s.d[0] + w[1] * s.d[1], size);
    for (int i = 0; i < first.count; i++) {
        const double q1 = first.q[i];
        const double x0 = std::cos(q1), x1 = std::sin(q1);
        const double rhs = v[0] * (s.d[0] - s.A[0][0] * x0 - s.A[0][1] * x1) +
                           v[1] * (s.d[1] - s.A[1][0] * x0 - s.A[1][1] * x1);
        const Sinusoid second = solve_sinusoid(v[0] * s.B[0][0] + v[1] * s.B[1][0],
                                               v[0] * s.B[0][1] + v[1] * s.B[1][1], rhs, size);
        for (int j = 0; j < second.count; j++) {
            out.add(q1, second.q[j]);
        }
    }
}

// Every (q1, q2) solving the system to accept_share of `size`, ascending in
// q1, then q2; at most 4.
Pairs solve_bilinear(const Bilinear &s, double size) noexcept
{
    Candidates found;
    const double nA = frobenius2(s.A), nB = frobenius2(s.B);
    // Each determinant next to the larger matrix: a matrix that is merely
    // rounding noise beside the other must not look well conditioned.
    const double scale = max(nA, nB);
    const double rA = scale > 0.0 ? std::fabs(det2(s.A)) / scale : 0.0;
    const double rB = scale > 0.0 ? std::fabs(det2(s.B)) / scale : 0.0;
    // Eliminate the unit vector whose matrix is better conditioned.
    if (max(rA, rB) > 1e-10) {
        if (rB >= rA) {
            eliminate(s.A, s.B, s.d, found, false);
        } else {
            eliminate(s.B, s.A, s.d, found, true);
        }
    } else {
        rank_deficient(s, size, found);
    }
    Pairs out{};
    for (int i = 0; i < found.count; i++) {
        double q1 = found.q1[i], q2 = found.q2[i];
        const PairState st = polish_pair(s, size, q1, q2);
        if (!(st.size <= accept_share * size)) {
            continue;
        }
        bool seen = false;
        for (int j = 0; j < out.count && !seen; j++) {
            seen = angle_gap(out.q1[j], q1) <= same_angle && angle_gap(out.q2[j], q2) <= same_angle;
        }
        if (seen || out.count == 4) {
            continue;
        }
        // Insert in order.
        int j = out.count++;
        for (; j > 0 && (out.q1[j - 1] > q1 || (out.q1[j - 1] == q1 && out.q2[j - 1] > q2)); j--) {
            out.q1[j] = out.q1[j - 1];
            out.q2[j] = out.q2[j - 1];
            out.c1[j] = out.c1[j - 1];
            out.s1[j] = out.s1[j - 1];
            out.c2[j] = out.c2[j - 1];
            out.s2[j] = out.s2[j - 1];
        }
        out.q1[j] = q1;
        out.q2[j] = q2;
        out.c1[j] = st.c1;
        out.s1[j] = st.s1;
        out.c2[j] = st.c2;
        out.s2[j] = st.s2;
    }
    return out;
}

}  // namespace

Sp1 sp1(Vec3 p1, Vec3 p2, Vec3 k) noexcept
{
    const double size = max(norm(p1), norm(p2));
    const Turn t = turn_to(p1, p2, k, size);
    if (t.free) {
        return {0.0, Kind::continuum};
    }
    return {t.q, t.off <= exact_share * size ? Kind::exact : Kind::least_squares};
}

Sp2 sp2(Vec3 p1, Vec3 p2, Vec3 k1, Vec3 k2) noexcept
{
    Sp2 r{};
    const double l1 = norm(p1), l2 = norm(p2);
    const double size = max(l1, l2);
    const Vec3 axis = cross(k1, k2);
    const double sin2 = dot(axis, axis);
    const bool along1 = norm(reject(p1, k1)) <= zero_share * size;
    const bool along2 = norm(reject(p2, k2)) <= zero_share * size;
    if (along1 || along2 || std::sqrt(sin2) <= zero_share) {
        // One angle is free (or only q1 -/+ q2 matters): it is 0.
        r.count = 1;
        r.kind = Kind::continuum;
        if (along1) {
            r.q2[0] = sp1(p2, p1, k2).q;
        } else {
            r.q1[0] = sp1(p1, p2, k1).q;
        }
        return r;
    }
    // Lengths do not turn: the directions u1, u2 must meet on the unit
    // sphere.  R(k2, q2) keeps the k2 part, so k2 . R(k1, q1) u1 = k2 . u2
    // (a sinusoid) gives q1 and SP1 about k2 then q2.  Solving for the angle
    // keeps the answer's own residual at rounding level even where the axes
    // are nearly parallel and the angles themselves are ill-conditioned.
    // Where the circles miss each other, the k2 part nearest k2 . u2 (the
    // angle from k2 is monotone in it) and then the nearest point of the
    // second circle are the nearest pair.
    const Vec3 u1 = p1 / l1, u2 = p2 / l2;
    const Harmonic h = harmonic(k2, k1, u1);
    const Sinusoid first = solve_sinusoid(h.cos_coef, h.sin_coef, dot(k2, u2) - h.constant, 1.0);
    double apart = 0.0;
    r.count = first.count;
    for (int i = 0; i < first.count; i++) {
        const Turn second = turn_to(u2, rodrigues(k1, first.cos_q[i], first.sin_q[i], u1), k2, 1.0);
        r.q1[i] = first.q[i];
        r.q2[i] = second.q;
        apart = max(apart, second.off);
    }
    // |l1 v - l2 w|^2 = (l1 - l2)^2 + l1 l2 |v - w|^2 for unit v and w.
    const double left = std::sqrt((l1 - l2) * (l1 - l2) + l1 * l2 * apart * apart);
    r.kind = left <= exact_share * size ? Kind::exact : Kind::least_squares;
    return r;
}

Sp2E sp2e(Vec3 p0, Vec3 p1, Vec3 p2, Vec3 k1, Vec3 k2) noexcept
{
    Sp2E r{};
    const double size = norm(p0) + norm(p1) + norm(p2);
    // Both hold at every solution: the k2 part, k2 . (p0 + R(k1, q1) p1) =
    // k2 . p2 (R(k2, q2) keeps it), and the length, |p0 + R(k1, q1) p1|^2 =
    // |p2|^2.  The one whose sinusoid in q1 is larger gives q1 better: the
    // k2 part fades as the axes turn parallel, the length as p0 nears k1.
    const Harmonic part = harmonic(k2, k1, p1), length = harmonic(p0, k1, p1);
    const double part_size = length2(part.cos_coef, part.sin_coef);
    const double length_size = length2(length.cos_coef, length.sin_coef);
    const Sinusoid first =
        part_size * size >= length_size
            ? solve_sinusoid(part.cos_coef, part.sin_coef, dot(k2, p2 - p0) - part.constant,
                             norm(p1))
            : solve_sinusoid(length.cos_coef, length.sin_coef,
                             0.5 * (dot(p2, p2) - dot(p0, p0) - dot(p1, p1)) - length.constant,
                             norm(p0) * norm(p1));
    for (int i = 0; i < first.count; i++) {
        const Vec3 a = p0 + rodrigues(k1, first.cos_q[i], first.sin_q[i], p1);
        const Turn second = turn_to(p2, a, k2, size);
        if (second.off <= accept_share * size) {
            r.q1[r.count] = first.q[i];
            r.q2[r.count] = second.q;
            r.count++;
        }
    }
    return r;
}

FixedSp3 sp3_fixed(Vec3 p1, Vec3 p2, Vec3 k) noexcept
{
    // |R p1 - p2|^2 = |p1|^2 + |p2|^2 - 2 p2 . R p1 = d^2.
    const Harmonic h = harmonic(p2, k, p1);
    const double l1 = norm(p1), l2 = norm(p2);
    return {phase_of(h.cos_coef, h.sin_coef, l1 * l2), h.constant, dot(p1, p1) + dot(p2, p2), l1, l2};
}

Sp3 sp3(const FixedSp3 &f, double d) noexcept
{
    const double half = 0.5 * (f.squares - d * d);
    const Sinusoid s = solve_phase(f.phase, half - f.constant);
    Sp3 r{{s.q[0], s.q[1]}, s.count, s.kind};
    if (s.kind == Kind::least_squares) {
        // The distance is monotone in p2 . R p1, so the extreme nearest the
        // wanted value is also the distance nearest d.
        const double reached = f.constant + (half - f.constant >= 0.0 ? 1.0 : -1.0) * f.phase.r;
        const double distance = std::sqrt(max(0.0, f.squares - 2.0 * reached));
        r.kind = std::fabs(distance - d) <= exact_share * (f.l1 + f.l2 + d) ? Kind::exact
                                                                            : Kind::least_squares;
    }
    return r;
}

Sp3 sp3(Vec3 p1, Vec3 p2, Vec3 k, double d) noexcept { return sp3(sp3_fixed(p1, p2, k), d); }

FixedSp4 sp4_fixed(Vec3 h, Vec3 p, Vec3 k) noexcept
{
    const Harmonic t = harmonic(h, k, p);
    const double size = norm(p);
    return {phase_of(t.cos_coef, t.sin_coef, size), t.constant, size};
}

Sp4 sp4(const FixedSp4 &f, double d) noexcept
{
    const Sinusoid s = solve_phase(f.phase, d - f.constant);
    Sp4 r{{s.q[0], s.q[1]}, s.count, s.kind};
    if (s.kind == Kind::least_squares && s.excess <= exact_share * (f.size + std::fabs(d))) {
        r.kind = Kind::exact;
    }
    return r;
}

Sp4 sp4(Vec3 h, Vec3 p, Vec3 k, double d) noexcept { return sp4(sp4_fixed(h, p, k), d); }

Sp5 sp5(Vec3 p0, Vec3 p1, Vec3 p2, Vec3 p3, Vec3 k1, Vec3 k2, Vec3 k3) noexcept
{
    Sp5 r{};
    const double size = norm(p0) + norm(p1) + norm(p2) + norm(p3);
    if (!(size > 0.0)) {
        r.count = 1;  // every angle: 0 stands for them
        return r;
    }
    // a = p0 + R(k1, q1) p1 and b = p2 + R(k3, q3) p3 are one point turned
    // about k2 when their k2 parts and their lengths agree:
    //     k2 . R(k1, q1) p1 - k2 . R(k3, q3) p3 = k2 . (p2 - p0),
    //     p0 . R(k1, q1) p1 - p2 . R(k3, q3) p3 = (|p2|^2 + |p3|^2 - |p0|^2 - |p1|^2) / 2,
    // the second divided by `size` to be a length like the first.
    const Harmonic a0 = harmonic(k2, k1, p1), b0 = harmonic(k2, k3, p3);
    const Harmonic a1 = harmonic(p0, k1, p1), b1 = harmonic(p2, k3, p3);
    const double lengths = 0.5 * (dot(p2, p2) + dot(p3, p3) - dot(p0, p0) - dot(p1, p1));
    Bilinear s;
    s.A[0][0] = a0.cos_coef;
    s.A[0][1] = a0.sin_coef;
    s.B[0][0] = -b0.cos_coef;
    s.B[0][1] = -b0.sin_coef;
    s.d[0] = dot(k2, p2 - p0) - a0.constant + b0.constant;
    s.A[1][0] = a1.cos_coef / size;
    s.A[1][1] = a1.sin_coef / size;
    s.B[1][0] = -b1.cos_coef / size;
    s.B[1][1] = -b1.sin_coef / size;
    s.d[1] = (lengths - a1.constant + b1.constant) / size;
    const Pairs pairs = solve_bilinear(s, size);
    for (int i = 0; i < pairs.count; i++) {
        const Vec3 a = p0 + rodrigues(k1, pairs.c1[i], pairs.s1[i], p1);
        const Vec3 b = p2 + rodrigues(k3, pairs.c2[i], pairs.s2[i], p3);
        const Turn middle = turn_to(b, a, k2, size);
        if (middle.off <= accept_share * size) {
            r.q1[r.count] = pairs.q1[i];
            r.q2[r.count] = middle.q;
            r.q3[r.count] = pairs.q2[i];
            r.count++;
        }
    }
    return r;
}

Sp6 sp6(Vec3 h1, Vec3 h2, Vec3 h3, Vec3 h4, Vec3 k1, Vec3 k2, Vec3 k3, Vec3 k4, Vec3 p1, Vec3 p2,
        Vec3 p3, Vec3 p4, double d1, double d2) noexcept
{
    const Harmonic t1 = harmonic(h1, k1, p1), t2 = harmonic(h2, k2, p2);
    const Harmonic t3 = harmonic(h3, k3, p3), t4 = harmonic(h4, k4, p4);
    Bilinear s;
    s.A[0][0] = t1.cos_coef;
    s.A[0][1] = t1.sin_coef;
    s.B[0][0] = t2.cos_coef;
    s.B[0][1] = t2.sin_coef;
    s.d[0] = d1 - t1.constant - t2.constant;
    s.A[1][0] = t3.cos_coef;
    s.A[1][1] = t3.sin_coef;
    s.B[1][0] = t4.cos_coef;
    s.B[1][1] = t4.sin_coef;
    s.d[1] = d2 - t3.constant - t4.constant;
    const double size = norm(p1) + norm(p2) + norm(p3) + norm(p4) + std::fabs(d1) + std::fabs(d2);
    Sp6 r{};
    if (!(size > 0.0)) {
        r.count = 1;  // every pair: (0, 0) stands for them
        return r;
    }
    const Pairs pairs = solve_bilinear(s, size);
    for (int i = 0; i < pairs.count; i++) {
        r.q1[i] = pairs.q1[i];
        r.q2[i] = pairs.q2[i];
    }
    r.count = pairs.count;
    return r;
}

}  // namespace kovi::solvers::sp
