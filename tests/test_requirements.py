"""`make` installs what pyproject.toml declares, and only under a pin."""

import subprocess
import sys

import pytest
from helpers import REPO

TOOL = REPO / "tools" / "pyproject_requirements.py"
CONSTRAINTS = (REPO / "constraints.txt").read_text(encoding="utf-8")


def requirements(tmp_path, constraints, *extras):
    path = tmp_path / "constraints.txt"
    path.write_text(constraints, encoding="utf-8")
    return subprocess.run([sys.executable, TOOL, "--constraints", path, *extras],
                          capture_output=True, text=True)


def test_declared_requirements_are_all_pinned(tmp_path):
    done = requirements(tmp_path, CONSTRAINTS, "test", "fuzz")
    assert done.returncode == 0, done.stderr
    names = done.stdout.split()
    assert {"numpy", "pytest", "atheris"} <= set(names) and names[0].startswith("scikit-build-core")


@pytest.mark.parametrize("dropped, extras, message", [
    ("atheris==", ["fuzz"], "pins no version of atheris"),
    ("scikit_build_core==", [], "pins no version of scikit-build-core"),  # names compare canonically
    (None, ["nonesuch"], "declares no extra nonesuch"),
])
def test_unpinned_or_unknown_requirement_stops_the_install(tmp_path, dropped, extras, message):
    lines = [line for line in CONSTRAINTS.splitlines() if not (dropped and line.startswith(dropped))]
    done = requirements(tmp_path, "\n".join(lines), *extras)
    assert done.returncode != 0 and message in done.stderr and not done.stdout
