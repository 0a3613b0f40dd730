// Reading and checking target poses.
#include "targets.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "owned_ref.hpp"

namespace kovi::solvers {

namespace {

// `value` as an aligned, native float64 (.., 4, 4) array of `ndim`
// dimensions, or null with TypeError or ValueError set.
PyArrayObject *target_array(PyObject *value, const char *what, int ndim, const char *expected) noexcept
{
    OwnedRef array(reinterpret_cast<PyObject *>(real_array(value, what)));
    if (!array) {
        return nullptr;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(array.get());
    if (PyArray_NDIM(a) != ndim || PyArray_DIM(a, ndim - 1) != 4 || PyArray_DIM(a, ndim - 2) != 4) {
        OwnedRef shape(PyObject_GetAttrString(array.get(), "shape"));
        if (shape) {
            PyErr_Format(PyExc_ValueError, "expected %s of shape %s, got shape %R", what, expected,
                         shape.get());
        }
        return nullptr;
    }
    return reinterpret_cast<PyArrayObject *>(array.release());
}

// Empty when the 4x4 at m (contiguous) is a rigid transform, else what is
// wrong with it.
std::string rigid_fault(const double *m)
{
    char text[160];
    for (int k = 0; k < 16; k++) {
        if (!std::isfinite(m[k])) {
            std::snprintf(text, sizeof text, "element [%d, %d] is %g", k / 4, k % 4, m[k]);
            return text;
        }
    }
    const double bottom[4] = {0.0, 0.0, 0.0, 1.0};
    for (int k = 0; k < 4; k++) {
        if (std::fabs(m[12 + k] - bottom[k]) > rigid_tolerance) {
            return "its bottom row is not [0, 0, 0, 1]";
        }
    }
    double worst = 0.0;
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            double g = m[i] * m[j] + m[4 + i] * m[4 + j] + m[8 + i] * m[8 + j];
            worst = std::fmax(worst, std::fabs(g - (i == j ? 1.0 : 0.0)));
        }
    }
    const double det = m[0] * (m[5] * m[10] - m[6] * m[9]) - m[1] * (m[4] * m[10] - m[6] * m[8]) +
                       m[2] * (m[4] * m[9] - m[5] * m[8]);
    if (worst > rigid_tolerance || !(det > 0.0)) {
        std::snprintf(text, sizeof text,
                      "its rotation block is not a rotation (R^T R is off the identity by %.3g, "
                      "det R = %.6g)", worst, det);
        return text;
    }
    return {};
}

bool check_rigid(const double *m, const char *what, Py_ssize_t index) noexcept
{
    try {
        std::string fault = rigid_fault(m);
        if (fault.empty()) {
            return true;
        }
        if (index < 0) {
            PyErr_Format(PyExc_ValueError, "%s is not a rigid transform: %s", what, fault.c_str());
        }
        else {
            PyErr_Format(PyExc_ValueError, "%s[%zd] is not a rigid transform: %s", what, index,
                         fault.c_str());
        }
    }
    catch (...) {
        PyErr_NoMemory();
    }
    return false;
}

void copy_rows(const double *m, AffineBlock &out) noexcept
{
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 4; k++) {
            out.e[j][k] = m[4 * j + k];
        }
    }
}

}  // namespace

PyArrayObject *real_array(PyObject *value, const char *what) noexcept
{
    OwnedRef any(PyArray_FROMANY(value, NPY_NOTYPE, 0, 0, 0));
    if (!any) {
        return nullptr;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(any.get());
    const char kind = PyArray_DESCR(a)->kind;
    if (kind != 'f' && kind != 'i' && kind != 'u') {
        PyErr_Format(PyExc_TypeError, "%s must hold real numbers, got dtype %S", what,
                     reinterpret_cast<PyObject *>(PyArray_DESCR(a)));
        return nullptr;
    }
    return reinterpret_cast<PyArrayObject *>(
        PyArray_FROMANY(any.get(), NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
}

bool read_target(PyObject *value, const char *what, AffineBlock &out) noexcept
{
    // The common case, a float64 (4, 4) C-contiguous numpy array, is read
    // in place: converting it would hand back the same array.
    if (PyArray_CheckExact(value)) {
        auto *a = reinterpret_cast<PyArrayObject *>(value);
        if (PyArray_TYPE(a) == NPY_DOUBLE && PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == 4 &&
            PyArray_DIM(a, 1) == 4 && PyArray_ISCARRAY_RO(a) && PyArray_ISNOTSWAPPED(a)) {
            const auto *m = static_cast<const double *>(PyArray_DATA(a));
            if (!check_rigid(m, what, -1)) {
                return false;
            }
            copy_rows(m, out);
            return true;
        }
    }
    OwnedRef array(reinterpret_cast<PyObject *>(target_array(value, what, 2, "(4, 4)")));
    if (!array) {
        return false;
    }
    const auto *m = static_cast<const double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
    if (!check_rigid(m, what, -1)) {
        return false;
    }
    copy_rows(m, out);
    return true;
}

bool TargetBatch::read(PyObject *value, const char *what) noexcept
{
    OwnedRef array(reinterpret_cast<PyObject *>(target_array(value, what, 3, "(N, 4, 4)")));
    if (!array) {
        return false;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(array.get());
    const Py_ssize_t n = PyArray_DIM(a, 0);
    const auto *m = static_cast<const double *>(PyArray_DATA(a));
    try {
        targets_.resize(n);
    }
    catch (...) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        if (!check_rigid(m + 16 * i, what, i)) {
            return false;
        }
        copy_rows(m + 16 * i, targets_[i]);
        // A long scan answers Ctrl-C.
        if ((i & 0xffff) == 0xffff && PyErr_CheckSignals() < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace kovi::solvers
