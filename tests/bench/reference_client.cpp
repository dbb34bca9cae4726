// reference_client.exe: the floor an update under Wine is measured against. It finds the unit
// through the same setupapi.dll and hid.dll, then for each request of a whole run writes it,
// reads the answer and pauses, and nothing else: no look at the queue, no judging, no progress,
// no window. Run beside the substitute DLLs with WINEDLLOVERRIDES=setupapi,hid=n, with the image
// file as its argument (bench.sh does). Prints the time from the update's first request to its
// last answer.
#include <windows.h>
#include <mmsystem.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdio>
#include <vector>

#include "tests/bench/reference_run.h"

namespace {

constexpr USHORT kUnitVendorId = 0xF0E1;
constexpr UINT kTimerResolutionMs = 1;  // as the programs ask for during an update

double nowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

bool isUnit(HANDLE handle) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    return HidD_GetAttributes(handle, &attributes) && attributes.VendorID == kUnitVendorId &&
           (attributes.ProductID == 1 || attributes.ProductID == 2);
}

// The first present HID interface that is a unit, opened for plain synchronous I/O.
HANDLE openFirstUnit() {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set =
        SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    HANDLE unit = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; unit == INVALID_HANDLE_VALUE &&
                          SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data);
         ++index) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<BYTE> room(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(room.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) continue;
        HANDLE handle =
            CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) continue;
        if (isUnit(handle))
            unit = handle;
        else
            CloseHandle(handle);
    }
    SetupDiDestroyDeviceInfoList(set);
    return unit;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::puts("usage: reference_client.exe <image file>");
        return 2;
    }
    const std::vector<reference::Step> run = reference::runForImage(argv[1]);
    if (run.empty()) return 2;
    HANDLE unit = openFirstUnit();
    if (unit == INVALID_HANDLE_VALUE) {
        std::puts("reference client: no unit");
        return 1;
    }
    timeBeginPeriod(kTimerResolutionMs);
    const bool answered = reference::sendRun(
        run,
        [unit](const std::uint8_t* request) {
            DWORD done = 0;
            return WriteFile(unit, request, reference::kReportBytes, &done, nullptr) != FALSE;
        },
        [unit](std::uint8_t* answer) {
            DWORD done = 0;
            return ReadFile(unit, answer, reference::kReportBytes, &done, nullptr) != FALSE;
        },
        [](std::uint32_t milliseconds) { Sleep(milliseconds); }, nowMs);
    const DWORD error = GetLastError();
    timeEndPeriod(kTimerResolutionMs);
    CloseHandle(unit);
    if (answered) return 0;
    std::printf("reference client: the unit failed (error %lu)\n", error);
    return 1;
}
