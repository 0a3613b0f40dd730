// The walks of a compiled kinematic tree (see tree.hpp).
#include "tree.hpp"

#include "libm_trig.hpp"

namespace kovi::robot {

namespace {

using kovi::chain::JacobianFrame;
using kovi::chain::rotate;
using kovi::chain::rotate_back;

const AffineBlock &anchor_pose(const AffineBlock *poses, std::size_t anchor,
                               const AffineBlock &identity) noexcept
{
    return anchor == no_frame ? identity : poses[anchor];
}

AffineBlock identity_block() noexcept
{
    AffineBlock a;
    set_identity(a);
    return a;
}

}  // namespace

void motion_values(const Tree &tree, kovi::chain::JointValueView q, double *values) noexcept
{
    for (std::size_t m = 0; m < tree.motions.size(); m++) {
        const Motion &motion = tree.motions[m];
        double v = q[motion.column];
        if (motion.mimic) {
            v = v * motion.multiplier + motion.offset;
        }
        if (motion.prismatic) {
            values[2 * m] = v;
            values[2 * m + 1] = 0.0;
        }
        else {
            libm_cos_sin(v, values[2 * m], values[2 * m + 1]);
        }
    }
}

void frame_pose(const Tree &tree, std::size_t f, const AffineBlock *poses, const double *values,
                AffineBlock &out) noexcept
{
    const TreeFrame &frame = tree.frames[f];
    if (frame.motion == no_motion) {
        out = frame.right;
        return;
    }
    static const AffineBlock identity = identity_block();
    const Motion &motion = tree.motions[frame.motion];
    out = anchor_pose(poses, motion.anchor, identity);
    const double *axis = motion.axis;
    const double *v = values + 2 * frame.motion;
    if (motion.prismatic) {
        apply_prismatic_joint(out, axis[0], axis[1], axis[2], v[0], motion.left, frame.right);
    }
    else {
        apply_revolute_joint(out, axis[0], axis[1], axis[2], v[0], v[1], motion.left, frame.right);
    }
}

void all_poses(const Tree &tree, const double *values, AffineBlock *poses) noexcept
{
    for (std::size_t f = 0; f < tree.frames.size(); f++) {
        frame_pose(tree, f, poses, values, poses[f]);
    }
}

std::size_t frame_path(const Tree &tree, std::size_t f, std::size_t *path) noexcept
{
    // Climb from f to the root, then reverse: anchors always precede.
    std::size_t count = 0;
    for (std::size_t at = f; at != no_frame;) {
        path[count++] = at;
        const std::size_t motion = tree.frames[at].motion;
        at = motion == no_motion ? no_frame : tree.motions[motion].anchor;
    }
    for (std::size_t i = 0, j = count - 1; i < j; i++, j--) {
        const std::size_t t = path[i];
        path[i] = path[j];
        path[j] = t;
    }
    return count;
}

// Joint m moves the frame F = A * L about (or along) its axis, expressed in
// F.  With z the axis in base coordinates and o the origin of F, a revolute
// joint's column is [z x (p - o); z] and a prismatic one's [z; 0], p the
// frame's origin; each term formed as the compiled chain forms it.
void frame_jacobian(const Tree &tree, std::size_t f, const AffineBlock *poses,
                    JacobianFrame frame, double *out, bool *touched) noexcept
{
    const std::size_t n = tree.columns;
    for (std::size_t c = 0; c < n; c++) {
        touched[c] = false;
        for (int r = 0; r < 6; r++) {
            out[r * n + c] = 0.0;
        }
    }
    static const AffineBlock identity = identity_block();
    const AffineBlock &end = poses[f];
    const double p[3] = {end.e[0][3], end.e[1][3], end.e[2][3]};
    for (std::size_t at = f; tree.frames[at].motion != no_motion;) {
        const Motion &motion = tree.motions[tree.frames[at].motion];
        const AffineBlock &a = anchor_pose(poses, motion.anchor, identity);
        double in_left[3], z[3], origin[3];
        rotate(motion.left, motion.axis, in_left);
        rotate(a, in_left, z);
        const double l3[3] = {motion.left.e[0][3], motion.left.e[1][3], motion.left.e[2][3]};
        rotate(a, l3, origin);
        double column[6];
        if (motion.prismatic) {
            for (int r = 0; r < 3; r++) {
                column[r] = z[r];
                column[r + 3] = 0.0;
            }
        }
        else {
            const double d[3] = {p[0] - (origin[0] + a.e[0][3]), p[1] - (origin[1] + a.e[1][3]),
                                 p[2] - (origin[2] + a.e[2][3])};
            column[0] = z[1] * d[2] - z[2] * d[1];
            column[1] = z[2] * d[0] - z[0] * d[2];
            column[2] = z[0] * d[1] - z[1] * d[0];
            for (int r = 0; r < 3; r++) {
                column[r + 3] = z[r];
            }
        }
        const std::size_t c = motion.column;
        for (int r = 0; r < 6; r++) {
            const double value = motion.mimic ? column[r] * motion.multiplier : column[r];
            // The first term is stored as it is (0.0 + -0.0 would lose its sign).
            out[r * n + c] = touched[c] ? out[r * n + c] + value : value;
        }
        touched[c] = true;
        if (motion.anchor == no_frame) {
            break;
        }
        at = motion.anchor;
    }
    if (frame == JacobianFrame::local) {
        for (std::size_t c = 0; c < n; c++) {
            if (!touched[c]) {
                continue;
            }
            const double linear[3] = {out[c], out[n + c], out[2 * n + c]};
            const double angular[3] = {out[3 * n + c], out[4 * n + c], out[5 * n + c]};
            double v[3], w[3];
            rotate_back(end, linear, v);
            rotate_back(end, angular, w);
            for (int r = 0; r < 3; r++) {
                out[r * n + c] = v[r];
                out[(r + 3) * n + c] = w[r];
            }
        }
    }
}

}  // namespace kovi::robot
