// The instruction-set path of the module's vector kernels (the shard encoder
// and decoder and the image side's pixel loops): one choice per process, shared by every
// kernel, so a test that forces a path forces it everywhere.
//
// Every path gives the same results and the same faults as the scalar one;
// the scalar path stays the reference and the one for other CPUs.
#pragma once

#include <optional>
#include <string_view>

namespace rans {

enum class SimdPath : int { scalar = 0, avx2 = 1, avx512 = 2 };

// The path in use. Chosen once per process from the CPU, unless ORV_RANS_SIMD
// (scalar, avx2 or avx512) names a path the CPU can run; a testing hook may
// change it later with set_simd_path.
SimdPath simd_path();
std::string_view simd_path_name(SimdPath p);
std::optional<SimdPath> simd_path_from_name(std::string_view name);
bool simd_path_available(SimdPath p);  // built in and supported by this CPU
void set_simd_path(SimdPath p);        // ignored unless p is available

}  // namespace rans
