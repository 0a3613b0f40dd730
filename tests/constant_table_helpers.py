"""Shared expectations of the constant table tests."""

import ast
from pathlib import Path

from helpers import load_probe  # noqa: F401 - shared with the tests

ROOT = Path(__file__).resolve().parents[1]
SOURCE_PATH = "src/kovi/kinematics/poe_fk.py"
FIRST_LINE = 30
BODY_LINES = range(123, 258)


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


def _segment(lines, line, end_line, col, end_col):
    if line == end_line:
        return lines[line - 1][col:end_col]
    return "\n".join([lines[line - 1][col:], *lines[line:end_line - 1],
                      lines[end_line - 1][:end_col]])


def check_code_locations(code):
    """The code object's locations point into the module's source: the def
    line first, then only whole expressions and statements of the body, and
    every statement of the body has an entry."""
    source = (ROOT / SOURCE_PATH).read_text(encoding="utf-8")
    lines = source.splitlines()
    func = next(node for node in ast.parse(source).body
                if isinstance(node, ast.FunctionDef) and node.name == "poe_forward_kinematics")

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

    statements = {node.lineno for stmt in func.body[1:] for node in ast.walk(stmt)
                  if isinstance(node, ast.stmt)}
    assert statements <= body, sorted(statements - body)
