// `update --wait --repeat` on the simulated bus and its virtual clock: a bench where ESCs come
// and go while the flasher waits, scripted as events at virtual times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/command_line.h"
#include "link/commands.h"
#include "link/product_identity.h"
#include "link/programmer_link.h"
#include "link/device_io.h"
#include "sim/sim_device.h"
#include "tests/shared/exit_codes.h"

namespace {

const std::u16string kUnitPath = u"\\\\?\\hid#vid_f0e1&pid_0002#bench";
const std::u16string kOtherUnitPath = u"\\\\?\\hid#vid_f0e1&pid_0001#other";
constexpr const char* kUnitPathText = "\\\\?\\hid#vid_f0e1&pid_0002#bench";
constexpr std::uint32_t kForeignType = 0x0B07403C;
constexpr std::uint16_t kOldFirmware = 0x0302;
constexpr std::uint64_t kSecond = 1000;
// A look asks the unit twice (the survey of every unit, then the one found); the update asks
// again before its lock.
constexpr std::uint32_t kReidentification = 3;
// Longer than a whole update with its fixed pauses.
constexpr std::uint64_t kUpdateMs = 60 * kSecond;

// Something the person at the bench does at a virtual time, or once the unit has received
// `occurrence` reports of `command`.
struct BenchEvent {
    std::uint64_t atMs;
    std::uint8_t command;
    std::uint32_t occurrence;
    std::function<void()> act;
};

struct FlasherRun {
    int exitCode;
    std::string out;
    std::string err;
};

struct Bench;
Bench* bench = nullptr;

struct Bench {
    SimUnit unit = simReadyUnit(kOldFirmware);
    SimUnit otherUnit = simReadyUnit(kOldFirmware);
    std::vector<BenchEvent> events;
    std::size_t nextEvent = 0;
    int interrupts = 0;
    bool terminal = false;
    bool answerYes = true;
    int questionsAsked = 0;
    Language language = Language::english;
    // The --record file: its lines, and whether it can be opened at all.
    std::string record;
    bool recordOpens = true;
    int recordsOpen = 0;

    // The events are taken in order as the virtual clock passes them.
    void at(std::uint64_t ms, std::function<void()> act) {
        events.push_back({ms, 0, 0, std::move(act)});
    }
    void after(std::uint8_t command, std::uint32_t occurrence, std::function<void()> act) {
        events.push_back({0, command, occurrence, std::move(act)});
    }
    void connect(const SimEsc& esc) { simConnectEsc(unit, esc); }
    void ctrlC() { ++interrupts; }

    void actUpToNow() {
        while (nextEvent < events.size()) {
            const BenchEvent& event = events[nextEvent];
            const bool due = event.occurrence == 0
                                 ? event.atMs <= simNowMs()
                                 : unit.commandCounts[event.command] >= event.occurrence;
            if (!due) return;
            ++nextEvent;
            event.act();
        }
    }
};

void appendTo(const char* bytes, std::size_t length, void* context) {
    static_cast<std::string*>(context)->append(bytes, length);
}

StopRequest scriptedStop() {
    bench->actUpToNow();
    if (bench->interrupts >= 2) return StopRequest::insisted;
    return bench->interrupts == 1 ? StopRequest::asked : StopRequest::none;
}

bool answer(char* line, std::size_t size, void*) {
    ++bench->questionsAsked;
    std::snprintf(line, size, "%s", bench->answerYes ? "y" : "n");
    return true;
}

std::uint64_t virtualNow() { return simNowMs(); }
void nothingToDo(bool) {}
bool notPermission(std::uint32_t) { return false; }
bool anyPath(const char16_t*) { return true; }

constexpr std::uint32_t kNoSuchFolder = 2;
void* openRecord(const char*, std::uint32_t* systemError) {
    if (!bench->recordOpens) {
        *systemError = kNoSuchFolder;
        return nullptr;
    }
    ++bench->recordsOpen;
    return &bench->record;
}
bool appendRecord(void* file, const char* line, std::size_t length, std::uint32_t*) {
    static_cast<std::string*>(file)->append(line, length);
    return true;
}
void closeRecord(void*) { --bench->recordsOpen; }
// 2026-12-11T07:30:05.042Z, and on with the virtual clock.
constexpr std::uint64_t kUtcAtStartMs = 1796974205042ull;
std::uint64_t utcNow() { return kUtcAtStartMs + simNowMs(); }

FlasherRun runFlasher(Bench& b, std::vector<const char*> arguments) {
    bench = &b;
    FlasherRun run{};
    CliSetting setting{};
    setting.console.out = {appendTo, &run.out, b.terminal};
    setting.console.err = {appendTo, &run.err, b.terminal};
    setting.console.inputIsTerminal = b.terminal;
    setting.console.readLine = answer;
    setting.system = {virtualNow, scriptedStop, nothingToDo, nothingToDo, notPermission,
                      anyPath,    true,         openRecord,  appendRecord, closeRecord,
                      utcNow};
    setting.language = b.language;
    setting.image = kCarriedImage;
    arguments.insert(arguments.begin(), "zirvano-flash");
    run.exitCode = runCli(static_cast<int>(arguments.size()), arguments.data(), setting);
    return run;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::uint32_t erases(const SimUnit& unit) { return unit.commandCounts[EraseFirmware]; }

// The commands the unit received between two points of its record.
std::vector<std::uint8_t> commandsBetween(const SimUnit& unit, std::size_t from, std::size_t to) {
    const std::vector<std::uint8_t> order = simCommandOrder(unit);
    return std::vector<std::uint8_t>(order.begin() + static_cast<std::ptrdiff_t>(from),
                                     order.begin() + static_cast<std::ptrdiff_t>(to));
}

bool onlyIdentification(const std::vector<std::uint8_t>& commands) {
    return std::all_of(commands.begin(), commands.end(), [](std::uint8_t command) {
        return command == Identify || command == ReadUnitMemory || command == ReadEscMemory ||
               command == ReadEscBootInfo;
    });
}

class Series : public ::testing::Test {
protected:
    void SetUp() override {
        closeProgrammer();
        simBusReset();
    }
    void TearDown() override {
        EXPECT_FALSE(linkIsOpen()) << "the series closes its link";
        closeProgrammer();
        bench = nullptr;
    }
    void plug() { simBusPlugUnit(b.unit, kUnitPath); }
    Bench b;
};

// One already current, one foreign, one ready: one skip, one refusal, one update; the foreign
// ESC gets nothing but identification.
TEST_F(Series, ThreeEscsInARowGiveOneSkipOneRefusalAndOneUpdate) {
    b.unit = simReadyUnit(kCarriedFirmwareVersion);
    plug();
    std::size_t foreignFrom = 0;
    std::size_t foreignUntil = 0;
    b.at(3 * kSecond, [&] { b.connect(simNoEsc()); });
    b.at(5 * kSecond, [&] {
        foreignFrom = b.unit.received.size();
        b.connect(simReadyEsc(kOldFirmware, kForeignType));
    });
    b.at(8 * kSecond, [&] {
        foreignUntil = b.unit.received.size();
        b.connect(simNoEsc());
    });
    b.at(10 * kSecond, [&] { b.connect(simReadyEsc(kOldFirmware)); });
    b.at(10 * kSecond + kUpdateMs, [&] { b.ctrlC(); });

    const FlasherRun run = runFlasher(b, {"update", "--wait", "--repeat", "--yes"});

    const std::vector<std::string> out = linesOf(run.out);
    ASSERT_EQ(out.size(), 4u) << run.out;
    EXPECT_EQ(out[0], "ESC 1: skipped, it already runs 3.3.  [0 updated, 1 skipped, 0 refused, 0 failed]");
    EXPECT_EQ(out[1],
              "ESC 2: refused, type 0B07403C is no ZIRVANO 60 LV; nothing was written.  "
              "[0 updated, 1 skipped, 1 refused, 0 failed]");
    EXPECT_EQ(out[2], "ESC 3: updated to 3.3.  [1 updated, 1 skipped, 1 refused, 0 failed]");
    EXPECT_EQ(out[3], "Series ended: 1 updated, 1 skipped, 1 refused, 0 failed.");
    EXPECT_EQ(run.exitCode, kExitIncompatible) << "a refused ESC is what the exit code tells";
    EXPECT_EQ(erases(b.unit), 1u);
    EXPECT_EQ(b.unit.commandCounts[SystemLock], 2u) << "set and released once, for the one update";
    ASSERT_LT(foreignFrom, foreignUntil);
    EXPECT_TRUE(onlyIdentification(commandsBetween(b.unit, foreignFrom, foreignUntil)));
}

// An ESC that stays connected is never updated twice, whatever --allow-downgrade says; once it
// has been seen leaving, the same ESC coming back is new to the series.
struct StayCase {
    const char* name;
    bool allowDowngrade;
    bool reconnected;  // taken off and put back on the cable after its update
    unsigned updates;
    const char* last;  // the summary
};

class EscThatStays : public Series, public ::testing::WithParamInterface<StayCase> {};
void PrintTo(const StayCase& row, std::ostream* out) { *out << row.name; }

TEST_P(EscThatStays, IsUpdatedOnceWhileItStaysConnected) {
    const StayCase& row = GetParam();
    plug();
    if (row.reconnected) {
        b.at(kUpdateMs, [&] { b.connect(simNoEsc()); });
        b.at(kUpdateMs + 2 * kSecond, [&] { b.connect(simReadyEsc(kCarriedFirmwareVersion)); });
    }
    b.at(3 * kUpdateMs, [&] { b.ctrlC(); });
    std::vector<const char*> arguments{"update", "--wait", "--repeat", "--yes"};
    if (row.allowDowngrade) arguments.push_back("--allow-downgrade");

    const FlasherRun run = runFlasher(b, arguments);

    EXPECT_EQ(erases(b.unit), row.updates);
    EXPECT_EQ(linesOf(run.out).back(), row.last);
    EXPECT_EQ(run.exitCode, kExitSuccess);
    EXPECT_NE(run.err.find("Disconnect the ESC to go on with the next one"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscThatStays,
    ::testing::Values(
        StayCase{"Stays", false, false, 1, "Series ended: 1 updated, 0 skipped, 0 refused, 0 failed."},
        StayCase{"StaysWithAllowDowngrade", true, false, 1,
                 "Series ended: 1 updated, 0 skipped, 0 refused, 0 failed."},
        StayCase{"ReconnectedIsSkipped", false, true, 1,
                 "Series ended: 1 updated, 1 skipped, 0 refused, 0 failed."},
        StayCase{"ReconnectedWithAllowDowngradeIsUpdatedAgain", true, true, 2,
                 "Series ended: 2 updated, 0 skipped, 0 refused, 0 failed."}),
    [](const ::testing::TestParamInfo<StayCase>& info) { return info.param.name; });

TEST_F(Series, UnitUnpluggedWhileWaitingThenPluggedWithAReadyEscIsUpdated) {
    b.unit = simReadyUnit(kOldFirmware);
    simConnectEsc(b.unit, simNoEsc());
    plug();
    b.at(2 * kSecond, [&] { simBusUnplug(kUnitPath); });
    b.at(4 * kSecond, [&] {
        b.unit = simReadyUnit(kOldFirmware);
        plug();
    });
    b.at(4 * kSecond + kUpdateMs, [&] { b.ctrlC(); });

    const FlasherRun run = runFlasher(b, {"update", "--wait", "--repeat", "--yes"});

    EXPECT_EQ(erases(b.unit), 1u);
    EXPECT_EQ(run.exitCode, kExitSuccess);
    // Without a terminal the waiting line is written once per change, so a log reads well.
    const std::vector<std::string> err = linesOf(run.err);
    const auto said = [&](const std::string& line) {
        return std::count(err.begin(), err.end(), line);
    };
    EXPECT_EQ(said("Waiting for an ESC to update (Ctrl-C ends). Unit: no updatable ESC"), 1);
    EXPECT_EQ(said("Waiting for an ESC to update (Ctrl-C ends). Unit: none attached"), 1);
}

// A unit that vanishes in the middle of an update fails that ESC; the series goes on with the
// next unit plugged in and ends with the failure's exit code.
TEST_F(Series, UnitVanishingDuringAnUpdateFailsThatEscAndTheSeriesGoesOn) {
    b.unit.faults.push_back({WriteDataBlock, 100, SimFaultKind::disconnect, 0});
    plug();
    b.at(kUpdateMs, [&] { simBusUnplug(kUnitPath); });
    b.at(kUpdateMs + 2 * kSecond, [&] {
        b.unit = simReadyUnit(kOldFirmware);
        plug();
    });
    b.at(3 * kUpdateMs, [&] { b.ctrlC(); });

    const FlasherRun run = runFlasher(b, {"update", "--wait", "--repeat", "--yes"});

    const std::vector<std::string> out = linesOf(run.out);
    ASSERT_EQ(out.size(), 3u) << run.out;
    EXPECT_EQ(out[0], "ESC 1: failed, exit code 14.  [0 updated, 0 skipped, 0 refused, 1 failed]");
    EXPECT_EQ(out[1], "ESC 2: updated to 3.3.  [1 updated, 0 skipped, 0 refused, 1 failed]");
    EXPECT_EQ(run.exitCode, kExitBlockFailed);
    EXPECT_EQ(b.unit.flash.size(), kCarriedImage.size) << "the next unit got the whole image";
}

// Ctrl-C at each phase: the wait ends with the summary, an update in its transfer finishes
// first, one before its erase stops and gives back what it took.
struct StopCase {
    const char* name;
    std::uint8_t afterCommand;  // Ctrl-C once the unit received the first of these; 0: at 1 s
    std::uint32_t occurrence;
    int exitCode;
    std::uint32_t erases;
    const char* summary;
};

class CtrlC : public Series, public ::testing::WithParamInterface<StopCase> {};
void PrintTo(const StopCase& row, std::ostream* out) { *out << row.name; }

TEST_P(CtrlC, EndsTheSeriesWithItsSummary) {
    const StopCase& row = GetParam();
    simConnectEsc(b.unit, simNoEsc());
    plug();
    b.at(2 * kSecond, [&] { b.connect(simReadyEsc(kOldFirmware)); });
    if (row.afterCommand == 0)
        b.at(kSecond, [&] { b.ctrlC(); });
    else
        b.after(row.afterCommand, row.occurrence, [&] { b.ctrlC(); });

    const FlasherRun run = runFlasher(b, {"update", "--wait", "--repeat", "--yes"});

    EXPECT_EQ(run.exitCode, row.exitCode) << run.err;
    EXPECT_EQ(erases(b.unit), row.erases);
    EXPECT_EQ(linesOf(run.out).back(), row.summary);
    EXPECT_FALSE(b.unit.locked) << "the unit's lock is given back";
    EXPECT_FALSE(linkIsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Phases, CtrlC,
    ::testing::Values(
        StopCase{"WhileWaitingForAnEsc", 0, 0, kExitSuccess, 0,
                 "Series ended: 0 updated, 0 skipped, 0 refused, 0 failed."},
        StopCase{"BeforeTheErase", SystemLock, 1, kExitInterrupted, 0,
                 "Series ended: 0 updated, 0 skipped, 0 refused, 1 failed."},
        StopCase{"DuringTheTransfer", WriteDataBlock, 100, kExitSuccess, 1,
                 "Series ended: 1 updated, 0 skipped, 0 refused, 0 failed."},
        // The second SystemLock releases the lock at the end of the update.
        StopCase{"WhileWaitingForTheEscToLeave", SystemLock, 2, kExitSuccess, 1,
                 "Series ended: 1 updated, 0 skipped, 0 refused, 0 failed."}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

TEST_F(Series, AtATerminalItAsksOnceForTheWholeSeries) {
    b.terminal = true;
    plug();
    b.at(kUpdateMs, [&] { b.connect(simNoEsc()); });
    b.at(kUpdateMs + 2 * kSecond, [&] { b.connect(simReadyEsc(kOldFirmware)); });
    b.at(3 * kUpdateMs, [&] { b.ctrlC(); });

    const FlasherRun run = runFlasher(b, {"update", "--wait", "--repeat"});

    EXPECT_EQ(b.questionsAsked, 1);
    EXPECT_EQ(erases(b.unit), 2u);
    EXPECT_NE(run.err.find("Update every ESC connected from now on, one after another, until "
                           "Ctrl-C? [y/N] "),
              std::string::npos);
    // The waiting line is redrawn in place and blanked before a result line.
    EXPECT_NE(run.err.find("\rDisconnect the ESC to go on"), std::string::npos);
    EXPECT_EQ(run.exitCode, kExitSuccess);
}

struct RefusedStart {
    const char* name;
    bool terminal;
    bool answerYes;
    std::vector<const char*> arguments;
};

class SeriesNotStarted : public Series, public ::testing::WithParamInterface<RefusedStart> {};
void PrintTo(const RefusedStart& row, std::ostream* out) { *out << row.name; }

TEST_P(SeriesNotStarted, SendsNothing) {
    const RefusedStart& row = GetParam();
    b.terminal = row.terminal;
    b.answerYes = row.answerYes;
    plug();
    const FlasherRun run = runFlasher(b, row.arguments);
    EXPECT_EQ(run.exitCode, kExitDeclined);
    EXPECT_TRUE(b.unit.received.empty());
    EXPECT_TRUE(run.out.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SeriesNotStarted,
    ::testing::Values(
        RefusedStart{"NoTerminalAndNoYes", false, true, {"update", "--wait", "--repeat"}},
        RefusedStart{"AnsweredNo", true, false, {"update", "--repeat"}}),
    [](const ::testing::TestParamInfo<RefusedStart>& info) { return info.param.name; });

// --wait alone: an ESC that is not to be updated is told and the wait goes on; it ends after
// the one update with that update's exit code.
TEST_F(Series, WaitAloneEndsAfterTheFirstUpdate) {
    b.unit = simReadyUnit(kOldFirmware);
    simSetEscType(b.unit, kForeignType, kSimEscBootloaderVersion);
    plug();
    b.at(2 * kSecond, [&] { b.connect(simNoEsc()); });
    b.at(3 * kSecond, [&] { b.connect(simReadyEsc(kOldFirmware)); });

    const FlasherRun run = runFlasher(b, {"update", "--wait", "--yes"});

    const std::vector<std::string> out = linesOf(run.out);
    ASSERT_EQ(out.size(), 3u) << run.out;
    EXPECT_EQ(out[1], "ESC 2: updated to 3.3.  [1 updated, 0 skipped, 1 refused, 0 failed]");
    EXPECT_EQ(erases(b.unit), 1u);
    EXPECT_EQ(run.exitCode, kExitIncompatible);
}

TEST_F(Series, WithSeveralUnitsItWaitsUntilOneIsNamedOrLeft) {
    plug();
    simBusPlugUnit(b.otherUnit, kOtherUnitPath);
    b.at(3 * kSecond, [&] { simBusUnplug(kOtherUnitPath); });
    b.at(3 * kSecond + kUpdateMs, [&] { b.ctrlC(); });

    const FlasherRun run = runFlasher(b, {"update", "--wait", "--repeat", "--yes"});

    EXPECT_NE(run.err.find("Unit: several attached, name one with --unit"), std::string::npos);
    EXPECT_EQ(erases(b.unit), 1u);
    EXPECT_EQ(erases(b.otherUnit), 0u);
    EXPECT_EQ(run.exitCode, kExitSuccess);
}

TEST_F(Series, GermanLinesAreGerman) {
    b.language = Language::german;
    b.unit = simReadyUnit(kCarriedFirmwareVersion);
    plug();
    b.at(2 * kSecond, [&] { b.ctrlC(); });

    const FlasherRun run = runFlasher(b, {"update", "--wait", "--repeat", "--yes"});

    EXPECT_EQ(run.out,
              "Regler 1: übersprungen, er hat bereits 3.3.  [0 aktualisiert, 1 übersprungen, 0 "
              "abgelehnt, 0 fehlgeschlagen]\n"
              "Serie beendet: 0 aktualisiert, 1 übersprungen, 0 abgelehnt, 0 fehlgeschlagen.\n");
    EXPECT_NE(run.err.find("Regler abziehen, um mit dem nächsten weiterzumachen"),
              std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// The unit is the series' own from its first look to its end.

// Another program of ours trying the unit between two looks, and after the series.
bool anotherProgramGetsTheUnit() {
    void* other = simOpenAsAnotherProgram(kUnitPath);
    if (other == kNoDevice) return false;
    deviceClose(other);
    return true;
}

TEST_F(Series, HoldsTheUnitBetweenLooksAndLetsGoAtItsEnd) {
    simConnectEsc(b.unit, simNoEsc());
    plug();
    std::vector<bool> tries;
    // Between two looks while waiting for an ESC, then while waiting for it to leave.
    b.at(1250, [&] { tries.push_back(anotherProgramGetsTheUnit()); });
    b.at(2 * kSecond, [&] { b.connect(simReadyEsc(kOldFirmware)); });
    b.at(2 * kSecond + kUpdateMs, [&] { tries.push_back(anotherProgramGetsTheUnit()); });
    b.at(2 * kSecond + kUpdateMs + kSecond, [&] { b.ctrlC(); });

    const FlasherRun run = runFlasher(b, {"update", "--wait", "--repeat", "--yes"});

    EXPECT_EQ(tries, (std::vector<bool>{false, false})) << "no other program gets it meanwhile";
    EXPECT_EQ(erases(b.unit), 1u);
    EXPECT_EQ(run.exitCode, kExitSuccess);
    EXPECT_TRUE(anotherProgramGetsTheUnit()) << "let go when the series ended";
}

// While the ESC just handled stays, a second unit plugged in makes the unit ambiguous, which says
// nothing about that ESC: once the second unit is gone, the ESC is still the one handled.
TEST_F(Series, SeveralUnitsWhileTheEscStaysAreNoSignThatItLeft) {
    plug();
    b.at(kUpdateMs, [&] { simBusPlugUnit(b.otherUnit, kOtherUnitPath); });
    b.at(kUpdateMs + 2 * kSecond, [&] { simBusUnplug(kOtherUnitPath); });
    b.at(kUpdateMs + 4 * kSecond, [&] { b.ctrlC(); });

    const FlasherRun run =
        runFlasher(b, {"update", "--wait", "--repeat", "--yes", "--allow-downgrade"});

    EXPECT_EQ(erases(b.unit), 1u);
    EXPECT_EQ(erases(b.otherUnit), 0u);
    EXPECT_EQ(linesOf(run.out).back(), "Series ended: 1 updated, 0 skipped, 0 refused, 0 failed.");
}

// With --unit, an unplugged unit leaves nothing at its path: its ESC has left, and the unit
// plugged in there next brings a new one.
TEST_F(Series, WithUnitOptionAnUnpluggedUnitMeansItsEscLeft) {
    plug();
    b.at(kUpdateMs, [&] { simBusUnplug(kUnitPath); });
    b.at(kUpdateMs + 2 * kSecond, [&] { simBusPlugUnit(b.otherUnit, kUnitPath); });
    b.at(3 * kUpdateMs, [&] { b.ctrlC(); });

    const FlasherRun run =
        runFlasher(b, {"update", "--wait", "--repeat", "--yes", "--unit", kUnitPathText});

    EXPECT_EQ(erases(b.unit), 1u);
    EXPECT_EQ(erases(b.otherUnit), 1u) << run.err;
    EXPECT_NE(run.err.find("Waiting for an ESC to update (Ctrl-C ends). Unit: none attached"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.exitCode, kExitSuccess);
}

// Ctrl-C or SIGTERM at any moment before the lock is sent is the series' designed end: the
// ESC found ready is left as it was and nothing counts as failed.
struct BeforeTheLock {
    const char* name;
    std::uint8_t afterCommand;  // the stop comes once the unit received this
    std::uint32_t occurrence;
    int stops;  // 1: Ctrl-C; 2: Ctrl-C twice, as insisting as SIGTERM
};

class StopBeforeTheLock : public Series, public ::testing::WithParamInterface<BeforeTheLock> {};
void PrintTo(const BeforeTheLock& row, std::ostream* out) { *out << row.name; }

TEST_P(StopBeforeTheLock, EndsTheSeriesWithNothingFailed) {
    const BeforeTheLock& row = GetParam();
    plug();
    b.after(row.afterCommand, row.occurrence, [&] {
        for (int i = 0; i < row.stops; ++i) b.ctrlC();
    });

    const FlasherRun run =
        runFlasher(b, {"update", "--wait", "--repeat", "--yes", "--record", "bench.log"});

    EXPECT_EQ(run.exitCode, kExitSuccess) << run.err;
    EXPECT_EQ(run.out, "Series ended: 0 updated, 0 skipped, 0 refused, 0 failed.\n");
    EXPECT_EQ(b.unit.commandCounts[SystemLock], 0u) << "nothing but identification was sent";
    EXPECT_NE(b.record.find("\"outcome\":\"declined\""), std::string::npos) << b.record;
}

INSTANTIATE_TEST_SUITE_P(
    Phases, StopBeforeTheLock,
    ::testing::Values(BeforeTheLock{"CtrlCInTheLookThatFindsAReadyEsc", Identify, 1, 1},
                      BeforeTheLock{"CtrlCAsTheLookReadsTheEsc", ReadEscBootInfo, 2, 1},
                      BeforeTheLock{"CtrlCWhileTheEscIsAskedAgain", Identify, kReidentification, 1},
                      BeforeTheLock{"InsistingWhileTheEscIsAskedAgain", ReadEscBootInfo,
                                    kReidentification, 2}),
    [](const ::testing::TestParamInfo<BeforeTheLock>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// --record: a line for every ESC identified.

std::vector<std::string> recordLines(const Bench& b) { return linesOf(b.record); }

// The raw JSON value of `name` in a record line: a quoted string, a number or null.
std::string fieldOf(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const std::size_t at = line.find(key);
    if (at == std::string::npos) return "(missing)";
    const std::size_t from = at + key.size();
    if (line[from] == '"') return line.substr(from, line.find('"', from + 1) - from + 1);
    return line.substr(from, line.find_first_of(",}", from) - from);
}

TEST_F(Series, RecordLineOfARefusedEscHasEveryField) {
    simSetEscType(b.unit, kForeignType, kSimEscBootloaderVersion);
    plug();

    const FlasherRun run = runFlasher(b, {"update", "--yes", "--record", "bench.log"});

    EXPECT_EQ(run.exitCode, kExitIncompatible);
    EXPECT_EQ(b.record,
              "{\"schemaVersion\":1,\"time\":\"2026-12-11T07:30:05.043Z\",\"unit\":\"TAVILINK\","
              "\"path\":\"\\\\\\\\?\\\\hid#vid_f0e1&pid_0002#bench\",\"unitSerial\":\"TL0000017\","
              "\"unitVersion\":\"1.2\",\"escType\":\"0B07403C\","
              "\"escBootloaderVersion\":\"2.1.5\",\"escVersionBefore\":\"3.2\","
              "\"escVersionAfter\":null,\"outcome\":\"refused\",\"failedStep\":null,"
              "\"unitCode\":null,\"exitCode\":7,\"durationMs\":0}\n");
    EXPECT_EQ(b.recordsOpen, 0) << "closed at the end";
}

// What became of the ESC, for each way an update can end.
struct RecordCase {
    const char* name;
    void (*prepare)(Bench& b);
    std::vector<const char*> arguments;
    const char* outcome;
    const char* failedStep;
    const char* unitCode;
    const char* exitCode;
    const char* versionAfter;
};

class RecordOfOneEsc : public Series, public ::testing::WithParamInterface<RecordCase> {};
void PrintTo(const RecordCase& row, std::ostream* out) { *out << row.name; }

TEST_P(RecordOfOneEsc, SaysWhatBecameOfIt) {
    const RecordCase& row = GetParam();
    row.prepare(b);
    plug();
    std::vector<const char*> arguments = row.arguments;
    arguments.push_back("--record");
    arguments.push_back("bench.log");

    const FlasherRun run = runFlasher(b, arguments);

    const std::vector<std::string> lines = recordLines(b);
    ASSERT_EQ(lines.size(), 1u) << b.record << run.err;
    EXPECT_EQ(fieldOf(lines[0], "outcome"), row.outcome);
    EXPECT_EQ(fieldOf(lines[0], "failedStep"), row.failedStep);
    EXPECT_EQ(fieldOf(lines[0], "unitCode"), row.unitCode);
    EXPECT_EQ(fieldOf(lines[0], "exitCode"), row.exitCode);
    EXPECT_EQ(std::to_string(run.exitCode), row.exitCode) << "the line says what the program did";
    EXPECT_EQ(fieldOf(lines[0], "escVersionBefore"), "\"3.2\"");
    EXPECT_EQ(fieldOf(lines[0], "escVersionAfter"), row.versionAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, RecordOfOneEsc,
    ::testing::Values(
        RecordCase{"Updated",
                   [](Bench& b) { b.unit.escVersionAfterUpdate = kCarriedFirmwareVersion; },
                   {"update", "--yes"}, "\"updated\"", "null", "null", "0", "\"3.3\""},
        RecordCase{"DeclinedAtThePrompt",
                   [](Bench& b) {
                       b.terminal = true;
                       b.answerYes = false;
                   },
                   {"update"}, "\"declined\"", "null", "null", "8", "null"},
        RecordCase{"EraseFailed",
                   [](Bench& b) {
                       b.unit.faults.push_back({EraseFirmware, 1, SimFaultKind::errorAnswer, 0x44});
                   },
                   {"update", "--yes"}, "\"failed\"", "\"erase\"", "\"00000044\"", "12", "null"},
        RecordCase{"StoppedAfterTheLock",
                   [](Bench& b) { b.after(SystemLock, 1, [&b] { b.ctrlC(); }); },
                   {"update", "--yes"}, "\"stopped\"", "\"unlock-flash\"", "null", "9", "null"},
        RecordCase{"ChangedBeforeTheLock",
                   [](Bench& b) {
                       b.unit.swapTo = simReadyEsc(kOldFirmware, kForeignType);
                       b.unit.faults.push_back(
                           {Identify, kReidentification, SimFaultKind::swapEsc, 0});
                   },
                   {"update", "--yes"}, "\"changed\"", "null", "null", "15", "null"},
        RecordCase{"FailedInASeries",
                   [](Bench& b) {
                       b.unit.faults.push_back({WriteDataBlock, 3, SimFaultKind::errorAnswer, 0x46});
                       b.at(kUpdateMs, [&b] { b.ctrlC(); });
                   },
                   {"update", "--wait", "--repeat", "--yes"}, "\"failed\"", "\"transfer\"",
                   "\"00000046\"", "14", "null"}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

TEST_F(Series, RecordHasALineForEachEscOfASeriesInItsOrder) {
    b.unit = simReadyUnit(kCarriedFirmwareVersion);
    plug();
    b.at(3 * kSecond, [&] { b.connect(simNoEsc()); });
    b.at(5 * kSecond, [&] { b.connect(simReadyEsc(kOldFirmware, kForeignType)); });
    b.at(8 * kSecond, [&] { b.connect(simNoEsc()); });
    b.at(10 * kSecond, [&] { b.connect(simReadyEsc(kOldFirmware)); });
    b.at(10 * kSecond + kUpdateMs, [&] { b.ctrlC(); });

    runFlasher(b, {"update", "--wait", "--repeat", "--yes", "--record=bench.log"});

    const std::vector<std::string> lines = recordLines(b);
    ASSERT_EQ(lines.size(), 3u) << b.record;
    EXPECT_EQ(fieldOf(lines[0], "outcome"), "\"skipped\"");
    EXPECT_EQ(fieldOf(lines[1], "outcome"), "\"refused\"");
    EXPECT_EQ(fieldOf(lines[1], "escType"), "\"0B07403C\"");
    EXPECT_EQ(fieldOf(lines[2], "outcome"), "\"updated\"");
    // From the look that found it to the end of its update: at least the fixed pauses.
    EXPECT_GE(std::stoul(fieldOf(lines[2], "durationMs")), 45860u);
    for (const std::string& line : lines) EXPECT_EQ(fieldOf(line, "unitSerial"), "\"TL0000017\"");
}

TEST_F(Series, RecordHasNoLineWhereNoEscWasIdentified) {
    simConnectEsc(b.unit, simNoEsc());
    plug();
    const FlasherRun run = runFlasher(b, {"update", "--yes", "--record", "bench.log"});
    EXPECT_EQ(run.exitCode, kExitNotReady);
    EXPECT_EQ(b.record, "");
}

TEST_F(Series, RecordThatCannotBeOpenedEndsTheCommandBeforeAnythingIsSent) {
    b.recordOpens = false;
    plug();
    for (const std::vector<const char*>& arguments :
         {std::vector<const char*>{"update", "--yes", "--record", "/no/such/folder/bench.log"},
          std::vector<const char*>{"update", "--wait", "--repeat", "--yes", "--record",
                                   "/no/such/folder/bench.log"}}) {
        const FlasherRun run = runFlasher(b, arguments);
        EXPECT_EQ(run.exitCode, kExitCannotRecord);
        EXPECT_EQ(run.err,
                  "The record file /no/such/folder/bench.log cannot be opened for appending "
                  "(system error 2); nothing was sent.\n");
        EXPECT_TRUE(b.unit.received.empty());
    }
}

}  // namespace
