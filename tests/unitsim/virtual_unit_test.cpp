// Loopback tests of the virtual unit: raw requests in, replies on a listener of the test's own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>

#include "loopback_client.h"
#include "unitsim/virtual_unit.h"

using namespace unitsim;
using namespace unitsim_test;
using namespace std::chrono_literals;

namespace {

constexpr const char* kId = "1804289383846930886";
constexpr const char* kMode8 = "MODE=536870912\r\n";

std::string status(UnitState state, std::string_view error = "0: 0", int sensor = 1) {
    return "STATE=" + std::string(stateText(state)) + "\r\nERR=" + std::string(error) +
           "\r\nSENSOR=" + std::to_string(sensor);
}

std::string asText(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class unitsimUnit : public ::testing::Test {
protected:
    // Exposure only on demand and no processing pause, unless a test says otherwise.
    static Config quickConfig() {
        Config config;
        config.processingTime = 0ms;
        return config;
    }

    void start(Config config = quickConfig()) {
        config.address = "127.0.0.1";
        config.port = 0;
        unit_ = std::make_unique<VirtualUnit>(std::move(config));
        unit_->start();
        ASSERT_NE(unit_->port(), 0);
    }

    void send(std::string_view command, std::string_view extra = {}, std::string_view id = kId) {
        sendRequest(unit_->port(), makeRequest(id, listener_.port(), command, extra));
    }

    // Sends and waits until the unit has taken the request in, so the next step sees its effect.
    void sendAndWait(std::string_view command, std::string_view extra = {}) {
        const auto handled = unit_->counters().requestsHandled;
        send(command, extra);
        ASSERT_TRUE(unit_->waitForRequests(handled + 1, kWaitBound));
    }

    Reply expectReply(std::string_view command) {
        auto reply = listener_.next();
        if (!reply) {
            ADD_FAILURE() << "no reply to " << command;
            return {};
        }
        EXPECT_EQ(reply->command, command);
        EXPECT_TRUE(reply->complete()) << reply->body.size() << " of " << reply->declaredLength;
        return *reply;
    }

    Reply roundTrip(std::string_view command, std::string_view extra = {}) {
        send(command, extra);
        return expectReply(command);
    }

    ReplyListener listener_;
    std::unique_ptr<VirtualUnit> unit_;
};

TEST_F(unitsimUnit, StatusRoundTripIsByteExact) {
    start();
    const Reply r = roundTrip("STATUS");
    EXPECT_EQ(r.raw, std::string("ID=") + kId + "\r\nCMD=STATUS\r\nLEN=30\r\n" +
                         "STATE=IDLE\r\nERR=0: 0\r\nSENSOR=1");
}

TEST_F(unitsimUnit, CaptureWaitsForExposureThenDeliversTheImageAndGoesIdleOnClose) {
    start();
    sendAndWait("CAPTURE", "MODE=0\r\n");
    EXPECT_EQ(unit_->state(), UnitState::WaitXray);
    EXPECT_EQ(unit_->counters().repliesQueued, 0u) << "the CAPTURE reply is the image";
    EXPECT_EQ(roundTrip("STATUS").body, status(UnitState::WaitXray));

    ASSERT_TRUE(unit_->triggerExposure());
    const Reply image = expectReply("CAPTURE");
    EXPECT_EQ(image.id, kId);
    EXPECT_EQ(image.body, asText(buildImagePayload(makeTestPattern(), PictureMode::Gray16)));
    // Whoever holds the whole image finds the unit in IMGRDY already.
    EXPECT_EQ(unit_->state(), UnitState::ImageReady);
    EXPECT_EQ(roundTrip("STATUS").body, status(UnitState::ImageReady));

    EXPECT_EQ(roundTrip("CLOSE").body, status(UnitState::Idle));
    EXPECT_EQ(unit_->state(), UnitState::Idle);
    EXPECT_FALSE(unit_->triggerExposure()) << "nothing waits for X-rays now";
    // The image stays stored after CLOSE and can be fetched again, in another depth.
    EXPECT_EQ(roundTrip("GET", kMode8).body,
              asText(buildImagePayload(makeTestPattern(), PictureMode::Gray8)));
    EXPECT_EQ(unit_->counters().exposures, 1u);
}

struct ModeCase {
    const char* name;
    const char* modeLine;
    PictureMode mode;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

class unitsimUnitModes : public unitsimUnit, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(unitsimUnitModes, AutomaticExposureDeliversThePictureMode) {
    Config config = quickConfig();
    config.exposureDelay = 0ms;
    start(std::move(config));
    const Reply image = roundTrip("CAPTURE", GetParam().modeLine);
    EXPECT_EQ(image.body, asText(buildImagePayload(makeTestPattern(), GetParam().mode)));
}

INSTANTIATE_TEST_SUITE_P(Modes, unitsimUnitModes,
                         ::testing::Values(ModeCase{"Gray16", "MODE=0\r\n", PictureMode::Gray16},
                                           ModeCase{"Gray8", kMode8, PictureMode::Gray8},
                                           ModeCase{"Preview", "MODE=1073741824\r\n",
                                                    PictureMode::Preview},
                                           ModeCase{"NoModeLine", "", PictureMode::Gray16}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(unitsimUnit, RefusesCaptureUnlessIdleAndGetWithoutImage) {
    Config config = quickConfig();
    config.startState = UnitState::ImageReady;
    start(std::move(config));
    EXPECT_EQ(roundTrip("CLOSE").body, status(UnitState::Idle));
    EXPECT_EQ(roundTrip("GET", "MODE=0\r\n").body,
              asText(buildImagePayload(makeTestPattern(), PictureMode::Gray16)))
        << "CLOSE keeps the stored image";
    sendAndWait("CAPTURE", "MODE=0\r\n");
    EXPECT_EQ(roundTrip("GET", "MODE=0\r\n").body, status(UnitState::WaitXray, "2: 2"))
        << "a new capture discards the previous image";
    const Reply refused = roundTrip("CAPTURE", "MODE=0\r\n");
    EXPECT_EQ(refused.body, status(UnitState::WaitXray, "2: 1"));
    EXPECT_LT(refused.body.size(), 1000u);
    EXPECT_EQ(roundTrip("CAPTURE", "MODE=12\r\n").body, status(UnitState::WaitXray, "2: 6"));
    EXPECT_EQ(roundTrip("GET", "MODE=x\r\n").body, status(UnitState::WaitXray, "2: 6"));
    EXPECT_EQ(unit_->state(), UnitState::WaitXray);
}

TEST_F(unitsimUnit, ResetAnswersNothingAndForgetsCaptureAndImage) {
    Config config = quickConfig();
    config.startState = UnitState::ImageReady;
    start(std::move(config));
    sendAndWait("RESET");
    EXPECT_EQ(unit_->state(), UnitState::Idle);
    EXPECT_EQ(unit_->counters().repliesQueued, 0u);
    // The next reply on the listener is the GET's: RESET wrote none before it.
    EXPECT_EQ(roundTrip("GET", "MODE=0\r\n").body, status(UnitState::Idle, "2: 2"));

    sendAndWait("CAPTURE", "MODE=0\r\n");
    sendAndWait("RESET");
    EXPECT_EQ(unit_->state(), UnitState::Idle);
    EXPECT_FALSE(unit_->triggerExposure());
    EXPECT_EQ(roundTrip("STATUS").body, status(UnitState::Idle));
}

TEST_F(unitsimUnit, CloseDuringACaptureAbandonsIt) {
    start();
    sendAndWait("CAPTURE", "MODE=0\r\n");
    EXPECT_EQ(roundTrip("CLOSE").body, status(UnitState::Idle));
    EXPECT_FALSE(unit_->triggerExposure());
    // A fresh capture is accepted and its image is the next thing on the listener.
    sendAndWait("CAPTURE", kMode8);
    ASSERT_TRUE(unit_->triggerExposure());
    EXPECT_EQ(expectReply("CAPTURE").body,
              asText(buildImagePayload(makeTestPattern(), PictureMode::Gray8)));
}

TEST_F(unitsimUnit, ParametersReadWriteAndRefusals) {
    start();
    EXPECT_EQ(
        roundTrip("GETPARAM", "NAME=CCDSizeX\r\n").raw,
        std::string("ID=") + kId + "\r\nCMD=GETPARAM\r\nLEN=24\r\nNAME=CCDSizeX\r\nVALUE=684");
    EXPECT_EQ(roundTrip("SETPARAM", "NAME=XRayTimeout\r\nVAL=35\r\n").body,
              "NAME=XRayTimeout\r\nVALUE=35");
    EXPECT_EQ(roundTrip("GETPARAM", "NAME=XRayTimeout\r\n").body, "NAME=XRayTimeout\r\nVALUE=35");
    EXPECT_EQ(unit_->parameter("XRayTimeout"), "35");

    struct Refusal {
        const char* command;
        const char* lines;
        const char* error;
    };
    for (const Refusal& r :
         {Refusal{"GETPARAM", "NAME=Gain\r\n", "2: 3"}, Refusal{"GETPARAM", "", "2: 3"},
          Refusal{"SETPARAM", "NAME=Gain\r\nVAL=1\r\n", "2: 3"},
          Refusal{"SETPARAM", "NAME=CCDSizeX\r\nVAL=1\r\n", "2: 4"},
          Refusal{"SETPARAM", "NAME=AFEGain\r\nVAL=many\r\n", "2: 5"},
          Refusal{"SETPARAM", "NAME=AFEGain\r\n", "2: 5"}, Refusal{"SNAPSHOT", "", "2: 7"}}) {
        EXPECT_EQ(roundTrip(r.command, r.lines).body, status(UnitState::Idle, r.error))
            << r.command << " " << r.lines;
    }
}

TEST_F(unitsimUnit, CaptureWithoutExposureEndsAfterXRayTimeout) {
    start();
    EXPECT_EQ(roundTrip("SETPARAM", "NAME=XRayTimeout\r\nVAL=1\r\n").body,
              "NAME=XRayTimeout\r\nVALUE=1");
    const Reply r = roundTrip("CAPTURE", "MODE=0\r\n");
    EXPECT_EQ(r.body, status(UnitState::Idle, "2: 8"));
    EXPECT_EQ(unit_->state(), UnitState::Idle);
    EXPECT_EQ(unit_->counters().exposures, 0u);
}

TEST_F(unitsimUnit, ProcessingPrecedesTheImageAndStatusShowsIt) {
    Config config = quickConfig();
    config.processingTime = 1h;  // the test ends it by stopping the unit
    start(std::move(config));
    sendAndWait("CAPTURE", "MODE=0\r\n");
    ASSERT_TRUE(unit_->triggerExposure());
    EXPECT_EQ(unit_->state(), UnitState::Processing);
    EXPECT_EQ(roundTrip("STATUS").body, status(UnitState::Processing));
    unit_->stop();
    EXPECT_EQ(unit_->counters().imagesSent, 0u);
}

// ---- faults ---------------------------------------------------------------------------------

struct StartCase {
    UnitState state;
    bool imageStored;
};

void PrintTo(const StartCase& c, std::ostream* os) {
    *os << stateText(c.state);
}

class unitsimUnitStartState : public unitsimUnit,
                              public ::testing::WithParamInterface<StartCase> {};

TEST_P(unitsimUnitStartState, UnitLeftInAStateRefusesCaptureUntilReset) {
    Config config = quickConfig();
    config.startState = GetParam().state;
    start(std::move(config));
    EXPECT_EQ(roundTrip("STATUS").body, status(GetParam().state));
    EXPECT_EQ(roundTrip("CAPTURE", "MODE=0\r\n").body, status(GetParam().state, "2: 1"));
    const Reply get = roundTrip("GET", "MODE=0\r\n");
    if (GetParam().imageStored) {
        EXPECT_EQ(get.body, asText(buildImagePayload(makeTestPattern(), PictureMode::Gray16)));
    } else {
        EXPECT_EQ(get.body, status(GetParam().state, "2: 2"));
    }
    sendAndWait("RESET");
    sendAndWait("CAPTURE", "MODE=0\r\n");
    EXPECT_EQ(unit_->state(), UnitState::WaitXray);
}

INSTANTIATE_TEST_SUITE_P(States, unitsimUnitStartState,
                         ::testing::Values(StartCase{UnitState::ImageReady, true},
                                           StartCase{UnitState::NotReady, false}),
                         [](const auto& test) { return std::string(stateText(test.param.state)); });

TEST_F(unitsimUnit, RefusedCaptureCarriesTheGivenErrorText) {
    Config config = quickConfig();
    config.faults.refuseCaptureError = "-2001: 62";
    start(std::move(config));
    EXPECT_EQ(roundTrip("CAPTURE", "MODE=0\r\n").body, status(UnitState::Idle, "-2001: 62"));
    EXPECT_EQ(unit_->state(), UnitState::Idle);
}

TEST_F(unitsimUnit, SensorFaultShowsInStatusAndRefusesCapture) {
    Config config = quickConfig();
    config.faults.sensorFault = true;
    config.faults.sensorFaultSensor = -1;
    start(std::move(config));
    EXPECT_EQ(roundTrip("STATUS").body, status(UnitState::Idle, "-2012: 1", -1));
    EXPECT_EQ(roundTrip("CAPTURE", "MODE=0\r\n").body, status(UnitState::Idle, "-2012: 1", -1));
    // A refusal of its own keeps its text; the sensor number still tells of the fault.
    EXPECT_EQ(roundTrip("GETPARAM", "NAME=Gain\r\n").body, status(UnitState::Idle, "2: 3", -1));
}

TEST_F(unitsimUnit, ForeignIdOnEveryReply) {
    Config config = quickConfig();
    config.faults.foreignId = "99";
    config.exposureDelay = 0ms;
    start(std::move(config));
    EXPECT_EQ(roundTrip("STATUS").id, "99");
    EXPECT_EQ(roundTrip("CAPTURE", "MODE=0\r\n").id, "99");
}

TEST_F(unitsimUnit, DroppedImageStopsPartWayButTheUnitCarriesOn) {
    Config config = quickConfig();
    config.faults.dropImageAfterBytes = 5000;
    config.exposureDelay = 0ms;
    start(std::move(config));
    send("CAPTURE", "MODE=0\r\n");
    const auto r = listener_.next();
    ASSERT_TRUE(r);
    const std::string full = asText(buildImagePayload(makeTestPattern(), PictureMode::Gray16));
    EXPECT_EQ(r->declaredLength, full.size());
    EXPECT_EQ(r->body, full.substr(0, 5000));
    ASSERT_TRUE(unit_->waitForState(UnitState::ImageReady, kWaitBound));
    EXPECT_EQ(unit_->counters().repliesDropped, 1u);
    // Text replies are not affected.
    EXPECT_EQ(roundTrip("STATUS").body, status(UnitState::ImageReady));
}

TEST_F(unitsimUnit, ChunkedRepliesArriveWhole) {
    Config config = quickConfig();
    config.faults.chunkBytes = 3;
    config.faults.chunkDelay = 1ms;
    config.exposureDelay = 0ms;
    start(std::move(config));
    EXPECT_EQ(roundTrip("STATUS").raw,
              std::string("ID=") + kId + "\r\nCMD=STATUS\r\nLEN=30\r\n" + status(UnitState::Idle));
    Faults bigChunks;
    bigChunks.chunkBytes = 4096;
    unit_->setFaults(bigChunks);
    EXPECT_EQ(roundTrip("CAPTURE", "MODE=0\r\n").body,
              asText(buildImagePayload(makeTestPattern(), PictureMode::Gray16)));
}

TEST_F(unitsimUnit, SilentUnitTakesRequestsButNeverAnswers) {
    Config config = quickConfig();
    config.faults.silent = true;
    start(std::move(config));
    sendAndWait("STATUS");
    sendAndWait("CAPTURE", "MODE=0\r\n");
    EXPECT_EQ(unit_->counters().repliesQueued, 0u);
    EXPECT_EQ(unit_->state(), UnitState::Idle) << "requests are not acted on either";
    unit_->setFaults({});
    // The first reply the listener sees is the one sent after the fault was lifted.
    EXPECT_EQ(roundTrip("GETPARAM", "NAME=CCDSizeY\r\n").body, "NAME=CCDSizeY\r\nVALUE=456");
}

TEST_F(unitsimUnit, StopEndsAReplyThatIsStillBeingWritten) {
    Config config = quickConfig();
    config.faults.chunkBytes = 1;
    config.faults.chunkDelay = 1h;
    start(std::move(config));
    send("STATUS");
    ASSERT_TRUE(unit_->waitForRequests(1, kWaitBound));
    unit_->stop();  // returns only once every thread of the unit has been joined
    const auto c = unit_->counters();
    EXPECT_EQ(c.repliesSent, 0u);
    EXPECT_EQ(c.repliesFailed, 1u);
}

// ---- robustness of the request side ---------------------------------------------------------

TEST_F(unitsimUnit, RequestEndedByCloseInsteadOfZeroByteIsServed) {
    start();
    std::string request = makeRequest(kId, listener_.port(), "STATUS");
    request.pop_back();  // no terminating zero byte: the close ends it
    sendRequest(unit_->port(), request);
    EXPECT_EQ(expectReply("STATUS").body, status(UnitState::Idle));
}

TEST_F(unitsimUnit, WorkbenchRequestHeldOpenIsServedWhenTheComputerCloses) {
    start();
    // The workbench's form: VALUE=, plain PORT, no final CR LF, no zero byte; the connection is
    // held open beyond the unit's 5 s read limit before it closes.
    const std::string request =
        "ID=00000000000004242424\r\nIP=127.0.0.1\r\nPORT=" + std::to_string(listener_.port()) +
        "\r\nCMD=SETPARAM\r\nNAME=XRayTimeout\r\nVALUE=35";
    const int held = openRequest(unit_->port(), request);
    EXPECT_FALSE(unit_->waitForRequests(1, 5500ms)) << "served before the computer closed";
    ::close(held);
    const Reply reply = expectReply("SETPARAM");
    EXPECT_EQ(reply.id, "00000000000004242424");
    EXPECT_EQ(reply.body, "NAME=XRayTimeout\r\nVALUE=35");
    EXPECT_EQ(unit_->counters().requestsMalformed, 0u);
}

TEST_F(unitsimUnit, StalledPeerDoesNotHoldUpOthersAndIsCutOff) {
    start();
    // Half a request, and the connection stays open.
    const int stalled = openRequest(unit_->port(), "ID=1\r\nIP=127.0.0.1\r\n");
    EXPECT_EQ(roundTrip("STATUS").body, status(UnitState::Idle));
    ASSERT_TRUE(unit_->waitUntil(
        [](const Snapshot& s) { return s.counters.requestsMalformed == 1; }, kWaitBound));
    ::close(stalled);
    EXPECT_EQ(unit_->counters().repliesQueued, 1u);
}

TEST_F(unitsimUnit, OversizedAndUnanswerableRequestsAreDropped) {
    start();
    const std::string oversized = "ID=1\r\nIP=127.0.0.1\r\nNAME=" + std::string(8000, 'x');
    const std::string noReplyAddress = "ID=1\r\nCMD=STATUS\r\n" + std::string(1, '\0');
    const std::string binary("\xff\xfe\x00\x01", 4);
    std::uint64_t dropped = 0;
    for (const std::string& bytes : {oversized, noReplyAddress, binary}) {
        const int fd = openRequest(unit_->port(), bytes);
        ::shutdown(fd, SHUT_WR);
        ++dropped;
        ASSERT_TRUE(unit_->waitUntil(
            [dropped](const Snapshot& s) { return s.counters.requestsMalformed == dropped; },
            kWaitBound));
        ::close(fd);
    }
    EXPECT_EQ(unit_->counters().requestsHandled, 0u);
    EXPECT_EQ(roundTrip("STATUS").body, status(UnitState::Idle));
}

TEST_F(unitsimUnit, ManyRequestsAtOnceAreAllAnswered) {
    start();
    constexpr int kRequests = 24;
    for (int i = 0; i < kRequests; ++i) {
        send("STATUS", {}, std::to_string(1000 + i));
    }
    std::set<std::string> ids;
    for (int i = 0; i < kRequests; ++i) {
        ids.insert(expectReply("STATUS").id);
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kRequests));
    ASSERT_TRUE(unit_->waitForRepliesFinished(kRequests, kWaitBound));
    EXPECT_EQ(unit_->counters().repliesSent, static_cast<std::uint64_t>(kRequests));
}

// Legacy requests: no final line end, no zero byte; the computer's close ends them.
TEST_F(unitsimUnit, LegacyRequestTextEndedByTheComputersCloseIsServed) {
    start();
    const std::string head = "ID=5\r\nIP=127.0.0.1\r\nPORT=" + std::to_string(listener_.port());
    sendRequest(unit_->port(), head + "\r\nCMD=STATUS");
    const Reply reply = expectReply("STATUS");
    EXPECT_EQ(reply.id, "5");
    EXPECT_EQ(reply.body, status(UnitState::Idle));
    sendRequest(unit_->port(), head + "\r\nCMD=CAPTURE\r\nMODE=536870912");
    ASSERT_TRUE(unit_->waitForState(UnitState::WaitXray, kWaitBound));
    EXPECT_EQ(unit_->counters().requestsMalformed, 0u);
}

}  // namespace
