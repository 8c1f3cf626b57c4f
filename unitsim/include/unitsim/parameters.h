// The unit's parameter table: the names the tools ask for, their values, what SETPARAM may change.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace unitsim {

enum class ParameterKind {
    Number,   // whole decimal number within [minimum, maximum]
    Address,  // dotted IPv4 text
    Text,     // free text up to kMaxTextParameterBytes
};

inline constexpr std::size_t kMaxTextParameterBytes = 63;

struct ParameterSpec {
    std::string_view name;
    bool writable;
    ParameterKind kind;
    std::int64_t minimum = 0;
    std::int64_t maximum = 0;
};

// Every name the unit knows, in the order the configuration tool lists them.
std::span<const ParameterSpec> parameterSpecs();

// What the unit reports about itself that depends on how it was started.
struct UnitIdentity {
    std::string hostIp = "127.0.0.1";  // address the unit listens on
    int sensorWidth = 684;
    int sensorHeight = 456;
};

enum class SetOutcome { Stored, UnknownName, ReadOnly, BadValue };

class ParameterTable {
public:
    explicit ParameterTable(const UnitIdentity& identity);

    // Names are matched without regard to case, so "FrmemNumBytes" as one tool spells it and
    // "FrMemNumBytes" as the other does name the same parameter.
    std::optional<std::string> get(std::string_view name) const;
    SetOutcome set(std::string_view name, std::string_view value);

    // The stored value as a number, for the parameters the unit itself acts on.
    std::int64_t number(std::string_view name) const;

private:
    const ParameterSpec* find(std::string_view name) const;
    std::vector<std::string> values_;  // parallel to parameterSpecs()
};

}  // namespace unitsim
