// The closed-form families, each a short sequence of subproblems.
//
// With G = T M^-1 the target written as the joints' motion,
//     G = E1(q1) E2(q2) ... E6(q6),
// where Ei turns about the line (h_i, p_i).  A point on the lines of the
// last joints is left where it is by them, so its image under G involves
// the first joints alone; a direction along the parallel axes keeps its
// component along them whatever those joints do.  Each family uses one of
// these facts to split the six unknowns into subproblems of one or two.
#include "family_solvers.hpp"

#include <cmath>
#include <utility>

#include "family_pieces.hpp"
#include "subproblems.hpp"

namespace kovi::solvers::analytic {

namespace {

// x turned by c, s about the unit axis k (Rodrigues).
Vec3 rodrigues(Vec3 k, double c, double s, Vec3 x) noexcept
{
    return c * x + s * cross(k, x) + (dot(k, x) * (1.0 - c)) * k;
}

// R^T v, without forming R^T.
Vec3 back(const Mat3 &R, Vec3 v) noexcept { return v.x * R.row(0) + v.y * R.row(1) + v.z * R.row(2); }

// A fixed vector v turned about a unit axis k, ready for any angle:
// R(k, q) v = along + cos q across + sin q side.
struct Turning {
    Vec3 along, across, side;

    Vec3 operator()(double c, double s) const noexcept { return along + c * across + s * side; }
};

Turning turning(Vec3 k, Vec3 v) noexcept
{
    const Vec3 along = dot(k, v) * k;
    return {along, v - along, cross(k, v)};
}

// Joints 4-6 of a spherical wrist, given q1-q3: R4 R5 R6 = Rw.  Axis 6
// turned by the wrist is g = Rw h6 = R4 R5 h6, and R4 keeps the part along
// h4: h4 . R5 h6 = h4 . g (subproblem 4 for q5, its sinusoid the wrist's
// own, `tilt`), then R4 (R5 h6) = g (subproblem 1 for q4) and a direction
// across axis 6 gives q6 (subproblem 1).  At a singular wrist (g on axis
// 4) R5 h6 lies on axis 4 too and q4 = 0 stands for the continuum.
struct Wrist {
    sp::FixedSp4 tilt;
    Turning h6;  // about h5
};

Wrist wrist_of(const SixR &six) noexcept
{
    return {sp::sp4_fixed(six.h[3], six.h[5], six.h[4]), turning(six.h[4], six.h[5])};
}

// g = Rw h6 and x = Rw across6, the wrist's rotation read on the two
// vectors it needs.
void wrist(const SixR &six, const Wrist &w, Vec3 g, Vec3 x, Row &row, Branches &branches) noexcept
{
    const Vec3 *h = six.h;
    const double tilt = dot(h[3], g);
    const sp::Sp4 s5 = sp::sp4(w.tilt, tilt);
    // Near the sinusoid's extreme its angle is ill-conditioned (a rounding
    // e of the tilt moves q5 by e / (r sin delta)): there q5 is read again
    // from R5 h6 = R4^T g once q4 is known, as well conditioned as q4.
    const bool steep = !w.tilt.phase.flat && std::fabs(tilt - w.tilt.constant) > 0.99 * w.tilt.phase.r;
    for (int j = 0; j < s5.count; j++) {
        row.q[4] = s5.q[j];
        libm_cos_sin(row.q[4], row.c[4], row.s[4]);
        row.q[3] = sp::sp1_angle(w.h6(row.c[4], row.s[4]), g, h[3]);
        libm_cos_sin(row.q[3], row.c[3], row.s[3]);
        if (steep) {
            row.q[4] = sp::sp1_angle(h[5], rodrigues(h[3], row.c[3], -row.s[3], g), h[4]);
            libm_cos_sin(row.q[4], row.c[4], row.s[4]);
        }
        // R6 across6 = R5^T R4^T Rw across6.
        const Vec3 back = rodrigues(h[4], row.c[4], -row.s[4], rodrigues(h[3], row.c[3], -row.s[3], x));
        row.q[5] = sp::sp1_angle(six.across6, back, h[5]);
        branches.add(row);
    }
}

// The wrist centre c at G c, then the wrist: axes 1 and 2 meet at s, so
// |E3 c - s| = |G c - s| (subproblem 3 for q3) and then
// E1^-1 (G c - s) = E2 (E3 c - s) about s (subproblem 2 for q1, q2).
void wrist_shoulder_meets(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    const Wrist w = wrist_of(six);
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre, s = six.shoulder;
    const Vec3 ct = G(c);
    const Vec3 gh = G.R * h[5], gx = G.R * six.across6;
    const Vec3 a = ct - s;
    const double la = norm(a);
    const sp::Sp3 s3 = sp::sp3(six.elbow, la);
    // Subproblem 2 for q1 and q2, R(-h1, q1) a = R(h2, q2) b, by its own
    // steps: the part along h2 of R(-h1, q1) a / |a| must be h2 . b / |b|,
    // a sinusoid in q1 whose phase depends on a alone, so it is worked out
    // once for both q3; subproblem 1 then gives q2.  Where subproblem 2
    // has a continuum (a or b on its axis, or the axes parallel), it
    // decides.
    const double zero = sp::detail::zero_share;
    const bool general = norm(cross(h[0], h[1])) > zero && la > 0.0;
    const Vec3 ua = general ? a / la : a;
    const sp::FixedSp4 lift = sp::sp4_fixed(h[1], ua, -h[0]);
    for (int i = 0; i < s3.count; i++) {
        Row row;
        const Mat3 R3 = row.turn(2, s3.q[i], h[2]);
        const Vec3 b = turn_about(R3, p[2], c) - s;
        const double lb = norm(b), size = la > lb ? la : lb;
        if (!general || !(lb > 0.0) || norm(reject(a, h[0])) <= zero * size ||
            norm(reject(b, h[1])) <= zero * size) {
            const sp::Sp2 s2 = sp::sp2(a, b, -h[0], h[1]);
            for (int j = 0; j < s2.count; j++) {
                const Mat3 R1 = row.turn(0, s2.q1[j], h[0]), R2 = row.turn(1, s2.q2[j], h[1]);
                wrist(six, w, back(R3, back(R2, back(R1, gh))), back(R3, back(R2, back(R1, gx))), row,
                      branches);
            }
            continue;
        }
        const Vec3 ub = b / lb;
        const sp::Sp4 s1 = sp::sp4(lift, dot(h[1], ub));
        for (int j = 0; j < s1.count; j++) {
            const Mat3 R1 = row.turn(0, s1.q[j], h[0]);
            // R(-h1, q1) = R1^T.
            const double q2 = sp::sp1_angle(ub, back(R1, ua), h[1]);
            const Mat3 R2 = row.turn(1, q2, h[1]);
            wrist(six, w, back(R3, back(R2, back(R1, gh))), back(R3, back(R2, back(R1, gx))), row, branches);
        }
    }
}

// Axes 2 and 3 parallel keep the centre's component along h2:
// h2 . E1^-1 (G c) = h2 . c (subproblem 4 for q1); then the planar pair:
// |E3 c - p2| = |E1^-1 G c - p2| (subproblem 3) and subproblem 1 for q2.
void wrist_elbow_parallel(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    const Wrist w = wrist_of(six);
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre;
    const Vec3 ct = G(c);
    const sp::Sp4 s4 = sp::sp4(h[1], ct - p[0], -h[0], dot(h[1], c - p[0]));
    for (int i = 0; i < s4.count; i++) {
        Row row;
        const Mat3 R1 = row.turn(0, s4.q[i], h[0]);
        const Vec3 x = p[0] + back(R1, ct - p[0]);
        const Vec3 gh = back(R1, G.R * h[5]), gx = back(R1, G.R * six.across6);
        const sp::Sp3 s3 = sp::sp3(six.elbow, norm(x - p[1]));
        for (int j = 0; j < s3.count; j++) {
            const Mat3 R3 = row.turn(2, s3.q[j], h[2]);
            const double q2 = sp::sp1_angle(turn_about(R3, p[2], c) - p[1], x - p[1], h[1]);
            const Mat3 R2 = row.turn(1, q2, h[1]);
            wrist(six, w, back(R3, back(R2, gh)), back(R3, back(R2, gx)), row, branches);
        }
    }
}

// The wrist centre by subproblem 5: with p1, p2, p3 on axes 1-3,
//     (p1 - p2) + R1^T (G c - p1) = R2 ((p3 - p2) + R3 (c - p3)),
// then the wrist.
void wrist_general(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    const Wrist w = wrist_of(six);
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre;
    const Vec3 gh = G.R * h[5], gx = G.R * six.across6;
    const sp::Sp5 s5 = sp::sp5(p[0] - p[1], G(c) - p[0], p[2] - p[1], c - p[2], -h[0], h[1], h[2]);
    for (int i = 0; i < s5.count; i++) {
        Row row;
        const Mat3 R1 = row.turn(0, s5.q1[i], h[0]), R2 = row.turn(1, s5.q2[i], h[1]),
                   R3 = row.turn(2, s5.q3[i], h[2]);
        wrist(six, w, back(R3, back(R2, back(R1, gh))), back(R3, back(R2, back(R1, gx))), row, branches);
    }
}

// The rest of a three-parallel arm once q1 (R1 = R1t^T) and q5 are known:
//   R6 (R_G^T R1 h2) = R5^T h2              subproblem 1: q6
// and then E2 E3 E4 = E1^-1 G E6^-1 E5^-1 =: H, with E4 fixing p4:
//   |E3 p4 - p2| = |H p4 - p2|              subproblem 3: q3
//   E2 (E3 p4) = H p4                       subproblem 1: q2
// and q4 from the angle that R_H turns about h2 (subproblem 1), which is
// q2 + q3 + q4 with each term's sign that of its axis along h2.
//
// When q5 turns axis 6 parallel to the others, q6 is one of four parallel
// turns and the equation for it holds for any q6: the representative q6
// puts p4 halfway across the ring the elbow can reach around p2 (as near
// as q6 can), which every configuration of the continuum reaches.
double singular_q6(const SixR &six, const Motion &G, const Mat3 &R1t, const Mat3 &R5t) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    // |H p4 - p2| = |E6^-1 v - w| with v = E5^-1 p4 and w = G^-1 E1 p2,
    // and E6^-1 turns by -q6 about axis 6: subproblem 3 about -h6.
    const Vec3 v = turn_about(R5t, p[4], p[3]);
    const Vec3 w = transpose(G.R) * (turn_about(transpose(R1t), p[0], p[1]) - G.t);
    // The ring |E3 p4 - p2| sweeps as q3 turns.
    const Vec3 a = p[3] - p[2], b = p[1] - p[2];
    const double along = dot(h[2], a) * dot(h[2], b);
    const double across = norm(reject(a, h[2])) * norm(reject(b, h[2]));
    const double base = dot(a, a) + dot(b, b);
    const double inner = std::sqrt(std::fmax(0.0, base - 2.0 * (along + across)));
    const double outer = std::sqrt(std::fmax(0.0, base - 2.0 * (along - across)));
    return sp::sp3(v - p[5], w - p[5], -h[5], 0.5 * (inner + outer)).q[0];
}

// R_G^T R1 h2, which the q6 equation needs: the same for both q5 of a q1.
Vec3 turned_h2(const SixR &six, const Motion &G, const Mat3 &R1t) noexcept
{
    return transpose(G.R) * (transpose(R1t) * six.h[1]);
}

// The chain's own vectors that the three-parallel family turns each solve:
// by R5^T (about h5, -q5) h2, p4 - p5 and the direction across axis 4;
// by R3 (about h3) p4 - p3, here from p2.
struct ThreeParallel {
    double sign3, sign4;
    Turning h2, p4, across4;  // about h5
    Turning elbow;            // about h3, `along` moved by p3 - p2
};

ThreeParallel three_parallel_of(const SixR &six) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    ThreeParallel t{dot(h[1], h[2]) > 0.0 ? 1.0 : -1.0,
                    dot(h[1], h[3]) > 0.0 ? 1.0 : -1.0,
                    turning(h[4], h[1]),
                    turning(h[4], p[3] - p[4]),
                    turning(h[4], six.across4),
                    turning(h[2], p[3] - p[2])};
    t.elbow.along = t.elbow.along + (p[2] - p[1]);
    return t;
}

void three_parallel_rest(const SixR &six, const ThreeParallel &t, const Motion &G, const Mat3 &R1t,
                         const Vec3 &g2, double q5, Row &row, Branches &branches) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    row.q[4] = q5;
    libm_cos_sin(q5, row.c[4], row.s[4]);
    // R5^T and R6^T turn by -q5 and -q6.
    const double c5 = row.c[4], s5 = -row.s[4];
    const sp::Sp1 turn6 = sp::sp1_turn(g2, t.h2(c5, s5), h[5]);
    const double q6 = turn6.kind == sp::Kind::continuum
                          ? singular_q6(six, G, R1t, transpose(rotation(h[4], row.c[4], row.s[4])))
                          : turn6.q;
    row.q[5] = q6;
    libm_cos_sin(q6, row.c[5], row.s[5]);
    const double c6 = row.c[5], s6 = -row.s[5];
    // H p4 and R_H, applied right to left without forming H.
    const Vec3 u = p[5] + rodrigues(h[5], c6, s6, p[4] + t.p4(c5, s5) - p[5]);
    const Vec3 y = turn_about(R1t, p[0], G(u));
    const Vec3 a = R1t * (G.R * rodrigues(h[5], c6, s6, t.across4(c5, s5)));
    const double total = sp::sp1_angle(six.across4, a, h[1]);
    const Vec3 reach = y - p[1];
    const sp::Sp3 s3 = sp::sp3(six.elbow, norm(reach));
    for (int k = 0; k < s3.count; k++) {
        row.q[2] = s3.q[k];
        libm_cos_sin(s3.q[k], row.c[2], row.s[2]);
        row.q[1] = sp::sp1_angle(t.elbow(row.c[2], row.s[2]), reach, h[1]);
        row.q[3] = t.sign4 * (total - row.q[1] - t.sign3 * row.q[2]);
        branches.add(row);
    }
}

// Axes 2-4 parallel (R2 R3 R4 a rotation about h2), 5 and 6 meeting at c:
//   h2 . E1^-1 (G c) = h2 . c              subproblem 4: q1
//   h2 . R5 h6 = h2 . R1^T R_G h6           subproblem 4: q5
// then the rest.
void three_parallel(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre;
    const ThreeParallel t = three_parallel_of(six);
    const sp::Sp4 s1 = sp::sp4(h[1], G(c) - p[0], -h[0], dot(h[1], c - p[0]));
    for (int i = 0; i < s1.count; i++) {
        Row row;
        const Mat3 R1t = transpose(row.turn(0, s1.q[i], h[0]));
        const sp::Sp4 s5 = sp::sp4(six.wrist_tilt, dot(h[1], R1t * (G.R * h[5])));
        const Vec3 g2 = turned_h2(six, G, R1t);
        for (int j = 0; j < s5.count; j++) {
            three_parallel_rest(six, t, G, R1t, g2, s5.q[j], row, branches);
        }
    }
}

// Axes 2-4 parallel, 5 and 6 apart: with c on axis 6, the two
// equations above become
//   h2 . R1^T (G c - p1) - h2 . R5 (c - p5) = h2 . (p5 - p1),
//   h2 . R1^T R_G h6 - h2 . R5 h6 = 0,
// which subproblem 6 solves for q1 and q5 together.
void three_parallel_general(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre;
    const sp::Sp6 s6 = sp::sp6(h[1], h[1], h[1], h[1], -h[0], h[4], -h[0], h[4], G(c) - p[0],
                               p[4] - c, G.R * h[5], -h[5], dot(h[1], p[4] - p[0]), 0.0);
    const ThreeParallel t = three_parallel_of(six);
    for (int i = 0; i < s6.count; i++) {
        Row row;
        const Mat3 R1t = transpose(row.turn(0, s6.q1[i], h[0]));
        three_parallel_rest(six, t, G, R1t, turned_h2(six, G, R1t), s6.q2[i], row, branches);
    }
}

}  // namespace

void solve_six(const SixR &six, Solver solver, const AffineBlock &target, Candidates &out) noexcept
{
    out.count = 0;
    // G = T M^-1, or its inverse M T^-1 for the chain read backwards.
    Motion G = motion_of(target) * inverse(motion_of(six.M));
    if (solver.reversed) {
        G = inverse(G);
    }
    Branches branches{out};
    switch (solver.method) {
    case Method::wrist_shoulder_meets:
        wrist_shoulder_meets(six, G, branches);
        break;
    case Method::wrist_elbow_parallel:
        wrist_elbow_parallel(six, G, branches);
        break;
    case Method::wrist_general:
        wrist_general(six, G, branches);
        break;
    case Method::three_parallel:
        three_parallel(six, G, branches);
        break;
    case Method::three_parallel_general:
        three_parallel_general(six, G, branches);
        break;
    case Method::search_two_parallel:
        search_two_parallel(six, G, branches);
        break;
    case Method::search_general:
        search_general(six, G, branches);
        break;
    case Method::none:
        break;
    }
    if (solver.reversed) {
        // The backward chain's joint i is joint 5 - i (about the negated
        // axis, so the same angle).
        for (int r = 0; r < out.count; r++) {
            for (int i = 0; i < 3; i++) {
                std::swap(out.q[r][i], out.q[r][5 - i]);
                std::swap(out.c[r][i], out.c[r][5 - i]);
                std::swap(out.s[r][i], out.s[r][5 - i]);
            }
        }
    }
}

}  // namespace kovi::solvers::analytic
