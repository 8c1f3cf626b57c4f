// Helpers shared by the driver tests: overlapped requests driven by simulated time.
#include "driver_fixture.h"

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace drivertest {

Request::Request() {
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Request::~Request() {
    if (Pending() && file_ != nullptr) {
        CancelIo(file_);
        Wait();
    }
    CloseHandle(overlapped_.hEvent);
}

bool Request::Ioctl(HANDLE file, DWORD code, const void* input, DWORD inputLength,
                    DWORD outputLength) {
    file_ = file;
    output.assign(outputLength, 0xEE);
    BOOL ok = DeviceIoControl(file, code, const_cast<void*>(input), inputLength,
                              outputLength ? output.data() : nullptr, outputLength, &bytes_,
                              &overlapped_);
    immediateError_ = ok ? ERROR_SUCCESS : GetLastError();
    return !ok && immediateError_ == ERROR_IO_PENDING;
}

bool Request::Read(HANDLE file, DWORD length) {
    file_ = file;
    output.assign(length, 0xEE);
    BOOL ok = ReadFile(file, length ? output.data() : nullptr, length, &bytes_, &overlapped_);
    immediateError_ = ok ? ERROR_SUCCESS : GetLastError();
    return !ok && immediateError_ == ERROR_IO_PENDING;
}

DWORD Request::Collect() {
    if (immediateError_ != ERROR_IO_PENDING)
        return immediateError_;
    if (WaitForSingleObject(overlapped_.hEvent, kCompletionSafetyTimeoutMs) != WAIT_OBJECT_0) {
        return WAIT_TIMEOUT;
    }
    return GetOverlappedResult(file_, &overlapped_, &bytes_, FALSE) ? ERROR_SUCCESS
                                                                    : GetLastError();
}

DWORD Request::Finish() {
    if (immediateError_ == ERROR_IO_PENDING) {
        while (WaitForSingleObject(overlapped_.hEvent, 0) != WAIT_OBJECT_0) {
            if (!wdm::RunNextTimer())
                break;  // nothing timed is left: interrupts finish it
        }
    }
    return Collect();
}

DWORD Request::Wait() {
    return Collect();
}

DWORD Call(HANDLE file, DWORD code, const void* input, DWORD inputLength,
           std::vector<uint8_t>* output, DWORD outputLength, DWORD* bytes) {
    Request r;
    r.Ioctl(file, code, input, inputLength, outputLength);
    DWORD error = r.Finish();
    if (output != nullptr)
        *output = r.output;
    if (bytes != nullptr)
        *bytes = r.Bytes();
    return error;
}

}  // namespace drivertest

namespace {

// DRIVERS_SINGLE_PROCESSOR=1 runs the suite with interrupts and DPCs on the causing thread.
class ExecutionModeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* single = std::getenv("DRIVERS_SINGLE_PROCESSOR");
        if (single != nullptr && std::strcmp(single, "1") == 0)
            wdm::SetExecutionMode(wdm::ExecutionMode::SingleProcessor);
    }
};

const auto* const kExecutionMode =
    ::testing::AddGlobalTestEnvironment(new ExecutionModeEnvironment);

}  // namespace
