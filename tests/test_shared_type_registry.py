"""The shared type registry "_kovi_rt_1_0_0".  The registry is process-wide,
so every case runs in a fresh interpreter.  (Registry entries that fail
module execution are tested with the module's other failures.)"""

import pytest
from helpers import run_python

POE_FK = "kovi.kinematics.poe_fk"


@pytest.mark.parametrize("first, second", [("_kovi_probe", POE_FK), (POE_FK, "_kovi_probe")])
def test_modules_share_one_type(first, second):
    run_python(f"""
        import gc, importlib, sys
        importlib.import_module({first!r})
        registry = dict(vars(sys.modules["_kovi_rt_1_0_0"]))
        importlib.import_module({second!r})
        import _kovi_probe
        from kovi.kinematics.poe_fk import poe_forward_kinematics as f
        # The first import published both types; the second found them and
        # made none.
        assert vars(sys.modules["_kovi_rt_1_0_0"]) == registry
        assert type(f) is registry["kovi_function_or_method"]
        assert type(type(f)) is registry["_common_types_metatype"]
        assert type(type(f)).__mro__ == (type(type(f)), type, object)
        assert type(_kovi_probe.make_function("noargs")) is type(f)
        made = [t for t in gc.get_objects()
                if isinstance(t, type) and t.__name__ in
                ("kovi_function_or_method", "_common_types_metatype")]
        assert len(made) == 2, made
    """)


def test_probe_objects_are_served_by_the_modules_slots():
    # The module registered the type first: its slot functions serve the
    # probe's objects, and both agree on the layout.
    run_python("""
        import gc, weakref
        from kovi.kinematics.poe_fk import poe_forward_kinematics as f
        import _kovi_probe as probe
        g = probe.make_function("fast_keywords", "receiver_first", module="m",
                                defaults=lambda func: ((1,), {"k": 2}))
        me = object()
        assert g(me, 1, k=2)[1] is me
        assert g.__defaults__ == (1,) and g.__kwdefaults__ == {"k": 2}
        assert g.__module__ == "m" and g.__annotations__ == {}
        assert repr(g).startswith("<kovi_function probe_fast_keywords at ")
        g.me = g
        ref = weakref.ref(g)
        del g
        gc.collect()
        assert ref() is None
        assert f.__annotate__.__self__ is f
    """)


def test_metatype_of_any_size_is_accepted():
    run_python("""
        import sys, types
        class Meta(type):
            pass
        registry = types.ModuleType("_kovi_rt_1_0_0")
        registry._common_types_metatype = Meta
        sys.modules["_kovi_rt_1_0_0"] = registry
        from kovi.kinematics.poe_fk import poe_forward_kinematics as f
        assert type(type(f)) is Meta
        assert registry.kovi_function_or_method is type(f)
    """)


def test_function_type_module_is_fixed_and_types_are_closed():
    run_python("""
        from kovi.kinematics.poe_fk import poe_forward_kinematics as f
        t, meta = type(f), type(type(f))

        def refused(action):
            try:
                action()
            except TypeError as e:
                return str(e)
            raise AssertionError("not refused")

        assert t.__module__ == "_kovi_rt_1_0_0"
        assert "immutable type" in refused(lambda: setattr(t, "__module__", "elsewhere"))
        assert t.__module__ == "_kovi_rt_1_0_0"
        # The metatype makes no classes, not even subclasses of the function type.
        assert "cannot create" in refused(lambda: meta("Made", (), {}))
        assert "cannot create" in refused(lambda: type("Sub", (t,), {}))
        assert "cannot create" in refused(lambda: type.__new__(type, "Sub", (t,), {}))
        assert "cannot create" in refused(lambda: meta())
        assert "cannot create" in refused(lambda: t())
        for target in (t, meta):
            assert "immutable type" in refused(lambda: setattr(target, "extra", 1))
    """)


def test_function_type_made_with_another_modules_metatype():
    # The probe published the metatype; with the function type gone from the
    # registry, the module makes its own with that metatype.
    run_python("""
        import sys
        import _kovi_probe
        registry = vars(sys.modules["_kovi_rt_1_0_0"])
        meta = registry["_common_types_metatype"]
        probe_type = registry.pop("kovi_function_or_method")
        from kovi.kinematics.poe_fk import poe_forward_kinematics as f
        assert type(type(f)) is meta and type(f) is not probe_type
        assert registry["kovi_function_or_method"] is type(f)
        for bases in ((type(f),), (probe_type,), ()):
            try:
                type("Sub", bases, {}) if bases else meta("Sub", bases, {})
            except TypeError as e:
                assert str(e) == "cannot create '_kovi_rt_1_0_0._common_types_metatype' instances"
            else:
                raise AssertionError("a class was made")
    """)
