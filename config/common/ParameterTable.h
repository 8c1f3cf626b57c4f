// Rows of the parameter list a tool offers, and how a typed value becomes what is sent.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

struct ParameterEntry {
    const char* name;
    bool writable;   // the Change command is offered
    bool textValue;  // sent as typed; otherwise converted to a whole number
};

using ParameterTable = std::span<const ParameterEntry>;

// The runtime's atoi reading (leading white space, optional sign, digits up to the first
// non-digit, 0 without digits), saturating at the int range instead of overflowing.
int AtoiSaturating(std::string_view text);

// Whether a text would add lines to a request.
bool HoldsLineBreak(std::string_view text);
