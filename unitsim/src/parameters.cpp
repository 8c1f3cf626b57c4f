// The unit's parameter table with its defaults and the checks SETPARAM applies.
#include "unitsim/parameters.h"

#include <arpa/inet.h>

#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "unitsim/image.h"

namespace unitsim {
namespace {

using K = ParameterKind;

// Ranges are the unit's own business: the tools send whatever the technician types.
constexpr std::array<ParameterSpec, 31> kSpecs{{
    {"AFEOffset", true, K::Number, 0, 255},
    {"AFEGain", true, K::Number, 0, 63},
    {"CCD_ID", false, K::Number},
    {"CCDSizeX", false, K::Number},
    {"CCDSizeY", false, K::Number},
    {"CCDBinnedRows", true, K::Number, 0, 8},
    {"CCDBinnedPixels", true, K::Number, 0, 8},
    {"EnableAutoGain", true, K::Number, 0, 1},
    {"EthernetAddr", false, K::Text},
    {"ExposureThreshold", true, K::Number, 0, kPixelMaxValue},
    {"FrMemStatus", false, K::Number},
    {"FrMemMaxBlocks", false, K::Number},
    {"FrMemNumBlocks", false, K::Number},
    {"FrMemNumBytes", false, K::Number},
    {"FrMemMinValue", false, K::Number},
    {"FrMemMaxValue", false, K::Number},
    {"FrMemGain", false, K::Number},
    {"FrMemNewMin", false, K::Number},
    {"Gateway", true, K::Address},
    {"HardwareVersion", false, K::Text},
    {"HostIP", true, K::Address},
    {"HostID", true, K::Text},
    {"LeftNoiseThreshold", true, K::Number, 0, kPixelMaxValue},
    {"NetMask", true, K::Address},
    {"MaxIntegrationTime", true, K::Number, 1, 10000},  // milliseconds
    {"PreviewZoom", false, K::Number},
    {"PreviewPixels", false, K::Number},
    {"PreviewLines", false, K::Number},
    {"RightNoiseThreshold", true, K::Number, 0, kPixelMaxValue},
    {"SerialNumber", false, K::Text},
    {"XRayTimeout", true, K::Number, 0, 3600},  // seconds; 0 waits for ever
}};

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<std::uint32_t> parseAddress(std::string_view text) {
    in_addr addr{};
    if (inet_pton(AF_INET, std::string(text).c_str(), &addr) != 1) {
        return std::nullopt;
    }
    return ntohl(addr.s_addr);
}

std::string addressText(std::uint32_t hostOrder) {
    in_addr addr{htonl(hostOrder)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

// A locally administered MAC address made from the listening address, so that two units on
// one machine tell themselves apart.
std::string ethernetAddress(std::uint32_t ip) {
    char text[18];
    std::snprintf(text, sizeof text, "02:00:%02X:%02X:%02X:%02X", (ip >> 24) & 0xff,
                  (ip >> 16) & 0xff, (ip >> 8) & 0xff, ip & 0xff);
    return text;
}

std::string defaultValue(std::string_view name, const UnitIdentity& identity) {
    const std::uint32_t ip = parseAddress(identity.hostIp).value_or(0);
    const bool loopback = (ip >> 24) == 127;
    const std::uint32_t mask = loopback ? 0xff000000u : 0xffffff00u;
    const std::uint32_t gateway = ip == 0 ? 0 : (ip & mask) | 1;

    struct Default {
        std::string_view name;
        std::string value;
    };
    const Default defaults[] = {
        {"AFEOffset", "128"},
        {"AFEGain", "12"},
        {"CCD_ID", "1"},
        {"CCDSizeX", std::to_string(identity.sensorWidth)},
        {"CCDSizeY", std::to_string(identity.sensorHeight)},
        {"CCDBinnedRows", "0"},
        {"CCDBinnedPixels", "0"},
        {"EnableAutoGain", "0"},
        {"EthernetAddr", ethernetAddress(ip)},
        {"ExposureThreshold", "300"},
        {"FrMemStatus", "0"},
        {"FrMemMaxBlocks", "16"},
        {"FrMemNumBlocks", "0"},
        {"FrMemNumBytes", "0"},
        {"FrMemMinValue", "0"},
        {"FrMemMaxValue", std::to_string(kPixelMaxValue)},
        {"FrMemGain", "1"},
        {"FrMemNewMin", "0"},
        {"Gateway", addressText(gateway)},
        {"HardwareVersion", "3.2"},
        {"HostIP", addressText(ip)},
        {"HostID", "VANTASIM"},
        {"LeftNoiseThreshold", "24"},
        {"NetMask", addressText(mask)},
        {"MaxIntegrationTime", "2000"},
        {"PreviewZoom", std::to_string(kPreviewZoom)},
        {"PreviewPixels", std::to_string(identity.sensorWidth / kPreviewZoom)},
        {"PreviewLines", std::to_string(identity.sensorHeight / kPreviewZoom)},
        {"RightNoiseThreshold", "24"},
        {"SerialNumber", "VS-000001"},
        {"XRayTimeout", "30"},
    };
    for (const auto& d : defaults) {
        if (d.name == name) {
            return d.value;
        }
    }
    throw std::logic_error("parameter without a default: " + std::string(name));
}

}  // namespace

std::span<const ParameterSpec> parameterSpecs() {
    return kSpecs;
}

ParameterTable::ParameterTable(const UnitIdentity& identity) {
    values_.reserve(kSpecs.size());
    for (const auto& spec : kSpecs) {
        values_.push_back(defaultValue(spec.name, identity));
    }
}

const ParameterSpec* ParameterTable::find(std::string_view name) const {
    name = trimBlanks(name);
    for (const auto& spec : kSpecs) {
        if (sameName(spec.name, name)) {
            return &spec;
        }
    }
    return nullptr;
}

std::optional<std::string> ParameterTable::get(std::string_view name) const {
    const ParameterSpec* spec = find(name);
    if (spec == nullptr) {
        return std::nullopt;
    }
    return values_[static_cast<std::size_t>(spec - kSpecs.data())];
}

SetOutcome ParameterTable::set(std::string_view name, std::string_view value) {
    const ParameterSpec* spec = find(name);
    if (spec == nullptr) {
        return SetOutcome::UnknownName;
    }
    if (!spec->writable) {
        return SetOutcome::ReadOnly;
    }
    std::string stored;
    switch (spec->kind) {
        case ParameterKind::Number: {
            std::string_view digits = trimBlanks(value);
            if (!digits.empty() && digits.front() == '+') {
                digits.remove_prefix(1);
            }
            std::int64_t number = 0;
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
                number < spec->minimum || number > spec->maximum) {
                return SetOutcome::BadValue;
            }
            stored = std::to_string(number);
            break;
        }
        case ParameterKind::Address:
            if (!parseAddress(trimBlanks(value))) {
                return SetOutcome::BadValue;
            }
            stored = trimBlanks(value);
            break;
        case ParameterKind::Text:
            if (value.size() > kMaxTextParameterBytes) {
                return SetOutcome::BadValue;
            }
            for (char c : value) {
                if (static_cast<unsigned char>(c) < 0x20) {
                    return SetOutcome::BadValue;
                }
            }
            stored = value;
            break;
    }
    values_[static_cast<std::size_t>(spec - kSpecs.data())] = std::move(stored);
    return SetOutcome::Stored;
}

std::int64_t ParameterTable::number(std::string_view name) const {
    auto text = get(name);
    if (!text) {
        throw std::logic_error("no such parameter: " + std::string(name));
    }
    std::int64_t value = 0;
    std::from_chars(text->data(), text->data() + text->size(), value);
    return value;
}

}  // namespace unitsim
