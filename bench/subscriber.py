"""The consumer of the paced pipeline, in a process of its own: listens on the notification
channels of the frame keys, reads each announced record back with read_orba_data, and notes how
long after its write call (the producer's timestamp in the record) it had it in hand. Ends on a
notification of the stop key and prints the latencies as JSON."""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import HOST, add_hiredis_argument, floor_client, now_ns, use_hiredis  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    add_hiredis_argument(parser)
    parser.add_argument("--prefix", required=True, help="frame keys are <prefix><n>")
    parser.add_argument("--stop-key", required=True)
    args = parser.parse_args()
    use_hiredis(args.hiredis == "yes")
    from orba_sdk.redis.store_link import StoreLink

    reader = StoreLink(thread=False, host=HOST, port=args.port)
    pubsub = floor_client(args.port).pubsub()
    pubsub.psubscribe(args.prefix + "*_notify")
    while True:
        message = pubsub.get_message(timeout=5.0)
        if message and message["type"] == "psubscribe":
            break
    print("ready", flush=True)

    latencies = {}
    suffix = len("_notify")
    while True:
        message = pubsub.get_message(timeout=1.0)
        if not message or message["type"] != "pmessage":
            continue
        key = message["channel"][:-suffix].decode()
        if key == args.stop_key:
            break
        record = reader.read_orba_data(key)
        arrived = now_ns()
        if record and record["seq"] not in latencies:
            latencies[record["seq"]] = arrived - record["t_ns"]
    json.dump({"seen": len(latencies), "latency_ns": sorted(latencies.values())}, sys.stdout)


if __name__ == "__main__":
    main()
