// The checks of joint values given to a compiled chain or to the checked
// forward_kinematics: one configuration q of dof finite real values, or a
// batch Q of shape (N, dof).  A refused input raises ValueError or TypeError
// saying what was expected and what came; nothing else is ever read.
#ifndef KOVI_CHAIN_JOINT_VALUES_HPP
#define KOVI_CHAIN_JOINT_VALUES_HPP

#include "numpy_api.hpp"

#include "chain_kernels.hpp"
#include "owned_ref.hpp"

namespace kovi::chain {

// One configuration, checked.  The values are read in place from a float64
// array, copied out of a short list or tuple of floats and ints, or taken
// from numpy's conversion of anything else.
class JointValues {
public:
    // Reads q as exactly `dof` finite real values; false with the exception
    // set otherwise.
    bool read(PyObject *q, Py_ssize_t dof) noexcept;

    JointValueView view() const noexcept { return {data_, stride_}; }

    // The array the values were read from when q itself was not one (the
    // float64 array numpy made of q), else null; borrowed.
    PyObject *converted() const noexcept { return converted_.get(); }

private:
    static constexpr Py_ssize_t inline_capacity = 32;

    bool read_sequence(PyObject *q, Py_ssize_t dof) noexcept;
    bool read_array(PyObject *array, Py_ssize_t dof, PyObject *given) noexcept;

    const char *data_ = nullptr;
    std::ptrdiff_t stride_ = sizeof(double);
    OwnedRef converted_;
    double inline_[inline_capacity];
};

// A batch of configurations, checked in two steps: read_shape() checks the
// shape and the dtype, which cost nothing, so that a caller can refuse its other
// arguments before check_values() converts the rows to a two-dimensional
// float64 array in native byte order (read in place when Q already is one)
// and scans every value, a pass over the whole batch.
class JointValueRows {
public:
    // Both steps at once, the scan on the calling thread alone.
    bool read(PyObject *Q, Py_ssize_t dof) noexcept { return read_shape(Q, dof) && check_values(1); }

    bool read_shape(PyObject *Q, Py_ssize_t dof) noexcept;

    // Converts and scans, the scan on up to `threads` threads with the
    // interpreter lock released and Ctrl-C answered; false with the
    // exception set on a value that is not finite (the first, in row order)
    // or an interrupt.
    bool check_values(int threads) noexcept;

    // Copies the values so that writes into memory they may share with
    // `out` cannot change them while they are read.
    bool separate_from(PyArrayObject *out) noexcept;

    Py_ssize_t rows() const noexcept { return rows_; }
    JointValueView row(Py_ssize_t i) const noexcept { return {data_ + i * row_stride_, value_stride_}; }

private:
    PyArrayObject *array() const noexcept { return reinterpret_cast<PyArrayObject *>(array_.get()); }

    // Takes the array's layout into the fields below, with the interpreter
    // lock held.  Rows are read from these alone: they are read without the
    // lock, while another thread may set the array's shape, which frees and
    // replaces its dimensions and strides (never its data).
    void take_layout() noexcept;

    OwnedRef array_;
    Py_ssize_t dof_ = 0;
    const char *data_ = nullptr;
    Py_ssize_t rows_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t value_stride_ = 0;
};

// True if the memory spans of two arrays overlap.
bool arrays_may_overlap(PyArrayObject *a, PyArrayObject *b) noexcept;

}  // namespace kovi::chain

#endif
