// The shard decoder on AVX2: several shards in flight, one vector per shard
// holding its four states (64-bit lanes), so every step decodes a group of
// four symbols and the shards' dependency chains overlap.
//
// A step: slot = x & 0xFFF in each lane; four byte loads of the shard's slot
// lookup give the symbols, four loads of its per-symbol entries (frequency,
// cumulative start) the arithmetic, x = f * (x >> 12) + slot - cum; then the
// refill. A shard's tables take 6 KiB, so the four shards in flight keep
// theirs in the first-level cache with room for the streams and the output
// (eight in flight measured slower: their tables no longer fit), and a
// shard's setup writes 256 entries and a copy of the lookup. Within a group
// the states take their bytes in the order 0, 1, 2, 3, each one byte if it
// fell below 2^31 and a second one if it was below 2^23, so the lanes' bytes
// are consecutive in the stream: the two masks of the comparisons select a
// byte shuffle of the next eight stream bytes that gives every lane its
// byte(s), and the stream pointer moves back by the number of bytes taken.
//
// Exactness. The vector path takes only a shard whose cumulative row runs
// from 0 to 4096 without decreasing, whose slot lookup is the one those
// ranges give, and whose used frequencies lie in 1..4095; and only states
// below 2^44. Then every slot's symbol has cum <= slot, so slot - cum lies
// in 0..4095; x >> 12 fits 32 bits (the multiply takes 32-bit halves); and
// a step maps a state below 2^44 to one below 2^44 (4096 * (2^32 - 1) + 4095
// < 2^44; a refill starts below 2^31), so the arithmetic never wraps and
// equals the scalar step's. Any other shard, and every shard once fewer than
// eight stream bytes or no full group are left, goes to the scalar decoder.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "coder.hpp"
#include "coder_simd.hpp"
#include "lookups.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace rans {

#if defined(__x86_64__)
namespace {

constexpr std::size_t kLanes = 4;           // shards in flight (fewer near the end of a batch)
constexpr std::size_t kMaxRounds = 1024;    // groups per run between bookkeeping
constexpr std::size_t kMinSymbols = 256;    // shorter shards are cheaper on the scalar path
constexpr std::uint64_t kStateLimit = 1ull << 44;

// Byte shuffles of the refill, indexed by the eight bits of one mask: bit 2k
// says state k keeps its value without a first byte (x >= 2^31), bit 2k + 1
// without a second one (x >= 2^23).
// The window holds the next eight stream bytes with the next one last
// (window byte 7 = end[-1]); lane k's bytes start `off` bytes further back,
// off = bytes taken by states 0..k-1. One byte b1 gives the lane b1; two give
// b1 << 8 | b2.
struct RefillShuffles {
    alignas(32) std::uint8_t ctrl[256][32];
};

constexpr RefillShuffles make_refill_shuffles() {
    RefillShuffles t{};
    for (int idx = 0; idx < 256; ++idx) {
        int off = 0;
        for (int k = 0; k < 4; ++k) {
            std::uint8_t* c = t.ctrl[idx] + 8 * k;
            for (int b = 0; b < 8; ++b) c[b] = 0x80;
            const int n = 2 - ((idx >> (2 * k)) & 1) - ((idx >> (2 * k + 1)) & 1);
            if (n == 1 && off <= 7) c[0] = static_cast<std::uint8_t>(7 - off);
            if (n == 2 && off <= 6) {
                c[0] = static_cast<std::uint8_t>(6 - off);
                c[1] = static_cast<std::uint8_t>(7 - off);
            }
            off += n;
        }
    }
    return t;
}

constexpr RefillShuffles kRefill = make_refill_shuffles();

// Per-symbol entry: frequency in the low half (the multiply reads the low 32
// bits of a lane), cumulative start in the high half.
constexpr std::uint64_t entry(std::uint64_t f, std::uint64_t c) { return c << 32 | f; }

// A shard's tables side by side, so that a lane needs one pointer: the
// per-symbol entries and a copy of its slot lookup (checked against the
// caller's), with room for the spill of write_ascending_lookup.
struct ShardTable {
    std::uint64_t e[256];
    std::uint8_t lookup[kScale + kLookupSpill];
};

// An idle lane decodes symbol 0 of frequency 1 and start 0 everywhere from a
// stream of zeros long enough for a run (at most eight bytes a group): it
// writes into scratch, and its state stays below 2^44 like any other.
constexpr ShardTable make_idle_table() {
    ShardTable t{};
    t.e[0] = entry(1, 0);
    return t;
}
constexpr ShardTable kIdle = make_idle_table();
constexpr std::uint8_t kIdleStream[8 * kMaxRounds + 8] = {};

// Builds the tables of a shard, or returns false if the shard must take the
// scalar path (see Exactness above): the slot lookup the cumulative ranges
// give must be the caller's.
[[gnu::target("avx2")]] bool build_table(const ShardStream& s, ShardTable& t) {
    const std::uint64_t* c = s.cum.data();
    const std::uint64_t* f = s.freq.data();
    if (c[0] != 0 || c[256] != kScale) return false;
    // Every range ascends and ends by 4096, and every used frequency lies in
    // 1..4095: checked four symbols at a time, without a branch, before any
    // lookup byte is written (a range may pass 4096 before the row comes
    // back down). The comparisons are unsigned: both sides flip their sign bit.
    const __m256i sign = _mm256_set1_epi64x(std::numeric_limits<std::int64_t>::min());
    const __m256i scale = _mm256_xor_si256(_mm256_set1_epi64x(kScale), sign);
    const __m256i max_f = _mm256_xor_si256(_mm256_set1_epi64x(kScale - 2), sign);  // f - 1 <= 4094
    const __m256i one = _mm256_set1_epi64x(1);
    __m256i bad = _mm256_setzero_si256();
    for (std::size_t sym = 0; sym < 256; sym += 4) {
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + sym));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + sym + 1));
        const __m256i fr = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + sym));
        const __m256i los = _mm256_xor_si256(lo, sign), his = _mm256_xor_si256(hi, sign);
        const __m256i used = _mm256_cmpgt_epi64(his, los);
        const __m256i f_out = _mm256_cmpgt_epi64(_mm256_xor_si256(_mm256_sub_epi64(fr, one), sign), max_f);
        bad = _mm256_or_si256(bad, _mm256_or_si256(_mm256_cmpgt_epi64(los, his), _mm256_cmpgt_epi64(his, scale)));
        bad = _mm256_or_si256(bad, _mm256_and_si256(used, f_out));
        // entry(f, lo); an unused symbol's entry is never read
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(t.e + sym), _mm256_or_si256(_mm256_slli_epi64(lo, 32), fr));
    }
    if (!_mm256_testz_si256(bad, bad)) return false;
    write_ascending_lookup(c, t.lookup);
    // a lookup left to the decoder is this one (the ranges ascend and cover
    // every slot, so build_slot_lookup writes the same bytes)
    return s.lookup.empty() || std::memcmp(t.lookup, s.lookup.data(), kScale) == 0;
}

struct Lane {
    const ShardStream* shard = nullptr;  // nullptr: idle
    const std::uint8_t* end = nullptr;        // one past the next byte to read
    std::uint8_t* out = nullptr;                // output of the next full group
    std::size_t group = 0, groups = 0;          // next full group, full groups of the shard

    std::size_t safe_rounds() const {
        // a group takes at most eight bytes, and the window reads eight
        const std::size_t unread = static_cast<std::size_t>(end - shard->stream.data());
        return std::min(groups - group, unread / 8);
    }
};

[[gnu::target("avx2,popcnt"), gnu::always_inline]] inline void step(__m256i& x, const ShardTable* t,
                                                                     const std::uint8_t*& end, std::uint8_t* out) {
    const __m256i mask12 = _mm256_set1_epi64x(0xFFF);
    const __m256i slot = _mm256_and_si256(x, mask12);
    // plain loads: on some cores a gather costs more than its parts
    const __m128i lo = _mm256_castsi256_si128(slot), hi = _mm256_extracti128_si256(slot, 1);
    const std::uint8_t s0 = t->lookup[_mm_cvtsi128_si64(lo)], s1 = t->lookup[_mm_extract_epi64(lo, 1)];
    const std::uint8_t s2 = t->lookup[_mm_cvtsi128_si64(hi)], s3 = t->lookup[_mm_extract_epi64(hi, 1)];
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
    out[3] = s3;
    const __m128i e01 = _mm_insert_epi64(_mm_cvtsi64_si128(static_cast<long long>(t->e[s0])),
                                         static_cast<long long>(t->e[s1]), 1);
    const __m128i e23 = _mm_insert_epi64(_mm_cvtsi64_si128(static_cast<long long>(t->e[s2])),
                                         static_cast<long long>(t->e[s3]), 1);
    const __m256i e = _mm256_inserti128_si256(_mm256_castsi128_si256(e01), e23, 1);
    const __m256i q = _mm256_srli_epi64(x, 12);
    x = _mm256_sub_epi64(_mm256_add_epi64(_mm256_mul_epu32(q, e), slot), _mm256_srli_epi64(e, 32));

    // the states that need no first byte (-1), and no second byte
    const __m256i keep1 = _mm256_cmpgt_epi64(x, _mm256_set1_epi64x((1ll << 31) - 1));
    const __m256i keep2 = _mm256_cmpgt_epi64(x, _mm256_set1_epi64x((1ll << 23) - 1));
    // keep1 in each lane's low half, keep2 in its high half: one mask of eight bits
    const unsigned idx = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_blend_epi32(keep1, keep2, 0xAA))));
    std::uint64_t w;
    std::memcpy(&w, end - 8, 8);
    const __m256i bytes = _mm256_shuffle_epi8(_mm256_set1_epi64x(static_cast<long long>(w)),
                                              _mm256_load_si256(reinterpret_cast<const __m256i*>(kRefill.ctrl[idx])));
    // bits to shift in: 8 per byte taken (the masks are -1 where true)
    const __m256i shift =
        _mm256_slli_epi64(_mm256_add_epi64(_mm256_set1_epi64x(2), _mm256_add_epi64(keep1, keep2)), 3);
    x = _mm256_or_si256(_mm256_sllv_epi64(x, shift), bytes);
    end += static_cast<std::ptrdiff_t>(_mm_popcnt_u32(idx)) - 8;  // eight bytes less those kept
}

// `rounds` groups on each of the N lanes (each has that many safe groups).
// Lane j's tables are tabs[j]: one base register for all of them.
template <std::size_t N>
[[gnu::target("avx2,popcnt")]] void run(Lane* const (&ls)[N], std::uint64_t* const (&st)[N],
                                        const ShardTable* tabs, std::size_t rounds) {
    __m256i xs[N];
    const std::uint8_t* ends[N];
    std::uint8_t* outs[N];
    for (std::size_t j = 0; j < N; ++j) {
        xs[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(st[j]));
        ends[j] = ls[j]->end;
        outs[j] = ls[j]->out;
    }
    for (std::size_t r = 0; r < rounds; ++r) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < N; ++j) step(xs[j], tabs + j, ends[j], outs[j] + 4 * r);
    }
    for (std::size_t j = 0; j < N; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(st[j]), xs[j]);
        ls[j]->end = ends[j];
    }
}

}  // namespace

void decode_batch_avx2(std::span<const ShardStream> batch) {
    const bool any_long = std::any_of(batch.begin(), batch.end(),
                                      [](const ShardStream& s) { return s.out.size() >= kMinSymbols; });
    if (!any_long) return decode_batch(CoderPath::scalar, batch);
    // Longest shards first, so that the lanes run out of work at about the
    // same time and what is left when fewer than three are busy (decoded by
    // the scalar path) is short. Shards write disjoint outputs and decoding
    // raises no fault, so the order changes nothing but the speed.
    std::vector<const ShardStream*> queue(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) queue[i] = &batch[i];
    std::stable_sort(queue.begin(), queue.end(),
                     [](const ShardStream* a, const ShardStream* b) { return a->out.size() > b->out.size(); });
    // A lane reads tables[j] only once build_table has accepted a shard
    // there (which writes every entry and lookup byte) or the idle table has
    // been copied in.
    auto tables = std::make_unique_for_overwrite<ShardTable[]>(kLanes);
    bool idle_table[kLanes] = {};  // tables[j] holds the idle lane's table
    std::uint8_t scratch[4 * kMaxRounds];  // idle lanes' output
    Lane lanes[kLanes];
    std::uint64_t st[kLanes][4];
    std::size_t next = 0;
    std::vector<std::uint8_t> own_lookup(kScale);  // for shards the scalar path takes

    // Gives lane j the next shard the vector path can take; the others on
    // the way are decoded by the scalar path. Idle once the batch is done.
    auto take_next = [&](std::size_t j) {
        Lane& lane = lanes[j];
        lane = Lane{};
        while (next < queue.size()) {
            const ShardStream& s = *queue[next++];
            ShardTable& tab = tables[j];
            idle_table[j] = false;
            const bool states_ok = s.states[0] < kStateLimit && s.states[1] < kStateLimit &&
                                   s.states[2] < kStateLimit && s.states[3] < kStateLimit;
            if (s.out.size() >= kMinSymbols && s.freq[0] != kScale && states_ok && build_table(s, tab)) {
                lane.shard = &s;
                lane.end = s.stream.data() + s.stream.size();
                lane.out = s.out.data();
                lane.groups = s.out.size() / 4;
                std::copy(s.states, s.states + 4, st[j]);
                return;
            }
            decode_4way_stream(s.states, s.stream, s.cum, s.freq, slot_lookup(s.lookup, s.cum, own_lookup), s.out);
        }
        std::fill(st[j], st[j] + 4, 1ull << 31);
    };
    // Hands the rest of lane j's shard to the scalar decoder.
    auto finish = [&](std::size_t j) {
        const Lane& lane = lanes[j];
        const ShardStream& s = *lane.shard;
        // the lane's table holds the shard's lookup, the caller's or its own
        decode_4way_resume(st[j], s.stream, static_cast<std::size_t>(lane.end - s.stream.data()), s.cum, s.freq,
                           std::span<const std::uint8_t>(tables[j].lookup, kScale), s.out, lane.group);
    };

    for (std::size_t j = 0; j < kLanes; ++j) take_next(j);
    for (;;) {
        std::size_t rounds = kMaxRounds;
        std::size_t order[kLanes], active = 0;  // the active lanes
        for (std::size_t j = 0; j < kLanes; ++j) {
            while (lanes[j].shard && lanes[j].safe_rounds() == 0) {
                finish(j);
                take_next(j);
            }
            if (lanes[j].shard) {
                order[active++] = j;
                rounds = std::min(rounds, lanes[j].safe_rounds());
            } else {
                if (!idle_table[j]) tables[j] = kIdle;
                idle_table[j] = true;
                lanes[j].out = scratch;
                lanes[j].end = kIdleStream + sizeof kIdleStream;
            }
        }
        if (active == 0) break;
        // The batch has no shards left to start. One or two shards in
        // vectors would wait on their dependency chains, and the idle lanes
        // cost as much as busy ones: the scalar decoder is faster for them.
        if (active <= 2) {
            for (std::size_t k = 0; k < active; ++k) {
                finish(order[k]);
                lanes[order[k]].shard = nullptr;
            }
            break;
        }
        Lane* ls[kLanes];
        std::uint64_t* sts[kLanes];
        for (std::size_t j = 0; j < kLanes; ++j) {
            ls[j] = &lanes[j];
            sts[j] = st[j];
        }
        run<kLanes>(ls, sts, tables.get(), rounds);
        for (Lane& lane : lanes)
            if (lane.shard) {
                lane.group += rounds;
                lane.out += 4 * rounds;
            }
    }
}

#else

void decode_batch_avx2(std::span<const ShardStream> batch) { decode_batch(CoderPath::scalar, batch); }

#endif

}  // namespace rans
