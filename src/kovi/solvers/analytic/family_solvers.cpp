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

#include "libm_trig.hpp"
#include "subproblems.hpp"

namespace kovi::solvers::analytic {

namespace {

// A rigid motion x -> R x + t.
struct Motion {
    Mat3 R;
    Vec3 t;

    Vec3 operator()(Vec3 x) const noexcept { return R * x + t; }
};

Motion motion_of(const AffineBlock &a) noexcept { return {rotation_of(a), translation_of(a)}; }

Motion inverse(const Motion &m) noexcept
{
    const Mat3 Rt = transpose(m.R);
    return {Rt, -(Rt * m.t)};
}

Motion operator*(const Motion &a, const Motion &b) noexcept { return {a.R * b.R, a.R * b.t + a.t}; }

// A branch being built: its joint values, and the cosine and sine of each
// value that a rotation has taken (NaN where none has).  The cosines and
// sines come from libm_cos_sin, two calls the compiler cannot merge (the
// module links no sincos, whose bits the C library does not tie to cos
// and sin), so verification can use them for the same values.
struct Row {
    double q[6];
    double c[6];
    double s[6];

    Row() noexcept
    {
        for (int i = 0; i < 6; i++) {
            q[i] = 0.0;
            c[i] = s[i] = std::nan("");
        }
    }

    // Sets joint i to value and returns its rotation about k.
    Mat3 turn(int i, double value, Vec3 k) noexcept
    {
        q[i] = value;
        libm_cos_sin(value, c[i], s[i]);
        return rotation(k, c[i], s[i]);
    }
};

// x turned by R about the line through p.
Vec3 turn_about(const Mat3 &R, Vec3 p, Vec3 x) noexcept { return p + R * (x - p); }

// Where the solver collects branches.
struct Branches {
    Candidates &out;

    void add(const Row &row) noexcept
    {
        if (out.count < max_candidates) {
            for (int i = 0; i < 6; i++) {
                out.q[out.count][i] = row.q[i];
                out.c[out.count][i] = row.c[i];
                out.s[out.count][i] = row.s[i];
            }
            out.count++;
        }
    }
};

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

// ---------------------------------------------------------------------------
// The search: axes 2 and 3 parallel, 5 and 6 meeting at c.  For a given
// q4, with z = E4 c (E5 and E6 leave c alone, E2 and E3 keep components
// along h2),
//   h2 . E1^-1 (G c) = h2 . z               subproblem 4: q1
//   |E3 z - p2| = |E1^-1 G c - p2|          subproblem 3: q3
//   E2 (E3 z) = E1^-1 G c                   subproblem 1: q2
// and R5 R6 = Rw := (R1 R2 R3 R4)^T R_G must turn h6 to Rw h6 = R5 h6,
// which R5 can only if h5 . Rw h6 = h5 . h6: that difference is the
// residual whose zeros in q4 the search finds, branch by branch (which
// root of subproblem 4, then of 3: each lists its roots in a fixed
// order, phi + delta first).  Then q5 and q6 by subproblem 1.

constexpr int search_samples = 256;

struct SearchBranch {
    Row row;
    Mat3 Rw;
};

// The four branches at q4; exists[b] false where branch b has no exact
// root.
void branches_at(const SixR &six, const Motion &G, double q4, SearchBranch *out, bool *exists) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre, gc = G(c);
    for (int b = 0; b < 4; b++) {
        exists[b] = false;
    }
    Row row;
    const Mat3 R4 = row.turn(3, q4, h[3]);
    const Vec3 z = turn_about(R4, p[3], c);
    const sp::Sp4 s1 = sp::sp4(h[1], gc - p[0], -h[0], dot(h[1], z - p[0]));
    if (s1.kind != sp::Kind::exact) {
        return;
    }
    for (int i = 0; i < s1.count; i++) {
        Row r1 = row;
        const Mat3 R1 = r1.turn(0, s1.q[i], h[0]);
        const Vec3 y = turn_about(transpose(R1), p[0], gc);
        const sp::Sp3 s3 = sp::sp3(z - p[2], p[1] - p[2], h[2], norm(y - p[1]));
        if (s3.kind != sp::Kind::exact) {
            continue;
        }
        for (int j = 0; j < s3.count; j++) {
            SearchBranch &branch = out[2 * i + j];
            branch.row = r1;
            const Mat3 R3 = branch.row.turn(2, s3.q[j], h[2]);
            const double q2 = sp::sp1_angle(turn_about(R3, p[2], z) - p[1], y - p[1], h[1]);
            const Mat3 R2 = branch.row.turn(1, q2, h[1]);
            branch.Rw = transpose(R1 * R2 * R3 * R4) * G.R;
            exists[2 * i + j] = true;
        }
    }
}

double residual(const SixR &six, const Mat3 &Rw) noexcept
{
    return dot(six.h[4], Rw * six.h[5]) - dot(six.h[4], six.h[5]);
}

// branches_at for one branch: the same operations on its own path (the
// same bits), without the other three.  False where it has no root.
bool branch_at(const SixR &six, const Motion &G, double q4, int branch, SearchBranch &out) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    const Vec3 c = six.centre, gc = G(c);
    const int i = branch / 2, j = branch % 2;
    Row row;
    const Mat3 R4 = row.turn(3, q4, h[3]);
    const Vec3 z = turn_about(R4, p[3], c);
    const sp::Sp4 s1 = sp::sp4(h[1], gc - p[0], -h[0], dot(h[1], z - p[0]));
    if (s1.kind != sp::Kind::exact || i >= s1.count) {
        return false;
    }
    const Mat3 R1 = row.turn(0, s1.q[i], h[0]);
    const Vec3 y = turn_about(transpose(R1), p[0], gc);
    const sp::Sp3 s3 = sp::sp3(z - p[2], p[1] - p[2], h[2], norm(y - p[1]));
    if (s3.kind != sp::Kind::exact || j >= s3.count) {
        return false;
    }
    out.row = row;
    const Mat3 R3 = out.row.turn(2, s3.q[j], h[2]);
    const double q2 = sp::sp1_angle(turn_about(R3, p[2], z) - p[1], y - p[1], h[1]);
    const Mat3 R2 = out.row.turn(1, q2, h[1]);
    out.Rw = transpose(R1 * R2 * R3 * R4) * G.R;
    return true;
}

// The branch's residual at q4, NaN where it has no root.
double residual_at(const SixR &six, const Motion &G, double q4, int branch) noexcept
{
    SearchBranch one;
    return branch_at(six, G, q4, branch, one) ? residual(six, one.Rw) : std::nan("");
}

// The zero of the branch's residual in [a, z], where it changes sign:
// regula falsi with the Illinois halving.  A few evaluations bring the
// bracket down to rounding; the verification's Newton steps do the rest.
double bracketed_zero(const SixR &six, const Motion &G, int branch, double a, double fa, double z,
                      double fz) noexcept
{
    double root = fa == 0.0 ? a : z;
    int side = 0;
    for (int iteration = 0; iteration < 40 && fa != 0.0 && z - a > 1e-15; iteration++) {
        root = (a * fz - z * fa) / (fz - fa);
        const double fr = residual_at(six, G, root, branch);
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

// Adds the solution on `branch` at the residual's zero q4.
void add_search_solution(const SixR &six, const Motion &G, int branch, double q4,
                         Branches &branches) noexcept
{
    const Vec3 *h = six.h;
    SearchBranch one;
    if (!branch_at(six, G, q4, branch, one)) {
        return;
    }
    Row &row = one.row;
    const Mat3 &Rw = one.Rw;
    const Mat3 R5 = row.turn(4, sp::sp1_angle(h[5], Rw * h[5], h[4]), h[4]);
    row.q[5] = sp::sp1_angle(six.across6, transpose(R5) * (Rw * six.across6), h[5]);
    branches.add(row);
}

// A branch that ends between samples, at `inside` (where it exists, with
// residual f) and `outside` (where it does not), meets its partner root
// there (a subproblem's two roots become one) and may cross zero just
// before: bisection on its existence finds where it ends, and a change of
// sign on the way is a zero.
void zero_before_end(const SixR &six, const Motion &G, int branch, double inside, double f,
                     double outside, Branches &branches) noexcept
{
    double in = inside, out = outside;
    for (int i = 0; i < 24; i++) {
        const double mid = 0.5 * (in + out);
        if (std::isnan(residual_at(six, G, mid, branch))) {
            out = mid;
        }
        else {
            in = mid;
        }
    }
    const double g = residual_at(six, G, in, branch);
    if (!(f * g < 0.0)) {
        return;
    }
    const double q4 = inside < in ? bracketed_zero(six, G, branch, inside, f, in, g)
                                  : bracketed_zero(six, G, branch, in, g, inside, f);
    add_search_solution(six, G, branch, q4, branches);
}

// The dip of |residual| at x (f) between x - step (fa) and x + step (fz),
// all of one sign: up to four parabola vertices; where one has the other
// sign, the two zeros on either side of it are added.
void zeros_in_dip(const SixR &six, const Motion &G, int branch, double x, double step, double fa,
                  double f, double fz, Branches &branches) noexcept
{
    double a = x - step, z = x + step;
    for (int iteration = 0; iteration < 4; iteration++) {
        // The vertex of the parabola through (a, fa), (x, f), (z, fz).
        const double da = x - a, dz = z - x;
        const double num = da * da * (f - fz) - dz * dz * (f - fa);
        const double den = da * (f - fz) + dz * (f - fa);
        if (!(den != 0.0)) {
            return;
        }
        const double v = x - 0.5 * num / den;
        if (!(v > a && v < z) || v == x) {
            return;
        }
        const double fv = residual_at(six, G, v, branch);
        if (std::isnan(fv)) {
            return;
        }
        if (fv * f <= 0.0) {
            const double left = v < x ? a : x, right = v < x ? x : z;
            const double fl = v < x ? fa : f, fr = v < x ? f : fz;
            add_search_solution(six, G, branch, bracketed_zero(six, G, branch, left, fl, v, fv), branches);
            if (fv != 0.0) {
                add_search_solution(six, G, branch, bracketed_zero(six, G, branch, v, fv, right, fr),
                                    branches);
            }
            return;
        }
        if (!(std::fabs(fv) < std::fabs(f))) {
            return;  // no deeper: the dip stays on its side of zero
        }
        // The new lowest point, between its neighbours.
        if (v < x) {
            z = x;
            fz = f;
        }
        else {
            a = x;
            fa = f;
        }
        x = v;
        f = fv;
    }
}

void search_two_parallel(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    constexpr double start = -3.141592653589793;
    constexpr double step = 2.0 * 3.141592653589793 / search_samples;
    double r[search_samples + 1][4];
    for (int k = 0; k < search_samples; k++) {
        SearchBranch all[4];
        bool exists[4];
        branches_at(six, G, start + step * k, all, exists);
        for (int b = 0; b < 4; b++) {
            r[k][b] = exists[b] ? residual(six, all[b].Rw) : std::nan("");
        }
    }
    for (int b = 0; b < 4; b++) {
        r[search_samples][b] = r[0][b];  // the circle closes
    }
    for (int b = 0; b < 4; b++) {
        for (int k = 0; k < search_samples; k++) {
            const double fa = r[k][b], fz = r[k + 1][b];
            // A sign change, or a zero at a sample (counted once, in the
            // interval it opens).
            if (!(fa * fz < 0.0 || (fa == 0.0 && !std::isnan(fz)))) {
                continue;
            }
            const double q4 = bracketed_zero(six, G, b, start + step * k, fa, start + step * (k + 1), fz);
            add_search_solution(six, G, b, q4, branches);
        }
    }
    // Pairs of zeros closer than the grid: |residual| dips towards zero at
    // a sample without changing sign on either side.  Successive parabolas
    // through the three lowest points look for the dip's other sign.
    for (int b = 0; b < 4; b++) {
        for (int k = 0; k < search_samples; k++) {
            const double before = r[k == 0 ? search_samples - 1 : k - 1][b], here = r[k][b],
                         after = r[k + 1][b];
            if (!(before * here > 0.0 && here * after > 0.0 && std::fabs(here) < std::fabs(before) &&
                  std::fabs(here) <= std::fabs(after))) {
                continue;
            }
            zeros_in_dip(six, G, b, start + step * k, step, before, here, after, branches);
        }
    }
    // Zeros just before a branch ends.
    for (int b = 0; b < 4; b++) {
        for (int k = 0; k < search_samples; k++) {
            const double here = r[k][b], next = r[k + 1][b];
            if (!std::isnan(here) && std::isnan(next)) {
                zero_before_end(six, G, b, start + step * k, here, start + step * (k + 1), branches);
            }
            else if (std::isnan(here) && !std::isnan(next)) {
                zero_before_end(six, G, b, start + step * (k + 1), next, start + step * k, branches);
            }
        }
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
