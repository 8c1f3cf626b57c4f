// Reply framing: three CR LF-terminated header lines, then a body of the declared length.
#include "vantaproto/VTReplyReader.h"

#include "vantaproto/VTLog.h"

#include <cstring>
#include <string>

namespace {
constexpr int kHeaderLines = 3;
// With fewer ended lines than this the connection counts as failed, not merely short.
constexpr int kMinLinesForBrokenHeader = 2;
}  // namespace

VTReplyOutcome VTReplyReader::Read(char* buffer, VTReplySink& sink) {
    std::memset(buffer, 0, kBufferBytes);
    m_headerHasId = false;
    m_headerId.clear();
    int received = 0;
    int lines = 0;
    int lineStart[kHeaderLines + 1] = {0, 0, 0, 0};
    int lastResult = 0;

    while (lines < kHeaderLines && received < kReceiveBytes) {
        lastResult = m_receive(buffer + received, kReceiveBytes - received);
        if (lastResult <= 0)
            break;
        // Look one byte back as well: a CR that ended the previous chunk pairs with an LF
        // that starts this one.
        int scan = received > 0 ? received - 1 : 0;
        received += lastResult;
        for (; scan + 1 < received && lines < kHeaderLines; ++scan) {
            if (buffer[scan] == '\r' && buffer[scan + 1] == '\n') {
                buffer[scan] = '\0';
                lineStart[++lines] = scan + 2;
                ++scan;
            }
        }
    }

    if (lines < kMinLinesForBrokenHeader || lastResult < 0) {
        sink.OnReceiveError(m_lastError());
        return VTReplyOutcome::ReceiveError;
    }
    if (lines < kHeaderLines)
        return VTReplyOutcome::NoThirdLine;

    VTReplyHeader header;
    if (vtlog::Enabled(vtlog::kWire)) {
        std::string text;
        for (int i = 0; i < kHeaderLines; ++i)
            text += std::string(buffer + lineStart[i]) + "\r\n";
        vtlog::Print(vtlog::kWire, "reply header %s", vtlog::Escape(text).c_str());
    }
    for (int i = 0; i < kHeaderLines; ++i) {
        const char* line = buffer + lineStart[i];
        const size_t length = std::strlen(line);  // the CR became its terminator
        const VTHeaderLine parsed = ParseReplyHeaderLine(std::string_view(line, length), header);
        m_headerHasId = header.hasId;
        m_headerId = header.id;
        if (parsed != VTHeaderLine::Accepted)
            return VTReplyOutcome::BrokenHeader;
    }

    VTRecvCommand message = header.MakeMessage();
    const int bodyStart = lineStart[kHeaderLines];
    const int firstBytes = received - bodyStart;
    message.AddData(buffer + bodyStart, firstBytes);

    const bool notify = message.Length() > kDownloadNotifyAboveBytes;
    if (!message.Complete() && notify)
        sink.OnDownloadStarted(message.Length());
    while (!message.Complete()) {
        const int chunk = m_receive(buffer, kReceiveBytes);
        if (chunk == 0)
            return VTReplyOutcome::ClosedEarly;
        if (chunk < 0) {
            sink.OnReceiveError(m_lastError());
            return VTReplyOutcome::ReceiveError;
        }
        message.AddData(buffer, chunk);
        if (notify)
            sink.OnDownloadProgress(chunk);
    }
    sink.OnMessage(message);
    return VTReplyOutcome::Delivered;
}
