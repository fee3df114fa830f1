// gen_sift - writes a deterministic SIFT-like trainer data file: n vectors of d
// integers in 0..255 drawn from a mixture of Gaussian blobs, "n d" header first.
// Usage: gen_sift <n> <d> <blobs> <output> [seed]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "Use: %s <n> <d> <blobs> <output> [seed]\n", argv[0]);
        return 1;
    }
    const long n = std::atol(argv[1]);
    const int d = std::atoi(argv[2]);
    const int blobs = std::atoi(argv[3]);
    const unsigned seed = argc > 5 ? unsigned(std::atol(argv[5])) : 12345u;
    std::FILE* out = std::fopen(argv[4], "w");
    if (!out) {
        std::perror(argv[4]);
        return 1;
    }
    std::mt19937_64 gen(seed);
    // Blob centres look like SIFT: mostly small values, a few large ones.
    std::vector<float> centre(std::size_t(blobs) * d);
    std::exponential_distribution<float> expo(1.0f / 25.0f);
    for (float& c : centre) c = expo(gen);
    std::normal_distribution<float> noise(0.f, 9.f);
    std::uniform_int_distribution<int> pick(0, blobs - 1);
    std::fprintf(out, "%ld %d\n", n, d);
    std::vector<char> line(std::size_t(d) * 4 + 2);
    for (long i = 0; i < n; ++i) {
        const float* c = &centre[std::size_t(pick(gen)) * d];
        char* p = line.data();
        for (int j = 0; j < d; ++j) {
            int v = int(c[j] + noise(gen) + 0.5f);
            v = v < 0 ? 0 : (v > 255 ? 255 : v);
            p += std::sprintf(p, j + 1 < d ? "%d " : "%d\n", v);
        }
        std::fwrite(line.data(), 1, std::size_t(p - line.data()), out);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
