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
#include <fstream>
#include <iterator>
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
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    const std::vector<reference::Step> run = reference::wholeRun(image);
    if (image.size() != updatefacts::imageBytes || !reference::matchesTheFacts(run)) {
        std::puts("reference client: the image or the request sequence is not the update's");
        return 2;
    }
    HANDLE unit = openFirstUnit();
    if (unit == INVALID_HANDLE_VALUE) {
        std::puts("reference client: no unit");
        return 1;
    }
    timeBeginPeriod(kTimerResolutionMs);
    double updateStart = 0;
    double lastAnswer = 0;
    bool answered = true;
    for (std::size_t i = 0; answered && i < run.size(); ++i) {
        const reference::Step& step = run[i];
        if (i == reference::kUpdateStart) updateStart = nowMs();
        std::uint8_t answer[reference::kReportBytes];
        DWORD done = 0;
        answered = WriteFile(unit, step.request, reference::kReportBytes, &done, nullptr);
        if (answered && step.waitBeforeReadMs != 0) Sleep(step.waitBeforeReadMs);
        answered = answered && ReadFile(unit, answer, sizeof answer, &done, nullptr);
        if (i == reference::kUpdateEnd) lastAnswer = nowMs();
        if (answered && step.pauseAfterMs != 0) Sleep(step.pauseAfterMs);
    }
    const DWORD error = GetLastError();
    timeEndPeriod(kTimerResolutionMs);
    CloseHandle(unit);
    if (!answered) {
        std::printf("reference client: the unit failed (error %lu)\n", error);
        return 1;
    }
    std::printf(
        "reference client: %zu requests, the update from its first request to its last "
        "answer: %.1f ms\n",
        run.size(), lastAnswer - updateStart);
    return 0;
}
