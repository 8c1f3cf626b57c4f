// The workbench's own protocol text: request and reply building, commands, reply body parsing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wirebench {

// Command numbers, also the indices of the PC side's command list.
enum CommandNumber : int {
    kCmdNone = -1,
    kCmdStatus = 0,
    kCmdCapture = 1,
    kCmdGet = 2,
    kCmdReset = 3,
    kCmdClose = 4,
    kCmdGetParam = 5,
    kCmdSetParam = 6,
};
constexpr int kCommandCount = 7;

// Picture modes carried by "MODE=".
constexpr std::int64_t kImage16bitMode = 0;
constexpr std::int64_t kImage8bitMode = 536870912;  // bit 29

// Unit states of a status reply, by number.
enum StateNumber : int {
    kStateIdle = 0,
    kStateWaitXray = 1,
    kStateProcessing = 2,
    kStateImgRdy = 3,
    kStateNotRdy = 4,
    kStateClear = 5,
};

extern const char* const kCommandNames[kCommandCount];
constexpr int kParamNameCount = 27;
extern const char* const kParamNames[kParamNameCount];

// Message ids are this many characters, left-padded with "0".
constexpr std::size_t kMessageIdChars = 20;
constexpr int kMessageIdLowest = 1000000;
constexpr int kMessageIdSpan = 9000000;

// Number of a command name (exact, upper case as sent), or kCmdNone.
int commandNumber(std::string_view name);

// The id text of a random fraction in [0, 1): padded to 20 characters.
std::string messageIdFromFraction(double fraction);

struct RequestText {
    std::string id;
    std::string returnIp;
    int listenPort = 0;
    int command = kCmdStatus;
    bool get16Bit = false;
    std::string paramName;
    std::string paramValue;
};
// Request lines joined by CR LF; nothing follows the last line.
std::string buildRequest(const RequestText& request);

std::string statusBody(std::string_view state, std::string_view error, std::string_view sensor);
std::string paramBody(std::string_view name, std::string_view value);
std::string replyHeader(std::string_view id, std::string_view command, std::size_t bodyBytes);

// The value looked up for a parameter name on the sensor side.
std::string sensorParamValue(std::string_view name, std::string_view localIp);

struct StatusReply {
    std::string stateText;
    int stateNumber = 0;
    int errorNumber = 0;
    int sensorNumber = 0;
};
struct ParamReply {
    std::string name;
    std::string value;
};
// Fill from the lines of a body; lines of any other form leave the fields as they were.
void parseStatusReply(std::string_view body, StatusReply& reply);
void parseParamReply(std::string_view body, ParamReply& reply);

// Leading-number reading as the original's Val(): blanks skipped, optional sign, digits; no digits
// gives 0. Saturates at the int64 range instead of overflowing.
std::int64_t leadingNumber(std::string_view text);

std::string toLower(std::string_view text);
bool startsWith(std::string_view text, std::string_view prefix);

}  // namespace wirebench
