// Every transaction of a complete run, from identification to the release of the lock, meets
// every kind of fault the unit can produce. Whatever happens, the run ends in bounded time,
// reports the step that failed with its result, and sends nothing after the failing report.
#include <cstdio>
#include <iterator>
#include <map>
#include <string>

#include "tests/native/link_fixture.h"
#include "tests/shared/update_facts.h"
#include "update/update_steps.h"

namespace {

constexpr std::uint32_t kUnitErrorCode = 0x5A;
constexpr std::size_t kIdentificationTransactions = std::size(updatefacts::identifyCommands);

// The step each run of a complete update's commands belongs to. The closing two have none: their
// answers are ignored.
constexpr FlashStep kRunSteps[] = {
    FlashStep::lock,     FlashStep::unlockFlash, FlashStep::erase, FlashStep::setAddress,
    FlashStep::transfer, FlashStep::none,        FlashStep::none,
};
static_assert(std::size(kRunSteps) == std::size(updatefacts::updateCommands),
              "one step for each run of the update's commands");

struct Transaction {
    std::uint8_t command;
    std::uint32_t occurrence;
    FlashStep step;  // none: identification, or the closing steps whose answers are ignored
};

std::vector<Transaction> completeRun() {
    std::vector<Transaction> run;
    std::uint32_t seen[256] = {};
    for (std::uint8_t command : updatefacts::identifyCommands)
        run.push_back({command, ++seen[command], FlashStep::none});
    for (std::size_t i = 0; i < std::size(updatefacts::updateCommands); ++i) {
        const updatefacts::CommandRun& commands = updatefacts::updateCommands[i];
        for (std::uint32_t n = 0; n < commands.count; ++n)
            run.push_back({commands.code, ++seen[commands.code], kRunSteps[i]});
    }
    return run;
}

// What a fault does to the run it strikes.
enum class Effect {
    failsStep,  // the step it strikes fails with `result`, nothing is sent after it
    harmless,   // the run goes on as if nothing happened and the ESC gets the whole image
    anyOutcome, // the judging rule takes any answer not marked as an error, so a garbled one may
                // pass; the run still ends in one outcome, and nothing follows a failure
};

struct Kind {
    SimFaultKind kind;
    const char* name;
    Effect effect;
    LinkResult result;  // what the failing step reports
};

const Kind kKinds[] = {
    {SimFaultKind::errorAnswer, "error code", Effect::failsStep, static_cast<LinkResult>(kUnitErrorCode)},
    {SimFaultKind::refusal, "refusal", Effect::failsStep, kLinkRefused},
    {SimFaultKind::noAnswer, "no answer", Effect::failsStep, kLinkReadFailed},
    {SimFaultKind::disconnect, "disconnect", Effect::failsStep, kLinkWriteFailed},
    {SimFaultKind::malformed, "wrong report ID", Effect::failsStep, kLinkReadFailed},
    {SimFaultKind::lateAnswer, "late answer", Effect::failsStep, kLinkReadFailed},
    {SimFaultKind::vanishBeforeAnswer, "vanished before answering", Effect::failsStep, kLinkReadFailed},
    {SimFaultKind::answerTwice, "answer twice", Effect::harmless, kLinkOk},
    {SimFaultKind::unasked, "unasked report", Effect::harmless, kLinkOk},
    {SimFaultKind::garbled, "garbled payload", Effect::anyOutcome, kLinkOk},
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

// The command whose answer decides `step`; none for no step.
std::uint8_t stepCommand(FlashStep step) {
    if (step == FlashStep::none) return 0;
    for (std::size_t i = 0; i < std::size(kRunSteps); ++i)
        if (kRunSteps[i] == step) return updatefacts::updateCommands[i].code;
    return 0;
}

// Nothing followed the failing step's request.
bool lastRequestIs(const SimUnit& unit, std::uint8_t command) {
    return !unit.received.empty() && unit.received.back().bytes[1] == command;
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
    std::vector<std::uint8_t> image(updatefacts::imageBytes);
    for (std::uint32_t i = 0; i < updatefacts::imageBytes; ++i)
        image[i] = static_cast<std::uint8_t>(i * 13);
    // Fixed pauses of a complete run plus the longest a user is kept waiting by a unit that has
    // gone silent.
    const std::uint64_t bound = updatefacts::fixedPausesMs + updatefacts::silentUnitWaitMs;
    std::map<std::string, Tally> tallies;

    for (std::size_t index = 0; index < run.size(); ++index) {
        const Transaction& t = run[index];
        const bool identification = index < kIdentificationTransactions;
        for (const Kind& kind : kKinds) {
            if (kind.kind == SimFaultKind::refusal && !canRefuse(t)) continue;
            SetUp();
            SimUnit unit = simReadyUnit(0x0302);
            unit.faults.push_back({t.command, t.occurrence, kind.kind, kUnitErrorCode});
            simBusPlugUnit(unit);
            Tally& tally = tallies[kind.name];
            ++tally.injected;
            const std::uint64_t start = simNowMs();

            // The chain is asked to run whatever identification concluded: it must refuse a
            // link that was not found ready.
            const LinkResult identified = openProgrammer();
            FlashOutcome outcome{FlashStep::none, kLinkOk, 0};
            std::size_t sentBeforeChain = unit.received.size();
            if (linkIsOpen())
                outcome = flashImage(image.data(), updatefacts::imageBytes, plainTransfer, nullptr);

            bool held = simNowMs() - start <= bound;
            const bool succeeded = identified == kLinkOk && outcome.failedStep == FlashStep::none;
            const bool refused = outcome.failedStep == FlashStep::lock &&
                                 outcome.result == kLinkNoLink &&
                                 unit.received.size() == sentBeforeChain;
            if (kind.effect == Effect::harmless) {
                held = held && succeeded && unit.flash == image;
            } else if (identification) {
                // An identification that went wrong, or found no supported ESC ready, never
                // reaches the lock.
                held = held && (refused || (succeeded && unit.flash == image));
                if (identified != kLinkOk) held = held && sentBeforeChain == index + 1;
            } else if (kind.effect == Effect::anyOutcome) {
                // A garbled answer taken for success may make a later step fail instead.
                if (!succeeded) held = held && lastRequestIs(unit, stepCommand(outcome.failedStep));
            } else if (t.step == FlashStep::none) {
                // The closing steps' answers are ignored: the update has succeeded.
                held = held && succeeded && unit.flash == image;
            } else {
                held = held && outcome.failedStep == t.step &&
                       outcome.result == expectedResult(t, kind) &&
                       unit.received.size() == index + 1;
            }
            if (held) {
                ++tally.held;
            } else {
                ADD_FAILURE() << kind.name << " on transaction " << index << " (command 0x"
                              << std::hex << int(t.command) << std::dec << " #" << t.occurrence
                              << "): identification " << identified << ", step "
                              << int(outcome.failedStep) << " result " << outcome.result << ", "
                              << unit.received.size() << " reports";
            }
            closeProgrammer();
        }
    }
    for (const auto& [name, tally] : tallies) {
        std::printf("fault campaign: %-26s %5u injected, %5u held\n", name.c_str(), tally.injected,
                    tally.held);
        EXPECT_EQ(tally.held, tally.injected) << name;
    }
}
