// Every transaction of a complete run, from identification to the release of the lock, meets
// every kind of fault the unit can produce. Whatever happens, the run ends in bounded time,
// reports the step that failed with its result, and sends nothing after the failing report.
#include <cstdio>

#include "tests/native/link_fixture.h"
#include "update/update_steps.h"

namespace {

constexpr std::uint32_t kImageSize = 97808;
constexpr std::uint32_t kBlocks = 2038;
constexpr std::uint32_t kUnitErrorCode = 0x5A;

struct Transaction {
    std::uint8_t command;
    std::uint32_t occurrence;
    FlashStep step;  // none: identification, or the closing steps whose answers are ignored
};

std::vector<Transaction> completeRun() {
    std::vector<Transaction> run = {
        {Identify, 1, FlashStep::none},
        {ReadEscMemory, 1, FlashStep::none},
        {ReadEscBootInfo, 1, FlashStep::none},
        {SystemLock, 1, FlashStep::lock},
        {WriteProtect, 1, FlashStep::unlockFlash},
        {EraseFirmware, 1, FlashStep::erase},
        {SetWriteAddress, 1, FlashStep::setAddress},
    };
    for (std::uint32_t block = 1; block <= kBlocks; ++block)
        run.push_back({WriteDataBlock, block, FlashStep::transfer});
    run.push_back({WriteProtect, 2, FlashStep::none});
    run.push_back({SystemLock, 2, FlashStep::none});
    return run;
}

struct Kind {
    SimFaultKind kind;
    const char* name;
    LinkResult result;  // what the failing step reports
};

const Kind kKinds[] = {
    {SimFaultKind::errorAnswer, "error code", static_cast<LinkResult>(kUnitErrorCode)},
    {SimFaultKind::refusal, "refusal", kLinkRefused},
    {SimFaultKind::noAnswer, "no answer", kLinkReadFailed},
    {SimFaultKind::disconnect, "disconnect", kLinkWriteFailed},
    {SimFaultKind::malformed, "malformed answer", kLinkReadFailed},
};

// Only the lock and the flash unlock carry a status byte; the other answers have no way to
// refuse, so a refusal there is not a fault the unit can produce.
bool canRefuse(const Transaction& t) {
    return t.step == FlashStep::lock || t.step == FlashStep::unlockFlash;
}

// The lock request is judged by its status byte alone, so an error answer reads as a refusal.
LinkResult expectedResult(const Transaction& t, const Kind& kind) {
    if (t.step == FlashStep::lock && kind.kind == SimFaultKind::errorAnswer) return kLinkRefused;
    return kind.result;
}

TransferOutcome plainTransfer(const std::uint8_t* image, std::uint32_t size, void*) {
    return sendImageBlocks(image, size, nullptr, nullptr);
}

struct Tally {
    std::uint32_t injected = 0;
    std::uint32_t held = 0;
};

}  // namespace

class FaultCampaign : public LinkTest {};

TEST_F(FaultCampaign, EveryFaultOnEveryTransactionIsContained) {
    const std::vector<Transaction> run = completeRun();
    std::vector<std::uint8_t> image(kImageSize);
    for (std::uint32_t i = 0; i < kImageSize; ++i) image[i] = static_cast<std::uint8_t>(i * 13);
    // Fixed pauses of a complete run plus one read time-out: the most any single fault may cost.
    const std::uint64_t bound = 5080 + 20 * kBlocks + kReadTimeoutMs;
    Tally tally;

    for (std::size_t index = 0; index < run.size(); ++index) {
        const Transaction& t = run[index];
        for (const Kind& kind : kKinds) {
            if (kind.kind == SimFaultKind::refusal && !canRefuse(t)) continue;
            SetUp();
            SimUnit unit = simReadyUnit(0x0302);
            unit.faults.push_back({t.command, t.occurrence, kind.kind, kUnitErrorCode});
            simBusPlugUnit(unit);
            ++tally.injected;
            const std::uint64_t start = simNowMs();

            const LinkResult identified = openProgrammer();
            FlashOutcome outcome{FlashStep::none, kLinkOk, 0};
            if (identified == kLinkOk && escTypeId() == kSupportedEscType)
                outcome = flashImage(image.data(), kImageSize, plainTransfer, nullptr);

            bool held = simNowMs() - start <= bound;
            if (t.step == FlashStep::none && index < 3) {
                // Identification: a run that went wrong stops there and never reaches the lock.
                if (identified != kLinkOk) held = held && unit.received.size() == index + 1;
                held = held && (identified != kLinkOk || outcome.failedStep == FlashStep::none);
            } else if (t.step == FlashStep::none) {
                // The closing steps' answers are ignored: the update has succeeded.
                held = held && outcome.failedStep == FlashStep::none && unit.flash == image;
            } else {
                held = held && outcome.failedStep == t.step && outcome.result == expectedResult(t, kind) &&
                       unit.received.size() == index + 1 &&
                       failureTextId(outcome.failedStep) != 0;
            }
            if (held) {
                ++tally.held;
            } else {
                ADD_FAILURE() << kind.name << " on transaction " << index << " (command 0x"
                              << std::hex << int(t.command) << std::dec << " #" << t.occurrence
                              << "): step " << int(outcome.failedStep) << " result "
                              << outcome.result << ", " << unit.received.size() << " reports";
            }
            closeProgrammer();
        }
    }
    std::printf("fault campaign: %u faults injected, %u held\n", tally.injected, tally.held);
    EXPECT_EQ(tally.held, tally.injected);
}
