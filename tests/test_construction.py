import queue
import threading
from decimal import Decimal
from fractions import Fraction

import pytest
import redis
from helpers import MyInt, free_port, record_construction

ATTRIBUTES = {"_use_thread", "_redis_client", "_executor", "_queue", "_worker", "_stop_evt"}


@pytest.fixture
def rec(monkeypatch):
    return record_construction(monkeypatch)


def test_threaded_construction_calls_in_order(sl, rec):
    link = sl.StoreLink(True, "redis.local", 7000, 2)
    made = rec.made
    assert rec.events == [
        (
            "ConnectionPool",
            (),
            {"host": "redis.local", "port": 7000, "max_connections": 10, "decode_responses": False},
        ),
        ("StrictRedis", (), {"connection_pool": made["ConnectionPool"]}),
        ("Event", (), {}),
        ("Queue", (), {"maxsize": 2}),
        ("Thread", (), {"target": link._worker_loop, "name": "StoreLinkWorker", "daemon": True}),
        ("Thread.start", (), {}),
        ("register", (link._shutdown_executor,), {}),
    ]
    assert rec.pool_kwargs()["decode_responses"] is False
    assert rec.events[4][2]["target"].__self__ is link
    assert rec.events[6][1][0].__self__ is link
    assert vars(link) == {
        "_use_thread": True,
        "_redis_client": made["StrictRedis"],
        "_executor": None,
        "_queue": made["Queue"],
        "_worker": made["Thread"],
        "_stop_evt": made["Event"],
    }
    assert type(link._use_thread) is bool


def test_non_threaded_construction_calls_in_order(sl, rec):
    link = sl.StoreLink(thread=False, host="h", port=1, workers=4)
    assert [name for name, _, _ in rec.events] == ["ConnectionPool", "StrictRedis", "Event"]
    assert rec.events[1][2] == {"connection_pool": rec.made["ConnectionPool"]}
    assert vars(link) == {
        "_use_thread": False,
        "_redis_client": rec.made["StrictRedis"],
        "_executor": None,
        "_queue": None,
        "_worker": None,
        "_stop_evt": rec.made["Event"],
    }
    assert type(link._use_thread) is bool


@pytest.mark.parametrize(
    "workers, max_connections, maxsize",
    [
        (-3, 10, 1),
        (0, 10, 1),
        (1, 10, 1),
        (2, 10, 2),
        (3, 15, 3),
        (4, 20, 4),
        (8, 40, 8),
        (3.7, 15, 3),
    ],
)
def test_sizes_follow_workers(sl, rec, workers, max_connections, maxsize):
    sl.StoreLink(workers=workers)
    assert rec.pool_kwargs()["max_connections"] == max_connections
    assert type(rec.pool_kwargs()["max_connections"]) is int
    assert rec.events[3] == ("Queue", (), {"maxsize": maxsize})
    assert type(rec.events[3][2]["maxsize"]) is int


@pytest.mark.parametrize(
    "thread, threaded",
    [
        (False, False),
        (None, False),
        (0, False),
        ("", False),
        ([], False),
        (True, True),
        (1, True),
        ("x", True),
        (object(), True),
    ],
)
def test_thread_uses_truth_value(sl, rec, thread, threaded):
    link = sl.StoreLink(thread)
    assert link._use_thread is threaded
    names = [name for name, _, _ in rec.events]
    assert ("register" in names) is threaded and ("Thread.start" in names) is threaded
    assert (link._queue is None) is not threaded


@pytest.mark.parametrize(
    "port, expected",
    [
        (6380, 6380),
        (6379.0, 6379),
        (6379.9, 6379),
        (Decimal("6379.9"), 6379),
        (Fraction(13, 2), 6),
        (-0.5, 0),
        (True, 1),
        (MyInt(6380), 6380),
    ],
)
def test_port_converted_to_int(sl, rec, port, expected):
    sl.StoreLink(thread=False, port=port)
    assert rec.pool_kwargs()["port"] == expected and type(rec.pool_kwargs()["port"]) is int


def test_real_collaborators(make_link):
    link, other = make_link(workers=3), make_link()
    assert set(vars(link)) == ATTRIBUTES
    assert isinstance(link._redis_client, redis.StrictRedis)
    pool = link._redis_client.connection_pool
    assert type(pool) is redis.ConnectionPool and pool.max_connections == 15
    assert pool.connection_kwargs["decode_responses"] is False
    assert type(link._queue) is queue.Queue and link._queue.maxsize == 3
    assert isinstance(link._stop_evt, threading.Event) and not link._stop_evt.is_set()
    worker = link._worker
    assert isinstance(worker, threading.Thread) and worker.is_alive() and worker.daemon
    assert worker.name == other._worker.name == "StoreLinkWorker"
    assert other._worker is not worker and other._worker.is_alive()
    assert other._redis_client.connection_pool is not pool


@pytest.mark.parametrize("thread", [False, True])
def test_unreachable_server_is_noticed_by_the_first_command(make_link, log, thread):
    link = make_link(thread=thread, port=free_port())
    assert log.lines == []
    with pytest.raises(redis.ConnectionError):
        link.read_data("k")


def test_replaced_client_class_is_used_and_kept(sl, monkeypatch, fake):
    calls = []

    def client_factory(*args, **kwargs):
        calls.append((args, kwargs))
        return fake

    monkeypatch.setattr(sl.redis, "StrictRedis", client_factory)
    link = sl.StoreLink(thread=False)
    monkeypatch.undo()
    assert len(calls) == 1 and calls[0][0] == () and list(calls[0][1]) == ["connection_pool"]
    assert type(calls[0][1]["connection_pool"]) is redis.ConnectionPool
    assert link._redis_client is fake
    assert link.write_data("k", "v") is True and fake.names() == ["set", "publish"]
    assert type(sl.StoreLink(thread=False)._redis_client) is redis.StrictRedis
