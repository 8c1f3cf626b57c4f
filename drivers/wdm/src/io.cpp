// I/O manager of the stand-in: device objects and their names, symbolic links, IRPs and their
// stack, completion, cancellation, the start-I/O queue and DPC requests.
#include "internal.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <map>

namespace wdm {
namespace {

constexpr ULONG kIrpMagic = 0x49525021;  // "IRP!" while the IRP is live
constexpr wchar_t kDosDevicesPrefix[] = L"\\DosDevices\\";
constexpr wchar_t kGlobalPrefix[] = L"\\??\\";

struct Namespace {
    std::mutex lock;
    std::map<std::wstring, PDEVICE_OBJECT> devices;  // by device name
    std::map<std::wstring, std::wstring> links;      // link name -> device name
};

Namespace& Names() {
    static auto* n = new Namespace;
    return *n;
}

std::wstring ToWide(PCUNICODE_STRING s) {
    return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

// The object namespace ignores case, as the kernel's does.
std::wstring FoldCase(std::wstring s) {
    for (auto& c : s)
        c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

KSPIN_LOCK& CancelLock() {
    static auto* lock = new KSPIN_LOCK;
    return *lock;
}

void FreeDevice(PDEVICE_OBJECT device) {
    device->~_DEVICE_OBJECT();
    ExFreePool(device);
}

// The trampoline between the device's DPC object and its DpcForIsr routine.
void DpcForIsrTrampoline(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    auto device = static_cast<PDEVICE_OBJECT>(Context);
    device->DpcForIsrRoutine(Dpc, device, static_cast<PIRP>(Argument1), Argument2);
}

// The devices whose start-I/O routine runs on this thread, each with whether a completion on
// this thread asked for the next request meanwhile.
struct StartIoFrame {
    PDEVICE_OBJECT device;
    bool startNext;
};
thread_local std::vector<StartIoFrame> t_startIo;

StartIoFrame* FrameOf(PDEVICE_OBJECT device) {
    for (auto& frame : t_startIo) {
        if (frame.device == device)
            return &frame;
    }
    return nullptr;
}

// Runs start-I/O for `irp` and then every start that completions on this thread deferred
// meanwhile (the kernel's deferred start-I/O: no recursion into the driver). Another thread's
// IoStartNextPacket runs the next request at once, as a second processor would. Entered with
// the cancel spin lock held at DISPATCH_LEVEL; returns with it held.
void RunStartIo(PDEVICE_OBJECT device, PIRP irp) {
    t_startIo.push_back({device, false});
    for (;;) {
        FrameOf(device)->startNext = false;
        KeReleaseSpinLockFromDpcLevel(&CancelLock());
        device->DriverObject->DriverStartIo(device, irp);
        KeAcquireSpinLockAtDpcLevel(&CancelLock());
        if (!FrameOf(device)->startNext) {
            t_startIo.pop_back();
            return;
        }
        PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&device->DeviceQueue);
        irp = entry != nullptr ? entry->Irp : nullptr;
        device->CurrentIrp = irp;
        if (irp == nullptr) {
            t_startIo.pop_back();
            return;
        }
    }
}

}  // namespace

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s)
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

PDEVICE_OBJECT ReferenceDeviceByName(const std::wstring& deviceName) {
    Namespace& n = Names();
    std::lock_guard<std::mutex> guard(n.lock);
    auto it = n.devices.find(deviceName);
    if (it == n.devices.end() || it->second->DeletePending)
        return nullptr;
    it->second->References++;
    return it->second;
}

void DereferenceDevice(PDEVICE_OBJECT device) {
    if (--device->References == 0)
        FreeDevice(device);
}

}  // namespace wdm

using namespace wdm;

// ---- Device objects and names

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN, PDEVICE_OBJECT* DeviceObject) {
    WdmAssert(KeGetCurrentIrql() == PASSIVE_LEVEL);
    *DeviceObject = nullptr;
    const size_t header = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    void* memory = ExAllocatePoolWithTag(NonPagedPool, header + DeviceExtensionSize, 0x49447669u);
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto device = new (memory) DEVICE_OBJECT();
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? static_cast<char*>(memory) + header : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->References = 1;
    if (DeviceName != nullptr) {
        std::wstring name = ToWide(DeviceName);
        if (name.size() >= sizeof(device->Name) / sizeof(WCHAR)) {
            FreeDevice(device);
            return STATUS_INVALID_PARAMETER;
        }
        Namespace& n = Names();
        std::lock_guard<std::mutex> guard(n.lock);
        if (n.devices.count(name) != 0) {
            FreeDevice(device);
            return STATUS_OBJECT_NAME_COLLISION;
        }
        std::wcsncpy(device->Name, name.c_str(), sizeof(device->Name) / sizeof(WCHAR) - 1);
        n.devices[name] = device;
    }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    WdmAssert(KeGetCurrentIrql() == PASSIVE_LEVEL);
    {
        Namespace& n = Names();
        std::lock_guard<std::mutex> guard(n.lock);
        if (DeviceObject->Name[0] != 0)
            n.devices.erase(DeviceObject->Name);
    }
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != nullptr && *link != DeviceObject)
        link = &(*link)->NextDevice;
    if (*link == DeviceObject)
        *link = DeviceObject->NextDevice;
    DeviceObject->DeletePending = true;
    DereferenceDevice(DeviceObject);  // freed once open files let go of it
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    WdmAssert(KeGetCurrentIrql() == PASSIVE_LEVEL);
    std::wstring link = ToWide(SymbolicLinkName);
    std::wstring target = ToWide(DeviceName);
    {
        Namespace& n = Names();
        std::lock_guard<std::mutex> guard(n.lock);
        if (n.links.count(FoldCase(link)) != 0)
            return STATUS_OBJECT_NAME_COLLISION;
        n.links[FoldCase(link)] = target;
    }
    std::wstring win32 = link;
    for (const wchar_t* prefix : {kDosDevicesPrefix, kGlobalPrefix}) {
        if (win32.rfind(prefix, 0) == 0)
            win32 = win32.substr(std::wcslen(prefix));
    }
    PublishDeviceLink(win32, target);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    std::wstring link = ToWide(SymbolicLinkName);
    {
        Namespace& n = Names();
        std::lock_guard<std::mutex> guard(n.lock);
        if (n.links.erase(FoldCase(link)) == 0)
            return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::wstring win32 = link;
    for (const wchar_t* prefix : {kDosDevicesPrefix, kGlobalPrefix}) {
        if (win32.rfind(prefix, 0) == 0)
            win32 = win32.substr(std::wcslen(prefix));
    }
    UnpublishDeviceLink(win32);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    WdmAssert(top->StackSize + 1 <= kWdmMaxStackSize);
    top->AttachedDevice = SourceDevice;
    SourceDevice->LowerDevice = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    if (TargetDevice->AttachedDevice != nullptr) {
        TargetDevice->AttachedDevice->LowerDevice = nullptr;
        TargetDevice->AttachedDevice = nullptr;
    }
}

// ---- IRPs

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    WdmAssert(StackSize > 0 && StackSize <= kWdmMaxStackSize);
    auto irp = new (std::nothrow) IRP();
    if (irp == nullptr)
        return nullptr;
    irp->StackCount = StackSize;
    irp->CurrentLocation = static_cast<CCHAR>(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = &irp->Stack[static_cast<int>(StackSize)];
    irp->Tail.Overlay.DeviceQueueEntry.Irp = irp;
    irp->IoStatus.Status = STATUS_PENDING;
    irp->References = 1;
    irp->Magic = kIrpMagic;
    return irp;
}

void IoFreeIrp(PIRP Irp) {
    WdmAssert(Irp->Magic == kIrpMagic);
    if (--Irp->References > 0)
        return;
    Irp->Magic = 0;
    delete Irp;
}

void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    *next = *current;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
}

void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                            BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess)
        next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    WdmAssert(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    WdmAssert(Irp->Magic == kIrpMagic);
    WdmAssert(Irp->CurrentLocation > 1);  // a stack location must remain for the target
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    WdmAssert(dispatch != nullptr);
    NTSTATUS status = dispatch(DeviceObject, Irp);
    return status;
}

void IoCompleteRequest(PIRP Irp, CCHAR) {
    WdmAssert(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    WdmAssert(Irp->Magic == kIrpMagic);
    WdmAssert(Irp->IoStatus.Status != STATUS_PENDING);
    WdmAssert(Irp->CancelRoutine.load() == nullptr);  // a completed IRP keeps no cancel routine
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        const UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT upper = Irp->CurrentLocation <= Irp->StackCount
                                       ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                       : nullptr;
            if (routine(upper, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    if (Irp->OnCompleted)
        Irp->OnCompleted(Irp);
    IoFreeIrp(Irp);
}

// ---- Cancellation

void IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&CancelLock(), Irql);
}
void IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&CancelLock(), Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    WdmAssert(Irp->Magic == kIrpMagic);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    routine(device, Irp);  // releases the cancel spin lock
    WdmAssert(KeGetCurrentIrql() == irql);
    return TRUE;
}

// ---- Start-I/O queue

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    std::lock_guard<std::mutex> guard(DeviceQueue->Lock);
    if (!DeviceQueue->Busy) {
        DeviceQueue->Busy = TRUE;
        return FALSE;
    }
    DeviceQueue->Entries.push_back(DeviceQueueEntry);
    DeviceQueueEntry->Inserted = TRUE;
    return TRUE;
}

PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
    std::lock_guard<std::mutex> guard(DeviceQueue->Lock);
    WdmAssert(DeviceQueue->Busy);
    if (DeviceQueue->Entries.empty()) {
        DeviceQueue->Busy = FALSE;
        return nullptr;
    }
    PKDEVICE_QUEUE_ENTRY entry = DeviceQueue->Entries.front();
    DeviceQueue->Entries.pop_front();
    entry->Inserted = FALSE;
    return entry;
}

BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue,
                                 PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    std::lock_guard<std::mutex> guard(DeviceQueue->Lock);
    auto it = std::find(DeviceQueue->Entries.begin(), DeviceQueue->Entries.end(), DeviceQueueEntry);
    if (it == DeviceQueue->Entries.end())
        return FALSE;
    DeviceQueue->Entries.erase(it);
    DeviceQueueEntry->Inserted = FALSE;
    return TRUE;
}

void IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key,
                   PDRIVER_CANCEL CancelFunction) {
    WdmAssert(DeviceObject->DriverObject->DriverStartIo != nullptr);
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    if (CancelFunction != nullptr)
        IoSetCancelRoutine(Irp, CancelFunction);
    Irp->Tail.Overlay.DeviceQueueEntry.SortKey = Key != nullptr ? *Key : 0;
    if (KeInsertDeviceQueue(&DeviceObject->DeviceQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
        // Queued behind the current request. One cancelled on its way in goes at once.
        if (Irp->Cancel && CancelFunction != nullptr &&
            IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            Irp->CancelIrql = old;
            CancelFunction(DeviceObject, Irp);
            return;
        }
        IoReleaseCancelSpinLock(old);
        return;
    }
    DeviceObject->CurrentIrp = Irp;
    RunStartIo(DeviceObject, Irp);
    IoReleaseCancelSpinLock(old);
}

void IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN) {
    WdmAssert(KeGetCurrentIrql() == DISPATCH_LEVEL);
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    if (StartIoFrame* frame = FrameOf(DeviceObject); frame != nullptr) {
        // This thread's start-I/O is running: it starts the next one on return.
        frame->startNext = true;
        IoReleaseCancelSpinLock(old);
        return;
    }
    PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&DeviceObject->DeviceQueue);
    PIRP next = entry != nullptr ? entry->Irp : nullptr;
    DeviceObject->CurrentIrp = next;
    if (next != nullptr)
        RunStartIo(DeviceObject, next);
    IoReleaseCancelSpinLock(old);
}

// ---- DPC requests

void IoInitializeDpcRequest(PDEVICE_OBJECT DeviceObject, PIO_DPC_ROUTINE DpcRoutine) {
    DeviceObject->DpcForIsrRoutine = DpcRoutine;
    KeInitializeDpc(&DeviceObject->Dpc, DpcForIsrTrampoline, DeviceObject);
}

void IoRequestDpc(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    KeInsertQueueDpc(&DeviceObject->Dpc, Irp, Context);
}

// ---- Power

void PoStartNextPowerIrp(PIRP) {}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IoCallDriver(DeviceObject, Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE State) {
    return State;
}
