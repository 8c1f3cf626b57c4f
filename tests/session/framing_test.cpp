// Reply framing faults from a raw peer on the session's reply port.
#include "session_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

class RawPeer : public ::testing::Test {
protected:
    // Held by pointer: a session's destructor may throw, a fixture's may not.
    std::unique_ptr<RecordingSession> owned =
        std::make_unique<RecordingSession>("127.0.0.1", 9, "127.0.0.1", 0);
    RecordingSession& session = *owned;
    void TearDown() override {
        session.Stop(0);
        owned.reset();
    }
    unsigned short Port() { return session.ReplyAddress().Port(); }
    // Dropped replies raise no notification, so watch the counter.
    bool WaitForDropped(uint32_t count) {
        const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
        while (session.Statistics().dropped.load() < count) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
};

TEST_F(RawPeer, CompleteReplyIsDelivered) {
    ReplyPeer peer(Port());
    peer.Write("ID=17\r\nCMD=STATUS\r\nLEN=30\r\nSTATE=IDLE\r\nERR=0: 0\r\nSENSOR=1");
    ASSERT_TRUE(session.WaitFor([](auto& s) { return s.messages.size() == 1; }));
    EXPECT_EQ(session.Snapshot().messages[0].State(), "IDLE");
    EXPECT_EQ(session.Statistics().replies.load(), 1u);
}

TEST_F(RawPeer, FewerThanTwoLinesIsAReceiveError) {
    ReplyPeer peer(Port());
    peer.Write("ID=17\r\nCMD=STA");
    peer.Close();
    ASSERT_TRUE(session.WaitFor([](auto& s) { return s.errors.size() == 1; }));
    EXPECT_TRUE(session.Snapshot().messages.empty());
}

TEST_F(RawPeer, ResetConnectionGivesTheWinsockCode) {
    ReplyPeer peer(Port());
    peer.Write("ID=17\r\nCMD=STATUS\r\nLEN=30\r\nSTATE=");
    peer.Reset();
    ASSERT_TRUE(session.WaitFor([](auto& s) { return s.errors.size() == 1; }));
    EXPECT_EQ(session.Snapshot().errors[0], WSAECONNRESET);
}

TEST_F(RawPeer, BrokenHeadersAndEarlyCloseAreDroppedQuietly) {
    const char* replies[] = {
        "ID=1\r\nCMD=STATUS\r\nSIZE=0\r\n",            // unknown key
        "ID=1\r\nCMD STATUS\r\nLEN=0\r\n",             // no "="
        "ID=1\r\nCMD=STATUS\r\nLEN=-3\r\n",            // negative length
        "ID=1\r\nCMD=STATUS\r\nLEN=30\r\nSTATE=IDLE",  // closes before the body is complete
        "ID=1\r\nCMD=STATUS\r\nLEN=0",                 // third line never ends
    };
    for (const char* reply : replies) {
        ReplyPeer peer(Port());
        peer.Write(reply);
        peer.Close();
    }
    ASSERT_TRUE(WaitForDropped(5));
    auto seen = session.Snapshot();
    EXPECT_TRUE(seen.messages.empty());
    EXPECT_TRUE(seen.errors.empty());
}

TEST_F(RawPeer, SilentPeerEndsAsATimedOutReceive) {
    session.SetReplyTimeouts(100, 60000);
    ReplyPeer silent(Port());
    ASSERT_TRUE(session.WaitFor([](auto& s) { return s.errors.size() == 1; }));
    EXPECT_EQ(session.Snapshot().errors[0], WSAETIMEDOUT);
}

TEST_F(RawPeer, TricklingPeerIsCutOffAtTheReplyDeadline) {
    session.SetReplyTimeouts(60000, 200);
    ReplyPeer trickle(Port());
    trickle.Write("ID=1\r\n");  // then nothing more, but the connection stays open
    ASSERT_TRUE(session.WaitFor([](auto& s) { return s.errors.size() == 1; }));
    EXPECT_EQ(session.Snapshot().errors[0], WSAETIMEDOUT);
}

TEST_F(RawPeer, StopEndsConnectionsThatOutstayIt) {
    ReplyPeer slow(Port());
    slow.Write("ID=1\r\nCMD=CAPTURE\r\nLEN=5000\r\n");
    while (session.Statistics().connections.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    session.Stop(0);  // the reader is waiting for 5000 body bytes that never come
    // Stop ended that connection and waited for its thread: nothing runs after it returns.
    EXPECT_EQ(session.Statistics().dropped.load() + session.Snapshot().errors.size(), 1u);
}

// Each connection's end names the id its header carried, after its other notifications: how a
// session tells its own broken replies from strangers.
TEST_F(RawPeer, EachConnectionEndCarriesItsHeaderId) {
    struct Case {
        const char* name;
        std::string bytes;
        bool reset;
        VTReplyOutcome outcome;
        bool hasId;
        const char* id;
    };
    const Case cases[] = {
        {"delivered", "ID=17\r\nCMD=STATUS\r\nLEN=30\r\nSTATE=IDLE\r\nERR=0: 0\r\nSENSOR=1", false,
         VTReplyOutcome::Delivered, true, "17"},
        {"cut short", "ID=18\r\nCMD=STATUS\r\nLEN=30\r\nSTATE=", false, VTReplyOutcome::ClosedEarly,
         true, "18"},
        {"reset", "ID=19\r\nCMD=STATUS\r\nLEN=30\r\nSTATE=", true, VTReplyOutcome::ReceiveError,
         true, "19"},
        {"garbage", "\x16\x03\x01 no header", false, VTReplyOutcome::ReceiveError, false, ""},
        {"silent", "", false, VTReplyOutcome::ReceiveError, false, ""},
    };
    size_t ended = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            ReplyPeer peer(Port());
            peer.Write(c.bytes);
            if (c.reset)
                peer.Reset();
        }
        ++ended;
        ASSERT_TRUE(session.WaitFor([&](auto& s) { return s.ends.size() == ended; }))
            << "no end reported";
        const auto seen = session.Snapshot();
        const auto& end = seen.ends.back();
        EXPECT_EQ(end.outcome, c.outcome);
        EXPECT_FALSE(end.aborted);
        EXPECT_EQ(end.hasId, c.hasId);
        EXPECT_EQ(end.id, c.id);
        if (c.reset) {
            EXPECT_EQ(end.receiveError, WSAECONNRESET);
        }
    }
    EXPECT_EQ(session.Snapshot().messages.size(), 1u);
}

}  // namespace
