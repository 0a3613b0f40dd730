"""The fuzz targets' checks are live: each raises a finding for the kind of
fault it is there to catch (a pose a bit off, a conversion with another
result, a decoder that disagrees with the format), and none for the real
code on the same input."""

import importlib
import random
from types import SimpleNamespace

import numpy as np
import pytest
from helpers import REPO

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
