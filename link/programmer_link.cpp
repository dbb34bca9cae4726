#include "link/programmer_link.h"

#include <cstdlib>
#include <cstring>

#include "link/bytes.h"

ProgrammerLink programmerLink = {kNoDevice};

namespace {

constexpr std::uint32_t kEscFirmwareVersionOffset = 4;
constexpr std::uint32_t kEscTypeIdOffset = 0;
constexpr std::uint32_t kEscBootloaderVersionOffset = 4;

bool isProgrammingUnit(std::uint16_t vendorId, std::uint16_t productId) {
    return vendorId == kUnitVendorId &&
           (productId == kProductZelquad || productId == kProductTavilink);
}

}  // namespace

void resetProgrammerLink() {
    std::memset(&programmerLink, 0, sizeof programmerLink);
    programmerLink.handle = kNoDevice;
}

bool linkIsOpen() { return programmerLink.handle != kNoDevice; }

void closeProgrammer() {
    if (programmerLink.handle != kNoDevice) deviceClose(programmerLink.handle);
    std::free(programmerLink.devicePath);
    resetProgrammerLink();
}

LinkResult openProgrammer() {
    closeProgrammer();
    DeviceList* list = deviceListOpen();
    if (list == nullptr) return kLinkNoLink;
    for (std::uint32_t index = 0;; ++index) {
        char16_t* path = nullptr;
        std::uint32_t pathUnits = 0;
        InterfacePath found = deviceListPath(list, index, &path, &pathUnits);
        if (found == InterfacePath::end) {
            deviceListClose(list);
            return kLinkNoUnit;
        }
        if (found == InterfacePath::unreadable) continue;
        DeviceHandle device = deviceOpen(path);
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        if (device != kNoDevice && deviceAttributes(device, &vendorId, &productId) &&
            isProgrammingUnit(vendorId, productId)) {
            programmerLink.usbProductId = productId;
            programmerLink.handle = device;
            programmerLink.devicePath = path;  // the record takes the path over
            deviceListClose(list);
            const LinkResult result = identifyProgrammer();
            programmerLink.identified = result == kLinkOk;
            return result;
        }
        if (device != kNoDevice) deviceClose(device);
        std::free(path);
    }
}

std::uint16_t escFirmwareVersion() {
    return readU16(programmerLink.escInfo + kEscFirmwareVersionOffset);
}

void setEscFirmwareVersion(std::uint16_t version) {
    writeU16(programmerLink.escInfo + kEscFirmwareVersionOffset, version);
}

std::uint32_t escTypeId() { return readU32(programmerLink.escBootInfo + kEscTypeIdOffset); }

std::uint32_t escBootloaderVersion() {
    return readU32(programmerLink.escBootInfo + kEscBootloaderVersionOffset);
}
