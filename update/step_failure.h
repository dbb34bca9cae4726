// What a failed step of an update tells the user: the catalogue text of its box (the window) or
// line (the flasher).
#pragma once

#include "update/flash_chain.h"

struct StepFailure {
    FlashStep step;
    unsigned textId;  // resources/resource_ids.h
};

// The transfer's row for a step that has none.
const StepFailure& stepFailure(FlashStep step);
