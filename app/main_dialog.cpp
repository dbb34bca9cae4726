#include "app/main_dialog.h"

#include "link/programmer_link.h"
#include "resources/resource_ids.h"
#include "ui/app_globals.h"
#include "ui/device_presence.h"
#include "update/update_sequence.h"

namespace {

constexpr INT_PTR kEndedByClose = 2;

constexpr int kLogoGap = 20;          // between the group box and the logo
constexpr int kLogoRightMargin = 45;  // kept free between the logo and the window's right edge
constexpr COLORREF kLogoTransparent = RGB(0, 255, 0);
constexpr COLORREF kEscRowText = RGB(255, 0, 0);

// Returned for the ESC row's colour requests; a control paints with it after we return, so it
// lives as long as the dialog, or until the face colour it was made with changes.
HBRUSH escRowBrush;

void releaseEscRowBrush() {
    if (escRowBrush != nullptr) DeleteObject(escRowBrush);
    escRowBrush = nullptr;
}

// Close, Escape and the caption's close box all arrive as control 2.
void closeMainDialog() {
    endDeviceNotifications();
    closeProgrammer();
    EndDialog(mainDialog, kEndedByClose);
}

void paintLogo(HWND dialog) {
    PAINTSTRUCT paint;
    HDC target = BeginPaint(dialog, &paint);
    HBITMAP logo = LoadBitmapW(appInstance, MAKEINTRESOURCEW(IDB_LOGO));
    BITMAP size = {};
    if (logo != nullptr && GetObjectW(logo, sizeof size, &size) == sizeof size) {
        HDC source = CreateCompatibleDC(target);
        HGDIOBJ previous = SelectObject(source, logo);
        RECT windowRect = {};
        RECT groupRect = {};
        GetWindowRect(mainDialog, &windowRect);
        GetWindowRect(GetDlgItem(mainDialog, IDC_VERSION_GROUP), &groupRect);
        const LogoPlacement place =
            logoDestination(size.bmWidth, size.bmHeight, windowRect, groupRect,
                            GetSystemMetrics(SM_CXDLGFRAME), GetSystemMetrics(SM_CYCAPTION));
        TransparentBlt(target, place.x, place.y, place.width, place.height, source, 0, 0,
                       size.bmWidth, size.bmHeight, kLogoTransparent);
        SelectObject(source, previous);
        DeleteDC(source);
    }
    if (logo != nullptr) DeleteObject(logo);
    EndPaint(dialog, &paint);
}

INT_PTR onInitDialog(HWND dialog, WPARAM, LPARAM) {
    mainDialog = dialog;
    initMainDialog(dialog);
    return 1;
}

INT_PTR onPaint(HWND dialog, WPARAM, LPARAM) {
    paintLogo(dialog);
    return 0;
}

struct CommandRoute {
    WORD control;
    void (*handler)();
};

const CommandRoute kCommandRoutes[] = {
    {IDC_CLOSE, closeMainDialog},
    {IDC_UPDATE, runUpdate},
};

INT_PTR onCommand(HWND, WPARAM wParam, LPARAM) {
    for (const CommandRoute& route : kCommandRoutes)
        if (route.control == LOWORD(wParam)) {
            route.handler();
            return 1;
        }
    return 0;
}

INT_PTR onCtlColorStatic(HWND, WPARAM wParam, LPARAM lParam) {
    const HWND control = reinterpret_cast<HWND>(lParam);
    if (control != GetDlgItem(mainDialog, IDC_LABEL_ESC) &&
        control != GetDlgItem(mainDialog, IDC_VALUE_ESC))
        return 0;
    const HDC context = reinterpret_cast<HDC>(wParam);
    SetTextColor(context, kEscRowText);
    SetBkMode(context, TRANSPARENT);
    if (escRowBrush == nullptr) escRowBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<INT_PTR>(escRowBrush);
}

// The next colour request makes the brush again, in the new face colour.
INT_PTR onSysColorChange(HWND, WPARAM, LPARAM) {
    releaseEscRowBrush();
    return 0;
}

INT_PTR onTimer(HWND, WPARAM wParam, LPARAM) {
    onUnitInUseTimer(static_cast<UINT_PTR>(wParam));
    return 0;
}

INT_PTR onDeviceChangeMessage(HWND, WPARAM wParam, LPARAM lParam) {
    return onDeviceChange(wParam, lParam) != 0 ? 1 : 0;
}

// However the dialog ends (Close, or refused registration at start), the brush goes with it.
INT_PTR onDestroy(HWND, WPARAM, LPARAM) {
    releaseEscRowBrush();
    return 0;
}

struct MessageRoute {
    UINT message;
    INT_PTR (*handler)(HWND dialog, WPARAM wParam, LPARAM lParam);
};

const MessageRoute kMessageRoutes[] = {
    {WM_INITDIALOG, onInitDialog},
    {WM_PAINT, onPaint},
    {WM_COMMAND, onCommand},
    {WM_CTLCOLORSTATIC, onCtlColorStatic},
    {WM_SYSCOLORCHANGE, onSysColorChange},
    {WM_DEVICECHANGE, onDeviceChangeMessage},
    {WM_TIMER, onTimer},
    {WM_DESTROY, onDestroy},
};

}  // namespace

INT_PTR CALLBACK mainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    for (const MessageRoute& route : kMessageRoutes)
        if (route.message == message) return route.handler(dialog, wParam, lParam);
    return 0;
}

LogoPlacement logoDestination(int bitmapWidth, int bitmapHeight, const RECT& windowRect,
                              const RECT& groupRect, int dialogFrameWidth, int captionHeight) {
    const int halfWidth = bitmapWidth >> 1;
    const int room = windowRect.right - groupRect.right - kLogoRightMargin;
    LogoPlacement place;
    place.width = halfWidth < room ? halfWidth : room;
    // Division first, in single precision, then truncated: 886 of 1772 at 263 high gives 131.
    place.height = bitmapWidth != 0 ? static_cast<int>(static_cast<float>(place.width) /
                                                       static_cast<float>(bitmapWidth) *
                                                       static_cast<float>(bitmapHeight))
                                    : 0;
    place.x = groupRect.right - windowRect.left - dialogFrameWidth + kLogoGap;
    place.y = groupRect.top - windowRect.top - captionHeight;
    return place;
}
