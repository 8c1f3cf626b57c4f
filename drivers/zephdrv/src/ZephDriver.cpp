// The single-sensor board driver: dispatch, start-I/O, sensor command protocol, readout, test.
#include "zephdrv/ZephDriver.h"

#include <algorithm>
#include <iterator>

using namespace zephdrv;

namespace {

CPnpDriver* g_driver = nullptr;

using Input = CIoctlRule::Input;
using Stage = CIoctlRule::Stage;

// The dispatch stage: every code it accepts, its input length, the output it fills and where
// it runs.
constexpr CIoctlRule kIoctlTable[] = {
    {kIoctlSetBinning, Input::Exact, 4, 0, Stage::Queued},
    {kIoctlSetThreshold, Input::Exact, 2, 0, Stage::Queued},
    {kIoctlSetDelay, Input::Exact, 4, 0, Stage::Queued},
    {kIoctlNotImplemented, Input::Exact, 0, 0, Stage::Queued},
    {kIoctlGatherPerformanceData, Input::Exact, 4, sizeof(ULONG), Stage::Queued},
    {kIoctlReset, Input::Any, 0, 0, Stage::Immediate},
    {kIoctlDumpRegisters, Input::Exact, pcibridge::kRegisterDumpBytes,
     pcibridge::kRegisterDumpBytes, Stage::Queued},
    {kIoctlReadNvram, Input::Exact, 4, 0, Stage::Queued},
    {kIoctlWriteNvram, Input::Exact, 6, 0, Stage::Queued},
    {kIoctlWriteCommand, Input::Exact, 4, 0, Stage::Immediate},
    {kIoctlTestSensor, Input::Exact, sizeof(TestRecord), sizeof(TestRecord), Stage::Queued},
    {kIoctlSetPowerState, Input::Exact, 4, 0, Stage::Queued},
};

static_assert(kIoctlGatherPerformanceData == CBoardDevice::kIoctlGatherPerformanceData &&
              kIoctlDumpRegisters == CBoardDevice::kIoctlDumpRegisters &&
              kIoctlReadNvram == CBoardDevice::kIoctlReadNvram &&
              kIoctlWriteNvram == CBoardDevice::kIoctlWriteNvram);

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

void ZephTimerDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<CZephDriver*>(context)->TimerDpc();
}

void ZephReadTimerDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<CZephDriver*>(context)->ReadTimerDpc();
}

void ZephResetTimerDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<CZephDriver*>(context)->ResetTimerDpc();
}

}  // namespace

CZephDriver::CZephDriver(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice, ULONG index)
    : CBoardDevice(deviceObject, physicalDevice, kWindows, ZephDriverIsr, ZephDriverDpcForIsr) {
    m_timer.Initialize(ZephTimerDpcRoutine, this);
    m_readTimer.Initialize(ZephReadTimerDpcRoutine, this);
    m_resetTimer.Initialize(ZephResetTimerDpcRoutine, this);
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

void CZephDriver::WriteMode(UCHAR mode) {
    m_modeShadow = mode;
    WRITE_REGISTER_UCHAR(m_memory[2], mode);
}

bool CZephDriver::SendCommand(USHORT request) {
    WdmSpecifiedWait wait;  // the one-second command deadline
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
    WdmSpecifiedWait wait;  // the one-second drain deadline
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
    QuiesceBoard();
}

void CZephDriver::QuiesceBoard() {
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

void CZephDriver::BeginReset(PIRP irp) {
    // A read stays pending, idle (its time-out ends it); a power sequence or a test keeps its
    // timer and ends by it.
    if (m_state == State::Reading)
        m_state = State::Idle;
    QuiesceBoard();
    const ULONG busMaster = pcibridge::ReadPort32(m_port, pcibridge::kBusMasterControl);
    pcibridge::WritePort32(m_port, pcibridge::kBusMasterControl,
                           busMaster | pcibridge::kLocalReset);
    pcibridge::ReadPort32(m_port, pcibridge::kInterruptControl);
    pcibridge::WritePort32(m_port, pcibridge::kInterruptControl,
                           pcibridge::kInterruptControlInitialised);
    // Hold the board in reset for at least two clock ticks, on a timer: the processor goes on.
    const ULONG increment = KeQueryTimeIncrement();
    const ULONG tickMs = increment / 10000;
    const ULONG ticks =
        std::max<ULONG>(kResetMinimumTicks, kResetSettleMs / std::max<ULONG>(tickMs, 1));
    const ULONG holdMs =
        static_cast<ULONG>((static_cast<ULONGLONG>(ticks) * increment + 9999) / 10000);
    if (irp != nullptr) {
        if (PIRP earlier = TakeResetIrpLocked(); earlier != nullptr)
            CompleteIrp(earlier, STATUS_SUCCESS, 0);  // the new hold covers it
        // The reset runs to its end on the timer; its request may be cancelled meanwhile.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoSetCancelRoutine(irp, ZephDriverResetCancelCallback);
        const bool cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
        IoReleaseCancelSpinLock(irql);
        if (cancelled)
            CompleteIrp(irp, STATUS_CANCELLED, 0);
        else
            m_resetIrp = irp;
    }
    m_resetting = true;
    m_resetTimer.Start(holdMs);
}

void CZephDriver::ResetTimerDpc() {
    LockDevice();
    if (!m_resetTimer.TakeExpiry() || m_port == nullptr) {
        UnlockDevice();
        return;
    }
    pcibridge::WritePort32(m_port, pcibridge::kBusMasterControl, 0);
    pcibridge::WritePort32(m_port, pcibridge::kPort60, 0);
    QuiesceBoard();
    m_resetting = false;
    PIRP resetIrp = TakeResetIrpLocked();
    if (m_waitingForReset && OperationIrp() != nullptr) {
        m_waitingForReset = false;
        RunOperation(OperationIrp());  // releases the lock when it finishes at once
    } else {
        m_waitingForReset = false;
        UnlockDevice();
    }
    if (resetIrp != nullptr)
        CompleteIrp(resetIrp, STATUS_SUCCESS, 0);
}

void CZephDriver::InitializeBoard() {
    m_binning = BinningWord(kStartBinningP, kStartBinningQ);
    pcibridge::WritePort32(m_port, pcibridge::kPort60, 0);
    pcibridge::WritePort32(m_port, pcibridge::kInterruptControl,
                           pcibridge::kInterruptControlAtStart);
}

void CZephDriver::ResumeBoard() {
    BeginReset(nullptr);
}

// ---- Dispatch

NTSTATUS CZephDriver::IoctlDispatch(PIRP irp) {
    return DispatchIoctl(irp, kIoctlTable, std::size(kIoctlTable));
}

NTSTATUS CZephDriver::RunImmediateIoctl(PIRP irp, const CIoctlRule& rule) {
    return rule.code == kIoctlReset ? IoctlReset(irp) : IoctlWriteCommand(irp);
}

NTSTATUS CZephDriver::ResetBoard(PIRP irp) {
    // The reset completes when the board leaves it; a running operation stays pending, idle.
    IoMarkIrpPending(irp);
    BeginReset(irp);
    return STATUS_PENDING;
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
    if (stack->MajorFunction == IRP_MJ_READ &&
        (irp->MdlAddress == nullptr ||
         MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) == nullptr)) {
        CompleteCurrentAndStartNext(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return;
    }
    // Every operation may be cancelled: any may wait for a reset to end, NVRAM requests and
    // the timed ones run on.
    if (!BeginOperation(irp, ZephDriverCancelCallback))
        return;
    if (m_resetting) {
        m_waitingForReset = true;  // the reset's end runs it
        UnlockDevice();
        return;
    }
    RunOperation(irp);
}

void CZephDriver::RunOperation(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_READ) {
        PVOID buffer = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        if (!StartRead(irp, buffer, stack->Parameters.Read.Length))
            UnlockDevice();
        return;
    }

    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (IsBridgeRequest(code)) {
        RunBridgeRequest(irp);
        return;
    }
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    switch (code) {
        case kIoctlSetPowerState: {
            ULONG on;
            std::memcpy(&on, buffer, sizeof on);
            StartPower(irp, on != 0);
            UnlockDevice();
            return;
        }
        case kIoctlTestSensor:
            if (!StartTest(irp))
                UnlockDevice();
            return;
        case kIoctlSetBinning: {
            BinningRequest request;
            std::memcpy(&request, buffer, sizeof request);
            m_binning = BinningWord(request.p, request.q);
            FinishOperation(STATUS_SUCCESS, 0);
            return;
        }
        case kIoctlSetThreshold:
            std::memcpy(&m_threshold, buffer, sizeof m_threshold);
            FinishOperation(STATUS_SUCCESS, 0);
            return;
        case kIoctlSetDelay:
            std::memcpy(&m_delay, buffer, sizeof m_delay);
            FinishOperation(STATUS_SUCCESS, 0);
            return;
        default:
            // 0x80002010 has no operation of its own: not implemented, at once.
            FinishOperation(STATUS_NOT_IMPLEMENTED, 0);
            return;
    }
}

bool CZephDriver::StartRead(PIRP, PVOID buffer, ULONG length) {
    m_buffer = static_cast<PUCHAR>(buffer);
    // One read returns one image: never more pixels than the sensor sends.
    m_pixelsLeft = std::min<ULONG>(length / 2, kImagePixels);
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
    m_readTimer.Start(kReadTimeoutMs);
    pcibridge::EnableReceiveInterrupts(m_port);
    return false;
}

void CZephDriver::HandleReadData() {
    ULONG taken = 0;
    while (ReadStatus() & kStatusFifoData) {
        if (++taken > kDpcWordsPerRun)
            break;  // enough for one run: the line, still asserted, brings the rest
        if (ReadStatus() & kStatusOverrun) {
            m_readTimer.Cancel();
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
            m_readTimer.Cancel();
            ReturnToIdle();
            const bool read =
                IoGetCurrentIrpStackLocation(OperationIrp())->MajorFunction == IRP_MJ_READ;
            FinishOperation(read ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE,
                            read ? static_cast<ULONG_PTR>(m_pixelsStored) * 2 : 0);
            return;
        }
    }
    pcibridge::EnableReceiveInterrupts(m_port);
    UnlockDevice();
}

void CZephDriver::StartPower(PIRP, bool on) {
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
    if (PIRP irp = OperationIrp(); irp != nullptr) {
        TestRecord record;
        std::memcpy(&record, irp->AssociatedIrp.SystemBuffer, sizeof record);
        record.result = result;
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &record, sizeof record);
    }
    FinishOperation(STATUS_SUCCESS, sizeof(TestRecord));
}

// ---- Interrupt, DPC, timer, cancel

void CZephDriver::ServiceInterrupt(PIRP) {
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
            m_pollDeadline = 0;
            m_timer.Start(kPowerOnCheckDelayMs);
            UnlockDevice();
            return;
        case State::PoweringOnCheck:
        case State::PoweringOnDrain:
            PowerOnCheckStep();
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

void CZephDriver::PowerOnCheckStep() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (m_pollDeadline == 0)
        m_pollDeadline = now.QuadPart + kCommandDeadline100ns;
    if (m_state == State::PoweringOnCheck) {
        if (ReadStatus() & kStatusCommandBusy) {
            if (now.QuadPart > m_pollDeadline) {
                // Not accepted: a failure, reported as one.
                ReturnToIdle();
                FinishOperation(STATUS_IO_TIMEOUT, 0);
                return;
            }
            m_timer.Start(kPollStepMs);
            UnlockDevice();
            return;
        }
        SendCommand(kNopCommand);  // the interface is free: accepted at once
        m_state = State::PoweringOnDrain;
        m_pollDeadline = now.QuadPart + kDrainDeadline100ns;
    }
    ULONG drained = 0;
    while ((ReadStatus() & kStatusFifoData) && drained < kDrainStepWords) {
        ReadFifoWord();
        ++drained;
    }
    if ((ReadStatus() & kStatusFifoData) && now.QuadPart <= m_pollDeadline) {
        m_timer.Start(kPollStepMs);
        UnlockDevice();
        return;
    }
    // A FIFO that would not drain does not fail the power-on: the sensor is awake.
    ReturnToIdle();
    FinishOperation(STATUS_SUCCESS, 0);
}

PIRP CZephDriver::TakeResetIrpLocked() {
    PIRP irp = m_resetIrp;
    m_resetIrp = nullptr;
    if (irp == nullptr)
        return nullptr;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    return routine != nullptr ? irp : nullptr;  // else its cancel routine completes it
}

void CZephDriver::CancelReset(PIRP irp) {
    LockDevice();
    const bool mine = m_resetIrp == irp;
    if (mine)
        m_resetIrp = nullptr;  // the hold goes on; only the request ends
    UnlockDevice();
    CompleteIrp(irp, STATUS_CANCELLED, 0);
}

void CZephDriver::CancelFileRequest(PFILE_OBJECT file) {
    COperationDevice::CancelFileRequest(file);
    LockDevice();
    PIRP irp = nullptr;
    if (m_resetIrp != nullptr && IoGetCurrentIrpStackLocation(m_resetIrp)->FileObject == file)
        irp = TakeResetIrpLocked();
    UnlockDevice();
    if (irp != nullptr)
        CompleteIrp(irp, STATUS_CANCELLED, 0);
}

void CZephDriver::ReadTimerDpc() {
    LockDevice();
    if (!m_readTimer.TakeExpiry() || OperationIrp() == nullptr ||
        IoGetCurrentIrpStackLocation(OperationIrp())->MajorFunction != IRP_MJ_READ) {
        UnlockDevice();
        return;
    }
    // No image (a sensor asleep, a reset meanwhile): the read ends.
    ReturnToIdle();
    FinishOperation(STATUS_IO_TIMEOUT, 0);
}

bool CZephDriver::StopForCancel() {
    m_waitingForReset = false;
    switch (m_state) {
        case State::PoweringOnWake:
        case State::PoweringOnCheck:
        case State::PoweringOnDrain:
        case State::PoweringOff:
            // The power sequence runs to its end, which starts the next request.
            return false;
        default:
            m_timer.Cancel();
            m_readTimer.Cancel();
            StopBridgeRequest();
            if (m_port != nullptr)
                ReturnToIdle();
            return true;
    }
}

void CZephDriver::StopOperation() {
    m_waitingForReset = false;
    m_resetTimer.Cancel();
    m_resetting = false;
    if (PIRP resetIrp = TakeResetIrpLocked(); resetIrp != nullptr)
        CompleteIrp(resetIrp, STATUS_CANCELLED, 0);
    m_timer.Cancel();
    m_readTimer.Cancel();
    StopBridgeRequest();
    if (m_port != nullptr)
        ReturnToIdle();
    m_state = State::Idle;
}

// ---- Entry points

BOOLEAN ZephDriverIsr(PKINTERRUPT, PVOID context) {
    return CBoardDevice::FromInterruptContext(context)->Isr();
}

void ZephDriverDpcForIsr(PKDPC, PDEVICE_OBJECT device, PIRP, PVOID) {
    CZephDriver::From(device)->DpcForIsr();
}

void ZephDriverResetCancelCallback(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CZephDriver::From(device)->CancelReset(irp);
}

void ZephDriverCancelCallback(PDEVICE_OBJECT device, PIRP irp) {
    COperationDevice::CancelRoutine(device, irp);
}

void ZephDriverStartIo(PDEVICE_OBJECT device, PIRP irp) {
    CZephDriver::From(device)->StartIo(irp);
}

NTSTATUS ZephDriverReadDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return CZephDriver::From(device)->QueueRead(irp);
}

NTSTATUS ZephDriverIoctlDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return CZephDriver::From(device)->IoctlDispatch(irp);
}

NTSTATUS ZephDriverAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
    return AddBoardDevice<CZephDriver>(driverObject, physicalDevice, L"\\Device\\ZephDriver");
}

void ZephDriverUnload(PDRIVER_OBJECT) {
    RemoveBoardDriver(&g_driver);
}

NTSTATUS ZephDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return InstallBoardDriver(driverObject, registryPath,
                              {ZephDriverStartIo, ZephDriverReadDispatch, ZephDriverIoctlDispatch,
                               ZephDriverUnload, ZephDriverAddDevice},
                              &g_driver);
}
