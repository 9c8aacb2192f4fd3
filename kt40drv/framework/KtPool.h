// Pool allocation for the driver's C++ objects: every block carries the
// driver's tag "Kt40" (it reads so in a pool dump: the first byte is 'K').
#pragma once

#include <wdm.h>

inline constexpr ULONG KT_POOL_TAG = 'K' | ('t' << 8) | ('4' << 16) | ('0' << 24);

// Placement forms used with a pool type: new (NonPagedPoolNx) T(...).
// Returns null when the pool is exhausted (no exceptions in the kernel).
void* operator new(size_t Size, POOL_TYPE PoolType) noexcept;
void operator delete(void* Block, POOL_TYPE PoolType) noexcept;

// Frees a block allocated with the placement form above.
void KtPoolFree(void* Block);
