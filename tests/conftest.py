"""Shared fixtures: a throwaway redis-server, recording fakes, object factories."""

import os
import shutil
import socket
import subprocess
import sys
import time

import pytest
import redis as redis_py

from orba_sdk.redis import store_link as store_link_module


def _free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class RedisServer:
    """A redis-server on a free loopback port, without persistence."""

    def __init__(self, workdir):
        self.workdir = str(workdir)
        self.port = _free_port()
        self.process = None

    def start(self):
        binary = shutil.which("redis-server")
        if binary is None:
            pytest.fail("redis-server is not installed (apt-get install redis-server)")
        self.process = subprocess.Popen(
            [
                binary,
                "--port",
                str(self.port),
                "--bind",
                "127.0.0.1",
                "--save",
                "",
                "--appendonly",
                "no",
                "--dir",
                self.workdir,
                "--daemonize",
                "no",
                "--loglevel",
                "warning",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        client = redis_py.Redis(port=self.port)
        deadline = time.monotonic() + 10
        while True:
            try:
                client.ping()
                break
            except redis_py.ConnectionError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    self.stop()
                    pytest.fail("redis-server did not start")
                time.sleep(0.02)
        client.close()

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    server.start()
    yield server
    server.stop()


@pytest.fixture
def raw(redis_server):
    """A plain redis-py client on an empty database of the test server."""
    client = redis_py.Redis(port=redis_server.port)
    client.flushall()
    yield client
    client.close()


@pytest.fixture
def sl():
    return store_link_module


class RecordingLogger:
    def __init__(self):
        self.lines = []

    def warning(self, message):
        self.lines.append(("warning", message))

    def error(self, message):
        self.lines.append(("error", message))


@pytest.fixture
def log(monkeypatch):
    """Replaces the module's logger with one that records (level, message)."""
    recorder = RecordingLogger()
    monkeypatch.setattr(store_link_module, "logger", recorder)
    return recorder


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


@pytest.fixture
def fake():
    return FakeClient()


@pytest.fixture
def plain(fake):
    """A non-threaded StoreLink whose client is the recording fake."""
    link = store_link_module.StoreLink(thread=False)
    link._redis_client = fake
    return link


@pytest.fixture
def make_link(redis_server):
    """Builds StoreLink objects on the test server; shuts threaded ones down after the test."""
    made = []

    def make(*args, **kwargs):
        kwargs.setdefault("host", "127.0.0.1")
        kwargs.setdefault("port", redis_server.port)
        link = store_link_module.StoreLink(*args, **kwargs)
        made.append(link)
        return link

    yield make
    for link in made:
        link._shutdown_executor()


def run_python(code, env=None, timeout=30):
    """Runs code in a fresh interpreter of the same Python; returns the CompletedProcess."""
    full_env = dict(os.environ)
    full_env.pop("REDIS_HOST", None)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code], env=full_env, timeout=timeout, capture_output=True, text=True
    )
