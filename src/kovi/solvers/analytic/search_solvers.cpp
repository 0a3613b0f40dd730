// The search families: no closed form, but one for each value of a
// searched joint, so a search over that joint for the zeros of the one
// equation left.
#include <algorithm>
#include <cmath>

#include "family_pieces.hpp"
#include "subproblems.hpp"

namespace kovi::solvers::analytic {

namespace {

// The search: axes 2 and 3 parallel, 5 and 6 meeting at c.  For a given
// q4, with z = E4 c (E5 and E6 leave c alone, E2 and E3 keep components
// along h2),
//   h2 . E1^-1 (G c) = h2 . z               subproblem 4: q1
//   |E3 z - p2| = |E1^-1 G c - p2|          subproblem 3: q3
//   E2 (E3 z) = E1^-1 G c                   subproblem 1: q2
// and R5 R6 = Rw := (R1 R2 R3 R4)^T R_G must turn h6 to Rw h6 = R5 h6,
// which R5 can only if h5 . Rw h6 = h5 . h6: that difference is the
// residual whose zeros in q4 the search finds, branch by branch (which
// root of subproblem 4, then of 3).  Then q5 and q6 by subproblem 1.
//
// The residual is read from vectors alone: each subproblem's cosine and
// sine come from its sinusoid's coefficients and the square root of its
// discriminant, never through an angle, and the residual is
// (R2 R3 R4 h5) . (R1^T R_G h6) - h5 . h6.  Only the rows found go
// through the angles and the pose arithmetic, and the caller checks each.
//
// A branch ends where its discriminant D vanishes, and there it meets its
// partner (the subproblem's other root): each is P +/- Q sqrt(D), so the
// two joined are one curve, smooth in sqrt(D) where neither is smooth in
// q4, and near singular configurations (an elbow stretched out or folded,
// a shoulder at the edge of its reach) zeros crowd just there.  So the grid stops at
// every end, found to rounding (subproblem 4's in closed form, subproblem
// 3's as zeros of its discriminant between samples, or two where it dips
// to zero between them), and the pair is walked across it in sqrt(D).

// Samples of q4 over the circle.
constexpr int grid = 128;
constexpr double grid_step = two_pi / grid;
// Samples on either side of a branch's end, uniform in the square root of
// the distance to it, out to the second grid sample past it: zeros crowd
// near ends further than the first.
constexpr int end_samples = 12;
constexpr int end_reach = 2;
// Branch ends one search keeps track of (subproblem 4 has at most 4).
constexpr int max_ends = 40;
// A discriminant this share of its scale below zero touches it (a stretch
// of roots shrunk to a point, at a singular configuration).
constexpr double touch_share = 1e-12;
// Where a residual's dip bottoms out this near zero without crossing it,
// or a stretch of roots shrinks to a point with its residual this small,
// the row there goes to the caller, which refines and checks it.
constexpr double touch_residual = 1e-9;
constexpr double touch_point_residual = 1e-6;
// Ends of one discriminant closer than this (in q4) across a stretch
// without roots are one point where it touches zero.
constexpr double pinch_gap = 1e-6;

// The grid's cosines and sines, worked out once.
struct GridTrig {
    double c[grid], s[grid];

    GridTrig() noexcept
    {
        for (int k = 0; k < grid; k++) {
            c[k] = std::cos(-pi + grid_step * k);
            s[k] = std::sin(-pi + grid_step * k);
        }
    }
};

const GridTrig &grid_trig() noexcept
{
    static const GridTrig trig;
    return trig;
}

// x turned about the unit axis k: R(k, q) x = along + cos q square + sin q across.
struct Circle {
    Vec3 along, square, across;
};

Circle circle(Vec3 k, Vec3 x) noexcept
{
    const Vec3 along = dot(k, x) * k;
    return {along, x - along, cross(k, x)};
}

// A number linear in a cosine and sine: k0 + c kc + s ks.
struct Form {
    double k0, kc, ks;

    double at(double c, double s) const noexcept { return k0 + c * kc + s * ks; }
};

// Axes 2 and 3 are parallel, so the elbow is planar: vectors are read in
// a frame (e1, e2, h2), e1 x e2 = h2, where R(h2, q) turns the first two
// coordinates by q and keeps the third.
struct Frame {
    Vec3 e1, e2, k;

    Vec3 of(Vec3 v) const noexcept { return {dot(e1, v), dot(e2, v), dot(k, v)}; }
};

// A circle's point R(k, q) x in a frame's coordinates, three forms in
// cos q and sin q.
struct Forms {
    Form x, y, a;
};

Forms forms(const Frame &frame, const Circle &c) noexcept
{
    const Vec3 along = frame.of(c.along), square = frame.of(c.square), across = frame.of(c.across);
    return {{along.x, square.x, across.x}, {along.y, square.y, across.y}, {along.z, square.z, across.z}};
}

// A branch: i the root of subproblem 4 (q1), j that of subproblem 3 (q3),
// each + or - the square root of its discriminant.  Partners at an end
// differ in i (subproblem 4's) or in j (subproblem 3's).
constexpr int branch_of(int i, int j) noexcept { return 2 * i + j; }
constexpr double root_sign(int which) noexcept { return which == 0 ? 1.0 : -1.0; }

// What every branch shares at one q4, in the elbow's frame.
struct Wrist {
    double zx, zy;     // z - p3's plane part (z = E4 c)
    double wx, wy, wa; // R4 h5
    double c1;         // subproblem 4: A1 cos q1 + B1 sin q1 = c1
    double d1;         // its discriminant, A1^2 + B1^2 - c1^2
    double a3, b3, rr3, half;  // subproblem 3: a3 cos q3 + b3 sin q3 = half - |t|^2 / 2
};

// One branch's subproblem-4 root and what follows from it.
struct Shoulder {
    double c1, s1;
    double tx, ty;          // t = y - p2's plane part, y = E1^-1 G c
    double wv, wxv, wava;   // R4 h5 against v = R1^T R_G h6: plane dot, cross, axial product
    double c3;              // subproblem 3's right side
    double d3;              // its discriminant
};

// The cosines and sines of one branch's first three joints.
struct Walk {
    double c1, s1, c2, s2, c3, s3;
};

// Where a branch pair meets: kind -1 for subproblem 4's discriminant, i
// for subproblem 3's on root i of subproblem 4; the pair has roots on the
// side `side` (+1: larger q4) of q4, the last such point.
struct End {
    double q4;
    int kind, side;
};

class Search {
public:
    Search(const SixR &six, const Motion &G) noexcept : six_(six), G_(G)
    {
        const Vec3 *h = six.h, *p = six.p;
        const Vec3 k = h[1];
        // A frame about h2; h3 is h2 or -h2 (to the family's tolerance: a
        // row off by that much is refined by the caller).
        const Vec3 e1 = std::fabs(k.x) <= std::fabs(k.y) && std::fabs(k.x) <= std::fabs(k.z)
                            ? Vec3{1.0, 0.0, 0.0}
                        : std::fabs(k.y) <= std::fabs(k.z) ? Vec3{0.0, 1.0, 0.0}
                                                           : Vec3{0.0, 0.0, 1.0};
        const Vec3 u = normalized(reject(e1, k));
        const Frame frame{u, cross(k, u), k};
        turn3_ = dot(h[2], k) >= 0.0 ? 1.0 : -1.0;
        // z - p3 = (p4 - p3) + R4 (c - p4), and R4 h5.
        Circle zc = circle(h[3], six.centre - p[3]);
        zc.along = zc.along + (p[3] - p[2]);
        z_ = forms(frame, zc);
        w_ = forms(frame, circle(h[3], h[4]));
        // Subproblem 4 for q1: h2 . R(-h1, q1) a = h2 . (z - p1).
        const Vec3 a = G(six.centre) - p[0];
        const double along = dot(k, h[0]) * dot(h[0], a);
        a1_ = dot(k, a) - along;
        b1_ = -dot(k, cross(h[0], a));
        rr1_ = a1_ * a1_ + b1_ * b1_;
        flat_ = !(rr1_ > 1e-24 * dot(a, a));
        inv_rr1_ = flat_ ? 0.0 : 1.0 / rr1_;
        shift1_ = dot(k, p[2] - p[0]) - along;
        // y - p2 = p1 - p2 + R(-h1, q1) a, and R1^T R_G h6.
        Circle t = circle(-h[0], a);
        t.along = t.along + (p[0] - p[1]);
        t_ = forms(frame, t);
        v_ = forms(frame, circle(-h[0], G.R * h[5]));
        // Subproblem 3 for q3: |R3 (z - p3) - (p2 - p3)| = |y - p2|.
        const Vec3 p32 = frame.of(p[1] - p[2]);
        p32x_ = p32.x;
        p32y_ = p32.y;
        p32a_ = p32.z;
        half32_ = 0.5 * dot(p32, p32);
        h56_ = dot(h[4], h[5]);
    }

    bool flat() const noexcept { return flat_; }

    Wrist wrist(double c4, double s4) const noexcept
    {
        Wrist w;
        w.zx = z_.x.at(c4, s4);
        w.zy = z_.y.at(c4, s4);
        const double za = z_.a.at(c4, s4);
        w.wx = w_.x.at(c4, s4);
        w.wy = w_.y.at(c4, s4);
        w.wa = w_.a.at(c4, s4);
        w.c1 = za + shift1_;
        w.d1 = rr1_ - w.c1 * w.c1;
        // (p2 - p3) . R3 (z - p3) = half - |y - p2|^2 / 2, and R3 turns
        // the plane part by turn3 q3.
        w.a3 = w.zx * p32x_ + w.zy * p32y_;
        w.b3 = turn3_ * (w.zx * p32y_ - w.zy * p32x_);
        w.rr3 = w.a3 * w.a3 + w.b3 * w.b3;
        w.half = 0.5 * (w.zx * w.zx + w.zy * w.zy + za * za) + half32_ - p32a_ * za;
        return w;
    }

    Shoulder shoulder(const Wrist &w, double root1) const noexcept
    {
        Shoulder s;
        s.c1 = (a1_ * w.c1 - b1_ * root1) * inv_rr1_;
        s.s1 = (b1_ * w.c1 + a1_ * root1) * inv_rr1_;
        s.tx = t_.x.at(s.c1, s.s1);
        s.ty = t_.y.at(s.c1, s.s1);
        const double ta = t_.a.at(s.c1, s.s1);
        const double vx = v_.x.at(s.c1, s.s1), vy = v_.y.at(s.c1, s.s1), va = v_.a.at(s.c1, s.s1);
        s.wv = w.wx * vx + w.wy * vy;
        s.wxv = w.wx * vy - w.wy * vx;
        s.wava = w.wa * va;
        s.c3 = w.half - 0.5 * (s.tx * s.tx + s.ty * s.ty + ta * ta);
        s.d3 = w.rr3 - s.c3 * s.c3;
        return s;
    }

    // The residual of the branch whose subproblem-3 root is root3, with
    // 1 / rr3.
    double elbow(const Wrist &w, const Shoulder &s, double root3, double inv_rr3,
                 Walk *walk) const noexcept
    {
        const double c3 = (w.a3 * s.c3 - w.b3 * root3) * inv_rr3;
        const double s3 = (w.b3 * s.c3 + w.a3 * root3) * inv_rr3;
        const double turned = turn3_ * s3;
        // q2 turns x = E3 z - p2 to t about h2.
        const double xx = c3 * w.zx - turned * w.zy - p32x_;
        const double xy = turned * w.zx + c3 * w.zy - p32y_;
        const double cos_part = xx * s.tx + xy * s.ty, sin_part = xx * s.ty - xy * s.tx;
        const double n = std::sqrt(cos_part * cos_part + sin_part * sin_part);
        double c2 = 1.0, s2 = 0.0;  // x on axis 2: q2 is free, and 0 stands for it
        if (n > 1e-300) {
            const double inv = 1.0 / n;
            c2 = cos_part * inv;
            s2 = sin_part * inv;
        }
        if (walk != nullptr) {
            *walk = {s.c1, s.s1, c2, s2, c3, s3};
        }
        // R2 R3 turns the plane by q2 + turn3 q3.
        const double c23 = c2 * c3 - s2 * turned, s23 = s2 * c3 + c2 * turned;
        return s.wava + c23 * s.wv + s23 * s.wxv - h56_;
    }

    // Every branch's residual at q4 (NaN where the branch has no root),
    // and subproblem 3's discriminants, as shares of their sinusoids' sizes
    // (NaN where subproblem 4 has no root).
    void all(double c4, double s4, double *f, double *gap3) const noexcept
    {
        const double none = std::nan("");
        for (int b = 0; b < 4; b++) {
            f[b] = none;
        }
        gap3[0] = gap3[1] = none;
        const Wrist w = wrist(c4, s4);
        if (!(w.d1 >= 0.0) || !(w.rr3 > 0.0)) {
            return;
        }
        const double r1 = std::sqrt(w.d1), inv_rr3 = 1.0 / w.rr3;
        for (int i = 0; i < 2; i++) {
            const Shoulder s = shoulder(w, root_sign(i) * r1);
            gap3[i] = s.d3 * inv_rr3;
            if (!(s.d3 >= 0.0)) {
                continue;
            }
            const double r3 = std::sqrt(s.d3);
            f[branch_of(i, 0)] = elbow(w, s, r3, inv_rr3, nullptr);
            f[branch_of(i, 1)] = elbow(w, s, -r3, inv_rr3, nullptr);
        }
    }

    // One branch's residual at q4, NaN where it has no root; with `touch`,
    // a discriminant below zero by rounding is zero (where a stretch of
    // roots shrinks to a point).
    double branch(double q4, int b, Walk *walk = nullptr, bool touch = false) const noexcept
    {
        Wrist w = wrist(std::cos(q4), std::sin(q4));
        if (touch && w.d1 < 0.0 && w.d1 >= -touch_share * rr1_) {
            w.d1 = 0.0;
        }
        if (!(w.d1 >= 0.0) || !(w.rr3 > 0.0)) {
            return std::nan("");
        }
        Shoulder s = shoulder(w, root_sign(b / 2) * std::sqrt(w.d1));
        if (touch && s.d3 < 0.0 && s.d3 >= -touch_share * w.rr3) {
            s.d3 = 0.0;
        }
        if (!(s.d3 >= 0.0)) {
            return std::nan("");
        }
        return elbow(w, s, root_sign(b % 2) * std::sqrt(s.d3), 1.0 / w.rr3, walk);
    }

    // Subproblem 3's discriminant on root i of subproblem 4, as a share;
    // NaN where subproblem 4 has no root.
    double gap3(double q4, int i) const noexcept
    {
        const Wrist w = wrist(std::cos(q4), std::sin(q4));
        if (!(w.d1 >= 0.0) || !(w.rr3 > 0.0)) {
            return std::nan("");
        }
        return shoulder(w, root_sign(i) * std::sqrt(w.d1)).d3 / w.rr3;
    }

    // Where subproblem 4's discriminant vanishes: its right side c1 is a
    // sinusoid in q4, alpha + beta cos q4 + gamma sin q4, which must meet
    // +/- sqrt(A1^2 + B1^2).  Ascending in q4, in [-pi, pi).
    int d1_ends(End *ends) const noexcept
    {
        const double alpha = z_.a.k0 + shift1_, beta = z_.a.kc, gamma = z_.a.ks;
        const double rho = std::sqrt(beta * beta + gamma * gamma), r1 = std::sqrt(rr1_);
        int count = 0;
        if (!(rho > 1e-12 * r1)) {
            return 0;  // c1 does not move: the roots live or die together
        }
        const double phi = std::atan2(gamma, beta);
        for (int bound = 0; bound < 2; bound++) {
            const double sign = bound == 0 ? 1.0 : -1.0;
            const double ratio = (sign * r1 - alpha) / rho;
            if (!(std::fabs(ratio) < 1.0)) {
                continue;
            }
            const double delta = std::acos(ratio);
            for (int k = 0; k < 2; k++) {
                double q = phi + (k == 0 ? delta : -delta);
                q = q >= pi ? q - two_pi : q < -pi ? q + two_pi : q;
                const double slope = gamma * std::cos(q) - beta * std::sin(q);
                if (slope == 0.0) {
                    continue;
                }
                // Roots where |c1| <= r1: below the bound +r1 when c1
                // rises through it, above -r1 when c1 rises through it.
                ends[count++] = {q, -1, (sign > 0.0) == (slope > 0.0) ? -1 : 1};
            }
        }
        std::sort(ends, ends + count, [](const End &a, const End &b) { return a.q4 < b.q4; });
        return count;
    }

    // Where subproblem 4's discriminant touches zero from below (its
    // roots live at one q4 alone): true, and that q4.
    bool d1_touch(double &q4) const noexcept
    {
        const double alpha = z_.a.k0 + shift1_, beta = z_.a.kc, gamma = z_.a.ks;
        const double rho = std::sqrt(beta * beta + gamma * gamma), r1 = std::sqrt(rr1_);
        for (int bound = 0; bound < 2; bound++) {
            const double ratio = ((bound == 0 ? r1 : -r1) - alpha) / rho;
            if (std::fabs(ratio) >= 1.0 && std::fabs(ratio) - 1.0 <= touch_share) {
                q4 = std::atan2(gamma, beta) + (ratio > 0.0 ? 0.0 : pi);
                return true;
            }
        }
        return false;
    }

    // Discriminant `kind` (as in End) at q4.
    double gap(double q4, int kind) const noexcept
    {
        if (kind < 0) {
            return wrist(std::cos(q4), std::sin(q4)).d1 * inv_rr1_;
        }
        return gap3(q4, kind);
    }

    // Adds the row of branch b at its residual's zero q4.
    void add_row(double q4, int b, Branches &branches, bool touch) const noexcept
    {
        Walk walk;
        if (std::isnan(branch(q4, b, &walk, touch))) {
            return;
        }
        const Vec3 *h = six_.h;
        Row row;
        const Mat3 R1 = row.turn(0, std::atan2(walk.s1, walk.c1), h[0]);
        const Mat3 R2 = row.turn(1, std::atan2(walk.s2, walk.c2), h[1]);
        const Mat3 R3 = row.turn(2, std::atan2(walk.s3, walk.c3), h[2]);
        const Mat3 R4 = row.turn(3, q4, h[3]);
        const Mat3 Rw = transpose(R1 * R2 * R3 * R4) * G_.R;
        const Mat3 R5 = row.turn(4, sp::sp1_angle(h[5], Rw * h[5], h[4]), h[4]);
        row.q[5] = sp::sp1_angle(six_.across6, transpose(R5) * (Rw * six_.across6), h[5]);
        branches.add(row);
    }

private:
    const SixR &six_;
    const Motion &G_;
    Forms z_, w_, t_, v_;
    double turn3_;
    double a1_, b1_, rr1_, inv_rr1_, shift1_;
    bool flat_;
    double p32x_, p32y_, p32a_, half32_, h56_;
};

// The zero of f in [a, z], where it changes sign: regula falsi with the
// Illinois halving, down to rounding.
template <class F>
double bracketed_zero(const F &f, double a, double fa, double z, double fz) noexcept
{
    if (fa == 0.0) {
        return a;
    }
    if (fz == 0.0) {
        return z;
    }
    double root = 0.5 * (a + z);
    int side = 0;
    for (int iteration = 0; iteration < 60; iteration++) {
        root = (a * fz - z * fa) / (fz - fa);
        if (!(root > a && root < z)) {
            root = 0.5 * (a + z);  // the secant left the bracket: rounding
            if (!(root > a && root < z)) {
                break;
            }
        }
        const double fr = f(root);
        if (std::isnan(fr) || fr == 0.0) {
            break;
        }
        if ((fr < 0.0) == (fz < 0.0)) {
            z = root;
            fz = fr;
            if (side == -1) {
                fa *= 0.5;
            }
            side = -1;
        }
        else {
            a = root;
            fa = fr;
            if (side == 1) {
                fz *= 0.5;
            }
            side = 1;
        }
    }
    return root;
}

// The zeros of a curve f sampled at x[k] (ascending; f[k] NaN where the
// curve has no point), one in each interval [k, k + 1], first <= k < last,
// where f changes sign (a zero at a sample counted in the interval it
// opens), unless skip(k).  Each goes to curve.found with the side of it
// where f is positive.
template <class Curve, class Skip>
void crossings(const Curve &curve, const double *x, const double *f, int first, int last,
               const Skip &skip) noexcept
{
    const auto at = [&curve](double u) noexcept { return curve(u); };
    for (int k = first; k < last; k++) {
        if ((f[k] * f[k + 1] < 0.0 || (f[k] == 0.0 && !std::isnan(f[k + 1]))) && !skip(k)) {
            curve.found(bracketed_zero(at, x[k], f[k], x[k + 1], f[k + 1]),
                        f[k] > 0.0 || f[k + 1] < 0.0 ? -1 : 1);
        }
    }
}

// Zeros closer than the samples.  Two zeros that close are a
// near-tangency, a configuration near a singular one, and show as a dip
// of |f| at a sample with the same sign on either side; or, beside a
// change of sign, as a sample whose |f| is low next to the parabola
// through it and its next two, whose vertex lies on the other side of
// zero.  |f| is brought down towards the dip's bottom by Brent's
// minimisation (parabolas through the three lowest points, golden-section
// steps where they are no help, inside a bracket that closes in); once a
// point has the other sign, the two zeros on either side of it go to
// curve.found.  The dip is narrow and shallow next to the samples, so it
// is chased for as long as it stays deep next to them.
constexpr int dip_steps = 4;         // every dip
constexpr int deep_dip_steps = 40;   // while |f| at the bottom is below
constexpr double deep_dip = 0.1;     // this share of |f| at the samples beside it

// The chase from b, the lowest of b, w and v in the bracket [a, z] (g = |f|
// there, g = sign f), all of one sign; a bottom within curve.touching of
// zero goes to curve.touched.
template <class Curve>
void chase(const Curve &curve, double sign, double a, double z, double b, double gb, double w,
           double gw, double v, double gv) noexcept
{
    const auto at = [&curve](double u) noexcept { return curve(u); };
    const double shoulder = gw;
    for (int step = 0; step < deep_dip_steps; step++) {
        if (step >= dip_steps && !(gb < deep_dip * shoulder)) {
            break;
        }
        if (!(z - a > 1e-13 * (1.0 + std::fabs(b)))) {
            break;  // a tangency, or a bottom on its side of zero
        }
        // The vertex of the parabola through b, w and v.
        const double r = (b - w) * (gb - gv), q0 = (b - v) * (gb - gw);
        double p = (b - v) * q0 - (b - w) * r, q = 2.0 * (q0 - r);
        if (q > 0.0) {
            p = -p;
        }
        q = std::fabs(q);
        const double margin = 1e-3 * (z - a);
        double u = q != 0.0 ? b + p / q : a;
        if (!(u > a + margin && u < z - margin) || std::fabs(u - b) < margin) {
            u = b - a > z - b ? b - 0.381966 * (b - a) : b + 0.381966 * (z - b);
        }
        const double fu = curve(u);
        if (std::isnan(fu)) {
            return;
        }
        const double gu = sign * fu;
        if (gu <= 0.0) {
            // The nearest points on either side, all of the dip's sign.
            double left = a, right = z;
            for (const double t : {b, w, v}) {
                left = t < u && t > left ? t : left;
                right = t > u && t < right ? t : right;
            }
            const int inner = sign < 0.0 ? 1 : -1;  // positive between the zeros
            curve.found(bracketed_zero(at, left, curve(left), u, fu), inner);
            if (fu != 0.0) {
                curve.found(bracketed_zero(at, u, fu, right, curve(right)), -inner);
            }
            return;
        }
        if (gu < gb) {
            (u < b ? z : a) = b;
            v = w;
            gv = gw;
            w = b;
            gw = gb;
            b = u;
            gb = gu;
        }
        else {
            (u < b ? a : z) = u;
            if (gu < gw) {
                v = w;
                gv = gw;
                w = u;
                gw = gu;
            }
            else if (gu < gv) {
                v = u;
                gv = gu;
            }
        }
    }
    if (gb <= curve.touching) {
        curve.touched(b);  // a tangency, to rounding
    }
}

// The dips at samples first <= k <= last (unless skip(k)), of samples
// lo < first and hi > last.
template <class Curve, class Skip>
void dips(const Curve &curve, const double *x, const double *f, int first, int last, int lo, int hi,
          const Skip &skip) noexcept
{
    for (int k = first; k <= last; k++) {
        const double fm = f[k];
        if (!(fm * f[k + 1] > 0.0 || fm * f[k - 1] > 0.0) || skip(k)) {
            continue;
        }
        const double sign = fm > 0.0 ? 1.0 : -1.0;
        const double g = sign * fm, before = sign * f[k - 1], after = sign * f[k + 1];
        if (before > 0.0 && after > 0.0) {
            if (g < before && g <= after) {
                const bool left_lower = before < after;
                chase(curve, sign, x[k - 1], x[k + 1], x[k], g, left_lower ? x[k - 1] : x[k + 1],
                      left_lower ? before : after, left_lower ? x[k + 1] : x[k - 1],
                      left_lower ? after : before);
            }
            continue;
        }
        // A change of sign on one side: the parabola through this sample
        // and the next two on the other side, towards the change.
        const int out = before > 0.0 ? -1 : 1;
        if (k + 2 * out < lo || k + 2 * out > hi) {
            continue;
        }
        const double g1 = out > 0 ? after : before, g2 = sign * f[k + 2 * out];
        if (!(g < g1 && g1 < g2)) {
            continue;
        }
        const double x0 = x[k], x1 = x[k + out], x2 = x[k + 2 * out];
        const double s1 = (g1 - g) / (x1 - x0), s2 = (g2 - g1) / (x2 - x1);
        const double curvature = (s2 - s1) / (x2 - x0);  // g = g + s1 (t - x0) + curvature (t - x0)(t - x1)
        if (!(curvature > 0.0)) {
            continue;
        }
        const double u = 0.5 * (x0 + x1 - s1 / curvature);
        const double lowest = g + s1 * (u - x0) + curvature * (u - x0) * (u - x1);
        if (!((u - x0) * (u - x1) < 0.0 && lowest < 0.5 * g)) {
            continue;
        }
        const double fu = curve(u), gu = sign * fu;
        const double a = out > 0 ? x0 : x1, z = out > 0 ? x1 : x0;
        const double ga = out > 0 ? g : g1, gz = out > 0 ? g1 : g;
        if (gu <= 0.0) {
            const auto at = [&curve](double t) noexcept { return curve(t); };
            const int inner = sign < 0.0 ? 1 : -1;
            curve.found(bracketed_zero(at, a, sign * ga, u, fu), inner);
            if (fu != 0.0) {
                curve.found(bracketed_zero(at, u, fu, z, sign * gz), -inner);
            }
        }
        else if (gu < g) {
            chase(curve, sign, a, z, u, gu, x0, g, x1, g1);
        }
    }
}

constexpr auto never = [](int) noexcept { return false; };

// The rows found, with the zeros they came from, so that a zero reached
// twice (where the walks across two ends overlap) gives one row and
// leaves room for the others.
struct Found {
    const Search &search;
    Branches &branches;
    double q4[max_candidates] = {};
    int branch[max_candidates] = {};
    int count = 0;

    void add(double q, int b, bool touch = false) noexcept
    {
        for (int k = 0; k < count; k++) {
            if (branch[k] == b && std::fabs(q - q4[k]) < 1e-10) {
                return;
            }
        }
        if (count < max_candidates) {
            q4[count] = q;
            branch[count] = b;
            count++;
        }
        search.add_row(q, b, branches, touch);
    }
};

// One branch over q4.
struct Along {
    const Search &search;
    Found &found_;
    int b;

    static constexpr double touching = touch_residual;
    double operator()(double q4) const noexcept { return search.branch(q4, b); }
    void found(double q4, int) const noexcept { found_.add(q4, b); }
    void touched(double q4) const noexcept { found_.add(q4, b); }
};

// q4 in [-pi, pi), for a q4 at most a turn outside.
double on_circle(double q4) noexcept { return q4 >= pi ? q4 - two_pi : q4 < -pi ? q4 + two_pi : q4; }

// The point nearest q4 on its side `side` where discriminant `kind` is not
// negative, within a micro-radian (a zero found to rounding is a few ulps
// off at most; one cut short where the other discriminant ends may be
// further), or q4.
double inside_point(const Search &search, double q4, int kind, int side) noexcept
{
    if (search.gap(q4, kind) >= 0.0) {
        return q4;
    }
    double out = 0.0, step = 4e-16 * (1.0 + std::fabs(q4));
    for (; step < 1e-6; step *= 2.0) {
        if (search.gap(q4 + side * step, kind) >= 0.0) {
            break;
        }
        out = step;
    }
    if (!(step < 1e-6)) {
        return q4;
    }
    // Halving between the last step out and the first in.
    for (int iteration = 0; iteration < 40 && step - out > 4e-16 * (1.0 + std::fabs(q4)); iteration++) {
        const double mid = 0.5 * (out + step);
        (search.gap(q4 + side * mid, kind) >= 0.0 ? step : out) = mid;
    }
    return q4 + side * step;
}

// The zeros of one discriminant of subproblem 3, as ends; where it
// touches zero, the rows of the two branches that meet at that q4 alone.
struct EndsOf3 {
    const Search &search;
    Found &rows;
    End *ends;
    int &count;
    int i;

    static constexpr double touching = touch_share;
    double operator()(double q4) const noexcept { return search.gap3(q4, i); }
    void touched(double q4) const noexcept
    {
        for (int j = 0; j < 2; j++) {
            const double f = search.branch(q4, branch_of(i, j), nullptr, true);
            if (std::fabs(f) <= touch_point_residual) {
                rows.add(q4, branch_of(i, j), true);
            }
        }
    }
    void found(double q4, int side) const noexcept
    {
        if (count < max_ends) {
            // On the circle first: cos and sin of q4 and of q4 - 2 pi
            // differ by rounding, which can put an end just outside.
            ends[count++] = {inside_point(search, on_circle(q4), i, side), i, side};
        }
    }
};

// Subproblem 3's discriminants near an end of subproblem 4's, joined there
// as one curve of u: on root 0 at q4 = end + (reach - end) u^2 for u >= 0,
// on root 1 for u < 0; its zeros as ends, as EndsOf3's.
struct EndsAcross {
    const Search &search;
    Found &rows;
    End *ends;
    int &count;
    double end, reach;
    int side;  // of subproblem 4's end

    static constexpr double touching = touch_share;
    double q4(double u) const noexcept { return end + (reach - end) * (u * u); }
    int root(double u) const noexcept { return u >= 0.0 ? 0 : 1; }
    double operator()(double u) const noexcept { return search.gap3(q4(u), root(u)); }
    void found(double u, int positive) const noexcept
    {
        // u grows away from the end for u >= 0, towards it for u < 0.
        const int at = positive * (u >= 0.0 ? side : -side);
        EndsOf3{search, rows, ends, count, root(u)}.found(q4(u), at);
    }
    void touched(double u) const noexcept { EndsOf3{search, rows, ends, count, root(u)}.touched(q4(u)); }
};

// Two branches joined where they end, at `end`, as one curve of u in
// [-1, 1]: branch b at q4 = end + (to_b - end) u^2 for u >= 0, its partner
// at q4 = end + (to_p - end) u^2 for u < 0.  Each is P +/- Q sqrt(D) with
// D about linear in q4 there, so the curve is smooth in u where it is not
// in q4.
struct Joined {
    const Search &search;
    Found &found_;
    int b, partner;
    double end, to_b, to_p;

    static constexpr double touching = touch_residual;
    double q4(double u) const noexcept { return end + ((u >= 0.0 ? to_b : to_p) - end) * (u * u); }
    double operator()(double u) const noexcept { return search.branch(q4(u), u >= 0.0 ? b : partner); }
    void found(double u, int) const noexcept { found_.add(q4(u), u >= 0.0 ? b : partner); }
    void touched(double u) const noexcept { found(u, 0); }
};

// Whether an end of `kind` ends branch b.
bool ends_branch(int kind, int b) noexcept { return kind < 0 || kind == b / 2; }

}  // namespace

void search_two_parallel(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    const Search search(six, G);
    if (search.flat()) {
        return;
    }
    const GridTrig &trig = grid_trig();
    // Sample k at index k + 2, with two more on either side for the
    // circle's wrap.
    constexpr int n_grid = grid + 5;
    double x[n_grid], r[4][n_grid], gap3[2][n_grid];
    for (int k = 0; k < grid; k++) {
        double f[4], g3[2];
        search.all(trig.c[k], trig.s[k], f, g3);
        for (int b = 0; b < 4; b++) {
            r[b][k + 2] = f[b];
        }
        gap3[0][k + 2] = g3[0];
        gap3[1][k + 2] = g3[1];
    }
    for (int index = 0; index < n_grid; index++) {
        x[index] = -pi + grid_step * (index - 2);
    }
    const auto wrap = [](double *a) noexcept {
        a[0] = a[grid];
        a[1] = a[grid + 1];
        for (int index = grid + 2; index < n_grid; index++) {
            a[index] = a[index - grid];
        }
    };
    for (int b = 0; b < 4; b++) {
        wrap(r[b]);
    }
    for (int i = 0; i < 2; i++) {
        wrap(gap3[i]);
    }
    // The interval [x[k], x[k + 1]] that holds q4 in [-pi, pi].
    const auto interval = [](double q4) noexcept {
        const int k = 2 + static_cast<int>(std::floor((q4 + pi) / grid_step));
        return k < 2 ? 2 : k > grid + 1 ? grid + 1 : k;
    };

    // The ends: subproblem 4's in closed form, then subproblem 3's, where
    // its discriminant crosses zero between points where subproblem 4 has
    // roots (samples and the inner points of its ends) or dips to it.
    Found found{search, branches};
    double touch_q4 = 0.0;
    if (search.d1_touch(touch_q4)) {
        for (int b = 0; b < 4; b++) {
            if (std::fabs(search.branch(touch_q4, b, nullptr, true)) <= touch_point_residual) {
                found.add(touch_q4, b, true);
            }
        }
    }
    End ends[max_ends];
    int count = search.d1_ends(ends);
    const int d1_count = count;
    for (int e = 0; e < d1_count; e++) {
        ends[e].q4 = on_circle(inside_point(search, ends[e].q4, -1, ends[e].side));
    }
    std::sort(ends, ends + d1_count, [](const End &a, const End &b) { return a.q4 < b.q4; });
    for (int i = 0; i < 2; i++) {
        const EndsOf3 curve{search, found, ends, count, i};
        if (d1_count == 0) {
            crossings(curve, x, gap3[i], 2, grid + 2, never);
            dips(curve, x, gap3[i], 2, grid + 1, 0, n_grid - 1, never);
            continue;
        }
        // Each stretch where subproblem 4 has roots, from an end (side +1)
        // to the next (side -1), as points on its own.
        for (int e = 0; e < d1_count; e++) {
            if (ends[e].side < 0) {
                continue;
            }
            const End &from = ends[e], &to = ends[(e + 1) % d1_count];
            double to_q4 = to.q4;
            if (to_q4 <= from.q4) {
                to_q4 += two_pi;
            }
            double sx[grid + 4], sg[grid + 4];
            int n = 0;
            sx[n] = from.q4;
            sg[n++] = search.gap3(from.q4, i);
            for (int k = interval(from.q4) + 1; n < grid + 2; k++) {
                const double at = -pi + grid_step * (k - 2);  // past pi where it wraps
                if (!(at < to_q4)) {
                    break;
                }
                sx[n] = at;
                sg[n++] = gap3[i][(k - 2) % grid + 2];
            }
            sx[n] = to_q4;
            sg[n++] = search.gap3(to.q4, i);
            // Between its samples; next to its ends, subproblem 3's
            // discriminant moves as fast as q1, in the square root of the
            // distance to them: walked from there, below, out to the
            // second sample.
            crossings(curve, sx, sg, end_reach, n - 1 - end_reach, never);
            dips(curve, sx, sg, end_reach + 1, n - 2 - end_reach, 0, n - 1, never);
        }
    }
    // From each end of subproblem 4 into its stretch, out to the second
    // grid sample or most of the way to the stretch's other end: its two
    // roots joined, subproblem 3's discriminant on root 0 for u >= 0 and
    // on root 1 for u < 0, at q4 = end + (reach - end) u^2.
    for (int e = 0; e < d1_count; e++) {
        const End &end = ends[e];
        const End &other = ends[(e + (end.side > 0 ? 1 : d1_count - 1)) % d1_count];
        const int k = interval(end.q4);
        double reach = end.side > 0 ? x[k + end_reach] : x[k + 1 - end_reach];
        double past = end.side > 0 ? x[k + end_reach + 1] : x[k - end_reach];
        double gap = (other.q4 - end.q4) * end.side;
        gap = gap <= 0.0 ? gap + two_pi : gap;
        if (d1_count > 1 && gap < std::fabs(reach - end.q4)) {
            reach = end.q4 + 0.6 * gap * end.side;
            past = end.q4 + 0.7 * gap * end.side;
        }
        const EndsAcross curve{search, found, ends, count, end.q4, reach, end.side};
        constexpr int n = 2 * end_samples + 3;
        double u[n], g[n];
        u[n - 1] = std::sqrt((past - end.q4) / (reach - end.q4));
        u[0] = -u[n - 1];
        for (int m = -end_samples; m <= end_samples; m++) {
            u[m + end_samples + 1] = static_cast<double>(m) / end_samples;
        }
        for (int index = 0; index < n; index++) {
            g[index] = curve(u[index]);
        }
        crossings(curve, u, g, 1, n - 2, never);
        dips(curve, u, g, 1, n - 2, 0, n - 1, never);
    }

    // The grid intervals that the walks from a branch's ends cover.
    bool skip[4][n_grid] = {};
    for (int e = 0; e < count; e++) {
        for (int b = 0; b < 4; b++) {
            for (int j = 0; j < end_reach && ends_branch(ends[e].kind, b); j++) {
                skip[b][(interval(ends[e].q4) - 2 + j * ends[e].side + grid) % grid + 2] = true;
            }
        }
    }
    for (int b = 0; b < 4; b++) {
        skip[b][1] = skip[b][grid + 1];
        skip[b][grid + 2] = skip[b][2];
    }

    for (int b = 0; b < 4; b++) {
        const Along along{search, found, b};
        const bool *s = skip[b];
        crossings(along, x, r[b], 2, grid + 2, [s](int k) noexcept { return s[k]; });
        dips(along, x, r[b], 2, grid + 1, 0, n_grid - 1,
             [s](int k) noexcept { return s[k - 1] || s[k]; });
    }

    // Two ends facing away from each other across a gap of rounding: the
    // discriminant touches zero from above (a pinch), where the branches
    // meeting there go on through it each as another, and a residual that
    // changes sign in the gap is near zero in its middle: the row there.
    for (int e = 0; e < count; e++) {
        for (int other = 0; other < count; other++) {
            const End &left = ends[e], &right = ends[other];
            double gap = right.q4 - left.q4;
            gap = gap < -pi ? gap + two_pi : gap;  // across the circle's seam
            if (left.kind != right.kind || left.side > 0 || right.side < 0 ||
                !(gap > 0.0 && gap < pinch_gap)) {
                continue;
            }
            const double middle = left.q4 + 0.5 * gap;
            for (int b = 0; b < 4; b++) {
                if (ends_branch(left.kind, b) &&
                    std::fabs(search.branch(middle, b, nullptr, true)) <= touch_point_residual) {
                    found.add(middle, b, true);
                }
            }
        }
    }

    // Each end: the pair that meets there, walked in the square root of
    // the distance from it, out to the grid or most of the way to the
    // branch's next end.
    for (int e = 0; e < count; e++) {
        const End &end = ends[e];
        for (int pair = 0; pair < (end.kind < 0 ? 2 : 1); pair++) {
            const int b = end.kind < 0 ? branch_of(0, pair) : branch_of(end.kind, 0);
            const int partner = end.kind < 0 ? branch_of(1, pair) : branch_of(end.kind, 1);
            double reach[2], beyond[2];
            for (int side = 0; side < 2; side++) {
                const int branch = side == 0 ? b : partner;
                const int k = interval(end.q4);
                double to = end.side > 0 ? x[k + end_reach] : x[k + 1 - end_reach];
                double past = end.side > 0 ? x[k + end_reach + 1] : x[k - end_reach];
                for (int other = 0; other < count; other++) {
                    if (other == e || !ends_branch(ends[other].kind, branch)) {
                        continue;
                    }
                    double gap = (ends[other].q4 - end.q4) * end.side;
                    gap = gap < 0.0 ? gap + two_pi : gap;
                    // The branch's next end: short of the grid sample the
                    // walk would stop at, the walks from both ends overlap;
                    // beyond it, each stops at the grid, which takes the rest.
                    if (gap > 0.0 && gap < std::fabs(to - end.q4)) {
                        to = end.q4 + 0.6 * gap * end.side;
                        past = end.q4 + 0.7 * gap * end.side;
                    }
                }
                reach[side] = to;
                beyond[side] = past;
            }
            const Joined curve{search, found, b, partner, end.q4, reach[0], reach[1]};
            constexpr int n = 2 * end_samples + 3;
            double u[n], fu[n];
            u[0] = -std::sqrt((beyond[1] - end.q4) / (reach[1] - end.q4));
            u[n - 1] = std::sqrt((beyond[0] - end.q4) / (reach[0] - end.q4));
            for (int m = -end_samples; m <= end_samples; m++) {
                u[m + end_samples + 1] = static_cast<double>(m) / end_samples;
            }
            for (int index = 0; index < n; index++) {
                fu[index] = curve(u[index]);
            }
            crossings(curve, u, fu, 1, n - 2, never);
            dips(curve, u, fu, 1, n - 2, 0, n - 1, never);
        }
    }
}

}  // namespace kovi::solvers::analytic
