"""Prints, one a line, the requirements that pyproject.toml declares for the
build (build-system.requires, unless --no-build-requires), for the package
(project.dependencies) and for the extras named on the command line, so that
`make` installs whatever the project declares without naming it again.

Every requirement must be pinned in the constraints file given with
--constraints: an unpinned one would make the environment differ from one
day to the next, so it stops the install with the name to pin.
"""

import argparse
import re
import sys
import tomllib
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def requirement_name(requirement):
    return canonical(re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", requirement).group(1))


def pinned_names(constraints):
    names = set()
    for line in constraints.read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if "==" in line:
            names.add(canonical(line.split("==", 1)[0].strip()))
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("extras", nargs="*", help="optional-dependency groups to add")
    parser.add_argument("--constraints", type=Path, required=True)
    parser.add_argument("--no-build-requires", action="store_true",
                        help="leave out build-system.requires (an environment that "
                             "installs a built wheel)")
    args = parser.parse_args()
    project = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))
    groups = project["project"].get("optional-dependencies", {})
    unknown = [e for e in args.extras if e not in groups]
    if unknown:
        sys.exit(f"pyproject.toml declares no extra {', '.join(unknown)}")
    requirements = [*([] if args.no_build_requires else project["build-system"]["requires"]),
                    *project["project"]["dependencies"]]
    for extra in args.extras:
        requirements += groups[extra]
    pinned = pinned_names(args.constraints)
    unpinned = sorted({requirement_name(r) for r in requirements} - pinned)
    if unpinned:
        sys.exit(f"{args.constraints.name} pins no version of {', '.join(unpinned)}: "
                 "add each with its dependencies")
    print("\n".join(dict.fromkeys(requirements)))


if __name__ == "__main__":
    main()
