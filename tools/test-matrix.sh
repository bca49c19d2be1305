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

# One version's run: its lines in $work/VERSION.out and its one-line result
# in $work/VERSION.result.
one_version() {
    local version=$1 python full venv dist wheel log
    if ! python=$(interpreter "$version"); then
        echo "$version: skipped (not installed)" > "$work/$version.result"
        return 0
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
        echo "$full: $(tail -n 1 "$log")" > "$work/$version.result"
    else
        echo "$full: FAILED: $(tail -n 1 "$log")" > "$work/$version.result"
        tail -n 40 "$log" >&2
    fi
    say "CPython $(cat "$work/$version.result")"
}

mkdir -p "$work"
# One version after another: side by side they take a third less time, but
# the load makes the suites' servers and browser slower than any user's.
for version in $versions; do
    rm -f "$work/$version.result"
    one_version "$version" 2>&1 | tee "$work/$version.out" || true
done

summary=()
failed=0
for version in $versions; do
    result=$(cat "$work/$version.result" 2>/dev/null || echo "$version: FAILED: it ended before saying how")
    summary+=("$result")
    case $result in *FAILED*) failed=1 ;; esac
done

say "summary"
printf '  %s\n' "${summary[@]}"
exit "$failed"
