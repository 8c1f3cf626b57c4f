// Tests of vanta's pure pieces: argument parsing, JSON escaping and reply formatting.
#include <gtest/gtest.h>

#include "cli.h"
#include "json_reader.h"

#include <string>
#include <vector>

using namespace vanta;

namespace {

ParseResult Parse(std::vector<std::string> args) {
    return ParseArguments(args);
}

TEST(VantaArguments, GlobalOptionsOnEitherSideOfTheCommand) {
    auto r = Parse({"--unit", "127.0.0.1:5104", "--json", "capture", "--mode", "preview", "--out",
                    "x.bmp", "--timeout=0.25", "--local-ip=127.0.0.2", "--local-port", "0"});
    ASSERT_TRUE(r.ok()) << r.error;
    const Options& o = r.options;
    EXPECT_EQ(o.command->id, CommandId::Capture);
    EXPECT_EQ(o.unitHost, "127.0.0.1");
    EXPECT_EQ(o.unitPort, 5104);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.mode, ImagePreviewMode);
    EXPECT_EQ(o.outPath, "x.bmp");
    EXPECT_DOUBLE_EQ(o.TimeoutSeconds(), 0.25);
    EXPECT_EQ(o.localIp, "127.0.0.2");
}

TEST(VantaArguments, DefaultsAreTheProductsAndTheCommandsTimeOut) {
    auto status = Parse({"status"});
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(status.options.unitHost, "192.168.100.190");
    EXPECT_EQ(status.options.unitPort, 104);
    EXPECT_FALSE(status.options.localIp);
    EXPECT_EQ(status.options.localPort, 0);
    EXPECT_DOUBLE_EQ(status.options.TimeoutSeconds(), kDefaultReplyTimeoutSeconds);
    auto capture = Parse({"capture"});
    ASSERT_TRUE(capture.ok());
    EXPECT_EQ(capture.options.mode, Image16bitMode);
    EXPECT_DOUBLE_EQ(capture.options.TimeoutSeconds(), kDefaultCaptureTimeoutSeconds);
    EXPECT_EQ(Parse({"get", "--mode", "8"}).options.mode, Image8bitMode);
}

TEST(VantaArguments, ValuesThatLookLikeOptions) {
    auto negative = Parse({"setparam", "AFEOffset", "-5"});
    ASSERT_TRUE(negative.ok()) << negative.error;
    EXPECT_EQ(negative.options.arguments, (std::vector<std::string>{"AFEOffset", "-5"}));
    auto dashed = Parse({"setparam", "--", "HostID", "--x"});
    ASSERT_TRUE(dashed.ok()) << dashed.error;
    EXPECT_EQ(dashed.options.arguments, (std::vector<std::string>{"HostID", "--x"}));
    auto empty = Parse({"setparam", "HostID", ""});
    EXPECT_TRUE(empty.ok()) << empty.error;
}

TEST(VantaArguments, UsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"status", "extra"},
        {"getparam"},
        {"getparam", ""},
        {"setparam", "A"},
        {"setparam", "A\r\nCMD=RESET", "1"},
        {"--unit", "127.0.0.1:0", "status"},
        {"--unit", "127.0.0.1:70000", "status"},
        {"--unit", ":104", "status"},
        {"--unit"},
        {"--local-port", "x", "status"},
        {"--timeout", "0", "status"},
        {"--timeout", "-1", "status"},
        {"--timeout", "nan", "status"},
        {"--timeout", "5s", "status"},
        {"status", "--mode", "8"},
        {"capture", "--mode", "12"},
        {"capture", "--out"},
        {"--json=yes", "status"},
        {"--bogus", "status"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c)
            line += "[" + a + "] ";
        EXPECT_FALSE(Parse(c).ok()) << line;
    }
}

TEST(VantaArguments, HelpNamesEveryCommandAndTheOverride) {
    auto r = Parse({"--help"});
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.options.help);
    const std::string help = HelpText();
    for (const auto& c : Commands())
        EXPECT_NE(help.find("  " + std::string(c.name)), std::string::npos) << c.name;
    EXPECT_NE(help.find("--unit 127.0.0.1:PORT"), std::string::npos);
    EXPECT_NE(help.find("CLOSE"), std::string::npos);
}

TEST(VantaJson, EscapedTextReadsBackUnchanged) {
    std::string hostile = "quote\" back\\slash \r\n\t\b\f";
    hostile += '\0';
    hostile += "\x01\x1f\x7f\x80\xe9\xff end";
    const std::string document = "{\"v\":\"" + JsonEscape(hostile) + "\"}";
    for (unsigned char c : document)
        EXPECT_TRUE(c >= 0x20 && c < 0x7f) << static_cast<int>(c);
    EXPECT_EQ(json_test::Parse(document)["v"].text, hostile);
}

TEST(VantaJson, MessageObjectHasTheMessageFieldsInLowerCase) {
    const std::string body = "STATE=NOT\"RDY\r\nERR=2: 1\r\nSENSOR=3";
    VTRecvCommand m("42", "STATUS", static_cast<int32_t>(body.size()));
    m.AddData(body.data(), static_cast<int32_t>(body.size()));
    const auto v = json_test::Parse(MessageJson(m));
    EXPECT_EQ(v.members.size(), 9u);
    EXPECT_EQ(v["id"].text, "42");
    EXPECT_EQ(v["command"].text, "STATUS");
    EXPECT_EQ(v["length"].number, static_cast<double>(body.size()));
    EXPECT_EQ(v["valid"].kind, json_test::Value::Bool);
    EXPECT_FALSE(v["valid"].boolean);
    EXPECT_EQ(v["error"].text, "2: 1");
    EXPECT_EQ(v["sensor"].number, 3);
    EXPECT_EQ(v["state"].text, "NOT\"RDY");
    EXPECT_EQ(v["name"].text, "");
    EXPECT_EQ(v["value"].text, "");
}

TEST(VantaFields, UnitTextCannotDriveTheTerminal) {
    const std::string body = "NAME=HostID\r\nVALUE=\x1b[2Jgone";
    VTRecvCommand m("7", "GETPARAM", static_cast<int32_t>(body.size()));
    m.AddData(body.data(), static_cast<int32_t>(body.size()));
    const std::string text = MessageFields(m);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("value    \\x1B[2Jgone\n"), std::string::npos) << text;
    EXPECT_NE(text.find("name     HostID\n"), std::string::npos) << text;
}

TEST(VantaProgress, BarIsBoundedAndProportional) {
    EXPECT_EQ(ProgressBar(0, 200, 10), "[..........]   0%  0/200 bytes");
    EXPECT_EQ(ProgressBar(100, 200, 10), "[#####.....]  50%  100/200 bytes");
    EXPECT_EQ(ProgressBar(500, 200, 10), "[##########] 100%  200/200 bytes");
    EXPECT_EQ(ProgressBar(0, 0, 4), "[####] 100%  0/0 bytes");
}

TEST(VantaTables, ParameterNamesAreDistinctAndCommandsFindable) {
    EXPECT_EQ(KnownParameters().size(), 31u);
    for (size_t i = 0; i < KnownParameters().size(); ++i)
        for (size_t j = i + 1; j < KnownParameters().size(); ++j)
            EXPECT_NE(KnownParameters()[i].name, KnownParameters()[j].name);
    for (const auto& c : Commands())
        EXPECT_EQ(FindCommand(c.name), &c);
    EXPECT_EQ(FindCommand("STATUS"), nullptr);
}

}  // namespace
