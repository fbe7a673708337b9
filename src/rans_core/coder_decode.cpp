// Decoding: the four-way interleaved stream decoder and the parallel shard
// decoder built on it.
#include <algorithm>
#include <cstring>

#include "../pool/pool.hpp"
#include "bytes.hpp"
#include "coder.hpp"
#include "coder_simd.hpp"
#include "fault.hpp"
#include "lookups.hpp"
#include "rans_step.hpp"

namespace rans {
namespace {

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

// The decode step once the tables are known to hold 4096 slots and 256
// symbols: no check.
inline void step_fast(std::uint64_t& x, std::uint8_t* o, const std::uint64_t* cum, const std::uint64_t* freq,
                      const std::uint8_t* lookup, const std::uint8_t*& end) {
    const std::uint64_t slot = x & kSlotMask;
    const std::uint8_t s = lookup[slot];
    *o = s;
    x = refill_fast(decode_advance(x, freq[s], cum[s]), end);
}

// Per-slot form of a table for long streams: frequency and slot - cum of the
// slot's symbol side by side, so that a step needs one dependent load instead
// of two. Only built when every entry fits 16 bits (always, for a table that
// sums to 4096), so the arithmetic is the same as the plain step's.
struct SlotEntry {
    std::uint16_t freq;
    std::uint16_t base;  // slot - cum[symbol]
};

bool build_slot_entries(std::span<const std::uint64_t> cum, std::span<const std::uint64_t> freq,
                        const std::uint8_t* lookup, SlotEntry* tab) {
    for (std::size_t slot = 0; slot < kScale; ++slot) {
        const std::uint8_t s = lookup[slot];
        const std::uint64_t f = freq[s], b = slot - cum[s];
        if ((f | b) > 0xFFFF) return false;
        tab[slot] = {static_cast<std::uint16_t>(f), static_cast<std::uint16_t>(b)};
    }
    return true;
}

inline void step_slots(std::uint64_t& x, std::uint8_t* o, const SlotEntry* tab, const std::uint8_t* lookup,
                       const std::uint8_t*& end) {
    const std::uint64_t slot = x & kSlotMask;
    *o = lookup[slot];
    const SlotEntry e = tab[slot];
    x = refill_fast(std::uint64_t{e.freq} * (x >> kScaleBits) + e.base, end);
}

// Streams this long repay building the per-slot table (4096 entries).
constexpr std::size_t kSlotTableMin = 16384;

}  // namespace

void decode_4way_stream(const std::uint64_t states[4], std::span<const std::uint8_t> stream,
                        std::span<const std::uint64_t> cum, std::span<const std::uint64_t> freq,
                        std::span<const std::uint8_t> lookup, std::span<std::uint8_t> out) {
    const std::size_t n = out.size();
    if (at(freq, 0) == kScale) {
        // symbol-zero table: no bytes were coded, every symbol is lookup[0]
        const std::uint8_t s = at(lookup, 0);
        if (n > 0) std::memset(out.data(), s, n);
        return;
    }
    decode_4way_resume(states, stream, stream.size(), cum, freq, lookup, out, 0);
}

void decode_4way_resume(const std::uint64_t states[4], std::span<const std::uint8_t> stream, std::size_t unread,
                        std::span<const std::uint64_t> cum, std::span<const std::uint64_t> freq,
                        std::span<const std::uint8_t> lookup, std::span<std::uint8_t> out,
                        std::size_t first_group) {
    const std::size_t n = out.size();
    std::uint64_t x0 = states[0], x1 = states[1], x2 = states[2], x3 = states[3];
    const std::uint8_t* const base = stream.data();
    std::ptrdiff_t pos = static_cast<std::ptrdiff_t>(unread) - 1;
    std::uint8_t* o = out.data();
    const std::size_t groups = n / 4;
    std::size_t g = first_group;

    if (lookup.size() >= kScale && freq.size() >= kFreqLen && cum.size() >= kFreqLen) {
        // A group reads at most eight bytes (two per state), so while eight
        // remain no refill can reach the start of the stream.
        const std::uint64_t* c = cum.data();
        const std::uint64_t* f = freq.data();
        const std::uint8_t* l = lookup.data();
        const std::uint8_t* end = base + pos + 1;  // one past the next byte to read
        SlotEntry tab[kScale];
        if ((groups - g) * 4 >= kSlotTableMin && build_slot_entries(cum, freq, l, tab)) {
            for (; g < groups && end - base >= 8; ++g) {
                std::uint8_t* q = o + 4 * g;
                step_slots(x0, q + 0, tab, l, end);
                step_slots(x1, q + 1, tab, l, end);
                step_slots(x2, q + 2, tab, l, end);
                step_slots(x3, q + 3, tab, l, end);
            }
        }
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

struct ShardRecord {
    std::uint64_t states[4];
    std::size_t stream_start;
    std::uint32_t length;
};

}  // namespace

DecodedShards decode_shards(std::span<const std::uint8_t> payload, std::span<const std::uint32_t> counts,
                            std::span<const std::uint64_t> cum, std::span<const std::uint64_t> freq,
                            std::span<const std::uint8_t> lookups, bool own_lookups) {
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
    // every shard writes all its symbols (a stream that ends early decodes
    // on from zero bytes), so the buffer needs no zeros of its own
    result.symbols = unfilled_bytes(out_start[n]);
    std::uint8_t* out = result.symbols.data();

    const CoderPath path = coder_path();
    if (path != CoderPath::scalar) {
        // Several shards in flight per task, so that the vector decoder has
        // independent streams to interleave. Each task takes its shards' rows
        // in shard order before decoding any, so the fault it reports is its
        // lowest shard's, as on the scalar path.
        const auto tasks =
            group_shard_batches(n, kBatchShards, pool::size(), [&](std::size_t i) { return counts[i]; });
        std::vector<std::size_t> task_index(tasks.size());
        for (std::size_t t = 0; t < task_index.size(); ++t) task_index[t] = t;
        for_each_shard(task_index, [&](std::size_t t) {
            std::vector<ShardStream> batch;
            for (std::size_t i = tasks[t]; i < tasks[t + 1]; ++i) {
                const std::size_t m = counts[i];
                if (m == 0) continue;
                const ShardRecord& rec = records[i];
                ShardStream& s = batch.emplace_back();
                std::copy(rec.states, rec.states + 4, s.states);
                s.stream = payload.subspan(rec.stream_start, rec.length);
                s.cum = sub(cum, kCumLen * i, kCumLen * i + kCumLen);
                s.freq = sub(freq, kFreqLen * i, kFreqLen * i + kFreqLen);
                if (!own_lookups) s.lookup = sub(lookups, kScale * i, kScale * i + kScale);
                s.out = std::span(out + out_start[i], m);
            }
            decode_batch(path, batch);
        });
        return result;
    }

    const auto bounds = group_shards(n, [&](std::size_t i) { return counts[i]; });
    for_each_shard(bounds, [&](std::size_t i) {
        const std::size_t m = counts[i];
        if (m == 0) return;  // nothing of the shard is looked at
        const ShardRecord& rec = records[i];
        auto stream = payload.subspan(rec.stream_start, rec.length);  // inside: checked by the walk
        auto c = sub(cum, kCumLen * i, kCumLen * i + kCumLen);
        auto f = sub(freq, kFreqLen * i, kFreqLen * i + kFreqLen);
        const auto given =
            own_lookups ? std::span<const std::uint8_t>{} : sub(lookups, kScale * i, kScale * i + kScale);
        std::vector<std::uint8_t> own(own_lookups ? kScale : 0);
        const auto l = slot_lookup(given, c, own);
        decode_4way_stream(rec.states, stream, c, f, l, std::span(out + out_start[i], m));
    });
    return result;
}

}  // namespace rans
