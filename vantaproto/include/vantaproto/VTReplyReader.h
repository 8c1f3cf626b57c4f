// Framing of one reply connection: header lines, body accumulation and the notifications.
#pragma once

#include "vantaproto/VTMessage.h"

#include <cstdint>
#include <functional>
#include <string>

// Receives what the reader finds; called on the reading thread.
class VTReplySink {
public:
    virtual ~VTReplySink() = default;
    virtual void OnMessage(const VTRecvCommand& message) = 0;
    virtual void OnDownloadStarted(int32_t declaredLength) = 0;
    virtual void OnDownloadProgress(int32_t chunkBytes) = 0;
    virtual void OnReceiveError(int32_t code) = 0;
};

enum class VTReplyOutcome {
    Delivered,     // a complete message went to OnMessage
    ReceiveError,  // OnReceiveError was raised
    BrokenHeader,  // a header line was refused: dropped without notification
    NoThirdLine,   // the third header line never ended: dropped without notification
    ClosedEarly,   // the peer closed before the declared length arrived: dropped
};

class VTReplyReader {
public:
    static constexpr int kBufferBytes = 10000;
    static constexpr int kReceiveBytes = kBufferBytes - 1;  // the last byte stays zero
    // Replies declaring more than this many bytes raise the download notifications.
    static constexpr int32_t kDownloadNotifyAboveBytes = 243;

    // recv semantics: bytes received, 0 when the peer closed, -1 on failure.
    using Receive = std::function<int(char* buffer, int size)>;
    // The socket layer's last error code, read after a failed receive.
    using LastError = std::function<int32_t()>;

    VTReplyReader(Receive receive, LastError lastError)
        : m_receive(std::move(receive)), m_lastError(std::move(lastError)) {}

    // Reads one reply into `buffer` (kBufferBytes, reused for the body chunks).
    VTReplyOutcome Read(char* buffer, VTReplySink& sink);

    // After Read: whether an ID line was taken from the header, and its value. A connection
    // that broke off before or within its header has none.
    bool HeaderHasId() const { return m_headerHasId; }
    const std::string& HeaderId() const { return m_headerId; }

private:
    Receive m_receive;
    LastError m_lastError;
    bool m_headerHasId = false;
    std::string m_headerId;
};
