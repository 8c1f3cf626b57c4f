// Helpers shared by the driver tests: overlapped requests driven by simulated time, and the
// fixtures that start each driver on its simulated board.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <wdmhost.h>

#include <boardsim/Boards.h>
#include <harrow/HarrowDriver.h>
#include <zephdrv/ZephDriver.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace drivertest {

// A register device that answers every read with zero and ignores every write.
class QuietPorts : public wdm::HwDevice {
public:
    ULONG ReadPort(ULONG, int) override { return 0; }
    void WritePort(ULONG, int, ULONG) override {}
    ULONG ReadMemory(int, ULONG, int) override { return 0; }
    void WriteMemory(int, ULONG, int, ULONG) override {}
};

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

// A driver started on its simulated board under simulated time, with an overlapped handle on
// its first device; torn down with no timer left armed.
template <class Board, class Config>
class BoardDriverTest : public ::testing::Test {
protected:
    BoardDriverTest(PDRIVER_INITIALIZE entry, const wchar_t* serviceName, const char* firstDevice)
        : entry_(entry), serviceName_(serviceName), firstDevice_(firstDevice) {}

    void SetUp() override { wdm::SetClockMode(wdm::ClockMode::Simulated); }

    void Start(const Config& config = {}) {
        board_ = std::make_unique<Board>(config);
        host_ = std::make_unique<wdm::DriverHost>(entry_, serviceName_);
        ASSERT_EQ(host_->EntryStatus(), STATUS_SUCCESS);
        ASSERT_EQ(host_->AddBoard(*board_), STATUS_SUCCESS);
        file_ = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }

    // Opens `name`, by default the first device.
    HANDLE Open(DWORD flags, const char* name = nullptr) {
        return CreateFileA(name != nullptr ? name : firstDevice_, GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, flags, nullptr);
    }

    void TearDown() override {
        if (file_ != nullptr && file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
        host_.reset();
        board_.reset();
        EXPECT_EQ(wdm::ArmedTimerCount(), 0u);
    }

    std::unique_ptr<Board> board_;
    std::unique_ptr<wdm::DriverHost> host_;
    HANDLE file_ = nullptr;

private:
    PDRIVER_INITIALIZE entry_;
    const wchar_t* serviceName_;
    const char* firstDevice_;
};

class HarrowDriverTest
    : public BoardDriverTest<boardsim::HarrowBoard, boardsim::HarrowBoardConfig> {
protected:
    HarrowDriverTest() : BoardDriverTest(HarrowDriverEntry, L"Harrow", "\\\\.\\HARROWDRIVER0") {}
    CHarrowDriver* Driver() { return CHarrowDriver::From(host_->FunctionDevice(0)); }
};

class ZephDriverTest : public BoardDriverTest<boardsim::ZephBoard, boardsim::ZephBoardConfig> {
protected:
    ZephDriverTest() : BoardDriverTest(ZephDriverEntry, L"ZephDrv", "\\\\.\\ZephDriver0") {}
    CZephDriver* Driver() { return CZephDriver::From(host_->FunctionDevice(0)); }
};

}  // namespace drivertest
