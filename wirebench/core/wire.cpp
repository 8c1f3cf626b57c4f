// The workbench's own protocol text: request and reply building, commands, reply body parsing.
#include "wire.h"

#include <cctype>
#include <cmath>
#include <limits>
#include <vector>

namespace wirebench {

const char* const kCommandNames[kCommandCount] = {"STATUS", "CAPTURE",  "GET",     "RESET",
                                                  "CLOSE",  "GETPARAM", "SETPARAM"};

const char* const kParamNames[kParamNameCount] = {"AFEGain",
                                                  "AFEOffset",
                                                  "CCD_ID",
                                                  "CCDBinnedPixels",
                                                  "CCDBinnedRows",
                                                  "CCDSizeX",
                                                  "CCDSizeY",
                                                  "EnableAutoGain",
                                                  "EthernetAddr",
                                                  "ExposureThreshold",
                                                  "FrMemGain",
                                                  "FrMemMaxBlocks",
                                                  "FrMemMaxValue",
                                                  "FrMemMinValue",
                                                  "FrMemNewMin",
                                                  "FrMemNumBlocks",
                                                  "FrmemNumBytes",
                                                  "FrMemStatus",
                                                  "HardwareVersion",
                                                  "HostID",
                                                  "HostIP",
                                                  "LeftNoiseThreshold",
                                                  "MaxIntegrationTime",
                                                  "NetMask",
                                                  "RightNoiseThreshold",
                                                  "SerialNumber",
                                                  "XRayTimeout"};

int commandNumber(std::string_view name) {
    for (int i = 0; i < kCommandCount; ++i) {
        if (name == kCommandNames[i]) {
            return i;
        }
    }
    return kCmdNone;
}

std::string messageIdFromFraction(double fraction) {
    const auto number =
        static_cast<long long>(std::llround(fraction * kMessageIdSpan)) + kMessageIdLowest;
    std::string digits = std::to_string(number);
    if (digits.size() < kMessageIdChars) {
        digits.insert(0, kMessageIdChars - digits.size(), '0');
    }
    return digits;
}

std::string buildRequest(const RequestText& request) {
    std::string text = "ID=" + request.id;
    text += "\r\nIP=" + request.returnIp;
    text += "\r\nPORT=" + std::to_string(request.listenPort);
    const int c =
        request.command >= 0 && request.command < kCommandCount ? request.command : kCmdStatus;
    text += std::string("\r\nCMD=") + kCommandNames[c];
    if (c == kCmdCapture || c == kCmdGet) {
        text += request.get16Bit ? "\r\nMODE=0" : "\r\nMODE=536870912";
    } else if (c == kCmdGetParam) {
        text += "\r\nNAME=" + request.paramName;
    } else if (c == kCmdSetParam) {
        text += "\r\nNAME=" + request.paramName;
        text += "\r\nVALUE=" + request.paramValue;
    }
    return text;
}

std::string statusBody(std::string_view state, std::string_view error, std::string_view sensor) {
    std::string body = "STATE=";
    body.append(state).append("\r\nERROR=").append(error);
    body.append("\r\nSENSOR=").append(sensor).append("\r\n");
    return body;
}

std::string paramBody(std::string_view name, std::string_view value) {
    std::string body = "NAME=";
    body.append(name).append("\r\nVALUE=").append(value);
    return body;
}

std::string replyHeader(std::string_view id, std::string_view command, std::size_t bodyBytes) {
    std::string header = "ID=";
    header.append(id).append("\r\nCMD=").append(command);
    header.append("\r\nLEN=").append(std::to_string(bodyBytes)).append("\r\n");
    return header;
}

std::string sensorParamValue(std::string_view name, std::string_view localIp) {
    const std::string lower = toLower(name);
    if (lower == "hostid") {
        return "Wirebenchs";
    }
    if (lower == "hostip") {
        return std::string(localIp);
    }
    if (lower == "netmask") {
        return "255.255.255.0";
    }
    return "THE_RESULT";
}

namespace {

std::vector<std::string_view> splitCrLf(std::string_view text) {
    std::vector<std::string_view> lines;
    for (;;) {
        const auto at = text.find("\r\n");
        lines.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            break;
        }
        text.remove_prefix(at + 2);
    }
    return lines;
}

int clampToInt(std::int64_t v) {
    if (v > std::numeric_limits<int>::max()) {
        return std::numeric_limits<int>::max();
    }
    if (v < std::numeric_limits<int>::min()) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(v);
}

}  // namespace

void parseStatusReply(std::string_view body, StatusReply& reply) {
    static const char* const kStates[] = {"IDLE",   "WAITXRAY", "PROCESSING",
                                          "IMGRDY", "NOTRDY",   "CLEAR"};
    for (std::string_view line : splitCrLf(body)) {
        if (startsWith(line, "STATE=")) {
            reply.stateText = std::string(line.substr(6));
            for (int i = 0; i < 6; ++i) {
                if (reply.stateText == kStates[i]) {
                    reply.stateNumber = i;
                }
            }
        } else if (startsWith(line, "ERROR=")) {
            reply.errorNumber = clampToInt(leadingNumber(line.substr(6)));
        } else if (startsWith(line, "SENSOR=")) {
            reply.sensorNumber = clampToInt(leadingNumber(line.substr(7)));
        }
    }
}

void parseParamReply(std::string_view body, ParamReply& reply) {
    for (std::string_view line : splitCrLf(body)) {
        if (startsWith(line, "NAME=")) {
            reply.name = std::string(line.substr(5));
        } else if (startsWith(line, "VALUE=")) {
            reply.value = std::string(line.substr(6));
        }
    }
}

std::int64_t leadingNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const int digit = text[i] - '0';
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return negative ? -value : value;
}

std::string toLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace wirebench
