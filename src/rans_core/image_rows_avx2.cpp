// The residual part of the row pass on AVX2 (see image_rows.hpp): 32 samples
// per step. The predictor runs on 16-bit lanes, where N + W - NW cannot wrap,
// so "negative" is a plain sign test and every compare of the scalar
// predictor is a signed compare of two small numbers; the residual, |X - P|
// and the zero test run on bytes.
#include "image_rows.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace rans {

#if defined(__x86_64__)
namespace {

// predict_sample on 16 lanes of 16 bits (values 0..255).
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i predict16(__m256i W, __m256i N, __m256i NW) {
    const __m256i mn = _mm256_min_epi16(N, W), mx = _mm256_max_epi16(N, W);
    const __m256i g = _mm256_sub_epi16(_mm256_add_epi16(N, W), NW);
    __m256i p = _mm256_min_epi16(_mm256_max_epi16(g, mn), mx);
    p = _mm256_blendv_epi8(p, mx, _mm256_cmpgt_epi16(_mm256_setzero_si256(), g));  // wrapped: mx
    const __m256i fifty = _mm256_set1_epi16(50);
    const __m256i flat = _mm256_cmpgt_epi16(_mm256_set1_epi16(4), _mm256_sub_epi16(mx, mn));
    const __m256i above = _mm256_cmpgt_epi16(NW, _mm256_add_epi16(mx, fifty));
    const __m256i below = _mm256_cmpgt_epi16(_mm256_sub_epi16(mn, fifty), NW);
    __m256i snap = _mm256_blendv_epi8(p, mx, above);
    snap = _mm256_blendv_epi8(snap, mn, below);
    return _mm256_blendv_epi8(p, snap, flat);
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i widen(const std::uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Byte shuffles that gather channel c of 16 interleaved RGB pixels from the
// v-th of their three 16-byte parts (0x80: a zero byte, filled by another part).
struct ChannelShuffles {
    alignas(16) std::uint8_t mask[3][3][16];  // [channel][part][output byte]
};

constexpr ChannelShuffles make_channel_shuffles() {
    ChannelShuffles t{};
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 3; ++v)
            for (int j = 0; j < 16; ++j) {
                const int at = 3 * j + c;
                t.mask[c][v][j] = static_cast<std::uint8_t>(at / 16 == v ? at % 16 : 0x80);
            }
    return t;
}

constexpr ChannelShuffles kChannelShuffles = make_channel_shuffles();

[[gnu::target("avx2"), gnu::always_inline]] inline __m128i channel16(const __m128i (&part)[3], int c) {
    __m128i out = _mm_setzero_si128();
    for (int v = 0; v < 3; ++v) {
        const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i*>(kChannelShuffles.mask[c][v]));
        out = _mm_or_si128(out, _mm_shuffle_epi8(part[v], m));
    }
    return out;
}

// 16 bytes at p in both halves.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i row(const std::uint8_t* p) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(p)));
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i load32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// t[i] for 32 byte indices i: the row values of the constant rows, then
// each varied row's shuffle where the index lies in it.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i nibble_lookup(const NibbleTable& t, __m256i i) {
    const __m256i low4 = _mm256_set1_epi8(0x0F);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(i, 4), low4);
    const __m256i lo = _mm256_and_si256(i, low4);
    __m256i v = _mm256_shuffle_epi8(row(t.single), hi);
    for (unsigned j = 0; j < t.n_varied; ++j) {
        const __m256i in_row = _mm256_cmpeq_epi8(hi, _mm256_set1_epi8(static_cast<char>(t.varied[j])));
        v = _mm256_blendv_epi8(v, _mm256_shuffle_epi8(row(t.rows[j]), lo), in_row);
    }
    return v;
}

}  // namespace

// W - NW and N - NW as signed bytes clamped to -128 .. 127 (the samples
// shifted by -128 and subtracted with signed saturation), + 128: the
// indices of the class tables.
[[gnu::target("avx2")]] std::size_t pair_contexts_avx2(const ClassPairTables& pairs, const std::uint8_t* r,
                                                      const std::uint8_t* u, std::size_t n, std::uint8_t* k) {
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    std::size_t x = 0;
    for (; x + 32 <= n; x += 32) {
        const __m256i NW = _mm256_xor_si256(load32(u + x - 1), flip);
        const __m256i ia = _mm256_xor_si256(_mm256_subs_epi8(_mm256_xor_si256(load32(r + x - 1), flip), NW), flip);
        const __m256i ib = _mm256_xor_si256(_mm256_subs_epi8(_mm256_xor_si256(load32(u + x), flip), NW), flip);
        const __m256i pair = _mm256_or_si256(nibble_lookup(pairs.nibbles[0], ia), nibble_lookup(pairs.nibbles[1], ib));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(k + x), nibble_lookup(pairs.nibbles[2], pair));
    }
    return x;
}

[[gnu::target("avx2")]] std::size_t colour_transform_avx2(const std::uint8_t* rgb, std::size_t w, std::uint8_t* g,
                                                         std::uint8_t* rd, std::uint8_t* bd) {
    std::size_t x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m128i* src = reinterpret_cast<const __m128i*>(rgb + 3 * x);
        const __m128i part[3] = {_mm_loadu_si128(src), _mm_loadu_si128(src + 1), _mm_loadu_si128(src + 2)};
        const __m128i R = channel16(part, 0), G = channel16(part, 1), B = channel16(part, 2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(g + x), G);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rd + x), _mm_sub_epi8(R, G));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bd + x), _mm_sub_epi8(B, G));
    }
    return x;
}

[[gnu::target("avx2,popcnt")]] std::size_t residuals_avx2(const std::uint8_t* r, const std::uint8_t* u, std::size_t n,
                                                          std::uint8_t* z, std::uint8_t* pred, RowSums& s) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i err = zero;
    std::uint32_t zeros = 0;
    std::size_t x = 0;
    for (; x + 32 <= n; x += 32) {
        const __m256i lo = predict16(widen(r + x - 1), widen(u + x), widen(u + x - 1));
        const __m256i hi = predict16(widen(r + x + 15), widen(u + x + 16), widen(u + x + 15));
        const __m256i P = _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);  // 32 bytes in order
        const __m256i X = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + x));
        const __m256i d = _mm256_sub_epi8(X, P);
        const __m256i zz = _mm256_xor_si256(_mm256_add_epi8(d, d), _mm256_cmpgt_epi8(zero, d));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(z + x), zz);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pred + x), P);
        const __m256i ad = _mm256_or_si256(_mm256_subs_epu8(X, P), _mm256_subs_epu8(P, X));
        err = _mm256_add_epi64(err, _mm256_sad_epu8(ad, zero));
        const auto m = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(zz, zero)));
        zeros += static_cast<std::uint32_t>(_mm_popcnt_u32(m));
    }
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), err);
    s.err += lanes[0] + lanes[1] + lanes[2] + lanes[3];
    s.zeros += zeros;
    return x;
}

#else  // not x86-64: every sample goes through the portable pass

std::size_t colour_transform_avx2(const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t*, std::uint8_t*) {
    return 0;
}

std::size_t residuals_avx2(const std::uint8_t*, const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t*,
                           RowSums&) {
    return 0;
}

std::size_t pair_contexts_avx2(const ClassPairTables&, const std::uint8_t*, const std::uint8_t*, std::size_t,
                               std::uint8_t*) {
    return 0;
}

#endif

}  // namespace rans
