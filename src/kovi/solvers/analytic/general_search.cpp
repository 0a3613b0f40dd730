// The general 6R arm: no subproblem splits its six unknowns, but fixing
// two joints leaves some.  With q5 and q6 given, the first four joints
// must make H := G E6^-1 E5^-1 (Ei the motion of joint i, G the target as
// the joints' motion):
//     E1 E2 E3 E4 = H.
// A point p4 on axis 4 is left alone by E4, so E1 E2 E3 p4 = H p4, which
// is subproblem 5 for q1, q2, q3 (Elias and Wen, IK-Geo, arXiv 2211.05737:
// up to four roots of a quartic).  What is left, R4 = (R1 R2 R3)^T R_H,
// must be a rotation about h4, so
//     x := (R1 R2 R3)^T R_H h4 = h4,
// two equations (x is a unit vector) in the two fixed joints; then q4 by
// subproblem 1.  The common zeros of |x - h4| over the (q5, q6) torus are
// the arm's solutions, at most 16 (Lee and Liang, 1988; Raghavan and Roth,
// 1993).
//
// They are found by sampling the torus on a grid.  Where a branch's
// residual is a local minimum, or small next to the grid's spacing, its
// joints are a seed, which damped Newton steps on the whole pose (the 6x6
// Jacobian of the product of exponentials: quadratic convergence) drive
// onto a solution.  Seeds go smallest residual first, those close to one
// tried are skipped, and after a few steps so are descents close to
// another or to a solution found, or still far from the target; one that
// goes on stops once its steps lead to a solution found.  Newton's
// results are merged.
// Following a branch from cell to cell is not needed, which matters:
// subproblem 5 lists its roots by q1, and they swap places where two meet.
//
// A solution whose p4 the first three joints barely reach (subproblem 5
// near its fold) exists on a sliver of the torus that the grid can miss;
// the chain read backwards (q1 and q2 sampled, the point on axis 3) is
// then seldom near its own fold, so both readings are sampled.  Two
// solutions closer than the grid (a target near a singular pose) are
// told apart by a step across the fold from the one found (fold_partner).
#include <cmath>

#include "cholesky6.hpp"
#include "family_pieces.hpp"
#include "subproblems.hpp"

namespace kovi::solvers::analytic {

namespace {

// 16 samples per joint in each reading.  More samples find little more:
// what the grid misses are solutions near a singular pose (with a near
// twin), which generous seeding finds instead.
constexpr int samples = 16;
// A branch's residual seeds a solve when it is a local minimum below
// seed_minimum grid spacings, or anywhere below seed_any (|x - h4| changes
// by about the angle the fixed joints turn, more where subproblem 5's
// roots move fast).  Measured on random arms, found share against time:
// (2, 0.5) finds the configuration that made a random target for some
// 99.7% of targets, (3, 1) 99.9% at 1.5 times the time, (4, 1.5) every one
// of 4000 at twice the time.
constexpr double seed_minimum = 4.0;
constexpr double seed_any = 1.5;
constexpr int max_seeds = 128;
// A seed within tried_radius of one tried (every joint, radians) runs as
// that one does (0.45 loses solutions near a twin; 0.3 none measured).
// After warm_steps Newton steps, a descent within cluster_radius of one
// that went on, or of a solution found, goes where that one went; two
// solutions closer than that are left to fold_partner.
constexpr double tried_radius = 0.3;
constexpr int warm_steps = 3;
constexpr double cluster_radius = 0.05;
// A descent going on whose step lands within join_steps times its length
// (at most join_cap) of a solution found is taken to converge there: a
// Newton step near a solution is about the distance left to it, so the
// radius shrinks as the steps do, and a twin (a solution close to one
// found) that the descent nears with short steps is not mistaken for it.
constexpr double join_steps = 1.0;
constexpr double join_cap = 0.1;
// A descent whose error after the warm steps is above warm_giveup is given
// up: none of some 7000 that found a solution on a random arm was above
// 0.57 there.  Tighter bounds, and bounds on the error some steps later,
// save more but lost 1 to 2 targets' q* in 2000 on arms and targets other
// than those they were tuned on.
constexpr double warm_giveup = 0.8;
// Newton's results closer than this in every joint are one solution.
constexpr double same_radius = 1e-7;
// A Newton result is handed on (the caller verifies and refines it)
// within this of the target, metres and radians.
constexpr double newton_keep = 1e-7;
// A solution whose Jacobian's smallest singular value is below this is
// near a fold, and its partner is looked for.
constexpr double fold_sigma = 0.3;

// cos and sin to about 1e-11, several times faster than the C library's:
// the grid and the first Newton steps need no more (the last steps take
// the library's).  Reduced by quarter turns to |r| <= pi / 4, where the
// Taylor series to r^12 leaves r^13 / 13! < 1e-11.
void quick_cos_sin(double x, double &c, double &s) noexcept
{
    const double turns = std::floor(x * (2.0 / pi) + 0.5);
    // pi / 2 in two parts, so that the reduction loses no digits.
    const double r = (x - turns * 1.5707963267948966) - turns * 6.123233995736766e-17;
    const double r2 = r * r;
    const double sr =
        r * (1.0 + r2 * (-1.0 / 6 + r2 * (1.0 / 120 + r2 * (-1.0 / 5040 +
                                                           r2 * (1.0 / 362880 + r2 * (-1.0 / 39916800))))));
    const double cr =
        1.0 + r2 * (-0.5 + r2 * (1.0 / 24 + r2 * (-1.0 / 720 +
                                                  r2 * (1.0 / 40320 + r2 * (-1.0 / 3628800 +
                                                                            r2 * (1.0 / 479001600))))));
    switch (static_cast<long long>(turns) & 3) {
    case 0:
        c = cr, s = sr;
        break;
    case 1:
        c = -sr, s = cr;
        break;
    case 2:
        c = -cr, s = -sr;
        break;
    default:
        c = sr, s = -cr;
        break;
    }
}

Mat3 quick_rotation(Vec3 k, double angle) noexcept
{
    double c, s;
    quick_cos_sin(angle, c, s);
    return rotation(k, c, s);
}

// v turned back by angle about the unit vector k (Rodrigues).
Vec3 unturn(Vec3 k, double angle, Vec3 v) noexcept
{
    double c, s;
    quick_cos_sin(angle, c, s);
    return v * c - cross(k, v) * s + k * (dot(k, v) * (1.0 - c));
}

Motion joint_motion(Vec3 h, Vec3 p, double c, double s) noexcept
{
    const Mat3 R = rotation(h, c, s);
    return {R, p - R * p};
}

// |a - b| taken round the circle, for angles within half a turn of
// (-pi, pi] (every value here: subproblems' roots, grid samples, wrapped
// rows and a fold's step from one), without remainder()'s cost.
double wrapped_gap(double a, double b) noexcept
{
    const double d = std::fabs(a - b);
    return d > pi ? std::fabs(d - two_pi) : d;
}

bool near_row(const double *a, const double *b, double radius) noexcept
{
    for (int i = 0; i < 6; i++) {
        if (!(wrapped_gap(a[i], b[i]) <= radius)) {
            return false;
        }
    }
    return true;
}

// The pose error of q, e = (the origin's offset, the rotation vector w
// with R_G = exp([w]) R), and, given J, each joint's column of the
// Jacobian (J[i]): joint i moves the pose by (w_i x (t - r_i), w_i) per
// radian, w_i and r_i its axis and a point on it where the joints before
// it put them.  Returns the larger of metres and radians.
double pose_error(const SixR &six, const Motion &G, const double *q, double *e, double (*J)[6],
                  bool precise) noexcept
{
    const Vec3 *h = six.h, *p = six.p;
    // F, the motion of the joints so far, after joint i: it turns about
    // w_i through r_i = F(p_i), so F.t = r_i - F.R p_i.
    Motion F;
    Vec3 w[6], r[6];
    for (int i = 0; i < 6; i++) {
        double c, s;
        if (precise) {
            c = std::cos(q[i]);
            s = std::sin(q[i]);
        }
        else {
            quick_cos_sin(q[i], c, s);
        }
        if (i == 0) {
            w[0] = h[0];
            r[0] = p[0];
            F.R = rotation(h[0], c, s);
        }
        else {
            w[i] = F.R * h[i];
            r[i] = F(p[i]);
            F.R = F.R * rotation(h[i], c, s);
        }
        F.t = r[i] - F.R * p[i];
    }
    const Mat3 E = G.R * transpose(F.R);
    const Vec3 v{E.m[2][1] - E.m[1][2], E.m[0][2] - E.m[2][0], E.m[1][0] - E.m[0][1]};
    const double sine = norm(v);
    const double angle = std::atan2(sine, E.m[0][0] + E.m[1][1] + E.m[2][2] - 1.0);
    const Vec3 dw = sine > 0.0 ? v * (angle / sine) : Vec3{};
    const Vec3 dp = G.t - F.t;
    const double error[6] = {dp.x, dp.y, dp.z, dw.x, dw.y, dw.z};
    for (int k = 0; k < 6; k++) {
        e[k] = error[k];
    }
    if (J != nullptr) {
        for (int i = 0; i < 6; i++) {
            const Vec3 linear = cross(w[i], F.t - r[i]);
            const double column[6] = {linear.x, linear.y, linear.z, w[i].x, w[i].y, w[i].z};
            for (int k = 0; k < 6; k++) {
                J[i][k] = column[k];
            }
        }
    }
    return std::fmax(norm(dp), angle);
}

// J^T J, damped by lambda, and J^T e.
void normal_equations(const double (*J)[6], const double *e, double lambda, double A[6][6],
                      double b[6]) noexcept
{
    for (int i = 0; i < 6; i++) {
        b[i] = 0.0;
        for (int k = 0; k < 6; k++) {
            b[i] += J[i][k] * e[k];
        }
        for (int j = 0; j <= i; j++) {
            double sum = 0.0;
            for (int k = 0; k < 6; k++) {
                sum += J[i][k] * J[j][k];
            }
            A[i][j] = A[j][i] = sum;
        }
        A[i][i] += lambda;
    }
}

double squared_size(const double *e) noexcept
{
    double sum = 0.0;
    for (int k = 0; k < 6; k++) {
        sum += e[k] * e[k];
    }
    return sum;
}

// Damped Newton (Levenberg-Marquardt) steps that take q towards
// E1 ... E6 = G.  A step that does not lower the error is not taken and
// the damping grows, so that a seed far from a solution, or near a
// singular one, does not run off; near a solution the damping fades and
// the steps converge quadratically.  A seed still far after a dozen steps
// has fallen towards a mere minimum of the error and is given up.
struct Descent {
    double q[6], e[6], J[6][6];
    double error, lambda;
    bool precise;  // quick cosines and sines until near their error
    bool done;
    int steps;
};

// A descent set aside, without its error's Jacobian (a 128 of them fit in
// a few kilobytes of stack): resumed, the Jacobian is worked out again.
struct Paused {
    double q[6];
    double error, lambda;
    int steps;
    bool precise, done;
};

void pause(const Descent &d, Paused &p) noexcept
{
    for (int i = 0; i < 6; i++) {
        p.q[i] = std::remainder(d.q[i], two_pi);
    }
    p.error = d.error;
    p.lambda = d.lambda;
    p.steps = d.steps;
    p.precise = d.precise;
    p.done = d.done;
}

void resume(const SixR &six, const Motion &G, const Paused &p, Descent &d) noexcept
{
    for (int i = 0; i < 6; i++) {
        d.q[i] = p.q[i];
    }
    d.lambda = p.lambda;
    d.steps = p.steps;
    d.precise = p.precise;
    d.done = p.done;
    d.error = pose_error(six, G, d.q, d.e, d.J, d.precise);
}

void start_descent(const SixR &six, const Motion &G, const double *seed, Descent &d) noexcept
{
    for (int i = 0; i < 6; i++) {
        d.q[i] = std::remainder(seed[i], two_pi);
    }
    d.precise = false;
    d.done = false;
    d.steps = 0;
    d.lambda = 1e-4;
    d.error = pose_error(six, G, d.q, d.e, d.J, false);
}

void step_descent(const SixR &six, const Motion &G, Descent &d) noexcept
{
    if (!d.precise && d.error < 1e-8) {
        d.precise = true;
        d.error = pose_error(six, G, d.q, d.e, d.J, true);
    }
    if (d.error < 1e-14 || d.steps == 30 || (d.steps >= 12 && d.error > 1e-2)) {
        d.done = true;
        return;
    }
    d.steps++;
    double A[6][6], b[6];
    normal_equations(d.J, d.e, d.lambda + 1e-12, A, b);
    if (!cholesky_solve6(A, b)) {
        d.done = true;
        return;
    }
    double largest = 0.0;
    for (int i = 0; i < 6; i++) {
        largest = std::fmax(largest, std::fabs(b[i]));
    }
    const double cap = largest > 0.5 ? 0.5 / largest : 1.0;
    double trial[6], et[6], Jt[6][6];
    for (int i = 0; i < 6; i++) {
        trial[i] = d.q[i] + cap * b[i];
    }
    const double after = pose_error(six, G, trial, et, Jt, d.precise);
    if (squared_size(et) < squared_size(d.e)) {
        for (int i = 0; i < 6; i++) {
            d.q[i] = trial[i];
            d.e[i] = et[i];
            for (int k = 0; k < 6; k++) {
                d.J[i][k] = Jt[i][k];
            }
        }
        d.error = after;
        d.lambda = std::fmax(d.lambda * 0.1, 1e-12);
    }
    else {
        d.lambda *= 10.0;
        d.done = d.lambda > 1e3;
    }
}

// Where a solution q near a fold has its partner.  Two solutions that
// nearly coincide lie along the direction v in which J is nearly singular
// (smallest singular value sigma, left vector u = J v / sigma); along it
// the error u . e(q + t v) = -sigma t + g t^2 / 2 + ..., whose other zero
// is t = 2 sigma / g, with g from a central second difference.  False
// where J is not nearly singular or the partner is far (the grid sees it).
bool fold_partner(const SixR &six, const Motion &G, const double *q, double *partner) noexcept
{
    double e[6], J[6][6], A[6][6], unused[6];
    pose_error(six, G, q, e, J, true);
    normal_equations(J, e, 1e-12, A, unused);
    // Inverse iteration on J^T J for its smallest eigenvector.
    double v[6] = {1.0, 0.6, -0.8, 0.5, -0.3, 0.9};
    for (int iteration = 0; iteration < 8; iteration++) {
        double L[6][6];
        for (int i = 0; i < 6; i++) {
            for (int j = 0; j < 6; j++) {
                L[i][j] = A[i][j];
            }
        }
        if (!cholesky_solve6(L, v)) {
            return false;
        }
        const double size = std::sqrt(squared_size(v));
        for (double &x : v) {
            x /= size;
        }
    }
    double u[6];
    for (int k = 0; k < 6; k++) {
        u[k] = 0.0;
        for (int i = 0; i < 6; i++) {
            u[k] += J[i][k] * v[i];
        }
    }
    const double sigma = std::sqrt(squared_size(u));
    if (!(sigma < fold_sigma)) {
        return false;
    }
    for (double &x : u) {
        x /= sigma;
    }
    constexpr double eps = 1e-3;
    double plus[6], minus[6], ep[6], em[6];
    for (int i = 0; i < 6; i++) {
        plus[i] = q[i] + eps * v[i];
        minus[i] = q[i] - eps * v[i];
    }
    pose_error(six, G, plus, ep, nullptr, true);
    pose_error(six, G, minus, em, nullptr, true);
    double g = 0.0;
    for (int k = 0; k < 6; k++) {
        g += u[k] * (ep[k] + em[k] - 2.0 * e[k]) / (eps * eps);
    }
    // e is the target less the pose: its rate along v is -J v = -sigma u.
    const double t = 2.0 * sigma / g;
    if (!(std::fabs(t) < 0.5 && std::fabs(t) > 1e-6)) {
        return false;
    }
    for (int i = 0; i < 6; i++) {
        partner[i] = q[i] + t * v[i];
    }
    return true;
}

// The solutions found so far, each once.
struct Found {
    double q[max_candidates][6];
    int count = 0;

    bool near(const double *row, double radius) const noexcept
    {
        for (int k = 0; k < count; k++) {
            if (near_row(q[k], row, radius)) {
                return true;
            }
        }
        return false;
    }
};

// A finished descent's solution, if it is one not found before, goes to
// `branches`, and then its partner across a fold (when look_for_partner).
void add_solution(const SixR &six, const Motion &G, const Descent &d, Found &found, Branches &branches,
                  bool look_for_partner) noexcept;

void finish_from(const SixR &six, const Motion &G, const double *seed, Found &found,
                 Branches &branches) noexcept
{
    Descent d;
    start_descent(six, G, seed, d);
    while (!d.done) {
        step_descent(six, G, d);
    }
    add_solution(six, G, d, found, branches, false);
}

void add_solution(const SixR &six, const Motion &G, const Descent &d, Found &found, Branches &branches,
                  bool look_for_partner) noexcept
{
    if (found.count == max_candidates || !(d.error <= newton_keep)) {
        return;
    }
    double q[6];
    for (int i = 0; i < 6; i++) {
        q[i] = std::remainder(d.q[i], two_pi);
    }
    if (found.near(q, same_radius)) {
        return;
    }
    Row row;  // the caller takes the cosines and sines itself
    for (int i = 0; i < 6; i++) {
        found.q[found.count][i] = row.q[i] = q[i];
    }
    found.count++;
    branches.add(row);
    double partner[6];
    if (look_for_partner && fold_partner(six, G, q, partner)) {
        finish_from(six, G, partner, found, branches);
    }
}

// One grid cell: subproblem 5's roots there, each with its residual.
struct Cell {
    float q[4][3];
    float residual[4];
    int count;
};

// How far apart two branches' (q1, q2, q3) are, in radians (subproblem
// 5's roots, in (-pi, pi]).
float branch_gap(const float *a, const float *b) noexcept
{
    float gap = 0.0f;
    for (int k = 0; k < 3; k++) {
        const float d = std::fabs(a[k] - b[k]);
        gap = std::fmax(gap, d > static_cast<float>(pi) ? static_cast<float>(two_pi) - d : d);
    }
    return gap;
}

// A branch's residual is a local minimum when no neighbouring cell's
// branch nearest it (the same branch, where the roots keep apart) has a
// smaller one.
bool local_minimum(const Cell *cells, int i, int j, int b) noexcept
{
    const Cell &here = cells[j * samples + i];
    for (int dj = -1; dj <= 1; dj++) {
        for (int di = -1; di <= 1; di++) {
            if (di == 0 && dj == 0) {
                continue;
            }
            const Cell &there = cells[((j + dj + samples) % samples) * samples + (i + di + samples) % samples];
            int nearest = -1;
            float best = HUGE_VALF;
            for (int k = 0; k < there.count; k++) {
                const float gap = branch_gap(here.q[b], there.q[k]);
                if (gap < best) {
                    best = gap;
                    nearest = k;
                }
            }
            if (nearest >= 0 && there.residual[nearest] < here.residual[b]) {
                return false;
            }
        }
    }
    return true;
}

// The chain as one grid searches it: read forwards, or backwards (joint
// i is joint 5 - i about the negated axis, and the target inverted), with
// a point on its axis 4 off its axis 3 and a unit vector across axis 4.
struct View {
    Vec3 h[6], p[6];
    Vec3 point, across;
    Motion G;
    bool back;
};

View forwards(const SixR &six, const Motion &G) noexcept
{
    View v;
    for (int i = 0; i < 6; i++) {
        v.h[i] = six.h[i];
        v.p[i] = six.p[i];
    }
    v.point = six.centre;
    v.across = six.across4;
    v.G = G;
    v.back = false;
    return v;
}

View backwards(const SixR &six, const Motion &G) noexcept
{
    View v;
    for (int i = 0; i < 6; i++) {
        v.h[i] = -six.h[5 - i];
        v.p[i] = six.p[5 - i];
    }
    v.point = six.back_centre;
    v.across = six.across3;
    v.G = inverse(G);
    v.back = true;
    return v;
}

// The distances from a point m on axis 1 that the first three joints can
// put p4 at, widened a little.  E1 leaves m where it is, so where
// E1 E2 E3 p4 = y, |y - m| = |E2 E3 p4 - m| = |E3 p4 - E2^-1 m|: the
// distance between a point of the circle p4 turns on about axis 3 and one
// of the circle m turns on about axis 2.  Subproblem 5 has no roots for a
// y outside; most cells of the grid have none, and this rejects many of
// them for a square root instead of a quartic.
struct Reach {
    Vec3 m;
    double low, high;

    bool outside(Vec3 y) const noexcept
    {
        const double d = norm(y - m);
        return d < low || d > high;
    }
};

Reach reach_of(const View &v) noexcept
{
    const Vec3 *h = v.h, *p = v.p;
    Reach r;
    r.m = p[0];
    // p4's circle: centre c and radius about axis 3.
    const Vec3 off = v.point - p[2];
    const Vec3 c = p[2] + h[2] * dot(h[2], off);
    const double radius = norm(off - h[2] * dot(h[2], off));
    // m's circle about axis 2, sampled: from each sample the nearest and
    // farthest points of p4's circle are exact (g the centre's offset from
    // it, a the part of g along axis 3: the squared distances are
    // |g|^2 + radius^2 -+ 2 radius sqrt(|g|^2 - a^2)).  Between samples
    // the distances change by at most the sample's arc, which widens them.
    constexpr int turns = 32;
    const Vec3 arm = r.m - p[1];
    const double along = dot(h[1], arm);
    const Vec3 radial = arm - h[1] * along;
    const Vec3 normal = cross(h[1], radial);
    double low = HUGE_VAL, high = 0.0;
    for (int k = 0; k < turns; k++) {
        const double angle = two_pi * k / turns;
        const Vec3 w = p[1] + h[1] * along + radial * std::cos(angle) + normal * std::sin(angle);
        const Vec3 g = c - w;
        const double gg = dot(g, g), a = dot(g, h[2]);
        const double across = std::sqrt(std::fmax(0.0, gg - a * a));
        low = std::fmin(low, (across - radius) * (across - radius) + a * a);
        high = std::fmax(high, gg + radius * radius + 2.0 * radius * across);
    }
    const double slack = norm(radial) * (pi / turns) +
                         1e-6 * (norm(arm) + norm(v.point - p[2]) + norm(p[2] - p[1]) + 1.0);
    r.low = std::sqrt(low) - slack;
    r.high = std::sqrt(high) + slack;
    return r;
}

// A seed: a full row in the chain's own joint order, and the residual
// that chose it.
struct Start {
    double q[6];
    double residual;
};

// The grid of one reading: its seeds go into `starts`, which stays in
// ascending residual (the largest dropped when full).
void seed_view(const View &v, Cell *cells, Start *starts, int &count) noexcept
{
    const Vec3 *h = v.h, *p = v.p;
    const Vec3 p4 = v.point;
    constexpr double step = two_pi / samples;
    Motion undo5[samples];  // E5^-1 at each sample
    double c[samples], s[samples];
    for (int k = 0; k < samples; k++) {
        const double value = -pi + step * k;
        c[k] = std::cos(value);
        s[k] = std::sin(value);
        undo5[k] = inverse(joint_motion(h[4], p[4], c[k], s[k]));
    }
    Motion undo6[samples];
    for (int k = 0; k < samples; k++) {
        undo6[k] = inverse(joint_motion(h[5], p[5], c[k], s[k]));
    }
    // H = G6 E5^-1 is wanted only at p4 and on h4: E5^-1 of those first.
    Vec3 point5[samples], axis5[samples];
    for (int k = 0; k < samples; k++) {
        point5[k] = undo5[k](p4);
        axis5[k] = undo5[k].R * h[3];
    }
    const Reach reach = reach_of(v);
    for (int j = 0; j < samples; j++) {
        const Motion G6 = v.G * undo6[j];
        for (int i = 0; i < samples; i++) {
            const Vec3 y = G6(point5[i]);
            Cell &cell = cells[j * samples + i];
            if (reach.outside(y)) {
                cell.count = 0;
                continue;
            }
            const Vec3 g4 = G6.R * axis5[i];
            const sp::Sp5 s5 = sp::sp5(p[0] - p[1], y - p[0], p[2] - p[1], p4 - p[2], -h[0], h[1], h[2]);
            cell.count = s5.count;
            for (int b = 0; b < s5.count; b++) {
                const Vec3 x = unturn(h[2], s5.q3[b], unturn(h[1], s5.q2[b], unturn(h[0], s5.q1[b], g4)));
                cell.residual[b] = static_cast<float>(norm(x - h[3]));
                cell.q[b][0] = static_cast<float>(s5.q1[b]);
                cell.q[b][1] = static_cast<float>(s5.q2[b]);
                cell.q[b][2] = static_cast<float>(s5.q3[b]);
            }
        }
    }
    for (int j = 0; j < samples; j++) {
        for (int i = 0; i < samples; i++) {
            const Cell &cell = cells[j * samples + i];
            for (int b = 0; b < cell.count; b++) {
                const double r = cell.residual[b];
                if (!(r < seed_any * step) && (!(r < seed_minimum * step) || !local_minimum(cells, i, j, b))) {
                    continue;
                }
                int at = count < max_seeds ? count++ : max_seeds;
                while (at > 0 && starts[at - 1].residual > r) {
                    if (at < max_seeds) {
                        starts[at] = starts[at - 1];
                    }
                    at--;
                }
                if (at == max_seeds) {
                    continue;
                }
                const Motion H = v.G * undo6[j] * undo5[i];
                const float *q = cell.q[b];
                const Mat3 R123t = transpose(quick_rotation(h[0], q[0]) * quick_rotation(h[1], q[1]) *
                                             quick_rotation(h[2], q[2]));
                const double q4 = sp::sp1_angle(v.across, R123t * (H.R * v.across), h[3]);
                const double row[6] = {q[0], q[1], q[2], q4, -pi + step * i, -pi + step * j};
                for (int k = 0; k < 6; k++) {
                    starts[at].q[v.back ? 5 - k : k] = row[k];
                }
                starts[at].residual = r;
            }
        }
    }
}

}  // namespace

void search_general(const SixR &six, const Motion &G, Branches &branches) noexcept
{
    Cell cells[samples * samples];
    Start starts[max_seeds];
    int count = 0;
    seed_view(forwards(six, G), cells, starts, count);
    seed_view(backwards(six, G), cells, starts, count);
    // Every seed not near one before it takes a few steps; most seeds run
    // to a solution that others reach too, and after those steps they are
    // close together: only the first of each cluster (the one nearest its
    // solution) goes on.
    Paused runs[max_seeds];
    int order[max_seeds];
    int running = 0;
    Descent d;
    for (int k = 0; k < count; k++) {
        bool seen = false;
        for (int t = 0; t < running && !seen; t++) {
            seen = near_row(starts[order[t]].q, starts[k].q, tried_radius);
        }
        if (seen) {
            continue;
        }
        start_descent(six, G, starts[k].q, d);
        for (int i = 0; i < warm_steps && !d.done; i++) {
            step_descent(six, G, d);
        }
        pause(d, runs[running]);
        order[running++] = k;
    }
    int by_error[max_seeds];
    for (int r = 0; r < running; r++) {
        int at = r;
        while (at > 0 && runs[by_error[at - 1]].error > runs[r].error) {
            by_error[at] = by_error[at - 1];
            at--;
        }
        by_error[at] = r;
    }
    Found found;
    int kept[max_seeds];
    int kept_count = 0;
    for (int k = 0; k < running; k++) {
        const Paused &p = runs[by_error[k]];
        if (p.error > warm_giveup) {
            break;  // and so is every one after it
        }
        bool seen = found.near(p.q, cluster_radius);
        for (int t = 0; t < kept_count && !seen; t++) {
            seen = near_row(runs[kept[t]].q, p.q, cluster_radius);
        }
        if (seen) {
            continue;
        }
        kept[kept_count++] = by_error[k];
        resume(six, G, p, d);
        bool joined = false;
        while (!d.done && !joined) {
            double before[6];
            for (int i = 0; i < 6; i++) {
                before[i] = d.q[i];
            }
            step_descent(six, G, d);
            double step = 0.0;
            for (int i = 0; i < 6; i++) {
                step = std::fmax(step, std::fabs(d.q[i] - before[i]));
            }
            if (step > 0.0) {
                joined = found.near(d.q, std::fmin(join_cap, join_steps * step));
            }
        }
        if (joined) {
            continue;
        }
        add_solution(six, G, d, found, branches, true);
    }
}

}  // namespace kovi::solvers::analytic
