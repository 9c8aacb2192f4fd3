#include "KtPool.h"

// Allocates Size bytes of the given pool with the driver's tag.
// IRQL: <= APC_LEVEL for PagedPool, <= DISPATCH_LEVEL for NonPagedPoolNx.
// Returns the block or null.
void* operator new(size_t Size, POOL_TYPE PoolType) noexcept {
    return ExAllocatePoolWithTag(PoolType, Size, KT_POOL_TAG);
}

// Releases a block whose construction did not finish. IRQL: <= DISPATCH_LEVEL.
void operator delete(void* Block, POOL_TYPE) noexcept { KtPoolFree(Block); }

// Releases a pool block of the driver. IRQL: <= DISPATCH_LEVEL.
void KtPoolFree(void* Block) {
    if (Block) ExFreePoolWithTag(Block, KT_POOL_TAG);
}
