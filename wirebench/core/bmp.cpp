// Windows bitmap files in memory: header reading, 8- and 16-bit gray writing, decoding, and the
// row copies of the workbench's image bodies (rebuild on receipt, aligned or packed on sending).
#include "bmp.h"

#include <algorithm>
#include <cstring>

namespace wirebench {

namespace {

std::uint32_t u32(std::string_view b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}
std::uint16_t u16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
}
void put32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}
void put16(std::string& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}

}  // namespace

std::optional<std::uint32_t> bmpPixelOffset(std::string_view bytes) {
    if (bytes.size() < kBmpFileHeaderBytes) {
        return std::nullopt;
    }
    return u32(bytes, 10);
}

std::optional<BmpInfo> readBmpInfo(std::string_view bytes) {
    if (bytes.size() < kBmpHeadersBytes || bytes[0] != 'B' || bytes[1] != 'M') {
        return std::nullopt;
    }
    const std::uint32_t infoSize = u32(bytes, 14);
    if (infoSize < kBmpInfoHeaderBytes) {
        return std::nullopt;
    }
    BmpInfo info;
    info.pixelOffset = u32(bytes, 10);
    const auto w = static_cast<std::int32_t>(u32(bytes, 18));
    const auto h = static_cast<std::int32_t>(u32(bytes, 22));
    info.bits = u16(bytes, 28);
    const std::uint32_t compression = u32(bytes, 30);
    info.paletteEntries = u32(bytes, 46);
    if (w <= 0 || w > kMaxBmpSide || h == 0 || h < -kMaxBmpSide || h > kMaxBmpSide) {
        return std::nullopt;
    }
    info.width = w;
    info.height = h < 0 ? -h : h;
    info.topDown = h < 0;
    if (info.bits != 1 && info.bits != 4 && info.bits != 8 && info.bits != 16 && info.bits != 24 &&
        info.bits != 32) {
        return std::nullopt;
    }
    // Uncompressed rows only (bit fields keep the row layout).
    if (compression != 0 && compression != 3) {
        return std::nullopt;
    }
    if (info.bits <= 8 && (info.paletteEntries == 0 || info.paletteEntries > (1u << info.bits))) {
        info.paletteEntries = 1u << info.bits;
    }
    if (info.bits > 8) {
        info.paletteEntries = 0;
    }
    if (info.pixelOffset < kBmpHeadersBytes || info.pixelOffset > bytes.size()) {
        return std::nullopt;
    }
    if (info.paddedStride() * info.height > kMaxBmpPixelBytes) {
        return std::nullopt;
    }
    return info;
}

bool loadCountsGood(bool loaded, int bits, std::uint32_t pixelOffset, std::size_t bodyBytes,
                    int width, int height) {
    if (!loaded || bits > 8) {
        return false;
    }
    if (pixelOffset < kSmallPixelOffset) {
        return true;
    }
    const std::int64_t padded = ((std::int64_t{width} + 3) / 4) * 4;
    return static_cast<std::int64_t>(bodyBytes) ==
           std::int64_t{pixelOffset} + std::int64_t{height} * (bits / 8) * padded;
}

std::string rebuildIntoTemplate(std::string_view templateBmp, std::string_view body,
                                const BmpInfo& bodyInfo, bool swapBytes) {
    std::string out(templateBmp);
    const auto target = readBmpInfo(templateBmp);
    if (!target) {
        return out;
    }
    const std::int64_t rowBytes = std::min(target->packedStride(), bodyInfo.packedStride());
    const std::int64_t dstStride = target->paddedStride();
    const std::int64_t available =
        static_cast<std::int64_t>(body.size()) - static_cast<std::int64_t>(bodyInfo.pixelOffset);
    if (available <= 0) {
        return out;
    }
    const int rows = std::min(target->height, bodyInfo.height);
    const std::int64_t srcStride = available >= bodyInfo.paddedStride() * bodyInfo.height
                                       ? bodyInfo.paddedStride()
                                       : bodyInfo.packedStride();
    for (int r = 0; r < rows; ++r) {
        const std::int64_t src = std::int64_t{bodyInfo.pixelOffset} + r * srcStride;
        const std::int64_t dst = std::int64_t{target->pixelOffset} + r * dstStride;
        if (src >= static_cast<std::int64_t>(body.size())) {
            break;
        }
        const std::int64_t n = std::min({rowBytes, static_cast<std::int64_t>(body.size()) - src,
                                         static_cast<std::int64_t>(out.size()) - dst});
        if (n <= 0) {
            break;
        }
        std::memcpy(out.data() + dst, body.data() + src, static_cast<std::size_t>(n));
        if (swapBytes && bodyInfo.bits == 16) {
            for (std::int64_t k = 0; k + 1 < n; k += 2) {
                std::swap(out[static_cast<std::size_t>(dst + k)],
                          out[static_cast<std::size_t>(dst + k + 1)]);
            }
        }
    }
    return out;
}

std::string writeGrayBmp(int width, int height, int bits, const std::uint8_t* pixels,
                         std::size_t stride) {
    if (width <= 0 || height <= 0 || width > kMaxBmpSide || height > kMaxBmpSide ||
        (bits != 8 && bits != 16)) {
        return {};
    }
    const std::uint32_t paletteBytes = bits == 8 ? 256 * 4 : 0;
    const std::uint32_t offset = static_cast<std::uint32_t>(kBmpHeadersBytes) + paletteBytes;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * (bits / 8);
    const std::size_t padded = (rowBytes + 3) / 4 * 4;
    const std::size_t total = offset + padded * static_cast<std::size_t>(height);
    std::string b(total, '\0');
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<std::uint32_t>(total));
    put32(b, 10, offset);
    put32(b, 14, static_cast<std::uint32_t>(kBmpInfoHeaderBytes));
    put32(b, 18, static_cast<std::uint32_t>(width));
    put32(b, 22, static_cast<std::uint32_t>(height));
    put16(b, 26, 1);
    put16(b, 28, static_cast<std::uint16_t>(bits));
    put32(b, 34, static_cast<std::uint32_t>(padded * static_cast<std::size_t>(height)));
    put32(b, 38, 2835);  // 72 dpi
    put32(b, 42, 2835);
    if (bits == 8) {
        put32(b, 46, 256);
        for (std::uint32_t i = 0; i < 256; ++i) {
            put32(b, kBmpHeadersBytes + 4 * i, i | i << 8 | i << 16);
        }
    }
    if (pixels != nullptr) {
        for (int r = 0; r < height; ++r) {
            // Bottom-up: the file's first row is the image's last.
            std::memcpy(b.data() + offset + padded * static_cast<std::size_t>(height - 1 - r),
                        pixels + stride * static_cast<std::size_t>(r), rowBytes);
        }
    }
    return b;
}

std::string packBmpRows(std::string_view bmp) {
    const auto info = readBmpInfo(bmp);
    if (!info) {
        return std::string(bmp);
    }
    std::string out(bmp);
    const std::int64_t packed = info->packedStride();
    const std::int64_t padded = info->paddedStride();
    const std::int64_t p = info->pixelOffset;
    for (int r = 0; r < info->height; ++r) {
        const std::int64_t src = p + r * padded;
        const std::int64_t dst = p + r * packed;
        if (src + packed > static_cast<std::int64_t>(bmp.size())) {
            break;
        }
        std::memmove(out.data() + dst, out.data() + src, static_cast<std::size_t>(packed));
    }
    out.resize(static_cast<std::size_t>(
        std::min<std::int64_t>(p + packed * info->height, static_cast<std::int64_t>(out.size()))));
    return out;
}

std::optional<DecodedBmp> decodeBmp(std::string_view bytes) {
    const auto info = readBmpInfo(bytes);
    if (!info || (info->bits != 8 && info->bits != 16 && info->bits != 24 && info->bits != 32)) {
        return std::nullopt;
    }
    const std::int64_t padded = info->paddedStride();
    if (std::int64_t{info->pixelOffset} + padded * info->height >
        static_cast<std::int64_t>(bytes.size())) {
        return std::nullopt;
    }
    DecodedBmp d;
    d.info = *info;
    if (info->bits == 8) {
        const std::size_t paletteAt = 14 + u32(bytes, 14);
        for (std::uint32_t i = 0; i < info->paletteEntries; ++i) {
            const std::size_t at = paletteAt + 4 * i;
            if (at + 4 > info->pixelOffset) {
                break;
            }
            d.palette.push_back(0xFF000000u | (u32(bytes, at) & 0xFFFFFFu));
        }
        if (d.palette.empty()) {
            return std::nullopt;
        }
    }
    const std::size_t packed = static_cast<std::size_t>(info->packedStride());
    d.pixels.resize(packed * static_cast<std::size_t>(info->height));
    for (int r = 0; r < info->height; ++r) {
        const int fileRow = info->topDown ? r : info->height - 1 - r;
        std::memcpy(d.pixels.data() + packed * static_cast<std::size_t>(r),
                    bytes.data() + info->pixelOffset + padded * fileRow, packed);
    }
    if (info->bits == 8) {
        // A pixel beyond the palette shows as its last entry.
        const auto last = static_cast<std::uint8_t>(d.palette.size() - 1);
        for (auto& px : d.pixels) {
            px = std::min(px, last);
        }
    }
    return d;
}

}  // namespace wirebench
