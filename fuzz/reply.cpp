// Fuzzes reply framing, header lines, body accumulation and taking apart, at arbitrary splits.
#include <vantaproto/VTException.h>
#include <vantaproto/VTReplyReader.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kSplitPatternBytes = 8;

class CheckingSink : public VTReplySink {
public:
    void OnMessage(const VTRecvCommand& m) override {
        // A delivered message is complete and its body never exceeds its declared length.
        if (!m.Complete() || m.Received() != m.Length())
            __builtin_trap();
        if (m.Length() > 0 && !m.Data())
            __builtin_trap();
        volatile size_t touch = m.State().size() + m.Error().size() + m.ParameterName().size() +
                                m.ParameterValue().size();
        (void)touch;
        VTRecvCommand copy(m);
        if (copy.Length() > 0 && std::memcmp(copy.Data(), m.Data(), m.Length()) != 0)
            __builtin_trap();
    }
    void OnDownloadStarted(int32_t length) override {
        if (length <= VTReplyReader::kDownloadNotifyAboveBytes)
            __builtin_trap();
    }
    void OnDownloadProgress(int32_t bytes) override {
        if (bytes <= 0)
            __builtin_trap();
    }
    void OnReceiveError(int32_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kSplitPatternBytes)
        return 0;
    const uint8_t* pattern = data;
    const char* stream = reinterpret_cast<const char*>(data + kSplitPatternBytes);
    const size_t streamBytes = size - kSplitPatternBytes;
    // The last pattern byte decides how the stream ends: orderly close or a failed receive.
    const bool endsWithFailure = pattern[kSplitPatternBytes - 1] & 1;

    size_t offset = 0;
    size_t chunkIndex = 0;
    auto receive = [&](char* buffer, int room) -> int {
        if (offset >= streamBytes)
            return endsWithFailure ? -1 : 0;
        size_t chunk = pattern[chunkIndex++ % (kSplitPatternBytes - 1)];
        if (chunk == 0)
            chunk = static_cast<size_t>(room);
        chunk = std::min({chunk, static_cast<size_t>(room), streamBytes - offset});
        std::memcpy(buffer, stream + offset, chunk);
        offset += chunk;
        return static_cast<int>(chunk);
    };
    std::vector<char> buffer(VTReplyReader::kBufferBytes);
    CheckingSink sink;
    try {
        VTReplyReader reader(receive, [] { return int32_t{10054}; });
        reader.Read(buffer.data(), sink);
    } catch (const CVTException&) {
        // Allocation refusal is the only exception the reader may pass on.
    }
    return 0;
}
