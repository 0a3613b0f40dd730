"""Calls release everything they take, on success and on every failure."""

import gc
import sys
import tracemalloc

import numpy as np
import pytest

from chains import random_chain
from test_body_reads import CASES

CALLS = 2000


def objects_of(kb, q):
    """The inputs and everything the function reads from them."""
    objs = [kb, q, kb.joints] if hasattr(kb, "joints") else [kb, q]
    for record in getattr(kb, "joints", ()) if isinstance(getattr(kb, "joints", None), list) else ():
        objs.append(record)
        objs.extend(vars(record).values())
    return objs


def leak_check(call, watched):
    """Runs `call` many times; returns the change of the watched objects'
    reference counts and of the traced memory."""
    for _ in range(50):          # warm up caches of the interpreter and the module
        call()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    for _ in range(CALLS):
        call()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    after = [sys.getrefcount(o) for o in watched]
    return [a - b for a, b in zip(after, before)], grown


def test_successful_calls_leak_nothing(fk):
    kb, q = random_chain(np.random.default_rng(5), 6)
    watched = objects_of(kb, q)
    deltas, grown = leak_check(lambda: fk(kb, q), watched)
    assert deltas == [0] * len(watched)
    assert grown < 64 * 1024  # twelve floats a call leaked would be ~1.5 MB


@pytest.mark.parametrize("name", sorted(CASES))
def test_failing_calls_leak_nothing(fk, name):
    make, exc_type, _ = CASES[name]
    kb, q = make()
    watched = objects_of(kb, q)

    def call():
        try:
            fk(kb, q)
        except exc_type:
            pass
        else:
            raise AssertionError("the call should fail")

    deltas, grown = leak_check(call, watched)
    assert deltas == [0] * len(watched)
    assert grown < 64 * 1024
