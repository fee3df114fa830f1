#!/usr/bin/env bash
# run_bench.sh - the whole benchmark in one run: builds the programs and benchmarks
# (Release, KMEANS_BENCH=ON) into build-bench, generates the data (deterministic,
# cached), then measures
#   - the search engine in memory against a bare sgemm (bench_search_mt / _st),
#   - whole trainings: kmeans_mt -p 2 -b <block> and kmeans_st, under /usr/bin/time -v,
#   - scikit-learn and FAISS from the same initial centres (bench/peers.py),
#   - the final distortion of every tool, computed by the same code (peers.py),
#   - kmeans_mt with --empty=split from the same seeds, and the seedings against the
#     peers' (bench/seeding.py),
#   - the text readers against std::ifstream (bench_parse),
#   - assign on type 0, 1 and 3 lists against reading + a bare sgemm (bench_assign),
# and prints Markdown tables (also written to $BENCH_DIR/run-n<N>-k<K>/report.md).
#
# Settings (environment):
#   BENCH_N      training vectors, d = 128          (default 1000000)
#   BENCH_K      clusters                           (default 1000)
#   BENCH_ITERS  training iterations                (default 10)
#   BENCH_BLOCK  kmeans_mt block size (-b)          (default 50000)
#   BENCH_FILES  descriptor files per list          (default 200)
#   BENCH_M      descriptors per file               (default 2000)
#   BENCH_REPS   repetitions of the parse / assign measurements, best kept (default 3)
#   BENCH_DIR    data cache and results             (default /tmp/kmeans-bench)
#   BENCH_BUILD  build directory                    (default <repo>/build-bench)
# Every measurement uses 2 threads where the tool takes a thread count.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build-bench}
DIR=${BENCH_DIR:-/tmp/kmeans-bench}
N=${BENCH_N:-1000000}
K=${BENCH_K:-1000}
ITERS=${BENCH_ITERS:-10}
BLOCK=${BENCH_BLOCK:-50000}
FILES=${BENCH_FILES:-200}
M=${BENCH_M:-2000}
REPS=${BENCH_REPS:-3}
D=128
BLOBS=500
SEED=12345
THREADS=2
PY=/usr/bin/python3
JOBS=${JOBS:-2}

BIN=$BUILD
TOOLS=$BUILD/bench
DATA=$DIR/data
RUN=$DIR/run-n$N-k$K
RESULTS=$RUN/results.txt

say() { printf '\n== %s\n' "$*"; }
# key=value lines for the report
put() { printf '%s=%s\n' "$1" "$2" >> "$RESULTS"; }
# The value of key=... in the RESULT line of a log file (empty when absent).
result_of() { grep -h '^RESULT' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p" | tail -n 1; }
now_ns() { date +%s%N; }
seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }

# timed <label> <command...>: runs the command with stdout/stderr in $RUN/<label>.log
# and .err, and records <label>_wall (s) and <label>_rss (KiB, /usr/bin/time -v).
timed() {
    local label=$1
    shift
    local t0 t1 status=0
    t0=$(now_ns)
    /usr/bin/time -v -o "$RUN/$label.time" "$@" > "$RUN/$label.log" 2> "$RUN/$label.err" || status=$?
    t1=$(now_ns)
    if [ "$status" -ne 0 ]; then
        echo "FAILED ($status): $*" >&2
        tail -n 5 "$RUN/$label.err" >&2
        return "$status"
    fi
    local wall rss
    wall=$(seconds_between "$t0" "$t1")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): *//p' "$RUN/$label.time")
    put "${label}_wall" "$wall"
    put "${label}_rss" "$rss"
    printf '   %-12s wall %8s s   peak RSS %8s KiB\n' "$label" "$wall" "$rss"
}

mkdir -p "$DATA" "$RUN"
rm -f "$RUN"/centres_*.npy "$RUN"/*.json
: > "$RESULTS"
put n "$N"; put k "$K"; put d "$D"; put iters "$ITERS"; put block "$BLOCK"
put files "$FILES"; put m "$M"; put reps "$REPS"; put threads "$THREADS"

# ------------------------------------------------------------------ build
say "build (Release, KMEANS_BENCH=ON) in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DKMEANS_BENCH=ON -DKMEANS_TESTS=OFF -DCMAKE_BUILD_TYPE=Release > "$RUN/cmake.log"
cmake --build "$BUILD" -j "$JOBS" --target kmeans_mt kmeans_st assign gen_sift bench_search_mt \
    bench_search_st bench_parse bench_assign blas_info > "$RUN/build.log"
# The programs on the other score-product library, when the build has both.
OTHER=$(sed -n 's/^KMEANS_GEMM:STRING=//p' "$BUILD/CMakeCache.txt")
OTHER=$([ "$OTHER" = onednn ] && echo openblas || echo onednn)
if cmake --build "$BUILD" -j "$JOBS" --target "kmeans_mt_$OTHER" "assign_$OTHER" \
    "bench_search_mt_$OTHER" "bench_search_st_$OTHER" >> "$RUN/build.log" 2>&1; then
    put other_gemm "$OTHER"
else
    OTHER=""
fi
echo "   done"

# ------------------------------------------------------------------ machine
say "machine"
{
    echo "cpu: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1)"
    echo "cores: $(nproc) online ($(lscpu | sed -n 's/^Thread(s) per core: *//p') thread(s) per core)"
    echo "memory: $(free -g | awk '/^Mem:/ { print $2 " GiB" }')"
    echo "kernel: $(uname -srm)"
    echo "compiler: $(g++ --version | head -n 1)"
    "$TOOLS/blas_info"
    "$PY" "$ROOT/bench/peers.py" versions || echo "python peers: not available"
    if command -v hyperfine > /dev/null; then hyperfine --version; fi
} | tee "$RUN/machine.txt" | sed 's/^/   /'

# ------------------------------------------------------------------ data
TRAIN=$DATA/train-n$N-d$D-b$BLOBS-s$SEED.txt
RAW=${TRAIN%.txt}.f32
say "data: $TRAIN"
if [ ! -s "$TRAIN" ] || [ ! -s "$RAW" ]; then
    "$TOOLS/gen_sift" -r "$RAW.tmp" "$N" "$D" "$BLOBS" "$TRAIN.tmp" "$SEED"
    mv "$RAW.tmp" "$RAW"
    mv "$TRAIN.tmp" "$TRAIN"
    echo "   generated"
else
    echo "   cached"
fi
DESC=$DATA/desc-f$FILES-m$M-b$BLOBS-s$SEED
say "descriptor files: $DESC"
if [ ! -f "$DESC/.complete" ]; then
    rm -rf "$DESC"
    for t in 0 1 3; do "$TOOLS/gen_sift" -t "$t" "$FILES" "$M" "$BLOBS" "$DESC" "$SEED" > /dev/null; done
    touch "$DESC/.complete"
    echo "   generated"
else
    echo "   cached"
fi
put train_mb "$(awk -v b="$(stat -c %s "$TRAIN")" 'BEGIN { printf "%.1f", b / 1e6 }')"

# ------------------------------------------------------------------ search engine
say "bench_search_mt / bench_search_st (n = $N, k = $K, in memory)"
BENCH_N=$N BENCH_K=$K "$TOOLS/bench_search_mt" --benchmark_out="$RUN/search_mt.json" \
    --benchmark_out_format=json 2> "$RUN/search_mt.err" | tee "$RUN/search_mt.log" | sed 's/^/   /'
BENCH_N=$N BENCH_K=$K "$TOOLS/bench_search_st" --benchmark_filter='^(Search|Iteration)/1/' \
    --benchmark_out="$RUN/search_st.json" --benchmark_out_format=json 2> "$RUN/search_st.err" |
    tee "$RUN/search_st.log" | sed 's/^/   /'

# ------------------------------------------------------------------ training
say "training (k = $K, $ITERS iterations): kmeans_mt -p $THREADS -b $BLOCK, kmeans_st"
# The -i 0 runs read the data, draw the seeds and write them as the model: their wall
# time is the part of a run that is not iterations, and their model is the peers' start.
timed mt_i0 "$BIN/kmeans_mt" -p "$THREADS" -k "$K" -i 0 -b "$BLOCK" "$TRAIN" "$RUN/seeds.txt"
timed mt "$BIN/kmeans_mt" -p "$THREADS" -k "$K" -i "$ITERS" -b "$BLOCK" "$TRAIN" "$RUN/model_mt.txt"
# The same seeds, empty clusters re-seeded after each update (--empty=split).
timed mt_split "$BIN/kmeans_mt" -p "$THREADS" -k "$K" -i "$ITERS" -b "$BLOCK" --empty=split "$TRAIN" \
    "$RUN/model_mt_split.txt"
put mt_split_steps "$(grep -c '^Step \[' "$RUN/mt_split.log" || true)"
timed st_i0 "$BIN/kmeans_st" -k "$K" -i 0 "$TRAIN" "$RUN/seeds_st.txt"
timed st "$BIN/kmeans_st" -k "$K" -i "$ITERS" "$TRAIN" "$RUN/model_st.txt"
for tool in mt st; do
    put "${tool}_steps" "$(grep -c '^Step \[' "$RUN/$tool.log" || true)"
    put "${tool}_block" "$(sed -n 's/^Block size: *//p' "$RUN/$tool.log" | head -n 1)"
done
same_models=0
cmp -s "$RUN/model_mt.txt" "$RUN/model_st.txt" && same_models=1
cmp -s "$RUN/seeds.txt" "$RUN/seeds_st.txt" || echo "   WARNING: kmeans_mt and kmeans_st seeds differ"
put models_identical "$same_models"
echo "   model files of kmeans_mt and kmeans_st identical: $([ $same_models = 1 ] && echo yes || echo NO)"

# ------------------------------------------------------------------ peers
say "peers ($ITERS iterations, $THREADS threads, from the seeds of kmeans_mt -i 0)"
for tool in sklearn faiss; do
    if timed "$tool" "$PY" "$ROOT/bench/peers.py" run --tool "$tool" --raw "$RAW" --d "$D" \
        --seeds "$RUN/seeds.txt" --iters "$ITERS" --threads "$THREADS" --out "$RUN/centres_$tool.npy" \
        --steady; then
        if grep -q '^SKIP' "$RUN/$tool.log"; then
            echo "   $(grep '^SKIP' "$RUN/$tool.log")"
            put "${tool}_skipped" 1
        else
            put "${tool}_iters" "$(result_of "$RUN/$tool.log" iters)"
            put "${tool}_fit" "$(result_of "$RUN/$tool.log" fit_s)"
            put "${tool}_per_iter" "$(result_of "$RUN/$tool.log" s_per_iter)"
            put "${tool}_steady" "$(result_of "$RUN/$tool.log" s_per_iter_steady)"
            echo "   $(grep '^RESULT' "$RUN/$tool.log")"
        fi
    else
        put "${tool}_skipped" 1
    fi
done

say "final distortion (float64, nearest centre of every row; same code for every tool)"
distortion() {
    "$PY" "$ROOT/bench/peers.py" distortion --raw "$RAW" --d "$D" --model "$2" --threads "$THREADS" \
        > "$RUN/distortion_$1.log"
    put "${1}_distortion" "$(result_of "$RUN/distortion_$1.log" distortion)"
    printf '   %-8s %s\n' "$1" "$(result_of "$RUN/distortion_$1.log" distortion)"
}
distortion seeds "$RUN/seeds.txt"
distortion mt "$RUN/model_mt.txt"
distortion mt_split "$RUN/model_mt_split.txt"
if [ "$same_models" = 1 ]; then
    put st_distortion "$(grep '^mt_distortion=' "$RESULTS" | cut -d= -f2)"
else
    distortion st "$RUN/model_st.txt"
fi
for tool in sklearn faiss; do
    if [ -f "$RUN/centres_$tool.npy" ] && ! grep -q "^${tool}_skipped=1" "$RESULTS"; then
        distortion "$tool" "$RUN/centres_$tool.npy"
    fi
done

# ------------------------------------------------------------------ parsing
say "parsing: stream extraction against DataFile and read_sift_1 (best of $REPS)"
"$TOOLS/bench_parse" -r "$REPS" -l "$DESC/list_type1.txt" "$TRAIN" | tee "$RUN/parse.log" | sed 's/^/   /'
grep -h '^RESULT' "$RUN/parse.log" | tr ' ' '\n' | grep '=' | sed 's/^/parse_/' >> "$RESULTS"

# ------------------------------------------------------------------ assign
say "assign ($FILES files x $M descriptors, model of kmeans_mt, -p $THREADS; best of $REPS)"
# best_wall <label> <command...>: best wall time of $REPS runs (after one warm-up run).
best_wall() {
    local label=$1
    shift
    if command -v hyperfine > /dev/null; then
        hyperfine -N --style basic --warmup 1 --runs "$REPS" --export-json "$RUN/$label.json" \
            "$*" > "$RUN/$label.hyperfine" 2>&1
        "$PY" -c 'import json, sys; print("%.6f" % json.load(open(sys.argv[1]))["results"][0]["min"])' \
            "$RUN/$label.json"
    else
        local best="" t0 t1 s
        "$@" > /dev/null
        for _ in $(seq "$REPS"); do
            t0=$(now_ns)
            "$@" > /dev/null
            t1=$(now_ns)
            s=$(seconds_between "$t0" "$t1")
            best=$(awk -v a="$best" -v b="$s" 'BEGIN { print (a == "" || b < a) ? b : a }')
        done
        echo "$best"
    fi
}
# The cost of a run that assigns nothing: start, model reading, allocation of R.
echo 0 > "$RUN/list_empty.txt"
fixed=$(best_wall assign_empty "$BIN/assign" -t 1 -p "$THREADS" "$RUN/list_empty.txt" "$RUN/model_mt.txt" \
    "$RUN/result_empty.txt")
put assign_fixed "$fixed"
echo "   assign with an empty list (start, model reading): best wall $fixed s"
for t in 0 1 3; do
    list=$DESC/list_type$t.txt
    "$TOOLS/bench_assign" -t "$t" -p "$THREADS" -r "$REPS" "$RUN/model_mt.txt" "$list" |
        tee "$RUN/assign_floor$t.log" | sed 's/^/   /'
    put "assign${t}_read" "$(result_of "$RUN/assign_floor$t.log" read_s)"
    put "assign${t}_sgemm" "$(result_of "$RUN/assign_floor$t.log" sgemm_s)"
    regions=()
    [ "$t" != 0 ] && regions=(-d "$RUN/regions$t.bin")
    best=$(best_wall "assign$t" "$BIN/assign" -t "$t" -p "$THREADS" "${regions[@]}" "$list" \
        "$RUN/model_mt.txt" "$RUN/result$t.txt")
    put "assign${t}_wall" "$best"
    echo "   assign -t $t: best wall $best s"
done

# ------------------------------------------------------------------ other product library
if [ -n "$OTHER" ]; then
    say "the score product through $OTHER: search, training, assign"
    BENCH_N=$N BENCH_K=$K "$TOOLS/bench_search_mt_$OTHER" --benchmark_filter="^(BareSgemm|Iteration)/$THREADS/" \
        --benchmark_out="$RUN/search_mt_other.json" --benchmark_out_format=json \
        2> "$RUN/search_mt_other.err" | tee "$RUN/search_mt_other.log" | sed 's/^/   /'
    BENCH_N=$N BENCH_K=$K "$TOOLS/bench_search_st_$OTHER" --benchmark_filter='^(BareSgemm|Iteration)/1/' \
        --benchmark_out="$RUN/search_st_other.json" --benchmark_out_format=json \
        2> "$RUN/search_st_other.err" | tee "$RUN/search_st_other.log" | sed 's/^/   /'
    timed mt_other "$BIN/kmeans_mt_$OTHER" -p "$THREADS" -k "$K" -i "$ITERS" -b "$BLOCK" "$TRAIN" \
        "$RUN/model_mt_other.txt"
    same=0
    cmp -s "$RUN/model_mt.txt" "$RUN/model_mt_other.txt" && same=1
    put other_identical "$same"
    for t in 0 1 3; do
        regions=()
        [ "$t" != 0 ] && regions=(-d "$RUN/regions_other$t.bin")
        best=$(best_wall "assign_other$t" "$BIN/assign_$OTHER" -t "$t" -p "$THREADS" "${regions[@]}" \
            "$DESC/list_type$t.txt" "$RUN/model_mt.txt" "$RUN/result_other$t.txt")
        put "assign${t}_other_wall" "$best"
        echo "   assign_$OTHER -t $t: best wall $best s"
    done
fi

# ------------------------------------------------------------------ seeding
say "seeding and empty clusters against the peers (bench/seeding.py)"
"$PY" "$ROOT/bench/seeding.py" --bin "$BIN" --work "$RUN/seeding" --threads "$THREADS" |
    tee "$RUN/seeding.log" | sed 's/^/   /' || echo "   seeding.py: not available"

# ------------------------------------------------------------------ python
say "the Python module against kmeans_mt and the peers (bench/python_module.py)"
if cmake --build "$BUILD" -j "$JOBS" --target kmeans_python >> "$RUN/build.log" 2>&1; then
    "$PY" "$ROOT/bench/python_module.py" --build "$BUILD" --raw "$RAW" --d "$D" \
        --threads "$THREADS" --work "$RUN/python" | tee "$RUN/python.log" | sed 's/^/   /' ||
        echo "   python_module.py: failed"
else
    echo "   the Python module is not built here (python3-dev, pybind11-dev)"
fi

# ------------------------------------------------------------------ report
say "report"
"$PY" "$ROOT/bench/report.py" "$RUN" | tee "$RUN/report.md"
echo
echo "(all logs and the report: $RUN)"
