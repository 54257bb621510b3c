#!/usr/bin/env bash
# The main job: builds the package from the sources into a venv of the newest CPython, starts a
# throwaway redis-server and runs examples/producer_consumer.py against it. Extra arguments go to
# the example (e.g. --rate 1000 --seconds 2). With --restart-server-after SECONDS first, the
# server is restarted on the same port (empty) that long into the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

restart_after=
if [ "${1:-}" = --restart-server-after ]; then
    restart_after=${2:?--restart-server-after needs a number of seconds}
    shift 2
fi

need_redis_server
venv=build/example-venv
build_newest "$venv" "$PWD/build/example-build/{wheel_tag}"

start_redis "$venv/bin/python"
echo "== redis-server on 127.0.0.1:$REDIS_PORT (no persistence, stopped on exit)"
example=("$venv/bin/python" examples/producer_consumer.py --host 127.0.0.1 --port "$REDIS_PORT")
if [ -z "$restart_after" ]; then
    "${example[@]}" "$@"
    exit
fi
"${example[@]}" "$@" &
example_pid=$!
sleep "$restart_after"
echo "== restarting redis-server on 127.0.0.1:$REDIS_PORT"
stop_redis
start_redis "$venv/bin/python" "$REDIS_PORT"
wait "$example_pid"
