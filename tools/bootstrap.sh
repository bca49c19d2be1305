#!/usr/bin/env bash
# Make this machine ready to build, test and run the driver:
#   - system tools the tests use (lsof for the port-busy check) and make
#     check-windows uses (mingw-w64, wine),
#   - a virtual environment in .venv,
#   - the driver built and installed into it with its test extra.
# Safe to run again: each step is skipped when its result is already there,
# and the driver is rebuilt only when its sources changed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
venv="$root/.venv"
python=${PYTHON:-python3}

apt_packages=()
command -v lsof >/dev/null 2>&1 || apt_packages+=(lsof)
# make check-windows: the cross compiler and wine.
command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || apt_packages+=(g++-mingw-w64-x86-64)
command -v wine >/dev/null 2>&1 || apt_packages+=(wine wine64)
# The panel's browser tests and bench drive Debian's chromium through playwright.
[ -x /usr/bin/chromium ] || apt_packages+=(chromium)
# Qt's offscreen platform, on which the suite renders the PyDM screen, loads
# these system libraries (library:package).
for pair in libGL.so.1:libgl1 libfontconfig.so.1:libfontconfig1 libglib-2.0.so.0:libglib2.0-0 \
            libX11.so.6:libx11-6 libXext.so.6:libxext6 libdbus-1.so.3:libdbus-1-3; do
    ldconfig -p | grep -qF "${pair%%:*}" || apt_packages+=("${pair#*:}")
done
source "$root/tools/lib.sh"
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
