// Pure tests of the unit's parameter table: the names the tools ask for, defaults, SETPARAM checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unitsim/parameters.h"
#include "unitsim/wire.h"

using namespace unitsim;

namespace {

TEST(unitsimParameters, KnowsEveryNameTheToolsUse) {
    // The configuration tools' list, in their order, followed by the Ethernet tool's extra row.
    const std::vector<std::string> toolNames{"AFEOffset",
                                             "AFEGain",
                                             "CCD_ID",
                                             "CCDSizeX",
                                             "CCDSizeY",
                                             "CCDBinnedRows",
                                             "CCDBinnedPixels",
                                             "EnableAutoGain",
                                             "EthernetAddr",
                                             "ExposureThreshold",
                                             "FrMemStatus",
                                             "FrMemMaxBlocks",
                                             "FrMemNumBlocks",
                                             "FrMemNumBytes",
                                             "FrMemMinValue",
                                             "FrMemMaxValue",
                                             "FrMemGain",
                                             "FrMemNewMin",
                                             "Gateway",
                                             "HardwareVersion",
                                             "HostIP",
                                             "HostID",
                                             "LeftNoiseThreshold",
                                             "NetMask",
                                             "MaxIntegrationTime",
                                             "PreviewZoom",
                                             "PreviewPixels",
                                             "PreviewLines",
                                             "RightNoiseThreshold",
                                             "SerialNumber",
                                             "XRayTimeout"};
    std::vector<std::string> specNames;
    for (const auto& spec : parameterSpecs()) {
        specNames.emplace_back(spec.name);
    }
    EXPECT_EQ(specNames, toolNames);

    // The workbench's list, spelled as it stores them (note "FrmemNumBytes").
    const ParameterTable table(UnitIdentity{});
    for (const char* name : {"AFEGain",
                             "AFEOffset",
                             "CCD_ID",
                             "CCDBinnedPixels",
                             "CCDBinnedRows",
                             "CCDSizeX",
                             "CCDSizeY",
                             "EnableAutoGain",
                             "EthernetAddr",
                             "ExposureThreshold",
                             "FrMemGain",
                             "FrMemMaxBlocks",
                             "FrMemMaxValue",
                             "FrMemMinValue",
                             "FrMemNewMin",
                             "FrMemNumBlocks",
                             "FrmemNumBytes",
                             "FrMemStatus",
                             "HardwareVersion",
                             "HostID",
                             "HostIP",
                             "LeftNoiseThreshold",
                             "MaxIntegrationTime",
                             "NetMask",
                             "RightNoiseThreshold",
                             "SerialNumber",
                             "XRayTimeout"}) {
        const auto value = table.get(name);
        ASSERT_TRUE(value) << name;
        EXPECT_FALSE(value->empty()) << name;
    }
    EXPECT_FALSE(table.get("Gain"));
    EXPECT_FALSE(table.get(""));
}

TEST(unitsimParameters, DefaultsMatchTheSensorAndWhereTheUnitListens) {
    const ParameterTable loop(UnitIdentity{"127.0.0.1", 684, 456});
    EXPECT_EQ(loop.get("CCDSizeX"), "684");
    EXPECT_EQ(loop.get("CCDSizeY"), "456");
    EXPECT_EQ(loop.get("PreviewPixels"), "342");
    EXPECT_EQ(loop.get("PreviewLines"), "228");
    EXPECT_EQ(loop.get("XRayTimeout"), "30");
    EXPECT_EQ(loop.get("HostIP"), "127.0.0.1");
    EXPECT_EQ(loop.get("NetMask"), "255.0.0.0");
    EXPECT_EQ(loop.get("EthernetAddr"), "02:00:7F:00:00:01");

    // Only text is derived here; nothing connects anywhere.
    const ParameterTable lan(UnitIdentity{"192.168.100.190", 1000, 800});
    EXPECT_EQ(lan.get("HostIP"), "192.168.100.190");
    EXPECT_EQ(lan.get("NetMask"), "255.255.255.0");
    EXPECT_EQ(lan.get("Gateway"), "192.168.100.1");
    EXPECT_EQ(lan.get("CCDSizeX"), "1000");
    EXPECT_EQ(lan.get("PreviewLines"), "400");
}

struct SetCase {
    const char* name;
    const char* value;
    SetOutcome outcome;
    const char* stored;  // value read back afterwards
};

void PrintTo(const SetCase& c, std::ostream* os) {
    *os << c.name << "=" << escapeBytes(c.value);
}

class unitsimParameterSet : public ::testing::TestWithParam<SetCase> {};

TEST_P(unitsimParameterSet, StoresOrRefuses) {
    const SetCase& c = GetParam();
    ParameterTable table(UnitIdentity{});
    EXPECT_EQ(table.set(c.name, c.value), c.outcome);
    if (c.stored != nullptr) {
        EXPECT_EQ(table.get(c.name), c.stored);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, unitsimParameterSet,
    ::testing::Values(SetCase{"XRayTimeout", "35", SetOutcome::Stored, "35"},
                      SetCase{"xraytimeout", " +7 ", SetOutcome::Stored, "7"},
                      SetCase{"XRayTimeout", "0", SetOutcome::Stored, "0"},
                      SetCase{"XRayTimeout", "3601", SetOutcome::BadValue, "30"},
                      SetCase{"XRayTimeout", "-1", SetOutcome::BadValue, "30"},
                      SetCase{"AFEGain", "12abc", SetOutcome::BadValue, "12"},
                      SetCase{"AFEGain", "", SetOutcome::BadValue, "12"},
                      SetCase{"HostID", "", SetOutcome::Stored, ""},
                      SetCase{"HostID", "Room 3 unit", SetOutcome::Stored, "Room 3 unit"},
                      SetCase{"HostID", "two\r\nlines", SetOutcome::BadValue, "VANTASIM"},
                      SetCase{"NetMask", "255.255.0.0", SetOutcome::Stored, "255.255.0.0"},
                      SetCase{"HostIP", "unit.example", SetOutcome::BadValue, "127.0.0.1"},
                      SetCase{"Gateway", "127.0.0.9", SetOutcome::Stored, "127.0.0.9"},
                      SetCase{"CCDSizeX", "1000", SetOutcome::ReadOnly, "684"},
                      SetCase{"SerialNumber", "X", SetOutcome::ReadOnly, "VS-000001"},
                      SetCase{"Gain", "1", SetOutcome::UnknownName, nullptr}),
    [](const auto& test) { return std::string(test.param.name) + std::to_string(test.index); });

}  // namespace
