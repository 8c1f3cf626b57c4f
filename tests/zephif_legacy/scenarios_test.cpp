// Imaging-client scenarios both builds of the capture library pass alike: one table of
// scenarios, run against the network build and the legacy build.
#include "library_fixture.h"

#include <thread>
#include <tuple>

namespace legacy_test {
namespace {

struct Build {
    const char* name;
    const char* path;
};

// Readable test names in CTest's list.
void PrintTo(const Build& build, std::ostream* os) {
    *os << build.name;
}

// How the client asks for its picture.
enum class Ask { kMessage, kEventWaitingCall, kEventReturningAtOnce };

// What happens to the unit during the session.
enum class Unit { kExposesAtOnce, kSwitchedOffBeforeTheEnd };

struct Scenario {
    const char* name;
    Unit unit;
    Ask ask;
};

void PrintTo(const Scenario& scenario, std::ostream* os) {
    *os << scenario.name;
}

constexpr Build kBuilds[] = {{"Network", ZEPHIF_NETWORK_LIBRARY_PATH},
                             {"Legacy", ZEPHIF_LEGACY_LIBRARY_PATH}};

constexpr Scenario kScenarios[] = {
    {"ExposesAtOnceByMessage", Unit::kExposesAtOnce, Ask::kMessage},
    {"ExposesAtOnceByEventWithWaitingCall", Unit::kExposesAtOnce, Ask::kEventWaitingCall},
    {"ExposesAtOnceByEventReturningAtOnce", Unit::kExposesAtOnce, Ask::kEventReturningAtOnce},
    {"SwitchedOffBeforeTheEndByMessage", Unit::kSwitchedOffBeforeTheEnd, Ask::kMessage},
    {"SwitchedOffBeforeTheEndByEvent", Unit::kSwitchedOffBeforeTheEnd, Ask::kEventWaitingCall},
};

class BothBuilds : public LibraryFixture, public ::testing::TestWithParam<Build> {
protected:
    void SetUp() override { SetUpLibrary(GetParam().path); }
    void TearDown() override { TearDownLibrary(); }
};

class ClientScenarios : public LibraryFixture,
                        public ::testing::TestWithParam<std::tuple<Build, Scenario>> {
protected:
    void SetUp() override { SetUpLibrary(std::get<0>(GetParam()).path); }
    void TearDown() override { TearDownLibrary(); }

    // One capture as the client asks for it; the record and its pixels.
    // A unit that exposes on demand is told to once it waits for the X-rays and the library has
    // asked for its status since.
    void Capture(Ask ask, LONG cookie, CaptureResult& record, std::vector<uint16_t>& pixels,
                 bool expose = false) {
        std::thread exposer;
        if (expose)
            exposer = std::thread([this] {
                if (!m_unit->waitForState(unitsim::UnitState::WaitXray, kWait))
                    return;
                const auto handled = m_unit->counters().requestsHandled;
                if (m_unit->waitForRequests(handled + 1, kWait))
                    m_unit->triggerExposure();
            });
        CaptureAndWait(ask, cookie, record, pixels);
        if (exposer.joinable())
            exposer.join();
    }
    void CaptureAndWait(Ask ask, LONG cookie, CaptureResult& record,
                        std::vector<uint16_t>& pixels) {
        if (ask == Ask::kMessage) {
            ASSERT_EQ(
                lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, cookie),
                0);
            const auto result = NextResult();
            ASSERT_TRUE(result) << "no result message";
            std::tie(record, pixels) = *result;
            return;
        }
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        HGLOBAL handed = nullptr;
        const LONG flag = ask == Ask::kEventWaitingCall ? 1 : 0;
        const LONG returned = lib.CaptureRawImageWithEventSignal(flag, event, &handed, cookie);
        EXPECT_LE(returned, 0);  // 0, or the final status of a call that waited
        EXPECT_EQ(WaitForSingleObject(event, kWaitMs), WAIT_OBJECT_0) << "event never set";
        CloseHandle(event);
        ASSERT_NE(handed, nullptr) << "no record handle for the event caller";
        std::tie(record, pixels) = TakeResult(handed, false);  // the library keeps it
    }
};

TEST_P(ClientScenarios, CaptureThroughTheExports) {
    const Scenario& s = std::get<1>(GetParam());
    const bool atOnce = s.unit == Unit::kExposesAtOnce;
    unitsim::Config config;
    if (atOnce) {
        config.exposureDelay = 0ms;  // exposes as soon as it is asked; else on demand
        config.processingTime = 0ms;
    }
    StartUnit(config);
    WriteSettings(m_unit->port());
    Load();
    ASSERT_EQ(lib.StartSession(), 0);

    CaptureResult record{};
    std::vector<uint16_t> pixels;
    Capture(s.ask, 41, record, pixels, !atOnce);
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.recordKind, 268u);
    EXPECT_EQ(record.cookie, 41);
    EXPECT_EQ(record.width, 684u);
    EXPECT_EQ(record.height, 456u);
    EXPECT_EQ(record.bitsPerPixel, 12u);
    EXPECT_EQ(record.pixelBytes, 623808u);
    EXPECT_EQ(pixels, unitsim::makeTestPattern().pixels);

    if (s.unit == Unit::kSwitchedOffBeforeTheEnd) {
        m_unit->stop();
        Capture(s.ask, 42, record, pixels);
        EXPECT_LT(record.status, 0) << "a capture from a unit that is off cannot succeed";
        EXPECT_NE(record.status, -3);
        EXPECT_EQ(record.cookie, 42);
        EXPECT_TRUE(pixels.empty());
    } else {
        Capture(s.ask, 43, record, pixels, !atOnce);  // the session serves the next capture too
        EXPECT_EQ(record.status, 0);
        EXPECT_EQ(record.cookie, 43);
        EXPECT_EQ(pixels.size(), 684u * 456u);
    }
    EXPECT_EQ(lib.EndSession(), 0);
}

TEST_P(BothBuilds, ParameterRecordsAndArgumentChecksNeedNoSession) {
    WriteSettings(LocalPort());
    Load();
    const std::vector<LONG> fixed = {684, 456, 12, 800, 8, 0};
    CaptureParameters p{};
    EXPECT_EQ(lib.GetCaptureParameters(&p), 0);
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
    for (LONG mode : {0, 1, -1})
        EXPECT_EQ(lib.ControlTestAndSimulation(mode), 0);

    HGLOBAL handle = nullptr;
    EXPECT_EQ(lib.CaptureRawImageWithPostMessage(1, nullptr, kResultMessage, 0), -9);
    EXPECT_EQ(lib.CaptureRawImageWithEventSignal(1, nullptr, &handle, 0), -9);
    EXPECT_EQ(lib.CaptureTiffFileWithPostMessage(1, 1, kResultMessage, 0, 0), -9);
    EXPECT_EQ(lib.CaptureTiffFileWithEventSignal(1, 1, 0, 0, 0), -9);
    // No session: accepted without effect.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 0), 0);
    EXPECT_EQ(lib.CaptureRawImageWithEventSignal(1, event, &handle, 0), 0);
    EXPECT_EQ(lib.CancelPendingCaptures(), 0);
    EXPECT_EQ(lib.EndSession(), 0);
    EXPECT_TRUE(m_window.Empty());
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

std::string BuildName(const ::testing::TestParamInfo<Build>& info) {
    return info.param.name;
}

std::string ScenarioName(const ::testing::TestParamInfo<std::tuple<Build, Scenario>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Builds, BothBuilds, ::testing::ValuesIn(kBuilds), BuildName);
INSTANTIATE_TEST_SUITE_P(Builds, ClientScenarios,
                         ::testing::Combine(::testing::ValuesIn(kBuilds),
                                            ::testing::ValuesIn(kScenarios)),
                         ScenarioName);

}  // namespace
}  // namespace legacy_test
