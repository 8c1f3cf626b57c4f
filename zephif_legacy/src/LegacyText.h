// The legacy build's wire text and settings: pure functions over strings, no sockets.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zephlegacy {

// Command codes of a command record and the words they send.
enum CommandCode : int {
    kCmdStatus = 0,
    kCmdCapture = 1,
    kCmdGet = 2,
    kCmdReset = 3,
    kCmdClose = 4,
};
const char* CommandWord(int code);

// "Sensor-Picture-Mode" values that put a MODE line into a CAPTURE request.
inline constexpr int kPictureMode16Bit = 0;
inline constexpr int kPictureMode8Bit = 1;
inline constexpr char kMode8BitText[] = "536870912";
inline constexpr char kMode16BitText[] = "0";

// The identifier the connection check sends.
inline constexpr DWORD kCheckRequestId = 41;

// A command's request text: ID, IP, PORT and CMD lines, the last without CR LF; a MODE line
// (after a CR LF) only for CAPTURE with picture mode 0 or 1. No zero byte: the unit reads until
// the computer closes the connection.
std::string BuildRequestText(DWORD id, std::string_view returnIp, int returnPort, int command,
                             int pictureMode);
// The connection check's STATUS request: "ID=41\r\nIP=...\r\nPORT=...\r\nCMD=STATUS\r\n".
std::string BuildCheckRequestText(std::string_view returnIp, std::uint16_t returnPort);

// A reply split at carriage returns (and line feeds) and "=" signs. Header fields come from the
// lines before the body; the body is the LEN bytes after the header's last line end.
struct ReplyHeader {
    std::string id;
    std::string command;
    std::size_t length = 0;
    std::size_t headerBytes = 0;  // where the body starts
};
// The header once its three lines are complete; nothing while more bytes are needed. `bad` is
// set when the bytes can never form a header (no LEN, LEN not a number, header too long).
std::optional<ReplyHeader> ParseReplyHeader(std::string_view bytes, bool& bad);

struct StatusFields {
    std::string state;
    std::string error = "0: 0";
    std::string sensor;
};
// STATE, ERR and SENSOR of a status body; nothing when the body has no STATE field.
std::optional<StatusFields> ParseStatusBody(std::string_view body);
// The unit refuses with an error text that contains "2" (as the network build judges it).
bool ErrorTextRefuses(std::string_view error);

// Settings of section "VANTA" in "ZephIF.ini", read at every session start.
inline constexpr char kSettingsFileName[] = "ZephIF.ini";
inline constexpr char kSettingsSection[] = "VANTA";
inline constexpr DWORD kSettingsTextChars = 80;
inline constexpr char kDefaultLocalIp[] = "127.0.0.1";
inline constexpr int kDefaultLocalPort = 4000;
inline constexpr char kDefaultSensorIp[] = "127.0.0.1";
inline constexpr int kDefaultSensorPort = 104;
inline constexpr int kSettingUnset = -1;

struct LegacySettings {
    std::string localIp = kDefaultLocalIp;
    int localPort = kDefaultLocalPort;
    std::string returnIp = kDefaultLocalIp;
    int returnPort = kDefaultLocalPort;
    std::string sensorIp = kDefaultSensorIp;
    int sensorPort = kDefaultSensorPort;
    int pictureMode = kSettingUnset;
    int statusTimeout = kSettingUnset;  // seconds; -1: the default command wait
    int pollTimeout = kSettingUnset;    // milliseconds; -1: the default poll time
};

// "<current directory>/ZephIF.ini".
std::string LegacySettingsPath();
// False when the file does not exist (nothing read).
bool ReadLegacySettings(const std::string& path, LegacySettings& settings);

// How long a poll wait lasts: "Sensor-Poll-Timeout" in milliseconds when positive, else
// kDefaultPollMs; always within [kMinPollMs, kMaxWaitMs].
inline constexpr DWORD kDefaultPollMs = 500;
inline constexpr DWORD kMinPollMs = 10;
inline constexpr DWORD kMaxWaitMs = 210000;
DWORD PollTimeMs(const LegacySettings& settings);
// How long a command waits for its completion: "Sensor-Status-Timeout" in seconds (as the network
// build reads the same key) when positive, else kDefaultCommandWaitMs; never beyond kMaxWaitMs.
inline constexpr DWORD kDefaultCommandWaitMs = 20000;
DWORD CommandWaitMs(const LegacySettings& settings);

}  // namespace zephlegacy
