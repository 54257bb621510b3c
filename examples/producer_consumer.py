"""Share video-frame records between two containers through one Redis server.

The producer (this process) writes one frame record per tick with a threaded
StoreLink: the call only queues the record, and a background worker stores it
and publishes "1" on "<key>_notify". The consumer (a second process) listens on
that channel and reads the newest record back on every notification.

    python examples/producer_consumer.py --host 127.0.0.1 --port 6379 --rate 30 --seconds 3
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from typing import Any

import redis

from orba_sdk.redis.store_link import StoreLink

FRAMES_KEY = "example_camera_frames"
SETTINGS_KEY = "example_camera_settings"
DONE = b"done"  # sent by the producer on the notify channel when it has finished


def make_frame(frame_id: int) -> dict[str, Any]:
    """A frame record as a detector container would publish it."""
    detections: list[dict[str, Any]] = [
        {"label": "person", "score": 0.91, "box": [40 + frame_id % 50, 60, 120, 240]},
        {"label": "car", "score": 0.78, "box": [300, 200, 180, 90]},
    ]
    return {"frame_id": frame_id, "timestamp": time.time(), "detections": detections}


def consume(args: argparse.Namespace) -> None:
    """Reads a record back after each notification; prints a JSON summary when told to stop."""
    reader = StoreLink(thread=False, host=args.host, port=args.port)
    client = redis.Redis(host=args.host, port=args.port)
    pubsub = client.pubsub(ignore_subscribe_messages=True)
    pubsub.subscribe(FRAMES_KEY + "_notify")
    pubsub.get_message(timeout=5)  # consumes the subscribe confirmation
    print("ready", flush=True)

    notifications = received = 0
    last_frame_id = None
    for message in pubsub.listen():
        if message["data"] == DONE:
            break
        notifications += 1
        record = reader.read_orba_data(FRAMES_KEY)
        if isinstance(record, dict):
            received += 1
            last_frame_id = record["frame_id"]
    pubsub.close()
    client.close()
    summary = {"notifications": notifications, "received": received, "last": last_frame_id}
    print(json.dumps(summary), flush=True)


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


def produce(args: argparse.Namespace) -> None:
    command = [sys.executable, os.path.abspath(__file__), "consumer"]
    command += ["--host", args.host, "--port", str(args.port)]
    consumer = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        assert consumer.stdout is not None
        if consumer.stdout.readline().strip() != "ready":
            sys.exit("the consumer did not start")
        link = StoreLink(host=args.host, port=args.port)  # threaded: a worker stores frames
        show_plain_values(args, link)
        written = write_frames(args, link)
        time.sleep(0.5)  # lets the worker store what is still queued
        control = redis.Redis(host=args.host, port=args.port)
        control.publish(FRAMES_KEY + "_notify", DONE)
        control.close()
        output, _ = consumer.communicate(timeout=30)
    finally:
        consumer.kill()  # only does something when we got here by an exception
    seen = json.loads(output.strip().splitlines()[-1])

    stored = seen["notifications"]
    print(f"written:  {written} frame records handed to write_orba_data")
    print(f"stored:   {stored} (notifications seen), last frame id read: {seen['last']}")
    print(f"received: {seen['received']} records read back by the consumer")
    print(f"dropped:  {written - stored} (written minus stored: when the queue is full,")
    print("          the oldest pending write makes room for the new one)")


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
    if args.role == "consumer":
        consume(args)
    else:
        produce(args)


if __name__ == "__main__":
    main()
