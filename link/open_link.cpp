#include "link/open_link.h"

#include <cstdlib>
#include <cstring>

#include "link/device_io.h"
#include "link/identify.h"
#include "link/programmer_link.h"

namespace {

bool isProgrammingUnit(std::uint16_t vendorId, std::uint16_t productId) {
    return vendorId == kUnitVendorId &&
           (productId == kProductZelquad || productId == kProductTavilink);
}

// Opens `path` if it is a programming unit; the record takes the path over then. A device that
// cannot be opened or is something else is closed again and left to the caller; *heldElsewhere
// tells that another of our programs has it open.
bool takeIfProgrammingUnit(char16_t* path, bool* heldElsewhere) {
    DeviceHandle device = deviceOpen(path);
    *heldElsewhere = device == kNoDevice && deviceHeldElsewhere(lastSystemError());
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    if (device != kNoDevice && deviceAttributes(device, &vendorId, &productId) &&
        isProgrammingUnit(vendorId, productId)) {
        programmerLink.usbProductId = productId;
        programmerLink.handle = device;
        programmerLink.devicePath = path;
        return true;
    }
    if (device != kNoDevice) deviceClose(device);
    return false;
}

LinkResult identifyTakenUnit() {
    const LinkResult result = identifyProgrammer();
    programmerLink.identified = result == kLinkOk;
    return result;
}

}  // namespace

LinkResult openProgrammer() {
    closeProgrammer();
    DeviceList* list = deviceListOpen();
    if (list == nullptr) return kLinkNoLink;
    bool unitHeldElsewhere = false;
    for (std::uint32_t index = 0;; ++index) {
        char16_t* path = nullptr;
        std::uint32_t pathUnits = 0;
        InterfacePath found = deviceListPath(list, index, &path, &pathUnits);
        if (found == InterfacePath::end) {
            deviceListClose(list);
            return unitHeldElsewhere ? kLinkInUse : kLinkNoUnit;
        }
        if (found == InterfacePath::unreadable) continue;
        bool heldElsewhere = false;
        if (takeIfProgrammingUnit(path, &heldElsewhere)) {
            deviceListClose(list);
            return identifyTakenUnit();
        }
        unitHeldElsewhere = unitHeldElsewhere || heldElsewhere;
        std::free(path);
    }
}

LinkResult openProgrammerAt(const char16_t* path) {
    closeProgrammer();
    std::size_t units = 0;
    while (path[units] != u'\0') ++units;
    auto* copy = static_cast<char16_t*>(std::malloc((units + 1) * sizeof(char16_t)));
    if (copy == nullptr) return kLinkNoLink;
    std::memcpy(copy, path, (units + 1) * sizeof(char16_t));
    bool heldElsewhere = false;
    if (!takeIfProgrammingUnit(copy, &heldElsewhere)) {
        std::free(copy);
        return heldElsewhere ? kLinkInUse : kLinkNoUnit;
    }
    return identifyTakenUnit();
}
