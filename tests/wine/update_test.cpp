// The Update button under Wine: confirmations, the chain against the simulated unit, the progress
// window, the failure report, the system kept awake and the timer resolution, checked on what the
// user and the unit see.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>

#include "link/commands.h"
#include "tests/shared/update_facts.h"
#include "tests/wine/dialog_fixture.h"

namespace {

using updatefacts::blocks;
using updatefacts::imageBytes;

// The update asks the unit which ESC is behind it before anything else: these come first.
constexpr std::size_t kAskedAgain = std::size(updatefacts::identifyCommands);

constexpr EXECUTION_STATE kKeptAwake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;

// The bytes the update must install: RCDATA 140 of this very module.
std::vector<std::uint8_t> embeddedImage() {
    const HMODULE self = GetModuleHandleW(nullptr);
    const HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(IDR_FIRMWARE), RT_RCDATA);
    if (found == nullptr) return {};
    const auto* bytes = static_cast<const std::uint8_t*>(LockResource(LoadResource(self, found)));
    return std::vector<std::uint8_t>(bytes, bytes + SizeofResource(self, found));
}

// Asking is the only way to read the thread's execution state, and asking sets it; so it is put
// back at once with what the call returned.
EXECUTION_STATE executionState() {
    const EXECUTION_STATE previous = SetThreadExecutionState(kKeptAwake);
    SetThreadExecutionState(previous);
    return previous;
}

bool keepsSystemAwake(EXECUTION_STATE state) { return (state & kKeptAwake) == kKeptAwake; }

int progressWindowsOwnedBy(HWND owner) {
    int count = 0;
    for (HWND window = FindWindowExW(nullptr, nullptr, PROGRESS_CLASSW, nullptr);
         window != nullptr; window = FindWindowExW(nullptr, window, PROGRESS_CLASSW, nullptr))
        if (GetWindow(window, GW_OWNER) == owner) ++count;
    return count;
}

// ---------------------------------------------------------------------------------------------
// The progress bar as it is told its position: a WH_CALLWNDPROC hook on this thread sees every
// PBM_SETPOS, together with how many blocks the unit had taken at that moment, and the paints
// the bar takes before its next position.

namespace progresswatch {

struct Step {
    UINT position;
    std::uint32_t blocksTaken;
    EXECUTION_STATE executionState;
    int paints;
};

struct Window {
    HWND handle;
    HWND owner;
    std::wstring caption;
    LONG style;
    RECT rect;
    RECT ownerRect;
};

inline HHOOK hook;
inline const SimUnit* unit;
inline std::vector<Step> steps;
inline std::vector<Window> windows;  // each progress window as it was first told a position
inline WNDPROC controlProcedure;
inline int settingPosition;

// No message loop runs during the transfer, so the program paints the bar itself. Wine's control
// also paints from inside PBM_SETPOS, which would hide a program that does not; here the bar
// only takes its position and stays invalid, so a paint outside PBM_SETPOS is one the program
// asked for.
inline LRESULT CALLBACK positionOnly(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == PBM_SETPOS) {
        ++settingPosition;
        const LRESULT previous = CallWindowProcW(controlProcedure, bar, message, wParam, lParam);
        --settingPosition;
        if (static_cast<WPARAM>(previous) != wParam) InvalidateRect(bar, nullptr, TRUE);
        return previous;
    }
    if (message == WM_PAINT && settingPosition == 0 && !steps.empty()) ++steps.back().paints;
    return CallWindowProcW(controlProcedure, bar, message, wParam, lParam);
}

inline LRESULT CALLBACK onCall(int code, WPARAM wParam, LPARAM lParam) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == PBM_SETPOS &&
        boxwatch::className(call->hwnd) == PROGRESS_CLASSW) {
        const bool known = std::any_of(windows.begin(), windows.end(),
                                       [&](const Window& seen) { return seen.handle == call->hwnd; });
        if (!known) {
            Window seen = {call->hwnd, GetWindow(call->hwnd, GW_OWNER),
                           boxwatch::windowText(call->hwnd), GetWindowLongW(call->hwnd, GWL_STYLE),
                           {}, {}};
            GetWindowRect(call->hwnd, &seen.rect);
            GetWindowRect(seen.owner, &seen.ownerRect);
            windows.push_back(seen);
            controlProcedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
                call->hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(positionOnly)));
        }
        steps.push_back({static_cast<UINT>(call->wParam),
                         unit != nullptr ? unit->commandCounts[WriteDataBlock] : 0,
                         executionState(), 0});
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}

inline void start() {
    unit = nullptr;
    steps.clear();
    windows.clear();
    settingPosition = 0;
    hook = SetWindowsHookExW(WH_CALLWNDPROC, onCall, nullptr, GetCurrentThreadId());
}

inline void stop() {
    if (hook != nullptr) UnhookWindowsHookEx(hook);
    hook = nullptr;
    unit = nullptr;
}

}  // namespace progresswatch

// ---------------------------------------------------------------------------------------------
// What the unit is told.

// The first `count` commands of identification, as the unit receives them.
std::vector<std::uint8_t> identification(
    std::size_t count = std::size(updatefacts::identifyCommands)) {
    return std::vector<std::uint8_t>(updatefacts::identifyCommands,
                                     updatefacts::identifyCommands + count);
}

// The first `count` commands of a whole update.
std::vector<std::uint8_t> updateUpTo(std::size_t count) {
    std::vector<std::uint8_t> chain = updatefacts::updateCommandOrder();
    chain.resize(count);
    return chain;
}

std::vector<std::uint8_t> commandsSince(const SimUnit& unit, std::size_t start) {
    const std::vector<std::uint8_t> order = simCommandOrder(unit);
    return std::vector<std::uint8_t>(order.begin() + static_cast<std::ptrdiff_t>(start),
                                     order.end());
}

// Asserts without dumping the whole image when they differ.
void expectFlashHoldsTheImage(const SimUnit& unit, const std::vector<std::uint8_t>& image) {
    ASSERT_EQ(unit.flash.size(), image.size());
    const auto difference = std::mismatch(unit.flash.begin(), unit.flash.end(), image.begin());
    EXPECT_TRUE(difference.first == unit.flash.end())
        << "first difference at byte " << (difference.first - unit.flash.begin());
}

// ---------------------------------------------------------------------------------------------
// What the user is shown.

ShownBox warningBox() {
    return {mainDialog, DialogTest::catalogue(IDS_WARNING_CAPTION),
            DialogTest::catalogue(IDS_WARNING_TEXT), MB_OKCANCEL | MB_ICONWARNING};
}

ShownBox downgradeBox() {
    return {mainDialog, DialogTest::catalogue(IDS_DOWNGRADE_CAPTION),
            DialogTest::catalogue(IDS_DOWNGRADE_QUESTION), MB_YESNO | MB_ICONWARNING};
}

// The code line with its two numbers as the box must print them, e.g. L"0x0000065b-0x00000000".
std::wstring codeLine(const std::wstring& numbers) {
    std::wstring line = DialogTest::catalogue(IDS_ERROR_CODE_LINE);
    const std::wstring placeholder = L"0x%08x-0x%08x";
    const std::size_t at = line.find(placeholder);
    if (at != std::wstring::npos) line.replace(at, placeholder.size(), numbers);
    return line;
}

// `numbers` null: the text alone, as for a failure without a code.
ShownBox failureBox(UINT text, const wchar_t* numbers) {
    std::wstring shown = DialogTest::catalogue(text);
    if (numbers != nullptr) shown += L"\r\n" + codeLine(numbers);
    return {mainDialog, DialogTest::catalogue(IDS_UPDATE_FAILED_CAPTION), shown,
            MB_OK | MB_ICONERROR};
}

// What simReadyUnit shows once the update went through: only the ESC row has changed.
DialogView updatedView() {
    return {DialogTest::catalogue(IDS_UPDATE_SUCCEEDED), false, {L"1.2", L"2.1.5", L"3.3"},
            {true, true, true, true, true, true}, L"TAVILINK"};
}

DialogView failedView() {
    return DialogTest::unlinkedView(DialogTest::catalogue(IDS_FAILURE_HINT), L"TAVILINK");
}

template <typename Case>
std::string rowName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// What the window looked like while the failure box was open.
struct AtFailureBox {
    bool seen = false;
    bool linked = true;
    int progressWindows = -1;
    DialogView view = {};
};

BoxAnswer recordFailureBox(AtFailureBox& record) {
    return {IDOK, [&record] {
                record.seen = true;
                record.linked = linkIsOpen();
                record.progressWindows = progressWindowsOwnedBy(mainDialog);
                record.view = DialogTest::view();
            }};
}

class UpdateTest : public DialogTest {
public:
    void SetUp() override {
        DialogTest::SetUp();
        // A known state to start from: nothing asked of the power management.
        SetThreadExecutionState(ES_CONTINUOUS);
        progresswatch::start();
    }

    void TearDown() override {
        progresswatch::stop();
        SetThreadExecutionState(ES_CONTINUOUS);
        DialogTest::TearDown();
    }

    // While the warning is open (then answered OK), the linked unit is pulled and `second` is
    // plugged in at the second path, each told to the dialog as the system would.
    void swapUnitWhileTheWarningIsOpen(SimUnit& second) {
        boxwatch::answers.push_back({IDOK, [&second] {
                                         std::vector<BYTE> removal = interfaceRecord(kUnitPath);
                                         std::vector<BYTE> arrival =
                                             interfaceRecord(kSecondUnitPath);
                                         simBusUnplug(kUnitPath);
                                         deviceEvent(DBT_DEVICEREMOVECOMPLETE, removal);
                                         simBusPlugUnit(second, kSecondUnitPath);
                                         deviceEvent(DBT_DEVICEARRIVAL, arrival);
                                     }});
    }

    // A ready unit with its ESC at `escVersion`, the dialog open on it, and its record of
    // received reports from here on.
    SimUnit& openOnReadyUnit(std::uint16_t escVersion = 0x0302) {
        SimUnit& unit = plugUnit(simReadyUnit(escVersion));
        openDialog();
        progresswatch::unit = &unit;
        probeReports = unit.received.size();
        pausesBefore = simPauses().size();
        ioBefore = simIoCount();
        return unit;
    }

    // The Update button's command, as the dialog manager delivers it.
    static void pressUpdate() {
        SendMessageW(mainDialog, WM_COMMAND, MAKEWPARAM(IDC_UPDATE, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(mainDialog, IDC_UPDATE)));
        pump();
    }

    std::vector<std::uint8_t> sentByUpdate(const SimUnit& unit) const {
        return commandsSince(unit, probeReports);
    }

    std::vector<std::uint32_t> pausesOfUpdate() const {
        const std::vector<std::uint32_t>& all = simPauses();
        return std::vector<std::uint32_t>(all.begin() + static_cast<std::ptrdiff_t>(pausesBefore),
                                          all.end());
    }

    std::size_t probeReports = 0;
    std::size_t pausesBefore = 0;
    std::uint32_t ioBefore = 0;
};

// =================================================================================================
// Before anything is sent

TEST_F(UpdateTest, WithoutALinkOneErrorBoxWithoutCodeLineAndNothingSent) {
    openDialog();
    ioBefore = simIoCount();

    pressUpdate();

    expectBoxes({failureBox(IDS_UNIT_NOT_DETECTED, nullptr)});
    EXPECT_EQ(simIoCount(), ioBefore);
    EXPECT_EQ(view(), unlinkedView(catalogue(IDS_FAILURE_HINT), catalogue(IDS_LABEL_UNIT)));
    EXPECT_FALSE(keepsSystemAwake(executionState()));
}

TEST_F(UpdateTest, CancelOnTheWarningSendsNothingAndChangesNothingOnScreen) {
    SimUnit& unit = openOnReadyUnit();
    const DialogView before = view();
    boxwatch::answers.push_back({IDCANCEL, nullptr});

    pressUpdate();

    expectBoxes({warningBox()});
    EXPECT_EQ(simIoCount(), ioBefore);
    EXPECT_TRUE(sentByUpdate(unit).empty());
    EXPECT_EQ(view(), before);
    EXPECT_TRUE(linkIsOpen());
    EXPECT_FALSE(keepsSystemAwake(executionState()));
}

struct InstalledVersionCase {
    const char* name;
    std::uint16_t escVersion;
    const wchar_t* shownBefore;
    bool downgradeQuestion;
};
void PrintTo(const InstalledVersionCase& row, std::ostream* out) { *out << row.name; }

const InstalledVersionCase kInstalledVersionCases[] = {
    {"OlderFirmwareIsNotAsked", 0x0302, L"3.2", false},
    {"NoFirmwareIsNotAsked", 0xFFFF, L"----------", false},
    {"EmptyInformationBlockIsNotAsked", 0x0000, L"0.0", false},
    {"SameFirmwareIsAsked", 0x0303, L"3.3", true},
    {"NewerFirmwareIsAsked", 0x0400, L"4.0", true},
};

class InstalledVersion : public UpdateTest,
                         public testing::WithParamInterface<InstalledVersionCase> {};

TEST_P(InstalledVersion, DecidesTheDowngradeQuestionAndTheUpdateEndsAtThreeThree) {
    const InstalledVersionCase& row = GetParam();
    SimUnit& unit = openOnReadyUnit(row.escVersion);
    ASSERT_EQ(controlText(IDC_VALUE_ESC), row.shownBefore);
    boxwatch::answers.push_back({IDOK, nullptr});
    if (row.downgradeQuestion) boxwatch::answers.push_back({IDYES, nullptr});

    pressUpdate();

    if (row.downgradeQuestion)
        expectBoxes({warningBox(), downgradeBox()});
    else
        expectBoxes({warningBox()});
    EXPECT_EQ(sentByUpdate(unit), updatefacts::updateCommandOrder());
    EXPECT_EQ(view(), updatedView());
    EXPECT_TRUE(linkIsOpen());
}

INSTANTIATE_TEST_SUITE_P(Update, InstalledVersion, testing::ValuesIn(kInstalledVersionCases),
                         rowName<InstalledVersionCase>);

class DowngradeDeclined : public UpdateTest, public testing::WithParamInterface<std::uint16_t> {};

TEST_P(DowngradeDeclined, StopsWithNothingSentAndNothingChanged) {
    SimUnit& unit = openOnReadyUnit(GetParam());
    const DialogView before = view();
    boxwatch::answers.push_back({IDOK, nullptr});
    boxwatch::answers.push_back({IDNO, nullptr});

    pressUpdate();

    expectBoxes({warningBox(), downgradeBox()});
    EXPECT_EQ(simIoCount(), ioBefore);
    EXPECT_TRUE(sentByUpdate(unit).empty());
    EXPECT_EQ(view(), before);
    EXPECT_TRUE(linkIsOpen());
    EXPECT_FALSE(keepsSystemAwake(executionState()));
}

INSTANTIATE_TEST_SUITE_P(Update, DowngradeDeclined, testing::Values(0x0303, 0x0400),
                         [](const testing::TestParamInfo<std::uint16_t>& info) {
                             return info.param == 0x0303 ? std::string("SameFirmware")
                                                         : std::string("NewerFirmware");
                         });

// =================================================================================================
// A whole update

TEST_F(UpdateTest, FullUpdateInstallsTheEmbeddedImageAndReportsSuccess) {
    const std::vector<std::uint8_t> image = embeddedImage();
    ASSERT_EQ(image.size(), imageBytes);
    SimUnit& unit = openOnReadyUnit(kNoEscFirmware);

    pressUpdate();

    expectBoxes({warningBox()});
    EXPECT_EQ(sentByUpdate(unit), updatefacts::updateCommandOrder());
    expectFlashHoldsTheImage(unit, image);
    EXPECT_EQ(pausesOfUpdate(), updatefacts::updatePausesMs());
    // The unit is left closed up again.
    EXPECT_TRUE(unit.writeProtected);
    EXPECT_FALSE(unit.locked);
    // The success hint is part of the view.
    EXPECT_EQ(view(), updatedView());
    EXPECT_TRUE(linkIsOpen());
    EXPECT_EQ(simOpenHandles(), 1u);
}

TEST_F(UpdateTest, ProgressWindowIsOwnedCentredCaptionedAndGoneAfterwards) {
    openOnReadyUnit();

    pressUpdate();

    ASSERT_EQ(progresswatch::windows.size(), 1u);
    const progresswatch::Window& bar = progresswatch::windows[0];
    EXPECT_EQ(bar.owner, mainDialog);
    EXPECT_EQ(bar.caption, catalogue(IDS_PROGRESS_CAPTION));
    EXPECT_EQ(bar.style & (WS_CHILD | WS_POPUP), 0);
    EXPECT_NE(bar.style & WS_VISIBLE, 0);
    EXPECT_NE(bar.style & PBS_SMOOTH, 0);
    EXPECT_EQ(bar.rect.right - bar.rect.left, 400);
    EXPECT_EQ(bar.rect.bottom - bar.rect.top, 50);
    // Centred on its owner within a pixel: the centres compared, doubled to stay in integers.
    const RECT& owner = bar.ownerRect;
    EXPECT_NEAR(bar.rect.left + bar.rect.right, owner.left + owner.right, 2);
    EXPECT_NEAR(bar.rect.top + bar.rect.bottom, owner.top + owner.bottom, 2);

    EXPECT_FALSE(IsWindow(bar.handle));
    EXPECT_EQ(progressWindowsOwnedBy(mainDialog), 0);
}

TEST_F(UpdateTest, ProgressRunsFromZeroToHundredWithTheBlocksTaken) {
    openOnReadyUnit();

    pressUpdate();

    // The bar is set to 0 before any block, then whenever its position moves: every value from
    // 0 to 100 once. It never shows more of the image than the unit holds, and it moves with
    // the block that completed its percent, not later.
    const std::vector<progresswatch::Step>& steps = progresswatch::steps;
    ASSERT_EQ(steps.size(), 101u);
    EXPECT_EQ(steps[0].blocksTaken, 0u);
    auto bytesIn = [](std::uint32_t blocksTaken) {
        return std::min<std::uint64_t>(std::uint64_t{blocksTaken} * updatefacts::blockBytes,
                                       imageBytes);
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        ASSERT_EQ(steps[i].position, i) << "step " << i;
        if (i == 0) continue;
        const std::uint64_t shown = std::uint64_t{steps[i].position} * imageBytes;
        ASSERT_LE(shown, 100u * bytesIn(steps[i].blocksTaken)) << "step " << i;
        ASSERT_GT(shown, 100u * bytesIn(steps[i].blocksTaken - 1)) << "step " << i;
    }
    EXPECT_EQ(steps.back().blocksTaken, blocks);
}

TEST_F(UpdateTest, BarIsPaintedAtEveryPositionItTakes) {
    openOnReadyUnit();

    pressUpdate();

    // Positions 0 to 100, each painted before the bar moves on.
    ASSERT_EQ(progresswatch::steps.size(), 101u);
    std::vector<UINT> unpainted;
    for (const progresswatch::Step& step : progresswatch::steps)
        if (step.paints == 0) unpainted.push_back(step.position);
    EXPECT_EQ(unpainted, std::vector<UINT>{});
}

TEST_F(UpdateTest, SystemIsKeptAwakeDuringTheTransferAndReleasedAfterSuccess) {
    openOnReadyUnit();

    pressUpdate();

    ASSERT_EQ(progresswatch::steps.size(), 101u);
    for (std::size_t i = 0; i < progresswatch::steps.size(); ++i)
        ASSERT_TRUE(keepsSystemAwake(progresswatch::steps[i].executionState))
            << "position " << i << " state 0x" << std::hex
            << progresswatch::steps[i].executionState;
    EXPECT_EQ(controlText(IDC_HINT), catalogue(IDS_UPDATE_SUCCEEDED));
    EXPECT_FALSE(keepsSystemAwake(executionState()));
}

// The timer resolution the program asks for, seen at the system's door with the number of
// reports the unit had received at that moment.
namespace timerwatch {

struct Call {
    bool begin;  // timeBeginPeriod, else timeEndPeriod
    UINT period;
    std::size_t reportsReceived;

    bool operator==(const Call& other) const {
        return begin == other.begin && period == other.period &&
               reportsReceived == other.reportsReceived;
    }
};

inline void PrintTo(const Call& call, std::ostream* out) {
    *out << (call.begin ? "begin(" : "end(") << call.period << ") after " << call.reportsReceived
         << " reports";
}

inline const SimUnit* unit;
inline std::vector<Call> calls;
inline decltype(&timeBeginPeriod) beginOriginal;
inline decltype(&timeEndPeriod) endOriginal;

inline std::size_t reportsNow() { return unit != nullptr ? unit->received.size() : 0; }

inline MMRESULT WINAPI onBegin(UINT period) {
    calls.push_back({true, period, reportsNow()});
    return beginOriginal(period);
}

inline MMRESULT WINAPI onEnd(UINT period) {
    calls.push_back({false, period, reportsNow()});
    return endOriginal(period);
}

}  // namespace timerwatch

struct TimerResolutionCase {
    const char* name;
    std::vector<SimFault> faults;
    std::size_t reportsOfTheUpdate;
};
void PrintTo(const TimerResolutionCase& row, std::ostream* out) { *out << row.name; }

const TimerResolutionCase kTimerResolutionCases[] = {
    {"CompleteUpdate", {}, updatefacts::updateCommandCount},
    {"LockRefused", {{SystemLock, 1, SimFaultKind::refusal, 0}}, kAskedAgain + 1},
};

class TimerResolution : public UpdateTest,
                        public testing::WithParamInterface<TimerResolutionCase> {};

TEST_P(TimerResolution, IsOneMillisecondFromBeforeTheFirstReportToAfterTheLast) {
    const TimerResolutionCase& row = GetParam();
    timerwatch::unit = nullptr;
    timerwatch::calls.clear();
    ImportOverride watchBegin("winmm.dll", "timeBeginPeriod",
                              reinterpret_cast<void*>(timerwatch::onBegin));
    ImportOverride watchEnd("winmm.dll", "timeEndPeriod",
                            reinterpret_cast<void*>(timerwatch::onEnd));
    ASSERT_NE(watchBegin.slot, nullptr) << "the program never asks for a timer resolution";
    ASSERT_NE(watchEnd.slot, nullptr) << "the program never gives a timer resolution back";
    timerwatch::beginOriginal = reinterpret_cast<decltype(&timeBeginPeriod)>(watchBegin.original);
    timerwatch::endOriginal = reinterpret_cast<decltype(&timeEndPeriod)>(watchEnd.original);
    SimUnit& unit = openOnReadyUnit();
    timerwatch::unit = &unit;
    unit.faults = row.faults;

    pressUpdate();
    timerwatch::unit = nullptr;

    EXPECT_EQ(timerwatch::calls,
              (std::vector<timerwatch::Call>{{true, 1, probeReports},
                                             {false, 1, probeReports + row.reportsOfTheUpdate}}));
    EXPECT_EQ(sentByUpdate(unit).size(), row.reportsOfTheUpdate);
}

INSTANTIATE_TEST_SUITE_P(Update, TimerResolution, testing::ValuesIn(kTimerResolutionCases),
                         rowName<TimerResolutionCase>);

// =================================================================================================
// Failing steps

struct FailingStepCase {
    const char* name;
    SimFault fault;
    std::size_t commandsSent;  // of the update chain, the failing one included
    UINT text;
    const wchar_t* numbers;    // the code line's two numbers
};
void PrintTo(const FailingStepCase& row, std::ostream* out) { *out << row.name; }

// The code line of a step whose answer an unasked report put in doubt.
constexpr wchar_t kOutOfStep[] = L"0xfffffffa-0x00000000";

// The simulated bus reports a missing answer as a time-out and a vanished unit as a general
// failure; an answered refusal leaves the system error at 0.
const FailingStepCase kFailingStepCases[] = {
    {"LockRefusedInTheStatusByte",
     {SystemLock, 1, SimFaultKind::refusal, 0},
     kAskedAgain + 1,
     IDS_LOCK_FAILED,
     L"0x0000065b-0x00000000"},
    {"LockUnanswered",
     {SystemLock, 1, SimFaultKind::noAnswer, 0},
     kAskedAgain + 1,
     IDS_LOCK_FAILED,
     L"0xfffffffd-0x000005b4"},
    {"LockNotWritten",
     {SystemLock, 1, SimFaultKind::disconnect, 0},
     kAskedAgain + 1,
     IDS_LOCK_FAILED,
     L"0xfffffffe-0x0000001f"},
    {"UnlockAnsweredWithErrorCodeNine",
     {WriteProtect, 1, SimFaultKind::errorAnswer, 9},
     kAskedAgain + 2,
     IDS_UNLOCK_FLASH_FAILED,
     L"0x00000009-0x00000000"},
    {"UnlockRefusedInTheStatusByte",
     {WriteProtect, 1, SimFaultKind::refusal, 0},
     kAskedAgain + 2,
     IDS_UNLOCK_FLASH_FAILED,
     L"0x0000065b-0x00000000"},
    // Error code 0 counts as success, so the erase is sent. The simulated unit took the faked
    // answer instead of opening its flash, so the erase then refuses with its own code 0x22.
    {"UnlockAnsweredWithErrorCodeZeroGoesOnToTheErase",
     {WriteProtect, 1, SimFaultKind::errorAnswer, 0},
     kAskedAgain + 3,
     IDS_ERASE_FAILED,
     L"0x00000022-0x00000000"},
    {"EraseAnsweredWithAnError",
     {EraseFirmware, 1, SimFaultKind::errorAnswer, 0x1234ABCD},
     kAskedAgain + 3,
     IDS_ERASE_FAILED,
     L"0x1234abcd-0x00000000"},
    {"EraseUnanswered",
     {EraseFirmware, 1, SimFaultKind::noAnswer, 0},
     kAskedAgain + 3,
     IDS_ERASE_FAILED,
     L"0xfffffffd-0x000005b4"},
    {"AddressAnsweredWithAnError",
     {SetWriteAddress, 1, SimFaultKind::errorAnswer, 0x24},
     kAskedAgain + 4,
     IDS_ADDRESS_FAILED,
     L"0x00000024-0x00000000"},
    {"FirstBlockAnsweredWithAnError",
     {WriteDataBlock, 1, SimFaultKind::errorAnswer, 0x25},
     kAskedAgain + 5,
     IDS_BLOCK_FAILED,
     L"0x00000025-0x00000000"},
    {"MiddleBlockAnsweredWithAnError",
     {WriteDataBlock, blocks / 2, SimFaultKind::errorAnswer, 0xDEADBEEF},
     kAskedAgain + 4 + blocks / 2,
     IDS_BLOCK_FAILED,
     L"0xdeadbeef-0x00000000"},
    {"LastBlockAnsweredWithAnError",
     {WriteDataBlock, blocks, SimFaultKind::errorAnswer, 7},
     kAskedAgain + 4 + blocks,
     IDS_BLOCK_FAILED,
     L"0x00000007-0x00000000"},
    {"MiddleBlockUnanswered",
     {WriteDataBlock, 700, SimFaultKind::noAnswer, 0},
     kAskedAgain + 4 + 700,
     IDS_BLOCK_FAILED,
     L"0xfffffffd-0x000005b4"},
    {"UnitVanishesDuringTheTransfer",
     {WriteDataBlock, 1500, SimFaultKind::disconnect, 0},
     kAskedAgain + 4 + 1500,
     IDS_BLOCK_FAILED,
     L"0xfffffffe-0x0000001f"},
    // A report found queued before a step puts the answer taken for the step before in doubt:
    // that one fails, out of step, and the next is not sent.
    {"EscAnsweredTwiceWhenAskedAgain",
     {ReadEscBootInfo, 2, SimFaultKind::answerTwice, 0},
     kAskedAgain,
     IDS_LOCK_FAILED,
     kOutOfStep},
    {"LockAnsweredTwice",
     {SystemLock, 1, SimFaultKind::answerTwice, 0},
     kAskedAgain + 1,
     IDS_LOCK_FAILED,
     kOutOfStep},
    {"UnlockFollowedByAnUnaskedReport",
     {WriteProtect, 1, SimFaultKind::unasked, 0x77},
     kAskedAgain + 2,
     IDS_UNLOCK_FLASH_FAILED,
     kOutOfStep},
    {"EraseAnswerRepeatedInTheWaitAfterIt",
     {EraseFirmware, 1, SimFaultKind::duplicateLate, 2000},
     kAskedAgain + 3,
     IDS_ERASE_FAILED,
     kOutOfStep},
    {"AddressAnsweredTwice",
     {SetWriteAddress, 1, SimFaultKind::answerTwice, 0},
     kAskedAgain + 4,
     IDS_ADDRESS_FAILED,
     kOutOfStep},
    {"BlockAnswerRepeatedInItsPause",
     {WriteDataBlock, 700, SimFaultKind::duplicateLate, 10},
     kAskedAgain + 4 + 700,
     IDS_BLOCK_FAILED,
     kOutOfStep},
    {"LastBlockAnswerRepeatedBeforeTheProtectionIsRestored",
     {WriteDataBlock, blocks, SimFaultKind::duplicateLate, 10},
     kAskedAgain + 4 + blocks,
     IDS_BLOCK_FAILED,
     kOutOfStep},
};

class FailingStep : public UpdateTest, public testing::WithParamInterface<FailingStepCase> {};

TEST_P(FailingStep, EndsInOneErrorBoxWithTheLinkDroppedAndNothingMoreSent) {
    const FailingStepCase& row = GetParam();
    SimUnit& unit = openOnReadyUnit();
    unit.faults.push_back(row.fault);
    AtFailureBox atBox;
    boxwatch::answers.push_back({IDOK, nullptr});
    boxwatch::answers.push_back(recordFailureBox(atBox));

    pressUpdate();

    expectBoxes({warningBox(), failureBox(row.text, row.numbers)});
    EXPECT_EQ(sentByUpdate(unit), updateUpTo(row.commandsSent));
    // A write and a read per command; a unit that vanished took no more writes after its last,
    // so the bus's count shows that none was even tried.
    const bool writeFailed = row.fault.kind == SimFaultKind::disconnect;
    EXPECT_EQ(simIoCount() - ioBefore, 2 * row.commandsSent - (writeFailed ? 1 : 0));
    EXPECT_FALSE(linkIsOpen());
    EXPECT_EQ(simOpenHandles(), 0u);
    EXPECT_EQ(view(), failedView());
    EXPECT_FALSE(keepsSystemAwake(executionState()));
    EXPECT_EQ(progressWindowsOwnedBy(mainDialog), 0);

    // The box opens on the unlinked window, the progress window already gone.
    ASSERT_TRUE(atBox.seen);
    EXPECT_FALSE(atBox.linked);
    EXPECT_EQ(atBox.progressWindows, 0);
    EXPECT_FALSE(atBox.view.updateEnabled);
    EXPECT_EQ(atBox.view.values[2], L"0.0.0");
}

INSTANTIATE_TEST_SUITE_P(Update, FailingStep, testing::ValuesIn(kFailingStepCases),
                         rowName<FailingStepCase>);

TEST_F(UpdateTest, FirstBlockFailureShowedTheProgressWindowAndDestroyedItBeforeTheBox) {
    SimUnit& unit = openOnReadyUnit();
    unit.faults.push_back({WriteDataBlock, 1, SimFaultKind::errorAnswer, 0x25});
    AtFailureBox atBox;
    boxwatch::answers.push_back({IDOK, nullptr});
    boxwatch::answers.push_back(recordFailureBox(atBox));

    pressUpdate();

    ASSERT_EQ(progresswatch::windows.size(), 1u);
    EXPECT_EQ(progresswatch::windows[0].owner, mainDialog);
    // Only the opening position: the failing block moves the bar no further.
    ASSERT_EQ(progresswatch::steps.size(), 1u);
    EXPECT_EQ(progresswatch::steps[0].position, 0u);
    EXPECT_TRUE(keepsSystemAwake(progresswatch::steps[0].executionState));
    ASSERT_TRUE(atBox.seen);
    EXPECT_EQ(atBox.progressWindows, 0);
    EXPECT_FALSE(IsWindow(progresswatch::windows[0].handle));
}

// =================================================================================================
// Device events while a box is open

TEST_F(UpdateTest, UnplugWhileTheWarningIsOpenEndsAtTheLockWithoutCodeLineOrIo) {
    // 3.3 installed: the question would come if the record still held the unit's version.
    SimUnit& unit = openOnReadyUnit(0x0303);
    std::uint32_t ioAfterUnplug = 0;
    std::vector<BYTE> removal = interfaceRecord(kUnitPath);
    boxwatch::answers.push_back({IDOK, [&] {
                                     simBusUnplug(kUnitPath);
                                     deviceEvent(DBT_DEVICEREMOVECOMPLETE, removal);
                                     ioAfterUnplug = simIoCount();
                                 }});

    pressUpdate();

    expectBoxes({warningBox(), failureBox(IDS_LOCK_FAILED, nullptr)});
    EXPECT_EQ(simIoCount(), ioAfterUnplug);
    EXPECT_TRUE(sentByUpdate(unit).empty());
    EXPECT_EQ(view(), failedView());
    EXPECT_FALSE(keepsSystemAwake(executionState()));
}

TEST_F(UpdateTest, UnplugWhileTheDowngradeQuestionIsOpenEndsAtTheLockWithoutCodeLineOrIo) {
    SimUnit& unit = openOnReadyUnit(0x0303);
    std::uint32_t ioAfterUnplug = 0;
    std::vector<BYTE> removal = interfaceRecord(kUnitPath);
    boxwatch::answers.push_back({IDOK, nullptr});
    boxwatch::answers.push_back({IDYES, [&] {
                                     simBusUnplug(kUnitPath);
                                     deviceEvent(DBT_DEVICEREMOVECOMPLETE, removal);
                                     ioAfterUnplug = simIoCount();
                                 }});

    pressUpdate();

    expectBoxes({warningBox(), downgradeBox(), failureBox(IDS_LOCK_FAILED, nullptr)});
    EXPECT_EQ(simIoCount(), ioAfterUnplug);
    EXPECT_TRUE(sentByUpdate(unit).empty());
    EXPECT_EQ(view(), failedView());
}

TEST_F(UpdateTest, ReplugWhileTheWarningIsOpenUpdatesTheNewlyLinkedUnit) {
    const std::vector<std::uint8_t> image = embeddedImage();
    SimUnit& first = openOnReadyUnit(0x0302);
    // The unit plugged in instead is a ZELQUAD whose ESC already runs 3.3.
    units.push_back(simReadyUnit(0x0303));
    SimUnit& second = units.back();
    second.productId = kProductZelquad;
    swapUnitWhileTheWarningIsOpen(second);
    boxwatch::answers.push_back({IDYES, nullptr});

    pressUpdate();

    // The question comes from the new unit's record.
    expectBoxes({warningBox(), downgradeBox()});
    EXPECT_TRUE(sentByUpdate(first).empty());
    std::vector<std::uint8_t> expected = identification();
    const std::vector<std::uint8_t> chain = updatefacts::updateCommandOrder();
    expected.insert(expected.end(), chain.begin(), chain.end());
    EXPECT_EQ(simCommandOrder(second), expected);
    expectFlashHoldsTheImage(second, image);
    DialogView updated = updatedView();
    updated.unitLabel = L"ZELQUAD";
    EXPECT_EQ(view(), updated);
    EXPECT_TRUE(linkIsOpen());
}

// Units that identification cannot confirm as ready, plugged in while the warning is open. The
// link stays open to each of them, unidentified, except to the foreign ESC: its arrival shows
// the notice (answered OK) and drops the link.
struct UnconfirmedUnitCase {
    const char* name;
    SimUnit (*unit)();
    std::size_t probed;  // how far identification gets: the commands of it the arrival sends
    bool incompatibilityNotice;
};
void PrintTo(const UnconfirmedUnitCase& row, std::ostream* out) { *out << row.name; }

const UnconfirmedUnitCase kUnconfirmedUnitCases[] = {
    {"ForeignEscWhoseInformationReadIsAnsweredWithAnError",
     [] {
         SimUnit unit = unitWithForeignEsc();
         unit.escInfoErrorCode = 0x0031;
         return unit;
     },
     2,
     false},
    {"EscWhoseBootInformationReadIsAnsweredWithAnError",
     [] {
         SimUnit unit = simReadyUnit();
         unit.escBootInfoErrorCode = 0x0032;
         return unit;
     },
     3,
     false},
    {"ForeignEsc", unitWithForeignEsc, 3, true},
    // Too short for a whole block: refused before the first request.
    {"UnitWithA32ByteOutputReport",
     [] {
         SimUnit unit = simReadyUnit();
         unit.outputReportLength = 32;
         return unit;
     },
     0,
     false},
};

class ReplugToAnUnconfirmedUnit : public UpdateTest,
                                  public testing::WithParamInterface<UnconfirmedUnitCase> {};

TEST_P(ReplugToAnUnconfirmedUnit, EndsAtTheLockWithoutCodeLineAndSendsNothingAfterTheProbe) {
    const UnconfirmedUnitCase& row = GetParam();
    SimUnit& first = openOnReadyUnit();
    units.push_back(row.unit());
    SimUnit& second = units.back();
    swapUnitWhileTheWarningIsOpen(second);

    pressUpdate();

    std::vector<ShownBox> boxes = {warningBox()};
    if (row.incompatibilityNotice) boxes.push_back(incompatibilityBox());
    boxes.push_back(failureBox(IDS_LOCK_FAILED, nullptr));
    expectBoxes(boxes);
    EXPECT_TRUE(sentByUpdate(first).empty());
    EXPECT_EQ(simCommandOrder(second), identification(row.probed));
    EXPECT_EQ(view(), failedView());
    EXPECT_FALSE(linkIsOpen());
    EXPECT_FALSE(keepsSystemAwake(executionState()));
}

INSTANTIATE_TEST_SUITE_P(Update, ReplugToAnUnconfirmedUnit,
                         testing::ValuesIn(kUnconfirmedUnitCases), rowName<UnconfirmedUnitCase>);

TEST_F(UpdateTest, ArrivalWhileTheFailureBoxIsOpenProbesAndTheFailureHintStillFollows) {
    SimUnit& unit = openOnReadyUnit();
    unit.faults.push_back({SystemLock, 1, SimFaultKind::refusal, 0});
    std::vector<BYTE> arrival = interfaceRecord(kUnitPath);
    INT_PTR nestedResult = 0;
    DialogView whileOpen = {};
    boxwatch::answers.push_back({IDOK, nullptr});
    boxwatch::answers.push_back({IDOK, [&] {
                                     nestedResult = deviceEvent(DBT_DEVICEARRIVAL, arrival);
                                     whileOpen = view();
                                 }});

    pressUpdate();

    expectBoxes({warningBox(), failureBox(IDS_LOCK_FAILED, L"0x0000065b-0x00000000")});
    EXPECT_EQ(nestedResult, 1);
    EXPECT_EQ(whileOpen, readyTavilinkView());
    // The still plugged unit was probed again and is linked; the hint is the failure's.
    std::vector<std::uint8_t> lockThenProbe = updateUpTo(kAskedAgain + 1);
    const std::vector<std::uint8_t> probe = identification();
    lockThenProbe.insert(lockThenProbe.end(), probe.begin(), probe.end());
    EXPECT_EQ(sentByUpdate(unit), lockThenProbe);
    EXPECT_TRUE(linkIsOpen());
    DialogView expected = readyTavilinkView();
    expected.hint = catalogue(IDS_FAILURE_HINT);
    EXPECT_EQ(view(), expected);
}

// =================================================================================================
// Another ESC on the unit's cable: no USB event tells, only asking the unit again right before
// the lock does.

enum class SwapMoment { beforeUpdate, whileTheWarningIsOpen, whileTheDowngradeQuestionIsOpen };

constexpr std::uint32_t kOtherBootloaderVersion = 0x02000200;

struct SwappedEscCase {
    const char* name;
    SwapMoment moment;
    std::uint16_t confirmedVersion;  // of the ESC the window found
    SimEsc (*swappedIn)();
    std::size_t askedAgain;  // identification requests the update sends before it sees
    bool incompatibilityNotice;
    DialogView (*shown)();
    // Whether Update asks the downgrade question: for the ESC confirmed, for the one swapped in.
    bool downgradeQuestion;
    bool downgradeQuestionAfterwards;
};
void PrintTo(const SwappedEscCase& row, std::ostream* out) { *out << row.name; }

SimEsc foreignEsc() { return simReadyEsc(0x0302, kForeignEscType); }
SimEsc newerFirmware() { return simReadyEsc(0x0303); }
SimEsc olderFirmware() { return simReadyEsc(0x0301); }
SimEsc otherBootloader() { return simReadyEsc(0x0302, kSupportedEscType, kOtherBootloaderVersion); }

DialogView incompatibleView() {
    return DialogTest::unlinkedView(DialogTest::withSteps(IDS_INCOMPATIBLE_HINT), L"TAVILINK");
}
DialogView noEscView() {
    return DialogTest::unlinkedView(DialogTest::withSteps(IDS_NO_UPDATABLE_ESC), L"TAVILINK");
}
DialogView newerFirmwareView() {
    return DialogTest::readyView(L"1.2", L"2.1.5", L"3.3", L"TAVILINK");
}
DialogView olderFirmwareView() {
    return DialogTest::readyView(L"1.2", L"2.1.5", L"3.1", L"TAVILINK");
}
DialogView otherBootloaderView() {
    return DialogTest::readyView(L"1.2", L"2.2.0", L"3.2", L"TAVILINK");
}

const std::size_t kWholeIdentification = std::size(updatefacts::identifyCommands);
// Without an updatable ESC, the unit's own answer ends identification.
constexpr std::size_t kIdentifyOnly = 1;

// Behind the unit now: an ESC that cannot be updated.
const SwappedEscCase kSwappedToAnUnusableEsc[] = {
    {"ForeignTypeBeforeUpdate", SwapMoment::beforeUpdate, 0x0302, foreignEsc, kWholeIdentification,
     true, incompatibleView, false, false},
    {"ForeignTypeWhileTheWarningIsOpen", SwapMoment::whileTheWarningIsOpen, 0x0302, foreignEsc,
     kWholeIdentification, true, incompatibleView, false, false},
    {"RemovedBeforeUpdate", SwapMoment::beforeUpdate, 0x0302, simNoEsc, kIdentifyOnly, false,
     noEscView, false, false},
    {"RemovedWhileTheWarningIsOpen", SwapMoment::whileTheWarningIsOpen, 0x0302, simNoEsc,
     kIdentifyOnly, false, noEscView, false, false},
};

// Behind the unit now: another ESC ready to be updated.
const SwappedEscCase kSwappedToAReadyEsc[] = {
    {"NewerFirmwareBeforeUpdate", SwapMoment::beforeUpdate, 0x0302, newerFirmware,
     kWholeIdentification, false, newerFirmwareView, false, true},
    {"NewerFirmwareWhileTheWarningIsOpen", SwapMoment::whileTheWarningIsOpen, 0x0302, newerFirmware,
     kWholeIdentification, false, newerFirmwareView, false, true},
    {"OlderFirmwareWhileTheDowngradeQuestionIsOpen", SwapMoment::whileTheDowngradeQuestionIsOpen,
     0x0303, olderFirmware, kWholeIdentification, false, olderFirmwareView, true, false},
    {"OtherBootloaderWhileTheWarningIsOpen", SwapMoment::whileTheWarningIsOpen, 0x0302,
     otherBootloader, kWholeIdentification, false, otherBootloaderView, false, false},
};

class SwappedEsc : public UpdateTest, public testing::WithParamInterface<SwappedEscCase> {
public:
    // Update pressed and confirmed, with the ESC swapped at the row's moment.
    void pressUpdateAndSwap(SimUnit& unit) {
        const SwappedEscCase& row = GetParam();
        const std::function<void()> swap = [&unit, &row] { simConnectEsc(unit, row.swappedIn()); };
        auto swapWhen = [&](SwapMoment moment) {
            return row.moment == moment ? swap : std::function<void()>();
        };
        if (row.moment == SwapMoment::beforeUpdate) swap();
        boxwatch::answers.push_back({IDOK, swapWhen(SwapMoment::whileTheWarningIsOpen)});
        if (row.downgradeQuestion)
            boxwatch::answers.push_back(
                {IDYES, swapWhen(SwapMoment::whileTheDowngradeQuestionIsOpen)});
        pressUpdate();
    }

    // The boxes of pressUpdateAndSwap.
    std::vector<ShownBox> boxesShown() const {
        const SwappedEscCase& row = GetParam();
        std::vector<ShownBox> boxes = {warningBox()};
        if (row.downgradeQuestion) boxes.push_back(downgradeBox());
        if (row.incompatibilityNotice) boxes.push_back(incompatibilityBox());
        return boxes;
    }
};

TEST_P(SwappedEsc, IsShownAsFoundAndNothingIsLockedOrWritten) {
    const SwappedEscCase& row = GetParam();
    SimUnit& unit = openOnReadyUnit(row.confirmedVersion);

    pressUpdateAndSwap(unit);

    expectBoxes(boxesShown());
    EXPECT_EQ(sentByUpdate(unit), identification(row.askedAgain));
    EXPECT_TRUE(unit.writeProtected);
    EXPECT_FALSE(unit.locked);
    EXPECT_EQ(view(), row.shown());
    EXPECT_EQ(linkIsOpen(), row.shown().updateEnabled);
    EXPECT_FALSE(keepsSystemAwake(executionState()));
    EXPECT_EQ(progresswatch::windows.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Unusable, SwappedEsc, testing::ValuesIn(kSwappedToAnUnusableEsc),
                         rowName<SwappedEscCase>);
INSTANTIATE_TEST_SUITE_P(Ready, SwappedEsc, testing::ValuesIn(kSwappedToAReadyEsc),
                         rowName<SwappedEscCase>);

// The ESC now behind the unit is ready: pressed again, Update asks as it does for that ESC and
// installs the image into it.
class SwappedToAReadyEsc : public SwappedEsc {};

TEST_P(SwappedToAReadyEsc, UpdatePressedAgainAsksForTheNewEscAndInstallsTheImage) {
    const SwappedEscCase& row = GetParam();
    const std::vector<std::uint8_t> image = embeddedImage();
    SimUnit& unit = openOnReadyUnit(row.confirmedVersion);
    pressUpdateAndSwap(unit);
    std::vector<ShownBox> boxes = boxesShown();
    const std::size_t sentBefore = unit.received.size();
    boxwatch::answers.push_back({IDOK, nullptr});
    if (row.downgradeQuestionAfterwards) boxwatch::answers.push_back({IDYES, nullptr});

    pressUpdate();

    boxes.push_back(warningBox());
    if (row.downgradeQuestionAfterwards) boxes.push_back(downgradeBox());
    expectBoxes(boxes);
    EXPECT_EQ(commandsSince(unit, sentBefore), updatefacts::updateCommandOrder());
    expectFlashHoldsTheImage(unit, image);
    DialogView updated = row.shown();
    updated.hint = catalogue(IDS_UPDATE_SUCCEEDED);
    updated.updateEnabled = false;
    updated.values[2] = L"3.3";
    EXPECT_EQ(view(), updated);
}

INSTANTIATE_TEST_SUITE_P(Ready, SwappedToAReadyEsc, testing::ValuesIn(kSwappedToAReadyEsc),
                         rowName<SwappedEscCase>);

// =================================================================================================
// A missing or empty image stops before anything is sent

HRSRC WINAPI findNoFirmware(HMODULE module, LPCWSTR name, LPCWSTR type) {
    if (type == RT_RCDATA && name == MAKEINTRESOURCEW(IDR_FIRMWARE)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return FindResourceExW(module, type, name, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
}

DWORD WINAPI sizeOfNothing(HMODULE, HRSRC) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return 0;
}

struct BrokenImageCase {
    const char* name;
    const char* function;
    void* replacement;
    const wchar_t* numbers;
};
void PrintTo(const BrokenImageCase& row, std::ostream* out) { *out << row.name; }

const BrokenImageCase kBrokenImageCases[] = {
    {"MissingImage", "FindResourceW", reinterpret_cast<void*>(findNoFirmware),
     L"0x00000000-0x00000716"},
    {"EmptyImage", "SizeofResource", reinterpret_cast<void*>(sizeOfNothing),
     L"0x00000000-0x00000714"},
};

class BrokenImage : public UpdateTest, public testing::WithParamInterface<BrokenImageCase> {};

TEST_P(BrokenImage, FailsBeforeTheLockWithNothingSent) {
    const BrokenImageCase& row = GetParam();
    SimUnit& unit = openOnReadyUnit();
    ImportOverride broken("kernel32.dll", row.function, row.replacement);
    ASSERT_NE(broken.slot, nullptr);

    pressUpdate();

    expectBoxes({warningBox(), failureBox(IDS_WRITE_FAILED, row.numbers)});
    EXPECT_EQ(simIoCount(), ioBefore);
    EXPECT_TRUE(sentByUpdate(unit).empty());
    EXPECT_EQ(view(), failedView());
    EXPECT_EQ(progresswatch::windows.size(), 0u);
    EXPECT_FALSE(keepsSystemAwake(executionState()));
}

INSTANTIATE_TEST_SUITE_P(Update, BrokenImage, testing::ValuesIn(kBrokenImageCases),
                         rowName<BrokenImageCase>);

// =================================================================================================
// German

// The same sequence on a German interface: the fixture sets the thread's language.
class GermanUpdate : public UpdateTest {
public:
    GermanUpdate() { language = handwritten::Language::german; }
};

TEST_F(GermanUpdate, SuccessSpeaksGerman) {
    openOnReadyUnit();

    pressUpdate();

    expectBoxes({warningBox()});
    ASSERT_EQ(progresswatch::windows.size(), 1u);
    EXPECT_EQ(progresswatch::windows[0].caption, catalogue(IDS_PROGRESS_CAPTION));
    EXPECT_EQ(view(), updatedView());
}

TEST_F(GermanUpdate, FailureSpeaksGerman) {
    SimUnit& unit = openOnReadyUnit();
    unit.faults.push_back({SystemLock, 1, SimFaultKind::refusal, 0});

    pressUpdate();

    expectBoxes({warningBox(), failureBox(IDS_LOCK_FAILED, L"0x0000065b-0x00000000")});
    EXPECT_EQ(controlText(IDC_HINT), catalogue(IDS_FAILURE_HINT));
}

}  // namespace
