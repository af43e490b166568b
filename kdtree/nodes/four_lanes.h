// The build's steps that test four entries or candidates at once use SSE,
// which every x86-64 processor has. Elsewhere, and in the portable build that
// the tests hold to the reference builder (VANTREL_KDTREE_PORTABLE), each of
// them is a loop over the four lanes with the same float operations, so that
// every build makes the same trees.
#pragma once

#if defined(__SSE2__) && !defined(VANTREL_KDTREE_PORTABLE)
#define VANTREL_KDTREE_SSE 1
#include <immintrin.h>
#else
#define VANTREL_KDTREE_SSE 0
#endif
