/* ICMP echo functions: a send-echo handle, synchronous and event-signalled echo requests. */
#pragma once

#include "windows.h"
#include "ipexport.h"

#ifndef WINAPI_IO_STATUS_BLOCK_DEFINED
#define WINAPI_IO_STATUS_BLOCK_DEFINED
typedef struct _IO_STATUS_BLOCK {
    union {
        LONG Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;
typedef void(NTAPI_APC_CALLBACK_TYPE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                      ULONG Reserved);
typedef NTAPI_APC_CALLBACK_TYPE* PIO_APC_ROUTINE;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A handle for the send-echo functions; INVALID_HANDLE_VALUE and last error on failure. */
HANDLE WINAPI IcmpCreateFile(void);
BOOL WINAPI IcmpCloseHandle(HANDLE IcmpHandle);

/* Sends one echo request and waits at most Timeout ms. Returns the number of replies written
 * to ReplyBuffer (each an ICMP_ECHO_REPLY, the echoed data behind them), or 0 with the last
 * error set (IP_REQ_TIMED_OUT when nothing came back in time). ReplySize must hold one
 * ICMP_ECHO_REPLY plus RequestSize bytes, and at least 8 bytes beyond the record. */
DWORD WINAPI IcmpSendEcho(HANDLE IcmpHandle, IPAddr DestinationAddress, LPVOID RequestData,
                          WORD RequestSize, PIP_OPTION_INFORMATION RequestOptions,
                          LPVOID ReplyBuffer, DWORD ReplySize, DWORD Timeout);

/* As IcmpSendEcho; with an Event it returns 0 at once with ERROR_IO_PENDING and signals the
 * event when the reply buffer is complete (IcmpParseReplies then counts the replies). APC
 * completion routines are not supported here: ApcRoutine must be null. */
DWORD WINAPI IcmpSendEcho2(HANDLE IcmpHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                           PVOID ApcContext, IPAddr DestinationAddress, LPVOID RequestData,
                           WORD RequestSize, PIP_OPTION_INFORMATION RequestOptions,
                           LPVOID ReplyBuffer, DWORD ReplySize, DWORD Timeout);

/* The number of replies in a buffer completed by IcmpSendEcho2; 0 with the last error set to
 * the reply's status when none. */
DWORD WINAPI IcmpParseReplies(LPVOID ReplyBuffer, DWORD ReplySize);

#ifdef __cplusplus
}
#endif
