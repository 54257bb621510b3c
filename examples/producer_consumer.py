"""Share video-frame records between two containers through one Redis server.

The producer (this process) writes one frame record per tick with a threaded
StoreLink: the call only queues the record, and a background worker stores it
and publishes "1" on "<key>_notify". The consumer (a second process) listens on
that channel and reads the newest record back on every notification. Both live
through a restart of the server: the producer goes on writing (the worker logs
each store that fails), and the consumer subscribes again and catches up.

    python examples/producer_consumer.py --host 127.0.0.1 --port 6379 --rate 30 --seconds 3
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import subprocess
import sys
import time
from typing import Any

import redis
from redis.client import PubSub

from orba_sdk.redis.store_link import StoreLink

FRAMES_KEY = "example_camera_frames"
CHANNEL = FRAMES_KEY + "_notify"
SETTINGS_KEY = "example_camera_settings"
DONE = b"done"  # published by the producer on the notify channel when it has finished
LOST = (redis.ConnectionError, redis.TimeoutError)  # the server went away (or is not back yet)


def make_frame(frame_id: int) -> dict[str, Any]:
    """A frame record as a detector container would publish it."""
    detections: list[dict[str, Any]] = [
        {"label": "person", "score": 0.91, "box": [40 + frame_id % 50, 60, 120, 240]},
        {"label": "car", "score": 0.78, "box": [300, 200, 180, 90]},
    ]
    return {"frame_id": frame_id, "timestamp": time.time(), "detections": detections}


def subscribe(client: redis.Redis, patience: float) -> PubSub:
    """Subscribes to the notify channel, trying again until the server answers."""
    deadline = time.monotonic() + patience
    while True:
        pubsub: PubSub = client.pubsub()
        try:
            pubsub.subscribe(CHANNEL)
            confirmation = pubsub.get_message(timeout=1.0)
            if confirmation is not None and confirmation["type"] == "subscribe":
                return pubsub
        except LOST:
            pass
        pubsub.close()
        if time.monotonic() > deadline:
            sys.exit(f"consumer: no server at {client} for {patience:.0f} s")
        time.sleep(0.05)


def consume(args: argparse.Namespace) -> None:
    """Reads the record back after each notification; prints a JSON summary when told to stop.

    After a lost connection it subscribes again and reads the record once: notifications
    published while it was away are gone, the newest record is not.
    """
    reader = StoreLink(thread=False, host=args.host, port=args.port)
    client = redis.Redis(host=args.host, port=args.port)
    pubsub = subscribe(client, patience=10)
    print("ready", flush=True)

    parent = os.getppid()
    notifications = received = reconnects = 0
    last_frame_id = None
    while True:
        try:
            message = pubsub.get_message(timeout=0.5)
        except LOST:
            pubsub.close()
            pubsub = subscribe(client, patience=30)
            message = {"type": "subscribe"}
        if message is None:
            if os.getppid() != parent:
                sys.exit("consumer: the producer is gone")
            continue
        if message["type"] == "subscribe":  # subscribed again, by us or by redis-py itself
            reconnects += 1  # and notifications may have been missed: read the newest record
        elif message["type"] != "message":
            continue
        elif message["data"] == DONE:
            break
        else:
            notifications += 1
        record = reader.read_orba_data(FRAMES_KEY)
        if isinstance(record, dict):
            received += 1
            last_frame_id = record["frame_id"]
    pubsub.close()
    client.close()
    summary = {
        "notifications": notifications,
        "received": received,
        "last": last_frame_id,
        "reconnects": reconnects,
    }
    print(json.dumps(summary), flush=True)


class CountingLink(StoreLink):
    """A StoreLink that remembers, for the summary only, how the store of each frame ended.

    `_write_` is the step that the worker runs for each pending write it takes; a frame id
    that never shows up here was evicted from the full queue. An application needs none of this.
    """

    def __init__(self, host: str, port: int) -> None:
        self.outcomes: dict[int, bool] = {}  # frame id -> stored (True) or failed (False)
        super().__init__(host=host, port=port)

    def _write_(self, data: dict[str, Any], redis_key: str, ttl: int | None = None) -> bool:
        stored = super()._write_(data, redis_key, ttl)
        if redis_key == FRAMES_KEY:
            self.outcomes[data["frame_id"]] = stored
        return stored


class LineCounter(logging.Handler):
    """Counts the lines of the REDIS logger by level: a failed store is an ERROR line, a
    notification that could not be published a WARNING line."""

    def __init__(self) -> None:
        super().__init__()
        self.counts = {"ERROR": 0, "WARNING": 0}

    def emit(self, record: logging.LogRecord) -> None:
        if record.levelname in self.counts and FRAMES_KEY in record.getMessage():
            self.counts[record.levelname] += 1


def show_plain_values(args: argparse.Namespace, link: StoreLink) -> None:
    """write_data stores a text or a dict (as JSON) and notifies; read_data returns raw bytes."""
    client = redis.Redis(host=args.host, port=args.port)
    pubsub = client.pubsub(ignore_subscribe_messages=True)
    pubsub.subscribe(SETTINGS_KEY + "_notify")
    pubsub.get_message(timeout=5)

    link.write_data(SETTINGS_KEY, {"fps": args.rate, "camera": "front"}, ttl=60)
    print(f"read_data({SETTINGS_KEY!r}) -> {link.read_data(SETTINGS_KEY)!r}")
    notification = pubsub.get_message(timeout=5)
    if notification is not None:
        print(f"notification on {notification['channel'].decode()}: {notification['data']!r}")
    pubsub.close()
    client.close()


def write_frames(args: argparse.Namespace, link: StoreLink) -> int:
    """Writes one frame record per tick; returns how many were handed over."""
    written = 0
    start = time.monotonic()
    while time.monotonic() - start < args.seconds:
        if args.frames is not None and written >= args.frames:
            break
        link.write_orba_data(make_frame(written), FRAMES_KEY, ttl=10)  # returns at once
        written += 1
        time.sleep(max(0.0, start + written / args.rate - time.monotonic()))
    return written


def wait_for(condition: Any, seconds: float, what: str) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"producer: {what} within {seconds:.0f} s")
        time.sleep(0.05)


def tell_the_consumer_to_stop(args: argparse.Namespace) -> None:
    """Publishes DONE until a subscriber hears it: the consumer may be subscribing again."""
    control = redis.Redis(host=args.host, port=args.port)

    def heard() -> bool:
        try:
            return bool(control.publish(CHANNEL, DONE))
        except LOST:
            return False

    wait_for(heard, 30, "the consumer did not hear the end")
    control.close()


def produce(args: argparse.Namespace) -> None:
    lines = LineCounter()
    logging.getLogger("REDIS").addHandler(lines)
    command = [sys.executable, os.path.abspath(__file__), "consumer"]
    command += ["--host", args.host, "--port", str(args.port)]
    consumer = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        assert consumer.stdout is not None
        if consumer.stdout.readline().strip() != "ready":
            sys.exit("producer: the consumer did not start")
        link = CountingLink(host=args.host, port=args.port)  # threaded: a worker stores frames
        show_plain_values(args, link)
        written = write_frames(args, link)
        if written:  # the newest pending write is never evicted: once it is done, all are
            wait_for(lambda: written - 1 in link.outcomes, 60, "the worker did not finish")
        tell_the_consumer_to_stop(args)
        output, _ = consumer.communicate(timeout=30)
    finally:
        consumer.kill()  # only does something when we got here by an exception
    if consumer.returncode != 0:
        sys.exit(f"producer: the consumer failed (exit status {consumer.returncode})")
    seen = json.loads(output.strip().splitlines()[-1])

    failed = lines.counts["ERROR"]
    unannounced = lines.counts["WARNING"]
    stored = sum(link.outcomes.values())
    dropped = written - len(link.outcomes)
    missed = stored - unannounced - seen["notifications"]
    print(f"written:       {written} frame records handed to write_orba_data")
    print(f"dropped:       {dropped} evicted from the full queue before the worker took them")
    print(f"failed:        {failed} stores that failed (ERROR lines on the REDIS logger)")
    print(f"stored:        {stored}, each announced on {CHANNEL}, except")
    print(f"not announced: {unannounced} whose notification failed (WARNING lines)")
    print(
        f"seen:          {seen['notifications']} notifications the consumer got, "
        f"{seen['received']} records read back, the last one frame {seen['last']}"
    )
    print(
        f"missed:        {missed} published while the consumer was subscribing again "
        f"(it did so {seen['reconnects']} time(s))"
    )
    total = seen["notifications"] + missed + unannounced + failed + dropped
    print(f"total:         {total} = seen + missed + not announced + failed + dropped")
    if total != written or missed < 0:  # an ERROR line for each store that failed, and no more
        sys.exit("producer: the counts do not add up")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0] if __doc__ else None)
    parser.add_argument("role", nargs="?", choices=["producer", "consumer"], default="producer")
    parser.add_argument("--host", default=os.environ.get("REDIS_HOST", "localhost"))
    parser.add_argument("--port", type=int, default=6379)
    parser.add_argument("--rate", type=float, default=30.0, help="frames per second")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to produce")
    parser.add_argument("--frames", type=int, default=None, help="stop after this many frames")
    args = parser.parse_args()
    if args.rate <= 0:
        parser.error("--rate must be positive")
    logging.basicConfig(format=f"{args.role}: %(name)s %(levelname)s %(message)s")
    if args.role == "consumer":
        consume(args)
    else:
        produce(args)


if __name__ == "__main__":
    main()
