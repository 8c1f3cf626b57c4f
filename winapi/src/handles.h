// Process-wide handle table and the waitable-object machinery shared by every area.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace winapi {

// Anything a HANDLE can name. Waitable objects override IsSignalled/Acquire; both are called
// with WaitLock() held.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual bool IsWaitable() const { return false; }
    virtual bool IsSignalled() const { return false; }
    // Called when a wait is satisfied by this object (auto-reset events reset here).
    virtual void Acquire() {}
};

// Issues a new handle value (a multiple of 4, below 2^32) naming the object.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object a handle names, or null (last error left untouched).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Removes a handle; the object lives on while others hold it. False when unknown.
bool RemoveHandle(HANDLE handle);

// One lock and condition for every waitable object: a state change notifies all waiters,
// which re-check their own objects. Simple and sufficient for the thread counts here.
std::mutex& WaitLock();
void NotifyWaiters();  // call with WaitLock() held, after making an object signalled

// Translates errno to the Win32 code reported by GetLastError.
DWORD Win32FromErrno(int err);

}  // namespace winapi
