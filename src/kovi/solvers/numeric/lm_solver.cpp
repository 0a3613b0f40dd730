// The Levenberg-Marquardt solver.
//
// Each step solves (J^T W J + lambda I) dq = J^T W e, e the 6-vector of the
// pose error (the position difference t - p in base axes, and the rotation
// log(R_t R^T) as an axis-angle vector, which is the rotation that carries
// the current frame onto the target in base axes) and J the world-frame
// Jacobian, whose angular rows are the same velocities.  The damping is
// Sugihara's ("Solvability-unconcerned inverse kinematics by the
// Levenberg-Marquardt method", IEEE T-RO 27(5), 2011): lambda = E + w_N,
// E = e^T W e / 2, so steps are Gauss-Newton steps near a solution and
// short, gradient-like ones far from it or near a singularity.  A step that
// does not lower E is refused and the damping multiplied until one does
// (Marquardt's safeguard); after a step is taken it falls back.
//
// Joint limits are kept by projection: after each step every value is
// clamped into its limits (revolute values first wrapped or shifted by whole
// turns, so a step across pi is no jump), and a joint already at a limit
// that the step would push further out is held there while the step is
// worked out again for the others.  A start that stops making progress (E
// not falling by a fifth over `stall_steps` steps, or the damping run away)
// gives way to a random start drawn uniformly within the limits.
#include "lm_solver.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "joint_wrap.hpp"
#include "libm_trig.hpp"

namespace kovi::solvers::numeric {

namespace {

using kovi::chain::Chain;
using kovi::chain::JointLimit;
using kovi::chain::JointRecord;

// Sugihara's bias w_N keeps the damped matrix positive definite where J
// loses rank.  Measured on the Panda and the UR5 (random targets, random
// and near seeds), 1e-9 converges best: at 1e-6 and above the last steps
// near a singular configuration slow to a crawl (E + w_N then outweighs
// the small singular values), at zero (Chan's rule, lambda = E) the
// counts are the same but nothing guards a rank-deficient J at E = 0.
constexpr double damping_bias = 1e-9;
// The safeguard's factor on a refused step, and its limit, beyond which
// the start is stuck; after a step is taken the factor falls back by the
// same ratio to as little as `damping_floor` (a run of good steps earns
// less damping than E alone).
constexpr double refusal_factor = 3.0;
constexpr double refusal_limit = 1e12;
constexpr double damping_floor = 0.1;
// A start stalls when E has not fallen below stall_progress times its
// value of stall_steps steps ago.
constexpr int stall_steps = 8;
constexpr double stall_progress = 0.8;
// Where a prismatic joint without limits is drawn on a restart: this many
// metres either side of its seed.
constexpr double free_prismatic_span = 1.0;

// The walk inside the iteration composes each joint as
// N = P0 + sin(q) P1 + (1 - cos(q)) P2 (a prismatic joint: P0 + q P1), the
// three 3x4 blocks worked out once per chain from T_left, the axis and
// T_right with Rodrigues' formula, Rot = I + s K + (1 - c) K^2, K the axis'
// cross-product matrix.  That is about half the arithmetic of composing
// T_left, Rot and T_right anew.  (The cosine and sine are still the C
// library's, called apart: the module links no sincos.)  Its poses agree with
// end_pose's to rounding, not to the bit: the verdict on an answer is
// end_pose's alone.
struct JointTerms {
    double p[3][12];  // P0, P1, P2, each rows 0-2 of a 3x4, row-major
    double axis[3];   // the axis in the frame before the joint: R_left axis
    double origin[3]; // that frame's origin: T_left's translation
};
static_assert(sizeof(JointTerms) == table_doubles_per_joint * sizeof(double));

// out = m b + [0 | shift]: the 3x3 m times the 3x4 affine b, `shift` added
// to the translation (T_left's own for P0, none for P1 and P2).
void product(const double m[3][3], const AffineBlock &b, const double shift[3],
             double out[12]) noexcept
{
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 4; k++) {
            out[4 * j + k] = m[j][0] * b.e[0][k] + m[j][1] * b.e[1][k] + m[j][2] * b.e[2][k];
        }
        out[4 * j + 3] += shift[j];
    }
}

void prepare_joint(const JointRecord &joint, JointTerms &terms) noexcept
{
    const AffineBlock &l = joint.left;
    const double *k = joint.axis;
    double lr[3][3], lk[3][3], lk2[3][3];
    const double K[3][3] = {{0.0, -k[2], k[1]}, {k[2], 0.0, -k[0]}, {-k[1], k[0], 0.0}};
    for (int j = 0; j < 3; j++) {
        for (int c = 0; c < 3; c++) {
            lr[j][c] = l.e[j][c];
            lk[j][c] = l.e[j][0] * K[0][c] + l.e[j][1] * K[1][c] + l.e[j][2] * K[2][c];
        }
    }
    for (int j = 0; j < 3; j++) {
        for (int c = 0; c < 3; c++) {
            lk2[j][c] = lk[j][0] * K[0][c] + lk[j][1] * K[1][c] + lk[j][2] * K[2][c];
        }
        terms.axis[j] = l.e[j][0] * k[0] + l.e[j][1] * k[1] + l.e[j][2] * k[2];
        terms.origin[j] = l.e[j][3];
    }
    static constexpr double none[3] = {0.0, 0.0, 0.0};
    product(lr, joint.right, terms.origin, terms.p[0]);
    if (joint.prismatic) {
        for (int e = 0; e < 12; e++) {
            terms.p[1][e] = 0.0;
            terms.p[2][e] = 0.0;
        }
        for (int j = 0; j < 3; j++) {
            terms.p[1][4 * j + 3] = terms.axis[j];
        }
        return;
    }
    product(lk, joint.right, none, terms.p[1]);
    product(lk2, joint.right, none, terms.p[2]);
}

// The end pose and the world-frame Jacobian (6 x n, row-major) in one walk,
// the same columns as kovi::chain::jacobian: a revolute joint's
// [z x (p - o); z], a prismatic one's [z; 0], z its axis and o its frame's
// origin in base coordinates, p the end point.
template <std::size_t N>
void walk(const JointTerms *terms, const JointRecord *joints, std::size_t n, const double *q,
          AffineBlock &a, double *J) noexcept
{
    if constexpr (N != 0) {
        n = N;
    }
    set_identity(a);
    for (std::size_t i = 0; i < n; i++) {
        const JointTerms &t = terms[i];
        for (int r = 0; r < 3; r++) {
            const double *row = a.e[r];
            J[r * n + i] = row[0] * t.origin[0] + row[1] * t.origin[1] + row[2] * t.origin[2] + row[3];
            J[(r + 3) * n + i] = row[0] * t.axis[0] + row[1] * t.axis[1] + row[2] * t.axis[2];
        }
        double u, v;  // the weights of P1 and P2
        if (joints[i].prismatic) {
            u = q[i];
            v = 0.0;
        }
        else {
            double c;
            libm_cos_sin(q[i], c, u);
            v = 1.0 - c;
        }
        double m[12];
        for (int e = 0; e < 12; e++) {
            m[e] = t.p[0][e] + u * t.p[1][e] + v * t.p[2][e];
        }
        AffineBlock b;
        for (int r = 0; r < 3; r++) {
            const double *row = a.e[r];
            for (int c = 0; c < 4; c++) {
                b.e[r][c] = row[0] * m[c] + row[1] * m[4 + c] + row[2] * m[8 + c];
            }
            b.e[r][3] += row[3];
        }
        a = b;
    }
    const double p[3] = {a.e[0][3], a.e[1][3], a.e[2][3]};
    for (std::size_t i = 0; i < n; i++) {
        const double z[3] = {J[3 * n + i], J[4 * n + i], J[5 * n + i]};
        if (joints[i].prismatic) {
            for (int r = 0; r < 3; r++) {
                J[r * n + i] = z[r];
                J[(r + 3) * n + i] = 0.0;
            }
            continue;
        }
        const double d[3] = {p[0] - J[i], p[1] - J[n + i], p[2] - J[2 * n + i]};
        J[i] = z[1] * d[2] - z[2] * d[1];
        J[n + i] = z[2] * d[0] - z[0] * d[2];
        J[2 * n + i] = z[0] * d[1] - z[1] * d[0];
    }
}

// The walk for six and seven joints (most arms), where the Jacobian's
// indices are constants, and for any other count.
void pose_and_jacobian(const JointTerms *terms, const JointRecord *joints, std::size_t n,
                       const double *q, AffineBlock &a, double *J) noexcept
{
    switch (n) {
    case 6: return walk<6>(terms, joints, n, q, a, J);
    case 7: return walk<7>(terms, joints, n, q, a, J);
    default: return walk<0>(terms, joints, n, q, a, J);
    }
}

// log(R_t R^T) as an axis-angle vector.  Away from pi the axis is the
// skew part's; near pi, where that part vanishes, it comes from the
// symmetric part, R_t R^T ~ 2 k k^T - I, its sign from what is left of the
// skew part.
void rotation_log(const AffineBlock &target, const AffineBlock &pose, double out[3]) noexcept
{
    double m[3][3];
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            m[i][j] = target.e[i][0] * pose.e[j][0] + target.e[i][1] * pose.e[j][1] +
                      target.e[i][2] * pose.e[j][2];
        }
    }
    const double v[3] = {m[2][1] - m[1][2], m[0][2] - m[2][0], m[1][0] - m[0][1]};
    const double sine2 = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);  // 2 sin
    const double cosine2 = m[0][0] + m[1][1] + m[2][2] - 1.0;               // 2 cos
    const double angle = std::atan2(sine2, cosine2);
    if (sine2 > 1e-7 || cosine2 > 0.0) {
        const double scale = sine2 > 1e-300 ? angle / sine2 : 0.5;
        for (int r = 0; r < 3; r++) {
            out[r] = scale * v[r];
        }
        return;
    }
    int i = 0;
    for (int r = 1; r < 3; r++) {
        if (m[r][r] > m[i][i]) {
            i = r;
        }
    }
    double k[3];
    for (int r = 0; r < 3; r++) {
        k[r] = r == i ? m[i][i] + 1.0 : 0.5 * (m[r][i] + m[i][r]);
    }
    const double length = std::sqrt(k[0] * k[0] + k[1] * k[1] + k[2] * k[2]);
    const double sign = k[0] * v[0] + k[1] * v[1] + k[2] * v[2] < 0.0 ? -1.0 : 1.0;
    for (int r = 0; r < 3; r++) {
        out[r] = length > 0.0 ? sign * angle * k[r] / length : 0.0;
    }
}

// Where the spin about an axis k of the target is free, the rotation error
// is the turn that takes the pose's axis a = R k onto the target's
// b = R_t k: angle(a, b) along a x b, in base axes.  It linearises where
// the log of the whole rotation cannot: a large free spin leaves the log's
// constrained components no longer the small turn that is left.  The
// Jacobian's angular rows lose their part along a, which moves nothing.
void pointing_error(int k, const AffineBlock &target, const AffineBlock &pose, double *J,
                    std::size_t n, double out[3]) noexcept
{
    const Vec3 a{pose.e[0][k], pose.e[1][k], pose.e[2][k]};
    const Vec3 b{target.e[0][k], target.e[1][k], target.e[2][k]};
    Vec3 c = cross(a, b);
    const double sine = norm(c);
    const double angle = std::atan2(sine, dot(a, b));
    if (sine > 1e-300) {
        c = (angle / sine) * c;
    }
    else if (angle > 0.0) {
        // Opposite axes: any turn about a perpendicular serves.
        const Vec3 other = std::fabs(a.x) < 0.9 ? Vec3{1.0, 0.0, 0.0} : Vec3{0.0, 1.0, 0.0};
        c = angle * normalized(cross(a, other));
    }
    for (int r = 0; r < 3; r++) {
        out[r] = c[r];
    }
    for (std::size_t i = 0; i < n; i++) {
        const Vec3 w{J[3 * n + i], J[4 * n + i], J[5 * n + i]};
        const Vec3 p = w - dot(a, w) * a;
        for (int r = 0; r < 3; r++) {
            J[(3 + r) * n + i] = p[r];
        }
    }
}

// The weighted error vector e (6) and the Jacobian rows to match, in place;
// returns E = |e|^2 / 2 over the weighted components.
double weighted_error(const TargetMask &mask, const AffineBlock &target, const AffineBlock &pose,
                      double *J, std::size_t n, double e[6]) noexcept
{
    for (int r = 0; r < 3; r++) {
        e[r] = target.e[r][3] - pose.e[r][3];
    }
    if (mask.rotation == TargetMask::Rotation::free_axis) {
        pointing_error(mask.free_axis, target, pose, J, n, e + 3);
    }
    else {
        rotation_log(target, pose, e + 3);
    }
    if (mask.tool_frame) {
        // Rotation rows into the target's axes: R_t^T times each.
        const double w[3] = {e[3], e[4], e[5]};
        for (int r = 0; r < 3; r++) {
            e[3 + r] = target.e[0][r] * w[0] + target.e[1][r] * w[1] + target.e[2][r] * w[2];
        }
        for (std::size_t i = 0; i < n; i++) {
            const double c[3] = {J[3 * n + i], J[4 * n + i], J[5 * n + i]};
            for (int r = 0; r < 3; r++) {
                J[(3 + r) * n + i] =
                    target.e[0][r] * c[0] + target.e[1][r] * c[1] + target.e[2][r] * c[2];
            }
        }
    }
    if (mask.weighted) {
        for (int r = 0; r < 6; r++) {
            const double s = std::sqrt(mask.weight[r]);
            e[r] *= s;
            for (std::size_t i = 0; i < n; i++) {
                J[r * n + i] *= s;
            }
        }
    }
    double sum = 0.0;
    for (int r = 0; r < 6; r++) {
        sum += e[r] * e[r];
    }
    return 0.5 * sum;
}

// Solves A x = b in place (b becomes x) for the symmetric M x M matrix A,
// by Cholesky; false if A is not numerically positive definite.  M is fixed
// at compile time (at most six), so the loops unroll.
template <std::size_t M>
bool cholesky_solve(double *A, double *b) noexcept
{
    for (std::size_t j = 0; j < M; j++) {
        double d = A[j * M + j];
        for (std::size_t k = 0; k < j; k++) {
            d -= A[j * M + k] * A[j * M + k];
        }
        if (!(d > 0.0)) {
            return false;
        }
        const double l = std::sqrt(d);
        A[j * M + j] = l;
        for (std::size_t i = j + 1; i < M; i++) {
            double s = A[i * M + j];
            for (std::size_t k = 0; k < j; k++) {
                s -= A[i * M + k] * A[j * M + k];
            }
            A[i * M + j] = s / l;
        }
    }
    for (std::size_t i = 0; i < M; i++) {
        double s = b[i];
        for (std::size_t k = 0; k < i; k++) {
            s -= A[i * M + k] * b[k];
        }
        b[i] = s / A[i * M + i];
    }
    for (std::size_t i = M; i-- > 0;) {
        double s = b[i];
        for (std::size_t k = i + 1; k < M; k++) {
            s -= A[k * M + i] * b[k];
        }
        b[i] = s / A[i * M + i];
    }
    return true;
}

bool cholesky_solve(double *A, std::size_t m, double *b) noexcept
{
    switch (m) {
    case 1: return cholesky_solve<1>(A, b);
    case 2: return cholesky_solve<2>(A, b);
    case 3: return cholesky_solve<3>(A, b);
    case 4: return cholesky_solve<4>(A, b);
    case 5: return cholesky_solve<5>(A, b);
    case 6: return cholesky_solve<6>(A, b);
    default: return true;  // no joints: nothing to solve
    }
}

// The step on the 6 x 6 side, dq = J^T (J J^T + lambda I)^-1 e, for N
// joints (N >= 6); N = 0 takes the count at run time.  The arms most
// chains are (six and seven joints) get their own copies, whose loops
// unroll.
template <std::size_t N>
bool damped_step_wide(const double *J, std::size_t n, const double e[6], double lambda,
                      double *A, double *y, double *dq) noexcept
{
    if constexpr (N != 0) {
        n = N;
    }
    for (int r = 0; r < 6; r++) {
        for (int c = 0; c <= r; c++) {
            double s = 0.0;
            for (std::size_t i = 0; i < n; i++) {
                s += J[r * n + i] * J[c * n + i];
            }
            A[r * 6 + c] = s;
            A[c * 6 + r] = s;
        }
        A[r * 6 + r] += lambda;
        y[r] = e[r];
    }
    if (!cholesky_solve<6>(A, y)) {
        return false;
    }
    for (std::size_t i = 0; i < n; i++) {
        double s = 0.0;
        for (int r = 0; r < 6; r++) {
            s += J[r * n + i] * y[r];
        }
        dq[i] = s;
    }
    return true;
}

// The damped least-squares step dq for J (6 x n) and e: on the n x n side
// for fewer than six joints, else on the 6 x 6 side, dq = J^T (J J^T +
// lambda I)^-1 e, the same step.  `A` holds 36 doubles, `y` six.
bool damped_step(const double *J, std::size_t n, const double e[6], double lambda, double *A,
                 double *y, double *dq) noexcept
{
    if (n < 6) {
        for (std::size_t i = 0; i < n; i++) {
            for (std::size_t j = 0; j <= i; j++) {
                double s = 0.0;
                for (int r = 0; r < 6; r++) {
                    s += J[r * n + i] * J[r * n + j];
                }
                A[i * n + j] = s;
                A[j * n + i] = s;
            }
            A[i * n + i] += lambda;
            double g = 0.0;
            for (int r = 0; r < 6; r++) {
                g += J[r * n + i] * e[r];
            }
            dq[i] = g;
        }
        return cholesky_solve(A, n, dq);
    }
    switch (n) {
    case 6: return damped_step_wide<6>(J, n, e, lambda, A, y, dq);
    case 7: return damped_step_wide<7>(J, n, e, lambda, A, y, dq);
    default: return damped_step_wide<0>(J, n, e, lambda, A, y, dq);
    }
}

inline double clamp(double value, const JointLimit &limit) noexcept
{
    return std::fmin(std::fmax(value, limit.lower), limit.upper);
}

// A random start: uniform within each joint's limits; a revolute joint
// without them over a whole turn, a prismatic one within
// free_prismatic_span of its seed (`seed`), or that far from its one limit.
void random_start(const Chain &chain, const double *seed, RandomStream &random,
                  double *q) noexcept
{
    const std::size_t n = chain.joints.size();
    for (std::size_t i = 0; i < n; i++) {
        const JointLimit &limit = chain.limits[i];
        const bool low = limit.lower > -HUGE_VAL, high = limit.upper < HUGE_VAL;
        const double span = chain.joints[i].prismatic ? free_prismatic_span : pi;
        if (low && high) {
            q[i] = random.uniform(limit.lower, limit.upper);
        }
        else if (low) {
            q[i] = random.uniform(limit.lower, limit.lower + 2.0 * span);
        }
        else if (high) {
            q[i] = random.uniform(limit.upper - 2.0 * span, limit.upper);
        }
        else {
            const double centre = chain.joints[i].prismatic ? seed[i] : 0.0;
            q[i] = random.uniform(centre - span, centre + span);
        }
    }
}

bool inside_limits(const Chain &chain, const double *q) noexcept
{
    for (std::size_t i = 0; i < chain.joints.size(); i++) {
        if (!within(q[i], chain.limits[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

PoseError masked_error(const TargetMask &mask, const AffineBlock &target,
                       const AffineBlock &pose) noexcept
{
    if (!mask.weighted) {
        return pose_error(target, pose);
    }
    double position = 0.0;
    for (int r = 0; r < 3; r++) {
        if (mask.weight[r] != 0.0) {
            const double d = pose.e[r][3] - target.e[r][3];
            position += d * d;
        }
    }
    position = std::sqrt(position);
    switch (mask.rotation) {
    case TargetMask::Rotation::full:
        return {position, pose_error(target, pose).rotation};
    case TargetMask::Rotation::free:
        return {position, 0.0};
    case TargetMask::Rotation::free_axis:
        break;
    }
    // The angle between the free axis of the pose and of the target.
    const int k = mask.free_axis;
    const Vec3 a{pose.e[0][k], pose.e[1][k], pose.e[2][k]};
    const Vec3 b{target.e[0][k], target.e[1][k], target.e[2][k]};
    return {position, std::atan2(norm(cross(a, b)), dot(a, b))};
}

void default_seed(const Chain &chain, double *q) noexcept
{
    for (std::size_t i = 0; i < chain.joints.size(); i++) {
        const JointLimit &limit = chain.limits[i];
        const bool low = limit.lower > -HUGE_VAL, high = limit.upper < HUGE_VAL;
        q[i] = low && high ? 0.5 * (limit.lower + limit.upper) : clamp(0.0, limit);
    }
}

void project(const Chain &chain, bool limits, double *q) noexcept
{
    for (std::size_t i = 0; i < chain.joints.size(); i++) {
        const JointLimit &limit = chain.limits[i];
        const double value = q[i];
        if (!chain.joints[i].prismatic) {
            if (value > -pi && value <= pi && within(value, limit)) {
                continue;  // where it stays (the common case, without a remainder)
            }
            // A value a rounding away from a limit after the shift by whole
            // turns keeps its own (clamped) value rather than the wrapped
            // one, which may lie at the far end of the limits.
            const double placed = place_revolute(value, limit);
            q[i] = !limits || within(placed, limit) ? placed : clamp(value, limit);
        }
        else {
            q[i] = limits ? clamp(value, limit) : value;
        }
    }
}

namespace {

// Joints held at a limit that the step dq would push further out take no
// part in the step: their Jacobian columns are zeroed, so that the step is
// recomputed within the face of the box the configuration lies on rather
// than clamped back into it (which would leave a step no better than its
// projection).  True if any column was zeroed.
bool hold_joints_at_limits(const Chain &chain, const double *q, const double *dq, double *J,
                           std::size_t n) noexcept
{
    bool held = false;
    for (std::size_t i = 0; i < n; i++) {
        const JointLimit &limit = chain.limits[i];
        if ((q[i] <= limit.lower && dq[i] < 0.0) || (q[i] >= limit.upper && dq[i] > 0.0)) {
            for (int r = 0; r < 6; r++) {
                J[r * n + i] = 0.0;
            }
            held = true;
        }
    }
    return held;
}

// The pieces of scratch space a solve works in.
struct Work {
    double *J, *J_try, *q_try, *q_seed, *q_best, *dq, *A;
    double best_E;
    int iterations;
    PoseError error;  // of the answer, from the verdict
};

// The verdict on q: its pose from the chain's kernel end_pose (not the
// iteration's own walk) within tol of the target, and q inside the limits
// when they are kept.  `error` gets that pose's error.
bool passes(const Chain &chain, const AffineBlock &target, const SolveOptions &options,
            const double *q, PoseError &error) noexcept
{
    AffineBlock pose;
    end_pose(chain.joints.data(), chain.joints.size(),
             {reinterpret_cast<const char *>(q), sizeof(double)}, pose);
    error = masked_error(options.mask, target, pose);
    return error.within(options.tol) && (!options.limits || inside_limits(chain, q));
}

// Iterates from the start in q until the pose is within tol (true, the
// answer left in q) or the start gives out (false); keeps the best
// configuration seen in work.q_best.
bool run_start(const Chain &chain, const JointTerms *terms, const AffineBlock &target,
               const SolveOptions &options, Work &work, double *q) noexcept
{
    const std::size_t n = chain.joints.size();
    const JointRecord *joints = chain.joints.data();
    double e[6], e_try[6], y[6];
    AffineBlock pose, pose_try;
    pose_and_jacobian(terms, joints, n, q, pose, work.J);
    double E = weighted_error(options.mask, target, pose, work.J, n, e);
    double refusal = 1.0;
    double stall_reference = E;
    int stalled = 0;
    for (int step = 0;; step++) {
        if (E < work.best_E) {
            work.best_E = E;
            std::memcpy(work.q_best, q, n * sizeof(double));
        }
        // Where E alone shows the pose is out of tolerance (the larger of
        // the two errors is at least sqrt(E)) the exact errors are not
        // worked out.
        const bool far = !options.mask.weighted && E > 4.0 * options.tol * options.tol;
        if (!far && masked_error(options.mask, target, pose).within(options.tol) &&
            passes(chain, target, options, q, work.error)) {
            return true;
        }
        if (step == options.max_iterations || stalled >= stall_steps || refusal > refusal_limit) {
            return false;
        }
        work.iterations++;
        const double lambda = refusal * (E + damping_bias);
        bool stepped = damped_step(work.J, n, e, lambda, work.A, y, work.dq);
        if (stepped && options.limits && hold_joints_at_limits(chain, q, work.dq, work.J, n)) {
            stepped = damped_step(work.J, n, e, lambda, work.A, y, work.dq);
        }
        if (!stepped) {
            refusal *= refusal_factor;
            stalled++;
            continue;
        }
        for (std::size_t i = 0; i < n; i++) {
            work.q_try[i] = q[i] + work.dq[i];
        }
        project(chain, options.limits, work.q_try);
        pose_and_jacobian(terms, joints, n, work.q_try, pose_try, work.J_try);
        const double E_try = weighted_error(options.mask, target, pose_try, work.J_try, n, e_try);
        if (E_try < E) {
            std::swap(work.J, work.J_try);
            std::memcpy(q, work.q_try, n * sizeof(double));
            std::memcpy(e, e_try, sizeof e);
            pose = pose_try;
            E = E_try;
            refusal = std::fmax(damping_floor, refusal / refusal_factor);
        }
        else {
            refusal *= refusal_factor;
        }
        if (E < stall_progress * stall_reference) {
            stall_reference = E;
            stalled = 0;
        }
        else {
            stalled++;
        }
    }
}

}  // namespace

void prepare(const Chain &chain, double *table) noexcept
{
    auto *terms = reinterpret_cast<JointTerms *>(table);
    for (std::size_t i = 0; i < chain.joints.size(); i++) {
        prepare_joint(chain.joints[i], terms[i]);
    }
}

SolveOutcome solve(const Chain &chain, const double *table, const AffineBlock &target,
                   const SolveOptions &options, RandomStream &random, double *q,
                   double *scratch) noexcept
{
    const auto *terms = reinterpret_cast<const JointTerms *>(table);
    const std::size_t n = chain.joints.size();
    Work work;
    work.J = scratch;
    work.J_try = work.J + 6 * n;
    work.q_try = work.J_try + 6 * n;
    work.q_seed = work.q_try + n;
    work.q_best = work.q_seed + n;
    work.dq = work.q_best + n;
    work.A = work.dq + n;  // 36
    work.best_E = HUGE_VAL;
    work.iterations = 0;
    std::memcpy(work.q_seed, q, n * sizeof(double));
    std::memcpy(work.q_best, q, n * sizeof(double));

    SolveOutcome outcome{false, 0, 0, {HUGE_VAL, HUGE_VAL}};
    bool converged = run_start(chain, terms, target, options, work, q);
    for (int start = 1; !converged && start <= options.restarts; start++) {
        random_start(chain, work.q_seed, random, q);
        project(chain, options.limits, q);
        outcome.restarts = start;
        converged = run_start(chain, terms, target, options, work, q);
    }
    if (!converged) {
        std::memcpy(q, work.q_best, n * sizeof(double));
        converged = passes(chain, target, options, q, work.error);
    }
    outcome.iterations = work.iterations;
    outcome.success = converged;
    outcome.error = work.error;
    return outcome;
}

}  // namespace kovi::solvers::numeric
