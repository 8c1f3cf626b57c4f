// Diagnostics to stderr, switched on per category by VANTA_DEBUG.
#include "vantaproto/VTLog.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vtlog {
namespace {

struct Name {
    const char* text;
    Category category;
};
constexpr Name kNames[] = {
    {"wire", kWire}, {"session", kSession}, {"capture", kCapture}, {"unit", kUnit}};

unsigned FromEnvironment() {
    const char* env = std::getenv("VANTA_DEBUG");
    if (!env)
        return 0;
    std::string list = env;
    unsigned mask = 0;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string item = list.substr(start, end - start);
        if (item == "all" || item == "1")
            mask = ~0u;
        for (const auto& n : kNames) {
            if (item == n.text)
                mask |= n.category;
        }
        start = end + 1;
    }
    return mask;
}

std::atomic<unsigned>& Mask() {
    static std::atomic<unsigned> mask{FromEnvironment()};
    return mask;
}

const char* NameOf(Category category) {
    for (const auto& n : kNames) {
        if (n.category == category)
            return n.text;
    }
    return "?";
}

}  // namespace

bool Enabled(Category category) {
    return (Mask().load(std::memory_order_relaxed) & category) != 0;
}

void Enable(unsigned categories) {
    Mask().fetch_or(categories);
}

void Print(Category category, const char* format, ...) {
    using namespace std::chrono;
    static const auto origin = steady_clock::now();
    const double seconds = duration<double>(steady_clock::now() - origin).count();
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "[%10.6f %6lu %-7s] %s\n", seconds,
                 static_cast<unsigned long>(GetCurrentThreadId()), NameOf(category), text);
}

std::string Escape(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (unsigned char c : bytes) {
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
                if (c < 0x20 || c >= 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

}  // namespace vtlog
