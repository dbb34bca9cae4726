// The unit-side chain of an update and the block transfer, on the virtual clock.
#include <algorithm>
#include <iterator>
#include <string>

#include "link/device_io.h"
#include "link/identify.h"
#include "link/open_link.h"
#include "tests/native/link_fixture.h"
#include "tests/shared/update_facts.h"
#include "update/flash_chain.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Pauses = std::vector<std::uint32_t>;

// The ESC asked for again: Identify, ReadEscMemory, ReadEscBootInfo.
constexpr std::size_t kReidentificationRequests = 3;
// The re-identification, lock, flash unlock, erase and address come before the first block.
constexpr std::size_t kRequestsBeforeBlocks = kReidentificationRequests + 4;
// Where the erase and the address sit among the requests of an update.
constexpr std::size_t kEraseRequest = kReidentificationRequests + 2;
constexpr std::size_t kAddressRequest = kEraseRequest + 1;
// Where the wait inside the erase and the two behind it sit among the pauses of an update.
constexpr std::size_t kInsideErasePause = 3;

// The opening identification asked Identify once; the update asks it the second time.
constexpr std::uint32_t kReidentification = 2;
constexpr std::uint32_t kForeignEscType = 0x0B07403C;

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

// How the unit and the program take their time: the unit answers `answerDelayMs` after each
// request, and drawing the progress after each block takes `progressMs`.
struct TimingCase {
    const char* name;
    std::uint32_t answerDelayMs;
    std::uint32_t progressMs;
};

void PrintTo(const TimingCase& row, std::ostream* out) { *out << row.name; }

class PauseTiming : public UpdateTest, public ::testing::WithParamInterface<TimingCase> {};

void spendOnProgress(std::uint32_t, void* context) {
    simSpendMs(*static_cast<const std::uint32_t*>(context));
}

TransferOutcome transferWithSlowProgress(const std::uint8_t* image, std::uint32_t size,
                                         void* context) {
    return sendImageBlocks(image, size, spendOnProgress, context);
}

// Between each answer of a complete update and the request after it, as the unit sees it: from
// the moment its answer was taken to the moment the next request arrived. After a block the
// program's own work (`blockWorkMs`) passes inside the pause.
std::vector<std::uint64_t> expectedGapsMs(std::uint32_t blockWorkMs) {
    const auto& pauses = updatefacts::pausesBeforeTransferMs;
    // The re-identification's requests follow each other at once; the erase's answer is
    // followed by the wait behind it and the step pause.
    std::vector<std::uint64_t> gaps = {
        0, 0, pauses[0], pauses[1], pauses[2], pauses[4] + pauses[5], pauses[6]};
    const std::uint64_t afterBlock = std::max(updatefacts::blockPauseMs, blockWorkMs);
    gaps.insert(gaps.end(), updatefacts::blocks, afterBlock);
    gaps.push_back(0);  // the protection restored, then at once the lock released
    return gaps;
}

struct ReadinessCase {
    const char* name;
    void (*prepare)(SimUnit& unit);
    LinkReadiness readiness;
};

class ReadinessAtWriting : public UpdateTest,
                           public ::testing::WithParamInterface<ReadinessCase> {};

// What the link record shows of the ESC.
struct EscRecord {
    LinkReadiness readiness;
    std::uint16_t firmwareVersion;
    std::uint32_t typeId;
    std::uint32_t bootloaderVersion;
};

struct ChangeCase {
    const char* name;
    // Done to the unit after the user confirmed: the ESC swapped on the cable, or a fault that
    // swaps it while the update asks.
    void (*change)(SimUnit& unit);
    Bytes requests;    // what the update sends: the identification requests alone
    EscRecord record;  // what the record shows afterwards: what is there now
};

class ChangedEsc : public UpdateTest, public ::testing::WithParamInterface<ChangeCase> {};

struct SameEscCase {
    const char* name;
    void (*change)(SimUnit& unit);
};

class UnchangedEsc : public UpdateTest, public ::testing::WithParamInterface<SameEscCase> {};

struct StopCase {
    const char* name;
    FlashStep before;           // the step the question stops
    std::uint32_t beforeBlock;  // for a stop inside the transfer: the block not sent
    Bytes requests;             // everything the unit receives
};

class StopQuestion : public UpdateTest, public ::testing::WithParamInterface<StopCase> {};

// Where a test's stop question says no.
struct StopPlan {
    FlashStep before;
    std::uint32_t beforeBlock;
    std::uint32_t blocksAsked = 0;
};

bool goOnUnlessPlanned(FlashStep next, void* context) {
    return next != static_cast<StopPlan*>(context)->before;
}

bool goOnWithBlockUnlessPlanned(void* context) {
    StopPlan& plan = *static_cast<StopPlan*>(context);
    return ++plan.blocksAsked != plan.beforeBlock;
}

TransferOutcome transferAskingBeforeEachBlock(const std::uint8_t* image, std::uint32_t size,
                                              void* context) {
    return sendImageBlocks(image, size, nullptr, context, goOnWithBlockUnlessPlanned);
}

EscRecord recordNow() {
    return {linkReadiness(), escFirmwareVersion(), escTypeId(), escBootloaderVersion()};
}

bool operator==(const EscRecord& a, const EscRecord& b) {
    return a.readiness == b.readiness && a.firmwareVersion == b.firmwareVersion &&
           a.typeId == b.typeId && a.bootloaderVersion == b.bootloaderVersion;
}

void PrintTo(const EscRecord& r, std::ostream* out) {
    *out << "readiness " << static_cast<int>(r.readiness) << ", firmware " << std::hex
         << r.firmwareVersion << ", type " << r.typeId << ", bootloader " << r.bootloaderVersion
         << std::dec;
}

const Bytes kReidentifyingRequests(std::begin(updatefacts::identifyCommands),
                                   std::end(updatefacts::identifyCommands));
const Bytes kBootloaderUnitRequests(std::begin(updatefacts::bootloaderUnitIdentifyCommands),
                                    std::end(updatefacts::bootloaderUnitIdentifyCommands));

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
    const SimReceived& erase = unit.received[kEraseRequest];
    EXPECT_EQ(erase.readAtMs - erase.writtenAtMs,
              updatefacts::pausesBeforeTransferMs[kInsideErasePause]);
    EXPECT_EQ(unit.received[kAddressRequest].writtenAtMs - erase.readAtMs,
              updatefacts::pausesBeforeTransferMs[kInsideErasePause + 1] +
                  updatefacts::pausesBeforeTransferMs[kInsideErasePause + 2]);
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
        // The re-identification's own failures: nothing is locked.
        FailingStepCase{"ReidentifyUnanswered",
                        {Identify, kReidentification, SimFaultKind::noAnswer, 0},
                        FlashStep::reidentify,
                        -3,
                        1},
        FailingStepCase{"ReidentifyAnsweredWithAnError",
                        {Identify, kReidentification, SimFaultKind::errorAnswer, 0x5A},
                        FlashStep::reidentify,
                        0x5A,
                        1},
        FailingStepCase{"UnitGoneAtTheReidentification",
                        {Identify, kReidentification, SimFaultKind::disconnect, 0},
                        FlashStep::reidentify,
                        -2,
                        1},
        FailingStepCase{"EscMemoryCutShortAtTheReidentification",
                        {ReadEscMemory, kReidentification, SimFaultKind::cutShort, 20},
                        FlashStep::reidentify,
                        -3,
                        2},
        FailingStepCase{"EscMemoryErrorAtTheReidentification",
                        {ReadEscMemory, kReidentification, SimFaultKind::errorAnswer, 0x31},
                        FlashStep::reidentify,
                        0x31,
                        2},
        FailingStepCase{"BootInfoOverlongAtTheReidentification",
                        {ReadEscBootInfo, kReidentification, SimFaultKind::overlong, 0},
                        FlashStep::reidentify,
                        -3,
                        3},
        FailingStepCase{
            "LockRefused", {SystemLock, 1, SimFaultKind::refusal, 0}, FlashStep::lock, 1627, 4},
        FailingStepCase{
            "LockUnanswered", {SystemLock, 1, SimFaultKind::noAnswer, 0}, FlashStep::lock, -3, 4},
        FailingStepCase{"UnlockError",
                        {WriteProtect, 1, SimFaultKind::errorAnswer, 9},
                        FlashStep::unlockFlash,
                        9,
                        5},
        FailingStepCase{"UnlockRefused",
                        {WriteProtect, 1, SimFaultKind::refusal, 0},
                        FlashStep::unlockFlash,
                        1627,
                        5},
        FailingStepCase{"EraseError",
                        {EraseFirmware, 1, SimFaultKind::errorAnswer, 0x44},
                        FlashStep::erase,
                        0x44,
                        6},
        FailingStepCase{"UnitGoneAtErase",
                        {EraseFirmware, 1, SimFaultKind::disconnect, 0},
                        FlashStep::erase,
                        -2,
                        6},
        FailingStepCase{"GarbledEraseAnswer",
                        {EraseFirmware, 1, SimFaultKind::malformed, 0},
                        FlashStep::erase,
                        -3,
                        6},
        // Padded with zeros, a cut-short answer would read as a success.
        FailingStepCase{"EraseAnswerCutShort",
                        {EraseFirmware, 1, SimFaultKind::cutShort, 8},
                        FlashStep::erase,
                        -3,
                        6},
        FailingStepCase{"EraseAnswerOverlong",
                        {EraseFirmware, 1, SimFaultKind::overlong, 0},
                        FlashStep::erase,
                        -3,
                        6},
        FailingStepCase{"AddressError",
                        {SetWriteAddress, 1, SimFaultKind::errorAnswer, 0x45},
                        FlashStep::setAddress,
                        0x45,
                        7},
        FailingStepCase{"FirstBlockRejected",
                        {WriteDataBlock, 1, SimFaultKind::errorAnswer, 0x46},
                        FlashStep::transfer,
                        0x46,
                        kRequestsBeforeBlocks + 1},
        FailingStepCase{"BlockAnswerCutShort",
                        {WriteDataBlock, 3, SimFaultKind::cutShort, 4},
                        FlashStep::transfer,
                        -3,
                        kRequestsBeforeBlocks + 3},
        FailingStepCase{"BlockAnswerOverlong",
                        {WriteDataBlock, 3, SimFaultKind::overlong, 0},
                        FlashStep::transfer,
                        -3,
                        kRequestsBeforeBlocks + 3},
        FailingStepCase{"MiddleBlockRejected",
                        {WriteDataBlock, updatefacts::blocks / 2, SimFaultKind::errorAnswer, 0x46},
                        FlashStep::transfer,
                        0x46,
                        kRequestsBeforeBlocks + updatefacts::blocks / 2},
        FailingStepCase{"LastBlockRejected",
                        {WriteDataBlock, updatefacts::blocks, SimFaultKind::errorAnswer, 0x46},
                        FlashStep::transfer,
                        0x46,
                        kRequestsBeforeBlocks + updatefacts::blocks}),
    rowName<FailingStepCase>);

TEST_F(UpdateTest, UnlockAnsweredWithErrorCodeZeroGoesOnToTheErase) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({WriteProtect, 1, SimFaultKind::errorAnswer, 0});
    openReady(unit);
    const Bytes image = makeImage(96);
    // The faked answer left the flash protected, so the erase itself is refused by the unit.
    FlashOutcome outcome = flashImage(image.data(), 96, plainTransfer, nullptr);
    EXPECT_EQ(outcome.failedStep, FlashStep::erase);
    EXPECT_EQ(simCommandOrder(unit), updateCommandsUpTo(kEraseRequest + 1));
}

TEST_F(UpdateTest, FailedEraseStillWaitsBeforeItIsReported) {
    SimUnit unit = simReadyUnit();
    unit.faults.push_back({EraseFirmware, 1, SimFaultKind::errorAnswer, 0x44});
    openReady(unit);
    const std::size_t pausesBefore = simPauses().size();
    flashImage(nullptr, 0, plainTransfer, nullptr);
    // Up to and including the wait behind the erase.
    EXPECT_EQ(pausesSince(pausesBefore), updatePausesUpTo(kInsideErasePause + 2));
}

TEST_F(UpdateTest, WithoutLinkTheChainFailsAtTheLockWithoutIo) {
    FlashOutcome outcome = flashImage(nullptr, 0, plainTransfer, nullptr);
    EXPECT_EQ(outcome.failedStep, FlashStep::lock);
    EXPECT_EQ(outcome.result, kLinkNoLink);
    EXPECT_EQ(simIoCount(), 0u);
}

// Nothing in an answer names its request. Inside an update, a report found queued before a
// request is one nobody asked for: the answer taken for the previous request may have been
// another's, so that step fails and nothing further is sent. Before the update, and in the
// closing steps whose answers count for nothing, such reports are dropped.
TEST_P(AnswerPairing, AReportNobodyAskedForStopsTheUpdateBeforeItsNextRequest) {
    const PairingCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    unit.faults = c.faults;
    openReady(unit);
    const Bytes image = makeImage(updatefacts::imageBytes);
    FlashOutcome outcome =
        flashImage(image.data(), updatefacts::imageBytes, plainTransfer, nullptr);
    EXPECT_EQ(outcome.failedStep, c.step);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(simCommandOrder(unit), updateCommandsUpTo(c.reportsSent));
    if (c.step == FlashStep::none) {
        EXPECT_EQ(unit.flash, image);
        EXPECT_FALSE(unit.locked);
    }
}

// A duplicate's `code` is how long after its request it arrives: inside the wait that follows
// the request (20 ms after most, 1000 inside the erase, 4000 behind it).
INSTANTIATE_TEST_SUITE_P(
    UpdateTest, AnswerPairing,
    ::testing::Values(
        // No pause between the re-identification's requests: the duplicate is found before
        // the lock.
        PairingCase{"ReidentificationDuplicatedLate",
                    {{Identify, kReidentification, SimFaultKind::duplicateLate, 10}},
                    FlashStep::reidentify,
                    kLinkOutOfStep,
                    kReidentificationRequests},
        PairingCase{"ReidentificationAnsweredTwice",
                    {{ReadEscMemory, kReidentification, SimFaultKind::answerTwice, 0}},
                    FlashStep::reidentify,
                    kLinkOutOfStep,
                    2},
        PairingCase{"LockAnsweredTwice",
                    {{SystemLock, 1, SimFaultKind::answerTwice, 0}},
                    FlashStep::lock,
                    kLinkOutOfStep,
                    4},
        PairingCase{"UnaskedReportAfterTheLock",
                    {{SystemLock, 1, SimFaultKind::unasked, 0x77}},
                    FlashStep::lock,
                    kLinkOutOfStep,
                    4},
        PairingCase{"UnlockDuplicatedLate",
                    {{WriteProtect, 1, SimFaultKind::duplicateLate, 15}},
                    FlashStep::unlockFlash,
                    kLinkOutOfStep,
                    5},
        PairingCase{"EraseDuplicatedInsideItsWait",
                    {{EraseFirmware, 1, SimFaultKind::duplicateLate, 500}},
                    FlashStep::erase,
                    kLinkOutOfStep,
                    kEraseRequest + 1},
        PairingCase{"EraseDuplicatedInTheWaitBehindIt",
                    {{EraseFirmware, 1, SimFaultKind::duplicateLate, 3000}},
                    FlashStep::erase,
                    kLinkOutOfStep,
                    kEraseRequest + 1},
        PairingCase{"AddressDuplicatedLate",
                    {{SetWriteAddress, 1, SimFaultKind::duplicateLate, 10}},
                    FlashStep::setAddress,
                    kLinkOutOfStep,
                    kAddressRequest + 1},
        PairingCase{"BlockDuplicatedInsideItsWait",
                    {{WriteDataBlock, 1, SimFaultKind::duplicateLate, 10}},
                    FlashStep::transfer,
                    kLinkOutOfStep,
                    kRequestsBeforeBlocks + 1},
        PairingCase{"LastBlockDuplicatedInsideItsWait",
                    {{WriteDataBlock, updatefacts::blocks, SimFaultKind::duplicateLate, 19}},
                    FlashStep::transfer,
                    kLinkOutOfStep,
                    kRequestsBeforeBlocks + updatefacts::blocks},
        // The queue is looked at in the pause's last moments: a report there is found before
        // the next request; one arriving as the pause ends is read as that request's answer,
        // and the answer it displaced is found before the request after it.
        PairingCase{"BlockDuplicatedJustBeforeItsPauseEnds",
                    {{WriteDataBlock, 5, SimFaultKind::duplicateLate,
                      updatefacts::blockPauseMs - 1}},
                    FlashStep::transfer,
                    kLinkOutOfStep,
                    kRequestsBeforeBlocks + 5},
        PairingCase{"BlockDuplicatedAsItsPauseEnds",
                    {{WriteDataBlock, 5, SimFaultKind::duplicateLate, updatefacts::blockPauseMs}},
                    FlashStep::transfer,
                    kLinkOutOfStep,
                    kRequestsBeforeBlocks + 6},
        PairingCase{"EraseDuplicatedJustBeforeTheWaitsBehindItEnd",
                    {{EraseFirmware, 1, SimFaultKind::duplicateLate,
                      updatefacts::pausesBeforeTransferMs[kInsideErasePause] +
                          updatefacts::pausesBeforeTransferMs[kInsideErasePause + 1] +
                          updatefacts::pausesBeforeTransferMs[kInsideErasePause + 2] - 1}},
                    FlashStep::erase,
                    kLinkOutOfStep,
                    kEraseRequest + 1},
        PairingCase{"UnaskedReportAfterIdentification",
                    {{ReadEscBootInfo, 1, SimFaultKind::unasked, 0x77}},
                    FlashStep::none,
                    kLinkOk,
                    updatefacts::updateCommandCount},
        // Read and ignored: the lock is still released.
        PairingCase{"RestoreAnsweredTwice",
                    {{WriteProtect, 2, SimFaultKind::answerTwice, 0}},
                    FlashStep::none,
                    kLinkOk,
                    updatefacts::updateCommandCount},
        PairingCase{"LockAnsweredAfterTheBound",
                    {{SystemLock, 1, SimFaultKind::lateAnswer, 0}},
                    FlashStep::lock,
                    kLinkReadFailed,
                    4},
        PairingCase{"UnitVanishesBetweenABlockAndItsAnswer",
                    {{WriteDataBlock, 7, SimFaultKind::vanishBeforeAnswer, 0}},
                    FlashStep::transfer,
                    kLinkReadFailed,
                    kRequestsBeforeBlocks + 7}),
    rowName<PairingCase>);

// Each pause runs from the moment the answer before it was taken: the unit always gets its whole
// pause, however late it answered, and the program's work after an answer is inside the pause
// rather than added to it.
TEST_P(PauseTiming, TheUnitSeesEachPauseFromItsAnswerToTheNextRequest) {
    const TimingCase& c = GetParam();
    simSetAnswerDelayMs(c.answerDelayMs);
    SimUnit unit = simReadyUnit();
    openReady(unit);
    const std::size_t pausesBefore = simPauses().size();
    const Bytes image = makeImage(updatefacts::imageBytes);
    std::uint32_t progressMs = c.progressMs;

    FlashOutcome outcome =
        flashImage(image.data(), updatefacts::imageBytes, transferWithSlowProgress, &progressMs);

    ASSERT_EQ(outcome.failedStep, FlashStep::none);
    ASSERT_EQ(unit.received.size(), updatefacts::updateCommandCount);
    std::vector<std::uint64_t> gaps;
    for (std::size_t i = 1; i < unit.received.size(); ++i)
        gaps.push_back(unit.received[i].writtenAtMs - unit.received[i - 1].readAtMs);
    const std::vector<std::uint64_t> expected = expectedGapsMs(c.progressMs);
    EXPECT_EQ(gaps, expected);
    // The erase's answer is taken a second after its request, however soon it came.
    const SimReceived& erase = unit.received[kEraseRequest];
    EXPECT_EQ(erase.readAtMs - erase.writtenAtMs,
              updatefacts::pausesBeforeTransferMs[kInsideErasePause]);
    EXPECT_EQ(pausesSince(pausesBefore), updatefacts::updatePausesMs());
}

INSTANTIATE_TEST_SUITE_P(UpdateTest, PauseTiming,
                         ::testing::Values(TimingCase{"UnitAnswersAtOnce", 0, 0},
                                           TimingCase{"UnitAnswersAfterThreeMs", 3, 0},
                                           TimingCase{"ProgressTakesPartOfThePause", 0, 7},
                                           TimingCase{"ProgressTakesLongerThanThePause", 0, 25},
                                           TimingCase{"SlowUnitAndSlowProgress", 3, 7}),
                         rowName<TimingCase>);

// Another program reading the same unit (it holds nothing, so it may) sends a request in the
// middle of an update: its answer reaches every handle of the unit, ours too.
TEST_F(UpdateTest, AnotherProgramsRequestDuringAnUpdateStopsItBeforeTheErase) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    const DeviceHandle other = simOpenUnheld(programmerLink.devicePath);
    ASSERT_NE(other, kNoDevice);
    const StepQuestion askAcrossBeforeTheErase = [](FlashStep next, void* context) {
        if (next == FlashStep::erase) {
            const Report identify = commandReport(Identify, 0);
            deviceWrite(static_cast<DeviceHandle>(context), identify.bytes, kReportBufferSize);
        }
        return true;
    };
    const Bytes image = makeImage(96);

    FlashOutcome outcome =
        flashImage(image.data(), 96, plainTransfer, other, askAcrossBeforeTheErase);

    EXPECT_EQ(outcome.failedStep, FlashStep::unlockFlash);
    EXPECT_EQ(outcome.result, kLinkOutOfStep);
    EXPECT_EQ(unit.commandCounts[EraseFirmware], 0u);
    deviceClose(other);
}

// A unit unplugged while the chain pauses is gone for the next step; the previous step's answer
// is not in doubt.
TEST_F(UpdateTest, UnitUnpluggedBetweenStepsFailsTheNextStep) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    const StepQuestion unplugBeforeTheAddress = [](FlashStep next, void* context) {
        if (next == FlashStep::setAddress) simBusUnplug(static_cast<const char16_t*>(context));
        return true;
    };
    const Bytes image = makeImage(96);

    FlashOutcome outcome = flashImage(image.data(), 96, plainTransfer, programmerLink.devicePath,
                                      unplugBeforeTheAddress);

    EXPECT_EQ(outcome.failedStep, FlashStep::setAddress);
    EXPECT_EQ(outcome.result, kLinkWriteFailed);
    EXPECT_NE(outcome.systemError, 0u);
}

// Every block answered: the image is in. The closing steps cannot reach a unit that is gone,
// but their answers count for nothing anyway.
TEST_F(UpdateTest, UnitUnpluggedAfterTheLastBlockLeavesTheUpdateComplete) {
    SimUnit unit = simReadyUnit();
    openReady(unit);
    const TransferFunction sendThenUnplug = [](const std::uint8_t* image, std::uint32_t size,
                                               void* context) {
        const TransferOutcome sent = sendImageBlocks(image, size, nullptr, nullptr);
        simBusUnplug(static_cast<const char16_t*>(context));
        return sent;
    };
    const Bytes image = makeImage(96);

    FlashOutcome outcome = flashImage(image.data(), 96, sendThenUnplug, programmerLink.devicePath);

    EXPECT_EQ(outcome.failedStep, FlashStep::none);
    EXPECT_EQ(outcome.result, kLinkOk);
    EXPECT_EQ(unit.flash, image);
}

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

// The ESC can change on the unit's cable with no USB event while the user reads the
// confirmation. Asked again right before the lock, the unit tells; then nothing but the
// identification requests goes out, and the record describes what is there now.
TEST_P(ChangedEsc, GetsNothingAndTheRecordDescribesWhatIsThereNow) {
    const ChangeCase& c = GetParam();
    SimUnit unit = simReadyUnit(0x0302);
    openReady(unit);
    c.change(unit);
    const Bytes image = makeImage(updatefacts::imageBytes);

    FlashOutcome outcome =
        flashImage(image.data(), updatefacts::imageBytes, plainTransfer, nullptr);

    EXPECT_EQ(outcome.failedStep, FlashStep::escChanged);
    EXPECT_EQ(outcome.result, kLinkOk);
    EXPECT_EQ(simCommandOrder(unit), c.requests);
    EXPECT_EQ(recordNow(), c.record);
}

INSTANTIATE_TEST_SUITE_P(
    UpdateTest, ChangedEsc,
    ::testing::Values(
        ChangeCase{
            "ForeignTypeSwappedWhileTheUnitIsAsked",
            [](SimUnit& u) {
                u.swapTo = simReadyEsc(0x0302, kForeignEscType);
                u.faults.push_back({Identify, kReidentification, SimFaultKind::swapEsc, 0});
            },
            kReidentifyingRequests,
            {LinkReadiness::incompatibleEsc, 0x0302, kForeignEscType, kSimEscBootloaderVersion}},
        ChangeCase{
            "ForeignTypeSwappedBeforeTheUpdate",
            [](SimUnit& u) { simConnectEsc(u, simReadyEsc(0x0302, kForeignEscType)); },
            kReidentifyingRequests,
            {LinkReadiness::incompatibleEsc, 0x0302, kForeignEscType, kSimEscBootloaderVersion}},
        ChangeCase{"EscRemoved",
                   [](SimUnit& u) { simConnectEsc(u, simNoEsc()); },
                   updateCommandsUpTo(1),
                   {LinkReadiness::noUpdatableEsc, 0, 0, 0}},
        // Still ready and supported, but not what the user confirmed: the version shown, and
        // the downgrade question, were about the other one.
        ChangeCase{"OtherFirmwareVersion",
                   [](SimUnit& u) { simConnectEsc(u, simReadyEsc(0x0303)); },
                   kReidentifyingRequests,
                   {LinkReadiness::ready, 0x0303, kSupportedEscType, kSimEscBootloaderVersion}},
        ChangeCase{"OtherBootloaderVersion",
                   [](SimUnit& u) {
                       simConnectEsc(u, simReadyEsc(0x0302, kSupportedEscType, 0x02000106));
                   },
                   kReidentifyingRequests,
                   {LinkReadiness::ready, 0x0302, kSupportedEscType, 0x02000106}},
        ChangeCase{"OtherSupportedType",
                   [](SimUnit& u) { simConnectEsc(u, simReadyEsc(0x0302, kSupportedEscTypeAlt)); },
                   kReidentifyingRequests,
                   {LinkReadiness::ready, 0x0302, kSupportedEscTypeAlt, kSimEscBootloaderVersion}},
        ChangeCase{"UnitNowInItsBootloader",
                   [](SimUnit& u) { u.inBootloader = true; },
                   kBootloaderUnitRequests,
                   {LinkReadiness::wrongMode, 0, 0, 0}}),
    rowName<ChangeCase>);

// Identification cannot tell two ESCs of one type with the same versions apart; either is the
// one confirmed.
TEST_P(UnchangedEsc, IsUpdatedCompletely) {
    SimUnit unit = simReadyUnit(0x0302);
    openReady(unit);
    GetParam().change(unit);
    const Bytes image = makeImage(updatefacts::imageBytes);

    FlashOutcome outcome =
        flashImage(image.data(), updatefacts::imageBytes, plainTransfer, nullptr);

    EXPECT_EQ(outcome.failedStep, FlashStep::none);
    EXPECT_EQ(outcome.result, kLinkOk);
    EXPECT_EQ(simCommandOrder(unit), updatefacts::updateCommandOrder());
    EXPECT_EQ(unit.flash, image);
}

INSTANTIATE_TEST_SUITE_P(
    UpdateTest, UnchangedEsc,
    ::testing::Values(
        SameEscCase{"SameEsc", [](SimUnit&) {}},
        SameEscCase{"TwinSwappedBeforeTheUpdate",
                    [](SimUnit& u) { simConnectEsc(u, simReadyEsc(0x0302)); }},
        SameEscCase{"TwinSwappedWhileTheUnitIsAsked",
                    [](SimUnit& u) {
                        u.swapTo = simReadyEsc(0x0302);
                        u.faults.push_back({Identify, kReidentification, SimFaultKind::swapEsc, 0});
                    }}),
    rowName<SameEscCase>);

// Asked before every step and every block. A stop sends nothing of the step it stops, gives
// back the write protection and the lock wherever they were taken, and up to the erase leaves
// the ESC's firmware as it was.
TEST_P(StopQuestion, EndsTheChainBeforeTheStepAndGivesBackWhatWasTaken) {
    const StopCase& c = GetParam();
    SimUnit unit = simReadyUnit();
    openReady(unit);
    StopPlan plan{c.before, c.beforeBlock};
    const Bytes image = makeImage(updatefacts::imageBytes);

    FlashOutcome outcome = flashImage(image.data(), updatefacts::imageBytes,
                                      transferAskingBeforeEachBlock, &plan, goOnUnlessPlanned);

    EXPECT_EQ(outcome.failedStep, c.before);
    EXPECT_EQ(outcome.result, kLinkStopped);
    EXPECT_EQ(simCommandOrder(unit), c.requests);
    EXPECT_FALSE(unit.locked);
    EXPECT_TRUE(unit.writeProtected);
}

INSTANTIATE_TEST_SUITE_P(
    UpdateTest, StopQuestion,
    ::testing::Values(StopCase{"BeforeTheReidentification", FlashStep::reidentify, 0, {}},
                      StopCase{"BeforeTheLock", FlashStep::lock, 0, kReidentifyingRequests},
                      StopCase{"BetweenLockAndUnlock",
                               FlashStep::unlockFlash,
                               0,
                               {Identify, ReadEscMemory, ReadEscBootInfo, SystemLock, SystemLock}},
                      StopCase{"BetweenUnlockAndErase",
                               FlashStep::erase,
                               0,
                               {Identify, ReadEscMemory, ReadEscBootInfo, SystemLock, WriteProtect,
                                WriteProtect, SystemLock}},
                      StopCase{"AfterTheErase",
                               FlashStep::setAddress,
                               0,
                               {Identify, ReadEscMemory, ReadEscBootInfo, SystemLock, WriteProtect,
                                EraseFirmware, WriteProtect, SystemLock}},
                      StopCase{"BetweenBlocks",
                               FlashStep::transfer,
                               3,
                               {Identify, ReadEscMemory, ReadEscBootInfo, SystemLock, WriteProtect,
                                EraseFirmware, SetWriteAddress, WriteDataBlock, WriteDataBlock,
                                WriteProtect, SystemLock}}),
    rowName<StopCase>);
