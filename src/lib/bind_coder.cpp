// The shard coder: the decode lookups, the single-stream decoder, the
// parallel shard encoder, payload packing, the parallel shard decoder and the
// division magic table.
#include <vector>

#include "../rans_core/coder.hpp"
#include "../rans_core/lookups.hpp"
#include "../rans_core/magic.hpp"
#include "args.hpp"
#include "bindings.hpp"

namespace binding {
PyObject* build_all_lookups(Frame& f) {
    constexpr Named p{sig::build_all_lookups};
    const std::size_t a = f.dim(p["all_cum_freqs"], 0), b = f.dim(p["all_cum_freqs"], 1);
    auto out = f.run([&] { return rans::build_all_lookups(f.in<U64>(p["all_cum_freqs"]), a * b); });
    return array(std::move(out), {a, b, rans::kScale}).release();
}

PyObject* rans_decode_4way_core(Frame& f) {
    constexpr Named p{sig::rans_decode_4way_core};
    const std::uint64_t states[4] = {f.u64(p["st0"]), f.u64(p["st1"]), f.u64(p["st2"]),
                                     f.u64(p["st3"])};
    f.run([&] {
        rans::decode_4way_stream(states, f.in<U8>(p["bitstream"]), f.in<U64>(p["cum_freqs"]),
                                 f.in<U64>(p["sym_freqs"]), f.in<U8>(p["slot_lookup"]),
                                 f.out<U8>(p["out"]));
    });
    return none().release();
}

namespace {

// rans_encode_shards_parallel, or the front end's _rans_encode_shards_packed
// (the same parameters; the streams back to back): the final states, the
// streams' buffer, where each stream starts in it, and its length.
template <class Encode>
PyObject* encoded_shards(Frame& f, Encode encode) {
    constexpr Named p{sig::rans_encode_shards_parallel};
    auto enc = f.run([&] {
        return encode(f.in<U8>(p["data_flat"]), f.in<U32>(p["shard_offsets"]), f.in<U32>(p["shard_lengths"]),
                      f.in<U64>(p["cum_freqs"]), f.in<U64>(p["sym_freqs"]), f.u64(p["initial_state"]));
    });
    const std::size_t n = enc.lengths.size(), total = enc.streams.size();
    Ref states = array(std::move(enc.final_states), {n, 4}), streams = array(std::move(enc.streams), {total});
    Ref offs = array(std::move(enc.offsets), {n}), lens = array(std::move(enc.lengths), {n});
    return tuple({&states, &streams, &offs, &lens}).release();
}

}  // namespace

PyObject* rans_encode_shards_parallel(Frame& f) {
    return encoded_shards(f, rans::encode_shards);
}

PyObject* rans_encode_shards_packed(Frame& f) {
    return encoded_shards(f, rans::encode_shards_packed);
}

PyObject* pack_shard_payloads(Frame& f) {
    constexpr Named p{sig::pack_shard_payloads};
    f.run([&] {
        rans::pack_shard_payloads(f.in<U64>(p["final_states"]), f.in<U32>(p["bs_lengths"]),
                                  f.in<U32>(p["bs_offsets"]), f.in<U8>(p["bitstreams_flat"]),
                                  f.out<U8>(p["out"]), f.in<U32>(p["write_offsets"]));
    });
    return none().release();
}

PyObject* rans_decode_shards_parallel(Frame& f) {
    constexpr Named p{sig::rans_decode_shards_parallel};
    const auto cum = f.in<U64>(p["cum_freqs"]), freq = f.in<U64>(p["sym_freqs"]);
    auto dec = f.run([&] {
        return rans::decode_shards(f.in<U8>(p["payload"]), f.in<U32>(p["shard_counts"]), cum, freq,
                                   f.in<U8>(p["lookups"]));
    });
    const std::size_t n = dec.symbols.size();
    Ref symbols = array(std::move(dec.symbols), {n});
    Ref consumed = integer(dec.consumed);
    return tuple({&symbols, &consumed}).release();
}

// rans_decode_shards_parallel without the lookups: the decoder makes each
// shard's where it uses it (the front end's decode).
PyObject* rans_decode_own_lookups(Frame& f) {
    constexpr Named p{sig::rans_decode_own_lookups};
    const auto cum = f.in<U64>(p["cum_freqs"]), freq = f.in<U64>(p["sym_freqs"]);
    auto dec = f.run([&] {
        return rans::decode_shards(f.in<U8>(p["payload"]), f.in<U32>(p["shard_counts"]), cum, freq, {}, true);
    });
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
