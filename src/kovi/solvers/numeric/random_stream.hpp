// The random draws of the numerical solver's restarts: splitmix64 (Steele,
// Lea and Flood, "Fast splittable pseudorandom number generators", 2014).
// Row `row` of a batch called with `seed` draws from the stream of
// seed + row (modulo 2**64), so a row's restarts never depend on which
// thread solves it or on the rows solved before it, and a single solve
// with that seed draws the same.
#ifndef KOVI_SOLVERS_NUMERIC_RANDOM_STREAM_HPP
#define KOVI_SOLVERS_NUMERIC_RANDOM_STREAM_HPP

#include <cstdint>

namespace kovi::solvers::numeric {

class RandomStream {
public:
    // The stream number goes through the mixer once, so that neighbouring
    // streams start far apart in the sequence.
    explicit RandomStream(std::uint64_t stream) noexcept : state_(mix(stream + 0x632be59bd9b4e019ULL))
    {
    }

    std::uint64_t next() noexcept
    {
        state_ += 0x9e3779b97f4a7c15ULL;
        return mix(state_);
    }

    // Uniform in [0, 1), the top 53 bits of a draw.
    double uniform() noexcept { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Uniform in [lower, upper).
    double uniform(double lower, double upper) noexcept
    {
        return lower + (upper - lower) * uniform();
    }

private:
    static std::uint64_t mix(std::uint64_t z) noexcept
    {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    std::uint64_t state_;
};

}  // namespace kovi::solvers::numeric

#endif
