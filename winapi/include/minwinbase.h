/* OVERLAPPED: the record of an asynchronous file or device request. */
#pragma once

#include "windef.h"

/* Internal holds the NTSTATUS (STATUS_PENDING 0x103 while outstanding), InternalHigh the byte
 * count, as on Windows. */
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define HasOverlappedIoCompleted(lpOverlapped) \
    (((DWORD)(lpOverlapped)->Internal) != 0x00000103u /* STATUS_PENDING */)
