// zirvano-flash, unmodified, stopped by a real SIGINT or SIGTERM at each phase of its work against
// the simulated unit on an emulated hidraw node. Each signal comes while the program waits at a
// known point, for an answer the unit keeps back or at its prompt, and the answer follows only
// once the signal has been taken: where it lands does not depend on the machine's load.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "link/commands.h"
#include "tests/linux/emulated_unit.h"
#include "tests/shared/exit_codes.h"

namespace {

// Bounds for a program that hangs; nothing is asserted on time. A whole update needs 47 s of
// fixed pauses.
constexpr std::uint32_t kRunBoundMs = 150000;
constexpr std::uint32_t kSignalTakenBoundMs = 10000;
constexpr std::uint16_t kInstalledEscFirmware = 0x0302;

// The unit's option byte of the two requests that give back what an update took.
constexpr std::uint8_t kProtectionOn = 1;
constexpr std::uint8_t kLockReleased = 0;
// Without --unit the update identifies the unit in its survey, then when it looks at it, then
// again before the lock; with it, the survey is left out.
constexpr std::uint32_t kReidentification = 2;
constexpr std::uint32_t kSigtermBlock = 3;
constexpr std::uint32_t kSecondSigintBlock = 5;

// What the user reads.
constexpr const char* kPrompt = "Start the update? [y/N] ";
constexpr const char* kStoppedBeforeSending = "Stopped before anything was sent";
constexpr const char* kStoppedBeforeErase = "Stopped before the erase";
constexpr const char* kStoppedBetweenBlocks = "Stopped between two blocks";
constexpr const char* kFinishing = "Press Ctrl-C once more to stop at once";
constexpr const char* kStopped = "Stopped";

const std::vector<std::string> kUpdateOfTheUnit = {"update", "--yes", "--unit", kUnitNode};

// A request as the unit received it: its command and option byte.
struct Request {
    std::uint8_t command;
    std::uint8_t option;
};

bool operator==(const Request& a, const Request& b) {
    return a.command == b.command && a.option == b.option;
}

void PrintTo(const Request& request, std::ostream* out) {
    *out << "command 0x" << std::hex << int{request.command} << " option " << std::dec
         << int{request.option};
}

// The update's closing pair: write protection on, then the lock released.
const std::vector<Request> kGivenBack = {{WriteProtect, kProtectionOn},
                                         {SystemLock, kLockReleased}};

// Where a command report carries its command and its option.
constexpr std::size_t kCommandByte = 1;
constexpr std::size_t kOptionByte = 3;

std::vector<Request> requestsAfter(const SimUnit& unit, std::size_t index) {
    std::vector<Request> after;
    for (std::size_t i = index + 1; i < unit.received.size(); ++i)
        after.push_back(
            {unit.received[i].bytes.at(kCommandByte), unit.received[i].bytes.at(kOptionByte)});
    return after;
}

constexpr std::uint32_t kLast = 0;

// What the unit received after the `occurrence`th request of `command`, or after its last.
std::vector<Request> requestsAfter(const SimUnit& unit, std::uint8_t command,
                                   std::uint32_t occurrence) {
    std::size_t found = unit.received.size();
    std::uint32_t seen = 0;
    for (std::size_t i = 0; i < unit.received.size() && (occurrence == kLast || seen < occurrence);
         ++i) {
        if (unit.received[i].bytes.at(kCommandByte) != command) continue;
        found = i;
        ++seen;
    }
    // Never received: a list that matches no row's.
    if (seen == 0 || (occurrence != kLast && seen < occurrence)) return {{0, 0}};
    return requestsAfter(unit, found);
}

bool onlyQuestions(const SimUnit& unit) {
    for (std::uint8_t command : simCommandOrder(unit))
        if (command != Identify && command != ReadUnitMemory && command != ReadEscMemory &&
            command != ReadEscBootInfo)
            return false;
    return true;
}

std::vector<std::uint8_t> carriedImage() {
    std::ifstream file(FIRMWARE_IMAGE_PATH, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> flasherCommand(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {ZIRVANO_FLASH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::string signalName(int signal) {
    return signal == SIGTERM ? "Sigterm" : signal == SIGHUP ? "Sighup" : "Sigint";
}

// The unit and the flasher of one test; whatever is left is cleaned up when the test ends.
struct Bench {
    EmulatedUnit* emulated = nullptr;
    RunningProgram* flasher = nullptr;

    ~Bench() {
        if (flasher != nullptr) {
            releaseHeldAnswer(emulated);
            finishProgram(flasher, kRunBoundMs);
        }
        unplugEmulatedUnit(emulated);
    }

    ProgramRun finish() {
        const ProgramRun run = finishProgram(flasher, kRunBoundMs);
        flasher = nullptr;
        return run;
    }
};

std::string shownBy(const ProgramRun& run) { return run.output + run.errors; }

bool mentions(const ProgramRun& run, const std::string& text) {
    return shownBy(run).find(text) != std::string::npos;
}

// --- Up to the erase, any stop stops, and the unit gets back what was taken from it. ---

struct BeforeEraseCase {
    std::string name;
    std::uint8_t heldCommand;  // the signal comes while its answer is awaited
    std::uint32_t occurrence;
    int signal;
    std::vector<Request> givenBack;  // everything the unit receives after that request
};

void PrintTo(const BeforeEraseCase& row, std::ostream* out) { *out << row.name; }

std::vector<BeforeEraseCase> beforeEraseCases() {
    struct Phase {
        const char* name;
        std::uint8_t command;
        std::uint32_t occurrence;
        std::vector<Request> givenBack;
    };
    const Phase phases[] = {
        {"WhileTheEscIsAskedForAgain", ReadEscBootInfo, kReidentification, {}},
        {"WhileTheUnitLocks", SystemLock, 1, {{SystemLock, kLockReleased}}},
        {"WhileTheWriteProtectionIsRemoved", WriteProtect, 1, kGivenBack},
    };
    std::vector<BeforeEraseCase> rows;
    // A hang-up stops here as Ctrl-C does.
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        for (const Phase& phase : phases)
            rows.push_back({signalName(signal) + phase.name, phase.command, phase.occurrence,
                            signal, phase.givenBack});
    return rows;
}

class StopBeforeTheEraseTest : public ::testing::TestWithParam<BeforeEraseCase> {
protected:
    Bench bench;
};

TEST_P(StopBeforeTheEraseTest, GivesBackWhatItTookAndEndsByTheSignal) {
    const BeforeEraseCase& row = GetParam();
    bench.emulated = plugEmulatedUnit(simReadyUnit(kInstalledEscFirmware));
    ASSERT_NE(bench.emulated, nullptr);
    holdAnswer(bench.emulated, row.heldCommand, row.occurrence);
    bench.flasher = startInMockEnvironment(bench.emulated, flasherCommand(kUpdateOfTheUnit));
    ASSERT_NE(bench.flasher, nullptr);
    ASSERT_TRUE(waitForHeldAnswer(bench.emulated, kRunBoundMs));
    signalProgram(bench.flasher, row.signal);
    ASSERT_TRUE(waitForSignalTaken(bench.flasher, row.signal, kSignalTakenBoundMs));
    releaseHeldAnswer(bench.emulated);

    const ProgramRun run = bench.finish();
    ASSERT_TRUE(run.ended) << shownBy(run);
    EXPECT_EQ(run.signal, row.signal) << "exit code " << run.exitCode << "\n" << shownBy(run);
    EXPECT_TRUE(mentions(run, kStoppedBeforeErase)) << shownBy(run);
    const SimUnit unit = emulatedUnitState(bench.emulated);
    EXPECT_EQ(requestsAfter(unit, row.heldCommand, row.occurrence), row.givenBack);
    EXPECT_FALSE(unit.erased);
    EXPECT_FALSE(unit.locked);
    EXPECT_TRUE(unit.writeProtected);
}

INSTANTIATE_TEST_SUITE_P(Signal, StopBeforeTheEraseTest, ::testing::ValuesIn(beforeEraseCases()),
                         [](const ::testing::TestParamInfo<BeforeEraseCase>& info) {
                             return info.param.name;
                         });

// --- At the prompt nothing has been sent but identification. ---

class StopAtThePromptTest : public ::testing::TestWithParam<int> {
protected:
    Bench bench;
};

TEST_P(StopAtThePromptTest, SendsNothingMoreAndEndsByTheSignal) {
    const int signal = GetParam();
    bench.emulated = plugEmulatedUnit(simReadyUnit(kInstalledEscFirmware));
    ASSERT_NE(bench.emulated, nullptr);
    bench.flasher = startInMockEnvironment(
        bench.emulated, flasherCommand({"update", "--unit", kUnitNode}), ProgramInput::terminal);
    ASSERT_NE(bench.flasher, nullptr);
    ASSERT_TRUE(waitForText(bench.flasher, kPrompt, kRunBoundMs));
    const std::size_t received = emulatedUnitState(bench.emulated).received.size();
    signalProgram(bench.flasher, signal);
    // Before its terminal closes, which is an answer of its own.
    ASSERT_TRUE(waitForText(bench.flasher, kStoppedBeforeSending, kRunBoundMs));

    const ProgramRun run = bench.finish();
    ASSERT_TRUE(run.ended) << shownBy(run);
    EXPECT_EQ(run.signal, signal) << "exit code " << run.exitCode << "\n" << shownBy(run);
    const SimUnit unit = emulatedUnitState(bench.emulated);
    EXPECT_EQ(unit.received.size(), received);
    EXPECT_TRUE(onlyQuestions(unit));
}

INSTANTIATE_TEST_SUITE_P(Signal, StopAtThePromptTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return signalName(info.param);
                         });

// --- While only looking, a stop ends the program at once. ---

struct LookingCase {
    const char* name;
    std::vector<std::string> arguments;
    int signal;
};

void PrintTo(const LookingCase& row, std::ostream* out) { *out << row.name; }

std::vector<LookingCase> lookingCases() {
    return {
        {"SigintToStatus", {"status"}, SIGINT},
        {"SigtermToStatus", {"status"}, SIGTERM},
        {"SigintToList", {"list"}, SIGINT},
        {"SigintToUpdateLookingForTheUnit", {"update", "--yes"}, SIGINT},
    };
}

class StopWhileLookingTest : public ::testing::TestWithParam<LookingCase> {
protected:
    Bench bench;
};

// The unit's first answer is never sent: a program that waited for it would end on its own
// bound, with an exit code.
TEST_P(StopWhileLookingTest, EndsByTheSignalWithoutWaitingForTheAnswer) {
    const LookingCase& row = GetParam();
    bench.emulated = plugEmulatedUnit(simReadyUnit(kInstalledEscFirmware));
    ASSERT_NE(bench.emulated, nullptr);
    holdAnswer(bench.emulated, Identify, 1);
    bench.flasher = startInMockEnvironment(bench.emulated, flasherCommand(row.arguments));
    ASSERT_NE(bench.flasher, nullptr);
    ASSERT_TRUE(waitForHeldAnswer(bench.emulated, kRunBoundMs));
    signalProgram(bench.flasher, row.signal);

    const ProgramRun run = bench.finish();
    ASSERT_TRUE(run.ended) << shownBy(run);
    EXPECT_EQ(run.signal, row.signal) << "exit code " << run.exitCode << "\n" << shownBy(run);
    const SimUnit unit = emulatedUnitState(bench.emulated);
    EXPECT_EQ(simCommandOrder(unit), std::vector<std::uint8_t>{Identify});
}

INSTANTIATE_TEST_SUITE_P(Signal, StopWhileLookingTest, ::testing::ValuesIn(lookingCases()),
                         [](const ::testing::TestParamInfo<LookingCase>& info) {
                             return std::string(info.param.name);
                         });

// --- After the erase, one Ctrl-C is a slip; a second one or SIGTERM stops between blocks. ---

struct SignalAtRequest {
    std::uint8_t command;  // the signal comes while the answer to this request is awaited
    std::uint32_t occurrence;
    int signal;
};

constexpr std::uint32_t kWholeImage = ~std::uint32_t{0};

struct AfterEraseCase {
    const char* name;
    std::vector<SignalAtRequest> signals;  // in this order
    int endsBy;                            // 0: it exits with kExitSuccess
    std::vector<std::string> mentions;
    std::vector<std::string> absent;
    std::uint32_t blocksSent;  // kWholeImage: every block
};

void PrintTo(const AfterEraseCase& row, std::ostream* out) { *out << row.name; }

std::vector<AfterEraseCase> afterEraseCases() {
    return {
        // A whole update in real time.
        {"OneSigintDuringTheEraseFinishesTheTransfer",
         {{EraseFirmware, 1, SIGINT}},
         0,
         {kFinishing},
         {kStopped},
         kWholeImage},
        {"SecondSigintStopsAfterTheBlockItCameDuring",
         {{EraseFirmware, 1, SIGINT}, {WriteDataBlock, kSecondSigintBlock, SIGINT}},
         SIGINT,
         {kFinishing, kStoppedBetweenBlocks},
         {},
         kSecondSigintBlock},
        {"SigtermDuringTheEraseStopsBeforeTheFirstBlock",
         {{EraseFirmware, 1, SIGTERM}},
         SIGTERM,
         {kStoppedBetweenBlocks},
         {kFinishing},
         0},
        {"SigtermDuringTheTransferStopsAfterTheBlockItCameDuring",
         {{WriteDataBlock, kSigtermBlock, SIGTERM}},
         SIGTERM,
         {kStoppedBetweenBlocks},
         {kFinishing},
         kSigtermBlock},
    };
}

class StopAfterTheEraseTest : public ::testing::TestWithParam<AfterEraseCase> {
protected:
    Bench bench;
};

TEST_P(StopAfterTheEraseTest, StopsOnlyWhenInsistedAndNeverInsideABlock) {
    const AfterEraseCase& row = GetParam();
    const std::vector<std::uint8_t> image = carriedImage();
    ASSERT_FALSE(image.empty());
    bench.emulated = plugEmulatedUnit(simReadyUnit(kInstalledEscFirmware));
    ASSERT_NE(bench.emulated, nullptr);
    holdAnswer(bench.emulated, row.signals.front().command, row.signals.front().occurrence);
    bench.flasher = startInMockEnvironment(bench.emulated, flasherCommand(kUpdateOfTheUnit));
    ASSERT_NE(bench.flasher, nullptr);
    for (std::size_t i = 0; i < row.signals.size(); ++i) {
        const SignalAtRequest& at = row.signals[i];
        ASSERT_TRUE(waitForHeldAnswer(bench.emulated, kRunBoundMs)) << "signal " << i + 1;
        signalProgram(bench.flasher, at.signal);
        // Taken before the next one comes: two pending SIGINTs would count as one.
        ASSERT_TRUE(waitForSignalTaken(bench.flasher, at.signal, kSignalTakenBoundMs));
        if (i + 1 < row.signals.size())
            releaseHeldAnswerAndHold(bench.emulated, row.signals[i + 1].command,
                                     row.signals[i + 1].occurrence);
        else
            releaseHeldAnswer(bench.emulated);
    }

    const ProgramRun run = bench.finish();
    ASSERT_TRUE(run.ended) << shownBy(run);
    if (row.endsBy != 0) {
        EXPECT_EQ(run.signal, row.endsBy) << "exit code " << run.exitCode << "\n" << shownBy(run);
    } else {
        EXPECT_EQ(run.signal, 0) << shownBy(run);
        EXPECT_EQ(run.exitCode, kExitSuccess) << shownBy(run);
    }
    for (const std::string& text : row.mentions)
        EXPECT_TRUE(mentions(run, text)) << "missing: " << text << "\n" << shownBy(run);
    for (const std::string& text : row.absent)
        EXPECT_FALSE(mentions(run, text)) << "shown: " << text << "\n" << shownBy(run);

    const SimUnit unit = emulatedUnitState(bench.emulated);
    const std::uint32_t wholeImageBlocks =
        static_cast<std::uint32_t>((image.size() + kBlockBytes - 1) / kBlockBytes);
    const std::uint32_t blocks = row.blocksSent == kWholeImage ? wholeImageBlocks : row.blocksSent;
    EXPECT_EQ(unit.commandCounts[WriteDataBlock], blocks);
    // Every block sent arrived whole and in order: the ESC holds the image's start.
    const std::size_t heldBytes =
        std::min<std::size_t>(std::size_t{blocks} * kBlockBytes, image.size());
    EXPECT_TRUE(unit.flash == std::vector<std::uint8_t>(image.begin(), image.begin() + heldBytes))
        << "the unit holds " << unit.flash.size() << " bytes";
    // Nothing between the last block (or the erase) and the closing pair.
    EXPECT_EQ(requestsAfter(unit, blocks == 0 ? EraseFirmware : WriteDataBlock, kLast), kGivenBack);
    EXPECT_FALSE(unit.locked);
    EXPECT_TRUE(unit.writeProtected);
}

INSTANTIATE_TEST_SUITE_P(Signal, StopAfterTheEraseTest, ::testing::ValuesIn(afterEraseCases()),
                         [](const ::testing::TestParamInfo<AfterEraseCase>& info) {
                             return std::string(info.param.name);
                         });

// --- The terminal goes away after the erase: the transfer finishes all the same. ---

// Its terminal closed (its errors went there), nobody reading its output, and the hang-up that
// comes with a closed terminal: every write of the progress and of the result fails, and the
// update runs to its end.
TEST(TerminalGone, AfterTheEraseTheUpdateFinishesAndSucceeds) {
    Bench bench;
    bench.emulated = plugEmulatedUnit(simReadyUnit(kInstalledEscFirmware));
    ASSERT_NE(bench.emulated, nullptr);
    holdAnswer(bench.emulated, EraseFirmware, 1);
    bench.flasher = startInMockEnvironment(bench.emulated, flasherCommand(kUpdateOfTheUnit),
                                           ProgramInput::terminalForErrorsToo);
    ASSERT_NE(bench.flasher, nullptr);
    ASSERT_TRUE(waitForHeldAnswer(bench.emulated, kRunBoundMs));
    closeTerminal(bench.flasher);
    closeOutput(bench.flasher);
    signalProgram(bench.flasher, SIGHUP);
    ASSERT_TRUE(waitForSignalTaken(bench.flasher, SIGHUP, kSignalTakenBoundMs));
    releaseHeldAnswer(bench.emulated);

    const ProgramRun run = bench.finish();
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, kExitSuccess);
    const SimUnit unit = emulatedUnitState(bench.emulated);
    EXPECT_EQ(unit.flash, carriedImage());
    EXPECT_EQ(requestsAfter(unit, WriteDataBlock, kLast), kGivenBack);
}

}  // namespace
