// consumer <data> <model> <k> <iterations> <block size> <threads>: trains on a text
// data file ("n d", then n rows of d values) through the installed libkmeans and writes
// the model, as kmeans_mt -k -i -b -p does. Rows are augmented with -0.5 (kmeans.h).
// The engine is namespace kmeans.
#include <kmeans/kmeans.h>

#include <cstdlib>
#include <fstream>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 7) return 2;
    std::ifstream in(argv[1]);
    int n = 0, d = 0;
    in >> n >> d;
    std::vector<float> rows(std::size_t(n) * std::size_t(d + 1), -0.5f);
    for (std::size_t i = 0; i < std::size_t(n); ++i)
        for (std::size_t j = 0; j < std::size_t(d); ++j) in >> rows[i * std::size_t(d + 1) + j];
    kmeans::KMeans::nb_threads = std::atoi(argv[6]);
    std::vector<int> nearest(n > 0 ? std::size_t(n) : 1);
    kmeans::KMeans model;
    if (!in || !kmeans::KMeans::blasReady() ||
        !model.run(rows.data(), n, d, std::atoi(argv[3]), std::atoi(argv[4]), nearest.data(),
                   std::atoi(argv[5])))
        return 1;
    return model.writeModel(argv[2]) ? 0 : 1;
}
