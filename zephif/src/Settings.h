// The settings file "ZephIF.ini": what a session needs to reach the unit, read once at load.
#pragma once

#include <string>

namespace zephif {

inline constexpr char kSettingsFileName[] = "ZephIF.ini";
inline constexpr char kSettingsSection[] = "VANTA";
inline constexpr char kDefaultSensorIp[] = "192.168.100.190";
inline constexpr int kDefaultLocalPort = 1000;
inline constexpr int kDefaultSensorPort = 104;
inline constexpr int kDefaultStatusTimeoutSeconds = 20;
inline constexpr int kDefaultCaptureTimeoutSeconds = 300;
// "Sensor-Picture-Mode" value that selects 8-bit pictures.
inline constexpr int kPictureMode8Bit = 1;

struct SessionSettings {
    int localPort = kDefaultLocalPort;
    std::string localIp;
    std::string sensorIp;
    int sensorPort = kDefaultSensorPort;
    int pictureMode = 0;
    int statusTimeout = kDefaultStatusTimeoutSeconds;    // seconds; after RESET: milliseconds
    int captureTimeout = kDefaultCaptureTimeoutSeconds;  // seconds
    int borderRemove = 0;                                // always 0 in this build
};

// "<current directory>/ZephIF.ini".
std::string SettingsPathInCurrentDirectory();

// Reads the file at `path` into `settings`, asking through message boxes when the file is missing
// (declined: false, nothing written) and when the unit's address is empty.
bool ReadSessionSettings(const std::string& path, SessionSettings& settings);

}  // namespace zephif
