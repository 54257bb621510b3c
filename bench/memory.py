"""Memory worker, in a fresh process: RSS per idle StoreLink (non-threaded and threaded, also
after each has sent one command and so holds one connection), then RSS sampled along a long run
of frame writes to one threaded StoreLink. Prints JSON."""

import argparse
import gc
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import HOST, PREFIX, add_hiredis_argument, frame_record, rss_bytes, use_hiredis  # noqa: E402,E501

OBJECTS = 50


def per_object(make, use):
    gc.collect()
    before = rss_bytes()
    links = [make() for _ in range(OBJECTS)]
    gc.collect()
    idle = (rss_bytes() - before) / OBJECTS
    for link in links:
        use(link)
    gc.collect()
    connected = (rss_bytes() - before) / OBJECTS
    return links, idle, connected


def main():
    parser = argparse.ArgumentParser()
    add_hiredis_argument(parser)
    parser.add_argument("--writes", type=int, default=1_000_000)
    parser.add_argument("--samples", type=int, default=20)
    args = parser.parse_args()
    use_hiredis(args.hiredis == "yes")
    from orba_sdk.redis.store_link import StoreLink

    key = PREFIX + "memory"
    result = {}
    # Warm the allocator and the imports with one object of each kind first.
    StoreLink(thread=False, host=HOST, port=args.port).read_data(key)

    plain, idle, connected = per_object(
        lambda: StoreLink(thread=False, host=HOST, port=args.port), lambda link: link.read_data(key)
    )
    result["plain"] = {"idle_bytes": idle, "connected_bytes": connected}
    threaded, idle, connected = per_object(
        lambda: StoreLink(thread=True, host=HOST, port=args.port), lambda link: link.read_data(key)
    )
    result["threaded"] = {"idle_bytes": idle, "connected_bytes": connected}
    # Stop all workers at once rather than one 0.2 s poll after the other.
    for link in threaded:
        link._stop_evt.set()
    for link in threaded:
        link._shutdown_executor()
    del plain, threaded
    gc.collect()

    link = StoreLink(thread=True, host=HOST, port=args.port)
    record = frame_record()
    write = link.write_orba_data
    step = max(1, args.writes // args.samples)
    samples = [(0, rss_bytes())]
    done = 0
    while done < args.writes:
        for i in range(done, done + step):
            record["seq"] = i
            write(record, key, 60)
        done += step
        samples.append((done, rss_bytes()))
    result["writes"] = {"count": done, "samples": samples}
    link._shutdown_executor()
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
