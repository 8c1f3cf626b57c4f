// The exports as an application meets them: the library loaded at run time from a directory
// holding its settings file, against the virtual unit on loopback.
#include <zephif/ZephIF.h>

#include "test_window.h"
#include "test_support.h"
#include "waiting_ui.h"

#include <unitsim/virtual_unit.h>

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr UINT kResultMessage = WM_APP + 3;

// The protocol library keeps a few locks alive on purpose; once their module is unloaded the
// leak checker counts them as leaks. So sanitizer builds keep the library loaded: ctest runs every
// test in a process of its own, which loads the library, and so its settings, afresh.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnloadAfterTest = false;
#else
constexpr bool kUnloadAfterTest = true;
#endif
constexpr DWORD kWaitMs = 20000;
constexpr int kCutAfterBytes = 20000;  // the unit breaks its picture off after this much

// The exports, looked up by their plain names.
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

class Exports : public ::testing::Test {
protected:
    void SetUp() override {
        if (void* loaded = dlopen(ZEPHIF_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD)) {
            dlclose(loaded);
            GTEST_SKIP()
                << "the library stays loaded in sanitizer builds: run one test per process";
        }
        m_tempDir.emplace("zephif_exports");
        m_dir = m_tempDir->Path();
        m_oldDir = fs::current_path();
        fs::current_path(m_dir);
        m_ui = std::make_shared<WaitingUi>();
        winapi::SetUiBackend(m_ui);
    }
    void TearDown() override {
        if (m_library) {
            if (!m_leaveWorkerForUnload) {
                EXPECT_EQ(lib.EndSession(), ZEPHLIB_OK);
            }
            if (kUnloadAfterTest) {
                dlclose(m_library);
                // Unloaded for real, so the next load reads its settings again.
                EXPECT_EQ(dlopen(ZEPHIF_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr);
            }
        }
        if (m_exposer.joinable())
            m_exposer.join();
        m_unit.reset();
        winapi::SetUiBackend(nullptr);
        if (!m_dir.empty()) {
            fs::current_path(m_oldDir);
            m_tempDir.reset();
        }
    }

    // Without an exposure delay the unit exposes only on demand: see ExposeWhenAsked.
    void StartUnit(unitsim::Config config = {}) {
        config.address = "127.0.0.1";
        m_unit = std::make_unique<unitsim::VirtualUnit>(std::move(config));
        m_unit->start();
    }
    // Exposes once the library has polled the unit and seen it wait for X-rays.
    void ExposeWhenAsked() {
        if (m_exposer.joinable())
            m_exposer.join();
        m_ui->Clear();
        m_exposer = std::thread([this] {
            if (m_ui->WaitForText("Sensor is ready, please expose now!"))
                m_unit->triggerExposure();
        });
    }
    void WriteSettings(int sensorPort, const std::string& extra = {}, int captureTimeout = 20) {
        std::ofstream(m_dir / "ZephIF.ini")
            << "[VANTA]\r\nSensor-IP=127.0.0.1\r\nSensor-Port=" << sensorPort
            << "\r\nLocal-IP=127.0.0.1\r\nLocal-Port=" << m_localPort.Port()
            << "\r\nSensor-Status-Timeout=5\r\nSensor-Capture-Timeout=" << captureTimeout << "\r\n"
            << extra;
    }
    void Load() {
        m_library = dlopen(ZEPHIF_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
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

    // Starts a capture, switches the unit off, ends the session; the library is unloaded after.
    void EndAndUnloadWithTheUnitSwitchedOff(bool droppedReply);

    // Reads a record and its pixel block, then frees both as the caller must.
    std::pair<CaptureResult, std::vector<uint16_t>> TakeResult(HGLOBAL record, bool free = true) {
        CaptureResult r{};
        std::memcpy(&r, GlobalLock(record), sizeof r);
        GlobalUnlock(record);
        std::vector<uint16_t> pixels;
        if (r.pixels) {
            auto block = reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(r.pixels));
            pixels.resize(GlobalSize(block) / 2);
            std::memcpy(pixels.data(), GlobalLock(block), pixels.size() * 2);
            GlobalUnlock(block);
            if (free) {
                EXPECT_EQ(GlobalFree(block), nullptr);
            }
        }
        if (free) {
            EXPECT_EQ(GlobalFree(record), nullptr);
        }
        return {r, pixels};
    }

    ZephLib lib{};
    std::optional<testsupport::TempDir> m_tempDir;
    fs::path m_dir;
    fs::path m_oldDir;
    std::shared_ptr<WaitingUi> m_ui;
    std::unique_ptr<unitsim::VirtualUnit> m_unit;
    void* m_library = nullptr;
    TestWindow m_window;
    std::thread m_exposer;
    bool m_leaveWorkerForUnload = false;    // the test leaves a worker for the unload to end
    testsupport::ReservedPort m_localPort;  // Local-Port must be named before the library loads
};

TEST_F(Exports, ArgumentChecksAndParameterRecordsNeedNoSession) {
    WriteSettings(104);
    Load();
    CaptureParameters p{};
    EXPECT_EQ(lib.GetCaptureParameters(&p), 0);
    const std::vector<LONG> fixed = {684, 456, 12, 800, 8, 0};
    EXPECT_EQ(std::vector<LONG>(p.words, p.words + 6), fixed);

    ExtendedCaptureParameters e{};
    EXPECT_EQ(lib.GetExtendedCaptureParameters(&e), 0);
    EXPECT_EQ(std::vector<LONG>(e.words, e.words + 9),
              (std::vector<LONG>{0, 684, 456, 12, 800, 8, 0, 2, 455}));
    const CaptureParameters mine{{1, 2, 3, 4, 5, 6}};
    EXPECT_EQ(lib.SetCaptureParameters(&mine), 0);
    EXPECT_EQ(lib.GetCaptureParameters(&p), 0);
    EXPECT_EQ(std::vector<LONG>(p.words, p.words + 6), fixed);
    EXPECT_EQ(lib.GetExtendedCaptureParameters(&e), 0);
    EXPECT_EQ(std::vector<LONG>(e.words, e.words + 9),
              (std::vector<LONG>{0, 1, 2, 3, 4, 5, 6, 2, 455}));
    EXPECT_EQ(lib.GetCaptureParameters(nullptr), -9);

    for (LONG mode : {0, 1, -1, 0x7fffffff})
        EXPECT_EQ(lib.ControlTestAndSimulation(mode), 0);

    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HGLOBAL handle = nullptr;
    EXPECT_EQ(lib.CaptureRawImageWithPostMessage(1, nullptr, kResultMessage, 0), -9);
    EXPECT_EQ(lib.CaptureRawImageWithEventSignal(1, nullptr, &handle, 0), -9);
    EXPECT_EQ(lib.CaptureBitmapWithPostMessage(1, nullptr, kResultMessage, 0, 0), -9);
    EXPECT_EQ(lib.CaptureBitmapWithEventSignal(1, nullptr, &handle, 0, 0), -9);
    const LONG window = static_cast<LONG>(reinterpret_cast<UINT_PTR>(m_window.Handle()));
    EXPECT_EQ(lib.CaptureTiffFileWithPostMessage(1, window, kResultMessage, 0, 0), -9);
    EXPECT_EQ(lib.CaptureTiffFileWithEventSignal(1, window, 0, 0, 0), -9);
    // No worker: accepted without effect.
    EXPECT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 0), 0);
    EXPECT_EQ(lib.CaptureRawImageWithEventSignal(1, event, &handle, 0), 0);
    EXPECT_EQ(lib.CancelPendingCaptures(), 0);
    EXPECT_EQ(lib.EndSession(), 0);
    EXPECT_TRUE(m_window.Empty());
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

TEST_F(Exports, CaptureByMessageAndByEventDeliverTheUnitsPicture) {
    StartUnit();
    WriteSettings(m_unit->port());
    Load();
    ASSERT_EQ(lib.StartSession(), 0);
    ASSERT_TRUE(m_unit->waitForRequests(2, 20s));  // STATUS and SETPARAM
    EXPECT_EQ(m_unit->parameter("XRayTimeout"), "25");
    EXPECT_EQ(lib.StartSession(), 0);  // one worker: nothing sent again
    const auto handled = m_unit->counters().requestsHandled;

    ExposeWhenAsked();
    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 99), 0);
    const auto msg = m_window.Next(20s);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->message, kResultMessage);
    auto [record, pixels] = TakeResult(reinterpret_cast<HGLOBAL>(msg->lParam));
    EXPECT_GT(m_unit->counters().requestsHandled, handled);
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.recordKind, 268u);
    EXPECT_EQ(record.cookie, 99);
    EXPECT_EQ(record.width, 684u);
    EXPECT_EQ(record.height, 456u);
    EXPECT_EQ(record.bitsPerPixel, 12u);
    EXPECT_EQ(record.pixelBytes, 623808u);
    EXPECT_EQ(pixels, unitsim::makeTestPattern().pixels);

    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HGLOBAL handed = nullptr;
    ExposeWhenAsked();
    ASSERT_EQ(lib.CaptureRawImageWithEventSignal(0, event, &handed, 7), 0);
    ASSERT_EQ(WaitForSingleObject(event, kWaitMs), WAIT_OBJECT_0);
    ASSERT_NE(handed, nullptr);
    auto [kept, keptPixels] = TakeResult(handed, false);  // the library keeps this one
    EXPECT_EQ(kept.cookie, 7);
    EXPECT_EQ(keptPixels, unitsim::makeTestPattern().pixels);
    EXPECT_EQ(lib.EndSession(), 0);
    EXPECT_EQ(GlobalSize(handed), 0u);  // freed with the session
    CloseHandle(event);
}

TEST_F(Exports, CancelAndEndAreRefusedWhileAnImageArrives) {
    unitsim::Config config;
    config.faults.chunkBytes = 8192;
    config.faults.chunkDelay = 15ms;  // about a second for the whole picture
    StartUnit(config);
    WriteSettings(m_unit->port());
    Load();
    ASSERT_EQ(lib.StartSession(), 0);
    ExposeWhenAsked();
    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 1), 0);
    ASSERT_TRUE(m_ui->WaitForText("Image transfer started, please wait!"));
    EXPECT_EQ(lib.CancelPendingCaptures(), 1);
    EXPECT_EQ(lib.EndSession(), 1);
    const auto msg = m_window.Next(20s);
    ASSERT_TRUE(msg);
    auto [record, pixels] = TakeResult(reinterpret_cast<HGLOBAL>(msg->lParam));
    EXPECT_EQ(record.status, 0);  // neither call touched the capture
    EXPECT_EQ(pixels.size(), 684u * 456u);
    EXPECT_TRUE(m_ui->Shown("Image transfer in progress, received "));
    EXPECT_EQ(lib.EndSession(), 0);
}

TEST_F(Exports, FailedStartLeavesAWorkerThatRefusesCaptures) {
    StartUnit();
    WriteSettings(0);  // a port of 0 can never connect
    Load();
    EXPECT_EQ(lib.StartSession(), -7);
    EXPECT_TRUE(m_ui->Shown("Error connecting to Vantex 127.0.0.1,  wait a few seconds"));
    EXPECT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 1), -1);
    EXPECT_EQ(lib.StartSession(), 0);  // the old worker is still there
    EXPECT_EQ(lib.EndSession(), 0);
    EXPECT_EQ(m_unit->counters().requestsHandled, 0u);
}

TEST_F(Exports, DeclinedSettingsQuestionLeavesALibraryThatOpensNoSession) {
    m_ui->ScriptAnswer(IDNO);
    Load();
    const auto boxes = m_ui->Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Could not find file: " + (m_dir / "ZephIF.ini").string() +
                                 "! Click 'Yes' button to use default settings.");
    EXPECT_EQ(lib.StartSession(), -8);
    EXPECT_FALSE(fs::exists(m_dir / "ZephIF.ini"));
}

// The case that lost its image: the unit answers CAPTURE before the STATUS sent with it.
TEST_F(Exports, UnitExposingAtOnceDeliversThePixels) {
    unitsim::Config config;
    config.exposureDelay = 0ms;
    config.processingTime = 0ms;
    StartUnit(config);
    WriteSettings(m_unit->port());
    Load();
    ASSERT_EQ(lib.StartSession(), ZEPHLIB_OK);
    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 5), 0);
    const auto msg = m_window.Next(20s);
    ASSERT_TRUE(msg) << "the image was lost";
    auto [record, pixels] = TakeResult(reinterpret_cast<HGLOBAL>(msg->lParam));
    EXPECT_EQ(record.status, ZEPHLIB_STATUS_DELIVERED);
    EXPECT_EQ(pixels, unitsim::makeTestPattern().pixels);
}

// Ending and unloading while a capture waits and the unit is gone: the CLOSE fails, nothing
// ends the host program and nothing is freed twice. With a dropped reply (the picture cut off
// part-way) the capture ends at once as its time-out would, long before the time-out itself,
// and the application unloads the library without ending the session: the unload ends the
// worker, whose session's sockets then go after the module's static objects.
void Exports::EndAndUnloadWithTheUnitSwitchedOff(bool droppedReply) {
    StartUnit();  // exposes only on demand
    WriteSettings(m_unit->port(), {}, droppedReply ? 300 : 20);
    Load();
    ASSERT_EQ(lib.StartSession(), ZEPHLIB_OK);
    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 5), 0);
    ASSERT_TRUE(m_ui->WaitForText("Sensor is ready, please expose now!"));
    if (!droppedReply) {
        m_unit.reset();
        EXPECT_EQ(lib.EndSession(), ZEPHLIB_OK);
        EXPECT_EQ(lib.EndSession(), ZEPHLIB_OK);
        EXPECT_TRUE(m_window.Empty());
        return;
    }
    unitsim::Faults cut;
    cut.dropImageAfterBytes = kCutAfterBytes;
    cut.chunkBytes = kCutAfterBytes / 2;
    m_unit->setFaults(cut);
    ASSERT_TRUE(m_unit->triggerExposure());
    ASSERT_TRUE(m_unit->waitUntil(
        [](const unitsim::Snapshot& s) { return s.counters.repliesDropped > 0; }, 20s));
    const auto msg = m_window.Next(20s);
    ASSERT_TRUE(msg) << "the broken-off transfer left the capture waiting";
    auto [record, pixels] = TakeResult(reinterpret_cast<HGLOBAL>(msg->lParam));
    EXPECT_EQ(record.status, ZEPHLIB_STATUS_TIMED_OUT);
    EXPECT_TRUE(pixels.empty());
    EXPECT_TRUE(m_ui->Shown("Image transfer started, please wait!"));
    EXPECT_TRUE(m_ui->Shown("Vantex timedout"));
    m_unit.reset();
    m_leaveWorkerForUnload = true;
}

TEST_F(Exports, EndAndUnloadAfterTheUnitIsSwitchedOff) {
    EndAndUnloadWithTheUnitSwitchedOff(false);
}

TEST_F(Exports, EndAndUnloadAfterTheUnitIsSwitchedOffWithADroppedReply) {
    EndAndUnloadWithTheUnitSwitchedOff(true);
}

// Message boxes that stay open until released, as a person may leave them.
class BlockingBoxUi : public WaitingUi {
public:
    static constexpr auto kHoldLimit = std::chrono::seconds(60);
    int ShowMessageBox(const winapi::MessageBoxCall& box) override {
        std::unique_lock<std::mutex> lock(m_lock);
        m_shown = true;
        m_changed.notify_all();
        m_changed.wait_for(lock, kHoldLimit, [&] { return m_released; });
        lock.unlock();
        return WaitingUi::ShowMessageBox(box);
    }
    bool WaitShown() {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, kHoldLimit, [&] { return m_shown; });
    }
    void Release() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_released = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_shown = false;
    bool m_released = false;
};

// Ending gives up on a worker that still shows the failed CLOSE's error; unloading must then
// wait for it, or its thread would run on in code that is gone.
TEST_F(Exports, UnloadWaitsForAWorkerTheEndGaveUpOn) {
    if (!kUnloadAfterTest)
        GTEST_SKIP() << "sanitizer builds keep the library loaded";
    auto ui = std::make_shared<BlockingBoxUi>();
    m_ui = ui;
    winapi::SetUiBackend(ui);
    StartUnit();  // never exposes
    WriteSettings(m_unit->port());
    Load();
    ASSERT_EQ(lib.StartSession(), ZEPHLIB_OK);
    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 5), 0);
    ASSERT_TRUE(m_ui->WaitForText("Sensor is ready, please expose now!"));
    m_unit.reset();  // the CLOSE owed at the end fails and its error is shown
    EXPECT_EQ(lib.EndSession(), ZEPHLIB_OK);
    ASSERT_TRUE(ui->WaitShown()) << "no error box for the failed CLOSE";

    std::atomic<bool> unloaded{false};
    void* library = m_library;
    m_library = nullptr;
    std::thread unloader([&] {
        dlclose(library);
        unloaded = true;
    });
    Sleep(200);  // a negative check: a slow machine can only make it pass more surely
    EXPECT_FALSE(unloaded.load()) << "unloaded while a worker still ran the library's code";
    ui->Release();
    unloader.join();
    EXPECT_TRUE(unloaded.load());
    EXPECT_EQ(dlopen(ZEPHIF_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr);
}

}  // namespace
