# Helpers shared by the scripts: source it from the project root ("source scripts/lib.sh").

# as_root CMD...: runs CMD as root, through sudo when we are not root already.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
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

# test_pythons: prints CPython 3.8 and the newest CPython present, one a line (once if the same).
test_pythons() {
    local oldest newest
    oldest=$(scripts/find-python.sh 3.8)
    newest=$(scripts/find-python.sh newest)
    echo "$oldest"
    if [ "$(python_version "$newest")" != "$(python_version "$oldest")" ]; then
        echo "$newest"
    fi
}

# python_version PYTHON: prints "3.X.Y" for that interpreter.
python_version() {
    "$1" -c 'import platform; print(platform.python_version())'
}

# dev_venv DIR PYTHON PACKAGES...: makes DIR a venv of PYTHON when it is not one yet,
# and installs PACKAGES into it (the build tools for no-isolation builds, for instance).
dev_venv() {
    local dir=$1 python=$2
    shift 2
    if [ ! -x "$dir/bin/python" ]; then
        rm -rf "$dir"
        "$python" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --upgrade pip
    fi
    if [ $# -gt 0 ]; then
        "$dir/bin/python" -m pip install -q "$@"
    fi
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

# free_port PYTHON: prints a TCP port that is free on the loopback interface right now.
free_port() {
    "$1" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_redis PYTHON: starts a throwaway redis-server (free loopback port, no persistence,
# own temp dir) and sets REDIS_PORT. It is stopped when the calling script exits.
start_redis() {
    need_redis_server
    REDIS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/orba-redis.XXXXXX")
    REDIS_PORT=$(free_port "$1")
    redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --save '' --appendonly no \
        --dir "$REDIS_DIR" --daemonize no --loglevel warning \
        >"$REDIS_DIR/redis.log" 2>&1 &
    REDIS_PID=$!
    trap stop_redis EXIT
    trap 'exit 130' INT TERM
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
