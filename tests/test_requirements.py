"""`make` installs what pyproject.toml declares, and only under a pin."""

import re
import subprocess
import sys
import tomllib

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
    done = requirements(tmp_path, CONSTRAINTS, "test", "fuzz", "wheel")
    assert done.returncode == 0, done.stderr
    names = done.stdout.split()
    assert {"numpy", "pytest", "atheris"} <= set(names) and names[0].startswith("scikit-build-core")


def supported_versions():
    project = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    low, high = re.fullmatch(r">=3\.(\d+),<3\.(\d+)", project["requires-python"]).groups()
    return [f"3.{minor}" for minor in range(int(low), int(high))], project["classifiers"]


@pytest.mark.parametrize("version", supported_versions()[0])
def test_every_supported_version_has_its_pins_and_classifier(tmp_path, version):
    # what make wheel and make test-reach install there: the build, numpy, pytest
    minor = version.split(".")[1]
    name = "constraints.txt" if version == "3.12" else f"constraints/py3{minor}.txt"
    done = requirements(tmp_path, (REPO / name).read_text(encoding="utf-8"), "reach")
    assert done.returncode == 0, done.stderr
    assert f"Programming Language :: Python :: {version}" in supported_versions()[1]


@pytest.mark.parametrize("dropped, extras, message", [
    ("atheris==", ["fuzz"], "pins no version of atheris"),
    ("scikit_build_core==", [], "pins no version of scikit-build-core"),  # names compare canonically
    (None, ["nonesuch"], "declares no extra nonesuch"),
])
def test_unpinned_or_unknown_requirement_stops_the_install(tmp_path, dropped, extras, message):
    lines = [line for line in CONSTRAINTS.splitlines() if not (dropped and line.startswith(dropped))]
    done = requirements(tmp_path, "\n".join(lines), *extras)
    assert done.returncode != 0 and message in done.stderr and not done.stdout
