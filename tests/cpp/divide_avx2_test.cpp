// The shard encoder's AVX2 division against the integer one: every frequency
// 1..4096, with dividends at and around multiples of it across the whole
// range (0 to f * 2^27 - 1) and at random. Built and run by
// tests/test_coder_simd.py; prints "ok", or "skip" on a CPU without AVX2 and
// FMA.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "../../src/rans_core/divide_avx2.hpp"

namespace {

int failures = 0;

// Divides four dividends by f at once, and checks every lane.
[[gnu::target("avx2,fma")]] void check(const std::uint64_t (&x)[4], std::uint64_t f) {
    const double h = 0.5 / static_cast<double>(f);
    const __m256i q = rans::divide_exact(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x)),
                                         _mm256_set1_epi64x(static_cast<long long>(f)), _mm256_set1_pd(h));
    std::uint64_t got[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(got), q);
    for (int k = 0; k < 4; ++k)
        if (static_cast<std::uint32_t>(got[k]) != x[k] / f && ++failures <= 10)
            std::fprintf(stderr, "x=%llu f=%llu: %u, not %llu\n", static_cast<unsigned long long>(x[k]),
                         static_cast<unsigned long long>(f), static_cast<std::uint32_t>(got[k]),
                         static_cast<unsigned long long>(x[k] / f));
}

}  // namespace

int main() {
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        std::puts("skip");
        return 0;
    }
    std::mt19937_64 rng(12);
    constexpr std::uint64_t kTop = 1ull << 27;  // the quotient stays below it
    for (std::uint64_t f = 1; f <= 4096; ++f) {
        const std::uint64_t end = f * kTop;  // dividends below it
        std::vector<std::uint64_t> xs;
        for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, kTop / 2, kTop - 2, kTop - 1,
                                rng() % kTop, rng() % kTop})
            for (std::uint64_t r : {std::uint64_t{0}, std::uint64_t{1}, f / 2, f - 2, f - 1})
                if (r < f) xs.push_back(k * f + r);
        for (int i = 0; i < 1024; ++i) xs.push_back(rng() % end);
        while (xs.size() % 4) xs.push_back(end - 1);
        for (std::size_t i = 0; i < xs.size(); i += 4) check({xs[i], xs[i + 1], xs[i + 2], xs[i + 3]}, f);
    }
    if (failures) {
        std::fprintf(stderr, "%d wrong quotients\n", failures);
        return 1;
    }
    std::puts("ok");
}
