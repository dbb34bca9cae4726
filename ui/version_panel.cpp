#include "ui/version_panel.h"

#include <windows.h>

#include <cstdio>

#include "link/programmer_link.h"
#include "link/version_text.h"
#include "resources/resource_ids.h"
#include "ui/app_globals.h"

namespace {

constexpr wchar_t kNoLinkVersion[] = L"0.0.0";

const int kValueControls[] = {IDC_VALUE_UNIT, IDC_VALUE_ESC_BOOTLOADER, IDC_VALUE_ESC};
// Values first, then labels: the order the rows are greyed out and back in.
const int kPanelControls[] = {IDC_VALUE_UNIT, IDC_VALUE_ESC_BOOTLOADER, IDC_VALUE_ESC,
                              IDC_LABEL_UNIT, IDC_LABEL_ESC_BOOTLOADER, IDC_LABEL_ESC};

void enablePanel(bool enabled) {
    for (int control : kPanelControls)
        EnableWindow(GetDlgItem(mainDialog, control), enabled ? TRUE : FALSE);
}

// The window shows the same texts as a terminal; they are plain ASCII.
void widen(const char (&narrow)[kVersionTextChars], wchar_t (&text)[kVersionTextUnits]) {
    static_assert(kVersionTextUnits >= kVersionTextChars, "every version text fits");
    for (int i = 0; i < kVersionTextChars; ++i) {
        text[i] = static_cast<unsigned char>(narrow[i]);
        if (narrow[i] == '\0') return;
    }
}

}  // namespace

void unitVersionText(std::uint32_t version, wchar_t (&text)[kVersionTextUnits]) {
    char narrow[kVersionTextChars];
    unitVersionText(version, narrow);
    widen(narrow, text);
}

void bootloaderVersionText(std::uint32_t version, wchar_t (&text)[kVersionTextUnits]) {
    char narrow[kVersionTextChars];
    bootloaderVersionText(version, narrow);
    widen(narrow, text);
}

void escVersionText(std::uint16_t version, wchar_t (&text)[kVersionTextUnits]) {
    char narrow[kVersionTextChars];
    escVersionText(version, narrow);
    widen(narrow, text);
}

void refreshVersionPanel() {
    if (!linkIsOpen()) {
        for (int control : kValueControls) SetDlgItemTextW(mainDialog, control, kNoLinkVersion);
        enablePanel(false);
        // Label 40010 keeps the name of the unit shown last.
        return;
    }
    enablePanel(true);
    wchar_t text[kVersionTextUnits];
    unitVersionText(programmerLink.unitFirmwareVersion, text);
    SetDlgItemTextW(mainDialog, IDC_VALUE_UNIT, text);
    bootloaderVersionText(escBootloaderVersion(), text);
    SetDlgItemTextW(mainDialog, IDC_VALUE_ESC_BOOTLOADER, text);
    escVersionText(escFirmwareVersion(), text);
    SetDlgItemTextW(mainDialog, IDC_VALUE_ESC, text);
    char name[kVersionTextChars];
    std::snprintf(name, sizeof name, "%s", unitName(programmerLink.usbProductId));
    widen(name, text);
    SetDlgItemTextW(mainDialog, IDC_LABEL_UNIT, text);
}
