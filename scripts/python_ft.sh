#!/usr/bin/env bash
# A free-threaded CPython (3.14t) for building and testing its wheels where no distribution
# ships one: Debian's source of that version, upstream as released (without Debian's
# patches, which are made for Debian's own layout), configured with --disable-gil and built
# inside an overlay of the Debian root of scripts/matrix.sh that has the version (forky).
# The root stays untouched: the build's packages go into the overlay, gone when it ends, and
# the interpreter is installed outside it, into QUARN_WHEELS_CACHE/python3.14t, which the
# scripts mount at the same path when they enter the root (it runs only there: the root's
# glibc is newer than this machine's). Made once; prints the interpreter's path.
#
#   scripts/python_ft.sh [3.14 [DEBIAN-VERSION]]
#
# DEBIAN-VERSION (3.14.7-1) takes that version's source from the mirror's pool instead of
# the one the suite's index names (a mirror may lag behind its own index); dpkg-source
# checks the tarball against the .dsc's digests. Needs root. About a quarter hour on 2 cores.
set -euo pipefail
version="${1:-3.14}"
debian_version="${2:-}"
[[ "$version" =~ ^3\.[0-9]+$ ]] && [[ "$debian_version" =~ ^([0-9.]+-[0-9a-z.+~]+)?$ ]] || {
  echo "usage: scripts/python_ft.sh [3.14 [DEBIAN-VERSION]]" >&2
  exit 2
}
cache="${QUARN_WHEELS_CACHE:-/var/cache/quarn-wheels}"
root="${QUARN_CI_CACHE:-/var/cache/quarn-ci}/forky"
prefix="$cache/python${version}t"
python="$prefix/bin/python${version}t"
note() { printf 'python_ft: %s\n' "$*" >&2; }
[ "$(id -u)" = 0 ] || {
  note "needs root"
  exit 2
}
[ -e "$root/.quarn-ready" ] || {
  note "no root $root: scripts/matrix.sh roots makes it"
  exit 1
}
[ -e "$prefix/.ready" ] && { echo "$python"; exit 0; }

rm -rf "$prefix"
src="$cache/src/python$version-$debian_version"
rm -rf "$src"
mkdir -p "$cache" "$src"
if [ -n "$debian_version" ]; then
  repo="$(cd "$(dirname "$0")/.." && pwd)"
  # shellcheck source=scripts/debian_mirror.sh
  . "$repo/scripts/debian_mirror.sh"
  pool="${QUARN_DEBIAN_MIRROR:-$(apt_mirror)}/pool/main/p/python$version"
  for f in "python${version}_$debian_version.dsc" "python${version}_${debian_version%-*}.orig.tar.xz" \
    "python${version}_$debian_version.debian.tar.xz"; do
    timeout 600 curl -fsS -o "$src/$f" "$pool/$f"
  done
fi
ov="$(mktemp -d "$cache/overlay.XXXXXX")"
trap 'rm -rf "$ov"' EXIT
mkdir -p "$ov/up" "$ov/work" "$ov/m" "$prefix"
note "building python${version}t into $prefix (log: $prefix.log)"
start=$(date +%s)
unshare --mount --propagation private -- /bin/sh -c '
  r="$1" o="$2" p="$3" v="$4" s="$5"; m="$o/m"
  mount -t overlay overlay -o "lowerdir=$r,upperdir=$o/up,workdir=$o/work" "$m" &&
  mkdir -p "$m$p" "$m$s" && mount --bind "$p" "$m$p" && mount --bind "$s" "$m$s" &&
  mount -t proc proc "$m/proc" && mount --rbind /dev "$m/dev" &&
  exec chroot "$m" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin \
    P="$p" V="$v" S="$s" sh -euc "
      timeout 300 apt-get update -qq
      timeout 900 apt-get install -y -qq dpkg-dev pkg-config xz-utils libssl-dev zlib1g-dev \
        libffi-dev libbz2-dev liblzma-dev libsqlite3-dev uuid-dev > /dev/null
      cd \$S
      ls python\${V}_*.dsc > /dev/null 2>&1 ||
        timeout 600 apt-get source -qq --download-only python\$V > /dev/null
      dpkg-source --skip-patches -x python\${V}_*.dsc > /dev/null
      cd python\$V-*/
      timeout 600 ./configure -q --disable-gil --prefix=\$P --with-ensurepip=no
      timeout 2400 nice make -s -j\$(nproc)
      timeout 600 make -s altinstall"' sh "$root" "$ov" "$prefix" "$version" "$src" > "$prefix.log" 2>&1 ||
  {
    tail -n 30 "$prefix.log" >&2
    exit 1
  }
note "built in $(($(date +%s) - start)) s"
rm -rf "$src"
touch "$prefix/.ready"
echo "$python"
