#!/bin/sh
# Prints the path of a Python 3.12 interpreter: $PYTHON if set, else
# python3.12 from PATH if it runs, else pyenv's newest 3.12 install.
is_312() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1
}

if [ -n "${PYTHON:-}" ]; then
    if is_312 "$PYTHON"; then
        command -v "$PYTHON" 2>/dev/null || echo "$PYTHON"
        exit 0
    fi
    echo "error: PYTHON=$PYTHON is not a working Python 3.12" >&2
    exit 1
fi

if is_312 python3.12; then
    command -v python3.12
    exit 0
fi

for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do
    if is_312 "$candidate"; then
        echo "$candidate"
        exit 0
    fi
done

echo "error: no Python 3.12 found; install one (e.g. pyenv install 3.12) or set PYTHON=/path/to/python3.12" >&2
exit 1
