#!/usr/bin/env bash
# Builds camera-patch and runs every test: the normal build, the whole suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of
# the matcher's fuzzer, then the 64-bit and the 32-bit Windows builds under
# wine. The players' downloads (the Linux tarball of the static program and
# the 32-bit Windows zip) and the .deb are made too.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"

# The Windows cross-compilers (32-bit for players, 64-bit as a check), pefile to
# read their imports, wine to run them, and dpkg-shlibdeps for the .deb.
bash "$root/scripts/install-deps.sh" g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64 python3-pefile \
  wine64 wine dpkg-dev

run_suite() {
  local build="$1"
  shift
  cmake -S "$root" -B "$build" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

echo "== native build"
run_suite "$root/build" -DCMAKE_BUILD_TYPE=Release -DCAMERA_PATCH_TESTS=ON -DCAMERA_PATCH_BENCH=ON
# The build made the Linux players' download (linux-download); cpack makes the .deb.
(cd "$root/build" && sha256sum --check camera-patch-*-linux-*.tar.gz.sha256 && cpack)
# The program's published checksum names it as players have it, so it is
# checked on the program as unpacked from their download.
unpacked="$(mktemp -d)"
tar -C "$unpacked" -xzf "$root"/build/camera-patch-*-linux-*.tar.gz
(cd "$unpacked"/camera-patch-*-linux-*/ && sha256sum --check "$root/build/camera-patch.sha256")
rm -rf "$unpacked"
lintian --fail-on error "$root"/build/camera-patch_*.deb
echo "== sanitizer build"
run_suite "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DCAMERA_PATCH_TESTS=ON -DCAMERA_PATCH_SANITIZE=ON
echo "== fuzzing the matcher"
CXX=clang++ run_suite "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCAMERA_PATCH_TESTS=OFF -DCAMERA_PATCH_FUZZ=ON -DCAMERA_PATCH_SANITIZE=ON

echo "== windows builds, under wine"
cd "$root"
windows_suite() {
  local preset="$1" folder="$2" toolchain="$3"
  # A folder configured before for the other processor would keep its compiler.
  local fresh=()
  if [[ -f $folder/CMakeCache.txt ]] &&
    ! grep -q "^CMAKE_TOOLCHAIN_FILE:.*/$toolchain\$" "$folder/CMakeCache.txt"; then
    fresh=(--fresh)
  fi
  cmake --preset "$preset" "${fresh[@]}" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}
windows_suite windows-x64 "$root/build-windows-x64" mingw-w64-x86-64.cmake
windows_suite windows "$root/build-windows" mingw-w64-i686.cmake
# Only the 32-bit program, which every Windows runs, is for players.
(cd "$root/build-windows" && cpack && sha256sum --check camera-patch-*-windows-x86.zip.sha256)
unpacked="$(mktemp -d)"
(cd "$unpacked" && cmake -E tar xf "$root"/build-windows/camera-patch-*-windows-x86.zip &&
  cd camera-patch-*-windows-x86/ && sha256sum --check "$root/build-windows/camera-patch.exe.sha256")
rm -rf "$unpacked"

echo "== the same bytes from another folder"
# A copy of the sources elsewhere must build the very same programs: what
# players download can then be checked against a build of the same commit.
elsewhere="$(mktemp -d)/another/camera-patch"
mkdir -p "$elsewhere"
tar -C "$root" --exclude='./build*' --exclude=./.git --exclude=./demo -cf - . | tar -C "$elsewhere" -xf -
cmake -S "$elsewhere" -B "$elsewhere/build" -DCMAKE_BUILD_TYPE=Release -DCAMERA_PATCH_TESTS=OFF >/dev/null
cmake --build "$elsewhere/build" --target camera-patch linux-download -j "$jobs" >/dev/null
(cd "$elsewhere" && cmake --preset windows -DCAMERA_PATCH_TESTS=OFF >/dev/null &&
  cmake --build --preset windows -j "$jobs" >/dev/null)
for program in build/camera-patch build/camera-patch-static build/camera-patch-*-linux-*.tar.gz \
  build-windows/camera-patch.exe; do
  if ! cmp "$root/$program" "$elsewhere/$program"; then
    echo "FAILED: $program built in $elsewhere differs from the one in $root" >&2
    exit 1
  fi
done
# What to publish beside the downloads, as the build wrote it.
(cd "$root" && cat build/camera-patch-*-linux-*.tar.gz.sha256 build/camera-patch.sha256 \
  build-windows/camera-patch-*-windows-x86.zip.sha256 build-windows/camera-patch.exe.sha256)
rm -rf "${elsewhere%/another/camera-patch}"
