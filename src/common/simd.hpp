// Hot loops that are also compiled for AVX2 and picked at load time.
//
// The clones run the same IEEE operations lane by lane (no contraction into FMA, nothing
// reassociated), so every clone computes the same bits and results do not depend on the CPU.
#pragma once

#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__)
#define KORVANE_AVX2_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define KORVANE_AVX2_CLONES
#endif

namespace korvane::simd {

// Four doubles; compiles to two SSE2 registers on the baseline and one AVX register with AVX2.
using V4 = double __attribute__((vector_size(32)));

}  // namespace korvane::simd
