// Loads one build of libZephIF.so at run time in a fresh directory with its settings file, as an
// imaging application does, against the virtual unit on loopback.
#pragma once

#include <zephif/ZephIF.h>

#include "test_support.h"
#include "test_window.h"
#include "waiting_ui.h"

#include <unitsim/virtual_unit.h>

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace legacy_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The network build keeps a few locks alive on purpose, which the leak checker reports once its
// module is unloaded; sanitizer builds keep the libraries loaded (ctest gives each test its own
// process, which loads the library and its settings afresh).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnloadAfterTest = false;
#else
inline constexpr bool kUnloadAfterTest = true;
#endif

inline constexpr UINT kResultMessage = WM_APP + 12;
inline constexpr DWORD kWaitMs = 30000;
inline constexpr auto kWait = std::chrono::milliseconds(kWaitMs);

struct ZephLib {
    decltype(&ZephLibStartSession) StartSession;
    decltype(&ZephLibEndSession) EndSession;
    decltype(&ZephLibCancelPendingCaptures) CancelPendingCaptures;
    decltype(&ZephLibGetCaptureParameters) GetCaptureParameters;
    decltype(&ZephLibGetExtendedCaptureParameters) GetExtendedCaptureParameters;
    decltype(&ZephLibSetCaptureParameters) SetCaptureParameters;
    decltype(&ZephLibControlTestAndSimulation) ControlTestAndSimulation;
    decltype(&ZephLibCaptureRawImageWithPostMessage) CaptureRawImageWithPostMessage;
    decltype(&ZephLibCaptureRawImageWithEventSignal) CaptureRawImageWithEventSignal;
    decltype(&ZephLibCaptureBitmapWithPostMessage) CaptureBitmapWithPostMessage;
    decltype(&ZephLibCaptureBitmapWithEventSignal) CaptureBitmapWithEventSignal;
    decltype(&ZephLibCaptureTiffFileWithPostMessage) CaptureTiffFileWithPostMessage;
    decltype(&ZephLibCaptureTiffFileWithEventSignal) CaptureTiffFileWithEventSignal;
};

inline std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The library at `path`, loaded afresh by each test; the unit and the UI are the test's.
class LibraryFixture {
protected:
    void SetUpLibrary(const char* path) {
        m_path = path;
        if (void* loaded = dlopen(m_path, RTLD_NOW | RTLD_NOLOAD)) {
            dlclose(loaded);
            GTEST_SKIP() << "the library is still loaded: run one test per process";
        }
        char pattern[] = "/tmp/zephif_legacy_XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        m_dir = pattern;
        m_oldDir = fs::current_path();
        fs::current_path(m_dir);
        m_ui = std::make_shared<WaitingUi>();
        winapi::SetUiBackend(m_ui);
    }
    void TearDownLibrary() {
        if (m_library) {
            EXPECT_EQ(lib.EndSession(), 0);
            if (kUnloadAfterTest)
                dlclose(m_library);
        }
        m_unit.reset();
        winapi::SetUiBackend(nullptr);
        if (!m_dir.empty()) {
            fs::current_path(m_oldDir);
            fs::remove_all(m_dir);
        }
    }

    void StartUnit(unitsim::Config config = {}) {
        config.address = "127.0.0.1";
        m_unit = std::make_unique<unitsim::VirtualUnit>(std::move(config));
        m_unit->start();
    }
    // Keys both builds read; the status time-out is in seconds for both.
    void WriteSettings(int sensorPort, const std::string& extra = {}) {
        std::ofstream(m_dir / "ZephIF.ini")
            << "[VANTA]\r\nSensor-IP=127.0.0.1\r\nSensor-Port=" << sensorPort
            << "\r\nLocal-IP=127.0.0.1\r\nLocal-Port=" << LocalPort()
            << "\r\nSensor-Status-Timeout=5\r\nSensor-Capture-Timeout=20\r\nSensor-Poll-Timeout=50"
            << "\r\n"
            << extra;
    }
    void Load() {
        m_library = dlopen(m_path, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_library, nullptr) << dlerror();
        auto find = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(m_library, name));
            ASSERT_NE(fn, nullptr) << name;
        };
        find(lib.StartSession, "ZephLibStartSession");
        find(lib.EndSession, "ZephLibEndSession");
        find(lib.CancelPendingCaptures, "ZephLibCancelPendingCaptures");
        find(lib.GetCaptureParameters, "ZephLibGetCaptureParameters");
        find(lib.GetExtendedCaptureParameters, "ZephLibGetExtendedCaptureParameters");
        find(lib.SetCaptureParameters, "ZephLibSetCaptureParameters");
        find(lib.ControlTestAndSimulation, "ZephLibControlTestAndSimulation");
        find(lib.CaptureRawImageWithPostMessage, "ZephLibCaptureRawImageWithPostMessage");
        find(lib.CaptureRawImageWithEventSignal, "ZephLibCaptureRawImageWithEventSignal");
        find(lib.CaptureBitmapWithPostMessage, "ZephLibCaptureBitmapWithPostMessage");
        find(lib.CaptureBitmapWithEventSignal, "ZephLibCaptureBitmapWithEventSignal");
        find(lib.CaptureTiffFileWithPostMessage, "ZephLibCaptureTiffFileWithPostMessage");
        find(lib.CaptureTiffFileWithEventSignal, "ZephLibCaptureTiffFileWithEventSignal");
    }

    // Reads a record and its pixel block, then frees both when the caller owns them.
    static std::pair<CaptureResult, std::vector<uint16_t>> TakeResult(HGLOBAL record,
                                                                      bool owned = true) {
        CaptureResult r{};
        std::memcpy(&r, GlobalLock(record), sizeof r);
        GlobalUnlock(record);
        std::vector<uint16_t> pixels;
        if (r.pixels) {
            auto block = reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(r.pixels));
            pixels.resize(GlobalSize(block) / 2);
            std::memcpy(pixels.data(), GlobalLock(block), pixels.size() * 2);
            GlobalUnlock(block);
            if (owned) {
                EXPECT_EQ(GlobalFree(block), nullptr);
            }
        }
        if (owned) {
            EXPECT_EQ(GlobalFree(record), nullptr);
        }
        return {r, pixels};
    }

    // The record of the next result message to the test window.
    std::optional<std::pair<CaptureResult, std::vector<uint16_t>>> NextResult() {
        const auto msg = m_window.Next(kWait);
        if (!msg || msg->message != kResultMessage)
            return std::nullopt;
        return TakeResult(reinterpret_cast<HGLOBAL>(msg->lParam));
    }

    const char* m_path = nullptr;
    ZephLib lib{};
    fs::path m_dir;
    // The library's reply port, reserved among test processes for the fixture's life.
    testsupport::ReservedPort m_localPort;
    unsigned short LocalPort() const { return m_localPort.Port(); }
    fs::path m_oldDir;
    std::shared_ptr<WaitingUi> m_ui;
    std::unique_ptr<unitsim::VirtualUnit> m_unit;
    void* m_library = nullptr;
    TestWindow m_window;
};

}  // namespace legacy_test
