// The main dialog created in-process from template 110 against the simulated HID bus, with every
// message box caught, recorded and answered, and WM_DEVICECHANGE records built as the system
// builds them.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "link/programmer_link.h"
#include "resources/resource_ids.h"
#include "sim/sim_device.h"
#include "tests/shared/catalogue_texts.h"
#include "tests/wine/import_override.h"
#include "app/main_dialog.h"
#include "ui/app_globals.h"

// ---------------------------------------------------------------------------------------------
// Message boxes, as the user sees them.

struct ShownBox {
    HWND owner;
    std::wstring caption;
    std::wstring text;
    UINT style;  // buttons and icon, read back from the box: MB_OK | MB_ICONERROR and the like
};

inline void PrintTo(const ShownBox& box, std::ostream* out) {
    std::string caption(box.caption.begin(), box.caption.end());
    std::string text(box.text.begin(), box.text.end());
    *out << "{owner " << box.owner << ", \"" << caption << "\", \"" << text << "\", style 0x"
         << std::hex << box.style << std::dec << "}";
}

struct BoxAnswer {
    int button;                      // IDOK, IDCANCEL, IDYES, IDNO
    std::function<void()> whileOpen; // runs inside the box's own message loop, before answering
};

namespace boxwatch {

struct Pending {
    UINT_PTR timer;
    HWND box;
    BoxAnswer answer;
};

inline HHOOK hook;
inline std::vector<ShownBox> shown;
inline std::deque<BoxAnswer> answers;  // IDOK when empty
inline std::vector<HWND> seen;         // boxes recorded and not yet destroyed
inline std::vector<Pending> pending;

inline std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, &text[0], static_cast<int>(text.size()))));
    return text;
}

inline std::wstring className(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

inline bool isMessageBox(HWND window) {
    return window != mainDialog && className(window) == L"#32770";
}

inline UINT buttonStyle(const std::vector<int>& ids) {
    auto has = [&](int id) {
        for (int present : ids)
            if (present == id) return true;
        return false;
    };
    if (has(IDYES) && has(IDNO)) return has(IDCANCEL) ? MB_YESNOCANCEL : MB_YESNO;
    if (has(IDABORT)) return MB_ABORTRETRYIGNORE;
    if (has(IDRETRY)) return MB_RETRYCANCEL;
    if (has(IDOK) && has(IDCANCEL)) return MB_OKCANCEL;
    return MB_OK;
}

inline UINT iconStyle(HICON icon) {
    if (icon == nullptr) return 0;
    const struct {
        LPCWSTR id;
        UINT style;
    } icons[] = {{IDI_HAND, MB_ICONERROR},
                 {IDI_QUESTION, MB_ICONQUESTION},
                 {IDI_EXCLAMATION, MB_ICONWARNING},
                 {IDI_ASTERISK, MB_ICONINFORMATION}};
    for (const auto& known : icons)
        if (LoadIconW(nullptr, known.id) == icon) return known.style;
    return MB_USERICON;
}

inline ShownBox readBox(HWND box) {
    ShownBox read = {GetWindow(box, GW_OWNER), windowText(box), L"", 0};
    std::vector<int> buttons;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        const std::wstring kind = className(child);
        if (_wcsicmp(kind.c_str(), L"Button") == 0 && (style & WS_VISIBLE) != 0)
            buttons.push_back(GetDlgCtrlID(child));
        if (_wcsicmp(kind.c_str(), L"Static") != 0) continue;
        if ((style & SS_TYPEMASK) == SS_ICON)
            read.style |= iconStyle(reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0)));
        else if (read.text.empty())
            read.text = windowText(child);
    }
    read.style |= buttonStyle(buttons);
    return read;
}

inline void CALLBACK answerBox(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (pending[i].timer != timer) continue;
        Pending mine = std::move(pending[i]);
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
        if (mine.answer.whileOpen) mine.answer.whileOpen();
        PostMessageW(mine.box, WM_COMMAND, static_cast<WPARAM>(mine.answer.button), 0);
        return;
    }
}

inline LRESULT CALLBACK onCbt(int code, WPARAM wParam, LPARAM lParam) {
    const HWND window = reinterpret_cast<HWND>(wParam);
    if (code == HCBT_DESTROYWND) {
        for (std::size_t i = 0; i < seen.size(); ++i)
            if (seen[i] == window) seen.erase(seen.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (code == HCBT_ACTIVATE && isMessageBox(window)) {
        bool known = false;
        for (HWND box : seen) known = known || box == window;
        if (!known) {
            seen.push_back(window);
            shown.push_back(readBox(window));
            BoxAnswer answer = {IDOK, nullptr};
            if (!answers.empty()) {
                answer = std::move(answers.front());
                answers.pop_front();
            }
            // Answered from the box's own loop, where the real user's click would arrive.
            const UINT_PTR timer = SetTimer(nullptr, 0, 0, answerBox);
            pending.push_back({timer, window, std::move(answer)});
        }
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}

inline void start() {
    shown.clear();
    answers.clear();
    seen.clear();
    pending.clear();
    hook = SetWindowsHookExW(WH_CBT, onCbt, nullptr, GetCurrentThreadId());
}

inline void stop() {
    if (hook != nullptr) UnhookWindowsHookEx(hook);
    hook = nullptr;
    for (const Pending& left : pending) KillTimer(nullptr, left.timer);
    pending.clear();
}

}  // namespace boxwatch

// The boxes shown so far, in order, exactly as expected.
inline void expectBoxes(const std::vector<ShownBox>& expected) {
    ASSERT_EQ(boxwatch::shown.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "box " << i);
        EXPECT_EQ(boxwatch::shown[i].owner, expected[i].owner);
        EXPECT_EQ(boxwatch::shown[i].caption, expected[i].caption);
        EXPECT_EQ(boxwatch::shown[i].text, expected[i].text);
        EXPECT_EQ(boxwatch::shown[i].style, expected[i].style);
    }
}

// ---------------------------------------------------------------------------------------------
// WM_DEVICECHANGE records.

// A device-interface record: header, class GUID, then the name with its terminator. The record
// states `statedNameUnits` name units (all of them, terminator included, when negative).
inline std::vector<BYTE> interfaceRecord(const std::u16string& name, int statedNameUnits = -1) {
    const std::size_t header = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const std::size_t nameBytes = (name.size() + 1) * sizeof(char16_t);
    std::vector<BYTE> record(header + nameBytes, 0);
    DEV_BROADCAST_DEVICEINTERFACE_W fixed = {};
    fixed.dbcc_size = static_cast<DWORD>(
        header + (statedNameUnits < 0 ? nameBytes : statedNameUnits * sizeof(char16_t)));
    fixed.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::memcpy(record.data(), &fixed, header);
    std::memcpy(record.data() + header, name.c_str(), nameBytes);
    return record;
}

// A record of another device type (a volume, a port), or one whose stated size is `statedSize`.
inline std::vector<BYTE> headerRecord(DWORD deviceType, DWORD statedSize = 0) {
    std::vector<BYTE> record(64, 0);
    DEV_BROADCAST_HDR header = {};
    header.dbch_size = statedSize != 0 ? statedSize : static_cast<DWORD>(record.size());
    header.dbch_devicetype = deviceType;
    std::memcpy(record.data(), &header, sizeof header);
    return record;
}

// ---------------------------------------------------------------------------------------------
// What the window shows.

struct DialogView {
    std::wstring hint;
    bool updateEnabled;
    std::wstring values[3];  // unit, ESC bootloader, ESC
    bool rowsEnabled[6];     // values 40013, 40014, 40015, labels 40010, 1005, 40011
    std::wstring unitLabel;  // label 40010

    bool operator==(const DialogView& other) const {
        for (int i = 0; i < 3; ++i)
            if (values[i] != other.values[i]) return false;
        for (int i = 0; i < 6; ++i)
            if (rowsEnabled[i] != other.rowsEnabled[i]) return false;
        return hint == other.hint && updateEnabled == other.updateEnabled &&
               unitLabel == other.unitLabel;
    }
};

inline std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t unit : text) {
        if (unit == L'\r') out += "\\r";
        else if (unit == L'\n') out += "\\n";
        else out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
}

inline void PrintTo(const DialogView& view, std::ostream* out) {
    *out << "{hint \"" << narrow(view.hint) << "\", update " << view.updateEnabled << ", values \""
         << narrow(view.values[0]) << "\" \"" << narrow(view.values[1]) << "\" \""
         << narrow(view.values[2]) << "\", rows ";
    for (bool enabled : view.rowsEnabled) *out << enabled;
    *out << ", label \"" << narrow(view.unitLabel) << "\"}";
}

// ---------------------------------------------------------------------------------------------
// The fixture.

// The language the program speaks to this user: German for a German user locale, English for
// every other. Wine's loader tries the user's locale before any English fallback, so an English
// thread cannot be had on a German machine.
inline handwritten::Language userLanguage() {
    return PRIMARYLANGID(GetUserDefaultLangID()) == LANG_GERMAN ? handwritten::Language::german
                                                                : handwritten::Language::english;
}

inline const std::u16string kUnitPath = u"\\\\?\\hid#vid_f0e1&pid_0002#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
inline const std::u16string kSecondUnitPath = u"\\\\?\\hid#vid_f0e1&pid_0001#7&5e6f7a8b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
inline const std::u16string kMousePath = u"\\\\?\\hid#vid_046d&pid_c077#7&9c0d1e2f&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

class DialogTest : public ::testing::Test {
public:
    // The language the dialog speaks in this test; a German fixture sets it in its constructor.
    handwritten::Language language = userLanguage();

    void SetUp() override {
        static bool commonControls = (InitCommonControls(), true);
        (void)commonControls;
        speak(language);
        appInstance = GetModuleHandleW(nullptr);
        simBusReset();
        resetProgrammerLink();
        mainDialog = nullptr;
        deviceNotification = nullptr;
        boxwatch::start();
    }

    void TearDown() override {
        if (mainDialog != nullptr && IsWindow(mainDialog)) DestroyWindow(mainDialog);
        pump();
        if (deviceNotification != nullptr) UnregisterDeviceNotification(deviceNotification);
        deviceNotification = nullptr;
        mainDialog = nullptr;
        closeProgrammer();
        boxwatch::stop();
        simBusReset();
        SetThreadUILanguage(previousUiLanguage);
        SetThreadLocale(previousLocale);
    }

    // --- the bus; the units live as long as the test
    SimUnit& plugReadyUnit(const std::u16string& path = kUnitPath) {
        units.push_back(simReadyUnit());
        simBusPlugUnit(units.back(), path);
        return units.back();
    }
    SimUnit& plugUnit(const SimUnit& unit, const std::u16string& path = kUnitPath) {
        units.push_back(unit);
        simBusPlugUnit(units.back(), path);
        return units.back();
    }
    void plugMouse(const std::u16string& path = kMousePath) {
        SimDevice mouse;
        mouse.path = path;
        mouse.vendorId = 0x046D;
        mouse.productId = 0xC077;
        simBusPlug(mouse);
    }

    // --- the dialog, created modelessly so a test can look at it while it is open
    HWND openDialog() {
        HWND dialog = CreateDialogParamW(appInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                         mainDialogProc, 0);
        pump();
        return dialog;
    }

    // Runs the dialog modally, as the program does; `whileOpen` runs once from inside its loop,
    // when the dialog is shown and no message box is open. Returns the dialog's result.
    static INT_PTR runModal(std::function<void()> whileOpen) {
        modalAction() = std::move(whileOpen);
        const UINT_PTR timer = modalAction() ? SetTimer(nullptr, 0, 0, runModalAction) : 0;
        const INT_PTR result = DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                               mainDialogProc, 0);
        if (timer != 0) KillTimer(nullptr, timer);
        modalAction() = nullptr;
        return result;
    }

    // Lets posted messages and box answers run their course, as the dialog manager would.
    static void pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (mainDialog != nullptr && IsDialogMessageW(mainDialog, &message)) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    // The dialog procedure's own answer to a device event (the dialog manager would hide it).
    static INT_PTR deviceEvent(WPARAM event, std::vector<BYTE>& record) {
        const INT_PTR result = mainDialogProc(mainDialog, WM_DEVICECHANGE, event,
                                              reinterpret_cast<LPARAM>(record.data()));
        pump();
        return result;
    }

    // --- what the user sees
    static std::wstring controlText(int control) {
        return boxwatch::windowText(GetDlgItem(mainDialog, control));
    }
    static bool controlEnabled(int control) {
        return IsWindowEnabled(GetDlgItem(mainDialog, control)) != FALSE;
    }
    static DialogView view() {
        DialogView shown;
        shown.hint = controlText(IDC_HINT);
        shown.updateEnabled = controlEnabled(IDC_UPDATE);
        const int values[] = {IDC_VALUE_UNIT, IDC_VALUE_ESC_BOOTLOADER, IDC_VALUE_ESC};
        const int rows[] = {IDC_VALUE_UNIT, IDC_VALUE_ESC_BOOTLOADER, IDC_VALUE_ESC,
                            IDC_LABEL_UNIT, IDC_LABEL_ESC_BOOTLOADER, IDC_LABEL_ESC};
        for (int i = 0; i < 3; ++i) shown.values[i] = controlText(values[i]);
        for (int i = 0; i < 6; ++i) shown.rowsEnabled[i] = controlEnabled(rows[i]);
        shown.unitLabel = controlText(IDC_LABEL_UNIT);
        return shown;
    }

    // --- what the catalogue says in the test's language: the handwritten one, never the
    // resources, so that a wrong resource fails here instead of moving the expectation along
    static std::wstring catalogue(UINT id) {
        const wchar_t* text = handwritten::catalogueText(id, shownLanguage());
        EXPECT_NE(text, nullptr) << "text " << id << " is not in the handwritten catalogue";
        return text != nullptr ? text : L"";
    }
    static std::wstring withSteps(UINT id) {
        return catalogue(id) + L"\r\n\r\n" + catalogue(IDS_STEPS);
    }

    // The window with no unit linked: a guidance text, Update off, zeros in greyed rows.
    static DialogView unlinkedView(std::wstring hint, std::wstring unitLabel) {
        return {std::move(hint), false, {L"0.0.0", L"0.0.0", L"0.0.0"},
                {false, false, false, false, false, false}, std::move(unitLabel)};
    }
    static DialogView readyView(std::wstring unitVersion, std::wstring bootloaderVersion,
                                std::wstring escVersion, std::wstring unitName) {
        return {catalogue(IDS_READY), true,
                {std::move(unitVersion), std::move(bootloaderVersion), std::move(escVersion)},
                {true, true, true, true, true, true}, std::move(unitName)};
    }
    // What simReadyUnit reports: unit 1.2, bootloader 2.1.5, ESC 3.2, a TAVILINK.
    static DialogView readyTavilinkView() { return readyView(L"1.2", L"2.1.5", L"3.2", L"TAVILINK"); }

    std::deque<SimUnit> units;  // stable addresses: the bus keeps pointers to them

private:
    // The resource loader picks the catalogue from the thread's interface language; Wine's
    // loader follows the thread locale instead. Both are set for the test's language.
    void speak(handwritten::Language spoken) {
        previousUiLanguage = GetThreadUILanguage();
        previousLocale = GetThreadLocale();
        const LANGID id = spoken == handwritten::Language::german
                              ? MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)
                              : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
        SetThreadUILanguage(id);
        SetThreadLocale(MAKELCID(id, SORT_DEFAULT));
        shownLanguage() = spoken;
    }
    static handwritten::Language& shownLanguage() {
        static handwritten::Language spoken = handwritten::Language::english;
        return spoken;
    }

    LANGID previousUiLanguage = 0;
    LCID previousLocale = 0;

    static std::function<void()>& modalAction() {
        static std::function<void()> action;
        return action;
    }
    static void CALLBACK runModalAction(HWND, UINT, UINT_PTR timer, DWORD) {
        // Not yet: the dialog is still being set up, or a box of its own is open.
        if (mainDialog == nullptr || !IsWindowVisible(mainDialog) || !boxwatch::seen.empty())
            return;
        KillTimer(nullptr, timer);
        std::function<void()> action = std::move(modalAction());
        modalAction() = nullptr;
        if (action) action();
    }
};

// ---------------------------------------------------------------------------------------------
// An ESC of another type, and the notice the probe shows for it.

inline constexpr std::uint32_t kForeignEscType = 0x0B07403C;

inline SimUnit unitWithForeignEsc() {
    SimUnit unit = simReadyUnit();
    simSetEscType(unit, kForeignEscType, 0x02000105);
    return unit;
}

inline ShownBox incompatibilityBox() {
    // The text names the type the program takes where the catalogue has its %s.
    std::wstring text = DialogTest::catalogue(IDS_INCOMPATIBLE_TEXT);
    const std::size_t placeholder = text.find(L"%s");
    if (placeholder != std::wstring::npos) text.replace(placeholder, 2, L"ZIRVANO 60 LV");
    return {mainDialog, DialogTest::catalogue(IDS_INCOMPATIBLE_CAPTION), text,
            MB_OK | MB_ICONINFORMATION};
}
