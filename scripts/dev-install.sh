#!/usr/bin/env bash
# Builds the extension into the development venvs (.venv-3.8, .venv-<newest>), creating them when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
for version in "$@"; do
    venv=".venv-$version"
    if [ ! -x "$venv/bin/python" ]; then
        python_bin=$(scripts/find-python.sh "$version")
        "$python_bin" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q "scikit-build-core>=0.8" pytest hypothesis mypy redis orjson
    fi
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps .
done
