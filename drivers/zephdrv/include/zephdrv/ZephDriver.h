// The single-sensor board driver: device extension, its operations and their states.
#pragma once

#include <drvframe.h>
#include <pcibridge.h>

#include "zephdrv/ZephIoctl.h"

class CZephDriver : public CBoardDevice {
public:
    enum class State {
        Idle,
        Reading,
        Testing,
        PoweringOnWake,
        PoweringOnCheck,
        PoweringOnDrain,
        PoweringOff
    };

    static constexpr ULONG kMaxDevices = 10;
    static constexpr DEVICE_TYPE kDeviceType = 0x8000;
    static constexpr int kWindows = 3;                           // mapped memory windows
    static constexpr LONGLONG kCommandDeadline100ns = 10000000;  // one second
    static constexpr LONGLONG kDrainDeadline100ns = 10000000;    // one second
    static constexpr ULONG kDrainBurstWords = 1000;
    // FIFO words one read DPC run takes before it hands back to the interrupt.
    static constexpr ULONG kDpcWordsPerRun = 256;
    static constexpr ULONG kPowerOnWakeDelayMs = 2000;
    static constexpr ULONG kPowerOnCheckDelayMs = 2000;
    static constexpr ULONG kPowerOffSettleMs = 1;
    static constexpr ULONG kTestAnswerTimeoutMs = 2000;
    static constexpr ULONG kTestInterrupts = 10;
    static constexpr ULONG kResetMinimumTicks = 2;
    static constexpr ULONG kResetSettleMs = 100;
    // A read whose image has not arrived by then completes with STATUS_IO_TIMEOUT.
    static constexpr ULONG kReadTimeoutMs = 30000;
    // The power-on check polls the command interface and drains the FIFO in steps this far
    // apart, within the command and drain deadlines.
    static constexpr ULONG kPollStepMs = 1;
    static constexpr ULONG kDrainStepWords = 200;
    static constexpr ULONG kImagePixels = 682 * 456;
    static constexpr UCHAR kModePowered = 64;
    static constexpr UCHAR kModeUnpowered = 32;
    static constexpr UCHAR kModeReceiving = 0x03;

    CZephDriver(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice, ULONG index);
    ~CZephDriver() override;

    static CZephDriver* From(PDEVICE_OBJECT device) {
        return static_cast<CZephDriver*>(CPnpDevice::FromDeviceObject(device));
    }

    NTSTATUS IoctlDispatch(PIRP irp);
    void StartIo(PIRP irp);
    void TimerDpc();
    void ReadTimerDpc();
    void ResetTimerDpc();
    // Cancel routine's side of a pending reset request: the hold goes on, the request ends.
    void CancelReset(PIRP irp);

    // Writes a command word once the interface is free (lock held); false after the deadline.
    bool SendCommand(USHORT request);
    static USHORT BinningWord(USHORT p, USHORT q);

    State CurrentState() const { return m_state; }
    USHORT Binning() const { return m_binning; }
    USHORT Threshold() const { return m_threshold; }
    ULONG Delay() const { return m_delay; }
    bool PowerFlag() const { return m_powerFlag != 0; }
    bool Resetting() const { return m_resetting; }

protected:
    void InitializeBoard() override;
    void ResumeBoard() override;
    NTSTATUS ResetBoard(PIRP irp) override;
    void ServiceInterrupt(PIRP irp) override;
    bool StopForCancel() override;
    void StopOperation() override;
    NTSTATUS RunImmediateIoctl(PIRP irp, const CIoctlRule& rule) override;
    void CancelFileRequest(PFILE_OBJECT file) override;

private:
    UCHAR ReadStatus() { return READ_REGISTER_UCHAR(m_memory[0]); }
    ULONG ReadFifoWord() {
        return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(m_memory[1]));
    }
    void ResetFifo() { WRITE_REGISTER_UCHAR(m_memory[1], 1); }
    void WriteMode(UCHAR mode);
    bool DrainFifo();
    void ReturnToIdle();
    // Receive interrupts off, mode byte out of receiving; the state is left as it is.
    void QuiesceBoard();
    void PowerSensor(bool on);
    // Reset and resume: asserts the board's local reset and arms the timer that releases it
    // (lock held). `irp`, if any, is the reset request, completed when the reset ends.
    void BeginReset(PIRP irp);
    // Lock held: takes the pending reset request with its cancel routine; null when there is
    // none or its cancel routine has it.
    PIRP TakeResetIrpLocked();
    // Lock held: runs the operation start-I/O began (after a reset, if one was running).
    void RunOperation(PIRP irp);
    // Lock held, state PoweringOnCheck or PoweringOnDrain: one polling step.
    void PowerOnCheckStep();
    void FinishTest(uint32_t result);
    bool StartRead(PIRP irp, PVOID buffer, ULONG length);
    bool StartTest(PIRP irp);
    void StartPower(PIRP irp, bool on);
    void HandleReadData();
    void HandleTestData();
    NTSTATUS IoctlWriteCommand(PIRP irp);

    USHORT m_binning = 0;
    USHORT m_threshold = 0;
    ULONG m_delay = 0;  // kept for the caller; no step of the board waits on it
    USHORT m_lastCommand = 0;
    UCHAR m_modeShadow = kModeUnpowered;
    UCHAR m_powerFlag = 0;
    State m_state = State::Idle;
    // The accumulated interrupt status, NVRAM size and performance sample are the bridge's, in
    // CBoardDevice.

    PUCHAR m_buffer = nullptr;
    ULONG m_pixelsLeft = 0;
    ULONG m_pixelsStored = 0;
    ULONG m_interruptsLeft = 0;
    bool m_answerSeen = false;
    LONGLONG m_pollDeadline = 0;
    CTimer m_timer;
    CTimer m_readTimer;
    CTimer m_resetTimer;
    bool m_resetting = false;
    bool m_waitingForReset = false;  // start-I/O began an operation during a reset
    PIRP m_resetIrp = nullptr;
};

NTSTATUS ZephDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
DRIVER_ADD_DEVICE ZephDriverAddDevice;
DRIVER_STARTIO ZephDriverStartIo;
DRIVER_DISPATCH ZephDriverReadDispatch;
DRIVER_DISPATCH ZephDriverIoctlDispatch;
DRIVER_UNLOAD ZephDriverUnload;
KSERVICE_ROUTINE ZephDriverIsr;
IO_DPC_ROUTINE ZephDriverDpcForIsr;
DRIVER_CANCEL ZephDriverCancelCallback;
DRIVER_CANCEL ZephDriverResetCancelCallback;
