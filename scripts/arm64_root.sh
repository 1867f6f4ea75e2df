#!/usr/bin/env bash
# A minimal Debian root for arm64 (python3 with venv), run under qemu: for testing aarch64
# wheels on this x86_64 machine, as a user of an arm64 machine gets them (their own Python,
# no compiler). Made once in QUARN_CI_CACHE/SUITE-arm64 (default bookworm: Python 3.11) and
# reused; prints the root's path.
#
#   scripts/arm64_root.sh [SUITE [PACKAGE...]]    # forky python3.15-venv: 3.14 and 3.15
#
# Needs root, qemu-user-static and debootstrap (installed when missing). Programs of the
# root run through the kernel's binfmt_misc entry for aarch64, registered here (with qemu
# opened at registration, so that it works inside a chroot) when it is not yet.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
suite="${1:-bookworm}"
shift || true
extra=("$@")
cache="${QUARN_CI_CACHE:-/var/cache/quarn-ci}"
root="$cache/$suite-arm64"
note() { printf 'arm64_root: %s\n' "$*" >&2; }
[ "$(id -u)" = 0 ] || {
  note "needs root"
  exit 2
}

missing=()
for p in qemu-user-static debootstrap; do dpkg -s "$p" > /dev/null 2>&1 || missing+=("$p"); done
if [ "${#missing[@]}" -gt 0 ]; then
  timeout 300 apt-get update -qq && timeout 600 apt-get install -y -qq "${missing[@]}" > /dev/null
fi

binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || timeout 10 mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  note "registering qemu for aarch64 programs"
  conf=/usr/lib/binfmt.d/qemu-aarch64.conf
  [ -r "$conf" ] || {
    note "no $conf (qemu-user-static)"
    exit 1
  }
  # Its flags include F: qemu is opened now, so a chroot need not contain it.
  grep -q ':[A-Z]*F[A-Z]*$' "$conf" || {
    note "$conf does not open qemu at registration (flag F)"
    exit 1
  }
  cat "$conf" > "$binfmt/register"
fi

if [ ! -e "$root/.quarn-ready" ]; then
  # shellcheck source=scripts/debian_mirror.sh
  . "$repo/scripts/debian_mirror.sh"
  mirror="${QUARN_DEBIAN_MIRROR:-$(apt_mirror)}"
  rm -rf "$root.tmp"
  note "making $root (debootstrap, the second stage under qemu: several minutes)"
  # debootstrap has no script of its own for a suite newer than it (forky); sid's fits.
  script=""
  [ -e "/usr/share/debootstrap/scripts/$suite" ] || script=/usr/share/debootstrap/scripts/sid
  include="python3,python3-venv,python3-pip-whl,python3-setuptools-whl,ca-certificates"
  [ "${#extra[@]}" -eq 0 ] || include="$include,$(IFS=,; echo "${extra[*]}")"
  timeout 900 debootstrap --arch=arm64 --foreign --variant=minbase --include="$include" \
    "$suite" "$root.tmp" "$mirror" ${script:+"$script"} > "$root.tmp.log" 2>&1 ||
    { tail -n 20 "$root.tmp.log" >&2; exit 1; }
  # Byte-compiling each Python version under qemu is most of it: 8 minutes for bookworm's one,
  # more than 40 for forky's two beside other builds.
  timeout 5400 chroot "$root.tmp" /debootstrap/debootstrap --second-stage >> "$root.tmp.log" 2>&1 ||
    { tail -n 20 "$root.tmp.log" >&2; exit 1; }
  rm -rf "$root"
  mv "$root.tmp" "$root"
  mv "$root.tmp.log" "$root/.quarn-log"
  touch "$root/.quarn-ready"
fi
# This machine's certificate authorities (a proxy may sign what PyPI serves), every run.
if [ -d /usr/local/share/ca-certificates ]; then
  cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
  timeout 300 chroot "$root" /usr/sbin/update-ca-certificates > /dev/null 2>&1 || true
fi
echo "$root"
