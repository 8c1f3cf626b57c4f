// The legacy build against the virtual unit: captures by message and by event, cancel, the
// connection check, the settings file, the diagnostic files, the status window, the parameter
// records under the critical section, and zephcapture running on it unchanged.
#include "library_fixture.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace legacy_test {
namespace {

constexpr COLORREF kGreen = RGB(0, 255, 0);

class Legacy : public LibraryFixture, public ::testing::Test {
protected:
    void SetUp() override { SetUpLibrary(ZEPHIF_LEGACY_LIBRARY_PATH); }
    void TearDown() override { TearDownLibrary(); }

    // A unit that exposes only when told, logging the requests it takes in.
    void StartOnDemandUnit(unitsim::Config config = {}) {
        config.log = [this](std::string_view line) {
            if (line.rfind("<- ", 0) == 0) {
                std::lock_guard<std::mutex> guard(m_logLock);
                m_requests.emplace_back(line);
            }
        };
        StartUnit(std::move(config));
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> guard(m_logLock);
        return m_requests;
    }
    void WaitThenExpose() {
        ASSERT_TRUE(m_unit->waitForState(unitsim::UnitState::WaitXray, kWait));
        ASSERT_TRUE(m_unit->triggerExposure());
    }

    std::mutex m_logLock;
    std::vector<std::string> m_requests;
};

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(Legacy, CaptureByPostedMessageShowsTheStepsAndWritesTheDiagnosticFiles) {
    unitsim::Config config;
    config.faults.chunkBytes = 32768;  // the transfer arrives in pieces: progress in tenths
    StartOnDemandUnit(config);
    const unsigned short localPort = LocalPort();
    std::ofstream(m_dir / "ZephIF.ini")
        << "[VANTA]\r\nSensor-IP=127.0.0.1\r\nSensor-Port=" << m_unit->port()
        << "\r\nLocal-Port=" << localPort
        << "\r\nSensor-Picture-Mode=0\r\nSensor-Status-Timeout=5\r\nSensor-Poll-Timeout=50\r\n";
    Load();
    ASSERT_EQ(lib.StartSession(), 0);
    EXPECT_EQ(ReadWhole(m_dir / "testStartSession.txt"), "InStartSession");
    EXPECT_EQ(ReadWhole(m_dir / "testStartSession2.txt"), "InStartSession2");

    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 77), 0);
    ASSERT_TRUE(m_ui->WaitForText("Waiting for X-Ray!")) << "the unit was never shown waiting";
    ASSERT_TRUE(m_unit->triggerExposure());
    const auto result = NextResult();
    ASSERT_TRUE(result);
    const auto& [record, pixels] = *result;
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.recordKind, 268u);
    EXPECT_EQ(record.reserved2, 0u);
    EXPECT_EQ(record.cookie, 77);
    EXPECT_EQ(record.width, 684u);
    EXPECT_EQ(record.height, 456u);
    EXPECT_EQ(record.bitsPerPixel, 12u);
    EXPECT_EQ(record.pixelBytes, 623808u);
    EXPECT_EQ(record.reserved8, 0u);
    EXPECT_EQ(record.reserved9, 0u);
    EXPECT_EQ(pixels, unitsim::makeTestPattern().pixels);

    // The received pixel bytes and the converted block.
    const std::string captured = ReadWhole(m_dir / "theCapturedImage.raw");
    const std::string exported = ReadWhole(m_dir / "theExportedImage.raw");
    ASSERT_EQ(captured.size(), 684u * 456u * 2u);
    ASSERT_EQ(exported.size(), pixels.size() * 2);
    EXPECT_EQ(std::memcmp(exported.data(), pixels.data(), exported.size()), 0);
    for (std::size_t i = 0; i < pixels.size(); i += 997) {
        const auto hi = static_cast<unsigned char>(captured[2 * i]);
        const auto lo = static_cast<unsigned char>(captured[2 * i + 1]);
        EXPECT_EQ(pixels[i], hi * 16 + lo / 16) << "pixel " << i;
    }

    // The requests as the unit read them: the check, then texts without a final line end.
    const auto requests = Requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_TRUE(EndsWith(requests[0], "ID=41\\r\\nIP=127.0.0.1\\r\\nPORT=" +
                                          std::to_string(localPort) + "\\r\\nCMD=STATUS\\r\\n"))
        << requests[0];
    EXPECT_TRUE(
        EndsWith(requests[1], "\\r\\nPORT=" + std::to_string(localPort) + "\\r\\nCMD=STATUS"))
        << requests[1];
    bool sawCapture = false;
    for (const auto& r : requests) {
        EXPECT_EQ(r.find("\\0"), std::string::npos) << r;
        sawCapture = sawCapture || EndsWith(r, "\\r\\nCMD=CAPTURE\\r\\nMODE=0");
    }
    EXPECT_TRUE(sawCapture);
    EXPECT_TRUE(m_unit->waitForState(unitsim::UnitState::Idle, kWait))
        << "no CLOSE after the image";

    // Status window: the check, the steps in their colours, the transfer in tenths, then gone.
    // Ending the session lets the status thread finish what was posted to it first.
    EXPECT_EQ(lib.EndSession(), 0);
    const auto lines = m_ui->StatusUpdates();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().text, "Wait for checking Sensor Connection...");
    bool green = false;
    int progress = 0;
    for (const auto& l : lines) {
        green = green || (l.text == "Waiting for X-Ray!" && l.color == kGreen);
        progress += l.visible && l.text.find("\nProgress ") != std::string::npos;
    }
    EXPECT_TRUE(green);
    EXPECT_GE(progress, 2);
    EXPECT_LE(progress, 11);
    EXPECT_TRUE(m_ui->Shown("Wait for Processing!\nProgress 100%"));
    EXPECT_FALSE(lines.back().visible);
    EXPECT_TRUE(m_ui->Boxes().empty());
}

TEST_F(Legacy, EventCapturesWaitingOnTheCallersThreadOrOnAThreadOfTheirOwn) {
    StartOnDemandUnit();
    WriteSettings(m_unit->port());
    Load();
    ASSERT_EQ(lib.StartSession(), 0);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    // First argument 1: the call returns once the capture has ended and the event is set.
    HGLOBAL handle = reinterpret_cast<HGLOBAL>(1);
    std::thread exposer([&] { WaitThenExpose(); });
    EXPECT_EQ(lib.CaptureRawImageWithEventSignal(1, event, &handle, 5), 0);
    exposer.join();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_NE(handle, nullptr);
    auto [first, firstPixels] = TakeResult(handle, false);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.cookie, 5);
    EXPECT_EQ(firstPixels.size(), 684u * 456u);

    // First argument 0: the call returns at once; the event and the handle come later.
    ResetEvent(event);
    handle = reinterpret_cast<HGLOBAL>(1);
    EXPECT_EQ(lib.CaptureRawImageWithEventSignal(0, event, &handle, 6), 0);
    EXPECT_EQ(handle, nullptr);  // the request's field as it stands at the call: no record yet
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    WaitThenExpose();
    ASSERT_EQ(WaitForSingleObject(event, kWaitMs), WAIT_OBJECT_0);
    ASSERT_NE(handle, nullptr);
    auto [second, secondPixels] = TakeResult(handle, false);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.cookie, 6);
    EXPECT_EQ(secondPixels, unitsim::makeTestPattern().pixels);
    EXPECT_EQ(lib.EndSession(), 0);
    EXPECT_EQ(GlobalSize(handle), 0u);  // the library's record went with the session
    CloseHandle(event);
}

TEST_F(Legacy, CancelGivesAFullyDefinedStatusRecordAndDoesNotCancelTheNextCapture) {
    StartOnDemandUnit();
    WriteSettings(m_unit->port());
    Load();
    ASSERT_EQ(lib.StartSession(), 0);
    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 8), 0);
    ASSERT_TRUE(m_unit->waitForState(unitsim::UnitState::WaitXray, kWait));
    EXPECT_EQ(lib.CancelPendingCaptures(), 0);
    auto result = NextResult();
    ASSERT_TRUE(result);
    const CaptureResult& r = result->first;
    const LONG words[11] = {r.status,
                            static_cast<LONG>(r.recordKind),
                            static_cast<LONG>(r.reserved2),
                            r.cookie,
                            static_cast<LONG>(r.width),
                            static_cast<LONG>(r.height),
                            static_cast<LONG>(r.bitsPerPixel),
                            static_cast<LONG>(r.pixelBytes),
                            static_cast<LONG>(r.reserved8),
                            static_cast<LONG>(r.reserved9),
                            static_cast<LONG>(r.pixels)};
    EXPECT_EQ(std::vector<LONG>(words, words + 11),
              (std::vector<LONG>{-3, 268, 0, 8, 0, 0, 12, 0, 0, 0, 0}));
    EXPECT_TRUE(m_unit->waitForState(unitsim::UnitState::Idle, kWait)) << "the cancel sends CLOSE";

    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 9), 0);
    WaitThenExpose();
    result = NextResult();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first.status, 0);
    EXPECT_EQ(result->first.cookie, 9);
    EXPECT_EQ(lib.CancelPendingCaptures(), 0);  // nothing running: nothing posted
    EXPECT_TRUE(m_window.Empty());
}

TEST_F(Legacy, EndingTheSessionReleasesAPendingCaptureAsCancelled) {
    StartOnDemandUnit();
    WriteSettings(m_unit->port());
    Load();
    ASSERT_EQ(lib.StartSession(), 0);
    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 4), 0);
    ASSERT_TRUE(m_unit->waitForState(unitsim::UnitState::WaitXray, kWait));
    EXPECT_EQ(lib.EndSession(), 0);
    const auto result = NextResult();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first.status, -3);
    EXPECT_EQ(result->first.cookie, 4);
    EXPECT_EQ(lib.EndSession(), 0);    // nothing left to end
    ASSERT_EQ(lib.StartSession(), 0);  // a new session reads the settings and checks again
    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 5), 0);
    WaitThenExpose();
    const auto next = NextResult();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->first.status, 0);
}

TEST_F(Legacy, UnitHoldingAnImageGivesItWithGet) {
    unitsim::Config config;
    config.startState = unitsim::UnitState::ImageReady;
    StartOnDemandUnit(config);
    WriteSettings(m_unit->port());
    Load();
    ASSERT_EQ(lib.StartSession(), 0);
    ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 3), 0);
    const auto result = NextResult();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first.status, 0);
    EXPECT_EQ(result->second.size(), 684u * 456u);
    EXPECT_TRUE(m_ui->WaitForText("Image Found. Wait for Processing!"));
    bool sawGet = false;
    for (const auto& r : Requests())
        sawGet = sawGet || EndsWith(r, "\\r\\nCMD=GET");
    EXPECT_TRUE(sawGet);
}

// Units that stray from the plain path: the steps still end in one result for the caller.
TEST_F(Legacy, UnitsOffThePlainPath) {
    struct Case {
        const char* what;
        unitsim::UnitState startState;
        unitsim::Faults faults;
        bool clearFaultsAfterADrop;
        LONG status;
        const char* shown;  // a status text the window must have shown
    };
    unitsim::Faults refuse;
    refuse.refuseCaptureError = "2: 9";
    unitsim::Faults drop;
    drop.dropImageAfterBytes = 1000;
    const Case cases[] = {
        {"refused capture", unitsim::UnitState::Idle, refuse, false, -1, nullptr},
        {"not ready: reset, then capture",
         unitsim::UnitState::NotReady,
         {},
         false,
         0,
         "Can't get Image. Wait for resetting sensor!"},
        {"image broken off: fetched with GET", unitsim::UnitState::Idle, drop, true, 0,
         "Image Found. Wait for Processing!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unitsim::Config config;
        config.startState = c.startState;
        config.faults = c.faults;
        config.exposureDelay = 0ms;
        StartUnit(config);
        WriteSettings(m_unit->port());
        if (!m_library)
            Load();
        m_ui->Clear();
        ASSERT_EQ(lib.StartSession(), 0);
        std::thread healer;
        if (c.clearFaultsAfterADrop)
            healer = std::thread([this] {
                if (m_unit->waitUntil(
                        [](const unitsim::Snapshot& s) { return s.counters.repliesDropped > 0; },
                        kWait))
                    m_unit->setFaults({});
            });
        ASSERT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 2), 0);
        const auto result = NextResult();
        if (healer.joinable())
            healer.join();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->first.status, c.status);
        EXPECT_EQ(result->first.cookie, 2);
        EXPECT_EQ(result->second.size(), c.status == 0 ? 684u * 456u : 0u);
        if (c.shown) {
            EXPECT_TRUE(m_ui->WaitForText(c.shown));
        }
        EXPECT_EQ(lib.EndSession(), 0);
        m_unit.reset();
    }
}

TEST_F(Legacy, SilentUnitFailsTheConnectionCheckWithTheNetworkErrorDialog) {
    unitsim::Config config;
    config.faults.silent = true;
    StartOnDemandUnit(config);
    std::ofstream(m_dir / "ZephIF.ini")
        << "[VANTA]\r\nSensor-IP=127.0.0.1\r\nSensor-Port=" << m_unit->port()
        << "\r\nLocal-Port=4321\r\nReturn-Port=0\r\nSensor-Status-Timeout=1\r\n";
    Load();
    EXPECT_EQ(lib.StartSession(), -7);
    const auto boxes = m_ui->Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Network Error");
    EXPECT_EQ(boxes[0].type & MB_TYPEMASK, static_cast<UINT>(MB_OK));
    for (const std::string& value : std::vector<std::string>{
             "PC Local IP: 127.0.0.1\n", "PC Local Port: 4321\n", "PC Return IP: 127.0.0.1\n",
             "PC Return Port: 0\n", "Sensor IP: 127.0.0.1\n",
             "Sensor Port: " + std::to_string(m_unit->port()) + "\n"})
        EXPECT_NE(boxes[0].text.find(value), std::string::npos) << value << boxes[0].text;
    EXPECT_EQ(m_unit->counters().requestsHandled, 1u);
    const auto lines = m_ui->StatusUpdates();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().text, "Wait for checking Sensor Connection...");
    EXPECT_FALSE(lines.back().visible);
    // No session: a capture has nothing to serve it.
    EXPECT_EQ(lib.CaptureRawImageWithPostMessage(1, m_window.Handle(), kResultMessage, 1), 0);
    EXPECT_TRUE(m_window.Empty());
}

TEST_F(Legacy, MissingSettingsFileFailsTheStartWithoutADialog) {
    Load();
    EXPECT_EQ(lib.StartSession(), -7);
    EXPECT_TRUE(m_ui->Boxes().empty());
    EXPECT_TRUE(m_ui->StatusUpdates().empty());
    EXPECT_EQ(ReadWhole(m_dir / "testStartSession.txt"), "InStartSession");
    EXPECT_EQ(ReadWhole(m_dir / "testStartSession2.txt"), "InStartSession2");
    EXPECT_FALSE(fs::exists(m_dir / "ZephIF.ini"));
}

TEST_F(Legacy, ParameterRecordsAreNeverSeenHalfWritten) {
    Load();
    constexpr int kRounds = 2000;
    std::atomic<int> torn{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const LONG v = t * kRounds + i;
                const CaptureParameters p{{v, v, v, v, v, v}};
                failed += lib.SetCaptureParameters(&p) != 0;
            }
        });
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                ExtendedCaptureParameters e{};
                failed += lib.GetExtendedCaptureParameters(&e) != 0;
                const std::vector<LONG> seen(e.words + 1, e.words + 7);
                const bool fixedWords = seen == std::vector<LONG>{684, 456, 12, 800, 8, 0};
                const bool oneRecord = std::count(seen.begin(), seen.end(), seen[0]) == 6;
                torn += !fixedWords && !oneRecord;
                CaptureParameters fixed{};
                failed += lib.GetCaptureParameters(&fixed) != 0;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(lib.CaptureBitmapWithPostMessage(1, m_window.Handle(), kResultMessage, 0, 0), -9);
    EXPECT_EQ(lib.CaptureBitmapWithEventSignal(1, nullptr, nullptr, 0, 0), -9);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr char kChildEnvironment[] = "WINAPI_UI=none ASAN_OPTIONS=detect_leaks=0";
#else
constexpr char kChildEnvironment[] = "WINAPI_UI=none";
#endif

TEST_F(Legacy, ZephCaptureRunsUnchangedOnTheLegacyBuild) {
    unitsim::Config config;
    config.exposureDelay = 300ms;
    config.image = unitsim::makeTestPattern(160, 120);
    StartUnit(config);
    WriteSettings(m_unit->port());
    for (const char* options : {"", "--event"}) {
        SCOPED_TRACE(options);
        const std::string command = std::string(kChildEnvironment) + " '" + ZEPHCAPTURE_PATH +
                                    "' --library '" + ZEPHIF_LEGACY_LIBRARY_PATH +
                                    "' --out picture.png " + options + " > run.log 2>&1";
        fs::remove(m_dir / "picture.png");
        EXPECT_EQ(std::system(command.c_str()), 0) << ReadWhole(m_dir / "run.log");
        const std::string output = ReadWhole(m_dir / "run.log");
        EXPECT_NE(output.find("ZephLibStartSession              -> 0 (done)"), std::string::npos)
            << output;
        EXPECT_GT(fs::file_size(m_dir / "picture.png"), 0u);
        EXPECT_EQ(fs::file_size(m_dir / "theExportedImage.raw"), 160u * 120u * 2u);
    }
}

}  // namespace
}  // namespace legacy_test
