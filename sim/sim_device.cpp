#include "sim/sim_device.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "link/device_io.h"

struct DeviceList {
    std::vector<SimDevice> snapshot;
};

namespace {

// An input report on its way to the host, readable from `arrivesAtMs` on.
struct InputReport {
    std::vector<std::uint8_t> bytes;
    std::uint64_t arrivesAtMs;
    std::size_t requestIndex;  // the request it answers in the unit's record; kSimUnasked if none
};


// Like the system's HID driver, each open handle queues the input reports that reach it: every
// open handle of a device gets every report the device sends.
struct OpenDevice {
    SimDevice device;
    bool open = true;
    bool held = false;  // opened by "our" programs: deviceOpen holds what it opens
    std::deque<InputReport> queue;
};

struct Bus {
    std::vector<SimDevice> devices;
    std::vector<std::unique_ptr<OpenDevice>> handles;
    std::vector<std::uint32_t> pauses;
    bool listAvailable = true;
    std::uint64_t nowMs = 1;
    std::uint32_t ioCount = 0;
    std::uint32_t lastError = 0;
    std::uint32_t answerDelayMs = 0;
    std::u16string keptClaim;  // the path whose claim the program keeps between opens
    // Answers the unit keeps back until the test releases them, with the device they go to.
    std::vector<std::pair<std::u16string, std::vector<SimDelivery>>> held;
};

Bus& bus() {
    static Bus instance;
    return instance;
}

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorBusy = 170;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::uint32_t kErrorDeviceNotConnected = 1167;
constexpr std::uint32_t kErrorTimeout = 1460;
constexpr std::uint64_t kMicrosecondsPerMs = 1000;

OpenDevice* openDevice(DeviceHandle handle) {
    for (const auto& device : bus().handles)
        if (device.get() == handle && device->open) return device.get();
    return nullptr;
}

// The queue stays in order of arrival: a late answer lets later ones pass.
void arrive(std::deque<InputReport>& queue, InputReport report) {
    auto later = std::upper_bound(
        queue.begin(), queue.end(), report.arrivesAtMs,
        [](std::uint64_t at, const InputReport& queued) { return at < queued.arrivesAtMs; });
    queue.insert(later, std::move(report));
}

// Every open handle of the device at `path` gets the report.
void arriveEverywhere(const std::u16string& path, const InputReport& report) {
    for (const auto& handle : bus().handles)
        if (handle->open && handle->device.path == path) arrive(handle->queue, report);
}

// Every open handle of the device at `path` gets each report, `afterMs` past `fromMs`.
void deliver(const std::u16string& path, std::vector<SimDelivery>& deliveries,
             std::uint64_t fromMs) {
    for (SimDelivery& delivery : deliveries)
        arriveEverywhere(path,
                         {std::move(delivery.bytes), fromMs + delivery.afterMs, delivery.answers});
}

bool heldByAHandle(const std::u16string& path) {
    for (const auto& handle : bus().handles)
        if (handle->open && handle->held && handle->device.path == path) return true;
    return false;
}

bool stillPlugged(const OpenDevice& device) {
    for (const SimDevice& present : bus().devices)
        if (present.path == device.device.path) return true;
    return false;
}

}  // namespace

void simBusReset(bool listAvailable) {
    Bus& b = bus();
    b = Bus{};
    b.listAvailable = listAvailable;
}

void simBusPlug(const SimDevice& device) { bus().devices.push_back(device); }

void simBusUnplug(const std::u16string& path) {
    auto& devices = bus().devices;
    for (auto it = devices.begin(); it != devices.end(); ++it)
        if (it->path == path) {
            devices.erase(it);
            return;
        }
}

void simBusPlugUnit(SimUnit& unit, const std::u16string& path) {
    SimDevice device;
    device.path = path;
    device.productId = unit.productId;
    device.unit = &unit;
    simBusPlug(device);
}

std::uint64_t simNowMs() { return bus().nowMs; }
const std::vector<std::uint32_t>& simPauses() { return bus().pauses; }
std::uint32_t simIoCount() { return bus().ioCount; }

std::uint32_t simOpenHandles() {
    std::uint32_t count = 0;
    for (const auto& device : bus().handles) count += device->open ? 1 : 0;
    return count;
}

DeviceList* deviceListOpen() {
    if (!bus().listAvailable) return nullptr;
    return new DeviceList{bus().devices};
}

InterfacePath deviceListPath(DeviceList* list, std::uint32_t index, char16_t** path,
                             std::uint32_t* pathUnits) {
    if (index >= list->snapshot.size()) return InterfacePath::end;
    const SimDevice& device = list->snapshot[index];
    if (!device.pathReadable) return InterfacePath::unreadable;
    const std::size_t units = device.path.size() + 1;
    *path = static_cast<char16_t*>(std::malloc(units * sizeof(char16_t)));
    std::memcpy(*path, device.path.c_str(), units * sizeof(char16_t));
    *pathUnits = static_cast<std::uint32_t>(units);
    return InterfacePath::found;
}

void deviceListClose(DeviceList* list) { delete list; }

DeviceHandle deviceOpen(const char16_t* path) {
    for (const SimDevice& device : bus().devices) {
        if (device.path != path) continue;
        // A device that is there but refuses to be opened, as without permission.
        if (!device.openable) {
            bus().lastError = kErrorAccessDenied;
            return kNoDevice;
        }
        if (heldByAHandle(device.path)) {
            bus().lastError = kErrorBusy;
            return kNoDevice;
        }
        bus().handles.push_back(std::make_unique<OpenDevice>(OpenDevice{device}));
        bus().handles.back()->held = true;
        return bus().handles.back().get();
    }
    bus().lastError = kErrorFileNotFound;
    return kNoDevice;
}

bool deviceHeldElsewhere(std::uint32_t systemError) { return systemError == kErrorBusy; }

bool deviceAbsent(std::uint32_t systemError) { return systemError == kErrorFileNotFound; }

// Like a named claim, the kept one is the path's: it outlives the unit being unplugged.
void deviceKeepClaim(DeviceHandle handle) {
    if (OpenDevice* device = openDevice(handle)) bus().keptClaim = device->device.path;
}

void deviceLetGoOfClaim() { bus().keptClaim.clear(); }

bool deviceSerialNumber(DeviceHandle handle, char16_t* serial, std::uint32_t units) {
    OpenDevice* device = openDevice(handle);
    if (device == nullptr || device->device.unit == nullptr || units == 0 ||
        device->device.unit->serialNumber.empty())
        return false;
    std::uint32_t at = 0;
    for (char unit : device->device.unit->serialNumber)
        if (at + 1 < units) serial[at++] = static_cast<char16_t>(static_cast<unsigned char>(unit));
    serial[at] = u'\0';
    return true;
}

DeviceHandle simOpenAsAnotherProgram(const std::u16string& path) {
    if (bus().keptClaim == path) {
        bus().lastError = kErrorBusy;
        return kNoDevice;
    }
    return deviceOpen(path.c_str());
}

const std::u16string& simKeptClaim() { return bus().keptClaim; }

bool simAnswersHeld() { return !bus().held.empty(); }

void simReleaseHeld() {
    auto held = std::move(bus().held);
    bus().held.clear();
    for (auto& [path, deliveries] : held) deliver(path, deliveries, bus().nowMs);
}

DeviceHandle simOpenUnheld(const std::u16string& path) {
    for (const SimDevice& device : bus().devices)
        if (device.path == path) {
            bus().handles.push_back(std::make_unique<OpenDevice>(OpenDevice{device}));
            return bus().handles.back().get();
        }
    return kNoDevice;
}

std::size_t simQueuedReports(DeviceHandle handle) {
    OpenDevice* device = openDevice(handle);
    return device == nullptr ? 0 : device->queue.size();
}

bool deviceAttributes(DeviceHandle handle, std::uint16_t* vendorId, std::uint16_t* productId) {
    OpenDevice* device = openDevice(handle);
    if (device == nullptr) return false;
    *vendorId = device->device.vendorId;
    *productId = device->device.productId;
    return true;
}

bool deviceReportLengths(DeviceHandle handle, std::uint32_t* outputLength,
                         std::uint32_t* inputLength) {
    OpenDevice* device = openDevice(handle);
    if (device == nullptr || device->device.unit == nullptr ||
        device->device.unit->capabilitiesFail)
        return false;
    *outputLength = device->device.unit->outputReportLength;
    *inputLength = device->device.unit->inputReportLength;
    return true;
}

bool deviceDropInput(DeviceHandle handle, std::uint32_t* dropped) {
    *dropped = 0;
    OpenDevice* device = openDevice(handle);
    // Like the system: the queue of a unit that is gone cannot be looked at.
    if (device == nullptr || device->device.unit == nullptr || !stillPlugged(*device) ||
        !device->device.unit->connected) {
        bus().lastError = kErrorDeviceNotConnected;
        return false;
    }
    auto& queue = device->queue;
    while (!queue.empty() && queue.front().arrivesAtMs <= bus().nowMs) {
        queue.pop_front();
        ++*dropped;
    }
    return true;
}

bool deviceWrite(DeviceHandle handle, const std::uint8_t* report, std::uint32_t length) {
    ++bus().ioCount;
    OpenDevice* device = openDevice(handle);
    if (device == nullptr || device->device.unit == nullptr || !stillPlugged(*device)) {
        bus().lastError = kErrorDeviceNotConnected;
        return false;
    }
    SimUnit& unit = *device->device.unit;
    SimExchange exchange = simUnitExchange(unit, report, length, bus().nowMs);
    if (!exchange.taken) {
        bus().lastError = kErrorGenFailure;
        return false;
    }
    if (exchange.held) {
        bus().held.push_back({device->device.path, std::move(exchange.deliveries)});
    } else {
        // What the unit sends goes out once it has worked on the request.
        deliver(device->device.path, exchange.deliveries, bus().nowMs + bus().answerDelayMs);
    }
    // The system took only part of the report: the write fails, the unit got that part.
    if (exchange.bytesTaken < length) {
        bus().lastError = kErrorGenFailure;
        return false;
    }
    return true;
}

bool deviceRead(DeviceHandle handle, std::uint8_t* report, std::uint32_t length,
                std::uint32_t timeoutMs) {
    ++bus().ioCount;
    OpenDevice* device = openDevice(handle);
    if (device == nullptr || device->device.unit == nullptr || !stillPlugged(*device) ||
        !device->device.unit->connected) {
        bus().lastError = kErrorDeviceNotConnected;
        return false;
    }
    auto& queue = device->queue;
    const std::uint64_t deadline = bus().nowMs + timeoutMs;
    if (queue.empty() || queue.front().arrivesAtMs > deadline) {
        bus().nowMs = deadline;
        bus().lastError = kErrorTimeout;
        return false;
    }
    InputReport next = std::move(queue.front());
    queue.pop_front();
    if (next.arrivesAtMs > bus().nowMs) bus().nowMs = next.arrivesAtMs;
    SimUnit& unit = *device->device.unit;
    if (next.requestIndex != kSimUnasked && next.requestIndex < unit.received.size())
        unit.received[next.requestIndex].readAtMs = bus().nowMs;
    // Like the system: a report of another length than the device declares is no whole report.
    if (next.bytes.size() != length) {
        bus().lastError = kErrorGenFailure;
        return false;
    }
    std::memcpy(report, next.bytes.data(), length);
    return true;
}

void deviceClose(DeviceHandle handle) {
    if (OpenDevice* device = openDevice(handle)) device->open = false;
}

std::uint32_t lastSystemError() { return bus().lastError; }

void pauseMs(std::uint32_t milliseconds) {
    bus().pauses.push_back(milliseconds);
    bus().nowMs += milliseconds;
}

std::uint64_t pauseClockUs() { return bus().nowMs * kMicrosecondsPerMs; }

void pauseSince(std::uint64_t sinceUs, std::uint32_t milliseconds) {
    // Waiting for a moment already set (the rest of a pause) is no pause of its own.
    if (milliseconds != 0) bus().pauses.push_back(milliseconds);
    bus().nowMs = std::max(bus().nowMs, sinceUs / kMicrosecondsPerMs + milliseconds);
}

void simSpendMs(std::uint32_t milliseconds) { bus().nowMs += milliseconds; }

void simSetAnswerDelayMs(std::uint32_t milliseconds) { bus().answerDelayMs = milliseconds; }
