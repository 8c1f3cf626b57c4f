// Events, critical sections, Sleep and the tick counters.
#include "handles.h"

#include <chrono>
#include <thread>

namespace winapi {
namespace {

class Event : public KernelObject {
public:
    Event(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}
    bool IsWaitable() const override { return true; }
    bool IsSignalled() const override { return signalled_; }
    void Acquire() override {
        if (!manualReset_)
            signalled_ = false;
    }
    void Set(bool signalled) { signalled_ = signalled; }

private:
    const bool manualReset_;
    bool signalled_;  // guarded by WaitLock()
};

BOOL SetEventState(HANDLE hEvent, bool signalled) {
    auto event = LookupHandleAs<Event>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(WaitLock());
    event->Set(signalled);
    if (signalled)
        NotifyWaiters();
    return TRUE;
}

}  // namespace
}  // namespace winapi

using namespace winapi;

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    return SetEventState(hEvent, true);
}
BOOL WINAPI ResetEvent(HANDLE hEvent) {
    return SetEventState(hEvent, false);
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    *cs = CRITICAL_SECTION{};
    cs->DebugInfo = new std::recursive_mutex;
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD dwSpinCount) {
    InitializeCriticalSection(cs);
    cs->SpinCount = dwSpinCount;
    return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
    static_cast<std::recursive_mutex*>(cs->DebugInfo)->lock();
    cs->RecursionCount++;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (!static_cast<std::recursive_mutex*>(cs->DebugInfo)->try_lock())
        return FALSE;
    cs->RecursionCount++;
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    cs->RecursionCount--;
    static_cast<std::recursive_mutex*>(cs->DebugInfo)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    delete static_cast<std::recursive_mutex*>(cs->DebugInfo);
    cs->DebugInfo = nullptr;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    }
}

ULONGLONG WINAPI GetTickCount64(void) {
    using namespace std::chrono;
    return static_cast<ULONGLONG>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(GetTickCount64());
}

}  // extern "C"
