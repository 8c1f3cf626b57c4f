// The earlier session form: reply reading, validity, the tools' waits, joined connection threads.
#include "vantaproto/EarlySession.h"

#include "vantaproto/VTException.h"

#include "scripted_unit.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <functional>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Hands out scripted pieces, one per receive (cut to the room the reader offers).
class Pieces {
public:
    explicit Pieces(std::vector<std::string> pieces) : m_pieces(std::move(pieces)) {}
    int operator()(char* into, int size) {
        if (m_next >= m_pieces.size())
            return 0;
        std::string& piece = m_pieces[m_next];
        const int n = std::min(size, static_cast<int>(piece.size()));
        std::copy(piece.begin(), piece.begin() + n, into);
        piece.erase(0, static_cast<size_t>(n));
        if (piece.empty())
            ++m_next;
        return n;
    }

private:
    std::vector<std::string> m_pieces;
    size_t m_next = 0;
};

struct ReadResult {
    EarlyReplyOutcome outcome;
    std::vector<EarlyReply> replies;
};

ReadResult Read(const EarlySessionForm& form, std::vector<std::string> pieces) {
    Pieces source(std::move(pieces));
    EarlyReplyReader reader(form, [&](char* b, int n) { return source(b, n); });
    ReadResult result;
    result.outcome = reader.Read([&](const EarlyReply& r) { result.replies.push_back(r); });
    return result;
}

const std::string kStatusBody = "STATE=IDLE\r\nERR=0: 0\r\nSENSOR=2";
const std::string kStatusReply =
    "ID=42\r\nCMD=STATUS\r\nLEN=" + std::to_string(kStatusBody.size()) + "\r\n" + kStatusBody;

TEST(EarlyReplyReader, HeaderIsReadWholeHoweverTheUnitSplitsIt) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
    };
    std::vector<std::string> bytewise;
    for (char c : kStatusReply)
        bytewise.emplace_back(1, c);
    const Case cases[] = {
        {"one piece", {kStatusReply}},
        {"CR and LF apart",
         {"ID=42\r", "\nCMD=STATUS\r\nLEN=" + std::to_string(kStatusBody.size()) + "\r",
          "\n" + kStatusBody}},
        {"byte by byte", bytewise},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const EarlySessionForm* form :
             {&EarlySessionForm::kSensorUnitTool, &EarlySessionForm::kEthernetUnitTool}) {
            const ReadResult r = Read(*form, c.pieces);
            ASSERT_EQ(r.outcome, EarlyReplyOutcome::Delivered);
            ASSERT_EQ(r.replies.size(), 1u);
            EXPECT_EQ(r.replies[0].id, "42");
            EXPECT_EQ(r.replies[0].state, "IDLE");
            EXPECT_EQ(r.replies[0].sensor, 2);
            EXPECT_TRUE(r.replies[0].complete);
            EXPECT_TRUE(r.replies[0].valid);
        }
    }
}

TEST(EarlyReplyReader, HeaderLinesMustComeInTheirFixedOrder) {
    const ReadResult r =
        Read(EarlySessionForm::kSensorUnitTool, {"CMD=STATUS\r\nID=42\r\nLEN=0\r\n"});
    EXPECT_EQ(r.outcome, EarlyReplyOutcome::HeaderOrder);
    EXPECT_TRUE(r.replies.empty());
    EXPECT_EQ(Read(EarlySessionForm::kSensorUnitTool, {"ID=42\r\nCMD=STATUS\r\n"}).outcome,
              EarlyReplyOutcome::NoHeader);
    EXPECT_EQ(Read(EarlySessionForm::kSensorUnitTool, {"ID=4\r\nCMD=STATUS\r\nLEN=-3\r\n"}).outcome,
              EarlyReplyOutcome::HeaderOrder);
}

TEST(EarlyReplyReader, IncompleteBodyIsDeliveredMarkedIncompleteAndExtraBytesAreIgnored) {
    ReadResult r = Read(EarlySessionForm::kEthernetUnitTool,
                        {"ID=1\r\nCMD=GETPARAM\r\nLEN=40\r\nNAME=AFEGain\r\nVAL"});
    ASSERT_EQ(r.replies.size(), 1u);
    EXPECT_FALSE(r.replies[0].complete);
    EXPECT_EQ(r.replies[0].received, 17);
    EXPECT_EQ(r.replies[0].length, 40);
    EXPECT_EQ(r.replies[0].parameterValue, "");

    r = Read(EarlySessionForm::kEthernetUnitTool,
             {"ID=1\r\nCMD=GETPARAM\r\nLEN=22\r\n", "NAME=AFEGain\r\nVALUE=17trailing"});
    ASSERT_EQ(r.replies.size(), 1u);
    EXPECT_TRUE(r.replies[0].complete);
    EXPECT_EQ(r.replies[0].parameterValue, "17");
}

TEST(EarlyReply, ValidOnlyWhenTheErrorIsExactlyZeroColonZero) {
    struct Case {
        const char* error;
        bool valid;
    };
    for (const Case& c : {Case{"0: 0", true}, Case{"0: 1", false}, Case{"2: 3", false},
                          Case{"0:0", false}, Case{"", false}}) {
        VTReplyHeader header;
        header.hasId = true;
        header.id = "9";
        header.command = "STATUS";
        const std::string body = std::string("STATE=IDLE\r\nERR=") + c.error + "\r\nSENSOR=1";
        header.length = static_cast<int32_t>(body.size());
        const EarlyReply reply =
            MakeEarlyReply(EarlySessionForm::kSensorUnitTool, header, body.data(), header.length);
        EXPECT_EQ(reply.valid, c.valid) << c.error;
    }
}

TEST(EarlyReply, SensorUnitToolNeverReadsCaptureRepliesAsStatus) {
    VTReplyHeader header;
    header.hasId = true;
    header.id = "9";
    header.command = "CAPTURE";
    const std::string body = "STATE=NOTRDY\r\nERR=2: 1\r\nSENSOR=1";
    header.length = static_cast<int32_t>(body.size());
    const EarlyReply sensorTool =
        MakeEarlyReply(EarlySessionForm::kSensorUnitTool, header, body.data(), header.length);
    EXPECT_EQ(sensorTool.error, "0: 0");
    EXPECT_EQ(sensorTool.state, "");
    const EarlyReply ethernetTool =
        MakeEarlyReply(EarlySessionForm::kEthernetUnitTool, header, body.data(), header.length);
    EXPECT_EQ(ethernetTool.error, "2: 1");
    EXPECT_FALSE(ethernetTool.valid);
}

// ---- Sessions on loopback --------------------------------------------------------------------

std::atomic<bool> g_notificationFinished{false};

class Recording : public EarlyVantaSession {
public:
    using EarlyVantaSession::EarlyVantaSession;
    ~Recording() noexcept(false) override { EndListener(); }
    std::atomic<int> entered{0};
    std::atomic<bool> finished{false};
    std::chrono::milliseconds hold{0};

protected:
    void OnMessageReceived(const EarlyReply&) override {
        entered++;
        std::this_thread::sleep_for(hold);
        finished = true;
        g_notificationFinished = true;
    }
};

TEST(EarlySession, RequestsCarryTheAddressFacingTheUnitAndIntegerValuesAsDecimal) {
    RequestSink unit;
    try {
        EXPECT_EQ(LocalAddressFacing(VTInetAddress("127.0.0.1", unit.Port())), "127.0.0.1");
        Recording session(EarlySessionForm::kSensorUnitTool, "127.0.0.1", unit.Port(), nullptr, 0);
        session.SetParameter("XRayTimeout", -17);
        const std::string request = unit.NextRequest();
        EXPECT_NE(request.find("IP=127.0.0.1\r\n"), std::string::npos) << request;
        EXPECT_NE(request.find("CMD=SETPARAM\r\nNAME=XRayTimeout\r\nVAL=-17\r\n"),
                  std::string::npos);
        EXPECT_THROW(session.SetParameter("HostID", "a\rb"), CVTException);
        session.Stop(0);
    } catch (const CVTException& e) {
        FAIL() << e.message() << " " << e.module() << ":" << e.line();
    }
}

// A connection thread still reading when the session goes is ended and joined: its notification
// finishes before the destructor returns, never after.
TEST(EarlySession, DestructionWaitsForConnectionThreadsPastTheShortGrace) {
    RequestSink unit;
    auto* session =
        new Recording(EarlySessionForm::kSensorUnitTool, "127.0.0.1", unit.Port(), nullptr, 0);
    session->hold = 2500ms;  // longer than stop's 500 ms and the listener's 300 ms grace
    g_notificationFinished = false;
    const int reply = ConnectToLoopback(session->ReplyAddress().Port());
    ASSERT_GE(reply, 0);
    const std::string text = "ID=1\r\nCMD=STATUS\r\nLEN=0\r\n";
    ASSERT_EQ(::write(reply, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!session->entered && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(session->entered, 1) << "the reply was not handed over";
    session->Stop(0);
    EXPECT_FALSE(g_notificationFinished) << "held too short to show anything";
    delete session;  // must not return while the notification runs
    EXPECT_TRUE(g_notificationFinished);
    close(reply);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(EarlySession, AtMostTenConnectionThreadsRunAtOnce) {
    RequestSink unit;
    Recording session(EarlySessionForm::kEthernetUnitTool, "127.0.0.1", unit.Port(), "127.0.0.1",
                      0);
    std::vector<int> silent;
    for (int i = 0; i < EarlyVantaSession::kMaxConnectionThreads; ++i) {
        silent.push_back(ConnectToLoopback(session.ReplyAddress().Port()));
        ASSERT_GE(silent.back(), 0);
    }
    ASSERT_TRUE(WaitUntil([&] { return session.RunningConnections() == 10; }, 20s))
        << session.RunningConnections() << " connection threads";
    const int eleventh = ConnectToLoopback(session.ReplyAddress().Port());
    const std::string text = "ID=1\r\nCMD=STATUS\r\nLEN=0\r\n";
    ASSERT_EQ(::write(eleventh, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    std::this_thread::sleep_for(600ms);  // several listener rounds
    EXPECT_EQ(session.entered, 0) << "an eleventh connection thread ran";
    close(silent.back());
    silent.pop_back();
    EXPECT_TRUE(WaitUntil([&] { return session.entered == 1; }, 20s))
        << "the waiting reply was not taken once a thread had ended";
    for (int s : silent)
        close(s);
    close(eleventh);
    session.Stop(0);
}

TEST(EarlySession, SensorUnitStopOnlySignalsWhileTheEthernetUnitStopWaits) {
    RequestSink unit;
    for (const EarlySessionForm* form :
         {&EarlySessionForm::kSensorUnitTool, &EarlySessionForm::kEthernetUnitTool}) {
        SCOPED_TRACE(form->name);
        const char* local = form == &EarlySessionForm::kEthernetUnitTool ? "127.0.0.1" : nullptr;
        Recording session(*form, "127.0.0.1", unit.Port(), local, 0);
        const auto start = std::chrono::steady_clock::now();
        session.Stop(0);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 500ms);
        EXPECT_EQ(session.Stopping(), 1);
    }
}

}  // namespace
