"""The fuzz targets' checks are live: each raises a finding for the kind of
fault it is there to catch (a pose a bit off, a conversion with another
result, a decoder that disagrees with the format, a wrong refusal, a
parser's stray error, file read or unsound body), and none for the real
code on the same input."""

import importlib
import random
from types import SimpleNamespace

import numpy as np
import pytest
from helpers import REPO

import kovi


@pytest.fixture
def target(probe, monkeypatch):
    monkeypatch.syspath_prepend(str(REPO / "fuzz"))
    return lambda name: importlib.import_module(f"fuzz_{name}")


def test_body_walk_catches_a_pose_one_bit_off(target, monkeypatch):
    walk = target("body_walk")
    rng = random.Random(5)
    while True:  # a well-formed chain with joints, which the module computes
        data = rng.randbytes(300)
        kind, pose, builder = walk.outcome(walk.native, data)
        if kind == "value" and builder.plain and len(builder.body.joints) > 1:
            break
    walk.test_one_input(data)
    monkeypatch.setattr(walk, "native", lambda kb, q: np.nextafter(walk.twin(kb, q), np.inf))
    with pytest.raises(AssertionError):
        walk.test_one_input(data)


@pytest.mark.parametrize("wrong", [lambda t: float(t) + 0.0, lambda t: float(t) * -1.0,
                                   lambda t: float(t.decode() + "x")])
def test_float_text_catches_another_result(target, monkeypatch, wrong):
    text = target("float_text")
    data = b"\x00-0"  # bytes "-0": -0.0, and an error type differing from none
    text.test_one_input(data)
    monkeypatch.setattr(text, "probe", SimpleNamespace(object_as_double=wrong, as_double=wrong))
    with pytest.raises(text.harness.Finding):
        text.test_one_input(data)


def test_constant_table_catches_a_decoder_off_by_one(target, monkeypatch):
    table = target("constant_table")
    data = b"\x01"  # the stored stream, unedited
    table.test_one_input(data)
    real = table.probe

    def decompress(stream, size):
        consumed, out = real.lzss_decompress(stream, size)
        return consumed + 1, out
    monkeypatch.setattr(table, "probe", SimpleNamespace(
        lzss_decompress=decompress, decode_string_data=real.decode_string_data))
    with pytest.raises(table.harness.Finding):
        table.test_one_input(data)


def accepted_chain_input(arrays, entry):
    """Input bytes for which the chain target calls `entry` on a chain with
    joints and expects a result."""
    rng = random.Random(7)
    while True:
        data = rng.randbytes(200)
        case = arrays.Case(data)
        given = case.values()
        if case.entry == entry and case.dof and not case.shares_memory and isinstance(
                arrays.expected_outcome(case, arrays.joint_values(given, lambda s: s == (case.dof,))),
                np.ndarray):
            return data


@pytest.mark.parametrize("fault", ["one bit off", "refused"])
def test_chain_arrays_catches_a_wrong_pose_or_refusal(target, monkeypatch, fault):
    arrays = target("chain_arrays")
    data = accepted_chain_input(arrays, "pose")
    arrays.test_one_input(data)
    real = arrays.call

    def wrong(case, given):
        if fault == "refused":
            raise ValueError("refused")
        return np.nextafter(real(case, given), np.inf)
    monkeypatch.setattr(arrays, "call", wrong)
    with pytest.raises(AssertionError):
        arrays.test_one_input(data)


def raise_key_error(kb):
    raise KeyError("link")


def open_a_file(kb):
    open(REPO / "README.md").close()


def bend_an_axis(kb):
    object.__setattr__(kb.joints[0], "axis", np.array([1.0, 1.0, 0.0]))


@pytest.mark.parametrize("fault, caught", [(raise_key_error, KeyError),
                                           (open_a_file, AssertionError),
                                           (bend_an_axis, AssertionError)])
def test_urdf_catches_other_errors_file_reads_and_bad_axes(target, monkeypatch, fault, caught):
    urdf = target("urdf")
    data = b"\x00" + kovi.robots.urdf_path("scara").read_bytes()  # the file as bytes
    urdf.test_one_input(data)
    real = kovi.KinBody.from_urdf

    def reader(*args):
        kb = real(*args)
        fault(kb)
        return kb
    monkeypatch.setattr(kovi.KinBody, "from_urdf", staticmethod(reader))
    with pytest.raises(caught):
        urdf.test_one_input(data)
