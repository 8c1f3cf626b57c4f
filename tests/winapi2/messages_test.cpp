// Thread message queues, message-only windows, posting across threads, WM_QUIT.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kThreadWaitMs = 10000;  // a guard against hangs, never reached when passing

// Empties the calling thread's queue (and a pending quit) so tests sharing the main thread
// start clean.
void DrainQueue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

class MessageQueue : public ::testing::Test {
protected:
    void SetUp() override { DrainQueue(); }
    void TearDown() override { DrainQueue(); }
};

struct Received {
    std::vector<MSG> messages;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Received() { CloseHandle(ready); }
};

// Creates its queue, says so, then collects messages until WM_QUIT and exits with its code.
DWORD WINAPI CollectUntilQuit(LPVOID param) {
    auto* received = static_cast<Received*>(param);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(received->ready);
    BOOL result;
    while ((result = GetMessageA(&msg, nullptr, 0, 0)) > 0)
        received->messages.push_back(msg);
    return result == 0 ? static_cast<DWORD>(msg.wParam) : 0xDEAD;
}

TEST_F(MessageQueue, MsgHasTheWindows64BitLayout) {
    EXPECT_EQ(sizeof(MSG), 48u);
    EXPECT_EQ(offsetof(MSG, message), 8u);
    EXPECT_EQ(offsetof(MSG, wParam), 16u);
    EXPECT_EQ(offsetof(MSG, lParam), 24u);
    EXPECT_EQ(offsetof(MSG, time), 32u);
    EXPECT_EQ(offsetof(MSG, pt), 36u);
    EXPECT_EQ(offsetof(MSG, lPrivate), 44u);
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(HWND_MESSAGE), -3);
}

TEST_F(MessageQueue, PostsFromAnotherThreadWakeGetMessageInOrderAndQuitEndsTheLoop) {
    Received received;
    DWORD tid = 0;
    HANDLE thread = CreateThread(nullptr, 0, CollectUntilQuit, &received, 0, &tid);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(received.ready, kThreadWaitMs), WAIT_OBJECT_0);

    for (UINT i = 0; i < 3; ++i)
        ASSERT_TRUE(PostThreadMessageA(tid, WM_APP + i, i, static_cast<LPARAM>(100 + i)));
    ASSERT_TRUE(PostThreadMessageA(tid, WM_QUIT, 7, 0));

    ASSERT_EQ(WaitForSingleObject(thread, kThreadWaitMs), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    ASSERT_EQ(received.messages.size(), 3u);
    for (UINT i = 0; i < 3; ++i) {
        EXPECT_EQ(received.messages[i].hwnd, nullptr);
        EXPECT_EQ(received.messages[i].message, WM_APP + i);
        EXPECT_EQ(received.messages[i].wParam, i);
        EXPECT_EQ(received.messages[i].lParam, static_cast<LPARAM>(100 + i));
    }
    CloseHandle(thread);
}

TEST_F(MessageQueue, AThreadHasNoQueueUntilItCallsAMessageFunction) {
    Received received;
    DWORD tid = 0;
    HANDLE thread = CreateThread(nullptr, 0, CollectUntilQuit, &received, CREATE_SUSPENDED, &tid);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(tid, 0u);
    EXPECT_EQ(GetThreadId(thread), tid);

    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(tid, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    EXPECT_EQ(ResumeThread(thread), 1u);  // the previous suspend count
    EXPECT_EQ(ResumeThread(thread), 0u);
    ASSERT_EQ(WaitForSingleObject(received.ready, kThreadWaitMs), WAIT_OBJECT_0);
    EXPECT_TRUE(PostThreadMessageA(tid, WM_QUIT, 1, 0));
    ASSERT_EQ(WaitForSingleObject(thread, kThreadWaitMs), WAIT_OBJECT_0);
    CloseHandle(thread);

    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(0, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST_F(MessageQueue, AnEndedThreadLosesItsQueue) {
    DWORD tid = 0;
    std::thread([&] {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        tid = GetCurrentThreadId();
    }).join();
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(tid, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST_F(MessageQueue, PeekMessageRemovesOrLeavesAndFiltersByRange) {
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 1, 1, 0));
    ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 5, 5, 0));
    ASSERT_TRUE(PostThreadMessageA(self, WM_APP, 9, 0));

    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));  // still there

    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 2, WM_USER + 10, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 5));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 2, WM_USER + 10, PM_REMOVE));

    // (HWND)-1 selects thread messages; these are all thread messages.
    ASSERT_TRUE(PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
    ASSERT_TRUE(GetMessageA(&msg, nullptr, WM_APP, WM_APP));
    EXPECT_EQ(msg.wParam, 9u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageQueue, PostQuitMessageComesAfterPostedMessagesAndPassesEveryFilter) {
    PostQuitMessage(42);
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP, 0, 0));

    MSG msg{};
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP));

    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(GetMessageA(&msg, nullptr, WM_USER, WM_USER), FALSE);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 42u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // removed once
}

TEST_F(MessageQueue, RetrievalArgumentsAreChecked) {
    MSG msg{};
    const HWND bogus = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7FFF0002));
    SetLastError(0);
    EXPECT_EQ(GetMessageA(&msg, bogus, 0, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
    EXPECT_FALSE(PeekMessageA(&msg, bogus, 0, 0, PM_REMOVE));
}

// ---- Message-only windows ----

struct ProcLog {
    std::vector<MSG> calls;
    DWORD thread = 0;
    LPVOID createParam = nullptr;
};
thread_local ProcLog* t_log = nullptr;
ProcLog* g_sharedLog = nullptr;  // for windows whose procedure runs on another thread

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    ProcLog* log = t_log ? t_log : g_sharedLog;
    if (log) {
        MSG m{};
        m.hwnd = hwnd;
        m.message = message;
        m.wParam = wParam;
        m.lParam = lParam;
        log->calls.push_back(m);
        log->thread = GetCurrentThreadId();
        if (message == WM_CREATE)
            log->createParam = reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams;
    }
    if (message == WM_APP + 1)
        return static_cast<LRESULT>(wParam * 2);
    if (message == WM_DESTROY)
        PostQuitMessage(3);
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

class MessageWindow : public MessageQueue {
protected:
    static void SetUpTestSuite() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = RecordingProc;
        wc.lpszClassName = kClass;
        ASSERT_NE(RegisterClassA(&wc), 0);
    }
    static void TearDownTestSuite() { EXPECT_TRUE(UnregisterClassA(kClass, nullptr)); }
    static HWND Create(LPVOID param = nullptr) {
        return CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, param);
    }
    void SetUp() override {
        MessageQueue::SetUp();
        t_log = &log_;
    }
    void TearDown() override {
        t_log = nullptr;
        MessageQueue::TearDown();
    }
    static constexpr const char* kClass = "Winapi2TestWindow";
    ProcLog log_;
};

TEST_F(MessageWindow, CreationCallsTheProcedureAndHandlesFitIn32Bits) {
    int marker = 0;
    HWND hwnd = Create(&marker);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(hwnd), uintptr_t{1} << 32);
    EXPECT_TRUE(IsWindow(hwnd));
    ASSERT_EQ(log_.calls.size(), 2u);
    EXPECT_EQ(log_.calls[0].message, static_cast<UINT>(WM_NCCREATE));
    EXPECT_EQ(log_.calls[1].message, static_cast<UINT>(WM_CREATE));
    EXPECT_EQ(log_.createParam, &marker);
    EXPECT_EQ(GetWindowThreadProcessId(hwnd, nullptr), GetCurrentThreadId());
    // A window handle is no kernel handle.
    EXPECT_FALSE(CloseHandle(hwnd));
    EXPECT_TRUE(IsWindow(hwnd));

    EXPECT_EQ(SetWindowLongPtrA(hwnd, GWLP_USERDATA, 1234), 0);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_USERDATA), 1234);
    ASSERT_TRUE(DestroyWindow(hwnd));
}

TEST_F(MessageWindow, ClassErrors) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = "WINAPI2TESTWINDOW";  // names compare without case
    SetLastError(0);
    EXPECT_EQ(RegisterClassA(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    SetLastError(0);
    EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                              nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST_F(MessageWindow, PostedFromAnotherThreadDeliveredToTheCreatorAndDispatched) {
    HWND hwnd = Create();
    ASSERT_NE(hwnd, nullptr);
    log_.calls.clear();

    std::thread([hwnd] { EXPECT_TRUE(PostMessageA(hwnd, WM_APP + 1, 21, 5)); }).join();
    MSG msg{};
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.hwnd, hwnd);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP + 1));
    EXPECT_FALSE(TranslateMessage(&msg));
    EXPECT_EQ(DispatchMessageA(&msg), 42);
    ASSERT_EQ(log_.calls.size(), 1u);
    EXPECT_EQ(log_.calls[0].lParam, 5);

    // Filtering by window: a thread message does not match it.
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP + 2, 0, 0));
    ASSERT_TRUE(PostMessageA(hwnd, WM_APP + 3, 0, 0));
    ASSERT_TRUE(PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP + 3));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP + 2));
    EXPECT_EQ(DispatchMessageA(&msg), 0);  // thread messages have no procedure

    ASSERT_TRUE(DestroyWindow(hwnd));
}

TEST_F(MessageWindow, DestroyedWindowsTakeNoMoreMessagesAndLoseTheirPendingOnes) {
    HWND hwnd = Create();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(PostMessageA(hwnd, WM_APP, 0, 0));

    bool otherThreadRefused = false;
    std::thread([&] {
        SetLastError(0);
        otherThreadRefused =
            !DestroyWindow(hwnd) && GetLastError() == static_cast<DWORD>(ERROR_ACCESS_DENIED);
    }).join();
    EXPECT_TRUE(otherThreadRefused);

    log_.calls.clear();
    ASSERT_TRUE(DestroyWindow(hwnd));
    ASSERT_EQ(log_.calls.size(), 2u);
    EXPECT_EQ(log_.calls[0].message, static_cast<UINT>(WM_DESTROY));
    EXPECT_EQ(log_.calls[1].message, static_cast<UINT>(WM_NCDESTROY));
    EXPECT_FALSE(IsWindow(hwnd));

    SetLastError(0);
    EXPECT_FALSE(PostMessageA(hwnd, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(DestroyWindow(hwnd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    // The message posted before destruction went with the window; only the quit from
    // WM_DESTROY remains.
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
}

TEST_F(MessageWindow, AThreadsWindowsEndWithIt) {
    HWND hwnd = nullptr;
    std::thread([&] {
        ProcLog log;
        t_log = &log;
        hwnd = Create();
        t_log = nullptr;
    }).join();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
}

// A window on a worker thread: cross-thread SendMessage runs the procedure there; WM_CLOSE
// destroys it through DefWindowProc and its WM_DESTROY quits the worker's loop.
TEST_F(MessageWindow, SendMessageFromAnotherThreadRunsTheProcedureOnTheOwner) {
    ProcLog shared;
    g_sharedLog = &shared;
    HWND hwnd = nullptr;
    HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD ownerId = 0;
    std::thread owner([&] {
        ownerId = GetCurrentThreadId();
        hwnd = Create();
        SetEvent(created);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
            DispatchMessageA(&msg);
    });
    ASSERT_EQ(WaitForSingleObject(created, kThreadWaitMs), WAIT_OBJECT_0);
    ASSERT_NE(hwnd, nullptr);

    EXPECT_EQ(SendMessageA(hwnd, WM_APP + 1, 50, 0), 100);
    EXPECT_EQ(shared.thread, ownerId);
    EXPECT_TRUE(PostMessageA(hwnd, WM_CLOSE, 0, 0));
    owner.join();
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(SendMessageA(hwnd, WM_APP + 1, 50, 0), 0);
    g_sharedLog = nullptr;
    CloseHandle(created);
}

// The way a library hands results to an application: a worker posts a moveable block to the
// application's message-only window; the application locks, reads and frees it.
TEST_F(MessageWindow, GlobalMemoryHandleTravelsInLParam) {
    HWND hwnd = Create();
    ASSERT_NE(hwnd, nullptr);
    std::thread([hwnd] {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 44);
        auto* words = static_cast<DWORD*>(GlobalLock(block));
        words[0] = 0;
        words[10] = 0xABCD;
        GlobalUnlock(block);
        EXPECT_TRUE(PostMessageA(hwnd, WM_APP + 7, 0, reinterpret_cast<LPARAM>(block)));
    }).join();

    MSG msg{};
    ASSERT_TRUE(GetMessageA(&msg, hwnd, WM_APP + 7, WM_APP + 7));
    auto block = reinterpret_cast<HGLOBAL>(msg.lParam);
    EXPECT_EQ(GlobalSize(block), 44u);
    auto* words = static_cast<DWORD*>(GlobalLock(block));
    ASSERT_NE(words, nullptr);
    EXPECT_EQ(words[10], 0xABCDu);
    GlobalUnlock(block);
    EXPECT_EQ(GlobalFree(block), nullptr);
    ASSERT_TRUE(DestroyWindow(hwnd));
}

}  // namespace
