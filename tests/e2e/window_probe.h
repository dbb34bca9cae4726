// Reads and drives the windows of another process, as a user would see and use them: the
// updater's main dialog, its controls and the message boxes it owns.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// The window title starts with this; the rest is the carried firmware version.
constexpr wchar_t kMainTitlePrefix[] = L"TESSERAN ZIRVANO 60 LV FW Updater";

// The first top-level dialog of `processId` (any process when 0) whose title starts with
// kMainTitlePrefix; null when there is none. Visible or not: a box shown during the dialog's
// initialisation is up before the dialog itself.
HWND findMainWindow(DWORD processId);

// The dialog's caption, read from the window manager without a message to the busy program.
std::wstring windowCaption(HWND window);

// True when the window's thread takes a message within `boundMs`. The updater runs its whole
// transfer on that thread, so nothing can be read from its controls meanwhile.
bool isResponsive(HWND window, UINT boundMs);

// The text of a control of `dialog` through WM_GETTEXT (an edit control keeps its text where
// only its own window procedure can reach it). False when the program does not answer in time.
bool readControlText(HWND dialog, int control, std::wstring* text);

bool controlEnabled(HWND dialog, int control);

// A message box as the user sees it.
struct BoxView {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;         // the static control 0xFFFF
    std::vector<int> buttons;  // IDOK, IDCANCEL, IDYES, IDNO, in control order
};

// The visible dialog box owned by `owner`, or null.
HWND findOwnedBox(HWND owner);
bool readBox(HWND box, BoxView* view);

// Posted, not sent: a click that opens a modal box must not block the caller.
bool clickButton(HWND parent, int control);
// Escape as the keyboard delivers it: to the window that has the focus.
bool pressEscape(HWND dialog);
// The caption's close box.
bool pressCloseBox(HWND dialog);

// Delivers a device-interface record for `path` (DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE)
// the way the system does: sent, with the record in the message. False when the program did
// not take it within the bound; *result is what the dialog returned.
bool sendDeviceChange(HWND dialog, WPARAM event, const std::wstring& path, LRESULT* result);

// The progress window of the transfer (a top-level progress bar of `processId`), or null.
HWND findProgressWindow(DWORD processId);

// Polls `condition` until it holds or `bound` has passed; true when it held.
bool waitUntil(std::chrono::milliseconds bound, const std::function<bool()>& condition);

std::wstring className(HWND window);
