#!/usr/bin/env bash
# The main job: builds the package from the sources into a venv of the newest CPython, starts a
# throwaway redis-server and runs examples/producer_consumer.py against it. Extra arguments go to
# the example (e.g. --rate 1000 --seconds 2).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

need_redis_server
venv=build/example-venv
build_newest "$venv" "$PWD/build/example-build/{wheel_tag}"

start_redis "$venv/bin/python"
echo "== redis-server on 127.0.0.1:$REDIS_PORT (no persistence, stopped on exit)"
"$venv/bin/python" examples/producer_consumer.py --host 127.0.0.1 --port "$REDIS_PORT" "$@"
