// Global memory: moveable and fixed blocks, lock counts, sizes, zero-init, reallocation, freeing.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

bool Below4G(HGLOBAL h) {
    return reinterpret_cast<uintptr_t>(h) < (uintptr_t{1} << 32);
}

TEST(GlobalMemory, MoveableBlockCountsLocksAndKeepsItsPointerWhileLocked) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 1000);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(Below4G(h));
    EXPECT_EQ(GlobalSize(h), 1000u);
    EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 0u);

    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(GlobalLock(h), p);
    EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 2u);

    EXPECT_TRUE(GlobalUnlock(h));  // still locked once
    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
    SetLastError(0);
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));

    EXPECT_EQ(GlobalFree(h), nullptr);
    SetLastError(0);
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_EQ(GlobalFree(h), h);  // a second free fails and returns the handle
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

TEST(GlobalMemory, FixedBlocksAreTableHandlesWithoutLockCounts) {
    HGLOBAL h = GlobalAlloc(GPTR, 16);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(Below4G(h));
    void* p = GlobalLock(h);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(GlobalLock(h), p);
    EXPECT_EQ(GlobalFlags(h), 0u);
    SetLastError(0);
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
    // Not a kernel handle, and distinct from any.
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GlobalSize(h), 16u);
    EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, ZeroSizedMoveableBlockIsDiscardedUntilReallocated) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_NE(GlobalFlags(h) & GMEM_DISCARDED, 0u);
    EXPECT_EQ(GlobalReAlloc(h, 8, GMEM_MOVEABLE | GMEM_ZEROINIT), h);
    EXPECT_EQ(GlobalSize(h), 8u);
    EXPECT_NE(GlobalLock(h), nullptr);
    GlobalUnlock(h);
    GlobalFree(h);
}

TEST(GlobalMemory, ReallocationKeepsDataAndNeverMovesALockedBlockUnasked) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
    std::memcpy(GlobalLock(h), "abcd", 4);
    void* locked = GlobalLock(h);  // lock count 2

    SetLastError(0);
    EXPECT_EQ(GlobalReAlloc(h, 4096, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(GlobalReAlloc(h, 2, 0), h);  // shrinking stays in place
    EXPECT_EQ(GlobalLock(h), locked);
    GlobalUnlock(h);
    GlobalUnlock(h);
    GlobalUnlock(h);

    ASSERT_EQ(GlobalReAlloc(h, 64, GMEM_ZEROINIT), h);
    EXPECT_EQ(GlobalSize(h), 64u);
    auto* p = static_cast<char*>(GlobalLock(h));
    EXPECT_EQ(std::memcmp(p, "ab", 2), 0);
    for (int i = 2; i < 64; ++i)
        ASSERT_EQ(p[i], 0) << i;
    GlobalUnlock(h);
    GlobalFree(h);
}

TEST(GlobalMemory, ImpossibleSizesFail) {
    SetLastError(0);
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, ~SIZE_T{0}), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace
