#!/usr/bin/env bash
# The driver on every CPython it supports: for each version, the wheel built
# by pip for that interpreter, installed into a fresh virtual environment
# with the test tools, and the test suite run against that installed copy.
#
# Interpreters come from pyenv (`pyenv prefix 3.12`), else from PATH
# (python3.12). A version found nowhere is skipped with a line saying so.
#   KQ2741_PYTHONS="3.12 3.13" tools/test-matrix.sh    # a subset
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
versions=${KQ2741_PYTHONS:-3.11 3.12 3.13}
work="$root/build/matrix"

say() { echo "test-matrix: $*"; }

interpreter() {
    local prefix
    if command -v pyenv >/dev/null 2>&1 && prefix=$(pyenv prefix "$1" 2>/dev/null) && [ -x "$prefix/bin/python$1" ]; then
        echo "$prefix/bin/python$1"
    else
        command -v "python$1"
    fi
}

summary=()
failed=0
for version in $versions; do
    if ! python=$(interpreter "$version"); then
        say "CPython $version: not installed, skipped"
        summary+=("$version: skipped (not installed)")
        continue
    fi
    full=$("$python" -c 'import platform; print(platform.python_version())')
    say "CPython $full ($python)"
    venv="$work/$version/venv"
    dist="$work/$version/dist"
    rm -rf "$work/$version"
    "$python" -m venv "$venv"
    pip() { "$venv/bin/python" -m pip -q "$@" 2>&1 | { grep -v '^WARNING: Location' || true; }; }
    pip install --upgrade pip
    pip wheel --no-deps -w "$dist" .
    wheel=$(ls "$dist"/kq2741-*.whl)
    say "built $(basename "$wheel")"
    pip install --no-compile "$wheel[test]"  # as tools/bootstrap.sh does, for the frameworks' size
    # From its own folder, so only the installed wheel can be imported.
    log="$work/$version/pytest.log"
    if (cd "$work/$version" && env -u KQ2741_SIM "$venv/bin/python" -m pytest -q -p no:cacheprovider \
            --rootdir "$root" "$root/tests") > "$log" 2>&1; then
        result=$(tail -n 1 "$log")
    else
        result="FAILED: $(tail -n 1 "$log")"
        failed=1
        tail -n 40 "$log" >&2
    fi
    say "CPython $full: $result"
    summary+=("$full: $result")
done

say "summary"
printf '  %s\n' "${summary[@]}"
exit "$failed"
