// The link against the simulated unit: framing, commands, judging and the search.
#include <algorithm>
#include <iterator>
#include <string>
#include <tuple>

#include "link/device_io.h"
#include "link/identify.h"
#include "link/open_link.h"
#include "tests/native/link_fixture.h"
#include "tests/shared/update_facts.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

LinkResult writeTwelveWords() {
    std::uint8_t data[48] = {};
    std::uint32_t sent = 0;
    return writeDataBlock(data, 12, &sent);
}

const Bytes kIdentification(std::begin(updatefacts::identifyCommands),
                            std::end(updatefacts::identifyCommands));
const Bytes kBootloaderUnitIdentification(std::begin(updatefacts::bootloaderUnitIdentifyCommands),
                                          std::end(updatefacts::bootloaderUnitIdentifyCommands));

// The requests of an identification that ended after `count` of them.
Bytes identificationUpTo(std::ptrdiff_t count) {
    return Bytes(kIdentification.begin(), kIdentification.begin() + count);
}

const char16_t kUnitPath[] = u"\\\\?\\hid#vid_f0e1&pid_0002#sim";

struct OperationCase {
    const char* name;
    LinkResult (*run)();
};

class OperationsWithoutLink : public LinkTest,
                              public ::testing::WithParamInterface<OperationCase> {};

struct RequestCase {
    const char* name;
    void (*send)();
    Bytes head;
};

class CommandRequests : public LinkTest, public ::testing::WithParamInterface<RequestCase> {};

// A command judged by its answer, with the code its request carries.
struct CommandCase {
    const char* name;
    std::uint8_t command;
    LinkResult (*run)();
};

struct ErrorCodeCase {
    const char* name;
    std::uint32_t code;
    LinkResult expected;
};

using ErrorAnswerCase = std::tuple<CommandCase, ErrorCodeCase>;

class ErrorAnswers : public LinkTest, public ::testing::WithParamInterface<ErrorAnswerCase> {};

class StatusByteRefusals : public LinkTest, public ::testing::WithParamInterface<CommandCase> {};

struct BlockLengthCase {
    const char* name;
    std::uint32_t words;
    std::uint8_t lengthByte;
};

class BlockLengthByte : public LinkTest, public ::testing::WithParamInterface<BlockLengthCase> {};

struct IdentificationCase {
    const char* name;
    void (*prepare)(SimUnit& unit);
    LinkResult expected;
    Bytes commands;
};

class IdentificationOutcomes : public LinkTest,
                               public ::testing::WithParamInterface<IdentificationCase> {};

struct PathCase {
    const char* name;
    const char16_t* path;
};

class OpeningByPath : public LinkTest, public ::testing::WithParamInterface<PathCase> {};

struct LengthCase {
    const char* name;
    std::uint32_t outputLength;
    std::uint32_t inputLength;
    LinkResult identified;
};

class ReportLengths : public LinkTest, public ::testing::WithParamInterface<LengthCase> {};

// The program's work after an exchange, then the link's pauses in a row, and how long after the
// exchange ended they end.
struct LinkPauseCase {
    const char* name;
    bool answered;  // false: the unit stays silent and the read is given up on
    std::uint32_t workMs;
    std::vector<std::uint32_t> pausesMs;
    std::uint64_t endAfterExchangeMs;
};

void PrintTo(const LinkPauseCase& row, std::ostream* out) { *out << row.name; }

class LinkPauses : public LinkTest, public ::testing::WithParamInterface<LinkPauseCase> {};

struct UnfitAnswerCase {
    const char* name;
    SimFault fault;
    LinkResult (*run)();
};

class UnfitAnswers : public LinkTest, public ::testing::WithParamInterface<UnfitAnswerCase> {};

struct OpeningCase {
    const char* name;
    LinkResult (*open)();
};

class UnitHeldByAnotherProgram : public LinkTest,
                                 public ::testing::WithParamInterface<OpeningCase> {};

LinkResult eraseUnprepared() { return eraseFirmware(); }

}  // namespace

TEST_P(OperationsWithoutLink, ReturnMinusOneAndTouchNothing) {
    SimUnit unit = simReadyUnit();
    simBusPlugUnit(unit);
    EXPECT_EQ(GetParam().run(), kLinkNoLink);
    EXPECT_EQ(simIoCount(), 0u);
    EXPECT_TRUE(unit.received.empty());
}

INSTANTIATE_TEST_SUITE_P(LinkTest, OperationsWithoutLink,
                         ::testing::Values(OperationCase{"Identify", identifyProgrammer},
                                           OperationCase{"Erase", eraseFirmware},
                                           OperationCase{"WriteBlock", writeTwelveWords},
                                           OperationCase{"Lock", lockUnit},
                                           OperationCase{"RemoveProtection", removeWriteProtection},
                                           OperationCase{"SetAddress", setWriteAddress}),
                         rowName<OperationCase>);

TEST_F(LinkTest, ClosingStepsWithoutLinkTouchNothing) {
    SimUnit unit = simReadyUnit();
    simBusPlugUnit(unit);
    restoreWriteProtection();
    releaseUnitLock();
    EXPECT_EQ(simIoCount(), 0u);
    EXPECT_TRUE(unit.received.empty());
}

TEST_P(CommandRequests, CarryTheirExactBytesInOneWholeReport) {
    const RequestCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    openReady(unit);
    c.send();
    ASSERT_EQ(unit.received.size(), 1u);
    EXPECT_EQ(unit.received[0].bytes.size(), 60u);
    EXPECT_EQ(requestHead(unit, 0, c.head.size()), c.head);
}

INSTANTIATE_TEST_SUITE_P(
    LinkTest, CommandRequests,
    ::testing::Values(
        RequestCase{"Lock", [] { lockUnit(); }, {0x01, 0x0B, 0x01, 0x01}},
        RequestCase{"Release", [] { releaseUnitLock(); }, {0x01, 0x0B, 0x01, 0x00}},
        RequestCase{"RemoveProtection", [] { removeWriteProtection(); },
                    {0x01, 0x20, 0x01, 0x00}},
        RequestCase{"RestoreProtection", [] { restoreWriteProtection(); },
                    {0x01, 0x20, 0x01, 0x01}},
        RequestCase{"Erase", [] { eraseFirmware(); },
                    {0x01, 0x1E, 0x04, 0x00, 0x41, 0x9E, 0x2D, 0x6B}},
        RequestCase{"SetAddress", [] { setWriteAddress(); },
                    {0x01, 0x1F, 0x09, 0x01, 0, 0, 0, 0, 0x41, 0x9E, 0x2D, 0x6B}},
        RequestCase{"WriteBlock",
                    [] {
                        const std::uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
                        std::uint32_t sent = 0;
                        writeDataBlock(block, 2, &sent);
                    },
                    {0x01, 0x1B, 0x08, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0}}),
    rowName<RequestCase>);

TEST_F(LinkTest, IdentificationOfAUnitRunningItsApplicationSendsItsRequestsInOrder) {
    SimUnit unit = simReadyUnit();
    simBusPlugUnit(unit);
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(simCommandOrder(unit), kIdentification);
    EXPECT_EQ(requestHead(unit, 0, 3), (Bytes{0x01, 0x08, 0x00}));
    EXPECT_EQ(requestHead(unit, 1, 12),
              (Bytes{0x01, 0x1D, 0x08, 0x00, 0x20, 0, 0, 0, 0xE0, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(requestHead(unit, 2, 2), (Bytes{0x01, 0x22}));
}

TEST_F(LinkTest, IdentificationOfAUnitInItsBootloaderReadsTheUnitsOwnMemory) {
    SimUnit unit = simReadyUnit();
    unit.inBootloader = true;
    simBusPlugUnit(unit);
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(simCommandOrder(unit), kBootloaderUnitIdentification);
    EXPECT_EQ(requestHead(unit, 1, 8), (Bytes{0x01, 0x0A, 0x0C, 0x00, 0x00, 0xFC, 0x01, 0x08}));
}

// Code 0 in an error answer counts as success.
TEST_P(ErrorAnswers, GiveTheUnitsCode) {
    const auto& [command, answer] = GetParam();
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({command.command, 1, SimFaultKind::errorAnswer, answer.code});
    openReady(unit);
    EXPECT_EQ(command.run(), answer.expected);
}

INSTANTIATE_TEST_SUITE_P(
    LinkTest, ErrorAnswers,
    ::testing::Combine(
        ::testing::Values(CommandCase{"Erase", EraseFirmware, eraseFirmware},
                          CommandCase{"WriteBlock", WriteDataBlock, writeTwelveWords},
                          CommandCase{"SetAddress", SetWriteAddress, setWriteAddress},
                          CommandCase{"RemoveProtection", WriteProtect, removeWriteProtection}),
        ::testing::Values(ErrorCodeCase{"AnsweredWithCodeZero", 0, kLinkOk},
                          ErrorCodeCase{"AnsweredWithCodeFive", 5, 5},
                          ErrorCodeCase{"AnsweredWithTheTopBitSet", 0x80000001u,
                                        static_cast<LinkResult>(0x80000001u)})),
    [](const ::testing::TestParamInfo<ErrorAnswerCase>& info) {
        return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

TEST_F(LinkTest, Code32IgnoresTheDataOfANormalAnswer) {
    Report response{};
    response.bytes[1] = WriteDataBlock;
    for (int i = 4; i < 8; ++i) response.bytes[i] = 0xEE;
    EXPECT_EQ(judgeCode32(response), kLinkOk);
    response.bytes[1] = 0xFF;
    EXPECT_EQ(judgeCode32(response), static_cast<LinkResult>(0xEEEEEEEEu));
}

TEST_P(StatusByteRefusals, Give1627) {
    const CommandCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({c.command, 1, SimFaultKind::refusal, 0});
    openReady(unit);
    EXPECT_EQ(c.run(), kLinkRefused);
}

INSTANTIATE_TEST_SUITE_P(
    LinkTest, StatusByteRefusals,
    ::testing::Values(CommandCase{"Lock", SystemLock, lockUnit},
                      CommandCase{"RemoveProtection", WriteProtect, removeWriteProtection}),
    rowName<CommandCase>);

TEST_F(LinkTest, WriteDataBlockRefusesMoreWordsThanAReportCarries) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    std::uint8_t data[60] = {};
    std::uint32_t sent = 77;
    EXPECT_EQ(writeDataBlock(data, 15, &sent), kLinkNoLink);
    EXPECT_EQ(sent, 77u);
    EXPECT_TRUE(unit.received.empty());
}

TEST_P(BlockLengthByte, CountsTheBytesOfTheWordsSent) {
    const BlockLengthCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    openReady(unit);
    std::uint8_t data[56] = {};
    std::uint32_t sent = 77;
    writeDataBlock(data, c.words, &sent);
    EXPECT_EQ(sent, c.words);
    ASSERT_EQ(unit.received.size(), 1u);
    EXPECT_EQ(unit.received[0].bytes[2], c.lengthByte);
}

INSTANTIATE_TEST_SUITE_P(LinkTest, BlockLengthByte,
                         ::testing::Values(BlockLengthCase{"FourteenWords", 14, 56},
                                           BlockLengthCase{"TwelveWords", 12, 48},
                                           BlockLengthCase{"OneWord", 1, 4},
                                           BlockLengthCase{"NoWords", 0, 0}),
                         rowName<BlockLengthCase>);

TEST_F(LinkTest, EraseAnswerIsReadOneSecondAfterTheRequest) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    lockUnit();
    removeWriteProtection();
    ASSERT_EQ(eraseFirmware(), kLinkOk);
    const SimReceived& erase = unit.received.back();
    // The fourth pause of an update is the one inside the erase.
    EXPECT_EQ(erase.readAtMs - erase.writtenAtMs, updatefacts::pausesBeforeTransferMs[3]);
}

// As the unit sees it: the next request arrives when the pauses are over, never sooner.
TEST_P(LinkPauses, RunFromTheEndOfTheLastExchange) {
    const LinkPauseCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    if (!c.answered) unit.faults.push_back({SystemLock, 1, SimFaultKind::noAnswer, 0});
    openReady(unit);
    lockUnit();
    const std::uint64_t exchangeEnd = simNowMs();
    simSpendMs(c.workMs);
    for (std::uint32_t pause : c.pausesMs) pauseLink(pause);
    lockUnit();
    EXPECT_EQ(unit.received.back().writtenAtMs - exchangeEnd, c.endAfterExchangeMs);
}

INSTANTIATE_TEST_SUITE_P(
    LinkTest, LinkPauses,
    ::testing::Values(LinkPauseCase{"WorkAfterTheAnswerIsInsideThePause", true, 7, {20}, 20},
                      LinkPauseCase{
                          "WorkLongerThanThePauseLeavesNothingToWait", true, 25, {20}, 25},
                      LinkPauseCase{"PausesInARowAddUp", true, 3, {4000, 20}, 4020},
                      LinkPauseCase{"AnAnswerGivenUpOnStartsThePause", false, 0, {4000}, 4000}),
    rowName<LinkPauseCase>);

// Whatever identification found, the unit stays open for the caller to decide.
TEST_P(IdentificationOutcomes, AreReportedWithTheUnitLeftOpen) {
    const IdentificationCase& c = GetParam();
    SimUnit unit = simReadyUnit(0x0302);
    c.prepare(unit);
    simBusPlugUnit(unit);
    EXPECT_EQ(openProgrammer(), c.expected);
    EXPECT_EQ(simCommandOrder(unit), c.commands);
    EXPECT_TRUE(linkIsOpen());
    ASSERT_NE(programmerLink.devicePath, nullptr);
    EXPECT_EQ(std::u16string(programmerLink.devicePath), kUnitPath);
}

INSTANTIATE_TEST_SUITE_P(
    LinkTest, IdentificationOutcomes,
    ::testing::Values(
        IdentificationCase{"Ready", [](SimUnit&) {}, kLinkOk, kIdentification},
        IdentificationCase{"UnitInItsBootloader", [](SimUnit& u) { u.inBootloader = true; },
                           kLinkOk, kBootloaderUnitIdentification},
        IdentificationCase{"NoUpdatableEsc", [](SimUnit& u) { u.escState = 1; }, kLinkOk,
                           identificationUpTo(1)},
        IdentificationCase{"EscMemoryErrorZeroGoesOn",
                           [](SimUnit& u) { u.escInfoErrorCode = 0; }, kLinkOk, kIdentification},
        IdentificationCase{"EscMemoryErrorFiveStops", [](SimUnit& u) { u.escInfoErrorCode = 5; },
                           5, identificationUpTo(2)},
        IdentificationCase{"BootInfoErrorSeven", [](SimUnit& u) { u.escBootInfoErrorCode = 7; },
                           7, kIdentification},
        IdentificationCase{"BootInfoErrorZero", [](SimUnit& u) { u.escBootInfoErrorCode = 0; },
                           kLinkOk, kIdentification},
        IdentificationCase{
            "IdentifyUnanswered",
            [](SimUnit& u) { u.faults.push_back({Identify, 1, SimFaultKind::noAnswer, 0}); },
            kLinkReadFailed, identificationUpTo(1)},
        IdentificationCase{
            "UnitGoneAtIdentify",
            [](SimUnit& u) { u.faults.push_back({Identify, 1, SimFaultKind::disconnect, 0}); },
            kLinkWriteFailed, identificationUpTo(1)},
        IdentificationCase{
            "IdentifyAnsweredWithAnotherReport",
            [](SimUnit& u) { u.faults.push_back({Identify, 1, SimFaultKind::malformed, 0}); },
            kLinkReadFailed, identificationUpTo(1)},
        IdentificationCase{"CapabilitiesUnreadable",
                           [](SimUnit& u) { u.capabilitiesFail = true; }, kLinkNoLink, {}}),
    rowName<IdentificationCase>);

TEST_F(LinkTest, IdentificationFillsTheRecord) {
    SimUnit unit = simReadyUnit(0x0302);
    unit.productId = 1;
    unit.unitFirmwareVersion = 0x01000203;
    unit.unitInfoWord = 0xCAFE;
    unit.escStateDetail = 0x1234;
    simSetEscType(unit, kSupportedEscTypeAlt, 0x02000105);
    simBusPlugUnit(unit);
    ASSERT_EQ(openProgrammer(), kLinkOk);
    EXPECT_EQ(programmerLink.usbProductId, 1);
    EXPECT_EQ(programmerLink.outputReportLength, 60u);
    EXPECT_EQ(programmerLink.inputReportLength, 60u);
    EXPECT_EQ(programmerLink.unitInBootloader, 0);
    EXPECT_EQ(programmerLink.escState, 3);
    EXPECT_EQ(programmerLink.escStateDetail, 0x1234);
    EXPECT_EQ(programmerLink.unitFirmwareVersion, 0x01000203u);
    EXPECT_EQ(programmerLink.unitInfoWord, 0xCAFEu);
    EXPECT_EQ(escFirmwareVersion(), 0x0302);
    EXPECT_EQ(escTypeId(), kSupportedEscTypeAlt);
    EXPECT_EQ(escBootloaderVersion(), 0x02000105u);
}

TEST_F(LinkTest, BootloaderModeFillsBootIdentityAndUnitMemory) {
    SimUnit unit = simReadyUnit();
    unit.inBootloader = true;
    const std::uint8_t identity[12] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                       0x88, 0x99, 0xAA, 0xBB, 0xCC};
    std::copy(std::begin(identity), std::end(identity), unit.bootIdentity);
    unit.unitFirmwareVersion = 0x00010300;
    unit.unitInfoWord = 9;
    simBusPlugUnit(unit);
    ASSERT_EQ(openProgrammer(), kLinkOk);
    EXPECT_NE(programmerLink.unitInBootloader, 0);
    EXPECT_EQ(programmerLink.bootIdentity.first, 0x11);
    EXPECT_EQ(programmerLink.bootIdentity.second, 0x3322);
    EXPECT_EQ(programmerLink.bootIdentity.third, 0x77665544u);
    EXPECT_EQ(programmerLink.bootIdentity.fourth, 0xBBAA9988u);
    EXPECT_EQ(programmerLink.bootIdentity.fifth, 0xCC);
    EXPECT_EQ(programmerLink.unitFirmwareVersion, 0x00010300u);
    EXPECT_EQ(programmerLink.unitInfoWord, 9u);
    EXPECT_EQ(programmerLink.escState, 0);
    EXPECT_EQ(escFirmwareVersion(), 0);
    EXPECT_EQ(escTypeId(), 0u);
}

TEST_F(LinkTest, NoUnitGivesMinusFourAndClosesAPreviousLink) {
    SimUnit unit = simReadyUnit();
    simBusPlugUnit(unit);
    ASSERT_EQ(openProgrammer(), kLinkOk);
    simBusUnplug(kUnitPath);
    EXPECT_EQ(openProgrammer(), kLinkNoUnit);
    EXPECT_FALSE(linkIsOpen());
    EXPECT_EQ(programmerLink.devicePath, nullptr);
    EXPECT_EQ(escFirmwareVersion(), 0);
    EXPECT_EQ(simOpenHandles(), 0u);
}

TEST_F(LinkTest, UnobtainableDeviceListGivesMinusOne) {
    simBusReset(false);
    EXPECT_EQ(openProgrammer(), kLinkNoLink);
    EXPECT_FALSE(linkIsOpen());
}

TEST_F(LinkTest, SearchSkipsWhatIsNotAUsableUnitAndTakesTheFirstUnit) {
    SimDevice mouse;
    mouse.path = u"mouse";
    mouse.vendorId = 0x046D;
    mouse.productId = 2;
    SimDevice productThree;
    productThree.path = u"pid3";
    productThree.productId = 3;
    SimUnit hidden = simReadyUnit();
    SimDevice unreadable;
    unreadable.path = u"unreadable";
    unreadable.pathReadable = false;
    unreadable.unit = &hidden;
    SimDevice locked;
    locked.path = u"locked";
    locked.openable = false;
    locked.unit = &hidden;
    SimUnit first = simReadyUnit();
    first.productId = 1;
    SimUnit second = simReadyUnit();
    for (const SimDevice& device : {mouse, productThree, unreadable, locked}) simBusPlug(device);
    simBusPlugUnit(first, u"first");
    simBusPlugUnit(second, u"second");

    EXPECT_EQ(openProgrammer(), kLinkOk);
    EXPECT_EQ(std::u16string(programmerLink.devicePath), u"first");
    EXPECT_EQ(programmerLink.usbProductId, 1);
    EXPECT_TRUE(second.received.empty());
    EXPECT_EQ(simOpenHandles(), 1u);  // every skipped device was closed again
}

TEST_F(LinkTest, OpeningByPathTakesThatUnit) {
    SimUnit first = simReadyUnit();
    SimUnit second = simReadyUnit();
    second.productId = 1;
    simBusPlugUnit(first, u"first");
    simBusPlugUnit(second, u"second");

    EXPECT_EQ(openProgrammerAt(u"second"), kLinkOk);
    EXPECT_EQ(std::u16string(programmerLink.devicePath), u"second");
    EXPECT_EQ(programmerLink.usbProductId, 1);
    EXPECT_TRUE(first.received.empty());
    EXPECT_EQ(linkReadiness(), LinkReadiness::ready);
}

TEST_P(OpeningByPath, OfNoUnitGivesMinusFourAndClosesThePreviousLink) {
    SimUnit unit = simReadyUnit();
    SimDevice mouse;
    mouse.path = u"mouse";
    mouse.vendorId = 0x046D;
    simBusPlugUnit(unit, u"unit");
    simBusPlug(mouse);
    ASSERT_EQ(openProgrammerAt(u"unit"), kLinkOk);

    EXPECT_EQ(openProgrammerAt(GetParam().path), kLinkNoUnit);
    EXPECT_FALSE(linkIsOpen());
    EXPECT_EQ(simOpenHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(LinkTest, OpeningByPath,
                         ::testing::Values(PathCase{"AnotherKindOfDevice", u"mouse"},
                                           PathCase{"AnAbsentPath", u"absent"}),
                         rowName<PathCase>);

TEST_F(LinkTest, CloseProgrammerTwiceIsHarmless) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    closeProgrammer();
    EXPECT_FALSE(linkIsOpen());
    closeProgrammer();
    EXPECT_FALSE(linkIsOpen());
    EXPECT_EQ(programmerLink.devicePath, nullptr);
    EXPECT_EQ(simOpenHandles(), 0u);
}

// Decided once, before the first request: a unit whose reports cannot carry a whole data block
// or the longest answer is never written to, so it cannot be erased and then left half-written.
TEST_P(ReportLengths, AreJudgedBeforeAnyRequest) {
    const LengthCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    unit.outputReportLength = c.outputLength;
    unit.inputReportLength = c.inputLength;
    simBusPlugUnit(unit);
    EXPECT_EQ(openProgrammer(), c.identified);
    EXPECT_TRUE(linkIsOpen());
    if (c.identified != kLinkOk) {
        EXPECT_TRUE(unit.received.empty());
        EXPECT_EQ(linkReadiness(), LinkReadiness::noUnit);
        return;
    }
    EXPECT_EQ(linkReadiness(), LinkReadiness::ready);
    std::uint8_t block[48] = {};
    std::uint32_t sent = 0;
    writeDataBlock(block, 12, &sent);
    ASSERT_EQ(unit.received.back().bytes.size(), c.outputLength);
    EXPECT_EQ(unit.received.back().bytes[2], 48);  // the whole block went out
}

INSTANTIATE_TEST_SUITE_P(
    LinkTest, ReportLengths,
    ::testing::Values(LengthCase{"LongerOutputThanTheBuffers", 61, 60, kLinkNoLink},
                      LengthCase{"LongerInputThanTheBuffers", 60, 65, kLinkNoLink},
                      LengthCase{"FarTooLong", 4096, 4096, kLinkNoLink},
                      LengthCase{"NoInputReport", 60, 0, kLinkNoLink},
                      LengthCase{"OutputOfTwelveBytes", 12, 60, kLinkNoLink},
                      LengthCase{"OutputOneByteShortOfABlock", 51, 60, kLinkNoLink},
                      LengthCase{"InputOneByteShortOfTheBootInfo", 60, 43, kLinkNoLink},
                      LengthCase{"InputOfEightBytes", 60, 8, kLinkNoLink},
                      LengthCase{"ShortestThatFit", 52, 44, kLinkOk},
                      LengthCase{"Usual", 60, 60, kLinkOk}),
    rowName<LengthCase>);

TEST_F(LinkTest, SilentUnitCostsOneBoundedWaitAndReadsAsFailure) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({SystemLock, 1, SimFaultKind::noAnswer, 0});
    openReady(unit);
    const std::uint64_t before = simNowMs();
    EXPECT_EQ(lockUnit(), kLinkReadFailed);
    EXPECT_EQ(simNowMs() - before, updatefacts::silentUnitWaitMs);
}

TEST_F(LinkTest, LateAnswerIsAReadFailureAndNeverAnswersALaterRequest) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({SystemLock, 1, SimFaultKind::lateAnswer, 0});
    unit.faults.push_back({WriteProtect, 1, SimFaultKind::noAnswer, 0});
    openReady(unit);
    const std::uint64_t before = simNowMs();
    EXPECT_EQ(lockUnit(), kLinkReadFailed);
    EXPECT_EQ(simNowMs() - before, updatefacts::silentUnitWaitMs);
    // The lock's answer arrives before the next request; read as that request's answer, its
    // status byte would refuse the flash unlock instead of leaving it unanswered.
    pauseMs(kSimLateAnswerMs);
    EXPECT_EQ(removeWriteProtection(), kLinkReadFailed);
}

TEST_F(LinkTest, VanishedUnitFailsTheWrite) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    simBusUnplug(kUnitPath);
    EXPECT_EQ(eraseFirmware(), kLinkWriteFailed);
    EXPECT_NE(lastSystemError(), 0u);
}

// A report of another length than the unit's input report, or one that names another command,
// is no answer: read as one, its missing bytes or its garbage would be judged as a code.
TEST_P(UnfitAnswers, FailTheRead) {
    const UnfitAnswerCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    unit.faults.push_back(c.fault);
    openReady(unit);
    EXPECT_EQ(c.run(), kLinkReadFailed);
}

INSTANTIATE_TEST_SUITE_P(
    LinkTest, UnfitAnswers,
    ::testing::Values(
        UnfitAnswerCase{"LockOneByteShort", {SystemLock, 1, SimFaultKind::cutShort, 59}, lockUnit},
        UnfitAnswerCase{"LockOneByteLonger", {SystemLock, 1, SimFaultKind::overlong, 0}, lockUnit},
        // The unit refuses to erase a protected flash; cut after the error marker, the code
        // padded with zeros would read as success.
        UnfitAnswerCase{"EraseErrorCutBeforeItsCode",
                        {EraseFirmware, 1, SimFaultKind::cutShort, 4},
                        eraseUnprepared}),
    rowName<UnfitAnswerCase>);

// Every open handle of a unit gets every report it sends: two of our programs on one unit would
// read each other's answers. The first to open it holds it until it closes.
TEST_F(LinkTest, AnOpenLinkHoldsItsUnitUntilClosed) {
    SimUnit unit = simReadyUnit();
    openReady(unit);

    EXPECT_EQ(deviceOpen(kUnitPath), kNoDevice);
    EXPECT_TRUE(deviceHeldElsewhere(lastSystemError()));

    closeProgrammer();
    const DeviceHandle reopened = deviceOpen(kUnitPath);
    EXPECT_NE(reopened, kNoDevice);
    if (reopened != kNoDevice) deviceClose(reopened);
}

TEST_P(UnitHeldByAnotherProgram, IsInUseAndSentNothingUntilReleased) {
    SimUnit unit = simReadyUnit();
    simBusPlugUnit(unit);
    const DeviceHandle other = deviceOpen(kUnitPath);
    ASSERT_NE(other, kNoDevice);

    EXPECT_EQ(GetParam().open(), kLinkInUse);
    EXPECT_FALSE(linkIsOpen());
    EXPECT_TRUE(unit.received.empty());

    deviceClose(other);
    EXPECT_EQ(GetParam().open(), kLinkOk);
    EXPECT_EQ(simCommandOrder(unit), kIdentification);
}

INSTANTIATE_TEST_SUITE_P(LinkTest, UnitHeldByAnotherProgram,
                         ::testing::Values(OpeningCase{"Search", openProgrammer},
                                           OpeningCase{"ByPath",
                                                       [] { return openProgrammerAt(kUnitPath); }}),
                         rowName<OpeningCase>);

TEST_F(LinkTest, SearchPassesAUnitHeldElsewhereForAFreeOne) {
    SimUnit held = simReadyUnit();
    SimUnit available = simReadyUnit();
    simBusPlugUnit(held, u"held");
    simBusPlugUnit(available, u"free");
    const DeviceHandle other = deviceOpen(u"held");
    ASSERT_NE(other, kNoDevice);

    EXPECT_EQ(openProgrammer(), kLinkOk);
    EXPECT_EQ(std::u16string(programmerLink.devicePath), u"free");
    EXPECT_TRUE(held.received.empty());
    deviceClose(other);
}

// A program that is not ours (a reader that holds nothing) does not keep us out.
TEST_F(LinkTest, AReaderThatHoldsNothingDoesNotBlock) {
    SimUnit unit = simReadyUnit();
    simBusPlugUnit(unit);
    const DeviceHandle reader = simOpenUnheld(kUnitPath);
    ASSERT_NE(reader, kNoDevice);

    EXPECT_EQ(openProgrammer(), kLinkOk);
    EXPECT_EQ(linkReadiness(), LinkReadiness::ready);
    deviceClose(reader);
}
