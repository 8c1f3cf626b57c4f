// The file and device calls of winapi that the drivers' callers use: plain files, device names,
// overlapped rules.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WinapiFilesTest, PlainFilesWriteAndReadBack) {
    std::string path = ::testing::TempDir() + "winapi_files_test.bin";
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(f, "abcdef", 6, &n, nullptr));
    EXPECT_EQ(n, 6u);
    CloseHandle(f);
    f = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    char buffer[8] = {};
    ASSERT_TRUE(ReadFile(f, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 6u);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_FALSE(DeviceIoControl(f, 0x80002014, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(f);
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    std::remove(path.c_str());
}

TEST(WinapiFilesTest, UnknownDevicesAndHandles) {
    EXPECT_EQ(
        CreateFileA("\\\\.\\NOSUCHDEVICE7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(0x7FFC), nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    OVERLAPPED o{};
    o.Internal = 0x103;  // still pending
    EXPECT_FALSE(GetOverlappedResult(nullptr, &o, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
}

}  // namespace
