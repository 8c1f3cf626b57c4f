// Files and devices: CreateFileA, ReadFile, WriteFile, DeviceIoControl, CancelIo,
// GetOverlappedResult, and the registry of devices opened as "\\.\NAME".
#include "handles.h"

#include <winapi_devices.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <string>

namespace winapi {
namespace {

constexpr LONG kStatusPending = 0x00000103;
constexpr char kDevicePrefix[] = "\\\\.\\";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

struct DeviceRegistry {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<WinapiDevice>> devices;
};

DeviceRegistry& Registry() {
    static auto* registry = new DeviceRegistry;
    return *registry;
}

// A handle from CreateFileA: an open device or a POSIX descriptor. Waitable: signalled when a
// request on it completes, reset when one starts (GetOverlappedResult without an event).
class FileHandle : public KernelObject {
public:
    FileHandle(std::unique_ptr<WinapiDeviceFile> device, bool overlapped)
        : device_(std::move(device)), overlapped_(overlapped) {}
    FileHandle(int fd, bool overlapped) : fd_(fd), overlapped_(overlapped) {}
    ~FileHandle() override {
        device_.reset();  // cleanup and close reach the device here
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool IsWaitable() const override { return true; }
    bool IsSignalled() const override { return signalled_; }
    void SetSignalled(bool signalled) {
        std::lock_guard<std::mutex> guard(WaitLock());
        signalled_ = signalled;
        if (signalled)
            NotifyWaiters();
    }

    WinapiDeviceFile* Device() const { return device_.get(); }
    int Fd() const { return fd_; }
    bool Overlapped() const { return overlapped_; }

private:
    std::unique_ptr<WinapiDeviceFile> device_;
    int fd_ = -1;
    const bool overlapped_;
    bool signalled_ = false;  // guarded by WaitLock()
};

struct RequestState {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    LONG status = kStatusPending;
    ULONG_PTR information = 0;
};

// Publishes a request's result: the OVERLAPPED record, its event, the file's own signal and
// the issuing thread's wait. Nothing of the caller's is touched after the event is set.
class Completion : public WinapiIoCompletion {
public:
    Completion(std::shared_ptr<RequestState> state, LPOVERLAPPED overlapped,
               std::weak_ptr<FileHandle> file)
        : state_(std::move(state)),
          overlapped_(overlapped),
          event_(overlapped ? overlapped->hEvent : nullptr),
          file_(std::move(file)) {}

    void Complete(LONG ntStatus, ULONG_PTR information) override {
        if (overlapped_ != nullptr) {
            overlapped_->InternalHigh = information;
            __atomic_store_n(&overlapped_->Internal,
                             static_cast<ULONG_PTR>(static_cast<ULONG>(ntStatus)),
                             __ATOMIC_RELEASE);
        }
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            state_->status = ntStatus;
            state_->information = information;
            state_->finished = true;
            state_->done.notify_all();
        }
        if (event_ != nullptr)
            SetEvent(event_);
        if (auto file = file_.lock())
            file->SetSignalled(true);
        delete this;
    }

private:
    std::shared_ptr<RequestState> state_;
    LPOVERLAPPED overlapped_;
    HANDLE event_;
    std::weak_ptr<FileHandle> file_;
};

bool NtSuccess(LONG status) {
    return status >= 0;
}

// Runs one device request with Windows' synchronous/overlapped rules.
template <class Issue>
BOOL RunDeviceRequest(const std::shared_ptr<FileHandle>& file, LPDWORD bytes,
                      LPOVERLAPPED overlapped, Issue issue) {
    const bool async = file->Overlapped();
    if (async && overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto state = std::make_shared<RequestState>();
    LPOVERLAPPED record = async ? overlapped : nullptr;
    if (record != nullptr) {
        record->Internal = static_cast<ULONG_PTR>(kStatusPending);
        record->InternalHigh = 0;
        if (record->hEvent != nullptr)
            ResetEvent(record->hEvent);
    }
    file->SetSignalled(false);
    const bool pending = issue(new Completion(state, record, file));

    if (async && pending) {
        if (bytes != nullptr)
            *bytes = 0;
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    std::unique_lock<std::mutex> lock(state->lock);
    state->done.wait(lock, [&] { return state->finished; });
    if (bytes != nullptr)
        *bytes = static_cast<DWORD>(state->information);
    if (!NtSuccess(state->status)) {
        SetLastError(WinapiWin32FromNtStatus(state->status));
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

std::shared_ptr<FileHandle> LookupFile(HANDLE handle) {
    auto file = LookupHandleAs<FileHandle>(handle);
    if (!file)
        SetLastError(ERROR_INVALID_HANDLE);
    return file;
}

// Plain files: synchronous POSIX I/O; an OVERLAPPED gives the offset and is completed at once.
BOOL FileTransfer(const std::shared_ptr<FileHandle>& file, void* buffer, DWORD length,
                  LPDWORD bytes, LPOVERLAPPED overlapped, bool write) {
    size_t done = 0;
    off_t offset = overlapped
                       ? static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                            overlapped->Offset)
                       : 0;
    auto* p = static_cast<char*>(buffer);
    while (done < length) {
        ssize_t n;
        if (overlapped) {
            n = write ? ::pwrite(file->Fd(), p + done, length - done, offset + done)
                      : ::pread(file->Fd(), p + done, length - done, offset + done);
        } else {
            n = write ? ::write(file->Fd(), p + done, length - done)
                      : ::read(file->Fd(), p + done, length - done);
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetLastError(Win32FromErrno(errno));
            return FALSE;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (bytes != nullptr)
        *bytes = static_cast<DWORD>(done);
    if (overlapped != nullptr) {
        overlapped->InternalHigh = done;
        overlapped->Internal = 0;
        if (overlapped->hEvent != nullptr)
            SetEvent(overlapped->hEvent);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace
}  // namespace winapi

using namespace winapi;

void WinapiRegisterDevice(const char* name, std::shared_ptr<WinapiDevice> device) {
    DeviceRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.devices[Lower(name)] = std::move(device);
}

void WinapiUnregisterDevice(const char* name) {
    std::shared_ptr<WinapiDevice> doomed;  // released outside the registry lock
    DeviceRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.devices.find(Lower(name));
    if (it == r.devices.end())
        return;
    doomed = std::move(it->second);
    r.devices.erase(it);
}

DWORD WinapiWin32FromNtStatus(LONG ntStatus) {
    // The codes the drivers and the I/O manager complete with, as Windows translates them.
    static const struct {
        ULONG status;
        DWORD error;
    } kTable[] = {
        {0x00000000u, ERROR_SUCCESS},
        {0xC0000001u, ERROR_GEN_FAILURE},          // STATUS_UNSUCCESSFUL
        {0xC0000002u, ERROR_INVALID_FUNCTION},     // STATUS_NOT_IMPLEMENTED
        {0xC000000Du, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER
        {0xC000000Eu, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_DEVICE
        {0xC0000010u, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
        {0xC0000022u, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
        {0xC0000023u, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
        {0xC0000034u, ERROR_FILE_NOT_FOUND},       // STATUS_OBJECT_NAME_NOT_FOUND
        {0xC000003Cu, ERROR_IO_DEVICE},            // STATUS_DATA_OVERRUN
        {0xC0000056u, ERROR_ACCESS_DENIED},        // STATUS_DELETE_PENDING
        {0xC000009Au, ERROR_NO_SYSTEM_RESOURCES},  // STATUS_INSUFFICIENT_RESOURCES
        {0xC00000A3u, ERROR_NOT_READY},            // STATUS_DEVICE_NOT_READY
        {0xC00000B5u, ERROR_SEM_TIMEOUT},          // STATUS_IO_TIMEOUT
        {0xC00000BBu, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
        {0xC0000120u, ERROR_OPERATION_ABORTED},    // STATUS_CANCELLED
        {0xC0000184u, ERROR_BAD_COMMAND},          // STATUS_INVALID_DEVICE_STATE
        {0xC0000185u, ERROR_IO_DEVICE},            // STATUS_IO_DEVICE_ERROR
        {0x80000011u, ERROR_BUSY},                 // STATUS_DEVICE_BUSY
    };
    for (const auto& row : kTable) {
        if (row.status == static_cast<ULONG>(ntStatus))
            return row.error;
    }
    return ntStatus >= 0 ? ERROR_SUCCESS : ERROR_MR_MID_NOT_FOUND;
}

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD,
                          struct _SECURITY_ATTRIBUTES*, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    std::string name(lpFileName);
    if (name.rfind(kDevicePrefix, 0) == 0) {
        std::shared_ptr<WinapiDevice> device;
        {
            DeviceRegistry& r = Registry();
            std::lock_guard<std::mutex> guard(r.lock);
            auto it = r.devices.find(Lower(name.substr(sizeof(kDevicePrefix) - 1)));
            if (it != r.devices.end())
                device = it->second;
        }
        if (!device) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        LONG status = 0;
        auto file = device->Open(dwDesiredAccess, &status);
        if (!file) {
            SetLastError(WinapiWin32FromNtStatus(status));
            return INVALID_HANDLE_VALUE;
        }
        SetLastError(ERROR_SUCCESS);
        return InsertHandle(std::make_shared<FileHandle>(std::move(file), overlapped));
    }

    int flags = O_CLOEXEC;
    const bool read = (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
    const bool write = (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    flags |= (read && write) ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    switch (dwCreationDisposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            flags |= O_TRUNC;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(lpFileName, flags, 0666);
    if (fd < 0) {
        SetLastError(Win32FromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::make_shared<FileHandle>(fd, overlapped));
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    auto file = LookupFile(hFile);
    if (!file)
        return FALSE;
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (file->Device() == nullptr) {
        return FileTransfer(file, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped,
                            false);
    }
    return RunDeviceRequest(file, lpNumberOfBytesRead, lpOverlapped, [&](Completion* c) {
        return file->Device()->Read(lpBuffer, nNumberOfBytesToRead, c);
    });
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    auto file = LookupFile(hFile);
    if (!file)
        return FALSE;
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (file->Device() == nullptr) {
        return FileTransfer(file, const_cast<void*>(lpBuffer), nNumberOfBytesToWrite,
                            lpNumberOfBytesWritten, lpOverlapped, true);
    }
    return RunDeviceRequest(file, lpNumberOfBytesWritten, lpOverlapped, [&](Completion* c) {
        return file->Device()->Write(lpBuffer, nNumberOfBytesToWrite, c);
    });
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    auto file = LookupFile(hDevice);
    if (!file)
        return FALSE;
    if (file->Device() == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if ((lpInBuffer == nullptr && nInBufferSize != 0) ||
        (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    return RunDeviceRequest(file, lpBytesReturned, lpOverlapped, [&](Completion* c) {
        return file->Device()->DeviceIoControl(dwIoControlCode, lpInBuffer, nInBufferSize,
                                               lpOutBuffer, nOutBufferSize, c);
    });
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    auto file = LookupFile(hFile);
    if (!file)
        return FALSE;
    if (file->Device() != nullptr)
        file->Device()->CancelThreadRequests(GetCurrentThreadId());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) ==
        static_cast<ULONG_PTR>(kStatusPending)) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        HANDLE waitOn = lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile;
        if (WaitForSingleObject(waitOn, INFINITE) != WAIT_OBJECT_0)
            return FALSE;
    }
    const LONG status = static_cast<LONG>(
        static_cast<ULONG>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE)));
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    }
    if (status < 0) {
        SetLastError(WinapiWin32FromNtStatus(status));
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // extern "C"
