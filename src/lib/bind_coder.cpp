// The shard coder: the decode lookups, the single-stream decoder, the
// parallel shard encoder, payload packing, the parallel shard decoder and the
// division magic table.
#include <vector>

#include "../rans_core/coder.hpp"
#include "../rans_core/lookups.hpp"
#include "../rans_core/magic.hpp"
#include "bindings.hpp"
#include "signatures.hpp"

namespace binding {

PyObject* build_all_lookups(Frame& f) {
    constexpr Named p{sig::build_all_lookups};
    const std::size_t a = f.dim(p["all_cum_freqs"], 0), b = f.dim(p["all_cum_freqs"], 1);
    auto cum = f.in<std::uint64_t>(p["all_cum_freqs"]);
    auto out = f.run([&] { return rans::build_all_lookups(cum, a * b); });
    return array(std::move(out), {a, b, rans::kScale}).release();
}

PyObject* rans_decode_4way_core(Frame& f) {
    constexpr Named p{sig::rans_decode_4way_core};
    const std::uint64_t states[4] = {f.u64(p["st0"]), f.u64(p["st1"]), f.u64(p["st2"]),
                                     f.u64(p["st3"])};
    auto stream = f.in<std::uint8_t>(p["bitstream"]);
    auto cum = f.in<std::uint64_t>(p["cum_freqs"]);
    auto freq = f.in<std::uint64_t>(p["sym_freqs"]);
    auto lookup = f.in<std::uint8_t>(p["slot_lookup"]);
    auto out = f.out<std::uint8_t>(p["out"]);
    f.run([&] { rans::decode_4way_stream(states, stream, cum, freq, lookup, out); });
    return none().release();
}

PyObject* rans_encode_shards_parallel(Frame& f) {
    constexpr Named p{sig::rans_encode_shards_parallel};
    auto data = f.in<std::uint8_t>(p["data_flat"]);
    auto offsets = f.in<std::uint32_t>(p["shard_offsets"]);
    auto lengths = f.in<std::uint32_t>(p["shard_lengths"]);
    auto cum = f.in<std::uint64_t>(p["cum_freqs"]);
    auto freq = f.in<std::uint64_t>(p["sym_freqs"]);
    const std::uint64_t initial = f.u64(p["initial_state"]);
    auto enc = f.run([&] { return rans::encode_shards(data, offsets, lengths, cum, freq, initial); });
    const std::size_t n = enc.lengths.size(), total = enc.streams.size();
    Ref states = array(std::move(enc.final_states), {n, 4});
    Ref streams = array(std::move(enc.streams), {total});
    Ref offs = array(std::move(enc.offsets), {n});
    Ref lens = array(std::move(enc.lengths), {n});
    return tuple({&states, &streams, &offs, &lens}).release();
}

PyObject* pack_shard_payloads(Frame& f) {
    constexpr Named p{sig::pack_shard_payloads};
    auto states = f.in<std::uint64_t>(p["final_states"]);
    auto lengths = f.in<std::uint32_t>(p["bs_lengths"]);
    auto offsets = f.in<std::uint32_t>(p["bs_offsets"]);
    auto streams = f.in<std::uint8_t>(p["bitstreams_flat"]);
    auto out = f.out<std::uint8_t>(p["out"]);
    auto write_offsets = f.in<std::uint32_t>(p["write_offsets"]);
    f.run([&] { rans::pack_shard_payloads(states, lengths, offsets, streams, out, write_offsets); });
    return none().release();
}

PyObject* rans_decode_shards_parallel(Frame& f) {
    constexpr Named p{sig::rans_decode_shards_parallel};
    auto payload = f.in<std::uint8_t>(p["payload"]);
    auto counts = f.in<std::uint32_t>(p["shard_counts"]);
    auto cum = f.in<std::uint64_t>(p["cum_freqs"]);
    auto freq = f.in<std::uint64_t>(p["sym_freqs"]);
    auto lookups = f.in<std::uint8_t>(p["lookups"]);
    auto dec = f.run([&] { return rans::decode_shards(payload, counts, cum, freq, lookups); });
    const std::size_t n = dec.symbols.size();
    Ref symbols = array(std::move(dec.symbols), {n});
    Ref consumed = integer(dec.consumed);
    return tuple({&symbols, &consumed}).release();
}

PyObject* get_magic_lut(Frame&) {
    std::vector<std::uint64_t> copy(rans::kMagic.begin(), rans::kMagic.end());
    return array(std::move(copy), {rans::kMagicSize}).release();
}

}  // namespace binding
