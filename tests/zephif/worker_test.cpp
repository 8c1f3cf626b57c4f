// The acquisition worker against units on loopback, with its pauses and clock shortened.
#include "StateEventMachine.h"

#include "scripted_unit.h"
#include "test_window.h"
#include "waiting_ui.h"

#include <unitsim/virtual_unit.h>
#include <zephif/ZephIF.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace zephif;
using namespace std::chrono_literals;

constexpr DWORD kWaitMs = 20000;
constexpr UINT kResultMessage = WM_APP + 1;
// Time-outs are counted in tenths of seconds here: one "second" of the settings is 100 ms.
constexpr DWORD kTestSecondMs = 100;
constexpr char kExposeNowText[] = "Sensor is ready, please expose now!";
constexpr auto kExposerLimit = std::chrono::seconds(20);
constexpr auto kExposerSlice = std::chrono::milliseconds(50);

class Worker : public ::testing::Test {
protected:
    void SetUp() override {
        m_ui = std::make_shared<WaitingUi>();
        winapi::SetUiBackend(m_ui);
        m_settings.sensorIp = "127.0.0.1";
        m_settings.localIp = "127.0.0.1";
        m_settings.localPort = 0;         // the session binds a port of the system's choosing
        m_settings.statusTimeout = 100;   // 10 s with the test clock: a loaded machine under
                                          // ThreadSanitizer still answers in time
        m_settings.captureTimeout = 100;  // 10 s with the test clock
        m_timing = {1, 1, 1, kTestSecondMs, true};
    }
    void TearDown() override {
        End();
        winapi::SetUiBackend(nullptr);
    }

    // Without an exposure delay the unit exposes only on demand: see ExposeWhenAsked.
    void UseVirtualUnit(unitsim::Config config = {}) {
        config.address = "127.0.0.1";
        m_unit = std::make_unique<unitsim::VirtualUnit>(std::move(config));
        m_unit->start();
        m_settings.sensorPort = m_unit->port();
    }
    void UseScriptedUnit(ScriptedUnit::Script script) {
        m_scripted = std::make_unique<ScriptedUnit>(std::move(script));
        m_settings.sensorPort = m_scripted->Port();
    }

    // Starts the worker as ZephLibStartSession does; the CaptureStatus the attempt ended with.
    LONG Start() {
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        m_worker = std::make_unique<StateEventMachine>(m_settings, event, m_timing);
        EXPECT_TRUE(m_worker->CreateSuspended());
        m_worker->Resume();
        const DWORD waited = WaitForSingleObject(event, kWaitMs);
        m_worker->ReleaseStartEvent();
        CloseHandle(event);
        if (waited != WAIT_OBJECT_0)
            return -1;
        const LONG status = m_worker->CaptureStatus();
        if (status == 0 || status == 2)
            m_worker->MarkSessionStarted();
        return status;
    }
    void End() {
        if (m_worker) {
            PostThreadMessageA(m_worker->ThreadId(), kMsgEnd, 0, 0);
            EXPECT_EQ(WaitForSingleObject(m_worker->Thread(), kWaitMs), WAIT_OBJECT_0)
                << "the worker did not end";
            m_worker.reset();
        }
        m_stopExposer = true;
        if (m_exposer.joinable())
            m_exposer.join();
        m_stopExposer = false;
    }
    // Exposes once the library has polled the unit and seen it wait for X-rays, as a person
    // does after the status window turns green; no race with the library's first STATUS.
    void ExposeWhenAsked() {
        m_exposer = std::thread([this] {
            // In slices, so that ending a test that never asks for the exposure is not held up.
            const auto deadline = std::chrono::steady_clock::now() + kExposerLimit;
            while (!m_stopExposer && std::chrono::steady_clock::now() < deadline) {
                if (m_ui->WaitForText(kExposeNowText, kExposerSlice)) {
                    m_unit->triggerExposure();
                    return;
                }
            }
        });
    }
    void Post(UINT message, WPARAM w = 0, LPARAM l = 0) {
        ASSERT_TRUE(PostThreadMessageA(m_worker->ThreadId(), message, w, l));
    }
    void RequestRawByMessage(LONG cookie = 77) {
        auto* r = new CaptureRequest;
        r->notifyKind = kNotifyWindowMessage;
        r->imageKind = kImageRaw;
        r->cookie = cookie;
        r->target = HandleWord(m_window.Handle());
        r->messageId = kResultMessage;
        Post(kMsgCaptureRawPost, 0, reinterpret_cast<LPARAM>(r));
    }

    // The next result posted to the window; its record and pixel block are freed here.
    struct Result {
        CaptureResult record{};
        std::vector<uint16_t> pixels;
    };
    std::optional<Result> NextResult() {
        const auto msg = m_window.Next(20s);
        if (!msg)
            return std::nullopt;
        EXPECT_EQ(msg->message, kResultMessage);
        Result result;
        auto record = reinterpret_cast<HGLOBAL>(msg->lParam);
        std::memcpy(&result.record, GlobalLock(record), sizeof result.record);
        GlobalUnlock(record);
        if (result.record.pixels) {
            auto block = reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(result.record.pixels));
            result.pixels.resize(result.record.pixelBytes / 2);
            std::memcpy(result.pixels.data(), GlobalLock(block), result.record.pixelBytes);
            GlobalUnlock(block);
            EXPECT_EQ(GlobalFree(block), nullptr);
        }
        EXPECT_EQ(GlobalFree(record), nullptr);
        return result;
    }

    std::shared_ptr<WaitingUi> m_ui;
    SessionSettings m_settings;
    WorkerTiming m_timing;
    std::unique_ptr<unitsim::VirtualUnit> m_unit;
    std::unique_ptr<ScriptedUnit> m_scripted;
    TestWindow m_window;
    std::unique_ptr<StateEventMachine> m_worker;
    std::thread m_exposer;
    std::atomic<bool> m_stopExposer{false};
};

std::vector<ScriptedUnit::Reply> AnswerStatus(const ScriptedUnit::Request& r, const char* state) {
    if (r.Get("CMD") == "STATUS")
        return {{"STATUS", ScriptedUnit::StatusBody(state)}};
    return {};
}

TEST_F(Worker, IdleUnitConnectsAndGetsItsXRayTimeout) {
    UseVirtualUnit();
    EXPECT_EQ(Start(), 2);
    EXPECT_EQ(m_worker->CurrentState(), kReady);
    ASSERT_TRUE(m_unit->waitForRequests(2, 20s));  // STATUS, SETPARAM
    EXPECT_EQ(m_unit->parameter("XRayTimeout"), "105");
    EXPECT_TRUE(m_ui->Shown("Checking connection to Vantex, please wait!"));
    EXPECT_TRUE(m_ui->Shown("Vantex is connected!"));
    EXPECT_FALSE(m_ui->StatusUpdates().back().visible);
}

TEST_F(Worker, UnitLeftWithAnImageIsResetThenConnects) {
    unitsim::Config config;
    config.startState = unitsim::UnitState::ImageReady;
    UseVirtualUnit(config);
    EXPECT_EQ(Start(), 2);
    EXPECT_TRUE(m_ui->Shown("Resetting the Vantex, please wait!"));
}

TEST_F(Worker, ThirdResetAttemptFailsTheStartWithTextSix) {
    UseScriptedUnit([](const ScriptedUnit::Request& r) { return AnswerStatus(r, "NOTRDY"); });
    EXPECT_EQ(Start(), -7);
    EXPECT_EQ(m_scripted->Count("RESET"), 2);
    EXPECT_EQ(m_worker->CurrentState(), kFailed);
    EXPECT_TRUE(m_ui->Shown("Error connecting to Vantex 127.0.0.1,  wait a few seconds"));
    EXPECT_FALSE(m_worker->SessionStarted());
}

TEST_F(Worker, BusyUnitFailsTheStartWithTextSeven) {
    for (const char* state : {"PROCESSING", "WAITXRAY", "CLEAR"}) {
        SCOPED_TRACE(state);
        UseScriptedUnit([state](const ScriptedUnit::Request& r) { return AnswerStatus(r, state); });
        EXPECT_EQ(Start(), -7);
        EXPECT_EQ(m_worker->CurrentState(), kOccupied);
        EXPECT_TRUE(
            m_ui->Shown("Vantex is occupied by another applicaton, please make it available!"));
        End();
        m_ui->Clear();
    }
}

TEST_F(Worker, ForeignRepliesAreIgnoredWhileConnecting) {
    // Each STATUS gets a foreign IDLE first, then this session's own PROCESSING.
    UseScriptedUnit([](const ScriptedUnit::Request& r) -> std::vector<ScriptedUnit::Reply> {
        if (r.Get("CMD") != "STATUS")
            return {};
        return {{"STATUS", ScriptedUnit::StatusBody("IDLE"), "12345678901234567890"},
                {"STATUS", ScriptedUnit::StatusBody("PROCESSING")}};
    });
    EXPECT_EQ(Start(), -7);
    EXPECT_EQ(m_scripted->Count("SETPARAM"), 0);
}

TEST_F(Worker, PortZeroFailsTheStartAtOnce) {
    UseVirtualUnit();
    m_settings.sensorPort = 0;
    EXPECT_EQ(Start(), -7);
    EXPECT_TRUE(m_ui->Shown("Error connecting to Vantex 127.0.0.1,"));
    EXPECT_EQ(m_unit->counters().requestsHandled, 0u);
}

TEST_F(Worker, OneCharacterLocalAddressIsFoundTowardsTheUnit) {
    UseVirtualUnit();
    m_settings.localIp = "x";
    EXPECT_EQ(Start(), 2);
}

TEST_F(Worker, CaptureDeliversTheUnitsPictureInBothDepths) {
    for (int mode : {0, kPictureMode8Bit}) {
        SCOPED_TRACE(mode);
        unitsim::Config config;
        config.image = unitsim::makeTestPattern(120, 90);
        UseVirtualUnit(config);
        m_settings.pictureMode = mode;
        ASSERT_EQ(Start(), 2);
        ExposeWhenAsked();
        RequestRawByMessage(1234);
        const auto result = NextResult();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->record.status, 0);
        EXPECT_EQ(result->record.cookie, 1234);
        EXPECT_EQ(result->record.width, 120u);
        EXPECT_EQ(result->record.height, 90u);
        std::vector<uint16_t> expected = config.image.pixels;
        if (mode == kPictureMode8Bit)
            for (auto& v : expected)
                v = static_cast<uint16_t>(v >> 4 << 4);
        EXPECT_EQ(result->pixels, expected);
        EXPECT_TRUE(m_ui->Shown("Image transfer completed!"));
        EXPECT_EQ(m_worker->CaptureStatus(), 0);
        EXPECT_EQ(m_worker->CurrentState(), kReady);
        End();
        m_unit.reset();
        m_ui->Clear();
    }
}

TEST_F(Worker, CaptureByEventHandsOutTheKeptRecord) {
    UseVirtualUnit();
    ASSERT_EQ(Start(), 2);
    ExposeWhenAsked();
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HGLOBAL handed = nullptr;
    auto* r = new CaptureRequest;
    r->notifyKind = kNotifyEvent;
    r->imageKind = kImageRaw;
    r->cookie = 5;
    r->target = HandleWord(event);
    r->resultHandle = &handed;
    Post(kMsgCaptureRawEvent, 0, reinterpret_cast<LPARAM>(r));
    ASSERT_EQ(WaitForSingleObject(event, kWaitMs), WAIT_OBJECT_0);
    ASSERT_NE(handed, nullptr);
    CaptureResult record{};
    std::memcpy(&record, GlobalLock(handed), sizeof record);
    GlobalUnlock(handed);
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.width, 684u);
    EXPECT_EQ(record.pixelBytes, 623808u);
    End();  // the kept record and its pixels go with the session
    EXPECT_EQ(GlobalSize(handed), 0u);
    CloseHandle(event);
}

struct FaultCase {
    const char* name;
    std::string refuse;
    bool sensorFault;
    LONG status;
    const char* text;
};

TEST_F(Worker, RefusedCapturesNotifyTheirStatusAndText) {
    const FaultCase cases[] = {
        {"refused", "2: 9", false, -1, "Vantex responded with an error to image capture command"},
        {"sensor fault", "", true, -16, "Error capturing image, check that sensor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unitsim::Config config;
        config.faults.refuseCaptureError = c.refuse;
        config.faults.sensorFault = c.sensorFault;
        UseVirtualUnit(config);
        ASSERT_EQ(Start(), 2);
        RequestRawByMessage();
        const auto result = NextResult();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->record.status, c.status);
        EXPECT_TRUE(m_ui->Shown(c.text));
        EXPECT_EQ(m_worker->CurrentState(), kReady);
        End();
        m_unit.reset();
        m_ui->Clear();
    }
}

TEST_F(Worker, TransientCaptureErrorIsIgnoredUntilTheCaptureTimeOut) {
    m_settings.captureTimeout = 3;  // 300 ms
    UseScriptedUnit([](const ScriptedUnit::Request& r) -> std::vector<ScriptedUnit::Reply> {
        if (r.Get("CMD") == "STATUS")
            return {{"STATUS", ScriptedUnit::StatusBody("IDLE")}};
        if (r.Get("CMD") == "CAPTURE")
            return {{"CAPTURE", ScriptedUnit::StatusBody("IDLE", "-2001: 62")}};
        return {};
    });
    ASSERT_EQ(Start(), 2);
    RequestRawByMessage();
    const auto result = NextResult();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->record.status, -7);  // the time-out, not the refusal's -1
    EXPECT_TRUE(m_ui->Shown("Vantex timedout, please check network connections!"));
    EXPECT_EQ(m_worker->CurrentState(), kFailed);
}

TEST_F(Worker, SilentOrDroppingUnitsEndInATimeOut) {
    for (int dropping : {0, 1}) {
        SCOPED_TRACE(dropping ? "image dropped part-way" : "unit silent");
        m_settings.captureTimeout = 15;  // 1.5 s: beyond the unit's exposure and processing
        unitsim::Config config;
        if (dropping) {
            config.faults.dropImageAfterBytes = 20000;
            config.faults.chunkBytes = 10000;
            // A transfer that broke off ends the capture at once, as its time-out would: the
            // result comes long before this one (30 s), within NextResult's wait.
            m_settings.captureTimeout = 300;
        }
        UseVirtualUnit(config);
        ASSERT_EQ(Start(), 2);
        if (!dropping) {
            unitsim::Faults silent;
            silent.silent = true;
            m_unit->setFaults(silent);
        } else {
            ExposeWhenAsked();
        }
        RequestRawByMessage();
        const auto result = NextResult();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->record.status, -7);
        EXPECT_TRUE(m_ui->Shown("Vantex timedout"));
        if (dropping) {
            EXPECT_TRUE(m_ui->Shown("Image transfer started, please wait!"));
        }
        EXPECT_FALSE(m_worker->ReceivingImage());
        End();
        m_unit.reset();
        m_ui->Clear();
    }
}

TEST_F(Worker, CancelNotifiesMinusThreeAndARawRequestArmsAgain) {
    UseVirtualUnit();
    ASSERT_EQ(Start(), 2);
    RequestRawByMessage(31);
    ASSERT_TRUE(m_ui->WaitForText("Sensor is ready, please expose now!"));
    Post(kMsgCancel);
    const auto cancelled = NextResult();
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->record.status, -3);
    EXPECT_EQ(cancelled->record.cookie, 31);
    EXPECT_TRUE(m_ui->Shown("Cancelling session with Vantex, please wait!"));
    ASSERT_TRUE(m_unit->waitForState(unitsim::UnitState::Idle, 20s));  // CLOSE abandoned it

    m_ui->Clear();
    RequestRawByMessage(32);
    ASSERT_TRUE(m_ui->WaitForText("Sensor is ready, please expose now!"));
    ASSERT_TRUE(m_unit->triggerExposure());
    const auto image = NextResult();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->record.status, 0);
    EXPECT_EQ(image->record.cookie, 32);
}

TEST_F(Worker, AfterCancelRepliesAreIgnoredUntilARawMessageRequestArmsAgain) {
    // CAPTURE: the first is left waiting for an exposure, every later one is refused.
    std::atomic<int> captures{0};
    UseScriptedUnit([&](const ScriptedUnit::Request& r) -> std::vector<ScriptedUnit::Reply> {
        if (r.Get("CMD") == "STATUS")
            return {{"STATUS", ScriptedUnit::StatusBody("IDLE")}};
        if (r.Get("CMD") == "CAPTURE" && ++captures > 1)
            return {{"CAPTURE", ScriptedUnit::StatusBody("IDLE", "2: 1")}};
        return {};
    });
    ASSERT_EQ(Start(), 2);
    RequestRawByMessage(1);
    ASSERT_TRUE(m_scripted->WaitForCommands("CAPTURE", 1));
    Post(kMsgCancel);
    const auto cancelled = NextResult();
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->record.status, -3);

    // An event request does not arm: the refusal it draws is ignored, nobody is told.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto* r = new CaptureRequest;
    r->notifyKind = kNotifyEvent;
    r->imageKind = kImageRaw;
    r->target = HandleWord(event);
    Post(kMsgCaptureRawEvent, 0, reinterpret_cast<LPARAM>(r));
    // The scripted unit is done with a request once the session has handed its replies over.
    ASSERT_TRUE(m_scripted->WaitForCommands("CAPTURE", 2));

    // The raw message request arms again (and replaces the event request without notifying it).
    RequestRawByMessage(3);
    const auto refused = NextResult();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->record.status, -1);
    EXPECT_EQ(refused->record.cookie, 3);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

TEST_F(Worker, ReplacedRequestIsDroppedWithoutNotification) {
    UseVirtualUnit();
    ASSERT_EQ(Start(), 2);
    ExposeWhenAsked();
    // Both are queued before the worker handles either: the second replaces the first.
    RequestRawByMessage(1);
    RequestRawByMessage(2);
    const auto result = NextResult();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->record.cookie, 2);
    End();
    EXPECT_TRUE(m_window.Empty());
}

}  // namespace

namespace {

// A unit that exposes as soon as CAPTURE arrives answers it before the STATUS sent with it.
TEST_F(Worker, UnitExposingAtOnceDeliversThePixelsByMessageAndByEvent) {
    for (const auto processing : {0ms, 200ms}) {
        for (const bool byEvent : {false, true}) {
            SCOPED_TRACE(std::to_string(processing.count()) + " ms processing, " +
                         (byEvent ? "event" : "message"));
            unitsim::Config config;
            config.exposureDelay = 0ms;
            config.processingTime = processing;
            config.image = unitsim::makeTestPattern(64, 48);
            UseVirtualUnit(config);
            ASSERT_EQ(Start(), ZEPHLIB_STATUS_CONNECTED);
            std::vector<uint16_t> pixels;
            if (byEvent) {
                HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
                HGLOBAL handed = nullptr;
                auto* r = new CaptureRequest;
                r->notifyKind = kNotifyEvent;
                r->imageKind = kImageRaw;
                r->target = HandleWord(event);
                r->resultHandle = &handed;
                Post(kMsgCaptureRawEvent, 0, reinterpret_cast<LPARAM>(r));
                ASSERT_EQ(WaitForSingleObject(event, kWaitMs), WAIT_OBJECT_0) << "no result";
                CaptureResult record{};
                std::memcpy(&record, GlobalLock(handed), sizeof record);
                GlobalUnlock(handed);
                ASSERT_EQ(record.status, ZEPHLIB_STATUS_DELIVERED);
                auto block = reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(record.pixels));
                const auto* data = static_cast<const uint16_t*>(GlobalLock(block));
                pixels.assign(data, data + record.pixelBytes / 2);
                GlobalUnlock(block);
                CloseHandle(event);
            } else {
                RequestRawByMessage();
                const auto result = NextResult();
                ASSERT_TRUE(result) << "no result";
                ASSERT_EQ(result->record.status, ZEPHLIB_STATUS_DELIVERED);
                pixels = result->pixels;
            }
            EXPECT_EQ(pixels, config.image.pixels);
            EXPECT_EQ(m_worker->ArmedDelayMs(), 0u);  // no guard outlives the capture
            End();
            m_unit.reset();
        }
    }
}

// Ending with the unit switched off: the CLOSE it is owed fails, the session still ends, and
// nothing is freed twice (run under AddressSanitizer). A reply that no transition takes (an
// unasked CAPTURE reply while connecting) is dropped on the way.
TEST_F(Worker, EndingAfterTheUnitIsSwitchedOffFreesEverythingOnce) {
    for (const bool droppedReply : {false, true}) {
        SCOPED_TRACE(droppedReply ? "with a dropped reply" : "without");
        auto statusCount = std::make_shared<std::atomic<int>>(0);
        UseScriptedUnit([droppedReply, statusCount](const ScriptedUnit::Request& r) {
            std::vector<ScriptedUnit::Reply> replies;
            if (r.Get("CMD") == "STATUS") {
                replies.emplace_back("STATUS", ScriptedUnit::StatusBody("IDLE"));
                if (droppedReply && ++*statusCount == 1)
                    replies.emplace_back("CAPTURE", ScriptedUnit::StatusBody("IDLE"));
            }
            return replies;  // CAPTURE goes unanswered: the unit is about to go
        });
        ASSERT_EQ(Start(), ZEPHLIB_STATUS_CONNECTED);
        RequestRawByMessage();
        ASSERT_TRUE(m_scripted->WaitForCommands("CAPTURE", 1));
        EXPECT_TRUE(m_worker->SentCapture());
        m_scripted.reset();  // switched off
        End();
        // The STATUS sent with CAPTURE may already find the unit gone: a failure, never an image.
        if (!m_window.Empty()) {
            const auto result = NextResult();
            ASSERT_TRUE(result);
            EXPECT_NE(result->record.status, ZEPHLIB_STATUS_DELIVERED);
        }
        m_ui->Clear();
    }
}

// After a capture timed out the worker is in Failed, where no capture starts: a new request is
// answered at once instead of waiting for nothing.
TEST_F(Worker, RequestAfterATimedOutCaptureStillGetsAResult) {
    m_settings.captureTimeout = 3;  // 300 ms
    UseVirtualUnit();               // never exposes
    ASSERT_EQ(Start(), ZEPHLIB_STATUS_CONNECTED);
    RequestRawByMessage(1);
    const auto timedOut = NextResult();
    ASSERT_TRUE(timedOut);
    EXPECT_EQ(timedOut->record.status, ZEPHLIB_STATUS_TIMED_OUT);
    EXPECT_EQ(m_worker->CurrentState(), kFailed);
    RequestRawByMessage(2);
    const auto answered = NextResult();
    ASSERT_TRUE(answered) << "the second request was never answered";
    EXPECT_EQ(answered->record.status, ZEPHLIB_STATUS_CONNECTION_FAILED);
    EXPECT_EQ(answered->record.cookie, 2);
}

TEST_F(Worker, StartFindingTheUnitBusySendsNoCloseAtTheEnd) {
    UseScriptedUnit([](const ScriptedUnit::Request& r) { return AnswerStatus(r, "PROCESSING"); });
    EXPECT_EQ(Start(), ZEPHLIB_STATUS_OCCUPIED);
    End();
    EXPECT_EQ(m_scripted->Count("CLOSE"), 0) << "another program's capture was aborted";
    EXPECT_EQ(m_scripted->Count("CAPTURE"), 0);
}

TEST_F(Worker, TimeOutsOutsideTheTimersRangeAreClamped) {
    constexpr UINT kMin = StateEventMachine::kTimerDelayMinMs;
    constexpr UINT kMax = StateEventMachine::kTimerDelayMaxMs;
    EXPECT_EQ(StateEventMachine::ClampedDelayMs(0, 1000, kMin, kMax), kMin);
    EXPECT_EQ(StateEventMachine::ClampedDelayMs(-3, 1000, kMin, kMax), kMin);
    EXPECT_EQ(StateEventMachine::ClampedDelayMs(20, 1000, kMin, kMax), 20000u);
    EXPECT_EQ(StateEventMachine::ClampedDelayMs(5000, 1000, kMin, kMax), kMax);
    EXPECT_EQ(StateEventMachine::ClampedDelayMs(0x7fffffff, 1000, kMin, kMax), kMax);
}

TEST_F(Worker, CaptureTimeOutsOfZeroAndFiveThousandSecondsStillArmAGuard) {
    m_timing.millisecondsPerSecond = 1000;
    // 0 s: the guard fires at once and the caller hears of the time-out.
    m_settings.captureTimeout = 0;
    UseVirtualUnit();  // exposes only on demand
    ASSERT_EQ(Start(), ZEPHLIB_STATUS_CONNECTED);
    RequestRawByMessage();
    const auto result = NextResult();
    ASSERT_TRUE(result) << "no guard was armed for a 0 s capture time-out";
    EXPECT_EQ(result->record.status, ZEPHLIB_STATUS_TIMED_OUT);
    End();
    m_unit.reset();
    m_ui->Clear();

    // 5000 s is beyond the timer's range: armed at its longest delay.
    m_settings.captureTimeout = 5000;
    UseVirtualUnit();
    ASSERT_EQ(Start(), ZEPHLIB_STATUS_CONNECTED);
    RequestRawByMessage();
    ASSERT_TRUE(m_ui->WaitForText("Sensor is ready, please expose now!"));
    EXPECT_EQ(m_worker->ArmedDelayMs(), StateEventMachine::kTimerDelayMaxMs);
}

}  // namespace
