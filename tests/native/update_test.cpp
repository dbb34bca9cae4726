// The unit-side chain of an update and the block transfer, on the virtual clock.
#include <algorithm>
#include <iterator>
#include <string>

#include "tests/native/link_fixture.h"
#include "tests/shared/update_facts.h"
#include "update/update_steps.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Pauses = std::vector<std::uint32_t>;

// Lock, flash unlock, erase and address come before the first block.
constexpr std::size_t kRequestsBeforeBlocks = 4;

Bytes makeImage(std::uint32_t size) {
    Bytes image(size);
    for (std::uint32_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return image;
}

// The first `count` requests of a complete update.
Bytes updateCommandsUpTo(std::size_t count) {
    Bytes commands = updatefacts::updateCommandOrder();
    commands.resize(count);
    return commands;
}

// The first `count` pauses of a complete update.
Pauses updatePausesUpTo(std::size_t count) {
    Pauses pauses = updatefacts::updatePausesMs();
    pauses.resize(count);
    return pauses;
}

Pauses pausesSince(std::size_t before) {
    return Pauses(simPauses().begin() + static_cast<std::ptrdiff_t>(before), simPauses().end());
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

struct TransferCase {
    const char* name;
    std::uint32_t size;
    Bytes lengthBytes;
    std::uint32_t firstPosition;
};

class TransferOfImages : public UpdateTest, public ::testing::WithParamInterface<TransferCase> {};

struct FailingBlockCase {
    const char* name;
    std::uint32_t block;
    SimFaultKind kind;
    LinkResult expected;
    bool systemFailure;  // the system, not the unit, reported the failure
};

class FailingBlocks : public UpdateTest, public ::testing::WithParamInterface<FailingBlockCase> {};

struct FailingStepCase {
    const char* name;
    SimFault fault;
    FlashStep step;
    LinkResult result;
    std::size_t requestsSent;
};

class FailingSteps : public UpdateTest, public ::testing::WithParamInterface<FailingStepCase> {};

struct PairingCase {
    const char* name;
    std::vector<SimFault> faults;
    FlashStep step;
    LinkResult result;
    std::size_t reportsSent;
};

class AnswerPairing : public UpdateTest, public ::testing::WithParamInterface<PairingCase> {};

struct ReadinessCase {
    const char* name;
    void (*prepare)(SimUnit& unit);
    LinkReadiness readiness;
};

class ReadinessAtWriting : public UpdateTest,
                           public ::testing::WithParamInterface<ReadinessCase> {};

}  // namespace

TEST_P(TransferOfImages, SendsBlocksWithPaddingProgressAndPauses) {
    const TransferCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    prepareForBlocks(unit);
    const Bytes image = makeImage(c.size);
    std::vector<std::uint32_t> positions;
    const std::size_t pausesBefore = simPauses().size();

    TransferOutcome outcome = sendImageBlocks(image.data(), c.size, recordPosition, &positions);

    EXPECT_EQ(outcome.result, kLinkOk);
    Bytes lengths;
    for (const SimReceived& report : unit.received) lengths.push_back(report.bytes[2]);
    EXPECT_EQ(lengths, c.lengthBytes);
    EXPECT_EQ(positions.size(), c.lengthBytes.size());
    if (!positions.empty()) {
        EXPECT_EQ(positions.front(), c.firstPosition);
        EXPECT_EQ(positions.back(), 100u);
    }
    EXPECT_EQ(pausesSince(pausesBefore), Pauses(c.lengthBytes.size(), updatefacts::blockPauseMs));
    // What the unit stored is the image, then erased-flash filler up to the last word sent.
    std::size_t bytesSent = 0;
    for (std::uint8_t length : c.lengthBytes) bytesSent += length;
    Bytes stored = image;
    stored.resize(bytesSent, 0xFF);
    EXPECT_EQ(unit.flash, stored);
}

INSTANTIATE_TEST_SUITE_P(
    UpdateTest, TransferOfImages,
    ::testing::Values(TransferCase{"Empty", 0, {}, 0},
                      TransferCase{"OneBlock", 48, {48}, 100},
                      TransferCase{"OneBlockAndAWord", 52, {48, 4}, 92},
                      TransferCase{"TwoBlocks", 96, {48, 48}, 50},
                      // Not a whole word: the last two bytes still go out.
                      TransferCase{"OneBlockAndTwoBytes", 50, {48, 4}, 96}),
    rowName<TransferCase>);

TEST_F(UpdateTest, FinalShortBlockIsCountedByItsWordsAndFilledLikeErasedFlash) {
    SimUnit unit = simReadyUnit();
    prepareForBlocks(unit);
    const Bytes image = makeImage(50);
    sendImageBlocks(image.data(), 50, nullptr, nullptr);
    ASSERT_EQ(unit.received.size(), 2u);
    const Bytes& last = unit.received[1].bytes;
    EXPECT_EQ(last[2], 4);
    EXPECT_EQ(Bytes(last.begin() + 4, last.begin() + 8), (Bytes{image[48], image[49], 0xFF, 0xFF}));
}

TEST_F(UpdateTest, FullSizeImageProgressRunsFromZeroToHundred) {
    SimUnit unit = simReadyUnit();
    prepareForBlocks(unit);
    const Bytes image = makeImage(updatefacts::imageBytes);
    std::vector<std::uint32_t> positions;
    ASSERT_EQ(
        sendImageBlocks(image.data(), updatefacts::imageBytes, recordPosition, &positions).result,
        kLinkOk);
    ASSERT_EQ(positions.size(), updatefacts::blocks);
    EXPECT_EQ(positions.front(), 0u);
    EXPECT_EQ(positions.back(), 100u);
    // A block is a twentieth of a point: the bar never goes back and never skips a point.
    const auto jump = std::adjacent_find(positions.begin(), positions.end(),
                                         [](std::uint32_t a, std::uint32_t b) {
                                             return b < a || b - a > 1;
                                         });
    EXPECT_EQ(jump, positions.end()) << "at block " << (jump - positions.begin()) + 1;
    EXPECT_EQ(unit.received.back().bytes[2], updatefacts::lastBlockBytes);
    EXPECT_EQ(unit.flash, image);
}

TEST_P(FailingBlocks, StopTheTransferAndKeepTheSystemError) {
    const FailingBlockCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    prepareForBlocks(unit);
    unit.faults.push_back({WriteDataBlock, c.block, c.kind, 0x31});
    const Bytes image = makeImage(updatefacts::imageBytes);
    std::vector<std::uint32_t> positions;
    TransferOutcome outcome =
        sendImageBlocks(image.data(), updatefacts::imageBytes, recordPosition, &positions);
    EXPECT_EQ(outcome.result, c.expected);
    EXPECT_EQ(unit.received.size(), c.block);  // nothing after the failing block
    EXPECT_EQ(positions.size(), c.block - 1);
    if (c.systemFailure) {
        EXPECT_NE(outcome.systemError, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    UpdateTest, FailingBlocks,
    ::testing::Values(
        FailingBlockCase{"FirstAnsweredWithAnError", 1, SimFaultKind::errorAnswer, 0x31, false},
        FailingBlockCase{"UnitGoneMidway", 1000, SimFaultKind::disconnect, kLinkWriteFailed,
                         true},
        FailingBlockCase{"LastUnanswered", updatefacts::blocks, SimFaultKind::noAnswer,
                         kLinkReadFailed, true}),
    rowName<FailingBlockCase>);

TEST_F(UpdateTest, FullUpdateSendsTheChainInOrderWithItsPauses) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    const std::size_t pausesBefore = simPauses().size();
    const std::uint64_t start = simNowMs();
    const Bytes image = makeImage(updatefacts::imageBytes);

    FlashOutcome outcome =
        flashImage(image.data(), updatefacts::imageBytes, plainTransfer, nullptr);

    EXPECT_EQ(outcome.failedStep, FlashStep::none);
    EXPECT_EQ(outcome.result, kLinkOk);
    ASSERT_EQ(simCommandOrder(unit), updatefacts::updateCommandOrder());
    EXPECT_EQ(requestHead(unit, updatefacts::updateCommandCount - 2, 4),
              (Bytes{0x01, 0x20, 0x01, 0x01}));  // protection restored
    EXPECT_EQ(requestHead(unit, updatefacts::updateCommandCount - 1, 4),
              (Bytes{0x01, 0x0B, 0x01, 0x00}));  // lock released

    EXPECT_EQ(pausesSince(pausesBefore), updatefacts::updatePausesMs());
    // The simulated unit answers at once, so on its clock the update takes its fixed pauses:
    // none of them skipped, and no read left waiting.
    EXPECT_EQ(simNowMs() - start, updatefacts::fixedPausesMs);

    // As the unit sees it: the erase's answer is taken after the wait inside the erase, the
    // address comes after the wait behind it and the step pause.
    const SimReceived& erase = unit.received[2];
    EXPECT_EQ(erase.readAtMs - erase.writtenAtMs, updatefacts::pausesBeforeTransferMs[2]);
    EXPECT_EQ(unit.received[3].writtenAtMs - erase.readAtMs,
              updatefacts::pausesBeforeTransferMs[3] + updatefacts::pausesBeforeTransferMs[4]);
    EXPECT_EQ(unit.flash, image);
    EXPECT_FALSE(unit.locked);
    EXPECT_TRUE(unit.writeProtected);
}

TEST_P(FailingSteps, EndTheChainThere) {
    const FailingStepCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    unit.faults.push_back(c.fault);
    openReady(unit);
    const Bytes image = makeImage(updatefacts::imageBytes);
    FlashOutcome outcome =
        flashImage(image.data(), updatefacts::imageBytes, plainTransfer, nullptr);
    EXPECT_EQ(outcome.failedStep, c.step);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(simCommandOrder(unit), updateCommandsUpTo(c.requestsSent));
}

INSTANTIATE_TEST_SUITE_P(
    UpdateTest, FailingSteps,
    ::testing::Values(
        FailingStepCase{"LockRefused", {SystemLock, 1, SimFaultKind::refusal, 0}, FlashStep::lock,
                        1627, 1},
        FailingStepCase{"LockUnanswered", {SystemLock, 1, SimFaultKind::noAnswer, 0},
                        FlashStep::lock, -3, 1},
        FailingStepCase{"UnlockError", {WriteProtect, 1, SimFaultKind::errorAnswer, 9},
                        FlashStep::unlockFlash, 9, 2},
        FailingStepCase{"UnlockRefused", {WriteProtect, 1, SimFaultKind::refusal, 0},
                        FlashStep::unlockFlash, 1627, 2},
        FailingStepCase{"EraseError", {EraseFirmware, 1, SimFaultKind::errorAnswer, 0x44},
                        FlashStep::erase, 0x44, 3},
        FailingStepCase{"UnitGoneAtErase", {EraseFirmware, 1, SimFaultKind::disconnect, 0},
                        FlashStep::erase, -2, 3},
        FailingStepCase{"GarbledEraseAnswer", {EraseFirmware, 1, SimFaultKind::malformed, 0},
                        FlashStep::erase, -3, 3},
        FailingStepCase{"AddressError", {SetWriteAddress, 1, SimFaultKind::errorAnswer, 0x45},
                        FlashStep::setAddress, 0x45, 4},
        FailingStepCase{"FirstBlockRejected", {WriteDataBlock, 1, SimFaultKind::errorAnswer, 0x46},
                        FlashStep::transfer, 0x46, kRequestsBeforeBlocks + 1},
        FailingStepCase{"MiddleBlockRejected",
                        {WriteDataBlock, updatefacts::blocks / 2, SimFaultKind::errorAnswer, 0x46},
                        FlashStep::transfer, 0x46,
                        kRequestsBeforeBlocks + updatefacts::blocks / 2},
        FailingStepCase{"LastBlockRejected",
                        {WriteDataBlock, updatefacts::blocks, SimFaultKind::errorAnswer, 0x46},
                        FlashStep::transfer, 0x46, kRequestsBeforeBlocks + updatefacts::blocks}),
    rowName<FailingStepCase>);

TEST_F(UpdateTest, UnlockAnsweredWithErrorCodeZeroGoesOnToTheErase) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({WriteProtect, 1, SimFaultKind::errorAnswer, 0});
    openReady(unit);
    const Bytes image = makeImage(96);
    // The faked answer left the flash protected, so the erase itself is refused by the unit.
    FlashOutcome outcome = flashImage(image.data(), 96, plainTransfer, nullptr);
    EXPECT_EQ(outcome.failedStep, FlashStep::erase);
    EXPECT_EQ(simCommandOrder(unit), updateCommandsUpTo(3));
}

TEST_F(UpdateTest, FailedEraseStillWaitsBeforeItIsReported) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({EraseFirmware, 1, SimFaultKind::errorAnswer, 0x44});
    openReady(unit);
    const std::size_t pausesBefore = simPauses().size();
    flashImage(nullptr, 0, plainTransfer, nullptr);
    // Up to and including the wait behind the erase.
    EXPECT_EQ(pausesSince(pausesBefore), updatePausesUpTo(4));
}

TEST_F(UpdateTest, WithoutLinkTheChainFailsAtTheLockWithoutIo) {
    FlashOutcome outcome = flashImage(nullptr, 0, plainTransfer, nullptr);
    EXPECT_EQ(outcome.failedStep, FlashStep::lock);
    EXPECT_EQ(outcome.result, kLinkNoLink);
    EXPECT_EQ(simIoCount(), 0u);
}

// Reports that come twice, unasked or late are never read as the answer to a later request: the
// step whose answer it is decides the outcome.
TEST_P(AnswerPairing, EachStepIsJudgedByItsOwnAnswer) {
    const PairingCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    unit.faults = c.faults;
    openReady(unit);
    const Bytes image = makeImage(updatefacts::imageBytes);
    FlashOutcome outcome =
        flashImage(image.data(), updatefacts::imageBytes, plainTransfer, nullptr);
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
                     {WriteDataBlock, updatefacts::blocks, SimFaultKind::errorAnswer, 0x46}},
                    FlashStep::transfer, 0x46, kRequestsBeforeBlocks + updatefacts::blocks},
        PairingCase{"FailedAddressAfterADuplicatedEraseAnswer",
                    {{EraseFirmware, 1, SimFaultKind::answerTwice, 0},
                     {SetWriteAddress, 1, SimFaultKind::errorAnswer, 0x45}},
                    FlashStep::setAddress, 0x45, kRequestsBeforeBlocks},
        PairingCase{"UnaskedErrorReportAfterTheLock",
                    {{SystemLock, 1, SimFaultKind::unasked, 0x77}},
                    FlashStep::none, kLinkOk, updatefacts::updateCommandCount},
        PairingCase{"LockAnsweredAfterTheBound",
                    {{SystemLock, 1, SimFaultKind::lateAnswer, 0}},
                    FlashStep::lock, kLinkReadFailed, 1},
        PairingCase{"UnitVanishesBetweenABlockAndItsAnswer",
                    {{WriteDataBlock, 7, SimFaultKind::vanishBeforeAnswer, 0}},
                    FlashStep::transfer, kLinkReadFailed, kRequestsBeforeBlocks + 7}),
    rowName<PairingCase>);

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
    const Bytes image = makeImage(96);

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
    rowName<ReadinessCase>);
