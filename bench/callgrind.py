"""Runs cg_run.py under callgrind and reads its dumps: the instructions of each region, and the
self cost of each function in it (written uncompressed, so no name table is needed)."""

import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def run(python, port, hiredis, cgmark, out_dir, n, reps, cases=""):
    os.makedirs(out_dir, exist_ok=True)
    for name in os.listdir(out_dir):
        if name.startswith("cg.out"):
            os.remove(os.path.join(out_dir, name))
    command = [
        # Instrumented from the start: a C frame entered before instrumentation began (the eval
        # loop running the regions) would otherwise have its costs filed under the wrong function.
        "valgrind",
        "--tool=callgrind",
        "--callgrind-out-file=" + os.path.join(out_dir, "cg.out"),
        "--dump-instr=no",
        "--compress-strings=no",
        "--compress-pos=no",
        python,
        os.path.join(HERE, "cg_run.py"),
        "--port",
        str(port),
        "--hiredis",
        hiredis,
        "--cgmark",
        cgmark,
        "--n",
        str(n),
        "--reps",
        str(reps),
    ]
    if cases:
        command += ["--cases", cases]
    # Hash randomisation changes dict probing and so the counts; fix it for repeatable runs.
    env = dict(os.environ, PYTHONHASHSEED="0")
    completed = subprocess.run(
        command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True
    )
    if completed.returncode != 0:
        sys.stderr.write(completed.stdout[-4000:])
        raise RuntimeError("callgrind run failed")
    dumps = sorted(
        (name for name in os.listdir(out_dir) if re.match(r"cg\.out\.\d+$", name)),
        key=lambda name: int(name.rsplit(".", 1)[1]),
    )
    return [os.path.join(out_dir, name) for name in dumps]


def parse_dump(path, with_functions=False):
    """(label, instructions, {(object, function): self instructions}, totals line)."""
    label, total, totals = None, None, None
    functions = {}
    obj = fn = None
    after_calls = False
    with open(path, errors="replace") as dump:
        for line in dump:
            first = line[:1]
            if first.isdigit() or first in "+-*":
                if after_calls:
                    after_calls = False  # inclusive cost of a call: not this function's own
                elif with_functions:
                    cost = int(line.split()[-1])
                    functions[(obj, fn)] = functions.get((obj, fn), 0) + cost
            elif line.startswith("ob="):
                obj = os.path.basename(line[3:].strip())
            elif line.startswith("fn="):
                # callgrind names each recursion level apart ("f'2"); one name per function here
                fn = re.sub(r"'\d+$", "", line[3:].strip())
            elif line.startswith("calls="):
                after_calls = True
            elif line.startswith("summary:"):
                total = int(line.split()[1])
            elif line.startswith("totals:"):
                totals = int(line.split()[1])
            elif line.startswith("desc: Trigger: Client Request:"):
                label = line.split("Client Request:", 1)[1].strip()
    return label, total, functions, totals


def analyse(dump_paths, top=15):
    """Per case: median instructions per call of each side (empty loop taken out), their ratio,
    and where the difference goes (per-call self cost of each function, module minus floor)."""
    regions = {}  # (case, side) -> [(instructions, path, n)]
    empty = {}  # n -> [instructions]
    for path in dump_paths:
        label, total, _, totals = parse_dump(path)
        if label is None or label.startswith("discard"):
            continue
        case, side, _rep, n = label.split("|")
        n = int(n)
        if side == "empty":
            empty.setdefault(n, []).append(total)
        else:
            # The function listing of a dump sometimes also holds costs from before the zeroing
            # (its totals line then exceeds its summary): such a dump is not used for the
            # breakdown. Its summary, the region's count, is right either way.
            regions.setdefault((case, side), []).append((total, path, n, totals - total))

    results = {}
    for case in sorted({case for case, _ in regions}):
        sides = {}
        for side in ("module", "floor"):
            runs = regions[(case, side)]
            n = runs[0][2]
            loop = statistics.median(empty[n])
            per_call = [(run[0] - loop) / n for run in runs]
            cleanest = min(runs, key=lambda run: run[3])
            sides[side] = {
                "per_call": statistics.median(per_call),
                "all": per_call,
                "path": cleanest[1],
                "n": n,
            }
        module, floor = sides["module"], sides["floor"]
        entry = {
            "module_ir": round(module["per_call"], 1),
            "floor_ir": round(floor["per_call"], 1),
            "ratio": module["per_call"] / floor["per_call"],
            "module_runs": [round(x, 1) for x in module["all"]],
            "floor_runs": [round(x, 1) for x in floor["all"]],
        }
        entry.update(breakdown(module["path"], module["n"], floor["path"], floor["n"], top))
        results[case] = entry
    return results


def _function_name(obj, fn):
    return "%s:%s" % (obj, fn) if obj else fn


def breakdown(module_path, module_n, floor_path, floor_n, top):
    module_fns = parse_dump(module_path, with_functions=True)[2]
    floor_fns = parse_dump(floor_path, with_functions=True)[2]
    store_link = {}
    for (obj, fn), cost in module_fns.items():
        if obj and obj.startswith("store_link"):
            store_link[fn] = cost / module_n
    diffs = {}
    for key in set(module_fns) | set(floor_fns):
        diff = module_fns.get(key, 0) / module_n - floor_fns.get(key, 0) / floor_n
        if abs(diff) >= 0.5:
            diffs[_function_name(*key)] = diff
    ranked = sorted(diffs.items(), key=lambda item: -abs(item[1]))[:top]
    return {
        "store_link_self_ir": round(sum(store_link.values()), 1),
        "store_link_functions": {
            fn: round(cost, 1)
            for fn, cost in sorted(store_link.items(), key=lambda item: -item[1])[:top]
        },
        "difference_by_function": [[name, round(diff, 1)] for name, diff in ranked],
    }
