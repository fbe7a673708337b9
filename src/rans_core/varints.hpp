// Unsigned LEB128 numbers as the front end's container stores them (sizes
// and lengths below 2^35, at most five bytes each), written, and read back
// from untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bytes.hpp"

namespace rans {

constexpr std::size_t kVarintMaxBytes = 5;  // seven bits a byte: 35 bits

enum class VarintFault : std::uint8_t {
    none = 0,
    truncated = 1,  // the window ends before `count` numbers do
    too_long = 2,   // a number takes more than kVarintMaxBytes bytes
};

struct Varints {
    std::vector<std::uint64_t> values;  // `count` numbers (empty on a fault)
    std::size_t used = 0;               // the bytes they take
    VarintFault fault = VarintFault::none;
};

// The first `count` numbers of `window`. A window that ends first is
// `truncated` even where an earlier number is too long, so that a reader
// given more bytes refuses a file for the same reason.
Varints read_varints(Bytes window, std::size_t count);

// The numbers back to back; one of 2^35 or more, which no reader takes, is
// InvalidInput.
std::vector<std::uint8_t> write_varints(std::span<const std::uint64_t> values);

}  // namespace rans
