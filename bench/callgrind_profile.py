"""What the instruction profiles in bench/ share (not a benchmark): building
a C++ harness with the project's floating-point flags, and reading the
instructions callgrind counted, by function."""

from __future__ import annotations

import re
import subprocess
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def build(harness, sources, includes, binary, flags=()):
    """Compiles bench/`harness` with `sources` (paths from the root) into `binary`."""
    subprocess.run(["g++", "-std=c++20", "-O3", "-DNDEBUG", "-g", "-ffp-contract=off", *flags,
                    f"-I{sysconfig.get_paths()['include']}", *[f"-I{ROOT / d}" for d in includes],
                    str(ROOT / "bench" / harness), *[str(ROOT / s) for s in sources],
                    "-o", str(binary)], check=True)


def counted_run(command, out):
    """Runs `command` under callgrind into the file `out`: (what it printed,
    {function's short name: instructions})."""
    run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                          *map(str, command)], capture_output=True, text=True, check=True)
    listing = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", str(out)],
                             capture_output=True, text=True, check=True).stdout
    counts: dict[str, int] = {}
    # The function table only: the source annotations that follow repeat counts.
    for line in listing.split("Auto-annotated source")[0].splitlines():
        match = re.match(r"\s*([\d,]+) \([^)]*\)\s+(.*)", line)
        if match:
            name = match.group(2)
            if name != "PROGRAM TOTALS":
                # "file:function(arguments) [object]" -> the function's short name
                name = re.sub(r"\s*\[.*\]$", "", name).split(":", 1)[-1]
                name = re.sub(r"\(.*$", "", re.sub(r"\(anonymous namespace\)::", "", name))
                name = name.rsplit("::", 1)[-1]
            counts[name] = counts.get(name, 0) + int(match.group(1).replace(",", ""))
    return run.stdout, counts


# The flags the closed-form sources build with: cos and sin stay calls of
# their own, never merged into a sincos.
NO_SINCOS = ("-fno-builtin-cos", "-fno-builtin-sin")
