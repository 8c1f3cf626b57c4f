// Writes 16-bit grayscale images as PNG (libpng) or binary PGM, chosen by the file extension.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace boardctl {

// `maxValue` is the largest pixel value (1023 for 10-bit, 4095 for 12-bit pixels); PGM records
// it, PNG stores the 16-bit samples as they are. Returns false with `error` set on failure.
bool WriteImage(const std::string& path, const std::vector<uint16_t>& pixels, uint32_t columns,
                uint32_t rows, uint16_t maxValue, std::string* error);

}  // namespace boardctl
