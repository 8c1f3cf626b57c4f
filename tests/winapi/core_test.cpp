// Handles, events, waits, threads, system texts and module loading of the Win32 layer.
#include <windows.h>
#include <process.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

TEST(Events, AutoResetWakesOneWaitManualResetStaysSet) {
    HANDLE autoEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE manualEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(autoEvent, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(autoEvent), uintptr_t{1} << 32);

    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(manualEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manualEvent, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manualEvent));
    EXPECT_EQ(WaitForSingleObject(manualEvent, 10), static_cast<DWORD>(WAIT_TIMEOUT));

    HANDLE both[2] = {autoEvent, manualEvent};
    SetEvent(manualEvent);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(autoEvent);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_TRUE(CloseHandle(autoEvent));
    EXPECT_TRUE(CloseHandle(manualEvent));
}

TEST(Handles, BadHandlesAndBadWaitsAreReported) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, CreateEventA(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(many.size()), many.data(), FALSE, 0),
              WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
    CloseHandle(many[0]);
}

unsigned __stdcall ReturnArgument(void* arg) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(arg));
}

DWORD WINAPI WaitThenExit(LPVOID arg) {
    WaitForSingleObject(static_cast<HANDLE>(arg), INFINITE);
    ExitThread(7);
}

TEST(Threads, ExitCodesSuspensionAndWaits) {
    unsigned id = 0;
    HANDLE thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, ReturnArgument, reinterpret_cast<void*>(42), 0, &id));
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(thread);

    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD threadId = 0;
    HANDLE suspended = CreateThread(nullptr, 0, WaitThenExit, go, CREATE_SUSPENDED, &threadId);
    ASSERT_NE(suspended, nullptr);
    EXPECT_EQ(GetThreadId(suspended), threadId);
    ASSERT_TRUE(GetExitCodeThread(suspended, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(suspended, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(ResumeThread(suspended), 1u);
    ASSERT_EQ(WaitForSingleObject(suspended, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(suspended, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(suspended);
    CloseHandle(go);
}

TEST(Threads, WaitAnyReportsTheFirstThatEnded) {
    HANDLE gates[3];
    HANDLE threads[3];
    for (int i = 0; i < 3; ++i) {
        gates[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        threads[i] = CreateThread(nullptr, 0, WaitThenExit, gates[i], 0, nullptr);
    }
    SetEvent(gates[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, threads, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    SetEvent(gates[0]);
    SetEvent(gates[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, INFINITE), WAIT_OBJECT_0);
    for (int i = 0; i < 3; ++i) {
        CloseHandle(threads[i]);
        CloseHandle(gates[i]);
    }
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    static CRITICAL_SECTION lock;
    static long counter = 0;
    InitializeCriticalSection(&lock);
    EnterCriticalSection(&lock);
    EXPECT_TRUE(TryEnterCriticalSection(&lock));
    LeaveCriticalSection(&lock);
    LeaveCriticalSection(&lock);

    auto work = [](void*) -> unsigned {
        for (int i = 0; i < 10000; ++i) {
            EnterCriticalSection(&lock);
            ++counter;
            LeaveCriticalSection(&lock);
        }
        return 0;
    };
    HANDLE threads[4];
    for (auto& t : threads)
        t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, work, nullptr, 0, nullptr));
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (auto& t : threads)
        CloseHandle(t);
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&lock);

    LONG value = 5;
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(value, 9);
}

TEST(FormatMessage, SystemTextsForTheCodesTheProductMeets) {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, WSAECONNREFUSED, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, n),
              "No connection could be made because the target machine actively refused it.\r\n");
    LocalFree(text);

    char buffer[128];
    n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_DLL_INIT_FAILED, 0, buffer,
                       sizeof buffer, nullptr);
    EXPECT_EQ(std::string(buffer, n),
              "A dynamic link library (DLL) initialization routine failed.\r\n");
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_DLL_INIT_FAILED, 0, buffer,
                             8, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 424242, 0, buffer, sizeof buffer,
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

TEST(Modules, MissingModulesAndProceduresAreReported) {
    EXPECT_EQ(LoadLibraryA("surely-absent.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // libwinapi.so itself, by path: its exports resolve, unknown names do not.
    const std::string self = std::filesystem::canonical("/proc/self/exe").parent_path().string() +
                             "/../lib/libwinapi.so";
    HMODULE module = LoadLibraryA(self.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_NE(GetProcAddress(module, "SetEvent"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(FreeLibrary(module));

    // The search path may be replaced, which is how tests hide modules.
    ASSERT_EQ(setenv("WINAPI_MODULE_PATH", "/nonexistent-dir", 1), 0);
    EXPECT_EQ(LoadLibraryA("winapi.dll"), nullptr);
    unsetenv("WINAPI_MODULE_PATH");
    HMODULE byName = LoadLibraryA("WINAPI.DLL");
    EXPECT_NE(byName, nullptr);
    FreeLibrary(byName);
    // A mixed-case module is found under its own spelling first.
    const std::string libDir = std::filesystem::path(self).parent_path().string();
    ASSERT_EQ(setenv("WINAPI_MODULE_PATH", libDir.c_str(), 1), 0);
    HMODULE driver = LoadLibraryA("Harrow.dll");
    unsetenv("WINAPI_MODULE_PATH");
    ASSERT_NE(driver, nullptr);
    EXPECT_NE(GetProcAddress(driver, "DriverEntry"), nullptr);
    FreeLibrary(driver);
}

}  // namespace
