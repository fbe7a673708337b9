// The shard coder: the single-stream decoder, the parallel shard encoder,
// payload packing, the parallel shard decoder and the division magic table.
#include <vector>

#include "../rans_core/coder.hpp"
#include "../rans_core/magic.hpp"
#include "bindings.hpp"

namespace binding {

PyObject* rans_decode_4way_core(Frame& f) {
    const std::uint64_t states[4] = {f.u64(0), f.u64(1), f.u64(2), f.u64(3)};
    auto stream = f.in<std::uint8_t>(4);
    auto cum = f.in<std::uint64_t>(5);
    auto freq = f.in<std::uint64_t>(6);
    auto lookup = f.in<std::uint8_t>(7);
    auto out = f.out<std::uint8_t>(8);
    f.run([&] { rans::decode_4way_stream(states, stream, cum, freq, lookup, out); });
    return none().release();
}

PyObject* rans_encode_shards_parallel(Frame& f) {
    auto data = f.in<std::uint8_t>(0);
    auto offsets = f.in<std::uint32_t>(1);
    auto lengths = f.in<std::uint32_t>(2);
    auto cum = f.in<std::uint64_t>(3);
    auto freq = f.in<std::uint64_t>(4);
    const std::uint64_t initial = f.u64(5);
    auto enc = f.run([&] { return rans::encode_shards(data, offsets, lengths, cum, freq, initial); });
    const std::size_t n = enc.lengths.size(), total = enc.streams.size();
    Ref states = array(std::move(enc.final_states), {n, 4});
    Ref streams = array(std::move(enc.streams), {total});
    Ref offs = array(std::move(enc.offsets), {n});
    Ref lens = array(std::move(enc.lengths), {n});
    return tuple({&states, &streams, &offs, &lens}).release();
}

PyObject* pack_shard_payloads(Frame& f) {
    auto states = f.in<std::uint64_t>(0);
    auto lengths = f.in<std::uint32_t>(1);
    auto offsets = f.in<std::uint32_t>(2);
    auto streams = f.in<std::uint8_t>(3);
    auto out = f.out<std::uint8_t>(4);
    auto write_offsets = f.in<std::uint32_t>(5);
    f.run([&] { rans::pack_shard_payloads(states, lengths, offsets, streams, out, write_offsets); });
    return none().release();
}

PyObject* rans_decode_shards_parallel(Frame& f) {
    auto payload = f.in<std::uint8_t>(0);
    auto counts = f.in<std::uint32_t>(1);
    auto cum = f.in<std::uint64_t>(2);
    auto freq = f.in<std::uint64_t>(3);
    auto lookups = f.in<std::uint8_t>(4);
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
