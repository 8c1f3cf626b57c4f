// Private profile files against the Windows rules; current directory and module file name.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr const char* kSettings =
    "; unit settings\r\n"
    "[VANTA]\r\n"
    "Sensor-IP = 127.0.0.1  \r\n"
    "Sensor-Port=2001\r\n"
    "Digits=12abc\r\n"
    "Letters=abc\r\n"
    "Negative=-5\r\n"
    "Empty=\r\n"
    "Quoted=\"  spaced  \"\r\n"
    "\r\n"
    "[Other]\r\n"
    "key=value\r\n";

class PrivateProfile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/winapi2_profile_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = (dir_ / "settings.ini").string();
        std::ofstream(file_, std::ios::binary) << kSettings;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir_;
    std::string file_;
};

struct StringCase {
    const char* section;
    const char* key;
    const char* fallback;
    DWORD size;
    bool missingFile;
    const char* expected;
    DWORD expectedReturn;
};

TEST_F(PrivateProfile, GetStringFollowsTheWindowsRules) {
    const StringCase cases[] = {
        {"VANTA", "Sensor-IP", "x", 64, false, "127.0.0.1", 9},  // trimmed
        {"vanta", "SENSOR-IP", "x", 64, false, "127.0.0.1", 9},  // names ignore case
        {"VANTA", "Sensor-IP", "x", 4, false, "127", 3},         // truncated to size - 1
        {"VANTA", "Sensor-IP", "x", 1, false, "", 0},
        {"VANTA", "Empty", "dflt", 64, false, "", 0},            // present but empty
        {"VANTA", "Quoted", "x", 64, false, "  spaced  ", 10},   // quotes removed
        {"VANTA", "Missing", "dflt", 64, false, "dflt", 4},      // missing key
        {"Nowhere", "Sensor-IP", "dflt", 64, false, "dflt", 4},  // missing section
        {"VANTA", "Sensor-IP", "dflt", 64, true, "dflt", 4},     // missing file
        {"VANTA", "Missing", nullptr, 64, false, "", 0},         // null default
        {"VANTA", "Missing", "dflt  ", 64, false, "dflt", 4},    // default's trailing blanks
        {"VANTA", "Missing", "default", 4, false, "def", 3},     // truncated default
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key + " size " + std::to_string(c.size));
        std::string path = c.missingFile ? (dir_ / "absent.ini").string() : file_;
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        DWORD n =
            GetPrivateProfileStringA(c.section, c.key, c.fallback, buffer, c.size, path.c_str());
        EXPECT_EQ(n, c.expectedReturn);
        EXPECT_STREQ(buffer, c.expected);
    }
    EXPECT_FALSE(fs::exists(dir_ / "absent.ini"));  // reading creates nothing
}

TEST_F(PrivateProfile, GetIntReadsLeadingDigits) {
    struct IntCase {
        const char* key;
        INT fallback;
        INT expected;
    };
    const IntCase cases[] = {
        {"Sensor-Port", 7, 2001}, {"Digits", 7, 12}, {"Letters", 7, 0},     {"Negative", 7, -5},
        {"Missing", 77, 77},      {"Empty", 7, 7},   {"Sensor-IP", 7, 127},  // "127.0.0.1": digits
                                                                             // up to the first dot
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            static_cast<INT>(GetPrivateProfileIntA("VANTA", c.key, c.fallback, file_.c_str())),
            c.expected)
            << c.key;
    }
    EXPECT_EQ(static_cast<INT>(
                  GetPrivateProfileIntA("VANTA", "Sensor-Port", 9, (dir_ / "absent.ini").c_str())),
              9);
}

TEST_F(PrivateProfile, NullSectionOrKeyListsNamesDoubleNullTerminated) {
    char buffer[64];
    DWORD n = GetPrivateProfileStringA(nullptr, nullptr, "x", buffer, sizeof buffer, file_.c_str());
    EXPECT_EQ(std::string(buffer, n + 1), std::string("VANTA\0Other\0\0", 13));

    n = GetPrivateProfileStringA("Other", nullptr, "x", buffer, sizeof buffer, file_.c_str());
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buffer, 5), std::string("key\0\0", 5));

    // Too small: cut, still ended by two nulls, size - 2 returned.
    std::memset(buffer, '#', sizeof buffer);
    n = GetPrivateProfileStringA(nullptr, nullptr, "x", buffer, 8, file_.c_str());
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(std::string(buffer, 8), std::string("VANTA\0\0\0", 8));

    n = GetPrivateProfileStringA(nullptr, nullptr, "x", buffer, sizeof buffer,
                                 (dir_ / "absent.ini").c_str());
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(PrivateProfile, WriteCreatesFileAndSectionAndDeletesKeysAndSections) {
    const std::string path = (dir_ / "new.ini").string();
    ASSERT_TRUE(WritePrivateProfileStringA("VANTA", "Sensor-IP", "127.0.0.2", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("VANTA", "Local-Port", "2002", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Extra", "a", "1", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("vanta", "SENSOR-IP", "127.0.0.3", path.c_str()));
    EXPECT_EQ(Read(path),
              "[VANTA]\r\nSensor-IP=127.0.0.3\r\nLocal-Port=2002\r\n\r\n[Extra]\r\na=1\r\n");

    ASSERT_TRUE(WritePrivateProfileStringA("VANTA", "Local-Port", nullptr, path.c_str()));
    char buffer[32];
    GetPrivateProfileStringA("VANTA", "Local-Port", "gone", buffer, sizeof buffer, path.c_str());
    EXPECT_STREQ(buffer, "gone");
    ASSERT_TRUE(WritePrivateProfileStringA("Extra", nullptr, nullptr, path.c_str()));
    EXPECT_EQ(Read(path), "[VANTA]\r\nSensor-IP=127.0.0.3\r\n\r\n");
    // Deleting what is not there succeeds and creates nothing.
    EXPECT_TRUE(WritePrivateProfileStringA("VANTA", "x", nullptr, (dir_ / "no.ini").c_str()));
    EXPECT_FALSE(fs::exists(dir_ / "no.ini"));
}

TEST_F(PrivateProfile, WritingKeepsCommentsAndTheFilesLineEnds) {
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "second", "2", file_.c_str()));
    std::string text = Read(file_);
    EXPECT_EQ(text.rfind("; unit settings\r\n", 0), 0u);
    EXPECT_NE(text.find("key=value\r\nsecond=2\r\n"), std::string::npos);
    EXPECT_EQ(GetPrivateProfileIntA("VANTA", "Sensor-Port", 0, file_.c_str()), 2001u);
}

TEST_F(PrivateProfile, WritesThatWouldInjectLinesAreRefused) {
    SetLastError(0);
    EXPECT_FALSE(
        WritePrivateProfileStringA("VANTA", "Sensor-IP", "1\r\nLocal-Port=0", file_.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WritePrivateProfileStringA("VANTA", "a=b", "1", file_.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("VAN]TA", "a", "1", file_.c_str()));
    EXPECT_EQ(Read(file_), kSettings);
}

TEST_F(PrivateProfile, MissingDirectoryFailsTheWrite) {
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileStringA("VANTA", "a", "1", (dir_ / "no" / "such.ini").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(PrivateProfile, BareNamesLiveInTheWindowsDirectoryAndBackslashesSeparate) {
    ASSERT_EQ(setenv("WINAPI_WINDOWS_DIR", dir_.c_str(), 1), 0);
    EXPECT_EQ(GetPrivateProfileIntA("VANTA", "Sensor-Port", 0, "settings.ini"), 2001u);
    ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", "bare.ini"));
    unsetenv("WINAPI_WINDOWS_DIR");
    EXPECT_TRUE(fs::exists(dir_ / "bare.ini"));

    std::string windowsStyle = dir_.string() + "\\settings.ini";
    EXPECT_EQ(GetPrivateProfileIntA("VANTA", "Sensor-Port", 0, windowsStyle.c_str()), 2001u);
}

TEST_F(PrivateProfile, CurrentDirectory) {
    char original[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof original, original);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, sizeof original);
    EXPECT_EQ(std::string(original), fs::current_path().string());

    char tiny[2] = {'#', '#'};
    EXPECT_EQ(GetCurrentDirectoryA(sizeof tiny, tiny), n + 1);  // the size it needs
    EXPECT_EQ(tiny[0], '#');

    ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
    char now[MAX_PATH];
    GetCurrentDirectoryA(sizeof now, now);
    EXPECT_EQ(fs::path(now), fs::canonical(dir_));
    ASSERT_TRUE(SetCurrentDirectoryA(original));

    SetLastError(0);
    EXPECT_FALSE(SetCurrentDirectoryA((dir_ / "absent").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(PrivateProfile, ModuleFileNameOfTheExecutable) {
    char name[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, name, sizeof name);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(fs::path(name).filename(), "winapi2_tests");

    char small[4];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small[3], '\0');
}

}  // namespace
