// Pure tests of the unit's wire text: lenient request parsing, reply framing, bodies, escaping.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "unitsim/wire.h"

using namespace unitsim;
using namespace std::string_literals;

namespace {

struct ParseCase {
    const char* what;
    std::string bytes;
    // expected fields when the request is usable
    std::string id, ip, command, mode;
    int port;
    std::optional<std::string> name, value;
};

// Keeps the test names that CTest shows readable and stable.
void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.what;
}

class unitsimRequestParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(unitsimRequestParse, TakesFieldsApart) {
    const ParseCase& c = GetParam();
    SCOPED_TRACE(c.what);
    const ParsedRequest parsed = parseRequest(c.bytes);
    ASSERT_TRUE(parsed.request) << parsed.error;
    const Request& r = *parsed.request;
    EXPECT_EQ(r.id, c.id);
    EXPECT_EQ(r.ip, c.ip);
    EXPECT_EQ(r.port, c.port);
    EXPECT_EQ(r.command, c.command);
    EXPECT_EQ(r.mode, c.mode);
    EXPECT_EQ(r.name, c.name);
    EXPECT_EQ(r.value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, unitsimRequestParse,
    ::testing::Values(
        ParseCase{
            "status", "ID=1804289383846930886\r\nIP=127.0.0.1\r\nPORT=3000\r\nCMD=STATUS\r\n\0"s,
            "1804289383846930886", "127.0.0.1", "STATUS", "", 3000, std::nullopt, std::nullopt},
        ParseCase{"port below 1000 is right-aligned in four characters",
                  "ID=7\r\nIP=127.0.0.1\r\nPORT=  80\r\nCMD=CLOSE\r\n\0"s, "7", "127.0.0.1",
                  "CLOSE", "", 80, std::nullopt, std::nullopt},
        ParseCase{"capture with mode",
                  "ID=7\r\nIP=127.0.0.2\r\nPORT=1000\r\nCMD=CAPTURE\r\nMODE=536870912\r\n\0"s, "7",
                  "127.0.0.2", "CAPTURE", "536870912", 1000, std::nullopt, std::nullopt},
        ParseCase{
            "setparam keeps the value exactly, blanks included",
            "ID=7\r\nIP=127.0.0.1\r\nPORT=1000\r\nCMD=SETPARAM\r\nNAME=HostID\r\nVAL= a b \r\n\0"s,
            "7", "127.0.0.1", "SETPARAM", "", 1000, "HostID", " a b "},
        ParseCase{"empty value is a value",
                  "ID=7\r\nIP=127.0.0.1\r\nPORT=1000\r\nCMD=SETPARAM\r\nNAME=HostID\r\nVAL=\r\n\0"s,
                  "7", "127.0.0.1", "SETPARAM", "", 1000, "HostID", ""},
        ParseCase{"peer closed without the zero byte",
                  "ID=7\r\nIP=127.0.0.1\r\nPORT=1000\r\nCMD=GETPARAM\r\nNAME=CCDSizeX\r\n"s, "7",
                  "127.0.0.1", "GETPARAM", "", 1000, "CCDSizeX", std::nullopt},
        ParseCase{"bare LF, blanks around keys, lower-case keys, last line unterminated",
                  "id = 9\nip= 127.0.0.1 \n Port =1000\ncmd=STATUS"s, "9", "127.0.0.1", "STATUS",
                  "", 1000, std::nullopt, std::nullopt},
        ParseCase{"bytes after the zero byte belong to nobody",
                  "ID=7\r\nIP=127.0.0.1\r\nPORT=1000\r\nCMD=STATUS\r\n\0CMD=RESET\r\n"s, "7",
                  "127.0.0.1", "STATUS", "", 1000, std::nullopt, std::nullopt},
        ParseCase{"unknown keys and lines without '=' are skipped",
                  "ID=7\r\nnoise\r\nX=1\r\nIP=127.0.0.1\r\nPORT=1000\r\nCMD=STATUS\r\n\0"s, "7",
                  "127.0.0.1", "STATUS", "", 1000, std::nullopt, std::nullopt},
        ParseCase{"a request without ID is still answerable",
                  "IP=127.0.0.1\r\nPORT=1000\r\nCMD=STATUS\r\n\0"s, "", "127.0.0.1", "STATUS", "",
                  1000, std::nullopt, std::nullopt}),
    [](const auto& test) {
        // "port below 1000 ..." -> "PortBelow1000...": test names must be identifiers.
        std::string name;
        bool upper = true;
        for (const char* p = test.param.what; *p != '\0'; ++p) {
            if (std::isalnum(static_cast<unsigned char>(*p))) {
                name +=
                    upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*p))) : *p;
                upper = false;
            } else {
                upper = true;
            }
        }
        return name;
    });

TEST(unitsimRequestParseErrors, RefusesWhatCannotBeAnswered) {
    const std::string head = "ID=7\r\n";
    for (const std::string& bytes : {
             head + "IP=127.0.0.1\r\nPORT=1000\r\n\0"s,                   // no CMD
             head + "PORT=1000\r\nCMD=STATUS\r\n\0"s,                     // no IP
             head + "IP=127.0.0.1\r\nCMD=STATUS\r\n\0"s,                  // no PORT
             head + "IP=unit.example\r\nPORT=1000\r\nCMD=STATUS\r\n\0"s,  // not dotted
             head + "IP=127.0.0.1\r\nPORT=0\r\nCMD=STATUS\r\n\0"s,
             head + "IP=127.0.0.1\r\nPORT=65536\r\nCMD=STATUS\r\n\0"s,
             head + "IP=127.0.0.1\r\nPORT=10a\r\nCMD=STATUS\r\n\0"s,
             "\0ID=7\r\nIP=127.0.0.1\r\nPORT=1000\r\nCMD=STATUS\r\n"s,  // empty before the zero
             ""s,
         }) {
        const ParsedRequest parsed = parseRequest(bytes);
        EXPECT_FALSE(parsed.request) << escapeBytes(bytes);
        EXPECT_FALSE(parsed.error.empty());
    }
}

TEST(unitsimPictureMode, ReadsTheThreeModesAndRefusesOtherBits) {
    EXPECT_EQ(pictureModeFromText(""), PictureMode::Gray16);
    EXPECT_EQ(pictureModeFromText("0"), PictureMode::Gray16);
    EXPECT_EQ(pictureModeFromText("536870912"), PictureMode::Gray8);
    EXPECT_EQ(pictureModeFromText("1073741824"), PictureMode::Preview);
    EXPECT_EQ(pictureModeFromText("1610612736"), PictureMode::Preview);  // bits 29 and 30
    EXPECT_EQ(pictureModeFromText("3"), std::nullopt);
    EXPECT_EQ(pictureModeFromText("-1"), std::nullopt);
    EXPECT_EQ(pictureModeFromText("8bit"), std::nullopt);
    EXPECT_EQ(pictureModeFromText("99999999999"), std::nullopt);
}

TEST(unitsimReplyText, StatusReplyIsFramedByteForByte) {
    EXPECT_EQ(formatReply("17", "STATUS", statusBody(UnitState::Idle, errors::kNone, 1)),
              "ID=17\r\nCMD=STATUS\r\nLEN=30\r\nSTATE=IDLE\r\nERR=0: 0\r\nSENSOR=1");
    EXPECT_EQ(statusBody(UnitState::WaitXray, "2: 1", -1),
              "STATE=WAITXRAY\r\nERR=2: 1\r\nSENSOR=-1");
    EXPECT_EQ(formatReply("5", "GETPARAM", parameterBody("Gain", "12")),
              "ID=5\r\nCMD=GETPARAM\r\nLEN=19\r\nNAME=Gain\r\nVALUE=12");
    EXPECT_EQ(formatReply("5", "CLOSE", ""), "ID=5\r\nCMD=CLOSE\r\nLEN=0\r\n");
}

TEST(unitsimReplyText, EveryStateHasItsWord) {
    for (auto [state, word] : {std::pair{UnitState::Idle, "IDLE"},
                               {UnitState::WaitXray, "WAITXRAY"},
                               {UnitState::Processing, "PROCESSING"},
                               {UnitState::ImageReady, "IMGRDY"},
                               {UnitState::NotReady, "NOTRDY"}}) {
        EXPECT_EQ(stateText(state), word);
        EXPECT_EQ(stateFromText(word), state);
    }
    EXPECT_EQ(stateFromText("imgrdy"), UnitState::ImageReady);
    EXPECT_EQ(stateFromText("CLEAR"), std::nullopt);
}

TEST(unitsimReplyText, RefusalTextsAreInvalidForTheComputer) {
    // The computer marks a reply not valid exactly when its error text contains a "2".
    for (std::string_view text :
         {errors::kNotIdle, errors::kNoImage, errors::kUnknownParameter, errors::kReadOnlyParameter,
          errors::kBadValue, errors::kBadMode, errors::kUnknownCommand, errors::kExposureTimeout,
          errors::kSensorFault}) {
        EXPECT_NE(text.find('2'), std::string_view::npos) << text;
    }
    EXPECT_EQ(errors::kNone.find('2'), std::string_view::npos);
}

TEST(unitsimEscape, ShowsLineEndsZeroBytesAndBinary) {
    EXPECT_EQ(escapeBytes("ID=1\r\n\0\x01\xff\\"s), "ID=1\\r\\n\\0\\x01\\xFF\\\\");
}

// The legacy capture library ends its requests without a line end and without a zero byte.
TEST(unitsimRequestParse, LegacyTextWithoutFinalLineEndOrZeroByte) {
    const ParsedRequest status = parseRequest("ID=5\r\nIP=127.0.0.1\r\nPORT=4000\r\nCMD=STATUS");
    ASSERT_TRUE(status.request) << status.error;
    EXPECT_EQ(status.request->id, "5");
    EXPECT_EQ(status.request->port, 4000);
    EXPECT_EQ(status.request->command, "STATUS");
    const ParsedRequest capture =
        parseRequest("ID=5\r\nIP=127.0.0.1\r\nPORT=4000\r\nCMD=CAPTURE\r\nMODE=536870912");
    ASSERT_TRUE(capture.request) << capture.error;
    EXPECT_EQ(capture.request->command, "CAPTURE");
    EXPECT_EQ(capture.request->mode, "536870912");
}

}  // namespace
