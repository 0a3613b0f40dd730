// A small 3-vector and 3x3 vocabulary for the solvers: sums, products,
// cross and dot, norms, and rotation about a unit axis.  Plain value types,
// header-only and noexcept, built with the same flags as the pose
// arithmetic (no multiply-add contraction), so a formula written once gives
// the same bits in every build.  Poses themselves are composed by
// pose_accumulator.hpp alone; this is the language solver code is written
// in, not a second pose arithmetic.
#ifndef KOVI_KINEMATICS_VEC3_HPP
#define KOVI_KINEMATICS_VEC3_HPP

#include <cmath>

#include "pose_accumulator.hpp"

namespace kovi {

inline constexpr double pi = 3.141592653589793238462643383279502884;
inline constexpr double two_pi = 2.0 * pi;

struct Vec3 {
    double x = 0.0, y = 0.0, z = 0.0;

    constexpr double operator[](int i) const noexcept { return i == 0 ? x : i == 1 ? y : z; }
    constexpr double &operator[](int i) noexcept { return i == 0 ? x : i == 1 ? y : z; }
};

constexpr Vec3 operator+(Vec3 a, Vec3 b) noexcept { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
constexpr Vec3 operator-(Vec3 a, Vec3 b) noexcept { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr Vec3 operator-(Vec3 a) noexcept { return {-a.x, -a.y, -a.z}; }
constexpr Vec3 operator*(double s, Vec3 a) noexcept { return {s * a.x, s * a.y, s * a.z}; }
constexpr Vec3 operator*(Vec3 a, double s) noexcept { return {a.x * s, a.y * s, a.z * s}; }
constexpr Vec3 operator/(Vec3 a, double s) noexcept { return {a.x / s, a.y / s, a.z / s}; }
constexpr Vec3 &operator+=(Vec3 &a, Vec3 b) noexcept { return a = a + b; }
constexpr Vec3 &operator-=(Vec3 &a, Vec3 b) noexcept { return a = a - b; }

constexpr double dot(Vec3 a, Vec3 b) noexcept { return a.x * b.x + a.y * b.y + a.z * b.z; }

constexpr Vec3 cross(Vec3 a, Vec3 b) noexcept
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

inline double norm(Vec3 a) noexcept { return std::sqrt(dot(a, a)); }
constexpr double squared_norm(Vec3 a) noexcept { return dot(a, a); }

// a / |a|; the zero vector stays zero.
inline Vec3 normalized(Vec3 a) noexcept
{
    double n = norm(a);
    return n > 0.0 ? a / n : a;
}

// The component of v orthogonal to the unit vector k.
constexpr Vec3 reject(Vec3 v, Vec3 k) noexcept { return v - dot(k, v) * k; }

// v rotated by angle theta about the unit axis k (Rodrigues).
inline Vec3 rotate(Vec3 k, double theta, Vec3 v) noexcept
{
    const double c = std::cos(theta), s = std::sin(theta);
    return c * v + s * cross(k, v) + (dot(k, v) * (1.0 - c)) * k;
}

// A 3x3 matrix, row-major: m[r][c].
struct Mat3 {
    double m[3][3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};

    constexpr Vec3 row(int r) const noexcept { return {m[r][0], m[r][1], m[r][2]}; }
    constexpr Vec3 column(int c) const noexcept { return {m[0][c], m[1][c], m[2][c]}; }
};

constexpr Vec3 operator*(const Mat3 &a, Vec3 v) noexcept
{
    return {dot(a.row(0), v), dot(a.row(1), v), dot(a.row(2), v)};
}

constexpr Mat3 operator*(const Mat3 &a, const Mat3 &b) noexcept
{
    Mat3 p;
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            p.m[r][c] = dot(a.row(r), b.column(c));
        }
    }
    return p;
}

constexpr Mat3 transpose(const Mat3 &a) noexcept
{
    Mat3 t;
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            t.m[r][c] = a.m[c][r];
        }
    }
    return t;
}

// The rotation about the unit axis k by the angle whose cosine and sine
// are c and s.
inline Mat3 rotation(Vec3 k, double c, double s) noexcept
{
    const double oc = 1.0 - c;
    Mat3 r;
    r.m[0][0] = k.x * k.x * oc + c;
    r.m[0][1] = k.x * k.y * oc - k.z * s;
    r.m[0][2] = k.x * k.z * oc + k.y * s;
    r.m[1][0] = k.y * k.x * oc + k.z * s;
    r.m[1][1] = k.y * k.y * oc + c;
    r.m[1][2] = k.y * k.z * oc - k.x * s;
    r.m[2][0] = k.z * k.x * oc - k.y * s;
    r.m[2][1] = k.z * k.y * oc + k.x * s;
    r.m[2][2] = k.z * k.z * oc + c;
    return r;
}

// The rotation by theta about the unit axis k.
inline Mat3 rotation(Vec3 k, double theta) noexcept
{
    return rotation(k, std::cos(theta), std::sin(theta));
}

// The rotation block and the translation of an affine block.
inline Mat3 rotation_of(const AffineBlock &a) noexcept
{
    Mat3 r;
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            r.m[i][j] = a.e[i][j];
        }
    }
    return r;
}

constexpr Vec3 translation_of(const AffineBlock &a) noexcept
{
    return {a.e[0][3], a.e[1][3], a.e[2][3]};
}

}  // namespace kovi

#endif
