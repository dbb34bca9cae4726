// Substitute setupapi.dll: the present HID interfaces are the devices unit_server.exe serves.
// Only the calls a HID enumeration needs are provided, with the real DLL's size and error rules.
#define _SETUPAPI_  // our definitions, not imports
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "sim/win/sim_control.h"

namespace {

const GUID kHidClassGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr DWORD kSetMagic = 0x5A53494D;
constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
// What a vanished interface reports to the size query: less than the header.
constexpr DWORD kShortDetailSize = 2;

enum class DetailMode { ok, shortSize, fail };

struct Interface {
    std::wstring path;
    DetailMode detail = DetailMode::ok;
};

struct DeviceSet {
    DWORD magic = kSetMagic;
    GUID classGuid{};
    std::vector<Interface> interfaces;
};

DeviceSet* setOf(HDEVINFO handle) {
    auto* set = static_cast<DeviceSet*>(handle);
    if (set == nullptr || handle == INVALID_HANDLE_VALUE || set->magic != kSetMagic) return nullptr;
    return set;
}

// One "<path>[ detail=short|fail]" line of the server's list.
Interface parseListLine(const std::wstring& line) {
    Interface entry;
    const std::size_t space = line.find(L' ');
    entry.path = line.substr(0, space);
    if (space != std::wstring::npos) {
        const std::wstring quirk = line.substr(space + 1);
        if (quirk == L"detail=short") entry.detail = DetailMode::shortSize;
        if (quirk == L"detail=fail") entry.detail = DetailMode::fail;
    }
    return entry;
}

void snapshot(DeviceSet* set) {
    std::wstring list;
    // No server: no devices, at once.
    if (!simControlWait(L"list", &list, 0) || list.compare(0, 5, L"error") == 0) return;
    std::size_t at = 0;
    while (at < list.size()) {
        std::size_t end = list.find(L'\n', at);
        if (end == std::wstring::npos) end = list.size();
        if (end > at) set->interfaces.push_back(parseListLine(list.substr(at, end - at)));
        at = end + 1;
    }
}

const Interface* interfaceOf(const DeviceSet* set, const SP_DEVICE_INTERFACE_DATA* data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        data->Reserved == 0 || data->Reserved > set->interfaces.size())
        return nullptr;
    return &set->interfaces[data->Reserved - 1];
}

void describeDevice(const DeviceSet* set, const SP_DEVICE_INTERFACE_DATA* data,
                    SP_DEVINFO_DATA* device) {
    if (device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA)) return;
    device->ClassGuid = set->classGuid;
    device->DevInst = static_cast<DWORD>(data->Reserved);
    device->Reserved = data->Reserved;
}

}  // namespace

extern "C" __declspec(dllexport) HDEVINFO WINAPI
    SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR, HWND, DWORD flags) {
    auto* set = new (std::nothrow) DeviceSet;
    if (set == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (classGuid != nullptr) set->classGuid = *classGuid;
    // Only HID interfaces exist in this world.
    if ((flags & DIGCF_DEVICEINTERFACE) && classGuid != nullptr &&
        IsEqualGUID(*classGuid, kHidClassGuid))
        snapshot(set);
    return set;
}

extern "C" __declspec(dllexport) WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    DeviceSet* set = setOf(handle);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    set->magic = 0;
    delete set;
    return TRUE;
}

extern "C" __declspec(dllexport) WINBOOL WINAPI
    SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID* classGuid,
                                DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    DeviceSet* set = setOf(handle);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (classGuid == nullptr || !IsEqualGUID(*classGuid, set->classGuid) ||
        index >= set->interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = *classGuid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return TRUE;
}

extern "C" __declspec(dllexport) WINBOOL WINAPI
    SetupDiGetDeviceInterfaceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                     PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    DeviceSet* set = setOf(handle);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const Interface* entry = interfaceOf(set, data);
    if (entry == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((detail == nullptr && detailSize != 0) ||
        (detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const DWORD needed =
        entry->detail == DetailMode::shortSize
            ? kShortDetailSize
            : kPathOffset + static_cast<DWORD>((entry->path.size() + 1) * sizeof(WCHAR));
    if (detailSize < needed || entry->detail == DetailMode::shortSize) {
        if (requiredSize != nullptr) *requiredSize = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (entry->detail == DetailMode::fail) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, entry->path.c_str(), (entry->path.size() + 1) * sizeof(WCHAR));
    if (requiredSize != nullptr) *requiredSize = needed;
    describeDevice(set, data, device);
    return TRUE;
}
