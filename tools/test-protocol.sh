#!/usr/bin/env bash
# The wire format library's own unit tests (tests/protocol), built in
# build/protocol and run by meson test.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source "$root/tools/lib.sh"
python="$root/.venv/bin/python"
ensure_meson "$python"
configure "$root/build/protocol" "$python"
meson test -C "$root/build/protocol" --print-errorlogs protocol
