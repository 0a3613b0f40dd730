#!/bin/sh
# Prints the path of a CPython interpreter of version X.Y (the first
# argument, 3.12 by default, the version `make test` runs): $PYTHON if set
# and of that version, else pythonX.Y from PATH if it runs, else pyenv's
# newest X.Y install.  ($PYTHON names the 3.12 interpreter; for another
# version it is taken only if it is of that version.)
version=${1:-3.12}

is_version() {
    "$1" -c "import platform, sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))) or platform.python_implementation() != 'CPython')" >/dev/null 2>&1
}

if [ -n "${PYTHON:-}" ]; then
    if is_version "$PYTHON"; then
        command -v "$PYTHON" 2>/dev/null || echo "$PYTHON"
        exit 0
    fi
    if [ "$version" = 3.12 ]; then
        echo "error: PYTHON=$PYTHON is not a working Python 3.12" >&2
        exit 1
    fi
fi

if is_version "python$version"; then
    command -v "python$version"
    exit 0
fi

for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r); do
    if is_version "$candidate"; then
        echo "$candidate"
        exit 0
    fi
done

echo "error: no Python $version found; install one (e.g. pyenv install $version) or put python$version on PATH" >&2
exit 1
