#include "cli/unit_finding.h"

#include <cstdlib>

#include "cli/text_encoding.h"
#include "link/device_io.h"
#include "link/identify.h"
#include "link/open_link.h"

namespace {

UnitSighting sightingOfLink(UnitSighting sighting) {
    sighting.kind = Sighting::unit;
    sighting.productId = programmerLink.usbProductId;
    sighting.unitVersion = programmerLink.unitFirmwareVersion;
    sighting.readiness = linkReadiness();
    sighting.escTypeId = escTypeId();
    return sighting;
}

// Opens and identifies the interface at `path`; `isUnit` false when it is some other device.
// The link stays open for a unit whose identification told anything.
UnitSighting sightAt(const std::u16string& path, const SystemHooks& system, bool* isUnit) {
    UnitSighting sighting{};
    sighting.path = path;
    *isUnit = true;
    const LinkResult result = openProgrammerAt(path.c_str());
    if (result == kLinkInUse) {
        sighting.kind = Sighting::inUse;
        *isUnit = system.mayBeUnit(path.c_str());
        return sighting;
    }
    if (!linkIsOpen()) {
        // Either it cannot be opened or it is another device: opening it once more tells which,
        // and the system error is taken right after the failing call.
        const DeviceHandle probe = deviceOpen(path.c_str());
        if (probe != kNoDevice) {
            deviceClose(probe);
            *isUnit = false;
            return sighting;
        }
        sighting.systemError = lastSystemError();
        // Gone since the list was read, or never there: no unit at all.
        if (deviceAbsent(sighting.systemError)) {
            sighting.kind = Sighting::absent;
            sighting.systemError = 0;
            *isUnit = false;
            return sighting;
        }
        sighting.kind = Sighting::cannotOpen;
        sighting.permissionDenied = system.isPermissionDenied(sighting.systemError);
        *isUnit = system.mayBeUnit(path.c_str());
        return sighting;
    }
    sighting.productId = programmerLink.usbProductId;
    if (result != kLinkOk) {
        sighting.kind = Sighting::unidentified;
        sighting.result = result;
        sighting.outputReportLength = programmerLink.outputReportLength;
        sighting.inputReportLength = programmerLink.inputReportLength;
        return sighting;
    }
    return sightingOfLink(sighting);
}

UnitState stateOf(const UnitSighting& sighting) {
    switch (sighting.kind) {
        case Sighting::cannotOpen: return UnitState::cannotOpen;
        case Sighting::inUse: return UnitState::inUse;
        case Sighting::unidentified: return UnitState::unidentified;
        case Sighting::absent: return UnitState::noUnit;
        case Sighting::unit: break;
    }
    switch (sighting.readiness) {
        case LinkReadiness::wrongMode: return UnitState::wrongMode;
        case LinkReadiness::noUpdatableEsc: return UnitState::noUpdatableEsc;
        case LinkReadiness::incompatibleEsc: return UnitState::incompatibleEsc;
        case LinkReadiness::ready: return UnitState::ready;
        case LinkReadiness::noUnit: break;
    }
    return UnitState::unidentified;
}

}  // namespace

UnitSurvey surveyUnits(const SystemHooks& system) {
    UnitSurvey survey{};
    closeProgrammer();
    DeviceList* list = deviceListOpen();
    if (list == nullptr) {
        survey.systemError = lastSystemError();
        return survey;
    }
    survey.listRead = true;
    for (std::uint32_t index = 0;; ++index) {
        char16_t* path = nullptr;
        std::uint32_t pathUnits = 0;
        const InterfacePath found = deviceListPath(list, index, &path, &pathUnits);
        if (found == InterfacePath::end) break;
        if (found == InterfacePath::unreadable) continue;
        const std::u16string owned(path);
        std::free(path);
        bool isUnit = false;
        UnitSighting sighting = sightAt(owned, system, &isUnit);
        closeProgrammer();
        if (isUnit) survey.units.push_back(sighting);
    }
    deviceListClose(list);
    return survey;
}

Finding findUnit(const char* unitPath, const SystemHooks& system) {
    Finding finding{};
    std::u16string path;
    if (unitPath != nullptr) {
        path = utf16FromUtf8(unitPath);
    } else {
        finding.survey = surveyUnits(system);
        if (finding.survey.units.empty()) {
            finding.state = UnitState::noUnit;
            return finding;
        }
        if (finding.survey.units.size() > 1) {
            finding.state = UnitState::severalUnits;
            return finding;
        }
        path = finding.survey.units.front().path;
    }
    bool isUnit = false;
    finding.sighting = sightAt(path, system, &isUnit);
    // A path named on the command line that opens as something else is no unit; one that
    // cannot be opened, or is held by another of our programs, may well be one.
    finding.state = isUnit || finding.sighting.kind == Sighting::cannotOpen ||
                            finding.sighting.kind == Sighting::inUse ||
                            finding.sighting.kind == Sighting::absent
                        ? stateOf(finding.sighting)
                        : UnitState::notAUnit;
    return finding;
}

Finding findingOfOpenLink() {
    Finding finding{};
    if (programmerLink.devicePath != nullptr) finding.sighting.path = programmerLink.devicePath;
    finding.sighting = sightingOfLink(finding.sighting);
    finding.state = stateOf(finding.sighting);
    return finding;
}
