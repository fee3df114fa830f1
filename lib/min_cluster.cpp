// min_cluster.cpp - the single-threaded nearest-centre search: every row of the
// block on the calling thread. Prints nothing and ignores KMeans::nb_threads.
#include "kmeans.h"

void KMeans::minCluster(const float* rows, int n, int d, int k, const float* centers,
                        float* scores, int* nearest) {
    blas_single_thread();
    score_tiles(rows, n, d, k, centers, scores, nearest);
}
