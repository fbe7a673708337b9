// One pass, a number at a time: the numbers of a file's shards and parts are
// few and short, and each one's bytes end at the first byte below 0x80.
#include "varints.hpp"

namespace rans {

Varints read_varints(Bytes window, std::size_t count) {
    Varints r;
    // every number takes at least a byte, so a longer count cannot be met
    // and the window bounds the allocation
    if (count > window.size()) {
        r.fault = VarintFault::truncated;
        return r;
    }
    r.values.resize(count);
    bool too_long = false;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t x = 0;
        std::size_t k = 0;  // bytes of this number read so far
        for (;;) {
            if (pos == window.size()) {
                r.values.clear();
                r.fault = VarintFault::truncated;
                return r;
            }
            const std::uint8_t b = window[pos++];
            // the bits of a byte past the fifth are never used (too long)
            if (k < kVarintMaxBytes) x |= static_cast<std::uint64_t>(b & 0x7F) << (7 * k);
            ++k;
            if (b < 0x80) break;
        }
        too_long = too_long || k > kVarintMaxBytes;
        r.values[i] = x;
    }
    if (too_long) {
        r.values.clear();
        r.fault = VarintFault::too_long;
        return r;
    }
    r.used = pos;
    return r;
}

std::vector<std::uint8_t> write_varints(std::span<const std::uint64_t> values) {
    std::vector<std::uint8_t> out;
    out.reserve(values.size() * 2);
    for (std::uint64_t x : values) {
        if (x >> (7 * kVarintMaxBytes)) throw InvalidInput("a number of 2^35 or more has no stored form");
        for (; x >= 0x80; x >>= 7) out.push_back(static_cast<std::uint8_t>(x | 0x80));
        out.push_back(static_cast<std::uint8_t>(x));
    }
    return out;
}

}  // namespace rans
