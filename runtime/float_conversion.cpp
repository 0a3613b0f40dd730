#include "float_conversion.hpp"

#include <bit>
#include <cstdint>
#include <limits>

#include "call_operations.hpp"
#include "owned_ref.hpp"

namespace kovi {

namespace {

// Texts whose copy fits here (with its NUL) are never copied to the heap.
constexpr Py_ssize_t local_buffer_size = 40;

const double positive_nan = std::bit_cast<double>(UINT64_C(0x7FF8000000000000));
const double negative_nan = std::bit_cast<double>(UINT64_C(0xFFF8000000000000));
constexpr double infinity = std::numeric_limits<double>::infinity();

// White space of bytes as float() strips it.
inline bool is_byte_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// White space of str as float() strips it: from 128 up the Unicode white
// space, below it only the bytes' white space.  float() keeps \x1c-\x1f,
// which str.isspace() counts as white space, and then refuses the text.
inline bool is_code_point_space(Py_UCS4 c)
{
    return c < 128 ? is_byte_space(static_cast<unsigned char>(c)) : Py_UNICODE_ISSPACE(c) != 0;
}

inline bool is_digit(Py_UCS4 c)
{
    return c >= '0' && c <= '9';
}

inline Py_UCS4 ascii_lower(Py_UCS4 c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

// Whether the `count` characters from `first` spell `word` in any case.
template <typename At>
bool spells(At at, Py_ssize_t first, Py_ssize_t count, const char *word)
{
    Py_ssize_t k = 0;
    for (; word[k] != '\0'; k++) {
        if (k == count || ascii_lower(at(first + k)) != static_cast<unsigned char>(word[k])) {
            return false;
        }
    }
    return k == count;
}

enum class Lead { number, special, fallback };

// The optional sign and the character after it decide how a stripped text
// of `length` characters is read; nan, inf and infinity are settled here.
template <typename At>
Lead read_lead(At at, Py_ssize_t length, double &special)
{
    Py_ssize_t p = 0;
    bool negative = false;
    Py_UCS4 c = at(0);
    if (c == '+' || c == '-') {
        negative = c == '-';
        if (++p == length) {
            return Lead::fallback;
        }
        c = at(p);
    }
    if (c == 'n' || c == 'N') {
        if (!spells(at, p, length - p, "nan")) {
            return Lead::fallback;
        }
        special = negative ? negative_nan : positive_nan;
        return Lead::special;
    }
    if (c == 'i' || c == 'I') {
        if (!spells(at, p, length - p, "inf") && !spells(at, p, length - p, "infinity")) {
            return Lead::fallback;
        }
        special = negative ? -infinity : infinity;
        return Lead::special;
    }
    return c == '.' || is_digit(c) ? Lead::number : Lead::fallback;
}

// The copy of both parses.  '_' and '.' are punctuation, and so are 'e' and
// 'E' in byte texts; punctuation may not start or end the text or follow
// other punctuation.  An underscore must also stand between two digits, as
// float() requires: anything else ("-_1", "1e-_5") goes to the fallback.
// A code point above 127 refuses the copy.
template <typename At>
char *copy_text(At at, Py_ssize_t length, char *buffer, bool exponent_is_punctuation)
{
    char *out = buffer;
    bool previous_punctuation = true;
    Py_UCS4 previous = 0;
    for (Py_ssize_t k = 0; k < length; k++) {
        Py_UCS4 c = at(k);
        if (c > 127) {
            return nullptr;
        }
        *out = static_cast<char>(c);
        if (c != '_') {
            out++;
        }
        bool punctuation =
            c == '_' || c == '.' || (exponent_is_punctuation && (c == 'e' || c == 'E'));
        if (punctuation && previous_punctuation) {
            return nullptr;
        }
        if ((c == '_' && !is_digit(previous)) || (previous == '_' && !is_digit(c))) {
            return nullptr;
        }
        previous_punctuation = punctuation;
        previous = c;
    }
    if (previous_punctuation) {
        return nullptr;
    }
    *out = '\0';
    return out;
}

// Parses a NUL-terminated copy; `parsed` tells whether it was read whole.
// An overflow gives an infinity, as in float().
inline double parse_copy(const char *copy, const char *nul, bool &parsed)
{
    char *parse_end;
    double value = PyOS_string_to_double(copy, &parse_end, nullptr);
    parsed = parse_end == nul;
    return value;
}

// The result of a parse: its value, the parser's own error, or the fallback.
inline double settle(PyObject *obj, double value, bool parsed)
{
    if (parsed) {
        return value;
    }
    if (value == -1.0 && PyErr_Occurred()) {
        return -1.0;
    }
    return string_fallback_as_double(obj);
}

// Settles a stripped text that is nan, inf or infinity, or that cannot be a
// number, in `result`; false when it has to be parsed as a number.
template <typename At>
bool settled_by_lead(PyObject *obj, At at, Py_ssize_t length, double &result)
{
    switch (read_lead(at, length, result)) {
    case Lead::special:
        return true;
    case Lead::fallback:
        result = string_fallback_as_double(obj);
        return true;
    case Lead::number:
        break;
    }
    return false;
}

}  // namespace

char *copy_number_text(const char *source, char *buffer, Py_ssize_t length)
{
    auto at = [source](Py_ssize_t k) -> Py_UCS4 { return static_cast<unsigned char>(source[k]); };
    return copy_text(at, length, buffer, true);
}

double string_fallback_as_double(PyObject *obj)
{
    OwnedRef value(PyFloat_FromString(obj));
    if (!value) {
        return -1.0;
    }
    return PyFloat_AS_DOUBLE(value.get());
}

double bytes_text_as_double(PyObject *obj, const char *text, Py_ssize_t length)
{
    const char *start = text;
    const char *end = text + length;
    while (start < end && is_byte_space(static_cast<unsigned char>(*start))) {
        start++;
    }
    while (end - start > 1 && is_byte_space(static_cast<unsigned char>(end[-1]))) {
        end--;
    }
    if (start == end) {
        return string_fallback_as_double(obj);
    }
    Py_ssize_t n = end - start;
    auto at = [start](Py_ssize_t k) -> Py_UCS4 { return static_cast<unsigned char>(start[k]); };
    double settled;
    if (settled_by_lead(obj, at, n, settled)) {
        return settled;
    }

    Py_ssize_t count = 0;
    for (const char *p = start; p < end; p++) {
        count += *p != '_';
    }
    double value;
    bool parsed;
    if (count == n) {
        // No underscores: parse in place; the text is followed by a NUL in
        // its object, or by the white space stripped above.
        value = parse_copy(start, end, parsed);
    }
    else if (count < local_buffer_size) {
        char buffer[local_buffer_size];
        char *nul = copy_number_text(start, buffer, n);
        if (nul == nullptr) {
            return string_fallback_as_double(obj);
        }
        value = parse_copy(buffer, nul, parsed);
    }
    else {
        char *buffer = static_cast<char *>(PyMem_Malloc(count + 1));
        if (buffer == nullptr) {
            return string_fallback_as_double(obj);
        }
        char *nul = copy_number_text(start, buffer, n);
        if (nul == nullptr) {
            PyMem_Free(buffer);
            return string_fallback_as_double(obj);
        }
        value = parse_copy(buffer, nul, parsed);
        PyMem_Free(buffer);
    }
    return settle(obj, value, parsed);
}

double unicode_text_as_double(PyObject *obj)
{
    int kind = PyUnicode_KIND(obj);
    const void *data = PyUnicode_DATA(obj);
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(obj);
    while (start < end && is_code_point_space(PyUnicode_READ(kind, data, start))) {
        start++;
    }
    while (end - start > 1 && is_code_point_space(PyUnicode_READ(kind, data, end - 1))) {
        end--;
    }
    if (start == end) {
        return string_fallback_as_double(obj);
    }
    Py_ssize_t n = end - start;
    auto at = [kind, data, start](Py_ssize_t k) { return PyUnicode_READ(kind, data, start + k); };
    double settled;
    if (settled_by_lead(obj, at, n, settled)) {
        return settled;
    }

    char local[local_buffer_size];
    char *buffer = local;
    if (n >= local_buffer_size) {
        buffer = static_cast<char *>(PyMem_Malloc(n + 1));
        if (buffer == nullptr) {
            return string_fallback_as_double(obj);
        }
    }
    double value = -1.0;
    bool parsed = false;
    char *nul = copy_text(at, n, buffer, false);
    if (nul != nullptr) {
        value = parse_copy(buffer, nul, parsed);
    }
    if (buffer != local) {
        PyMem_Free(buffer);
    }
    if (nul == nullptr) {
        return string_fallback_as_double(obj);
    }
    return settle(obj, value, parsed);
}

double object_as_double(PyObject *obj)
{
    PyTypeObject *type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        if (!PyUnicode_IS_ASCII(obj)) {
            return unicode_text_as_double(obj);
        }
        Py_ssize_t length;
        const char *text = PyUnicode_AsUTF8AndSize(obj, &length);
        if (text == nullptr) {
            return -1.0;
        }
        return bytes_text_as_double(obj, text, length);
    }
    if (type == &PyBytes_Type) {
        return bytes_text_as_double(obj, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    }
    if (type == &PyByteArray_Type) {
        // An empty bytearray reads the interpreter's shared empty buffer.
        return bytes_text_as_double(obj, PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj));
    }

    PyNumberMethods *number = type->tp_as_number;
    if (number != nullptr && number->nb_float != nullptr) {
        OwnedRef result(number->nb_float(obj));
        if (!result) {
            return -1.0;
        }
        if (!PyFloat_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__float__ returned non-float (type %.200s)",
                         Py_TYPE(result.get())->tp_name);
            return -1.0;
        }
        return PyFloat_AS_DOUBLE(result.get());
    }

    // Subclasses of str, bytes and bytearray, and objects with __index__ or
    // nothing at all: float() itself decides.
    PyObject *args[2] = {nullptr, obj};
    OwnedRef result(fast_call(reinterpret_cast<PyObject *>(&PyFloat_Type), args + 1,
                              1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    if (!result) {
        return -1.0;
    }
    return PyFloat_AS_DOUBLE(result.get());
}

}  // namespace kovi
