#!/usr/bin/env bash
# Times a whole patch run against the I/O floor on the same file: one plain
# read of it, two durable 1 MiB-block copies (from the target, then from that
# copy), and the second copy renamed over the target (which frees the old
# target's blocks) with the folder synced after: the least any safe,
# rename-based patch of it must do. Runs the two alternately, first back to
# back, then with a pause before each run, and prints for each the medians,
# the ratio and the program's peak RSS.
#
#   bench/run.sh [--runs N] [--size MIB] [--pause SECONDS] [--big]
#
# --big also patches a sparse target over 4 GiB with the search bytes beyond
# 4 GiB and checks the result; it writes about 9 GiB, so it is opt-in.
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
scratch="$build/bench-scratch"

runs=7
size_mib=512
pause=3
big=false
while (($# > 0)); do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --size) size_mib="$2"; shift 2 ;;
    --pause) pause="$2"; shift 2 ;;
    --big) big=true; shift ;;
    *) echo "usage: $0 [--runs N] [--size MIB] [--pause SECONDS] [--big]" >&2; exit 2 ;;
  esac
done

bash "$root/scripts/install-deps.sh" time libbenchmark-dev
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCAMERA_PATCH_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target camera-patch make_target >/dev/null
program="$build/camera-patch"

free_mib() { df -Pm "$1" | awk 'NR == 2 { print $4 }'; }

mkdir -p "$scratch"
trap 'rm -rf "$scratch"' EXIT
# The original, the target, and two full copies of it exist at once.
if (($(free_mib "$scratch") < 4 * size_mib + 512)); then
  echo "Not enough free space in $scratch for a ${size_mib} MiB target." >&2
  exit 1
fi

echo "== machine"
echo "cpu: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores"
echo "memory: $(free -h | awk '/^Mem:/ { print $2 }')"
echo "scratch: $(df -PT "$scratch" | awk 'NR == 2 { print $1 ", " $2 }')"

cd "$scratch"
size=$((size_mib << 20))
"$build/make_target" original "$size" $((size / 3))

now_ns() { date +%s%N; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Each timed run starts from the unpatched target, written out, with nothing
# else of ours in the folder, after a pause of $1 seconds. Without one, the
# disk and memory work left by the run before (writeback, freeing deleted
# files) overlaps the run; after one it is done.
fresh_target() {
  rm -f VELORAC.EXE VELORAC.EXE.bku floor-copy-1 floor-copy-2
  cp original VELORAC.EXE
  # As an installed game's file: one written a moment ago is first watched
  # until it has been left alone, which is no part of the patch's cost.
  touch -d "2001-02-03 12:00" VELORAC.EXE
  sync
  sleep "$1"
}

time_floor() {
  fresh_target "$1"
  local start
  start=$(now_ns)
  cat VELORAC.EXE >/dev/null
  dd if=VELORAC.EXE of=floor-copy-1 bs=1M conv=fsync status=none
  dd if=floor-copy-1 of=floor-copy-2 bs=1M conv=fsync status=none
  mv floor-copy-2 VELORAC.EXE
  sync .  # fsync of the folder, as coreutils' sync does for a named file
  echo $(($(now_ns) - start))
}

# Prints "nanoseconds peak-rss-kib", after checking the patch did its job.
time_program() {
  fresh_target "$1"
  local start elapsed
  start=$(now_ns)
  printf 'c\n\n' | /usr/bin/time -f '%M' -o rss "$program" >/dev/null
  elapsed=$(($(now_ns) - start))
  cmp -s VELORAC.EXE.bku original || { echo "the backup differs from the original" >&2; exit 1; }
  [[ $(cmp -l VELORAC.EXE original | wc -l) == 1 ]] ||
    { echo "the patched target differs from the original in other than one byte" >&2; exit 1; }
  echo "$elapsed $(cat rss)"
}

# Alternating runs of both after a pause of $1 seconds, then their medians.
compare() {
  local floor_ns=() program_ns=() rss_kib=() run floor result elapsed rss
  for ((run = 1; run <= runs; run++)); do
    floor=$(time_floor "$1")
    floor_ns+=("$floor")
    result=$(time_program "$1")
    read -r elapsed rss <<<"$result"
    program_ns+=("$elapsed")
    rss_kib+=("$rss")
    echo "run $run: floor $(seconds "$floor") s, program $(seconds "$elapsed") s," \
      "peak RSS $rss KiB"
  done
  rm -f VELORAC.EXE VELORAC.EXE.bku floor-copy-1 floor-copy-2

  local floor_median program_median peak_rss
  floor_median=$(median "${floor_ns[@]}")
  program_median=$(median "${program_ns[@]}")
  peak_rss=$(printf '%s\n' "${rss_kib[@]}" | sort -n | tail -n 1)
  echo "median floor:   $(seconds "$floor_median") s"
  echo "median program: $(seconds "$program_median") s"
  awk -v p="$program_median" -v f="$floor_median" \
    'BEGIN { r = p / f; printf "ratio:          %.2f (goal <= 1.25: %s)\n", r, r <= 1.25 ? "met" : "MISSED" }'
  echo "peak RSS:       $peak_rss KiB (goal < 16384 KiB: $( ((peak_rss < 16384)) && echo met || echo MISSED))"
}

echo "== ${size_mib} MiB target, $runs runs each, alternating, back to back"
compare 0
echo "== ${size_mib} MiB target, $runs runs each, alternating, each after a ${pause} s pause"
compare "$pause"

if ! $big; then
  exit 0
fi

echo "== sparse target over 4 GiB"
rm -f original
big_size=$((4608 << 20))
offset=$(((4 << 30) + 12345))
# A sparse target and a sparse reference copy; the backup and the patched
# temporary file are written out in full.
if (($(free_mib "$scratch") < 2 * (big_size >> 20) + 1024)); then
  echo "Not enough free space in $scratch for the 4.5 GiB check." >&2
  exit 1
fi
for file in VELORAC.EXE original; do
  truncate -s "$big_size" "$file"
  printf '\x89\xF2\x01\xC2\xB9\x14' |
    dd of="$file" bs=1M seek="$offset" oflag=seek_bytes conv=notrunc status=none
done
touch -d "2001-02-03 12:00" VELORAC.EXE
start=$(now_ns)
printf 'c\n\n' | /usr/bin/time -f '%M' -o rss "$program" >/dev/null
echo "patched in $(seconds $(($(now_ns) - start))) s, peak RSS $(cat rss) KiB"

# The last search byte, at the offset a 32-bit counter would get wrong.
python3 - "$((offset + 5))" <<'EOF'
import sys
at = int(sys.argv[1])
def byte_at(name):
    with open(name, "rb") as f:
        f.seek(at)
        return f.read(1)[0]
patched, backup = byte_at("VELORAC.EXE"), byte_at("VELORAC.EXE.bku")
print(f"byte at {at:#x}: patched {patched:#04x}, backup {backup:#04x}")
sys.exit(0 if (patched, backup) == (0x64, 0x14) else 1)
EOF
cmp VELORAC.EXE.bku original
[[ $(cmp -l VELORAC.EXE original | wc -l) == 1 ]]
echo "over 4 GiB: patched byte correct, backup equals the original, nothing else changed"
