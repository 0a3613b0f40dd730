"""Traceback entries of the module's native code and the code-object cache
behind them."""

import bisect
import traceback

import pytest
from helpers import (DEF_LINE, FUNCTION_NAME, INIT_NAME, REPO, SOURCE_PATH, run_python,
                     source_line, traceback_entries)

from kovi.robots._samples import sample_body
from kovi.kinematics.poe_fk import poe_forward_kinematics as fk

FN, INIT, SOURCE, entries = FUNCTION_NAME, INIT_NAME, SOURCE_PATH, traceback_entries
SOURCE_BYTES = SOURCE.encode()
SOURCE_LINES = (REPO / SOURCE).read_text().splitlines()


def raised_here(exc):
    """`exc` with a traceback of one entry, this function's."""
    try:
        raise exc
    except BaseException as caught:
        return caught


# ---- what the module's failures show ---------------------------------------

class Raiser:
    """A joint-value sequence whose item access raises a given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, i):
        raise self.exc


def test_body_failure_entries_and_source_text():
    # traceback.format_exception finds the source from the repository root
    exc = ValueError("bad joint value")
    with pytest.raises(ValueError) as info:
        fk(sample_body("panda"), Raiser(exc))
    # the exception raised inside is the one that arrives, not a copy
    assert info.value is exc
    got = entries(exc)
    assert got[0][1] == "test_body_failure_entries_and_source_text"
    read = source_line("qi = float(q[i])")
    assert got[1:3] == [(SOURCE, FN, DEF_LINE), (SOURCE, FN, read)]
    # the Python frame that raised stays innermost
    assert got[3][1] == "__getitem__" and len(got) == 4

    text = "".join(traceback.format_exception(exc))
    for line in (DEF_LINE, read):
        assert f'File "{SOURCE}", line {line}, in {FN}\n    {SOURCE_LINES[line - 1].strip()}\n' in text


# The statement of the module's source that each line of module execution
# and of the body stands for.
STATEMENTS = {
    "line_module": '"""Forward kinematics',
    "line_import_math": "import math",
    "line_import_numpy": "import numpy as np",
    "line_import_ndarray": "from numpy.typing import NDArray",
    "line_import_kinbody": "from kovi._kinbody import KinBody",
    "line_all": "__all__ = [",
    "line_def": "def poe_forward_kinematics(",
    "line_joints": "joints = kb.joints",
    "line_joint_count": "n = len(joints)",
    "line_joint": "joint = joints[i]",
    "line_axis": "axis = joint.axis",
    "line_axis_x": "ax = float(axis[0])",
    "line_joint_value": "qi = float(q[i])",
    "line_T_left": "T_left = joint.T_left",
    "line_T_left_elements": "l00 = float(T_left[0, 0])",
    "line_joint_type": "if joint.joint_type ==",
    "line_cos": "c = math.cos(qi)",
    "line_sin": "s = math.sin(qi)",
    "line_T_right": "T_right = joint.T_right",
    "line_T_right_elements": "t00 = float(T_right[0, 0])",
    "line_array": "return np.array(",
    "line_rows": "[[a00, a01, a02, a03],",
    "line_float64": "dtype=np.float64",
}


def test_generated_lines_are_those_of_the_statements(probe):
    # Every line the C++ reports, also those that no test can make fail
    # (the rows of the result, __all__).
    assert probe.source_lines() == {name: source_line(s) for name, s in STATEMENTS.items()}


@pytest.mark.parametrize("name", ["__builtins__", "__name__"])
def test_entries_survive_a_module_dict_without(name, native, monkeypatch):
    # Frames of the entries are made from the module's dict as globals.
    monkeypatch.delitem(vars(native), name)
    with pytest.raises(AttributeError) as info:
        fk(object(), [])
    assert entries(info.value)[1:] == [(SOURCE, FN, DEF_LINE),
                                       (SOURCE, FN, source_line("joints = kb.joints"))]


# ---- add_traceback ----------------------------------------------------------

@pytest.mark.parametrize("with_traceback", [True, False])
def test_entry_goes_in_front_and_exception_is_kept(probe, with_traceback):
    exc = raised_here(KeyError("k")) if with_traceback else KeyError("k")
    before = entries(exc)
    assert len(before) == with_traceback
    assert probe.add_traceback(exc, b"some.function", 777, SOURCE_BYTES) is exc
    assert entries(exc) == [(SOURCE, "some.function", 777)] + before
    assert exc.__traceback__.tb_frame.f_lineno == 777
    assert exc.__traceback__.tb_frame.f_globals["__name__"] == "_kovi_probe"


def test_nothing_pending_adds_nothing(probe):
    count = probe.traceback_cache_state()[0]
    assert probe.add_traceback(None, b"f", 779, SOURCE_BYTES) is None
    assert probe.traceback_cache_state()[0] == count


def test_code_object_failure_replaces_the_exception(probe):
    # an invalid UTF-8 name makes the code object fail: its error is what
    # stays pending, and nothing is cached
    state = probe.traceback_cache_state()
    exc = RuntimeError("original")
    got = probe.add_traceback(exc, b"\xff\xfe", 780, SOURCE_BYTES)
    assert isinstance(got, UnicodeDecodeError)
    assert exc.__traceback__ is None
    assert probe.traceback_cache_state() == state


# ---- the code cache -----------------------------------------------------------

def code_at(probe, name, line):
    exc = probe.add_traceback(RuntimeError(), name, line, SOURCE_BYTES)
    return exc.__traceback__.tb_frame.f_code


@pytest.mark.parametrize("line, cached", [(1001, True), (0, False)])
def test_same_line_reuses_one_code_object(probe, line, cached):
    first = code_at(probe, b"f", line)
    count = probe.traceback_cache_state()[0]
    second = code_at(probe, b"f", line)
    assert (second is first) == cached
    assert (probe.traceback_cache_code(line) is second) == cached
    assert probe.traceback_cache_state()[0] == count


def test_lines_stay_sorted(probe):
    for line in (2135, 2030, 2152):
        code_at(probe, b"f", line)
    lines = probe.traceback_cache_state()[2]
    assert lines == sorted(set(lines))
    assert [line for line in lines if 2000 <= line < 3000] == [2030, 2135, 2152]


@pytest.mark.parametrize(
    "line, first, second",
    [
        (3030, (INIT, SOURCE), (FN, SOURCE)),
        (3031, ("f", SOURCE), ("g", SOURCE)),
        (3032, ("f", SOURCE), ("f", "x.py")),
    ],
)
def test_entry_shows_the_names_it_was_given(probe, line, first, second):
    codes = []
    for name, file in (first, second, second, first):
        exc = probe.add_traceback(RuntimeError(), name.encode(), line, file.encode())
        assert entries(exc) == [(file, name, line)]
        codes.append(exc.__traceback__.tb_frame.f_code)
    # the newer names took the line over and were reused while they lasted
    assert codes[2] is codes[1]
    assert probe.traceback_cache_state()[2].count(line) == 1


def test_growth_keeps_every_entry():
    # exact figures need a cache nobody else has touched
    out = run_python("""
        import _kovi_probe as probe
        print(probe.traceback_cache_state())
        codes = {}
        for line in range(64, 0, -1):
            exc = probe.add_traceback(RuntimeError(), b"f", line * 10, b"x.py")
            codes[line * 10] = exc.__traceback__.tb_frame.f_code
        print(probe.traceback_cache_state()[:2])
        exc = probe.add_traceback(RuntimeError(), b"f", 5, b"x.py")
        codes[5] = exc.__traceback__.tb_frame.f_code
        count, capacity, lines = probe.traceback_cache_state()
        print((count, capacity), lines == sorted(codes))
        print(all(probe.traceback_cache_code(line) is code for line, code in codes.items()))
        """)
    assert out.splitlines() == ["(0, 0, [])", "(64, 64)", "(65, 128) True", "True"]


@pytest.mark.parametrize("size", range(0, 10))
def test_bisect_matches_bisect_left(probe, size):
    lines = [3 * k + 1 for k in range(size)]
    for line in range(-1, 3 * size + 3):
        assert probe.bisect_code_cache(lines, line) == bisect.bisect_left(lines, line), line
