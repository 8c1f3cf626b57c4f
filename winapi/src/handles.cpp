// Handle table, last-error slot and the waits on events and threads.
#include "handles.h"

#include <cerrno>
#include <chrono>
#include <unordered_map>
#include <vector>

namespace winapi {
namespace {

constexpr uintptr_t kFirstHandleValue = 0x1000;
constexpr uintptr_t kHandleStep = 4;
constexpr uintptr_t kHandleLimit = 0xFFFFFF00u;  // handles stay below 2^32

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = kFirstHandleValue;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // never destroyed: threads may outlive exit
    return *table;
}

std::condition_variable& WaitCondition() {
    static auto* cv = new std::condition_variable;
    return *cv;
}

thread_local DWORD t_lastError = 0;

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    // Values are not reused until the range wraps, so a stale handle names nothing.
    for (;;) {
        uintptr_t value = t.next;
        t.next = (t.next + kHandleStep >= kHandleLimit) ? kFirstHandleValue : t.next + kHandleStep;
        if (t.objects.find(value) == t.objects.end()) {
            t.objects.emplace(value, std::move(object));
            return reinterpret_cast<HANDLE>(value);
        }
    }
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> doomed;  // destroyed outside the table lock
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end())
        return false;
    doomed = std::move(it->second);
    t.objects.erase(it);
    return true;
}

std::mutex& WaitLock() {
    static auto* m = new std::mutex;
    return *m;
}

void NotifyWaiters() {
    WaitCondition().notify_all();
}

DWORD Win32FromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EAGAIN:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace winapi

using namespace winapi;

extern "C" {

DWORD WINAPI GetLastError(void) {
    return t_lastError;
}
void WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (!RemoveHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<KernelObject>> objects;
    objects.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        auto object = LookupHandle(lpHandles[i]);
        if (!object || !object->IsWaitable()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    std::unique_lock<std::mutex> lock(WaitLock());
    for (;;) {
        if (bWaitAll) {
            bool all = true;
            for (auto& o : objects)
                all = all && o->IsSignalled();
            if (all) {
                for (auto& o : objects)
                    o->Acquire();
                return WAIT_OBJECT_0;
            }
        } else {
            for (DWORD i = 0; i < nCount; ++i) {
                if (objects[i]->IsSignalled()) {
                    objects[i]->Acquire();
                    return WAIT_OBJECT_0 + i;
                }
            }
        }
        if (dwMilliseconds == 0)
            return WAIT_TIMEOUT;
        if (dwMilliseconds == INFINITE) {
            WaitCondition().wait(lock);
        } else if (WaitCondition().wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: the state may have changed just at the deadline.
            dwMilliseconds = 0;
        }
    }
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

}  // extern "C"
