// Placing, filtering, verifying, refining, merging and ordering solutions.
#include "solution_set.hpp"

#include <algorithm>
#include <cmath>

#include "cholesky6.hpp"
#include "joint_wrap.hpp"
#include "lane_poses.hpp"
#include "pose_error.hpp"

namespace kovi::solvers::analytic {

namespace {

constexpr int max_dof = 7;

bool in_limits(const kovi::chain::Chain &chain, const double *row) noexcept
{
    for (Py_ssize_t i = 0; i < chain.dof(); i++) {
        if (!within(row[i], chain.limits[i])) {
            return false;
        }
    }
    return true;
}

[[gnu::noinline]] double place_elsewhere(double q, const kovi::chain::JointLimit &limit) noexcept
{
    return place_revolute(q, limit);
}

// place_revolute(q, limit), most often without its remainder(): a value
// in (-pi, pi] is its own wrap, and one in (pi, 9) or (-9, -pi] is one
// turn off (9 < 3 pi), which q -/+ 2 pi removes exactly, as remainder()
// does (the operands are within a factor 2 of each other).  Out of the
// limits, place_revolute decides.
[[gnu::always_inline]] inline double place_value(double q, const kovi::chain::JointLimit &limit) noexcept
{
    double w = q;
    if (q > pi && q < 9.0) {
        w = q - two_pi;
    }
    else if (q <= -pi && q > -9.0) {
        w = q + two_pi;
    }
    if (w > -pi && w <= pi && within(w, limit)) {
        return w;
    }
    return place_elsewhere(q, limit);
}

void place(const kovi::chain::Chain &chain, double *row) noexcept
{
    for (Py_ssize_t i = 0; i < chain.dof(); i++) {
        row[i] = place_value(row[i], chain.limits[i]);
    }
}

// pose_error(target, pose).within(tol) from the pose's error parts,
// without the arctangent where the ratio already settles it:
// atan(y / x) <= y / x, so y <= x tol (less a margin for rounding) is
// within tol.  Elsewhere the angle is computed.
bool reaches(const LaneError &e, double tol) noexcept
{
    if (!(e.distance <= tol)) {
        return false;
    }
    if (e.cosine > 0.0 && e.sine <= e.cosine * tol * (1.0 - 1e-9)) {
        return true;
    }
    return std::atan2(e.sine, e.cosine) <= tol;
}

bool reaches(const AffineBlock &target, const AffineBlock &pose, double tol) noexcept
{
    const RotationParts r = rotation_parts(target, pose);
    return reaches({norm(translation_of(pose) - translation_of(target)), r.sine, r.cosine}, tol);
}

// Damped Newton steps on the six free joints of `row` towards `target`;
// true if the placed row ends within tol.  The steps go on until the row
// is well inside (a thousandth of tol), so that a check of its error
// rounded otherwise (another library's matrix product) agrees.  The
// damping keeps a step across a singular direction (where the target's
// error is second order) from running off.
bool refine(const Request &request, const AffineBlock &target, double *row) noexcept
{
    const kovi::chain::Chain &chain = *request.chain;
    const std::size_t n = chain.joints.size();
    for (int iteration = 0; iteration < 8; iteration++) {
        AffineBlock pose;
        const kovi::chain::JointValueView view{reinterpret_cast<const char *>(row), sizeof(double)};
        kovi::chain::end_pose(chain.joints.data(), n, view, pose);
        if (reaches(target, pose, 1e-3 * request.tol)) {
            return true;
        }
        double J[6 * max_dof];
        kovi::chain::jacobian(chain.joints.data(), n, view, kovi::chain::JacobianFrame::world, J);
        // The error: the origin's offset, and the rotation vector w with
        // R_target = exp([w]) R.
        const Mat3 E = rotation_of(target) * transpose(rotation_of(pose));
        const Vec3 v{E.m[2][1] - E.m[1][2], E.m[0][2] - E.m[2][0], E.m[1][0] - E.m[0][1]};
        const double sine = norm(v);
        const double angle = std::atan2(sine, E.m[0][0] + E.m[1][1] + E.m[2][2] - 1.0);
        const Vec3 w = sine > 0.0 ? v * (angle / sine) : Vec3{};
        const Vec3 dp = translation_of(target) - translation_of(pose);
        const double e[6] = {dp.x, dp.y, dp.z, w.x, w.y, w.z};
        double A[6][6], b[6];
        for (int a = 0; a < 6; a++) {
            const int ja = request.free_joints[a];
            b[a] = 0.0;
            for (int r = 0; r < 6; r++) {
                b[a] += J[r * n + ja] * e[r];
            }
            for (int c = 0; c <= a; c++) {
                const int jc = request.free_joints[c];
                double sum = 0.0;
                for (int r = 0; r < 6; r++) {
                    sum += J[r * n + ja] * J[r * n + jc];
                }
                A[a][c] = A[c][a] = sum;
            }
            A[a][a] += 1e-12;
        }
        if (!cholesky_solve6(A, b)) {
            return false;
        }
        for (int a = 0; a < 6; a++) {
            row[request.free_joints[a]] += b[a];
        }
        place(chain, row);
    }
    AffineBlock pose;
    kovi::chain::end_pose(chain.joints.data(), n, {reinterpret_cast<const char *>(row), sizeof(double)}, pose);
    return reaches(target, pose, request.tol);
}

bool same_solution(const double *a, const double *b, Py_ssize_t dof) noexcept
{
    for (Py_ssize_t i = 0; i < dof; i++) {
        // Placed values differ by whole turns at most when they are the
        // same angle: a plain difference settles most pairs.  A difference
        // in [pi, 9) wraps to d - 2 pi exactly (see place_value).
        const double d = std::fabs(a[i] - b[i]);
        if (d > duplicate_tolerance &&
            (d < pi || std::fabs(d < 9.0 ? d - two_pi : wrap_angle(d)) > duplicate_tolerance)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int solve_all(const Request &request, const AffineBlock &target, double *rows) noexcept
{
    const kovi::chain::Chain &chain = *request.chain;
    const Py_ssize_t dof = chain.dof();
    Candidates candidates;
    solve_six(*request.six, request.solver, target, candidates);

    // Full rows, placed; within the limits where asked.  A value that
    // placing moves loses the cosine and sine the solver took of it.  The
    // solvers' values are mostly wrapped and within the limits already:
    // those are kept as they are, the rest go through place_value (which
    // returns such a value unchanged, so the outcome is the same).
    double placed[max_candidates][max_dof];
    double cosines[max_candidates][max_dof];
    double sines[max_candidates][max_dof];
    const kovi::chain::JointLimit *limits = chain.limits.data();
    double locked_value = 0.0, locked_cos = 0.0, locked_sin = 0.0;
    bool locked_fits = true;
    if (request.locked_joint >= 0) {
        const kovi::chain::JointLimit &limit = limits[request.locked_joint];
        locked_value = place_value(request.locked_value, limit);
        locked_cos = request.locked_cos;
        locked_sin = request.locked_sin;
        if (locked_value != request.locked_value) {
            locked_cos = locked_sin = std::nan("");
        }
        locked_fits = !request.limits || within(locked_value, limit);
    }
    // A 6R chain's rows are its candidates as they are when every value is
    // wrapped and within its limits: a check without branches, then copies.
    bool in_order = request.locked_joint < 0 && dof == 6;
    // Wrapped and within the limits: lower[i] <= q <= upper[i], the
    // lower bound the larger of the limit and the double above -pi.
    double lower[6], upper[6];
    for (int i = 0; i < 6 && in_order; i++) {
        in_order = request.free_joints[i] == i;
        lower[i] = std::fmax(limits[i].lower, std::nextafter(-pi, 0.0));
        upper[i] = std::fmin(limits[i].upper, pi);
    }
    int count = 0;
    for (int c = 0; c < candidates.count && locked_fits; c++) {
        double *row = placed[count];
        double *row_cos = cosines[count];
        double *row_sin = sines[count];
        if (in_order) {
            const double *q = candidates.q[c];
            bool plain = true;
            for (int i = 0; i < 6; i++) {
                plain &= (q[i] >= lower[i]) & (q[i] <= upper[i]);
            }
            if (plain) {
                std::copy(q, q + 6, row);
                std::copy(candidates.c[c], candidates.c[c] + 6, row_cos);
                std::copy(candidates.s[c], candidates.s[c] + 6, row_sin);
                count++;
                continue;
            }
        }
        bool keep = true;
        for (int i = 0; i < 6; i++) {
            const int joint = request.free_joints[i];
            const kovi::chain::JointLimit &limit = limits[joint];
            const double q = candidates.q[c][i];
            double w = q, cq = candidates.c[c][i], sq = candidates.s[c][i];
            if (!(q > -pi && q <= pi && within(q, limit))) {
                w = place_value(q, limit);
                if (w != q) {
                    cq = sq = std::nan("");
                }
                keep = keep && std::isfinite(q) && (!request.limits || within(w, limit));
            }
            row[joint] = w;
            row_cos[joint] = cq;
            row_sin[joint] = sq;
        }
        if (request.locked_joint >= 0) {
            row[request.locked_joint] = locked_value;
            row_cos[request.locked_joint] = locked_cos;
            row_sin[request.locked_joint] = locked_sin;
        }
        count += keep ? 1 : 0;
    }

    // Each row judged by its own pose, several at a time.
    LaneError errors[lanes];
    int order[max_candidates];  // the rows kept, by index into placed
    int kept = 0;
    for (int first = 0; first < count; first += lanes) {
        const int group = std::min(lanes, count - first);
        lane_end_errors(chain.joints.data(), chain.joints.size(), placed[first], max_dof, group,
                        cosines[first], sines[first], target, errors);
        for (int l = 0; l < group; l++) {
            double *row = placed[first + l];
            // A row within tol by a hair (a closed form's lost digits) is
            // refined too, so that every row returned is well inside; the
            // row as it was stays if refining does not get there.
            bool good = reaches(errors[l], 1e-3 * request.tol);
            if (!good) {
                const bool was_good = reaches(errors[l], request.tol);
                // pose_error(target, pose), from the same parts.
                const PoseError error{errors[l].distance, std::atan2(errors[l].sine, errors[l].cosine)};
                double before[max_dof];
                std::copy(row, row + dof, before);
                good = error.position < refine_radius && error.rotation < refine_radius &&
                       refine(request, target, row) && (!request.limits || in_limits(chain, row));
                if (!good && was_good) {
                    std::copy(before, before + dof, row);
                    good = true;
                }
            }
            if (!good) {
                continue;
            }
            bool repeated = false;
            for (int k = 0; k < kept && !repeated; k++) {
                repeated = same_solution(placed[order[k]], row, dof);
            }
            if (!repeated) {
                order[kept++] = first + l;
            }
        }
    }

    // Ascending lexicographic order: an insertion sort of the kept rows'
    // indices (a handful), then each row copied once.
    for (int i = 1; i < kept; i++) {
        const int index = order[i];
        const double *row = placed[index];
        int j = i;
        while (j > 0 && std::lexicographical_compare(row, row + dof, placed[order[j - 1]],
                                                     placed[order[j - 1]] + dof)) {
            order[j] = order[j - 1];
            j--;
        }
        order[j] = index;
    }
    for (int k = 0; k < kept; k++) {
        std::copy(placed[order[k]], placed[order[k]] + dof, rows + k * dof);
    }
    return kept;
}

}  // namespace kovi::solvers::analytic
