#!/usr/bin/env bash
# valgrind memcheck over a representative part of the suite (argument binding, plain values,
# keys, frame records on both paths, the worker loop) on the newest CPython, with
# PYTHONMALLOC=malloc so that every allocation is checked. Fails on any invalid read or write,
# use of uninitialised memory or bad free. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib.sh

need_redis_server
if ! command -v valgrind >/dev/null 2>&1; then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q valgrind
fi
venv=build/memcheck-venv
build_newest "$venv" "$root/build/memcheck-build/{wheel_tag}" test

echo "== pytest under valgrind memcheck"
env -u REDIS_HOST PYTHONMALLOC=malloc \
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=no -q \
    --suppressions=scripts/memcheck.supp \
    "$venv/bin/python" -m pytest -p no:cacheprovider -q -m "not slow" \
    tests/test_arguments.py tests/test_values.py tests/test_keys.py \
    tests/test_frames.py tests/test_worker.py "$@"
echo "memcheck: passed, no error reported"
