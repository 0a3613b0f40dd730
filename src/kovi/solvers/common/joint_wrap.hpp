// Where a revolute joint's value lands in a solution: wrapped into
// (-pi, pi], or shifted by whole turns into the joint's limits where the
// wrapped value is outside them and a shifted one fits.
#ifndef KOVI_SOLVERS_JOINT_WRAP_HPP
#define KOVI_SOLVERS_JOINT_WRAP_HPP

#include <cmath>

#include "chain.hpp"
#include "vec3.hpp"

namespace kovi::solvers {


// q wrapped into (-pi, pi].
inline double wrap_angle(double q) noexcept
{
    double r = std::remainder(q, two_pi);  // in [-pi, pi]
    return r <= -pi ? r + two_pi : r;
}

inline bool within(double q, const kovi::chain::JointLimit &limit) noexcept
{
    return q >= limit.lower && q <= limit.upper;
}

// A revolute value wrapped into (-pi, pi] if that is within the limits,
// else the whole-turn shift of it nearest to the wrapped value that is;
// the wrapped value when no shift fits.
inline double place_revolute(double q, const kovi::chain::JointLimit &limit) noexcept
{
    const double w = wrap_angle(q);
    if (within(w, limit)) {
        return w;
    }
    // The shifts that land at or above the lower limit and at or below the
    // upper one, nearest first.
    const double up = w + two_pi * std::ceil((limit.lower - w) / two_pi);
    const double down = w - two_pi * std::ceil((w - limit.upper) / two_pi);
    const double first = std::fabs(up - w) <= std::fabs(down - w) ? up : down;
    const double second = first == up ? down : up;
    if (within(first, limit)) {
        return first;
    }
    if (within(second, limit)) {
        return second;
    }
    return w;
}

}  // namespace kovi::solvers

#endif
