#include "sim/unit_model.h"

#include <cstring>
#include <utility>

#include "link/bytes.h"
#include "link/commands.h"
#include "link/programmer_link.h"

namespace {

const SimFault* faultFor(const SimUnit& unit, std::uint8_t command) {
    for (const SimFault& fault : unit.faults)
        if (fault.command == command && fault.occurrence == unit.commandCounts[command])
            return &fault;
    return nullptr;
}

void errorAnswer(std::uint8_t* answer, std::uint32_t code) {
    answer[1] = kErrorAnswer;
    writeU32(answer + 4, code);
}

// The unit's own refusal codes for steps out of order.
constexpr std::uint32_t kSimNotLocked = 0x21;
constexpr std::uint32_t kSimProtected = 0x22;
constexpr std::uint32_t kSimBadConfirmation = 0x23;
constexpr std::uint32_t kSimNotErased = 0x24;
constexpr std::uint32_t kSimBadLength = 0x25;
constexpr std::uint32_t kSimNoEsc = 0x26;

constexpr std::uint32_t kSimAnswerBytes = 256;

void answerCommand(SimUnit& unit, const std::uint8_t* request, std::uint32_t length,
                   std::uint8_t* answer) {
    const std::uint8_t command = request[1];
    answer[1] = command;
    answer[2] = request[2];
    const bool escAnswers = !unit.inBootloader && unit.escState == kEscStateUpdatable;
    switch (command) {
        case Identify:
            answer[3] = unit.inBootloader ? 1 : 0;
            if (unit.inBootloader) {
                std::memcpy(answer + 4, unit.bootIdentity, sizeof unit.bootIdentity);
            } else {
                writeU16(answer + 4, unit.escState);
                writeU16(answer + 6, unit.escStateDetail);
                writeU32(answer + 8, unit.unitFirmwareVersion);
                writeU32(answer + 12, unit.unitInfoWord);
            }
            return;
        case ReadUnitMemory:
            writeU32(answer + 4, readU32(request + 4));
            writeU32(answer + 8, unit.unitFirmwareVersion);
            writeU32(answer + 12, unit.unitInfoWord);
            return;
        case SystemLock:
            unit.locked = request[3] == 1;
            answer[3] = unit.locked ? 1 : 0;
            return;
        case ReadEscMemory:
            if (!escAnswers) return errorAnswer(answer, kSimNoEsc);
            if (unit.escInfoErrorCode != kSimAnswerNormally)
                return errorAnswer(answer, unit.escInfoErrorCode);
            std::memcpy(answer + 4, unit.escInfo, sizeof unit.escInfo);
            return;
        case ReadEscBootInfo:
            if (!escAnswers) return errorAnswer(answer, kSimNoEsc);
            if (unit.escBootInfoErrorCode != kSimAnswerNormally)
                return errorAnswer(answer, unit.escBootInfoErrorCode);
            std::memcpy(answer + 4, unit.escBootInfo, sizeof unit.escBootInfo);
            return;
        case WriteProtect:
            if (request[3] == 0 && !unit.locked) return errorAnswer(answer, kSimNotLocked);
            unit.writeProtected = request[3] != 0;
            answer[3] = unit.writeProtected ? 1 : 0;
            // Closing up after a transfer: the ESC reports what it runs now from then on.
            if (unit.writeProtected && !unit.flash.empty() && unit.escVersionAfterUpdate != 0)
                writeU16(unit.escInfo + 4, unit.escVersionAfterUpdate);
            return;
        case EraseFirmware:
            if (unit.writeProtected) return errorAnswer(answer, kSimProtected);
            if (readU32(request + 4) != kConfirmationWord)
                return errorAnswer(answer, kSimBadConfirmation);
            unit.erased = true;
            unit.addressSet = false;
            unit.flash.clear();
            return;
        case SetWriteAddress:
            if (!unit.erased) return errorAnswer(answer, kSimNotErased);
            if (readU32(request + 8) != kConfirmationWord)
                return errorAnswer(answer, kSimBadConfirmation);
            unit.addressSet = true;
            return;
        case WriteDataBlock: {
            const std::uint32_t count = request[2];
            if (!unit.addressSet || unit.writeProtected) return errorAnswer(answer, kSimNotErased);
            if (count % 4 != 0 || count > kMaxDataBytes || kReportHeaderSize + count > length)
                return errorAnswer(answer, kSimBadLength);
            unit.flash.insert(unit.flash.end(), request + 4, request + 4 + count);
            return;
        }
        default: return errorAnswer(answer, 0x01);
    }
}

// Random-looking bytes, different for each command.
void garble(std::uint8_t* answer, std::uint8_t command) {
    for (std::uint32_t i = 0; i < kSimAnswerBytes; ++i)
        answer[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 37) ^ command);
}

}  // namespace

SimUnit simReadyUnit(std::uint16_t escVersion) {
    SimUnit unit;
    simConnectEsc(unit, simReadyEsc(escVersion));
    return unit;
}

SimEsc simReadyEsc(std::uint16_t version, std::uint32_t typeId, std::uint32_t bootloaderVersion) {
    SimEsc esc;
    esc.state = kEscStateUpdatable;
    writeU16(esc.info + 4, version);
    writeU32(esc.bootInfo, typeId);
    writeU32(esc.bootInfo + 4, bootloaderVersion);
    return esc;
}

SimEsc simNoEsc() { return SimEsc{}; }

void simConnectEsc(SimUnit& unit, const SimEsc& esc) {
    unit.escState = esc.state;
    unit.escStateDetail = esc.stateDetail;
    std::memcpy(unit.escInfo, esc.info, sizeof unit.escInfo);
    std::memcpy(unit.escBootInfo, esc.bootInfo, sizeof unit.escBootInfo);
}


void simSetEscFirmwareVersion(SimUnit& unit, std::uint16_t version) {
    writeU16(unit.escInfo + 4, version);
}

void simSetEscType(SimUnit& unit, std::uint32_t typeId, std::uint32_t bootloaderVersion) {
    writeU32(unit.escBootInfo, typeId);
    writeU32(unit.escBootInfo + 4, bootloaderVersion);
}

namespace {

// How the prepared answer reaches the host.
enum class SimReply {
    answer,
    answerTwice,
    answerThenUnasked,  // then the report simUnaskedReport makes
    answerLate,         // after kSimLateAnswerMs
    silence,
    vanishBeforeAnswer,  // the request was taken; the unit is gone now
    disconnected,        // the request was not taken
    answerThenDuplicateLate,  // then the same answer again, simLateDuplicateMs after the request
    answerCut,                // only the first simAnswerBytes bytes of the answer arrive
    answerOverlong,  // the answer and one more byte (any value) arrive as one report
};

// For answerThenDuplicateLate: how long after the request the duplicate follows; for
// answerCut: how many bytes of the answer arrive.
std::uint32_t simLateDuplicateMs(const SimUnit& unit) { return unit.lastFaultCode; }
std::uint32_t simAnswerBytes(const SimUnit& unit) { return unit.lastFaultCode; }

// Takes one output report and prepares the input report that answers it (`answer` holds
// `answerLength` bytes). Records the report with `nowMs`.
SimReply simUnitHandle(SimUnit& unit, const std::uint8_t* request, std::uint32_t length,
                       std::uint64_t nowMs, std::uint8_t* answer, std::uint32_t answerLength) {
    if (!unit.connected) return SimReply::disconnected;
    unit.received.push_back({std::vector<std::uint8_t>(request, request + length), nowMs, 0});
    std::uint8_t full[kSimAnswerBytes] = {};
    full[0] = kResponseReportId;
    const std::uint8_t command = length > 1 ? request[1] : 0;
    ++unit.commandCounts[command];
    if (const SimFault* fault = faultFor(unit, command)) {
        unit.lastFaultCode = fault->code;
        switch (fault->kind) {
            case SimFaultKind::noAnswer: return SimReply::silence;
            case SimFaultKind::disconnect: unit.connected = false; return SimReply::disconnected;
            case SimFaultKind::errorAnswer:
                full[1] = command;
                errorAnswer(full, fault->code);
                break;
            case SimFaultKind::refusal:
                // Shaped like a healthy answer, byte 2 mirroring the request, with byte 3 alone
                // reading the opposite of what the step expects.
                full[1] = command;
                full[2] = length > 2 ? request[2] : 0;
                full[3] = command == SystemLock ? 0 : 1;
                break;
            case SimFaultKind::malformed: garble(full, command); break;
            case SimFaultKind::garbled:
                // The unit did what it was asked; its answer was spoilt on the way.
                answerCommand(unit, request, length, full);
                garble(full, command);
                full[0] = kResponseReportId;
                break;
            case SimFaultKind::swapEsc:
                simConnectEsc(unit, unit.swapTo);
                answerCommand(unit, request, length, full);
                break;
            case SimFaultKind::answerTwice:
            case SimFaultKind::cutWrite:
            case SimFaultKind::unasked:
            case SimFaultKind::lateAnswer:
            case SimFaultKind::vanishBeforeAnswer:
            case SimFaultKind::duplicateLate:
            case SimFaultKind::cutShort:
            case SimFaultKind::overlong:
                answerCommand(unit, request, length, full);
                break;
        }
    } else if (length >= kReportHeaderSize && request[0] == kCommandReportId) {
        answerCommand(unit, request, length, full);
    } else {
        errorAnswer(full, 0x02);
    }
    if (answerLength != 0)
        std::memcpy(answer, full, answerLength < sizeof full ? answerLength : sizeof full);
    const SimFault* fault = faultFor(unit, command);
    if (fault == nullptr) return SimReply::answer;
    switch (fault->kind) {
        case SimFaultKind::answerTwice: return SimReply::answerTwice;
        case SimFaultKind::unasked:
            unit.unaskedCode = fault->code;
            return SimReply::answerThenUnasked;
        case SimFaultKind::lateAnswer: return SimReply::answerLate;
        case SimFaultKind::vanishBeforeAnswer:
            unit.connected = false;
            return SimReply::vanishBeforeAnswer;
        case SimFaultKind::duplicateLate: return SimReply::answerThenDuplicateLate;
        case SimFaultKind::cutShort: return SimReply::answerCut;
        case SimFaultKind::overlong: return SimReply::answerOverlong;
        default: return SimReply::answer;
    }
}

// The report an `unasked` fault sends after its answer: an error answer with the fault's code.
void simUnaskedReport(const SimUnit& unit, std::uint8_t* report, std::uint32_t length) {
    std::uint8_t full[kReportBufferSize] = {kResponseReportId};
    errorAnswer(full, unit.unaskedCode);
    if (length == 0) return;
    std::memset(report, 0, length);
    std::memcpy(report, full, length < sizeof full ? length : sizeof full);
}

// A cut write is decided before the unit counts the report: it gets only what the system took.
std::uint32_t bytesTakenOf(const SimUnit& unit, const std::uint8_t* report, std::uint32_t length) {
    if (length < 2) return length;
    const std::uint8_t command = report[1];
    for (const SimFault& fault : unit.faults)
        if (fault.kind == SimFaultKind::cutWrite && fault.command == command &&
            fault.occurrence == unit.commandCounts[command] + 1)
            return fault.code < length ? fault.code : length;
    return length;
}

// Whether the answers to the report just counted are to be kept back; the hold is used up.
bool takeHold(SimUnit& unit, std::uint8_t command) {
    for (auto it = unit.holds.begin(); it != unit.holds.end(); ++it)
        if (it->command == command && it->occurrence == unit.commandCounts[command]) {
            unit.holds.erase(it);
            return true;
        }
    return false;
}

constexpr std::uint8_t kOverlongByte = 0xEE;

}  // namespace

SimExchange simUnitExchange(SimUnit& unit, const std::uint8_t* report, std::uint32_t length,
                            std::uint64_t nowMs) {
    SimExchange exchange{};
    exchange.bytesTaken = bytesTakenOf(unit, report, length);
    std::vector<std::uint8_t> answer(unit.inputReportLength);
    const SimReply reply = simUnitHandle(unit, report, exchange.bytesTaken, nowMs, answer.data(),
                                         unit.inputReportLength);
    if (reply == SimReply::disconnected) {
        exchange.vanished = true;
        return exchange;
    }
    exchange.taken = true;
    const std::size_t request = unit.received.size() - 1;
    std::vector<SimDelivery>& out = exchange.deliveries;
    // Every request is answered through here, in the fault campaign millions of times: the
    // answer's bytes are moved where they are used last.
    switch (reply) {
        case SimReply::answer: out.push_back({std::move(answer), 0, request}); break;
        case SimReply::answerTwice:
            out.push_back({answer, 0, request});
            out.push_back({std::move(answer), 0, kSimUnasked});
            break;
        case SimReply::answerThenUnasked: {
            out.push_back({std::move(answer), 0, request});
            std::vector<std::uint8_t> unasked(unit.inputReportLength);
            simUnaskedReport(unit, unasked.data(), unit.inputReportLength);
            out.push_back({std::move(unasked), 0, kSimUnasked});
            break;
        }
        case SimReply::answerThenDuplicateLate:
            out.push_back({answer, 0, request});
            out.push_back({std::move(answer), simLateDuplicateMs(unit), kSimUnasked});
            break;
        case SimReply::answerCut:
            if (simAnswerBytes(unit) < answer.size()) answer.resize(simAnswerBytes(unit));
            out.push_back({std::move(answer), 0, request});
            break;
        case SimReply::answerOverlong:
            answer.push_back(kOverlongByte);
            out.push_back({std::move(answer), 0, request});
            break;
        case SimReply::answerLate:
            out.push_back({std::move(answer), kSimLateAnswerMs, request});
            break;
        case SimReply::vanishBeforeAnswer: exchange.vanished = true; break;
        case SimReply::silence:
        case SimReply::disconnected: break;
    }
    exchange.held = !out.empty() && length > 1 && takeHold(unit, report[1]);
    return exchange;
}

std::vector<std::uint8_t> simCommandOrder(const SimUnit& unit) {
    std::vector<std::uint8_t> order;
    for (const SimReceived& report : unit.received)
        order.push_back(report.bytes.size() > 1 ? report.bytes[1] : 0);
    return order;
}
