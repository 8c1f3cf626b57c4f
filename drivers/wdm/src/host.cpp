// Driver host: loads a driver, enumerates simulated boards through a small bus driver, and
// turns the user-mode file calls of winapi into IRPs on the driver's device objects.
#include "internal.h"

#include <winapi_devices.h>
#include <winbase.h>

#include <dlfcn.h>

#include <algorithm>
#include <condition_variable>
#include <vector>

namespace wdm {
namespace {

// ---- The bus driver that owns the boards' physical device objects.

NTSTATUS BusDispatchPnp(PDEVICE_OBJECT, PIRP Irp) {
    // Every PnP request the function driver passes down succeeds at the bus.
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS BusDispatchPower(PDEVICE_OBJECT, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS BusDispatchOther(PDEVICE_OBJECT, PIRP Irp) {
    NTSTATUS status = Irp->IoStatus.Status;  // WMI and the rest: left as the sender set it
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

PDRIVER_OBJECT BusDriver() {
    static PDRIVER_OBJECT driver = [] {
        auto d = new DRIVER_OBJECT{};
        d->DriverExtension = &d->Extension;
        for (auto& f : d->MajorFunction)
            f = BusDispatchOther;
        d->MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
        d->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
        return d;
    }();
    return driver;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

struct SyncResult {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// Sends an IRP built by `fill` to the top of `top`'s stack and waits for it to complete.
NTSTATUS SendAndWait(PDEVICE_OBJECT top, NTSTATUS initialStatus,
                     const std::function<void(PIO_STACK_LOCATION)>& fill) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = initialStatus;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    fill(stack);
    auto result = std::make_shared<SyncResult>();
    irp->OnCompleted = [result](PIRP done) {
        std::lock_guard<std::mutex> guard(result->lock);
        result->status = done->IoStatus.Status;
        result->information = done->IoStatus.Information;
        result->finished = true;
        result->done.notify_all();
    };
    IoCallDriver(top, irp);
    std::unique_lock<std::mutex> l(result->lock);
    result->done.wait(l, [&] { return result->finished; });
    return result->status;
}

// ---- User-mode handles on a device.

class DeviceFile : public WinapiDeviceFile {
public:
    explicit DeviceFile(PDEVICE_OBJECT device) : device_(device) { file_.DeviceObject = device; }

    ~DeviceFile() override {
        if (opened_) {
            // The last handle went: cleanup asks the driver to end the file's requests (the I/O
            // manager cancels none itself), then close follows once they have completed.
            if (!device_->DeletePending)
                SendSimple(IRP_MJ_CLEANUP);
            {
                std::unique_lock<std::mutex> l(lock_);
                drained_.wait(l, [this] { return outstanding_.empty(); });
            }
            if (!device_->DeletePending)
                SendSimple(IRP_MJ_CLOSE);
        }
        DereferenceDevice(device_);
    }

    NTSTATUS Create() {
        if (device_->DeletePending)
            return STATUS_DELETE_PENDING;
        NTSTATUS status = SendSimple(IRP_MJ_CREATE);
        opened_ = NT_SUCCESS(status);
        return status;
    }

    bool Read(void* buffer, DWORD length, WinapiIoCompletion* completion) override {
        return Transfer(IRP_MJ_READ, buffer, length, completion);
    }

    bool Write(const void* buffer, DWORD length, WinapiIoCompletion* completion) override {
        return Transfer(IRP_MJ_WRITE, const_cast<void*>(buffer), length, completion);
    }

    bool DeviceIoControl(DWORD code, const void* input, DWORD inputLength, void* output,
                         DWORD outputLength, WinapiIoCompletion* completion) override {
        PIRP irp = NewIrp(completion);
        if (irp == nullptr)
            return false;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;

        void* systemBuffer = nullptr;
        PMDL mdl = nullptr;
        const DWORD method = code & 3;
        if (method == METHOD_BUFFERED) {
            const DWORD size = std::max(inputLength, outputLength);
            if (size != 0) {
                systemBuffer = ExAllocatePoolWithTag(NonPagedPool, size, 0x53427566u);
                if (systemBuffer == nullptr)
                    return Fail(irp, completion, STATUS_INSUFFICIENT_RESOURCES);
                if (inputLength != 0)
                    std::memcpy(systemBuffer, input, inputLength);
            }
        } else if (method == METHOD_NEITHER) {
            stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
            irp->UserBuffer = output;
        } else {
            if (inputLength != 0) {
                systemBuffer = ExAllocatePoolWithTag(NonPagedPool, inputLength, 0x53427566u);
                if (systemBuffer == nullptr)
                    return Fail(irp, completion, STATUS_INSUFFICIENT_RESOURCES);
                std::memcpy(systemBuffer, input, inputLength);
            }
            if (outputLength != 0)
                mdl = new MDL{nullptr, output, outputLength, 0, nullptr};
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        irp->MdlAddress = mdl;
        irp->OnCompleted = [this, completion, systemBuffer, mdl, method, output,
                            outputLength](PIRP done) {
            ULONG_PTR information = done->IoStatus.Information;
            if (method == METHOD_BUFFERED && NT_SUCCESS(done->IoStatus.Status)) {
                // The I/O manager copies back as many bytes as the driver says it returned:
                // more than the caller's buffer holds would overwrite the caller's memory.
                WdmAssert(information <= outputLength);
                if (information != 0)
                    std::memcpy(output, systemBuffer, information);
            }
            if (systemBuffer != nullptr)
                ExFreePool(systemBuffer);
            delete mdl;
            Finish(done, completion, information);
        };
        return Issue(irp);
    }

    void CancelThreadRequests(DWORD threadId) override {
        CancelMatching([threadId](DWORD t) { return t == threadId; });
    }

private:
    struct Outstanding {
        PIRP irp;
        DWORD thread;
    };

    PIRP NewIrp(WinapiIoCompletion* completion) {
        PDEVICE_OBJECT top = TopOfStack(device_);
        PIRP irp = device_->DeletePending ? nullptr : IoAllocateIrp(top->StackSize, FALSE);
        if (irp == nullptr) {
            completion->Complete(
                device_->DeletePending ? STATUS_DELETE_PENDING : STATUS_INSUFFICIENT_RESOURCES, 0);
            return nullptr;
        }
        irp->RequestorMode = UserMode;
        irp->Tail.Overlay.OriginalFileObject = &file_;
        IoGetNextIrpStackLocation(irp)->FileObject = &file_;
        return irp;
    }

    bool Fail(PIRP irp, WinapiIoCompletion* completion, NTSTATUS status) {
        IoFreeIrp(irp);
        completion->Complete(status, 0);
        return false;
    }

    bool Transfer(UCHAR major, void* buffer, DWORD length, WinapiIoCompletion* completion) {
        PIRP irp = NewIrp(completion);
        if (irp == nullptr)
            return false;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->Parameters.Read.Length = length;  // Read and Write share the layout
        PDEVICE_OBJECT top = TopOfStack(device_);
        void* systemBuffer = nullptr;
        PMDL mdl = nullptr;
        if (top->Flags & DO_DIRECT_IO) {
            if (length != 0)
                mdl = new MDL{nullptr, buffer, length, 0, nullptr};
        } else if (top->Flags & DO_BUFFERED_IO) {
            if (length != 0) {
                systemBuffer = ExAllocatePoolWithTag(NonPagedPool, length, 0x53427566u);
                if (systemBuffer == nullptr)
                    return Fail(irp, completion, STATUS_INSUFFICIENT_RESOURCES);
                if (major == IRP_MJ_WRITE)
                    std::memcpy(systemBuffer, buffer, length);
            }
        } else {
            irp->UserBuffer = buffer;
        }
        irp->MdlAddress = mdl;
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        irp->OnCompleted = [this, completion, systemBuffer, mdl, major, buffer, length](PIRP done) {
            ULONG_PTR information = std::min<ULONG_PTR>(done->IoStatus.Information, length);
            if (systemBuffer != nullptr) {
                if (major == IRP_MJ_READ && NT_SUCCESS(done->IoStatus.Status)) {
                    std::memcpy(buffer, systemBuffer, information);
                }
                ExFreePool(systemBuffer);
            }
            delete mdl;
            Finish(done, completion, information);
        };
        return Issue(irp);
    }

    bool Issue(PIRP irp) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            outstanding_.push_back({irp, GetCurrentThreadId()});
        }
        // The driver's stack location, checked after the call: STATUS_PENDING is returned only
        // for a request marked pending.
        PIO_STACK_LOCATION top = IoGetNextIrpStackLocation(irp);
        irp->References++;
        const NTSTATUS status = IoCallDriver(TopOfStack(device_), irp);
        if (status == STATUS_PENDING)
            WdmAssert((top->Control & SL_PENDING_RETURNED) != 0);
        IoFreeIrp(irp);
        return status == STATUS_PENDING;
    }

    void Finish(PIRP irp, WinapiIoCompletion* completion, ULONG_PTR information) {
        const NTSTATUS status = irp->IoStatus.Status;
        completion->Complete(status, NT_SUCCESS(status) ? information : 0);
        // Last touch of this file: its destructor may run as soon as the lock is released.
        std::lock_guard<std::mutex> guard(lock_);
        outstanding_.erase(std::remove_if(outstanding_.begin(), outstanding_.end(),
                                          [irp](const Outstanding& o) { return o.irp == irp; }),
                           outstanding_.end());
        if (outstanding_.empty())
            drained_.notify_all();
    }

    template <class Match>
    void CancelMatching(Match match) {
        std::vector<PIRP> victims;
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (const auto& o : outstanding_) {
                if (!match(o.thread))
                    continue;
                o.irp->References++;  // keeps the IRP alive if it completes meanwhile
                victims.push_back(o.irp);
            }
        }
        for (PIRP irp : victims) {
            IoCancelIrp(irp);
            IoFreeIrp(irp);
        }
    }

    NTSTATUS SendSimple(UCHAR major) {
        return SendAndWait(TopOfStack(device_), STATUS_SUCCESS,
                           [this, major](PIO_STACK_LOCATION s) {
                               s->MajorFunction = major;
                               s->FileObject = &file_;
                           });
    }

    PDEVICE_OBJECT device_;  // referenced
    FILE_OBJECT file_{};
    bool opened_ = false;
    std::mutex lock_;
    std::condition_variable drained_;
    std::vector<Outstanding> outstanding_;
};

class DeviceLink : public WinapiDevice {
public:
    explicit DeviceLink(std::wstring deviceName) : deviceName_(std::move(deviceName)) {}

    std::unique_ptr<WinapiDeviceFile> Open(DWORD, LONG* ntStatus) override {
        PDEVICE_OBJECT device = ReferenceDeviceByName(deviceName_);
        if (device == nullptr) {
            *ntStatus = STATUS_OBJECT_NAME_NOT_FOUND;
            return nullptr;
        }
        auto file = std::make_unique<DeviceFile>(device);
        NTSTATUS status = file->Create();
        if (!NT_SUCCESS(status)) {
            *ntStatus = status;
            return nullptr;
        }
        *ntStatus = STATUS_SUCCESS;
        return file;
    }

private:
    std::wstring deviceName_;
};

}  // namespace

void PublishDeviceLink(const std::wstring& linkName, const std::wstring& deviceName) {
    WinapiRegisterDevice(Narrow(linkName).c_str(), std::make_shared<DeviceLink>(deviceName));
}

void UnpublishDeviceLink(const std::wstring& linkName) {
    WinapiUnregisterDevice(Narrow(linkName).c_str());
}

// ---- DriverHost

struct DriverHost::Board {
    SimulatedBoard* hardware;
    PDEVICE_OBJECT pdo = nullptr;
    std::vector<unsigned char> resources;  // a CM_RESOURCE_LIST
    bool removed = false;
    bool surpriseRemoved = false;
};

DriverHost::DriverHost(PDRIVER_INITIALIZE entry, const wchar_t* serviceName)
    : serviceName_(serviceName) {
    driver_.DriverExtension = &driver_.Extension;
    RtlInitUnicodeString(&driver_.DriverName, serviceName_.c_str());
    std::wstring registryPath =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName_;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, registryPath.c_str());
    entryStatus_ = entry(&driver_, &path);
}

std::unique_ptr<DriverHost> DriverHost::Load(const char* name, NTSTATUS* status) {
    Dl_info info{};
    std::string directory = ".";
    if (dladdr(reinterpret_cast<void*>(&IoCreateDevice), &info) != 0 && info.dli_fname != nullptr) {
        std::string self = info.dli_fname;
        auto slash = self.rfind('/');
        if (slash != std::string::npos)
            directory = self.substr(0, slash);
    }
    std::string path = directory + "/lib" + name + ".so";
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        DbgPrint("driver host: cannot load %s: %s\n", path.c_str(), dlerror());
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (entry == nullptr) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    std::wstring service(name, name + std::strlen(name));
    auto host = std::make_unique<DriverHost>(entry, service.c_str());
    host->module_ = module;  // stays loaded: code of a driver may still be on a DPC's stack
    *status = host->EntryStatus();
    return host;
}

DriverHost::~DriverHost() {
    for (size_t i = 0; i < boards_.size(); ++i) {
        if (!boards_[i]->removed) {
            NTSTATUS status = RemoveBoard(i);
            if (!NT_SUCCESS(status)) {
                DbgPrint("driver host: board %zu not removable (0x%08X): handles still open\n", i,
                         static_cast<unsigned>(status));
                WdmAssert(NT_SUCCESS(status));
            }
        }
    }
    if (NT_SUCCESS(entryStatus_) && driver_.DriverUnload != nullptr)
        driver_.DriverUnload(&driver_);
}

NTSTATUS DriverHost::SendSynchronous(PDEVICE_OBJECT top,
                                     const std::function<void(PIO_STACK_LOCATION)>& fill) {
    return SendAndWait(top, STATUS_NOT_SUPPORTED, fill);
}

NTSTATUS DriverHost::SendPnp(Board& board, UCHAR minor) {
    PCM_RESOURCE_LIST resources = reinterpret_cast<PCM_RESOURCE_LIST>(board.resources.data());
    return SendSynchronous(TopOfStack(board.pdo), [minor, resources](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_PNP;
        s->MinorFunction = minor;
        if (minor == IRP_MN_START_DEVICE) {
            s->Parameters.StartDevice.AllocatedResources = resources;
            s->Parameters.StartDevice.AllocatedResourcesTranslated = resources;
        }
    });
}

NTSTATUS DriverHost::AddBoard(SimulatedBoard& hardware, size_t* index) {
    if (!NT_SUCCESS(entryStatus_) || driver_.DriverExtension->AddDevice == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto board = std::make_unique<Board>();
    board->hardware = &hardware;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> parts = hardware.Resources();
    board->resources.assign(sizeof(CM_RESOURCE_LIST) + std::max<size_t>(parts.size(), 1) *
                                                           sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR),
                            0);
    auto list = reinterpret_cast<PCM_RESOURCE_LIST>(board->resources.data());
    list->Count = 1;
    list->List[0].InterfaceType = PCIBus;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
    list->List[0].PartialResourceList.Count = static_cast<ULONG>(parts.size());
    std::copy(parts.begin(), parts.end(), list->List[0].PartialResourceList.PartialDescriptors);

    NTSTATUS status = IoCreateDevice(BusDriver(), 0, nullptr, 0x8000, 0, FALSE, &board->pdo);
    if (!NT_SUCCESS(status))
        return status;
    board->pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    status = driver_.DriverExtension->AddDevice(&driver_, board->pdo);
    if (!NT_SUCCESS(status) || board->pdo->AttachedDevice == nullptr) {
        IoDeleteDevice(board->pdo);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    status = SendPnp(*board, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(*board, IRP_MN_REMOVE_DEVICE);
        IoDeleteDevice(board->pdo);
        return status;
    }
    boards_.push_back(std::move(board));
    if (index != nullptr)
        *index = boards_.size() - 1;
    return STATUS_SUCCESS;
}

NTSTATUS DriverHost::StopBoard(size_t index) {
    Board& board = *boards_.at(index);
    if (board.removed || board.surpriseRemoved)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = SendPnp(board, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(board, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    return SendPnp(board, IRP_MN_STOP_DEVICE);
}

NTSTATUS DriverHost::StartBoard(size_t index) {
    Board& board = *boards_.at(index);
    if (board.removed)
        return STATUS_NO_SUCH_DEVICE;
    return SendPnp(board, IRP_MN_START_DEVICE);
}

NTSTATUS DriverHost::SurpriseRemoveBoard(size_t index) {
    Board& board = *boards_.at(index);
    if (board.removed || board.surpriseRemoved)
        return STATUS_NO_SUCH_DEVICE;
    board.surpriseRemoved = true;
    return SendPnp(board, IRP_MN_SURPRISE_REMOVAL);
}

NTSTATUS DriverHost::RemoveBoard(size_t index) {
    Board& board = *boards_.at(index);
    if (board.removed)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status;
    if (!board.surpriseRemoved) {
        // A board that is gone is not asked.
        status = SendPnp(board, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            SendPnp(board, IRP_MN_CANCEL_REMOVE_DEVICE);
            return status;
        }
    }
    status = SendPnp(board, IRP_MN_REMOVE_DEVICE);
    board.removed = true;
    IoDeleteDevice(board.pdo);
    board.pdo = nullptr;
    return status;
}

NTSTATUS DriverHost::SetDevicePower(size_t index, DEVICE_POWER_STATE state) {
    Board& board = *boards_.at(index);
    if (board.removed)
        return STATUS_NO_SUCH_DEVICE;
    return SendSynchronous(TopOfStack(board.pdo), [state](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_POWER;
        s->MinorFunction = IRP_MN_SET_POWER;
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State.DeviceState = state;
    });
}

PDEVICE_OBJECT DriverHost::FunctionDevice(size_t index) {
    Board& board = *boards_.at(index);
    if (board.removed || board.pdo == nullptr)
        return nullptr;
    return board.pdo->AttachedDevice;
}

}  // namespace wdm
