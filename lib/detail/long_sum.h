// long_sum.h - exact sums of doubles of any magnitude within a known range, for the
// squared distances that no 128-bit grid holds (exact_sums.h), and the exact mean of
// a sum held on several levels of a grid. exact_mean builds its number from the same
// 32-bit digits and carries.
//
// A register is `count` signed 64-bit words; word j weighs 2^(base + 32 j), so that a
// register for values in [2^base, 2^top) takes about (top - base) / 32 words. Adding
// a value (a whole multiple of 2^base, below 2^top in magnitude) adds its mantissa,
// shifted to its place, as three 32-bit digits into three consecutive words: every
// word then grows by less than 2^32 an addition, so a register takes 2^31 additions
// before long_carry() must bring its words back to 32-bit digits (the last keeps the
// sign and whatever is above). The sum is exact and the same whatever the order of
// the additions; two registers of the same layout add word by word.
#ifndef KMEANS_LONG_SUM_H
#define KMEANS_LONG_SUM_H

#include <cstdint>
#include <cstring>

namespace kmeans::detail {

using int128 = __int128;

// Words of a register for values in [2^base, 2^top), with room for sums of up to
// 2^90 of them.
inline int long_words(int base, int top) { return top > base ? ((top - base) >> 5) + 3 : 3; }

// Adds v to the register. A value that is not finite, not a multiple of 2^base or
// not below 2^top (the layout's limits) is not added.
inline void long_add(std::int64_t* words, int count, int base, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int field = int(bits >> 52) & 0x7ff;
    std::uint64_t m = bits & 0xfffffffffffffull;
    if (field == 0x7ff || (field == 0 && m == 0)) return;
    int e = field == 0 ? -1074 : field - 1075;
    if (field != 0) m |= std::uint64_t(1) << 52;
    const int zeros = __builtin_ctzll(m);  // v = m * 2^e with m odd
    m >>= zeros;
    e += zeros;
    const int at = e - base;
    if (at < 0) return;
    const int j = at >> 5;
    if (j + 2 >= count) return;
    const unsigned __int128 w = static_cast<unsigned __int128>(m) << (at & 31);
    const std::int64_t d0 = std::int64_t(std::uint64_t(w) & 0xffffffffu);
    const std::int64_t d1 = std::int64_t(std::uint64_t(w >> 32) & 0xffffffffu);
    const std::int64_t d2 = std::int64_t(std::uint64_t(w >> 64));
    if (bits >> 63) {
        words[j] -= d0;
        words[j + 1] -= d1;
        words[j + 2] -= d2;
    } else {
        words[j] += d0;
        words[j + 1] += d1;
        words[j + 2] += d2;
    }
}

// Brings every word but the last to a digit in [0, 2^32), carrying into the next;
// the value is unchanged.
void long_carry(std::int64_t* words, int count);

// The register's value, to about one rounding (for terms that are themselves
// rounded: a distortion, an offset).
double long_value(const std::int64_t* words, int count, int base);

// The mean (S / members) rounded once to float, to nearest, ties to even, where S is
// the sum over j < count of levels[j] * 2^-(shift + step j).
float exact_mean(const int128* levels, int count, int shift, int step, int members);

}  // namespace kmeans::detail

#endif  // KMEANS_LONG_SUM_H
