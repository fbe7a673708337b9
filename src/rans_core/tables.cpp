// Normalisation of a histogram to a frequency table and the choice between a
// shard's own table and a template. The one definition that both the shard
// table builder and the single-histogram decision use, so the two always
// agree.
//
// Floating point here is plain IEEE double with no contraction: every product
// and sum is its own statement, so a compiler allowed to fuse a*b+c within an
// expression has nothing to fuse.
#include "tables.hpp"

#include <cmath>
#include <string>

#include "fault.hpp"
#include "scale.hpp"

namespace rans {
namespace {

constexpr std::uint64_t kTotal = kScale;

// round(x) with halves away from zero, as an unsigned 64-bit integer:
// negative (and NaN) to 0, beyond the 64-bit range to the largest value.
std::uint64_t round_to_u64(double x) {
    const double r = std::round(x);
    if (!(r > 0.0)) return 0;
    if (r >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(r);
}

// log2 of the frequencies a table on the 4096 scale can hold, computed once by
// the same std::log2 that larger values go through, so a cached value and a
// computed one are the same double.
const std::array<double, kTotal + 1>& small_log2() {
    static const std::array<double, kTotal + 1> table = [] {
        std::array<double, kTotal + 1> t{};
        for (std::size_t k = 1; k <= kTotal; ++k) t[k] = std::log2(static_cast<double>(k));
        return t;
    }();
    return table;
}

// The present symbols of a histogram in ascending order: the only ones that
// enter a cost.
struct Present {
    std::uint16_t n = 0;
    std::array<std::uint8_t, 256> sym;
    std::array<double, 256> count;
};

Present present_symbols(std::span<const std::uint64_t, 256> counts) {
    Present p;
    for (std::size_t s = 0; s < 256; ++s) {
        if (counts[s] == 0) continue;
        p.sym[p.n] = static_cast<std::uint8_t>(s);
        p.count[p.n] = static_cast<double>(counts[s]);
        ++p.n;
    }
    return p;
}

double cost_of_present(const Present& p, const std::uint64_t* table) {
    const auto& lg = small_log2();
    double cost = 0.0;
    for (std::size_t j = 0; j < p.n; ++j) {
        const std::uint64_t f = table[p.sym[j]];
        double term;
        if (f == 0) {
            term = p.count[j] * 24.0;
        } else {
            const double bits = 12.0 - (f <= kTotal ? lg[f] : std::log2(static_cast<double>(f)));
            term = bits * p.count[j];
        }
        cost += term;
    }
    return cost;
}

}  // namespace

FreqRow symbol_zero_table() {
    FreqRow t{};
    t[0] = kTotal;
    return t;
}

ShardTable normalise_counts(std::span<const std::uint64_t, 256> counts, std::uint64_t width) {
    bool beyond_zero = false;
    for (std::size_t s = 1; s < 256; ++s) beyond_zero |= counts[s] != 0;
    if (!beyond_zero) return {kModeSymbolZero, symbol_zero_table()};

    std::uint64_t total = 0;  // wraps modulo 2^64, like every counter here
    for (std::size_t s = 0; s < 256; ++s) total += counts[s];
    const std::size_t m = width < 256 ? static_cast<std::size_t>(width) : 256;
    ShardTable out{kModeOwn, {}};
    FreqRow& f = out.freqs;

    if (m == 0) {
        f[0] = kTotal;
        return out;
    }
    if (total == 0) {
        // only a wrapped sum gets here: share the scale evenly instead
        for (std::size_t s = 0; s < m; ++s) f[s] = kTotal / m;
        f[0] += kTotal % m;
        return out;
    }

    // divide first, then scale: the quotient is the symbol's probability
    const double dtotal = static_cast<double>(total);
    for (std::size_t s = 0; s < m; ++s) {
        if (counts[s] == 0) continue;
        const double p = static_cast<double>(counts[s]) / dtotal;
        const double scaled = p * 4096.0;
        const std::uint64_t v = round_to_u64(scaled);
        f[s] = v == 0 ? 1 : v;
    }

    // the largest entry absorbs the rounding error; ties go to the highest
    // symbol
    std::uint64_t sum = 0;
    std::size_t big = 0;
    for (std::size_t s = 0; s < m; ++s) {
        sum += f[s];
        if (f[s] >= f[big]) big = s;
    }
    const auto d = static_cast<std::int64_t>(f[big] + kTotal - sum);
    if (d > 0) {
        f[big] = static_cast<std::uint64_t>(d);
        return out;
    }
    // The excess is at least the largest entry: that entry drops to 1 and the
    // rest of the excess comes off the other symbols from 0 upward, each
    // keeping at least 1.
    std::uint64_t excess = sum - f[big] + 1 - kTotal;
    f[big] = 1;
    for (std::size_t s = 0; s < m && excess != 0; ++s) {
        if (s == big || f[s] <= 1) continue;
        const std::uint64_t take = excess < f[s] - 1 ? excess : f[s] - 1;
        f[s] -= take;
        excess -= take;
    }
    return out;
}

void check_template_count(std::size_t n_templates, bool disable_templates) {
    if (!disable_templates && n_templates > kMaxTemplates)
        throw InvalidInput("templates must have at most " + std::to_string(kMaxTemplates) +
                           " rows: a mode byte names templates 0 to " +
                           std::to_string(kMaxTemplates - 1) + " only");
}

ShardTable choose_shard_table(std::span<const std::uint64_t, 256> counts, std::uint64_t width,
                              double header_penalty, std::span<const std::uint64_t> templates,
                              std::size_t n_templates, bool disable_templates) {
    ShardTable own = normalise_counts(counts, width);
    if (own.mode == kModeSymbolZero) return own;
    if (disable_templates || n_templates == 0) return own;
    // a mode byte cannot name more; callers reject such a set before any work
    check_template_count(n_templates, disable_templates);

    const Present present = present_symbols(counts);
    double best = 1.7976931348623157e308;
    std::size_t chosen = 0;
    for (std::size_t t = 0; t < n_templates; ++t) {
        auto row = sub(templates, 256 * t, 256 * t + 256);
        const double c = cost_of_present(present, row.data());
        if (c < best) {
            best = c;
            chosen = t;
        }
    }
    const double own_cost = cost_of_present(present, own.freqs.data());
    const double with_header = header_penalty + own_cost;
    if (!(with_header > best)) return own;

    // only the cheapest template is checked: if it cannot code a present
    // symbol the own table stays, without trying the next cheapest
    const std::uint64_t* row = templates.data() + 256 * chosen;
    for (std::size_t j = 0; j < present.n; ++j)
        if (row[present.sym[j]] == 0) return own;
    ShardTable out{static_cast<std::uint8_t>(kModeTemplate0 + chosen), {}};
    for (std::size_t s = 0; s < 256; ++s) out.freqs[s] = row[s];
    return out;
}

}  // namespace rans
