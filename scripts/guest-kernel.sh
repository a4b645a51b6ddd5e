#!/usr/bin/env bash
# The power-cut test boots its own kernel under QEMU: Debian's 6.12, the
# first of Debian's kernels for this release with the ntfs3 driver. It is
# fetched with apt-get download and unpacked into a cache, never installed:
# the machine keeps its own kernel and its package database never hears of
# this one. Prints the unpacked root, which holds boot/vmlinuz-* and
# lib/modules/*/ with the module index built; with --where, only says where
# it would be.
set -euo pipefail

meta=linux-image-6.12-amd64
if ((EUID == 0)); then
  cache=/var/cache/camera-patch
else
  cache="${XDG_CACHE_HOME:-$HOME/.cache}/camera-patch"
fi

# The meta package names the current build, which security updates move on.
resolve() {
  apt-cache depends "$meta" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-6\.12\.[^ ]*\)$/\1/p' |
    head -n 1
}
package="$(resolve)"
if [[ -z $package ]]; then
  if ((EUID == 0)); then
    apt-get update -q >&2
  fi
  package="$(resolve)"
fi
if [[ -z $package ]]; then
  echo "No package $meta is known to apt here" >&2
  exit 1
fi
unpacked="$cache/$package"
if [[ "${1-}" == --where ]]; then
  echo "$unpacked"
  exit 0
fi

mkdir -p "$cache"
# Other checkouts on this machine share the cache: one unpacks, the others wait.
exec 9>"$cache/lock"
flock 9
if ! compgen -G "$unpacked/boot/vmlinuz-*" >/dev/null; then
  work="$(mktemp -d "$cache/download.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  echo "Fetching $package (about 110 MB) into $cache" >&2
  (cd "$work" && apt-get download -q -o APT::Sandbox::User="$(id -un)" "$package" >&2)
  mkdir "$work/root"
  dpkg-deb -x "$work"/*.deb "$work/root"
  version="$(basename "$(ls -d "$work"/root/lib/modules/*)")"
  depmod -b "$work/root" "$version"
  rm -rf "$cache"/linux-image-6.12.*
  mv -T "$work/root" "$unpacked"
fi
echo "$unpacked"
