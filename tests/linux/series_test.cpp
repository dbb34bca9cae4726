// zirvano-flash update --wait --repeat, unmodified, at a bench on an emulated hidraw node: ESCs
// put on the unit's cable one after another (no USB event), a second series or program on the
// same unit, the unit unplugged and plugged in again, the terminal hanging up, the program
// killed mid-series with its record.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "link/commands.h"
#include "tests/linux/emulated_unit.h"
#include "tests/shared/exit_codes.h"

namespace {

// Bounds for a program that hangs; nothing is asserted on time. The one update needs 47 s of
// fixed pauses.
constexpr std::uint32_t kLookBoundMs = 20000;
constexpr std::uint32_t kUpdateBoundMs = 150000;
constexpr std::uint16_t kCurrentFirmware = 0x0303;  // the version the flasher carries
constexpr std::uint16_t kOldFirmware = 0x0302;
constexpr std::uint32_t kForeignType = 0x0B07403C;
constexpr useconds_t kPollUs = 50000;
constexpr std::uint32_t kSignalTakenBoundMs = 10000;
constexpr std::uint32_t kTransferBlock = 3;  // a block of the transfer, well after the erase

std::vector<std::uint8_t> carriedImage() {
    std::ifstream file(FIRMWARE_IMAGE_PATH, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Waits until the flasher has looked at the unit twice more: once the ESC was swapped, the
// second of those looks saw the new one.
bool waitForTwoLooks(EmulatedUnit* emulated) {
    const std::uint32_t before = emulatedUnitState(emulated).commandCounts[Identify];
    for (std::uint32_t waited = 0; waited < kLookBoundMs * 1000; waited += kPollUs) {
        if (emulatedUnitState(emulated).commandCounts[Identify] >= before + 2) return true;
        usleep(kPollUs);
    }
    return false;
}

bool onlyIdentification(const SimUnit& unit, std::size_t from, std::size_t to) {
    const std::vector<std::uint8_t> order = simCommandOrder(unit);
    for (std::size_t i = from; i < to; ++i)
        if (order[i] != Identify && order[i] != ReadUnitMemory && order[i] != ReadEscMemory &&
            order[i] != ReadEscBootInfo)
            return false;
    return true;
}

std::vector<std::string> series(std::vector<std::string> more = {}) {
    std::vector<std::string> command = {ZIRVANO_FLASH, "update", "--wait", "--repeat", "--yes"};
    command.insert(command.end(), more.begin(), more.end());
    return command;
}

std::string shownBy(const ProgramRun& run) { return run.output + run.errors; }

// A unit with nothing on its cable.
EmulatedUnit* plugUnitWithoutEsc() {
    SimUnit unit = simReadyUnit(kOldFirmware);
    simConnectEsc(unit, simNoEsc());
    return plugEmulatedUnit(unit);
}

// A series started on `emulated`, once it says it waits for an ESC; null when it does not.
RunningProgram* seriesWaitingForAnEsc(EmulatedUnit* emulated) {
    RunningProgram* flasher = startInMockEnvironment(emulated, series());
    if (flasher != nullptr && !waitForText(flasher, "Waiting for an ESC to update", kLookBoundMs)) {
        finishProgram(flasher, kLookBoundMs);
        return nullptr;
    }
    return flasher;
}

TEST(SeriesAtTheBench, ThreeEscsGiveOneSkipOneRefusalAndOneUpdate) {
    EmulatedUnit* emulated = plugEmulatedUnit(simReadyUnit(kCurrentFirmware));
    ASSERT_NE(emulated, nullptr);
    RunningProgram* flasher = startInMockEnvironment(
        emulated, {ZIRVANO_FLASH, "update", "--wait", "--repeat", "--yes"});
    ASSERT_NE(flasher, nullptr);

    EXPECT_TRUE(waitForText(flasher, "ESC 1: skipped, it already runs 3.3.", kLookBoundMs));
    swapEmulatedEsc(emulated, simNoEsc());
    EXPECT_TRUE(waitForTwoLooks(emulated));

    const std::size_t foreignFrom = emulatedUnitState(emulated).received.size();
    swapEmulatedEsc(emulated, simReadyEsc(kOldFirmware, kForeignType));
    EXPECT_TRUE(waitForText(flasher, "ESC 2: refused, type 0B07403C", kLookBoundMs));
    swapEmulatedEsc(emulated, simNoEsc());
    EXPECT_TRUE(waitForTwoLooks(emulated));
    const std::size_t foreignUntil = emulatedUnitState(emulated).received.size();

    swapEmulatedEsc(emulated, simReadyEsc(kOldFirmware));
    EXPECT_TRUE(waitForText(flasher, "ESC 3: updated to 3.3.", kUpdateBoundMs));
    EXPECT_TRUE(waitForText(flasher, "Disconnect the ESC to go on", kLookBoundMs));
    signalProgram(flasher, SIGINT);
    const ProgramRun run = finishProgram(flasher, kLookBoundMs);

    // The designed end of a series is no interruption: an exit code, not the signal.
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, kExitIncompatible) << run.errors;
    EXPECT_EQ(run.output,
              "ESC 1: skipped, it already runs 3.3.  [0 updated, 1 skipped, 0 refused, 0 failed]\n"
              "ESC 2: refused, type 0B07403C is no ZIRVANO 60 LV; nothing was written.  "
              "[0 updated, 1 skipped, 1 refused, 0 failed]\n"
              "ESC 3: updated to 3.3.  [1 updated, 1 skipped, 1 refused, 0 failed]\n"
              "Series ended: 1 updated, 1 skipped, 1 refused, 0 failed.\n");
    const SimUnit unit = emulatedUnitState(emulated);
    EXPECT_EQ(unit.commandCounts[EraseFirmware], 1u);
    EXPECT_EQ(unit.flash, carriedImage());
    EXPECT_FALSE(unit.locked);
    ASSERT_LT(foreignFrom, foreignUntil);
    EXPECT_TRUE(onlyIdentification(unit, foreignFrom, foreignUntil))
        << "the foreign ESC gets nothing but identification";
    unplugEmulatedUnit(emulated);
}

// --- Two series on one unit: the one that holds it keeps it between its looks. ---

enum class SecondStarts { whileTheFirstWaits, whileTheFirstUpdates };

const char* nameOf(SecondStarts when) {
    return when == SecondStarts::whileTheFirstWaits ? "StartedWhileTheFirstWaits"
                                                    : "StartedWhileTheFirstUpdates";
}
void PrintTo(SecondStarts when, std::ostream* out) { *out << nameOf(when); }

class TwoSeriesOnOneUnit : public ::testing::TestWithParam<SecondStarts> {};

TEST_P(TwoSeriesOnOneUnit, TheSecondNeverGetsTheUnitAndTheEscIsUpdatedOnce) {
    EmulatedUnit* emulated = plugUnitWithoutEsc();
    ASSERT_NE(emulated, nullptr);
    RunningProgram* first = seriesWaitingForAnEsc(emulated);
    ASSERT_NE(first, nullptr);
    if (GetParam() == SecondStarts::whileTheFirstUpdates) {
        holdAnswer(emulated, WriteDataBlock, kTransferBlock);
        swapEmulatedEsc(emulated, simReadyEsc(kOldFirmware));
        EXPECT_TRUE(waitForHeldAnswer(emulated, kLookBoundMs));
    }
    RunningProgram* second = startInMockEnvironment(emulated, series());
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(waitForText(second, "Unit: in use by another program", kLookBoundMs));
    // Looks of the first go on meanwhile, and the second keeps finding the unit held.
    if (GetParam() == SecondStarts::whileTheFirstWaits) {
        EXPECT_TRUE(waitForTwoLooks(emulated));
        swapEmulatedEsc(emulated, simReadyEsc(kOldFirmware));
    } else {
        releaseHeldAnswer(emulated);
    }
    EXPECT_TRUE(waitForText(first, "ESC 1: updated to 3.3.", kUpdateBoundMs));
    EXPECT_TRUE(waitForText(first, "Disconnect the ESC to go on", kLookBoundMs));
    // The ESC stays, still telling of its old firmware: a series that had not handled it would
    // take it for a new one.
    EXPECT_TRUE(waitForTwoLooks(emulated));
    EXPECT_TRUE(waitForTwoLooks(emulated));
    signalProgram(second, SIGINT);
    const ProgramRun secondRun = finishProgram(second, kLookBoundMs);
    signalProgram(first, SIGINT);
    const ProgramRun firstRun = finishProgram(first, kLookBoundMs);

    EXPECT_EQ(secondRun.output, "Series ended: 0 updated, 0 skipped, 0 refused, 0 failed.\n")
        << secondRun.errors;
    EXPECT_EQ(secondRun.exitCode, kExitSuccess);
    EXPECT_EQ(firstRun.exitCode, kExitSuccess) << shownBy(firstRun);
    const SimUnit state = emulatedUnitState(emulated);
    EXPECT_EQ(state.commandCounts[EraseFirmware], 1u);
    EXPECT_EQ(state.commandCounts[SystemLock], 2u) << "locked and released once";
    EXPECT_EQ(state.flash, carriedImage());
    unplugEmulatedUnit(emulated);
}

INSTANTIATE_TEST_SUITE_P(Series, TwoSeriesOnOneUnit,
                         ::testing::Values(SecondStarts::whileTheFirstWaits,
                                           SecondStarts::whileTheFirstUpdates),
                         [](const ::testing::TestParamInfo<SecondStarts>& info) {
                             return std::string(nameOf(info.param));
                         });

// --- The unit unplugged and plugged in again at the same node, with --unit. ---

ProgramRun statusOfTheUnit(EmulatedUnit* emulated) {
    return runInMockEnvironment(emulated, {ZIRVANO_FLASH, "status", "--unit", kUnitNode},
                                kLookBoundMs);
}

// Nothing at the node is the unit gone, so the ESC has left; the unit plugged in there again is
// a new node, held anew at the series' next look, and let go when the series ends.
TEST(SeriesAtTheBench, UnitRepluggedAtItsNodeIsHeldAgainAndBringsANewEsc) {
    EmulatedUnit* emulated = plugEmulatedUnit(simReadyUnit(kCurrentFirmware));
    ASSERT_NE(emulated, nullptr);
    RunningProgram* flasher = startInMockEnvironment(emulated, series({"--unit", kUnitNode}));
    ASSERT_NE(flasher, nullptr);
    EXPECT_TRUE(waitForText(flasher, "ESC 1: skipped, it already runs 3.3.", kLookBoundMs));
    EXPECT_EQ(statusOfTheUnit(emulated).exitCode, kExitInUse) << "held between looks";

    unplugUnitNode(emulated);
    EXPECT_TRUE(waitForText(flasher, "Unit: none attached", kLookBoundMs));
    const ProgramRun absent = statusOfTheUnit(emulated);
    EXPECT_EQ(absent.exitCode, kExitNoUnit) << shownBy(absent);
    EXPECT_NE(absent.output.find("No programming unit at /dev/hidraw0."), std::string::npos)
        << shownBy(absent);

    ASSERT_TRUE(plugUnitNodeAgain(emulated, simReadyUnit(kCurrentFirmware)));
    EXPECT_TRUE(waitForText(flasher, "ESC 2: skipped, it already runs 3.3.", kLookBoundMs));
    EXPECT_TRUE(waitForTwoLooks(emulated));
    EXPECT_EQ(statusOfTheUnit(emulated).exitCode, kExitInUse) << "the new node is held too";

    signalProgram(flasher, SIGINT);
    const ProgramRun run = finishProgram(flasher, kLookBoundMs);
    EXPECT_EQ(run.exitCode, kExitSuccess) << shownBy(run);
    EXPECT_EQ(statusOfTheUnit(emulated).exitCode, kExitSuccess) << "let go at the end";
    unplugEmulatedUnit(emulated);
}

// --- The terminal hangs up. ---

TEST(SeriesAtTheBench, HangUpWhileWaitingEndsTheSeriesWithItsSummary) {
    EmulatedUnit* emulated = plugUnitWithoutEsc();
    ASSERT_NE(emulated, nullptr);
    RunningProgram* flasher = seriesWaitingForAnEsc(emulated);
    ASSERT_NE(flasher, nullptr);
    signalProgram(flasher, SIGHUP);
    const ProgramRun run = finishProgram(flasher, kLookBoundMs);

    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.signal, 0) << "its designed end";
    EXPECT_EQ(run.exitCode, kExitSuccess);
    EXPECT_EQ(run.output, "Series ended: 0 updated, 0 skipped, 0 refused, 0 failed.\n");
    EXPECT_EQ(statusOfTheUnit(emulated).exitCode, kExitNotReady) << "let go";
    unplugEmulatedUnit(emulated);
}

// --- A signal while a series works on an ESC: its designed end, after what may not be cut. ---

struct SignalInSeries {
    const char* name;
    std::uint8_t heldCommand;  // the signal comes while the answer to this request is awaited
    std::uint32_t occurrence;
    int signal;
    std::uint32_t erases;
    const char* output;
};

void PrintTo(const SignalInSeries& row, std::ostream* out) { *out << row.name; }

class SignalDuringASeries : public ::testing::TestWithParam<SignalInSeries> {};

TEST_P(SignalDuringASeries, EndsItAsDesignedWithNothingCutShort) {
    const SignalInSeries& row = GetParam();
    EmulatedUnit* emulated = plugEmulatedUnit(simReadyUnit(kOldFirmware));
    ASSERT_NE(emulated, nullptr);
    holdAnswer(emulated, row.heldCommand, row.occurrence);
    RunningProgram* flasher = startInMockEnvironment(emulated, series());
    ASSERT_NE(flasher, nullptr);
    ASSERT_TRUE(waitForHeldAnswer(emulated, kLookBoundMs));
    signalProgram(flasher, row.signal);
    ASSERT_TRUE(waitForSignalTaken(flasher, row.signal, kSignalTakenBoundMs));
    releaseHeldAnswer(emulated);
    const ProgramRun run = finishProgram(flasher, kUpdateBoundMs);

    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.signal, 0) << shownBy(run);
    EXPECT_EQ(run.exitCode, kExitSuccess);
    EXPECT_EQ(run.output, row.output);
    const SimUnit unit = emulatedUnitState(emulated);
    EXPECT_EQ(unit.commandCounts[EraseFirmware], row.erases);
    if (row.erases == 0)
        EXPECT_EQ(unit.commandCounts[SystemLock], 0u) << "nothing but identification was sent";
    else
        EXPECT_EQ(unit.flash, carriedImage());
    unplugEmulatedUnit(emulated);
}

// A look asks twice (the survey, then the unit found): the second ReadEscBootInfo is the look's
// last answer before the ESC is known to be ready.
INSTANTIATE_TEST_SUITE_P(
    Series, SignalDuringASeries,
    ::testing::Values(
        SignalInSeries{"CtrlCInTheLookThatFindsAReadyEsc", ReadEscBootInfo, 2, SIGINT, 0,
                       "Series ended: 0 updated, 0 skipped, 0 refused, 0 failed.\n"},
        SignalInSeries{"HangUpDuringTheTransferFinishesTheUpdate", WriteDataBlock, kTransferBlock,
                       SIGHUP, 1,
                       "ESC 1: updated to 3.3.  [1 updated, 0 skipped, 0 refused, 0 failed]\n"
                       "Series ended: 1 updated, 0 skipped, 0 refused, 0 failed.\n"}),
    [](const ::testing::TestParamInfo<SignalInSeries>& info) {
        return std::string(info.param.name);
    });

// --- The record, when the program dies in the middle of a series. ---

std::vector<std::string> linesOfFile(const std::string& path, std::string* whole) {
    std::ifstream file(path, std::ios::binary);
    *whole = std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    std::istringstream in(*whole);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// validate_json.py's verdict on one line against the record's schema: 0 accepted.
int validatedLine(const std::string& line, const std::string& file) {
    std::ofstream(file, std::ios::binary) << line << "\n";
    const std::string command = "/usr/bin/env -u LD_PRELOAD /usr/bin/python3 '" VALIDATE_JSON
                                "' '" RECORD_SCHEMA "' '" +
                                file + "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SeriesAtTheBench, KilledMidSeriesLeavesEveryEarlierLineWholeInTheRecord) {
    const std::string record = "./series_killed.record";
    std::remove(record.c_str());
    EmulatedUnit* emulated = plugEmulatedUnit(simReadyUnit(kCurrentFirmware));
    ASSERT_NE(emulated, nullptr);
    RunningProgram* flasher = startInMockEnvironment(emulated, series({"--record", record}));
    ASSERT_NE(flasher, nullptr);
    EXPECT_TRUE(waitForText(flasher, "ESC 1: skipped", kLookBoundMs));
    swapEmulatedEsc(emulated, simNoEsc());
    EXPECT_TRUE(waitForTwoLooks(emulated));
    swapEmulatedEsc(emulated, simReadyEsc(kOldFirmware, kForeignType));
    EXPECT_TRUE(waitForText(flasher, "ESC 2: refused", kLookBoundMs));
    swapEmulatedEsc(emulated, simNoEsc());
    EXPECT_TRUE(waitForTwoLooks(emulated));
    holdAnswer(emulated, WriteDataBlock, kTransferBlock);
    swapEmulatedEsc(emulated, simReadyEsc(kOldFirmware));
    ASSERT_TRUE(waitForHeldAnswer(emulated, kLookBoundMs));
    signalProgram(flasher, SIGKILL);
    releaseHeldAnswer(emulated);
    finishProgram(flasher, kLookBoundMs);

    std::string whole;
    const std::vector<std::string> lines = linesOfFile(record, &whole);
    ASSERT_EQ(lines.size(), 2u) << whole;
    EXPECT_EQ(whole.back(), '\n') << "no line cut short";
    EXPECT_NE(lines[0].find("\"outcome\":\"skipped\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"outcome\":\"refused\""), std::string::npos) << lines[1];
    for (const std::string& line : lines) {
        EXPECT_NE(line.find("\"unitSerial\":\"TL0000017\""), std::string::npos) << line;
        EXPECT_EQ(validatedLine(line, "./series_killed.line.json"), 0) << line;
    }
    unplugEmulatedUnit(emulated);
}

TEST(SeriesAtTheBench, RecordThatCannotBeOpenedIsRefusedBeforeAnythingIsSent) {
    EmulatedUnit* emulated = plugEmulatedUnit(simReadyUnit(kOldFirmware));
    ASSERT_NE(emulated, nullptr);
    const ProgramRun run = runInMockEnvironment(
        emulated, series({"--record", "/nonexistent-folder/bench.record"}), kLookBoundMs);
    EXPECT_EQ(run.exitCode, kExitCannotRecord) << shownBy(run);
    EXPECT_NE(run.errors.find("The record file /nonexistent-folder/bench.record cannot be opened "
                              "for appending (system error 2); nothing was sent."),
              std::string::npos)
        << run.errors;
    EXPECT_TRUE(emulatedUnitState(emulated).received.empty());
    unplugEmulatedUnit(emulated);
}

}  // namespace
