"""Text to float: the runtime's conversion of str, bytes, bytearray and
memoryview against float(), to the bit (a NaN's sign included: the
conversion is float()'s own) or to the exception type.

Input: a first byte choosing the form, then the text (UTF-8 with lone
surrogates allowed for str, Latin-1 where that fails).
"""

import struct
import sys
import warnings

import harness

probe = harness.load_probe()


def make_text(data):
    form, payload = data[0] % 4, bytes(data[1:])
    if form == 0:
        return payload
    if form == 1:
        return bytearray(payload)
    if form == 2:
        return memoryview(payload)
    try:
        return payload.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        return payload.decode("latin-1")


def outcome(convert, text):
    try:
        return "value", struct.pack("<d", convert(text))
    except Exception as exc:  # noqa: BLE001 - the type is the outcome
        return "error", type(exc)


def test_one_input(data):
    if not data:
        return
    text = make_text(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = outcome(float, text)
    for convert in (probe.object_as_double, probe.as_double):
        got = outcome(convert, text)
        if got != expected:
            raise harness.Finding(f"{convert.__name__}({text!r}) gave {got}, float() {expected}")


if __name__ == "__main__":
    harness.fuzz(test_one_input)
