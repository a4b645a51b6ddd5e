#!/usr/bin/env bash
# Builds camera-patch alone, in build-demo/ beside the test builds, and runs
# it in demo/ on a stand-in VELORAC.EXE.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

# A compiler and CMake with make are all the demo needs. With them there
# nothing is installed, so no root is needed; without, they come from
# Debian's packages, which takes root or sudo.
missing=()
for tool in "${CXX:-c++}" cmake make; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]} > 0)); then
  if ((EUID != 0)) && ! command -v sudo >/dev/null; then
    echo "The demo needs what is missing here: ${missing[*]}." \
      "Install it as root and run the demo again." >&2
    exit 1
  fi
  bash "$root/scripts/install-deps.sh" --demo
fi
# The build takes half a minute or so, with nothing on the screen meanwhile.
echo "Building camera-patch in build-demo/ ..."
cmake -S "$root" -B "$root/build-demo" -DCMAKE_BUILD_TYPE=Release -DCAMERA_PATCH_TESTS=OFF >/dev/null
cmake --build "$root/build-demo" --target camera-patch make_target -j "$(nproc)" >/dev/null

rm -rf "$root/demo"
mkdir -p "$root/demo"
# 64 KiB, the search bytes in the middle.
"$root/build-demo/make_target" "$root/demo/VELORAC.EXE" 65536 32768
# As an installed game's file: not written a moment ago, which the program
# would first wait to see finished.
touch -d "2001-02-03 12:00" "$root/demo/VELORAC.EXE"
cd "$root/demo"
exec "$root/build-demo/camera-patch"
