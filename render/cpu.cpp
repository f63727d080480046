// Which conversion kernels the processor can run: AVX2 where it has it,
// SSE2 otherwise.
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
