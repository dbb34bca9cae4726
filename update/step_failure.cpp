#include "update/step_failure.h"

#include <iterator>

#include "resources/resource_ids.h"

namespace {

// Asking the unit again before the lock is part of locking, to the user. A changed ESC is no
// failure of the unit: both front ends show the ESC now there instead of a failure.
const StepFailure kStepFailures[] = {
    {FlashStep::reidentify, IDS_LOCK_FAILED},
    {FlashStep::escChanged, IDS_LOCK_FAILED},
    {FlashStep::lock, IDS_LOCK_FAILED},
    {FlashStep::unlockFlash, IDS_UNLOCK_FLASH_FAILED},
    {FlashStep::erase, IDS_ERASE_FAILED},
    {FlashStep::setAddress, IDS_ADDRESS_FAILED},
    {FlashStep::transfer, IDS_BLOCK_FAILED},
};

}  // namespace

const StepFailure& stepFailure(FlashStep step) {
    for (const StepFailure& row : kStepFailures)
        if (row.step == step) return row;
    return kStepFailures[std::size(kStepFailures) - 1];
}
