"""peers.py - other k-means implementations on the benchmark data, and the one
distortion measure every tool is judged by.

Run with Debian's interpreter (/usr/bin/python3: numpy, scikit-learn, faiss).

  peers.py run --tool sklearn|faiss --raw DATA.f32 --seeds MODEL [--d 128]
               [--iters 10] [--threads 2] [--out CENTRES.npy] [--steady]
      Trains from the given initial centres (a model file "k d" + k*d values, as
      `kmeans_mt -i 0` writes its seeds) for exactly --iters Lloyd iterations on
      --threads threads, and prints
        RESULT tool=... n=... k=... iters=... fit_s=... s_per_iter=...
      With --steady a 1-iteration fit runs first (it also warms the library up) and
      the line adds s_per_iter_steady = (t(iters) - t(1)) / (iterations - 1).
      The final centres go to --out (float32 .npy) for the distortion mode. A tool
      that cannot be imported prints "SKIP tool=... reason=..." and exits 0.
        sklearn: KMeans(init=seeds, n_init=1, max_iter=iters, tol=0, algorithm="lloyd")
        faiss:   faiss.Kmeans(d, k, niter=iters, seed=1,
                              max_points_per_centroid=n // k + 1)  (no subsampling)
                 trained with init_centroids=seeds

  peers.py distortion --raw DATA.f32 --model MODEL_OR_NPY [--d 128] [--threads 2]
      Prints "RESULT distortion=..." - the sum over all rows of the squared distance
      to the nearest of the given centres, in float64: the nearest centre is found
      with a float64 matrix product, then the distance is recomputed directly from
      the difference vector. Same code for every tool's centres.

  peers.py versions
      Prints numpy / scikit-learn / faiss versions and the BLAS / OpenMP libraries
      numpy and the peers load (threadpoolctl).

DATA.f32 is the raw little-endian float32 matrix that `gen_sift -r` writes (n*d
values, no header).
"""
import argparse
import os
import sys
import time


def parse_args():
    p = argparse.ArgumentParser(description="k-means peers and the common distortion")
    sub = p.add_subparsers(dest="mode", required=True)
    r = sub.add_parser("run")
    r.add_argument("--tool", required=True, choices=["sklearn", "faiss"])
    r.add_argument("--raw", required=True)
    r.add_argument("--seeds", required=True)
    r.add_argument("--d", type=int, default=128)
    r.add_argument("--iters", type=int, default=10)
    r.add_argument("--threads", type=int, default=2)
    r.add_argument("--out")
    r.add_argument("--steady", action="store_true",
                   help="also fit 1 iteration first: s_per_iter_steady = (t(iters) - t(1)) / "
                        "(iterations - 1), the cost of an iteration without the fit's set-up")
    s = sub.add_parser("distortion")
    s.add_argument("--raw", required=True)
    s.add_argument("--model", required=True)
    s.add_argument("--d", type=int, default=128)
    s.add_argument("--threads", type=int, default=2)
    sub.add_parser("versions")
    return p.parse_args()


ARGS = parse_args()
# Thread counts must be fixed before numpy, scikit-learn or faiss load their
# OpenMP / BLAS runtimes.
_threads = str(getattr(ARGS, "threads", 2))
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = _threads

import numpy as np  # noqa: E402


def load_raw(path, d):
    x = np.fromfile(path, dtype="<f4")
    if x.size % d != 0:
        sys.exit(f"{path}: {x.size} values are not a multiple of d = {d}")
    return x.reshape(-1, d)


def load_model(path, d=None):
    """Centres from a model file ("k d" then k*d values) or a .npy array, float64."""
    if path.endswith(".npy"):
        c = np.load(path).astype(np.float64)
    else:
        with open(path) as f:
            tokens = f.read().split()
        k, dim = int(tokens[0]), int(tokens[1])
        values = tokens[2:2 + k * dim]
        if len(values) != k * dim:
            sys.exit(f"{path}: fewer than k*d = {k * dim} values")
        c = np.array(values, dtype=np.float64).reshape(k, dim)
    if d is not None and c.shape[1] != d:
        sys.exit(f"{path}: dimension {c.shape[1]}, data has {d}")
    return c


def distortion(x, centres, chunk=8192):
    c = np.ascontiguousarray(centres, dtype=np.float64)
    cn = np.einsum("ij,ij->i", c, c)
    total = 0.0
    for s in range(0, x.shape[0], chunk):
        xb = x[s:s + chunk].astype(np.float64)
        nearest = (cn[None, :] - 2.0 * (xb @ c.T)).argmin(axis=1)
        diff = xb - c[nearest]
        total += float(np.einsum("ij,ij->", diff, diff))
    return total


def run_sklearn(x, seeds, iters, threads):
    from sklearn.cluster import KMeans
    from threadpoolctl import threadpool_limits

    km = KMeans(n_clusters=seeds.shape[0], init=seeds, n_init=1, max_iter=iters, tol=0,
                algorithm="lloyd")
    with threadpool_limits(limits=threads, user_api="openmp"):
        t0 = time.perf_counter()
        km.fit(x)
        elapsed = time.perf_counter() - t0
    return km.cluster_centers_.astype(np.float32), int(km.n_iter_), elapsed


def run_faiss(x, seeds, iters, threads):
    import faiss

    faiss.omp_set_num_threads(threads)
    n, d = x.shape
    k = seeds.shape[0]
    km = faiss.Kmeans(d, k, niter=iters, verbose=False, seed=1,
                      max_points_per_centroid=n // k + 1)
    t0 = time.perf_counter()
    km.train(x, init_centroids=seeds)
    elapsed = time.perf_counter() - t0
    return np.array(km.centroids, dtype=np.float32).reshape(k, d), iters, elapsed


def mode_run(a):
    try:
        if a.tool == "sklearn":
            import sklearn  # noqa: F401
            import threadpoolctl  # noqa: F401
        else:
            import faiss  # noqa: F401
    except Exception as e:  # not installed, or broken
        print(f"SKIP tool={a.tool} reason={type(e).__name__}:{str(e).replace(' ', '_')}")
        return 0
    x = load_raw(a.raw, a.d)
    seeds = np.ascontiguousarray(load_model(a.seeds, a.d), dtype=np.float32)
    run = run_sklearn if a.tool == "sklearn" else run_faiss
    steady = ""
    one = None
    if a.steady and a.iters > 1:
        _, one_iters, one_elapsed = run(x, seeds, 1, a.threads)  # also warms the libraries up
        one = (one_iters, one_elapsed)
    centres, iters, elapsed = run(x, seeds, a.iters, a.threads)
    if one is not None and iters > one[0]:
        steady = f" s_per_iter_steady={(elapsed - one[1]) / (iters - one[0]):.6f}"
    if a.out:
        np.save(a.out, centres)
    per = elapsed / iters if iters > 0 else float("nan")
    print(f"RESULT tool={a.tool} n={x.shape[0]} k={seeds.shape[0]} iters={iters} "
          f"threads={a.threads} fit_s={elapsed:.6f} s_per_iter={per:.6f}{steady}")
    return 0


def mode_distortion(a):
    x = load_raw(a.raw, a.d)
    c = load_model(a.model, a.d)
    print(f"RESULT distortion={distortion(x, c)!r}")
    return 0


def mode_versions():
    print(f"python {sys.version.split()[0]} ({sys.executable})")
    print(f"numpy {np.__version__}")
    try:
        import sklearn
        print(f"scikit-learn {sklearn.__version__}")
    except Exception as e:
        print(f"scikit-learn: not available ({e})")
    try:
        import faiss
        print(f"faiss {faiss.__version__}")
    except Exception as e:
        print(f"faiss: not available ({e})")
    try:
        from threadpoolctl import threadpool_info
        for lib in threadpool_info():
            print(f"  {lib.get('user_api')}: {lib.get('internal_api')} {lib.get('version') or ''} "
                  f"{lib.get('architecture') or ''} threads={lib.get('num_threads')} "
                  f"({os.path.basename(lib.get('filepath', ''))})")
    except Exception as e:
        print(f"threadpoolctl: not available ({e})")
    return 0


if __name__ == "__main__":
    if ARGS.mode == "run":
        sys.exit(mode_run(ARGS))
    if ARGS.mode == "distortion":
        sys.exit(mode_distortion(ARGS))
    sys.exit(mode_versions())
