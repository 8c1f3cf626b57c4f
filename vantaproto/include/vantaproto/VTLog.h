// Diagnostics: categories switched on by VANTA_DEBUG (for example "wire,session"), on stderr.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace vtlog {

enum Category : unsigned {
    kWire = 1u << 0,     // request and reply bytes, escaped
    kSession = 1u << 1,  // sessions, listener and connection threads
    kCapture = 1u << 2,  // the capture library's worker
    kUnit = 1u << 3,     // the virtual unit
};

// Whether a category is on; VANTA_DEBUG is read once ("all" switches every category on).
bool Enabled(Category category);
// Switches categories on in addition to VANTA_DEBUG (tools' --debug).
void Enable(unsigned categories);
// One line: monotonic time stamp, thread id, category, text.
void Print(Category category, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Bytes with CR, LF, zero bytes and other control bytes made visible (\r, \n, \0, \xNN).
std::string Escape(std::string_view bytes);

}  // namespace vtlog

#define VTLOG(category, ...)                       \
    do {                                           \
        if (::vtlog::Enabled(category))            \
            ::vtlog::Print(category, __VA_ARGS__); \
    } while (0)
