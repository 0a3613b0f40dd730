"""The code object of poe_forward_kinematics: its location table is the one
decoded from the constant table and points into the module's source."""

import inspect

import pytest
from constant_table_helpers import (
    FIRST_LINE,
    ROOT,
    SOURCE_PATH,
    check_code_locations,
    load_probe,
)

from kovi.kinematics.poe_fk import poe_forward_kinematics


@pytest.fixture(scope="module")
def code():
    return poe_forward_kinematics.__code__


def test_location_table_is_the_decoded_one(code):
    probe = load_probe()
    out = []
    probe.decode_string_data(probe.stored_string_data()["stream"], out)
    assert code.co_linetable == out[-1]
    # Zero instruction bytes: the largest multiple of 4 not above twice the
    # table's length plus 4.
    assert code.co_code == bytes((2 * len(code.co_linetable) + 4) // 4 * 4)


def test_locations_point_into_the_source(code):
    assert code.co_firstlineno == FIRST_LINE
    assert code.co_filename == SOURCE_PATH
    check_code_locations(code)


def test_code_describes_the_function(code):
    assert code.co_name == code.co_qualname == "poe_forward_kinematics"
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (2, 0, 0)
    assert code.co_nlocals == 92 and code.co_flags == 3
    assert code.co_consts == () and code.co_names == ()
    assert code.co_freevars == () and code.co_cellvars == ()
    blocks = [f"{p}{r}{c}" for p in "lmtnab" for r in range(3) for c in range(4)]
    assert code.co_varnames == ("kb", "q", "n", "i", "ax", "ay", "az", "qi", "c", "s", "oc",
                                "r00", "r01", "r02", "r10", "r11", "r12", "r20", "r21", "r22",
                                *blocks)


def test_source_is_found_from_the_repository_root(code, monkeypatch):
    # inspect.getsource takes Python functions, methods and code objects;
    # the module's function hands its code object.
    monkeypatch.chdir(ROOT)
    lines = (ROOT / SOURCE_PATH).read_text(encoding="utf-8").splitlines(keepends=True)
    assert inspect.getsource(code) == "".join(lines[FIRST_LINE - 1:257])
