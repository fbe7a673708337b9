// Frequency tables for every shard of a symbol stream: histograms in parallel,
// then one table per shard in parallel, each written to its own rows.
#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "../pool/pool.hpp"
#include "fault.hpp"
#include "tables.hpp"

namespace rans {
namespace {

// Histograms are counted in pieces of at most this many bytes, so one large
// shard still spreads over every worker; a piece's counts fit in 32 bits.
constexpr std::size_t kPiece = std::size_t{1} << 17;

struct Piece {
    std::size_t begin, end;
};

using Lanes = std::uint32_t[8][256];

// Byte histogram of p[0..len) added into eight sub-histograms, one per byte
// lane of a 64-bit word. Residual streams are dominated by a few small values,
// so consecutive bytes often hit the same counter; separate lanes keep those
// increments from waiting on one another.
void count_lanes(const std::uint8_t* p, std::size_t len, Lanes& h) {
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        for (std::size_t b = 0; b < 8; ++b) ++h[b][(w >> (8 * b)) & 0xff];
    }
    for (; i < len; ++i) ++h[0][p[i]];
}

void count_bytes_scalar(const std::uint8_t* p, std::size_t len, std::uint32_t* out) {
    Lanes h;
    std::memset(h, 0, sizeof h);
    count_lanes(p, len, h);
    for (std::size_t s = 0; s < 256; ++s) {
        std::uint32_t t = 0;
        for (std::size_t b = 0; b < 8; ++b) t += h[b][s];
        out[s] += t;
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// With AVX2: a 32-byte block whose bytes are all below kSmall is counted by
// comparing it with each small value and subtracting the all-ones matches
// from per-value byte counters (flushed before they can pass 255); a block
// holding any larger byte goes through the lanes. Counts are exact either
// way, so the result is the same as the scalar count.
constexpr int kSmall = 12;  // 12 counters, the block and a temporary fit the 16 registers

__attribute__((target("avx2"))) void count_bytes_avx2(const std::uint8_t* p, std::size_t len,
                                                     std::uint32_t* out) {
    Lanes h;
    std::memset(h, 0, sizeof h);
    std::uint64_t small[kSmall] = {};
    // adding 128 - kSmall with saturation sets the top bit exactly for bytes >= kSmall
    const __m256i bias = _mm256_set1_epi8(static_cast<char>(128 - kSmall));
    std::size_t i = 0;
    while (i + 32 <= len) {
        __m256i acc[kSmall];
        for (int v = 0; v < kSmall; ++v) acc[v] = _mm256_setzero_si256();
        const std::size_t stop = len - i > 255 * 32 ? i + 255 * 32 : len;
        for (; i + 32 <= stop; i += 32) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
            if (_mm256_movemask_epi8(_mm256_adds_epu8(x, bias)) != 0) {
                count_lanes(p + i, 32, h);
                continue;
            }
            for (int v = 0; v < kSmall; ++v)
                acc[v] = _mm256_sub_epi8(acc[v], _mm256_cmpeq_epi8(x, _mm256_set1_epi8(static_cast<char>(v))));
        }
        for (int v = 0; v < kSmall; ++v) {
            const __m256i s = _mm256_sad_epu8(acc[v], _mm256_setzero_si256());
            small[v] += static_cast<std::uint64_t>(_mm256_extract_epi64(s, 0)) +
                        static_cast<std::uint64_t>(_mm256_extract_epi64(s, 1)) +
                        static_cast<std::uint64_t>(_mm256_extract_epi64(s, 2)) +
                        static_cast<std::uint64_t>(_mm256_extract_epi64(s, 3));
        }
    }
    count_lanes(p + i, len - i, h);
    for (std::size_t s = 0; s < 256; ++s) {
        std::uint32_t t = s < kSmall ? static_cast<std::uint32_t>(small[s]) : 0;
        for (std::size_t b = 0; b < 8; ++b) t += h[b][s];
        out[s] += t;
    }
}

bool have_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

void count_bytes(const std::uint8_t* p, std::size_t len, std::uint32_t* out) {
    if (have_avx2())
        count_bytes_avx2(p, len, out);
    else
        count_bytes_scalar(p, len, out);
}
#else
void count_bytes(const std::uint8_t* p, std::size_t len, std::uint32_t* out) {
    count_bytes_scalar(p, len, out);
}
#endif

// Enough chunks for balance, not so many that handing them out costs more
// than the work when there are very many small shards.
constexpr std::size_t kChunks = 512;

// One table per shard (in parallel, each written to its own rows) from the
// histograms that add_counts(i, counts) gives for shard i.
template <class AddCounts>
PdfTables tables_of(std::size_t n, std::span<const std::uint16_t> widths, std::span<const std::uint64_t> templates,
                    std::size_t n_templates, bool disable_templates, AddCounts&& add_counts) {
    PdfTables out;
    out.cum.resize(checked_mul(n, 257));
    out.freqs.resize(checked_mul(n, 256));
    out.modes.resize(n);
    // a table costs a few microseconds: at least a handful per chunk
    pool::parallel_for(n, n / kChunks + 4, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            std::array<std::uint64_t, 256> counts{};
            add_counts(i, counts);
            // an empty shard, or one holding only symbol 0, gets the
            // symbol-zero table without looking at templates
            const ShardTable t = choose_shard_table(counts, widths[i], kShardHeaderPenalty,
                                                    templates, n_templates, disable_templates);
            out.modes[i] = t.mode;
            std::uint64_t* f = out.freqs.data() + 256 * i;
            std::copy_n(t.freqs.data(), 256, f);
            write_cumulative(f, out.cum.data() + 257 * i);
        }
    });
    return out;
}

}  // namespace

PdfTables build_pdf_tables_from_shards(std::span<const std::uint8_t> data,
                                       std::span<const std::uint32_t> offsets,
                                       std::span<const std::uint32_t> lengths,
                                       std::span<const std::uint16_t> widths,
                                       std::span<const std::uint64_t> templates,
                                       std::size_t n_templates, bool disable_templates) {
    check_template_count(n_templates, disable_templates);
    const std::size_t n = lengths.size();
    // Shards without an offset keep an empty histogram.
    const std::size_t counted = n < offsets.size() ? n : offsets.size();

    // Every range and width is checked before the parallel work, lowest shard
    // first, so a bad input faults the same way for every pool size.
    // first_piece[i] .. first_piece[i+1] are shard i's pieces.
    std::vector<std::size_t> first_piece(n + 1, 0);
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < counted; ++i) {
        const std::uint64_t begin = offsets[i];
        const std::uint64_t end = begin + lengths[i];  // 64-bit: cannot wrap
        if (end > data.size()) slice_end_fault(static_cast<std::size_t>(end), data.size());
        first_piece[i] = pieces.size();
        for (std::size_t b = begin; b < end; b += kPiece)
            pieces.push_back({b, end - b > kPiece ? b + kPiece : static_cast<std::size_t>(end)});
    }
    for (std::size_t i = counted; i <= n; ++i) first_piece[i] = pieces.size();
    if (widths.size() < n) index_fault(widths.size(), widths.size());

    std::vector<std::uint32_t> partial(checked_mul(pieces.size(), 256), 0);
    pool::parallel_for(pieces.size(), pieces.size() / kChunks + 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j)
            count_bytes(data.data() + pieces[j].begin, pieces[j].end - pieces[j].begin,
                        partial.data() + 256 * j);
    });
    return tables_of(n, widths, templates, n_templates, disable_templates,
                     [&](std::size_t i, std::array<std::uint64_t, 256>& counts) {
                         for (std::size_t j = first_piece[i]; j < first_piece[i + 1]; ++j) {
                             const std::uint32_t* h = partial.data() + 256 * j;
                             for (std::size_t s = 0; s < 256; ++s) counts[s] += h[s];
                         }
                     });
}

PdfTables build_pdf_tables_from_counts(std::span<const std::uint64_t> counts,
                                       std::span<const std::uint16_t> widths,
                                       std::span<const std::uint64_t> templates,
                                       std::size_t n_templates, bool disable_templates) {
    check_template_count(n_templates, disable_templates);
    if (counts.size() % 256 != 0) throw InvalidInput("counts must have 256 columns");
    const std::size_t n = counts.size() / 256;
    if (widths.size() < n) index_fault(widths.size(), widths.size());
    return tables_of(n, widths, templates, n_templates, disable_templates,
                     [&](std::size_t i, std::array<std::uint64_t, 256>& row) {
                         std::copy_n(counts.data() + 256 * i, 256, row.data());
                     });
}

}  // namespace rans
