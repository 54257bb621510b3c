import gc
import multiprocessing
import os
import signal
import subprocess
import threading
import time
import traceback
import types
import weakref

import orjson
import pytest
from helpers import run_python, settle, subscribed, wait_for

# 3.12+ warns about forking a process that runs threads; forking under a live worker is the point.
forks_with_threads = pytest.mark.filterwarnings(
    r"ignore:This process \(pid=\d+\) is multi-threaded, use of fork\(\) may lead to deadlocks"
    ":DeprecationWarning"
)

CHILD_DEADLINE = 15


def write_frames(link, key, shut, plain, log):
    shut_worker = shut._worker
    for n in range(20):
        assert link.write_orba_data({"n": n}, key) is True
    # multiprocessing ends the child with os._exit: no exit handler waits for the worker
    settle(link)
    assert link._worker.name == "StoreLinkWorker" and link._worker.daemon
    assert (shut._queue, shut._worker, shut._stop_evt.is_set()) == (None, shut_worker, True)
    assert (plain._queue, plain._worker) == (None, None)
    assert ("error", "Failed to start the frame writer after fork - " + NO_MAXSIZE) in log.lines


NO_MAXSIZE = "'object' object has no attribute 'maxsize'"


@forks_with_threads
def test_multiprocessing_children_store_and_notify(make_link, raw, log):
    link, shut, plain, broken = make_link(), make_link(), make_link(thread=False), make_link()
    shut._shutdown_executor()
    # threaded and unstopped, with a queue the child cannot size: logged, and the others go on
    broken._shutdown_executor()
    broken._stop_evt.clear()
    broken._use_thread, broken._queue = True, object()

    keys = ["camera:1", "camera:2"]
    fork = multiprocessing.get_context("fork")
    with subscribed(raw, "camera:*_notify", pattern=True) as sub:
        children = [
            fork.Process(target=write_frames, args=(link, key, shut, plain, log)) for key in keys
        ]
        for child in children:
            child.start()
        for child in children:
            child.join(CHILD_DEADLINE)
            if child.exitcode is None:
                child.kill()
                child.join()
        notified = set()

        def both_notified():
            message = sub.get_message(timeout=0.1)
            if message and message["type"] == "pmessage":
                notified.add(message["channel"].decode())
            return notified >= {key + "_notify" for key in keys}

        assert [child.exitcode for child in children] == [0, 0]
        wait_for(both_notified)
    assert [raw.get(key) for key in keys] == [b'{"n":19}', b'{"n":19}']

    assert link.write_orba_data({"n": "parent"}, "camera:0") is True
    wait_for(lambda: raw.get("camera:0") == b'{"n":"parent"}')


def store_and_exit(link, index):
    code = 1
    try:
        link.write_orba_data({"child": index}, "storm:%d" % index)
        settle(link)
        code = 0
    except BaseException:
        # The parent only sees the status; the reason goes to the captured stderr.
        os.write(2, traceback.format_exc().encode())
    finally:
        os._exit(code)


def reap(pid, deadline):
    """The child's exit status, or "hung" after killing it at the deadline."""
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.01)


@forks_with_threads
def test_fork_storm_under_a_producer_thread(make_link, raw):
    link = make_link()
    stop = threading.Event()

    def produce():
        n = 0
        while not stop.is_set():
            link.write_orba_data({"n": n}, "storm:parent")
            n += 1

    producer = threading.Thread(target=produce)
    producer.start()
    pids = []
    try:
        for index in range(12):
            pid = os.fork()
            if pid == 0:
                store_and_exit(link, index)
            pids.append(pid)
            time.sleep(0.005)
    finally:
        stop.set()
        producer.join()
        deadline = time.monotonic() + CHILD_DEADLINE
        statuses = [reap(pid, deadline) for pid in pids]

    assert statuses == [0] * 12
    stored = [raw.get("storm:%d" % index) for index in range(12)]
    assert stored == [orjson.dumps({"child": index}) for index in range(12)]
    assert link.write_orba_data({"n": "last"}, "storm:parent") is True
    wait_for(lambda: raw.get("storm:parent") == b'{"n":"last"}')


@forks_with_threads
@pytest.mark.parametrize(
    "kind, lock",
    [("threaded", "_lock"), ("plain", "_lock"), ("shut down", "_lock"), ("plain", "_fork_lock")],
)
def test_a_pool_lock_held_at_the_fork_does_not_stall_the_child(make_link, raw, kind, lock):
    link = make_link(thread=kind == "threaded" or kind == "shut down")
    if kind == "shut down":
        link._shutdown_executor()
    # Another parent thread is inside redis-py's pool at the fork (redis-py's locks may be
    # reentrant: the forking thread itself would find its own lock free in the child).
    held, leave = threading.Event(), threading.Event()

    def hold():
        with getattr(link._redis_client.connection_pool, lock):
            held.set()
            leave.wait()

    holder = threading.Thread(target=hold)
    holder.start()
    held.wait()
    pid = os.fork()
    if pid == 0:
        store_and_exit(link, 99)
    leave.set()
    holder.join()
    assert reap(pid, time.monotonic() + CHILD_DEADLINE) == 0
    assert raw.get("storm:99") == orjson.dumps({"child": 99})


@forks_with_threads
def test_a_shutdown_under_way_at_the_fork_is_finished_in_the_child(make_link, raw):
    link = make_link()
    # as inside _shutdown_executor() on another thread: the event set, the queue not yet dropped
    link._stop_evt.set()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            stored = link.write_orba_data({"child": 1}, "shut:child")
            # stored on the child's own thread, before the call returned
            if (stored, link._use_thread, link._queue) == (True, False, None):
                code = 0 if raw.get("shut:child") == b'{"child":1}' else 2
        finally:
            os._exit(code)
    assert reap(pid, time.monotonic() + CHILD_DEADLINE) == 0


@forks_with_threads
def test_an_object_initialised_twice_gets_one_writer_in_the_child(make_link, redis_server):
    link = make_link()
    link.__init__(host="127.0.0.1", port=redis_server.port)
    pid = os.fork()
    if pid == 0:
        writers = [t for t in threading.enumerate() if t.name == "StoreLinkWorker"]
        os._exit(len(writers))
    assert reap(pid, time.monotonic() + CHILD_DEADLINE) == 1


# The parent's worker is held inside its first connection, before any of the imports that opening
# it makes, when the process forks: the child then makes and stores its own.
FORK_DURING_FIRST_CONNECTION = """
import os, threading, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)
import redis
from orba_sdk.redis.store_link import StoreLink
connecting, release = threading.Event(), threading.Event()
connect = redis.Connection.connect
def held_connect(self):
    if threading.current_thread().name == "StoreLinkWorker" and not connecting.is_set():
        connecting.set()
        release.wait(10)
    return connect(self)
redis.Connection.connect = held_connect
def stored(key):
    raw, deadline = redis.Redis(port={port}), time.monotonic() + 5
    while raw.get(key) is None and time.monotonic() < deadline:
        time.sleep(0.01)
    return raw.get(key)
link = StoreLink(host="127.0.0.1", port={port})
link.write_orba_data({{"n": 1}}, "fork:parent")
assert connecting.wait(10)
pid = os.fork()
if pid == 0:
    written = link.write_data("fork:child", "v") and link.write_orba_data({{"n": 2}}, "fork:frame")
    os._exit(0 if written and stored("fork:frame") == b'{{"n":2}}' else 1)
release.set()
print(os.waitpid(pid, 0)[1], stored("fork:parent"), stored("fork:child"))
"""


@pytest.mark.slow
def test_a_fork_while_the_worker_opens_its_first_connection_never_hangs(redis_server):
    code = FORK_DURING_FIRST_CONNECTION.format(port=redis_server.port)
    try:
        done = run_python(code, timeout=CHILD_DEADLINE)
    except subprocess.TimeoutExpired:
        pytest.fail("hung")
    assert (done.returncode, done.stdout, done.stderr) == (0, "0 b'{\"n\":1}' b'v'\n", "")


@pytest.mark.slow
def test_finalizers_that_make_and_drop_objects_while_others_register(redis_server):
    # The GC runs inside the module's own allocations (up to 3.11; later at the next bytecode),
    # and its finalizers register, hand over and drop objects of their own meanwhile.
    code = f"""
import gc
from orba_sdk.redis import store_link
gc.set_threshold(1)
left = [300]
class Churn:
    def __init__(self):
        self.me = self
    def __del__(self):
        if left[0]:
            left[0] -= 1
            Churn()
            other = store_link.StoreLink(left[0] % 50 == 0, "127.0.0.1", {redis_server.port})
            other.write_orba_data({{"n": left[0]}}, "churn")
            other._shutdown_executor()
Churn()
for round in range(5):
    link = store_link.StoreLink(host="127.0.0.1", port={redis_server.port})
    link.write_orba_data({{"n": round}}, "k")
    link.delete_many(["k", b"k", 1])
    link._shutdown_executor()
print("ok", left[0] < 300)
"""
    done = run_python(code, env={"PYTHONMALLOC": "debug"})
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok True\n", "")


def test_a_dropped_threaded_object_is_collected(sl, monkeypatch, redis_server):
    class Unhashable(sl.StoreLink):
        def __eq__(self, other):
            return self is other

    registered = []
    atexit = types.SimpleNamespace(register=lambda handler: registered.append(handler.__name__))
    monkeypatch.setattr(sl, "atexit", atexit)
    # Tracking an object for the fork hook must not need its hash.
    link = Unhashable(host="127.0.0.1", port=redis_server.port)
    assert registered == ["_shutdown_executor"]
    link._shutdown_executor()
    assert not link._worker.is_alive()
    dropped = weakref.ref(link)
    del link
    gc.collect()
    assert dropped() is None


def test_threaded_init_needs_no_weak_reference_nor_fork_support(sl, monkeypatch, redis_server):
    class Slotted:
        __slots__ = ("_use_thread", "_redis_client", "_executor", "_queue", "_worker", "_stop_evt")
        _worker_loop = sl.StoreLink._worker_loop
        _shutdown_executor = sl.StoreLink._shutdown_executor

    monkeypatch.setattr(sl, "atexit", types.SimpleNamespace(register=lambda handler: None))
    link = Slotted()
    sl.StoreLink.__init__(link, host="127.0.0.1", port=redis_server.port)
    assert link._worker.is_alive()
    link._shutdown_executor()
    assert not link._worker.is_alive()

    result = run_python(
        "import os, redis  # asyncio, under redis, needs it itself\ndel os.register_at_fork\n"
        "from orba_sdk.redis import store_link\nprint(store_link.StoreLink.__name__)\n"
    )
    assert (result.returncode, result.stdout.strip()) == (0, "StoreLink"), result.stderr


def test_a_child_writing_before_the_modules_hook_runs_does_not_touch_the_inherited_queue(
    redis_server,
):
    # A parent thread holds the queue's lock at the fork; the application's own child hook,
    # registered before the import, runs before the module's and writes a frame.
    code = f"""
import os, threading, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)
import redis
def early():
    early.stored = link.write_orba_data({{"n": "early"}}, "child:early")
os.register_at_fork(after_in_child=early)
from orba_sdk.redis.store_link import StoreLink
link = StoreLink(host="127.0.0.1", port={redis_server.port})
held, leave = threading.Event(), threading.Event()
def hold():
    with link._queue.mutex:
        held.set()
        leave.wait()
threading.Thread(target=hold).start()
held.wait()
pid = os.fork()
if pid == 0:
    link.write_orba_data({{"n": "late"}}, "child:late")
    raw, deadline = redis.Redis(port={redis_server.port}), time.monotonic() + 5
    while not raw.get("child:late") and time.monotonic() < deadline:
        time.sleep(0.01)
    ok = early.stored and raw.get("child:early") and raw.get("child:late")
    os._exit(0 if ok else 1)
leave.set()
print(os.waitpid(pid, 0)[1])
"""
    done = run_python(code, timeout=CHILD_DEADLINE)
    assert (done.stdout, done.stderr) == ("0\n", "")
