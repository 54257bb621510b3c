"""Runs under `valgrind --tool=callgrind`: every case's module loop and floor
loop, each as its own region (counters zeroed before it, dumped under a label right after it),
and an empty loop of the same length for the loop's own cost. Warm-up calls and resets stay
outside the regions; the cyclic GC is off while the regions run.

Under callgrind the server round trips still happen for real; only the instructions of this
process are counted (the server's work and the time spent waiting for it are not)."""

import argparse
import ctypes
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import add_hiredis_argument, use_hiredis  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    add_hiredis_argument(parser)
    parser.add_argument("--cgmark", required=True)
    parser.add_argument("--n", type=int, default=200, help="calls per region")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--cases", default="", help="comma-separated names; all when empty")
    args = parser.parse_args()
    use_hiredis(args.hiredis == "yes")

    from cases import EMPTY_LOOP, build_cases

    from orba_sdk.redis import store_link

    marks = ctypes.CDLL(args.cgmark)
    marks.cg_dump.argtypes = [ctypes.c_char_p]
    names = set(args.cases.split(",")) if args.cases else None
    cases = build_cases(store_link, args.port, names)
    for case in cases:
        for side in (case.module, case.floor):
            side(1 if case.scan else 20)
        if case.reset:
            case.reset()

    def region(label, loop, n):
        marks.cg_zero()
        loop(n)
        marks.cg_dump(label.encode())

    gc.collect()
    gc.disable()
    # The first dump also carries costs from before the first zeroing: throw it away.
    region("discard|discard|0|1", EMPTY_LOOP, 1)
    # Pass -1 runs every region once unmeasured, so that the interpreter's specialisation and
    # first-use work are done before anything is counted.
    for rep in range(-1, args.reps):
        for case in cases:
            if case.scan and rep != 0:
                continue  # 10k SCAN round trips per call: one region per side is plenty
            n = 1 if case.scan else args.n
            sides = [("module", case.module), ("floor", case.floor)]
            if rep % 2:
                sides.reverse()
            for side, loop in sides:
                if not case.scan:
                    loop(10)
                if case.reset:
                    case.reset()
                if rep < 0:
                    loop(n)
                else:
                    region("%s|%s|%d|%d" % (case.name, side, rep, n), loop, n)
                if case.reset:
                    case.reset()
        for n in (args.n, 1):
            EMPTY_LOOP(10)
            if rep >= 0:
                region("empty loop|empty|%d|%d" % (rep, n), EMPTY_LOOP, n)


if __name__ == "__main__":
    main()
