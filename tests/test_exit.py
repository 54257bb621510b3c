import re
import shutil
import subprocess
import time

import pytest
import redis
from helpers import run_python, run_python_timed

# The slow set runs with globals of its own: a frame holding the main module's globals would keep
# them alive, and the main module would then never be torn down while the worker is busy.
SLOW_STORE = """
import threading, time, types
from orba_sdk.redis.store_link import StoreLink

slow = {{"entered": threading.Event(), "returns": threading.Event()}}
exec("def set(*args, **kwargs):\\n    entered.set()\\n    returns.wait(60)\\n    return True",
     slow)

class LingersInTeardown:
    def __del__(self):
        if {returns}:  # the store returns now, while the interpreter tears down
            slow["returns"].set()
            time.sleep(0.2)
        print("torn down")

lingering = LingersInTeardown()
link = StoreLink(host="127.0.0.1", port=1)
link._redis_client = types.SimpleNamespace(set=slow["set"], publish=print)
link.write_orba_data({{"n": 1}}, "k")
assert slow["entered"].wait(5)
print("busy")
"""


def test_idle_worker_lets_the_process_exit(redis_server):
    done, wall = run_python_timed(
        "from orba_sdk.redis.store_link import StoreLink\n"
        f"link = StoreLink(host='127.0.0.1', port={redis_server.port})\n"
        "print(link._worker.is_alive())\n"
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "True\n", "")
    assert wall < 5


def test_idle_threaded_objects_stop_together_at_exit(redis_server):
    done = run_python(
        "import time\nfrom orba_sdk.redis.store_link import StoreLink\n"
        f"links = [StoreLink(host='127.0.0.1', port={redis_server.port}) for _ in range(20)]\n"
        "print(time.monotonic())\n"
    )
    exit_time = time.monotonic() - float(done.stdout)
    assert (done.returncode, done.stderr) == (0, "")
    # one worker's poll interval and the interpreter's teardown, not 20 polls one after another
    assert exit_time < 1.5


@pytest.mark.slow
@pytest.mark.parametrize(
    "returns", [False, True], ids=["busy-worker", "worker-returns-during-teardown"]
)
def test_busy_worker_does_not_hold_up_exit(returns):
    done, wall = run_python_timed(SLOW_STORE.format(returns=returns))
    # the interpreter still finalizes: objects of the main module get their __del__
    assert (done.returncode, done.stdout, done.stderr) == (0, "busy\ntorn down\n", "")
    assert wall < 5


@pytest.mark.slow
def test_worker_blocked_on_a_hung_server(redis_server):
    code = (
        "import time\n"
        "from orba_sdk.redis.store_link import StoreLink\n"
        "class Last:\n"
        "    def __del__(self):\n"
        "        print('torn down')\n"
        "last = Last()\n"
        f"link = StoreLink(host='127.0.0.1', port={redis_server.port})\n"
        "link.write_orba_data({'n': 1}, 'k')\n"
        "deadline = time.monotonic() + 5\n"
        "while not link._queue.empty() and time.monotonic() < deadline:\n"
        "    time.sleep(0.01)\n"
        "print(link._queue.unfinished_tasks)\n"
    )
    with redis_server.stalled():
        done, wall = run_python_timed(code)
    assert (done.returncode, done.stdout, done.stderr) == (0, "1\ntorn down\n", "")
    assert wall < 5


def test_extension_has_no_cleanup_landing_pads(sl):
    # A forced unwind (pthread_exit of a daemon thread at finalization) runs C++ cleanups only
    # where the compiler emitted them; without any, no destructor can decref without the GIL.
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("binutils' nm is not installed")
    symbols = subprocess.run(
        [nm, "-D", "--undefined-only", sl.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert "__gxx_personality_v0" not in symbols
    assert "__cxa_begin_catch" not in symbols
    # manylinux2014's libstdc++ (GCC 4.8) has GLIBCXX_3.4.19 and CXXABI_1.3.7 at most
    versions = re.findall(r"@(GLIBCXX|CXXABI)_([\d.]+)", symbols)
    too_new = [v for v in versions if tuple(map(int, v[1].split("."))) > LIBSTDCXX[v[0]]]
    assert too_new == []


LIBSTDCXX = {"GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7)}


def test_a_frame_from_an_exit_handler_registered_before_a_later_object_is_stored(redis_server):
    code = (
        "import atexit, redis\n"
        "from orba_sdk.redis.store_link import StoreLink\n"
        f"camera = StoreLink(host='127.0.0.1', port={redis_server.port})\n"
        "atexit.register(lambda: print(camera.write_orba_data({'last': 1}, 'exit:last')))\n"
        f"later = StoreLink(host='127.0.0.1', port={redis_server.port})\n"
    )
    done = run_python(code)
    assert (done.returncode, done.stdout, done.stderr) == (0, "True\n", "")
    raw = redis.Redis(port=redis_server.port)
    assert raw.get("exit:last") == b'{"last":1}'
    raw.close()
