import threading
import time

import pytest
from helpers import FakeClient, GatedClient, Halt, thread_errors, wait_for


def test_idle_threaded_object_shuts_down_once(make_link, log):
    link = make_link()
    worker, event = link._worker, link._stop_evt
    for _ in range(2):
        assert link._shutdown_executor() is None
        assert event.is_set() and link._stop_evt is event
        assert not worker.is_alive() and link._worker is worker
        assert link._queue is None and link._executor is None and link._use_thread is False
    assert log.lines == []


def test_non_threaded_object(sl, log):
    link = sl.StoreLink(thread=False)
    assert link._shutdown_executor() is None
    assert link._stop_evt.is_set()
    assert link._worker is None and link._queue is None and link._executor is None
    assert link._use_thread is False
    assert log.lines == []


class StandIn:
    def __init__(self):
        self.calls, self.exc = [], None

    def _called(self, name, args, kwargs):
        self.calls.append((name, args, kwargs))
        if self.exc is not None:
            raise self.exc

    def set(self, *args, **kwargs):
        self._called("set", args, kwargs)

    def join(self, *args, **kwargs):
        self._called("join", args, kwargs)


@pytest.mark.parametrize(
    "failing, exc",
    [
        (None, None),
        ("_stop_evt", RuntimeError("no")),
        ("_worker", RuntimeError("cannot join")),
        ("_stop_evt", Halt()),
        ("_worker", Halt()),
    ],
)
def test_steps_run_in_order_until_one_fails(sl, log, failing, exc):
    link = sl.StoreLink(thread=False)
    event, worker = StandIn(), StandIn()
    link._stop_evt, link._worker, link._queue, link._use_thread = event, worker, "q", True
    if failing:
        getattr(link, failing).exc = exc
    if isinstance(exc, Halt):
        with pytest.raises(Halt):
            link._shutdown_executor()
    else:
        assert link._shutdown_executor() is None
    assert event.calls == [("set", (), {})]
    assert worker.calls == ([] if failing == "_stop_evt" else [("join", (), {"timeout": 0.5})])
    assert (link._queue, link._use_thread) == (("q", True) if failing else (None, False))
    assert log.lines == []
    # not left as a threaded object for the exit handlers to stop
    link._use_thread = False


def test_shutdown_called_on_the_worker_thread(sl, redis_server, request):
    seen = []

    class SelfStopping(sl.StoreLink):
        def _write_(self, data, redis_key, ttl=None):
            seen.append(self._shutdown_executor())
            seen.append((self._stop_evt.is_set(), self._queue, self._executor, self._use_thread))
            return True

    link = SelfStopping(host="127.0.0.1", port=redis_server.port)
    request.addfinalizer(link._shutdown_executor)
    pending = link._queue
    link.write_orba_data({"a": 1}, "k")
    wait_for(lambda: len(seen) == 2)
    assert seen == [None, (True, pending, None, True)]
    link._worker.join(1)
    assert not link._worker.is_alive()


def test_busy_worker_is_left_running_after_half_a_second(make_link, monkeypatch):
    errors = thread_errors(monkeypatch)
    link = make_link()
    link._redis_client = gated = GatedClient()
    try:
        link.write_orba_data({"n": 1}, "k")
        assert gated.entered.wait(5)
        started = time.monotonic()
        assert link._shutdown_executor() is None
        assert 0.4 < time.monotonic() - started < 3
        assert link._worker.is_alive()
        assert link._queue is None and link._use_thread is False
    finally:
        gated.gate.set()
    # its task_done now meets a dropped queue, which must not end the thread with an error
    link._worker.join(2)
    assert not link._worker.is_alive()
    assert gated.names() == ["set", "publish"] and errors == []


def test_current_write_finishes_and_waiting_ones_are_dropped(make_link):
    link = make_link()
    link._redis_client = gated = GatedClient()
    link.write_orba_data({"n": "A"}, "a")
    assert gated.entered.wait(5)
    link.write_orba_data({"n": "B"}, "b")
    threading.Timer(0.1, gated.gate.set).start()
    link._shutdown_executor()
    assert not link._worker.is_alive()
    assert [call[1][0] for call in gated.calls] == ["a", "a_notify"]


def test_after_shutdown_everything_runs_on_the_callers_thread(make_link, raw, log):
    link = make_link()
    link._shutdown_executor()
    assert link.write_orba_data({"a": 1}, "k") is True
    assert raw.get("k") == b'{"a":1}'
    assert link.read_orba_data("k") == {"a": 1}
    assert link.write_data("t", "text") is True and link.read_data("t") == b"text"
    link._redis_client = fake = FakeClient(set_reply=False)
    assert link.write_orba_data({"a": 2}, "k") is False
    assert fake.names() == ["set"] and log.lines == []
