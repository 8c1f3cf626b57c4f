// Protocol text of the workbench: requests, bodies, the sensor's request parser, the PC's receiver.
#include <gtest/gtest.h>

#include "core/reply_receiver.h"
#include "core/request_parser.h"
#include "core/wire.h"

namespace wirebench {
namespace {

TEST(WireText, StatusRequestHasFourLinesAndNoFinalLineEnd) {
    RequestText r{"00000000000003141592", "10.0.0.5", 1000, kCmdStatus, false, "", ""};
    EXPECT_EQ(buildRequest(r), "ID=00000000000003141592\r\nIP=10.0.0.5\r\nPORT=1000\r\nCMD=STATUS");
}

TEST(WireText, RequestTailsByCommand) {
    struct Case {
        int command;
        bool get16;
        const char* tail;
    } cases[] = {
        {kCmdCapture, false, "CMD=CAPTURE\r\nMODE=536870912"},
        {kCmdCapture, true, "CMD=CAPTURE\r\nMODE=0"},
        {kCmdGet, false, "CMD=GET\r\nMODE=536870912"},
        {kCmdGetParam, false, "CMD=GETPARAM\r\nNAME=HostIP"},
        {kCmdSetParam, false, "CMD=SETPARAM\r\nNAME=HostIP\r\nVALUE=1.2.3.4"},
        {kCmdClose, false, "CMD=CLOSE"},
    };
    for (const Case& c : cases) {
        RequestText r{"1", "localhost", 7, c.command, c.get16, "HostIP", "1.2.3.4"};
        const std::string text = buildRequest(r);
        EXPECT_EQ(text.substr(text.size() - std::string(c.tail).size()), c.tail) << c.tail;
        EXPECT_EQ(text.find('\0'), std::string::npos);
    }
}

TEST(WireText, MessageIdsAreTwentyDigitsInRange) {
    const double fraction = (3141592.0 - kMessageIdLowest) / kMessageIdSpan;
    EXPECT_EQ(messageIdFromFraction(fraction), "00000000000003141592");
    EXPECT_EQ(messageIdFromFraction(0.0), "00000000000001000000");
    EXPECT_EQ(messageIdFromFraction(0.9999999999), "00000000000010000000");
}

TEST(WireText, StatusBodyOfIdleIs31Bytes) {
    const std::string body = statusBody("IDLE", "0", "1");
    EXPECT_EQ(body, "STATE=IDLE\r\nERROR=0\r\nSENSOR=1\r\n");
    EXPECT_EQ(body.size(), 31u);
    EXPECT_EQ(replyHeader("42", "STATUS", body.size()), "ID=42\r\nCMD=STATUS\r\nLEN=31\r\n");
    EXPECT_EQ(paramBody("hostip", "1.2.3.4"), "NAME=hostip\r\nVALUE=1.2.3.4");
}

TEST(WireText, SensorParameterLookup) {
    EXPECT_EQ(sensorParamValue("hOsTiP", "10.1.1.1"), "10.1.1.1");
    EXPECT_EQ(sensorParamValue("HostID", "x"), "Wirebenchs");
    EXPECT_EQ(sensorParamValue("NETMASK", "x"), "255.255.255.0");
    EXPECT_EQ(sensorParamValue("SerialNumber", "x"), "THE_RESULT");
}

TEST(WireText, StatusAndParamRepliesFillOnlyTheirLines) {
    StatusReply s;
    s.errorNumber = 7;
    parseStatusReply("STATE=IMGRDY\r\nERR=2: 2\r\nSENSOR=2", s);
    EXPECT_EQ(s.stateText, "IMGRDY");
    EXPECT_EQ(s.stateNumber, kStateImgRdy);
    EXPECT_EQ(s.errorNumber, 7) << "ERR= is not the workbench's keyword";
    EXPECT_EQ(s.sensorNumber, 2);
    parseStatusReply("STATE=BOGUS\r\nERROR=2\r\n", s);
    EXPECT_EQ(s.stateNumber, kStateImgRdy);
    EXPECT_EQ(s.errorNumber, 2);
    ParamReply p;
    parseParamReply("NAME=HostIP\r\nVALUE=127.0.0.1", p);
    EXPECT_EQ(p.name, "HostIP");
    EXPECT_EQ(p.value, "127.0.0.1");
}

TEST(WireText, LeadingNumberReadsLikeVal) {
    EXPECT_EQ(leadingNumber(" 31xyz"), 31);
    EXPECT_EQ(leadingNumber("abc"), 0);
    EXPECT_EQ(leadingNumber("-5"), -5);
    EXPECT_EQ(leadingNumber("99999999999999999999999"), INT64_MAX);
}

std::vector<std::string> texts(std::vector<ParserLine> lines) {
    std::vector<std::string> out;
    for (auto& l : lines) {
        out.push_back(l.text);
    }
    return out;
}

TEST(RequestParser, WorkbenchRequestInOnePieceIsComplete) {
    RequestParser p;
    p.start();
    p.feed(
        "ID=00000000000001234567\r\nIP=127.0.0.1\r\nPORT=1000\r\nCMD=SETPARAM\r\nNAME=HostIP"
        "\r\nVALUE=1.2.3.4");
    EXPECT_FALSE(p.parsing());
    EXPECT_FALSE(p.failed());
    EXPECT_EQ(p.fields().id, "00000000000001234567");
    EXPECT_EQ(p.fields().returnIp, "127.0.0.1");
    EXPECT_EQ(p.fields().returnPort, 1000);
    EXPECT_EQ(p.fields().command, "SETPARAM");
    EXPECT_EQ(p.fields().paramName, "HostIP");
    EXPECT_EQ(p.fields().paramValue, "1.2.3.4");
    const auto lines = texts(p.takeLines());
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "GOT: ID=00000000000001234567");
    p.feed(std::string_view("\0", 1));  // a zero byte after a complete request is ignored
    EXPECT_FALSE(p.failed());
}

TEST(RequestParser, LinesSplitAcrossArrivalsAtTheirLineEnds) {
    RequestParser p;
    p.start();
    p.feed("ID=1\r");
    p.feed("\nIP=localhost\r\nPORT=   99\r\n");
    p.feed("CMD=CAPTURE\r\n");
    EXPECT_TRUE(p.parsing()) << "CAPTURE waits for its MODE line";
    EXPECT_EQ(p.stage(), RequestParser::kMode);
    p.feed("MODE=0\r\n");
    EXPECT_FALSE(p.parsing());
    EXPECT_EQ(p.fields().mode, "0");
    EXPECT_EQ(p.fields().returnPort, 99);
}

TEST(RequestParser, RefusedLines) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* error;
    } cases[] = {
        {"no id", "IP=1\r\n", "ERROR: Data does not start with ID="},
        {"no ip", "ID=1\r\nPORT=2\r\n", "ERROR: Data does not continue with IP="},
        {"no port", "ID=1\r\nIP=1\r\nCMD=X\r\n", "ERROR: Data does not continue with PORT="},
        {"port zero", "ID=1\r\nIP=1\r\nPORT=0\r\n", "ERROR: PORT out of range: 0"},
        {"port high", "ID=1\r\nIP=1\r\nPORT=65536\r\n", "ERROR: PORT out of range: 65536"},
        {"no cmd", "ID=1\r\nIP=1\r\nPORT=5\r\nMODE=0\r\n",
         "ERROR: Data does not continue with CMD="},
        {"no mode", "ID=1\r\nIP=1\r\nPORT=5\r\nCMD=GET\r\nNAME=a\r\n",
         "ERROR: Data does not continue with MODE="},
        {"no name", "ID=1\r\nIP=1\r\nPORT=5\r\nCMD=GETPARAM\r\nVALUE=a\r\n",
         "ERROR: Data does not continue with NAME="},
        {"no value", "ID=1\r\nIP=1\r\nPORT=5\r\nCMD=SETPARAM\r\nNAME=a\r\nVAL=1\r\n",
         "ERROR: Data does not continue with VALUE="},
        {"endless line", "ID=" + std::string(kMaxRequestLineBytes + 10, '7') + "\r\n",
         "ERROR: request line longer than 4096 bytes"},
    };
    for (const Case& c : cases) {
        RequestParser p;
        p.start();
        p.feed(c.bytes);
        EXPECT_TRUE(p.failed()) << c.name;
        const auto lines = texts(p.takeLines());
        ASSERT_FALSE(lines.empty()) << c.name;
        EXPECT_EQ(lines.back(), c.error) << c.name;
    }
}

TEST(RequestParser, UnknownCommandKeepsExpectingCmd) {
    RequestParser p;
    p.start();
    p.feed("ID=1\r\nIP=1\r\nPORT=5\r\nCMD=FOO\r\n");
    EXPECT_TRUE(p.parsing());
    EXPECT_EQ(p.stage(), RequestParser::kCmd);
    RequestFields f = p.fields();
    EXPECT_EQ(serveCommandNumber(f), kCmdNone);
    f.command = "CMD=STATUS";
    EXPECT_EQ(serveCommandNumber(f), kCmdStatus);
}

class ReceiverTest : public ::testing::Test {
protected:
    ReplyReceiver r{[](std::string_view id) { return id == "00000000000001234567" ? 0 : -1; },
                    [this](int) { return sent; }};
    std::string sent = "STATUS";
};

TEST_F(ReceiverTest, StatusReplyInAnyChunking) {
    const std::string reply =
        "ID=00000000000001234567\r\nCMD=STATUS\r\nLEN=31\r\nSTATE=IDLE\r\nERROR=0\r\nSENSOR=1\r\n";
    for (std::size_t chunk : {1u, 3u, 7u, 500u}) {
        r.start();
        int reached = 0;
        for (std::size_t at = 0; at < reply.size(); at += chunk) {
            const auto res = r.feed(std::string_view(reply).substr(at, chunk));
            EXPECT_FALSE(res.aborted);
            reached += res.reachedLen ? 1 : 0;
        }
        EXPECT_EQ(reached, 1) << chunk;
        EXPECT_TRUE(r.complete());
        EXPECT_EQ(r.body(), "STATE=IDLE\r\nERROR=0\r\nSENSOR=1\r\n");
        EXPECT_EQ(r.command(), kCmdStatus);
        EXPECT_EQ(r.row(), 0);
    }
}

TEST_F(ReceiverTest, HeaderErrors) {
    struct Case {
        const char* name;
        const char* bytes;
        const char* error;
    } cases[] = {
        {"cmd first", "CMD=STATUS\r\n", "ERROT: Data does not start with ID="},
        {"unknown id", "ID=99\r\n", "ERROR Illegal Message ID"},
        {"no cmd", "ID=00000000000001234567\r\nLEN=3\r\n",
         "ERROR: Data does not continue with CMD="},
        {"no len", "ID=00000000000001234567\r\nCMD=STATUS\r\nX\r\n",
         "ERROR: Data does not continue with LEN="},
        {"negative len", "ID=00000000000001234567\r\nCMD=STATUS\r\nLEN=-4\r\n",
         "ERROR: LEN out of range (0 to 167772160): -4"},
        {"huge len", "ID=00000000000001234567\r\nCMD=STATUS\r\nLEN=99999999999\r\n",
         "ERROR: LEN out of range (0 to 167772160): 99999999999"},
    };
    for (const Case& c : cases) {
        r.start();
        const auto res = r.feed(c.bytes);
        EXPECT_TRUE(res.aborted) << c.name;
        const auto lines = texts(r.takeLines());
        ASSERT_FALSE(lines.empty()) << c.name;
        EXPECT_EQ(lines.back(), c.error) << c.name;
    }
    r.start();
    const auto res = r.feed(std::string(kMaxReplyLineBytes + 5, 'x'));
    EXPECT_TRUE(res.aborted);
    EXPECT_LE(res.consumed, kMaxReplyLineBytes + 1);
}

TEST_F(ReceiverTest, ShortCaptureIsReadAsStatusAndWrongCommandWarns) {
    r.start();
    r.feed("ID=00000000000001234567\r\nCMD=CAPTURE\r\nLEN=60\r\n");
    const auto lines = texts(r.takeLines());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "WARING wrong command (we sent: STATUS and got: CAPTURE)"),
              lines.end());
    EXPECT_EQ(lines.back(), "WARNING: Binary data < 100 bytes, expecting STATUS now");
    EXPECT_EQ(r.command(), kCmdStatus);
    EXPECT_EQ(r.expected(), 60);
}

TEST_F(ReceiverTest, BytesBeyondLenAreCappedAndReported) {
    r.start();
    auto res = r.feed("ID=00000000000001234567\r\nCMD=STATUS\r\nLEN=4\r\nABCDEFG");
    EXPECT_TRUE(res.reachedLen);
    EXPECT_EQ(r.body(), "ABCD");
    EXPECT_EQ(r.excess(), 3);
    EXPECT_EQ(texts(r.takeLines()).back(), "WARNING: 3 bytes beyond LEN ignored");
    res = r.feed("HI");
    EXPECT_FALSE(res.reachedLen) << "the end of the body is reported once";
    EXPECT_EQ(r.body(), "ABCD");
}

TEST_F(ReceiverTest, LineEndNeedsCrThenLf) {
    r.start();
    // A lone LF before the CR does not end the line; the line keeps the characters.
    r.feed("ID=00000000000001234567\n\r\n");
    EXPECT_TRUE(r.aborted());
    EXPECT_EQ(texts(r.takeLines()).back(), "ERROR Illegal Message ID");
}

}  // namespace
}  // namespace wirebench
