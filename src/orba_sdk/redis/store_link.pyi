import atexit as atexit
import os as os
import queue as queue
import threading as threading
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from logging import Logger
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

import orjson as orjson
import redis as redis

from orba_sdk.logging.logger import get_logger as get_logger

logger: Logger

# Exact types: where this stub says `str`, `Dict[str, Any]` or `List[Any]` for an argument, the
# module takes only an object of exactly that type (`None` too where the type is Optional) and
# raises TypeError for anything else, subclasses included: the members of a `class Key(str,
# Enum)`, an `OrderedDict`, a `defaultdict`, a list subclass. Type checkers accept those, since
# typing cannot say "exactly"; pass `Key.X.value`, `dict(...)`, `list(...)`. The `data` of
# `write_data` and the items of `delete_many`'s list have no such test.
#
# `ttl`, `port` and `workers` take any number and truncate it toward zero (ttl=2.9 is 2 s,
# ttl=0.5 is 0, which the server refuses); a `timedelta` raises TypeError.

class StoreLink:
    """Represents a redis client specified for the containers."""

    _use_thread: bool
    _redis_client: redis.StrictRedis
    _executor: None
    _queue: Optional["queue.Queue[Tuple[Dict[str, Any], str, Optional[int]]]"]
    _worker: Optional[threading.Thread]
    _stop_evt: threading.Event

    # `host`: exactly str. `workers` sets the queue capacity, max(1, workers), and the pool
    # size, max(10, 5 * workers); there is one worker thread whatever its value.
    def __init__(
        self, thread: bool = ..., host: str = ..., port: int = ..., workers: int = ...
    ) -> None: ...
    def _shutdown_executor(self) -> None: ...
    def _worker_loop(self) -> None: ...
    def _write_(self, data: Dict[str, Any], redis_key: str, ttl: Optional[int] = ...) -> bool: ...
    # `data`: exactly dict (or None, which deletes the key and lets the client's errors
    # through); `redis_key`: exactly str. `Mapping[str, object]` is the one type that a TypedDict
    # record passes as (checkers refuse a TypedDict for `Dict[str, Any]`); it still refuses lists,
    # text and non-str keys, but also lets through mappings that are not a dict (a
    # MappingProxyType, a ChainMap, os.environ), which raise TypeError at run time.
    def write_orba_data(
        self, data: Optional[Mapping[str, object]], redis_key: str, ttl: Optional[int] = ...
    ) -> bool: ...
    def delete_data(self, redis_key: str) -> bool: ...
    def delete_many(self, redis_keys: List[Any]) -> int: ...  # exactly list
    def scan_keys(self, pattern: str) -> List[str]: ...
    def write_data(
        self, redis_key: str, data: Union[str, Dict[str, Any]], ttl: Optional[int] = ...
    ) -> bool: ...
    def read_data(self, redis_key: str) -> Any: ...
    def read_orba_data(self, redis_key: str) -> Any: ...
