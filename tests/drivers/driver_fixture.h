// Helpers shared by the driver tests: overlapped requests driven by simulated time.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <wdmhost.h>

#include <cstdint>
#include <vector>

namespace drivertest {

// Guards against a hang when a request never completes: the test fails instead.
constexpr DWORD kCompletionSafetyTimeoutMs = 20000;

// One overlapped request on a handle opened with FILE_FLAG_OVERLAPPED.
class Request {
public:
    Request();
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Issues the request; true when it is pending.
    bool Ioctl(HANDLE file, DWORD code, const void* input, DWORD inputLength, DWORD outputLength);
    bool Read(HANDLE file, DWORD length);
    bool Pending() const { return !HasOverlappedIoCompleted(&overlapped_); }
    // Fires simulated timers until the request completes; returns its Win32 error (0: success).
    DWORD Finish();
    // The result without firing timers (waits for interrupts and DPCs only).
    DWORD Wait();
    DWORD Bytes() const { return bytes_; }
    std::vector<uint8_t> output;

private:
    DWORD Collect();
    HANDLE file_ = nullptr;
    OVERLAPPED overlapped_{};
    DWORD bytes_ = 0;
    DWORD immediateError_ = ERROR_IO_PENDING;
};

// Synchronous-style call over an overlapped handle: issue, drive timers, collect.
DWORD Call(HANDLE file, DWORD code, const void* input, DWORD inputLength,
           std::vector<uint8_t>* output, DWORD outputLength, DWORD* bytes = nullptr);

template <class T>
DWORD CallWith(HANDLE file, DWORD code, const T& input, std::vector<uint8_t>* output = nullptr,
               DWORD outputLength = 0, DWORD* bytes = nullptr) {
    return Call(file, code, &input, sizeof input, output, outputLength, bytes);
}

}  // namespace drivertest
