#include "update/progress_window.h"

#include <commctrl.h>

#include "resources/resource_ids.h"
#include "ui/app_globals.h"
#include "ui/texts.h"

namespace {

struct ProgressWindow {
    HWND owner;
    HWND bar;
    HWND raisedWindow;
    std::uint32_t shownPosition;
};

void raiseTogether(HWND owner, HWND bar) {
    SetWindowPos(owner, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetWindowPos(bar, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void onBlockSent(std::uint32_t position, void* context) {
    ProgressWindow& window = *static_cast<ProgressWindow*>(context);
    // The position moves about once in twenty blocks; repainting only then keeps the work per
    // block small. No message loop runs during the transfer, so the bar is painted here or not
    // at all.
    if (position != window.shownPosition) {
        window.shownPosition = position;
        SendMessageW(window.bar, PBM_SETPOS, position, 0);
        UpdateWindow(window.bar);
    }
    if (window.raisedWindow == window.owner || window.raisedWindow == window.bar) return;
    // Once the user has one of the two in front, bring both up together, once.
    HWND foreground = GetForegroundWindow();
    if (foreground != window.owner && foreground != window.bar) return;
    window.raisedWindow = foreground;
    raiseTogether(window.owner, window.bar);
    ShowWindow(window.owner, SW_SHOW);
    ShowWindow(window.bar, SW_SHOW);
}

}  // namespace

TransferOutcome transferImage(HWND owner, const std::uint8_t* image, std::uint32_t size) {
    RECT ownerRect = {};
    GetWindowRect(owner, &ownerRect);
    const int x = ownerRect.left + ((ownerRect.right - ownerRect.left) >> 1) - kProgressWidth / 2;
    const int y = ownerRect.top + ((ownerRect.bottom - ownerRect.top) >> 1) - kProgressHeight / 2;
    wchar_t caption[kTextUnits];
    loadText(IDS_PROGRESS_CAPTION, caption);
    ProgressWindow window = {owner, nullptr, nullptr, 0};
    window.bar = CreateWindowExW(0, PROGRESS_CLASSW, caption, WS_VISIBLE | PBS_SMOOTH, x, y,
                                 kProgressWidth, kProgressHeight, owner, nullptr, appInstance,
                                 nullptr);
    SendMessageW(window.bar, PBM_SETPOS, 0, 0);
    raiseTogether(owner, window.bar);
    UpdateWindow(window.bar);

    TransferOutcome outcome = sendImageBlocks(image, size, onBlockSent, &window);
    DestroyWindow(window.bar);
    return outcome;
}
