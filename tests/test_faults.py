import itertools
import os
import threading
import time
import types

import orjson
import pytest
import redis
from helpers import RedisServer, count_queues, run_python_timed, settle, wait_for, writes_held

from orba_sdk.redis.store_link import StoreLink


class Traced(StoreLink):
    def __init__(self, *args, **kwargs):
        self.steps = []
        super().__init__(*args, **kwargs)

    def _write_(self, data, redis_key, ttl=None):
        result = super()._write_(data, redis_key, ttl)
        self.steps.append((data.get("seq"), result))
        return result


class Producer(threading.Thread):
    """Writes {"seq": n} under "stream" at a steady pace, timing each call."""

    def __init__(self, link):
        super().__init__(daemon=True)
        self.link, self.halt, self.seq, self.depth = link, threading.Event(), 0, 0
        self.calls, self.results, self.errors = [], set(), []

    def run(self):
        while not self.halt.is_set():
            self.seq += 1
            started = time.perf_counter()
            try:
                self.results.add(self.link.write_orba_data({"seq": self.seq}, "stream"))
            except BaseException as exc:
                return self.errors.append(exc)
            self.calls.append((started, time.perf_counter() - started))
            self.depth = max(self.depth, self.link._queue.qsize())
            time.sleep(0.005)

    def longest(self, since):
        return max(took for started, took in self.calls if started >= since)

    def finish(self):
        self.halt.set()
        self.join(10)
        assert not self.is_alive() and self.errors == [] and self.results == {True}
        return self.seq


@pytest.fixture
def own_server(tmp_path):
    """A server of this test alone, free to be stopped, paused or restarted."""
    server = RedisServer(tmp_path)
    server.start()
    yield server
    server.stop()


@pytest.fixture
def stream(own_server, log):
    link = Traced(host="127.0.0.1", port=own_server.port)
    run = types.SimpleNamespace(
        link=link, producer=Producer(link), probe=redis.Redis(port=own_server.port)
    )
    run.producer.start()
    wait_for(lambda: stored(run.probe))
    yield run
    run.producer.halt.set()
    link._shutdown_executor()
    run.probe.close()


def stored(client, key="stream"):
    try:
        value = client.get(key)
    except redis.ConnectionError:
        return None
    return None if value is None else orjson.loads(value)


def test_server_restart_mid_stream(own_server, stream, log):
    link, producer = stream.link, stream.producer
    own_server.stop()
    down = time.perf_counter()
    try:
        for call in (
            lambda: link.write_data("plain", "v"),
            lambda: link.read_data("plain"),
            lambda: link.delete_many(["plain"]),
            lambda: link.scan_keys("*"),
            lambda: link.write_orba_data(None, "stream"),
        ):
            with pytest.raises(redis.ConnectionError):
                call()
        assert link.read_orba_data("stream") is None
        wait_for(lambda: sum(result is False for _, result in link.steps) >= 5)
    finally:
        if own_server.process is None:
            own_server.start()
    up, seq_at_restart = time.perf_counter(), producer.seq
    wait_for(lambda: (stored(stream.probe) or {}).get("seq", 0) > seq_at_restart, timeout=10)
    recovery = time.perf_counter() - up
    assert link.write_data("plain", "v") is True and link.read_data("plain") == b"v"
    last = producer.finish()
    settle(link)
    assert stored(stream.probe) == link.read_orba_data("stream") == {"seq": last}
    errors = [line for level, line in log.lines if level == "error"]
    assert len(errors) == sum(result is False for _, result in link.steps)
    assert all(line.startswith("Failed to write data to redis`stream` - ") for line in errors)
    warnings = sorted(line for level, line in log.lines if level == "warning")
    assert warnings[0].startswith("Failed to get redis frame from stream - ")
    assert all(
        line.startswith("Failed to publish notification to stream_notify: ")
        for line in warnings[1:]
    )
    assert producer.longest(since=down) < 0.5
    print(
        f"FIGURE restart: longest producer call {producer.longest(down) * 1000:.2f} ms, "
        f"recovery {recovery * 1000:.0f} ms, {len(errors)} failed stores logged"
    )


def test_stalled_server(own_server, stream):
    link, producer, probe = stream.link, stream.producer, stream.probe
    with own_server.stalled():
        hung, since = time.perf_counter(), producer.seq
        # By 20 frames on, a store answered just before the stop has finished.
        wait_for(lambda: writes_held(link) == 1 and producer.seq > since + 20)
        before, since = len(link.steps), producer.seq
        wait_for(lambda: producer.seq > since + 20)
        last = producer.finish()
        assert writes_held(link) == 1 and len(link.steps) == before
    settle(link)
    assert stored(probe) == {"seq": last}
    # The write caught by the stall, then only the newest records that the queue kept.
    (stalled, _), *rest = link.steps[before:]
    assert rest == [(last - 1, True), (last, True)] and stalled < last - 1
    assert producer.depth <= link._queue.maxsize == 2
    assert producer.longest(since=hung) < 0.5
    print(f"FIGURE stall: longest producer call {producer.longest(hung) * 1000:.2f} ms")


@pytest.mark.parametrize("shutdown_after", [0.0, 0.07, 0.23])
def test_many_threads_and_a_shutdown_at_any_moment(sl, monkeypatch, make_link, raw, shutdown_after):
    count_queues(sl, monkeypatch)
    link, failures = make_link(), []
    pending, counts = link._queue, link._queue.counts

    def work(n, halt, last):  # threads 0-3 produce frames under "p<n>", 4-5 read them
        try:
            for seq in itertools.count(1):
                if halt.is_set():
                    return
                if n < 4:
                    ttl = (None, 30, 30.9)[seq % 3]
                    assert link.write_orba_data({"seq": seq, "n": n}, f"p{n}", ttl)
                    last[n] = seq
                else:
                    value = link.read_orba_data(f"p{seq % 4}")
                    assert value is None or value["n"] == seq % 4
                    assert set(link.scan_keys("p*")) <= {"p0", "p1", "p2", "p3"}
                    assert link.delete_data("scratch") is False
        except BaseException as exc:
            failures.append(exc)

    def run(middle):
        halt, last = threading.Event(), {}
        threads = [
            threading.Thread(target=work, args=(n, halt, last), daemon=True) for n in range(6)
        ]
        for thread in threads:
            thread.start()
        middle(last)
        halt.set()
        for thread in threads:
            thread.join(10)
        assert not any(thread.is_alive() for thread in threads) and failures == []
        return last

    run(lambda last: wait_for(lambda: counts["taken"] > 20))
    wait_for(lambda: pending.unfinished_tasks == 0)
    assert counts["done"] == counts["taken"] + counts["evicted"] and counts["taken"] > 0

    def shutdown_midway(last):
        time.sleep(shutdown_after)
        link._shutdown_executor()
        link._worker.join(5)
        at_shutdown = dict(last)
        wait_for(lambda: all(last.get(n, 0) > at_shutdown.get(n, 0) + 5 for n in range(4)))

    last = run(shutdown_midway)
    assert not link._worker.is_alive() and link._queue is None and link._use_thread is False
    # A write caught between the shutdown's steps may find the queue gone before it
    # marks its item done; nothing is ever marked twice.
    handled = counts["taken"] + counts["evicted"]
    assert handled - 5 <= counts["done"] <= handled
    for n in range(4):
        assert orjson.loads(raw.get(f"p{n}")) == {"seq": last[n], "n": n}
    assert link.write_orba_data({"after": 1}, "after") is True
    assert raw.get("after") == b'{"after":1}'


@pytest.mark.slow
def test_exit_under_load_with_a_stalled_server(own_server):
    port = own_server.port
    code = f"""if True:
        import os, signal, threading, time
        from orba_sdk.redis.store_link import StoreLink
        links = [StoreLink(host="127.0.0.1", port={port}, workers=w) for w in (1, 2, 3)]
        def produce(link, n):
            while True:
                link.write_orba_data({{"n": n, "blob": "x" * 1000}}, f"k{{n}}")
        def held():  # objects whose worker holds a write; an eviction under way reads as two
            count = 0
            for link in links:
                with link._queue.mutex:
                    count += link._queue.unfinished_tasks > len(link._queue.queue)
            return count
        # Stalled before the first store: no answer can be on its way, so a write held stays held.
        os.kill({own_server.process.pid}, signal.SIGSTOP)
        for n, link in enumerate(links):
            threading.Thread(target=produce, args=(link, n), daemon=True).start()
        deadline = time.monotonic() + 5
        while held() < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        print(held())
        """
    try:
        done, wall = run_python_timed(code)
    finally:
        own_server.resume()
    assert (done.returncode, done.stdout, done.stderr) == (0, "3\n", "")
    assert wall < 10
    print(f"FIGURE exit under load, 3 busy objects: {wall:.2f} s beyond start-up")


def nested(depth):
    record = {"leaf": "end"}
    for level in range(depth):
        record = {"level": level, "inner": record}
    return record


RECORDS = {
    "big": {"pixels": "\x00\xff" * (3 << 20), "boxes": list(range(200_000))},
    "deep": nested(250),
    "odd": {"": "", "ключ": "значение 🎞", "nul": "\x00", "f": [1e308]},
}


@pytest.mark.parametrize("thread", [False, True], ids=["caller", "worker"])
def test_large_deep_and_odd_records(make_link, raw, log, thread):
    link = make_link(thread=thread)
    for key, record in RECORDS.items():
        assert link.write_orba_data(record, key) is True
        settle(link)
        assert raw.get(key) == orjson.dumps(record) and link.read_orba_data(key) == record
    blob = os.urandom(5 << 20)
    assert link.write_data("blob", blob) is True and link.read_data("blob") == blob
    assert log.lines == []
    if thread:
        assert link.write_orba_data(nested(300), "too-deep") is True
        settle(link)
        assert log.lines == [
            ("error", "Failed to write data to redis`too-deep` - Recursion limit reached")
        ]
    else:
        with pytest.raises(TypeError, match="^Recursion limit reached$"):
            link.write_orba_data(nested(300), "too-deep")
    raw.set("too-deep", b"[" * 5000 + b"]" * 5000)
    assert link.read_orba_data("too-deep") is None
    assert log.lines[-1][1].startswith("Failed to get redis frame from too-deep - ")


ODD_KEYS = [
    "",
    " ",
    "ключ 🔑",
    "a b\r\nSET injected 1\r\n",
    "*3\r\n$3\r\nSET\r\n$1\r\nx\r\n",
    "nul\x00key",
    "tab\tand space ",
]


def test_odd_keys_are_stored_as_literal_keys(make_link, raw):
    link = make_link(thread=False)
    frames = [key + "#frame" for key in ODD_KEYS]
    for key, frame in zip(ODD_KEYS, frames):
        assert link.write_data(key, "v", 60) is True
        assert link.write_orba_data({"key": key}, frame) is True
    assert sorted(raw.keys("*")) == sorted(key.encode() for key in ODD_KEYS + frames)
    assert sorted(link.scan_keys("*")) == sorted(ODD_KEYS + frames)
    assert sorted(link.scan_keys("ключ*")) == ["ключ 🔑", "ключ 🔑#frame"]
    for key, frame in zip(ODD_KEYS, frames):
        assert link.read_data(key) == b"v" and 0 < raw.ttl(key) <= 60
        assert link.read_orba_data(frame) == {"key": key}
    assert link.delete_many(frames) == len(frames)
    assert all(link.delete_data(key) for key in ODD_KEYS) and raw.dbsize() == 0


def test_key_that_is_not_utf8(make_link, raw):
    link = make_link(thread=False)
    raw.mset({b"bad\xff\xfe": b"1", "good": b"1"})
    with pytest.raises(UnicodeDecodeError):
        link.scan_keys("*")
    assert link.scan_keys("g*") == ["good"]
    assert link.write_data("good", "2") is True and link.read_data("good") == b"2"
    assert link.delete_many([b"bad\xff\xfe"]) == 1 and link.scan_keys("*") == ["good"]
