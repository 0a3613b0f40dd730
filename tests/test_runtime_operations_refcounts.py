"""The runtime operations keep no reference they took, on success and on
every failure, and leave no temporary behind.  (The module's body is
checked with its failures, in test_body_reads.)"""

import collections
import math

import numpy as np
import pytest
from helpers import assert_no_leak
from test_float_conversion import dunder_float
from test_object_access import ClassGetItem, Dynamic, Plain, SequenceOnly


def cases():
    lst, tup, d = [[1.0], [2.0]], ([1.0], [2.0]), {10**15: [3.0]}
    deque = collections.deque([[1.0], [2.0]])
    seq, plain, dyn, array = SequenceOnly(), Plain(), Dynamic(), np.ones((4, 4))
    big_key, key_tuple = 10**30, (0, 1)
    return [
        # name, operation, arguments (watched), expected exception
        ("list item", "get_item_int", (lst, 1, True), None),
        ("list item, out of range", "get_item_int", (lst, 5, True), IndexError),
        ("tuple item, out of range", "get_item_int", (tup, -5, False), IndexError),
        ("dict integer key", "get_item_int", (d, 10**15, True), None),
        ("dict missing key", "get_item_int", (d, 10**16, True), KeyError),
        ("sequence-only item", "get_item_int", (seq, -1, True), None),
        ("sequence-only, out of range", "get_item_int", (deque, 7, True), IndexError),
        ("array with tuple key", "get_item", (array, key_tuple), None),
        ("list with tuple key", "get_item", (lst, key_tuple), TypeError),
        ("deque with big key", "get_item", (deque, big_key), IndexError),
        ("deque with str key", "get_item", (deque, "x"), TypeError),
        ("class getitem", "get_item", (ClassGetItem, lst), None),
        ("not subscriptable", "get_item", (plain, lst), TypeError),
        ("attribute", "get_attr", (plain, "present"), None),
        ("missing attribute", "get_attr", (plain, "absent"), AttributeError),
        ("missing, no error", "get_attr_no_error", (plain, "absent"), None),
        ("missing via __getattr__, no error", "get_attr_no_error", (dyn, "absent"), None),
        ("global from builtins", "get_module_global", ("len",), None),
        ("undefined global", "get_module_global", ("kovi_undefined",), NameError),
        ("text", "object_as_double", ("1_000.5",), None),
        ("long text", "object_as_double", (b"1_" + b"2" * 60,), None),
        ("non-ASCII text", "object_as_double", ("\xa0" + "1_2" * 20,), None),
        ("bad text", "object_as_double", ("1__0",), ValueError),
        ("fast parse error", "object_as_double", (b".",), ValueError),
        ("__float__ non-float", "object_as_double", (dunder_float([1]),), TypeError),
        ("__float__ float", "object_as_double", (dunder_float(2.5),), None),
        ("float() of str subclass", "object_as_double", (np.str_("2.5"),), None),
        ("float() failing", "object_as_double", (plain,), TypeError),
        ("direct call", "fast_call", (math.cos, (0.5,), True), None),
        ("direct call error", "fast_call", (math.cos, ("x",), True), TypeError),
        ("null result", "fast_call", ("null_without_error", (lst,), True), SystemError),
        ("vector call", "fast_call", (divmod, (10**20, 3), False), None),
    ]


@pytest.mark.parametrize("name, operation, args, expected", cases(), ids=[c[0] for c in cases()])
def test_operation_keeps_no_reference(probe, name, operation, args, expected):
    if isinstance(args[0], str) and args[0] == "null_without_error":
        args = (probe.null_without_error,) + args[1:]
    fn = getattr(probe, operation)
    watched = [a for a in args if not isinstance(a, (str, int, bool, float))]
    watched += [a for a in args if isinstance(a, tuple) for a in a if isinstance(a, list)]
    assert_no_leak(lambda: fn(*args), watched, expected)
