// The closed-form 6R solvers: every candidate of a family's decomposition
// into subproblems, unverified.  A candidate may miss the target (a least
// squares step of an unreachable target, rounding near a singularity);
// the caller judges each through the pose arithmetic.
#ifndef KOVI_SOLVERS_FAMILY_SOLVERS_HPP
#define KOVI_SOLVERS_FAMILY_SOLVERS_HPP

#include "analytic_plan.hpp"

namespace kovi::solvers::analytic {

// The closed forms give at most 4 x 2 branches; the searches, like any 6R
// arm, at most 16 solutions.
inline constexpr int max_candidates = 16;

// How many rows a solver can give.
inline int candidates_of(Solver solver) noexcept
{
    return solver.method == Method::search_two_parallel || solver.method == Method::search_general
               ? 16
               : 8;
}

// Each candidate's joint values, and the cosine and sine of those values
// that the solver took from libm_cos_sin on its way (NaN for the others).
struct Candidates {
    double q[max_candidates][6];
    double c[max_candidates][6];
    double s[max_candidates][6];
    int count = 0;
};

// The candidates for the 6R chain `six` (in the chain's own joint order,
// whatever the orientation it is solved in) reaching `target`.
void solve_six(const SixR &six, Solver solver, const AffineBlock &target, Candidates &out) noexcept;

}  // namespace kovi::solvers::analytic

#endif
