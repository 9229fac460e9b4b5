#!/usr/bin/env bash
# Throughput and memory benchmark for tolvak, with a round-trip check.
#
#   bench/run_benchmark.sh [--build-dir DIR | --tolvak PATH --make-motion PATH]
#                          [--objects N] [--frames F] [--values KIND] [--seed S]
#                          [--runs R] [--scratch DIR] [--keep] [--large]
#
# What it does, in a scratch folder (a new one under $TMPDIR or /tmp unless
# --scratch names a parent folder; removed at the end unless --keep):
#   1. make_motion writes a motion file (default 60 objects x 20,000 frames,
#      realistic values, ~96 MB).
#   2. "tolvak -r" converts it, best of R runs: wall time, MB/s of dump
#      written, peak resident memory. The dump's line count and CR LF line
#      ends are checked.
#   3. cp copies the dump (best of R): the baseline for both directions.
#   4. "tolvak -w" rebuilds a motion file from a fresh copy of the dump for
#      every run (the copy is made outside the timing): wall time, MB/s of
#      dump read, peak memory; the output size and the deletion of the dump
#      are checked.
#   5. Round trip: with dyadic values the rebuilt file must equal the original
#      byte for byte. With other values the script reports whether it does,
#      and whether a second "-r" gives the same dump, and then runs the
#      byte-for-byte check on a dyadic file of the same shape.
#
# --large runs the same steps once on a dyadic file above 2 GiB (100 objects x
# 280,000 frames, 2.24 GB; the dump is ~4.6 GB). It holds ~14 GB at its
# peak and, by its conservative estimate, asks for ~19 GB free before it
# starts; it takes a few minutes and is not meant for CI.
#
# Goals, reported but never enforced: "-r" within 2x of cp, "-w" within 3x of
# cp, peak memory below 8 MB. The exit status is 0 when every result is
# right, 1 when a result is wrong (a missing or malformed dump, a missing or
# wrong-sized motion file, a failed byte-for-byte round trip) and 2 for a
# usage error, a missing tool or too little disk space.
#
# Peak memory comes from GNU time (/usr/bin/time -f %M, Debian package
# "time"); when it is missing and the script runs as root with apt-get, it is
# installed; otherwise memory is reported as n/a. Timings are taken with warm
# page caches (the input was just written or read), after a sync.

set -u

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$script_dir")

build_dir=""
tolvak=""
make_motion=""
objects=60
frames=20000
values=realistic
seed=1
runs=3
scratch_parent="${TMPDIR:-/tmp}"
keep=0
large=0
values_given=0
shape_given=0
runs_given=0

usage() {
  sed -n '2,/^$/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

die_usage() {
  echo "run_benchmark: $*" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=${2:?}; shift 2 ;;
    --tolvak) tolvak=${2:?}; shift 2 ;;
    --make-motion) make_motion=${2:?}; shift 2 ;;
    --objects) objects=${2:?}; shape_given=1; shift 2 ;;
    --frames) frames=${2:?}; shape_given=1; shift 2 ;;
    --values) values=${2:?}; values_given=1; shift 2 ;;
    --seed) seed=${2:?}; shift 2 ;;
    --runs) runs=${2:?}; runs_given=1; shift 2 ;;
    --scratch) scratch_parent=${2:?}; shift 2 ;;
    --keep) keep=1; shift ;;
    --large) large=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) die_usage "unknown argument '$1' (see --help)" ;;
  esac
done

if [ "$large" = 1 ]; then
  [ "$shape_given" = 1 ] || { objects=100; frames=280000; }
  [ "$values_given" = 1 ] || values=dyadic
  [ "$runs_given" = 1 ] || runs=1
fi

case "$objects$frames$runs" in
  *[!0-9]*) die_usage "--objects, --frames and --runs take plain numbers" ;;
esac
[ "$runs" -ge 1 ] || die_usage "--runs must be at least 1"
case "$values" in
  realistic|dyadic|random-bits) ;;
  *) die_usage "--values must be realistic, dyadic or random-bits" ;;
esac

# --- Tools --------------------------------------------------------------------

find_in_build() {  # find_in_build DIR NAME: the first match of the usual places
  local d=$1 name=$2 c
  for c in "$d/$name" "$d/bench/$name" "$d/Release/$name" "$d/bench/Release/$name"; do
    if [ -x "$c" ] && [ -f "$c" ]; then echo "$c"; return 0; fi
  done
  return 1
}

if [ -z "$tolvak" ] || [ -z "$make_motion" ]; then
  [ -n "$build_dir" ] || build_dir="$repo_dir/build/bench"
  [ -n "$tolvak" ] || tolvak=$(find_in_build "$build_dir" tolvak) || tolvak=""
  [ -n "$make_motion" ] || make_motion=$(find_in_build "$build_dir" make_motion) || make_motion=""
fi
missing=0
if [ -z "$tolvak" ] || [ ! -x "$tolvak" ]; then
  echo "run_benchmark: missing tool: tolvak (looked in ${build_dir:-the given path}${tolvak:+: $tolvak})" >&2
  missing=1
fi
if [ -z "$make_motion" ] || [ ! -x "$make_motion" ]; then
  echo "run_benchmark: missing tool: make_motion (looked in ${build_dir:-the given path}${make_motion:+: $make_motion})" >&2
  missing=1
fi
if [ "$missing" = 1 ]; then
  echo "Build both with: cmake -S . -B build/bench -DTOLVAK_BENCH=ON && cmake --build build/bench --target tolvak make_motion" >&2
  exit 2
fi
tolvak=$(cd "$(dirname "$tolvak")" && pwd)/$(basename "$tolvak")
make_motion=$(cd "$(dirname "$make_motion")" && pwd)/$(basename "$make_motion")

# Peak memory: GNU time's %M (maximum resident set size in KB).
time_bin=""
gnu_time_works() { "$1" -f '%M' -o /dev/null true >/dev/null 2>&1; }
if [ -x /usr/bin/time ] && gnu_time_works /usr/bin/time; then
  time_bin=/usr/bin/time
elif [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "GNU time is missing; installing the Debian package 'time' to measure peak memory..."
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null 2>&1; then
    apt-get update -qq >/dev/null 2>&1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null 2>&1
  fi
  if [ -x /usr/bin/time ] && gnu_time_works /usr/bin/time; then time_bin=/usr/bin/time; fi
fi

# --- Scratch folder and disk space --------------------------------------------

mkdir -p "$scratch_parent" || die_usage "cannot create $scratch_parent"
work=$(mktemp -d "$scratch_parent/tolvak-bench.XXXXXX") || die_usage "cannot create a folder in $scratch_parent"
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  if [ "$keep" = 1 ]; then
    echo "scratch files kept in $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

motion_size=$(( 28 + 32 * objects + frames * (4 + 80 * objects) ))
# Dump estimate: a pose value takes a TAB and 12 or 13 characters for the
# realistic and dyadic kinds, up to ~45 for random bit patterns; a frame adds
# an empty line and its frame value line; every line ends in CR LF.
if [ "$values" = random-bits ]; then value_width=32; else value_width=14; fi
dump_estimate=$(( 300 + 34 * objects + frames * (20 + objects * (12 * value_width + 2)) ))
# At the worst moment the folder holds the motion file, the dump, its copy
# for cp or "-w", and the rebuilt motion file (plus a second dump).
need=$(( 2 * motion_size + 3 * dump_estimate + 64 * 1024 * 1024 ))
avail=$(( $(df -Pk "$work" | awk 'NR == 2 { print $4 }') * 1024 ))

gb() { awk -v b="$1" 'BEGIN { printf "%.2f GB", b / 1e9 }'; }
mb() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1e6 }'; }

if [ "$avail" -lt "$need" ]; then
  echo "run_benchmark: not enough disk space in $scratch_parent: this run needs about $(gb "$need"), $(gb "$avail") is free." >&2
  echo "Choose a roomier folder with --scratch DIR, or a smaller shape with --objects/--frames." >&2
  exit 2
fi

# --- Measuring ----------------------------------------------------------------

now_ns() {
  local t
  t=$(date +%s.%N)
  echo $(( ${t%.*} * 1000000000 + 10#${t#*.} ))
}

# measure NAME CMD...: runs CMD once with its output in $work/NAME.out.
# Sets m_ns (wall time in ns), m_kb (peak RSS in KB, empty if unknown), m_rc.
measure() {
  local name=$1
  shift
  local t0 t1
  t0=$(now_ns)
  if [ -n "$time_bin" ]; then
    "$time_bin" -f '%M' -o "$work/$name.mem" "$@" >"$work/$name.out" 2>&1 </dev/null
    m_rc=$?
  else
    "$@" >"$work/$name.out" 2>&1 </dev/null
    m_rc=$?
  fi
  t1=$(now_ns)
  m_ns=$(( t1 - t0 ))
  m_kb=""
  if [ -n "$time_bin" ]; then
    m_kb=$(tail -n 1 "$work/$name.mem" | tr -dc '0-9')
  fi
}

# Best (lowest) wall time and highest peak memory over the runs.
best_ns=0
peak_kb=""
reset_best() { best_ns=0; peak_kb=""; }
note_run() {
  if [ "$best_ns" = 0 ] || [ "$m_ns" -lt "$best_ns" ]; then best_ns=$m_ns; fi
  if [ -n "$m_kb" ]; then
    if [ -z "$peak_kb" ] || [ "$m_kb" -gt "$peak_kb" ]; then peak_kb=$m_kb; fi
  fi
}

secs() { awk -v n="$1" 'BEGIN { printf "%.3f s", n / 1e9 }'; }
rate() { awk -v b="$1" -v n="$2" 'BEGIN { if (n > 0) printf "%.1f MB/s", b / 1e6 / (n / 1e9); else print "n/a" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
memtext() {
  if [ -n "$1" ]; then awk -v k="$1" 'BEGIN { printf "%.1f MB (%d KB)", k / 1024, k }'; else echo "n/a (no GNU time)"; fi
}
goal_ratio() {  # goal_ratio RATIO LIMIT
  awk -v r="$1" -v l="$2" 'BEGIN { if (r == "n/a") print "n/a"; else if (r + 0 <= l + 0) print "met"; else print "NOT met" }'
}
goal_memory() {
  if [ -z "$1" ]; then echo "n/a"; elif [ "$1" -lt 8192 ]; then echo "met"; else echo "NOT met"; fi
}

failures=0
fail() {
  echo "  FAIL: $*"
  failures=$(( failures + 1 ))
}

# Shows what the tool printed (it prints only on failure), indented.
show_output() {
  if [ -s "$work/$1.out" ]; then
    echo "  tolvak printed:"
    head -c 600 "$work/$1.out" | sed 's/^/    | /'
    echo
  fi
}

# compare_motion ORIGINAL REBUILT KIND: dyadic values must come back byte for
# byte; other kinds are rounded by the text, so a difference is only reported.
compare_motion() {
  if cmp -s "$1" "$2"; then
    echo "  rebuilt motion file equals the original byte for byte"
  elif [ "$3" = dyadic ]; then
    fail "the rebuilt motion file differs from the original: $(cmp "$1" "$2" 2>&1 | head -n 1 | sed 's/^.*: //')"
  else
    echo "  rebuilt motion file differs from the original (expected: $3 values are rounded by the text)"
  fi
}

file_size() { stat -c %s "$1" 2>/dev/null || wc -c <"$1"; }

cp_flags=()
if cp --reflink=never /dev/null "$work/probe" 2>/dev/null; then cp_flags=(--reflink=never); fi
rm -f "$work/probe"

# --- Run ----------------------------------------------------------------------

echo "tolvak benchmark$([ "$large" = 1 ] && echo " (large)")"
echo "  tolvak       $tolvak"
echo "  make_motion  $make_motion"
echo "  scratch      $work ($(gb "$avail") free, this run needs about $(gb "$need"))"
echo "  machine      $(nproc 2>/dev/null || echo '?') cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null)"
if [ -n "$time_bin" ]; then
  echo "  memory tool  $time_bin -f %M (maximum resident set size)"
else
  echo "  memory tool  none: peak memory not measured"
fi
echo "  runs         best of $runs, warm page cache"
echo

motion="$work/motion.mot"
dump="$motion.tmp"

echo "generate: $objects objects x $frames frames, $values values, seed $seed"
measure generate "$make_motion" "$motion" --objects "$objects" --frames "$frames" --values "$values" --seed "$seed"
if [ "$m_rc" != 0 ]; then
  cat "$work/generate.out"
  echo "run_benchmark: make_motion failed" >&2
  exit 2
fi
size=$(file_size "$motion")
echo "  $size bytes ($(mb "$size")) in $(secs "$m_ns")"
if [ "$size" != "$motion_size" ]; then
  echo "run_benchmark: make_motion wrote $size bytes, the layout needs $motion_size" >&2
  exit 2
fi
echo

# Lines of a well-formed dump: 12 lines up to the object list label, a line
# per name, the empty line after the list, and per frame an empty line, the
# frame value and one line per object.
expected_lines=$(( 13 + objects + frames * (2 + objects) ))

check_dump() {  # check_dump FILE: shape checks; prints failures
  local f=$1 lines bare
  lines=$(wc -l <"$f")
  if [ "$lines" != "$expected_lines" ]; then
    fail "$(basename "$f") has $lines lines, a dump of $objects objects and $frames frames has $expected_lines"
  fi
  bare=$(LC_ALL=C grep -c -v $'\r$' "$f")
  if [ "$bare" != 0 ]; then
    fail "$(basename "$f") has $bare lines that do not end in CR LF"
  fi
}

# Launch overhead: starting a process (and GNU time) is slow on some
# machines, and every timed command pays it.
true_bin=$(type -P true)
launch_runs=$(( runs > 5 ? runs : 5 ))
reset_best
for ((i = 1; i <= launch_runs; i++)); do
  measure launch "$true_bin"
  note_run
done
launch_ns=$best_ns
echo "launch overhead: $(secs "$launch_ns") per timed command (best of $launch_runs, running $true_bin the same way)"
echo

# net NS: NS less the launch overhead, at least 1 ms.
net() {
  local n=$(( $1 - launch_ns ))
  [ "$n" -ge 1000000 ] || n=1000000
  echo "$n"
}

# -r ---------------------------------------------------------------------------
echo "tolvak -r (motion file -> dump)"
reset_best
have_dump=1
for ((i = 1; i <= runs; i++)); do
  rm -f "$dump"
  sync
  measure read "$tolvak" -r "$motion"
  note_run
  if [ ! -s "$dump" ]; then
    have_dump=0
    break
  fi
done
show_output read
if [ "$have_dump" = 0 ]; then
  fail "tolvak -r wrote no dump at $(basename "$dump") (exit status $m_rc) - is the -r converter built yet?"
  read_ns=0
  dump_size=0
else
  read_ns=$best_ns
  read_kb=$peak_kb
  dump_size=$(file_size "$dump")
  echo "  best $(secs "$read_ns"); dump $dump_size bytes ($(mb "$dump_size")) = $(rate "$dump_size" "$read_ns") written"
  echo "  motion file read at $(rate "$motion_size" "$read_ns"); peak memory $(memtext "$read_kb")"
  check_dump "$dump"
fi
echo

if [ "$have_dump" = 1 ]; then
  # cp baseline ----------------------------------------------------------------
  echo "cp of the dump (baseline, $(mb "$dump_size"))"
  reset_best
  for ((i = 1; i <= runs; i++)); do
    rm -f "$work/copy"
    sync
    measure copy cp "${cp_flags[@]}" "$dump" "$work/copy"
    note_run
  done
  cp_ns=$best_ns
  rm -f "$work/copy"
  echo "  best $(secs "$cp_ns") = $(rate "$dump_size" "$cp_ns"); peak memory $(memtext "$peak_kb")"
  echo

  # -w -------------------------------------------------------------------------
  echo "tolvak -w (dump -> motion file)"
  rebuilt="$work/rebuilt.mot"
  reset_best
  have_rebuilt=1
  for ((i = 1; i <= runs; i++)); do
    rm -f "$rebuilt"
    cp "${cp_flags[@]}" "$dump" "$rebuilt.tmpw"
    sync
    measure write "$tolvak" -w "$rebuilt"
    note_run
    if [ ! -s "$rebuilt" ]; then
      have_rebuilt=0
      break
    fi
  done
  show_output write
  write_ns=$best_ns
  write_kb=$peak_kb
  if [ -e "$rebuilt.tmpw" ]; then
    fail "tolvak -w left its dump $(basename "$rebuilt").tmpw behind"
    rm -f "$rebuilt.tmpw"
  fi
  if [ "$have_rebuilt" = 0 ]; then
    fail "tolvak -w wrote no motion file (exit status $m_rc) - is the -w converter built yet?"
  else
    echo "  best $(secs "$write_ns"); dump read at $(rate "$dump_size" "$write_ns"); peak memory $(memtext "$write_kb")"
    rebuilt_size=$(file_size "$rebuilt")
    if [ "$rebuilt_size" != "$motion_size" ]; then
      fail "the rebuilt motion file has $rebuilt_size bytes, the layout needs $motion_size"
    fi
  fi
  echo

  # Goals ----------------------------------------------------------------------
  # Judged on times net of the launch overhead, which would otherwise flatter
  # the slower command.
  r_ratio=$(ratio "$(net "$read_ns")" "$(net "$cp_ns")")
  echo "goals (reported, not enforced; ratios net of the launch overhead, raw in brackets)"
  printf '  %-34s goal <= 2x:  %s\n' "-r / cp = ${r_ratio}x ($(ratio "$read_ns" "$cp_ns")x)" "$(goal_ratio "$r_ratio" 2)"
  printf '  %-34s goal < 8 MB: %s\n' "-r peak memory $(memtext "$read_kb" | cut -d' ' -f1-2)" "$(goal_memory "$read_kb")"
  if [ "$have_rebuilt" = 1 ]; then
    w_ratio=$(ratio "$(net "$write_ns")" "$(net "$cp_ns")")
    printf '  %-34s goal <= 3x:  %s\n' "-w / cp = ${w_ratio}x ($(ratio "$write_ns" "$cp_ns")x)" "$(goal_ratio "$w_ratio" 3)"
    printf '  %-34s goal < 8 MB: %s\n' "-w peak memory $(memtext "$write_kb" | cut -d' ' -f1-2)" "$(goal_memory "$write_kb")"
  fi
  echo

  # Round trip -----------------------------------------------------------------
  if [ "$have_rebuilt" = 1 ]; then
    echo "round trip ($values values)"
    compare_motion "$motion" "$rebuilt" "$values"
    if [ "$values" != dyadic ]; then
      mv "$dump" "$dump.first"
      "$tolvak" -r "$rebuilt" >"$work/second.out" 2>&1 </dev/null
      if [ ! -s "$rebuilt.tmp" ]; then
        fail "the second tolvak -r wrote no dump"
      elif cmp -s "$dump.first" "$rebuilt.tmp"; then
        echo "  second -r dump (of the rebuilt file) equals the first: yes"
      else
        echo "  second -r dump (of the rebuilt file) equals the first: no ($(cmp "$dump.first" "$rebuilt.tmp" 2>&1 | head -n 1 | sed 's/^.*: //'))"
      fi
    fi
    echo
  fi
fi

# A byte-for-byte check on dyadic values when the timed file had other values.
if [ "$values" != dyadic ] && [ "$have_dump" = 0 ]; then
  echo "round trip (dyadic values): skipped, it needs a working -r"
  echo
elif [ "$values" != dyadic ]; then
  rm -f "$work"/*.mot "$work"/*.tmp "$work"/*.tmpw "$work"/*.first
  echo "round trip (dyadic values, $objects objects x $frames frames)"
  d_motion="$work/dyadic.mot"
  d_rebuilt="$work/dyadic_rebuilt.mot"
  "$make_motion" "$d_motion" --objects "$objects" --frames "$frames" --values dyadic --seed "$seed" >/dev/null ||
    { echo "run_benchmark: make_motion failed" >&2; exit 2; }
  "$tolvak" -r "$d_motion" >"$work/dyadic_r.out" 2>&1 </dev/null
  if [ ! -s "$d_motion.tmp" ]; then
    fail "tolvak -r wrote no dump for the dyadic file"
  else
    mv "$d_motion.tmp" "$d_rebuilt.tmpw"
    "$tolvak" -w "$d_rebuilt" >"$work/dyadic_w.out" 2>&1 </dev/null
    if [ ! -e "$d_rebuilt" ]; then
      fail "tolvak -w wrote no motion file for the dyadic dump"
    else
      compare_motion "$d_motion" "$d_rebuilt" dyadic
    fi
  fi
  echo
fi

if [ "$failures" = 0 ]; then
  echo "result: all checks passed"
  exit 0
fi
echo "result: $failures check(s) FAILED"
exit 1
