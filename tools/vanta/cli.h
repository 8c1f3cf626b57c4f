// The vanta client's pure pieces: command and parameter tables, argument parsing, help text,
// reply formatting (aligned fields and JSON) and the progress bar.
#pragma once

#include "vantaproto/VTMessage.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vanta {

// The settings' unit address: right for a unit on its factory network, never for tests.
inline constexpr char kDefaultUnitHost[] = "192.168.100.190";
inline constexpr uint16_t kDefaultUnitPort = 104;
// Waiting for an ordinary reply (status, parameters, reset, close, get, ping).
inline constexpr double kDefaultReplyTimeoutSeconds = 5.0;
// Waiting for the image after CAPTURE: covers the exposure, so it stays above the unit's
// default XRayTimeout (30 s), after which the unit itself gives up with "2: 8".
inline constexpr double kDefaultCaptureTimeoutSeconds = 60.0;
inline constexpr double kMaxTimeoutSeconds = 86400.0;

enum ExitCode : int {
    kExitOk = 0,
    kExitUnitError = 1,     // the unit answered, with an error (not valid)
    kExitUsage = 2,         // the command line is wrong
    kExitNoReply = 3,       // no (complete) reply within the time-out
    kExitNoConnection = 4,  // cannot connect to the unit, or cannot listen for its replies
    kExitLocalFailure = 5,  // the reply came but could not be saved (--out)
    kExitInterrupted = 130,
};

enum class CommandId {
    Status,
    GetParam,
    SetParam,
    Params,
    Reset,
    Close,
    Capture,
    Get,
    Ping,
    Route
};

// Whether the session ends with a CLOSE to the unit, and why (shown in --help).
enum class CloseOnEnd { Never, AfterAcceptedCapture };

struct CommandSpec {
    std::string_view name;
    CommandId id;
    std::vector<std::string_view> arguments;  // positional argument names
    bool imageOptions;                        // takes --mode and --out
    bool usesSession;                         // ping and route do not listen for replies
    CloseOnEnd closeOnEnd;
    double defaultTimeoutSeconds;
    std::string_view summary;
};

std::span<const CommandSpec> Commands();
const CommandSpec* FindCommand(std::string_view name);

// The parameters `params` reads, in the configuration tools' order; the workbench's names are
// the same set (its "FrmemNumBytes" is FrMemNumBytes spelled differently).
struct ParameterName {
    std::string_view name;
    bool writable;  // the configuration tools offer a change
};
std::span<const ParameterName> KnownParameters();

struct PictureModeName {
    std::string_view name;
    int32_t mode;
};
std::span<const PictureModeName> PictureModes();

struct Options {
    std::string unitHost = kDefaultUnitHost;
    uint16_t unitPort = kDefaultUnitPort;
    std::optional<std::string> localIp;  // none: the local address towards the unit
    uint16_t localPort = 0;
    std::optional<double> timeoutSeconds;  // none: the command's default
    bool json = false;
    bool debug = false;
    bool help = false;
    const CommandSpec* command = nullptr;
    std::vector<std::string> arguments;
    int32_t mode = Image16bitMode;
    std::optional<std::string> outPath;

    double TimeoutSeconds() const;
};

struct ParseResult {
    Options options;
    std::string error;  // empty: parsed
    bool ok() const { return error.empty(); }
};

// argv without the program name. Global options may stand before or after the command; "--"
// ends the options, so a value such as "-5" or "--x" can still be given.
ParseResult ParseArguments(const std::vector<std::string>& args);

std::string HelpText();
std::string UsageLine();

// JSON string contents: quote, backslash and control bytes escaped; bytes from 0x80 are the
// protocol's single-byte text and are written as \u00XX (Latin-1), so the output stays ASCII.
std::string JsonEscape(std::string_view text);
// One JSON object with the message's fields in lower case.
std::string MessageJson(const VTRecvCommand& message);
// The message's fields, one per line, names aligned; unit-supplied text escaped so it cannot
// drive the terminal.
std::string MessageFields(const VTRecvCommand& message);

// "[#####.....]  50%  1000/2000 bytes" in `width` bar characters.
std::string ProgressBar(uint64_t received, uint64_t total, int width);

}  // namespace vanta
