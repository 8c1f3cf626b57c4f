// zephcapture end to end: the program captures from the virtual unit through the library and
// leaves a PNG holding the unit's picture.
#include <unitsim/virtual_unit.h>

#include "test_support.h"

#include <png.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Png {
    unsigned width = 0, height = 0;
    int bitDepth = 0, colourType = -1;
    std::vector<uint16_t> samples;
};

// libpng reports errors by long jump, so nothing here owns a resource.
bool ReadRows(png_structp png, png_infop info, FILE* file, Png& result) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_init_io(png, file);
    png_read_info(png, info);
    result.width = png_get_image_width(png, info);
    result.height = png_get_image_height(png, info);
    result.bitDepth = png_get_bit_depth(png, info);
    result.colourType = png_get_color_type(png, info);
    std::vector<png_byte> row(png_get_rowbytes(png, info));
    for (unsigned y = 0; y < result.height; ++y) {
        png_read_row(png, row.data(), nullptr);
        for (size_t x = 0; x + 1 < row.size(); x += 2)
            result.samples.push_back(static_cast<uint16_t>(row[x] << 8 | row[x + 1]));
    }
    return true;
}

Png ReadPng(const fs::path& path) {
    Png result;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return result;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (!ReadRows(png, info, file, result))
        result = Png{};
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return result;
}

// zephcapture unloads the library before it exits; the protocol library's deliberately immortal
// locks then read as leaks to the leak checker, so sanitizer builds run the program without it
// (the library's own leaks are checked by the export tests, which keep it loaded).
#if defined(__SANITIZE_ADDRESS__)
constexpr char kChildEnvironment[] = "WINAPI_UI=none ASAN_OPTIONS=detect_leaks=0";
#else
constexpr char kChildEnvironment[] = "WINAPI_UI=none";
#endif

constexpr auto kProgramLimit = std::chrono::seconds(60);
constexpr auto kUnitWait = std::chrono::seconds(20);
// What the unit has handled when the library has polled it once after CAPTURE: STATUS and
// SETPARAM while connecting, then CAPTURE and its STATUS.
constexpr std::uint64_t kRequestsAtFirstPoll = 4;

// zephcapture run in a folder holding a settings file that names `unit`.
struct CaptureRun {
    CaptureRun(const unitsim::VirtualUnit& unit, const std::string& options) {
        std::ofstream(dir / "ZephIF.ini")
            << "[VANTA]\r\nSensor-IP=127.0.0.1\r\nSensor-Port=" << unit.port()
            << "\r\nLocal-IP=127.0.0.1\r\nLocal-Port=" << port.Port()
            << "\r\nSensor-Capture-Timeout=20\r\n";
        program.emplace(std::string(kChildEnvironment) + " '" + ZEPHCAPTURE_PATH +
                            "' --out picture.png " + options,
                        dir.Path(), dir / "run.log");
    }

    testsupport::TempDir dir{"zephcapture"};
    testsupport::ReservedPort port;
    std::optional<testsupport::Program> program;
};

void ExpectPicture(const CaptureRun& run, const unitsim::GrayImage& image, bool scaled) {
    const Png png = ReadPng(run.dir / "picture.png");
    EXPECT_EQ(png.width, image.width);
    EXPECT_EQ(png.height, image.height);
    EXPECT_EQ(png.bitDepth, 16);
    EXPECT_EQ(png.colourType, PNG_COLOR_TYPE_GRAY);
    std::vector<uint16_t> expected = image.pixels;
    if (scaled)
        for (auto& v : expected)
            v = static_cast<uint16_t>(v << 4 | v >> 8);
    EXPECT_EQ(png.samples, expected);
}

TEST(ZephCapture, WritesTheUnitsPictureAsASixteenBitPng) {
    struct Case {
        const char* options;
        bool scaled;
    } cases[] = {{"", false}, {"--event --scale", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        unitsim::Config config;  // exposes only on demand
        config.image = unitsim::makeTestPattern(160, 120);
        unitsim::VirtualUnit unit(config);
        unit.start();
        CaptureRun run(unit, c.options);
        // Exposed once the library has polled the waiting unit, as a person would.
        ASSERT_TRUE(unit.waitForRequests(kRequestsAtFirstPoll, kUnitWait))
            << run.dir.Read("run.log");
        ASSERT_TRUE(unit.triggerExposure());
        const auto status = run.program->Wait(kProgramLimit);
        const std::string output = run.dir.Read("run.log");
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("ZephLibStartSession              -> 0 (done)"), std::string::npos)
            << output;
        EXPECT_NE(output.find("ZephLibEndSession                -> 0 (done)"), std::string::npos);
        ExpectPicture(run, config.image, c.scaled);
    }
}

// A unit that exposes at once answers CAPTURE before the library's first STATUS after it.
TEST(ZephCapture, UnitExposingAtOnceGivesThePicture) {
    unitsim::Config config;
    config.exposureDelay = std::chrono::milliseconds(0);
    config.processingTime = std::chrono::milliseconds(0);
    config.image = unitsim::makeTestPattern(160, 120);
    unitsim::VirtualUnit unit(config);
    unit.start();
    CaptureRun run(unit, "");
    const auto status = run.program->Wait(kProgramLimit);
    EXPECT_EQ(status, 0) << run.dir.Read("run.log");
    ExpectPicture(run, config.image, false);
}

TEST(ZephCapture, RefusesToRunWithoutAUnitAddress) {
    testsupport::TempDir dir("zephcapture");
    testsupport::Program program(std::string(kChildEnvironment) + " '" + ZEPHCAPTURE_PATH + "'",
                                 dir.Path(), dir / "run.log");
    const auto status = program.Wait(kProgramLimit);
    ASSERT_TRUE(status) << "zephcapture did not end";
    EXPECT_NE(*status, 0);
    // The library was never loaded, so it never wrote its default address.
    EXPECT_FALSE(fs::exists(dir / "ZephIF.ini"));
}

TEST(ZephCapture, ReportsAFailedStartInWordsAndExitsNonZero) {
    testsupport::TempDir dir("zephcapture");
    testsupport::ReservedPort port;
    std::ofstream(dir / "ZephIF.ini")
        << "[VANTA]\r\nSensor-IP=127.0.0.1\r\nSensor-Port=0\r\n"
        << "Local-IP=127.0.0.1\r\nLocal-Port=" << port.Port() << "\r\n";
    testsupport::Program program(std::string(kChildEnvironment) + " '" + ZEPHCAPTURE_PATH + "'",
                                 dir.Path(), dir / "run.log");
    const auto status = program.Wait(kProgramLimit);
    const std::string output = dir.Read("run.log");
    ASSERT_TRUE(status) << "zephcapture did not end";
    EXPECT_NE(*status, 0);
    EXPECT_NE(output.find("ZephLibStartSession              -> -7 (connection failed, timed out "
                          "or the unit is occupied)"),
              std::string::npos)
        << output;
    EXPECT_FALSE(fs::exists(dir / "capture.png"));
}

}  // namespace
