import atexit
import ctypes
import gc
import sys
import time
import types
import weakref
from decimal import Decimal

import pytest
from helpers import FakeClient, Halt, MyDict, MyList, MyStr, stressed, wait_for

from orba_sdk.redis.store_link import StoreLink


class QuietClient(FakeClient):
    """Keeps no record; a reply that is an exception class is raised as a new instance each time."""

    def __init__(self, **replies):
        super().__init__(**replies)
        self.calls = types.SimpleNamespace(append=lambda call: None)
        self.defaults = {name: reply for name, reply in vars(self).items() if "_reply" in name}

    def _answer(self, reply):
        if isinstance(reply, type) and issubclass(reply, BaseException):
            raise reply("down")
        return reply


KEY = "".join(["leak", "-key"])
RECORD = {"frame": [1, 2, 3], "label": "x"}
BIG = {"blob": "x" * 100_000}
TTL = float("2.9")
TRACKED = [KEY, RECORD, BIG, TTL]

CASES = [  # (client replies, call): every operation on its success and error paths
    ({}, lambda o: o.write_data(KEY, "v", TTL)),
    ({}, lambda o: o.write_data(KEY, BIG)),
    ({"set_reply": False}, lambda o: o.write_data(KEY, "v")),
    ({"set_reply": ConnectionError}, lambda o: o.write_data(KEY, "v")),
    ({"set_reply": Halt}, lambda o: o.write_data(KEY, RECORD)),
    ({"publish_reply": RuntimeError}, lambda o: o.write_data(KEY, "v")),
    ({}, lambda o: o.write_data(KEY, {"s": {1}})),
    ({}, lambda o: o.write_data(MyStr(KEY), "v")),
    ({}, lambda o: o.write_data(KEY, "v", "60")),
    ({}, lambda o: o.write_data(KEY, "v", float("inf"))),
    ({}, lambda o: o.write_data(KEY, "v", 1, ttl=2)),
    ({}, lambda o: o.write_data(KEY, "v", tll=2)),
    ({}, lambda o: o.write_data(data="v")),
    ({"get_reply": b"raw"}, lambda o: o.read_data(redis_key=KEY)),
    ({"get_reply": ConnectionError}, lambda o: o.read_data(KEY)),
    ({}, lambda o: o.delete_data(KEY)),
    ({"delete_reply": ConnectionError}, lambda o: o.delete_data(None)),
    ({"delete_reply": 2.0}, lambda o: o.delete_many([KEY, "b"])),
    ({"delete_reply": "x"}, lambda o: o.delete_many([KEY])),
    ({}, lambda o: o.delete_many((KEY,))),
    ({"scan_reply": [b"a", "b", b"c"]}, lambda o: o.scan_keys("*")),
    ({"scan_reply": [b"a", b"\xff"]}, lambda o: o.scan_keys("*")),
    ({"scan_reply": ConnectionError}, lambda o: o.scan_keys(pattern="*")),
    ({}, lambda o: o.write_orba_data(RECORD, KEY, TTL)),
    ({}, lambda o: o.write_orba_data(BIG, KEY)),
    ({}, lambda o: o.write_orba_data(None, KEY)),
    ({"set_reply": ConnectionError}, lambda o: o.write_orba_data(RECORD, KEY)),
    ({"publish_reply": RuntimeError}, lambda o: o._write_(RECORD, KEY)),
    ({}, lambda o: o.write_orba_data({"s": {1}}, KEY)),
    ({}, lambda o: o.write_orba_data([RECORD], KEY)),
    ({"get_reply": b'{"result": [1, 2]}'}, lambda o: o.read_orba_data(KEY)),
    ({"get_reply": b"not json"}, lambda o: o.read_orba_data(KEY)),
    ({"get_reply": ConnectionError}, lambda o: o.read_orba_data(KEY)),
    ({"get_reply": Halt}, lambda o: o.read_orba_data(KEY)),
    ({}, lambda o: o._shutdown_executor()),
    ({}, lambda o: o._worker_loop(1)),
    ({}, lambda o: StoreLink(thread=False, host=KEY, port=6379.5, workers=True)),
    ({}, lambda o: StoreLink(False, None)),
    ({}, lambda o: StoreLink(thread=False, port=float("nan"))),
    ({}, lambda o: StoreLink(True, KEY, 6379, 2, "extra")),
    ({}, lambda o: o.delete_data(KEY, "b")),
    ({}, lambda o: o.read_data(**{1: KEY})),
    ({}, lambda o: o.read_orba_data()),
    ({}, lambda o: o._shutdown_executor(1)),
    ({}, lambda o: o.delete_many(MyList([KEY]))),
    ({}, lambda o: o.write_orba_data(MyDict(RECORD), KEY)),
    ({}, lambda o: o.write_orba_data(RECORD, None)),
    ({}, lambda o: o.scan_keys(b"*")),
    ({"delete_reply": Decimal("3")}, lambda o: o.delete_many([KEY])),
    ({"scan_reply": [bytearray(b"c")]}, lambda o: o.scan_keys("*")),
    ({"get_reply": b"null"}, lambda o: o.read_orba_data(KEY)),
    ({"publish_reply": Halt}, lambda o: o.write_data(KEY, "v")),
]


def served(link, threaded, port, round_no):
    """Every operation against the real server (sockets, replies and the worker)."""
    assert link.write_data(KEY, "text") is link.write_data(KEY, RECORD, TTL) is True
    assert link.read_data(KEY) is not None and link.read_orba_data(KEY) == RECORD
    assert link.write_orba_data(RECORD, KEY, TTL) is link._write_(RECORD, KEY) is True
    assert link.scan_keys(KEY) == [KEY] and link.delete_many([KEY, "absent"]) == 1
    assert link.write_orba_data(None, KEY) is link.delete_data(KEY) is False
    assert link.read_orba_data(KEY) is None
    for _ in range(3):  # more than the queue holds: evictions
        assert threaded.write_orba_data(RECORD, "frames", TTL) is True
    if round_no % 100 == 0:  # a worker thread costs a thread start: not every time
        link = StoreLink(True, "127.0.0.1", port, 1)
        assert link.write_orba_data(RECORD, "frames") is True
        link._shutdown_executor()
        link._shutdown_executor()
        # The exit handler keeps the object alive until exit: what stays is what was leaked.
        atexit.unregister(link._shutdown_executor)


def heap_kib():
    """What glibc's malloc has handed out and not taken back. Not the RSS: under QEMU user
    emulation the RSS also holds the emulator's translated code, which grows with the guest code
    run, leak or not."""
    libc = ctypes.CDLL(None)
    # mallinfo2 from glibc 2.33 (Debian 12); before it, mallinfo and its int fields.
    name, field = (
        ("mallinfo2", ctypes.c_size_t) if hasattr(libc, "mallinfo2") else ("mallinfo", ctypes.c_int)
    )
    names = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost"
    mallinfo = getattr(libc, name)
    mallinfo.restype = type(
        "Mallinfo", (ctypes.Structure,), {"_fields_": [(n, field) for n in names.split()]}
    )
    info = mallinfo()
    return (info.uordblks + info.hblkhd) // 1024


def live():
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects()), heap_kib()


def test_no_growth_over_many_calls_on_every_path(sl, monkeypatch, make_link, redis_server):
    monkeypatch.setattr(sl, "logger", types.SimpleNamespace(warning=len, error=len))
    client, link = QuietClient(), StoreLink(thread=False)
    link._redis_client = client
    # Threaded objects: one whose worker stores, one whose every store fails.
    workers = [make_link(), make_link()]
    workers[0]._redis_client = QuietClient()
    workers[1]._redis_client = QuietClient(set_reply=ConnectionError)
    # Against the server: a plain object and a threaded one.
    on_server = [make_link(thread=False), make_link(workers=1)]
    tracked = TRACKED + [link, client] + workers + on_server

    def run(rounds):
        for round_no in range(rounds):
            if round_no % 10 == 0:
                served(*on_server, redis_server.port, round_no)
            for replies, call in CASES:
                vars(client).update(client.defaults, **replies)
                try:
                    call(link)
                except (Exception, Halt):
                    pass
            for threaded in workers:
                for record in (RECORD, BIG, {"s": {1}}):
                    threaded.write_orba_data(record, KEY, TTL)
        for threaded in workers + on_server[1:]:
            wait_for(lambda pending=threaded._queue: pending.unfinished_tasks == 0)

    run(stressed(1000, least=100))
    before = live()
    refcounts = [sys.getrefcount(obj) for obj in tracked]
    rounds, started = stressed(20000, least=1000), time.monotonic()
    run(rounds)
    took, after = time.monotonic() - started, live()
    assert [sys.getrefcount(obj) for obj in tracked] == refcounts
    blocks, objects, heap = (b - a for a, b in zip(before, after))
    # One object kept per call would add about rounds * len(CASES) blocks.
    assert blocks < 1000 and objects < 500
    # malloc keeps some of what it gets back; a leak grows with the rounds
    assert heap < max(4096, 16 * 1024 * rounds // 20000)
    print(
        f"FIGURE leak test: {rounds} rounds x {len(CASES)} calls (+{rounds * 6} frame writes) "
        f"in {took:.1f} s; allocated blocks {blocks:+d}, gc objects {objects:+d}, "
        f"malloc heap {heap:+d} KiB ({before[2]} -> {after[2]} KiB)"
    )


@pytest.mark.parametrize("used", [False, True])
def test_dropped_object_and_its_client_are_collected(redis_server, raw, log, used):
    link = StoreLink(thread=False, host="127.0.0.1", port=redis_server.port)
    if used:
        link.write_data("gc", "not json", 60)
        assert link.read_orba_data("gc") is None and link.read_data("gc") == b"not json"
        assert link.write_orba_data({"n": 1}, "gc") is True
        assert link.read_orba_data("gc") == {"n": 1}
        assert link.scan_keys("gc*") == ["gc"] and link.delete_many(["gc"]) == 1
        assert link.write_orba_data(None, "gc") is link.delete_data("gc") is False
        with pytest.raises(TypeError):
            link.write_orba_data({"s": {1}}, "gc")
        link._shutdown_executor()
    refs = weakref.ref(link), weakref.ref(link._redis_client)
    del link
    gc.collect()
    assert [ref() for ref in refs] == [None, None]
