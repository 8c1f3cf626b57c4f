// Access to the PCI bridge both capture boards carry: interrupt control, NVRAM byte protocol,
// register dump, and the NVRAM and dump requests built on them.
#pragma once

#include "drvframe.h"

namespace pcibridge {

constexpr ULONG kConfig0C = 0x0C;
constexpr ULONG kConfig1C = 0x1C;
constexpr ULONG kConfig34 = 0x34;
constexpr ULONG kInterruptControl = 0x38;
constexpr ULONG kBusMasterControl = 0x3C;
constexpr ULONG kNvramAccess = 0x3E;
constexpr ULONG kPort60 = 0x60;

constexpr ULONG kInterruptPending = 0x800000;
constexpr ULONG kReceiveInterruptEnable = 0x2000;
constexpr ULONG kLocalReset = 0x01000000;
constexpr USHORT kNvramBusy = 0x8000;
constexpr USHORT kNvramFault = 0x1000;
constexpr USHORT kNvramProtectedBytes = 128;   // writes start at or above this address
constexpr ULONG kNvramBusyTimeoutUs = 500;     // a byte command that stays busy longer failed
constexpr ULONG kNvramWriteSettleMs = 20;      // a written cell's programming time
constexpr USHORT kNvramReadBytesPerStep = 32;  // bytes read in one stretch at DISPATCH_LEVEL

// Port 0x38 values both boards write: at board start, and when the card is initialised.
constexpr ULONG kInterruptControlAtStart = 0x30000;
constexpr ULONG kInterruptControlInitialised = 0x1010;
// The interrupt service writes port 0x38 back with these bits cleared.
constexpr ULONG kInterruptAcknowledgeBits = 0x33010;
constexpr ULONG kRegisterDumpBytes = 100;

inline ULONG ReadPort32(PUCHAR base, ULONG offset) {
    return READ_PORT_ULONG(reinterpret_cast<PULONG>(base + offset));
}
inline void WritePort32(PUCHAR base, ULONG offset, ULONG value) {
    WRITE_PORT_ULONG(reinterpret_cast<PULONG>(base + offset), value);
}
inline USHORT ReadPort16(PUCHAR base, ULONG offset) {
    return READ_PORT_USHORT(reinterpret_cast<PUSHORT>(base + offset));
}
inline void WritePort16(PUCHAR base, ULONG offset, USHORT value) {
    WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(base + offset), value);
}

// Port 0x38: keep bits 0-15 and 18-31, set the receive enable, write bits 16-17 as 0.
void EnableReceiveInterrupts(PUCHAR port);
// Port 0x38 AND NOT 0x32000.
void DisableReceiveInterrupts(PUCHAR port);

// One NVRAM byte; STATUS_IO_DEVICE_ERROR when the fault bit is up after it (or the word
// stays busy).
NTSTATUS ReadNvramByte(PUCHAR port, USHORT address, UCHAR* value);
NTSTATUS WriteNvramByte(PUCHAR port, USHORT address, UCHAR value);

// The board's resources at start: port resource 0 becomes the port window, memory resources
// 0..count-1 are mapped. STATUS_INSUFFICIENT_RESOURCES, with nothing left mapped, when one is
// missing or cannot be mapped, or when there is no interrupt resource.
NTSTATUS MapBoardWindows(CResource& translated, int count, PUCHAR* port, PUCHAR* memory,
                         ULONG* memoryLengths);
void UnmapBoardWindows(int count, PUCHAR* port, PUCHAR* memory, ULONG* memoryLengths);
// Connects the board's interrupt resource 0 to `isr`.
NTSTATUS ConnectBoardInterrupt(CResource& translated, PKINTERRUPT* interrupt, PKSERVICE_ROUTINE isr,
                               PVOID context);
// The interrupt service both boards share, on port 0x38: false when the board does not ask for
// service; otherwise the value is written back with the acknowledge bits cleared and ORed into
// `accumulated`.
bool AcknowledgeInterrupt(PUCHAR port, ULONG* accumulated);

// An NVRAM request carried out in steps, so the processor never stays long at DISPATCH_LEVEL:
// each byte's command sequence runs under the device lock; a write waits for the cell's
// programming time on a timer, a read goes on in a DPC after every few bytes. Its request is
// the device's running operation.
class NvramOperation {
public:
    NvramOperation();
    ~NvramOperation();
    NvramOperation(const NvramOperation&) = delete;
    NvramOperation& operator=(const NvramOperation&) = delete;
    void Initialize(COperationDevice* device);

    // Start-I/O, device lock held, METHOD_BUFFERED system buffer. Read: input u16 start, u16
    // count; returns the bytes. Write: input u16 start, u16 count, the bytes; needs count + 5
    // input bytes and a start of at least 128. Both keep start + count within `nvramSize`.
    // True when the operation finished at once (a bad request, or nothing to do) and released
    // the lock; otherwise it goes on and this returns with the lock held.
    bool StartRead(PUCHAR port, USHORT nvramSize, PVOID buffer, ULONG inputLength,
                   ULONG outputLength);
    bool StartWrite(PUCHAR port, USHORT nvramSize, PVOID buffer, ULONG inputLength);
    // Lock held: stops a running request's steps (its request is the caller's to complete).
    void Stop();
    bool Running() const { return m_running; }

private:
    static KDEFERRED_ROUTINE StepDpc;
    bool Step();
    void Finish(NTSTATUS status, ULONG_PTR information);

    COperationDevice* m_device = nullptr;
    CTimer m_timer;
    KDPC m_dpc{};
    bool m_running = false;
    bool m_write = false;
    PUCHAR m_port = nullptr;
    PUCHAR m_bytes = nullptr;  // read: where bytes go; write: the bytes to write
    USHORT m_address = 0;
    USHORT m_done = 0;
    USHORT m_count = 0;
};

// Requests on a METHOD_BUFFERED system buffer, whole at once (tools and tests). Read: input u16
// start, u16 count; returns the bytes. Write: input u16 start, u16 count, the bytes; needs count +
// 5 input bytes, a start of at least 128. Both keep start + count within `nvramSize`.
NTSTATUS IoctlReadNvram(PUCHAR port, USHORT nvramSize, PVOID buffer, ULONG inputLength,
                        ULONG outputLength, ULONG_PTR* information);
NTSTATUS IoctlWriteNvram(PUCHAR port, USHORT nvramSize, PVOID buffer, ULONG inputLength,
                         ULONG_PTR* information);
// 100 bytes: ports 0x0C, 0x1C, 0x34, 0x38 at offsets 12, 28, 52, 56, the rest zero.
NTSTATUS IoctlDumpRegisters(PUCHAR port, PVOID buffer, ULONG outputLength, ULONG_PTR* information);

}  // namespace pcibridge
