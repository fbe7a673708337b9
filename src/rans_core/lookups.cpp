#include "lookups.hpp"

#include <algorithm>

#include "../pool/pool.hpp"
#include "fault.hpp"

namespace rans {

void build_slot_lookup(std::span<const std::uint64_t> c, std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    for (std::size_t s = 0; s < 256; ++s) {
        const std::uint64_t lo = c[s], hi = c[s + 1];
        if (lo < hi && hi <= kScale)
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(lo),
                      out.begin() + static_cast<std::ptrdiff_t>(hi), static_cast<std::uint8_t>(s));
    }
}

std::vector<std::uint8_t> build_all_lookups(std::span<const std::uint64_t> cum, std::size_t tables) {
    // Table j needs values 257j .. 257j+256. Checking the first table that
    // falls short before any work makes the fault the same for every pool size.
    if (tables > 0 && tables > cum.size() / kCumLen) {
        const std::size_t j = cum.size() / kCumLen;
        slice_end_fault(kCumLen * j + kCumLen, cum.size());
    }
    std::vector<std::uint8_t> out(checked_mul(tables, kScale));
    // 16 tables (64 KiB of output) per chunk keeps the hand-out cost negligible
    pool::parallel_for(tables, 16, [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j) {
            auto c = cum.subspan(kCumLen * j, kCumLen);  // in range: checked above
            build_slot_lookup(c, std::span(out).subspan(kScale * j, kScale));
        }
    });
    return out;
}

}  // namespace rans
