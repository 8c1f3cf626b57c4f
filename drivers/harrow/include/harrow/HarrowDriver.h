// The multi-sensor board driver: device extension, capture states, cable test phases.
#pragma once

#include <drvframe.h>
#include <pcibridge.h>

#include "harrow/HarrowIoctl.h"

class CHarrowDriver;
class HarrowTestContainer;
class HarrowImageCaptureContainer;

// Sensor table rows, in the driver's order.
extern const harrow::CcdStatistics OspreyStatistics;
extern const harrow::CcdStatistics KestrelStatistics;
extern const harrow::CcdStatistics ZephStatistics;
extern const harrow::CcdStatistics CcdNoneStatistics;

// ---------------------------------------------------------------------------------------------
// An operation that owns the current IRP while it runs.
class HarrowOperationContainer {
public:
    virtual ~HarrowOperationContainer() = default;
    void Init(CHarrowDriver* driver) { m_driver = driver; }
    // With the device lock held: releases it, then completes the IRP unless it was cancelled
    // meanwhile (its cancel routine then owns it) and starts the next request.
    void FinishOperationsIrp(NTSTATUS status, ULONG_PTR information);
    // The request the device's running operation serves.
    PIRP Irp() const;

protected:
    CHarrowDriver* m_driver = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Capture states.
class HarrowImageCaptureBaseClass {
public:
    virtual ~HarrowImageCaptureBaseClass() = default;
    void Init(CHarrowDriver* driver, HarrowImageCaptureContainer* container) {
        m_driver = driver;
        m_container = container;
    }
    // Enters this state; false when the board would not follow.
    virtual bool SetState() = 0;
    // Runs when the board interrupted, with the device lock held. Returns true when it
    // released the lock (it completed the IRP).
    virtual bool StateHandlerDpc(PKDPC dpc, PDEVICE_OBJECT device, PIRP irp) = 0;

protected:
    CHarrowDriver* m_driver = nullptr;
    HarrowImageCaptureContainer* m_container = nullptr;
};

class HarrowImageCaptureInactive : public HarrowImageCaptureBaseClass {
public:
    bool SetState() override;
    bool StateHandlerDpc(PKDPC dpc, PDEVICE_OBJECT device, PIRP irp) override;
};

class HarrowImageCaptureActive : public HarrowImageCaptureBaseClass {
public:
    static constexpr LONGLONG kDrainDeadline100ns = 10000000;  // one second
    static constexpr ULONG kDrainBurstWords = 10000;
    static constexpr LONGLONG kSpeedCommandTimeout100ns = 50000;  // 5 ms
    static constexpr USHORT kReadoutSpeedCode = 7;
    // FIFO words one DPC run takes before it hands back to the interrupt: the processor does
    // not stay long at DISPATCH_LEVEL.
    static constexpr ULONG kDpcWordsPerRun = 256;

    bool SetState() override;
    bool StateHandlerDpc(PKDPC dpc, PDEVICE_OBJECT device, PIRP irp) override;
};

class HarrowImageCaptureContainer : public HarrowOperationContainer {
public:
    void Init(CHarrowDriver* driver);
    void SetupInterruptMode();
    void EnableReceiveInterrupts();
    void DisableReceiveInterrupts();
    // Start-I/O of a read, lock held. Returns true when it released the lock (the read was
    // completed at once).
    bool SetReadStateActive(PIRP irp, PVOID buffer, ULONG byteCount);
    void EnterInactive();
    bool IsActive() const { return m_current == &m_active; }
    HarrowImageCaptureBaseClass* Current() const { return m_current; }

private:
    friend class HarrowImageCaptureActive;
    HarrowImageCaptureInactive m_inactive;
    HarrowImageCaptureActive m_active;
    HarrowImageCaptureBaseClass* m_current = &m_inactive;
    PULONG m_buffer = nullptr;
    ULONG m_byteCount = 0;
    ULONG m_wordsLeft = 0;
    ULONG m_wordsStored = 0;
};

// ---------------------------------------------------------------------------------------------
// Timed phases of the power and cable-test sequences.
class HarrowPhaseManagementBaseClass {
public:
    virtual ~HarrowPhaseManagementBaseClass() = default;
    void Init(CHarrowDriver* driver, HarrowTestContainer* test,
              HarrowPhaseManagementBaseClass* nextPhase);
    // The phase's timer expired (device lock held): true when it completed the IRP itself,
    // which released the lock.
    virtual bool AttainedSequence() = 0;
    void StartTimer(ULONG milliseconds) { m_timer.Start(milliseconds); }
    virtual void StartSequence() = 0;
    // Hands over to the next phase; true when that completed the IRP.
    bool StartNextSequence();
    void CancelSequence() { m_timer.Cancel(); }
    static KDEFERRED_ROUTINE AttainedSequenceDPC;

protected:
    CHarrowDriver* m_driver = nullptr;
    HarrowTestContainer* m_test = nullptr;
    HarrowPhaseManagementBaseClass* m_nextPhase = nullptr;
    CTimer m_timer;
};

class HarrowPowerOn : public HarrowPhaseManagementBaseClass {
public:
    static constexpr ULONG kSettleMs = 10;
    bool AttainedSequence() override;
    void StartSequence() override;
};

class HarrowPowerOff : public HarrowPhaseManagementBaseClass {
public:
    static constexpr ULONG kSettleMs = 5;
    bool AttainedSequence() override;
    void StartSequence() override;
};

class HarrowReadCableBitsClass : public HarrowPhaseManagementBaseClass {
public:
    static constexpr ULONG kLineSettleMs = 5;
    static constexpr USHORT kReadMask = 0xC080;

    bool AttainedSequence() override;
    void StartSequence() override;
    void WriteBits(USHORT bits);
    UCHAR Sync() const { return m_sync; }
    UCHAR Data() const { return m_data; }
    UCHAR Clock() const { return m_clock; }

protected:
    virtual USHORT Pattern() const = 0;
    virtual void Evaluate() = 0;
    UCHAR m_sync = 0;
    UCHAR m_data = 0;
    UCHAR m_clock = 0;
};

class HarrowTestAllBitsLow : public HarrowReadCableBitsClass {
protected:
    USHORT Pattern() const override { return 8; }
    void Evaluate() override;
};
class HarrowTestDataBitHigh : public HarrowReadCableBitsClass {
protected:
    USHORT Pattern() const override { return 9; }
    void Evaluate() override;
};
class HarrowTestSyncBitHigh : public HarrowReadCableBitsClass {
protected:
    USHORT Pattern() const override { return 12; }
    void Evaluate() override;
};
class HarrowTestClockBitHigh : public HarrowReadCableBitsClass {
protected:
    USHORT Pattern() const override { return 10; }
    void Evaluate() override;
};
class HarrowTestSetAllBitsLowNoTest : public HarrowReadCableBitsClass {
public:
    bool AttainedSequence() override;
    void StartSequence() override;

protected:
    USHORT Pattern() const override { return 0; }
    void Evaluate() override {}
};

class HarrowTestContainer : public HarrowOperationContainer {
public:
    void Init(CHarrowDriver* driver);
    // Lock held. The IRP stays pending.
    void StartTest(PIRP irp, harrow::TestUnitRecord* record);
    void StartPower(PIRP irp, bool on);
    void StartPhase(HarrowPhaseManagementBaseClass* phase);
    void RecordWrittenBits(USHORT bits);
    void RecordReadBits(USHORT bits);
    // Builds the result; completes the IRP (releases the lock).
    void CompleteTest();
    // Cancel routine's side, lock held: stops the running cable phase. False when a power
    // sequence runs: it goes on to its end, which starts the next request.
    bool CancelTest();
    // Stops every phase timer, the power sequences' too (stop, removal, power-down).
    void StopAllPhases();
    void ResetTestStateParameters();
    // Switches the sensor's power at once, without a settling timer.
    void PowerSensor(bool on);
    const harrow::CcdStatistics& CurrentStatistics() const { return m_statistics; }
    // For inspection: the record being filled.
    void AttachRecord(harrow::TestUnitRecord* record) { m_record = record; }

    // Result bytes: rest levels and did-not-follow flags.
    UCHAR m_syncRest = 0, m_dataRest = 0, m_clockRest = 0;
    UCHAR m_syncNoFollow = 0, m_dataNoFollow = 0, m_clockNoFollow = 0;

private:
    friend class HarrowPowerOn;
    friend class HarrowPowerOff;
    HarrowTestAllBitsLow m_allLow;
    HarrowTestDataBitHigh m_dataHigh;
    HarrowTestSyncBitHigh m_syncHigh;
    HarrowTestClockBitHigh m_clockHigh;
    HarrowTestSetAllBitsLowNoTest m_allLowNoTest;
    HarrowPowerOff m_powerOff;
    HarrowPowerOn m_powerOn;
    harrow::TestUnitRecord* m_record = nullptr;
    HarrowPhaseManagementBaseClass* m_currentPhase = nullptr;
    harrow::CcdStatistics m_statistics{};
    USHORT m_pendingWritten = 0;
};

// ---------------------------------------------------------------------------------------------
// The device extension.
class CHarrowDriver : public CBoardDevice {
public:
    static constexpr ULONG kMaxDevices = 10;
    static constexpr DEVICE_TYPE kDeviceType = 0x8000;
    static constexpr int kWindows = 4;  // mapped memory windows

    CHarrowDriver(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice, ULONG index);
    ~CHarrowDriver() override;

    static CHarrowDriver* From(PDEVICE_OBJECT device) {
        return static_cast<CHarrowDriver*>(CPnpDevice::FromDeviceObject(device));
    }

    NTSTATUS IoctlDispatch(PIRP irp);
    void StartIo(PIRP irp);

    // Board access.
    USHORT ReadStatus() {
        return READ_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(m_memory[0]));
    }
    ULONG ReadFifoWord() {
        return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(m_memory[1]));
    }
    ULONG ReadReceiveFlags() {
        return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(m_memory[2]));
    }
    void WriteControl(USHORT value);
    void WriteInterruptMode(USHORT value);
    void WritePower(USHORT value);
    void WriteCableBits(USHORT value);
    bool WriteSpeedCommand(USHORT code, LONGLONG timeout100ns);

    NTSTATUS InitializeCard();

    HarrowImageCaptureContainer& Capture() { return m_capture; }
    HarrowTestContainer& Test() { return m_test; }

protected:
    void InitializeBoard() override;
    void ResumeBoard() override;
    NTSTATUS ResetBoard(PIRP irp) override;
    void ServiceInterrupt(PIRP irp) override;
    bool StopForCancel() override;
    void StopOperation() override;
    NTSTATUS RunImmediateIoctl(PIRP irp, const CIoctlRule& rule) override;

private:
    friend class HarrowImageCaptureContainer;
    friend class HarrowImageCaptureActive;
    friend class HarrowTestContainer;
    friend class HarrowPowerOn;
    friend class HarrowPowerOff;

    // Fields in the driver's order; the board's windows, interrupt, accumulated status, NVRAM
    // size and performance sample are the bridge's, in CBoardDevice.
    [[maybe_unused]] UCHAR m_clearedByte;  // kept for the layout; nothing reads it
    ULONG m_timeIncrement;
    USHORT m_controlShadow = 0;
    USHORT m_interruptModeShadow = 0;
    USHORT m_powerShadow = 0;
    USHORT m_cableShadow = 0;
    ULONG m_ticksPerSecond[2];
    HarrowImageCaptureContainer m_capture;
    HarrowTestContainer m_test;
};

// Entry points.
NTSTATUS HarrowDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
DRIVER_ADD_DEVICE HarrowDriverAddDevice;
DRIVER_STARTIO HarrowDriverStartIo;
DRIVER_DISPATCH HarrowDriverReadDispatch;
DRIVER_DISPATCH HarrowDriverIoctlDispatch;
DRIVER_UNLOAD HarrowDriverUnload;
KSERVICE_ROUTINE HarrowDriverIsr;
IO_DPC_ROUTINE HarrowDriverDpcForIsr;
DRIVER_CANCEL HarrowReadIrpCancelCallback;
DRIVER_CANCEL HarrowSelfTestIrpCancelCallback;
