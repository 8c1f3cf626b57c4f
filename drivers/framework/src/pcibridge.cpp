// The PCI bridge of the capture boards: interrupt control, NVRAM byte protocol, register dump.
#include "pcibridge.h"

#include <algorithm>
#include <cstring>

namespace pcibridge {
namespace {

bool WaitNotBusy(PUCHAR port, USHORT* word) {
    WdmSpecifiedWait wait;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG deadline = now.QuadPart + static_cast<LONGLONG>(kNvramBusyTimeoutUs) * 10;
    for (;;) {
        *word = ReadPort16(port, kNvramAccess);
        if ((*word & kNvramBusy) == 0)
            return true;
        KeQuerySystemTime(&now);
        if (now.QuadPart > deadline)
            return false;
    }
}

void SelectAddress(PUCHAR port, USHORT address) {
    WritePort16(port, kNvramAccess, static_cast<USHORT>(0x8000 | (address & 0xFF)));
    WritePort16(port, kNvramAccess, static_cast<USHORT>(0xA000 | (address >> 8)));
}

}  // namespace

void EnableReceiveInterrupts(PUCHAR port) {
    ULONG value = ReadPort32(port, kInterruptControl);
    WritePort32(port, kInterruptControl, (value & ~0x30000u) | kReceiveInterruptEnable);
}

void DisableReceiveInterrupts(PUCHAR port) {
    WritePort32(port, kInterruptControl, ReadPort32(port, kInterruptControl) & ~0x32000u);
}

NTSTATUS ReadNvramByte(PUCHAR port, USHORT address, UCHAR* value) {
    USHORT word;
    SelectAddress(port, address);
    if (!WaitNotBusy(port, &word))
        return STATUS_IO_DEVICE_ERROR;
    WritePort16(port, kNvramAccess, 0xE000);
    if (!WaitNotBusy(port, &word))
        return STATUS_IO_DEVICE_ERROR;
    *value = static_cast<UCHAR>(word & 0xFF);
    return (word & kNvramFault) ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
}

namespace {

// The command sequence of one byte write, without the cell's programming time.
NTSTATUS CommandNvramWrite(PUCHAR port, USHORT address, UCHAR value) {
    USHORT word;
    SelectAddress(port, address);
    if (!WaitNotBusy(port, &word))
        return STATUS_IO_DEVICE_ERROR;
    WritePort16(port, kNvramAccess, static_cast<USHORT>(0xC000 | value));
    if (!WaitNotBusy(port, &word))
        return STATUS_IO_DEVICE_ERROR;
    return (word & kNvramFault) ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
}

// Splits and checks a read or write request's header.
bool ParseNvramRequest(PVOID buffer, ULONG inputLength, USHORT* start, USHORT* count) {
    if (inputLength < 4 || buffer == nullptr)
        return false;
    auto bytes = static_cast<PUCHAR>(buffer);
    std::memcpy(start, bytes, 2);
    std::memcpy(count, bytes + 2, 2);
    return true;
}

}  // namespace

// ---- Resources and interrupt

NTSTATUS MapBoardWindows(CResource& translated, int count, PUCHAR* port, PUCHAR* memory,
                         ULONG* memoryLengths) {
    PHYSICAL_ADDRESS start;
    ULONG length;
    if (!translated.GetPort(0, &start, &length))
        return STATUS_INSUFFICIENT_RESOURCES;
    *port = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(start.QuadPart));
    for (int i = 0; i < count; ++i) {
        PVOID mapped = nullptr;
        if (translated.GetMemory(static_cast<ULONG>(i), &start, &length))
            mapped = MmMapIoSpace(start, length, MmNonCached);
        if (mapped == nullptr) {
            UnmapBoardWindows(count, port, memory, memoryLengths);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memory[i] = static_cast<PUCHAR>(mapped);
        memoryLengths[i] = length;
    }
    ULONG level, vector;
    KAFFINITY affinity;
    KINTERRUPT_MODE mode;
    BOOLEAN shared;
    if (!translated.GetInterrupt(0, &level, &vector, &affinity, &mode, &shared)) {
        UnmapBoardWindows(count, port, memory, memoryLengths);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void UnmapBoardWindows(int count, PUCHAR* port, PUCHAR* memory, ULONG* memoryLengths) {
    for (int i = 0; i < count; ++i) {
        if (memory[i] != nullptr)
            MmUnmapIoSpace(memory[i], memoryLengths[i]);
        memory[i] = nullptr;
    }
    *port = nullptr;
}

NTSTATUS ConnectBoardInterrupt(CResource& translated, PKINTERRUPT* interrupt, PKSERVICE_ROUTINE isr,
                               PVOID context) {
    ULONG level, vector;
    KAFFINITY affinity;
    KINTERRUPT_MODE mode;
    BOOLEAN shared;
    if (!translated.GetInterrupt(0, &level, &vector, &affinity, &mode, &shared))
        return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status =
        IoConnectInterrupt(interrupt, isr, context, nullptr, vector, static_cast<KIRQL>(level),
                           static_cast<KIRQL>(level), mode, shared, affinity, FALSE);
    if (!NT_SUCCESS(status))
        *interrupt = nullptr;
    return status;
}

bool AcknowledgeInterrupt(PUCHAR port, ULONG* accumulated) {
    ULONG value = ReadPort32(port, kInterruptControl);
    if (!(value & kInterruptPending))
        return false;
    value &= ~kInterruptAcknowledgeBits;
    WritePort32(port, kInterruptControl, value);
    *accumulated |= value;
    return true;
}

// ---- NvramOperation

NvramOperation::NvramOperation() = default;

NvramOperation::~NvramOperation() {
    KeRemoveQueueDpc(&m_dpc);
}

void NvramOperation::Initialize(COperationDevice* device) {
    m_device = device;
    m_timer.Initialize(StepDpc, this);
    KeInitializeDpc(&m_dpc, StepDpc, this);
}

bool NvramOperation::StartRead(PUCHAR port, USHORT nvramSize, PVOID buffer, ULONG inputLength,
                               ULONG outputLength) {
    USHORT start, count;
    if (!ParseNvramRequest(buffer, inputLength, &start, &count) ||
        static_cast<ULONG>(start) + count > nvramSize || outputLength < count) {
        m_device->FinishOperation(STATUS_INVALID_PARAMETER, 0);
        return true;
    }
    m_write = false;
    m_port = port;
    m_bytes = static_cast<PUCHAR>(buffer);
    m_address = start;
    m_count = count;
    m_done = 0;
    m_running = true;
    return Step();
}

bool NvramOperation::StartWrite(PUCHAR port, USHORT nvramSize, PVOID buffer, ULONG inputLength) {
    USHORT start, count;
    if (!ParseNvramRequest(buffer, inputLength, &start, &count) ||
        inputLength < static_cast<ULONG>(count) + 5 || start < kNvramProtectedBytes ||
        static_cast<ULONG>(start) + count > nvramSize) {
        m_device->FinishOperation(STATUS_INVALID_PARAMETER, 0);
        return true;
    }
    m_write = true;
    m_port = port;
    m_bytes = static_cast<PUCHAR>(buffer) + 4;
    m_address = start;
    m_count = count;
    m_done = 0;
    m_running = true;
    return Step();
}

void NvramOperation::Stop() {
    m_running = false;
    m_timer.Cancel();
    KeRemoveQueueDpc(&m_dpc);
}

void NvramOperation::Finish(NTSTATUS status, ULONG_PTR information) {
    m_running = false;
    m_device->FinishOperation(status, information);
}

// Lock held. Either finishes the request (releasing the lock: true) or schedules the next step.
bool NvramOperation::Step() {
    if (m_done == m_count) {
        Finish(STATUS_SUCCESS, m_write ? 0 : m_count);
        return true;
    }
    if (m_write) {
        const NTSTATUS status =
            CommandNvramWrite(m_port, static_cast<USHORT>(m_address + m_done), m_bytes[m_done]);
        if (!NT_SUCCESS(status)) {
            Finish(status, 0);
            return true;
        }
        ++m_done;
        m_timer.Start(kNvramWriteSettleMs);  // the cell's programming time
        return false;
    }
    for (USHORT n = 0; n < kNvramReadBytesPerStep && m_done < m_count; ++n) {
        UCHAR value = 0;
        const NTSTATUS status =
            ReadNvramByte(m_port, static_cast<USHORT>(m_address + m_done), &value);
        if (!NT_SUCCESS(status)) {
            Finish(status, 0);
            return true;
        }
        // The system buffer holds the request's header until the bytes overwrite it.
        m_bytes[m_done++] = value;
    }
    if (m_done == m_count) {
        Finish(STATUS_SUCCESS, m_count);
        return true;
    }
    KeInsertQueueDpc(&m_dpc, nullptr, nullptr);
    return false;
}

void NvramOperation::StepDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto self = static_cast<NvramOperation*>(context);
    self->m_device->LockDevice();
    const bool current = dpc == &self->m_dpc ? self->m_running : self->m_timer.TakeExpiry();
    if (!current || !self->m_running) {
        self->m_device->UnlockDevice();  // stopped meanwhile
        return;
    }
    // Once the request finished, the lock is gone and the next request may already run.
    if (!self->Step())
        self->m_device->UnlockDevice();
}

NTSTATUS IoctlDumpRegisters(PUCHAR port, PVOID buffer, ULONG outputLength, ULONG_PTR* information) {
    *information = 0;
    if (outputLength < kRegisterDumpBytes || buffer == nullptr)
        return STATUS_BUFFER_TOO_SMALL;
    ULONG dump[kRegisterDumpBytes / 4] = {};
    dump[12 / 4] = ReadPort32(port, kConfig0C);
    dump[28 / 4] = ReadPort32(port, kConfig1C);
    dump[52 / 4] = ReadPort32(port, kConfig34);
    dump[56 / 4] = ReadPort32(port, kInterruptControl);
    std::memcpy(buffer, dump, kRegisterDumpBytes);
    *information = kRegisterDumpBytes;
    return STATUS_SUCCESS;
}

}  // namespace pcibridge

// ---- CBoardDevice

CBoardDevice::CBoardDevice(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice,
                           int memoryWindows, PKSERVICE_ROUTINE isr, PIO_DPC_ROUTINE dpcForIsr)
    : COperationDevice(deviceObject, physicalDevice),
      m_memoryWindows(std::min(memoryWindows, kMaxMemoryWindows)),
      m_isr(isr) {
    m_nvram.Initialize(this);
    IoInitializeDpcRequest(deviceObject, dpcForIsr);
}

CBoardDevice::~CBoardDevice() = default;

void CBoardDevice::UnInitializeCard() {
    pcibridge::ReadPort32(m_port, pcibridge::kInterruptControl);
    pcibridge::WritePort32(m_port, pcibridge::kInterruptControl, 0);
}

void CBoardDevice::UnmapWindows() {
    pcibridge::UnmapBoardWindows(m_memoryWindows, &m_port, m_memory, m_memoryLength);
}

NTSTATUS CBoardDevice::PnpSetupDeviceResources(CResource&, CResource& translated) {
    NTSTATUS status =
        pcibridge::MapBoardWindows(translated, m_memoryWindows, &m_port, m_memory, m_memoryLength);
    if (!NT_SUCCESS(status))
        return status;
    InitializeBoard();
    status = pcibridge::ConnectBoardInterrupt(translated, &m_interrupt, m_isr,
                                              static_cast<CBoardDevice*>(this));
    if (!NT_SUCCESS(status)) {
        UnInitializeCard();
        UnmapWindows();
        return status;
    }
    m_nvramSize = kNvramBytes;
    return STATUS_SUCCESS;
}

void CBoardDevice::PnpFreeDeviceResources() {
    // The framework ended the running operation and its timers; a DPC that still comes finds
    // nothing to do, and none may run once the windows are gone.
    if (m_interrupt != nullptr)
        IoDisconnectInterrupt(m_interrupt);
    m_interrupt = nullptr;
    KeFlushQueuedDpcs();
    UnmapWindows();
}

void CBoardDevice::SavePowerRegisters() {
    LockDevice();
    if (m_port != nullptr)
        UnInitializeCard();
    UnlockDevice();
}

void CBoardDevice::RestorePowerRegisters() {
    LockDevice();
    if (m_port != nullptr)
        ResumeBoard();
    UnlockDevice();
}

BOOLEAN CBoardDevice::ClearInterruptStatus(PVOID context) {
    auto self = static_cast<CBoardDevice*>(context);
    self->m_interruptStatus = 0;
    self->m_interruptStatus2 = 0;
    return TRUE;
}

BOOLEAN CBoardDevice::Isr() {
    if (PowerState() != PowerDeviceD0 || HoldingNewRequests())
        return FALSE;
    if (!pcibridge::AcknowledgeInterrupt(m_port, &m_interruptStatus))
        return FALSE;
    IoRequestDpc(m_deviceObject, nullptr, nullptr);
    return TRUE;
}

void CBoardDevice::DpcForIsr() {
    LockDevice();
    PIRP irp = OperationIrp();
    if (irp != nullptr && irp->Cancel) {
        UnlockDevice();  // its cancel routine completes it
        return;
    }
    ServiceInterrupt(irp);
}

NTSTATUS CBoardDevice::IoctlReset(PIRP irp) {
    FlushQueuedIrps(STATUS_CANCELLED);
    if (m_port == nullptr)
        return CompleteIrp(irp, STATUS_DEVICE_NOT_READY, 0);
    // Only a caller on this thread inside start-I/O or a DPC may already hold the lock.
    const bool takeLock = !LockHeldByThisThread();
    if (takeLock)
        LockDevice();
    const NTSTATUS status = ResetBoard(irp);
    if (m_interrupt != nullptr)
        KeSynchronizeExecution(m_interrupt, ClearInterruptStatus, this);
    if (takeLock)
        UnlockDevice();
    return status == STATUS_PENDING ? status : CompleteIrp(irp, status, 0);
}

NTSTATUS CBoardDevice::IoctlGatherPerformanceData(PVOID buffer, ULONG outputLength,
                                                  ULONG_PTR* information) {
    *information = 0;
    if (outputLength < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, &m_performanceTotal, sizeof(ULONG));
    m_performanceTotal += static_cast<ULONG>(KeQueryPerformanceCounter(nullptr).QuadPart % 100);
    *information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

bool CBoardDevice::IsBridgeRequest(ULONG code) {
    return code == kIoctlGatherPerformanceData || code == kIoctlDumpRegisters ||
           IsNvramRequest(code);
}

void CBoardDevice::RunBridgeRequest(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case kIoctlGatherPerformanceData: {
            const NTSTATUS status = IoctlGatherPerformanceData(buffer, outputLength, &information);
            FinishOperation(status, information);
            return;
        }
        case kIoctlDumpRegisters: {
            const NTSTATUS status =
                pcibridge::IoctlDumpRegisters(m_port, buffer, outputLength, &information);
            FinishOperation(status, information);
            return;
        }
        case kIoctlReadNvram:
            if (!m_nvram.StartRead(m_port, m_nvramSize, buffer, inputLength, outputLength))
                UnlockDevice();
            return;
        case kIoctlWriteNvram:
            if (!m_nvram.StartWrite(m_port, m_nvramSize, buffer, inputLength))
                UnlockDevice();
            return;
        default:
            FinishOperation(STATUS_NOT_IMPLEMENTED, 0);
            return;
    }
}

bool CBoardDevice::StopBridgeRequest() {
    const bool running = m_nvram.Running();
    m_nvram.Stop();
    return running;
}
