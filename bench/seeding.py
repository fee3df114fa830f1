"""seeding.py - the trainers' seeding and repair against scikit-learn and FAISS: the
quality and speed of --init=kmeans++, and what --empty=split recovers.

Run with Debian's interpreter (/usr/bin/python3: numpy, scikit-learn, faiss):

  seeding.py --bin BUILD [--work DIR] [--threads 2] [--quick]

Every distortion below is the same measure for every tool: the sum over all rows of
the squared distance to the nearest of the final centres, in float64 (the nearest by
a float64 matrix product, the distance recomputed from the difference). Cases:

  digits      scikit-learn's digits (1797 x 64), k = 256, 20 iterations, seeds 0..4:
              ours with --init=kmeans++ against KMeans(init="k-means++", n_init=1,
              algorithm="lloyd", tol=0); the medians, and their ratio.
  blank       50,000 SIFT-like rows of which 20% are zero, k = 256, 20 iterations:
              distinct words used (labels under the final model) with the random
              seeding, with --empty=split, and with kmeans++ and split.
  split       100,000 SIFT-like rows, k = 1000, 5 iterations, every tool from our
              random seeds (kmeans_mt -i 0): ours, ours with --empty=split,
              scikit-learn's Lloyd and FAISS.
  speed       the cost of --init=kmeans++ in Lloyd iterations of the same run
              (n = 1M and 100k, d = 128, k = 1000), and scikit-learn's kmeans_plusplus
              on the 100k rows.

Prints one "RESULT case=... key=value ..." line per measurement. --quick shrinks the
speed case to n = 200k.
"""
import argparse
import os
import subprocess
import sys
import time

import numpy as np


def parse_args():
    p = argparse.ArgumentParser(description="seeding and repair against the peers")
    p.add_argument("--bin", required=True, help="build directory holding kmeans_mt")
    p.add_argument("--work", default="/tmp/kmeans_seeding")
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--quick", action="store_true")
    return p.parse_args()


def distortion(x, centres):
    """Sum of squared distances to the nearest centre, in float64, in slices."""
    x = np.asarray(x, dtype=np.float64)
    c = np.asarray(centres, dtype=np.float64)
    cn = (c * c).sum(1)
    total = 0.0
    for s in range(0, len(x), 8192):
        xs = x[s:s + 8192]
        nearest = np.argmin(cn[None, :] - 2 * xs @ c.T, axis=1)
        diff = xs - c[nearest]
        total += float((diff * diff).sum())
    return total


def sift_like(n, d, blobs, seed, blank=0.0):
    """Integers in 0..255 around `blobs` centres; a `blank` share of zero rows."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0, 120, size=(blobs, d))
    which = rng.integers(0, blobs, size=n)
    x = np.clip(np.rint(centres[which] + rng.normal(0, 25, size=(n, d))), 0, 255)
    x[rng.random(n) < blank] = 0
    return x.astype(np.float32)


class Ours:
    def __init__(self, build, work, threads):
        self.mt = os.path.join(build, "kmeans_mt")
        self.work = work
        self.threads = threads

    def train(self, data, k, iters, *options, labels=False):
        model = os.path.join(self.work, "model.npy")
        args = [self.mt, "-k", str(k), "-i", str(iters), "-p", str(self.threads), *options]
        if labels:
            args.append("--labels=" + os.path.join(self.work, "labels.npy"))
        start = time.perf_counter()
        subprocess.run(args + [data, model], check=True, stdout=subprocess.DEVNULL)
        seconds = time.perf_counter() - start
        out = {"centres": np.load(model), "seconds": seconds}
        if labels:
            out["labels"] = np.load(os.path.join(self.work, "labels.npy"))
        return out


def save(work, name, x):
    path = os.path.join(work, name)
    np.save(path, x)
    return path


def digits_case(ours, work, threads):
    from sklearn.cluster import KMeans
    from sklearn.datasets import load_digits
    x = load_digits().data.astype(np.float32)
    data = save(work, "digits.npy", x)
    mine, theirs = [], []
    for seed in range(5):
        r = ours.train(data, 256, 20, "--init=kmeans++", "--seed=%d" % seed)
        mine.append(distortion(x, r["centres"]))
        km = KMeans(256, init="k-means++", n_init=1, max_iter=20, tol=0, random_state=seed,
                    algorithm="lloyd").fit(x)
        theirs.append(distortion(x, km.cluster_centers_))
    a, b = float(np.median(mine)), float(np.median(theirs))
    print("RESULT case=digits ours_kmeanspp=%.6g sklearn_kmeanspp=%.6g ratio=%.4f"
          % (a, b, a / b))
    r = ours.train(data, 256, 20)
    print("RESULT case=digits ours_random_default=%.6g" % distortion(x, r["centres"]))


def blank_case(ours, work):
    x = sift_like(50000, 128, 300, 5, blank=0.2)
    data = save(work, "blank.npy", x)
    for label, options in [("random", ()), ("random_split", ("--empty=split",)),
                           ("kmeanspp_split", ("--init=kmeans++", "--seed=1", "--empty=split"))]:
        r = ours.train(data, 256, 20, *options, labels=True)
        words = len(np.unique(r["labels"]))
        distinct = len(np.unique(r["centres"], axis=0))
        print("RESULT case=blank seeding=%s words_used=%d distinct_centres=%d distortion=%.6g"
              % (label, words, distinct, distortion(x, r["centres"])))


def split_case(ours, work, threads):
    x = sift_like(100000, 128, 1000, 7)
    data = save(work, "split.npy", x)
    seeds = ours.train(data, 1000, 0)["centres"]
    seeds_path = save(work, "seeds.npy", seeds)
    line = "RESULT case=split"
    for label, options in [("ours", ()), ("ours_split", ("--empty=split",))]:
        r = ours.train(data, 1000, 5, "--init=" + seeds_path, *options)
        line += " %s=%.6g" % (label, distortion(x, r["centres"]))
    try:
        from sklearn.cluster import KMeans
        km = KMeans(1000, init=seeds, n_init=1, max_iter=5, tol=0, algorithm="lloyd").fit(x)
        line += " sklearn=%.6g" % distortion(x, km.cluster_centers_)
    except ImportError:
        line += " sklearn=skip"
    try:
        import faiss
        km = faiss.Kmeans(128, 1000, niter=5, seed=1, max_points_per_centroid=len(x) // 1000 + 1)
        km.train(x, init_centroids=seeds)
        line += " faiss=%.6g" % distortion(x, km.centroids)
    except ImportError:
        line += " faiss=skip"
    print(line)


def speed_case(ours, work, n, with_sklearn):
    x = sift_like(n, 128, 1000, 11)
    data = save(work, "speed.npy", x)
    del x
    base = ours.train(data, 1000, 0)["seconds"]  # reading and the random seeds
    pp = ours.train(data, 1000, 0, "--init=kmeans++", "--seed=1")["seconds"]
    three = ours.train(data, 1000, 3)["seconds"]
    per_iter = (three - base) / 3
    line = ("RESULT case=speed n=%d seeding_s=%.2f iteration_s=%.2f seeding_in_iterations=%.2f"
            % (n, pp - base, per_iter, (pp - base) / per_iter))
    if with_sklearn:
        from sklearn.cluster import kmeans_plusplus
        x = np.load(data)
        start = time.perf_counter()
        kmeans_plusplus(x, 1000, random_state=1)
        line += " sklearn_kmeanspp_s=%.2f" % (time.perf_counter() - start)
    print(line)


def main():
    args = parse_args()
    os.makedirs(args.work, exist_ok=True)
    os.environ.setdefault("OMP_NUM_THREADS", str(args.threads))
    ours = Ours(args.bin, args.work, args.threads)
    digits_case(ours, args.work, args.threads)
    blank_case(ours, args.work)
    split_case(ours, args.work, args.threads)
    speed_case(ours, args.work, 200000 if args.quick else 1000000, False)
    speed_case(ours, args.work, 100000, True)


if __name__ == "__main__":
    sys.exit(main())
