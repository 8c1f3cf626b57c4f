// Module entry of the Harrow driver: the symbol the driver host looks up.
#include "harrow/HarrowDriver.h"

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(
    PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return HarrowDriverEntry(driverObject, registryPath);
}
