#!/bin/sh
# Trains kmeans_mt on the bundled real SIFT sample and reports where the outputs went.
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
echo "model: $OUT/model.txt ($(head -c 20 "$OUT/model.txt" | head -n 1) = k d)"
echo "nearest centre of every vector: $OUT/min_cluster.txt"
echo "training log: $OUT/train.log"
