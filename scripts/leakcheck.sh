#!/usr/bin/env bash
# Leak check: builds the package into its own venvs (CPython 3.8 and the newest), starts a
# throwaway redis-server and runs scripts/leakcheck.py, which repeats every StoreLink operation
# in rounds and fails when memory keeps growing. Extra arguments go to leakcheck.py
# (e.g. --rounds 10 --iterations 1000).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib.sh
leakcheck_args=("$@")

need_redis_server

# build_line PYTHON VERSION: the package built from the sources into the line's venv.
build_line() {
    local venv=$root/build/leakcheck-venvs/$2
    dev_venv "$venv" "$1" "scikit-build-core>=0.8" || return 1
    build_into "$venv" "$root/build/leakcheck-build/{wheel_tag}"
}

# check_line PYTHON VERSION: leakcheck.py in the line's venv, against the one redis-server.
check_line() {
    local venv=$root/build/leakcheck-venvs/$2
    if [ -z "${REDIS_PID:-}" ]; then
        start_redis "$venv/bin/python"
    fi
    env -u REDIS_HOST "$venv/bin/python" scripts/leakcheck.py --port "$REDIS_PORT" \
        "${leakcheck_args[@]}"
}

mapfile -t lines < <(python_lines ends)
for_each_line build_line check_line "${lines[@]}"
