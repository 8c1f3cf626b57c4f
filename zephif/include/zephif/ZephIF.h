/* The capture library's exports, records, return codes and the result record's layout. */
#pragma once

#include <windows.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ZEPHIF_API __declspec(dllexport)
#else
#define ZEPHIF_API __attribute__((visibility("default")))
#endif

/* Return codes of the exports. */
#define ZEPHLIB_OK 0
#define ZEPHLIB_RECEIVING_IMAGE 1
#define ZEPHLIB_NO_START_EVENT 2
#define ZEPHLIB_NO_ANSWER (-1)
#define ZEPHLIB_INVALID_ARGUMENT (-9)

/* CaptureStatus values (word 0 of a status-only result, and the start's failure codes). */
#define ZEPHLIB_STATUS_DELIVERED 0
#define ZEPHLIB_STATUS_CAPTURING 1
#define ZEPHLIB_STATUS_CONNECTED 2
#define ZEPHLIB_STATUS_REFUSED (-1)
#define ZEPHLIB_STATUS_CANCELLED (-3)
#define ZEPHLIB_STATUS_CONNECTION_FAILED (-7)
/* The same value for a unit busy with another program and for a capture that timed out. */
#define ZEPHLIB_STATUS_OCCUPIED (-7)
#define ZEPHLIB_STATUS_TIMED_OUT (-7)
#define ZEPHLIB_STATUS_NO_SESSION (-8)
#define ZEPHLIB_STATUS_SENSOR_FAULT (-16)

typedef struct CaptureParameters {
    LONG words[6];
} CaptureParameters;

typedef struct ExtendedCaptureParameters {
    LONG words[9];
} ExtendedCaptureParameters;

/* The 44-byte record in movable global memory that a notification carries. Handles are
   below 2^32 and so fit their 32-bit words. */
typedef struct CaptureResult {
    LONG status;        /* 0 for a full result, else the CaptureStatus */
    DWORD recordKind;   /* 268 in a full result */
    DWORD reserved2;    /* 0 */
    LONG cookie;        /* the request's cookie */
    DWORD width;        /* pixels */
    DWORD height;       /* rows, as in the payload */
    DWORD bitsPerPixel; /* 12 */
    DWORD pixelBytes;   /* size of the pixel block */
    DWORD reserved8;
    DWORD reserved9;
    DWORD pixels; /* HGLOBAL of the pixel block: little-endian 16-bit words, 12 bits used */
} CaptureResult;

#define ZEPHLIB_RESULT_RECORD_KIND 268u
#define ZEPHLIB_PIXEL_BITS 12u

#ifdef __cplusplus
static_assert(sizeof(CaptureParameters) == 24, "six 32-bit words");
static_assert(sizeof(ExtendedCaptureParameters) == 36, "nine 32-bit words");
static_assert(sizeof(CaptureResult) == 44, "eleven 32-bit words");
#endif

/* Starts the worker and waits (at most 30 s) until the unit is connected: 0, or 2, -1 or the
   CaptureStatus of the failed attempt (such as -7). Call ZephLibEndSession also after a failure. */
ZEPHIF_API LONG WINAPI ZephLibStartSession(void);
/* Ends the worker: 0, or 1 (nothing done) while an image is being received. */
ZEPHIF_API LONG WINAPI ZephLibEndSession(void);
/* Cancels the pending capture (its caller gets -3): 0, or 1 while an image is being received. */
ZEPHIF_API LONG WINAPI ZephLibCancelPendingCaptures(void);
ZEPHIF_API LONG WINAPI ZephLibGetCaptureParameters(CaptureParameters* parameters);
ZEPHIF_API LONG WINAPI ZephLibGetExtendedCaptureParameters(ExtendedCaptureParameters* parameters);
ZEPHIF_API LONG WINAPI ZephLibSetCaptureParameters(const CaptureParameters* parameters);
ZEPHIF_API LONG WINAPI ZephLibControlTestAndSimulation(LONG mode);

/* Raw 12-bit capture; the result arrives as PostMessage(window, messageId, 0, HGLOBAL of a
   CaptureResult). The window's owner then owns the record and the pixel block in word 10 and
   frees both with GlobalFree, the pixel block first. */
ZEPHIF_API LONG WINAPI ZephLibCaptureRawImageWithPostMessage(LONG flag, HWND window, UINT messageId,
                                                             LONG cookie);
/* Raw capture signalled by SetEvent(event). Just before the event is set the handle of the
   result record is written to *resultHandle (when not null), which must stay valid until then.
   The library keeps that record and its pixel block: read them before the next capture or the
   end of the session, and do not free them. */
ZEPHIF_API LONG WINAPI ZephLibCaptureRawImageWithEventSignal(LONG flag, HANDLE event,
                                                             HGLOBAL* resultHandle, LONG cookie);
/* Bitmap requests: a status-only result with status 0 once the image has arrived. */
ZEPHIF_API LONG WINAPI ZephLibCaptureBitmapWithPostMessage(LONG flag, HWND window, UINT messageId,
                                                           LONG reserved, LONG cookie);
ZEPHIF_API LONG WINAPI ZephLibCaptureBitmapWithEventSignal(LONG flag, HANDLE event,
                                                           HGLOBAL* resultHandle, LONG reserved,
                                                           LONG cookie);
/* Not supported: always -9. */
ZEPHIF_API LONG WINAPI ZephLibCaptureTiffFileWithPostMessage(LONG flag, LONG a, LONG b, LONG c,
                                                             LONG d);
ZEPHIF_API LONG WINAPI ZephLibCaptureTiffFileWithEventSignal(LONG flag, LONG a, LONG b, LONG c,
                                                             LONG d);

#ifdef __cplusplus
}
#endif
