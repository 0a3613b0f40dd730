"""What the tests read off the native function's failures."""

FUNCTION_NAME = "kovi.kinematics.poe_fk.poe_forward_kinematics"
SOURCE_PATH = "src/kovi/kinematics/poe_fk.py"


def traceback_entries(exc):
    """(function name, line, file name) of each traceback entry, outermost first."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, tb.tb_lineno, code.co_filename))
        tb = tb.tb_next
    return entries


def failure_line(exc):
    """The body line that a failed call reports, after checking that the
    call added exactly its two entries: line 30, then the body's line."""
    entries = [e for e in traceback_entries(exc) if e[0] == FUNCTION_NAME]
    assert len(entries) == 2, entries
    (_, def_line, file0), (_, line, file1) = entries
    assert def_line == 30 and file0 == file1 == SOURCE_PATH
    return line
