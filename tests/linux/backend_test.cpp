// The Linux backend through the link, against the simulated unit on an emulated hidraw node:
// found by hidapi, opened, sized from its report descriptor, written and read with a bound.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/commands.h"
#include "link/link_result.h"
#include "tests/linux/emulated_unit.h"

namespace {

// Runs end well within this; a run still going then has hung.
constexpr std::uint32_t kProbeBoundMs = 60000;
constexpr int kProbeSucceeded = 0;
constexpr int kProbeFailed = 1;
constexpr std::uint32_t kRoundTrips = 300;
constexpr std::uint32_t kBlocks = 20;
constexpr std::uint32_t kAnswerErrorCode = 0x1234;

std::vector<std::uint8_t> carriedImage() {
    std::ifstream file(FIRMWARE_IMAGE_PATH, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string line(const char* key, const std::string& value) {
    return std::string(key) + ": " + value + "\n";
}

std::string resultLine(const char* step, LinkResult result, int systemError) {
    return line(step,
                std::to_string(result) + " (system error " + std::to_string(systemError) + ")");
}

struct ProbeCase {
    const char* name;
    SimUnit unit;
    NodeAccess access;
    std::vector<std::string> arguments;
    int exitCode;
    std::vector<std::string> lines;  // each must appear in what the probe printed
    hiditems::Bytes descriptor;      // the node's report descriptor; empty: the unit's own
};

void PrintTo(const ProbeCase& row, std::ostream* out) { *out << row.name; }

SimUnit readyUnit() { return simReadyUnit(0x0302); }

SimUnit withFault(SimUnit unit, std::uint8_t command, SimFaultKind kind, std::uint32_t code = 0) {
    unit.faults.push_back({command, 1, kind, code});
    return unit;
}

SimUnit withReportLengths(std::uint32_t output, std::uint32_t input) {
    SimUnit unit = readyUnit();
    unit.outputReportLength = output;
    unit.inputReportLength = input;
    return unit;
}

const std::vector<std::string> kIdentify = {"identify"};

// The shortest input report a unit may declare: the ESC bootloader information after the
// header, its last byte the report's last.
constexpr std::uint32_t kShortestInputReport = 44;
constexpr std::uint8_t kLastBootInfoByte = 0xA5;
constexpr std::uint32_t kTopReportId = 255;
constexpr std::uint32_t kTopReportDataBytes = 100;
constexpr std::uint32_t kUnitReportDataBytes = 59;  // after the report ID
constexpr std::uint32_t kOneByteShort = 59;         // of the unit's 60

SimUnit withLastBootInfoByteInTheReportsLastByte() {
    SimUnit unit = withReportLengths(60, kShortestInputReport);
    unit.escBootInfo[sizeof unit.escBootInfo - 1] = kLastBootInfoByte;
    return unit;
}

std::string hexOf(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

std::string bootInfoLine(const SimUnit& unit) {
    return line("esc boot info", hexOf(unit.escBootInfo, sizeof unit.escBootInfo));
}

// The unit's two reports, and before them a report with the highest ID there is, of other
// lengths in both directions.
hiditems::Bytes descriptorWithReportId255() {
    using namespace hiditems;
    return concat({usagePage(kVendorPage),
                   usage(kUnitUsage),
                   applicationCollection(),
                   reportId(kTopReportId),
                   usage(kUnitUsage),
                   logicalMinimum(0),
                   logicalMaximum(0xFF),
                   reportSize(kByteBits),
                   reportCount(kTopReportDataBytes),
                   input(),
                   output(),
                   feature(),
                   reportId(kUnitCommandReportId),
                   usage(kUnitUsage),
                   reportCount(kUnitReportDataBytes),
                   output(),
                   reportId(kUnitAnswerReportId),
                   usage(kUnitUsage),
                   reportCount(kUnitReportDataBytes),
                   input(),
                   endCollection()});
}

std::vector<ProbeCase> probeCases() {
    const std::string ready = line("readiness", "ready");
    const std::string escVersion = line("esc firmware", "0x0302");
    const std::string openOk = resultLine("open", kLinkOk, 0);
    const std::string readFailed = resultLine("open", kLinkReadFailed, ETIMEDOUT);
    return {
        {"ReadyUnitIsFoundAndIdentified",
         readyUnit(),
         NodeAccess::granted,
         kIdentify,
         kProbeSucceeded,
         {openOk, line("report lengths", "output 60, input 60"), ready, escVersion,
          line("esc type", "0x111F403C")}},
        {"RoundTripsArriveIntact",
         readyUnit(),
         NodeAccess::granted,
         {"round-trips", std::to_string(kRoundTrips)},
         kProbeSucceeded,
         {line("round trips intact",
               std::to_string(kRoundTrips) + " of " + std::to_string(kRoundTrips))}},
        {"AnswerSentTwiceIsNotTakenForTheNextOne",
         withFault(readyUnit(), Identify, SimFaultKind::answerTwice),
         NodeAccess::granted,
         kIdentify,
         kProbeSucceeded,
         {openOk, ready, escVersion}},
        {"UnaskedReportIsNotTakenForTheNextAnswer",
         withFault(readyUnit(), Identify, SimFaultKind::unasked, kAnswerErrorCode),
         NodeAccess::granted,
         kIdentify,
         kProbeSucceeded,
         {openOk, ready, escVersion}},
        {"AnswerLaterThanTheBoundIsAReadTimeOut",
         withFault(readyUnit(), Identify, SimFaultKind::lateAnswer),
         NodeAccess::granted,
         kIdentify,
         kProbeFailed,
         {readFailed}},
        {"SilentUnitIsAReadTimeOut",
         withFault(readyUnit(), Identify, SimFaultKind::noAnswer),
         NodeAccess::granted,
         kIdentify,
         kProbeFailed,
         {readFailed}},
        {"UnitVanishingBeforeItsAnswerFailsTheRead",
         withFault(readyUnit(), Identify, SimFaultKind::vanishBeforeAnswer),
         NodeAccess::granted,
         kIdentify,
         kProbeFailed,
         {resultLine("open", kLinkReadFailed, ENODEV)}},
        {"UnitGoneBeforeTheRequestFailsTheWrite",
         withFault(readyUnit(), Identify, SimFaultKind::disconnect),
         NodeAccess::granted,
         kIdentify,
         kProbeFailed,
         {resultLine("open", kLinkWriteFailed, ENODEV)}},
        {"UnitsErrorCodeReachesTheCaller",
         withFault(readyUnit(), EraseFirmware, SimFaultKind::errorAnswer, kAnswerErrorCode),
         NodeAccess::granted,
         {"blocks", "1", FIRMWARE_IMAGE_PATH},
         kProbeFailed,
         {resultLine("erase", kAnswerErrorCode, 0)}},
        {"NodeWithoutPermissionGivesEacces",
         readyUnit(),
         NodeAccess::denied,
         kIdentify,
         kProbeFailed,
         {resultLine("open", kLinkNoUnit, EACCES)}},
        // hidapi hands over what arrived; zeros in place of the missing bytes would make a
        // cut-short error answer read as a success.
        {"AnswerOneByteShortIsAFailedRead",
         withFault(readyUnit(), Identify, SimFaultKind::cutShort, kOneByteShort),
         NodeAccess::granted,
         kIdentify,
         kProbeFailed,
         {resultLine("open", kLinkReadFailed, EPROTO)}},
        // hidraw cuts a report to the reader's buffer without a word.
        {"AnswerOneByteLongIsAFailedRead",
         withFault(readyUnit(), Identify, SimFaultKind::overlong),
         NodeAccess::granted,
         kIdentify,
         kProbeFailed,
         {resultLine("open", kLinkReadFailed, EMSGSIZE)}},
        {"LastByteOfAWholeAnswerArrives",
         withLastBootInfoByteInTheReportsLastByte(),
         NodeAccess::granted,
         kIdentify,
         kProbeSucceeded,
         {openOk, line("report lengths", "output 60, input 44"), ready,
          bootInfoLine(withLastBootInfoByteInTheReportsLastByte())}},
        {"UnitWhoseDescriptorAlsoDeclaresReportId255IsSizedAndIdentified",
         readyUnit(),
         NodeAccess::granted,
         kIdentify,
         kProbeSucceeded,
         {openOk, line("report lengths", "output 60, input 60"), ready, escVersion},
         descriptorWithReportId255()},
    };
}

class BackendTest : public ::testing::TestWithParam<ProbeCase> {
protected:
    void TearDown() override { unplugEmulatedUnit(emulated); }
    EmulatedUnit* emulated = nullptr;
};

std::vector<std::string> probeCommand(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {HIDRAW_LINK_PROBE};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

TEST_P(BackendTest, ProbeSeesWhatTheUnitDid) {
    const ProbeCase& row = GetParam();
    emulated = plugEmulatedUnit(row.unit, row.access, row.descriptor);
    ASSERT_NE(emulated, nullptr);
    const ProgramRun run =
        runInMockEnvironment(emulated, probeCommand(row.arguments), kProbeBoundMs);
    ASSERT_TRUE(run.ended) << run.output << run.errors;
    EXPECT_EQ(run.exitCode, row.exitCode) << run.output << run.errors;
    for (const std::string& expected : row.lines)
        EXPECT_NE(run.output.find(expected), std::string::npos)
            << "missing: " << expected << "printed:\n"
            << run.output << run.errors;
}

INSTANTIATE_TEST_SUITE_P(Probe, BackendTest, ::testing::ValuesIn(probeCases()),
                         [](const ::testing::TestParamInfo<ProbeCase>& info) {
                             return std::string(info.param.name);
                         });

class BackendUnitTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (holder != nullptr) finishProgram(holder, kProbeBoundMs);
        unplugEmulatedUnit(emulated);
    }
    EmulatedUnit* emulated = nullptr;
    RunningProgram* holder = nullptr;
};

TEST_F(BackendUnitTest, BlocksReachTheUnitWholeAndInOrder) {
    emulated = plugEmulatedUnit(readyUnit());
    ASSERT_NE(emulated, nullptr);
    const ProgramRun run = runInMockEnvironment(
        emulated, probeCommand({"blocks", std::to_string(kBlocks), FIRMWARE_IMAGE_PATH}),
        kProbeBoundMs);
    ASSERT_EQ(run.exitCode, kProbeSucceeded) << run.output << run.errors;
    const std::vector<std::uint8_t> image = carriedImage();
    const std::vector<std::uint8_t> expected(image.begin(), image.begin() + kBlocks * kBlockBytes);
    EXPECT_EQ(emulatedUnitState(emulated).flash, expected);
}

TEST_F(BackendUnitTest, UnitWhoseDescriptorDeclaresShortReportsIsNotWrittenTo) {
    emulated = plugEmulatedUnit(withReportLengths(40, 60));
    ASSERT_NE(emulated, nullptr);
    const ProgramRun run = runInMockEnvironment(emulated, probeCommand(kIdentify), kProbeBoundMs);
    EXPECT_NE(run.output.find(resultLine("open", kLinkNoLink, 0)), std::string::npos)
        << run.output << run.errors;
    EXPECT_TRUE(emulatedUnitState(emulated).received.empty());
}

TEST_F(BackendUnitTest, EveryReportIsWrittenWhole) {
    emulated = plugEmulatedUnit(readyUnit());
    ASSERT_NE(emulated, nullptr);
    const ProgramRun run = runInMockEnvironment(emulated, probeCommand(kIdentify), kProbeBoundMs);
    ASSERT_EQ(run.exitCode, kProbeSucceeded) << run.output << run.errors;
    const SimUnit unit = emulatedUnitState(emulated);
    ASSERT_EQ(simCommandOrder(unit),
              (std::vector<std::uint8_t>{Identify, ReadEscMemory, ReadEscBootInfo}));
    for (const SimReceived& report : unit.received) {
        EXPECT_EQ(report.bytes.size(), kReportBufferSize);
        EXPECT_EQ(report.bytes.at(0), kCommandReportId);
    }
}

// Every open hidraw handle gets every input report: a second program on the unit would read the
// first one's answers, and the first one the second's.
TEST_F(BackendUnitTest, UnitHeldByAnotherOfOursIsInUseAndGetsNothing) {
    emulated = plugEmulatedUnit(readyUnit());
    ASSERT_NE(emulated, nullptr);
    holder = startInMockEnvironment(emulated, probeCommand({"hold"}), ProgramInput::terminal);
    ASSERT_NE(holder, nullptr);
    ASSERT_TRUE(waitForText(holder, "holding", kProbeBoundMs));
    const std::size_t received = emulatedUnitState(emulated).received.size();

    const ProgramRun second =
        runInMockEnvironment(emulated, probeCommand(kIdentify), kProbeBoundMs);
    EXPECT_EQ(second.exitCode, kProbeFailed) << second.output << second.errors;
    EXPECT_NE(second.output.find(resultLine("open", kLinkInUse, EBUSY)), std::string::npos)
        << second.output << second.errors;
    EXPECT_EQ(emulatedUnitState(emulated).received.size(), received);

    const ProgramRun first = finishProgram(holder, kProbeBoundMs);
    holder = nullptr;
    EXPECT_EQ(first.exitCode, kProbeSucceeded) << first.output << first.errors;
}

}  // namespace
