"""What every part of the benchmark shares: the hiredis switch, the payloads, the clients, and a
few measuring helpers (server-side command counts, RSS, a precise sleep)."""

import ctypes
import os
import sys
import time
import types

HOST = "127.0.0.1"
PREFIX = "bench:"


def use_hiredis(wanted):
    """Must run before redis is imported. Without hiredis, its import is made to fail, which is
    exactly what redis-py sees when the package is not installed (it then picks its pure-Python
    parser). Exits when the wish cannot be met, so that no figure is filed under the wrong name."""
    if "redis" in sys.modules:
        raise RuntimeError("use_hiredis() must run before redis is imported")
    if not wanted:
        sys.modules["hiredis"] = None  # "import hiredis" now raises ImportError
    import redis.utils

    if bool(redis.utils.HIREDIS_AVAILABLE) != wanted:
        sys.exit(
            "hiredis wanted=%s but redis-py says HIREDIS_AVAILABLE=%s"
            % (wanted, redis.utils.HIREDIS_AVAILABLE)
        )


def add_hiredis_argument(parser):
    parser.add_argument("--hiredis", choices=["yes", "no"], required=True)
    parser.add_argument("--port", type=int, required=True)


def versions(port):
    import orjson
    import redis

    try:
        import hiredis

        hiredis_version = hiredis.__version__
    except ImportError:
        hiredis_version = None
    conn = floor_client(port).connection_pool.make_connection()
    parser = type(conn._parser).__name__
    return {
        "python": "%d.%d.%d" % sys.version_info[:3],
        "redis_py": redis.__version__,
        "orjson": orjson.__version__,
        "hiredis": hiredis_version,
        "parser": parser,
    }


# ---- payloads -------------------------------------------------------------------------------

_LABELS = ["person", "car", "bicycle", "truck", "dog", "backpack"]


def frame_record():
    """A realistic frame record: about 40 fields, a dozen detections, about 2 KB of JSON."""
    detections = [
        {
            "id": i,
            "label": _LABELS[i % len(_LABELS)],
            "score": round(0.51 + i * 0.037, 3),
            "bbox": [round(12.5 + 41.25 * i, 2), round(30.25 + 7.5 * i, 2), 64 + i, 128 - i],
            "track_id": 1000 + i,
        }
        for i in range(12)
    ]
    record = {
        "frame_id": 1234567,
        "seq": 0,
        "t_ns": 0,
        "timestamp": 1717171717.123456,
        "camera_id": "cam-entrance-01",
        "node_id": "edge-node-07",
        "container": "detector",
        "model": "yolov8n",
        "model_version": "8.1.0",
        "width": 1920,
        "height": 1080,
        "fps": 30.0,
        "format": "bgr24",
        "exposure_us": 8000,
        "gain_db": 3.5,
        "brightness": 0.62,
        "inference_ms": 12.7,
        "preprocess_ms": 2.1,
        "postprocess_ms": 0.9,
        "queue_ms": 0.4,
        "dropped": 0,
        "keyframe": True,
        "night_mode": False,
        "roi": [0, 0, 1920, 1080],
        "zone": "gate-a",
        "site": "warehouse-3",
        "gps": [52.52, 13.405],
        "temperature_c": 41.5,
        "gpu_util": 0.73,
        "cpu_util": 0.41,
        "mem_mb": 812,
        "stream_url": "rtsp://10.0.0.17/stream1",
        "encoder": "h264",
        "bitrate_kbps": 4096,
        "error": None,
        "tags": ["entrance", "daytime"],
        "count": len(detections),
        "alarm": False,
        "version": 3,
        "detections": detections,
    }
    return record


def small_record():
    """A small record: about 100 bytes of JSON."""
    return {
        "frame_id": 1234567,
        "seq": 0,
        "t_ns": 0,
        "camera_id": "cam-01",
        "count": 3,
        "status": "ok",
        "alarm": False,
    }


PAYLOADS = {"frame": frame_record, "small": small_record}


# ---- clients --------------------------------------------------------------------------------


def floor_client(port):
    """A redis-py client exactly like the one StoreLink builds for itself."""
    import redis

    pool = redis.ConnectionPool(host=HOST, port=port, max_connections=10, decode_responses=False)
    return redis.StrictRedis(connection_pool=pool)


class NeverStartedThread:
    """Stands in for threading.Thread: a worker that never runs, so that only the hand-over of
    write_orba_data is measured and the queue keeps what it is given."""

    def __init__(self, target=None, name=None, daemon=None):
        self.name = name

    def start(self):
        pass

    def join(self, timeout=None):
        pass

    def is_alive(self):
        return False


def threaded_link_without_worker(store_link, port, workers):
    """A threaded StoreLink whose worker never starts (the module's `threading` is swapped for
    the time of the construction only)."""
    import threading

    real = store_link.threading
    store_link.threading = types.SimpleNamespace(Event=threading.Event, Thread=NeverStartedThread)
    try:
        return store_link.StoreLink(thread=True, host=HOST, port=port, workers=workers)
    finally:
        store_link.threading = real


# ---- measuring helpers ------------------------------------------------------------------------


def now_ns():
    """CLOCK_MONOTONIC: one clock for every process of the machine."""
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def command_calls(client, command):
    """How many times the server has run `command` so far (INFO commandstats)."""
    stats = client.info("commandstats").get("cmdstat_" + command)
    return int(stats["calls"]) if stats else 0


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def precise_sleep_for_this_thread():
    """Sets this thread's timer slack to 1 ns (it is 50 us by default), so that the short sleeps
    of a paced producer last what they ask for."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_TIMERSLACK = 29
        libc.prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def fill_scan_keys(client, hits=10_000, total=100_000):
    """`hits` keys that match PREFIX + "scan:hit:*" among `total` keys under PREFIX + "scan:"."""
    pipe = client.pipeline(transaction=False)
    for i in range(total):
        kind = "hit" if i < hits else "miss"
        pipe.set("%sscan:%s:%d" % (PREFIX, kind, i), b"1")
        if i % 5000 == 4999:
            pipe.execute()
    pipe.execute()
    return PREFIX + "scan:hit:*"
