// The arguments of Chain.ik and Chain.ik_batch, read by hand from a
// vectorcall (nanobind's keyword dispatch would cost a good share of a
// near-seed solve), each refused with a message that says what was
// expected and what came.
#ifndef KOVI_SOLVERS_NUMERIC_IK_ARGUMENTS_HPP
#define KOVI_SOLVERS_NUMERIC_IK_ARGUMENTS_HPP

#include "numpy_api.hpp"

#include <cstdint>

#include "lm_solver.hpp"
#include "owned_ref.hpp"

namespace kovi::solvers::numeric {

inline constexpr double default_tol = 1e-9;
inline constexpr int default_max_iterations = 100;
inline constexpr int default_restarts = 50;

// A function's parameters: the first `positional` may come by position,
// all by keyword.
struct Parameters {
    const char *function;
    const char *const *names;
    int count;
    int positional;
};

// Binds args/kwnames of a vectorcall to `bound` (count entries, null where
// not given); false with TypeError set on a wrong call.
bool bind_arguments(const Parameters &parameters, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **bound) noexcept;

// Each reader leaves its default where `value` is null.
bool read_tol(PyObject *value, double &tol) noexcept;
bool read_count(PyObject *value, const char *name, int &count) noexcept;
bool read_seed(PyObject *value, std::uint64_t &seed) noexcept;
bool read_flag(PyObject *value, const char *name, bool &flag) noexcept;
bool read_mask(PyObject *value, TargetMask &mask) noexcept;

// The options shared by ik and ik_batch, from their bound values in this
// order: tol, max_iterations, restarts, seed, limits, mask.
bool read_options(PyObject *const *bound, SolveOptions &options, std::uint64_t &seed) noexcept;

// Seeds given as q0: none (null or None), one configuration (dof,), or,
// where rows >= 0, one per row (rows, dof); finite real numbers.
class Seeds {
public:
    bool read(PyObject *value, Py_ssize_t dof, Py_ssize_t rows) noexcept;

    bool given() const noexcept { return data_ != nullptr; }
    // Row i's seed (the one seed for every row where only one was given).
    const double *row(Py_ssize_t i) const noexcept { return data_ + i * row_stride_; }

private:
    OwnedRef array_;
    const double *data_ = nullptr;
    Py_ssize_t row_stride_ = 0;
};

}  // namespace kovi::solvers::numeric

#endif
