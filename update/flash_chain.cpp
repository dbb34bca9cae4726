#include "update/flash_chain.h"

#include "link/commands.h"
#include "link/device_io.h"
#include "link/identify.h"
#include "link/programmer_link.h"
#include "link/product_identity.h"

namespace {

FlashOutcome failedAt(FlashStep step, LinkResult result) {
    return {step, result, lastSystemError()};
}

// From the first request of the update to the last one whose answer counts.
struct StrictPairing {
    StrictPairing() { setStrictPairing(true); }
    ~StrictPairing() { setStrictPairing(false); }
    StrictPairing(const StrictPairing&) = delete;
    StrictPairing& operator=(const StrictPairing&) = delete;
};

// The ESC can be swapped on the unit's cable without any USB event, and a link whose
// identification failed stays open: what the record says was true when it was read, not now.
FlashOutcome confirmEscOnWire() {
    // The same handle, path and report lengths; what is behind the unit asked anew.
    ProgrammerLink now = programmerLink;
    const LinkResult result = askIdentity(now);
    if (result != kLinkOk) return failedAt(FlashStep::reidentify, result);
    if (sameUnitAndEsc(now, programmerLink) && linkReadinessOf(now) == LinkReadiness::ready)
        return {FlashStep::none, kLinkOk, 0};
    programmerLink = now;
    return {FlashStep::escChanged, kLinkOk, 0};
}

// What the chain has taken so far and gives back when it is stopped.
struct Taken {
    bool lock = false;
    bool flash = false;
};

FlashOutcome stoppedAt(FlashStep step, const Taken& taken) {
    setStrictPairing(false);
    if (taken.flash) restoreWriteProtection();
    if (taken.lock) releaseUnitLock();
    return {step, kLinkStopped, 0};
}

// Before `next` starts: a report queued unasked puts the answer taken for `previous` in doubt.
// A queue that cannot even be looked at belongs to a unit that is gone, which is `next`'s
// failure, not a doubt about `previous`.
FlashOutcome inStepBefore(FlashStep next, FlashStep previous) {
    const LinkResult inStep = checkInStep();
    if (inStep == kLinkOk) return {FlashStep::none, kLinkOk, 0};
    return failedAt(inStep == kLinkOutOfStep ? previous : next, inStep);
}

bool asked(StepQuestion goOn, FlashStep next, void* context) {
    return goOn == nullptr || goOn(next, context);
}

}  // namespace

bool isDowngradeOrReinstall(std::uint16_t installed) {
    return installed >= kCarriedFirmwareVersion && installed != kNoEscFirmware;
}

FlashOutcome flashImage(const std::uint8_t* image, std::uint32_t size, TransferFunction transfer,
                        void* context, StepQuestion goOn) {
    Taken taken;
    if (!asked(goOn, FlashStep::reidentify, context)) return stoppedAt(FlashStep::reidentify, taken);
    // Nothing is sent unless this link found a supported ESC ready; to the user it reads as a
    // unit that could not be locked.
    if (linkReadiness() != LinkReadiness::ready) return failedAt(FlashStep::lock, kLinkNoLink);
    // What the unit sent while nobody asked (a window sits linked for hours) is no answer to
    // anything of this update; from here on, anything that arrives unasked is.
    if (dropStaleInput() != kLinkOk) return failedAt(FlashStep::reidentify, kLinkWriteFailed);
    StrictPairing strict;
    FlashOutcome confirmed = confirmEscOnWire();
    if (confirmed.failedStep != FlashStep::none) return confirmed;

    // Before each step, anything queued unasked puts the previous step's answer in doubt. Each
    // pause runs from the answer before it: judging that answer happens inside the pause.
    pauseLink(kStepPauseMs);
    if (!asked(goOn, FlashStep::lock, context)) return stoppedAt(FlashStep::lock, taken);
    FlashOutcome doubt = inStepBefore(FlashStep::lock, FlashStep::reidentify);
    if (doubt.failedStep != FlashStep::none) return doubt;
    LinkResult result = lockUnit();
    if (result != kLinkOk) return failedAt(FlashStep::lock, result);
    taken.lock = true;

    pauseLink(kStepPauseMs);
    if (!asked(goOn, FlashStep::unlockFlash, context)) return stoppedAt(FlashStep::unlockFlash, taken);
    doubt = inStepBefore(FlashStep::unlockFlash, FlashStep::lock);
    if (doubt.failedStep != FlashStep::none) return doubt;
    result = removeWriteProtection();
    if (result != kLinkOk) return failedAt(FlashStep::unlockFlash, result);
    taken.flash = true;

    pauseLink(kStepPauseMs);
    // The last moment a stop leaves the ESC as it was.
    if (!asked(goOn, FlashStep::erase, context)) return stoppedAt(FlashStep::erase, taken);
    doubt = inStepBefore(FlashStep::erase, FlashStep::unlockFlash);
    if (doubt.failedStep != FlashStep::none) return doubt;
    result = eraseFirmware();
    pauseLink(kAfterErasePauseMs);
    if (result != kLinkOk) return failedAt(FlashStep::erase, result);

    pauseLink(kStepPauseMs);
    if (!asked(goOn, FlashStep::setAddress, context)) return stoppedAt(FlashStep::setAddress, taken);
    doubt = inStepBefore(FlashStep::setAddress, FlashStep::erase);
    if (doubt.failedStep != FlashStep::none) return doubt;
    result = setWriteAddress();
    if (result != kLinkOk) return failedAt(FlashStep::setAddress, result);

    pauseLink(kStepPauseMs);
    doubt = inStepBefore(FlashStep::transfer, FlashStep::setAddress);
    if (doubt.failedStep != FlashStep::none) return doubt;
    TransferOutcome sent = transfer(image, size, context);
    if (sent.result == kLinkStopped) return stoppedAt(FlashStep::transfer, taken);
    if (sent.result != kLinkOk) return {FlashStep::transfer, sent.result, sent.systemError};
    // Every block is in: a unit gone now only misses the closing steps, whose answers count
    // for nothing anyway.
    if (checkInStep() == kLinkOutOfStep) return failedAt(FlashStep::transfer, kLinkOutOfStep);

    // The answers to these two are not judged, so a late duplicate between them puts nothing in
    // doubt, and must not keep the lock from being released.
    setStrictPairing(false);
    restoreWriteProtection();
    releaseUnitLock();
    return {FlashStep::none, kLinkOk, 0};
}
