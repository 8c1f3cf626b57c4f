/* Device control and asynchronous I/O: DeviceIoControl, CancelIo, GetOverlappedResult. */
#pragma once

#include "windef.h"
#include "fileapi.h"

/* Errors that device requests report beyond the common ones of winerror.h. */
#ifndef ERROR_BAD_COMMAND
#define ERROR_BAD_COMMAND 22L
#endif
#ifndef ERROR_SEM_TIMEOUT
#define ERROR_SEM_TIMEOUT 121L
#endif
#ifndef ERROR_BUSY
#define ERROR_BUSY 170L
#endif
#ifndef ERROR_IO_DEVICE
#define ERROR_IO_DEVICE 1117L
#endif
#ifndef ERROR_NO_SYSTEM_RESOURCES
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#endif

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL WINAPI CancelIo(HANDLE hFile);
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait);

#ifdef __cplusplus
}
#endif
