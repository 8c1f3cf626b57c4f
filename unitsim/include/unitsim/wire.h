// The unit's side of the wire text: request parsing, reply framing, status and parameter bodies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace unitsim {

enum class UnitState { Idle, WaitXray, Processing, ImageReady, NotReady };

// The exact word the unit writes after "STATE=".
std::string_view stateText(UnitState state);
std::optional<UnitState> stateFromText(std::string_view text);

// Picture modes as the computer writes them after "MODE=".
inline constexpr std::int32_t kMode16Bit = 0;
inline constexpr std::int32_t kMode8Bit = 1 << 29;
inline constexpr std::int32_t kModePreview = 1 << 30;

enum class PictureMode { Gray16, Gray8, Preview };

// An empty text means the request carried no MODE line; the unit then sends 16 bits, which is
// what MODE=0 asks for. Unknown bits or a non-number give nothing: the unit refuses such a request.
std::optional<PictureMode> pictureModeFromText(std::string_view text);

// Error texts of status bodies. Every refusal contains the character "2", which is what makes the
// computer's side mark a reply as not valid; the number after the colon tells the cases apart.
namespace errors {
inline constexpr std::string_view kNone = "0: 0";
inline constexpr std::string_view kNotIdle = "2: 1";           // CAPTURE while not IDLE
inline constexpr std::string_view kNoImage = "2: 2";           // GET with no image stored
inline constexpr std::string_view kUnknownParameter = "2: 3";  // GETPARAM/SETPARAM name unknown
inline constexpr std::string_view kReadOnlyParameter = "2: 4";
inline constexpr std::string_view kBadValue = "2: 5";  // not a number, out of range, bad address
inline constexpr std::string_view kBadMode = "2: 6";   // MODE not one of the three picture modes
inline constexpr std::string_view kUnknownCommand = "2: 7";
inline constexpr std::string_view kExposureTimeout = "2: 8";  // no exposure within XRayTimeout
// The default sensor-fault text; the computer's capture side reads "-2012" as a sensor fault.
inline constexpr std::string_view kSensorFault = "-2012: 1";
}  // namespace errors

// One request as the computer sends it. Fields the request did not carry stay empty.
struct Request {
    std::string id;
    std::string ip;  // dotted IPv4 text, as sent
    std::uint16_t port = 0;
    std::string command;
    std::string mode;  // text after "MODE=", trimmed
    std::optional<std::string> name;
    std::optional<std::string> value;  // text after "VAL=", exactly as sent
};

struct ParsedRequest {
    std::optional<Request> request;
    std::string error;  // why there is no request
};

// Takes the request text apart. Lenient: keys are matched without regard to case and surrounding
// blanks, lines may end in LF alone, the terminating zero byte may be missing (the peer closed
// instead), unknown keys are skipped. A request without CMD, IP or a usable PORT cannot be
// answered and gives an error.
ParsedRequest parseRequest(std::string_view bytes);

// "ID=<id>\r\nCMD=<command>\r\nLEN=<n>\r\n" followed by the body.
std::string formatReply(std::string_view id, std::string_view command, std::string_view body);
std::string replyHeader(std::string_view id, std::string_view command, std::size_t bodyBytes);

// "STATE=<state>\r\nERR=<error>\r\nSENSOR=<sensor>", nothing after the last value.
std::string statusBody(UnitState state, std::string_view error, int sensor);

// "NAME=<name>\r\nVALUE=<value>", nothing after the value.
std::string parameterBody(std::string_view name, std::string_view value);

// Traffic text for a log: CR, LF and zero bytes shown as \r, \n and \0, other control and
// non-ASCII bytes as \xHH, the backslash doubled.
std::string escapeBytes(std::string_view bytes);

}  // namespace unitsim
