#!/usr/bin/env bash
# The instruction section of the benchmark (callgrind, --quick) on CPython 3.8 and the newest
# CPython, compared with bench/baseline-instructions.json: fails when any figure is more than 1 %
# worse. About 5 minutes. With --update, the run becomes the new baseline instead.
set -euo pipefail
cd "$(dirname "$0")/.."
update=()
if [ "${1:-}" = "--update" ]; then
    update=(--update)
fi
bash scripts/bench.sh --quick --only callgrind
"$(scripts/find-python.sh newest)" bench/guard.py bench/results/results.json \
    bench/baseline-instructions.json "${update[@]}"
