#!/usr/bin/env bash
# Builds the extension into the development venvs .venv-<line> of the lines given (by default 3.8
# and the newest), creating them when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
if [ $# -eq 0 ]; then
    mapfile -t lines < <(python_lines ends)
    set -- "${lines[@]}"
fi
for line in "$@"; do
    venv=.venv-$line
    if [ ! -x "$venv/bin/python" ]; then
        dev_venv "$venv" "$(scripts/find-python.sh "$line")" \
            "scikit-build-core>=0.8" pytest hypothesis mypy redis orjson
    fi
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps .
done
