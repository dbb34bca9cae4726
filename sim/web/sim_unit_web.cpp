// The simulated unit in the browser: the model of sim/unit_model, compiled to WebAssembly, with a
// plain C face for sim/web/hid_double.js, which stands in for navigator.hid and carries what the
// model decides. Demo and test builds only; the published page carries none of it.
#include <emscripten.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/unit_model.h"

namespace {

std::vector<SimUnit> units;
std::string reply;  // the last answer handed to JavaScript, kept until the next call

struct FaultName {
    const char* name;
    SimFaultKind kind;
};

const FaultName kFaultNames[] = {
    {"errorAnswer", SimFaultKind::errorAnswer},
    {"refusal", SimFaultKind::refusal},
    {"noAnswer", SimFaultKind::noAnswer},
    {"disconnect", SimFaultKind::disconnect},
    {"malformed", SimFaultKind::malformed},
    {"garbled", SimFaultKind::garbled},
    {"answerTwice", SimFaultKind::answerTwice},
    {"unasked", SimFaultKind::unasked},
    {"lateAnswer", SimFaultKind::lateAnswer},
    {"vanishBeforeAnswer", SimFaultKind::vanishBeforeAnswer},
    {"duplicateLate", SimFaultKind::duplicateLate},
    {"cutShort", SimFaultKind::cutShort},
    {"overlong", SimFaultKind::overlong},
    {"swapEsc", SimFaultKind::swapEsc},
    {"cutWrite", SimFaultKind::cutWrite},
};

void appendBytes(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < count; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0xF];
    }
    out += '"';
}

// An ESC as the page's tests name them: kind 0 none, 1 ready.
SimEsc escOf(int kind, int version, std::uint32_t typeId) {
    return kind == 0 ? simNoEsc() : simReadyEsc(static_cast<std::uint16_t>(version), typeId);
}

bool known(int unit) { return unit >= 0 && static_cast<std::size_t>(unit) < units.size(); }

}  // namespace

extern "C" {

// A ready TAVILINK with a supported ESC running 3.2; returns its number.
EMSCRIPTEN_KEEPALIVE int simWebAddUnit() {
    units.push_back(simReadyUnit());
    return static_cast<int>(units.size()) - 1;
}

EMSCRIPTEN_KEEPALIVE void simWebSetUnit(int unit, int productId, int inBootloader,
                                        int outputLength, int inputLength) {
    if (!known(unit)) return;
    units[unit].productId = static_cast<std::uint16_t>(productId);
    units[unit].inBootloader = inBootloader != 0;
    units[unit].outputReportLength = static_cast<std::uint32_t>(outputLength);
    units[unit].inputReportLength = static_cast<std::uint32_t>(inputLength);
}

EMSCRIPTEN_KEEPALIVE void simWebConnectEsc(int unit, int kind, int version, std::uint32_t typeId) {
    if (known(unit)) simConnectEsc(units[unit], escOf(kind, version, typeId));
}

EMSCRIPTEN_KEEPALIVE void simWebSwapTo(int unit, int kind, int version, std::uint32_t typeId) {
    if (known(unit)) units[unit].swapTo = escOf(kind, version, typeId);
}

EMSCRIPTEN_KEEPALIVE void simWebSetVersionAfterUpdate(int unit, int version) {
    if (known(unit)) units[unit].escVersionAfterUpdate = static_cast<std::uint16_t>(version);
}

// False for a fault name the model does not know.
EMSCRIPTEN_KEEPALIVE int simWebAddFault(int unit, int command, int occurrence, const char* kind,
                                        std::uint32_t code) {
    if (!known(unit)) return 0;
    for (const FaultName& row : kFaultNames)
        if (std::strcmp(row.name, kind) == 0) {
            units[unit].faults.push_back({static_cast<std::uint8_t>(command),
                                          static_cast<std::uint32_t>(occurrence), row.kind, code});
            return 1;
        }
    return 0;
}

EMSCRIPTEN_KEEPALIVE int simWebProductId(int unit) { return known(unit) ? units[unit].productId : 0; }
EMSCRIPTEN_KEEPALIVE int simWebOutputLength(int unit) {
    return known(unit) ? static_cast<int>(units[unit].outputReportLength) : 0;
}
EMSCRIPTEN_KEEPALIVE int simWebInputLength(int unit) {
    return known(unit) ? static_cast<int>(units[unit].inputReportLength) : 0;
}
EMSCRIPTEN_KEEPALIVE int simWebConnected(int unit) { return known(unit) && units[unit].connected; }

// One output report at `nowMs` on the unit's clock: what the model makes of it, as 32-bit words
// (the double reads them in place, 2,000 times an update): taken, vanished, bytes taken, the
// number of deliveries, then per delivery its delay, the request it answers (-1: none), its
// length and its bytes, each delivery padded to whole words.
EMSCRIPTEN_KEEPALIVE const std::uint32_t* simWebExchange(int unit, const std::uint8_t* report,
                                                         std::uint32_t length, double nowMs) {
    static std::vector<std::uint32_t> words;
    words.assign(4, 0);
    if (!known(unit)) {
        words[1] = 1;
        return words.data();
    }
    const SimExchange exchange =
        simUnitExchange(units[unit], report, length, static_cast<std::uint64_t>(nowMs));
    words[0] = exchange.taken;
    words[1] = exchange.vanished;
    words[2] = exchange.bytesTaken;
    words[3] = static_cast<std::uint32_t>(exchange.deliveries.size());
    for (const SimDelivery& delivery : exchange.deliveries) {
        words.push_back(delivery.afterMs);
        words.push_back(delivery.answers == kSimUnasked ? ~std::uint32_t{0}
                                                        : static_cast<std::uint32_t>(delivery.answers));
        words.push_back(static_cast<std::uint32_t>(delivery.bytes.size()));
        const std::size_t at = words.size();
        words.resize(at + (delivery.bytes.size() + 3) / 4);
        std::memcpy(words.data() + at, delivery.bytes.data(), delivery.bytes.size());
    }
    return words.data();
}

// The host took the answer to request `request` at `nowMs`.
EMSCRIPTEN_KEEPALIVE void simWebAnswerTaken(int unit, int request, double nowMs) {
    if (!known(unit) || request < 0 ||
        static_cast<std::size_t>(request) >= units[unit].received.size())
        return;
    SimReceived& received = units[unit].received[static_cast<std::size_t>(request)];
    if (received.readAtMs == 0) received.readAtMs = static_cast<std::uint64_t>(nowMs);
}

// What the unit and the ESC went through: every request with its times, and the ESC's state.
EMSCRIPTEN_KEEPALIVE const char* simWebRecord(int unit) {
    if (!known(unit)) return "null";
    const SimUnit& u = units[unit];
    reply = "{\"locked\":";
    reply += u.locked ? "true" : "false";
    reply += ",\"writeProtected\":";
    reply += u.writeProtected ? "true" : "false";
    reply += ",\"erased\":";
    reply += u.erased ? "true" : "false";
    reply += ",\"connected\":";
    reply += u.connected ? "true" : "false";
    reply += ",\"flash\":";
    appendBytes(reply, u.flash.data(), u.flash.size());
    reply += ",\"received\":[";
    for (std::size_t i = 0; i < u.received.size(); ++i) {
        const SimReceived& r = u.received[i];
        if (i != 0) reply += ',';
        reply += "{\"command\":" + std::to_string(r.bytes.size() > 1 ? r.bytes[1] : 0);
        reply += ",\"writtenAtMs\":" + std::to_string(r.writtenAtMs);
        reply += ",\"readAtMs\":" + std::to_string(r.readAtMs) + '}';
    }
    reply += "]}";
    return reply.c_str();
}

}  // extern "C"
