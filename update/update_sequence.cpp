#include "update/update_sequence.h"

#include <windows.h>

#include "link/programmer_link.h"
#include "resources/resource_ids.h"
#include "ui/app_globals.h"
#include "ui/device_presence.h"
#include "ui/failure_report.h"
#include "ui/texts.h"
#include "ui/version_panel.h"
#include "link/product_identity.h"
#include "update/keep_awake.h"
#include "update/progress_window.h"
#include "update/step_failure.h"
#include "update/flash_chain.h"

namespace {

void fail(UINT textId, LinkResult code, DWORD systemError) {
    wchar_t text[kTextUnits];
    wchar_t caption[kTextUnits];
    loadText(textId, text);
    loadText(IDS_UPDATE_FAILED_CAPTION, caption);
    reportFailure(text, caption, code, systemError);
}

// The image travels in the executable and is read in place.
bool locateImage(const std::uint8_t** image, std::uint32_t* size) {
    HRSRC found = FindResourceW(appInstance, MAKEINTRESOURCEW(IDR_FIRMWARE), RT_RCDATA);
    if (found == nullptr) return false;
    HGLOBAL loaded = LoadResource(appInstance, found);
    *size = SizeofResource(appInstance, found);
    *image = loaded != nullptr ? static_cast<const std::uint8_t*>(LockResource(loaded)) : nullptr;
    return *image != nullptr && *size != 0;
}

TransferOutcome transferWithProgress(const std::uint8_t* image, std::uint32_t size, void*) {
    return transferImage(mainDialog, image, size);
}

}  // namespace

void runUpdate() {
    if (!linkIsOpen()) {
        fail(IDS_UNIT_NOT_DETECTED, kLinkNoLink, GetLastError());
        return;
    }
    if (showCatalogueBox(IDS_WARNING_TEXT, IDS_WARNING_CAPTION, MB_OKCANCEL | MB_ICONWARNING) != IDOK)
        return;
    // The unit may have been unplugged while the box was open: the record then reads version 0.
    if (isDowngradeOrReinstall(escFirmwareVersion()) &&
        showCatalogueBox(IDS_DOWNGRADE_QUESTION, IDS_DOWNGRADE_CAPTION, MB_YESNO | MB_ICONWARNING) != IDYES)
        return;

    const std::uint8_t* image = nullptr;
    std::uint32_t size = 0;
    if (!locateImage(&image, &size)) {
        // Erasing the ESC with nothing to write would leave it without firmware.
        fail(IDS_WRITE_FAILED, kLinkOk, GetLastError());
        return;
    }

    keepAwake(true);
    const FlashOutcome outcome = flashImage(image, size, transferWithProgress, nullptr);
    keepAwake(false);
    if (outcome.failedStep == FlashStep::escChanged) {
        // Nothing was locked or written: not a failure of the update, but another ESC to show.
        showChangedUnit();
        return;
    }
    if (outcome.failedStep != FlashStep::none) {
        fail(stepFailure(outcome.failedStep).textId, outcome.result, outcome.systemError);
        return;
    }

    setEscFirmwareVersion(kCarriedFirmwareVersion);
    EnableWindow(GetDlgItem(mainDialog, IDC_UPDATE), FALSE);
    refreshVersionPanel();
    showHint(IDS_UPDATE_SUCCEEDED);
}
