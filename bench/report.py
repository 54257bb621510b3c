"""Gathers the variants written by suite.py into results.json, results.md (one table) and
plot.png."""

import argparse
import datetime
import json
import os
import platform


def load(paths):
    variants = []
    for path in paths:
        with open(path) as f:
            variants.append(json.load(f))
    variants.sort(
        key=lambda v: (
            tuple(int(x) for x in v["variant"]["python"].split(".")),
            v["variant"]["hiredis_used"] != "yes",
        )
    )
    return variants


def table(variants):
    order = []
    for variant in variants:
        for figure in variant["figures"]:
            if figure["figure"] not in order:
                order.append(figure["figure"])
    rows = []
    for name in order:
        for variant in variants:
            for figure in variant["figures"]:
                if figure["figure"] == name:
                    rows.append(
                        (
                            name,
                            variant["variant"]["python"],
                            variant["variant"]["hiredis_used"],
                            figure["display"],
                            figure["target"],
                            figure["status"],
                        )
                    )
    return rows


def markdown(variants, rows):
    lines = [
        "| figure | python | hiredis | ratio | target | pass/fail |",
        "|---|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append("| %s |" % " | ".join(row))
    failed = sum(1 for row in rows if row[5] == "FAIL")
    passed = sum(1 for row in rows if row[5] == "pass")
    quick = any(v["variant"]["quick"] for v in variants)
    head = [
        "# Benchmark results",
        "",
        '%s, %d CPUs%s. %d pass, %d fail; "info" rows have no target. '
        "Ratios are module / floor; instruction counts from callgrind, wall times from "
        "paired blocks in one process (median of the pair ratios, 95%% bootstrap interval "
        "in brackets). How to read it: bench/README.md."
        % (
            platform.platform(terse=True),
            os.cpu_count(),
            " (--quick run)" if quick else "",
            passed,
            failed,
        ),
        "",
    ]
    return "\n".join(head + lines) + "\n"


def plot(variants, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    labels = [
        "%s %s hiredis"
        % (v["variant"]["python"], "with" if v["variant"]["hiredis_used"] == "yes" else "without")
        for v in variants
    ]
    fig, axes = plt.subplots(2, 2, figsize=(16, 12))

    def ratio_panel(ax, kind, title):
        names = []
        for v in variants:
            for f in v["figures"]:
                if f["kind"] == kind and f["figure"] not in names:
                    names.append(f["figure"])
        height = 0.8 / max(1, len(variants))
        for i, (v, label) in enumerate(zip(variants, labels)):
            values = {f["figure"]: f["value"] for f in v["figures"] if f["kind"] == kind}
            ys = [j + i * height for j in range(len(names))]
            ax.barh(ys, [values.get(n, 0) for n in names], height=height, label=label)
        for j, name in enumerate(names):
            target = next(
                (
                    f["target"]
                    for v in variants
                    for f in v["figures"]
                    if f["figure"] == name and f["target"].startswith("<=")
                ),
                None,
            )
            if target:
                limit = float(target.split()[1].rstrip("x"))
                ax.plot([limit, limit], [j - 0.1, j + 0.9], color="red", linewidth=1.5)
        ax.set_yticks([j + 0.4 - height / 2 for j in range(len(names))])
        ax.set_yticklabels([n.rsplit(":", 1)[0] for n in names], fontsize=8)
        ax.axvline(1.0, color="black", linewidth=0.8)
        ax.set_xlim(0.9, max(1.3, ax.get_xlim()[1]))
        ax.set_title(title + " (red: target)")
        ax.invert_yaxis()

    ratio_panel(axes[0][0], "instructions", "Instructions, module / floor")
    ratio_panel(axes[0][1], "wall", "Wall median, module / floor")
    axes[0][0].legend(fontsize=8, loc="lower right")

    ax = axes[1][0]
    rates = [100, 1000, 3000]
    width = 0.8 / max(1, len(variants))
    for i, (v, label) in enumerate(zip(variants, labels)):
        pipeline = v["details"].get("pipeline", {})
        for k, (key, marker) in enumerate((("p50_ms", "o"), ("p99_ms", "s"), ("p999_ms", "^"))):
            xs = [j + i * width for j in range(len(rates))]
            ys = [pipeline.get(str(r), pipeline.get(r, {})).get(key, float("nan")) for r in rates]
            ax.scatter(
                xs, ys, marker=marker, color="C%d" % i, s=30, label=label if k == 0 else None
            )
    ax.axhline(2.0, color="red", linewidth=1, label="target p99 at 1000/s")
    ax.set_xticks([j + 0.4 - width / 2 for j in range(len(rates))])
    ax.set_xticklabels(["%d frames/s" % r for r in rates])
    ax.set_yscale("log")
    ax.yaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
    ax.legend(fontsize=8)
    ax.set_ylabel("write call -> record read back in another process (ms)")
    ax.set_title("Paced pipeline latency (o p50, s p99, ^ p99.9)")

    ax = axes[1][1]
    for v, label in zip(variants, labels):
        flat = v["details"].get("flatout", {})
        points = sorted((e["switchinterval_s"] * 1e3, e["stored_per_s"]) for e in flat.values())
        if points:
            ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("sys.setswitchinterval (ms)")
    ax.set_ylabel("frames stored per second")
    ax.set_title("Producer flat out: the worker starves for the GIL")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("partials", nargs="+")
    args = parser.parse_args()
    variants = load(args.partials)
    os.makedirs(args.out, exist_ok=True)
    rows = table(variants)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(
            {
                "generated": datetime.datetime.now().isoformat(timespec="seconds"),
                "machine": {
                    "platform": platform.platform(),
                    "cpus": os.cpu_count(),
                    "processor": platform.processor(),
                },
                "variants": variants,
            },
            f,
            indent=1,
        )
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(markdown(variants, rows))
    plot(variants, os.path.join(args.out, "plot.png"))


if __name__ == "__main__":
    main()
