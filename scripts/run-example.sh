#!/usr/bin/env bash
# The main job: builds the package from the sources into a venv of the newest CPython, starts a
# throwaway redis-server and runs examples/producer_consumer.py against it. Extra arguments go to
# the example (e.g. --rate 1000 --seconds 2). With --restart-server-after SECONDS first, the
# server is restarted on the same port (empty) that long into the run.
set -euo pipefail
cd "$(dirname "$0")/.."
exec bash scripts/nox.sh -s example -- "$@"
