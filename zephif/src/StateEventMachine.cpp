// The acquisition worker: thread-message handling, dispatch over the table, handlers and timer.
#include "StateEventMachine.h"

#include "StringTable.h"

#include <vantaproto/IpHelper.h>
#include <vantaproto/VTException.h>
#include <vantaproto/VTLog.h>
#include <zephif/ZephIF.h>

#include <mmsystem.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>

namespace zephif {
namespace {

constexpr char kXRayTimeoutParameter[] = "XRayTimeout";
// The unit's own exposure wait outlasts ours by this much, so our time-out speaks first.
constexpr int kXRayTimeoutMarginSeconds = 5;
// Error texts of a CAPTURE reply: the first is transient and ignored, the second a sensor fault.
constexpr char kTransientCaptureError[] = "-2001: 62";
constexpr char kSensorFaultError[] = "-2012";
constexpr char kMessageBoxCaption[] = "ZephIF";
constexpr int kMaxResets = 2;

struct StateWord {
    const char* text;
    int event;
};
// Compared exactly, in this order.
constexpr StateWord kStateWords[] = {
    {"IDLE", kEvStatusIdle},         {"IMGRDY", kEvStatusImageReady},
    {"WAITXRAY", kEvStatusWaitXray}, {"PROCESSING", kEvStatusProcessing},
    {"NOTRDY", kEvStatusNotReady},   {"CLEAR", kEvStatusClear},
};

}  // namespace

StateEventMachine::StateEventMachine(const SessionSettings& settings, HANDLE startEvent,
                                     WorkerTiming timing)
    : m_settings(settings), m_timing(timing), m_startEvent(startEvent) {}

StateEventMachine::~StateEventMachine() {
    ShutDownSession(false);
    if (m_thread)
        CloseHandle(m_thread);
}

bool StateEventMachine::CreateSuspended() {
    m_thread = CreateThread(nullptr, 0, &StateEventMachine::ThreadProc, this, CREATE_SUSPENDED,
                            &m_threadId);
    return m_thread != nullptr;
}

void StateEventMachine::Resume() {
    ResumeThread(m_thread);
}

void StateEventMachine::ReleaseStartEvent() {
    std::lock_guard<std::mutex> guard(m_startLock);
    m_startEvent = nullptr;
}

bool StateEventMachine::Abandon() {
    return m_owners.fetch_sub(1) == 1;
}

DWORD WINAPI StateEventMachine::ThreadProc(LPVOID self) {
    auto* machine = static_cast<StateEventMachine*>(self);
    const DWORD code = machine->Run();
    if (machine->m_owners.fetch_sub(1) == 1)
        delete machine;  // its starter gave up waiting for it
    return code;
}

void CALLBACK StateEventMachine::TimerProc(UINT timerId, UINT, DWORD_PTR user, DWORD_PTR,
                                           DWORD_PTR) {
    PostThreadMessageA(static_cast<DWORD>(user), kMsgTimer, timerId, 0);
}

DWORD StateEventMachine::Run() {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here on
    InitInstance();
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        OnThreadMessage(msg);
    ExitInstance();
    return 0;
}

void StateEventMachine::InitInstance() {
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) == TIMERR_NOERROR) {
        if (caps.wPeriodMin >= 1 && caps.wPeriodMin <= caps.wPeriodMax) {
            m_timerMinMs = caps.wPeriodMin;
            m_timerMaxMs = caps.wPeriodMax;
        }
        UINT period =
            caps.wPeriodMin > kTimerResolutionFloorMs ? caps.wPeriodMin : kTimerResolutionFloorMs;
        if (period > caps.wPeriodMax)
            period = caps.wPeriodMax;
        if (timeBeginPeriod(period) == TIMERR_NOERROR)
            m_timerPeriod = period;
    }
    m_state = kConnecting;
    m_captureArmed = 1;
    m_receiving = 0;
    Dispatch(kEvOpen);
}

void StateEventMachine::ExitInstance() {
    StopTimer();
    m_pending.reset();
    ShutDownSession(false);
    m_kept.Free();
    m_dialog.Destroy();
    DrainQueue();
    if (m_timerPeriod)
        timeEndPeriod(m_timerPeriod);
}

// Messages still queued when the thread ends carry replies and requests that only we can free.
void StateEventMachine::DrainQueue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        switch (msg.message) {
            case kMsgStatusReply:
            case kMsgCaptureReply:
            case kMsgCloseReply:
            case kMsgOtherReply:
            case kMsgSetParamReply:
                delete reinterpret_cast<VTRecvCommand*>(msg.lParam);
                break;
            case kMsgCaptureRawPost:
            case kMsgCaptureRawEvent:
            case kMsgCaptureBitmapPost:
            case kMsgCaptureBitmapEvent:
                delete reinterpret_cast<CaptureRequest*>(msg.lParam);
                break;
            default:
                break;
        }
    }
}

void StateEventMachine::OnThreadMessage(const MSG& msg) {
    auto reply = [&] {
        return std::unique_ptr<VTRecvCommand>(reinterpret_cast<VTRecvCommand*>(msg.lParam));
    };
    switch (msg.message) {
        case kMsgEnd:
            InterlockedExchange(&m_ending, 1);
            StopTimer();
            Dispatch(kEvEnd);
            PostQuitMessage(0);
            break;
        case kMsgOpen:
            if (!m_ending)
                Dispatch(kEvOpen);
            break;
        case kMsgStatusReply:
            OnStatusReply(reply());
            break;
        case kMsgCaptureReply:
            OnCaptureReply(reply());
            break;
        case kMsgCloseReply:
            OnCloseReply(reply());
            break;
        case kMsgSetParamReply:
            reply();  // nothing to act on
            break;
        case kMsgOtherReply:
            OnOtherReply(reply());
            break;
        case kMsgTimer:
            OnTimer(static_cast<UINT>(msg.wParam));
            break;
        case kMsgCaptureRawPost:
        case kMsgCaptureRawEvent:
        case kMsgCaptureBitmapPost:
        case kMsgCaptureBitmapEvent:
            OnCaptureRequest(msg.message, std::unique_ptr<CaptureRequest>(
                                              reinterpret_cast<CaptureRequest*>(msg.lParam)));
            break;
        case kMsgCancel:
            OnCancel();
            break;
        case kMsgTransferStarted:
            m_receivedBytes = 0;
            m_receiving = 1;
            m_dialog.SetColour(kColourYellow);
            m_dialog.ShowText(kTextTransferStarted);
            break;
        case kMsgTransferBroken:
            OnTransferBroken();
            break;
        case kMsgTransferProgress:
            m_receivedBytes += static_cast<LONG>(msg.wParam);
            m_receiving = 1;
            m_dialog.SetColour(kColourYellow);
            m_dialog.ShowText(kTextTransferProgress, std::to_string(m_receivedBytes).c_str());
            break;
        default:
            break;
    }
}

HRESULT StateEventMachine::Dispatch(int event, WPARAM wParam, LPARAM lParam) {
    m_lastEvent = event;
    const Resolution step = Resolve(m_state, event);
    if (!step.found)
        return E_POINTER;
    VTLOG(vtlog::kCapture, "state %d event %d -> %s, state %d", m_state.load(), event,
          HandlerName(step.handler), step.nextState);
    m_state = step.nextState;
    return RunHandler(step.handler, wParam, lParam);
}

HRESULT StateEventMachine::RunHandler(Handler handler, WPARAM wParam, LPARAM lParam) {
    switch (handler) {
        case Handler::None:
            return S_OK;
        case Handler::Opening:
            return Opening();
        case Handler::Connected:
            return Connected();
        case Handler::Occupied:
            return Occupied();
        case Handler::Resetting:
            return Resetting();
        case Handler::Failing:
            return Failing();
        case Handler::StartCapture:
            return StartCapture();
        case Handler::Clearing:
            return Clearing();
        case Handler::Expose:
            return Expose();
        case Handler::ImageArrived:
            return ImageArrived(wParam, lParam);
        case Handler::Deliver:
            return Deliver(lParam);
        case Handler::CaptureError:
            return CaptureError();
        case Handler::Abandon:
            return AbandonCapture();
        case Handler::Closing:
            return Closing();
    }
    return E_POINTER;
}

bool StateEventMachine::IsOwnReply(const VTRecvCommand& reply) const {
    return m_session && reply.Id() == m_session->SessionIdentity().Id();
}

void StateEventMachine::OnStatusReply(std::unique_ptr<VTRecvCommand> reply) {
    if (m_ending || !m_captureArmed || m_receiving)
        return;
    if (!reply) {
        if (Takes(kEvStatusUnknown))
            StopStatusTimer();
        Dispatch(kEvStatusUnknown);
        return;
    }
    if (!IsOwnReply(*reply)) {
        reply.reset();
        Dispatch(kEvForeignReply);  // the status wait goes on for this session's own reply
        return;
    }
    int event = kEvStatusUnknown;
    for (const StateWord& word : kStateWords) {
        if (reply->State() == word.text) {
            event = word.event;
            break;
        }
    }
    reply.reset();
    // The STATUS sent with a capture may be answered after that capture has ended (a unit that
    // exposes at once): it must not start polling for a capture nobody waits for.
    if (m_state == kReady && m_sessionStarted && !m_captureInProgress) {
        VTLOG(vtlog::kCapture, "status %d after the capture ended: ignored", event);
        return;
    }
    // Only a status wait ends here; the capture time-out keeps guarding the whole capture.
    if (Takes(event))
        StopStatusTimer();
    Dispatch(event);
}

// The reply is owned here and freed exactly once, when this returns, whether a transition took
// it or not; handlers only borrow it.
void StateEventMachine::OnCaptureReply(std::unique_ptr<VTRecvCommand> reply) {
    m_receiving = 0;
    if (m_ending || !m_captureArmed) {
        StopTimer();
        return;
    }
    if (!reply) {
        if (Takes(kEvCaptureFailed))
            StopTimer();
        Dispatch(kEvCaptureFailed);
        return;
    }
    if (!IsOwnReply(*reply)) {
        Dispatch(kEvForeignReply);  // the capture time-out still guards the real reply
        return;
    }
    if (!m_captureInProgress) {
        VTLOG(vtlog::kCapture, "CAPTURE reply without a capture in progress: dropped");
        return;
    }
    if (reply->Valid()) {
        if (!Takes(kEvCaptureSucceeded)) {
            VTLOG(vtlog::kCapture, "image in state %d not taken; the capture time-out guards",
                  m_state.load());
            return;
        }
        StopTimer();
        Dispatch(kEvCaptureSucceeded, 0, reinterpret_cast<LPARAM>(reply.get()));
        return;
    }
    const std::string& error = reply->Error();
    if (error.find(kTransientCaptureError) != std::string::npos)
        return;  // keep waiting; the capture timer stays armed
    if (!Takes(kEvCaptureFailed))
        return;  // the capture time-out still guards the capture
    StopTimer();
    if (error.find(kSensorFaultError) != std::string::npos)
        m_captureStatus = ZEPHLIB_STATUS_SENSOR_FAULT;
    else if (!error.empty())
        m_captureStatus = ZEPHLIB_STATUS_REFUSED;
    Dispatch(kEvCaptureFailed);
}

void StateEventMachine::OnCloseReply(std::unique_ptr<VTRecvCommand> reply) {
    if (m_ending || !m_captureArmed || m_receiving)
        return;
    if (!reply) {
        Dispatch(kEvCloseMissing);
        return;
    }
    const bool own = IsOwnReply(*reply);
    reply.reset();
    Dispatch(own ? kEvCloseAcknowledged : kEvForeignReply);
}

void StateEventMachine::OnOtherReply(std::unique_ptr<VTRecvCommand> reply) {
    // Not the answer to a STATUS: any status wait goes on.
    const bool act = !m_ending && m_captureArmed && !m_receiving;
    reply.reset();
    if (act)
        Dispatch(kEvForeignReply);
}

void StateEventMachine::OnTimer(UINT timerId) {
    if (timerId != m_timerId || !m_timerId)
        return;  // a timer stopped or re-armed after its expiry was already queued
    StopTimer();
    if (m_ending || !m_sessionStarted)
        return;
    TimeOut();
}

void StateEventMachine::OnTransferBroken() {
    // Only an image transfer under way waits on it; any other reply of ours that broke off is
    // left to its wait's time-out. The picture will not arrive now: waiting on for the capture
    // time-out would only keep the caller from ending or cancelling.
    if (!m_receiving || m_ending || !m_sessionStarted)
        return;
    VTLOG(vtlog::kCapture, "image transfer broke off: the capture times out now");
    StopTimer();
    TimeOut();
}

void StateEventMachine::TimeOut() {
    // Whatever was arriving will not be completed now.
    m_receiving = 0;
    m_dialog.SetColour(kColourRed);
    m_dialog.ShowText(kTextTimedOut);
    Dispatch(kEvTimeout);
}

void StateEventMachine::OnCaptureRequest(UINT message, std::unique_ptr<CaptureRequest> request) {
    if (m_ending)
        return;
    if (message == kMsgCaptureRawPost)
        m_captureArmed = 1;
    m_pending = std::move(request);  // an older request is freed without notification
    Dispatch(kEvCaptureRequested);
    // A state that starts no capture (a failed or occupied unit) must still answer the caller.
    if (m_pending && !m_captureInProgress)
        NotifyPending(ZEPHLIB_STATUS_CONNECTION_FAILED);
}

void StateEventMachine::OnCancel() {
    if (m_ending)
        return;
    m_captureArmed = 0;
    m_captureStatus = ZEPHLIB_STATUS_CANCELLED;
    m_dialog.SetColour(kColourRed);
    m_dialog.ShowText(kTextCancelling);
    Pause(m_timing.failurePauseMs);
    m_dialog.Hide();
    NotifyPending(ZEPHLIB_STATUS_CANCELLED);
    Dispatch(kEvCancel);
}

// ---- Handlers ------------------------------------------------------------------------------

HRESULT StateEventMachine::Opening() {
    if (m_dialog.Create())
        m_dialog.ShowText(kTextChecking);
    const HRESULT result = OpenSession();
    if (result != S_OK)
        Dispatch(kEvCommandFailed);
    return result;
}

HRESULT StateEventMachine::OpenSession() {
    const int lowestLocalPort = m_timing.systemChosenLocalPort ? 0 : 1;
    if (m_settings.sensorPort < 1 || m_settings.localPort < lowestLocalPort) {
        VTLOG(vtlog::kCapture, "opening refused: unit port %d, local port %d",
              m_settings.sensorPort, m_settings.localPort);
        return E_INVALIDARG;
    }
    try {
        ShutDownSession(false);
        std::string local;
        if (m_settings.localIp.size() >= 2) {
            local = m_settings.localIp;
        } else {
            IpHelper helper;
            helper.LocalAddressTowards(m_settings.sensorIp.c_str(), local);
        }
        const auto unitPort = static_cast<unsigned short>(m_settings.sensorPort);
        const auto localPort = static_cast<unsigned short>(m_settings.localPort);
        if (local.empty())
            m_session = std::make_unique<MyVantaSession>(m_threadId, m_settings.sensorIp.c_str(),
                                                         unitPort, localPort);
        else
            m_session = std::make_unique<MyVantaSession>(m_threadId, m_settings.sensorIp.c_str(),
                                                         unitPort, local.c_str(), localPort);
        m_localPort = m_session->ReplyAddress().Port();
        SendStatusArmed();
    } catch (const CVTException& e) {
        VTLOG(vtlog::kCapture, "opening failed: %s", e.message().c_str());
        return E_FAIL;  // the session could not be opened
    } catch (const std::exception& e) {
        VTLOG(vtlog::kCapture, "opening failed: %s", e.what());
        return E_FAIL;
    }
    return S_OK;
}

HRESULT StateEventMachine::Connected() {
    try {
        if (!m_session)
            return E_POINTER;
        m_session->SetParameter(
            kXRayTimeoutParameter,
            std::to_string(m_settings.captureTimeout + kXRayTimeoutMarginSeconds).c_str());
    } catch (...) {
        // A unit that cannot take the parameter is no usable connection.
        Dispatch(kEvCommandFailed);
        return E_FAIL;
    }
    StopTimer();
    m_dialog.ShowText(kTextConnected);
    Pause(m_timing.outcomePauseMs);
    m_dialog.Hide();
    m_dialog.SetColour(kColourWhite);
    m_captureStatus = ZEPHLIB_STATUS_CONNECTED;
    SetStartEvent();
    return S_OK;
}

HRESULT StateEventMachine::Occupied() {
    StopTimer();
    m_dialog.ShowText(kTextOccupied);
    m_dialog.SetColour(kColourRed);
    Pause(m_timing.outcomePauseMs);
    m_captureStatus = ZEPHLIB_STATUS_OCCUPIED;
    SetStartEvent();
    return S_OK;
}

HRESULT StateEventMachine::Resetting() {
    m_dialog.SetColour(kColourRed);
    m_dialog.ShowText(kTextResetting);
    if (m_resetCount == kMaxResets)
        return Dispatch(kEvCommandFailed);
    try {
        if (!m_session)
            return E_POINTER;
        m_session->Reset();
    } catch (...) {
        return Dispatch(kEvCommandFailed);
    }
    StopTimer();
    // The status time-out doubles as the pause after a reset, in milliseconds.
    Pause(m_settings.statusTimeout > 0 ? static_cast<DWORD>(m_settings.statusTimeout) : 0);
    try {
        SendStatusArmed();
    } catch (...) {
        return Dispatch(kEvCommandFailed);
    }
    ++m_resetCount;
    return Dispatch(kEvRetry);
}

HRESULT StateEventMachine::Failing() {
    StopTimer();
    m_receiving = 0;
    switch (m_captureStatus.load()) {
        case ZEPHLIB_STATUS_REFUSED:
            m_dialog.SetColour(kColourRed);
            m_dialog.ShowText(kTextCaptureRefused);
            break;
        case ZEPHLIB_STATUS_SENSOR_FAULT:
            m_dialog.SetColour(kColourRed);
            m_dialog.ShowText(kTextSensorFault);
            break;
        default:
            m_dialog.SetColour(kColourRed);
            m_dialog.ShowText(kTextConnectFailed, m_settings.sensorIp.c_str());
            m_captureStatus = ZEPHLIB_STATUS_CONNECTION_FAILED;  // also a capture's time-out
            break;
    }
    Pause(m_timing.failurePauseMs);
    NotifyPending(m_captureStatus);
    if (!m_sessionStarted)
        Closing();
    SetStartEvent();
    return E_FAIL;  // the CaptureStatus tells callers which failure it was
}

HRESULT StateEventMachine::StartCapture() {
    StopTimer();
    ArmTimer(TimerKind::Capture, m_settings.captureTimeout);
    m_captureInProgress = true;
    const int32_t mode =
        m_settings.pictureMode == kPictureMode8Bit ? Image8bitMode : Image16bitMode;
    try {
        if (!m_session) {
            Dispatch(kEvCommandFailed);
            return E_POINTER;
        }
        m_sentCapture = true;  // from here on the unit may be capturing for us
        m_session->Capture(mode);
        m_session->Status();
    } catch (...) {
        m_captureStatus = ZEPHLIB_STATUS_REFUSED;
        Dispatch(kEvCommandFailed);
        return E_FAIL;
    }
    m_captureStatus = ZEPHLIB_STATUS_CAPTURING;
    return S_OK;
}

HRESULT StateEventMachine::Clearing() {
    m_dialog.SetColour(kColourRed);
    m_dialog.ShowText(kTextClearing);
    m_captureStatus = ZEPHLIB_STATUS_CAPTURING;
    Pause(m_timing.stepPauseMs);
    try {
        if (!m_session)
            return E_POINTER;
        m_session->Status();
    } catch (...) {
        Dispatch(kEvCommandFailed);
        return E_FAIL;
    }
    return S_OK;
}

HRESULT StateEventMachine::Expose() {
    m_captureStatus = ZEPHLIB_STATUS_CAPTURING;
    m_dialog.ShowText(kTextExposeNow);
    m_dialog.SetColour(kColourGreen);
    Pause(m_timing.stepPauseMs);
    try {
        if (!m_session)
            return E_POINTER;
        m_session->Status();
    } catch (...) {
        Dispatch(kEvCommandFailed);
        return E_FAIL;
    }
    return S_OK;
}

HRESULT StateEventMachine::ImageArrived(WPARAM wParam, LPARAM lParam) {
    try {
        if (m_session)
            m_session->Close();
    } catch (const CVTException& e) {
        // The image is here; a unit that misses the CLOSE must not cost the caller its picture.
        VTLOG(vtlog::kCapture, "CLOSE after the image failed: %s", e.message().c_str());
    }
    if (m_captureStatus != ZEPHLIB_STATUS_CANCELLED) {
        m_captureStatus = ZEPHLIB_STATUS_DELIVERED;
        m_dialog.ShowText(kTextImageReceived);
        m_dialog.SetColour(kColourYellow);
    }
    return Dispatch(kEvDeliverImage, wParam, lParam);
}

HRESULT StateEventMachine::Deliver(LPARAM lParam) {
    const auto* reply = reinterpret_cast<const VTRecvCommand*>(lParam);
    HRESULT result = S_OK;
    EndCapture();
    if (m_captureStatus != ZEPHLIB_STATUS_CANCELLED) {
        m_dialog.SetColour(kColourYellow);
        m_dialog.ShowText(kTextTransferCompleted);
        if (m_pending) {
            result = ImageDelivery(m_captureStatus, m_settings.borderRemove)
                         .Deliver(reply, m_pending.get(), m_kept);
            m_pending.reset();
        }
    }
    m_dialog.Hide();
    m_dialog.SetColour(kColourWhite);
    return result;
}

HRESULT StateEventMachine::CaptureError() {
    StopTimer();
    m_dialog.SetColour(kColourRed);
    m_dialog.ShowText(m_captureStatus == ZEPHLIB_STATUS_SENSOR_FAULT ? kTextSensorFault
                                                                     : kTextCaptureRefused);
    Pause(m_timing.failurePauseMs);
    m_dialog.Hide();
    m_dialog.SetColour(kColourWhite);
    NotifyPending(m_captureStatus);
    return S_OK;
}

HRESULT StateEventMachine::AbandonCapture() {
    StopTimer();
    m_dialog.Hide();
    HRESULT result = S_OK;
    try {
        if (m_session)
            m_session->Close();
    } catch (...) {
        result = E_FAIL;  // the caller is told all the same
    }
    NotifyPending(ZEPHLIB_STATUS_CANCELLED);
    return result;
}

HRESULT StateEventMachine::Closing() {
    StopTimer();
    ShutDownSession(true);
    m_dialog.Hide();
    m_dialog.Destroy();
    m_sessionStarted = 0;
    SetStartEvent();
    return S_OK;
}

// ---- Helpers -------------------------------------------------------------------------------

UINT StateEventMachine::ClampedDelayMs(int seconds, DWORD millisecondsPerSecond, UINT minMs,
                                       UINT maxMs) {
    const std::uint64_t wanted = static_cast<std::uint64_t>(seconds > 0 ? seconds : 0) *
                                 static_cast<std::uint64_t>(millisecondsPerSecond);
    return static_cast<UINT>(
        std::clamp<std::uint64_t>(wanted, minMs, std::max<std::uint64_t>(minMs, maxMs)));
}

void StateEventMachine::ArmTimer(TimerKind kind, int seconds) {
    StopTimer();
    const UINT ms =
        ClampedDelayMs(seconds, m_timing.millisecondsPerSecond, m_timerMinMs, m_timerMaxMs);
    m_timerId =
        timeSetEvent(ms, m_timerPeriod, &StateEventMachine::TimerProc,
                     static_cast<DWORD_PTR>(m_threadId), TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
    if (!m_timerId)
        VTLOG(vtlog::kCapture, "timeSetEvent(%u ms) failed: no guard for this wait", ms);
    m_timerKind = m_timerId ? kind : TimerKind::None;
    m_armedDelayMs = m_timerId ? ms : 0;
}

void StateEventMachine::StopTimer() {
    if (m_timerId)
        timeKillEvent(m_timerId);
    m_timerId = 0;
    m_timerKind = TimerKind::None;
    m_armedDelayMs = 0;
}

bool StateEventMachine::Takes(int event) const {
    const Resolution step = Resolve(m_state, event);
    return step.found && !step.isDefault;
}

void StateEventMachine::StopStatusTimer() {
    if (m_timerKind == TimerKind::Status)
        StopTimer();
}

void StateEventMachine::SendStatusArmed() {
    if (!m_session)
        VT_THROW(CVTException, "Invalid pointer", E_POINTER);
    ArmTimer(TimerKind::Status, m_settings.statusTimeout);
    m_session->Status();
}

void StateEventMachine::Pause(DWORD ms) {
    if (ms)
        Sleep(ms);
}

void StateEventMachine::SetStartEvent() {
    std::lock_guard<std::mutex> guard(m_startLock);
    if (m_startEvent && !m_startEventSet) {
        m_startEventSet = true;
        SetEvent(m_startEvent);
    }
}

void StateEventMachine::NotifyPending(LONG status) {
    EndCapture();
    if (!m_pending)
        return;
    ImageDelivery(status, m_settings.borderRemove).NotifyStatus(m_pending.get(), m_kept);
    m_pending.reset();
}

void StateEventMachine::ShutDownSession(bool showErrors) {
    MyVantaSession* session = m_session.release();
    if (!session)
        return;
    int textId = 0;
    std::string message;
    // CLOSE ends the unit's capture cycle: only a session that started one may send it, never one
    // whose start found the unit busy with another program.
    try {
        session->Stop(m_sentCapture ? 1 : 0);
    } catch (const CVTException& e) {
        VTLOG(vtlog::kCapture, "stopping the session failed: %s", e.message().c_str());
    }
    try {
        delete session;  // sends CLOSE when the last command asks for it, and may throw
    } catch (const CVTSocketException& e) {
        textId = kTextCommunicationError;
        message = e.message();
    } catch (const CVTException& e) {
        textId = kTextInternalError;
        message = e.message();
    }
    if (textId && showErrors) {
        const std::string text = LoadText(textId, message.c_str());
        MessageBoxA(nullptr, text.c_str(), kMessageBoxCaption, MB_OK | MB_ICONSTOP);
    }
}

}  // namespace zephif
