#!/usr/bin/env bash
# Make this machine ready to build, test and run the driver:
#   - what a bare Debian lacks, installed with apt-get when missing (a C++
#     compiler, make, Python's venv and headers for the interpreter in use,
#     lsof for the port-busy check, chromium for the panel's browser tests,
#     mingw-w64 and wine for make check-windows),
#   - a virtual environment in .venv,
#   - the driver built and installed into it with its test extra.
# Safe to run again: each step is skipped when its result is already there,
# and the driver is rebuilt only when its sources changed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
venv="$root/.venv"
python=${PYTHON:-python3}

source "$root/tools/lib.sh"
needs=$(system_needs "$python")
apt_packages=()
while read -r package what; do
    [ -n "$package" ] || continue
    echo "bootstrap: missing $what: $package"
    apt_packages+=("$package")
done <<< "$needs"
apt_install bootstrap "${apt_packages[@]}"

if [ ! -x "$venv/bin/python" ]; then
    echo "bootstrap: creating $venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
fi

# Rebuild only when something that goes into the build changed.
stamp="$venv/.kq2741-build-stamp"
digest=$(find pyproject.toml meson.build src sim model protocol tty cpython ctl launcher package stubs -type f \( -name '*.cpp' -o -name '*.hpp' \
            -o -name 'meson.build' -o -name '*.toml' -o -name '*.pyi' -o -name '*.py' -o -name 'py.typed' \
            -o -name '*.html' -o -name '*.css' -o -name '*.js' -o -name '*.svg' -o -name '*.acf' -o -name '*.bob' -o -name '*.ui' \) \
            -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$digest" ]; then
    echo "bootstrap: building and installing kq2741 into $venv"
    # --no-compile: the test extra brings QCoDeS and PyMeasure with thousands
    # of modules; compiling them all at install time costs about 40 s, and
    # the few the tests import compile when first imported.
    "$venv/bin/python" -m pip install -q --no-compile ".[test]"
    echo "$digest" > "$stamp"
fi
