// Module entry of the ZephDrv driver: the symbol the driver host looks up.
#include "zephdrv/ZephDriver.h"

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(
    PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return ZephDriverEntry(driverObject, registryPath);
}
