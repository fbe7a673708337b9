// Choosing the vector kernels' instruction-set path at run time.
#include "simd_path.hpp"

#include <atomic>
#include <cstdlib>

namespace rans {
namespace {

bool cpu_has(SimdPath p) {
#if defined(__x86_64__) || defined(__i386__)
    switch (p) {
        case SimdPath::scalar: return true;
        case SimdPath::avx2:  // the shard encoder divides with fused multiply-adds
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("popcnt");
        case SimdPath::avx512:  // the kernels without an AVX-512 form run their AVX2 one
            return cpu_has(SimdPath::avx2) && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
                   __builtin_cpu_supports("bmi2");
    }
    return false;
#else
    return p == SimdPath::scalar;
#endif
}

SimdPath best_available() {
    for (SimdPath p : {SimdPath::avx512, SimdPath::avx2})
        if (cpu_has(p)) return p;
    return SimdPath::scalar;
}

// The path chosen at first use: ORV_RANS_SIMD if it names a path this CPU
// runs, else the best one. An unknown or unavailable name is ignored, so a
// setting meant for another machine never stops a program.
SimdPath initial_path() {
    if (const char* env = std::getenv("ORV_RANS_SIMD"))
        if (auto p = simd_path_from_name(env); p && cpu_has(*p)) return *p;
    return best_available();
}

std::atomic<int>& current() {
    static std::atomic<int> path{static_cast<int>(initial_path())};
    return path;
}

}  // namespace

SimdPath simd_path() { return static_cast<SimdPath>(current().load(std::memory_order_relaxed)); }

std::string_view simd_path_name(SimdPath p) {
    switch (p) {
        case SimdPath::scalar: return "scalar";
        case SimdPath::avx2: return "avx2";
        case SimdPath::avx512: return "avx512";
    }
    return "scalar";
}

std::optional<SimdPath> simd_path_from_name(std::string_view name) {
    for (SimdPath p : {SimdPath::scalar, SimdPath::avx2, SimdPath::avx512})
        if (name == simd_path_name(p)) return p;
    return std::nullopt;
}

bool simd_path_available(SimdPath p) { return cpu_has(p); }

void set_simd_path(SimdPath p) {
    if (cpu_has(p)) current().store(static_cast<int>(p), std::memory_order_relaxed);
}

}  // namespace rans
