// Sessions against the virtual unit and a raw fake unit on loopback: commands, replies,
// download notifications, connection limits, stop and destruction.
#include "session_support.h"

#include <unitsim/virtual_unit.h>
#include <vantaproto/VTException.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;

class SessionWithUnit : public ::testing::Test {
protected:
    void SetUp() override {
        unitsim::Config config;
        config.processingTime = 0ms;
        m_unit = std::make_unique<unitsim::VirtualUnit>(config);
        m_unit->start();
        m_session = std::make_unique<RecordingSession>("127.0.0.1", m_unit->port(), "127.0.0.1", 0);
    }
    void TearDown() override {
        m_session->Stop(0);
        m_session.reset();
        m_unit->stop();
    }
    // Sends one command and waits for its reply.
    VTRecvCommand Exchange(const std::function<void()>& command) {
        const size_t before = m_session->Snapshot().messages.size();
        command();
        EXPECT_TRUE(m_session->WaitFor([&](auto& s) { return s.messages.size() > before; }));
        return m_session->Snapshot().messages.at(before);
    }

    std::unique_ptr<unitsim::VirtualUnit> m_unit;
    std::unique_ptr<RecordingSession> m_session;
};

TEST_F(SessionWithUnit, EveryCommandGetsItsReply) {
    EXPECT_NE(m_session->ReplyAddress().Port(), 0);
    const std::string id = m_session->SessionIdentity().Id();

    VTRecvCommand status = Exchange([&] { m_session->Status(); });
    EXPECT_EQ(status.Id(), id);
    EXPECT_EQ(status.Command(), "STATUS");
    EXPECT_EQ(status.State(), "IDLE");
    EXPECT_EQ(status.Error(), "0: 0");
    EXPECT_EQ(status.Valid(), 1);
    EXPECT_EQ(m_session->Started(), 1);

    VTRecvCommand width = Exchange([&] { m_session->GetParameter("CCDSizeX"); });
    EXPECT_EQ(width.ParameterName(), "CCDSizeX");
    EXPECT_EQ(width.ParameterValue(), "684");

    VTRecvCommand set = Exchange([&] { m_session->SetParameter("XRayTimeout", "305"); });
    EXPECT_EQ(set.Command(), "SETPARAM");
    EXPECT_EQ(set.ParameterValue(), "305");
    EXPECT_EQ(m_unit->parameter("XRayTimeout"), "305");

    VTRecvCommand unknown = Exchange([&] { m_session->GetParameter("NoSuchParameter"); });
    EXPECT_EQ(unknown.Valid(), 0);

    m_session->Capture(Image16bitMode);
    ASSERT_TRUE(m_unit->waitForState(unitsim::UnitState::WaitXray, kEventTimeout));
    VTRecvCommand image = Exchange([&] { ASSERT_TRUE(m_unit->triggerExposure()); });
    EXPECT_EQ(image.Command(), "CAPTURE");
    EXPECT_GE(image.Length(), 684 * 456 * 2);
    EXPECT_EQ(image.Received(), image.Length());
    EXPECT_EQ(image.State(), "");  // image data, not a status

    VTRecvCommand again = Exchange([&] { m_session->Get(Image8bitMode); });
    EXPECT_EQ(again.Command(), "GET");
    EXPECT_GE(again.Length(), 684 * 456);

    VTRecvCommand busy = Exchange([&] { m_session->Capture(Image16bitMode); });
    EXPECT_EQ(busy.Valid(), 0);  // a capture is only accepted in IDLE

    VTRecvCommand closed = Exchange([&] { m_session->Close(); });
    EXPECT_EQ(closed.Command(), "CLOSE");
    EXPECT_EQ(m_session->Started(), 0);
    EXPECT_TRUE(m_unit->waitForState(unitsim::UnitState::Idle, kEventTimeout));

    m_session->Reset();  // no reply
    EXPECT_TRUE(m_unit->waitForRequests(m_unit->counters().requestsHandled, kEventTimeout));
    EXPECT_EQ(m_session->Started(), 1);
}

TEST_F(SessionWithUnit, ImageDownloadRaisesStartOnceAndProgressPerChunk) {
    m_session->Capture(Image16bitMode);
    ASSERT_TRUE(m_unit->waitForState(unitsim::UnitState::WaitXray, kEventTimeout));
    ASSERT_TRUE(m_unit->triggerExposure());
    ASSERT_TRUE(m_session->WaitFor([](auto& s) { return s.messages.size() == 1; }));
    auto seen = m_session->Snapshot();
    const int32_t length = seen.messages[0].Length();
    ASSERT_EQ(seen.started, std::vector<int32_t>{length});
    int64_t progress = 0;
    for (int32_t chunk : seen.progress) {
        EXPECT_GT(chunk, 0);
        EXPECT_LE(chunk, 9999);
        progress += chunk;
    }
    EXPECT_LT(progress, length);  // the first bytes came with the header
    EXPECT_GT(progress, length - 9999);

    // A short reply raises no download notification, however it arrives.
    Exchange([&] { m_session->Status(); });
    EXPECT_EQ(m_session->Snapshot().started.size(), 1u);
}

TEST(Session, SixtyFifthReplyWaitsForAFreeConnectionThread) {
    RecordingSession session("127.0.0.1", 9, "127.0.0.1", 0);
    session.HoldMessages(true);
    const std::string reply = "ID=1\r\nCMD=STATUS\r\nLEN=0\r\n";
    std::vector<std::unique_ptr<ReplyPeer>> peers;
    for (int i = 0; i < VantaSession::kMaxConnectionThreads + 1; ++i) {
        peers.push_back(std::make_unique<ReplyPeer>(session.ReplyAddress().Port()));
        peers.back()->Write(reply);
    }
    ASSERT_TRUE(session.WaitFor([](auto& s) { return s.insideMessage == 64; }));
    std::this_thread::sleep_for(300ms);  // room for a wrongly accepted 65th to show up
    EXPECT_EQ(session.Statistics().connections.load(), 64u);
    EXPECT_EQ(session.Snapshot().insideMessage, 64);

    session.HoldMessages(false);
    ASSERT_TRUE(session.WaitFor([](auto& s) { return s.messages.size() == 65; }));
    EXPECT_EQ(session.Statistics().connections.load(), 65u);
    session.Stop(0);
}

TEST(Session, DestructionSendsCloseOnlyAfterStopOneAndAnOpenCommand) {
    struct Case {
        const char* what;
        int stopArgument;
        bool closeLast;
        bool expectClose;
    };
    for (const Case& c : {Case{"stop(1) after STATUS", 1, false, true},
                          Case{"stop(0) after STATUS", 0, false, false},
                          Case{"stop(1) after CLOSE", 1, true, false}}) {
        FakeUnit unit;
        {
            RecordingSession session("127.0.0.1", unit.Port(), "127.0.0.1", 0);
            session.Status();
            EXPECT_NE(unit.NextRequest().find("CMD=STATUS\r\n"), std::string::npos);
            if (c.closeLast) {
                session.Close();
                EXPECT_NE(unit.NextRequest().find("CMD=CLOSE\r\n"), std::string::npos);
            }
            session.Stop(c.stopArgument);
        }
        // The destructor connected before returning, so a CLOSE is already waiting.
        EXPECT_EQ(unit.HasRequest(), c.expectClose) << c.what;
        if (c.expectClose) {
            EXPECT_NE(unit.NextRequest().find("CMD=CLOSE\r\n"), std::string::npos);
        }
    }
}

TEST(Session, RequestsCarryTheSessionAndTheChosenPort) {
    FakeUnit unit;
    RecordingSession session("127.0.0.1", unit.Port(), "127.0.0.1", 0);
    const std::string id = session.SessionIdentity().Id();
    char port[8];
    std::snprintf(port, sizeof port, "%4d", session.ReplyAddress().Port());
    const std::string header = "ID=" + id + "\r\nIP=127.0.0.1\r\nPORT=" + port + "\r\n";

    session.GetParameter("Gain");
    EXPECT_EQ(unit.NextRequest(), header + "CMD=GETPARAM\r\nNAME=Gain\r\n" + std::string(1, '\0'));

    session.CaptureTo(Image8bitMode, VTInetAddress("127.0.0.2", 4000));
    EXPECT_EQ(unit.NextRequest(), "ID=" + id + "\r\nIP=127.0.0.2\r\nPORT=4000\r\n" +
                                      "CMD=CAPTURE\r\nMODE=536870912\r\n" + std::string(1, '\0'));
    session.GetTo(Image16bitMode, VTInetAddress("127.0.0.3", 80));
    EXPECT_EQ(unit.NextRequest(), "ID=" + id + "\r\nIP=127.0.0.3\r\nPORT=  80\r\n" +
                                      "CMD=GET\r\nMODE=0\r\n" + std::string(1, '\0'));

    // Missing names send nothing and leave the started flag alone.
    session.Close();
    unit.NextRequest();
    session.GetParameter(nullptr);
    session.SetParameter("Gain", nullptr);
    session.SetParameter(nullptr, "1");
    EXPECT_FALSE(unit.HasRequest());
    EXPECT_EQ(session.Started(), 0);

    // A value that would add lines is refused before anything is sent.
    EXPECT_THROW(session.SetParameter("XRayTimeout", "1\r\nCMD=RESET"), CVTException);
    EXPECT_FALSE(unit.HasRequest());
    session.Stop(0);
}

TEST(Session, UnreachableUnitThrowsAndLeavesStartedUnchanged) {
    unsigned short closedPort;
    {
        FakeUnit probe;
        closedPort = probe.Port();
    }
    RecordingSession session("127.0.0.1", closedPort, "127.0.0.1", 0);
    try {
        session.Status();
        FAIL() << "status reached a closed port";
    } catch (const CVTSocketException& e) {
        EXPECT_EQ(e.message(), "Failed to connect to socket");
        EXPECT_EQ(e.code(), WSAECONNREFUSED);
    }
    EXPECT_EQ(session.Started(), 0);
    session.Stop(1);
}

TEST(Session, ConstructionThatCannotListenThrows) {
    RecordingSession first("127.0.0.1", 9, "127.0.0.1", 0);
    try {
        RecordingSession second("127.0.0.1", 9, "127.0.0.1", first.ReplyAddress().Port());
        FAIL() << "two sessions on one port";
    } catch (const CVTSocketException& e) {
        EXPECT_EQ(e.message(), "Error binding socket");
        EXPECT_EQ(e.code(), WSAEADDRINUSE);
    }
    first.Stop(0);
}

TEST(Session, ListenerThatDoesNotStartInTimeFailsConstruction) {
    vtsession_testing::listenerStartDelayMs = VantaSession::kListenerStartTimeoutMs + 500;
    try {
        RecordingSession session("127.0.0.1", 9, "127.0.0.1", 0);
        vtsession_testing::listenerStartDelayMs = 0;
        FAIL() << "constructed";
    } catch (const CVTSocketException&) {
        vtsession_testing::listenerStartDelayMs = 0;
        FAIL() << "a socket failure";
    } catch (const CVTException& e) {
        vtsession_testing::listenerStartDelayMs = 0;
        EXPECT_EQ(e.code(), static_cast<int32_t>(WAIT_TIMEOUT));
        EXPECT_EQ(e.message(), "The wait operation timed out.\r\n");
    }
}

TEST(Session, StopEndsTheListenerPromptly) {
    auto session = std::make_unique<RecordingSession>("127.0.0.1", 9, "127.0.0.1", 0);
    const unsigned short port = session->ReplyAddress().Port();
    session->Stop(0);
    EXPECT_EQ(session->Stopping(), 1);
    session.reset();
    // The port is free again for the next session.
    RecordingSession next("127.0.0.1", 9, "127.0.0.1", port);
    next.Stop(0);
}

}  // namespace
