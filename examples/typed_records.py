"""Frame records typed as a TypedDict, written through a threaded StoreLink.

A type checker (mypy --strict, pyright) takes a TypedDict record for write_orba_data, and still
refuses what the module refuses at run time that typing can express. Each frame is a new dict:
the threaded write hands over the dict itself and the worker serialises it later, so a dict that
is refilled after the call would be stored with its later contents.

    python examples/typed_records.py --host 127.0.0.1 --port 6379 --frames 20
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import List, TypedDict

import redis

from orba_sdk.redis.store_link import StoreLink

KEY = "example_typed_frames"


class Detection(TypedDict):
    label: str
    score: float


class FrameRecord(TypedDict):
    frame_id: int
    timestamp: float
    detections: List[Detection]


def make_frame(frame_id: int) -> FrameRecord:
    """A new record per frame, never one dict refilled."""
    return {
        "frame_id": frame_id,
        "timestamp": time.time(),
        "detections": [{"label": "person", "score": 0.9}],
    }


def _refused_by_the_checker(link: StoreLink, record: FrameRecord) -> None:
    """Never called. mypy --strict reports an ignore that is not needed, so the test command
    fails if the stub ever accepts one of these."""
    link.write_orba_data([record], KEY)  # type: ignore[arg-type]
    link.write_orba_data("frame", KEY)  # type: ignore[arg-type]
    link.write_orba_data({1: "frame"}, KEY)  # type: ignore[dict-item]
    link.write_orba_data(record, b"key")  # type: ignore[arg-type]


def main() -> int:
    parser = argparse.ArgumentParser(description="TypedDict frame records through StoreLink")
    parser.add_argument("--host", default=os.environ.get("REDIS_HOST", "localhost"))
    parser.add_argument("--port", type=int, default=6379)
    parser.add_argument("--frames", type=int, default=20)
    args = parser.parse_args()

    link = StoreLink(host=args.host, port=args.port)
    sub = redis.Redis(host=args.host, port=args.port).pubsub()
    sub.subscribe(KEY + "_notify")
    sub.get_message(timeout=5)  # the subscription is in place before the writes
    announced = 0
    for frame_id in range(args.frames):
        link.write_orba_data(make_frame(frame_id), KEY, ttl=10)
        # One frame at a time: the queue drops the oldest pending write when it is full.
        if sub.get_message(timeout=5) is not None:
            announced += 1
    stored = link.read_orba_data(KEY)
    print(f"written: {args.frames}, announced: {announced}, last stored: {stored}")
    ok = announced == args.frames and stored["frame_id"] == args.frames - 1
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
