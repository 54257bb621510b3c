import json
import pathlib
import re
import subprocess
import sys

import pytest
import redis
from helpers import RedisServer, wait_for

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"
EXAMPLE = EXAMPLES / "producer_consumer.py"
pytestmark = pytest.mark.example


def newest_frame(probe):
    record = probe.get("example_camera_frames")
    return -1 if record is None else json.loads(record)["frame_id"]


@pytest.mark.slow
def test_example_survives_a_server_restart_and_accounts_for_every_frame(tmp_path):
    server = RedisServer(tmp_path)
    server.start()
    command = [sys.executable, str(EXAMPLE), "--host", "127.0.0.1", "--port", str(server.port)]
    run = subprocess.Popen(
        [*command, "--rate", "100", "--frames", "300", "--seconds", "30"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    probe = redis.Redis(port=server.port)
    try:
        wait_for(lambda: newest_frame(probe) >= 100, timeout=30)
        server.stop()
        server.start()  # same port, empty
        out, err = run.communicate(timeout=90)
    finally:
        run.kill()
        probe.close()
        server.stop()
    assert run.returncode == 0, out + err
    counts = {name: int(n) for name, n in re.findall(r"^([a-z ]+): +(\d+)", out, re.M)}
    parts = ("seen", "missed", "not announced", "failed", "dropped")
    assert sum(counts[part] for part in parts) == counts["written"] == 300
    assert re.search(r"subscribing again \(it did so [1-9]", out), out


def test_typed_example_stores_and_announces_every_frame(tmp_path):
    server = RedisServer(tmp_path)
    server.start()
    command = [sys.executable, str(EXAMPLES / "typed_records.py"), "--host", "127.0.0.1"]
    try:
        done = subprocess.run(
            [*command, "--port", str(server.port), "--frames", "20"],
            capture_output=True,
            text=True,
            timeout=60,
        )
    finally:
        server.stop()
    assert done.returncode == 0, done.stdout + done.stderr
    assert "written: 20, announced: 20" in done.stdout
