// What the window's hint panel and the flasher say about a unit, by what it allows: the same
// catalogue text in both, the connection steps after it, and the notice that comes first.
#pragma once

#include "link/identify.h"
#include "link/programmer_link.h"

struct ReadinessHint {
    LinkReadiness readiness;
    unsigned textId;             // resources/resource_ids.h
    bool withSteps;              // followed by the connection steps (IDS_STEPS)
    bool incompatibilityNotice;  // the notice naming the supported type (IDS_INCOMPATIBLE_TEXT)
};

const ReadinessHint& readinessHint(LinkReadiness readiness);
