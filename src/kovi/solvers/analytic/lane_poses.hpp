// End poses of several configurations of one revolute chain at once.
//
// Each lane performs exactly the operations of pose_accumulator.hpp, in
// the same order and each rounded on its own (the build forbids fused
// multiply-adds), so lane l's pose is bit-for-bit end_pose() of row l:
// the compiler may only spread the lanes over vector registers.  The
// cosines and sines are still the C library's, one call per value.
#ifndef KOVI_SOLVERS_LANE_POSES_HPP
#define KOVI_SOLVERS_LANE_POSES_HPP

#include <cstddef>

#include "chain_kernels.hpp"

namespace kovi::solvers::analytic {

inline constexpr int lanes = 8;

// Poses of `count` rows (at most `lanes`) of the revolute chain `joints`
// (n joints): row l's joint values at rows + l * stride.  `cosines` and
// `sines` (null, or laid out like `rows`) may hold libm_cos_sin's values
// for the same joint values, NaN where not known; they are used as given.
void lane_end_poses(const kovi::chain::JointRecord *joints, std::size_t n, const double *rows,
                    std::size_t stride, int count, const double *cosines, const double *sines,
                    AffineBlock *poses) noexcept;

// A pose's error parts against a target, as pose_error.hpp computes them
// (the same bits): the distance of the origins, and rotation_parts'
// sine and cosine parts.
struct LaneError {
    double distance;
    double sine;
    double cosine;
};

// lane_end_poses' poses judged against `target` without leaving the lanes:
// each row's LaneError into errors[l].
void lane_end_errors(const kovi::chain::JointRecord *joints, std::size_t n, const double *rows,
                     std::size_t stride, int count, const double *cosines, const double *sines,
                     const AffineBlock &target, LaneError *errors) noexcept;

}  // namespace kovi::solvers::analytic

#endif
