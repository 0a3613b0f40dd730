"""The compressed constant table: its encoder, the LZSS decoder and the
decoding of the stored stream into the constant strings and the location
table of the function's code object."""

import importlib.util
import inspect
import random
import sys

import pytest
from constant_table_helpers import (
    EXPECTED_TEXTS,
    FIRST_INTERNED,
    FIRST_LINE,
    ROOT,
    SOURCE_PATH,
    check_code_locations,
)
from helpers import assert_no_leak

FAILURE = "LZSS string data decompression failed"


@pytest.fixture(scope="module")
def stored(probe):
    return probe.stored_string_data()


@pytest.fixture(scope="module")
def decoded(probe, stored):
    out = []
    probe.decode_string_data(stored["stream"], out)
    return out


def fresh(text):
    """An equal string made anew (one-character strings are shared)."""
    return "".join(list(text))


def stream_of(tokens):
    """Groups of eight tokens behind their flag byte; a token is a literal
    byte (int) or the raw bytes of a back-reference."""
    out = bytearray()
    for g in range(0, len(tokens), 8):
        group = tokens[g:g + 8]
        out.append(sum(1 << k for k, t in enumerate(group) if isinstance(t, int)))
        for t in group:
            out += bytes([t]) if isinstance(t, int) else t
    return bytes(out)


def walk(stream, size):
    """(kind, offset, byte count) of every flag byte and token of a
    well-formed stream, in order; kind is "flags" or the token's form."""
    items, i, produced = [], 0, 0
    while produced < size:
        flags = stream[i]
        items.append(("flags", i, 1))
        i += 1
        for bit in range(8):
            if produced >= size:
                break
            b1 = stream[i]
            if flags >> bit & 1:
                kind, count, length = "literal", 1, 1
            elif not b1 & 0x80:
                kind, count, length = "short", 2, stream[i + 1] + 3
            elif not stream[i + 1] & 0x80:
                kind, count, length = "medium", 2, (stream[i + 1] & 0x1F) + 3
            else:
                kind, count, length = "long", 3, stream[i + 2] + 3
            items.append((kind, i, count))
            i += count
            produced += length
    return items


# ---- the stored stream ------------------------------------------------------

def test_stored_stream_round_trips(probe, stored, decoded):
    stream, size = stored["stream"], stored["decompressed_size"]
    consumed, plain = probe.lzss_decompress(stream, size)
    assert consumed == len(stream)
    texts = [t.encode() for t in EXPECTED_TEXTS]
    assert stored["text_size"] == sum(map(len, texts)) == 652
    assert size == stored["text_size"] + stored["line_table_size"]
    # Entries 0-3 open the buffer back to back, all texts follow in order,
    # and the location table fills the rest.
    assert plain.startswith(b".?NDArray[np.float64]src/kovi/kinematics/poe_fk.py")
    assert plain[:652] == b"".join(texts)
    assert decoded[:-1] == EXPECTED_TEXTS
    assert decoded[-1] == plain[652:]
    assert len(decoded[-1]) == stored["line_table_size"] <= 2047
    # Bits 0-4 of each unit hold the length, the others are zero.
    assert list(stored["lengths"]) == list(map(len, texts))
    assert len(stream) < size


def test_names_are_interned_and_texts_are_not(probe, decoded):
    strings = decoded[:-1]
    for s in strings[FIRST_INTERNED:]:
        assert probe.is_interned(s), s
        assert sys.intern(fresh(s)) is s
    joints = strings[EXPECTED_TEXTS.index("joints")]
    assert joints == "joints" and joints is sys.intern("joints")
    # "." and the two long texts stay plain strings.  "?" is not tested: a
    # one-character string is the interpreter's shared object, and the
    # interpreter itself has "?" interned.
    for s in (strings[0], strings[2], strings[3]):
        assert not probe.is_interned(s), s


def test_module_uses_the_interned_names():
    import kovi.kinematics.poe_fk as poe_fk

    keys = {k: k for k in vars(poe_fk)}
    for name in ("math", "np", "NDArray", "KinBody", "__all__", "poe_forward_kinematics",
                 "__test__"):
        assert keys[name] is sys.intern(fresh(name))

    seen = []

    class Body:
        def __getattribute__(self, name):
            seen.append(name)
            raise AttributeError(name)

    with pytest.raises(AttributeError):
        poe_fk.poe_forward_kinematics(Body(), [])
    assert seen == ["joints"] and seen[0] is sys.intern("joints")


def test_location_table_points_into_the_source(decoded, monkeypatch):
    line_table = decoded[-1]
    code = (lambda kb, q: None).__code__.replace(
        co_code=bytes((2 * len(line_table) + 4) // 4 * 4), co_linetable=line_table,
        co_exceptiontable=b"", co_consts=(), co_names=(), co_firstlineno=FIRST_LINE,
        co_filename=SOURCE_PATH, co_name="poe_forward_kinematics")
    check_code_locations(code)
    monkeypatch.chdir(ROOT)
    assert inspect.getsource(code).startswith(
        'def poe_forward_kinematics(kb: "KinBody", q: "NDArray[np.float64]"):\n')


# ---- the decoder ------------------------------------------------------------

PREFIX = random.Random(6).randbytes(600)


@pytest.mark.parametrize("prefix, reference, distance, length", [
    (b"abc", b"\x00\x00", 0, 3),              # repeats the bytes just produced
    (PREFIX[:8], b"\x05\x00", 5, 3),           # short
    (PREFIX[:600], b"\x85\x7f", 517, 34),      # medium
    (PREFIX[:304], b"\x85\x81\x00", 261, 3),   # long
], ids=["distance-0", "short", "medium", "long"])
def test_back_reference_forms(probe, prefix, reference, distance, length):
    stream = stream_of(list(prefix) + [reference])
    p = len(prefix)
    expected = prefix + prefix[p - distance - length:p - distance]
    assert probe.lzss_decompress(stream, len(expected)) == (len(stream), expected)


def test_decoding_stops_at_the_output_size(probe):
    # The remaining flag bits and bytes of a group are left unread.
    stream = stream_of([ord("a"), ord("b"), ord("c"), b"\x00\x00", ord("x")])
    assert probe.lzss_decompress(stream, 6) == (6, b"abcabc")
    assert probe.lzss_decompress(stream, 3) == (4, b"abc")


@pytest.mark.parametrize("stream, size", [
    (stream_of([b"\x00\x00"]), 3),                                 # before the start
    (stream_of([ord("a"), ord("b"), b"\x00\x00"]), 5),             # one byte before it
    (stream_of(list(PREFIX[:100]) + [b"\x85\x00"]), 103),          # medium, 133 back
    (stream_of(list(PREFIX[:200]) + [b"\x85\x81\x00"]), 203),      # long, 261 back
    (stream_of([ord("a"), ord("b"), ord("c"), b"\x00\x00"]), 5),   # past the end
    (stream_of(list(PREFIX[:300]) + [b"\x00\x08"]), 310),          # 11 bytes, 10 fit
    (b"", 1),                                                      # no flag byte
    (b"\x01", 1),                                                  # no literal
    (b"\x00\x00", 3),                                              # B2 missing
    (b"\xff" + PREFIX[:8] + b"\x00\x85\x81", 11),                  # B3 missing
], ids=["start", "start-1", "medium-start", "long-start", "end", "long-end",
        "no-flags", "no-literal", "no-b2", "no-b3"])
def test_decoder_rejects_out_of_bounds_streams(probe, stream, size):
    assert probe.lzss_decompress(stream, size) == (-1, None)


# ---- the table decoding on damaged streams -----------------------------------

def _damaged(stored, how):
    stream = bytearray(stored["stream"])
    size = stored["decompressed_size"]
    if how == "flipped-flag":
        stream[0] ^= 0x01  # the first token turns into a reference at P = 0
    elif how == "truncated-1":
        del stream[-1]
    elif how == "truncated-half":
        del stream[len(stream) // 2:]
    elif how == "empty":
        stream.clear()
    elif how == "extended":
        stream.append(0)
    elif how == "before-start":
        stream = stream_of([0x41, b"\x00\xff"])
    elif how == "past-end":
        stream = stream_of(list(bytes(size - 1)) + [b"\x00\x00"])
    return bytes(stream)


@pytest.mark.parametrize("how", ["flipped-flag", "truncated-1", "truncated-half", "empty",
                                 "extended", "before-start", "past-end"])
def test_damaged_stream_makes_no_string(probe, stored, how):
    out = ["untouched"]
    with pytest.raises(RuntimeError) as info:
        probe.decode_string_data(_damaged(stored, how), out)
    assert str(info.value) == FAILURE
    assert out == [None] * (len(EXPECTED_TEXTS) + 1)


@pytest.mark.parametrize("how", [None, "truncated-1", "extended"])
def test_decoding_keeps_nothing_behind(probe, stored, how):
    stream = _damaged(stored, how) if how else stored["stream"]
    assert_no_leak(lambda: probe.decode_string_data(stream, []), [],
                   RuntimeError if how else None, calls=300)


def test_every_flipped_byte_is_caught_or_confined(probe, stored):
    """Flip every byte of the stored stream in turn.  A damaged flag byte
    breaks the stream's structure and fails cleanly, making nothing, as do
    most damaged back-references; the format carries no checksum, so a
    damaged literal (or a reference that stays in bounds) only changes the
    decoded bytes, which may then be bad UTF-8.  Under AddressSanitizer no
    case reads or writes outside the buffers."""
    stream, size = stored["stream"], stored["decompressed_size"]
    expected = EXPECTED_TEXTS + [probe.lzss_decompress(stream, size)[1][652:]]
    failed = {"flags": 0, "reference": 0}
    for kind, offset, count in walk(stream, size):
        for i in range(offset, offset + count):
            damaged = stream[:i] + bytes([stream[i] ^ 0xFF]) + stream[i + 1:]
            out = []
            try:
                probe.decode_string_data(damaged, out)
            except RuntimeError as e:
                assert kind != "literal"
                assert str(e) == FAILURE and out == [None] * len(expected)
                failed["flags" if kind == "flags" else "reference"] += 1
            except UnicodeDecodeError:
                assert kind != "flags"
            else:
                assert kind != "flags" and None not in out
                if kind == "literal":
                    assert out != expected
    flag_bytes = sum(kind == "flags" for kind, _, _ in walk(stream, size))
    assert failed["flags"] == flag_bytes
    assert failed["reference"] > 0


def test_invalid_utf8_keeps_the_strings_made_before(probe, stored):
    _, plain = probe.lzss_decompress(stored["stream"], stored["decompressed_size"])
    offset = sum(len(t.encode()) for t in EXPECTED_TEXTS[:5])
    bad = plain[:offset] + b"\xff" + plain[offset + 1:]
    out = []
    with pytest.raises(UnicodeDecodeError):
        probe.decode_string_data(stream_of(list(bad)), out)
    assert out[:5] == EXPECTED_TEXTS[:5]
    assert out[5:] == [None] * (len(EXPECTED_TEXTS) + 1 - 5)


# ---- the encoder ------------------------------------------------------------

@pytest.fixture(scope="module")
def encoder():
    found = importlib.util.spec_from_file_location(
        "gen_constant_table", ROOT / "tools" / "gen_constant_table.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_encoder_uses_each_form_where_it_pays(probe, encoder):
    rng = random.Random(12)
    block = rng.randbytes(120)
    # Repeats that only a short, only a medium and only a long reference
    # can carry, among bytes that repeat nothing.
    data = (block + rng.randbytes(40) + block[100:]       # 20 bytes, 40 back: short
            + rng.randbytes(300) + block[:30]              # 30 bytes, 450 back: medium
            + rng.randbytes(200) + block[:100]             # 100 bytes, 610 back: long
            + rng.randbytes(900) + block[40:44])           # 4 bytes, 956 back: long
    stream = encoder.lzss_stream(encoder.lzss_tokens(data))
    forms = [kind for kind, _, _ in walk(stream, len(data)) if kind != "flags"]
    assert forms.count("short") == 1 and forms.count("medium") == 1
    assert forms.count("long") == 2
    assert probe.lzss_decompress(stream, len(data)) == (len(stream), data)
    # Nothing else is referenced: the stream is the other bytes as literals,
    # the four references and one flag byte per eight tokens.
    refs = 20 + 30 + 100 + 4
    assert len(stream) == (len(data) - refs) + 2 + 2 + 3 + 3 + -(-len(forms) // 8)
