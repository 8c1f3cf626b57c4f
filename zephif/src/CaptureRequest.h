// A caller's capture request as the exports hand it to the worker, who owns it from then on.
#pragma once

#include <windows.h>

namespace zephif {

enum NotifyKind : DWORD { kNotifyWindowMessage = 1, kNotifyEvent = 2 };
enum ImageKind : DWORD { kImageRaw = 1, kImageBitmap = 16 };

// Thread messages of the worker.
enum WorkerMessage : UINT {
    kMsgEnd = 0x8001,
    kMsgOpen = 0x8002,
    kMsgStatusReply = 0x8003,
    kMsgCaptureReply = 0x8004,
    kMsgCloseReply = 0x8005,
    kMsgOtherReply = 0x8006,
    kMsgTimer = 0x8007,
    kMsgCaptureRawPost = 0x8008,
    kMsgCaptureRawEvent = 0x8009,
    kMsgCaptureBitmapPost = 0x800A,
    kMsgCaptureBitmapEvent = 0x800B,
    kMsgCancel = 0x800C,
    kMsgSetParamReply = 0x800D,
    kMsgTransferStarted = 0x8014,
    kMsgTransferProgress = 0x8015,
    // A reply connection carrying this session's header broke off before its declared length.
    kMsgTransferBroken = 0x8016,
};

// Handles are below 2^32 and keep their 32-bit fields; the result-handle pointer is a pointer
// and so pointer-sized (the record never leaves the library).
struct CaptureRequest {
    DWORD notifyKind = 0;
    DWORD imageKind = 0;
    DWORD flag = 0;
    DWORD reserved = 0;
    HGLOBAL* resultHandle = nullptr;
    LONG cookie = 0;
    DWORD target = 0;  // window (post variants) or event (event variants)
    DWORD messageId = 0;

    HANDLE TargetHandle() const { return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(target)); }
};

inline DWORD HandleWord(HANDLE handle) {
    return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(handle));
}

}  // namespace zephif
