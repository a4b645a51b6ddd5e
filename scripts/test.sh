#!/usr/bin/env bash
# Builds camera-patch and runs every test: the normal build, the whole suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of
# the matcher's fuzzer, then the Windows build under wine. Both builds'
# packages are made too.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"

# The Windows cross-compiler, wine to run its build, and dpkg-shlibdeps for the .deb.
bash "$root/scripts/install-deps.sh" g++-mingw-w64-x86-64 wine64 wine dpkg-dev

run_suite() {
  local build="$1"
  shift
  cmake -S "$root" -B "$build" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

echo "== native build"
run_suite "$root/build" -DCMAKE_BUILD_TYPE=Release -DCAMERA_PATCH_TESTS=ON -DCAMERA_PATCH_BENCH=ON
(cd "$root/build" && cpack)
lintian --fail-on error "$root"/build/camera-patch_*.deb
echo "== sanitizer build"
run_suite "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DCAMERA_PATCH_TESTS=ON -DCAMERA_PATCH_SANITIZE=ON
echo "== fuzzing the matcher"
CXX=clang++ run_suite "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCAMERA_PATCH_TESTS=OFF -DCAMERA_PATCH_FUZZ=ON -DCAMERA_PATCH_SANITIZE=ON

echo "== windows build, under wine"
cd "$root"
cmake --preset windows -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build --preset windows -j "$jobs"
(cd "$root/build-windows" && cpack)
ctest --preset windows -j "$jobs"

echo "== the same bytes from another folder"
# A copy of the sources elsewhere must build the very same programs: what
# players download can then be checked against a build of the same commit.
elsewhere="$(mktemp -d)/another/camera-patch"
mkdir -p "$elsewhere"
tar -C "$root" --exclude='./build*' --exclude=./.git --exclude=./demo -cf - . | tar -C "$elsewhere" -xf -
cmake -S "$elsewhere" -B "$elsewhere/build" -DCMAKE_BUILD_TYPE=Release -DCAMERA_PATCH_TESTS=OFF >/dev/null
cmake --build "$elsewhere/build" --target camera-patch -j "$jobs" >/dev/null
(cd "$elsewhere" && cmake --preset windows -DCAMERA_PATCH_TESTS=OFF >/dev/null &&
  cmake --build --preset windows -j "$jobs" >/dev/null)
for program in build/camera-patch build-windows/camera-patch.exe; do
  if ! cmp "$root/$program" "$elsewhere/$program"; then
    echo "FAILED: $program built in $elsewhere differs from the one in $root" >&2
    exit 1
  fi
done
sha256sum "$root/build/camera-patch" "$root/build-windows/camera-patch.exe"
rm -rf "${elsewhere%/another/camera-patch}"
