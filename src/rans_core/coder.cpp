// The parallel shard encoder, the exact mirror of decode_4way_stream.
#include "coder.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "../pool/pool.hpp"
#include "coder_encode.hpp"
#include "fault.hpp"
#include "lookups.hpp"
#include "magic.hpp"
#include "rans_step.hpp"

namespace rans {

void for_each_shard(const std::vector<std::size_t>& bounds, const std::function<void(std::size_t)>& body) {
    pool::parallel_each_lowest_fault(bounds.size() - 1, [&](std::size_t t) {
        for (std::size_t i = bounds[t]; i < bounds[t + 1]; ++i) body(i);
    });
}

std::uint32_t shard_capacity(std::uint32_t m) {
    constexpr std::uint64_t kMax = UINT32_MAX;
    const std::uint64_t twice = std::min<std::uint64_t>(kMax, 2 * static_cast<std::uint64_t>(m));
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(kMax, twice + 1024));
}

namespace {

constexpr std::uint64_t kMaxFreq = kScale;  // 4096
constexpr std::size_t kFastMinSymbols = 32;

[[noreturn]] void refuse_symbol(std::size_t shard, std::uint8_t s, std::uint64_t f) {
    if (f == 0)
        throw InvalidInput("shard " + std::to_string(shard) + ": symbol " + std::to_string(s) +
                           " has frequency 0 in the shard's table and cannot be encoded");
    index_fault(kMagicSize, f);  // beyond the division table
}

// The general encode step for any state and any table: bytes go out one at a
// time; those that do not fit in the room are counted, not written.
struct CountingSink {
    std::uint8_t* buf;
    std::size_t room;
    std::size_t len = 0;
    void operator()(std::uint8_t b) {
        if (len < room) buf[len] = b;
        ++len;
    }
};

// Symbols are coded from the last to the first: the tail (positions
// 4*floor(m/4) .. m-1, state p mod 4) from its end, then the full groups from
// the last one down, states 3, 2, 1, 0 within a group.
template <class Step>
void encode_order(const EncodeJob& job, std::uint64_t x[4], Step&& step) {
    const std::uint8_t* d = job.symbols;
    const std::size_t full = job.m & ~std::size_t{3};
    for (std::size_t p = job.m; p-- > full;) step(x[p & 3], d[p]);
    std::uint64_t x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3];
    for (std::size_t p = full; p > 0; p -= 4) {
        step(x3, d[p - 1]);
        step(x2, d[p - 2]);
        step(x1, d[p - 3]);
        step(x0, d[p - 4]);
    }
    x[0] = x0, x[1] = x1, x[2] = x2, x[3] = x3;
}

// The shard with the checked step; returns the number of bytes emitted.
std::size_t encode_checked(const EncodeJob& job, std::uint64_t x[4]) {
    CountingSink sink{job.slot, job.room};
    encode_order(job, x, [&](std::uint64_t& st, std::uint8_t s) {
        const std::uint64_t f = job.freq[s];
        if (f - 1 >= kMaxFreq) [[unlikely]]
            refuse_symbol(job.index, s, f);
        st = encode_step(st, f, job.cum[s], sink);
    });
    return sink.len;
}

// The shard with the fast step, when its bounds hold (see encode_shards):
// at most two bytes per symbol, and one spare byte stored past the end.
// Returns false, with nothing decided, if the shard holds a symbol that
// cannot be coded.
bool encode_fast(const EncodeJob& job, const EncSymbol* table, std::uint64_t x[4], std::size_t& len) {
    std::uint8_t* p = job.slot;
    std::uint32_t bad = 0;
    encode_order(job, x, [&](std::uint64_t& st, std::uint8_t s) { encode_step_fast(st, table[s], bad, p); });
    len = static_cast<std::size_t>(p - job.slot);
    p[0] = 0;  // the spare byte of the last unconditional store
    return bad == 0;
}

}  // namespace

void encode_one(const EncodeJob& job, std::uint64_t initial_state) {
    const std::size_t m = job.m;
    // The fast step needs every state in [1, 2^43): a state leaving a step
    // is below 2^39 + c and at least 1, so small cumulative values keep it
    // there. Each symbol then emits at most two bytes, and the step stores
    // two bytes past the current end.
    // A short shard takes the checked step outright: building the fast
    // step's table would cost more than its symbols.
    bool fast = m >= kFastMinSymbols && initial_state >= 1 && initial_state < (1ull << 43) && job.room >= 2 * m + 2;
    EncSymbol table[256];
    for (std::size_t s = 0; s < 256 && fast; ++s) {
        table[s] = make_symbol(job.freq[s], job.cum[s]);
        fast = job.cum[s] < (1ull << 42);
    }
    std::uint64_t x[4] = {initial_state, initial_state, initial_state, initial_state};
    std::size_t len = 0;
    if (!fast || !encode_fast(job, table, x, len)) {
        std::fill(x, x + 4, initial_state);
        len = encode_checked(job, x);
    }
    if (len > job.room) {
        // Past the end of the buffer, or (only with tables that are not
        // running sums) past the shard's own slot: refused either way, so
        // shards never write into each other's room.
        const std::size_t end = job.offset + len;
        if (end > job.buffer_size) slice_end_fault(end, job.buffer_size);
        slice_end_fault(end, job.offset + job.room);
    }
    std::copy(x, x + 4, job.states);
    *job.length = static_cast<std::uint32_t>(len);
}

void encode_batch(CoderPath path, std::span<const EncodeJob> batch, std::uint64_t initial_state) {
    if (path != CoderPath::scalar) return encode_batch_avx2(batch, initial_state);  // AVX-512 CPUs too
    for (const EncodeJob& job : batch) encode_one(job, initial_state);
}

namespace {

EncodedShards encode_into_slots(std::span<const std::uint8_t> data, std::span<const std::uint32_t> offsets,
                                std::span<const std::uint32_t> lengths, std::span<const std::uint64_t> cum,
                                std::span<const std::uint64_t> freq, std::uint64_t initial_state, Fill slots) {
    // Each shard's room is sized from its length before any shard is coded,
    // so every task reads the lengths from this copy: the caller's array may
    // change meanwhile, and a longer room would reach into the next shard's.
    const std::vector<std::uint32_t> own_lengths(lengths.begin(), lengths.end());
    lengths = own_lengths;
    const std::size_t n = lengths.size();
    EncodedShards out;
    out.final_states.assign(checked_mul(n, 4), initial_state);
    out.offsets.resize(n);
    out.lengths.assign(n, 0);

    // slots: saturating 32-bit running sum of the capacities
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        out.offsets[i] = static_cast<std::uint32_t>(total);
        total = std::min<std::uint64_t>(UINT32_MAX, total + shard_capacity(lengths[i]));
    }
    // zero, its pages mapped only where a stream lands; or unfilled, when
    // only the streams themselves are kept
    out.streams = ZeroedBytes(total, ZeroedAllocator<std::uint8_t>(slots));

    // Shard i's job, or nothing for a shard that codes no bytes; faults on
    // rows, offsets or symbols outside their arrays.
    const auto job_of = [&](std::size_t i) -> std::optional<EncodeJob> {
        const std::size_t m = lengths[i];
        auto f = sub(freq, kFreqLen * i, kFreqLen * i + kFreqLen);
        auto c = sub(cum, kCumLen * i, kCumLen * i + kCumLen);
        if (m == 0 || f[0] == kScale) return std::nullopt;  // states stay initial, no bytes
        const std::size_t start = at(offsets, i);
        // the encoder reads the last symbol first
        if (start + m > data.size()) index_fault(data.size(), start + m - 1);
        const std::size_t slot = out.offsets[i];
        const std::size_t room = std::min<std::size_t>(shard_capacity(lengths[i]), out.streams.size() - slot);
        return EncodeJob{i,     data.data() + start, m, f.data(), c.data(), out.streams.data() + slot, slot, room,
                         out.streams.size(), out.final_states.data() + 4 * i, out.lengths.data() + i};
    };

    const CoderPath path = coder_path();
    if (path == CoderPath::scalar) {
        const auto bounds = group_shards(n, [&](std::size_t i) { return lengths[i]; });
        for_each_shard(bounds, [&](std::size_t i) {
            if (const auto job = job_of(i)) encode_one(*job, initial_state);
        });
        return out;
    }

    // Several shards in flight per task, so that the vector encoder has
    // independent states to interleave (the decoder's grouping). A task
    // takes its shards' jobs in shard order; a fault while taking one waits
    // until the shards before it are coded, whose own faults come first.
    const auto tasks =
        group_shard_batches(n, kEncodeBatchShards, pool::size(), [&](std::size_t i) { return lengths[i]; });
    pool::parallel_each_lowest_fault(tasks.size() - 1, [&](std::size_t t) {
        std::vector<EncodeJob> batch;
        std::exception_ptr fault;
        for (std::size_t i = tasks[t]; i < tasks[t + 1] && !fault; ++i) {
            try {
                if (const auto job = job_of(i)) batch.push_back(*job);
            } catch (...) {
                fault = std::current_exception();
            }
        }
        encode_batch(path, batch, initial_state);
        if (fault) std::rethrow_exception(fault);
    });
    return out;
}

}  // namespace

EncodedShards encode_shards(std::span<const std::uint8_t> data, std::span<const std::uint32_t> offsets,
                            std::span<const std::uint32_t> lengths, std::span<const std::uint64_t> cum,
                            std::span<const std::uint64_t> freq, std::uint64_t initial_state) {
    return encode_into_slots(data, offsets, lengths, cum, freq, initial_state, Fill::sparse);
}

EncodedShards encode_shards_packed(std::span<const std::uint8_t> data, std::span<const std::uint32_t> offsets,
                                   std::span<const std::uint32_t> lengths, std::span<const std::uint64_t> cum,
                                   std::span<const std::uint64_t> freq, std::uint64_t initial_state) {
    EncodedShards out = encode_into_slots(data, offsets, lengths, cum, freq, initial_state, Fill::unfilled);
    // a slot starts at the sum of the rooms before it, each at least its
    // stream's length: every stream moves down (or stays), in shard order
    std::size_t end = 0;
    for (std::size_t i = 0; i < out.lengths.size(); ++i) {
        std::memmove(out.streams.data() + end, out.streams.data() + out.offsets[i], out.lengths[i]);
        out.offsets[i] = static_cast<std::uint32_t>(end);
        end += out.lengths[i];
    }
    out.streams.resize(end);
    return out;
}

}  // namespace rans
