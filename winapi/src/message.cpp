// FormatMessageA over the system texts of the codes the product can meet; LocalAlloc/LocalFree.
#include "handles.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace winapi {
namespace {

struct SystemText {
    DWORD code;
    const char* text;
};

// Texts as the system message table has them (English, neutral language).
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {21, "The device is not ready."},
    {31, "A device attached to the system is not functioning."},
    {50, "The request is not supported."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {122, "The data area passed to a system call is too small."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {160, "One or more arguments are not correct."},
    {183, "Cannot create a file when that file already exists."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {317,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {995,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1114, "A dynamic link library (DLL) initialization routine failed."},
    {1168, "Element not found."},
    {1214, "The format of the specified network name is invalid."},
    {1231,
     "The network location cannot be reached. For information about network "
     "troubleshooting, see Windows Help."},
    {1232,
     "The network location cannot be reached. For information about network "
     "troubleshooting, see Windows Help."},
    {1400, "Invalid window handle."},
    {1444, "The thread identifier is invalid."},
    {1460, "This operation returned because the timeout period expired."},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, "The file handle supplied is not valid."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014,
     "The system detected an invalid pointer address in attempting to use a pointer "
     "argument in a call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10036, "A blocking operation is currently executing."},
    {10037,
     "An operation was attempted on a non-blocking socket that already had an operation "
     "in progress."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10039, "A required address was omitted from an operation on a socket."},
    {10040,
     "A message sent on a datagram socket was larger than the internal message buffer or "
     "some other network limit, or the buffer used to receive a datagram into was smaller "
     "than the datagram itself."},
    {10041,
     "A protocol was specified in the socket function call that does not support the "
     "semantics of the socket type requested."},
    {10042,
     "An unknown, invalid, or unsupported option or level was specified in a getsockopt "
     "or setsockopt call."},
    {10043,
     "The requested protocol has not been configured into the system, or no "
     "implementation for it exists."},
    {10044, "The support for the specified socket type does not exist in this address family."},
    {10045, "The attempted operation is not supported for the type of object referenced."},
    {10046,
     "The protocol family has not been configured into the system or no implementation "
     "for it exists."},
    {10047, "An address incompatible with the requested protocol was used."},
    {10048,
     "Only one usage of each socket address (protocol/network address/port) is normally "
     "permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10052,
     "The connection has been broken due to keep-alive activity detecting a failure while "
     "the operation was in progress."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10055,
     "An operation on a socket could not be performed because the system lacked "
     "sufficient buffer space or because a queue was full."},
    {10056, "A connect request was made on an already connected socket."},
    {10057,
     "A request to send or receive data was disallowed because the socket is not "
     "connected and (when sending on a datagram socket using a sendto call) no address "
     "was supplied."},
    {10058,
     "A request to send or receive data was disallowed because the socket had already "
     "been shut down in that direction with a previous shutdown call."},
    {10059, "Too many references to some kernel object."},
    {10060,
     "A connection attempt failed because the connected party did not properly respond "
     "after a period of time, or established connection failed because connected host "
     "has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10062, "Cannot translate name."},
    {10063, "Name component or name was too long."},
    {10064, "A socket operation failed because the destination host was down."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {10091,
     "WSAStartup cannot function at this time because the underlying system it uses to "
     "provide network services is currently unavailable."},
    {10092, "The Windows Sockets version requested is not supported."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {11001, "No such host is known."},
    {11002,
     "This is usually a temporary error during hostname resolution and means that the "
     "local server did not receive a response from an authoritative server."},
    {11003, "A non-recoverable error occurred during a database lookup."},
    {11004, "The requested name is valid, but no data of the requested type was found."},
    {11010, "Request timed out."},
};

const char* FindSystemText(DWORD code) {
    for (const auto& entry : kSystemTexts) {
        if (entry.code == code)
            return entry.text;
    }
    return nullptr;
}

}  // namespace
}  // namespace winapi

using namespace winapi;

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1)
                                       : std::malloc(uBytes ? uBytes : 1);
    if (!p)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD,
                            LPSTR lpBuffer, DWORD nSize, void*) {
    std::string text;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        if (!lpSource) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text = static_cast<const char*>(lpSource);
    } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
        const char* found = FindSystemText(dwMessageId);
        if (!found) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        text = found;
        // System texts end with a line break unless the caller limits the width.
        if ((dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == 0)
            text += "\r\n";
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    const DWORD length = static_cast<DWORD>(text.size());
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        if (!lpBuffer) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        SIZE_T bytes = (length + 1 > nSize ? length + 1 : nSize);
        auto* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
        if (!block)
            return 0;
        std::memcpy(block, text.c_str(), length + 1);
        *reinterpret_cast<LPSTR*>(lpBuffer) = block;
        return length;
    }
    if (!lpBuffer || nSize < length + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), length + 1);
    return length;
}

}  // extern "C"
