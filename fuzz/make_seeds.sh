#!/usr/bin/env bash
# Rewrites the seed corpora in fuzz/corpus/ from small motion files made by
# the benchmark generator, a few hand-made odd files, and the dumps that
# `tolvak -r` writes for them.
#
#   bash fuzz/make_seeds.sh TOLVAK MAKE_MOTION
#
# TOLVAK is any build of the tool, MAKE_MOTION the generator from bench/
# (cmake -DTOLVAK_BENCH=ON). The seeds only have to be small and varied;
# the fuzzers find the rest.
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 TOLVAK MAKE_MOTION" >&2
  exit 2
fi
tolvak=$(realpath "$1")
make_motion=$(realpath "$2")
corpus="$(cd "$(dirname "$0")" && pwd)/corpus"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

read_dir="$corpus/fuzz_read_motion"
write_dir="$corpus/fuzz_write_motion"
trip_dir="$corpus/fuzz_round_trip"
parse_dir="$corpus/fuzz_number_parse"
rm -rf "$read_dir" "$write_dir" "$trip_dir" "$parse_dir"
mkdir -p "$read_dir" "$write_dir" "$trip_dir" "$parse_dir"

# Little-endian int32 as printf escapes.
le32() {
  local v=$(( $1 & 0xFFFFFFFF ))
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255))
}

# Motion files: generated shapes, then hand-made odd ones.
"$make_motion" "$work/empty_shape.mot" --objects 0 --frames 0 --seed 1 --values dyadic >/dev/null
"$make_motion" "$work/frames_only.mot" --objects 0 --frames 3 --seed 2 --values random-bits >/dev/null
"$make_motion" "$work/one_by_one.mot" --objects 1 --frames 1 --seed 3 --values dyadic >/dev/null
"$make_motion" "$work/two_by_three.mot" --objects 2 --frames 3 --seed 4 --values random-bits >/dev/null
"$make_motion" "$work/realistic.mot" --objects 1 --frames 2 --seed 5 --values realistic >/dev/null
head -c 300 "$work/two_by_three.mot" >"$work/cut_in_second_frame.mot"
head -c 70 "$work/two_by_three.mot" >"$work/cut_in_names.mot"
printf 'TOL' >"$work/cut_in_tag.mot"
printf 'AB\nxyz\x00\x00\x00\x00\x80\x3f\x00\x00\x00\xc0\x00\x00\x80\x7f' >"$work/newline_in_tag.mot"
printf "NEGATIVE\0\0\0\0\0\0\0\0\0\0\0\0$(le32 2)$(le32 -1)\0\0\x80\x3f\0\0\0\x40" \
  >"$work/negative_objects.mot"
printf "NEGATIVE\0\0\0\0\0\0\0\0\0\0\0\0$(le32 -3)$(le32 1)Hip\0junk" >"$work/negative_frames.mot"
printf "HUGE\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0$(le32 2147483647)$(le32 2147483647)" \
  >"$work/huge_counts.mot"
printf "\r\nTAG\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0$(le32 1)$(le32 1)\nstarts with newline" \
  >"$work/newline_name.mot"
cp "$work"/*.mot "$read_dir/"

# Dumps: what -r writes for each file, and a few hand-edited ones.
for motion in "$work"/*.mot; do
  (cd "$work" && "$tolvak" -r "$(basename "$motion")" >/dev/null) || true
  if [[ -f "$motion.tmp" ]]; then
    cp "$motion.tmp" "$write_dir/$(basename "$motion" .mot).dump"
  fi
done
# Enough of the longer ones.
rm -f "$write_dir/realistic.dump" "$write_dir/cut_in_names.dump" "$write_dir/cut_in_second_frame.dump"
sed 's/\r$//' "$work/one_by_one.mot.tmp" >"$write_dir/lf_line_ends.dump"
# A pose line with eleven numbers, a frame value that does not parse, and a
# 0x1A byte that ends the input early.
awk 'NR == 17 { sub(/\t[^\t]*\r$/, "\r") } { print }' "$work/one_by_one.mot.tmp" \
  >"$write_dir/eleven_values.dump"
printf 'TAG\r\n\r\n\r\n"Total Move":\r\n\t+INF\r\n\t-NAN\r\n\t1e\r\nFrames count:\r\n\t+2\r\n' \
  >"$write_dir/odd_numbers.dump"
printf 'Objects count:\r\n\t1\r\nObjects list:\r\n\tname\x1a\r\n\r\n\r\nx\r\n' >>"$write_dir/odd_numbers.dump"

# Round-trip inputs: object count, frame count, then the file's bytes.
for shape in one_by_one two_by_three realistic; do
  n=$(od -An -tu4 -j24 -N4 "$work/$shape.mot" | tr -d ' ')
  f=$(od -An -tu4 -j20 -N4 "$work/$shape.mot" | tr -d ' ')
  { printf "\\x$(printf %02x "$n")\\x$(printf %02x "$f")"; cat "$work/$shape.mot"; } \
    >"$trip_dir/$shape.bin"
done
printf '\x04\x00NAME\x00\x0d\x1a\x0a' >"$trip_dir/four_names_no_frames.bin"

# Lines for the number parse: some of the dump's own, and odd ones.
line_of() { sed -n "$2p" "$work/$1.mot.tmp" | tr -d '\r'; }
line_of one_by_one 5 >"$parse_dir/total_move_line"
line_of one_by_one 9 >"$parse_dir/count_line"
line_of one_by_one 16 >"$parse_dir/frame_value_line"
line_of one_by_one 17 >"$parse_dir/pose_line"
line_of two_by_three 18 >"$parse_dir/wide_pose_line"
printf '\t+INF\t-NAN\t-0.00000000\t1.5e\t1.5e+\t.5\t5.\t-.\tINF' >"$parse_dir/words_and_forms"
printf '340282346638528859800000000000000000000.0 1e-46 0.00000000000000000000000000000000000000000000140129846' \
  >"$parse_dir/extremes"
printf '12345678901234567890123.456e-3 00000000000000000000000000001 4294967298' >"$parse_dir/long_digits"

echo "seeds written to $corpus:"
du -sb "$read_dir" "$write_dir" "$trip_dir" "$parse_dir"
