// Conversion of any object to a double with the meaning of Python's float(x).
//
// Failure is -1.0 with an exception set; a genuine -1.0 comes back with no
// exception set.  Numeric text (str, bytes, bytearray) is parsed directly
// with PyOS_string_to_double after a cheap check.  Whatever the fast rules
// cannot settle goes to PyFloat_FromString, whose errors are float()'s own.
// A text that passes the check but that the quick parse itself rejects (a
// lone "." or "..") keeps the parse's ValueError, which quotes the text as
// a str: for bytes that is not float()'s message (b'.' shows as '.'),
// though the exception type is the same.
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
