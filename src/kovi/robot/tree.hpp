// A compiled kinematic tree: every frame of a robot (its links and the
// frames added to them) evaluated in one pass over plain numbers.
//
// A frame hangs from the nearest movable joint above it (its "motion"): its
// pose is A * (L * Joint(axis, value) * R), where A is the pose of the frame
// the joint moves from (its "anchor"), L the fixed transforms from there to
// the joint (the joint's origin last), and R the fixed transforms from the
// joint's child link down to the frame (identity for the child link itself).
// That is exactly what a compiled chain computes for its joints, through
// the same pose accumulator and the same cosine and sine, so a frame's pose
// is bit-for-bit that of a Chain of the path from the root to it built from
// the same numbers.  Frames above every movable joint have no motion: their
// pose is R itself.
//
// Nothing here touches Python; everything is noexcept and allocation-free.
#ifndef KOVI_ROBOT_TREE_HPP
#define KOVI_ROBOT_TREE_HPP

#include <cstddef>
#include <vector>

#include "chain_kernels.hpp"

namespace kovi::robot {

struct Motion {
    AffineBlock left;
    double axis[3];
    bool prismatic;
    // A mimic joint's value is multiplier * q[column] + offset; any other
    // joint's is q[column] itself (not 1 * q + 0, which turns -0.0 into 0.0
    // and with it the sign of a sine).
    bool mimic;
    double multiplier;
    double offset;
    std::size_t column;
    // The frame the joint moves from; no_frame for the tree's root pose,
    // the identity.
    std::size_t anchor;
};

struct TreeFrame {
    std::size_t motion;  // no_motion: fixed to the root
    AffineBlock right;
};

constexpr std::size_t no_frame = static_cast<std::size_t>(-1);
constexpr std::size_t no_motion = static_cast<std::size_t>(-1);

// Built once and read-only afterwards.  Frames come parents first: every
// motion's anchor precedes the frames that hang from it.
struct Tree {
    std::vector<Motion> motions;
    std::vector<TreeFrame> frames;
    std::size_t columns = 0;
};

// Per motion, the cosine and sine of a revolute joint's value, or a
// prismatic joint's value and 0: 2 doubles a motion.
void motion_values(const Tree &tree, kovi::chain::JointValueView q, double *values) noexcept;

// The pose of frame f from the poses of the frames it hangs from.
void frame_pose(const Tree &tree, std::size_t f, const AffineBlock *poses, const double *values,
                AffineBlock &out) noexcept;

// Every frame's pose, in order, into poses[0 .. frames).
void all_poses(const Tree &tree, const double *values, AffineBlock *poses) noexcept;

// The frames whose poses frame f needs (f last, parents first) into path;
// their count.  path needs room for the tree's frame count.
std::size_t frame_path(const Tree &tree, std::size_t f, std::size_t *path) noexcept;

// The 6 x columns Jacobian of frame f, row-major: rows 0-2 the linear
// velocity of the frame's origin, 3-5 the angular velocity; a mimic joint
// adds multiplier times its column to its driver's; joints off the path
// give zero columns.  poses must hold the frames of f's path; touched
// needs room for `columns` flags.
void frame_jacobian(const Tree &tree, std::size_t f, const AffineBlock *poses,
                    kovi::chain::JacobianFrame frame, double *out, bool *touched) noexcept;

}  // namespace kovi::robot

#endif
