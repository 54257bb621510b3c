"""Python code that runs in the middle of an operation: a key's __eq__ during a dict lookup, a
finalizer started by an allocation, a class changed between calls. None of it may crash the
operation or make it act on stale state."""

import functools
import gc
import inspect
import sys
import typing

import pytest
from helpers import run_python

PRELUDE = """
import gc, sys
from orba_sdk.redis import store_link as m

class Client:
    def __init__(self):
        self.deleted = []
    def get(self, key):
        return b'{"a": 1}'
    def delete(self, *keys):
        self.deleted.append(keys)
        return len(keys)

def colliding(name, on_compare):
    class Key(str):
        def __hash__(self):
            return hash(name)
        def __eq__(self, other):
            on_compare()
            return False
    return Key("colliding")
"""

# Each script prints "ok" when the operation survived and gave a sound result. Under
# PYTHONMALLOC=debug freed memory is overwritten, so a use after free crashes.
SCRIPTS = {
    "finalizer empties the list while delete_many allocates": """
link = m.StoreLink(thread=False)
link._redis_client = client = Client()
for attempt in range(20):
    keys = ["k%d" % i for i in range(40)]
    class Clearer:
        def __del__(self):
            keys.clear()
    garbage = Clearer(); garbage.cycle = garbage; del garbage
    gc.set_threshold(1)
    removed = link.delete_many(keys)
    gc.set_threshold(700)
    sent = client.deleted.pop() if client.deleted else ()
    assert (removed, len(sent)) in ((0, 0), (40, 40)), (removed, sent)
    assert all(isinstance(key, str) for key in sent)
print("ok")
""",
    "key comparison deletes the method called through the object": """
class Sub(m.StoreLink):
    def read_data(self, redis_key):
        return b'{"a": 1}'
def delete_method():
    if "read_data" in vars(Sub):
        del Sub.read_data
link = Sub(thread=False)
link.__dict__[colliding("read_data", delete_method)] = 1
assert link.read_orba_data("k") == {"a": 1}
print("ok")
""",
    "key comparison replaces the instance dict": """
link = m.StoreLink(thread=False)
def replace_dict():
    link.__dict__ = {"_redis_client": Client()}
state = {colliding("_redis_client", replace_dict): 1, "_redis_client": Client()}
link.__dict__ = state
del state
assert link.read_data("k") == b'{"a": 1}'
print("ok")
""",
}


# From 3.12 the GC runs at the eval breaker, never inside an allocation (gh-97922): no finalizer
# can run between delete_many's allocation and its copy of the list.
SKIPS = {
    "finalizer empties the list while delete_many allocates": pytest.mark.skipif(
        sys.version_info >= (3, 12), reason="the GC does not run inside an allocation"
    )
}


@pytest.mark.parametrize(
    "script",
    [pytest.param(script, id=name, marks=SKIPS.get(name, ())) for name, script in SCRIPTS.items()],
)
def test_code_run_inside_an_operation_cannot_crash_it(script):
    result = run_python(PRELUDE + script, env={"PYTHONMALLOC": "debug"})
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.strip() == "ok"


def test_reimport_after_the_first_module_is_freed_is_refused():
    # The first module object is freed just before the second is allocated, in a way that makes
    # pymalloc hand the second one the same address: full pools of the module's size class, and
    # a primed free list of builtin methods (3.8 allocates one on the way).
    result = run_python(
        "import _imp, gc, importlib, importlib.util, sys, types\n"
        "import orba_sdk.redis\n"
        "name = 'orba_sdk.redis.store_link'\n"
        "module = importlib.import_module(name)\n"
        "del sys.modules[name], orba_sdk.redis.store_link\n"
        "spec = importlib.util.find_spec(name)\n"
        "module.__dict__.clear(); gc.collect(); gc.disable()\n"
        "filler = [types.ModuleType('filler') for _ in range(5000)]\n"
        "methods = [filler.append for _ in range(300)]\n"
        "del methods, module\n"
        "again = _imp.create_dynamic(spec)\n"
        "try:\n    _imp.exec_dynamic(again)\n"
        "except RuntimeError as e:\n    print(e)\n",
        env={"PYTHONMALLOC": "pymalloc"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "Module 'store_link' has already been imported. Re-initialisation is not supported."
    )


def test_state_defined_on_a_changed_class_is_seen(sl, fake):
    class Replacement:
        def get(self, key):
            return b"from the property"

    class Sub(sl.StoreLink):
        pass

    link = Sub(thread=False)
    link._redis_client = fake

    # 3.14 warns on sys._clear_type_cache() (gh-129027); 3.13 added the general one.
    clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache

    def reads():
        # Clearing the type cache once restarted version tags, so that the changed class
        # came back with the tag it had before.
        clear_caches()
        return [link.read_data("k") for _ in range(3)]

    assert reads() == [None] * 3
    Sub._redis_client = property(lambda self: Replacement())
    assert reads() == [b"from the property"] * 3


def test_a_class_changed_while_it_is_searched_is_seen_next_time(sl, fake):
    class Replacement:
        def get(self, key):
            return b"from the property"

    def add_property():
        if "_redis_client" not in vars(Sub):
            Sub._redis_client = property(lambda self: Replacement())

    class Key(str):
        """Compared when the class is searched for `_executor`, after `_redis_client`."""

        def __hash__(self):
            return hash("_executor")

        def __eq__(self, other):
            if armed:
                add_property()
            return False

    armed = False
    Sub = type("Sub", (sl.StoreLink,), {Key("colliding"): 1})
    link = Sub(thread=False)
    link._redis_client = fake
    armed = True
    Sub.unrelated = 1  # a new version tag: the next call searches the class again
    link.read_data("k")
    # Where one verdict per class is remembered (unique version tags), that search changed the
    # class; elsewhere only the name asked for is searched.
    assert ("_redis_client" in vars(Sub)) == (sys.version_info >= (3, 11))
    add_property()
    assert [link.read_data("k") for _ in range(2)] == [b"from the property"] * 2


class SameText(str):
    """Equal to the plain string, hashed apart from it: both fit in one **kwargs dict."""

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return str.__eq__(self, other)


@pytest.mark.parametrize(
    "method, kwargs, name",
    [
        ("delete_data", {"redis_key": "a", SameText("redis_key"): "b"}, "redis_key"),
        ("write_orba_data", {SameText("data"): {}, "data": {}, "redis_key": "k"}, "data"),
    ],
)
def test_a_parameter_given_by_two_equal_keywords_is_refused(plain, fake, method, kwargs, name):
    with pytest.raises(TypeError) as raised:
        getattr(plain, method)(**kwargs)
    assert str(raised.value) == "%s() got multiple values for keyword argument '%s'" % (
        method,
        name,
    )
    assert fake.calls == []


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_gc_sees_names_that_can_hold_references(sl, attribute):
    class Name(str):
        pass

    method = sl.StoreLink.read_data
    original = getattr(method, attribute)
    name = Name(original)
    name.method = method
    setattr(method, attribute, name)
    try:
        assert any(referent is name for referent in gc.get_referents(method))
    finally:
        setattr(method, attribute, original)


def test_read_orba_data_parses_a_bytes_subclass(plain, fake, log):
    class Stored(bytes):
        pass

    fake.get_reply = Stored(b'{"frame": 7}')
    assert plain.read_orba_data("k") == {"frame": 7}
    assert log.lines == []


def test_annotations_resolve_in_the_module_and_signatures_follow_them(sl):
    write = sl.StoreLink.write_orba_data
    assert write.__globals__ is vars(sl)
    hints = {"data": typing.Optional[dict], "redis_key": str, "ttl": typing.Optional[int]}
    assert typing.get_type_hints(write) == dict(hints, **{"return": bool})
    if sys.version_info >= (3, 10):
        evaluated = inspect.signature(write, eval_str=True).parameters
        assert {name: p.annotation for name, p in evaluated.items() if name != "self"} == hints
    # A wrapper takes the annotations along: __annotate__ from 3.14 on, __annotations__ before.
    wrapper = functools.wraps(write)(lambda *args: None)
    assert wrapper.__annotations__ == write.__annotations__
    assert typing.get_type_hints(wrapper) == dict(hints, **{"return": bool})
    if sys.version_info >= (3, 14):
        import annotationlib

        for kind in annotationlib.Format.VALUE, annotationlib.Format.STRING:
            assert annotationlib.get_annotations(wrapper, format=kind) == write.__annotations__

    read = sl.StoreLink.read_data
    original = read.__annotations__
    read.__annotations__ = {"redis_key": "bytes"}
    try:
        assert str(inspect.signature(read)) == "(self, redis_key: 'bytes')"
    finally:
        read.__annotations__ = original


@pytest.mark.parametrize("annotations", [None, {"ttl": "int"}])
def test_a_method_cleared_by_the_gc_stays_sane(annotations):
    # gh-91636's pattern: while the GC clears the method, a finalizer that its clearing sets off
    # takes it back. Then the cleared method is read, or given new annotations first. Python code
    # did it through a weak reference that a finalizer made, until the GC learnt to clear those
    # too (GH-136401: 3.14, and late 3.13 releases); C code that kept a pointer still can, which
    # ctypes plays here.
    result = run_python(
        "ANNOTATIONS = %r\n" % (annotations,)
        + """
import ctypes, gc
from orba_sdk.redis import store_link as m

def probe(method):
    try:
        method(m.StoreLink(thread=False), "k", "v")
    except Exception as e:
        refused = "%s: %s" % (type(e).__name__, e)
    return (method.__defaults__, method.__annotations__, method.__globals__,
            method.__module__, method.__name__, repr(method).split(" at ")[0], refused)

class Late:
    def __del__(self):
        global method, during
        method = ctypes.cast(ADDRESS, ctypes.py_object).value
        during = probe(method)

class Holder:
    def __del__(self):
        # Leaves `late` to the method alone, which drops it while the GC clears the method.
        global late
        del late

late, holder, method = Late(), Holder(), m.StoreLink.write_data
ADDRESS = id(method)
del m.StoreLink.write_data
holder.method, method.holder, method.__module__ = method, holder, (late,)
del holder, method
gc.collect()
print(during[-1])
if ANNOTATIONS is not None:
    method.__annotations__ = ANNOTATIONS
print(probe(method))
""",
        env={"PYTHONMALLOC": "debug"},
    )
    assert (result.returncode, result.stderr) == (0, "")
    refused = (
        "RuntimeError: write_data() was cleared by the garbage collector and can no longer be "
        "called"
    )
    assert result.stdout.splitlines() == [
        refused,
        repr((None, annotations or {}, None, None, "", "<function ", refused)),
    ]


def test_type_names_in_messages_run_no_python_code():
    # Before 3.11 the name was read as the __name__ attribute, which a metaclass can make anything.
    result = run_python(
        """
import collections
from orba_sdk.redis import store_link as m

class Meta(type):
    @property
    def __name__(cls):
        return 42

class Odd(metaclass=Meta):
    pass

class OddText(str, metaclass=Meta):
    pass

class Client:
    def delete(self, *keys):
        return Odd()

link = m.StoreLink(thread=False)
link._redis_client = Client()
for call in (
    lambda: link.delete_many(["k"]),
    lambda: link.delete_data(Odd()),
    lambda: link.delete_data(OddText("k")),
    lambda: link.write_data("k", "v", Odd()),
    lambda: link.delete_data(collections.deque()),
):
    try:
        call()
    except TypeError as e:
        print(e)
""",
        env={"PYTHONMALLOC": "debug"},
    )
    assert (result.returncode, result.stderr) == (0, "")
    pattern = "Argument '%s' has incorrect type (expected %s, got %s)"
    assert result.stdout.splitlines() == [
        "Expected int, got Odd",
        pattern % ("redis_key", "str", "Odd"),
        pattern % ("redis_key", "str", "OddText") + ". Subclasses of built-in types are refused.",
        pattern % ("ttl", "int", "Odd"),
        pattern % ("redis_key", "str", "deque"),
    ]
