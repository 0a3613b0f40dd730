// Reading the arguments of the numerical solver's entries.
#include "ik_arguments.hpp"

#include <climits>
#include <cmath>
#include <cstdio>

#include "targets.hpp"

namespace kovi::solvers::numeric {

namespace {

// The largest count taken as given; more is as good as unbounded.
constexpr long long count_cap = 1LL << 30;

bool is_real_number(PyObject *value) noexcept
{
    return (PyFloat_Check(value) || PyLong_Check(value)) && !PyBool_Check(value);
}

const char *non_finite_name(double value) noexcept
{
    return std::isnan(value) ? "nan" : value > 0.0 ? "inf" : "-inf";
}

bool refuse_mask(PyObject *value) noexcept
{
    PyErr_Format(PyExc_ValueError,
                 "mask must be 'pose', 'position', 'position+z' or six non-negative weights "
                 "[x, y, z, rx, ry, rz], got %R", value);
    return false;
}

bool read_mask_name(PyObject *value, TargetMask &mask) noexcept
{
    static constexpr double position[6] = {1.0, 1.0, 1.0, 0.0, 0.0, 0.0};
    static constexpr double position_z[6] = {1.0, 1.0, 1.0, 1.0, 1.0, 0.0};
    const double *weights = nullptr;
    if (PyUnicode_CompareWithASCIIString(value, "pose") == 0) {
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(value, "position") == 0) {
        weights = position;
    }
    else if (PyUnicode_CompareWithASCIIString(value, "position+z") == 0) {
        weights = position_z;
    }
    else {
        return refuse_mask(value);
    }
    for (int r = 0; r < 6; r++) {
        mask.weight[r] = weights[r];
    }
    return true;
}

// The kind of rotation constraint the weights make, and whether they need
// the weighted path at all.
bool classify_mask(TargetMask &mask) noexcept
{
    int free_count = 0;
    bool any = false;
    mask.weighted = false;
    for (int r = 0; r < 6; r++) {
        any = any || mask.weight[r] != 0.0;
        mask.weighted = mask.weighted || mask.weight[r] != 1.0;
        if (r >= 3 && mask.weight[r] == 0.0) {
            free_count++;
            mask.free_axis = r - 3;
        }
    }
    if (!any) {
        PyErr_SetString(PyExc_ValueError, "mask frees every direction: nothing to solve for");
        return false;
    }
    if (free_count == 2) {
        PyErr_SetString(PyExc_ValueError,
                        "mask constrains one rotation axis alone: free none, one or all three "
                        "of rx, ry, rz");
        return false;
    }
    mask.rotation = free_count == 0   ? TargetMask::Rotation::full
                    : free_count == 1 ? TargetMask::Rotation::free_axis
                                      : TargetMask::Rotation::free;
    mask.tool_frame = mask.weight[3] != mask.weight[4] || mask.weight[4] != mask.weight[5];
    return true;
}

}  // namespace

bool bind_arguments(const Parameters &parameters, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **bound) noexcept
{
    if (nargs > parameters.positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes from 1 to %d positional arguments but %zd were given",
                     parameters.function, parameters.positional, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        bound[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int p = 0; p < parameters.count && slot < 0; p++) {
            if (PyUnicode_CompareWithASCIIString(key, parameters.names[p]) == 0) {
                slot = p;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         parameters.function, key);
            return false;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         parameters.function, key);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    if (bound[0] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                     parameters.function, parameters.names[0]);
        return false;
    }
    return true;
}

bool read_tol(PyObject *value, double &tol) noexcept
{
    if (value == nullptr) {
        return true;
    }
    if (!is_real_number(value)) {
        PyErr_Format(PyExc_TypeError, "tol must be a positive number, got %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    const double given = PyFloat_AsDouble(value);
    if (given == -1.0 && PyErr_Occurred()) {
        return false;
    }
    if (!(given > 0.0) || !std::isfinite(given)) {
        PyErr_Format(PyExc_ValueError, "tol must be a positive number, got %R", value);
        return false;
    }
    tol = given;
    return true;
}

bool read_count(PyObject *value, const char *name, int &count) noexcept
{
    if (value == nullptr) {
        return true;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a non-negative int, got %.200s", name,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long given = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (given == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow < 0 || (overflow == 0 && given < 0)) {
        PyErr_Format(PyExc_ValueError, "%s must be a non-negative int, got %R", name, value);
        return false;
    }
    count = static_cast<int>(overflow > 0 || given > count_cap ? count_cap : given);
    return true;
}

bool read_seed(PyObject *value, std::uint64_t &seed) noexcept
{
    if (value == nullptr) {
        return true;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "seed must be an int, got %.200s", Py_TYPE(value)->tp_name);
        return false;
    }
    // Any int: its value modulo 2**64 seeds the stream.
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(value);
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    seed = bits;
    return true;
}

bool read_flag(PyObject *value, const char *name, bool &flag) noexcept
{
    if (value == nullptr) {
        return true;
    }
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be True or False, got %R", name, value);
        return false;
    }
    flag = value == Py_True;
    return true;
}

bool read_mask(PyObject *value, TargetMask &mask) noexcept
{
    mask = TargetMask{};
    if (value == nullptr || value == Py_None) {
        return true;
    }
    if (PyUnicode_Check(value)) {
        return read_mask_name(value, mask) && classify_mask(mask);
    }
    OwnedRef array(reinterpret_cast<PyObject *>(real_array(value, "mask")));
    if (!array) {
        return false;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(array.get());
    if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != 6) {
        return refuse_mask(value);
    }
    const auto *w = static_cast<const double *>(PyArray_DATA(a));
    for (int r = 0; r < 6; r++) {
        if (!(w[r] >= 0.0) || !std::isfinite(w[r])) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", w[r]);
            PyErr_Format(PyExc_ValueError, "mask[%d] must be a finite non-negative weight, got %s",
                         r, text);
            return false;
        }
        mask.weight[r] = w[r];
    }
    return classify_mask(mask);
}

bool read_options(PyObject *const *bound, SolveOptions &options, std::uint64_t &seed) noexcept
{
    options.tol = default_tol;
    options.max_iterations = default_max_iterations;
    options.restarts = default_restarts;
    options.limits = true;
    seed = 0;
    return read_tol(bound[0], options.tol) &&
           read_count(bound[1], "max_iterations", options.max_iterations) &&
           read_count(bound[2], "restarts", options.restarts) && read_seed(bound[3], seed) &&
           read_flag(bound[4], "limits", options.limits) && read_mask(bound[5], options.mask);
}

bool Seeds::read(PyObject *value, Py_ssize_t dof, Py_ssize_t rows) noexcept
{
    if (value == nullptr || value == Py_None) {
        return true;
    }
    array_.reset(reinterpret_cast<PyObject *>(real_array(value, "q0")));
    if (!array_) {
        return false;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(array_.get());
    const int nd = PyArray_NDIM(a);
    const bool one = nd == 1 && PyArray_DIM(a, 0) == dof;
    const bool each = rows >= 0 && nd == 2 && PyArray_DIM(a, 0) == rows && PyArray_DIM(a, 1) == dof;
    if (!one && !each) {
        OwnedRef shape(PyObject_GetAttrString(array_.get(), "shape"));
        if (!shape) {
            return false;
        }
        if (rows >= 0) {
            PyErr_Format(PyExc_ValueError, "q0 must have shape (%zd,) or (%zd, %zd), got shape %R",
                         dof, rows, dof, shape.get());
        }
        else {
            PyErr_Format(PyExc_ValueError, "q0 must have shape (%zd,), got shape %R", dof,
                         shape.get());
        }
        return false;
    }
    data_ = static_cast<const double *>(PyArray_DATA(a));
    row_stride_ = one ? 0 : dof;
    const Py_ssize_t size = PyArray_SIZE(a);
    for (Py_ssize_t k = 0; k < size; k++) {
        if (!std::isfinite(data_[k])) {
            if (one) {
                PyErr_Format(PyExc_ValueError, "q0[%zd] is %s", k, non_finite_name(data_[k]));
            }
            else {
                PyErr_Format(PyExc_ValueError, "q0[%zd, %zd] is %s", k / dof, k % dof,
                             non_finite_name(data_[k]));
            }
            data_ = nullptr;
            return false;
        }
    }
    return true;
}

}  // namespace kovi::solvers::numeric
