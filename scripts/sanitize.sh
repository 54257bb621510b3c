#!/usr/bin/env bash
# Builds the extension with AddressSanitizer, UBSan and its assertions on (the error convention at
# every method's exit, among others) into its own venv (newest CPython) and runs the whole pytest
# suite under it. Fails on any sanitizer report or failed assertion, also one from a subprocess
# that a test starts. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib.sh

need_redis_server
venv=build/sanitize-venv
echo "== STORE_LINK_SANITIZE=ON STORE_LINK_ASSERTIONS=ON"
STORE_LINK_SANITIZE=ON STORE_LINK_ASSERTIONS=ON \
    build_newest "$venv" "$root/build/sanitize-build/{wheel_tag}" test

libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
for lib in "$libasan" "$libubsan"; do
    if [ ! -e "$lib" ]; then
        echo "sanitizer runtime $lib not found (g++ too old or incomplete?)" >&2
        exit 1
    fi
done

reports=$(mktemp -d "${TMPDIR:-/tmp}/orba-sanitize.XXXXXX")
shim=$(mktemp -d "${TMPDIR:-/tmp}/orba-sanitize-bin.XXXXXX")
trap 'rm -rf "$reports" "$shim"' EXIT
# The tests start redis-server themselves; it must run without the sanitizer runtimes that the
# interpreter inherits through LD_PRELOAD.
redis_bin=$(command -v redis-server)
printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$redis_bin" >"$shim/redis-server"
chmod +x "$shim/redis-server"

echo "== pytest under ASan + UBSan"
set +e
env -u REDIS_HOST \
    PATH="$shim:$PATH" \
    LD_PRELOAD="$libasan:$libubsan" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
status=$?
set -e

if compgen -G "$reports/*" >/dev/null; then
    echo
    echo "==================== sanitizer reports ===================="
    for report in "$reports"/*; do
        echo "---- $(basename "$report")"
        cat "$report"
    done
    echo "sanitize: FAILED (sanitizer reports above)"
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitize: FAILED (pytest exit status $status)"
    exit "$status"
fi
echo "sanitize: passed, no sanitizer report"
