// How far a pose is from a target: the Euclidean distance of the origins
// (metres) and the geodesic angle of R_target^T R (radians), the two
// numbers every solver's tolerance bounds.
#ifndef KOVI_SOLVERS_POSE_ERROR_HPP
#define KOVI_SOLVERS_POSE_ERROR_HPP

#include <cmath>

#include "vec3.hpp"

namespace kovi::solvers {

struct PoseError {
    double position;  // metres
    double rotation;  // radians, in [0, pi]

    bool within(double tol) const noexcept { return position <= tol && rotation <= tol; }
};

// The sine and cosine parts of the rotation R_target^T R: |2 sin a| and
// 2 cos a, a the geodesic angle between the two orientations.
struct RotationParts {
    double sine;
    double cosine;
};

inline RotationParts rotation_parts(const AffineBlock &target, const AffineBlock &pose) noexcept
{
    double m[3][3];
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            m[i][j] = target.e[0][i] * pose.e[0][j] + target.e[1][i] * pose.e[1][j] +
                      target.e[2][i] * pose.e[2][j];
        }
    }
    const Vec3 sine{m[2][1] - m[1][2], m[0][2] - m[2][0], m[1][0] - m[0][1]};
    return {norm(sine), m[0][0] + m[1][1] + m[2][2] - 1.0};
}

// The angle is atan2 of the sine and cosine parts of R_target^T R, which
// keeps its precision near 0 and near pi, where acos of the trace would not.
inline PoseError pose_error(const AffineBlock &target, const AffineBlock &pose) noexcept
{
    const RotationParts r = rotation_parts(target, pose);
    return {norm(translation_of(pose) - translation_of(target)), std::atan2(r.sine, r.cosine)};
}

}  // namespace kovi::solvers

#endif
