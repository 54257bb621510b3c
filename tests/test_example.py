import pathlib
import re
import subprocess
import sys
import time

import pytest
import redis
from helpers import RedisServer, wait_for

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"
EXAMPLE = EXAMPLES / "producer_consumer.py"
pytestmark = pytest.mark.example


@pytest.mark.slow
def test_example_survives_a_server_restart_and_accounts_for_every_frame(tmp_path):
    server = RedisServer(tmp_path)
    server.start()
    command = [sys.executable, str(EXAMPLE), "--host", "127.0.0.1", "--port", str(server.port)]
    run = subprocess.Popen(
        [*command, "--seconds", "8"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    probe = redis.Redis(port=server.port)
    try:
        wait_for(lambda: probe.exists("example_camera_frames"), timeout=30)  # frames are flowing
        time.sleep(3)
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
    assert sum(counts[part] for part in parts) == counts["written"] >= 200
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
