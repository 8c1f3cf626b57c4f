// User-mode stand-in for the WDM kernel, HAL and I/O manager calls the capture-board drivers make.
//
// How the kernel's rules map onto user-mode threads:
// - IRQL is a per-thread level. KeRaiseIrql/KeLowerIrql change it; every call that the kernel
//   restricts to a level asserts it (WdmAssert aborts with a message in every build).
// - A spin lock is a real mutex that raises the acquiring thread to DISPATCH_LEVEL and records
//   its owner; acquiring it again on the owning thread is a deadlock and aborts.
// - The cancel spin lock is one process-wide spin lock; cancel routines run with it held, at
//   DISPATCH_LEVEL, on the thread that called IoCancelIrp, and release it themselves.
// - DPCs (queued by KeInsertQueueDpc, IoRequestDpc or an expiring timer) run one at a time on
//   one DPC worker thread at DISPATCH_LEVEL: a second processor, so a DPC can run while another
//   thread is inside start-I/O, exactly the concurrency the device spin lock guards against.
// - Timers run on the system clock (see wdmhost.h): either simulated time, which moves only when
//   the host advances it and by a fixed cost per bus access or stall, or real time.
// - An interrupt service routine runs on the interrupt thread of the board's line, at the
//   interrupt's DIRQL, holding the interrupt spin lock.
// - Start-I/O runs at DISPATCH_LEVEL on the thread that called IoStartPacket or
//   IoStartNextPacket; nested starts are deferred to the outermost call, as the I/O manager does.
// - Dispatch routines run at PASSIVE_LEVEL on the calling user thread.
// WCHAR is wchar_t here (four bytes): UNICODE_STRING lengths are in bytes of that width.
#pragma once

#include <windef.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <new>

// ---------------------------------------------------------------------------------------------
// Basic types and status codes

typedef LONG NTSTATUS;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char CCHAR;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef wchar_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef USHORT* PUSHORT;
typedef UCHAR* PUCHAR;
typedef ULONG DEVICE_TYPE;
typedef ULONG_PTR KAFFINITY;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_DATA_OVERRUN ((NTSTATUS)0xC000003CL)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)

#define KernelMode 0
#define UserMode 1

// Aborts with the expression and location when a kernel rule is broken.
void WdmAssertFailed(const char* expression, const char* file, int line);
// A named point where a test may stop this thread (see wdm::ArmPausePoint); compiled to nothing
// in a kernel build.
void WdmPausePoint(const char* name);
// Brackets a polling loop whose deadline the hardware's timing specifies: like a processor
// stall, the time it takes is not charged to the DPC watchdog.
void WdmBeginSpecifiedWait();
void WdmEndSpecifiedWait();
struct WdmSpecifiedWait {
    WdmSpecifiedWait() { WdmBeginSpecifiedWait(); }
    ~WdmSpecifiedWait() { WdmEndSpecifiedWait(); }
    WdmSpecifiedWait(const WdmSpecifiedWait&) = delete;
    WdmSpecifiedWait& operator=(const WdmSpecifiedWait&) = delete;
};
#define WdmAssert(e) ((e) ? (void)0 : WdmAssertFailed(#e, __FILE__, __LINE__))
#ifndef ASSERT
#define ASSERT(e) WdmAssert(e)
#endif

ULONG DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

#define RtlZeroMemory(d, n) std::memset((d), 0, (n))
#define RtlCopyMemory(d, s, n) std::memcpy((d), (s), (n))
#define RtlFillMemory(d, n, v) std::memset((d), (v), (n))

// ---------------------------------------------------------------------------------------------
// Strings

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);

// ---------------------------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);

// ---------------------------------------------------------------------------------------------
// IRQL and spin locks

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel();

typedef struct _KTHREAD* PKTHREAD;
// The calling thread's identity (stable for the thread's life, never dereferenced).
PKTHREAD KeGetCurrentThread();

struct KSPIN_LOCK {
    std::mutex mutex;
    std::atomic<PKTHREAD> owner{nullptr};
};
typedef KSPIN_LOCK* PKSPIN_LOCK;

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// ---------------------------------------------------------------------------------------------
// DPCs, timers, events, time

struct _KDPC;
typedef void KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    bool Inserted;  // guarded by the DPC queue
} KDPC, *PKDPC, *PRKDPC;

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// Waits until every DPC queued before the call has run (PASSIVE_LEVEL only).
void KeFlushQueuedDpcs();

typedef struct _KTIMER {
    LONGLONG DueTime;  // absolute system time, 100 ns units
    PKDPC Dpc;
    bool Inserted;  // guarded by the clock
    bool Signalled;
    ULONGLONG Sequence;
} KTIMER, *PKTIMER, *PRKTIMER;

void KeInitializeTimer(PKTIMER Timer);
// DueTime negative: relative, in 100 ns units; positive: absolute system time.
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
struct KEVENT {
    EVENT_TYPE Type;
    bool Signalled;
    std::mutex Lock;
    std::condition_variable Condition;
};
typedef KEVENT* PKEVENT;
typedef KEVENT* PRKEVENT;
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
// Waits on a KEVENT. Timeout null: for ever; else negative relative 100 ns units.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
void KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
void KeStallExecutionProcessor(ULONG MicroSeconds);

// ---------------------------------------------------------------------------------------------
// Resources, MDLs, register and port access

typedef enum _INTERFACE_TYPE { Internal = 0, PCIBus = 5 } INTERFACE_TYPE;
typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;
typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1 } MEMORY_CACHING_TYPE;
typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3

#define CM_RESOURCE_PORT_IO 0x0004
#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0

#define CmResourceShareDeviceExclusive 1
#define CmResourceShareShared 3

typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            ULONG Level;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
    ULONG Count;
    CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                   MEMORY_CACHING_TYPE CacheType);
void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

UCHAR READ_PORT_UCHAR(PUCHAR Port);
USHORT READ_PORT_USHORT(PUSHORT Port);
ULONG READ_PORT_ULONG(PULONG Port);
void WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
void WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
void WRITE_PORT_ULONG(PULONG Port, ULONG Value);
UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register);
USHORT READ_REGISTER_USHORT(volatile USHORT* Register);
ULONG READ_REGISTER_ULONG(volatile ULONG* Register);
void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value);
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value);
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);

typedef struct _MDL {
    struct _MDL* Next;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
    PVOID MappedSystemVa;
} MDL, *PMDL;

// User buffers share the address space here, so the system address is the buffer itself.
PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);
inline ULONG MmGetMdlByteCount(PMDL Mdl) {
    return Mdl->ByteCount;
}
inline PVOID MmGetMdlVirtualAddress(PMDL Mdl) {
    return Mdl->StartVa;
}

// ---------------------------------------------------------------------------------------------
// Objects of the I/O manager

struct _IRP;
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _FILE_OBJECT;
struct _KINTERRUPT;
typedef struct _IRP IRP, *PIRP;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _KINTERRUPT* PKINTERRUPT;

typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef void DRIVER_STARTIO(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_STARTIO* PDRIVER_STARTIO;
typedef void DRIVER_CANCEL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef void DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject,
                                   PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef void IO_DPC_ROUTINE(PKDPC Dpc, PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_DPC_ROUTINE* PIO_DPC_ROUTINE;
typedef BOOLEAN KSERVICE_ROUTINE(PKINTERRUPT Interrupt, PVOID ServiceContext);
typedef KSERVICE_ROUTINE* PKSERVICE_ROUTINE;
typedef BOOLEAN KSYNCHRONIZE_ROUTINE(PVOID SynchronizeContext);
typedef KSYNCHRONIZE_ROUTINE* PKSYNCHRONIZE_ROUTINE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define DO_BUFFERED_IO 0x00000004
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define IO_NO_INCREMENT 0

#ifndef CTL_CODE  // winioctl.h may have them already
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access)                                  \
    (((ULONG)(DeviceType) << 16) | ((ULONG)(Access) << 14) | ((ULONG)(Function) << 2) | \
     (ULONG)(Method))
#endif

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6
} SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4
} DEVICE_POWER_STATE;
typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;
typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef struct _IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PCM_RESOURCE_LIST AllocatedResources;
            PCM_RESOURCE_LIST AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _KDEVICE_QUEUE_ENTRY {
    PIRP Irp;  // the IRP that embeds this entry
    ULONG SortKey;
    BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY;

struct KDEVICE_QUEUE {
    std::mutex Lock;
    std::deque<PKDEVICE_QUEUE_ENTRY> Entries;
    BOOLEAN Busy = FALSE;
};
typedef KDEVICE_QUEUE* PKDEVICE_QUEUE;

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry);
PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue);
BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry);

constexpr int kWdmMaxStackSize = 8;

struct _IRP {
    PMDL MdlAddress;
    ULONG Flags;
    union {
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CCHAR StackCount;
    CCHAR CurrentLocation;
    volatile BOOLEAN Cancel;
    KIRQL CancelIrql;
    std::atomic<PDRIVER_CANCEL> CancelRoutine;
    PVOID UserBuffer;
    struct {
        struct {
            KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
            PVOID DriverContext[4];
            PIO_STACK_LOCATION CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;

    // The I/O manager's own bookkeeping.
    IO_STACK_LOCATION Stack[kWdmMaxStackSize];
    std::function<void(PIRP)> OnCompleted;  // after the last completion routine
    std::atomic<int> References;
    ULONG Magic;
};

struct _DRIVER_EXTENSION {
    PDRIVER_ADD_DEVICE AddDevice;
};

struct _DRIVER_OBJECT {
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    struct _DRIVER_EXTENSION* DriverExtension;
    UNICODE_STRING DriverName;
    PDRIVER_STARTIO DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    struct _DRIVER_EXTENSION Extension;
};

struct _DEVICE_OBJECT {
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;

    // The I/O manager's own bookkeeping.
    PDEVICE_OBJECT LowerDevice;  // the device this one is attached to
    WCHAR Name[64];
    std::atomic<int> References;
    std::atomic<bool> DeletePending;
    PIO_DPC_ROUTINE DpcForIsrRoutine;
};

struct _FILE_OBJECT {
    PDEVICE_OBJECT DeviceObject;
    PVOID FsContext;
    PVOID FsContext2;
};

#define IoGetCurrentIrpStackLocation(Irp) ((Irp)->Tail.Overlay.CurrentStackLocation)
#define IoGetNextIrpStackLocation(Irp) ((Irp)->Tail.Overlay.CurrentStackLocation - 1)
inline void IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}
inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
void IoCopyCurrentIrpStackLocationToNext(PIRP Irp);
void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel);
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return Irp->CancelRoutine.exchange(CancelRoutine);
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice);
void IoDetachDevice(PDEVICE_OBJECT TargetDevice);

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
void IoFreeIrp(PIRP Irp);
NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
BOOLEAN IoCancelIrp(PIRP Irp);
void IoAcquireCancelSpinLock(PKIRQL Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);

void IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key,
                   PDRIVER_CANCEL CancelFunction);
void IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable);

void IoInitializeDpcRequest(PDEVICE_OBJECT DeviceObject, PIO_DPC_ROUTINE DpcRoutine);
void IoRequestDpc(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                            PVOID ServiceContext, PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                            KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode,
                            BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave);
void IoDisconnectInterrupt(PKINTERRUPT InterruptObject);
BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext);

void PoStartNextPowerIrp(PIRP Irp);
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);

// Kernel-style placement of C++ objects in pool (operator new(size, pool) returns null on
// failure instead of throwing).
void* operator new(size_t size, POOL_TYPE pool);
void operator delete(void* p, POOL_TYPE pool);
