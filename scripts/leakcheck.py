"""Runs every StoreLink operation, error paths included, many times in rounds against a real
redis-server and fails when live objects, allocated blocks, traced memory or RSS keep growing
between the later rounds.

    python scripts/leakcheck.py --port PORT [--rounds 8] [--warmup 3] [--iterations 500]
"""

import argparse
import atexit
import gc
import os
import sys
import tracemalloc
from decimal import Decimal
from typing import Any, Callable, Dict, List, Tuple, Type

import redis

from orba_sdk.redis import store_link as sl

StoreLink = sl.StoreLink
HOST = "127.0.0.1"


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class CountingLogger:
    """Stands in for the module logger: counts lines and keeps none of them."""

    def __init__(self) -> None:
        self.count = 0

    def warning(self, message: str) -> None:
        assert isinstance(message, str)
        self.count += 1

    def error(self, message: str) -> None:
        assert isinstance(message, str)
        self.count += 1


class ScriptedClient:
    """A client whose commands answer from a script; an exception class is raised, fresh
    each time (raising one instance again would grow its traceback)."""

    def __init__(self, **replies: Any) -> None:
        self.replies = {"set": True, "get": None, "delete": 1, "publish": 0, "scan_iter": ()}
        self.replies.update(replies)

    def _answer(self, name: str) -> Any:
        reply = self.replies[name]
        if isinstance(reply, type) and issubclass(reply, BaseException):
            raise reply(name + " failed")
        return reply

    def set(self, *args: Any, **kwargs: Any) -> Any:
        return self._answer("set")

    def get(self, *args: Any, **kwargs: Any) -> Any:
        return self._answer("get")

    def delete(self, *args: Any, **kwargs: Any) -> Any:
        return self._answer("delete")

    def publish(self, *args: Any, **kwargs: Any) -> Any:
        return self._answer("publish")

    def scan_iter(self, *args: Any, **kwargs: Any) -> Any:
        return iter(self._answer("scan_iter"))


def raises(kind: Type[BaseException], call: Callable[[], Any]) -> None:
    try:
        call()
    except kind:
        return
    raise AssertionError(f"{call} did not raise {kind.__name__}")


def link_on(client: Any) -> Any:
    link = StoreLink(thread=False)
    link._redis_client = client
    return link


def frame(n: int) -> Dict[str, Any]:
    return {"frame_id": n, "detections": [{"label": "person", "box": [1, 2, 3, 4]}], "ok": True}


class Workload:
    def __init__(self, port: int, log: CountingLogger) -> None:
        self.port = port
        self.log = log
        self.plain = StoreLink(False, HOST, port)
        self.threaded = StoreLink(host=HOST, port=port, workers=2)
        self.raw = redis.Redis(host=HOST, port=port)

    def logged(self, call: Callable[[], Any], lines: int = 1) -> Any:
        before = self.log.count
        result = call()
        assert self.log.count == before + lines, (call, self.log.count - before)
        return result

    def construction(self, n: int) -> None:
        link = StoreLink(False, HOST, self.port, 3)
        link._shutdown_executor()
        StoreLink(None, port=6379.9, workers=True, host=HOST)._shutdown_executor()
        if n % 10 == 0:  # a worker thread costs a thread start; not every time
            link = StoreLink(True, HOST, self.port, 1)
            link._stop_evt.set()  # the worker ends after the write below, the join is short
            assert link.write_orba_data(frame(n), "lk:ctor", ttl=5) is True
            link._shutdown_executor()
            link._shutdown_executor()
            assert link._queue is None and not link._worker.is_alive()
            # The exit handler keeps the object alive until exit; let it go, so that what
            # stays behind is what the module leaked (CPython's atexit keeps the emptied slot,
            # a few bytes per registration, which the limits below absorb).
            atexit.unregister(link._shutdown_executor)

    def values(self, n: int) -> None:
        p = self.plain
        assert p.write_data("lk:text", "hello " + str(n)) is True
        assert p.read_data("lk:text") == b"hello " + str(n).encode()
        assert p.write_data("lk:dict", {"n": n, "items": [1, 2]}, ttl=60) is True
        assert p.write_data(redis_key="lk:ttl", data="x", ttl=2.9) is True
        assert p.write_data("lk:ttl", "x", True) is True
        assert p.write_data("lk:ttl", "x", Decimal("7.5")) is True
        assert p.read_data(redis_key="lk:dict") is not None
        assert p.read_data("lk:missing") is None

    def keys(self, n: int) -> None:
        p = self.plain
        for i in range(3):
            p.write_data("lk:scan:" + str(i), "v")
        assert sorted(p.scan_keys("lk:scan:*")) == ["lk:scan:0", "lk:scan:1", "lk:scan:2"]
        assert p.scan_keys("lk:nothing:*") == []
        assert p.delete_data("lk:scan:0") is True
        assert p.delete_data("lk:scan:0") is False
        assert p.delete_many(["lk:scan:1", "lk:scan:2", "lk:absent"]) == 2
        assert p.delete_many([]) == 0

    def frames(self, n: int) -> None:
        p, t = self.plain, self.threaded
        assert p.write_orba_data(frame(n), "lk:frame", ttl=30) is True
        assert p.read_orba_data("lk:frame") == frame(n)
        assert p._write_(frame(n), "lk:frame2", 5) is True
        assert p.write_orba_data(None, "lk:frame2") is True
        assert p.write_orba_data(data=None, redis_key="lk:frame2") is False
        for i in range(5):  # a burst overflows the queue: eviction and re-queueing
            assert t.write_orba_data(frame(n * 10 + i), "lk:threaded", ttl=30) is True
        assert t._write_(frame(n), "lk:threaded2") is True
        assert t.write_orba_data(None, "lk:threaded2") is True
        assert p.read_orba_data("lk:missing") is None
        p.write_data("lk:null", "null")
        assert p.read_orba_data("lk:null") is None
        p.write_data("lk:list", "[1, 2, 3]")
        assert p.read_orba_data("lk:list") == [1, 2, 3]
        p.write_data("lk:bad", "not json")
        assert self.logged(lambda: p.read_orba_data("lk:bad")) is None

    def argument_errors(self, n: int) -> None:
        p = self.plain
        bad_calls: List[Callable[[], Any]] = [
            lambda: StoreLink(host=None),
            lambda: StoreLink(host=StrSub("h")),
            lambda: StoreLink(port="6379"),
            lambda: StoreLink(workers=[2]),
            lambda: StoreLink(True, HOST, 6379, 2, "extra"),
            lambda: StoreLink(threads=True),
            lambda: StoreLink(True, thread=True),
            lambda: p.write_data(None, "x"),
            lambda: p.write_data(b"k", "x"),
            lambda: p.write_data(StrSub("k"), "x"),
            lambda: p.write_data("k", "x", ttl="60"),
            lambda: p.write_data("k"),
            lambda: p.read_data(1),
            lambda: p.read_data(key="k"),
            lambda: p.read_data("k", redis_key="k"),
            lambda: p.read_data(**{1: "k"}),
            lambda: p.delete_data(),
            lambda: p.delete_data("a", "b"),
            lambda: p.delete_many(("a", "b")),
            lambda: p.delete_many(ListSub(["a"])),
            lambda: p.delete_many(None),
            lambda: p.scan_keys(b"lk:*"),
            lambda: p.write_orba_data([], "k"),
            lambda: p.write_orba_data(DictSub(), "k"),
            lambda: p.write_orba_data({}, None),
            lambda: p.write_orba_data(None, "k", ttl="60"),
            lambda: p._write_(None, "k"),
            lambda: p._write_({}, StrSub("k")),
            lambda: p.read_orba_data(123),
            lambda: p.read_orba_data(),
            lambda: p._shutdown_executor(1),
            lambda: p._worker_loop(1),
        ]
        for call in bad_calls:
            raises(TypeError, call)
        for value, kind in ((float("inf"), OverflowError), (float("nan"), ValueError)):
            raises(kind, lambda v=value: p.write_data("k", "x", ttl=v))
            raises(kind, lambda v=value: p.write_orba_data({}, "k", ttl=v))
            raises(kind, lambda v=value: p._write_({}, "k", ttl=v))
            raises(kind, lambda v=value: StoreLink(port=v))
        unserialisable = {"tags": {1, 2}}
        raises(TypeError, lambda: p.write_data("k", unserialisable))
        raises(TypeError, lambda: p.write_orba_data(unserialisable, "k"))

    def client_errors(self, n: int) -> None:
        broken_publish = link_on(ScriptedClient(publish=redis.ConnectionError))
        assert self.logged(lambda: broken_publish.write_data("k", "v")) is True
        assert self.logged(lambda: broken_publish.write_orba_data({"a": n}, "k")) is True
        assert self.logged(lambda: broken_publish._write_({"a": n}, "k", 3)) is True

        broken_set = link_on(ScriptedClient(set=redis.ConnectionError))
        raises(redis.ConnectionError, lambda: broken_set.write_data("k", {"a": n}))
        assert self.logged(lambda: broken_set.write_orba_data({"a": n}, "k")) is False
        assert self.logged(lambda: broken_set._write_({"a": n}, "k")) is False

        refused = link_on(ScriptedClient(set=False))
        assert refused.write_data("k", "v") is False
        assert refused.write_orba_data({"a": n}, "k") is False

        broken_get = link_on(ScriptedClient(get=redis.TimeoutError))
        raises(redis.TimeoutError, lambda: broken_get.read_data("k"))
        assert self.logged(lambda: broken_get.read_orba_data("k")) is None

        broken_delete = link_on(ScriptedClient(delete=redis.ConnectionError))
        raises(redis.ConnectionError, lambda: broken_delete.delete_data("k"))
        raises(redis.ConnectionError, lambda: broken_delete.delete_many(["a", "b"]))
        raises(redis.ConnectionError, lambda: broken_delete.write_orba_data(None, "k"))

        replies: List[Tuple[Any, Any]] = [(2.0, 2), (None, None), (Decimal("3"), 3), (True, 1)]
        for reply, expected in replies:
            assert link_on(ScriptedClient(delete=reply)).delete_many(["a"]) == expected
        raises(TypeError, lambda: link_on(ScriptedClient(delete="2")).delete_many(["a"]))

        scanned = link_on(ScriptedClient(scan_iter=[b"a", "b", bytearray(b"c")]))
        assert scanned.scan_keys("*") == ["a", "b", bytearray(b"c")]
        not_utf8 = link_on(ScriptedClient(scan_iter=[b"ok", b"\xff"]))
        raises(UnicodeDecodeError, lambda: not_utf8.scan_keys("*"))
        broken_scan = link_on(ScriptedClient(scan_iter=redis.ConnectionError))
        raises(redis.ConnectionError, lambda: broken_scan.scan_keys("*"))

        interrupted = link_on(ScriptedClient(publish=KeyboardInterrupt, get=KeyboardInterrupt))
        raises(KeyboardInterrupt, lambda: interrupted.write_data("k", "v"))
        raises(KeyboardInterrupt, lambda: interrupted._write_({}, "k"))
        raises(KeyboardInterrupt, lambda: interrupted.read_orba_data("k"))

    def settle(self) -> None:
        """Waits until the worker has stored or dropped everything that was queued."""
        queue = self.threaded._queue
        assert queue is not None
        queue.join()

    def iteration(self, n: int) -> None:
        self.construction(n)
        self.values(n)
        self.keys(n)
        self.frames(n)
        self.argument_errors(n)
        self.client_errors(n)


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure() -> Dict[str, int]:
    for _ in range(3):
        gc.collect()
    return {
        "objects": len(gc.get_objects()),
        "blocks": sys.getallocatedblocks(),
        "traced": tracemalloc.get_traced_memory()[0],
        "rss": rss_bytes(),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--warmup", type=int, default=3, help="rounds before the baseline")
    parser.add_argument("--iterations", type=int, default=500, help="iterations per round")
    args = parser.parse_args()

    log = CountingLogger()
    sl.logger = log
    work = Workload(args.port, log)
    work.raw.flushall()
    tracemalloc.start()

    print(
        f"CPython {sys.version.split()[0]}: {args.rounds} rounds of {args.iterations} "
        "iterations; baseline after round",
        args.warmup,
    )
    print(f"{'round':>5} {'objects':>9} {'blocks':>9} {'traced KiB':>11} {'RSS KiB':>9}")
    figures: List[Dict[str, int]] = []
    n = 0
    for round_no in range(1, args.rounds + 1):
        for _ in range(args.iterations):
            work.iteration(n)
            n += 1
        work.settle()
        figures.append(measure())
        f = figures[-1]
        print(
            f"{round_no:>5} {f['objects']:>9} {f['blocks']:>9} "
            f"{f['traced'] // 1024:>11} {f['rss'] // 1024:>9}",
            flush=True,
        )

    base, last = figures[args.warmup - 1], figures[-1]
    later = args.iterations * (args.rounds - args.warmup)
    # A leak of one object in one path of the iteration grows by `later`; noise stays far below.
    limits = {"objects": later // 4, "blocks": later // 4, "traced": 16 * later, "rss": 4 << 20}
    failed = False
    for name, limit in limits.items():
        growth = last[name] - base[name]
        verdict = "ok" if growth <= limit else "GROWS"
        failed |= growth > limit
        print(f"{name:>8}: {growth:+d} over {later} iterations (limit {limit}): {verdict}")
    print(f"log lines counted: {log.count}")
    print("leakcheck:", "FAILED" if failed else "passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
