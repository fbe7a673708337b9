// Frequency tables for every shard of a symbol stream: histograms in parallel,
// then one table per shard in parallel, each written to its own rows.
#include <cstring>

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

// Byte histogram of p[0..len) added into out[0..255]. Four sub-histograms,
// one per byte lane, keep runs of equal bytes (the common case in residual
// streams) from serialising on one counter.
void count_bytes(const std::uint8_t* p, std::size_t len, std::uint32_t* out) {
    std::uint32_t h[4][256];
    std::memset(h, 0, sizeof h);
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        ++h[0][w & 0xff];
        ++h[1][(w >> 8) & 0xff];
        ++h[2][(w >> 16) & 0xff];
        ++h[3][(w >> 24) & 0xff];
        ++h[0][(w >> 32) & 0xff];
        ++h[1][(w >> 40) & 0xff];
        ++h[2][(w >> 48) & 0xff];
        ++h[3][w >> 56];
    }
    for (; i < len; ++i) ++h[0][p[i]];
    for (std::size_t s = 0; s < 256; ++s) out[s] += h[0][s] + h[1][s] + h[2][s] + h[3][s];
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
    pool::parallel_each(pieces.size(), [&](std::size_t j) {
        count_bytes(data.data() + pieces[j].begin, pieces[j].end - pieces[j].begin,
                    partial.data() + 256 * j);
    });

    PdfTables out;
    out.cum.resize(checked_mul(n, 257));
    out.freqs.resize(checked_mul(n, 256));
    out.modes.resize(n);
    // a handful of shards per chunk: a table costs a few microseconds
    pool::parallel_for(n, 4, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            std::array<std::uint64_t, 256> counts{};
            for (std::size_t j = first_piece[i]; j < first_piece[i + 1]; ++j) {
                const std::uint32_t* h = partial.data() + 256 * j;
                for (std::size_t s = 0; s < 256; ++s) counts[s] += h[s];
            }
            // an empty shard, or one holding only symbol 0, gets the
            // symbol-zero table without looking at templates
            const ShardTable t = choose_shard_table(counts, widths[i], kShardHeaderPenalty,
                                                    templates, n_templates, disable_templates);
            out.modes[i] = t.mode;
            std::uint64_t* f = out.freqs.data() + 256 * i;
            std::uint64_t* c = out.cum.data() + 257 * i;
            std::uint64_t run = 0;
            c[0] = 0;
            for (std::size_t s = 0; s < 256; ++s) {
                f[s] = t.freqs[s];
                run += t.freqs[s];
                c[s + 1] = run;
            }
        }
    });
    return out;
}

}  // namespace rans
