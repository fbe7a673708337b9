// Decoding: the four-way interleaved stream decoder and the parallel shard
// decoder built on it.
#include <cstring>

#include "../pool/pool.hpp"
#include "coder.hpp"
#include "fault.hpp"
#include "lookups.hpp"
#include "rans_step.hpp"

namespace rans {
namespace {

inline std::uint16_t load_u16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;  // little-endian target (x86-64, aarch64)
}

// One decode step with every table access checked, followed by the refill
// that stops at the start of the stream.
inline void step_checked(std::uint64_t& x, std::uint8_t& o, std::span<const std::uint64_t> cum,
                         std::span<const std::uint64_t> freq, std::span<const std::uint8_t> lookup,
                         const std::uint8_t* stream, std::ptrdiff_t& pos) {
    const std::uint64_t slot = x & kSlotMask;
    const std::uint8_t s = at(lookup, slot);
    o = s;
    const std::uint64_t f = at(freq, s);
    const std::uint64_t c = at(cum, s);
    x = refill(decode_advance(x, f, c), stream, pos);
}

// The same step once the tables are known to hold 4096 slots and 256
// symbols, and at least two unread bytes are left: no check at all, and the
// refill is branch-free. The state needs (x < 2^31) + (x < 2^23) bytes, which
// is what the refill rule reads when enough bytes remain.
inline void step_fast(std::uint64_t& x, std::uint8_t* o, const std::uint64_t* cum, const std::uint64_t* freq,
                      const std::uint8_t* lookup, const std::uint8_t*& end) {
    const std::uint64_t slot = x & kSlotMask;
    const std::uint8_t s = lookup[slot];
    *o = s;
    x = decode_advance(x, freq[s], cum[s]);
    const unsigned n = static_cast<unsigned>(x < kLowerBound) + static_cast<unsigned>(x < (kLowerBound >> 8));
    // end[-1] is the next byte to read, end[-2] the one after it
    const std::uint32_t w = load_u16(end - 2);  // end[-1] << 8 | end[-2]
    x = (x << (8 * n)) | (w >> (16 - 8 * n));
    end -= n;
}

}  // namespace

void decode_4way_stream(const std::uint64_t states[4], std::span<const std::uint8_t> stream,
                        std::span<const std::uint64_t> cum, std::span<const std::uint64_t> freq,
                        std::span<const std::uint8_t> lookup, std::span<std::uint8_t> out) {
    const std::size_t n = out.size();
    if (at(freq, 0) == kScale) {
        // symbol-zero table: no bytes were coded, every symbol is lookup[0]
        const std::uint8_t s = at(lookup, 0);
        std::memset(out.data(), s, n);
        return;
    }
    std::uint64_t x0 = states[0], x1 = states[1], x2 = states[2], x3 = states[3];
    const std::uint8_t* const base = stream.data();
    std::ptrdiff_t pos = static_cast<std::ptrdiff_t>(stream.size()) - 1;
    std::uint8_t* o = out.data();
    const std::size_t groups = n / 4;
    std::size_t g = 0;

    if (lookup.size() >= kScale && freq.size() >= kFreqLen && cum.size() >= kFreqLen) {
        // A group reads at most eight bytes (two per state), so while eight
        // remain no refill can reach the start of the stream.
        const std::uint64_t* c = cum.data();
        const std::uint64_t* f = freq.data();
        const std::uint8_t* l = lookup.data();
        const std::uint8_t* end = base + pos + 1;  // one past the next byte to read
        for (; g < groups && end - base >= 8; ++g) {
            std::uint8_t* q = o + 4 * g;
            step_fast(x0, q + 0, c, f, l, end);
            step_fast(x1, q + 1, c, f, l, end);
            step_fast(x2, q + 2, c, f, l, end);
            step_fast(x3, q + 3, c, f, l, end);
        }
        pos = end - base - 1;
    }
    // the last groups near the start of the stream, or every group when the
    // tables are short and each access must be checked
    for (; g < groups; ++g) {
        std::uint8_t* q = o + 4 * g;
        step_checked(x0, q[0], cum, freq, lookup, base, pos);
        step_checked(x1, q[1], cum, freq, lookup, base, pos);
        step_checked(x2, q[2], cum, freq, lookup, base, pos);
        step_checked(x3, q[3], cum, freq, lookup, base, pos);
    }
    // the tail: states 0, 1, 2 for the last n mod 4 symbols
    std::uint64_t* tail[3] = {&x0, &x1, &x2};
    for (std::size_t k = 0; k < n % 4; ++k)
        step_checked(*tail[k], o[4 * groups + k], cum, freq, lookup, base, pos);
}

namespace {

std::uint64_t read_le(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int b = bytes - 1; b >= 0; --b) v = (v << 8) | p[b];
    return v;
}

struct ShardRecord {
    std::uint64_t states[4];
    std::size_t stream_start;
    std::uint32_t length;
};

}  // namespace

DecodedShards decode_shards(std::span<const std::uint8_t> payload, std::span<const std::uint32_t> counts,
                            std::span<const std::uint64_t> cum, std::span<const std::uint64_t> freq,
                            std::span<const std::uint8_t> lookups) {
    const std::size_t n = counts.size();
    DecodedShards result;
    if (n == 0) return result;

    // The header walk is sequential: each header's position depends on the
    // previous length. Every packed shard must lie wholly inside the payload,
    // its stream included, so `consumed` never passes the payload's end.
    std::vector<ShardRecord> records(n);
    std::size_t r = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ShardRecord& rec = records[i];
        for (int k = 0; k < 4; ++k)
            rec.states[k] = read_le(sub(payload, r + 8 * k, r + 8 * k + 8).data(), 8);
        rec.length = static_cast<std::uint32_t>(read_le(sub(payload, r + 32, r + 36).data(), 4));
        rec.stream_start = r + kPackedHeader;
        r = rec.stream_start + rec.length;
        if (r > payload.size()) slice_end_fault(r, payload.size());
    }
    result.consumed = r;

    std::vector<std::size_t> out_start(n + 1);
    for (std::size_t i = 0; i < n; ++i) out_start[i + 1] = checked_add(out_start[i], counts[i]);
    result.symbols.assign(out_start[n], 0);
    std::uint8_t* out = result.symbols.data();

    const auto bounds = group_shards(n, [&](std::size_t i) { return counts[i]; });
    for_each_shard(bounds, [&](std::size_t i) {
        const std::size_t m = counts[i];
        if (m == 0) return;  // nothing of the shard is looked at
        const ShardRecord& rec = records[i];
        auto stream = payload.subspan(rec.stream_start, rec.length);  // inside: checked by the walk
        auto c = sub(cum, kCumLen * i, kCumLen * i + kCumLen);
        auto f = sub(freq, kFreqLen * i, kFreqLen * i + kFreqLen);
        auto l = sub(lookups, kScale * i, kScale * i + kScale);
        decode_4way_stream(rec.states, stream, c, f, l, std::span(out + out_start[i], m));
    });
    return result;
}

}  // namespace rans
