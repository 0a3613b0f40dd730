// The search families: no closed form, but one for each value of a
// searched joint, so a search over that joint for the zeros of the one
// equation left.
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

}  // namespace

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

}  // namespace kovi::solvers::analytic
