// Planes back to interleaved pixels (restore_channels) on AVX2, 16 pixels a
// step: the red and blue planes are rebuilt from green (R = G + (R - G) and
// B = G + (B - G) modulo 256, or copied, or both equal to green for a gray
// image), then byte shuffles lay the channels out pixel after pixel.
#include "image_rows.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace rans {

#if defined(__x86_64__)
namespace {

// Byte shuffles that place channel c of 16 pixels into the v-th of the three
// 16-byte parts of their interleaved RGB bytes (0x80: a byte another channel fills).
struct PackShuffles {
    alignas(16) std::uint8_t mask[3][3][16];  // [channel][part][output byte]
};

constexpr PackShuffles make_pack_shuffles() {
    PackShuffles t{};
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 3; ++v)
            for (int j = 0; j < 16; ++j) {
                const int at = 16 * v + j;  // output byte: pixel at / 3, channel at % 3
                t.mask[c][v][j] = static_cast<std::uint8_t>(at % 3 == c ? at / 3 : 0x80);
            }
    return t;
}

constexpr PackShuffles kPackShuffles = make_pack_shuffles();

[[gnu::target("avx2"), gnu::always_inline]] inline __m128i load16(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

[[gnu::target("avx2"), gnu::always_inline]] inline void store16(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m128i pack_part(__m128i R, __m128i G, __m128i B, int v) {
    const auto mask = [v](int c) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(kPackShuffles.mask[c][v]));
    };
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(R, mask(0)), _mm_shuffle_epi8(G, mask(1))),
                        _mm_shuffle_epi8(B, mask(2)));
}

template <std::size_t C, Restore M>
[[gnu::target("avx2")]] std::size_t restore_pixels(const std::uint8_t* g, const std::uint8_t* rd,
                                                   const std::uint8_t* bd, const std::uint8_t* a, std::size_t n,
                                                   std::uint8_t* out) {
    std::size_t q = 0;
    for (; q + 16 <= n; q += 16) {
        const __m128i G = load16(g + q);
        __m128i R = G, B = G;
        if constexpr (M == Restore::add_green) {
            R = _mm_add_epi8(G, load16(rd + q));
            B = _mm_add_epi8(G, load16(bd + q));
        } else if constexpr (M == Restore::copy) {
            R = load16(rd + q);
            B = load16(bd + q);
        }
        std::uint8_t* px = out + C * q;
        if constexpr (C == 4) {
            const __m128i A = load16(a + q);
            const __m128i rg_lo = _mm_unpacklo_epi8(R, G), rg_hi = _mm_unpackhi_epi8(R, G);
            const __m128i ba_lo = _mm_unpacklo_epi8(B, A), ba_hi = _mm_unpackhi_epi8(B, A);
            store16(px, _mm_unpacklo_epi16(rg_lo, ba_lo));
            store16(px + 16, _mm_unpackhi_epi16(rg_lo, ba_lo));
            store16(px + 32, _mm_unpacklo_epi16(rg_hi, ba_hi));
            store16(px + 48, _mm_unpackhi_epi16(rg_hi, ba_hi));
        } else {
            store16(px, pack_part(R, G, B, 0));
            store16(px + 16, pack_part(R, G, B, 1));
            store16(px + 32, pack_part(R, G, B, 2));
        }
    }
    return q;
}

template <std::size_t C>
std::size_t restore_pixels(Restore mode, const std::uint8_t* g, const std::uint8_t* rd, const std::uint8_t* bd,
                           const std::uint8_t* a, std::size_t n, std::uint8_t* out) {
    switch (mode) {
        case Restore::gray: return restore_pixels<C, Restore::gray>(g, rd, bd, a, n, out);
        case Restore::add_green: return restore_pixels<C, Restore::add_green>(g, rd, bd, a, n, out);
        case Restore::copy: return restore_pixels<C, Restore::copy>(g, rd, bd, a, n, out);
    }
    return 0;
}

}  // namespace

std::size_t restore_pixels_avx2(std::size_t channels, Restore mode, const std::uint8_t* g, const std::uint8_t* rd,
                                const std::uint8_t* bd, const std::uint8_t* a, std::size_t n, std::uint8_t* out) {
    return channels == 4 ? restore_pixels<4>(mode, g, rd, bd, a, n, out)
                         : restore_pixels<3>(mode, g, rd, bd, a, n, out);
}

#else  // not x86-64: every pixel goes through the portable loop

std::size_t restore_pixels_avx2(std::size_t, Restore, const std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                                const std::uint8_t*, std::size_t, std::uint8_t*) {
    return 0;
}

#endif

}  // namespace rans
