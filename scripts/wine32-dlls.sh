#!/usr/bin/env bash
# Wine from Debian's amd64 packages runs a 32-bit Windows program only with
# Debian's 32-bit wine DLLs, of the same version, beside it. They are
# unpacked from libwine:i386 into a cache, never installed: adding the i386
# architecture to dpkg or installing an :i386 package breaks wine. Prints
# the folder to give wine as WINEDLLPATH; with --where, only says where it
# would be.
set -euo pipefail
source "$(dirname "$0")/packages.sh"

version="$(dpkg-query -W -f='${Version}' libwine:amd64)"
cache="$(cache_folder)"
unpacked="$cache/wine32-$version"
dlls="$unpacked/usr/lib/i386-linux-gnu/wine"
if [[ "${1-}" == --where ]]; then
  echo "$dlls"
  exit 0
fi

lock_cache "$cache"
if [[ ! -f "$dlls/i386-windows/kernel32.dll" ]]; then
  work="$(mktemp -d "$cache/download.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  # Apt with lists and state of its own, which alone know the i386 packages;
  # the machine's own apt and dpkg never hear of them.
  apt=(apt-get -q -o APT::Architectures=amd64,i386 -o "Dir::State=$work/state"
    -o "Dir::State::status=$work/status" -o "Dir::Cache=$work/cache"
    -o APT::Sandbox::User="$(id -un)")
  mkdir -p "$work/state/lists/partial" "$work/cache/archives/partial" "$work/root"
  touch "$work/status"
  package="libwine:i386=$version"
  echo "Fetching Debian's 32-bit wine DLLs ($package, about 95 MB) into $cache" >&2
  refresh_lists "${apt[@]}"
  download() { (cd "$work" && "${apt[@]}" download "$package" >&2); }
  with_retries apt download ||
    cannot_have "$package could not be downloaded from Debian's packages (apt said why, above)"
  # Only the Windows side: the Linux side's 32-bit libraries are of no use to
  # 64-bit wine.
  dpkg-deb --fsys-tarfile "$work"/libwine_*_i386.deb |
    tar -x -C "$work/root" ./usr/lib/i386-linux-gnu/wine/i386-windows
  rm -rf "$cache"/wine32-*
  mv -T "$work/root" "$unpacked"
fi
echo "$dlls"
