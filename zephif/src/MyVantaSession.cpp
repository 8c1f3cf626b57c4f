// Notifications of the library's session, posted to the worker as thread messages.
#include "MyVantaSession.h"

#include "CaptureRequest.h"

#include <vantaproto/VTException.h>
#include <vantaproto/VTLog.h>

#include <memory>

namespace zephif {

MyVantaSession::MyVantaSession(DWORD workerThreadId, const char* unitHost, unsigned short unitPort,
                               const char* localAddress, unsigned short localPort)
    : VantaSession(unitHost, unitPort, localAddress, localPort), m_workerThreadId(workerThreadId) {}

MyVantaSession::MyVantaSession(DWORD workerThreadId, const char* unitHost, unsigned short unitPort,
                               unsigned short localPort)
    : VantaSession(unitHost, unitPort, localPort), m_workerThreadId(workerThreadId) {}

UINT MyVantaSession::MessageForCommand(const std::string& command) {
    if (command == vtwire::kCommandStatus)
        return kMsgStatusReply;
    if (command == vtwire::kCommandCapture)
        return kMsgCaptureReply;
    if (command == vtwire::kCommandClose)
        return kMsgCloseReply;
    if (command == vtwire::kCommandSetParam)
        return kMsgSetParamReply;
    return kMsgOtherReply;
}

DWORD MyVantaSession::Worker() const {
    if (!m_workerThreadId)
        VT_THROW(CVTException, "Invalid pointer", E_POINTER);
    return m_workerThreadId;
}

void MyVantaSession::OnMessageReceived(const VTRecvCommand& message) {
    const DWORD worker = Worker();
    const UINT kind = MessageForCommand(message.Command());
    auto copy = std::make_unique<VTRecvCommand>(message);
    if (PostThreadMessageA(worker, kind, 0, reinterpret_cast<LPARAM>(copy.get())))
        copy.release();  // the worker frees it
    else
        VTLOG(vtlog::kCapture, "reply %s dropped: the worker is gone", message.Command().c_str());
}

void MyVantaSession::OnImageDownloadStarted(int32_t declaredLength) {
    PostThreadMessageA(Worker(), kMsgTransferStarted, static_cast<WPARAM>(declaredLength), 0);
}

void MyVantaSession::OnImageDownloadProgress(int32_t chunkBytes) {
    PostThreadMessageA(Worker(), kMsgTransferProgress, static_cast<WPARAM>(chunkBytes), 0);
}

void MyVantaSession::OnReceiveError(int32_t code) {
    VTLOG(vtlog::kCapture, "receive error %d", code);
}

void MyVantaSession::OnReplyConnectionEnded(const ReplyConnectionEnd& end) {
    const bool broken =
        end.outcome == VTReplyOutcome::ReceiveError || end.outcome == VTReplyOutcome::ClosedEarly;
    if (broken && end.hasId && end.id == SessionIdentity().Id())
        PostThreadMessageA(Worker(), kMsgTransferBroken, 0, 0);
}

}  // namespace zephif
