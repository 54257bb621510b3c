"""Helpers shared by the test modules: a throwaway redis-server, recording fakes, waiting."""

import collections
import contextlib
import os
import queue
import subprocess
import sys
import threading
import time
import types

import pytest
from harness import RedisServer, free_port  # noqa: F401 (the tests take them from here)

from orba_sdk.redis import store_link
from orba_sdk.redis.store_link import StoreLink


class Halt(BaseException):
    pass


class Boom(Exception):
    pass


def _failing(slot):
    def method(self):
        raise Boom(slot)

    return method


# Objects whose truth test, __int__, __index__ or str() raises Boom; Mute is an exception that
# cannot be turned into text.
BadBool, BadInt, BadIndex, BadStr, Mute = (
    type(name, (base,), {slot: _failing(slot)})
    for name, base, slot in [
        ("BadBool", object, "__bool__"),
        ("BadInt", object, "__int__"),
        ("BadIndex", object, "__index__"),
        ("BadStr", object, "__str__"),
        ("Mute", Exception, "__str__"),
    ]
)


MyStr, MyDict, MyList, MyInt = (
    type("My" + t.__name__.title(), (t,), {}) for t in (str, dict, list, int)
)


DEFAULT_HOST = os.environ.get("REDIS_HOST", "localhost")
# Loops whose size is about confidence, not behaviour, run at this share of their full size:
# 1 in make leakcheck and make stress, a small share in the suite.
STRESS = float(os.environ.get("STORE_LINK_STRESS", "0.05"))


def stressed(full, least=1):
    return max(least, round(full * STRESS))


REQUIRED = object()


def signatures(cls):
    """The methods of `cls` made by the module, in class order, as the module declares them:
    name -> (parameters after the object as (name, annotation, default or REQUIRED), return
    annotation or None)."""
    table = {}
    for name, method in vars(cls).items():
        if type(method).__name__ != "StoreLinkFunction":
            continue
        code, notes = method.__code__, method.__annotations__
        names = code.co_varnames[1 : code.co_argcount]
        defaults = method.__defaults__ or ()
        padded = (REQUIRED,) * (len(names) - len(defaults)) + defaults
        table[name] = ([(n, notes.get(n), d) for n, d in zip(names, padded)], notes.get("return"))
    return table


SIGNATURES = signatures(StoreLink)
# Arguments annotated bool or int are converted; those annotated here must be of exactly this type
# (None passes where Optional).
EXACT = {"str": str, "dict": dict, "Optional[dict]": dict, "list": list}


class RecordingLogger:
    def __init__(self):
        self.lines = []

    def warning(self, message):
        self.lines.append(("warning", message))

    def error(self, message):
        self.lines.append(("error", message))


class Made:
    def __init__(self, events, name):
        self.events, self.name = events, name

    def start(self, *args, **kwargs):
        self.events.append((self.name + ".start", args, kwargs))


class Recorder:
    def __init__(self):
        self.events, self.made = [], {}

    def factory(self, name):
        def make(*args, **kwargs):
            self.events.append((name, args, kwargs))
            self.made[name] = Made(self.events, name)
            return self.made[name]

        return make

    def pool_kwargs(self):
        return self.events[0][2]


def record_construction(patch):
    """Replaces every collaborator of construction with a recording stand-in (patch: a
    pytest.MonkeyPatch)."""
    r = Recorder()
    patch.setattr(store_link.redis, "ConnectionPool", r.factory("ConnectionPool"))
    patch.setattr(store_link.redis, "StrictRedis", r.factory("StrictRedis"))
    threading_ = types.SimpleNamespace(Event=r.factory("Event"), Thread=r.factory("Thread"))
    patch.setattr(store_link, "threading", threading_)
    patch.setattr(store_link, "queue", types.SimpleNamespace(Queue=r.factory("Queue")))
    patch.setattr(store_link, "atexit", types.SimpleNamespace(register=r.factory("register")))
    return r


class FakeClient:
    """Stands in for the redis client: records every call, answers from settings.

    A setting that is an exception instance is raised instead of returned.
    """

    def __init__(
        self, set_reply=True, get_reply=None, delete_reply=1, publish_reply=0, scan_reply=()
    ):
        self.calls = []
        self.set_reply = set_reply
        self.get_reply = get_reply
        self.delete_reply = delete_reply
        self.publish_reply = publish_reply
        self.scan_reply = scan_reply

    def _answer(self, reply):
        if isinstance(reply, BaseException):
            raise reply
        return reply

    def set(self, *args, **kwargs):
        self.calls.append(("set", args, kwargs))
        return self._answer(self.set_reply)

    def get(self, *args, **kwargs):
        self.calls.append(("get", args, kwargs))
        return self._answer(self.get_reply)

    def delete(self, *args, **kwargs):
        self.calls.append(("delete", args, kwargs))
        return self._answer(self.delete_reply)

    def publish(self, *args, **kwargs):
        self.calls.append(("publish", args, kwargs))
        return self._answer(self.publish_reply)

    def scan_iter(self, *args, **kwargs):
        self.calls.append(("scan_iter", args, kwargs))
        return iter(self._answer(self.scan_reply))

    def names(self):
        return [call[0] for call in self.calls]


class GatedClient(FakeClient):
    """A fake client whose set waits until the test opens the gate."""

    def __init__(self):
        super().__init__()
        self.entered, self.gate = threading.Event(), threading.Event()

    def set(self, *args, **kwargs):
        self.entered.set()
        self.gate.wait(10)
        return super().set(*args, **kwargs)


class CountingQueue(queue.Queue):
    """A queue.Queue that counts the items taken by the worker ("taken"), evicted by a producer
    ("evicted", a non-blocking get) and marked done ("done")."""

    def __init__(self, maxsize=0):
        super().__init__(maxsize)
        self.counts, self.count_lock = collections.Counter(), threading.Lock()

    def _count(self, what):
        with self.count_lock:
            self.counts[what] += 1

    def get(self, block=True, timeout=None):
        item = super().get(block, timeout)
        self._count("taken" if block else "evicted")
        return item

    def task_done(self):
        self._count("done")
        super().task_done()


def count_queues(sl, monkeypatch):
    """Makes the StoreLink objects created from now on use a CountingQueue."""
    monkeypatch.setattr(
        sl, "queue", types.SimpleNamespace(Queue=CountingQueue, Full=queue.Full, Empty=queue.Empty)
    )


class ScriptedQueue:
    """Stands in for an object's queue. Each put_nowait, get_nowait and task_done raises the next
    outcome scripted for it, if any (None: it goes through); get_nowait hands out the items, then
    raises queue.Empty. `steps` records the calls in order."""

    def __init__(self, items=(), **script):
        self.items, self.script, self.steps = list(items), script, []

    def _step(self, name):
        self.steps.append(name)
        if self.script.get(name):
            outcome = self.script[name].pop(0)
            if outcome is not None:
                raise outcome

    def put_nowait(self, item):
        self._step("put_nowait")
        self.items.append(item)

    def get_nowait(self):
        self._step("get_nowait")
        if not self.items:
            raise queue.Empty
        return self.items.pop(0)

    def task_done(self):
        self._step("task_done")


def run_python(code, env=None, timeout=30):
    """Runs code in a fresh interpreter of the same Python; returns the CompletedProcess."""
    full_env = dict(os.environ)
    full_env.pop("REDIS_HOST", None)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code], env=full_env, timeout=timeout, capture_output=True, text=True
    )


# What a fresh interpreter costs that only imports: under emulation (the arm64 runs go through
# QEMU) its start and exit alone take seconds, which no bound on a snippet's wall time is about.
IMPORTS_ONLY = (
    "import threading, time, types, redis\nfrom orba_sdk.redis.store_link import StoreLink\n"
)


def run_python_timed(code):
    """run_python(code), and its wall time beyond that of an interpreter that only imports."""
    started = time.monotonic()
    assert run_python(IMPORTS_ONLY).returncode == 0
    baseline = time.monotonic() - started
    started = time.monotonic()
    done = run_python(code)
    return done, time.monotonic() - started - baseline


def wait_for(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail("condition not reached in time")
        time.sleep(0.01)


@contextlib.contextmanager
def subscribed(raw, channel, pattern=False):
    sub = raw.pubsub()
    (sub.psubscribe if pattern else sub.subscribe)(channel)
    confirmations = ("subscribe", "psubscribe")
    wait_for(lambda: (sub.get_message(timeout=0.1) or {}).get("type") in confirmations)
    try:
        yield sub
    finally:
        sub.close()


def next_message(sub, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        message = sub.get_message(timeout=0.1)
        if message and message["type"] in ("message", "pmessage"):
            return message
    pytest.fail("no message arrived")


def writes_held(link):
    """Writes the worker has taken from the queue and not finished storing. Read under the
    queue's mutex, or a put caught half-way reads as one fewer."""
    pending = link._queue
    with pending.mutex:
        return pending.unfinished_tasks - len(pending.queue)


def settle(link):
    pending = link._queue
    if pending is not None:
        wait_for(lambda: pending.unfinished_tasks == 0)


def thread_errors(monkeypatch):
    """Records what ends a thread. Call it in the test body: pytest installs its own hook there."""
    seen = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_value))
    return seen
