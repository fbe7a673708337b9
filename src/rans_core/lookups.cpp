#include "lookups.hpp"

#include <algorithm>
#include <cstring>

#include "../pool/pool.hpp"
#include "fault.hpp"

namespace rans {

namespace {

// Whether the ranges of c run from 0 to 4096 without going down: then they
// cover every slot once, in ascending order, which is every table the
// encoder writes.
bool ranges_ascend(std::span<const std::uint64_t> c) {
    if (c[0] != 0 || c[256] != kScale) return false;
    bool ok = true;
    for (std::size_t s = 0; s < 256; ++s) ok &= c[s] <= c[s + 1];
    return ok;
}

}  // namespace

void write_ascending_lookup(const std::uint64_t* c, std::uint8_t* out) {
    for (std::size_t s = 0; s < 256; ++s) {
        const std::uint64_t pattern = 0x0101010101010101ull * s;
        for (std::uint64_t k = c[s]; k < c[s + 1]; k += 8) std::memcpy(out + k, &pattern, 8);
    }
}

void build_slot_lookup(std::span<const std::uint64_t> c, std::span<std::uint8_t> out) {
    if (out.size() == kScale && ranges_ascend(c)) {
        std::uint8_t buf[kScale + kLookupSpill];
        write_ascending_lookup(c.data(), buf);
        std::memcpy(out.data(), buf, kScale);
        return;
    }
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    for (std::size_t s = 0; s < 256; ++s) {
        const std::uint64_t lo = c[s], hi = c[s + 1];
        if (lo < hi && hi <= kScale)
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(lo),
                      out.begin() + static_cast<std::ptrdiff_t>(hi), static_cast<std::uint8_t>(s));
    }
}

ZeroedBytes build_all_lookups(std::span<const std::uint64_t> cum, std::size_t tables) {
    // Table j needs values 257j .. 257j+256. Checking the first table that
    // falls short before any work makes the fault the same for every pool size.
    if (tables > 0 && tables > cum.size() / kCumLen) {
        const std::size_t j = cum.size() / kCumLen;
        slice_end_fault(kCumLen * j + kCumLen, cum.size());
    }
    ZeroedBytes out = unfilled_bytes(checked_mul(tables, kScale));  // every table writes all its slots
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
