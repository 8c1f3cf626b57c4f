// Turning a CAPTURE reply or a status into a CaptureResult and notifying the caller.
#pragma once

#include "CaptureRequest.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

class VTRecvCommand;

namespace zephif {

// The record (and pixel block) of the last event-signal notification: the library keeps it until
// the next one replaces it or the session ends.
class KeptResult {
public:
    KeptResult() = default;
    KeptResult(const KeptResult&) = delete;
    KeptResult& operator=(const KeptResult&) = delete;
    ~KeptResult() { Free(); }

    void Replace(HGLOBAL record);
    void Free();
    HGLOBAL Record() const { return m_record; }

private:
    HGLOBAL m_record = nullptr;
};

// One notification's worth of work, created with the current CaptureStatus.
class ImageDelivery {
public:
    ImageDelivery(LONG captureStatus, int borderRemove)
        : m_status(captureStatus), m_borderRemove(borderRemove) {}

    // Converts the reply's payload (raw requests) and notifies; a payload that cannot be converted
    // gives a status-only result. E_POINTER without reply or request (no notification).
    HRESULT Deliver(const std::uint8_t* payload, std::size_t length, const CaptureRequest* request,
                    KeptResult& kept);
    HRESULT Deliver(const VTRecvCommand* reply, const CaptureRequest* request, KeptResult& kept);
    // A status-only result with the CaptureStatus.
    HRESULT NotifyStatus(const CaptureRequest* request, KeptResult& kept);

private:
    HRESULT Notify(const CaptureRequest& request, HGLOBAL record, KeptResult& kept);
    HGLOBAL StatusRecord(const CaptureRequest& request);

    LONG m_status;
    int m_borderRemove;
};

// Frees a result record and the pixel block its word 10 names.
void FreeCaptureResult(HGLOBAL record);

}  // namespace zephif
