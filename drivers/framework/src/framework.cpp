// The driver class framework: CString, CResource, CTimer, CDevice, CPnpDevice, CPnpDriver.
#include "drvframe.h"

#include <algorithm>
#include <vector>

// ---- CString

CString::CString() {
    m_buffer[0] = 0;
    m_string.Length = 0;
    m_string.MaximumLength = sizeof(m_buffer);
    m_string.Buffer = m_buffer;
}

CString::CString(PCWSTR text) : CString() {
    *this += text;
}

CString::CString(const CString& other) : CString() {
    *this = other;
}

CString& CString::operator=(const CString& other) {
    if (this == &other)
        return *this;
    std::memcpy(m_buffer, other.m_buffer, sizeof(m_buffer));
    m_string.Length = other.m_string.Length;
    m_valid = other.m_valid;
    return *this;
}

CString& CString::operator+=(PCWSTR text) {
    if (!NT_SUCCESS(RtlAppendUnicodeToString(&m_string, text)))
        m_valid = false;
    return *this;
}

CString& CString::AppendNumber(ULONG value) {
    WCHAR digits[16];
    UNICODE_STRING number{0, sizeof(digits), digits};
    if (!NT_SUCCESS(RtlIntegerToUnicodeString(value, 10, &number)) ||
        !NT_SUCCESS(RtlAppendUnicodeStringToString(&m_string, &number))) {
        m_valid = false;
    }
    return *this;
}

// ---- CResource

CResource::CResource(PCM_RESOURCE_LIST list) : m_list(list) {}

PCM_PARTIAL_RESOURCE_DESCRIPTOR CResource::Find(UCHAR type, ULONG index) const {
    if (m_list == nullptr)
        return nullptr;
    ULONG seen = 0;
    // Only the first full descriptor: one PCI function has one.
    PCM_PARTIAL_RESOURCE_LIST partial = &m_list->List[0].PartialResourceList;
    for (ULONG i = 0; m_list->Count > 0 && i < partial->Count; ++i) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &partial->PartialDescriptors[i];
        if (d->Type != type)
            continue;
        if (seen++ == index)
            return d;
    }
    return nullptr;
}

bool CResource::GetPort(ULONG index, PHYSICAL_ADDRESS* start, ULONG* length) const {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = Find(CmResourceTypePort, index);
    if (d == nullptr)
        return false;
    *start = d->u.Port.Start;
    *length = d->u.Port.Length;
    return true;
}

bool CResource::GetMemory(ULONG index, PHYSICAL_ADDRESS* start, ULONG* length) const {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = Find(CmResourceTypeMemory, index);
    if (d == nullptr)
        return false;
    *start = d->u.Memory.Start;
    *length = d->u.Memory.Length;
    return true;
}

bool CResource::GetInterrupt(ULONG index, ULONG* level, ULONG* vector, KAFFINITY* affinity,
                             KINTERRUPT_MODE* mode, BOOLEAN* shared) const {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = Find(CmResourceTypeInterrupt, index);
    if (d == nullptr)
        return false;
    *level = d->u.Interrupt.Level;
    *vector = d->u.Interrupt.Vector;
    *affinity = d->u.Interrupt.Affinity;
    *mode = d->Flags == CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE ? LevelSensitive : Latched;
    *shared = d->ShareDisposition == CmResourceShareShared;
    return true;
}

// ---- CTimer

CTimer::CTimer() {
    KeInitializeTimer(&m_timer);
}

CTimer::~CTimer() {
    if (!m_initialized)
        return;
    KeCancelTimer(&m_timer);
    KeRemoveQueueDpc(&m_dpc);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        KeFlushQueuedDpcs();  // none may still run on us
}

void CTimer::Initialize(PKDEFERRED_ROUTINE routine, PVOID context) {
    KeInitializeTimer(&m_timer);
    KeInitializeDpc(&m_dpc, routine, context);
    m_initialized = true;
}

void CTimer::Start(ULONG milliseconds) {
    WdmAssert(m_initialized);
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    m_armed = true;
    KeSetTimer(&m_timer, due, &m_dpc);
}

bool CTimer::Cancel() {
    const bool wasArmed = m_armed;
    m_armed = false;
    KeCancelTimer(&m_timer);
    return wasArmed;
}

bool CTimer::TakeExpiry() {
    // A restart re-arms the timer; an expiry is current only once the timer has fired.
    if (!m_armed || !KeReadStateTimer(&m_timer))
        return false;
    m_armed = false;
    return true;
}

// ---- CDevice

CDevice::CDevice(PDEVICE_OBJECT deviceObject) : m_deviceObject(deviceObject) {}

CDevice::~CDevice() {
    if (m_win32NameCreated)
        IoDeleteSymbolicLink(m_win32Name.Unicode());
}

NTSTATUS CDevice::CreateWin32Name(PCWSTR name) {
    m_win32Name = CString(L"\\DosDevices\\");
    m_win32Name += name;
    if (!m_win32Name.IsValid())
        return STATUS_INVALID_PARAMETER;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, m_deviceObject->Name);
    NTSTATUS status = IoCreateSymbolicLink(m_win32Name.Unicode(), &deviceName);
    m_win32NameCreated = NT_SUCCESS(status);
    return status;
}

void CDevice::FailConstruction(NTSTATUS status, const char* text) {
    m_constructionStatus = status;
    m_constructionError = text;
    DbgPrint("%s\n", text);
}

// ---- CPnpDevice

CPnpDevice::CPnpDevice(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice)
    : CDevice(deviceObject), m_physicalDevice(physicalDevice) {
    m_lowerDevice = IoAttachDeviceToDeviceStack(deviceObject, physicalDevice);
    if (m_lowerDevice == nullptr)
        FailConstruction(STATUS_NO_SUCH_DEVICE, "CPnpDevice: attach failed");
}

CPnpDevice::~CPnpDevice() {
    if (m_lowerDevice != nullptr)
        IoDetachDevice(m_lowerDevice);
}

NTSTATUS CPnpDevice::CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CPnpDevice::DispatchCreate(PIRP irp) {
    if (m_state == PnpState::Removed || m_state == PnpState::SurpriseRemoved) {
        return CompleteIrp(irp, STATUS_DELETE_PENDING, 0);
    }
    ++m_openHandles;
    return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS CPnpDevice::DispatchClose(PIRP irp) {
    --m_openHandles;
    return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS CPnpDevice::DispatchCleanup(PIRP irp) {
    // The last handle of a file went: its requests are the driver's to end, not the I/O
    // manager's.
    CompleteFileIrps(IoGetCurrentIrpStackLocation(irp)->FileObject);
    return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

void CPnpDevice::CompleteFileIrps(PFILE_OBJECT file) {
    if (file == nullptr)
        return;
    auto ofFile = [file](PIRP irp) {
        return IoGetCurrentIrpStackLocation(irp)->FileObject == file;
    };
    std::vector<PIRP> doomed;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    {
        KDEVICE_QUEUE& queue = m_deviceObject->DeviceQueue;
        std::lock_guard<std::mutex> guard(queue.Lock);
        for (auto it = queue.Entries.begin(); it != queue.Entries.end();) {
            if (ofFile((*it)->Irp)) {
                (*it)->Inserted = FALSE;
                doomed.push_back((*it)->Irp);
                it = queue.Entries.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto it = m_heldIrps.begin(); it != m_heldIrps.end();) {
        if (ofFile(*it)) {
            doomed.push_back(*it);
            it = m_heldIrps.erase(it);
        } else {
            ++it;
        }
    }
    for (PIRP irp : doomed)
        IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    for (PIRP irp : doomed)
        CompleteIrp(irp, STATUS_CANCELLED, 0);
    // The request being served: the device object's CurrentIrp may already be completed and
    // gone, so the driver, which knows what it serves, ends it.
    CancelFileRequest(file);
}

NTSTATUS CPnpDevice::QueueIrp(PIRP irp) {
    switch (m_state) {
        case PnpState::Removed:
        case PnpState::SurpriseRemoved:
            return CompleteIrp(irp, STATUS_DELETE_PENDING, 0);
        case PnpState::NotStarted:
            return CompleteIrp(irp, STATUS_DEVICE_NOT_READY, 0);
        default:
            break;
    }
    if (m_holding || m_queueHalted) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (m_holding || m_queueHalted) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelHeldIrp);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                IoReleaseCancelSpinLock(irql);
                CompleteIrp(irp, STATUS_CANCELLED, 0);
                return STATUS_PENDING;
            }
            m_heldIrps.push_back(irp);
            IoReleaseCancelSpinLock(irql);
            return STATUS_PENDING;
        }
        IoReleaseCancelSpinLock(irql);
    }
    IoMarkIrpPending(irp);
    IoStartPacket(m_deviceObject, irp, nullptr, CancelQueuedIrp);
    return STATUS_PENDING;
}

void CPnpDevice::CancelQueuedIrp(PDEVICE_OBJECT device, PIRP irp) {
    if (irp == device->CurrentIrp) {
        // Start-I/O owns it now and sees the cancel flag when it sets its own routine.
        IoReleaseCancelSpinLock(irp->CancelIrql);
        return;
    }
    const bool removed = KeRemoveEntryDeviceQueue(&device->DeviceQueue,
                                                  &irp->Tail.Overlay.DeviceQueueEntry) != FALSE;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (removed)
        CompleteIrp(irp, STATUS_CANCELLED, 0);
}

void CPnpDevice::CancelHeldIrp(PDEVICE_OBJECT device, PIRP irp) {
    CPnpDevice* self = FromDeviceObject(device);
    auto& held = self->m_heldIrps;
    auto it = std::find(held.begin(), held.end(), irp);
    const bool found = it != held.end();
    if (found)
        held.erase(it);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (found)
        CompleteIrp(irp, STATUS_CANCELLED, 0);
}

bool CPnpDevice::SetCancelRoutineOrCancel(PIRP irp, PDRIVER_CANCEL routine) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        CompleteIrp(irp, STATUS_CANCELLED, 0);
        StartNextRequest();
        return false;
    }
    IoSetCancelRoutine(irp, routine);
    IoReleaseCancelSpinLock(irql);
    return true;
}

void CPnpDevice::CompleteCurrentAndStartNext(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    CompleteIrp(irp, status, information);
    StartNextRequest();
}

void CPnpDevice::StartNextRequest() {
    if (m_queueHalted)
        return;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoStartNextPacket(m_deviceObject, TRUE);
    KeLowerIrql(old);
}

void CPnpDevice::HaltQueue(NTSTATUS status) {
    m_queueHalted = true;
    AbortCurrentRequest(status);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    std::deque<PIRP> queued;
    {
        KDEVICE_QUEUE& queue = m_deviceObject->DeviceQueue;
        std::lock_guard<std::mutex> guard(queue.Lock);
        for (PKDEVICE_QUEUE_ENTRY entry : queue.Entries) {
            entry->Inserted = FALSE;
            queued.push_back(entry->Irp);
        }
        queue.Entries.clear();
        queue.Busy = FALSE;
    }
    m_deviceObject->CurrentIrp = nullptr;
    for (auto it = queued.rbegin(); it != queued.rend(); ++it) {
        IoSetCancelRoutine(*it, CancelHeldIrp);
        m_heldIrps.push_front(*it);
    }
    IoReleaseCancelSpinLock(irql);
}

void CPnpDevice::ResumeQueue() {
    m_queueHalted = false;
    if (!m_holding)
        StartHeldIrps();
}

void CPnpDevice::FlushQueuedIrps(NTSTATUS status) {
    std::vector<PIRP> doomed;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    {
        KDEVICE_QUEUE& queue = m_deviceObject->DeviceQueue;
        std::lock_guard<std::mutex> guard(queue.Lock);
        for (PKDEVICE_QUEUE_ENTRY entry : queue.Entries) {
            entry->Inserted = FALSE;
            doomed.push_back(entry->Irp);
        }
        queue.Entries.clear();
    }
    for (PIRP irp : m_heldIrps)
        doomed.push_back(irp);
    m_heldIrps.clear();
    for (PIRP irp : doomed)
        IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    for (PIRP irp : doomed)
        CompleteIrp(irp, status, 0);
}

void CPnpDevice::StartHeldIrps() {
    std::deque<PIRP> held;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    held.swap(m_heldIrps);
    for (PIRP irp : held)
        IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    for (PIRP irp : held)
        IoStartPacket(m_deviceObject, irp, nullptr, CancelQueuedIrp);
}

void CPnpDevice::FailHeldIrps(NTSTATUS status) {
    std::deque<PIRP> held;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    held.swap(m_heldIrps);
    for (PIRP irp : held)
        IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    for (PIRP irp : held)
        CompleteIrp(irp, status, 0);
}

NTSTATUS CPnpDevice::ForwardCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CPnpDevice::ForwardAndWait(PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(m_lowerDevice, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS CPnpDevice::ForwardSkipping(PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(m_lowerDevice, irp);
}

void CPnpDevice::DestroyAndDelete() {
    PDEVICE_OBJECT device = m_deviceObject;
    this->~CPnpDevice();
    IoDeleteDevice(device);
}

NTSTATUS CPnpDevice::DispatchPnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            status = ForwardAndWait(irp);
            if (NT_SUCCESS(status) && !m_resourcesSetUp) {
                CResource raw(stack->Parameters.StartDevice.AllocatedResources);
                CResource translated(stack->Parameters.StartDevice.AllocatedResourcesTranslated);
                status = PnpSetupDeviceResources(raw, translated);
                m_resourcesSetUp = NT_SUCCESS(status);
            }
            if (NT_SUCCESS(status)) {
                m_state = PnpState::Started;
                m_powerState = PowerDeviceD0;
                m_holding = false;
                ResumeQueue();
            }
            return CompleteIrp(irp, status, 0);
        }
        case IRP_MN_QUERY_STOP_DEVICE:
            m_stateBeforeQuery = m_state;
            m_state = PnpState::StopPending;
            m_holding = true;
            irp->IoStatus.Status = STATUS_SUCCESS;
            return ForwardSkipping(irp);
        case IRP_MN_CANCEL_STOP_DEVICE:
            ForwardAndWait(irp);
            if (m_state == PnpState::StopPending) {
                m_state = m_stateBeforeQuery;
                m_holding = false;
                StartHeldIrps();
            }
            return CompleteIrp(irp, STATUS_SUCCESS, 0);
        case IRP_MN_STOP_DEVICE:
            // The request being served ends before its resources go; the queued ones wait,
            // held, for the next start.
            HaltQueue(STATUS_CANCELLED);
            if (m_resourcesSetUp) {
                PnpFreeDeviceResources();
                m_resourcesSetUp = false;
            }
            m_state = PnpState::Stopped;  // requests stay held until the next start
            irp->IoStatus.Status = STATUS_SUCCESS;
            return ForwardSkipping(irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (m_openHandles > 0)
                return CompleteIrp(irp, STATUS_DEVICE_BUSY, 0);
            m_stateBeforeQuery = m_state;
            m_state = PnpState::RemovePending;
            m_holding = true;
            irp->IoStatus.Status = STATUS_SUCCESS;
            return ForwardSkipping(irp);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            ForwardAndWait(irp);
            if (m_state == PnpState::RemovePending) {
                m_state = m_stateBeforeQuery;
                m_holding = m_state == PnpState::Stopped;
                if (!m_holding)
                    StartHeldIrps();
            }
            return CompleteIrp(irp, STATUS_SUCCESS, 0);
        case IRP_MN_SURPRISE_REMOVAL:
            // The board is gone: nothing may touch it, every request fails.
            m_state = PnpState::SurpriseRemoved;
            m_holding = true;
            HaltQueue(STATUS_NO_SUCH_DEVICE);
            FlushQueuedIrps(STATUS_NO_SUCH_DEVICE);
            if (m_resourcesSetUp) {
                PnpFreeDeviceResources();
                m_resourcesSetUp = false;
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return ForwardSkipping(irp);
        case IRP_MN_REMOVE_DEVICE:
            m_state = PnpState::Removed;
            m_holding = true;
            HaltQueue(STATUS_DELETE_PENDING);
            FlushQueuedIrps(STATUS_DELETE_PENDING);
            if (m_resourcesSetUp) {
                PnpFreeDeviceResources();
                m_resourcesSetUp = false;
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            status = ForwardSkipping(irp);
            DestroyAndDelete();
            return status;
        default:
            return ForwardSkipping(irp);
    }
}

NTSTATUS CPnpDevice::PowerUpCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto self = static_cast<CPnpDevice*>(context);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        const DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
        self->m_powerState = target;
        PoSetPowerState(self->m_deviceObject, DevicePowerState, stack->Parameters.Power.State);
        if (target == PowerDeviceD0) {
            self->RestorePowerRegisters();
            self->ResumeQueue();
        }
    }
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS CPnpDevice::DispatchPower(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState) {
        const DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
        const DEVICE_POWER_STATE current = m_powerState;
        if (target > current) {
            // Leaving D0: the request being served ends and the rest wait, held, for D0; the
            // registers are saved while the board still answers.
            if (current == PowerDeviceD0) {
                HaltQueue(STATUS_CANCELLED);
                SavePowerRegisters();
            }
            m_powerState = target;
            PoSetPowerState(m_deviceObject, DevicePowerState, stack->Parameters.Power.State);
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return ForwardSkipping(irp);
        }
        if (target < current) {
            // Returning to D0: the bus powers the board first, then the registers come back.
            IoMarkIrpPending(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, PowerUpCompletion, this, TRUE, TRUE, TRUE);
            PoCallDriver(m_lowerDevice, irp);
            return STATUS_PENDING;
        }
    }
    PoStartNextPowerIrp(irp);
    if (irp->IoStatus.Status == STATUS_NOT_SUPPORTED)
        irp->IoStatus.Status = STATUS_SUCCESS;
    return ForwardSkipping(irp);
}

NTSTATUS CPnpDevice::DispatchSystemControl(PIRP irp) {
    return ForwardSkipping(irp);
}

// ---- CPnpDriver

CPnpDriver::CPnpDriver(PDRIVER_OBJECT driverObject) : m_driverObject(driverObject) {
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
}

CPnpDriver* CPnpDriver::Create(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(CPnpDriver), 0x50447276u);
    if (memory == nullptr)
        return nullptr;
    return new (memory) CPnpDriver(driverObject);
}

void CPnpDriver::Destroy(CPnpDriver* driver) {
    if (driver == nullptr)
        return;
    driver->~CPnpDriver();
    ExFreePool(driver);
}

NTSTATUS CPnpDriver::DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    return CPnpDevice::FromDeviceObject(device)->DispatchCreate(irp);
}
NTSTATUS CPnpDriver::DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    return CPnpDevice::FromDeviceObject(device)->DispatchClose(irp);
}
NTSTATUS CPnpDriver::DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    return CPnpDevice::FromDeviceObject(device)->DispatchCleanup(irp);
}
NTSTATUS CPnpDriver::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    return CPnpDevice::FromDeviceObject(device)->DispatchPnp(irp);
}
NTSTATUS CPnpDriver::DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    return CPnpDevice::FromDeviceObject(device)->DispatchPower(irp);
}
NTSTATUS CPnpDriver::DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
    return CPnpDevice::FromDeviceObject(device)->DispatchSystemControl(irp);
}

// ---- COperationDevice

COperationDevice::COperationDevice(PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT physicalDevice)
    : CPnpDevice(deviceObject, physicalDevice) {
    KeInitializeSpinLock(&m_lock);
}

void COperationDevice::LockDevice() {
    KIRQL old;
    KeAcquireSpinLock(&m_lock, &old);
    m_lockIrql = old;
    m_lockOwner = KeGetCurrentThread();
}

void COperationDevice::UnlockDevice() {
    const KIRQL old = m_lockIrql;
    m_lockOwner = nullptr;
    KeReleaseSpinLock(&m_lock, old);
}

bool COperationDevice::BeginOperation(PIRP irp, PDRIVER_CANCEL cancelRoutine) {
    WdmPausePoint("BeginOperation");
    LockDevice();
    m_operationIrp = irp;
    m_operationCancellable = cancelRoutine != nullptr;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        m_operationIrp = nullptr;
        UnlockDevice();
        CompleteIrp(irp, STATUS_CANCELLED, 0);
        StartNextRequest();
        return false;
    }
    IoSetCancelRoutine(irp, cancelRoutine);
    IoReleaseCancelSpinLock(irql);
    WdmPausePoint("OperationOwned");
    return true;
}

bool COperationDevice::TakeOperationIrpLocked(PIRP* irp) {
    *irp = m_operationIrp;
    m_operationIrp = nullptr;
    if (*irp == nullptr)
        return false;
    // The cancel routine is taken while the lock is held: once the lock is released, a cancel
    // routine that runs finds the operation without a request and completes the request itself.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(*irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    return !(m_operationCancellable && routine == nullptr && (*irp)->Cancel);
}

void COperationDevice::FinishOperation(NTSTATUS status, ULONG_PTR information) {
    WdmPausePoint("FinishOperation");
    PIRP irp;
    const bool mine = TakeOperationIrpLocked(&irp);
    UnlockDevice();
    if (irp != nullptr && !mine)
        return;  // its cancel routine, waiting for the lock, completes it and starts the next
    if (irp != nullptr)
        CompleteIrp(irp, status, information);
    StartNextRequest();
}

void COperationDevice::CancelOperation(PIRP irp) {
    WdmPausePoint("CancelOperation");
    LockDevice();
    bool startNext = true;
    if (m_operationIrp == irp) {
        startNext = StopForCancel();
        m_operationIrp = nullptr;
    }
    UnlockDevice();
    CompleteIrp(irp, STATUS_CANCELLED, 0);
    if (startNext)
        StartNextRequest();
}

void COperationDevice::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    static_cast<COperationDevice*>(FromDeviceObject(device))->CancelOperation(irp);
}

void COperationDevice::CancelFileRequest(PFILE_OBJECT file) {
    LockDevice();
    PIRP irp = m_operationIrp;
    if (irp == nullptr || !m_operationCancellable ||
        IoGetCurrentIrpStackLocation(irp)->FileObject != file) {
        UnlockDevice();  // none, or one that ends by itself
        return;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    if (routine == nullptr) {
        UnlockDevice();  // its cancel routine is on its way and completes it
        return;
    }
    const bool startNext = StopForCancel();
    m_operationIrp = nullptr;
    UnlockDevice();
    CompleteIrp(irp, STATUS_CANCELLED, 0);
    if (startNext)
        StartNextRequest();
}

void COperationDevice::AbortCurrentRequest(NTSTATUS status) {
    LockDevice();
    StopOperation();
    PIRP irp;
    const bool mine = TakeOperationIrpLocked(&irp);
    UnlockDevice();
    if (irp != nullptr && mine)
        CompleteIrp(irp, status, 0);
}

NTSTATUS COperationDevice::QueueRead(PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0)
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    return QueueIrp(irp);
}

NTSTATUS COperationDevice::DispatchIoctl(PIRP irp, const CIoctlRule* rules, size_t count) {
    const CIoctlRule* rule = nullptr;
    const NTSTATUS status = CheckIoctlRule(rules, count, IoGetCurrentIrpStackLocation(irp), &rule);
    if (!NT_SUCCESS(status))
        return CompleteIrp(irp, status, 0);
    if (rule->stage == CIoctlRule::Stage::Immediate)
        return RunImmediateIoctl(irp, *rule);
    return QueueIrp(irp);
}

// ---- Control-code rules

NTSTATUS CheckIoctlRule(const CIoctlRule* rules, size_t count, PIO_STACK_LOCATION stack,
                        const CIoctlRule** rule) {
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG output = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const CIoctlRule* found =
        std::find_if(rules, rules + count, [code](const CIoctlRule& r) { return r.code == code; });
    if (found == rules + count)
        return STATUS_NOT_IMPLEMENTED;
    const bool inputOk =
        found->input == CIoctlRule::Input::Any ||
        (found->input == CIoctlRule::Input::Exact && input == found->inputLength) ||
        (found->input == CIoctlRule::Input::AtLeast && input >= found->inputLength);
    if (!inputOk)
        return STATUS_INVALID_PARAMETER;
    if (output < found->outputLength)
        return STATUS_BUFFER_TOO_SMALL;
    *rule = found;
    return STATUS_SUCCESS;
}

// ---- Board driver entry and unload

NTSTATUS InstallBoardDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                            const CBoardDriverRoutines& routines, CPnpDriver** driver) {
    *driver = CPnpDriver::Create(driverObject, registryPath);
    if (*driver == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    driverObject->DriverStartIo = routines.startIo;
    driverObject->MajorFunction[IRP_MJ_READ] = routines.read;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = routines.deviceControl;
    driverObject->DriverUnload = routines.unload;
    driverObject->DriverExtension->AddDevice = routines.addDevice;
    return STATUS_SUCCESS;
}

void RemoveBoardDriver(CPnpDriver** driver) {
    CPnpDriver::Destroy(*driver);
    *driver = nullptr;
}
