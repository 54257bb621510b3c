"""Shared fixtures: the test server, recording fakes, object factories."""

import os

import pytest
import redis as redis_py
from helpers import FakeClient, RecordingLogger, RedisServer
from hypothesis import settings

from orba_sdk.redis import store_link as store_link_module

# More examples in CI (HYPOTHESIS_PROFILE=ci) than on a developer's machine.
settings.register_profile("dev", max_examples=100, deadline=None)
settings.register_profile("ci", max_examples=600, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))


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


@pytest.fixture
def log(monkeypatch):
    """Replaces the module's logger with one that records (level, message)."""
    recorder = RecordingLogger()
    monkeypatch.setattr(store_link_module, "logger", recorder)
    return recorder


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
