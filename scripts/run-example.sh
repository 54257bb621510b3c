#!/usr/bin/env bash
# The main job: builds the package from the sources into a venv of the newest CPython, starts a
# throwaway redis-server and runs examples/producer_consumer.py against it. Extra arguments go to
# the example (e.g. --rate 1000 --seconds 2).
set -euo pipefail
cd "$(dirname "$0")/.."
exec bash scripts/nox.sh -s example -- "$@"
