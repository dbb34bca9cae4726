// The unit-side chain of an update and the block transfer, on the virtual clock.
#include <numeric>

#include "tests/native/link_fixture.h"
#include "update/update_steps.h"

namespace {

std::vector<std::uint8_t> makeImage(std::uint32_t size) {
    std::vector<std::uint8_t> image(size);
    for (std::uint32_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return image;
}

void recordPosition(std::uint32_t position, void* context) {
    static_cast<std::vector<std::uint32_t>*>(context)->push_back(position);
}

TransferOutcome plainTransfer(const std::uint8_t* image, std::uint32_t size, void*) {
    return sendImageBlocks(image, size, nullptr, nullptr);
}

class UpdateTest : public LinkTest {
protected:
    // A unit that has been locked, opened, erased and addressed, ready for blocks.
    void prepareForBlocks(SimUnit& unit) {
        openReady(unit);
        ASSERT_EQ(lockUnit(), kLinkOk);
        ASSERT_EQ(removeWriteProtection(), kLinkOk);
        ASSERT_EQ(eraseFirmware(), kLinkOk);
        ASSERT_EQ(setWriteAddress(), kLinkOk);
        unit.received.clear();
    }
};

}  // namespace

TEST_F(UpdateTest, TransferSendsBlocksWithPaddingProgressAndPauses) {
    struct Case {
        std::uint32_t size;
        std::vector<std::uint8_t> lengthBytes;
        std::uint32_t firstPosition;
    };
    const Case cases[] = {
        {0, {}, 0},
        {48, {48}, 100},
        {52, {48, 4}, 92},
        {96, {48, 48}, 50},
        {50, {48, 4}, 96},  // not a whole word: the last two bytes still go out
    };
    for (const Case& c : cases) {
        SetUp();
        SimUnit unit = simReadyUnit();
        prepareForBlocks(unit);
        const std::vector<std::uint8_t> image = makeImage(c.size);
        std::vector<std::uint32_t> positions;
        const std::size_t pausesBefore = simPauses().size();

        TransferOutcome outcome = sendImageBlocks(image.data(), c.size, recordPosition, &positions);

        EXPECT_EQ(outcome.result, kLinkOk) << c.size;
        std::vector<std::uint8_t> lengths;
        for (const SimReceived& report : unit.received) lengths.push_back(report.bytes[2]);
        EXPECT_EQ(lengths, c.lengthBytes) << c.size;
        EXPECT_EQ(positions.size(), c.lengthBytes.size()) << c.size;
        if (!positions.empty()) {
            EXPECT_EQ(positions.front(), c.firstPosition) << c.size;
            EXPECT_EQ(positions.back(), 100u) << c.size;
        }
        const std::vector<std::uint32_t> pauses(simPauses().begin() + pausesBefore,
                                                simPauses().end());
        EXPECT_EQ(pauses, std::vector<std::uint32_t>(c.lengthBytes.size(), kBlockPauseMs));
        // What the unit stored starts with the image, then erased-flash filler.
        ASSERT_GE(unit.flash.size(), image.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), unit.flash.begin())) << c.size;
        for (std::size_t i = image.size(); i < unit.flash.size(); ++i)
            EXPECT_EQ(unit.flash[i], 0xFF) << c.size;
        closeProgrammer();
    }
}

TEST_F(UpdateTest, FinalShortBlockIsCountedByItsWordsAndFilledLikeErasedFlash) {
    SimUnit unit = simReadyUnit();
    prepareForBlocks(unit);
    const std::vector<std::uint8_t> image = makeImage(50);
    sendImageBlocks(image.data(), 50, nullptr, nullptr);
    ASSERT_EQ(unit.received.size(), 2u);
    const std::vector<std::uint8_t>& last = unit.received[1].bytes;
    EXPECT_EQ(last[2], 4);
    EXPECT_EQ(std::vector<std::uint8_t>(last.begin() + 4, last.begin() + 8),
              (std::vector<std::uint8_t>{image[48], image[49], 0xFF, 0xFF}));
}

TEST_F(UpdateTest, FullSizeImageProgressRunsFromZeroToHundred) {
    SimUnit unit = simReadyUnit();
    prepareForBlocks(unit);
    const std::vector<std::uint8_t> image = makeImage(97808);
    std::vector<std::uint32_t> positions;
    ASSERT_EQ(sendImageBlocks(image.data(), 97808, recordPosition, &positions).result, kLinkOk);
    ASSERT_EQ(positions.size(), 2038u);
    EXPECT_EQ(positions.front(), 0u);
    EXPECT_EQ(positions[1], 0u);  // 96 * 100 / 97808
    EXPECT_EQ(positions.back(), 100u);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(unit.received.back().bytes[2], 32);
    EXPECT_EQ(unit.flash, image);
}

TEST_F(UpdateTest, FailingBlockStopsTheTransferAndKeepsItsSystemError) {
    struct Case {
        std::uint32_t failingBlock;
        SimFaultKind kind;
        LinkResult expected;
    };
    const Case cases[] = {
        {1, SimFaultKind::errorAnswer, 0x31},
        {1000, SimFaultKind::disconnect, kLinkWriteFailed},
        {2038, SimFaultKind::noAnswer, kLinkReadFailed},
    };
    for (const Case& c : cases) {
        SetUp();
        SimUnit unit = simReadyUnit();
        prepareForBlocks(unit);
        unit.faults.push_back({WriteDataBlock, c.failingBlock, c.kind, 0x31});
        const std::vector<std::uint8_t> image = makeImage(97808);
        std::vector<std::uint32_t> positions;
        TransferOutcome outcome =
            sendImageBlocks(image.data(), 97808, recordPosition, &positions);
        EXPECT_EQ(outcome.result, c.expected) << c.failingBlock;
        EXPECT_EQ(unit.received.size(), c.failingBlock);  // nothing after the failing block
        EXPECT_EQ(positions.size(), c.failingBlock - 1);
        if (c.kind != SimFaultKind::errorAnswer) {
            EXPECT_NE(outcome.systemError, 0u);
        }
        closeProgrammer();
    }
}

TEST_F(UpdateTest, FullUpdateSendsTheChainInOrderWithItsPauses) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    const std::size_t pausesBefore = simPauses().size();
    const std::vector<std::uint8_t> image = makeImage(97808);

    FlashOutcome outcome = flashImage(image.data(), 97808, plainTransfer, nullptr);

    EXPECT_EQ(outcome.failedStep, FlashStep::none);
    EXPECT_EQ(outcome.result, kLinkOk);
    std::vector<std::uint8_t> expected = {SystemLock, WriteProtect, EraseFirmware, SetWriteAddress};
    expected.insert(expected.end(), 2038, WriteDataBlock);
    expected.insert(expected.end(), {WriteProtect, SystemLock});
    EXPECT_EQ(simCommandOrder(unit), expected);
    EXPECT_EQ(requestHead(unit, 2042, 4), (std::vector<std::uint8_t>{1, WriteProtect, 1, 1}));
    EXPECT_EQ(requestHead(unit, 2043, 4), (std::vector<std::uint8_t>{1, SystemLock, 1, 0}));

    std::vector<std::uint32_t> expectedPauses = {20, 20, 1000, 4000, 20, 20};
    expectedPauses.insert(expectedPauses.end(), 2038, 20);
    EXPECT_EQ(std::vector<std::uint32_t>(simPauses().begin() + pausesBefore, simPauses().end()),
              expectedPauses);
    const std::uint32_t fixed =
        std::accumulate(expectedPauses.begin(), expectedPauses.end(), 0u);
    EXPECT_EQ(fixed, 45840u);

    const SimReceived& erase = unit.received[2];
    EXPECT_GE(erase.readAtMs - erase.writtenAtMs, 1000u);
    EXPECT_GE(unit.received[3].writtenAtMs - erase.readAtMs, 4020u);
    EXPECT_EQ(unit.flash, image);
    EXPECT_FALSE(unit.locked);
    EXPECT_TRUE(unit.writeProtected);
}

TEST_F(UpdateTest, EachFailingStepEndsTheChainThere) {
    struct Case {
        const char* name;
        SimFault fault;
        FlashStep step;
        LinkResult result;
        std::size_t reportsSent;
    };
    const Case cases[] = {
        {"lock refused", {SystemLock, 1, SimFaultKind::refusal, 0}, FlashStep::lock, 1627, 1},
        {"lock unanswered", {SystemLock, 1, SimFaultKind::noAnswer, 0}, FlashStep::lock, -3, 1},
        {"unlock error", {WriteProtect, 1, SimFaultKind::errorAnswer, 9}, FlashStep::unlockFlash,
         9, 2},
        {"unlock refused", {WriteProtect, 1, SimFaultKind::refusal, 0}, FlashStep::unlockFlash,
         1627, 2},
        {"erase error", {EraseFirmware, 1, SimFaultKind::errorAnswer, 0x44}, FlashStep::erase,
         0x44, 3},
        {"unit gone at erase", {EraseFirmware, 1, SimFaultKind::disconnect, 0}, FlashStep::erase,
         -2, 3},
        {"garbled erase answer", {EraseFirmware, 1, SimFaultKind::malformed, 0}, FlashStep::erase,
         -3, 3},
        {"address error", {SetWriteAddress, 1, SimFaultKind::errorAnswer, 0x45},
         FlashStep::setAddress, 0x45, 4},
        {"first block", {WriteDataBlock, 1, SimFaultKind::errorAnswer, 0x46}, FlashStep::transfer,
         0x46, 5},
        {"middle block", {WriteDataBlock, 1019, SimFaultKind::errorAnswer, 0x46},
         FlashStep::transfer, 0x46, 4 + 1019},
        {"last block", {WriteDataBlock, 2038, SimFaultKind::errorAnswer, 0x46},
         FlashStep::transfer, 0x46, 4 + 2038},
    };
    const std::vector<std::uint8_t> image = makeImage(97808);
    for (const Case& c : cases) {
        SetUp();
        SimUnit unit = simReadyUnit();
        unit.faults.push_back(c.fault);
        openReady(unit);
        FlashOutcome outcome = flashImage(image.data(), 97808, plainTransfer, nullptr);
        EXPECT_EQ(outcome.failedStep, c.step) << c.name;
        EXPECT_EQ(outcome.result, c.result) << c.name;
        EXPECT_EQ(unit.received.size(), c.reportsSent) << c.name;
        closeProgrammer();
    }
}

TEST_F(UpdateTest, UnlockAnsweredWithErrorCodeZeroGoesOnToTheErase) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({WriteProtect, 1, SimFaultKind::errorAnswer, 0});
    openReady(unit);
    const std::vector<std::uint8_t> image = makeImage(96);
    // The faked answer left the flash protected, so the erase itself is refused by the unit.
    FlashOutcome outcome = flashImage(image.data(), 96, plainTransfer, nullptr);
    EXPECT_EQ(outcome.failedStep, FlashStep::erase);
    EXPECT_EQ(simCommandOrder(unit),
              (std::vector<std::uint8_t>{SystemLock, WriteProtect, EraseFirmware}));
}

TEST_F(UpdateTest, FailedEraseStillWaitsBeforeItIsReported) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({EraseFirmware, 1, SimFaultKind::errorAnswer, 0x44});
    openReady(unit);
    const std::size_t pausesBefore = simPauses().size();
    flashImage(nullptr, 0, plainTransfer, nullptr);
    EXPECT_EQ(std::vector<std::uint32_t>(simPauses().begin() + pausesBefore, simPauses().end()),
              (std::vector<std::uint32_t>{20, 20, 1000, 4000}));
}

TEST_F(UpdateTest, WithoutLinkTheChainFailsAtTheLockWithoutIo) {
    FlashOutcome outcome = flashImage(nullptr, 0, plainTransfer, nullptr);
    EXPECT_EQ(outcome.failedStep, FlashStep::lock);
    EXPECT_EQ(outcome.result, kLinkNoLink);
    EXPECT_EQ(simIoCount(), 0u);
}

struct PairingCase {
    const char* name;
    std::vector<SimFault> faults;
    FlashStep step;
    LinkResult result;
    std::size_t reportsSent;
};

class AnswerPairing : public UpdateTest, public ::testing::WithParamInterface<PairingCase> {};

// Reports that come twice, unasked or late are never read as the answer to a later request: the
// step whose answer it is decides the outcome.
TEST_P(AnswerPairing, EachStepIsJudgedByItsOwnAnswer) {
    const PairingCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    unit.faults = c.faults;
    openReady(unit);
    const std::vector<std::uint8_t> image = makeImage(97808);
    FlashOutcome outcome = flashImage(image.data(), 97808, plainTransfer, nullptr);
    EXPECT_EQ(outcome.failedStep, c.step);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(unit.received.size(), c.reportsSent);
    if (c.step == FlashStep::none) {
        EXPECT_EQ(unit.flash, image);
    }
}

INSTANTIATE_TEST_SUITE_P(
    UpdateTest, AnswerPairing,
    ::testing::Values(
        PairingCase{"RejectedLastBlockAfterADuplicatedAnswer",
                    {{WriteDataBlock, 1, SimFaultKind::answerTwice, 0},
                     {WriteDataBlock, 2038, SimFaultKind::errorAnswer, 0x46}},
                    FlashStep::transfer, 0x46, 4 + 2038},
        PairingCase{"FailedAddressAfterADuplicatedEraseAnswer",
                    {{EraseFirmware, 1, SimFaultKind::answerTwice, 0},
                     {SetWriteAddress, 1, SimFaultKind::errorAnswer, 0x45}},
                    FlashStep::setAddress, 0x45, 4},
        PairingCase{"UnaskedErrorReportAfterTheLock",
                    {{SystemLock, 1, SimFaultKind::unasked, 0x77}},
                    FlashStep::none, kLinkOk, 4 + 2038 + 2},
        PairingCase{"LockAnsweredAfterTheBound",
                    {{SystemLock, 1, SimFaultKind::lateAnswer, 0}},
                    FlashStep::lock, kLinkReadFailed, 1},
        PairingCase{"UnitVanishesBetweenABlockAndItsAnswer",
                    {{WriteDataBlock, 7, SimFaultKind::vanishBeforeAnswer, 0}},
                    FlashStep::transfer, kLinkReadFailed, 4 + 7}),
    [](const ::testing::TestParamInfo<PairingCase>& info) { return std::string(info.param.name); });

struct ReadinessCase {
    const char* name;
    void (*prepare)(SimUnit& unit);
    LinkReadiness readiness;
};

class ReadinessAtWriting : public UpdateTest, public ::testing::WithParamInterface<ReadinessCase> {};

// The chain looks at the link it is given, not at what the window showed earlier: a unit that is
// linked but was not found ready gets nothing, not even the lock.
TEST_P(ReadinessAtWriting, OnlyAReadyLinkIsWrittenTo) {
    const ReadinessCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    c.prepare(unit);
    simBusPlugUnit(unit);
    openProgrammer();
    ASSERT_TRUE(linkIsOpen());
    EXPECT_EQ(linkReadiness(), c.readiness);
    const std::size_t identification = unit.received.size();
    const std::vector<std::uint8_t> image = makeImage(96);

    FlashOutcome outcome = flashImage(image.data(), 96, plainTransfer, nullptr);

    if (c.readiness == LinkReadiness::ready) {
        EXPECT_EQ(outcome.failedStep, FlashStep::none);
        EXPECT_EQ(unit.flash, image);
        return;
    }
    EXPECT_EQ(outcome.failedStep, FlashStep::lock);
    EXPECT_EQ(outcome.result, kLinkNoLink);
    EXPECT_EQ(unit.received.size(), identification);
    EXPECT_FALSE(unit.erased);
}

INSTANTIATE_TEST_SUITE_P(
    UpdateTest, ReadinessAtWriting,
    ::testing::Values(
        ReadinessCase{"Ready", [](SimUnit&) {}, LinkReadiness::ready},
        ReadinessCase{"AlternativeSupportedType",
                      [](SimUnit& u) { simSetEscType(u, kSupportedEscTypeAlt, 0x02000105); },
                      LinkReadiness::ready},
        ReadinessCase{"UnitInItsBootloader", [](SimUnit& u) { u.inBootloader = true; },
                      LinkReadiness::wrongMode},
        ReadinessCase{"NoUpdatableEsc", [](SimUnit& u) { u.escState = 1; },
                      LinkReadiness::noUpdatableEsc},
        ReadinessCase{"OtherEscType",
                      [](SimUnit& u) { simSetEscType(u, 0x0B07403C, 0x02000105); },
                      LinkReadiness::incompatibleEsc},
        ReadinessCase{"BootInfoAnsweredWithCodeZero",
                      [](SimUnit& u) { u.escBootInfoErrorCode = 0; },
                      LinkReadiness::incompatibleEsc},
        ReadinessCase{"EscMemoryUnreadable", [](SimUnit& u) { u.escInfoErrorCode = 5; },
                      LinkReadiness::noUnit},
        ReadinessCase{"BootInfoUnreadable", [](SimUnit& u) { u.escBootInfoErrorCode = 7; },
                      LinkReadiness::noUnit},
        ReadinessCase{"OutputReportTooShortForABlock",
                      [](SimUnit& u) { u.outputReportLength = 32; }, LinkReadiness::noUnit}),
    [](const ::testing::TestParamInfo<ReadinessCase>& info) {
        return std::string(info.param.name);
    });
