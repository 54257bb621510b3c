"""One variant of the benchmark (this Python, with or without hiredis), against a running
redis-server: instruction ratios (callgrind), wall ratios (paired blocks), worker capacity, the
paced pipeline, the flat-out producer and memory. Writes the figures of the variant as JSON;
report.py gathers the variants into the results."""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from common import (  # noqa: E402
    HOST,
    PAYLOADS,
    PREFIX,
    add_hiredis_argument,
    command_calls,
    floor_client,
    now_ns,
    precise_sleep_for_this_thread,
    use_hiredis,
    versions,
)

SECTIONS = ["check", "callgrind", "wall", "memory", "capacity", "pipeline", "flatout"]

# Targets of the instruction ratios and of the wall ratios, by group of case.
INSTRUCTION_TARGETS = {
    "redis": 1.01,
    "ordered-redis": 1.02,
    "hand-over": 1.05,
    "eviction": 1.00,
    "scan": 1.02,
}
WALL_TARGETS = {"redis": 1.05}


class Variant:
    def __init__(self, args):
        self.args = args
        self.port = args.port
        self.hiredis = args.hiredis
        self.quick = args.quick
        self.figures = []
        self.details = {}
        self.section = None

    def figure(self, name, display, target="-", passed=None, value=None, kind="info"):
        status = "info" if passed is None else ("pass" if passed else "FAIL")
        self.figures.append(
            {
                "figure": name,
                "display": display,
                "target": target,
                "status": status,
                "value": value,
                "kind": kind,
                "section": self.section,
            }
        )
        print("  %-58s %-28s %-14s %s" % (name, display, target, status), flush=True)

    def worker(self, script, *extra, timeout=1800):
        command = [
            sys.executable,
            os.path.join(HERE, script),
            "--port",
            str(self.port),
            "--hiredis",
            self.hiredis,
        ] + [str(x) for x in extra]
        completed = subprocess.run(
            command, stdout=subprocess.PIPE, timeout=timeout, universal_newlines=True, check=True
        )
        return json.loads(completed.stdout)


def ratio_target(limit):
    return "<= %.2fx" % limit


# ---- same work on both sides ---------------------------------------------------------------


def section_check(v):
    from cases import build_cases, check_cases

    from orba_sdk.redis import store_link

    problems = check_cases(build_cases(store_link, v.port), v.port)
    v.details["check"] = problems
    v.figure(
        "module and floor send the same commands",
        "%d mismatches" % len(problems),
        "0",
        not problems,
        kind="check",
    )
    for problem in problems:
        print("    " + problem)


# ---- instruction counts ----------------------------------------------------------------------


def section_callgrind(v):
    import callgrind
    from cases import build_cases

    from orba_sdk.redis import store_link

    groups = {case.name: case.group for case in build_cases(store_link, v.port)}
    n, reps = (60, 2) if v.quick else (200, 3)
    out_dir = os.path.join(v.args.work, "callgrind-%s-hiredis-%s" % (python_version(), v.hiredis))
    started = time.monotonic()
    dumps = callgrind.run(sys.executable, v.port, v.hiredis, v.args.cgmark, out_dir, n, reps)
    results = callgrind.analyse(dumps)
    v.details["callgrind"] = {
        "calls_per_region": n,
        "repeats": reps,
        "dump_dir": out_dir,
        "seconds": round(time.monotonic() - started, 1),
        "cases": results,
    }
    for name, entry in results.items():
        limit = INSTRUCTION_TARGETS[groups[name]]
        v.figure(
            "%s: instructions" % name,
            "%.3fx (%d / %d Ir)" % (entry["ratio"], entry["module_ir"], entry["floor_ir"]),
            ratio_target(limit),
            entry["ratio"] <= limit,
            entry["ratio"],
            "instructions",
        )


# ---- wall times -----------------------------------------------------------------------------


def bootstrap_ci(ratios, rounds=2000):
    rng = random.Random(1)
    medians = sorted(statistics.median(rng.choices(ratios, k=len(ratios))) for _ in range(rounds))
    return medians[int(rounds * 0.025)], medians[int(rounds * 0.975) - 1]


def section_wall(v):
    from cases import build_cases

    from orba_sdk.redis import store_link

    groups = {case.name: case.group for case in build_cases(store_link, v.port)}
    processes, pairs, scan_pairs = (1, 10, 2) if v.quick else (3, 16, 3)
    runs = [
        v.worker("wall.py", "--pairs", pairs, "--scan-pairs", scan_pairs) for _ in range(processes)
    ]
    v.details["wall"] = {}
    for name in runs[0]:
        module = [run[name]["module"] for run in runs]
        floor = [run[name]["floor"] for run in runs]
        ratios = [m / f for ms, fs in zip(module, floor) for m, f in zip(ms, fs)]
        ratio = statistics.median(ratios)
        low, high = bootstrap_ci(ratios)
        flat_m = [x for values in module for x in values]
        flat_f = [x for values in floor for x in values]
        v.details["wall"][name] = {
            "ratio": ratio,
            "ci95": [low, high],
            "pairs": len(ratios),
            "calls_per_block": [run[name]["n"] for run in runs],
            "module_median_us": statistics.median(flat_m) * 1e6,
            "floor_median_us": statistics.median(flat_f) * 1e6,
            "module_us": [[x * 1e6 for x in values] for values in module],
            "floor_us": [[x * 1e6 for x in values] for values in floor],
        }
        limit = WALL_TARGETS.get(groups[name])
        display = "%.3fx [%.3f-%.3f] (%s / %s)" % (
            ratio,
            low,
            high,
            fmt_us(statistics.median(flat_m)),
            fmt_us(statistics.median(flat_f)),
        )
        v.figure(
            "%s: wall median" % name,
            display,
            ratio_target(limit) if limit else "-",
            None if limit is None else ratio <= limit,
            ratio,
            "wall",
        )
    write_pyperf(v, runs)


def fmt_us(seconds):
    us = seconds * 1e6
    return "%.0f us" % us if us >= 100 else "%.2f us" % us


def write_pyperf(v, runs):
    """The blocks as pyperf benchmark files, one per side, for `python -m pyperf compare_to`."""
    try:
        import pyperf
    except ImportError:
        return
    out = os.path.join(v.args.work, "pyperf")
    os.makedirs(out, exist_ok=True)
    for side in ("floor", "module"):
        benchmarks = []
        for name in runs[0]:
            bench_runs = [
                pyperf.Run(
                    run[name][side],
                    metadata={"name": name, "loops": run[name]["n"], "unit": "second"},
                    collect_metadata=False,
                )
                for run in runs
            ]
            benchmarks.append(pyperf.Benchmark(bench_runs))
        path = os.path.join(out, "%s-hiredis-%s-%s.json" % (python_version(), v.hiredis, side))
        pyperf.BenchmarkSuite(benchmarks).dump(path, replace=True)


# ---- worker capacity --------------------------------------------------------------------------


def drain(link, timeout=5.0):
    """Waits until the worker has taken and finished every queued frame."""
    deadline = time.monotonic() + timeout
    while link._queue.unfinished_tasks and time.monotonic() < deadline:
        time.sleep(0.002)
    time.sleep(0.05)


def floor_rate(client, record, seconds):
    """Frames per second of a plain loop doing orjson.dumps + SET + PUBLISH on one thread."""
    import orjson

    key = PREFIX + "capacity"
    channel = key + "_notify"
    count = 0
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        for _ in range(20):
            if client.set(key, orjson.dumps(record), ex=60):
                client.publish(channel, "1")
        count += 20
    return count / seconds


def paced(link, client, template, rate, seconds, key_of):
    """Writes fresh records at `rate` for `seconds`; returns (offered, stored, achieved rate)."""
    precise_sleep_for_this_thread()
    frames = int(rate * seconds)
    period_ns = int(1e9 / rate)
    sets_before = command_calls(client, "set")
    write = link.write_orba_data
    start = now_ns()
    deadline = start
    for seq in range(frames):
        wait = deadline - now_ns()
        if wait > 0:
            time.sleep(wait / 1e9)
        record = dict(template)
        record["seq"] = seq
        record["t_ns"] = now_ns()
        write(record, key_of(seq), 60)
        deadline += period_ns
    elapsed = (now_ns() - start) / 1e9
    drain(link)
    stored = command_calls(client, "set") - sets_before
    return frames, stored, frames / elapsed


class PythonDesign:
    """The same design written in plain Python (bounded queue of 2, evict the oldest when full,
    one worker thread polling with a 0.2 s timeout, dumps + SET + PUBLISH): tells the cost of
    the design apart from the cost of the module."""

    def __init__(self, client):
        import queue
        import threading

        self._queue = queue.Queue(maxsize=2)
        self._client = client
        self._stop = threading.Event()
        self._full = queue.Full
        self._empty = queue.Empty
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def write_orba_data(self, data, key, ttl=None):
        item = (data, key, ttl)
        try:
            self._queue.put_nowait(item)
        except self._full:
            try:
                self._queue.get_nowait()
                self._queue.task_done()
            except Exception:
                pass
            self._queue.put_nowait(item)
        return True

    def _loop(self):
        import orjson

        while not self._stop.is_set():
            try:
                data, key, ttl = self._queue.get(timeout=0.2)
            except self._empty:
                continue
            if self._client.set(key, orjson.dumps(data), ex=ttl):
                self._client.publish(key + "_notify", "1")
            self._queue.task_done()

    def _shutdown_executor(self):
        self._stop.set()
        self._thread.join(0.5)


def section_capacity(v):
    """Paces the producer at a sweep of rates around the floor's own rate and takes the best
    stored rate: the worker's capacity is where the stored rate stops following the offered one.
    Each trial is divided by the floor measured right before and right after it. The same
    trial is run on the design written in plain Python, for comparison."""
    from orba_sdk.redis.store_link import StoreLink

    client = floor_client(v.port)
    seconds = 1.0 if v.quick else 1.5
    shares = (0.5, 0.75, 1.0) if v.quick else (0.4, 0.55, 0.7, 0.85, 1.0, 1.15)
    v.details["capacity"] = {}
    for payload, make in PAYLOADS.items():
        template = make()
        key = PREFIX + "capacity:" + payload
        sides = {
            "module": StoreLink(thread=True, host=HOST, port=v.port),
            "python": PythonDesign(floor_client(v.port)),
        }
        trials = []
        floor = floor_rate(client, template, seconds / 3)
        for share in shares:
            trial = {"pace_share": share, "floor_before_per_s": floor}
            pace = share * floor
            for name, link in sides.items():
                offered, stored, achieved = paced(
                    link, client, template, pace, seconds, lambda seq, key=key: key
                )
                trial[name] = {
                    "offered": offered,
                    "stored": stored,
                    "achieved_per_s": achieved,
                    "stored_per_s": stored / (offered / achieved),
                    "stored_share": stored / offered,
                }
            after = floor_rate(client, template, seconds / 3)
            trial["floor_per_s"] = (floor + after) / 2
            for name in sides:
                trial[name]["ratio"] = trial[name]["stored_per_s"] / trial["floor_per_s"]
            trials.append(trial)
            floor = after
        for link in sides.values():
            link._shutdown_executor()
        best = {name: max(trials, key=lambda t, name=name: t[name]["ratio"]) for name in sides}
        v.details["capacity"][payload] = {
            "trials": trials,
            "ratio": best["module"]["module"]["ratio"],
            "python_design_ratio": best["python"]["python"]["ratio"],
        }
        for name, label in (
            ("module", "worker capacity"),
            ("python", "same design in plain Python, capacity"),
        ):
            trial = best[name]
            entry = trial[name]
            display = "%.3fx (%.0f / %.0f frames/s, %.1f%% of offered)" % (
                entry["ratio"],
                entry["stored_per_s"],
                trial["floor_per_s"],
                100 * entry["stored_share"],
            )
            if name == "module":
                v.figure(
                    "%s %s: stored frames/s" % (label, payload),
                    display,
                    ">= 0.90x",
                    entry["ratio"] >= 0.90,
                    entry["ratio"],
                    "capacity",
                )
            else:
                v.figure(
                    "%s %s: stored frames/s" % (label, payload),
                    display,
                    value=entry["ratio"],
                    kind="capacity-python",
                )


# ---- paced pipeline with a subscriber in another process -----------------------------------


def percentile(sorted_values, share):
    if not sorted_values:
        return float("nan")
    index = min(len(sorted_values) - 1, int(round(share * (len(sorted_values) - 1))))
    return sorted_values[index]


def section_pipeline(v):
    from orba_sdk.redis.store_link import StoreLink

    client = floor_client(v.port)
    seconds = 3 if v.quick else 10
    template = PAYLOADS["frame"]()
    prefix = PREFIX + "pipe:"
    stop_key = prefix + "stop"
    v.details["pipeline"] = {}
    for rate in (100, 1000, 3000):
        subscriber = subprocess.Popen(
            [
                sys.executable,
                os.path.join(HERE, "subscriber.py"),
                "--port",
                str(v.port),
                "--hiredis",
                v.hiredis,
                "--prefix",
                prefix,
                "--stop-key",
                stop_key,
            ],
            stdout=subprocess.PIPE,
            universal_newlines=True,
        )
        if subscriber.stdout.readline().strip() != "ready":
            raise RuntimeError("the subscriber did not start")
        link = StoreLink(thread=True, host=HOST, port=v.port)
        offered, stored, achieved = paced(
            link, client, template, rate, seconds, lambda seq: "%s%d" % (prefix, seq % 1024)
        )
        link._shutdown_executor()
        time.sleep(0.2)
        client.publish(stop_key + "_notify", "1")
        output, _ = subscriber.communicate(timeout=60)
        seen = json.loads(output)
        latencies = [ns / 1e6 for ns in seen["latency_ns"]]
        p50, p99, p999 = (percentile(latencies, s) for s in (0.5, 0.99, 0.999))
        v.details["pipeline"][rate] = {
            "offered": offered,
            "stored": stored,
            "seen_by_subscriber": seen["seen"],
            "achieved_per_s": achieved,
            "p50_ms": p50,
            "p99_ms": p99,
            "p999_ms": p999,
            "max_ms": latencies[-1] if latencies else None,
        }
        share = stored / offered
        v.figure(
            "pipeline %d frames/s: stored / offered" % rate,
            "%.4fx (%d / %d)" % (share, stored, offered),
            ">= 0.99x",
            share >= 0.99,
            share,
            "pipeline",
        )
        display = "p50 %.2f / p99 %.2f / p99.9 %.2f ms" % (p50, p99, p999)
        if rate == 1000:
            v.figure(
                "pipeline %d frames/s: latency" % rate,
                display,
                "p99 <= 2 ms",
                p99 <= 2.0,
                p99,
                "latency",
            )
        else:
            v.figure("pipeline %d frames/s: latency" % rate, display, value=p99, kind="latency")


# ---- producer flat out ------------------------------------------------------------------------


def section_flatout(v):
    from orba_sdk.redis.store_link import StoreLink

    client = floor_client(v.port)
    seconds = 1.5 if v.quick else 3.0
    record = PAYLOADS["frame"]()
    key = PREFIX + "flatout"
    default = sys.getswitchinterval()
    v.details["flatout"] = {}
    for interval in (default, 0.001, 0.0001):
        link = StoreLink(thread=True, host=HOST, port=v.port)
        write = link.write_orba_data
        sys.setswitchinterval(interval)
        try:
            sets_before = command_calls(client, "set")
            offered = 0
            start = time.perf_counter()
            end = start + seconds
            while time.perf_counter() < end:
                for _ in range(256):
                    write(record, key, 60)
                offered += 256
            elapsed = time.perf_counter() - start
        finally:
            sys.setswitchinterval(default)
        drain(link)
        link._shutdown_executor()
        stored = command_calls(client, "set") - sets_before
        entry = {
            "switchinterval_s": interval,
            "offered_per_s": offered / elapsed,
            "stored_per_s": stored / elapsed,
            "drop_share": 1 - stored / offered,
        }
        v.details["flatout"][str(interval)] = entry
        v.figure(
            "flat out, switchinterval %g ms: stored frames/s" % (interval * 1e3),
            "%.0f stored/s of %.0f offered/s, %.2f%% dropped"
            % (entry["stored_per_s"], entry["offered_per_s"], 100 * entry["drop_share"]),
            value=entry["stored_per_s"],
            kind="flatout",
        )


# ---- memory -----------------------------------------------------------------------------------


def section_memory(v):
    writes = 200_000 if v.quick else 1_000_000
    result = v.worker("memory.py", "--writes", writes)
    v.details["memory"] = result
    for kind, label in (("plain", "non-threaded"), ("threaded", "threaded")):
        entry = result[kind]
        v.figure(
            "memory: RSS per idle %s StoreLink" % label,
            "%.1f KiB (%.1f KiB once connected)"
            % (entry["idle_bytes"] / 1024, entry["connected_bytes"] / 1024),
            value=entry["idle_bytes"],
            kind="memory",
        )
    samples = result["writes"]["samples"]
    settled = samples[max(1, len(samples) // 10)]
    growth = samples[-1][1] - settled[1]
    v.figure(
        "memory: RSS growth over %dk frame writes" % (writes // 1000),
        "%+.2f MiB after the first %dk (%.1f MiB in all)"
        % (growth / 2**20, settled[0] // 1000, samples[-1][1] / 2**20),
        "<= 2 MiB",
        growth <= 2 * 2**20,
        growth,
        "memory",
    )


def python_version():
    return "%d.%d.%d" % sys.version_info[:3]


def main():
    parser = argparse.ArgumentParser()
    add_hiredis_argument(parser)
    parser.add_argument("--cgmark", required=True, help="the compiled bench/cgmark.c")
    parser.add_argument("--work", required=True, help="directory for dumps and raw data")
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default=",".join(SECTIONS))
    parser.add_argument(
        "--merge",
        action="store_true",
        help="replace only the sections run in an existing --out file",
    )
    args = parser.parse_args()
    use_hiredis(args.hiredis == "yes")

    client = floor_client(args.port)
    client.flushall()
    v = Variant(args)
    info = versions(args.port)
    print(
        "  python %(python)s, redis-py %(redis_py)s, orjson %(orjson)s, hiredis %(hiredis)s, "
        "parser %(parser)s" % info,
        flush=True,
    )
    timings = {}
    for section in args.only.split(","):
        if section not in SECTIONS:
            sys.exit("unknown section %s (known: %s)" % (section, ", ".join(SECTIONS)))
        started = time.monotonic()
        v.section = section
        load = os.getloadavg()[0]
        globals()["section_" + section](v)
        timings[section] = {
            "seconds": round(time.monotonic() - started, 1),
            "load_before": load,
            "load_after": os.getloadavg()[0],
        }
        print(
            "  -- %s: %.0f s, load average %.2f -> %.2f"
            % (section, timings[section]["seconds"], load, timings[section]["load_after"]),
            flush=True,
        )
    info.update({"hiredis_used": args.hiredis, "quick": args.quick, "sections": timings})
    result = {"variant": info, "figures": v.figures, "details": v.details}
    if args.merge and os.path.exists(args.out):
        with open(args.out) as f:
            old = json.load(f)
        ran = set(timings)
        kept = [f for f in old["figures"] if f.get("section", f["kind"]) not in ran]
        old["figures"] = kept + v.figures
        old["details"].update(v.details)
        old["variant"]["sections"].update(timings)
        result = old
    with open(args.out, "w") as out:
        json.dump(result, out, indent=1)


if __name__ == "__main__":
    main()
