// Compile-time elementary functions for the constant tables (FFT twiddles, mel
// weights, fixed-point sigmoid and softmax exponents). The
// standard library's maths functions are not constexpr, so the tables are built
// from series that are accurate to a few units in the last place of a double;
// every table entry is then rounded (to an integer or to 7 decimals), far coarser
// than the series error. The tests recompute every entry with the run-time libm
// functions and require equality.
#pragma once

#include <cstdint>

namespace kx_const_math {

constexpr double kPi = 3.141592653589793;
constexpr double kLn2 = 0.6931471805599453;
constexpr double kLn10 = 2.302585092994046;

// Rounds half away from zero, like std::round.
constexpr double round(double x) {
    if (x < 0) return -round(-x);
    const auto whole = static_cast<int64_t>(x);
    return static_cast<double>(x - static_cast<double>(whole) >= 0.5 ? whole + 1 : whole);
}

// Rounds to 7 decimal places, as the tables of twiddles and weights are stored.
constexpr float round7(double x) { return static_cast<float>(round(x * 1e7) / 1e7); }

// Taylor series, |x| <= pi/4.
constexpr double sin_series(double x) {
    double term = x, sum = x;
    for (int n = 1; n <= 12; ++n) {
        term *= -x * x / ((2.0 * n) * (2.0 * n + 1.0));
        sum += term;
    }
    return sum;
}

constexpr double cos_series(double x) {
    double term = 1.0, sum = 1.0;
    for (int n = 1; n <= 12; ++n) {
        term *= -x * x / ((2.0 * n - 1.0) * (2.0 * n));
        sum += term;
    }
    return sum;
}

// sin(2 pi num / den) for den > 0, reduced exactly in integers to the nearest
// quarter turn so that the series only sees |x| <= pi/4.
constexpr double sin_turns(int64_t num, int64_t den) {
    num %= den;
    if (num < 0) num += den;
    const int64_t quarter = (4 * num + den / 2) / den;  // nearest multiple of den / 4
    const double x = 2.0 * kPi * static_cast<double>(4 * num - quarter * den) / static_cast<double>(4 * den);
    switch (quarter % 4) {
        case 0: return sin_series(x);
        case 1: return cos_series(x);
        case 2: return -sin_series(x);
        default: return -cos_series(x);
    }
}

constexpr double cos_turns(int64_t num, int64_t den) { return sin_turns(4 * num + den, 4 * den); }

// Natural logarithm, x > 0: x = m 2^e with m in [sqrt(1/2), sqrt(2)), then the
// atanh series of (m - 1) / (m + 1).
constexpr double ln(double x) {
    int e = 0;
    while (x > 1.4142135623730951) {
        x /= 2.0;
        ++e;
    }
    while (x < 0.7071067811865476) {
        x *= 2.0;
        --e;
    }
    const double z = (x - 1.0) / (x + 1.0);
    double power = z, sum = 0.0;
    for (int n = 0; n < 24; ++n) {
        sum += power / (2.0 * n + 1.0);
        power *= z * z;
    }
    return 2.0 * sum + e * kLn2;
}

constexpr double log10(double x) { return ln(x) / kLn10; }

// e^x for moderate x: x = n ln2 + r with |r| <= ln2 / 2.
constexpr double exp(double x) {
    const double n = round(x / kLn2);
    const double r = x - n * kLn2;
    double term = 1.0, sum = 1.0;
    for (int k = 1; k < 24; ++k) {
        term *= r / k;
        sum += term;
    }
    for (int i = 0; i < static_cast<int>(n); ++i) sum *= 2.0;
    for (int i = 0; i > static_cast<int>(n); --i) sum /= 2.0;
    return sum;
}

constexpr double pow10(double x) { return exp(x * kLn10); }

}  // namespace kx_const_math
