"""Source lines for the native module's traceback entries, for installed users.

The entries that ``kovi.kinematics.poe_fk`` adds name their file by the path
``src/kovi/kinematics/poe_fk.py``, relative to a source checkout, and their
frames' globals are the module's namespace, whose loader (the extension
loader) has no source to give.  The wheel ships the Python source's text as
``kovi/_source_text/poe_fk.py.txt`` instead, and this module tells ``linecache``
where to find it, under the entries' file name.

It seeds ``linecache.cache`` with a lazy entry: ``traceback`` leaves an entry
that is already there alone (``linecache.lazycache``), so the extension
loader's empty one never takes its place; the text is read only when a line
is first wanted; ``checkcache`` keeps lazy entries and the ones they turn into;
and a checkout's own file, when the working directory is the repository root,
is still read first.  ``linecache.clearcache()`` drops the entry, and the
next traceback then seeds the extension loader's; ``register()`` again mends
that.
"""

from __future__ import annotations

import linecache
from pathlib import Path

# The file name in the native module's code object and traceback entries.
CODE_FILE_NAME = "src/kovi/kinematics/poe_fk.py"
SHIPPED_TEXT = Path(__file__).resolve().parent / "_source_text" / "poe_fk.py.txt"


def _read_shipped_text() -> str:
    # linecache catches OSError; a missing file reads as "no source"
    return SHIPPED_TEXT.read_text(encoding="utf-8")


def register() -> None:
    """Seeds ``linecache`` with the shipped text, unless nothing was shipped
    (a source checkout) or the lines are already there, read from a file."""
    if not SHIPPED_TEXT.is_file():
        return
    entry = linecache.cache.get(CODE_FILE_NAME)
    # a lazy entry left by an earlier traceback asks the extension loader,
    # which has no source: replace it
    if entry is None or len(entry) == 1:
        linecache.cache[CODE_FILE_NAME] = (_read_shipped_text,)
