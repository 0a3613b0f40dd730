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

// Joints 4-6 of a spherical wrist, given q1-q3: R4 R5 R6 = Rw.  Axis 6
// turned by the wrist is Rw h6 = R4 R5 h6 (subproblem 2), and a direction
// across axis 6 then gives q6 (subproblem 1).  At a singular wrist (h6
// carried onto axis 4) subproblem 2 reports the continuum with q4 = 0.
void wrist(const SixR &six, const Mat3 &Rw, Row &row, Branches &branches) noexcept
{
    const Vec3 *h = six.h;
    const sp::Sp2 s = sp::sp2(Rw * h[5], h[5], -h[3], h[4]);
    for (int j = 0; j < s.count; j++) {
        const Mat3 R45 = row.turn(3, s.q1[j], h[3]) * row.turn(4, s.q2[j], h[4]);
        row.q[5] = sp::sp1_angle(six.across6, transpose(R45) * (Rw * six.across6), h[5]);
        branches.add(row);
    }
}

// The wrist centre c at G c, then the wrist: axes 1 and 2 meet at s, so
// |E3 c - s| = |G c - s| (subproblem 3 for q3) and then
// E1^-1 (G c - s) = E2 (E3 c - s) about s (subproblem 2 for q1, q2).
void wrist_shoulder_meets(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre, s = six.shoulder;
    const Vec3 ct = G(c);
    const sp::Sp3 s3 = sp::sp3(six.elbow, norm(ct - s));
    for (int i = 0; i < s3.count; i++) {
        Row row;
        const Mat3 R3 = row.turn(2, s3.q[i], h[2]);
        const sp::Sp2 s2 = sp::sp2(ct - s, turn_about(R3, p[2], c) - s, -h[0], h[1]);
        for (int j = 0; j < s2.count; j++) {
            const Mat3 R12 = row.turn(0, s2.q1[j], h[0]) * row.turn(1, s2.q2[j], h[1]);
            wrist(six, transpose(R12 * R3) * G.R, row, branches);
        }
    }
}

// Axes 2 and 3 parallel keep the centre's component along h2:
// h2 . E1^-1 (G c) = h2 . c (subproblem 4 for q1); then the planar pair:
// |E3 c - p2| = |E1^-1 G c - p2| (subproblem 3) and subproblem 1 for q2.
void wrist_elbow_parallel(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre;
    const Vec3 ct = G(c);
    const sp::Sp4 s4 = sp::sp4(h[1], ct - p[0], -h[0], dot(h[1], c - p[0]));
    for (int i = 0; i < s4.count; i++) {
        Row row;
        const Mat3 R1 = row.turn(0, s4.q[i], h[0]);
        const Vec3 x = turn_about(transpose(R1), p[0], ct);
        const sp::Sp3 s3 = sp::sp3(six.elbow, norm(x - p[1]));
        for (int j = 0; j < s3.count; j++) {
            const Mat3 R3 = row.turn(2, s3.q[j], h[2]);
            const double q2 = sp::sp1_angle(turn_about(R3, p[2], c) - p[1], x - p[1], h[1]);
            const Mat3 R123 = R1 * row.turn(1, q2, h[1]) * R3;
            wrist(six, transpose(R123) * G.R, row, branches);
        }
    }
}

// The wrist centre by subproblem 5: with p1, p2, p3 on axes 1-3,
//     (p1 - p2) + R1^T (G c - p1) = R2 ((p3 - p2) + R3 (c - p3)),
// then the wrist.
void wrist_general(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre;
    const sp::Sp5 s5 = sp::sp5(p[0] - p[1], G(c) - p[0], p[2] - p[1], c - p[2], -h[0], h[1], h[2]);
    for (int i = 0; i < s5.count; i++) {
        Row row;
        const Mat3 R123 = row.turn(0, s5.q1[i], h[0]) * row.turn(1, s5.q2[i], h[1]) *
                          row.turn(2, s5.q3[i], h[2]);
        wrist(six, transpose(R123) * G.R, row, branches);
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

void three_parallel_rest(const SixR &six, const Motion &G, const Mat3 &R1t, const Vec3 &g2, double q5,
                         Row &row, Branches &branches) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    const double sign3 = dot(h[1], h[2]) > 0.0 ? 1.0 : -1.0;
    const double sign4 = dot(h[1], h[3]) > 0.0 ? 1.0 : -1.0;
    const Mat3 R5t = transpose(row.turn(4, q5, h[4]));
    const sp::Sp1 s6 = sp::sp1(g2, R5t * h[1], h[5]);
    const double q6 = s6.kind == sp::Kind::continuum ? singular_q6(six, G, R1t, R5t) : s6.q;
    const Mat3 R6t = transpose(row.turn(5, q6, h[5]));
    // H p4 and R_H, applied right to left without forming H.
    const Vec3 u = turn_about(R6t, p[5], turn_about(R5t, p[4], p[3]));
    const Vec3 y = turn_about(R1t, p[0], G(u));
    const Vec3 a = R1t * (G.R * (R6t * (R5t * six.across4)));
    const double total = sp::sp1_angle(six.across4, a, h[1]);
    const sp::Sp3 s3 = sp::sp3(six.elbow, norm(y - p[1]));
    for (int k = 0; k < s3.count; k++) {
        const Mat3 R3 = row.turn(2, s3.q[k], h[2]);
        row.q[1] = sp::sp1_angle(turn_about(R3, p[2], p[3]) - p[1], y - p[1], h[1]);
        row.q[3] = sign4 * (total - row.q[1] - sign3 * row.q[2]);
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
    const sp::Sp4 s1 = sp::sp4(h[1], G(c) - p[0], -h[0], dot(h[1], c - p[0]));
    for (int i = 0; i < s1.count; i++) {
        Row row;
        const Mat3 R1t = transpose(row.turn(0, s1.q[i], h[0]));
        const sp::Sp4 s5 = sp::sp4(six.wrist_tilt, dot(h[1], R1t * (G.R * h[5])));
        const Vec3 g2 = turned_h2(six, G, R1t);
        for (int j = 0; j < s5.count; j++) {
            three_parallel_rest(six, G, R1t, g2, s5.q[j], row, branches);
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
    for (int i = 0; i < s6.count; i++) {
        Row row;
        const Mat3 R1t = transpose(row.turn(0, s6.q1[i], h[0]));
        three_parallel_rest(six, G, R1t, turned_h2(six, G, R1t), s6.q2[i], row, branches);
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
