// Finding the programming units among the system's HID interfaces, and the one a command uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "link/identify.h"
#include "link/link_result.h"
#include "link/programmer_link.h"

// inUse: another of our programs holds it; nothing was sent to it. absent: nothing is at the
// path (a unit named with --unit that is unplugged).
enum class Sighting { unit, unidentified, cannotOpen, inUse, absent };

// One interface that is, or may be, a programming unit.
struct UnitSighting {
    std::u16string path;
    Sighting kind;
    LinkResult result;                 // unidentified: what identification returned
    std::uint32_t systemError;         // cannotOpen
    bool permissionDenied;             // cannotOpen
    std::uint16_t productId;           // unit, unidentified
    std::uint32_t unitVersion;         // unit
    LinkReadiness readiness;           // unit
    std::uint32_t escTypeId;           // unit, when it read the ESC
    std::uint32_t outputReportLength;  // unidentified
    std::uint32_t inputReportLength;   // unidentified
};

struct UnitSurvey {
    bool listRead;
    std::uint32_t systemError;  // when the list could not be read
    std::vector<UnitSighting> units;
};

// Looks at every present HID interface; no link is left open.
UnitSurvey surveyUnits(const SystemHooks& system);

// What the unit a command works on turned out to be.
enum class UnitState {
    noUnit,
    severalUnits,
    notAUnit,
    cannotOpen,
    inUse,
    unidentified,
    wrongMode,
    noUpdatableEsc,
    incompatibleEsc,
    ready
};

struct Finding {
    UnitState state;
    UnitSighting sighting;  // the unit, when there is exactly one
    UnitSurvey survey;      // every unit seen, when --unit was not given
};

// The unit at `unitPath`, or the only one attached when it is null. The link stays open when
// identification got as far as telling the unit's state: from unidentified on.
Finding findUnit(const char* unitPath, const SystemHooks& system);


// The open link as `status` would find it now: after the update chain found another ESC.
Finding findingOfOpenLink();
