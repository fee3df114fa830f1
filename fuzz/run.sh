#!/bin/sh
# Runs every harness: first over its committed corpus (the seeds and every input that
# once crashed it, as regression cases), then fuzzes it for SECONDS (default 5).
# Exits non-zero as soon as a harness fails; its log is printed.
# Usage: fuzz/run.sh <directory of built harnesses> [SECONDS]
BIN=$1
SECONDS_EACH=${2:-5}
HERE=$(cd "$(dirname "$0")" && pwd)
LOG=$(mktemp)
for h in data_file binary model sift list decompose options; do
  corpus="$HERE/corpus/$h"
  work=$(mktemp -d)
  echo "== fuzz_$h: $(ls "$corpus" | wc -l) committed inputs, then ${SECONDS_EACH}s"
  if ! "$BIN/fuzz_$h" -runs=0 "$corpus" > "$LOG" 2>&1 ||
     ! "$BIN/fuzz_$h" -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=10 \
         -rss_limit_mb=4096 -artifact_prefix="$work/" "$work" "$corpus" > "$LOG" 2>&1; then
    tail -40 "$LOG"
    echo "fuzz_$h failed; the input is in $work"
    exit 1
  fi
  grep -E "^Done" "$LOG" | tail -1
  rm -rf "$work"
done
rm -f "$LOG"
