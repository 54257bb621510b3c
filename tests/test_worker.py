import orjson
import pytest
from helpers import CountingQueue, Halt, count_queues, thread_errors, wait_for

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
