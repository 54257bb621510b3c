import queue
import re
import threading
import time
import types

import orjson
import pytest
from helpers import (
    ScriptedQueue,
    free_port,
    next_message,
    run_python,
    settle,
    stressed,
    subscribed,
    wait_for,
)

RECORD = {"frame": None, "boxes": [[1, 2, 3, 4]], "label": "cat"}


@pytest.fixture(params=["caller", "worker"])
def frame_link(request, fake, make_link):
    link = make_link(thread=request.param == "worker")
    link._redis_client = fake
    return link


STORED = [
    ("set", ("orba_key", orjson.dumps(RECORD)), {"ex": None}),
    ("publish", ("orba_key_notify", "1"), {}),
]


@pytest.mark.parametrize(
    "setting, value, result, calls, lines",
    [
        (None, None, True, STORED, []),
        ("set_reply", False, False, STORED[:1], []),
        ("set_reply", None, False, STORED[:1], []),
        (
            "set_reply",
            Exception("connection refused"),
            False,
            STORED[:1],
            [("error", "Failed to write data to redis`orba_key` - connection refused")],
        ),
        (
            "publish_reply",
            Exception("publish failed"),
            True,
            STORED,
            [("warning", "Failed to publish notification to orba_key_notify: publish failed")],
        ),
    ],
    ids=["stored", "set-false", "set-none", "set-raises", "publish-raises"],
)
def test_frame_write_outcomes(frame_link, fake, log, setting, value, result, calls, lines):
    if setting:
        setattr(fake, setting, value)
    answer = frame_link.write_orba_data(dict(RECORD), "orba_key")
    assert answer is (True if frame_link._use_thread else result)
    settle(frame_link)
    assert fake.calls == calls
    assert log.lines == lines


def test_ttl_reaches_set_as_whole_seconds(plain, fake):
    assert plain.write_orba_data({"a": 1}, "k", 2.9) is True
    assert fake.calls[0] == ("set", ("k", b'{"a":1}'), {"ex": 2})


@pytest.mark.parametrize("reply, expected", [(1, True), (0, False)])
def test_writing_none_deletes_the_key(frame_link, fake, reply, expected):
    fake.delete_reply = reply
    assert frame_link.write_orba_data(None, "key", 30) is expected
    assert fake.calls == [("delete", ("key",), {})]
    assert frame_link._queue is None or frame_link._queue.unfinished_tasks == 0


def test_unserialisable_frame_raises_and_sends_nothing(plain, fake, log):
    with pytest.raises(TypeError):  # orjson's JSONEncodeError
        plain.write_orba_data({"s": {1, 2}}, "key")
    assert fake.calls == [] and log.lines == []


LINE = "Failed to get redis frame from key - "


@pytest.mark.parametrize(
    "reply, expected, line",
    [
        (b'{"result":[1,2]}', {"result": [1, 2]}, None),
        (b"[1,2.5]", [1, 2.5], None),
        (b"null", None, None),
        (None, None, None),
        ("text", "text", None),
        (b"hello", None, LINE + ".+"),
        (Exception("connection refused"), None, LINE + "connection refused"),
    ],
    ids=["object", "array", "null", "missing", "not-bytes", "not-json", "get-raises"],
)
def test_read_orba_data(plain, fake, log, reply, expected, line):
    fake.get_reply = reply
    assert plain.read_orba_data("key") == expected
    assert fake.calls == [("get", ("key",), {})]
    if line is None:
        assert log.lines == []
    else:
        [(level, message)] = log.lines
        assert level == "warning" and re.fullmatch(line, message, re.S)


def test_methods_are_reached_through_the_object(sl, fake):
    seen = []

    class Traced(sl.StoreLink):
        def read_data(self, *args, **kwargs):
            seen.append(("read_data", args, kwargs))
            return b'{"a":1}'

        def delete_data(self, *args, **kwargs):
            seen.append(("delete_data", args, kwargs))
            return False

        def _write_(self, *args, **kwargs):
            seen.append(("_write_", args, kwargs))
            return False

    link = Traced(thread=False)
    link._redis_client = fake
    record = {"b": 2}
    assert link.read_orba_data("k1") == {"a": 1}
    assert link.write_orba_data(None, "k2") is False
    assert link.write_orba_data(record, "k3", 4.5) is False
    assert seen == [
        ("read_data", (), {"redis_key": "k1"}),
        ("delete_data", ("k2",), {}),
        ("_write_", (record, "k3", 4), {}),
    ]
    assert seen[2][1][0] is record and fake.calls == []


class IdleThread:
    def __init__(self, **kwargs):
        pass

    def start(self):
        pass

    def join(self, timeout=None):
        pass


@pytest.fixture
def stalled(sl, monkeypatch, make_link, fake):
    """A threaded object whose worker never takes anything."""
    idle = types.SimpleNamespace(Event=threading.Event, Thread=IdleThread)
    monkeypatch.setattr(sl, "threading", idle)
    link = make_link()
    link._redis_client = fake
    return link


def test_full_queue_evicts_the_oldest_pending_write(stalled, fake):
    records = [{"n": 1}, {"n": 2}, {"n": 3}]
    assert [stalled.write_orba_data(r, "k", 5) for r in records] == [True, True, True]
    held = list(stalled._queue.queue)
    assert held == [(records[1], "k", 5), (records[2], "k", 5)]
    assert held[0][0] is records[1] and held[1][0] is records[2]
    assert stalled._queue.unfinished_tasks == 2
    assert fake.calls == []


SET_A = [("set", ("k", b'{"a":1}'), {"ex": 7})]


@pytest.mark.parametrize(
    "puts, items, ops, result, calls",
    [
        ([queue.Full(), None], [], ["put_nowait", "get_nowait", "put_nowait"], True, []),
        (
            [queue.Full(), queue.Full()],
            [("old",)],
            ["put_nowait", "get_nowait", "task_done", "put_nowait"],
            False,
            SET_A,
        ),
        ([RuntimeError("broken")], [], ["put_nowait"], RuntimeError, []),
    ],
    ids=["eviction-finds-empty-queue", "second-put-fails", "other-put-error"],
)
def test_queue_hand_over(stalled, fake, puts, items, ops, result, calls):
    stalled._queue = scripted = ScriptedQueue(items, put_nowait=puts)
    fake.set_reply = False
    if result is RuntimeError:
        pytest.raises(RuntimeError, stalled.write_orba_data, {"a": 1}, "k", 7)
    else:
        assert stalled.write_orba_data({"a": 1}, "k", 7) is result
    assert scripted.steps == ops and fake.calls == calls
    assert scripted.items == ([({"a": 1}, "k", 7)] if result is True else [])


def test_queue_vanishing_before_the_put_stores_on_the_callers_thread(sl, fake, log):
    class Vanishing(sl.StoreLink):
        reads = 0

        @property
        def _queue(self):
            self.reads += 1
            return self.real_queue if self.reads == 1 else None

        @_queue.setter
        def _queue(self, value):
            pass

    link = Vanishing(thread=False)
    link._redis_client, link._use_thread, link.real_queue = fake, True, queue.Queue(2)
    assert link.write_orba_data({"a": 1}, "k") is True
    assert link.real_queue.qsize() == 0
    assert [c[0] for c in fake.calls] == ["set", "publish"] and log.lines == []


def test_road_of_a_frame(make_link, raw):
    producer, consumer = make_link(), make_link(thread=False)
    record = {"frame": 7, "boxes": [[0, 0, 10, 10]], "meta": {"cam": "front"}}
    with subscribed(raw, "cam_front_notify") as sub:
        assert producer.write_orba_data(record, "cam_front", ttl=30) is True
        message = next_message(sub)
        assert message["data"] == b"1"
        assert consumer.read_orba_data("cam_front") == record
        assert 0 < raw.ttl("cam_front") <= 30
        assert producer.write_orba_data({"frame": 8}, "cam_front") is True
        next_message(sub)
    assert raw.ttl("cam_front") == -1
    assert consumer.read_orba_data("cam_front") == {"frame": 8}


def test_queued_records_are_stored_in_order(make_link, raw):
    link = make_link()
    with subscribed(raw, "order_*", pattern=True) as sub:
        link.write_orba_data({"n": "A"}, "order_a")
        link.write_orba_data({"n": "B"}, "order_b")
        channels = [next_message(sub)["channel"] for _ in range(2)]
    assert channels == [b"order_a_notify", b"order_b_notify"]
    assert raw.get("order_b") == b'{"n":"B"}'


def test_unreachable_server_is_logged_by_the_worker(make_link, log):
    link = make_link(port=free_port())
    assert link.write_orba_data({"a": 1}, "orba_key") is True
    wait_for(lambda: log.lines, timeout=20)
    [(level, message)] = log.lines
    assert level == "error" and message.startswith("Failed to write data to redis`orba_key` - ")


def drained(link):
    pending = link._queue
    deadline = time.monotonic() + 5
    while pending.unfinished_tasks:
        assert time.monotonic() < deadline, "the worker did not take the pending write"
        time.sleep(0.0002)


@pytest.mark.parametrize(
    "delete",
    [
        lambda link, key: link.write_orba_data(None, key),
        lambda link, key: link.delete_data(key),
        lambda link, key: link.delete_many(["other", key]),
    ],
    ids=["write_orba_data(None)", "delete_data", "delete_many"],
)
def test_a_delete_right_after_a_write_stays_deleted(make_link, raw, delete):
    link = make_link()
    came_back = 0
    for n in range(stressed(200, least=40)):
        assert link.write_orba_data({"n": n}, "gone") is True
        # every other round, the worker has taken the write (it may be storing it) before the DEL
        taken = time.monotonic() + 5
        while n % 2 and link._queue.qsize():
            assert time.monotonic() < taken, "the worker did not take the pending write"
        delete(link, "gone")
        drained(link)
        came_back += raw.delete("gone")
    assert came_back == 0


def test_a_write_handed_over_while_a_delete_runs_is_stored(make_link, raw):
    link = make_link()
    client = link._redis_client

    class WriteDuringDel:
        def __getattr__(self, name):
            return getattr(client, name)

        def delete(self, *keys):
            removed = client.delete(*keys)
            assert link.write_orba_data({"n": 2}, "k") is True  # newer than the DEL
            wait_for(lambda: link._queue.qsize() == 0)  # taken before the delete returns
            return removed

    link._redis_client = WriteDuringDel()
    link.delete_data("k")
    drained(link)
    assert orjson.loads(raw.get("k")) == {"n": 2}


def test_a_delete_from_inside_the_queue_does_not_wait_for_its_own_mutex(make_link):
    link = make_link()

    class FinalizerInPut(queue.Queue):
        def _put(self, item):
            super()._put(item)
            link.delete_data("gone")  # as a finalizer that the GC runs here would

    link._queue = FinalizerInPut(maxsize=link._queue.maxsize)
    writer = threading.Thread(target=link.write_orba_data, args=({"n": 1}, "kept"), daemon=True)
    writer.start()
    writer.join(10)
    assert not writer.is_alive(), "the DEL waited for the mutex its own thread holds"


@pytest.mark.slow
def test_a_delete_never_waits_forever_for_a_store_that_waits_on_it(redis_server):
    # The store under way waits for a lock the deleting thread holds (as a logging handler's
    # lock can be): the DEL waits for it only so long, then goes ahead.
    code = f"""
import threading
from orba_sdk.redis.store_link import StoreLink
lock, entered = threading.Lock(), threading.Event()
class Link(StoreLink):
    def _write_(self, data, redis_key, ttl=None):
        entered.set()
        with lock:
            return super()._write_(data, redis_key, ttl)
link = Link(host="127.0.0.1", port={redis_server.port})
with lock:
    link.write_orba_data({{"n": 1}}, "stuck")
    entered.wait(10)
    print(link.delete_data("stuck"))
"""
    done = run_python(code)
    assert (done.stdout, done.returncode) == ("False\n", 0), done.stderr
