#!/usr/bin/env bash
# Runs nox (noxfile.py) from a venv of its own under build/, after installing what no Python step
# can: redis-server, which every test session starts. Arguments go to nox:
#   bash scripts/nox.sh -s tests       # the whole suite on every CPython line
#   bash scripts/nox.sh -l             # every session
set -euo pipefail
cd "$(dirname "$0")/.."
nox_pin='nox==2026.*'

if ! command -v redis-server >/dev/null 2>&1; then
    echo "== redis-server is missing: installing it with apt-get"
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q redis-server
fi

venv=build/nox-venv
if [ "$(cat "$venv/pin" 2>/dev/null)" != "$nox_pin" ]; then
    # nox needs CPython 3.10 or newer: the newest that pyenv has, else the system's python3.
    python=$(python3 tools/harness.py newest-python 2>/dev/null || echo python3)
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip "$nox_pin"
    echo "$nox_pin" >"$venv/pin"
fi
# A session's totals ("tests: N passed, N failed") come again after nox's own summary: last.
rm -f build/summary.txt
status=0
"$venv/bin/nox" "$@" || status=$?
if [ -f build/summary.txt ]; then
    cat build/summary.txt
fi
exit "$status"
