#include "ui/device_presence.h"

#include <dbt.h>
#include <strsafe.h>

#include <cstddef>
#include <cstdlib>

extern "C" {
#include <hidsdi.h>
}

#include "link/identify.h"
#include "link/open_link.h"
#include "link/programmer_link.h"
#include "link/readiness_hint.h"
#include "resources/resource_ids.h"
#include "ui/app_globals.h"
#include "link/product_identity.h"
#include "ui/texts.h"
#include "ui/version_panel.h"

namespace {

constexpr int kTitleUnits = 256;
constexpr wchar_t kTitleFormat[] = L"" UPDATER_TITLE_FORMAT;
constexpr wchar_t kHintSeparator[] = L"\r\n\r\n";
constexpr INT_PTR kEndedByRefusedRegistration = 1;
// No USB event tells that another program let go of a unit: the window looks again on its own.
constexpr UINT_PTR kUnitInUseTimer = 1;
constexpr UINT kUnitInUseLookMs = 1000;

// The fixed part of a device-interface record; the interface name follows it.
constexpr DWORD kInterfaceHeaderBytes = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

struct VersionLabel {
    int control;
    UINT text;
};

const VersionLabel kVersionLabels[] = {
    {IDC_LABEL_UNIT, IDS_LABEL_UNIT},
    {IDC_LABEL_ESC_BOOTLOADER, IDS_LABEL_ESC_BOOTLOADER},
    {IDC_LABEL_ESC, IDS_LABEL_ESC},
};

enum class ProbeKind { startUp, arrival };

void enableUpdate(bool enabled) {
    EnableWindow(GetDlgItem(mainDialog, IDC_UPDATE), enabled ? TRUE : FALSE);
}

void showIncompatibilityNotice() {
    wchar_t text[kTextUnits];
    wchar_t caption[kTextUnits];
    formatText(text, IDS_INCOMPATIBLE_TEXT, kSupportedEscTypeName);
    loadText(IDS_INCOMPATIBLE_CAPTION, caption);
    MessageBoxW(mainDialog, text, caption, MB_OK | MB_ICONINFORMATION);
}

void showReadinessHint(const ReadinessHint& hint) {
    if (hint.withSteps)
        showHintWithSteps(hint.textId);
    else
        showHint(hint.textId);
}

// The arrival probe never gets here with a failed openProgrammer: that case changes nothing.
void settleProbe(ProbeKind kind, LinkReadiness outcome) {
    const ReadinessHint& hint = readinessHint(outcome);
    if (outcome == LinkReadiness::ready) {
        showReadinessHint(hint);
        if (kind == ProbeKind::arrival) refreshVersionPanel();
        enableUpdate(true);
        return;
    }
    // A unit that cannot be used is let go.
    enableUpdate(false);
    closeProgrammer();
    // The box runs its own message loop; the link is already closed while it is open, so an
    // arrival then probes again, and the hint below still has the last word.
    if (hint.incompatibilityNotice) showIncompatibilityNotice();
    showReadinessHint(hint);
}

// A unit held by another of our programs is not talked to; the window says it found no usable
// unit and looks again until it can link, or until no unit is there at all.
void lookAgainWhileInUse(LinkResult opened) {
    if (opened == kLinkInUse)
        SetTimer(mainDialog, kUnitInUseTimer, kUnitInUseLookMs, nullptr);
    else
        KillTimer(mainDialog, kUnitInUseTimer);
}

HDEVNOTIFY registerForHidInterfaces(HWND dialog) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    return RegisterDeviceNotificationW(dialog, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// Null unless the record is a whole device-interface header; a record whose stated size cannot
// hold that much is not read any further.
const DEV_BROADCAST_DEVICEINTERFACE_W* interfaceRecord(LPARAM record) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record);
    if (header == nullptr || header->dbch_size < sizeof(DEV_BROADCAST_HDR)) return nullptr;
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return nullptr;
    if (header->dbch_size < kInterfaceHeaderBytes) return nullptr;
    return reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(record);
}

// Interface paths differ in letter case between the notification and the device list.
unsigned foldCase(unsigned unit) { return unit >= 'A' && unit <= 'Z' ? unit + ('a' - 'A') : unit; }

// The name ends at its terminator or at the record's stated end, whichever comes first.
bool namesLinkedUnit(const DEV_BROADCAST_DEVICEINTERFACE_W& record) {
    const char16_t* path = programmerLink.devicePath;
    if (path == nullptr) return false;
    const auto* name = reinterpret_cast<const wchar_t*>(reinterpret_cast<const BYTE*>(&record) +
                                                        kInterfaceHeaderBytes);
    const std::size_t nameUnits = (record.dbcc_size - kInterfaceHeaderBytes) / sizeof(wchar_t);
    std::size_t i = 0;
    for (; i < nameUnits && name[i] != L'\0'; ++i)
        if (path[i] == u'\0' || foldCase(name[i]) != foldCase(path[i])) return false;
    return path[i] == u'\0';
}

void onArrival(LPARAM record) {
    if (interfaceRecord(record) == nullptr || linkIsOpen()) return;
    // Whatever arrived, the search looks at every present HID interface again.
    const LinkResult opened = openProgrammer();
    lookAgainWhileInUse(opened);
    if (opened != kLinkOk) return;
    settleProbe(ProbeKind::arrival, linkReadiness());
}

void onRemoval(LPARAM record) {
    const DEV_BROADCAST_DEVICEINTERFACE_W* removed = interfaceRecord(record);
    if (removed == nullptr || !linkIsOpen() || !namesLinkedUnit(*removed)) return;
    closeProgrammer();
    enableUpdate(false);
    refreshVersionPanel();
    showHintWithSteps(IDS_CONNECTION_LOST);
}

}  // namespace

void initMainDialog(HWND) {
    const HICON icon = LoadIconW(appInstance, MAKEINTRESOURCEW(IDI_APP));
    SetClassLongPtrW(mainDialog, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));

    wchar_t title[kTitleUnits];
    StringCchPrintfW(title, kTitleUnits, kTitleFormat, kSupportedEscTypeName, kCarriedFirmwareMajor,
                     kCarriedFirmwareMinor, L"");
    SendMessageW(mainDialog, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(title));

    wchar_t label[kTextUnits];
    for (const VersionLabel& row : kVersionLabels) {
        loadText(row.text, label);
        SetDlgItemTextW(mainDialog, row.control, label);
    }

    deviceNotification = registerForHidInterfaces(mainDialog);
    if (deviceNotification == nullptr) {
        // Without notifications the window could not follow the unit; the program ends.
        showCatalogueBox(IDS_REGISTRATION_FAILED, IDS_APPLICATION_ERROR_CAPTION,
                         MB_OK | MB_ICONERROR);
        closeProgrammer();
        EndDialog(mainDialog, kEndedByRefusedRegistration);
        return;
    }

    lookAgainWhileInUse(openProgrammer());
    settleProbe(ProbeKind::startUp, linkReadiness());
    refreshVersionPanel();
}

void onUnitInUseTimer(UINT_PTR timer) {
    if (timer != kUnitInUseTimer) return;
    if (linkIsOpen()) {
        KillTimer(mainDialog, kUnitInUseTimer);
        return;
    }
    const LinkResult opened = openProgrammer();
    lookAgainWhileInUse(opened);
    if (opened == kLinkInUse) return;
    // As at start-up: the unit is judged, and one that did not identify is let go.
    settleProbe(ProbeKind::startUp, linkReadiness());
    refreshVersionPanel();
}

void showChangedUnit() {
    // The panel still shows the ESC confirmed before: what is there now shows while a notice
    // about it is open, and the panel follows the link once the probe has settled.
    refreshVersionPanel();
    settleProbe(ProbeKind::arrival, linkReadiness());
    refreshVersionPanel();
}

void endDeviceNotifications() {
    if (deviceNotification != nullptr) UnregisterDeviceNotification(deviceNotification);
    deviceNotification = nullptr;
}

int onDeviceChange(WPARAM event, LPARAM record) {
    switch (event) {
        case DBT_DEVICEARRIVAL: onArrival(record); return 1;
        case DBT_DEVICEREMOVECOMPLETE: onRemoval(record); return 1;
        default: return 0;
    }
}

void showHintWithSteps(UINT textId) {
    wchar_t text[kTextUnits];
    loadText(textId, text);
    appendText(text, kHintSeparator);
    SetDlgItemTextW(mainDialog, IDC_HINT, text);

    // Joined in a buffer sized to fit, so no length of the two texts together is assumed.
    const int stepsLength = loadText(IDS_STEPS, text);
    const HWND hint = GetDlgItem(mainDialog, IDC_HINT);
    const int shownLength = GetWindowTextLengthW(hint);
    const std::size_t units = static_cast<std::size_t>(shownLength) + stepsLength + 1;
    auto* combined = static_cast<wchar_t*>(std::malloc(units * sizeof(wchar_t)));
    if (combined == nullptr) return;
    combined[0] = L'\0';
    GetWindowTextW(hint, combined, shownLength + 1);
    StringCchCatW(combined, units, text);
    SetWindowTextW(hint, combined);
    std::free(combined);
}

void showHint(UINT textId) {
    wchar_t text[kTextUnits];
    loadText(textId, text);
    SetDlgItemTextW(mainDialog, IDC_HINT, text);
}
