// Texts, commands and parameter rows of the Ethernet-unit tool.
#include "StringTable.h"

const ToolTexts kVantexTexts = {
    "Vantex",
    vantexstr::kApplication,
    vantexstr::kNoSessionReply,
    vantexstr::kCommunicationError,
    vantexstr::kInternalError,
    vantexstr::kForeignSessionId,
    vantexstr::kIncompleteReply,
};

namespace {

// Button tooltips keep the word Vanta; the status-bar prompts say Vantex.
const CommandInfo kCommands[] = {
    {kCommandExit, "Quit the application; prompts to save documents", "Exit Application"},
    {kCommandStart, "Start Vantex Session ", "Start New Session"},
    {kCommandStop, "Stop session with Vantex", "Stop Current Session"},
    {kCommandStatus, "Send Status to Vantex", "Get Status Information from Vanta"},
    {kCommandRead, "Read Parameter from Vantex", "Read Parameter from Vanta"},
    {kCommandChange, "Change Parameter in Vantex", "Change Parameter in Vanta"},
    {kCommandAbout, "Display program information, version number and copyright",
     "Show About Dialog"},
    {kCommandVantexHelp, "Display help for current task or command", "Help"},
    {kCommandContextHelp, "Display help for clicked on buttons, menus and windows", "Context Help"},
    {kCommandHelp, "Display help for current task or command", "Help"},
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
    {"Gateway", true, true},
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

const std::span<const CommandInfo> kVantexCommands(kCommands);
const ParameterTable kVantexParameters(kRows);
