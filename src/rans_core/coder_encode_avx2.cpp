// The shard encoder on AVX2: several shards in flight, one vector per shard
// holding its four states (64-bit lanes), so every step codes a group of four
// symbols and the shards' dependency chains overlap. The mirror of the AVX2
// decoder (coder_decode_avx2.cpp).
//
// A shard entering a lane first codes its n mod 4 tail with the scalar step
// (the tail comes first in the stream); then each vector step codes one full
// group, from the last group down. A step:
// - loads the four symbols' entries from the shard's table (frequency and
//   cumulative start in one 64-bit word, and 0.5/f as a double);
// - emission: lane k sends out no byte if x < f << 27, one if x < f << 35,
//   else two (x < 2^43 on entry, so x >> 16 < 2^27 <= f << 27: never three).
//   The stream takes the group's bytes in the order of the scalar encoder:
//   state 3's first, then 2, 1, 0, each state's low byte before its second.
//   The low 16 bits of the lanes are gathered into one 128-bit register, a
//   byte shuffle chosen by the eight bits of the two comparisons puts the
//   emitted bytes in order and zeroes the rest, and one 8-byte store writes
//   them; the stream pointer moves on by the number emitted. The zero bytes
//   past the end are overwritten by the next store or stay as the buffer's
//   zero padding.
// - division, without a 64-bit multiply-high: see divide_avx2.hpp.
//
// Exactness. The vector path takes only shards of at least kMinSymbols
// symbols from an initial state below 2^43, with every cumulative value
// below 2^32 and room for two bytes a symbol and the last 8-byte store. A
// state leaving a step is below f * 2^27 + c < 2^39 + 2^32 < 2^43, so every
// step meets the bounds above and the arithmetic never wraps. A symbol of
// frequency 0 or above 4096 gets a harmless entry (f = 4096) with bit 63
// set; the lanes gather those bits, and a shard that met one is coded again
// on the scalar path, which refuses it with the scalar path's message.
#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "coder_encode.hpp"
#include "divide_avx2.hpp"
#include "rans_step.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace rans {

#if defined(__x86_64__)
namespace {

constexpr std::size_t kLanes = kEncodeLanes;  // shards in flight (fewer near the end of a batch)
constexpr std::size_t kMinSymbols = 32;    // shorter shards are cheaper on the scalar path
constexpr std::uint64_t kStateLimit = 1ull << 43;
constexpr std::uint64_t kBadBit = 1ull << 63;

// A symbol's entry: a = c << 32 | f, and h = 0.5 / f rounded to nearest.
struct alignas(16) Entry {
    std::uint64_t a;
    double h;
};

struct ShardTable {
    Entry e[256];
};

// Byte shuffles of the emission, indexed by the eight bits of one mask: bit
// 2k says state k emits no first byte (x < f << 27), bit 2k + 1 no second
// one (x < f << 35). The source holds lane k's low two bytes at 4k and
// 4k + 1; the result the emitted bytes of states 3, 2, 1, 0 in turn, then
// zeros.
struct EmitShuffles {
    alignas(8) std::uint8_t ctrl[256][8];
};

constexpr EmitShuffles make_emit_shuffles() {
    EmitShuffles t{};
    for (int idx = 0; idx < 256; ++idx) {
        std::uint8_t* c = t.ctrl[idx];
        for (int b = 0; b < 8; ++b) c[b] = 0x80;
        int pos = 0;
        for (int k = 3; k >= 0; --k) {
            const int n = 2 - ((idx >> (2 * k)) & 1) - ((idx >> (2 * k + 1)) & 1);
            for (int b = 0; b < n; ++b) c[pos++] = static_cast<std::uint8_t>(4 * k + b);
        }
    }
    return t;
}

constexpr EmitShuffles kEmit = make_emit_shuffles();

// Builds the shard's table, or returns false if a cumulative value is 2^32
// or more (the shard then takes the scalar path).
[[gnu::target("avx2")]] bool build_table(const EncodeJob& job, ShardTable& t) {
    const __m256i sign = _mm256_set1_epi64x(std::numeric_limits<std::int64_t>::min());
    const __m256i max_f = _mm256_xor_si256(_mm256_set1_epi64x(kScale - 1), sign);  // f - 1 <= 4095
    const __m256i one = _mm256_set1_epi64x(1), scale = _mm256_set1_epi64x(kScale);
    const __m256i bad_bit = _mm256_set1_epi64x(static_cast<long long>(kBadBit));
    const __m256i exp52 = _mm256_set1_epi64x(0x4330000000000000);  // the bits of 2^52
    const __m256d two52 = _mm256_set1_pd(0x1p52), halves = _mm256_set1_pd(0.5);
    __m256i high = _mm256_setzero_si256();
    for (std::size_t s = 0; s < 256; s += 4) {
        const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(job.freq + s));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(job.cum + s));
        high = _mm256_or_si256(high, _mm256_srli_epi64(c, 32));
        // f = 0 or f > 4096: unsigned f - 1 > 4095 (both sides flip their sign bit)
        const __m256i bad = _mm256_cmpgt_epi64(_mm256_xor_si256(_mm256_sub_epi64(f, one), sign), max_f);
        const __m256i fc = _mm256_blendv_epi8(f, scale, bad);
        const __m256i a = _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi64(c, 32), fc), _mm256_and_si256(bad, bad_bit));
        // fc <= 4096 as a double: its bits under the exponent of 2^52, less 2^52
        const __m256d fd = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(fc, exp52)), two52);
        const __m256i h = _mm256_castpd_si256(_mm256_div_pd(halves, fd));
        const __m256i lo = _mm256_unpacklo_epi64(a, h), hi = _mm256_unpackhi_epi64(a, h);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(t.e + s), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(t.e + s + 2), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    return _mm256_testz_si256(high, high);
}

// One group of the shard: symbols g[0..3] on states 0..3 (lanes of x), bytes
// out at p. `seen` gathers the entries' bad bits.
[[gnu::target("avx2,fma,popcnt"), gnu::always_inline]] inline void step(__m256i& x, __m256i& seen, const Entry* t,
                                                                     const std::uint8_t* g, std::uint8_t*& p) {
    // plain loads: on some cores a gather costs more than its parts
    const __m128i e0 = _mm_load_si128(reinterpret_cast<const __m128i*>(t + g[0]));
    const __m128i e1 = _mm_load_si128(reinterpret_cast<const __m128i*>(t + g[1]));
    const __m128i e2 = _mm_load_si128(reinterpret_cast<const __m128i*>(t + g[2]));
    const __m128i e3 = _mm_load_si128(reinterpret_cast<const __m128i*>(t + g[3]));
    const __m256i e02 = _mm256_inserti128_si256(_mm256_castsi128_si256(e0), e2, 1);
    const __m256i e13 = _mm256_inserti128_si256(_mm256_castsi128_si256(e1), e3, 1);
    const __m256i a = _mm256_unpacklo_epi64(e02, e13);  // c << 32 | f, lanes 0..3
    const __m256d h = _mm256_castsi256_pd(_mm256_unpackhi_epi64(e02, e13));
    seen = _mm256_or_si256(seen, a);

    const __m256i f = _mm256_and_si256(a, _mm256_set1_epi64x(0xFFFFFFFF));
    // the states that emit no first byte (-1), and no second byte
    const __m256i keep1 = _mm256_cmpgt_epi64(_mm256_slli_epi64(f, kEmitShift), x);
    const __m256i keep2 = _mm256_cmpgt_epi64(_mm256_slli_epi64(f, kEmitShift + 8), x);
    // keep1 in each lane's low half, keep2 in its high half: one mask of eight bits
    const unsigned idx = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_blend_epi32(keep1, keep2, 0xAA))));
    const __m256i low_dwords = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m128i low = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(x, low_dwords));
    const __m128i bytes = _mm_shuffle_epi8(low, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kEmit.ctrl[idx])));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), bytes);
    p += 8;  // less the bytes kept back
    p -= static_cast<std::size_t>(_mm_popcnt_u32(idx));
    // one byte out: x >> 8; two: x >> 16
    x = _mm256_blendv_epi8(_mm256_blendv_epi8(_mm256_srli_epi64(x, 16), _mm256_srli_epi64(x, 8), keep2), x, keep1);

    // x + q * (4096 - f) + c = (q << 12) + r + c; the multiply reads the low
    // 32 bits of each lane: q < 2^27 and 4096 - f
    const __m256i q = divide_exact(x, f, h);
    const __m256i cmpl = _mm256_sub_epi64(_mm256_set1_epi64x(kScale), a);
    x = _mm256_add_epi64(x, _mm256_add_epi64(_mm256_mul_epu32(q, cmpl), _mm256_srli_epi64(a, 32)));
}

// A shard in a lane, between runs.
struct Lane {
    const EncodeJob* job = nullptr;
    std::size_t pos = 0;                  // the job's place in the batch
    const std::uint8_t* group = nullptr;  // one past the next group to code (going down)
    std::size_t groups = 0;               // full groups left
    std::uint8_t* p = nullptr;            // stream end
    alignas(32) std::uint64_t x[4];       // states 0..3
};

// `rounds` groups on each of the first N lanes (each has that many left),
// lane j with tables[j]. Returns whether an entry met had its bad bit set.
template <std::size_t N>
[[gnu::target("avx2,fma,popcnt")]] bool run(Lane* lanes, const ShardTable* tables, std::size_t rounds) {
    __m256i xs[N];
    const std::uint8_t* gs[N];  // the lowest group of the run
    std::uint8_t* ps[N];
    for (std::size_t j = 0; j < N; ++j) {
        xs[j] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes[j].x));
        gs[j] = lanes[j].group - 4 * rounds;
        ps[j] = lanes[j].p;
    }
    __m256i seen = _mm256_setzero_si256();
    for (std::size_t r = 4 * rounds; r != 0;) {
        r -= 4;
#pragma GCC unroll 4
        for (std::size_t j = 0; j < N; ++j) step(xs[j], seen, tables[j].e, gs[j] + r, ps[j]);
    }
    for (std::size_t j = 0; j < N; ++j) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[j].x), xs[j]);
        lanes[j].group = gs[j];
        lanes[j].p = ps[j];
        lanes[j].groups -= rounds;
    }
    const __m256i bad = _mm256_and_si256(seen, _mm256_set1_epi64x(static_cast<long long>(kBadBit)));
    return !_mm256_testz_si256(bad, bad);
}

}  // namespace

void encode_batch_avx2(std::span<const EncodeJob> batch, std::uint64_t initial_state) {
    // Longest shards first, so that the lanes run out of work at about the
    // same time. Shards write disjoint slots, and faults are raised below in
    // shard order, so the order changes nothing but the speed.
    std::vector<std::size_t> queue;
    if (initial_state < kStateLimit)
        for (std::size_t i = 0; i < batch.size(); ++i)
            if (batch[i].m >= kMinSymbols && batch[i].room >= 2 * batch[i].m + 8) queue.push_back(i);
    std::stable_sort(queue.begin(), queue.end(), [&](std::size_t a, std::size_t b) { return batch[a].m > batch[b].m; });
    std::vector<bool> done(batch.size());  // coded here, exactly

    if (!queue.empty()) {
        // The busy lanes are always the first `active`, so that one base
        // register reaches every lane's table.
        auto tables = std::make_unique_for_overwrite<ShardTable[]>(kLanes);
        Lane lanes[kLanes];
        std::size_t active = 0, next = 0;

        // Lane j takes the next shard the vector path can take, its tail
        // coded; the others are left to the scalar encoder. Returns false
        // once the queue is done.
        auto take_next = [&](std::size_t j) {
            Lane& lane = lanes[j];
            while (next < queue.size()) {
                const std::size_t pos = queue[next++];
                const EncodeJob& job = batch[pos];
                if (!build_table(job, tables[j])) continue;
                std::uint64_t x[4] = {initial_state, initial_state, initial_state, initial_state};
                std::uint8_t* p = job.slot;
                const std::size_t full = job.m & ~std::size_t{3};
                bool ok = true;
                for (std::size_t i = job.m; i-- > full && ok;) {
                    const std::uint8_t s = job.symbols[i];
                    const std::uint64_t f = job.freq[s];
                    ok = f - 1 < kScale;
                    if (ok) x[i & 3] = encode_step(x[i & 3], f, job.cum[s], [&](std::uint8_t b) { *p++ = b; });
                }
                if (!ok) continue;
                lane.job = &job;
                lane.pos = pos;
                lane.group = job.symbols + full;
                lane.groups = full / 4;
                lane.p = p;
                std::copy(x, x + 4, lane.x);
                return true;
            }
            return false;
        };
        // Lane j's shard leaves its lane: coded, or dropped if `keep` is
        // false. The last busy lane moves into its place once no shard is
        // left to take.
        auto release = [&](std::size_t j, bool keep) {
            Lane& lane = lanes[j];
            if (keep) {
                std::copy(lane.x, lane.x + 4, lane.job->states);
                *lane.job->length = static_cast<std::uint32_t>(lane.p - lane.job->slot);
                done[lane.pos] = true;
            }
            if (take_next(j)) return;
            if (j != --active) {
                lane = lanes[active];
                tables[j] = tables[active];
            }
        };

        while (active < kLanes && take_next(active)) ++active;
        while (active > 0) {
            std::size_t rounds = SIZE_MAX;
            for (std::size_t j = 0; j < active; ++j) rounds = std::min(rounds, lanes[j].groups);
            bool bad = false;
            static_assert(kLanes == 3, "one run<N> for every number of busy lanes");
            switch (active) {
                case 1: bad = run<1>(lanes, tables.get(), rounds); break;
                case 2: bad = run<2>(lanes, tables.get(), rounds); break;
                default: bad = run<3>(lanes, tables.get(), rounds);
            }
            // A symbol that cannot be coded was met by one of the shards in
            // flight: all of them go to the scalar encoder (only on the way
            // to a fault, so slow is good enough). Going down, a lane moved
            // into place j comes from above j, where every lane is settled.
            for (std::size_t j = active; j-- > 0;)
                if (bad || lanes[j].groups == 0) release(j, !bad);
        }
    }
    // Every other shard on the scalar encoder, in shard order: the first
    // fault met is the batch's lowest.
    for (std::size_t i = 0; i < batch.size(); ++i)
        if (!done[i]) encode_one(batch[i], initial_state);
}

#else

void encode_batch_avx2(std::span<const EncodeJob> batch, std::uint64_t initial_state) {
    for (const EncodeJob& job : batch) encode_one(job, initial_state);
}

#endif

}  // namespace rans
