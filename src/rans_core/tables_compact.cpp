// The stored form of the shard tables. Only shards of mode 0, 1 or 2 have a
// record; the rest are rebuilt from the mode byte alone. A record is
//   sparse: 1, k (u16 LE), the k symbols ascending, their k frequencies (u16 LE)
//   dense:  0, the w frequencies of symbols 0 .. w-1 (u16 LE)
// whichever is shorter (dense on a tie). Widths are not stored: both sides
// take them from the shard widths. Records follow one another in shard order
// with nothing in between.
#include "fault.hpp"
#include "tables.hpp"

namespace rans {
namespace {

constexpr std::uint8_t kDense = 0;
constexpr std::uint8_t kSparse = 1;

bool has_record(std::uint8_t mode) { return mode < kModeSymbolZero; }

void put_u16(std::uint8_t* p, std::uint64_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint64_t get_u16(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(p[0]) | static_cast<std::uint64_t>(p[1]) << 8;
}

}  // namespace

std::vector<std::uint8_t> compact_pdf_tables(std::span<const std::uint64_t> all_sym_freqs,
                                             std::span<const std::uint16_t> widths,
                                             std::span<const std::uint8_t> modes) {
    const std::size_t n = widths.size();
    std::vector<std::uint8_t> out;
    // a record is at most 513 bytes (dense, width 256)
    out.reserve(checked_mul(n < modes.size() ? n : modes.size(), 64));
    std::array<std::uint8_t, 256> present;
    for (std::size_t i = 0; i < n; ++i) {
        if (!has_record(at(modes, i))) continue;
        const std::uint64_t* row = sub(all_sym_freqs, 256 * i, 256 * i + 256).data();
        const std::size_t w = widths[i];
        if (w > 256) index_fault(256, 256);  // a row has 256 entries
        std::size_t k = 0;
        for (std::size_t s = 0; s < w; ++s)
            if (row[s] != 0) present[k++] = static_cast<std::uint8_t>(s);

        const std::size_t at_end = out.size();
        if (sparse_record(k, w)) {
            out.resize(at_end + 3 + 3 * k);
            std::uint8_t* p = out.data() + at_end;
            p[0] = kSparse;
            put_u16(p + 1, k);
            for (std::size_t j = 0; j < k; ++j) {
                p[3 + j] = present[j];
                put_u16(p + 3 + k + 2 * j, row[present[j]]);
            }
        } else {
            out.resize(at_end + 1 + 2 * w);
            std::uint8_t* p = out.data() + at_end;
            p[0] = kDense;
            for (std::size_t s = 0; s < w; ++s) put_u16(p + 1 + 2 * s, row[s]);
        }
    }
    return out;
}

std::vector<std::uint64_t> expand_pdf_tables(std::span<const std::uint8_t> compacted,
                                             std::span<const std::uint16_t> widths,
                                             std::span<const std::uint8_t> modes,
                                             std::span<const std::uint64_t> templates,
                                             std::size_t n_templates) {
    const std::size_t n = widths.size();
    const std::size_t len = compacted.size();
    const std::uint8_t* s = compacted.data();
    std::vector<std::uint64_t> out(checked_mul(n, 256), 0);
    std::size_t p = 0;  // read position; never beyond len
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t mode = at(modes, i);
        std::uint64_t* row = out.data() + 256 * i;
        const auto fallback = [row] { row[0] = 4096; };  // the row is all zero before

        if (mode >= kModeTemplate0) {
            const std::size_t t = mode - kModeTemplate0;
            if (t < n_templates) {
                auto tpl = sub(templates, 256 * t, 256 * t + 256);
                for (std::size_t k = 0; k < 256; ++k) row[k] = tpl[k];
            } else {
                fallback();
            }
            continue;
        }
        if (mode == kModeSymbolZero || p >= len) {
            fallback();
            continue;
        }
        // A record that would run past the stream is not read: the row falls
        // back and the position skips only what was known to belong to it.
        const std::uint8_t marker = s[p];
        if (marker == kSparse) {
            if (p + 3 > len) {
                fallback();
                p += 1;
                continue;
            }
            const std::size_t k = static_cast<std::size_t>(get_u16(s + p + 1));
            if (p + 3 + 3 * k > len) {
                fallback();
                p += 3;
                continue;
            }
            const std::uint8_t* syms = s + p + 3;
            const std::uint8_t* freqs = syms + k;
            for (std::size_t j = 0; j < k; ++j) row[syms[j]] = get_u16(freqs + 2 * j);
            p += 3 + 3 * k;
        } else if (marker == kDense) {
            const std::size_t w = widths[i];
            if (p + 1 + 2 * w > len) {
                fallback();
                p += 1;
                continue;
            }
            // only compaction's widths (at most 256) fit a row; a wider
            // record would write past it
            if (w > 256) index_fault(256, 256);
            const std::uint8_t* freqs = s + p + 1;
            for (std::size_t k = 0; k < w; ++k) row[k] = get_u16(freqs + 2 * k);
            p += 1 + 2 * w;
        } else {
            fallback();
            p += 1;
        }
    }
    return out;
}

}  // namespace rans
