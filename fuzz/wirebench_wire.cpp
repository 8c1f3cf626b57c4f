// Fuzzes the workbench's sensor-side request parser, PC-side reply receiver and bitmap rows with
// arbitrary bytes in arbitrary chunks: no crash, no overrun, bounded memory.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/bmp.h"
#include "core/reply_receiver.h"
#include "core/request_parser.h"
#include "core/wire.h"

namespace {

constexpr std::size_t kSplitPatternBytes = 8;

// Chunk lengths taken in turn from the first bytes of the input (1 to 64 each).
template <typename Feed>
void inChunks(std::string_view pattern, std::string_view data, Feed feed) {
    std::size_t at = 0;
    for (std::size_t k = 0; at < data.size(); ++k) {
        const std::size_t n =
            pattern.empty() ? data.size()
                            : 1 + static_cast<unsigned char>(pattern[k % pattern.size()]) % 64;
        feed(data.substr(at, n));
        at += n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(bytes), size);
    const std::string_view pattern = all.substr(0, std::min(size, kSplitPatternBytes));
    const std::string_view data = all.substr(pattern.size());

    wirebench::RequestParser parser;
    parser.start();
    inChunks(pattern, data, [&](std::string_view chunk) {
        parser.feed(chunk);
        parser.takeLines();
    });
    const auto& f = parser.fields();
    if (f.id.size() > wirebench::kMaxRequestLineBytes ||
        f.paramValue.size() > wirebench::kMaxRequestLineBytes) {
        __builtin_trap();
    }
    if (f.returnPort != 0 &&
        (f.returnPort < wirebench::kLowestPort || f.returnPort > wirebench::kHighestPort)) {
        __builtin_trap();
    }
    wirebench::RequestFields copy = f;
    (void)wirebench::serveCommandNumber(copy);

    wirebench::ReplyReceiver receiver([](std::string_view id) { return id == "1" ? 0 : -1; },
                                      [](int) { return std::string("STATUS"); });
    receiver.start();
    int reached = 0;
    inChunks(pattern, data, [&](std::string_view chunk) {
        const auto r = receiver.feed(chunk);
        if (r.consumed > chunk.size()) {
            __builtin_trap();
        }
        reached += r.reachedLen ? 1 : 0;
        receiver.takeLines();
    });
    if (reached > 1 || receiver.received() > receiver.expected() ||
        receiver.expected() > wirebench::kMaxReplyBodyBytes) {
        __builtin_trap();
    }
    wirebench::StatusReply status;
    wirebench::parseStatusReply(receiver.body(), status);
    wirebench::ParamReply param;
    wirebench::parseParamReply(receiver.body(), param);

    // The same bytes as a received image body: header checks, decoding, packing and rebuild.
    if (const auto info = wirebench::readBmpInfo(data)) {
        const std::int64_t rows = info->paddedStride() * info->height;
        if (rows > wirebench::kMaxBmpPixelBytes) {
            __builtin_trap();
        }
        (void)wirebench::decodeBmp(data);
        (void)wirebench::packBmpRows(data);
        // A small template keeps each run fast; rows beyond it are not copied.
        if (info->bits == 8 || info->bits == 16) {
            const std::string templ = wirebench::writeGrayBmp(
                std::min(info->width, 64), std::min(info->height, 64), info->bits, nullptr, 0);
            const std::string rebuilt = wirebench::rebuildIntoTemplate(templ, data, *info, true);
            if (rebuilt.size() != templ.size()) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
