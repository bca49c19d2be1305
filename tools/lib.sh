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

# apt_install WHO PACKAGE...: installs the packages with apt-get (as root);
# WHO names the script in its messages.
apt_install() {
    local who=$1
    shift
    [ $# -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "$who: please install: $* (needs root)" >&2
        exit 1
    fi
    echo "$who: installing $*"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "$@" >/dev/null
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
