"""python_module.py - the Python module against kmeans_mt and the peers, in one run.

Run with Debian's interpreter (/usr/bin/python3: numpy, scikit-learn, faiss):

  python_module.py --build BUILD --raw DATA.f32 [--rows 200000] [--d 128] [--k 1000]
                   [--iters 10] [--threads 2] [--work DIR]

DATA.f32 is the raw float32 matrix `gen_sift -r` writes (bench/run_bench.sh makes one);
its first --rows rows are the data.
Every tool trains k centres from k random rows for exactly --iters Lloyd iterations
(tol 0) on --threads threads, each in a process of its own, one after the other:
  kmeans_mt  `kmeans_mt -k K -i I -p P DATA.npy model.npy` (the rows as .npy), wall time
             of the whole program, reading the file included; then again with
             --labels=labels.npy (one more search, under the final centres)
  module     kmeans.train(X, K, iterations=I, threads=P, labels=False): the time of the
             call, and the time with np.load of the same .npy file; then with the labels,
             against kmeans_mt --labels; its peak resident memory (VmHWM)
             against the array plus the engine's n x (d+1) float32 matrix, the
             interpreter's own resident memory (before X) taken off
  sklearn    KMeans(K, init="random", n_init=1, max_iter=I, tol=0, algorithm="lloyd").fit
  faiss      faiss.Kmeans(d, K, niter=I, seed=1, max_points_per_centroid=n // K + 1).train
It prints one RESULT line per tool, then the ratios, and checks that the module's
centres are kmeans_mt's bytes. A peer that cannot be imported is skipped.
"""
import argparse
import json
import os
import subprocess
import sys
import time


def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def child(args):
    """One tool's run, in this process: prints a JSON line."""
    os.environ.update({v: str(args.threads) for v in
                       ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")})
    import numpy as np
    if args.child == "module":
        import kmeans
    base = rss_kib("VmRSS")  # the interpreter and its libraries
    start = time.perf_counter()
    X = np.load(args.npy)
    loaded = time.perf_counter()
    out = {"tool": args.child}
    if args.child == "module":
        t = time.perf_counter()
        run = kmeans.train(X, args.k, iterations=args.iters, threads=args.threads,
                           labels=False)
        done = time.perf_counter()
        again = kmeans.train(X, args.k, iterations=args.iters, threads=args.threads)
        out["labels_s"] = time.perf_counter() - done
        assert again.centers.tobytes() == run.centers.tobytes()
        np.save(os.path.join(args.work, "module.npy"), run.centers)
        out.update(fit_s=done - t, with_load_s=done - start, iterations=run.iterations,
                   base_kib=base, peak_kib=rss_kib("VmHWM"), array_kib=X.nbytes // 1024,
                   matrix_kib=X.shape[0] * (X.shape[1] + 1) * 4 // 1024)
    elif args.child == "sklearn":
        from sklearn.cluster import KMeans
        t = time.perf_counter()
        KMeans(args.k, init="random", n_init=1, max_iter=args.iters, tol=0,
               algorithm="lloyd", random_state=1).fit(X)
        out.update(fit_s=time.perf_counter() - t)
    else:
        import faiss
        faiss.omp_set_num_threads(args.threads)
        t = time.perf_counter()
        faiss.Kmeans(X.shape[1], args.k, niter=args.iters, seed=1,
                     max_points_per_centroid=X.shape[0] // args.k + 1).train(X)
        out.update(fit_s=time.perf_counter() - t)
    out["load_s"] = loaded - start
    print(json.dumps(out))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default="build")
    p.add_argument("--raw")
    p.add_argument("--d", type=int, default=128)
    p.add_argument("--rows", type=int, default=200000)
    p.add_argument("--k", type=int, default=1000)
    p.add_argument("--iters", type=int, default=10)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--work", default="/tmp/kmeans_python_bench")
    p.add_argument("--child", choices=["module", "sklearn", "faiss"], help=argparse.SUPPRESS)
    p.add_argument("--npy", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        return child(args)

    import numpy as np
    os.makedirs(args.work, exist_ok=True)
    npy = os.path.join(args.work, "data.npy")
    X = np.fromfile(args.raw, dtype="<f4", count=args.rows * args.d).reshape(-1, args.d)
    np.save(npy, X)
    n = X.shape[0]
    del X
    build = os.path.abspath(args.build)
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    results = {}

    t = time.perf_counter()
    subprocess.run([os.path.join(build, "kmeans_mt"), "-k", str(args.k), "-i", str(args.iters),
                    "-p", str(args.threads), npy, os.path.join(args.work, "mt.npy")],
                   check=True, stdout=subprocess.DEVNULL)
    results["kmeans_mt"] = {"fit_s": time.perf_counter() - t}
    t = time.perf_counter()
    subprocess.run([os.path.join(build, "kmeans_mt"), "-k", str(args.k), "-i", str(args.iters),
                    "-p", str(args.threads), "--labels=" + os.path.join(args.work, "labels.npy"),
                    npy, os.path.join(args.work, "mt.npy")], check=True, stdout=subprocess.DEVNULL)
    results["kmeans_mt"]["labels_s"] = time.perf_counter() - t
    for tool in ("module", "sklearn", "faiss"):
        done = subprocess.run([sys.executable, __file__, "--child", tool, "--npy", npy,
                               "--k", str(args.k), "--iters", str(args.iters),
                               "--threads", str(args.threads), "--work", args.work],
                              env=env, capture_output=True, text=True)
        if done.returncode != 0:
            print(f"SKIP tool={tool} reason={done.stderr.strip().splitlines()[-1:]}")
            continue
        results[tool] = json.loads(done.stdout.strip().splitlines()[-1])
    for tool, r in results.items():
        print(f"RESULT tool={tool} n={n} k={args.k} iters={args.iters} threads={args.threads} "
              + " ".join(f"{key}={value:.4g}" if isinstance(value, float) else f"{key}={value}"
                         for key, value in r.items() if key != "tool"))
    ours = results["module"]
    same = (np.load(os.path.join(args.work, "module.npy")).tobytes() ==
            np.load(os.path.join(args.work, "mt.npy")).tobytes())
    print(f"same centres as kmeans_mt: {same}")
    mt = results["kmeans_mt"]["fit_s"]
    print(f"module / kmeans_mt: train {ours['fit_s'] / mt:.3f}, with np.load "
          f"{ours['with_load_s'] / mt:.3f}; with the labels (--labels): "
          f"{ours['labels_s'] / results['kmeans_mt']['labels_s']:.3f}")
    for peer in ("sklearn", "faiss"):
        if peer in results:
            print(f"{peer} / module: {results[peer]['fit_s'] / ours['fit_s']:.2f}x")
    added = ours["peak_kib"] - ours["base_kib"]
    held = ours["array_kib"] + ours["matrix_kib"]
    print(f"memory: peak {ours['peak_kib'] / 1024:.1f} MiB, interpreter {ours['base_kib'] / 1024:.1f}"
          f" MiB, added {added / 1024:.1f} MiB = {added / held:.3f} x (array + matrix "
          f"{held / 1024:.1f} MiB)")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
