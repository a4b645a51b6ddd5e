#!/usr/bin/env bash
# Builds camera-patch and runs it in demo/, on a stand-in VELORAC.EXE.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target camera-patch -j "$(nproc)" >/dev/null

rm -rf "$root/demo"
mkdir -p "$root/demo"
python3 "$root/scripts/make-demo-target.py" "$root/demo/VELORAC.EXE"
cd "$root/demo"
exec "$root/build/camera-patch"
