#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and
# test camera-patch; with --demo first, only what building and running the
# program needs. Any other arguments are more packages to install. Safe to run
# again: it installs only what is missing.
set -euo pipefail
source "$(dirname "$0")/packages.sh"

packages=(cmake g++ make)             # the build
demo=false
if [[ "${1-}" == --demo ]]; then
  shift
  demo=true
else
  packages+=(
    python3                           # drives the tests
    libgtest-dev                      # unit tests
    libbenchmark-dev                  # the matcher benchmark, built to keep it compiling
    strace                            # fault injection in the end-to-end tests
    clang-format                      # the formatting check
    clang libclang-rt-dev             # the matcher's fuzzer (libFuzzer): Debian's default clang
                                      # and the runtime of that same version
    util-linux                        # setpriv, to test permissions as an ordinary user
    locales                           # a Russian locale, for the system's reasons in Cyrillic under wine
    ntfs-3g exfat-fuse exfatprogs     # file systems shared with Windows, mounted in the tests
    fusefat dosfstools xfsprogs btrfs-progs
    lintian                           # checks the .deb against Debian's rules
    qemu-system-x86 busybox-static    # the power-cut test's virtual machine: its machine, its
    dmsetup kmod e2fsprogs            # shell and tools, the devices and modules of its kernel,
                                      # and ext4 for it to record on
  )
fi
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
sudo=()
if ((EUID != 0)); then
  sudo=(sudo)
fi

# Wine shows Cyrillic only when the Linux side has a locale that holds it.
# The demo runs no tests, so it needs none.
add_locale() {
  if ! $demo && ! grep -qix "$1" <<<"$(locale -a)"; then
    "${sudo[@]}" sed -i "s/^# *$2/$2/" /etc/locale.gen
    "${sudo[@]}" locale-gen
  fi
}

# Where wine is, the 32-bit Windows program's tests need its 32-bit DLLs.
add_wine32_dlls() {
  if ! $demo && dpkg-query -W libwine:amd64 >/dev/null 2>&1; then
    bash "$(dirname "$0")/wine32-dlls.sh" >/dev/null
  fi
}

# The power-cut test boots Debian's 6.12 kernel, fetched into a cache.
add_guest_kernel() {
  if ! $demo; then
    bash "$(dirname "$0")/guest-kernel.sh" >/dev/null
  fi
}

if ((${#missing[@]} == 0)); then
  add_locale ru_RU.utf8 "ru_RU.UTF-8 UTF-8"
  add_wine32_dlls
  add_guest_kernel
  exit 0
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt=("${sudo[@]}" apt-get -q)
refresh_lists "${apt[@]}"
# With the recommended packages, whatever this machine's apt settings say:
# wine is only known to work with them.
install_missing() { "${apt[@]}" install -y --install-recommends "${missing[@]}"; }
if ! with_retries apt install_missing; then
  # Name what apt knows no version of; else, all that was asked for.
  unknown=()
  for package in "${missing[@]}"; do
    if ! apt-cache policy "$package" 2>/dev/null | grep -q "Candidate: [^(]"; then
      unknown+=("$package")
    fi
  done
  cannot_have "could not install ${unknown[*]:-${missing[*]}} from Debian's packages (apt said why, above)"
fi
add_locale ru_RU.utf8 "ru_RU.UTF-8 UTF-8"
add_wine32_dlls
add_guest_kernel
