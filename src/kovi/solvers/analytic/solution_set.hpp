// From a family's candidates to the rows ik_all returns: each revolute
// value placed (wrapped into (-pi, pi], or shifted by whole turns into its
// limits), rows outside the limits dropped on request, every row's pose
// computed by the pose arithmetic and kept only within tol of the target,
// duplicates merged, the rest in ascending lexicographic order.
#ifndef KOVI_SOLVERS_SOLUTION_SET_HPP
#define KOVI_SOLVERS_SOLUTION_SET_HPP

#include "family_solvers.hpp"

namespace kovi::solvers::analytic {

// Rows whose every joint is within this (radians, after wrapping the
// difference) of a row already kept are the same solution.
inline constexpr double duplicate_tolerance = 1e-9;

// A candidate that misses the target by less than this (metres and
// radians) is refined by Newton steps before it is judged: near a
// singularity a closed form loses digits (the root of a near-double root
// has only half of them).
inline constexpr double refine_radius = 1e-5;

struct Request {
    const kovi::chain::Chain *chain;
    const SixR *six;
    Solver solver;
    const int *free_joints;  // the six joints solved, indices into the chain
    int locked_joint;        // -1 for a 6R chain
    double locked_value;     // placed, and its libm_cos_sin values
    double locked_cos;
    double locked_sin;
    bool limits;
    double tol;
};

// Every verified solution for `target`, into `rows` (room for
// max_candidates rows of chain->dof() values); returns how many.
int solve_all(const Request &request, const AffineBlock &target, double *rows) noexcept;

}  // namespace kovi::solvers::analytic

#endif
