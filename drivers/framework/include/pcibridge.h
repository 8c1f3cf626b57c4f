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

// 100 bytes: ports 0x0C, 0x1C, 0x34, 0x38 at offsets 12, 28, 52, 56, the rest zero.
NTSTATUS IoctlDumpRegisters(PUCHAR port, PVOID buffer, ULONG outputLength, ULONG_PTR* information);

}  // namespace pcibridge

// ---------------------------------------------------------------------------------------------
// A capture board behind the PCI bridge: its port and memory windows and its interrupt, board
// start and removal, the power hooks, the interrupt service and its DPC's first steps, reset,
// and the requests the bridge serves alike on both boards (register dump, NVRAM, performance
// sample). The board driver adds its sensor's operations.
class CBoardDevice : public COperationDevice {
public:
    static constexpr int kMaxMemoryWindows = 4;
    static constexpr USHORT kNvramBytes = 2048;
    // Control codes both boards serve through the bridge alike.
    static constexpr ULONG kIoctlGatherPerformanceData = 0x80002014;
    static constexpr ULONG kIoctlDumpRegisters = 0x80002024;
    static constexpr ULONG kIoctlReadNvram = 0x8000202C;
    static constexpr ULONG kIoctlWriteNvram = 0x80002030;

    // `memoryWindows` memory resources are mapped at start; `isr` and `dpcForIsr` are the
    // driver's entry points, which call Isr and DpcForIsr (the ISR's context is this object as
    // a CBoardDevice).
    CBoardDevice(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice, int memoryWindows,
                 PKSERVICE_ROUTINE isr, PIO_DPC_ROUTINE dpcForIsr);
    ~CBoardDevice() override;

    static CBoardDevice* FromInterruptContext(PVOID context) {
        return static_cast<CBoardDevice*>(context);
    }

    // Not the board's interrupt while the device is out of D0 or holds new requests, or while
    // the bridge does not ask for service; otherwise acknowledged and the DPC queued.
    BOOLEAN Isr();
    // Takes the device lock; a cancelled operation is left to its cancel routine, otherwise
    // ServiceInterrupt runs.
    void DpcForIsr();
    // Reset: flushes the queue, then ResetBoard under the device lock (taken unless this thread
    // holds it) and clears the accumulated interrupt status. STATUS_DEVICE_NOT_READY before the
    // board started.
    NTSTATUS IoctlReset(PIRP irp);
    // Copies the running total to the caller, then adds a sample of the performance counter.
    NTSTATUS IoctlGatherPerformanceData(PVOID buffer, ULONG outputLength, ULONG_PTR* information);

    PUCHAR Port() const { return m_port; }
    ULONG InterruptStatus() const { return m_interruptStatus; }

protected:
    // Board start, the windows mapped, before the interrupt is connected.
    virtual void InitializeBoard() = 0;
    // Lock held, windows mapped: the device is back in D0.
    virtual void ResumeBoard() = 0;
    // Lock held, windows mapped: resets the board. Returns the status to complete the request
    // with, or STATUS_PENDING when it keeps the request (marked pending) to complete later.
    virtual NTSTATUS ResetBoard(PIRP irp) = 0;
    // DPC of the interrupt, lock held, `irp` the operation's request (null: none): serves the
    // board and releases the lock.
    virtual void ServiceInterrupt(PIRP irp) = 0;

    NTSTATUS PnpSetupDeviceResources(CResource& raw, CResource& translated) final;
    void PnpFreeDeviceResources() final;
    void SavePowerRegisters() final;
    void RestorePowerRegisters() final;

    // Port 0x38 read, then written 0.
    void UnInitializeCard();
    static bool IsBridgeRequest(ULONG code);
    static bool IsNvramRequest(ULONG code) {
        return code == kIoctlReadNvram || code == kIoctlWriteNvram;
    }
    // Start-I/O, lock held, the operation's request a bridge request: runs it. The lock is
    // released, whether it finished at once or goes on over timers.
    void RunBridgeRequest(PIRP irp);
    // Lock held: stops a running NVRAM request; true when one ran.
    bool StopBridgeRequest();

    PUCHAR m_memory[kMaxMemoryWindows] = {};
    PUCHAR m_port = nullptr;
    PKINTERRUPT m_interrupt = nullptr;
    ULONG m_interruptStatus = 0;
    ULONG m_interruptStatus2 = 0;
    USHORT m_nvramSize = 0;
    ULONG m_performanceTotal = 0;

private:
    static KSYNCHRONIZE_ROUTINE ClearInterruptStatus;
    void UnmapWindows();

    const int m_memoryWindows;
    const PKSERVICE_ROUTINE m_isr;
    ULONG m_memoryLength[kMaxMemoryWindows] = {};
    pcibridge::NvramOperation m_nvram;
};
