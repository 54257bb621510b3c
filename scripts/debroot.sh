#!/usr/bin/env bash
# Debian roots built by debootstrap and cached, and commands run in them through chroot, for the
# nox sessions that test CPython lines in Debian's own interpreters (noxfile.py):
#
#   debroot.sh ensure NAME ARCH SUITE PACKAGES CHECK
#       the cached root NAME: debootstrap's minbase of SUITE for ARCH, then PACKAGES (one word
#       list) through apt-get; built again when missing, unfinished, made for another list or
#       when the shell command CHECK fails in it. Its path is the last line printed.
#   debroot.sh run NAME CMD...
#       CMD in the root NAME with a clean environment, /proc, /sys and /dev mounted; whatever
#       CMD leaves running there is killed and the mounts are undone, however the run ends.
#   debroot.sh emulator aarch64
#       qemu-user-static and its binfmt_misc handler, so that a root of that architecture runs.
#
# The roots live under $ORBA_ROOT_CACHE (default /var/cache/orba-sdk-roots), one directory per
# NAME; timings (seconds) and the logs of a build go to build/roots/. $ORBA_ROOT_CPU, when set,
# is the CPU that QEMU emulates. Needs root.
set -euo pipefail

# ROOTS and MOUNTS: what cleanup undoes.
MOUNTS=()
ROOTS=()
# cleanup: ends what still runs in the mounted roots (a server a failed test left behind, or a
# suite cut short by Ctrl-C or a TERM), then unmounts them.
cleanup() {
    local i
    for ((i = 0; i < ${#ROOTS[@]}; i++)); do
        kill_inside "${ROOTS[i]}"
    done
    ROOTS=()
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount -R "${MOUNTS[i]}" 2>/dev/null || umount -R -l "${MOUNTS[i]}" 2>/dev/null || true
    done
    MOUNTS=()
}

kill_inside() {
    local proc pid
    for proc in /proc/[0-9]*; do
        if [ "$(readlink "$proc/root" 2>/dev/null)" = "$1" ]; then
            pid=${proc#/proc/}
            kill -9 "$pid" 2>/dev/null || true
        fi
    done
}

# mount_root ROOT: what the programs in ROOT need of the kernel. The /dev tree is a recursive
# bind made a slave, so that nothing mounted or unmounted under it reaches the host's /dev.
mount_root() {
    ROOTS+=("$1")
    mount -t proc proc "$1/proc"
    MOUNTS+=("$1/proc")
    mount -t sysfs -o ro sysfs "$1/sys"
    MOUNTS+=("$1/sys")
    mount --rbind /dev "$1/dev"
    mount --make-rslave "$1/dev"
    MOUNTS+=("$1/dev")
}

# unmount_all ROOT: whatever is still mounted under ROOT (from a run that was killed).
unmount_all() {
    local target
    while read -r target; do
        umount -R "$target" 2>/dev/null || umount -R -l "$target" 2>/dev/null || true
    done < <(findmnt -rn -o TARGET | grep -F "$1/" | sort -r || true)
}

# in_root ROOT CMD...: CMD in ROOT with a clean environment. pip leaves the byte-compiling to the
# first import (PIP_COMPILE=no): emulated, compiling all of pip, mypy and the rest costs minutes.
# QEMU_CPU, when set, reaches the emulator of every program started in the root.
in_root() {
    local root=$1
    shift
    local emulation=()
    if [ -n "${cpu:-}" ]; then
        emulation=(QEMU_CPU="$cpu")
    fi
    env "${emulation[@]}" chroot "$root" /usr/bin/env -i "${emulation[@]}" \
        PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
        LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 \
        PIP_DEFAULT_TIMEOUT=180 PIP_COMPILE=no PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
        SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt "$@"
}

# host_files ROOT: the host's CA bundle (the package index is reached through it) and the name
# resolution that debootstrap leaves out (without /etc/hosts, "localhost" does not resolve).
host_files() {
    mkdir -p "$1/etc/ssl/certs"
    cp /etc/ssl/certs/ca-certificates.crt "$1/etc/ssl/certs/ca-certificates.crt"
    cp /etc/resolv.conf "$1/etc/resolv.conf"
    printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$1/etc/hosts"
}

# root_ok ROOT: the root was built to the end with this recipe, and its tools run.
root_ok() {
    [ -f "$1/.orba-root" ] && [ "$(cat "$1/.orba-root")" = "$recipe" ] || return 1
    in_root "$1" /bin/sh -c "$check" >/dev/null 2>&1
}

# build_root NAME SUITE ROOT: debootstrap's minbase, then the packages through apt-get, in ROOT.tmp
# first, so that a root that stopped half-way is never taken for a cached one.
build_root() {
    local name=$1 suite=$2 root=$3 tmp=$3.tmp start
    unmount_all "$tmp"
    rm -rf "$tmp"
    start=$(date +%s)
    echo "-- debootstrap --arch=$arch --variant=minbase $suite"
    env ${cpu:+QEMU_CPU="$cpu"} debootstrap --arch="$arch" --variant=minbase "$suite" "$tmp" \
        "$mirror" >"$out/$name-debootstrap.log" 2>&1 || {
        tail -n 30 "$out/$name-debootstrap.log" >&2
        return 1
    }
    echo "$name debootstrap $(($(date +%s) - start))" >>"$out/times-$name.txt"
    start=$(date +%s)
    # A chroot runs no services; the docs and manuals only cost dpkg time.
    printf '#!/bin/sh\nexit 101\n' >"$tmp/usr/sbin/policy-rc.d"
    chmod +x "$tmp/usr/sbin/policy-rc.d"
    printf '%s\n' force-unsafe-io 'path-exclude=/usr/share/man/*' 'path-exclude=/usr/share/doc/*' \
        'path-exclude=/usr/share/locale/*' >"$tmp/etc/dpkg/dpkg.cfg.d/orba"
    # A suite's Release file (unstable's above all) carries a Valid-Until date that a mirror which
    # lags, or a clock that runs ahead, leaves behind; debootstrap does not look at it, apt does.
    echo 'Acquire::Check-Valid-Until "false";' >"$tmp/etc/apt/apt.conf.d/99orba"
    host_files "$tmp"
    mount_root "$tmp"
    echo "-- apt-get install $packages"
    # shellcheck disable=SC2086
    if ! in_root "$tmp" sh -c "apt-get update -q && apt-get install -y -q --no-install-recommends $packages" \
        >"$out/$name-apt.log" 2>&1; then
        tail -n 30 "$out/$name-apt.log" >&2
        cleanup
        return 1
    fi
    cleanup
    echo "$recipe" >"$tmp/.orba-root"
    echo "$name root-packages $(($(date +%s) - start))" >>"$out/times-$name.txt"
    unmount_all "$root"
    rm -rf "$root"
    mv "$tmp" "$root"
}

# need_root NAME SUITE: the cached root NAME, built when missing or broken.
need_root() {
    local root=$cache/$1
    mkdir -p "$cache" "$out"
    if [ -d "$root" ]; then
        unmount_all "$root"
        if root_ok "$root"; then
            echo "-- reusing $root"
            return 0
        fi
        echo "-- $root is incomplete or broken: building it again"
    fi
    build_root "$1" "$2" "$root" && root_ok "$root"
}

# need_debootstrap: the host's debootstrap, through apt-get when missing.
need_debootstrap() {
    if ! command -v debootstrap >/dev/null; then
        echo "-- apt-get install debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
    fi
}

# emulator MACHINE: qemu-user-static and binfmt-support, and the handler for MACHINE enabled.
emulator() {
    local misc=/proc/sys/fs/binfmt_misc
    if ! command -v "qemu-$1-static" >/dev/null || ! command -v update-binfmts >/dev/null; then
        echo "-- apt-get install qemu-user-static binfmt-support"
        DEBIAN_FRONTEND=noninteractive apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static binfmt-support
    fi
    if [ ! -e "$misc/register" ]; then
        mount -t binfmt_misc binfmt_misc "$misc"
    fi
    if [ ! -e "$misc/qemu-$1" ]; then
        update-binfmts --enable "qemu-$1" >/dev/null 2>&1 || true
    fi
    if [ ! -e "$misc/qemu-$1" ]; then
        # qemu-user-static's own entry (with F: the interpreter is opened now, so that it works
        # in a root that does not hold it).
        grep -v '^#' "/usr/lib/binfmt.d/qemu-$1.conf" >"$misc/register"
    fi
    if [ "$(head -n 1 "$misc/qemu-$1")" != enabled ]; then
        echo 1 >"$misc/qemu-$1"
    fi
}

if [ "$(id -u)" -ne 0 ]; then
    exec sudo -E bash "$0" "$@"
fi
cd "$(dirname "$(readlink -f "$0")")/.."
cache=${ORBA_ROOT_CACHE:-/var/cache/orba-sdk-roots}
mirror=${ORBA_ROOT_MIRROR:-http://deb.debian.org/debian}
out=$PWD/build/roots
cpu=${ORBA_ROOT_CPU:-}
trap cleanup EXIT
trap 'exit 130' INT TERM
usage="usage: debroot.sh ensure NAME ARCH SUITE PACKAGES CHECK | run NAME CMD... | emulator MACHINE"
case "${1:-}" in
    ensure)
        [ $# -eq 6 ] || { echo "$usage" >&2; exit 2; }
        name=$2 arch=$3 suite=$4 packages=$5 check=$6
        recipe="orba-sdk root 1: $arch $suite: $packages"
        need_debootstrap
        mkdir -p "$out"
        rm -f "$out/times-$name.txt"
        start=$(date +%s)
        need_root "$name" "$suite"
        echo "$name root-ready $(($(date +%s) - start))" >>"$out/times-$name.txt"
        host_files "$cache/$name"
        cat "$out/times-$name.txt"
        echo "$cache/$name"
        ;;
    run)
        [ $# -ge 3 ] || { echo "$usage" >&2; exit 2; }
        root=$cache/$2
        shift 2
        [ -f "$root/.orba-root" ] || { echo "no root at $root: ensure it first" >&2; exit 1; }
        unmount_all "$root"
        mount_root "$root"
        # In the background, so that an INT or TERM is acted on at once.
        in_root "$root" "$@" &
        wait $!
        ;;
    emulator)
        [ $# -eq 2 ] || { echo "$usage" >&2; exit 2; }
        emulator "$2"
        ;;
    *)
        echo "$usage" >&2
        exit 2
        ;;
esac
