// Request text, reply header and status parsing, settings file and the waits they set.
#include "LegacyText.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace zephlegacy {
namespace {

constexpr std::size_t kMaxReplyHeaderBytes = 1024;
constexpr const char* kCommandWords[] = {"STATUS", "CAPTURE", "GET", "RESET", "CLOSE"};

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Calls `field(key, value)` for every "key=value" piece between carriage returns or line feeds.
template <class Field>
void SplitFields(std::string_view text, Field field) {
    while (!text.empty()) {
        const auto end = text.find_first_of("\r\n");
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const auto eq = line.find('=');
        if (eq != std::string_view::npos)
            field(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    }
}

}  // namespace

const char* CommandWord(int code) {
    if (code < kCmdStatus || code > kCmdClose)
        return "";
    return kCommandWords[code];
}

std::string BuildRequestText(DWORD id, std::string_view returnIp, int returnPort, int command,
                             int pictureMode) {
    std::string text = "ID=" + std::to_string(id) + "\r\nIP=";
    text += returnIp;
    text += "\r\nPORT=" + std::to_string(returnPort) + "\r\nCMD=" + CommandWord(command);
    if (command == kCmdCapture) {
        if (pictureMode == kPictureMode8Bit)
            text += std::string("\r\nMODE=") + kMode8BitText;
        else if (pictureMode == kPictureMode16Bit)
            text += std::string("\r\nMODE=") + kMode16BitText;
    }
    return text;
}

std::string BuildCheckRequestText(std::string_view returnIp, std::uint16_t returnPort) {
    std::string text = "ID=" + std::to_string(kCheckRequestId) + "\r\nIP=";
    text += returnIp;
    text += "\r\nPORT=" + std::to_string(returnPort) + "\r\nCMD=STATUS\r\n";
    return text;
}

std::optional<ReplyHeader> ParseReplyHeader(std::string_view bytes, bool& bad) {
    bad = false;
    // The header is complete once its LEN line has ended.
    std::size_t pos = 0;
    ReplyHeader header;
    bool haveLength = false;
    while (!haveLength) {
        const auto end = bytes.find('\n', pos);
        if (end == std::string_view::npos) {
            bad = bytes.size() > kMaxReplyHeaderBytes;
            return std::nullopt;
        }
        std::string_view line = bytes.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const auto eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = Trim(line.substr(0, eq));
        const std::string_view value = Trim(line.substr(eq + 1));
        if (key == "ID") {
            header.id = value;
        } else if (key == "CMD") {
            header.command = value;
        } else if (key == "LEN") {
            std::size_t length = 0;
            const auto [end2, ec] =
                std::from_chars(value.data(), value.data() + value.size(), length);
            if (ec != std::errc{} || end2 != value.data() + value.size()) {
                bad = true;
                return std::nullopt;
            }
            header.length = length;
            haveLength = true;
        }
        if (pos > kMaxReplyHeaderBytes) {
            bad = true;
            return std::nullopt;
        }
    }
    header.headerBytes = pos;
    return header;
}

std::optional<StatusFields> ParseStatusBody(std::string_view body) {
    StatusFields fields;
    bool haveState = false;
    SplitFields(body, [&](std::string_view key, std::string_view value) {
        if (key == "STATE") {
            fields.state = value;
            haveState = true;
        } else if (key == "ERR") {
            fields.error = value;
        } else if (key == "SENSOR") {
            fields.sensor = value;
        }
    });
    if (!haveState)
        return std::nullopt;
    return fields;
}

bool ErrorTextRefuses(std::string_view error) {
    return error.find('2') != std::string_view::npos;
}

std::string LegacySettingsPath() {
    std::vector<char> directory(MAX_PATH + 1, '\0');
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(directory.size()), directory.data());
    if (length >= directory.size()) {
        directory.assign(length + 1, '\0');
        length = GetCurrentDirectoryA(static_cast<DWORD>(directory.size()), directory.data());
    }
    std::string path(directory.data(), length < directory.size() ? length : 0);
    return path + "/" + kSettingsFileName;
}

bool ReadLegacySettings(const std::string& path, LegacySettings& settings) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || !file)
        return false;
    CloseHandle(file);

    auto text = [&](const char* key, const std::string& fallback) {
        char buffer[kSettingsTextChars + 1] = {};
        GetPrivateProfileStringA(kSettingsSection, key, fallback.c_str(), buffer,
                                 kSettingsTextChars + 1, path.c_str());
        return std::string(buffer);
    };
    auto number = [&](const char* key, int fallback) {
        return static_cast<int>(
            GetPrivateProfileIntA(kSettingsSection, key, fallback, path.c_str()));
    };
    settings.localIp = text("Local-IP", kDefaultLocalIp);
    settings.localPort = number("Local-Port", kDefaultLocalPort);
    settings.returnIp = text("Return-IP", settings.localIp);
    settings.returnPort = number("Return-Port", settings.localPort);
    settings.sensorIp = text("Sensor-IP", kDefaultSensorIp);
    settings.sensorPort = number("Sensor-Port", kDefaultSensorPort);
    settings.pictureMode = number("Sensor-Picture-Mode", kSettingUnset);
    settings.statusTimeout = number("Sensor-Status-Timeout", kSettingUnset);
    settings.pollTimeout = number("Sensor-Poll-Timeout", kSettingUnset);
    return true;
}

DWORD PollTimeMs(const LegacySettings& settings) {
    if (settings.pollTimeout <= 0)
        return kDefaultPollMs;
    return std::clamp(static_cast<DWORD>(settings.pollTimeout), kMinPollMs, kMaxWaitMs);
}

DWORD CommandWaitMs(const LegacySettings& settings) {
    constexpr DWORD kMsPerSecond = 1000;
    if (settings.statusTimeout <= 0)
        return kDefaultCommandWaitMs;
    if (static_cast<DWORD>(settings.statusTimeout) >= kMaxWaitMs / kMsPerSecond)
        return kMaxWaitMs;
    return static_cast<DWORD>(settings.statusTimeout) * kMsPerSecond;
}

}  // namespace zephlegacy
