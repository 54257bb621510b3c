"""Compares the instruction figures of the last benchmark run with a committed baseline.

    python bench/guard.py RESULTS BASELINE            # fails when a figure is > 1 % worse
    python bench/guard.py RESULTS BASELINE --update   # makes RESULTS the new baseline

A figure is the module's instruction count over its floor's (bench/README.md); the floor is
redis-py or queue.Queue doing the same work in the same process, so a change of the ratio is a
change of the module's own cost.
"""

import argparse
import json
import sys

TOLERANCE = 0.01


def instruction_figures(results):
    """{"3.8 hiredis=yes | figure": ratio} of a results.json."""
    figures = {}
    for variant in results["variants"]:
        python = ".".join(variant["variant"]["python"].split(".")[:2])
        hiredis = variant["variant"]["hiredis_used"]
        for figure in variant["figures"]:
            if figure.get("kind") == "instructions":
                key = "%s hiredis=%s | %s" % (python, hiredis, figure["figure"])
                figures[key] = figure["value"]
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("results")
    parser.add_argument("baseline")
    parser.add_argument("--update", action="store_true")
    args = parser.parse_args()
    with open(args.results) as f:
        current = instruction_figures(json.load(f))
    if args.update:
        try:
            with open(args.baseline) as f:
                note = json.load(f).get("note", "")
        except FileNotFoundError:
            note = ""
        with open(args.baseline, "w") as f:
            json.dump({"note": note, "figures": current}, f, indent=1, sort_keys=True)
            f.write("\n")
        print("baseline: %d instruction figures written to %s" % (len(current), args.baseline))
        return 0
    with open(args.baseline) as f:
        baseline = json.load(f)["figures"]
    worse, missing = [], sorted(set(baseline) - set(current))
    for key in sorted(baseline):
        if key not in current:
            continue
        change = current[key] / baseline[key] - 1
        flag = "WORSE" if change > TOLERANCE else ""
        print(
            "%-75s %.4f -> %.4f %+6.2f%% %s"
            % (key, baseline[key], current[key], 100 * change, flag)
        )
        if flag:
            worse.append(key)
    for key in missing:
        print("%-75s missing from this run" % key)
    print(
        "bench guard: %d figures, %d more than %.0f%% worse, %d missing"
        % (len(baseline), len(worse), 100 * TOLERANCE, len(missing))
    )
    return 1 if worse or missing else 0


if __name__ == "__main__":
    sys.exit(main())
