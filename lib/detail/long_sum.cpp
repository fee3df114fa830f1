// long_sum.cpp - long registers (long_sum.h) and the mean they make exact.
#include "detail/long_sum.h"

#include <algorithm>
#include <cmath>

namespace kmeans::detail {

namespace {

// An exact signed number as 32-bit digits held in 64-bit words, digit i weighing
// 2^(32 i) of the number's unit; only the last may be negative after a carry.
constexpr int kMostDigits = 40;  // 1280 bits: more than any grid and register span

// Adds u (or -u) shifted left by `at` bits.
void add_digits(std::int64_t* digits, int at, unsigned __int128 u, bool negative) {
    const int j = at >> 5;
    const int s = at & 31;
    const unsigned __int128 low = u << s;
    const std::uint64_t above = s != 0 ? std::uint64_t(u >> (128 - s)) : 0;
    const std::int64_t piece[5] = {
        std::int64_t(std::uint64_t(low) & 0xffffffffu),
        std::int64_t(std::uint64_t(low >> 32) & 0xffffffffu),
        std::int64_t(std::uint64_t(low >> 64) & 0xffffffffu),
        std::int64_t(std::uint64_t(low >> 96) & 0xffffffffu),
        std::int64_t(above),
    };
    for (int i = 0; i < 5; ++i) digits[j + i] += negative ? -piece[i] : piece[i];
}

void add_digits(std::int64_t* digits, int at, int128 v) {
    const bool negative = v < 0;
    add_digits(digits, at,
               negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v),
               negative);
}

inline int top_bit(unsigned __int128 v) {
    const std::uint64_t high = std::uint64_t(v >> 64);
    return high != 0 ? 127 - __builtin_clzll(high) : 63 - __builtin_clzll(std::uint64_t(v));
}

}  // namespace

void long_carry(std::int64_t* words, int count) {
    for (int j = 0; j + 1 < count; ++j) {
        const std::int64_t carry = words[j] >> 32;  // floor: the digit left is in [0, 2^32)
        words[j] -= carry * 4294967296LL;
        words[j + 1] += carry;
    }
}

double long_value(const std::int64_t* words, int count, int base) {
    double v = 0;
    for (int j = count - 1; j >= 0; --j) v += std::ldexp(double(words[j]), base + 32 * j);
    return v;
}

// The sum goes into digits of the finest level's unit: then S / members is divided
// once from the top 128 bits of |S| (at least 2^127), which leaves a quotient of at
// least 96 bits, far more than the 24 a float keeps, and a remainder that with the
// bits below says whether anything was cut: the rounding is then decided exactly.
float exact_mean(const int128* levels, int count, int shift, int step, int members) {
    const int low = -(shift + step * (count - 1));
    std::int64_t digits[kMostDigits] = {};
    if ((step * (count - 1) + 160) / 32 + 2 > kMostDigits)
        return float(double(levels[0]) * std::ldexp(1.0, -shift) / members);
    for (int j = 0; j < count; ++j) add_digits(digits, step * (count - 1 - j), levels[j]);
    long_carry(digits, kMostDigits);
    const bool negative = digits[kMostDigits - 1] < 0;
    if (negative) {
        for (std::int64_t& g : digits) g = -g;
        long_carry(digits, kMostDigits);
    }
    int h = kMostDigits - 1;
    while (h >= 0 && digits[h] == 0) --h;
    if (h < 0) return 0.f;
    const int top = 32 * h + (63 - __builtin_clzll(std::uint64_t(digits[h])));
    const int from = top - 127;  // the window's lowest bit (may lie below bit 0)
    unsigned __int128 window = 0;
    bool cut = false;  // a non-zero bit below the window
    for (int i = h; i >= 0; --i) {
        const int at = 32 * i - from;
        const std::uint64_t digit = std::uint64_t(digits[i]);
        if (at >= 0) {
            window |= static_cast<unsigned __int128>(digit) << at;
        } else if (at > -32) {
            window |= digit >> -at;
            cut |= (digit & ((std::uint64_t(1) << -at) - 1)) != 0;
        } else {
            cut |= digit != 0;
        }
    }
    const unsigned __int128 q = window / unsigned(members);
    cut |= window % unsigned(members) != 0;
    // |S| / members = (q + f) * 2^(from + low), 0 <= f < 1, f > 0 exactly when cut.
    const int qTop = top_bit(q);
    const int unit = from + low;  // the weight of q's last bit
    int drop = qTop - 23;         // 24 bits kept, or fewer where the float is subnormal
    if (drop + unit < -149) drop = -149 - unit;
    if (drop >= qTop + 2) return negative ? -0.f : 0.f;  // below half the least subnormal
    const unsigned __int128 kept = drop >= 128 ? 0 : q >> drop;
    const unsigned __int128 rest =
        drop >= 128 ? q : q & ((static_cast<unsigned __int128>(1) << drop) - 1);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
    const bool up = rest > half || (rest == half && (cut || (kept & 1) != 0));
    const float r = float(std::ldexp(double(std::uint64_t(kept) + (up ? 1 : 0)), drop + unit));
    return negative ? -r : r;
}

}  // namespace kmeans::detail
