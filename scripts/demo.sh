#!/usr/bin/env bash
# Builds camera-patch alone, in build-demo/ beside the test builds, and runs
# it in demo/ on a stand-in VELORAC.EXE.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

bash "$root/scripts/install-deps.sh" --demo
cmake -S "$root" -B "$root/build-demo" -DCMAKE_BUILD_TYPE=Release -DCAMERA_PATCH_TESTS=OFF >/dev/null
cmake --build "$root/build-demo" --target camera-patch -j "$(nproc)" >/dev/null

rm -rf "$root/demo"
mkdir -p "$root/demo"
python3 "$root/scripts/make-demo-target.py" "$root/demo/VELORAC.EXE"
cd "$root/demo"
exec "$root/build-demo/camera-patch"
