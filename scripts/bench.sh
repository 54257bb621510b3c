#!/usr/bin/env bash
# The benchmark suite (bench/README.md): for CPython 3.8 and the newest CPython, builds the package
# from the sources into build/bench-venvs/<version> (with pyperf, hiredis and, for the newest,
# matplotlib), starts a throwaway redis-server and runs bench/suite.py with and without hiredis.
# Writes bench/results/results.json, results.md and plot.png.
#
#   bash scripts/bench.sh            # everything, about 20 minutes
#   bash scripts/bench.sh --quick    # shorter runs and fewer repeats, about 6 minutes
#   bash scripts/bench.sh --python 3.13 --only callgrind,wall   # redo a part, for one Python
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib.sh

quick=()
only=()
wanted=()
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) quick=(--quick) ;;
        --only) only=(--only "$2"); shift ;;
        --python) wanted+=("$2"); shift ;;
        -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
        *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

need_redis_server
if ! command -v valgrind >/dev/null 2>&1 || [ ! -f /usr/include/valgrind/callgrind.h ]; then
    echo "== valgrind is missing: installing it with apt-get"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q valgrind
fi

if [ ${#wanted[@]} -eq 0 ]; then
    mapfile -t wanted < <(python_lines ends)
fi
pythons=()
for want in "${wanted[@]}"; do
    python=$(scripts/find-python.sh "$want")
    for known in "${pythons[@]}"; do
        if [ "$(python_version "$known")" = "$(python_version "$python")" ]; then
            python=
        fi
    done
    if [ -n "$python" ]; then
        pythons+=("$python")
    fi
done
newest=$(scripts/find-python.sh newest)

work=$root/build/bench
mkdir -p "$work" bench/results
# The callgrind markers: valgrind client requests, reached from Python through ctypes.
cc -O2 -shared -fPIC -o "$work/cgmark.so" bench/cgmark.c

declare -a venvs=()
for python in "${pythons[@]}"; do
    version=$(python_version "$python")
    venv=$root/build/bench-venvs/$version
    echo "== CPython $version: building the package into $venv"
    dev_venv "$venv" "$python" "scikit-build-core>=0.8" pyperf
    # Unstripped, so that the callgrind breakdown names the module's own functions.
    "$venv/bin/python" -m pip install -q --no-build-isolation -C install.strip=false \
        -C "build-dir=$root/build/bench-build/{wheel_tag}" ".[hiredis]"
    venvs+=("$venv")
done
report_venv=$root/build/bench-venvs/report
dev_venv "$report_venv" "$newest" pyperf matplotlib

start_redis "${venvs[0]}/bin/python"
echo "== redis-server on 127.0.0.1:$REDIS_PORT (no persistence, stopped on exit)"

# A partial run (--only) replaces its sections in the results of the last run and keeps the rest.
if [ ${#only[@]} -eq 0 ]; then
    rm -f "$work"/partial-*.json
else
    only+=(--merge)
fi
for venv in "${venvs[@]}"; do
    for hiredis in yes no; do
        version=$(python_version "$venv/bin/python")
        echo
        echo "==================== CPython $version, hiredis $hiredis ===================="
        env -u REDIS_HOST "$venv/bin/python" bench/suite.py --port "$REDIS_PORT" \
            --hiredis "$hiredis" --cgmark "$work/cgmark.so" --work "$work" \
            --out "$work/partial-$version-hiredis-$hiredis.json" "${quick[@]}" "${only[@]}"
    done
done

"$report_venv/bin/python" bench/report.py --out bench/results "$work"/partial-*.json
echo
cat bench/results/results.md
