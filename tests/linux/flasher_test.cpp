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

namespace {

// The exit codes as the flasher's --help documents them; written out here so that a changed
// code fails a test instead of moving it along.
constexpr int kExitSuccess = 0;
constexpr int kExitCannotOpen = 5;
constexpr int kExitIncompatible = 7;
constexpr int kExitEraseFailed = 12;

// A whole update needs 47 s of fixed pauses; a run still going after this has hung.
constexpr std::uint32_t kRunBoundMs = 150000;
constexpr std::uint32_t kOtherEscType = 0x12345678;
constexpr std::uint32_t kEscBootloaderVersion = 0x02000105;
constexpr std::uint32_t kEraseErrorCode = 0x1234;
constexpr std::uint32_t kDoubledBlock = 1000;  // of 2038, well inside the transfer

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
};

struct FlasherCase {
    const char* name;
    SimUnit unit;
    NodeAccess access;
    std::vector<std::string> arguments;
    int exitCode;
    std::vector<std::string> mentions;  // each appears in what the user reads
    UnitAfter unitAfter;
};

void PrintTo(const FlasherCase& row, std::ostream* out) { *out << row.name; }

SimUnit readyUnit() { return simReadyUnit(0x0302); }

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

const std::vector<std::string> kUpdate = {"update", "--yes"};
constexpr const char* kNode = "/dev/hidraw0";
constexpr const char* kRuleFile = "70-zirvano-programming-unit.rules";

std::vector<FlasherCase> flasherCases() {
    return {
        {"WholeUpdateInstallsTheCarriedImage",
         readyUnit(),
         NodeAccess::granted,
         kUpdate,
         kExitSuccess,
         {kNode},
         UnitAfter::holdsTheCarriedImage},
        {"StatusOfAReadyUnitChangesNothing",
         readyUnit(),
         NodeAccess::granted,
         {"status"},
         kExitSuccess,
         {kNode, "3.2"},
         UnitAfter::onlyAnsweredQuestions},
        {"UpdateRefusesAnotherEscType",
         otherEscType(),
         NodeAccess::granted,
         kUpdate,
         kExitIncompatible,
         {"not compatible with this updater"},
         UnitAfter::onlyAnsweredQuestions},
        {"EraseRefusedEndsTheUpdateWithItsCode",
         withFault(EraseFirmware, 1, SimFaultKind::errorAnswer, kEraseErrorCode),
         NodeAccess::granted,
         kUpdate,
         kExitEraseFailed,
         {"1234"},
         UnitAfter::noBlockAfterTheErase},
        {"AnswerSentTwiceDuringTheTransferStillInstallsTheImage",
         withFault(WriteDataBlock, kDoubledBlock, SimFaultKind::answerTwice),
         NodeAccess::granted,
         kUpdate,
         kExitSuccess,
         {kNode},
         UnitAfter::holdsTheCarriedImage},
        {"NodeThatCannotBeOpenedNamesTheUdevRule",
         readyUnit(),
         NodeAccess::denied,
         {"status"},
         kExitCannotOpen,
         {kNode, kRuleFile},
         UnitAfter::neverOpened},
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

class FlasherTest : public ::testing::TestWithParam<FlasherCase> {
protected:
    void TearDown() override { unplugEmulatedUnit(emulated); }
    EmulatedUnit* emulated = nullptr;
};

TEST_P(FlasherTest, EndsAsTheUserAndTheUnitExpect) {
    const FlasherCase& row = GetParam();
    emulated = plugEmulatedUnit(row.unit, row.access);
    ASSERT_NE(emulated, nullptr);
    std::vector<std::string> command = {ZIRVANO_FLASH};
    command.insert(command.end(), row.arguments.begin(), row.arguments.end());
    const ProgramRun run = runInMockEnvironment(emulated, command, kRunBoundMs);
    const std::string shown = run.output + run.errors;
    ASSERT_TRUE(run.ended) << shown;
    EXPECT_EQ(run.exitCode, row.exitCode) << shown;
    for (const std::string& text : row.mentions)
        EXPECT_NE(shown.find(text), std::string::npos) << "missing: " << text << "\n" << shown;

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
    }
}

INSTANTIATE_TEST_SUITE_P(Flasher, FlasherTest, ::testing::ValuesIn(flasherCases()),
                         [](const ::testing::TestParamInfo<FlasherCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
