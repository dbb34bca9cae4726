#include "update/update_steps.h"

#include "link/commands.h"
#include "link/device_io.h"
#include "link/programmer_link.h"
#include "link/product_identity.h"

namespace {

FlashOutcome failedAt(FlashStep step, LinkResult result) {
    return {step, result, lastSystemError()};
}

}  // namespace

bool isDowngradeOrReinstall(std::uint16_t installed) {
    return installed >= kCarriedFirmwareVersion && installed != kNoEscFirmware;
}

FlashOutcome flashImage(const std::uint8_t* image, std::uint32_t size, TransferFunction transfer,
                        void* context) {
    // Judged now, not remembered: the unit may have been swapped while a box was open, and a
    // link whose identification failed stays open. Nothing is sent unless this link found a
    // supported ESC ready; to the user it reads as a unit that could not be locked.
    if (linkReadiness() != LinkReadiness::ready) return failedAt(FlashStep::lock, kLinkNoLink);

    LinkResult result = lockUnit();
    if (result != kLinkOk) return failedAt(FlashStep::lock, result);

    pauseMs(kStepPauseMs);
    result = removeWriteProtection();
    if (result != kLinkOk) return failedAt(FlashStep::unlockFlash, result);

    pauseMs(kStepPauseMs);
    result = eraseFirmware();
    pauseMs(kAfterErasePauseMs);
    if (result != kLinkOk) return failedAt(FlashStep::erase, result);

    pauseMs(kStepPauseMs);
    result = setWriteAddress();
    if (result != kLinkOk) return failedAt(FlashStep::setAddress, result);

    pauseMs(kStepPauseMs);
    TransferOutcome sent = transfer(image, size, context);
    if (sent.result != kLinkOk) return {FlashStep::transfer, sent.result, sent.systemError};

    restoreWriteProtection();
    releaseUnitLock();
    return {FlashStep::none, kLinkOk, 0};
}
