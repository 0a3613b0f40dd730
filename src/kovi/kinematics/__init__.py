"""Kinematics kernels of kovi.

``kovi.kinematics.poe_fk`` is the native core on CPython 3.12, the one
version its extension is built for.  On the other supported versions (3.10,
3.11, 3.13) the package ships the module's Python source in its place, which
gives the same poses; the compiled chain (``kovi.Chain``) is native on all
of them.
"""

from __future__ import annotations

def core_summary() -> str:
    """Which ``kovi.kinematics.poe_fk`` this interpreter loaded, in a few words."""
    from importlib.machinery import ExtensionFileLoader

    from kovi.kinematics import poe_fk

    loader = getattr(getattr(poe_fk, "__spec__", None), "loader", None)
    if isinstance(loader, ExtensionFileLoader):
        return "kovi.kinematics.poe_fk, native (CPython 3.12)"
    return "kovi.kinematics.poe_fk, Python source (native on CPython 3.12 only)"
