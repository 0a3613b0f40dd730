"""The compressed constant table: its encoder, the LZSS decoder, the
decoding of the stored stream into the constant strings and the location
table, and the code object of poe_forward_kinematics that carries it."""

import ast
import importlib.util
import inspect
import random
import sys

import pytest
from helpers import DEF_LINE, REPO, SOURCE_PATH, assert_no_leak, run_python, source_line

from kovi.kinematics.poe_fk import poe_forward_kinematics

FIRST_LINE = DEF_LINE
BODY_LINES = range(source_line("a00 = 1.0"), source_line("dtype=np.float64") + 1)


def _block(prefix):
    return [f"{prefix}{row}{col}" for row in range(3) for col in range(4)]


# The 133 constant strings in table order: the four texts that are not
# names, then the names, each group sorted by UTF-8 bytes.
EXPECTED_TEXTS = [
    ".", "?", "NDArray[np.float64]", SOURCE_PATH,
    "KinBody", "NDArray", "T_left", "T_right", "__Kvi_PyDict_NextRef", "__all__",
    "__annotate__", "__class_getitem__", "__func__", "__main__", "__module__", "__name__",
    "__qualname__", "__test__", "_is_coroutine", *_block("a"), "array", "asyncio.coroutines",
    "ax", "axis", "ay", "az", *_block("b"), "c", "cline_in_traceback", "cos", "dtype",
    "float64", "i", "items", "joint_type", "joints", "kb", "kovi._kinbody",
    "kovi.kinematics.poe_fk", *_block("l"), *_block("m"), "math", "n", *_block("n"), "np",
    "numpy", "numpy.typing", "oc", "poe_forward_kinematics", "pop", "prismatic", "q", "qi",
    "r00", "r01", "r02", "r10", "r11", "r12", "r20", "r21", "r22", "s", "setdefault", "sin",
    *_block("t"), "values",
]
FIRST_INTERNED = 4

FAILURE = "LZSS string data decompression failed"
NATIVE_CODE = ("poe_forward_kinematics is native code: its code object describes it and cannot "
               "be run")


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
    assert plain[:652] == b"".join(texts)
    assert decoded[:-1] == EXPECTED_TEXTS
    assert decoded[-1] == plain[652:]
    assert len(decoded[-1]) == stored["line_table_size"] <= 2047
    # Bits 0-4 of each unit hold the length, the others are zero.
    assert list(stored["lengths"]) == list(map(len, texts))
    assert len(stream) < size


def test_names_are_interned_and_texts_are_not(probe, decoded):
    strings = decoded[:-1]
    # each name (such as "joints") is the very object of any other interned one
    for s in strings[FIRST_INTERNED:]:
        assert probe.is_interned(s), s
        assert sys.intern(fresh(s)) is s
    # "." and the two long texts stay plain strings.  "?" is not tested: a
    # one-character string is the interpreter's shared object, and the
    # interpreter itself has "?" interned.
    for s in (strings[0], strings[2], strings[3]):
        assert not probe.is_interned(s), s


def test_module_uses_the_interned_names(native):
    keys = {k: k for k in vars(native)}
    for name in ("math", "np", "NDArray", "KinBody", "__all__", "poe_forward_kinematics",
                 "__test__"):
        assert keys[name] is sys.intern(fresh(name))

    seen = []

    class Body:
        def __getattribute__(self, name):
            seen.append(name)
            raise AttributeError(name)

    with pytest.raises(AttributeError):
        native.poe_forward_kinematics(Body(), [])
    assert seen == ["joints"] and seen[0] is sys.intern("joints")


# ---- the code object of poe_forward_kinematics --------------------------------

def _segment(lines, line, end_line, col, end_col):
    if line == end_line:
        return lines[line - 1][col:end_col]
    return "\n".join([lines[line - 1][col:], *lines[line:end_line - 1],
                      lines[end_line - 1][:end_col]])


def test_code_locations_are_the_decoded_table_and_point_into_the_source(decoded):
    """The def line first, then only whole expressions and statements of the
    body, and every statement of the body has an entry."""
    code = poe_forward_kinematics.__code__
    assert code.co_linetable == decoded[-1]
    # The length of the instructions: the largest multiple of 4 not above
    # twice the table's length plus 4.
    assert len(code.co_code) == (2 * len(code.co_linetable) + 4) // 4 * 4
    assert code.co_firstlineno == FIRST_LINE and code.co_filename == SOURCE_PATH

    source = (REPO / SOURCE_PATH).read_text(encoding="utf-8")
    lines = source.splitlines()
    spans = list(code.co_lines())
    assert spans[0] == (0, 2, FIRST_LINE)
    body = {line for _, _, line in spans[1:]}
    assert body and all(line in BODY_LINES for line in body)

    positions = list(code.co_positions())
    assert positions[0] == (FIRST_LINE, FIRST_LINE, None, None)
    for line, end_line, col, end_col in positions[1:]:
        assert line in BODY_LINES and end_line in BODY_LINES and line <= end_line
        segment = _segment(lines, line, end_line, col, end_col)
        assert segment and segment == segment.strip(), (line, col, segment)
        ast.parse(segment)  # a whole expression or statement, not a fragment

    func = next(node for node in ast.parse(source).body
                if isinstance(node, ast.FunctionDef) and node.name == "poe_forward_kinematics")
    statements = {node.lineno for stmt in func.body[1:] for node in ast.walk(stmt)
                  if isinstance(node, ast.stmt)}
    assert statements <= body, sorted(statements - body)


def test_code_describes_the_function():
    code = poe_forward_kinematics.__code__
    assert code.co_name == code.co_qualname == "poe_forward_kinematics"
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (2, 0, 0)
    assert code.co_nlocals == 92 and code.co_flags == 3
    assert code.co_consts == (NATIVE_CODE,) and code.co_names == ()
    assert code.co_stacksize == 3 and code.co_exceptiontable == b""
    assert code.co_freevars == () and code.co_cellvars == ()
    assert code.co_varnames == ("kb", "q", "n", "i", "ax", "ay", "az", "qi", "c", "s", "oc",
                                "r00", "r01", "r02", "r10", "r11", "r12", "r20", "r21", "r22",
                                *[name for p in "lmtnab" for name in _block(p)])


# Each use of the instructions in a fresh interpreter: they used to be zero
# bytes, which crashed it.  run() calls a function made from the code object
# often enough for the interpreter to specialize its instructions.
USE_THE_CODE = """
    import dis, io, sys, traceback, types
    from helpers import source_line
    from kovi.kinematics.poe_fk import poe_forward_kinematics

    code = poe_forward_kinematics.__code__
    made = types.FunctionType(code, {})
    raising = next(i for i in dis.get_instructions(code) if i.opname == "RAISE_VARARGS")

    def run():
        for _ in range(8):
            try:
                made(None, None)
            except AssertionError as exc:
                frame, lineno = list(traceback.walk_tb(exc.__traceback__))[-1]
                assert frame.f_code is code and lineno == raising.positions.lineno, lineno
                print(exc)
            else:
                raise SystemExit("no exception")
"""

USES = {
    "call": "run()",
    "settrace": """
        seen, jumps = set(), []
        def tracer(frame, event, arg):
            if frame.f_code is code:
                seen.add(event)
                # Only the raising instructions are reachable: a jump to the
                # body's reads is refused, one back to the first line is made.
                for line in (source_line("joints = kb.joints"), source_line("a00 = 1.0")):
                    if event == "line" and len(jumps) < 2:
                        try:
                            frame.f_lineno = line
                            jumps.append("jumped")
                        except ValueError:
                            jumps.append("refused")
            return tracer
        sys.settrace(tracer)
        run()
        sys.settrace(None)
        assert seen == {"call", "line", "exception", "return"}, seen
        assert jumps == ["refused", "jumped"], jumps
    """,
    "monitoring": """
        events = sys.monitoring.events
        names = {getattr(events, n): n for n in dir(events) if n.isupper() and n != "NO_EVENTS"}
        seen = set()
        sys.monitoring.use_tool_id(2, "test")
        for event, name in names.items():
            sys.monitoring.register_callback(
                2, event, lambda where, *args, name=name: where is code and seen.add(name))
        sys.monitoring.set_events(2, sum(names))
        run()
        assert {"PY_START", "LINE", "INSTRUCTION", "CALL", "RAISE", "PY_UNWIND"} <= seen, seen
    """,
    "dis": """
        before, after = io.StringIO(), io.StringIO()
        dis.dis(code, file=before)
        run()
        dis.dis(code, file=after, adaptive=True, show_caches=True)
        assert "RAISE_VARARGS" in before.getvalue() and "RAISE_VARARGS" in after.getvalue()
    """,
}


@pytest.mark.parametrize("use", USES)
def test_running_the_code_object_raises_that_the_function_is_native(use):
    out = run_python(inspect.cleandoc(USE_THE_CODE) + "\n" + inspect.cleandoc(USES[use]))
    assert out.splitlines() == [NATIVE_CODE] * 8


def test_source_is_found_from_the_repository_root():
    # inspect.getsource takes Python functions, methods and code objects, not
    # the module's function: its code object stands in.
    lines = (REPO / SOURCE_PATH).read_text(encoding="utf-8").splitlines(keepends=True)
    assert inspect.getsource(poe_forward_kinematics.__code__) == \
        "".join(lines[FIRST_LINE - 1:BODY_LINES[-1]])


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
        "gen_constant_table", REPO / "tools" / "gen_constant_table.py")
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
