// Decoding of the constant table: the stored LZSS stream decompresses into
// one scratch buffer holding the texts of the constant strings back to back,
// then the location table of the function's code object.  The length table
// cuts the texts apart.
#include "constant_table.hpp"

#include <cstdint>

#include "constant_table_data.hpp"
#include "lzss.hpp"
#include "owned_ref.hpp"

namespace kovi {

namespace {

namespace data = constant_table_data;

constexpr long sum_of_lengths()
{
    long sum = 0;
    for (std::uint32_t unit : data::length_table) {
        sum += unit & 0x1F;
    }
    return sum;
}

static_assert(data::text_count == string_count, "constant texts and their enumeration differ");
static_assert(sum_of_lengths() == data::text_size, "the length table does not cover the texts");
static_assert(data::line_table_size <= 2047, "the location table's size exceeds its 11-bit field");

}  // namespace

int decode_string_data(const unsigned char *stream, Py_ssize_t size, PyObject **strings,
                       PyObject **line_table)
{
    OwnedRef scratch(PyBytes_FromStringAndSize(nullptr, data::decompressed_size));
    if (!scratch) {
        return -1;
    }
    char *text = PyBytes_AS_STRING(scratch.get());
    // A corrupt stream reads or copies out of bounds (-1) or ends elsewhere
    // than at its last byte; either way nothing is made from the buffer.
    Py_ssize_t consumed = lzss_decompress(stream, size, reinterpret_cast<unsigned char *>(text),
                                          data::decompressed_size);
    if (consumed != size) {
        PyErr_SetString(PyExc_RuntimeError, "LZSS string data decompression failed");
        return -1;
    }
    for (int i = 0; i < string_count; i++) {
        Py_ssize_t length = data::length_table[i] & 0x1F;
        PyObject *s = PyUnicode_DecodeUTF8(text, length, "strict");
        if (s == nullptr) {
            return -1;
        }
        if (i >= first_interned_string) {
            PyUnicode_InternInPlace(&s);
        }
        store_owned(strings[i], s);
        text += length;
    }
    PyObject *table = PyBytes_FromStringAndSize(text, data::line_table_size);
    if (table == nullptr) {
        return -1;
    }
    store_owned(*line_table, table);
    return 0;
}

int decode_constant_table(PyObject **strings, PyObject **line_table)
{
    return decode_string_data(data::string_data, data::string_data_size, strings, line_table);
}

}  // namespace kovi
