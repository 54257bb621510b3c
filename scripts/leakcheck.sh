#!/usr/bin/env bash
# Leak check: builds the package into its own venvs (CPython 3.8 and the newest), starts a
# throwaway redis-server and runs scripts/leakcheck.py, which repeats every StoreLink operation
# in rounds and fails when memory keeps growing. Extra arguments go to leakcheck.py
# (e.g. --rounds 10 --iterations 1000).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib.sh

need_redis_server
python_list=$(test_pythons)  # fails the script when a CPython is missing
mapfile -t pythons <<<"$python_list"

status=0
declare -a summary=()
for python in "${pythons[@]}"; do
    version=$(python_version "$python")
    venv=build/leakcheck-venvs/$version
    echo
    echo "==================== CPython $version ===================="
    dev_venv "$venv" "$python" "scikit-build-core>=0.8"
    build_into "$venv" "$root/build/leakcheck-build/{wheel_tag}"
    if [ -z "${REDIS_PID:-}" ]; then
        start_redis "$venv/bin/python"
    fi
    if env -u REDIS_HOST "$venv/bin/python" scripts/leakcheck.py --port "$REDIS_PORT" "$@"; then
        summary+=("CPython $version: passed")
    else
        summary+=("CPython $version: FAILED")
        status=1
    fi
done

echo
printf '%s\n' "${summary[@]}"
exit "$status"
