// Result records in movable global memory, and the window-message or event notification.
#include "Delivery.h"

#include "Converter.h"

#include <zephif/ZephIF.h>
#include <vantaproto/VTMessage.h>

#include <cstring>

namespace zephif {
namespace {

// Locks `block` for the scope.
class Locked {
public:
    explicit Locked(HGLOBAL block) : m_block(block), m_data(GlobalLock(block)) {}
    ~Locked() {
        if (m_data)
            GlobalUnlock(m_block);
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    template <class T>
    T* As() const {
        return static_cast<T*>(m_data);
    }

private:
    HGLOBAL m_block;
    void* m_data;
};

HGLOBAL AllocateRecord() {
    return GlobalAlloc(GHND, sizeof(CaptureResult));
}

}  // namespace

void FreeCaptureResult(HGLOBAL record) {
    if (!record)
        return;
    HGLOBAL pixels = nullptr;
    {
        Locked locked(record);
        if (auto* result = locked.As<CaptureResult>())
            pixels = reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(result->pixels));
    }
    if (pixels)
        GlobalFree(pixels);
    GlobalFree(record);
}

void KeptResult::Replace(HGLOBAL record) {
    if (record == m_record)
        return;
    Free();
    m_record = record;
}

void KeptResult::Free() {
    FreeCaptureResult(m_record);
    m_record = nullptr;
}

HRESULT ImageDelivery::Deliver(const VTRecvCommand* reply, const CaptureRequest* request,
                               KeptResult& kept) {
    if (!reply || !request)
        return E_POINTER;
    return Deliver(reinterpret_cast<const std::uint8_t*>(reply->Data()),
                   reply->Data() ? static_cast<std::size_t>(reply->Received()) : 0, request, kept);
}

HRESULT ImageDelivery::Deliver(const std::uint8_t* payload, std::size_t length,
                               const CaptureRequest* request, KeptResult& kept) {
    if (!request)
        return E_POINTER;
    (void)m_borderRemove;  // always 0 in this build: no trimming
    if (request->imageKind != kImageRaw)
        return NotifyStatus(request, kept);

    const auto layout = ReadBitmapLayout(payload, length);
    if (!layout)
        return NotifyStatus(request, kept);
    const std::size_t pixelBytes = layout->PixelCount() * 2;
    HGLOBAL pixels = GlobalAlloc(GHND, pixelBytes);
    if (!pixels)
        return NotifyStatus(request, kept);
    {
        Locked locked(pixels);
        if (!locked.As<std::uint16_t>()) {
            GlobalFree(pixels);
            return NotifyStatus(request, kept);
        }
        ConvertPixels(payload, *layout, locked.As<std::uint16_t>());
    }
    HGLOBAL record = AllocateRecord();
    if (!record) {
        GlobalFree(pixels);
        return NotifyStatus(request, kept);
    }
    {
        Locked locked(record);
        auto* result = locked.As<CaptureResult>();
        result->status = ZEPHLIB_STATUS_DELIVERED;
        result->recordKind = ZEPHLIB_RESULT_RECORD_KIND;
        result->reserved2 = 0;
        result->cookie = request->cookie;
        result->width = layout->width;
        result->height = layout->height;
        result->bitsPerPixel = ZEPHLIB_PIXEL_BITS;
        result->pixelBytes = static_cast<DWORD>(pixelBytes);
        result->pixels = HandleWord(pixels);
    }
    return Notify(*request, record, kept);
}

HRESULT ImageDelivery::NotifyStatus(const CaptureRequest* request, KeptResult& kept) {
    if (!request)
        return E_POINTER;
    HGLOBAL record = StatusRecord(*request);
    if (!record)
        return E_FAIL;
    return Notify(*request, record, kept);
}

HGLOBAL ImageDelivery::StatusRecord(const CaptureRequest& request) {
    HGLOBAL record = AllocateRecord();
    if (!record)
        return nullptr;
    Locked locked(record);
    auto* result = locked.As<CaptureResult>();
    // Every status is written, also for event callers: a zero status word would read as success.
    result->status = m_status;
    result->reserved2 = 0;
    result->cookie = request.cookie;
    return record;
}

HRESULT ImageDelivery::Notify(const CaptureRequest& request, HGLOBAL record, KeptResult& kept) {
    switch (request.notifyKind) {
        case kNotifyWindowMessage:
            if (PostMessageA(static_cast<HWND>(request.TargetHandle()), request.messageId, 0,
                             reinterpret_cast<LPARAM>(record)))
                return S_OK;
            FreeCaptureResult(record);  // never reached the caller, so still ours
            return E_FAIL;
        case kNotifyEvent:
            kept.Replace(record);
            if (request.resultHandle)
                *request.resultHandle = record;
            return SetEvent(request.TargetHandle()) ? S_OK : E_FAIL;
        default:
            FreeCaptureResult(record);
            return E_FAIL;
    }
}

}  // namespace zephif
