// Each of zirvano-flash's paths that opens the unit gives it back before the command returns:
// no descriptor left open, and the unit opens again in the same process. A claim left behind
// would make every other program of ours find the unit in use.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/commands.h"
#include "tests/linux/emulated_unit.h"
#include "tests/shared/exit_codes.h"

namespace {

constexpr std::uint32_t kRunBoundMs = 60000;
constexpr std::uint32_t kEraseErrorCode = 0x1234;
constexpr std::uint16_t kInstalledEscFirmware = 0x0302;
constexpr std::uint32_t kOtherEscType = 0x12345678;
constexpr std::uint32_t kReidentification = 2;
constexpr std::uint32_t kOneByteShort = 59;

// The flasher's documented exit codes.

struct ReleaseCase {
    const char* name;
    SimUnit unit;
    std::vector<std::string> arguments;
    int exitCode;  // tells that the command took the path it is named for
};

void PrintTo(const ReleaseCase& row, std::ostream* out) { *out << row.name; }

SimUnit readyUnit() { return simReadyUnit(kInstalledEscFirmware); }

SimUnit withFault(std::uint8_t command, std::uint32_t occurrence, SimFaultKind kind,
                  std::uint32_t code = 0) {
    SimUnit unit = readyUnit();
    unit.faults.push_back({command, occurrence, kind, code});
    return unit;
}

// The unit is named in these rows, so that it is identified once before the update asks again.
SimUnit escSwappedAtTheCheck() {
    SimUnit unit = withFault(Identify, kReidentification, SimFaultKind::swapEsc);
    unit.swapTo = simReadyEsc(kInstalledEscFirmware, kOtherEscType);
    return unit;
}

std::vector<ReleaseCase> releaseCases() {
    const std::vector<std::string> update = {"update", "--yes"};
    const std::vector<std::string> updateOfTheUnit = {"update", "--yes", "--unit", kUnitNode};
    const std::vector<std::string> statusOfTheUnit = {"status", "--unit", kUnitNode};
    return {
        {"List", readyUnit(), {"list"}, kExitSuccess},
        {"StatusOfAReadyUnit", readyUnit(), {"status"}, kExitSuccess},
        // Identification failed, and the link stays open to tell why.
        {"StatusOfAUnitNotIdentified",
         withFault(Identify, 1, SimFaultKind::cutShort, kOneByteShort), statusOfTheUnit,
         kExitNotReady},
        {"UpdateNotConfirmed", readyUnit(), {"update"}, kExitDeclined},
        {"UpdateFindingAnotherEscAtTheCheck", escSwappedAtTheCheck(), updateOfTheUnit,
         kExitEscChanged},
        {"UpdateEndedByARefusedErase",
         withFault(EraseFirmware, 1, SimFaultKind::errorAnswer, kEraseErrorCode), update,
         kExitEraseFailed},
    };
}

class ReleaseTest : public ::testing::TestWithParam<ReleaseCase> {
protected:
    void TearDown() override { unplugEmulatedUnit(emulated); }
    EmulatedUnit* emulated = nullptr;
};

TEST_P(ReleaseTest, CommandGivesTheUnitBack) {
    const ReleaseCase& row = GetParam();
    emulated = plugEmulatedUnit(row.unit);
    ASSERT_NE(emulated, nullptr);
    std::vector<std::string> command = {RELEASE_PROBE};
    command.insert(command.end(), row.arguments.begin(), row.arguments.end());
    const ProgramRun run = runInMockEnvironment(emulated, command, kRunBoundMs);
    const std::string shown = run.output + run.errors;
    ASSERT_TRUE(run.ended) << shown;
    EXPECT_NE(run.output.find("exit: " + std::to_string(row.exitCode) + "\n"), std::string::npos)
        << shown;
    EXPECT_NE(run.output.find("descriptors left open: 0\n"), std::string::npos) << shown;
    EXPECT_NE(run.output.find("open again: 0 (system error 0)\n"), std::string::npos) << shown;
}

INSTANTIATE_TEST_SUITE_P(Flasher, ReleaseTest, ::testing::ValuesIn(releaseCases()),
                         [](const ::testing::TestParamInfo<ReleaseCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
