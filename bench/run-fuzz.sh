#!/usr/bin/env bash
# bench/run-fuzz.sh SECONDS [TARGET]
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan on our code), writes the
# generated seed clips and runs each target (probe_fuzz, convert_fuzz, or only
# TARGET) for SECONDS, one fuzzer process at a time at the lowest priority.
# A round that stops on a finding is followed by another until the time is
# used. Corpora and findings stay in build/fuzz-run/ for the next call
# (KLAVENTA_FUZZ_BUILD and KLAVENTA_FUZZ_WORK choose other folders).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
SECONDS_PER_TARGET="${1:?usage: $0 SECONDS [probe_fuzz|convert_fuzz]}"
if [ $# -ge 2 ]; then TARGETS=("$2"); else TARGETS=(probe_fuzz convert_fuzz); fi
BUILD="${KLAVENTA_FUZZ_BUILD:-$ROOT/build/fuzz}"
WORK="${KLAVENTA_FUZZ_WORK:-$ROOT/build/fuzz-run}"

echo "== build ($BUILD)"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKLAVENTA_FUZZ=ON \
  -DKLAVENTA_BUILD_GUI=OFF -DKLAVENTA_BUILD_BENCH=OFF >/dev/null
nice -n 19 cmake --build "$BUILD" -j 2 --target "${TARGETS[@]}" klaventa-fuzz-seed

echo "== seeds"
mkdir -p "$WORK/seeds"
"$BUILD/fuzz/klaventa-fuzz-seed" "$WORK/seeds" 2>/dev/null | tail -1

# Without a network of its own the fuzzer cannot reach anything an input names.
ISOLATE=()
if unshare -n true 2>/dev/null; then ISOLATE=(unshare -n)
elif unshare -rn true 2>/dev/null; then ISOLATE=(unshare -rn)
else echo "note: no network namespace available, running unisolated"; fi

# The targets' temp files; a round ended by a finding leaves its own behind.
SCRATCH="$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/klaventa-fuzz.XXXXXX")"
trap 'rm -rf "$SCRATCH"' EXIT
export KLAVENTA_FUZZ_SCRATCH="$SCRATCH"

summary=()
for t in "${TARGETS[@]}"; do
  corpus="$WORK/corpus/$t" findings="$WORK/findings/$t" log="$WORK/logs/$t.log"
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  : >"$log"
  before=$(find "$findings" -type f | wc -l)
  start=$(date +%s) execs=0 rounds=0
  while :; do
    left=$((SECONDS_PER_TARGET - ($(date +%s) - start)))
    [ "$left" -gt 0 ] || break
    rounds=$((rounds + 1))
    echo "-- $t round $rounds (${left}s left)"
    (cd "$findings" && nice -n 19 "${ISOLATE[@]}" "$BUILD/fuzz/$t" -max_total_time="$left" -timeout=10 \
      -rss_limit_mb=2048 -max_len=200000 -print_final_stats=1 -artifact_prefix="$findings/" \
      "$corpus" "$WORK/seeds") >>"$log" 2>&1 || true
    n=$(grep -a 'stat::number_of_executed_units' "$log" | tail -1 | awk '{print $2}' || true)
    execs=$((execs + ${n:-0}))
    # The final stats line of this round has been counted; mark it used.
    sed -i 's/^stat::number_of_executed_units/stat::counted_units/' "$log"
  done
  elapsed=$(($(date +%s) - start))
  files=$(find "$corpus" -type f | wc -l)
  bytes=$(du -sb "$corpus" | cut -f1)
  cov=$(grep -ao 'cov: [0-9]*' "$log" | tail -1 | awk '{print $2}' || true)
  after=$(find "$findings" -type f | wc -l)
  echo "-- $t: $execs executions in ${elapsed}s ($((execs / (elapsed > 0 ? elapsed : 1))) /s), corpus $files files" \
    "($bytes bytes), coverage ${cov:-?} edges, $((after - before)) new findings ($after kept in $findings)"
  for f in $(find "$findings" -type f | sort); do echo "   $(basename "$f") $(stat -c %s "$f") bytes"; done
  summary+=("$t: $execs executions, ${elapsed}s, corpus $files files / $bytes bytes, $((after - before)) new findings")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
