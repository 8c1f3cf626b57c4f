// The acquisition worker: a thread with a message queue driving the table of TransitionTable.h.
#pragma once

#include "CaptureRequest.h"
#include "Delivery.h"
#include "MyVantaSession.h"
#include "Settings.h"
#include "StatusDialog.h"
#include "TransitionTable.h"

#include <windows.h>
#include <zephif/ZephIF.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace zephif {

// The worker's pauses and its clock for time-outs, replaceable so tests need not wait them out.
struct WorkerTiming {
    DWORD stepPauseMs = 500;             // Clearing and Expose, between STATUS polls
    DWORD outcomePauseMs = 1000;         // Connected and Occupied, so the text can be read
    DWORD failurePauseMs = 2000;         // Failing, CaptureError and Cancel
    DWORD millisecondsPerSecond = 1000;  // status and capture time-outs are in seconds
    // In-process callers (tests, benchmarks) may let the system choose the listening port when
    // Local-Port is 0 and read it back from LocalPort(); the settings file never can.
    bool systemChosenLocalPort = false;
};

class StateEventMachine {
public:
    static constexpr UINT kTimerResolutionFloorMs = 100;
    // The multimedia timer's delay range when the system does not report one (it reports the
    // same: 1 ms to 1,000,000 ms).
    static constexpr UINT kTimerDelayMinMs = 1;
    static constexpr UINT kTimerDelayMaxMs = 1000000;

    // The delay a time-out of `seconds` arms: clamped into [minMs, maxMs] so that a guard is
    // always armed (0 s and negative values give minMs, anything beyond the range maxMs).
    static UINT ClampedDelayMs(int seconds, DWORD millisecondsPerSecond, UINT minMs, UINT maxMs);

    // `startEvent` is set once, when the connection attempt has ended; the starter keeps it and
    // takes it back with ReleaseStartEvent before closing it.
    StateEventMachine(const SessionSettings& settings, HANDLE startEvent, WorkerTiming timing = {});
    ~StateEventMachine();
    StateEventMachine(const StateEventMachine&) = delete;
    StateEventMachine& operator=(const StateEventMachine&) = delete;

    // The thread, created suspended; Resume lets it run.
    bool CreateSuspended();
    void Resume();
    HANDLE Thread() const { return m_thread; }
    DWORD ThreadId() const { return m_threadId; }

    // Read by other threads without a lock.
    LONG CaptureStatus() const { return m_captureStatus.load(); }
    bool ReceivingImage() const { return m_receiving.load() != 0; }
    bool SessionStarted() const { return m_sessionStarted.load() != 0; }
    void MarkSessionStarted() { m_sessionStarted = 1; }
    int CurrentState() const { return m_state.load(); }
    int LastEvent() const { return m_lastEvent.load(); }
    // The port the session listens on, 0 before it is open.
    unsigned short LocalPort() const { return m_localPort.load(); }
    // The delay of the armed timer in milliseconds, 0 when none is armed (tests).
    UINT ArmedDelayMs() const { return m_armedDelayMs.load(); }
    // Whether this session has sent CAPTURE, and so owes the unit a CLOSE at its end.
    bool SentCapture() const { return m_sentCapture.load(); }
    // The worker no longer touches the start event after this.
    void ReleaseStartEvent();

    // When the starter gives up on a worker whose thread still runs, the thread deletes it.
    // Returns true when the thread had ended and the caller must delete it.
    bool Abandon();
    // Hands the thread's handle to the caller, who closes it; the worker no longer does. Taken
    // before Abandon, it lets an unload wait until the thread has left this module's code.
    HANDLE TakeThreadHandle() {
        HANDLE thread = m_thread;
        m_thread = nullptr;
        return thread;
    }

private:
    static DWORD WINAPI ThreadProc(LPVOID self);
    static void CALLBACK TimerProc(UINT timerId, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR);

    DWORD Run();
    void InitInstance();
    void ExitInstance();
    void OnThreadMessage(const MSG& msg);
    void DrainQueue();

    HRESULT Dispatch(int event, WPARAM wParam = 0, LPARAM lParam = 0);
    HRESULT RunHandler(Handler handler, WPARAM wParam, LPARAM lParam);

    // Message handling before dispatch.
    void OnStatusReply(std::unique_ptr<VTRecvCommand> reply);
    void OnCaptureReply(std::unique_ptr<VTRecvCommand> reply);
    void OnCloseReply(std::unique_ptr<VTRecvCommand> reply);
    void OnOtherReply(std::unique_ptr<VTRecvCommand> reply);
    void OnTimer(UINT timerId);
    void OnTransferBroken();
    // The capture or status wait ends now as its time-out would end it.
    void TimeOut();
    void OnCaptureRequest(UINT message, std::unique_ptr<CaptureRequest> request);
    void OnCancel();

    // Handlers.
    HRESULT Opening();
    HRESULT OpenSession();
    HRESULT Connected();
    HRESULT Occupied();
    HRESULT Resetting();
    HRESULT Failing();
    HRESULT StartCapture();
    HRESULT Clearing();
    HRESULT Expose();
    HRESULT ImageArrived(WPARAM wParam, LPARAM lParam);
    HRESULT Deliver(LPARAM lParam);
    HRESULT CaptureError();
    HRESULT AbandonCapture();
    HRESULT Closing();

    enum class TimerKind { None, Status, Capture };
    void ArmTimer(TimerKind kind, int seconds);
    void StopTimer();
    void StopStatusTimer();
    // True when `event` would take a transition that replaces the current wait: an exact entry
    // of the current state (a default entry leaves everything as it is).
    bool Takes(int event) const;
    void EndCapture() { m_captureInProgress = false; }
    void SendStatusArmed();
    void Pause(DWORD ms);
    void SetStartEvent();
    void NotifyPending(LONG status);
    void ShutDownSession(bool showErrors);
    bool IsOwnReply(const VTRecvCommand& reply) const;

    SessionSettings m_settings;
    WorkerTiming m_timing;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;

    std::atomic<int> m_state{kConnecting};
    std::atomic<int> m_lastEvent{-1};
    std::atomic<LONG> m_captureStatus{ZEPHLIB_STATUS_DELIVERED};
    std::atomic<LONG> m_receiving{0};
    std::atomic<LONG> m_sessionStarted{0};
    volatile LONG m_ending = 0;
    LONG m_captureArmed = 1;
    // A CAPTURE was sent for m_pending and its result has not been given to the caller yet.
    bool m_captureInProgress = false;
    std::atomic<bool> m_sentCapture{false};
    LONG m_receivedBytes = 0;
    int m_resetCount = 0;

    std::unique_ptr<CaptureRequest> m_pending;
    KeptResult m_kept;
    StatusDialog m_dialog;
    std::unique_ptr<MyVantaSession> m_session;

    std::mutex m_startLock;
    HANDLE m_startEvent;
    bool m_startEventSet = false;

    UINT m_timerId = 0;
    TimerKind m_timerKind = TimerKind::None;
    UINT m_timerPeriod = 0;
    UINT m_timerMinMs = kTimerDelayMinMs;
    UINT m_timerMaxMs = kTimerDelayMaxMs;
    std::atomic<UINT> m_armedDelayMs{0};
    std::atomic<unsigned short> m_localPort{0};

    std::atomic<int> m_owners{2};  // the starter and the thread
};

}  // namespace zephif
