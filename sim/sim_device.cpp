#include "sim/sim_device.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "link/device_io.h"

struct DeviceList {
    std::vector<SimDevice> snapshot;
};

namespace {

struct OpenDevice {
    SimDevice device;
    bool open = true;
    bool answerPending = false;
    SimReply pendingReply = SimReply::answer;
    std::uint8_t answer[256] = {};
};

struct Bus {
    std::vector<SimDevice> devices;
    std::vector<std::unique_ptr<OpenDevice>> handles;
    std::vector<std::uint32_t> pauses;
    bool listAvailable = true;
    std::uint64_t nowMs = 1;
    std::uint32_t ioCount = 0;
    std::uint32_t lastError = 0;
};

Bus& bus() {
    static Bus instance;
    return instance;
}

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::uint32_t kErrorDeviceNotConnected = 1167;
constexpr std::uint32_t kErrorTimeout = 1460;

OpenDevice* openDevice(DeviceHandle handle) {
    for (const auto& device : bus().handles)
        if (device.get() == handle && device->open) return device.get();
    return nullptr;
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
    for (const SimDevice& device : bus().devices)
        if (device.path == path && device.openable) {
            bus().handles.push_back(std::make_unique<OpenDevice>(OpenDevice{device}));
            return bus().handles.back().get();
        }
    bus().lastError = kErrorFileNotFound;
    return kNoDevice;
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

bool deviceWrite(DeviceHandle handle, const std::uint8_t* report, std::uint32_t length) {
    ++bus().ioCount;
    OpenDevice* device = openDevice(handle);
    if (device == nullptr || device->device.unit == nullptr || !stillPlugged(*device)) {
        bus().lastError = kErrorDeviceNotConnected;
        return false;
    }
    SimUnit& unit = *device->device.unit;
    const std::uint32_t answerLength = unit.inputReportLength < sizeof device->answer
                                           ? unit.inputReportLength
                                           : sizeof device->answer;
    device->pendingReply =
        simUnitHandle(unit, report, length, bus().nowMs, device->answer, answerLength);
    if (device->pendingReply == SimReply::disconnected) {
        bus().lastError = kErrorGenFailure;
        return false;
    }
    device->answerPending = true;
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
    if (!device->answerPending || device->pendingReply != SimReply::answer) {
        bus().nowMs += timeoutMs;
        bus().lastError = kErrorTimeout;
        device->answerPending = false;
        return false;
    }
    device->answerPending = false;
    std::uint32_t have = device->device.unit->inputReportLength;
    if (have > sizeof device->answer) have = sizeof device->answer;
    std::memcpy(report, device->answer, length < have ? length : have);
    device->device.unit->received.back().readAtMs = bus().nowMs;
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
