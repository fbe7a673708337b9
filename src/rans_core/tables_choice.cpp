// The shard encoder's tables: each shard's own table, or a template where
// that codes the shard in fewer bits than its own table and the record that
// stores it (a template is named by the shard's mode and stores nothing).
//
// Both sides are exact fixed-point sums (bits times 2^20, as table_costs
// sums them), so the choice is the same on every build and instruction set.
// A record is deflated with the others to about 0.6 of its bytes on photos,
// and the mode byte is stored either way: the own table's side carries
// 4.8 bits per record byte and 8 more, compared at ten times the scale so
// that it stays in integers.
#include <algorithm>
#include <vector>

#include "fault.hpp"
#include "lookups.hpp"
#include "scale.hpp"
#include "tables.hpp"

namespace rans {

ShardTableChoice choose_shard_tables(std::span<const std::uint64_t> counts, std::span<const std::uint64_t> templates,
                                     std::size_t n_templates, std::span<const std::uint32_t> template_costs,
                                     std::span<const std::uint32_t> own_costs) {
    if (counts.size() % 256 != 0) throw InvalidInput("counts must have 256 columns");
    check_template_count(n_templates, false);
    if (template_costs.size() != checked_mul(n_templates, 256))
        throw InvalidInput("the template costs must have a row of 256 for every template");
    if (own_costs.size() != kScale + 1) throw InvalidInput("own costs must have an entry for every frequency");
    const std::size_t n = counts.size() / 256;
    ShardTableChoice out;
    // a width is one past the last symbol that occurs (0 for an empty shard)
    out.widths.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t* h = counts.data() + 256 * i;
        std::size_t w = 256;
        while (w > 0 && h[w - 1] == 0) --w;
        out.widths[i] = static_cast<std::uint16_t>(w);
    }
    out.tables = build_pdf_tables_from_counts(counts, out.widths, templates, n_templates, true);
    PdfTables& t = out.tables;

    std::vector<std::size_t> own;
    for (std::size_t i = 0; i < n; ++i)
        if (t.modes[i] == 0) own.push_back(i);
    if (own.empty() || n_templates == 0) return out;
    std::vector<std::uint32_t> rows(checked_mul(own.size(), 256));
    std::vector<std::uint16_t> widths(own.size());
    for (std::size_t j = 0; j < own.size(); ++j) {
        const std::uint64_t* h = counts.data() + 256 * own[j];
        for (std::size_t s = 0; s < 256; ++s) {
            if (h[s] >> 32) throw InvalidInput("histogram counts must be below 2^32");
            rows[256 * j + s] = static_cast<std::uint32_t>(h[s]);
        }
        widths[j] = out.widths[own[j]];
    }
    const std::vector<std::uint64_t> sums = table_costs(rows, widths, template_costs);

    for (std::size_t j = 0; j < own.size(); ++j) {
        const std::size_t i = own[j];
        const std::uint64_t* h = counts.data() + 256 * i;
        const std::uint64_t* f = t.freqs.data() + 256 * i;
        std::uint64_t own_bits = 0, present = 0;
        for (std::size_t s = 0; s < widths[j]; ++s) {
            if (h[s] == 0) continue;
            ++present;
            own_bits += h[s] * at(own_costs, f[s]);
        }
        const std::uint64_t* row = sums.data() + n_templates * j;
        const std::size_t best = static_cast<std::size_t>(std::min_element(row, row + n_templates) - row);
        const std::uint64_t header = (48 * record_bytes(present, widths[j]) + 80) << 20;
        if (10 * row[best] >= 10 * own_bits + header) continue;
        t.modes[i] = static_cast<std::uint8_t>(kModeTemplate0 + best);
        std::copy_n(templates.data() + 256 * best, 256, t.freqs.data() + 256 * i);
        write_cumulative(templates.data() + 256 * best, t.cum.data() + kCumLen * i);
    }
    return out;
}

}  // namespace rans
