"""The shared function type: layout, attributes, defaults, representation,
pickling, binding, weak references and garbage collection."""

import gc
import pickle
import re
import sys
import tracemalloc
import types
import warnings
import weakref

import pytest

from kovi.robots._samples import sample_body, sample_configuration

DEFAULTS_WARNING = ("changes to kovi_function.{} will not currently affect the values used in "
                    "function calls")

CONVENTIONS = ["noargs", "o", "varargs_keywords", "fast_keywords", "method"]
KINDS = ["plain", "receiver_first", "static"]


# ---- the type ---------------------------------------------------------------

def test_type_name_layout_and_flags(fk, probe):
    t = type(fk)
    assert t.__name__ == "kovi_function_or_method"
    assert t.__qualname__ == "kovi_function_or_method"
    assert t.__module__ == "_kovi_rt_1_0_0"
    assert t.__basicsize__ == 160 and t.__itemsize__ == 0
    assert t.__weakrefoffset__ == 40
    # The interpreter finds the vector call entry at offset 48.
    assert probe.vectorcall_layout(fk) == (48, True, True)
    assert t.__flags__ & 0x24D90 == 0x24D90
    assert t.__bases__ == (object,)


def test_construction_with_an_unsupported_convention(probe):
    qualname = "probe.unsupported_" + "x" * 10
    globals_ = {}
    before = (sys.getrefcount(qualname), sys.getrefcount(globals_))
    for convention in ("varargs", "fast"):
        for _ in range(200):
            with pytest.raises(SystemError, match="^Bad call flags for KoviFunction$"):
                probe.make_function(convention, qualname=qualname, globals=globals_)
    # The half-built object went through its deallocation.
    assert (sys.getrefcount(qualname), sys.getrefcount(globals_)) == before


# ---- attributes -------------------------------------------------------------

def test_name_and_doc_come_from_the_method_definition(probe):
    f = probe.make_function("o", qualname="C.probe_o")
    assert f.__name__ == "probe_o" and f.__qualname__ == "C.probe_o"
    assert f.__doc__ == "probe o doc" and f.__doc__ is f.__doc__
    # Without a docstring, __doc__ reads None and nothing is stored.
    assert probe.make_function("o", long_name=True).__doc__ is None


@pytest.mark.parametrize("name", ["func_globals", "__globals__", "func_closure", "__closure__",
                                  "func_code", "__code__"])
def test_read_only_attributes(probe, name):
    f = probe.make_function("noargs")
    with pytest.raises(AttributeError, match="not writable"):
        setattr(f, name, {})
    with pytest.raises(AttributeError, match="not writable"):
        delattr(f, name)


def test_code_and_module_read_none_when_absent(probe):
    f = probe.make_function("noargs")
    assert f.__code__ is None and f.__module__ is None
    code = compile("x", "<probe>", "eval")
    g = probe.make_function("noargs", code=code, module="probe.mod", globals={"a": 1})
    assert g.__code__ is code and g.__module__ == "probe.mod" and g.__globals__ == {"a": 1}


def test_doc_write_and_delete(probe):
    f = probe.make_function("noargs")
    marker = object()
    f.__doc__ = marker
    assert f.__doc__ is marker and f.func_doc is marker
    del f.__doc__
    assert f.__doc__ is None
    f.func_doc = "new"
    assert f.__doc__ == "new"


class Str(str):
    pass


@pytest.mark.parametrize("attribute", ["__name__", "func_name", "__qualname__"])
def test_name_writes(probe, attribute):
    f = probe.make_function("noargs")
    value = Str("renamed")
    setattr(f, attribute, value)
    assert getattr(f, attribute) is value
    message = "^{} must be set to a string object$".format(attribute.replace("func_name", "__name__"))
    for bad in (b"renamed", None, 3):
        with pytest.raises(TypeError, match=message):
            setattr(f, attribute, bad)
    with pytest.raises(TypeError, match=message):
        delattr(f, attribute)
    assert getattr(f, attribute) is value


def test_module_attribute(probe):
    f = probe.make_function("noargs", module="probe.mod")
    f.__module__ = None
    assert f.__module__ is None
    f.__module__ = 42
    assert f.__module__ == 42
    del f.__module__
    assert f.__module__ is None


def test_instance_dict(probe):
    f = probe.make_function("noargs")
    f.x = 1
    assert f.__dict__ == {"x": 1} and f.func_dict is f.__dict__
    f.__dict__ = {"y": 2}
    assert f.y == 2 and not hasattr(f, "x")
    with pytest.raises(TypeError):
        f.__dict__ = [("y", 3)]


# ---- defaults ---------------------------------------------------------------

DEFAULTS_CASES = [
    ("__defaults__", (1,), (), [1], "tuple"),
    ("func_defaults", (1,), (), [1], "tuple"),
    ("__kwdefaults__", {"a": 1}, {}, [("a", 1)], "dict"),
]


@pytest.mark.parametrize("attribute, value, empty, bad, kind", DEFAULTS_CASES)
def test_defaults_writes_warn_and_read_back(probe, attribute, value, empty, bad, kind):
    public = attribute.replace("func_defaults", "__defaults__")
    f = probe.make_function("noargs")
    with pytest.warns(RuntimeWarning) as caught:
        setattr(f, attribute, value)
    assert [str(w.message) for w in caught] == [DEFAULTS_WARNING.format(public)]
    assert getattr(f, attribute) is value
    with pytest.warns(RuntimeWarning):
        setattr(f, attribute, empty)
    assert getattr(f, attribute) is empty
    with pytest.warns(RuntimeWarning):
        delattr(f, attribute)
    assert getattr(f, attribute) is None

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError, match=f"^{public} must be set to a {kind} object$"):
            setattr(f, attribute, bad)
    assert caught == []

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        setattr(f, attribute, value)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match=re.escape(DEFAULTS_WARNING.format(public))):
            setattr(f, attribute, empty)
        with pytest.raises(RuntimeWarning):
            delattr(f, attribute)
    assert getattr(f, attribute) is value


def test_module_function_defaults_write_changes_no_call(fk):
    body, q = sample_body("panda"), sample_configuration("panda")
    expected = fk(body, q)
    try:
        with pytest.warns(RuntimeWarning, match="__defaults__"):
            fk.__defaults__ = (q,)
        with pytest.warns(RuntimeWarning, match="__kwdefaults__"):
            fk.__kwdefaults__ = {"q": q}
        assert fk.__defaults__ == (q,)
        assert (fk(body, q) == expected).all()
        with pytest.raises(TypeError):
            fk(body)
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fk.__defaults__ = None
            fk.__kwdefaults__ = None
    assert fk.__defaults__ is None and fk.__kwdefaults__ is None


def test_defaults_provider_fills_both_fields_once(probe):
    calls = []

    def provide(func):
        calls.append(func)
        return ((1, 2), {"k": 3})

    f = probe.make_function("fast_keywords", defaults=provide)
    assert f.__kwdefaults__ == {"k": 3}
    assert f.__defaults__ == (1, 2)
    assert calls == [f]
    # A stored None is never replaced by the provider.
    g = probe.make_function("fast_keywords", defaults=provide)
    with pytest.warns(RuntimeWarning):
        g.__defaults__ = None
    assert g.__defaults__ is None
    assert calls == [f]
    # ...not even when the other field's read calls it.
    assert g.__kwdefaults__ == {"k": 3} and calls == [f, g]
    assert g.__defaults__ is None
    h = probe.make_function("fast_keywords", defaults=provide)
    with pytest.warns(RuntimeWarning):
        h.__kwdefaults__ = None
    assert h.__defaults__ == (1, 2) and h.__kwdefaults__ is None


def test_defaults_provider_failure_fails_the_read(probe):
    outcomes = [ValueError("not yet"), ((), None), "not a pair"]

    def provide(func):
        outcome = outcomes.pop(0)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    f = probe.make_function("noargs", defaults=provide)
    with pytest.raises(ValueError, match="not yet"):
        f.__defaults__
    assert f.__defaults__ == () and f.__kwdefaults__ is None
    g = probe.make_function("noargs", defaults=provide)
    with pytest.raises(SystemError, match="2-tuple"):
        g.__kwdefaults__


# ---- representation, pickling, binding ---------------------------------------

def test_repr(fk, probe):
    assert repr(fk) == "<kovi_function poe_forward_kinematics at 0x%x>" % id(fk)
    f = probe.make_function("noargs", qualname="Outer.inner")
    assert re.fullmatch(r"<kovi_function Outer\.inner at 0x[0-9a-f]+>", repr(f))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_by_global_name(fk, protocol):
    assert fk.__reduce__() == "poe_forward_kinematics"
    assert pickle.loads(pickle.dumps(fk, protocol)) is fk


def test_descriptor_binding(fk, probe):
    class C:
        pass

    obj = C()
    assert fk.__get__(None, C) is fk
    bound = fk.__get__(obj, C)
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is obj and bound.__func__ is fk
    f = probe.make_function("fast_keywords")
    C.f = f
    assert C.f is f
    # Through a bound method and through the interpreter's method call, the
    # instance comes first; the receiver of a plain function is itself.
    bound = obj.f
    assert bound(1)[:4] == ("fast_keywords", f, None, (obj, 1))
    assert obj.f(1, k=2)[:6] == ("fast_keywords", f, None, (obj, 1), ("k",), (2,))


def test_module_function_as_class_attribute(fk):
    body, q = sample_body("ur5"), sample_configuration("ur5")

    class Body:
        joints = body.joints
        pose = fk

    assert (Body().pose(q) == fk(body, q)).all()
    assert (Body().pose(q=q) == fk(body, q)).all()


def test_weak_references(fk, probe):
    ref_fk = weakref.ref(fk)
    assert ref_fk() is fk
    fired = []
    f = probe.make_function("noargs")
    ref = weakref.ref(f, fired.append)
    proxy = weakref.proxy(f)
    assert ref() is f and proxy()[0] == "noargs"
    del f
    assert ref() is None and fired == [ref]
    with pytest.raises(ReferenceError):
        proxy()


# ---- garbage collection -------------------------------------------------------

def _through(attribute, wrap=lambda h: h):
    """A plain function object with `attribute` set to wrap(holder)."""
    def make(probe, holder):
        f = probe.make_function("noargs")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # writes of the defaults warn
            setattr(f, attribute, wrap(holder))
        return f
    return make


def _name_holding(holder):
    # A str subclass with a __dict__ can hold the function.
    name = type("Name", (str,), {})("probe")
    name.holder = holder
    return name


# How a function object comes to hold `holder`, which then holds the function.
CYCLES = {
    "__dict__": _through("me"),
    "__doc__": _through("__doc__"),
    "__module__": _through("__module__"),
    "__defaults__": _through("__defaults__", lambda h: (h,)),
    "__kwdefaults__": _through("__kwdefaults__", lambda h: {"k": h}),
    "__annotations__": _through("__annotations__", lambda h: {"return": h}),
    "__name__": _through("__name__", _name_holding),
    "__qualname__": _through("__qualname__", _name_holding),
    "globals": lambda probe, h: probe.make_function("noargs", globals=h),
    "closure": lambda probe, h: probe.make_function("noargs", closure=h),
    "defaults_provider": lambda probe, h: probe.make_function(
        "noargs", defaults=lambda func: ((h,), {})),
    "defining_class": lambda probe, h: probe.make_function(
        "method", defining_class=type("Owner", (), {"held": h})),
}


@pytest.mark.parametrize("field", CYCLES)
def test_reference_cycles_are_collected(probe, field):
    holder = {}
    f = holder["f"] = CYCLES[field](probe, holder)
    assert gc.is_tracked(f)
    ref = weakref.ref(f)
    del f, holder
    gc.collect()
    assert ref() is None


# ---- memory -------------------------------------------------------------------

class Owner:
    pass


def _make_and_use(probe, convention, kind, inputs):
    closure, module_name, globals_, code, provide = inputs
    f = probe.make_function(convention, kind, closure=closure, module=module_name,
                            globals=globals_, code=code, defining_class=Owner, defaults=provide)
    f.__name__, f.__doc__, f.__annotations__, f.__defaults__, f.__annotate__
    f.attribute = [1, 2]
    weakref.ref(f)
    repr(f)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("convention", CONVENTIONS)
def test_dropped_function_objects_release_everything(probe, convention, kind):
    inputs = (["closure"], "probe." + convention, {"g": 1}, compile("0", "<probe>", "eval"),
              lambda func: ((1,), {"k": 2}))
    for _ in range(200):
        _make_and_use(probe, convention, kind, inputs)
    gc.collect()
    counts = [sys.getrefcount(o) for o in inputs + (Owner,)]
    tracemalloc.start()
    try:
        base, _ = tracemalloc.get_traced_memory()
        for _ in range(2000):
            _make_and_use(probe, convention, kind, inputs)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    # One object alone is 160 bytes plus its dict and fields: 2000 leaked
    # objects would be hundreds of kilobytes.
    assert grown < 64 * 1024
    assert [sys.getrefcount(o) for o in inputs + (Owner,)] == counts
