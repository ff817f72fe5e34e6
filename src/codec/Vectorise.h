// Marks a function whose loops the compiler should turn into vector instructions: GCC does so
// at -O2 only when asked; clang does so anyway. The loops stay plain C++ that any build
// compiles to the same results.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define ZS_VECTORISE [[gnu::optimize("tree-vectorize")]]
#else
#define ZS_VECTORISE
#endif
