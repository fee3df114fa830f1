#!/bin/sh
# Trains kmeans_mt on the bundled real SIFT sample, assigns the same descriptors in
# their three file types, and reports where the outputs went.
set -e
BUILD=${1:-build}
OUT=${2:-$BUILD/demo}
BIN=$(cd "$BUILD" && pwd)
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
cd data/sample
echo "== training: kmeans_mt -k 64 -i 10 -p 2 -m $OUT/min_cluster.txt train.txt $OUT/model.txt"
"$BIN/kmeans_mt" -k 64 -i 10 -p 2 -m "$OUT/min_cluster.txt" train.txt "$OUT/model.txt" > "$OUT/train.log"
grep -E "distorion|Stop before|Finish normally" "$OUT/train.log"
echo "model: $OUT/model.txt"
echo "nearest centre of every training vector: $OUT/min_cluster.txt"
for t in 0 1 3; do
  regions=""
  [ "$t" != 0 ] && regions="-d $OUT/regions$t.bin"
  echo "== assign -t $t $regions list_type$t.txt"
  "$BIN/assign" -t $t -p 2 $regions "list_type$t.txt" "$OUT/model.txt" "$OUT/result$t.txt" > "$OUT/assign$t.log"
  # One count line per file: descriptors and clusters that got at least one.
  awk 'NR == 1 { printf "   %d files, %d clusters\n", $1, $2; next }
       { s = 0; used = 0; for (j = 1; j <= NF; j++) { s += $j; if ($j > 0) used++ }
         printf "   file %d: %d descriptors in %d non-empty clusters\n", NR - 2, s, used }' "$OUT/result$t.txt"
  echo "   result: $OUT/result$t.txt"
  [ "$t" != 0 ] && echo "   regions: $OUT/regions$t.bin ($(wc -c < "$OUT/regions$t.bin") bytes, 32 per descriptor)"
done
echo "logs: $OUT/*.log"
