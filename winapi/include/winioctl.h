/* Device-control code layout and the device types and access rights it carries. */
#pragma once

#include "windef.h"

#define CTL_CODE(DeviceType, Function, Method, Access)                                  \
    (((DWORD)(DeviceType) << 16) | ((DWORD)(Access) << 14) | ((DWORD)(Function) << 2) | \
     (DWORD)(Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((DWORD)(ctrlCode)&0xffff0000u) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode) ((DWORD)((ctrlCode)&3u))

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3

#define FILE_ANY_ACCESS 0
#define FILE_SPECIAL_ACCESS FILE_ANY_ACCESS
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

#define FILE_DEVICE_UNKNOWN 0x00000022
