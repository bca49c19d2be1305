# Steps shared by the check scripts (sourced, not run).

# meson >= 1.2 and ninja on PATH; the venv of $1 (a python) gets them when the
# system has none.
ensure_meson() {
    local python=$1
    if ! command -v meson >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1 ||
       ! meson --version 2>/dev/null | awk -F. '{ exit !($1 > 1 || ($1 == 1 && $2 >= 2)) }'; then
        "$python" -m pip install -q "meson>=1.2" ninja
        PATH="$(dirname "$python"):$PATH"
        export PATH
    fi
}

# configure BUILD_DIR PYTHON [meson options...]: a build directory for the
# module as PYTHON imports it, set up anew or reconfigured.
configure() {
    local build=$1 python=$2
    shift 2
    local native="$build-native.ini"
    mkdir -p "$(dirname "$build")"
    printf "[binaries]\npython = '%s'\n" "$python" > "$native"
    if [ -f "$build/build.ninja" ]; then
        meson setup --reconfigure "$build" --native-file "$native" "$@" >/dev/null
    else
        meson setup "$build" --native-file "$native" "$@" >/dev/null
    fi
}

# apt_install WHO PACKAGE...: installs the packages with apt-get, as root or
# through sudo; WHO names the script in its messages.
apt_install() {
    local who=$1 as_root=()
    shift
    [ $# -gt 0 ] || return 0
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "$who: please install: $* (no apt-get here to do it)" >&2
        exit 1
    fi
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "$who: please install: $* (needs root, and there is no sudo)" >&2
            exit 1
        fi
        as_root=(sudo)
    fi
    echo "$who: installing $*${as_root:+ (with sudo)}"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# system_needs PYTHON: what this machine lacks to build, test and run the
# driver with PYTHON, one "PACKAGE WHAT" line each, PACKAGE being Debian's.
# Fails (status 1, one line on stderr) when PYTHON lacks a part apt cannot
# give it: an interpreter that is not Debian's brings its own headers.
system_needs() {
    local python=$1 version debian headers venv
    command -v lsof >/dev/null 2>&1 || echo "lsof the tests' check of who holds a port"
    # The panel's browser tests and bench drive Debian's chromium through playwright.
    [ -x /usr/bin/chromium ] || echo "chromium the browser the panel's tests drive"
    # make check-windows: the cross compiler and wine.
    command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || echo "g++-mingw-w64-x86-64 the Windows cross compiler"
    if ! command -v wine >/dev/null 2>&1; then
        echo "wine wine, to run the Windows build"
        echo "wine64 wine, to run the Windows build"
    fi
    # Qt's offscreen platform, on which the suite renders the PyDM screen,
    # loads these system libraries (library:package).
    local pair libraries
    libraries=$(/sbin/ldconfig -p 2>/dev/null || true)
    for pair in libGL.so.1:libgl1 libfontconfig.so.1:libfontconfig1 libglib-2.0.so.0:libglib2.0-0 \
                libX11.so.6:libx11-6 libXext.so.6:libxext6 libdbus-1.so.3:libdbus-1-3; do
        [[ $libraries == *"${pair%%:*}"* ]] || echo "${pair#*:} a library Qt's offscreen screen test loads"
    done
    command -v make >/dev/null 2>&1 || echo "make make test, make demo"
    command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || command -v clang++ >/dev/null 2>&1 ||
        echo "g++ a C++ compiler"
    if ! command -v "$python" >/dev/null 2>&1; then
        if [ "$python" != python3 ]; then
            echo "$python: not found (PYTHON names the interpreter to build for)" >&2
            return 1
        fi
        echo "python3 Python 3"
        echo "python3-venv Python's venv"
        echo "python3-dev Python's headers"
        return 0
    fi
    read -r version debian headers venv < <("$python" -c '
import importlib.util, os, sys, sysconfig
print("%d.%d" % sys.version_info[:2],
      int(sys.base_prefix == "/usr" and os.path.exists("/etc/debian_version")),
      int(os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h"))),
      int(importlib.util.find_spec("ensurepip") is not None))') || true
    if [ -z "$venv" ]; then
        echo "$python does not run" >&2
        return 1
    fi
    local part package
    for part in headers venv; do
        [ "${!part}" = 1 ] && continue
        [ "$part" = headers ] && package=python$version-dev || package=python$version-venv
        if [ "$debian" != 1 ]; then
            echo "$python (Python $version) lacks its $part, and it is not Debian's: install them the way it was installed, or set PYTHON=/usr/bin/python3" >&2
            return 1
        fi
        echo "$package Python $version's $part"
    done
}

# stage_package BUILD_DIR SUFFIX: the package kq2741ctl as a build of the
# checks imports it, in BUILD_DIR/site (put that on PYTHONPATH): its Python
# files and subpackages (the IOC's among them) from the checkout, beside the
# _core and _simulator that build made. Prints the core.
stage_package() {
    local build=$1 suffix=$2 site="$1/site/kq2741ctl" file
    rm -rf "$site"
    mkdir -p "$site"
    for file in "$root"/package/kq2741ctl/*; do
        ln -s "$file" "$site/"
    done
    ln -s "$build/package/_core$suffix" "$build/package/_simulator$suffix" "$site/"
    echo "$site/_core$suffix"
}
