#!/usr/bin/env bash
# Reference and block counting on Debian's debug interpreter.
#
# Builds the module and the kq2741ctl package's core against python3.11-dbg
# in build/refs (Py_DEBUG headers, the 'd' ABI, never installed) and
#   1. runs tests/refs/workload.py --check-refs: every method down every path,
#      round after round; sys.gettotalrefcount() and sys.getallocatedblocks()
#      must stay exactly where they were after warm-up (no drift allowed);
#      then tests/refs/attenuator_workload.py the same way for the package,
#   2. runs the pytest suite on the debug interpreter, whose own checks
#      (negative refcounts, results returned with an exception set, the debug
#      allocator's guard bytes) then watch every call the tests make. The
#      fuzz group runs there too when Debian's hypothesis is installed.
#      kq2741-sim and kq2741ctl do not depend on the interpreter: the suite
#      is told where they are. Three groups are left out by name, because
#      they test the installed package and this build is only on PYTHONPATH:
#      the demonstration program's tests (the program embeds the interpreter
#      it was installed for and imports the installed module, so here it
#      would run the release build), the mypy tests (a static check with
#      nothing for the debug interpreter to watch; mypy is not installed for
#      it), python -m kq2741ctl (which runs the program installed beside the
#      interpreter, here none), the IOC's and the ophyd device's tests
#      (kq2741-ioc runs on the venv's interpreter, and their clients, caproto,
#      p4p, ophyd-async, bluesky and PyDM, are installed there only) and the
#      panel's (kq2741-panel too, and Starlette, uvicorn, websockets and
#      Playwright are installed there only). make
#      test runs them all.
#
# meson's python module takes the interpreter to build for from the
# [binaries] python entry of a native file; find_installation() in
# meson.build stays as it is.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build="$root/build/refs"
python=/usr/bin/python3.11-dbg

say() { echo "check-refs: $*"; }

packages=(python3.11-dbg python3.11-dev python3-serial python3-pytest python3-hypothesis python3-numpy)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
source "$root/tools/lib.sh"
apt_install check-refs "${missing[@]}"

# meson >= 1.2 as the project asks; Debian 12's is older, so the venv gets
# one when nothing on PATH will do.
[ -x "$root/.venv/bin/python" ] || "$root/tools/bootstrap.sh"
ensure_meson "$root/.venv/bin/python"
configure "$build" "$python" --buildtype=debug
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
module="$build/src/kq2741$suffix"
ninja -C "$build" "src/kq2741$suffix" "package/_core$suffix" "package/_simulator$suffix" >/dev/null
core=$(stage_package "$build" "$suffix")
say "built $module and $core"

export PYTHONPATH="$build/src:$build/site"
status=0

start=$SECONDS
"$python" "$root/tests/refs/workload.py" --check-refs --expect-module "$module" || status=1
"$python" "$root/tests/refs/attenuator_workload.py" --check-refs --expect-core "$core" || status=1
say "reference counts: $((SECONDS - start)) s"

# The programs: sanitized ones from check-asan's build are as good as the
# installed ones; one found nowhere fails the tests that run it.
program() {
    local variable=$1 built=$2 candidate
    [ -z "${!variable:-}" ] || return 0
    for candidate in "$root/build/asan/$built" "$root/.venv/bin/$(basename "$built")"; do
        if [ -x "$candidate" ]; then
            export "$variable=$candidate"
            say "${variable}=$candidate"
            return 0
        fi
    done
}
program KQ2741_SIM sim/kq2741-sim
program KQ2741CTL ctl/kq2741ctl
installed_only=(
    tests/test_demo_program.py
    tests/test_ioc.py
    tests/test_ioc_faults.py
    tests/test_ioc_screens.py
    tests/test_ophyd.py
    tests/test_tango.py
    tests/test_aio.py
    tests/test_readme.py
    tests/test_panel.py
    tests/test_panel_browser.py
    tests/test_extras.py
    tests/test_examples.py::test_an_example_without_its_dependency_says_what_it_needs_in_one_line
    tests/test_examples.py::test_examples_type_check_against_the_installed_stubs
    tests/test_examples.py::test_stubs_match_the_built_module
    tests/test_examples.py::test_mypy_sees_wrong_arguments_and_misspelt_result_keys
    tests/test_attenuator.py::test_python_m_runs_the_program
)
start=$SECONDS
"$python" -c '
import os, sys
import kq2741, kq2741ctl._core
for imported, built in ((kq2741, sys.argv[1]), (kq2741ctl._core, sys.argv[2])):
    if not os.path.samefile(imported.__file__, built):
        sys.exit(f"check-refs: imported {imported.__file__}, not {built}")
print(f"check-refs: testing {kq2741.__file__} and {kq2741ctl._core.__file__} on {sys.executable}", flush=True)
import pytest
# A whole file is left out uncollected: some import what this interpreter lacks (PyTango).
deselect = [arg for node in sys.argv[3:] for arg in ("--ignore" if node.endswith(".py") else "--deselect", node)]
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", *deselect, "tests"]))
' "$module" "$core" "${installed_only[@]}" || status=1
say "suite on the debug interpreter: $((SECONDS - start)) s"

if [ "$status" -ne 0 ]; then
    say "FAILED" >&2
    exit 1
fi
say "OK"
