"""The paired cases: each StoreLink operation next to its floor, the same redis-py (and orjson)
calls made directly from Python on an identical client. Both sides are compiled into loops of the
same shape, their names bound as locals (as timeit does), so that the loop itself costs the same
on both sides and is taken out by an empty loop of the same length."""

import queue
import types

import orjson
from common import PAYLOADS, PREFIX, fill_scan_keys, floor_client, threaded_link_without_worker

# Capacity of the queue in the "queue not full" case: a measured block never fills it.
HAND_OVER_CAPACITY = 60_000
TTL = 60


def compile_loop(body, env=None):
    """def loop(_n): for _ in range(_n): <body>, with env's names bound as locals."""
    env = dict(env or {})
    params = "".join(", %s=%s" % (name, name) for name in env)
    lines = ["def loop(_n%s):" % params, "    for _ in range(_n):"]
    lines += ["        " + line for line in body.strip("\n").splitlines()]
    namespace = dict(env)
    exec("\n".join(lines) + "\n", namespace)  # noqa: S102 - our own templates
    return namespace["loop"]


EMPTY_LOOP = compile_loop("pass")


class Case:
    def __init__(self, name, group, module, floor, reset=None, scan=False):
        self.name = name  # e.g. "write_data frame"
        self.group = group  # which target applies
        self.module = module  # loop(n) calling StoreLink
        self.floor = floor  # loop(n) doing the same work from Python
        self.reset = reset  # puts both sides back into their start state, or None
        self.scan = scan  # one call is a whole 100k-key SCAN iteration


WRITE_FLOOR = """
if r.set(key, orjson.dumps(data), ex=ttl):
    r.publish(key + "_notify", "1")
"""

EVICTION_FLOOR = """
item = (data, key, ttl)
try:
    q.put_nowait(item)
except queue.Full:
    try:
        q.get_nowait()
        q.task_done()
    except Exception:
        pass
    q.put_nowait(item)
"""


def build_cases(store_link, port, names=None, with_scan=True):
    """Every case, set up against the server on `port` (whose keys it writes)."""
    r = floor_client(port)
    link = store_link.StoreLink(thread=False, host="127.0.0.1", port=port)
    cases = []

    def add(case):
        if names is None or case.name in names:
            cases.append(case)

    for payload, make in PAYLOADS.items():
        data = make()
        read_key = PREFIX + "stored:" + payload
        r.set(read_key, orjson.dumps(data))
        write_key = PREFIX + "written:" + payload
        env = dict(r=r, sl=link, key=write_key, data=data, ttl=TTL, orjson=orjson)
        add(
            Case(
                "write_data " + payload,
                "redis",
                compile_loop("sl.write_data(key, data, ttl)", env),
                compile_loop(WRITE_FLOOR, env),
            )
        )
        add(
            Case(
                "write_orba_data sync " + payload,
                "redis",
                compile_loop("sl.write_orba_data(data, key, ttl)", env),
                compile_loop(WRITE_FLOOR, env),
            )
        )
        env = dict(r=r, sl=link, key=read_key, orjson=orjson)
        add(
            Case(
                "read_data " + payload,
                "redis",
                compile_loop("sl.read_data(key)", env),
                compile_loop("r.get(key)", env),
            )
        )
        add(
            Case(
                "read_orba_data " + payload,
                "redis",
                compile_loop("sl.read_orba_data(key)", env),
                compile_loop("orjson.loads(r.get(key))", env),
            )
        )

    # The threaded hand-over queues the record by reference: the payload makes no difference,
    # so only the frame record is used.
    data = PAYLOADS["frame"]()
    write_key = PREFIX + "written:frame"

    # Threaded hand-over, queue not full: a queue large enough for a whole measured block,
    # emptied between blocks; the floor is an identical queue.Queue.
    handed = threaded_link_without_worker(store_link, port, HAND_OVER_CAPACITY)
    q = queue.Queue(maxsize=HAND_OVER_CAPACITY)
    env = dict(sl=handed, q=q, key=write_key, data=data, ttl=TTL)

    def empty_both(handed=handed, q=q):
        # The module's queue is emptied the way its worker empties it, through _worker_loop
        # (with a store that does nothing), which also lets go of what the module keeps of each
        # pending write; the floor's queue is simply cleared.
        stop_evt = handed._stop_evt
        handed._stop_evt = types.SimpleNamespace(is_set=handed._queue.empty)
        handed._write_ = lambda data, redis_key, ttl: True
        try:
            handed._worker_loop()
        finally:
            handed._stop_evt = stop_evt
            del handed._write_
        q.queue.clear()
        q.unfinished_tasks = 0

    add(
        Case(
            "write_orba_data threaded (queue not full)",
            "hand-over",
            compile_loop("sl.write_orba_data(data, key, ttl)", env),
            compile_loop("q.put_nowait((data, key, ttl))", env),
            reset=empty_both,
        )
    )

    # Threaded, queue full: every call evicts the oldest pending write (default capacity 2,
    # no worker); the floor does the same put/get/task_done/put sequence in Python.
    evicting = threaded_link_without_worker(store_link, port, 2)
    q = queue.Queue(maxsize=2)
    for each in (evicting._queue, q):
        while not each.full():
            each.put_nowait((data, write_key, TTL))
    env = dict(sl=evicting, q=q, queue=queue, key=write_key, data=data, ttl=TTL)
    add(
        Case(
            "write_orba_data threaded (queue full)",
            "eviction",
            compile_loop("sl.write_orba_data(data, key, ttl)", env),
            compile_loop(EVICTION_FLOOR, env),
        )
    )

    env = dict(r=r, sl=link, key=PREFIX + "missing")
    add(
        Case(
            "delete_data",
            "redis",
            compile_loop("sl.delete_data(key)", env),
            compile_loop("r.delete(key)", env),
        )
    )
    # The same DEL on a threaded object whose queue is empty: what ordering it after the pending
    # writes of its key costs when there are none.
    ordered = threaded_link_without_worker(store_link, port, 2)
    env = dict(r=r, sl=ordered, key=PREFIX + "missing")
    add(
        Case(
            "delete_data threaded (queue empty)",
            "ordered-redis",
            compile_loop("sl.delete_data(key)", env),
            compile_loop("r.delete(key)", env),
        )
    )
    env = dict(r=r, sl=link, keys=[PREFIX + "missing:%d" % i for i in range(100)])
    add(
        Case(
            "delete_many 100 keys",
            "redis",
            compile_loop("sl.delete_many(keys)", env),
            compile_loop("r.delete(*keys)", env),
        )
    )

    if with_scan and (names is None or "scan_keys" in names):
        if r.exists(PREFIX + "scan:hit:0") == 0:
            fill_scan_keys(r)
        env = dict(r=r, sl=link, pattern=PREFIX + "scan:hit:*")
        add(
            Case(
                "scan_keys",
                "scan",
                compile_loop("sl.scan_keys(pattern)", env),
                compile_loop("[k.decode() for k in r.scan_iter(match=pattern)]", env),
                scan=True,
            )
        )
    return cases


def _command_counts(client):
    return {name: int(stats["calls"]) for name, stats in client.info("commandstats").items()}


def check_cases(cases, port):
    """Runs each side three times and compares the commands the server saw: both sides of a case
    must send exactly the same ones. Returns the mismatches (empty when all is well)."""
    client = floor_client(port)
    problems = []
    for case in cases:
        seen = []
        for side in (case.module, case.floor):
            side(1)  # the first command of a fresh pool also opens its connection
            before = _command_counts(client)
            side(1 if case.scan else 3)
            after = _command_counts(client)
            delta = {
                name: after[name] - before.get(name, 0)
                for name in after
                if after[name] != before.get(name, 0) and name != "cmdstat_info"
            }
            seen.append(delta)
        if case.reset:
            case.reset()
        if seen[0] != seen[1]:
            problems.append("%s: module sent %s, floor sent %s" % (case.name, seen[0], seen[1]))
    return problems
