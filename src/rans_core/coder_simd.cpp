// The batch decoder's choice between the scalar and the vector decoders.
#include "coder_simd.hpp"

#include <vector>

#include "coder.hpp"
#include "lookups.hpp"

namespace rans {

std::span<const std::uint8_t> slot_lookup(std::span<const std::uint8_t> given, std::span<const std::uint64_t> cum,
                                          std::span<std::uint8_t> own) {
    if (!given.empty()) return given;
    build_slot_lookup(cum, own);
    return own;
}

void decode_batch(CoderPath path, std::span<const ShardStream> batch) {
    if (path != CoderPath::scalar) return decode_batch_avx2(batch);  // AVX-512 CPUs run the AVX2 decoder
    std::vector<std::uint8_t> own(kScale);
    for (const ShardStream& s : batch)
        decode_4way_stream(s.states, s.stream, s.cum, s.freq, slot_lookup(s.lookup, s.cum, own), s.out);
}

}  // namespace rans
