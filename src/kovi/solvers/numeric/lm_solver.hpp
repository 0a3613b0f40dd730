// Numerical inverse kinematics of a compiled chain: Levenberg-Marquardt on
// the pose error, with joint limits, masks and seeded random restarts.
//
// Nothing here touches Python or allocates: a solve works in scratch space
// the caller provides, so it runs on any thread with the interpreter lock
// released, and its result depends only on the chain, the target, the
// options, the seed configuration and the random stream.
#ifndef KOVI_SOLVERS_NUMERIC_LM_SOLVER_HPP
#define KOVI_SOLVERS_NUMERIC_LM_SOLVER_HPP

#include <cstddef>

#include "chain.hpp"
#include "pose_error.hpp"
#include "random_stream.hpp"

namespace kovi::solvers::numeric {

// The directions of the pose error a target constrains, and their weights
// in the least-squares problem.  Components are [x, y, z] of the position
// in base axes and [rx, ry, rz] of the rotation in the target frame's own
// axes, so freeing rz frees the spin about the tool's z axis.  A zero
// weight frees a direction; of the rotation, none, one or all three axes
// may be free.
struct TargetMask {
    enum class Rotation {
        full,       // the whole orientation: the geodesic angle
        free_axis,  // all but the spin about axis `free_axis` of the target
        free,       // none of it
    };

    double weight[6] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
    Rotation rotation = Rotation::full;
    int free_axis = 2;
    bool weighted = false;    // some weight is not 1
    bool tool_frame = false;  // the rotation weights differ between axes
};

// The error of `pose` against `target` on the constrained directions only:
// the distance over the constrained position components (metres), and the
// geodesic angle (Rotation::full), the angle between the pose's and the
// target's free axes (Rotation::free_axis) or zero (Rotation::free).
PoseError masked_error(const TargetMask &mask, const AffineBlock &target,
                       const AffineBlock &pose) noexcept;

struct SolveOptions {
    double tol;          // metres and radians, on masked_error
    int max_iterations;  // per start (the seed, then each restart)
    int restarts;        // random starts after the seed
    bool limits;         // keep every joint inside its limits
    TargetMask mask;
};

struct SolveOutcome {
    bool success;
    int iterations;  // steps tried, over every start
    int restarts;    // random starts used
    PoseError error;
};

// Doubles of scratch space a solve needs for a chain of n joints.
constexpr std::size_t scratch_size(std::size_t n) noexcept { return 17 * n + 36; }

// The chain's numbers rearranged for the iteration, worked out once and
// shared by any number of solves: table_size(n) doubles.
inline constexpr std::size_t table_doubles_per_joint = 42;
constexpr std::size_t table_size(std::size_t n) noexcept { return table_doubles_per_joint * n; }
void prepare(const kovi::chain::Chain &chain, double *table) noexcept;

// The seed used where the caller gives none: the middle of each joint's
// limits, zero for a joint without limits (or its one limit, if zero is
// outside it).
void default_seed(const kovi::chain::Chain &chain, double *q) noexcept;

// q, the seed, moved where the solver keeps joint values: a revolute value
// wrapped into (-pi, pi] or shifted by whole turns into its limits where
// that fits, then (with limits) clamped into them; a prismatic value
// clamped (with limits).
void project(const kovi::chain::Chain &chain, bool limits, double *q) noexcept;

// Solves for `target` from the seed in q (already projected) and leaves the
// answer in q: one that passed (success) or the best one found.  success is
// decided on the answer's pose from end_pose and on the limits alone.
SolveOutcome solve(const kovi::chain::Chain &chain, const double *table,
                   const AffineBlock &target, const SolveOptions &options, RandomStream &random,
                   double *q, double *scratch) noexcept;

}  // namespace kovi::solvers::numeric

#endif
