#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs redis-server when it is missing, then for
# CPython 3.8 and for the newest CPython builds the package from the sources into a fresh venv
# (isolated build, fresh CMake tree) and runs pytest and mypy against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib.sh

need_redis_server

python_list=$(test_pythons)  # fails the script when a CPython is missing
mapfile -t pythons <<<"$python_list"

# test_with PYTHON: one full round; returns non-zero when a step fails.
test_with() {
    local python=$1 version
    version=$(python_version "$python")
    local venv="$root/build/test-venvs/$version" cmake_dir="$root/build/test-build/$version"
    echo
    echo "==================== CPython $version ($python) ===================="
    rm -rf "$venv" "$cmake_dir"
    mkdir -p "$root/build/test-venvs"

    echo "-- venv $venv"
    "$python" -m venv "$venv" || return 1
    "$venv/bin/python" -m pip install -q --upgrade pip || return 1

    # Installing from the sdist proves that it carries everything the build needs.
    echo "-- pip install $(basename "$sdist")[test] (isolated build)"
    "$venv/bin/python" -m pip install -q -C "build-dir=$cmake_dir" "$sdist[test]" || return 1

    # "python -m" puts the project root on sys.path, not src/: the package that the tests
    # import must be the installed one, with its compiled module.
    local where
    where=$("$venv/bin/python" -c \
        'import orba_sdk.redis.store_link as m; print(m.__file__)') || return 1
    echo "-- testing $where"
    case "$where" in
        "$venv"/*) ;;
        *) echo "the module was not imported from the test venv" >&2; return 1 ;;
    esac

    echo "-- pytest (CPython $version)"
    env -u REDIS_HOST "$venv/bin/python" -m pytest -p no:cacheprovider \
        --junitxml="$root/build/test-results/$version.xml" || return 1

    echo "-- mypy examples (CPython $version)"
    "$venv/bin/python" -m mypy --cache-dir "$venv/mypy-cache" examples || return 1

    # The stub is what users type-check against: it must match the compiled module. The names
    # that the module re-exports from the standard library are typeshed's business.
    echo "-- stubtest orba_sdk.redis.store_link (CPython $version)"
    printf '%s\n' 'orba_sdk.redis.store_link.ThreadPoolExecutor.*' >"$venv/stubtest-allowlist"
    "$venv/bin/python" -m mypy.stubtest --mypy-config-file pyproject.toml \
        --allowlist "$venv/stubtest-allowlist" --ignore-unused-allowlist \
        orba_sdk.redis.store_link || return 1
}

echo "-- python -m build --sdist"
rm -rf "$root/build/sdist"
dev_venv "$root/build/sdist-venv" "${pythons[-1]}" build
"$root/build/sdist-venv/bin/python" -m build -q --sdist --outdir "$root/build/sdist" "$root" >/dev/null
sdist=$(ls "$root"/build/sdist/orba_sdk-*.tar.gz)

rm -rf "$root/build/test-results"
declare -a summary=()
status=0
for python in "${pythons[@]}"; do
    version=$(python_version "$python")
    if test_with "$python"; then
        summary+=("CPython $version: passed")
    else
        summary+=("CPython $version: FAILED")
        status=1
    fi
done

echo
echo "==================== summary ===================="
printf '%s\n' "${summary[@]}"
# One closing line over every Python: "N passed, N failed".
"${pythons[-1]}" - "$root"/build/test-results/*.xml <<'PY' || status=1
import sys
import xml.etree.ElementTree as ET

passed = failed = 0
for path in sys.argv[1:]:
    for suite in ET.parse(path).getroot().iter("testsuite"):
        total, skipped = int(suite.get("tests")), int(suite.get("skipped"))
        bad = int(suite.get("failures")) + int(suite.get("errors"))
        passed += total - skipped - bad
        failed += bad
print("tests: %d passed, %d failed" % (passed, failed))
sys.exit(1 if failed or not passed else 0)
PY
exit "$status"
