"""Exact batch k-means for image descriptors, numpy in and numpy out.

    import numpy as np, kmeans
    X = np.load("descriptors.npy")          # n x d, float32, float64 or uint8
    run = kmeans.train(X, 1000, init="kmeans++", seed=1)
    kmeans.save_model("vocabulary.npy", run.centers)
    words = kmeans.histogram(X, run.centers)  # descriptors per visual word

The same engine as the programs kmeans_mt, kmeans_st and assign: `train` gives the
centres (bit for bit) and distortions that `kmeans_mt` writes and prints with the same
options, whatever the thread count; `histogram` gives the counts `assign` writes for a
file of these rows. X is used as it is (no copy) and converted once into the engine's
own matrix of n x (d + 1) float32 values. Every error is an exception carrying the
programs' message; Ctrl-C stops a training run at its next block.
"""
import operator
import os

from . import _kmeans

__all__ = ["train", "assign", "histogram", "load_model", "save_model", "Training", "KMeans"]
__version__ = getattr(_kmeans, "__version__", "unknown")


def _threads(threads):
    if threads is not None:
        return int(threads)
    try:
        available = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        available = os.cpu_count() or 1
    return max(1, min(available, _kmeans.most_threads))


class Training:
    """The outcome of a training run.

    centers      k x d float32, the final centres (the model the programs write)
    labels       n int32, every row's nearest final centre (ties to the lowest index), or
                 None when train() was asked for none
    distortions  one float per iteration: the distortion the programs print at that
                 step (the rows' summed squared distance to their moved centres)
    iterations   how many iterations ran
    stopped      why the run ended: "iterations" (all ran), "no_decrease" (a step did
                 not decrease the distortion), "tolerance" (the relative decrease fell
                 below tol), or "none" (iterations=0: the centres are the seeds)
    """

    __slots__ = ("centers", "labels", "distortions", "iterations", "stopped")

    def __init__(self, centers, labels, distortions, iterations, stopped):
        self.centers = centers
        self.labels = labels
        self.distortions = distortions
        self.iterations = iterations
        self.stopped = stopped

    def __repr__(self):
        k, d = self.centers.shape
        last = self.distortions[-1] if self.distortions else None
        return (f"Training(k={k}, d={d}, iterations={self.iterations}, "
                f"stopped={self.stopped!r}, distortion={last!r})")


def _seed(seed):
    if seed is None:
        return False, 1000
    if isinstance(seed, bool):
        raise TypeError("seed must be a whole number, not bool")
    value = operator.index(seed)  # ints and numpy integers; TypeError for the rest
    if not 0 <= value < 1 << 64:
        raise ValueError(f"seed must be a whole number from 0 to 2^64 - 1, not {value}")
    return True, value


def train(X, k, iterations=30, threads=None, init="random", seed=None, restarts=1, tol=0.0,
          empty="keep", block=None, verbose=False, labels=True, prune=None):
    """Trains k centres on the rows of X (a C-contiguous n x d array of float32, float64
    or uint8) and returns a Training.

    iterations  the most Lloyd iterations (the programs' -i); a step that does not
                decrease the distortion ends the run earlier
    threads     search workers (-p); the result does not depend on it. Default: the
                processors this process may run on
    init        "random" (k distinct rows), "kmeans++" or "k-means++" (k-means|| then
                k-means++), the
                initial centres as a k x d array, or the path of a model file
    seed        draws keyed by this number, the same on every machine (--seed); None:
                random seeding draws as the programs do without --seed
    restarts    runs from seed, seed+1, ...; the lowest final distortion is kept
    tol         also stop when (previous - now) / previous < tol
    empty       "keep" empty clusters, or "split": re-seed them at the farthest rows
    block       rows per block (-b); the result does not depend on it. Default: the
                programs' estimate
    verbose     the programs' progress lines on sys.stdout
    labels      False: no labels (None), which saves the search they take after the
                run (about one iteration's time)
    prune       "off", "on" or "always" (--prune): keep the rows whose bounds prove their
                centre without scoring them; the same result, faster once the centres
                settle, and half the data's size again in memory. None: as the
                KMEANS_PRUNE environment variable says (off when unset)
    """
    given = None
    if init == "k-means++":  # scikit-learn's spelling
        init = "kmeans++"
    if isinstance(init, (str, os.PathLike)) and os.fspath(init) not in ("random", "kmeans++"):
        given = load_model(init)
    elif not isinstance(init, (str, os.PathLike)):
        given = init
    if given is not None:
        rows = len(given)
        if k is not None and int(k) != rows:
            raise ValueError(f"k = {k}, but the initial centers hold {rows} rows")
        k, mode = rows, "given"
    else:
        mode = os.fspath(init)
    seeded, value = _seed(seed)
    if empty not in ("keep", "split"):
        raise ValueError(f"empty must be 'keep' or 'split', not {empty!r}")
    if prune not in (None, "off", "on", "always"):
        raise ValueError(f"prune must be 'off', 'on' or 'always', not {prune!r}")
    centers, labels, distortions, ran, stopped = _kmeans.train(
        X, int(k), int(iterations), _threads(threads), mode, given, seeded, value,
        int(restarts), float(tol), empty == "split", 0 if block is None else int(block),
        bool(verbose), bool(labels), prune or "")
    return Training(centers, labels, distortions, ran, stopped)


def assign(X, centers, threads=None):
    """Every row's nearest centre (int32, ties to the lowest index), as assign finds it."""
    return _kmeans.assign(X, centers, _threads(threads))


def histogram(X, centers, threads=None):
    """How many rows of X each centre is nearest to (int64, one per centre): the counts
    assign writes for a file of these rows."""
    return _kmeans.histogram(X, centers, _threads(threads))


def load_model(path):
    """The centres (k x d float32) of a model file as the programs read it: text, or
    .npy / .fvecs by the name's ending."""
    return _kmeans.load_model(os.fspath(path))


def save_model(path, centers):
    """Writes a model file the programs read, whole or not at all: a name ending in .npy
    or .fvecs holds the float32 values exactly, any other is the text model."""
    _kmeans.save_model(os.fspath(path), centers)


class KMeans:
    """scikit-learn's KMeans interface over train():
    n_clusters, init, n_init (restarts), max_iter, tol, random_state (seed), plus
    empty, threads and verbose as for train().
    After fit: cluster_centers_, labels_, inertia_ (the last step's distortion),
    n_iter_, distortions_, stopped_."""

    def __init__(self, n_clusters=8, *, init="random", n_init=1, max_iter=30, tol=0.0,
                 random_state=None, empty="keep", threads=None, verbose=False, prune=None):
        self.n_clusters = n_clusters
        self.init = init
        self.n_init = n_init
        self.max_iter = max_iter
        self.tol = tol
        self.random_state = random_state
        self.empty = empty
        self.threads = threads
        self.verbose = verbose
        self.prune = prune

    def fit(self, X, y=None):
        given = not isinstance(self.init, (str, os.PathLike))
        run = train(X, None if given else self.n_clusters, iterations=self.max_iter,
                    threads=self.threads, init=self.init, seed=self.random_state,
                    restarts=self.n_init, tol=self.tol, empty=self.empty,
                    verbose=self.verbose, prune=self.prune)
        self.cluster_centers_ = run.centers
        self.labels_ = run.labels
        self.distortions_ = run.distortions
        self.inertia_ = run.distortions[-1] if run.distortions else None
        self.n_iter_ = run.iterations
        self.stopped_ = run.stopped
        return self

    def predict(self, X):
        return assign(X, self.cluster_centers_, self.threads)

    def fit_predict(self, X, y=None):
        return self.fit(X).labels_
