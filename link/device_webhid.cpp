// The device seam in the browser: the units the page was granted, through WebHID.
//
// Every call that waits for the browser (the device list, open and close, each report, each
// pause) awaits a promise of link/device_webhid.js; -sASYNCIFY unwinds the chain meanwhile and
// rewinds it when the promise settles, so the same synchronous chain runs here as on Windows and
// Linux. A path is "webhid:N", N naming one device object for the page's life.
#include <emscripten.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/device_io.h"
#include "link/device_webhid.h"

namespace {

// What link/device_webhid.js returns instead of a result; kept in step with it.
constexpr int kGone = -1;
constexpr int kTimedOut = -2;
constexpr int kTooShort = -3;
constexpr int kTooLong = -4;
constexpr int kRefused = -5;
constexpr int kNotThere = -6;

// System errors by the numbers Linux gives them, so that a code line means the same from the
// page as from the Linux flasher (Emscripten's own errno values are WASI's).
constexpr std::uint32_t kNoEntry = 2;          // ENOENT: no such device
constexpr std::uint32_t kInputOutput = 5;      // EIO
constexpr std::uint32_t kAccessDenied = 13;    // EACCES: the browser refused to open it
constexpr std::uint32_t kNoSuchDevice = 19;    // ENODEV: it went
constexpr std::uint32_t kInvalid = 22;         // EINVAL
constexpr std::uint32_t kNotImplemented = 38;  // ENOSYS
constexpr std::uint32_t kProtocol = 71;        // EPROTO: an answer cut short
constexpr std::uint32_t kMessageSize = 90;     // EMSGSIZE: an answer too long
constexpr std::uint32_t kTimedOutError = 110;  // ETIMEDOUT

constexpr char16_t kPathPrefix[] = u"webhid:";
constexpr std::uint32_t kPathUnits = 32;

std::uint32_t lastError = 0;

EM_ASYNC_JS(int, listDevices, (), { return await Module.webhid.list(); });
EM_JS(int, listedDevice, (int index), { return Module.webhid.listedId(index); });
EM_ASYNC_JS(int, openDevice, (int id), { return await Module.webhid.open(id); });
EM_ASYNC_JS(void, closeDevice, (int handle), { await Module.webhid.close(handle); });
EM_JS(int, vendorIdOf, (int handle), { return Module.webhid.vendorId(handle); });
EM_JS(int, productIdOf, (int handle), { return Module.webhid.productId(handle); });
EM_JS(int, outputLengthOf, (int handle), { return Module.webhid.outputLength(handle); });
EM_JS(int, inputLengthOf, (int handle), { return Module.webhid.inputLength(handle); });
EM_ASYNC_JS(int, writeReport, (int handle, const std::uint8_t* report, int length), {
    return await Module.webhid.write(handle, HEAPU8.slice(report, report + length));
});
EM_ASYNC_JS(int, readReport, (int handle, std::uint8_t* into, int length, int timeoutMs), {
    const report = await Module.webhid.read(handle, length, timeoutMs);
    if (typeof report === 'number') return report;
    HEAPU8.set(report, into);
    return length;
});
EM_JS(int, dropReports, (int handle), { return Module.webhid.drop(handle); });
EM_ASYNC_JS(void, sleepMs, (int milliseconds), { await Module.webhid.sleep(milliseconds); });
EM_JS(double, nowUs, (), { return Math.floor(performance.now() * 1000); });

int handleOf(DeviceHandle device) { return static_cast<int>(reinterpret_cast<std::uintptr_t>(device)); }

bool fail(std::uint32_t error) {
    lastError = error;
    return false;
}

bool succeed() {
    lastError = 0;
    return true;
}

std::uint32_t errorOf(int outcome) {
    switch (outcome) {
        case kGone: return kNoSuchDevice;
        case kTimedOut: return kTimedOutError;
        case kTooShort: return kProtocol;
        case kTooLong: return kMessageSize;
        case kRefused: return kAccessDenied;
        case kNotThere: return kNoEntry;
        default: return kInputOutput;
    }
}

// The number after the prefix; 0 for a path that is no WebHID path.
int idOfPath(const char16_t* path) {
    std::uint32_t at = 0;
    for (; kPathPrefix[at] != u'\0'; ++at)
        if (path[at] != kPathPrefix[at]) return 0;
    int id = 0;
    for (; path[at] >= u'0' && path[at] <= u'9' && id < 100000000; ++at) id = id * 10 + (path[at] - u'0');
    return path[at] == u'\0' ? id : 0;
}

}  // namespace

struct DeviceList {
    int count;
};

DeviceList* deviceListOpen() {
    auto* list = static_cast<DeviceList*>(std::malloc(sizeof(DeviceList)));
    if (list == nullptr) return nullptr;
    list->count = listDevices();
    return list;
}

InterfacePath deviceListPath(DeviceList* list, std::uint32_t index, char16_t** path,
                             std::uint32_t* pathUnits) {
    if (index >= static_cast<std::uint32_t>(list->count)) return InterfacePath::end;
    const int id = listedDevice(static_cast<int>(index));
    if (id == 0) return InterfacePath::unreadable;
    auto* copy = static_cast<char16_t*>(std::malloc(kPathUnits * sizeof(char16_t)));
    if (copy == nullptr) return InterfacePath::unreadable;
    char digits[16];
    const int count = std::snprintf(digits, sizeof digits, "%d", id);
    std::uint32_t at = 0;
    for (; kPathPrefix[at] != u'\0'; ++at) copy[at] = kPathPrefix[at];
    for (int i = 0; i < count; ++i) copy[at++] = static_cast<char16_t>(digits[i]);
    copy[at++] = u'\0';
    *path = copy;
    *pathUnits = at;
    return InterfacePath::found;
}

void deviceListClose(DeviceList* list) { std::free(list); }

bool webHidPathNames(const char16_t* path, int id) { return id > 0 && idOfPath(path) == id; }

DeviceHandle deviceOpen(const char16_t* path) {
    const int id = idOfPath(path);
    if (id == 0) {
        fail(kNoEntry);
        return kNoDevice;
    }
    const int handle = openDevice(id);
    if (handle <= 0) {
        fail(errorOf(handle));
        return kNoDevice;
    }
    succeed();
    return reinterpret_cast<DeviceHandle>(static_cast<std::uintptr_t>(handle));
}

// The browser keeps no claim our native programs could see, nor sees theirs.
bool deviceHeldElsewhere(std::uint32_t) { return false; }

bool deviceAbsent(std::uint32_t systemError) { return systemError == kNoEntry; }

void deviceKeepClaim(DeviceHandle) {}

void deviceLetGoOfClaim() {}

// WebHID does not give the serial number.
bool deviceSerialNumber(DeviceHandle, char16_t*, std::uint32_t) { return fail(kNotImplemented); }

bool deviceAttributes(DeviceHandle device, std::uint16_t* vendorId, std::uint16_t* productId) {
    *vendorId = static_cast<std::uint16_t>(vendorIdOf(handleOf(device)));
    *productId = static_cast<std::uint16_t>(productIdOf(handleOf(device)));
    return succeed();
}

bool deviceReportLengths(DeviceHandle device, std::uint32_t* outputLength,
                         std::uint32_t* inputLength) {
    const int output = outputLengthOf(handleOf(device));
    const int input = inputLengthOf(handleOf(device));
    // A device without input or output reports cannot carry the unit's exchanges.
    if (output <= 1 || input <= 1) return fail(kProtocol);
    *outputLength = static_cast<std::uint32_t>(output);
    *inputLength = static_cast<std::uint32_t>(input);
    return succeed();
}

bool deviceDropInput(DeviceHandle device, std::uint32_t* dropped) {
    const int outcome = dropReports(handleOf(device));
    *dropped = outcome > 0 ? static_cast<std::uint32_t>(outcome) : 0;
    return outcome >= 0 ? succeed() : fail(errorOf(outcome));
}

bool deviceWrite(DeviceHandle device, const std::uint8_t* report, std::uint32_t length) {
    if (length == 0) return fail(kInvalid);
    const int outcome = writeReport(handleOf(device), report, static_cast<int>(length));
    return outcome == 0 ? succeed() : fail(errorOf(outcome));
}

bool deviceRead(DeviceHandle device, std::uint8_t* report, std::uint32_t length,
                std::uint32_t timeoutMs) {
    const int outcome = readReport(handleOf(device), report, static_cast<int>(length),
                                   static_cast<int>(timeoutMs));
    return outcome == static_cast<int>(length) ? succeed() : fail(errorOf(outcome));
}

void deviceClose(DeviceHandle device) { closeDevice(handleOf(device)); }

std::uint32_t lastSystemError() { return lastError; }

void pauseMs(std::uint32_t milliseconds) { pauseSince(pauseClockUs(), milliseconds); }

std::uint64_t pauseClockUs() { return static_cast<std::uint64_t>(nowUs()); }

// A browser timer fires at its time or later; the loop makes sure of "not earlier" on this
// clock, which the timer's own may differ from by a fraction of a millisecond.
void pauseSince(std::uint64_t sinceUs, std::uint32_t milliseconds) {
    const std::uint64_t untilUs = sinceUs + std::uint64_t{milliseconds} * 1000;
    for (std::uint64_t now = pauseClockUs(); now < untilUs; now = pauseClockUs())
        sleepMs(static_cast<int>((untilUs - now + 999) / 1000));
}
