// Texts, commands and parameter rows of the sensor-unit tool.
#include "StringTable.h"

const ToolTexts kVantaTexts = {
    "Vanta",
    vantastr::kApplication,
    vantastr::kNoSessionReply,
    vantastr::kCommunicationError,
    vantastr::kInternalError,
    vantastr::kForeignSessionId,
    vantastr::kIncompleteReply,
};

namespace {

const CommandInfo kCommands[] = {
    {kCommandExit, "Quit the application; prompts to save documents", "Exit Application"},
    {kCommandStart, "Start Vanta Session ", "Start New Session"},
    {kCommandStop, "Stop session with Vanta", "Stop Current Session"},
    {kCommandStatus, "Send Status to Vanta", "Get Status Information from Vanta"},
    {kCommandRead, "Read Parameter from Vanta", "Read Parameter from Vanta."},
    {kCommandChange, "Change Parameter in Vanta", "Change Parameter in Vanta."},
    {kCommandAbout, "Display program information, version number and copyright",
     "Show About Dialog"},
    {kCommandContextHelp, "Display help for clicked on buttons, menus and windows", "Help"},
    {kCommandHelp, "Display help for current task or command", "Help"},
    {kCommandHelpTopics, "List Help topics", "Help Topics"},
    {kCommandHelpIndex, "Display default help", "Help"},
    {kCommandNew, "Create a new document", "New"},
};

const ParameterEntry kRows[] = {
    {"AFEOffset", true, false},
    {"AFEGain", true, false},
    {"CCD_ID", false, false},
    {"CCDSizeX", false, false},
    {"CCDSizeY", false, false},
    {"CCDBinnedRows", true, false},
    {"CCDBinnedPixels", true, false},
    {"EnableAutoGain", true, false},
    {"EthernetAddr", false, false},
    {"ExposureThreshold", true, false},
    {"FrMemStatus", false, false},
    {"FrMemMaxBlocks", false, false},
    {"FrMemNumBlocks", false, false},
    {"FrMemNumBytes", false, false},
    {"FrMemMinValue", false, false},
    {"FrMemMaxValue", false, false},
    {"FrMemGain", false, false},
    {"FrMemNewMin", false, false},
    {"HardwareVersion", false, false},
    {"HostIP", true, true},
    {"HostID", true, true},
    {"LeftNoiseThreshold", true, false},
    {"NetMask", true, true},
    {"MaxIntegrationTime", true, false},
    {"PreviewZoom", false, false},
    {"PreviewPixels", false, false},
    {"PreviewLines", false, false},
    {"RightNoiseThreshold", true, false},
    {"SerialNumber", false, true},
    {"XRayTimeout", true, false},
};

}  // namespace

const std::span<const CommandInfo> kVantaCommands(kCommands);
const ParameterTable kVantaParameters(kRows);
