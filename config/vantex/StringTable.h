// The Ethernet-unit tool's user-visible texts, by string id where the tool has one.
#pragma once

#include "ConfigurationFrame.h"
#include "ConfigurationView.h"

#include <span>

enum VantexCommandId : int {
    kCommandVantexHelp = 32784,
    kCommandCapturePreview = 32778,  // in the string table; no control uses it
};

namespace vantexstr {
inline constexpr char kApplication[] = "VantexConfiguration";  // 57344 and the profile
inline constexpr char kWindowTitle[] = "Untitled - VantexConfiguration";
inline constexpr char kDocumentTemplate[] =
    "VantexConfiguration\n\nVantexCo\n\n\nVantexConfiguration.Document\nVantexCo Document";
inline constexpr char kBannerTitle[] = "Vantex Configuration Tool";         // 130
inline constexpr char kCommunicationError[] = "Communication Error: %1";    // 131
inline constexpr char kInternalError[] = "Internal Application Error: %1";  // 132
inline constexpr char kNoSessionReply[] =                                   // 135
    "Communication Error: received response from Vantex when there are no valid sessions! "
    "Message is ignored.";
inline constexpr char kForeignSessionId[] =  // 136
    "Received response from Vantex with invalid session id: %1.";
inline constexpr char kIncompleteReply[] =
    "incomplete response from Vantex (%1 of %2 bytes arrived). Message is ignored.";
inline constexpr char kNoNetworkCards[] =  // 59142
    "There is no network cards present in your system.\nYou won't be able to start the session "
    "until you install a network card.";
inline constexpr char kNoLocalAddress[] =  // 59143
    "Coundn't determine the IP address of the network card.\nPlease contact your vendor.";
inline constexpr char kCapturePreview[] = "Capture Preview from Device";  // 32778
inline constexpr char kSplashProduct[] = "Vantex Configuration Tool";
inline constexpr char kAboutProduct[] = "  Vantex Configuration Tool";
inline constexpr char kCoInitializeFailed[] = "CoInitialize failed";
inline constexpr char kVersion[] = "1.0";
}  // namespace vantexstr

extern const ToolTexts kVantexTexts;
extern const std::span<const CommandInfo> kVantexCommands;
// The 31 parameter rows: those of the sensor-unit tool with Gateway after FrMemNewMin.
extern const ParameterTable kVantexParameters;
