"""A spy on the import system, shared by the import tests and the fresh
interpreters they start."""

import sys

SPIED = ("_find_and_load", "_handle_fromlist")


class _Finder:
    """A meta path finder that only records what it is asked to find."""

    def __init__(self, calls):
        self._calls = calls

    def find_spec(self, name, path=None, target=None):
        self._calls.append(("find_spec", name))
        return None


def spy_on_import_system(calls):
    """Records into `calls` every module the import system is asked to find
    or load and every from-list it resolves; returns the function that takes
    the spy away again."""
    import _frozen_importlib as bootstrap

    saved = [(name, getattr(bootstrap, name)) for name in SPIED]
    for name, original in saved:
        def spy(first, *args, _name=name, _original=original, **kwargs):
            calls.append((_name, getattr(first, "__name__", first)))
            return _original(first, *args, **kwargs)
        setattr(bootstrap, name, spy)
    finder = _Finder(calls)
    sys.meta_path.insert(0, finder)

    def undo():
        sys.meta_path.remove(finder)
        for name, original in saved:
            setattr(bootstrap, name, original)
    return undo
