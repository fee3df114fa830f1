"""The Python module against the programs it wraps: the same model bytes, labels,
distortions and counts as kmeans_mt and assign; its dtypes, files and errors.

ctest runs it with PYTHONPATH at the built package and KMEANS_MT, ASSIGN and
SAMPLE_DIR in the environment."""
import _thread
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import kmeans

SAMPLE = os.environ["SAMPLE_DIR"]


def run(program, *args):
    done = subprocess.run([os.environ[program], *map(str, args)], capture_output=True,
                          text=True, cwd=SAMPLE)
    assert done.returncode == 0, done.stderr
    return done.stdout


def printed_distortions(log):
    """Every step's distortion of the run kept (of the kept restart, with restarts)."""
    kept = re.search(r"^Kept restart (\d+):", log, re.M)
    if kept:
        log = re.split(r"^Restart \d+ \(seed", log, flags=re.M)[1 + int(kept.group(1))]
    return [float(v) for v in re.findall(r"^Step \[\d+\] distorion = (\S+)$", log, re.M)]


@pytest.fixture(scope="module")
def sample():
    rows = np.loadtxt(os.path.join(SAMPLE, "train.txt"), skiprows=1, dtype=np.float32)
    assert rows.shape == (2956, 128)
    return rows


# Each option set as the program spells it and as train() takes it.
OPTION_SETS = [
    ([], {}),
    (["--init=kmeans++", "--seed=7", "--restarts=2", "--empty=split"],
     dict(init="kmeans++", seed=7, restarts=2, empty="split")),
    (["--seed=5", "--tol=0.002"], dict(seed=5, tol=0.002)),
    (["--prune=always", "--empty=split"], dict(prune="always", empty="split")),
]


@pytest.mark.parametrize("flags,options", OPTION_SETS,
                         ids=["default", "kmeans++", "tol", "prune"])
def test_train_writes_the_programs_model(tmp_path, sample, flags, options):
    model, labels = tmp_path / "model.npy", tmp_path / "labels.npy"
    log = run("KMEANS_MT", "-k", 40, "-i", 12, "-p", 2, *flags, f"--labels={labels}",
              "train.txt", model)
    expected = np.load(model)
    for threads in (1, 2, 3):
        got = kmeans.train(sample, 40, iterations=12, threads=threads, **options)
        assert got.centers.dtype == np.float32
        assert got.centers.tobytes() == expected.tobytes()
        assert got.distortions == printed_distortions(log)
        assert got.iterations == len(got.distortions)
        assert np.array_equal(got.labels, np.load(labels))
    stop = "no_decrease" if "Stop before criteron." in log else (
        "tolerance" if "below the tolerance" in log else "iterations")
    assert got.stopped == stop


def test_dtypes_give_the_readers_values(tmp_path, sample):
    # uint8 rows are the float rows; float64 rows round once, as the .npy reader does.
    assert sample.max() <= 255
    as_float = kmeans.train(sample, 16, iterations=4, seed=3)
    as_bytes = kmeans.train(sample.astype(np.uint8), 16, iterations=4, seed=3)
    assert as_bytes.centers.tobytes() == as_float.centers.tobytes()
    rng = np.random.default_rng(1)
    wide = rng.normal(1e3, 0.37, size=(700, 12))  # far from zero, not on any grid
    np.save(tmp_path / "wide.npy", wide)
    log = run("KMEANS_MT", "-k", 9, "-i", 6, "-p", 2, tmp_path / "wide.npy", tmp_path / "m.npy")
    got = kmeans.train(wide, 9, iterations=6, threads=2)
    assert got.centers.tobytes() == np.load(tmp_path / "m.npy").tobytes()
    assert got.distortions == printed_distortions(log)


@pytest.mark.parametrize("bad", [
    np.zeros((4, 3), np.int32), np.zeros((4, 3), np.float16), np.zeros(12, np.float32),
    np.zeros((2, 2, 3), np.float32), np.zeros((3, 4), np.float32, order="F"),
])
def test_other_arrays_are_refused(bad):
    with pytest.raises(TypeError) as refused:
        kmeans.train(bad, 1)
    assert str(bad.dtype) in str(refused.value)
    assert str(bad.shape).replace(" ", "") in str(refused.value).replace(" ", "")


def test_labels_are_the_nearest_centres_in_double():
    rng = np.random.default_rng(2)
    X = rng.normal(size=(500, 8)).astype(np.float32)
    centres = rng.normal(size=(11, 8)).astype(np.float32)
    d2 = ((X[:, None, :].astype(np.float64) - centres[None, :, :]) ** 2).sum(axis=2)
    assert np.array_equal(kmeans.assign(X, centres), d2.argmin(axis=1))
    assert np.array_equal(kmeans.histogram(X, centres), np.bincount(d2.argmin(axis=1), minlength=11))
    run = kmeans.KMeans(5, random_state=4).fit(X)
    assert np.array_equal(run.predict(X), run.labels_)


def test_histogram_is_what_assign_writes(tmp_path, sample):
    centres = kmeans.train(sample, 24, iterations=3).centers
    kmeans.save_model(tmp_path / "m.txt", centres)
    run("ASSIGN", "-t", 0, "list_type0.txt", tmp_path / "m.txt", tmp_path / "out.txt")
    written = np.loadtxt(tmp_path / "out.txt", skiprows=1, dtype=np.int64)
    text_centres = kmeans.load_model(tmp_path / "m.txt")  # the 6 digits assign reads
    with open(os.path.join(SAMPLE, "list_type0.txt")) as names:
        files = names.read().split()[1:]
    for name, counts in zip(files, written):
        rows = np.loadtxt(os.path.join(SAMPLE, name), skiprows=1, dtype=np.float32)
        assert np.array_equal(kmeans.histogram(rows, text_centres), counts)


@pytest.mark.parametrize("suffix", [".npy", ".fvecs"])
def test_binary_models_round_trip_bit_for_bit(tmp_path, suffix):
    centres = np.random.default_rng(3).normal(size=(7, 5)).astype(np.float32)
    centres[0, 0] = np.float32(1e-42)  # subnormal
    kmeans.save_model(tmp_path / ("m" + suffix), centres)
    back = kmeans.load_model(tmp_path / ("m" + suffix))
    assert back.dtype == np.float32 and back.tobytes() == centres.tobytes()


def test_errors_are_exceptions_with_the_programs_messages(tmp_path, capfd):
    X = np.random.default_rng(4).normal(size=(20, 5)).astype(np.float32)
    with pytest.raises(ValueError, match="The number of individus is less than the number of cluster."):
        kmeans.train(X, 21)
    X[13, 2] = np.nan
    with pytest.raises(ValueError, match="row 13"):
        kmeans.train(X, 3)
    with pytest.raises(ValueError, match="row 13"):
        kmeans.assign(X, X[:2])
    with pytest.raises(ValueError, match=re.escape("Dimensions are not equal ! 4 != 5")):
        kmeans.assign(X, np.zeros((3, 4), np.float32))
    with pytest.raises(ValueError, match="finite"):
        kmeans.histogram(X[:2], X[12:14])  # a centre holding the NaN
    with pytest.raises(ValueError, match="prune must be 'off', 'on' or 'always'"):
        kmeans.train(X[:12], 3, prune="maybe")
    with pytest.raises(ValueError, match=re.escape("the initial centers have 4 dimensions, X 5")):
        kmeans.train(X[:12], None, init=np.zeros((3, 4)))
    with pytest.raises(OSError, match=re.escape(f"Cannot open file '{tmp_path}/none.npy' for reading.")):
        kmeans.load_model(tmp_path / "none.npy")
    (tmp_path / "bad.txt").write_text("2 3\n1 2 3\n")
    with pytest.raises(ValueError, match="Wrong format file"):
        kmeans.load_model(tmp_path / "bad.txt")
    with pytest.raises(OSError, match="Cannot open file .* for writing."):
        kmeans.save_model(tmp_path / "no" / "m.npy", X[:2, :2])
    out, err = capfd.readouterr()
    assert out == "" and err == ""


def test_ctrl_c_stops_training_at_the_next_block():
    X = np.random.default_rng(5).normal(size=(4000, 16)).astype(np.float32)
    lines = []

    class Watch:
        def write(self, text):
            lines.append(text)
            if text.startswith("Block 3\n"):
                _thread.interrupt_main()  # as Ctrl-C: a pending SIGINT

        def flush(self):
            pass

    saved, sys.stdout = sys.stdout, Watch()
    try:
        with pytest.raises(KeyboardInterrupt):
            kmeans.train(X, 16, iterations=50, block=100, verbose=True)
    finally:
        sys.stdout = saved
    assert "Block 3\n" in lines
    assert not any(line.startswith(("Block 5\n", "Step [")) for line in lines), lines[-3:]
