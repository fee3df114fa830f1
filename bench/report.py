"""report.py - the Markdown summary of one run of bench/run_bench.sh.

  /usr/bin/python3 report.py <run directory>

Reads <run>/results.txt (key=value lines written by run_bench.sh), the Google
Benchmark JSON outputs <run>/search_mt.json and <run>/search_st.json, and
<run>/machine.txt, and prints the tables on standard output.
"""
import json
import os
import sys

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load_results(path):
    r = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if "=" in line:
                key, value = line.split("=", 1)
                r[key] = value
    return r


def load_gbench(path):
    """name prefix (e.g. "BareSgemm/2") -> real time per iteration in seconds."""
    times = {}
    if not os.path.exists(path):
        return times
    with open(path) as f:
        data = json.load(f)
    for b in data.get("benchmarks", []):
        if b.get("run_type", "iteration") != "iteration":
            continue
        parts = b["name"].split("/")
        times["/".join(parts[:2])] = b["real_time"] * UNIT[b.get("time_unit", "ns")]
    return times


def num(r, key):
    try:
        v = float(r[key])
    except (KeyError, ValueError):
        return None
    return v


def fmt(v, form):
    return "—" if v is None else format(v, form)


def mib(kib):
    return None if kib is None else kib / 1024.0


def main():
    run = sys.argv[1]
    r = load_results(os.path.join(run, "results.txt"))
    mt = load_gbench(os.path.join(run, "search_mt.json"))
    st = load_gbench(os.path.join(run, "search_st.json"))
    n, k, d = r.get("n"), r.get("k"), r.get("d")
    iters, block, threads = r.get("iters"), r.get("block"), r.get("threads", "2")
    bare = mt.get(f"BareSgemm/{threads}")

    out = []
    out.append(f"# k-means benchmark: n = {n}, d = {d}, k = {k}, {iters} iterations, "
               f"{threads} threads")
    out.append("")
    machine = os.path.join(run, "machine.txt")
    if os.path.exists(machine):
        out.append("```")
        with open(machine) as f:
            out.extend(line.rstrip("\n") for line in f)
        out.append("```")
        out.append("")

    # ---------------------------------------------------------------- training
    out.append(f"## Training ({r.get('train_mb', '?')} MB data file)")
    out.append("")
    out.append(f"| tool | iterations | s / iter (run) | s / iter (steady) | run × bare sgemm "
               f"| steady × bare sgemm | final distortion | Δ vs kmeans_mt | peak RSS (MiB) |")
    out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    ref = num(r, "mt_distortion")

    def ratio(v):
        return v / bare if v is not None and bare else None

    def row(name, its, run_s, steady_s, dist, rss):
        delta = (f"{(dist - ref) / ref * 100:+.3f} %" if dist is not None and ref else "—")
        out.append(f"| {name} | {its if its is not None else '—'} | {fmt(run_s, '.3f')} | "
                   f"{fmt(steady_s, '.3f')} | {fmt(ratio(run_s), '.2f')} | "
                   f"{fmt(ratio(steady_s), '.2f')} | {fmt(dist, '.6e')} | {delta} | "
                   f"{fmt(mib(rss), '.0f')} |")

    row(f"bare sgemm, {threads} threads (BareSgemm/{threads}: one pass, no argmax)", None, None,
        bare, None, None)
    row(f"search only, {threads} threads (bench_search_mt Search/{threads})", None, None,
        mt.get(f"Search/{threads}"), None, None)
    for tool, name, steady in (
            ("mt", f"kmeans_mt -p {threads} -b {block}", mt.get(f"Iteration/{threads}")),
            ("st", f"kmeans_st (block estimate {r.get('st_block', '?')})", st.get("Iteration/1"))):
        steps = num(r, f"{tool}_steps")
        wall, base = num(r, f"{tool}_wall"), num(r, f"{tool}_i0_wall")
        per = (wall - base) / steps if wall is not None and base is not None and steps else None
        row(name, int(steps) if steps is not None else None, per, steady,
            num(r, f"{tool}_distortion"), num(r, f"{tool}_rss"))
    steps = num(r, "mt_split_steps")
    wall, base = num(r, "mt_split_wall"), num(r, "mt_i0_wall")
    row(f"kmeans_mt -p {threads} -b {block} --empty=split",
        int(steps) if steps is not None else None,
        (wall - base) / steps if wall is not None and base is not None and steps else None, None,
        num(r, "mt_split_distortion"), num(r, "mt_split_rss"))
    for tool, name in (("sklearn", "scikit-learn KMeans (lloyd)"), ("faiss", "FAISS Kmeans")):
        if r.get(f"{tool}_skipped") == "1" or f"{tool}_per_iter" not in r:
            out.append(f"| {name} | not available | — | — | — | — | — | — | — |")
            continue
        its = num(r, f"{tool}_iters")
        row(name, int(its) if its is not None else None, num(r, f"{tool}_per_iter"),
            num(r, f"{tool}_steady"), num(r, f"{tool}_distortion"), num(r, f"{tool}_rss"))
    row("initial centres (kmeans_mt -i 0)", 0, None, None, num(r, "seeds_distortion"),
        num(r, "mt_i0_rss"))
    out.append("")
    out.append("- s / iter (run), ours: (wall time of the whole run − wall time of the same command "
               "with `-i 0`, which reads the data, draws the seeds and writes the model) / "
               "iterations run; wall times "
               f"kmeans_mt {r.get('mt_wall')} s (-i 0: {r.get('mt_i0_wall')} s), "
               f"kmeans_st {r.get('st_wall')} s (-i 0: {r.get('st_i0_wall')} s). "
               "Peers: fit time / iterations (data already in memory).")
    out.append("- s / iter (steady), ours: bench_search Iteration (a 3-iteration run minus a "
               "1-iteration run, over 2; in-memory SIFT-like data of the same shape, block 50000; "
               f"kmeans_mt: Iteration/{threads}, kmeans_st: Iteration/1 of bench_search_st). "
               "Peers: (fit of all iterations − fit of 1 iteration) / (iterations − 1).")
    out.append(f"- bare sgemm: every row against every centre, {threads} threads, one pass "
               "(bench_search_mt BareSgemm); it writes the whole score matrix, so a tiled search "
               "can come in below it.")
    out.append("- Peak RSS: /usr/bin/time -v of the process (peers: the Python process, data "
               "loaded with numpy.fromfile, after the 1-iteration and the full fit).")
    out.append("- Final distortion: Σ over all rows of the squared distance to the nearest final "
               "centre, float64, same code for every tool (our model files hold 6 significant "
               "digits; the peers' centres are kept in float32). All tools start from the seeds "
               "of `kmeans_mt -i 0`; scikit-learn stops early only when no label changes, ours "
               "when the distortion stops decreasing.")
    out.append("- kmeans_mt and kmeans_st model files identical: "
               f"{'yes' if r.get('models_identical') == '1' else 'NO'}.")
    out.append("")

    # ---------------------------------------------------------------- parsing
    out.append("## Parsing text (best of {})".format(r.get("reps")))
    out.append("")
    out.append("| input | reader | seconds | MB/s | × ifstream |")
    out.append("|---|---|---:|---:|---:|")
    mb = num(r, "parse_data_mb")
    for key, name in (("stream", "std::ifstream >> float"), ("df1", "DataFile, 1 thread"),
                      ("df2", "DataFile, 2 threads")):
        s = num(r, f"parse_data_{key}_s")
        ratio = num(r, f"parse_data_{key}_ratio") if key != "stream" else 1.0
        out.append(f"| data file ({fmt(mb, '.1f')} MB) | {name} | {fmt(s, '.3f')} | "
                   f"{fmt(mb / s if mb and s else None, '.1f')} | {fmt(ratio, '.2f')} |")
    mb1 = num(r, "parse_sift1_mb")
    for key, name in (("stream", "std::ifstream >> float (+ decompose)"), ("lib", "read_sift_1")):
        s = num(r, f"parse_sift1_{key}_s")
        ratio = num(r, "parse_sift1_ratio") if key == "lib" else 1.0
        out.append(f"| {r.get('parse_sift1_files', '?')} type-1 files ({fmt(mb1, '.1f')} MB) | "
                   f"{name} | {fmt(s, '.3f')} | {fmt(mb1 / s if mb1 and s else None, '.1f')} | "
                   f"{fmt(ratio, '.2f')} |")
    out.append("")
    out.append("Identical results: data matrices "
               f"{'yes' if r.get('parse_data_identical') == '1' else 'NO'}, type-1 descriptors and "
               f"regions {'yes' if r.get('parse_sift1_identical') == '1' else 'NO'}.")
    out.append("")

    # ---------------------------------------------------------------- assign
    fixed = num(r, "assign_fixed")
    out.append(f"## assign: {r.get('files')} files × {r.get('m')} descriptors, k = {k}, "
               f"-p {threads} (best of {r.get('reps')})")
    out.append("")
    out.append("| type | read all files (s) | bare sgemm (s) | read + sgemm (s) | assign wall (s) "
               "| assign / (read + sgemm) | (assign − empty run) / (read + sgemm) |")
    out.append("|---|---:|---:|---:|---:|---:|---:|")
    for t in ("0", "1", "3"):
        rd, sg, wall = num(r, f"assign{t}_read"), num(r, f"assign{t}_sgemm"), num(r, f"assign{t}_wall")
        floor = rd + sg if rd is not None and sg is not None else None
        net = (wall - fixed) / floor if wall is not None and fixed is not None and floor else None
        out.append(f"| {t} | {fmt(rd, '.3f')} | {fmt(sg, '.3f')} | {fmt(floor, '.3f')} | "
                   f"{fmt(wall, '.3f')} | {fmt(wall / floor if wall and floor else None, '.2f')} | "
                   f"{fmt(net, '.2f')} |")
    out.append("")
    dd = int(d) + 1 if d else "?"
    out.append(f"- read: the type's reader over every file of the list; bare sgemm: per file one "
               f"m × {dd} by k × {dd} product, rows cut in {threads} slices on {threads} threads, "
               "OpenBLAS on the calling thread (bench_assign).")
    out.append(f"- assign wall: the whole process (hyperfine, best run), with `-d` for types 1 and "
               f"3; empty run: `assign` on a list of 0 files ({fmt(fixed, '.3f')} s: start, model "
               "reading, allocation of R).")
    # ---------------------------------------------------------------- product libraries
    other = r.get("other_gemm")
    if other:
        mto = load_gbench(os.path.join(run, "search_mt_other.json"))
        sto = load_gbench(os.path.join(run, "search_st_other.json"))
        mine = "onednn" if other == "openblas" else "openblas"
        out.append(f"## The score product: {mine} (this build) against {other}")
        out.append("")
        out.append(f"| measure | {mine} | {other} | {mine} ÷ {other} |")
        out.append("|---|---:|---:|---:|")

        def both(name, a, b, form=".3f"):
            q = a / b if a is not None and b else None
            out.append(f"| {name} | {fmt(a, form)} | {fmt(b, form)} | {fmt(q, '.2f')} |")

        both(f"bare tiled product, {threads} threads (s)", bare, mto.get(f"BareSgemm/{threads}"))
        both(f"training iteration, {threads} threads (s, steady)", mt.get(f"Iteration/{threads}"),
             mto.get(f"Iteration/{threads}"))
        both("training iteration, kmeans_st (s, steady)", st.get("Iteration/1"),
             sto.get("Iteration/1"))
        both(f"kmeans_mt -i {iters}, whole run (s)", num(r, "mt_wall"), num(r, "mt_other_wall"))
        both("kmeans_mt peak RSS (MiB)", mib(num(r, "mt_rss")), mib(num(r, "mt_other_rss")), ".0f")
        for t in ("0", "1", "3"):
            both(f"assign -t {t} (s, best wall)", num(r, f"assign{t}_wall"),
                 num(r, f"assign{t}_other_wall"))
        it = mt.get(f"Iteration/{threads}")
        out.append("")
        out.append(f"- iteration ÷ bare tiled product ({mine}): "
                   f"{fmt(it / bare if it and bare else None, '.2f')}.")
        out.append(f"- model files identical: {'yes' if r.get('other_identical') == '1' else 'NO'}.")
        out.append("")

    print("\n".join(out))


if __name__ == "__main__":
    main()
