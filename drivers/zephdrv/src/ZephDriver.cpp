// The single-sensor board driver: dispatch, start-I/O, sensor command protocol, readout, test.
#include "zephdrv/ZephDriver.h"

#include <pcibridge.h>

#include <algorithm>

using namespace zephdrv;

namespace {

CPnpDriver* g_driver = nullptr;

enum class LengthRule { Exact, Any };
enum class Stage { Queued, Immediate };

struct IoctlRule {
    ULONG code;
    LengthRule rule;
    ULONG inputLength;
    Stage stage;
};

// The dispatch stage: every code it accepts, its input length and where it runs.
constexpr IoctlRule kIoctlTable[] = {
    {kIoctlSetBinning, LengthRule::Exact, 4, Stage::Queued},
    {kIoctlSetThreshold, LengthRule::Exact, 2, Stage::Queued},
    {kIoctlSetDelay, LengthRule::Exact, 4, Stage::Queued},
    {kIoctlNotImplemented, LengthRule::Exact, 0, Stage::Queued},
    {kIoctlGatherPerformanceData, LengthRule::Exact, 4, Stage::Queued},
    {kIoctlReset, LengthRule::Any, 0, Stage::Immediate},
    {kIoctlDumpRegisters, LengthRule::Exact, pcibridge::kRegisterDumpBytes, Stage::Queued},
    {kIoctlReadNvram, LengthRule::Exact, 4, Stage::Queued},
    {kIoctlWriteNvram, LengthRule::Exact, 6, Stage::Queued},
    {kIoctlWriteCommand, LengthRule::Exact, 4, Stage::Immediate},
    {kIoctlTestSensor, LengthRule::Exact, sizeof(TestRecord), Stage::Queued},
    {kIoctlSetPowerState, LengthRule::Exact, 4, Stage::Queued},
};

constexpr UCHAR kStatusFifoData = 0x02;
constexpr UCHAR kStatusCommandBusy = 0x08;
constexpr UCHAR kStatusOverrun = 0x10;
constexpr ULONG kAnswerBit = 0x40000;
constexpr ULONG kPixelMarkBits = 0x20006;
constexpr USHORT kCarriedCommandBit = 0x0800;
constexpr USHORT kThresholdCommandBit = 0x1000;
constexpr USHORT kReadoutThresholdCommand = 0x9400;
constexpr USHORT kReadoutStartCommand = 0x8000;
constexpr USHORT kStopCommand = 0xC000;
constexpr USHORT kSelfTestCommand = 0x4000;
constexpr USHORT kNopCommand = 0x0000;
constexpr USHORT kWakeWord = 0xAA00;
constexpr ULONG kStartBinningP = 32;
constexpr ULONG kStartBinningQ = 8;
constexpr ULONG kTickPollStallUs = 50;

void StartNextAtDispatch(PDEVICE_OBJECT device) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoStartNextPacket(device, TRUE);
    KeLowerIrql(old);
}

void ZephTimerDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<CZephDriver*>(context)->TimerDpc();
}

}  // namespace

CZephDriver::CZephDriver(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice, ULONG index)
    : CPnpDevice(deviceObject, physicalDevice) {
    KeInitializeSpinLock(&m_lock);
    m_timer.Initialize(ZephTimerDpcRoutine, this);
    IoInitializeDpcRequest(deviceObject, ZephDriverDpcForIsr);
    if (!NT_SUCCESS(ConstructionStatus()))
        return;
    CString win32(L"ZephDriver");
    win32.AppendNumber(index);
    if (!NT_SUCCESS(CreateWin32Name(win32.Buffer()))) {
        FailConstruction(STATUS_OBJECT_NAME_COLLISION,
                         "ZEPHDRIVER:CZephDriver::CZephDriver CreateWin32Name failed");
    }
}

CZephDriver::~CZephDriver() = default;

USHORT CZephDriver::BinningWord(USHORT p, USHORT q) {
    return static_cast<USHORT>(((static_cast<USHORT>(-p) & 0x1F) << 7) |
                               (static_cast<USHORT>(-q) & 0x7F));
}

void CZephDriver::LockDevice() {
    KIRQL old;
    KeAcquireSpinLock(&m_lock, &old);
    m_lockIrql = old;
    m_lockOwner = KeGetCurrentThread();
}

void CZephDriver::UnlockDevice() {
    const KIRQL old = m_lockIrql;
    m_lockOwner = nullptr;
    KeReleaseSpinLock(&m_lock, old);
}

void CZephDriver::WriteMode(UCHAR mode) {
    m_modeShadow = mode;
    WRITE_REGISTER_UCHAR(m_memory[2], mode);
}

bool CZephDriver::SendCommand(USHORT request) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG deadline = now.QuadPart + kCommandDeadline100ns;
    while (ReadStatus() & kStatusCommandBusy) {
        KeQuerySystemTime(&now);
        if (now.QuadPart > deadline)
            return false;
    }
    USHORT word =
        static_cast<USHORT>(request | ((request & kThresholdCommandBit) ? m_threshold : m_binning));
    word = static_cast<USHORT>(word | (m_lastCommand & kCarriedCommandBit));
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(m_memory[0]), word);
    m_lastCommand = word;
    return true;
}

bool CZephDriver::DrainFifo() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG deadline = now.QuadPart + kDrainDeadline100ns;
    for (;;) {
        ULONG drained = 0;
        while ((ReadStatus() & kStatusFifoData) && drained < kDrainBurstWords) {
            ReadFifoWord();
            ++drained;
        }
        if (!(ReadStatus() & kStatusFifoData))
            return true;
        KeQuerySystemTime(&now);
        if (now.QuadPart > deadline)
            return false;
    }
}

void CZephDriver::ReturnToIdle() {
    m_state = State::Idle;
    if (m_port == nullptr)
        return;
    pcibridge::DisableReceiveInterrupts(m_port);
    WriteMode(static_cast<UCHAR>(m_modeShadow & ~kModeReceiving));
}

void CZephDriver::PowerSensor(bool on) {
    const ULONG busMaster = pcibridge::ReadPort32(m_port, pcibridge::kBusMasterControl);
    pcibridge::WritePort32(
        m_port, pcibridge::kBusMasterControl,
        on ? busMaster & ~pcibridge::kLocalReset : busMaster | pcibridge::kLocalReset);
    WriteMode(on ? kModePowered : kModeUnpowered);
    m_powerFlag = on ? 1 : 0;
}

NTSTATUS CZephDriver::InitializeCard() {
    const ULONG busMaster = pcibridge::ReadPort32(m_port, pcibridge::kBusMasterControl);
    pcibridge::WritePort32(m_port, pcibridge::kBusMasterControl,
                           busMaster | pcibridge::kLocalReset);
    pcibridge::ReadPort32(m_port, pcibridge::kInterruptControl);
    pcibridge::WritePort32(m_port, pcibridge::kInterruptControl, 0x1010);
    // Hold the board in reset for at least two clock ticks.
    const ULONG tickMs = KeQueryTimeIncrement() / 10000;
    const ULONG ticks =
        std::max<ULONG>(kResetMinimumTicks, kResetSettleMs / std::max<ULONG>(tickMs, 1));
    LARGE_INTEGER start, now;
    KeQueryTickCount(&start);
    do {
        KeStallExecutionProcessor(kTickPollStallUs);
        KeQueryTickCount(&now);
    } while (now.QuadPart - start.QuadPart < static_cast<LONGLONG>(ticks));
    pcibridge::WritePort32(m_port, pcibridge::kBusMasterControl, 0);
    pcibridge::WritePort32(m_port, pcibridge::kPort60, 0);
    ReturnToIdle();
    return STATUS_SUCCESS;
}

void CZephDriver::UnInitializeCard() {
    pcibridge::ReadPort32(m_port, pcibridge::kInterruptControl);
    pcibridge::WritePort32(m_port, pcibridge::kInterruptControl, 0);
}

void CZephDriver::UnmapWindows() {
    for (int i = 0; i < 3; ++i) {
        if (m_memory[i] != nullptr)
            MmUnmapIoSpace(m_memory[i], m_memoryLength[i]);
        m_memory[i] = nullptr;
    }
    m_port = nullptr;
}

NTSTATUS CZephDriver::PnpSetupDeviceResources(CResource&, CResource& translated) {
    PHYSICAL_ADDRESS start;
    ULONG length;
    if (!translated.GetPort(0, &start, &length))
        return STATUS_INSUFFICIENT_RESOURCES;
    m_port = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(start.QuadPart));
    for (int i = 0; i < 3; ++i) {
        PVOID mapped = nullptr;
        if (translated.GetMemory(static_cast<ULONG>(i), &start, &length)) {
            mapped = MmMapIoSpace(start, length, MmNonCached);
        }
        if (mapped == nullptr) {
            UnmapWindows();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        m_memory[i] = static_cast<PUCHAR>(mapped);
        m_memoryLength[i] = length;
    }
    ULONG level, vector;
    KAFFINITY affinity;
    KINTERRUPT_MODE mode;
    BOOLEAN shared;
    if (!translated.GetInterrupt(0, &level, &vector, &affinity, &mode, &shared)) {
        UnmapWindows();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_binning = BinningWord(kStartBinningP, kStartBinningQ);
    pcibridge::WritePort32(m_port, pcibridge::kPort60, 0);
    pcibridge::WritePort32(m_port, pcibridge::kInterruptControl, 0x30000);
    NTSTATUS status = IoConnectInterrupt(&m_interrupt, ZephDriverIsr, this, nullptr, vector,
                                         static_cast<KIRQL>(level), static_cast<KIRQL>(level), mode,
                                         shared, affinity, FALSE);
    if (!NT_SUCCESS(status)) {
        UnInitializeCard();
        UnmapWindows();
        m_interrupt = nullptr;
        return status;
    }
    m_nvramSize = kNvramBytes;
    return STATUS_SUCCESS;
}

void CZephDriver::PnpFreeDeviceResources() {
    LockDevice();
    m_timer.Cancel();
    UnlockDevice();
    if (m_interrupt != nullptr)
        IoDisconnectInterrupt(m_interrupt);
    m_interrupt = nullptr;
    KeFlushQueuedDpcs();
    UnmapWindows();
}

void CZephDriver::SavePowerRegisters() {
    LockDevice();
    if (m_port != nullptr)
        UnInitializeCard();
    UnlockDevice();
}

void CZephDriver::RestorePowerRegisters() {
    LockDevice();
    if (m_port != nullptr)
        InitializeCard();
    UnlockDevice();
}

BOOLEAN CZephDriver::ClearInterruptStatus(PVOID context) {
    auto self = static_cast<CZephDriver*>(context);
    self->m_interruptStatus = 0;
    self->m_interruptStatus2 = 0;
    return TRUE;
}

void CZephDriver::FinishOperation(NTSTATUS status, ULONG_PTR information) {
    PIRP irp = m_irp;
    m_irp = nullptr;
    UnlockDevice();
    if (irp == nullptr)
        return;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    if (routine == nullptr && irp->Cancel)
        return;  // its cancel routine completes it
    CompleteIrp(irp, status, information);
    StartNextAtDispatch(m_deviceObject);
}

// ---- Dispatch

NTSTATUS CZephDriver::ReadDispatch(PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) {
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    }
    return QueueIrp(irp);
}

NTSTATUS CZephDriver::IoctlDispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
    const IoctlRule* rule = std::find_if(std::begin(kIoctlTable), std::end(kIoctlTable),
                                         [code](const IoctlRule& r) { return r.code == code; });
    if (rule == std::end(kIoctlTable))
        return CompleteIrp(irp, STATUS_NOT_IMPLEMENTED, 0);
    if (rule->rule == LengthRule::Exact && input != rule->inputLength) {
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (rule->stage == Stage::Immediate) {
        return code == kIoctlReset ? IoctlReset(irp) : IoctlWriteCommand(irp);
    }
    return QueueIrp(irp);
}

NTSTATUS CZephDriver::IoctlReset(PIRP irp) {
    FlushQueuedIrps(STATUS_CANCELLED);
    if (m_port == nullptr)
        return CompleteIrp(irp, STATUS_DEVICE_NOT_READY, 0);
    const bool takeLock = !LockHeldByThisThread();
    if (takeLock)
        LockDevice();
    NTSTATUS status = InitializeCard();
    if (m_interrupt != nullptr)
        KeSynchronizeExecution(m_interrupt, ClearInterruptStatus, this);
    if (takeLock)
        UnlockDevice();
    return CompleteIrp(irp, status, 0);
}

NTSTATUS CZephDriver::IoctlWriteCommand(PIRP irp) {
    if (m_port == nullptr)
        return CompleteIrp(irp, STATUS_DEVICE_NOT_READY, 0);
    ULONG command;
    std::memcpy(&command, irp->AssociatedIrp.SystemBuffer, sizeof command);
    LockDevice();
    const bool accepted = SendCommand(static_cast<USHORT>(command));
    UnlockDevice();
    return CompleteIrp(irp, accepted ? STATUS_SUCCESS : STATUS_IO_TIMEOUT, 0);
}

// ---- Start-I/O

void CZephDriver::StartIo(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_READ) {
        if (!SetCancelRoutineOrCancel(irp, ZephDriverCancelCallback))
            return;
        PVOID buffer = irp->MdlAddress
                           ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                           : nullptr;
        if (buffer == nullptr) {
            CompleteCurrentAndStartNext(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            return;
        }
        LockDevice();
        if (!StartRead(irp, buffer, stack->Parameters.Read.Length))
            UnlockDevice();
        return;
    }

    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    if (code == kIoctlSetPowerState || code == kIoctlTestSensor) {
        if (!SetCancelRoutineOrCancel(irp, ZephDriverCancelCallback))
            return;
        LockDevice();
        if (code == kIoctlSetPowerState) {
            ULONG on;
            std::memcpy(&on, buffer, sizeof on);
            StartPower(irp, on != 0);
            UnlockDevice();
        } else if (!StartTest(irp)) {
            UnlockDevice();
        }
        return;
    }

    if (!SetCancelRoutineOrCancel(irp, nullptr))
        return;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    // 0x80002010 has no operation of its own: not implemented, at once.
    NTSTATUS status = STATUS_NOT_IMPLEMENTED;
    ULONG_PTR information = 0;
    LockDevice();
    switch (code) {
        case kIoctlSetBinning: {
            BinningRequest request;
            std::memcpy(&request, buffer, sizeof request);
            m_binning = BinningWord(request.p, request.q);
            status = STATUS_SUCCESS;
            break;
        }
        case kIoctlSetThreshold:
            std::memcpy(&m_threshold, buffer, sizeof m_threshold);
            status = STATUS_SUCCESS;
            break;
        case kIoctlSetDelay:
            std::memcpy(&m_delay, buffer, sizeof m_delay);
            status = STATUS_SUCCESS;
            break;
        case kIoctlGatherPerformanceData:
            std::memcpy(buffer, &m_performanceTotal, sizeof(ULONG));
            m_performanceTotal +=
                static_cast<ULONG>(KeQueryPerformanceCounter(nullptr).QuadPart % 100);
            information = sizeof(ULONG);
            status = STATUS_SUCCESS;
            break;
        case kIoctlDumpRegisters:
            status = pcibridge::IoctlDumpRegisters(m_port, buffer, outputLength, &information);
            break;
        case kIoctlReadNvram:
            status = pcibridge::IoctlReadNvram(m_port, m_nvramSize, buffer, inputLength,
                                               outputLength, &information);
            break;
        case kIoctlWriteNvram:
            status =
                pcibridge::IoctlWriteNvram(m_port, m_nvramSize, buffer, inputLength, &information);
            break;
        default:
            break;
    }
    UnlockDevice();
    CompleteCurrentAndStartNext(irp, status, information);
}

bool CZephDriver::StartRead(PIRP irp, PVOID buffer, ULONG length) {
    m_irp = irp;
    m_buffer = static_cast<PUCHAR>(buffer);
    m_pixelsLeft = length / 2;
    m_pixelsStored = 0;
    if (m_pixelsLeft == 0) {
        FinishOperation(STATUS_BUFFER_TOO_SMALL, 0);
        return true;
    }
    if (!SendCommand(kReadoutThresholdCommand) || !SendCommand(kReadoutStartCommand) ||
        !DrainFifo()) {
        FinishOperation(STATUS_IO_TIMEOUT, 0);
        return true;
    }
    ResetFifo();
    WriteMode(static_cast<UCHAR>(m_modeShadow | kModeReceiving));
    m_state = State::Reading;
    pcibridge::EnableReceiveInterrupts(m_port);
    return false;
}

void CZephDriver::HandleReadData() {
    while (ReadStatus() & kStatusFifoData) {
        if (ReadStatus() & kStatusOverrun) {
            ResetFifo();
            ReturnToIdle();
            FinishOperation(STATUS_DATA_OVERRUN, 0);
            return;
        }
        const ULONG word = ReadFifoWord();
        USHORT pixels[2];
        pixels[0] = static_cast<USHORT>(((word >> 4) & 0xFFF) ^ 0xFFF);
        if (word & kPixelMarkBits)
            pixels[0] |= 0x8000;
        pixels[1] = static_cast<USHORT>((word >> 20) ^ 0xFFF);
        // An odd pixel count takes only the first pixel of the last word.
        for (int k = 0; k < 2 && m_pixelsLeft > 0; ++k) {
            std::memcpy(m_buffer + static_cast<size_t>(m_pixelsStored) * 2, &pixels[k], 2);
            ++m_pixelsStored;
            --m_pixelsLeft;
        }
        if (m_pixelsLeft == 0) {
            ReturnToIdle();
            const bool read = IoGetCurrentIrpStackLocation(m_irp)->MajorFunction == IRP_MJ_READ;
            FinishOperation(read ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE,
                            read ? static_cast<ULONG_PTR>(m_pixelsStored) * 2 : 0);
            return;
        }
    }
    pcibridge::EnableReceiveInterrupts(m_port);
    UnlockDevice();
}

void CZephDriver::StartPower(PIRP irp, bool on) {
    m_irp = irp;
    PowerSensor(on);
    if (on) {
        m_state = State::PoweringOnWake;
        m_timer.Start(kPowerOnWakeDelayMs);
    } else {
        m_state = State::PoweringOff;
        m_timer.Start(kPowerOffSettleMs);
    }
}

bool CZephDriver::StartTest(PIRP irp) {
    m_irp = irp;
    TestRecord record;
    std::memcpy(&record, irp->AssociatedIrp.SystemBuffer, sizeof record);
    if (record.key != kTestKey) {
        // Refused before the board is touched.
        record.result = kWrongKey;
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &record, sizeof record);
        FinishOperation(STATUS_SUCCESS, sizeof record);
        return true;
    }
    if (!SendCommand(kStopCommand) || !SendCommand(kStopCommand)) {
        FinishTest(kCommandNotAccepted);
        return true;
    }
    if (!DrainFifo()) {
        FinishTest(kFifoNotDrained);
        return true;
    }
    if (!SendCommand(kSelfTestCommand)) {
        FinishTest(kCommandNotAccepted);
        return true;
    }
    ResetFifo();
    WriteMode(static_cast<UCHAR>(m_modeShadow | kModeReceiving));
    m_state = State::Testing;
    m_interruptsLeft = kTestInterrupts;
    m_answerSeen = false;
    m_timer.Start(kTestAnswerTimeoutMs);
    pcibridge::EnableReceiveInterrupts(m_port);
    return false;
}

void CZephDriver::HandleTestData() {
    ULONG drained = 0;
    while ((ReadStatus() & kStatusFifoData) && drained < kDrainBurstWords) {
        if (ReadFifoWord() & kAnswerBit)
            m_answerSeen = true;
        ++drained;
    }
    if (--m_interruptsLeft != 0) {
        pcibridge::EnableReceiveInterrupts(m_port);
        UnlockDevice();
        return;
    }
    pcibridge::DisableReceiveInterrupts(m_port);
    m_timer.Cancel();
    FinishTest(m_answerSeen ? kSensorAnswered : kNoAnswerMarker);
}

void CZephDriver::FinishTest(uint32_t result) {
    m_timer.Cancel();
    ReturnToIdle();
    if (result != kSensorAnswered)
        PowerSensor(false);
    if (m_irp != nullptr) {
        TestRecord record;
        std::memcpy(&record, m_irp->AssociatedIrp.SystemBuffer, sizeof record);
        record.result = result;
        std::memcpy(m_irp->AssociatedIrp.SystemBuffer, &record, sizeof record);
    }
    FinishOperation(STATUS_SUCCESS, sizeof(TestRecord));
}

// ---- Interrupt, DPC, timer, cancel

BOOLEAN CZephDriver::Isr() {
    if (PowerState() != PowerDeviceD0 || HoldingNewRequests())
        return FALSE;
    ULONG value = pcibridge::ReadPort32(m_port, pcibridge::kInterruptControl);
    if (!(value & pcibridge::kInterruptPending))
        return FALSE;
    value &= ~0x33010u;
    pcibridge::WritePort32(m_port, pcibridge::kInterruptControl, value);
    m_interruptStatus |= value;
    IoRequestDpc(m_deviceObject, nullptr, nullptr);
    return TRUE;
}

void CZephDriver::DpcForIsr() {
    LockDevice();
    if (m_irp != nullptr && m_irp->Cancel) {
        UnlockDevice();  // its cancel routine completes it
        return;
    }
    switch (m_state) {
        case State::Reading:
            HandleReadData();
            return;
        case State::Testing:
            HandleTestData();
            return;
        default:
            UnlockDevice();
            return;
    }
}

void CZephDriver::TimerDpc() {
    LockDevice();
    if (!m_timer.TakeExpiry()) {
        UnlockDevice();
        return;
    }
    switch (m_state) {
        case State::PoweringOnWake:
            WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(m_memory[0]), kWakeWord);
            m_lastCommand = kWakeWord;
            m_state = State::PoweringOnCheck;
            m_timer.Start(kPowerOnCheckDelayMs);
            UnlockDevice();
            return;
        case State::PoweringOnCheck:
            if (!SendCommand(kNopCommand)) {
                // Not accepted: a failure, reported as one.
                ReturnToIdle();
                FinishOperation(STATUS_IO_TIMEOUT, 0);
                return;
            }
            DrainFifo();
            ReturnToIdle();
            FinishOperation(STATUS_SUCCESS, 0);
            return;
        case State::PoweringOff:
            m_state = State::Idle;
            FinishOperation(STATUS_SUCCESS, 0);
            return;
        case State::Testing:
            FinishTest(kNothingArrived);
            return;
        default:
            UnlockDevice();
            return;
    }
}

void CZephDriver::CancelCurrent(PIRP irp) {
    LockDevice();
    if (m_irp == irp) {
        m_timer.Cancel();
        if (m_port != nullptr)
            ReturnToIdle();
        m_irp = nullptr;
    }
    UnlockDevice();
    CompleteIrp(irp, STATUS_CANCELLED, 0);
    StartNextAtDispatch(m_deviceObject);
}

// ---- Entry points

BOOLEAN ZephDriverIsr(PKINTERRUPT, PVOID context) {
    return static_cast<CZephDriver*>(context)->Isr();
}

void ZephDriverDpcForIsr(PKDPC, PDEVICE_OBJECT device, PIRP, PVOID) {
    CZephDriver::From(device)->DpcForIsr();
}

void ZephDriverCancelCallback(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CZephDriver::From(device)->CancelCurrent(irp);
}

void ZephDriverStartIo(PDEVICE_OBJECT device, PIRP irp) {
    CZephDriver::From(device)->StartIo(irp);
}

NTSTATUS ZephDriverReadDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return CZephDriver::From(device)->ReadDispatch(irp);
}

NTSTATUS ZephDriverIoctlDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return CZephDriver::From(device)->IoctlDispatch(irp);
}

NTSTATUS ZephDriverAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
    for (ULONG index = 0; index < CZephDriver::kMaxDevices; ++index) {
        CString name(L"\\Device\\ZephDriver");
        name.AppendNumber(index);
        PDEVICE_OBJECT device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(driverObject, sizeof(CZephDriver), name.Unicode(),
                                       CZephDriver::kDeviceType, 0, FALSE, &device))) {
            continue;
        }
        auto driver = new (device->DeviceExtension) CZephDriver(device, physicalDevice, index);
        const NTSTATUS status = driver->ConstructionStatus();
        if (!NT_SUCCESS(status)) {
            driver->~CZephDriver();
            IoDeleteDevice(device);
            return status;
        }
        device->Flags |= DO_DIRECT_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

void ZephDriverUnload(PDRIVER_OBJECT) {
    CPnpDriver::Destroy(g_driver);
    g_driver = nullptr;
}

NTSTATUS ZephDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    g_driver = CPnpDriver::Create(driverObject, registryPath);
    if (g_driver == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    driverObject->DriverStartIo = ZephDriverStartIo;
    driverObject->MajorFunction[IRP_MJ_READ] = ZephDriverReadDispatch;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ZephDriverIoctlDispatch;
    driverObject->DriverUnload = ZephDriverUnload;
    driverObject->DriverExtension->AddDevice = ZephDriverAddDevice;
    return STATUS_SUCCESS;
}
