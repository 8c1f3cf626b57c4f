// Request parsing and reply formatting of the unit's side of the wire.
#include "unitsim/wire.h"

#include <arpa/inet.h>

#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <utility>

namespace unitsim {
namespace {

constexpr std::array<std::pair<UnitState, std::string_view>, 5> kStateWords{{
    {UnitState::Idle, "IDLE"},
    {UnitState::WaitXray, "WAITXRAY"},
    {UnitState::Processing, "PROCESSING"},
    {UnitState::ImageReady, "IMGRDY"},
    {UnitState::NotReady, "NOTRDY"},
}};

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

template <typename T>
std::optional<T> parseWhole(std::string_view text) {
    // from_chars rejects a leading '+', which a hand-typed request may carry.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string_view stateText(UnitState state) {
    for (const auto& [s, word] : kStateWords) {
        if (s == state) {
            return word;
        }
    }
    return "NOTRDY";
}

std::optional<UnitState> stateFromText(std::string_view text) {
    for (const auto& [s, word] : kStateWords) {
        if (equalsIgnoringCase(word, text)) {
            return s;
        }
    }
    return std::nullopt;
}

std::optional<PictureMode> pictureModeFromText(std::string_view text) {
    text = trimBlanks(text);
    if (text.empty()) {
        return PictureMode::Gray16;
    }
    auto value = parseWhole<std::int64_t>(text);
    if (!value) {
        return std::nullopt;
    }
    // The computer prints the mode with "%d"; accept the unsigned reading of the same bits too.
    if (*value < INT32_MIN || *value > UINT32_MAX) {
        return std::nullopt;
    }
    const auto bits = static_cast<std::uint32_t>(*value);
    constexpr auto kKnownBits = static_cast<std::uint32_t>(kMode8Bit | kModePreview);
    if ((bits & ~kKnownBits) != 0) {
        return std::nullopt;
    }
    // Preview is always 8 bits, so bit 29 next to bit 30 changes nothing.
    if ((bits & static_cast<std::uint32_t>(kModePreview)) != 0) {
        return PictureMode::Preview;
    }
    if ((bits & static_cast<std::uint32_t>(kMode8Bit)) != 0) {
        return PictureMode::Gray8;
    }
    return PictureMode::Gray16;
}

ParsedRequest parseRequest(std::string_view bytes) {
    if (auto zero = bytes.find('\0'); zero != std::string_view::npos) {
        bytes = bytes.substr(0, zero);
    }
    Request request;
    bool haveCommand = false;
    bool haveIp = false;
    std::optional<std::string_view> portText;

    while (!bytes.empty()) {
        auto end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        bytes = end == std::string_view::npos ? std::string_view{} : bytes.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        std::string_view key = trimBlanks(line.substr(0, eq));
        std::string_view rawValue = line.substr(eq + 1);
        std::string_view value = trimBlanks(rawValue);
        if (equalsIgnoringCase(key, "ID")) {
            request.id = value;
        } else if (equalsIgnoringCase(key, "IP")) {
            request.ip = value;
            haveIp = true;
        } else if (equalsIgnoringCase(key, "PORT")) {
            portText = value;
        } else if (equalsIgnoringCase(key, "CMD")) {
            request.command = value;
            haveCommand = true;
        } else if (equalsIgnoringCase(key, "MODE")) {
            request.mode = value;
        } else if (equalsIgnoringCase(key, "NAME")) {
            request.name = std::string(value);
        } else if (equalsIgnoringCase(key, "VAL") || equalsIgnoringCase(key, "VALUE")) {
            // A text parameter may legitimately carry blanks, so the value is kept as sent.
            request.value = std::string(rawValue);
        }
    }

    if (!haveCommand || request.command.empty()) {
        return {std::nullopt, "no CMD line"};
    }
    if (!haveIp || request.ip.empty()) {
        return {std::nullopt, "no IP line"};
    }
    in_addr addr{};
    if (inet_pton(AF_INET, request.ip.c_str(), &addr) != 1 &&
        !equalsIgnoringCase(request.ip, "localhost")) {
        return {std::nullopt, "IP is not a dotted IPv4 address"};
    }
    if (!portText) {
        return {std::nullopt, "no PORT line"};
    }
    auto port = parseWhole<int>(*portText);
    if (!port || *port < 1 || *port > 65535) {
        return {std::nullopt, "PORT is not a port number"};
    }
    request.port = static_cast<std::uint16_t>(*port);
    return {std::move(request), {}};
}

std::string replyHeader(std::string_view id, std::string_view command, std::size_t bodyBytes) {
    std::string header;
    header.reserve(id.size() + command.size() + 32);
    header.append("ID=").append(id).append("\r\n");
    header.append("CMD=").append(command).append("\r\n");
    header.append("LEN=").append(std::to_string(bodyBytes)).append("\r\n");
    return header;
}

std::string formatReply(std::string_view id, std::string_view command, std::string_view body) {
    std::string reply = replyHeader(id, command, body.size());
    reply.append(body);
    return reply;
}

std::string statusBody(UnitState state, std::string_view error, int sensor) {
    std::string body("STATE=");
    body.append(stateText(state)).append("\r\nERR=").append(error);
    body.append("\r\nSENSOR=").append(std::to_string(sensor));
    return body;
}

std::string parameterBody(std::string_view name, std::string_view value) {
    std::string body("NAME=");
    body.append(name).append("\r\nVALUE=").append(value);
    return body;
}

std::string escapeBytes(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\0':
                out += "\\0";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (b < 0x20 || b >= 0x7f) {
                    char hex[5];
                    std::snprintf(hex, sizeof hex, "\\x%02X", b);
                    out += hex;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

}  // namespace unitsim
