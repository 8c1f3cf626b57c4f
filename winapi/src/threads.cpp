// Threads: CreateThread, _beginthreadex, suspension, exit codes and thread waits.
#include "handles.h"

#include <process.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <functional>
#include <system_error>
#include <thread>

namespace winapi {
namespace {

// Thrown by ExitThread to unwind the thread's stack back to its start routine.
struct ThreadExit {
    DWORD code;
};

class Thread : public KernelObject {
public:
    explicit Thread(bool suspended) : suspendCount_(suspended ? 1 : 0) {}
    bool IsWaitable() const override { return true; }
    bool IsSignalled() const override { return finished_; }

    void Finish(DWORD code) {
        std::lock_guard<std::mutex> guard(WaitLock());
        exitCode_ = code;
        finished_ = true;
        NotifyWaiters();
    }
    DWORD ExitCode() {
        std::lock_guard<std::mutex> guard(WaitLock());
        return finished_ ? exitCode_ : STILL_ACTIVE;
    }
    void WaitUntilResumed() {
        std::unique_lock<std::mutex> lock(resumeLock_);
        resumed_.wait(lock, [this] { return suspendCount_ == 0; });
    }
    DWORD Resume() {
        std::lock_guard<std::mutex> guard(resumeLock_);
        DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0)
            resumed_.notify_all();
        return previous;
    }
    std::atomic<DWORD> id{0};

private:
    bool finished_ = false;  // guarded by WaitLock()
    DWORD exitCode_ = STILL_ACTIVE;
    std::mutex resumeLock_;
    std::condition_variable resumed_;
    DWORD suspendCount_;
};

thread_local DWORD t_threadId = 0;

DWORD CurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = static_cast<DWORD>(::syscall(SYS_gettid));
    return t_threadId;
}

HANDLE StartThread(std::function<DWORD()> body, bool suspended, DWORD* threadId) {
    auto thread = std::make_shared<Thread>(suspended);
    HANDLE handle = InsertHandle(thread);
    std::mutex idLock;
    std::condition_variable idKnown;
    bool haveId = false;
    try {
        std::thread([thread, body = std::move(body), &idLock, &idKnown, &haveId] {
            thread->id = CurrentThreadId();
            {
                std::lock_guard<std::mutex> guard(idLock);
                haveId = true;
                idKnown.notify_one();
            }
            thread->WaitUntilResumed();
            DWORD code = 0;
            try {
                code = body();
            } catch (const ThreadExit& exit) {
                code = exit.code;
            }
            thread->Finish(code);
        }).detach();
    } catch (const std::system_error&) {
        RemoveHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The caller may ask for the id at once, as CreateThread reports it on return.
    std::unique_lock<std::mutex> lock(idLock);
    idKnown.wait(lock, [&] { return haveId; });
    if (threadId)
        *threadId = thread->id;
    return handle;
}

}  // namespace
}  // namespace winapi

using namespace winapi;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return StartThread([=] { return lpStartAddress(lpParameter); },
                       (dwCreationFlags & CREATE_SUSPENDED) != 0, lpThreadId);
}

uintptr_t _beginthreadex(void*, unsigned, _beginthreadex_proc_type start_address, void* arglist,
                         unsigned initflag, unsigned* thrdaddr) {
    if (!start_address) {
        errno = EINVAL;
        return 0;
    }
    DWORD id = 0;
    HANDLE h = StartThread([=] { return static_cast<DWORD>(start_address(arglist)); },
                           (initflag & CREATE_SUSPENDED) != 0, &id);
    if (!h) {
        errno = EAGAIN;
        return 0;
    }
    if (thrdaddr)
        *thrdaddr = id;
    return reinterpret_cast<uintptr_t>(h);
}

void _endthreadex(unsigned retval) {
    throw ThreadExit{retval};
}
void WINAPI ExitThread(DWORD dwExitCode) {
    throw ThreadExit{dwExitCode};
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
    auto thread = LookupHandleAs<Thread>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    return thread->Resume();
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = LookupHandleAs<Thread>(hThread);
    if (!thread || !lpExitCode) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = thread->ExitCode();
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) {
    return CurrentThreadId();
}

DWORD WINAPI GetThreadId(HANDLE hThread) {
    auto thread = LookupHandleAs<Thread>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return thread->id;
}

}  // extern "C"
