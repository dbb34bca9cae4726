// The shared update facts for the browser's tests and bench, as JSON from the simulated unit's
// module (sim_unit.js): the same facts every other test layer checks.
#include <emscripten.h>

#include <string>

#include "tests/shared/update_facts.h"

namespace {

template <typename List>
std::string numbers(const List& list) {
    std::string out = "[";
    for (const auto& value : list) out += (out.size() > 1 ? "," : "") + std::to_string(value);
    return out + "]";
}

}  // namespace

extern "C" EMSCRIPTEN_KEEPALIVE const char* simWebUpdateFacts() {
    static std::string facts;
    std::string runs = "[";
    for (const updatefacts::CommandRun& run : updatefacts::updateCommands)
        runs += (runs.size() > 1 ? "," : "") + std::string("[") + std::to_string(run.code) + "," +
                std::to_string(run.count) + "]";
    runs += "]";
    facts = "{\"imageBytes\":" + std::to_string(updatefacts::imageBytes) +
            ",\"blocks\":" + std::to_string(updatefacts::blocks) +
            ",\"carriedVersion\":" + std::to_string(updatefacts::carriedVersion) +
            ",\"identifyCommands\":" + numbers(updatefacts::identifyCommands) +
            ",\"bootloaderUnitIdentifyCommands\":" +
            numbers(updatefacts::bootloaderUnitIdentifyCommands) + ",\"updateCommands\":" + runs +
            ",\"pausesBeforeTransferMs\":" + numbers(updatefacts::pausesBeforeTransferMs) +
            ",\"blockPauseMs\":" + std::to_string(updatefacts::blockPauseMs) +
            ",\"fixedPausesMs\":" + std::to_string(updatefacts::fixedPausesMs) + "}";
    return facts.c_str();
}
