#include "lzss.hpp"

#include <cstring>

namespace kovi {

Py_ssize_t lzss_decompress(const unsigned char *input, Py_ssize_t input_size,
                           unsigned char *output, Py_ssize_t output_size)
{
    Py_ssize_t in = 0;
    Py_ssize_t out = 0;
    while (out < output_size) {
        if (in >= input_size) {
            return -1;
        }
        unsigned int flags = input[in++];
        for (int bit = 0; bit < 8 && out < output_size; bit++, flags >>= 1) {
            if (flags & 1) {
                if (in >= input_size) {
                    return -1;
                }
                output[out++] = input[in++];
                continue;
            }
            if (input_size - in < 2) {
                return -1;
            }
            unsigned int b1 = input[in];
            unsigned int b2 = input[in + 1];
            in += 2;
            Py_ssize_t distance;
            Py_ssize_t length;
            if (!(b1 & 0x80)) {
                distance = b1;
                length = Py_ssize_t(b2) + 3;
            }
            else if (!(b2 & 0x80)) {
                distance = Py_ssize_t(((b2 >> 5) & 0x3) << 7 | (b1 & 0x7F)) + 128;
                length = Py_ssize_t(b2 & 0x1F) + 3;
            }
            else {
                if (in >= input_size) {
                    return -1;
                }
                distance = Py_ssize_t((b2 & 0x7F) << 7 | (b1 & 0x7F)) + 128;
                length = Py_ssize_t(input[in++]) + 3;
            }
            if (distance + length > out || length > output_size - out) {
                return -1;
            }
            // The source ends `distance` bytes before `out`: a plain copy of
            // non-overlapping memory.
            std::memcpy(output + out, output + (out - distance - length), size_t(length));
            out += length;
        }
    }
    return in;
}

}  // namespace kovi
