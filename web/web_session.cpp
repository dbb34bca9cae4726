// The page's front end on the update chain: what the window's dialog and Update sequence do,
// for a browser page (web/page.js draws it, web/worker.js carries the messages).
//
// Unlike the window, which runs everything on one thread, this runs in a dedicated worker, on
// purpose: browsers throttle the timers of a page in a background tab, which would stretch every
// 20 ms pause, while a worker keeps its own timers and has WebHID too. The worker calls one of
// these functions at a time; the page's questions (the warning, the downgrade question) are
// asked between them, so that arrivals and removals are taken while a question is open, as the
// window takes them while its message box is open.
#include <emscripten.h>

#include <cstdio>

#include "link/device_webhid.h"
#include "link/identify.h"
#include "link/open_link.h"
#include "link/product_identity.h"
#include "link/programmer_link.h"
#include "link/readiness_hint.h"
#include "link/version_text.h"
#include "resources/resource_ids.h"
#include "update/block_transfer.h"
#include "update/carried_image.h"
#include "update/flash_chain.h"
#include "update/keep_awake.h"
#include "update/step_failure.h"

namespace {

// What the page shows besides the versions, which always follow the link.
struct PageState {
    unsigned hintId;
    bool hintWithSteps;
    bool updateEnabled;
};

PageState page = {IDS_NO_UNIT, true, false};

EM_JS(void, postState, (int linked, const char* unitName, const char* unit, const char* bootloader,
                        const char* esc, int hintId, int hintWithSteps, int updateEnabled), {
    Module.toPage({type: 'state', linked: linked !== 0, unitName: UTF8ToString(unitName),
                   versions: [UTF8ToString(unit), UTF8ToString(bootloader), UTF8ToString(esc)],
                   hintId: hintId, hintWithSteps: hintWithSteps !== 0, updateEnabled: updateEnabled !== 0});
});
// The chooser offers only programming units: the vendor with either product.
EM_JS(void, postProduct, (const char* title, const char* typeName, int vendorId, int zelquad,
                          int tavilink, int placeholder), {
    Module.toPage({type: 'product', title: UTF8ToString(title), typeName: UTF8ToString(typeName),
                   filters: [{vendorId: vendorId, productId: zelquad}, {vendorId: vendorId, productId: tavilink}],
                   placeholder: placeholder !== 0});
});
EM_JS(void, postNotice, (), { Module.toPage({type: 'incompatible'}); });
EM_JS(void, postFailure, (int textId, int withCode, unsigned code, unsigned systemError), {
    Module.toPage({type: 'failure', textId: textId, codeLine: withCode !== 0 ? [code, systemError] : null});
});
EM_JS(void, postProgress, (int position), { Module.toPage({type: 'progress', position: position}); });
EM_JS(void, postPhase, (const char* phase), { Module.toPage({type: 'phase', phase: UTF8ToString(phase)}); });

// The ESC type's name is plain ASCII.
void narrowTypeName(char (&name)[kVersionTextChars]) {
    std::size_t i = 0;
    for (; i + 1 < sizeof name && kSupportedEscTypeName[i] != L'\0'; ++i)
        name[i] = static_cast<char>(kSupportedEscTypeName[i]);
    name[i] = '\0';
}

// The version panel as the window's: zeros and greyed without a link, the unit's name kept.
void showPage() {
    static char unitLabel[kVersionTextChars] = "";
    char unit[kVersionTextChars] = "0.0.0";
    char bootloader[kVersionTextChars] = "0.0.0";
    char esc[kVersionTextChars] = "0.0.0";
    const bool linked = linkIsOpen();
    if (linked) {
        unitVersionText(programmerLink.unitFirmwareVersion, unit);
        bootloaderVersionText(escBootloaderVersion(), bootloader);
        escVersionText(escFirmwareVersion(), esc);
        std::snprintf(unitLabel, sizeof unitLabel, "%s", unitName(programmerLink.usbProductId));
    }
    postState(linked, unitLabel, unit, bootloader, esc, static_cast<int>(page.hintId),
              page.hintWithSteps, page.updateEnabled && linked);
}

void showHint(unsigned textId, bool withSteps) {
    page.hintId = textId;
    page.hintWithSteps = withSteps;
}

// As the window settles a probe: a ready unit enables Update; any other is let go, with the
// notice first where it names the supported type.
void settleProbe(LinkReadiness outcome) {
    const ReadinessHint& hint = readinessHint(outcome);
    page.updateEnabled = outcome == LinkReadiness::ready;
    if (!page.updateEnabled) {
        closeProgrammer();
        if (hint.incompatibilityNotice) postNotice();
    }
    showHint(hint.textId, hint.withSteps);
    showPage();
}

// Every failure ends in one box with its code line, the link closed and Update disabled; the
// failure hint follows once the box is closed (webFailureClosed).
void fail(unsigned textId, LinkResult code, std::uint32_t systemError) {
    closeProgrammer();
    page.updateEnabled = false;
    showPage();
    postFailure(static_cast<int>(textId), code != kLinkNoLink, static_cast<unsigned>(code),
                systemError);
}

struct Transfer {
    int shownPosition;
};

void onBlockSent(std::uint32_t position, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    if (static_cast<int>(position) == transfer->shownPosition) return;
    transfer->shownPosition = static_cast<int>(position);
    postProgress(transfer->shownPosition);
}

TransferOutcome transferWithProgress(const std::uint8_t* image, std::uint32_t size, void* context) {
    postProgress(0);
    return sendImageBlocks(image, size, onBlockSent, context);
}

// The page cannot stop an update: it says when leaving would cost the ESC its firmware.
bool tellPhase(FlashStep next, void*) {
    if (next == FlashStep::lock) postPhase("locking");
    if (next == FlashStep::setAddress) postPhase("erased");
    return true;
}

}  // namespace

extern "C" {

// The page opened: the title, and the units granted before are looked for, as at the window's
// start.
EMSCRIPTEN_KEEPALIVE void webStart() {
    char typeName[kVersionTextChars];
    narrowTypeName(typeName);
    char title[128];
    std::snprintf(title, sizeof title, UPDATER_TITLE_FORMAT, typeName, kCarriedFirmwareMajor,
                  kCarriedFirmwareMinor, "");
    postProduct(title, typeName, kUnitVendorId, kProductZelquad, kProductTavilink,
                kCarriedImage.placeholder);
    openProgrammer();
    settleProbe(linkReadiness());
}

// A unit was connected (`connect`), or the user granted one in the chooser (`chosen`): with no
// link open every granted unit is looked at again. An arrival that finds nothing changes
// nothing; a choice that finds nothing says so.
EMSCRIPTEN_KEEPALIVE void webLook(int chosen) {
    if (linkIsOpen()) return;
    if (openProgrammer() != kLinkOk && !chosen) return;
    settleProbe(linkReadiness());
}

// A device went (`disconnect`): if it is the linked unit, the link goes with it.
EMSCRIPTEN_KEEPALIVE void webRemoval(int pathId) {
    const char16_t* linked = programmerLink.devicePath;
    if (!linkIsOpen() || linked == nullptr || !webHidPathNames(linked, pathId)) return;
    closeProgrammer();
    page.updateEnabled = false;
    showHint(IDS_CONNECTION_LOST, true);
    showPage();
}

// Update pressed: 1 when the warning is to be asked, 0 when the update ended already.
EMSCRIPTEN_KEEPALIVE int webUpdateBegin() {
    if (!linkIsOpen()) {
        fail(IDS_UNIT_NOT_DETECTED, kLinkNoLink, 0);
        return 0;
    }
    return 1;
}

// After the warning: whether the downgrade question comes next. A unit unplugged while the
// warning was open reads version 0 here, and the chain then finds no link.
EMSCRIPTEN_KEEPALIVE int webUpdateAsksDowngrade() {
    return isDowngradeOrReinstall(escFirmwareVersion()) ? 1 : 0;
}

// Confirmed: the chain runs, from the re-identification of the ESC to closing up.
EMSCRIPTEN_KEEPALIVE void webUpdateRun() {
    if (kCarriedImage.bytes == nullptr || kCarriedImage.size == 0) {
        // Erasing the ESC with nothing to write would leave it without firmware.
        fail(IDS_WRITE_FAILED, kLinkOk, 0);
        return;
    }
    page.updateEnabled = false;
    showPage();
    Transfer transfer = {-1};
    keepAwake(true);
    const FlashOutcome outcome = flashImage(kCarriedImage.bytes, kCarriedImage.size,
                                            transferWithProgress, &transfer, tellPhase);
    keepAwake(false);
    postPhase("ended");
    if (outcome.failedStep == FlashStep::escChanged) {
        // Nothing was locked or written: not a failure, but another ESC to show.
        settleProbe(linkReadiness());
        return;
    }
    if (outcome.failedStep != FlashStep::none) {
        fail(stepFailure(outcome.failedStep).textId, outcome.result, outcome.systemError);
        return;
    }
    setEscFirmwareVersion(kCarriedFirmwareVersion);
    page.updateEnabled = false;
    showHint(IDS_UPDATE_SUCCEEDED, false);
    showPage();
}

// The failure box was closed: its hint, over whatever a look meanwhile may have shown.
EMSCRIPTEN_KEEPALIVE void webFailureClosed() {
    showHint(IDS_FAILURE_HINT, false);
    showPage();
}

}  // extern "C"
