#include "update/step_failure.h"

#include <iterator>

#include "resources/resource_ids.h"
#include "update/exit_codes.h"

namespace {

// Asking the unit again before the lock is part of locking, to the user. A changed ESC is no
// failure of the unit: both front ends show the ESC now there instead of a failure.
const StepFailure kStepFailures[] = {
    {FlashStep::reidentify, IDS_LOCK_FAILED, kExitLockFailed},
    {FlashStep::escChanged, IDS_LOCK_FAILED, kExitEscChanged},
    {FlashStep::lock, IDS_LOCK_FAILED, kExitLockFailed},
    {FlashStep::unlockFlash, IDS_UNLOCK_FLASH_FAILED, kExitUnlockFailed},
    {FlashStep::erase, IDS_ERASE_FAILED, kExitEraseFailed},
    {FlashStep::setAddress, IDS_ADDRESS_FAILED, kExitAddressFailed},
    {FlashStep::transfer, IDS_BLOCK_FAILED, kExitBlockFailed},
};

}  // namespace

const StepFailure& stepFailure(FlashStep step) {
    for (const StepFailure& row : kStepFailures)
        if (row.step == step) return row;
    return kStepFailures[std::size(kStepFailures) - 1];
}
