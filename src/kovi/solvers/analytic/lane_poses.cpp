// The lane-wise walk, compiled twice: for the baseline instruction set
// and, on x86-64, for AVX2, whose four-double registers hold all four
// lanes.  Both perform the same IEEE operations (AVX2 without FMA, and the
// build forbids contraction anyway), so they give the same bits; the
// faster one is picked once, by what the processor supports.
#include "lane_poses.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "libm_trig.hpp"

namespace kovi::solvers::analytic {

namespace {

namespace generic {
#include "lane_walk.inc"
}  // namespace generic

#if defined(__x86_64__)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace wide {
#include "lane_walk.inc"
}  // namespace wide
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

}  // namespace

void lane_end_poses(const kovi::chain::JointRecord *joints, std::size_t n, const double *rows,
                    std::size_t stride, int count, const double *cosines, const double *sines,
                    AffineBlock *poses) noexcept
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        wide::walk(joints, n, rows, stride, count, cosines, sines, poses, nullptr, nullptr);
        return;
    }
#endif
    generic::walk(joints, n, rows, stride, count, cosines, sines, poses, nullptr, nullptr);
}

void lane_end_errors(const kovi::chain::JointRecord *joints, std::size_t n, const double *rows,
                     std::size_t stride, int count, const double *cosines, const double *sines,
                     const AffineBlock &target, LaneError *errors) noexcept
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        wide::walk(joints, n, rows, stride, count, cosines, sines, nullptr, &target, errors);
        return;
    }
#endif
    generic::walk(joints, n, rows, stride, count, cosines, sines, nullptr, &target, errors);
}

}  // namespace kovi::solvers::analytic
