// zirvano-flash, unmodified, against the simulated unit on an emulated hidraw node: what the user
// reads and the exit code a script gets, and what reached the unit. A whole update takes its
// real 47 seconds here; nothing is asserted on time.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/commands.h"
#include "tests/linux/emulated_unit.h"
#include "tests/shared/exit_codes.h"

namespace {

// The exit codes as the flasher's --help documents them; written out here so that a changed
// code fails a test instead of moving it along.

// A whole update needs 47 s of fixed pauses; a run still going after this has hung.
constexpr std::uint32_t kRunBoundMs = 150000;
constexpr std::uint16_t kInstalledEscFirmware = 0x0302;
constexpr std::uint32_t kOtherEscType = 0x12345678;
constexpr std::uint32_t kEscBootloaderVersion = 0x02000105;
constexpr std::uint16_t kOlderEscFirmware = 0x0301;
constexpr std::uint32_t kEraseErrorCode = 0x1234;
constexpr std::uint32_t kDoubledBlock = 1000;  // of 2038, well inside the transfer
constexpr std::uint32_t kCutBlock = 3;
constexpr std::uint32_t kCutAnswerBytes = 2;  // the report ID and the command's echo
// Long after the erase's answer is read (1 s after the request), long before the address is
// asked for (5 s after it): whatever the machine's load, it arrives unasked in between.
constexpr std::uint32_t kEraseDuplicateAfterMs = 2500;
constexpr std::uint32_t kLockReportBytesTaken = 4;  // the header alone
constexpr std::uint16_t kOtherVendorId = 0x1A2B;
constexpr std::uint16_t kOtherProductId = 0x3C4D;

// What the user reads, from the window's catalogue and the flasher's own texts.
constexpr const char* kRuleFile = "70-zirvano-programming-unit.rules";
constexpr const char* kLockFailedText = "System-Lock of programming unit couldn't be set";
constexpr const char* kEraseFailedText = "Error deleting old firmware";
constexpr const char* kBlockFailedText = "Error when writing last firmware data block";
constexpr const char* kEscChangedText = "no longer the one confirmed";
constexpr const char* kInUseText = "is in use by another program; nothing was sent to it";
constexpr const char* kListInUseText = "in use by another program";
constexpr const char* kPrompt = "Start the update? [y/N] ";
// The code line: the link's result, then the system's error.
constexpr const char* kReadCutShortCode = "0xfffffffd-0x00000047";  // read failed, EPROTO
constexpr const char* kOutOfStepCode = "0xfffffffa-0x00000000";
constexpr const char* kWriteCutShortCode = "0xfffffffe-0x00000005";  // write failed, EIO

std::vector<std::uint8_t> carriedImage() {
    std::ifstream file(FIRMWARE_IMAGE_PATH, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// What the unit is left with.
enum class UnitAfter {
    holdsTheCarriedImage,
    onlyAnsweredQuestions,  // identification reads, nothing that changes the ESC
    noBlockAfterTheErase,
    neverOpened,
    // The report the fault struck is the last one the unit received: nothing was sent after it.
    nothingAfterTheFaultedReport,
};

struct FlasherCase {
    const char* name;
    SimUnit unit;
    std::vector<std::string> arguments;
    int exitCode;
    std::vector<std::string> mentions;  // each appears in what the user reads
    UnitAfter unitAfter;
    NodeAccess access = NodeAccess::granted;
    std::vector<std::string> absent;       // none of these appears in what the user reads
    bool besideOtherMakersDevice = false;  // one that this user cannot open
    WriteCut writeCut{};                   // command 0: the system takes every report whole
};

void PrintTo(const FlasherCase& row, std::ostream* out) { *out << row.name; }

SimUnit readyUnit() { return simReadyUnit(kInstalledEscFirmware); }

SimUnit otherEscType() {
    SimUnit unit = readyUnit();
    simSetEscType(unit, kOtherEscType, kEscBootloaderVersion);
    return unit;
}

SimUnit withFault(std::uint8_t command, std::uint32_t occurrence, SimFaultKind kind,
                  std::uint32_t code = 0) {
    SimUnit unit = readyUnit();
    unit.faults.push_back({command, occurrence, kind, code});
    return unit;
}

// The ESC behind the unit becomes `esc` just as the update asks the unit about it again, after
// the user confirmed the one that was there. The unit is named, so that it is identified once
// before that.
constexpr std::uint32_t kReidentification = 2;
SimUnit swappedAtTheCheck(const SimEsc& esc) {
    SimUnit unit = withFault(Identify, kReidentification, SimFaultKind::swapEsc);
    unit.swapTo = esc;
    return unit;
}

FlasherCase denied(FlasherCase row) {
    row.access = NodeAccess::denied;
    return row;
}

FlasherCase besideOtherMakersDevice(FlasherCase row) {
    row.besideOtherMakersDevice = true;
    row.absent.push_back(kFirstOtherNode);
    return row;
}

FlasherCase withWriteCut(FlasherCase row, const WriteCut& cut) {
    row.writeCut = cut;
    return row;
}

const std::vector<std::string> kUpdate = {"update", "--yes"};
const std::vector<std::string> kUpdateOfTheUnit = {"update", "--yes", "--unit", kUnitNode};

std::vector<FlasherCase> flasherCases() {
    return {
        {"WholeUpdateInstallsTheCarriedImage",
         readyUnit(),
         kUpdate,
         kExitSuccess,
         {kUnitNode},
         UnitAfter::holdsTheCarriedImage},
        {"StatusOfAReadyUnitChangesNothing",
         readyUnit(),
         {"status"},
         kExitSuccess,
         {kUnitNode, "3.2"},
         UnitAfter::onlyAnsweredQuestions},
        {"UpdateRefusesAnotherEscType",
         otherEscType(),
         kUpdate,
         kExitIncompatible,
         {"not compatible with this updater"},
         UnitAfter::onlyAnsweredQuestions},
        {"EraseRefusedEndsTheUpdateWithItsCode",
         withFault(EraseFirmware, 1, SimFaultKind::errorAnswer, kEraseErrorCode),
         kUpdate,
         kExitEraseFailed,
         {"1234"},
         UnitAfter::noBlockAfterTheErase},
        // Inside an update a report nobody asked for means an answer may have been taken for
        // the wrong request: the next block is not sent.
        {"AnswerSentTwiceDuringTheTransferStopsAfterThatBlock",
         withFault(WriteDataBlock, kDoubledBlock, SimFaultKind::answerTwice),
         kUpdate,
         kExitBlockFailed,
         {kBlockFailedText, kOutOfStepCode},
         UnitAfter::nothingAfterTheFaultedReport},
        {"DuplicateOfTheEraseAnswerArrivingLateFailsTheErase",
         withFault(EraseFirmware, 1, SimFaultKind::duplicateLate, kEraseDuplicateAfterMs),
         kUpdate,
         kExitEraseFailed,
         {kEraseFailedText, kOutOfStepCode},
         UnitAfter::nothingAfterTheFaultedReport},
        // Zeros in place of the missing bytes would read as the unit's "done".
        {"EraseAnswerCutShortFailsTheErase",
         withFault(EraseFirmware, 1, SimFaultKind::cutShort, kCutAnswerBytes),
         kUpdate,
         kExitEraseFailed,
         {kEraseFailedText, kReadCutShortCode},
         UnitAfter::nothingAfterTheFaultedReport},
        {"BlockAnswerCutShortFailsTheBlock",
         withFault(WriteDataBlock, kCutBlock, SimFaultKind::cutShort, kCutAnswerBytes),
         kUpdate,
         kExitBlockFailed,
         {kBlockFailedText, kReadCutShortCode},
         UnitAfter::nothingAfterTheFaultedReport},
        withWriteCut({"CommandReportTakenOnlyInPartFailsItsStep",
                      readyUnit(),
                      kUpdate,
                      kExitLockFailed,
                      {kLockFailedText, kWriteCutShortCode},
                      UnitAfter::nothingAfterTheFaultedReport},
                     {SystemLock, 1, kLockReportBytesTaken}),
        {"EscSwappedForAnotherTypeBeforeTheLockIsNotWritten",
         swappedAtTheCheck(simReadyEsc(kInstalledEscFirmware, kOtherEscType)),
         kUpdateOfTheUnit,
         kExitEscChanged,
         {kEscChangedText, "not compatible with this updater"},
         UnitAfter::onlyAnsweredQuestions},
        {"EscSwappedForOneWithOtherFirmwareBeforeTheLockIsNotWritten",
         swappedAtTheCheck(simReadyEsc(kOlderEscFirmware)),
         kUpdateOfTheUnit,
         kExitEscChanged,
         {kEscChangedText, "3.1"},
         UnitAfter::onlyAnsweredQuestions},
        {"EscUnpluggedBeforeTheLockIsNotWritten",
         swappedAtTheCheck(simNoEsc()),
         kUpdateOfTheUnit,
         kExitEscChanged,
         {kEscChangedText},
         UnitAfter::onlyAnsweredQuestions},
        denied({"NodeThatCannotBeOpenedNamesTheUdevRule",
                readyUnit(),
                {"status"},
                kExitCannotOpen,
                {kUnitNode, kRuleFile},
                UnitAfter::neverOpened}),
        // Another maker's device is none of ours, whether it can be opened or not.
        besideOtherMakersDevice({"StatusBesideAnotherMakersDeviceFindsTheOneUnit",
                                 readyUnit(),
                                 {"status"},
                                 kExitSuccess,
                                 {kUnitNode},
                                 UnitAfter::onlyAnsweredQuestions}),
        besideOtherMakersDevice({"ListBesideAnotherMakersDeviceShowsOnlyTheUnit",
                                 readyUnit(),
                                 {"list"},
                                 kExitSuccess,
                                 {kUnitNode},
                                 UnitAfter::onlyAnsweredQuestions}),
    };
}

bool onlyQuestions(const SimUnit& unit) {
    for (std::uint8_t command : simCommandOrder(unit))
        if (command != Identify && command != ReadUnitMemory && command != ReadEscMemory &&
            command != ReadEscBootInfo)
            return false;
    return true;
}

bool receivedCommand(const SimUnit& unit, std::uint8_t wanted) {
    for (std::uint8_t command : simCommandOrder(unit))
        if (command == wanted) return true;
    return false;
}

// The report a row's fault strikes: the write cut's, or the unit's own fault's.
struct StruckReport {
    std::uint8_t command;
    std::uint32_t occurrence;
};

StruckReport struckReport(const FlasherCase& row) {
    if (row.writeCut.command != 0) return {row.writeCut.command, row.writeCut.occurrence};
    return {row.unit.faults.at(0).command, row.unit.faults.at(0).occurrence};
}

class FlasherTest : public ::testing::TestWithParam<FlasherCase> {
protected:
    void TearDown() override { unplugEmulatedUnit(emulated); }
    EmulatedUnit* emulated = nullptr;
};

std::vector<std::string> flasherCommand(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {ZIRVANO_FLASH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

TEST_P(FlasherTest, EndsAsTheUserAndTheUnitExpect) {
    const FlasherCase& row = GetParam();
    emulated = plugEmulatedUnit(row.unit, row.access);
    ASSERT_NE(emulated, nullptr);
    if (row.besideOtherMakersDevice) {
        ASSERT_TRUE(plugOtherDevice(emulated, kOtherVendorId, kOtherProductId, NodeAccess::denied));
    }
    if (row.writeCut.command != 0) cutWrite(emulated, row.writeCut);
    const ProgramRun run =
        runInMockEnvironment(emulated, flasherCommand(row.arguments), kRunBoundMs);
    const std::string shown = run.output + run.errors;
    ASSERT_TRUE(run.ended) << shown;
    EXPECT_EQ(run.exitCode, row.exitCode) << shown;
    for (const std::string& text : row.mentions)
        EXPECT_NE(shown.find(text), std::string::npos) << "missing: " << text << "\n" << shown;
    for (const std::string& text : row.absent)
        EXPECT_EQ(shown.find(text), std::string::npos) << "shown: " << text << "\n" << shown;

    const SimUnit unit = emulatedUnitState(emulated);
    switch (row.unitAfter) {
        case UnitAfter::holdsTheCarriedImage:
            EXPECT_TRUE(unit.flash == carriedImage())
                << "the unit holds " << unit.flash.size() << " bytes";
            break;
        case UnitAfter::onlyAnsweredQuestions:
            EXPECT_FALSE(unit.received.empty());
            EXPECT_TRUE(onlyQuestions(unit));
            break;
        case UnitAfter::noBlockAfterTheErase:
            EXPECT_TRUE(receivedCommand(unit, EraseFirmware));
            EXPECT_FALSE(receivedCommand(unit, WriteDataBlock));
            EXPECT_TRUE(unit.flash.empty());
            break;
        case UnitAfter::neverOpened: EXPECT_TRUE(unit.received.empty()); break;
        case UnitAfter::nothingAfterTheFaultedReport: {
            const StruckReport struck = struckReport(row);
            const std::vector<std::uint8_t> order = simCommandOrder(unit);
            ASSERT_FALSE(order.empty());
            EXPECT_EQ(order.back(), struck.command);
            EXPECT_EQ(unit.commandCounts[struck.command], struck.occurrence);
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Flasher, FlasherTest, ::testing::ValuesIn(flasherCases()),
                         [](const ::testing::TestParamInfo<FlasherCase>& info) {
                             return std::string(info.param.name);
                         });

// Something of ours that has the unit open while a second program comes.
enum class Holder {
    linkProbe,                // a program that opened the link and keeps it
    flasherAtItsPrompt,       // an update that waits for the user's confirmation
    flasherAwaitingAnAnswer,  // a status whose first answer the unit has not sent yet
};

struct SecondProgramCase {
    const char* name;
    Holder holder;
    std::vector<std::string> arguments;  // the second program's
    int exitCode;
    const char* mention;
};

void PrintTo(const SecondProgramCase& row, std::ostream* out) { *out << row.name; }

std::vector<SecondProgramCase> secondProgramCases() {
    return {
        {"StatusWhileAnotherProgramHoldsTheUnit",
         Holder::linkProbe,
         {"status"},
         kExitInUse,
         kInUseText},
        {"UpdateWhileAnotherProgramHoldsTheUnit", Holder::linkProbe, kUpdate, kExitInUse,
         kInUseText},
        {"ListWhileAnotherProgramHoldsTheUnit",
         Holder::linkProbe,
         {"list"},
         kExitSuccess,
         kListInUseText},
        {"StatusWhileAnUpdateWaitsForConfirmation",
         Holder::flasherAtItsPrompt,
         {"status"},
         kExitInUse,
         kInUseText},
        {"UpdateWhileAnUpdateWaitsForConfirmation", Holder::flasherAtItsPrompt, kUpdate, kExitInUse,
         kInUseText},
        {"UpdateWhileAnotherFlasherWaitsForAnAnswer", Holder::flasherAwaitingAnAnswer, kUpdate,
         kExitInUse, kInUseText},
    };
}

class SecondProgramTest : public ::testing::TestWithParam<SecondProgramCase> {
protected:
    void TearDown() override {
        if (first != nullptr) {
            releaseHeldAnswer(emulated);
            finishProgram(first, kRunBoundMs);
        }
        unplugEmulatedUnit(emulated);
    }

    // Starts the holder; true once it has the unit.
    bool startHolder(Holder holder) {
        switch (holder) {
            case Holder::linkProbe:
                first = startInMockEnvironment(emulated, {HIDRAW_LINK_PROBE, "hold"},
                                               ProgramInput::terminal);
                return first != nullptr && waitForText(first, "holding", kRunBoundMs);
            case Holder::flasherAtItsPrompt:
                first = startInMockEnvironment(emulated, flasherCommand({"update"}),
                                               ProgramInput::terminal);
                return first != nullptr && waitForText(first, kPrompt, kRunBoundMs);
            case Holder::flasherAwaitingAnAnswer:
                holdAnswer(emulated, Identify, 1);
                first = startInMockEnvironment(emulated, flasherCommand({"status"}));
                return first != nullptr && waitForHeldAnswer(emulated, kRunBoundMs);
        }
        return false;
    }

    EmulatedUnit* emulated = nullptr;
    RunningProgram* first = nullptr;
};

// How the holder ends once let go: the second program took nothing from it.
int holderExitCode(Holder holder) {
    switch (holder) {
        case Holder::linkProbe: return kExitSuccess;
        case Holder::flasherAtItsPrompt: return kExitDeclined;  // its terminal closed unanswered
        case Holder::flasherAwaitingAnAnswer: return kExitSuccess;
    }
    return -1;
}

// Every open hidraw handle gets every input report: a second program talking to the unit would
// take the first one's answers, and the first one the second's.
TEST_P(SecondProgramTest, SendsTheUnitNothingAndSaysItIsInUse) {
    const SecondProgramCase& row = GetParam();
    emulated = plugEmulatedUnit(readyUnit());
    ASSERT_NE(emulated, nullptr);
    ASSERT_TRUE(startHolder(row.holder));
    const std::size_t received = emulatedUnitState(emulated).received.size();

    const ProgramRun second =
        runInMockEnvironment(emulated, flasherCommand(row.arguments), kRunBoundMs);
    const std::string shown = second.output + second.errors;
    EXPECT_EQ(emulatedUnitState(emulated).received.size(), received);
    EXPECT_EQ(second.exitCode, row.exitCode) << shown;
    EXPECT_NE(shown.find(row.mention), std::string::npos) << shown;
    EXPECT_NE(shown.find(kUnitNode), std::string::npos) << shown;

    if (row.holder == Holder::flasherAwaitingAnAnswer) releaseHeldAnswer(emulated);
    const ProgramRun holder = finishProgram(first, kRunBoundMs);
    first = nullptr;
    EXPECT_EQ(holder.exitCode, holderExitCode(row.holder)) << holder.output << holder.errors;
}

INSTANTIATE_TEST_SUITE_P(Flasher, SecondProgramTest, ::testing::ValuesIn(secondProgramCases()),
                         [](const ::testing::TestParamInfo<SecondProgramCase>& info) {
                             return std::string(info.param.name);
                         });

class FlasherAtItsPromptTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (flasher != nullptr) finishProgram(flasher, kRunBoundMs);
        unplugEmulatedUnit(emulated);
    }
    EmulatedUnit* emulated = nullptr;
    RunningProgram* flasher = nullptr;
};

// The ESC the user confirmed is not the one there when the answer comes: a swap on the unit's
// cable makes no USB event.
TEST_F(FlasherAtItsPromptTest, EscSwappedWhileTheUserConfirmsIsNotWritten) {
    emulated = plugEmulatedUnit(readyUnit());
    ASSERT_NE(emulated, nullptr);
    flasher = startInMockEnvironment(emulated, flasherCommand({"update"}), ProgramInput::terminal);
    ASSERT_NE(flasher, nullptr);
    ASSERT_TRUE(waitForText(flasher, kPrompt, kRunBoundMs));
    swapEmulatedEsc(emulated, simReadyEsc(kInstalledEscFirmware, kOtherEscType));
    typeLine(flasher, "y");
    const ProgramRun run = finishProgram(flasher, kRunBoundMs);
    flasher = nullptr;
    const std::string shown = run.output + run.errors;
    EXPECT_EQ(run.exitCode, kExitEscChanged) << shown;
    EXPECT_NE(shown.find(kEscChangedText), std::string::npos) << shown;
    EXPECT_TRUE(onlyQuestions(emulatedUnitState(emulated)));
}

}  // namespace
