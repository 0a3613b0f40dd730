"""Calls release everything they take, on success and on every failure."""

import numpy as np
import pytest
from chains import random_chain
from helpers import assert_no_leak
from test_body_reads import CASES


def objects_of(kb, q):
    """The inputs and everything the function reads from them (but their
    strings, which are interned and keep no count)."""
    objs = [kb, q, kb.joints] if hasattr(kb, "joints") else [kb, q]
    for record in getattr(kb, "joints", ()) if isinstance(getattr(kb, "joints", None), list) else ():
        objs.append(record)
        objs.extend(v for v in vars(record).values() if not isinstance(v, str))
    return objs


def test_successful_calls_leak_nothing(fk):
    kb, q = random_chain(np.random.default_rng(5), 6)
    assert_no_leak(lambda: fk(kb, q), objects_of(kb, q))


@pytest.mark.parametrize("name", sorted(CASES))
def test_failing_calls_leak_nothing(fk, name):
    make, exc_type, _ = CASES[name]
    kb, q = make()
    assert_no_leak(lambda: fk(kb, q), objects_of(kb, q), exc_type)
