#include "constant_table.hpp"

#include "constant_table_data.hpp"

namespace kovi {

namespace data = constant_table_data;
static_assert(data::text_count == string_count, "constant texts and their enumeration differ");

int decode_constant_table(PyObject **strings, PyObject **line_table)
{
    const char *text = reinterpret_cast<const char *>(data::text_data);
    for (int i = 0; i < string_count; i++) {
        Py_ssize_t length = data::length_table[i] & 0x1F;
        PyObject *s = PyUnicode_DecodeUTF8(text, length, "strict");
        if (s == nullptr) {
            return -1;
        }
        if (i >= first_interned_string) {
            PyUnicode_InternInPlace(&s);
        }
        PyObject *old = strings[i];
        strings[i] = s;
        Py_XDECREF(old);
        text += length;
    }
    PyObject *table = PyBytes_FromStringAndSize(
        reinterpret_cast<const char *>(data::line_table_data), data::line_table_size);
    if (table == nullptr) {
        return -1;
    }
    PyObject *old = *line_table;
    *line_table = table;
    Py_XDECREF(old);
    return 0;
}

}  // namespace kovi
