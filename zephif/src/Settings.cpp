// Reading "ZephIF.ini" with the private-profile functions, asking the user when it is missing.
#include "Settings.h"

#include "StringTable.h"

#include <windows.h>
#include <fileapi.h>

#include <vector>

namespace zephif {
namespace {

constexpr DWORD kPathChars = 260;
constexpr DWORD kAddressChars = 256;  // 255 characters and the terminator
constexpr char kMessageBoxCaption[] = "ZephIF";

std::string ReadText(const char* key, const std::string& path) {
    char buffer[kAddressChars] = {};
    GetPrivateProfileStringA(kSettingsSection, key, "", buffer, kAddressChars, path.c_str());
    return buffer;
}

int ReadInt(const char* key, int fallback, const std::string& path) {
    return static_cast<int>(GetPrivateProfileIntA(kSettingsSection, key, fallback, path.c_str()));
}

bool FileOpensForReading(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || !file)
        return false;
    CloseHandle(file);
    return true;
}

}  // namespace

std::string SettingsPathInCurrentDirectory() {
    std::vector<char> directory(kPathChars + 1, '\0');
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(directory.size()), directory.data());
    if (length >= directory.size()) {
        // A deeper directory than the classic limit: take it whole rather than a cut path.
        directory.assign(length + 1, '\0');
        length = GetCurrentDirectoryA(static_cast<DWORD>(directory.size()), directory.data());
    }
    std::string path(directory.data(), length < directory.size() ? length : 0);
    return path + "/" + kSettingsFileName;
}

bool ReadSessionSettings(const std::string& path, SessionSettings& settings) {
    if (!FileOpensForReading(path)) {
        const std::string question = LoadText(kTextSettingsMissing, path.c_str());
        if (MessageBoxA(nullptr, question.c_str(), kMessageBoxCaption, MB_YESNO | MB_ICONSTOP) !=
            IDYES)
            return false;
        WritePrivateProfileStringA(kSettingsSection, "Sensor-IP", kDefaultSensorIp, path.c_str());
    }

    settings.localPort = ReadInt("Local-Port", kDefaultLocalPort, path);
    settings.sensorIp = ReadText("Sensor-IP", path);
    if (settings.sensorIp.empty()) {
        const std::string note = LoadText(kTextDefaultAddress, kDefaultSensorIp);
        MessageBoxA(nullptr, note.c_str(), kMessageBoxCaption, MB_OK | MB_ICONINFORMATION);
        settings.sensorIp = kDefaultSensorIp;
        WritePrivateProfileStringA(kSettingsSection, "Sensor-IP", kDefaultSensorIp, path.c_str());
    }
    settings.localIp = ReadText("Local-IP", path);
    settings.sensorPort = ReadInt("Sensor-Port", kDefaultSensorPort, path);
    settings.pictureMode = ReadInt("Sensor-Picture-Mode", 0, path);
    settings.statusTimeout = ReadInt("Sensor-Status-Timeout", kDefaultStatusTimeoutSeconds, path);
    settings.captureTimeout =
        ReadInt("Sensor-Capture-Timeout", kDefaultCaptureTimeoutSeconds, path);
    ReadInt("Border-Remove", 0, path);  // read for compatibility; trimming stays off in this build
    settings.borderRemove = 0;
    return true;
}

}  // namespace zephif
