#!/bin/sh
# The install, whole: `cmake --install` of a build into a temporary prefix; there,
# every program installed runs and answers --version (the MPI drivers are only
# looked for: they run under mpirun), and a project outside the build, on the
# installed package, trains on the sample with the same settings as the installed
# kmeans_mt and writes the same model bytes:
#   - consumer, consumer_static: find_package(kmeans), kmeans::kmeans and
#     kmeans::kmeans_static;
#   - through kmeans.pc (when pkg-config is at hand): the shared library, then the
#     static one with the libraries kmeans.pc lists for it.
# Usage: check_install.sh <build> <consumer source> <sample dir> <version> <c++>
#        <pkg-config or empty> <libdir under the prefix> <program>...
set -eu
build=$1 consumer=$2 sample=$3 version=$4 cxx=$5 pkgconfig=$6 libdir=$7
shift 7

work=$(mktemp -d "${TMPDIR:-/tmp}/kmeans_install_XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install"
echo "installed into $prefix:"
(cd "$prefix" && find . -type f -o -type l | sort | sed 's/^\.\//  /')

for program in "$@"; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program not installed"
  case $program in *_mpi) continue ;; esac
  line=$("$prefix/bin/$program" --version) || fail "$program --version: status $?"
  [ "$line" = "$program $version" ] || fail "$program --version printed '$line'"
done

# The reference: the installed trainer, 5 passes of 24 centres in blocks of 700 rows.
k=24 iterations=5 block=700 threads=2
"$prefix/bin/kmeans_mt" -k $k -i $iterations -b $block -p $threads "$sample/train.txt" \
  "$work/model_mt.txt" >"$work/mt.log" || fail "installed kmeans_mt"

same_model() {  # <program> <label>
  "$1" "$sample/train.txt" "$work/model_$2.txt" $k $iterations $block $threads \
    >"$work/$2.log" || fail "$2: status $?"
  cmp "$work/model_mt.txt" "$work/model_$2.txt" || fail "$2: not kmeans_mt's model"
  echo "$2: the model of kmeans_mt, $(wc -c <"$work/model_$2.txt") bytes"
}

cmake -S "$consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DKMEANS_VERSION="$version" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "find_package(kmeans $version)"; }
cmake --build "$work/consumer" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "the consumer does not build"; }
same_model "$work/consumer/consumer" find_package_shared
same_model "$work/consumer/consumer_static" find_package_static

if [ -x "$pkgconfig" ]; then
  export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
  [ "$("$pkgconfig" --modversion kmeans)" = "$version" ] || fail "kmeans.pc's version"
  # shellcheck disable=SC2046 # the flags are words
  "$cxx" -std=c++17 -o "$work/pc_shared" "$consumer/main.cpp" \
    $("$pkgconfig" --cflags --libs kmeans) \
    -Wl,-rpath,"$("$pkgconfig" --variable=libdir kmeans)" || fail "build on kmeans.pc"
  same_model "$work/pc_shared" pkg_config_shared
  # shellcheck disable=SC2046
  "$cxx" -std=c++17 -o "$work/pc_static" "$consumer/main.cpp" \
    $("$pkgconfig" --static --cflags --libs kmeans | sed 's/-lkmeans/-l:libkmeans.a/') ||
    fail "static build on kmeans.pc"
  same_model "$work/pc_static" pkg_config_static
else
  echo "pkg-config not found: kmeans.pc not checked"
fi

# The Python package, when the build has it (PYTHON and PYTHON_DIR, under the prefix,
# in the environment): imported from the prefix alone, it trains the same centres.
if [ -n "${PYTHON:-}" ]; then
  PYTHONPATH="$prefix/$PYTHON_DIR" "$PYTHON" - "$sample/train.txt" "$work/model_mt.txt" \
    $k $iterations $block $threads <<'EOF' || fail "the installed Python package"
import sys
import numpy as np
import kmeans
data, model, k, iterations, block, threads = sys.argv[1:]
where = sys.path[1]
assert kmeans.__file__.startswith(where), kmeans.__file__
rows = np.loadtxt(data, skiprows=1, dtype=np.float32)
run = kmeans.train(rows, int(k), iterations=int(iterations), block=int(block),
                   threads=int(threads))
kmeans.save_model(model + ".py.txt", run.centers)
with open(model, "rb") as a, open(model + ".py.txt", "rb") as b:
    assert a.read() == b.read(), "not kmeans_mt's model"
print("python: the model of kmeans_mt, from", kmeans.__file__[len(where) + 1:])
EOF
fi
