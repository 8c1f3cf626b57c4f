// The legacy library object: session start with its connection check, the capture runs, the
// result records, the diagnostic files and the thirteen exports.
#include <zephif/ZephIF.h>

#include "Converter.h"
#include "LegacyThreads.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

namespace zephlegacy {
namespace {

// Bounds of the waits the exports make.
constexpr DWORD kCriticalSectionWaitMs = 50000;
constexpr DWORD kThreadEndWaitMs = 10000;  // each thread of the session, at its end
constexpr DWORD kCancelWaitMs = 15000;     // the steps thread has handled a cancel
constexpr DWORD kRequestThreadEndWaitMs = 15000;
constexpr DWORD kCaptureRunTimeoutMs = 300000;  // a capture from request to notification
constexpr DWORD kMsPerSecond = 1000;

constexpr LONG kFixedCaptureParameters[6] = {684, 456, 12, 800, 8, 0};
constexpr LONG kExtendedFirstWord = 0;
constexpr LONG kExtendedEighthWord = 2;
constexpr LONG kExtendedNinthWord = 455;  // 5000 / 11, rounded up

constexpr char kStartFile[] = "testStartSession.txt";
constexpr char kStartText[] = "InStartSession";
constexpr char kStartEndFile[] = "testStartSession2.txt";
constexpr char kStartEndText[] = "InStartSession2";
constexpr char kCapturedImageFile[] = "theCapturedImage.raw";
constexpr char kExportedImageFile[] = "theExportedImage.raw";
constexpr char kStatusWord[] = "STATUS";

// Notify kinds of this build's request record.
enum LegacyNotifyKind : DWORD { kNotifySetEvent = 0, kNotifyPostMessage = 1 };

// Capture statuses a caller sees.
constexpr LONG kStatusDelivered = ZEPHLIB_STATUS_DELIVERED;
constexpr LONG kStatusPending = 2;
constexpr LONG kStatusRunning = ZEPHLIB_STATUS_CAPTURING;
constexpr LONG kStatusCancelled = ZEPHLIB_STATUS_CANCELLED;
constexpr LONG kStatusConnectionFailed = ZEPHLIB_STATUS_CONNECTION_FAILED;
constexpr LONG kReturnBusy = ZEPHLIB_RECEIVING_IMAGE;
constexpr LONG kReturnNoThreads = ZEPHLIB_NO_ANSWER;
constexpr LONG kReturnInvalid = ZEPHLIB_INVALID_ARGUMENT;
constexpr LONG kReturnTimedOut = -1;

// The request record of one capture.
struct LegacyRequest {
    DWORD notifyKind = kNotifyPostMessage;
    HWND window = nullptr;
    UINT messageId = 0;
    HANDLE event = nullptr;
    LONG cookie = 0;
    LONG status = kStatusPending;
    HGLOBAL result = nullptr;
    HGLOBAL* resultHandle = nullptr;  // event requests: where the caller reads the record
    LONG flag = 0;
};

DWORD HandleWord(HANDLE handle) {
    return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(handle));
}

// Writes `bytes` as the whole new content of `name` in the current directory.
void WriteFileAnew(const char* name, const void* bytes, std::size_t length) {
    HANDLE file =
        CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || !file)
        return;
    DWORD written = 0;
    WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

// A status-only record: every word defined.
HGLOBAL StatusRecord(LONG status, LONG cookie) {
    HGLOBAL record = GlobalAlloc(GHND, sizeof(CaptureResult));
    if (!record)
        return nullptr;
    auto* r = static_cast<CaptureResult*>(GlobalLock(record));
    if (!r) {
        GlobalFree(record);
        return nullptr;
    }
    std::memset(r, 0, sizeof *r);
    r->status = status;
    r->recordKind = ZEPHLIB_RESULT_RECORD_KIND;
    r->cookie = cookie;
    r->bitsPerPixel = ZEPHLIB_PIXEL_BITS;
    GlobalUnlock(record);
    return record;
}

// The full record of a converted image, with the diagnostic files; nothing when the payload
// cannot be converted.
HGLOBAL ImageRecord(const std::vector<std::uint8_t>& payload, LONG cookie) {
    const auto layout = zephif::ReadBitmapLayout(payload.data(), payload.size());
    if (!layout)
        return nullptr;
    const std::size_t pixelBytes = layout->PixelCount() * 2;
    HGLOBAL pixels = GlobalAlloc(GHND, pixelBytes);
    HGLOBAL record = pixels ? GlobalAlloc(GHND, sizeof(CaptureResult)) : nullptr;
    auto* block = pixels ? static_cast<std::uint16_t*>(GlobalLock(pixels)) : nullptr;
    auto* r = record ? static_cast<CaptureResult*>(GlobalLock(record)) : nullptr;
    if (!block || !r) {
        if (block)
            GlobalUnlock(pixels);
        if (pixels)
            GlobalFree(pixels);
        if (record)
            GlobalFree(record);
        return nullptr;
    }
    zephif::ConvertPixels(payload.data(), *layout, block);
    WriteFileAnew(kCapturedImageFile, payload.data() + layout->dataOffset,
                  payload.size() - layout->dataOffset);
    WriteFileAnew(kExportedImageFile, block, pixelBytes);
    GlobalUnlock(pixels);
    std::memset(r, 0, sizeof *r);
    r->status = kStatusDelivered;
    r->recordKind = ZEPHLIB_RESULT_RECORD_KIND;
    r->cookie = cookie;
    r->width = layout->width;
    r->height = layout->height;
    r->bitsPerPixel = ZEPHLIB_PIXEL_BITS;
    r->pixelBytes = static_cast<DWORD>(pixelBytes);
    r->pixels = HandleWord(pixels);
    GlobalUnlock(record);
    return record;
}

void FreeRecord(HGLOBAL record) {
    if (!record)
        return;
    if (auto* r = static_cast<CaptureResult*>(GlobalLock(record))) {
        if (r->pixels)
            GlobalFree(reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(r->pixels)));
        GlobalUnlock(record);
    }
    GlobalFree(record);
}

// Receives one reply on `connection` (each piece within kReceiveIdleTimeoutMs) and tells
// whether it is the STATUS answer to the connection check.
bool IsCheckAnswer(SOCKET connection) {
    DWORD limit = kReceiveIdleTimeoutMs;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
               sizeof limit);
    std::string bytes;
    std::optional<ReplyHeader> header;
    char chunk[1024];
    while (!header || bytes.size() < header->headerBytes + header->length) {
        const int n = recv(connection, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (!header) {
            bool bad = false;
            header = ParseReplyHeader(bytes, bad);
            if (bad || (header && header->length > kReceiveChunkBytes))
                return false;
        }
    }
    if (header->id != std::to_string(kCheckRequestId) || header->command != kStatusWord)
        return false;
    return ParseStatusBody(std::string_view(bytes).substr(header->headerBytes, header->length))
        .has_value();
}

class LegacyApp {
public:
    ~LegacyApp() {
        EndSession();
        CloseHandle(m_completion);
    }

    LONG StartSession();
    LONG EndSession();
    LONG CancelPendingCaptures();
    LONG CapturePost(LONG flag, HWND window, UINT messageId, LONG cookie);
    LONG CaptureEvent(LONG flag, HANDLE event, HGLOBAL* resultHandle, LONG cookie);

    std::timed_mutex m_criticalSection;
    std::unique_ptr<CaptureParameters> m_stored;

private:
    bool ConnectionCheck(const LegacySettings& settings);
    // Runs one capture and notifies its caller; returns the request's final status.
    LONG RunCapture(LegacyRequest& request);
    bool BeginCapture();
    // Cancels the running steps (CLOSE to the unit) and waits for it within kCancelWaitMs.
    void CancelSteps();
    static DWORD WINAPI CaptureRequestThread(LPVOID request);
    void ReleaseThreads();

    std::unique_ptr<LegacySettings> m_settings;
    std::unique_ptr<CStatusDlgThread> m_statusThread;
    std::unique_ptr<SocketMFCThread> m_stepsThread;
    std::unique_ptr<CRequestStatusThread> m_requestStatusThread;
    std::unique_ptr<CAsyncThread> m_asyncThread;
    ImageSlot m_images;

    std::atomic<bool> m_bCancelPending{false};
    std::atomic<bool> m_bCapturePending{false};
    HANDLE m_completion = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE m_requestThread = nullptr;
    LegacyRequest m_postRequest;
    std::mutex m_keptLock;
    HGLOBAL m_keptEventRecord = nullptr;  // the last event request's record, the library's
};

LegacyApp theApp;

bool LegacyApp::ConnectionCheck(const LegacySettings& settings) {
    WSADATA data;
    if (WSAStartup(WINSOCK_VERSION_1_1, &data) != 0)
        return false;
    StatusWindow window;
    window.Create(kCheckingConnectionText);

    bool answered = false;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL reuse = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof reuse);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(settings.localPort));
    local.sin_addr.s_addr = inet_addr(settings.localIp.c_str());
    int length = sizeof local;
    if (listener != INVALID_SOCKET &&
        bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        listen(listener, 5) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        const std::uint16_t returnPort = settings.returnPort != 0
                                             ? static_cast<std::uint16_t>(settings.returnPort)
                                             : ntohs(local.sin_port);
        if (WriteRequest(settings.sensorIp, settings.sensorPort,
                         BuildCheckRequestText(settings.returnIp, returnPort))) {
            const ULONGLONG deadline = GetTickCount64() + CommandWaitMs(settings);
            // Connections that are not the answer (another id, another reply) are passed over.
            while (!answered && GetTickCount64() < deadline) {
                const ULONGLONG left = deadline - GetTickCount64();
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(listener, &readable);
                timeval limit{static_cast<long>(left / kMsPerSecond),
                              static_cast<long>(left % kMsPerSecond) * 1000};
                if (select(0, &readable, nullptr, nullptr, &limit) != 1)
                    continue;
                SOCKET connection = accept(listener, nullptr, nullptr);
                if (connection == INVALID_SOCKET)
                    continue;
                answered = IsCheckAnswer(connection);
                closesocket(connection);
            }
        }
    }
    if (listener != INVALID_SOCKET)
        closesocket(listener);
    WSACleanup();
    window.Destroy();
    return answered;
}

LONG LegacyApp::StartSession() {
    WriteFileAnew(kStartFile, kStartText, std::strlen(kStartText));
    auto finish = [](LONG code) {
        WriteFileAnew(kStartEndFile, kStartEndText, std::strlen(kStartEndText));
        return code;
    };
    if (m_stepsThread)
        return finish(0);  // one session at a time; the running one serves

    // The settings come first, so the check talks to the configured unit.
    auto settings = std::make_unique<LegacySettings>();
    if (!ReadLegacySettings(LegacySettingsPath(), *settings))
        return finish(kStatusConnectionFailed);
    if (!ConnectionCheck(*settings)) {
        MessageBoxA(nullptr, NetworkErrorText(*settings).c_str(), kNetworkErrorCaption,
                    MB_OK | MB_ICONSTOP);
        return finish(kStatusConnectionFailed);
    }

    WSADATA data;
    if (WSAStartup(WINSOCK_VERSION_1_1, &data) != 0)
        return finish(kStatusConnectionFailed);
    m_settings = std::move(settings);
    m_statusThread = std::make_unique<CStatusDlgThread>();
    m_stepsThread = std::make_unique<SocketMFCThread>(*m_settings, *m_statusThread);
    m_requestStatusThread = std::make_unique<CRequestStatusThread>();
    m_asyncThread = std::make_unique<CAsyncThread>(*m_settings, *m_stepsThread, m_images);
    m_stepsThread->Connect(*m_asyncThread, m_images);
    const bool created = m_statusThread->CreateAndResume() && m_stepsThread->CreateAndResume() &&
                         m_requestStatusThread->CreateAndResume() &&
                         m_asyncThread->CreateAndResume();
    if (!created) {
        ReleaseThreads();
        return finish(kReturnNoThreads);
    }
    return finish(0);
}

void LegacyApp::ReleaseThreads() {
    if (m_stepsThread)
        m_stepsThread->Abort();
    // A thread that does not end in time keeps its object: it may still run.
    auto end = [](auto& thread) {
        if (thread && !thread->QuitAndWait(kThreadEndWaitMs))
            (void)thread.release();
        thread.reset();
    };
    end(m_statusThread);
    end(m_requestStatusThread);
    end(m_asyncThread);
    if (m_stepsThread && !m_stepsThread->QuitAndWait(kThreadEndWaitMs))
        (void)m_stepsThread.release();
    m_stepsThread.reset();
    if (m_settings)
        WSACleanup();
    m_settings.reset();
    m_images.Clear();
}

LONG LegacyApp::EndSession() {
    if (!m_stepsThread)
        return 0;
    if (m_bCapturePending.exchange(false)) {
        // The unit is told with CLOSE, so it does not stay armed for an exposure nobody takes;
        // the waiting capture then ends as cancelled.
        CancelSteps();
        SetEvent(m_completion);
    }
    ReleaseThreads();
    if (m_requestThread) {
        if (WaitForSingleObject(m_requestThread, kRequestThreadEndWaitMs) == WAIT_OBJECT_0)
            CloseHandle(m_requestThread);
        m_requestThread = nullptr;
    }
    std::lock_guard<std::mutex> guard(m_keptLock);
    FreeRecord(m_keptEventRecord);
    m_keptEventRecord = nullptr;
    return 0;
}

LONG LegacyApp::CancelPendingCaptures() {
    m_bCancelPending = true;
    if (m_stepsThread) {
        CancelSteps();
        if (m_requestThread &&
            WaitForSingleObject(m_requestThread, kRequestThreadEndWaitMs) == WAIT_OBJECT_0) {
            CloseHandle(m_requestThread);
            m_requestThread = nullptr;
        }
    }
    m_bCancelPending = false;  // the mark is this cancel's, not the next capture's
    return 0;
}

void LegacyApp::CancelSteps() {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_stepsThread->Abort();
    if (done && m_stepsThread->Post(kMsgCancel, reinterpret_cast<WPARAM>(done))) {
        // The steps thread sets the event later when the wait gives up, so it stays open.
        if (WaitForSingleObject(done, kCancelWaitMs) == WAIT_OBJECT_0)
            CloseHandle(done);
    } else if (done) {
        CloseHandle(done);
    }
}

bool LegacyApp::BeginCapture() {
    if (m_bCapturePending.exchange(true))
        return false;
    if (m_requestThread && WaitForSingleObject(m_requestThread, 0) == WAIT_OBJECT_0) {
        CloseHandle(m_requestThread);
        m_requestThread = nullptr;
    }
    return true;
}

LONG LegacyApp::RunCapture(LegacyRequest& request) {
    m_bCancelPending = false;
    auto outcome = std::make_shared<CaptureOutcome>();
    ResetEvent(m_completion);
    request.status = kStatusRunning;
    auto* handed = new std::shared_ptr<CaptureOutcome>(outcome);
    LONG status = kStatusConnectionFailed;
    if (!m_stepsThread || !m_stepsThread->Post(kMsgStartCapture, reinterpret_cast<WPARAM>(handed),
                                               reinterpret_cast<LPARAM>(m_completion))) {
        delete handed;
    } else if (WaitForSingleObject(m_completion, kCaptureRunTimeoutMs) != WAIT_OBJECT_0) {
        // No end within the bound: the steps are cancelled and the caller hears of a time-out.
        CancelSteps();
        status = kStatusConnectionFailed;
    } else {
        std::lock_guard<std::mutex> guard(outcome->lock);
        status = outcome->status;
        if (status == kStatusRunning || (m_bCancelPending && status != kStatusDelivered))
            status = kStatusCancelled;  // released by the end of the session, or cancelled
    }
    m_bCapturePending = false;
    request.status = status;

    HGLOBAL record = nullptr;
    if (status == kStatusDelivered) {
        std::vector<std::uint8_t> image;
        {
            std::lock_guard<std::mutex> guard(outcome->lock);
            image = std::move(outcome->image);
        }
        record = ImageRecord(image, request.cookie);
    }
    if (!record)
        record = StatusRecord(status, request.cookie);
    request.result = record;
    if (!record)
        return status;

    if (request.notifyKind == kNotifySetEvent) {
        {
            std::lock_guard<std::mutex> guard(m_keptLock);
            if (m_keptEventRecord != record)
                FreeRecord(m_keptEventRecord);
            m_keptEventRecord = record;
        }
        if (request.resultHandle)
            *request.resultHandle = record;
        SetEvent(request.event);
    } else if (!PostMessageA(request.window, request.messageId, 0,
                             reinterpret_cast<LPARAM>(record))) {
        FreeRecord(record);  // never reached the caller
        request.result = nullptr;
    }
    return status;
}

DWORD WINAPI LegacyApp::CaptureRequestThread(LPVOID parameter) {
    std::unique_ptr<LegacyRequest> owned;
    auto* request = static_cast<LegacyRequest*>(parameter);
    if (request != &theApp.m_postRequest)
        owned.reset(request);  // an event request's own copy
    theApp.RunCapture(*request);
    return 0;
}

LONG LegacyApp::CapturePost(LONG flag, HWND window, UINT messageId, LONG cookie) {
    if (!window)
        return kReturnInvalid;
    if (!m_stepsThread)
        return 0;  // no session: nothing would serve the request
    if (!BeginCapture())
        return kReturnBusy;
    m_postRequest = LegacyRequest{};
    m_postRequest.notifyKind = kNotifyPostMessage;
    m_postRequest.window = window;
    m_postRequest.messageId = messageId;
    m_postRequest.cookie = cookie;
    m_postRequest.flag = flag;
    m_requestThread =
        CreateThread(nullptr, 0, &LegacyApp::CaptureRequestThread, &m_postRequest, 0, nullptr);
    if (!m_requestThread) {
        m_bCapturePending = false;
        return kReturnNoThreads;
    }
    return 0;
}

LONG LegacyApp::CaptureEvent(LONG flag, HANDLE event, HGLOBAL* resultHandle, LONG cookie) {
    if (!event)
        return kReturnInvalid;
    auto request = std::make_unique<LegacyRequest>();
    request->notifyKind = kNotifySetEvent;
    request->event = event;
    request->cookie = cookie;
    request->flag = flag;
    request->resultHandle = resultHandle;
    // The record does not exist yet: the caller reads the field's value of now, no record.
    if (resultHandle)
        *resultHandle = request->result;
    if (!m_stepsThread)
        return 0;
    if (!BeginCapture())
        return kReturnBusy;
    if (flag != 0)
        return RunCapture(*request);
    LegacyRequest* handed = request.release();
    m_requestThread =
        CreateThread(nullptr, 0, &LegacyApp::CaptureRequestThread, handed, 0, nullptr);
    if (!m_requestThread) {
        delete handed;
        m_bCapturePending = false;
        return kReturnNoThreads;
    }
    return 0;
}

// The parameter records under the critical section.
class Guarded {
public:
    Guarded()
        : m_locked(theApp.m_criticalSection.try_lock_for(
              std::chrono::milliseconds(kCriticalSectionWaitMs))) {}
    ~Guarded() {
        if (m_locked)
            theApp.m_criticalSection.unlock();
    }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    bool Locked() const { return m_locked; }

private:
    bool m_locked;
};

}  // namespace
}  // namespace zephlegacy

using zephlegacy::theApp;

extern "C" {

ZEPHIF_API LONG WINAPI ZephLibStartSession(void) {
    return theApp.StartSession();
}

ZEPHIF_API LONG WINAPI ZephLibEndSession(void) {
    return theApp.EndSession();
}

ZEPHIF_API LONG WINAPI ZephLibCancelPendingCaptures(void) {
    return theApp.CancelPendingCaptures();
}

ZEPHIF_API LONG WINAPI ZephLibGetCaptureParameters(CaptureParameters* parameters) {
    if (!parameters)
        return zephlegacy::kReturnInvalid;
    zephlegacy::Guarded guard;
    if (!guard.Locked())
        return zephlegacy::kReturnTimedOut;
    for (int i = 0; i < 6; ++i)
        parameters->words[i] = zephlegacy::kFixedCaptureParameters[i];
    return 0;
}

ZEPHIF_API LONG WINAPI ZephLibGetExtendedCaptureParameters(ExtendedCaptureParameters* parameters) {
    if (!parameters)
        return zephlegacy::kReturnInvalid;
    zephlegacy::Guarded guard;
    if (!guard.Locked())
        return zephlegacy::kReturnTimedOut;
    parameters->words[0] = zephlegacy::kExtendedFirstWord;
    for (int i = 0; i < 6; ++i)
        parameters->words[1 + i] =
            theApp.m_stored ? theApp.m_stored->words[i] : zephlegacy::kFixedCaptureParameters[i];
    parameters->words[7] = zephlegacy::kExtendedEighthWord;
    parameters->words[8] = zephlegacy::kExtendedNinthWord;
    return 0;
}

ZEPHIF_API LONG WINAPI ZephLibSetCaptureParameters(const CaptureParameters* parameters) {
    if (!parameters)
        return zephlegacy::kReturnInvalid;
    zephlegacy::Guarded guard;
    if (!guard.Locked())
        return zephlegacy::kReturnTimedOut;
    theApp.m_stored = std::make_unique<CaptureParameters>(*parameters);
    return 0;
}

ZEPHIF_API LONG WINAPI ZephLibControlTestAndSimulation(LONG) {
    return 0;
}

ZEPHIF_API LONG WINAPI ZephLibCaptureRawImageWithPostMessage(LONG flag, HWND window, UINT messageId,
                                                             LONG cookie) {
    return theApp.CapturePost(flag, window, messageId, cookie);
}

ZEPHIF_API LONG WINAPI ZephLibCaptureRawImageWithEventSignal(LONG flag, HANDLE event,
                                                             HGLOBAL* resultHandle, LONG cookie) {
    return theApp.CaptureEvent(flag, event, resultHandle, cookie);
}

ZEPHIF_API LONG WINAPI ZephLibCaptureBitmapWithPostMessage(LONG, HWND, UINT, LONG, LONG) {
    return zephlegacy::kReturnInvalid;
}

ZEPHIF_API LONG WINAPI ZephLibCaptureBitmapWithEventSignal(LONG, HANDLE, HGLOBAL*, LONG, LONG) {
    return zephlegacy::kReturnInvalid;
}

ZEPHIF_API LONG WINAPI ZephLibCaptureTiffFileWithPostMessage(LONG, LONG, LONG, LONG, LONG) {
    return zephlegacy::kReturnInvalid;
}

ZEPHIF_API LONG WINAPI ZephLibCaptureTiffFileWithEventSignal(LONG, LONG, LONG, LONG, LONG) {
    return zephlegacy::kReturnInvalid;
}

}  // extern "C"
