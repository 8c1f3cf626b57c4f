// Internal links between the stand-in's parts (kernel, HAL, I/O manager, host).
#pragma once

#include "wdmhost.h"

#include <string>

namespace wdm {

// Moves simulated time by one bus access (no-op in real time).
void ChargeBusAccess();
KIRQL& CurrentIrql();
bool DpcQueueIdle();
bool SingleProcessor();
// Single-processor mode: runs queued DPCs on this thread when its IRQL is below DISPATCH_LEVEL.
void RunQueuedDpcsInline();
// Single-processor mode: services every pending interrupt line this thread's IRQL allows.
void DeliverPendingInterrupts();
// Tells every device on the bus that simulated time has moved.
void NotifyTimeMoved();

// The interrupt line serving a vector, or null.
InterruptLine* FindInterruptLine(ULONG vector);

// Symbolic links of the object namespace become devices CreateFileA can open.
void PublishDeviceLink(const std::wstring& linkName, const std::wstring& deviceName);
void UnpublishDeviceLink(const std::wstring& linkName);
// The device object named `deviceName` with a reference taken, or null.
PDEVICE_OBJECT ReferenceDeviceByName(const std::wstring& deviceName);
void DereferenceDevice(PDEVICE_OBJECT device);

std::string Narrow(const std::wstring& s);

}  // namespace wdm
