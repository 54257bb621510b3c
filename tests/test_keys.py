import pytest
from helpers import next_message, subscribed


@pytest.mark.parametrize("reply, expected", [(1, True), (0, False)])
def test_delete_data_answers_a_bool(plain, fake, reply, expected):
    fake.delete_reply = reply
    assert plain.delete_data("key") is expected
    assert fake.calls == [("delete", ("key",), {})]


def test_delete_many_sends_one_del_in_list_order(plain, fake):
    fake.delete_reply = 3
    assert plain.delete_many(["c", "a", "b"]) == 3
    assert fake.calls == [("delete", ("c", "a", "b"), {})]


def test_delete_many_of_nothing_sends_nothing(plain, fake):
    result = plain.delete_many([])
    assert result == 0 and type(result) is int
    assert fake.calls == []


@pytest.mark.parametrize("reply, expected", [(3, 3), (True, 1), (2.7, 2), (None, None)])
def test_delete_many_reply_becomes_an_int(plain, fake, reply, expected):
    fake.delete_reply = reply
    result = plain.delete_many(["a"])
    assert result == expected and type(result) is type(expected)


def test_delete_many_refuses_a_reply_that_is_no_number(plain, fake):
    fake.delete_reply = "x"
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        plain.delete_many(["a"])


def test_scan_keys_decodes_and_keeps_order_and_duplicates(plain, fake):
    fake.scan_reply = [b"a", "b", b"a"]
    assert plain.scan_keys("p*") == ["a", "b", "a"]
    assert fake.calls == [("scan_iter", (), {"match": "p*"})]


def test_scan_keys_non_utf8_key_raises(plain, fake):
    fake.scan_reply = [b"ok", b"\xff"]
    with pytest.raises(UnicodeDecodeError):
        plain.scan_keys("*")


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("redis_1_*", ["redis_1_a", "redis_1_b"]),
        ("redis_?_a", ["redis_1_a", "redis_2_a"]),
        ("redis_[2]_*", ["redis_2_a"]),
        ("redis_\\*", ["redis_*"]),
        ("*", ["other", "redis_*", "redis_1_a", "redis_1_b", "redis_2_a"]),
        ("nomatch*", []),
    ],
)
def test_scan_keys_on_server(make_link, raw, pattern, expected):
    for key in ["redis_1_a", "redis_1_b", "redis_2_a", "redis_*", "other"]:
        raw.set(key, "v")
    result = make_link(thread=False).scan_keys(pattern)
    assert all(type(key) is str for key in result)
    assert sorted(result) == expected


def test_scan_keys_of_empty_key_space(make_link, raw):
    assert make_link(thread=False).scan_keys("*") == []


def test_deletions_on_server_count_and_publish_nothing(make_link, raw):
    link = make_link(thread=False)
    raw.mset({"a": 1, "b": 2, "c": 3})
    with subscribed(raw, "*", pattern=True) as sub:
        assert link.delete_data("a") is True
        assert link.delete_data("a") is False
        assert link.delete_many(["b", "missing", "c", "b"]) == 2
        assert link.delete_many(["b"]) == 0
        raw.publish("sentinel", "x")
        assert next_message(sub)["channel"] == b"sentinel"
    assert raw.keys("*") == []
