# Helpers shared by the scripts: source it from the project root ("source scripts/lib.sh").

# as_root CMD...: runs CMD as root, through sudo when we are not root already.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# on_exit CMD...: runs CMD when the script exits (after the commands registered before it).
on_exit() {
    EXIT_ACTIONS+=("$*")
    trap 'for action in "${EXIT_ACTIONS[@]}"; do $action; done' EXIT
    trap 'exit 130' INT TERM
}

# need_redis_server: installs Debian's redis-server when the machine has none.
need_redis_server() {
    if command -v redis-server >/dev/null 2>&1; then
        return 0
    fi
    echo "== redis-server is missing: installing it with apt-get"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q redis-server
}

# python_lines [ends]: prints the CPython lines to work on, one a line: every line from 3.8 to
# the newest that pyenv has ("3.8" ... "3.13"), or with "ends" only 3.8 and the newest (once when
# they are the same). Whether a line's interpreter is present is for find-python.sh to say.
python_lines() {
    local newest minor=8
    if newest=$(scripts/find-python.sh newest 2>/dev/null); then
        newest=$(python_version "$newest")
        newest=${newest#3.}
        newest=${newest%%.*}
    else
        newest=8
    fi
    if [ "${1:-}" = ends ]; then
        echo 3.8
        if [ "$newest" -gt 8 ]; then
            echo "3.$newest"
        fi
        return 0
    fi
    while [ "$minor" -le "$newest" ]; do
        echo "3.$minor"
        minor=$((minor + 1))
    done
}

# python_version PYTHON: prints "3.X.Y" for that interpreter.
python_version() {
    "$1" -c 'import platform; print(platform.python_version())'
}

# fresh_venv DIR PYTHON: makes DIR a new venv of PYTHON with an up-to-date pip.
fresh_venv() {
    rm -rf "$1"
    mkdir -p "$(dirname "$1")"
    "$2" -m venv "$1" || return 1
    "$1/bin/python" -m pip install -q --upgrade pip
}

# dev_venv DIR PYTHON PACKAGES...: makes DIR a venv of PYTHON when it is not one yet,
# and installs PACKAGES into it (the build tools for no-isolation builds, for instance).
dev_venv() {
    local dir=$1 python=$2
    shift 2
    if [ ! -x "$dir/bin/python" ]; then
        fresh_venv "$dir" "$python" || return 1
    fi
    if [ $# -gt 0 ]; then
        "$dir/bin/python" -m pip install -q "$@"
    fi
}

# build_sdist DIR: builds the sdist of the project into DIR (emptied first) with the newest
# CPython and prints its path.
build_sdist() {
    local python
    python=$(scripts/find-python.sh newest) || return 1
    rm -rf "$1"
    dev_venv build/sdist-venv "$python" build >&2 || return 1
    build/sdist-venv/bin/python -m build -q --sdist --outdir "$1" . >/dev/null || return 1
    ls "$1"/orba_sdk-*.tar.gz
}

# for_each_line PREPARE RUN LINE...: for each CPython LINE ("3.8", ...) calls
# "PREPARE PYTHON VERSION" and then "RUN PYTHON VERSION", each returning non-zero on failure.
# The next line's PREPARE runs in the background while this line's RUN runs (RUN, such as a
# pytest suite with timing tests, never shares the machine with another RUN); its output is shown
# when its line's turn comes. A line without an interpreter fails when it is the first or the
# last one, and is skipped otherwise. Prints a summary, one line a LINE; returns non-zero when
# a line failed.
for_each_line() {
    local prepare=$1 run=$2
    shift 2
    local -a lines=("$@") pythons=() versions=() summary=()
    local i status=0 log_dir
    log_dir=$(mktemp -d "${TMPDIR:-/tmp}/orba-lines.XXXXXX")
    for i in "${!lines[@]}"; do
        pythons[i]=$(scripts/find-python.sh "${lines[i]}" 2>/dev/null) || pythons[i]=
        versions[i]=${lines[i]}
        if [ -n "${pythons[i]}" ]; then
            versions[i]=$(python_version "${pythons[i]}")
        fi
    done

    # start_prepare I: PREPARE of line I in the background (nothing when its interpreter is missing).
    start_prepare() {
        if [ "$1" -lt "${#lines[@]}" ] && [ -n "${pythons[$1]}" ]; then
            "$prepare" "${pythons[$1]}" "${versions[$1]}" >"$log_dir/$1.log" 2>&1 &
            PREPARE_PID=$!
        fi
    }

    PREPARE_PID=
    on_exit stop_prepare
    start_prepare 0
    for i in "${!lines[@]}"; do
        echo
        echo "==================== CPython ${versions[i]} ===================="
        if [ -z "${pythons[i]}" ]; then
            if [ "$i" -eq 0 ] || [ "$i" -eq $((${#lines[@]} - 1)) ]; then
                echo "CPython ${lines[i]} is not installed (pyenv install ${lines[i]})" >&2
                summary+=("CPython ${lines[i]}: FAILED (not installed)")
                status=1
            else
                echo "CPython ${lines[i]} is not installed: skipped"
                summary+=("CPython ${lines[i]}: skipped (not installed)")
            fi
            start_prepare $((i + 1))
            continue
        fi
        if wait "$PREPARE_PID"; then
            PREPARE_PID=
            cat "$log_dir/$i.log"
            start_prepare $((i + 1))
            if "$run" "${pythons[i]}" "${versions[i]}"; then
                summary+=("CPython ${versions[i]}: passed")
                continue
            fi
        else
            PREPARE_PID=
            cat "$log_dir/$i.log"
            start_prepare $((i + 1))
        fi
        summary+=("CPython ${versions[i]}: FAILED")
        status=1
    done
    rm -rf "$log_dir"

    echo
    echo "==================== summary ===================="
    printf '%s\n' "${summary[@]}"
    return "$status"
}

stop_prepare() {
    if [ -n "${PREPARE_PID:-}" ]; then
        kill "$PREPARE_PID" 2>/dev/null || true
        wait "$PREPARE_PID" 2>/dev/null || true
    fi
}

# total_results RESULT_XML...: prints the tests of each pytest JUnit file and, last and alone on
# its line, "tests: N passed, N failed" over all of them; fails when a test failed or none passed.
total_results() {
    "$(scripts/find-python.sh newest)" - "$@" <<'PY'
import os
import re
import sys
import xml.etree.ElementTree as ET


def by_version(path):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", path)]


passed = failed = 0
for path in sorted(sys.argv[1:], key=by_version):
    good = bad = 0
    for suite in ET.parse(path).getroot().iter("testsuite"):
        total, skipped = int(suite.get("tests")), int(suite.get("skipped"))
        errors = int(suite.get("failures")) + int(suite.get("errors"))
        good += total - skipped - errors
        bad += errors
    print("  %s: %d passed, %d failed" % (os.path.basename(path)[: -len(".xml")], good, bad))
    passed += good
    failed += bad
print("tests: %d passed, %d failed" % (passed, failed))
sys.exit(1 if failed or not passed else 0)
PY
}

# run_suite VENV RESULT_XML [PATH]: runs the pytest suite from the project root against the
# package installed in VENV (with PATH as the search path when given), after checking that the
# module comes from VENV and not from src/.
run_suite() {
    local venv=$1 where
    mkdir -p "$(dirname "$2")"
    (
        unset REDIS_HOST
        PATH=${3:-$PATH}
        # "python -m" puts the project root on sys.path, not src/: the package that the tests
        # import must be the installed one, with its compiled module.
        where=$("$venv/bin/python" -c \
            'import orba_sdk.redis.store_link as m; print(m.__file__)') || exit 1
        echo "-- testing $where"
        case "$where" in
            "$venv"/*) ;;
            *) echo "the module was not imported from $venv" >&2; exit 1 ;;
        esac
        exec "$venv/bin/python" -m pytest -p no:cacheprovider --junitxml="$2"
    )
}

# build_into VENV BUILD_DIR [EXTRA]: builds the extension from the sources into VENV,
# without build isolation so that BUILD_DIR serves as an incremental CMake build tree.
# EXTRA names an optional-dependency group to install as well (e.g. "test").
build_into() {
    local venv=$1 build_dir=$2 extra=${3:-}
    local target=.
    if [ -n "$extra" ]; then
        target=".[$extra]"
    fi
    "$venv/bin/python" -m pip install -q --no-build-isolation \
        -C "build-dir=$build_dir" "$target"
}

# build_newest VENV BUILD_DIR [EXTRA]: build_into a venv of the newest CPython, made when missing.
build_newest() {
    local python
    python=$(scripts/find-python.sh newest) || return 1
    echo "== building the package into $1 (CPython $(python_version "$python"))"
    dev_venv "$1" "$python" "scikit-build-core>=0.8" || return 1
    build_into "$@"
}

# free_port PYTHON: prints a TCP port that is free on the loopback interface right now.
free_port() {
    "$1" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_redis PYTHON [PORT]: starts a throwaway redis-server (on PORT, else on a free loopback
# port; no persistence, own temp dir) and sets REDIS_PORT. It is stopped when the calling script
# exits.
start_redis() {
    need_redis_server
    REDIS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/orba-redis.XXXXXX")
    REDIS_PORT=${2:-$(free_port "$1")}
    redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --save '' --appendonly no \
        --dir "$REDIS_DIR" --daemonize no --loglevel warning \
        >"$REDIS_DIR/redis.log" 2>&1 &
    REDIS_PID=$!
    on_exit stop_redis
    local tries=0
    until redis-cli -h 127.0.0.1 -p "$REDIS_PORT" ping >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ "$tries" -gt 200 ] || ! kill -0 "$REDIS_PID" 2>/dev/null; then
            echo "redis-server did not start on port $REDIS_PORT:" >&2
            cat "$REDIS_DIR/redis.log" >&2
            exit 1
        fi
        sleep 0.05
    done
    export REDIS_PORT
}

stop_redis() {
    if [ -n "${REDIS_PID:-}" ]; then
        kill "$REDIS_PID" 2>/dev/null || true
        wait "$REDIS_PID" 2>/dev/null || true
        REDIS_PID=
    fi
    if [ -n "${REDIS_DIR:-}" ]; then
        rm -rf "$REDIS_DIR"
        REDIS_DIR=
    fi
}
