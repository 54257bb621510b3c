import collections
import os
import queue
import threading
import types

import orjson
import pytest
from helpers import (
    CountingQueue,
    GatedClient,
    Halt,
    count_queues,
    run_python,
    thread_errors,
    wait_for,
)

ENCODE_ERROR = str(pytest.raises(TypeError, orjson.dumps, {"s": {1, 2}}).value)


@pytest.fixture
def counted(sl, monkeypatch, make_link, fake):
    count_queues(sl, monkeypatch)
    link = make_link()
    link._redis_client = fake
    assert type(link._queue) is CountingQueue
    return link


def stored_keys(fake):
    return [args[0] for name, args, _ in fake.calls if name == "set"]


@pytest.mark.parametrize(
    "first, setting, value, keys, lines",
    [
        ({"n": 1}, None, None, ["k1", "k2"], []),
        ({"n": 1}, "set_reply", False, ["k1", "k2"], []),
        (
            {"n": 1},
            "set_reply",
            Exception("down"),
            ["k1", "k2"],
            [
                ("error", "Failed to write data to redis`k1` - down"),
                ("error", "Failed to write data to redis`k2` - down"),
            ],
        ),
        (
            {"s": {1, 2}},
            None,
            None,
            ["k2"],
            [("error", "Failed to write data to redis`k1` - " + ENCODE_ERROR)],
        ),
    ],
    ids=["stored", "set-false", "set-raises", "unserialisable"],
)
def test_worker_marks_each_write_done_and_goes_on(
    counted, fake, log, monkeypatch, first, setting, value, keys, lines
):
    errors = thread_errors(monkeypatch)
    if setting:
        setattr(fake, setting, value)
    assert counted.write_orba_data(first, "k1") is True
    assert counted.write_orba_data({"n": 2}, "k2", 9) is True
    wait_for(lambda: "k2" in stored_keys(fake) and counted._queue.unfinished_tasks == 0)
    pending = counted._queue
    counted._shutdown_executor()
    assert not counted._worker.is_alive()
    assert pending.counts["done"] == 2
    assert stored_keys(fake) == keys
    assert ("set", ("k2", b'{"n":2}'), {"ex": 9}) in fake.calls
    assert log.lines == lines and errors == []


def test_exception_outside_the_exception_family_ends_the_worker(counted, fake, monkeypatch):
    errors = thread_errors(monkeypatch)
    fake.set_reply = halt = Halt()
    assert counted.write_orba_data({"n": 1}, "k") is True
    counted._worker.join(5)
    assert not counted._worker.is_alive()
    assert errors == [halt]
    assert counted._queue.counts["done"] == 1 and counted._queue.unfinished_tasks == 0


def test_stop_event_ends_an_idle_worker(make_link):
    link = make_link()
    link._stop_evt.set()
    link._worker.join(1)
    assert not link._worker.is_alive()
    assert link._worker_loop() is None


def test_worker_stores_through_the_objects_write_step(sl, redis_server, request):
    taken = []

    class Traced(sl.StoreLink):
        def _write_(self, *args, **kwargs):
            taken.append((args, kwargs))
            return False

    link = Traced(host="127.0.0.1", port=redis_server.port)
    request.addfinalizer(link._shutdown_executor)
    record = {"n": 1}
    link.write_orba_data(record, "k", 2.9)
    wait_for(lambda: taken)
    assert taken == [((record, "k", 2), {})] and taken[0][0][0] is record


# -- the protocol against programs that users really write ------------------------------------


def test_a_shutdown_after_the_main_thread_returned_stops_only_its_object(redis_server):
    # threading's shutdown is joining this non-daemon thread: the interpreter is not exiting yet
    code = f"""
import threading, time, redis
from orba_sdk.redis.store_link import StoreLink
a, b = (StoreLink(host="127.0.0.1", port={redis_server.port}) for _ in range(2))
raw = redis.Redis(port={redis_server.port})
def later():
    while threading.main_thread().is_alive():
        time.sleep(0.01)
    a._shutdown_executor()
    for n in range(20):
        b.write_orba_data({{"n": n}}, "exit:b")
    deadline = time.monotonic() + 5
    while raw.get("exit:b") != b'{{"n":19}}' and time.monotonic() < deadline:
        time.sleep(0.01)
    print(raw.get("exit:b"), b._stop_evt.is_set())
threading.Thread(target=later).start()
"""
    done = run_python(code)
    assert (done.returncode, done.stdout, done.stderr) == (0, "b'{\"n\":19}' False\n", "")


# What a finalizer that the GC runs inside the queue's own code does (the queue holds its lock
# there): a frame write on the same object, from a producer's put or from the worker's get.
REENTRANT_QUEUE = """
import queue, time, types, redis
from orba_sdk.redis import store_link as sl
class Reentrant(queue.Queue):
    def {hook}(self, *args):
        global inner
        if inner:
            inner = False
            assert link.write_orba_data({{"inner": 1}}, "inner") is True
        return super().{hook}(*args)
inner = True
sl.queue = types.SimpleNamespace(Queue=Reentrant, Full=queue.Full, Empty=queue.Empty)
link = sl.StoreLink(host="127.0.0.1", port={port})
raw = redis.Redis(port={port})
assert link.write_orba_data({{"outer": 1}}, "outer") is True
deadline = time.monotonic() + 5
while not (raw.get("inner") and raw.get("outer")) and time.monotonic() < deadline:
    time.sleep(0.01)
print(raw.get("inner"), raw.get("outer"))
"""


@pytest.mark.parametrize("hook", ["_put", "_get"])
def test_a_write_from_inside_the_queues_lock_neither_hangs_nor_is_lost(redis_server, raw, hook):
    code = REENTRANT_QUEUE.format(hook=hook, port=redis_server.port)
    done = run_python(code, timeout=20)
    assert (done.stdout, done.stderr) == ("b'{\"inner\":1}' b'{\"outer\":1}'\n", "")


class InterruptedOnTheMainThread(queue.Queue):
    """task_done completes, then a Ctrl-C lands, when called on the main thread."""

    def task_done(self):
        super().task_done()
        if threading.current_thread() is threading.main_thread():
            raise KeyboardInterrupt


def test_a_ctrl_c_in_a_delete_leaves_the_queue_counting_right(sl, monkeypatch, make_link):
    monkeypatch.setattr(
        sl,
        "queue",
        types.SimpleNamespace(Queue=InterruptedOnTheMainThread, Full=queue.Full, Empty=queue.Empty),
    )
    link = make_link()
    link._redis_client = gated = GatedClient()
    link.write_orba_data({"n": 0}, "hold")
    assert gated.entered.wait(5)
    link.write_orba_data({"n": 1}, "gone")
    link.write_orba_data({"n": 2}, "gone")
    try:
        link.delete_data("gone")
    except KeyboardInterrupt:
        pass
    gated.gate.set()
    wait_for(lambda: link._queue.unfinished_tasks == 0)
    assert [args[0] for name, args, _ in gated.calls if name == "set"] == ["hold"]


def test_ctrl_c_ends_a_delete_that_waits_for_a_store(redis_server):
    code = f"""
import os, signal, threading, time
from orba_sdk.redis.store_link import StoreLink
entered, gate = threading.Event(), threading.Event()
class Held(StoreLink):
    def _write_(self, data, redis_key, ttl=None):
        entered.set()
        gate.wait(10)
        return super()._write_(data, redis_key, ttl)
link = Held(host="127.0.0.1", port={redis_server.port})
link.write_orba_data({{"n": 1}}, "held")
entered.wait(5)
threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
started = time.monotonic()
try:
    link.delete_data("held")
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - started < 1.5)
gate.set()
"""
    done = run_python(code)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted True\n", "")


def test_under_gevent_a_delete_waits_for_the_greenlet_storing_its_key(redis_server):
    pytest.importorskip("gevent")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("greenlet copies its stacks in and out, which AddressSanitizer reports")
    code = f"""
from gevent import monkey
monkey.patch_all()
import gevent, redis
from orba_sdk.redis.store_link import StoreLink
link = StoreLink(host="127.0.0.1", port={redis_server.port})
raw = redis.Redis(port={redis_server.port})
came_back = 0
for n in range(100):
    link.write_orba_data({{"n": n}}, "gone")
    while link._queue.qsize():
        gevent.sleep(0)  # the worker greenlet takes it, and is storing it now or soon
    link.delete_data("gone")
    link._queue.join()
    came_back += raw.delete("gone")
print(came_back)
"""
    done = run_python(code, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "0\n", "")


class NotIterable:
    def __init__(self):
        self.items = collections.deque()


class KeepsItemsUnreadable(queue.Queue):
    """Items in a store of its own that cannot be iterated."""

    def _init(self, maxsize):
        self.queue = NotIterable()

    def _qsize(self):
        return len(self.queue.items)

    def _put(self, item):
        self.queue.items.append(item)

    def _get(self):
        return self.queue.items.popleft()


class NewestPerKey(queue.Queue):
    """Keeps only the newest pending write of each key."""

    def _init(self, maxsize):
        self.queue = collections.OrderedDict()

    def _qsize(self):
        return len(self.queue)

    def _put(self, item):
        self.queue.pop(item[1], None)
        self.queue[item[1]] = item

    def _get(self):
        return self.queue.popitem(last=False)[1]


@pytest.mark.parametrize(
    "kind, installed",
    [
        (KeepsItemsUnreadable, "global"),
        (NewestPerKey, "global"),
        (NewestPerKey, "attribute"),
    ],
)
def test_a_delete_cancels_writes_whatever_queue_holds_them(
    sl, monkeypatch, make_link, kind, installed
):
    if installed == "global":
        monkeypatch.setattr(
            sl, "queue", types.SimpleNamespace(Queue=kind, Full=queue.Full, Empty=queue.Empty)
        )
    link = make_link()
    if installed == "attribute":
        link._queue = kind(maxsize=2)
    link._redis_client = gated = GatedClient()
    link.write_orba_data({"n": 0}, "hold")
    assert gated.entered.wait(5)
    link.write_orba_data({"n": 1}, "gone")
    assert link.delete_data("gone") is True
    gated.gate.set()
    wait_for(lambda: link._queue.unfinished_tasks == 0)
    assert [args[0] for name, args, _ in gated.calls if name in ("set", "delete")] == [
        "gone",
        "hold",
    ]
