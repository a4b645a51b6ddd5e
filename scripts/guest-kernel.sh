#!/usr/bin/env bash
# The power-cut test boots its own kernel under QEMU: Debian's 6.12, the
# first of Debian's kernels for this release with the ntfs3 driver. It is
# fetched with apt-get download and unpacked into a cache, never installed:
# the machine keeps its own kernel and its package database never hears of
# this one. Prints the unpacked root, which holds boot/vmlinuz-* and
# lib/modules/*/ with the module index built; with --where, only the root
# already unpacked, failing when there is none.
set -euo pipefail

meta=linux-image-6.12-amd64
if ((EUID == 0)); then
  cache=/var/cache/camera-patch
else
  cache="${XDG_CACHE_HOME:-$HOME/.cache}/camera-patch"
fi

# Any build of 6.12 will do; once one is unpacked, it is kept.
unpacked() {
  local kernel
  for kernel in "$cache"/linux-image-6.12.*/boot/vmlinuz-*; do
    if [[ -f $kernel ]]; then
      echo "${kernel%/boot/*}"
      return 0
    fi
  done
  return 1
}
if [[ "${1-}" == --where ]]; then
  unpacked
  exit
fi
if unpacked; then
  exit 0
fi

mkdir -p "$cache"
# Other checkouts on this machine share the cache: one unpacks, the others wait.
exec 9>"$cache/lock"
flock 9
if unpacked; then
  exit 0
fi
# The meta package names the current build, which security updates move on:
# only fresh package lists name one that can still be downloaded.
if ((EUID == 0)); then
  apt-get update -q >&2
fi
package="$(apt-cache depends "$meta" 2>/dev/null |
  sed -n 's/^ *Depends: \(linux-image-6\.12\.[^ ]*\)$/\1/p' | head -n 1)"
if [[ -z $package ]]; then
  echo "No package $meta is known to apt here" >&2
  exit 1
fi
work="$(mktemp -d "$cache/download.XXXXXX")"
trap 'rm -rf "$work"' EXIT
echo "Fetching $package (about 110 MB) into $cache" >&2
(cd "$work" && apt-get download -q -o APT::Sandbox::User="$(id -un)" "$package" >&2)
mkdir "$work/root"
dpkg-deb -x "$work"/*.deb "$work/root"
version="$(basename "$(ls -d "$work"/root/lib/modules/*)")"
depmod -b "$work/root" "$version"
mv -T "$work/root" "$cache/$package"
unpacked
