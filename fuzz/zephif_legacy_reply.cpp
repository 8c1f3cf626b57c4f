// Fuzzes the legacy capture library's reply reading: header, body bounds and status fields.
#include "LegacyText.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's length, so any read beyond it is caught.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    bool bad = false;
    const auto header = zephlegacy::ParseReplyHeader(bytes, bad);
    if (header && bad)
        __builtin_trap();
    if (!header)
        return 0;
    if (header->headerBytes > bytes.size())
        __builtin_trap();
    const std::string body = bytes.substr(header->headerBytes);
    if (const auto status = zephlegacy::ParseStatusBody(body))
        (void)zephlegacy::ErrorTextRefuses(status->error);
    return 0;
}
