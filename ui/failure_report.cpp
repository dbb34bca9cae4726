#include "ui/failure_report.h"

#include <windows.h>

#include "link/programmer_link.h"
#include "ui/device_presence.h"
#include "resources/resource_ids.h"
#include "ui/app_globals.h"
#include "ui/texts.h"
#include "ui/version_panel.h"

void reportFailure(const wchar_t* text, const wchar_t* caption, LinkResult code,
                   std::uint32_t systemError) {
    closeProgrammer();
    EnableWindow(GetDlgItem(mainDialog, IDC_UPDATE), FALSE);
    refreshVersionPanel();

    wchar_t messageText[kTextUnits] = L"";
    appendText(messageText, text);
    if (code != kLinkNoLink) {
        wchar_t codeLine[kTextUnits];
        formatText(codeLine, IDS_ERROR_CODE_LINE, static_cast<unsigned>(code),
                   static_cast<unsigned>(systemError));
        appendText(messageText, L"\r\n");
        appendText(messageText, codeLine);
    }
    MessageBoxW(mainDialog, messageText, caption, MB_OK | MB_ICONERROR);

    // Written after the box, over whatever a probe during the box may have shown.
    showHint(IDS_FAILURE_HINT);
}
