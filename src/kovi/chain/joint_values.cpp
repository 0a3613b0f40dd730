// Joint value checks.  The order of the checks is the same for every kind
// of input: the shape, then the number of values, then the dtype, then each
// value in index order, so that a list, a tuple and an array holding the
// same numbers get the same answer.
#include "joint_values.hpp"

#include <cmath>
#include <cstdio>

#include "interpreter_compat.hpp"

namespace kovi::chain {

namespace {

// "(2, 7)", "(7,)" or "()" for the shape of an array.
void format_shape(PyArrayObject *array, char *buffer, std::size_t size)
{
    int nd = PyArray_NDIM(array);
    std::size_t used = std::snprintf(buffer, size, "(");
    for (int d = 0; d < nd && used < size; d++) {
        used += std::snprintf(buffer + used, size - used, d + 1 < nd || nd == 1 ? "%zd," : "%zd",
                              static_cast<Py_ssize_t>(PyArray_DIM(array, d)));
        if (d + 1 < nd && used < size) {
            used += std::snprintf(buffer + used, size - used, " ");
        }
    }
    if (used < size) {
        std::snprintf(buffer + used, size - used, ")");
    }
}

// What the caller gave, when it was not the shape asked for: the type of
// an object numpy could make no sequence of, else the shape of the array.
// Shapes are a ValueError, other kinds of object a TypeError.
void refuse_shape(PyObject *given, PyArrayObject *array, const char *expected)
{
    if (PyArray_NDIM(array) == 0 && !PyArray_Check(given)) {
        if (given == Py_None) {
            PyErr_Format(PyExc_TypeError, "%s, got None", expected);
        }
        else {
            PyErr_Format(PyExc_TypeError, "%s, got %.200s", expected, Py_TYPE(given)->tp_name);
        }
        return;
    }
    char shape[160];
    format_shape(array, shape, sizeof shape);
    PyErr_Format(PyExc_ValueError, "%s, got shape %s", expected, shape);
}

// numpy.asarray(given); a sequence numpy cannot make an array of (ragged
// nesting) is refused in the same words as a wrong shape, numpy's own
// message kept as the cause.
PyObject *as_array(PyObject *given, const char *expected)
{
    PyObject *array = PyArray_FromAny(given, nullptr, 0, 0, 0, nullptr);
    if (array == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyObject *cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_ValueError, "%s, got a ragged sequence", expected);
        PyObject *error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause);
        PyException_SetContext(error, Py_NewRef(cause));
        PyErr_SetRaisedException(error);
    }
    return array;
}

bool has_real_dtype(PyArrayObject *array, const char *name)
{
    if (PyArray_ISINTEGER(array) || PyArray_ISFLOAT(array)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s must hold real numbers, got dtype %S", name,
                 reinterpret_cast<PyObject *>(PyArray_DESCR(array)));
    return false;
}

bool is_plain_float64(PyArrayObject *array)
{
    return PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
           PyArray_ISALIGNED(array);
}

// The array's values as a plain ndarray (never a subclass) of aligned
// float64 in native byte order, C order.  The dtype is known to be an
// integer or a float, so any cast is wanted, the narrowing ones too
// (longdouble, uint64 and int64 beyond 2**53 round to the nearest float64).
PyObject *as_float64(PyArrayObject *array, int nd)
{
    return PyArray_FromAny(reinterpret_cast<PyObject *>(array), PyArray_DescrFromType(NPY_DOUBLE),
                           nd, nd,
                           NPY_ARRAY_CARRAY_RO | NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_FORCECAST,
                           nullptr);
}

const char *non_finite_name(double value)
{
    return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
}

// Index of the first value of q that is not finite, or -1.
Py_ssize_t first_non_finite(JointValueView q, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; i++) {
        if (!std::isfinite(q[i])) {
            return i;
        }
    }
    return -1;
}

}  // namespace

bool JointValues::read(PyObject *q, Py_ssize_t dof) noexcept
{
    if (PyArray_Check(q)) {
        return read_array(q, dof, q);
    }
    if ((PyList_CheckExact(q) || PyTuple_CheckExact(q)) && read_sequence(q, dof)) {
        return !PyErr_Occurred();
    }
    char expected[96];
    std::snprintf(expected, sizeof expected, "q must be one-dimensional with %zd joint values", dof);
    OwnedRef array(as_array(q, expected));
    if (!array) {
        return false;
    }
    converted_ = std::move(array);
    return read_array(converted_.get(), dof, q);
}

// A list or tuple of exact floats and of ints within int64 (what numpy
// would make a float64 or int64 array of), read without numpy.  Returns
// false when some element is anything else, leaving the decision to numpy;
// true when it has decided, with an exception set if q is refused.
bool JointValues::read_sequence(PyObject *q, Py_ssize_t dof) noexcept
{
    Py_ssize_t n = PySequence_Fast_GET_SIZE(q);
    if (n > inline_capacity) {
        return false;
    }
    PyObject **items = PySequence_Fast_ITEMS(q);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = items[i];
        if (PyFloat_CheckExact(item)) {
            inline_[i] = PyFloat_AS_DOUBLE(item);
            continue;
        }
        if (!PyLong_CheckExact(item)) {
            return false;
        }
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0) {
            return false;
        }
        inline_[i] = PyLong_AsDouble(item);
    }
    if (n != dof) {
        PyErr_Format(PyExc_ValueError, "expected %zd joint values, got %zd", dof, n);
        return true;
    }
    data_ = reinterpret_cast<const char *>(inline_);
    stride_ = sizeof(double);
    Py_ssize_t bad = first_non_finite(view(), n);
    if (bad >= 0) {
        PyErr_Format(PyExc_ValueError, "q[%zd] is %s", bad, non_finite_name(inline_[bad]));
    }
    return true;
}

bool JointValues::read_array(PyObject *array_object, Py_ssize_t dof, PyObject *given) noexcept
{
    auto *array = reinterpret_cast<PyArrayObject *>(array_object);
    if (PyArray_NDIM(array) != 1) {
        char expected[96];
        std::snprintf(expected, sizeof expected, "q must be one-dimensional with %zd joint values",
                      dof);
        refuse_shape(given, array, expected);
        return false;
    }
    Py_ssize_t n = PyArray_DIM(array, 0);
    if (n != dof) {
        PyErr_Format(PyExc_ValueError, "expected %zd joint values, got %zd", dof, n);
        return false;
    }
    if (!has_real_dtype(array, "q")) {
        return false;
    }
    // A subclass is read as the plain array of its values too: what it
    // would answer when indexed (a masked array, an overridden
    // __getitem__) need not be the values checked here.
    if (!is_plain_float64(array) || !PyArray_CheckExact(array)) {
        OwnedRef values(as_float64(array, 1));
        if (!values) {
            return false;
        }
        converted_ = std::move(values);
        array = reinterpret_cast<PyArrayObject *>(converted_.get());
    }
    data_ = PyArray_BYTES(array);
    stride_ = PyArray_STRIDE(array, 0);
    Py_ssize_t bad = first_non_finite(view(), n);
    if (bad >= 0) {
        PyErr_Format(PyExc_ValueError, "q[%zd] is %s", bad, non_finite_name(view()[bad]));
        return false;
    }
    return true;
}

bool JointValueRows::read(PyObject *Q, Py_ssize_t dof) noexcept
{
    char expected[96];
    std::snprintf(expected, sizeof expected, "Q must have shape (N, %zd)", dof);
    OwnedRef given_array(PyArray_Check(Q) ? Py_NewRef(Q) : as_array(Q, expected));
    if (!given_array) {
        return false;
    }
    auto *array = reinterpret_cast<PyArrayObject *>(given_array.get());
    if (PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) != dof) {
        refuse_shape(Q, array, expected);
        return false;
    }
    if (!has_real_dtype(array, "Q")) {
        return false;
    }
    if (is_plain_float64(array)) {
        array_ = std::move(given_array);
    }
    else {
        array_.reset(as_float64(array, 2));
        if (!array_) {
            return false;
        }
    }
    take_layout();
    // Without joints there is no value to scan, however many rows: an empty
    // array may claim any number of them.
    Py_ssize_t n = dof > 0 ? rows() : 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        JointValueView q = row(i);
        Py_ssize_t bad = first_non_finite(q, dof);
        if (bad >= 0) {
            PyErr_Format(PyExc_ValueError, "Q[%zd, %zd] is %s", i, bad, non_finite_name(q[bad]));
            return false;
        }
    }
    return true;
}

bool JointValueRows::separate_from(PyArrayObject *out) noexcept
{
    if (!arrays_may_overlap(array(), out)) {
        return true;
    }
    array_.reset(PyArray_NewCopy(array(), NPY_CORDER));
    if (!array_) {
        return false;
    }
    take_layout();
    return true;
}

void JointValueRows::take_layout() noexcept
{
    data_ = PyArray_BYTES(array());
    rows_ = PyArray_DIM(array(), 0);
    row_stride_ = PyArray_STRIDE(array(), 0);
    value_stride_ = PyArray_STRIDE(array(), 1);
}

namespace {

// [first, last) bytes an array's elements occupy; empty for no elements.
void byte_span(PyArrayObject *array, const char *&first, const char *&last)
{
    first = last = PyArray_BYTES(array);
    std::ptrdiff_t low = 0, high = 0;
    for (int d = 0; d < PyArray_NDIM(array); d++) {
        npy_intp dim = PyArray_DIM(array, d);
        if (dim == 0) {
            return;
        }
        std::ptrdiff_t reach = (dim - 1) * PyArray_STRIDE(array, d);
        (reach < 0 ? low : high) += reach;
    }
    first += low;
    last += high + PyArray_ITEMSIZE(array);
}

}  // namespace

bool arrays_may_overlap(PyArrayObject *a, PyArrayObject *b) noexcept
{
    const char *a_first, *a_last, *b_first, *b_last;
    byte_span(a, a_first, a_last);
    byte_span(b, b_first, b_last);
    return a_first < a_last && b_first < b_last && a_first < b_last && b_first < a_last;
}

}  // namespace kovi::chain
