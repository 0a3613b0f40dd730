// Decoder of the LZSS byte streams that hold a module's constant data.
//
// A stream is a sequence of groups: one flag byte, then up to eight tokens.
// Bit k of the flag byte (bit 0 first) describes the k-th token: set, a
// literal byte; clear, a back-reference B1 B2 [B3] giving a distance D and
// a length L:
//
//   short   B1 bit 7 clear                 D = B1                         L = B2 + 3
//   medium  B1 bit 7 set, B2 bit 7 clear   D = (B2 bits 5-6 : B1 bits 0-6) + 128
//                                                                         L = (B2 & 0x1F) + 3
//   long    B1 and B2 bit 7 set, then B3   D = (B2 & 0x7F) * 128 + (B1 & 0x7F) + 128
//                                                                         L = B3 + 3
//
// With P bytes produced, a back-reference copies the L bytes starting at
// P - D - L to P: the source ends D bytes before P and never overlaps the
// bytes being written.
#ifndef KOVI_RUNTIME_LZSS_HPP
#define KOVI_RUNTIME_LZSS_HPP

#include <Python.h>

namespace kovi {

// Decodes `input` into `output` until exactly `output_size` bytes are
// produced (a stream may end in the middle of a group; the remaining flag
// bits are ignored).  Returns the number of input bytes consumed, or -1
// when the stream would read past `input_size` or a back-reference would
// reach before the start of the output or past its end; nothing is ever
// read or written outside the two buffers.  Sets no exception.
Py_ssize_t lzss_decompress(const unsigned char *input, Py_ssize_t input_size,
                           unsigned char *output, Py_ssize_t output_size);

}  // namespace kovi

#endif
