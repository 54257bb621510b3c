"""Wall-time worker: in one process, alternates blocks of the module loop and of the floor loop of
each case (module first in one pair, floor first in the next), so that both sides see the same
machine state; the ratio of each pair cancels the drift that separate runs would suffer. Prints
the per-call times of every block as JSON."""

import argparse
import gc
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import add_hiredis_argument, use_hiredis  # noqa: E402


def timed(loop, n, reset):
    if reset:
        reset()
    gc.disable()
    start = time.perf_counter()
    loop(n)
    elapsed = time.perf_counter() - start
    gc.enable()
    if reset:
        reset()
    return elapsed / n


def calibrate(case, block_seconds, limit):
    """Calls per block so that one block of the module side lasts about block_seconds."""
    n = 1
    while True:
        per_call = timed(case.module, n, case.reset)
        if per_call * n >= block_seconds / 8 or n >= limit:
            break
        n *= 2
    return max(1, min(limit, int(block_seconds / per_call)))


def main():
    parser = argparse.ArgumentParser()
    add_hiredis_argument(parser)
    parser.add_argument("--pairs", type=int, default=20)
    parser.add_argument("--scan-pairs", type=int, default=5)
    parser.add_argument("--block-ms", type=float, default=20.0)
    parser.add_argument("--cases", default="")
    args = parser.parse_args()
    use_hiredis(args.hiredis == "yes")

    from cases import HAND_OVER_CAPACITY, build_cases

    from orba_sdk.redis import store_link

    names = set(args.cases.split(",")) if args.cases else None
    results = {}
    for case in build_cases(store_link, args.port, names):
        if case.scan:
            n, pairs = 1, args.scan_pairs
        else:
            n = calibrate(case, args.block_ms / 1000.0, HAND_OVER_CAPACITY // 2)
            pairs = args.pairs
        module, floor = [], []
        for i in range(-1, pairs):  # pair -1 is a warm-up
            order = [(case.module, module), (case.floor, floor)]
            if i % 2:
                order.reverse()
            for loop, values in order:
                per_call = timed(loop, n, case.reset)
                if i >= 0:
                    values.append(per_call)
        results[case.name] = {"n": n, "module": module, "floor": floor}
    json.dump(results, sys.stdout)


if __name__ == "__main__":
    main()
