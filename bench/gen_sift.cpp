// gen_sift - deterministic SIFT-like test data for the benchmarks.
//
// Trainer data (the original mode; its text output is unchanged for the same arguments):
//   gen_sift [-r <raw file>] <n> <d> <blobs> <output> [seed]
//     writes "n d", then n vectors of d integers in 0..255 drawn from a mixture of
//     Gaussian blobs, one vector per line. With -r the same vectors also go to
//     <raw file> as n*d little-endian float32 values, no header (numpy.fromfile).
//
// Descriptor files for the assigner:
//   gen_sift -t <0|1|3> <files> <m> <blobs> <dir> [seed]
//     writes <files> descriptor files of <m> 128-value descriptors each into <dir>
//     (created with its parents if missing) and the list file <dir>/list_type<t>.txt naming them
//     ("<files>", then one path per line, as <dir>/... so they resolve from the
//     directory the assigner runs in when <dir> is absolute):
//       type 0  <dir>/type0_NNNN.txt  text: "128 m", then m lines of 128 integers
//       type 1  <dir>/type1_NNNN.txt  text: "128 m", then m lines "x y a b c" + 128
//               integers; [a b; b c] is a positive-definite ellipse, b != 0 except
//               for every 50th descriptor (an axis-aligned one, b = 0 exactly)
//       type 3  <dir>/type3_NNNN.bin  binary: m records of 156 bytes: 8 zero bytes,
//               float32 y, float32 x, float32 scale, 8 zero bytes, 128 int8 values
//               (the same descriptors, clamped to 0..127)
//     The descriptors and regions depend on the seed and blobs only, not on the type:
//     the three types hold the same data. The blob centres are those of the trainer
//     data with the same <blobs> and seed, so a model trained on it fits them.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

void usage(const char* program) {
    std::fprintf(stderr,
                 "Use: %s [-r <raw float32 file>] <n> <d> <blobs> <output> [seed]\n"
                 "     %s -t <0|1|3> <files> <m> <blobs> <dir> [seed]\n",
                 program, program);
}

// Decimal text of a non-negative int: the same characters as printf("%d").
char* put_uint(char* p, unsigned v) {
    char digits[10];
    int len = 0;
    do {
        digits[len++] = char('0' + v % 10u);
        v /= 10u;
    } while (v != 0);
    while (len > 0) *p++ = digits[--len];
    return p;
}

void put_le32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

void put_float_le(unsigned char* p, float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    put_le32(p, bits);
}

// Blob centres look like SIFT: mostly small values, a few large ones. Drawn first
// from the generator, so both modes share them for the same seed and blob count.
std::vector<float> blob_centres(std::mt19937_64& gen, int blobs, int d) {
    std::vector<float> centre(std::size_t(blobs) * d);
    std::exponential_distribution<float> expo(1.0f / 25.0f);
    for (float& c : centre) c = expo(gen);
    return centre;
}

int trainer_data(long n, int d, int blobs, const char* output, const char* raw, unsigned seed) {
    std::FILE* out = std::fopen(output, "w");
    if (!out) {
        std::perror(output);
        return 1;
    }
    std::FILE* rawOut = nullptr;
    if (raw != nullptr) {
        rawOut = std::fopen(raw, "wb");
        if (!rawOut) {
            std::perror(raw);
            std::fclose(out);
            return 1;
        }
    }
    std::mt19937_64 gen(seed);
    const std::vector<float> centre = blob_centres(gen, blobs, d);
    std::normal_distribution<float> noise(0.f, 9.f);
    std::uniform_int_distribution<int> pick(0, blobs - 1);
    std::fprintf(out, "%ld %d\n", n, d);
    std::vector<char> line(std::size_t(d) * 4 + 2);
    std::vector<unsigned char> rawLine(std::size_t(d) * 4);
    bool ok = true;
    for (long i = 0; i < n; ++i) {
        const float* c = &centre[std::size_t(pick(gen)) * d];
        char* p = line.data();
        for (int j = 0; j < d; ++j) {
            int v = int(c[j] + noise(gen) + 0.5f);
            v = v < 0 ? 0 : (v > 255 ? 255 : v);
            p = put_uint(p, unsigned(v));
            *p++ = j + 1 < d ? ' ' : '\n';
            put_float_le(&rawLine[std::size_t(j) * 4], float(v));
        }
        std::fwrite(line.data(), 1, std::size_t(p - line.data()), out);
        if (rawOut)
            ok = std::fwrite(rawLine.data(), 1, rawLine.size(), rawOut) == rawLine.size() && ok;
    }
    if (rawOut) ok = std::fclose(rawOut) == 0 && ok;
    ok = std::fclose(out) == 0 && ok;
    return ok ? 0 : 1;
}

struct Descriptor {
    float x, y, a, b, c, scale;
    int values[128];
};

// Draws descriptors: values from a blob, a position in a 640 x 480 image, and an
// elliptic region of scale s (1.6 .. 25.6) and axis ratio 1 .. 3.
class Drawer {
public:
    Drawer(const std::vector<float>& centre, int blobs, std::uint64_t seed)
        : centre_(centre), gen_(seed), noise_(0.f, 9.f), pick_(0, blobs - 1), unit_(0.0, 1.0) {}

    void draw(long index, Descriptor& out) {
        const float* c = &centre_[std::size_t(pick_(gen_)) * 128];
        for (int j = 0; j < 128; ++j) {
            int v = int(c[j] + noise_(gen_) + 0.5f);
            out.values[j] = v < 0 ? 0 : (v > 255 ? 255 : v);
        }
        // Positions on a 1/100 pixel grid, written with "%.2f".
        out.x = float(std::floor(unit_(gen_) * 64000.0) / 100.0);
        out.y = float(std::floor(unit_(gen_) * 48000.0) / 100.0);
        const double s = 1.6 * std::pow(2.0, 4.0 * unit_(gen_));
        const double ratio = 1.0 + 2.0 * unit_(gen_);
        double angle = 3.14159265358979323846 * unit_(gen_);
        if (index % 50 == 0) angle = 0.0;              // axis-aligned: b = 0 exactly
        const double s1 = 3.0 * s * std::sqrt(ratio);  // semi-axes
        const double s2 = 3.0 * s / std::sqrt(ratio);
        const double co = std::cos(angle);
        const double si = std::sin(angle);
        const double l1 = 1.0 / (s1 * s1);
        const double l2 = 1.0 / (s2 * s2);
        out.a = float(co * co * l1 + si * si * l2);
        out.b = angle == 0.0 ? 0.0f : float(co * si * (l1 - l2));
        out.c = float(si * si * l1 + co * co * l2);
        out.scale = float(s);
    }

private:
    const std::vector<float>& centre_;
    std::mt19937_64 gen_;
    std::normal_distribution<float> noise_;
    std::uniform_int_distribution<int> pick_;
    std::uniform_real_distribution<double> unit_;
};

// mkdir -p: every missing directory of the path.
bool make_dirs(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            std::perror(part.c_str());
            return false;
        }
        if (slash == std::string::npos) return true;
    }
}

int descriptor_files(int type, int files, int m, int blobs, const std::string& dir, unsigned seed) {
    if (!make_dirs(dir)) return 1;
    std::mt19937_64 gen(seed);
    const std::vector<float> centre = blob_centres(gen, blobs, 128);
    // The descriptors come from a generator of their own: not the trainer's vectors.
    Drawer draws(centre, blobs,
                 std::uint64_t(seed) * 0x9E3779B97F4A7C15ull + 0x5349465453494654ull);

    const std::string listPath = dir + "/list_type" + std::to_string(type) + ".txt";
    std::FILE* list = std::fopen(listPath.c_str(), "w");
    if (!list) {
        std::perror(listPath.c_str());
        return 1;
    }
    bool ok = std::fprintf(list, "%d\n", files) > 0;
    std::vector<char> text(std::size_t(128) * 4 + 128);
    unsigned char record[156];
    Descriptor g;
    long index = 0;
    for (int f = 0; f < files && ok; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "/type%d_%04d.%s", type, f, type == 3 ? "bin" : "txt");
        const std::string path = dir + name;
        std::FILE* out = std::fopen(path.c_str(), type == 3 ? "wb" : "w");
        if (!out) {
            std::perror(path.c_str());
            std::fclose(list);
            return 1;
        }
        if (type != 3) ok = std::fprintf(out, "128 %d\n", m) > 0 && ok;
        for (int i = 0; i < m; ++i, ++index) {
            draws.draw(index, g);
            if (type == 3) {
                std::memset(record, 0, sizeof record);
                put_float_le(record + 8, g.y);
                put_float_le(record + 12, g.x);
                put_float_le(record + 16, g.scale);
                for (int j = 0; j < 128; ++j) {
                    record[28 + j] =
                        static_cast<unsigned char>(g.values[j] > 127 ? 127 : g.values[j]);
                }
                ok = std::fwrite(record, 1, sizeof record, out) == sizeof record && ok;
                continue;
            }
            char* p = text.data();
            if (type == 1) {
                p += std::sprintf(p, "%.2f %.2f %g %g %g ", double(g.x), double(g.y), double(g.a),
                                  double(g.b), double(g.c));
            }
            for (int j = 0; j < 128; ++j) {
                p = put_uint(p, unsigned(g.values[j]));
                *p++ = j + 1 < 128 ? ' ' : '\n';
            }
            ok = std::fwrite(text.data(), 1, std::size_t(p - text.data()), out) ==
                     std::size_t(p - text.data()) &&
                 ok;
        }
        ok = std::fclose(out) == 0 && ok;
        ok = std::fprintf(list, "%s\n", path.c_str()) > 0 && ok;
    }
    ok = std::fclose(list) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "gen_sift: write failed under %s\n", dir.c_str());
        return 1;
    }
    std::printf("%s\n", listPath.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* program = argv[0];
    if (argc >= 2 && std::strcmp(argv[1], "-t") == 0) {
        if (argc < 7) {
            usage(program);
            return 1;
        }
        const int type = std::atoi(argv[2]);
        const int files = std::atoi(argv[3]);
        const int m = std::atoi(argv[4]);
        const int blobs = std::atoi(argv[5]);
        const unsigned seed = argc > 7 ? unsigned(std::atol(argv[7])) : 12345u;
        if ((type != 0 && type != 1 && type != 3) || files < 0 || m < 1 || blobs < 1) {
            usage(program);
            return 1;
        }
        return descriptor_files(type, files, m, blobs, argv[6], seed);
    }
    const char* raw = nullptr;
    if (argc >= 3 && std::strcmp(argv[1], "-r") == 0) {
        raw = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc < 5) {
        usage(program);
        return 1;
    }
    const long n = std::atol(argv[1]);
    const int d = std::atoi(argv[2]);
    const int blobs = std::atoi(argv[3]);
    const unsigned seed = argc > 5 ? unsigned(std::atol(argv[5])) : 12345u;
    return trainer_data(n, d, blobs, argv[4], raw, seed);
}
