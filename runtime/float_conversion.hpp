// Conversion of any object to a double with the meaning of Python's float(x).
//
// Failure is -1.0 with an exception set; a genuine -1.0 comes back with no
// exception set.  Numeric text (str, bytes, bytearray) is parsed directly
// with PyOS_string_to_double after a cheap check.  Whatever the fast rules
// cannot settle goes to PyFloat_FromString, whose errors are float()'s own.
// One kind of text keeps the quick parse's own ValueError: a bytes,
// bytearray or ASCII str whose text, stripped and after an optional sign,
// starts with "." not followed by a digit.  That message quotes the text as
// a plain C string, not as its repr: white space in front dropped, nothing
// escaped, cut at a NUL and at 200 characters, and after a sign without the
// underscores between digits.  So ' .x', ".'", b'.', b' .', '.' + 'x'*300
// and '-.x1_2' get a message other than float()'s, though the same
// exception type; a str that repr shows as itself (".", "-.x") gets
// float()'s own.
#ifndef KOVI_RUNTIME_FLOAT_CONVERSION_HPP
#define KOVI_RUNTIME_FLOAT_CONVERSION_HPP

#include <Python.h>

namespace kovi {

// Exact float and int are expected to be handled by the caller; anything
// else is accepted here.
double object_as_double(PyObject *obj);

// Parses `length` bytes at `text`, which the object `obj` owns and follows
// with a NUL byte; `obj` is used only by the fallback.
double bytes_text_as_double(PyObject *obj, const char *text, Py_ssize_t length);

// Parses the text of a str that is not all ASCII.
double unicode_text_as_double(PyObject *obj);

// Copies `length` bytes of number text into `buffer` without underscores
// and writes a NUL after them.  Returns the position of that NUL, or null
// when the text breaks the punctuation rules (then the caller falls back).
char *copy_number_text(const char *source, char *buffer, Py_ssize_t length);

// float(obj) by PyFloat_FromString: the value, or -1.0 with its exception.
double string_fallback_as_double(PyObject *obj);

// float(x) for an element read at a call site: exact floats and ints are
// converted in place, without a call; anything else by object_as_double.
inline double as_double(PyObject *obj)
{
    if (PyFloat_CheckExact(obj)) {
        return PyFloat_AS_DOUBLE(obj);
    }
    if (PyLong_CheckExact(obj)) {
        return PyLong_AsDouble(obj);
    }
    return object_as_double(obj);
}

}  // namespace kovi

#endif
