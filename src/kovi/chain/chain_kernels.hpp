// The arithmetic of a compiled chain: end pose, every link frame and the
// geometric Jacobian of a chain held as plain numbers.
//
// Poses are composed by the same pose accumulator as the interpreted walk of
// kovi.kinematics.poe_fk, joint by joint and with the same cosine and sine,
// so every pose is bit-for-bit the one poe_forward_kinematics returns for
// the same body and joint values.  Nothing here touches Python; everything
// is noexcept and allocation-free, so it runs on any thread with the
// interpreter lock released.
#ifndef KOVI_CHAIN_CHAIN_KERNELS_HPP
#define KOVI_CHAIN_CHAIN_KERNELS_HPP

#include <cstddef>

#include "pose_accumulator.hpp"

namespace kovi::chain {

// One joint's numbers, copied out of a KinBody's joint record: rows 0-2 of
// T_left and T_right, the axis as given, and the kind.
struct JointRecord {
    AffineBlock left;
    AffineBlock right;
    double axis[3];
    bool prismatic;
};

// Joint values of one configuration: value i is the double at
// data + i * stride (bytes), so rows of any strided float64 array serve.
struct JointValueView {
    const char *data;
    std::ptrdiff_t stride;

    double operator[](std::size_t i) const noexcept
    {
        return *reinterpret_cast<const double *>(data + static_cast<std::ptrdiff_t>(i) * stride);
    }
};

// A 4x4 output with arbitrary strides (bytes) between rows and columns.
struct PoseView {
    char *data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t column_stride;
};

// Which coordinates a Jacobian's columns are expressed in.
enum class JacobianFrame {
    world,  // base axes at the end point (Pinocchio's LOCAL_WORLD_ALIGNED)
    local,  // the end frame's own axes (Pinocchio's LOCAL)
};

// y = R x for the rotation block of an affine block.
inline void rotate(const AffineBlock &m, const double x[3], double y[3]) noexcept
{
    for (int j = 0; j < 3; j++) {
        y[j] = m.e[j][0] * x[0] + m.e[j][1] * x[1] + m.e[j][2] * x[2];
    }
}

// y = R^T x.
inline void rotate_back(const AffineBlock &m, const double x[3], double y[3]) noexcept
{
    for (int j = 0; j < 3; j++) {
        y[j] = m.e[0][j] * x[0] + m.e[1][j] * x[1] + m.e[2][j] * x[2];
    }
}

// The end pose A of the chain at q.
void end_pose(const JointRecord *joints, std::size_t n, JointValueView q, AffineBlock &a) noexcept;

// Rows 0-3 of a pose into a strided 4x4, the bottom row [0, 0, 0, 1].
void store_pose(const AffineBlock &a, PoseView out) noexcept;

// The base and the frame after every joint: n + 1 contiguous 4x4 poses.
void link_poses(const JointRecord *joints, std::size_t n, JointValueView q, double *out) noexcept;

// The 6 x n geometric Jacobian of the end frame, row-major and contiguous:
// rows 0-2 the linear velocity of the end point, rows 3-5 the angular
// velocity, one column per joint.
void jacobian(const JointRecord *joints, std::size_t n, JointValueView q, JacobianFrame frame,
              double *out) noexcept;

}  // namespace kovi::chain

#endif
