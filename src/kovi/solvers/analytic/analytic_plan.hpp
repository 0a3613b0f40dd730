// What the closed-form solvers work out of a chain once, when it is built:
// which family of 6R arm it is (or, for a 7R arm, which 6R family each
// lockable joint leaves), and the geometry the family's solver needs.
//
// A 6R chain is held in product-of-exponentials form at q = 0: joint i
// turns everything after it about the line through p[i] along the unit
// axis h[i] (both in the base frame), so that
//     T(q) = E1(q1) E2(q2) ... E6(q6) M,
// with M the end pose at q = 0.  Families are recognised from these lines:
// two axes are parallel when |h_i x h_j| <= angle_tolerance, and lines meet
// when their distance is at most length_tolerance times the chain's length
// scale (the sum of its joints' offsets, at least 1 m).
#ifndef KOVI_SOLVERS_ANALYTIC_PLAN_HPP
#define KOVI_SOLVERS_ANALYTIC_PLAN_HPP

#include <vector>

#include "chain.hpp"
#include "subproblems.hpp"
#include "vec3.hpp"

namespace kovi::solvers {

namespace analytic {

inline constexpr double angle_tolerance = 1e-9;
inline constexpr double length_tolerance = 1e-9;

// How a 6R chain is solved.  Each method is written for the chain in one
// orientation; `reversed` solves the chain read from its end to its base
// (T^-1 = E6(-q6) ... E1(-q1) for M = I, joint 5 - i about -h), which
// turns a wrist at the base into a wrist at the end.
enum class Method : unsigned char {
    none,
    // Axes 4, 5 and 6 meet in one point (the wrist centre); the position
    // of that point is solved by subproblems 3 and 2 when axes 1 and 2
    // meet, ...
    wrist_shoulder_meets,
    // ... or by subproblems 4, 3 and 1 when axes 2 and 3 are parallel,
    wrist_elbow_parallel,
    // ... or by subproblem 5 otherwise.
    wrist_general,
    // Axes 2, 3 and 4 parallel, 1 and 5 not parallel to them: q1 and q5
    // by subproblem 4 twice when axes 5 and 6 meet (the Universal Robots
    // family), ...
    three_parallel,
    // ... or together by subproblem 6 when they do not.
    three_parallel_general,
    // Axes 2 and 3 parallel, 5 and 6 meeting: no closed form, but one for
    // each q4 (subproblems 4, 3 and 1), so a search over q4 for the zeros
    // of the one equation left.
    search_two_parallel,
    // Any other 6R arm: no closed form for any one joint's value, but one
    // for each value of joints 5 and 6 (subproblems 5 and 1), so a search
    // over both for the zeros of the two equations left.
    search_general,
};

struct Solver {
    Method method = Method::none;
    bool reversed = false;
};

// A 6R chain in the orientation its solver works in.
struct SixR {
    Vec3 h[6];
    Vec3 p[6];
    AffineBlock M;
    // Where axes 4, 5 and 6 meet, or 5 and 6; else on axis 6 (for the
    // general search, on axis 4 and away from axis 3).
    Vec3 centre;
    Vec3 shoulder;  // where axes 1 and 2 meet (wrist_shoulder_meets)
    // Unit vectors across axes 4 and 6, turned to read a rotation about
    // each off by subproblem 1.
    Vec3 across4, across6;
    // The general search's point on axis 3 away from axis 4, and a unit
    // vector across axis 3: what centre and across4 are to the chain read
    // backwards.
    Vec3 back_centre, across3;
    // The subproblems whose data are the chain's own: SP3 for q3 (about
    // h3, between the points the elbow joins) and, for the three-parallel
    // family, SP4 for q5 (h2 . R5 h6).
    sp::FixedSp3 elbow;
    sp::FixedSp4 wrist_tilt;
};

// The 6R family a locked joint of a 7R chain leaves.
struct LockPlan {
    int joint = -1;  // index into the 7R chain
    Solver solver;
    int others[6] = {};  // the chain's other joints, base to end
};

}  // namespace analytic

struct AnalyticPlan {
    // 6R: how it is solved, and the chain ready for it (unset when
    // solver.method is none).
    analytic::Solver solver;
    analytic::SixR six;
    int dof = 0;
    bool revolute = false;  // every joint revolute
    double length_scale = 1.0;
    // 7R: every joint that, locked, leaves a 6R chain with a closed form.
    std::vector<analytic::LockPlan> locks;
};

namespace analytic {

// The family a 6R solver handles, as Chain.kinematic_family names it.
const char *family_name(Solver solver) noexcept;

// The lines of the chain's joints `joints` (indices into chain.joints) at
// q = 0, except joint `locked_joint`, which stands at `locked_value`
// (-1: none locked).  `h`, `p` and `M` as in SixR.
void chain_lines(const kovi::chain::Chain &chain, const int *joints, int count, int locked_joint,
                 double locked_value, Vec3 *h, Vec3 *p, AffineBlock &M) noexcept;

// The solver for the 6R chain of lines h, p: a family's closed form or
// search, else the general search.
Solver classify(const Vec3 *h, const Vec3 *p, double length_scale) noexcept;

// Fills `six` for `solver` from the lines in the chain's own orientation.
void prepare(Solver solver, const Vec3 *h, const Vec3 *p, const AffineBlock &M, SixR &six) noexcept;

}  // namespace analytic

}  // namespace kovi::solvers

#endif
