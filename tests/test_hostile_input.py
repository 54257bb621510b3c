import math
import queue
import sys
import threading

import orjson
import pytest
from helpers import (
    EXACT,
    REQUIRED,
    SIGNATURES,
    BadBool,
    BadIndex,
    BadInt,
    BadStr,
    Boom,
    FakeClient,
    Halt,
    Mute,
    MyDict,
    MyInt,
    MyList,
    MyStr,
    RecordingLogger,
    ScriptedQueue,
    record_construction,
)
from hypothesis import example, given
from hypothesis import strategies as st

from orba_sdk.redis import store_link as sl
from orba_sdk.redis.store_link import StoreLink


def model(method, args, kwargs):
    """(error type, message, subclass note follows) for a refused call, else (None, bound, None)."""
    params, _ = SIGNATURES[method]
    names = ["self"] + [name for name, _, _ in params]
    required, given_count = 1 + sum(p[2] is REQUIRED for p in params), 1 + len(args)

    def arity(count):
        number = required if count < required else len(names)
        word = (
            "exactly" if required == len(names) else "at least" if count < required else "at most"
        )
        plural = "s" * (number != 1)
        message = f"{method}() takes {word} {number} positional argument{plural} ({count} given)"
        return TypeError, message, False

    def refused(name, expected, value):
        got = type(value).__name__
        message = f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {got})"
        return TypeError, message, isinstance(value, expected)

    missing = [i for i in range(given_count, required) if names[i] not in kwargs]
    if given_count > len(names) or missing:
        return arity(given_count if given_count > len(names) else missing[0])
    for key in kwargs:
        if key in names[:given_count]:
            return TypeError, f"{method}() got multiple values for keyword argument '{key}'", False
        if key not in names:
            return TypeError, f"{method}() got an unexpected keyword argument '{key}'", False
    bound = dict(zip(names[1:], args), **kwargs)
    for name, kind, default in params:  # conversions first, then exact types
        value = bound.setdefault(name, default)
        try:
            if kind == "bool":
                bound[name] = bool(value)
            elif "int" in kind and type(value) is not int and not (value is None and "Opt" in kind):
                slots = [hasattr(type(value), n) for n in ("__index__", "__int__", "__float__")]
                if not isinstance(value, complex) and not any(slots):
                    return refused(name, int, value)
                bound[name] = int(value)
        except Exception as exc:
            return type(exc), str(exc), False
    for name, kind, _ in params:
        value, exact = bound[name], EXACT.get(kind)
        if exact and type(value) is not exact and not (value is None and "Opt" in kind):
            return refused(name, exact, value)
    return None, bound, None


texts = st.text(max_size=5)
records = st.dictionaries(texts, st.integers(-99, 99) | texts, max_size=3)
numbers = st.one_of(
    st.integers(), st.booleans(), st.floats(), st.decimals(), st.integers().map(MyInt)
)
VALUES = st.one_of(
    st.none(),
    numbers,
    st.complex_numbers(),
    texts,
    st.binary(max_size=5),
    texts.map(MyStr),
    records,
    records.map(MyDict),
    st.lists(texts, max_size=3).map(MyList),
    st.tuples(texts),
    st.sampled_from([object(), BadBool(), BadInt(), BadIndex(), BadStr()]),
)
PLAUSIBLE = {
    "str": texts,
    "dict": records,
    "Optional[dict]": st.none() | records,
    "list": st.lists(texts, max_size=3),
    "int": numbers,
    "Optional[int]": st.none() | numbers,
    "bool": VALUES,
    "Union[str, dict]": VALUES,
}
NAMES = dict.fromkeys(name for params, _ in SIGNATURES.values() for name, _, _ in params)
KEYWORDS = st.sampled_from(["self", *NAMES, "key", "tll"])


@st.composite
def calls(draw):
    """Mostly well-formed calls; now and then a parameter left out, one too many or a stray
    keyword."""
    method = draw(st.sampled_from(sorted(SIGNATURES)))
    params, _ = SIGNATURES[method]
    values = [draw(PLAUSIBLE[kind] if draw(st.booleans()) else VALUES) for _, kind, _ in params]
    split = draw(st.integers(0, len(params)))
    args = values[:split]
    if draw(st.integers(0, 5)) == 0:
        args += draw(st.lists(VALUES, max_size=2))
    kwargs = {
        p[0]: value for p, value in zip(params[split:], values[split:]) if draw(st.integers(0, 6))
    }
    if draw(st.integers(0, 4)) == 0:
        kwargs.update(draw(st.dictionaries(KEYWORDS, VALUES, max_size=2)))
    return method, args, kwargs


# Calls the suite once tested one by one; each stays an example of the property.
REFUSED = [
    ("write_orba_data", [None, "key"], {"ttl": "60"}),
    ("write_orba_data", [[1, 2], "key"], {}),
    ("write_orba_data", [MyDict(a=1), "key"], {}),
    ("write_orba_data", [{"a": 1}, None], {}),
    ("write_orba_data", [{"a": 1}, b"key"], {}),
    ("_write_", [None, "key"], {}),
    ("read_orba_data", [123], {}),
    ("delete_many", [("a", "b")], {}),
    ("delete_many", [None], {}),
    ("delete_many", [MyList(["a"])], {}),
    ("scan_keys", [b"a*"], {}),
    ("__init__", [], {"port": "6379"}),
    ("__init__", [], {"workers": None}),
    ("__init__", [], {"host": None}),
    ("__init__", [], {"port": math.inf}),
    ("__init__", [], {"workers": math.nan}),
    ("__init__", [], {"thread": BadBool(), "port": "p"}),
    ("__init__", [], {"threads": True}),
]


def with_examples(test):
    for call in reversed(REFUSED):
        test = example(call=call)(test)
    return test


@with_examples
@given(call=calls())
def test_random_calls_follow_the_convention(call):
    method, args, kwargs = call
    client, logged = FakeClient(), RecordingLogger()
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(sl, "logger", logged)
        built = record_construction(patch)
        link = StoreLink(thread=False)
        link._redis_client, link._stop_evt = client, threading.Event()
        link._stop_evt.set()
        built.events.clear()
        error, expected, subclass = model(method, args, kwargs)
        try:
            result = (StoreLink if method == "__init__" else getattr(link, method))(*args, **kwargs)
        except Exception as exc:
            assert error is not None and type(exc) is error, exc
            assert str(exc) == expected or subclass and str(exc).startswith(expected + ". ")
            assert client.calls == [] and built.events == [] and logged.lines == []
            return
    assert error is None, f"expected {error.__name__}({expected!r})"
    if method == "__init__":
        started = [name for name, _, _ in built.events].count("Thread.start")
        assert result._use_thread is expected["thread"] and started == expected["thread"]
    elif method in ("write_data", "_write_", "write_orba_data") and expected["data"] is not None:
        data = expected["data"]
        assert repr(client.calls[0]) == repr(
            (
                "set",
                (expected["redis_key"], orjson.dumps(data) if isinstance(data, dict) else data),
                {"ex": expected["ttl"]},
            )
        )


@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit, Halt])
@pytest.mark.parametrize(
    "setting, call",
    [
        ("set_reply", lambda o: o.write_data("k", "v")),
        ("publish_reply", lambda o: o.write_data("k", {"a": 1})),
        ("set_reply", lambda o: o.write_orba_data({"a": 1}, "k")),
        ("publish_reply", lambda o: o._write_({"a": 1}, "k")),
        ("get_reply", lambda o: o.read_orba_data("k")),
        ("get_reply", lambda o: o.read_data("k")),
        ("delete_reply", lambda o: o.write_orba_data(None, "k")),
        ("delete_reply", lambda o: o.delete_many(["a", "b"])),
        ("scan_reply", lambda o: o.scan_keys("*")),
    ],
)
def test_base_exceptions_pass_every_guard(plain, fake, log, kind, setting, call):
    raised = kind("stop")
    setattr(fake, setting, raised)
    with pytest.raises(kind) as info:
        call(plain)
    assert info.value is raised and log.lines == []


STORE = "Failed to write data to redis`k` - "


@pytest.mark.parametrize(
    "script, raised, steps",
    [
        ({"put_nowait": [Halt()]}, Halt, "P"),
        ({"put_nowait": [queue.Full()], "get_nowait": [Halt()]}, Halt, "PG"),
        (
            {"put_nowait": [queue.Full()], "task_done": [KeyboardInterrupt()]},
            KeyboardInterrupt,
            "PGT",
        ),
        ({"put_nowait": [queue.Full(), SystemExit()]}, SystemExit, "PGTP"),
    ],
)
def test_hostile_queue_during_hand_over(make_link, fake, log, script, raised, steps):
    link = make_link()
    link._stop_evt.set()
    link._worker.join(1)
    link._redis_client, link._queue = fake, ScriptedQueue([("old",)], **script)
    with pytest.raises(raised):
        link.write_orba_data({"n": 1}, "k")
    assert "".join(step[0].upper() for step in link._queue.steps) == steps
    assert fake.calls == [] and log.lines == []


@pytest.mark.parametrize(
    "hostile, call",
    [
        (BadBool(), lambda o, h: StoreLink(thread=h)),
        (BadInt(), lambda o, h: StoreLink(False, "h", h)),
        (BadIndex(), lambda o, h: StoreLink(thread=False, workers=h)),
        (BadInt(), lambda o, h: o.write_data("k", "v", ttl=h)),
        (BadIndex(), lambda o, h: o.write_orba_data(None, "k", h)),
    ],
)
def test_failing_conversions_propagate_and_send_nothing(plain, fake, log, hostile, call):
    threads, references = threading.active_count(), sys.getrefcount(hostile)
    for _ in range(200):
        with pytest.raises(Boom):
            call(plain, hostile)
    assert sys.getrefcount(hostile) == references and threading.active_count() == threads
    assert fake.calls == [] and log.lines == []


@pytest.mark.parametrize(
    "setting, reply, call, outcome",
    [
        ("set_reply", BadBool(), lambda o: o.write_data("k", "v"), Boom),
        ("set_reply", BadBool(), lambda o: o._write_({}, "k"), STORE + "__bool__"),
        ("delete_reply", BadBool(), lambda o: o.delete_data("k"), Boom),
        ("delete_reply", BadIndex(), lambda o: o.delete_many(["k"]), Boom),
        ("delete_reply", BadInt(), lambda o: o.delete_many(["k"]), Boom),
        ("publish_reply", Mute(), lambda o: o.write_data("k", "v"), Boom),
        ("publish_reply", Mute(), lambda o: o._write_({}, "k"), STORE + "__str__"),
        ("set_reply", Mute(), lambda o: o.write_orba_data({}, "k"), Boom),
        ("get_reply", Mute(), lambda o: o.read_orba_data("k"), Boom),
    ],
)
def test_hostile_replies(plain, fake, log, setting, reply, call, outcome):
    setattr(fake, setting, reply)
    if outcome is Boom:
        with pytest.raises(Boom):
            call(plain)
        assert log.lines == []
    else:
        assert call(plain) is False and log.lines == [("error", outcome)]
    assert "publish" not in fake.names() or setting == "publish_reply"
