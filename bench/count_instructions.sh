#!/usr/bin/env bash
# Instruction counts (valgrind callgrind) of the engine and the baseline for
# each benchmark target on a short clip: a measure the machine's load does not
# disturb. Only the conversion itself is counted (library loading is not).
#
#   bench/count_instructions.sh BUILD_DIR [SECONDS] [TARGETS...]
#   e.g. bench/count_instructions.sh build/bench 3 1 2 4 5
# Extra engine_bench arguments (e.g. --baseline-s16) can be given in BENCH_ARGS.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [SECONDS] [TARGETS...]}
seconds=${2:-3}
shift $(( $# >= 2 ? 2 : 1 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(1 2 3 4 5)
bench="$build/bench/engine_bench"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The clip: the benchmark makes it (cached) and names it.
input=$("$bench" --seconds "$seconds" --clip-only 2>/dev/null)
[ -f "$input" ] || { echo "no input clip" >&2; exit 1; }

labels=("MP4 mpeg4 1200k + aac 128k" "368x208 mpeg4 768k + aac 64k 24 kHz" "libx264 2000k 1280x720 + aac 96k"
  "mpeg2video 2000k 320x240 + mp2 192k" "176x144 mpeg4 128k + AMR-NB 7.4k mono 8 kHz")
exts=(.mp4 .mp4 .mp4 .mpg .3gp)

count() {  # side target -> instruction count of the conversion
  local side=$1 t=$2
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.$side.$t" \
    --toggle-collect='*run_engine*' --toggle-collect='*run_baseline*' \
    "$bench" --run "$side" --target "$t" --input "$input" --output "$work/out-$side-$t${exts[$((t - 1))]}" \
    ${BENCH_ARGS:-} >"$work/log.$side.$t" 2>&1 || { cat "$work/log.$side.$t" >&2; exit 1; }
  sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$work/log.$side.$t" | tail -1
}

echo "| # | Target | Engine instructions | Baseline instructions | Ratio |"
echo "|---|---|---:|---:|---:|"
for t in "${targets[@]}"; do
  b=$(count baseline "$t")
  e=$(count engine "$t")
  awk -v t="$t" -v l="${labels[$((t - 1))]}" -v e="$e" -v b="$b" \
    'BEGIN { printf "| %d | %s | %.1f M | %.1f M | %.4f |\n", t, l, e / 1e6, b / 1e6, e / b }'
done
echo
echo "Clip: ${seconds} s of the benchmark's kind (${input##*/}), callgrind instruction counts of the conversion alone."
