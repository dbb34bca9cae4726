#include "tests/e2e/window_probe.h"

#include <commctrl.h>
#include <dbt.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr int kBoxTextControl = 0xFFFF;
// A bound against a window that hangs, not a measure of how fast it answers: with the test
// command's stages side by side, a window under Wine has taken longer than 2 s to take a
// WM_DEVICECHANGE whose handling looks at the unit.
constexpr UINT kMessageBoundMs = 10000;
constexpr DWORD kPollMs = 20;
// The hint panel's longest text is two catalogue texts of up to 2,048 units each.
constexpr std::size_t kTextUnitsMax = 8192;

struct MainWindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK matchMainWindow(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<MainWindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (search.processId != 0 && owner != search.processId) return TRUE;
    if (className(window) != kDialogClass || GetWindow(window, GW_OWNER) != nullptr) return TRUE;
    if (windowCaption(window).compare(0, wcslen(kMainTitlePrefix), kMainTitlePrefix) != 0)
        return TRUE;
    search.found = window;
    return FALSE;
}

struct OwnedSearch {
    HWND owner;
    const wchar_t* windowClass;
    HWND found;
};

BOOL CALLBACK matchOwned(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<OwnedSearch*>(context);
    if (GetWindow(window, GW_OWNER) != search.owner || !IsWindowVisible(window)) return TRUE;
    if (className(window) != search.windowClass) return TRUE;
    search.found = window;
    return FALSE;
}

struct ProcessClassSearch {
    DWORD processId;
    const wchar_t* windowClass;
    HWND found;
};

BOOL CALLBACK matchProcessClass(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<ProcessClassSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId || className(window) != search.windowClass) return TRUE;
    search.found = window;
    return FALSE;
}

}  // namespace

std::wstring className(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

HWND findMainWindow(DWORD processId) {
    MainWindowSearch search{processId, nullptr};
    EnumWindows(matchMainWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring windowCaption(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

bool isResponsive(HWND window, UINT boundMs) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, boundMs, &ignored) != 0;
}

bool readControlText(HWND dialog, int control, std::wstring* text) {
    const HWND item = GetDlgItem(dialog, control);
    if (item == nullptr) return false;
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(item, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kMessageBoundMs, &length))
        return false;
    if (length >= kTextUnitsMax) length = kTextUnitsMax - 1;
    std::wstring buffer(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(item, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(&buffer[0]),
                             SMTO_NORMAL, kMessageBoundMs, &copied))
        return false;
    buffer.resize(copied <= length ? copied : length);
    *text = buffer;
    return true;
}

bool controlEnabled(HWND dialog, int control) {
    const HWND item = GetDlgItem(dialog, control);
    return item != nullptr && IsWindowEnabled(item);
}

HWND findOwnedBox(HWND owner) {
    OwnedSearch search{owner, kDialogClass, nullptr};
    EnumWindows(matchOwned, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool readBox(HWND box, BoxView* view) {
    view->window = box;
    view->caption = windowCaption(box);
    view->buttons.clear();
    if (!readControlText(box, kBoxTextControl, &view->text)) return false;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (className(child) != L"Button" || !IsWindowVisible(child)) continue;
        view->buttons.push_back(GetDlgCtrlID(child));
    }
    return true;
}

bool clickButton(HWND parent, int control) {
    const HWND button = GetDlgItem(parent, control);
    return button != nullptr && PostMessageW(button, BM_CLICK, 0, 0);
}

bool pressEscape(HWND dialog) {
    DWORD threadId = GetWindowThreadProcessId(dialog, nullptr);
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = dialog;
    if (GetGUIThreadInfo(threadId, &info) && info.hwndFocus != nullptr &&
        (info.hwndFocus == dialog || IsChild(dialog, info.hwndFocus)))
        target = info.hwndFocus;
    const LPARAM down = 1 | (MapVirtualKeyW(VK_ESCAPE, MAPVK_VK_TO_VSC) << 16);
    const LPARAM up = down | (1u << 30) | (1u << 31);
    return PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, down) &&
           PostMessageW(target, WM_KEYUP, VK_ESCAPE, up);
}

bool pressCloseBox(HWND dialog) { return PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }

bool sendDeviceChange(HWND dialog, WPARAM event, const std::wstring& path, LRESULT* result) {
    // The record carries the name inline, terminator included, as the system builds it.
    const std::size_t bytes =
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(wchar_t);
    std::vector<std::uint8_t> storage(bytes < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)
                                          ? sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)
                                          : bytes);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
    record->dbcc_size = static_cast<DWORD>(bytes);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    // The HID interface class.
    record->dbcc_classguid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    std::memcpy(record->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    DWORD_PTR answer = 0;
    const bool delivered = SendMessageTimeoutW(dialog, WM_DEVICECHANGE, event,
                                               reinterpret_cast<LPARAM>(record), SMTO_NORMAL,
                                               kMessageBoundMs, &answer) != 0;
    if (result != nullptr) *result = static_cast<LRESULT>(answer);
    return delivered;
}

HWND findProgressWindow(DWORD processId) {
    ProcessClassSearch search{processId, PROGRESS_CLASSW, nullptr};
    EnumWindows(matchProcessClass, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool waitUntil(std::chrono::milliseconds bound, const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        Sleep(kPollMs);
    }
}
