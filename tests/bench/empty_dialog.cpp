// The yardstick for start-up: a modal dialog with one edit control (ID 40004, like the hint
// panel) that is filled when the dialog initialises, built with the same toolchain and flags as
// the updater. Its launch-to-filled time is what Wine and the platform cost by themselves.
#include <windows.h>
#include <commctrl.h>

#include <cstring>

namespace {

constexpr WORD kPanelId = 40004;

INT_PTR CALLBACK emptyDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            SetDlgItemTextW(dialog, kPanelId, L"ready");
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL) EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

// DLGTEMPLATE, no menu, default class, caption; then one DLGITEMTEMPLATE for an edit control.
struct alignas(4) Template {
    DLGTEMPLATE dialog;
    WORD menu, windowClass;
    wchar_t caption[13];
    alignas(4) DLGITEMTEMPLATE item;
    WORD classMarker, classAtom;
    WORD title, creationData;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    InitCommonControls();
    Template t;
    std::memset(&t, 0, sizeof t);
    t.dialog.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER;
    t.dialog.cdit = 1;
    t.dialog.cx = 300;
    t.dialog.cy = 228;
    std::memcpy(t.caption, L"Empty dialog", sizeof t.caption);
    t.item.style = WS_CHILD | WS_VISIBLE | WS_BORDER | ES_MULTILINE | ES_READONLY;
    t.item.x = 15;
    t.item.y = 89;
    t.item.cx = 271;
    t.item.cy = 101;
    t.item.id = kPanelId;
    t.classMarker = 0xFFFF;
    t.classAtom = 0x0081;  // edit
    DialogBoxIndirectParamW(instance, &t.dialog, nullptr, emptyDialogProc, 0);
    return 0;
}
