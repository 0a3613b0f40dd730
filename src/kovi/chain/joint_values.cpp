// Joint value checks.  The order of the checks is the same for every kind
// of input: the shape, then the number of values, then the dtype, then each
// value in index order, so that a list, a tuple and an array holding the
// same numbers get the same answer.
#include "joint_values.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

#include "interpreter_compat.hpp"
#include "batch_runner.hpp"

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

// The one rule for joint values (the same as kovi.Joint's for its numbers):
// real numbers only.  ints, floats, numpy integers and floats, and any other
// object that float() reads as a number (a Fraction, an int beyond int64, an
// object with __float__); never a bool, a complex, a str or bytes, alone, in
// a list or in an array.

bool is_not_real(PyObject *x)
{
    return PyBool_Check(x) || PyComplex_Check(x) || PyUnicode_Check(x) || PyBytes_Check(x) ||
           PyArray_IsScalar(x, Bool) || PyArray_IsScalar(x, ComplexFloating);
}

void refuse_entry(PyObject *x, const char *name)
{
    PyErr_Format(PyExc_TypeError, "%s must hold real numbers, got an entry of type %.200s", name,
                 Py_TYPE(x)->tp_name);
}

bool has_real_dtype(PyArrayObject *array, const char *name)
{
    if (PyArray_ISINTEGER(array) || PyArray_ISFLOAT(array) || PyArray_TYPE(array) == NPY_OBJECT) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s must hold real numbers, got dtype %S", name,
                 reinterpret_cast<PyObject *>(PyArray_DESCR(array)));
    return false;
}

// numpy reads a list holding a bool among numbers ([1, True]) as integers,
// and the bool is lost: the entries of a nested list or tuple are looked at
// before numpy reads them.  An array among them must not hold a refused
// kind either.
bool sequence_entries_are_real(PyObject *given, const char *name, int depth = 0)
{
    if (PyArray_Check(given)) {
        auto *array = reinterpret_cast<PyArrayObject *>(given);
        // has_real_dtype refuses these kinds with its message
        return !(PyArray_ISBOOL(array) || PyArray_ISCOMPLEX(array) || PyArray_ISSTRING(array)) ||
               has_real_dtype(array, name);
    }
    if (!PyList_Check(given) && !PyTuple_Check(given)) {
        if (is_not_real(given)) {
            refuse_entry(given, name);
            return false;
        }
        return true;
    }
    if (depth > NPY_MAXDIMS) {
        return true;   // deeper than any array: numpy refuses it
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(given); i++) {
        if (!sequence_entries_are_real(PySequence_Fast_GET_ITEM(given, i), name, depth + 1)) {
            return false;
        }
    }
    return true;
}

// An object array's entries as a new float64 array of the same shape, each
// read by float() after the refused kinds are ruled out.
PyObject *object_entries_as_float64(PyArrayObject *array, const char *name)
{
    OwnedRef out(PyArray_SimpleNew(PyArray_NDIM(array), PyArray_DIMS(array), NPY_DOUBLE));
    OwnedRef iterator(out ? PyArray_IterNew(reinterpret_cast<PyObject *>(array)) : nullptr);
    if (!iterator) {
        return nullptr;
    }
    auto *it = reinterpret_cast<PyArrayIterObject *>(iterator.get());
    auto *values = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
    for (npy_intp k = 0; PyArray_ITER_NOTDONE(it); k++) {
        PyObject *x = *static_cast<PyObject **>(PyArray_ITER_DATA(it));
        if (x == nullptr || is_not_real(x)) {
            refuse_entry(x != nullptr ? x : Py_None, name);
            return nullptr;
        }
        OwnedRef number(PyNumber_Float(x));
        if (!number) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "%s has an entry too large for float64", name);
            }
            else if (PyErr_ExceptionMatches(PyExc_TypeError) ||
                     PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                refuse_entry(x, name);
            }
            return nullptr;
        }
        values[k] = PyFloat_AS_DOUBLE(number.get());
        PyArray_ITER_NEXT(it);
    }
    return out.release();
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
    if (PyErr_Occurred()) {
        return false;
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
    if (!has_real_dtype(array, "q") ||
        ((PyList_Check(given) || PyTuple_Check(given)) && !sequence_entries_are_real(given, "q"))) {
        return false;
    }
    if (PyArray_TYPE(array) == NPY_OBJECT) {
        OwnedRef values(object_entries_as_float64(array, "q"));
        if (!values) {
            return false;
        }
        converted_ = std::move(values);
        array = reinterpret_cast<PyArrayObject *>(converted_.get());
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

bool JointValueRows::read_shape(PyObject *Q, Py_ssize_t dof) noexcept
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
    if (!has_real_dtype(array, "Q") ||
        ((PyList_Check(Q) || PyTuple_Check(Q)) && !sequence_entries_are_real(Q, "Q"))) {
        return false;
    }
    if (PyArray_TYPE(array) == NPY_OBJECT) {
        given_array.reset(object_entries_as_float64(array, "Q"));
        if (!given_array) {
            return false;
        }
    }
    array_ = std::move(given_array);
    dof_ = dof;
    rows_ = PyArray_DIM(this->array(), 0);
    return true;
}

namespace {

// Rows per chunk of the scan: about this many values, a fraction of a
// millisecond.
constexpr Py_ssize_t values_per_scan_chunk = 1 << 16;

struct Scan {
    const JointValueRows *rows;
    Py_ssize_t dof;
    // The first row found with a value that is not finite; rows past it
    // need no scan.  Chunks below it are always scanned, so the least such
    // row is found whatever the threads.
    mutable std::atomic<Py_ssize_t> first_bad;
};

void scan_rows(const void *context, Py_ssize_t begin, Py_ssize_t end) noexcept
{
    const auto &scan = *static_cast<const Scan *>(context);
    for (Py_ssize_t i = begin; i < end; i++) {
        if (i > scan.first_bad.load(std::memory_order_relaxed)) {
            return;
        }
        if (first_non_finite(scan.rows->row(i), scan.dof) >= 0) {
            Py_ssize_t known = scan.first_bad.load(std::memory_order_relaxed);
            while (i < known &&
                   !scan.first_bad.compare_exchange_weak(known, i, std::memory_order_relaxed)) {
            }
            return;
        }
    }
}

}  // namespace

bool JointValueRows::check_values(int threads) noexcept
{
    if (!is_plain_float64(array())) {
        array_.reset(as_float64(array(), 2));
        if (!array_) {
            return false;
        }
    }
    take_layout();
    // Without joints there is no value to scan, however many rows: an empty
    // array may claim any number of them.
    if (dof_ == 0 || rows_ == 0) {
        return true;
    }
    Scan scan{this, dof_, {PY_SSIZE_T_MAX}};
    Py_ssize_t chunk = std::max<Py_ssize_t>(1, values_per_scan_chunk / dof_);
    if (run_rows(rows_, threads, chunk, scan_rows, &scan) < 0) {
        return false;
    }
    Py_ssize_t i = scan.first_bad.load();
    if (i != PY_SSIZE_T_MAX) {
        JointValueView q = row(i);
        Py_ssize_t bad = first_non_finite(q, dof_);
        PyErr_Format(PyExc_ValueError, "Q[%zd, %zd] is %s", i, bad, non_finite_name(q[bad]));
        return false;
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
