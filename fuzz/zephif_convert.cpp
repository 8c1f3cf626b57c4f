// Fuzzes the capture library's payload converter with arbitrary payloads and lengths.
#include "Converter.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The payload is copied to a block of exactly its length, so any read beyond it is caught.
    std::vector<uint8_t> payload(data, data + size);
    const auto layout = zephif::ReadBitmapLayout(payload.data(), payload.size());
    if (!layout)
        return 0;
    // An accepted layout names only bytes inside the payload.
    const size_t last =
        layout->dataOffset + (layout->height - 1) * layout->stride + layout->rowBytes;
    if (last > payload.size() || layout->PixelCount() * layout->bytesPerPixel > payload.size())
        __builtin_trap();
    std::vector<uint16_t> pixels(layout->PixelCount());
    zephif::ConvertPixels(payload.data(), *layout, pixels.data());
    for (uint16_t v : pixels)
        if (v > 4095)
            __builtin_trap();
    // The vector path and the portable loop agree on every payload.
    std::vector<uint16_t> portable(layout->PixelCount());
    zephif::ConvertPixelsPortable(payload.data(), *layout, portable.data());
    if (portable != pixels)
        __builtin_trap();
    return 0;
}
