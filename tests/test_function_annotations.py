"""Annotations of the shared function type: __annotations__, __annotate__,
their three forms and the placeholder "__annotate_kovi__"."""

import functools

import pytest

PLACEHOLDER_DOC = ("Placeholder __annotate__ function to allow 'functools.wraps' to work on "
                   "kovi functions.")


def test_first_read_makes_one_empty_dict(probe):
    f = probe.make_function("noargs")
    first = f.__annotations__
    assert first == {} and type(first) is dict
    assert f.__annotations__ is first


def test_placeholder_bound_method(fk):
    placeholder = fk.__annotate__
    assert type(placeholder).__name__ == "builtin_function_or_method"
    assert placeholder.__name__ == "__annotate_kovi__"
    assert placeholder.__doc__ == PLACEHOLDER_DOC
    assert placeholder.__self__ is fk
    assert fk.__annotate__ is not placeholder
    for format_ in (1, 2, None, "anything"):
        assert placeholder(format_) is fk.__annotations__
    with pytest.raises(TypeError, match=r"__annotate_kovi__\(\) takes exactly one argument"):
        placeholder()
    assert type(fk).__annotate_kovi__(fk, 1) is fk.__annotations__


def test_placeholder_without_receiver(probe):
    with pytest.raises(SystemError, match="^kovi __annotate__ called without 'self' argument$"):
        probe.unbound_placeholder()(1)


def test_replaced_form_calls_the_callable_once(probe):
    f = probe.make_function("noargs")
    f.__annotations__ = {"old": 1}
    calls = []

    def annotate(format_):
        calls.append(format_)
        return {"x": int}

    f.__annotate__ = annotate
    assert f.__annotate__ is annotate
    assert f.__dict__["__annotate__"] is annotate
    produced = f.__annotations__
    assert produced == {"x": int} and calls == [1]
    assert f.__annotations__ is produced and calls == [1]
    # The placeholder reads what the callable produced.
    assert type(f).__annotate_kovi__(f, 2) is produced


class Annotations(dict):
    pass


def test_annotate_results(probe):
    f = probe.make_function("noargs")
    results = [["not", "a", "dict"], Annotations(y=str)]
    f.__annotate__ = lambda format_: results.pop(0)
    with pytest.raises(TypeError, match="^__annotate__ must return a dict$"):
        f.__annotations__
    # The failed read stored nothing; the next read calls again.
    produced = f.__annotations__
    assert type(produced) is Annotations and results == []

    g = probe.make_function("noargs")

    def failing(format_):
        raise LookupError("no annotations here")

    g.__annotate__ = failing
    with pytest.raises(LookupError, match="no annotations here"):
        g.__annotations__


def test_annotate_recursion_is_bounded(probe):
    f = probe.make_function("noargs")
    f.__annotate__ = lambda format_: f.__annotations__
    with pytest.raises(RecursionError):
        f.__annotations__
    f.__annotate__ = None
    assert f.__annotations__ == {}


def test_disabled_form(probe):
    f = probe.make_function("noargs")
    annotations = {"a": 1}
    f.__annotations__ = annotations
    f.__annotate__ = None
    assert f.__annotate__ is None
    assert f.__annotations__ is annotations


def test_annotations_write_disables_only_an_existing_dict(probe):
    f = probe.make_function("noargs")
    f.__annotations__ = {}
    # No attribute dict yet: the default form stays.
    assert f.__annotate__.__name__ == "__annotate_kovi__"
    g = probe.make_function("noargs")
    g.x = 1
    g.__annotations__ = {}
    assert g.__annotate__ is None


@pytest.mark.parametrize("clear", [lambda f: delattr(f, "__annotations__"),
                                   lambda f: setattr(f, "__annotations__", None)])
def test_annotations_delete_and_none(probe, clear):
    f = probe.make_function("noargs")
    old = f.__annotations__
    old["a"] = 1
    clear(f)
    new = f.__annotations__
    assert new == {} and new is not old


def test_annotations_write_refuses_a_non_dict(probe):
    f = probe.make_function("noargs")
    kept = f.__annotations__
    with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
        f.__annotations__ = [("a", 1)]
    assert f.__annotations__ is kept
    sub = Annotations(a=1)
    f.__annotations__ = sub
    assert f.__annotations__ is sub


def test_annotate_writes_refused(probe):
    f = probe.make_function("noargs")
    with pytest.raises(TypeError, match="^__annotate__ cannot be deleted$"):
        del f.__annotate__
    with pytest.raises(TypeError, match="^__annotate__ must be callable or None$"):
        f.__annotate__ = 3
    assert f.__annotate__.__name__ == "__annotate_kovi__"


def test_placeholder_put_back_restores_the_default_form(probe):
    f = probe.make_function("noargs")
    placeholder = f.__annotate__
    # In the default form, writing the placeholder back changes nothing.
    f.__annotate__ = f.__annotate__
    f.__annotations__ = {"kept": 1}
    f.__annotate__ = lambda format_: {"x": 1}
    f.__annotate__ = placeholder
    assert "__annotate__" not in f.__dict__
    assert f.__annotate__.__name__ == "__annotate_kovi__"
    # The annotations were emptied by the callable's installation.
    assert f.__annotations__ == {}
    f.__annotate__ = None
    f.__annotate__ = placeholder
    assert "__annotate__" not in f.__dict__
    f.__annotate__ = placeholder
    assert "__annotate__" not in f.__dict__


def test_another_functions_placeholder_is_a_callable(probe):
    f = probe.make_function("noargs")
    other = probe.make_function("o")
    other.__annotations__ = {"other": 1}
    f.__annotate__ = other.__annotate__
    assert f.__dict__["__annotate__"].__self__ is other
    assert f.__annotations__ is other.__annotations__


@pytest.mark.parametrize("make_wrapper", [
    lambda fk, probe: functools.wraps(fk)(lambda *args, **kwargs: fk(*args, **kwargs)),
    lambda fk, probe: functools.update_wrapper(probe.make_function("fast_keywords"), fk),
], ids=["python-function", "function-object"])
def test_functools_wraps_of_the_module_function(fk, probe, make_wrapper):
    wrapper = make_wrapper(fk, probe)
    assert wrapper.__name__ == wrapper.__qualname__ == "poe_forward_kinematics"
    assert wrapper.__module__ == "kovi.kinematics.poe_fk"
    assert wrapper.__doc__ == fk.__doc__
    assert wrapper.__annotations__ == fk.__annotations__
    assert wrapper.__wrapped__ is fk
