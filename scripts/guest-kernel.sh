#!/usr/bin/env bash
# The power-cut test boots its own kernel under QEMU: Debian's 6.12, the
# first of Debian's kernels for this release with the ntfs3 driver. It is
# fetched with apt-get download and unpacked into a cache, never installed:
# the machine keeps its own kernel and its package database never hears of
# this one. Prints the unpacked root, which holds boot/vmlinuz-* and
# lib/modules/*/ with the module index built; with --where, only the root
# already unpacked, failing when there is none.
set -euo pipefail
source "$(dirname "$0")/packages.sh"

meta=linux-image-6.12-amd64
cache="$(cache_folder)"

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

lock_cache "$cache"
if unpacked; then
  exit 0
fi
# The meta package names the current build, which security updates move on:
# only fresh package lists name one that can still be downloaded. Only root
# may fetch them; anyone else goes by the lists the machine has.
apt=(apt-get -q)
if ((EUID == 0)); then
  refresh_lists "${apt[@]}"
fi
work="$(mktemp -d "$cache/download.XXXXXX")"
trap 'rm -rf "$work"' EXIT
download() {
  package="$(apt-cache depends "$meta" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-6\.12\.[^ ]*\)$/\1/p' | head -n 1)"
  if [[ -z $package ]]; then
    echo "No package $meta is known to apt here" >&2
    return 1
  fi
  echo "Fetching $package (about 110 MB) into $cache" >&2
  (cd "$work" && "${apt[@]}" download -o APT::Sandbox::User="$(id -un)" "$package" >&2)
}
# Only root may fetch fresh lists between tries.
lists=()
if ((EUID == 0)); then
  lists=("${apt[@]}")
fi
with_retries lists download ||
  cannot_have "the guest's kernel ($meta) could not be downloaded from Debian's packages (apt said why, above)"
mkdir "$work/root"
dpkg-deb -x "$work"/*.deb "$work/root"
version="$(basename "$(ls -d "$work"/root/lib/modules/*)")"
depmod -b "$work/root" "$version"
mv -T "$work/root" "$cache/$package"
unpacked
