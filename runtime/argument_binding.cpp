#include "argument_binding.hpp"

#include <cstring>

#include "cpython_internal.hpp"

namespace kovi {

namespace {

// Equality of the exact str `name` and the exact str `key`, whose hash is
// known: hash, length, width, then the code units.
bool same_text(PyObject *name, PyObject *key, Py_hash_t key_hash)
{
    Py_hash_t name_hash = cpython::str_cached_hash(name);
    if (name_hash == -1) {
        name_hash = PyObject_Hash(name);  // a str hash cannot fail
    }
    if (name_hash != key_hash) {
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    int kind = PyUnicode_KIND(name);
    return length == PyUnicode_GET_LENGTH(key) && kind == static_cast<int>(PyUnicode_KIND(key)) &&
           std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(key),
                       static_cast<std::size_t>(length) * kind) == 0;
}

int match_exact_str(const char *function_name, PyObject *key, const ParameterName *names,
                    const ParameterName *first_unfilled, Py_ssize_t *index_out)
{
    Py_hash_t key_hash = cpython::str_cached_hash(key);
    if (key_hash == -1) {
        key_hash = PyObject_Hash(key);
        if (key_hash == -1) {
            return -1;
        }
    }
    for (const ParameterName *name = first_unfilled; *name != nullptr; name++) {
        if (same_text(**name, key, key_hash)) {
            *index_out = name - names;
            return 1;
        }
    }
    for (const ParameterName *name = names; name != first_unfilled; name++) {
        if (same_text(**name, key, key_hash)) {
            raise_multiple_values_error(function_name, key);
            return -1;
        }
    }
    return 0;
}

// A str subclass may define its own equality; it is asked with the
// parameter name on the left, as the interpreter itself does.
int match_str_subclass(const char *function_name, PyObject *key, const ParameterName *names,
                       const ParameterName *first_unfilled, Py_ssize_t *index_out)
{
    for (const ParameterName *name = first_unfilled; *name != nullptr; name++) {
        int equal = PyObject_RichCompareBool(**name, key, Py_EQ);
        if (equal != 0) {
            if (equal > 0) {
                *index_out = name - names;
            }
            return equal;
        }
    }
    for (const ParameterName *name = names; name != first_unfilled; name++) {
        int equal = PyObject_RichCompareBool(**name, key, Py_EQ);
        if (equal != 0) {
            if (equal > 0) {
                raise_multiple_values_error(function_name, key);
            }
            return -1;
        }
    }
    return 0;
}

}  // namespace

int match_keyword_name(const char *function_name, PyObject *key, const ParameterName *names,
                       const ParameterName *first_unfilled, Py_ssize_t *index_out)
{
    if (PyUnicode_CheckExact(key)) {
        return match_exact_str(function_name, key, names, first_unfilled, index_out);
    }
    if (PyUnicode_Check(key)) {
        return match_str_subclass(function_name, key, names, first_unfilled, index_out);
    }
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
    return -1;
}

void raise_argument_count_error(const char *function_name, Py_ssize_t expected,
                                Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, "exactly", expected, expected == 1 ? "" : "s", given);
}

void raise_unexpected_keyword_error(const char *function_name, PyObject *key)
{
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name,
                 key);
}

void raise_multiple_values_error(const char *function_name, PyObject *key)
{
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                 function_name, key);
}

}  // namespace kovi
