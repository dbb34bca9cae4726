// Substitute hid.dll: answers for the device pipes of unit_server.exe. A handle is mapped back
// to its pipe name, and the server says what that device announces.
#include <windows.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "sim/win/sim_control.h"

namespace {

const GUID kHidClassGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr DWORD kPreparsedMagic = 0x5A504844;
constexpr USAGE kVendorUsagePage = 0xFF00;
constexpr USAGE kVendorUsage = 0x0001;
constexpr DWORD kFlushChunk = 256;

struct DeviceInfo {
    unsigned vendorId = 0;
    unsigned productId = 0;
    unsigned outputLength = 0;
    unsigned inputLength = 0;
    char caps[8] = {};
    char serial[64] = {};  // "-" for none
};

struct Preparsed {
    DWORD magic;
    bool statusFails;
    USHORT outputLength;
    USHORT inputLength;
};

// The server's device name from the pipe name of the handle ("\zirvano-sim-<name>", or the
// stem in force).
bool deviceNameOf(HANDLE handle, std::wstring* name) {
    union {
        FILE_NAME_INFO info;
        BYTE bytes[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(WCHAR)];
    } buffer;
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, &buffer, sizeof buffer)) return false;
    const std::size_t room = (sizeof buffer - offsetof(FILE_NAME_INFO, FileName)) / sizeof(WCHAR);
    std::size_t units = buffer.info.FileNameLength / sizeof(WCHAR);
    if (units > room) units = room;
    const std::wstring pipeName(buffer.info.FileName, units);
    const std::wstring prefix = simPipeStem() + L"-";
    const std::size_t at = pipeName.find(prefix);
    if (at == std::wstring::npos) return false;
    *name = pipeName.substr(at + prefix.size());
    return !name->empty();
}

// A client end of a pipe starts in byte mode, where one read takes every report queued and
// a read with room for more than a report takes the start of the next; a HID handle gives one
// report per read. Every program asks for the attributes of what it opened first.
void readOneReportAtATime(HANDLE handle) {
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);
}

bool deviceInfoOf(HANDLE handle, DeviceInfo* info) {
    readOneReportAtATime(handle);
    std::wstring name;
    std::wstring reply;
    if (!deviceNameOf(handle, &name) || !simControlWait((L"info " + name).c_str(), &reply, 0))
        return false;
    const std::string text = simToUtf8(reply);
    return std::sscanf(text.c_str(), "%x %x %u %u %7s %63s", &info->vendorId, &info->productId,
                       &info->outputLength, &info->inputLength, info->caps, info->serial) == 6;
}

Preparsed* preparsedOf(PHIDP_PREPARSED_DATA data) {
    auto* preparsed = reinterpret_cast<Preparsed*>(data);
    return preparsed != nullptr && preparsed->magic == kPreparsedMagic ? preparsed : nullptr;
}

}  // namespace

extern "C" __declspec(dllexport) void NTAPI HidD_GetHidGuid(LPGUID guid) {
    if (guid != nullptr) *guid = kHidClassGuid;
}

extern "C" __declspec(dllexport) BOOLEAN NTAPI
    HidD_GetAttributes(HANDLE handle, PHIDD_ATTRIBUTES attributes) {
    DeviceInfo info;
    if (attributes == nullptr || !deviceInfoOf(handle, &info)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = static_cast<USHORT>(info.vendorId);
    attributes->ProductID = static_cast<USHORT>(info.productId);
    attributes->VersionNumber = 0x0100;
    return TRUE;
}

extern "C" __declspec(dllexport) BOOLEAN NTAPI
    HidD_GetSerialNumberString(HANDLE handle, PVOID buffer, ULONG bytes) {
    DeviceInfo info;
    if (buffer == nullptr || !deviceInfoOf(handle, &info)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A device without one fails the request, as the system's driver does.
    const std::size_t units = std::strlen(info.serial);
    if (std::strcmp(info.serial, "-") == 0 || (units + 1) * sizeof(WCHAR) > bytes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* text = static_cast<WCHAR*>(buffer);
    for (std::size_t i = 0; i <= units; ++i) text[i] = static_cast<WCHAR>(info.serial[i]);
    return TRUE;
}

extern "C" __declspec(dllexport) BOOLEAN NTAPI
    HidD_GetPreparsedData(HANDLE handle, PHIDP_PREPARSED_DATA* data) {
    DeviceInfo info;
    if (data == nullptr || !deviceInfoOf(handle, &info)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (std::strcmp(info.caps, "fail") == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    auto* preparsed = static_cast<Preparsed*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Preparsed)));
    if (preparsed == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    preparsed->magic = kPreparsedMagic;
    preparsed->statusFails = std::strcmp(info.caps, "status") == 0;
    preparsed->outputLength = static_cast<USHORT>(info.outputLength);
    preparsed->inputLength = static_cast<USHORT>(info.inputLength);
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed);
    return TRUE;
}

extern "C" __declspec(dllexport) BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    Preparsed* preparsed = preparsedOf(data);
    if (preparsed == nullptr) return FALSE;
    preparsed->magic = 0;
    HeapFree(GetProcessHeap(), 0, preparsed);
    return TRUE;
}

extern "C" __declspec(dllexport) NTSTATUS NTAPI
    HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    const Preparsed* preparsed = preparsedOf(data);
    if (preparsed == nullptr || preparsed->statusFails) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    std::memset(caps, 0, sizeof *caps);
    caps->UsagePage = kVendorUsagePage;
    caps->Usage = kVendorUsage;
    caps->OutputReportByteLength = preparsed->outputLength;
    caps->InputReportByteLength = preparsed->inputLength;
    return HIDP_STATUS_SUCCESS;
}

// The pipe stands in for the HID driver's queue: every whole message already in it is read and
// dropped. A broken pipe fails like a device that is gone.
extern "C" __declspec(dllexport) BOOLEAN NTAPI HidD_FlushQueue(HANDLE handle) {
    readOneReportAtATime(handle);
    DWORD available = 0;
    if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) return FALSE;
    if (available == 0) return TRUE;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return FALSE;
    BOOLEAN flushed = TRUE;
    while (flushed && available != 0) {
        BYTE dropped[kFlushChunk];
        OVERLAPPED ov{};
        ov.hEvent = event;
        DWORD got = 0;
        // The message is there, so the read completes at once; the rest of an oversized one is
        // read on the next round.
        const BOOL started = ReadFile(handle, dropped, sizeof dropped, nullptr, &ov);
        const bool whole =
            started || GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA;
        flushed =
            whole &&
            (GetOverlappedResult(handle, &ov, &got, TRUE) || GetLastError() == ERROR_MORE_DATA) &&
            PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr);
    }
    const DWORD error = GetLastError();
    CloseHandle(event);
    SetLastError(flushed ? ERROR_SUCCESS : error);
    return flushed;
}
