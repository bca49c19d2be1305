#!/usr/bin/env bash
# Build the wheel and the sdist, install the wheel into a fresh virtual
# environment, and use it there as a user would: import the module, check the
# stubs with mypy, start the simulator and run the demonstration program on it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/tools/bootstrap.sh"
python="$root/.venv/bin/python"
dist="$root/build/dist"
venv="$root/build/wheel-venv"
rm -rf "$dist" "$venv"

"$python" -m pip wheel -q --no-deps -w "$dist" . 2>&1 | grep -v '^WARNING: Location' || true
"$python" -m build --sdist -o "$dist" . >/dev/null
wheel=$(ls "$dist"/kq2741-*.whl)
echo "wheel: $(basename "$wheel")"
echo "sdist: $(basename "$(ls "$dist"/kq2741-*.tar.gz)")"
"$python" - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
wanted = ["kq2741.cpython-", "/scripts/kq2741", "/scripts/kq2741-sim", "/scripts/kq2741ctl",
          "kq2741-stubs/__init__.pyi", "kq2741ctl/_core.cpython-", "kq2741ctl/__init__.py", "kq2741ctl/py.typed",
          "kq2741ctl/panel/program.py", "kq2741ctl/panel/static/index.html", "kq2741ctl/panel/static/panel.js",
          "kq2741ctl/_simulator.cpython-", "kq2741ctl/protocol_kq2741sim.py"]
missing = [w for w in wanted if not any(w in n for n in names)]
if missing:
    sys.exit(f"wheel lacks {missing}: {names}")
print("wheel holds: module, kq2741, kq2741-sim, kq2741ctl, kq2741-stubs, the kq2741ctl package its panel page and its simulator")
PY

python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q "$wheel" mypy types-pyserial 2>&1 | grep -v '^WARNING: Location' || true
cd "$venv"  # away from the checkout: only the installed wheel can be imported
"$venv/bin/python" -c "import kq2741; print('import:', kq2741.__file__)"
# The ophyd-async example needs ophyd-async, which make test's venv has (and
# type-checks it there); this venv holds the wheel alone.
"$venv/bin/python" -m mypy --strict --exclude ophyd_kq2741 "$root/examples" | sed 's/^/mypy (wheel stubs): /'
# kq2741-ioc and kq2741-panel are console scripts of the wheel; without their
# extras they say what to install and exit 2.
status=0
ioc_err=$("$venv/bin/kq2741-ioc" --sim 2>&1 >/dev/null) || status=$?
if [ "$status" -eq 2 ] && [ "$ioc_err" = 'kq2741-ioc: softioc is not installed: pip install "kq2741[ioc]"' ]; then
    echo "kq2741-ioc without the ioc extra: passed ($ioc_err)"
else
    echo "kq2741-ioc without the ioc extra: FAILED (exit $status: $ioc_err)" >&2
    exit 1
fi
status=0
panel_err=$("$venv/bin/kq2741-panel" --sim 2>&1 >/dev/null) || status=$?
if [ "$status" -eq 2 ] &&
   [ "$panel_err" = 'kq2741-panel: Starlette and uvicorn are not installed: pip install "kq2741[panel]"' ]; then
    echo "kq2741-panel without the panel extra: passed ($panel_err)"
else
    echo "kq2741-panel without the panel extra: FAILED (exit $status: $panel_err)" >&2
    exit 1
fi

sim_out=$(mktemp)
"$venv/bin/kq2741-sim" >"$sim_out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; rm -f "$sim_out"' EXIT
for _ in $(seq 100); do [ -s "$sim_out" ] && break; sleep 0.05; done
port=$(head -n 1 "$sim_out")
output=$("$venv/bin/kq2741" "$port")
echo "$output" | sed 's/^/demo: /'
case "$output" in
    *"succ close full screen!"*) echo "wheel smoke test: passed" ;;
    *) echo "wheel smoke test: FAILED" >&2; exit 1 ;;
esac
if "$venv/bin/python" "$root/examples/fast_sweep.py" "$port" 1 0 0.5 0.25 | sed 's/^/fast_sweep: /'; then
    echo "kq2741ctl.Attenuator from the wheel: passed"
else
    echo "kq2741ctl.Attenuator from the wheel: FAILED" >&2
    exit 1
fi
if "$venv/bin/python" "$root/examples/fast_sweep.py" "kq2741sim://?channels=2" 2 0 0.5 0.25 | sed 's/^/fast_sweep: /'; then
    echo "kq2741sim:// from the wheel: passed"
else
    echo "kq2741sim:// from the wheel: FAILED" >&2
    exit 1
fi
# kq2741ctl must find the kq2741-sim installed beside it, and python -m
# kq2741ctl the kq2741ctl beside its interpreter, with PATH no help.
if env PATH=/usr/bin:/bin "$venv/bin/python" -m kq2741ctl --sim status | sed 's/^/kq2741ctl: /'; then
    echo "kq2741ctl --sim from the wheel: passed"
else
    echo "kq2741ctl --sim from the wheel: FAILED" >&2
    exit 1
fi
