#!/usr/bin/env bash
# Builds the libFuzzer targets (if needed) and runs each one for SECONDS on
# a scratch copy of its seed corpus, one after the other.
#
#   bash fuzz/run_fuzzers.sh SECONDS [BUILD_DIR]
#
# BUILD_DIR defaults to build/fuzz; it is configured with clang++,
# TOLVAK_FUZZ=ON and TOLVAK_TESTS=OFF (clang and its runtime libraries,
# Debian's clang and libclang-rt-14-dev, must be installed). The committed
# corpus is never changed. Prints executions and coverage per target; an
# input that crashes a target is kept under fuzz/findings/<target>/ and
# shown in hex, and the script exits non-zero when any target crashed.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 || ! $1 =~ ^[0-9]+$ || $1 -lt 1 ]]; then
  echo "usage: $0 SECONDS [BUILD_DIR]" >&2
  exit 2
fi
seconds=$1
fuzz_dir="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(dirname "$fuzz_dir")"
build_dir=${2:-"$source_dir/build/fuzz"}
findings_dir="$fuzz_dir/findings"

# Target and the longest input it gets: whole files and dumps for the
# converters, one line for the number parse.
targets=(fuzz_read_motion:4096 fuzz_write_motion:4096 fuzz_round_trip:1024 fuzz_number_parse:512)

generator=()
if [[ ! -f "$build_dir/CMakeCache.txt" ]] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
cmake -S "$source_dir" -B "$build_dir" "${generator[@]}" -DTOLVAK_FUZZ=ON -DTOLVAK_TESTS=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" --target "${targets[@]%%:*}"

# The targets write their files in a folder of their own under TMPDIR; a
# memory-backed one keeps the fsync of every converted file cheap.
scratch_base=${TMPDIR:-/tmp}
if [[ -d /dev/shm && -w /dev/shm ]]; then scratch_base=/dev/shm; fi
scratch=$(mktemp -d "$scratch_base/tolvak-fuzz-run-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

crashed=0
summary=()
for entry in "${targets[@]}"; do
  target=${entry%%:*}
  max_len=${entry##*:}
  binary=$(find "$build_dir" -type f -name "$target" -perm -u+x | head -n 1)
  if [[ -z $binary ]]; then
    echo "$target: not built" >&2
    exit 1
  fi
  corpus="$scratch/corpus/$target"
  mkdir -p "$corpus" "$findings_dir/$target"
  cp "$fuzz_dir/corpus/$target"/* "$corpus/"
  log="$scratch/$target.log"

  printf '\n==== %s: %ss, inputs up to %s bytes ====\n' "$target" "$seconds" "$max_len"
  status=0
  # -close_fd_mask=1: the converters' console messages go nowhere.
  TMPDIR="$scratch" UBSAN_OPTIONS=print_stacktrace=1 \
    "$binary" "$corpus" -max_total_time="$seconds" -max_len="$max_len" -timeout=25 \
    -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$findings_dir/$target/" >"$log" 2>&1 || status=$?

  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  if [[ $status -ne 0 || -z $done_line ]]; then
    crashed=$((crashed + 1))
    echo "$target: FAILED (exit status $status); the end of its log:"
    tail -n 60 "$log"
    for input in $(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log"); do
      echo "input kept as $input ($(wc -c <"$input") bytes):"
      od -An -tx1 -v "$input" | head -n 40
    done
    summary+=("$target: FAILED after ${runs:-?} executions")
  else
    cov=$(sed -E 's/.*cov: ([0-9]+).*/\1/' <<<"$done_line")
    ft=$(sed -E 's/.*ft: ([0-9]+).*/\1/' <<<"$done_line")
    corp=$(sed -E 's/.*corp: ([^ ]+).*/\1/' <<<"$done_line")
    rate=$(sed -E 's/.*exec\/s: ([0-9]+).*/\1/' <<<"$done_line")
    echo "$done_line"
    summary+=("$target: ${runs} executions (${rate}/s), cov: ${cov}, ft: ${ft}, corpus ${corp}")
  fi
done

printf '\n==== fuzz summary (%ss per target) ====\n' "$seconds"
printf '%s\n' "${summary[@]}"
echo "fuzz: ${#targets[@]} targets ran, $crashed crashed"
if [[ $crashed -ne 0 ]]; then
  echo "crashing inputs are under $findings_dir/" >&2
  exit 1
fi
