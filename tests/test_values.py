import math
from decimal import Decimal
from fractions import Fraction

import orjson
import pytest
import redis
from helpers import MyDict, MyInt


@pytest.mark.parametrize("thread", [False, True])
def test_text_round_trip(make_link, raw, thread):
    link = make_link(thread=thread)
    assert link.write_data("greeting", "héllo") is True
    assert raw.get("greeting") == "héllo".encode()
    assert link.read_data("greeting") == "héllo".encode()
    assert link.read_data(redis_key="greeting") == "héllo".encode()
    assert link.read_data("missing") is None


def test_dict_reads_back_as_compact_json(make_link, raw):
    link = make_link(thread=False)
    record = {"a": 1, "b": [1, 2], "c": None}
    assert link.write_data("rec", record) is True
    stored = link.read_data("rec")
    assert stored == b'{"a":1,"b":[1,2],"c":null}' == raw.get("rec")
    assert orjson.loads(stored) == record


def test_ttl_applied_and_cleared(make_link, raw):
    link = make_link(thread=False)
    link.write_data("k", "v", ttl=100)
    assert 95 <= raw.ttl("k") <= 100
    link.write_data("k", "w")
    assert raw.ttl("k") == -1 and raw.get("k") == b"w"


def test_subscriber_gets_notification(make_link, raw):
    link = make_link(thread=False)
    pubsub = raw.pubsub()
    pubsub.subscribe("key_notify")
    assert pubsub.get_message(timeout=5)["type"] == "subscribe"
    link.write_data("key", "v")
    message = pubsub.get_message(timeout=5)
    assert (message["channel"], message["data"]) == (b"key_notify", b"1")
    pubsub.close()


@pytest.mark.parametrize("ttl", [0, -5])
def test_server_refusal_of_expiry_reaches_caller(make_link, raw, ttl):
    with pytest.raises(redis.ResponseError):
        make_link(thread=False).write_data("k", "v", ttl=ttl)
    assert raw.exists("k") == 0


@pytest.mark.parametrize("key, channel", [("my_key", "my_key_notify"), ("", "_notify")])
def test_set_then_publish(plain, fake, log, key, channel):
    assert plain.write_data(key, "hello") is True
    assert fake.calls == [("set", (key, "hello"), {"ex": None}), ("publish", (channel, "1"), {})]
    assert type(fake.calls[1][1][1]) is str
    assert log.lines == []


@pytest.mark.parametrize("data", [MyDict(a=1), {"a": 1}])
def test_dicts_are_serialised(plain, fake, data):
    plain.write_data("k", data, ttl=60)
    assert fake.calls[0] == ("set", ("k", b'{"a":1}'), {"ex": 60})


@pytest.mark.parametrize("data", ["text", b"raw", 7, 1.5, [1, 2], ("a",), None])
def test_other_values_go_unchanged(plain, fake, data):
    plain.write_data("k", data)
    assert fake.calls[0][1][1] is data


def test_orjson_looked_up_at_call_time(sl, plain, fake, monkeypatch):
    monkeypatch.setattr(sl, "orjson", type("orjson", (), {"dumps": lambda data: b"X"}))
    plain.write_data("k", {"a": 1})
    assert fake.calls[0][1] == ("k", b"X")


@pytest.mark.parametrize(
    "reply, result",
    [
        (False, False),
        (None, False),
        (0, False),
        (b"", False),
        ("OK", True),
        (1, True),
    ],
)
def test_set_reply_truth(plain, fake, log, reply, result):
    fake.set_reply = reply
    assert plain.write_data("k", "v") is result
    assert fake.names() == (["set", "publish"] if result else ["set"])
    assert log.lines == []


@pytest.mark.parametrize(
    "error, text",
    [
        (Exception("publish failed"), "publish failed"),
        (redis.ConnectionError(), ""),
    ],
)
def test_failed_publish_is_logged_not_raised(plain, fake, log, error, text):
    fake.publish_reply = error
    assert plain.write_data("my_key", "v") is True
    assert fake.calls[1] == ("publish", ("my_key_notify", "1"), {})
    assert log.lines == [("warning", "Failed to publish notification to my_key_notify: " + text)]


@pytest.mark.parametrize(
    "method, args, reply_attr",
    [
        ("write_data", ("k", "v"), "set_reply"),
        ("read_data", ("k",), "get_reply"),
        ("delete_data", ("k",), "delete_reply"),
        ("delete_many", (["k", "j"],), "delete_reply"),
        ("scan_keys", ("*",), "scan_reply"),
    ],
)
def test_client_errors_reach_caller_unlogged(plain, fake, log, method, args, reply_attr):
    error = redis.ConnectionError("refused")
    setattr(fake, reply_attr, error)
    with pytest.raises(redis.ConnectionError) as info:
        getattr(plain, method)(*args)
    assert info.value is error
    assert len(fake.calls) == 1 and log.lines == []


@pytest.mark.parametrize(
    "ttl, ex",
    [
        (None, None),
        (60, 60),
        (2.9, 2),
        (-2.9, -2),
        (True, 1),
        (False, 0),
        (0, 0),
        (-5, -5),
        (Decimal("7.5"), 7),
        (Fraction(7, 2), 3),
        (MyInt(9), 9),
    ],
)
def test_ttl_conversion(plain, fake, ttl, ex):
    plain.write_data("k", "v", ttl)
    assert fake.calls[0] == ("set", ("k", "v"), {"ex": ex})
    assert type(fake.calls[0][2]["ex"]) is type(ex)


@pytest.mark.parametrize(
    "data, ttl, error",
    [
        ("v", math.inf, OverflowError),
        ("v", math.nan, ValueError),
        ({"a": object()}, None, TypeError),
    ],
)
def test_conversion_errors_propagate_before_sending(plain, fake, data, ttl, error):
    with pytest.raises(error):
        plain.write_data("k", data, ttl=ttl)
    assert fake.calls == []


def test_read_returns_reply_unchanged(plain, fake):
    fake.get_reply = reply = bytearray(b"raw")
    assert plain.read_data("key") is reply
    assert plain.read_data(redis_key="key") is reply
    assert fake.calls == [("get", ("key",), {})] * 2
