// What the family solvers share: the target as a rigid motion, the branch
// being built with the cosines and sines its rotations took, and where
// finished branches go.  Internal to the closed forms and the searches.
#ifndef KOVI_SOLVERS_FAMILY_PIECES_HPP
#define KOVI_SOLVERS_FAMILY_PIECES_HPP

#include <cmath>

#include "family_solvers.hpp"
#include "libm_trig.hpp"

namespace kovi::solvers::analytic {

// A rigid motion x -> R x + t.
struct Motion {
    Mat3 R;
    Vec3 t;

    Vec3 operator()(Vec3 x) const noexcept { return R * x + t; }
};

inline Motion motion_of(const AffineBlock &a) noexcept { return {rotation_of(a), translation_of(a)}; }

inline Motion inverse(const Motion &m) noexcept
{
    const Mat3 Rt = transpose(m.R);
    return {Rt, -(Rt * m.t)};
}

inline Motion operator*(const Motion &a, const Motion &b) noexcept { return {a.R * b.R, a.R * b.t + a.t}; }

// A branch being built: its joint values, and the cosine and sine of each
// value that a rotation has taken (NaN where none has).  The cosines and
// sines come from libm_cos_sin, two calls the compiler cannot merge (the
// module links no sincos, whose bits the C library does not tie to cos
// and sin), so verification can use them for the same values.
struct Row {
    double q[6];
    double c[6];
    double s[6];

    Row() noexcept
    {
        for (int i = 0; i < 6; i++) {
            q[i] = 0.0;
            c[i] = s[i] = std::nan("");
        }
    }

    // Sets joint i to value and returns its rotation about k.
    Mat3 turn(int i, double value, Vec3 k) noexcept
    {
        q[i] = value;
        libm_cos_sin(value, c[i], s[i]);
        return rotation(k, c[i], s[i]);
    }
};

// x turned by R about the line through p.
inline Vec3 turn_about(const Mat3 &R, Vec3 p, Vec3 x) noexcept { return p + R * (x - p); }

// Where the solver collects branches.
struct Branches {
    Candidates &out;

    void add(const Row &row) noexcept
    {
        if (out.count < max_candidates) {
            for (int i = 0; i < 6; i++) {
                out.q[out.count][i] = row.q[i];
                out.c[out.count][i] = row.c[i];
                out.s[out.count][i] = row.s[i];
            }
            out.count++;
        }
    }
};

// The search families, each over one joint (search_solvers.cpp).
void search_two_parallel(const SixR &six, const Motion &G, Branches &branches) noexcept;

// Every other 6R arm, by a search over two joints (general_search.cpp).
void search_general(const SixR &six, const Motion &G, Branches &branches) noexcept;

}  // namespace kovi::solvers::analytic

#endif
