// Packing encoded shards into one payload: per shard, the four final states
// (little-endian uint64), the stream length (little-endian uint32) and the
// stream bytes, at positions the caller chooses.
#include <algorithm>
#include <cstring>

#include "bytes.hpp"
#include "coder.hpp"
#include "fault.hpp"

namespace rans {
namespace {

// Writes the `bytes` low-order bytes of v little-endian at out[j..], one
// byte at a time so that a fault leaves the bytes before it written.
void put_le_checked(std::span<std::uint8_t> out, std::size_t j, std::uint64_t v, int bytes) {
    for (int b = 0; b < bytes; ++b) at(out, j + static_cast<std::size_t>(b)) = static_cast<std::uint8_t>(v >> (8 * b));
}

}  // namespace

void pack_shard_payloads(std::span<const std::uint64_t> final_states, std::span<const std::uint32_t> lengths,
                         std::span<const std::uint32_t> offsets, std::span<const std::uint8_t> streams,
                         std::span<std::uint8_t> out, std::span<const std::uint32_t> write_offsets) {
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const std::size_t j = at(write_offsets, i);
        const std::uint32_t len = lengths[i];
        if (4 * i + 4 <= final_states.size() && j + kPackedHeader <= out.size()) {
            std::uint8_t* h = out.data() + j;
            for (int k = 0; k < 4; ++k) write_le(h + 8 * k, final_states[4 * i + k], 8);
            write_le(h + 32, len, 4);
        } else {
            // the header meets the end of `final_states` or of `out`
            for (std::size_t k = 0; k < 4; ++k) put_le_checked(out, j + 8 * k, at(final_states, 4 * i + k), 8);
            put_le_checked(out, j + 32, len, 4);
        }
        const std::size_t src = at(offsets, i);
        auto dst = sub(out, j + kPackedHeader, j + kPackedHeader + len);
        auto bytes = sub(streams, src, src + len);
        if (len) std::memmove(dst.data(), bytes.data(), len);
    }
}

}  // namespace rans
