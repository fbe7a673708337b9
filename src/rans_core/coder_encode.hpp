// The shard encoder's instruction-set paths: one shard on the scalar encoder,
// and the batch encoder that keeps several shards in flight on the vector
// paths.
//
// Every path gives the same streams, lengths and final states as the scalar
// one, and the same faults: a vector path takes only the shards it can prove
// exact (states, tables and room within its bounds) and hands every other
// shard, and every shard that holds a symbol it cannot code, to the scalar
// encoder, in shard order, after its own shards are done. So the fault a batch
// raises is its lowest faulty shard's, whatever the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "coder_simd.hpp"

namespace rans {

// One shard to encode: m >= 1 symbols (read from the last to the first), its
// table rows (256 frequencies, 257 cumulative values; f[0] != 4096), its room
// in the stream buffer, and where its four final states and its length go.
struct EncodeJob {
    std::size_t index;  // shard number, for the messages
    const std::uint8_t* symbols;
    std::size_t m;
    const std::uint64_t* freq;
    const std::uint64_t* cum;
    std::uint8_t* slot;       // = buffer + offset
    std::size_t offset;       // the slot's start in the stream buffer
    std::size_t room;         // bytes of the slot the stream may fill
    std::size_t buffer_size;  // for the message of a stream past the buffer's end
    std::uint64_t* states;  // four
    std::uint32_t* length;
};

// Encodes one shard from four states equal to `initial_state`. A symbol of
// frequency 0 is InvalidInput, one above 4096 an index fault, a stream longer
// than the room a slice fault; states and length are then left as they were.
void encode_one(const EncodeJob& job, std::uint64_t initial_state);

// Shards in flight on the vector paths: three vectors of states keep the
// lanes' dependency chains busy, while a fourth runs short of registers
// (measured slower on AVX2). A batch of the parallel encoder takes at least
// kEncodeBatchShards shards (or the rest), a multiple of it.
inline constexpr std::size_t kEncodeLanes = 3;
inline constexpr std::size_t kEncodeBatchShards = 4 * kEncodeLanes;

// Encodes every shard of the batch with the given path, exactly as
// encode_one would, shard after shard; raises the fault of the lowest faulty
// shard.
void encode_batch(CoderPath path, std::span<const EncodeJob> batch, std::uint64_t initial_state);
void encode_batch_avx2(std::span<const EncodeJob> batch, std::uint64_t initial_state);

}  // namespace rans
