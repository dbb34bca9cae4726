// zirvano-flash update --wait --repeat, unmodified, at a bench on an emulated hidraw node: three
// ESCs put on the unit's cable one after another (no USB event), then Ctrl-C to end the series.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/commands.h"
#include "tests/linux/emulated_unit.h"

namespace {

// Bounds for a program that hangs; nothing is asserted on time. The one update needs 47 s of
// fixed pauses.
constexpr std::uint32_t kLookBoundMs = 20000;
constexpr std::uint32_t kUpdateBoundMs = 150000;
constexpr std::uint16_t kCurrentFirmware = 0x0303;  // the version the flasher carries
constexpr std::uint16_t kOldFirmware = 0x0302;
constexpr std::uint32_t kForeignType = 0x0B07403C;
constexpr int kExitIncompatible = 7;
constexpr useconds_t kPollUs = 50000;

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

}  // namespace
