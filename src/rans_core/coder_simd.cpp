// The batch decoder's choice between the scalar and the vector decoders.
#include "coder_simd.hpp"

#include "coder.hpp"

namespace rans {

void decode_batch(CoderPath path, std::span<const ShardStream> batch) {
    if (path != CoderPath::scalar) return decode_batch_avx2(batch);  // AVX-512 CPUs run the AVX2 decoder
    for (const ShardStream& s : batch) decode_4way_stream(s.states, s.stream, s.cum, s.freq, s.lookup, s.out);
}

}  // namespace rans
