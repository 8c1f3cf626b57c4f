// The four user-interface threads of a session and the acquisition steps.
#include "LegacyThreads.h"

#include <crtrand.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstring>

namespace zephlegacy {
namespace {

constexpr char kStateIdle[] = "IDLE";
constexpr char kStateClear[] = "CLEAR";
constexpr char kStateWaitXray[] = "WAITXRAY";
constexpr char kStateProcessing[] = "PROCESSING";
constexpr char kStateImageReady[] = "IMGRDY";
constexpr char kCaptureWord[] = "CAPTURE";
constexpr UINT kPollTimerResolutionMs = 1;
constexpr std::uint64_t kTenths = 10;
// A bitmap file image starts with "BM"; a status body never does.
constexpr char kBitmapMagic[] = "BM";
constexpr std::size_t kWidthOffset = 18;
constexpr std::size_t kHeightOffset = 22;

bool IsImage(const std::vector<std::uint8_t>& body) {
    return body.size() >= 2 && body[0] == kBitmapMagic[0] && body[1] == kBitmapMagic[1];
}

DWORD ReadU32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    if (bytes.size() < offset + 4)
        return 0;
    return static_cast<DWORD>(bytes[offset]) | static_cast<DWORD>(bytes[offset + 1]) << 8 |
           static_cast<DWORD>(bytes[offset + 2]) << 16 |
           static_cast<DWORD>(bytes[offset + 3]) << 24;
}

bool AnsweredByStatus(int code) {
    return code == kCmdStatus || code == kCmdClose;
}

int CommandOfWord(const std::string& word) {
    for (int code = kCmdStatus; code <= kCmdClose; ++code)
        if (word == CommandWord(code))
            return code;
    return -1;
}

}  // namespace

bool WriteRequest(const std::string& ip, int port, const std::string& text) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = inet_addr(ip.c_str());
    bool ok = to.sin_addr.s_addr != INADDR_NONE;
    if (ok) {
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            ok = error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
            if (ok) {
                fd_set writable;
                FD_ZERO(&writable);
                FD_SET(s, &writable);
                timeval limit{static_cast<long>(kConnectTimeoutMs / 1000),
                              static_cast<long>(kConnectTimeoutMs % 1000) * 1000};
                int soError = 0;
                int length = sizeof soError;
                ok = select(0, nullptr, &writable, nullptr, &limit) == 1 &&
                     getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError),
                                &length) == 0 &&
                     soError == 0;
            }
        }
        u_long blocking = 0;
        ioctlsocket(s, FIONBIO, &blocking);
    }
    if (ok) {
        DWORD sendLimit = kReceiveIdleTimeoutMs;
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendLimit),
                   sizeof sendLimit);
        std::size_t sent = 0;
        while (ok && sent < text.size()) {
            const int n = send(s, text.data() + sent, static_cast<int>(text.size() - sent), 0);
            ok = n > 0;
            if (ok)
                sent += static_cast<std::size_t>(n);
        }
        shutdown(s, SD_SEND);
    }
    closesocket(s);
    return ok;
}

// ---------------------------------------------------------------------------------------------
void ImageSlot::Put(std::vector<std::uint8_t> image) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_image = std::move(image);
    m_pending = true;
}

std::vector<std::uint8_t> ImageSlot::Take() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_pending = false;
    return std::move(m_image);
}

void ImageSlot::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_pending = false;
    m_image.clear();
}

// ---------------------------------------------------------------------------------------------
UiThread::~UiThread() {
    if (m_thread)
        CloseHandle(m_thread);
    if (m_ready)
        CloseHandle(m_ready);
}

bool UiThread::CreateAndResume() {
    m_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!m_ready)
        return false;
    m_thread = CreateThread(nullptr, 0, &UiThread::ThreadProc, this, CREATE_SUSPENDED, &m_id);
    if (!m_thread)
        return false;
    ResumeThread(m_thread);
    return WaitForSingleObject(m_ready, kThreadReadyWaitMs) == WAIT_OBJECT_0;
}

bool UiThread::Post(UINT message, WPARAM wParam, LPARAM lParam) const {
    return m_id != 0 && PostThreadMessageA(m_id, message, wParam, lParam);
}

bool UiThread::QuitAndWait(DWORD waitMs) {
    if (!m_thread)
        return true;
    Post(kMsgQuit);
    return WaitForSingleObject(m_thread, waitMs) == WAIT_OBJECT_0;
}

DWORD WINAPI UiThread::ThreadProc(LPVOID self) {
    auto* thread = static_cast<UiThread*>(self);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here on
    thread->OnStart();
    SetEvent(thread->m_ready);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == kMsgQuit)
            break;
        thread->OnMessage(msg);
    }
    thread->OnEnd();
    return 0;
}

// ---------------------------------------------------------------------------------------------
void CStatusDlgThread::OnMessage(const MSG& msg) {
    switch (msg.message) {
        case kMsgShowStatusCode:
            m_window.ShowCode(static_cast<int>(msg.wParam));
            break;
        case kMsgShowWindow:
            m_window.Create();
            if (msg.lParam)
                SetEvent(reinterpret_cast<HANDLE>(msg.lParam));
            break;
        case kMsgDestroyWindow:
            m_window.Destroy();
            break;
        case kMsgWindowProgress:
            m_window.ShowProgress(static_cast<DWORD>(msg.wParam), static_cast<DWORD>(msg.lParam));
            break;
        default:  // 0x8014, 0x801C, 0x8001, 0x801D: nothing to show
            break;
    }
}

// ---------------------------------------------------------------------------------------------
CAsyncThread::CAsyncThread(const LegacySettings& settings, SocketMFCThread& steps,
                           ImageSlot& images)
    : m_settings(settings), m_steps(steps), m_images(images) {}

CAsyncThread::~CAsyncThread() {
    if (m_acceptor)
        CloseHandle(m_acceptor);
}

void CAsyncThread::OnStart() {
    m_listen = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_listen == INVALID_SOCKET)
        return;
    BOOL reuse = TRUE;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof reuse);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(m_settings.localPort));
    local.sin_addr.s_addr = inet_addr(m_settings.localIp.c_str());
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR ||
        listen(m_listen, 5) == SOCKET_ERROR) {
        closesocket(m_listen);
        m_listen = INVALID_SOCKET;
        return;
    }
    int length = sizeof local;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&local), &length);
    // A return port of 0 stands for the port the listening socket was given.
    m_returnPort = m_settings.returnPort != 0 ? static_cast<std::uint16_t>(m_settings.returnPort)
                                              : ntohs(local.sin_port);
    crt_srand(GetTickCount());  // this thread's own generator, as the runtime keeps one per thread
    m_acceptor = CreateThread(nullptr, 0, &CAsyncThread::AcceptorProc, this, 0, nullptr);
}

DWORD WINAPI CAsyncThread::AcceptorProc(LPVOID self) {
    auto* thread = static_cast<CAsyncThread*>(self);
    while (!thread->m_stopping) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(thread->m_listen, &readable);
        timeval limit{0, static_cast<long>(kAcceptPollMs) * 1000};
        if (select(0, &readable, nullptr, nullptr, &limit) != 1)
            continue;
        SOCKET connection = accept(thread->m_listen, nullptr, nullptr);
        if (connection == INVALID_SOCKET)
            continue;
        if (!thread->Post(kMsgAccept, static_cast<WPARAM>(connection)))
            closesocket(connection);
    }
    return 0;
}

void CALLBACK CAsyncThread::PollTimerProc(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    reinterpret_cast<CAsyncThread*>(user)->Post(kMsgPollElapsed, id);
}

void CAsyncThread::OnMessage(const MSG& msg) {
    switch (msg.message) {
        case kMsgSendCommand:
            SendCommand(
                std::unique_ptr<CommandRecord>(reinterpret_cast<CommandRecord*>(msg.lParam)));
            break;
        case kMsgAccept:
            ReadReply(static_cast<SOCKET>(msg.wParam));
            break;
        case kMsgStartPoll:
            if (m_pollTimer)
                timeKillEvent(m_pollTimer);
            m_pollDone = reinterpret_cast<HANDLE>(msg.wParam);
            m_pollTimer = timeSetEvent(PollTimeMs(m_settings), kPollTimerResolutionMs,
                                       &CAsyncThread::PollTimerProc,
                                       reinterpret_cast<DWORD_PTR>(this), TIME_ONESHOT);
            if (!m_pollTimer)
                SetEvent(m_pollDone);  // no timer: the wait ends at once rather than never
            break;
        case kMsgPollElapsed:
            if (m_pollTimer && msg.wParam == m_pollTimer) {
                m_pollTimer = 0;
                SetEvent(m_pollDone);
            }
            break;
        case kMsgStopPoll:
            if (m_pollTimer)
                timeKillEvent(m_pollTimer);
            m_pollTimer = 0;
            break;
        default:  // 0x8001, 0x8002, 0x8003: replies are read whole when accepted
            break;
    }
}

void CAsyncThread::OnEnd() {
    m_stopping = true;
    if (m_acceptor)
        WaitForSingleObject(m_acceptor, kAcceptorEndWaitMs);
    if (m_pollTimer)
        timeKillEvent(m_pollTimer);
    m_pollTimer = 0;
    if (m_listen != INVALID_SOCKET)
        closesocket(m_listen);
    m_listen = INVALID_SOCKET;
    // What is still queued is ours to release.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == kMsgAccept)
            closesocket(static_cast<SOCKET>(msg.wParam));
        else if (msg.message == kMsgSendCommand)
            delete reinterpret_cast<CommandRecord*>(msg.lParam);
    }
    for (auto& [code, outcome] : m_pending)
        SetEvent(outcome->done);
    m_pending.clear();
}

void CAsyncThread::SendCommand(std::unique_ptr<CommandRecord> record) {
    if (!record || !record->outcome)
        return;
    if (record->newId || !m_haveId) {
        m_requestId = static_cast<DWORD>(crt_rand());
        m_haveId = true;
    }
    const std::string text = BuildRequestText(m_requestId, m_settings.returnIp, m_returnPort,
                                              record->code, m_settings.pictureMode);
    if (AnsweredByStatus(record->code))
        m_pending[record->code] = record->outcome;  // before sending: the reply may be quick
    const bool written = WriteRequest(m_settings.sensorIp, m_settings.sensorPort, text);
    {
        std::lock_guard<std::mutex> guard(record->outcome->lock);
        record->outcome->sent = written;
    }
    if (!written || !AnsweredByStatus(record->code)) {
        if (AnsweredByStatus(record->code))
            m_pending.erase(record->code);
        SetEvent(record->outcome->done);
    }
}

void CAsyncThread::ReadReply(SOCKET connection) {
    DWORD limit = kReceiveIdleTimeoutMs;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
               sizeof limit);
    std::vector<std::uint8_t> bytes;
    std::optional<ReplyHeader> header;
    bool image = false;
    std::vector<char> chunk(kReceiveChunkBytes);
    for (;;) {
        if (header && bytes.size() >= header->headerBytes + header->length)
            break;
        std::size_t want = chunk.size();
        if (header)
            want = std::min(want, header->headerBytes + header->length - bytes.size());
        const int n = recv(connection, chunk.data(), static_cast<int>(want), 0);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
        if (!header) {
            bool bad = false;
            header = ParseReplyHeader(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), bad);
            if (bad || (header && header->length > kMaxReplyBytes))
                break;
            if (!header)
                continue;
        }
        const std::size_t bodyBytes = bytes.size() - header->headerBytes;
        const int code = CommandOfWord(header->command);
        if (!image && bodyBytes >= 2 && (code == kCmdCapture || code == kCmdGet) &&
            bytes[header->headerBytes] == kBitmapMagic[0] &&
            bytes[header->headerBytes + 1] == kBitmapMagic[1]) {
            image = true;
            m_steps.Post(kMsgUnitProcessing);
        }
        if (image)
            m_steps.Post(kMsgTransferProgress,
                         static_cast<WPARAM>(header->length - std::min(bodyBytes, header->length)),
                         static_cast<LPARAM>(header->length));
    }
    closesocket(connection);
    if (!header || bytes.size() < header->headerBytes + header->length) {
        ++m_dropped;
        if (image)
            m_steps.Post(kMsgSocketError);
        return;
    }
    std::vector<std::uint8_t> body(bytes.begin() + static_cast<std::ptrdiff_t>(header->headerBytes),
                                   bytes.end());
    Dispatch(*header, std::move(body));
}

void CAsyncThread::Dispatch(const ReplyHeader& header, std::vector<std::uint8_t> body) {
    if (!m_haveId || header.id != std::to_string(m_requestId)) {
        ++m_dropped;
        return;
    }
    const int code = CommandOfWord(header.command);
    if ((code == kCmdCapture || code == kCmdGet) && IsImage(body)) {
        m_images.Put(std::move(body));
        m_steps.Post(kMsgImagePending);
        return;
    }
    const auto status =
        ParseStatusBody(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!status) {
        ++m_dropped;
        return;
    }
    if (AnsweredByStatus(code)) {
        Complete(code, &*status);
    } else if ((code == kCmdCapture || code == kCmdGet) && ErrorTextRefuses(status->error)) {
        m_steps.Post(kMsgCommandRefused, static_cast<WPARAM>(code));
    } else {
        ++m_dropped;
    }
}

void CAsyncThread::Complete(int code, const StatusFields* status) {
    const auto found = m_pending.find(code);
    if (found == m_pending.end()) {
        ++m_dropped;
        return;
    }
    const auto outcome = found->second;
    m_pending.erase(found);
    {
        std::lock_guard<std::mutex> guard(outcome->lock);
        outcome->answered = true;
        outcome->state = status->state;
        outcome->refused = ErrorTextRefuses(status->error);
    }
    SetEvent(outcome->done);
}

// ---------------------------------------------------------------------------------------------
SocketMFCThread::SocketMFCThread(const LegacySettings& settings, CStatusDlgThread& status)
    : m_settings(settings), m_status(status) {
    m_abort = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_pollDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_windowShown = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

SocketMFCThread::~SocketMFCThread() {
    for (HANDLE h : {m_abort, m_pollDone, m_windowShown})
        if (h)
            CloseHandle(h);
}

void SocketMFCThread::OnMessage(const MSG& msg) {
    const bool active = m_running && !m_finished;
    switch (msg.message) {
        case kMsgStartCapture: {
            std::unique_ptr<std::shared_ptr<CaptureOutcome>> result(
                reinterpret_cast<std::shared_ptr<CaptureOutcome>*>(msg.wParam));
            StartCapture(result ? *result : nullptr, reinterpret_cast<HANDLE>(msg.lParam));
            break;
        }
        case kMsgNextStep:
            if (active && msg.wParam == m_generation)
                RunStep(m_step.current);
            break;
        case kMsgCancel:
            OnCancel(reinterpret_cast<HANDLE>(msg.wParam));
            break;
        case kMsgTransferProgress:
            OnProgress(static_cast<DWORD>(msg.wParam), static_cast<DWORD>(msg.lParam));
            break;
        case kMsgUnitProcessing:
            m_unitState = kStateProcessing;
            break;
        case kMsgImagePending:
            // The image is here: step 12 takes it, whatever step was due.
            if (active && m_step.current != 12 && m_step.current != 15 && m_images->Pending()) {
                ++m_generation;
                m_step.previous = m_step.current;
                RunStep(12);
            }
            break;
        case kMsgCommandRefused:
            if (!active)
                break;
            if (msg.wParam == kCmdCapture) {
                {
                    std::lock_guard<std::mutex> guard(m_result->lock);
                    m_result->status = -1;  // refused by the unit
                }
                Finish();
            } else if (msg.wParam == kCmdGet) {
                ++m_generation;
                ShowStatusCode(kStatusResetting);
                GoTo(13);
            }
            break;
        case kMsgSocketError:
            m_downloading = false;  // the image broke off; the steps fetch it again
            break;
        default:  // 0x8002 beyond a broken image, 0x800F of other commands, 0x8011 handled
            break;
    }
}

void SocketMFCThread::StartCapture(std::shared_ptr<CaptureOutcome> result, HANDLE completion) {
    if (!result || !completion)
        return;
    if (m_running && !m_finished && m_result) {
        // One capture at a time: an older one still running ends as cancelled.
        {
            std::lock_guard<std::mutex> guard(m_result->lock);
            m_result->status = -3;
        }
        SetEvent(m_completion);
    }
    ResetEvent(m_abort);
    m_result = std::move(result);
    m_completion = completion;
    ResetEvent(m_windowShown);
    m_status.Post(kMsgShowWindow, 0, reinterpret_cast<LPARAM>(m_windowShown));
    WaitOrAbort(m_windowShown, kWindowShowWaitMs);
    m_step = StepRecord{};
    m_captureRequested = true;
    m_running = true;
    m_finished = false;
    m_errorMark = false;
    m_downloading = false;
    m_waitPolls = 0;
    m_unitState.clear();
    m_lastCode = 0;
    m_progressTotal = m_progressMarkTenths = m_progressSeen = m_progressAtLastPoll = 0;
    m_images->Clear();  // an image of an earlier capture is not this capture's
    ++m_generation;
    GoTo(0);
}

void SocketMFCThread::GoTo(int step) {
    m_step.previous = m_step.current;
    m_step.current = step;
    Post(kMsgNextStep, m_generation);
}

void SocketMFCThread::RunStep(int step) {
    m_step.current = step;
    switch (step) {
        case 0: {
            std::string state;
            if (!Send(kCmdStatus, FALSE, &state)) {
                if (!m_finished) {
                    m_errorMark = true;
                    GoTo(9);
                }
                return;
            }
            m_unitState = state;
            if (state == kStateIdle) {
                if (m_captureRequested) {
                    GoTo(4);
                    return;
                }
                // The unit has not begun the capture yet.
            } else if (state == kStateClear) {
                ShowStatusCode(kStatusWait);
            } else if (state == kStateWaitXray) {
                ShowStatusCode(kStatusWaitingForXray);
            } else if (state == kStateProcessing) {
                if (m_images->Pending()) {
                    GoTo(12);
                    return;
                }
                ShowStatusCode(kStatusProcessing);
            } else if (state == kStateImageReady) {
                if (m_images->Pending()) {
                    GoTo(12);
                    return;
                }
                ShowStatusCode(kStatusImageFound);
                // A unit holding an image before the capture was sent gives it with GET; after
                // CAPTURE its reply is on the way.
                m_waitPolls = 0;
                GoTo(m_captureRequested ? 5 : 3);
                return;
            } else {
                // NOTRDY or a state word this build does not know: reset the unit.
                ShowStatusCode(kStatusResetting);
                GoTo(13);
                return;
            }
            if (PollWait())
                GoTo(0);
            return;
        }
        case 3:
            if (m_images->Pending()) {
                GoTo(12);
            } else if (++m_waitPolls > kImageWaitPolls) {
                GoTo(5);  // the image reply was lost: fetch the image
            } else if (PollWait()) {
                GoTo(3);
            }
            return;
        case 4:
            m_captureRequested = false;
            if (!Send(kCmdCapture, FALSE)) {
                if (!m_finished)
                    GoTo(9);
                return;
            }
            if (PollWait())
                GoTo(0);
            return;
        case 5:
            m_captureRequested = false;
            if (!Send(kCmdGet, FALSE)) {
                if (!m_finished) {
                    ShowStatusCode(kStatusResetting);
                    GoTo(13);
                }
                return;
            }
            m_waitPolls = 0;
            if (PollWait())
                GoTo(6);
            return;
        case 6:
            m_downloading = true;
            if (m_images->Pending()) {
                GoTo(12);
                return;
            }
            if (m_progressSeen != m_progressAtLastPoll) {
                m_progressAtLastPoll = m_progressSeen;
                m_waitPolls = 0;
            } else if (++m_waitPolls > kImageWaitPolls) {
                ShowStatusCode(kStatusResetting);
                GoTo(13);
                return;
            }
            if (PollWait())
                GoTo(6);
            return;
        case 9:
            if (!m_finished) {
                {
                    std::lock_guard<std::mutex> guard(m_result->lock);
                    m_result->status = -7;
                }
                Finish();
            }
            return;
        case 10:
            GoTo(0);
            return;
        case 12: {
            std::vector<std::uint8_t> image = m_images->Take();
            if (image.empty()) {
                GoTo(0);
                return;
            }
            m_downloading = false;
            // The image is whole: a CLOSE that fails does not cost the caller the picture.
            Send(kCmdClose, FALSE);
            {
                std::lock_guard<std::mutex> guard(m_result->lock);
                m_result->status = 0;
                m_result->successful = true;
                m_result->commandWord = kCaptureWord;
                m_result->width = ReadU32(image, kWidthOffset);
                m_result->height = ReadU32(image, kHeightOffset);
                m_result->image = std::move(image);
            }
            if (!m_finished)
                GoTo(15);
            return;
        }
        case 13:
            Send(kCmdReset, TRUE);
            m_captureRequested = true;  // the reset abandoned the capture: ask for it again
            m_images->Clear();
            if (!m_finished)
                GoTo(0);
            return;
        case 15:
            if (!m_finished)
                Finish();
            return;
        case 16:
            Send(kCmdClose, FALSE);
            return;
        case 17:
            Send(kCmdClose, FALSE);
            if (PollWait())
                GoTo(0);
            return;
        default:
            return;
    }
}

void SocketMFCThread::Finish() {
    m_finished = true;
    m_running = false;
    m_downloading = false;
    m_status.Post(kMsgDestroyWindow);
    SetEvent(m_completion);
}

void SocketMFCThread::ShowStatusCode(int code) {
    if (code == m_lastCode && code != kStatusResetting)
        return;
    m_lastCode = code;
    m_status.Post(kMsgShowStatusCode, static_cast<WPARAM>(code));
}

void SocketMFCThread::OnProgress(DWORD missing, DWORD total) {
    if (!m_running || total == 0)
        return;
    const DWORD received = total - std::min(missing, total);
    if (total != m_progressTotal) {
        m_progressTotal = total;
        m_progressMarkTenths = 0;
        ShowStatusCode(kStatusProcessing);
    }
    m_progressSeen = received;
    // Each tenth is shown once; a piece that spans several tenths shows the last of them.
    if (static_cast<std::uint64_t>(received) * kTenths >=
        static_cast<std::uint64_t>(m_progressMarkTenths) * total) {
        m_status.Post(kMsgWindowProgress, received, static_cast<LPARAM>(total));
        m_progressMarkTenths =
            static_cast<DWORD>(static_cast<std::uint64_t>(received) * kTenths / total) + 1;
    }
}

void SocketMFCThread::OnCancel(HANDLE callerEvent) {
    ResetEvent(m_abort);
    if (m_running && !m_finished && m_result) {
        m_finished = true;
        Send(kCmdClose, FALSE, nullptr, kCancelCloseWaitMs);
        {
            std::lock_guard<std::mutex> guard(m_result->lock);
            m_result->status = -3;
            m_result->successful = false;
            m_result->commandWord = kCaptureWord;
            m_result->width = 0;
            m_result->height = 0;
        }
        m_running = false;
        m_images->Clear();
        m_status.Post(kMsgDestroyWindow);
        SetEvent(m_completion);
    }
    if (callerEvent)
        SetEvent(callerEvent);
}

bool SocketMFCThread::Send(int code, BOOL newId, std::string* state, DWORD waitMs) {
    auto outcome = std::make_shared<CommandOutcome>();
    if (!outcome->done || !m_async)
        return false;
    auto* record = new CommandRecord{code, newId, 1, outcome};
    if (!m_async->Post(kMsgSendCommand, reinterpret_cast<WPARAM>(outcome->done),
                       reinterpret_cast<LPARAM>(record))) {
        delete record;
        return false;
    }
    if (WaitOrAbort(outcome->done, waitMs ? waitMs : CommandWaitMs(m_settings)) != Waited::kDone)
        return false;
    std::lock_guard<std::mutex> guard(outcome->lock);
    if (state)
        *state = outcome->state;
    return outcome->sent && (!AnsweredByStatus(code) || outcome->answered);
}

bool SocketMFCThread::PollWait() {
    ResetEvent(m_pollDone);
    if (!m_async->Post(kMsgStartPoll, reinterpret_cast<WPARAM>(m_pollDone)))
        return false;
    const Waited waited = WaitOrAbort(m_pollDone, PollTimeMs(m_settings) + kPollMarginMs);
    if (waited != Waited::kDone)
        m_async->Post(kMsgStopPoll);
    // A timer that never fired still ends the wait; only an abort stops the steps.
    return waited != Waited::kAborted;
}

SocketMFCThread::Waited SocketMFCThread::WaitOrAbort(HANDLE event, DWORD waitMs) {
    const HANDLE handles[] = {event, m_abort};
    switch (WaitForMultipleObjects(2, handles, FALSE, waitMs)) {
        case WAIT_OBJECT_0:
            return Waited::kDone;
        case WAIT_OBJECT_0 + 1:
            return Waited::kAborted;
        default:
            return Waited::kTimedOut;
    }
}

}  // namespace zephlegacy
