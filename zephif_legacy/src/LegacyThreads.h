// The legacy build's threads: status window, socket steps, status requests, asynchronous sockets.
#pragma once

#include "LegacyText.h"
#include "StatusWindow.h"

#include <windows.h>
#include <winsock.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zephlegacy {

// Thread messages; each thread handles the ones its class lists.
enum ThreadMessage : UINT {
    kMsgDataReceived = 0x8001,
    kMsgSocketError = 0x8002,
    kMsgConnectionClosed = 0x8003,
    kMsgAccept = 0x8006,
    kMsgSendCommand = 0x8008,
    kMsgCommandRefused = 0x800F,
    kMsgStartCapture = 0x8010,
    kMsgQuit = 0x8011,
    kMsgNextStep = 0x8012,
    kMsgCancel = 0x8013,
    kMsgTransferProgress = 0x8014,
    kMsgShowStatusCode = 0x8015,
    kMsgShowWindow = 0x8016,
    kMsgDestroyWindow = 0x8017,
    kMsgWindowProgress = 0x8018,
    kMsgStopPoll = 0x8019,
    kMsgPollElapsed = 0x801A,
    kMsgStartPoll = 0x801B,
    kMsgStatusRequest = 0x801C,
    kMsgStatusShown = 0x801D,
    kMsgUnitProcessing = 0x801E,
    kMsgImagePending = 0x801F,
};

// Bounds of the waits between threads.
inline constexpr DWORD kThreadReadyWaitMs = 5000;      // a new thread's message queue exists
inline constexpr DWORD kWindowShowWaitMs = 5000;       // the status window is shown
inline constexpr DWORD kConnectTimeoutMs = 5000;       // connecting to the unit
inline constexpr DWORD kReceiveIdleTimeoutMs = 10000;  // between two pieces of one reply
inline constexpr DWORD kAcceptPollMs = 50;             // the acceptor notices the session's end
inline constexpr DWORD kAcceptorEndWaitMs = 2000;      // the acceptor has seen the end
inline constexpr DWORD kPollMarginMs = 5000;           // a poll wait beyond its poll time
inline constexpr DWORD kCancelCloseWaitMs = 5000;      // the CLOSE a cancel sends
inline constexpr std::size_t kReceiveChunkBytes = 9999;
inline constexpr std::size_t kMaxReplyBytes = 64u << 20;

// Connects to the unit within kConnectTimeoutMs, writes the request and closes: the unit reads
// the request until the computer closes the connection.
bool WriteRequest(const std::string& ip, int port, const std::string& text);

// What a sent command came to; shared by the sender and the socket thread, which may finish
// it after the sender stopped waiting.
struct CommandOutcome {
    CommandOutcome() : done(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~CommandOutcome() {
        if (done)
            CloseHandle(done);
    }
    CommandOutcome(const CommandOutcome&) = delete;
    CommandOutcome& operator=(const CommandOutcome&) = delete;

    HANDLE done;  // set when the command has completed or failed
    std::mutex lock;
    bool sent = false;      // the request was written and the connection closed
    bool answered = false;  // a reply of the command's kind arrived (STATUS, CLOSE)
    bool refused = false;   // its error text refuses
    std::string state;      // STATE of a status reply
};

// The command record of 0x8008: code, new-identifier mark, and a third field that is always 1.
struct CommandRecord {
    int code = kCmdStatus;
    BOOL newId = FALSE;
    int reserved = 1;
    std::shared_ptr<CommandOutcome> outcome;
};

// The capture's result object, written by the steps thread and read by the capture run.
struct CaptureOutcome {
    std::mutex lock;
    LONG status = 1;  // 1 while the capture runs
    bool successful = false;
    std::string commandWord;
    DWORD width = 0;
    DWORD height = 0;
    std::vector<std::uint8_t> image;
};

// The image reply the socket thread received, waiting for the steps thread.
class ImageSlot {
public:
    void Put(std::vector<std::uint8_t> image);
    std::vector<std::uint8_t> Take();
    bool Pending() const { return m_pending.load(); }
    void Clear();

private:
    std::mutex m_lock;
    std::vector<std::uint8_t> m_image;
    std::atomic<bool> m_pending{false};
};

// A user-interface thread: created suspended, resumed, a thread-message loop that ends on 0x8011.
class UiThread {
public:
    virtual ~UiThread();
    UiThread(const UiThread&) = delete;
    UiThread& operator=(const UiThread&) = delete;

    // Creates the thread suspended, resumes it and waits until its queue takes messages.
    bool CreateAndResume();
    bool Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    // Posts 0x8011 and waits at most `waitMs` for the thread's end.
    bool QuitAndWait(DWORD waitMs);
    DWORD Id() const { return m_id; }
    HANDLE Handle() const { return m_thread; }

protected:
    UiThread() = default;
    virtual void OnStart() {}
    virtual void OnMessage(const MSG& msg) = 0;
    virtual void OnEnd() {}

private:
    static DWORD WINAPI ThreadProc(LPVOID self);
    HANDLE m_thread = nullptr;
    HANDLE m_ready = nullptr;
    DWORD m_id = 0;
};

// CStatusDlgThread: owns the status window.
class CStatusDlgThread : public UiThread {
protected:
    void OnMessage(const MSG& msg) override;
    void OnEnd() override { m_window.Destroy(); }

private:
    StatusWindow m_window;
};

// CRequestStatusThread: status requests are sent by the steps thread in this build, so its
// messages 0x8014 and 0x801C are taken and have no effect.
class CRequestStatusThread : public UiThread {
protected:
    void OnMessage(const MSG&) override {}
};

class SocketMFCThread;

// CAsyncThread: owns the listening socket and sends every command; an acceptor thread of its
// own hands each of the unit's connections over as 0x8006.
class CAsyncThread : public UiThread {
public:
    CAsyncThread(const LegacySettings& settings, SocketMFCThread& steps, ImageSlot& images);
    ~CAsyncThread() override;
    // Replies that were dropped: foreign identifier, broken off, or of no pending command.
    unsigned DroppedReplies() const { return m_dropped.load(); }

protected:
    void OnStart() override;
    void OnMessage(const MSG& msg) override;
    void OnEnd() override;

private:
    static DWORD WINAPI AcceptorProc(LPVOID self);
    static void CALLBACK PollTimerProc(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR);
    void SendCommand(std::unique_ptr<CommandRecord> record);
    void ReadReply(SOCKET connection);
    void Dispatch(const ReplyHeader& header, std::vector<std::uint8_t> body);
    void Complete(int code, const StatusFields* status);

    LegacySettings m_settings;
    SocketMFCThread& m_steps;
    ImageSlot& m_images;
    SOCKET m_listen = INVALID_SOCKET;
    std::uint16_t m_returnPort = 0;
    HANDLE m_acceptor = nullptr;
    std::atomic<bool> m_stopping{false};
    DWORD m_requestId = 0;
    bool m_haveId = false;
    std::map<int, std::shared_ptr<CommandOutcome>>
        m_pending;  // commands answered by a status: STATUS, CLOSE
    UINT m_pollTimer = 0;
    HANDLE m_pollDone = nullptr;
    std::atomic<unsigned> m_dropped{0};
};

// SocketMFCThread: runs the acquisition steps of one capture at a time.
class SocketMFCThread : public UiThread {
public:
    SocketMFCThread(const LegacySettings& settings, CStatusDlgThread& status);
    ~SocketMFCThread() override;
    void Connect(CAsyncThread& async, ImageSlot& images) {
        m_async = &async;
        m_images = &images;
    }
    // Ends every wait of a step at once (cancel and end); cleared when the cancel is handled.
    void Abort() { SetEvent(m_abort); }

protected:
    void OnMessage(const MSG& msg) override;

private:
    // What a send or poll wait came to.
    enum class Waited { kDone, kTimedOut, kAborted };

    void StartCapture(std::shared_ptr<CaptureOutcome> result, HANDLE completion);
    void GoTo(int step);
    void RunStep(int step);
    void Finish();
    void ShowStatusCode(int code);
    void OnProgress(DWORD missing, DWORD total);
    void OnCancel(HANDLE callerEvent);
    // Sends a command and waits for it; false when it failed, timed out or was aborted.
    bool Send(int code, BOOL newId, std::string* state = nullptr, DWORD waitMs = 0);
    bool PollWait();
    Waited WaitOrAbort(HANDLE event, DWORD waitMs);

    LegacySettings m_settings;
    CStatusDlgThread& m_status;
    CAsyncThread* m_async = nullptr;
    ImageSlot* m_images = nullptr;
    HANDLE m_abort = nullptr;
    HANDLE m_pollDone = nullptr;
    HANDLE m_windowShown = nullptr;

    std::shared_ptr<CaptureOutcome> m_result;
    HANDLE m_completion = nullptr;
    struct StepRecord {
        int current = 0;
        int previous = 0;
    } m_step;
    unsigned m_generation = 0;  // 0x8012 of an earlier run of steps is stale
    bool m_running = false;
    bool m_finished = false;
    bool m_captureRequested = false;
    bool m_errorMark = false;
    bool m_downloading = false;
    int m_waitPolls = 0;
    std::string m_unitState;
    int m_lastCode = 0;
    DWORD m_progressTotal = 0;
    DWORD m_progressMarkTenths = 0;
    DWORD m_progressSeen = 0;
    DWORD m_progressAtLastPoll = 0;
};

// How many poll waits steps 3 and 6 wait for an image that does not come before they fetch it
// again (3: GET) or reset the unit (6).
inline constexpr int kImageWaitPolls = 20;

}  // namespace zephlegacy
