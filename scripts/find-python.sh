#!/usr/bin/env bash
# Prints the path of a CPython interpreter: "find-python.sh 3.8" for that line, "find-python.sh newest" for the newest one pyenv (or PATH) has.
set -euo pipefail
want=${1:?usage: find-python.sh 3.X|newest}
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
candidates=$(ls -d "$root"/versions/3.* 2>/dev/null | sed 's#.*/##' | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -t. -k1,1n -k2,2n -k3,3n || true)
if [ "$want" = newest ]; then
    pick=$(echo "$candidates" | tail -n 1)
else
    pick=$(echo "$candidates" | grep -E "^${want//./\\.}\." | tail -n 1 || true)
fi
if [ -n "$pick" ] && [ -x "$root/versions/$pick/bin/python3" ]; then
    echo "$root/versions/$pick/bin/python3"
elif [ "$want" != newest ] && command -v "python$want" >/dev/null; then
    command -v "python$want"
else
    echo "find-python.sh: no CPython $want found" >&2
    exit 1
fi
