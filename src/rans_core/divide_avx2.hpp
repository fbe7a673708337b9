// The shard encoder's division on AVX2: the quotient of a state by a
// symbol's frequency in each 64-bit lane, exactly, without a 64-bit
// multiply-high (AVX2 has none).
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

namespace rans {

// For 0 <= x < f * 2^27 and 1 <= f <= 4096 in each lane, and h = 0.5/f
// rounded to nearest: lanes whose low 32 bits are q = x div f (the bits
// above are not part of the result). With
// x = q f + r, 0 <= r < f:
//   (x - (f - 1)/2) / f = q + (r - (f - 1)/2) / f,
// and the last term lies in [-1/2 + 1/(2f), 1/2 - 1/(2f)]: q is the integer
// nearest to it, with a margin of 1/(2f) >= 2^-13 on either side.
// - t = 2x - f + 1 + 2^40 is an integer in (0, 2^41); added to the bits of
//   the double 2^52 it fills only their mantissa, giving the double 2^52 + t,
//   and subtracting 2^52 + 2^40 leaves 2x - f + 1 exactly (every value here
//   is an integer below 2^53);
// - the fused multiply-add takes (2x - f + 1) * h = (x - (f - 1)/2)/f times
//   (1 + d), |d| <= 2^-53, exactly: within 2^27 * 2^-53 = 2^-26 of its true
//   value, so still nearer to q than to any other integer; it adds 2^52 +
//   2^32 and rounds once to the nearest double, and as every double in
//   [2^52, 2^53) is an integer, that is 2^52 + 2^32 + q;
// - the low 32 bits of that double's bits are q (2^52 is its exponent,
//   2^32 + q its mantissa), which is all the 32-bit multiply after it reads.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i divide_exact(__m256i x, __m256i f, __m256d h) {
    // f - 1 - 2^40 less the bits of 2^52, off the chain of x
    const __m256i offset = _mm256_sub_epi64(f, _mm256_set1_epi64x(0x4330000000000000 + (1ll << 40) + 1));
    const __m256d td = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_sub_epi64(_mm256_add_epi64(x, x), offset)),
                                     _mm256_set1_pd(0x1p52 + 0x1p40));
    return _mm256_castpd_si256(_mm256_fmadd_pd(td, h, _mm256_set1_pd(0x1p52 + 0x1p32)));
}

}  // namespace rans

#endif
