// Reply framing over scripted chunks: header lines, body, notifications and failures.
#include <vantaproto/VTReplyReader.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int kClose = 0;
constexpr int kFail = -1;

// One scripted connection: chunks of bytes, then an orderly close or a failure.
struct Script {
    std::vector<std::string> chunks;
    int end = kClose;
};

struct Recorded : VTReplySink {
    std::vector<VTRecvCommand> messages;
    std::vector<int32_t> started, progress, errors;
    void OnMessage(const VTRecvCommand& m) override { messages.push_back(m); }
    void OnDownloadStarted(int32_t n) override { started.push_back(n); }
    void OnDownloadProgress(int32_t n) override { progress.push_back(n); }
    void OnReceiveError(int32_t code) override { errors.push_back(code); }
};

VTReplyOutcome ReadScript(const Script& script, Recorded& sink, VTReplyReader* reused = nullptr) {
    size_t next = 0;
    size_t offset = 0;  // into the current chunk
    auto receive = [&](char* buffer, int room) -> int {
        while (next < script.chunks.size() && offset == script.chunks[next].size()) {
            ++next;
            offset = 0;
        }
        if (next == script.chunks.size())
            return script.end;
        const std::string& chunk = script.chunks[next];
        size_t n = std::min(static_cast<size_t>(room), chunk.size() - offset);
        chunk.copy(buffer, n, offset);
        offset += n;
        return static_cast<int>(n);
    };
    std::vector<char> buffer(VTReplyReader::kBufferBytes);
    VTReplyReader reader(receive, [] { return int32_t{10054}; });
    const VTReplyOutcome outcome = reader.Read(buffer.data(), sink);
    if (reused)
        *reused = reader;
    return outcome;
}

const std::string kStatusReply =
    "ID=17\r\nCMD=STATUS\r\nLEN=30\r\nSTATE=IDLE\r\nERR=0: 0\r\nSENSOR=1";

TEST(ReplyReader, AStatusReplyInOneChunk) {
    Recorded sink;
    ASSERT_EQ(ReadScript({{kStatusReply}}, sink), VTReplyOutcome::Delivered);
    ASSERT_EQ(sink.messages.size(), 1u);
    const VTRecvCommand& m = sink.messages[0];
    EXPECT_EQ(m.Id(), "17");
    EXPECT_EQ(m.Command(), "STATUS");
    EXPECT_EQ(m.State(), "IDLE");
    EXPECT_EQ(m.Error(), "0: 0");
    EXPECT_EQ(m.Sensor(), 1);
    EXPECT_EQ(m.Valid(), 1);
    EXPECT_TRUE(sink.started.empty() && sink.progress.empty() && sink.errors.empty());
}

TEST(ReplyReader, EverySplitOfTheStreamGivesTheSameMessage) {
    // Includes splits between CR and LF, which must still end a header line.
    for (size_t a = 1; a < kStatusReply.size(); ++a) {
        Recorded sink;
        Script script{{kStatusReply.substr(0, a), kStatusReply.substr(a)}};
        ASSERT_EQ(ReadScript(script, sink), VTReplyOutcome::Delivered) << "split at " << a;
        EXPECT_EQ(sink.messages.at(0).State(), "IDLE");
    }
    Script trickle;
    for (char c : kStatusReply)
        trickle.chunks.push_back(std::string(1, c));
    Recorded sink;
    EXPECT_EQ(ReadScript(trickle, sink), VTReplyOutcome::Delivered);
}

TEST(ReplyReader, DownloadNotificationsOnlyAbove243BytesAndOnlyWhenSplit) {
    const std::string h100 = "ID=1\r\nCMD=RESET\r\nLEN=100\r\n";
    const std::string h300 = "ID=1\r\nCMD=RESET\r\nLEN=300\r\n";
    {
        Recorded sink;
        ASSERT_EQ(ReadScript({{h100 + std::string(40, 'a'), std::string(60, 'b')}}, sink),
                  VTReplyOutcome::Delivered);
        EXPECT_TRUE(sink.started.empty());
        EXPECT_TRUE(sink.progress.empty());
    }
    {
        Recorded sink;
        ASSERT_EQ(ReadScript(
                      {{h300 + std::string(100, 'a'), std::string(150, 'b'), std::string(50, 'c')}},
                      sink),
                  VTReplyOutcome::Delivered);
        EXPECT_EQ(sink.started, std::vector<int32_t>{300});
        EXPECT_EQ(sink.progress, (std::vector<int32_t>{150, 50}));
        EXPECT_EQ(std::string(sink.messages.at(0).Data(), 300),
                  std::string(100, 'a') + std::string(150, 'b') + std::string(50, 'c'));
    }
    {
        Recorded sink;
        ASSERT_EQ(ReadScript({{h300 + std::string(300, 'a')}}, sink), VTReplyOutcome::Delivered);
        EXPECT_TRUE(sink.started.empty());
    }
}

TEST(ReplyReader, BodiesLargerThanTheBufferArriveInFullChunks) {
    const int32_t length = 4 * 1024 * 1024;
    std::string body(static_cast<size_t>(length), '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    const std::string header = "ID=9\r\nCMD=CAPTURE\r\nLEN=" + std::to_string(length) + "\r\n";
    Recorded sink;
    ASSERT_EQ(ReadScript({{header + body}}, sink), VTReplyOutcome::Delivered);
    EXPECT_EQ(std::string(sink.messages.at(0).Data(), body.size()), body);
    EXPECT_EQ(sink.messages[0].State(), "");
    int32_t total = 0;
    for (int32_t n : sink.progress) {
        EXPECT_LE(n, VTReplyReader::kReceiveBytes);
        total += n;
    }
    // The first body bytes came in the header's receive.
    EXPECT_EQ(total + VTReplyReader::kReceiveBytes - static_cast<int32_t>(header.size()), length);
}

TEST(ReplyReader, FailuresAndDroppedReplies) {
    struct Case {
        const char* what;
        Script script;
        VTReplyOutcome outcome;
        size_t errors;
    };
    const std::vector<Case> cases = {
        {"nothing sent", {{}, kClose}, VTReplyOutcome::ReceiveError, 1},
        {"one line then close", {{"ID=1\r\nCMD=STA"}, kClose}, VTReplyOutcome::ReceiveError, 1},
        {"two lines then close",
         {{"ID=1\r\nCMD=STATUS\r\nLEN=3"}, kClose},
         VTReplyOutcome::NoThirdLine,
         0},
        {"two lines then failure",
         {{"ID=1\r\nCMD=STATUS\r\n"}, kFail},
         VTReplyOutcome::ReceiveError,
         1},
        {"unknown key", {{"ID=1\r\nCMD=STATUS\r\nLENGTH=0\r\n"}}, VTReplyOutcome::BrokenHeader, 0},
        {"line without =", {{"ID=1\r\nCMD\r\nLEN=0\r\n"}}, VTReplyOutcome::BrokenHeader, 0},
        {"negative length", {{"ID=1\r\nCMD=GET\r\nLEN=-5\r\n"}}, VTReplyOutcome::BrokenHeader, 0},
        {"huge length",
         {{"ID=1\r\nCMD=GET\r\nLEN=2000000000\r\n"}},
         VTReplyOutcome::BrokenHeader,
         0},
        {"early close",
         {{"ID=1\r\nCMD=STATUS\r\nLEN=30\r\nSTATE="}, kClose},
         VTReplyOutcome::ClosedEarly,
         0},
        {"failure in body",
         {{"ID=1\r\nCMD=STATUS\r\nLEN=30\r\nSTATE="}, kFail},
         VTReplyOutcome::ReceiveError,
         1},
        {"no line ends in 9999 bytes",
         {{std::string(12000, 'x')}},
         VTReplyOutcome::ReceiveError,
         1},
    };
    for (const auto& c : cases) {
        Recorded sink;
        EXPECT_EQ(ReadScript(c.script, sink), c.outcome) << c.what;
        EXPECT_TRUE(sink.messages.empty()) << c.what;
        EXPECT_EQ(sink.errors.size(), c.errors) << c.what;
        if (c.errors) {
            EXPECT_EQ(sink.errors[0], 10054) << c.what;
        }
    }
}

TEST(ReplyReader, BytesBeyondTheDeclaredLengthAreIgnored) {
    Recorded sink;
    ASSERT_EQ(ReadScript({{"ID=1\r\nCMD=CLOSE\r\nLEN=4\r\nabcdEXTRA", "MORE"}}, sink),
              VTReplyOutcome::Delivered);
    EXPECT_EQ(sink.messages.at(0).Received(), 4);
    EXPECT_EQ(std::string(sink.messages[0].Data(), 4), "abcd");

    Recorded empty;
    ASSERT_EQ(ReadScript({{"CMD=STATUS\r\nLEN=0\r\nCMD=RESET\r\n"}}, empty),
              VTReplyOutcome::Delivered);
    EXPECT_EQ(empty.messages.at(0).Id(), "00000000000000000000");
    EXPECT_EQ(empty.messages[0].Command(), "RESET");
}

// The id a connection's header carried, whatever became of the reply: a session tells its own
// broken replies from strangers by it.
TEST(ReplyReader, ReportsTheHeaderIdHoweverTheConnectionEnded) {
    struct Case {
        const char* name;
        Script script;
        VTReplyOutcome outcome;
        bool hasId;
        const char* id;
    };
    const Case cases[] = {
        {"delivered", {{kStatusReply}}, VTReplyOutcome::Delivered, true, "17"},
        {"body cut short",
         {{"ID=17\r\nCMD=STATUS\r\nLEN=30\r\nSTATE"}},
         VTReplyOutcome::ClosedEarly,
         true,
         "17"},
        {"refused line after the id",
         {{"ID=5\r\nCMD=STATUS\r\nLEN=-1\r\n"}},
         VTReplyOutcome::BrokenHeader,
         true,
         "5"},
        {"garbage", {{"\x16\x03\x01 no lines"}}, VTReplyOutcome::ReceiveError, false, ""},
        {"silence", {{}}, VTReplyOutcome::ReceiveError, false, ""},
        {"no id line",
         {{"CMD=STATUS\r\nLEN=0\r\nCMD=STATUS\r\n"}},
         VTReplyOutcome::Delivered,
         false,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorded sink;
        VTReplyReader reader(nullptr, nullptr);
        EXPECT_EQ(ReadScript(c.script, sink, &reader), c.outcome);
        EXPECT_EQ(reader.HeaderHasId(), c.hasId);
        EXPECT_EQ(reader.HeaderId(), c.id);
    }
}

}  // namespace
