// Which kernels the processor can run: AVX2 or AVX-512F where it has
// them, SSE2 otherwise.
#include "render.h"
#include "simd.h"

int ProcessorHasAVX2() {
#if defined(HALVORN_AVX)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? 1 : 0;
#else
  return 0;
#endif
}

int ProcessorHasAVX512() {
#if defined(HALVORN_AVX)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") ? 1 : 0;
#else
  return 0;
#endif
}
