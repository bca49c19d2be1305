#!/usr/bin/env bash
# The driver under AddressSanitizer and UndefinedBehaviorSanitizer.
#
# Builds the module (and the simulator and kq2741ctl, when the root
# meson.build wires them in) with -fsanitize=address,undefined in build/asan,
# a build that is never installed or shipped, then:
#   1. runs the whole pytest suite against that module, simulator and
#      kq2741ctl,
#   2. runs the demonstration program, built the same way, against the
#      sanitized simulator,
#   3. runs tests/refs/workload.py and tests/refs/attenuator_workload.py
#      (the kq2741ctl package's core, built the same way) with LeakSanitizer
#      on,
#   4. runs every kq2741ctl command in one batch with LeakSanitizer on.
# Any sanitizer report, from this process or any process the tests start,
# fails the run; the reports are printed at the end. ASan writes its reports
# to files (log_path), which also catches processes whose stderr a test
# captures; gcc 12's libubsan ignores log_path next to ASan and writes to
# stderr, so the output of every step is also kept and searched for them.
#
# How the pieces fit:
#   - Python itself is not instrumented, so the ASan runtime has to be loaded
#     before anything else: LD_PRELOAD of gcc's libasan. libstdc++ is
#     preloaded too, so ASan's interception of C++ exception throwing finds
#     it already there instead of meeting it later through dlopen.
#   - PYTHONMALLOC=malloc sends every Python allocation through malloc, so
#     ASan sees (and poisons) the objects the module reads and writes rather
#     than pymalloc's arenas.
#   - PYTHONPATH puts build/asan/src first; the run checks in-process that
#     the imported kq2741 is that file and that both runtimes are loaded.
#   - -fno-sanitize-recover=undefined plus halt_on_error=1: the first
#     undefined behaviour stops the process instead of being printed and
#     forgotten.
#   - Leaks: the suite runs with detect_leaks=0, since pytest, hypothesis and
#     the interpreter keep memory alive until exit on purpose and those
#     reports would bury anything of ours. The module's own allocations are
#     all Python objects, so a leak of ours is a lost reference: step 3 runs
#     the workload (every method, every path) with detect_leaks=1, where the
#     interpreter itself reports nothing, and any leak fails; a leaked
#     object's allocation stack shows the module's frames.
#     tools/check-refs.sh counts the references themselves.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/tools/bootstrap.sh"
python="$root/.venv/bin/python"
build="$root/build/asan"
reports="$build/reports"
logs="$build/logs"

say() { echo "check-asan: $*"; }

# gcc's sanitizer runtimes; gcc prints the bare name when it has none.
runtime() { local path; path=$(gcc -print-file-name="$1"); [ -e "$path" ] && readlink -f "$path"; }
source "$root/tools/lib.sh"
if ! runtime libasan.so >/dev/null || ! runtime libubsan.so >/dev/null; then
    apt_install check-asan libasan8 libubsan1
fi
libasan=$(runtime libasan.so)
libstdcxx=$(readlink -f "$(g++ -print-file-name=libstdc++.so)")

ensure_meson "$python"
# The module is built for the venv's interpreter, the one that runs the tests.
configure "$build" "$python" --buildtype=debug -Db_sanitize=address,undefined \
    "-Dcpp_args=['-fno-sanitize-recover=undefined','-fno-omit-frame-pointer','-fsanitize=float-divide-by-zero,float-cast-overflow']"
ninja -C "$build" >/dev/null
module=$(find "$build/src" -maxdepth 1 -name 'kq2741*.so' | head -n 1)
core=$(stage_package "$build" "$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')")
for built in "$module" "$core"; do
    symbols=$(nm -D --undefined-only "$built")
    for marker in __asan_report_ __ubsan_handle_; do
        if ! grep -q "$marker" <<< "$symbols"; then
            say "$built is not instrumented ($marker missing)" >&2
            exit 1
        fi
    done
done
say "built $module and $core"

unset KQ2741_SIM
if [ -x "$build/sim/kq2741-sim" ]; then
    export KQ2741_SIM="$build/sim/kq2741-sim"
    say "simulator: $KQ2741_SIM (sanitized)"
else
    say "simulator: not wired into meson.build; simulator tests use whatever tests/simulator.py finds"
fi

unset KQ2741CTL
if [ -x "$build/ctl/kq2741ctl" ]; then
    export KQ2741CTL="$build/ctl/kq2741ctl"
    say "kq2741ctl: $KQ2741CTL (sanitized)"
else
    say "kq2741ctl: not wired into meson.build; its tests use whatever tests/ctl.py finds"
fi

rm -rf "$reports" "$logs"
mkdir -p "$reports" "$logs"
export PYTHONPATH="$build/src:$build/site"
export LD_PRELOAD="$libasan:$libstdcxx"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

failed=0

# 1. The suite, in the process that verified what it imported.
start=$SECONDS
"$python" -c '
import os, sys
import kq2741, kq2741ctl._core
for imported, built in ((kq2741, sys.argv[1]), (kq2741ctl._core, sys.argv[2])):
    if not os.path.samefile(imported.__file__, built):
        sys.exit(f"check-asan: imported {imported.__file__}, not the sanitized {built}")
maps = open("/proc/self/maps").read()
if "libasan" not in maps or "libubsan" not in maps:
    sys.exit("check-asan: the sanitizer runtimes are not loaded")
print(f"check-asan: testing {kq2741.__file__} and {kq2741ctl._core.__file__} with ASan and UBSan loaded",
      flush=True)
import pytest
sys.exit(pytest.main(["-s", "-q", "-p", "no:cacheprovider", "tests"]))
' "$module" "$core" 2>&1 | tee "$logs/suite.log" || failed=1
say "suite: $((SECONDS - start)) s"

# 2. The demonstration program (the sanitized launcher) against the sanitized
#    simulator; its two 5 s pauses are shortened through sitecustomize.
if [ -n "${KQ2741_SIM:-}" ] && [ -x "$build/launcher/kq2741" ]; then
    start=$SECONDS
    work=$(mktemp -d)
    sim_pid=
    cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
    trap cleanup EXIT
    printf 'import time\n_sleep = time.sleep\ntime.sleep = lambda s: _sleep(min(s, 0.3))\n' > "$work/sitecustomize.py"
    "$KQ2741_SIM" > "$work/port" &
    sim_pid=$!
    for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
    purelib=$("$python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    if PYTHONPATH="$build/src:$work:$purelib" "$build/launcher/kq2741" "$(head -n 1 "$work/port")" > "$logs/demo.log" 2>&1 &&
       grep -q "succ close full screen!" "$logs/demo.log"; then
        say "demonstration: ran to the end ($((SECONDS - start)) s)"
    else
        say "demonstration: FAILED" >&2
        cat "$logs/demo.log" >&2
        failed=1
    fi
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
else
    say "demonstration: skipped (no sanitized simulator or launcher)"
fi

# 3. Leaks of the module's objects, over every path of the workload.
start=$SECONDS
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/lsan" \
    "$python" "$root/tests/refs/workload.py" --passes 3 2>&1 | tee "$logs/leaks.log" || failed=1
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/lsan-core" \
    "$python" "$root/tests/refs/attenuator_workload.py" --passes 3 --expect-core "$core" 2>&1 |
    tee "$logs/leaks-core.log" || failed=1
say "leak pass: $((SECONDS - start)) s"

# 4. kq2741ctl's own leaks: every command, on the sanitized simulator.
if [ -n "${KQ2741CTL:-}" ] && [ -n "${KQ2741_SIM:-}" ]; then
    start=$SECONDS
    commands=(version "wavelengths 1 2" "status 1 2" "set 1 0.29" "clear 1" "select 1 1550"
              "disconnect 2" display-close "sweep 1 0 0.1 0.05" "raw 7b 01 05 00 03 00 7d")
    if printf '%s\n' "${commands[@]}" |
       PATH="$(dirname "$KQ2741_SIM"):$PATH" \
       ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/lsan-ctl" \
       "$KQ2741CTL" --sim --json batch > "$logs/ctl.log" 2>&1; then
        say "kq2741ctl leak pass: $((SECONDS - start)) s"
    else
        say "kq2741ctl leak pass: FAILED" >&2
        cat "$logs/ctl.log" >&2
        failed=1
    fi
fi

in_output=$(grep -h -E "runtime error:|ERROR: (Address|Leak)Sanitizer" "$logs"/*.log || true)
if [ -n "$in_output" ]; then
    echo "$in_output" >&2
    say "sanitizer reports in the output above (full output in $logs)" >&2
    failed=1
fi
for report in $(find "$reports" -type f | sort); do
    echo "==== $report" >&2
    cat "$report" >&2
    failed=1
done
if [ "$failed" -ne 0 ]; then
    say "FAILED" >&2
    exit 1
fi
say "OK: no ASan, UBSan or leak reports"
