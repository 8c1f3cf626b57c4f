// The sensor-unit tool's user-visible texts, by string id where the tool has one.
#pragma once

#include "ConfigurationFrame.h"
#include "ConfigurationView.h"

#include <span>

namespace vantastr {
inline constexpr char kApplication[] = "VantaConfiguration";  // 57344 and the profile
inline constexpr char kWindowTitle[] = "Untitled - VantaConfiguration";
inline constexpr char kDocumentTemplate[] =
    "VantaConfiguration\n\nVantaCo\n\n\nVantaConfiguration.Document\nVantaCo Document";
inline constexpr char kMaker[] = "Northlight Dental Imaging Ltd.";          // 129
inline constexpr char kBannerTitle[] = "Vanta Configuration Tool";          // 130
inline constexpr char kCommunicationError[] = "Communication Error: %1";    // 131
inline constexpr char kInternalError[] = "Internal Application Error: %1";  // 132
inline constexpr char kNoSessionReply[] =                                   // 135
    "Communication Error: received response from Vanta when there are no valid sessions! "
    "Message is ignored.";
inline constexpr char kForeignSessionId[] =  // 136
    "Received response from Vanta with invalid session id: %1.";
inline constexpr char kIncompleteReply[] =
    "incomplete response from Vanta (%1 of %2 bytes arrived). Message is ignored.";
inline constexpr char kAboutCaption[] = "About VantaConfiguration";
inline constexpr char kOkTip[] = "Click on ok to dismiss the about dialog";
inline constexpr char kVersion[] = "1.0";
}  // namespace vantastr

extern const ToolTexts kVantaTexts;
// The commands with their prompts and tooltips.
extern const std::span<const CommandInfo> kVantaCommands;
// The parameter rows the tool offers, in list order.
extern const ParameterTable kVantaParameters;
