#include "ui/version_panel.h"

#include <windows.h>
#include <strsafe.h>

#include <cwchar>

#include "link/programmer_link.h"
#include "resources/resource_ids.h"
#include "ui/main_dialog.h"

namespace {

constexpr wchar_t kNoLinkVersion[] = L"0.0.0";
constexpr wchar_t kNoEscFirmwareText[] = L"----------";
constexpr wchar_t kZelquadName[] = L"ZELQUAD";
constexpr wchar_t kTavilinkName[] = L"TAVILINK";

const int kValueControls[] = {IDC_VALUE_UNIT, IDC_VALUE_ESC_BOOTLOADER, IDC_VALUE_ESC};
// Values first, then labels: the order the rows are greyed out and back in.
const int kPanelControls[] = {IDC_VALUE_UNIT, IDC_VALUE_ESC_BOOTLOADER, IDC_VALUE_ESC,
                              IDC_LABEL_UNIT, IDC_LABEL_ESC_BOOTLOADER, IDC_LABEL_ESC};

void enablePanel(bool enabled) {
    for (int control : kPanelControls)
        EnableWindow(GetDlgItem(mainDialog, control), enabled ? TRUE : FALSE);
}

// Bits 24 to 31, 8 to 15 and 0 to 7; bits 16 to 23 are never shown, and a zero top part is left
// out.
void threePartText(std::uint32_t version, wchar_t (&text)[kVersionTextUnits]) {
    const unsigned a = (version >> 24) & 0xFF;
    const unsigned b = (version >> 8) & 0xFF;
    const unsigned c = version & 0xFF;
    text[0] = L'\0';
    if (a != 0) StringCchPrintfW(text, kVersionTextUnits, L"%u.", a);
    const std::size_t used = std::wcslen(text);
    StringCchPrintfW(text + used, kVersionTextUnits - used, L"%u.%u", b, c);
}

}  // namespace

void unitVersionText(std::uint32_t version, wchar_t (&text)[kVersionTextUnits]) {
    if ((version & 0xFF) == 0) version >>= 8;
    threePartText(version, text);
}

void bootloaderVersionText(std::uint32_t version, wchar_t (&text)[kVersionTextUnits]) {
    threePartText(version, text);
}

void escVersionText(std::uint16_t version, wchar_t (&text)[kVersionTextUnits]) {
    if (version == kNoEscFirmware) {
        StringCchCopyW(text, kVersionTextUnits, kNoEscFirmwareText);
        return;
    }
    StringCchPrintfW(text, kVersionTextUnits, L"%u.%u", static_cast<unsigned>(version >> 8),
                     static_cast<unsigned>(version & 0xFF));
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
    SetDlgItemTextW(mainDialog, IDC_LABEL_UNIT,
                    programmerLink.usbProductId == kProductZelquad ? kZelquadName : kTavilinkName);
}
