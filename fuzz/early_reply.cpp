// Fuzzes the configuration tools' reply reader: header order, split receives, short bodies.
#include <vantaproto/EarlySession.h>
#include <vantaproto/VTException.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // The first byte chooses the tool, the second the receive sizes.
    const EarlySessionForm& form =
        data[0] & 1 ? EarlySessionForm::kEthernetUnitTool : EarlySessionForm::kSensorUnitTool;
    const size_t step = 1 + data[1] % 64;
    const uint8_t* bytes = data + 2;
    size_t left = size - 2;
    EarlyReplyReader reader(form, [&](char* into, int room) -> int {
        if (left == 0)
            return 0;
        const size_t n = std::min({step, left, static_cast<size_t>(room)});
        std::memcpy(into, bytes, n);
        bytes += n;
        left -= n;
        return static_cast<int>(n);
    });
    try {
        reader.Read([](const EarlyReply& r) {
            // Never more body than declared; complete exactly when all of it arrived.
            if (r.received > r.length || r.complete != (r.received == r.length))
                __builtin_trap();
            if (r.valid != (r.error == "0: 0"))
                __builtin_trap();
        });
    } catch (const CVTException&) {
    }
    return 0;
}
