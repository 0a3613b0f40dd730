// The chain walks of a compiled chain.
//
// The cosine and sine of a revolute joint's value are the C library's cos()
// and sin(), called one after the other exactly as the interpreter's math.cos
// and math.sin call them, through the core's own helper, which keeps the
// compiler from merging them into one sincos() whose results need not be
// the same bits (the test suite checks that no sincos is linked).
#include "chain_kernels.hpp"

#include "libm_trig.hpp"

namespace kovi::chain {

namespace {

inline void apply_joint(AffineBlock &a, const JointRecord &joint, double qi) noexcept
{
    const double *axis = joint.axis;
    if (joint.prismatic) {
        apply_prismatic_joint(a, axis[0], axis[1], axis[2], qi, joint.left, joint.right);
        return;
    }
    double c, s;
    libm_cos_sin(qi, c, s);
    apply_revolute_joint(a, axis[0], axis[1], axis[2], c, s, joint.left, joint.right);
}

}  // namespace

void end_pose(const JointRecord *joints, std::size_t n, JointValueView q, AffineBlock &a) noexcept
{
    set_identity(a);
    for (std::size_t i = 0; i < n; i++) {
        apply_joint(a, joints[i], q[i]);
    }
}

void store_pose(const AffineBlock &a, PoseView out) noexcept
{
    static constexpr double bottom[4] = {0.0, 0.0, 0.0, 1.0};
    for (int j = 0; j < 4; j++) {
        char *row = out.data + j * out.row_stride;
        const double *values = j < 3 ? a.e[j] : bottom;
        for (int k = 0; k < 4; k++) {
            *reinterpret_cast<double *>(row + k * out.column_stride) = values[k];
        }
    }
}

void link_poses(const JointRecord *joints, std::size_t n, JointValueView q, double *out) noexcept
{
    constexpr std::ptrdiff_t row = 4 * sizeof(double);
    AffineBlock a;
    set_identity(a);
    store_pose(a, {reinterpret_cast<char *>(out), row, sizeof(double)});
    for (std::size_t i = 0; i < n; i++) {
        apply_joint(a, joints[i], q[i]);
        store_pose(a, {reinterpret_cast<char *>(out + 16 * (i + 1)), row, sizeof(double)});
    }
}

// Joint i moves the frame F_i = A_(i-1) T_left_i about (or along) its axis,
// expressed in F_i.  With z_i the axis in base coordinates and o_i the origin
// of F_i, a revolute joint's column is [z_i x (p - o_i); z_i] and a prismatic
// one's [z_i; 0], p the end point.  The walk first parks o_i in rows 0-2 and
// z_i in rows 3-5 of the output, then turns each column into its final form
// once p is known.
void jacobian(const JointRecord *joints, std::size_t n, JointValueView q, JacobianFrame frame,
              double *out) noexcept
{
    double *rows[6];
    for (int r = 0; r < 6; r++) {
        rows[r] = out + r * n;
    }
    AffineBlock a;
    set_identity(a);
    for (std::size_t i = 0; i < n; i++) {
        const JointRecord &joint = joints[i];
        double in_left[3], z[3];
        rotate(joint.left, joint.axis, in_left);
        rotate(a, in_left, z);
        const double l3[3] = {joint.left.e[0][3], joint.left.e[1][3], joint.left.e[2][3]};
        double origin[3];
        rotate(a, l3, origin);
        for (int r = 0; r < 3; r++) {
            rows[r][i] = origin[r] + a.e[r][3];
            rows[r + 3][i] = z[r];
        }
        apply_joint(a, joint, q[i]);
    }
    const double p[3] = {a.e[0][3], a.e[1][3], a.e[2][3]};
    for (std::size_t i = 0; i < n; i++) {
        const double z[3] = {rows[3][i], rows[4][i], rows[5][i]};
        double linear[3], angular[3];
        if (joints[i].prismatic) {
            for (int r = 0; r < 3; r++) {
                linear[r] = z[r];
                angular[r] = 0.0;
            }
        }
        else {
            const double d[3] = {p[0] - rows[0][i], p[1] - rows[1][i], p[2] - rows[2][i]};
            linear[0] = z[1] * d[2] - z[2] * d[1];
            linear[1] = z[2] * d[0] - z[0] * d[2];
            linear[2] = z[0] * d[1] - z[1] * d[0];
            for (int r = 0; r < 3; r++) {
                angular[r] = z[r];
            }
        }
        if (frame == JacobianFrame::local) {
            double v[3], w[3];
            rotate_back(a, linear, v);
            rotate_back(a, angular, w);
            for (int r = 0; r < 3; r++) {
                linear[r] = v[r];
                angular[r] = w[r];
            }
        }
        for (int r = 0; r < 3; r++) {
            rows[r][i] = linear[r];
            rows[r + 3][i] = angular[r];
        }
    }
}

}  // namespace kovi::chain
