#include "link/readiness_hint.h"

#include "resources/resource_ids.h"

namespace {

// A unit that cannot be used is let go, and the guidance says why and how to connect one that
// can.
const ReadinessHint kReadinessHints[] = {
    {LinkReadiness::noUnit, IDS_NO_UNIT, true, false},
    {LinkReadiness::wrongMode, IDS_WRONG_MODE, true, false},
    {LinkReadiness::noUpdatableEsc, IDS_NO_UPDATABLE_ESC, true, false},
    {LinkReadiness::incompatibleEsc, IDS_INCOMPATIBLE_HINT, true, true},
    {LinkReadiness::ready, IDS_READY, false, false},
};

}  // namespace

const ReadinessHint& readinessHint(LinkReadiness readiness) {
    for (const ReadinessHint& row : kReadinessHints)
        if (row.readiness == readiness) return row;
    return kReadinessHints[0];
}
