// Target poses given to a solver: one 4x4 transform T, or a batch Ts of
// shape (N, 4, 4), of finite real numbers, with an orthonormal rotation
// block of determinant +1 and the bottom row [0, 0, 0, 1], each to within
// rigid_tolerance.  A refused target raises TypeError or ValueError saying
// what was expected and what came (`expected a (4, 4) pose, got shape
// (3, 4)`); a reachable or unreachable target is no error.
#ifndef KOVI_SOLVERS_TARGETS_HPP
#define KOVI_SOLVERS_TARGETS_HPP

#include <vector>

#include "numpy_api.hpp"

#include "pose_accumulator.hpp"

namespace kovi::solvers {

// How far |R^T R - I| (largest element), det R - 1 and the bottom row may
// be off: float32 data and rotations chained in float64 pass, a scaled or
// sheared block does not.
inline constexpr double rigid_tolerance = 1e-6;

// `value` as a C-contiguous, aligned float64 array of any shape, or null
// with TypeError set: real numbers only (integers and floats); bools,
// complex numbers, strings and objects are refused rather than converted.
PyArrayObject *real_array(PyObject *value, const char *what) noexcept;

// Reads one target named `what` ("T") into rows 0-2 of `out`.
bool read_target(PyObject *value, const char *what, AffineBlock &out) noexcept;

// A batch of targets, copied out and checked, row by row.
class TargetBatch {
public:
    // Reads `value` named `what` ("Ts") as (N, 4, 4) targets.
    bool read(PyObject *value, const char *what) noexcept;

    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(targets_.size()); }
    const AffineBlock &operator[](Py_ssize_t i) const noexcept { return targets_[i]; }

private:
    std::vector<AffineBlock> targets_;
};

}  // namespace kovi::solvers

#endif
