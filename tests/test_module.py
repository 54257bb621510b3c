import ast
import atexit
import concurrent.futures
import inspect
import logging
import os
import queue
import re
import sys
import threading
import types
import typing
from pathlib import Path

import orjson
import pytest
import redis
from helpers import DEFAULT_HOST, REQUIRED, SIGNATURES, run_python

import orba_sdk.logging.logger as sdk_logger

CLASS_DOC = (
    "Represents a redis client specified for the containers.\n\n    Args:\n"
    "        thread(bool): Use threading or not\n        host(str): Redis server host\n"
    "        port(int): Redis server port\n    "
)

DOCS = {
    "write_data": (
        "Write data to the target redis location",
        ["redis_key(str): Target redis key.", "data(str): Data to be written."],
    ),
    "read_data": (
        "Read data from the target redis location",
        ["redis_key(str): Target redis key."],
    ),
}


def test_globals_are_the_collaborators(sl):
    expected = {
        "orjson": orjson,
        "os": os,
        "threading": threading,
        "atexit": atexit,
        "queue": queue,
        "Any": typing.Any,
        "Optional": typing.Optional,
        "Union": typing.Union,
        "redis": redis,
        "ThreadPoolExecutor": concurrent.futures.ThreadPoolExecutor,
        "get_logger": sdk_logger.get_logger,
        "logger": logging.getLogger("REDIS"),
    }
    for name, obj in expected.items():
        assert getattr(sl, name) is obj, name
    assert isinstance(sl.__doc__, str) and sl.__doc__


def test_class_shape(sl):
    cls = sl.StoreLink
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (
        "StoreLink",
        "StoreLink",
        "orba_sdk.redis.store_link",
    )
    assert cls.__doc__ == CLASS_DOC
    extra = set(vars(cls)) - set(SIGNATURES)
    assert extra <= {
        "__module__",
        "__doc__",
        "__dict__",
        "__weakref__",
        "__firstlineno__",
        "__static_attributes__",
    }


# The stub's container types, as the module's annotations write them. A frame record is a
# Mapping[str, object] in the stub, the one type that TypedDict records pass as.
STUB_TYPES = [
    (r"Dict\[str, Any\]|Mapping\[str, object\]", "dict"),
    (r"List\[\w+\]", "list"),
]


def stub_signatures(source):
    """StoreLink's methods in the typing stub: name -> ([(parameter, annotation, has a default)],
    return annotation)."""

    def text(node):
        annotation = ast.get_source_segment(source, node)
        for pattern, plain in STUB_TYPES:
            annotation = re.sub(pattern, plain, annotation)
        return annotation

    (cls,) = [node for node in ast.parse(source).body if isinstance(node, ast.ClassDef)]
    stub = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            params = node.args.args[1:]
            first_default = len(params) - len(node.args.defaults)
            stub[node.name] = (
                [(p.arg, text(p.annotation), i >= first_default) for i, p in enumerate(params)],
                text(node.returns),
            )
    return stub


def test_methods_match_the_stub(sl):
    stub = stub_signatures((Path(sl.__file__).parent / "store_link.pyi").read_text())
    assert list(SIGNATURES) == list(stub)
    for name, (params, returns) in SIGNATURES.items():
        stub_params, stub_returns = stub[name]
        assert [(p, note, d is not REQUIRED) for p, note, d in params] == stub_params, name
        # An unannotated return is None in the stub, or Any where the method returns data.
        assert returns == stub_returns or (not returns and stub_returns in ("None", "Any")), name
        if name != "__init__":
            assert all(d is None for *_, d in params if d is not REQUIRED), name


@pytest.mark.parametrize("name", SIGNATURES)
def test_method_metadata(sl, name):
    params, returns = SIGNATURES[name]
    annotations = {param: annotation for param, annotation, _ in params}
    annotations.update({"return": returns} if returns else {})
    defaults = tuple(default for *_, default in params if default is not REQUIRED) or None
    method = getattr(sl.StoreLink, name)
    assert vars(sl.StoreLink)[name] is method
    assert method.__name__ == name
    assert method.__qualname__ == "StoreLink." + name
    assert method.__module__ == "orba_sdk.redis.store_link"
    assert type(method.__annotations__) is dict
    assert list(method.__annotations__.items()) == list(annotations.items())
    assert method.__defaults__ == defaults
    assert method.__kwdefaults__ is None
    if name in ("_shutdown_executor", "_worker_loop"):
        assert method.__doc__ is None
    if name in DOCS:
        first, args = DOCS[name]
        after = method.__doc__[method.__doc__.index("Args:") :]
        assert method.__doc__.startswith(first) and all(arg in after for arg in args)


def test_signatures(sl, plain):
    assert str(inspect.signature(sl.StoreLink)) == (
        "(thread: 'bool' = True, host: 'str' = %r, port: 'int' = 6379, workers: 'int' = 2)"
        % DEFAULT_HOST
    )
    tail = "redis_key: 'str', data: 'Union[str, dict]', ttl: 'Optional[int]' = None) -> 'bool'"
    assert str(inspect.signature(sl.StoreLink.write_data)) == "(self, " + tail
    assert str(inspect.signature(plain.write_data)) == "(" + tail
    bound = plain.write_data
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is plain and bound.__func__ is sl.StoreLink.write_data


def test_subclass_inherits_and_overrides(sl, fake):
    class Custom(sl.StoreLink):
        def __init__(self):
            super().__init__(thread=False)
            self._redis_client = fake

        def read_data(self, redis_key):
            return "overridden " + redis_key

    link = Custom()
    assert link.read_data("k") == "overridden k"
    assert link.write_data("k", "v") is True
    assert fake.names() == ["set", "publish"]


@pytest.mark.parametrize(
    "env, host",
    [
        (None, "localhost"),
        ({"REDIS_HOST": "redis.local"}, "redis.local"),
        ({"REDIS_HOST": ""}, ""),
    ],
)
def test_default_host_read_once_at_import(env, host):
    result = run_python(
        "import os\n"
        "from orba_sdk.redis import store_link as m\n"
        "os.environ['REDIS_HOST'] = 'changed.later'\n"
        "kw = m.StoreLink(thread=False)._redis_client.connection_pool.connection_kwargs\n"
        "print(repr((m.StoreLink.__init__.__defaults__[1], kw['host'], kw['port'])))\n",
        env=env,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == repr((host, host, 6379))


@pytest.mark.parametrize(
    "missing, first",
    [
        (["redis", "orjson"], "orjson"),
        (["orba_sdk.logging.logger", "redis"], "redis"),
        (["orba_sdk.logging.logger"], "orba_sdk.logging.logger"),
    ],
)
def test_import_fails_on_first_missing_collaborator(missing, first):
    result = run_python(
        "import sys\n"
        "for name in %r: sys.modules[name] = None\n"
        "try:\n    import orba_sdk.redis.store_link\n"
        "except ImportError as e:\n    print(e.name)\n" % (missing,)
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == first


def test_get_logger_called_once_at_import():
    result = run_python(
        "import orba_sdk.logging.logger as L\n"
        "calls, marker = [], object()\n"
        "L.get_logger = lambda *a, **k: calls.append((a, k)) or marker\n"
        "from orba_sdk.redis import store_link as m\n"
        "m.StoreLink(thread=False)\n"
        "print(calls, m.logger is marker)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[(('REDIS',), {})] True"


def test_reload_is_a_no_op_and_reimport_is_refused():
    result = run_python(
        "import importlib, sys\n"
        "import orba_sdk.redis.store_link as m\n"
        "cls = m.StoreLink\n"
        "assert importlib.reload(m) is m and m.StoreLink is cls\n"
        "del sys.modules['orba_sdk.redis.store_link']\n"
        "try:\n    import orba_sdk.redis.store_link\n"
        "except RuntimeError as e:\n    print(e)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "Module 'store_link' has already been imported. Re-initialisation is not supported."
    )


SUBINTERPRETERS = {
    # Shared GIL, extensions not checked: CPython loads the module, which refuses itself.
    "legacy": "from _testcapi import run_in_subinterp as run",
    "legacy, made by the interpreters module": """
if sys.version_info >= (3, 13):
    import _interpreters as x
    config = "legacy"
else:
    import _xxsubinterpreters as x
    config = {"isolated": False} if sys.version_info >= (3, 12) else {}
def run(code):
    interp = x.create(config) if isinstance(config, str) else x.create(**config)
    x.run_string(interp, code)
    x.destroy(interp)
""",
    # Shared GIL, extensions checked: CPython refuses a module that declares no support.
    "checked": """
if sys.version_info >= (3, 13):
    import _interpreters as x
    def run(code):
        interp = x.create(x.new_config("legacy", check_multi_interp_extensions=True))
        x.run_string(interp, code)
        x.destroy(interp)
else:
    from _testcapi import run_in_subinterp_with_config
    def run(code):
        run_in_subinterp_with_config(
            code, use_main_obmalloc=True, allow_fork=True, allow_exec=True,
            allow_threads=True, allow_daemon_threads=True,
            check_multi_interp_extensions=True, gil=1)
""",
}


@pytest.mark.parametrize("kind", SUBINTERPRETERS)
def test_only_the_main_interpreter_loads_the_module(kind):
    if kind == "checked" and sys.version_info < (3, 12):
        pytest.skip("subinterpreters check extensions from 3.12 on")
    # Refused before and after the main interpreter imports the module, which works throughout.
    result = run_python(
        "import sys\n"
        + SUBINTERPRETERS[kind]
        + """
SUB = '''
try:
    import orba_sdk.redis.store_link
except ImportError as e:
    print("refused:", e, flush=True)
else:
    print("imported", flush=True)
'''
class Client:
    def delete(self, *keys):
        return len(keys)
run(SUB)
from orba_sdk.redis import store_link
link = store_link.StoreLink(thread=False)
link._redis_client = Client()
print("main:", link.delete_many(["a", "b"]), flush=True)
run(SUB)
print("main:", link.delete_many(["a"]), flush=True)
""",
        env={"PYTHONMALLOC": "debug"},
    )
    assert result.returncode == 0, result.stderr
    refused = (
        "refused: module orba_sdk.redis.store_link does not support loading in subinterpreters"
        if kind == "checked"
        else "refused: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )
    assert result.stdout.splitlines() == [refused, "main: 2", refused, "main: 1"]
