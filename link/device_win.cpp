// The Windows device backend: SetupAPI lists the HID interfaces, HID.DLL names and sizes them,
// and whole reports travel through overlapped file I/O so that every wait has a bound.
#include "link/device_io.h"

#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "device paths are UTF-16");

struct DeviceList {
    HDEVINFO set;
    GUID hidGuid;
};

namespace {

// A write completes once the unit's endpoint takes the report; one stuck this long means the
// unit is gone, the same verdict as a silent read.
constexpr DWORD kWriteTimeoutMs = 10000;
// Longest interface path accepted (the platform's own path limit); a larger reported size is
// garbage from a vanishing interface, not a path.
constexpr DWORD kMaxPathUnits = 32767;
constexpr DWORD kDetailHeaderSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

// Room for one input report and one byte more, so that a longer report shows as such.
constexpr DWORD kReportRoomBytes = 256;
// The reports one drop reads and counts before it flushes the rest unread; the system's HID
// queue holds 32 by default.
constexpr std::uint32_t kDropReadsMax = 64;

HANDLE asHandle(DeviceHandle device) { return static_cast<HANDLE>(device); }

// Which open device holds which claim, and its input report length once asked for. A program
// of ours has one or two devices open at a time.
//
// Once the length is known, a look at the queue starts a read that is not given up on: one that
// has to wait finds the queue empty, and it stays under way for the answer to the request that
// follows. A look is then one trip to the system, where a read started and given up on every
// time takes four (about a quarter of a millisecond per block under Wine).
struct Claim {
    HANDLE device;
    HANDLE mutex;  // null while the kept claim holds the device for it
    unsigned long long name;
    DWORD inputLength;
    HANDLE readEvent;
    OVERLAPPED read;
    bool reading;          // `read` was started and its outcome not yet taken
    DWORD readStartError;  // the error of a read that failed as it started; 0 when under way
    std::uint8_t readRoom[kReportRoomBytes];
};
constexpr int kClaimsMax = 16;
Claim claims[kClaimsMax];

constexpr wchar_t kClaimNameFormat[] = L"Local\\ZirvanoProgrammingUnit-%016llx";
constexpr int kClaimNameUnits = 64;
constexpr unsigned long long kFnvOffset = 0xcbf29ce484222325ull;
constexpr unsigned long long kFnvPrime = 0x100000001b3ull;
// "\\?\" and "\\.\" open the same device; the prefix is left out of the name.
constexpr std::size_t kPathPrefixUnits = 4;

bool hasDevicePrefix(const char16_t* path) {
    return path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.') &&
           path[3] == u'\\';
}

// The claim kept beyond its device's close (deviceKeepClaim), by the name of its mutex. A named
// mutex outlives the device: while it is kept, a unit unplugged and plugged in again at the same
// path stays ours.
struct KeptClaim {
    unsigned long long name;
    HANDLE mutex;
};
KeptClaim kept{};

// The claim's name is made from the path folded to lower case: interface paths differ in letter
// case between the device list and notifications.
unsigned long long claimName(const char16_t* path) {
    unsigned long long hash = kFnvOffset;
    const char16_t* start = hasDevicePrefix(path) ? path + kPathPrefixUnits : path;
    for (const char16_t* unit = start; *unit != u'\0'; ++unit) {
        const char16_t folded = *unit >= u'A' && *unit <= u'Z' ? *unit + (u'a' - u'A') : *unit;
        hash = (hash ^ static_cast<unsigned long long>(folded)) * kFnvPrime;
    }
    return hash;
}

// A named mutex per device path tells our programs apart from each other: only the first to
// create it may open the device. True with *mutex null when this program keeps the claim.
bool claimDevice(unsigned long long hash, HANDLE* mutex) {
    *mutex = nullptr;
    if (kept.mutex != nullptr && kept.name == hash) return true;
    wchar_t name[kClaimNameUnits];
    std::swprintf(name, kClaimNameUnits, kClaimNameFormat, hash);
    // Only a name that already existed leaves ERROR_ALREADY_EXISTS behind; nothing stale may.
    SetLastError(ERROR_SUCCESS);
    HANDLE created = CreateMutexW(nullptr, FALSE, name);
    // A claim made by another user's program can be one this user may not even open.
    if (created == nullptr && GetLastError() == ERROR_ACCESS_DENIED) SetLastError(ERROR_BUSY);
    if (created == nullptr) return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(created);
        SetLastError(ERROR_BUSY);
        return false;
    }
    *mutex = created;
    return true;
}

Claim* claimOf(HANDLE device) {
    for (Claim& claim : claims)
        if (claim.device == device) return &claim;
    return nullptr;
}

bool keepClaim(HANDLE device, HANDLE mutex, unsigned long long name) {
    for (Claim& claim : claims)
        if (claim.device == nullptr) {
            claim = Claim{};
            claim.device = device;
            claim.mutex = mutex;
            claim.name = name;
            return true;
        }
    return false;
}

// The claim of `device` when it can keep a read under way.
Claim* keptReadClaim(HANDLE device) {
    Claim* claim = claimOf(device);
    if (claim == nullptr || claim->inputLength == 0 || claim->inputLength >= kReportRoomBytes)
        return nullptr;
    if (claim->readEvent == nullptr) claim->readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return claim->readEvent != nullptr ? claim : nullptr;
}

// Starts the claim's read unless one is under way, with room for one report and a byte, so
// that the HID driver puts one report in it and a longer one shows. True when the read it
// started waits: the driver completes a read at once from what is queued.
bool startKeptRead(HANDLE device, Claim& claim) {
    if (claim.reading) return false;
    std::memset(&claim.read, 0, sizeof claim.read);
    claim.read.hEvent = claim.readEvent;
    const BOOL started =
        ReadFile(device, claim.readRoom, claim.inputLength + 1, nullptr, &claim.read);
    const bool waits = !started && GetLastError() == ERROR_IO_PENDING;
    claim.readStartError = started || waits ? 0 : GetLastError();
    claim.reading = true;
    return waits;
}

// Takes the outcome of the claim's read once it has ended, waiting `waitMs` at most; false
// while it is still under way. *received tells whether a report came, *bytes its length; the
// system error says why not.
bool keptReadEnded(HANDLE device, Claim& claim, DWORD waitMs, bool* received, DWORD* bytes) {
    *bytes = 0;
    if (claim.readStartError == 0 && WaitForSingleObject(claim.readEvent, waitMs) != WAIT_OBJECT_0)
        return false;
    claim.reading = false;
    if (claim.readStartError != 0) {
        SetLastError(claim.readStartError);
        *received = false;
    } else {
        *received = GetOverlappedResult(device, &claim.read, bytes, FALSE) != FALSE;
    }
    return true;
}

// Gives up on the claim's read and waits until the system is done with it; a report that
// arrived meanwhile still counts (true).
bool cancelKeptRead(HANDLE device, Claim& claim, DWORD* bytes) {
    *bytes = 0;
    claim.reading = false;
    if (claim.readStartError != 0) {
        SetLastError(claim.readStartError);
        return false;
    }
    CancelIoEx(device, &claim.read);
    return GetOverlappedResult(device, &claim.read, bytes, TRUE) != FALSE;
}

void releaseClaim(HANDLE device) {
    if (Claim* claim = claimOf(device)) {
        DWORD bytes = 0;
        if (claim->reading) cancelKeptRead(device, *claim, &bytes);
        if (claim->readEvent != nullptr) CloseHandle(claim->readEvent);
        if (claim->mutex != nullptr) CloseHandle(claim->mutex);
        *claim = Claim{};
    }
}

// Room for one read of a queued report. The HID driver fills a read with as many whole reports
// as fit, so a drop that is to count them reads into room for one and a byte, once the length
// is known.
DWORD dropRoom(HANDLE device) {
    const Claim* claim = claimOf(device);
    const DWORD known = claim != nullptr ? claim->inputLength : 0;
    return known != 0 && known < kReportRoomBytes ? known + 1 : kReportRoomBytes;
}

// Copies the path out of a detail record of `detailSize` bytes, stopping at the terminator or
// at the end of the record, whichever comes first.
char16_t* copyPath(const SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                   std::uint32_t* pathUnits) {
    const DWORD roomUnits = (detailSize - kPathOffset) / sizeof(WCHAR);
    DWORD length = 0;
    while (length < roomUnits && detail->DevicePath[length] != L'\0') ++length;
    if (length == 0) return nullptr;
    auto* path = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
    if (path == nullptr) return nullptr;
    std::memcpy(path, detail->DevicePath, length * sizeof(char16_t));
    path[length] = u'\0';
    *pathUnits = length + 1;
    return path;
}

// Runs one overlapped transfer to completion or until `timeoutMs` passes. On a time-out the
// request is cancelled and its end awaited: the kernel must be done with `ov` and the caller's
// buffer before they go out of scope. A transfer that completes while being cancelled counts.
bool finishTransfer(HANDLE handle, BOOL started, OVERLAPPED* ov, DWORD timeoutMs,
                    DWORD* transferred) {
    *transferred = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    // Done as it started (a pipe takes a write at once): the outcome is there without a wait.
    if (started) return GetOverlappedResult(handle, ov, transferred, FALSE) != FALSE;
    if (WaitForSingleObject(ov->hEvent, timeoutMs) == WAIT_OBJECT_0)
        return GetOverlappedResult(handle, ov, transferred, FALSE) != FALSE;
    CancelIo(handle);
    if (GetOverlappedResult(handle, ov, transferred, TRUE)) return true;
    // One that completed meanwhile with more than the room held says so instead.
    if (GetLastError() != ERROR_MORE_DATA) SetLastError(ERROR_TIMEOUT);
    return false;
}

// One completion event per thread, made once: creating one per transfer would add two
// round trips to the system for every report.
HANDLE transferEvent() {
    static thread_local HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

}  // namespace

DeviceList* deviceListOpen() {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set =
        SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return nullptr;
    auto* list = static_cast<DeviceList*>(std::malloc(sizeof(DeviceList)));
    if (list == nullptr) {
        SetupDiDestroyDeviceInfoList(set);
        return nullptr;
    }
    list->set = set;
    list->hidGuid = hidGuid;
    return list;
}

InterfacePath deviceListPath(DeviceList* list, std::uint32_t index, char16_t** path,
                             std::uint32_t* pathUnits) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(list->set, nullptr, &list->hidGuid, index, &interfaceData))
        return InterfacePath::end;

    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailW(list->set, &interfaceData, nullptr, 0, &requiredSize, nullptr);
    // An interface that vanished between enumeration and this query can report a size that
    // does not even hold the header.
    if (requiredSize < kDetailHeaderSize || requiredSize > kPathOffset + kMaxPathUnits * 2)
        return InterfacePath::unreadable;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::malloc(requiredSize));
    if (detail == nullptr) return InterfacePath::unreadable;
    detail->cbSize = kDetailHeaderSize;
    InterfacePath result = InterfacePath::unreadable;
    if (SetupDiGetDeviceInterfaceDetailW(list->set, &interfaceData, detail, requiredSize, nullptr,
                                         nullptr)) {
        *path = copyPath(detail, requiredSize, pathUnits);
        if (*path != nullptr) result = InterfacePath::found;
    }
    std::free(detail);
    return result;
}

void deviceListClose(DeviceList* list) {
    if (list == nullptr) return;
    SetupDiDestroyDeviceInfoList(list->set);
    std::free(list);
}

DeviceHandle deviceOpen(const char16_t* path) {
    const unsigned long long name = claimName(path);
    HANDLE mutex = nullptr;
    if (!claimDevice(name, &mutex)) return kNoDevice;
    // Overlapped, so that reads can be given up on; each call below still completes before
    // it returns.
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(path),
                                GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE && keepClaim(handle, mutex, name)) return handle;
    const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_TOO_MANY_OPEN_FILES;
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    if (mutex != nullptr) CloseHandle(mutex);
    SetLastError(error);
    return kNoDevice;
}

bool deviceHeldElsewhere(std::uint32_t systemError) { return systemError == ERROR_BUSY; }

bool deviceAbsent(std::uint32_t systemError) {
    return systemError == ERROR_FILE_NOT_FOUND || systemError == ERROR_PATH_NOT_FOUND;
}

void deviceKeepClaim(DeviceHandle device) {
    Claim* claim = claimOf(asHandle(device));
    if (claim == nullptr || claim->mutex == nullptr) return;
    deviceLetGoOfClaim();
    kept = {claim->name, claim->mutex};
    claim->mutex = nullptr;
}

void deviceLetGoOfClaim() {
    if (kept.mutex != nullptr) CloseHandle(kept.mutex);
    kept = KeptClaim{};
}

bool deviceSerialNumber(DeviceHandle device, char16_t* serial, std::uint32_t units) {
    // The system's limit for a USB string descriptor is 126 characters and its terminator.
    constexpr ULONG kSerialBytesMax = 127 * sizeof(wchar_t);
    if (units == 0) return false;
    wchar_t text[kSerialBytesMax / sizeof(wchar_t) + 1] = {};
    if (!HidD_GetSerialNumberString(asHandle(device), text, kSerialBytesMax) || text[0] == L'\0')
        return false;
    std::uint32_t at = 0;
    for (const wchar_t* unit = text; *unit != L'\0' && at + 1 < units; ++unit)
        serial[at++] = static_cast<char16_t>(*unit);
    serial[at] = u'\0';
    return true;
}

bool deviceAttributes(DeviceHandle device, std::uint16_t* vendorId, std::uint16_t* productId) {
    HIDD_ATTRIBUTES attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(asHandle(device), &attributes)) return false;
    *vendorId = attributes.VendorID;
    *productId = attributes.ProductID;
    return true;
}

bool deviceReportLengths(DeviceHandle device, std::uint32_t* outputLength,
                         std::uint32_t* inputLength) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(asHandle(device), &preparsed)) return false;
    HIDP_CAPS caps;
    std::memset(&caps, 0, sizeof caps);
    const bool known = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    HidD_FreePreparsedData(preparsed);
    if (!known) return false;
    *outputLength = caps.OutputReportByteLength;
    *inputLength = caps.InputReportByteLength;
    if (Claim* claim = claimOf(asHandle(device))) claim->inputLength = caps.InputReportByteLength;
    return true;
}

namespace {

enum class Look { nothing, report, overlong, failed };

// One look at the queue that does not wait: takes off the report at its head, if any.
Look lookOnce(HANDLE device) {
    bool received = false;
    DWORD bytes = 0;
    if (Claim* claim = keptReadClaim(device)) {
        if (startKeptRead(device, *claim)) return Look::nothing;
        if (!keptReadEnded(device, *claim, 0, &received, &bytes)) return Look::nothing;
    } else {
        // A read given up on at once. A report that arrives while it is being given up on
        // completes it and is counted: none slips through.
        OVERLAPPED request{};
        request.hEvent = transferEvent();
        if (request.hEvent == nullptr) return Look::failed;
        std::uint8_t stale[kReportRoomBytes];
        const BOOL started = ReadFile(device, stale, dropRoom(device), nullptr, &request);
        received = finishTransfer(device, started, &request, 0, &bytes);
        if (!received && GetLastError() == ERROR_TIMEOUT) return Look::nothing;
    }
    if (received) return Look::report;
    return GetLastError() == ERROR_MORE_DATA ? Look::overlong : Look::failed;
}

}  // namespace

bool deviceDropInput(DeviceHandle device, std::uint32_t* dropped) {
    *dropped = 0;
    // One report at a time, until a look finds nothing.
    while (*dropped < kDropReadsMax) {
        const Look look = lookOnce(asHandle(device));
        if (look == Look::nothing) {
            SetLastError(ERROR_SUCCESS);
            return true;
        }
        if (look == Look::failed) return false;
        ++*dropped;
        // Longer than the report: what is left of it goes with the queue.
        if (look == Look::overlong) break;
    }
    // A unit that keeps sending: the rest goes at once.
    if (!HidD_FlushQueue(asHandle(device))) return false;
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool deviceWrite(DeviceHandle device, const std::uint8_t* report, std::uint32_t length) {
    OVERLAPPED request{};
    request.hEvent = transferEvent();
    if (request.hEvent == nullptr) return false;
    const BOOL started = WriteFile(asHandle(device), report, length, nullptr, &request);
    DWORD written = 0;
    if (!finishTransfer(asHandle(device), started, &request, kWriteTimeoutMs, &written))
        return false;
    if (written != length) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    // The pending start leaves ERROR_IO_PENDING behind; a later refusal by the unit must not
    // show it as the system's error code.
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool deviceRead(DeviceHandle device, std::uint8_t* report, std::uint32_t length,
                std::uint32_t timeoutMs) {
    std::uint8_t whole[kReportRoomBytes];
    if (length >= sizeof whole) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const HANDLE handle = asHandle(device);
    if (Claim* claim = keptReadClaim(handle)) {
        startKeptRead(handle, *claim);
        bool received = false;
        DWORD read = 0;
        if (!keptReadEnded(handle, *claim, timeoutMs, &received, &read)) {
            received = cancelKeptRead(handle, *claim, &read);
            if (!received && GetLastError() != ERROR_MORE_DATA) SetLastError(ERROR_TIMEOUT);
        }
        if (!received) return false;
        if (read != length) {
            SetLastError(ERROR_READ_FAULT);
            return false;
        }
        std::memcpy(report, claim->readRoom, length);
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    OVERLAPPED request{};
    request.hEvent = transferEvent();
    if (request.hEvent == nullptr) return false;
    // One byte of room more than the report, so that a longer one shows instead of being cut.
    const BOOL started = ReadFile(handle, whole, length + 1, nullptr, &request);
    DWORD read = 0;
    if (!finishTransfer(handle, started, &request, timeoutMs, &read)) return false;
    if (read != length) {
        SetLastError(ERROR_READ_FAULT);
        return false;
    }
    std::memcpy(report, whole, length);
    SetLastError(ERROR_SUCCESS);
    return true;
}

void deviceClose(DeviceHandle device) {
    releaseClaim(asHandle(device));
    CloseHandle(asHandle(device));
}

std::uint32_t lastSystemError() { return GetLastError(); }

void pauseMs(std::uint32_t milliseconds) { Sleep(milliseconds); }

namespace {

constexpr std::uint64_t kMicrosecondsPerMs = 1000;
constexpr std::uint64_t kMicrosecondsPerSecond = 1000000;
constexpr LONGLONG kDelayUnitsPerMicrosecond = 10;  // the system's delay counts in 100 ns

// Sleep takes whole milliseconds, and rounding the rest of a pause up to one would lengthen
// every block's pause by half a millisecond on average. The system's own delay, under Sleep,
// takes the rest as it is. (A waitable timer would too, but under Wine its wait goes through the
// server, which wakes it on its next whole millisecond.)
using DelayExecution = LONG(NTAPI*)(BOOLEAN alertable, PLARGE_INTEGER interval);

DelayExecution systemDelay() {
    static const DelayExecution delay =
        reinterpret_cast<DelayExecution>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDelayExecution")));
    return delay;
}

}  // namespace

std::uint64_t pauseClockUs() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const auto perSecond = static_cast<std::uint64_t>(frequency);
    return ticks / perSecond * kMicrosecondsPerSecond +
           ticks % perSecond * kMicrosecondsPerSecond / perSecond;
}

void pauseSince(std::uint64_t sinceUs, std::uint32_t milliseconds) {
    // A failed step's system error is taken after the pause behind it.
    const DWORD error = GetLastError();
    const std::uint64_t untilUs = sinceUs + milliseconds * kMicrosecondsPerMs;
    // The delay's clock and this one may differ by a hair; the pause is never cut short.
    for (std::uint64_t now = pauseClockUs(); now < untilUs; now = pauseClockUs()) {
        const std::uint64_t restUs = untilUs - now;
        if (const DelayExecution delay = systemDelay()) {
            LARGE_INTEGER interval;  // negative: relative to now
            interval.QuadPart = -static_cast<LONGLONG>(restUs) * kDelayUnitsPerMicrosecond;
            delay(FALSE, &interval);
        } else {
            Sleep(static_cast<DWORD>((restUs + kMicrosecondsPerMs - 1) / kMicrosecondsPerMs));
        }
    }
    SetLastError(error);
}
