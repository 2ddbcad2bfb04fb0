// SSE2, where the target has it (every x86-64): the byte scans of utf8.cpp and tokenizer.cpp
// take 16 bytes at a time. Elsewhere they fall back to plain loops with the same results.
#pragma once

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define PELLANDOR_CORE_SSE2 1
#endif
