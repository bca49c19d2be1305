#!/usr/bin/env bash
# tests/refs/workload.py and tests/refs/attenuator_workload.py (the module and
# the kq2741ctl package) under valgrind's memcheck: no invalid read or write,
# no use of uninitialised memory, anywhere in the process.
#
# The module is built as shipped (release optimisation) plus debug symbols in
# build/valgrind. PYTHONMALLOC=malloc hands every object to valgrind's
# allocator, so reading past an object or after its release is seen.
#
# No suppression file is needed, with one precaution: CPython 3.11 reads the
# spare digit of a zero-length int it builds in int.from_bytes (multiplied
# by zero, so harmless), and it does that while parsing every .pyc header.
# memcheck marks the resulting pointer to the cached 0 as uninitialised and
# reports every later use of it, far from its origin. Imports from source
# (an empty PYTHONPYCACHEPREFIX, nothing written) never take that path.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/tools/bootstrap.sh"
python="$root/.venv/bin/python"
build="$root/build/valgrind"

say() { echo "check-valgrind: $*"; }

source "$root/tools/lib.sh"
command -v valgrind >/dev/null 2>&1 || apt_install check-valgrind valgrind

ensure_meson "$python"
configure "$build" "$python" --buildtype=release -Ddebug=true
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
module="$build/src/kq2741$suffix"
ninja -C "$build" "src/kq2741$suffix" "package/_core$suffix" "package/_simulator$suffix" >/dev/null
core=$(stage_package "$build" "$suffix")
say "built $module and $core"

pycache=$(mktemp -d)
trap 'rm -rf "$pycache"' EXIT
status=0
memcheck() {
    local name=$1 start=$SECONDS code=0
    shift
    PYTHONPATH="$build/src:$build/site" PYTHONMALLOC=malloc PYTHONPYCACHEPREFIX="$pycache" PYTHONDONTWRITEBYTECODE=1 \
        valgrind --tool=memcheck --error-exitcode=1 --leak-check=no --track-origins=yes --num-callers=40 \
                 --log-file="$build/$name.log" "$python" "$@" || code=$?
    say "$name: $(grep "ERROR SUMMARY" "$build/$name.log" | tail -n 1 | sed 's/^==[0-9]*== //') ($((SECONDS - start)) s)"
    if [ "$code" -ne 0 ]; then
        grep -v "^==[0-9]*== *$" "$build/$name.log" | grep -A40 -E "Invalid|uninitialised|Mismatched|Source and destination" >&2 || true
        say "$name FAILED (full log: $build/$name.log)" >&2
        status=1
    fi
}
memcheck memcheck "$root/tests/refs/workload.py" --passes "${PASSES:-1}" --expect-module "$module"
memcheck memcheck-attenuator "$root/tests/refs/attenuator_workload.py" --passes "${PASSES:-1}" --expect-core "$core"
[ "$status" -eq 0 ] || exit 1
say "OK"
