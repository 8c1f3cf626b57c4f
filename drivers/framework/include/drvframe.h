// Class framework for WDM function drivers: counted string, resource parser, one-shot timer,
// device base classes with start-I/O serialisation, cancellation, PnP and power, driver object.
#pragma once

#include "wdm.h"

#include <deque>

// ---------------------------------------------------------------------------------------------
// A counted wide string with its own storage.
class CString {
public:
    static constexpr USHORT kCapacityChars = 128;

    CString();
    explicit CString(PCWSTR text);
    CString(const CString& other);
    CString& operator=(const CString& other);

    CString& operator+=(PCWSTR text);
    CString& AppendNumber(ULONG value);
    PUNICODE_STRING Unicode() { return &m_string; }
    PCWSTR Buffer() const { return m_buffer; }
    // False once an append did not fit.
    bool IsValid() const { return m_valid; }

private:
    UNICODE_STRING m_string;
    WCHAR m_buffer[kCapacityChars];
    bool m_valid = true;
};

// ---------------------------------------------------------------------------------------------
// The hardware resources of a start request, by type and index.
class CResource {
public:
    explicit CResource(PCM_RESOURCE_LIST list);
    bool GetPort(ULONG index, PHYSICAL_ADDRESS* start, ULONG* length) const;
    bool GetMemory(ULONG index, PHYSICAL_ADDRESS* start, ULONG* length) const;
    bool GetInterrupt(ULONG index, ULONG* level, ULONG* vector, KAFFINITY* affinity,
                      KINTERRUPT_MODE* mode, BOOLEAN* shared) const;

private:
    PCM_PARTIAL_RESOURCE_DESCRIPTOR Find(UCHAR type, ULONG index) const;
    PCM_RESOURCE_LIST m_list;
};

// ---------------------------------------------------------------------------------------------
// A relative one-shot timer whose expiry runs a DPC. Start, Cancel and TakeExpiry are called
// under the owner's lock, so a DPC of a timer cancelled meanwhile can tell and do nothing.
class CTimer {
public:
    CTimer();
    ~CTimer();
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    void Initialize(PKDEFERRED_ROUTINE routine, PVOID context);
    void Start(ULONG milliseconds);
    // True when the timer was still armed.
    bool Cancel();
    // In the DPC: true when this expiry is current (the timer was not cancelled or restarted
    // since it was set); consumes it.
    bool TakeExpiry();
    bool Armed() const { return m_armed; }

private:
    KTIMER m_timer;
    KDPC m_dpc;
    bool m_armed = false;
    bool m_initialized = false;
};

// ---------------------------------------------------------------------------------------------
// A device object whose extension is this C++ object (constructed in place).
class CDevice {
public:
    explicit CDevice(PDEVICE_OBJECT deviceObject);
    virtual ~CDevice();
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    PDEVICE_OBJECT DeviceObject() const { return m_deviceObject; }
    // Construction result: the derived constructor records a failure with its text.
    NTSTATUS ConstructionStatus() const { return m_constructionStatus; }
    const char* ConstructionError() const { return m_constructionError; }

protected:
    // Creates the Win32 name "\DosDevices\<name>" for the device.
    NTSTATUS CreateWin32Name(PCWSTR name);
    void FailConstruction(NTSTATUS status, const char* text);

    PDEVICE_OBJECT m_deviceObject;

private:
    CString m_win32Name;
    bool m_win32NameCreated = false;
    NTSTATUS m_constructionStatus = STATUS_SUCCESS;
    const char* m_constructionError = "";
};

// ---------------------------------------------------------------------------------------------
// A PnP function device: serialises queued requests through the start-I/O queue, holds new
// requests while a stop or removal is pending, handles cancellation of queued requests, the
// PnP start/stop/remove requests and device power transitions.
class CPnpDevice : public CDevice {
public:
    enum class PnpState {
        NotStarted,
        Started,
        StopPending,
        Stopped,
        RemovePending,
        SurpriseRemoved,
        Removed
    };

    CPnpDevice(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice);
    ~CPnpDevice() override;

    static CPnpDevice* FromDeviceObject(PDEVICE_OBJECT device) {
        return static_cast<CPnpDevice*>(device->DeviceExtension);
    }

    // Framework dispatch stages (PASSIVE_LEVEL).
    NTSTATUS DispatchCreate(PIRP irp);
    NTSTATUS DispatchClose(PIRP irp);
    NTSTATUS DispatchCleanup(PIRP irp);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS DispatchSystemControl(PIRP irp);

    // Queues a request for start-I/O, or holds or fails it by the PnP state. Returns
    // STATUS_PENDING or the status it completed the request with.
    NTSTATUS QueueIrp(PIRP irp);
    // Completes a request at the dispatch stage.
    static NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);

    // Start-I/O helpers, called before taking the device lock. SetCancelRoutineOrCancel gives
    // the current request its cancel routine (null: none) or, when it was cancelled already,
    // completes it as cancelled, starts the next request and returns false.
    bool SetCancelRoutineOrCancel(PIRP irp, PDRIVER_CANCEL routine);
    // Completes the current request (whose cancel routine is cleared here) and starts the next.
    void CompleteCurrentAndStartNext(PIRP irp, NTSTATUS status, ULONG_PTR information);
    // Completes every request still waiting in the start-I/O queue or held, with `status`.
    void FlushQueuedIrps(NTSTATUS status);
    // Starts the next queued request at DISPATCH_LEVEL, unless a stop, removal or power-down
    // has halted the queue (the requests then wait, held, for the device to come back).
    void StartNextRequest();

    bool HoldingNewRequests() const { return m_holding.load(); }
    DEVICE_POWER_STATE PowerState() const { return m_powerState.load(); }
    PnpState State() const { return m_state; }
    PDEVICE_OBJECT LowerDevice() const { return m_lowerDevice; }
    PDEVICE_OBJECT PhysicalDevice() const { return m_physicalDevice; }

protected:
    virtual NTSTATUS PnpSetupDeviceResources(CResource& raw, CResource& translated) = 0;
    virtual void PnpFreeDeviceResources() = 0;
    // Around device power transitions: before leaving D0, after returning to it.
    virtual void SavePowerRegisters() {}
    virtual void RestorePowerRegisters() {}
    // Before a stop, a removal or a power-down: ends the request being served (every timer of
    // its operation stopped, the board left idle) and completes it with `status`.
    virtual void AbortCurrentRequest(NTSTATUS status) { (void)status; }
    // At cleanup: ends the request being served if it belongs to `file` and can be cancelled.
    virtual void CancelFileRequest(PFILE_OBJECT file) { (void)file; }

private:
    static DRIVER_CANCEL CancelQueuedIrp;
    static DRIVER_CANCEL CancelHeldIrp;
    static IO_COMPLETION_ROUTINE ForwardCompletion;
    static IO_COMPLETION_ROUTINE PowerUpCompletion;

    NTSTATUS ForwardAndWait(PIRP irp);
    NTSTATUS ForwardSkipping(PIRP irp);
    void StartHeldIrps();
    void FailHeldIrps(NTSTATUS status);
    // Halts the start-I/O queue: the current request is aborted with `status` and every request
    // still queued moves, in order, to the front of the held requests.
    void HaltQueue(NTSTATUS status);
    void ResumeQueue();
    void CompleteFileIrps(PFILE_OBJECT file);
    void DestroyAndDelete();

    PDEVICE_OBJECT m_physicalDevice;
    PDEVICE_OBJECT m_lowerDevice = nullptr;
    PnpState m_state = PnpState::NotStarted;
    PnpState m_stateBeforeQuery = PnpState::NotStarted;
    std::atomic<bool> m_holding{false};
    std::atomic<DEVICE_POWER_STATE> m_powerState{PowerDeviceD3};
    bool m_resourcesSetUp = false;
    std::atomic<int> m_openHandles{0};
    std::atomic<bool> m_queueHalted{false};
    std::deque<PIRP> m_heldIrps;  // guarded by the cancel spin lock
};

// ---------------------------------------------------------------------------------------------
// A board device whose requests run one at a time as operations under one device spin lock.
// The operation owns its request from the moment start-I/O records it, under the device lock,
// before any cancel routine can see it; a cancel routine takes the device lock and finds either
// the operation still owning the request, or the request already given back.
struct CIoctlRule;

class COperationDevice : public CPnpDevice {
public:
    COperationDevice(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice);

    void LockDevice();
    void UnlockDevice();
    bool LockHeldByThisThread() const { return m_lockOwner.load() == KeGetCurrentThread(); }
    // The request the running operation serves (lock held to rely on it).
    PIRP OperationIrp() const { return m_operationIrp; }

    // Start-I/O: takes the device lock and makes `irp` the operation's with `cancelRoutine`
    // (null: not cancellable). False when it had been cancelled already: the lock is released,
    // the request completed as cancelled and the next one started.
    bool BeginOperation(PIRP irp, PDRIVER_CANCEL cancelRoutine);
    // Lock held: releases it, completes the operation's request unless its cancel routine has
    // it, and starts the next request. An operation whose request was cancelled while it ran
    // on (see StopForCancel) calls it too, to start the next request.
    void FinishOperation(NTSTATUS status, ULONG_PTR information);
    // The body of a cancel routine, the cancel spin lock already released.
    void CancelOperation(PIRP irp);
    // A cancel routine that does only that.
    static DRIVER_CANCEL CancelRoutine;
    // The common dispatch rule: a read of non-zero length is queued.
    NTSTATUS QueueRead(PIRP irp);
    // The common device-control rule: a request that fails its check against `rules` completes
    // with that status, a code that runs at once goes to RunImmediateIoctl, any other is queued.
    NTSTATUS DispatchIoctl(PIRP irp, const CIoctlRule* rules, size_t count);

protected:
    // Runs a code whose rule says it runs at once, outside start-I/O.
    virtual NTSTATUS RunImmediateIoctl(PIRP irp, const CIoctlRule& rule) = 0;
    // Lock held, the operation's request cancelled: stops the operation and returns true, or
    // returns false when the operation must run to its end (it then calls FinishOperation).
    virtual bool StopForCancel() = 0;
    // Lock held: stops the operation and every timer it armed, board idle where mapped.
    virtual void StopOperation() = 0;
    void AbortCurrentRequest(NTSTATUS status) override;
    void CancelFileRequest(PFILE_OBJECT file) override;

private:
    // Lock held: takes the operation's request and its cancel routine. False when a cancel
    // routine has the request (it completes it); *irp null when there was none.
    bool TakeOperationIrpLocked(PIRP* irp);

    KSPIN_LOCK m_lock;
    KIRQL m_lockIrql = PASSIVE_LEVEL;
    std::atomic<PKTHREAD> m_lockOwner{nullptr};
    PIRP m_operationIrp = nullptr;  // guarded by m_lock
    bool m_operationCancellable = false;
};

// ---------------------------------------------------------------------------------------------
// The add-device step of a board driver: a device object "<deviceName><index>" (device type
// T::kDeviceType) at the first index below T::kMaxDevices whose creation succeeds, its
// extension a T built in place as T(device, physicalDevice, index), direct I/O. A failed
// construction deletes the device again and returns its status.
template <class T>
NTSTATUS AddBoardDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice,
                        PCWSTR deviceName) {
    for (ULONG index = 0; index < T::kMaxDevices; ++index) {
        CString name(deviceName);
        name.AppendNumber(index);
        PDEVICE_OBJECT device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(driverObject, sizeof(T), name.Unicode(), T::kDeviceType, 0,
                                       FALSE, &device))) {
            continue;
        }
        auto extension = new (device->DeviceExtension) T(device, physicalDevice, index);
        const NTSTATUS status = extension->ConstructionStatus();
        if (!NT_SUCCESS(status)) {
            extension->~T();
            IoDeleteDevice(device);
            return status;
        }
        device->Flags |= DO_DIRECT_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

// ---------------------------------------------------------------------------------------------
// The dispatch rule of a device-control code: its input length, the shortest output it needs
// and whether it runs at once or through start-I/O.
struct CIoctlRule {
    enum class Input { Exact, AtLeast, Any };
    enum class Stage { Queued, Immediate };
    ULONG code;
    Input input;
    ULONG inputLength;
    ULONG outputLength;
    Stage stage;
};

// Finds the rule of the request's code and checks its lengths. STATUS_SUCCESS with *rule set;
// STATUS_NOT_IMPLEMENTED, STATUS_INVALID_PARAMETER (input) or STATUS_BUFFER_TOO_SMALL (output).
NTSTATUS CheckIoctlRule(const CIoctlRule* rules, size_t count, PIO_STACK_LOCATION stack,
                        const CIoctlRule** rule);

// ---------------------------------------------------------------------------------------------
// The driver object: sets the framework's dispatch routines for create, close, cleanup, PnP,
// power and WMI; the driver sets the rest.
class CPnpDriver {
public:
    // Null when the object cannot be allocated.
    static CPnpDriver* Create(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
    static void Destroy(CPnpDriver* driver);
    PDRIVER_OBJECT DriverObject() const { return m_driverObject; }

    static DRIVER_DISPATCH DispatchCreate;
    static DRIVER_DISPATCH DispatchClose;
    static DRIVER_DISPATCH DispatchCleanup;
    static DRIVER_DISPATCH DispatchPnp;
    static DRIVER_DISPATCH DispatchPower;
    static DRIVER_DISPATCH DispatchSystemControl;

private:
    explicit CPnpDriver(PDRIVER_OBJECT driverObject);
    PDRIVER_OBJECT m_driverObject;
};

// The routines a board driver sets beside the framework's.
struct CBoardDriverRoutines {
    PDRIVER_STARTIO startIo;
    PDRIVER_DISPATCH read;
    PDRIVER_DISPATCH deviceControl;
    PDRIVER_UNLOAD unload;
    PDRIVER_ADD_DEVICE addDevice;
};

// The entry step of a board driver: creates its framework driver in *driver
// (STATUS_INSUFFICIENT_RESOURCES when it cannot) and sets `routines` on the driver object.
NTSTATUS InstallBoardDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                            const CBoardDriverRoutines& routines, CPnpDriver** driver);
// The unload step: destroys *driver and forgets it.
void RemoveBoardDriver(CPnpDriver** driver);
