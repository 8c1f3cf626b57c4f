// The library's session: every reply and transfer notification becomes a thread message to the
// worker, which owns and frees what the message carries.
#pragma once

#include <vantaproto/VantaSession.h>

#include <windows.h>

namespace zephif {

class MyVantaSession : public VantaSession {
public:
    // `workerThreadId`: the worker whose queue receives the notifications.
    MyVantaSession(DWORD workerThreadId, const char* unitHost, unsigned short unitPort,
                   const char* localAddress, unsigned short localPort);
    MyVantaSession(DWORD workerThreadId, const char* unitHost, unsigned short unitPort,
                   unsigned short localPort);

    // The worker message a reply with this command word goes to.
    static UINT MessageForCommand(const std::string& command);

protected:
    void OnMessageReceived(const VTRecvCommand& message) override;
    void OnImageDownloadStarted(int32_t declaredLength) override;
    void OnImageDownloadProgress(int32_t chunkBytes) override;
    void OnReceiveError(int32_t code) override;
    void OnReplyConnectionEnded(const ReplyConnectionEnd& end) override;

private:
    DWORD Worker() const;

    DWORD m_workerThreadId;
};

}  // namespace zephif
