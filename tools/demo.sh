#!/usr/bin/env bash
# The demonstration in one command: start the simulated KQ2741 on a
# pseudo-terminal, run the kq2741 demonstration program on its port, and
# stop the simulator again, whatever happens in between.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/tools/bootstrap.sh"
bin="$root/.venv/bin"

workdir=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$workdir"
}
trap cleanup EXIT

# Channel 2 supports other wavelengths than channel 1, as on real units.
"$bin/kq2741-sim" --channel-wavelengths 2=1310,1550,1625 >"$workdir/port" &
sim_pid=$!
for _ in $(seq 100); do
    [ -s "$workdir/port" ] && break
    sleep 0.05
done
port=$(head -n 1 "$workdir/port")
if [ -z "$port" ]; then
    echo "demo: the simulator did not start" >&2
    exit 1
fi

echo "demo: simulated KQ2741 on $port"
"$bin/kq2741" "$port"
