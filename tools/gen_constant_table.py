"""Build-time encoder of the module's constant table.

Reads the constant texts from the comments of the string enumeration in
src/kovi/kinematics/constant_table.hpp and the positions of the statements
of ``poe_forward_kinematics`` in src/kovi/kinematics/poe_fk.py, builds the
location table of the function's code object in the interpreter's 3.12
format, and writes a C++ header holding the length table and one LZSS
stream that decompresses to the texts followed by the location table.

Stream format: groups of one flag byte and up to eight tokens; flag bit k
(bit 0 first) set means the k-th token is a literal byte, clear means a
back-reference copying L bytes that end D bytes before the current output
position:

    short   B1 < 0x80                    D = B1 (0-127),  L = B2 + 3
    medium  B1 >= 0x80, B2 < 0x80        D = 128-639,     L = 3-34
    long    B1 >= 0x80, B2 >= 0x80, B3   D = 128-16511,   L = B3 + 3

The parse is optimal in bits (literal 9, two-byte reference 17, three-byte
reference 25), so each form is used exactly where it pays.  The stream is
decoded again here before it is written, and the build fails if it does not
give back the input.

It also writes the source lines that the module's traceback entries
report into a second header: each is the line of the statement of poe_fk.py
doing that step, found by the statement's text, so that the C++ keeps no
line number of its own and an edit of the source cannot leave a traceback
pointing at the wrong line.

Usage: gen_constant_table.py --table HPP --source PY --output HPP --lines-output HPP
"""

from __future__ import annotations

import argparse
import ast
import json
import re
import sys

FUNCTION = "poe_forward_kinematics"
ENTRY_RE = re.compile(r'^\s*(\w+),\s*//\s*(".*")\s*$')

# Location-table entry kinds of 3.12 code objects (Objects/locations.md).
SHORT_FORM_MAX = 9
ONE_LINE_FORM = 10
NO_COLUMNS = 13
LONG_FORM = 14


def read_texts(table_path: str) -> list[str]:
    texts = []
    with open(table_path, encoding="utf-8") as f:
        for line in f:
            m = ENTRY_RE.match(line)
            if m:
                texts.append(json.loads(m.group(2)))
    return texts


def _varint(value: int) -> bytes:
    out = bytearray()
    while value >= 64:
        out.append(0x40 | (value & 63))
        value >>= 6
    out.append(value)
    return bytes(out)


def _signed_varint(value: int) -> bytes:
    return _varint((-value << 1) | 1 if value < 0 else value << 1)


def _entry(code: int, units: int = 1) -> int:
    return 0x80 | (code << 3) | (units - 1)


def encode_positions(first_line: int, positions: list[tuple[int, int, int, int]]) -> bytes:
    """One entry of one code unit per position; the first unit at `first_line`."""
    out = bytearray([_entry(NO_COLUMNS)])
    out += _signed_varint(0)
    prev = first_line
    for line, end_line, col, end_col in positions:
        delta = line - prev
        if end_line == line and delta == 0 and col < 80 and 0 <= end_col - col < 16:
            out.append(_entry(col // 8))
            out.append(((col % 8) << 4) | (end_col - col))
        elif end_line == line and 0 <= delta <= 2 and col < 256 and end_col < 256:
            out.append(_entry(ONE_LINE_FORM + delta))
            out += bytes([col, end_col])
        else:
            out.append(_entry(LONG_FORM))
            out += _signed_varint(delta)
            out += _varint(end_line - line)
            out += _varint(col + 1)
            out += _varint(end_col + 1)
        prev = line
    return bytes(out)


def _failing_positions(node: ast.AST, out: list) -> None:
    """Positions of the operations that can fail, inner ones first, then the
    statement itself, in source order; compound statements give their
    headers and then their bodies."""
    if isinstance(node, (ast.For, ast.If)):
        header = node.iter if isinstance(node, ast.For) else node.test
        _failing_positions(header, out)
        for child in node.body + node.orelse:
            _failing_positions(child, out)
        return
    for child in ast.iter_child_nodes(node):
        _failing_positions(child, out)
    if isinstance(node, (ast.stmt, ast.Attribute, ast.Subscript, ast.Call)):
        out.append((node.lineno, node.end_lineno, node.col_offset, node.end_col_offset))


def parse_source(source_path: str) -> tuple[ast.Module, ast.FunctionDef]:
    with open(source_path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), source_path)
    func = next(n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == FUNCTION)
    return tree, func


def body_positions(func: ast.FunctionDef) -> list[tuple[int, int, int, int]]:
    positions: list = []
    for stmt in func.body[1:]:  # the docstring has no entry
        _failing_positions(stmt, positions)
    return positions


# ---- source lines -----------------------------------------------------------

# The module's statements that module execution reports, by their text as
# ast.unparse writes it (C++ name, statement); the module itself stands at
# its first line.
MODULE_STATEMENTS = [
    ("line_import_math", "import math"),
    ("line_import_numpy", "import numpy as np"),
    ("line_import_ndarray", "from numpy.typing import NDArray"),
    ("line_import_kinbody", "from kovi._kinbody import KinBody"),
    ("line_all", "__all__ = ['poe_forward_kinematics']"),
]

# The reads of the body: the statement doing each one (an ``if`` by its
# test).  The C++ finds the lines of ay and az, and of the elements of
# T_left and T_right, from the first one's line, so those statements must
# follow it line by line; that is checked below.
BODY_STATEMENTS = [
    ("line_joints", "joints = kb.joints"),
    ("line_joint_count", "n = len(joints)"),
    ("line_joint", "joint = joints[i]"),
    ("line_axis", "axis = joint.axis"),
    ("line_axis_x", "ax = float(axis[0])"),
    ("line_joint_value", "qi = float(q[i])"),
    ("line_T_left", "T_left = joint.T_left"),
    ("line_T_left_elements", "l00 = float(T_left[0, 0])"),
    ("line_joint_type", "if joint.joint_type == 'prismatic'"),
    ("line_cos", "c = math.cos(qi)"),
    ("line_sin", "s = math.sin(qi)"),
    ("line_T_right", "T_right = joint.T_right"),
    ("line_T_right_elements", "t00 = float(T_right[0, 0])"),
]
RUNS = [
    ("line_axis_x", [f"{name} = float(axis[{k}])" for k, name in enumerate(("ax", "ay", "az"))]),
    *[(f"line_{block}_elements",
       [f"{prefix}{r}{c} = float({block}[{r}, {c}])" for r in range(3) for c in range(4)])
      for prefix, block in (("l", "T_left"), ("t", "T_right"))],
]


def statement_lines(nodes) -> dict[str, list[int]]:
    """The lines of every statement below `nodes`, by text; a compound
    statement by its header (``if`` and its test)."""
    lines: dict[str, list[int]] = {}
    for top in nodes:
        for node in ast.walk(top):
            if isinstance(node, ast.If):
                text = "if " + ast.unparse(node.test)
            elif isinstance(node, ast.stmt) and not isinstance(node, (ast.For, ast.FunctionDef)):
                text = ast.unparse(node)
            else:
                continue
            lines.setdefault(text, []).append(node.lineno)
    return lines


def find_line(lines: dict[str, list[int]], text: str, source_path: str) -> int:
    found = lines.get(text, [])
    if len(found) != 1:
        sys.exit(f"{source_path}: the statement `{text}` stands {len(found)} times, not once")
    return found[0]


def source_lines(tree: ast.Module, func: ast.FunctionDef,
                 source_path: str) -> tuple[list[tuple[str, int, str]], list[tuple[str, int, str]]]:
    """(C++ name, line, what stands there) of module execution and of the body."""
    module_lines = statement_lines(tree.body[:tree.body.index(func)])
    exec_lines = [("line_module", 1, "the module itself")]
    exec_lines += [(name, find_line(module_lines, text, source_path), text)
                   for name, text in MODULE_STATEMENTS]
    exec_lines.append(("line_def", func.lineno, f"def {FUNCTION}(...)"))

    body_lines = statement_lines(func.body)
    found = {name: find_line(body_lines, text, source_path) for name, text in BODY_STATEMENTS}
    for name, texts in RUNS:
        lines = [find_line(body_lines, text, source_path) for text in texts]
        if lines != list(range(found[name], found[name] + len(texts))):
            sys.exit(f"{source_path}: `{texts[0]}` .. `{texts[-1]}` must stand on consecutive lines")
    body = [(name, found[name], text) for name, text in BODY_STATEMENTS]
    # The result: np.array(rows, dtype=np.float64) with its parts on the
    # lines of the return statement.
    returns = [n for n in ast.walk(func) if isinstance(n, ast.Return)]
    call = returns[0].value if len(returns) == 1 else None
    if not (isinstance(call, ast.Call) and ast.unparse(call.func) == "np.array" and
            len(call.args) == 1 and [k.arg for k in call.keywords] == ["dtype"] and
            ast.unparse(call.keywords[0].value) == "np.float64"):
        sys.exit(f"{source_path}: {FUNCTION} must end in one `return np.array(rows, dtype=np.float64)`")
    body += [("line_array", call.func.lineno, "return np.array("),
             ("line_rows", call.args[0].lineno, "the rows of the result"),
             ("line_float64", call.keywords[0].value.lineno, "dtype=np.float64")]
    return exec_lines, body


def enum_lines(entries: list[tuple[str, int, str]]) -> str:
    return "\n".join(f"    {name} = {line},".ljust(36) + f"// {text}" for name, line, text in entries)


def write_lines_header(path: str, source_path: str, exec_lines, body_lines) -> None:
    named = ",\n".join(f'    {{"{name}", {name}}}' for name, _, _ in exec_lines + body_lines)
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"""// Generated by tools/gen_constant_table.py from {source_path}; do not edit.
//
// The lines of the module's source that its traceback entries report: each
// is the line of the statement of the source doing that step.
#pragma once

namespace kovi {{

// Module execution: the module itself, its imports and bindings, the def.
enum ExecLine : int {{
{enum_lines(exec_lines)}
}};

// The reads of poe_forward_kinematics.  ay and az follow ax line by line, and
// the element (J, K) of a transform stands 4 * J + K lines after its first.
enum SourceLine : int {{
{enum_lines(body_lines)}
}};

struct NamedSourceLine {{
    const char *name;
    int line;
}};

// Every line above by its name, for the tests.
inline constexpr NamedSourceLine named_source_lines[] = {{
{named},
}};

}}  // namespace kovi
""")


# ---- LZSS -----------------------------------------------------------------

MIN_LENGTH = 3
MAX_LENGTH = 258
SHORT_MAX_DISTANCE = 127
MEDIUM_MAX_DISTANCE = 639
MEDIUM_MAX_LENGTH = 34
LONG_MAX_DISTANCE = 16511
LITERAL_BITS = 9  # the flag bit and the byte


def reference_size(distance: int, length: int) -> int:
    """Bytes of the cheapest form that can carry this back-reference."""
    if distance <= SHORT_MAX_DISTANCE:
        return 2
    if distance <= MEDIUM_MAX_DISTANCE and length <= MEDIUM_MAX_LENGTH:
        return 2
    return 3


def encode_reference(distance: int, length: int) -> bytes:
    if distance <= SHORT_MAX_DISTANCE:
        return bytes([distance, length - MIN_LENGTH])
    far = distance - 128
    if distance <= MEDIUM_MAX_DISTANCE and length <= MEDIUM_MAX_LENGTH:
        return bytes([0x80 | (far & 0x7F), ((far >> 7) << 5) | (length - MIN_LENGTH)])
    return bytes([0x80 | (far & 0x7F), 0x80 | (far >> 7), length - MIN_LENGTH])


def match_options(data: bytes, p: int, sources: list[int]) -> dict[int, tuple[int, int]]:
    """For each usable length at `p`: (bits, distance) of its cheapest reference.

    `sources` are the earlier positions whose first three bytes equal those
    at `p` and that end at or before `p`; a source may not overlap the bytes
    being written, so the copy of L bytes from s needs s + L <= p.
    """
    best: dict[int, tuple[int, int]] = {}
    limit = min(MAX_LENGTH, len(data) - p)
    for s in reversed(sources):  # nearest first: short distances win ties
        span = p - s  # distance + length
        if span - MIN_LENGTH > LONG_MAX_DISTANCE:
            break
        cap = min(limit, span)
        if cap < MIN_LENGTH:
            continue
        m = MIN_LENGTH
        while m < cap and data[s + m] == data[p + m]:
            m += 1
        for length in range(max(MIN_LENGTH, span - LONG_MAX_DISTANCE), m + 1):
            distance = span - length
            bits = 8 * reference_size(distance, length) + 1
            known = best.get(length)
            if known is None or bits < known[0]:
                best[length] = (bits, distance)
    return best


def lzss_tokens(data: bytes) -> list[tuple[int, int] | int]:
    """An optimal parse: literal bytes (int) and (distance, length) references."""
    n = len(data)
    sources: dict[bytes, list[int]] = {}
    options = []
    for p in range(n):
        s = p - MIN_LENGTH
        if s >= 0:
            sources.setdefault(data[s:s + MIN_LENGTH], []).append(s)
        key = data[p:p + MIN_LENGTH]
        options.append(match_options(data, p, sources.get(key, [])) if len(key) == MIN_LENGTH else {})
    cost = [0] * (n + 1)
    choice: list[tuple[int, int] | None] = [None] * n
    for p in range(n - 1, -1, -1):
        cost[p] = LITERAL_BITS + cost[p + 1]
        for length, (bits, distance) in options[p].items():
            if bits + cost[p + length] < cost[p]:
                cost[p] = bits + cost[p + length]
                choice[p] = (distance, length)
    tokens: list[tuple[int, int] | int] = []
    p = 0
    while p < n:
        if choice[p] is None:
            tokens.append(data[p])
            p += 1
        else:
            tokens.append(choice[p])
            p += choice[p][1]
    return tokens


def lzss_stream(tokens: list[tuple[int, int] | int]) -> bytes:
    out = bytearray()
    for g in range(0, len(tokens), 8):
        group = tokens[g:g + 8]
        flags = sum(1 << k for k, t in enumerate(group) if isinstance(t, int))
        out.append(flags)
        for t in group:
            out += bytes([t]) if isinstance(t, int) else encode_reference(*t)
    return bytes(out)


def lzss_decode(stream: bytes, size: int) -> tuple[bytes, int]:
    """The module's decoder, for the check at build time: (output, consumed)."""
    out = bytearray()
    i = 0
    while len(out) < size:
        flags = stream[i]
        i += 1
        for bit in range(8):
            if len(out) >= size:
                break
            if flags >> bit & 1:
                out.append(stream[i])
                i += 1
                continue
            b1, b2 = stream[i], stream[i + 1]
            i += 2
            if not b1 & 0x80:
                distance, length = b1, b2 + 3
            elif not b2 & 0x80:
                distance = ((b2 >> 5 & 3) << 7 | b1 & 0x7F) + 128
                length = (b2 & 0x1F) + 3
            else:
                distance = ((b2 & 0x7F) << 7 | b1 & 0x7F) + 128
                length = stream[i] + 3
                i += 1
            start = len(out) - distance - length
            if start < 0 or len(out) + length > size:
                raise ValueError("back-reference out of bounds")
            out += out[start:start + length]
    return bytes(out), i


def form_counts(tokens: list[tuple[int, int] | int]) -> dict[str, int]:
    counts = {"literal": 0, "short": 0, "medium": 0, "long": 0}
    for t in tokens:
        if isinstance(t, int):
            counts["literal"] += 1
        elif t[0] <= SHORT_MAX_DISTANCE:
            counts["short"] += 1
        else:
            counts["medium" if len(encode_reference(*t)) == 2 else "long"] += 1
    return counts


# ---- output ---------------------------------------------------------------

MAX_TEXT_LENGTH = 31         # the length field of a unit has five bits
MAX_LINE_TABLE_SIZE = 2047   # the decoder holds the table's size in eleven bits


def c_bytes(data, indent: str = "    ") -> str:
    rows = []
    for i in range(0, len(data), 12):
        rows.append(indent + ", ".join(f"0x{b:02x}" for b in data[i:i + 12]) + ",")
    return "\n".join(rows)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--table", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--output", required=True)
    ap.add_argument("--lines-output", required=True)
    args = ap.parse_args()

    texts = read_texts(args.table)
    encoded = [t.encode("utf-8") for t in texts]
    if not texts or any(len(e) > MAX_TEXT_LENGTH for e in encoded):
        sys.exit(f"{args.table}: no texts found, or a text longer than {MAX_TEXT_LENGTH} bytes")
    tree, func = parse_source(args.source)
    exec_lines, body_lines = source_lines(tree, func, args.source)
    write_lines_header(args.lines_output, args.source, exec_lines, body_lines)
    line_table = encode_positions(func.lineno, body_positions(func))
    if len(line_table) > MAX_LINE_TABLE_SIZE:
        sys.exit(f"{args.source}: the location table takes {len(line_table)} bytes, "
                 f"more than {MAX_LINE_TABLE_SIZE}")
    text_bytes = b"".join(encoded)
    plain = text_bytes + line_table

    tokens = lzss_tokens(plain)
    stream = lzss_stream(tokens)
    if lzss_decode(stream, len(plain)) != (plain, len(stream)):
        sys.exit("gen_constant_table.py: the LZSS stream does not decode to its input")
    counts = form_counts(tokens)

    with open(args.output, "w", encoding="utf-8") as f:
        f.write(f"""// Generated by tools/gen_constant_table.py from {args.table}
// and {args.source}; do not edit.
//
// {len(plain)} bytes ({len(text_bytes)} of texts, {len(line_table)} of location table) in a
// {len(stream)}-byte LZSS stream: {counts['literal']} literals, {counts['short']} short,
// {counts['medium']} medium and {counts['long']} long back-references.
#pragma once

#include <cstdint>

namespace kovi::constant_table_data {{

constexpr int text_count = {len(texts)};
constexpr long text_size = {len(text_bytes)};
constexpr long line_table_size = {len(line_table)};
constexpr long decompressed_size = text_size + line_table_size;
// The decoder must consume exactly this many bytes.
constexpr long string_data_size = {len(stream)};

// Bits 0-4: the length in bytes of each text, in table order.
constexpr std::uint32_t length_table[text_count] = {{
{c_bytes(bytes(len(e) for e in encoded))}
}};

constexpr unsigned char string_data[string_data_size] = {{
{c_bytes(stream)}
}};

}}  // namespace kovi::constant_table_data
""")


if __name__ == "__main__":
    main()
