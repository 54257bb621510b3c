import ctypes

import pytest
from helpers import MyStr

from orba_sdk.redis.store_link import StoreLink

BINDING = [
    (lambda o: o.write_data(), "write_data() takes at least 3 positional arguments (1 given)"),
    (
        lambda o: o.write_data(data="x"),
        "write_data() takes at least 3 positional arguments (1 given)",
    ),
    (
        lambda o: o.write_data(redis_key="k"),
        "write_data() takes at least 3 positional arguments (2 given)",
    ),
    (
        lambda o: o.write_data("k", "v", 1, 2),
        "write_data() takes at most 4 positional arguments (5 given)",
    ),
    (lambda o: o.delete_data(), "delete_data() takes exactly 2 positional arguments (1 given)"),
    (
        lambda o: o.delete_data("a", "b"),
        "delete_data() takes exactly 2 positional arguments (3 given)",
    ),
    (
        lambda o: StoreLink.delete_data(),
        "delete_data() takes exactly 2 positional arguments (0 given)",
    ),
    (lambda o: o.read_data(), "read_data() takes exactly 2 positional arguments (1 given)"),
    (
        lambda o: o._shutdown_executor(1),
        "_shutdown_executor() takes exactly 1 positional argument (2 given)",
    ),
    (
        lambda o: o._worker_loop(None),
        "_worker_loop() takes exactly 1 positional argument (2 given)",
    ),
    (
        lambda o: StoreLink(False, "h", 1, 2, 3),
        "__init__() takes at most 5 positional arguments (6 given)",
    ),
    (
        lambda o: o.write_data("k", "v", tll=1),
        "write_data() got an unexpected keyword argument 'tll'",
    ),
    (
        lambda o: o._shutdown_executor(now=True),
        "_shutdown_executor() got an unexpected keyword argument 'now'",
    ),
    (
        lambda o: StoreLink(thread=False, hots="h"),
        "__init__() got an unexpected keyword argument 'hots'",
    ),
    (
        lambda o: o.write_data("k", "v", 1, ttl=2),
        "write_data() got multiple values for keyword argument 'ttl'",
    ),
    (
        lambda o: StoreLink(False, thread=False),
        "__init__() got multiple values for keyword argument 'thread'",
    ),
    # a missing parameter wins over a bad keyword
    (
        lambda o: o.write_data(data="x", bogus=1),
        "write_data() takes at least 3 positional arguments (1 given)",
    ),
    (
        lambda o: o.write_data("k", redis_key="k"),
        "write_data() takes at least 3 positional arguments (2 given)",
    ),
    # binding wins over type tests
    (lambda o: o.write_data(None), "write_data() takes at least 3 positional arguments (2 given)"),
    (
        lambda o: o.read_data(None, extra=1),
        "read_data() got an unexpected keyword argument 'extra'",
    ),
    (
        lambda o: StoreLink(None, None, "p", "w", None),
        "__init__() takes at most 5 positional arguments (6 given)",
    ),
]


@pytest.mark.parametrize("call, message", BINDING)
def test_binding_errors(plain, fake, call, message):
    with pytest.raises(TypeError) as info:
        call(plain)
    assert str(info.value) == message
    assert fake.calls == []


def test_keywords_and_positions_are_interchangeable(plain, fake):
    plain.write_data("k", "v", 5)
    plain.write_data(ttl=5, data="v", redis_key="k")
    plain.write_data("k", data="v", ttl=5)
    StoreLink.write_data(plain, "k", "v", 5)
    assert fake.calls == [("set", ("k", "v"), {"ex": 5}), ("publish", ("k_notify", "1"), {})] * 4


@pytest.mark.parametrize("make_name", [lambda text: "".join(list(text)), MyStr])
def test_keywords_equal_to_a_parameter_name_bind_to_it(plain, fake, make_name):
    # Neither is the interned name that the binder compares by identity first.
    plain.write_data("k", **{make_name("data"): "v", make_name("ttl"): 5})
    assert fake.calls == [("set", ("k", "v"), {"ex": 5}), ("publish", ("k_notify", "1"), {})]


@pytest.mark.parametrize(
    "target, args, pattern",
    [
        (StoreLink.delete_data, "link", r"^(delete_data\(\) )?keywords must be strings$"),
        (StoreLink, (), r"^(__init__\(\) )?keywords must be strings$"),
    ],
)
def test_keyword_that_is_not_text(plain, fake, target, args, pattern):
    # Python syntax cannot produce such a call; go through the C API.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    args = (plain, "k") if args == "link" else args
    with pytest.raises(TypeError, match=pattern):
        call(target, args, {1: 2})
    assert fake.calls == []


REFUSED = [
    (lambda o: o.write_data(None, "v"), "redis_key", "str", "NoneType"),
    (lambda o: o.write_data(b"k", "v"), "redis_key", "str", "bytes"),
    (lambda o: o.read_data(1), "redis_key", "str", "int"),
    (lambda o: o.read_data(redis_key=["k"]), "redis_key", "str", "list"),
    (lambda o: o.delete_data(None), "redis_key", "str", "NoneType"),
    (lambda o: o.write_data("k", "v", ttl="60"), "ttl", "int", "str"),
    (lambda o: o.write_data("k", "v", b"6"), "ttl", "int", "bytes"),
    (lambda o: o.write_data("k", "v", ttl=[1]), "ttl", "int", "list"),
    (lambda o: StoreLink(thread=False, port="6379"), "port", "int", "str"),
    (lambda o: StoreLink(thread=False, port=None), "port", "int", "NoneType"),
    (lambda o: StoreLink(thread=False, workers="2"), "workers", "int", "str"),
    (lambda o: StoreLink(thread=False, host=None), "host", "str", "NoneType"),
    (lambda o: StoreLink(thread=False, host=b"h"), "host", "str", "bytes"),
    # conversions are tested before exact types, each group in parameter order
    (lambda o: o.write_data(None, "v", ttl="x"), "ttl", "int", "str"),
    (lambda o: StoreLink(False, None, "p", "w"), "port", "int", "str"),
    (lambda o: StoreLink(False, None, 1, "w"), "workers", "int", "str"),
    (lambda o: StoreLink(False, None, 1.5, 2.5), "host", "str", "NoneType"),
    (lambda o: o.read_data(type("N" * 300, (), {})()), "redis_key", "str", "N" * 200),
]


@pytest.mark.parametrize("call, param, expected, got", REFUSED)
def test_type_errors(plain, fake, call, param, expected, got):
    with pytest.raises(TypeError) as info:
        call(plain)
    assert str(info.value) == "Argument '%s' has incorrect type (expected %s, got %s)" % (
        param,
        expected,
        got,
    )
    assert fake.calls == []


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda o: o.write_data(MyStr("k"), "v"), "redis_key"),
        (lambda o: o.read_data(redis_key=MyStr("k")), "redis_key"),
        (lambda o: StoreLink(thread=False, host=MyStr("localhost")), "host"),
    ],
)
def test_str_subclass_refused_with_explanation(plain, fake, call, param):
    with pytest.raises(TypeError) as info:
        call(plain)
    head = "Argument '%s' has incorrect type (expected str, got MyStr). " % param
    assert str(info.value).startswith(head) and len(str(info.value)) > len(head)
    assert fake.calls == []
