// What the conversion kernels may use beyond SSE2 (which every x86-64
// processor has). The AVX2 kernels are compiled for AVX2 alone, never FMA,
// which would fuse a multiplication and an addition into one rounding and
// change the results; they are chosen at run time through `use_avx`, so
// the program still runs on any x86-64 processor.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__SSE2__) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define HALVORN_AVX 1
#include <immintrin.h>
#define AVX_KERNEL __attribute__((target("avx2")))
#endif
