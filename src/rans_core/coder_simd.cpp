// Choosing the shard decoder's instruction-set path at run time.
#include "coder_simd.hpp"

#include <atomic>
#include <cstdlib>

#include "coder.hpp"

namespace rans {
namespace {

bool cpu_has(CoderPath p) {
#if defined(__x86_64__) || defined(__i386__)
    switch (p) {
        case CoderPath::scalar: return true;
        case CoderPath::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
        case CoderPath::avx512: return false;  // no AVX-512 decoder is built in yet
    }
    return false;
#else
    return p == CoderPath::scalar;
#endif
}

CoderPath best_available() {
    for (CoderPath p : {CoderPath::avx512, CoderPath::avx2})
        if (cpu_has(p)) return p;
    return CoderPath::scalar;
}

// The path chosen at first use: ORV_RANS_SIMD if it names a path this CPU
// runs, else the best one. An unknown or unavailable name is ignored, so a
// setting meant for another machine never stops a program.
CoderPath initial_path() {
    if (const char* env = std::getenv("ORV_RANS_SIMD"))
        if (auto p = coder_path_from_name(env); p && cpu_has(*p)) return *p;
    return best_available();
}

std::atomic<int>& current() {
    static std::atomic<int> path{static_cast<int>(initial_path())};
    return path;
}

}  // namespace

CoderPath coder_path() { return static_cast<CoderPath>(current().load(std::memory_order_relaxed)); }

std::string_view coder_path_name(CoderPath p) {
    switch (p) {
        case CoderPath::scalar: return "scalar";
        case CoderPath::avx2: return "avx2";
        case CoderPath::avx512: return "avx512";
    }
    return "scalar";
}

std::optional<CoderPath> coder_path_from_name(std::string_view name) {
    for (CoderPath p : {CoderPath::scalar, CoderPath::avx2, CoderPath::avx512})
        if (name == coder_path_name(p)) return p;
    return std::nullopt;
}

bool coder_path_available(CoderPath p) { return cpu_has(p); }

void set_coder_path(CoderPath p) {
    if (cpu_has(p)) current().store(static_cast<int>(p), std::memory_order_relaxed);
}

void decode_batch(CoderPath path, std::span<const ShardStream> batch) {
    if (path == CoderPath::avx2) return decode_batch_avx2(batch);
    for (const ShardStream& s : batch) decode_4way_stream(s.states, s.stream, s.cum, s.freq, s.lookup, s.out);
}

}  // namespace rans
