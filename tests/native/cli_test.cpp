// The terminal flasher on the simulated bus: what a user reads and what exit code a script gets
// in each situation, what reaches the unit, the progress, the JSON, the command line's errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/command_line.h"
#include "cli/platform.h"
#include "link/commands.h"
#include "link/programmer_link.h"
#include "resources/resource_ids.h"
#include "sim/sim_device.h"
#include "tests/shared/catalogue_texts.h"
#include "tests/shared/exit_codes.h"
#include "tests/shared/update_facts.h"

namespace {

const std::u16string kFirstPath = u"\\\\?\\hid#vid_f0e1&pid_0002#first";
const std::u16string kSecondPath = u"\\\\?\\hid#vid_f0e1&pid_0001#second";
constexpr char kFirstPathText[] = "\\\\?\\hid#vid_f0e1&pid_0002#first";
constexpr char kSecondPathText[] = "\\\\?\\hid#vid_f0e1&pid_0001#second";
constexpr std::uint32_t kOtherEscType = 0x0B07403C;
constexpr std::uint32_t kBlocksInImage = updatefacts::blocks;
// An answer line that stands for Ctrl-C pressed at the prompt.
constexpr char kCtrlC[] = "<Ctrl-C>";

// What the run around the flasher looks like: terminals, language, answers, stop requests.
struct Surroundings {
    Language language = Language::english;
    bool outputIsTerminal = false;
    bool inputIsTerminal = false;
    std::vector<std::string> answers;
    bool openFailuresArePermission = false;
    bool placeholder = true;
    std::vector<struct StopSignal> stops;
};

// A Ctrl-C (or with `insists`, SIGTERM) that has arrived once the unit received its
// `occurrence`-th report of command `afterCommand`; occurrence 0: before the program started.
struct StopSignal {
    std::uint8_t afterCommand;
    std::uint32_t occurrence;
    bool insists;
};

struct FlasherRun {
    int exitCode;
    std::string out;
    std::string err;
};

// The bus, its units and the surroundings of the run under test.
struct Bench {
    SimUnit units[2];
    Surroundings around;

    void plugReady(int index, const std::u16string& path, std::uint16_t escVersion = 0x0302) {
        units[index] = simReadyUnit(escVersion);
        simBusPlugUnit(units[index], path);
    }
    void plugReadyZelquad(int index, const std::u16string& path) {
        units[index] = simReadyUnit();
        units[index].productId = kProductZelquad;
        simBusPlugUnit(units[index], path);
    }
};

Bench* bench = nullptr;
std::size_t nextAnswer = 0;
bool ctrlCPressed = false;

void appendTo(const char* bytes, std::size_t length, void* context) {
    static_cast<std::string*>(context)->append(bytes, length);
}

bool readScripted(char* line, std::size_t size, void*) {
    const std::vector<std::string>& answers = bench->around.answers;
    if (nextAnswer >= answers.size()) return false;
    const std::string& answer = answers[nextAnswer++];
    if (answer == kCtrlC) {
        ctrlCPressed = true;
        return false;
    }
    std::snprintf(line, size, "%s", answer.c_str());
    return true;
}

std::uint64_t virtualNow() { return simNowMs(); }

StopRequest scriptedStop() {
    int interrupts = ctrlCPressed ? 1 : 0;
    bool insisted = false;
    for (const StopSignal& stop : bench->around.stops) {
        std::uint32_t received = 0;
        for (const SimUnit& unit : bench->units) received += unit.commandCounts[stop.afterCommand];
        if (received < stop.occurrence) continue;
        if (stop.insists)
            insisted = true;
        else
            ++interrupts;
    }
    if (insisted || interrupts >= 2) return StopRequest::insisted;
    return interrupts == 1 ? StopRequest::asked : StopRequest::none;
}

// Whether a stop would have ended the program at once: asked only by the rows about it.
bool stopsEndAtOnce = false;
void recordStopAtOnce(bool atOnce) { stopsEndAtOnce = atOnce; }

void holdNothing(bool) {}

// The bus fails an open with one code; the rows say whether that reads as a permission problem.
bool scriptedPermission(std::uint32_t) { return bench->around.openFailuresArePermission; }

bool anyPathMayBeUnit(const char16_t*) { return true; }

FlasherRun runFlasher(Bench& b, std::vector<const char*> arguments) {
    bench = &b;
    nextAnswer = 0;
    ctrlCPressed = false;
    FlasherRun run{};
    CliSetting setting{};
    setting.console.out = {appendTo, &run.out, b.around.outputIsTerminal};
    // One terminal for both, as when neither is redirected.
    setting.console.err = {appendTo, &run.err, b.around.outputIsTerminal};
    setting.console.inputIsTerminal = b.around.inputIsTerminal;
    setting.console.readLine = readScripted;
    setting.system = {virtualNow,         scriptedStop,     recordStopAtOnce, holdNothing,
                      scriptedPermission, anyPathMayBeUnit, true};
    setting.language = b.around.language;
    setting.image = kCarriedImage;
    setting.image.placeholder = b.around.placeholder;
    arguments.insert(arguments.begin(), "zirvano-flash");
    run.exitCode = runCli(static_cast<int>(arguments.size()), arguments.data(), setting);
    return run;
}

bool holds(const std::string& text, const char* fragment) {
    return text.find(fragment) != std::string::npos;
}

handwritten::Language handwrittenOf(Language language) {
    return language == Language::german ? handwritten::Language::german
                                        : handwritten::Language::english;
}

void appendUtf8(std::string& out, char32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// Wide text as a terminal shows it: UTF-8, and the catalogue's CR LF as a plain line end.
std::string terminalText(const wchar_t* text) {
    std::string out;
    for (const wchar_t* p = text; *p != L'\0'; ++p)
        if (!(p[0] == L'\r' && p[1] == L'\n')) appendUtf8(out, static_cast<char32_t>(*p));
    return out;
}

// A text of the handwritten catalogue, as the flasher shows it.
std::string shown(unsigned id, Language language) {
    return terminalText(handwritten::catalogueText(id, handwrittenOf(language)));
}

// The window's error box in one line: the step's text, then the code line.
std::string failureLine(unsigned stepText, LinkResult result, std::uint32_t systemError,
                        Language language) {
    constexpr std::size_t kCodeLineUnits = 256;
    wchar_t codeLine[kCodeLineUnits];
    const wchar_t* format =
        handwritten::catalogueText(IDS_ERROR_CODE_LINE, handwrittenOf(language));
    std::swprintf(codeLine, kCodeLineUnits, format, static_cast<unsigned>(result),
                  static_cast<unsigned>(systemError));
    return shown(stepText, language) + " " + terminalText(codeLine);
}

// The image file the build was configured with: what every update must leave in the unit.
const std::vector<std::uint8_t>& carriedBytes() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> read;
        if (std::FILE* file = std::fopen(CLI_FIRMWARE_IMAGE, "rb")) {
            for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
                read.push_back(static_cast<std::uint8_t>(c));
            std::fclose(file);
        }
        return read;
    }();
    return bytes;
}

bool gotNothingToWrite(const SimUnit& unit) {
    return unit.commandCounts[SystemLock] == 0 && !unit.erased && unit.flash.empty();
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        closeProgrammer();
        simBusReset();
    }
    void TearDown() override {
        EXPECT_FALSE(linkIsOpen()) << "every command closes its link";
        closeProgrammer();
        bench = nullptr;
    }
    Bench b;
};

// ---------------------------------------------------------------------------------------------
// Situations of `update`: exit code, what the user reads, what reached the units.

enum class Written { nothing, imageToFirst, imageToSecond };

struct Situation {
    const char* name;
    void (*prepare)(Bench& bench);
    std::vector<const char*> arguments;
    int exitCode;
    std::vector<unsigned> catalogueTexts;  // the window's texts the user reads, whole
    std::vector<const char*> outSays;      // the flasher's own words on stdout
    std::vector<const char*> errSays;      // and on stderr
    Written written;
};

void PrintTo(const Situation& row, std::ostream* out) { *out << row.name; }

class UpdateSituation : public CliTest, public ::testing::WithParamInterface<Situation> {};

TEST_P(UpdateSituation, EndsWithItsCodeAndMessage) {
    const Situation& c = GetParam();
    c.prepare(b);
    const FlasherRun run = runFlasher(b, c.arguments);

    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    const std::string both = run.out + run.err;
    for (unsigned id : c.catalogueTexts)
        EXPECT_TRUE(holds(both, shown(id, b.around.language).c_str())) << id << "\n" << both;
    for (const char* fragment : c.outSays) EXPECT_TRUE(holds(run.out, fragment)) << run.out;
    for (const char* fragment : c.errSays) EXPECT_TRUE(holds(run.err, fragment)) << run.err;
    switch (c.written) {
        case Written::nothing:
            EXPECT_TRUE(gotNothingToWrite(b.units[0]));
            EXPECT_TRUE(gotNothingToWrite(b.units[1]));
            break;
        case Written::imageToFirst:
            EXPECT_EQ(b.units[0].flash, carriedBytes());
            EXPECT_TRUE(gotNothingToWrite(b.units[1]));
            break;
        case Written::imageToSecond:
            EXPECT_TRUE(gotNothingToWrite(b.units[0]));
            EXPECT_EQ(b.units[1].flash, carriedBytes());
            break;
    }
}

void plugNothing(Bench&) {}
void plugReady(Bench& b) { b.plugReady(0, kFirstPath); }
void plugTwoReady(Bench& b) {
    b.plugReady(0, kFirstPath);
    b.plugReadyZelquad(1, kSecondPath);
}
void plugUnopenable(Bench&) {
    SimDevice device;
    device.path = kFirstPath;
    device.openable = false;
    simBusPlug(device);
}
void plugReadyOnATerminal(Bench& b) {
    b.plugReady(0, kFirstPath);
    b.around.inputIsTerminal = true;
}

INSTANTIATE_TEST_SUITE_P(
    CliTest, UpdateSituation,
    ::testing::Values(
        Situation{"NoUnit", plugNothing, {"update", "--yes"}, kExitNoUnit,
                  {IDS_NO_UNIT, IDS_STEPS}, {}, {}, Written::nothing},
        Situation{"TwoUnitsWithoutUnitOption", plugTwoReady, {"update", "--yes"},
                  kExitSeveralUnits, {}, {},
                  {"Several programming units are attached. Choose one with --unit PATH:\n"
                   "  \\\\?\\hid#vid_f0e1&pid_0002#first\n"
                   "  \\\\?\\hid#vid_f0e1&pid_0001#second\n"},
                  Written::nothing},
        Situation{"UnitOptionChoosesOneOfTwo", plugTwoReady,
                  {"update", "--yes", "--unit", kSecondPathText}, kExitSuccess,
                  {IDS_UPDATE_SUCCEEDED}, {"ZELQUAD"}, {}, Written::imageToSecond},
        // An unplugged unit named with --unit is no unit at all, not one that cannot be
        // opened; a unit that is there but refuses to open is the other case.
        Situation{"UnitOptionNamesAPathWithNothingThere", plugReady,
                  {"update", "--yes", "--unit", "/dev/hidraw9"}, kExitNoUnit, {IDS_STEPS}, {},
                  {"No programming unit at /dev/hidraw9.\n"}, Written::nothing},
        Situation{"UnitOptionNamesAPathWithNothingThereInGerman",
                  [](Bench& b) {
                      b.plugReady(0, kFirstPath);
                      b.around.language = Language::german;
                  },
                  {"update", "--yes", "--unit", "/dev/hidraw9"}, kExitNoUnit, {IDS_STEPS}, {},
                  {"Keine Programmiereinheit unter /dev/hidraw9.\n"}, Written::nothing},
        Situation{"UnitOptionNamesAUnitThatCannotBeOpened", plugUnopenable,
                  {"update", "--yes", "--unit", kFirstPathText}, kExitCannotOpen, {}, {},
                  {"cannot be opened (system error 5)"}, Written::nothing},
        Situation{"UnitInItsBootloader",
                  [](Bench& b) {
                      b.plugReady(0, kFirstPath);
                      b.units[0].inBootloader = true;
                  },
                  {"update", "--yes"}, kExitNotReady, {IDS_WRONG_MODE, IDS_STEPS}, {}, {},
                  Written::nothing},
        Situation{"NoUpdatableEsc",
                  [](Bench& b) {
                      b.plugReady(0, kFirstPath);
                      b.units[0].escState = 1;
                  },
                  {"update", "--yes"}, kExitNotReady, {IDS_NO_UPDATABLE_ESC, IDS_STEPS}, {}, {},
                  Written::nothing},
        Situation{"OtherEscType",
                  [](Bench& b) {
                      b.plugReady(0, kFirstPath);
                      simSetEscType(b.units[0], kOtherEscType, 0x02000105);
                  },
                  {"update", "--yes"}, kExitIncompatible, {IDS_INCOMPATIBLE_HINT, IDS_STEPS}, {},
                  {"TESSERAN ESCs with the type 'ZIRVANO 60 LV'."}, Written::nothing},
        Situation{"UnreadableEsc",
                  [](Bench& b) {
                      b.plugReady(0, kFirstPath);
                      b.units[0].escInfoErrorCode = 5;
                  },
                  {"update", "--yes"}, kExitNotReady, {}, {},
                  {"The programming unit \\\\?\\hid#vid_f0e1&pid_0002#first could not be "
                   "identified: identification failed with result 5.\n"},
                  Written::nothing},
        Situation{"ReportsTooShortForABlock",
                  [](Bench& b) {
                      b.plugReady(0, kFirstPath);
                      b.units[0].outputReportLength = 32;
                  },
                  {"update", "--yes"}, kExitNotReady, {}, {},
                  {"could not be identified: its reports cannot carry an update (output 32 "
                   "bytes, input 60 bytes).\n"},
                  Written::nothing},
        Situation{"ReportLengthsUnreadable",
                  [](Bench& b) {
                      b.plugReady(0, kFirstPath);
                      b.units[0].capabilitiesFail = true;
                  },
                  {"update", "--yes"}, kExitNotReady, {}, {},
                  {"could not be identified: its report lengths cannot be read.\n"},
                  Written::nothing},
        Situation{"UnitCannotBeOpened", plugUnopenable, {"update", "--yes"}, kExitCannotOpen, {},
                  {},
                  {"The programming unit \\\\?\\hid#vid_f0e1&pid_0002#first cannot be opened "
                   "(system error 5).\n"},
                  Written::nothing},
        Situation{"PermissionDeniedNamesTheUdevRule",
                  [](Bench& b) {
                      plugUnopenable(b);
                      b.around.openFailuresArePermission = true;
                  },
                  {"update", "--yes"}, kExitCannotOpen, {}, {},
                  {"cannot be opened: permission denied (system error 5).\n"
                   "Allow access with the udev rule 70-zirvano-programming-unit.rules from the "
                   "source tree, then plug the unit in again:\n"
                   "  sudo install -m 644 resources/linux/70-zirvano-programming-unit.rules "
                   "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm "
                   "trigger --subsystem-match=hidraw\n"},
                  Written::nothing},
        Situation{"PathOfAnotherDevice",
                  [](Bench& b) {
                      b.plugReady(0, kFirstPath);
                      SimDevice other;
                      other.path = u"mouse";
                      other.vendorId = 0x046D;
                      simBusPlug(other);
                  },
                  {"update", "--yes", "--unit", "mouse"}, kExitNoUnit, {}, {},
                  {"mouse is no programming unit.\n"}, Written::nothing},
        Situation{"Ready", plugReady, {"update", "--yes"}, kExitSuccess,
                  {IDS_WARNING_CAPTION, IDS_WARNING_TEXT, IDS_PROGRESS_CAPTION,
                   IDS_UPDATE_SUCCEEDED},
                  {"ESC                 3.2\n", "ESC                 3.3\n"}, {},
                  Written::imageToFirst},
        Situation{"SameVersionNeedsAllowDowngrade",
                  [](Bench& b) { b.plugReady(0, kFirstPath, updatefacts::carriedVersion); },
                  {"update", "--yes"}, kExitDeclined, {IDS_DOWNGRADE_QUESTION}, {},
                  {"The ESC runs firmware 3.3; this program carries 3.3. To install it all the "
                   "same, run the update with --allow-downgrade. Nothing was sent.\n"},
                  Written::nothing},
        Situation{"NewerVersionWithAllowDowngrade",
                  [](Bench& b) { b.plugReady(0, kFirstPath, 0x0304); },
                  {"update", "--yes", "--allow-downgrade"}, kExitSuccess, {IDS_UPDATE_SUCCEEDED},
                  {}, {}, Written::imageToFirst},
        Situation{"EscWithoutFirmwareIsNoDowngrade",
                  [](Bench& b) { b.plugReady(0, kFirstPath, kNoEscFirmware); },
                  {"update", "--yes"}, kExitSuccess, {IDS_UPDATE_SUCCEEDED},
                  {"ESC                 ----------\n"}, {}, Written::imageToFirst},
        Situation{"ConfirmedOnATerminal",
                  [](Bench& b) {
                      plugReadyOnATerminal(b);
                      b.around.answers = {" Yes "};
                  },
                  {"update"}, kExitSuccess,
                  {IDS_WARNING_CAPTION, IDS_WARNING_TEXT, IDS_UPDATE_SUCCEEDED},
                  {"The update of the ESC was successful!\n"}, {"Start the update? [y/N] "},
                  Written::imageToFirst},
        Situation{"DeclinedOnATerminal",
                  [](Bench& b) {
                      plugReadyOnATerminal(b);
                      b.around.answers = {"n"};
                  },
                  {"update"}, kExitDeclined, {}, {},
                  {"Start the update? [y/N] ", "No update; nothing was sent.\n"},
                  Written::nothing},
        Situation{"EndOfInputDeclines", plugReadyOnATerminal, {"update"}, kExitDeclined, {}, {},
                  {"No update; nothing was sent.\n"}, Written::nothing},
        Situation{"NoTerminalAndNoYesRefuses", plugReady, {"update"}, kExitDeclined,
                  {IDS_WARNING_TEXT}, {},
                  {"No terminal to confirm the update on: run it with --yes to confirm in "
                   "advance. Nothing was sent.\n"},
                  Written::nothing},
        Situation{"CtrlCAtThePrompt",
                  [](Bench& b) {
                      plugReadyOnATerminal(b);
                      b.around.answers = {kCtrlC};
                  },
                  {"update"}, kExitInterrupted, {}, {},
                  {"Stopped before anything was sent; the ESC is unchanged.\n"},
                  Written::nothing},
        Situation{"StopRequestedBeforeTheChain",
                  [](Bench& b) {
                      b.plugReady(0, kFirstPath);
                      b.around.stops = {{Identify, 0, false}};
                  },
                  {"update", "--yes"}, kExitInterrupted, {}, {},
                  {"Stopped before anything was sent; the ESC is unchanged.\n"},
                  Written::nothing},
        Situation{"GermanConfirmsWithJa",
                  [](Bench& b) {
                      plugReadyOnATerminal(b);
                      b.around.language = Language::german;
                      b.around.answers = {"ja"};
                  },
                  {"update"}, kExitSuccess,
                  {IDS_WARNING_CAPTION, IDS_WARNING_TEXT, IDS_UPDATE_SUCCEEDED},
                  {"Regler              3.3\n"}, {"Update starten? [j/N] "},
                  Written::imageToFirst},
        // The English answer means yes in German too.
        Situation{"GermanTakesYForYes",
                  [](Bench& b) {
                      plugReadyOnATerminal(b);
                      b.around.language = Language::german;
                      b.around.answers = {"y"};
                  },
                  {"update"}, kExitSuccess, {IDS_UPDATE_SUCCEEDED}, {}, {},
                  Written::imageToFirst},
        Situation{"GermanTakesNForNo",
                  [](Bench& b) {
                      plugReadyOnATerminal(b);
                      b.around.language = Language::german;
                      b.around.answers = {"n"};
                  },
                  {"update"}, kExitDeclined, {}, {},
                  {"Kein Update; es wurde nichts gesendet.\n"}, Written::nothing},
        Situation{"GermanNoUnit", [](Bench& b) { b.around.language = Language::german; },
                  {"update", "--yes"}, kExitNoUnit, {IDS_NO_UNIT, IDS_STEPS}, {}, {},
                  Written::nothing}),
    [](const ::testing::TestParamInfo<Situation>& info) { return std::string(info.param.name); });

TEST_F(CliTest, CarriedImageIsTheConfiguredFile) {
    ASSERT_EQ(carriedBytes().size(), updatefacts::imageBytes);
    EXPECT_TRUE(std::equal(carriedBytes().begin(), carriedBytes().end(), kCarriedImage.bytes));
    EXPECT_EQ(kCarriedImage.size, updatefacts::imageBytes);
    const std::string banner = "PLACEHOLDER IMAGE, NOT FIRMWARE.";
    EXPECT_EQ(kCarriedImage.placeholder,
              std::equal(banner.begin(), banner.end(), carriedBytes().begin()));
}

TEST_F(CliTest, PlaceholderWarningComesBeforeTheConfirmation) {
    b.plugReady(0, kFirstPath);
    b.around.inputIsTerminal = true;
    b.around.answers = {"n"};
    const FlasherRun run = runFlasher(b, {"update"});
    // Both on stderr: with stdout sent to a file, the user still reads them.
    const std::size_t warning =
        run.err.find("This program carries a placeholder image, not for flashing.\n");
    ASSERT_NE(warning, std::string::npos) << run.err;
    EXPECT_LT(warning, run.err.find("Start the update? [y/N] "));
    EXPECT_FALSE(holds(run.out, "placeholder")) << run.out;
}

TEST_F(CliTest, ReleaseBuildHasNoPlaceholderWarning) {
    b.plugReady(0, kFirstPath);
    b.around.placeholder = false;
    const FlasherRun run = runFlasher(b, {"update", "--yes"});
    EXPECT_EQ(run.exitCode, kExitSuccess);
    EXPECT_FALSE(holds(run.out, "placeholder")) << run.out;
}

// ---------------------------------------------------------------------------------------------
// A failing step: one line, the window's text and code line, and nothing sent after it.

struct StepFailure {
    const char* name;
    SimFault fault;
    Language language;
    int exitCode;
    unsigned stepText;
    LinkResult result;
    std::uint32_t systemError;
};

void PrintTo(const StepFailure& row, std::ostream* out) { *out << row.name; }

class FailingStep : public CliTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(FailingStep, PrintsOneLineWithTheCodesAndEndsThere) {
    const StepFailure& c = GetParam();
    b.plugReady(0, kFirstPath);
    b.units[0].faults.push_back(c.fault);
    b.around.language = c.language;
    const FlasherRun run = runFlasher(b, {"update", "--yes"});

    EXPECT_EQ(run.exitCode, c.exitCode);
    // The failure is the last line on stderr, after the warning and any progress.
    const std::string line = failureLine(c.stepText, c.result, c.systemError, c.language) + "\n";
    EXPECT_TRUE(run.err.size() >= line.size() &&
                run.err.compare(run.err.size() - line.size(), line.size(), line) == 0)
        << run.err;
    const std::vector<std::uint8_t> order = simCommandOrder(b.units[0]);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), c.fault.command) << "nothing after the failing step";
    EXPECT_EQ(b.units[0].commandCounts[c.fault.command], c.fault.occurrence);
}

// The simulated bus's system errors: a write to a unit gone, a read that timed out.
constexpr std::uint32_t kSimGenFailure = 0x1F;
constexpr std::uint32_t kSimTimeout = 0x5B4;

INSTANTIATE_TEST_SUITE_P(
    CliTest, FailingStep,
    ::testing::Values(
        StepFailure{"LockRefused", {SystemLock, 1, SimFaultKind::refusal, 0}, Language::english,
                    kExitLockFailed, IDS_LOCK_FAILED, kLinkRefused, 0},
        StepFailure{"UnlockAnsweredWithAnError", {WriteProtect, 1, SimFaultKind::errorAnswer, 9},
                    Language::english, kExitUnlockFailed, IDS_UNLOCK_FLASH_FAILED, 9, 0},
        StepFailure{"EraseAnsweredWithAnError",
                    {EraseFirmware, 1, SimFaultKind::errorAnswer, 0x44}, Language::english,
                    kExitEraseFailed, IDS_ERASE_FAILED, 0x44, 0},
        StepFailure{"UnitGoneAtTheErase", {EraseFirmware, 1, SimFaultKind::disconnect, 0},
                    Language::english, kExitEraseFailed, IDS_ERASE_FAILED, kLinkWriteFailed,
                    kSimGenFailure},
        // The system takes only the first 10 bytes of the erase's report: a write failure, and
        // nothing more is sent.
        StepFailure{"EraseReportTakenOnlyInPart", {EraseFirmware, 1, SimFaultKind::cutWrite, 10},
                    Language::english, kExitEraseFailed, IDS_ERASE_FAILED, kLinkWriteFailed,
                    kSimGenFailure},
        StepFailure{"AddressAnsweredWithAnError",
                    {SetWriteAddress, 1, SimFaultKind::errorAnswer, 0x45}, Language::english,
                    kExitAddressFailed, IDS_ADDRESS_FAILED, 0x45, 0},
        StepFailure{"MiddleBlockAnsweredWithAnError",
                    {WriteDataBlock, kBlocksInImage / 2, SimFaultKind::errorAnswer, 0x46},
                    Language::english, kExitBlockFailed, IDS_BLOCK_FAILED, 0x46, 0},
        StepFailure{"LastBlockUnanswered",
                    {WriteDataBlock, kBlocksInImage, SimFaultKind::noAnswer, 0},
                    Language::english, kExitBlockFailed, IDS_BLOCK_FAILED, kLinkReadFailed,
                    kSimTimeout},
        StepFailure{"GermanEraseError", {EraseFirmware, 1, SimFaultKind::errorAnswer, 0x44},
                    Language::german, kExitEraseFailed, IDS_ERASE_FAILED, 0x44, 0}),
    [](const ::testing::TestParamInfo<StepFailure>& info) {
        return std::string(info.param.name);
    });

// ---------------------------------------------------------------------------------------------
// Ctrl-C between blocks.

// What the ESC and the unit are left with after a stop.
enum class EscLeft { asItWas, withTheImage, erased };

struct StopCase {
    const char* name;
    std::vector<StopSignal> stops;
    int exitCode;  // as the README's table has it
    EscLeft esc;
    const char* lastWords;  // the end of what the flasher said
};

void PrintTo(const StopCase& row, std::ostream* out) { *out << row.name; }

class StopDuringUpdate : public CliTest, public ::testing::WithParamInterface<StopCase> {};

// The re-identification right before the lock is the third Identify: the survey and the unit's
// own look come first.
constexpr std::uint32_t kReidentification = 3;
constexpr char kStoppedBeforeErase[] =
    "Stopped before the erase: the write protection and the unit's lock were given back; the ESC "
    "is unchanged.\n";
constexpr char kStoppedBetweenBlocks[] =
    "Stopped between two blocks. The ESC holds no complete firmware now and must be updated "
    "again: zirvano-flash update\n";
constexpr char kFinishing[] =
    "The old firmware is erased: the transfer goes on to the end so that the ESC has firmware "
    "again. Press Ctrl-C once more to stop at once.\n";

TEST_P(StopDuringUpdate, LeavesTheEscAndTheUnitAsTheUserWasTold) {
    const StopCase& c = GetParam();
    b.plugReady(0, kFirstPath);
    b.around.stops = c.stops;
    const FlasherRun run = runFlasher(b, {"update", "--yes"});
    const SimUnit& unit = b.units[0];

    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_TRUE(holds(run.err, c.lastWords)) << run.err;
    EXPECT_FALSE(unit.locked) << "the lock is given back";
    EXPECT_TRUE(unit.writeProtected) << "the write protection is restored";
    switch (c.esc) {
        case EscLeft::asItWas:
            EXPECT_EQ(unit.commandCounts[EraseFirmware], 0u);
            EXPECT_EQ(unit.commandCounts[WriteDataBlock], 0u);
            break;
        case EscLeft::withTheImage: EXPECT_EQ(unit.flash, carriedBytes()); break;
        case EscLeft::erased:
            EXPECT_EQ(unit.commandCounts[EraseFirmware], 1u);
            EXPECT_LT(unit.flash.size(), carriedBytes().size());
            EXPECT_EQ(unit.flash.size() % kBlockBytes, 0u) << "no block is cut in two";
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    CliTest, StopDuringUpdate,
    ::testing::Values(
        StopCase{"CtrlCRightBeforeTheLock",
                 {{ReadEscBootInfo, kReidentification, false}},
                 9,
                 EscLeft::asItWas,
                 kStoppedBeforeErase},
        StopCase{"CtrlCBetweenLockAndFlashUnlock",
                 {{SystemLock, 1, false}},
                 9,
                 EscLeft::asItWas,
                 kStoppedBeforeErase},
        StopCase{"CtrlCBetweenFlashUnlockAndErase",
                 {{WriteProtect, 1, false}},
                 9,
                 EscLeft::asItWas,
                 kStoppedBeforeErase},
        StopCase{"SigtermBeforeTheErase",
                 {{WriteProtect, 1, true}},
                 9,
                 EscLeft::asItWas,
                 kStoppedBeforeErase},
        StopCase{"OneCtrlCAfterTheEraseLetsTheTransferFinish",
                 {{EraseFirmware, 1, false}},
                 0,
                 EscLeft::withTheImage,
                 kFinishing},
        StopCase{"OneCtrlCDuringTheTransferLetsItFinish",
                 {{WriteDataBlock, 1000, false}},
                 0,
                 EscLeft::withTheImage,
                 kFinishing},
        StopCase{"SecondCtrlCDuringTheTransferStopsBetweenBlocks",
                 {{WriteDataBlock, 1000, false}, {WriteDataBlock, 1200, false}},
                 9,
                 EscLeft::erased,
                 kStoppedBetweenBlocks},
        StopCase{"SigtermDuringTheTransferStopsAtOnce",
                 {{WriteDataBlock, 10, true}},
                 9,
                 EscLeft::erased,
                 kStoppedBetweenBlocks}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

TEST_F(CliTest, OneCtrlCDuringTheTransferIsSaidOnceAndTheUpdateSucceeds) {
    b.plugReady(0, kFirstPath);
    b.around.stops = {{WriteDataBlock, 1000, false}};
    const FlasherRun run = runFlasher(b, {"update", "--yes"});
    EXPECT_EQ(run.exitCode, 0);
    const std::string said = std::string("\n") + kFinishing;
    const std::size_t at = run.err.find(said);
    EXPECT_NE(at, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(said, at + 1), std::string::npos) << "said once";
    EXPECT_TRUE(holds(run.out, "The update of the ESC was successful!\n"));
}

TEST_F(CliTest, StopBetweenBlocksLeavesNoBlockHalfDoneAndASecondRunUpdates) {
    constexpr std::uint32_t kStopAfter = 1000;
    b.plugReady(0, kFirstPath);
    b.around.stops = {{WriteDataBlock, kStopAfter, true}};

    const FlasherRun stopped = runFlasher(b, {"update", "--yes"});

    EXPECT_EQ(stopped.exitCode, kExitInterrupted);
    EXPECT_TRUE(holds(stopped.err, kStoppedBetweenBlocks)) << stopped.err;
    EXPECT_EQ(b.units[0].commandCounts[WriteDataBlock], kStopAfter);
    EXPECT_EQ(b.units[0].flash.size(), kStopAfter * kBlockBytes);

    b.around.stops.clear();
    const FlasherRun again = runFlasher(b, {"update", "--yes"});

    EXPECT_EQ(again.exitCode, kExitSuccess) << again.err;
    EXPECT_EQ(b.units[0].flash, carriedBytes());
}

TEST_F(CliTest, OnlyLookingCommandsLetAStopEndThemAtOnce) {
    b.plugReady(0, kFirstPath);
    for (const char* verb : {"list", "status"}) {
        stopsEndAtOnce = false;
        runFlasher(b, {verb});
        EXPECT_TRUE(stopsEndAtOnce) << verb;
    }
    stopsEndAtOnce = true;
    runFlasher(b, {"update", "--yes"});
    EXPECT_FALSE(stopsEndAtOnce) << "from the confirmation on, a stop is handled, not fatal";
}

// ---------------------------------------------------------------------------------------------
// The ESC swapped on the unit's cable while the prompt waited: no USB event tells, the unit
// answers on, and only asking it again right before the lock shows the change.

struct SwapCase {
    const char* name;
    SimEsc now;
    const char* explanation;  // what the flasher says is there now
};

void PrintTo(const SwapCase& row, std::ostream* out) { *out << row.name; }

class EscSwappedAtThePrompt : public CliTest, public ::testing::WithParamInterface<SwapCase> {};

TEST_P(EscSwappedAtThePrompt, NothingIsLockedAndTheFlasherSaysWhatIsThereNow) {
    const SwapCase& c = GetParam();
    plugReadyOnATerminal(b);
    b.around.answers = {"y"};
    b.units[0].swapTo = c.now;
    b.units[0].faults.push_back({Identify, kReidentification, SimFaultKind::swapEsc, 0});

    const FlasherRun run = runFlasher(b, {"update"});

    EXPECT_EQ(run.exitCode, 15) << "never 0, even for a ready ESC";
    EXPECT_EQ(b.units[0].commandCounts[SystemLock], 0u);
    EXPECT_EQ(b.units[0].commandCounts[WriteProtect], 0u);
    EXPECT_TRUE(holds(run.err,
                      "The ESC on the unit is no longer the one confirmed: nothing was locked or "
                      "written. Now connected:\n"))
        << run.err;
    EXPECT_TRUE(holds(run.err, c.explanation)) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    CliTest, EscSwappedAtThePrompt,
    ::testing::Values(
        SwapCase{"ForAnotherType", simReadyEsc(0x0302, kOtherEscType),
                 "The connected ESC is not compatible with this updater."},
        SwapCase{"Removed", simNoEsc(), "No updatable ESC connected."},
        SwapCase{"ForOneRunningTheCarriedVersion", simReadyEsc(0x0303),
                 "Ready: 'zirvano-flash update' installs ESC firmware 3.3."},
        SwapCase{"ForOneWithAnotherBootloader", simReadyEsc(0x0302, kSupportedEscType, 0x02000106),
                 "Ready: 'zirvano-flash update' installs ESC firmware 3.3."}),
    [](const ::testing::TestParamInfo<SwapCase>& info) { return std::string(info.param.name); });

TEST_F(CliTest, AnotherEscOfTheSameTypeAndVersionsCannotBeToldApartAndIsUpdated) {
    plugReadyOnATerminal(b);
    b.around.answers = {"y"};
    b.units[0].swapTo = simReadyEsc();
    b.units[0].faults.push_back({Identify, kReidentification, SimFaultKind::swapEsc, 0});
    const FlasherRun run = runFlasher(b, {"update"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(b.units[0].flash, carriedBytes());
}

// ---------------------------------------------------------------------------------------------
// A unit held by another of our programs (the window linked to it, another flasher).

TEST_F(CliTest, UnitHeldByAnotherProgramIsSentNothingAndSaidToBeInUse) {
    b.plugReady(0, kFirstPath);
    const DeviceHandle other = deviceOpen(kFirstPath.c_str());
    ASSERT_NE(other, kNoDevice);

    const FlasherRun list = runFlasher(b, {"list"});
    const FlasherRun status = runFlasher(b, {"status"});
    const FlasherRun update = runFlasher(b, {"update", "--yes"});
    const FlasherRun json = runFlasher(b, {"status", "--json"});

    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out, std::string(kFirstPathText) + "  in use by another program\n");
    EXPECT_EQ(status.exitCode, 16);
    EXPECT_TRUE(holds(status.out, "is in use by another program; nothing was sent to it."))
        << status.out;
    EXPECT_EQ(update.exitCode, 16);
    EXPECT_TRUE(holds(update.err, "is in use by another program; nothing was sent to it."))
        << update.err;
    EXPECT_TRUE(holds(json.out, "{\"state\":\"in-use\",\"exitCode\":16,")) << json.out;
    EXPECT_TRUE(b.units[0].received.empty()) << "not even identification";

    deviceClose(other);
    EXPECT_EQ(runFlasher(b, {"status"}).exitCode, 0) << "free again once the other let go";
}

// ---------------------------------------------------------------------------------------------
// Progress.

// The transfer's part of stderr, where the progress goes: from the line after the progress
// caption to the end. Stdout keeps the result alone.
std::string progressPart(const FlasherRun& run) {
    const std::string caption = "Firmware update in progress, please wait...\n";
    const std::size_t start = run.err.find(caption);
    if (start == std::string::npos || holds(run.out, caption.c_str())) return "";
    return run.err.substr(start + caption.size());
}

TEST_F(CliTest, WithoutATerminalProgressIsALineForEveryTenth) {
    b.plugReady(0, kFirstPath);
    const FlasherRun run = runFlasher(b, {"update", "--yes"});
    EXPECT_EQ(progressPart(run),
              "10 %\n20 %\n30 %\n40 %\n50 %\n60 %\n70 %\n80 %\n90 %\n100 %\n");
}

TEST_F(CliTest, OnATerminalProgressIsOneBarRedrawnInPlace) {
    b.plugReady(0, kFirstPath);
    b.around.outputIsTerminal = true;
    const FlasherRun run = runFlasher(b, {"update", "--yes"});
    const std::string bar = progressPart(run);

    ASSERT_FALSE(bar.empty()) << run.err;
    EXPECT_EQ(bar.find('\n'), bar.size() - 1) << "one line, ended once at the end";
    EXPECT_EQ(bar.find("\r[------------------------------]   0 %  "), 0u) << bar;
    // Each block costs its 20 ms pause on the virtual clock: about 2037 x 20 ms are left
    // after the second block.
    EXPECT_TRUE(holds(bar, "\r[------------------------------]   0 %  0:41 left")) << bar;
    EXPECT_TRUE(holds(bar, "\r[###############---------------]  50 %  0:21 left"));
    const std::string last = "\r[##############################] 100 %  0:00 left\n";
    EXPECT_EQ(bar.substr(bar.size() - last.size()), last);
    std::size_t redraws = 0;
    for (char c : bar) redraws += c == '\r' ? 1 : 0;
    EXPECT_GT(redraws, 100u) << "every percent at least";
    EXPECT_LT(redraws, kBlocksInImage / 4) << "not every block";
}

TEST_F(CliTest, GermanBarSaysTimeLeftInGerman) {
    b.plugReady(0, kFirstPath);
    b.around.outputIsTerminal = true;
    b.around.language = Language::german;
    const FlasherRun run = runFlasher(b, {"update", "--yes"});
    EXPECT_TRUE(holds(run.err, "\r[##############################] 100 %  noch 0:00\n"))
        << run.err;
}

// ---------------------------------------------------------------------------------------------
// status and list.

struct StatusCase {
    const char* name;
    void (*prepare)(Bench& bench);
    std::vector<const char*> arguments;
    int exitCode;
    const char* out;  // exactly
};

void PrintTo(const StatusCase& row, std::ostream* out) { *out << row.name; }

class Status : public CliTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(Status, SaysWhatTheWindowWouldAndEndsWithTheCodeUpdateWould) {
    const StatusCase& c = GetParam();
    c.prepare(b);
    const FlasherRun run = runFlasher(b, c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out, c.out);
    EXPECT_TRUE(gotNothingToWrite(b.units[0]));
}

INSTANTIATE_TEST_SUITE_P(
    CliTest, Status,
    ::testing::Values(
        StatusCase{"Ready", plugReady, {"status"}, kExitSuccess,
                   "programming unit    TAVILINK 1.2 (\\\\?\\hid#vid_f0e1&pid_0002#first)\n"
                   "ESC-bootloader      2.1.5\n"
                   "ESC                 3.2\n"
                   "\n"
                   "Ready: 'zirvano-flash update' installs ESC firmware 3.3.\n"},
        StatusCase{"GermanReady",
                   [](Bench& b) {
                       b.plugReady(0, kFirstPath);
                       b.around.language = Language::german;
                   },
                   {"status"}, kExitSuccess,
                   "Programmiereinheit  TAVILINK 1.2 (\\\\?\\hid#vid_f0e1&pid_0002#first)\n"
                   "Regler-Bootloader   2.1.5\n"
                   "Regler              3.2\n"
                   "\n"
                   "Bereit: 'zirvano-flash update' installiert die Regler-Firmware 3.3.\n"},
        StatusCase{"ReadyJson", plugReady, {"status", "--json"}, kExitSuccess,
                   "{\"state\":\"ready\",\"exitCode\":0,"
                   "\"path\":\"\\\\\\\\?\\\\hid#vid_f0e1&pid_0002#first\",\"unit\":\"TAVILINK\","
                   "\"unitVersion\":\"1.2\",\"escType\":\"111F403C\","
                   "\"escBootloaderVersion\":\"2.1.5\",\"escVersion\":\"3.2\","
                   "\"carriedVersion\":\"3.3\",\"candidates\":null,\"systemError\":null,"
                   "\"schemaVersion\":1,"
                   "\"hint\":\"Ready: 'zirvano-flash update' installs ESC firmware 3.3.\"}\n"},
        // The window shows a row of dashes; a script gets null.
        StatusCase{"EscWithoutFirmwareJsonHasNoEscVersion",
                   [](Bench& b) { b.plugReady(0, kFirstPath, kNoEscFirmware); },
                   {"status", "--json"}, kExitSuccess,
                   "{\"state\":\"ready\",\"exitCode\":0,"
                   "\"path\":\"\\\\\\\\?\\\\hid#vid_f0e1&pid_0002#first\",\"unit\":\"TAVILINK\","
                   "\"unitVersion\":\"1.2\",\"escType\":\"111F403C\","
                   "\"escBootloaderVersion\":\"2.1.5\",\"escVersion\":null,"
                   "\"carriedVersion\":\"3.3\",\"candidates\":null,\"systemError\":null,"
                   "\"schemaVersion\":1,"
                   "\"hint\":\"Ready: 'zirvano-flash update' installs ESC firmware 3.3.\"}\n"},
        StatusCase{"NoUnitJson", plugNothing, {"status", "--json"}, kExitNoUnit,
                   "{\"state\":\"no-unit\",\"exitCode\":3,\"path\":null,\"unit\":null,"
                   "\"unitVersion\":null,\"escType\":null,\"escBootloaderVersion\":null,"
                   "\"escVersion\":null,\"carriedVersion\":\"3.3\",\"candidates\":null,"
                   "\"systemError\":null,\"schemaVersion\":1,\"hint\":\"No programming unit was "
                   "found on the USB Port. To update the ESC do the following:\"}\n"},
        // The same state as with no unit at all: no path, no system error.
        StatusCase{"NothingAtTheNamedPathJson", plugReady,
                   {"status", "--json", "--unit", "/dev/hidraw9"}, kExitNoUnit,
                   "{\"state\":\"no-unit\",\"exitCode\":3,\"path\":null,\"unit\":null,"
                   "\"unitVersion\":null,\"escType\":null,\"escBootloaderVersion\":null,"
                   "\"escVersion\":null,\"carriedVersion\":\"3.3\",\"candidates\":null,"
                   "\"systemError\":null,\"schemaVersion\":1,"
                   "\"hint\":\"No programming unit at /dev/hidraw9.\"}\n"},
        StatusCase{"WrongModeJsonHasNoEscVersions",
                   [](Bench& b) {
                       b.plugReadyZelquad(0, u"unit \"A\"\\1");
                       b.units[0].inBootloader = true;
                   },
                   {"status", "--json"}, kExitNotReady,
                   "{\"state\":\"wrong-mode\",\"exitCode\":6,\"path\":\"unit \\\"A\\\"\\\\1\","
                   "\"unit\":\"ZELQUAD\",\"unitVersion\":\"1.2\",\"escType\":null,"
                   "\"escBootloaderVersion\":null,\"escVersion\":null,\"carriedVersion\":\"3.3\","
                   "\"candidates\":null,\"systemError\":null,\"schemaVersion\":1,"
                   "\"hint\":\"A programming unit was found on the USB Port which is in the "
                   "wrong mode. To update the ESC do the following:\"}\n"},
        StatusCase{"GermanJsonKeepsUmlauts",
                   [](Bench& b) {
                       b.plugReady(0, kFirstPath);
                       b.units[0].escState = 1;
                       b.around.language = Language::german;
                   },
                   {"status", "--json", "--unit", kFirstPathText}, kExitNotReady,
                   "{\"state\":\"no-updatable-esc\",\"exitCode\":6,"
                   "\"path\":\"\\\\\\\\?\\\\hid#vid_f0e1&pid_0002#first\",\"unit\":\"TAVILINK\","
                   "\"unitVersion\":\"1.2\",\"escType\":null,\"escBootloaderVersion\":null,"
                   "\"escVersion\":null,\"carriedVersion\":\"3.3\",\"candidates\":null,"
                   "\"systemError\":null,\"schemaVersion\":1,"
                   "\"hint\":\"Es wurde eine Programmiereinheit "
                   "gefunden, an der jedoch kein updatefähiger Regler angeschlossen wurde. Gehen "
                   "Sie folgendermaßen vor, um ein Update der Regler Software "
                   "durchzuführen:\"}\n"},
        StatusCase{"SeveralUnitsJson", plugTwoReady, {"status", "--json"}, kExitSeveralUnits,
                   "{\"state\":\"several-units\",\"exitCode\":4,\"path\":null,\"unit\":null,"
                   "\"unitVersion\":null,\"escType\":null,\"escBootloaderVersion\":null,"
                   "\"escVersion\":null,\"carriedVersion\":\"3.3\",\"candidates\":["
                   "\"\\\\\\\\?\\\\hid#vid_f0e1&pid_0002#first\","
                   "\"\\\\\\\\?\\\\hid#vid_f0e1&pid_0001#second\"],\"systemError\":null,"
                   "\"schemaVersion\":1,\"hint\":\"Several programming units are attached. "
                   "Choose one with --unit PATH:\"}\n"}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST_F(CliTest, StatusOfAnIncompatibleEscNamesTheSupportedTypeThenTheHintAndSteps) {
    b.plugReady(0, kFirstPath);
    simSetEscType(b.units[0], kOtherEscType, 0x02000105);
    const FlasherRun run = runFlasher(b, {"status"});
    EXPECT_EQ(run.exitCode, kExitIncompatible);
    const std::size_t notice = run.out.find("with the type 'ZIRVANO 60 LV'");
    const std::size_t hint = run.out.find("The connected ESC is not compatible");
    const std::size_t steps = run.out.find("\n1.)\nDisconnect the TESSERAN ESC");
    ASSERT_NE(notice, std::string::npos) << run.out;
    ASSERT_NE(steps, std::string::npos) << run.out;
    EXPECT_LT(notice, hint);
    EXPECT_LT(hint, steps);
}

TEST_F(CliTest, ListShowsEveryUnitWithItsStateAndWhyOneCannotBeUsed) {
    b.plugReady(0, kFirstPath);
    b.plugReadyZelquad(1, kSecondPath);
    b.units[1].inBootloader = true;
    SimUnit silent = simReadyUnit();
    silent.faults.push_back({Identify, 1, SimFaultKind::noAnswer, 0});
    simBusPlugUnit(silent, u"silent");
    SimDevice closed;
    closed.path = u"closed";
    closed.openable = false;
    simBusPlug(closed);
    SimDevice mouse;
    mouse.path = u"mouse";
    mouse.vendorId = 0x046D;
    simBusPlug(mouse);
    b.around.openFailuresArePermission = true;

    const FlasherRun run = runFlasher(b, {"list"});

    EXPECT_EQ(run.exitCode, kExitSuccess);
    EXPECT_EQ(run.out,
              "\\\\?\\hid#vid_f0e1&pid_0002#first  TAVILINK 1.2  ready\n"
              "\\\\?\\hid#vid_f0e1&pid_0001#second  ZELQUAD 1.2  in the wrong mode\n"
              "silent  TAVILINK  not identified: identification failed with result -3\n"
              "closed  cannot be opened: permission denied (system error 5)\n");
    // The advice is no result: stderr, so that a script reading the list gets the list alone.
    EXPECT_EQ(run.err,
              "Allow access with the udev rule 70-zirvano-programming-unit.rules from the "
              "source tree, then plug the unit in again:\n"
              "  sudo install -m 644 resources/linux/70-zirvano-programming-unit.rules "
              "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger "
              "--subsystem-match=hidraw\n");
    EXPECT_TRUE(gotNothingToWrite(b.units[0]));
}

// Each element is the object `status --unit PATH --json` prints, nulls where nothing is known.
TEST_F(CliTest, ListJsonHasTheStatusObjectOfEveryUnitInTheListsOrder) {
    b.plugReady(0, kFirstPath);
    simSetEscType(b.units[0], kOtherEscType, 0x02000105);
    b.plugReadyZelquad(1, kSecondPath);
    b.units[1].inBootloader = true;
    SimUnit narrow = simReadyUnit();
    narrow.outputReportLength = 8;
    narrow.inputReportLength = 8;
    simBusPlugUnit(narrow, u"narrow");
    SimDevice closed;
    closed.path = u"closed";
    closed.openable = false;
    simBusPlug(closed);
    SimDevice mouse;
    mouse.path = u"mouse";
    mouse.vendorId = 0x046D;
    simBusPlug(mouse);
    b.around.openFailuresArePermission = true;

    const FlasherRun run = runFlasher(b, {"list", "--json"});

    EXPECT_EQ(run.exitCode, kExitSuccess);
    EXPECT_EQ(run.out,
              "[\n"
              "{\"state\":\"incompatible-esc\",\"exitCode\":7,"
              "\"path\":\"\\\\\\\\?\\\\hid#vid_f0e1&pid_0002#first\",\"unit\":\"TAVILINK\","
              "\"unitVersion\":\"1.2\",\"escType\":\"0B07403C\",\"escBootloaderVersion\":\"2.1.5\","
              "\"escVersion\":\"3.2\",\"carriedVersion\":\"3.3\",\"candidates\":null,"
              "\"systemError\":null,\"schemaVersion\":1,\"hint\":\"The connected ESC is not "
              "compatible with this updater. Connect compatible ESC and follow steps below to "
              "update ESC Software:\"},\n"
              "{\"state\":\"wrong-mode\",\"exitCode\":6,"
              "\"path\":\"\\\\\\\\?\\\\hid#vid_f0e1&pid_0001#second\",\"unit\":\"ZELQUAD\","
              "\"unitVersion\":\"1.2\",\"escType\":null,\"escBootloaderVersion\":null,"
              "\"escVersion\":null,\"carriedVersion\":\"3.3\",\"candidates\":null,"
              "\"systemError\":null,\"schemaVersion\":1,\"hint\":\"A programming unit was found "
              "on the USB Port which is in the wrong mode. To update the ESC do the "
              "following:\"},\n"
              "{\"state\":\"unidentified\",\"exitCode\":6,\"path\":\"narrow\",\"unit\":\"TAVILINK\","
              "\"unitVersion\":null,\"escType\":null,\"escBootloaderVersion\":null,"
              "\"escVersion\":null,\"carriedVersion\":\"3.3\",\"candidates\":null,"
              "\"systemError\":null,\"schemaVersion\":1,\"hint\":\"The programming unit narrow "
              "could not be identified: its reports cannot carry an update (output 8 bytes, "
              "input 8 bytes).\"},\n"
              "{\"state\":\"cannot-open\",\"exitCode\":5,\"path\":\"closed\",\"unit\":null,"
              "\"unitVersion\":null,\"escType\":null,\"escBootloaderVersion\":null,"
              "\"escVersion\":null,\"carriedVersion\":\"3.3\",\"candidates\":null,"
              "\"systemError\":5,\"schemaVersion\":1,\"hint\":\"The programming unit closed "
              "cannot be opened: permission denied (system error 5).\"}\n"
              "]\n");
    EXPECT_TRUE(holds(run.err, "udev rule")) << "the advice stays on stderr";
    EXPECT_TRUE(gotNothingToWrite(b.units[0]));

    std::string statuses = "[\n";
    for (const char* path : {kFirstPathText, kSecondPathText, "narrow", "closed"}) {
        if (statuses.size() > 2) statuses.replace(statuses.size() - 1, 1, ",\n");
        statuses += runFlasher(b, {"status", "--json", "--unit", path}).out;
    }
    EXPECT_EQ(run.out, statuses + "]\n");
}

TEST_F(CliTest, ListOfAnIncompatibleEscShowsItsType) {
    b.plugReady(0, kFirstPath);
    simSetEscType(b.units[0], kOtherEscType, 0x02000105);
    const FlasherRun run = runFlasher(b, {"list"});
    EXPECT_EQ(run.out,
              "\\\\?\\hid#vid_f0e1&pid_0002#first  TAVILINK 1.2  incompatible ESC (type "
              "0B07403C)\n");
}

// With --json a script still gets its array, empty.
TEST_F(CliTest, ListWithoutUnitsEndsWithNoUnit) {
    const FlasherRun run = runFlasher(b, {"list"});
    const FlasherRun json = runFlasher(b, {"list", "--json"});
    EXPECT_EQ(run.exitCode, kExitNoUnit);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(holds(run.err, "No programming unit was found on the USB Port."));
    EXPECT_EQ(json.exitCode, kExitNoUnit);
    EXPECT_EQ(json.out, "[]\n");
    EXPECT_EQ(json.err, run.err);
}

TEST_F(CliTest, UnreadableDeviceListSaysSo) {
    simBusReset(false);
    const FlasherRun run = runFlasher(b, {"status"});
    EXPECT_EQ(run.exitCode, kExitNoUnit);
    EXPECT_TRUE(holds(run.out, "The list of HID devices cannot be read (system error ")) << run.out;

    const FlasherRun json = runFlasher(b, {"status", "--json"});
    EXPECT_TRUE(holds(json.out, "\"state\":\"no-unit\",")) << json.out;
    EXPECT_FALSE(holds(json.out, "\"systemError\":null")) << json.out;
    const FlasherRun list = runFlasher(b, {"list", "--json"});
    EXPECT_EQ(list.exitCode, kExitNoUnit);
    EXPECT_EQ(list.out, "[]\n");
    EXPECT_TRUE(holds(list.err, "The list of HID devices cannot be read (system error "))
        << list.err;
}

// ---------------------------------------------------------------------------------------------
// The command line.

struct UsageCase {
    const char* name;
    Language language;
    std::vector<const char*> arguments;
    const char* err;  // exactly
};

void PrintTo(const UsageCase& row, std::ostream* out) { *out << row.name; }

class UsageError : public CliTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageError, EndsWithTheUsageCodeBeforeAnyDeviceIsTouched) {
    const UsageCase& c = GetParam();
    b.plugReady(0, kFirstPath);
    b.around.language = c.language;
    const FlasherRun run = runFlasher(b, c.arguments);
    EXPECT_EQ(run.exitCode, kExitUsage);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(b.units[0].received.empty());
}

#define USAGE_ERROR(problem) "zirvano-flash: " problem "\nRun 'zirvano-flash --help' for usage.\n"

INSTANTIATE_TEST_SUITE_P(
    CliTest, UsageError,
    ::testing::Values(
        UsageCase{"NoCommand", Language::english, {}, USAGE_ERROR("no command given")},
        UsageCase{"UnknownCommand", Language::english, {"flash"},
                  USAGE_ERROR("unknown command 'flash'")},
        UsageCase{"UnknownOption", Language::english, {"update", "--force"},
                  USAGE_ERROR("unknown option '--force' for update")},
        UsageCase{"UnitWithoutValue", Language::english, {"update", "--unit"},
                  USAGE_ERROR("option --unit needs a value")},
        UsageCase{"UnitFollowedByAnOption", Language::english, {"status", "--unit", "--json"},
                  USAGE_ERROR("option --unit needs a value")},
        UsageCase{"EmptyUnitValue", Language::english, {"status", "--unit="},
                  USAGE_ERROR("option --unit needs a value")},
        UsageCase{"UnitGivenTwice", Language::english,
                  {"update", "--unit", "a", "--unit=b"}, USAGE_ERROR("option --unit given twice")},
        UsageCase{"JsonOnUpdate", Language::english, {"update", "--json"},
                  USAGE_ERROR("unknown option '--json' for update")},
        UsageCase{"YesOnStatus", Language::english, {"status", "--yes"},
                  USAGE_ERROR("unknown option '--yes' for status")},
        UsageCase{"RepeatOnStatus", Language::english, {"status", "--repeat"},
                  USAGE_ERROR("unknown option '--repeat' for status")},
        UsageCase{"WaitGivenTwice", Language::english, {"update", "--wait", "--repeat", "--wait"},
                  USAGE_ERROR("option --wait given twice")},
        UsageCase{"UnitOnList", Language::english, {"list", "--unit", "a"},
                  USAGE_ERROR("unknown option '--unit' for list")},
        UsageCase{"JsonGivenTwiceOnList", Language::english, {"list", "--json", "--json"},
                  USAGE_ERROR("option --json given twice")},
        UsageCase{"YesOnList", Language::english, {"list", "--json", "--yes"},
                  USAGE_ERROR("unknown option '--yes' for list")},
        UsageCase{"YesGivenTwice", Language::english, {"update", "--yes", "--yes"},
                  USAGE_ERROR("option --yes given twice")},
        UsageCase{"GermanUnknownCommand", Language::german, {"flash"},
                  "zirvano-flash: unbekannter Befehl 'flash'\n"
                  "'zirvano-flash --help' zeigt den Aufruf.\n"}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

// The exit codes as the README documents them for scripts, written out here rather than taken
// from the program: a code that moves, or two outcomes that come to share one, fails this.

TEST_F(CliTest, HelpShowsTheCommandsAndExactlyTheDocumentedExitCodes) {
    const FlasherRun run = runFlasher(b, {"update", "--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(holds(run.out,
                      "  zirvano-flash update [--unit PATH] [--yes] [--allow-downgrade] "
                      "[--wait [--repeat]]\n"));
    std::string table = "Exit codes:\n";
    for (const auto& row : kDocumentedExitCodes) {
        char line[256];
        std::snprintf(line, sizeof line, "  %2s  %s\n", row[0], row[1]);
        table += line;
    }
    const std::size_t at = run.out.find("Exit codes:\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(run.out.substr(at), table);
}

#ifdef MANUAL_PAGE
// The manual page's EXIT STATUS, made from the program's table at build time, lists the same
// codes with the same meanings as the README's table.
TEST(ManualPage, ExitStatusListsExactlyTheDocumentedExitCodes) {
    std::ifstream page(MANUAL_PAGE);
    ASSERT_TRUE(page.is_open()) << MANUAL_PAGE;
    std::vector<std::pair<std::string, std::string>> rows;
    bool inSection = false;
    for (std::string line; std::getline(page, line);) {
        if (line.rfind(".SH ", 0) == 0) inSection = line == ".SH EXIT STATUS";
        if (!inSection || line.rfind(".B ", 0) != 0) continue;
        std::string meaning;
        std::getline(page, meaning);
        for (const char* roff : {"\\fB", "\\fR"})
            for (std::size_t at; (at = meaning.find(roff)) != std::string::npos;)
                meaning.erase(at, 3);
        for (std::size_t at; (at = meaning.find("\\-")) != std::string::npos;) meaning.erase(at, 1);
        rows.emplace_back(line.substr(3), meaning);
    }
    std::vector<std::pair<std::string, std::string>> documented;
    for (const auto& row : kDocumentedExitCodes) documented.emplace_back(row[0], row[1]);
    EXPECT_EQ(rows, documented);
}
#endif

// Both languages: the help's text runs whole into its table of exit codes, and --json is
// there for list as for status.
struct HelpCase {
    Language language;
    const char* json;
    const char* intoTheTable;
};

TEST_F(CliTest, HelpInEachLanguageIsWholeAndNamesJsonForList) {
    const HelpCase cases[] = {
        {Language::english, "  --json              status as one JSON object, list as an array",
         "must be updated again.\n\nExit codes:\n   0  success\n"},
        {Language::german, "  --json              status als ein JSON-Objekt, list als Array",
         "erneut\naktualisiert werden.\n\nRückgabewerte:\n   0  Erfolg\n"},
    };
    for (const HelpCase& c : cases) {
        b.around.language = c.language;
        const FlasherRun run = runFlasher(b, {"--help"});
        EXPECT_TRUE(holds(run.out, "  zirvano-flash list [--json]\n")) << run.out;
        EXPECT_TRUE(holds(run.out, c.json)) << run.out;
        EXPECT_TRUE(holds(run.out, c.intoTheTable)) << run.out;
    }
}

struct VersionCase {
    const char* name;
    Language language;
    bool placeholder;
    const char* out;
};

void PrintTo(const VersionCase& row, std::ostream* out) { *out << row.name; }

class Version : public CliTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(Version, SaysWhetherTheImageIsForFlashing) {
    const VersionCase& c = GetParam();
    b.around.language = c.language;
    b.around.placeholder = c.placeholder;
    const FlasherRun run = runFlasher(b, {"--version"});
    EXPECT_EQ(run.exitCode, kExitSuccess);
    EXPECT_EQ(run.out, c.out);
}

INSTANTIATE_TEST_SUITE_P(
    CliTest, Version,
    ::testing::Values(
        VersionCase{"Placeholder", Language::english, true,
                    "zirvano-flash 3.3 (TESSERAN ZIRVANO 60 LV)\n"
                    "This program carries a placeholder image, not for flashing.\n"},
        VersionCase{"GermanPlaceholder", Language::german, true,
                    "zirvano-flash 3.3 (TESSERAN ZIRVANO 60 LV)\n"
                    "Dieses Programm enthält ein Platzhalter-Abbild, nicht zum Flashen.\n"},
        VersionCase{"Release", Language::english, false,
                    "zirvano-flash 3.3 (TESSERAN ZIRVANO 60 LV)\n"}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The language on Linux.

struct LocaleCase {
    const char* name;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    Language language;
};

void PrintTo(const LocaleCase& row, std::ostream* out) { *out << row.name; }

class Locale : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(Locale, FirstVariableSetDecides) {
    const LocaleCase& c = GetParam();
    EXPECT_EQ(languageOfLocale(c.lcAll, c.lcMessages, c.lang), c.language);
}

INSTANTIATE_TEST_SUITE_P(
    CliTest, Locale,
    ::testing::Values(
        LocaleCase{"LangGerman", nullptr, nullptr, "de_DE.UTF-8", Language::german},
        LocaleCase{"LcAllOverridesLang", "C", nullptr, "de_DE.UTF-8", Language::english},
        LocaleCase{"EmptyLcAllCountsAsUnset", "", "de_AT.UTF-8", "en_US.UTF-8", Language::german},
        LocaleCase{"LcMessagesOverridesLang", nullptr, "en_GB.UTF-8", "de_DE", Language::english},
        LocaleCase{"NothingSet", nullptr, nullptr, nullptr, Language::english},
        LocaleCase{"SwissGerman", "de_CH.UTF-8", nullptr, nullptr, Language::german}),
    [](const ::testing::TestParamInfo<LocaleCase>& info) { return std::string(info.param.name); });

}  // namespace
