// Global memory: fixed and moveable blocks named by table-issued HGLOBALs below 2^32.
#include "handles.h"
#include "issued.h"

#include <cstdlib>
#include <cstring>

namespace winapi {
namespace {

constexpr uint32_t kFirstGlobalHandle = 0x00020006;
// No block a 32-bit process could hold is larger; bigger requests fail as they would there
// (and never reach an allocator that aborts instead of failing).
constexpr SIZE_T kMaxGlobalBlockBytes = 0x7FFFFFFF;
constexpr UINT kMaxLockCount = GMEM_LOCKCOUNT;  // the count saturates, as on Windows

struct Block {
    bool moveable = false;
    bool discarded = false;
    UINT lockCount = 0;
    SIZE_T size = 0;
    char* data = nullptr;  // malloc'd; never null unless discarded
    ~Block() { std::free(data); }
};

// One lock for every block: lock counts and sizes change together with the data pointer.
std::mutex& BlockLock() {
    static auto* m = new std::mutex;
    return *m;
}

IssuedTable<Block>& Blocks() {
    static auto* table = new IssuedTable<Block>(kFirstGlobalHandle);
    return *table;
}

char* AllocateBytes(SIZE_T bytes, bool zero) {
    // One spare byte keeps zero-sized fixed blocks a real, distinct pointer.
    return static_cast<char*>(zero ? std::calloc(bytes + 1, 1) : std::malloc(bytes + 1));
}

std::shared_ptr<Block> Find(HGLOBAL hMem) {
    auto block = Blocks().Find(reinterpret_cast<uintptr_t>(hMem));
    if (!block)
        SetLastError(ERROR_INVALID_HANDLE);
    return block;
}

}  // namespace
}  // namespace winapi

using namespace winapi;

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    if (dwBytes > kMaxGlobalBlockBytes) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto block = std::make_shared<Block>();
    block->moveable = (uFlags & GMEM_MOVEABLE) != 0;
    if (block->moveable && dwBytes == 0) {
        block->discarded = true;  // Windows hands out an already discarded block here
    } else {
        block->data = AllocateBytes(dwBytes, (uFlags & GMEM_ZEROINIT) != 0);
        if (!block->data) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        block->size = dwBytes;
    }
    return reinterpret_cast<HGLOBAL>(static_cast<uintptr_t>(Blocks().Insert(std::move(block))));
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
    auto block = Find(hMem);
    if (!block)
        return nullptr;
    std::lock_guard<std::mutex> guard(BlockLock());
    if (block->discarded) {
        SetLastError(ERROR_DISCARDED);
        return nullptr;
    }
    if (block->moveable && block->lockCount < kMaxLockCount)
        block->lockCount++;
    return block->data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
    auto block = Find(hMem);
    if (!block)
        return FALSE;
    std::lock_guard<std::mutex> guard(BlockLock());
    if (!block->moveable || block->lockCount == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    if (--block->lockCount == 0) {
        SetLastError(NO_ERROR);
        return FALSE;
    }
    return TRUE;
}

SIZE_T WINAPI GlobalSize(HGLOBAL hMem) {
    auto block = Find(hMem);
    if (!block)
        return 0;
    std::lock_guard<std::mutex> guard(BlockLock());
    return block->size;
}

UINT WINAPI GlobalFlags(HGLOBAL hMem) {
    auto block = Find(hMem);
    if (!block)
        return GMEM_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(BlockLock());
    return block->lockCount | (block->discarded ? GMEM_DISCARDED : 0u);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
    if (!hMem)
        return nullptr;
    // Locked blocks are freed too, as Windows does; the storage goes with the last reference.
    if (!Blocks().Remove(reinterpret_cast<uintptr_t>(hMem))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    return nullptr;
}

HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) {
    auto block = Find(hMem);
    if (!block)
        return nullptr;
    std::lock_guard<std::mutex> guard(BlockLock());
    if (uFlags & GMEM_MODIFY) {
        if (uFlags & GMEM_MOVEABLE)
            block->moveable = true;
        return hMem;
    }
    if (dwBytes > kMaxGlobalBlockBytes) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const bool locked = block->lockCount > 0;
    if (dwBytes == 0 && block->moveable) {
        if (locked) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        std::free(block->data);
        block->data = nullptr;
        block->size = 0;
        block->discarded = true;
        return hMem;
    }
    if (!block->discarded && dwBytes <= block->size) {
        block->size = dwBytes;  // shrinks in place: a locked pointer stays valid
        return hMem;
    }
    // Growing moves the data; a pointer handed out by GlobalLock (or a fixed block's pointer)
    // must stay valid, so that needs the caller's GMEM_MOVEABLE permission.
    if ((locked || !block->moveable) && !(uFlags & GMEM_MOVEABLE)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    char* data = AllocateBytes(dwBytes, (uFlags & GMEM_ZEROINIT) != 0);
    if (!data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (block->data)
        std::memcpy(data, block->data, block->size);
    std::free(block->data);
    block->data = data;
    block->size = dwBytes;
    block->discarded = false;
    return hMem;
}

}  // extern "C"
