// Every transaction of a complete run, from identification to the release of the lock, meets
// every kind of fault the unit can produce, and the ESC is swapped on the unit's cable before
// every identification request. Whatever happens, the run ends in bounded time, reports the step
// that failed with its result, sends nothing after the failing report, never reports success
// without the whole image in the ESC, and never writes into an ESC other than the one the user
// confirmed.
#include <cctype>
#include <cstdio>
#include <iterator>
#include <string>

#include "link/bytes.h"
#include "link/device_io.h"
#include "link/identify.h"
#include "link/open_link.h"
#include "tests/native/link_fixture.h"
#include "tests/shared/update_facts.h"
#include "update/flash_chain.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kUnitErrorCode = 0x5A;
// Inside the pause after every request of an update but those of the re-identification, which
// follow each other at once.
constexpr std::uint32_t kDuplicateDelayMs = 10;
// The user reads the confirmation; what the unit sent meanwhile is no answer to the update.
constexpr std::uint32_t kConfirmationMs = 2000;
constexpr std::uint32_t kForeignEscType = 0x0B07403C;
constexpr std::size_t kIdentificationTransactions = std::size(updatefacts::identifyCommands);

// The step each run of a complete update's commands belongs to. The closing two have none: their
// answers are ignored.
constexpr FlashStep kRunSteps[] = {
    FlashStep::reidentify,  FlashStep::reidentify, FlashStep::reidentify, FlashStep::lock,
    FlashStep::unlockFlash, FlashStep::erase,      FlashStep::setAddress, FlashStep::transfer,
    FlashStep::none,        FlashStep::none,
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

// The last transaction of the re-identification in a complete run.
constexpr std::size_t kLastReidentification = kIdentificationTransactions + 2;

// What a fault does to a run it strikes inside the update. Before the update (the first
// identification) a failure leaves the link unready, so the chain sends nothing; in the closing
// steps, whose answers are not judged, nothing fails.
enum class Effect {
    failsStep,      // the step it strikes fails with `result`, nothing is sent after it
    outOfStep,      // a report arrives unasked with the answer: the step fails with
                    // kLinkOutOfStep before the next request; before the update it is dropped
    outOfStepLate,  // the same, arriving within the pause behind the request
    // The unit did as asked, but its answer arrives spoilt. Byte 1 alone marks an error, so a
    // spoilt answer may read as anything: a refusal, another ESC, or a success. Whatever it
    // reads as, a failure sends nothing after the transaction that failed, and a success
    // leaves the whole image in the ESC.
    spoilsAnswer,
};

struct Kind {
    SimFaultKind kind;
    const char* name;
    Effect effect;
    LinkResult result;  // what the failing step reports
    std::uint32_t code;
};

const Kind kKinds[] = {
    {SimFaultKind::errorAnswer, "error code", Effect::failsStep,
     static_cast<LinkResult>(kUnitErrorCode), kUnitErrorCode},
    {SimFaultKind::refusal, "refusal", Effect::failsStep, kLinkRefused, 0},
    {SimFaultKind::noAnswer, "no answer", Effect::failsStep, kLinkReadFailed, 0},
    {SimFaultKind::disconnect, "disconnect", Effect::failsStep, kLinkWriteFailed, 0},
    {SimFaultKind::malformed, "wrong report ID", Effect::failsStep, kLinkReadFailed, 0},
    {SimFaultKind::garbled, "garbled payload", Effect::spoilsAnswer, kLinkOk, 0},
    {SimFaultKind::lateAnswer, "late answer", Effect::failsStep, kLinkReadFailed, 0},
    {SimFaultKind::vanishBeforeAnswer, "vanished before answering", Effect::failsStep,
     kLinkReadFailed, 0},
    {SimFaultKind::answerTwice, "answer twice", Effect::outOfStep, kLinkOutOfStep, 0},
    {SimFaultKind::unasked, "unasked report", Effect::outOfStep, kLinkOutOfStep, kUnitErrorCode},
    {SimFaultKind::duplicateLate, "late duplicate", Effect::outOfStepLate, kLinkOutOfStep,
     kDuplicateDelayMs},
};

void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.name; }

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

// The fields by which identification tells one ESC from another.
enum Field : unsigned { kState = 1, kFirmware = 2, kType = 4, kBootloader = 8 };
constexpr unsigned kAllFields = kState | kFirmware | kType | kBootloader;

struct EscIdentity {
    std::uint16_t state;
    std::uint16_t firmware;
    std::uint32_t type;
    std::uint32_t bootloader;
};

// What the link record says of the ESC.
EscIdentity recorded() {
    return {programmerLink.escState, escFirmwareVersion(), escTypeId(), escBootloaderVersion()};
}

// What is behind the unit.
EscIdentity behind(const SimUnit& unit) {
    return {unit.escState, readU16(unit.escInfo + kEscFirmwareVersionOffset),
            readU32(unit.escBootInfo + kEscTypeIdOffset),
            readU32(unit.escBootInfo + kEscBootloaderVersionOffset)};
}

bool agreeOn(const EscIdentity& a, const EscIdentity& b, unsigned fields) {
    return ((fields & kState) == 0 || a.state == b.state) &&
           ((fields & kFirmware) == 0 || a.firmware == b.firmware) &&
           ((fields & kType) == 0 || a.type == b.type) &&
           ((fields & kBootloader) == 0 || a.bootloader == b.bootloader);
}

bool written(const SimUnit& unit) {
    return unit.commandCounts[EraseFirmware] != 0 || unit.commandCounts[WriteDataBlock] != 0;
}

TransferOutcome plainTransfer(const std::uint8_t* image, std::uint32_t size, void*) {
    return sendImageBlocks(image, size, nullptr, nullptr);
}

struct UpdateRun {
    LinkResult identified;
    EscIdentity confirmed;  // what the record said when the user confirmed
    bool confirmedReady;
    std::size_t sentBeforeChain;
    FlashOutcome outcome;
    std::uint64_t elapsedMs;
};

// Plugs the unit in, links, lets the user confirm (the ESC swapped to `unit.swapTo` meanwhile
// when asked), and runs the chain whatever identification concluded: it must refuse a link
// that was not found ready.
UpdateRun runUpdate(SimUnit& unit, const Bytes& image, bool swapAtConfirmation) {
    simBusPlugUnit(unit);
    UpdateRun run{};
    const std::uint64_t start = simNowMs();
    run.identified = openProgrammer();
    run.confirmed = recorded();
    run.confirmedReady = linkReadiness() == LinkReadiness::ready;
    pauseMs(kConfirmationMs);
    if (swapAtConfirmation) simConnectEsc(unit, unit.swapTo);
    run.sentBeforeChain = unit.received.size();
    run.outcome = {FlashStep::none, kLinkOk, 0};
    if (linkIsOpen())
        run.outcome = flashImage(image.data(), static_cast<std::uint32_t>(image.size()),
                                 plainTransfer, nullptr);
    run.elapsedMs = simNowMs() - start;
    return run;
}

bool succeeded(const UpdateRun& run) {
    return run.identified == kLinkOk && run.outcome.failedStep == FlashStep::none;
}

bool refused(const UpdateRun& run, const SimUnit& unit) {
    return run.outcome.failedStep == FlashStep::lock && run.outcome.result == kLinkNoLink &&
           unit.received.size() == run.sentBeforeChain;
}

// The rules every run keeps, whatever struck it; null when kept. `seenFields` are those the
// re-identification read after the ESC last changed: firmware only goes into an ESC that
// agrees with what the user confirmed on each of them.
const char* brokenCommonRule(const UpdateRun& run, const SimUnit& unit, const Bytes& image,
                             unsigned seenFields) {
    // Fixed pauses of a complete run, the confirmation, and the longest a user is kept waiting
    // by a unit that has gone silent.
    const std::uint64_t bound =
        updatefacts::fixedPausesMs + kConfirmationMs + updatefacts::silentUnitWaitMs;
    if (run.elapsedMs > bound) return "took longer than its bound";
    if (succeeded(run) && unit.flash != image) return "reported success without the image";
    if (written(unit) && !agreeOn(behind(unit), run.confirmed, seenFields))
        return "wrote into an ESC other than the one confirmed";
    return nullptr;
}

// What the fault `kind` at transaction `index` must lead to; null when it did.
const char* brokenExpectation(const std::vector<Transaction>& run, std::size_t index,
                              const Kind& kind, const UpdateRun& result, const SimUnit& unit,
                              const Bytes& image) {
    const Transaction& t = run[index];
    const bool wholeUpdate = succeeded(result) && unit.flash == image;
    if (kind.effect == Effect::spoilsAnswer) {
        if (succeeded(result) || result.identified != kLinkOk || refused(result, unit))
            return nullptr;
        // Read as another ESC: the unit was asked who is there, and nothing more.
        if (result.outcome.failedStep == FlashStep::escChanged)
            return unit.commandCounts[SystemLock] == 0 ? nullptr : "locked another ESC";
        return unit.received.size() == index + 1 ? nullptr : "requests followed the failing one";
    }
    if (index < kIdentificationTransactions) {
        if (kind.effect != Effect::failsStep)
            return wholeUpdate ? nullptr : "a report queued before the update was not dropped";
        if (result.identified != kind.result) return "identification gave another result";
        if (result.sentBeforeChain != index + 1) return "identification went on after a failure";
        return refused(result, unit) ? nullptr : "the chain did not refuse an unready link";
    }
    if (t.step == FlashStep::none)
        return wholeUpdate ? nullptr : "a closing step's answer failed the update";
    // No pause between the re-identification's requests: a duplicate that arrives later is
    // found before the lock.
    const std::size_t failingIndex =
        kind.effect == Effect::outOfStepLate && t.step == FlashStep::reidentify
            ? kLastReidentification
            : index;
    if (result.outcome.failedStep != t.step) return "another step failed";
    if (result.outcome.result != expectedResult(t, kind)) return "the step gave another result";
    if (unit.received.size() != failingIndex + 1) return "requests followed the failing one";
    return nullptr;
}

}  // namespace

class FaultCampaign : public LinkTest {};

// One kind of fault at a time, so that the kinds can run side by side (ctest runs the suite in
// shards).
class EveryFault : public LinkTest, public ::testing::WithParamInterface<Kind> {};

// "late duplicate" as "LateDuplicate".
std::string kindName(const ::testing::TestParamInfo<Kind>& info) {
    std::string name;
    bool wordStart = true;
    for (const char* c = info.param.name; *c != '\0'; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(*c))) {
            wordStart = true;
            continue;
        }
        name += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
        wordStart = false;
    }
    return name;
}

TEST_P(EveryFault, OnEveryTransactionIsContained) {
    const Kind& kind = GetParam();
    const std::vector<Transaction> run = completeRun();
    Bytes image(updatefacts::imageBytes);
    for (std::uint32_t i = 0; i < updatefacts::imageBytes; ++i)
        image[i] = static_cast<std::uint8_t>(i * 13);
    std::uint32_t broken = 0;

    for (std::size_t index = 0; index < run.size(); ++index) {
        const Transaction& t = run[index];
        if (kind.kind == SimFaultKind::refusal && !canRefuse(t)) continue;
        SetUp();
        SimUnit unit = simReadyUnit(0x0302);
        unit.faults.push_back({t.command, t.occurrence, kind.kind, kind.code});
        const UpdateRun result = runUpdate(unit, image, false);
        const char* why = brokenCommonRule(result, unit, image, kAllFields);
        if (why == nullptr) why = brokenExpectation(run, index, kind, result, unit, image);
        closeProgrammer();
        if (why == nullptr) continue;
        // The first few say enough; a broken rule breaks it at thousands of rows.
        if (++broken > 3) continue;
        ADD_FAILURE() << kind.name << " on transaction " << index << " (command 0x" << std::hex
                      << int(t.command) << std::dec << " #" << t.occurrence << "): " << why
                      << "; identification " << result.identified << ", step "
                      << int(result.outcome.failedStep) << " result " << result.outcome.result
                      << ", " << unit.received.size() << " reports";
    }
    if (broken != 0) ADD_FAILURE() << kind.name << ": " << broken << " rows broke";
}

INSTANTIATE_TEST_SUITE_P(FaultCampaign, EveryFault, ::testing::ValuesIn(kKinds), kindName);

namespace {

// The ESC swapped on the unit's cable (no USB event) before each identification request and
// while the user confirms. A swap the re-identification can see stops the update before the
// lock; one it cannot see is an ESC that identification cannot tell from the confirmed one.
//
// No swap point lies after the re-identification: from the lock on, no request names the ESC,
// so a swap there cannot be seen on this protocol. For the same reason a swap between two
// requests of the re-identification, which follow each other at once, shows only in what the
// later ones read; on a real cable the ESC is away for far longer than that in between.
struct SwapPoint {
    const char* name;
    std::uint8_t command;  // 0: while the user confirms
    std::uint32_t occurrence;
    unsigned seenFields;  // read by the re-identification after the swap
};

const SwapPoint kSwapPoints[] = {
    {"first Identify", Identify, 1, kAllFields},
    {"first ReadEscMemory", ReadEscMemory, 1, kAllFields},
    {"first ReadEscBootInfo", ReadEscBootInfo, 1, kAllFields},
    {"confirmation", 0, 0, kAllFields},
    {"second Identify", Identify, 2, kAllFields},
    {"second ReadEscMemory", ReadEscMemory, 2, kFirmware | kType | kBootloader},
    {"second ReadEscBootInfo", ReadEscBootInfo, 2, kType | kBootloader},
};

struct SwappedIn {
    const char* name;
    SimEsc esc;
};

const SwappedIn kSwappedIn[] = {
    {"foreign type", simReadyEsc(0x0302, kForeignEscType)},
    {"no ESC", simNoEsc()},
    {"other firmware", simReadyEsc(0x0303)},
    {"other bootloader", simReadyEsc(0x0302, kSupportedEscType, 0x02000106)},
    {"other supported type", simReadyEsc(0x0302, kSupportedEscTypeAlt)},
    {"twin", simReadyEsc(0x0302)},
};

// What a swap at `point` must lead to; null when it did.
const char* brokenSwapExpectation(const SwapPoint& point, const UpdateRun& run,
                                  const SimUnit& unit) {
    if (!run.confirmedReady)
        return refused(run, unit) ? nullptr : "the chain did not refuse an unready link";
    if (agreeOn(behind(unit), run.confirmed, point.seenFields))
        return succeeded(run) ? nullptr : "an ESC that cannot be told apart was not updated";
    if (unit.commandCounts[SystemLock] != 0 || written(unit))
        return "the unit was locked or written after the ESC changed";
    // A read of the re-identification may fail on the new ESC (none there answers): nothing
    // is locked either way.
    if (run.outcome.failedStep == FlashStep::reidentify && run.outcome.result != kLinkOk)
        return nullptr;
    if (run.outcome.failedStep != FlashStep::escChanged || run.outcome.result != kLinkOk)
        return "a changed ESC was reported as something else";
    if (point.seenFields == kAllFields && !agreeOn(recorded(), behind(unit), kAllFields))
        return "the record does not describe the ESC there now";
    return nullptr;
}

}  // namespace

TEST_F(FaultCampaign, EverySwapBeforeTheLockIsSeenOrCannotBeTold) {
    const Bytes image(updatefacts::imageBytes, 0x3C);
    for (const SwapPoint& point : kSwapPoints) {
        for (const SwappedIn& swapped : kSwappedIn) {
            SetUp();
            SimUnit unit = simReadyUnit(0x0302);
            unit.swapTo = swapped.esc;
            if (point.command != 0)
                unit.faults.push_back({point.command, point.occurrence, SimFaultKind::swapEsc, 0});
            const UpdateRun run = runUpdate(unit, image, point.command == 0);
            const char* broken = brokenCommonRule(run, unit, image, point.seenFields);
            if (broken == nullptr) broken = brokenSwapExpectation(point, run, unit);
            if (broken != nullptr)
                ADD_FAILURE() << swapped.name << " swapped in at the " << point.name << ": "
                              << broken << "; step " << int(run.outcome.failedStep) << " result "
                              << run.outcome.result << ", " << unit.received.size() << " reports";
            closeProgrammer();
        }
    }
}
