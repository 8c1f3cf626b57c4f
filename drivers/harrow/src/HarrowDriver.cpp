// The multi-sensor board driver: dispatch, start-I/O, interrupt and capture, cable test, power.
#include "harrow/HarrowDriver.h"

#include <algorithm>
#include <iterator>

using namespace harrow;

// Sensor table: model code, columns, rows, bits, pixels, FIFO words (three pixels a word), last.
const CcdStatistics OspreyStatistics = {kModelOsprey, 1366, 912, 10, 1245792, 415264, 4};
const CcdStatistics KestrelStatistics = {kModelKestrel, 1638, 1248, 10, 2044224, 681408, 4};
const CcdStatistics ZephStatistics = {kModelZeph, 682, 456, 10, 310992, 103664, 4};
const CcdStatistics CcdNoneStatistics = {kModelNone, 0, 0, 0, 0, 0, 0};

namespace {

CPnpDriver* g_driver = nullptr;

using Input = CIoctlRule::Input;
using Stage = CIoctlRule::Stage;

// The dispatch stage: every code it accepts, its input length, the output it fills and where
// it runs.
constexpr CIoctlRule kIoctlTable[] = {
    {kIoctlNotImplemented, Input::Exact, 0, 0, Stage::Queued},
    {kIoctlGatherPerformanceData, Input::Exact, 4, sizeof(ULONG), Stage::Queued},
    {kIoctlReset, Input::Any, 0, 0, Stage::Immediate},
    {kIoctlDumpRegisters, Input::Exact, pcibridge::kRegisterDumpBytes,
     pcibridge::kRegisterDumpBytes, Stage::Queued},
    {kIoctlReadNvram, Input::Exact, 4, 0, Stage::Queued},
    {kIoctlWriteNvram, Input::AtLeast, 5, 0, Stage::Queued},
    {kIoctlSetPowerState, Input::Exact, 4, 0, Stage::Queued},
    {kIoctlTestUnit, Input::Exact, sizeof(TestUnitRecord), sizeof(TestUnitRecord), Stage::Queued},
};

static_assert(kIoctlGatherPerformanceData == CBoardDevice::kIoctlGatherPerformanceData &&
              kIoctlDumpRegisters == CBoardDevice::kIoctlDumpRegisters &&
              kIoctlReadNvram == CBoardDevice::kIoctlReadNvram &&
              kIoctlWriteNvram == CBoardDevice::kIoctlWriteNvram);

constexpr USHORT kStatusFifoData = 0x0001;
constexpr USHORT kStatusSpeedAccepted = 0x0010;
constexpr ULONG kReceiveOverrun = 0x8;

}  // namespace

// ---- Operation container

void HarrowOperationContainer::FinishOperationsIrp(NTSTATUS status, ULONG_PTR information) {
    m_driver->FinishOperation(status, information);
}

PIRP HarrowOperationContainer::Irp() const {
    return m_driver->OperationIrp();
}

// ---- Capture

void HarrowImageCaptureContainer::Init(CHarrowDriver* driver) {
    HarrowOperationContainer::Init(driver);
    m_inactive.Init(driver, this);
    m_active.Init(driver, this);
    m_current = &m_inactive;
}

void HarrowImageCaptureContainer::SetupInterruptMode() {
    m_driver->m_interruptModeShadow =
        static_cast<USHORT>((m_driver->m_interruptModeShadow & 0xC4C4) | 0x101);
    m_driver->WriteInterruptMode(m_driver->m_interruptModeShadow);
}

void HarrowImageCaptureContainer::EnableReceiveInterrupts() {
    pcibridge::EnableReceiveInterrupts(m_driver->Port());
}

void HarrowImageCaptureContainer::DisableReceiveInterrupts() {
    pcibridge::DisableReceiveInterrupts(m_driver->Port());
}

void HarrowImageCaptureContainer::EnterInactive() {
    m_inactive.SetState();
    m_current = &m_inactive;
}

bool HarrowImageCaptureContainer::SetReadStateActive(PIRP, PVOID buffer, ULONG byteCount) {
    m_buffer = static_cast<PULONG>(buffer);
    m_byteCount = byteCount;
    const ULONG imageWords = m_driver->Test().CurrentStatistics().fifoWordCount;
    if (imageWords == 0) {
        // No sensor identified yet: there is no image size to wait for.
        FinishOperationsIrp(STATUS_DEVICE_NOT_READY, 0);
        return true;
    }
    const ULONG capacityWords = byteCount / sizeof(ULONG);
    if (capacityWords == 0) {
        FinishOperationsIrp(STATUS_BUFFER_TOO_SMALL, 0);
        return true;
    }
    // Never more than the caller's buffer holds.
    m_wordsLeft = std::min(imageWords, capacityWords);
    m_wordsStored = 0;
    if (!m_active.SetState()) {
        EnterInactive();
        FinishOperationsIrp(STATUS_IO_TIMEOUT, 0);
        return true;
    }
    m_current = &m_active;
    return false;
}

bool HarrowImageCaptureInactive::SetState() {
    m_container->DisableReceiveInterrupts();
    return true;
}

bool HarrowImageCaptureInactive::StateHandlerDpc(PKDPC, PDEVICE_OBJECT, PIRP) {
    return false;
}

bool HarrowImageCaptureActive::SetState() {
    WdmSpecifiedWait wait;  // the drain and speed deadlines
    CHarrowDriver* d = m_driver;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG deadline = now.QuadPart + kDrainDeadline100ns;
    for (;;) {
        ULONG drained = 0;
        while ((d->ReadStatus() & kStatusFifoData) && drained < kDrainBurstWords) {
            d->ReadFifoWord();
            ++drained;
        }
        if (drained < kDrainBurstWords || !(d->ReadStatus() & kStatusFifoData))
            break;
        KeQuerySystemTime(&now);
        if (now.QuadPart > deadline)
            return false;
    }
    d->ReadStatus();
    d->ReadStatus();
    d->ReadReceiveFlags();  // reading clears them
    if (!d->WriteSpeedCommand(kReadoutSpeedCode, kSpeedCommandTimeout100ns))
        return false;
    m_container->SetupInterruptMode();
    m_container->EnableReceiveInterrupts();
    return true;
}

bool HarrowImageCaptureActive::StateHandlerDpc(PKDPC, PDEVICE_OBJECT, PIRP irp) {
    HarrowImageCaptureContainer* c = m_container;
    CHarrowDriver* d = m_driver;
    c->DisableReceiveInterrupts();
    if (irp == nullptr) {
        c->EnterInactive();
        return false;
    }
    ULONG taken = 0;
    for (;;) {
        while (d->ReadStatus() & kStatusFifoData) {
            if (++taken > kDpcWordsPerRun) {
                // Enough for one run: the line, still asserted, brings the rest.
                c->EnableReceiveInterrupts();
                return false;
            }
            if (d->ReadReceiveFlags() & kReceiveOverrun) {
                c->EnterInactive();
                c->FinishOperationsIrp(STATUS_DATA_OVERRUN, 0);
                return true;
            }
            const ULONG word = ~d->ReadFifoWord();
            std::memcpy(
                reinterpret_cast<PUCHAR>(c->m_buffer) + static_cast<size_t>(c->m_wordsStored) * 4,
                &word, 4);
            ++c->m_wordsStored;
            if (--c->m_wordsLeft == 0) {
                c->EnterInactive();
                const bool read = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ;
                c->FinishOperationsIrp(read ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE,
                                       read ? static_cast<ULONG_PTR>(c->m_wordsStored) * 4 : 0);
                return true;
            }
        }
        // Empty: one more look, bounded by the tick count taken now.
        LARGE_INTEGER first, now;
        KeQueryTickCount(&first);
        if (d->ReadStatus() & kStatusFifoData)
            continue;
        KeQueryTickCount(&now);
        if (now.QuadPart >= first.QuadPart)
            break;
    }
    if (irp->Cancel) {
        c->EnterInactive();  // its cancel routine completes it
        return false;
    }
    c->EnableReceiveInterrupts();
    return false;
}

// ---- Phases

void HarrowPhaseManagementBaseClass::Init(CHarrowDriver* driver, HarrowTestContainer* test,
                                          HarrowPhaseManagementBaseClass* nextPhase) {
    m_driver = driver;
    m_test = test;
    m_nextPhase = nextPhase;
    m_timer.Initialize(AttainedSequenceDPC, this);
}

void HarrowPhaseManagementBaseClass::AttainedSequenceDPC(PKDPC, PVOID context, PVOID, PVOID) {
    auto phase = static_cast<HarrowPhaseManagementBaseClass*>(context);
    CHarrowDriver* d = phase->m_driver;
    d->LockDevice();
    if (!phase->m_timer.TakeExpiry()) {
        d->UnlockDevice();  // cancelled or restarted meanwhile
        return;
    }
    if (!phase->AttainedSequence())
        d->UnlockDevice();
}

bool HarrowPhaseManagementBaseClass::StartNextSequence() {
    if (m_nextPhase == nullptr)
        return false;
    m_test->StartPhase(m_nextPhase);
    return false;
}

void HarrowPowerOn::StartSequence() {
    m_test->PowerSensor(true);
    StartTimer(kSettleMs);
}

bool HarrowPowerOn::AttainedSequence() {
    // A cancelled request was completed already: finishing starts the next one.
    m_test->m_currentPhase = nullptr;
    m_test->FinishOperationsIrp(STATUS_SUCCESS, 0);
    return true;
}

void HarrowPowerOff::StartSequence() {
    m_test->PowerSensor(false);
    StartTimer(kSettleMs);
}

bool HarrowPowerOff::AttainedSequence() {
    // A cancelled request was completed already: finishing starts the next one.
    m_test->m_currentPhase = nullptr;
    m_test->FinishOperationsIrp(STATUS_SUCCESS, 0);
    return true;
}

void HarrowReadCableBitsClass::WriteBits(USHORT bits) {
    m_driver->WriteCableBits(bits);
    m_test->RecordWrittenBits(bits);
}

void HarrowReadCableBitsClass::StartSequence() {
    WriteBits(Pattern());
    StartTimer(kLineSettleMs);
}

bool HarrowReadCableBitsClass::AttainedSequence() {
    const USHORT status = m_driver->ReadStatus();
    m_sync = (status >> 15) & 1;
    m_data = (status >> 7) & 1;
    m_clock = (status >> 14) & 1;
    m_test->RecordReadBits(status & kReadMask);
    Evaluate();
    return StartNextSequence();
}

void HarrowTestAllBitsLow::Evaluate() {
    m_test->m_syncRest = m_sync;
    m_test->m_dataRest = m_data;
    m_test->m_clockRest = m_clock;
}
void HarrowTestDataBitHigh::Evaluate() {
    m_test->m_dataNoFollow = m_data == m_test->m_dataRest;
}
void HarrowTestSyncBitHigh::Evaluate() {
    m_test->m_syncNoFollow = m_sync == m_test->m_syncRest;
}
void HarrowTestClockBitHigh::Evaluate() {
    m_test->m_clockNoFollow = m_clock == m_test->m_clockRest;
}

void HarrowTestSetAllBitsLowNoTest::StartSequence() {
    m_driver->WriteCableBits(Pattern());
    StartTimer(kLineSettleMs);
}

bool HarrowTestSetAllBitsLowNoTest::AttainedSequence() {
    m_test->CompleteTest();
    return true;
}

// ---- Test container

void HarrowTestContainer::Init(CHarrowDriver* driver) {
    HarrowOperationContainer::Init(driver);
    m_allLow.Init(driver, this, &m_dataHigh);
    m_dataHigh.Init(driver, this, &m_syncHigh);
    m_syncHigh.Init(driver, this, &m_clockHigh);
    m_clockHigh.Init(driver, this, &m_allLowNoTest);
    m_allLowNoTest.Init(driver, this, nullptr);
    m_powerOff.Init(driver, this, nullptr);
    m_powerOn.Init(driver, this, nullptr);
    m_statistics = CcdNoneStatistics;
}

void HarrowTestContainer::PowerSensor(bool on) {
    m_driver->m_powerShadow = on ? 1 : 0;
    m_driver->WritePower(m_driver->m_powerShadow);
}

void HarrowTestContainer::ResetTestStateParameters() {
    m_syncRest = m_dataRest = m_clockRest = 0;
    m_syncNoFollow = m_dataNoFollow = m_clockNoFollow = 0;
    m_statistics = CcdNoneStatistics;
    m_currentPhase = nullptr;
}

void HarrowTestContainer::StartTest(PIRP irp, TestUnitRecord* record) {
    PowerSensor(true);
    ResetTestStateParameters();
    (void)irp;
    m_record = record;
    m_record->sampleCount = 0;
    StartPhase(&m_allLow);
}

void HarrowTestContainer::StartPower(PIRP, bool on) {
    StartPhase(on ? static_cast<HarrowPhaseManagementBaseClass*>(&m_powerOn) : &m_powerOff);
}

void HarrowTestContainer::StartPhase(HarrowPhaseManagementBaseClass* phase) {
    m_currentPhase = phase;
    phase->StartSequence();
}

void HarrowTestContainer::RecordWrittenBits(USHORT bits) {
    m_pendingWritten = bits;
}

void HarrowTestContainer::RecordReadBits(USHORT bits) {
    if (m_record == nullptr || m_record->sampleCount >= kMaxSamples)
        return;
    CableSample& sample = m_record->samples[m_record->sampleCount];
    sample.written = m_pendingWritten;
    sample.read = bits;
    ++m_record->sampleCount;
}

void HarrowTestContainer::CompleteTest() {
    const auto& L = m_allLow;
    const auto& D = m_dataHigh;
    const auto& S = m_syncHigh;
    const auto& C = m_clockHigh;
    uint32_t mask = 0;
    if (L.Data() != S.Data())
        mask |= kDataMovedWithSync;
    if (L.Data() != C.Data())
        mask |= kDataMovedWithClock;
    if (L.Sync() != D.Sync())
        mask |= kSyncMovedWithData;
    if (L.Sync() != C.Sync())
        mask |= kSyncMovedWithClock;
    if (L.Clock() != D.Clock())
        mask |= kClockMovedWithData;
    if (L.Clock() != S.Clock())
        mask |= kClockMovedWithSync;
    if (m_syncNoFollow)
        mask |= C.Sync() ? kSyncStuckHigh : kSyncStuckLow;
    if (m_dataNoFollow)
        mask |= C.Data() ? kDataStuckHigh : kDataStuckLow;
    if (m_clockNoFollow)
        mask |= S.Clock() ? kClockStuckHigh : kClockStuckLow;

    uint32_t result = kSensorIdentified;
    const CcdStatistics* row = &KestrelStatistics;
    if (mask != 0) {
        result = kCableFault;
        row = &CcdNoneStatistics;
    } else if (m_dataRest) {
        result = kDataHighAtRest;
        row = &CcdNoneStatistics;
    } else if (m_syncRest) {
        row = &ZephStatistics;
    } else if (m_clockRest) {
        row = &OspreyStatistics;
    }
    m_statistics = *row;
    if (m_record != nullptr) {
        m_record->result = result;
        m_record->faultMask = mask;
        m_record->statistics = *row;
    }
    if (result != kSensorIdentified || mask != 0)
        PowerSensor(false);
    m_currentPhase = nullptr;
    m_record = nullptr;
    FinishOperationsIrp(STATUS_SUCCESS, sizeof(TestUnitRecord));
}

bool HarrowTestContainer::CancelTest() {
    m_record = nullptr;
    // A power sequence keeps its timer and, at expiry, finds its request gone.
    if (m_currentPhase == &m_powerOn || m_currentPhase == &m_powerOff)
        return false;
    if (m_currentPhase != nullptr)
        m_currentPhase->CancelSequence();
    m_currentPhase = nullptr;
    return true;
}

void HarrowTestContainer::StopAllPhases() {
    for (HarrowPhaseManagementBaseClass* phase :
         {static_cast<HarrowPhaseManagementBaseClass*>(&m_allLow),
          static_cast<HarrowPhaseManagementBaseClass*>(&m_dataHigh),
          static_cast<HarrowPhaseManagementBaseClass*>(&m_syncHigh),
          static_cast<HarrowPhaseManagementBaseClass*>(&m_clockHigh),
          static_cast<HarrowPhaseManagementBaseClass*>(&m_allLowNoTest),
          static_cast<HarrowPhaseManagementBaseClass*>(&m_powerOff),
          static_cast<HarrowPhaseManagementBaseClass*>(&m_powerOn)}) {
        phase->CancelSequence();
    }
    m_currentPhase = nullptr;
    m_record = nullptr;
}

// ---- The device

CHarrowDriver::CHarrowDriver(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice,
                             ULONG index)
    : CBoardDevice(deviceObject, physicalDevice, kWindows, HarrowDriverIsr, HarrowDriverDpcForIsr),
      m_clearedByte(0) {
    m_timeIncrement = KeQueryTimeIncrement();
    m_ticksPerSecond[0] = m_ticksPerSecond[1] = 1000000 / m_timeIncrement;
    m_capture.Init(this);
    m_test.Init(this);
    if (!NT_SUCCESS(ConstructionStatus()))
        return;
    CString win32(L"HARROWDRIVER");
    win32.AppendNumber(index);
    if (!NT_SUCCESS(CreateWin32Name(win32.Buffer()))) {
        FailConstruction(STATUS_OBJECT_NAME_COLLISION,
                         "CHarrowDriver::CHarrowDriver CreateWin32Name failed");
    }
}

CHarrowDriver::~CHarrowDriver() = default;

void CHarrowDriver::WriteControl(USHORT value) {
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(m_memory[0]), value);
}
void CHarrowDriver::WriteInterruptMode(USHORT value) {
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(m_memory[1]), value);
}
void CHarrowDriver::WritePower(USHORT value) {
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(m_memory[2]), value);
}
void CHarrowDriver::WriteCableBits(USHORT value) {
    m_cableShadow = value;
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(m_memory[3]), value);
}

bool CHarrowDriver::WriteSpeedCommand(USHORT code, LONGLONG timeout100ns) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG deadline = now.QuadPart + timeout100ns;
    m_controlShadow = static_cast<USHORT>((m_controlShadow & ~7) | (code & 7));
    WriteControl(m_controlShadow);
    for (;;) {
        if (ReadStatus() & kStatusSpeedAccepted)
            return true;
        KeQuerySystemTime(&now);
        if (now.QuadPart > deadline)
            return false;
    }
}

void CHarrowDriver::InitializeBoard() {
    pcibridge::WritePort32(m_port, pcibridge::kPort60, 0);
    pcibridge::WritePort32(m_port, pcibridge::kInterruptControl,
                           pcibridge::kInterruptControlAtStart);
    const ULONG busMaster = pcibridge::ReadPort32(m_port, pcibridge::kBusMasterControl);
    pcibridge::WritePort32(m_port, pcibridge::kBusMasterControl,
                           busMaster & ~pcibridge::kLocalReset);
}

NTSTATUS CHarrowDriver::InitializeCard() {
    pcibridge::ReadPort32(m_port, pcibridge::kInterruptControl);
    pcibridge::WritePort32(m_port, pcibridge::kInterruptControl,
                           pcibridge::kInterruptControlInitialised);
    pcibridge::WritePort32(m_port, pcibridge::kPort60, 0);
    m_capture.EnterInactive();
    return STATUS_SUCCESS;
}

void CHarrowDriver::ResumeBoard() {
    InitializeCard();
}

NTSTATUS CHarrowDriver::IoctlDispatch(PIRP irp) {
    return DispatchIoctl(irp, kIoctlTable, std::size(kIoctlTable));
}

NTSTATUS CHarrowDriver::RunImmediateIoctl(PIRP irp, const CIoctlRule&) {
    return IoctlReset(irp);  // the only code that runs at once
}

NTSTATUS CHarrowDriver::ResetBoard(PIRP) {
    m_capture.EnterInactive();
    return InitializeCard();
}

void CHarrowDriver::StartIo(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_READ) {
        PVOID buffer = irp->MdlAddress
                           ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                           : nullptr;
        if (buffer == nullptr) {
            CompleteCurrentAndStartNext(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            return;
        }
        if (!BeginOperation(irp, HarrowReadIrpCancelCallback))
            return;
        if (!m_capture.SetReadStateActive(irp, buffer, stack->Parameters.Read.Length))
            UnlockDevice();
        return;
    }

    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    if (code == kIoctlSetPowerState || code == kIoctlTestUnit) {
        if (!BeginOperation(irp, HarrowSelfTestIrpCancelCallback))
            return;
        if (code == kIoctlSetPowerState) {
            ULONG on;
            std::memcpy(&on, buffer, sizeof on);
            m_test.StartPower(irp, on != 0);
        } else {
            m_test.StartTest(irp, static_cast<TestUnitRecord*>(buffer));
        }
        UnlockDevice();
        return;
    }

    // NVRAM requests run over timers and may be cancelled; the rest complete at once.
    if (!BeginOperation(irp, IsNvramRequest(code) ? CancelRoutine : nullptr))
        return;
    if (IsBridgeRequest(code))
        RunBridgeRequest(irp);
    else
        FinishOperation(STATUS_NOT_IMPLEMENTED, 0);  // 0x80002010 has no operation
}

void CHarrowDriver::ServiceInterrupt(PIRP irp) {
    if (!m_capture.Current()->StateHandlerDpc(&m_deviceObject->Dpc, m_deviceObject, irp))
        UnlockDevice();
}

bool CHarrowDriver::StopForCancel() {
    if (StopBridgeRequest())
        return true;
    if (m_capture.IsActive()) {
        if (m_port != nullptr)
            m_capture.EnterInactive();
        return true;
    }
    return m_test.CancelTest();
}

void CHarrowDriver::StopOperation() {
    m_test.StopAllPhases();
    StopBridgeRequest();
    if (m_port != nullptr)
        m_capture.EnterInactive();
}

// ---- Entry points

BOOLEAN HarrowDriverIsr(PKINTERRUPT, PVOID context) {
    return CBoardDevice::FromInterruptContext(context)->Isr();
}

void HarrowDriverDpcForIsr(PKDPC, PDEVICE_OBJECT device, PIRP, PVOID) {
    CHarrowDriver::From(device)->DpcForIsr();
}

void HarrowReadIrpCancelCallback(PDEVICE_OBJECT device, PIRP irp) {
    COperationDevice::CancelRoutine(device, irp);
}

void HarrowSelfTestIrpCancelCallback(PDEVICE_OBJECT device, PIRP irp) {
    COperationDevice::CancelRoutine(device, irp);
}

void HarrowDriverStartIo(PDEVICE_OBJECT device, PIRP irp) {
    CHarrowDriver::From(device)->StartIo(irp);
}

NTSTATUS HarrowDriverReadDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return CHarrowDriver::From(device)->QueueRead(irp);
}

NTSTATUS HarrowDriverIoctlDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return CHarrowDriver::From(device)->IoctlDispatch(irp);
}

NTSTATUS HarrowDriverAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
    return AddBoardDevice<CHarrowDriver>(driverObject, physicalDevice, L"\\Device\\HarrowDriver");
}

void HarrowDriverUnload(PDRIVER_OBJECT) {
    RemoveBoardDriver(&g_driver);
}

NTSTATUS HarrowDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return InstallBoardDriver(
        driverObject, registryPath,
        {HarrowDriverStartIo, HarrowDriverReadDispatch, HarrowDriverIoctlDispatch,
         HarrowDriverUnload, HarrowDriverAddDevice},
        &g_driver);
}
