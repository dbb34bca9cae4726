// The link against the simulated unit: framing, commands, judging and the search.
#include <functional>
#include <string>

#include "tests/native/link_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

LinkResult writeTwelveWords() {
    std::uint8_t data[48] = {};
    std::uint32_t sent = 0;
    return writeDataBlock(data, 12, &sent);
}

struct NamedOperation {
    const char* name;
    std::function<LinkResult()> run;
};

const NamedOperation kOperations[] = {
    {"identify", identifyProgrammer},
    {"erase", eraseFirmware},
    {"write block", writeTwelveWords},
    {"lock", lockUnit},
    {"remove protection", removeWriteProtection},
    {"set address", setWriteAddress},
};

}  // namespace

TEST_F(LinkTest, EveryOperationWithoutLinkReturnsMinusOneAndTouchesNothing) {
    SimUnit unit = simReadyUnit();
    simBusPlugUnit(unit);
    for (const NamedOperation& operation : kOperations)
        EXPECT_EQ(operation.run(), kLinkNoLink) << operation.name;
    restoreWriteProtection();
    releaseUnitLock();
    EXPECT_EQ(simIoCount(), 0u);
    EXPECT_TRUE(unit.received.empty());
}

TEST_F(LinkTest, CommandsSendTheirExactRequestBytes) {
    struct Case {
        const char* name;
        std::function<void()> send;
        Bytes head;
    };
    const std::uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const Case cases[] = {
        {"lock", [] { lockUnit(); }, {0x01, 0x0B, 0x01, 0x01}},
        {"release", [] { releaseUnitLock(); }, {0x01, 0x0B, 0x01, 0x00}},
        {"remove protection", [] { removeWriteProtection(); }, {0x01, 0x20, 0x01, 0x00}},
        {"restore protection", [] { restoreWriteProtection(); }, {0x01, 0x20, 0x01, 0x01}},
        {"erase", [] { eraseFirmware(); }, {0x01, 0x1E, 0x04, 0x00, 0x41, 0x9E, 0x2D, 0x6B}},
        {"set address",
         [] { setWriteAddress(); },
         {0x01, 0x1F, 0x09, 0x01, 0, 0, 0, 0, 0x41, 0x9E, 0x2D, 0x6B}},
        {"write block",
         [&] {
             std::uint32_t sent = 0;
             writeDataBlock(block, 2, &sent);
         },
         {0x01, 0x1B, 0x08, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0}},
    };
    for (const Case& c : cases) {
        SetUp();
        SimUnit unit = simReadyUnit();
        openReady(unit);
        c.send();
        ASSERT_EQ(unit.received.size(), 1u) << c.name;
        EXPECT_EQ(unit.received[0].bytes.size(), 60u) << c.name;
        EXPECT_EQ(requestHead(unit, 0, c.head.size()), c.head) << c.name;
        closeProgrammer();
    }
}

TEST_F(LinkTest, IdentificationSendsItsRequestsInOrder) {
    SimUnit unit = simReadyUnit();
    simBusPlugUnit(unit);
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(unit.received.size(), 3u);
    EXPECT_EQ(requestHead(unit, 0, 3), (Bytes{0x01, 0x08, 0x00}));
    EXPECT_EQ(requestHead(unit, 1, 12),
              (Bytes{0x01, 0x1D, 0x08, 0x00, 0x20, 0, 0, 0, 0xE0, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(requestHead(unit, 2, 2), (Bytes{0x01, 0x22}));

    SetUp();
    SimUnit boot = simReadyUnit();
    boot.inBootloader = true;
    simBusPlugUnit(boot);
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(boot.received.size(), 2u);
    EXPECT_EQ(requestHead(boot, 1, 8), (Bytes{0x01, 0x0A, 0x0C, 0x00, 0x00, 0xFC, 0x01, 0x08}));
}

TEST_F(LinkTest, Code32CommandsJudgeTheErrorAnswer) {
    struct Case {
        const char* name;
        std::uint8_t command;
        std::function<LinkResult()> run;
    };
    const Case commands[] = {
        {"erase", EraseFirmware, eraseFirmware},
        {"write block", WriteDataBlock, writeTwelveWords},
        {"set address", SetWriteAddress, setWriteAddress},
        {"remove protection", WriteProtect, removeWriteProtection},
    };
    struct Answer {
        SimFaultKind kind;
        std::uint32_t code;
        LinkResult expected;
    };
    const Answer answers[] = {
        {SimFaultKind::errorAnswer, 0, kLinkOk},
        {SimFaultKind::errorAnswer, 5, 5},
        {SimFaultKind::errorAnswer, 0x80000001u, static_cast<LinkResult>(0x80000001u)},
    };
    for (const Case& c : commands)
        for (const Answer& a : answers) {
            SetUp();
            SimUnit unit = simReadyUnit();
            unit.faults.push_back({c.command, 1, a.kind, a.code});
            openReady(unit);
            EXPECT_EQ(c.run(), a.expected) << c.name << " code " << a.code;
            closeProgrammer();
        }
}

TEST_F(LinkTest, Code32IgnoresTheDataOfANormalAnswer) {
    Report response{};
    response.bytes[1] = WriteDataBlock;
    for (int i = 4; i < 8; ++i) response.bytes[i] = 0xEE;
    EXPECT_EQ(judgeCode32(response), kLinkOk);
    response.bytes[1] = 0xFF;
    EXPECT_EQ(judgeCode32(response), static_cast<LinkResult>(0xEEEEEEEEu));
}

TEST_F(LinkTest, StatusByteRefusalsGive1627) {
    struct Case {
        const char* name;
        std::uint8_t command;
        std::function<LinkResult()> run;
    };
    const Case cases[] = {
        {"lock", SystemLock, lockUnit},
        {"remove protection", WriteProtect, removeWriteProtection},
    };
    for (const Case& c : cases) {
        SetUp();
        SimUnit unit = simReadyUnit();
        unit.faults.push_back({c.command, 1, SimFaultKind::refusal, 0});
        openReady(unit);
        EXPECT_EQ(c.run(), kLinkRefused) << c.name;
        closeProgrammer();
    }
}

TEST_F(LinkTest, WriteDataBlockLimits) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    std::uint8_t data[60] = {};
    std::uint32_t sent = 77;
    EXPECT_EQ(writeDataBlock(data, 15, &sent), kLinkNoLink);
    EXPECT_EQ(sent, 77u);
    EXPECT_TRUE(unit.received.empty());

    struct Case {
        std::uint32_t words;
        std::uint8_t lengthByte;
    };
    for (Case c : {Case{14, 56}, Case{12, 48}, Case{1, 4}, Case{0, 0}}) {
        unit.received.clear();
        writeDataBlock(data, c.words, &sent);
        EXPECT_EQ(sent, c.words);
        ASSERT_EQ(unit.received.size(), 1u);
        EXPECT_EQ(unit.received[0].bytes[2], c.lengthByte) << c.words << " words";
    }
}

TEST_F(LinkTest, EraseAnswerIsReadOneSecondAfterTheRequest) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    lockUnit();
    removeWriteProtection();
    ASSERT_EQ(eraseFirmware(), kLinkOk);
    const SimReceived& erase = unit.received.back();
    EXPECT_GE(erase.readAtMs - erase.writtenAtMs, 1000u);
}

TEST_F(LinkTest, IdentificationOutcomes) {
    struct Case {
        const char* name;
        std::function<void(SimUnit&)> prepare;
        LinkResult expected;
        std::vector<std::uint8_t> commands;
    };
    const Case cases[] = {
        {"ready", [](SimUnit&) {}, kLinkOk, {Identify, ReadEscMemory, ReadEscBootInfo}},
        {"bootloader", [](SimUnit& u) { u.inBootloader = true; }, kLinkOk,
         {Identify, ReadUnitMemory}},
        {"no updatable esc", [](SimUnit& u) { u.escState = 1; }, kLinkOk, {Identify}},
        {"esc memory error 0 goes on", [](SimUnit& u) { u.escInfoErrorCode = 0; }, kLinkOk,
         {Identify, ReadEscMemory, ReadEscBootInfo}},
        {"esc memory error 5 stops", [](SimUnit& u) { u.escInfoErrorCode = 5; }, 5,
         {Identify, ReadEscMemory}},
        {"boot info error 7", [](SimUnit& u) { u.escBootInfoErrorCode = 7; }, 7,
         {Identify, ReadEscMemory, ReadEscBootInfo}},
        {"boot info error 0", [](SimUnit& u) { u.escBootInfoErrorCode = 0; }, kLinkOk,
         {Identify, ReadEscMemory, ReadEscBootInfo}},
        {"identify unanswered",
         [](SimUnit& u) { u.faults.push_back({Identify, 1, SimFaultKind::noAnswer, 0}); },
         kLinkReadFailed, {Identify}},
        {"unit gone at identify",
         [](SimUnit& u) { u.faults.push_back({Identify, 1, SimFaultKind::disconnect, 0}); },
         kLinkWriteFailed, {Identify}},
        {"identify answered with another report",
         [](SimUnit& u) { u.faults.push_back({Identify, 1, SimFaultKind::malformed, 0}); },
         kLinkReadFailed, {Identify}},
        {"capabilities unreadable", [](SimUnit& u) { u.capabilitiesFail = true; }, kLinkNoLink,
         {}},
    };
    for (const Case& c : cases) {
        SetUp();
        SimUnit unit = simReadyUnit(0x0302);
        c.prepare(unit);
        simBusPlugUnit(unit);
        EXPECT_EQ(openProgrammer(), c.expected) << c.name;
        EXPECT_EQ(simCommandOrder(unit), c.commands) << c.name;
        // Whatever identification found, the unit stays open for the caller to decide.
        EXPECT_TRUE(linkIsOpen()) << c.name;
        ASSERT_NE(programmerLink.devicePath, nullptr) << c.name;
        EXPECT_EQ(std::u16string(programmerLink.devicePath), u"\\\\?\\hid#vid_f0e1&pid_0002#sim");
        closeProgrammer();
    }
}

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
    simBusUnplug(u"\\\\?\\hid#vid_f0e1&pid_0002#sim");
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
    EXPECT_TRUE(hidden.received.empty());
    EXPECT_EQ(simOpenHandles(), 1u);  // every skipped device was closed again
}

TEST_F(LinkTest, OpeningByPathTakesThatUnitOrNone) {
    SimUnit first = simReadyUnit();
    SimUnit second = simReadyUnit();
    second.productId = 1;
    SimDevice mouse;
    mouse.path = u"mouse";
    mouse.vendorId = 0x046D;
    simBusPlugUnit(first, u"first");
    simBusPlugUnit(second, u"second");
    simBusPlug(mouse);

    EXPECT_EQ(openProgrammerAt(u"second"), kLinkOk);
    EXPECT_EQ(std::u16string(programmerLink.devicePath), u"second");
    EXPECT_EQ(programmerLink.usbProductId, 1);
    EXPECT_TRUE(first.received.empty());
    EXPECT_EQ(linkReadiness(), LinkReadiness::ready);

    for (const char16_t* path : {u"mouse", u"absent"}) {
        EXPECT_EQ(openProgrammerAt(path), kLinkNoUnit);
        EXPECT_FALSE(linkIsOpen());
        EXPECT_EQ(simOpenHandles(), 0u);
    }
}

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

struct LengthCase {
    const char* name;
    std::uint32_t outputLength;
    std::uint32_t inputLength;
    LinkResult identified;
};

class ReportLengths : public LinkTest, public ::testing::WithParamInterface<LengthCase> {};

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
    [](const ::testing::TestParamInfo<LengthCase>& info) { return std::string(info.param.name); });

TEST_F(LinkTest, SilentUnitCostsOneBoundedWaitAndReadsAsFailure) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({SystemLock, 1, SimFaultKind::noAnswer, 0});
    openReady(unit);
    const std::uint64_t before = simNowMs();
    EXPECT_EQ(lockUnit(), kLinkReadFailed);
    // Ten seconds: what the user guide promises as the longest wait for a silent unit.
    EXPECT_EQ(simNowMs() - before, 10000u);
}

TEST_F(LinkTest, LateAnswerIsAReadFailureAndNeverAnswersALaterRequest) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({SystemLock, 1, SimFaultKind::lateAnswer, 0});
    unit.faults.push_back({WriteProtect, 1, SimFaultKind::noAnswer, 0});
    openReady(unit);
    const std::uint64_t before = simNowMs();
    EXPECT_EQ(lockUnit(), kLinkReadFailed);
    EXPECT_EQ(simNowMs() - before, 10000u);
    // The lock's answer arrives during the next wait; it is not the answer to this request.
    EXPECT_EQ(removeWriteProtection(), kLinkReadFailed);
}

TEST_F(LinkTest, VanishedUnitFailsTheWrite) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    simBusUnplug(u"\\\\?\\hid#vid_f0e1&pid_0002#sim");
    EXPECT_EQ(eraseFirmware(), kLinkWriteFailed);
    EXPECT_NE(lastSystemError(), 0u);
}
