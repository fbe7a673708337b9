// Context numbers on AVX-512 through a grid's byte tables (see ClassPairTables
// and image_rows.hpp): 64 samples per step.
//
// W - NW and N - NW are taken as signed bytes clamped to -128 .. 127 (the
// samples shifted by -128 and subtracted with signed saturation), which the
// tables allow since no class changes beyond. Each clamped difference + 128
// indexes a 256-byte table of classes, held in four registers and read with
// two two-register byte permutes and a blend on the index's top bit; the
// number is read the same way at 16 * class of W - NW + class of N - NW.
#include "image_rows.hpp"

#if defined(__x86_64__)
// GCC 12's AVX-512 headers start some results from an undefined register and
// warn about it wherever they are inlined
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#endif

namespace rans {

#if defined(__x86_64__)
namespace {

// a 256-byte table in four registers
struct Table256 {
    __m512i part[4];
};

[[gnu::target("avx512f,avx512bw,avx512vbmi,bmi2"), gnu::always_inline]] inline Table256 load_table(
    const std::uint8_t* t) {
    return {{_mm512_loadu_si512(t), _mm512_loadu_si512(t + 64), _mm512_loadu_si512(t + 128),
             _mm512_loadu_si512(t + 192)}};
}

// t[i] for the 64 byte indices i.
[[gnu::target("avx512f,avx512bw,avx512vbmi,bmi2"), gnu::always_inline]] inline __m512i lookup(const Table256& t,
                                                                                             __m512i i) {
    const __m512i low = _mm512_permutex2var_epi8(t.part[0], i, t.part[1]);   // entries 0..127
    const __m512i high = _mm512_permutex2var_epi8(t.part[2], i, t.part[3]);  // entries 128..255
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(i), low, high);
}

}  // namespace

[[gnu::target("avx512f,avx512bw,avx512vbmi,bmi2")]] std::size_t pair_contexts_avx512(
    const ClassPairTables& pairs, const std::uint8_t* r, const std::uint8_t* u, std::size_t n, std::uint8_t* k) {
    const std::uint8_t* t = pairs.bytes;
    const Table256 class_a = load_table(t), class_b = load_table(t + 256), number = load_table(t + 512);
    const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
    for (std::size_t x = 0; x < n; x += 64) {
        // the last step's lanes past n are masked off: neither read nor written
        const __mmask64 lanes = _bzhi_u64(~0ull, static_cast<unsigned>(std::min<std::size_t>(64, n - x)));
        const __m512i W = _mm512_maskz_loadu_epi8(lanes, r + x - 1);
        const __m512i N = _mm512_maskz_loadu_epi8(lanes, u + x);
        const __m512i NW = _mm512_xor_si512(_mm512_maskz_loadu_epi8(lanes, u + x - 1), flip);
        const __m512i ia = _mm512_xor_si512(_mm512_subs_epi8(_mm512_xor_si512(W, flip), NW), flip);
        const __m512i ib = _mm512_xor_si512(_mm512_subs_epi8(_mm512_xor_si512(N, flip), NW), flip);
        const __m512i pair = _mm512_or_si512(lookup(class_a, ia), lookup(class_b, ib));
        _mm512_mask_storeu_epi8(k + x, lanes, lookup(number, pair));
    }
    return n;
}

#else

std::size_t pair_contexts_avx512(const ClassPairTables&, const std::uint8_t*, const std::uint8_t*, std::size_t,
                                 std::uint8_t*) {
    return 0;
}

#endif

}  // namespace rans
