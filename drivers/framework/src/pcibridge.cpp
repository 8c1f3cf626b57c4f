// The PCI bridge of the capture boards: interrupt control, NVRAM byte protocol, register dump.
#include "pcibridge.h"

namespace pcibridge {
namespace {

bool WaitNotBusy(PUCHAR port, USHORT* word) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG deadline = now.QuadPart + static_cast<LONGLONG>(kNvramBusyTimeoutMs) * 10000;
    for (;;) {
        *word = ReadPort16(port, kNvramAccess);
        if ((*word & kNvramBusy) == 0)
            return true;
        KeQuerySystemTime(&now);
        if (now.QuadPart > deadline)
            return false;
    }
}

void SelectAddress(PUCHAR port, USHORT address) {
    WritePort16(port, kNvramAccess, static_cast<USHORT>(0x8000 | (address & 0xFF)));
    WritePort16(port, kNvramAccess, static_cast<USHORT>(0xA000 | (address >> 8)));
}

}  // namespace

void EnableReceiveInterrupts(PUCHAR port) {
    ULONG value = ReadPort32(port, kInterruptControl);
    WritePort32(port, kInterruptControl, (value & ~0x30000u) | kReceiveInterruptEnable);
}

void DisableReceiveInterrupts(PUCHAR port) {
    WritePort32(port, kInterruptControl, ReadPort32(port, kInterruptControl) & ~0x32000u);
}

NTSTATUS ReadNvramByte(PUCHAR port, USHORT address, UCHAR* value) {
    USHORT word;
    SelectAddress(port, address);
    if (!WaitNotBusy(port, &word))
        return STATUS_IO_DEVICE_ERROR;
    WritePort16(port, kNvramAccess, 0xE000);
    if (!WaitNotBusy(port, &word))
        return STATUS_IO_DEVICE_ERROR;
    *value = static_cast<UCHAR>(word & 0xFF);
    return (word & kNvramFault) ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
}

NTSTATUS WriteNvramByte(PUCHAR port, USHORT address, UCHAR value) {
    USHORT word;
    SelectAddress(port, address);
    if (!WaitNotBusy(port, &word))
        return STATUS_IO_DEVICE_ERROR;
    WritePort16(port, kNvramAccess, static_cast<USHORT>(0xC000 | value));
    if (!WaitNotBusy(port, &word))
        return STATUS_IO_DEVICE_ERROR;
    // The cell needs its programming time before the next command.
    for (ULONG us = 0; us < kNvramWriteSettleMs * 1000; us += 50)
        KeStallExecutionProcessor(50);
    return (word & kNvramFault) ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
}

NTSTATUS IoctlReadNvram(PUCHAR port, USHORT nvramSize, PVOID buffer, ULONG inputLength,
                        ULONG outputLength, ULONG_PTR* information) {
    *information = 0;
    if (inputLength < 4 || buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto bytes = static_cast<PUCHAR>(buffer);
    USHORT start, count;
    std::memcpy(&start, bytes, 2);
    std::memcpy(&count, bytes + 2, 2);
    if (static_cast<ULONG>(start) + count > nvramSize || outputLength < count) {
        return STATUS_INVALID_PARAMETER;
    }
    for (USHORT i = 0; i < count; ++i) {
        UCHAR value = 0;
        NTSTATUS status = ReadNvramByte(port, static_cast<USHORT>(start + i), &value);
        if (!NT_SUCCESS(status))
            return status;
        bytes[i] = value;
    }
    *information = count;
    return STATUS_SUCCESS;
}

NTSTATUS IoctlWriteNvram(PUCHAR port, USHORT nvramSize, PVOID buffer, ULONG inputLength,
                         ULONG_PTR* information) {
    *information = 0;
    if (inputLength < 4 || buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto bytes = static_cast<PUCHAR>(buffer);
    USHORT start, count;
    std::memcpy(&start, bytes, 2);
    std::memcpy(&count, bytes + 2, 2);
    if (inputLength < static_cast<ULONG>(count) + 5 || start < kNvramProtectedBytes ||
        static_cast<ULONG>(start) + count > nvramSize) {
        return STATUS_INVALID_PARAMETER;
    }
    for (USHORT i = 0; i < count; ++i) {
        NTSTATUS status = WriteNvramByte(port, static_cast<USHORT>(start + i), bytes[4 + i]);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoctlDumpRegisters(PUCHAR port, PVOID buffer, ULONG outputLength, ULONG_PTR* information) {
    *information = 0;
    if (outputLength < kRegisterDumpBytes || buffer == nullptr)
        return STATUS_BUFFER_TOO_SMALL;
    ULONG dump[kRegisterDumpBytes / 4] = {};
    dump[12 / 4] = ReadPort32(port, kConfig0C);
    dump[28 / 4] = ReadPort32(port, kConfig1C);
    dump[52 / 4] = ReadPort32(port, kConfig34);
    dump[56 / 4] = ReadPort32(port, kInterruptControl);
    std::memcpy(buffer, dump, kRegisterDumpBytes);
    *information = kRegisterDumpBytes;
    return STATUS_SUCCESS;
}

}  // namespace pcibridge
