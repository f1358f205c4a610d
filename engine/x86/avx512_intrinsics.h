// <immintrin.h> for a file built for AVX-512, included before anything else that includes it.
// GCC 12's AVX-512 headers start many intrinsics from _mm512_undefined_epi32(), a variable
// initialised with itself, which -Wuninitialized reports wherever they are inlined (GCC bug
// 105593). The pragma covers those headers only.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif
