import gc
import multiprocessing
import os
import signal
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
def test_a_pool_lock_held_at_the_fork_does_not_stall_the_child(make_link, raw):
    # As if the parent's worker were inside redis-py's pool at the fork.
    link = make_link()
    with link._redis_client.connection_pool._lock:
        pid = os.fork()
        if pid == 0:
            store_and_exit(link, 99)
    assert reap(pid, time.monotonic() + CHILD_DEADLINE) == 0
    assert raw.get("storm:99") == orjson.dumps({"child": 99})


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
