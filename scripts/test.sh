#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs redis-server when it is missing, builds the
# sdist once, then for every CPython line from 3.8 to the newest that pyenv has installs the sdist
# into a fresh venv (isolated build, its own CMake tree) and runs pytest, mypy and stubtest against
# the installed package. The next line's venv is built while this line's tests run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib.sh

need_redis_server

echo "-- python -m build --sdist"
sdist=$(build_sdist "$root/build/sdist")

# install_line PYTHON VERSION: a fresh venv with the sdist and the test tools installed.
install_line() {
    local venv=$root/build/test-venvs/$2
    echo "-- venv $venv"
    fresh_venv "$venv" "$1" || return 1
    # Installing from the sdist proves that it carries everything the build needs. An isolated
    # build starts from a new source and build environment each time, so scikit-build-core clears
    # the CMake cache anyway: the tree is per line only so that two lines never share one.
    echo "-- pip install $(basename "$sdist")[test] (isolated build)"
    rm -rf "$root/build/test-build/$2"
    "$venv/bin/python" -m pip install -q -C "build-dir=$root/build/test-build/$2" "$sdist[test]"
}

# test_line PYTHON VERSION: pytest, mypy and stubtest against the package installed in the venv.
test_line() {
    local venv=$root/build/test-venvs/$2
    echo "-- pytest (CPython $2)"
    run_suite "$venv" "$root/build/test-results/$2.xml" || return 1

    echo "-- mypy examples (CPython $2)"
    "$venv/bin/python" -m mypy --cache-dir "$venv/mypy-cache" examples || return 1

    # The stub is what users type-check against: it must match the compiled module. The names
    # that the module re-exports from the standard library are typeshed's business.
    echo "-- stubtest orba_sdk.redis.store_link (CPython $2)"
    printf '%s\n' 'orba_sdk.redis.store_link.ThreadPoolExecutor.*' >"$venv/stubtest-allowlist"
    "$venv/bin/python" -m mypy.stubtest --mypy-config-file pyproject.toml \
        --allowlist "$venv/stubtest-allowlist" --ignore-unused-allowlist \
        orba_sdk.redis.store_link
}

rm -rf "$root/build/test-results"
mapfile -t lines < <(python_lines)
status=0
for_each_line install_line test_line "${lines[@]}" || status=1
shopt -s nullglob
total_results "$root"/build/test-results/*.xml || status=1
exit "$status"
