// The main dialog under Wine: start-up probe, device events, version texts, logo placement, the
// red ESC row and the ways the dialog ends, checked on what the window and its boxes show.
#include "tests/wine/dialog_fixture.h"
#include "ui/device_presence.h"
#include "ui/version_panel.h"

namespace {

template <typename Case>
std::string rowName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// --- units as the start-up and arrival cases plug them in ---------------------------------------

SimUnit unitInBootloader() {
    SimUnit unit = simReadyUnit();
    unit.inBootloader = true;
    return unit;
}

SimUnit unitWithoutUpdatableEsc() {
    SimUnit unit = simReadyUnit();
    unit.escState = 0;
    return unit;
}

// Opens, then fails its identification: the capabilities cannot be read.
SimUnit unitFailingIdentification() {
    SimUnit unit = simReadyUnit();
    unit.capabilitiesFail = true;
    return unit;
}

SimUnit zelquadWithAlternativeType() {
    SimUnit unit = simReadyUnit(kNoEscFirmware);
    unit.productId = kProductZelquad;
    unit.unitFirmwareVersion = 0x01000203;
    simSetEscType(unit, 0x0A06403C, 0x00000105);
    return unit;
}

// =================================================================================================
// Start-up

struct StartUpCase {
    const char* name;
    void (*arrange)(DialogTest& test);
    DialogView (*expected)();
    bool linked;
    bool incompatibilityNotice;
};
void PrintTo(const StartUpCase& row, std::ostream* out) { *out << row.name; }

DialogView noUnitView() {
    return DialogTest::unlinkedView(DialogTest::withSteps(IDS_NO_UNIT),
                                    DialogTest::catalogue(IDS_LABEL_UNIT));
}

DialogView unlinkedStartView(UINT hint) {
    return DialogTest::unlinkedView(DialogTest::withSteps(hint),
                                    DialogTest::catalogue(IDS_LABEL_UNIT));
}

const StartUpCase kStartUpCases[] = {
    {"NoUnitShowsTheNoUnitHintWithStepsAndZeros", [](DialogTest&) {}, noUnitView, false, false},
    {"AMouseAloneCountsAsNoUnit", [](DialogTest& test) { test.plugMouse(); }, noUnitView, false,
     false},
    {"AUnitFailingIdentificationCountsAsNoUnit",
     [](DialogTest& test) { test.plugUnit(unitFailingIdentification()); }, noUnitView, false,
     false},
    {"AUnitInItsBootloaderIsInTheWrongMode",
     [](DialogTest& test) { test.plugUnit(unitInBootloader()); },
     [] { return unlinkedStartView(IDS_WRONG_MODE); }, false, false},
    {"AUnitWithoutUpdatableEscSaysSo",
     [](DialogTest& test) { test.plugUnit(unitWithoutUpdatableEsc()); },
     [] { return unlinkedStartView(IDS_NO_UPDATABLE_ESC); }, false, false},
    {"AnEscOfAnotherTypeIsRefusedWithOneNotice",
     [](DialogTest& test) { test.plugUnit(unitWithForeignEsc()); },
     [] { return unlinkedStartView(IDS_INCOMPATIBLE_HINT); }, false, true},
    {"AReadyTavilinkShowsTheReadyTextAndItsVersions",
     [](DialogTest& test) { test.plugReadyUnit(); }, DialogTest::readyTavilinkView, true, false},
    {"AReadyZelquadWithTheOtherTypeAndNoEscFirmware",
     [](DialogTest& test) { test.plugUnit(zelquadWithAlternativeType()); },
     [] { return DialogTest::readyView(L"1.2.3", L"1.5", L"----------", L"ZELQUAD"); }, true,
     false},
};

class StartUp : public DialogTest, public testing::WithParamInterface<StartUpCase> {};

TEST_P(StartUp, ShowsWhatTheProbeFound) {
    const StartUpCase& row = GetParam();
    row.arrange(*this);
    ASSERT_NE(openDialog(), nullptr);

    EXPECT_EQ(view(), row.expected());
    EXPECT_EQ(linkIsOpen(), row.linked);
    EXPECT_EQ(simOpenHandles(), row.linked ? 1u : 0u);
    if (row.incompatibilityNotice)
        expectBoxes({incompatibilityBox()});
    else
        expectBoxes({});
}

INSTANTIATE_TEST_SUITE_P(MainDialog, StartUp, testing::ValuesIn(kStartUpCases),
                         rowName<StartUpCase>);

TEST_F(DialogTest, TitleNamesTheModelAndTheCarriedVersionAndEndsInABlank) {
    openDialog();
    EXPECT_EQ(boxwatch::windowText(mainDialog), L"TESSERAN ZIRVANO 60 LV FW Updater 3.3 ");
}

TEST_F(DialogTest, VersionLabelsComeFromTheCatalogue) {
    openDialog();
    EXPECT_EQ(controlText(IDC_LABEL_UNIT), catalogue(IDS_LABEL_UNIT));
    EXPECT_EQ(controlText(IDC_LABEL_ESC_BOOTLOADER), catalogue(IDS_LABEL_ESC_BOOTLOADER));
    EXPECT_EQ(controlText(IDC_LABEL_ESC), catalogue(IDS_LABEL_ESC));
}

TEST_F(DialogTest, WindowClassCarriesTheApplicationIcon) {
    openDialog();
    const HICON icon = LoadIconW(appInstance, MAKEINTRESOURCEW(IDI_APP));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(reinterpret_cast<HICON>(GetClassLongPtrW(mainDialog, GCLP_HICON)), icon);
}

TEST_F(DialogTest, IncompatibilityNoticeOpensWithTheLinkDroppedAndBeforeTheHint) {
    plugUnit(unitWithForeignEsc());
    bool linkedWhileOpen = true;
    bool updateEnabledWhileOpen = true;
    std::wstring hintWhileOpen = L"unread";
    boxwatch::answers.push_back({IDOK, [&] {
                                     linkedWhileOpen = linkIsOpen();
                                     updateEnabledWhileOpen = controlEnabled(IDC_UPDATE);
                                     hintWhileOpen = controlText(IDC_HINT);
                                 }});
    openDialog();

    EXPECT_FALSE(linkedWhileOpen);
    EXPECT_FALSE(updateEnabledWhileOpen);
    EXPECT_EQ(hintWhileOpen, L"");
    EXPECT_EQ(controlText(IDC_HINT), withSteps(IDS_INCOMPATIBLE_HINT));
}

TEST_F(DialogTest, ArrivalWhileTheNoticeIsOpenProbesAgainAndTheHintStillFollows) {
    plugUnit(unitWithForeignEsc());
    plugMouse();
    std::vector<BYTE> mouseArrival = interfaceRecord(kMousePath);
    INT_PTR nestedResult = 0;
    boxwatch::answers.push_back(
        {IDOK, [&] { nestedResult = deviceEvent(DBT_DEVICEARRIVAL, mouseArrival); }});
    openDialog();

    EXPECT_EQ(nestedResult, 1);
    expectBoxes({incompatibilityBox(), incompatibilityBox()});
    EXPECT_EQ(view(), unlinkedStartView(IDS_INCOMPATIBLE_HINT));
    EXPECT_FALSE(linkIsOpen());
}

TEST_F(DialogTest, EveryArrivalProbesAStillPluggedForeignEscAgain) {
    plugUnit(unitWithForeignEsc());
    openDialog();
    plugMouse();
    std::vector<BYTE> mouseArrival = interfaceRecord(kMousePath);
    EXPECT_EQ(deviceEvent(DBT_DEVICEARRIVAL, mouseArrival), 1);
    EXPECT_EQ(deviceEvent(DBT_DEVICEARRIVAL, mouseArrival), 1);

    expectBoxes({incompatibilityBox(), incompatibilityBox(), incompatibilityBox()});
    EXPECT_EQ(view(), unlinkedStartView(IDS_INCOMPATIBLE_HINT));
}

// =================================================================================================
// Device events

enum class After { unchanged, ready, connectionLost, wrongMode, noUpdatableEsc, incompatible };

struct DeviceEventCase {
    const char* name;
    bool startReady;  // a ready TAVILINK at kUnitPath when the dialog opens; else an empty bus
    void (*change)(DialogTest& test);
    WPARAM event;
    std::vector<BYTE> (*record)();
    INT_PTR result;
    After after;
};
void PrintTo(const DeviceEventCase& row, std::ostream* out) { *out << row.name; }

std::u16string upperCase(std::u16string text) {
    for (char16_t& unit : text)
        if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
    return text;
}

void nothingChanges(DialogTest&) {}
void unplugUnit(DialogTest&) { simBusUnplug(kUnitPath); }

const DeviceEventCase kDeviceEventCases[] = {
    {"MouseArrivalWhileUnlinkedChangesNothing", false,
     [](DialogTest& test) { test.plugMouse(); }, DBT_DEVICEARRIVAL,
     [] { return interfaceRecord(kMousePath); }, 1, After::unchanged},
    {"UnitArrivalWhileUnlinkedMakesItReady", false,
     [](DialogTest& test) { test.plugReadyUnit(); }, DBT_DEVICEARRIVAL,
     [] { return interfaceRecord(kUnitPath); }, 1, After::ready},
    {"AnyInterfaceArrivalFindsAnAlreadyPresentUnit", false,
     [](DialogTest& test) {
         test.plugReadyUnit();
         test.plugMouse();
     },
     DBT_DEVICEARRIVAL, [] { return interfaceRecord(kMousePath); }, 1, After::ready},
    {"ArrivalOfAUnitInItsBootloaderIsTheWrongMode", false,
     [](DialogTest& test) { test.plugUnit(unitInBootloader()); }, DBT_DEVICEARRIVAL,
     [] { return interfaceRecord(kUnitPath); }, 1, After::wrongMode},
    {"ArrivalOfAUnitWithoutUpdatableEsc", false,
     [](DialogTest& test) { test.plugUnit(unitWithoutUpdatableEsc()); }, DBT_DEVICEARRIVAL,
     [] { return interfaceRecord(kUnitPath); }, 1, After::noUpdatableEsc},
    {"ArrivalOfAForeignEscShowsTheNotice", false,
     [](DialogTest& test) { test.plugUnit(unitWithForeignEsc()); }, DBT_DEVICEARRIVAL,
     [] { return interfaceRecord(kUnitPath); }, 1, After::incompatible},
    {"SecondUnitArrivingWhileLinkedIsIgnored", true,
     [](DialogTest& test) { test.plugUnit(zelquadWithAlternativeType(), kSecondUnitPath); },
     DBT_DEVICEARRIVAL, [] { return interfaceRecord(kSecondUnitPath); }, 1, After::unchanged},
    {"VolumeArrivalIsNoInterfaceAndProbesNothing", false,
     [](DialogTest& test) { test.plugReadyUnit(); }, DBT_DEVICEARRIVAL,
     [] { return headerRecord(DBT_DEVTYP_VOLUME); }, 1, After::unchanged},
    {"RemovalOfTheLinkedUnitDropsIt", true, unplugUnit, DBT_DEVICEREMOVECOMPLETE,
     [] { return interfaceRecord(kUnitPath); }, 1, After::connectionLost},
    {"RemovalNameDifferingOnlyInLetterCaseIsTheLinkedUnit", true, unplugUnit,
     DBT_DEVICEREMOVECOMPLETE, [] { return interfaceRecord(upperCase(kUnitPath)); }, 1,
     After::connectionLost},
    {"RemovalOfAnotherDeviceChangesNothing", true, nothingChanges, DBT_DEVICEREMOVECOMPLETE,
     [] { return interfaceRecord(kMousePath); }, 1, After::unchanged},
    {"RemovalOfANameLongerThanThePathChangesNothing", true, nothingChanges,
     DBT_DEVICEREMOVECOMPLETE, [] { return interfaceRecord(kUnitPath + u"0"); }, 1,
     After::unchanged},
    // The whole path and its terminator lie in memory, but the record states one unit less:
    // read only as far as stated, the name is a shorter one.
    {"RemovalNameUnterminatedWithinTheStatedSizeIsReadNoFurther", true, nothingChanges,
     DBT_DEVICEREMOVECOMPLETE,
     [] { return interfaceRecord(kUnitPath, static_cast<int>(kUnitPath.size()) - 1); }, 1,
     After::unchanged},
    {"RemovalNameEndingWhereTheRecordEndsIsTheLinkedUnit", true, unplugUnit,
     DBT_DEVICEREMOVECOMPLETE,
     [] { return interfaceRecord(kUnitPath, static_cast<int>(kUnitPath.size())); }, 1,
     After::connectionLost},
    {"RemovalRecordTooSmallForAnInterfaceHeaderChangesNothing", true, nothingChanges,
     DBT_DEVICEREMOVECOMPLETE,
     [] { return headerRecord(DBT_DEVTYP_DEVICEINTERFACE, sizeof(DEV_BROADCAST_HDR)); }, 1,
     After::unchanged},
    {"PortRemovalIsNoInterface", true, nothingChanges, DBT_DEVICEREMOVECOMPLETE,
     [] { return headerRecord(DBT_DEVTYP_PORT); }, 1, After::unchanged},
    {"RemovalWhileUnlinkedChangesNothing", false, nothingChanges, DBT_DEVICEREMOVECOMPLETE,
     [] { return interfaceRecord(kUnitPath); }, 1, After::unchanged},
    {"QueryRemoveOfTheLinkedUnitIsNotHandled", true, nothingChanges, DBT_DEVICEQUERYREMOVE,
     [] { return interfaceRecord(kUnitPath); }, 0, After::unchanged},
    {"RemovePendingOfTheLinkedUnitIsNotHandled", true, nothingChanges, DBT_DEVICEREMOVEPENDING,
     [] { return interfaceRecord(kUnitPath); }, 0, After::unchanged},
    {"NodesChangedIsNotHandled", true, nothingChanges, DBT_DEVNODES_CHANGED,
     [] { return std::vector<BYTE>(); }, 0, After::unchanged},
};

class DeviceEvent : public DialogTest, public testing::WithParamInterface<DeviceEventCase> {};

TEST_P(DeviceEvent, ChangesTheWindowAsTheUserExpects) {
    const DeviceEventCase& row = GetParam();
    if (row.startReady) plugReadyUnit();
    openDialog();
    const DialogView before = view();
    const bool linkedBefore = linkIsOpen();
    const std::uint32_t ioBefore = simIoCount();
    row.change(*this);
    std::vector<BYTE> record = row.record();

    EXPECT_EQ(deviceEvent(row.event, record), row.result);

    std::vector<ShownBox> boxes;
    switch (row.after) {
        case After::unchanged:
            EXPECT_EQ(view(), before);
            EXPECT_EQ(linkIsOpen(), linkedBefore);
            // Not even a unit probed again to the same result.
            EXPECT_EQ(simIoCount(), ioBefore);
            break;
        case After::ready:
            EXPECT_EQ(view(), readyTavilinkView());
            EXPECT_TRUE(linkIsOpen());
            break;
        case After::connectionLost:
            // The label keeps the name of the unit that went away.
            EXPECT_EQ(view(), unlinkedView(withSteps(IDS_CONNECTION_LOST), L"TAVILINK"));
            EXPECT_FALSE(linkIsOpen());
            break;
        case After::wrongMode:
            EXPECT_EQ(view(), unlinkedStartView(IDS_WRONG_MODE));
            EXPECT_FALSE(linkIsOpen());
            break;
        case After::noUpdatableEsc:
            EXPECT_EQ(view(), unlinkedStartView(IDS_NO_UPDATABLE_ESC));
            EXPECT_FALSE(linkIsOpen());
            break;
        case After::incompatible:
            EXPECT_EQ(view(), unlinkedStartView(IDS_INCOMPATIBLE_HINT));
            EXPECT_FALSE(linkIsOpen());
            boxes.push_back(incompatibilityBox());
            break;
    }
    expectBoxes(boxes);
    EXPECT_EQ(simOpenHandles(), linkIsOpen() ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(MainDialog, DeviceEvent, testing::ValuesIn(kDeviceEventCases),
                         rowName<DeviceEventCase>);

TEST_F(DialogTest, UnidentifiedUnitStaysLinkedSilentlyUntilItIsRemoved) {
    openDialog();
    const DialogView atStart = view();
    plugUnit(unitFailingIdentification());
    std::vector<BYTE> arrival = interfaceRecord(kUnitPath);
    EXPECT_EQ(deviceEvent(DBT_DEVICEARRIVAL, arrival), 1);
    EXPECT_EQ(view(), atStart);
    EXPECT_TRUE(linkIsOpen());

    // While it is linked, a ready unit arriving is not looked at.
    plugUnit(simReadyUnit(), kSecondUnitPath);
    std::vector<BYTE> secondArrival = interfaceRecord(kSecondUnitPath);
    EXPECT_EQ(deviceEvent(DBT_DEVICEARRIVAL, secondArrival), 1);
    EXPECT_EQ(view(), atStart);

    simBusUnplug(kUnitPath);
    std::vector<BYTE> removal = interfaceRecord(kUnitPath);
    EXPECT_EQ(deviceEvent(DBT_DEVICEREMOVECOMPLETE, removal), 1);
    EXPECT_EQ(view(), unlinkedView(withSteps(IDS_CONNECTION_LOST), catalogue(IDS_LABEL_UNIT)));
    EXPECT_FALSE(linkIsOpen());
    expectBoxes({});
}

TEST_F(DialogTest, ReplugAfterRemovalMakesTheUnitReadyAgain) {
    SimUnit& unit = plugReadyUnit();
    openDialog();
    simBusUnplug(kUnitPath);
    std::vector<BYTE> removal = interfaceRecord(kUnitPath);
    deviceEvent(DBT_DEVICEREMOVECOMPLETE, removal);
    simBusPlugUnit(unit, kUnitPath);
    std::vector<BYTE> arrival = interfaceRecord(kUnitPath);
    EXPECT_EQ(deviceEvent(DBT_DEVICEARRIVAL, arrival), 1);
    EXPECT_EQ(view(), readyTavilinkView());
}

// =================================================================================================
// Version texts

enum class VersionRow { unit, bootloader, esc };

struct VersionTextCase {
    const char* name;
    VersionRow row;
    std::uint32_t value;
    const wchar_t* expected;
};
void PrintTo(const VersionTextCase& row, std::ostream* out) { *out << row.name; }

const VersionTextCase kVersionTextCases[] = {
    {"UnitWithZeroLowByteIsShifted", VersionRow::unit, 0x00010200, L"1.2"},
    {"UnitTwoParts", VersionRow::unit, 0x00000102, L"1.2"},
    {"UnitThreeParts", VersionRow::unit, 0x01000203, L"1.2.3"},
    {"UnitShiftedTopPartIsNotShown", VersionRow::unit, 0x01020300, L"2.3"},
    {"UnitZero", VersionRow::unit, 0x00000000, L"0.0"},
    {"BootloaderThreeParts", VersionRow::bootloader, 0x02000105, L"2.1.5"},
    {"BootloaderTwoParts", VersionRow::bootloader, 0x00000105, L"1.5"},
    {"BootloaderZero", VersionRow::bootloader, 0x00000000, L"0.0"},
    {"BootloaderZeroLowByteIsNotShifted", VersionRow::bootloader, 0x00000300, L"3.0"},
    {"BootloaderBits16To23AreNotShown", VersionRow::bootloader, 0x00FF0102, L"1.2"},
    {"BootloaderLongest", VersionRow::bootloader, 0xFFFFFFFF, L"255.255.255"},
    {"EscMajorMinor", VersionRow::esc, 0x0302, L"3.2"},
    {"EscCarriedVersion", VersionRow::esc, 0x0303, L"3.3"},
    {"EscWithoutFirmware", VersionRow::esc, 0xFFFF, L"----------"},
    {"EscEmptyInformationBlock", VersionRow::esc, 0x0000, L"0.0"},
    {"EscTwoDigitParts", VersionRow::esc, 0x0A0B, L"10.11"},
};

class VersionText : public testing::TestWithParam<VersionTextCase> {};

TEST_P(VersionText, ReadsAsTheUserExpects) {
    const VersionTextCase& row = GetParam();
    wchar_t text[kVersionTextUnits] = L"untouched";
    switch (row.row) {
        case VersionRow::unit: unitVersionText(row.value, text); break;
        case VersionRow::bootloader: bootloaderVersionText(row.value, text); break;
        case VersionRow::esc: escVersionText(static_cast<std::uint16_t>(row.value), text); break;
    }
    EXPECT_EQ(std::wstring(text), row.expected);
}

INSTANTIATE_TEST_SUITE_P(VersionPanel, VersionText, testing::ValuesIn(kVersionTextCases),
                         rowName<VersionTextCase>);

TEST_F(DialogTest, VersionPanelWithoutALinkKeepsTheLastUnitsName) {
    plugUnit(zelquadWithAlternativeType());
    openDialog();
    closeProgrammer();
    refreshVersionPanel();
    EXPECT_EQ(controlText(IDC_LABEL_UNIT), L"ZELQUAD");
    EXPECT_EQ(controlText(IDC_VALUE_ESC), L"0.0.0");
    EXPECT_FALSE(controlEnabled(IDC_LABEL_UNIT));
}

// =================================================================================================
// Logo placement

struct LogoCase {
    const char* name;
    int bitmapWidth;
    int bitmapHeight;
    RECT window;
    RECT group;
    int frame;
    int caption;
    LogoPlacement expected;
};
void PrintTo(const LogoCase& row, std::ostream* out) { *out << row.name; }

// The group box's right edge at 300, the window's at 300 + 45 + room.
constexpr RECT kGroup = {40, 90, 300, 230};
constexpr RECT windowWithRoom(int room) { return {10, 50, 300 + 45 + room, 700}; }

const LogoCase kLogoCases[] = {
    {"NarrowRoomScalesTheLogoDown", 1772, 263, windowWithRoom(183), kGroup, 3, 19,
     {300 - 10 - 3 + 20, 90 - 50 - 19, 183, 27}},
    {"RoomOfHalfTheWidthGivesHalfTheLogo", 1772, 263, windowWithRoom(886), kGroup, 3, 19,
     {307, 21, 886, 131}},
    {"WideRoomStillGivesHalfTheLogo", 1772, 263, windowWithRoom(3000), kGroup, 3, 19,
     {307, 21, 886, 131}},
    {"OddWidthDropsTheOddPixel", 1773, 263, windowWithRoom(3000), kGroup, 3, 19,
     {307, 21, 886, 131}},
    {"FrameAndCaptionShiftThePlace", 1772, 263, windowWithRoom(183), kGroup, 4, 23,
     {300 - 10 - 4 + 20, 90 - 50 - 23, 183, 27}},
};

class LogoDestination : public testing::TestWithParam<LogoCase> {};

TEST_P(LogoDestination, PlacesTheLogoBesideTheVersionPanel) {
    const LogoCase& row = GetParam();
    const LogoPlacement place = logoDestination(row.bitmapWidth, row.bitmapHeight, row.window,
                                                row.group, row.frame, row.caption);
    EXPECT_EQ(place.x, row.expected.x);
    EXPECT_EQ(place.y, row.expected.y);
    EXPECT_EQ(place.width, row.expected.width);
    EXPECT_EQ(place.height, row.expected.height);
}

INSTANTIATE_TEST_SUITE_P(MainDialog, LogoDestination, testing::ValuesIn(kLogoCases),
                         rowName<LogoCase>);

// What the dialog shows once it has painted itself, read back from the screen: the logo's red
// right of the version panel, within the panel's height, and the logo's transparent colour,
// which must never reach the screen, anywhere in the window.
struct LogoPixels {
    int besideThePanel;  // pixels looked at right of the panel
    int redBesideThePanel;
    int green;
};

LogoPixels paintAndReadLogoPixels() {
    ShowWindow(mainDialog, SW_SHOWNA);
    RedrawWindow(mainDialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    RECT client = {};
    GetClientRect(mainDialog, &client);
    RECT panel = {};
    GetWindowRect(GetDlgItem(mainDialog, IDC_VERSION_GROUP), &panel);
    MapWindowPoints(nullptr, mainDialog, reinterpret_cast<POINT*>(&panel), 2);

    const int width = client.right;
    const int height = client.bottom;
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;  // top row first
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(mainDialog);
    HDC copy = CreateCompatibleDC(screen);
    HBITMAP shot = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ previous = SelectObject(copy, shot);
    BitBlt(copy, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    GdiFlush();

    LogoPixels seen = {0, 0, 0};
    const auto* pixels = static_cast<const std::uint32_t*>(bits);
    for (int y = 0; pixels != nullptr && y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint32_t pixel = pixels[y * width + x];  // 0x00RRGGBB
            const int red = (pixel >> 16) & 0xFF;
            const int green = (pixel >> 8) & 0xFF;
            const int blue = pixel & 0xFF;
            if (red == 0 && green == 255 && blue == 0) ++seen.green;
            if (x < panel.right || y < panel.top || y >= panel.bottom) continue;
            ++seen.besideThePanel;
            if (red > 120 && green < 60 && blue < 60) ++seen.redBesideThePanel;
        }
    SelectObject(copy, previous);
    DeleteObject(shot);
    DeleteDC(copy);
    ReleaseDC(mainDialog, screen);
    return seen;
}

TEST_F(DialogTest, LogoIsDrawnBesideTheVersionPanelWithoutItsBackground) {
    openDialog();
    const LogoPixels seen = paintAndReadLogoPixels();
    ASSERT_GT(seen.besideThePanel, 0);
    EXPECT_GT(seen.redBesideThePanel, 0);
    EXPECT_EQ(seen.green, 0);
}

TEST_F(DialogTest, LogoThatCannotBeLoadedLeavesTheAreaEmpty) {
    openDialog();
    // A module without bitmap 121 stands in for a missing logo.
    appInstance = GetModuleHandleW(L"kernel32.dll");
    const LogoPixels seen = paintAndReadLogoPixels();
    appInstance = GetModuleHandleW(nullptr);
    ASSERT_GT(seen.besideThePanel, 0);
    EXPECT_EQ(seen.redBesideThePanel, 0);
    EXPECT_EQ(seen.green, 0);
}

// =================================================================================================
// The red ESC row

TEST_F(DialogTest, OnlyTheEscLabelAndValueAreRed) {
    openDialog();
    HDC context = CreateCompatibleDC(nullptr);
    int checked = 0;
    for (HWND control = GetWindow(mainDialog, GW_CHILD); control != nullptr;
         control = GetWindow(control, GW_HWNDNEXT)) {
        const int id = GetDlgCtrlID(control);
        SCOPED_TRACE(testing::Message() << "control " << id);
        const COLORREF sentinel = RGB(1, 2, 3);
        SetTextColor(context, sentinel);
        SetBkMode(context, OPAQUE);
        const INT_PTR brush = mainDialogProc(mainDialog, WM_CTLCOLORSTATIC,
                                             reinterpret_cast<WPARAM>(context),
                                             reinterpret_cast<LPARAM>(control));
        if (id == IDC_LABEL_ESC || id == IDC_VALUE_ESC) {
            ASSERT_NE(brush, 0);
            LOGBRUSH face = {};
            ASSERT_EQ(GetObjectW(reinterpret_cast<HBRUSH>(brush), sizeof face, &face),
                      static_cast<int>(sizeof face));
            EXPECT_EQ(face.lbStyle, static_cast<UINT>(BS_SOLID));
            EXPECT_EQ(face.lbColor, GetSysColor(COLOR_BTNFACE));
            EXPECT_EQ(GetTextColor(context), RGB(255, 0, 0));
            EXPECT_EQ(GetBkMode(context), TRANSPARENT);
        } else {
            EXPECT_EQ(brush, 0);
            EXPECT_EQ(GetTextColor(context), sentinel);
            EXPECT_EQ(GetBkMode(context), OPAQUE);
        }
        ++checked;
    }
    DeleteDC(context);
    EXPECT_EQ(checked, 11);
}

// The colour of the brush the dialog returns for the ESC value's colour request.
COLORREF escRowBrushColour() {
    HDC context = CreateCompatibleDC(nullptr);
    const auto brush = reinterpret_cast<HBRUSH>(
        mainDialogProc(mainDialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                       reinterpret_cast<LPARAM>(GetDlgItem(mainDialog, IDC_VALUE_ESC))));
    DeleteDC(context);
    LOGBRUSH face = {};
    EXPECT_EQ(GetObjectW(brush, sizeof face, &face), static_cast<int>(sizeof face));
    return face.lbColor;
}

// Sets the face colour system-wide for the life of the object, then puts the old one back.
struct FaceColour {
    explicit FaceColour(COLORREF colour) {
        const int element = COLOR_BTNFACE;
        SetSysColors(1, &element, &colour);
    }
    ~FaceColour() {
        const int element = COLOR_BTNFACE;
        SetSysColors(1, &element, &previous);
    }
    FaceColour(const FaceColour&) = delete;
    FaceColour& operator=(const FaceColour&) = delete;

    COLORREF previous = GetSysColor(COLOR_BTNFACE);
};

TEST_F(DialogTest, EscRowBackgroundFollowsAChangedFaceColour) {
    openDialog();
    const COLORREF before = GetSysColor(COLOR_BTNFACE);
    ASSERT_EQ(escRowBrushColour(), before);
    const COLORREF changed = before == RGB(40, 90, 160) ? RGB(160, 90, 40) : RGB(40, 90, 160);

    FaceColour face(changed);
    // The system tells every top-level window as it changes the colour.
    ASSERT_EQ(GetSysColor(COLOR_BTNFACE), changed);
    pump();

    EXPECT_EQ(escRowBrushColour(), changed);
}

// =================================================================================================
// Commands and the ways the dialog ends

class OtherCommand : public DialogTest, public testing::WithParamInterface<int> {};

TEST_P(OtherCommand, DoesNothing) {
    plugReadyUnit();
    openDialog();
    const DialogView before = view();
    const std::uint32_t ioBefore = simIoCount();
    const int control = GetParam();
    EXPECT_EQ(mainDialogProc(mainDialog, WM_COMMAND, MAKEWPARAM(control, 0),
                             reinterpret_cast<LPARAM>(GetDlgItem(mainDialog, control))),
              0);
    pump();
    EXPECT_EQ(view(), before);
    EXPECT_TRUE(linkIsOpen());
    EXPECT_EQ(simIoCount(), ioBefore);
    expectBoxes({});
}

INSTANTIATE_TEST_SUITE_P(MainDialog, OtherCommand,
                         testing::Values(IDOK, IDC_HINT, IDC_VERSION_GROUP, IDC_LABEL_ESC,
                                         IDC_VALUE_UNIT, 0xFFFF));

struct EndingCase {
    const char* name;
    bool startReady;
    void (*act)();
};
void PrintTo(const EndingCase& row, std::ostream* out) { *out << row.name; }

const EndingCase kEndingCases[] = {
    {"CloseButton", true,
     [] { SendMessageW(GetDlgItem(mainDialog, IDC_CLOSE), BM_CLICK, 0, 0); }},
    {"CloseButtonWhileUnlinked", false,
     [] { SendMessageW(GetDlgItem(mainDialog, IDC_CLOSE), BM_CLICK, 0, 0); }},
    {"CancelCommand", true, [] { SendMessageW(mainDialog, WM_COMMAND, IDCANCEL, 0); }},
    {"CancelCommandWithANotificationCode", true,
     [] { SendMessageW(mainDialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 1), 0); }},
    // Through the dialog manager, as a key press arrives: the modal loop turns it into IDCANCEL.
    {"EscapeKey", true,
     [] { PostMessageW(GetDlgItem(mainDialog, IDC_CLOSE), WM_KEYDOWN, VK_ESCAPE, 0x00010001); }},
    {"CaptionCloseBox", true, [] { SendMessageW(mainDialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
};

class Ending : public DialogTest, public testing::WithParamInterface<EndingCase> {};

TEST_P(Ending, EndsTheDialogWithTwoAndSendsNothingToTheUnit) {
    const EndingCase& row = GetParam();
    if (row.startReady) plugReadyUnit();
    bool readyWhenActing = false;
    std::uint32_t ioBefore = 0;
    const INT_PTR result = runModal([&] {
        readyWhenActing = controlEnabled(IDC_UPDATE);
        ioBefore = simIoCount();
        row.act();
    });

    EXPECT_EQ(result, 2);
    EXPECT_EQ(readyWhenActing, row.startReady);
    EXPECT_EQ(simIoCount(), ioBefore);
    EXPECT_FALSE(linkIsOpen());
    EXPECT_EQ(simOpenHandles(), 0u);
    expectBoxes({});
}

// The registration the dialog made, and what was given back, seen at the system's door.
namespace notifications {

inline std::vector<HDEVNOTIFY> registered;
inline std::vector<HDEVNOTIFY> unregistered;
inline decltype(&RegisterDeviceNotificationW) registerOriginal;
inline decltype(&UnregisterDeviceNotification) unregisterOriginal;

inline HDEVNOTIFY WINAPI onRegister(HANDLE recipient, LPVOID filter, DWORD flags) {
    const HDEVNOTIFY made = registerOriginal(recipient, filter, flags);
    registered.push_back(made);
    return made;
}

inline BOOL WINAPI onUnregister(HDEVNOTIFY notification) {
    unregistered.push_back(notification);
    return unregisterOriginal(notification);
}

}  // namespace notifications

TEST_P(Ending, GivesTheDeviceNotificationBack) {
    const EndingCase& row = GetParam();
    if (row.startReady) plugReadyUnit();
    notifications::registered.clear();
    notifications::unregistered.clear();
    ImportOverride watchRegister("user32.dll", "RegisterDeviceNotificationW",
                                 reinterpret_cast<void*>(notifications::onRegister));
    ImportOverride watchUnregister("user32.dll", "UnregisterDeviceNotification",
                                   reinterpret_cast<void*>(notifications::onUnregister));
    ASSERT_NE(watchRegister.slot, nullptr);
    ASSERT_NE(watchUnregister.slot, nullptr);
    notifications::registerOriginal =
        reinterpret_cast<decltype(&RegisterDeviceNotificationW)>(watchRegister.original);
    notifications::unregisterOriginal =
        reinterpret_cast<decltype(&UnregisterDeviceNotification)>(watchUnregister.original);

    EXPECT_EQ(runModal(row.act), 2);

    ASSERT_EQ(notifications::registered.size(), 1u);
    ASSERT_NE(notifications::registered[0], nullptr);
    EXPECT_EQ(notifications::unregistered, notifications::registered);
}

INSTANTIATE_TEST_SUITE_P(MainDialog, Ending, testing::ValuesIn(kEndingCases), rowName<EndingCase>);

HDEVNOTIFY WINAPI refuseRegistration(HANDLE, LPVOID, DWORD) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return nullptr;
}

TEST_F(DialogTest, RefusedRegistrationEndsTheDialogWithOneAndProbesNothing) {
    ImportOverride refuse("user32.dll", "RegisterDeviceNotificationW",
                          reinterpret_cast<void*>(refuseRegistration));
    ASSERT_NE(refuse.slot, nullptr);
    plugReadyUnit();
    HWND dialogWhileOpen = nullptr;
    boxwatch::answers.push_back({IDOK, [&] { dialogWhileOpen = mainDialog; }});

    EXPECT_EQ(runModal(nullptr), 1);

    ASSERT_NE(dialogWhileOpen, nullptr);
    expectBoxes({{dialogWhileOpen, catalogue(IDS_APPLICATION_ERROR_CAPTION),
                  catalogue(IDS_REGISTRATION_FAILED), MB_OK | MB_ICONERROR}});
    EXPECT_EQ(simIoCount(), 0u);
    EXPECT_EQ(simOpenHandles(), 0u);
    EXPECT_FALSE(linkIsOpen());
}

// =================================================================================================
// The hint panel

TEST_F(DialogTest, HintWithStepsIsTheTextABlankLineAndTheSteps) {
    openDialog();
    showHintWithSteps(IDS_NO_UPDATABLE_ESC);
    const std::wstring hint = controlText(IDC_HINT);
    EXPECT_EQ(hint, catalogue(IDS_NO_UPDATABLE_ESC) + L"\r\n\r\n" + catalogue(IDS_STEPS));
}

TEST_F(DialogTest, HintAloneReplacesTheWholePanel) {
    openDialog();
    showHint(IDS_UPDATE_SUCCEEDED);
    EXPECT_EQ(controlText(IDC_HINT), catalogue(IDS_UPDATE_SUCCEEDED));
}

}  // namespace
