#pragma once
// The instruction sets that the hand-written vector kernels need, read once per process: a
// kernel's branch on them is always predicted. The module itself is built for the baseline
// x86-64, so each kernel checks before it uses anything more.

#if defined(__x86_64__) && defined(__GNUC__)
// The kernels' vector paths are compiled (and chosen at run time by the flags below).
#define TALLYFOLD_X86_VECTORS 1
#define TALLYFOLD_AVX512_TARGET __attribute__((target("avx512f")))
#endif

namespace tallyfold::cpu {

#ifdef TALLYFOLD_X86_VECTORS
// 512-bit integer vectors (masked loads and stores, compress, unsigned min and max).
inline const bool kAvx512 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") != 0;
}();
// ... with a bit count per 64-bit lane.
inline const bool kVectorPopcount = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vpopcntdq") != 0;
}();
#else
inline constexpr bool kAvx512 = false;
inline constexpr bool kVectorPopcount = false;
#endif

}  // namespace tallyfold::cpu
