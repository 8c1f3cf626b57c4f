// The library object ZephIFApp (settings read at load) and the thirteen exports.
#include <zephif/ZephIF.h>

#include "CaptureRequest.h"
#include "Settings.h"
#include "StateEventMachine.h"

#include <memory>
#include <vector>

namespace zephif {
namespace {

constexpr DWORD kStartWaitMs = 30000;
constexpr DWORD kEndWaitMs = 6000;
// Unloading waits this long for a worker that ending gave up on (one still showing an error).
constexpr DWORD kUnloadWaitMs = 60000;

constexpr LONG kFixedCaptureParameters[6] = {684, 456, 12, 800, 8, 0};
constexpr LONG kExtendedFirstWord = 0;
constexpr LONG kExtendedEighthWord = 2;
constexpr LONG kExtendedNinthWord = 455;  // 5000 / 11, rounded up

class ZephIFApp {
public:
    ZephIFApp() {
        m_initialised = ReadSessionSettings(SettingsPathInCurrentDirectory(), m_settings);
    }
    // Unloading ends the worker even mid-image: its thread must not outlive the library's code.
    ~ZephIFApp() {
        try {
            EndSession(true);
            // A worker given up on by an earlier end may still run this module's code.
            for (HANDLE thread : m_abandonedThreads) {
                WaitForSingleObject(thread, kUnloadWaitMs);
                CloseHandle(thread);
            }
        } catch (...) {
            // Unloading must not end the host program.
        }
    }
    ZephIFApp(const ZephIFApp&) = delete;
    ZephIFApp& operator=(const ZephIFApp&) = delete;

    LONG StartSession();
    LONG EndSession(bool evenWhileReceiving = false);
    LONG CancelPendingCaptures();
    LONG PostRequest(UINT message, const CaptureRequest& request);

    std::unique_ptr<CaptureParameters> m_stored;

private:
    bool m_initialised = false;
    SessionSettings m_settings;
    StateEventMachine* m_worker = nullptr;
    std::vector<HANDLE> m_abandonedThreads;  // workers an end gave up on, still to be waited for
};

LONG ZephIFApp::StartSession() {
    HANDLE startEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!startEvent)
        return ZEPHLIB_NO_START_EVENT;
    if (m_worker || !m_initialised) {
        CloseHandle(startEvent);
        // Declined settings stand for a library that did not load: no session can be opened.
        return m_worker ? ZEPHLIB_OK : ZEPHLIB_STATUS_NO_SESSION;
    }
    auto worker = std::make_unique<StateEventMachine>(m_settings, startEvent);
    if (!worker->CreateSuspended()) {
        worker.reset();
        CloseHandle(startEvent);
        return ZEPHLIB_NO_ANSWER;
    }
    m_worker = worker.release();
    StateEventMachine* started = m_worker;
    started->Resume();
    const DWORD waited = WaitForSingleObject(startEvent, kStartWaitMs);
    started->ReleaseStartEvent();
    CloseHandle(startEvent);
    if (waited != WAIT_OBJECT_0) {
        // End message: ending flag, Closing, then the thread quits.
        PostThreadMessageA(started->ThreadId(), kMsgEnd, 0, 0);
        return ZEPHLIB_NO_ANSWER;
    }
    const LONG status = started->CaptureStatus();
    if (status == ZEPHLIB_STATUS_DELIVERED || status == ZEPHLIB_STATUS_CONNECTED) {
        started->MarkSessionStarted();
        return ZEPHLIB_OK;
    }
    PostThreadMessageA(started->ThreadId(), WM_QUIT, 0, 0);
    return status;
}

LONG ZephIFApp::EndSession(bool evenWhileReceiving) {
    if (!m_worker)
        return ZEPHLIB_OK;
    if (m_worker->ReceivingImage() && !evenWhileReceiving)
        return ZEPHLIB_RECEIVING_IMAGE;
    PostThreadMessageA(m_worker->ThreadId(), kMsgEnd, 0, 0);
    if (WaitForSingleObject(m_worker->Thread(), kEndWaitMs) == WAIT_OBJECT_0) {
        delete m_worker;
    } else {
        // Kept so that unloading can wait for the thread; taken before the thread may go.
        HANDLE thread = m_worker->TakeThreadHandle();
        if (m_worker->Abandon())
            delete m_worker;  // it ended meanwhile
        // Otherwise the thread deletes its worker when it ends.
        m_abandonedThreads.push_back(thread);
    }
    m_worker = nullptr;
    return ZEPHLIB_OK;
}

LONG ZephIFApp::CancelPendingCaptures() {
    if (!m_worker)
        return ZEPHLIB_OK;
    if (m_worker->ReceivingImage())
        return ZEPHLIB_RECEIVING_IMAGE;
    PostThreadMessageA(m_worker->ThreadId(), kMsgCancel, 0, 0);
    return ZEPHLIB_OK;
}

LONG ZephIFApp::PostRequest(UINT message, const CaptureRequest& request) {
    if (!m_worker)
        return ZEPHLIB_OK;
    if (!m_worker->SessionStarted())
        return ZEPHLIB_NO_ANSWER;
    auto copy = std::make_unique<CaptureRequest>(request);
    if (!PostThreadMessageA(m_worker->ThreadId(), message, 0, reinterpret_cast<LPARAM>(copy.get())))
        return ZEPHLIB_NO_ANSWER;  // the worker is gone: nobody will answer this request
    copy.release();                // the worker owns it now
    return ZEPHLIB_OK;
}

ZephIFApp theApp;

}  // namespace
}  // namespace zephif

using zephif::CaptureRequest;
using zephif::theApp;

namespace {

// Every export runs its body through this: no exception crosses the C edge into the host.
template <class Body>
LONG Guarded(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return ZEPHLIB_NO_ANSWER;
    }
}

}  // namespace

extern "C" {

ZEPHIF_API LONG WINAPI ZephLibStartSession(void) {
    return Guarded([] { return theApp.StartSession(); });
}

ZEPHIF_API LONG WINAPI ZephLibEndSession(void) {
    return Guarded([] { return theApp.EndSession(); });
}

ZEPHIF_API LONG WINAPI ZephLibCancelPendingCaptures(void) {
    return Guarded([] { return theApp.CancelPendingCaptures(); });
}

ZEPHIF_API LONG WINAPI ZephLibGetCaptureParameters(CaptureParameters* parameters) {
    return Guarded([&] {
        if (!parameters)
            return ZEPHLIB_INVALID_ARGUMENT;
        for (int i = 0; i < 6; ++i)
            parameters->words[i] = zephif::kFixedCaptureParameters[i];
        return ZEPHLIB_OK;
    });
}

ZEPHIF_API LONG WINAPI ZephLibGetExtendedCaptureParameters(ExtendedCaptureParameters* parameters) {
    return Guarded([&] {
        if (!parameters)
            return ZEPHLIB_INVALID_ARGUMENT;
        parameters->words[0] = zephif::kExtendedFirstWord;
        for (int i = 0; i < 6; ++i)
            parameters->words[1 + i] =
                theApp.m_stored ? theApp.m_stored->words[i] : zephif::kFixedCaptureParameters[i];
        parameters->words[7] = zephif::kExtendedEighthWord;
        parameters->words[8] = zephif::kExtendedNinthWord;
        return ZEPHLIB_OK;
    });
}

ZEPHIF_API LONG WINAPI ZephLibSetCaptureParameters(const CaptureParameters* parameters) {
    return Guarded([&] {
        if (!parameters)
            return ZEPHLIB_INVALID_ARGUMENT;
        theApp.m_stored = std::make_unique<CaptureParameters>(*parameters);
        return ZEPHLIB_OK;
    });
}

ZEPHIF_API LONG WINAPI ZephLibControlTestAndSimulation(LONG) {
    return ZEPHLIB_OK;
}

ZEPHIF_API LONG WINAPI ZephLibCaptureRawImageWithPostMessage(LONG flag, HWND window, UINT messageId,
                                                             LONG cookie) {
    return Guarded([&] {
        if (!window)
            return ZEPHLIB_INVALID_ARGUMENT;
        CaptureRequest request;
        request.notifyKind = zephif::kNotifyWindowMessage;
        request.imageKind = zephif::kImageRaw;
        request.flag = flag == 1 ? 1 : 0;
        request.cookie = cookie;
        request.target = zephif::HandleWord(window);
        request.messageId = messageId;
        return theApp.PostRequest(zephif::kMsgCaptureRawPost, request);
    });
}

ZEPHIF_API LONG WINAPI ZephLibCaptureRawImageWithEventSignal(LONG flag, HANDLE event,
                                                             HGLOBAL* resultHandle, LONG cookie) {
    return Guarded([&] {
        if (!event)
            return ZEPHLIB_INVALID_ARGUMENT;
        CaptureRequest request;
        request.notifyKind = zephif::kNotifyEvent;
        request.imageKind = zephif::kImageRaw;
        request.flag = flag == 1 ? 1 : 0;
        request.resultHandle = resultHandle;
        request.cookie = cookie;
        request.target = zephif::HandleWord(event);
        return theApp.PostRequest(zephif::kMsgCaptureRawEvent, request);
    });
}

ZEPHIF_API LONG WINAPI ZephLibCaptureBitmapWithPostMessage(LONG flag, HWND window, UINT messageId,
                                                           LONG reserved, LONG cookie) {
    return Guarded([&] {
        if (!window)
            return ZEPHLIB_INVALID_ARGUMENT;
        CaptureRequest request;
        request.notifyKind = zephif::kNotifyWindowMessage;
        request.imageKind = zephif::kImageBitmap;
        request.flag = flag == 1 ? 1 : 0;
        request.reserved = static_cast<DWORD>(reserved);
        request.cookie = cookie;
        request.target = zephif::HandleWord(window);
        request.messageId = messageId;
        return theApp.PostRequest(zephif::kMsgCaptureBitmapPost, request);
    });
}

// Image kind 1, as this export has always asked for: its caller gets raw pixels.
ZEPHIF_API LONG WINAPI ZephLibCaptureBitmapWithEventSignal(LONG flag, HANDLE event,
                                                           HGLOBAL* resultHandle, LONG reserved,
                                                           LONG cookie) {
    return Guarded([&] {
        if (!event)
            return ZEPHLIB_INVALID_ARGUMENT;
        CaptureRequest request;
        request.notifyKind = zephif::kNotifyEvent;
        request.imageKind = zephif::kImageRaw;
        request.flag = flag == 1 ? 1 : 0;
        request.reserved = static_cast<DWORD>(reserved);
        request.resultHandle = resultHandle;
        request.cookie = cookie;
        request.target = zephif::HandleWord(event);
        return theApp.PostRequest(zephif::kMsgCaptureBitmapEvent, request);
    });
}

ZEPHIF_API LONG WINAPI ZephLibCaptureTiffFileWithPostMessage(LONG, LONG, LONG, LONG, LONG) {
    return ZEPHLIB_INVALID_ARGUMENT;
}

ZEPHIF_API LONG WINAPI ZephLibCaptureTiffFileWithEventSignal(LONG, LONG, LONG, LONG, LONG) {
    return ZEPHLIB_INVALID_ARGUMENT;
}

}  // extern "C"
