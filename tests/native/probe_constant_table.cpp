// Probe of the constant table: the LZSS decoder on streams of the tests'
// making, the table decoding on the stored stream or a damaged copy, and
// the source lines generated beside the table.
// Streams are copied into heap buffers of their exact size, so that under
// AddressSanitizer any read or write outside them is caught.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <memory>

#include "constant_table.hpp"
#include "constant_table_data.hpp"
#include "lzss.hpp"
#include "owned_ref.hpp"
#include "probe_tables.hpp"
#include "source_lines.hpp"

namespace {

namespace data = kovi::constant_table_data;

std::unique_ptr<unsigned char[]> exact_copy(const char *bytes, Py_ssize_t size)
{
    std::unique_ptr<unsigned char[]> copy(new unsigned char[size > 0 ? size : 1]);
    std::memcpy(copy.get(), bytes, size_t(size));
    return copy;
}

// lzss_decompress(stream, output_size) -> (consumed, output or None)
PyObject *probe_lzss_decompress(PyObject *, PyObject *args)
{
    const char *bytes;
    Py_ssize_t size;
    Py_ssize_t output_size;
    if (!PyArg_ParseTuple(args, "y#n:lzss_decompress", &bytes, &size, &output_size)) {
        return nullptr;
    }
    if (output_size < 0) {
        PyErr_SetString(PyExc_ValueError, "output_size must not be negative");
        return nullptr;
    }
    auto input = exact_copy(bytes, size);
    std::unique_ptr<unsigned char[]> output(new unsigned char[output_size > 0 ? output_size : 1]);
    Py_ssize_t consumed = kovi::lzss_decompress(input.get(), size, output.get(), output_size);
    if (consumed < 0) {
        return Py_BuildValue("nO", consumed, Py_None);
    }
    return Py_BuildValue("ny#", consumed, reinterpret_cast<char *>(output.get()), output_size);
}

// decode_string_data(stream, out): runs the table decoding on `stream`, then
// replaces the contents of the list `out` by the 133 strings and the line
// table, None for each one not made; raises what the decoding raised.
PyObject *probe_decode_string_data(PyObject *, PyObject *args)
{
    const char *bytes;
    Py_ssize_t size;
    PyObject *out;
    if (!PyArg_ParseTuple(args, "y#O!:decode_string_data", &bytes, &size, &PyList_Type, &out)) {
        return nullptr;
    }
    auto stream = exact_copy(bytes, size);
    PyObject *made[kovi::string_count + 1] = {};
    int result = kovi::decode_string_data(stream.get(), size, made, &made[kovi::string_count]);
    PyObject *raised = PyErr_GetRaisedException();
    kovi::OwnedRef items(PyList_New(kovi::string_count + 1));
    for (int i = 0; i <= kovi::string_count; i++) {
        if (items) {
            PyList_SET_ITEM(items.get(), i, made[i] != nullptr ? made[i] : Py_NewRef(Py_None));
        }
        else {
            Py_XDECREF(made[i]);
        }
    }
    if (!items || PyList_SetSlice(out, 0, PyList_GET_SIZE(out), items.get()) < 0) {
        Py_XDECREF(raised);
        return nullptr;
    }
    if (result < 0) {
        PyErr_SetRaisedException(raised);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// stored_string_data() -> {"stream": bytes, "lengths": tuple, "text_size": ...,
// "line_table_size": ..., "decompressed_size": ...}
PyObject *probe_stored_string_data(PyObject *, PyObject *)
{
    kovi::OwnedRef lengths(PyTuple_New(data::text_count));
    if (!lengths) {
        return nullptr;
    }
    for (int i = 0; i < data::text_count; i++) {
        PyObject *unit = PyLong_FromUnsignedLong(data::length_table[i]);
        if (unit == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(lengths.get(), i, unit);
    }
    return Py_BuildValue("{s:y#,s:O,s:l,s:l,s:l}", "stream",
                         reinterpret_cast<const char *>(data::string_data),
                         Py_ssize_t(data::string_data_size), "lengths", lengths.get(), "text_size",
                         data::text_size, "line_table_size", data::line_table_size,
                         "decompressed_size", data::decompressed_size);
}

// source_lines() -> {C++ name: line} of every generated source line.
PyObject *probe_source_lines(PyObject *, PyObject *)
{
    kovi::OwnedRef lines(PyDict_New());
    if (!lines) {
        return nullptr;
    }
    for (const kovi::NamedSourceLine &entry : kovi::named_source_lines) {
        kovi::OwnedRef line(PyLong_FromLong(entry.line));
        if (!line || PyDict_SetItemString(lines.get(), entry.name, line.get()) < 0) {
            return nullptr;
        }
    }
    return lines.release();
}

// is_interned(s): whether the interpreter holds `s` as an interned string.
PyObject *probe_is_interned(PyObject *, PyObject *s)
{
    if (!PyUnicode_Check(s)) {
        PyErr_SetString(PyExc_TypeError, "a str is required");
        return nullptr;
    }
    return PyBool_FromLong(PyUnicode_CHECK_INTERNED(s) != 0);
}

}  // namespace

PyMethodDef probe_constant_table_methods[] = {
    {"lzss_decompress", probe_lzss_decompress, METH_VARARGS, nullptr},
    {"decode_string_data", probe_decode_string_data, METH_VARARGS, nullptr},
    {"stored_string_data", probe_stored_string_data, METH_NOARGS, nullptr},
    {"source_lines", probe_source_lines, METH_NOARGS, nullptr},
    {"is_interned", probe_is_interned, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
