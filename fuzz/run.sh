#!/bin/sh
# Runs every harness: first over its committed corpus (the seeds and every input that
# once crashed it, as regression cases), then fuzzes it for SECONDS (default 5).
# Usage: fuzz/run.sh <directory of built harnesses> [SECONDS]
set -e
BIN=$1
SECONDS_EACH=${2:-5}
HERE=$(cd "$(dirname "$0")" && pwd)
for h in data_file model sift list decompose options; do
  corpus="$HERE/corpus/$h"
  mkdir -p "$corpus"
  work=$(mktemp -d)
  echo "== fuzz_$h: regression over $(ls "$corpus" | wc -l) committed inputs, then ${SECONDS_EACH}s"
  "$BIN/fuzz_$h" -runs=0 "$corpus" 2>&1 | tail -1
  "$BIN/fuzz_$h" -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
      "$work" "$corpus" 2>&1 | grep -E "^(Done|#[0-9]+ *DONE)|ERROR|SUMMARY" || true
  rm -rf "$work"
done
