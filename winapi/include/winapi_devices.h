// Registration of device objects that CreateFileA opens by their "\\.\NAME" Win32 names.
//
// Not part of the Windows SDK: the driver host implements these classes and registers each
// symbolic link it creates, so winapi never depends on the drivers. Names are matched
// case-insensitively, as Windows matches them.
#pragma once

#include "windef.h"

#include <memory>

// One outstanding request. The device calls Complete exactly once, from any thread, with the
// NTSTATUS and the number of bytes transferred; winapi owns the object.
class WinapiIoCompletion {
public:
    virtual ~WinapiIoCompletion() = default;
    virtual void Complete(LONG ntStatus, ULONG_PTR information) = 0;
};

// One open handle on a device. Destroying it closes the handle (cleanup, then close): the
// device cancels what is still outstanding on it and waits until those requests completed.
class WinapiDeviceFile {
public:
    virtual ~WinapiDeviceFile() = default;
    // Each call hands over `completion`; Complete may run before the call returns. Returns true
    // when the device left the request pending (its dispatch returned STATUS_PENDING), which is
    // what decides ERROR_IO_PENDING for overlapped calls. Buffers stay valid until completion
    // (the caller's contract, as on Windows).
    virtual bool Read(void* buffer, DWORD length, WinapiIoCompletion* completion) = 0;
    virtual bool Write(const void* buffer, DWORD length, WinapiIoCompletion* completion) = 0;
    virtual bool DeviceIoControl(DWORD code, const void* input, DWORD inputLength, void* output,
                                 DWORD outputLength, WinapiIoCompletion* completion) = 0;
    // Cancels the requests issued on this handle by the given thread (CancelIo).
    virtual void CancelThreadRequests(DWORD threadId) = 0;
};

class WinapiDevice {
public:
    virtual ~WinapiDevice() = default;
    // Opens the device; on failure returns null and sets *ntStatus.
    virtual std::unique_ptr<WinapiDeviceFile> Open(DWORD desiredAccess, LONG* ntStatus) = 0;
};

// The device stays registered (and must stay alive) until unregistered. Registering a name
// twice replaces the earlier device. Both are thread-safe.
void WinapiRegisterDevice(const char* name, std::shared_ptr<WinapiDevice> device);
void WinapiUnregisterDevice(const char* name);
// NTSTATUS to Win32 error, as RtlNtStatusToDosError maps the codes the drivers use.
DWORD WinapiWin32FromNtStatus(LONG ntStatus);
