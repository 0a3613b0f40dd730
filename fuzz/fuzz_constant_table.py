"""The constant-table decoder on mutated streams, through the probe.

Input: a first byte choosing how to read the rest.  Even: the rest is the
stream itself.  Odd: the rest is a list of edits of the stored stream
(offset, byte to XOR in, both little-endian), its last two bytes cutting
or extending it, so that the fuzzer works near the real stream whatever
the stream is today.

The decoder must agree with the Python decoder of the build-time encoder
(tools/gen_constant_table.py), and the table decoding must make every
string or none: every string (each the UTF-8 of its cut of the output)
when the stream decodes exactly, none when it fails, and those before the
first bad UTF-8 text on a decoding error.  Under the sanitizers, no read or write may leave the
buffers the probe allocates to the exact size.
"""

import importlib.util

import harness

probe = harness.load_probe()
_spec = importlib.util.spec_from_file_location(
    "gen_constant_table", harness.REPO / "tools" / "gen_constant_table.py")
encoder = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(encoder)
STORED = probe.stored_string_data()
SIZE = STORED["decompressed_size"]
LENGTHS = [unit & 0x1F for unit in STORED["lengths"]]
FAILURE = "LZSS string data decompression failed"


def reference_decompress(stream, size):
    """(consumed, output) or (-1, None), by the build-time encoder's own
    Python decoder, written apart from the module's."""
    try:
        output, consumed = encoder.lzss_decode(stream, size)
    except (IndexError, ValueError):  # a read past the stream, a reference out of bounds
        return -1, None
    return consumed, output


def make_stream(data):
    if data[0] % 2 == 0:
        return bytes(data[1:])
    stream = bytearray(STORED["stream"])
    edits, tail = data[1:], b""
    if len(edits) % 4 >= 2:
        edits, tail = edits[:-2], edits[-2:]
    for k in range(0, len(edits) - 3, 4):
        offset = int.from_bytes(edits[k:k + 2], "little") % len(stream)
        stream[offset] ^= edits[k + 2] or 1
    if tail:
        cut = int.from_bytes(tail, "little") % 64 - 32  # drop up to 32 bytes or add up to 31
        stream = stream[:cut] if cut < 0 else stream + bytes(cut)
    return bytes(stream)


def expected_strings(plain):
    """The strings cut from a decoded buffer, up to the first bad text, and
    whether all of them decode."""
    strings, at = [], 0
    for length in LENGTHS:
        try:
            strings.append(plain[at:at + length].decode("utf-8"))
        except UnicodeDecodeError:
            return strings, False
        at += length
    return strings + [plain[at:]], True


def test_one_input(data):
    if not data:
        return
    stream = make_stream(data)
    for size in (SIZE, data[0]):
        got, want = probe.lzss_decompress(stream, size), reference_decompress(stream, size)
        if got != want:
            raise harness.Finding(f"lzss_decompress(size {size}) gave {got}, expected {want}")

    consumed, plain = reference_decompress(stream, SIZE)
    out = []
    try:
        probe.decode_string_data(stream, out)
        error = None
    except (RuntimeError, UnicodeDecodeError) as exc:
        error = exc
    made = [s for s in out if s is not None]
    if consumed != len(stream):
        ok = isinstance(error, RuntimeError) and str(error) == FAILURE and not made
    else:
        strings, decodes = expected_strings(plain)
        ok = (error is None) == decodes and out[:len(strings)] == strings and \
            made == strings and (decodes or isinstance(error, UnicodeDecodeError))
    if not ok or len(out) != len(LENGTHS) + 1:
        raise harness.Finding(f"decode_string_data gave {error!r} and {out}")


if __name__ == "__main__":
    harness.fuzz(test_one_input)
